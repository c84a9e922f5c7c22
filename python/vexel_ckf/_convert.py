"""Conversion of user values to the float64 arrays the native engine takes."""

from __future__ import annotations

import numpy as np
from numpy.typing import ArrayLike, NDArray

FloatArray = NDArray[np.float64]


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
