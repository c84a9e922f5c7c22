"""CubatureKalmanFilter: snapshots, copies and step recording."""

import math
import sys

import numpy as np
import pytest

from vexel_ckf._native import CubatureKalmanFilter
from support import CKF_FIELDS as FIELDS, assert_same_state, same, state_of, unaligned_copy


def stepped_filter(n=3, m=2, dt=0.1, seed=0):
    """A filter whose every field holds a distinct, non-default value."""
    rng = np.random.default_rng(seed)
    f = CubatureKalmanFilter(n, m, dt)
    A = rng.standard_normal((n, n))
    f.set_state(rng.standard_normal(n), A @ A.T + np.eye(n), 0.1 * np.eye(n), 0.5 * np.eye(m))
    F = np.eye(n) + 0.1 * rng.standard_normal((n, n))
    H = rng.standard_normal((m, n))
    f.predict_custom(lambda X, dt: X @ F.T)
    f.update(rng.standard_normal(m), lambda X: X @ H.T)
    f.predict_custom(lambda X, dt: X @ F.T)
    f.set("jitter_count", 7)
    f.set("max_jitter", 2.5e-9)
    f.set("last_jitter", 1e-12)
    f.set("singular_innovation_count", 3)
    return f


def dt_of(f):
    seen = []
    f.copy().predict_custom(lambda X, dt: seen.append(dt) or X)
    return seen[0]


# ---------------------------------------------------------------------------
# snapshot


def test_snapshot_keys_values_and_types():
    f = stepped_filter()
    snap = f.snapshot()
    assert type(snap) is dict
    assert list(snap) == FIELDS
    assert "dt" not in snap and "dim_x" not in snap
    for name in FIELDS:
        assert same(snap[name], f.get(name)), name
        assert type(name) is str
    for name in ("x", "y", "z", "x_prior", "x_post", "z_pred"):
        assert snap[name].ndim == 1
    for name in ("P", "Q", "R", "K", "S", "SI", "P_prior", "P_post"):
        assert snap[name].ndim == 2 and snap[name].flags["C_CONTIGUOUS"]
    assert type(snap["jitter_count"]) is int and type(snap["singular_innovation_count"]) is int
    assert type(snap["nis"]) is float


def test_snapshot_is_detached_from_the_filter():
    f = stepped_filter()
    snap = f.snapshot()
    snap["x"][:] = 99.0
    snap["P"][0, 0] = -1.0
    assert f.get("x")[0] != 99.0 and f.get("P")[0, 0] != -1.0
    other = f.snapshot()
    assert other["x"] is not snap["x"]


# ---------------------------------------------------------------------------
# load_snapshot


def test_round_trip_into_a_fresh_filter():
    f = stepped_filter(dt=0.1)
    g = CubatureKalmanFilter(3, 2, 0.7)
    assert g.load_snapshot(f.snapshot()) is None
    assert_same_state(state_of(f), state_of(g))
    assert dt_of(g) == 0.7


def test_round_trip_after_clear_update_diagnostics():
    f = stepped_filter()
    f.clear_update_diagnostics()
    g = CubatureKalmanFilter(3, 2, 0.1)
    g.load_snapshot(f.snapshot())
    assert np.isnan(g.get("z")).all() and math.isnan(g.get("nis"))
    assert_same_state(state_of(f), state_of(g))


@pytest.mark.parametrize("state", [{}, {"dt": 5.0}, {"dim_x": 7, "p": np.eye(3), "X": np.zeros(3)}])
def test_load_without_field_names_changes_nothing(state):
    f = stepped_filter()
    before = state_of(f)
    assert f.load_snapshot(state) is None
    assert_same_state(before, state_of(f))
    assert dt_of(f) == 0.1


def test_partial_load_sets_only_present_fields():
    f = stepped_filter()
    before = state_of(f)
    f.load_snapshot({"nis": 4.0, "x": np.arange(3.0), "jitter_count": 0})
    after = state_of(f)
    assert after["nis"] == 4.0 and after["jitter_count"] == 0
    np.testing.assert_array_equal(after["x"], [0.0, 1.0, 2.0])
    assert_same_state(before, after, skip=("nis", "x", "jitter_count"))


