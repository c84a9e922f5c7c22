"""`CKFBank`: many covariance-form cubature filters stepped together.

The native `CkfBank` of `_engine` owns the whole bank. Each `predict` and
`update` calls fx or hx once with every filter's cubature points stacked
(filter i in rows 2n*i to 2n*(i+1)-1), so the row-wise callbacks written for
`VexelCKF` serve a bank unchanged; everything else runs natively on the worker
pool. A fault in one filter never fails the bank: it shows in `status`.
"""

from __future__ import annotations

import operator
from typing import Any, Callable, Dict, Iterable, NamedTuple, Optional, Sequence, Tuple, Type

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _engine
from ._common import FloatArray, angle_indices, as_floats, extra_args, picklable
from ._models import as_model, model_angles
from ._engine import CkfBank as _NativeBank

__all__ = ["CKFBank", "BankRunResult", "STATUS_CODES"]

STATUS_CODES: Dict[int, str] = dict(enumerate(_engine.status_texts))
"""Meaning of each value of `CKFBank.status`."""

# Fields of a snapshot, in order: the engine's settable fields.
_STATE_FIELDS = tuple(name for name, _kind, _shape, settable in _engine.bank_field_table() if settable)


class BankRunResult(NamedTuple):
    """Per-step outputs of `CKFBank.run`, entry [k, i] belonging to step k and filter i."""

    xs: FloatArray
    """Posterior means, shape (N, M, dim_x)."""
    Ps: FloatArray
    """Posterior covariances, shape (N, M, dim_x, dim_x)."""
    xs_prior: FloatArray
    """Predicted means, shape (N, M, dim_x)."""
    Ps_prior: FloatArray
    """Predicted covariances, shape (N, M, dim_x, dim_x)."""
    log_likelihoods: FloatArray
    """Log-likelihood of each measurement, shape (N, M); NaN unless status is 0 or 1."""
    nis: FloatArray
    """Normalised innovation squared, shape (N, M); NaN unless status is 0 or 1."""
    status: NDArray[np.int64]
    """Status code of each filter's update, shape (N, M) (see `STATUS_CODES`)."""


