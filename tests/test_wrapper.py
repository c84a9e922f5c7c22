"""VexelCKF: fields as attributes, callbacks, run(), whole-state transfer and
pickling. The numbers come from the native filters, checked in their own
tests; here the wrapper must forward exactly."""

import copy
import math
import pickle
import sys

import numpy as np
import pytest

import vexel_ckf
from vexel_ckf import VexelCKF
from vexel_ckf._native import CubatureKalmanFilter, SquareRootCubatureKalmanFilter
import support
from support import same, spd

DIM_X, DIM_Z, DT = 4, 2, 0.5
BOTH = pytest.mark.parametrize("square_root", [False, True], ids=["ckf", "srckf"])


# Module-level model functions, so that filters carrying them can be pickled.
def cv_fx(X, dt):
    out = X.copy()
    out[:, :2] += dt * X[:, 2:]
    return out


def range_bearing_hx(X):
    return np.column_stack((np.hypot(X[:, 0], X[:, 1]), np.arctan2(X[:, 1], X[:, 0])))


def make_filter(square_root, fx=cv_fx, hx=range_bearing_hx):
    kf = VexelCKF(DIM_X, DIM_Z, DT, fx=fx, hx=hx, square_root=square_root)
    kf.x, kf.P, kf.Q, kf.R = [100.0, 50.0, 1.0, -0.5], np.diag([4.0, 4.0, 1.0, 1.0]), 0.01, np.diag([0.25, 1e-4])
    return kf


def measurements(n, seed=3):
    rng = np.random.default_rng(seed)
    truth, zs = np.array([[100.0, 50.0, 1.0, -0.5]]), np.empty((n, DIM_Z))
    for k in range(n):
        truth = cv_fx(truth, DT)
        zs[k] = range_bearing_hx(truth)[0] + rng.standard_normal(DIM_Z) * [0.5, 0.01]
    return zs


def state_of(kf):
    if isinstance(kf, VexelCKF):
        return {name: getattr(kf, name) for name in kf.field_names}
    return support.state_of(kf)


def assert_same_state(a, b):
    support.assert_same_state(*(state_of(kf) if not isinstance(kf, dict) else kf for kf in (a, b)))


# -- fields as attributes ----------------------------------------------------

@BOTH
def test_every_field_of_the_native_table_round_trips_through_its_attribute(square_root):
    kf = VexelCKF(DIM_X, DIM_Z, DT, square_root=square_root)
    assert type(kf.native) is (SquareRootCubatureKalmanFilter if square_root else CubatureKalmanFilter)
    assert list(kf.field_names) == list(kf.native.snapshot()) and "nis" in dir(kf)
    rng = np.random.default_rng(1)
    for name in kf.field_names:
        if square_root and name in ("P", "Q", "R", "S", "P_prior", "P_post"):
            continue
        current = getattr(kf, name)
        value = (rng.standard_normal(current.shape) if isinstance(current, np.ndarray)
                 else 12345 if isinstance(current, int) else -0.125)
        setattr(kf, name, value)
        assert same(getattr(kf, name), value) and same(kf.native.get(name), value), name
    m = spd(np.random.default_rng(4), DIM_X)
    kf.P = m  # the square-root form assigns a covariance through its factor
    np.testing.assert_allclose(kf.P, m, rtol=1e-13, atol=1e-12)
    # Array-likes are converted; a scalar on a square field means that multiple of the identity.
    kf.x, kf.R, kf.Q = [1, 2, 3, 4], 0.25, np.float32(2.0)
    assert kf.x.dtype == np.float64 and kf.x.tolist() == [1.0, 2.0, 3.0, 4.0]
    np.testing.assert_array_equal(kf.R, 0.25 * np.eye(DIM_Z))
    np.testing.assert_allclose(kf.Q, 2.0 * np.eye(DIM_X), rtol=1e-15)
    if square_root:
        for name, factor in (("S", "S_innov"), ("P_prior", "chol_P_prior"), ("P_post", "chol_P_post")):
            assert str(support.error_of(lambda: setattr(kf, name, getattr(kf, name)), AttributeError)) == (
                f"{name} of the square-root filter is read-only: it is the product of the stored factor {factor}; "
                "assign that instead")
    assert str(support.error_of(lambda: kf.p, AttributeError)) == "'VexelCKF' object has no attribute 'p'"
    with pytest.raises(AttributeError):
        kf.p = np.eye(DIM_X)
    assert hasattr(kf, "SI") is not square_root and hasattr(kf, "chol_P") is square_root