def test_load_stops_at_the_first_rejected_field():
    f = stepped_filter()
    before = state_of(f)
    bad_P = np.eye(3)
    bad_P[1, 2] = math.nan
    with pytest.raises(ValueError) as e:
        f.load_snapshot({"Q": 2.0 * np.eye(3), "P": bad_P, "x": np.ones(3), "nis": 1.0})
    assert str(e.value) == "P must contain only finite values"
    after = state_of(f)
    np.testing.assert_array_equal(after["x"], np.ones(3))  # before P in table order
    assert_same_state(before, after, skip=("x",))  # Q and nis come later


@pytest.mark.parametrize(
    "state,exc,message",
    [
        ({"nis": None}, TypeError, None),
        ({"jitter_count": -1}, OverflowError, None),
        ({"jitter_count": 1.5}, TypeError, None),
        ({"K": [[0.0] * 2] * 3}, TypeError, None),
        ({"K": np.zeros((2, 3))}, ValueError, "K must have shape (3, 2), got (2, 3)"),
        ({"z_pred": np.zeros(4)[::2]}, TypeError, "The given array is not contiguous"),
        ({"R": np.full((2, 2), math.inf)}, ValueError, "R must contain only finite values"),
    ],
)
def test_rejected_values(state, exc, message):
    f = stepped_filter()
    before = state_of(f)
    with pytest.raises(exc) as e:
        f.load_snapshot(state)
    if message is not None:
        assert str(e.value) == message
    assert_same_state(before, state_of(f))


def test_non_finite_values_load_where_set_allows_them():
    f = stepped_filter()
    f.load_snapshot({"K": np.full((3, 2), math.nan), "nis": math.inf, "last_jitter": -1.0})
    assert np.isnan(f.get("K")).all() and f.get("nis") == math.inf and f.get("last_jitter") == -1.0


def test_snapshot_of_other_dimensions_fails_before_loading_anything():
    f = stepped_filter()
    before = state_of(f)
    with pytest.raises(ValueError) as e:
        f.load_snapshot(stepped_filter(n=4, m=2).snapshot())
    assert str(e.value) == "x must have length 3, got 4"
    assert_same_state(before, state_of(f))


def test_plain_dict_lookup_ignores_subclass_hooks():
    hooks = []

    class Tricky(dict):
        def __missing__(self, key):
            hooks.append(("missing", key))
            return np.zeros(3)

        def __getitem__(self, key):
            hooks.append(("getitem", key))
            return np.full(3, 5.0)

        def get(self, key, default=None):
            hooks.append(("get", key))
            return np.full(3, 6.0)

    f = stepped_filter()
    before = state_of(f)
    f.load_snapshot(Tricky({"y": np.array([1.0, 2.0])}))
    assert hooks == []
    np.testing.assert_array_equal(f.get("y"), [1.0, 2.0])
    assert_same_state(before, state_of(f), skip=("y",))


def test_error_while_comparing_keys_ends_the_load():
    class Clash:
        def __hash__(self):
            return hash("P")

        def __eq__(self, other):
            raise LookupError("cannot compare")

    f = stepped_filter()
    before = state_of(f)
    with pytest.raises(LookupError):
        f.load_snapshot({"x": np.ones(3), Clash(): 1})
    after = state_of(f)
    np.testing.assert_array_equal(after["x"], np.ones(3))
    assert_same_state(before, after, skip=("x",))


def test_load_snapshot_requires_a_dict():
    f = stepped_filter()
    with pytest.raises(TypeError) as e:
        f.load_snapshot(list(f.snapshot().items()))
    assert str(e.value).startswith("argument 'state': ")


def test_load_snapshot_holds_its_own_reference_to_each_value():
    f = stepped_filter()
    state = {}

    class Shrinking:
        def __float__(self):
            state.clear()  # drops the dict's reference to this very object
            return 1.25

    state["nis"] = Shrinking()
    state["x"] = np.ones(3)
    f.load_snapshot(state)
    assert f.get("nis") == 1.25
    np.testing.assert_array_equal(f.get("x"), np.ones(3))


# ---------------------------------------------------------------------------
# copy


