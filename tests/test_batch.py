"""batch_filter_linear against a textbook Joseph-form Kalman filter, rts_smooth
against a direct solve of the joint Gaussian of all states, and the argument
checks of the three batch functions in the order they run."""

import sys

import numpy as np
import pytest

from vexel_ckf import _native
from support import (error_of, joint_smoother, kalman_filter, kalman_update, random_linear_problem, strided,
                     unaligned_copy)

FILTER, SMOOTH, BANK = _native.batch_filter_linear, _native.rts_smooth, _native.batch_parallel_step
NAN, INF = np.nan, np.inf


def assert_identical(got, want):
    assert len(got) == len(want) and all(g.shape == w.shape and np.array_equal(g, w) for g, w in zip(got, want))


# Compile-time, bounded and dynamic sizes of the step kernels.
@pytest.mark.parametrize("n, m", [(1, 1), (2, 1), (2, 2), (3, 2), (4, 4), (6, 3), (12, 6), (7, 3), (17, 5), (3, 5)])
def test_filter_and_smoother_match_the_textbook_references(n, m):
    args = random_linear_problem(np.random.default_rng(100 * n + m), n, m, steps=12)
    filtered = FILTER(*args)
    for got, want in zip(filtered, kalman_filter(*args)):
        np.testing.assert_allclose(got, want, rtol=1e-9, atol=1e-10)
    xs, ps, _ = filtered
    x0, p0, zs, fs, hs, qs, rs = args
    ref_xs, ref_ps = joint_smoother(*args)
    fs_n, qs_n = fs.copy(), qs.copy()
    fs_n[0], qs_n[0] = NAN, INF  # length N: entry 0 (the step into x_0) is never read
    got = SMOOTH(xs, ps, fs_n, qs_n)
    np.testing.assert_allclose(got[0], ref_xs, rtol=1e-8, atol=1e-10)
    np.testing.assert_allclose(got[1], ref_ps, rtol=1e-8, atol=1e-10)
    for f_arg, q_arg in [(fs[1:], qs[1:]), (fs, qs[1:]), (fs[1:], qs)]:  # each stack read by its own length
        assert_identical(SMOOTH(xs, ps, f_arg, q_arg), got)


def test_strided_inputs_give_new_c_ordered_outputs_and_leave_inputs_alone():
    args = random_linear_problem(np.random.default_rng(2), 3, 2, steps=7)
    x0, p0, zs, fs, hs, qs, rs = args
    copies, counts = [a.copy() for a in args], [sys.getrefcount(a) for a in args]
    expected = FILTER(*args)
    F = np.asfortranarray
    got = FILTER(strided(x0), F(p0), strided(zs), strided(fs), F(hs), F(qs), strided(rs))
    assert_identical(got, expected)
    assert np.array_equal(got[1], np.swapaxes(got[1], 1, 2))
    # Arrays at an odd byte offset (buffers received over a network): the
    # fixed-size loads must not read doubles there directly.
    assert_identical(FILTER(*map(unaligned_copy, args)), expected)
    xs, ps, _ = expected
    assert_identical(SMOOTH(*map(unaligned_copy, (xs, ps, fs, qs))), SMOOTH(xs, ps, fs, qs))
    smoothed = SMOOTH(F(xs), np.ascontiguousarray(np.swapaxes(ps, 1, 2)).swapaxes(1, 2),
                      np.ascontiguousarray(fs[::-1])[::-1], strided(qs))
    assert all(g.flags["C_CONTIGUOUS"] and g.flags["OWNDATA"] for g in got + smoothed)
    assert_identical(smoothed, SMOOTH(xs, ps, fs, qs))
    error_of(lambda: FILTER(x0, p0, np.where(zs > 0, NAN, zs), fs, hs, qs, rs), ValueError)
    assert [sys.getrefcount(a) for a in args] == counts
    assert all(np.array_equal(a, c) for a, c in zip(args, copies))
    stack = np.repeat((0.5 * np.eye(2))[None], 4, axis=0)  # one array as four arguments: shared read borrows
    shared = (np.zeros(2), np.eye(2), np.ones((4, 2)), stack, stack, stack, stack)
    np.testing.assert_allclose(FILTER(*shared)[0], kalman_filter(*shared)[0], rtol=1e-12)


