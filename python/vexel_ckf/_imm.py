"""`IMM` and `IMMBank`: interacting multiple model estimators over cubature filters.

Each model is a `VexelCKF` of its own, stepped by its own `predict` and
`update`; the IMM's own arithmetic (mixing weights, mixed initial
conditions, mode probabilities, the combined estimate) runs in the engine's
`imm_*` functions, the same code for a lone IMM, a whole native run and a
bank of IMMs, so that all three give the same bits.
"""

from __future__ import annotations

from typing import Any, Callable, Dict, Iterable, List, NamedTuple, Optional, Sequence, Tuple, Type

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _messages
from ._bank import CKFBank
from ._common import FloatArray, as_floats
from ._engine import imm_bank_combine as _bank_combine
from ._engine import imm_bank_mix as _bank_mix
from ._engine import imm_bank_modes as _bank_modes
from ._engine import imm_combine as _combine
from ._engine import imm_mix as _mix
from ._engine import imm_modes as _modes
from ._engine import imm_run as _imm_run
from ._filter import VexelCKF
from ._models import CompiledModel

__all__ = ["IMM", "IMMBank", "IMMRunResult", "IMMBankRunResult", "MODE_FLOOR"]

MODE_FLOOR: float = 1e-12
"""Smallest mode probability: after each step the probabilities are clamped to
[MODE_FLOOR, 1 - MODE_FLOOR] and renormalised (the engine's ``kModeFloor``)."""

# Rows of the transition matrix and the initial probabilities must sum to one
# to this tolerance; they are used as given (not renormalised).
_SUM_TOLERANCE = 1e-9


class IMMRunResult(NamedTuple):
    """Per-step outputs of `IMM.run`, row k belonging to step k."""

    xs: FloatArray
    """Combined means, shape (N, r)."""
    Ps: FloatArray
    """Combined covariances, shape (N, r, r)."""
    mus: FloatArray
    """Mode probabilities after each step, shape (N, n_models)."""
    log_likelihoods: FloatArray
    """Log mixture likelihood of each measurement, shape (N,); NaN for a missed one."""
    xs_model: Tuple[FloatArray, ...]
    """Each model's posterior means, one (N, n_i) array per model."""
    Ps_model: Tuple[FloatArray, ...]
    """Each model's posterior covariances, one (N, n_i, n_i) array per model."""


class IMMBankRunResult(NamedTuple):
    """Per-step outputs of `IMMBank.run`, entry [k, t] belonging to step k and target t."""

    xs: FloatArray
    """Combined means, shape (N, M, r)."""
    Ps: FloatArray
    """Combined covariances, shape (N, M, r, r)."""
    mus: FloatArray
    """Mode probabilities, shape (N, M, n_models)."""
    log_likelihoods: FloatArray
    """Log mixture likelihoods, shape (N, M); NaN unless status is 0 or 1."""
    status: NDArray[np.int64]
    """Status code of each target's update, shape (N, M) (see `STATUS_CODES`)."""


# -- the models' layout ---------------------------------------------------------

class _Layout(NamedTuple):
    maps: Tuple[Tuple[int, ...], ...]
    transition: FloatArray
    angles: Tuple[int, ...]
    r: int

    def native(self) -> Tuple[Any, ...]:
        return (self.maps, self.transition, self.angles)


def _templates(filters: Any) -> List[VexelCKF]:
    if isinstance(filters, VexelCKF) or not isinstance(filters, Iterable):
        raise TypeError("filters must be a sequence of VexelCKF objects, one per model")
    out = list(filters)
    if not out:
        raise ValueError("filters must hold at least one VexelCKF (one per model)")
    for i, f in enumerate(out):
        if not isinstance(f, VexelCKF):
            raise TypeError(f"filters[{i}] must be a VexelCKF, got {type(f).__name__}")
    dim_z = {f.dim_z for f in out}
    if len(dim_z) != 1:
        raise ValueError(f"filters must share one measurement size dim_z, got {[f.dim_z for f in out]}")
    return out


def _transition(value: ArrayLike, count: int) -> FloatArray:
    t = as_floats("transition", value)
    if t.shape != (count, count):
        raise ValueError(f"transition must have shape ({count}, {count}) (one row and column per model), "
                         f"got {t.shape}")
    if not np.isfinite(t).all() or (t < 0).any():
        raise ValueError("transition must hold finite probabilities in [0, 1]")
    sums = t.sum(axis=1)
    bad = np.abs(sums - 1.0) > _SUM_TOLERANCE
    if bad.any():
        i = int(np.argmax(bad))
        raise ValueError(f"transition rows must sum to 1 (transition[i, j] is the probability of a switch from "
                         f"mode i to mode j); row {i} sums to {sums[i]!r}")
    return np.ascontiguousarray(t)


def _mu(value: Optional[ArrayLike], count: int) -> FloatArray:
    if value is None:
        return np.full(count, 1.0 / count)
    mu = as_floats("mu", value)
    if mu.shape != (count,):
        raise ValueError(f"mu must have shape ({count},) (one probability per model), got {mu.shape}")
    if not np.isfinite(mu).all() or (mu < 0).any():
        raise ValueError("mu must hold finite probabilities in [0, 1]")
    if abs(float(mu.sum()) - 1.0) > _SUM_TOLERANCE:
        raise ValueError(f"mu must sum to 1, got {float(mu.sum())!r}")
    return np.array(mu, dtype=np.float64)


