"""Compiled models: the C-level forms a filter takes, the native paths that run them (lone filter, whole run,
bank, smoother) against the Python paths and a textbook filter, and their failures.

The models are plain C compiled here with the system compiler, so these tests need no numba."""

import ctypes
import gc
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import vexel_ckf as vx
from vexel_ckf import CompiledModel

C_SOURCE = r"""
#include <math.h>
#include <stdint.h>

/* Coordinated turn, state [px, py, vx, vy, w]; params[0], when given, scales the turn rate. */
int ct_fx(const double *p, double *o, intptr_t n, intptr_t di, intptr_t dout, double dt,
          const double *params, intptr_t n_params, void *ud) {
    (void)ud;
    if (di != 5 || dout != 5) return 1;
    double scale = n_params > 0 ? params[0] : 1.0;
    for (intptr_t k = 0; k < n; ++k) {
        const double *x = p + 5 * k; double *y = o + 5 * k;
        double w = x[4] * scale, wt = w * dt;
        double s = sin(wt), c = cos(wt), a, b;
        if (fabs(wt) < 1e-8) { a = dt; b = 0.5 * w * dt * dt; } else { a = s / w; b = (1.0 - c) / w; }
        y[0] = x[0] + a * x[2] - b * x[3];
        y[1] = x[1] + b * x[2] + a * x[3];
        y[2] = c * x[2] - s * x[3];
        y[3] = s * x[2] + c * x[3];
        y[4] = x[4];
    }
    return 0;
}

/* Range and bearing from the sensor at user_data (two doubles), or the origin. */
int rb_hx(const double *p, double *o, intptr_t n, intptr_t di, intptr_t dout, double dt,
          const double *params, intptr_t n_params, void *ud) {
    (void)dt; (void)params; (void)n_params;
    if (dout != 2 || di < 2) return 1;
    const double *sensor = (const double *)ud;
    double sx = sensor ? sensor[0] : 0.0, sy = sensor ? sensor[1] : 0.0;
    for (intptr_t k = 0; k < n; ++k) {
        double dx = p[di * k] - sx, dy = p[di * k + 1] - sy;
        o[2 * k] = hypot(dx, dy);
        o[2 * k + 1] = atan2(dy, dx);
    }
    return 0;
}

/* Position only; fails with code 7 for any point whose px exceeds params[0]. */
int pos_hx(const double *p, double *o, intptr_t n, intptr_t di, intptr_t dout, double dt,
           const double *params, intptr_t n_params, void *ud) {
    (void)dt; (void)ud;
    for (intptr_t k = 0; k < n; ++k) {
        if (n_params > 0 && p[di * k] > params[0]) return 7;
        for (intptr_t j = 0; j < dout; ++j) o[dout * k + j] = p[di * k + j];
    }
    return 0;
}

/* Constant velocity in 2-D ([px, py, vx, vy]); fails with code 9 for points whose px exceeds params[0],
   and gives a NaN image for points whose py exceeds params[1]. */
int cv_fx(const double *p, double *o, intptr_t n, intptr_t di, intptr_t dout, double dt,
          const double *params, intptr_t n_params, void *ud) {
    (void)ud;
    if (di != 4 || dout != 4) return 1;
    for (intptr_t k = 0; k < n; ++k) {
        const double *x = p + 4 * k; double *y = o + 4 * k;
        if (n_params > 0 && x[0] > params[0]) return 9;
        y[0] = x[0] + dt * x[2]; y[1] = x[1] + dt * x[3]; y[2] = x[2]; y[3] = x[3];
        if (n_params > 1 && x[1] > params[1]) y[1] = NAN;
    }
    return 0;
}
"""

SIG_ARGS = [ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_double), ctypes.c_ssize_t, ctypes.c_ssize_t,
            ctypes.c_ssize_t, ctypes.c_double, ctypes.POINTER(ctypes.c_double), ctypes.c_ssize_t, ctypes.c_void_p]


def _compiler():
    for name in (os.environ.get("CC"), "cc", "gcc", "clang"):
        if name and shutil.which(name):
            return name
    return None


