"""Maximum likelihood: the log-likelihood of a whole panel in one native pass, and its maximisation with scipy.

A model is a dict of the arguments of `batch_filter` (a linear model: F, H,
Q, R, x0, P0) or of `cubature_filter` (fx, hx, Q, R, x0s, P0, dts, ...).
`fit_mle` maximises the total log-likelihood over the parameters of a
user's ``build(params) -> model``; its central-difference gradient evaluates
the perturbed models side by side on threads, which the native passes let
run at once (they release the interpreter lock).
"""

from __future__ import annotations

import math
import operator
import os
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np
from numpy.typing import ArrayLike

from . import _engine
from ._batch import _measurements, _panel_model, _state
from ._common import FloatArray, as_floats
from ._cubature_panel import _panel

__all__ = ["log_likelihood", "fit_mle", "LogLikelihood", "MLEResult"]

_LINEAR_KEYS = ("x0", "P0", "F", "H", "Q", "R", "nan_means_missing")
_CUBATURE_KEYS = ("x0s", "x0", "P0", "fx", "hx", "Q", "R", "dts", "fx_args", "hx_args", "angle_states",
                  "angle_measurements", "nan_means_missing", "square_root")


class LogLikelihood(NamedTuple):
    """Output of `log_likelihood`."""

    total: float
    """The log-likelihood of the whole panel: the sum over its sequences (NaN when one of them failed)."""
    per_sequence: Union[float, FloatArray]
    """Each sequence's log-likelihood over its observed steps, shape (M,), or a float for one sequence; NaN
    for a sequence whose cubature filter failed."""


class MLEResult(NamedTuple):
    """Output of `fit_mle`."""

    params: FloatArray
    """The parameters at the optimum."""
    log_likelihood: float
    """The total log-likelihood there."""
    converged: bool
    """Whether the optimiser reports success, or stopped where the gradient is within 1e-6 of the
    log-likelihood's size (the noise of its finite differences), no better point to be found."""
    n_evaluations: int
    """How many log-likelihood evaluations (native passes) the fit took, gradients included."""
    model: Dict[str, Any]
    """The dict ``build(params)`` gives at the optimum, ready for `batch_smoother` or `cubature_panel_smoother`."""


def _check_keys(model: Dict[str, Any], accepted: Tuple[str, ...], kind: str) -> None:
    unknown = [k for k in model if k not in accepted]
    if unknown:
        raise TypeError(f"the {kind} model has no argument {unknown[0]!r}; accepted: {', '.join(accepted)}")


def _missing_key(model: Dict[str, Any], required: Tuple[str, ...], kind: str) -> None:
    absent = [k for k in required if k not in model]
    if absent:
        raise TypeError(f"the {kind} model needs {', '.join(repr(k) for k in absent)}")


def _linear(zs: ArrayLike, model: Dict[str, Any]) -> Tuple[float, Union[float, FloatArray]]:
    _check_keys(model, _LINEAR_KEYS, "linear")
    _missing_key(model, ("x0", "P0", "F", "H", "Q", "R"), "linear")
    x0 = _state(model["x0"])
    z = _measurements(zs)
    single = z.ndim == 2
    panel_zs = z[None] if single else z
    if panel_zs.ndim != 3:
        raise ValueError(f"zs must have shape (N, dim_z) or (M, N, dim_z), got {z.shape}")
    x0, P0, stacks = _panel_model(x0, model["P0"], panel_zs, model["F"], model["H"], model["Q"], model["R"])
    # The panel filter releases the interpreter lock also for one sequence.
    lls = _engine.panel_filter(x0, P0, panel_zs, stacks, bool(model.get("nan_means_missing", True)),
                               None if single else 0)[2]
    per = np.where(np.isnan(lls), 0.0, lls).sum(axis=1)
    return float(per.sum()), (float(per[0]) if single else per)


