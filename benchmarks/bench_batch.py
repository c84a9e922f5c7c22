"""Benchmarks of the batch routines against their peers, run by hand.

    PYTHONPATH=python python3 benchmarks/bench_batch.py

1. batch_filter_linear, N = 100,000 steps at (dim_x, dim_z) = (4, 2) and
   (12, 6), against FilterPy's KalmanFilter.batch_filter on the same data.
2. rts_smooth on that output against FilterPy's rts_smoother.
3. batch_parallel_step for M = 1,000,000 filters at (4, 2) against a
   vectorised NumPy implementation of the same step (Joseph form, status
   codes, log-likelihood) and, for reference, simdkalman's predict/update
   primitives (a cheaper step: no Joseph form, no status), also its update
   alone; then 1 worker with tiles of filters against 1 worker stepping one
   filter at a time (VEXEL_CKF_BASELINE_SIMD=scalar), and 1 against 2
   workers, each in its own subprocess (VEXEL_CKF_NUM_THREADS).
4. Peak memory of batch_parallel_step for M = 1,000,000 in a fresh
   subprocess (its own peak RSS, VmHWM), against 1.5x the bytes of its inputs plus
   outputs.

Every figure is printed next to the peer's, with the ratio, from one run.
Timings are the best of a few repetitions.
"""

import argparse
import json
import os
import resource
import subprocess
import sys
import time

import numpy as np

from vexel_ckf import _native

LN2PI = 1.8378770664093453


def best_of(fn, repeat):
    best = float("inf")
    result = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def linear_problem(dim_x, dim_z, steps, seed=0):
    """A stable, observable linear model with per-step stacks."""
    rng = np.random.default_rng(seed)
    f = np.eye(dim_x) + 0.05 * rng.standard_normal((dim_x, dim_x)) / np.sqrt(dim_x)
    f /= max(1.0, np.max(np.abs(np.linalg.eigvals(f))) * 1.01)
    h = rng.standard_normal((dim_z, dim_x))
    q = 0.01 * np.eye(dim_x)
    r = 0.1 * np.eye(dim_z)
    zs = rng.standard_normal((steps, dim_z))
    fs = np.ascontiguousarray(np.broadcast_to(f, (steps, dim_x, dim_x)))
    hs = np.ascontiguousarray(np.broadcast_to(h, (steps, dim_z, dim_x)))
    qs = np.ascontiguousarray(np.broadcast_to(q, (steps, dim_x, dim_x)))
    rs = np.ascontiguousarray(np.broadcast_to(r, (steps, dim_z, dim_z)))
    return np.zeros(dim_x), np.eye(dim_x), zs, fs, hs, qs, rs


def bench_filter_and_smoother(dim_x, dim_z, steps):
    from filterpy.kalman import KalmanFilter

    x0, p0, zs, fs, hs, qs, rs = linear_problem(dim_x, dim_z, steps)
    t_native, (xs, ps, _) = best_of(lambda: _native.batch_filter_linear(x0, p0, zs, fs, hs, qs, rs), 3)

    kf = KalmanFilter(dim_x=dim_x, dim_z=dim_z)
    kf.x = x0.reshape(dim_x, 1).copy()
    kf.P = p0.copy()
    t0 = time.perf_counter()
    fp_xs, fp_ps, _, _ = kf.batch_filter(zs[:, :, None], Fs=list(fs), Qs=list(qs), Hs=list(hs), Rs=list(rs))
    t_fp = time.perf_counter() - t0
    dx = np.max(np.abs(fp_xs.reshape(steps, dim_x) - xs))

    print(f"batch_filter_linear N={steps:,} (dim_x, dim_z)=({dim_x}, {dim_z}):")
    print(f"  vexel   {t_native * 1e3:9.1f} ms  {t_native / steps * 1e9:9.0f} ns/step")
    print(f"  FilterPy{t_fp * 1e3:9.1f} ms  {t_fp / steps * 1e9:9.0f} ns/step   "
          f"ratio {t_fp / t_native:6.1f}x   (max |dx| {dx:.1e})")

    from filterpy.kalman import rts_smoother

    t_rts, (xs_s, _) = best_of(lambda: _native.rts_smooth(xs, ps, fs, qs), 3)
    t0 = time.perf_counter()
    fp_xs_s, _, _, _ = rts_smoother(xs.reshape(steps, dim_x, 1), ps, Fs=fs, Qs=qs)
    t_fp_rts = time.perf_counter() - t0
    dxs = np.max(np.abs(fp_xs_s.reshape(steps, dim_x) - xs_s))
    print(f"rts_smooth on that output:")
    print(f"  vexel   {t_rts * 1e3:9.1f} ms  {t_rts / steps * 1e9:9.0f} ns/step")
    print(f"  FilterPy{t_fp_rts * 1e3:9.1f} ms  {t_fp_rts / steps * 1e9:9.0f} ns/step   "
          f"ratio {t_fp_rts / t_rts:6.1f}x   (max |dx| {dxs:.1e})")


