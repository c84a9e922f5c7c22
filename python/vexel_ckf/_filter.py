"""`VexelCKF`: the user-facing filter class over the two native filter classes.

The native object owns the whole state. This class only forwards: fields are
read with `get` and written with `set` when the attribute is touched, and
`run()` drives one native predict, one native update (or skip) and one
`record_step` per step, writing straight into preallocated output arrays.
"""

from __future__ import annotations

import importlib
import operator
import pickle
import sys
from typing import Any, Callable, Dict, FrozenSet, Iterable, List, NamedTuple, Optional, Tuple, Type, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._convert import as_floats
from ._native import CubatureKalmanFilter, SquareRootCubatureKalmanFilter

__all__ = ["VexelCKF", "RunResult"]

FloatArray = NDArray[np.float64]

# Field tables of the two native classes (the names `get`/`set` accept), in
# snapshot order.
CKF_FIELDS: Tuple[str, ...] = (
    "x", "P", "Q", "R", "K", "y", "z", "S", "SI", "x_prior", "P_prior", "x_post", "P_post", "z_pred",
    "log_likelihood", "likelihood", "mahalanobis", "nis", "last_jitter", "max_jitter", "jitter_count",
    "singular_innovation_count",
)
SRCKF_FIELDS: Tuple[str, ...] = (
    "x", "chol_P", "P", "chol_Q", "Q", "chol_R", "R", "K", "y", "z", "S", "S_innov", "x_prior", "P_prior",
    "x_post", "P_post", "z_pred", "log_likelihood", "likelihood", "mahalanobis", "nis", "last_jitter",
    "max_jitter", "jitter_count", "singular_innovation_count", "downdate_fallback_count", "chol_P_prior",
    "chol_P_post",
)
# Covariance products of the square-root filter: readable, never stored.
_SRCKF_DERIVED = frozenset({"S", "P_prior", "P_post"})
_SRCKF_FACTOR_OF = {"S": "S_innov", "P_prior": "chol_P_prior", "P_post": "chol_P_post"}

# Fields holding arrays; every other field is a Python scalar.
_ARRAY_FIELDS = frozenset({
    "x", "P", "Q", "R", "K", "y", "z", "S", "SI", "x_prior", "P_prior", "x_post", "P_post", "z_pred",
    "chol_P", "chol_Q", "chol_R", "S_innov", "chol_P_prior", "chol_P_post",
})
# Square fields for which a scalar assignment means "scalar times identity".
_SQUARE_FIELDS = frozenset({
    "P", "Q", "R", "S", "SI", "P_prior", "P_post", "chol_P", "chol_Q", "chol_R", "S_innov",
    "chol_P_prior", "chol_P_post",
})

_MEASUREMENT_SQUARE_FIELDS = frozenset({"R", "S", "SI", "chol_R", "S_innov"})
_VECTOR_FIELDS = frozenset({"x", "y", "z", "x_prior", "x_post", "z_pred"})

_CKF_FIELD_SET = frozenset(CKF_FIELDS)
_SRCKF_FIELD_SET = frozenset(SRCKF_FIELDS)
_SRCKF_SETTABLE = _SRCKF_FIELD_SET - _SRCKF_DERIVED

_standard_names: Dict[str, Tuple[str, ...]] = {}


def _accepted(kind: str) -> Tuple[str, ...]:
    """The model or layout names the native module accepts, asked once."""
    names = _standard_names.get(kind)
    if names is None:
        if kind == "model_type":
            names = tuple(CubatureKalmanFilter.supported_standard_models())
        else:
            names = tuple(CubatureKalmanFilter.supported_standard_layouts())
        _standard_names[kind] = names
    return names


def _check_name(kind: str, value: object) -> None:
    if not isinstance(value, str):
        raise TypeError(f"{kind} must be a str, got {type(value).__name__}")
    names = _accepted(kind)
    if value not in names:
        listed = ", ".join(repr(n) for n in names)
        raise ValueError(f"unknown {kind} {value!r}; accepted names are {listed}")


def _as_vector(name: str, value: ArrayLike) -> FloatArray:
    # The engine reads vectors as one contiguous run (a strided view is refused), so
    # views such as a column of a matrix are copied here; anything contiguous passes as is.
    return as_floats(name, value, contiguous=True)


