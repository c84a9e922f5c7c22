"""Field tables of both filter classes: initial state, get/set, set_state,
set_dt and the counters; the square-root filter's factors, read back as their
products and assigned through one factorisation."""

import math

import numpy as np
import pytest

from vexel_ckf._native import CubatureKalmanFilter as CKF, SquareRootCubatureKalmanFilter as SR
from support import (BOTH, CLASSES, NO_FACTOR, assert_message, assert_same_state, busy_filter, dt_of, error_of,
                     fields_of, is_sr, same, state_of)

IDENTITIES = {"P", "Q", "R", "S", "SI", "P_prior", "P_post", "chol_P", "chol_Q", "chol_R", "S_innov",
              "chol_P_prior", "chol_P_post"}
# Covariances of the square-root filter are products of its factors: not stored as given.
PRODUCTS = {"P": "chol_P", "Q": "chol_Q", "R": "chol_R", "S": "S_innov", "P_prior": "chol_P_prior",
            "P_post": "chol_P_post"}


@BOTH
def test_initial_state(cls):
    n, m = 4, 2
    shapes = {"x": (n,), "y": (m,), "z": (m,), "x_prior": (n,), "x_post": (n,), "z_pred": (m,), "K": (n, m),
              "R": (m, m), "S": (m, m), "SI": (m, m), "chol_R": (m, m), "S_innov": (m, m)}
    for name, value in state_of(cls(n, m, 0.1)).items():
        if name in ("log_likelihood", "likelihood", "mahalanobis", "nis"):
            assert type(value) is float and math.isnan(value), name
        elif name in ("last_jitter", "max_jitter"):
            assert type(value) is float and value == 0.0, name
        elif not isinstance(value, np.ndarray):
            assert type(value) is int and value == 0, name
        else:
            shape = shapes.get(name, (n, n))
            assert value.dtype == np.float64 and value.shape == shape, name
            np.testing.assert_array_equal(value, np.eye(shape[0]) if name in IDENTITIES else np.zeros(shape), name)


@BOTH
def test_set_then_get_returns_the_value_exactly(cls):
    f = cls(3, 2, 0.1)
    rng = np.random.default_rng(1)
    for name in fields_of(f):
        if is_sr(f) and name in PRODUCTS:
            continue
        current = f.get(name)
        if isinstance(current, np.ndarray):
            value = rng.standard_normal(current.shape)  # not symmetric or triangular: stored as given
        else:
            value = float(rng.standard_normal()) if isinstance(current, float) else 12345
        f.set(name, value)
        got = f.get(name)
        assert same(got, value), name
        if isinstance(got, np.ndarray):
            got[...] = 0.0  # a fresh copy: writing it changes nothing
            assert same(f.get(name), value), name
    names = ["K", "y", "z", "x_prior", "x_post", "z_pred"]  # shape-only fields accept non-finite values
    for name in names + (["chol_P_prior", "chol_P_post"] if is_sr(f) else ["S", "SI", "P_prior", "P_post"]):
        f.set(name, np.full(f.get(name).shape, np.nan))
        assert np.isnan(f.get(name)).all(), name
    for name, value, stored in [("nis", math.inf, math.inf), ("max_jitter", -3, -3.0),
                                ("jitter_count", 2**64 - 1, 2**64 - 1), ("jitter_count", np.uint64(7), 7)]:
        f.set(name, value)
        assert same(f.get(name), stored), name