def test_copy_equals_and_is_independent():
    f = stepped_filter(dt=0.3)
    c = f.copy()
    assert type(c) is CubatureKalmanFilter and c is not f
    assert_same_state(state_of(f), state_of(c))
    assert dt_of(c) == 0.3
    before = state_of(f)
    c.set("x", np.full(3, 9.0))
    c.set_dt(2.0)
    c.predict_custom(lambda X, dt: X * 3.0)
    c.update(np.zeros(2), lambda X: X[:, :2])
    c.reset_jitter_counters()
    assert_same_state(before, state_of(f))
    assert dt_of(f) == 0.3
    f.set("P", 5.0 * np.eye(3))
    assert c.get("P")[0, 0] != 5.0


# ---------------------------------------------------------------------------
# record_step


def outputs(N, n, fill=-7.0):
    return (
        np.full((N, n), fill), np.full((N, n, n), fill), np.full((N, n), fill), np.full((N, n, n), fill),
        np.full(N, fill), np.full(N, fill),
    )


def test_record_step_writes_one_row():
    f = stepped_filter()
    out = outputs(5, 3)
    assert f.record_step(3, out) is None
    np.testing.assert_array_equal(out[0][3], f.get("x_post"))
    np.testing.assert_array_equal(out[1][3], f.get("P_post"))
    np.testing.assert_array_equal(out[2][3], f.get("x_prior"))
    np.testing.assert_array_equal(out[3][3], f.get("P_prior"))
    assert out[4][3] == f.get("log_likelihood")
    assert out[5][3] == f.get("nis")
    for a in out:
        assert (np.delete(a, 3, axis=0) == -7.0).all()
    assert not np.array_equal(f.get("P_post"), f.get("P_prior"))  # the two rows are not interchangeable


def test_record_step_accepts_strided_and_larger_arrays():
    f = stepped_filter()
    big = (
        np.full((4, 5), -7.0), np.full((3, 4, 3), -7.0, order="F"), np.full((4, 6), -7.0)[:, ::2],
        unaligned_copy(np.full((3, 3, 5), -7.0)), np.full(8, -7.0)[::2], np.full(6, -7.0)[::-1],
    )
    f.record_step(2, big)
    np.testing.assert_array_equal(big[0][2, :3], f.get("x_post"))
    assert (big[0][:, 3:] == -7.0).all()
    np.testing.assert_array_equal(big[1][2, :3, :], f.get("P_post"))
    assert (big[1][2, 3:, :] == -7.0).all()
    np.testing.assert_array_equal(big[2][2], f.get("x_prior"))
    np.testing.assert_array_equal(big[3][2, :, :3], f.get("P_prior"))
    assert big[4][2] == f.get("log_likelihood")
    assert big[5][2] == f.get("nis")
    assert big[5].base[3] == f.get("nis")  # index 2 of the reversed view


def test_record_step_rejects_malformed_out_before_writing():
    f = stepped_filter()
    out = outputs(2, 3)
    with pytest.raises(TypeError) as e:
        f.record_step(0, list(out))
    assert str(e.value).startswith("argument 'out': ")
    with pytest.raises(ValueError) as e:
        f.record_step(0, out[:5])
    assert str(e.value) == "expected tuple of length 6, but got tuple of length 5"
    with pytest.raises(ValueError) as e:
        f.record_step(0, out + (out[0],))
    assert str(e.value) == "expected tuple of length 6, but got tuple of length 7"
    for k, bad in [(1, np.zeros((2, 3))), (4, np.zeros((2, 1))), (5, np.zeros(2, dtype=np.float32)),
                   (3, [[[0.0]]])]:
        broken = out[:k] + (bad,) + out[k + 1:]
        with pytest.raises(TypeError) as e:
            f.record_step(0, broken)
        assert not str(e.value).startswith("argument")
    for a in out:
        assert (a == -7.0).all()


@pytest.mark.parametrize("i,exc", [(-1, OverflowError), (1.0, TypeError), ("0", TypeError), (2**64, OverflowError)])
def test_record_step_index_kinds(i, exc):
    f = stepped_filter()
    out = outputs(2, 3)
    with pytest.raises(exc) as e:
        f.record_step(i, out)
    if exc is TypeError:
        assert str(e.value).startswith("argument 'i': ")
    for a in out:
        assert (a == -7.0).all()


def test_record_step_accepts_numpy_integer_index():
    f = stepped_filter()
    out = outputs(2, 3)
    f.record_step(np.uint8(1), out)
    assert out[5][1] == f.get("nis")


