"""Square-root vs covariance-form cubature Kalman filter: one predict + update cycle.

Both filters run the same linear model through vectorised callbacks
(fx = X @ F.T, hx = X @ H.T) from the same initial state, so the difference
is the native work: one QR per prediction, one QR, two triangular solves and
m rank-one downdates per update for the square-root form, against a jittered
Cholesky, moment sums and a guarded inverse for the covariance form.

    PYTHONPATH=python python3 benchmarks/bench_srckf.py [--steps N] [--repeats R]
"""

import argparse
import time

import numpy as np

from vexel_ckf._native import CubatureKalmanFilter, SquareRootCubatureKalmanFilter


def make_problem(n, m, seed=0):
    rng = np.random.default_rng(seed)
    F = np.eye(n) + 0.05 * rng.standard_normal((n, n))
    F *= 0.99 / np.abs(np.linalg.eigvals(F)).max()
    H = rng.standard_normal((m, n))
    A = rng.standard_normal((n, n))
    P0 = A @ A.T + n * np.eye(n)
    Q = 0.01 * np.eye(n)
    R = 0.1 * np.eye(m)
    zs = rng.standard_normal((4096, m))
    return F, H, P0, Q, R, zs


def time_cycles(cls, problem, steps, repeats):
    F, H, P0, Q, R, zs = problem
    n, m = H.shape[1], H.shape[0]
    FT, HT = np.ascontiguousarray(F.T), np.ascontiguousarray(H.T)

    def fx(X, dt):
        return X @ FT

    def hx(X):
        return X @ HT

    best = float("inf")
    for _ in range(repeats):
        f = cls(n, m, 0.1)
        f.set_state(np.zeros(n), P0, Q, R)
        predict, update = f.predict_custom, f.update
        t0 = time.perf_counter()
        for k in range(steps):
            predict(fx)
            update(zs[k % len(zs)], hx)
        best = min(best, (time.perf_counter() - t0) / steps)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, default=2000)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    print(f"{'n':>4} {'m':>4} {'CKF us/cycle':>14} {'SR-CKF us/cycle':>16} {'SR/CKF':>8}")
    for n in (4, 12, 32):
        m = max(1, n // 2)
        problem = make_problem(n, m)
        t_ckf = time_cycles(CubatureKalmanFilter, problem, args.steps, args.repeats)
        t_sr = time_cycles(SquareRootCubatureKalmanFilter, problem, args.steps, args.repeats)
        print(f"{n:>4} {m:>4} {t_ckf * 1e6:>14.2f} {t_sr * 1e6:>16.2f} {t_sr / t_ckf:>8.2f}")


if __name__ == "__main__":
    main()
