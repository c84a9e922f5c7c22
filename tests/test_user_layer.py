"""VexelCKF for real tracking data: angles, per-step time steps, read-only reads, column
measurements, messages for common mistakes, the typed field stub and the documentation."""

import ast
import importlib.metadata
import math
import os
import subprocess
import sys

import numpy as np
import pytest

import vexel_ckf
from vexel_ckf import VexelCKF
from vexel_ckf._engine import field_tables

BOTH = pytest.mark.parametrize("square_root", [False, True], ids=["ckf", "srckf"])
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def wrapped(a):
    """Angles to (-pi, pi] through the complex exponential (independent of the package's helpers)."""
    return np.angle(np.exp(1j * np.asarray(a, dtype=float)))


# -- a target crossing the bearing seam while its heading crosses the heading seam

SIGMA_RANGE, SIGMA_BEARING = 1.0, 0.002


def turn_fx(X, dt):
    """x = [px, py, heading, speed, turn rate]; the heading comes back wrapped, as users write it."""
    px, py, h, v, w = X.T
    w_safe = np.where(np.abs(w) < 1e-9, 1e-9, w)
    out = np.empty_like(X)
    out[:, 0] = px + v / w_safe * (np.sin(h + w * dt) - np.sin(h))
    out[:, 1] = py + v / w_safe * (np.cos(h) - np.cos(h + w * dt))
    out[:, 2] = np.arctan2(np.sin(h + w * dt), np.cos(h + w * dt))
    out[:, 3] = v
    out[:, 4] = w
    return out


def radar_hx(X):
    return np.column_stack((np.hypot(X[:, 0], X[:, 1]), np.arctan2(X[:, 1], X[:, 0])))