@pytest.fixture(scope="module")
def lib(tmp_path_factory):
    cc = _compiler()
    if cc is None:
        pytest.skip("no C compiler found to build the test models")
    d = tmp_path_factory.mktemp("cmodels")
    src = d / "models.c"
    src.write_text(C_SOURCE)
    so = d / "models.so"
    subprocess.run([cc, "-O2", "-shared", "-fPIC", "-o", str(so), str(src), "-lm"], check=True)
    library = ctypes.CDLL(str(so))
    for name in ("ct_fx", "rb_hx", "pos_hx", "cv_fx"):
        f = getattr(library, name)
        f.restype = ctypes.c_int
        f.argtypes = SIG_ARGS
    return library


def capsule(fn, name=vx.MODEL_SIGNATURE, context=None):
    """A PyCapsule holding fn's address under `name`, with an optional context pointer."""
    new = ctypes.pythonapi.PyCapsule_New
    new.restype = ctypes.py_object
    new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    # The name must outlive the capsule: keep it on the function object.
    fn._capsule_name = ctypes.create_string_buffer(name.encode())
    cap = new(ctypes.cast(fn, ctypes.c_void_p), ctypes.cast(fn._capsule_name, ctypes.c_char_p), None)
    if context is not None:
        ctypes.pythonapi.PyCapsule_SetContext.argtypes = [ctypes.py_object, ctypes.c_void_p]
        ctypes.pythonapi.PyCapsule_SetContext(cap, context)
    return cap


# NumPy twins of the C models, for independent checks.
def ct_np(X, dt, scale=1.0):
    px, py, vx_, vy, w0 = X.T
    w = w0 * scale
    wt = w * dt
    s, c = np.sin(wt), np.cos(wt)
    small = np.abs(wt) < 1e-8
    a = np.where(small, dt, s / np.where(small, 1.0, w))
    b = np.where(small, 0.5 * w * dt * dt, (1 - c) / np.where(small, 1.0, w))
    return np.column_stack([px + a * vx_ - b * vy, py + b * vx_ + a * vy, c * vx_ - s * vy, s * vx_ + c * vy, w0])


def rb_np(X, sensor=(0.0, 0.0)):
    dx, dy = X[:, 0] - sensor[0], X[:, 1] - sensor[1]
    return np.column_stack([np.hypot(dx, dy), np.arctan2(dy, dx)])


def track(n_steps, seed=0):
    """A turning target seen by range and bearing from the origin, its first state and the measurements."""
    rng = np.random.default_rng(seed)
    x = np.array([900.0, 400.0, -8.0, 6.0, 0.02])
    xs = []
    for _ in range(n_steps):
        x = ct_np(x[None, :], 1.0)[0]
        xs.append(x)
    z = rb_np(np.array(xs)) + rng.normal(0, 1, (n_steps, 2)) * [2.0, 0.002]
    return np.array([900.0, 400.0, -8.0, 6.0, 0.02]), z


def make(fx, hx, square_root=False, **kw):
    kf = vx.VexelCKF(5, 2, 1.0, fx=fx, hx=hx, square_root=square_root, **kw)
    kf.x = [905.0, 395.0, -7.0, 5.0, 0.015]
    kf.P = np.diag([100.0, 100.0, 4.0, 4.0, 1e-4])
    kf.Q = np.diag([0.05, 0.05, 0.01, 0.01, 1e-6])
    kf.R = np.diag([4.0, 4e-6])
    return kf


def models(lib):
    return (CompiledModel("fx", ctypes.cast(lib.ct_fx, ctypes.c_void_p).value, dim_in=5, dim_out=5, keep=lib.ct_fx),
            vx._models.as_model(lib.rb_hx, "hx", 5, 2))


# -- the forms a filter takes -------------------------------------------------


