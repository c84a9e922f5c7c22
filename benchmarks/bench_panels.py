"""Benchmarks of the panel routines against their peers, run by hand.

    PYTHONPATH=python python3 benchmarks/bench_panels.py [--only NAME ...]

1. simdkalman: filter + smoother of M = 10,000 series of N = 1,000 steps with
   a local linear trend model (dim_x 2, dim_z 1) and 10% NaN gaps, batch_smoother
   against simdkalman.KalmanFilter.smooth on the same data (both with
   smoothed covariances, and ours also without).
2. tiles: batch_smoother, batch_filter and rts_smoother on that panel on
   one pool thread, with tiles of sequences (one per SIMD lane) against one
   sequence at a time (a child with VEXEL_CKF_BASELINE_SIMD=scalar).
3. workers: the same call with 1 and with 2 pool threads, each in its own
   subprocess (VEXEL_CKF_NUM_THREADS).
4. memory: peak RSS growth of batch_smoother(covariances=False) in a fresh
   subprocess against the bytes of its inputs plus outputs.
5. rts: rts_smooth at (dim_x, dim_z) = (4, 2), N = 100,000, against
   FilterPy's rts_smoother.
6. dask: M = 100,000 x N = 1,000 on a LocalCluster of 2 worker processes
   with one pool thread each, chunks of 10,000 series generated on the
   workers, covariances=False, each series' smoothed mean reduced on the
   workers; against one in-process batch_smoother call (2 pool threads) and
   the same reduction on the same data.

Every figure is printed next to its baseline with the ratio, from one run;
timings are the best of a few repetitions (the machine is shared).
"""

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

F = np.array([[1.0, 1.0], [0.0, 1.0]])
H = np.array([[1.0, 0.0]])
Q = np.diag([0.01, 0.001])
R = np.array([[1.0]])
X0 = np.zeros(2)
P0 = 10.0 * np.eye(2)


def best_of(fn, repeat):
    best, result = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def trend_panel(count, steps, seed=0, out=None):
    """count random-walk series of `steps` levels with 10% NaN gaps (where the
    step's increment is in the top decile of the normal law), written in
    slabs so that no temporary is as large as the panel."""
    zs = np.empty((count, steps, 1)) if out is None else out
    rng = np.random.default_rng(seed)
    slab = 1000
    for start in range(0, count, slab):
        stop = min(start + slab, count)
        steps_taken = rng.standard_normal((stop - start, steps))
        level = steps_taken.cumsum(axis=1)
        level[steps_taken > 1.2815515655446004] = np.nan
        zs[start:stop, :, 0] = level
    return zs


def bench_simdkalman(count=10_000, steps=1_000):
    import simdkalman
    from vexel_ckf import batch_smoother

    zs = trend_panel(count, steps)
    t_cov, ours = best_of(lambda: batch_smoother(X0, P0, zs, F, H, Q, R, nan_means_missing=True), 3)
    t_means, _ = best_of(lambda: batch_smoother(X0, P0, zs, F, H, Q, R, nan_means_missing=True,
                                                covariances=False), 3)
    kf = simdkalman.KalmanFilter(state_transition=F, process_noise=Q, observation_model=H, observation_noise=R)
    # simdkalman's initial value is the prior of step 0; ours is predicted once first.
    t_simd, theirs = best_of(lambda: kf.smooth(zs[:, :, 0], initial_value=F @ X0, initial_covariance=F @ P0 @ F.T + Q),
                             2)
    dx = np.max(np.abs(theirs.states.mean - ours.xs))
    print(f"panel filter + smoother, M={count:,} x N={steps:,}, (2, 1), 10% gaps:")
    print(f"  vexel (covariances)       {t_cov:8.3f} s")
    print(f"  vexel (means only)        {t_means:8.3f} s")
    print(f"  simdkalman.smooth         {t_simd:8.3f} s   ratio {t_simd / t_cov:6.1f}x with covariances, "
          f"{t_simd / t_means:6.1f}x means only (target >= 25x; max |dx| {dx:.1e})")


