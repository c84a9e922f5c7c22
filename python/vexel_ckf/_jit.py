"""`compiled_fx` and `compiled_hx`: row-wise Python models compiled by numba.

The user writes a model for one point at a time (``f(x, dt, out)`` or
``f(x, out)``, with an optional ``params`` argument last); numba compiles it
in nopython mode, and a numba `cfunc` with the engine's model signature loops
over the cubature points and calls it on views of each row. The result is an
`_engine.CompiledModel`, which the engine calls without the interpreter, from
several worker threads at once.

numba is imported only when a decorator is used, so ``import vexel_ckf``
never pays for it and works without it.

The wrapper catches everything the row function can do wrong at run time
and turns it into a failure code instead of a crash or a silent wrong image:
rows are bounds-checked, an exception inside the row function becomes a code
(numba's own cfunc wrapper would print it and return an undefined value), and
each output row is filled with NaN before the call so that a component the
function forgets to write shows up as a non-finite image.
"""

from __future__ import annotations

import importlib
import inspect
import math
import operator
import sys
from types import FrameType
from typing import Any, Callable, Optional, Tuple

from ._common import angle_indices

__all__ = ["compiled_fx", "compiled_hx"]

# The wrapper's own failure codes. They are far from the small codes a model
# is likely to use for its own failures, and documented with the decorators.
ERROR_DIMENSIONS = -1001
"""The points or images handed over do not have the declared dimensions."""
ERROR_RAISED = -1002
"""The row function raised an exception (an index out of range, a division by zero ...)."""
ERROR_PARAMS = -1003
"""Numeric extra arguments were given to a row function without a params argument."""

# The number of arguments of a row function, without and with params.
_ARITY = {"fx": (3, 4), "hx": (2, 3)}
_FORMS = {"fx": "f(x, dt, out) or f(x, dt, out, params)", "hx": "f(x, out) or f(x, out, params)"}
_INT32_MIN, _INT32_MAX = -(2**31), 2**31 - 1


def _numba(what: str) -> Any:
    """The numba module, or an ImportError saying how to get it."""
    try:
        import numba
    except ImportError as err:
        raise ImportError(f'{what} needs numba: pip install "vexel_ckf[jit]"') from err
    return numba


def _dimension(what: str, name: str, value: Any) -> int:
    try:
        if isinstance(value, bool):
            raise TypeError
        size = operator.index(value)
    except TypeError:
        # @compiled_fx without arguments hands the function over as dim_x.
        hint = f" (write @{what}({name}, ...) with the dimensions)" if callable(value) else ""
        raise TypeError(f"{what}: {name} must be a positive int, got {type(value).__name__}{hint}") from None
    if size <= 0:
        raise ValueError(f"{what}: {name} must be a positive int, got {size}")
    return size


def _row_function(what: str, kind: str, fn: Any) -> Tuple[Callable[..., Any], dict, bool]:
    """The Python function behind fn, the numba options to compile it with, and whether it takes params.

    A function already decorated with numba.njit is compiled again from its
    Python source with its own options (fastmath, error_model ...).
    """
    numba = sys.modules["numba"]
    options: dict = {}
    py_func = fn
    if isinstance(fn, numba.core.registry.CPUDispatcher):
        py_func = fn.py_func
        options = {k: v for k, v in fn.targetoptions.items() if k not in ("nopython", "forceobj", "parallel")}
    if not inspect.isfunction(py_func):
        raise TypeError(f"{what} decorates a Python function {_FORMS[kind]}, got {type(fn).__name__}")
    name = py_func.__qualname__
    params = list(inspect.signature(py_func).parameters.values())
    positional = (inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD)
    if any(p.kind not in positional for p in params) or len(params) not in _ARITY[kind]:
        raise TypeError(f"{what}: the row function {name}{inspect.signature(py_func)} must be "
                        f"{_FORMS[kind]}")
    options["nogil"] = True
    options.setdefault("boundscheck", True)
    return py_func, options, len(params) == _ARITY[kind][1]


