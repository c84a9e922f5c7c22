"""Panels on Dask: the linear and the nonlinear panel functions and `filter_bank_step` over dask arrays.

`batch_filter` and `batch_smoother` run linear models, `cubature_filter` and
`cubature_panel_smoother` nonlinear ones (fx, hx) over panels of sequences.

Install with ``pip install "vexel_ckf[dask]"``. Each function takes the
sequences (or filters) as a dask array chunked along its first axis, any
chunking (chunks along the other axes are merged: a sequence is always whole
in one task), and returns dask arrays built lazily: one task per chunk makes
one native call for the whole chunk, which runs on the worker pool of the
process it lands in. The model matrices and shared initial values go into
the graph once, as one task the chunks depend on, so a distributed scheduler
ships them to each worker once rather than once per chunk.

Shapes, model matrices and flags are checked when the graph is built; the
data (NaN rows, non-finite initial states) is checked by the tasks, whose
messages name the sequence by its index in the whole dask array.

The nonlinear functions send their models (fx, hx and their extra
arguments) to the workers inside that shared task, so the models must
pickle: built-in models, compiled_fx/compiled_hx models and Python
functions (which Dask sends with cloudpickle) do; a compiled model made
from a function pointer (ctypes, a PyCapsule, a scipy.LowLevelCallable,
a numba cfunc) does not, and is refused when the graph is built.
"""

from __future__ import annotations

import operator
import warnings
from typing import Any, Optional, Tuple

import numpy as np

try:
    import dask
    import dask.array as da
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError('vexel_ckf.dask needs Dask: pip install "vexel_ckf[dask]"') from exc
from numpy.typing import ArrayLike

from . import _cubature_panel, _engine
from ._batch import BankStepResult, BatchResult, SmootherResult
from ._common import angle_indices, as_floats, extra_args, per_step, square
from ._cubature_panel import CubatureFilterResult, CubaturePanelSmootherResult
from ._models import CompiledModel, as_model

__all__ = ["batch_filter", "batch_smoother", "cubature_filter", "cubature_panel_smoother", "filter_bank_step"]


def _as_dask(name: str, a: Any) -> da.Array:
    if isinstance(a, da.Array):
        if a.dtype != np.float64:
            a = a.astype(np.float64)
        return a
    return da.from_array(as_floats(name, a))


def _whole_rows(a: da.Array, chunks: Tuple[int, ...]) -> da.Array:
    """a with the given chunks along axis 0 and one chunk along every other axis."""
    return a.rechunk((chunks,) + tuple(-1 for _ in range(a.ndim - 1)))


def _check_finite_stack(name: str, stack: np.ndarray) -> None:
    bad = ~np.isfinite(stack).reshape(stack.shape[0], -1).all(axis=1)
    if bad.any():
        raise ValueError(f"{name} contains non-finite values (NaN or inf) at step {int(np.argmax(bad))}")


def _check_shape(name: str, a: np.ndarray, want: Tuple[int, ...]) -> None:
    if a.shape != want:
        raise ValueError(f"{name} must have shape {want}; got {a.shape}")


def _initial(x0: Any, P0: Any, count: int, chunks: Tuple[int, ...], dim_x_hint: Optional[int] = None
             ) -> Tuple[Any, Any, int]:
    """x0 and P0: shared NumPy values, or dask arrays with one chunk per chunk of sequences."""
    x0 = x0 if isinstance(x0, da.Array) else as_floats("x0", x0)
    if x0.ndim == 0:
        x0 = x0.reshape(1)
    if x0.ndim not in (1, 2) or (x0.ndim == 2 and x0.shape[0] != count):
        raise ValueError(f"x0 must have shape (dim_x,) or (M, dim_x) with M = {count} sequences; got {x0.shape}")
    dim_x = x0.shape[-1]
    if dim_x == 0:
        raise ValueError("x0 must have at least one dimension")
    if not isinstance(P0, da.Array):
        P0 = square("P0", P0, dim_x)
    if P0.shape not in ((dim_x, dim_x), (count, dim_x, dim_x)):
        raise ValueError(f"P0 must have shape ({dim_x}, {dim_x}) or ({count}, {dim_x}, {dim_x}); got {P0.shape}")
    x0 = _whole_rows(_as_dask("x0", x0), chunks) if x0.ndim == 2 else np.asarray(x0)
    P0 = _whole_rows(_as_dask("P0", P0), chunks) if P0.ndim == 3 else np.asarray(P0)
    return x0, P0, dim_x


