"""Whole-array linear filtering: thin broadcasting layers over the native batch functions.

A constant matrix given where the native function wants one matrix per step
becomes a read-only broadcast view (stride 0 along the steps), so nothing is
copied N times; the native code reads any strides.
"""

from __future__ import annotations

from typing import NamedTuple, Optional, Tuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _engine, _native
from ._common import FloatArray, as_floats, matrix, per_step, square

__all__ = ["batch_filter", "rts_smoother", "batch_smoother", "filter_bank_step",
           "BatchResult", "SmoothResult", "SmootherResult", "BankStepResult"]


class BatchResult(NamedTuple):
    """Output of `batch_filter`; ``(xs, Ps)`` can go straight to `rts_smoother`.

    For a panel of M sequences every field has a leading M axis."""

    xs: FloatArray
    """Posterior means, shape (N, dim_x) or (M, N, dim_x)."""
    Ps: FloatArray
    """Posterior covariances, shape (N, dim_x, dim_x) or (M, N, dim_x, dim_x)."""
    log_likelihoods: FloatArray
    """Log-likelihood of each measurement, shape (N,) or (M, N); NaN at a missed measurement."""


class SmoothResult(NamedTuple):
    """Output of `rts_smoother`."""

    xs: FloatArray
    """Smoothed means, shape (N, dim_x) or (M, N, dim_x)."""
    Ps: FloatArray
    """Smoothed covariances, shape (N, dim_x, dim_x) or (M, N, dim_x, dim_x)."""


class SmootherResult(NamedTuple):
    """Output of `batch_smoother`."""

    xs: FloatArray
    """Smoothed means, shape (N, dim_x) or (M, N, dim_x)."""
    Ps: Optional[FloatArray]
    """Smoothed covariances, shape (N, dim_x, dim_x) or (M, N, dim_x, dim_x); None with covariances=False."""
    log_likelihood: FloatArray
    """Log-likelihood summed over the observed steps: a scalar, or shape (M,) for a panel."""


class BankStepResult(NamedTuple):
    """Output of `filter_bank_step`, row i belonging to filter i."""

    xs: FloatArray
    """New means, shape (M, dim_x)."""
    Ps: FloatArray
    """New covariances, shape (M, dim_x, dim_x)."""
    log_likelihoods: FloatArray
    """Log-likelihood of each filter's measurement, shape (M,)."""
    status: NDArray[np.int64]
    """Status code of each filter's update, shape (M,) (see `STATUS_CODES`); 3
    also marks a filter whose own x or P is not finite (nothing is done for
    it), and 4 needs nan_means_missing=True."""


def _measurements(zs: ArrayLike) -> FloatArray:
    z = as_floats("zs", zs)
    return z.reshape(-1, 1) if z.ndim == 1 else z


def _state(x0: ArrayLike) -> FloatArray:
    x = as_floats("x0", x0)
    return x.reshape(1) if x.ndim == 0 else x


def _panel_model(x0: FloatArray, P0: ArrayLike, zs: FloatArray, F: ArrayLike, H: ArrayLike, Q: ArrayLike,
                 R: ArrayLike) -> Tuple[FloatArray, FloatArray, Tuple[FloatArray, ...]]:
    """P0 and the per-step stacks (F, H, Q, R) for a 3-D zs (M, N, dim_z)."""
    dim_x = x0.shape[-1] if x0.ndim in (1, 2) else 0
    steps, dim_z = zs.shape[1], zs.shape[2]
    P0 = square("P0", P0, dim_x)
    model = (per_step("F", F, steps, dim_x, dim_x), per_step("H", H, steps, dim_z, dim_x),
             per_step("Q", Q, steps, dim_x, dim_x), per_step("R", R, steps, dim_z, dim_z))
    return x0, P0, model


def _single_as_panel(x0: FloatArray, zs: FloatArray) -> bool:
    """True when a single sequence must take the panel path: it holds a non-finite value.

    The panel routines give a sequence the bits of the single-sequence
    function; they also know missed measurements and name the bad row with a
    pointer to nan_means_missing=True."""
    return x0.ndim == 1 and zs.ndim == 2 and not np.isfinite(zs).all()


