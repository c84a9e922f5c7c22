"""Field tables of both filter classes: initial state, get/set, set_state,
set_dt and the counters."""

import math

import numpy as np
import pytest

from vexel_ckf._native import CubatureKalmanFilter
from support import BOTH, CLASSES, assert_same_state, busy_filter, dt_of, fields_of, is_sr, state_of

IDENTITIES = {"P", "Q", "R", "S", "SI", "P_prior", "P_post", "chol_P", "chol_Q", "chol_R", "S_innov",
              "chol_P_prior", "chol_P_post"}
# Covariances of the square-root filter are products of its factors: not stored as given.
SR_PRODUCTS = {"P", "Q", "R", "S", "P_prior", "P_post"}


@BOTH
def test_initial_state(cls):
    n, m = 4, 2
    f = cls(n, m, 0.1)
    shapes = {"x": (n,), "y": (m,), "z": (m,), "x_prior": (n,), "x_post": (n,), "z_pred": (m,), "K": (n, m),
              "R": (m, m), "S": (m, m), "SI": (m, m), "chol_R": (m, m), "S_innov": (m, m)}
    for name, value in state_of(f).items():
        if name in ("log_likelihood", "likelihood", "mahalanobis", "nis"):
            assert type(value) is float and math.isnan(value), name
        elif name in ("last_jitter", "max_jitter"):
            assert type(value) is float and value == 0.0, name
        elif not isinstance(value, np.ndarray):
            assert type(value) is int and value == 0, name
        else:
            shape = shapes.get(name, (n, n))
            expected = np.eye(shape[0]) if name in IDENTITIES else np.zeros(shape)
            assert value.dtype == np.float64 and value.shape == shape, name
            np.testing.assert_array_equal(value, expected, err_msg=name)


@BOTH
def test_set_then_get_returns_the_value_exactly(cls):
    f = cls(3, 2, 0.1)
    rng = np.random.default_rng(1)
    for name in fields_of(f):
        if is_sr(f) and name in SR_PRODUCTS:
            continue
        current = f.get(name)
        if isinstance(current, np.ndarray):
            value = rng.standard_normal(current.shape)  # not symmetric or triangular: stored as given
        elif isinstance(current, float):
            value = float(rng.standard_normal())
        else:
            value = 12345
        f.set(name, value)
        got = f.get(name)
        assert same_value(got, value), name
        if isinstance(got, np.ndarray):
            got[...] = 0.0  # a fresh copy: writing it changes nothing
            assert same_value(f.get(name), value), name


def same_value(a, b):
    if isinstance(b, np.ndarray):
        return a.tobytes() == b.tobytes()
    return a == b and type(a) is type(b)


@BOTH
def test_shape_only_fields_accept_non_finite_values(cls):
    f = cls(3, 2, 0.1)
    names = ["K", "y", "z", "x_prior", "x_post", "z_pred"]
    names += ["chol_P_prior", "chol_P_post"] if is_sr(f) else ["S", "SI", "P_prior", "P_post"]
    for name in names:
        f.set(name, np.full(f.get(name).shape, np.nan))
        assert np.isnan(f.get(name)).all(), name


def test_scalars_are_stored_as_converted():
    f = CubatureKalmanFilter(2, 1, 0.1)
    f.set("nis", float("inf"))
    assert f.get("nis") == math.inf
    f.set("max_jitter", -3)
    assert f.get("max_jitter") == -3.0 and isinstance(f.get("max_jitter"), float)
    f.set("jitter_count", 2**64 - 1)
    assert f.get("jitter_count") == 2**64 - 1
    f.set("jitter_count", np.uint64(7))
    assert f.get("jitter_count") == 7