# NumPy would read None as NaN and drop imaginary parts; the wrapper refuses both.
@pytest.mark.parametrize("name,call", [
    ("x", lambda kf, v: setattr(kf, "x", v)), ("K", lambda kf, v: setattr(kf, "K", v)),
    ("z", lambda kf, v: kf.update(v)), ("R", lambda kf, v: kf.update([100.0, 0.5], R=v)),
    ("F", lambda kf, v: kf.predict_linear(v)), ("zs", lambda kf, v: kf.run(v)),
])
def test_none_and_complex_values_are_refused_by_name(name, call):
    kf = make_filter(False)
    before = state_of(kf)
    cases = [(np.ones((DIM_Z, DIM_Z)) * 1j, f"{name} must hold real numbers, got an array of complex128")]
    if name not in ("z", "R"):  # there None means a missed measurement, or the filter's own R
        cases.append((None, f"{name} must be an array-like of real numbers, not None"))
    for value, message in cases:
        assert str(support.error_of(lambda: call(kf, value), TypeError)) == message
    assert_same_state(before, kf)


@BOTH
def test_native_errors_come_through_unchanged_and_dt_goes_through_set_dt(square_root):
    seen = []
    kf = make_filter(square_root, fx=lambda X, dt: seen.append(dt) or X)
    before = state_of(kf)
    with pytest.raises(ValueError, match="^x must have length 4, got 3$"):
        kf.x = np.zeros(3)
    with pytest.raises(ValueError, match="^Q must contain only finite values"):
        kf.Q = np.diag([1.0, np.nan, 1.0, 1.0])
    with pytest.raises(ValueError, match="^dt must be finite$"):
        kf.dt = float("nan")
    assert_same_state(before, kf)
    with pytest.raises(ValueError, match="^dim_x and dim_z must be positive$"):
        VexelCKF(0, 1, float("nan"), square_root=square_root)
    with pytest.raises(TypeError, match="^argument 'dim_x': "):
        VexelCKF(2.0, 1, 0.1, square_root=square_root)
    kf.dt = 0.125
    kf.predict()
    kf.predict(dt=2.0)
    kf.predict()
    assert seen == [0.125, 2.0, 0.125] and kf.dt == 0.125


# -- predictions and updates -------------------------------------------------

@BOTH
def test_predict_and_update_forward_to_the_native_methods(square_root):
    kf = make_filter(square_root, fx=lambda X, dt, gain: X * gain, hx=lambda X, offset: X[:, :DIM_Z] + offset)
    ref = kf.native.copy()
    z = [100.5, 49.0]
    kf.predict(fx_args=[1.01])  # any iterable of extra arguments
    kf.update(z, R=0.5, hx_args=(0.25,))
    kf.predict(cv_fx, fx_args=None)  # None means no extra arguments, as for the native methods
    kf.update(np.asfortranarray(np.vstack((z, z)))[0], range_bearing_hx, hx_args=None)  # a strided row
    ref.predict_custom(kf.fx, None, (1.01,))
    ref.update(np.array(z), kf.hx, 0.5 * np.eye(DIM_Z), (0.25,))
    ref.predict_custom(cv_fx)
    ref.update(np.array(z), range_bearing_hx)
    assert_same_state(kf, ref)
    kf.x = np.arange(5.0, 13.0)[::2]  # a strided view
    assert kf.x.tolist() == [5.0, 7.0, 9.0, 11.0]
    ref = kf.copy()  # update(None) needs no hx and equals clear_update_diagnostics
    kf.hx = None
    kf.update(None)
    ref.native.clear_update_diagnostics()
    assert_same_state(kf, ref)
    assert np.isnan(kf.z).all() and math.isnan(kf.nis)


@BOTH
def test_missing_callbacks_are_reported(square_root):
    kf = VexelCKF(DIM_X, DIM_Z, DT, square_root=square_root)
    assert str(support.error_of(kf.predict, TypeError)).startswith(
        "predict() needs fx: pass fx=... to predict() or to VexelCKF(...)")
    with pytest.raises(TypeError, match=r"^update\(\) needs hx"):
        kf.update(np.zeros(DIM_Z))
    with pytest.raises(TypeError, match=r"^run\(\) needs fx"):
        kf.run(np.zeros((3, DIM_Z)))


