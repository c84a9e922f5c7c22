"""Snapshots, copies and step recording of both filter classes."""

import math
import sys

import numpy as np
import pytest

from vexel_ckf._native import CubatureKalmanFilter as CKF, SquareRootCubatureKalmanFilter as SR
from support import (BOTH, assert_message, assert_same_state, busy_filter, dt_of, error_of, fields_of, is_sr, outputs,
                     same, state_of, unaligned_copy)

ROW_FIELDS = ("x_post", "P_post", "x_prior", "P_prior", "log_likelihood", "nis")


@BOTH
@pytest.mark.parametrize("cleared", [False, True])
def test_snapshot_round_trip_into_a_fresh_filter_keeps_its_dt(cls, cleared):
    f = busy_filter(cls, dt=0.1)
    if cleared:
        f.clear_update_diagnostics()  # NaN z and diagnostics travel too
    snap = f.snapshot()
    assert type(snap) is dict and list(snap) == fields_of(f)
    assert type(snap["jitter_count"]) is int and type(snap["nis"]) is float
    assert_same_state(state_of(f), snap)
    g = cls(3, 2, 0.7)
    assert g.load_snapshot(snap) is None
    assert_same_state(state_of(f), state_of(g))
    assert dt_of(g) == 0.7
    snap["x"][:] = 99.0  # detached from both filters
    assert f.get("x")[0] != 99.0 and g.get("x")[0] != 99.0 and f.snapshot()["x"] is not snap["x"]


@BOTH
def test_partial_load_sets_only_present_fields(cls):
    f = busy_filter(cls)
    before = state_of(f)
    for state in ({}, {"dt": 5.0}, {"dim_x": 7, "p": np.eye(3), "X": np.zeros(3)}):  # nothing to load
        assert f.load_snapshot(state) is None
        assert_same_state(before, state_of(f))
    assert dt_of(f) == 0.1
    # Non-finite values load where set allows them.
    f.load_snapshot({"nis": math.inf, "x": np.arange(3.0), "jitter_count": 0, "K": np.full((3, 2), math.nan)})
    after = state_of(f)
    assert after["nis"] == math.inf and after["jitter_count"] == 0 and np.isnan(after["K"]).all()
    np.testing.assert_array_equal(after["x"], [0.0, 1.0, 2.0])
    assert_same_state(before, after, skip=("nis", "x", "jitter_count", "K"))


@BOTH
def test_load_stops_at_the_first_rejected_field(cls):
    # Fields load in table order: those before the rejected one are applied (x; and chol_P, hence its
    # product P, for the square-root filter).
    src, f = busy_filter(cls, seed=1), busy_filter(cls, seed=2)
    before = state_of(f)
    snap = src.snapshot()
    bad = "chol_Q" if is_sr(f) else "P"
    snap[bad] = np.full((3, 3), math.nan)
    assert str(error_of(lambda: f.load_snapshot(snap), ValueError)) == f"{bad} must contain only finite values"
    after = state_of(f)
    applied = {"x", "chol_P", "P"} if is_sr(f) else {"x"}
    for name in applied:
        np.testing.assert_array_equal(after[name], src.get(name))
    assert_same_state(before, after, skip=applied)


@BOTH
@pytest.mark.parametrize("state,exc,message", [
    ({"nis": None}, TypeError, None),
    ({"jitter_count": -1}, OverflowError, None),
    ({"K": [[0.0] * 2] * 3}, TypeError, None),
    ({"K": np.zeros((2, 3))}, ValueError, "K must have shape (3, 2), got (2, 3)"),
    ({"z_pred": np.zeros(4)[::2]}, TypeError, "The given array is not contiguous"),
    ({"x": np.full(3, math.inf)}, ValueError, "x must contain only finite values"),
    (list({"x": np.zeros(3)}.items()), TypeError, "argument 'state': "),
    (busy_filter(CKF, n=4).snapshot(), ValueError, "x must have length 3, got 4"),
])
def test_rejected_values_change_nothing(cls, state, exc, message):
    f = busy_filter(cls)
    before = state_of(f)
    e = error_of(lambda: f.load_snapshot(state), exc)
    if message is not None:
        assert_message(e, message)
    assert_same_state(before, state_of(f))


def test_square_root_load_reads_factors_never_products_and_refactors_nothing():
    f = busy_filter(SR)
    snap = dict(f.snapshot(), P=np.full((3, 3), np.nan), Q=-np.eye(3), S="not even an array")
    g = SR(3, 2, 0.1)
    g.load_snapshot(snap)
    assert_same_state(state_of(f), state_of(g))


def test_load_uses_plain_dict_lookup_and_its_own_references():
    hooks = []

    class Tricky(dict):
        __missing__ = __getitem__ = get = lambda self, key, default=None: hooks.append(key)

    f = busy_filter(CKF)
    before = state_of(f)
    f.load_snapshot(Tricky({"y": np.array([1.0, 2.0])}))
    assert hooks == []
    np.testing.assert_array_equal(f.get("y"), [1.0, 2.0])
    assert_same_state(before, state_of(f), skip=("y",))
    state = {}

    class Shrinking:
        def __float__(self):
            state.clear()  # drops the dict's reference to this very object
            return 1.25

    state["nis"], state["x"] = Shrinking(), np.ones(3)
    f.load_snapshot(state)
    assert f.get("nis") == 1.25
    np.testing.assert_array_equal(f.get("x"), np.ones(3))


