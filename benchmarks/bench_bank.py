"""Benchmark of CKFBank against its peers, run by hand.

    PYTHONPATH=python python3 benchmarks/bench_bank.py [--filters 10000] [--peer-filters 300] [--repeat 10] [--clock cpu]
        [--tiles-only]

On the coordinated-turn radar model of the demo (n = 5, m = 2) with the
demo's vectorised NumPy callbacks:

1. One predict + update of a bank of M filters, callbacks included, against
   the same step looped over M VexelCKF objects (target: at least 10x).
2. The same per filter-step against FilterPy's CubatureKalmanFilter, measured
   on a few hundred filters and scaled per filter (target: at least 300x).
3. The bank's own part on 2 workers against 1, each in its own subprocess
   (VEXEL_CKF_NUM_THREADS): a step whose callbacks cost next to nothing (fx
   returns its input, hx a fixed array) (target: at least 1.7x).
4. Peak memory of a step, each figure in a fresh subprocess (VmHWM, VmRSS):
   the bank's resident storage plus the rise during one step, against twice
   the bank's state plus what the two callbacks alone take on arrays of the
   same size (target: at most 1.0 of that budget).
5. Tiles against one filter at a time: a predict + update of the bank with
   the built-in models (vexel_ckf.models.coordinated_turn and range_bearing,
   no Python in the step) per filter-step, on one worker, in a subprocess
   with the default SIMD tiles (4 filters per AVX2 register, 2 without AVX2)
   and one with VEXEL_CKF_BASELINE_SIMD=scalar (target: at least 2x).  The
   models' sines, cosines, arctangents and hypotenuses are libm calls per
   filter on both sides; only the rest of the step runs in lanes.

Figures 1 and 2 step one bank again and again, as a tracker does, and are
measured twice, each in its own subprocess: in the default environment, and
with glibc told to keep freed memory (MALLOC_TRIM_THRESHOLD_,
MALLOC_MMAP_THRESHOLD_).  The callbacks' NumPy temporaries on M*2n rows are
megabytes each; by default glibc hands them back to the kernel when they are
freed, so the next step faults them in afresh: the second environment shows
what a user gains from the tunables the bank guide gives.  The peers, whose
arrays are small, do not change.

Timings are the best of a few repetitions (the machine is shared). With
``--clock cpu`` figures 1 to 3 are CPU time of the whole process (all its
threads) instead of wall time: on a loaded machine that is what a step would
take on idle cores, and for the bank it is conservative (the workers' times
add up instead of overlapping).
"""

import argparse
import json
import math
import os
import subprocess
import sys
import time

import numpy as np

from vexel_ckf import CKFBank, VexelCKF
from vexel_ckf.demo import coordinated_turn, radar

N, M_Z = 5, 2
P0 = np.diag([100.0, 100.0, 10.0, 10.0, 1e-4])
Q0 = np.diag([1.0, 1.0, 1.0, 1.0, 1e-5])
R0 = np.diag([25.0, 1e-4])


def targets(count, seed=0):
    rng = np.random.default_rng(seed)
    return np.column_stack((rng.uniform(1e3, 5e3, (count, 2)), rng.normal(0, 10, (count, 2)),
                            rng.normal(0, 0.02, count)))


def measurements(xs, seed=1):
    rng = np.random.default_rng(seed)
    return radar(coordinated_turn(xs, 1.0)) + rng.normal(0, [5.0, 0.005], (len(xs), M_Z))


def make_bank(count, fx=coordinated_turn, hx=radar):
    bank = CKFBank(count, N, M_Z, 1.0, fx, hx)
    bank.xs, bank.Ps, bank.Q, bank.R = targets(count), P0, Q0, R0
    return bank


CLOCK = {"wall": time.perf_counter, "cpu": time.process_time}
clock = CLOCK["wall"]


def best_of(fn, repeat, setup=lambda: None):
    best = math.inf
    for _ in range(repeat):
        arg = setup()
        t0 = clock()
        fn(arg)
        best = min(best, clock() - t0)
    return best


def bank_step_time(count, repeat, fx=coordinated_turn, hx=radar):
    bank = make_bank(count, fx, hx)
    zs = measurements(bank.xs)

    def step(b):
        b.predict()
        b.update(zs)

    step(bank)
    return best_of(step, repeat, setup=lambda: bank)


