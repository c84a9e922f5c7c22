"""SquareRootCubatureKalmanFilter: field table, set_state, snapshots, copies and step recording."""

import numpy as np
import pytest

from vexel_ckf._native import SquareRootCubatureKalmanFilter as SR
from support import assert_same_state, state_of

SNAPSHOT_KEYS = [
    "x", "chol_P", "P", "chol_Q", "Q", "chol_R", "R", "K", "y", "z", "S", "S_innov", "x_prior", "P_prior",
    "x_post", "P_post", "z_pred", "log_likelihood", "likelihood", "mahalanobis", "nis", "last_jitter",
    "max_jitter", "jitter_count", "singular_innovation_count", "downdate_fallback_count", "chol_P_prior",
    "chol_P_post",
]
PRODUCTS = {"P": "chol_P", "Q": "chol_Q", "R": "chol_R", "S": "S_innov", "P_prior": "chol_P_prior",
            "P_post": "chol_P_post"}
NO_FACTOR = "unable to compute stable Cholesky factor"


def busy_filter(seed=0, n=3, m=2):
    """A filter whose every field holds a distinct, non-default value."""
    rng = np.random.default_rng(seed)
    f = SR(n, m, 0.1)
    A = rng.standard_normal((n, n))
    f.set_state(rng.standard_normal(n), A @ A.T + n * np.eye(n), 0.1 * np.eye(n), 0.5 * np.eye(m))
    f.predict_custom(lambda X, dt: X + dt * np.sin(X))
    f.update(rng.standard_normal(m), lambda X: X[:, :m] ** 2)
    f.predict_custom(lambda X, dt: X)
    f.set("jitter_count", 4)
    f.set("max_jitter", 1e-9)
    f.set("singular_innovation_count", 2)
    f.set("downdate_fallback_count", 3)
    return f


# ---------------------------------------------------------------------------
# Field table


def test_new_filter_values():
    f = SR(3, 2, 0.1)
    np.testing.assert_array_equal(f.get("P"), np.eye(3))
    np.testing.assert_array_equal(f.get("R"), np.eye(2))
    assert np.isnan(f.get("nis"))
    assert f.get("jitter_count") == 0 and type(f.get("jitter_count")) is int
    assert f.get("last_jitter") == 0.0 and type(f.get("last_jitter")) is float


@pytest.mark.parametrize("name", list(PRODUCTS))
def test_covariance_names_read_the_product_of_their_factor(name):
    f = busy_filter()
    L = f.get(PRODUCTS[name])
    np.testing.assert_allclose(f.get(name), L @ L.T, rtol=1e-15, atol=1e-15)


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


def test_factors_are_stored_as_given():
    U = np.triu(np.arange(1.0, 10.0).reshape(3, 3))
    f = SR(3, 2, 0.1)
    f.set("chol_P", U)
    np.testing.assert_array_equal(f.get("chol_P"), U)
    np.testing.assert_allclose(f.get("P"), U @ U.T)
    assert f.get("P").tobytes() != (U.T @ U).tobytes()


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
    f.set("jitter_count", 2**64 - 1)
    f.set("P", np.zeros((2, 2)))
    assert f.get("jitter_count") == 2**64 - 1


def test_reset_jitter_counters_clears_all_five():
    f = busy_filter()
    f.set("last_jitter", 0.5)
    before = state_of(f)
    assert f.reset_jitter_counters() is None
    after = state_of(f)
    for name in ("last_jitter", "max_jitter"):
        assert after[name] == 0.0
    for name in ("jitter_count", "singular_innovation_count", "downdate_fallback_count"):
        assert after[name] == 0
    assert_same_state(before, after, skip={"last_jitter", "max_jitter", "jitter_count",
                                              "singular_innovation_count", "downdate_fallback_count"})


@pytest.mark.parametrize("name", ["SI", "dt", "p", "chol_p", "", "P\n"])
def test_unknown_names(name):
    f = SR(2, 1, 0.1)
    quoted = '"' + name.replace("\n", "\\n") + '"'
    with pytest.raises(ValueError) as e:
        f.get(name)
    assert str(e.value) == "unknown filter field: " + quoted
    with pytest.raises(ValueError) as e:
        f.set(name, object())
    assert str(e.value) == "unknown filter field: " + quoted


@pytest.mark.parametrize("name", ["S", "P_prior", "P_post"])
def test_read_only_products_are_unknown_to_set(name):
    f = SR(2, 1, 0.1)
    with pytest.raises(ValueError) as e:
        f.set(name, np.eye(2))
    assert str(e.value) == f'unknown filter field: "{name}"'


