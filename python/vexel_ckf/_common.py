"""Argument handling shared by the modules of the Python layer.

Every check that more than one entry point makes lives here, once, so that
`VexelCKF`, `CKFBank`, the batch functions, the smoother and the Dask layer
accept the same forms and say the same thing about the same mistake.
"""

from __future__ import annotations

import operator
import pickle
from typing import Any, Iterable, List, Optional, Tuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

FloatArray = NDArray[np.float64]


# -- arrays --------------------------------------------------------------------

def as_floats(name: str, value: ArrayLike, contiguous: bool = False) -> FloatArray:
    """value as a float64 array (C-contiguous when asked).

    NumPy would turn None into NaN and drop the imaginary part of complex
    values; both would reach the engine as valid-looking numbers, so they are
    refused here with the caller's name for the value.
    """
    if value is None:
        raise TypeError(f"{name} must be an array-like of real numbers, not None")
    a = np.asarray(value)
    if a.dtype.kind == "c":
        raise TypeError(f"{name} must hold real numbers, got an array of {a.dtype}")
    if contiguous:
        return np.ascontiguousarray(a, dtype=np.float64)
    return a.astype(np.float64, copy=False)


def square(name: str, value: ArrayLike, size: int) -> FloatArray:
    """A square matrix where a scalar stands for that multiple of the identity.

    The shape is left to the caller (or the engine), which knows what else
    it may be: a per-filter stack, a per-step stack.
    """
    a = as_floats(name, value)
    return a * np.eye(size) if a.ndim == 0 else a


def matrix(name: str, value: ArrayLike, rows: int, cols: int) -> FloatArray:
    """Exactly one (rows, cols) matrix; a scalar stands for that multiple of the identity."""
    m = as_floats(name, value)
    if m.ndim == 0 and rows == cols:
        m = m * np.eye(rows)
    if m.shape != (rows, cols):
        raise ValueError(f"{name} must have shape ({rows}, {cols}), got {m.shape}")
    return m


def per_step(name: str, value: ArrayLike, steps: int, rows: int, cols: int) -> FloatArray:
    """A stack of per-step matrices, or a read-only broadcast view of one constant matrix.

    The view has stride 0 along the steps, so a constant model costs no copy
    of N matrices; the native code reads any strides.
    """
    m = as_floats(name, value)
    if m.ndim == 3:
        return m  # a stack: the native function checks its shape
    m = matrix(name, m, rows, cols) if m.ndim in (0, 2) else m
    if m.ndim != 2:
        raise ValueError(
            f"{name} must be a ({rows}, {cols}) matrix or a stack of shape ({steps}, {rows}, {cols}), "
            f"got shape {m.shape}"
        )
    return np.broadcast_to(m, (steps, rows, cols))


# -- angle options -------------------------------------------------------------

# The vector each angle option indexes and the name of its dimension.
_ANGLE_TARGETS = {"angle_states": ("x", "dim_x"), "angle_measurements": ("z", "dim_z")}


def angle_indices(name: str, value: Any, size: int) -> Tuple[int, ...]:
    """The entries an angle option names, as distinct indices in 0..size-1.

    ``angle_states`` (into x, size dim_x) and ``angle_measurements`` (into
    z, size dim_z) take, everywhere they are accepted, either distinct
    integer indices, negative ones counting from the end as in NumPy, or a
    boolean mask of length size. Indices keep their order; a mask gives its
    True entries in ascending order. None means no angles.

    A list of Python bools is a mask, not the indices 1 and 0: the smoother
    has always read ``[True, False]`` that way, and nobody spells index 1 as
    True.
    """
    if value is None:
        return ()
    vector, dim = _ANGLE_TARGETS[name]
    wanted = f"a sequence of indices into {vector} or a boolean mask of length {size}"
    array = value if isinstance(value, np.ndarray) else None
    if array is not None and array.ndim > 1:
        raise ValueError(f"{name} must be {wanted}, got an array of shape {array.shape}")
    if isinstance(value, (str, bytes)) or not isinstance(value, Iterable) or (array is not None and array.ndim == 0):
        raise TypeError(f"{name} must be {wanted}, got {type(value).__name__}")
    items: List[Any] = list(value)
    flags = [isinstance(v, (bool, np.bool_)) for v in items]
    if (array is not None and array.dtype == np.bool_) or (bool(items) and all(flags)):
        if len(items) != size:
            raise ValueError(f"{name} as a boolean mask must have length {size} ({dim} = {size}), got {len(items)}")
        return tuple(i for i, v in enumerate(items) if v)
    if any(flags):
        raise TypeError(f"{name} mixes booleans and integers: give indices or a boolean mask, not both")
    out: List[int] = []
    given: List[int] = []
    for v in items:
        try:
            i = operator.index(v)
        except TypeError:
            raise TypeError(f"{name} must hold integer indices, got {v!r}") from None
        if not -size <= i < size:
            raise ValueError(f"{name} holds {i}, outside {-size}..{size - 1} ({dim} = {size})")
        k = i % size
        if k in out:
            first = given[out.index(k)]
            if first == i:
                raise ValueError(f"{name} holds {i} twice")
            raise ValueError(f"{name} holds {first} and {i}, which name the same entry of {vector}")
        out.append(k)
        given.append(i)
    return tuple(out)


# -- callbacks -----------------------------------------------------------------

def extra_args(name: str, value: Optional[Iterable[Any]]) -> Tuple[Any, ...]:
    """The extra positional arguments of a callback as a tuple; None means none.

    A tuple passes as it is: `run()` and the bank hand the same one to every
    step without rebuilding it.
    """
    if value is None:
        return ()
    if type(value) is tuple:
        return value
    try:
        return tuple(value)
    except TypeError:
        raise TypeError(
            f"{name} must be a tuple (or another iterable) of extra arguments for {name[:2]}, "
            f"not {type(value).__name__}"
        ) from None


def picklable(fn: Any) -> Any:
    """fn when the standard pickler can store it, else None.

    A filter or bank holding a lambda still pickles; it comes back without
    that callback, and the first step that needs it says so.
    """
    if fn is None:
        return None
    try:
        pickle.dumps(fn)
    except Exception:
        return None
    return fn