def _compile_row(what: str, kind: str, py_func: Callable[..., Any], options: dict, takes_params: bool) -> Any:
    """The row function compiled for views of one point, its return type checked."""
    numba = sys.modules["numba"]
    types = numba.types
    readonly = types.Array(types.float64, 1, "C", readonly=True)
    writable = types.Array(types.float64, 1, "C")
    args: Tuple[Any, ...] = (readonly, types.float64, writable) if kind == "fx" else (readonly, writable)
    if takes_params:
        args += (readonly,)
    row = numba.njit(**options)(py_func)
    try:
        row.compile(args)
    except numba.core.errors.TypingError as err:
        raise TypeError(f"{what}: numba cannot compile the row function {py_func.__qualname__} for "
                        f"{_FORMS[kind]} with float64 arrays (x and params read-only): {err}") from None
    # Calls from the cfunc must reach this signature (read-only x and params),
    # not a new specialisation for the writable views the cfunc holds.
    row.disable_compile()
    returns = row.nopython_signatures[0].return_type
    if isinstance(returns, types.Optional):
        returns = returns.type
    if not (isinstance(returns, types.NoneType) or
            isinstance(returns, types.Integer) and not isinstance(returns, types.Boolean)):
        raise TypeError(f"{what}: the row function {py_func.__qualname__} must return None or an integer "
                        f"failure code (0 for success), not {row.nopython_signatures[0].return_type}")
    return row


def _adapter(kind: str, row: Any, takes_params: bool) -> Any:
    """One call shape for all row functions: (x, dt, out, params) -> an int64 code, 0 for success."""
    numba = sys.modules["numba"]
    returns = row.nopython_signatures[0].return_type
    if isinstance(returns, numba.types.NoneType):
        def status(result):  # type: ignore[no-untyped-def]
            return 0
    elif isinstance(returns, numba.types.Optional):
        def status(result):  # type: ignore[no-untyped-def]
            if result is None:
                return 0
            return result + 0  # an integer: numba does not narrow the optional after the test
    else:
        def status(result):  # type: ignore[no-untyped-def]
            return result
    code = numba.njit(nogil=True)(status)
    if kind == "fx" and takes_params:
        def call(x, dt, out, params):  # type: ignore[no-untyped-def]
            return code(row(x, dt, out, params))
    elif kind == "fx":
        def call(x, dt, out, params):  # type: ignore[no-untyped-def]
            return code(row(x, dt, out))
    elif takes_params:
        def call(x, dt, out, params):  # type: ignore[no-untyped-def]
            return code(row(x, out, params))
    else:
        def call(x, dt, out, params):  # type: ignore[no-untyped-def]
            return code(row(x, out))
    return numba.njit(nogil=True)(call)


def _cfunc(kind: str, row: Any, takes_params: bool, dim_in: int, dim_out: int) -> Any:
    """The numba cfunc with the engine's model signature, looping over the points."""
    numba = sys.modules["numba"]
    types = numba.types
    signature = types.int32(types.CPointer(types.float64), types.CPointer(types.float64), types.intp, types.intp,
                            types.intp, types.float64, types.CPointer(types.float64), types.intp, types.voidptr)
    call = _adapter(kind, row, takes_params)
    carray = numba.carray
    nan = math.nan
    dims_code, raised_code, params_code = ERROR_DIMENSIONS, ERROR_RAISED, ERROR_PARAMS
    low, high = _INT32_MIN, _INT32_MAX

    def model(points, images, n_points, n_in, n_out, dt, params, n_params, user_data):  # type: ignore[no-untyped-def]
        if n_in != dim_in or n_out != dim_out or n_points < 0 or n_params < 0:
            return dims_code
        if n_params > 0 and not takes_params:
            return params_code
        # Nothing may escape: numba's cfunc wrapper would take the interpreter
        # lock to print the exception and return an undefined value.
        try:
            xs = carray(points, (n_points, dim_in))
            ys = carray(images, (n_points, dim_out))
            extra = carray(params, n_params)
            for i in range(n_points):
                out = ys[i]
                out[:] = nan
                code = call(xs[i], dt, out, extra)
                if code != 0:
                    if code < low:
                        return low
                    if code > high:
                        return high
                    return code
        except Exception:
            return raised_code
        return 0

    return numba.cfunc(signature, nopython=True)(model)


def _text(what: str, py_func: Callable[..., Any], dims: Tuple[Tuple[str, int], ...], angle_name: str,
          angles: Tuple[int, ...]) -> str:
    words = [f"{name}={size}" for name, size in dims]
    if angles:
        words.append(f"{angle_name}={angles}")
    return f"{what}({py_func.__module__}.{py_func.__qualname__}, {', '.join(words)})"


