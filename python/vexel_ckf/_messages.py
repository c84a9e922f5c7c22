"""Messages for the common mistakes with callbacks and covariances.

The native engine reports a callback's wrong output in the words of its
array bridge ("model output must have shape (8, 4), got (4, 4)", "type
mismatch: from=float32, to=float64"), which name neither the callback nor
the fix; the error carries the facts (reason, callback, expected shape, what
came back) as attributes. The filter class catches those errors and raises one of the same
type that says what to do, chained to the native one (``raise ... from``),
so the native text stays available as ``__cause__``.

An exception raised inside the user's callback is never rewritten: its
traceback ends in the callback, while that of an engine error ends in the
frame of this package that called the engine.
"""

from __future__ import annotations

from typing import Optional


def _raised_by_engine(exc: BaseException) -> bool:
    # The traceback of an engine error ends at the frame of this package that
    # made the native call; a callback's own error ends in the callback.
    tb = exc.__traceback__
    if tb is None:
        return True
    while tb.tb_next is not None:
        tb = tb.tb_next
    return str(tb.tb_frame.f_globals.get("__name__", "")).startswith("vexel_ckf.")


def _vectorise_hint(callback: str) -> str:
    args = "X, dt" if callback == "fx" else "X"
    one = "x, dt" if callback == "fx" else "x"
    return (f"a function f({one}) written for one point can be vectorised with "
            f"{callback} = lambda {args}: np.array([f({one.replace('x', 'row')}) for row in X]), "
            f"or rewritten with column operations such as X[:, 0]")


def explain(exc: BaseException, callback: str) -> Optional[BaseException]:
    """A clearer error for `exc` raised by a step calling `callback`, or None to keep `exc`.

    The engine's errors carry what the advice needs as attributes: `reason`,
    and for a model's output the `callback` at fault, the `expected_shape`
    (points, columns) and what it `got`.
    """
    if not isinstance(exc, (TypeError, ValueError, RuntimeError)) or not _raised_by_engine(exc):
        return None
    reason = getattr(exc, "reason", None)
    if reason == "no_factor":
        step = "prediction" if callback == "fx" else "update"
        return RuntimeError(
            f"the {step} failed because P is not positive semidefinite: its Cholesky factor could not be "
            f"computed even with jitter. Assign a symmetric positive semidefinite P (for example "
            f"kf.P = (P + P.T) / 2 with no negative eigenvalues), or use square_root=True, whose "
            f"covariances stay positive semidefinite by construction")
    if getattr(exc, "callback", None) != callback or reason is None or reason == "model_failed":
        return None
    points, columns = getattr(exc, "expected_shape")
    got = getattr(exc, "got")
    want = f"an array of shape ({points}, {columns})"
    all_points = f"{callback} must return all {points} points, one per row ({want})"
    if reason == "shape":
        rows, cols = got
        if rows != points:
            return ValueError(f"{all_points}, got shape ({rows}, {cols}); {_vectorise_hint(callback)}")
        return ValueError(f"{callback} must return {want}, one column per "
                          f"{'state' if callback == 'fx' else 'measurement'} component, got shape ({rows}, {cols})")
    if reason == "ndim":
        if got == 1:
            return TypeError(f"{all_points}, got a 1-D array (one point?); {_vectorise_hint(callback)}")
        return TypeError(f"{callback} must return {want}, got a {got}-D array")
    if reason == "dtype":
        return TypeError(
            f"{callback} returned {got} values: return float64 (for example "
            f"np.asarray(out, dtype=np.float64)); the filter does not convert callback output silently")
    if reason == "not_array":
        return TypeError(f"{callback} must return a NumPy float64 array ({want}), got a {got}")
    return None