def _panel_graph(kind: str, x0: Any, P0: Any, zs: Any, F: ArrayLike, H: ArrayLike, Q: ArrayLike, R: ArrayLike,
                 nan_means_missing: bool, covariances: bool) -> Tuple[da.Array, int, int, int, Tuple[int, ...]]:
    """The lazy per-chunk results (one tuple per chunk of sequences) and the sizes."""
    zs = _as_dask("zs", zs)
    if zs.ndim != 3:
        raise ValueError(f"zs must be a dask array of shape (M, N, dim_z), got {zs.shape}")
    count, steps, dim_z = zs.shape
    if count == 0 or steps == 0:
        raise ValueError(f"zs must have a positive number of sequences and steps; got {zs.shape}")
    chunks = zs.chunks[0]
    zs = _whole_rows(zs, chunks)
    x0, P0, dim_x = _initial(x0, P0, count, chunks)
    model = (per_step("F", F, steps, dim_x, dim_x), per_step("H", H, steps, dim_z, dim_x),
             per_step("Q", Q, steps, dim_x, dim_x), per_step("R", R, steps, dim_z, dim_z))
    for name, stack, want in zip(("Fs", "Hs", "Qs", "Rs"), model,
                                 ((steps, dim_x, dim_x), (steps, dim_z, dim_x), (steps, dim_x, dim_x),
                                  (steps, dim_z, dim_z))):
        _check_shape(name, stack, want)
    for name, stack in zip("FHQR", model):
        _check_finite_stack(name, stack)
    if not isinstance(nan_means_missing, (bool, np.bool_)) or not isinstance(covariances, (bool, np.bool_)):
        raise TypeError("nan_means_missing and covariances must be True or False")
    # One task holds the model and the shared initial values; every chunk
    # depends on it. Broadcast stacks are made compact here, once.
    shared = dask.delayed(_pack_shared, pure=True)(
        tuple(np.ascontiguousarray(m[:1]) if m.strides[0] == 0 else m for m in model),
        None if isinstance(x0, da.Array) else x0, None if isinstance(P0, da.Array) else P0)
    args: list = [zs, "ijk", da.arange(count, chunks=(chunks,)), "i"]
    args += [x0, "ia"] if isinstance(x0, da.Array) else [None, None]
    args += [P0, "iab"] if isinstance(P0, da.Array) else [None, None]
    parts = da.blockwise(_run_chunk, "ijk", *args, dtype=object, meta=np.empty((0, 0, 0), dtype=object),
                         concatenate=True, shared=shared, kind=kind, steps=steps,
                         nan_means_missing=bool(nan_means_missing), covariances=bool(covariances))
    return parts, count, steps, dim_x, chunks


def _pack_shared(model: Tuple[np.ndarray, ...], x0: Optional[np.ndarray], P0: Optional[np.ndarray]) -> Any:
    return model, x0, P0


def _run_chunk(zs: np.ndarray, index: np.ndarray, x0: Optional[np.ndarray], P0: Optional[np.ndarray], *,
               shared: Any, kind: str, steps: int, nan_means_missing: bool, covariances: bool) -> Any:
    model, x0_shared, P0_shared = shared
    model = tuple(np.broadcast_to(m, (steps,) + m.shape[1:]) if m.shape[0] != steps else m for m in model)
    x0 = x0_shared if x0 is None else x0
    P0 = P0_shared if P0 is None else P0
    first = int(index[0])
    if kind == "filter":
        return _engine.panel_filter(x0, P0, zs, model, nan_means_missing, first)
    return _engine.panel_smoother(x0, P0, zs, model, nan_means_missing, covariances, first)


def _part(parts: da.Array, item: int, chunks: Tuple[Tuple[int, ...], ...], dtype: Any = np.float64,
          **kw: Any) -> da.Array:
    return parts.map_blocks(operator.itemgetter(item), dtype=dtype, chunks=chunks,
                            meta=np.empty((0,) * len(chunks), dtype), **kw)


