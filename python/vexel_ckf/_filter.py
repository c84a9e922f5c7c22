"""`VexelCKF`: the user-facing filter class over the two native filter classes.

The native object owns the whole state. This class only forwards: fields are
read with `get` (as read-only copies) and written with `set` when the
attribute is touched, the angle-aware steps run in `_engine`, and
`run()` drives one native predict, one native update (or skip) and one
`record_step` per step, writing straight into preallocated output arrays.
"""

from __future__ import annotations

import importlib
import operator
import sys
from typing import Any, Callable, Dict, FrozenSet, Iterable, List, NamedTuple, Optional, Sequence, Tuple, Type, cast

import numpy as np
from numpy.typing import ArrayLike

from . import _engine, _messages
from ._fixed_lag import ENGINE_LAG_LIMIT, FixedLagRunResult, FixedLagSmoother, lag_value
from ._common import FloatArray, angle_indices, as_floats, extra_args, picklable, square
from ._models import CompiledModel, as_model, model_angles
from ._angles import wrap
from ._engine import field_tables as _engine_field_tables
from ._engine import predict_angles as _predict_angles
from ._engine import run_filter as _run_filter
from ._engine import update_angles as _update_angles
from ._native import CubatureKalmanFilter, SquareRootCubatureKalmanFilter

__all__ = ["VexelCKF", "RunResult"]

# The field tables of the two native classes, exported by the engine: one row
# (name, type, shape, settable) per field, in snapshot order. Everything the
# class needs to know about a field is derived from them here, once.
_TABLES: Dict[str, Tuple[Tuple[str, str, Tuple[str, ...], bool], ...]] = {
    cls: tuple((str(n), str(t), tuple(shape), bool(settable)) for n, t, shape, settable in rows)
    for cls, rows in _engine_field_tables().items()
}


class _FieldSet(NamedTuple):
    names: Tuple[str, ...]              # snapshot order
    members: FrozenSet[str]
    settable: FrozenSet[str]
    shape: Dict[str, Tuple[str, ...]]   # dimension names, empty for scalars
    kind: Dict[str, str]                # 'array', 'float' or 'int'


def _field_set(rows: Iterable[Tuple[str, str, Tuple[str, ...], bool]]) -> _FieldSet:
    rows = tuple(rows)
    return _FieldSet(
        tuple(r[0] for r in rows), frozenset(r[0] for r in rows), frozenset(r[0] for r in rows if r[3]),
        {r[0]: r[2] for r in rows}, {r[0]: r[1] for r in rows},
    )


_CKF = _field_set(_TABLES["CubatureKalmanFilter"])
_SRCKF = _field_set(_TABLES["SquareRootCubatureKalmanFilter"])
CKF_FIELDS: Tuple[str, ...] = _CKF.names
SRCKF_FIELDS: Tuple[str, ...] = _SRCKF.names


def _stored_factor(fields: _FieldSet, name: str) -> str:
    """The stored factor a read-only covariance of the square-root filter is the product of."""
    for candidate in ("chol_" + name, name + "_innov"):
        if candidate in fields.settable:
            return candidate
    return "its factor"

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


def _measurement(z: ArrayLike, dim_z: int) -> FloatArray:
    """z as a contiguous vector; a column (dim_z, 1), as FilterPy keeps it, is flattened."""
    a = as_floats("z", z, contiguous=True)
    if a.ndim == 1:
        return a  # a wrong length is reported by the engine
    if a.shape == (dim_z, 1):
        return a.reshape(dim_z)
    raise ValueError(f"z must have shape ({dim_z},) or, as a column, ({dim_z}, 1); got {a.shape}")


class _Field:
    """A native field as an attribute: reads are read-only copies, assignments are checked natively.

    A fresh copy is made for every read, so an in-place edit (``kf.x[0] = 5``,
    ``kf.P *= 2``) could never reach the filter; the copy is read-only so
    that such an edit fails instead of being lost. Assign the whole field
    (``kf.x = new_x``) to change it.
    """

    def __init__(self, name: str, doc: str) -> None:
        self.name = name
        self.__doc__ = doc

    def __get__(self, obj: Optional["VexelCKF"], owner: Optional[type] = None) -> Any:
        if obj is None:
            return self
        if self.name not in obj._fields.members:
            raise _no_attribute(obj, self.name)
        value = obj._f.get(self.name)
        if type(value) is np.ndarray:
            value.flags.writeable = False
        return value

    def __set__(self, obj: "VexelCKF", value: Any) -> None:
        name = self.name
        fields = obj._fields
        if name not in fields.settable:
            if name in fields.members:
                raise AttributeError(
                    f"{name} of the square-root filter is read-only: it is the product of the stored factor "
                    f"{_stored_factor(fields, name)}; assign that instead"
                )
            raise _no_attribute(obj, name)
        shape = fields.shape[name]
        if len(shape) == 2 and shape[0] == shape[1]:
            value = square(name, value, obj._dim_z if shape[0] == "dim_z" else obj._dim_x)
        elif len(shape) == 1:
            value = _as_vector(name, value)
        elif shape:
            value = as_floats(name, value)
        obj._f.set(name, value)