@pytest.mark.parametrize("cubature", [False, True])
def test_predict_linear_and_model_forward_to_the_native_methods(cubature):
    F = np.eye(DIM_X) + np.diag([DT, DT], 2)
    suffix = "_ckf" if cubature else ""
    kf = make_filter(False)
    ref = kf.native.copy()
    kf.predict_linear(F.tolist(), cubature=cubature)
    getattr(ref, "predict_linear_model" + suffix)(F)
    kf.predict_model("constant_velocity", cubature=cubature)
    getattr(ref, "predict_standard_model" + suffix)("constant_velocity", "blocked")
    kf.predict_model("constant_velocity", layout="interleaved", cubature=cubature)
    getattr(ref, "predict_standard_model" + suffix)("constant_velocity", "interleaved")
    assert_same_state(kf, ref)


MODELS = "; accepted names are 'constant_velocity', 'constant_acceleration'"


@pytest.mark.parametrize("square_root, args, exc_type, message", [
    (False, ("const_velocity",), ValueError, "unknown model_type 'const_velocity'" + MODELS),
    (False, ("constant_velocity", "block"), ValueError,
     "unknown layout 'block'; accepted names are 'blocked', 'interleaved'"),
    (False, (None,), TypeError, "model_type must be a str, got NoneType"),
    (False, ("constant_velocity", None), TypeError, "layout must be a str, got NoneType"),
    (True, ("constant_velocity",), NotImplementedError, "predict_model() is available for the covariance-form filter "
     "only; the square-root filter (square_root=True) predicts through predict(fx), for a matrix F with fx = "
     "lambda X, dt: X @ F.T"),
])
def test_model_and_layout_names_are_validated_with_the_accepted_names(square_root, args, exc_type, message):
    kf = make_filter(square_root)
    before = state_of(kf)
    assert str(support.error_of(lambda: kf.predict_model(*args), exc_type)) == message
    if square_root:
        assert str(support.error_of(lambda: kf.predict_linear(np.eye(DIM_X)))) == message.replace("_model", "_linear")
    assert_same_state(before, kf)
    assert VexelCKF.supported_standard_models() == tuple(CubatureKalmanFilter.supported_standard_models())
    assert VexelCKF.supported_standard_layouts() == tuple(CubatureKalmanFilter.supported_standard_layouts())


# -- run() ---------------------------------------------------------------------

def manual_loop(kf, zs, missing=()):
    rows = []
    for i, z in enumerate(zs):
        kf.predict()
        kf.update(None if i in missing else z)
        rows.append((kf.x_post, kf.P_post, kf.x_prior, kf.P_prior, kf.log_likelihood, kf.nis))
    return [np.array(col) for col in zip(*rows)]


@BOTH
@pytest.mark.parametrize("missing", [(), (0, 3, 4, 11)], ids=["all_seen", "with_missing"])
def test_run_equals_a_manual_predict_update_loop_bit_for_bit(square_root, missing):
    zs = measurements(15)
    zs[list(missing)] = np.nan
    kf = make_filter(square_root)
    ref = kf.copy()
    result = kf.run(np.asfortranarray(zs), nan_means_missing=bool(missing))  # rows are strided views
    assert isinstance(result, vexel_ckf.RunResult)
    assert result._fields == ("xs", "Ps", "xs_prior", "Ps_prior", "log_likelihoods", "nis")
    for got, want in zip(result, manual_loop(ref, zs, set(missing))):
        assert got.shape == want.shape and got.tobytes() == want.tobytes()
    assert_same_state(kf, ref)
    for i in missing:
        assert math.isnan(result.nis[i]) and math.isnan(result.log_likelihoods[i])
        assert same(result.xs[i], result.xs_prior[i])
    empty = kf.run(np.empty((0, DIM_Z)))
    assert [a.shape for a in empty] == [(0, DIM_X), (0, DIM_X, DIM_X), (0, DIM_X), (0, DIM_X, DIM_X), (0,), (0,)]
    assert_same_state(kf, ref)


def test_run_accepts_a_flat_sequence_when_dim_z_is_one():
    kf = VexelCKF(2, 1, 1.0, fx=lambda X, dt: X @ np.array([[1.0, 0.0], [dt, 1.0]]), hx=lambda X: X[:, :1])
    expected = manual_loop(kf.copy(), np.array([[1.0], [2.1], [2.9]]))
    assert kf.run([1.0, 2.1, 2.9]).xs.tobytes() == expected[0].tobytes()


