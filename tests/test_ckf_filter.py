"""Nonlinear prediction and measurement update: the behaviour both filter
classes share (tested for both), the covariance filter's orders of operations,
the jitter schedule and the innovation-inverse stages."""

import contextlib
import math
import sys

import numpy as np
import pytest

from vexel_ckf._native import CubatureKalmanFilter as CKF, SquareRootCubatureKalmanFilter as SR
from support import (BOTH, MEASUREMENT_TAIL, NO_FACTOR, assert_message, assert_same_state, error_of, is_sr,
                     kalman_update, lower_with_nonnegative_diagonal, same, seeded, spd, state_of,
                     strided)


def linear(M):
    return lambda X, *_: X @ M.T


def zero_hx(m):
    return lambda X: np.zeros((X.shape[0], m))


def jitter_of(f):
    return f.get("last_jitter"), f.get("max_jitter"), f.get("jitter_count")


@BOTH
@pytest.mark.parametrize("n,m", [(1, 1), (2, 1), (4, 2), (3, 5), (8, 3)])
def test_linear_models_match_textbook_kalman_filter(cls, n, m):
    rng = np.random.default_rng(100 * n + m)
    F = np.eye(n) + 0.2 * rng.standard_normal((n, n))
    F *= 0.98 / np.abs(np.linalg.eigvals(F)).max()
    H = rng.standard_normal((m, n))
    f = seeded(cls, rng, n, m)
    x, P, Q, R = (f.get(k) for k in ("x", "P", "Q", "R"))
    tol = dict(rtol=1e-8, atol=1e-10)
    for k in range(60):
        f.predict_custom(linear(F))
        x, P = F @ x, F @ P @ F.T + Q
        np.testing.assert_allclose(f.get("x_prior"), x, **tol)
        np.testing.assert_allclose(f.get("P_prior"), P, **tol)
        z, r = H @ x + rng.standard_normal(m), spd(rng, m, 2.0)  # a per-call r is used, never stored
        f.update(z, linear(H), r if k % 2 else None)
        x, P, d = kalman_update(x, P, z, H, r if k % 2 else R)
        for name in ("z_pred", "y", "S", "K"):
            np.testing.assert_allclose(f.get(name), d[name], **tol, err_msg=name)
        np.testing.assert_allclose(f.get("x"), x, **tol)
        np.testing.assert_allclose(f.get("P"), P, **tol)
        assert f.get("nis") == pytest.approx(d["nis"], rel=1e-8, abs=1e-12)
        assert f.get("mahalanobis") == pytest.approx(math.sqrt(d["nis"]), rel=1e-8, abs=1e-12)
        assert f.get("log_likelihood") == pytest.approx(d["ll"], rel=1e-9)
        assert f.get("likelihood") == pytest.approx(math.exp(d["ll"]), rel=1e-8)
    for a, b in (("R", R), ("x_post", f.get("x")), ("P_post", f.get("P")), ("z", z)):
        np.testing.assert_array_equal(f.get(a), b)
    assert f.get("singular_innovation_count") == 0 and f.get("jitter_count") == 0
    if is_sr(f):
        assert f.get("downdate_fallback_count") == 0
        assert all(lower_with_nonnegative_diagonal(f.get(k)) for k in ("chol_P", "S_innov", "chol_P_prior",
                                                                      "chol_P_post"))
    else:
        np.testing.assert_allclose(f.get("SI"), np.linalg.inv(d["S"]), rtol=1e-8, atol=1e-9)


