"""SquareRootCubatureKalmanFilter: what its QR prediction and downdating
update do beyond the behaviour it shares with the covariance filter."""

import math

import numpy as np
import pytest

from vexel_ckf._native import CubatureKalmanFilter, SquareRootCubatureKalmanFilter as SR
from support import (NO_FACTOR, assert_same_state, error_of, kalman_update, lower_with_nonnegative_diagonal, spd,
                     state_of)


def linear(M):
    return lambda X, *_: X @ M.T


@pytest.mark.parametrize("chol_P,chol_Q,fx,mean,factor", [
    # Points 1.5 and 0.5 map to 2.25 and 0.25: deviations +-1 around 1.25, each weighted 1/sqrt(2), on q.
    (0.5, 0.0, lambda X, dt: X**2, 1.25, 1.0),
    (0.5, 0.3, lambda X, dt: X**2, 1.25, math.sqrt(1.0 + 0.09)),
    (0.5, 2.0, lambda X, dt: X**2, 1.25, math.sqrt(5.0)),
    (-3.0, -4.0, lambda X, dt: X, 1.0, 5.0),  # the stack [3/sqrt(2), -3/sqrt(2), -4] gives +5, not -5
])
def test_one_dimensional_prediction_is_root_of_sum_of_squares(chol_P, chol_Q, fx, mean, factor):
    f = SR(1, 1, 0.1)
    f.set("x", np.array([1.0]))
    f.set("chol_P", np.array([[chol_P]]))
    f.set("chol_Q", np.array([[chol_Q]]))
    f.predict_custom(fx)
    assert f.get("x")[0] == pytest.approx(mean, rel=1e-15)
    assert f.get("chol_P")[0, 0] == pytest.approx(factor, rel=1e-15)


@pytest.mark.parametrize("chol_Q,expected", [
    # fx constant: the stack is zeros above chol_Q^T, so the factor is that of chol_Q chol_Q^T.
    ([[0.0, 0.0], [0.0, 0.0]], [[0.0, 0.0], [0.0, 0.0]]),  # every column zero
    ([[0.0, 0.0], [1.0, 0.0]], [[0.0, 0.0], [0.0, 1.0]]),  # a zero first column
    ([[0.0, 3.0], [0.0, -5.0]], [[3.0, 0.0], [-5.0, 0.0]]),  # only the last row non-zero
])
def test_degenerate_stacks_give_the_factor_without_nan(chol_Q, expected):
    f = SR(2, 1, 0.1)
    f.set("chol_Q", np.array(chol_Q))
    f.predict_custom(lambda X, dt: 0.0 * X + 1.0)
    assert lower_with_nonnegative_diagonal(f.get("chol_P"))
    np.testing.assert_allclose(f.get("chol_P"), expected, rtol=0, atol=1e-15)


def test_infinite_mahalanobis_distance_is_degenerate():
    # S = [[1e-100]] and y = 1e250: v = y / S overflows, so the squared distance is +inf.
    f = SR(1, 1, 0.1)
    f.set("chol_R", np.array([[1e-100]]))
    f.update(np.array([1e250]), lambda X: 0.0 * X)
    assert f.get("S_innov")[0, 0] == 1e-100
    assert (f.get("log_likelihood"), f.get("likelihood")) == (-math.inf, 0.0)
    assert math.isnan(f.get("nis")) and math.isnan(f.get("mahalanobis"))


def test_posterior_mean_adds_the_whole_correction_at_once():
    # x = x + (K y): with a mean of 2^60 (spacing 256) and 150 correction terms of up to a few tens each,
    # adding the correction in pieces would round at every piece; K y itself is exact enough in any order.
    rng = np.random.default_rng(17)
    n, m, x0 = 4, 150, 2.0**60  # sqrt(n) 1024 is a multiple of the spacing
    H = rng.standard_normal((m, n))
    f = SR(n, m, 0.1)
    f.set("x", np.full(n, x0))
    f.set("chol_P", 1024.0 * np.eye(n))
    f.set("chol_R", np.diag(rng.uniform(0.5, 2.0, m)))
    f.update(rng.standard_normal(m) * 1e3, lambda X: (X - x0) @ H.T)
    K, y = f.get("K"), f.get("y")
    expected = np.array([x0 + math.fsum(K[i] * y) for i in range(n)])
    assert (expected != x0).any()
    np.testing.assert_array_equal(f.get("x"), expected)


def test_per_call_noise_is_factored_with_jitter_and_not_stored():
    f = SR(2, 2, 0.1)
    f.set("max_jitter", 1.0)
    f.set("last_jitter", 0.5)
    f.update(np.zeros(2), linear(np.eye(2)), np.zeros((2, 2)))
    assert (f.get("last_jitter"), f.get("max_jitter"), f.get("jitter_count")) == (1e-12, 1.0, 1)
    np.testing.assert_array_equal(f.get("chol_R"), np.eye(2))


