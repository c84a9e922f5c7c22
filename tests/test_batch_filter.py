"""batch_filter_linear against a textbook Joseph-form Kalman filter."""

import numpy as np
import pytest

from vexel_ckf import _native
from batch_reference import kalman_filter, kalman_update, random_linear_problem

batch_filter_linear = _native.batch_filter_linear


@pytest.mark.parametrize(
    "n, m",
    [(1, 1), (2, 1), (2, 2), (3, 2), (4, 1), (4, 2), (4, 4), (5, 2), (6, 3), (7, 3), (12, 6), (17, 5), (3, 5)],
)
def test_matches_textbook_filter_step_by_step(n, m):
    rng = np.random.default_rng(100 * n + m)
    args = random_linear_problem(rng, n, m, steps=25)
    xs, ps, lls = batch_filter_linear(*args)
    ref_xs, ref_ps, ref_lls = kalman_filter(*args)
    assert xs.shape == (25, n) and ps.shape == (25, n, n) and lls.shape == (25,)
    np.testing.assert_allclose(xs, ref_xs, rtol=1e-9, atol=1e-11)
    np.testing.assert_allclose(ps, ref_ps, rtol=1e-9, atol=1e-11)
    np.testing.assert_allclose(lls, ref_lls, rtol=1e-9, atol=1e-9)


def test_outputs_are_new_c_ordered_and_exactly_symmetric():
    rng = np.random.default_rng(1)
    args = random_linear_problem(rng, 4, 2, steps=50)
    xs, ps, lls = batch_filter_linear(*args)
    for a in (xs, ps, lls):
        assert a.dtype == np.float64 and a.flags["C_CONTIGUOUS"] and a.flags["OWNDATA"]
    assert np.array_equal(ps, np.swapaxes(ps, 1, 2))


def test_strided_and_transposed_inputs_give_the_same_result():
    rng = np.random.default_rng(2)
    args = random_linear_problem(rng, 3, 2, steps=10)
    expected = batch_filter_linear(*args)

    def strided(a):
        # Same values, reached through non-unit strides of every axis.
        big = np.zeros(tuple(2 * d for d in a.shape))
        view = big[tuple(slice(None, None, 2) for _ in a.shape)]
        view[...] = a
        return view

    def fortran(a):
        return np.asfortranarray(a)

    x0, p0, zs, fs, hs, qs, rs = args
    got = batch_filter_linear(strided(x0), fortran(p0), strided(zs), strided(fs), fortran(hs), fortran(qs),
                              strided(rs))
    for e, g in zip(expected, got):
        assert g.flags["C_CONTIGUOUS"]
        assert np.array_equal(e, g)


def test_single_step_with_identity_transition_is_one_update():
    x0 = np.array([1.0, -2.0])
    p0 = np.array([[2.0, 0.3], [0.3, 1.0]])
    z = np.array([[0.5]])
    h = np.array([[[1.0, 1.0]]])
    r = np.array([[[0.25]]])
    xs, ps, lls = batch_filter_linear(x0, p0, z, np.eye(2)[None], h, np.zeros((1, 2, 2)), r)
    s = h[0] @ p0 @ h[0].T + r[0]
    k = p0 @ h[0].T / s[0, 0]
    y = z[0] - h[0] @ x0
    np.testing.assert_allclose(xs[0], x0 + k @ y, rtol=1e-14)
    assert lls[0] == pytest.approx(-0.5 * (y[0] ** 2 / s[0, 0] + np.log(s[0, 0]) + np.log(2 * np.pi)), rel=1e-13)


def test_first_transition_moves_the_prior():
    rng = np.random.default_rng(3)
    x0, p0, zs, fs, hs, qs, rs = random_linear_problem(rng, 2, 1, steps=1)
    fs[0] = np.array([[1.0, 1.0], [0.0, 1.0]])
    moved = batch_filter_linear(x0, p0, zs, fs, hs, qs, rs)
    fixed = batch_filter_linear(x0, p0, zs, np.eye(2)[None], hs, np.zeros((1, 2, 2)), rs)
    assert not np.allclose(moved[0], fixed[0])
    np.testing.assert_allclose(moved[0], kalman_filter(x0, p0, zs, fs, hs, qs, rs)[0], rtol=1e-12)


