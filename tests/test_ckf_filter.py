"""CubatureKalmanFilter: nonlinear prediction, measurement update and their diagnostics."""

import math
import sys

import numpy as np
import pytest

from vexel_ckf._native import CubatureKalmanFilter
from support import (
    CKF_FIELDS as FIELDS,
    LN_2PI,
    MEASUREMENT_TAIL as NONFINITE_Z_TAIL,
    assert_same_state,
    same as _same,
    spd,
    state_of,
)


def linear_filter(rng, n, m, dt=0.1):
    f = CubatureKalmanFilter(n, m, dt)
    f.set_state(rng.standard_normal(n), spd(rng, n), spd(rng, n, 0.01), spd(rng, m, 0.5))
    return f


# ---------------------------------------------------------------------------
# Independent reference: the textbook linear Kalman filter.


def kf_predict(x, P, F, Q):
    return F @ x, F @ P @ F.T + Q


def kf_update(x, P, z, H, R):
    S = H @ P @ H.T + R
    K = P @ H.T @ np.linalg.inv(S)
    y = z - H @ x
    x = x + K @ y
    P = P - K @ S @ K.T
    d2 = float(y @ np.linalg.solve(S, y))
    ll = -0.5 * (d2 + np.linalg.slogdet(S)[1] + len(z) * LN_2PI)
    return x, P, dict(S=S, K=K, y=y, z_pred=H @ x, nis=d2, ll=ll)


@pytest.mark.parametrize("n,m", [(1, 1), (2, 1), (4, 2), (6, 3), (7, 5)])
def test_linear_models_match_textbook_kalman_filter(n, m):
    rng = np.random.default_rng(10 * n + m)
    F = np.eye(n) + 0.1 * rng.standard_normal((n, n))
    H = rng.standard_normal((m, n))
    f = linear_filter(rng, n, m)
    x, P, Q, R = f.get("x"), f.get("P"), f.get("Q"), f.get("R")
    for step in range(25):
        f.predict_custom(lambda X, dt: X @ F.T)
        x, P = kf_predict(x, P, F, Q)
        np.testing.assert_allclose(f.get("x"), x, rtol=1e-9, atol=1e-9)
        np.testing.assert_allclose(f.get("P"), P, rtol=1e-9, atol=1e-9)
        np.testing.assert_allclose(f.get("x_prior"), x, rtol=1e-9, atol=1e-9)
        np.testing.assert_allclose(f.get("P_prior"), P, rtol=1e-9, atol=1e-9)

        z = H @ x + rng.standard_normal(m)
        f.update(z, lambda X: X @ H.T)
        z_pred = H @ x
        x, P, d = kf_update(x, P, z, H, R)
        np.testing.assert_allclose(f.get("z_pred"), z_pred, rtol=1e-9, atol=1e-9)
        np.testing.assert_allclose(f.get("y"), z - z_pred, rtol=1e-9, atol=1e-9)
        np.testing.assert_allclose(f.get("S"), d["S"], rtol=1e-9, atol=1e-9)
        np.testing.assert_allclose(f.get("SI"), np.linalg.inv(d["S"]), rtol=1e-8, atol=1e-9)
        np.testing.assert_allclose(f.get("K"), d["K"], rtol=1e-8, atol=1e-9)
        np.testing.assert_allclose(f.get("x"), x, rtol=1e-8, atol=1e-9)
        np.testing.assert_allclose(f.get("P"), P, rtol=1e-8, atol=1e-9)
        np.testing.assert_array_equal(f.get("x_post"), f.get("x"))
        np.testing.assert_array_equal(f.get("P_post"), f.get("P"))
        np.testing.assert_array_equal(f.get("z"), z)
        assert f.get("nis") == pytest.approx(d["nis"], rel=1e-8, abs=1e-12)
        assert f.get("mahalanobis") == pytest.approx(math.sqrt(d["nis"]), rel=1e-8, abs=1e-12)
        assert f.get("log_likelihood") == pytest.approx(d["ll"], rel=1e-9)
        assert f.get("likelihood") == pytest.approx(math.exp(d["ll"]), rel=1e-8)
    assert f.get("singular_innovation_count") == 0
    assert f.get("jitter_count") == 0 and f.get("last_jitter") == 0.0