def test_precise_measurement_falls_back_to_covariance_space():
    # S = sqrt(1 + 1e-20) rounds to 1, so U = [1, 0.5] and the first downdate meets r2 = 1 - 1 = 0.  The
    # fallback factors the symmetrised P - U U^T = [[0, 0], [0, 0.75]], which needs jitter.
    P = np.array([[1.0, 0.5], [0.5, 1.0]])
    f = SR(2, 1, 0.1)
    f.set_state(np.array([0.2, -0.1]), P, np.eye(2), np.array([[1e-20]]))
    f.update(np.array([1.0]), linear(np.array([[1.0, 0.0]])))
    assert f.get("downdate_fallback_count") == 1
    U = f.get("K") @ f.get("S_innov")
    post = P - U @ U.T
    post = 0.5 * (post + post.T)
    np.testing.assert_allclose(post, [[0.0, 0.0], [0.0, 0.75]], atol=1e-15)
    d = np.where(np.diag(post) > 0.0, np.diag(post), 1.0)  # 1.0 standing in for a non-positive entry
    np.testing.assert_allclose(f.get("chol_P"), np.linalg.cholesky(post + np.diag(1e-12 * d)), rtol=1e-12, atol=1e-18)
    assert f.get("jitter_count") == 1 and f.get("last_jitter") == pytest.approx(1e-12, rel=1e-15)
    np.testing.assert_allclose(f.get("x"), [1.0, 0.3], rtol=1e-12)
    np.testing.assert_array_equal(f.get("chol_P_post"), f.get("chol_P"))


def _singular(f):
    f.set("chol_R", np.zeros((2, 2)))
    return lambda: f.update(np.array([1.0, 2.0]), lambda X: np.zeros((X.shape[0], 2)))


def _failing_fallback(f):
    # A measurement spread beyond double range: the innovation factor comes out infinite/NaN, the gain NaN,
    # every downdate fails and so does the covariance-space fallback; x must not keep the NaN posterior mean.
    f.set("x", np.array([0.3, 0.1]))
    return lambda: f.update(np.array([1.0, 1.0]), lambda X: np.hstack([X[:, :1] * 1e200, X[:, :1]]))


def _unfactorable_r(f):
    return lambda: f.update(np.zeros(2), lambda X: X, -np.eye(2))


@pytest.mark.parametrize("setup, message, counter", [
    (_singular, "SR-CKF innovation factor singular during gain solve", "singular_innovation_count"),
    (_failing_fallback, NO_FACTOR, None), (_unfactorable_r, NO_FACTOR, None)])
def test_failed_updates_reset_last_jitter_and_change_nothing_else(setup, message, counter):
    f = SR(2, 2, 0.1)
    call = setup(f)
    f.set("last_jitter", 0.5)
    before = state_of(f)
    assert str(error_of(call, RuntimeError)) == message
    after = state_of(f)
    assert after["last_jitter"] == 0.0 and (counter is None or after[counter] == before[counter] + 1)
    assert_same_state(before, after, skip={"last_jitter", counter})


@pytest.mark.parametrize("shape", ["upper", "full"])
def test_non_lower_stored_factor_gives_the_posterior_its_product_implies(shape):
    rng = np.random.default_rng(21)
    n, m = 4, 2
    A = rng.standard_normal((n, n)) + 2 * np.eye(n)
    factor = np.triu(A) if shape == "upper" else A
    H, R, z = rng.standard_normal((m, n)), spd(rng, m, 0.5), rng.standard_normal(m)
    f = SR(n, m, 0.1)
    f.set_state(np.zeros(n), np.eye(n), np.eye(n), R)
    f.set("chol_P", factor)
    f.update(z, linear(H))
    x_ref, P_ref, _ = kalman_update(np.zeros(n), factor @ factor.T, z, H, R)
    np.testing.assert_allclose(f.get("x"), x_ref, rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(f.get("P"), P_ref, rtol=1e-10, atol=1e-12)
    assert lower_with_nonnegative_diagonal(f.get("chol_P"))
    assert f.get("downdate_fallback_count") == 0


def test_nearly_unobservable_system_stays_positive_definite_without_jitter():
    # Two states seen only through x0 + (1 + 1e-6) x1 with a very precise sensor: the covariance collapses
    # along one direction and stays put along the other, a condition number near 1e20.
    rng = np.random.default_rng(13)
    H = np.array([[1.0, 1.0 + 1e-6]])
    sr, ckf = SR(2, 1, 1.0), CubatureKalmanFilter(2, 1, 1.0)
    for f in (sr, ckf):
        f.set_state(np.zeros(2), np.eye(2), 1e-16 * np.eye(2), np.array([[1e-16]]))
    for z in rng.standard_normal((10_000, 1)) * 1e-8:
        for f in (sr, ckf):
            f.predict_custom(lambda X, dt: X)
            f.update(z, linear(H))
        L = sr.get("chol_P")
        assert L[0, 1] == 0.0 and L[0, 0] > 0.0 and L[1, 1] > 0.0
    assert ckf.get("jitter_count") > 0
    assert (sr.get("jitter_count"), sr.get("downdate_fallback_count")) == (0, 0)
    # Both forms agree on the covariance to far better than its entries' size.
    np.testing.assert_allclose(sr.get("P"), ckf.get("P"), rtol=0, atol=1e-9)
