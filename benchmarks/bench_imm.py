"""Benchmark of IMM and IMMBank against their peers, run by hand.

    PYTHONPATH=python python3 benchmarks/bench_imm.py [--steps 1000] [--targets 10000] [--bank-steps 5]

Two models, constant velocity (the built-in linear model) and coordinated
turn (built-in), with radar measurements (the built-in range-bearing model),
on a simulated straight-turn-straight track:

1. `IMM.run` over N steps against FilterPy's `IMMEstimator` over two FilterPy
   `UnscentedKalmanFilter`s configured as cubature filters
   (`MerweScaledSigmaPoints` with alpha=1, beta=0, kappa=0: 2n + 1 points
   whose centre weight is zero, i.e. the cubature rule) on the same data
   (target: at least 300x).
2. An `IMMBank` of M targets, per target-step, against two `CKFBank`s of M
   filters of its two models stepped side by side, per filter-step of both
   together (target: at most 2.5x).

Timings are the best of a few repetitions, measured in alternation (the
machine is shared).
"""

import argparse
import os
import sys
import time

# Both sides work on matrices of 5 by 5 at most: OpenBLAS threads would only
# spin beside them on the shared cores.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from runner import best_times  # noqa: E402

import vexel_ckf as vx  # noqa: E402
from vexel_ckf import models  # noqa: E402

DT = 1.0
F_CV = np.array([[1, 0, DT, 0], [0, 1, 0, DT], [0, 0, 1, 0], [0, 0, 0, 1]], dtype=float)
Q_CV = 0.05 * np.array([[1 / 3, 0, 1 / 2, 0], [0, 1 / 3, 0, 1 / 2], [1 / 2, 0, 1, 0], [0, 1 / 2, 0, 1]])
Q_CT = np.diag([0.01, 0.01, 0.1, 0.1, 1e-5])
R = np.diag([25.0, 1e-6])
X0 = np.array([3000.0, 2000.0, -60.0, 40.0, 0.0])
P0 = np.diag([100.0, 100.0, 25.0, 25.0, 1e-3])
T = np.array([[0.95, 0.05], [0.05, 0.95]])
MU = np.array([0.5, 0.5])