def _padded(result: Any, item: int) -> np.ndarray:
    """result[item] with trailing axes of length 1 up to 3 dimensions."""
    a = result[item]
    return a.reshape(a.shape + (1,) * (3 - a.ndim))


def _low_part(parts: da.Array, item: int, chunks: Tuple[Tuple[int, ...], ...], dtype: Any = np.float64
              ) -> da.Array:
    """An output of fewer dimensions than the chunk results' array: taken
    with its axes padded to three and sliced back (dropping axes of the
    object array would make Dask concatenate the result tuples)."""
    full = chunks + ((1,),) * (3 - len(chunks))
    padded = parts.map_blocks(_padded, item, dtype=dtype, chunks=full, meta=np.empty((0, 0, 0), dtype))
    return padded[(slice(None),) * len(chunks) + (0,) * (3 - len(chunks))]


def batch_filter(x0: Any, P0: Any, zs: Any, F: ArrayLike, H: ArrayLike, Q: ArrayLike, R: ArrayLike, *,
                 nan_means_missing: bool = False) -> BatchResult:
    """`vexel_ckf.batch_filter` of a panel zs (M, N, dim_z) given as a dask array, lazily.

    Parameters
    ----------
    x0, P0 : array_like or dask.array.Array
        (dim_x,) or (M, dim_x), and (dim_x, dim_x) or (M, dim_x, dim_x),
        NumPy or dask.
    zs : dask.array.Array
        The panel (M, N, dim_z), chunked along M.
    F, H, Q, R : array_like
        As for `vexel_ckf.batch_filter`.
    nan_means_missing : bool, optional
        A row of all NaN is a missed measurement.

    Returns
    -------
    BatchResult
        Dask arrays (M, N, dim_x), (M, N, dim_x, dim_x), (M, N) chunked
        along M as zs is.

    Raises
    ------
    ValueError
        When the graph is built, for shapes that do not fit together or
        non-finite model matrices; when computed, for bad data (naming the
        sequence by its index in zs).
    """
    parts, _, steps, n, chunks = _panel_graph("filter", x0, P0, zs, F, H, Q, R, nan_means_missing, True)
    return BatchResult(_part(parts, 0, (chunks, (steps,), (n,))),
                       _part(parts, 1, (chunks, (steps,), (n,), (n,)), new_axis=[3]),
                       _low_part(parts, 2, (chunks, (steps,))))


def batch_smoother(x0: Any, P0: Any, zs: Any, F: ArrayLike, H: ArrayLike, Q: ArrayLike, R: ArrayLike,
                   nan_means_missing: bool = False, covariances: bool = True) -> SmootherResult:
    """`vexel_ckf.batch_smoother` of a panel zs (M, N, dim_z) given as a dask array, lazily.

    Parameters
    ----------
    x0, P0, zs, F, H, Q, R, nan_means_missing
        As for `batch_filter`.
    covariances : bool, optional
        False returns smoothed means only.

    Returns
    -------
    SmootherResult
        Dask arrays: smoothed means (M, N, dim_x), smoothed covariances
        (M, N, dim_x, dim_x) or None with covariances=False, and each
        sequence's log-likelihood total (M,).

    Raises
    ------
    ValueError
        As for `batch_filter`.
    """
    parts, _, steps, n, chunks = _panel_graph("smoother", x0, P0, zs, F, H, Q, R, nan_means_missing, covariances)
    Ps = _part(parts, 1, (chunks, (steps,), (n,), (n,)), new_axis=[3]) if covariances else None
    return SmootherResult(_part(parts, 0, (chunks, (steps,), (n,))), Ps,
                          _low_part(parts, 2, (chunks,)))


# -- nonlinear panels ------------------------------------------------------------

# The trailing shape and dtype of each output of the nonlinear panels, by
# field name; the sequences' axis comes first, as zs's chunks give it.
def _cubature_layout(steps: int, n: int) -> dict:
    return {"xs": ((steps,), (n,)), "xs_prior": ((steps,), (n,)), "Ps": ((steps,), (n,), (n,)),
            "Ps_prior": ((steps,), (n,), (n,)), "log_likelihoods": ((steps,),), "nis": ((steps,),),
            "log_likelihood": (), "status": ()}


