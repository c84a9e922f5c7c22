"""Fixed-lag smoothing: `VexelCKF.run(zs, lag=L)` against the plain `run(zs)`.

Coordinated turn (n = 5) seen by a radar (range, bearing), both the built-in
compiled models of `vexel_ckf.models`, so both runs are one native call each.
A lag run does, per step, the filter step, the smoother's prediction and gain
of the previous step (one more transition of 2n points) and L combine steps
back over the window. Target: the lag run at most 2x the plain run at L = 10
(ratio plain / lag >= 0.5). Both forms; N = 1,000 and 10,000; the two runs of
a figure are timed in alternation, round after round. A last figure shows the
same with Python callbacks (one extra fx call per step).

    PYTHONPATH=python python benchmarks/bench_fixed_lag.py [--steps N ...] [--lag L]
"""

from __future__ import annotations

import argparse
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np
from runner import Bench, best_times

from vexel_ckf import VexelCKF, models


def scenario(steps, seed=1):
    rng = np.random.default_rng(seed)
    x = np.array([1000.0, 500.0, 10.0, 2.0, 0.02])
    model = models.coordinated_turn()
    sensor = models.range_bearing()
    truth = np.empty((steps, 5))
    for k in range(steps):
        x = model(x[None, :], 1.0)[0] + rng.normal(0, [0.1, 0.1, 0.05, 0.05, 1e-4])
        truth[k] = x
    return sensor(truth) + rng.normal(0, [2.0, 0.002], (steps, 2))


def make_filter(sr, fx, hx):
    kf = VexelCKF(5, 2, 1.0, fx=fx, hx=hx, square_root=sr)
    kf.x = [1000.0, 500.0, 0.0, 0.0, 0.0]
    kf.P = np.diag([100.0, 100.0, 100.0, 100.0, 0.01])
    kf.Q = np.diag([0.01, 0.01, 0.0025, 0.0025, 1e-8])
    kf.R = np.diag([4.0, 0.002 ** 2])
    return kf


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--steps", type=int, nargs="+", default=[1000, 10000])
    parser.add_argument("--lag", type=int, default=10)
    args = parser.parse_args()
    lag = args.lag
    bench = Bench(f"run(zs, lag={lag}) against run(zs): coordinated turn + radar, compiled models")
    fx, hx = models.coordinated_turn(), models.range_bearing()
    for steps in args.steps:
        zs = scenario(steps)
        for sr in (False, True):
            kf = make_filter(sr, fx, hx)
            plain, lagged = best_times([lambda: kf.copy().run(zs), lambda: kf.copy().run(zs, lag=lag)],
                                       rounds=9 if steps <= 1000 else 5)
            form = "sqrt" if sr else "cov"
            bench.add(f"N={steps} {form}: lag run (ours) vs plain run", lagged, plain, target=">= 0.50x")
    # Python callbacks: the same models called through Python.
    steps = args.steps[0]
    zs = scenario(steps)
    for sr in (False, True):
        kf = make_filter(sr, lambda X, dt: fx(X, dt), lambda X: hx(X))
        plain, lagged = best_times([lambda: kf.copy().run(zs), lambda: kf.copy().run(zs, lag=lag)], rounds=5)
        form = "sqrt" if sr else "cov"
        bench.add(f"N={steps} {form}, Python callbacks: lag run vs plain run", lagged, plain)
    bench.report()


if __name__ == "__main__":
    main()
