"""Nonlinear panels: the cubature filter and smoother of many sequences of one model in one native call.

Per-sequence and per-step arguments become read-only broadcast views of
their full (M, N, ...) shapes, so a Q shared by every step and sequence
costs no copy; the engine reads any strides.
"""

from __future__ import annotations

from typing import Any, Callable, Iterable, NamedTuple, Optional, Tuple, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _engine
from ._common import FloatArray, angle_indices, as_floats, extra_args
from ._models import as_model, model_angles

__all__ = ["cubature_filter", "cubature_panel_smoother", "CubatureFilterResult", "CubaturePanelSmootherResult"]

Model = Union[Callable[..., Any], Any]


class CubatureFilterResult(NamedTuple):
    """Output of `cubature_filter`: row k of a sequence belongs to its step k.

    For a panel every field has a leading M axis; for one sequence it has
    none (``log_likelihood`` and ``status`` are then scalars). A sequence
    that failed has NaN rows from the step it failed at."""

    xs: FloatArray
    """Posterior means, shape (M, N, dim_x)."""
    Ps: FloatArray
    """Posterior covariances, shape (M, N, dim_x, dim_x)."""
    xs_prior: FloatArray
    """Prior (predicted) means, shape (M, N, dim_x)."""
    Ps_prior: FloatArray
    """Prior covariances, shape (M, N, dim_x, dim_x)."""
    log_likelihoods: FloatArray
    """Log-likelihood of each measurement, shape (M, N); NaN at a missed one."""
    nis: FloatArray
    """Normalised innovation squared of each measurement, shape (M, N); NaN at a missed one."""
    log_likelihood: FloatArray
    """Each sequence's log-likelihood summed over its observed steps, shape (M,); NaN for a sequence that failed."""
    status: NDArray[np.int64]
    """Each sequence's outcome, shape (M,): 0 ran to the end, 2 stopped by a numerical failure, 3 stopped by
    its model (a failure code or non-finite images); see `STATUS_CODES`."""


class CubaturePanelSmootherResult(NamedTuple):
    """Output of `cubature_panel_smoother` (leading M axis for a panel, none for one sequence)."""

    xs: FloatArray
    """Smoothed means, shape (M, N, dim_x)."""
    Ps: Optional[FloatArray]
    """Smoothed covariances, shape (M, N, dim_x, dim_x); None with covariances=False."""
    log_likelihood: FloatArray
    """Each sequence's log-likelihood summed over its observed steps, shape (M,); NaN for a sequence that failed."""
    status: NDArray[np.int64]
    """Each sequence's outcome, shape (M,), as `CubatureFilterResult.status`."""


def _finite(name: str, a: FloatArray) -> None:
    if not np.isfinite(a).all():
        raise ValueError(f"{name} contains non-finite values (NaN or inf)")


def _initial(x0s: ArrayLike, P0: ArrayLike, count: int) -> Tuple[FloatArray, FloatArray, int]:
    x0 = as_floats("x0s", x0s)
    if x0.ndim not in (1, 2) or x0.shape[-1] == 0 or (x0.ndim == 2 and x0.shape[0] != count):
        raise ValueError(f"x0s must have shape (dim_x,) or (M, dim_x) with M = {count}; got {x0.shape}")
    n = x0.shape[-1]
    _finite("x0s", x0)
    P = as_floats("P0", P0)
    if P.ndim == 0:
        P = P * np.eye(n)
    if P.shape not in ((n, n), (count, n, n)):
        raise ValueError(f"P0 must have shape ({n}, {n}) or (M, {n}, {n}) with M = {count}; got {P.shape}")
    _finite("P0", P)
    return np.broadcast_to(x0, (count, n)), np.broadcast_to(P, (count, n, n)), n


def _noise_layout(name: str, shape: Tuple[int, ...], count: int, steps: int, size: int) -> Tuple[int, ...]:
    """The 4-D shape (sequences, steps, s, s) a Q or R of `shape` is read as (2-D or more; the caller turns a
    scalar into that multiple of the identity): one matrix, per step (N, s, s), per sequence (M, s, s), or
    a stack broadcasting to (M, N, s, s)."""
    fits = 2 <= len(shape) <= 4 and tuple(shape[-2:]) == (size, size)
    if fits and len(shape) == 2:
        return (1, 1, size, size)
    if fits and len(shape) == 3:
        k = shape[0]
        if k == steps and (k != count or count == 1):
            return (1, k, size, size)
        if k == count and k != steps:
            return (k, 1, size, size)
        if k == count:
            raise ValueError(
                f"{name} of shape {tuple(shape)} is ambiguous with M = N = {k}: give (1, {k}, {size}, {size}) for "
                f"one matrix per step or ({k}, 1, {size}, {size}) for one per sequence")
        fits = False
    if fits and shape[0] in (1, count) and shape[1] in (1, steps):
        return tuple(shape)
    raise ValueError(
        f"{name} must have shape ({size}, {size}), ({steps}, {size}, {size}) per step, ({count}, {size}, {size}) "
        f"per sequence, or broadcast to (M, N, {size}, {size}) = {(count, steps, size, size)}; got {tuple(shape)}")