def test_forms_give_the_same_model(lib):
    """ctypes pointer, capsule, capsule with a context as user data, and scipy's LowLevelCallable: one function."""
    X = np.random.default_rng(1).normal(500, 100, (10, 5))
    sensor = (ctypes.c_double * 2)(10.0, -20.0)
    forms = [lib.rb_hx, capsule(lib.rb_hx)]
    for form in forms:
        m = vx._models.as_model(form, "hx", 5, 2)
        assert isinstance(m, CompiledModel) and m.kind == "hx"
        np.testing.assert_allclose(m(X), rb_np(X), rtol=1e-14)
    with_context = vx._models.as_model(capsule(lib.rb_hx, context=ctypes.addressof(sensor)), "hx", 5, 2)
    np.testing.assert_allclose(with_context(X), rb_np(X, (10.0, -20.0)), rtol=1e-14)
    scipy = pytest.importorskip("scipy", reason="scipy is needed for LowLevelCallable")
    llc = scipy.LowLevelCallable(lib.rb_hx, ctypes.cast(sensor, ctypes.c_void_p))
    np.testing.assert_allclose(vx._models.as_model(llc, "hx", 5, 2)(X), rb_np(X, (10.0, -20.0)), rtol=1e-14)


@pytest.mark.parametrize("spelling", [
    "int (double *, double *, long, long, long, double, double *, long, void *)",
    "int(const double*, double*, intptr_t, intptr_t, intptr_t, double, const double*, intptr_t, void*)",
    "int (const double *, double *, Py_ssize_t, ssize_t, npy_intp, double, const double *, intptr_t, void *)",
])
def test_capsule_signature_spellings(lib, spelling):
    m = vx._models.as_model(capsule(lib.rb_hx, spelling), "hx", 5, 2)
    X = np.ones((2, 5))
    np.testing.assert_allclose(m(X), rb_np(X), rtol=1e-14)


@pytest.mark.parametrize("name", [
    "int (double *, double *, int, int, int, double, double *, int, void *)",
    "int (double *, double *, intptr_t, intptr_t, intptr_t, double, double *, intptr_t)",
    "void (double *, double *, intptr_t, intptr_t, intptr_t, double, double *, intptr_t, void *)",
    "double (double, void *)",
])
def test_capsule_with_a_wrong_name(lib, name):
    with pytest.raises(TypeError, match="must be named by the model signature") as info:
        vx.VexelCKF(5, 2, 1.0, hx=capsule(lib.rb_hx, name))
    assert vx.MODEL_SIGNATURE in str(info.value)


def test_ctypes_function_with_wrong_argtypes(lib, tmp_path):
    wrong = ctypes.CDLL(lib._name).rb_hx
    wrong.restype = ctypes.c_int
    wrong.argtypes = SIG_ARGS[:5] + [ctypes.c_float] + SIG_ARGS[6:]
    with pytest.raises(TypeError, match=r"signature c_int \(LP_c_double, .*c_float") as info:
        vx.VexelCKF(5, 2, 1.0, hx=wrong)
    assert vx.MODEL_SIGNATURE in str(info.value)
    wrong.argtypes = None
    with pytest.raises(TypeError, match="argtypes not set"):
        vx.VexelCKF(5, 2, 1.0, hx=wrong)
    wrong.argtypes, wrong.restype = SIG_ARGS, ctypes.c_double
    with pytest.raises(TypeError, match="must have the signature"):
        vx.VexelCKF(5, 2, 1.0, hx=wrong)


def test_kind_and_dimensions_are_checked(lib):
    fx, hx = models(lib)
    with pytest.raises(TypeError, match="is the hx model"):
        vx.VexelCKF(5, 2, 1.0, fx=hx)
    with pytest.raises(ValueError, match="takes states of 5 entries, but the filter's states have 4"):
        vx.VexelCKF(4, 2, 1.0, fx=fx)
    with pytest.raises(ValueError, match="gives measurements of 2 entries"):
        vx.VexelCKF(5, 3, 1.0, hx=hx)
    kf = vx.VexelCKF(5, 2, 1.0)
    with pytest.raises(TypeError, match="is the fx model"):
        kf.hx = fx
    # The engine checks too, for a model handed straight to a native filter.
    native = vx.CubatureKalmanFilter(4, 2, 1.0)
    with pytest.raises(ValueError, match="takes states of 5 entries"):
        native.predict_custom(fx)
    with pytest.raises(TypeError, match="a prediction takes an fx model"):
        native.predict_custom(hx)