def track(steps, seed=0):
    rng = np.random.default_rng(seed)
    x = X0[:4].copy()
    out = []
    for k in range(steps):
        w = np.deg2rad(3.0) if (k // 100) % 3 == 1 else 0.0
        if w:
            c, s = np.cos(w), np.sin(w)
            x = np.array([x[0] + (s * x[2] - (1 - c) * x[3]) / w, x[1] + ((1 - c) * x[2] + s * x[3]) / w,
                          c * x[2] - s * x[3], s * x[2] + c * x[3]])
        else:
            x = F_CV @ x
        out.append([np.hypot(x[0], x[1]) + rng.normal(0, 5.0), np.arctan2(x[1], x[0]) + rng.normal(0, 1e-3)])
    return np.array(out)


def vexel_models():
    radar = models.range_bearing()
    cv = vx.VexelCKF(4, 2, DT, fx=models.linear(F_CV), hx=radar)
    cv.x, cv.P, cv.Q, cv.R = X0[:4], P0[:4, :4], Q_CV, R
    ct = vx.VexelCKF(5, 2, DT, fx=models.coordinated_turn(), hx=radar)
    ct.x, ct.P, ct.Q, ct.R = X0, P0, Q_CT, R
    return cv, ct


MAPS = [[0, 1, 2, 3], [0, 1, 2, 3, 4]]


def filterpy_imm():
    from filterpy.kalman import IMMEstimator, MerweScaledSigmaPoints, UnscentedKalmanFilter

    # The models as a FilterPy user writes them: NumPy functions of one point.
    def fx_ct(x, dt):
        px, py, vx_, vy, w = x
        if abs(w * dt) < 1e-9:
            return np.array([px + vx_ * dt, py + vy * dt, vx_, vy, w])
        s, c = np.sin(w * dt), np.cos(w * dt)
        return np.array([px + (s * vx_ - (1 - c) * vy) / w, py + ((1 - c) * vx_ + s * vy) / w,
                         c * vx_ - s * vy, s * vx_ + c * vy, w])

    def hx(x):
        return np.array([np.hypot(x[0], x[1]), np.arctan2(x[1], x[0])])

    def residual_z(a, b):
        d = a - b
        d[1] = (d[1] + np.pi) % (2 * np.pi) - np.pi
        return d

    filters = []
    # FilterPy's IMMEstimator needs filters of one state size: the constant-velocity model runs in the
    # 5-state layout with a frozen turn rate, as is usual with it.
    F5 = np.eye(5)
    F5[:4, :4] = F_CV
    Q5 = np.zeros((5, 5))
    Q5[:4, :4] = Q_CV
    Q5[4, 4] = 1e-12
    for fx, Q in ((lambda x, dt: F5 @ x, Q5), (fx_ct, Q_CT)):
        points = MerweScaledSigmaPoints(5, alpha=1.0, beta=0.0, kappa=0.0)
        ukf = UnscentedKalmanFilter(5, 2, DT, hx, fx, points, residual_z=residual_z)
        ukf.x, ukf.P, ukf.Q, ukf.R = X0.copy(), P0.copy(), Q.copy(), R.copy()
        filters.append(ukf)
    return IMMEstimator(filters, MU.copy(), T.copy())


def cpu_time(fn):
    t0 = time.process_time()
    fn()
    return time.process_time() - t0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--steps", type=int, default=1000)
    parser.add_argument("--targets", type=int, default=10000)
    parser.add_argument("--bank-steps", type=int, default=5)
    args = parser.parse_args()
    zs = track(args.steps)

    # 1. IMM.run against FilterPy's IMMEstimator.
    cv, ct = vexel_models()
    imm = vx.IMM([cv, ct], transition=T, mu=MU, state_maps=MAPS)

    def ours():
        imm.copy().run(zs)

    def peer():
        est = filterpy_imm()
        for z in zs:
            est.predict()
            est.update(z)

    def models_alone():
        cv.copy().run(zs)
        ct.copy().run(zs)

    t_ours, t_peer, t_alone = best_times([ours, peer, models_alone], rounds=3)
    # Both sides run on one thread: their CPU times, less sensitive than wall time to the other jobs
    # on a shared machine, side by side as well.
    c_ours = min(cpu_time(ours) for _ in range(30))
    c_peer = min(cpu_time(peer) for _ in range(3))
    print(f"IMM.run, {args.steps} steps: {t_ours * 1e3:.2f} ms ({t_ours / args.steps * 1e6:.2f} us/step); "
          f"FilterPy IMMEstimator over UKFs as cubature filters: {t_peer * 1e3:.1f} ms; "
          f"ratio {t_peer / t_ours:.0f}x (target >= 300x)")
    print(f"  in CPU time: {c_ours / args.steps * 1e6:.2f} us/step against {c_peer / args.steps * 1e6:.0f} us/step, "
          f"ratio {c_peer / c_ours:.0f}x")
    print(f"  the two models' own VexelCKF.run, one after the other: {t_alone / args.steps * 1e6:.2f} us/step "
          f"(the IMM's own share: {(t_ours - t_alone) / args.steps * 1e6:.2f} us/step)")

    # 2. IMMBank per target-step against the two CKFBanks per filter-step of both.
    M = args.targets
    rng = np.random.default_rng(2)
    seq = zs[:args.bank_steps, None, :] + rng.normal(0, [5.0, 1e-3], (args.bank_steps, M, 2))
    bank = vx.IMMBank(M, [cv, ct], transition=T, mu=MU, state_maps=MAPS)
    banks = []
    for f in (cv, ct):
        b = vx.CKFBank(M, f.dim_x, 2, DT, fx=f.fx, hx=f.hx)
        b.xs, b.Ps, b.Q, b.R = np.broadcast_to(f.x, (M, f.dim_x)), f.P, f.Q, f.R
        banks.append(b)

    # Each bank is stepped again and again, as a tracker steps it, through the same scans.
    def imm_bank():
        for k in range(args.bank_steps):
            bank.predict()
            bank.update(seq[k])

    def ckf_banks():
        for k in range(args.bank_steps):
            for b in banks:
                b.predict()
                b.update(seq[k])

    t_bank, t_pair = best_times([imm_bank, ckf_banks], rounds=5)
    steps = args.bank_steps * M
    print(f"IMMBank of {M} targets: {t_bank / steps * 1e6:.3f} us per target-step; the two CKFBanks: "
          f"{t_pair / steps * 1e6:.3f} us per filter-step of both; ratio {t_bank / t_pair:.2f} (target <= 2.5)")


if __name__ == "__main__":
    main()
