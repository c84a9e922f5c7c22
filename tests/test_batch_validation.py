"""Argument checks of the batch functions: every message in full, in the
order the checks run, and the registered signatures and docstrings."""

import numpy as np
import pytest

from vexel_ckf import _native

NAN = np.nan


def filter_args(n=2, m=1, steps=3):
    return dict(
        x0=np.zeros(n),
        p0=np.eye(n),
        zs=np.zeros((steps, m)),
        fs=np.repeat(np.eye(n)[None], steps, axis=0),
        hs=np.ones((steps, m, n)),
        qs=np.repeat(np.eye(n)[None], steps, axis=0),
        rs=np.repeat(np.eye(m)[None], steps, axis=0),
    )


def with_value(array, index, value):
    a = array.copy()
    a[index] = value
    return a


FILTER_CASES = [
    ("empty x0", dict(x0=np.zeros(0)), "x0 must have at least one dimension"),
    ("empty x0 and zs", dict(x0=np.zeros(0), zs=np.zeros((0, 1))), "x0 must have at least one dimension"),
    ("empty zs", dict(zs=np.zeros((0, 1))), "zs must contain at least one observation"),
    ("p0 shape", dict(p0=np.zeros((2, 3))), "P0 must have shape (2, 2); got (2, 3)"),
    ("fs length", dict(fs=np.zeros((2, 2, 2))), "Fs must have shape (3, 2, 2); got (2, 2, 2)"),
    ("hs shape", dict(hs=np.zeros((3, 2, 2))), "Hs must have shape (3, 1, 2); got (3, 2, 2)"),
    ("qs shape", dict(qs=np.zeros((3, 2, 1))), "Qs must have shape (3, 2, 2); got (3, 2, 1)"),
    ("rs shape", dict(rs=np.zeros((3, 1, 2))), "Rs must have shape (3, 1, 1); got (3, 1, 2)"),
    ("fs before hs", dict(fs=np.zeros((3, 1, 1)), hs=np.zeros((1, 1, 1))), "Fs must have shape (3, 2, 2); got (3, 1, 1)"),
    ("x0 nan", dict(x0=np.array([0.0, NAN])), "x0 contains non-finite values (NaN or inf)"),
    ("p0 inf", dict(p0=np.array([[1.0, np.inf], [0.0, 1.0]])), "P0 contains non-finite values (NaN or inf)"),
    (
        "zs row 2",
        dict(zs=np.array([[0.0], [1.0], [NAN]])),
        "zs[2] contains non-finite values (NaN or inf). batch_filter does not support missing measurements yet; "
        "use VexelCKF.run(..., nan_means_missing=True), which skips all-NaN rows",
    ),
    ("fs step 1", dict(fs=with_value(filter_args()["fs"], (1, 0, 1), NAN)), "F contains non-finite values (NaN or inf) at step 1"),
    (
        "hs step 0 behind fs step 2",
        dict(hs=with_value(filter_args()["hs"], (0, 0, 0), NAN), fs=with_value(filter_args()["fs"], (2, 1, 1), np.inf)),
        "F contains non-finite values (NaN or inf) at step 2",
    ),
    ("hs step 2", dict(hs=with_value(filter_args()["hs"], (2, 0, 1), -np.inf)), "H contains non-finite values (NaN or inf) at step 2"),
    ("qs step 0", dict(qs=with_value(filter_args()["qs"], (0, 1, 0), NAN)), "Q contains non-finite values (NaN or inf) at step 0"),
    ("rs step 1", dict(rs=with_value(filter_args()["rs"], (1, 0, 0), NAN)), "R contains non-finite values (NaN or inf) at step 1"),
    (
        "zs before fs",
        dict(zs=with_value(filter_args()["zs"], (1, 0), NAN), fs=with_value(filter_args()["fs"], (0, 0, 0), NAN)),
        "zs[1] contains non-finite values (NaN or inf). batch_filter does not support missing measurements yet; "
        "use VexelCKF.run(..., nan_means_missing=True), which skips all-NaN rows",
    ),
    ("shape before finiteness", dict(x0=np.array([NAN, 0.0]), rs=np.zeros((3, 2, 2))), "Rs must have shape (3, 1, 1); got (3, 2, 2)"),
]


