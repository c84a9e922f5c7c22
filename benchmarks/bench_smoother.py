"""The cubature RTS smoother: cost of one backward step, and the whole smoother against FilterPy.

1. One smoother step against one filter prediction with the same vectorised
   callback (fx = X @ F.T, the cheapest callback, so the native work shows),
   at n = 4 and n = 12, in both forms. Target: a smoother step costs at most
   1.5x a prediction (ratio prediction / step >= 0.67). Each figure once with
   one fx call per step (the default) and once with the steps' points stacked
   into few calls (`steps_per_call`). The prediction and both smoother
   figures are timed in alternation, round after round, so that the shared
   machine's load hits them alike.
2. The coordinated-turn radar scenario of the demo (5 states): the whole
   `cubature_smoother` against FilterPy's `UnscentedKalmanFilter.rts_smoother`
   with `MerweScaledSigmaPoints(5, alpha=1, beta=0, kappa=0)` (the cubature
   points plus a centre point of weight zero) on the same filtered trace.
   Target: >= 20x per step. FilterPy calls fx once per point: it gets the
   model written per point in plain float arithmetic (its natural form), and,
   as a second figure, our vectorised function applied to one point. Ours
   once with one fx call per step and once with `steps_per_call` = N.

    PYTHONPATH=python python benchmarks/bench_smoother.py [--steps N]
"""

from __future__ import annotations

import argparse
import math
import os

# NumPy's BLAS would otherwise spread the callbacks' products on stacked
# points over a second thread that spins between calls, on the core the
# measured step shares with the rest of the machine.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np
from runner import Bench, best_time, best_times

from vexel_ckf import cubature_smoother
from vexel_ckf._native import CubatureKalmanFilter, SquareRootCubatureKalmanFilter
from vexel_ckf.demo import DT, coordinated_turn, nonlinear_filter, radar, simulate


def linear_trace(n, steps, seed=0):
    rng = np.random.default_rng(seed)
    F = np.eye(n) + 0.05 * rng.standard_normal((n, n))
    F *= 0.99 / np.abs(np.linalg.eigvals(F)).max()
    A = rng.standard_normal((n, n))
    P = A @ A.T + n * np.eye(n)
    xs = rng.standard_normal((steps, n))
    return np.ascontiguousarray(F.T), xs, np.broadcast_to(P, (steps, n, n)).copy(), 0.01 * np.eye(n)


def step_vs_prediction(bench, n, steps):
    FT, xs, Ps, Q = linear_trace(n, steps)

    def fx(X, dt):
        return X @ FT

    for sr, cls in ((False, CubatureKalmanFilter), (True, SquareRootCubatureKalmanFilter)):
        f = cls(n, 1, 1.0)
        f.set_state(np.zeros(n), Ps[0], Q, np.eye(1))
        predict = f.predict_custom

        def predictions():
            for _ in range(steps - 1):
                predict(fx)

        def smoother(per_call):
            return lambda: cubature_smoother(xs, Ps, fx, Q, 1.0, square_root=sr, steps_per_call=per_call)

        t_pred, t_one, t_stacked = (t / (steps - 1) for t in best_times([predictions, smoother(1), smoother(steps)]))
        form = "square-root" if sr else "covariance"
        for how, t_step in (("1 call/step", t_one), ("stacked", t_stacked)):
            bench.add(f"n = {n:2d}, {form}, {how}: smoother step vs predict_custom", t_step, t_pred,
                      target=">= 0.67x (step <= 1.5x prediction)")


def turn_point(x, dt):
    """The coordinated turn of one state in plain float arithmetic, as written for FilterPy's per-point calls."""
    px, py, vx, vy, w = x
    wt = w * dt
    s, c = math.sin(wt), math.cos(wt)
    if abs(wt) < 1e-9:
        a, b = dt, 0.5 * wt * dt
    else:
        a, b = s / w, (1.0 - c) / w
    return np.array([px + a * vx - b * vy, py + b * vx + a * vy, c * vx - s * vy, s * vx + c * vy, w])


def turn_point_vectorised(x, dt):
    """The demo's vectorised function applied to one point (the very same code on both sides)."""
    return coordinated_turn(x[None, :], dt)[0]


def filterpy_smoother(kf_template, xs, Ps, fx=turn_point):
    from filterpy.kalman import MerweScaledSigmaPoints, UnscentedKalmanFilter

    points = MerweScaledSigmaPoints(5, alpha=1.0, beta=0.0, kappa=0.0)
    ukf = UnscentedKalmanFilter(5, 2, DT, hx=lambda x: radar(x[None, :])[0], fx=fx, points=points)
    ukf.Q = kf_template.Q
    return ukf.rts_smoother(xs, Ps)


def main():
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--steps", type=int, default=2000, help="scans of the radar scenario (default 2000)")
    args = parser.parse_args()

    bench = Bench("cubature smoother: one step against one prediction (ratio = prediction / step)")
    for n in (4, 12):
        step_vs_prediction(bench, n, steps=400)
    bench.report()
    print()

    truth, zs = simulate(args.steps, seed=7)
    kf = nonlinear_filter(zs, square_root=False)
    r = kf.run(zs, nan_means_missing=True)
    ours = kf.smooth(r)
    theirs = filterpy_smoother(kf, r.xs, r.Ps)
    print(f"same model check over {args.steps} steps: max |x_ours - x_filterpy| = "
          f"{np.abs(ours.xs - theirs[0]).max():.3g} m, max |P_ours - P_filterpy| / max |P| = "
          f"{np.abs(ours.Ps - theirs[1]).max() / np.abs(theirs[1]).max():.3g}")

    per = args.steps - 1
    bench = Bench(f"coordinated-turn radar, N = {args.steps}, n = 5: whole smoother (per step)")
    t_sm = {(sr, k): best_time(lambda: cubature_smoother(r.xs, r.Ps, coordinated_turn, kf.Q, DT, square_root=sr,
                                                         steps_per_call=k), number=1, repeat=5)
            for sr in (False, True) for k in (1, args.steps)}
    baselines = (("FilterPy UKF rts_smoother, per-point float fx", turn_point),
                 ("FilterPy UKF rts_smoother, our fx on one point", turn_point_vectorised))
    for label, point_fx in baselines:
        t_theirs = best_time(lambda: filterpy_smoother(kf, r.xs, r.Ps, point_fx), number=1, repeat=3)
        for (sr, k), t in t_sm.items():
            form = ("sqrt" if sr else "cov") + (", stacked" if k > 1 else "")
            bench.add(f"ours ({form}) vs {label}", t / per, t_theirs / per, target=">= 20x")
    t_fx = best_time(lambda: coordinated_turn(np.tile(r.xs[0], (10, 1)), DT))
    t_pt = best_time(lambda: turn_point(r.xs[0], DT))
    print(f"callback cost: vectorised fx on 10 points {t_fx * 1e6:.1f} us, per-point fx {t_pt * 1e6:.1f} us "
          f"(FilterPy calls it 11 times per step)")
    bench.report()


if __name__ == "__main__":
    main()