@BOTH
def test_each_step_writes_only_its_own_fields_and_covariances_stay_symmetric(cls):
    rng = np.random.default_rng(3)
    f = seeded(cls, rng, 4, 2)
    H, W = rng.standard_normal((2, 4)), rng.standard_normal((4, 4))
    f.update(rng.standard_normal(2), linear(H))
    f.set("last_jitter", 0.25)
    before = state_of(f)
    f.predict_custom(lambda X, dt: X)  # the identity: x stays, P becomes P + Q
    after = state_of(f)
    np.testing.assert_allclose(after["x"], before["x"], rtol=1e-13, atol=1e-14)
    np.testing.assert_allclose(after["P"], before["P"] + before["Q"], rtol=1e-12)
    assert same(after["x_prior"], after["x"]) and same(after["P_prior"], after["P"]) and after["last_jitter"] == 0.0
    assert_same_state(before, after, skip={"x", "P", "x_prior", "P_prior", "last_jitter", "chol_P", "chol_P_prior"})
    before = state_of(f)
    f.update(rng.standard_normal(2), linear(H))
    assert_same_state(before, state_of(f), skip=set(state_of(f)) - {"x_prior", "P_prior", "Q", "R"})
    for _ in range(4):
        f.predict_custom(lambda X, dt: np.sin(X @ W.T) + X)
        f.update(rng.standard_normal(2), lambda X: np.tanh(X @ H.T) * 3.0)
        assert all((f.get(name) == f.get(name).T).all() for name in ("P", "S", "P_post", "P_prior"))


# ---------------------------------------------------------------------------
# What the callbacks receive


@BOTH
@pytest.mark.parametrize("n", [1, 3])
def test_points_handed_to_fx_follow_the_cubature_layout(cls, n):
    rng = np.random.default_rng(4)
    x, P = (np.array([1.0]), np.array([[4.0]])) if n == 1 else (rng.standard_normal(n), spd(rng, n))
    f = cls(n, 1, 0.1)
    f.set_state(x, P, np.eye(n), np.eye(1))
    seen, ref = [], f.copy()

    def fx(X, dt):
        seen.append((X, X.copy()))
        X[:] = np.nan  # the filter must not read its argument back
        return seen[-1][1]

    for _ in range(2):
        f.predict_custom(fx)
        ref.predict_custom(lambda X, dt: X)
    assert_same_state(state_of(ref), state_of(f))
    X, values = seen[0]
    assert X is not seen[1][0] and type(X) is np.ndarray and X.dtype == np.float64
    assert X.shape == (2 * n, n) and X.flags["C_CONTIGUOUS"] and X.flags["OWNDATA"]
    L = np.linalg.cholesky(P)  # n = 1: the points are 3 and -1
    np.testing.assert_allclose(values, np.vstack([x + math.sqrt(n) * L.T, x - math.sqrt(n) * L.T]), rtol=1e-13)


@BOTH
def test_dt_and_extra_arguments_reach_the_callbacks(cls):
    f, calls, a = cls(2, 1, 0.5), [], object()
    fx, hx = (lambda X, *rest: calls.append(rest) or X), (lambda X, *rest: calls.append(rest) or X[:, :1])
    f.predict_custom(fx)
    f.predict_custom(fx, 0.25, (a, "b"))
    f.predict_custom(fx, dt=None, fx_args=None)
    f.predict_custom(fx, dt=2)
    f.update(np.zeros(1), hx, None, (a,))
    f.update(np.zeros(1), hx)
    f.set_dt(0.125)
    f.predict_custom(fx)
    assert calls == [(0.5,), (0.25, a, "b"), (0.5,), (2.0,), (a,), (), (0.125,)]
    assert calls[1][1] is a and type(calls[0][0]) is float and type(calls[3][0]) is float


@BOTH
@pytest.mark.parametrize("layout", [np.asfortranarray, lambda X: strided(X), lambda X: X[::-1].copy()[::-1]],
                         ids=["fortran", "step-2", "reversed"])
def test_fx_may_return_any_layout(cls, layout):
    f = seeded(cls, np.random.default_rng(7), 3, 1)
    g = f.copy()
    f.predict_custom(lambda X, dt: layout(X * 2.0))
    g.predict_custom(lambda X, dt: X * 2.0)
    assert_same_state(state_of(g), state_of(f))