def _as_matrix(name: str, value: ArrayLike, size: int) -> FloatArray:
    a = as_floats(name, value)
    if a.ndim == 0:
        a = a * np.eye(size)
    return a


def _tuple(args: Optional[Iterable[Any]]) -> Tuple[Any, ...]:
    if args is None:  # as for the native methods, None means no extra arguments
        return ()
    return args if type(args) is tuple else tuple(args)


class RunResult(NamedTuple):
    """Per-step outputs of `VexelCKF.run`, row i belonging to step i.

    It is a tuple in the row layout of the native `record_step`, so it can be
    unpacked as ``xs, Ps, xs_prior, Ps_prior, log_likelihoods, nis = result``.
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


class _Progress:
    """A tqdm bar when tqdm is installed, else a counter rewritten on stderr."""

    def __init__(self, total: int) -> None:
        self.total = total
        self.done = 0
        self._bar: Any = None
        try:
            tqdm = importlib.import_module("tqdm.auto").tqdm
        except ImportError:
            self._write()
        else:
            self._bar = tqdm(total=total, desc="VexelCKF.run", unit="step")

    def _write(self) -> None:
        sys.stderr.write(f"\rVexelCKF.run: {self.done}/{self.total} steps")
        sys.stderr.flush()

    def advance(self, steps: int) -> None:
        self.done += steps
        if self._bar is not None:
            self._bar.update(steps)
        else:
            self._write()

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
        else:
            sys.stderr.write("\n")
            sys.stderr.flush()


class VexelCKF:
    """Cubature Kalman filter with a native engine.

    ``VexelCKF(dim_x, dim_z, dt, fx=None, hx=None, square_root=False)`` wraps a
    native `CubatureKalmanFilter`, or with ``square_root=True`` a
    `SquareRootCubatureKalmanFilter`. fx(X, dt, *args) and hx(X, *args) work on
    all cubature points at once: X has one point per row, and they return one
    row per point.

    Every field of the native filter is an attribute (``kf.x``, ``kf.P = ...``,
    ``kf.nis``); a read returns a fresh copy, an assignment is validated and
    stored by the native filter. Arrays are converted to float64; a scalar
    assigned to a square matrix field means that multiple of the identity.
    """

    __slots__ = ("_f", "_fields", "_settable", "_fx", "_hx", "_dt", "_dim_x", "_dim_z", "_square_root")
    _f: Any
    _fields: FrozenSet[str]
    _settable: FrozenSet[str]
    _fx: Optional[Callable[..., Any]]
    _hx: Optional[Callable[..., Any]]
    _dt: float
    _dim_x: int
    _dim_z: int
    _square_root: bool

    def __init__(
        self,
        dim_x: int,
        dim_z: int,
        dt: float,
        fx: Optional[Callable[..., Any]] = None,
        hx: Optional[Callable[..., Any]] = None,
        square_root: bool = False,
    ) -> None:
        native_cls = SquareRootCubatureKalmanFilter if square_root else CubatureKalmanFilter
        native = native_cls(dim_x, dim_z, dt)
        self._adopt(native, operator.index(dim_x), operator.index(dim_z), float(dt), fx, hx, bool(square_root))

    def _adopt(self, native: Any, dim_x: int, dim_z: int, dt: float, fx: Any, hx: Any, square_root: bool) -> None:
        setattr_ = object.__setattr__
        setattr_(self, "_f", native)
        setattr_(self, "_fields", _SRCKF_FIELD_SET if square_root else _CKF_FIELD_SET)
        setattr_(self, "_settable", _SRCKF_SETTABLE if square_root else _CKF_FIELD_SET)
        setattr_(self, "_fx", fx)
        setattr_(self, "_hx", hx)
        setattr_(self, "_dt", dt)
        setattr_(self, "_dim_x", dim_x)
        setattr_(self, "_dim_z", dim_z)
        setattr_(self, "_square_root", square_root)

    # -- fields as attributes ------------------------------------------------

    def __getattr__(self, name: str) -> Any:
        # Reached only when normal lookup fails, so methods and properties pay nothing.
        try:
            fields = object.__getattribute__(self, "_fields")
        except AttributeError:
            fields = frozenset()
        if name in fields:
            return self._f.get(name)
        err = AttributeError(f"'{type(self).__name__}' object has no attribute '{name}'")
        err.name = name  # lets Python suggest a close field name
        err.obj = self
        raise err

    def __setattr__(self, name: str, value: Any) -> None:
        if name in self._settable:
            if name in _SQUARE_FIELDS:
                value = _as_matrix(name, value, self._dim_z if name in _MEASUREMENT_SQUARE_FIELDS else self._dim_x)
            elif name in _ARRAY_FIELDS:
                value = _as_vector(name, value) if name in _VECTOR_FIELDS else as_floats(name, value)
            self._f.set(name, value)
        elif name in self._fields:
            raise AttributeError(
                f"{name} of the square-root filter is read-only: it is the product of the stored factor "
                f"{_SRCKF_FACTOR_OF[name]}; assign that instead"
            )
        else:
            object.__setattr__(self, name, value)

    def __dir__(self) -> Iterable[str]:
        return sorted(set(super().__dir__()) | set(self._fields))

    @property
    def field_names(self) -> Tuple[str, ...]:
        """Names of the native filter's fields, in snapshot order."""
        return SRCKF_FIELDS if self._square_root else CKF_FIELDS

    @property
    def dim_x(self) -> int:
        """State dimension."""
        return self._dim_x

    @property
    def dim_z(self) -> int:
        """Measurement dimension."""
        return self._dim_z

    @property
    def square_root(self) -> bool:
        """True when the filter propagates Cholesky factors (square-root form)."""
        return self._square_root

    @property
    def dt(self) -> float:
        """Default time step, passed to fx when `predict` gets no dt."""
        return self._dt

    @dt.setter
    def dt(self, value: float) -> None:
        self._f.set_dt(value)
        object.__setattr__(self, "_dt", float(value))

    @property
    def fx(self) -> Optional[Callable[..., Any]]:
        """Default transition function fx(X, dt, *fx_args)."""
        return self._fx

    @fx.setter
    def fx(self, value: Optional[Callable[..., Any]]) -> None:
        object.__setattr__(self, "_fx", value)

    @property
    def hx(self) -> Optional[Callable[..., Any]]:
        """Default measurement function hx(X, *hx_args)."""
        return self._hx

    @hx.setter
    def hx(self, value: Optional[Callable[..., Any]]) -> None:
        object.__setattr__(self, "_hx", value)

    @property
    def native(self) -> Any:
        """The native filter object this instance drives."""
        return self._f

    def __repr__(self) -> str:
        return (f"{type(self).__name__}(dim_x={self._dim_x}, dim_z={self._dim_z}, dt={self._dt!r}, "
                f"square_root={self._square_root})")

    # -- filtering -----------------------------------------------------------

    @staticmethod
    def _callback(given: Any, default: Any, name: str, where: str) -> Any:
        fn = default if given is None else given
        if fn is None:
            raise TypeError(
                f"{where}() needs {name}: pass {name}=... to {where}() or to VexelCKF(...), or assign "
                f"kf.{name} (a callback that could not be pickled is dropped when the filter is pickled)"
            )
        return fn

    def predict(self, fx: Optional[Callable[..., Any]] = None, dt: Optional[float] = None,
                fx_args: Optional[Iterable[Any]] = ()) -> None:
        """Time update through fx(X, dt, *fx_args), called once on all cubature points.

        dt defaults to the filter's `dt`; a per-call dt is not stored.
        """
        fx = self._callback(fx, self._fx, "fx", "predict")
        self._f.predict_custom(fx, dt, _tuple(fx_args))

    def _require_covariance_form(self, what: str) -> None:
        if self._square_root:
            raise NotImplementedError(
                f"{what}() is available for the covariance-form filter only; the square-root filter "
                f"(square_root=True) predicts through predict(fx), for a matrix F with "
                f"fx = lambda X, dt: X @ F.T"
            )

    def predict_linear(self, F: ArrayLike, cubature: bool = False) -> None:
        """Time update with a transition matrix: x = F x, P = F P F^T + Q.

        With cubature=True the covariance is propagated through the cubature
        points instead (regularising a borderline P, like `predict`).
        """
        self._require_covariance_form("predict_linear")
        F = as_floats("F", F)
        if cubature:
            self._f.predict_linear_model_ckf(F)
        else:
            self._f.predict_linear_model(F)

    def predict_model(self, model_type: str, layout: str = "blocked", cubature: bool = False) -> None:
        """Time update with a built-in motion model and the filter's dt.

        model_type is one of `supported_standard_models()` ("constant_velocity",
        "constant_acceleration"), layout one of `supported_standard_layouts()`
        ("blocked": all positions, then all velocities...; "interleaved": axis
        by axis). The process noise is the filter's Q.
        """
        self._require_covariance_form("predict_model")
        _check_name("model_type", model_type)
        _check_name("layout", layout)
        if cubature:
            self._f.predict_standard_model_ckf(model_type, layout)
        else:
            self._f.predict_standard_model(model_type, layout)

    @staticmethod
    def supported_standard_models() -> Tuple[str, ...]:
        """Model names accepted by `predict_model`."""
        return _accepted("model_type")

    @staticmethod
    def supported_standard_layouts() -> Tuple[str, ...]:
        """Layout names accepted by `predict_model`."""
        return _accepted("layout")

    def update(self, z: Optional[ArrayLike], hx: Optional[Callable[..., Any]] = None,
               R: Optional[ArrayLike] = None, hx_args: Optional[Iterable[Any]] = ()) -> None:
        """Measurement update through hx(X, *hx_args), called once on all cubature points.

        z=None records a missed measurement: the prediction stands, the
        posterior equals it and the innovation diagnostics are cleared (NaN).
        R, when given, is the measurement noise of this update only.
        """
        if z is None:
            self._f.clear_update_diagnostics()
            return
        hx = self._callback(hx, self._hx, "hx", "update")
        z = _as_vector("z", z)
        if R is not None:
            R = _as_matrix("R", R, self._dim_z)
        self._f.update(z, hx, R, _tuple(hx_args))

    def run(self, zs: ArrayLike, nan_means_missing: bool = False, progress: bool = False) -> RunResult:
        """Filter a whole sequence: for each row z of zs, `predict()` then `update(z)`.

        zs has shape (N, dim_z) (or (N,) when dim_z is 1). With
        nan_means_missing=True a row of all NaN is a missed measurement
        (`update(None)`); a row with only some NaN is an error either way.
        Uses the filter's fx, hx and dt; the filter ends in the state after
        the last step. progress=True shows a progress bar (tqdm when
        installed, else a counter on stderr).
        """
        fx = self._callback(None, self._fx, "fx", "run")
        hx = self._callback(None, self._hx, "hx", "run")
        zs = as_floats("zs", zs, contiguous=True)  # each row goes to the engine as a vector
        dim_x, dim_z = self._dim_x, self._dim_z
        if zs.ndim == 1 and dim_z == 1:
            zs = zs.reshape(-1, 1)
        if zs.ndim != 2 or zs.shape[1] != dim_z:
            raise ValueError(f"zs must have shape (N, {dim_z}), got {zs.shape}")
        missing = self._missing_rows(zs, nan_means_missing)
        n_steps = zs.shape[0]
        out = RunResult(
            np.empty((n_steps, dim_x)), np.empty((n_steps, dim_x, dim_x)),
            np.empty((n_steps, dim_x)), np.empty((n_steps, dim_x, dim_x)),
            np.empty(n_steps), np.empty(n_steps),
        )
        f = self._f
        predict = f.predict_custom
        update = f.update
        skip = f.clear_update_diagnostics
        record = f.record_step
        bar = _Progress(n_steps) if progress and n_steps else None
        chunk = max(1, n_steps // 100) if bar is not None else max(1, n_steps)
        i = 0
        try:
            for start in range(0, n_steps, chunk):
                stop = min(start + chunk, n_steps)
                if missing is None:
                    for i in range(start, stop):
                        predict(fx)
                        update(zs[i], hx)
                        record(i, out)
                else:
                    for i in range(start, stop):
                        predict(fx)
                        if missing[i]:
                            skip()
                        else:
                            update(zs[i], hx)
                        record(i, out)
                if bar is not None:
                    bar.advance(stop - start)
        except Exception as exc:
            if hasattr(exc, "add_note"):
                exc.add_note(f"raised by VexelCKF.run() at step {i}; the filter holds the state reached before the failing call")
            raise
        finally:
            if bar is not None:
                bar.close()
        return out

    @staticmethod
    def _missing_rows(zs: FloatArray, nan_means_missing: bool) -> Optional[List[bool]]:
        finite = np.isfinite(zs)
        if finite.all():
            return None
        bad_rows = ~finite.all(axis=1)
        if nan_means_missing:
            nan_rows = np.isnan(zs).all(axis=1)
            bad = bad_rows & ~nan_rows
            if bad.any():
                i = int(np.argmax(bad))
                if np.isnan(zs[i]).any():
                    raise ValueError(
                        f"zs[{i}] is partly NaN: {zs[i].tolist()}. A missed measurement must be a row of all "
                        f"NaN; a partial measurement cannot be used as it is"
                    )
                raise ValueError(f"zs[{i}] contains infinite values: {zs[i].tolist()}")
            return cast(List[bool], nan_rows.tolist())
        i = int(np.argmax(bad_rows))
        raise ValueError(
            f"zs[{i}] contains non-finite values: {zs[i].tolist()}. For missed measurements fill their rows "
            f"with NaN and pass nan_means_missing=True"
        )

    # -- whole-state transfer ------------------------------------------------

    def copy(self) -> "VexelCKF":
        """Independent copy of the filter (state, counters, dt, fx and hx)."""
        new = object.__new__(type(self))
        new._adopt(self._f.copy(), self._dim_x, self._dim_z, self._dt, self._fx, self._hx, self._square_root)
        return new

    __copy__ = copy

    def __deepcopy__(self, memo: Dict[int, Any]) -> "VexelCKF":
        return self.copy()

    def to_dict(self) -> Dict[str, Any]:
        """The whole state as a dict: dim_x, dim_z, dt, square_root and every field."""
        state: Dict[str, Any] = {
            "dim_x": self._dim_x, "dim_z": self._dim_z, "dt": self._dt, "square_root": self._square_root,
        }
        state.update(self._f.snapshot())
        return state

    @classmethod
    def from_dict(cls, state: Dict[str, Any], fx: Optional[Callable[..., Any]] = None,
                  hx: Optional[Callable[..., Any]] = None) -> "VexelCKF":
        """A new filter from a `to_dict()` result (fields absent from it keep their initial values)."""
        try:
            dims = (state["dim_x"], state["dim_z"], state["dt"])
        except KeyError as exc:
            raise ValueError(f"from_dict() needs the key {exc.args[0]!r}, as written by to_dict()") from None
        kf = cls(*dims, fx=fx, hx=hx, square_root=bool(state.get("square_root", False)))
        kf._f.load_snapshot(state if isinstance(state, dict) else dict(state))
        return kf

    def __reduce__(self) -> Tuple[Any, ...]:
        return (_unpickle, (type(self), self.to_dict(), _picklable(self._fx), _picklable(self._hx)))

    # -- smoothing -----------------------------------------------------------

    def smooth(self, result: Any, Q: Optional[ArrayLike] = None, dt: Optional[ArrayLike] = None,
               fx_args: Optional[Iterable[Any]] = None) -> Any:
        """Cubature RTS smoother over a `run()` result (its filtered ``xs`` and ``Ps``).

        Uses the filter's fx, and its Q and dt unless given (one value or a
        per-step stack, as for `cubature_smoother`); square-root form when the
        filter is. Returns a `CubatureSmoothResult`.
        """
        from ._smoother import cubature_smoother

        fx = self._callback(None, self._fx, "fx", "smooth")
        try:
            xs, Ps = result.xs, result.Ps
        except AttributeError:
            raise TypeError(
                f"smooth() takes the RunResult of run() (with xs and Ps), not {type(result).__name__}"
            ) from None
        return cubature_smoother(
            xs, Ps, fx, self.Q if Q is None else Q, self._dt if dt is None else dt, fx_args,
            square_root=self._square_root, angle_states=getattr(self, "angle_states", None),
        )


def _picklable(fn: Any) -> Any:
    """fn when the standard pickler can store it, else None."""
    if fn is None:
        return None
    try:
        pickle.dumps(fn)
    except Exception:
        return None
    return fn


def _unpickle(cls: Type[VexelCKF], state: Dict[str, Any], fx: Any, hx: Any) -> VexelCKF:
    return cls.from_dict(state, fx=fx, hx=hx)
