"""batch_parallel_step: each row is one textbook step of its own filter,
with the per-filter status codes of the bank."""

import numpy as np
import pytest

from vexel_ckf import _native
from batch_reference import kalman_predict, kalman_update, random_spd

batch_parallel_step = _native.batch_parallel_step


def bank(rng, count, n, m):
    xs = rng.standard_normal((count, n))
    ps = np.array([random_spd(rng, n) for _ in range(count)])
    zs = rng.standard_normal((count, m))
    f = np.eye(n) + 0.1 * rng.standard_normal((n, n))
    h = rng.standard_normal((m, n))
    q = random_spd(rng, n, 0.05)
    r = random_spd(rng, m, 0.2)
    return xs, ps, zs, f, h, q, r


def reference_step(x, p, z, f, h, q, r, inverse=np.linalg.inv):
    xp, pp = kalman_predict(x, p, f, q)
    return kalman_update(xp, pp, z, h, r, inverse=inverse)


@pytest.mark.parametrize("n, m", [(1, 1), (2, 2), (3, 1), (4, 2), (4, 4), (5, 3), (6, 6), (12, 6), (18, 3), (2, 5)])
def test_each_row_is_one_textbook_step(n, m):
    rng = np.random.default_rng(10 * n + m)
    args = bank(rng, 40, n, m)
    xs_new, ps_new, lls, status = batch_parallel_step(*args)
    assert status.dtype == np.int64 and np.array_equal(status, np.zeros(40, dtype=np.int64))
    xs, ps, zs, f, h, q, r = args
    for i in range(40):
        x, p, ll = reference_step(xs[i], ps[i], zs[i], f, h, q, r)
        np.testing.assert_allclose(xs_new[i], x, rtol=1e-9, atol=1e-11)
        np.testing.assert_allclose(ps_new[i], p, rtol=1e-9, atol=1e-11)
        assert lls[i] == pytest.approx(ll, rel=1e-9, abs=1e-9)


