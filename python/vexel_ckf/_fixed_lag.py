"""Fixed-lag smoothing of a `VexelCKF`: `VexelCKF.fixed_lag` and ``run(lag=...)``.

The native window (``_engine.fixed_lag_window``) holds the last lag + 1
filtered steps and, for all but the newest, the first half of their backward
smoother step (prediction and gain), formed once when the next step arrives;
each new step then runs the lag cheap second halves back from its own
filtered state. The estimate equals, bit for bit, `cubature_smoother` over the
filtered trace so far, at the step lag steps back.
"""

from __future__ import annotations

import operator
from typing import TYPE_CHECKING, Any, List, NamedTuple, Optional

import numpy as np
from numpy.typing import ArrayLike

from . import _engine, _messages
from ._common import FloatArray

if TYPE_CHECKING:
    from ._filter import VexelCKF

__all__ = ["FixedLagSmoother", "FixedLagEstimate", "FixedLagRunResult"]

# More steps than any stream has: a longer lag behaves the same, and the
# engine takes it as a 64-bit count.
ENGINE_LAG_LIMIT = 2 ** 40


def lag_value(value: Any) -> int:
    """The lag as an int >= 0, or the error naming ``lag``."""
    if isinstance(value, bool):
        raise TypeError("lag must be an int, not bool")
    try:
        lag = operator.index(value)
    except TypeError:
        raise TypeError(f"lag must be an int, not {type(value).__name__}") from None
    if lag < 0:
        raise ValueError(f"lag must be at least 0, got {lag}")
    return lag


class FixedLagEstimate(NamedTuple):
    """A fixed-lag smoothed estimate: step ``step`` given the measurements up to ``step + lag``.

    Parameters
    ----------
    step : int
        Index of the estimated step.
    x : ndarray
        Smoothed mean.
    P : ndarray
        Smoothed covariance.
    """

    step: int
    """Index of the estimated step (0 for the first `FixedLagSmoother.step` call)."""
    x: FloatArray
    """Smoothed mean, shape (dim_x,)."""
    P: FloatArray
    """Smoothed covariance, shape (dim_x, dim_x)."""


class FixedLagRunResult(NamedTuple):
    """Output of ``VexelCKF.run(zs, lag=L)``: `RunResult`'s fields, then the fixed-lag estimates.

    Row k of ``xs_smoothed`` and ``Ps_smoothed`` is step k - L given
    ``zs[:k+1]`` (the estimate available once row k is measured), so that a
    row never uses a later measurement; rows k < L are NaN. The estimate of
    step j is therefore row j + L: ``xs_smoothed[L:]`` lines up with
    ``xs[:N-L]``.
    """

    xs: FloatArray
    """Posterior means, shape (N, dim_x)."""
    Ps: FloatArray
    """Posterior covariances, shape (N, dim_x, dim_x)."""
    xs_prior: FloatArray
    """Prior (predicted) means, shape (N, dim_x)."""
    Ps_prior: FloatArray
    """Prior (predicted) covariances, shape (N, dim_x, dim_x)."""
    log_likelihoods: FloatArray
    """Log-likelihood of each measurement, shape (N,); NaN for a missed one."""
    nis: FloatArray
    """Normalised innovation squared of each measurement, shape (N,); NaN for a missed one."""
    xs_smoothed: FloatArray
    """Fixed-lag smoothed means, shape (N, dim_x): row k is step k - L given zs[:k+1], NaN for k < L."""
    Ps_smoothed: FloatArray
    """Fixed-lag smoothed covariances, shape (N, dim_x, dim_x), rows as in `xs_smoothed`."""


