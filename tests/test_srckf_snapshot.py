"""SquareRootCubatureKalmanFilter: what its field table does beyond the
covariance filter's — factors stored, covariances read as their products,
assignments factored — and what that means for set_state and snapshots."""

import numpy as np
import pytest

from vexel_ckf._native import SquareRootCubatureKalmanFilter as SR
from support import assert_same_state, busy_filter, state_of

PRODUCTS = {"P": "chol_P", "Q": "chol_Q", "R": "chol_R", "S": "S_innov", "P_prior": "chol_P_prior",
            "P_post": "chol_P_post"}
NO_FACTOR = "unable to compute stable Cholesky factor"


def test_covariance_names_read_the_product_of_their_factor():
    f = busy_filter(SR)
    for name, factor in PRODUCTS.items():
        L = f.get(factor)
        np.testing.assert_allclose(f.get(name), L @ L.T, rtol=1e-15, atol=1e-15, err_msg=name)
    U = np.triu(np.arange(1.0, 10.0).reshape(3, 3))  # a factor is stored as given ...
    f.set("chol_P", U)
    np.testing.assert_array_equal(f.get("chol_P"), U)
    np.testing.assert_allclose(f.get("P"), U @ U.T)  # ... and read as L L^T, not L^T L
    assert f.get("P").tobytes() != (U.T @ U).tobytes()


@pytest.mark.parametrize("name,dim", [("P", 3), ("Q", 3), ("R", 2)])
def test_assigning_a_covariance_stores_its_cholesky_factor(name, dim):
    rng = np.random.default_rng(4)
    A = rng.standard_normal((dim, dim))
    M = A @ A.T + np.eye(dim)
    f = SR(3, 2, 0.1)
    f.set(name, M)
    np.testing.assert_allclose(f.get("chol_" + name), np.linalg.cholesky(M), rtol=1e-13)
    np.testing.assert_allclose(f.get(name), M, rtol=1e-13)
    assert f.get("jitter_count") == 0


def test_jitter_rule_of_assignments():
    f = SR(2, 1, 0.1)
    f.set("P", np.zeros((2, 2)))  # needs the first retry: 1e-12
    assert (f.get("last_jitter"), f.get("max_jitter"), f.get("jitter_count")) == (1e-12, 1e-12, 1)
    f.set("Q", np.diag([1.0, 0.0]))  # first retry again, scaled by the diagonal
    assert f.get("jitter_count") == 2 and f.get("last_jitter") == 1e-12
    f.set("last_jitter", 0.5)
    f.set("Q", np.diag([1e-3, 0.0]))  # jitter below last_jitter does not lower it
    assert f.get("last_jitter") == 0.5 and f.get("jitter_count") == 3
    f.set("R", np.eye(1))  # no jitter: nothing changes, last_jitter included
    assert f.get("last_jitter") == 0.5 and f.get("jitter_count") == 3
    f.set("last_jitter", float("nan"))
    f.set("P", np.zeros((2, 2)))  # a NaN stored value is replaced, not kept
    assert f.get("last_jitter") == 1e-12


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda f: f.get("SI"), 'unknown filter field: "SI"'),
        (lambda f: f.get("chol_p"), 'unknown filter field: "chol_p"'),
        (lambda f: f.set("S", np.eye(1)), 'unknown filter field: "S"'),  # products are read-only
        (lambda f: f.set("P_prior", np.eye(2)), 'unknown filter field: "P_prior"'),
        (lambda f: f.set("P_post", np.eye(2)), 'unknown filter field: "P_post"'),
        (lambda f: f.set("chol_Q", np.array([[1.0, 0.0], [np.nan, 1.0]])), "chol_Q must contain only finite values"),
        (lambda f: f.set("S_innov", np.eye(2)), "S_innov must have shape (1, 1), got (2, 2)"),
        (lambda f: f.set("P", -np.eye(2)), NO_FACTOR),
        (lambda f: f.set("downdate_fallback_count", 2**64), None),
    ],
)
def test_rejected_names_and_values_change_nothing(call, message):
    f = busy_filter(SR, n=2, m=1)
    before = state_of(f)
    with pytest.raises((ValueError, RuntimeError, OverflowError)) as e:
        call(f)
    if message is not None:
        assert str(e.value) == message
    assert_same_state(before, state_of(f))


def test_set_state_goes_through_set():
    f = SR(2, 1, 0.1)
    f.set_state(np.array([1.0, 2.0]), 4.0 * np.eye(2), 9.0 * np.eye(2), np.array([[16.0]]))
    np.testing.assert_array_equal(f.get("chol_P"), 2.0 * np.eye(2))
    np.testing.assert_array_equal(f.get("chol_Q"), 3.0 * np.eye(2))
    np.testing.assert_array_equal(f.get("chol_R"), [[4.0]])
    # A value is converted only when its turn comes: p went in before q failed.
    x = np.array([5.0, 6.0])
    with pytest.raises(TypeError) as e:
        f.set_state(x, np.eye(2), [[1.0, 0.0], [0.0, 1.0]], np.eye(1))
    assert not str(e.value).startswith("argument")
    np.testing.assert_array_equal(f.get("chol_P"), np.eye(2))
    np.testing.assert_array_equal(f.get("chol_Q"), 3.0 * np.eye(2))
    f.set("x", np.zeros(2))
    with pytest.raises(RuntimeError, match=NO_FACTOR):
        f.set_state(x, -np.eye(2), np.eye(2), np.eye(1))
    np.testing.assert_array_equal(f.get("x"), x)
    np.testing.assert_array_equal(f.get("chol_P"), np.eye(2))
    np.testing.assert_array_equal(f.get("chol_R"), [[4.0]])
    with pytest.raises(ValueError, match="^x must contain only finite values$"):
        f.set_state(np.array([np.nan, 0.0]), np.eye(2), np.eye(2), np.eye(1))


def test_load_reads_factors_never_products_and_refactors_nothing():
    f = busy_filter(SR)
    snap = f.snapshot()
    snap["P"] = np.full((3, 3), np.nan)
    snap["Q"] = -np.eye(3)
    snap["S"] = "not even an array"
    g = SR(3, 2, 0.1)
    g.load_snapshot(snap)
    assert_same_state(state_of(f), state_of(g))
