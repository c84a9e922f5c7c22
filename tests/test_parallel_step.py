"""batch_parallel_step: each row is one textbook step of its own filter,
with the per-filter status codes of the bank."""

import sys

import numpy as np
import pytest

from vexel_ckf import _native
from batch_reference import kalman_predict, kalman_update, random_bank as bank, strided

batch_parallel_step = _native.batch_parallel_step
NAN, INF = np.nan, np.inf


def reference_step(x, p, z, f, h, q, r, inverse=np.linalg.inv):
    return kalman_update(*kalman_predict(x, p, f, q), z, h, r, inverse=inverse)


@pytest.mark.parametrize("n, m", [(1, 1), (2, 2), (3, 1), (4, 2), (4, 4), (5, 3), (6, 6), (12, 6), (18, 3), (2, 5)])
def test_each_row_is_one_textbook_step(n, m):
    args = bank(np.random.default_rng(10 * n + m), 40, n, m)
    xs_new, ps_new, lls, status = batch_parallel_step(*args)
    assert status.dtype == np.int64 and not status.any()
    for i in range(40):
        x, p, ll = reference_step(*(a[i] for a in args[:3]), *args[3:])
        np.testing.assert_allclose(xs_new[i], x, rtol=1e-9, atol=1e-11)
        np.testing.assert_allclose(ps_new[i], p, rtol=1e-9, atol=1e-11)
        assert lls[i] == pytest.approx(ll, rel=1e-9, abs=1e-9)