def _state_maps(value: Any, filters: Sequence[Any]) -> Tuple[Tuple[int, ...], ...]:
    sizes = [f.dim_x for f in filters]
    if value is None:
        if len(set(sizes)) != 1:
            raise ValueError(f"state_maps is needed when the models' state sizes differ ({sizes}): give each "
                             f"model's components as indices into the common state")
        return tuple(tuple(range(sizes[0])) for _ in filters)
    if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
        raise TypeError("state_maps must be a sequence of index sequences, one per model")
    maps = list(value)
    if len(maps) != len(filters):
        raise ValueError(f"state_maps must hold one index sequence per model ({len(filters)}), got {len(maps)}")
    out: List[Tuple[int, ...]] = []
    for i, (m, n) in enumerate(zip(maps, sizes)):
        if isinstance(m, (str, bytes)) or not isinstance(m, Iterable):
            raise TypeError(f"state_maps[{i}] must be a sequence of integer indices, got {type(m).__name__}")
        items = list(m)
        idx: List[int] = []
        for v in items:
            if isinstance(v, (bool, np.bool_)) or not isinstance(v, (int, np.integer)):
                raise TypeError(f"state_maps[{i}] must hold integer indices, got {v!r}")
            if v < 0:
                raise ValueError(f"state_maps[{i}] holds {int(v)}: indices into the common state are >= 0")
            if int(v) in idx:
                raise ValueError(f"state_maps[{i}] holds {int(v)} twice")
            idx.append(int(v))
        if len(idx) != n:
            raise ValueError(f"state_maps[{i}] must list {n} indices (model {i} has dim_x = {n}), got {len(idx)}")
        out.append(tuple(idx))
    r = 1 + max(max(m) for m in out)
    held = set().union(*out)
    free = [c for c in range(r) if c not in held]
    if free:
        raise ValueError(f"state_maps leaves component(s) {free} of the common state (size {r}) to no model")
    return tuple(out)


class _Sized(NamedTuple):
    dim_x: int


def _angles(maps: Sequence[Tuple[int, ...]], filters: Sequence[VexelCKF]) -> Tuple[int, ...]:
    marked: Dict[int, bool] = {}
    for i, (m, f) in enumerate(zip(maps, filters)):
        angles = set(f.angle_states)
        for k, c in enumerate(m):
            is_angle = k in angles
            if c in marked and marked[c] != is_angle:
                raise ValueError(f"state_maps maps an angle and a non-angle state to common component {c} "
                                 f"(model {i}'s state {k}): the models' angle_states must agree")
            marked[c] = is_angle
    return tuple(sorted(c for c, a in marked.items() if a))


def _layout(filters: Sequence[VexelCKF], transition: ArrayLike, state_maps: Any) -> _Layout:
    t = _transition(transition, len(filters))
    maps = _state_maps(state_maps, filters)
    angles = _angles(maps, filters)
    return _Layout(maps, t, angles, 1 + max(max(m) for m in maps))