def test_measurement_arrays_are_released_before_hx_runs():
    # hx writes into the very arrays given as z and r (through another filter's record_step, which needs
    # a write borrow of them); the update works from its own copies.
    # A callback that catches the borrow error of its own filter lets the call succeed.
    f, g = CKF(2, 2, 0.1), CKF(2, 2, 0.1)
    g.load_snapshot({"nis": 42.0, "P_post": 3.0 * np.eye(2)})
    z, r = np.array([0.5, -0.5]), np.eye(2)
    out = (np.zeros((2, 2)), r[None], np.zeros((1, 2)), np.zeros((1, 2, 2)), np.zeros(1), z)

    def hx(X):
        with contextlib.suppress(RuntimeError):
            f.get("x")
        g.record_step(0, out)
        return X

    f.update(z, hx, r)
    assert z[0] == 42.0  # written while the update ran ...
    np.testing.assert_array_equal(r, 3.0 * np.eye(2))
    np.testing.assert_array_equal(f.get("z"), [0.5, -0.5])  # ... which used the values given
    np.testing.assert_array_equal(f.get("S"), 2.0 * np.eye(2))  # Pzz = P = I, plus the R given


# ---------------------------------------------------------------------------
# Bit-exact orders of operations of the covariance filter


def test_moments_are_scaled_once_by_a_reciprocal_then_noise_is_added():
    # Ten points (n = 5), so the weight 1/10 is inexact and the rounding shows how the mean and the
    # moments were scaled.  The integer points of the second half have zero column sums: their mean is
    # exactly 0 and every product and sum of the moment is exact, whatever its grouping.
    n, rows, w = 5, 10, 1.0 / 10.0
    rng = np.random.default_rng(21)
    noise = spd(rng, n, 0.37) + np.triu(rng.standard_normal((n, n)), 1) * 0.01  # not symmetric: symmetrised last
    f = CKF(n, n, 0.1)
    f.set_state(np.zeros(n), np.eye(n), noise, noise)
    Y = rng.standard_normal((rows, n)) * 10.0
    total = np.zeros(n)
    for row in Y:  # summed from row 0 upward, then times the reciprocal
        total = total + row
    f.predict_custom(lambda X, dt: Y)
    np.testing.assert_array_equal(f.get("x"), total * w)
    assert not np.array_equal(total * w, total / rows)  # the data tells the two apart
    Yi = rng.integers(-9, 10, (rows, n)).astype(float)
    Yi[-1] = -Yi[:-1].sum(axis=0)
    M = Yi.T @ Yi
    expected = M * w + noise
    expected = (expected + expected.T) * 0.5
    for alternative in (M / rows + noise, (M + rows * noise) * w):
        assert not np.array_equal(expected, (alternative + alternative.T) * 0.5)
    f.predict_custom(lambda X, dt: Yi)
    np.testing.assert_array_equal(f.get("x"), np.zeros(n))
    np.testing.assert_array_equal(f.get("P"), expected)
    f.set("P", np.eye(n))
    f.update(np.zeros(n), lambda X: Yi)  # S = Pzz + R by the same rule
    np.testing.assert_array_equal(f.get("z_pred"), np.zeros(n))
    np.testing.assert_array_equal(f.get("S"), expected)


