"""Native (compiled) models against a hand-fused C++ filter and the Python peers.

    PYTHONPATH=python:benchmarks python benchmarks/bench_native_models.py [--steps 2000] [--repeat 7]
        [--filters 100000] [--bank-rounds 3] [--quick] [--peer-python /work/bench-venv/bin/python]

One model throughout: a coordinated-turn target (n = 5, state [px, py, vx,
vy, omega], dt = 1 s) weaving left and right at 3 deg/s, seen by a range and
bearing radar at the origin (m = 2), Q and R fixed.  Side by side, in one
run, each as microseconds per step and as a ratio:

* the hand-fused C++ filter of benchmarks/fused_ct_filter.cpp, compiled here
  with the package's Release flags (the limit: no callbacks, fixed sizes);
* `VexelCKF.run` with the built-in models `models.coordinated_turn()` and
  `models.range_bearing()`;
* `VexelCKF.run` with the same models as row functions compiled by numba
  through `compiled_fx` / `compiled_hx` (as a user gets them, bounds-checked;
  and pre-decorated with ``numba.njit(boundscheck=False)``);
* `VexelCKF.run` with the demo's vectorised NumPy callbacks;
* FilterPy 2.0's `CubatureKalmanFilter`, predict and update per step, its fx
  and hx per point in plain float arithmetic (FilterPy's natural form);
* dynamax's jitted `unscented_kalman_filter` with alpha = 1, beta = 0,
  kappa = 0 (the cubature points plus a centre point of weight zero), in
  steady state (after a compiling call), run by an interpreter that has JAX
  and dynamax (this one, or --peer-python; JAX and dynamax are not
  dependencies of the package), with our built-in run timed in alternation
  with it in that process where the package loads there; skipped with the
  reason when no interpreter has them;
* a `CKFBank` of --filters filters with the built-in models, per
  filter-step on 1 and on 2 workers (VEXEL_CKF_NUM_THREADS, each in its own
  subprocess, the two kinds run in turn --bank-rounds times; the fused
  filter timed in alternation with the bank's steps in the same process),
  and its peak memory (VmHWM, reset after the bank is built) above the RSS
  before the bank, against the size of its state (xs, Ps and the priors);
* `cubature_smoother` with a compiled fx against FilterPy's
  `UnscentedKalmanFilter.rts_smoother` with `MerweScaledSigmaPoints(5, 1, 0, 0)`
  on the same filtered trace.

Before timing, the fused filter's track is checked against `VexelCKF` with
the NumPy callbacks (a sanity check printed here, not a test).  Times are the
best of --repeat runs, the filters timed in alternation round after round so
that the shared machine's load hits them alike.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import subprocess
import sys
import tempfile
import time

# NumPy's BLAS would spread the callbacks' small products over a second
# thread that spins between calls, on a core the measured step shares.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np
from runner import best_times

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DEFAULT_PEER_PYTHON = "/work/bench-venv/bin/python"

DT = 1.0
SIGMA_RANGE = 10.0                 # m
SIGMA_BEARING = math.radians(0.5)  # rad
TURN_RATE = math.radians(3.0)      # rad/s


# -- scenario ----------------------------------------------------------------

def turn_point(x, dt):
    """The coordinated turn of one state in plain float arithmetic (FilterPy's per-point form)."""
    px, py, vx, vy, w = x
    wt = w * dt
    s, c = math.sin(wt), math.cos(wt)
    if abs(wt) < 1e-9:
        a, b = dt, 0.5 * wt * dt
    else:
        a, b = s / w, (1.0 - c) / w
    return np.array([px + a * vx - b * vy, py + b * vx + a * vy, c * vx - s * vy, s * vx + c * vy, w])


def radar_point(x):
    return np.array([math.hypot(x[0], x[1]), math.atan2(x[1], x[0])])


def simulate(steps, seed=3):
    """Truth (steps, 5) and measurements (steps, 2): a target starting at (2 km, 1 km)
    heading east at 30 m/s, weaving (30 s left at 3 deg/s, 20 s straight, 30 s right,
    20 s straight) so that its heading swings between 0 and 90 degrees: it drifts
    north-east, far from the radar and from the bearing seam at +-180 degrees."""
    rng = np.random.default_rng(seed)
    pattern = [TURN_RATE] * 30 + [0.0] * 20 + [-TURN_RATE] * 30 + [0.0] * 20
    truth = np.empty((steps, 5))
    x = np.array([2000.0, 1000.0, 30.0, 0.0, 0.0])
    for k in range(steps):
        x[4] = pattern[k % len(pattern)]
        x = turn_point(x, DT)
        truth[k] = x
    zs = np.column_stack((np.hypot(truth[:, 0], truth[:, 1]), np.arctan2(truth[:, 1], truth[:, 0])))
    zs += rng.standard_normal((steps, 2)) * [SIGMA_RANGE, SIGMA_BEARING]
    return truth, zs


def initial_state(zs):
    r, b = zs[0]
    x0 = np.array([r * math.cos(b), r * math.sin(b), 0.0, 0.0, 0.0])
    P0 = np.diag([SIGMA_RANGE ** 2 * 4, SIGMA_RANGE ** 2 * 4, 40.0 ** 2, 40.0 ** 2, math.radians(5.0) ** 2])
    q_acc = 0.05
    Q = np.zeros((5, 5))
    for k in range(2):
        Q[k, k] = q_acc * DT ** 3 / 3.0
        Q[k, k + 2] = Q[k + 2, k] = q_acc * DT ** 2 / 2.0
        Q[k + 2, k + 2] = q_acc * DT
    Q[4, 4] = math.radians(0.3) ** 2 * DT
    R = np.diag([SIGMA_RANGE ** 2, SIGMA_BEARING ** 2])
    return x0, P0, Q, R


# -- the contenders ----------------------------------------------------------

def turn_row(x, dt, out):
    """The coordinated turn of one state for compiled_fx (series below |omega dt| = 1e-3, as the fused filter)."""
    w = x[4]
    wt = w * dt
    s, c = math.sin(wt), math.cos(wt)
    if abs(wt) < 1e-3:
        t2 = wt * wt
        a = dt * (1.0 - t2 / 6.0 * (1.0 - t2 / 20.0))
        b = dt * wt * (0.5 - t2 / 24.0 * (1.0 - t2 / 30.0))
    else:
        a, b = s / w, (1.0 - c) / w
    out[0] = x[0] + a * x[2] - b * x[3]
    out[1] = x[1] + b * x[2] + a * x[3]
    out[2] = c * x[2] - s * x[3]
    out[3] = s * x[2] + c * x[3]
    out[4] = w


def radar_row(x, out):
    out[0] = math.hypot(x[0], x[1])
    out[1] = math.atan2(x[1], x[0])


def numba_models(boundscheck=True):
    """turn_row and radar_row through compiled_fx / compiled_hx, by default with their bounds checks
    (what a user gets), else pre-decorated with numba.njit(boundscheck=False); (fx, hx) or the reason
    they cannot be made."""
    try:
        from vexel_ckf import compiled_fx, compiled_hx
    except ImportError as exc:
        return None, f"not available in this build ({exc})"
    try:
        fx_row, hx_row = turn_row, radar_row
        if not boundscheck:
            import numba

            fx_row, hx_row = numba.njit(boundscheck=False)(fx_row), numba.njit(boundscheck=False)(hx_row)
        return (compiled_fx(5)(fx_row), compiled_hx(5, 2, angle_measurements=(1,))(hx_row)), None
    except ImportError as exc:
        return None, f"numba not importable ({exc})"


def builtin_models():
    """(coordinated_turn(), range_bearing()) of vexel_ckf.models, or the reason they are missing."""
    try:
        from vexel_ckf import models
        return (models.coordinated_turn(), models.range_bearing()), None
    except (ImportError, AttributeError) as exc:
        return None, f"not available in this build ({type(exc).__name__}: {exc})"


def make_filter(fx, hx, x0, P0, Q, R, **angles):
    from vexel_ckf import VexelCKF

    kf = VexelCKF(5, 2, DT, fx=fx, hx=hx, **angles)
    kf.x, kf.P, kf.Q, kf.R = x0, P0, Q, R
    return kf


def vexel_runner(fx, hx, x0, P0, Q, R, zs, **angles):
    """A timed run of VexelCKF (construction included: nothing next to N steps), or the reason it fails."""
    try:
        kf = make_filter(fx, hx, x0, P0, Q, R, **angles)
        result = kf.run(zs[:3])
        if not np.all(np.isfinite(result.xs)):
            return None, "produced non-finite states"
    except Exception as exc:  # noqa: BLE001 -- a build without native models rejects them somewhere
        return None, f"not available in this build ({type(exc).__name__}: {exc})"
    return (lambda: make_filter(fx, hx, x0, P0, Q, R, **angles).run(zs)), None


def filterpy_runner(x0, P0, Q, R, zs):
    try:
        from filterpy.kalman import CubatureKalmanFilter
    except ImportError as exc:
        return None, f"FilterPy not importable ({exc})"

    def run():
        kf = CubatureKalmanFilter(5, 2, DT, hx=radar_point, fx=turn_point)
        kf.x, kf.P, kf.Q, kf.R = x0.copy(), P0.copy(), Q.copy(), R.copy()
        xs = np.empty((len(zs), 5))
        for k, z in enumerate(zs[:, :, None]):  # FilterPy's CKF takes z as a column
            kf.predict()
            kf.update(z)
            xs[k] = kf.x.ravel()
        return xs

    return run, None


# -- dynamax, in whichever interpreter has it --------------------------------

def dynamax_child(path, repeat):
    """Runs inside an interpreter with JAX and dynamax: prints JSON with the time per step."""
    import jax

    jax.config.update("jax_enable_x64", True)
    import jax.numpy as jnp
    from dynamax.nonlinear_gaussian_ssm import ParamsNLGSSM, UKFHyperParams, unscented_kalman_filter

    data = np.load(path)
    zs = jnp.asarray(data["zs"])

    def turn(x):
        px, py, vx, vy, w = x
        wt = w * DT
        s, c = jnp.sin(wt), jnp.cos(wt)
        small = jnp.abs(wt) < 1e-3
        w_safe = jnp.where(small, 1.0, w)
        t2 = wt * wt
        a = jnp.where(small, DT * (1.0 - t2 / 6.0 * (1.0 - t2 / 20.0)), s / w_safe)
        b = jnp.where(small, DT * wt * (0.5 - t2 / 24.0 * (1.0 - t2 / 30.0)), (1.0 - c) / w_safe)
        return jnp.array([px + a * vx - b * vy, py + b * vx + a * vy, c * vx - s * vy, s * vx + c * vy, w])

    def radar(x):
        return jnp.array([jnp.hypot(x[0], x[1]), jnp.arctan2(x[1], x[0])])

    # dynamax conditions on y_t before predicting, so it starts from our first prior.
    params = ParamsNLGSSM(initial_mean=jnp.asarray(data["prior_x"]), initial_covariance=jnp.asarray(data["prior_P"]),
                          dynamics_function=turn, dynamics_covariance=jnp.asarray(data["Q"]),
                          emission_function=radar, emission_covariance=jnp.asarray(data["R"]))
    hyper = UKFHyperParams(alpha=1.0, beta=0.0, kappa=0.0)
    run = jax.jit(lambda ys: unscented_kalman_filter(params, ys, hyper, output_fields=["filtered_means"]))
    t0 = time.perf_counter()
    first = run(zs)
    jax.block_until_ready(first)
    compile_time = time.perf_counter() - t0
    fns = [lambda: jax.block_until_ready(run(zs))]
    # Our run with the built-in models, timed in alternation with dynamax where this interpreter
    # can load the package, so that the ratio of the two sees one machine load.
    try:
        models, _ = builtin_models()
        args = (data["x0"], data["P0"], data["Q"], data["R"])
        fns.append(lambda: make_filter(models[0], models[1], *args).run(data["zs"]))
        fns[-1]()
    except Exception:  # noqa: BLE001 -- then only dynamax is timed here
        del fns[1:]
    times = best_times(fns, rounds=repeat)
    xs = np.asarray(first.filtered_means)
    print(json.dumps({"seconds": times[0], "builtin": times[1] if len(times) > 1 else None,
                      "first_call": compile_time, "xs": xs.tolist(),
                      "versions": f"jax {jax.__version__}, dynamax {__import__('dynamax').__version__}"}))


def peer_python(requested):
    """An interpreter that can import jax and dynamax (this one first), or (None, why not)."""
    candidates = [sys.executable] + ([requested] if requested else [])
    reasons = []
    for exe in candidates:
        if not os.path.exists(exe):
            reasons.append(f"{exe} does not exist")
            continue
        probe = subprocess.run([exe, "-c", "import jax, dynamax"], capture_output=True, text=True)
        if probe.returncode == 0:
            return exe, None
        last = (probe.stderr.strip().splitlines() or ["?"])[-1]
        reasons.append(f"{exe}: {last}")
    return None, "; ".join(reasons)


def dynamax_time(zs, prior_x, prior_P, x0, P0, Q, R, repeat, requested):
    exe, why = peer_python(requested)
    if exe is None:
        return None, f"skipped: no interpreter with jax and dynamax ({why})"
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "track.npz")
        np.savez(path, zs=zs, prior_x=prior_x, prior_P=prior_P, x0=x0, P0=P0, Q=Q, R=R)
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.join(ROOT, "python"), HERE]),
                   JAX_PLATFORMS="cpu")
        res = subprocess.run([exe, __file__, "--child", "dynamax", "--data", path, "--repeat", str(repeat)],
                             capture_output=True, text=True, env=env)
    if res.returncode != 0:
        return None, f"skipped: the dynamax run failed ({(res.stderr.strip().splitlines() or ['?'])[-1]})"
    return json.loads(res.stdout.strip().splitlines()[-1]), None


