"""Compiled models: row functions compiled by numba (compiled_fx, compiled_hx) and a C model handed over
through ctypes and scipy.LowLevelCallable, each against a NumPy twin written here; filters and banks running
them against the same filters running the twins; failure codes, parameters, pickling, and the package without
numba."""

import ctypes
import importlib.util
import math
import os
import pickle
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

import vexel_ckf
from vexel_ckf import CKFBank, VexelCKF, compiled_fx, compiled_hx

from support import same

try:
    import numba
except ImportError:  # the tests that need it skip; the rest run
    numba = None

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
N, MZ = 5, 2
NO_NUMBA = "numba is not installed (the jit extra)"


def need_numba():
    pytest.importorskip("numba", reason=NO_NUMBA)


# -- the NumPy twins: the same models, vectorised over the rows of X

def turn(X, dt):
    """Coordinated turn of rows [px, py, vx, vy, omega]."""
    px, py, vx, vy, w = X.T
    s, c = np.sin(w * dt), np.cos(w * dt)
    a, b = s / w, (1.0 - c) / w
    return np.column_stack((px + a * vx - b * vy, py + b * vx + a * vy, c * vx - s * vy, s * vx + c * vy, w))


def radar(X):
    """Range and bearing of the position from the origin."""
    return np.column_stack((np.hypot(X[:, 0], X[:, 1]), np.arctan2(X[:, 1], X[:, 0])))


def damped(X, dt, rate):
    """Constant velocity whose velocity decays as exp(-rate dt)."""
    decay = math.exp(-rate * dt)
    return np.column_stack((X[:, 0] + X[:, 2] * dt, X[:, 1] + X[:, 3] * dt, X[:, 2] * decay, X[:, 3] * decay, X[:, 4]))


def constant_velocity_row(x, dt, out):
    """A plain module-level row function, decorated only where a test needs it."""
    out[0] = x[0] + x[2] * dt
    out[1] = x[1] + x[3] * dt
    out[2] = x[2]
    out[3] = x[3]
    out[4] = x[4]


def turn_row(x, dt, out):
    """The coordinated turn of one state, as a compiled model is written."""
    w = x[4]
    s, c = math.sin(w * dt), math.cos(w * dt)
    a, b = s / w, (1.0 - c) / w
    out[0] = x[0] + a * x[2] - b * x[3]
    out[1] = x[1] + b * x[2] + a * x[3]
    out[2] = c * x[2] - s * x[3]
    out[3] = s * x[2] + c * x[3]
    out[4] = w


# -- the compiled models (module level, so that they pickle by name)

if numba is not None:
    turn_kernel = numba.njit(turn_row)

    @compiled_fx(N)
    def coordinated_turn(x, dt, out):
        turn_kernel(x, dt, out)

    @compiled_hx(N, MZ, angle_measurements=(1,))
    def range_bearing(x, out):
        out[0] = math.hypot(x[0], x[1])
        out[1] = math.atan2(x[1], x[0])

    @compiled_fx(N)
    def damped_velocity(x, dt, out, params):
        decay = math.exp(-params[0] * dt)
        out[0] = x[0] + x[2] * dt
        out[1] = x[1] + x[3] * dt
        out[2] = x[2] * decay
        out[3] = x[3] * decay
        out[4] = x[4]

    @compiled_fx(N)
    def guarded_turn(x, dt, out):
        # The turn model is trusted up to half a radian per second; a state beyond is flagged.
        if abs(x[4]) > 0.5:
            return 7
        turn_kernel(x, dt, out)
        return 0


P0 = np.diag([100.0, 100.0, 10.0, 10.0, 1e-4])
Q0 = np.diag([1.0, 1.0, 1.0, 1.0, 1e-5])
R0 = np.diag([25.0, 1e-4])


def targets(rng, count):
    """States [px, py, vx, vy, omega] of count targets, kilometres out, turning gently."""
    return np.column_stack((rng.uniform(1e3, 5e3, (count, 2)), rng.normal(0.0, 10.0, (count, 2)),
                            rng.normal(0.0, 0.02, count) + 0.01))