class IMM:
    """Interacting multiple model estimator over cubature Kalman filters.

    ``IMM(filters, transition, mu=None, state_maps=None)`` runs one filter per
    mode. Each step mixes the models' estimates into every model (mixing
    probabilities from `mu` and `transition`), predicts and updates each
    model with its own `VexelCKF` steps, updates the mode probabilities
    from the models' measurement likelihoods and combines the models'
    estimates by moment matching into `x` and `P`. See the IMM guide for the
    rules in full.

    Parameters
    ----------
    filters : sequence of VexelCKF
        One filter per mode, as templates: the IMM keeps a copy of each
        (its models, Q, R, form, angle options, dt, x and P) and its own
        state from then on (`filters` shows the copies). All share dim_z.
    transition : array_like, shape (n_models, n_models)
        Markov chain of the modes: ``transition[i, j]`` is the probability of
        a switch from mode i to mode j at a step; each row sums to 1.
        (FilterPy's `IMMEstimator` names this matrix ``M``; its docstring
        describes the transposed orientation, its code uses this one.)
    mu : array_like, shape (n_models,), optional
        Initial mode probabilities (summing to 1); uniform by default.
    state_maps : sequence of sequences of int, optional
        Model i's state components as indices into the common state:
        ``state_maps[i][k]`` is the common component of model i's state k.
        The common state has size r = 1 + the largest index, and every
        component must belong to some model. Defaults to the identity when
        all models have the same dim_x.
    nan_means_missing : bool, optional
        A measurement of all NaN is a missed scan in `update` and `run`
        unless the call says otherwise.

    Raises
    ------
    ValueError
        For a transition matrix of the wrong shape, with negative entries or
        rows not summing to 1; a mu not summing to 1; state_maps of the
        wrong length, with repeated or negative indices, leaving a common
        component to no model, or mapping an angle and a non-angle state to
        one component; filters of different dim_z.
    TypeError
        For filters that are not VexelCKF objects, or non-integer indices.

    Notes
    -----
    After each update the mode probabilities are
    ``mu_j = cbar_j L_j / sum_k cbar_k L_k``, formed in log space from the
    models' log-likelihoods, then clamped to [`MODE_FLOOR`, 1 - `MODE_FLOOR`]
    and renormalised, so that no mode dies out through rounding. A missed
    scan leaves the predicted probabilities ``cbar = transition.T @ mu``.
    """

    __slots__ = ("_filters", "_layout", "_mu", "_x", "_P", "_log_likelihood", "_nan_means_missing")

    def __init__(self, filters: Sequence[VexelCKF], transition: ArrayLike, mu: Optional[ArrayLike] = None,
                 state_maps: Optional[Sequence[Sequence[int]]] = None, *, nan_means_missing: bool = False) -> None:
        templates = _templates(filters)
        layout = _layout(templates, transition, state_maps)
        mu_ = _mu(mu, len(templates))
        self._adopt([f.copy() for f in templates], layout, mu_, np.nan, bool(nan_means_missing))

    def _adopt(self, filters: List[VexelCKF], layout: _Layout, mu: FloatArray, log_likelihood: float,
               nan_means_missing: bool) -> None:
        self._filters = filters
        self._layout = layout
        self._mu = mu
        self._log_likelihood = float(log_likelihood)
        self._nan_means_missing = nan_means_missing
        self._x, self._P = _combine(self._natives(), layout.native(), mu)

    def _natives(self) -> Tuple[Any, ...]:
        return tuple(f.native for f in self._filters)

    # -- state ---------------------------------------------------------------

    @staticmethod
    def _frozen(a: FloatArray) -> FloatArray:
        b = a.copy()
        b.flags.writeable = False
        return b

    @property
    def filters(self) -> Tuple[VexelCKF, ...]:
        """The per-model filters (the IMM's own; assigning their fields changes the IMM's models)."""
        return tuple(self._filters)

    @property
    def n_models(self) -> int:
        """Number of models."""
        return len(self._filters)

    @property
    def dim_x(self) -> int:
        """Size r of the common state."""
        return self._layout.r

    @property
    def dim_z(self) -> int:
        """Measurement size, shared by every model."""
        return self._filters[0].dim_z

    @property
    def transition(self) -> FloatArray:
        """Mode transition matrix: entry [i, j] is the probability of a switch from mode i to mode j."""
        return self._frozen(self._layout.transition)

    @property
    def state_maps(self) -> Tuple[Tuple[int, ...], ...]:
        """Each model's state components as indices into the common state."""
        return self._layout.maps

    @property
    def angle_states(self) -> Tuple[int, ...]:
        """Components of the common state that are angles (from the models' angle_states)."""
        return self._layout.angles

    @property
    def nan_means_missing(self) -> bool:
        """Whether `update` and `run` take a measurement of all NaN as a missed scan by default."""
        return self._nan_means_missing

    @property
    def x(self) -> FloatArray:
        """Combined mean, shape (r,) (read-only copy)."""
        return self._frozen(self._x)

    @property
    def P(self) -> FloatArray:
        """Combined covariance, shape (r, r) (read-only copy)."""
        return self._frozen(self._P)

    @property
    def mu(self) -> FloatArray:
        """Mode probabilities, shape (n_models,) (read-only copy): after a prediction the predicted ones."""
        return self._frozen(self._mu)

    @property
    def log_likelihood(self) -> float:
        """Log of the mixture likelihood of the last measurement; NaN after a missed scan or a prediction."""
        return self._log_likelihood

    @property
    def likelihood(self) -> float:
        """Mixture likelihood ``sum_j cbar_j L_j`` of the last measurement; NaN after a missed scan."""
        return float(np.exp(self._log_likelihood))

    @property
    def xs_model(self) -> Tuple[FloatArray, ...]:
        """Each model's mean, in its own state layout."""
        return tuple(f.x for f in self._filters)

    @property
    def Ps_model(self) -> Tuple[FloatArray, ...]:
        """Each model's covariance, in its own state layout."""
        return tuple(f.P for f in self._filters)

    def __repr__(self) -> str:
        return f"{type(self).__name__}(n_models={self.n_models}, dim_x={self.dim_x}, dim_z={self.dim_z})"

    # -- steps ---------------------------------------------------------------

    def _transaction(self, body: Callable[[], None]) -> None:
        """Run body; on any exception every model returns to its state before it."""
        saved = [f.native.copy() for f in self._filters]
        try:
            body()
        except BaseException:
            for f, native in zip(self._filters, saved):
                object.__setattr__(f, "_f", native)
            raise

    def predict(self, dt: Optional[float] = None) -> None:
        """Mix the models' estimates into each model, then predict every model.

        Afterwards `mu` holds the predicted probabilities
        ``cbar = transition.T @ mu`` (floored) and `x`, `P` the combined
        prediction.

        Parameters
        ----------
        dt : float, optional
            Time step of this prediction for every model; defaults to each
            model's own dt.

        Raises
        ------
        Exception
            A model's failure (see `VexelCKF.predict`); the IMM, every model
            included, is then left as it was.
        """
        layout = self._layout.native()
        out: List[FloatArray] = []

        def body() -> None:
            out.append(_mix(self._natives(), layout, self._mu))
            for f in self._filters:
                f.predict(dt=dt)

        self._transaction(body)
        self._mu = out[0]
        self._log_likelihood = np.nan
        self._x, self._P = _combine(self._natives(), layout, self._mu)

    def update(self, z: Optional[ArrayLike], nan_means_missing: Optional[bool] = None) -> None:
        """Update every model with z, then the mode probabilities and the combined estimate.

        Parameters
        ----------
        z : array_like or None
            The measurement, shape (dim_z,). None is a missed scan: every
            model keeps its prediction and `mu` keeps the predicted
            probabilities (they evolve by `transition` alone).
        nan_means_missing : bool, optional
            Take a z of all NaN as a missed scan; defaults to the IMM's
            `nan_means_missing`.

        Raises
        ------
        ValueError
            For a z of the wrong shape or with non-finite values.
        Exception
            A model's failure (see `VexelCKF.update`); the IMM, every model
            included, is then left as it was.
        """
        missing = self._nan_means_missing if nan_means_missing is None else bool(nan_means_missing)
        if z is not None and missing:
            a = as_floats("z", z)
            if a.size == self.dim_z and np.isnan(a).all():
                z = None
        if z is None:
            for f in self._filters:
                f.update(None)
            self._log_likelihood = np.nan
            return
        lls = np.empty(self.n_models)

        def body() -> None:
            for j, f in enumerate(self._filters):
                f.update(z, nan_means_missing=False)
                lls[j] = f.log_likelihood

        self._transaction(body)
        layout = self._layout.native()
        self._mu, total = _modes(layout, self._mu, lls)
        self._log_likelihood = float(total)
        self._x, self._P = _combine(self._natives(), layout, self._mu)

    def run(self, zs: ArrayLike, nan_means_missing: Optional[bool] = None, *,
            dts: Optional[ArrayLike] = None) -> IMMRunResult:
        """Filter a whole sequence: for each row z of zs, `predict()` then `update(z)`.

        When every model's fx and hx are compiled models, all steps run in
        one native call with the interpreter lock released (the same bits as
        step by step); otherwise the steps run from Python.

        Parameters
        ----------
        zs : array_like
            Measurements, shape (N, dim_z) (or (N,) when dim_z is 1).
        nan_means_missing : bool, optional
            A row of all NaN is a missed scan; defaults to the IMM's
            `nan_means_missing`. A row with only some NaN is an error.
        dts : array_like, optional
            Time step of each step's prediction, shape (N,); without it each
            model uses its own dt.

        Returns
        -------
        IMMRunResult
            Combined means and covariances, mode probabilities, log mixture
            likelihoods and the models' posterior means and covariances.

        Raises
        ------
        ValueError
            Before the first step, for zs or dts of the wrong shape or
            non-finite entries (naming the row).
        Exception
            A step's failure stops the run; the IMM keeps the state reached
            before the failing step (on Python 3.11 and later the exception
            carries a note naming the step).
        """
        dim_z = self.dim_z
        zs = as_floats("zs", zs, contiguous=True)
        if zs.ndim == 1 and dim_z == 1:
            zs = zs.reshape(-1, 1)
        if zs.ndim != 2 or zs.shape[1] != dim_z:
            raise ValueError(f"zs must have shape (N, {dim_z}), got {zs.shape}")
        missing_flag = self._nan_means_missing if nan_means_missing is None else bool(nan_means_missing)
        # The row and time-step checks of VexelCKF.run, shared (the typed stub leaves private helpers out).
        missing = VexelCKF._missing_rows(zs, missing_flag)  # type: ignore[attr-defined]
        n_steps = zs.shape[0]
        steps = VexelCKF._time_steps(dts, n_steps)  # type: ignore[attr-defined]
        compiled = all(isinstance(f.fx, CompiledModel) and isinstance(f.hx, CompiledModel) for f in self._filters)
        if compiled:
            return self._run_native(zs, missing, steps)
        r, m = self.dim_x, self.n_models
        out = IMMRunResult(np.empty((n_steps, r)), np.empty((n_steps, r, r)), np.empty((n_steps, m)),
                           np.empty(n_steps), tuple(np.empty((n_steps, f.dim_x)) for f in self._filters),
                           tuple(np.empty((n_steps, f.dim_x, f.dim_x)) for f in self._filters))
        k = 0
        try:
            for k in range(n_steps):
                self.predict(None if steps is None else steps[k])
                self.update(None if missing is not None and missing[k] else zs[k], nan_means_missing=False)
                out.xs[k] = self._x
                out.Ps[k] = self._P
                out.mus[k] = self._mu
                out.log_likelihoods[k] = self._log_likelihood
                for j, f in enumerate(self._filters):
                    out.xs_model[j][k] = f.native.get("x_post")
                    out.Ps_model[j][k] = f.native.get("P_post")
        except Exception as exc:
            _note(exc, f"raised by IMM.run() at step {k}; the IMM holds the state reached before that step")
            raise
        return out

    def _run_native(self, zs: FloatArray, missing: Optional[List[bool]],
                    steps: Optional[List[float]]) -> IMMRunResult:
        mask = None if missing is None else np.asarray(missing, dtype=bool)
        dts = None if steps is None else np.asarray(steps, dtype=np.float64)
        models = tuple((f.fx, f.fx_args, f.hx, f.hx_args) for f in self._filters)
        angles = tuple((f.angle_states, f.angle_measurements) for f in self._filters)
        state = (self._mu.copy(), self._x.copy(), self._P.copy(), np.array([self._log_likelihood]))
        position = np.zeros(2, dtype=np.int64)
        try:
            out = _imm_run(self._natives(), models, angles, self._layout.native(), state, zs, mask, dts, position)
        except Exception as exc:
            callback = "hx" if position[1] else "fx"
            better = _messages.explain(exc, callback)
            target = exc if better is None else better
            _note(target, f"raised by IMM.run() at step {int(position[0])}; the IMM holds the state reached "
                          f"before that step")
            if better is None:
                raise
            raise better from exc
        finally:
            self._mu, self._x, self._P = state[0], state[1], state[2]
            self._log_likelihood = float(state[3][0])
        return IMMRunResult(*out)

    # -- whole-state transfer ------------------------------------------------

    def copy(self) -> "IMM":
        """Independent copy of the IMM.

        Returns
        -------
        IMM
            An IMM with copies of every model's filter, the same settings and
            the same probabilities and combined estimate.
        """
        new = object.__new__(type(self))
        new._adopt([f.copy() for f in self._filters], self._layout, self._mu.copy(), self._log_likelihood,
                   self._nan_means_missing)
        return new

    __copy__ = copy

    def __deepcopy__(self, memo: Dict[int, Any]) -> "IMM":
        return self.copy()

    def to_dict(self) -> Dict[str, Any]:
        """The whole IMM as a dict.

        Returns
        -------
        dict
            ``filters`` (each model's `VexelCKF.to_dict`), ``transition``,
            ``mu``, ``state_maps``, ``log_likelihood`` and
            ``nan_means_missing``, as `from_dict` reads it.
        """
        return {
            "filters": [f.to_dict() for f in self._filters],
            "transition": self._layout.transition.tolist(),
            "mu": self._mu.tolist(),
            "state_maps": [list(m) for m in self._layout.maps],
            "log_likelihood": self._log_likelihood,
            "nan_means_missing": self._nan_means_missing,
        }

    @classmethod
    def from_dict(cls, state: Dict[str, Any], fx: Optional[Sequence[Any]] = None, hx: Optional[Sequence[Any]] = None,
                  fx_args: Optional[Sequence[Iterable[Any]]] = None,
                  hx_args: Optional[Sequence[Iterable[Any]]] = None) -> "IMM":
        """A new IMM from a `to_dict()` result.

        Parameters
        ----------
        state : dict
            As written by `to_dict`.
        fx, hx : sequence, optional
            Each model's callbacks, one per model (a dict does not carry
            them); None leaves a model without.
        fx_args, hx_args : sequence of iterables, optional
            Each model's extra callback arguments.

        Returns
        -------
        IMM
            The restored IMM.

        Raises
        ------
        ValueError
            When a key is missing or a value is refused.
        """
        try:
            entries = list(state["filters"])
            transition, mu, maps = state["transition"], state["mu"], state["state_maps"]
        except KeyError as exc:
            raise ValueError(f"from_dict() needs the key {exc.args[0]!r}, as written by to_dict()") from None
        count = len(entries)

        fxs, hxs = _per_model("fx", fx, None, count), _per_model("hx", hx, None, count)
        fas, has = _per_model("fx_args", fx_args, (), count), _per_model("hx_args", hx_args, (), count)
        filters = [VexelCKF.from_dict(e, fx=a, hx=b, fx_args=c, hx_args=d)
                   for e, a, b, c, d in zip(entries, fxs, hxs, fas, has)]
        layout = _layout(filters, transition, maps)
        new = object.__new__(cls)
        new._adopt(filters, layout, _mu(mu, count), float(state.get("log_likelihood", np.nan)),
                   bool(state.get("nan_means_missing", False)))
        return new

    def __reduce__(self) -> Tuple[Any, ...]:
        return (_unpickle_imm, (type(self), self._filters, self._layout.transition, self._mu, self._layout.maps,
                                self._log_likelihood, self._nan_means_missing))


