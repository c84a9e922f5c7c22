"""rts_smooth against a direct solve of the joint Gaussian of all states."""

import numpy as np
import pytest

from vexel_ckf import _native
from batch_reference import joint_smoother, random_linear_problem

rts_smooth = _native.rts_smooth


@pytest.mark.parametrize("n, m", [(1, 1), (2, 1), (3, 2), (4, 2), (5, 3), (6, 2), (12, 6), (17, 4)])
def test_matches_batch_least_squares(n, m):
    rng = np.random.default_rng(7 * n + m)
    args = random_linear_problem(rng, n, m, steps=12)
    x0, p0, zs, fs, hs, qs, rs = args
    xs, ps, _ = _native.batch_filter_linear(*args)
    xs_s, ps_s = rts_smooth(xs, ps, fs, qs)
    ref_xs, ref_ps = joint_smoother(*args)
    np.testing.assert_allclose(xs_s, ref_xs, rtol=1e-8, atol=1e-10)
    np.testing.assert_allclose(ps_s, ref_ps, rtol=1e-8, atol=1e-10)
    # The N-1 convention with the same transitions gives the same answer.
    xs_s1, ps_s1 = rts_smooth(xs, ps, fs[1:], qs[1:])
    assert np.array_equal(xs_s, xs_s1) and np.array_equal(ps_s, ps_s1)


def test_fs_and_qs_are_read_by_their_own_length():
    rng = np.random.default_rng(11)
    x0, p0, zs, fs, hs, qs, rs = random_linear_problem(rng, 3, 2, steps=6)
    xs, ps, _ = _native.batch_filter_linear(x0, p0, zs, fs, hs, qs, rs)
    expected = rts_smooth(xs, ps, fs, qs)
    for f_arg, q_arg in [(fs, qs[1:]), (fs[1:], qs)]:
        got = rts_smooth(xs, ps, f_arg, q_arg)
        assert np.array_equal(got[0], expected[0]) and np.array_equal(got[1], expected[1])


def test_entry_zero_of_full_length_stacks_is_never_read():
    rng = np.random.default_rng(12)
    x0, p0, zs, fs, hs, qs, rs = random_linear_problem(rng, 2, 1, steps=5)
    xs, ps, _ = _native.batch_filter_linear(x0, p0, zs, fs, hs, qs, rs)
    expected = rts_smooth(xs, ps, fs, qs)
    fs2, qs2 = fs.copy(), qs.copy()
    fs2[0] = np.nan
    qs2[0] = np.inf
    got = rts_smooth(xs, ps, fs2, qs2)
    assert np.array_equal(got[0], expected[0]) and np.array_equal(got[1], expected[1])


@pytest.mark.parametrize("lead", [0, 1])
def test_single_state_is_returned_unchanged(lead):
    xs = np.array([[1.0, 2.0]])
    ps = np.array([[[2.0, 0.1], [0.1, 1.0]]])
    stack = np.full((lead, 2, 2), np.nan)
    xs_s, ps_s = rts_smooth(xs, ps, stack, stack)
    assert np.array_equal(xs_s, xs) and np.array_equal(ps_s, ps)
    assert xs_s is not xs and ps_s is not ps


def test_singular_predicted_covariance_does_not_fail():
    # P_k singular and Q = 0: the predicted covariance is singular and the
    # inverse falls back to the pseudo-inverse.
    xs = np.array([[1.0, 0.0], [2.0, 0.5]])
    ps = np.array([[[1.0, 0.0], [0.0, 0.0]], [[0.5, 0.0], [0.0, 0.0]]])
    fs = np.eye(2)[None]
    qs = np.zeros((1, 2, 2))
    xs_s, ps_s = rts_smooth(xs, ps, fs, qs)
    c = ps[0] @ np.linalg.pinv(ps[0])
    np.testing.assert_allclose(xs_s[0], xs[0] + c @ (xs[1] - xs[0]), atol=1e-15)
    np.testing.assert_allclose(ps_s[0], ps[0] + c @ (ps[1] - ps[0]) @ c.T, atol=1e-15)


def test_a_predicted_covariance_no_stage_can_invert_fails_the_call():
    # P_pred = diag(0, inf, inf, inf, inf) (overflow): Cholesky and LU stop at
    # the zero row, the SVD refuses the infinities.
    xs = np.zeros((2, 5))
    ps = np.repeat(np.diag([0.0, 1e308, 1e308, 1e308, 1e308])[None], 2, axis=0)
    with pytest.raises(RuntimeError) as info:
        rts_smooth(xs, ps, np.diag([1.0, 10, 10, 10, 10])[None], np.zeros((1, 5, 5)))
    assert str(info.value) == "failed to invert innovation covariance"


def test_outputs_are_new_c_ordered_for_strided_inputs():
    rng = np.random.default_rng(13)
    x0, p0, zs, fs, hs, qs, rs = random_linear_problem(rng, 3, 2, steps=7)
    xs, ps, _ = _native.batch_filter_linear(x0, p0, zs, fs, hs, qs, rs)
    expected = rts_smooth(xs, ps, fs, qs)
    xs_f = np.asfortranarray(xs)
    ps_t = np.ascontiguousarray(np.swapaxes(ps, 1, 2)).swapaxes(1, 2)  # same values, transposed layout
    fs_r = np.ascontiguousarray(fs[::-1])[::-1]  # negative stride on the leading axis
    qs_s = np.zeros((7, 6, 3))[:, ::2, :]
    qs_s[...] = qs
    got = rts_smooth(xs_f, ps_t, fs_r, qs_s)
    for e, g in zip(expected, got):
        assert g.flags["C_CONTIGUOUS"] and g.flags["OWNDATA"]
        assert np.array_equal(e, g)


def test_non_finite_inputs_are_not_checked_and_propagate():
    xs = np.zeros((3, 2))
    ps = np.array([np.eye(2)] * 3)
    ps[0, 0, 0] = np.nan
    xs_s, ps_s = rts_smooth(xs, ps, np.eye(2)[None].repeat(2, axis=0), np.eye(2)[None].repeat(2, axis=0))
    # Step 0 depends on the NaN; the later steps do not.
    assert np.isnan(ps_s[0]).any()
    assert np.all(np.isfinite(ps_s[1:])) and np.all(np.isfinite(xs_s[1:]))