# Step 0 with F = I, Q = 0, P0 = I; later steps are ordinary.
@pytest.mark.parametrize("h0, r0, inverse", [
    ([[1.0, 0.0], [1.0, 0.0]], np.zeros((2, 2)), np.linalg.pinv),  # S = [[1, 1], [1, 1]]: singular
    (np.eye(2), [[0.0, 2.0], [2.0, 0.0]], np.linalg.inv),  # S = [[1, 2], [2, 1]]: invertible, indefinite
], ids=["singular", "indefinite"])
def test_non_positive_definite_innovation_uses_the_fallback_inverse(h0, r0, inverse):
    x0, p0, zs, fs, hs, qs, rs = random_linear_problem(np.random.default_rng(3), 2, 2, steps=3)
    p0, fs[0], qs[0], hs[0], rs[0] = np.eye(2), np.eye(2), 0.0, h0, r0
    xs, ps, lls = FILTER(x0, p0, zs, fs, hs, qs, rs)
    x, p, _ = kalman_update(x0, p0, zs[0], hs[0], rs[0], inverse=inverse)
    assert lls[0] == -INF
    np.testing.assert_allclose(xs[0], x, rtol=1e-13, atol=1e-14)
    np.testing.assert_allclose(ps[0], p, rtol=1e-13, atol=1e-14)
    np.testing.assert_allclose(lls[1:], kalman_filter(xs[0], ps[0], zs[1:], fs[1:], hs[1:], qs[1:], rs[1:])[2],
                               rtol=1e-12)


def test_smoother_edge_cases():
    for lead in (0, 1):  # a single state comes back unchanged, as a new array
        xs, ps = np.array([[1.0, 2.0]]), np.array([[[2.0, 0.1], [0.1, 1.0]]])
        out = SMOOTH(xs, ps, np.full((lead, 2, 2), NAN), np.full((lead, 2, 2), NAN))
        assert_identical(out, (xs, ps))
        assert out[0] is not xs and out[1] is not ps
    # P_0 singular and Q = 0: the predicted covariance is singular, so its pseudo-inverse is used.
    xs = np.array([[1.0, 0.0], [2.0, 0.5]])
    ps = np.array([[[1.0, 0.0], [0.0, 0.0]], [[0.5, 0.0], [0.0, 0.0]]])
    xs_s, ps_s = SMOOTH(xs, ps, np.eye(2)[None], np.zeros((1, 2, 2)))
    c = ps[0] @ np.linalg.pinv(ps[0])
    np.testing.assert_allclose(xs_s[0], xs[0] + c @ (xs[1] - xs[0]), atol=1e-15)
    np.testing.assert_allclose(ps_s[0], ps[0] + c @ (ps[1] - ps[0]) @ c.T, atol=1e-15)
    # Non-finite inputs are not checked: step 0 depends on the NaN, the later steps do not.
    ps = np.repeat(np.eye(2)[None], 3, axis=0)
    ps[0, 0, 0] = NAN
    xs_s, ps_s = SMOOTH(np.zeros((3, 2)), ps, ps[1:], ps[1:])
    assert np.isnan(ps_s[0]).any() and np.isfinite(ps_s[1:]).all() and np.isfinite(xs_s[1:]).all()


def _no_stage_filter():
    # Step 1: S = diag(0, inf, inf, inf, inf) (overflow): Cholesky and LU stop at the zero row, the SVD
    # refuses the infinities.
    eye = np.repeat(np.eye(5)[None], 3, axis=0)
    hs, rs, fs = eye.copy(), eye.copy(), eye.copy()
    hs[1], rs[1, 0, 0] = np.diag([0.0, 10, 10, 10, 10]), 0.0
    fs[1] *= 4.5e153
    FILTER(np.ones(5), np.eye(5), np.ones((3, 5)), fs, hs, 0 * eye, rs)


def _no_stage_smoother():
    ps = np.repeat(np.diag([0.0, 1e308, 1e308, 1e308, 1e308])[None], 2, axis=0)
    SMOOTH(np.zeros((2, 5)), ps, np.diag([1.0, 10, 10, 10, 10])[None], np.zeros((1, 5, 5)))


@pytest.mark.parametrize("call", [_no_stage_filter, _no_stage_smoother])
def test_a_matrix_no_inverse_stage_can_invert_fails_the_call(call):
    assert str(error_of(call, RuntimeError)) == "failed to invert innovation covariance"


# ---------------------------------------------------------------------------
# Argument checks of the three batch functions


def eyes(n, count=3):
    return np.repeat(np.eye(n)[None], count, axis=0)