@pytest.mark.parametrize("args, ok", [
    ((2.0,), True), ((np.array([2.0]),), True), ((np.float32(2.0),), True), ((2,), True),
    (("2",), False), (([2.0],), False), ((np.array([2]),), False), ((True,), False),
    ((np.array([2.0]), 1.0), False),
])
def test_params_of_the_wrong_kind(lib, args, ok):
    fx, hx = models(lib)
    X = np.random.default_rng(2).normal(0, 1, (10, 5))
    kf = make(fx, hx)
    if ok:
        kf.predict(fx_args=args)
        np.testing.assert_allclose(fx(X, 1.0, *args), ct_np(X, 1.0, 2.0), rtol=1e-14, atol=1e-12)
    else:
        before = kf.to_dict()
        with pytest.raises(TypeError, match="fx_args of a compiled model must be numbers or one float64 array"):
            kf.predict(fx_args=args)
        np.testing.assert_array_equal(kf.x, before["x"])


def test_model_attributes_repr_and_pickling(lib):
    import pickle
    fx, hx = models(lib)
    assert (fx.kind, fx.dim_in, fx.dim_out, fx.angles) == ("fx", 5, 5, ())
    assert hx.keep is lib.rb_hx and "rb_hx" in repr(hx)
    with pytest.raises(TypeError, match="cannot pickle"):
        pickle.dumps(hx)
    # A filter holding an unpicklable model still pickles, without it (as with any callback).
    kf = pickle.loads(pickle.dumps(make(fx, hx)))
    assert kf.hx is None
    with pytest.raises(TypeError, match="model\\(X, dt, \\*fx_args\\)"):
        fx(np.ones((1, 5)))
    with pytest.raises(ValueError, match="takes states of 5 entries"):
        fx(np.ones((1, 4)), 1.0)


def test_dropped_callable_stays_valid(lib):
    """The engine keeps the LowLevelCallable, its capsule and its user data alive."""
    scipy = pytest.importorskip("scipy", reason="scipy is needed for LowLevelCallable")

    def build():
        sensor = (ctypes.c_double * 2)(-50.0, 30.0)
        return make(models(lib)[0], scipy.LowLevelCallable(lib.rb_hx, ctypes.cast(sensor, ctypes.c_void_p)))

    kf = build()
    gc.collect()
    x0, zs = track(40)
    reference = make(lambda X, dt: ct_np(X, dt), lambda X: rb_np(X, (-50.0, 30.0)))
    got = kf.run(zs)
    want = reference.run(zs)
    np.testing.assert_allclose(got.xs, want.xs, rtol=1e-12, atol=1e-9)


# -- native paths against the Python paths and a textbook filter ---------------


def textbook_ckf(x, P, Q, R, zs, dt):
    """The cubature Kalman filter from its equations: points x ± sqrt(n) columns of chol(P)."""
    n = len(x)
    out = []
    for z in zs:
        L = np.linalg.cholesky(P)
        X = np.vstack([x + np.sqrt(n) * L.T, x - np.sqrt(n) * L.T])
        Y = ct_np(X, dt)
        x = Y.mean(axis=0)
        P = (Y - x).T @ (Y - x) / (2 * n) + Q
        L = np.linalg.cholesky(P)
        X = np.vstack([x + np.sqrt(n) * L.T, x - np.sqrt(n) * L.T])
        Z = rb_np(X)
        Z[:, 1] = z[1] + np.angle(np.exp(1j * (Z[:, 1] - z[1])))
        zp = Z.mean(axis=0)
        S = (Z - zp).T @ (Z - zp) / (2 * n) + R
        C = (X - x).T @ (Z - zp) / (2 * n)
        K = C @ np.linalg.inv(S)
        innovation = z - zp
        innovation[1] = np.angle(np.exp(1j * innovation[1]))
        x = x + K @ innovation
        P = P - K @ S @ K.T
        out.append(x)
    return np.array(out)


