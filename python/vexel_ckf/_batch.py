"""Whole-array linear filtering: thin broadcasting layers over the native batch functions.

A constant matrix given where the native function wants one matrix per step
becomes a read-only broadcast view (stride 0 along the steps), so nothing is
copied N times; the native code reads any strides.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _native
from ._convert import as_floats

__all__ = ["batch_filter", "rts_smoother", "filter_bank_step", "BatchResult", "SmoothResult", "BankStepResult"]

FloatArray = NDArray[np.float64]


class BatchResult(NamedTuple):
    """Output of `batch_filter`; ``(xs, Ps)`` can go straight to `rts_smoother`."""

    xs: FloatArray
    """Posterior means, shape (N, dim_x)."""
    Ps: FloatArray
    """Posterior covariances, shape (N, dim_x, dim_x)."""
    log_likelihoods: FloatArray
    """Log-likelihood of each measurement, shape (N,)."""


class SmoothResult(NamedTuple):
    """Output of `rts_smoother`."""

    xs: FloatArray
    """Smoothed means, shape (N, dim_x)."""
    Ps: FloatArray
    """Smoothed covariances, shape (N, dim_x, dim_x)."""


class BankStepResult(NamedTuple):
    """Output of `filter_bank_step`, row i belonging to filter i."""

    xs: FloatArray
    """New means, shape (M, dim_x)."""
    Ps: FloatArray
    """New covariances, shape (M, dim_x, dim_x)."""
    log_likelihoods: FloatArray
    """Log-likelihood of each filter's measurement, shape (M,)."""
    status: NDArray[np.int64]
    """0 ok, 1 singular innovation (fallback inverse), 2 no update applied
    (no inverse at all, or an update that overflowed: the prediction is
    returned), 3 non-finite x, P or z (update skipped); shape (M,)."""


def _matrix(name: str, a: ArrayLike, rows: int, cols: int) -> FloatArray:
    """One matrix; a scalar stands for that multiple of the identity."""
    m = as_floats(name, a)
    if m.ndim == 0 and rows == cols:
        m = m * np.eye(rows)
    if m.shape != (rows, cols):
        raise ValueError(f"{name} must have shape ({rows}, {cols}), got {m.shape}")
    return m


def _shared(name: str, a: ArrayLike, size: int) -> FloatArray:
    """One shared matrix; a scalar stands for that multiple of the identity (shape checked natively)."""
    m = as_floats(name, a)
    return m * np.eye(size) if m.ndim == 0 else m


def _per_step(name: str, a: ArrayLike, steps: int, rows: int, cols: int) -> FloatArray:
    """A stack of per-step matrices, or a broadcast view of one constant matrix."""
    m = as_floats(name, a)
    if m.ndim == 3:
        return m  # a stack: the native function checks its shape
    m = _matrix(name, m, rows, cols) if m.ndim in (0, 2) else m
    if m.ndim != 2:
        raise ValueError(
            f"{name} must be a ({rows}, {cols}) matrix or a stack of shape ({steps}, {rows}, {cols}), "
            f"got shape {m.shape}"
        )
    return np.broadcast_to(m, (steps, rows, cols))


def _measurements(zs: ArrayLike) -> FloatArray:
    z = as_floats("zs", zs)
    return z.reshape(-1, 1) if z.ndim == 1 else z


def _state(x0: ArrayLike) -> FloatArray:
    x = as_floats("x0", x0)
    return x.reshape(1) if x.ndim == 0 else x