class CKFBank:
    """A bank of M cubature Kalman filters (covariance form) with shared callbacks.

    Every filter has its own mean and covariance (``xs`` (M, n), ``Ps``
    (M, n, n)); ``Q`` and ``R`` are one matrix for all filters or one per
    filter ((M, n, n), (M, m, m)). Each filter computes exactly what a
    covariance-form `VexelCKF` with the same settings computes. Reads of the
    array attributes return read-only copies (change the bank by assigning,
    ``bank.xs = new_xs``); assignments are validated (shape and finiteness).
    After `update`, ``status`` tells per filter what happened
    (`STATUS_CODES`).

    Parameters
    ----------
    M : int
        Number of filters (zero means, identity covariances and noises).
    dim_x, dim_z : int
        State and measurement dimension of every filter.
    dt : float
        Default time step, passed to fx when a prediction gets none (finite).
    fx : callable, optional
        ``fx(X, dt, *fx_args)``: X holds all M*2n cubature points, one per
        row, filter i's in rows 2n*i to 2n*(i+1)-1; it returns their images
        as a float64 array of the same shape. The row-wise fx of a
        `VexelCKF` serves unchanged.
    hx : callable, optional
        ``hx(X, *hx_args)``, the same for the measurement function; it
        returns a float64 array of shape (M*2n, dim_z).

        Either may also be a compiled model (see `VexelCKF`): it is called
        once per filter with that filter's 2n points, on the worker pool
        with the interpreter lock released; a nonzero return fails that
        filter alone (status 3).
    fx_args, hx_args : iterable, optional
        Extra positional arguments of fx and hx, used by every call that
        gives none of its own (`predict`, `update`, `run`).
    angle_states, angle_measurements : sequence of int or boolean mask, optional
        The entries of x and of z that are angles in radians: distinct
        indices (negative ones count from the end) or a boolean mask of
        length dim_x (dim_z). Measurement images are unwrapped to within pi
        of each filter's measurement before the moments, angle states are
        unwrapped around their circular mean after fx and wrapped to
        (-pi, pi] after each prediction and update, as `VexelCKF` does with
        the same options.

    Raises
    ------
    ValueError
        For a zero dimension, a non-finite dt, angle indices out of range or
        naming an entry twice, or an angle mask of the wrong length.
    TypeError
        For arguments of the wrong kind, angle indices that are not integers
        among them.
    """

    __slots__ = ("_b", "_fx", "_hx", "_fx_args", "_hx_args", "_dt", "_dim_x", "_dim_z", "_angle_states",
                 "_angle_measurements")

    def __init__(
        self,
        M: int,
        dim_x: int,
        dim_z: int,
        dt: float,
        fx: Optional[Callable[..., Any]] = None,
        hx: Optional[Callable[..., Any]] = None,
        fx_args: Optional[Iterable[Any]] = (),
        hx_args: Optional[Iterable[Any]] = (),
        *,
        angle_states: Optional[Iterable[int]] = None,
        angle_measurements: Optional[Iterable[int]] = None,
    ) -> None:
        native = _NativeBank(M, dim_x, dim_z, dt)
        dim_x, dim_z = operator.index(dim_x), operator.index(dim_z)
        fx = as_model(fx, "fx", dim_x, dim_x)
        hx = as_model(hx, "hx", dim_x, dim_z)
        # Compiled models say which of their outputs are angles.
        if angle_states is None:
            angle_states = model_angles(fx)
        if angle_measurements is None:
            angle_measurements = model_angles(hx)
        states = angle_indices("angle_states", angle_states, dim_x)
        measurements = angle_indices("angle_measurements", angle_measurements, dim_z)
        native.set_angles(list(states), list(measurements))
        self._adopt(native, dim_x, dim_z, float(dt), fx, hx, extra_args("fx_args", fx_args),
                    extra_args("hx_args", hx_args), states, measurements)

    def _adopt(self, native: Any, dim_x: int, dim_z: int, dt: float, fx: Any, hx: Any, fx_args: Tuple[Any, ...],
               hx_args: Tuple[Any, ...], states: Tuple[int, ...], measurements: Tuple[int, ...]) -> None:
        self._b = native
        self._dim_x = dim_x
        self._dim_z = dim_z
        self._dt = dt
        self._fx = fx
        self._hx = hx
        self._fx_args = fx_args
        self._hx_args = hx_args
        self._angle_states = states
        self._angle_measurements = measurements

    # -- dimensions and settings ---------------------------------------------

    @property
    def M(self) -> int:
        """Number of filters."""
        return len(self)

    def __len__(self) -> int:
        return int(self._b.get("count"))

    @property
    def dim_x(self) -> int:
        """State dimension of every filter."""
        return self._dim_x

    @property
    def dim_z(self) -> int:
        """Measurement dimension of every filter."""
        return self._dim_z

    @property
    def dt(self) -> float:
        """Default time step, passed to fx when `predict` gets no dt."""
        return self._dt

    @dt.setter
    def dt(self, value: float) -> None:
        self._b.set_dt(value)
        self._dt = float(value)

    @property
    def fx(self) -> Optional[Callable[..., Any]]:
        """Transition function ``fx(X, dt, *fx_args)`` over all filters' points."""
        return self._fx

    @fx.setter
    def fx(self, value: Optional[Callable[..., Any]]) -> None:
        self._fx = as_model(value, "fx", self._dim_x, self._dim_x)

    @property
    def hx(self) -> Optional[Callable[..., Any]]:
        """Measurement function ``hx(X, *hx_args)`` over all filters' points."""
        return self._hx

    @hx.setter
    def hx(self, value: Optional[Callable[..., Any]]) -> None:
        self._hx = as_model(value, "hx", self._dim_x, self._dim_z)

    @property
    def fx_args(self) -> Tuple[Any, ...]:
        """Extra positional arguments of fx, used when a call gives none."""
        return self._fx_args

    @fx_args.setter
    def fx_args(self, value: Optional[Iterable[Any]]) -> None:
        self._fx_args = extra_args("fx_args", value)

    @property
    def hx_args(self) -> Tuple[Any, ...]:
        """Extra positional arguments of hx, used when a call gives none."""
        return self._hx_args

    @hx_args.setter
    def hx_args(self, value: Optional[Iterable[Any]]) -> None:
        self._hx_args = extra_args("hx_args", value)

    @property
    def angle_states(self) -> Tuple[int, ...]:
        """Indices (0..dim_x-1) of the state entries handled as angles."""
        return self._angle_states

    @property
    def angle_measurements(self) -> Tuple[int, ...]:
        """Indices (0..dim_z-1) of the measurement entries handled as angles."""
        return self._angle_measurements

    def __repr__(self) -> str:
        return f"{type(self).__name__}(M={len(self)}, dim_x={self._dim_x}, dim_z={self._dim_z}, dt={self._dt!r})"

    # -- state ---------------------------------------------------------------

    def _read(self, name: str) -> Any:
        # A fresh copy, read-only so that an in-place edit (bank.xs[0] = ...)
        # fails loudly instead of being lost; assign the attribute instead.
        value = self._b.get(name)
        value.flags.writeable = False
        return value

    # Conversions only: the engine checks every shape and value and names
    # the argument; one matrix (or a scalar, that multiple of the identity)
    # for every filter is broadcast here.

    @staticmethod
    def _covariances(name: str, value: ArrayLike, k: int, count: int) -> FloatArray:
        """(k, k) or a scalar for every filter, or (count, k, k) one each."""
        a = as_floats(name, value)
        if a.ndim == 0:
            a = a * np.eye(k)
        if a.shape == (k, k):
            return np.ascontiguousarray(np.broadcast_to(a, (count, k, k)))
        return a

    @staticmethod
    def _noise(name: str, value: ArrayLike, k: int) -> FloatArray:
        a = as_floats(name, value)
        return a * np.eye(k) if a.ndim == 0 else a

    @property
    def xs(self) -> FloatArray:
        """Current means, shape (M, dim_x)."""
        return self._read("xs")

    @xs.setter
    def xs(self, value: ArrayLike) -> None:
        self._b.set("xs", as_floats("xs", value))

    @property
    def Ps(self) -> FloatArray:
        """Current covariances, shape (M, dim_x, dim_x); assign (dim_x, dim_x) for all or one each."""
        return self._read("Ps")

    @Ps.setter
    def Ps(self, value: ArrayLike) -> None:
        self._b.set("Ps", self._covariances("Ps", value, self._dim_x, len(self)))

    @property
    def xs_prior(self) -> FloatArray:
        """Means after the last prediction, shape (M, dim_x)."""
        return self._read("xs_prior")

    @xs_prior.setter
    def xs_prior(self, value: ArrayLike) -> None:
        self._b.set("xs_prior", as_floats("xs_prior", value))

    @property
    def Ps_prior(self) -> FloatArray:
        """Covariances after the last prediction, shape (M, dim_x, dim_x)."""
        return self._read("Ps_prior")

    @Ps_prior.setter
    def Ps_prior(self, value: ArrayLike) -> None:
        self._b.set("Ps_prior", self._covariances("Ps_prior", value, self._dim_x, len(self)))

    @property
    def Q(self) -> FloatArray:
        """Process noise: (dim_x, dim_x) shared by all filters, or (M, dim_x, dim_x) one each."""
        return self._read("Q")

    @Q.setter
    def Q(self, value: ArrayLike) -> None:
        self._b.set("Q", self._noise("Q", value, self._dim_x))

    @property
    def R(self) -> FloatArray:
        """Measurement noise: (dim_z, dim_z) shared by all filters, or (M, dim_z, dim_z) one each."""
        return self._read("R")

    @R.setter
    def R(self, value: ArrayLike) -> None:
        self._b.set("R", self._noise("R", value, self._dim_z))

    @property
    def status(self) -> NDArray[np.int64]:
        """Status code of each filter's last update, shape (M,) (see `STATUS_CODES`)."""
        return self._read("status")

    @property
    def log_likelihoods(self) -> FloatArray:
        """Log-likelihood of each filter's last measurement, shape (M,); NaN unless status is 0 or 1."""
        return self._read("log_likelihoods")

    @property
    def nis(self) -> FloatArray:
        """Normalised innovation squared of each filter's last measurement, shape (M,); NaN unless status is 0 or 1."""
        return self._read("nis")

    @property
    def jitter_counts(self) -> NDArray[np.uint64]:
        """Per filter, how many of its factorisations needed diagonal jitter, shape (M,)."""
        return self._read("jitter_counts")

    # -- filtering -----------------------------------------------------------

    def _callback(self, fn: Any, name: str, where: str) -> Any:
        if fn is None:
            raise TypeError(
                f"{where}() needs {name}: pass {name}=... to CKFBank(...) or assign bank.{name} (a callback "
                f"that could not be pickled is dropped when the bank is pickled)"
            )
        return fn

    def predict(self, dt: Optional[float] = None, fx_args: Optional[Iterable[Any]] = None) -> None:
        """Predict every filter through one call of fx over all M*2n points.

        A filter whose covariance cannot be factored, whose images are not
        finite or whose new state overflows keeps its state; its next update
        reports status 2 or 3. The other filters are predicted normally.

        Parameters
        ----------
        dt : float, optional
            Time step of this prediction (not stored); defaults to `dt`.
            Zero and negative steps are passed on as they are.
        fx_args : iterable, optional
            Extra positional arguments of fx for this prediction; defaults to
            `fx_args` (``()`` passes none).

        Raises
        ------
        TypeError
            Without fx, or when fx returns something other than a 2-D float64
            array.
        ValueError
            For a non-finite dt or when fx returns the wrong shape. Any
            exception fx raises passes through; in every case no filter
            changes.
        """
        fx = self._callback(self._fx, "fx", "predict")
        self._b.predict(fx, dt, self._fx_args if fx_args is None else extra_args("fx_args", fx_args))

    def _measurements(self, name: str, zs: ArrayLike) -> FloatArray:
        z = as_floats(name, zs)
        return z.reshape(-1, 1) if z.ndim == 1 and self._dim_z == 1 else z

    def update(self, zs: ArrayLike, missing: Optional[ArrayLike] = None,
               hx_args: Optional[Iterable[Any]] = None) -> None:
        """Update every filter with its measurement through one call of hx.

        A row of all NaN, or a filter flagged in ``missing``, is no
        measurement for that filter (status 4); a partly non-finite row, or
        non-finite images in its rows, is bad data (status 3). Either way
        that filter's prediction stands; the others update normally.
        `status`, `log_likelihoods` and `nis` describe the outcome.

        Parameters
        ----------
        zs : array_like
            Measurements, shape (M, dim_z) (or (M,) when dim_z is 1).
        missing : array_like of bool, optional
            Boolean mask of shape (M,): True for the filters without a
            measurement this step, whatever their rows of zs hold (those rows
            are not read). The same as filling their rows with NaN.
        hx_args : iterable, optional
            Extra positional arguments of hx for this update; defaults to
            `hx_args` (``()`` passes none).

        Raises
        ------
        TypeError
            Without hx, when hx returns something other than a 2-D float64
            array, or for a ``missing`` that is not boolean.
        ValueError
            For zs or ``missing`` of the wrong shape, or when hx returns the
            wrong shape. Any exception hx raises passes through; in every
            case no filter changes.
        """
        hx = self._callback(self._hx, "hx", "update")
        z = self._measurements("zs", zs)
        if missing is not None:
            flags = self._missing_mask(missing)
            # The engine knows a missed measurement as a row of all NaN; the
            # caller's array is left alone. A zs of the wrong shape goes to the
            # engine as it is, which names it.
            if flags.any() and z.shape == (len(self), self._dim_z):
                z = z.copy()
                z[flags] = np.nan
        self._b.update(z, hx, self._hx_args if hx_args is None else extra_args("hx_args", hx_args))

    def _missing_mask(self, missing: ArrayLike) -> NDArray[np.bool_]:
        flags = np.asarray(missing)
        if flags.size == 0:
            flags = flags.astype(np.bool_)  # [] for a bank without filters, as keep([]) takes it
        if flags.dtype != np.bool_:
            raise TypeError(f"missing must be a boolean mask of the filters without a measurement, got dtype "
                            f"{flags.dtype}")
        if flags.shape != (len(self),):
            raise ValueError(f"missing must have shape ({len(self)},), got {flags.shape}")
        return flags

    def run(self, zs_seq: ArrayLike) -> BankRunResult:
        """Filter a whole sequence: for each zs of zs_seq, `predict()` then `update(zs)`.

        Parameters
        ----------
        zs_seq : array_like
            Measurements, shape (N, M, dim_z) (or (N, M) when dim_z is 1).

        Returns
        -------
        BankRunResult
            Posterior and prior means and covariances, log-likelihoods, NIS
            and status of every step and filter, each with leading axes
            (N, M).

        Raises
        ------
        TypeError
            Without fx or hx.
        ValueError
            For zs_seq of the wrong shape; errors of `predict` and `update`
            pass through, the bank holding the state reached before the
            failing call.
        """
        self._callback(self._fx, "fx", "run")
        self._callback(self._hx, "hx", "run")
        seq = as_floats("zs_seq", zs_seq)
        M, n, m = len(self), self._dim_x, self._dim_z
        if seq.ndim == 2 and m == 1:
            seq = seq[:, :, None]
        if seq.ndim != 3 or seq.shape[1:] != (M, m):
            raise ValueError(f"zs_seq must have shape (N, {M}, {m}), got {seq.shape}")
        steps = seq.shape[0]
        out = BankRunResult(
            np.empty((steps, M, n)), np.empty((steps, M, n, n)), np.empty((steps, M, n)),
            np.empty((steps, M, n, n)), np.empty((steps, M)), np.empty((steps, M)),
            np.empty((steps, M), dtype=np.int64),
        )
        get = self._b.get
        for k in range(steps):
            self.predict()
            self._b.update(seq[k], self._hx, self._hx_args)
            out.xs[k] = get("xs")
            out.Ps[k] = get("Ps")
            out.xs_prior[k] = get("xs_prior")
            out.Ps_prior[k] = get("Ps_prior")
            out.log_likelihoods[k] = get("log_likelihoods")
            out.nis[k] = get("nis")
            out.status[k] = get("status")
        return out

    # -- tracks ending and starting ------------------------------------------

    def keep(self, mask_or_indices: ArrayLike) -> None:
        """Keep only some filters (tracks that end are dropped between steps).

        Parameters
        ----------
        mask_or_indices : array_like
            A boolean mask of length M, or distinct integer indices (negative
            ones count from the end); the filters kept come in that order.

        Raises
        ------
        TypeError
            For a selection that is neither boolean nor integer.
        ValueError
            For a mask of the wrong length, or indices out of range or
            repeated.
        """
        sel = np.asarray(mask_or_indices)
        M = len(self)
        if sel.dtype == np.bool_:
            if sel.shape != (M,):
                raise ValueError(f"mask_or_indices as a mask must have shape ({M},), got {sel.shape}")
            idx = np.flatnonzero(sel)
        elif sel.dtype.kind in "iu" or sel.size == 0:
            if sel.ndim != 1:
                raise ValueError(f"mask_or_indices as indices must be 1-D, got shape {sel.shape}")
            # Bounds are checked on the values given: a cast first would wrap
            # unsigned values of 2**63 and more to negative indices.
            bad = (sel >= M) if sel.dtype.kind == "u" else (sel < -M) | (sel >= M)
            if bad.any():
                raise ValueError(f"mask_or_indices must lie in [{-M}, {M}), got {sel[np.argmax(bad)].item()}")
            idx = sel.astype(np.int64) % max(M, 1)
        else:
            raise TypeError(f"mask_or_indices must be a boolean mask or integer indices, got dtype {sel.dtype}")
        self._b.keep(idx.tolist())

    def add(self, new_xs: ArrayLike, new_Ps: ArrayLike, Q: Optional[ArrayLike] = None,
            R: Optional[ArrayLike] = None) -> None:
        """Append filters (tracks that start); they report status 4 until their first update.

        Parameters
        ----------
        new_xs : array_like
            Means, shape (k, dim_x) (or (dim_x,) for one filter).
        new_Ps : array_like
            Covariances, (dim_x, dim_x) for all new filters or (k, dim_x,
            dim_x).
        Q, R : array_like, optional
            Noises of the new filters, (k, dim_x, dim_x) and (k, dim_z,
            dim_z), required exactly where the bank's Q or R is per filter
            (otherwise the new filters share the bank's).

        Raises
        ------
        ValueError
            For wrong shapes, non-finite values, or a Q or R missing or given
            against the bank's form.
        """
        xs = as_floats("new_xs", new_xs)
        if xs.ndim == 1:
            xs = xs[None, :]
        k = xs.shape[0] if xs.ndim == 2 else 0
        Ps = self._covariances("new_Ps", new_Ps, self._dim_x, k)
        q = None if Q is None else self._covariances("Q", Q, self._dim_x, k)
        r = None if R is None else self._covariances("R", R, self._dim_z, k)
        self._b.add(xs, Ps, q, r)

    # -- whole-state transfer ------------------------------------------------

    def copy(self) -> "CKFBank":
        """Independent copy of the bank.

        Returns
        -------
        CKFBank
            A bank with every filter's state, the settings and the callbacks.
        """
        new = object.__new__(type(self))
        new._adopt(self._b.copy(), self._dim_x, self._dim_z, self._dt, self._fx, self._hx, self._fx_args,
                   self._hx_args, self._angle_states, self._angle_measurements)
        return new

    __copy__ = copy

    def __deepcopy__(self, memo: Dict[int, Any]) -> "CKFBank":
        return self.copy()

    def to_dict(self) -> Dict[str, Any]:
        """The whole bank as a dict.

        Returns
        -------
        dict
            M, dim_x, dim_z, dt, the angle indices and every field (arrays
            with the leading M axis), as `from_dict` reads it.
        """
        state: Dict[str, Any] = {
            "M": len(self), "dim_x": self._dim_x, "dim_z": self._dim_z, "dt": self._dt,
            "angle_states": list(self._angle_states), "angle_measurements": list(self._angle_measurements),
        }
        for name in _STATE_FIELDS:
            state[name] = self._b.get(name)
        return state

    @classmethod
    def from_dict(cls, state: Dict[str, Any], fx: Optional[Callable[..., Any]] = None,
                  hx: Optional[Callable[..., Any]] = None, fx_args: Optional[Iterable[Any]] = (),
                  hx_args: Optional[Iterable[Any]] = ()) -> "CKFBank":
        """A new bank from a `to_dict()` result.

        Parameters
        ----------
        state : dict
            As written by `to_dict`; fields absent from it keep their initial
            values, absent angle options mean none.
        fx, hx : callable, optional
            The callbacks of the new bank (a dict does not carry them).
        fx_args, hx_args : iterable, optional
            Extra positional arguments of fx and hx.

        Returns
        -------
        CKFBank
            The restored bank.

        Raises
        ------
        ValueError
            When M, dim_x, dim_z or dt is missing, or a field is invalid.
        """
        try:
            dims = (state["M"], state["dim_x"], state["dim_z"], state["dt"])
        except KeyError as exc:
            raise ValueError(f"from_dict() needs the key {exc.args[0]!r}, as written by to_dict()") from None
        bank = cls(*dims, fx=fx, hx=hx, fx_args=fx_args, hx_args=hx_args,
                   angle_states=state.get("angle_states"), angle_measurements=state.get("angle_measurements"))
        for name in _STATE_FIELDS:
            if name in state:
                value = as_floats(name, state[name])
                bank._b.set(name, value)
        return bank

    def __reduce__(self) -> Tuple[Any, ...]:
        return (_unpickle, (type(self), self.to_dict(), picklable(self._fx), picklable(self._hx),
                            self._fx_args, self._hx_args))


def _unpickle(cls: Type[CKFBank], state: Dict[str, Any], fx: Any, hx: Any, fx_args: Sequence[Any],
              hx_args: Sequence[Any]) -> CKFBank:
    return cls.from_dict(state, fx=fx, hx=hx, fx_args=fx_args, hx_args=hx_args)