def test_native_run_against_a_textbook_filter(lib):
    fx, hx = models(lib)
    _, zs = track(300)
    kf = make(fx, hx)
    want = textbook_ckf(kf.x, kf.P, kf.Q, kf.R, zs, 1.0)
    got = kf.run(zs)
    np.testing.assert_allclose(got.xs, want, rtol=1e-9, atol=1e-7)


@pytest.mark.parametrize("square_root", [False, True], ids=["ckf", "srckf"])
def test_native_run_equals_the_step_by_step_path(lib, square_root):
    """Missing rows, per-step dts (negative and zero among them) and angle options: the same bits as predict/update."""
    fx, hx = models(lib)
    _, zs = track(120, seed=3)
    zs[[5, 6, 50]] = np.nan
    dts = np.full(120, 1.0)
    dts[[10, 11, 70]] = [0.5, 0.0, -0.25]
    kw = dict(angle_states=[4], angle_measurements=[1], nan_means_missing=True)
    kf = make(fx, hx, square_root, **kw)
    native = kf.run(zs, dts=dts)
    step = make(fx, hx, square_root, **kw)
    rows = {k: [] for k in ("x", "P", "x_prior", "P_prior", "log_likelihood", "nis")}
    for z, dt in zip(zs, dts):
        step.predict(dt=dt)
        step.update(z)
        rows["x"].append(step.x_post), rows["P"].append(step.P_post)
        rows["x_prior"].append(step.x_prior), rows["P_prior"].append(step.P_prior)
        rows["log_likelihood"].append(step.log_likelihood), rows["nis"].append(step.nis)
    assert native.xs.tobytes() == np.array(rows["x"]).tobytes()
    assert native.Ps.tobytes() == np.array(rows["P"]).tobytes()
    assert native.xs_prior.tobytes() == np.array(rows["x_prior"]).tobytes()
    assert native.Ps_prior.tobytes() == np.array(rows["P_prior"]).tobytes()
    np.testing.assert_array_equal(native.log_likelihoods, rows["log_likelihood"])
    np.testing.assert_array_equal(native.nis, rows["nis"])
    assert kf.x.tobytes() == step.x.tobytes() and kf.P.tobytes() == step.P.tobytes()


def test_mixed_compiled_and_python_models(lib):
    fx, hx = models(lib)
    _, zs = track(60, seed=4)
    both = make(fx, hx).run(zs)
    mixed = make(fx, lambda X: rb_np(X)).run(zs)
    other = make(lambda X, dt: fx(X, dt), hx).run(zs)
    # The compiled fx called through Python is the same function on the same points.
    assert other.xs.tobytes() == both.xs.tobytes()
    np.testing.assert_allclose(mixed.xs, both.xs, rtol=1e-12, atol=1e-9)


def test_native_run_failure_keeps_the_steps_before(lib):
    fx = vx._models.as_model(lib.ct_fx, "fx", 5, 5)
    hx = vx._models.as_model(lib.pos_hx, "hx", 5, 2)
    zs = np.column_stack([np.linspace(807, 1010, 30), np.linspace(0.3, 9, 30)])
    kf = vx.VexelCKF(5, 2, 1.0, fx=fx, hx=hx, hx_args=(900.0,))
    kf.x = [800.0, 0.0, 7.0, 0.3, 0.0]
    kf.P = np.eye(5)
    kf.R = np.eye(2)
    step = kf.copy()
    with pytest.raises(RuntimeError, match=r"hx <compiled hx pos_hx> returned 7") as info:
        kf.run(zs)
    done = 0
    for z in zs:
        step.predict()
        try:
            step.update(z)
        except RuntimeError:
            break
        done += 1
    assert 0 < done < 30
    if hasattr(info.value, "__notes__"):
        assert f"at step {done}" in info.value.__notes__[-1]
    # Both stop with the prediction of the failing step done and its update refused.
    assert kf.x.tobytes() == step.x.tobytes() and kf.P.tobytes() == step.P.tobytes()


