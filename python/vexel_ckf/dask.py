"""Panels on Dask: `batch_filter`, `batch_smoother` and `filter_bank_step` over dask arrays.

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
"""

from __future__ import annotations

import operator
from typing import Any, Optional, Tuple

import numpy as np

try:
    import dask
    import dask.array as da
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError('vexel_ckf.dask needs Dask: pip install "vexel_ckf[dask]"') from exc
from numpy.typing import ArrayLike

from . import _engine
from ._batch import BankStepResult, BatchResult, SmootherResult
from ._common import as_floats, per_step, square

__all__ = ["batch_filter", "batch_smoother", "filter_bank_step"]


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


def _part(parts: da.Array, item: int, chunks: Tuple[Tuple[int, ...], ...], **kw: Any) -> da.Array:
    return parts.map_blocks(operator.itemgetter(item), dtype=np.float64, chunks=chunks,
                            meta=np.empty((0,) * len(chunks)), **kw)


def _padded(result: Any, item: int) -> np.ndarray:
    """result[item] with trailing axes of length 1 up to 3 dimensions."""
    a = result[item]
    return a.reshape(a.shape + (1,) * (3 - a.ndim))


def _low_part(parts: da.Array, item: int, chunks: Tuple[Tuple[int, ...], ...]) -> da.Array:
    """An output of fewer dimensions than the chunk results' array: taken
    with its axes padded to three and sliced back (dropping axes of the
    object array would make Dask concatenate the result tuples)."""
    full = chunks + ((1,),) * (3 - len(chunks))
    padded = parts.map_blocks(_padded, item, dtype=np.float64, chunks=full, meta=np.empty((0, 0, 0)))
    return padded[(slice(None),) * len(chunks) + (0,) * (3 - len(chunks))]


def batch_filter(x0: Any, P0: Any, zs: Any, F: ArrayLike, H: ArrayLike, Q: ArrayLike, R: ArrayLike, *,
                 nan_means_missing: bool = False) -> BatchResult:
    """`vexel_ckf.batch_filter` of a panel zs (M, N, dim_z) given as a dask array, lazily.

    x0 is (dim_x,) or (M, dim_x), P0 (dim_x, dim_x) or (M, dim_x, dim_x),
    either NumPy or dask; F, H, Q, R as for `vexel_ckf.batch_filter`. Returns
    dask arrays (M, N, dim_x), (M, N, dim_x, dim_x), (M, N) chunked along M
    as zs is.
    """
    parts, _, steps, n, chunks = _panel_graph("filter", x0, P0, zs, F, H, Q, R, nan_means_missing, True)
    return BatchResult(_part(parts, 0, (chunks, (steps,), (n,))),
                       _part(parts, 1, (chunks, (steps,), (n,), (n,)), new_axis=[3]),
                       _low_part(parts, 2, (chunks, (steps,))))


def batch_smoother(x0: Any, P0: Any, zs: Any, F: ArrayLike, H: ArrayLike, Q: ArrayLike, R: ArrayLike,
                   nan_means_missing: bool = False, covariances: bool = True) -> SmootherResult:
    """`vexel_ckf.batch_smoother` of a panel zs (M, N, dim_z) given as a dask array, lazily.

    Returns dask arrays: smoothed means (M, N, dim_x), smoothed covariances
    (M, N, dim_x, dim_x) or None with covariances=False, and each sequence's
    log-likelihood total (M,).
    """
    parts, _, steps, n, chunks = _panel_graph("smoother", x0, P0, zs, F, H, Q, R, nan_means_missing, covariances)
    Ps = _part(parts, 1, (chunks, (steps,), (n,), (n,)), new_axis=[3]) if covariances else None
    return SmootherResult(_part(parts, 0, (chunks, (steps,), (n,))), Ps,
                          _low_part(parts, 2, (chunks,)))


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

    xs (M, dim_x) and zs (M, dim_z) (or (M,)) are dask arrays; Ps is
    (M, dim_x, dim_x) (dask) or one (dim_x, dim_x) covariance for all. Returns
    dask arrays (M, dim_x), (M, dim_x, dim_x), (M,), (M,) (status int64).
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