TILES_SCRIPT = """
import json, sys, time
sys.path.insert(0, sys.argv[1])
from bench_panels import trend_panel, best_of, X0, P0, F, H, Q, R
from vexel_ckf import batch_filter, batch_smoother, rts_smoother, _engine
zs = trend_panel(10_000, 1_000)
t_smooth, _ = best_of(lambda: batch_smoother(X0, P0, zs, F, H, Q, R, nan_means_missing=True), 3)
t_filter, f = best_of(lambda: batch_filter(X0, P0, zs, F, H, Q, R, nan_means_missing=True), 3)
t_rts, _ = best_of(lambda: rts_smoother(f.xs, f.Ps, F, Q), 3)
print(json.dumps([_engine.simd_tile_width(), t_smooth, t_filter, t_rts]))
"""


def bench_tiles():
    """Each routine on one pool thread, stepping tiles of sequences (one per
    SIMD lane) against one sequence at a time (VEXEL_CKF_BASELINE_SIMD=scalar)."""
    runs = {}
    for simd in (None, "scalar"):
        env = dict(os.environ, VEXEL_CKF_NUM_THREADS="1")
        env.pop("VEXEL_CKF_BASELINE_SIMD", None)
        if simd is not None:
            env["VEXEL_CKF_BASELINE_SIMD"] = simd
        out = subprocess.run([sys.executable, "-c", TILES_SCRIPT, os.path.dirname(os.path.abspath(__file__))],
                             env=env, check=True, capture_output=True, text=True)
        runs[simd] = json.loads(out.stdout)
    tiles, scalar = runs[None], runs["scalar"]
    print(f"panel routines, M=10,000 x N=1,000, (2, 1), 10% gaps, 1 pool thread, tiles of {tiles[0]} against none:")
    for k, name in enumerate(("batch_smoother", "batch_filter", "rts_smoother"), start=1):
        print(f"  {name:15s} tiles {tiles[k]:7.3f} s   scalar {scalar[k]:7.3f} s   "
              f"tiles vs scalar {scalar[k] / tiles[k]:5.2f}x")


WORKER_SCRIPT = """
import json, sys, time
sys.path.insert(0, sys.argv[1])
from bench_panels import trend_panel, best_of, X0, P0, F, H, Q, R
from vexel_ckf import batch_smoother
zs = trend_panel(10_000, 1_000)
t, _ = best_of(lambda: batch_smoother(X0, P0, zs, F, H, Q, R, nan_means_missing=True), 7)
print(json.dumps(t))
"""


def bench_workers():
    times = {}
    for threads in ("1", "2"):
        env = dict(os.environ, VEXEL_CKF_NUM_THREADS=threads)
        out = subprocess.run([sys.executable, "-c", WORKER_SCRIPT, os.path.dirname(os.path.abspath(__file__))],
                             env=env, check=True, capture_output=True, text=True)
        times[threads] = json.loads(out.stdout)
    print("batch_smoother M=10,000 x N=1,000 on 1 and 2 pool threads:")
    print(f"  1 thread {times['1']:8.3f} s   2 threads {times['2']:8.3f} s   speed-up {times['1'] / times['2']:5.2f}x "
          f"(target >= 1.7x)")


MEMORY_SCRIPT = """
import json, sys
sys.path.insert(0, sys.argv[1])
import numpy as np
from bench_panels import trend_panel, X0, P0, F, H, Q, R
from vexel_ckf import batch_smoother

def rss(field):
    for line in open("/proc/self/status"):
        if line.startswith(field):
            return int(line.split()[1]) * 1024

batch_smoother(X0, P0, trend_panel(10, 1_000), F, H, Q, R, nan_means_missing=True, covariances=False)  # warm up
before = rss("VmRSS:")
zs = trend_panel(10_000, 1_000)
open("/proc/self/clear_refs", "w").write("5")    # peak RSS := current RSS
result = batch_smoother(X0, P0, zs, F, H, Q, R, nan_means_missing=True, covariances=False)
peak = rss("VmHWM:")
need = zs.nbytes + result.xs.nbytes + result.log_likelihood.nbytes
print(json.dumps([peak - before, need]))
"""