def loop_step_time(count, repeat):
    xs, zs = targets(count), None
    zs = measurements(xs)
    filters = []
    for x in xs:
        kf = VexelCKF(N, M_Z, 1.0, fx=coordinated_turn, hx=radar)
        kf.x, kf.P, kf.Q, kf.R = x, P0, Q0, R0
        filters.append(kf)

    def step(kfs):
        for kf, z in zip(kfs, zs):
            kf.predict()
            kf.update(z)

    return best_of(step, repeat, setup=lambda: [kf.copy() for kf in filters])


def filterpy_step_time(count, repeat):
    from filterpy.kalman import CubatureKalmanFilter

    def fx(x, dt):
        return coordinated_turn(x[None, :], dt)[0]

    def hx(x):
        return radar(x[None, :])[0]

    xs = targets(count)
    zs = measurements(xs)

    def setup():
        kfs = []
        for x in xs:
            kf = CubatureKalmanFilter(N, M_Z, 1.0, hx, fx)
            kf.x, kf.P, kf.Q, kf.R = x.copy(), P0.copy(), Q0.copy(), R0.copy()
            kfs.append(kf)
        return kfs

    def step(kfs):
        for kf, z in zip(kfs, zs):
            kf.predict()
            kf.update(z)

    return best_of(step, repeat, setup=setup)


def own_part_time(count, repeat):
    """A step whose callbacks cost next to nothing, in the steady state of a
    running bank (the same bank stepped again, as a tracker does: a fresh copy
    per repetition would time the first touch of its storage instead)."""
    fixed = radar(np.repeat(targets(count), 2 * N, axis=0))
    bank = make_bank(count, lambda X, dt: X, lambda X: fixed)
    zs = measurements(bank.xs)

    def step(b):
        b.predict()
        b.update(zs)

    step(bank)
    return best_of(step, 3 * repeat, setup=lambda: bank)


def builtin_step_time(count, repeat):
    """A predict + update with the built-in compiled models, in the steady state."""
    from vexel_ckf import models
    from vexel_ckf._engine import simd_tile_width

    bank = make_bank(count, models.coordinated_turn(), models.range_bearing())
    zs = measurements(bank.xs)

    def step(b):
        b.predict()
        b.update(zs)

    step(bank)
    return best_of(step, 3 * repeat, setup=lambda: bank), simd_tile_width()