def batch_filter(x0: ArrayLike, P0: ArrayLike, zs: ArrayLike, F: ArrayLike, H: ArrayLike,
                 Q: ArrayLike, R: ArrayLike) -> BatchResult:
    """Linear Kalman filter over a whole sequence, in one native call.

    Step k predicts with F[k], Q[k] (from the state of step k-1; step 0 from
    x0, P0) and updates with zs[k], H[k], R[k] (Joseph form).

    Parameters
    ----------
    x0 : array_like
        Initial mean, shape (dim_x,).
    P0 : array_like
        Initial covariance, shape (dim_x, dim_x) (a scalar means that
        multiple of the identity).
    zs : array_like
        Measurements, shape (N, dim_z), or (N,) for scalar measurements.
    F, H : array_like
        Transition (dim_x, dim_x) and measurement (dim_z, dim_x) matrices:
        one matrix used at every step, or a stack with one per step.
    Q, R : array_like
        Process and measurement noise: a scalar (multiple of the identity),
        one matrix or a stack with one per step.

    Returns
    -------
    BatchResult
        Posterior means and covariances and the log-likelihood of each step.

    Raises
    ------
    ValueError
        For shapes that do not fit together or non-finite values.
    TypeError
        For None, complex values or arrays of the wrong dimensionality.
    RuntimeError
        When an innovation covariance cannot be inverted.
    """
    x0 = _state(x0)
    zs = _measurements(zs)
    if x0.ndim != 1 or zs.ndim != 2:
        # Malformed: the native function names the argument and what it wants.
        return BatchResult(*_native.batch_filter_linear(
            x0, as_floats("P0", P0), zs, as_floats("F", F), as_floats("H", H), as_floats("Q", Q), as_floats("R", R)))
    dim_x = x0.shape[0]
    steps, dim_z = zs.shape
    P0 = _matrix("P0", P0, dim_x, dim_x) if np.ndim(P0) == 0 else as_floats("P0", P0)
    fs = _per_step("F", F, steps, dim_x, dim_x)
    hs = _per_step("H", H, steps, dim_z, dim_x)
    qs = _per_step("Q", Q, steps, dim_x, dim_x)
    rs = _per_step("R", R, steps, dim_z, dim_z)
    return BatchResult(*_native.batch_filter_linear(x0, P0, zs, fs, hs, qs, rs))


def rts_smoother(xs: ArrayLike, Ps: ArrayLike, F: ArrayLike, Q: ArrayLike) -> SmoothResult:
    """Rauch-Tung-Striebel smoother over a filtered trace (for example `batch_filter`'s xs, Ps).

    Parameters
    ----------
    xs : array_like
        Filtered means, shape (N, dim_x).
    Ps : array_like
        Filtered covariances, shape (N, dim_x, dim_x).
    F, Q : array_like
        Transition and process noise: one matrix each, or per-step stacks.
        Of length N, entry k is the transition k-1 -> k (as `batch_filter`
        takes them); of length N-1, entry k is the transition k -> k+1.

    Returns
    -------
    SmoothResult
        Smoothed means and covariances.

    Raises
    ------
    ValueError
        For shapes that do not fit together or non-finite values.
    TypeError
        For None, complex values or arrays of the wrong dimensionality.
    RuntimeError
        When a predicted covariance cannot be inverted.
    """
    xs = as_floats("xs", xs)
    Ps = as_floats("Ps", Ps)
    if xs.ndim != 2:
        return SmoothResult(*_native.rts_smooth(xs, Ps, as_floats("F", F), as_floats("Q", Q)))
    steps, dim_x = xs.shape
    fs = _per_step("F", F, steps, dim_x, dim_x)
    qs = _per_step("Q", Q, steps, dim_x, dim_x)
    return SmoothResult(*_native.rts_smooth(xs, Ps, fs, qs))


def filter_bank_step(xs: ArrayLike, Ps: ArrayLike, zs: ArrayLike, F: ArrayLike, H: ArrayLike,
                     Q: ArrayLike, R: ArrayLike) -> BankStepResult:
    """One predict/update step of M independent linear filters sharing F, H, Q, R.

    The filters run in parallel on the native worker pool. A filter whose own
    data is bad does not fail the call: see `BankStepResult.status`.

    Parameters
    ----------
    xs : array_like
        Means, shape (M, dim_x).
    Ps : array_like
        Covariances, shape (M, dim_x, dim_x), or one (dim_x, dim_x)
        covariance shared by all filters.
    zs : array_like
        Measurements, shape (M, dim_z), or (M,) for scalar measurements.
    F, H : array_like
        The shared transition and measurement matrices.
    Q, R : array_like
        The shared noise covariances (a scalar means that multiple of the
        identity).

    Returns
    -------
    BankStepResult
        New means and covariances, log-likelihoods and a status per filter.

    Raises
    ------
    ValueError
        For shapes that do not fit together or non-finite shared matrices.
    TypeError
        For None, complex values or arrays of the wrong dimensionality.
    """
    xs = as_floats("xs", xs)
    zs = _measurements(zs)
    Ps = as_floats("Ps", Ps)
    F, H = as_floats("F", F), as_floats("H", H)
    if xs.ndim != 2 or zs.ndim != 2:
        return BankStepResult(*_native.batch_parallel_step(xs, Ps, zs, F, H, as_floats("Q", Q), as_floats("R", R)))
    filters, dim_x = xs.shape
    dim_z = zs.shape[1]
    if Ps.ndim == 2:
        Ps = np.broadcast_to(_matrix("Ps", Ps, dim_x, dim_x), (filters, dim_x, dim_x))
    return BankStepResult(*_native.batch_parallel_step(xs, Ps, zs, F, H, _shared("Q", Q, dim_x), _shared("R", R, dim_z)))

