"""Cost of the angle options and per-step time steps in VexelCKF.run().

Same filter, same data, n = 4 (a constant-velocity target seen by a
range-bearing radar, m = 2), N = 5,000 steps, both forms: run() with
angle_measurements=[1] (and angle_states on a heading-like entry), and with
dts, against the plain run() in the same process. The ratio is the plain
run's time over the optioned run's; the target is a ratio of at least 0.67,
that is the optioned run within 1.5x of the plain one.

    PYTHONPATH=python python benchmarks/bench_user_layer.py [--steps N]
"""

from __future__ import annotations

import argparse

import numpy as np
from runner import Bench

from vexel_ckf import VexelCKF

DT = 0.1


def fx(X, dt):
    out = X.copy()
    out[:, 0] += dt * X[:, 2]
    out[:, 1] += dt * X[:, 3]
    return out


def hx(X):
    return np.column_stack((np.hypot(X[:, 0], X[:, 1]), np.arctan2(X[:, 1], X[:, 0])))


def scenario(steps, seed=1):
    rng = np.random.default_rng(seed)
    x = np.array([-500.0, 30.0, 0.5, -0.6])
    zs = np.empty((steps, 2))
    for k in range(steps):
        x = fx(x[None, :], DT)[0]
        zs[k] = hx(x[None, :])[0] + rng.standard_normal(2) * [1.0, 0.002]
    zs[:, 1] = np.angle(np.exp(1j * zs[:, 1]))
    return zs


def make(square_root, **options):
    kf = VexelCKF(4, 2, DT, fx=fx, hx=hx, square_root=square_root, **options)
    kf.x = [-500.0, 30.0, 0.0, 0.0]
    kf.P = np.diag([25.0, 25.0, 10.0, 10.0])
    kf.Q = np.diag([1e-4, 1e-4, 2.5e-3, 2.5e-3])
    kf.R = np.diag([1.0, 0.002 ** 2])
    return kf


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--steps", type=int, default=5_000)
    args = parser.parse_args()
    zs = scenario(args.steps)
    dts = np.full(args.steps, DT)
    bench = Bench(f"VexelCKF.run() options, N = {args.steps}, n = 4, m = 2 (ratio = plain / with option)")
    for square_root in (False, True):
        form = "square-root" if square_root else "covariance"
        plain = lambda: make(square_root).run(zs)  # noqa: E731
        cases = {
            "angle_measurements=[1]": (dict(angle_measurements=[1]), {}),
            "angle_states=[2] + angle_measurements=[1]": (dict(angle_states=[2], angle_measurements=[1]), {}),
            "dts": ({}, dict(dts=dts)),
            "dts + both angle options": (dict(angle_states=[2], angle_measurements=[1]), dict(dts=dts)),
        }
        for label, (options, run_kw) in cases.items():
            ours = lambda o=options, k=run_kw: make(square_root, **o).run(zs, **k)  # noqa: E731
            bench.compare(f"{form}: {label}", ours=ours, baseline=plain, number=1, repeat=5, target=">= 0.67x")
    bench.report()


if __name__ == "__main__":
    main()
