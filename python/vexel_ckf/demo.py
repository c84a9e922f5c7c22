"""Demo: track a manoeuvring target seen by a range-bearing radar with dropouts.

    python -m vexel_ckf.demo [--steps N] [--seed S] [--plot FILE.png]

A target flies straight, turns left, flies straight, turns right (a
coordinated-turn trajectory). A radar at the origin measures range and
bearing once a second and sometimes misses the target. The demo

* filters the radar data with both filter classes through `VexelCKF.run()`,
  on a coordinated-turn model whose turn rate is part of the state (missed
  scans are rows of NaN with ``nan_means_missing=True``), once with the
  NumPy callbacks below and once with the same models built in
  (`vexel_ckf.models`, evaluated natively), and smooths the square-root run
  with `VexelCKF.smooth()`;
* converts the radar data to Cartesian positions and filters and smooths a
  linear constant-velocity view with `batch_filter` and `rts_smoother`, with
  per-step transition and noise stacks (the time between scans varies where
  scans were missed);
* prints position RMSE, mean NIS against its 95% chi-square band and time
  per step (warm: the best of a few runs after a first one, so imports and
  first-call costs are left out); ``--plot`` draws truth, measurements and
  tracks, and the position error of every estimate over time (needs
  matplotlib: ``pip install "vexel_ckf[plot]"``).
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple, TypeVar

import numpy as np

from . import VexelCKF, batch_filter, rts_smoother

DT = 1.0                         # seconds between radar scans
SIGMA_RANGE = 15.0               # m
SIGMA_BEARING = math.radians(0.5)
Z_975 = 1.959963984540054        # standard normal 97.5% quantile
TIMING_REPEATS = 5               # timed runs after the warm-up run; the best counts

T = TypeVar("T")


# -- models ------------------------------------------------------------------

def coordinated_turn(X: np.ndarray, dt: float) -> np.ndarray:
    """Coordinated turn of every row [px, py, vx, vy, omega] over dt (omega in rad/s)."""
    px, py, vx, vy, w = X[:, 0], X[:, 1], X[:, 2], X[:, 3], X[:, 4]
    wt = w * dt
    straight = np.abs(wt) < 1e-9
    w_safe = np.where(straight, 1.0, w)
    s, c = np.sin(wt), np.cos(wt)
    a = np.where(straight, dt, s / w_safe)                  # sin(w dt) / w
    b = np.where(straight, 0.5 * wt * dt, (1.0 - c) / w_safe)  # (1 - cos(w dt)) / w
    out = np.empty_like(X)
    out[:, 0] = px + a * vx - b * vy
    out[:, 1] = py + b * vx + a * vy
    out[:, 2] = c * vx - s * vy
    out[:, 3] = s * vx + c * vy
    out[:, 4] = w
    return out


def radar(X: np.ndarray) -> np.ndarray:
    """Range and bearing of every row's position, seen from the origin."""
    return np.column_stack((np.hypot(X[:, 0], X[:, 1]), np.arctan2(X[:, 1], X[:, 0])))


def white_acceleration_q(dt: float, q_acc: float) -> np.ndarray:
    """Process noise of a 2-D position/velocity state [px, py, vx, vy] under white acceleration."""
    q = np.zeros((4, 4))
    for k in range(2):
        q[k, k] = q_acc * dt ** 3 / 3.0
        q[k, k + 2] = q[k + 2, k] = q_acc * dt ** 2 / 2.0
        q[k + 2, k + 2] = q_acc * dt
    return q


def constant_velocity_f(dt: float) -> np.ndarray:
    f = np.eye(4)
    f[0, 2] = f[1, 3] = dt
    return f


# -- scenario ----------------------------------------------------------------