def seam_scenario(steps=60, seed=5, turn=0.0):
    """Truth and measurements: the target west of the radar, heading west and turning left, so that
    its heading passes +pi (to -pi) and, later, its bearing passes +pi (to -pi). turn rotates the
    whole picture about the radar (turn=pi: east of it, heading east, away from both seams)."""
    truth = np.empty((steps, 5))
    state = np.array([[-1000.0, 0.0, 3.0, 10.0, 0.01]])
    for k in range(steps):
        state = turn_fx(state, 1.0)
        truth[k] = state[0]
    truth[:, 1] -= truth[steps // 2, 1]  # y crosses zero halfway (the motion does not depend on the offset)
    c, s = math.cos(turn), math.sin(turn)
    truth[:, :2] = truth[:, :2] @ np.array([[c, s], [-s, c]])
    truth[:, 2] = wrapped(truth[:, 2] + turn)
    rng = np.random.default_rng(seed)
    zs = radar_hx(truth) + rng.standard_normal((steps, 2)) * [SIGMA_RANGE, SIGMA_BEARING]
    zs[:, 1] = wrapped(zs[:, 1])
    return truth, zs


def seam_filter(square_root, angles):
    kw = dict(angle_states=[2], angle_measurements=[1]) if angles else {}
    kf = VexelCKF(5, 2, 1.0, fx=turn_fx, hx=radar_hx, square_root=square_root, **kw)
    kf.x = [-1000.0, -10.0, 3.0, 10.0, 0.01]
    kf.P = np.diag([4.0, 25.0, 0.01, 1.0, 1e-4])
    kf.Q = np.diag([0.01, 0.01, 1e-6, 1e-4, 1e-8])
    kf.R = np.diag([SIGMA_RANGE ** 2, SIGMA_BEARING ** 2])
    return kf


@BOTH
def test_a_target_crossing_the_bearing_and_heading_seams_is_tracked_at_noise_level(square_root):
    truth, zs = seam_scenario()
    # Both seams are crossed inside the run.
    assert np.ptp(zs[:, 1]) > 6.0 and np.ptp(truth[:, 2] % (2 * np.pi) - np.pi) > 0.1
    assert np.any(np.abs(np.diff(wrapped(truth[:, 2]))) > 6.0)

    start = np.r_[truth[0, :2] + [0.5, -0.5], truth[0, 2:]]
    kf = seam_filter(square_root, angles=True)
    kf.x = start
    result = kf.run(zs[1:])
    position_error = np.hypot(*(result.xs[:, :2] - truth[1:, :2]).T)
    heading_error = wrapped(result.xs[:, 2] - truth[1:, 2])
    lateral_noise = 1000.0 * SIGMA_BEARING  # m, the bearing noise at the target's range
    assert position_error.max() < 4.0 * lateral_noise
    assert np.abs(heading_error).max() < 0.05
    # The state's heading is kept in (-pi, pi], prior and posterior alike.
    for xs in (result.xs, result.xs_prior):
        assert np.all((xs[:, 2] > -np.pi) & (xs[:, 2] <= np.pi))
    assert np.isfinite(result.nis).all() and result.nis.mean() < 6.0

    # Without the angle options the same filter loses the target at the first seam.
    plain = seam_filter(square_root, angles=False)
    plain.x = start
    try:
        bad = plain.run(zs[1:])
        worst = np.hypot(*(bad.xs[:, :2] - truth[1:, :2]).T).max()
    except (ValueError, RuntimeError):  # the jump can also push the filter into a failure
        worst = math.inf
    assert worst > 25.0 * lateral_noise


@BOTH
def test_away_from_the_seams_the_angle_options_change_nothing(square_root):
    truth, zs = seam_scenario(steps=30, turn=np.pi)  # east of the radar, heading east
    zs[[3, 4]] = np.nan
    runs = []
    for angles in (False, True):
        kf = seam_filter(square_root, angles)
        kf.x = truth[0]
        runs.append((kf.run(zs[1:], nan_means_missing=True), kf.to_dict()))
    (plain, plain_state), (with_angles, angle_state) = runs
    assert all(a.tobytes() == b.tobytes() for a, b in zip(plain, with_angles))
    assert all(np.array_equal(plain_state[k], angle_state[k], equal_nan=True) for k in plain_state
               if not k.startswith("angle_"))


def test_the_engine_steps_check_their_own_arguments():
    from vexel_ckf import _engine

    kf = VexelCKF(2, 1, 1.0)
    before = kf.to_dict()
    with pytest.raises(ValueError, match=r"^angle_states holds the index 2, outside 0\.\.1$"):
        _engine.predict_angles(kf.native, cv_fx, None, None, (2,))
    with pytest.raises(ValueError, match=r"^angle_measurements holds the index 1, outside 0\.\.0$"):
        _engine.update_angles(kf.native, np.zeros(1), cv_hx, None, None, (), (1,))
    with pytest.raises(TypeError, match="^filter must be a CubatureKalmanFilter or SquareRootCubatureKalmanFilter, "
                                        "got VexelCKF$"):
        _engine.predict_angles(kf, cv_fx, None, None, ())
    assert all(np.array_equal(v, before[k], equal_nan=True) for k, v in kf.to_dict().items())


def textbook_ckf(x, P, Q, R, fx, hx, zs, dts, angle_state=None, angle_measurement=None):
    """Covariance-form cubature Kalman filter written out step by step; per-step dt."""
    n = len(x)
    xs = []
    for z, dt in zip(zs, dts):
        L = np.linalg.cholesky(P)
        X = np.vstack((x + math.sqrt(n) * L.T, x - math.sqrt(n) * L.T))
        Y = fx(X, dt)
        if angle_state is not None:
            centre = math.atan2(np.sin(Y[:, angle_state]).mean(), np.cos(Y[:, angle_state]).mean())
            Y[:, angle_state] = centre + wrapped(Y[:, angle_state] - centre)
        x = Y.mean(axis=0)
        P = (Y - x).T @ (Y - x) / (2 * n) + Q
        if angle_state is not None:
            x[angle_state] = wrapped(x[angle_state])
        if not np.isnan(z).all():
            L = np.linalg.cholesky(P)
            X = np.vstack((x + math.sqrt(n) * L.T, x - math.sqrt(n) * L.T))
            Z = hx(X)
            if angle_measurement is not None:
                Z[:, angle_measurement] = z[angle_measurement] + wrapped(Z[:, angle_measurement] - z[angle_measurement])
            zp = Z.mean(axis=0)
            S = (Z - zp).T @ (Z - zp) / (2 * n) + R
            Pxz = (X - x).T @ (Z - zp) / (2 * n)
            K = Pxz @ np.linalg.inv(S)
            x = x + K @ (z - zp)
            P = P - K @ S @ K.T
            if angle_state is not None:
                x[angle_state] = wrapped(x[angle_state])
        xs.append(x)
    return np.array(xs)


@BOTH
@pytest.mark.parametrize("angles", [False, True], ids=["plain", "angles"])
def test_run_with_per_step_time_steps_follows_a_textbook_filter(square_root, angles):
    # With the angle options across both seams; without them where no seam is near.
    truth, zs = seam_scenario(steps=25, seed=8, turn=0.0 if angles else np.pi)
    times = np.cumsum(np.r_[0.0, np.random.default_rng(2).uniform(0.3, 2.0, 24)])
    dts = np.diff(times)
    dts[[4, 9]] = [0.0, -0.25]  # a repeated and an out-of-order scan time
    zs = zs[1:]
    zs[6] = np.nan
    kf = seam_filter(square_root, angles)
    kf.x = truth[0]
    x0, P0, Q, R = kf.x, kf.P, kf.Q, kf.R
    result = kf.run(zs, nan_means_missing=True, dts=dts)
    expected = textbook_ckf(x0, P0, Q, R, turn_fx, radar_hx, zs, dts, *((2, 1) if angles else ()))
    np.testing.assert_allclose(result.xs, expected, rtol=1e-9, atol=1e-9)
    assert kf.dt == 1.0  # per-step time steps are not stored


def test_dts_equals_a_loop_of_predict_with_dt_and_update():
    _, zs = seam_scenario(steps=12, seed=3)
    dts = np.linspace(0.5, 1.5, 11)
    kf = seam_filter(False, angles=True)
    ref = kf.copy()
    result = kf.run(zs[1:], dts=dts)
    for z, dt in zip(zs[1:], dts):
        ref.predict(dt=dt)
        ref.update(z)
    assert result.xs[-1].tobytes() == ref.x.tobytes() and kf.P.tobytes() == ref.P.tobytes()


@pytest.mark.parametrize("dts,message", [
    (np.ones(4), "dts must have length N = 5 (one time step per row of zs: np.diff of the N + 1 scan times), "
                 "got shape (4,)"),
    (np.ones((5, 1)), "dts must have length N = 5 (one time step per row of zs: np.diff of the N + 1 scan "
                      "times), got shape (5, 1)"),
    ([1.0, 1.0, np.nan, 1.0, 1.0], "dts[2] is nan: the time step of step 2 must be finite"),
    ([1.0, 1.0, 1.0, 1.0, -np.inf], "dts[4] is -inf: the time step of step 4 must be finite"),
])
def test_bad_time_steps_are_refused_before_the_first_step(dts, message):
    kf = seam_filter(False, angles=False)
    before = kf.to_dict()
    with pytest.raises(ValueError) as exc:
        kf.run(seam_scenario(steps=5)[1], dts=dts)
    assert str(exc.value) == message
    assert all(np.array_equal(v, before[k], equal_nan=True) for k, v in kf.to_dict().items() if k in kf.field_names)


# -- angle options: what travels with the filter (tests/test_siblings.py checks what is accepted)

@BOTH
def test_angle_options_travel_with_copies_dicts_and_pickles(square_root):
    import pickle

    kf = seam_filter(square_root, angles=True)
    for twin in (kf.copy(), VexelCKF.from_dict(kf.to_dict(), fx=turn_fx, hx=radar_hx), pickle.loads(pickle.dumps(kf))):
        assert (twin.angle_states, twin.angle_measurements) == ((2,), (1,))
    assert VexelCKF(5, 2, 1.0).angle_states == ()


def test_callback_free_predictions_wrap_the_angle_states():
    kf = VexelCKF(2, 1, 1.0, angle_states=[0])
    kf.x = [3.0, 0.5]
    kf.predict_linear([[1.0, 1.0], [0.0, 1.0]])
    assert kf.x[0] == pytest.approx(3.5 - 2 * np.pi) and kf.x_prior[0] == kf.x[0]


# -- reads are read-only copies

@BOTH
def test_reads_are_read_only_copies_and_in_place_edits_fail_loudly(square_root):
    kf = seam_filter(square_root, angles=False)
    before = kf.to_dict()
    x = kf.x
    with pytest.raises(ValueError, match="^assignment destination is read-only$"):
        x[0] = 5.0
    with pytest.raises(ValueError, match="read-only"):
        kf.P *= 1.1
    with pytest.raises(ValueError, match="read-only"):
        kf.x += 1.0
    assert all(np.array_equal(v, before[k]) for k, v in kf.to_dict().items() if k in ("x", "P"))
    # Assignment is the way to change a field; the native get keeps returning writable copies.
    kf.x = kf.x + 1.0
    np.testing.assert_array_equal(kf.x, before["x"] + 1.0)
    assert kf.native.get("x").flags.writeable
    for name in kf.field_names:
        value = getattr(kf, name)
        if isinstance(value, np.ndarray):
            assert not value.flags.writeable and value.dtype == np.float64, name
            assert value is not getattr(kf, name)  # a fresh copy per read
        else:
            assert type(value) in (float, int), name


# -- column measurements

@BOTH
def test_a_column_measurement_is_accepted_and_other_shapes_are_refused(square_root):
    _, zs = seam_scenario(steps=6)
    kf = seam_filter(square_root, angles=True)
    ref = kf.copy()
    kf.predict()
    ref.predict()
    kf.update(zs[0].reshape(2, 1))
    ref.update(zs[0])
    assert kf.x.tobytes() == ref.x.tobytes() and kf.P.tobytes() == ref.P.tobytes()
    columns = kf.run(zs[:, :, None])
    rows = ref.run(zs)
    assert all(a.tobytes() == b.tobytes() for a, b in zip(columns, rows))
    before = kf.to_dict()
    for bad in (zs[0].reshape(1, 2), np.zeros((2, 2)), np.zeros((2, 1, 1))):
        with pytest.raises(ValueError) as exc:
            kf.update(bad)
        assert str(exc.value) == f"z must have shape (2,) or, as a column, (2, 1); got {np.shape(bad)}"
    with pytest.raises(ValueError, match=r"^zs must have shape \(N, 2\), got \(6, 2, 2\)$"):
        kf.run(np.zeros((6, 2, 2)))
    assert all(np.array_equal(v, before[k], equal_nan=True) for k, v in kf.to_dict().items())


# -- messages for the common mistakes

def point_fx(x, dt):  # FilterPy style: one point in, one point out
    return np.array([x[0] + dt * x[2], x[1] + dt * x[3], x[2], x[3]])


def point_hx(x):
    return np.array([np.hypot(x[0], x[1]), np.arctan2(x[1], x[0])])


def cv_fx(X, dt):
    out = X.copy()
    out[:, :2] += dt * X[:, 2:]
    return out


def cv_hx(X):
    return X[:, :2].copy()


VECTORISE = "a function f(x, dt) written for one point can be vectorised with fx = lambda X, dt: np.array([f(row, dt) for row in X])"
VECTORISE_HX = "a function f(x) written for one point can be vectorised with hx = lambda X: np.array([f(row) for row in X])"
TAIL = ", or rewritten with column operations such as X[:, 0]"


@pytest.mark.parametrize("step,fx,hx,exc_type,message", [
    ("predict", point_fx, cv_hx, ValueError,
     "fx must return all 8 points, one per row (an array of shape (8, 4)), got shape (4, 4); " + VECTORISE + TAIL),
    ("predict", lambda X, dt: X[0], cv_hx, TypeError,
     "fx must return all 8 points, one per row (an array of shape (8, 4)), got a 1-D array (one point?); "
     + VECTORISE + TAIL),
    ("predict", lambda X, dt: X[:, :3], cv_hx, ValueError,
     "fx must return an array of shape (8, 4), one column per state component, got shape (8, 3)"),
    ("predict", lambda X, dt: X.astype(np.float32), cv_hx, TypeError,
     "fx returned float32 values: return float64 (for example np.asarray(out, dtype=np.float64)); the filter "
     "does not convert callback output silently"),
    ("predict", lambda X, dt: X.astype(np.int64), cv_hx, TypeError,
     "fx returned int64 values: return float64 (for example np.asarray(out, dtype=np.float64)); the filter "
     "does not convert callback output silently"),
    ("predict", lambda X, dt: X.tolist(), cv_hx, TypeError,
     "fx must return a NumPy float64 array (an array of shape (8, 4)), got a list"),
    ("update", cv_fx, point_hx, ValueError,
     "hx must return all 8 points, one per row (an array of shape (8, 2)), got shape (2, 4); " + VECTORISE_HX + TAIL),
    ("update", cv_fx, lambda X: X[:, :2].astype(np.float32), TypeError,
     "hx returned float32 values: return float64 (for example np.asarray(out, dtype=np.float64)); the filter "
     "does not convert callback output silently"),
])
@pytest.mark.parametrize("angles", [False, True], ids=["plain", "angles"])
@pytest.mark.parametrize("via_run", [False, True], ids=["step", "run"])
def test_callback_mistakes_name_the_callback_and_the_fix(step, fx, hx, exc_type, message, angles, via_run):
    kw = dict(angle_states=[3], angle_measurements=[1]) if angles else {}
    kf = VexelCKF(4, 2, 1.0, fx=fx, hx=hx, **kw)
    kf.x = [10.0, 5.0, 1.0, -1.0]
    if step == "update" and not via_run:
        kf.predict()
    before = kf.to_dict()
    with pytest.raises(exc_type) as exc:
        if via_run:
            kf.run(np.array([[11.0, 4.0], [12.0, 3.0]]))
        elif step == "predict":
            kf.predict()
        else:
            kf.update([11.0, 4.0])
    assert str(exc.value) == message
    native = exc.value.__cause__  # the engine's own words stay available
    assert type(native) is exc_type and str(native) != message
    if via_run and sys.version_info >= (3, 11):
        assert exc.value.__notes__[0].startswith("raised by VexelCKF.run() at step 0")
    if not via_run:
        assert all(np.array_equal(v, before[k], equal_nan=True) for k, v in kf.to_dict().items())


@BOTH
def test_an_error_raised_inside_a_callback_is_never_rewritten(square_root):
    def fx(X, dt):
        raise ValueError("model output must have shape (8, 4), got (4, 4)")

    kf = VexelCKF(4, 2, 1.0, fx=fx, hx=cv_hx, square_root=square_root)
    with pytest.raises(ValueError) as exc:
        kf.predict()
    assert exc.value.__cause__ is None and str(exc.value) == "model output must have shape (8, 4), got (4, 4)"


@pytest.mark.parametrize("via_run", [False, True], ids=["predict", "run"])
def test_a_prediction_failing_on_an_indefinite_P_names_P(via_run):
    kf = VexelCKF(2, 1, 1.0, fx=lambda X, dt: X, hx=lambda X: X[:, :1])
    kf.P = [[1.0, 0.0], [0.0, -1.0]]
    with pytest.raises(RuntimeError) as exc:
        kf.run([1.0]) if via_run else kf.predict()
    assert str(exc.value).startswith("the prediction failed because P is not positive semidefinite")
    assert str(exc.value.__cause__) == "unable to compute stable Cholesky factor"


# -- one table of fields: runtime attributes and the typed stub

def stub_fields():
    """{name: (getter type, has setter)} of every property declared in _filter.pyi's VexelCKF."""
    path = os.path.join(os.path.dirname(vexel_ckf.__file__), "_filter.pyi")
    with open(path, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "VexelCKF")
    getters, setters, methods = {}, set(), set()
    for node in cls.body:
        if isinstance(node, ast.FunctionDef):
            decorators = [ast.unparse(d) for d in node.decorator_list]
            if "property" in decorators:
                getters[node.name] = ast.unparse(node.returns)
            elif f"{node.name}.setter" in decorators:
                setters.add(node.name)
            else:
                methods.add(node.name)
    return getters, setters, methods


def test_the_stub_declares_every_field_of_the_tables_with_its_type():
    getters, setters, methods = stub_fields()
    stub_type = {"array": "_F64", "float": "float", "int": "int"}
    fields = {}
    for rows in field_tables().values():
        for name, kind, shape, settable in rows:
            fields.setdefault(name, (kind, False))
            fields[name] = (kind, fields[name][1] or settable)
    declared = {name: getters[name] for name in getters if name in fields}
    assert declared == {name: stub_type[kind] for name, (kind, _) in fields.items()}
    assert {name for name in fields if fields[name][1]} <= setters
    # Everything else the stub declares exists at run time, and every public runtime name is declared.
    runtime = {name for name in dir(VexelCKF) if not name.startswith("_")}
    assert (set(getters) | methods) - {"__init__", "__copy__", "__deepcopy__", "__reduce__"} == runtime
    for name in fields:
        assert getattr(VexelCKF, name).__doc__, name  # help(VexelCKF) describes the field


@pytest.mark.slow("a mypy run in a subprocess")
def test_mypy_stubtest_finds_the_stub_and_the_runtime_in_agreement():
    pytest.importorskip("mypy.stubtest")
    env = dict(os.environ)
    package_root = os.path.dirname(os.path.dirname(vexel_ckf.__file__))
    if "site-packages" not in package_root:
        env["MYPYPATH"] = package_root
    res = subprocess.run([sys.executable, "-m", "mypy.stubtest", "vexel_ckf._filter"], capture_output=True,
                         text=True, timeout=600, env=env)
    assert res.returncode == 0, res.stdout + res.stderr


@pytest.mark.slow("a mypy run")
def test_type_checkers_see_typed_fields_and_flag_misspelt_ones(tmp_path, monkeypatch):
    api = pytest.importorskip("mypy.api")
    package_root = os.path.dirname(os.path.dirname(vexel_ckf.__file__))
    if "site-packages" not in package_root:  # a source tree on PYTHONPATH, which mypy does not read
        monkeypatch.setenv("MYPYPATH", package_root)
    src = tmp_path / "uses_filter.py"
    src.write_text(
        "from vexel_ckf import VexelCKF\n"
        "kf = VexelCKF(2, 1, 0.1)\n"
        "reveal_type(kf.x)\n"
        "reveal_type(kf.nis)\n"
        "kf.P = [[1.0, 0.0], [0.0, 1.0]]\n"
        "kf.xx\n"
    )
    out, err, status = api.run([str(src), "--no-incremental", "--cache-dir", os.devnull, "--follow-imports=silent",
                                "--python-executable", sys.executable])
    assert status == 1, out + err
    lines = [line.split(": ", 1)[1] for line in out.splitlines() if line.startswith(str(src))]
    # NumPy's own stubs spell float64 as floating[_64Bit] before 2.1.
    assert any("ndarray[" in line and ("float64" in line or "floating[numpy._typing._64Bit]" in line)
               for line in lines if line.startswith("note: Revealed type")), out
    assert any(line.endswith(('Revealed type is "builtins.float"', 'Revealed type is "float"')) for line in lines), out
    assert any('"VexelCKF" has no attribute "xx"' in line for line in lines), out
    assert sum(line.startswith("error") for line in lines) == 1, out  # the list assigned to P type-checks


# -- package metadata and documentation

def test_version_comes_from_the_package_metadata():
    try:
        installed = importlib.metadata.version("vexel_ckf")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("vexel_ckf is not installed (run from a source tree)")
    assert vexel_ckf.__version__ == installed


@pytest.mark.slow("a Sphinx build")
def test_the_documentation_builds_offline_with_warnings_as_errors(tmp_path):
    pytest.importorskip("sphinx")
    pytest.importorskip("numpydoc")
    docs = os.path.join(ROOT, "docs")
    if not os.path.isdir(docs):
        pytest.skip("documentation sources are not part of this installation")
    res = subprocess.run(
        [sys.executable, "-m", "sphinx", "-W", "--keep-going", "-q", "-b", "html", "-d", str(tmp_path / "doctrees"),
         docs, str(tmp_path / "html")], capture_output=True, text=True, timeout=600,
    )
    assert res.returncode == 0, res.stdout + res.stderr
    assert (tmp_path / "html" / "api.html").exists()