# -- the bank, each figure in its own process --------------------------------

def bank_targets(count, seed=0):
    rng = np.random.default_rng(seed)
    xs = np.column_stack((rng.uniform(1e3, 5e3, (count, 2)), rng.normal(0, 10, (count, 2)),
                          rng.normal(0, 0.02, count)))
    return xs


def bank_child(count, repeat, steps):
    """Times predict + update of a bank of `count` filters with the built-in models and measures
    its memory: RSS before the bank, after building it, and the peak during the steps.  The fused
    filter's run over the track of `steps` steps is timed in alternation with the bank's steps, so
    that the two figures compared see the same machine load."""
    from fused_build import load_fused

    from vexel_ckf import CKFBank
    from vexel_ckf.demo import coordinated_turn, radar

    models, why = builtin_models()
    if models is None:
        print(json.dumps({"error": why}))
        return
    ct, rb = models
    xs0 = bank_targets(count)
    rng = np.random.default_rng(1)
    zs = radar(coordinated_turn(xs0, DT)) + rng.normal(0, [SIGMA_RANGE, SIGMA_BEARING], (count, 2))
    _, P0, Q, R = initial_state(zs)
    fused = load_fused()
    _, track = simulate(steps)
    fused_args = (*fused.arrays(track, *initial_state(track)), DT, np.empty((steps, 5)), np.empty((steps, 5, 5)))
    fused.raw(*fused_args)
    rss0 = proc_status("VmRSS")
    bank = CKFBank(count, 5, 2, DT, ct, rb)
    bank.xs, bank.Ps, bank.Q, bank.R = xs0, P0, Q, R
    rss1 = proc_status("VmRSS")
    # xs, Ps, xs_prior and Ps_prior in float64, counted rather than read back
    # (reading a field makes a copy, which would then sit in the RSS measured).
    state = 2 * count * (5 + 5 * 5) * 8
    reset = reset_peak()
    best = best_fused = math.inf
    for _ in range(repeat + 1):  # the first step faults the bank's work storage in
        t0 = time.perf_counter()
        bank.predict()
        bank.update(zs)
        best = min(best, time.perf_counter() - t0)
        t0 = time.perf_counter()
        fused.raw(*fused_args)
        best_fused = min(best_fused, time.perf_counter() - t0)
    peak = proc_status("VmHWM")
    if not np.all(np.isfinite(bank.xs)):
        print(json.dumps({"error": "the bank produced non-finite states"}))
        return
    print(json.dumps({"seconds": best, "fused": best_fused / steps, "state": state, "rss_before": rss0, "rss_built": rss1, "peak": peak,
                      "peak_reset": reset}))