def _unpickle_imm(cls: Type[IMM], filters: List[VexelCKF], transition: Any, mu: Any, maps: Any,
                  log_likelihood: float, nan_means_missing: bool) -> IMM:
    new = object.__new__(cls)
    new._adopt(list(filters), _layout(filters, transition, maps), np.asarray(mu, dtype=np.float64),
               log_likelihood, nan_means_missing)
    return new


def _per_model(name: str, value: Optional[Sequence[Any]], default: Any, count: int) -> List[Any]:
    """One entry per model of a from_dict argument; None gives every model the default."""
    if value is None:
        return [default] * count
    items = list(value)
    if len(items) != count:
        raise ValueError(f"{name} must hold one entry per model ({count}), got {len(items)}")
    return items


def _note(exc: BaseException, text: str) -> None:
    if hasattr(exc, "add_note"):
        exc.add_note(text)


# -- a bank of IMMs -------------------------------------------------------------

class IMMBank:
    """A bank of M independent IMMs with shared models, stepped together.

    ``IMMBank(M, filters, transition, mu=None, state_maps=None)`` holds one
    `CKFBank` per model (`banks`), each with the model's fx, hx, Q, R, dt
    and angle options and M filters, one per target. Each step calls each
    model's fx or hx once for the whole bank (a Python callback with every
    target's points stacked, as `CKFBank` calls it; a compiled model natively
    per target on the worker pool), and the IMM's mixing, mode
    probabilities and combination run natively on the worker pool. Every
    target computes exactly what a lone `IMM` with the same settings
    computes.

    After `update`, ``status`` tells per target what happened (the codes of
    `STATUS_CODES`): 0 or 1 when every model updated (1: some model needed
    the fallback inverse); 4 for no measurement; 2 or 3 when some model's
    update failed (as `CKFBank` reports it), in which case every model of
    that target keeps its prediction and the mode probabilities stay the
    predicted ones, as a lone IMM's failed update leaves it. A target whose
    prediction failed in some model keeps its state from before that
    prediction and reports the failure at its next update, skipping it.

    Parameters
    ----------
    M : int
        Number of targets; each starts at the templates' state and `mu`.
    filters : sequence of VexelCKF
        The models (covariance form), as templates, as for `IMM`.
    transition : array_like, shape (n_models, n_models)
        As for `IMM`: ``transition[i, j]`` is the probability of a switch
        from mode i to mode j.
    mu : array_like, shape (n_models,), optional
        Initial mode probabilities of every target; uniform by default.
    state_maps : sequence of sequences of int, optional
        As for `IMM`.

    Raises
    ------
    ValueError
        As `IMM`, and for square-root filters (a bank is covariance form).
    TypeError
        As `IMM`.
    """

    __slots__ = ("_banks", "_layout", "_mu0", "_mus", "_x", "_P", "_lls", "_status", "_xm", "_Pm")

    def __init__(self, M: int, filters: Sequence[VexelCKF], transition: ArrayLike, mu: Optional[ArrayLike] = None,
                 state_maps: Optional[Sequence[Sequence[int]]] = None) -> None:
        templates = _templates(filters)
        for i, f in enumerate(templates):
            if f.square_root:
                raise ValueError(f"filters[{i}] is a square-root filter: an IMMBank runs covariance-form models")
        layout = _layout(templates, transition, state_maps)
        mu_ = _mu(mu, len(templates))
        banks = []
        for f in templates:
            b = CKFBank(M, f.dim_x, f.dim_z, f.dt, fx=f.fx, hx=f.hx, fx_args=f.fx_args, hx_args=f.hx_args,
                        angle_states=f.angle_states, angle_measurements=f.angle_measurements)
            count = len(b)
            b.Q = f.Q
            b.R = f.R
            b.xs = np.broadcast_to(f.x, (count, f.dim_x))
            b.Ps = f.P
            banks.append(b)
        count = len(banks[0])
        self._adopt(banks, layout, mu_, np.ascontiguousarray(np.broadcast_to(mu_, (count, len(banks)))),
                    np.full(count, np.nan), np.full(count, 4, dtype=np.int64))

    def _adopt(self, banks: List[CKFBank], layout: _Layout, mu0: FloatArray, mus: FloatArray, lls: FloatArray,
               status: NDArray[np.int64]) -> None:
        self._banks = banks
        self._layout = layout
        self._mu0 = mu0
        self._mus = mus
        self._lls = lls
        self._status = status
        self._refresh()

    def _refresh(self) -> None:
        """The models' arrays read once; the combined estimates are formed from them when first asked for."""
        self._xm = tuple(np.ascontiguousarray(b._b.get("xs")) for b in self._banks)
        self._Pm = tuple(np.ascontiguousarray(b._b.get("Ps")) for b in self._banks)
        self._x = self._P = None

    def _combined(self) -> Tuple[FloatArray, FloatArray]:
        """The combined means and covariances of the current state (formed once per state: a run's
        predictions are never combined)."""
        if self._x is None:
            self._x, self._P = _bank_combine(self._layout.native(), self._mus, self._xm, self._Pm)
        return self._x, self._P

    # -- state ---------------------------------------------------------------

    @staticmethod
    def _frozen(a: Any) -> Any:
        b = a.copy()
        b.flags.writeable = False
        return b

    @property
    def M(self) -> int:
        """Number of targets."""
        return len(self)

    def __len__(self) -> int:
        return int(self._mus.shape[0])

    @property
    def banks(self) -> Tuple[CKFBank, ...]:
        """One `CKFBank` per model, filter t belonging to target t."""
        return tuple(self._banks)

    @property
    def n_models(self) -> int:
        """Number of models."""
        return len(self._banks)

    @property
    def dim_x(self) -> int:
        """Size r of the common state."""
        return self._layout.r

    @property
    def transition(self) -> FloatArray:
        """Mode transition matrix: entry [i, j] is the probability of a switch from mode i to mode j."""
        return self._frozen(self._layout.transition)

    @property
    def state_maps(self) -> Tuple[Tuple[int, ...], ...]:
        """Each model's state components as indices into the common state."""
        return self._layout.maps

    @property
    def xs(self) -> FloatArray:
        """Combined means, shape (M, r)."""
        return self._frozen(self._combined()[0])

    @property
    def Ps(self) -> FloatArray:
        """Combined covariances, shape (M, r, r)."""
        return self._frozen(self._combined()[1])

    @property
    def mus(self) -> FloatArray:
        """Mode probabilities, shape (M, n_models)."""
        return self._frozen(self._mus)

    @property
    def log_likelihoods(self) -> FloatArray:
        """Log mixture likelihood of each target's last measurement, shape (M,); NaN unless status is 0 or 1."""
        return self._frozen(self._lls)

    @property
    def status(self) -> NDArray[np.int64]:
        """Status code of each target's last update, shape (M,) (see `STATUS_CODES`)."""
        return self._frozen(self._status)

    @property
    def xs_model(self) -> Tuple[FloatArray, ...]:
        """Each model's means, one (M, n_i) array per model."""
        return tuple(self._frozen(a) for a in self._xm)

    @property
    def Ps_model(self) -> Tuple[FloatArray, ...]:
        """Each model's covariances, one (M, n_i, n_i) array per model."""
        return tuple(self._frozen(a) for a in self._Pm)

    def __repr__(self) -> str:
        return f"{type(self).__name__}(M={len(self)}, n_models={self.n_models}, dim_x={self.dim_x})"

    # -- steps ---------------------------------------------------------------

    def _snapshot(self, attr: str) -> List[Any]:
        """Native copies of the banks that a later bank's Python callback could leave stepped alone.

        A bank's own step changes nothing when its callback raises, but the
        banks stepped before it have moved on (priors, jitter counts,
        diagnostics): those up to the last bank calling Python are copied
        first. Compiled models raise nothing, so they need no copies.
        """
        python = [i for i, b in enumerate(self._banks) if not isinstance(getattr(b, attr), CompiledModel)]
        return [b._b.copy() for b in self._banks[:python[-1]]] if python else []

    def _roll_back(self, saved: Sequence[Any], xm: Sequence[FloatArray], Pm: Sequence[FloatArray]) -> None:
        """After a callback raised: every bank as before the step."""
        for b, native in zip(self._banks, saved):
            b._b = native
        self._restore(np.ones(len(self), dtype=bool), xm, Pm)

    def _restore(self, failed: NDArray[np.bool_], xm: Sequence[FloatArray], Pm: Sequence[FloatArray]) -> None:
        """The failed targets' models back to the means and covariances given."""
        for b, x_old, P_old in zip(self._banks, xm, Pm):
            xs = b._b.get("xs")
            Ps = b._b.get("Ps")
            xs[failed] = x_old[failed]
            Ps[failed] = P_old[failed]
            b._b.set("xs", xs)
            b._b.set("Ps", Ps)

    def predict(self, dt: Optional[float] = None) -> None:
        """Mix and predict every target: one fx call per model for the whole bank.

        Parameters
        ----------
        dt : float, optional
            Time step of this prediction; defaults to each model's dt.

        Raises
        ------
        Exception
            What a model's callback raises passes through; every target then
            keeps its state.
        """
        layout = self._layout.native()
        xm, Pm = self._xm, self._Pm
        priors, mixed_x, mixed_P = _bank_mix(layout, self._mus, xm, Pm)
        saved = self._snapshot("_fx")
        try:
            for b, x0, P0 in zip(self._banks, mixed_x, mixed_P):
                b._b.set("xs", x0)
                b._b.set("Ps", P0)
            for b in self._banks:
                b.predict(dt)
        except BaseException:
            self._roll_back(saved, xm, Pm)
            raise
        pending = np.stack([b._b.get("pending_status") for b in self._banks], axis=1)
        failed = (pending != 0).any(axis=1)
        if failed.any():
            # All or nothing per target, as a lone IMM's failed prediction:
            # every model back to its state before the mixing, and its next
            # update skipped with the failure's status.
            self._restore(failed, xm, Pm)
            code = pending.max(axis=1)
            for b in self._banks:
                p = b._b.get("pending_status")
                p[failed] = code[failed]
                b._b.set("pending_status", p.astype(np.float64))
            priors[failed] = self._mus[failed]
        self._mus = priors
        self._lls = np.full(len(self), np.nan)
        self._refresh()

    def update(self, zs: ArrayLike, missing: Optional[ArrayLike] = None) -> None:
        """Update every target with its measurement: one hx call per model for the whole bank.

        Parameters
        ----------
        zs : array_like
            Measurements, shape (M, dim_z) (or (M,) when dim_z is 1); a row
            of all NaN is no measurement for that target.
        missing : array_like of bool, optional
            Boolean mask of shape (M,): True for the targets without a
            measurement this step.

        Raises
        ------
        ValueError
            For zs or missing of the wrong shape.
        Exception
            What a model's callback raises passes through; every target then
            keeps its state.
        """
        xm, Pm = self._xm, self._Pm
        saved = self._snapshot("_hx")
        try:
            for b in self._banks:
                b.update(zs, missing)
        except BaseException:
            self._roll_back(saved, xm, Pm)
            raise
        st = np.stack([b._b.get("status") for b in self._banks], axis=1)
        lls = np.ascontiguousarray(np.stack([b._b.get("log_likelihoods") for b in self._banks], axis=1))
        ok = (st <= 1).all(axis=1)
        none = (st == 4).all(axis=1)
        failed = ~ok & ~none
        status = np.where(ok, st.max(axis=1), 4)
        if failed.any():
            worst = np.where(st == 4, -1, st).max(axis=1)
            status = np.where(failed, np.maximum(worst, 2), status)
            self._restore(failed, xm, Pm)
        self._mus, self._lls = _bank_modes(self._layout.native(), self._mus, lls, np.ascontiguousarray(ok))
        self._status = status.astype(np.int64)
        self._refresh()

    def run(self, zs_seq: ArrayLike) -> IMMBankRunResult:
        """Filter a whole sequence: for each zs of zs_seq, `predict()` then `update(zs)`.

        Parameters
        ----------
        zs_seq : array_like
            Measurements, shape (N, M, dim_z) (or (N, M) when dim_z is 1).

        Returns
        -------
        IMMBankRunResult
            Combined means and covariances, mode probabilities, log mixture
            likelihoods and status of every step and target.

        Raises
        ------
        ValueError
            For zs_seq of the wrong shape; errors of `predict` and `update`
            pass through, the bank holding the state reached before the
            failing call.
        """
        seq = as_floats("zs_seq", zs_seq)
        M, r, m = len(self), self.dim_x, self.n_models
        dim_z = self._banks[0].dim_z
        if seq.ndim == 2 and dim_z == 1:
            seq = seq[:, :, None]
        if seq.ndim != 3 or seq.shape[1:] != (M, dim_z):
            raise ValueError(f"zs_seq must have shape (N, {M}, {dim_z}), got {seq.shape}")
        steps = seq.shape[0]
        out = IMMBankRunResult(np.empty((steps, M, r)), np.empty((steps, M, r, r)), np.empty((steps, M, m)),
                               np.empty((steps, M)), np.empty((steps, M), dtype=np.int64))
        for k in range(steps):
            self.predict()
            self.update(seq[k])
            out.xs[k], out.Ps[k] = self._combined()
            out.mus[k] = self._mus
            out.log_likelihoods[k] = self._lls
            out.status[k] = self._status
        return out

    # -- targets ending and starting -----------------------------------------

    def keep(self, mask_or_indices: ArrayLike) -> None:
        """Keep only some targets, in the order given.

        Parameters
        ----------
        mask_or_indices : array_like
            A boolean mask of length M, or distinct integer indices (negative
            ones count from the end).

        Raises
        ------
        TypeError
            For a selection that is neither boolean nor integer.
        ValueError
            For a mask of the wrong length, or indices out of range or
            repeated.
        """
        M = len(self)
        self._banks[0].keep(mask_or_indices)  # checks the selection; nothing changes when it fails
        sel = np.asarray(mask_or_indices)
        idx = np.flatnonzero(sel) if sel.dtype == np.bool_ else sel.astype(np.int64) % max(M, 1)
        for b in self._banks[1:]:
            b.keep(idx)
        self._mus = np.ascontiguousarray(self._mus[idx])
        self._lls = self._lls[idx]
        self._status = self._status[idx]
        self._refresh()

    def add(self, new_xs: ArrayLike, new_Ps: ArrayLike, mu: Optional[ArrayLike] = None) -> None:
        """Append targets in the common state; they report status 4 until their first update.

        Parameters
        ----------
        new_xs : array_like
            Means in the common state, shape (k, r) (or (r,) for one).
        new_Ps : array_like
            Covariances, (r, r) for all new targets or (k, r, r).
        mu : array_like, optional
            Their mode probabilities; defaults to the bank's initial ones.

        Raises
        ------
        ValueError
            For wrong shapes or non-finite values.
        """
        r = self.dim_x
        xs = as_floats("new_xs", new_xs)
        if xs.ndim == 1:
            xs = xs[None, :]
        if xs.ndim != 2 or xs.shape[1] != r:
            raise ValueError(f"new_xs must have shape (k, {r}), got {xs.shape}")
        k = xs.shape[0]
        Ps = as_floats("new_Ps", new_Ps)
        if Ps.shape == (r, r):
            Ps = np.broadcast_to(Ps, (k, r, r))
        if Ps.shape != (k, r, r):
            raise ValueError(f"new_Ps must have shape ({r}, {r}) or ({k}, {r}, {r}), got {Ps.shape}")
        if not (np.isfinite(xs).all() and np.isfinite(Ps).all()):
            raise ValueError("new_xs and new_Ps must contain only finite values")
        mu_ = self._mu0 if mu is None else _mu(mu, self.n_models)
        for b, mp in zip(self._banks, self._layout.maps):
            idx = list(mp)
            b.add(xs[:, idx], Ps[:, idx][:, :, idx])
        self._mus = np.ascontiguousarray(np.vstack([self._mus, np.broadcast_to(mu_, (k, self.n_models))]))
        self._lls = np.concatenate([self._lls, np.full(k, np.nan)])
        self._status = np.concatenate([self._status, np.full(k, 4, dtype=np.int64)])
        self._refresh()

    # -- whole-state transfer ------------------------------------------------

    def copy(self) -> "IMMBank":
        """Independent copy of the bank.

        Returns
        -------
        IMMBank
            A bank with copies of every model's bank and the same
            probabilities.
        """
        new = object.__new__(type(self))
        new._adopt([b.copy() for b in self._banks], self._layout, self._mu0.copy(), self._mus.copy(),
                   self._lls.copy(), self._status.copy())
        return new

    __copy__ = copy

    def __deepcopy__(self, memo: Dict[int, Any]) -> "IMMBank":
        return self.copy()

    def to_dict(self) -> Dict[str, Any]:
        """The whole bank as a dict.

        Returns
        -------
        dict
            ``banks`` (each model's `CKFBank.to_dict`), ``transition``,
            ``state_maps``, ``mu`` (the initial probabilities new targets
            take), ``mus``, ``log_likelihoods`` and ``status``, as
            `from_dict` reads it.
        """
        return {
            "banks": [b.to_dict() for b in self._banks],
            "transition": self._layout.transition.tolist(),
            "state_maps": [list(m) for m in self._layout.maps],
            "mu": self._mu0.tolist(),
            "mus": self._mus.copy(),
            "log_likelihoods": self._lls.copy(),
            "status": self._status.copy(),
        }

    @classmethod
    def from_dict(cls, state: Dict[str, Any], fx: Optional[Sequence[Any]] = None, hx: Optional[Sequence[Any]] = None,
                  fx_args: Optional[Sequence[Iterable[Any]]] = None,
                  hx_args: Optional[Sequence[Iterable[Any]]] = None) -> "IMMBank":
        """A new bank from a `to_dict()` result.

        Parameters
        ----------
        state : dict
            As written by `to_dict`.
        fx, hx : sequence, optional
            Each model's callbacks, one per model (a dict does not carry
            them).
        fx_args, hx_args : sequence of iterables, optional
            Each model's extra callback arguments.

        Returns
        -------
        IMMBank
            The restored bank.

        Raises
        ------
        ValueError
            When a key is missing or a value is refused.
        """
        try:
            entries = list(state["banks"])
            transition, maps = state["transition"], state["state_maps"]
            mu0, mus = state["mu"], state["mus"]
        except KeyError as exc:
            raise ValueError(f"from_dict() needs the key {exc.args[0]!r}, as written by to_dict()") from None
        count = len(entries)

        banks = [CKFBank.from_dict(e, fx=a, hx=b, fx_args=c, hx_args=d)
                 for e, a, b, c, d in zip(entries, _per_model("fx", fx, None, count), _per_model("hx", hx, None, count),
                                          _per_model("fx_args", fx_args, (), count),
                                          _per_model("hx_args", hx_args, (), count))]
        return _unpickle_bank(cls, banks, transition, maps, _bank_angles(banks, maps), _mu(mu0, count),
                              as_floats("mus", mus), state.get("log_likelihoods", np.full(len(banks[0]), np.nan)),
                              state.get("status", np.full(len(banks[0]), 4)))

    def __reduce__(self) -> Tuple[Any, ...]:
        return (_unpickle_bank, (type(self), self._banks, self._layout.transition, self._layout.maps,
                                 self._layout.angles, self._mu0, self._mus, self._lls, self._status))