def batch_filter(x0: ArrayLike, P0: ArrayLike, zs: ArrayLike, F: ArrayLike, H: ArrayLike,
                 Q: ArrayLike, R: ArrayLike, *, nan_means_missing: bool = False) -> BatchResult:
    """Linear Kalman filter over a whole sequence, or over a panel of sequences, in one native call.

    Step k predicts with F[k], Q[k] (from the state of step k-1; step 0 from
    x0, P0) and updates with zs[k], H[k], R[k] (Joseph form).

    A panel is zs of shape (M, N, dim_z) (always 3-D): M independent
    sequences of the same model, filtered in parallel on the worker pool; the
    outputs get a leading M axis. Each sequence's results are the bits a
    single-sequence call on it gives.

    Parameters
    ----------
    x0 : array_like
        Initial mean, shape (dim_x,), or (M, dim_x) for a panel.
    P0 : array_like
        Initial covariance, shape (dim_x, dim_x) (a scalar means that
        multiple of the identity), or (M, dim_x, dim_x) for a panel.
    zs : array_like
        Measurements, shape (N, dim_z), or (N,) for scalar measurements, or a
        panel (M, N, dim_z).
    F, H : array_like
        Transition (dim_x, dim_x) and measurement (dim_z, dim_x) matrices:
        one matrix used at every step, or a stack with one per step.
    Q, R : array_like
        Process and measurement noise: a scalar (multiple of the identity),
        one matrix or a stack with one per step.
    nan_means_missing : bool, optional
        A row of all NaN is a missed measurement: the step only predicts, and
        its log-likelihood is NaN. A row partly NaN is still an error naming
        the sequence and step.

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
        When an innovation covariance cannot be inverted or the state
        overflows.
    """
    x0 = _state(x0)
    zs = _measurements(zs)
    if zs.ndim == 3:
        x0, P0, model = _panel_model(x0, P0, zs, F, H, Q, R)
        return BatchResult(*_engine.panel_filter(x0, P0, zs, model, nan_means_missing, 0))
    if x0.ndim != 1 or zs.ndim != 2:
        # Malformed: the native function names the argument and what it wants.
        return BatchResult(*_native.batch_filter_linear(
            x0, as_floats("P0", P0), zs, as_floats("F", F), as_floats("H", H), as_floats("Q", Q), as_floats("R", R)))
    if _single_as_panel(x0, zs):
        x0, P0, model = _panel_model(x0, P0, zs[None], F, H, Q, R)
        xs, Ps, lls = _engine.panel_filter(x0, P0, zs[None], model, nan_means_missing, None)
        return BatchResult(xs[0], Ps[0], lls[0])
    dim_x = x0.shape[0]
    steps, dim_z = zs.shape
    P0 = square("P0", P0, dim_x)
    fs = per_step("F", F, steps, dim_x, dim_x)
    hs = per_step("H", H, steps, dim_z, dim_x)
    qs = per_step("Q", Q, steps, dim_x, dim_x)
    rs = per_step("R", R, steps, dim_z, dim_z)
    return BatchResult(*_native.batch_filter_linear(x0, P0, zs, fs, hs, qs, rs))


def batch_smoother(x0: ArrayLike, P0: ArrayLike, zs: ArrayLike, F: ArrayLike, H: ArrayLike, Q: ArrayLike,
                   R: ArrayLike, nan_means_missing: bool = False, covariances: bool = True) -> SmootherResult:
    """`batch_filter` then `rts_smoother` of every sequence, in one native pass.

    The filtered covariances live only in per-worker scratch memory. Results
    are the bits of `batch_filter` followed by `rts_smoother`.

    Parameters
    ----------
    x0, P0, zs, F, H, Q, R : array_like
        As for `batch_filter`: zs is (N, dim_z) or a panel (M, N, dim_z).
    nan_means_missing : bool, optional
        A row of all NaN is a missed measurement (predict only); it is left out
        of the log-likelihood total.
    covariances : bool, optional
        False returns smoothed means only, so the memory used is the inputs
        plus the outputs.

    Returns
    -------
    SmootherResult
        Smoothed means, covariances (None when ``covariances=False``) and each
        sequence's log-likelihood total over its observed steps.

    Raises
    ------
    ValueError
        For shapes that do not fit together, non-finite values, or a partly
        NaN row (naming the sequence and step).
    RuntimeError
        When an innovation or predicted covariance cannot be inverted, the
        filtered state overflows, or a smoothed estimate is not finite.
    """
    x0 = _state(x0)
    zs = _measurements(zs)
    single = zs.ndim == 2
    panel_zs = zs[None] if single else zs
    if panel_zs.ndim != 3:
        raise ValueError(f"zs must have shape (N, dim_z) or (M, N, dim_z), got {zs.shape}")
    x0, P0, model = _panel_model(x0, P0, panel_zs, F, H, Q, R)
    if single and x0.ndim != 1:
        raise ValueError(f"x0 must have shape (dim_x,) for a single sequence, got {x0.shape}")
    xs, Ps, ll = _engine.panel_smoother(x0, P0, panel_zs, model, nan_means_missing, covariances,
                                        None if single else 0)
    if single:
        return SmootherResult(xs[0], None if Ps is None else Ps[0], ll[0])
    return SmootherResult(xs, Ps, ll)