class _Source:
    """What a compiled model is rebuilt from where it is unpickled.

    Whether the model is reachable by name is only known when it is pickled:
    at decoration time its name still refers to the plain function. So the
    model's reduce holds this object, which decides then. A model that its
    module's attribute of that name is (the decorated function, as usual)
    pickles as a lookup of that name; anything else as the Python function
    and the decorator's arguments, which cloudpickle (Dask) sends by value
    where the function cannot be imported.

    One exception: under cloudpickle, a model of a module that cloudpickle
    sends by value (a script's __main__, or one registered with
    `cloudpickle.register_pickle_by_value`) goes by value too, since on a
    Dask worker that name means another script or nothing. The standard
    pickler keeps the lookup, which serves multiprocessing, whose workers
    run or fork the same script.
    """

    __slots__ = ("kind", "decorated", "func", "dim_in", "dim_out", "angles", "cfunc")

    def __init__(self, kind: str, decorated: Any, func: Callable[..., Any], dim_in: int, dim_out: int,
                 angles: Tuple[int, ...], cfunc: Any) -> None:
        # decorated is what the decorator got (a numba function keeps its
        # options when compiled again); func is the Python function, whose
        # name the model goes by.
        self.kind, self.decorated, self.func, self.dim_in, self.dim_out, self.angles, self.cfunc = (
            kind, decorated, func, dim_in, dim_out, angles, cfunc)

    def _reachable(self) -> bool:
        module, qualname = self.func.__module__, self.func.__qualname__
        if "<locals>" in qualname:
            return False
        found: Any = sys.modules.get(module)
        for part in qualname.split("."):
            found = getattr(found, part, None)
        return getattr(found, "keep", None) is self.cfunc

    def __reduce__(self) -> Tuple[Any, ...]:
        if self._reachable() and not _sent_by_value(self.func.__module__):
            return (_lookup, (self.func.__module__, self.func.__qualname__))
        return (_recompile, (self.kind, self.decorated, self.dim_in, self.dim_out, self.angles))


def _sent_by_value(module: str) -> bool:
    """Whether a cloudpickle pickler is at work and sends the functions of module by value.

    cloudpickle's Pickler.dump is a Python frame below the reduce that the
    pickler calls; nothing else tells a reduce which pickler asks.
    """
    cloudpickle = sys.modules.get("cloudpickle")
    if cloudpickle is None:
        return False
    by_value = module == "__main__" or module in cloudpickle.list_registry_pickle_by_value()
    if not by_value:
        return False
    frame: Optional[FrameType] = sys._getframe(1)
    while frame is not None:
        if frame.f_code.co_name == "dump" and isinstance(frame.f_locals.get("self"), cloudpickle.Pickler):
            return True
        frame = frame.f_back
    return False


def _lookup(module: str, qualname: str) -> Any:
    """The model a module defines under qualname (importing the module compiles it)."""
    found: Any = importlib.import_module(module)
    for part in qualname.split("."):
        found = getattr(found, part)
    return found


def _recompile(kind: str, func: Any, dim_in: int, dim_out: int, angles: Tuple[int, ...]) -> Any:
    """A compiled model built again from its row function (a Python or numba function)."""
    if kind == "fx":
        return compiled_fx(dim_in, angle_states=angles)(func)
    return compiled_hx(dim_in, dim_out, angle_measurements=angles)(func)


def _unwrap(model: Any) -> Any:
    """The model a `_Source` unpickled as: the reduce of a model is a call, and this is the identity."""
    return model


def _build(what: str, kind: str, fn: Any, dim_in: int, dim_out: int, angles: Tuple[int, ...],
           dims: Tuple[Tuple[str, int], ...], angle_name: str) -> Any:
    from ._engine import CompiledModel

    py_func, options, takes_params = _row_function(what, kind, fn)
    row = _compile_row(what, kind, py_func, options, takes_params)
    cfunc = _cfunc(kind, row, takes_params, dim_in, dim_out)
    source = _Source(kind, fn, py_func, dim_in, dim_out, angles, cfunc)
    return CompiledModel(kind, cfunc.address, None, dim_in=dim_in, dim_out=dim_out, angles=angles,
                         text=_text(what, py_func, dims, angle_name, angles), reduce=(_unwrap, (source,)),
                         keep=cfunc)