@pytest.mark.parametrize("count", [7, 70_001])  # small and multi-megabyte result buffers
def test_every_row_equals_its_filter_stepped_alone(count):
    args = bank(np.random.default_rng(1), 7, 4, 2)
    if count > 7:
        args = tuple(np.resize(a, (count,) + a.shape[1:]) for a in args[:3]) + args[3:]
        args[0][::3] += 1.0  # rows differ, so a misplaced row would show
    out = batch_parallel_step(*args)
    assert all(a.flags["C_CONTIGUOUS"] and a.flags["WRITEABLE"] and a.flags["OWNDATA"] for a in out)
    assert np.array_equal(out[1], np.swapaxes(out[1], 1, 2))
    for i in sorted({0, 1, 2, count // 2, count - 2, count - 1}):
        alone = batch_parallel_step(*(a[i : i + 1] for a in args[:3]), *args[3:])
        assert all(a[i].tobytes() == b[0].tobytes() for a, b in zip(out, alone))


def mixed_bank():
    """Row 0 ordinary; rows 1-4 a NaN or inf in x or P (upper triangle too); row 5 a NaN in z."""
    xs, ps, zs, f, h, q, r = bank(np.random.default_rng(3), 6, 2, 2)
    xs[1, 1], xs[2, 0], ps[3, 0, 1], ps[4, 1, 1], zs[5, 0] = NAN, -INF, NAN, INF, NAN
    return xs, ps, zs, f, h, q, r


def singular_bank():
    # x = 0, P = I, F = I, Q = 0, H with both rows (1, 0), R = 0: S = [[1, 1], [1, 1]] exactly.
    return np.zeros((2, 2)), np.repeat(np.eye(2)[None], 2, axis=0), np.array([[1.0, 1.0], [2.0, 0.0]]), \
        np.eye(2), np.array([[1.0, 0.0], [1.0, 0.0]]), np.zeros((2, 2)), np.zeros((2, 2))


def indefinite_bank():
    # S = P + R = [[0.5, 2], [2, 0.5]]: invertible but not positive definite.
    return np.array([[0.0, 0.0], [1.0, 0.0]]), np.repeat(0.5 * np.eye(2)[None], 2, axis=0), \
        np.array([[1.0, -1.0], [0.0, 2.0]]), np.eye(2), np.eye(2), np.zeros((2, 2)), np.array([[0.0, 2.0], [2.0, 0.0]])


def no_stage_bank():
    # S = diag(0, s, s, s, s): the zero row defeats Cholesky and LU. With P = I the
    # pseudo-inverse succeeds; with P = 1e307 I the other diagonal entries overflow
    # to infinity and the SVD refuses it.
    return np.ones((2, 5)), np.array([np.eye(5), 1e307 * np.eye(5)]), np.ones((2, 5)), 2.0 * np.eye(5), \
        np.diag([0.0, 10, 10, 10, 10]), np.zeros((5, 5)), np.diag([0.0, 1, 1, 1, 1])


# Per row: the status, and what the row holds: "step" the textbook step (its
# log-likelihood too), "pinv"/"inv" the step with that inverse of S and a
# log-likelihood of -inf, "same" the input untouched with a NaN log-likelihood,
# "predict" the prediction alone with -inf.
STATUS_CASES = [
    (mixed_bank, [0, 3, 3, 3, 3, 3], ["step", "same", "same", "same", "same", "predict"]),
    (singular_bank, [1, 1], ["pinv", "pinv"]),
    (indefinite_bank, [1, 1], ["inv", "inv"]),
    (no_stage_bank, [1, 2], ["pinv", "predict"]),
]


@pytest.mark.parametrize("make, statuses, rows", STATUS_CASES, ids=lambda v: getattr(v, "__name__", None))
def test_status_codes_and_their_outputs(make, statuses, rows):
    xs, ps, zs, f, h, q, r = args = make()
    xs_new, ps_new, lls, status = batch_parallel_step(*args)
    assert status.tolist() == statuses
    for i, kind in enumerate(rows):
        if kind == "same":  # bit for bit, NaN included
            assert xs_new[i].tobytes() == xs[i].tobytes() and ps_new[i].tobytes() == ps[i].tobytes()
            assert np.isnan(lls[i])
            continue
        if kind == "predict":
            x, p = kalman_predict(xs[i], ps[i], f, q)
        else:
            x, p, ll = reference_step(xs[i], ps[i], zs[i], f, h, q, r, np.linalg.pinv if kind == "pinv" else np.linalg.inv)
        assert lls[i] == (pytest.approx(ll, rel=1e-12) if kind == "step" else -INF)
        np.testing.assert_allclose(xs_new[i], x, rtol=1e-12, atol=1e-14)
        np.testing.assert_allclose(ps_new[i], p, rtol=1e-12, atol=1e-14)
        assert np.array_equal(ps_new[i], ps_new[i].T)


def test_strided_and_broadcast_inputs_are_read_through_their_strides():
    args = bank(np.random.default_rng(5), 9, 3, 2)
    expected = batch_parallel_step(*args)
    xs, ps, zs, f, h, q, r = args
    got = batch_parallel_step(np.asfortranarray(xs), strided(ps), zs[::-1][::-1].T.copy().T, f.T.copy().T,
                              np.asfortranarray(h), q, r)
    assert all(g.flags["C_CONTIGUOUS"] and np.array_equal(e, g) for e, g in zip(expected, got))
    one = tuple(a[:1] for a in args[:3])
    views = tuple(np.broadcast_to(a[0], (6,) + a.shape[1:]) for a in one)
    for a, b in zip(batch_parallel_step(*views, f, h, q, r), batch_parallel_step(*one, f, h, q, r)):
        assert np.array_equal(a, np.repeat(b, 6, axis=0))


def test_inputs_are_unchanged_outputs_are_fresh_and_no_reference_leaks():
    args = bank(np.random.default_rng(6), 4, 2, 1)
    copies = [a.copy() for a in args]
    counts = [sys.getrefcount(a) for a in args]
    for _ in range(5):
        out = batch_parallel_step(*args)
    # Held by the tuple, the loop variable and the call only.
    assert [sys.getrefcount(a) for a in out] == [3, 3, 3, 3]
    out[0][...] = 0.0
    assert not np.array_equal(batch_parallel_step(*args)[0], out[0])
    f_bad = args[3].copy()
    f_bad[0, 0] = NAN
    with pytest.raises(ValueError):
        batch_parallel_step(*args[:3], f_bad, *args[4:])
    assert [sys.getrefcount(a) for a in args] == counts
    assert all(np.array_equal(a, c) for a, c in zip(args, copies))