# Valid arguments (dim_x 2, dim_z 1, 3 steps or filters), in signature order.
VALID = {
    FILTER: lambda: dict(x0=np.zeros(2), p0=np.eye(2), zs=np.zeros((3, 1)), fs=eyes(2), hs=np.ones((3, 1, 2)),
                         qs=eyes(2), rs=eyes(1)),
    SMOOTH: lambda: dict(xs=np.zeros((3, 2)), ps=eyes(2), fs=eyes(2), qs=eyes(2)),
    BANK: lambda: dict(xs=np.zeros((3, 2)), ps=eyes(2), zs=np.zeros((3, 1)), f=np.eye(2), h=np.ones((1, 2)),
                       q=np.eye(2), r=np.eye(1)),
}


def bad(func, name, index, value=NAN):
    """The valid argument `name` of func with one entry replaced."""
    a = VALID[func]()[name]
    a[index] = value
    return a


MISSING = ". batch_filter does not support missing measurements yet; use VexelCKF.run(..., nan_means_missing=True), " \
          "which skips all-NaN rows"
NONFINITE = " contains non-finite values (NaN or inf)"
SHARED = NONFINITE + "; it is shared by every filter in the bank"
RTS_STACK = "must have shape (N, 2, 2) or (N-1, 2, 2); got "
MESSAGES = [
    (FILTER, dict(x0=np.zeros(0), zs=np.zeros((0, 1))), "x0 must have at least one dimension"),
    (FILTER, dict(zs=np.zeros((0, 1))), "zs must contain at least one observation"),
    (FILTER, dict(p0=np.zeros((2, 3))), "P0 must have shape (2, 2); got (2, 3)"),
    (FILTER, dict(hs=np.zeros((3, 2, 2))), "Hs must have shape (3, 1, 2); got (3, 2, 2)"),
    (FILTER, dict(qs=np.zeros((3, 2, 1))), "Qs must have shape (3, 2, 2); got (3, 2, 1)"),
    (FILTER, dict(fs=np.zeros((3, 1, 1)), hs=np.zeros((1, 1, 1))), "Fs must have shape (3, 2, 2); got (3, 1, 1)"),
    (FILTER, dict(x0=np.array([0.0, NAN])), "x0" + NONFINITE),
    (FILTER, dict(p0=np.array([[1.0, INF], [0.0, 1.0]])), "P0" + NONFINITE),
    (FILTER, dict(zs=bad(FILTER, "zs", (1, 0)), fs=bad(FILTER, "fs", (0, 0, 0))), "zs[1]" + NONFINITE + MISSING),
    (FILTER, dict(hs=bad(FILTER, "hs", (0, 0, 0)), fs=bad(FILTER, "fs", (2, 1, 1), INF)), "F" + NONFINITE + " at step 2"),
    (FILTER, dict(hs=bad(FILTER, "hs", (2, 0, 1), -INF)), "H" + NONFINITE + " at step 2"),
    (FILTER, dict(qs=bad(FILTER, "qs", (0, 1, 0))), "Q" + NONFINITE + " at step 0"),
    (FILTER, dict(rs=bad(FILTER, "rs", (1, 0, 0))), "R" + NONFINITE + " at step 1"),
    # A broadcast stack (one matrix for every step) is bad from step 0.
    (FILTER, dict(qs=np.broadcast_to(np.diag([1.0, NAN]), (3, 2, 2))), "Q" + NONFINITE + " at step 0"),
    (FILTER, dict(x0=np.array([NAN, 0.0]), rs=np.zeros((3, 2, 2))), "Rs must have shape (3, 1, 1); got (3, 2, 2)"),
    (SMOOTH, dict(xs=np.zeros((0, 0))), "xs must contain at least one filtered state"),
    (SMOOTH, dict(xs=np.zeros((3, 0))), "xs second dimension must be positive"),
    (SMOOTH, dict(ps=np.zeros((3, 2, 3))), "Ps must have shape (3, 2, 2), got (3, 2, 3)"),
    (SMOOTH, dict(ps=np.zeros((2, 2, 2))), "Ps must have shape (3, 2, 2), got (2, 2, 2)"),
    (SMOOTH, dict(fs=np.zeros((4, 2, 2))), "Fs " + RTS_STACK + "(4, 2, 2)"),
    (SMOOTH, dict(fs=np.zeros((1, 2, 2))), "Fs " + RTS_STACK + "(1, 2, 2)"),
    (SMOOTH, dict(fs=np.zeros((3, 2, 1))), "Fs " + RTS_STACK + "(3, 2, 1)"),
    (SMOOTH, dict(qs=np.zeros((2, 1, 2))), "Qs " + RTS_STACK + "(2, 1, 2)"),
    (SMOOTH, dict(fs=np.zeros((5, 2, 2)), qs=np.zeros((5, 2, 2))), "Fs " + RTS_STACK + "(5, 2, 2)"),
    # batch_parallel_step: per-filter data is never an error (see the status codes)
    (BANK, dict(xs=np.zeros((0, 2))), "xs must contain at least one filter"),
    (BANK, dict(xs=np.zeros((3, 0))), "dim_x must be positive"),
    (BANK, dict(zs=np.zeros((4, 0))), "zs must have leading dimension 3; got 4"),
    (BANK, dict(zs=np.zeros((3, 0))), "dim_z must be positive"),
    (BANK, dict(ps=np.zeros((3, 2, 3))), "Ps must have shape (3, 2, 2); got (3, 2, 3)"),
    (BANK, dict(f=np.zeros((2, 3))), "F must have shape (2, 2); got (2, 3)"),
    (BANK, dict(h=np.zeros((2, 2))), "H must have shape (1, 2); got (2, 2)"),
    (BANK, dict(q=np.zeros((1, 2))), "Q must have shape (2, 2); got (1, 2)"),
    (BANK, dict(r=np.zeros((1, 2))), "R must have shape (1, 1); got (1, 2)"),
    (BANK, dict(f=bad(BANK, "f", (0, 1))), "F" + SHARED),
    (BANK, dict(h=np.array([[NAN, 0.0]]), r=np.array([[NAN]])), "H" + SHARED),
    (BANK, dict(q=bad(BANK, "q", (1, 1), INF)), "Q" + SHARED),
    (BANK, dict(r=np.array([[-INF]])), "R" + SHARED),
    (BANK, dict(f=np.full((2, 2), NAN), r=np.zeros((2, 2))), "R must have shape (1, 1); got (2, 2)"),
]