def test_posterior_follows_the_plain_form_bit_for_bit():
    # x = x + K y and P = P - (K S) K^T, then symmetrised, replayed with two-term sums (two measurement
    # components): a Joseph-form posterior, a missing symmetrisation or another order shows in the last bits.
    rng = np.random.default_rng(13)
    f = seeded(CKF, rng, 4, 2)
    H = rng.standard_normal((2, 4))
    for _ in range(4):
        x0, P0 = f.get("x"), f.get("P")
        f.update(rng.standard_normal(2) * 10.0, linear(H))
        K, y, S = f.get("K"), f.get("y"), f.get("S")
        np.testing.assert_array_equal(f.get("x"), x0 + (K[:, 0] * y[0] + K[:, 1] * y[1]))
        KS = np.column_stack([K[:, 0] * S[0, j] + K[:, 1] * S[1, j] for j in range(2)])
        A = P0 - np.array([[KS[i, 0] * K[j, 0] + KS[i, 1] * K[j, 1] for j in range(4)] for i in range(4)])
        np.testing.assert_array_equal(f.get("P"), (A + A.T) * 0.5)
        f.predict_custom(lambda X, dt: X * 1.1)


def test_only_lower_triangle_of_P_shapes_the_points():
    P = spd(np.random.default_rng(5), 3)
    sets = []
    for upper in (P[0, 1], 1e6, -7.0):
        f = CKF(3, 1, 0.1)
        f.set("P", np.where(np.arange(9).reshape(3, 3) == 1, upper, P))
        f.predict_custom(lambda X, dt: sets.append(X.copy()) or X)
    assert sets[0].tobytes() == sets[1].tobytes() == sets[2].tobytes()


# ---------------------------------------------------------------------------
# Jitter schedule: scales 1e-12, 1e-11, ... (repeated products of ten), seven attempts, each diagonal
# entry scaled by itself (1.0 standing in for an entry that is not finite and positive).

LAST_SCALE = 9.999999999999997e-07  # the seventh scale, 1e-12 times ten six times over


@pytest.mark.parametrize("diag, scale", [
    ([1.0, 0.0], 1e-12), ([4.0, 0.0], 1e-12), ([-5e-9, 1.0], 9.999999999999999e-09),
    ([1.0, -5e-9], 9.999999999999999e-09), ([-9.999999999999995e-07, 3.0], LAST_SCALE),
])
@pytest.mark.parametrize("step", ["predict", "update"])
def test_jitter_schedule(diag, scale, step):
    f = CKF(2, 1, 0.1)
    f.set("P", np.diag(diag))
    seen = []
    if step == "predict":
        f.predict_custom(lambda X, dt: seen.append(X.copy()) or X)
    else:
        f.update(np.zeros(1), lambda X: seen.append(X.copy()) or X[:, :1])
    d = np.array([v if v > 0 else 1.0 for v in diag])
    jitter = scale * d.max()  # the largest amount added to any diagonal entry
    assert jitter_of(f) == (jitter, jitter, 1)
    np.testing.assert_allclose(seen[0][:2], math.sqrt(2.0) * np.diag(np.sqrt(np.add(diag, scale * d))), rtol=1e-12)


def test_jitter_accounting_overwrites_last_and_keeps_max():
    f = CKF(2, 1, 0.1)
    f.set_state(np.zeros(2), np.diag([-5e-9, 1.0]), np.eye(2), np.eye(1))
    f.predict_custom(lambda X, dt: X)
    f.predict_custom(lambda X, dt: X)  # P is now positive definite
    assert jitter_of(f) == (0.0, 9.999999999999999e-09, 1)
    f.set("P", np.diag([1.0, 0.0]))
    f.predict_custom(lambda X, dt: X)
    assert jitter_of(f) == (1e-12, 9.999999999999999e-09, 2)


CALLS = []


def _model(X, *rest):
    CALLS.append(1)
    return X


# Where each filter factors a covariance with the guarded factorisation.
FACTORING = {
    "ckf-predict": (CKF, lambda f, m: (f.set("P", m), f.predict_custom(_model))),
    "ckf-update": (CKF, lambda f, m: (f.set("P", m), f.update(np.zeros(2), _model))),
    "srckf-set": (SR, lambda f, m: f.set("P", m)),
    "srckf-update-r": (SR, lambda f, m: f.update(np.zeros(2), lambda X: _model(X) * 0.0, m)),
}