@pytest.mark.parametrize("label, changes, message", FILTER_CASES, ids=[c[0] for c in FILTER_CASES])
def test_batch_filter_linear_messages(label, changes, message):
    args = filter_args()
    args.update(changes)
    with pytest.raises(ValueError) as info:
        _native.batch_filter_linear(**args)
    assert str(info.value) == message


def smoother_args(steps=3, n=2):
    return dict(
        xs=np.zeros((steps, n)),
        ps=np.repeat(np.eye(n)[None], steps, axis=0),
        fs=np.repeat(np.eye(n)[None], steps, axis=0),
        qs=np.repeat(np.eye(n)[None], steps, axis=0),
    )


SMOOTHER_CASES = [
    ("empty xs", dict(xs=np.zeros((0, 2))), "xs must contain at least one filtered state"),
    ("empty both axes", dict(xs=np.zeros((0, 0))), "xs must contain at least one filtered state"),
    ("zero dim_x", dict(xs=np.zeros((3, 0))), "xs second dimension must be positive"),
    ("ps shape", dict(ps=np.zeros((3, 2, 3))), "Ps must have shape (3, 2, 2), got (3, 2, 3)"),
    ("ps length", dict(ps=np.zeros((2, 2, 2))), "Ps must have shape (3, 2, 2), got (2, 2, 2)"),
    ("fs N+1", dict(fs=np.zeros((4, 2, 2))), "Fs must have shape (N, 2, 2) or (N-1, 2, 2); got (4, 2, 2)"),
    ("fs N-2", dict(fs=np.zeros((1, 2, 2))), "Fs must have shape (N, 2, 2) or (N-1, 2, 2); got (1, 2, 2)"),
    ("fs trailing", dict(fs=np.zeros((3, 2, 1))), "Fs must have shape (N, 2, 2) or (N-1, 2, 2); got (3, 2, 1)"),
    ("qs trailing", dict(qs=np.zeros((2, 1, 2))), "Qs must have shape (N, 2, 2) or (N-1, 2, 2); got (2, 1, 2)"),
    ("fs before qs", dict(fs=np.zeros((5, 2, 2)), qs=np.zeros((5, 2, 2))), "Fs must have shape (N, 2, 2) or (N-1, 2, 2); got (5, 2, 2)"),
]


@pytest.mark.parametrize("label, changes, message", SMOOTHER_CASES, ids=[c[0] for c in SMOOTHER_CASES])
def test_rts_smooth_messages(label, changes, message):
    args = smoother_args()
    args.update(changes)
    with pytest.raises(ValueError) as info:
        _native.rts_smooth(**args)
    assert str(info.value) == message


def bank_args(count=3, n=2, m=1):
    return dict(
        xs=np.zeros((count, n)),
        ps=np.repeat(np.eye(n)[None], count, axis=0),
        zs=np.zeros((count, m)),
        f=np.eye(n),
        h=np.ones((m, n)),
        q=np.eye(n),
        r=np.eye(m),
    )


SHARED = "; it is shared by every filter in the bank"
BANK_CASES = [
    ("no filter", dict(xs=np.zeros((0, 2))), "xs must contain at least one filter"),
    ("zero dim_x", dict(xs=np.zeros((3, 0))), "dim_x must be positive"),
    ("zs rows", dict(zs=np.zeros((4, 1))), "zs must have leading dimension 3; got 4"),
    ("zs rows before dim_z", dict(zs=np.zeros((4, 0))), "zs must have leading dimension 3; got 4"),
    ("zero dim_z", dict(zs=np.zeros((3, 0))), "dim_z must be positive"),
    ("ps shape", dict(ps=np.zeros((3, 2, 3))), "Ps must have shape (3, 2, 2); got (3, 2, 3)"),
    ("f shape", dict(f=np.zeros((2, 3))), "F must have shape (2, 2); got (2, 3)"),
    ("h shape", dict(h=np.zeros((2, 2))), "H must have shape (1, 2); got (2, 2)"),
    ("q shape", dict(q=np.zeros((1, 2))), "Q must have shape (2, 2); got (1, 2)"),
    ("r shape", dict(r=np.zeros((1, 2))), "R must have shape (1, 1); got (1, 2)"),
    ("f nan", dict(f=np.array([[1.0, NAN], [0.0, 1.0]])), "F contains non-finite values (NaN or inf)" + SHARED),
    ("h and r nan", dict(h=np.array([[NAN, 0.0]]), r=np.array([[NAN]])), "H contains non-finite values (NaN or inf)" + SHARED),
    ("q inf", dict(q=np.array([[1.0, 0.0], [0.0, np.inf]])), "Q contains non-finite values (NaN or inf)" + SHARED),
    ("r inf", dict(r=np.array([[-np.inf]])), "R contains non-finite values (NaN or inf)" + SHARED),
    ("shape before finiteness", dict(f=np.full((2, 2), NAN), r=np.zeros((2, 2))), "R must have shape (1, 1); got (2, 2)"),
]