def _steps_layout(shape: Tuple[int, ...], count: int, steps: int) -> None:
    """Checks that dts of `shape` is one value, (N,) or broadcasts to (M, N)."""
    ok = len(shape) <= 2 and tuple(shape[-1:]) in ((), (1,), (steps,)) and tuple(shape[:-1]) in ((), (1,), (count,))
    if not ok:
        raise ValueError(
            f"dts must be one value, shape (N,) = ({steps},) or (M, N) = ({count}, {steps}); got {tuple(shape)}")


def _noise(name: str, value: ArrayLike, count: int, steps: int, size: int) -> FloatArray:
    a = as_floats(name, value)
    if a.ndim == 0:
        a = a * np.eye(size)
    a = a.reshape(_noise_layout(name, a.shape, count, steps, size))
    _finite(name, a)
    return np.broadcast_to(a, (count, steps, size, size))


def _time_steps(dts: ArrayLike, count: int, steps: int) -> FloatArray:
    d = as_floats("dts", dts)
    _steps_layout(d.shape, count, steps)
    _finite("dts", d)
    return np.broadcast_to(d, (count, steps))


def _panel(kind: str, x0s: ArrayLike, P0: ArrayLike, zs: ArrayLike, fx: Model, hx: Model, Q: ArrayLike,
           R: ArrayLike, dts: ArrayLike, fx_args: Optional[Iterable[Any]], hx_args: Optional[Iterable[Any]],
           angle_states: Optional[Iterable[int]], angle_measurements: Optional[Iterable[int]],
           nan_means_missing: bool, square_root: bool, covariances: bool,
           first_sequence: Optional[int]) -> Any:
    """The filter (kind "filter"), filter and smoother ("smoother") or log-likelihood ("likelihood": the
    filter's totals and statuses, its other fields None) of a panel or one sequence.

    first_sequence: the index of the first sequence in the caller's whole
    panel (its messages name global sequences), or None."""
    z = as_floats("zs", zs)
    single = z.ndim in (1, 2)
    if z.ndim == 1:
        z = z.reshape(-1, 1)
    if single:
        z = z[np.newaxis]
    if z.ndim != 3:
        raise ValueError(f"zs must have shape (N, dim_z) or (M, N, dim_z); got {z.shape}")
    count, steps, m = z.shape
    if count == 0 or steps == 0 or m == 0:
        raise ValueError(f"zs must hold at least one sequence, step and measurement entry; got shape {z.shape}")
    x0, P, n = _initial(x0s, P0, count)
    fx = as_model(fx, "fx", n, n)
    hx = as_model(hx, "hx", n, m)
    if angle_states is None:
        angle_states = model_angles(fx)
    if angle_measurements is None:
        angle_measurements = model_angles(hx)
    angles = (angle_indices("angle_states", angle_states, n) or None,
              angle_indices("angle_measurements", angle_measurements, m) or None)
    models = (fx, extra_args("fx_args", fx_args), hx, extra_args("hx_args", hx_args))
    qs = _noise("Q", Q, count, steps, n)
    rs = _noise("R", R, count, steps, m)
    d = _time_steps(dts, count, steps)
    first = None if single and first_sequence is None else int(first_sequence or 0)
    # "likelihood": filtering without rows, the totals and statuses only.
    smooth = kind == "smoother"
    out = _engine.cubature_panel(x0, P, z, qs, rs, d, models, angles, bool(nan_means_missing), bool(square_root),
                                 smooth, bool(covariances) if smooth else kind == "filter", first)
    if single:
        out = tuple(None if a is None else a[0] for a in out)
    if kind == "smoother":
        return CubaturePanelSmootherResult(*out)
    return CubatureFilterResult(*out)


