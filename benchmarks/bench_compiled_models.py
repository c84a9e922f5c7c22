"""Compiled models against Python callbacks, on the same filter and data.

Run by hand:  PYTHONPATH=python python3 benchmarks/bench_compiled_models.py

A coordinated-turn target tracked with range-bearing measurements (n = 5,
m = 2), its models given four ways: NumPy callbacks (the peer: what a user
writes without compiled models), compiled_fx/compiled_hx (numba), the
built-in vexel_ckf.models, and a C library through scipy.LowLevelCallable
(when a C compiler is found).

1. VexelCKF.run over 2000 steps, microseconds per step.
2. CKFBank of 1000 filters, one predict and one update, milliseconds per step.
3. The price of the decorators' bounds checks: the run of 1. with row
   functions compiled with and without them.

Each figure is printed next to the NumPy callbacks' from the same run, with
the ratio callbacks / compiled. Compilation happens before timing.
"""

import math
import os
import shutil
import sys
import tempfile
import timeit

import numba
import numpy as np

import vexel_ckf
from vexel_ckf import CKFBank, VexelCKF, compiled_fx, compiled_hx

P0 = np.diag([100.0, 100.0, 10.0, 10.0, 1e-4])
Q0 = np.diag([1.0, 1.0, 1.0, 1.0, 1e-5])
R0 = np.diag([25.0, 1e-4])


def turn(X, dt):
    px, py, vx, vy, w = X.T
    s, c = np.sin(w * dt), np.cos(w * dt)
    a, b = s / w, (1.0 - c) / w
    return np.column_stack((px + a * vx - b * vy, py + b * vx + a * vy, c * vx - s * vy, s * vx + c * vy, w))


def radar(X):
    return np.column_stack((np.hypot(X[:, 0], X[:, 1]), np.arctan2(X[:, 1], X[:, 0])))


def turn_row(x, dt, out):
    w = x[4]
    s, c = math.sin(w * dt), math.cos(w * dt)
    a, b = s / w, (1.0 - c) / w
    out[0] = x[0] + a * x[2] - b * x[3]
    out[1] = x[1] + b * x[2] + a * x[3]
    out[2] = c * x[2] - s * x[3]
    out[3] = s * x[2] + c * x[3]
    out[4] = w


def radar_row(x, out):
    out[0] = math.hypot(x[0], x[1])
    out[1] = math.atan2(x[1], x[0])


def c_models():
    """The guide's C example as LowLevelCallables (sensor at the origin), or None without a C compiler."""
    if not (os.environ.get("CC") or shutil.which("cc")):
        return None
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "compiled_model_c"))
    import run  # noqa: E402  (the example's loader)

    sensor = run.Sensor(0.0, 0.0)
    with tempfile.TemporaryDirectory() as tmp:
        fx, hx = run.models(run.build(tmp), sensor)
    return fx, hx


def data(rng, count, steps):
    xs = np.column_stack((rng.uniform(1e3, 5e3, (count, 2)), rng.normal(0.0, 10.0, (count, 2)),
                          rng.normal(0.0, 0.02, count) + 0.01))
    zs = np.empty((steps, count, 2))
    x = xs.copy()
    for k in range(steps):
        x = turn(x, 1.0)
        zs[k] = radar(x) + rng.normal(0.0, [5.0, 0.01], (count, 2))
    return xs, zs


def best(fn, repeat=5):
    return min(timeit.repeat(fn, number=1, repeat=repeat))


def bench_run(variants, steps=2000):
    xs, zs = data(np.random.default_rng(0), 1, steps)

    def runner(fx, hx):
        def go():
            kf = VexelCKF(5, 2, 1.0, fx=fx, hx=hx, angle_measurements=[1])
            kf.x, kf.P, kf.Q, kf.R = xs[0], P0, Q0, R0
            kf.run(zs[:, 0])
        return go

    peer = best(runner(turn, radar)) / steps * 1e6
    print(f"VexelCKF.run, {steps} steps (n=5, m=2): NumPy callbacks {peer:8.2f} us/step")
    for name, (fx, hx) in variants.items():
        ours = best(runner(fx, hx)) / steps * 1e6
        print(f"  {name:<28} {ours:8.2f} us/step   ratio {peer / ours:6.1f}x")


def bench_bank(variants, count=1000, steps=20):
    xs, zs = data(np.random.default_rng(1), count, steps)

    def runner(fx, hx):
        def go():
            bank = CKFBank(count, 5, 2, 1.0, fx, hx, angle_measurements=[1])
            bank.xs, bank.Ps, bank.Q, bank.R = xs, P0, Q0, R0
            for z in zs:
                bank.predict()
                bank.update(z)
        return go

    peer = best(runner(turn, radar), 3) / steps * 1e3
    print(f"CKFBank of {count} filters, predict + update: NumPy callbacks {peer:8.3f} ms/step")
    for name, (fx, hx) in variants.items():
        ours = best(runner(fx, hx), 3) / steps * 1e3
        print(f"  {name:<28} {ours:8.3f} ms/step   ratio {peer / ours:6.1f}x")


def bench_bounds_checks(steps=2000):
    xs, zs = data(np.random.default_rng(2), 1, steps)
    unchecked = numba.njit(boundscheck=False)  # a numba function keeps its own options
    models = {"bounds-checked (the default)": (compiled_fx(5)(turn_row), compiled_hx(5, 2)(radar_row)),
              "unchecked": (compiled_fx(5)(unchecked(turn_row)), compiled_hx(5, 2)(unchecked(radar_row)))}
    times = {}
    for name, (fx, hx) in models.items():
        def go():
            kf = VexelCKF(5, 2, 1.0, fx=fx, hx=hx, angle_measurements=[1])
            kf.x, kf.P, kf.Q, kf.R = xs[0], P0, Q0, R0
            kf.run(zs[:, 0])
        times[name] = best(go, 9) / steps * 1e6
    a, b = times.values()
    print(f"VexelCKF.run with compiled_fx/compiled_hx: bounds-checked {a:.2f} us/step, unchecked {b:.2f} us/step "
          f"(ratio {a / b:.2f})")


def main():
    variants = {
        "compiled_fx/compiled_hx": (compiled_fx(5)(turn_row), compiled_hx(5, 2, angle_measurements=[1])(radar_row)),
        "vexel_ckf.models": (vexel_ckf.models.coordinated_turn(), vexel_ckf.models.range_bearing()),
    }
    c = c_models()
    if c is not None:
        variants["C via LowLevelCallable"] = c
    bench_run(variants)
    bench_bank(variants)
    bench_bounds_checks()


if __name__ == "__main__":
    main()
