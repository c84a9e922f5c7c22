"""Covariance-form cubature filter: one predict/update cycle against FilterPy,
the native overhead of a cycle, and record_step against the reads it replaces.

Run by hand:  PYTHONPATH=python python3 benchmarks/bench_ckf.py [--quick]
"""

import argparse
import os
import time
import warnings

# Small products on a shared machine: BLAS worker threads only add spinning
# and scheduling noise to both sides of the comparison.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import numpy as np  # noqa: E402

from vexel_ckf._native import CubatureKalmanFilter  # noqa: E402


def best_per_call(fn, calls, repeats):
    """Best (smallest) mean time per call over `repeats` runs of `calls` calls."""
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        for _ in range(calls):
            fn()
        best = min(best, (time.perf_counter() - t0) / calls)
    return best


def model(n, seed=0, q=0.01):
    m = max(n // 2, 1)
    rng = np.random.default_rng(seed)
    F = np.eye(n) + 0.01 * rng.standard_normal((n, n))
    H = rng.standard_normal((m, n))
    A = rng.standard_normal((n, n))
    P0 = A @ A.T / n + np.eye(n)
    Q = q * np.eye(n)
    R = 0.5 * np.eye(m)
    x0 = rng.standard_normal(n)
    zs = rng.standard_normal((64, m))
    return F, H, P0, Q, R, x0, zs


def vexel_filter(n, dt=0.1, q=0.01):
    F, H, P0, Q, R, x0, zs = model(n, q=q)
    f = CubatureKalmanFilter(n, H.shape[0], dt)
    f.set_state(x0, P0, Q, R)
    FT, HT = F.T.copy(), H.T.copy()
    fx = lambda X, dt: X @ FT  # noqa: E731
    hx = lambda X: X @ HT  # noqa: E731
    return f, fx, hx, zs


def filterpy_filter(n, dt=0.1, q=0.01):
    from filterpy.kalman import CubatureKalmanFilter as FPCKF

    F, H, P0, Q, R, x0, zs = model(n, q=q)
    f = FPCKF(dim_x=n, dim_z=H.shape[0], dt=dt, hx=lambda x: H @ x, fx=lambda x, dt: F @ x)
    # FilterPy keeps its means as columns.
    f.x = x0.reshape(-1, 1).copy()
    f.P = P0.copy()
    f.Q = Q.copy()
    f.R = R.copy()
    return f, zs[:, :, None]


def cycle_comparison(quick):
    print("predict_custom + update cycle, vectorised linear fx/hx (m = n/2)")
    print(f"{'n':>4} {'vexel_ckf':>12} {'FilterPy':>12} {'ratio':>8}   {'max |dx| after 20 steps':>24}")
    for n in (4, 12, 32):
        # Same data, same model.  FilterPy's update reuses the propagated
        # points (their spread lacks Q) where this filter draws fresh points
        # from the predicted (x, P); with Q = 0 both are the linear Kalman
        # filter, so the check runs without process noise.
        f, fx, hx, zs = vexel_filter(n, q=0.0)
        g, gzs = filterpy_filter(n, q=0.0)
        for k in range(20):
            f.predict_custom(fx)
            f.update(zs[k], hx)
            g.predict()
            g.update(gzs[k])
        agree = float(np.max(np.abs(f.get("x") - g.x.ravel())))

        f, fx, hx, zs = vexel_filter(n)
        z = zs[0]

        def ours():
            f.predict_custom(fx)
            f.update(z, hx)

        g, gzs = filterpy_filter(n)
        gz = gzs[0]

        def theirs():
            g.predict()
            g.update(gz)

        ours_t = best_per_call(ours, 200 if quick else 2000, 3 if quick else 5)
        theirs_t = best_per_call(theirs, 10 if quick else 100, 3 if quick else 5)
        print(f"{n:>4} {ours_t * 1e6:>10.2f}us {theirs_t * 1e6:>10.1f}us {theirs_t / ours_t:>7.1f}x   {agree:>24.2e}")


def overhead(quick):
    n = 4
    f, fx, hx, zs = vexel_filter(n)
    z = zs[0]
    X = np.ascontiguousarray(np.random.default_rng(1).standard_normal((2 * n, n)))
    dt = 0.1
    calls = 20000  # short calls: the difference needs many of them, even in a quick run

    def cycle():
        f.predict_custom(fx)
        f.update(z, hx)

    def callbacks_alone():
        fx(X, dt)
        hx(X)

    t_cycle = best_per_call(cycle, calls, 5)
    t_cb = best_per_call(callbacks_alone, calls, 5)
    print()
    print(f"native overhead of one cycle at n = 4: cycle {t_cycle * 1e6:.2f} us - callbacks alone "
          f"{t_cb * 1e6:.2f} us = {(t_cycle - t_cb) * 1e6:.2f} us (target < 5 us)")


def recording(quick):
    n = 4
    f, fx, hx, zs = vexel_filter(n)
    f.predict_custom(fx)
    f.update(zs[0], hx)
    N = 1000
    out = (np.zeros((N, n)), np.zeros((N, n, n)), np.zeros((N, n)), np.zeros((N, n, n)), np.zeros(N), np.zeros(N))
    xs_post, Ps_post, xs_prior, Ps_prior, lls, nis = out
    i = 5

    def record():
        f.record_step(i, out)

    def six_gets():
        xs_post[i] = f.get("x_post")
        Ps_post[i] = f.get("P_post")
        xs_prior[i] = f.get("x_prior")
        Ps_prior[i] = f.get("P_prior")
        lls[i] = f.get("log_likelihood")
        nis[i] = f.get("nis")

    calls = 5000 if quick else 50000
    t_rec = best_per_call(record, calls, 5)
    t_get = best_per_call(six_gets, calls, 5)
    print()
    print(f"record_step at n = 4: {t_rec * 1e6:.2f} us vs six get calls {t_get * 1e6:.2f} us "
          f"({t_get / t_rec:.1f}x)")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    cycle_comparison(args.quick)
    overhead(args.quick)
    recording(args.quick)


if __name__ == "__main__":
    main()