def _bank_angles(banks: Sequence[CKFBank], maps: Any) -> Tuple[int, ...]:
    """The angle components of the common state, from the models' banks (checked as for the filters)."""
    marked: Dict[int, bool] = {}
    for i, (m, b) in enumerate(zip(maps, banks)):
        for k, c in enumerate(m):
            is_angle = k in b.angle_states
            if marked.get(c, is_angle) != is_angle:
                raise ValueError(f"state_maps maps an angle and a non-angle state to common component {c} "
                                 f"(model {i}'s state {k}): the models' angle_states must agree")
            marked[c] = is_angle
    return tuple(sorted(c for c, a in marked.items() if a))


def _unpickle_bank(cls: Type[IMMBank], banks: List[CKFBank], transition: Any, maps: Any, angles: Any, mu0: Any,
                   mus: Any, lls: Any, status: Any) -> IMMBank:
    new = object.__new__(cls)
    count = len(banks)
    checked = _state_maps(maps, [_Sized(b.dim_x) for b in banks])
    mus = np.ascontiguousarray(mus, dtype=np.float64)
    if mus.shape != (len(banks[0]), count):
        raise ValueError(f"mus must have shape ({len(banks[0])}, {count}), got {mus.shape}")
    layout = _Layout(checked, _transition(transition, count), tuple(angles), 1 + max(max(m) for m in checked))
    new._adopt(list(banks), layout, np.asarray(mu0), np.ascontiguousarray(mus), np.asarray(lls),
               np.asarray(status, dtype=np.int64))
    return new
