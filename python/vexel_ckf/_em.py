"""Learning a linear-Gaussian model from data by expectation-maximisation.

The expectation step is one native pass per iteration over every sequence
(`_engine.em_statistics`: filter, smoother back to the prior, sufficient
statistics, on the worker pool); the maximisation step here is a handful of
closed forms on small matrices.
"""

from __future__ import annotations

import warnings
from typing import Any, Dict, Iterable, List, NamedTuple, Optional, Tuple, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _engine
from ._common import FloatArray, as_floats

__all__ = ["fit_em", "EMResult"]

_NAMES = ("F", "H", "Q", "R", "x0", "P0")
_COVARIANCES = ("Q", "R", "P0")
_STRUCTURES = ("full", "diagonal", "fixed")
_DEFAULT_LEARN = ("Q", "R", "x0", "P0")

# A step of EM never lowers the likelihood; a drop beyond rounding is a bug.
_MONOTONE_SLACK = 1e-9


class EMResult(NamedTuple):
    """Output of `fit_em`: the learned model, ready for `batch_smoother`.

    With ``per_series=True`` every matrix has a leading M axis (one model
    per sequence) and ``log_likelihoods``, ``converged`` and ``n_iter`` hold
    one entry per sequence."""

    F: FloatArray
    """Transition matrix, shape (dim_x, dim_x) or (M, dim_x, dim_x)."""
    H: FloatArray
    """Measurement matrix, shape (dim_z, dim_x) or (M, dim_z, dim_x)."""
    Q: FloatArray
    """Process noise covariance, shape (dim_x, dim_x) or (M, dim_x, dim_x)."""
    R: FloatArray
    """Measurement noise covariance, shape (dim_z, dim_z) or (M, dim_z, dim_z)."""
    x0: FloatArray
    """Prior mean of the state before step 0, shape (dim_x,) or (M, dim_x)."""
    P0: FloatArray
    """Prior covariance, shape (dim_x, dim_x) or (M, dim_x, dim_x)."""
    log_likelihoods: FloatArray
    """Log-likelihood of the model in force at each iteration, the starting
    model's first: shape (n_iter + 1,), or (max n_iter + 1, M) per series (a
    sequence that stopped early keeps its last value)."""
    converged: Union[bool, NDArray[np.bool_]]
    """Whether the relative change of the log-likelihood fell below tol."""
    n_iter: Union[int, NDArray[np.int64]]
    """Number of iterations (maximisation steps) applied."""


# -- arguments -----------------------------------------------------------------

def _learn_set(learn: Any) -> Tuple[str, ...]:
    accepted = ", ".join(repr(n) for n in _NAMES) + " or 'all'"
    items = [learn] if isinstance(learn, str) else learn
    try:
        items = list(items)
    except TypeError:
        raise TypeError(f"learn must be a name or a sequence of names ({accepted}), "
                        f"not {type(learn).__name__}") from None
    out: List[str] = []
    for item in items:
        if item == "all":
            out.extend(_NAMES)
        elif isinstance(item, str) and item in _NAMES:
            out.append(item)
        else:
            raise ValueError(f"learn holds {item!r}; accepted names are {accepted}")
    return tuple(n for n in _NAMES if n in out)


def _structures(structure: Optional[Dict[str, str]]) -> Dict[str, str]:
    out = {name: "full" for name in _COVARIANCES}
    if structure is None:
        return out
    if not isinstance(structure, dict):
        raise TypeError(f"structure must be a dict such as {{'R': 'diagonal'}}, not {type(structure).__name__}")
    for key, value in structure.items():
        if key not in _COVARIANCES:
            raise ValueError(f"structure names {key!r}; accepted keys are "
                             + ", ".join(repr(k) for k in _COVARIANCES))
        if value not in _STRUCTURES:
            raise ValueError(f"structure[{key!r}] is {value!r}; accepted values are "
                             + ", ".join(repr(v) for v in _STRUCTURES))
        out[key] = value
    return out


def _stack(name: str, value: ArrayLike, shape: Tuple[int, ...], count: int, stacked_ok: bool,
           scalar_ok: bool) -> FloatArray:
    """value as one matrix (or vector) of `shape`, or as a stack of `count` of them.

    A scalar stands for that multiple of the identity where `scalar_ok`."""
    a = as_floats(name, value)
    if a.ndim == 0 and scalar_ok:
        a = a * np.eye(shape[0])
    if a.shape == shape:
        return np.ascontiguousarray(a)
    if stacked_ok and a.shape == (count,) + shape:
        return np.ascontiguousarray(a)
    wanted = str(shape) + (f" or {(count,) + shape}" if stacked_ok else "")
    raise ValueError(f"{name} must have shape {wanted}, got {a.shape}")


