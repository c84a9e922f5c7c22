"""Snapshots, copies and step recording of both filter classes."""

import math
import sys

import numpy as np
import pytest

from vexel_ckf._native import CubatureKalmanFilter
from support import (
    BOTH,
    assert_same_state,
    busy_filter,
    dt_of,
    fields_of,
    is_sr,
    outputs,
    same,
    state_of,
    unaligned_copy,
)


# ---------------------------------------------------------------------------
# snapshot and load_snapshot


@BOTH
def test_snapshot_keys_values_and_types(cls):
    f = busy_filter(cls)
    snap = f.snapshot()
    assert type(snap) is dict and list(snap) == fields_of(f)
    assert_same_state(state_of(f), snap)
    assert type(snap["jitter_count"]) is int and type(snap["nis"]) is float
    snap["x"][:] = 99.0  # detached from the filter
    assert f.get("x")[0] != 99.0 and f.snapshot()["x"] is not snap["x"]


@BOTH
@pytest.mark.parametrize("cleared", [False, True])
def test_round_trip_into_a_fresh_filter_keeps_its_dt(cls, cleared):
    f = busy_filter(cls, dt=0.1)
    if cleared:
        f.clear_update_diagnostics()  # NaN z and diagnostics travel too
    g = cls(3, 2, 0.7)
    assert g.load_snapshot(f.snapshot()) is None
    assert_same_state(state_of(f), state_of(g))
    assert dt_of(g) == 0.7


@BOTH
@pytest.mark.parametrize("state", [{}, {"dt": 5.0}, {"dim_x": 7, "p": np.eye(3), "X": np.zeros(3), "SI": None}])
def test_load_without_field_names_changes_nothing(cls, state):
    if cls is CubatureKalmanFilter:
        state.pop("SI", None)
    f = busy_filter(cls)
    before = state_of(f)
    assert f.load_snapshot(state) is None
    assert_same_state(before, state_of(f))
    assert dt_of(f) == 0.1


@BOTH
def test_partial_load_sets_only_present_fields(cls):
    f = busy_filter(cls)
    before = state_of(f)
    f.load_snapshot({"nis": 4.0, "x": np.arange(3.0), "jitter_count": 0})
    after = state_of(f)
    assert after["nis"] == 4.0 and after["jitter_count"] == 0
    np.testing.assert_array_equal(after["x"], [0.0, 1.0, 2.0])
    assert_same_state(before, after, skip=("nis", "x", "jitter_count"))


@BOTH
def test_load_stops_at_the_first_rejected_field(cls):
    # Fields load in table order: those before the rejected one are applied
    # (x; and chol_P, hence its product P, for the square-root filter).
    src, f = busy_filter(cls, seed=1), busy_filter(cls, seed=2)
    before = state_of(f)
    snap = src.snapshot()
    bad = "chol_Q" if is_sr(f) else "P"
    snap[bad] = np.full((3, 3), math.nan)
    with pytest.raises(ValueError) as e:
        f.load_snapshot(snap)
    assert str(e.value) == f"{bad} must contain only finite values"
    after = state_of(f)
    applied = {"x", "chol_P", "P"} if is_sr(f) else {"x"}
    for name in applied:
        np.testing.assert_array_equal(after[name], src.get(name))
    assert_same_state(before, after, skip=applied)


@BOTH
@pytest.mark.parametrize(
    "state,exc,message",
    [
        ({"nis": None}, TypeError, None),
        ({"jitter_count": -1}, OverflowError, None),
        ({"jitter_count": 1.5}, TypeError, None),
        ({"K": [[0.0] * 2] * 3}, TypeError, None),
        ({"K": np.zeros((2, 3))}, ValueError, "K must have shape (3, 2), got (2, 3)"),
        ({"z_pred": np.zeros(4)[::2]}, TypeError, "The given array is not contiguous"),
        ({"x": np.full(3, math.inf)}, ValueError, "x must contain only finite values"),
        (list({"x": np.zeros(3)}.items()), TypeError, "argument 'state': "),
        (busy_filter(CubatureKalmanFilter, n=4).snapshot(), ValueError, "x must have length 3, got 4"),
    ],
)
def test_rejected_values_change_nothing(cls, state, exc, message):
    f = busy_filter(cls)
    before = state_of(f)
    with pytest.raises(exc) as e:
        f.load_snapshot(state)
    if message is not None and message.endswith(": "):
        assert str(e.value).startswith(message)
    elif message is not None:
        assert str(e.value) == message
    assert_same_state(before, state_of(f))


@BOTH
def test_non_finite_values_load_where_set_allows_them(cls):
    f = busy_filter(cls)
    f.load_snapshot({"K": np.full((3, 2), math.nan), "nis": math.inf, "last_jitter": -1.0})
    assert np.isnan(f.get("K")).all() and f.get("nis") == math.inf and f.get("last_jitter") == -1.0


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

    f = busy_filter(CubatureKalmanFilter)
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

    f = busy_filter(CubatureKalmanFilter)
    before = state_of(f)
    with pytest.raises(LookupError):
        f.load_snapshot({"x": np.ones(3), Clash(): 1})
    after = state_of(f)
    np.testing.assert_array_equal(after["x"], np.ones(3))
    assert_same_state(before, after, skip=("x",))


def test_load_snapshot_holds_its_own_reference_to_each_value():
    f = busy_filter(CubatureKalmanFilter)
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