def _rows(a: Any, chunks: Tuple[int, ...]) -> da.Array:
    """A per-sequence input, NumPy or dask, as a dask array cut like zs: zs's
    chunks along the sequences and one chunk along every other axis."""
    if isinstance(a, da.Array):
        return _whole_rows(a, chunks)
    return da.from_array(a, chunks=(chunks,) + a.shape[1:])


def _floats(name: str, a: Any) -> Any:
    """a as float64: a dask array stays lazy, anything else becomes NumPy."""
    if isinstance(a, da.Array):
        return a.astype(np.float64) if a.dtype != np.float64 else a
    return as_floats(name, a)


def _noise(name: str, value: Any, count: int, steps: int, dim: int) -> Tuple[Any, bool]:
    """Q or R and whether it is per sequence, with the in-memory panel's shape rules.

    A stack goes on as 4-D (sequences, steps, dim, dim), shared ones with a
    sequences' axis of 1: a chunk must not read a per-step stack as a
    per-sequence one because it happens to hold N sequences.
    """
    a = _floats(name, value)
    if a.ndim == 0:
        return a, False
    layout = _cubature_panel._noise_layout(name, a.shape, count, steps, dim)
    return a.reshape(layout), layout[0] == count and count > 1


def _steps(value: Any, count: int, steps: int) -> Tuple[Any, bool]:
    """dts and whether it is per sequence."""
    a = _floats("dts", value)
    _cubature_panel._steps_layout(a.shape, count, steps)
    return a, a.ndim == 2 and a.shape[0] == count and count > 1


def _travelling_model(obj: Any, kind: str, dim_in: int, dim_out: int) -> Any:
    """fx or hx as the tasks get it, refused here when it cannot reach a worker."""
    model = as_model(obj, kind, dim_in, dim_out)
    if not callable(model):
        raise TypeError(f"{kind} must be a model: a callable, a built-in or compiled model, got "
                        f"{type(obj).__name__}")
    if isinstance(model, CompiledModel):
        try:
            model.__reduce__()
        except TypeError as exc:
            raise TypeError(f"{kind} is a compiled model that cannot be pickled ({exc}); models travel to the "
                            f"Dask workers, so use a built-in model (vexel_ckf.models), compiled_fx/compiled_hx, "
                            f"or a Python function") from None
    return model


