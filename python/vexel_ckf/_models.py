"""Compiled models: the C-level forms a user may hand over as fx or hx.

The engine evaluates a `CompiledModel` without Python. This module turns the
ecosystem's ways of naming a C function into one, following scipy's
`LowLevelCallable` conventions: a `scipy.LowLevelCallable`, a PyCapsule
named by the model signature, a ctypes function pointer with matching
`restype` and `argtypes`, or a numba `cfunc`. Anything else callable stays a
Python callback, called once per step with all points.
"""

from __future__ import annotations

import ctypes
from typing import Any, Optional, Tuple

from ._engine import CompiledModel, model_signature

__all__ = ["CompiledModel", "MODEL_SIGNATURE", "as_model", "model_angles"]

#: The C signature of a compiled model function.
MODEL_SIGNATURE: str = model_signature

_double_p = ctypes.POINTER(ctypes.c_double)
# The integer types of a pointer's size, as ctypes (and numba's .ctypes) spell intptr_t.
_intptr = tuple({t for t in (ctypes.c_ssize_t, ctypes.c_long, ctypes.c_longlong, ctypes.c_int64)
                 if ctypes.sizeof(t) == ctypes.sizeof(ctypes.c_void_p)})


def _signature_error(kind: str, what: str, got: str) -> TypeError:
    return TypeError(
        f"{kind} is {what} with the signature {got}, but a compiled model must have the signature "
        f"{MODEL_SIGNATURE} (points, images, n_points, dim_in, dim_out, dt, params, n_params, user_data; "
        f"returning 0 on success)"
    )


def _ctypes_text(restype: Any, argtypes: Any) -> str:
    def name(t: Any) -> str:
        return "void" if t is None else getattr(t, "__name__", repr(t))
    args = ", ".join(name(t) for t in argtypes) if argtypes is not None else "(argtypes not set)"
    return f"{name(restype)} ({args})"


def _check_ctypes(kind: str, what: str, restype: Any, argtypes: Any) -> None:
    expected = [_double_p, _double_p, _intptr, _intptr, _intptr, (ctypes.c_double,), _double_p, _intptr,
                (ctypes.c_void_p,)]
    ok = restype in (ctypes.c_int, ctypes.c_int32) and argtypes is not None and len(argtypes) == len(expected)
    if ok:
        for got, want in zip(argtypes, expected):
            allowed = want if isinstance(want, tuple) else (want,)
            if got not in allowed:
                ok = False
                break
    if not ok:
        raise _signature_error(kind, what, _ctypes_text(restype, argtypes))


def _text(kind: str, obj: Any) -> str:
    name = getattr(obj, "__name__", None) or getattr(getattr(obj, "_pyfunc", None), "__name__", None)
    return f"<compiled {kind} {name}>" if name else f"<compiled {kind}>"


def as_model(obj: Any, kind: str, dim_in: Optional[int] = None, dim_out: Optional[int] = None) -> Any:
    """`obj` as the engine takes it: a CompiledModel for the C-level forms, else `obj` itself.

    A CompiledModel is checked against `kind` ("fx" or "hx") and the
    caller's dimensions. A wrong signature is a TypeError that prints the
    expected one.
    """
    if obj is None:
        return None
    if isinstance(obj, CompiledModel):
        check_model(obj, kind, dim_in, dim_out)
        return obj
    type_name = type(obj).__name__
    if type_name == "LowLevelCallable" and isinstance(obj, tuple) and obj:
        # scipy keeps the function as a capsule named by its signature (the
        # tuple's first item), with the user data as the capsule's context.
        model = CompiledModel(kind, tuple.__getitem__(obj, 0), None, dim_in=dim_in, dim_out=dim_out,
                              text=f"<LowLevelCallable {kind}>", keep=obj)
    elif type_name == "PyCapsule":
        model = CompiledModel(kind, obj, None, dim_in=dim_in, dim_out=dim_out, text=f"<capsule {kind}>", keep=obj)
    elif isinstance(obj, ctypes._CFuncPtr):  # type: ignore[attr-defined]
        _check_ctypes(kind, "a ctypes function", obj.restype, obj.argtypes)
        address = ctypes.cast(obj, ctypes.c_void_p).value
        model = CompiledModel(kind, address, None, dim_in=dim_in, dim_out=dim_out, text=_text(kind, obj), keep=obj)
    elif hasattr(obj, "address") and hasattr(obj, "ctypes") and hasattr(obj, "native_name"):
        # A numba cfunc: its ctypes view carries the signature it was compiled with.
        cfunc = obj.ctypes
        _check_ctypes(kind, "a numba cfunc", cfunc.restype, cfunc.argtypes)
        model = CompiledModel(kind, obj.address, None, dim_in=dim_in, dim_out=dim_out, text=_text(kind, obj),
                              keep=obj)
    else:
        return obj
    return model


def check_model(model: CompiledModel, kind: str, dim_in: Optional[int], dim_out: Optional[int]) -> None:
    """The checks where a filter takes a compiled model: its kind and declared dimensions."""
    if model.kind != kind:
        raise TypeError(
            f"{kind} is the {model.kind} model {model!r}: a prediction takes an fx model and an update an hx model"
        )
    role = "states" if kind == "fx" else "measurements"
    if dim_in is not None and model.dim_in is not None and model.dim_in != dim_in:
        raise ValueError(f"{kind} {model!r} takes states of {model.dim_in} entries, but the filter's states have "
                         f"{dim_in} (dim_x)")
    if dim_out is not None and model.dim_out is not None and model.dim_out != dim_out:
        raise ValueError(f"{kind} {model!r} gives {role} of {model.dim_out} entries, but the filter's have "
                         f"{dim_out} ({'dim_x' if kind == 'fx' else 'dim_z'})")


def model_angles(model: Any) -> Optional[Tuple[int, ...]]:
    """The angle entries a compiled model declares for its output, or None for a Python callback."""
    return tuple(model.angles) if isinstance(model, CompiledModel) else None