def assert_panic(excinfo):
    assert not isinstance(excinfo.value, Exception)
    assert type(excinfo.value).__name__ == "PanicException"


def test_record_step_index_out_of_range_panics_and_writes_nothing():
    f = stepped_filter()
    before = state_of(f)
    out = outputs(4, 3)
    with pytest.raises(BaseException) as e:
        f.record_step(4, out)
    assert_panic(e)
    for a in out:
        assert (a == -7.0).all()
    assert_same_state(before, state_of(f))


def test_record_step_read_only_array_panics_after_earlier_rows():
    f = stepped_filter()
    out = outputs(2, 3)
    out[1].flags.writeable = False
    with pytest.raises(BaseException) as e:
        f.record_step(0, out)
    assert_panic(e)
    np.testing.assert_array_equal(out[0][0], f.get("x_post"))
    assert (out[0][1] == -7.0).all()
    for a in out[1:]:
        assert (a == -7.0).all()


def test_record_step_too_small_extent_keeps_partial_row():
    f = stepped_filter()
    out = list(outputs(2, 3))
    out[2] = np.full((2, 2), -7.0)  # one column short for x_prior
    out = tuple(out)
    with pytest.raises(BaseException) as e:
        f.record_step(1, out)
    assert_panic(e)
    np.testing.assert_array_equal(out[0][1], f.get("x_post"))
    np.testing.assert_array_equal(out[1][1], f.get("P_post"))
    np.testing.assert_array_equal(out[2][1], f.get("x_prior")[:2])
    assert (out[3] == -7.0).all() and (out[4] == -7.0).all()


def test_record_step_accepts_the_same_array_at_two_positions():
    f = stepped_filter()
    out = outputs(2, 3)
    # Borrows are taken one array at a time, so two positions may share one.
    shared = np.full(2, -7.0)
    f.record_step(1, out[:4] + (shared, shared))
    assert shared[1] == f.get("nis")


# ---------------------------------------------------------------------------
# Borrows and references


def test_read_methods_work_inside_a_callback_of_another_filter():
    f = stepped_filter()
    g = stepped_filter(seed=1)
    out = outputs(1, 3)
    seen = {}

    def fx(X, dt):
        seen["snap"] = f.snapshot()
        seen["copy"] = f.copy()
        f.record_step(0, out)
        return X

    g.predict_custom(fx)
    assert list(seen["snap"]) == FIELDS
    assert out[5][0] == f.get("nis")


def test_references_do_not_leak():
    f = stepped_filter()
    snap = f.snapshot()
    bad = dict(snap, Q=np.full((3, 3), math.nan))
    out = outputs(3, 3)
    short = out[:5]
    objs = [snap, bad, out, short] + list(out) + [snap["x"], snap["nis"]]

    def run():
        f.load_snapshot(snap)
        f.record_step(1, out)
        f.snapshot()
        f.copy()
        with pytest.raises(ValueError):
            f.load_snapshot(bad)
        with pytest.raises(ValueError):
            f.record_step(0, short)
        with pytest.raises(BaseException):
            f.record_step(3, out)

    run()
    counts = [sys.getrefcount(o) for o in objs]
    for _ in range(30):
        run()
    assert [sys.getrefcount(o) for o in objs] == counts


def test_registration():
    C = CubatureKalmanFilter
    assert C.snapshot.__text_signature__ == "($self)"
    assert C.load_snapshot.__text_signature__ == "($self, state)"
    assert C.copy.__text_signature__ == "($self)"
    assert C.record_step.__text_signature__ == "($self, i, out)"
    assert not C.snapshot.__doc__
    assert C.load_snapshot.__doc__ == (
        "Inverse of `snapshot`: `set` every field present in `state`. Other\n"
        "keys are ignored and absent fields keep their current values, so a\n"
        "partial dict (for example an older `to_dict()` output) loads too."
    )
    assert C.copy.__doc__ == "Independent copy of the whole filter, counters included."
    assert C.record_step.__doc__ == (
        "Write row `i` of `run()`'s outputs: x_post, P_post, x_prior, P_prior,\n"
        "log_likelihood and nis, in one call instead of six attribute reads."
    )