def test_name_must_be_a_str():
    f = SR(2, 1, 0.1)
    with pytest.raises(TypeError, match="^argument 'name': "):
        f.get(1)
    assert f.get(name="x").shape == (2,)


@pytest.mark.parametrize(
    "name,value,exc,message",
    [
        ("x", np.array([1.0, np.nan]), ValueError, "x must contain only finite values"),
        ("chol_Q", np.array([[1.0, 0.0], [np.nan, 1.0]]), ValueError, "chol_Q must contain only finite values"),
        ("P", np.array([[1.0, 0.0], [np.inf, 1.0]]), ValueError, "P must contain only finite values"),
        ("P", np.eye(3), ValueError, "P must have shape (2, 2), got (3, 3)"),
        ("R", np.eye(2), ValueError, "R must have shape (1, 1), got (2, 2)"),
        ("P", -np.eye(2), RuntimeError, NO_FACTOR),
        ("P", [[1.0, 0.0], [0.0, 1.0]], TypeError, None),
        ("S_innov", np.eye(2), ValueError, "S_innov must have shape (1, 1), got (2, 2)"),
        ("nis", None, TypeError, None),
        ("jitter_count", -1, OverflowError, None),
        ("downdate_fallback_count", 2**64, OverflowError, None),
    ],
)
def test_rejected_assignments_change_nothing(name, value, exc, message):
    f = busy_filter(n=2, m=1)
    before = state_of(f)
    with pytest.raises(exc) as e:
        f.set(name, value)
    if message is not None:
        assert str(e.value) == message
    else:
        assert not str(e.value).startswith("argument")
    assert_same_state(before, state_of(f))


def test_shape_only_fields_accept_non_finite_values():
    f = SR(2, 1, 0.1)
    f.set("K", np.array([[np.nan], [np.inf]]))
    f.set("chol_P_post", np.full((2, 2), np.nan))
    f.set("nis", float("inf"))
    assert np.isnan(f.get("K")[0, 0]) and np.isnan(f.get("P_post")).all() and f.get("nis") == float("inf")


def test_get_returns_copies():
    f = SR(2, 1, 0.1)
    f.get("chol_P")[0, 0] = 5.0
    f.get("P")[0, 0] = 5.0
    np.testing.assert_array_equal(f.get("chol_P"), np.eye(2))


def test_set_state_goes_through_set():
    f = SR(2, 1, 0.1)
    f.set_state(np.array([1.0, 2.0]), 4.0 * np.eye(2), 9.0 * np.eye(2), np.array([[16.0]]))
    np.testing.assert_array_equal(f.get("chol_P"), 2.0 * np.eye(2))
    np.testing.assert_array_equal(f.get("chol_Q"), 3.0 * np.eye(2))
    np.testing.assert_array_equal(f.get("chol_R"), [[4.0]])
    # Named by field, no argument prefix; earlier assignments stay.
    x = np.array([5.0, 6.0])
    with pytest.raises(ValueError) as e:
        f.set_state(x, np.eye(3), np.eye(2), np.eye(1))
    assert str(e.value) == "P must have shape (2, 2), got (3, 3)"
    with pytest.raises(TypeError) as e:
        f.set_state(x, np.eye(2), [[1.0, 0.0], [0.0, 1.0]], np.eye(1))
    assert not str(e.value).startswith("argument")
    np.testing.assert_array_equal(f.get("chol_P"), np.eye(2))  # p went in before q failed
    np.testing.assert_array_equal(f.get("chol_Q"), 3.0 * np.eye(2))
    f.set("x", np.zeros(2))
    with pytest.raises(RuntimeError, match=NO_FACTOR):
        f.set_state(x, -np.eye(2), np.eye(2), np.eye(1))
    np.testing.assert_array_equal(f.get("x"), x)
    np.testing.assert_array_equal(f.get("chol_P"), np.eye(2))
    np.testing.assert_array_equal(f.get("chol_R"), [[4.0]])
    with pytest.raises(ValueError, match="^x must contain only finite values$"):
        f.set_state(np.array([np.nan, 0.0]), np.eye(2), np.eye(2), np.eye(1))
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'r'"):
        f.set_state(x, np.eye(2), np.eye(2))


def test_set_dt():
    f = SR(1, 1, 0.1)
    with pytest.raises(ValueError, match="^dt must be finite$"):
        f.set_dt(float("nan"))
    with pytest.raises(TypeError, match="^argument 'dt': "):
        f.set_dt("1")
    seen = []
    f.predict_custom(lambda X, dt: seen.append(dt) or X)
    assert seen == [0.1]


# ---------------------------------------------------------------------------
# Snapshots