@pytest.mark.parametrize("cls, factor", FACTORING.values(), ids=FACTORING.keys())
def test_end_of_the_jitter_schedule(cls, factor):
    # The seventh and last scale rescues a matrix that needs exactly that much; just past it nothing does.
    f = cls(2, 2, 0.1)
    factor(f, np.diag([1.0, -9.999999999999995e-07]))
    assert jitter_of(f) == (LAST_SCALE, LAST_SCALE, 1)
    f.set("last_jitter", 0.0)
    for past in (np.diag([1.0, -1e-6]), np.array([[1.0, 2.0], [2.0, 1.0]])):  # the second: no jitter helps
        before = state_of(f)
        CALLS.clear()
        assert str(error_of(lambda: factor(f, past), RuntimeError)) == NO_FACTOR and CALLS == []
        after = state_of(f)
        if cls is CKF:  # the assignment of P before the step stays
            np.testing.assert_array_equal(after["P"], past)
        assert_same_state(before, after, skip={"P"} if cls is CKF else ())


@pytest.mark.parametrize("cls,counter,step", [
    (CKF, "jitter_count", lambda f: (f.set("P", np.zeros((1, 1))), f.predict_custom(lambda X, dt: X))),
    (CKF, "singular_innovation_count", lambda f: (f.set("R", np.zeros((1, 1))), f.update(np.zeros(1), zero_hx(1)))),
    (SR, "jitter_count", lambda f: f.set("P", np.zeros((1, 1)))),
    (SR, "singular_innovation_count", lambda f: (f.set("chol_R", np.zeros((1, 1))), f.update(np.ones(1), zero_hx(1)))),
], ids=["ckf-jitter", "ckf-singular", "srckf-jitter", "srckf-singular"])
def test_counters_saturate(cls, counter, step):
    f = cls(1, 1, 0.1)
    f.set(counter, 2**64 - 1)
    with pytest.raises(RuntimeError) if cls is SR and counter == "singular_innovation_count" else \
            contextlib.nullcontext():
        step(f)
    assert f.get(counter) == 2**64 - 1


# ---------------------------------------------------------------------------
# Innovation inverse stages of the covariance filter, seen through the diagnostics


def _indefinite(m):
    rng = np.random.default_rng(m)
    A = rng.standard_normal((m, m))
    R = A + A.T
    R[0, 0] = -abs(R[0, 0]) - 1.0  # certainly not positive definite
    return R, rng.standard_normal(m)


@pytest.mark.parametrize("R, z", [
    (np.zeros((2, 2)), np.array([0.3, -0.2])),  # zero S: pseudo-inverse 0, so K = 0 and x, P stay
    (np.ones((2, 2)), np.array([1.0, 3.0])),  # singular S: Moore-Penrose inverse, nis (1 + 3)^2 / 4
    (np.array([[0.0, 1.0], [1.0, 0.0]]), np.array([1.0, -2.0])),  # negative y^T S^-1 y: clamped in nis
    _indefinite(2), _indefinite(3), _indefinite(6),  # indefinite, invertible: the general inverse
], ids=["zero", "singular", "negative-form", "indefinite-2", "indefinite-3", "indefinite-6"])
def test_innovation_covariance_that_is_not_positive_definite(R, z):
    # hx gives zeros, so S = R; every such S counts as singular and makes the likelihood degenerate.
    m = len(z)
    f = seeded(CKF, np.random.default_rng(8), 3, m)
    f.set("R", R)
    x, P = f.get("x"), f.get("P")
    f.update(z, zero_hx(m))
    SI = np.linalg.pinv(R)
    np.testing.assert_allclose(f.get("SI"), SI, rtol=1e-9, atol=1e-12)
    assert f.get("singular_innovation_count") == 1
    d2 = max(float(z @ SI @ z), 0.0)
    assert f.get("nis") == pytest.approx(d2, rel=1e-8, abs=1e-12)
    assert f.get("mahalanobis") == pytest.approx(math.sqrt(d2), rel=1e-8, abs=1e-12)
    assert f.get("log_likelihood") == -math.inf and f.get("likelihood") == 0.0
    if not R.any():
        np.testing.assert_array_equal(f.get("K"), np.zeros((3, m)))
        np.testing.assert_array_equal(f.get("x"), x)
        np.testing.assert_array_equal(f.get("P"), P)