def _measurements(zs: ArrayLike) -> Tuple[FloatArray, bool]:
    z = as_floats("zs", zs)
    if z.ndim == 1:
        return z.reshape(1, -1, 1), True
    if z.ndim == 2:
        return z[None], True
    if z.ndim == 3:
        return z, False
    raise ValueError(f"zs must have shape (N,), (N, dim_z) or a panel (M, N, dim_z), got {z.shape}")


# -- the maximisation step -----------------------------------------------------

def _sym(a: FloatArray) -> FloatArray:
    return (a + np.swapaxes(a, -1, -2)) * 0.5


def _shaped(a: FloatArray, kind: str) -> FloatArray:
    if kind == "diagonal":
        out: FloatArray = np.einsum("...ii->...i", a)[..., None] * np.eye(a.shape[-1])
        return out
    return _sym(a)


def _not_positive_definite(a: FloatArray) -> NDArray[np.bool_]:
    """Per matrix of the stack a (G, k, k): whether it is numerically singular or indefinite.

    Judged on the correlation form D^-1/2 a D^-1/2 (D the diagonal), so that
    variances of very different scales (metres and radians) are no reason."""
    with np.errstate(all="ignore"):
        d = np.einsum("...ii->...i", a)
        positive = (d > 0).all(axis=-1) & np.isfinite(a).all(axis=(-1, -2))
        s = 1.0 / np.sqrt(np.where(d > 0, d, 1.0))
        c = a * s[..., :, None] * s[..., None, :]
        c = np.where(np.isfinite(c), c, 0.0)
    low = np.linalg.eigvalsh(c)[..., 0]
    bad: NDArray[np.bool_] = ~(positive & (low > a.shape[-1] * np.finfo(float).eps))
    return bad


class _Model:
    """The model in force: F, H, Q, R as stacks over the G groups (1 shared,
    M per series), x0 and P0 as stacks of 1 (shared) or M (one per sequence)."""

    def __init__(self, F: FloatArray, H: FloatArray, Q: FloatArray, R: FloatArray, x0: FloatArray,
                 P0: FloatArray) -> None:
        self.F, self.H, self.Q, self.R, self.x0, self.P0 = F, H, Q, R, x0, P0

    def items(self) -> Tuple[FloatArray, ...]:
        return self.F, self.H, self.Q, self.R, self.x0, self.P0

    def native(self) -> Tuple[FloatArray, FloatArray, Tuple[FloatArray, ...]]:
        """x0, P0 and the model tuple as em_statistics takes them: one item
        without its leading axis, several as a stack."""
        def one(a: FloatArray) -> FloatArray:
            return a[0] if a.shape[0] == 1 else a
        return one(self.x0), one(self.P0), (one(self.F), one(self.H), one(self.Q), one(self.R))


class _Statistics(NamedTuple):
    log_likelihood: FloatArray  # (M,)
    trans_resid: FloatArray     # (G, n, n)
    trans_cross: FloatArray     # (G, n, n)
    prev_moment: FloatArray     # (G, n, n)
    obs_resid: FloatArray       # (G, m, m)
    obs_cross: FloatArray       # (G, m, n)
    obs_moment: FloatArray      # (G, n, n)
    x_init: FloatArray          # (M, n)
    p_init: FloatArray          # (M, n, n)


def _e_step(zs: FloatArray, model: _Model, per_series: bool, first: Optional[int]) -> _Statistics:
    x0, P0, matrices = model.native()
    ll, stats, x_init, p_init = _engine.em_statistics(x0, P0, zs, matrices, per_series, first)
    n, m = x_init.shape[1], zs.shape[2]
    parts = []
    at = 0
    for rows, cols in ((n, n), (n, n), (n, n), (m, m), (m, n), (n, n)):
        parts.append(stats[:, at:at + rows * cols].reshape(-1, rows, cols))
        at += rows * cols
    return _Statistics(ll, parts[0], parts[1], parts[2], parts[3], parts[4], parts[5], x_init, p_init)


