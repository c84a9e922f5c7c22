"""Demo: a fleet of tracks filtered and smoothed in one call.

    python -m vexel_ckf.demo_fleet [--tracks 2000] [--scans 500] [--seed 0]

A fleet of aircraft flies coordinated turns: straight legs and turns of 1 to
4 deg/s either way, switching at random. A radar at the origin measures
range and bearing; each track is revisited at its own period (0.5 to 2 s,
jittered scan to scan, so every track has its own scan times) and one scan
in ten misses its target (a row of NaN). `cubature_panel_smoother` filters
and smooths the whole fleet in one call with the built-in models
(`models.coordinated_turn()` and `models.range_bearing()`, the process noise
one matrix per track) and prints the time per sequence-step; then the RMS
position error against the truth of the radar scans, of the filtered
estimates (`cubature_filter`) and of the smoothed ones, and how many tracks
ended with each status.
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from typing import NamedTuple, Optional, Sequence

import numpy as np

SIGMA_RANGE = 20.0                 # m
SIGMA_BEARING = 1e-3               # rad
P_MISS = 0.1                       # share of the scans that miss their target
PERIODS = (0.5, 2.0)               # s, range of the tracks' revisit periods
JITTER = 0.05                      # scan-to-scan jitter of the period, as a share of it
LEG = 60.0                         # s, mean length of a straight leg or a turn
TURN_RATES = (1.0, 4.0)            # deg/s, range of the turns' rates (either way)
Q_ACC = 1.0                        # m^2/s^3, white-acceleration density of the filter's model
Q_TURN = math.radians(0.5) ** 2    # rad^2/s^3, turn-rate random-walk density of the filter's model
P0_SIGMAS = (100.0, 100.0, 30.0, 30.0, math.radians(2.0))   # the track initiator's uncertainty
STATUS_NAMES = {0: "ran to the end", 2: "numerical failure", 3: "model failure"}


class Fleet(NamedTuple):
    x0s: np.ndarray               # (M, 5) initial estimates [px, py, vx, vy, omega]
    P0: np.ndarray                # (5, 5) their covariance, shared
    zs: np.ndarray                # (M, N, 2) range and bearing, rows of NaN for missed scans
    dts: np.ndarray               # (M, N) time since the previous scan, per track
    Q: np.ndarray                 # (M, 1, 5, 5) process noise, one per track (its own period)
    R: np.ndarray                 # (2, 2)
    truth: Optional[np.ndarray]   # (M, N, 5) true states at the scans, or None


def turn(X: np.ndarray, dt: np.ndarray) -> np.ndarray:
    """Exact coordinated turn of every row [px, py, vx, vy, omega] over its own dt."""
    px, py, vx, vy, w = X.T
    wt = w * dt
    straight = np.abs(wt) < 1e-9
    w_safe = np.where(straight, 1.0, w)
    s, c = np.sin(wt), np.cos(wt)
    a = np.where(straight, dt, s / w_safe)                       # sin(w dt) / w
    b = np.where(straight, 0.5 * wt * dt, (1.0 - c) / w_safe)    # (1 - cos(w dt)) / w
    return np.column_stack((px + a * vx - b * vy, py + b * vx + a * vy, c * vx - s * vy, s * vx + c * vy, w))


def process_noise(dt: np.ndarray) -> np.ndarray:
    """(len(dt), 5, 5): white acceleration on the position and velocity, a random walk on the turn rate."""
    Q = np.zeros((len(dt), 5, 5))
    for k in range(2):
        Q[:, k, k] = Q_ACC * dt ** 3 / 3.0
        Q[:, k, k + 2] = Q[:, k + 2, k] = Q_ACC * dt ** 2 / 2.0
        Q[:, k + 2, k + 2] = Q_ACC * dt
    Q[:, 4, 4] = Q_TURN * dt
    return Q


def simulate_fleet(tracks: int, scans: int, seed: int = 0, keep_truth: bool = True) -> Fleet:
    """`tracks` aircraft 10 to 60 km from the radar, 50 to 250 m/s, each seen on `scans` scans."""
    rng = np.random.default_rng(seed)
    r = rng.uniform(10e3, 60e3, tracks)
    bearing = rng.uniform(-np.pi, np.pi, tracks)
    speed = rng.uniform(50.0, 250.0, tracks)
    heading = rng.uniform(-np.pi, np.pi, tracks)
    x = np.column_stack((r * np.cos(bearing), r * np.sin(bearing), speed * np.cos(heading),
                         speed * np.sin(heading), np.zeros(tracks)))
    sigmas = np.asarray(P0_SIGMAS)
    # The track initiator's estimate at time 0: the truth give or take its stated uncertainty.
    x0s = x + rng.standard_normal((tracks, 5)) * sigmas
    period = rng.uniform(*PERIODS, tracks)
    dts = period[:, None] * (1.0 + rng.uniform(-JITTER, JITTER, (tracks, scans)))
    zs = np.empty((tracks, scans, 2))
    truth = np.empty((tracks, scans, 5)) if keep_truth else None
    slowest, fastest = (math.radians(rate) for rate in TURN_RATES)
    for k in range(scans):
        dt = dts[:, k]
        # Manoeuvres: a leg ends with probability dt / LEG; the next one is
        # straight or a turn either way, at an even chance.
        switch = rng.random(tracks) < dt / LEG
        turning = rng.random(tracks) < 0.5
        new_rate = np.where(turning, rng.uniform(slowest, fastest, tracks) * rng.choice((-1.0, 1.0), tracks), 0.0)
        x[:, 4] = np.where(switch, new_rate, x[:, 4])
        x = turn(x, dt)
        zs[:, k, 0] = np.hypot(x[:, 0], x[:, 1]) + SIGMA_RANGE * rng.standard_normal(tracks)
        zs[:, k, 1] = np.arctan2(x[:, 1], x[:, 0]) + SIGMA_BEARING * rng.standard_normal(tracks)
        if truth is not None:
            truth[:, k] = x
    # Bearings measured as the radar reports them, in (-pi, pi].
    zs[:, :, 1] = np.remainder(zs[:, :, 1] + np.pi, 2.0 * np.pi) - np.pi
    zs[rng.random((tracks, scans)) < P_MISS] = np.nan
    Q = process_noise(period)[:, None]
    R = np.diag([SIGMA_RANGE ** 2, SIGMA_BEARING ** 2])
    return Fleet(x0s, np.diag(sigmas ** 2), zs, dts, Q, R, truth)


def position_rms(xs: np.ndarray, truth: np.ndarray) -> float:
    """RMS distance between estimated and true positions over every track and scan given."""
    return float(np.sqrt(np.mean(np.sum((xs[..., :2] - truth[..., :2]) ** 2, axis=-1))))


def scans_as_positions(zs: np.ndarray) -> np.ndarray:
    """The scans that arrived, as Cartesian positions (k, 2)."""
    seen = zs[~np.isnan(zs[..., 0])]
    return np.column_stack((seen[:, 0] * np.cos(seen[:, 1]), seen[:, 0] * np.sin(seen[:, 1])))


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m vexel_ckf.demo_fleet",
                                     description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--tracks", type=int, default=2000, help="number of tracks (default 2000)")
    parser.add_argument("--scans", type=int, default=500, help="scans of every track (default 500)")
    parser.add_argument("--seed", type=int, default=0, help="random seed of the simulation (default 0)")
    args = parser.parse_args(argv)
    if args.tracks < 1 or args.scans < 2:
        parser.error("--tracks must be at least 1 and --scans at least 2")

    from . import cubature_filter, cubature_panel_smoother, models

    fleet = simulate_fleet(args.tracks, args.scans, args.seed)
    truth = fleet.truth
    assert truth is not None
    missed = float(np.mean(np.isnan(fleet.zs[..., 0])))
    steps = args.tracks * args.scans
    print(f"vexel_ckf fleet demo: {args.tracks:,} tracks x {args.scans:,} scans; coordinated turns with manoeuvres, "
          f"a range-bearing radar at the origin")
    print(f"revisit periods {PERIODS[0]:g} to {PERIODS[1]:g} s (each track its own, jittered), "
          f"{100 * missed:.1f}% of the scans missed (rows of NaN); radar noise: range {SIGMA_RANGE:g} m, "
          f"bearing {SIGMA_BEARING * 1e3:g} mrad")
    print()

    fx, hx = models.coordinated_turn(), models.range_bearing()
    args_ = (fleet.x0s, fleet.P0, fleet.zs, fx, hx, fleet.Q, fleet.R)
    t0 = time.perf_counter()
    smoothed = cubature_panel_smoother(*args_, dts=fleet.dts, nan_means_missing=True, covariances=False)
    seconds = time.perf_counter() - t0
    print(f"cubature_panel_smoother, filter + smoother in one call: {seconds:.3f} s, "
          f"{seconds / steps * 1e6:.3f} us per sequence-step")
    # The filtered estimates, to show what smoothing adds.
    filtered = cubature_filter(*args_, dts=fleet.dts, nan_means_missing=True)
    print()

    # A track that failed has NaN rows; the errors are over the tracks that ran to the end.
    ok = (smoothed.status == 0) & (filtered.status == 0)
    seen = ~np.isnan(fleet.zs[..., 0]) & ok[:, None]
    if ok.any():
        print("position RMS error against the truth"
              + ("" if ok.all() else f" ({int(ok.sum()):,} tracks ran to the end)"))
        if seen.any():  # a tiny fleet may have missed every scan
            raw = position_rms(scans_as_positions(fleet.zs[ok]), truth[seen])
            print(f"  {'radar scans as positions':26s} {raw:9.1f} m")
        print(f"  {'filtered':26s} {position_rms(filtered.xs[ok], truth[ok]):9.1f} m")
        print(f"  {'smoothed':26s} {position_rms(smoothed.xs[ok], truth[ok]):9.1f} m")
    print()
    codes, counts = np.unique(smoothed.status, return_counts=True)
    print("tracks by status: " + ", ".join(f"{int(c)} ({STATUS_NAMES.get(int(c), 'other')}): {int(n):,}"
                                            for c, n in zip(codes, counts)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