def _cubature_graph(kind: str, x0s: Any, P0: Any, zs: Any, fx: Any, hx: Any, Q: Any, R: Any, dts: Any,
                    fx_args: Any, hx_args: Any, angle_states: Any, angle_measurements: Any,
                    nan_means_missing: bool, square_root: bool, covariances: bool) -> Tuple[Any, ...]:
    """The lazy per-chunk results of `_cubature_panel._panel` and the sizes."""
    zs = _as_dask("zs", zs)
    if zs.ndim != 3:
        raise ValueError(f"zs must be a dask array of shape (M, N, dim_z), got {zs.shape}")
    if any(np.isnan(c) for c in zs.shape):
        raise ValueError(f"zs has chunks of unknown size (shape {zs.shape}); call zs.compute_chunk_sizes() first")
    count, steps, dim_z = zs.shape
    if count == 0 or steps == 0:
        raise ValueError(f"zs must have a positive number of sequences and steps; got {zs.shape}")
    chunks = zs.chunks[0]
    if len(zs.chunks[1]) > 1 or len(zs.chunks[2]) > 1:
        warnings.warn(f"zs is chunked along its steps or measurement entries (chunks of {zs.chunksize}); a "
                      f"sequence runs whole in one task, so those chunks are merged by a rechunk that copies zs. "
                      f"Chunk zs along its sequences only to avoid the copy.", da.core.PerformanceWarning,
                      stacklevel=3)
    zs = _whole_rows(zs, chunks)
    for name, flag in (("nan_means_missing", nan_means_missing), ("square_root", square_root),
                       ("covariances", covariances)):
        if not isinstance(flag, (bool, np.bool_)):
            raise TypeError(f"{name} must be True or False, got {type(flag).__name__}")

    x0s = _floats("x0s", x0s)
    if x0s.ndim not in (1, 2) or (x0s.ndim == 2 and x0s.shape[0] != count) or x0s.shape[-1] == 0:
        raise ValueError(f"x0s must have shape (dim_x,) or (M, dim_x) with M = {count}; got {x0s.shape}")
    n = x0s.shape[-1]
    P0 = _floats("P0", P0)
    if P0.shape not in ((), (n, n), (count, n, n)):
        raise ValueError(f"P0 must have shape ({n}, {n}) or (M, {n}, {n}) with M = {count}; got {P0.shape}")
    Q, Q_rows = _noise("Q", Q, count, steps, n)
    R, R_rows = _noise("R", R, count, steps, dim_z)
    dts, dts_rows = _steps(dts, count, steps)
    per_sequence = {"x0s": x0s.ndim == 2, "P0": P0.ndim == 3, "Q": Q_rows, "R": R_rows, "dts": dts_rows}
    values = {"x0s": x0s, "P0": P0, "Q": Q, "R": R, "dts": dts}

    # One task holds the models, the options and the shared values; every
    # chunk depends on it, so a worker receives them once.
    shared = {name: None if per_sequence[name] else v for name, v in values.items()}
    shared.update(
        fx=_travelling_model(fx, "fx", n, n), hx=_travelling_model(hx, "hx", n, dim_z),
        fx_args=extra_args("fx_args", fx_args), hx_args=extra_args("hx_args", hx_args),
        angle_states=None if angle_states is None else angle_indices("angle_states", angle_states, n),
        angle_measurements=(None if angle_measurements is None
                            else angle_indices("angle_measurements", angle_measurements, dim_z)),
        nan_means_missing=bool(nan_means_missing), square_root=bool(square_root), covariances=bool(covariances))
    args: list = [zs, "ijk", da.arange(count, chunks=(chunks,)), "i"]
    for name, axes in (("x0s", "ia"), ("P0", "ibc"), ("Q", "idef"), ("R", "ighl"), ("dts", "io")):
        args += [_rows(values[name], chunks), axes] if per_sequence[name] else [None, None]
    parts = da.blockwise(_run_cubature_chunk, "ijk", *args, dtype=object, meta=np.empty((0, 0, 0), dtype=object),
                         concatenate=True, shared=dask.delayed(dict, pure=True)(shared), kind=kind)
    return parts, steps, n, chunks


def _run_cubature_chunk(zs: np.ndarray, index: np.ndarray, x0s: Optional[np.ndarray], P0: Optional[np.ndarray],
                        Q: Optional[np.ndarray], R: Optional[np.ndarray], dts: Optional[np.ndarray], *,
                        shared: dict, kind: str) -> Any:
    s = shared
    return _cubature_panel._panel(
        kind, s["x0s"] if x0s is None else x0s, s["P0"] if P0 is None else P0, zs, s["fx"], s["hx"],
        s["Q"] if Q is None else Q, s["R"] if R is None else R, s["dts"] if dts is None else dts,
        s["fx_args"], s["hx_args"], s["angle_states"], s["angle_measurements"], s["nan_means_missing"],
        s["square_root"], s["covariances"], int(index[0]))


def _cubature_result(result_type: Any, parts: da.Array, steps: int, n: int, chunks: Tuple[int, ...],
                     covariances: bool) -> Any:
    layout = _cubature_layout(steps, n)
    fields: list = []
    for item, name in enumerate(result_type._fields):
        trailing = layout[name]
        dtype = np.int64 if name == "status" else np.float64
        if name == "Ps" and not covariances:
            fields.append(None)
        elif len(trailing) >= 2:
            extra = {"new_axis": [3]} if len(trailing) == 3 else {}
            fields.append(_part(parts, item, (chunks,) + trailing, dtype, **extra))
        else:
            fields.append(_low_part(parts, item, (chunks,) + trailing, dtype))
    return result_type(*fields)