class FixedLagSmoother:
    """Online fixed-lag smoother over a `VexelCKF`, made by `VexelCKF.fixed_lag`.

    Each `step` runs the filter's ``predict`` and ``update`` and returns the
    smoothed estimate of the step ``lag`` steps back, given every measurement
    so far. It equals `cubature_smoother` applied to the filtered trace up to
    now (the filter's ``fx``, ``fx_args``, ``Q`` and time steps, its form and
    angle states) at that step, bit for bit. Memory stays that of lag + 1
    steps however long the stream.

    The filter is shared: it holds the newest filtered state after each step.
    Stepping it by other means in between puts it out of step with the
    smoother.

    Parameters
    ----------
    kf : VexelCKF
        The filter to step, with its fx and hx.
    lag : int
        The lag L >= 0.

    Raises
    ------
    TypeError
        For a lag that is not an int.
    ValueError
        For a negative lag.
    """

    def __init__(self, kf: "VexelCKF", lag: int) -> None:
        self._kf = kf
        self._lag = lag_value(lag)
        n = kf.dim_x
        self._window = _engine.fixed_lag_window(n, min(self._lag, ENGINE_LAG_LIMIT), kf.square_root,
                                                tuple(kf.angle_states) or None)
        # One row of run()'s outputs: the filtered state as the trace records it.
        self._row = (np.empty((1, n)), np.empty((1, n, n)), np.empty((1, n)), np.empty((1, n, n)),
                     np.empty(1), np.empty(1))
        self._steps = 0
        self._broken: Optional[int] = None

    @property
    def lag(self) -> int:
        """The lag L: estimates are of the step L steps before the newest."""
        return self._lag

    @property
    def steps(self) -> int:
        """Steps run so far."""
        return self._steps

    @property
    def nbytes(self) -> int:
        """Bytes held by the native window: at most lag + 1 steps' worth, whatever the stream's length."""
        return int(_engine.fixed_lag_info(self._window)[1])

    def __repr__(self) -> str:
        return f"FixedLagSmoother(lag={self._lag}, steps={self._steps})"

    def step(self, z: Optional[ArrayLike], dt: Optional[float] = None, R: Optional[ArrayLike] = None
             ) -> Optional[FixedLagEstimate]:
        """One filter step (``predict`` then ``update(z)``) and the estimate lag steps back.

        Parameters
        ----------
        z : array_like or None
            The measurement as `VexelCKF.update` takes it; None (or all NaN
            with the filter's ``nan_means_missing``) for a missed scan.
        dt : float, optional
            Time step of this prediction; defaults to the filter's ``dt``.
        R : array_like, optional
            Measurement noise of this update only.

        Returns
        -------
        FixedLagEstimate or None
            The smoothed estimate of step ``steps - 1 - lag`` given every
            measurement so far, or None during the first ``lag`` steps.

        Raises
        ------
        Exception
            Whatever ``predict`` or ``update`` raise, or a smoother failure
            naming the step (as `cubature_smoother`); after one, the smoother
            refuses further steps (RuntimeError), since the filter and the
            window no longer follow the same trace.
        """
        if self._broken is not None:
            raise RuntimeError(
                f"this fixed-lag smoother stopped at step {self._broken} after a failure; make a new one with "
                f"kf.fixed_lag({self._lag}) to go on"
            )
        kf = self._kf
        k = self._steps
        try:
            kf.predict(dt=dt)
            kf.update(z, R=R)
            kf._f.record_step(0, self._row)
            step_dt = kf.dt if dt is None else float(dt)
            fx = kf.fx
            try:
                out = _engine.fixed_lag_push(self._window, self._row[0][0], self._row[1][0], kf.Q, fx,
                                             kf.fx_args, step_dt)
            except Exception as exc:
                better = _messages.explain(exc, "fx")
                if better is None:
                    raise
                raise better from exc
        except BaseException:
            self._broken = k
            raise
        self._steps = k + 1
        if out is None:
            return None
        return FixedLagEstimate(k - self._lag, out[0], out[1])

    def flush(self) -> List[FixedLagEstimate]:
        """The smoothed estimates of the last ``lag`` steps given every measurement so far.

        These are the steps no `step` has returned yet (all of them when
        fewer than ``lag`` steps ran), oldest first: at the end of a stream
        they complete the estimates. The smoother is unchanged, and may step
        on.

        Returns
        -------
        list of FixedLagEstimate
            min(lag, steps) estimates, in step order.
        """
        xs, Ps = _engine.fixed_lag_flush(self._window)
        first = self._steps - len(xs)
        return [FixedLagEstimate(first + i, xs[i], Ps[i]) for i in range(len(xs))]