def _zs(rows, *cells):
    zs = np.zeros((6, DIM_Z)) + 1.0
    zs[rows] = np.nan
    for (r, c), v in cells:
        zs[r, c] = v
    return zs


@BOTH
@pytest.mark.parametrize("zs,missing,message", [
    (_zs([2], ((5, 1), np.nan)), True, "zs[5] is partly NaN: [1.0, nan]. A missed measurement must be a row of all "
     "NaN; a partial measurement cannot be used as it is"),
    (_zs([4]), False, "zs[4] contains non-finite values: [nan, nan]. For missed measurements fill their rows with "
     "NaN and pass nan_means_missing=True"),
    (_zs([], ((4, 0), np.inf)), True, "zs[4] contains infinite values: [inf, 1.0]"),
    (np.zeros((5, 3)), False, "zs must have shape (N, 2), got (5, 3)"),
])
def test_bad_measurement_sequences_are_refused_before_any_step(square_root, zs, missing, message):
    kf = make_filter(square_root)
    before = state_of(kf)
    assert str(support.error_of(lambda: kf.run(zs, nan_means_missing=missing), ValueError)) == message
    assert_same_state(before, kf)


def test_run_failing_mid_sequence_raises_the_callback_error():
    calls = []

    def hx(X):
        calls.append(1)
        if len(calls) == 3:
            raise ZeroDivisionError("boom")
        return range_bearing_hx(X)

    with pytest.raises(ZeroDivisionError) as exc:
        make_filter(False, hx=hx).run(measurements(5))
    assert exc.value.args == ("boom",)
    if sys.version_info >= (3, 11):
        assert exc.value.__notes__ == [
            "raised by VexelCKF.run() at step 2; the filter holds the state reached before the failing call"]


def test_progress_without_tqdm_counts_on_stderr(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "tqdm", None)
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    zs = measurements(250)
    kf = make_filter(False)
    ref = kf.copy()
    with_bar = kf.run(zs, progress=True)
    err = capsys.readouterr().err
    assert err.startswith("\rVexelCKF.run: 0/250 steps\rVexelCKF.run: 2/250 steps")
    assert err.endswith("\rVexelCKF.run: 250/250 steps\n")
    assert all(a.tobytes() == b.tobytes() for a, b in zip(with_bar, ref.run(zs)))


# -- whole-state transfer ------------------------------------------------------

def attributes(kf):
    return kf.dim_x, kf.dim_z, kf.dt, kf.square_root, kf.fx, kf.hx


@BOTH
def test_copies_dicts_and_pickles_carry_the_whole_filter(square_root):
    kf = make_filter(square_root)
    kf.dt = 0.2
    kf.run(measurements(4))
    x_before = kf.x
    for dup in (kf.copy(), copy.copy(kf), copy.deepcopy(kf), pickle.loads(pickle.dumps(kf))):
        assert_same_state(dup, kf)
        assert attributes(dup) == attributes(kf)
        dup.x = np.zeros(DIM_X)
        dup.dt = 9.0
        assert same(kf.x, x_before) and kf.dt == 0.2
    zs = measurements(3, seed=9)  # continuing from an unpickled filter gives the same numbers
    assert all(a.tobytes() == b.tobytes() for a, b in zip(pickle.loads(pickle.dumps(kf)).run(zs), kf.copy().run(zs)))
    kf.update(None)  # NaN z and diagnostics travel too
    state = kf.to_dict()
    assert list(state)[:4] == ["dim_x", "dim_z", "dt", "square_root"]
    assert (state["dim_x"], state["dim_z"], state["dt"], state["square_root"]) == (DIM_X, DIM_Z, 0.2, square_root)
    back = VexelCKF.from_dict(state, fx=cv_fx)
    assert attributes(back) == (DIM_X, DIM_Z, 0.2, square_root, cv_fx, None)
    assert_same_state(back, kf)
    del state["dt"]
    assert str(support.error_of(lambda: VexelCKF.from_dict(state))) == \
        "from_dict() needs the key 'dt', as written by to_dict()"
    kf.fx = lambda X, dt: X  # an unpicklable callback is dropped, not fatal
    back = pickle.loads(pickle.dumps(kf))
    assert back.fx is None and back.hx is range_bearing_hx
    assert_same_state(back, kf)