def test_per_call_r_is_used_and_not_stored():
    rng = np.random.default_rng(1)
    n, m = 3, 2
    H = rng.standard_normal((m, n))
    f = linear_filter(rng, n, m)
    R_stored = f.get("R")
    r = spd(rng, m, 2.0)
    x, P = f.get("x"), f.get("P")
    z = rng.standard_normal(m)
    f.update(z, lambda X: X @ H.T, r)
    x_ref, P_ref, d = kf_update(x, P, z, H, r)
    np.testing.assert_allclose(f.get("x"), x_ref, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(f.get("P"), P_ref, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(f.get("S"), d["S"], rtol=1e-12)
    np.testing.assert_array_equal(f.get("R"), R_stored)


def test_prediction_with_identity_fx_reproduces_state():
    rng = np.random.default_rng(2)
    f = CubatureKalmanFilter(5, 1, 0.1)
    P = spd(rng, 5)
    x = rng.standard_normal(5)
    f.set_state(x, P, np.zeros((5, 5)), np.eye(1))
    f.predict_custom(lambda X, dt: X)
    np.testing.assert_allclose(f.get("x"), x, rtol=1e-13, atol=1e-14)
    np.testing.assert_allclose(f.get("P"), P, rtol=1e-12)
    assert f.get("last_jitter") == 0.0


def test_prediction_leaves_update_fields_and_update_leaves_prior():
    rng = np.random.default_rng(3)
    f = linear_filter(rng, 3, 2)
    H = rng.standard_normal((2, 3))
    f.predict_custom(lambda X, dt: 2.0 * X)
    f.update(rng.standard_normal(2), lambda X: X @ H.T)
    before = state_of(f)
    f.predict_custom(lambda X, dt: X + 1.0)
    after = state_of(f)
    changed = {k for k in FIELDS if not _same(before[k], after[k])}
    assert changed <= {"x", "P", "x_prior", "P_prior", "last_jitter", "max_jitter", "jitter_count"}
    assert {"x", "P", "x_prior", "P_prior"} <= changed

    before = state_of(f)
    f.update(rng.standard_normal(2), lambda X: X @ H.T)
    after = state_of(f)
    for k in ("x_prior", "P_prior", "Q", "R"):
        assert _same(before[k], after[k]), k


# ---------------------------------------------------------------------------
# What the callbacks receive.


def test_points_handed_to_fx_follow_the_cubature_layout():
    rng = np.random.default_rng(4)
    n = 3
    f = CubatureKalmanFilter(n, 1, 0.1)
    x = rng.standard_normal(n)
    P = spd(rng, n)
    f.set_state(x, P, np.eye(n), np.eye(1))
    seen = []

    def fx(X, dt):
        seen.append(X)
        return X

    f.predict_custom(fx)
    (X,) = seen
    assert type(X) is np.ndarray and X.dtype == np.float64
    assert X.shape == (2 * n, n) and X.flags["C_CONTIGUOUS"] and X.flags["OWNDATA"]
    L = np.linalg.cholesky(P)
    for j in range(n):
        np.testing.assert_allclose(X[j], x + math.sqrt(n) * L[:, j], rtol=1e-13)
        np.testing.assert_allclose(X[n + j], x - math.sqrt(n) * L[:, j], rtol=1e-13)


def test_one_dimensional_points():
    f = CubatureKalmanFilter(1, 1, 0.1)
    f.set_state(np.array([1.0]), np.array([[4.0]]), np.zeros((1, 1)), np.eye(1))
    seen = []
    f.predict_custom(lambda X, dt: seen.append(X.copy()) or X)
    np.testing.assert_array_equal(seen[0], [[3.0], [-1.0]])
    assert f.get("x")[0] == 1.0 and f.get("P")[0, 0] == 4.0


def test_moments_are_scaled_once_by_a_reciprocal_then_noise_is_added():
    # Ten points (n = 5), so the weight 1/10 is inexact and the rounding
    # shows how the mean and the moments were scaled.  The integer points of
    # the second half have zero column sums: their mean is exactly 0 and
    # every product and sum of the moment is exact, whatever its grouping.
    n, rows, w = 5, 10, 1.0 / 10.0
    rng = np.random.default_rng(21)
    noise = spd(rng, n, 0.37)
    f = CubatureKalmanFilter(n, n, 0.1)
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


def test_only_lower_triangle_of_P_shapes_the_points():
    rng = np.random.default_rng(5)
    P = spd(rng, 3)
    sets = []
    for upper in (P[0, 1], 1e6, -7.0):
        f = CubatureKalmanFilter(3, 1, 0.1)
        Pm = P.copy()
        Pm[0, 1] = upper
        f.set("P", Pm)
        f.predict_custom(lambda X, dt: sets.append(X.copy()) or X)
    assert sets[0].tobytes() == sets[1].tobytes() == sets[2].tobytes()


def test_callback_array_is_fresh_and_modifying_it_is_harmless():
    rng = np.random.default_rng(6)
    f = linear_filter(rng, 2, 1)
    seen = []

    def fx(X, dt):
        seen.append(X)
        out = X.copy()
        X[:] = np.nan  # the filter must not read its argument back
        return out

    ref = f.copy()
    f.predict_custom(fx)
    f.predict_custom(fx)
    ref.predict_custom(lambda X, dt: X)
    ref.predict_custom(lambda X, dt: X)
    assert seen[0] is not seen[1]
    np.testing.assert_array_equal(f.get("x"), ref.get("x"))
    np.testing.assert_array_equal(f.get("P"), ref.get("P"))


def test_dt_and_extra_arguments_reach_the_callbacks():
    f = CubatureKalmanFilter(2, 1, 0.5)
    calls = []

    def fx(X, *rest):
        calls.append(rest)
        return X

    def hx(X, *rest):
        calls.append(rest)
        return X[:, :1]

    a, b = object(), "b"
    f.predict_custom(fx)
    f.predict_custom(fx, 0.25, (a, b))
    f.predict_custom(fx, dt=None, fx_args=None)
    f.predict_custom(fx, dt=2)
    f.update(np.zeros(1), hx, None, (a,))
    f.update(np.zeros(1), hx)
    assert calls[0] == (0.5,) and type(calls[0][0]) is float
    assert calls[1] == (0.25, a, b) and calls[1][1] is a
    assert calls[2] == (0.5,)  # an explicit dt does not change the stored default
    assert calls[3] == (2.0,) and type(calls[3][0]) is float
    assert calls[4] == (a,) and calls[4][0] is a
    assert calls[5] == ()


def _strided(X):
    big = np.zeros((X.shape[0], 2 * X.shape[1]))
    big[:, ::2] = X
    return big[:, ::2]


@pytest.mark.parametrize(
    "layout",
    [np.asfortranarray, _strided, lambda X: X[::-1].copy()[::-1], lambda X: X.T.copy().T],
    ids=["fortran", "step-2", "reversed", "transposed"],
)
def test_fx_may_return_any_layout(layout):
    rng = np.random.default_rng(7)
    f = linear_filter(rng, 3, 1)
    g = f.copy()
    f.predict_custom(lambda X, dt: layout(X * 2.0))
    g.predict_custom(lambda X, dt: X * 2.0)
    assert f.get("x").tobytes() == g.get("x").tobytes()
    assert f.get("P").tobytes() == g.get("P").tobytes()


# ---------------------------------------------------------------------------
# Jitter schedule and accounting.


@pytest.mark.parametrize(
    "P,jitter",
    [
        ([[1.0, 0.0], [0.0, 0.0]], 1e-12),
        ([[-5e-9, 0.0], [0.0, 1.0]], 9.999999999999999e-09),
        ([[1.0, 0.0], [0.0, -5e-9]], 9.999999999999999e-09),
    ],
)
@pytest.mark.parametrize("step", ["predict", "update"])
def test_jitter_schedule(P, jitter, step):
    f = CubatureKalmanFilter(2, 1, 0.1)
    f.set("P", np.array(P))
    if step == "predict":
        f.predict_custom(lambda X, dt: X)
    else:
        f.update(np.zeros(1), lambda X: X[:, :1])
    assert f.get("last_jitter") == jitter
    assert f.get("max_jitter") == jitter
    assert f.get("jitter_count") == 1


def test_jitter_accounting_overwrites_last_and_keeps_max():
    f = CubatureKalmanFilter(2, 1, 0.1)
    f.set("P", np.diag([-5e-9, 1.0]))
    f.set("Q", np.eye(2))
    f.predict_custom(lambda X, dt: X)
    assert (f.get("last_jitter"), f.get("jitter_count")) == (9.999999999999999e-09, 1)
    f.predict_custom(lambda X, dt: X)  # P is now positive definite
    assert f.get("last_jitter") == 0.0
    assert f.get("max_jitter") == 9.999999999999999e-09
    assert f.get("jitter_count") == 1
    f.set("P", np.diag([1.0, 0.0]))
    f.predict_custom(lambda X, dt: X)
    assert f.get("last_jitter") == 1e-12
    assert f.get("max_jitter") == 9.999999999999999e-09
    assert f.get("jitter_count") == 2


def test_jitter_count_saturates():
    f = CubatureKalmanFilter(2, 1, 0.1)
    f.set("jitter_count", 2**64 - 1)
    f.set("P", np.diag([1.0, 0.0]))
    f.predict_custom(lambda X, dt: X)
    assert f.get("jitter_count") == 2**64 - 1


def test_zero_variance_still_predicts_with_jittered_points():
    f = CubatureKalmanFilter(2, 1, 0.1)
    f.set("P", np.diag([4.0, 0.0]))
    seen = []
    f.predict_custom(lambda X, dt: seen.append(X.copy()) or X)
    spread = seen[0][1, 1] - 0.0
    assert spread == pytest.approx(math.sqrt(2.0) * math.sqrt(1e-12), rel=1e-12)
    assert f.get("last_jitter") == pytest.approx(4e-12, rel=1e-15)


@pytest.mark.parametrize("step", ["predict", "update"])
def test_indefinite_covariance_fails_and_changes_nothing(step):
    f = CubatureKalmanFilter(2, 1, 0.1)
    f.set("P", np.array([[1.0, 2.0], [2.0, 1.0]]))
    before = state_of(f)
    called = []
    with pytest.raises(RuntimeError) as e:
        if step == "predict":
            f.predict_custom(lambda X, dt: called.append(1) or X)
        else:
            f.update(np.zeros(1), lambda X: called.append(1) or X[:, :1])
    assert str(e.value) == "unable to compute stable Cholesky factor"
    assert not called
    assert_same_state(before, state_of(f))


@pytest.mark.parametrize("step", ["predict", "update"])
def test_failed_callback_does_not_record_jitter(step):
    f = CubatureKalmanFilter(2, 1, 0.1)
    f.set("P", np.diag([1.0, 0.0]))
    f.set("max_jitter", 0.5)
    before = state_of(f)

    def boom(X, *a):
        raise KeyError("from the model")

    with pytest.raises(KeyError):
        if step == "predict":
            f.predict_custom(boom)
        else:
            f.update(np.zeros(1), boom)
    assert_same_state(before, state_of(f))


# ---------------------------------------------------------------------------
# Innovation inverse stages, seen through the diagnostics.


def zero_hx(m):
    return lambda X: np.zeros((X.shape[0], m))


def test_zero_innovation_covariance_uses_pseudo_inverse():
    rng = np.random.default_rng(8)
    f = linear_filter(rng, 3, 2)
    f.set("R", np.zeros((2, 2)))
    x, P = f.get("x"), f.get("P")
    f.update(np.array([0.3, -0.2]), zero_hx(2))
    np.testing.assert_array_equal(f.get("SI"), np.zeros((2, 2)))
    np.testing.assert_array_equal(f.get("S"), np.zeros((2, 2)))
    np.testing.assert_array_equal(f.get("K"), np.zeros((3, 2)))
    np.testing.assert_array_equal(f.get("x"), x)
    np.testing.assert_array_equal(f.get("P"), P)
    assert f.get("singular_innovation_count") == 1
    assert f.get("nis") == 0.0 and f.get("mahalanobis") == 0.0
    assert f.get("log_likelihood") == -math.inf
    assert f.get("likelihood") == 0.0


def test_singular_innovation_covariance_gets_moore_penrose_inverse():
    f = CubatureKalmanFilter(2, 2, 0.1)
    f.set("R", np.ones((2, 2)))
    f.update(np.array([1.0, 3.0]), zero_hx(2))
    np.testing.assert_allclose(f.get("SI"), np.linalg.pinv(np.ones((2, 2))), rtol=1e-12)
    assert f.get("singular_innovation_count") == 1
    # y^T S^+ y = (1 + 3)^2 / 4
    assert f.get("nis") == pytest.approx(4.0, rel=1e-12)
    assert f.get("log_likelihood") == -math.inf and f.get("likelihood") == 0.0


@pytest.mark.parametrize("m", [2, 3, 4, 5, 6])
def test_indefinite_invertible_innovation_uses_general_inverse(m):
    rng = np.random.default_rng(m)
    A = rng.standard_normal((m, m))
    R = A + A.T
    R[0, 0] = -abs(R[0, 0]) - 1.0  # certainly not positive definite
    f = CubatureKalmanFilter(2, m, 0.1)
    f.set("R", R)
    z = rng.standard_normal(m)
    f.update(z, zero_hx(m))
    S = (R + R.T) / 2
    SI = np.linalg.inv(S)
    np.testing.assert_allclose(f.get("SI"), SI, rtol=1e-9, atol=1e-12)
    assert f.get("singular_innovation_count") == 1
    d2 = float(z @ SI @ z)
    assert f.get("nis") == (pytest.approx(max(d2, 0.0), rel=1e-8, abs=1e-12))
    assert f.get("log_likelihood") == -math.inf and f.get("likelihood") == 0.0


def test_failed_inverse_keeps_only_the_jitter_bookkeeping():
    # Every stage fails: the Cholesky factor and the LU factorisation on the
    # zero first column, the pseudo-inverse on the NaN that the overflowing
    # cross moment of columns 1 and 2 (inf - inf) leaves in S.
    f = CubatureKalmanFilter(2, 5, 0.1)
    f.set("R", np.diag([0.0, 1.0, 1.0, 1.0, 1.0]))
    f.set("P", np.diag([1.0, 0.0]))  # needs jitter, which stays recorded
    big = 1e308

    def hx(X):
        Z = np.zeros((4, 5))
        Z[:, 1] = [big, -big, big, -big]
        Z[:, 2] = [big, big, -big, -big]
        return Z

    before = state_of(f)
    with pytest.raises(RuntimeError) as e:
        f.update(np.zeros(5), hx)
    assert str(e.value) == "failed to invert innovation covariance"
    after = state_of(f)
    assert_same_state(before, after, skip=("last_jitter", "max_jitter", "jitter_count"))
    assert (after["last_jitter"], after["max_jitter"], after["jitter_count"]) == (1e-12, 1e-12, 1)


def test_negative_quadratic_form_is_clamped_in_nis_not_in_log_likelihood():
    f = CubatureKalmanFilter(1, 2, 0.1)
    f.set("R", np.array([[0.0, 1.0], [1.0, 0.0]]))
    f.update(np.array([1.0, -2.0]), zero_hx(2))
    np.testing.assert_array_equal(f.get("SI"), [[0.0, 1.0], [1.0, 0.0]])
    assert f.get("nis") == 0.0 and f.get("mahalanobis") == 0.0
    assert f.get("log_likelihood") == -math.inf


def test_singular_innovation_count_saturates():
    f = CubatureKalmanFilter(1, 1, 0.1)
    f.set("R", np.zeros((1, 1)))
    f.set("singular_innovation_count", 2**64 - 1)
    f.update(np.zeros(1), zero_hx(1))
    assert f.get("singular_innovation_count") == 2**64 - 1


def test_scalar_likelihood_example():
    f = CubatureKalmanFilter(1, 1, 0.1)
    f.set("R", np.array([[4.0]]))
    f.update(np.array([2.0]), zero_hx(1))
    assert f.get("S")[0, 0] == 4.0 and f.get("y")[0] == 2.0
    assert f.get("nis") == 1.0
    assert f.get("mahalanobis") == 1.0
    expected = -0.5 * (1.0 + math.log(4.0) + LN_2PI)
    assert f.get("log_likelihood") == pytest.approx(expected, rel=1e-15)
    assert f.get("likelihood") == pytest.approx(math.exp(expected), rel=1e-14)
    assert f.get("singular_innovation_count") == 0


def test_covariances_are_exactly_symmetric():
    rng = np.random.default_rng(9)
    n, m = 6, 4
    f = linear_filter(rng, n, m)
    W = rng.standard_normal((n, n))
    V = rng.standard_normal((m, n))
    for _ in range(5):
        f.predict_custom(lambda X, dt: np.sin(X @ W.T) + X)
        P = f.get("P")
        assert (P == P.T).all()
        f.update(rng.standard_normal(m), lambda X: np.tanh(X @ V.T) * 3.0)
        for name in ("P", "S", "P_post", "P_prior"):
            A = f.get(name)
            assert (A == A.T).all(), name


def test_clear_update_diagnostics():
    rng = np.random.default_rng(11)
    f = linear_filter(rng, 3, 2)
    H = rng.standard_normal((2, 3))
    f.update(rng.standard_normal(2), lambda X: X @ H.T)
    f.predict_custom(lambda X, dt: X * 1.5)
    before = state_of(f)
    assert f.clear_update_diagnostics() is None
    after = state_of(f)
    assert np.isnan(after["z"]).all() and after["z"].shape == (2,)
    np.testing.assert_array_equal(after["y"], np.zeros(2))
    np.testing.assert_array_equal(after["z_pred"], np.zeros(2))
    np.testing.assert_array_equal(after["S"], np.eye(2))
    np.testing.assert_array_equal(after["SI"], np.eye(2))
    np.testing.assert_array_equal(after["K"], np.zeros((3, 2)))
    for name in ("log_likelihood", "likelihood", "mahalanobis", "nis"):
        assert math.isnan(after[name])
    np.testing.assert_array_equal(after["x_post"], before["x"])
    np.testing.assert_array_equal(after["P_post"], before["P"])
    for name in ("x", "P", "Q", "R", "x_prior", "P_prior", "last_jitter", "max_jitter", "jitter_count",
                 "singular_innovation_count"):
        assert _same(before[name], after[name]), name


# ---------------------------------------------------------------------------
# Failure atomicity of every failing step.

N, M = 4, 2


def _fresh():
    rng = np.random.default_rng(12)
    f = linear_filter(rng, N, M)
    H = rng.standard_normal((M, N))
    f.predict_custom(lambda X, dt: X)
    f.update(rng.standard_normal(M), lambda X: X @ H.T)
    return f


def _nan_rows(X, rows, cols, value=math.nan):
    out = np.ones((X.shape[0], cols))
    for r in rows:
        out[r, cols - 1] = value
    return out


PREDICT_FAILURES = [
    ("list", lambda X, dt: X.tolist(), TypeError, None),
    ("1-d", lambda X, dt: X[:, 0].copy(), TypeError, "dimensionality mismatch:\n from=1, to=2"),
    ("3-d", lambda X, dt: X[None], TypeError, "dimensionality mismatch:\n from=3, to=2"),
    ("float32", lambda X, dt: X.astype(np.float32), TypeError, None),
    ("int", lambda X, dt: X.astype(np.int64), TypeError, None),
    ("wide", lambda X, dt: np.hstack([X, X[:, :1]]), ValueError, "model output must have shape (8, 4), got (8, 5)"),
    ("tall", lambda X, dt: np.vstack([X, X[:1]]), ValueError, "model output must have shape (8, 4), got (9, 4)"),
    ("nan", lambda X, dt: _nan_rows(X, [5, 2], N), ValueError,
     "fx returned non-finite values (NaN or inf) in output row 2 (sigma point 2); x and P were left unchanged"),
    ("inf", lambda X, dt: _nan_rows(X, [7], N, -math.inf), ValueError,
     "fx returned non-finite values (NaN or inf) in output row 7 (sigma point 7); x and P were left unchanged"),
    ("not callable", 42, TypeError, "'int' object is not callable"),
]


@pytest.mark.parametrize("fx,exc,message", [p[1:] for p in PREDICT_FAILURES], ids=[p[0] for p in PREDICT_FAILURES])
def test_predict_failures_change_nothing(fx, exc, message):
    f = _fresh()
    f.set("P", np.diag([1.0, 0.0, 2.0, 3.0]))  # needs jitter: accounting must not happen either
    before = state_of(f)
    with pytest.raises(exc) as e:
        f.predict_custom(fx)
    if message is not None:
        assert str(e.value) == message
    assert_same_state(before, state_of(f))


def test_predict_passes_callback_exception_unchanged():
    f = _fresh()
    before = state_of(f)
    err = ZeroDivisionError("inside fx")

    def fx(X, dt):
        raise err

    with pytest.raises(ZeroDivisionError) as e:
        f.predict_custom(fx)
    assert e.value is err
    assert_same_state(before, state_of(f))


@pytest.mark.parametrize("dt", [math.nan, math.inf, -math.inf])
def test_non_finite_dt_is_refused_before_fx(dt):
    f = _fresh()
    before = state_of(f)
    called = []
    with pytest.raises(ValueError) as e:
        f.predict_custom(lambda X, d: called.append(d) or X, dt)
    assert str(e.value) == "dt must be finite"
    assert not called
    assert_same_state(before, state_of(f))


@pytest.mark.parametrize(
    "kwargs,prefix",
    [({"dt": "0.1"}, "argument 'dt': "), ({"fx_args": [1, 2]}, "argument 'fx_args': ")],
)
def test_predict_argument_errors(kwargs, prefix):
    f = _fresh()
    before = state_of(f)
    called = []
    with pytest.raises(TypeError) as e:
        f.predict_custom(lambda X, *a: called.append(a) or X, **kwargs)
    assert str(e.value).startswith(prefix)
    assert not called
    assert_same_state(before, state_of(f))


def _hx(X):
    return X[:, :M] * 2.0


UPDATE_FAILURES = [
    ("z length", dict(z=np.zeros(M + 1)), ValueError, "z must have length 2, got 3"),
    ("z nan", dict(z=np.array([1.0, math.nan])), ValueError,
     "z contains non-finite values: [1.0, NaN]" + NONFINITE_Z_TAIL),
    ("z inf", dict(z=np.array([-math.inf, 1e-5])), ValueError,
     "z contains non-finite values: [-inf, 1e-5]" + NONFINITE_Z_TAIL),
    ("z strided", dict(z=np.zeros(2 * M)[::2]), TypeError, "The given array is not contiguous"),
    ("z list", dict(z=[1.0, 2.0]), TypeError, "argument 'z': "),
    ("z None", dict(z=None), TypeError, "argument 'z': "),
    ("z 2-d", dict(z=np.zeros((1, M))), TypeError, "argument 'z': dimensionality mismatch:\n from=2, to=1"),
    ("r shape", dict(r=np.eye(3)), ValueError, "R must have shape (2, 2), got (3, 3)"),
    ("r nan", dict(r=np.array([[1.0, 0.0], [0.0, math.nan]])), ValueError, "R must contain only finite values"),
    ("r inf", dict(r=np.array([[math.inf, 0.0], [0.0, 1.0]])), ValueError, "R must contain only finite values"),
    ("r 1-d", dict(r=np.ones(2)), TypeError, "argument 'r': dimensionality mismatch:\n from=1, to=2"),
    ("hx_args list", dict(hx_args=[1]), TypeError, "argument 'hx_args': "),
    ("hx nan", dict(hx=lambda X: _nan_rows(X, [6, 3], M)), ValueError,
     "hx returned non-finite values (NaN or inf) in output row 3 (sigma point 3); x and P were left unchanged"),
    ("hx shape", dict(hx=lambda X: X), ValueError, "model output must have shape (8, 2), got (8, 4)"),
    ("hx list", dict(hx=lambda X: _hx(X).tolist()), TypeError, None),
    ("hx float32", dict(hx=lambda X: _hx(X).astype(np.float32)), TypeError, None),
    ("hx raises", dict(hx=lambda X: 1 / 0), ZeroDivisionError, None),
]


@pytest.mark.parametrize("kw,exc,message", [p[1:] for p in UPDATE_FAILURES], ids=[p[0] for p in UPDATE_FAILURES])
def test_update_failures_change_nothing(kw, exc, message):
    f = _fresh()
    f.set("P", np.diag([1.0, 0.0, 2.0, 3.0]))
    before = state_of(f)
    args = dict(z=np.array([0.5, -0.5]), hx=_hx)
    args.update(kw)
    with pytest.raises(exc) as e:
        f.update(**args)
    if message is not None and message.endswith("': "):
        assert str(e.value).startswith(message)  # the argument error of the frame
    elif message is not None:
        assert str(e.value) == message
    assert_same_state(before, state_of(f))


def test_update_requires_z_and_hx():
    f = CubatureKalmanFilter(2, 1, 0.1)
    with pytest.raises(TypeError) as e:
        f.update()
    assert str(e.value) == "CubatureKalmanFilter.update() missing 2 required positional arguments: 'z' and 'hx'"
    with pytest.raises(TypeError) as e:
        f.predict_custom(lambda X, dt: X, None, None, None)
    assert str(e.value) == (
        "CubatureKalmanFilter.predict_custom() takes from 1 to 3 positional arguments but 4 were given"
    )


def test_argument_conversion_follows_parameter_order():
    f = CubatureKalmanFilter(2, 1, 0.1)
    with pytest.raises(TypeError) as e:
        f.update([0.0], _hx, [[1.0]], [1])
    assert str(e.value).startswith("argument 'z': ")
    with pytest.raises(TypeError) as e:
        f.update(np.zeros(1), _hx, [[1.0]], [1])
    assert str(e.value).startswith("argument 'r': ")
    # The length of z is an operation check: it comes after every argument converted.
    with pytest.raises(TypeError) as e:
        f.update(np.zeros(5), _hx, None, [1])
    assert str(e.value).startswith("argument 'hx_args': ")


# ---------------------------------------------------------------------------
# Re-entry and references.


@pytest.mark.parametrize(
    "inner,message",
    [
        (lambda f: f.get("x"), "Already mutably borrowed"),
        (lambda f: f.snapshot(), "Already mutably borrowed"),
        (lambda f: f.copy(), "Already mutably borrowed"),
        (lambda f: f.record_step(0, ()), "Already mutably borrowed"),
        (lambda f: f.set_dt(1.0), "Already borrowed"),
        (lambda f: f.clear_update_diagnostics(), "Already borrowed"),
        (lambda f: f.predict_custom(lambda X, dt: X), "Already borrowed"),
        (lambda f: f.load_snapshot({}), "Already borrowed"),
    ],
)
@pytest.mark.parametrize("step", ["predict", "update"])
def test_reentry_from_callback_is_refused(inner, message, step):
    f = _fresh()
    before = state_of(f)
    caught = []

    def callback(X, *rest):
        with pytest.raises(RuntimeError) as e:
            inner(f)
        caught.append(str(e.value))
        raise e.value

    with pytest.raises(RuntimeError) as outer:
        if step == "predict":
            f.predict_custom(callback)
        else:
            f.update(np.zeros(M), callback)
    assert caught == [message]
    assert str(outer.value) == message
    assert_same_state(before, state_of(f))
    # The borrow was released: the filter works again.
    f.predict_custom(lambda X, dt: X)


def test_callback_that_catches_the_borrow_error_lets_the_call_succeed():
    f = _fresh()
    other = CubatureKalmanFilter(3, 1, 0.1)

    def fx(X, dt):
        try:
            f.get("x")
        except RuntimeError:
            pass
        other.predict_custom(lambda Y, d: Y)  # another object is unaffected
        return X + 1.0

    x = f.get("x")
    f.predict_custom(fx)
    np.testing.assert_allclose(f.get("x"), x + 1.0, rtol=1e-12)


def test_argument_references_do_not_leak():
    f = _fresh()
    H = np.ones((M, N))
    token = object()

    def fx(X, dt, t):
        return X

    def hx(X, t):
        return X @ H.T

    def bad_hx(X, t):
        return np.full((X.shape[0], M), math.nan)

    z = np.array([0.1, 0.2])
    r = np.eye(M)
    bad_r = np.full((M, M), math.nan)
    fx_args = (token,)
    objs = [fx, hx, bad_hx, z, r, bad_r, fx_args, token]

    def run():
        f.predict_custom(fx, 0.1, fx_args)
        f.update(z, hx, r, fx_args)
        for call in (
            lambda: f.update(z, bad_hx, r, fx_args),
            lambda: f.update(z, hx, bad_r, fx_args),
            lambda: f.predict_custom(fx, math.nan, fx_args),
            lambda: f.update(z, hx, r, [token]),
        ):
            with pytest.raises((ValueError, TypeError)):
                call()

    run()
    counts = [sys.getrefcount(o) for o in objs]
    for _ in range(50):
        run()
    assert [sys.getrefcount(o) for o in objs] == counts


# ---------------------------------------------------------------------------
# Registration.


def test_methods_text_signatures_and_docstrings():
    C = CubatureKalmanFilter
    assert C.predict_custom.__text_signature__ == "($self, fx, dt=None, fx_args=None)"
    assert C.update.__text_signature__ == "($self, z, hx, r=None, hx_args=None)"
    assert C.clear_update_diagnostics.__text_signature__ == "($self)"
    assert C.clear_update_diagnostics.__doc__ == (
        "Record a skipped measurement (`update(z=None)`): clear the innovation\n"
        "and likelihood diagnostics so callers don't re-read stale values, set\n"
        "`z` to NaN, and make the posterior equal the current prior."
    )
    assert not C.predict_custom.__doc__ and not C.update.__doc__


def test_method_registration_order():
    order = [
        "set_state", "set_dt", "predict_custom", "predict_standard_model", "supported_standard_models",
        "supported_standard_layouts", "predict_standard_model_ckf", "predict_linear_model",
        "predict_linear_model_ckf", "clear_update_diagnostics", "reset_jitter_counters", "update",
        "update_paper_ahrs", "normalize_quaternion_state", "get", "set", "load_snapshot", "copy", "record_step",
        "snapshot",
    ]
    registered = [k for k in CubatureKalmanFilter.__dict__ if k in order]
    assert registered == [k for k in order if k in registered]
    assert {"predict_custom", "update", "clear_update_diagnostics", "load_snapshot", "copy", "record_step",
            "snapshot"} <= set(registered)


def test_measurement_arrays_are_released_before_hx_runs():
    # hx writes into the very arrays given as z and r (through another
    # filter's record_step, which needs a write borrow of them); the update
    # works from its own copies.
    f = CubatureKalmanFilter(2, 2, 0.1)
    g = CubatureKalmanFilter(2, 2, 0.1)
    g.set("nis", 42.0)
    g.set("P_post", 3.0 * np.eye(2))
    z = np.array([0.5, -0.5])
    r = np.eye(2)

    def hx(X):
        g.record_step(0, (np.zeros((2, 2)), r[None], np.zeros((1, 2)), np.zeros((1, 2, 2)), np.zeros(1), z))
        return X

    f.update(z, hx, r)
    assert z[0] == 42.0  # written while the update ran ...
    np.testing.assert_array_equal(r, 3.0 * np.eye(2))
    np.testing.assert_array_equal(f.get("z"), [0.5, -0.5])  # ... which used the values given
    np.testing.assert_array_equal(f.get("S"), 2.0 * np.eye(2))  # Pzz = P = I, plus the R given


def test_posterior_follows_the_plain_form_bit_for_bit():
    # x = x + K y and P = P - (K S) K^T, then symmetrised, replayed here with
    # two-term sums (two measurement components): a Joseph-form posterior, a
    # missing symmetrisation or a correction accumulated in another order
    # shows in the last bits.
    rng = np.random.default_rng(13)
    f = linear_filter(rng, 4, 2)
    H = rng.standard_normal((2, 4))
    for _ in range(4):
        x0, P0 = f.get("x"), f.get("P")
        f.update(rng.standard_normal(2) * 10.0, lambda X: X @ H.T)
        K, y, S = f.get("K"), f.get("y"), f.get("S")
        Ky = K[:, 0] * y[0] + K[:, 1] * y[1]
        np.testing.assert_array_equal(f.get("x"), x0 + Ky)
        KS = np.column_stack([K[:, 0] * S[0, j] + K[:, 1] * S[1, j] for j in range(2)])
        KSKt = np.array([[KS[i, 0] * K[j, 0] + KS[i, 1] * K[j, 1] for j in range(4)] for i in range(4)])
        A = P0 - KSKt
        np.testing.assert_array_equal(f.get("P"), (A + A.T) * 0.5)
        f.predict_custom(lambda X, dt: X * 1.1)