def test_snapshot_keys_and_values():
    f = busy_filter()
    snap = f.snapshot()
    assert list(snap) == SNAPSHOT_KEYS
    assert_same_state(state_of(f), snap)


def test_round_trip_into_a_fresh_filter_keeps_its_dt():
    f = busy_filter()
    g = SR(3, 2, 0.7)
    assert g.load_snapshot(f.snapshot()) is None
    assert_same_state(state_of(f), state_of(g))
    seen = []
    g.predict_custom(lambda X, dt: seen.append(dt) or X)
    assert seen == [0.7]


def test_round_trip_after_clear_update_diagnostics():
    f = busy_filter()
    f.clear_update_diagnostics()
    g = SR(3, 2, 0.1)
    g.load_snapshot(f.snapshot())
    assert_same_state(state_of(f), state_of(g))


def test_products_are_never_read_and_nothing_is_refactored():
    f = busy_filter()
    snap = f.snapshot()
    snap["P"] = np.full((3, 3), np.nan)
    snap["Q"] = -np.eye(3)
    snap["S"] = "not even an array"
    g = SR(3, 2, 0.1)
    g.load_snapshot(snap)
    assert_same_state(state_of(f), state_of(g))


@pytest.mark.parametrize("snap", [{}, {"dt": 3.0, "dim_x": 7, "SI": None}])
def test_load_without_field_names_changes_nothing(snap):
    f = busy_filter()
    before = state_of(f)
    f.load_snapshot(snap)
    assert_same_state(before, state_of(f))


def test_load_only_x():
    f = busy_filter()
    before = state_of(f)
    f.load_snapshot({"x": np.array([1.0, 2.0, 3.0])})
    assert_same_state(before, state_of(f), skip={"x"})
    np.testing.assert_array_equal(f.get("x"), [1.0, 2.0, 3.0])


def test_load_stops_at_the_first_rejected_key():
    f = busy_filter(1)
    g = busy_filter(2)
    before = state_of(g)
    snap = f.snapshot()
    snap["chol_Q"] = np.full((3, 3), np.nan)
    with pytest.raises(ValueError) as e:
        g.load_snapshot(snap)
    assert str(e.value) == "chol_Q must contain only finite values"
    after = state_of(g)
    for name in ("x", "chol_P", "P"):
        np.testing.assert_array_equal(after[name], f.get(name))
    assert_same_state(before, after, skip={"x", "chol_P", "P"})


def test_load_snapshot_requires_a_dict():
    f = SR(2, 1, 0.1)
    with pytest.raises(TypeError, match="^argument 'state': "):
        f.load_snapshot([("x", np.zeros(2))])


def test_copy_is_complete_and_independent():
    f = busy_filter()
    c = f.copy()
    assert type(c) is SR
    assert_same_state(state_of(f), state_of(c))
    before = state_of(f)
    c.predict_custom(lambda X, dt: 2.0 * X)
    c.set("P", 5.0 * np.eye(3))
    c.set("downdate_fallback_count", 0)
    assert_same_state(before, state_of(f))
    seen = []
    c.predict_custom(lambda X, dt: seen.append(dt) or X)
    assert seen == [0.1]


# ---------------------------------------------------------------------------
# record_step


def outputs(steps=5, n=3):
    return (np.zeros((steps, n)), np.zeros((steps, n, n)), np.zeros((steps, n)), np.zeros((steps, n, n)),
            np.zeros(steps), np.zeros(steps))


def test_record_step_writes_products_of_the_factors():
    f = busy_filter()
    f.update(np.array([0.1, 0.2]), lambda X: X[:, 1:])
    out = outputs()
    before = state_of(f)
    assert f.record_step(3, out) is None
    expected = [f.get("x_post"), f.get("P_post"), f.get("x_prior"), f.get("P_prior"), f.get("log_likelihood"),
                f.get("nis")]
    for array, value in zip(out, expected):
        np.testing.assert_array_equal(array[3], value)
        assert not np.delete(array, 3, axis=0).any()
    assert_same_state(before, state_of(f))


def test_record_step_errors():
    f = busy_filter()
    out = outputs()
    with pytest.raises(TypeError, match="^argument 'out': "):
        f.record_step(0, list(out))
    with pytest.raises(ValueError) as e:
        f.record_step(0, out[:5])
    assert str(e.value) == "expected tuple of length 6, but got tuple of length 5"
    with pytest.raises(OverflowError):
        f.record_step(-1, out)
    with pytest.raises(BaseException) as e:
        f.record_step(5, out)
    assert type(e.value).__name__ == "PanicException"
    assert not any(a.any() for a in out)