def rts_smoother(xs: ArrayLike, Ps: ArrayLike, F: ArrayLike, Q: ArrayLike) -> SmoothResult:
    """Rauch-Tung-Striebel smoother over a filtered trace (for example `batch_filter`'s xs, Ps).

    F and Q are one matrix each, or per-step stacks. xs (M, N, dim_x) and Ps
    (M, N, dim_x, dim_x) are a panel of M filtered sequences, smoothed in
    parallel on the worker pool.

    Parameters
    ----------
    xs : array_like
        Filtered means, shape (N, dim_x), or (M, N, dim_x) for a panel.
    Ps : array_like
        Filtered covariances, shape (N, dim_x, dim_x), or (M, N, dim_x, dim_x).
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
        When a predicted covariance cannot be inverted, or a smoothed mean
        or covariance is not finite (an overflow, or non-finite input),
        naming the step (and the sequence of a panel).
    """
    xs = as_floats("xs", xs)
    Ps = as_floats("Ps", Ps)
    if xs.ndim == 3:
        steps, dim_x = xs.shape[1], xs.shape[2]
        fs = per_step("F", F, steps, dim_x, dim_x)
        qs = per_step("Q", Q, steps, dim_x, dim_x)
        return SmoothResult(*_engine.panel_rts(xs, Ps, fs, qs, 0))
    if xs.ndim != 2:
        return SmoothResult(*_native.rts_smooth(xs, Ps, as_floats("F", F), as_floats("Q", Q)))
    steps, dim_x = xs.shape
    fs = per_step("F", F, steps, dim_x, dim_x)
    qs = per_step("Q", Q, steps, dim_x, dim_x)
    out = SmoothResult(*_native.rts_smooth(xs, Ps, fs, qs))
    # The native pass lets an overflow run on as NaN; a result must not
    # carry one. The backward pass spreads it to every earlier step, so the
    # last non-finite step is where it began (as the panel path reports it).
    finite = np.isfinite(out.xs).all(axis=1) & np.isfinite(out.Ps).all(axis=(1, 2))
    if not finite.all():
        raise RuntimeError(f"smoothed estimate is not finite at step {int(np.flatnonzero(~finite)[-1])}")
    return out


def filter_bank_step(xs: ArrayLike, Ps: ArrayLike, zs: ArrayLike, F: ArrayLike, H: ArrayLike,
                     Q: ArrayLike, R: ArrayLike, nan_means_missing: bool = False) -> BankStepResult:
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
    nan_means_missing : bool, optional
        A filter whose z is all NaN is predicted only (status 4, NaN
        log-likelihood).

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
    step = _engine.bank_step_gaps if nan_means_missing else _native.batch_parallel_step
    xs = as_floats("xs", xs)
    zs = _measurements(zs)
    Ps = as_floats("Ps", Ps)
    F, H = as_floats("F", F), as_floats("H", H)
    if xs.ndim != 2 or zs.ndim != 2:
        return BankStepResult(*step(xs, Ps, zs, F, H, as_floats("Q", Q), as_floats("R", R)))
    filters, dim_x = xs.shape
    dim_z = zs.shape[1]
    if Ps.ndim == 2:
        Ps = np.broadcast_to(matrix("Ps", Ps, dim_x, dim_x), (filters, dim_x, dim_x))
    return BankStepResult(*step(xs, Ps, zs, F, H, square("Q", Q, dim_x), square("R", R, dim_z)))