def _solve_right(cross: FloatArray, moment: FloatArray) -> Tuple[FloatArray, NDArray[np.bool_]]:
    """cross moment^{-1} for each group, and which groups have a singular moment (their rows left NaN)."""
    rhs = np.swapaxes(cross, -1, -2)
    try:
        return np.swapaxes(np.linalg.solve(moment, rhs), -1, -2), np.zeros(len(moment), bool)
    except np.linalg.LinAlgError:
        pass
    out = np.full(cross.shape, np.nan)
    bad = np.zeros(len(moment), bool)
    for g in range(len(moment)):
        try:
            out[g] = np.linalg.solve(moment[g], rhs[g]).T
        except np.linalg.LinAlgError:
            bad[g] = True
    return out, bad


def _regression(resid: FloatArray, cross: FloatArray, moment: FloatArray, count: FloatArray,
                learn_matrix: bool) -> Tuple[Optional[FloatArray], FloatArray, NDArray[np.bool_]]:
    """The closed form of one block: with e = y - A x the residual of the
    matrix A in force, the change D = cross moment^{-1} of A, and the noise
    covariance (resid - D cross^T) / count, the residual of the new matrix
    A + D (or resid / count when A stays); and the groups whose moment is
    singular."""
    if not learn_matrix:
        return None, resid / count[:, None, None], np.zeros(len(resid), bool)
    D, bad = _solve_right(cross, moment)
    return D, (resid - D @ np.swapaxes(cross, -1, -2)) / count[:, None, None], bad


def _m_step(s: _Statistics, model: _Model, learn: Tuple[str, ...], structure: Dict[str, str],
            transitions: FloatArray, observations: FloatArray) -> Tuple[_Model, List[Tuple[str, NDArray[np.bool_]]]]:
    """The updated model, and the (name, groups) whose update collapsed:
    those groups must keep the model in force."""
    F, H, Q, R, x0, P0 = model.items()
    problems: List[Tuple[str, NDArray[np.bool_]]] = []
    D, Q_new, bad = _regression(s.trans_resid, s.trans_cross, s.prev_moment, transitions, "F" in learn)
    if D is not None:
        F = F + D
        problems.append(("F", bad | ~np.isfinite(F).all(axis=(-1, -2))))
    if "Q" in learn:
        Q = _shaped(Q_new, structure["Q"])
    D, R_new, bad = _regression(s.obs_resid, s.obs_cross, s.obs_moment, observations, "H" in learn)
    if D is not None:
        H = H + D
        problems.append(("H", bad | ~np.isfinite(H).all(axis=(-1, -2))))
    if "R" in learn:
        R = _shaped(R_new, structure["R"])
    # The prior: the smoothed state before step 0, averaged over the
    # sequences that share it.
    if "x0" in learn:
        x0 = s.x_init if len(x0) > 1 else s.x_init.sum(axis=0, keepdims=True) / len(s.x_init)
    if "P0" in learn:
        d = s.x_init - x0
        terms = s.p_init + d[:, :, None] * d[:, None, :]
        P0 = _shaped(terms if len(P0) > 1 else terms.sum(axis=0, keepdims=True) / len(terms), structure["P0"])
    for name, value in (("Q", Q), ("R", R), ("P0", P0)):
        if name in learn:
            problems.append((name, _not_positive_definite(value)))
    return _Model(F, H, Q, R, x0, P0), [(name, bad) for name, bad in problems if bad.any()]


def _collapse_warning(name: str, groups: NDArray[np.bool_], iteration: int, single: bool) -> None:
    where = "" if single else f" for sequence(s) {np.flatnonzero(groups).tolist()[:10]}"
    if name in _COVARIANCES:
        what = f"the update of {name} is not positive definite{where}: the data cannot tell it from a singular one"
        fix = (f"keep {name} fixed (structure={{'{name}': 'fixed'}}, or leave it out of learn), constrain it "
               f"(structure={{'{name}': 'diagonal'}}), or fit with more data")
    else:
        what = f"the update of {name} cannot be formed{where} (its regressors are singular)"
        fix = f"leave {name} out of learn or fit with more data"
    warnings.warn(f"fit_em stopped at iteration {iteration}: {what}. The result is the model of the iteration "
                  f"before; to go on, {fix}.", RuntimeWarning, stacklevel=3)


# -- fit_em --------------------------------------------------------------------

