"""batch_filter_linear against a textbook Joseph-form Kalman filter."""

import sys

import numpy as np
import pytest

from vexel_ckf import _native
from batch_reference import kalman_filter, kalman_update, random_linear_problem, strided

batch_filter_linear = _native.batch_filter_linear


@pytest.mark.parametrize(
    "n, m",
    [(1, 1), (2, 1), (2, 2), (3, 2), (4, 1), (4, 2), (4, 4), (5, 2), (6, 3), (7, 3), (12, 6), (17, 5), (3, 5)],
)
def test_matches_textbook_filter_step_by_step(n, m):
    args = random_linear_problem(np.random.default_rng(100 * n + m), n, m, steps=25)
    for got, want in zip(batch_filter_linear(*args), kalman_filter(*args)):
        np.testing.assert_allclose(got, want, rtol=1e-9, atol=1e-10)


def test_strided_inputs_give_the_same_new_c_ordered_symmetric_outputs():
    args = random_linear_problem(np.random.default_rng(2), 3, 2, steps=10)
    expected = batch_filter_linear(*args)
    x0, p0, zs, fs, hs, qs, rs = args
    f = np.asfortranarray
    got = batch_filter_linear(strided(x0), f(p0), strided(zs), strided(fs), f(hs), f(qs), strided(rs))
    for e, g in zip(expected, got):
        assert g.flags["C_CONTIGUOUS"] and g.flags["OWNDATA"] and np.array_equal(e, g)
    assert np.array_equal(got[1], np.swapaxes(got[1], 1, 2))


# Step 0 with F = I, Q = 0, P0 = I; later steps are ordinary.
@pytest.mark.parametrize("h0, r0, inverse", [
    ([[1.0, 0.0], [1.0, 0.0]], np.zeros((2, 2)), np.linalg.pinv),  # S = [[1, 1], [1, 1]]: singular
    (np.eye(2), [[0.0, 2.0], [2.0, 0.0]], np.linalg.inv),  # S = [[1, 2], [2, 1]]: invertible, indefinite
], ids=["singular", "indefinite"])
def test_a_non_positive_definite_innovation_uses_the_fallback_inverse_and_reports_minus_infinity(h0, r0, inverse):
    x0, p0, zs, fs, hs, qs, rs = random_linear_problem(np.random.default_rng(3), 2, 2, steps=3)
    p0, fs[0], qs[0], hs[0], rs[0] = np.eye(2), np.eye(2), 0.0, h0, r0
    xs, ps, lls = batch_filter_linear(x0, p0, zs, fs, hs, qs, rs)
    x, p, _ = kalman_update(x0, p0, zs[0], hs[0], rs[0], inverse=inverse)
    assert lls[0] == -np.inf
    np.testing.assert_allclose(xs[0], x, rtol=1e-13, atol=1e-14)
    np.testing.assert_allclose(ps[0], p, rtol=1e-13, atol=1e-14)
    ref = kalman_filter(xs[0], ps[0], zs[1:], fs[1:], hs[1:], qs[1:], rs[1:])
    np.testing.assert_allclose(lls[1:], ref[2], rtol=1e-12)


def test_an_innovation_no_stage_can_invert_fails_the_call():
    # Step 1: S = diag(0, inf, inf, inf, inf) (overflow): Cholesky and LU stop
    # at the zero row, the SVD refuses the infinities.
    eye = np.repeat(np.eye(5)[None], 3, axis=0)
    hs, rs, fs = eye.copy(), eye.copy(), eye.copy()
    hs[1], rs[1, 0, 0] = np.diag([0.0, 10, 10, 10, 10]), 0.0
    fs[1] *= 4.5e153  # P: 0.5 I after step 0, about 1e307 I predicted at step 1
    with pytest.raises(RuntimeError) as info:
        batch_filter_linear(np.ones(5), np.eye(5), np.ones((3, 5)), fs, hs, 0 * eye, rs)
    assert str(info.value) == "failed to invert innovation covariance"


def test_inputs_are_unchanged_and_no_reference_leaks():
    args = random_linear_problem(np.random.default_rng(4), 3, 2, steps=5)
    copies = [a.copy() for a in args]
    counts = [sys.getrefcount(a) for a in args]
    for _ in range(3):
        batch_filter_linear(*args)
    bad = list(args)
    bad[2] = args[2].copy()
    bad[2][1, 0] = np.nan
    with pytest.raises(ValueError):
        batch_filter_linear(*bad)
    del bad
    assert [sys.getrefcount(a) for a in args] == counts
    assert all(np.array_equal(a, c) for a, c in zip(args, copies))


def test_same_array_may_serve_several_arguments():
    stack = np.repeat((0.5 * np.eye(2))[None], 4, axis=0)  # fs, hs, qs and rs: shared read borrows
    args = (np.zeros(2), np.eye(2), np.ones((4, 2)), stack, stack, stack, stack)
    np.testing.assert_allclose(batch_filter_linear(*args)[0], kalman_filter(*args)[0], rtol=1e-12)