@pytest.mark.parametrize("label, changes, message", BANK_CASES, ids=[c[0] for c in BANK_CASES])
def test_batch_parallel_step_messages(label, changes, message):
    args = bank_args()
    args.update(changes)
    with pytest.raises(ValueError) as info:
        _native.batch_parallel_step(**args)
    assert str(info.value) == message


def test_f_nan_is_reported_even_when_every_filter_is_finite_and_filters_are_not_checked():
    args = bank_args()
    args["xs"] = np.full((3, 2), NAN)  # per-filter data is never a ValueError
    out = _native.batch_parallel_step(**args)
    assert out[3].tolist() == [3, 3, 3]


def huge(value, shape):
    return np.broadcast_to(value, shape)


HUGE = 10**12
MEMORY_CASES = [
    # Outputs far beyond any memory, with a NaN that a scan of the broadcast
    # inputs would only reach after hours: refused before scanning.
    (_native.batch_filter_linear, lambda: (
        np.zeros(2), np.eye(2), huge(np.zeros(1), (HUGE, 1)), huge(np.eye(2), (HUGE, 2, 2)),
        huge(np.ones((1, 2)), (HUGE, 1, 2)), huge(np.eye(2), (HUGE, 2, 2)), huge(np.full((1, 1), NAN), (HUGE, 1, 1)))),
    (_native.batch_filter_linear, lambda: (
        np.zeros(1), np.eye(1), huge(0.0, (1, 10**6)), np.eye(1)[None], huge(0.0, (1, 10**6, 1)), np.eye(1)[None],
        huge(NAN, (1, 10**6, 10**6)))),
    (_native.rts_smooth, lambda: (
        huge(np.zeros(4), (HUGE, 4)), huge(np.eye(4), (HUGE, 4, 4)), huge(np.eye(4), (HUGE, 4, 4)),
        huge(np.eye(4), (HUGE, 4, 4)))),
    (_native.batch_parallel_step, lambda: (
        huge(np.zeros(4), (HUGE, 4)), huge(np.eye(4), (HUGE, 4, 4)), huge(np.zeros(2), (HUGE, 2)), np.eye(4),
        np.eye(2, 4), np.eye(4), np.eye(2))),
    (_native.batch_parallel_step, lambda: (
        np.zeros((3, 1)), np.ones((3, 1, 1)), huge(0.0, (3, 10**6)), np.eye(1), huge(0.0, (10**6, 1)), np.eye(1),
        huge(NAN, (10**6, 10**6)))),
]


@pytest.mark.parametrize("func, make", MEMORY_CASES)
def test_calls_that_cannot_fit_in_memory_raise_memory_error_up_front(func, make):
    with pytest.raises(MemoryError):
        func(*make())