def test_failed_inverse_keeps_only_the_jitter_bookkeeping():
    # Every stage fails: the Cholesky factor and the LU factorisation on the zero first column, the
    # pseudo-inverse on the NaN that the overflowing cross moment of columns 1 and 2 (inf - inf) leaves in S.
    f = CKF(2, 5, 0.1)
    f.set("R", np.diag([0.0, 1.0, 1.0, 1.0, 1.0]))
    f.set("P", np.diag([1.0, 0.0]))  # needs jitter, which stays recorded

    def hx(X):
        Z = np.zeros((4, 5))
        Z[:, 1], Z[:, 2] = [1e308, -1e308, 1e308, -1e308], [1e308, 1e308, -1e308, -1e308]
        return Z

    before = state_of(f)
    assert str(error_of(lambda: f.update(np.zeros(5), hx), RuntimeError)) == "failed to invert innovation covariance"
    assert_same_state(before, state_of(f), skip=("last_jitter", "max_jitter", "jitter_count"))
    assert jitter_of(f) == (1e-12, 1e-12, 1)


@BOTH
def test_clear_update_diagnostics(cls):
    rng = np.random.default_rng(11)
    f = seeded(cls, rng, 3, 2)
    f.update(rng.standard_normal(2), linear(rng.standard_normal((2, 3))))
    f.predict_custom(lambda X, dt: X * 1.5)
    before = state_of(f)
    assert f.clear_update_diagnostics() is None
    after = state_of(f)
    assert np.isnan(after["z"]).all() and after["z"].shape == (2,) and not any(after[k].any() for k in ("y", "z_pred", "K"))
    assert same(after["S"], np.eye(2)) and same(after["S_innov" if cls is SR else "SI"], np.eye(2))
    assert all(math.isnan(after[k]) for k in ("log_likelihood", "likelihood", "mahalanobis", "nis"))
    assert same(after["x_post"], before["x"]) and same(after["P_post"], before["P"])
    assert_same_state(before, after, skip={"z", "y", "z_pred", "K", "S", "SI", "S_innov", "log_likelihood",
                                           "likelihood", "mahalanobis", "nis", "x_post", "P_post", "chol_P_post"})


# ---------------------------------------------------------------------------
# Failure atomicity of every failing step

N, M = 4, 2
BOOM = ZeroDivisionError("inside the model")


def _raise(exc):
    raise exc


def _fresh(cls):
    """A stepped filter whose P needs jitter to factor (the accounting must not move on failure)."""
    rng = np.random.default_rng(12)
    f = seeded(cls, rng, N, M)
    f.predict_custom(lambda X, dt: X)
    f.update(rng.standard_normal(M), linear(rng.standard_normal((M, N))))
    f.set("P", np.diag([1.0, 0.0, 2.0, 3.0]))
    return f


def _nan_rows(X, rows, cols, value=math.nan):
    out = np.ones((X.shape[0], cols))
    out[rows, cols - 1] = value
    return out