def track(rng, x0, steps, sensor=(0.0, 0.0)):
    """Range-bearing measurements from sensor of a target turning from x0 with process noise."""
    x, zs = x0[None], []
    for _ in range(steps):
        x = turn(x, 1.0) + rng.normal(0.0, np.sqrt(np.diag(Q0)))
        zs.append(radar(x - [[sensor[0], sensor[1], 0.0, 0.0, 0.0]])[0] + rng.normal(0.0, [5.0, 0.01]))
    return np.array(zs)


def lone(fx, hx, x, square_root=False, **options):
    kf = VexelCKF(N, MZ, 1.0, fx=fx, hx=hx, square_root=square_root, angle_measurements=[1], **options)
    kf.x, kf.P, kf.Q, kf.R = x, P0, Q0, R0
    return kf


def assert_close(got, want, tol=1e-12):
    """Agreement to tol relative to the size of the values compared."""
    got, want = np.asarray(got), np.asarray(want)
    np.testing.assert_allclose(got, want, rtol=tol, atol=tol * max(np.abs(want).max(), 1e-300))


def snapshot(kf):
    return {name: getattr(kf, name) for name in kf.field_names}


def assert_unchanged(before, kf):
    after = snapshot(kf)
    changed = [name for name in before if not same(before[name], after[name])]
    assert changed == [], f"fields changed: {changed}"


# -- (a) the models called from Python

CALLS = [
    ("coordinated_turn", lambda X: turn(X, 0.7), (0.7,)),
    ("range_bearing", radar, ()),
    ("damped_velocity", lambda X: damped(X, 0.7, 0.3), (0.7, 0.3)),
]


@pytest.mark.parametrize("name, twin, args", CALLS, ids=[c[0] for c in CALLS])
def test_a_compiled_model_called_from_python_equals_its_numpy_twin(name, twin, args):
    need_numba()
    model = globals()[name]
    X = targets(np.random.default_rng(0), 40)
    got = model(X, *args)
    assert got.dtype == np.float64 and got.shape == twin(X).shape
    assert_close(got, twin(X), 1e-14)
    assert model(X[:0], *args).shape == (0, got.shape[1])  # no points, no calls


def test_a_model_declares_its_kind_dimensions_and_angles():
    need_numba()
    declared = [(m.kind, m.dim_in, m.dim_out, m.angles) for m in (coordinated_turn, range_bearing)]
    assert declared == [("fx", N, N, ()), ("hx", N, MZ, (1,))]
    assert "range_bearing" in repr(range_bearing)
    # Negative angle indices count from the end, as the filters' own options do.
    assert compiled_hx(N, MZ, angle_measurements=[-1])(lambda x, out: None).angles == (1,)


def test_a_numba_function_serves_as_the_row_function():
    need_numba()

    def bearing(x, out):
        out[0] = math.atan2(x[1], x[0])

    X = targets(np.random.default_rng(1), 10)
    model = compiled_hx(N, 1)(numba.njit(bearing))
    assert_close(model(X), radar(X)[:, 1:], 1e-15)


# -- (b) filters and banks running them

@pytest.mark.parametrize("square_root", [False, True], ids=["ckf", "srckf"])
def test_a_filter_running_compiled_models_agrees_with_one_running_the_twins(square_root):
    need_numba()
    rng = np.random.default_rng(3)
    x0 = targets(rng, 1)[0]
    zs = track(rng, x0, 300)
    compiled = lone(coordinated_turn, range_bearing, x0, square_root)
    python = lone(turn, radar, x0, square_root)
    for z in zs:
        for kf in (compiled, python):
            kf.predict()
            kf.update(z)
        assert_close(compiled.x, python.x)
        assert_close(compiled.P, python.P)


def test_run_and_smooth_with_compiled_models_agree_with_the_twins():
    need_numba()
    rng = np.random.default_rng(4)
    x0 = targets(rng, 1)[0]
    zs = track(rng, x0, 200)
    results = []
    for fx, hx in ((coordinated_turn, range_bearing), (turn, radar)):
        kf = lone(fx, hx, x0)
        run = kf.run(zs)
        results.append((run, kf.smooth(run)))
    (run_c, smooth_c), (run_p, smooth_p) = results
    assert_close(run_c.xs, run_p.xs)
    assert_close(run_c.Ps, run_p.Ps)
    assert_close(smooth_c.xs, smooth_p.xs)
    assert_close(smooth_c.Ps, smooth_p.Ps)