def proc_status(key):
    """A figure of /proc/self/status in bytes (VmRSS, VmHWM)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(key)


def reset_peak():
    """Resets the peak RSS (VmHWM) to the current RSS; False where the kernel does not allow it
    (the peak then also covers everything before)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def bank_figures(count, repeat, workers, steps):
    env = dict(os.environ, VEXEL_CKF_NUM_THREADS=str(workers))
    res = subprocess.run([sys.executable, __file__, "--child", "bank", "--filters", str(count),
                          "--repeat", str(repeat), "--steps", str(steps)], capture_output=True, text=True, env=env)
    if res.returncode != 0:
        return {"error": (res.stderr.strip().splitlines() or ["?"])[-1]}
    return json.loads(res.stdout.strip().splitlines()[-1])


def bank_rounds(count, repeat, steps, rounds):
    """The 1-worker and 2-worker processes run in turn, `rounds` times each; per worker count the
    round with the fastest step counts (with its fused figure and memory)."""
    best = {}
    for _ in range(rounds):
        for workers in (1, 2):
            figures = bank_figures(count, repeat, workers, steps)
            if "error" in figures:
                return figures, figures
            if workers not in best or figures["seconds"] < best[workers]["seconds"]:
                best[workers] = figures
    return best[1], best[2]