def bank_problem(count, dim_x=4, dim_z=2, seed=1):
    rng = np.random.default_rng(seed)
    xs = rng.standard_normal((count, dim_x))
    ps = np.empty((count, dim_x, dim_x))
    ps[...] = np.eye(dim_x)
    ps[:, 0, 0] += 0.5 * rng.random(count)
    zs = rng.standard_normal((count, dim_z))
    dt = 0.1
    f = np.eye(dim_x)
    f[0, 2] = f[1, 3] = dt
    h = np.zeros((dim_z, dim_x))
    h[0, 0] = h[1, 1] = 1.0
    q = 0.01 * np.eye(dim_x)
    r = 0.25 * np.eye(dim_z)
    return xs, ps, zs, f, h, q, r


def numpy_bank_step(xs, ps, zs, f, h, q, r):
    """The same step, vectorised over the filters with NumPy: prediction,
    Joseph-form update, log-likelihood from a Cholesky factor, status codes
    (0 / 3; no filter of the benchmark needs a fallback inverse)."""
    count, dim_x = xs.shape
    dim_z = zs.shape[1]
    ok_prior = np.isfinite(xs).all(axis=1) & np.isfinite(ps).all(axis=(1, 2))
    xp = xs @ f.T
    pp = f @ ps @ f.T + q
    pp = 0.5 * (pp + np.swapaxes(pp, 1, 2))
    y = zs - xp @ h.T
    s = h @ pp @ h.T + r
    s = 0.5 * (s + np.swapaxes(s, 1, 2))
    chol = np.linalg.cholesky(s)
    si = np.linalg.inv(s)
    k = pp @ h.T @ si
    x_new = xp + np.einsum("kij,kj->ki", k, y)
    a = np.eye(dim_x) - k @ h
    p_new = a @ pp @ np.swapaxes(a, 1, 2) + k @ r @ np.swapaxes(k, 1, 2)
    p_new = 0.5 * (p_new + np.swapaxes(p_new, 1, 2))
    m = np.einsum("ki,kij,kj->k", y, si, y)
    log_det = 2.0 * np.log(np.diagonal(chol, axis1=1, axis2=2)).sum(axis=1)
    ll = -0.5 * (np.maximum(m, 0.0) + (LN2PI * dim_z + log_det))
    status = np.where(ok_prior, 0, 3).astype(np.int64)
    x_new[~ok_prior] = xs[~ok_prior]
    p_new[~ok_prior] = ps[~ok_prior]
    ll[~ok_prior] = np.nan
    return x_new, p_new, ll, status


def simdkalman_step(xs, ps, zs, f, h, q, r):
    from simdkalman import primitives

    count, dim_x = xs.shape
    mean, cov = primitives.predict(xs[:, :, None], ps, f, q)
    out = primitives._update(mean, cov, h, r, zs[:, :, None], log_likelihood=True)
    return out[0], out[1], out[3]


def run_bank_child(count, repeat):
    """Subprocess body: time batch_parallel_step with this process's pool."""
    args = bank_problem(count)
    _native.batch_parallel_step(*bank_problem(16))  # create the pool
    t, out = best_of(lambda: _native.batch_parallel_step(*args), repeat)
    digest = [float(np.sum(out[0])), float(np.sum(out[1])), float(np.sum(out[2]))]
    print(json.dumps({"seconds": t, "digest": digest}))


def run_in_subprocess(mode, count, repeat, threads=None, simd=None):
    env = dict(os.environ)
    # NumPy's BLAS threads would otherwise spin on the cores the pool uses.
    env.setdefault("OPENBLAS_NUM_THREADS", "1")
    if threads is not None:
        env["VEXEL_CKF_NUM_THREADS"] = str(threads)
    env.pop("VEXEL_CKF_BASELINE_SIMD", None)
    if simd is not None:
        env["VEXEL_CKF_BASELINE_SIMD"] = simd
    cmd = [sys.executable, os.path.abspath(__file__), mode, "--count", str(count), "--repeat", str(repeat)]
    out = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def simdkalman_update(mean, cov, zs, h, r):
    from simdkalman import primitives

    return primitives._update(mean, cov, h, r, zs[:, :, None], log_likelihood=True)