def _no_attribute(obj: Any, name: str) -> AttributeError:
    err = AttributeError(f"'{type(obj).__name__}' object has no attribute '{name}'")
    err.name = name  # lets Python suggest a close field name
    err.obj = obj
    return err


def _field_doc(name: str) -> str:
    """Docstring of a field attribute, from the two tables."""
    forms = [label for label, fields in (("covariance form", _CKF), ("square-root form", _SRCKF))
             if name in fields.members]
    fields = _CKF if name in _CKF.members else _SRCKF
    kind, shape = fields.kind[name], fields.shape[name]
    what = f"float64 array of shape ({', '.join(shape)})" if kind == "array" else kind
    settable = [label for label, f in (("covariance form", _CKF), ("square-root form", _SRCKF))
                if name in f.settable]
    access = ("settable" if len(settable) == len(forms) else
              f"settable in the {settable[0]}, read-only otherwise" if settable else "read-only")
    meaning = _FIELD_MEANINGS.get(name, "")
    return f"{meaning}{' ' if meaning else ''}{what}; {access}; present in the {' and the '.join(forms)}."


# What each field means, for the attribute documentation (the tables carry the rest).
_FIELD_MEANINGS: Dict[str, str] = {
    "x": "State mean.", "P": "State covariance.", "Q": "Process-noise covariance.",
    "R": "Measurement-noise covariance.", "K": "Gain of the last update.", "y": "Innovation of the last update.",
    "z": "Measurement of the last update.", "S": "Innovation covariance of the last update.",
    "SI": "Inverse of S used by the last update.", "x_prior": "Mean after the last prediction.",
    "P_prior": "Covariance after the last prediction.", "x_post": "Mean after the last update.",
    "P_post": "Covariance after the last update.", "z_pred": "Predicted measurement of the last update.",
    "log_likelihood": "Log-likelihood of the last measurement.", "likelihood": "Likelihood of the last measurement.",
    "mahalanobis": "Mahalanobis distance of the last innovation.",
    "nis": "Normalised innovation squared of the last update.",
    "last_jitter": "Jitter added to factor P in the last step.", "max_jitter": "Largest jitter added so far.",
    "jitter_count": "Number of steps that needed jitter.",
    "singular_innovation_count": "Number of updates whose innovation covariance needed the fallback inverse.",
    "downdate_fallback_count": "Number of posterior downdates that fell back to refactoring.",
    "chol_P": "Lower Cholesky factor of P.", "chol_Q": "Lower Cholesky factor of Q.",
    "chol_R": "Lower Cholesky factor of R.", "S_innov": "Lower Cholesky factor of S.",
    "chol_P_prior": "Lower Cholesky factor of P_prior.", "chol_P_post": "Lower Cholesky factor of P_post.",
}


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
    `SquareRootCubatureKalmanFilter`. ``fx(X, dt, *fx_args)`` and ``hx(X, *hx_args)``
    work on all cubature points at once: X has one point per row, and they
    return one row per point.

    Every field of the native filter is an attribute (``kf.x``, ``kf.P = ...``,
    ``kf.nis``); a read returns a read-only copy, an assignment is validated
    and stored by the native filter. Arrays are converted to float64; a scalar
    assigned to a square matrix field means that multiple of the identity.

    Parameters
    ----------
    dim_x : int
        State dimension n (positive).
    dim_z : int
        Measurement dimension (positive).
    dt : float
        Default time step, passed to fx when a prediction gets none (finite).
    fx : callable or compiled model, optional
        Default transition function ``fx(X, dt, *fx_args)``, or a compiled
        model (a built-in of `vexel_ckf.models`, `compiled_fx`, or a C
        function as a `scipy.LowLevelCallable`, ctypes pointer, PyCapsule or
        numba cfunc with the signature `MODEL_SIGNATURE`), which the engine
        runs without Python.
    hx : callable or compiled model, optional
        Default measurement function ``hx(X, *hx_args)``, or a compiled model.
    square_root : bool, optional
        Propagate Cholesky factors instead of covariances.
    angle_states : sequence of int or boolean mask, optional
        The state entries that are angles in radians (headings): distinct
        indices into x (negative ones count from the end) or a boolean mask
        of length dim_x. After fx they are unwrapped around their circular
        mean before the moments are formed, and x's angles are wrapped to
        (-pi, pi] after each prediction and update. Defaults to the angles
        a compiled fx declares (none for a Python callback).
    angle_measurements : sequence of int or boolean mask, optional
        The measurement entries that are angles in radians (bearings),
        given the same way: indices into z or a mask of length dim_z. Their
        images under hx are unwrapped to within pi of the measurement
        before the moments are formed, so that the innovation goes the
        short way round. Defaults to the angles a compiled hx declares.
    fx_args, hx_args : iterable, optional
        Extra positional arguments of fx and hx, used by every call that
        gives none of its own (`predict`, `update`, `run`, `smooth`).
    nan_means_missing : bool, optional
        A measurement of all NaN is a missed one, as ``update(None)`` is,
        in `update` and `run` unless the call says otherwise. Without it
        such a measurement is an error, as any non-finite one is.

    Raises
    ------
    ValueError
        For non-positive dimensions, a non-finite dt, angle indices out of
        range or naming an entry twice, or an angle mask of the wrong length.
    TypeError
        For arguments of the wrong kind, angle indices that are not integers
        among them.
    """

    __slots__ = ("_f", "_fields", "_fx", "_hx", "_fx_args", "_hx_args", "_dt", "_dim_x", "_dim_z", "_square_root",
                 "_angle_states", "_angle_measurements", "_nan_means_missing")
    _f: Any
    _fields: _FieldSet
    _fx: Optional[Callable[..., Any]]
    _hx: Optional[Callable[..., Any]]
    _fx_args: Tuple[Any, ...]
    _hx_args: Tuple[Any, ...]
    _dt: float
    _dim_x: int
    _dim_z: int
    _square_root: bool
    _angle_states: Tuple[int, ...]
    _angle_measurements: Tuple[int, ...]
    _nan_means_missing: bool

    def __init__(
        self,
        dim_x: int,
        dim_z: int,
        dt: float,
        fx: Optional[Callable[..., Any]] = None,
        hx: Optional[Callable[..., Any]] = None,
        square_root: bool = False,
        angle_states: Optional[Iterable[int]] = None,
        angle_measurements: Optional[Iterable[int]] = None,
        *,
        fx_args: Optional[Iterable[Any]] = (),
        hx_args: Optional[Iterable[Any]] = (),
        nan_means_missing: bool = False,
    ) -> None:
        native_cls = SquareRootCubatureKalmanFilter if square_root else CubatureKalmanFilter
        native = native_cls(dim_x, dim_z, dt)
        dim_x, dim_z = operator.index(dim_x), operator.index(dim_z)
        fx = as_model(fx, "fx", dim_x, dim_x)
        hx = as_model(hx, "hx", dim_x, dim_z)
        # Compiled models say which of their outputs are angles.
        if angle_states is None:
            angle_states = model_angles(fx)
        if angle_measurements is None:
            angle_measurements = model_angles(hx)
        states = angle_indices("angle_states", angle_states, dim_x)
        measured = angle_indices("angle_measurements", angle_measurements, dim_z)
        self._adopt(native, dim_x, dim_z, float(dt), fx, hx, bool(square_root), states, measured,
                    extra_args("fx_args", fx_args), extra_args("hx_args", hx_args), bool(nan_means_missing))

    def _adopt(self, native: Any, dim_x: int, dim_z: int, dt: float, fx: Any, hx: Any, square_root: bool,
               angle_states: Tuple[int, ...] = (), angle_measurements: Tuple[int, ...] = (),
               fx_args: Tuple[Any, ...] = (), hx_args: Tuple[Any, ...] = (), nan_means_missing: bool = False) -> None:
        setattr_ = object.__setattr__
        setattr_(self, "_f", native)
        setattr_(self, "_fields", _SRCKF if square_root else _CKF)
        setattr_(self, "_fx", fx)
        setattr_(self, "_hx", hx)
        setattr_(self, "_fx_args", fx_args)
        setattr_(self, "_hx_args", hx_args)
        setattr_(self, "_nan_means_missing", nan_means_missing)
        setattr_(self, "_dt", dt)
        setattr_(self, "_dim_x", dim_x)
        setattr_(self, "_dim_z", dim_z)
        setattr_(self, "_square_root", square_root)
        setattr_(self, "_angle_states", angle_states)
        setattr_(self, "_angle_measurements", angle_measurements)

    # -- fields as attributes ------------------------------------------------
    # One `_Field` per name of either native table is added to the class below
    # the class body; a field of the other form reads as a missing attribute.

    def __dir__(self) -> Iterable[str]:
        other = (_CKF.members | _SRCKF.members) - self._fields.members
        return sorted(set(super().__dir__()) - other)

    @property
    def field_names(self) -> Tuple[str, ...]:
        """Names of the native filter's fields, in snapshot order."""
        return self._fields.names

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
        """Default transition function ``fx(X, dt, *fx_args)``."""
        return self._fx

    @fx.setter
    def fx(self, value: Optional[Callable[..., Any]]) -> None:
        object.__setattr__(self, "_fx", as_model(value, "fx", self._dim_x, self._dim_x))

    @property
    def hx(self) -> Optional[Callable[..., Any]]:
        """Default measurement function ``hx(X, *hx_args)``."""
        return self._hx

    @hx.setter
    def hx(self, value: Optional[Callable[..., Any]]) -> None:
        object.__setattr__(self, "_hx", as_model(value, "hx", self._dim_x, self._dim_z))

    @property
    def fx_args(self) -> Tuple[Any, ...]:
        """Extra positional arguments of fx, used when a call gives none."""
        return self._fx_args

    @fx_args.setter
    def fx_args(self, value: Optional[Iterable[Any]]) -> None:
        object.__setattr__(self, "_fx_args", extra_args("fx_args", value))

    @property
    def hx_args(self) -> Tuple[Any, ...]:
        """Extra positional arguments of hx, used when a call gives none."""
        return self._hx_args

    @hx_args.setter
    def hx_args(self, value: Optional[Iterable[Any]]) -> None:
        object.__setattr__(self, "_hx_args", extra_args("hx_args", value))

    @property
    def nan_means_missing(self) -> bool:
        """Whether `update` and `run` take a measurement of all NaN as a missed one by default."""
        return self._nan_means_missing

    @nan_means_missing.setter
    def nan_means_missing(self, value: bool) -> None:
        object.__setattr__(self, "_nan_means_missing", bool(value))

    @property
    def angle_states(self) -> Tuple[int, ...]:
        """Indices (0..dim_x-1) of the state entries handled as angles (see the class description)."""
        return self._angle_states

    @property
    def angle_measurements(self) -> Tuple[int, ...]:
        """Indices (0..dim_z-1) of the measurement entries handled as angles (see the class description)."""
        return self._angle_measurements

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
                fx_args: Optional[Iterable[Any]] = None) -> None:
        """Time update through fx, called once on all cubature points.

        Parameters
        ----------
        fx : callable, optional
            ``fx(X, dt, *fx_args)``: X holds the 2n cubature points, one per
            row; it returns the propagated points as a float64 array of shape
            (2n, dim_x). Defaults to the filter's `fx`.
        dt : float, optional
            Time step of this prediction (not stored); defaults to `dt`.
            Zero and negative steps are passed on as they are.
        fx_args : iterable, optional
            Extra positional arguments of fx for this prediction; defaults to
            `fx_args` (``()`` passes none).

        Raises
        ------
        TypeError
            Without any fx, or when fx returns something other than a
            float64 array (the message names fx and the fix).
        ValueError
            For a non-finite dt, or when fx returns the wrong shape or
            non-finite values.
        RuntimeError
            When P is not positive semidefinite (no Cholesky factor even
            with jitter). An exception raised by fx itself passes unchanged.
        """
        fx = self._callback(as_model(fx, "fx", self._dim_x, self._dim_x), self._fx, "fx", "predict")
        args = self._fx_args if fx_args is None else extra_args("fx_args", fx_args)
        try:
            if self._angle_states:
                _predict_angles(self._f, fx, dt, args, self._angle_states)
            else:
                self._f.predict_custom(fx, dt, args)
        except Exception as exc:
            better = _messages.explain(exc, "fx")
            if better is None:
                raise
            raise better from exc

    def _require_covariance_form(self, what: str) -> None:
        if self._square_root:
            raise NotImplementedError(
                f"{what}() is available for the covariance-form filter only; the square-root filter "
                f"(square_root=True) predicts through predict(fx), for a matrix F with "
                f"fx = lambda X, dt: X @ F.T"
            )

    def _wrap_prior_angles(self) -> None:
        # The callback-free predictions run natively without angle handling;
        # their mean is linear in x, so only the wrap of the result is missing.
        if self._angle_states:
            idx = list(self._angle_states)
            for name in ("x", "x_prior"):
                v = self._f.get(name)
                v[idx] = wrap(v[idx])
                self._f.set(name, v)

    def predict_linear(self, F: ArrayLike, cubature: bool = False) -> None:
        """Time update with a transition matrix: x = F x, P = F P F^T + Q.

        Parameters
        ----------
        F : array_like
            Transition matrix, shape (dim_x, dim_x).
        cubature : bool, optional
            Propagate the covariance through the cubature points instead
            (regularising a borderline P, like `predict`).

        Raises
        ------
        NotImplementedError
            For the square-root form.
        ValueError
            For a wrongly shaped or non-finite F.
        RuntimeError
            With cubature=True, when P has no Cholesky factor.
        """
        self._require_covariance_form("predict_linear")
        F = as_floats("F", F)
        if cubature:
            self._f.predict_linear_model_ckf(F)
        else:
            self._f.predict_linear_model(F)
        self._wrap_prior_angles()

    def predict_model(self, model_type: str, layout: str = "blocked", cubature: bool = False) -> None:
        """Time update with a built-in motion model and the filter's dt.

        Parameters
        ----------
        model_type : str
            One of `supported_standard_models()` ("constant_velocity",
            "constant_acceleration").
        layout : str, optional
            One of `supported_standard_layouts()`: "blocked" (all positions,
            then all velocities...) or "interleaved" (axis by axis).
        cubature : bool, optional
            Propagate the covariance through the cubature points instead.

        Raises
        ------
        NotImplementedError
            For the square-root form.
        ValueError
            For an unknown name, or a dim_x the model cannot split into axes.
        TypeError
            For a name that is not a str.
        """
        self._require_covariance_form("predict_model")
        _check_name("model_type", model_type)
        _check_name("layout", layout)
        if cubature:
            self._f.predict_standard_model_ckf(model_type, layout)
        else:
            self._f.predict_standard_model(model_type, layout)
        self._wrap_prior_angles()

    @staticmethod
    def supported_standard_models() -> Tuple[str, ...]:
        """Model names accepted by `predict_model`.

        Returns
        -------
        tuple of str
            The names, as the engine accepts them.
        """
        return _accepted("model_type")

    @staticmethod
    def supported_standard_layouts() -> Tuple[str, ...]:
        """Layout names accepted by `predict_model`.

        Returns
        -------
        tuple of str
            The names, as the engine accepts them.
        """
        return _accepted("layout")

    def update(self, z: Optional[ArrayLike], hx: Optional[Callable[..., Any]] = None,
               R: Optional[ArrayLike] = None, hx_args: Optional[Iterable[Any]] = None,
               nan_means_missing: Optional[bool] = None) -> None:
        """Measurement update through hx, called once on all cubature points.

        Parameters
        ----------
        z : array_like or None
            The measurement, shape (dim_z,) or a column (dim_z, 1). None
            records a missed measurement: the prediction stands, the
            posterior equals it and the innovation diagnostics are cleared
            (NaN). With `nan_means_missing`, so does a z of all NaN.
        hx : callable, optional
            ``hx(X, *hx_args)``, returning the measurement of every point as
            a float64 array of shape (2n, dim_z). Defaults to the filter's
            `hx`.
        R : array_like, optional
            Measurement noise of this update only (a scalar means that
            multiple of the identity).
        hx_args : iterable, optional
            Extra positional arguments of hx for this update; defaults to
            `hx_args` (``()`` passes none).
        nan_means_missing : bool, optional
            Take a z of all NaN as a missed measurement, exactly as None;
            defaults to the filter's `nan_means_missing`. A z with only some
            NaN is an error either way.

        Raises
        ------
        TypeError
            Without any hx, or when hx returns something other than a
            float64 array (the message names hx and the fix).
        ValueError
            For a z of the wrong shape or with non-finite values, a bad R,
            or hx returning the wrong shape or non-finite values.
        RuntimeError
            When P has no Cholesky factor or the innovation covariance
            cannot be inverted. An exception raised by hx passes unchanged.
        """
        if z is not None and (self._nan_means_missing if nan_means_missing is None else nan_means_missing):
            z = _measurement(z, self._dim_z)
            if z.shape == (self._dim_z,) and np.isnan(z).all():
                z = None  # a wrong length stays an error, reported below as without the setting
        if z is None:
            self._f.clear_update_diagnostics()
            return
        hx = self._callback(as_model(hx, "hx", self._dim_x, self._dim_z), self._hx, "hx", "update")
        z = _measurement(z, self._dim_z)
        if R is not None:
            R = square("R", R, self._dim_z)
        args = self._hx_args if hx_args is None else extra_args("hx_args", hx_args)
        try:
            if self._angle_states or self._angle_measurements:
                _update_angles(self._f, z, hx, R, args, self._angle_states, self._angle_measurements)
            else:
                self._f.update(z, hx, R, args)
        except Exception as exc:
            better = _messages.explain(exc, "hx")
            if better is None:
                raise
            raise better from exc

    def run(self, zs: ArrayLike, nan_means_missing: Optional[bool] = None, progress: bool = False, *,
            dts: Optional[ArrayLike] = None, lag: Optional[int] = None) -> Any:
        """Filter a whole sequence: for each row z of zs, `predict()` then `update(z)`.

        Uses the filter's fx, hx, fx_args, hx_args and angle options; the
        filter ends in the state after the last step. When fx and hx are
        both compiled models, every step runs in one native call with the
        interpreter lock released (the same numbers as step by step); Ctrl-C
        stops it within a fraction of a second, keeping the steps done.

        Parameters
        ----------
        zs : array_like
            Measurements, shape (N, dim_z); also (N,) when dim_z is 1 and
            (N, dim_z, 1) (columns).
        nan_means_missing : bool, optional
            A row of all NaN is a missed measurement (`update(None)`); defaults
            to the filter's `nan_means_missing`. A row with only some NaN is
            an error either way.
        progress : bool, optional
            Show a progress bar (tqdm when installed, else a counter on
            stderr).
        dts : array_like, optional
            Time step of each step's prediction, shape (N,): for scan times
            t0..tN, ``np.diff(t)``. Zero and negative steps are allowed.
            Without it every step uses `dt`.
        lag : int, optional
            Also run a fixed-lag smoother with this lag L >= 0 (see
            `fixed_lag`): the result is then a `FixedLagRunResult`, whose
            row k of ``xs_smoothed`` and ``Ps_smoothed`` is step k - L given
            ``zs[:k+1]`` (NaN for k < L), equal bit for bit to
            `cubature_smoother` over the filtered rows up to k (with the
            filter's Q and the same time steps) at step k - L. Its memory
            is that of L + 1 steps besides the outputs; with compiled
            models it runs natively too.

        Returns
        -------
        RunResult or FixedLagRunResult
            Posterior and prior means and covariances, log-likelihoods and
            NIS of every step; with ``lag``, also the fixed-lag estimates.

        Raises
        ------
        ValueError
            Before the first step, for zs of the wrong shape, a non-finite
            measurement row (naming it), dts of the wrong length or a
            non-finite dts entry (naming the step), or a negative lag.
        TypeError
            Without fx or hx, or for a lag that is not an int.
        Exception
            A step's failure (see `predict` and `update`) stops the run: the
            filter keeps the steps before it, and on Python 3.11 and later
            the exception carries a note naming the step.
        """
        fx = self._callback(None, self._fx, "fx", "run")
        hx = self._callback(None, self._hx, "hx", "run")
        lag = None if lag is None else lag_value(lag)
        zs = as_floats("zs", zs, contiguous=True)  # each row goes to the engine as a vector
        dim_x, dim_z = self._dim_x, self._dim_z
        if zs.ndim == 1 and dim_z == 1:
            zs = zs.reshape(-1, 1)
        elif zs.ndim == 3 and zs.shape[1:] == (dim_z, 1):
            zs = zs.reshape(-1, dim_z)  # columns, as FilterPy keeps them
        if zs.ndim != 2 or zs.shape[1] != dim_z:
            raise ValueError(f"zs must have shape (N, {dim_z}), got {zs.shape}")
        missing = self._missing_rows(zs, self._nan_means_missing if nan_means_missing is None else nan_means_missing)
        n_steps = zs.shape[0]
        if isinstance(fx, CompiledModel) and isinstance(hx, CompiledModel):
            return self._run_native(fx, hx, zs, missing, dts, progress, lag)
        steps = self._time_steps(dts, n_steps)
        out = RunResult(
            np.empty((n_steps, dim_x)), np.empty((n_steps, dim_x, dim_x)),
            np.empty((n_steps, dim_x)), np.empty((n_steps, dim_x, dim_x)),
            np.empty(n_steps), np.empty(n_steps),
        )
        f = self._f
        states, measured = self._angle_states, self._angle_measurements
        fx_args, hx_args = self._fx_args, self._hx_args
        angles = bool(states or measured)
        if angles:
            def predict(fx: Any, dt: Optional[float], args: Tuple[Any, ...]) -> None:
                _predict_angles(f, fx, dt, args, states)

            def update(z: FloatArray, hx: Any, R: None, args: Tuple[Any, ...]) -> None:
                _update_angles(f, z, hx, R, args, states, measured)
            if not states:
                predict = f.predict_custom  # type: ignore[assignment]
        else:
            predict = f.predict_custom
            update = f.update
        skip = f.clear_update_diagnostics
        record = f.record_step
        lagged = None
        if lag is not None:
            lagged = (np.full((n_steps, dim_x), np.nan), np.full((n_steps, dim_x, dim_x), np.nan))
            if lag < n_steps:
                record = self._lag_recorder(record, lag, steps, lagged)
        bar = _Progress(n_steps) if progress and n_steps else None
        chunk = max(1, n_steps // 100) if bar is not None else max(1, n_steps)
        i = 0
        callback = "fx"
        try:
            for start in range(0, n_steps, chunk):
                stop = min(start + chunk, n_steps)
                # One loop per combination, so that the common case tests nothing per step.
                if missing is None and steps is None:
                    for i in range(start, stop):
                        callback = "fx"
                        predict(fx, None, fx_args)
                        callback = "hx"
                        update(zs[i], hx, None, hx_args)
                        callback = "fx"  # the smoother's transition, when there is one
                        record(i, out)
                else:
                    for i in range(start, stop):
                        callback = "fx"
                        predict(fx, None if steps is None else steps[i], fx_args)
                        if missing is not None and missing[i]:
                            skip()
                        else:
                            callback = "hx"
                            update(zs[i], hx, None, hx_args)
                        callback = "fx"
                        record(i, out)
                if bar is not None:
                    bar.advance(stop - start)
        except Exception as exc:
            better = _messages.explain(exc, callback)
            note = f"raised by VexelCKF.run() at step {i}; the filter holds the state reached before the failing call"
            if better is not None:
                if hasattr(better, "add_note"):
                    better.add_note(note)
                raise better from exc
            if hasattr(exc, "add_note"):
                exc.add_note(note)
            raise
        finally:
            if bar is not None:
                bar.close()
        if lagged is not None:
            return FixedLagRunResult(*out, *lagged)
        return out

    def _lag_recorder(self, record: Callable[[int, Any], None], lag: int, steps: Optional[List[float]],
                      lagged: Tuple[FloatArray, FloatArray]) -> Callable[[int, Any], None]:
        """`record_step` followed by the fixed-lag window's push of the recorded row."""
        window = _engine.fixed_lag_window(self._dim_x, lag, self._square_root, self._angle_states or None)
        push = _engine.fixed_lag_push
        fx, fx_args, Q, dt = self._fx, self._fx_args, self.Q, self._dt
        xs_lag, Ps_lag = lagged

        def record_and_smooth(i: int, out: Any) -> None:
            record(i, out)
            est = push(window, out[0][i], out[1][i], Q, fx, fx_args, dt if steps is None else steps[i])
            if est is not None:
                xs_lag[i], Ps_lag[i] = est

        return record_and_smooth

    def fixed_lag(self, lag: int) -> "FixedLagSmoother":
        """An online fixed-lag smoother over this filter.

        Parameters
        ----------
        lag : int
            The lag L >= 0: each step returns the estimate of the step L
            steps back (L = 0: the filtered estimate).

        Returns
        -------
        FixedLagSmoother
            Its ``step(z, dt=None)`` runs `predict` and `update` on this
            filter and returns the smoothed estimate of step k - L given the
            measurements up to step k, or None for the first L steps;
            ``flush()`` gives the last L at the end of a stream.

        Raises
        ------
        TypeError
            For a lag that is not an int.
        ValueError
            For a negative lag.
        """
        return FixedLagSmoother(self, lag)

    def _run_native(self, fx: CompiledModel, hx: CompiledModel, zs: FloatArray, missing: Optional[List[bool]],
                    dts: Optional[ArrayLike], progress: bool, lag: Optional[int] = None) -> Any:
        """The whole run in one native call (compiled fx and hx), the interpreter lock released."""
        n_steps = zs.shape[0]
        steps = None if dts is None else np.asarray(self._time_steps(dts, n_steps), dtype=np.float64)
        mask = None if missing is None else np.asarray(missing, dtype=bool)
        position = np.zeros(2, dtype=np.int64)
        bar = _Progress(n_steps) if progress and n_steps else None
        reported = [0]

        def report(done: int) -> None:
            assert bar is not None
            bar.advance(done - reported[0])
            reported[0] = done

        try:
            out = _run_filter(self._f, (fx, self._fx_args, hx, self._hx_args), zs, mask, steps,
                              (self._angle_states, self._angle_measurements),
                              report if bar is not None else None, position,
                              None if lag is None else min(lag, ENGINE_LAG_LIMIT))
        except Exception as exc:
            callback = "hx" if position[1] == 1 else "fx"  # 0 the prediction, 2 the smoother's transition
            better = _messages.explain(exc, callback)
            note = (f"raised by VexelCKF.run() at step {int(position[0])}; the filter holds the state reached "
                    f"before the failing call")
            target = exc if better is None else better
            if hasattr(target, "add_note"):
                target.add_note(note)
            if better is None:
                raise
            raise better from exc
        finally:
            if bar is not None:
                bar.close()
        if lag is not None:
            return FixedLagRunResult(*out)
        return RunResult(*out)

    @staticmethod
    def _time_steps(dts: Optional[ArrayLike], n_steps: int) -> Optional[List[float]]:
        """The per-step time steps as Python floats, checked before the first step."""
        if dts is None:
            return None
        steps = as_floats("dts", dts)
        if steps.ndim != 1 or steps.shape[0] != n_steps:
            raise ValueError(
                f"dts must have length N = {n_steps} (one time step per row of zs: np.diff of the N + 1 scan "
                f"times), got shape {steps.shape}"
            )
        finite = np.isfinite(steps)
        if not finite.all():
            k = int(np.argmin(finite))
            raise ValueError(f"dts[{k}] is {steps[k]}: the time step of step {k} must be finite")
        return cast(List[float], steps.tolist())

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
        """Independent copy of the filter.

        Returns
        -------
        VexelCKF
            A filter with the same state, counters, dt, callbacks and their
            arguments, angle options and `nan_means_missing`; changing one
            does not change the other.
        """
        new = object.__new__(type(self))
        new._adopt(self._f.copy(), self._dim_x, self._dim_z, self._dt, self._fx, self._hx, self._square_root,
                   self._angle_states, self._angle_measurements, self._fx_args, self._hx_args,
                   self._nan_means_missing)
        return new

    __copy__ = copy

    def __deepcopy__(self, memo: Dict[int, Any]) -> "VexelCKF":
        return self.copy()

    def to_dict(self) -> Dict[str, Any]:
        """The whole state as a dict.

        Returns
        -------
        dict
            dim_x, dim_z, dt, square_root, angle_states, angle_measurements,
            nan_means_missing and every field (arrays are copies), as
            `from_dict` reads it.
        """
        state: Dict[str, Any] = {
            "dim_x": self._dim_x, "dim_z": self._dim_z, "dt": self._dt, "square_root": self._square_root,
            "angle_states": list(self._angle_states), "angle_measurements": list(self._angle_measurements),
            "nan_means_missing": self._nan_means_missing,
        }
        state.update(self._f.snapshot())
        return state

    @classmethod
    def from_dict(cls, state: Dict[str, Any], fx: Optional[Callable[..., Any]] = None,
                  hx: Optional[Callable[..., Any]] = None, fx_args: Optional[Iterable[Any]] = (),
                  hx_args: Optional[Iterable[Any]] = ()) -> "VexelCKF":
        """A new filter from a `to_dict()` result.

        Parameters
        ----------
        state : dict
            As written by `to_dict`; fields absent from it keep their initial
            values, absent settings their defaults (no angles, no
            nan_means_missing).
        fx, hx : callable, optional
            The callbacks of the new filter (a dict does not carry them).
        fx_args, hx_args : iterable, optional
            Extra positional arguments of fx and hx.

        Returns
        -------
        VexelCKF
            The restored filter.

        Raises
        ------
        ValueError
            When dim_x, dim_z or dt is missing, or a field value is refused.
        """
        try:
            dims = (state["dim_x"], state["dim_z"], state["dt"])
        except KeyError as exc:
            raise ValueError(f"from_dict() needs the key {exc.args[0]!r}, as written by to_dict()") from None
        kf = cls(*dims, fx=fx, hx=hx, square_root=bool(state.get("square_root", False)),
                 angle_states=state.get("angle_states"), angle_measurements=state.get("angle_measurements"),
                 fx_args=fx_args, hx_args=hx_args, nan_means_missing=bool(state.get("nan_means_missing", False)))
        kf._f.load_snapshot(state if isinstance(state, dict) else dict(state))
        return kf

    def __reduce__(self) -> Tuple[Any, ...]:
        return (_unpickle, (type(self), self.to_dict(), picklable(self._fx), picklable(self._hx),
                            self._fx_args, self._hx_args))

    # -- smoothing -----------------------------------------------------------

    def smooth(self, result: Any, Q: Optional[ArrayLike] = None, dt: Optional[ArrayLike] = None,
               fx_args: Optional[Iterable[Any]] = None, steps_per_call: int = 1) -> Any:
        """Smooth a `run()` result with the cubature RTS smoother.

        Uses the filter's ``fx``, and its ``Q``, ``dt`` and ``fx_args`` unless
        given; the square-root form when the filter is square-root, and the
        filter's angle states.

        Parameters
        ----------
        result : RunResult
            The output of `run` (its filtered ``xs`` and ``Ps`` are read).
        Q : array_like, optional
            One matrix or a per-step stack, when Q varied during the run.
        dt : float or array_like, optional
            One value or a per-step array, when dt varied during the run.
        fx_args : iterable, optional
            Extra positional arguments of ``fx``; defaults to `fx_args`.
        steps_per_call : int, optional
            Most steps whose points go to a row-wise ``fx`` in one call (see
            `cubature_smoother`); default 1, one call per step.

        Returns
        -------
        CubatureSmoothResult
            Smoothed means, covariances, gains and (square-root form) factors.

        Raises
        ------
        TypeError
            When ``result`` is not a run result.
        ValueError
            For shapes that do not match or non-finite values (see
            `cubature_smoother`).
        RuntimeError
            For a numerical failure, naming the step.
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
            xs, Ps, fx, self.Q if Q is None else Q, self._dt if dt is None else dt,
            self._fx_args if fx_args is None else fx_args,
            square_root=self._square_root, angle_states=getattr(self, "angle_states", None),
            steps_per_call=steps_per_call,
        )


# The field attributes, from the native tables: a field of either form is a
# class attribute, so that help(), dir() and tools see it.
for _name in dict.fromkeys(CKF_FIELDS + SRCKF_FIELDS):
    setattr(VexelCKF, _name, _Field(_name, _field_doc(_name)))
del _name


def _unpickle(cls: Type[VexelCKF], state: Dict[str, Any], fx: Any, hx: Any, fx_args: Sequence[Any] = (),
              hx_args: Sequence[Any] = ()) -> VexelCKF:
    # The defaults read pickles written before the filter kept fx_args and hx_args.
    return cls.from_dict(state, fx=fx, hx=hx, fx_args=fx_args, hx_args=hx_args)