@pytest.mark.parametrize("square_root", [False, True], ids=["ckf", "srckf"])
@pytest.mark.parametrize("n", [4, 5, 9])
def test_native_run_names_the_first_point_a_compiled_fx_overflows(square_root, n):
    # The transition overflows for points whose first component is beyond about 1.8e10 in size: with
    # x0 = -1e10 and a spread of 1e10 only some of the cubature points go over.
    F = np.eye(n)
    F[0, 0] = 1e298
    x = np.ones(n)
    x[0] = -1e10
    P = np.eye(n)
    P[0, 0] = 1e20
    kf = vx.VexelCKF(n, 2, 1.0, fx=vx.models.linear(F), hx=vx.models.range_bearing(), square_root=square_root)
    kf.x, kf.P = x, P
    # The points, plus points first, then their minus twins, and the first whose image is not finite.
    spread = np.sqrt(n) * np.linalg.cholesky(P)
    points = np.vstack([x + spread.T, x - spread.T])
    with np.errstate(over="ignore"):
        images = points @ F.T
    first = int(np.flatnonzero(~np.isfinite(images).all(axis=1))[0])
    if n < 9:
        assert first == n  # the minus twin of point 0: a point other than the first is named
    message = (f"fx returned non-finite values (NaN or inf) in output row {first} (sigma point {first}); "
               "x and P were left unchanged")
    with pytest.raises(ValueError, match=re.escape(message)):
        kf.run(np.ones((3, 2)))
    assert kf.x.tobytes() == x.tobytes() and np.array_equal(kf.P, P)


def test_native_run_progress_and_ctrl_c(lib):
    fx, hx = models(lib)
    _, zs = track(100)
    kf = make(fx, hx)
    kf.run(zs, progress=True)
    if threading.current_thread() is not threading.main_thread() or not hasattr(signal, "pthread_kill"):
        pytest.skip("needs signals delivered to the main thread")
    long = np.tile(zs, (20000, 1))  # two million steps: seconds of work
    kf = make(fx, hx)
    timer = threading.Timer(0.3, lambda: signal.pthread_kill(threading.main_thread().ident, signal.SIGINT))
    start = time.perf_counter()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        kf.run(long)
    stopped = time.perf_counter() - start
    timer.join()
    assert stopped < 0.3 + 1.5  # far less than the whole run; generous for a loaded machine
    assert np.isfinite(kf.x).all()


# -- bank ------------------------------------------------------------------------


def test_bank_failing_filter_gets_status_3(lib):
    """A model that fails on one filter's points fails that filter alone, step after step, with recoveries."""
    fx = vx._models.as_model(lib.cv_fx, "fx", 4, 4)
    hx = vx._models.as_model(lib.pos_hx, "hx", 4, 2)
    rng = np.random.default_rng(6)
    M = 7
    xs = rng.normal(0, 1, (M, 4)) + [0, 0, 1, 1]
    xs[2, 0] = 50.0   # fx returns 9 for this filter's points while px > 40
    xs[4, 1] = 50.0   # fx gives NaN images for this one while py > 40
    bank = vx.CKFBank(M, 4, 2, 1.0, fx=fx, hx=hx, fx_args=(40.0, 40.0), hx_args=(1e9,))
    bank.xs = xs
    bank.Ps = np.eye(4)
    lone = []
    for i in range(M):
        f = vx.VexelCKF(4, 2, 1.0, fx=fx, hx=hx, fx_args=(40.0, 40.0), hx_args=(1e9,))
        f.x = xs[i]
        lone.append(f)
    for k in range(12):
        zs = rng.normal(0, 1, (M, 2)) + [k, k]
        if k == 6:
            zs[1] = np.nan
            bank.xs = np.where(np.arange(M)[:, None] == 2, [0.0, 0.0, 1.0, 1.0], bank.xs)  # filter 2 recovers
            lone[2].x = [0.0, 0.0, 1.0, 1.0]
        bank.predict()
        bank.update(zs)
        for i, f in enumerate(lone):
            try:
                f.predict()
            except (RuntimeError, ValueError):
                assert bank.status[i] == 3
                continue
            if np.isnan(zs[i]).all():
                f.update(None)
                assert bank.status[i] == 4
            else:
                f.update(zs[i])
                assert bank.status[i] in (0, 1)
            assert bank.xs[i].tobytes() == f.x.tobytes(), (k, i)
            assert bank.Ps[i].tobytes() == f.P.tobytes(), (k, i)
    assert bank.status[2] != 3 and bank.status[4] == 3