@BOTH
@pytest.mark.parametrize(
    "name, value, exc, message",
    [
        ("nis", None, TypeError, None),
        ("log_likelihood", "1.0", TypeError, None),
        ("jitter_count", -1, OverflowError, None),
        ("jitter_count", 2**64, OverflowError, None),
        ("jitter_count", 1.5, TypeError, None),
        ("singular_innovation_count", "3", TypeError, None),
        ("P", [[1.0, 0.0], [0.0, 1.0]], TypeError, None),
        ("P", np.eye(3), ValueError, "P must have shape (2, 2), got (3, 3)"),
        ("R", np.eye(2), ValueError, "R must have shape (1, 1), got (2, 2)"),
    ],
)
def test_rejected_assignments_change_nothing(cls, name, value, exc, message):
    f = busy_filter(cls, n=2, m=1)
    before = state_of(f)
    with pytest.raises(exc) as info:
        f.set(name, value)
    if message is None:
        assert not str(info.value).startswith("argument")  # the conversion's own error, unprefixed
    else:
        assert str(info.value) == message
    assert_same_state(before, state_of(f))


@pytest.mark.parametrize(
    "name, quoted",
    [
        ("dt", '"dt"'),
        ("SI ", '"SI "'),
        ("p", '"p"'),
        ("dim_x", '"dim_x"'),
        ('a"b', '"a\\"b"'),
        ("a\\b", '"a\\\\b"'),
        ("t\tn\nr\r", '"t\\tn\\nr\\r"'),
        ("\x01\x7f", '"\\u{1}\\u{7f}"'),
        ("é", '"é"'),
        ("\ud800x", '"\\u{d800}x"'),  # a lone surrogate, not the six characters below
        ("\\ud800x", '"\\\\ud800x"'),
        ("", '""'),
    ],
)
def test_unknown_field_message(name, quoted):
    f = CubatureKalmanFilter(2, 1, 0.1)
    # The name is reported before the value is examined.
    for call in (lambda: f.get(name), lambda: f.set(name, object())):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == "unknown filter field: " + quoted


# ---------------------------------------------------------------------------
# set_state, set_dt, reset_jitter_counters


def test_set_state_stores_without_finiteness_checks():
    f = CubatureKalmanFilter(2, 1, 0.1)
    p = np.array([[1.0, np.nan], [0.5, 2.0]])
    f.set_state(np.array([1.0, 2.0]), p, 3 * np.eye(2), np.array([[4.0]]))
    np.testing.assert_array_equal(f.get("x"), [1.0, 2.0])
    assert f.get("P").tobytes() == p.tobytes()
    np.testing.assert_array_equal(f.get("Q"), 3 * np.eye(2))
    np.testing.assert_array_equal(f.get("R"), [[4.0]])
    # The priors and posteriors stay as they were.
    np.testing.assert_array_equal(f.get("P_prior"), np.eye(2))
    np.testing.assert_array_equal(f.get("x_post"), np.zeros(2))


# args, exception, message, whether x was assigned before the failure
SET_STATE_FAILURES = [
    # Named by field, with no argument prefix; the assignments made before the failure stay.
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


@pytest.mark.parametrize(
    "cls, args, exc, message, keeps_x",
    [(c, *row) for c in CLASSES for row in SET_STATE_FAILURES]
    + [(CubatureKalmanFilter, *row) for row in CKF_SET_STATE_FAILURES],
)
def test_set_state_failures(cls, args, exc, message, keeps_x):
    f = cls(4, 2, 0.1)
    f.set("x", np.ones(4))
    before = state_of(f)
    with pytest.raises(exc) as info:
        f.set_state(*args)
    assert str(info.value).startswith(message)
    after = state_of(f)
    if keeps_x:
        np.testing.assert_array_equal(after["x"], args[0])
    assert_same_state(before, after, skip={"x"} if keeps_x else ())


@BOTH
def test_set_dt(cls):
    f = cls(2, 1, 0.1)
    for dt in (float("nan"), float("inf"), -float("inf")):
        with pytest.raises(ValueError, match="^dt must be finite$"):
            f.set_dt(dt)
    with pytest.raises(TypeError, match="^argument 'dt': "):
        f.set_dt("1.0")
    assert dt_of(f) == 0.1
    f.set_dt(0)
    assert dt_of(f) == 0.0
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