# -- smoother ----------------------------------------------------------------

def filterpy_smoother(xs, Ps, Q):
    from filterpy.kalman import MerweScaledSigmaPoints, UnscentedKalmanFilter

    points = MerweScaledSigmaPoints(5, alpha=1.0, beta=0.0, kappa=0.0)
    ukf = UnscentedKalmanFilter(5, 2, DT, hx=radar_point, fx=turn_point, points=points)
    ukf.Q = Q
    return ukf.rts_smoother(xs, Ps)


# -- report ------------------------------------------------------------------

class Targets:
    def __init__(self):
        self.rows = []

    def check(self, label, value, op, bound, unit="x"):
        if value is None:
            self.rows.append((label, "-", "n/a"))
            return
        ok = value <= bound if op == "<=" else value >= bound
        self.rows.append((label, f"{value:8.2f}{unit} (target {op} {bound:g}{unit})", "PASS" if ok else "MISS"))

    def report(self):
        print("targets")
        for label, text, verdict in self.rows:
            print(f"  {label:52s} {text:34s} {verdict}")


def main():
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--steps", type=int, default=2000, help="steps of the track (default 2000)")
    parser.add_argument("--peer-steps", type=int, default=None,
                        help="steps FilterPy and the smoothers are timed on (default min(steps, 500))")
    parser.add_argument("--repeat", type=int, default=7, help="repetitions; the best counts (default 7)")
    parser.add_argument("--filters", type=int, default=100_000, help="filters of the bank (default 100,000)")
    parser.add_argument("--bank-rounds", type=int, default=3,
                        help="bank processes per worker count, run in turn (default 3)")
    parser.add_argument("--quick", action="store_true", help="short track, small bank, few repetitions")
    parser.add_argument("--peer-python", default=DEFAULT_PEER_PYTHON,
                        help=f"interpreter with jax and dynamax for that peer (default {DEFAULT_PEER_PYTHON})")
    parser.add_argument("--child", choices=("dynamax", "bank"), help=argparse.SUPPRESS)
    parser.add_argument("--data", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child == "dynamax":
        dynamax_child(args.data, args.repeat)
        return
    if args.child == "bank":
        bank_child(args.filters, args.repeat, args.steps)
        return
    if args.quick:
        args.steps, args.repeat, args.filters = min(args.steps, 400), min(args.repeat, 3), min(args.filters, 10_000)
        args.bank_rounds = 1
    steps = args.steps
    peer_steps = min(steps, args.peer_steps or 500)

    from fused_build import load_fused

    from vexel_ckf import cubature_smoother
    from vexel_ckf.demo import coordinated_turn, radar

    truth, zs = simulate(steps)
    x0, P0, Q, R = initial_state(zs)
    print(f"coordinated-turn radar track: N = {steps} steps, n = 5, m = 2, dt = {DT:g} s; "
          f"best of {args.repeat}; {os.cpu_count()} CPUs")

    # -- the fused filter and its check against VexelCKF ----------------------
    fused = load_fused()
    fused_xs, fused_Ps = fused(zs, x0, P0, Q, R, DT)
    kf_np = make_filter(coordinated_turn, radar, x0, P0, Q, R, angle_measurements=[1])
    ref = kf_np.run(zs)
    dx = np.abs(fused_xs - ref.xs).max() / np.abs(ref.xs).max()
    dP = np.abs(fused_Ps - ref.Ps).max() / np.abs(ref.Ps).max()
    pos_rmse = float(np.sqrt(np.mean(np.sum((ref.xs[:, :2] - truth[:, :2]) ** 2, axis=1))))
    print(f"fused C++ ({fused.library}) vs VexelCKF with NumPy callbacks over {steps} steps: "
          f"max |dx| / max |x| = {dx:.2g}, max |dP| / max |P| = {dP:.2g} "
          f"({'agree' if dx < 1e-9 and dP < 1e-9 else 'DISAGREE'} to 1e-9); position RMSE {pos_rmse:.1f} m")
    zs_c, x0_c, P0_c, Q_c, R_c = fused.arrays(zs, x0, P0, Q, R)
    out_xs, out_Ps = np.empty((steps, 5)), np.empty((steps, 5, 5))

    def run_fused():
        fused.raw(zs_c, x0_c, P0_c, Q_c, R_c, DT, out_xs, out_Ps)

    # -- the contenders -------------------------------------------------------
    rows = {}      # label -> seconds per step, or a reason string
    runs = {"fused C++ (hand-written, models inlined)": run_fused}
    models, why_builtin = builtin_models()
    label_builtin = "VexelCKF.run, built-in models"
    if models is not None:
        fn, why_builtin = vexel_runner(models[0], models[1], x0, P0, Q, R, zs)
        if fn is not None:
            runs[label_builtin] = fn
    if label_builtin not in runs:
        rows[label_builtin] = why_builtin
    label_numba = "VexelCKF.run, compiled_fx/compiled_hx (numba)"
    label_nocheck = "VexelCKF.run, compiled_fx/hx, njit(boundscheck=False)"
    for label, boundscheck in ((label_numba, True), (label_nocheck, False)):
        nb, why = numba_models(boundscheck)
        if nb is not None:
            fn, why = vexel_runner(nb[0], nb[1], x0, P0, Q, R, zs)
            if fn is not None:
                runs[label] = fn
        if label not in runs:
            rows[label] = why
    label_numpy = "VexelCKF.run, NumPy callbacks"
    runs[label_numpy] = lambda: make_filter(coordinated_turn, radar, x0, P0, Q, R, angle_measurements=[1]).run(zs)

    label_fp = f"FilterPy CubatureKalmanFilter loop ({peer_steps} steps)"
    fp, why_fp = filterpy_runner(x0, P0, Q, R, zs[:peer_steps])
    if fp is not None:
        runs[label_fp] = fp
    else:
        rows[label_fp] = why_fp

    for label, fn in runs.items():  # warm every path (imports, first touches, numba's first call)
        result = fn()
        if label == label_fp:
            print(f"FilterPy vs VexelCKF over {peer_steps} steps: max |dx| / max |x| = "
                  f"{np.abs(result - ref.xs[:peer_steps]).max() / np.abs(ref.xs).max():.2g} (FilterPy's update "
                  f"reuses the propagated points instead of redrawing them from the prior)")
        elif result is not None and label != label_numpy:
            print(f"{label} vs NumPy callbacks: max |dx| / max |x| = "
                  f"{np.abs(result.xs - ref.xs).max() / np.abs(ref.xs).max():.2g}")
    times = best_times(list(runs.values()), rounds=args.repeat)
    for label, t in zip(runs, times):
        rows[label] = t / (peer_steps if label == label_fp else steps)

    label_dyn = "dynamax UKF (alpha 1, beta 0, kappa 0), jitted"
    kf0 = make_filter(coordinated_turn, radar, x0, P0, Q, R)
    kf0.predict()
    dyn, why_dyn = dynamax_time(zs, kf0.x_prior, kf0.P_prior, x0, P0, Q, R, args.repeat, args.peer_python)
    builtin_beside_dyn = None  # our built-in run timed in alternation with dynamax, in its process
    if dyn is not None:
        rows[label_dyn] = dyn["seconds"] / steps
        dyn_xs = np.asarray(dyn["xs"])
        if dyn["builtin"] is not None:
            builtin_beside_dyn = dyn["builtin"] / steps
        print(f"dynamax ({dyn['versions']}) vs VexelCKF: max |dx| / max |x| = "
              f"{np.abs(dyn_xs - ref.xs).max() / np.abs(ref.xs).max():.2g}; first (compiling) call "
              f"{dyn['first_call']:.2f} s, not counted"
              + ("" if builtin_beside_dyn is None else
                 f"; the built-in run timed beside it in that process: {builtin_beside_dyn * 1e6:.3f} us/step"))
    else:
        rows[label_dyn] = why_dyn

    # -- the table ------------------------------------------------------------
    t_fused = rows["fused C++ (hand-written, models inlined)"]
    print()
    print(f"{'filter run':58s} {'us/step':>10s} {'x fused':>9s}")
    order = ["fused C++ (hand-written, models inlined)", label_builtin, label_numba, label_nocheck, label_numpy,
             label_fp, label_dyn]
    for label in order:
        value = rows[label]
        if isinstance(value, str):
            print(f"{label:58s} {value}")
        else:
            print(f"{label:58s} {value * 1e6:10.3f} {value / t_fused:8.2f}x")

    def per_step(label):
        value = rows.get(label)
        return None if value is None or isinstance(value, str) else value

    t_builtin, t_numba, t_numpy = per_step(label_builtin), per_step(label_numba), per_step(label_numpy)
    t_fp, t_dyn = per_step(label_fp), per_step(label_dyn)

    # -- the bank -------------------------------------------------------------
    print()
    M = args.filters
    one, two = bank_rounds(M, args.repeat, steps, args.bank_rounds)
    bank_one = bank_two = bank_fused = memory = None
    if "error" in one or "error" in two:
        print(f"CKFBank of {M:,} filters, built-in models: {one.get('error') or two.get('error')}")
    else:
        bank_one, bank_two, bank_fused = one["seconds"] / M, two["seconds"] / M, one["fused"]
        mb = 1 / 2 ** 20
        print(f"CKFBank of {M:,} filters, built-in models, predict + update per filter-step:")
        print(f"  1 worker  {bank_one * 1e6:8.3f} us ({bank_one / bank_fused:5.2f}x the fused filter's "
              f"{bank_fused * 1e6:.3f} us/step, timed in alternation with it)")
        print(f"  2 workers {bank_two * 1e6:8.3f} us   speed-up {bank_one / bank_two:5.2f}x")
        peak = one["peak"] - one["rss_before"]
        memory = peak / one["state"]
        print(f"  memory (1 worker): state (xs, Ps, priors) {one['state'] * mb:7.1f} MB; RSS after building "
              f"{(one['rss_built'] - one['rss_before']) * mb:7.1f} MB, peak during the steps "
              f"{peak * mb:7.1f} MB above the RSS before the bank"
              f"{'' if one['peak_reset'] else ' (peak not resettable: includes earlier peaks)'}; "
              f"ratio {memory:.2f}")

    # -- the smoother ---------------------------------------------------------
    print()
    smooth_fx = smooth_label = None
    if models is not None:
        smooth_fx, smooth_label = models[0], "built-in coordinated_turn()"
    t_smooth_ratio = None
    trace_xs, trace_Ps = ref.xs[:peer_steps], ref.Ps[:peer_steps]
    if smooth_fx is not None:
        try:
            ours_s = cubature_smoother(trace_xs, trace_Ps, smooth_fx, Q, DT)
        except Exception as exc:  # noqa: BLE001
            print(f"cubature_smoother with a compiled fx: not available in this build ({type(exc).__name__}: {exc})")
            smooth_fx = None
    else:
        print("cubature_smoother with a compiled fx: not available in this build (no compiled model)")
    if smooth_fx is not None:
        theirs_s = filterpy_smoother(trace_xs, trace_Ps, Q)
        print(f"smoother check over {peer_steps} steps: max |dx| / max |x| = "
              f"{np.abs(ours_s.xs - theirs_s[0]).max() / np.abs(trace_xs).max():.2g}")
        t_ours_s, t_theirs_s = best_times(
            [lambda: cubature_smoother(trace_xs, trace_Ps, smooth_fx, Q, DT),
             lambda: filterpy_smoother(trace_xs, trace_Ps, Q)], rounds=max(args.repeat, 25))
        per = peer_steps - 1
        t_smooth_ratio = t_theirs_s / t_ours_s
        print(f"cubature_smoother ({smooth_label}) {t_ours_s / per * 1e6:8.3f} us/step   FilterPy UKF "
              f"rts_smoother (Merwe 1, 0, 0) {t_theirs_s / per * 1e6:8.1f} us/step   ratio {t_smooth_ratio:6.0f}x")

    # -- targets --------------------------------------------------------------
    print()
    targets = Targets()

    def ratio(a, b):
        return None if a is None or b is None else a / b

    targets.check("built-in run / fused", ratio(t_builtin, t_fused), "<=", 2.0)
    targets.check("NumPy callbacks / built-in run", ratio(t_numpy, t_builtin), ">=", 15.0)
    targets.check("FilterPy / built-in run", ratio(t_fp, t_builtin), ">=", 300.0)
    targets.check("dynamax / built-in run", ratio(t_dyn, builtin_beside_dyn or t_builtin), ">=", 5.0)
    targets.check("bank per filter-step, 1 worker / fused", ratio(bank_one, bank_fused), "<=", 1.5)
    targets.check("bank 1 worker / 2 workers", ratio(bank_one, bank_two), ">=", 1.8)
    targets.check("bank peak memory / state", memory, "<=", 1.5)
    targets.check("compiled_fx/hx run / built-in run", ratio(t_numba, t_builtin), "<=", 1.5)
    targets.check("FilterPy smoother / cubature_smoother", t_smooth_ratio, ">=", 100.0)
    targets.report()


if __name__ == "__main__":
    main()