# Rejected by both classes; None: the conversion's own error, without an argument prefix.
REJECTED = [
    ("nis", None, TypeError, None), ("log_likelihood", "1.0", TypeError, None),
    ("jitter_count", -1, OverflowError, None), ("jitter_count", 2**64, OverflowError, None),
    ("jitter_count", 1.5, TypeError, None), ("singular_innovation_count", "3", TypeError, None),
    ("P", [[1.0, 0.0], [0.0, 1.0]], TypeError, None),
    ("P", np.eye(3), ValueError, "P must have shape (2, 2), got (3, 3)"),
    ("R", np.eye(2), ValueError, "R must have shape (1, 1), got (2, 2)"),
    ("dt", 1.0, ValueError, 'unknown filter field: "dt"'),
]
SR_REJECTED = [
    ("S", np.eye(1), ValueError, 'unknown filter field: "S"'),  # products are read-only
    ("P_prior", np.eye(2), ValueError, 'unknown filter field: "P_prior"'),
    ("P_post", np.eye(2), ValueError, 'unknown filter field: "P_post"'),
    ("SI", np.eye(1), ValueError, 'unknown filter field: "SI"'),
    ("chol_Q", np.array([[1.0, 0.0], [np.nan, 1.0]]), ValueError, "chol_Q must contain only finite values"),
    ("S_innov", np.eye(2), ValueError, "S_innov must have shape (1, 1), got (2, 2)"),
    ("P", -np.eye(2), RuntimeError, NO_FACTOR),
    ("downdate_fallback_count", 2**64, OverflowError, None),
]


@pytest.mark.parametrize("cls, name, value, exc, message",
                         [(c, *row) for c in CLASSES for row in REJECTED] + [(SR, *row) for row in SR_REJECTED])
def test_rejected_assignments_change_nothing(cls, name, value, exc, message):
    f = busy_filter(cls, n=2, m=1)
    before = state_of(f)
    e = error_of(lambda: f.set(name, value), exc)
    assert not str(e).startswith("argument") if message is None else assert_message(e, message) is None
    assert_same_state(before, state_of(f))


@pytest.mark.parametrize("name, quoted", [
    ("SI ", '"SI "'), ("p", '"p"'), ('a"b', '"a\\"b"'), ("a\\b", '"a\\\\b"'), ("t\tn\nr\r", '"t\\tn\\nr\\r"'),
    ("\x01\x7f", '"\\u{1}\\u{7f}"'), ("é", '"é"'),
    ("\ud800x", '"\\u{d800}x"'),  # a lone surrogate, not the six characters below
    ("\\ud800x", '"\\\\ud800x"'), ("", '""'),
])
@BOTH
def test_unknown_field_message(cls, name, quoted):
    f = cls(2, 1, 0.1)
    for call in (lambda: f.get(name), lambda: f.set(name, object())):  # the name is checked before the value
        assert str(error_of(call, ValueError)) == "unknown filter field: " + quoted


# ---------------------------------------------------------------------------
# set_state, set_dt, reset_jitter_counters


def test_covariance_filter_set_state_stores_without_finiteness_checks():
    f = CKF(2, 1, 0.1)
    p = np.array([[1.0, np.nan], [0.5, 2.0]])
    f.set_state(np.array([1.0, 2.0]), p, 3 * np.eye(2), np.array([[4.0]]))
    assert f.get("x").tolist() == [1.0, 2.0] and f.get("P").tobytes() == p.tobytes()
    np.testing.assert_array_equal(f.get("Q"), 3 * np.eye(2))
    np.testing.assert_array_equal(f.get("R"), [[4.0]])
    np.testing.assert_array_equal(f.get("P_prior"), np.eye(2))  # the priors and posteriors stay as they were
    np.testing.assert_array_equal(f.get("x_post"), np.zeros(2))


# args, exception, message, whether x was assigned before the failure
SET_STATE_FAILURES = [
    ((np.arange(4.0), np.eye(3), 2 * np.eye(4), 2 * np.eye(2)), ValueError, "P must have shape (4, 4), got (3, 3)",
     True),
    ((np.zeros(8)[::2], np.eye(4), np.eye(4), np.eye(2)), TypeError, "The given array is not contiguous", False),
]
# The covariance filter converts every argument first, and on a failure assigns nothing.
CKF_SET_STATE_FAILURES = [
    ((np.arange(4.0), np.eye(4), np.eye(4), [[1.0, 0.0], [0.0, 1.0]]), TypeError, "argument 'r': ", False),
    (([0.0] * 4, np.eye(4), np.eye(4), np.eye(2)), TypeError, "argument 'x': ", False),
    ((np.arange(4.0), np.eye(4)[0], np.eye(4), np.eye(2)), TypeError, "argument 'p': dimensionality mismatch", False),
    ((np.arange(4.0), np.eye(4), np.eye(4, dtype=np.float32), np.eye(2)), TypeError, "argument 'q': type mismatch",
     False),
]