@pytest.mark.parametrize("count", [7, 70_001])  # small and multi-megabyte result buffers
def test_outputs_types_shapes_ownership_and_symmetry(count):
    rng = np.random.default_rng(1)
    args = bank(rng, 7, 4, 2)
    if count > 7:
        args = tuple(np.resize(a, (count,) + a.shape[1:]) for a in args[:3]) + args[3:]
        args[0][::3] += 1.0  # rows differ, so a misplaced row would show
    out = batch_parallel_step(*args)
    shapes = [(count, 4), (count, 4, 4), (count,), (count,)]
    dtypes = [np.float64, np.float64, np.float64, np.int64]
    for a, shape, dtype in zip(out, shapes, dtypes):
        assert a.shape == shape and a.dtype == dtype
        assert a.flags["C_CONTIGUOUS"] and a.flags["WRITEABLE"] and a.flags["OWNDATA"] and a.base is None
    assert np.array_equal(out[1], np.swapaxes(out[1], 1, 2))
    # Every row equals the same filter stepped in a bank of its own.
    for i in sorted({0, 1, 2, count // 2, count - 2, count - 1}):
        alone = batch_parallel_step(*(a[i : i + 1] for a in args[:3]), *args[3:])
        for a, b in zip(out, alone):
            assert a[i].tobytes() == b[0].tobytes()


def test_single_filter():
    rng = np.random.default_rng(2)
    args = bank(rng, 1, 2, 1)
    xs_new, ps_new, lls, status = batch_parallel_step(*args)
    x, p, ll = reference_step(*(a[0] for a in args[:3]), *args[3:])
    np.testing.assert_allclose(xs_new[0], x, rtol=1e-12)
    assert status.tolist() == [0]


@pytest.mark.parametrize(
    "where",
    [("xs", (2, 1), np.nan), ("xs", (2, 0), -np.inf), ("ps", (0, 1, 1), np.inf), ("ps", (0, 0, 1), np.nan)],
)
def test_non_finite_prior_is_returned_unchanged_with_nan_likelihood(where):
    name, index, value = where
    rng = np.random.default_rng(3)
    xs, ps, zs, f, h, q, r = bank(rng, 5, 2, 2)
    target = xs if name == "xs" else ps
    target[index] = value
    xs_new, ps_new, lls, status = batch_parallel_step(xs, ps, zs, f, h, q, r)
    bad = index[0]
    assert status[bad] == 3
    assert np.isnan(lls[bad])
    # Bit for bit, NaN included.
    assert xs_new[bad].tobytes() == xs[bad].tobytes()
    assert ps_new[bad].tobytes() == ps[bad].tobytes()
    others = [i for i in range(5) if i != bad]
    assert np.all(status[others] == 0) and np.all(np.isfinite(lls[others]))
    for i in others:
        x, p, _ = reference_step(xs[i], ps[i], zs[i], f, h, q, r)
        np.testing.assert_allclose(xs_new[i], x, rtol=1e-10)


def test_non_finite_measurement_returns_the_prediction_with_minus_infinity():
    rng = np.random.default_rng(4)
    xs, ps, zs, f, h, q, r = bank(rng, 3, 3, 2)
    zs[1, 0] = np.nan
    xs_new, ps_new, lls, status = batch_parallel_step(xs, ps, zs, f, h, q, r)
    assert status.tolist() == [0, 3, 0]
    assert lls[1] == -np.inf
    xp, pp = kalman_predict(xs[1], ps[1], f, q)
    np.testing.assert_allclose(xs_new[1], xp, rtol=1e-13)
    np.testing.assert_allclose(ps_new[1], pp, rtol=1e-13)
    assert np.array_equal(ps_new[1], ps_new[1].T)


def test_singular_innovation_gives_status_one_and_pseudo_inverse_posterior():
    # x = 0, P = I, F = I, Q = 0, H with both rows (1, 0), R = 0:
    # S = [[1, 1], [1, 1]] exactly.
    xs = np.zeros((2, 2))
    ps = np.array([np.eye(2), np.eye(2)])
    zs = np.array([[1.0, 1.0], [2.0, 0.0]])
    h = np.array([[1.0, 0.0], [1.0, 0.0]])
    xs_new, ps_new, lls, status = batch_parallel_step(xs, ps, zs, np.eye(2), h, np.zeros((2, 2)), np.zeros((2, 2)))
    assert status.tolist() == [1, 1]
    assert lls.tolist() == [-np.inf, -np.inf]
    for i in range(2):
        x, p, _ = reference_step(xs[i], ps[i], zs[i], np.eye(2), h, np.zeros((2, 2)), np.zeros((2, 2)),
                                 inverse=np.linalg.pinv)
        np.testing.assert_allclose(xs_new[i], x, atol=1e-14)
        np.testing.assert_allclose(ps_new[i], p, atol=1e-14)


def test_indefinite_innovation_gives_status_one_with_general_inverse():
    xs = np.array([[0.0, 0.0], [1.0, 0.0]])
    ps = np.array([0.5 * np.eye(2), 0.5 * np.eye(2)])
    zs = np.array([[1.0, -1.0], [0.0, 2.0]])
    r = np.array([[0.0, 2.0], [2.0, 0.0]])
    z2 = np.zeros((2, 2))
    xs_new, ps_new, lls, status = batch_parallel_step(xs, ps, zs, np.eye(2), np.eye(2), z2, r)
    assert status.tolist() == [1, 1] and lls.tolist() == [-np.inf, -np.inf]
    for i in range(2):
        x, p, _ = reference_step(xs[i], ps[i], zs[i], np.eye(2), np.eye(2), z2, r)
        np.testing.assert_allclose(xs_new[i], x, rtol=1e-13)
        np.testing.assert_allclose(ps_new[i], p, rtol=1e-13, atol=1e-15)


def test_innovation_no_stage_can_invert_gives_status_two_and_the_prediction():
    # S = diag(0, s, s, s, s): the zero row defeats Cholesky and LU.  With
    # P = I the pseudo-inverse succeeds (status 1); with P = 1e307 I the other
    # diagonal entries overflow to infinity and the SVD refuses it (status 2).
    n = 5
    xs = np.ones((2, n))
    ps = np.array([np.eye(n), 1e307 * np.eye(n)])
    zs = np.ones((2, n))
    f, q = 2.0 * np.eye(n), np.zeros((n, n))
    h, r = np.diag([0.0, 10, 10, 10, 10]), np.diag([0.0, 1, 1, 1, 1])
    xs_new, ps_new, lls, status = batch_parallel_step(xs, ps, zs, f, h, q, r)
    assert status.tolist() == [1, 2] and lls.tolist() == [-np.inf, -np.inf]
    assert np.array_equal(xs_new[1], 2.0 * xs[1]) and np.array_equal(ps_new[1], 4.0 * ps[1])
    x, p, _ = reference_step(xs[0], ps[0], zs[0], f, h, q, r, inverse=np.linalg.pinv)
    np.testing.assert_allclose(xs_new[0], x, rtol=1e-13)


def test_strided_inputs_give_the_same_result_as_c_ordered_ones():
    rng = np.random.default_rng(5)
    args = bank(rng, 9, 3, 2)
    expected = batch_parallel_step(*args)
    xs, ps, zs, f, h, q, r = args
    big = np.zeros((18, 6, 6))
    ps_s = big[::2, ::2, ::2]
    ps_s[...] = ps
    got = batch_parallel_step(np.asfortranarray(xs), ps_s, zs[::-1][::-1].T.copy().T, f.T.copy().T,
                              np.asfortranarray(h), q, r)
    for e, g in zip(expected, got):
        assert g.flags["C_CONTIGUOUS"]
        assert np.array_equal(e, g)


def test_inputs_are_not_modified_and_outputs_are_independent():
    rng = np.random.default_rng(6)
    args = bank(rng, 4, 2, 1)
    copies = [a.copy() for a in args]
    out = batch_parallel_step(*args)
    for a, c in zip(args, copies):
        assert np.array_equal(a, c)
    out[0][...] = 0.0
    again = batch_parallel_step(*args)
    assert not np.array_equal(again[0], out[0])


def test_no_reference_is_leaked():
    import sys

    rng = np.random.default_rng(7)
    args = bank(rng, 4, 2, 1)
    counts = [sys.getrefcount(a) for a in args]
    for _ in range(5):
        out = batch_parallel_step(*args)
    # Held by the tuple, the loop variable and the call only.
    assert [sys.getrefcount(a) for a in out] == [3, 3, 3, 3]
    f_bad = args[3].copy()
    f_bad[0, 0] = np.nan
    with pytest.raises(ValueError):
        batch_parallel_step(*args[:3], f_bad, *args[4:])
    assert [sys.getrefcount(a) for a in args] == counts


def test_broadcast_inputs_are_read_through_their_strides():
    rng = np.random.default_rng(8)
    xs, ps, zs, f, h, q, r = bank(rng, 1, 3, 2)
    views = (np.broadcast_to(xs[0], (6, 3)), np.broadcast_to(ps[0], (6, 3, 3)), np.broadcast_to(zs[0], (6, 2)))
    out = batch_parallel_step(*views, f, h, q, r)
    single = batch_parallel_step(xs, ps, zs, f, h, q, r)
    for a, b in zip(out, single):
        assert np.array_equal(a, np.repeat(b, 6, axis=0))