def test_a_bank_running_compiled_models_agrees_with_one_running_the_twins():
    # Enough filters that the pool's workers call the compiled functions at the same time.
    need_numba()
    rng = np.random.default_rng(5)
    xs = targets(rng, 64)
    zs = np.stack([track(rng, x, 60) for x in xs], axis=1)
    banks = []
    for fx, hx in ((coordinated_turn, range_bearing), (turn, radar)):
        bank = CKFBank(len(xs), N, MZ, 1.0, fx, hx, angle_measurements=[1])
        bank.xs, bank.Ps, bank.Q, bank.R = xs, P0, Q0, R0
        banks.append(bank)
    for z in zs:
        for bank in banks:
            bank.predict()
            bank.update(z)
        assert_close(banks[0].xs, banks[1].xs)
        assert_close(banks[0].Ps, banks[1].Ps)
        np.testing.assert_array_equal(banks[0].status, banks[1].status)


def test_filters_take_their_angle_options_from_the_models():
    need_numba()
    kf = VexelCKF(N, MZ, 1.0, fx=coordinated_turn, hx=range_bearing)
    bank = CKFBank(3, N, MZ, 1.0, coordinated_turn, range_bearing)
    assert kf.angle_measurements == bank.angle_measurements == (1,)
    # Given options win over the model's.
    assert VexelCKF(N, MZ, 1.0, hx=range_bearing, angle_measurements=[]).angle_measurements == ()


def test_the_declared_dimensions_reach_the_filters():
    need_numba()
    with pytest.raises(ValueError, match=re.escape("gives measurements of 2 entries, but the filter's have 3 (dim_z)")):
        VexelCKF(N, 3, 1.0, hx=range_bearing)
    kf = VexelCKF(4, MZ, 1.0)
    before = snapshot(kf)
    with pytest.raises(ValueError, match=re.escape("takes states of 5 entries, but the filter's states have 4")):
        kf.predict(fx=coordinated_turn)
    assert_unchanged(before, kf)


# -- (c) pickling

def test_a_decorated_module_level_model_pickles_as_a_lookup_of_its_name():
    need_numba()
    for model in (coordinated_turn, range_bearing):
        assert pickle.loads(pickle.dumps(model)) is model