def cubature_filter(x0s: Any, P0: Any, zs: Any, fx: Any, hx: Any, Q: Any, R: Any, *, dts: Any = 1.0,
                    fx_args: Any = (), hx_args: Any = (), angle_states: Any = None, angle_measurements: Any = None,
                    nan_means_missing: bool = False, square_root: bool = False) -> CubatureFilterResult:
    """`vexel_ckf.cubature_filter` of a panel zs (M, N, dim_z) given as a dask array, lazily.

    Parameters
    ----------
    x0s, P0 : array_like or dask.array.Array
        As for `vexel_ckf.cubature_filter`; see Q, R, dts for per-sequence
        values.
    zs : dask.array.Array
        The panel (M, N, dim_z), best chunked along M only: chunks along the
        other axes are merged by a copy (with a PerformanceWarning).
    fx, hx : callable or CompiledModel
        The models; with fx_args and hx_args they travel to the workers
        once, so they must pickle.
    Q, R, dts : array_like or dask.array.Array
        As for `vexel_ckf.cubature_filter`. Per-sequence inputs (x0s
        (M, dim_x), P0 (M, dim_x, dim_x), Q or R per sequence, dts (M, N) or
        (M, 1)) are cut like zs; shared ones go into the graph once.
    fx_args, hx_args, angle_states, angle_measurements, nan_means_missing, square_root
        As for `vexel_ckf.cubature_filter`.

    Returns
    -------
    CubatureFilterResult
        Dask arrays chunked along M as zs is; status (M,) int64.

    Raises
    ------
    TypeError
        When the graph is built, for a compiled model that cannot be pickled
        (made from a function pointer) or a flag that is not a bool.
    ValueError
        When the graph is built, for shapes that do not fit together; when
        computed, for bad data (naming the sequence by its index in zs).
    """
    parts, steps, n, chunks = _cubature_graph("filter", x0s, P0, zs, fx, hx, Q, R, dts, fx_args, hx_args,
                                              angle_states, angle_measurements, nan_means_missing, square_root,
                                              True)
    return _cubature_result(CubatureFilterResult, parts, steps, n, chunks, True)


def cubature_panel_smoother(x0s: Any, P0: Any, zs: Any, fx: Any, hx: Any, Q: Any, R: Any, *, dts: Any = 1.0,
                            fx_args: Any = (), hx_args: Any = (), angle_states: Any = None,
                            angle_measurements: Any = None, nan_means_missing: bool = False,
                            square_root: bool = False, covariances: bool = True) -> CubaturePanelSmootherResult:
    """`vexel_ckf.cubature_panel_smoother` of a panel zs (M, N, dim_z) given as a dask array, lazily.

    Parameters
    ----------
    x0s, P0, zs, fx, hx, Q, R, dts, fx_args, hx_args, angle_states, angle_measurements, nan_means_missing, square_root
        As for `cubature_filter`.
    covariances : bool, optional
        False returns smoothed means only (Ps is None).

    Returns
    -------
    CubaturePanelSmootherResult
        Dask arrays: smoothed means (M, N, dim_x), covariances
        (M, N, dim_x, dim_x) or None, log_likelihood (M,) and status (M,)
        int64, chunked along M as zs is.

    Raises
    ------
    TypeError, ValueError
        As for `cubature_filter`.
    """
    parts, steps, n, chunks = _cubature_graph("smoother", x0s, P0, zs, fx, hx, Q, R, dts, fx_args, hx_args,
                                              angle_states, angle_measurements, nan_means_missing, square_root,
                                              covariances)
    return _cubature_result(CubaturePanelSmootherResult, parts, steps, n, chunks, bool(covariances))


def _run_bank_chunk(xs: np.ndarray, zs: np.ndarray, Ps: Optional[np.ndarray], *, shared: Any,
                    nan_means_missing: bool) -> Any:
    (F, H, Q, R), P_shared = shared
    if Ps is None:
        Ps = np.broadcast_to(P_shared, (xs.shape[0],) + P_shared.shape)
    step = _engine.bank_step_gaps if nan_means_missing else _native_step()
    return step(xs, Ps, zs, F, H, Q, R)


def _native_step() -> Any:
    from . import _native

    return _native.batch_parallel_step