NONFINITE = "returned non-finite values (NaN or inf) in output row {0} (sigma point {0}); x and P were left unchanged"
PREDICT_FAILURES = {
    "list": (dict(fx=lambda X, dt: X.tolist()), TypeError, None),
    "1-d": (dict(fx=lambda X, dt: X[:, 0].copy()), TypeError, "dimensionality mismatch:\n from=1, to=2"),
    "3-d": (dict(fx=lambda X, dt: X[None]), TypeError, "dimensionality mismatch:\n from=3, to=2"),
    "float32": (dict(fx=lambda X, dt: X.astype(np.float32)), TypeError, None),
    "wide": (dict(fx=lambda X, dt: np.hstack([X, X[:, :1]])), ValueError,
             "model output must have shape (8, 4), got (8, 5)"),
    "tall": (dict(fx=lambda X, dt: np.vstack([X, X[:1]])), ValueError, "model output must have shape (8, 4), got (9, 4)"),
    "nan": (dict(fx=lambda X, dt: _nan_rows(X, [5, 2], N)), ValueError, "fx " + NONFINITE.format(2)),
    "inf": (dict(fx=lambda X, dt: _nan_rows(X, [7], N, -math.inf)), ValueError, "fx " + NONFINITE.format(7)),
    "raises": (dict(fx=lambda X, dt: _raise(BOOM)), ZeroDivisionError, BOOM),
    "not callable": (dict(fx=42), TypeError, "'int' object is not callable"),
    "dt nan": (dict(dt=math.nan), ValueError, "dt must be finite"),
    "dt -inf": (dict(dt=-math.inf), ValueError, "dt must be finite"),
    "dt str": (dict(dt="0.1"), TypeError, "argument 'dt': "),
    "fx_args list": (dict(fx_args=[1, 2]), TypeError, "argument 'fx_args': "),
}




def _hx(X):
    return X[:, :M] * 2.0


# arguments, exception, message, whether the square-root filter's last_jitter has been reset to 0 (it is
# once the measurement is accepted).
UPDATE_FAILURES = {
    "z length": (dict(z=np.zeros(M + 1)), ValueError, "z must have length 2, got 3", False),
    "z nan": (dict(z=np.array([1.0, math.nan])), ValueError,
              "z contains non-finite values: [1.0, NaN]" + MEASUREMENT_TAIL, False),
    "z inf": (dict(z=np.array([-math.inf, 1e-5])), ValueError,
              "z contains non-finite values: [-inf, 1e-5]" + MEASUREMENT_TAIL, False),
    "z strided": (dict(z=np.zeros(2 * M)[::2]), TypeError, "The given array is not contiguous", False),
    "z list": (dict(z=[1.0, 2.0]), TypeError, "argument 'z': ", False),
    "z None": (dict(z=None), TypeError, "argument 'z': ", False),
    "r shape": (dict(r=np.eye(3)), ValueError, "R must have shape (2, 2), got (3, 3)", True),
    "r nan": (dict(r=np.array([[1.0, 0.0], [0.0, math.nan]])), ValueError, "R must contain only finite values", False),
    "r inf": (dict(r=np.array([[math.inf, 0.0], [0.0, 1.0]])), ValueError, "R must contain only finite values", False),
    "r 1-d": (dict(r=np.ones(2)), TypeError, "argument 'r': dimensionality mismatch:\n from=1, to=2", False),
    "hx_args list": (dict(hx_args=[1]), TypeError, "argument 'hx_args': ", False),
    "hx nan": (dict(hx=lambda X: _nan_rows(X, [6, 3], M)), ValueError, "hx " + NONFINITE.format(3), True),
    "hx shape": (dict(hx=lambda X: X), ValueError, "model output must have shape (8, 2), got (8, 4)", True),
    "hx float32": (dict(hx=lambda X: _hx(X).astype(np.float32)), TypeError, None, True),
    "hx raises": (dict(hx=lambda X: _raise(BOOM)), ZeroDivisionError, BOOM, True),
}


@BOTH
@pytest.mark.parametrize("kw,exc,message,sr_resets", [(*row, False) for row in PREDICT_FAILURES.values()]
                         + list(UPDATE_FAILURES.values()), ids=[*PREDICT_FAILURES, *UPDATE_FAILURES])
