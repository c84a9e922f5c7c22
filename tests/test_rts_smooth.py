"""rts_smooth against a direct solve of the joint Gaussian of all states."""

import numpy as np
import pytest

from vexel_ckf import _native
from batch_reference import joint_smoother, random_linear_problem, strided

rts_smooth = _native.rts_smooth


def assert_identical(got, want):
    assert all(np.array_equal(g, w) for g, w in zip(got, want))


@pytest.mark.parametrize("n, m", [(1, 1), (2, 1), (3, 2), (4, 2), (5, 3), (6, 2), (12, 6), (17, 4)])
def test_matches_batch_least_squares_in_both_length_conventions(n, m):
    args = random_linear_problem(np.random.default_rng(7 * n + m), n, m, steps=12)
    x0, p0, zs, fs, hs, qs, rs = args
    xs, ps, _ = _native.batch_filter_linear(*args)
    ref_xs, ref_ps = joint_smoother(*args)
    # Length N: entry 0 (the step into x_0) is never read.
    fs_n, qs_n = fs.copy(), qs.copy()
    fs_n[0], qs_n[0] = np.nan, np.inf
    got = rts_smooth(xs, ps, fs_n, qs_n)
    np.testing.assert_allclose(got[0], ref_xs, rtol=1e-8, atol=1e-10)
    np.testing.assert_allclose(got[1], ref_ps, rtol=1e-8, atol=1e-10)
    # Length N-1, and fs and qs each read by their own length.
    for f_arg, q_arg in [(fs[1:], qs[1:]), (fs, qs[1:]), (fs[1:], qs)]:
        assert_identical(rts_smooth(xs, ps, f_arg, q_arg), got)


@pytest.mark.parametrize("lead", [0, 1])
def test_single_state_is_returned_unchanged_as_a_new_array(lead):
    xs, ps = np.array([[1.0, 2.0]]), np.array([[[2.0, 0.1], [0.1, 1.0]]])
    stack = np.full((lead, 2, 2), np.nan)
    xs_s, ps_s = rts_smooth(xs, ps, stack, stack)
    assert_identical((xs_s, ps_s), (xs, ps))
    assert xs_s is not xs and ps_s is not ps


def test_singular_predicted_covariance_uses_the_pseudo_inverse():
    # P_0 singular and Q = 0: the predicted covariance is singular.
    xs = np.array([[1.0, 0.0], [2.0, 0.5]])
    ps = np.array([[[1.0, 0.0], [0.0, 0.0]], [[0.5, 0.0], [0.0, 0.0]]])
    xs_s, ps_s = rts_smooth(xs, ps, np.eye(2)[None], np.zeros((1, 2, 2)))
    c = ps[0] @ np.linalg.pinv(ps[0])
    np.testing.assert_allclose(xs_s[0], xs[0] + c @ (xs[1] - xs[0]), atol=1e-15)
    np.testing.assert_allclose(ps_s[0], ps[0] + c @ (ps[1] - ps[0]) @ c.T, atol=1e-15)


def test_a_predicted_covariance_no_stage_can_invert_fails_the_call():
    # P_pred = diag(0, inf, inf, inf, inf) (overflow): Cholesky and LU stop at
    # the zero row, the SVD refuses the infinities.
    ps = np.repeat(np.diag([0.0, 1e308, 1e308, 1e308, 1e308])[None], 2, axis=0)
    with pytest.raises(RuntimeError) as info:
        rts_smooth(np.zeros((2, 5)), ps, np.diag([1.0, 10, 10, 10, 10])[None], np.zeros((1, 5, 5)))
    assert str(info.value) == "failed to invert innovation covariance"


def test_outputs_are_new_c_ordered_for_strided_inputs():
    x0, p0, zs, fs, hs, qs, rs = random_linear_problem(np.random.default_rng(13), 3, 2, steps=7)
    xs, ps, _ = _native.batch_filter_linear(x0, p0, zs, fs, hs, qs, rs)
    ps_t = np.ascontiguousarray(np.swapaxes(ps, 1, 2)).swapaxes(1, 2)  # same values, transposed layout
    fs_r = np.ascontiguousarray(fs[::-1])[::-1]  # negative stride on the leading axis
    got = rts_smooth(np.asfortranarray(xs), ps_t, fs_r, strided(qs))
    assert all(g.flags["C_CONTIGUOUS"] and g.flags["OWNDATA"] for g in got)
    assert_identical(got, rts_smooth(xs, ps, fs, qs))


def test_non_finite_inputs_are_not_checked_and_propagate():
    ps = np.repeat(np.eye(2)[None], 3, axis=0)
    ps[0, 0, 0] = np.nan
    xs_s, ps_s = rts_smooth(np.zeros((3, 2)), ps, ps[1:], ps[1:])
    # Step 0 depends on the NaN; the later steps do not.
    assert np.isnan(ps_s[0]).any()
    assert np.all(np.isfinite(ps_s[1:])) and np.all(np.isfinite(xs_s[1:]))