def test_singular_innovation_uses_the_fallback_inverse_and_reports_minus_infinity():
    steps = 3
    fs = np.repeat(np.eye(2)[None], steps, axis=0)
    qs = np.zeros((steps, 2, 2))
    hs = np.repeat(np.eye(2)[None], steps, axis=0)
    hs[0] = [[1.0, 0.0], [1.0, 0.0]]
    rs = np.repeat(np.eye(2)[None], steps, axis=0)
    rs[0] = 0.0
    zs = np.array([[1.0, 1.0], [0.5, -0.5], [0.2, 0.1]])
    xs, ps, lls = batch_filter_linear(np.zeros(2), np.eye(2), zs, fs, hs, qs, rs)
    # Step 0: S = [[1, 1], [1, 1]] is singular; the pseudo-inverse is used.
    assert lls[0] == -np.inf
    ref = kalman_update(np.zeros(2), np.eye(2), zs[0], hs[0], rs[0], inverse=np.linalg.pinv)
    np.testing.assert_allclose(xs[0], ref[0], atol=1e-14)
    np.testing.assert_allclose(ps[0], ref[1], atol=1e-14)
    # Later steps continue normally.
    assert np.all(np.isfinite(lls[1:]))


def test_indefinite_innovation_reports_minus_infinity_with_general_inverse():
    # S = P + R = [[0.5, 2], [2, 0.5]] is invertible but not positive definite.
    p0 = 0.5 * np.eye(2)
    rs = np.array([[[0.0, 2.0], [2.0, 0.0]]])
    zs = np.array([[1.0, -1.0]])
    xs, ps, lls = batch_filter_linear(np.zeros(2), p0, zs, np.eye(2)[None], np.eye(2)[None],
                                      np.zeros((1, 2, 2)), rs)
    assert lls[0] == -np.inf
    s = p0 + rs[0]
    k = p0 @ np.linalg.inv(s)
    np.testing.assert_allclose(xs[0], k @ zs[0], rtol=1e-14)


def test_an_innovation_no_stage_can_invert_fails_the_call():
    # Step 1: S = diag(0, inf, inf, inf, inf) (overflow): Cholesky and LU stop
    # at the zero row, the SVD refuses the infinities.
    steps = 3
    hs = np.repeat(np.eye(5)[None], steps, axis=0)
    hs[1] = np.diag([0.0, 10, 10, 10, 10])
    rs = np.repeat(np.eye(5)[None], steps, axis=0)
    rs[1, 0, 0] = 0.0
    fs = np.repeat(np.eye(5)[None], steps, axis=0)
    fs[1] *= 4.5e153  # P: 0.5 I after step 0, about 1e307 I predicted at step 1
    with pytest.raises(RuntimeError) as info:
        batch_filter_linear(np.ones(5), np.eye(5), np.ones((steps, 5)), fs, hs, np.zeros((steps, 5, 5)), rs)
    assert str(info.value) == "failed to invert innovation covariance"


def test_does_not_change_its_inputs_or_leak_references():
    import sys

    rng = np.random.default_rng(4)
    args = random_linear_problem(rng, 3, 2, steps=5)
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
    for a, c in zip(args, copies):
        assert np.array_equal(a, c)


def test_same_array_may_serve_several_arguments():
    # fs and qs are the same object: shared read borrows.
    stack = np.repeat((0.5 * np.eye(2))[None], 4, axis=0)
    zs = np.ones((4, 2))
    xs, ps, lls = batch_filter_linear(np.zeros(2), np.eye(2), zs, stack, stack, stack, stack)
    ref = kalman_filter(np.zeros(2), np.eye(2), zs, stack, stack, stack, stack)
    np.testing.assert_allclose(xs, ref[0], rtol=1e-12)


def test_output_feeds_rts_smooth_without_reshaping():
    rng = np.random.default_rng(5)
    x0, p0, zs, fs, hs, qs, rs = random_linear_problem(rng, 3, 1, steps=8)
    xs, ps, _ = batch_filter_linear(x0, p0, zs, fs, hs, qs, rs)
    xs_s, ps_s = _native.rts_smooth(xs, ps, fs, qs)
    assert xs_s.shape == xs.shape and ps_s.shape == ps.shape
    assert np.array_equal(xs_s[-1], xs[-1]) and np.array_equal(ps_s[-1], ps[-1])