CONVERSION_CASES = [
    (_native.batch_filter_linear, filter_args, "x0", [0.0, 0.0], "argument 'x0': 'list' object cannot be converted to 'ndarray'"),
    (_native.batch_filter_linear, filter_args, "zs", np.zeros(3), "argument 'zs': dimensionality mismatch:\n from=1, to=2"),
    (_native.batch_filter_linear, filter_args, "rs", np.zeros((3, 1, 1), dtype=np.float32),
     "argument 'rs': type mismatch:\n from=float32, to=float64"),
    (_native.rts_smooth, smoother_args, "qs", np.zeros((3, 2)), "argument 'qs': dimensionality mismatch:\n from=2, to=3"),
    (_native.batch_parallel_step, bank_args, "ps", np.zeros((3, 2, 2), dtype=np.int64),
     "argument 'ps': type mismatch:\n from=int64, to=float64"),
    (_native.batch_parallel_step, bank_args, "r", 1.0, "argument 'r': 'float' object cannot be converted to 'ndarray'"),
]


@pytest.mark.parametrize("func, make, name, value, message", CONVERSION_CASES)
def test_conversion_errors_name_the_argument(func, make, name, value, message):
    args = make()
    args[name] = value
    with pytest.raises(TypeError) as info:
        func(**args)
    assert str(info.value) == message


def test_conversion_runs_in_signature_order_before_validation():
    args = bank_args()
    args["xs"] = np.zeros((0, 2))  # a validation failure ...
    args["r"] = [1.0]  # ... is reported after every conversion succeeded
    with pytest.raises(TypeError, match="^argument 'r': "):
        _native.batch_parallel_step(**args)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: _native.rts_smooth(np.zeros((1, 1))),
         "rts_smooth() missing 3 required positional arguments: 'ps', 'fs', and 'qs'"),
        (lambda: _native.batch_parallel_step(*range(8)),
         "batch_parallel_step() takes 7 positional arguments but 8 were given"),
        (lambda: _native.batch_filter_linear(x0=1, p0=1, zs=1, fs=1, hs=1, qs=1, rs=1, ws=1),
         "batch_filter_linear() got an unexpected keyword argument 'ws'"),
    ],
)
def test_arity_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_exports_and_signatures():
    assert _native.__all__[-3:] == ["rts_smooth", "batch_filter_linear", "batch_parallel_step"]
    assert _native.rts_smooth.__text_signature__ == "(xs, ps, fs, qs)"
    assert _native.batch_filter_linear.__text_signature__ == "(x0, p0, zs, fs, hs, qs, rs)"
    assert _native.batch_parallel_step.__text_signature__ == "(xs, ps, zs, f, h, q, r)"


def test_batch_parallel_step_docstring():
    assert _native.batch_parallel_step.__doc__ == (
        "Parallel batch step: M independent linear KFs sharing F, H, Q, R; each\n"
        "has its own (x_i, P_i) and a single observation z_i.\n\nInputs:\n  xs: (M, dim_x)\n"
        "  ps: (M, dim_x, dim_x)\n  zs: (M, dim_z)\n  f:  (dim_x, dim_x)\n  h:  (dim_z, dim_x)\n"
        "  q:  (dim_x, dim_x)\n  r:  (dim_z, dim_z)\n\nReturns (xs_new, ps_new, log_likelihoods, status) with shapes\n"
        "(M, dim_x), (M, dim_x, dim_x), (M,), (M,). Status code per filter:\n"
        "  0 = ok, 1 = singular_innovation fallback, 2 = no update applied,\n"
        "  3 = non-finite x_i, P_i or z_i, update skipped.\n"
        "Raises ValueError when the shared F, H, Q or R holds a NaN or inf."
    )


def test_batch_filter_linear_docstring():
    doc = _native.batch_filter_linear.__doc__
    first, rest = doc.split("\n\n", 1)
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


def test_rts_smooth_docstring():
    doc = _native.rts_smooth.__doc__
    assert doc.startswith("Rauch-Tung-Striebel fixed-interval smoother.")
    assert (
        "With length N (FilterPy and batch_filter_linear convention), entry k is\n"
        "the k-1 -> k transition: the k -> k+1 step uses fs[k+1] / qs[k+1] and\n"
        "entry 0 is unused. With length N-1, entry k is the k -> k+1 transition.\n"
        "fs and qs are each read by their own length."
    ) in doc
    assert "Returns (xs_smooth, Ps_smooth) of the same shapes as (xs, ps)" in doc