BANK_SCRIPT = r"""
import ctypes, hashlib, sys
import numpy as np
import vexel_ckf as vx
lib = ctypes.CDLL(sys.argv[1])
for name in ("ct_fx", "rb_hx"):
    f = getattr(lib, name); f.restype = ctypes.c_int
    f.argtypes = [ctypes.POINTER(ctypes.c_double)] * 2 + [ctypes.c_ssize_t] * 3 + [ctypes.c_double,
                  ctypes.POINTER(ctypes.c_double), ctypes.c_ssize_t, ctypes.c_void_p]
rng = np.random.default_rng(7)
M = 3000
bank = vx.CKFBank(M, 5, 2, 1.0, fx=lib.ct_fx, hx=lib.rb_hx, angle_measurements=[1])
bank.xs = rng.normal(0, 50, (M, 5)) + [900, 400, 0, 0, 0]
bank.xs = np.column_stack([bank.xs[:, :4], rng.normal(0, 0.02, M)])
bank.Ps = np.diag([100.0, 100.0, 4.0, 4.0, 1e-4])
bank.R = np.diag([4.0, 4e-6])
h = hashlib.sha256()
for k in range(8):
    bank.predict()
    bank.update(np.column_stack([rng.normal(1000, 10, M), rng.normal(0.4, 0.1, M)]))
    for name in ("xs", "Ps", "status", "log_likelihoods"):
        h.update(getattr(bank, name).tobytes())
print(h.hexdigest())
"""


def test_bank_is_the_same_for_every_pool_size(lib, tmp_path):
    script = tmp_path / "bank.py"
    script.write_text(BANK_SCRIPT)
    digests = set()
    for threads in ("1", "2", "3"):
        env = dict(os.environ, VEXEL_CKF_NUM_THREADS=threads)
        run = subprocess.run([sys.executable, str(script), lib._name], env=env, capture_output=True, text=True,
                             timeout=120)
        assert run.returncode == 0, run.stderr
        digests.add(run.stdout.strip())
    assert len(digests) == 1


def test_bank_equals_lone_filters(lib):
    fx, hx = models(lib)
    _, zs = track(15, seed=8)
    M = 5
    rng = np.random.default_rng(9)
    starts = np.array([905.0, 395.0, -7.0, 5.0, 0.015]) + rng.normal(0, 1, (M, 5)) * [5, 5, 1, 1, 0.001]
    bank = vx.CKFBank(M, 5, 2, 1.0, fx=fx, hx=hx)
    assert bank.angle_measurements == ()
    lone = [make(fx, hx) for _ in range(M)]
    bank.xs, bank.Ps, bank.Q, bank.R = starts, lone[0].P, lone[0].Q, lone[0].R
    for f, x in zip(lone, starts):
        f.x = x
    result = bank.run(np.repeat(zs[:, None, :], M, axis=1))
    for i, f in enumerate(lone):
        got = f.run(zs)
        assert result.xs[:, i].tobytes() == got.xs.tobytes()
        assert result.Ps[:, i].tobytes() == got.Ps.tobytes()


# -- smoother ----------------------------------------------------------------------


