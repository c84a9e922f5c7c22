"""CubatureKalmanFilter: initial state, field table, set_state, set_dt, counters."""

import math

import numpy as np
import pytest

from vexel_ckf._native import CubatureKalmanFilter
from support import CKF_FIELDS as FIELDS, assert_same_state as assert_same_fields, state_of as all_fields


def test_initial_state():
    n, m = 4, 2
    v = all_fields(CubatureKalmanFilter(n, m, 0.1))
    expected = {
        "x": np.zeros(n), "P": np.eye(n), "Q": np.eye(n), "R": np.eye(m), "K": np.zeros((n, m)),
        "y": np.zeros(m), "z": np.zeros(m), "S": np.eye(m), "SI": np.eye(m), "x_prior": np.zeros(n),
        "P_prior": np.eye(n), "x_post": np.zeros(n), "P_post": np.eye(n), "z_pred": np.zeros(m),
    }
    for name, arr in expected.items():
        assert v[name].shape == arr.shape and v[name].dtype == np.float64, name
        np.testing.assert_array_equal(v[name], arr, err_msg=name)
    for name in ["log_likelihood", "likelihood", "mahalanobis", "nis"]:
        assert isinstance(v[name], float) and math.isnan(v[name])
    assert v["last_jitter"] == 0.0 and v["max_jitter"] == 0.0
    assert v["jitter_count"] == 0 and isinstance(v["jitter_count"], int)
    assert v["singular_innovation_count"] == 0


def test_set_then_get_returns_the_value_exactly():
    f = CubatureKalmanFilter(3, 2, 0.1)
    rng = np.random.default_rng(1)
    for name in FIELDS:
        current = f.get(name)
        if isinstance(current, np.ndarray):
            value = rng.standard_normal(current.shape)  # not symmetric: stored as given
        elif isinstance(current, float):
            value = float(rng.standard_normal())
        else:
            value = 12345
        f.set(name, value)
        got = f.get(name)
        if isinstance(value, np.ndarray):
            assert got.tobytes() == value.tobytes(), name
        else:
            assert got == value and type(got) is type(value), name


@pytest.mark.parametrize("name", ["K", "y", "z", "S", "SI", "x_prior", "P_prior", "x_post", "P_post", "z_pred"])
def test_shape_only_fields_accept_non_finite_values(name):
    f = CubatureKalmanFilter(3, 2, 0.1)
    value = np.full(f.get(name).shape, np.nan)
    f.set(name, value)
    assert np.isnan(f.get(name)).all()


@pytest.mark.parametrize(
    "name, value, exc",
    [
        ("nis", None, TypeError),
        ("log_likelihood", "1.0", TypeError),
        ("jitter_count", -1, OverflowError),
        ("jitter_count", 2**64, OverflowError),
        ("jitter_count", 1.5, TypeError),
        ("singular_innovation_count", "3", TypeError),
    ],
)
def test_scalar_conversion_errors_are_raised_unchanged(name, value, exc):
    f = CubatureKalmanFilter(2, 1, 0.1)
    before = all_fields(f)
    with pytest.raises(exc) as info:
        f.set(name, value)
    assert not str(info.value).startswith("argument")
    assert_same_fields(before, all_fields(f))


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
    for call in (lambda: f.get(name), lambda: f.set(name, np.zeros(2))):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == "unknown filter field: " + quoted


def test_unknown_name_is_reported_before_the_value_is_examined():
    f = CubatureKalmanFilter(2, 1, 0.1)
    with pytest.raises(ValueError, match="unknown filter field"):
        f.set("dt", object())


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


def test_set_state_keeps_assignments_made_before_a_failure():
    f = CubatureKalmanFilter(4, 2, 0.1)
    before = all_fields(f)
    with pytest.raises(ValueError) as info:
        f.set_state(np.arange(4.0), np.eye(3), 2 * np.eye(4), 2 * np.eye(2))
    assert str(info.value) == "P must have shape (4, 4), got (3, 3)"
    after = all_fields(f)
    np.testing.assert_array_equal(after["x"], np.arange(4.0))
    before["x"] = after["x"]
    assert_same_fields(before, after)


@pytest.mark.parametrize(
    "args, message",
    [
        ((np.zeros(4), np.eye(4), np.eye(4), [[1.0, 0.0], [0.0, 1.0]]), "argument 'r': "),
        (([0.0] * 4, np.eye(4), np.eye(4), np.eye(2)), "argument 'x': "),
        ((np.zeros(4), np.eye(4)[0], np.eye(4), np.eye(2)), "argument 'p': dimensionality mismatch"),
        ((np.zeros(4), np.eye(4), np.eye(4, dtype=np.float32), np.eye(2)), "argument 'q': type mismatch"),
    ],
)
def test_set_state_argument_errors_assign_nothing(args, message):
    f = CubatureKalmanFilter(4, 2, 0.1)
    f.set("x", np.ones(4))
    before = all_fields(f)
    with pytest.raises(TypeError) as info:
        f.set_state(*args)
    assert str(info.value).startswith(message)
    assert_same_fields(before, all_fields(f))


def test_set_state_non_contiguous_x_fails_with_contiguity_error():
    f = CubatureKalmanFilter(2, 1, 0.1)
    with pytest.raises(TypeError, match="^The given array is not contiguous$"):
        f.set_state(np.zeros(4)[::2], np.eye(2), np.eye(2), np.eye(1))


@pytest.mark.parametrize("dt", [float("nan"), float("inf"), -float("inf")])
def test_set_dt_rejects_non_finite(dt):
    f = CubatureKalmanFilter(2, 1, 0.1)
    with pytest.raises(ValueError, match="^dt must be finite$"):
        f.set_dt(dt)


def test_set_dt_argument_kind():
    f = CubatureKalmanFilter(2, 1, 0.1)
    f.set_dt(0)
    f.set_dt(-2.5)
    with pytest.raises(TypeError, match="^argument 'dt': "):
        f.set_dt("1.0")


def test_reset_jitter_counters_touches_only_the_counters():
    f = CubatureKalmanFilter(2, 1, 0.1)
    f.set("last_jitter", 1e-9)
    f.set("max_jitter", 1e-6)
    f.set("jitter_count", 5)
    f.set("singular_innovation_count", 3)
    f.set("nis", 2.5)
    f.set("x", np.array([1.0, 2.0]))
    before = all_fields(f)
    assert f.reset_jitter_counters() is None
    after = all_fields(f)
    assert (after["last_jitter"], after["max_jitter"]) == (0.0, 0.0)
    assert (after["jitter_count"], after["singular_innovation_count"]) == (0, 0)
    for name in ["last_jitter", "max_jitter", "jitter_count", "singular_innovation_count"]:
        before[name] = after[name]
    assert_same_fields(before, after)