def simulate(steps: int, seed: int) -> Tuple[np.ndarray, np.ndarray]:
    """Truth states (steps, 5) and radar measurements (steps, 2), NaN rows for missed scans."""
    rng = np.random.default_rng(seed)
    turn = np.zeros(steps)
    # Straight, a 3 deg/s left turn, straight, a 2 deg/s right turn, straight.
    for start, stop, rate in ((0.25, 0.4, 3.0), (0.6, 0.75, -2.0)):
        turn[int(start * steps):int(stop * steps)] = math.radians(rate)
    truth = np.empty((steps, 5))
    state = np.array([[-3000.0, 2500.0, 40.0, 0.0, 0.0]])
    for k in range(steps):
        state[0, 4] = turn[k]
        state = coordinated_turn(state, DT)
        truth[k] = state[0]
    zs = radar(truth)
    zs[:, 0] += SIGMA_RANGE * rng.standard_normal(steps)
    zs[:, 1] += SIGMA_BEARING * rng.standard_normal(steps)
    missed = rng.random(steps) < 0.08
    missed[int(0.55 * steps):int(0.55 * steps) + 8] = True  # a longer fade
    missed[0] = False
    zs[missed] = np.nan
    return truth, zs


def polar_to_cartesian(zs: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Positions and their (linearised) covariances from range-bearing rows."""
    r, b = zs[:, 0], zs[:, 1]
    pos = np.column_stack((r * np.cos(b), r * np.sin(b)))
    jac = np.empty((len(zs), 2, 2))
    jac[:, 0, 0], jac[:, 0, 1] = np.cos(b), -r * np.sin(b)
    jac[:, 1, 0], jac[:, 1, 1] = np.sin(b), r * np.cos(b)
    noise = np.diag([SIGMA_RANGE ** 2, SIGMA_BEARING ** 2])
    return pos, jac @ noise @ jac.transpose(0, 2, 1)


def chi2_band(dof: int) -> Tuple[float, float]:
    """95% band of a chi-square variable with dof degrees of freedom (Wilson-Hilferty)."""
    h = 2.0 / (9.0 * dof)
    return tuple(dof * (1.0 - h + z * math.sqrt(h)) ** 3 for z in (-Z_975, Z_975))  # type: ignore[return-value]


def rmse(estimated: np.ndarray, truth: np.ndarray) -> float:
    return float(np.sqrt(np.mean(np.sum((estimated[:, :2] - truth[:, :2]) ** 2, axis=1))))


# -- filtering ---------------------------------------------------------------

def builtin_models() -> Optional[Tuple[Any, Any]]:
    """The built-in coordinated turn and radar (vexel_ckf.models), or None in a build without them."""
    try:
        from . import models
    except ImportError:
        return None
    return models.coordinated_turn(), models.range_bearing()


def nonlinear_filter(zs: np.ndarray, square_root: bool, fx: Any = coordinated_turn, hx: Any = radar) -> VexelCKF:
    kf = VexelCKF(5, 2, DT, fx=fx, hx=hx, square_root=square_root)
    pos, cov = polar_to_cartesian(zs[:1])
    kf.x = np.array([pos[0, 0], pos[0, 1], 0.0, 0.0, 0.0])
    p0 = np.zeros((5, 5))
    p0[:2, :2] = cov[0]
    p0[2, 2] = p0[3, 3] = 60.0 ** 2
    p0[4, 4] = math.radians(5.0) ** 2
    kf.P = p0
    q = np.zeros((5, 5))
    q[:4, :4] = white_acceleration_q(DT, 0.02)
    q[4, 4] = math.radians(0.2) ** 2 * DT
    kf.Q = q
    kf.R = np.diag([SIGMA_RANGE ** 2, SIGMA_BEARING ** 2])
    return kf


class LinearView(NamedTuple):
    steps: np.ndarray          # indices of the scans that arrived, after the first
    filtered: np.ndarray
    smoothed: np.ndarray
    filter_time: float         # seconds per step
    smooth_time: float


def timed(fn: Callable[[], T]) -> Tuple[T, float]:
    """fn's result and its best time in seconds over TIMING_REPEATS calls after a warm-up call."""
    result = fn()
    best = math.inf
    for _ in range(TIMING_REPEATS):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return result, best


def linear_view(zs: np.ndarray, q_acc: float = 2.0) -> LinearView:
    """Filter and smooth the Cartesian-converted scans with a constant-velocity model.

    A constant-velocity model knows nothing of the turns, so its acceleration
    noise must cover the centripetal acceleration of the target (about 2 m/s^2
    in the 3 deg/s turn); the smoother then removes most of the lag.
    """
    seen = np.flatnonzero(~np.isnan(zs[:, 0]))
    pos, cov = polar_to_cartesian(zs[seen])
    x0 = np.array([pos[0, 0], pos[0, 1], 0.0, 0.0])
    p0 = np.zeros((4, 4))
    p0[:2, :2] = cov[0]
    p0[2, 2] = p0[3, 3] = 60.0 ** 2
    # Step k goes from scan seen[k-1] to scan seen[k]; the gaps vary where scans were missed.
    gaps = np.diff(seen) * DT
    fs = np.stack([constant_velocity_f(g) for g in gaps])
    qs = np.stack([white_acceleration_q(g, q_acc) for g in gaps])
    h = np.hstack((np.eye(2), np.zeros((2, 2))))
    filtered, filter_time = timed(lambda: batch_filter(x0, p0, pos[1:], fs, h, qs, cov[1:]))
    smoothed, smooth_time = timed(lambda: rts_smoother(filtered.xs, filtered.Ps, fs, qs))
    n = len(gaps)
    return LinearView(seen[1:], filtered.xs, smoothed.xs, filter_time / n, smooth_time / n)


def report(rows: List[Tuple[str, float, Optional[Tuple[float, float, float]], Optional[float]]]) -> None:
    print(f"{'':36s} {'position':>9s} {'mean':>6s} {'95% band':>15s} {'time/step':>11s}")
    print(f"{'':36s} {'RMSE (m)':>9s} {'NIS':>6s} {'':15s} {'':11s}")
    for label, err, nis, per_step in rows:
        if nis is None:
            nis_txt, band_txt = "-", "-"
        else:
            mean, lo, hi = nis
            nis_txt, band_txt = f"{mean:.2f}", f"[{lo:.2f}, {hi:.2f}]"
        time_txt = "-" if per_step is None else f"{per_step * 1e6:.1f} us"
        print(f"{label:36s} {err:9.1f} {nis_txt:>6s} {band_txt:>15s} {time_txt:>11s}")


def plot(path: str, truth: np.ndarray, zs: np.ndarray, tracks: Dict[str, np.ndarray], view: LinearView) -> None:
    """Tracks on the left; position error over time of every estimate on the right."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (ax, ax_err) = plt.subplots(1, 2, figsize=(15, 6.5), gridspec_kw={"width_ratios": [1.0, 1.25]})
    seen = ~np.isnan(zs[:, 0])
    pos, _ = polar_to_cartesian(zs[seen])
    times = np.arange(len(truth)) * DT
    radar_error = np.hypot(*(pos - truth[seen, :2]).T)
    ax.plot(truth[:, 0], truth[:, 1], "k-", lw=2, label="truth")
    ax.plot(pos[:, 0], pos[:, 1], ".", color="0.6", ms=3, label="radar scans")
    ax_err.plot(times[seen], radar_error, ".", color="0.75", ms=3, label="radar scans as positions")
    estimates = dict(tracks)
    estimates["batch_filter (linear CV)"] = view.filtered
    estimates["rts_smoother (linear CV)"] = view.smoothed
    styles = ["-", (0, (4, 3)), "-", "-"]
    for (label, xs), style in zip(estimates.items(), styles):
        linear = "linear CV" in label
        rows = view.steps if linear else np.arange(len(truth))
        lines = ax.plot(xs[:, 0], xs[:, 1], linestyle=style, lw=1, label=label)
        ax_err.plot(times[rows], np.hypot(*(xs[:, :2] - truth[rows, :2]).T), linestyle=style, lw=1.1,
                    color=lines[0].get_color(), label=label)
    ax.plot([0.0], [0.0], "^", color="k", label="radar")
    ax.set_xlabel("x (m)")
    ax.set_ylabel("y (m)")
    ax.set_aspect("equal", adjustable="datalim")
    ax.set_title("tracks")
    ax.legend(loc="best", fontsize="small")
    missed = times[~seen]
    if len(missed):
        ax_err.vlines(missed, 0.0, 1.0, transform=ax_err.get_xaxis_transform(), color="tab:red", alpha=0.15,
                      lw=1, label="missed scans")
    ax_err.set_xlabel("time (s)")
    ax_err.set_ylabel("position error (m)")
    ax_err.set_ylim(0.0, 1.05 * float(np.percentile(radar_error, 98)))
    ax_err.set_title("position error over time")
    ax_err.grid(True, alpha=0.3)
    ax_err.legend(loc="upper center", bbox_to_anchor=(0.5, -0.12), ncol=3, fontsize="small", frameon=False)
    fig.suptitle("vexel_ckf demo: coordinated turn, range-bearing radar with dropouts")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m vexel_ckf.demo", description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--steps", type=int, default=400, help="number of radar scans (default 400)")
    parser.add_argument("--seed", type=int, default=7, help="random seed of the simulation (default 7)")
    parser.add_argument("--plot", metavar="FILE.png", help="write a picture of the tracks and their position error over time")
    args = parser.parse_args(argv)
    if args.steps < 20:
        parser.error("--steps must be at least 20")
    if args.plot:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            print('--plot needs matplotlib: pip install "vexel_ckf[plot]"', file=sys.stderr)
            return 2

    truth, zs = simulate(args.steps, args.seed)
    seen = ~np.isnan(zs[:, 0])
    n_seen = int(seen.sum())
    print("vexel_ckf demo: coordinated-turn target, range-bearing radar at the origin")
    print(f"{args.steps} scans of {DT:g} s, {args.steps - n_seen} missed; radar noise: range "
          f"{SIGMA_RANGE:g} m, bearing {math.degrees(SIGMA_BEARING):g} deg")
    print()

    pos, _ = polar_to_cartesian(zs[seen])
    rows: List[Tuple[str, float, Optional[Tuple[float, float, float]], Optional[float]]] = [
        ("radar scans as positions", rmse(pos, truth[seen]), None, None),
    ]
    lo, hi = chi2_band(2 * n_seen)
    tracks = {}
    runs: List[Tuple[str, bool, Any, Any]] = [("VexelCKF run(), covariance form", False, coordinated_turn, radar)]
    builtin = builtin_models()
    if builtin is not None:
        # The same models compiled into the package: no Python per step.
        runs.append(("VexelCKF run(), built-in models", False, *builtin))
    runs.append(("VexelCKF run(), square-root form", True, coordinated_turn, radar))
    for label, square_root, fx, hx in runs:
        kf = nonlinear_filter(zs, square_root, fx, hx)
        # Every timed run starts from a fresh filter (a run moves its filter on).
        result, seconds = timed(lambda: nonlinear_filter(zs, square_root, fx, hx).run(zs, nan_means_missing=True))
        mean_nis = float(np.nanmean(result.nis))
        rows.append((label, rmse(result.xs, truth), (mean_nis, lo / n_seen, hi / n_seen), seconds / args.steps))
        if fx is coordinated_turn:
            tracks[label.replace("VexelCKF run(), ", "VexelCKF ")] = result.xs
    # The last run (square-root form) smoothed with its filter's model; the
    # coordinated turn is row-wise, so every step's points go in one call.
    smoothed, seconds = timed(lambda: kf.smooth(result, steps_per_call=args.steps))
    rows.append(("VexelCKF smooth(), square-root form", rmse(smoothed.xs, truth), None, seconds / args.steps))
    tracks["VexelCKF smooth()"] = smoothed.xs

    view = linear_view(zs)
    steps = view.steps
    rows.append(("batch_filter, linear CV view", rmse(view.filtered, truth[steps]), None, view.filter_time))
    rows.append(("rts_smoother, linear CV view", rmse(view.smoothed, truth[steps]), None, view.smooth_time))
    report(rows)
    print()
    print("Mean NIS is averaged over the scans that arrived; a filter whose noise model matches the data")
    print("lands inside the band. RMSE of the linear view is over the scans that arrived. Times are the")
    print(f"best of {TIMING_REPEATS} runs after a warm-up run.")

    if args.plot:
        plot(args.plot, truth, zs, tracks, view)
        print(f"wrote {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