def filter_bank_step(xs: Any, Ps: Any, zs: Any, F: ArrayLike, H: ArrayLike, Q: ArrayLike, R: ArrayLike,
                     nan_means_missing: bool = False) -> BankStepResult:
    """`vexel_ckf.filter_bank_step` of M filters given as dask arrays, lazily.

    Parameters
    ----------
    xs : dask.array.Array
        States (M, dim_x).
    Ps : dask.array.Array or array_like
        (M, dim_x, dim_x), or one (dim_x, dim_x) covariance for all.
    zs : dask.array.Array
        Measurements (M, dim_z) (or (M,)).
    F, H, Q, R : array_like
        One matrix each, shared by every filter.
    nan_means_missing : bool, optional
        A row of all NaN is a missed measurement (status 4).

    Returns
    -------
    BankStepResult
        Dask arrays (M, dim_x), (M, dim_x, dim_x), (M,), (M,) (status int64).

    Raises
    ------
    ValueError
        When the graph is built, for shapes that do not fit together or
        non-finite model matrices.
    """
    xs = _as_dask("xs", xs)
    zs = _as_dask("zs", zs)
    if zs.ndim == 1:
        zs = zs[:, None]
    if xs.ndim != 2 or zs.ndim != 2 or zs.shape[0] != xs.shape[0]:
        raise ValueError(f"xs must be (M, dim_x) and zs (M, dim_z) with the same M; got {xs.shape} and {zs.shape}")
    count, dim_x = xs.shape
    dim_z = zs.shape[1]
    if count == 0 or dim_x == 0 or dim_z == 0:
        raise ValueError(f"xs and zs must be non-empty; got {xs.shape} and {zs.shape}")
    chunks = xs.chunks[0]
    xs = _whole_rows(xs, chunks)
    zs = _whole_rows(zs, chunks)
    if not isinstance(Ps, da.Array):
        Ps = as_floats("Ps", Ps)
    if Ps.shape not in ((dim_x, dim_x), (count, dim_x, dim_x)):
        raise ValueError(f"Ps must have shape ({dim_x}, {dim_x}) or ({count}, {dim_x}, {dim_x}); got {Ps.shape}")
    model = []
    for name, a, shape in (("F", F, (dim_x, dim_x)), ("H", H, (dim_z, dim_x)), ("Q", Q, (dim_x, dim_x)),
                           ("R", R, (dim_z, dim_z))):
        m = as_floats(name, a)
        m = m * np.eye(shape[0]) if m.ndim == 0 and name in "QR" else m
        _check_shape(name, m, shape)
        if not np.isfinite(m).all():
            raise ValueError(f"{name} contains non-finite values (NaN or inf); it is shared by every filter in the bank")
        model.append(np.ascontiguousarray(m))
    stacked = Ps.ndim == 3
    shared = dask.delayed(_pack_bank, pure=True)(tuple(model), None if stacked else np.asarray(Ps))
    args: list = [xs, "ia", zs, "ib"]
    args += [_whole_rows(_as_dask("Ps", Ps), chunks), "iac"] if stacked else [None, None]
    parts = da.blockwise(_run_bank_chunk, "i", *args, dtype=object, meta=np.empty((0,), dtype=object),
                         concatenate=True, shared=shared, nan_means_missing=bool(nan_means_missing))
    return BankStepResult(
        parts.map_blocks(operator.itemgetter(0), dtype=np.float64, chunks=(chunks, (dim_x,)), new_axis=[1],
                         meta=np.empty((0, 0))),
        parts.map_blocks(operator.itemgetter(1), dtype=np.float64, chunks=(chunks, (dim_x,), (dim_x,)),
                         new_axis=[1, 2], meta=np.empty((0, 0, 0))),
        parts.map_blocks(operator.itemgetter(2), dtype=np.float64, chunks=(chunks,), meta=np.empty((0,))),
        parts.map_blocks(operator.itemgetter(3), dtype=np.int64, chunks=(chunks,), meta=np.empty((0,), np.int64)),
    )


def _pack_bank(model: Tuple[np.ndarray, ...], P_shared: Optional[np.ndarray]) -> Any:
    return model, P_shared