def bench_bank(count, repeat):
    from vexel_ckf import _engine

    args = bank_problem(count)
    t_native, out = best_of(lambda: _native.batch_parallel_step(*args), repeat)
    t_np, ref = best_of(lambda: numpy_bank_step(*args), 1)
    dx = np.max(np.abs(ref[0] - out[0]))
    print(f"batch_parallel_step M={count:,} (4, 2), default pool, tiles of {_engine.simd_tile_width()} filters:")
    print(f"  vexel          {t_native * 1e3:9.1f} ms  {t_native / count * 1e9:6.1f} ns/filter-step")
    print(f"  NumPy (same)   {t_np * 1e3:9.1f} ms   ratio {t_np / t_native:6.1f}x   (max |dx| {dx:.1e})")
    try:
        from simdkalman import primitives

        xs, ps, zs, f, h, q, r = args
        t_sk, sk = best_of(lambda: simdkalman_step(*args), 1)
        mean, cov = primitives.predict(xs[:, :, None], ps, f, q)
        t_sku, _ = best_of(lambda: simdkalman_update(mean, cov, zs, h, r), 1)
        print(f"  simdkalman     {t_sk * 1e3:9.1f} ms   ratio {t_sk / t_native:6.1f}x   "
              f"(predict + update; no Joseph form, no status)")
        print(f"  simdkalman upd {t_sku * 1e3:9.1f} ms   ratio {t_sku / t_native:6.1f}x   (its update alone)")
    except ImportError:
        print("  simdkalman not installed")

    one = run_in_subprocess("bank-child", count, repeat, threads=1)
    scalar = run_in_subprocess("bank-child", count, repeat, threads=1, simd="scalar")
    two = run_in_subprocess("bank-child", count, repeat, threads=2)
    print(f"  1 worker       {one['seconds'] * 1e3:9.1f} ms  {one['seconds'] / count * 1e9:6.1f} ns/filter-step")
    print(f"  1 worker, scalar (VEXEL_CKF_BASELINE_SIMD=scalar) {scalar['seconds'] * 1e3:9.1f} ms   "
          f"tiles vs scalar {scalar['seconds'] / one['seconds']:5.2f}x   "
          f"(identical results: {scalar['digest'] == one['digest']})")
    print(f"  2 workers      {two['seconds'] * 1e3:9.1f} ms   speed-up {one['seconds'] / two['seconds']:5.2f}x"
          f"   (identical results: {one['digest'] == two['digest']})")


def reset_peak_rss():
    """Restart the high-water mark of resident memory at the current size.

    A child process starts with its parent's ru_maxrss (it survives fork and
    exec), so after the other benchmarks the parent's peak would hide the one
    measured here. Linux resets VmHWM when "5" is written to clear_refs.
    """
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        print("warning: cannot reset the peak RSS; the figure may include the parent's peak", file=sys.stderr)


def peak_rss_kib():
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def run_memory_child(count):
    """Subprocess body: peak resident memory around one call."""
    reset_peak_rss()
    base = peak_rss_kib()
    args = bank_problem(count)
    before = peak_rss_kib()
    out = _native.batch_parallel_step(*args)
    after = peak_rss_kib()
    in_bytes = sum(a.nbytes for a in args)
    out_bytes = sum(a.nbytes for a in out)
    print(json.dumps({"base_kib": base, "before_kib": before, "after_kib": after,
                      "in_bytes": in_bytes, "out_bytes": out_bytes}))


def bench_memory(count):
    res = run_in_subprocess("memory-child", count, 1)
    data = res["in_bytes"] + res["out_bytes"]
    peak = (res["after_kib"] - res["base_kib"]) * 1024
    print(f"peak memory of batch_parallel_step M={count:,} (4, 2), fresh process:")
    print(f"  inputs + outputs {data / 2**20:8.1f} MiB; limit 1.5x = {1.5 * data / 2**20:8.1f} MiB")
    print(f"  peak RSS above the interpreter baseline {peak / 2**20:8.1f} MiB = {peak / data:4.2f}x"
          f"   (interpreter baseline {res['base_kib'] / 1024:.1f} MiB; total peak "
          f"{res['after_kib'] / 1024:.1f} MiB = {res['after_kib'] * 1024 / data:4.2f}x)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", nargs="?", default="all",
                        choices=["all", "filter", "bank", "memory", "bank-child", "memory-child"])
    parser.add_argument("--count", type=int, default=1_000_000)
    parser.add_argument("--steps", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=3)
    opts = parser.parse_args()
    if opts.mode == "bank-child":
        run_bank_child(opts.count, opts.repeat)
        return
    if opts.mode == "memory-child":
        run_memory_child(opts.count)
        return
    if opts.mode in ("all", "filter"):
        bench_filter_and_smoother(4, 2, opts.steps)
        bench_filter_and_smoother(12, 6, opts.steps)
    if opts.mode in ("all", "bank"):
        bench_bank(opts.count, opts.repeat)
    if opts.mode in ("all", "memory"):
        bench_memory(opts.count)


if __name__ == "__main__":
    main()