@pytest.mark.slow("a fresh interpreter compiling the test module's models with numba")
def test_a_model_unpickled_in_another_process_is_compiled_there():
    need_numba()
    X = targets(np.random.default_rng(6), 8)
    script = ("import pickle, sys\n"
              "model, X = pickle.loads(sys.stdin.buffer.read())\n"
              "sys.stdout.buffer.write(pickle.dumps((repr(model), model(X, 0.7))))\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [HERE, os.path.dirname(os.path.dirname(vexel_ckf.__file__)), os.environ.get("PYTHONPATH", "")]))
    out = subprocess.run([sys.executable, "-c", script], input=pickle.dumps((coordinated_turn, X)), env=env,
                         capture_output=True, timeout=300)
    assert out.returncode == 0, out.stderr.decode()
    text, images = pickle.loads(out.stdout)
    assert text == repr(coordinated_turn)
    assert same(images, coordinated_turn(X, 0.7))


def test_a_model_not_reachable_by_its_name_is_recompiled_from_its_function():
    need_numba()
    X = targets(np.random.default_rng(7), 8)
    # The name constant_velocity_row still means the plain function: the model pickles as that function and
    # the decorator's arguments.
    model = compiled_fx(N, angle_states=[-1])(constant_velocity_row)
    back = pickle.loads(pickle.dumps(model))
    assert back is not model
    assert (repr(back), back.kind, back.dim_in, back.dim_out, back.angles) == (repr(model), "fx", N, N, (4,))
    assert same(back(X, 0.5), model(X, 0.5))


def test_a_local_model_travels_by_value_with_cloudpickle():
    need_numba()
    cloudpickle = pytest.importorskip("cloudpickle")
    offset = np.array([100.0, -50.0])

    @compiled_hx(N, MZ, angle_measurements=[1])
    def relative(x, out, params):
        out[0] = x[0] - params[0]
        out[1] = x[1] - params[1]

    with pytest.raises((pickle.PicklingError, AttributeError), match="local"):
        pickle.dumps(relative)
    back = pickle.loads(cloudpickle.dumps(relative))
    X = targets(np.random.default_rng(8), 8)
    assert back is not relative and back.angles == (1,)
    assert same(back(X, offset), X[:, :2] - offset)


MAIN_SCRIPT = """
import math, pickle, sys
import cloudpickle
import numpy as np
from vexel_ckf import compiled_hx

@compiled_hx(5, 2, angle_measurements=[1])
def radar(x, out):
    out[0] = math.hypot(x[0], x[1])
    out[1] = math.atan2(x[1], x[0])

X = np.array([[3.0, 4.0, 0.0, 0.0, 0.0]])
# The standard pickler (multiprocessing, whose workers run the same script) looks the name up ...
assert pickle.loads(pickle.dumps(radar)) is radar
# ... cloudpickle (Dask, whose workers run other scripts) sends the function and compiles it again.
again = pickle.loads(cloudpickle.dumps(radar))
assert again is not radar and again.angles == (1,)
print(again(X).tolist())
"""


@pytest.mark.slow("a fresh interpreter compiling a script's model with numba")
def test_a_model_of_a_script_pickles_by_name_and_travels_by_value_with_cloudpickle():
    need_numba()
    pytest.importorskip("cloudpickle")
    out = subprocess.run([sys.executable, "-c", MAIN_SCRIPT], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == str([[5.0, math.atan2(4.0, 3.0)]])


@pytest.mark.parametrize("square_root", [False, True], ids=["ckf", "srckf"])
def test_a_pickled_filter_keeps_its_compiled_models(square_root):
    need_numba()
    rng = np.random.default_rng(9)
    x0 = targets(rng, 1)[0]
    zs = track(rng, x0, 40)
    kf = lone(coordinated_turn, range_bearing, x0, square_root)
    kf.run(zs[:20])
    copy = pickle.loads(pickle.dumps(kf))
    assert copy.fx is coordinated_turn and copy.hx is range_bearing
    kf.run(zs[20:])
    copy.run(zs[20:])
    assert same(copy.x, kf.x) and same(copy.P, kf.P)


# -- (d) failure codes

def test_a_nonzero_code_fails_a_lone_filter_naming_the_callback_and_the_code():
    need_numba()
    x = targets(np.random.default_rng(10), 1)[0]
    x[4] = 0.8
    kf = lone(guarded_turn, range_bearing, x)
    before = snapshot(kf)
    with pytest.raises(RuntimeError, match=r"^fx " + re.escape(repr(guarded_turn)) + r" returned 7\b"):
        kf.predict()
    assert_unchanged(before, kf)
    with pytest.raises(RuntimeError, match=r"returned 7\b"):
        guarded_turn(x[None], 1.0)


def test_a_flagged_filter_of_a_bank_gets_status_3_while_the_others_equal_lone_filters():
    need_numba()
    rng = np.random.default_rng(11)
    xs = targets(rng, 6)
    flagged = 2
    xs[flagged, 4] = 0.8
    zs = np.stack([track(rng, x, 20) for x in xs], axis=1)
    bank = CKFBank(len(xs), N, MZ, 1.0, guarded_turn, range_bearing, angle_measurements=[1])
    bank.xs, bank.Ps, bank.Q, bank.R = xs, P0, Q0, R0
    kfs = [lone(guarded_turn, range_bearing, x) for x in xs]
    for z in zs:
        bank.predict()
        bank.update(z)
        for i, kf in enumerate(kfs):
            if i == flagged:
                continue
            kf.predict()
            kf.update(z[i])
            assert same(bank.xs[i], kf.x) and same(bank.Ps[i], kf.P), i
            assert bank.status[i] == 0
        assert bank.status[flagged] == 3
        assert same(bank.xs[flagged], xs[flagged]) and same(bank.Ps[flagged], P0)


def test_what_goes_wrong_inside_a_row_function_is_a_failure_code_not_a_crash():
    need_numba()

    def past_the_end(x, dt, out):
        out[N] = 1.0  # indexing is bounds-checked

    def divides_by_zero(x, dt, out):
        turn_kernel(x, dt, out)
        out[0] = 1.0 / (x[0] - x[0])

    def forgets_a_component(x, dt, out):
        out[:4] = x[:4]

    X = targets(np.random.default_rng(12), 6)
    for row, code in ((past_the_end, -1002), (divides_by_zero, -1002)):
        with pytest.raises(RuntimeError, match=rf"returned {code}\b"):
            compiled_fx(N)(row)(X, 1.0)
    with pytest.raises(RuntimeError, match=r"returned -1003\b"):  # numbers for a function without params
        coordinated_turn(X, 1.0, 0.5)
    with pytest.raises(RuntimeError, match=r"returned -1002\b"):  # params[0] of no params
        damped_velocity(X, 1.0)
    # A component left unwritten is NaN, which a filter refuses as it refuses a Python callback's.
    forgetful = compiled_fx(N)(forgets_a_component)
    assert np.isnan(forgetful(X, 1.0)[:, 4]).all()
    kf = lone(forgetful, range_bearing, X[0])
    before = snapshot(kf)
    with pytest.raises(ValueError, match="fx returned non-finite values"):
        kf.predict()
    assert_unchanged(before, kf)


# -- (e) the package without numba

@pytest.mark.parametrize("decorator, dims", [(compiled_fx, (N,)), (compiled_hx, (N, MZ))])
def test_without_numba_the_decorators_name_the_extra_to_install(monkeypatch, decorator, dims):
    monkeypatch.setitem(sys.modules, "numba", None)  # what an import of a missing module finds
    message = f'{decorator.__name__} needs numba: pip install "vexel_ckf[jit]"'
    with pytest.raises(ImportError, match=f"^{re.escape(message)}$"):
        decorator(*dims)


def test_importing_the_package_does_not_import_numba():
    out = subprocess.run([sys.executable, "-c", "import sys, vexel_ckf; print('numba' in sys.modules)"],
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "False"


# -- (f) parameters

def test_params_are_numbers_or_one_float64_array():
    need_numba()
    rng = np.random.default_rng(13)
    X = targets(rng, 10)
    assert same(damped_velocity(X, 0.5, 0.3), damped_velocity(X, 0.5, np.array([0.3])))
    x0 = targets(rng, 1)[0]
    zs = track(rng, x0, 50)
    as_number = lone(damped_velocity, range_bearing, x0, fx_args=(0.3,))
    as_array = lone(damped_velocity, range_bearing, x0, fx_args=(np.array([0.3]),))
    twin = lone(damped, radar, x0, fx_args=(0.3,))
    for z in zs:
        for kf in (as_number, as_array, twin):
            kf.predict()
            kf.update(z)
        assert same(as_number.x, as_array.x) and same(as_number.P, as_array.P)
        assert_close(as_number.x, twin.x)
        assert_close(as_number.P, twin.P)


@pytest.mark.parametrize("args", [("0.3",), ([0.3],), (np.array([1, 2]),), (0.3, np.array([1.0]))],
                         ids=["str", "list", "int-array", "number-and-array"])
def test_params_of_other_kinds_are_a_type_error(args):
    need_numba()
    x = targets(np.random.default_rng(14), 1)[0]
    wanted = "fx_args of a compiled model must be numbers or one float64 array"
    with pytest.raises(TypeError, match=wanted):
        damped_velocity(x[None], 1.0, *args)
    kf = lone(damped_velocity, range_bearing, x)
    before = snapshot(kf)
    with pytest.raises(TypeError, match=wanted):
        kf.predict(fx_args=args)
    assert_unchanged(before, kf)


# -- the decorators' arguments

def writes_into_x(x, out):
    x[0] = 0.0


def uses_a_python_object(x, out):
    out[0] = len(object.__subclasses__())


def returns_a_float(x, out):
    return 1.5


def returns_a_bool(x, out):
    return x[0] > 0


def four_arguments(x, dt, out, params):
    pass


def takes_any_arguments(*args):
    pass


BAD = [
    # (decoration, exception, message, needs numba)
    (lambda: compiled_fx(0), ValueError, "compiled_fx: dim_x must be a positive int, got 0", False),
    (lambda: compiled_fx(2.5), TypeError, "compiled_fx: dim_x must be a positive int, got float", False),
    (lambda: compiled_hx(N, -1), ValueError, "compiled_hx: dim_z must be a positive int, got -1", False),
    (lambda: compiled_hx(True, 1), TypeError, "compiled_hx: dim_x must be a positive int, got bool", False),
    (lambda: compiled_fx(turn_row), TypeError, "write @compiled_fx(dim_x, ...)", False),
    (lambda: compiled_fx(N, angle_states=[N]), ValueError, "angle_states holds 5", False),
    (lambda: compiled_hx(N, MZ)(four_arguments), TypeError, "must be f(x, out) or f(x, out, params)", True),
    (lambda: compiled_fx(N)(writes_into_x), TypeError, "must be f(x, dt, out) or f(x, dt, out, params)", True),
    (lambda: compiled_hx(N, MZ)(takes_any_arguments), TypeError, "takes_any_arguments(*args) must be", True),
    (lambda: compiled_fx(N)(np.sin), TypeError, "decorates a Python function", True),
    (lambda: compiled_hx(N, MZ)(writes_into_x), TypeError, "numba cannot compile the row function writes_into_x",
     True),
    (lambda: compiled_hx(N, MZ)(uses_a_python_object), TypeError, "numba cannot compile the row function", True),
    (lambda: compiled_hx(N, MZ)(returns_a_float), TypeError, "must return None or an integer failure code", True),
    (lambda: compiled_hx(N, MZ)(returns_a_bool), TypeError, "must return None or an integer failure code", True),
]


@pytest.mark.parametrize("decoration, error, message, numba_needed", BAD)
def test_bad_decorations_name_what_is_wrong(decoration, error, message, numba_needed):
    if numba_needed:
        need_numba()
    with pytest.raises(error, match=re.escape(message)):
        decoration()


# -- the C example of the guide (examples/compiled_model_c)

@pytest.fixture(scope="module")
def c_example(tmp_path_factory):
    """The example's script as a module, with its library built and loaded."""
    if not (os.environ.get("CC") or shutil.which("cc")):
        pytest.skip("no C compiler (cc, or $CC)")
    pytest.importorskip("scipy")
    path = os.path.join(ROOT, "examples", "compiled_model_c", "run.py")
    if not os.path.exists(path):
        pytest.skip("the examples are not part of this installation")
    spec = importlib.util.spec_from_file_location("compiled_model_c_run", path)
    run = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(run)
    return run, run.build(str(tmp_path_factory.mktemp("compiled_model_c")))


@pytest.mark.parametrize("fx_form", ["LowLevelCallable", "ctypes"])
def test_the_c_example_agrees_with_its_numpy_twin(c_example, fx_form):
    run, lib = c_example
    sensor = run.Sensor(-2000.0, 500.0)
    fx, hx = run.models(lib, sensor)
    if fx_form == "ctypes":
        fx = lib.ct_fx  # a ctypes function pointer with the signature's restype and argtypes
    offset = np.array([sensor.x, sensor.y, 0.0, 0.0, 0.0])
    rng = np.random.default_rng(15)
    x0 = targets(rng, 1)[0]
    zs = track(rng, x0, 200, sensor=(sensor.x, sensor.y))
    compiled = lone(fx, hx, x0)
    python = lone(turn, lambda X: radar(X - offset), x0)
    for z in zs:
        for kf in (compiled, python):
            kf.predict()
            kf.update(z)
        assert_close(compiled.x, python.x)
        assert_close(compiled.P, python.P)


def test_the_c_example_fails_for_a_point_on_the_sensor(c_example):
    run, lib = c_example
    sensor = run.Sensor(-2000.0, 500.0)
    fx, hx = run.models(lib, sensor)
    # With a diagonal P, the points spread along the velocities and the turn rate keep x's position: the
    # sensor's, where a bearing has no meaning.
    kf = lone(fx, hx, [sensor.x, sensor.y, 10.0, 0.0, 0.01])
    before = snapshot(kf)
    with pytest.raises(RuntimeError, match=r"^hx .* returned 2\b"):
        kf.update([100.0, 0.5])
    assert_unchanged(before, kf)


def test_the_c_example_script_tracks_its_target(c_example):
    run, _ = c_example
    out = subprocess.run([sys.executable, run.__file__], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    mean = float(re.search(r"mean ([0-9.]+) m", out.stdout).group(1))
    assert mean < 20.0  # metres, against measurements 5 m and 0.01 rad (20 m at 2 km) apart from the truth


def test_the_numba_example_tracks_its_target():
    need_numba()
    script = os.path.join(ROOT, "examples", "compiled_model_numba", "run.py")
    if not os.path.exists(script):
        pytest.skip("the examples are not part of this installation")
    out = subprocess.run([sys.executable, script], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    mean = float(re.search(r"mean ([0-9.]+) m", out.stdout).group(1))
    assert mean < 20.0