@BOTH
def test_copy_equals_and_is_independent(cls):
    f = busy_filter(cls, dt=0.3)
    c = f.copy()
    assert type(c) is cls and c is not f
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


@BOTH
def test_record_step_writes_one_row(cls):
    f = busy_filter(cls)
    out = outputs(5, 3)
    before = state_of(f)
    assert f.record_step(3, out) is None
    for array, name in zip(out, ("x_post", "P_post", "x_prior", "P_prior", "log_likelihood", "nis")):
        np.testing.assert_array_equal(array[3], f.get(name), err_msg=name)
        assert (np.delete(array, 3, axis=0) == -7.0).all()
    assert not np.array_equal(f.get("P_post"), f.get("P_prior"))  # the two rows are not interchangeable
    assert_same_state(before, state_of(f))


def test_record_step_accepts_strided_and_larger_arrays():
    f = busy_filter(CubatureKalmanFilter)
    big = (
        np.full((4, 5), -7.0), np.full((3, 4, 3), -7.0, order="F"), np.full((4, 6), -7.0)[:, ::2],
        unaligned_copy(np.full((3, 3, 5), -7.0)), np.full(8, -7.0)[::2], np.full(6, -7.0)[::-1],
    )
    f.record_step(np.uint8(2), big)  # any integer with __index__
    np.testing.assert_array_equal(big[0][2, :3], f.get("x_post"))
    assert (big[0][:, 3:] == -7.0).all()
    np.testing.assert_array_equal(big[1][2, :3, :], f.get("P_post"))
    assert (big[1][2, 3:, :] == -7.0).all()
    np.testing.assert_array_equal(big[2][2], f.get("x_prior"))
    np.testing.assert_array_equal(big[3][2, :, :3], f.get("P_prior"))
    assert big[4][2] == f.get("log_likelihood")
    assert big[5].base[3] == f.get("nis")  # index 2 of the reversed view


@BOTH
def test_record_step_rejects_malformed_out_before_writing(cls):
    f = busy_filter(cls)
    out = outputs(2, 3)
    with pytest.raises(TypeError, match="^argument 'out': "):
        f.record_step(0, list(out))
    for short_or_long in (out[:5], out + (out[0],)):
        with pytest.raises(ValueError) as e:
            f.record_step(0, short_or_long)
        assert str(e.value) == f"expected tuple of length 6, but got tuple of length {len(short_or_long)}"
    for k, bad in [(1, np.zeros((2, 3))), (4, np.zeros((2, 1))), (5, np.zeros(2, dtype=np.float32)),
                   (3, [[[0.0]]])]:
        with pytest.raises(TypeError) as e:
            f.record_step(0, out[:k] + (bad,) + out[k + 1:])
        assert not str(e.value).startswith("argument")
    for i, exc in [(-1, OverflowError), (2**64, OverflowError), (1.0, TypeError), ("0", TypeError)]:
        with pytest.raises(exc) as e:
            f.record_step(i, out)
        assert exc is OverflowError or str(e.value).startswith("argument 'i': ")
    for a in out:
        assert (a == -7.0).all()


def assert_panic(excinfo):
    assert not isinstance(excinfo.value, Exception)
    assert type(excinfo.value).__name__ == "PanicException"


@BOTH
def test_record_step_index_out_of_range_panics_and_writes_nothing(cls):
    f = busy_filter(cls)
    before = state_of(f)
    out = outputs(4, 3)
    with pytest.raises(BaseException) as e:
        f.record_step(4, out)
    assert_panic(e)
    for a in out:
        assert (a == -7.0).all()
    assert_same_state(before, state_of(f))


def test_record_step_read_only_array_panics_after_earlier_rows():
    f = busy_filter(CubatureKalmanFilter)
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
    f = busy_filter(CubatureKalmanFilter)
    out = outputs(2, 3)
    out = out[:2] + (np.full((2, 2), -7.0),) + out[3:]  # one column short for x_prior
    with pytest.raises(BaseException) as e:
        f.record_step(1, out)
    assert_panic(e)
    np.testing.assert_array_equal(out[0][1], f.get("x_post"))
    np.testing.assert_array_equal(out[1][1], f.get("P_post"))
    np.testing.assert_array_equal(out[2][1], f.get("x_prior")[:2])
    assert (out[3] == -7.0).all() and (out[4] == -7.0).all()


def test_record_step_accepts_the_same_array_at_two_positions():
    # Borrows are taken one array at a time, so two positions may share one.
    f = busy_filter(CubatureKalmanFilter)
    shared = np.full(2, -7.0)
    f.record_step(1, outputs(2, 3)[:4] + (shared, shared))
    assert shared[1] == f.get("nis")


# ---------------------------------------------------------------------------
# Borrows and references


def test_read_methods_work_inside_a_callback_of_another_filter():
    f = busy_filter(CubatureKalmanFilter)
    g = busy_filter(CubatureKalmanFilter, seed=1)
    out = outputs(1, 3)
    seen = {}

    def fx(X, dt):
        seen["snap"] = f.snapshot()
        seen["copy"] = f.copy()
        f.record_step(0, out)
        return X

    g.predict_custom(fx)
    assert list(seen["snap"]) == fields_of(f)
    assert out[5][0] == f.get("nis")


@BOTH
def test_references_do_not_leak(cls):
    f = busy_filter(cls)
    snap = f.snapshot()
    bad = dict(snap, x=np.full(3, math.nan))
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
    assert same(f.get("nis"), snap["nis"])