def _cubature(zs: ArrayLike, model: Dict[str, Any]) -> Tuple[float, Union[float, FloatArray]]:
    _check_keys(model, _CUBATURE_KEYS, "cubature")
    if "x0" in model and "x0s" in model:
        raise TypeError("the cubature model has both 'x0' and 'x0s'; give one")
    x0s = model["x0s"] if "x0s" in model else model.get("x0")
    if x0s is None:
        raise TypeError("the cubature model needs 'x0s' (or 'x0')")
    _missing_key(model, ("P0", "fx", "hx", "Q", "R"), "cubature")
    z = as_floats("zs", zs)
    single = z.ndim in (1, 2)
    # Filtering without rows: the totals only.
    out = _panel("likelihood", x0s, model["P0"], z, model["fx"], model["hx"], model["Q"], model["R"],
                 model.get("dts", 1.0), model.get("fx_args", ()), model.get("hx_args", ()),
                 model.get("angle_states"), model.get("angle_measurements"),
                 bool(model.get("nan_means_missing", True)), bool(model.get("square_root", False)), False, None)
    per = out.log_likelihood
    total = float(np.sum(per))
    return total, (float(per) if single else per)


def log_likelihood(zs: ArrayLike, **model: Any) -> LogLikelihood:
    """The log-likelihood of a sequence or a panel under a model, in one native pass.

    ``model`` holds the arguments of `batch_filter` (a linear model: ``x0``,
    ``P0``, ``F``, ``H``, ``Q``, ``R``) or of `cubature_filter` (a nonlinear
    one, recognised by ``fx``/``hx``: ``x0s`` (or ``x0``), ``P0``, ``fx``,
    ``hx``, ``Q``, ``R``, and optionally ``dts``, ``fx_args``, ``hx_args``,
    the angle options and ``square_root``). A row of all NaN is a missed
    measurement unless ``nan_means_missing=False`` is given.

    Parameters
    ----------
    zs : array_like
        Measurements, (N, dim_z) or a panel (M, N, dim_z).
    **model
        The model's arguments, as above.

    Returns
    -------
    LogLikelihood
        The total over all sequences and each sequence's own. A nonlinear
        sequence whose filter fails has NaN, and so does the total.

    Raises
    ------
    TypeError
        For a model without its required arguments, or with one that is
        none of the accepted ones (listed in the message).
    ValueError, RuntimeError
        As `batch_filter` and `cubature_filter` raise them.
    """
    if "fx" in model or "hx" in model:
        total, per = _cubature(zs, model)
    elif "F" in model or "H" in model:
        total, per = _linear(zs, model)
    else:
        raise TypeError("the model must be the arguments of batch_filter (x0, P0, F, H, Q, R) or of "
                        "cubature_filter (x0s, P0, fx, hx, Q, R, ...)")
    return LogLikelihood(total, per)


def _optimize() -> Any:
    try:
        from scipy import optimize
    except ImportError as exc:  # pragma: no cover - depends on the environment
        raise ImportError('fit_mle needs scipy: pip install "vexel_ckf[fit]"') from exc
    return optimize