def compiled_fx(dim_x: int, *, angle_states: Any = ()) -> Callable[[Any], Any]:
    """Compile a row-wise transition function with numba into a native model.

    ::

        @vexel_ckf.compiled_fx(5, angle_states=(4,))
        def ct(x, dt, out):
            ...  # write the image of the one state x to out

    The decorated function takes one state and writes its image in place:
    ``f(x, dt, out)``, or ``f(x, dt, out, params)`` to receive the numeric
    ``fx_args`` as one read-only float64 array. It runs in numba's nopython
    mode (no Python objects) and returns None, or an integer failure code
    (0 for success). The result is a `CompiledModel` that `VexelCKF`,
    `CKFBank` and `cubature_smoother` evaluate natively, and that can also
    be called like a NumPy callback, ``model(X, dt, *fx_args)``.

    A failed call reports its code (see :doc:`guide/compiled_models`); the
    wrapper's own codes are -1001 (points of the wrong dimension), -1002 (the
    function raised, for instance an index out of range: indexing is
    bounds-checked) and -1003 (numeric arguments given to a function without
    params). A component of out that the function does not write is NaN.
    A function already decorated with ``numba.njit`` is compiled with its own
    options (``fastmath``, ``boundscheck=False`` ...).

    Parameters
    ----------
    dim_x : int
        State dimension (positive): the length of x and of out.
    angle_states : sequence of int or boolean mask, optional
        The state entries that are angles in radians; a filter given the
        model defaults its ``angle_states`` to them.

    Returns
    -------
    callable
        The decorator, which turns the row function into the model.

    Raises
    ------
    ImportError
        Without numba (``pip install "vexel_ckf[jit]"``).
    TypeError
        For a dim_x that is not an integer, or (from the decorator) a row
        function with the wrong arguments, one numba cannot compile, or one
        returning something other than None or an integer.
    ValueError
        For a dim_x that is not positive or angle indices out of range.
    """
    size = _dimension("compiled_fx", "dim_x", dim_x)
    angles = angle_indices("angle_states", angle_states, size)
    _numba("compiled_fx")

    def decorate(fn: Any) -> Any:
        return _build("compiled_fx", "fx", fn, size, size, angles, (("dim_x", size),), "angle_states")

    return decorate


def compiled_hx(dim_x: int, dim_z: int, *, angle_measurements: Any = ()) -> Callable[[Any], Any]:
    """Compile a row-wise measurement function with numba into a native model.

    ::

        @vexel_ckf.compiled_hx(5, 2, angle_measurements=(1,))
        def range_bearing(x, out):
            ...  # write the measurement of the one state x to out

    The decorated function takes one state and writes its measurement in
    place: ``f(x, out)``, or ``f(x, out, params)`` to receive the numeric
    ``hx_args`` as one read-only float64 array. Everything else is as for
    `compiled_fx`; the model is called as ``model(X, *hx_args)``.

    Parameters
    ----------
    dim_x : int
        State dimension (positive): the length of x.
    dim_z : int
        Measurement dimension (positive): the length of out.
    angle_measurements : sequence of int or boolean mask, optional
        The measurement entries that are angles in radians; a filter given
        the model defaults its ``angle_measurements`` to them.

    Returns
    -------
    callable
        The decorator, which turns the row function into the model.

    Raises
    ------
    ImportError
        Without numba (``pip install "vexel_ckf[jit]"``).
    TypeError
        For dimensions that are not integers, or (from the decorator) a row
        function with the wrong arguments, one numba cannot compile, or one
        returning something other than None or an integer.
    ValueError
        For dimensions that are not positive or angle indices out of range.
    """
    n = _dimension("compiled_hx", "dim_x", dim_x)
    m = _dimension("compiled_hx", "dim_z", dim_z)
    angles = angle_indices("angle_measurements", angle_measurements, m)
    _numba("compiled_hx")

    def decorate(fn: Any) -> Any:
        return _build("compiled_hx", "hx", fn, n, m, angles, (("dim_x", n), ("dim_z", m)), "angle_measurements")

    return decorate