def test_error_while_comparing_keys_ends_the_load():
    class Clash:
        def __hash__(self):
            return hash("P")

        def __eq__(self, other):
            raise LookupError("cannot compare")

    f = busy_filter(CKF)
    before = state_of(f)
    error_of(lambda: f.load_snapshot({"x": np.ones(3), Clash(): 1}), LookupError)
    after = state_of(f)
    np.testing.assert_array_equal(after["x"], np.ones(3))
    assert_same_state(before, after, skip=("x",))


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
    for array, name in zip(out, ROW_FIELDS):
        np.testing.assert_array_equal(array[3], f.get(name), err_msg=name)
        assert (np.delete(array, 3, axis=0) == -7.0).all()
    assert not np.array_equal(f.get("P_post"), f.get("P_prior"))  # the two rows are not interchangeable
    assert_same_state(before, state_of(f))


def test_record_step_accepts_strided_larger_and_shared_arrays():
    f = busy_filter(CKF)
    big = (np.full((4, 5), -7.0), np.full((3, 4, 3), -7.0, order="F"), np.full((4, 6), -7.0)[:, ::2],
           unaligned_copy(np.full((3, 3, 5), -7.0)), np.full(8, -7.0)[::2], np.full(6, -7.0)[::-1])
    f.record_step(np.uint8(2), big)  # any integer with __index__
    np.testing.assert_array_equal(big[0][2, :3], f.get("x_post"))
    assert (big[0][:, 3:] == -7.0).all()
    np.testing.assert_array_equal(big[1][2, :3, :], f.get("P_post"))
    assert (big[1][2, 3:, :] == -7.0).all()
    np.testing.assert_array_equal(big[2][2], f.get("x_prior"))
    np.testing.assert_array_equal(big[3][2, :, :3], f.get("P_prior"))
    assert big[4][2] == f.get("log_likelihood")
    assert big[5].base[3] == f.get("nis")  # index 2 of the reversed view
    shared = np.full(2, -7.0)  # borrows are taken one array at a time, so two positions may share one
    f.record_step(1, outputs(2, 3)[:4] + (shared, shared))
    assert shared[1] == f.get("nis")


@BOTH
def test_record_step_rejects_malformed_out_before_writing(cls):
    f, out = busy_filter(cls), outputs(2, 3)
    assert str(error_of(lambda: f.record_step(0, list(out)), TypeError)).startswith("argument 'out': ")
    for wrong in (out[:5], out + (out[0],)):
        assert str(error_of(lambda: f.record_step(0, wrong), ValueError)) == \
            f"expected tuple of length 6, but got tuple of length {len(wrong)}"
    for k, bad in [(1, np.zeros((2, 3))), (4, np.zeros((2, 1))), (5, np.zeros(2, dtype=np.float32)), (3, [[[0.0]]])]:
        assert not str(error_of(lambda: f.record_step(0, out[:k] + (bad,) + out[k + 1:]), TypeError)).startswith("arg")
    for i, exc in [(-1, OverflowError), (2**64, OverflowError), (1.0, TypeError), ("0", TypeError)]:
        assert exc is OverflowError or str(error_of(lambda: f.record_step(i, out), exc)).startswith("argument 'i': ")
    assert all((a == -7.0).all() for a in out)


def _read_only_x_prior(out):
    out[2].flags.writeable = False
    return out


def _short_x_prior(out):
    return out[:2] + (np.full((2, 2), -7.0),) + out[3:]  # one column short for x_prior


# An index out of range writes nothing; an unwritable or too small array after the rows written before it.
@pytest.mark.parametrize("cls, i, broken, written", [
    (CKF, 2, lambda out: out, 0), (SR, 2, lambda out: out, 0), (CKF, 1, _read_only_x_prior, 2),
    (CKF, 1, _short_x_prior, 2)])
def test_record_step_panics_on_what_its_checks_let_through(cls, i, broken, written):
    f = busy_filter(cls)
    before = state_of(f)
    out = broken(outputs(2, 3))
    e = error_of(lambda: f.record_step(i, out), BaseException)
    assert not isinstance(e, Exception) and type(e).__name__ == "PanicException"
    for k, (array, name) in enumerate(zip(out, ROW_FIELDS)):
        if k < written:
            np.testing.assert_array_equal(array[i], f.get(name))
        else:
            assert (array == -7.0).all() or (k == 2 and broken is _short_x_prior)
    assert_same_state(before, state_of(f))


# ---------------------------------------------------------------------------
# Borrows and references


def test_read_methods_work_inside_a_callback_of_another_filter():
    f, g = busy_filter(CKF), busy_filter(CKF, seed=1)
    out = outputs(1, 3)
    seen = {}

    def fx(X, dt):
        seen["snap"], seen["copy"] = f.snapshot(), f.copy()
        f.record_step(0, out)
        return X

    g.predict_custom(fx)
    assert list(seen["snap"]) == fields_of(f) and out[5][0] == f.get("nis")


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
        error_of(lambda: f.load_snapshot(bad), ValueError)
        error_of(lambda: f.record_step(0, short), ValueError)
        error_of(lambda: f.record_step(3, out), BaseException)

    run()
    counts = [sys.getrefcount(o) for o in objs]
    for _ in range(30):
        run()
    assert [sys.getrefcount(o) for o in objs] == counts
    assert same(f.get("nis"), snap["nis"])