@pytest.mark.parametrize("cls, args, exc, message, keeps_x", [(c, *row) for c in CLASSES for row in SET_STATE_FAILURES]
                         + [(CKF, *row) for row in CKF_SET_STATE_FAILURES])
def test_set_state_failures(cls, args, exc, message, keeps_x):
    f = cls(4, 2, 0.1)
    f.set("x", np.ones(4))
    before = state_of(f)
    assert str(error_of(lambda: f.set_state(*args), exc)).startswith(message)
    after = state_of(f)
    if keeps_x:
        np.testing.assert_array_equal(after["x"], args[0])
    assert_same_state(before, after, skip={"x"} if keeps_x else ())


def test_square_root_set_state_goes_through_set():
    f = SR(2, 1, 0.1)
    f.set_state(np.array([1.0, 2.0]), 4.0 * np.eye(2), 9.0 * np.eye(2), np.array([[16.0]]))
    np.testing.assert_array_equal(f.get("chol_P"), 2.0 * np.eye(2))
    np.testing.assert_array_equal(f.get("chol_Q"), 3.0 * np.eye(2))
    np.testing.assert_array_equal(f.get("chol_R"), [[4.0]])
    x = np.array([5.0, 6.0])  # a value is converted only when its turn comes: p went in before q failed
    assert not str(error_of(lambda: f.set_state(x, np.eye(2), [[1.0]], np.eye(1)), TypeError)).startswith("arg")
    assert same(f.get("chol_P"), np.eye(2)) and same(f.get("chol_Q"), 3.0 * np.eye(2))
    f.set("x", np.zeros(2))
    assert str(error_of(lambda: f.set_state(x, -np.eye(2), np.eye(2), np.eye(1)), RuntimeError)) == NO_FACTOR
    assert same(f.get("x"), x) and same(f.get("chol_P"), np.eye(2))
    assert str(error_of(lambda: f.set_state(np.array([np.nan, 0.0]), np.eye(2), np.eye(2), np.eye(1)))) == \
        "x must contain only finite values"


@BOTH
def test_set_dt(cls):
    f = cls(2, 1, 0.1)
    for dt in (float("nan"), float("inf"), -float("inf")):
        assert str(error_of(lambda: f.set_dt(dt), ValueError)) == "dt must be finite"
    assert str(error_of(lambda: f.set_dt("1.0"), TypeError)).startswith("argument 'dt': ")
    assert dt_of(f) == 0.1
    f.set_dt(-2.5)
    assert dt_of(f) == -2.5


@BOTH
def test_reset_jitter_counters_touches_only_the_counters(cls):
    f = busy_filter(cls)
    before = state_of(f)
    assert f.reset_jitter_counters() is None
    after = state_of(f)
    counters = {"last_jitter", "max_jitter", "jitter_count", "singular_innovation_count", "downdate_fallback_count"}
    for name in counters & set(after):
        assert before[name] != 0 and after[name] == 0 and type(after[name]) is type(before[name]), name
    assert_same_state(before, after, skip=counters)


# ---------------------------------------------------------------------------
# Factors of the square-root filter


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
    A = np.random.default_rng(4).standard_normal((dim, dim))
    M = A @ A.T + np.eye(dim)
    f = SR(3, 2, 0.1)
    f.set(name, M)
    np.testing.assert_allclose(f.get("chol_" + name), np.linalg.cholesky(M), rtol=1e-13)
    np.testing.assert_allclose(f.get(name), M, rtol=1e-13)
    assert f.get("jitter_count") == 0


def test_jitter_rule_of_square_root_assignments():
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