@pytest.mark.parametrize("func, changes, message", MESSAGES, ids=lambda v: getattr(v, "__name__", None))
def test_validation_messages_in_check_order(func, changes, message):
    assert str(error_of(lambda: func(**{**VALID[func](), **changes}), ValueError)) == message


def huge(value, shape):
    return np.broadcast_to(value, shape)


# Outputs far beyond any memory, with a NaN that a scan of the broadcast inputs would only reach after
# hours: refused before scanning.
@pytest.mark.parametrize("func, make", [
    (FILTER, lambda: (np.zeros(2), np.eye(2), huge(np.zeros(1), (10**12, 1)), huge(np.eye(2), (10**12, 2, 2)),
                      huge(np.ones((1, 2)), (10**12, 1, 2)), huge(np.eye(2), (10**12, 2, 2)),
                      huge(np.full((1, 1), NAN), (10**12, 1, 1)))),
    (FILTER, lambda: (np.zeros(1), np.eye(1), huge(0.0, (1, 10**6)), np.eye(1)[None], huge(0.0, (1, 10**6, 1)),
                      np.eye(1)[None], huge(NAN, (1, 10**6, 10**6)))),
    (SMOOTH, lambda: (huge(np.zeros(4), (10**12, 4)),) + (huge(np.eye(4), (10**12, 4, 4)),) * 3),
    (BANK, lambda: (huge(np.zeros(4), (10**12, 4)), huge(np.eye(4), (10**12, 4, 4)), huge(np.zeros(2), (10**12, 2)),
                    np.eye(4), np.eye(2, 4), np.eye(4), np.eye(2))),
    (BANK, lambda: (np.zeros((3, 1)), np.ones((3, 1, 1)), huge(0.0, (3, 10**6)), np.eye(1), huge(0.0, (10**6, 1)),
                    np.eye(1), huge(NAN, (10**6, 10**6)))),
])
def test_calls_that_cannot_fit_in_memory_raise_memory_error_up_front(func, make):
    error_of(lambda: func(*make()), MemoryError)


@pytest.mark.parametrize("func", [FILTER, SMOOTH, BANK], ids=lambda f: f.__name__)
def test_conversion_errors_name_the_argument_in_signature_order_before_validation(func):
    # The first argument is kept empty (a validation failure) unless replaced: every conversion runs first.
    args = VALID[func]()
    names = list(args)
    args[names[0]] = args[names[0]][:0]
    assert func.__text_signature__ == "(" + ", ".join(names) + ")"
    for i, name in enumerate(names):
        with pytest.raises(TypeError, match=f"^argument '{name}': 'list' object cannot be converted"):
            func(**{**args, **{later: [1.0] for later in names[i:]}})