def fit_mle(build: Callable[[FloatArray], Dict[str, Any]], start: ArrayLike, zs: ArrayLike,
            bounds: Optional[Sequence[Tuple[Optional[float], Optional[float]]]] = None, method: str = "L-BFGS-B",
            maxiter: int = 200, options: Optional[Dict[str, Any]] = None) -> MLEResult:
    """Maximum likelihood estimate of a model's parameters, for linear and nonlinear models.

    Maximises the total log-likelihood (`log_likelihood`, one native pass
    over the whole panel) with ``scipy.optimize.minimize`` (the optional
    extra ``fit``). The gradient is by central differences, the perturbed
    models evaluated side by side on threads (the native passes run at once).
    A parameter map, with its bounds, is ``build``'s: for example variances
    as ``exp`` of unbounded parameters::

        def build(p):
            return dict(x0=x0, P0=P0, F=F, H=H, Q=np.exp(p[0]) * Q1, R=np.exp(p[1]))

        res = fit_mle(build, [0.0, 0.0], zs)
        res.params, res.model["Q"]

    Parameters
    ----------
    build : callable
        ``build(params) -> dict``: the model for a parameter vector, as
        `log_likelihood` takes it. With Python callbacks in the model, the
        passes hold the interpreter lock for the calls and run slower.
    start : array_like
        The starting parameters (1-D).
    zs : array_like
        Measurements, (N, dim_z) or a panel (M, N, dim_z); rows of all NaN
        are missed measurements.
    bounds : sequence of (low, high), optional
        Bounds per parameter (None: unbounded), for the methods that take
        them.
    method : str, optional
        The ``scipy.optimize.minimize`` method (default "L-BFGS-B").
    maxiter : int, optional
        Most iterations of the optimiser.
    options : dict, optional
        Further options of the method (for L-BFGS-B the defaults here are
        ``ftol=1e-15`` and ``gtol`` 1e-8 times the starting log-likelihood's
        size, tighter than scipy's).

    Returns
    -------
    MLEResult
        Parameters, log-likelihood, convergence, number of native passes and
        the model at the optimum. A parameter vector whose model fails (a
        filter that cannot go on) counts as log-likelihood minus infinity.

    Raises
    ------
    ImportError
        Without scipy.
    ValueError
        For a ``start`` that is not a non-empty 1-D finite vector, or a model
        whose log-likelihood at ``start`` is not finite.
    """
    optimize = _optimize()
    x_start = as_floats("start", start)
    if x_start.ndim != 1 or x_start.size == 0 or not np.isfinite(x_start).all():
        raise ValueError(f"start must be a non-empty 1-D vector of finite numbers, got shape {x_start.shape}")
    maxiter = operator.index(maxiter)
    z = as_floats("zs", zs)
    if not np.isfinite(z).any():
        raise ValueError("zs holds no measurement (every entry is NaN or infinite)")
    count = [0]

    def value(p: FloatArray) -> float:
        count[0] += 1
        try:
            total = log_likelihood(z, **build(np.array(p, dtype=np.float64))).total
        except RuntimeError:
            return -math.inf
        return total if math.isfinite(total) else -math.inf

    first = value(x_start)
    if not math.isfinite(first):
        raise ValueError("the model at start has no finite log-likelihood: choose a start where the filter runs")
    workers = max(1, min(2 * x_start.size + 1, os.cpu_count() or 1))
    pool = ThreadPoolExecutor(max_workers=workers)
    # Central differences: their error is about eps**(2/3) of the scale,
    # against eps**(1/2) for forward ones, so the optimiser can go on to
    # where the gradient truly vanishes.
    eps = np.finfo(np.float64).eps ** (1.0 / 3.0)

    def objective(p: FloatArray) -> Tuple[float, FloatArray]:
        steps = eps * np.maximum(1.0, np.abs(p))
        unit = np.eye(p.size)
        points: List[FloatArray] = [p]
        for i in range(p.size):
            points += [p + steps[i] * unit[i], p - steps[i] * unit[i]]
        values = list(pool.map(value, points))
        f0 = values[0]
        if not math.isfinite(f0):
            return math.inf, np.zeros_like(p)
        grad = np.empty_like(p)
        for i in range(p.size):
            up, down = values[1 + 2 * i], values[2 + 2 * i]
            if math.isfinite(up) and math.isfinite(down):
                grad[i] = (up - down) / (2.0 * steps[i])
            elif math.isfinite(up):  # one side fails: a one-sided difference
                grad[i] = (up - f0) / steps[i]
            elif math.isfinite(down):
                grad[i] = (f0 - down) / steps[i]
            else:
                grad[i] = 0.0
        return -f0, -grad

    try:
        # scipy's default tolerances stop L-BFGS-B at a relative change of
        # about 2e-9 in the objective, short of the optimum of a log-likelihood
        # of thousands; the native passes are cheap, so the fit goes on until
        # the gradient is down to a few hundred times its rounding noise
        # (about 4e-11 of the log-likelihood's size, for central differences).
        settings: Dict[str, Any] = {"maxiter": maxiter}
        if method.upper() == "L-BFGS-B":
            settings.update(ftol=1e-15, gtol=1e-8 * max(1.0, abs(first)))
        settings.update(options or {})
        res = optimize.minimize(objective, x_start, jac=True, method=method, bounds=bounds, options=settings)
    finally:
        pool.shutdown()
    params = np.asarray(res.x, dtype=np.float64)
    model = build(params)
    # A line search that finds no better point where the gradient is down to
    # the size of the differences' noise has reached the optimum too.
    jac = getattr(res, "jac", None)
    settled = (jac is not None and np.all(np.isfinite(jac))
               and float(np.max(np.abs(jac))) <= 1e-6 * max(1.0, abs(float(res.fun))))
    return MLEResult(params, float(-res.fun), bool(res.success) or settled, count[0], model)