def cubature_filter(x0s: ArrayLike, P0: ArrayLike, zs: ArrayLike, fx: Model, hx: Model, Q: ArrayLike,
                    R: ArrayLike, *, dts: ArrayLike = 1.0, fx_args: Optional[Iterable[Any]] = (),
                    hx_args: Optional[Iterable[Any]] = (), angle_states: Optional[Iterable[int]] = None,
                    angle_measurements: Optional[Iterable[int]] = None, nan_means_missing: bool = False,
                    square_root: bool = False) -> CubatureFilterResult:
    """Cubature Kalman filter of one sequence, or of a panel of sequences of one nonlinear model, in one call.

    Step k of sequence i predicts with ``fx`` over ``dts[i, k]`` and Q (from
    the state of step k-1; step 0 from ``x0s[i]``, ``P0[i]``) and updates
    with ``zs[i, k]``, ``hx`` and R. Each sequence's numbers are the bits of
    a `VexelCKF` set to that sequence's x0, P0, Q and R and ``run`` over its
    measurements with its ``dts``, whatever the number of workers.

    With compiled or built-in models (`vexel_ckf.models`, `compiled_fx`,
    `CompiledModel`) every sequence runs natively on the worker pool with
    the interpreter lock released (Ctrl-C stops the call within a fraction
    of a second). A Python callable is accepted too: it is called once per
    step for the whole panel's points, stacked sequence after sequence (once
    per distinct time step when the sequences' time steps differ), and holds
    the interpreter lock for those calls.

    Parameters
    ----------
    x0s : array_like
        Initial mean, shape (dim_x,) shared by every sequence or (M, dim_x).
    P0 : array_like
        Initial covariance, (dim_x, dim_x) (a scalar: that multiple of the
        identity) or (M, dim_x, dim_x).
    zs : array_like
        Measurements, (M, N, dim_z) for a panel or (N, dim_z) for one
        sequence ((N,) when dim_z is 1).
    fx, hx : compiled model or callable
        The transition ``fx(X, dt, *fx_args)`` and the measurement model
        ``hx(X, *hx_args)``, as `VexelCKF` takes them.
    Q, R : array_like
        Process and measurement noise: one matrix (a scalar: that multiple
        of the identity), one per step (N, s, s), one per sequence
        (M, s, s), or any stack broadcasting to (M, N, s, s) (a 3-D stack
        is ambiguous when M == N: give (1, N, s, s) or (M, 1, s, s)).
    dts : float or array_like, optional
        Time step of each step's prediction: one value (default 1.0), (N,)
        shared, or (M, N) per sequence (``np.diff`` of each track's scan
        times).
    fx_args, hx_args : iterable, optional
        Extra arguments of the models (numbers, or one float64 array, for
        compiled models).
    angle_states, angle_measurements : sequence of int or boolean mask, optional
        The state and measurement entries that are angles, as `VexelCKF`
        takes them; default: those the compiled models declare.
    nan_means_missing : bool, optional
        A row of all NaN is a missed scan: the step predicts only, its
        log-likelihood and NIS are NaN and it is left out of the total.
    square_root : bool, optional
        The square-root form.

    Returns
    -------
    CubatureFilterResult
        Posterior and prior means and covariances, per-step log-likelihoods
        and NIS, each sequence's total log-likelihood and status. A sequence
        whose filter fails numerically (a covariance no jitter can factor,
        status 2) or through its model (a failure code or non-finite images,
        status 3) stops at that step: its rows from there on are NaN and its
        total is NaN; the other sequences are not affected.

    Raises
    ------
    ValueError
        For shapes that do not match (naming the argument), non-finite
        x0s, P0, Q, R or dts, and a measurement row holding NaN (without
        ``nan_means_missing``), partly NaN or infinite, naming the sequence
        and step.
    TypeError
        For models of the wrong kind or dimensions, or bad ``fx_args``.
    """
    return _panel("filter", x0s, P0, zs, fx, hx, Q, R, dts, fx_args, hx_args, angle_states, angle_measurements,
                  nan_means_missing, square_root, True, None)


def cubature_panel_smoother(x0s: ArrayLike, P0: ArrayLike, zs: ArrayLike, fx: Model, hx: Model, Q: ArrayLike,
                            R: ArrayLike, *, dts: ArrayLike = 1.0, fx_args: Optional[Iterable[Any]] = (),
                            hx_args: Optional[Iterable[Any]] = (), angle_states: Optional[Iterable[int]] = None,
                            angle_measurements: Optional[Iterable[int]] = None, nan_means_missing: bool = False,
                            square_root: bool = False, covariances: bool = True) -> CubaturePanelSmootherResult:
    """Cubature filter and RTS smoother of one sequence or a panel, in one pass.

    Arguments as `cubature_filter`. Each sequence is filtered and then
    smoothed by the cubature RTS smoother while its filtered trace is still
    in cache, with the bits of `VexelCKF.run` followed by `VexelCKF.smooth`
    (with the same Q and dts). The filtered covariances live only in
    per-worker scratch; with ``covariances=False`` no (M, N, dim_x, dim_x)
    array exists at all. With a Python model the sequences advance together
    step by step, so the filtered covariances of all of them are kept until
    the smoother has run.

    Parameters
    ----------
    x0s, P0, zs, fx, hx, Q, R, dts, fx_args, hx_args, angle_states, angle_measurements, nan_means_missing, square_root
        As for `cubature_filter`.
    covariances : bool, optional
        Return the smoothed covariances (default); False returns the
        smoothed means only (``Ps`` is None).

    Returns
    -------
    CubaturePanelSmootherResult
        Smoothed means, smoothed covariances (None with covariances=False),
        each sequence's total log-likelihood and status. A sequence whose
        filter stopped at step k (see `cubature_filter`) is smoothed over
        its steps before k and is NaN from k on; one whose smoother fails
        is NaN throughout, with status 2 or 3.

    Raises
    ------
    ValueError, TypeError
        As for `cubature_filter`.
    """
    return _panel("smoother", x0s, P0, zs, fx, hx, Q, R, dts, fx_args, hx_args, angle_states, angle_measurements,
                  nan_means_missing, square_root, covariances, None)