def test_smoother_with_a_compiled_fx(lib):
    fx, hx = models(lib)
    _, zs = track(80, seed=10)
    kf = make(fx, hx)
    run = kf.run(zs)
    native = kf.smooth(run)
    python = vx.cubature_smoother(run.xs, run.Ps, lambda X, dt: fx(X, dt), kf.Q, 1.0)
    twin = vx.cubature_smoother(run.xs, run.Ps, ct_np, kf.Q, 1.0)
    assert native.xs.tobytes() == python.xs.tobytes() and native.Ps.tobytes() == python.Ps.tobytes()
    np.testing.assert_allclose(native.xs, twin.xs, rtol=1e-12, atol=1e-9)
    # Smoothing lowers the uncertainty of every step but the last.
    assert (np.trace(native.Ps[:-1], axis1=1, axis2=2) < np.trace(run.Ps[:-1], axis1=1, axis2=2)).all()


def test_smoother_reports_a_failing_compiled_fx(lib):
    fx = vx._models.as_model(lib.cv_fx, "fx", 4, 4)
    xs = np.column_stack([np.arange(10.0), np.zeros(10), np.ones(10), np.zeros(10)])
    Ps = np.repeat(np.eye(4)[None], 10, axis=0)
    with pytest.raises(RuntimeError, match=r"returned 9 .*smoother step 8\)"):
        vx.cubature_smoother(xs, Ps, fx, np.eye(4), 1.0, fx_args=(6.5,))
    with pytest.raises(ValueError, match=r"non-finite values .*smoother step 8\)"):
        vx.cubature_smoother(xs, Ps, fx, np.eye(4), 1.0, fx_args=(1e9, -100.0))


@pytest.mark.parametrize("kwargs, message", [
    (dict(function="linear", user_data=(1.0,), dim_in=3, dim_out=3), "takes dim_out \\* dim_in = 3 \\* 3 constants, got 1"),
    (dict(function="linear", user_data=(1.0,)), "needs dim_in and dim_out"),
    (dict(function="range_bearing", user_data=(0.0, 0.0)), "takes 4 constants, got 2"),
    (dict(function="no_such_model"), "names no built-in model"),
    (dict(function=0), "null pointer"),
    (dict(function=1.5), "function must be a PyCapsule"),
])
def test_hand_built_models_are_checked(kwargs, message):
    """A CompiledModel built by hand never reads past its constants or calls a null pointer."""
    with pytest.raises((ValueError, TypeError), match=message):
        CompiledModel("fx", **kwargs)


def test_run_filter_checks_its_plumbing_before_the_first_step(lib):
    """A position array it cannot write in place, or a progress that is not callable, changes nothing."""
    from vexel_ckf import _engine
    fx, hx = models(lib)
    kf = make(fx, hx)
    before = kf.to_dict()
    buffer = np.full(4, -7, dtype=np.int64)
    for position, progress, message in [(buffer[1::-1], None, "C-contiguous"), (buffer[::2], None, "C-contiguous"),
                                        (np.zeros(2, dtype=np.int32), None, "int64"), (None, 3, "progress must be callable")]:
        with pytest.raises(TypeError, match=message):
            _engine.run_filter(kf.native, (fx, (), hx, ()), np.ones((3, 2)), None, None, None, progress, position)
    np.testing.assert_array_equal(buffer, -7)
    after = kf.to_dict()
    assert all(np.array_equal(before[k], after[k], equal_nan=True) for k in before)


@pytest.mark.parametrize("kwargs, error", [
    (dict(function="linear", dim_in=2**32, dim_out=2**32), ValueError),
    (dict(function="linear", user_data=(1.0, 2.0), dim_in=2**62, dim_out=2), OverflowError),
    (dict(function="ctrv", angles=(1, 1)), ValueError),
])
def test_hand_built_models_with_huge_or_repeated_values(kwargs, error):
    with pytest.raises(error):
        CompiledModel("fx", **kwargs)
    # Angles of a model without declared dimensions need no table of every possible index.
    assert CompiledModel("hx", "ctrv", angles=(1, 7)).angles == (1, 7)


def test_complex_params_are_refused():
    from vexel_ckf import models as builtins
    with pytest.raises(TypeError, match="fx_args of a compiled model must be numbers"):
        builtins.linear(np.eye(2))(np.ones((1, 2)), 1.0, np.complex128(1 + 1j))
