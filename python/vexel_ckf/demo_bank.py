"""Many targets at once: a CKFBank tracking a crowd of manoeuvring targets.

    python -m vexel_ckf.demo_bank --targets 2000 [--steps 60] [--seed 0]

Every target flies coordinated turns at its own turn rate; a radar at the
origin measures range and bearing, missing each target on one scan in ten
(an all-NaN row: status 4). Now and then some tracks end and new ones start
(`keep` and `add`). One filter per target, all stepped together with one fx
and one hx call per scan; the table shows the time per step.
"""

from __future__ import annotations

import argparse
import time
from typing import Dict, List, Optional, Sequence

import numpy as np

from ._bank import CKFBank
from .demo import coordinated_turn, radar

DT = 1.0
SIGMA_RANGE = 5.0  # m
SIGMA_BEARING = 0.002  # rad
P_DETECT = 0.9
TURNOVER = 0.05  # share of the tracks that end (and start) every 10 scans
P0 = np.diag([400.0, 400.0, 100.0, 100.0, 1e-4])
Q = np.diag([0.5, 0.5, 0.5, 0.5, 1e-6])
R = np.diag([SIGMA_RANGE**2, SIGMA_BEARING**2])


def new_targets(rng: np.random.Generator, count: int) -> np.ndarray:
    """Targets 2 to 8 km out, 50 to 250 m/s, turning at up to 2 deg/s."""
    r = rng.uniform(2e3, 8e3, count)
    a = rng.uniform(-np.pi, np.pi, count)
    speed = rng.uniform(50.0, 250.0, count)
    heading = rng.uniform(-np.pi, np.pi, count)
    turn = np.radians(rng.uniform(-2.0, 2.0, count))
    return np.column_stack((r * np.cos(a), r * np.sin(a), speed * np.cos(heading), speed * np.sin(heading), turn))


def scan(rng: np.random.Generator, truth: np.ndarray) -> np.ndarray:
    """One radar scan: a noisy (range, bearing) per target, NaN where it was missed."""
    zs = radar(truth) + rng.normal(0.0, [SIGMA_RANGE, SIGMA_BEARING], (len(truth), 2))
    zs[rng.random(len(truth)) > P_DETECT] = np.nan
    return zs


def start_tracks(zs: np.ndarray) -> np.ndarray:
    """Initial states from first detections: position from the measurement, unknown velocity."""
    return np.column_stack((zs[:, 0] * np.cos(zs[:, 1]), zs[:, 0] * np.sin(zs[:, 1]), np.zeros((len(zs), 3))))


def run_demo(targets: int, steps: int, seed: int = 0, report: bool = True) -> Dict[str, float]:
    """Track `targets` targets for `steps` scans; returns the summary figures."""
    rng = np.random.default_rng(seed)
    truth = new_targets(rng, targets)
    first = radar(truth) + rng.normal(0.0, [SIGMA_RANGE, SIGMA_BEARING], (targets, 2))
    bank = CKFBank(targets, 5, 2, DT, coordinated_turn, radar, angle_measurements=[1])
    bank.xs, bank.Ps, bank.Q, bank.R = start_tracks(first), P0, Q, R
    age = np.zeros(targets, dtype=int)  # scans since each track started
    times: List[float] = []
    if report:
        print(f"vexel_ckf bank demo: {targets} targets, coordinated turns, range-bearing radar at the origin, "
              f"{round(100 * (1 - P_DETECT))}% missed detections")
        print(f"{'scan':>5s} {'tracks':>7s} {'time/step':>10s} {'per filter':>11s} {'updated':>8s} {'missed':>7s} "
              f"{'position RMSE':>14s} (settled tracks)")
    rmse = raw = float("nan")
    for k in range(1, steps + 1):
        if k % 10 == 0:
            # Some tracks end and as many new targets appear.
            ended = rng.random(len(bank)) < TURNOVER
            bank.keep(~ended)
            truth, age = truth[~ended], age[~ended]
            born = new_targets(rng, int(ended.sum()))
            seen = radar(born) + rng.normal(0.0, [SIGMA_RANGE, SIGMA_BEARING], (len(born), 2))
            bank.add(start_tracks(seen), P0)
            truth = np.vstack((truth, born))
            age = np.concatenate((age, np.zeros(len(born), dtype=int)))
        truth = coordinated_turn(truth, DT)
        zs = scan(rng, truth)
        t0 = time.perf_counter()
        bank.predict()
        bank.update(zs)
        times.append(time.perf_counter() - t0)
        age += 1
        status = bank.status
        # Tracks that have settled (a few scans old) against the raw detections.
        settled = age >= 5 if k >= 5 else age >= 0
        err = bank.xs[settled, :2] - truth[settled, :2]
        rmse = float(np.sqrt(np.mean(np.sum(err**2, axis=1))))
        seen = ~np.isnan(zs[:, 0])
        raw = float(np.sqrt(np.mean(np.sum((start_tracks(zs[seen])[:, :2] - truth[seen, :2]) ** 2, axis=1))))
        if report and (k % 10 == 0 or k == 1 or k == steps):
            print(f"{k:5d} {len(bank):7d} {times[-1] * 1e3:8.2f} ms {times[-1] / len(bank) * 1e6:8.3f} us "
                  f"{int(np.sum(status <= 1)):8d} {int(np.sum(status == 4)):7d} {rmse:12.1f} m")
    best = min(times)
    mean = float(np.mean(times))
    if report:
        print(f"time per step: mean {mean * 1e3:.2f} ms, best {best * 1e3:.2f} ms "
              f"({best / len(bank) * 1e6:.3f} us per filter-step, fx and hx included); "
              f"position RMSE {rmse:.1f} m against {raw:.1f} m for the raw measurements")
    return {"rmse": rmse, "raw": raw, "best_step": best, "mean_step": mean, "tracks": float(len(bank))}


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m vexel_ckf.demo_bank", description=__doc__.splitlines()[0])
    parser.add_argument("--targets", type=int, default=2000, help="number of targets (one filter each)")
    parser.add_argument("--steps", type=int, default=60, help="number of radar scans")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)
    if args.targets < 1 or args.steps < 1:
        parser.error("--targets and --steps must be positive")
    run_demo(args.targets, args.steps, args.seed)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
