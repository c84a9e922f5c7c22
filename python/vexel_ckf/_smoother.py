"""The cubature RTS smoother: a thin layer over the native backward pass.

Q and dt given once become read-only broadcast views (one matrix or value per
step without copies); the native pass reads any strides and factors a
broadcast Q only once.
"""

from __future__ import annotations

import operator
from typing import Any, Callable, Iterable, NamedTuple, Optional

import numpy as np
from numpy.typing import ArrayLike

from . import _engine
from ._models import as_model, model_angles
from ._common import FloatArray, angle_indices, as_floats, extra_args, per_step

__all__ = ["cubature_smoother", "CubatureSmoothResult"]


class CubatureSmoothResult(NamedTuple):
    """Output of `cubature_smoother` and `VexelCKF.smooth`, row k belonging to step k."""

    xs: FloatArray
    """Smoothed means, shape (N, dim_x)."""
    Ps: FloatArray
    """Smoothed covariances, shape (N, dim_x, dim_x)."""
    gains: FloatArray
    """Smoother gains G_k of the steps k -> k+1, shape (N, dim_x, dim_x); gains[N-1] is zero."""
    chol_Ps: Optional[FloatArray]
    """Lower factors of Ps in square-root form (Ps = chol_Ps @ chol_Ps^T), None in covariance form."""


def _time_steps(dt: ArrayLike, steps: int) -> FloatArray:
    d = as_floats("dt", dt)
    if d.ndim == 0:
        if not np.isfinite(d):
            raise ValueError(f"dt must be finite, got {float(d)}")
        return np.broadcast_to(d, (steps,))
    return d  # a per-step array: the native pass checks its length


def _steps_per_call(value: Any) -> int:
    try:
        k = operator.index(value)
    except TypeError:
        raise TypeError(f"steps_per_call must be an int, not {type(value).__name__}") from None
    if k < 1:
        raise ValueError(f"steps_per_call must be at least 1, got {k}")
    return min(k, 2**40)  # more than any trace has steps


def cubature_smoother(xs: ArrayLike, Ps: ArrayLike, fx: Callable[..., Any], Q: ArrayLike, dt: ArrayLike,
                      fx_args: Optional[Iterable[Any]] = (), square_root: bool = False,
                      angle_states: Optional[Iterable[int]] = None,
                      steps_per_call: int = 1) -> CubatureSmoothResult:
    """Cubature Rauch-Tung-Striebel smoother over a filtered trace.

    One native backward pass from the last step to the first; ``fx`` is called
    once per step with all 2 dim_x cubature points of that step, one per row.
    The points of a step depend on the filtered trace alone, so a row-wise
    ``fx`` can take many steps at once: ``steps_per_call`` > 1 stacks the
    points of up to that many consecutive steps with the same time step into
    one call, which saves the callback's per-call cost on long traces.

    Parameters
    ----------
    xs : array_like, shape (N, dim_x)
        Filtered means, for example ``VexelCKF.run(...).xs``.
    Ps : array_like, shape (N, dim_x, dim_x)
        Filtered covariances, for example ``VexelCKF.run(...).Ps``.
    fx : callable or compiled model
        The transition the filter predicted with, ``fx(X, dt, *fx_args)`` over
        all points at once, returning one row per point; or a compiled model
        (see `VexelCKF`), with which the whole pass runs without Python.
    Q : array_like
        Process noise: one matrix, a scalar (that multiple of the identity) or a
        per-step stack. A stack of length N has entry k for the transition
        k-1 -> k (as `batch_filter` takes them), one of length N-1 entry k for
        k -> k+1.
    dt : float or array_like
        Time step: one value or a per-step array, with the conventions of ``Q``.
    fx_args : iterable, optional
        Extra positional arguments of ``fx``.
    square_root : bool, optional
        Work on Cholesky factors: each filtered covariance is factored once and
        the smoothed factors come from QR triangularisations (``chol_Ps``).
    angle_states : sequence of int or boolean mask, optional
        The states that are angles, as `VexelCKF` takes them: distinct
        indices into x (negative ones count from the end) or a boolean mask
        of length dim_x. Their differences are taken the short way round
        and their smoothed values wrapped to (-pi, pi]. Defaults to the
        angles a compiled fx declares.
    steps_per_call : int, optional
        Most steps whose points go to ``fx`` in one call (default 1: one call
        per step, 2 dim_x rows). With k > 1, ``fx`` receives up to 2 dim_x k
        rows, the steps in order, and must treat every row on its own. The
        result does not depend on it.

    Returns
    -------
    CubatureSmoothResult
        Smoothed means, covariances, gains and (square-root form) factors.

    Raises
    ------
    ValueError
        For shapes that do not match, or non-finite values in ``xs`` or ``Ps``
        (naming the step), or a callback output of the wrong shape or dtype;
        for angle indices out of range or naming a state twice, or an angle
        mask of the wrong length.
    TypeError
        For angle indices that are not integers, or ``fx_args`` that is not
        iterable.
    RuntimeError
        When a filtered covariance cannot be factored even with jitter, or a
        predicted covariance cannot be inverted by any stage (naming the step).
    """
    xs = as_floats("xs", xs)
    Ps = as_floats("Ps", Ps)
    args = extra_args("fx_args", fx_args)
    steps_per_call = _steps_per_call(steps_per_call)
    if xs.ndim != 2:
        # Malformed: the native pass names the argument and what it wants.
        return CubatureSmoothResult(*_engine.cubature_smooth(
            xs, Ps, fx, as_floats("Q", Q), as_floats("dt", dt), args, bool(square_root), None, steps_per_call))
    steps, dim_x = xs.shape
    fx = as_model(fx, "fx", dim_x, dim_x)
    if angle_states is None:
        angle_states = model_angles(fx)
    qs = per_step("Q", Q, steps, dim_x, dim_x)
    # One Q for every step is checked once, also for an empty trace.
    if np.ndim(Q) < 3 and not np.isfinite(as_floats("Q", Q)).all():
        raise ValueError("Q contains non-finite values (NaN or inf)")
    dts = _time_steps(dt, steps)
    angles = angle_indices("angle_states", angle_states, dim_x) or None
    return CubatureSmoothResult(*_engine.cubature_smooth(xs, Ps, fx, qs, dts, args, bool(square_root), angles,
                                                         steps_per_call))

