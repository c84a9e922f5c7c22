"""Argument checks of the batch functions: every message in full, in the
order the checks run, and the registered signatures and docstrings."""

import numpy as np
import pytest

from vexel_ckf import _native

NAN, INF = np.nan, np.inf
FILTER, SMOOTH, BANK = _native.batch_filter_linear, _native.rts_smooth, _native.batch_parallel_step


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
MESSAGES = [
    # batch_filter_linear
    (FILTER, dict(x0=np.zeros(0), zs=np.zeros((0, 1))), "x0 must have at least one dimension"),
    (FILTER, dict(zs=np.zeros((0, 1))), "zs must contain at least one observation"),
    (FILTER, dict(p0=np.zeros((2, 3))), "P0 must have shape (2, 2); got (2, 3)"),
    (FILTER, dict(fs=np.zeros((2, 2, 2))), "Fs must have shape (3, 2, 2); got (2, 2, 2)"),
    (FILTER, dict(hs=np.zeros((3, 2, 2))), "Hs must have shape (3, 1, 2); got (3, 2, 2)"),
    (FILTER, dict(qs=np.zeros((3, 2, 1))), "Qs must have shape (3, 2, 2); got (3, 2, 1)"),
    (FILTER, dict(rs=np.zeros((3, 1, 2))), "Rs must have shape (3, 1, 1); got (3, 1, 2)"),
    (FILTER, dict(fs=np.zeros((3, 1, 1)), hs=np.zeros((1, 1, 1))), "Fs must have shape (3, 2, 2); got (3, 1, 1)"),
    (FILTER, dict(x0=np.array([0.0, NAN])), "x0" + NONFINITE),
    (FILTER, dict(p0=np.array([[1.0, INF], [0.0, 1.0]])), "P0" + NONFINITE),
    (FILTER, dict(zs=bad(FILTER, "zs", (2, 0))), "zs[2]" + NONFINITE + MISSING),
    (FILTER, dict(zs=bad(FILTER, "zs", (1, 0)), fs=bad(FILTER, "fs", (0, 0, 0))), "zs[1]" + NONFINITE + MISSING),
    (FILTER, dict(fs=bad(FILTER, "fs", (1, 0, 1))), "F" + NONFINITE + " at step 1"),
    (FILTER, dict(hs=bad(FILTER, "hs", (0, 0, 0)), fs=bad(FILTER, "fs", (2, 1, 1), INF)), "F" + NONFINITE + " at step 2"),
    (FILTER, dict(hs=bad(FILTER, "hs", (2, 0, 1), -INF)), "H" + NONFINITE + " at step 2"),
    (FILTER, dict(qs=bad(FILTER, "qs", (0, 1, 0))), "Q" + NONFINITE + " at step 0"),
    (FILTER, dict(rs=bad(FILTER, "rs", (1, 0, 0))), "R" + NONFINITE + " at step 1"),
    (FILTER, dict(x0=np.array([NAN, 0.0]), rs=np.zeros((3, 2, 2))), "Rs must have shape (3, 1, 1); got (3, 2, 2)"),
    # rts_smooth
    (SMOOTH, dict(xs=np.zeros((0, 0))), "xs must contain at least one filtered state"),
    (SMOOTH, dict(xs=np.zeros((3, 0))), "xs second dimension must be positive"),
    (SMOOTH, dict(ps=np.zeros((3, 2, 3))), "Ps must have shape (3, 2, 2), got (3, 2, 3)"),
    (SMOOTH, dict(ps=np.zeros((2, 2, 2))), "Ps must have shape (3, 2, 2), got (2, 2, 2)"),
    (SMOOTH, dict(fs=np.zeros((4, 2, 2))), "Fs must have shape (N, 2, 2) or (N-1, 2, 2); got (4, 2, 2)"),
    (SMOOTH, dict(fs=np.zeros((1, 2, 2))), "Fs must have shape (N, 2, 2) or (N-1, 2, 2); got (1, 2, 2)"),
    (SMOOTH, dict(fs=np.zeros((3, 2, 1))), "Fs must have shape (N, 2, 2) or (N-1, 2, 2); got (3, 2, 1)"),
    (SMOOTH, dict(qs=np.zeros((2, 1, 2))), "Qs must have shape (N, 2, 2) or (N-1, 2, 2); got (2, 1, 2)"),
    (SMOOTH, dict(fs=np.zeros((5, 2, 2)), qs=np.zeros((5, 2, 2))),
     "Fs must have shape (N, 2, 2) or (N-1, 2, 2); got (5, 2, 2)"),
    # batch_parallel_step (per-filter data is never an error: see the status codes)
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
    with pytest.raises(ValueError) as info:
        func(**{**VALID[func](), **changes})
    assert str(info.value) == message


HUGE = 10**12


def huge(value, shape):
    return np.broadcast_to(value, shape)


# Outputs far beyond any memory, with a NaN that a scan of the broadcast inputs
# would only reach after hours: refused before scanning.
@pytest.mark.parametrize("func, make", [
    (FILTER, lambda: (np.zeros(2), np.eye(2), huge(np.zeros(1), (HUGE, 1)), huge(np.eye(2), (HUGE, 2, 2)),
                      huge(np.ones((1, 2)), (HUGE, 1, 2)), huge(np.eye(2), (HUGE, 2, 2)),
                      huge(np.full((1, 1), NAN), (HUGE, 1, 1)))),
    (FILTER, lambda: (np.zeros(1), np.eye(1), huge(0.0, (1, 10**6)), np.eye(1)[None], huge(0.0, (1, 10**6, 1)),
                      np.eye(1)[None], huge(NAN, (1, 10**6, 10**6)))),
    (SMOOTH, lambda: (huge(np.zeros(4), (HUGE, 4)),) + (huge(np.eye(4), (HUGE, 4, 4)),) * 3),
    (BANK, lambda: (huge(np.zeros(4), (HUGE, 4)), huge(np.eye(4), (HUGE, 4, 4)), huge(np.zeros(2), (HUGE, 2)),
                    np.eye(4), np.eye(2, 4), np.eye(4), np.eye(2))),
    (BANK, lambda: (np.zeros((3, 1)), np.ones((3, 1, 1)), huge(0.0, (3, 10**6)), np.eye(1), huge(0.0, (10**6, 1)),
                    np.eye(1), huge(NAN, (10**6, 10**6)))),
])
def test_calls_that_cannot_fit_in_memory_raise_memory_error_up_front(func, make):
    with pytest.raises(MemoryError):
        func(*make())


@pytest.mark.parametrize("func", [FILTER, SMOOTH, BANK], ids=lambda f: f.__name__)
def test_conversion_errors_name_the_argument_in_signature_order_before_validation(func):
    # The first argument is kept empty (a validation failure) unless replaced:
    # every conversion runs first, in parameter order.
    args = VALID[func]()
    names = list(args)
    args[names[0]] = args[names[0]][:0]
    for i, name in enumerate(names):
        with pytest.raises(TypeError, match=f"^argument '{name}': 'list' object cannot be converted"):
            func(**{**args, **{later: [1.0] for later in names[i:]}})


@pytest.mark.parametrize("call, message", [
    (lambda: SMOOTH(np.zeros((1, 1))), "rts_smooth() missing 3 required positional arguments: 'ps', 'fs', and 'qs'"),
    (lambda: BANK(*range(8)), "batch_parallel_step() takes 7 positional arguments but 8 were given"),
    (lambda: FILTER(x0=1, p0=1, zs=1, fs=1, hs=1, qs=1, rs=1, ws=1),
     "batch_filter_linear() got an unexpected keyword argument 'ws'"),
])
def test_arity_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_exports_signatures_and_docstrings():
    assert _native.__all__[-3:] == ["rts_smooth", "batch_filter_linear", "batch_parallel_step"]
    assert SMOOTH.__text_signature__ == "(xs, ps, fs, qs)"
    assert FILTER.__text_signature__ == "(x0, p0, zs, fs, hs, qs, rs)"
    assert BANK.__text_signature__ == "(xs, ps, zs, f, h, q, r)"
    assert BANK.__doc__ == (
        "Parallel batch step: M independent linear KFs sharing F, H, Q, R; each\n"
        "has its own (x_i, P_i) and a single observation z_i.\n\nInputs:\n  xs: (M, dim_x)\n"
        "  ps: (M, dim_x, dim_x)\n  zs: (M, dim_z)\n  f:  (dim_x, dim_x)\n  h:  (dim_z, dim_x)\n"
        "  q:  (dim_x, dim_x)\n  r:  (dim_z, dim_z)\n\nReturns (xs_new, ps_new, log_likelihoods, status) with shapes\n"
        "(M, dim_x), (M, dim_x, dim_x), (M,), (M,). Status code per filter:\n"
        "  0 = ok, 1 = singular_innovation fallback, 2 = no update applied,\n"
        "  3 = non-finite x_i, P_i or z_i, update skipped.\n"
        "Raises ValueError when the shared F, H, Q or R holds a NaN or inf."
    )
    first, rest = FILTER.__doc__.split("\n\n", 1)
    assert len(first.split("\n")) == 2 and "linear kalman batch filter" in first.lower()
    assert rest == (
        "Inputs (all already broadcast to length N by the Python wrapper):\n  x0: (dim_x,)\n  p0: (dim_x, dim_x)\n"
        "  zs: (N, dim_z)\n  fs: (N, dim_x, dim_x) -- F_k for the predict step k-1 -> k\n"
        "  hs: (N, dim_z, dim_x) -- H_k for the linear measurement at step k\n  qs: (N, dim_x, dim_x)\n"
        "  rs: (N, dim_z, dim_z)\n\nReturns (xs, Ps, log_likelihoods) with shapes (N, dim_x),\n"
        "(N, dim_x, dim_x), (N,). The output (xs, Ps) is directly consumable by\n"
        "rts_smooth; no extra reshape needed.\n\nPosterior update uses Joseph form\n"
        "(P = (I - K H) P (I - K H)^T + K R K^T) to keep P PSD over long runs."
    )
    assert SMOOTH.__doc__.startswith("Rauch-Tung-Striebel fixed-interval smoother.")
    assert (
        "With length N (FilterPy and batch_filter_linear convention), entry k is\n"
        "the k-1 -> k transition: the k -> k+1 step uses fs[k+1] / qs[k+1] and\n"
        "entry 0 is unused. With length N-1, entry k is the k -> k+1 transition.\n"
        "fs and qs are each read by their own length."
    ) in SMOOTH.__doc__
    assert "Returns (xs_smooth, Ps_smooth) of the same shapes as (xs, ps)" in SMOOTH.__doc__