def bench_memory():
    out = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, os.path.dirname(os.path.abspath(__file__))],
                         check=True, capture_output=True, text=True)
    used, need = json.loads(out.stdout)
    print("batch_smoother(covariances=False) M=10,000 x N=1,000, peak memory:")
    print(f"  grew {used / 2**20:8.1f} MiB for {need / 2**20:8.1f} MiB of inputs + outputs: {used / need:5.2f}x "
          f"(target <= 1.2x)")


def bench_rts(steps=100_000):
    from filterpy.kalman import rts_smoother

    from bench_batch import linear_problem
    from vexel_ckf import _native

    x0, p0, zs, fs, hs, qs, rs = linear_problem(4, 2, steps)
    xs, ps, _ = _native.batch_filter_linear(x0, p0, zs, fs, hs, qs, rs)
    t_ours, (xs_s, _) = best_of(lambda: _native.rts_smooth(xs, ps, fs, qs), 7)
    t_fp, (fp_xs, _, _, _) = best_of(lambda: rts_smoother(xs.reshape(steps, 4, 1), ps, Fs=fs, Qs=qs), 2)
    dx = np.max(np.abs(fp_xs.reshape(steps, 4) - xs_s))
    print(f"rts_smooth N={steps:,} (4, 2):")
    print(f"  vexel {t_ours * 1e3:9.1f} ms   FilterPy {t_fp * 1e3:9.1f} ms   ratio {t_fp / t_ours:6.1f}x "
          f"(target >= 100x; max |dx| {dx:.1e})")


def _chunk(block, block_info=None):
    """Chunk of the Dask benchmark's panel, made on the worker from its position."""
    start = block_info[None]["array-location"][0][0]
    return trend_panel(block.shape[0], block.shape[1], seed=start)


def _series_means(xs):
    return xs.mean(axis=(1, 2))


def bench_dask(count=100_000, steps=1_000, chunk=10_000):
    import dask.array as da
    import distributed

    import vexel_ckf.dask as vd
    from vexel_ckf import batch_smoother

    shape_only = da.zeros((count, steps, 1), chunks=(chunk, steps, 1))
    zs_lazy = shape_only.map_blocks(_chunk, dtype=np.float64)
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None,
                                  env={"VEXEL_CKF_NUM_THREADS": "1"}) as cluster, distributed.Client(cluster) as client:
        client.run(lambda: sys.path.insert(0, os.path.dirname(os.path.abspath(__file__))))

        def run():
            sm = vd.batch_smoother(X0, P0, zs_lazy, F, H, Q, R, nan_means_missing=True, covariances=False)
            return client.compute(sm.xs.map_blocks(_series_means, drop_axis=[1, 2], dtype=np.float64), sync=True)

        t_dask, means_dask = best_of(run, 2)
    zs = np.empty((count, steps, 1))
    for start in range(0, count, chunk):
        trend_panel(chunk, steps, seed=start, out=zs[start:start + chunk])
    t_local, means_local = best_of(
        lambda: _series_means(batch_smoother(X0, P0, zs, F, H, Q, R, nan_means_missing=True, covariances=False).xs), 2)
    same = means_dask.tobytes() == means_local.tobytes()
    print(f"Dask LocalCluster (2 processes x 1 pool thread), M={count:,} x N={steps:,}, chunks of {chunk:,}, "
          f"generated on the workers:")
    print(f"  dask {t_dask:8.2f} s   in-process (2 pool threads, data in memory) {t_local:8.2f} s   "
          f"ratio {t_dask / t_local:5.2f}x (target <= 1.5x); identical: {same}")


SECTIONS = {"simdkalman": bench_simdkalman, "tiles": bench_tiles, "workers": bench_workers, "memory": bench_memory, "rts": bench_rts,
            "dask": bench_dask}

if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--only", nargs="*", choices=sorted(SECTIONS), default=list(SECTIONS))
    for name in parser.parse_args().only:
        SECTIONS[name]()