def status(key):
    """A figure of /proc/self/status in bytes (VmRSS, VmHWM)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(key)


def memory_figures(count):
    import ctypes
    import gc

    trim = ctypes.CDLL("libc.so.6").malloc_trim

    def settle():
        gc.collect()
        trim(0)
        return status("VmRSS")

    xs = targets(count)
    zs = measurements(xs)
    rss0 = settle()
    bank = make_bank(count)
    state_bytes = sum(np.asarray(v).nbytes for k, v in bank.to_dict().items() if isinstance(v, np.ndarray))
    rss1 = settle()
    bank.predict()
    bank.update(zs)
    peak = status("VmHWM")
    return {"state": state_bytes, "resident": rss1 - rss0, "rise": peak - rss1}


def callback_memory(count):
    xs = targets(count)
    rss0 = status("VmRSS")
    X = np.repeat(xs, 2 * N, axis=0)
    Y = coordinated_turn(X, 1.0)
    del X, Y
    X = np.repeat(xs, 2 * N, axis=0)
    Z = radar(X)
    del X, Z
    return {"callbacks": status("VmHWM") - rss0}


KEEP_FREED_MEMORY = {"MALLOC_TRIM_THRESHOLD_": str(2**30), "MALLOC_MMAP_THRESHOLD_": str(2**25)}


def in_subprocess(what, count, workers=None, repeat=5, clock_name="wall", peer_count=300, extra_env=None):
    env = dict(os.environ)
    for name in KEEP_FREED_MEMORY:
        env.pop(name, None)
    env.pop("VEXEL_CKF_BASELINE_SIMD", None)
    env.update(extra_env or {})
    if workers is not None:
        env["VEXEL_CKF_NUM_THREADS"] = str(workers)
    out = subprocess.run([sys.executable, __file__, "--child", what, "--filters", str(count), "--repeat", str(repeat),
                          "--clock", clock_name, "--peer-filters", str(peer_count)],
                         env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def child(what, count, repeat, peer_count):
    if what == "steps":
        result = {"bank": bank_step_time(count, repeat), "loop": loop_step_time(count, 3),
                  "filterpy": filterpy_step_time(peer_count, 3)}
    elif what == "own":
        result = {"seconds": own_part_time(count, repeat)}
    elif what == "tiles":
        seconds, width = builtin_step_time(count, repeat)
        result = {"seconds": seconds, "width": width}
    elif what == "memory":
        result = memory_figures(count)
    else:
        result = callback_memory(count)
    print(json.dumps(result))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--filters", type=int, default=10_000)
    parser.add_argument("--peer-filters", type=int, default=300)
    parser.add_argument("--repeat", type=int, default=10)
    parser.add_argument("--clock", choices=sorted(CLOCK), default="wall")
    parser.add_argument("--child", default=None)
    parser.add_argument("--tiles-only", action="store_true", help="run figure 5 alone")
    args = parser.parse_args()
    global clock
    clock = CLOCK[args.clock]
    if args.child:
        child(args.child, args.filters, args.repeat, args.peer_filters)
        return
    M = args.filters
    k = args.peer_filters
    print(f"CKFBank, coordinated-turn radar model (n = {N}, m = {M_Z}), M = {M:,} filters, {args.clock} time")
    if not args.tiles_only:
        peers_and_memory(args, M, k)
    # OpenBLAS's idle threads would spin beside the step (NumPy set the bank up).
    quiet = {"OPENBLAS_NUM_THREADS": "1"}
    tiles = in_subprocess("tiles", M, workers=1, repeat=args.repeat, clock_name=args.clock, extra_env=quiet)
    scalar = in_subprocess("tiles", M, workers=1, repeat=args.repeat, clock_name=args.clock,
                           extra_env={**quiet, "VEXEL_CKF_BASELINE_SIMD": "scalar"})
    per_tiles, per_scalar = tiles["seconds"] / M * 1e9, scalar["seconds"] / M * 1e9
    print(f"5. built-in models, 1 worker, per filter-step: tiles of {tiles['width']} {per_tiles:7.1f} ns   "
          f"one filter at a time {per_scalar:7.1f} ns   ratio {per_scalar / per_tiles:5.2f}x (target >= 2x)")


def peers_and_memory(args, M, k):
    for label, env in (("default environment", None), ("glibc keeping freed memory", KEEP_FREED_MEMORY)):
        t = in_subprocess("steps", M, repeat=args.repeat, clock_name=args.clock, peer_count=k, extra_env=env)
        t_bank, t_loop, t_fp = t["bank"], t["loop"], t["filterpy"]
        print(f"   [{label}]")
        print(f"1. predict+update: bank {t_bank * 1e3:8.2f} ms   {M:,} VexelCKF looped {t_loop * 1e3:8.1f} ms"
              f"   ratio {t_loop / t_bank:6.1f}x (target >= 10x)")
        per_bank, per_fp = t_bank / M, t_fp / k
        print(f"2. per filter-step: bank {per_bank * 1e6:8.3f} us   FilterPy CubatureKalmanFilter "
              f"{per_fp * 1e6:8.1f} us (on {k} filters)   ratio {per_fp / per_bank:6.0f}x (target >= 300x)")
    one = in_subprocess("own", M, workers=1, repeat=args.repeat)["seconds"]
    two = in_subprocess("own", M, workers=2, repeat=args.repeat)["seconds"]  # wall time: overlap is the point
    print(f"3. bank's own part (near-free callbacks): 1 worker {one * 1e3:7.2f} ms   2 workers {two * 1e3:7.2f} ms"
          f"   ratio {one / two:5.2f}x (target >= 1.7x)")
    mem = in_subprocess("memory", M)
    cb = in_subprocess("callbacks", M)["callbacks"]
    total = mem["resident"] + mem["rise"]
    budget = 2 * mem["state"] + cb
    mb = 1 / 2**20
    print(f"4. memory: bank state {mem['state'] * mb:6.1f} MB; resident {mem['resident'] * mb:6.1f} MB + rise during "
          f"a step {mem['rise'] * mb:6.1f} MB = {total * mb:6.1f} MB   budget 2 x state + callbacks alone "
          f"({cb * mb:5.1f} MB) = {budget * mb:6.1f} MB   ratio {total / budget:4.2f} (target <= 1.0)")


if __name__ == "__main__":
    main()