def fit_em(zs: ArrayLike, *, F: ArrayLike, H: ArrayLike, Q: ArrayLike, R: ArrayLike, x0: ArrayLike,
           P0: ArrayLike, learn: Union[str, Iterable[str]] = _DEFAULT_LEARN, n_iter: int = 50,
           tol: float = 1e-8, per_series: bool = False,
           structure: Optional[Dict[str, str]] = None) -> EMResult:
    """Learn a linear-Gaussian model from measurements by EM (Shumway-Stoffer).

    The model is the one `batch_filter` runs: step k predicts with F, Q from
    the state of step k-1 (step 0 from the prior x0, P0 of the state before
    it) and measures z_k = H x_k + v_k with v_k of covariance R. A row of zs
    that is all NaN is a missed measurement. Each iteration runs the filter
    and smoother of every sequence in one native pass on the worker pool,
    then updates the learned matrices in closed form: the missed steps add
    nothing to the update of R and H, their smoothed states everything to
    that of Q and F.

    Parameters
    ----------
    zs : array_like
        Measurements, shape (N, dim_z), (N,) for scalar measurements, or a
        panel (M, N, dim_z) of M sequences of one model. Rows of all NaN
        are missed measurements; a row partly NaN is an error.
    F, H, Q, R : array_like
        The starting model: transition (dim_x, dim_x), measurement
        (dim_z, dim_x), process and measurement noise covariances (a scalar
        means that multiple of the identity). With ``per_series=True`` each
        may also be a stack with one per sequence.
    x0, P0 : array_like
        Prior mean (dim_x,) and covariance (dim_x, dim_x) of the state before
        step 0, or one per sequence, (M, dim_x) and (M, dim_x, dim_x): a
        learned per-sequence prior is learned for each sequence.
    learn : str or sequence of str, optional
        What to learn: any of "F", "H", "Q", "R", "x0", "P0", or "all".
    n_iter : int, optional
        Most iterations to run.
    tol : float, optional
        Stop when the log-likelihood changes by less than tol times its
        magnitude (0 runs all n_iter iterations).
    per_series : bool, optional
        Learn one model per sequence of a panel instead of one shared by all.
        Each sequence then stops on its own, with exactly the result of
        fitting it alone.
    structure : dict, optional
        For "Q", "R" and "P0": "full" (default), "diagonal" (the diagonal of
        the update, off-diagonal entries zero) or "fixed" (not learned).

    Returns
    -------
    EMResult
        The learned model, the log-likelihood of each iteration's model (the
        starting model's first), whether it converged and the number of
        iterations.

    Raises
    ------
    ValueError
        For shapes that do not fit together (naming the argument), unknown
        names in learn or structure, non-finite values, a partly NaN row
        (naming the sequence and step), or data with no observed step (a
        sequence without one when per_series=True).
    RuntimeError
        When a filter or smoother pass fails (naming the iteration), or the
        log-likelihood decreases beyond rounding (naming the iteration).

    Warns
    -----
    RuntimeWarning
        When a learned covariance collapses (is not positive definite) or a
        learned matrix cannot be formed: the fit stops at the last model and
        the warning says what to fix.

    Examples
    --------
    >>> import numpy as np, vexel_ckf as vx
    >>> rng = np.random.default_rng(0)
    >>> level = np.cumsum(rng.normal(0.0, 0.5, 2000))
    >>> zs = (level + rng.normal(0.0, 2.0, 2000))[:, None]
    >>> fit = vx.fit_em(zs, F=[[1.0]], H=[[1.0]], Q=1.0, R=1.0, x0=[0.0], P0=10.0,
    ...                 learn=("Q", "R"), n_iter=200, tol=1e-10)
    >>> bool(abs(fit.Q[0, 0] - 0.25) < 0.1 and abs(fit.R[0, 0] - 4.0) < 0.5)
    True
    """
    learned = _learn_set(learn)
    shapes = _structures(structure)
    learned = tuple(n for n in learned if not (n in shapes and shapes[n] == "fixed"))
    if isinstance(n_iter, bool) or not isinstance(n_iter, (int, np.integer)) or n_iter < 0:
        raise ValueError(f"n_iter must be a non-negative integer, got {n_iter!r}")
    tol = float(tol)
    if not tol >= 0.0:
        raise ValueError(f"tol must be a non-negative number, got {tol!r}")
    per_series = bool(per_series)
    z, single = _measurements(zs)
    count, steps, m = z.shape
    Fa = as_floats("F", F)
    if Fa.ndim not in (2, 3) or Fa.shape[-1] != Fa.shape[-2]:
        stack = " or a stack (M, dim_x, dim_x)" if per_series else ""
        raise ValueError(f"F must be a square matrix (dim_x, dim_x){stack}, got shape {Fa.shape}")
    n = Fa.shape[-1]
    stacked = per_series
    Fs = _stack("F", Fa, (n, n), count, stacked, False)
    Hs = _stack("H", H, (m, n), count, stacked, m == n)
    Qs = _stack("Q", Q, (n, n), count, stacked, True)
    Rs = _stack("R", R, (m, m), count, stacked, True)
    x0s = _stack("x0", x0, (n,), count, not single, False)
    P0s = _stack("P0", P0, (n, n), count, not single, True)
    groups = count if per_series else 1

    def grouped(a: FloatArray, core: int, k: int) -> FloatArray:
        return np.ascontiguousarray(np.broadcast_to(a, (k,) + a.shape[-core:])) if a.ndim == core else a

    prior = count if per_series else 1
    model = _Model(grouped(Fs, 2, groups), grouped(Hs, 2, groups), grouped(Qs, 2, groups),
                   grouped(Rs, 2, groups), grouped(x0s, 1, count if x0s.ndim == 2 else prior),
                   grouped(P0s, 2, count if P0s.ndim == 3 else prior))

    observed_rows = ~np.isnan(z).all(axis=2)
    seen = observed_rows.sum(axis=1)
    if not seen.any():
        raise ValueError("zs holds no observation: every row is NaN (missed)")
    if per_series and not seen.all():
        first_empty = int(np.flatnonzero(seen == 0)[0])
        raise ValueError(f"sequence {first_empty} of zs has no observation (every row is NaN): with "
                         f"per_series=True it has nothing to learn from; fit it with the others "
                         f"(per_series=False) or leave it out")
    observations = seen.astype(float) if per_series else np.array([float(seen.sum())])
    transitions = np.full(groups, float(steps * (1 if per_series else count)))
    label = None if single else 0

    def e_step(mdl: _Model, iteration: int) -> _Statistics:
        if iteration == 0:
            return _e_step(z, mdl, per_series, label)
        try:
            return _e_step(z, mdl, per_series, label)
        except RuntimeError as exc:
            raise RuntimeError(f"{exc} (fit_em, with the model of iteration {iteration})") from exc

    stats = e_step(model, 0)
    ll = stats.log_likelihood if per_series else np.array([stats.log_likelihood.sum()])
    history = [ll]
    active = np.ones(groups, bool)
    done = np.zeros(groups, np.int64)
    converged = np.zeros(groups, bool)
    for iteration in range(1, n_iter + 1):
        proposal, problems = _m_step(stats, model, learned, shapes, transitions, observations)
        for name, bad in problems:
            bad &= active
            if bad.any():
                _collapse_warning(name, bad, iteration, groups == 1)
                # Those sequences stop where they are.
                active &= ~bad
        if not active.any():
            break
        model = _merge(model, proposal, active, per_series)
        stats = e_step(model, iteration)
        new = stats.log_likelihood if per_series else np.array([stats.log_likelihood.sum()])
        drop = active & (new < ll - _MONOTONE_SLACK * np.abs(ll))
        if drop.any():
            g = int(np.flatnonzero(drop)[0])
            where = "" if groups == 1 else f" of sequence {g}"
            raise RuntimeError(f"fit_em: the log-likelihood{where} decreased at iteration {iteration}, from "
                               f"{ll[g]!r} to {new[g]!r}; an EM step cannot lower it, so this is a fault")
        done[active] = iteration
        small = active & (np.abs(new - ll) <= tol * np.abs(ll))
        converged |= small
        ll = np.where(active, new, ll)
        history.append(ll)
        active &= ~small
        if not active.any():
            break

    lls = np.array(history)
    F_, H_, Q_, R_, x0_, P0_ = (a.copy() for a in model.items())
    if per_series:
        return EMResult(F_, H_, Q_, R_, x0_, P0_, lls, converged, done)
    # One shared model: the matrices without their group axis, the prior too
    # unless it is one per sequence.
    x0_ = x0_[0] if len(x0_) == 1 else x0_
    P0_ = P0_[0] if len(P0_) == 1 else P0_
    return EMResult(F_[0], H_[0], Q_[0], R_[0], x0_, P0_, lls[:, 0], bool(converged[0]), int(done[0]))


def _merge(old: _Model, new: _Model, active: NDArray[np.bool_], per_series: bool) -> _Model:
    """The new model for the active groups, the old one for the others."""
    if not per_series or active.all():
        return new
    items = []
    for a, b in zip(old.items(), new.items()):
        keep = active.reshape((-1,) + (1,) * (a.ndim - 1))
        items.append(np.where(keep, b, a))
    return _Model(*items)