def test_failures_change_nothing(cls, kw, exc, message, sr_resets):
    f = _fresh(cls)
    before = state_of(f)
    if "z" in kw or "hx" in kw or "r" in kw or "hx_args" in kw:
        e = error_of(lambda: f.update(**{"z": np.array([0.5, -0.5]), "hx": _hx, **kw}), exc)
    else:
        e = error_of(lambda: f.predict_custom(**{"fx": lambda X, dt: _raise(AssertionError("not run")), **kw}), exc)
    if isinstance(message, BaseException):
        assert e is message  # the callback's own exception, unchanged
    elif message is not None:
        assert_message(e, message)
    after = state_of(f)
    if cls is SR:
        assert before["last_jitter"] > 0.0
        assert after["last_jitter"] == (0.0 if sr_resets else before["last_jitter"])
    assert_same_state(before, after, skip={"last_jitter"} if cls is SR else ())


def test_argument_conversion_follows_parameter_order():
    f = CKF(2, 1, 0.1)
    with pytest.raises(TypeError, match="^argument 'z': "):
        f.update([0.0], _hx, [[1.0]], [1])
    with pytest.raises(TypeError, match="^argument 'r': "):
        f.update(np.zeros(1), _hx, [[1.0]], [1])
    with pytest.raises(TypeError, match="^argument 'hx_args': "):  # the length of z is checked after conversion
        f.update(np.zeros(5), _hx, None, [1])


# ---------------------------------------------------------------------------
# Re-entry and references


@BOTH
@pytest.mark.parametrize("inner,message", [
    (lambda f: f.get("x"), "Already mutably borrowed"),
    (lambda f: f.snapshot(), "Already mutably borrowed"),
    (lambda f: f.copy(), "Already mutably borrowed"),
    (lambda f: f.record_step(0, ()), "Already mutably borrowed"),
    (lambda f: f.set_dt(1.0), "Already borrowed"),
    (lambda f: f.clear_update_diagnostics(), "Already borrowed"),
    (lambda f: f.predict_custom(lambda X, dt: X), "Already borrowed"),
    (lambda f: f.load_snapshot({}), "Already borrowed"),
])
@pytest.mark.parametrize("step", ["predict", "update"])
def test_reentry_from_callback_is_refused(cls, inner, message, step):
    f = _fresh(cls)
    before = state_of(f)
    caught = []

    def callback(X, *rest):
        caught.append(error_of(lambda: inner(f), RuntimeError))
        raise caught[-1]

    with pytest.raises(RuntimeError) as outer:
        f.predict_custom(callback) if step == "predict" else f.update(np.zeros(M), callback)
    assert [str(e) for e in caught] == [message] and outer.value is caught[0]
    if cls is SR and step == "update":
        before["last_jitter"] = 0.0
    assert_same_state(before, state_of(f))
    f.predict_custom(lambda X, dt: X)  # the borrow was released: the filter works again


@BOTH
def test_argument_references_do_not_leak(cls):
    f, token = _fresh(cls), object()
    fx, hx, bad_hx = (lambda X, dt, t: X), (lambda X, t: X[:, :M]), (lambda X, t: np.full((X.shape[0], M), math.nan))
    z, r, bad_r, fx_args = np.array([0.1, 0.2]), np.eye(M), np.full((M, M), math.nan), (token,)
    objs = [fx, hx, bad_hx, z, r, bad_r, fx_args, token]

    def run():
        f.predict_custom(fx, 0.1, fx_args)
        f.update(z, hx, r, fx_args)
        for call in (lambda: f.update(z, bad_hx, r, fx_args), lambda: f.update(z, hx, bad_r, fx_args),
                     lambda: f.predict_custom(fx, math.nan, fx_args), lambda: f.update(z, hx, r, [token])):
            with pytest.raises((ValueError, TypeError)):
                call()

    run()
    counts = [sys.getrefcount(o) for o in objs]
    for _ in range(50):
        run()
    assert [sys.getrefcount(o) for o in objs] == counts
