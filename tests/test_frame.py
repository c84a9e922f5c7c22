"""The module frame: initialisation, class objects, argument parsing and errors."""

import gc
import importlib
import subprocess
import sys
import weakref

import numpy as np
import pytest

import vexel_ckf._native as native
from vexel_ckf._native import CubatureKalmanFilter

FULL_ALL = [
    "CubatureKalmanFilter",
    "SquareRootCubatureKalmanFilter",
    "rts_smooth",
    "batch_filter_linear",
    "batch_parallel_step",
]


def test_module_exports_in_fixed_order():
    assert native.__all__ == FULL_ALL
    assert native.__doc__ == ""
    for name in FULL_ALL:
        assert getattr(native, name) is not None


def test_reimport_yields_the_same_module_object():
    saved = sys.modules.pop("vexel_ckf._native")
    try:
        again = importlib.import_module("vexel_ckf._native")
        assert again is saved
    finally:
        sys.modules["vexel_ckf._native"] = saved


def test_class_docstring_and_text_signature():
    assert CubatureKalmanFilter.__text_signature__ == "(dim_x, dim_z, dt)"
    assert CubatureKalmanFilter.__doc__ == (
        "The filter state lives here. The Python wrapper reads fields lazily with\n"
        "`get` and writes them with `set`, so nothing is copied across the FFI\n"
        "boundary unless the user reads or assigns it."
    )
    assert CubatureKalmanFilter.__name__ == "CubatureKalmanFilter"


@pytest.mark.parametrize(
    "method, signature, doc",
    [
        ("get", "($self, name)",
         "Return one field by its Python attribute name, as a fresh numpy array\nor a Python scalar."),
        ("set", "($self, name, value)",
         "Overwrite one field by its Python attribute name. Arrays must be\n"
         "float64 with the field's shape; x, P, Q and R must be finite."),
        ("set_state", "($self, x, p, q, r)", None),
        ("set_dt", "($self, dt)",
         "Update the default time step used by predict_standard_model[_ckf]\n"
         "and by predict_custom when no per-call dt is given."),
        ("reset_jitter_counters", "($self)", None),
    ],
)
def test_method_text_signatures_and_docstrings(method, signature, doc):
    assert getattr(CubatureKalmanFilter, method).__text_signature__ == signature
    assert getattr(CubatureKalmanFilter, method).__doc__ == doc


def test_class_is_final_without_dict_weakref_or_gc():
    with pytest.raises(TypeError):
        type("Sub", (CubatureKalmanFilter,), {})
    f = CubatureKalmanFilter(2, 1, 0.1)
    with pytest.raises(AttributeError):
        f.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(f)
    assert not gc.is_tracked(f)


# --- arity errors: CPython's own wording for a function of the same shape ---


def _python_error(fn, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    return str(info.value)


def _reference_new(dim_x, dim_z, dt):  # pragma: no cover - only its errors are used
    pass


_reference_new.__qualname__ = "CubatureKalmanFilter.__new__"


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((4, 2), {}),
        ((4,), {}),
        ((), {}),
        ((4, 2, 0.1), {"dim_z": 2}),
        ((4, 2), {"dt": 0.1, "bogus": 1}),
    ],
)
def test_constructor_arity_errors_match_cpython(args, kwargs):
    expected = _python_error(_reference_new, *args, **kwargs)
    assert _python_error(CubatureKalmanFilter, *args, **kwargs) == expected


def test_keyword_arguments_and_explicit_positional_count_message():
    f = CubatureKalmanFilter(dim_x=4, dim_z=2, dt=0.1)
    np.testing.assert_array_equal(f.get(name="x"), f.get("x"))
    assert _python_error(f.get, "x", "y") == (
        "CubatureKalmanFilter.get() takes 1 positional arguments but 2 were given"
    )
    assert _python_error(f.set_state, 1, 2, 3, 4, 5) == (
        "CubatureKalmanFilter.set_state() takes 4 positional arguments but 5 were given"
    )
    assert _python_error(f.get, name="x", other=1) == (
        "CubatureKalmanFilter.get() got an unexpected keyword argument 'other'"
    )
    assert _python_error(f.get, "x", name="x") == (
        "CubatureKalmanFilter.get() got multiple values for argument 'name'"
    )
    assert _python_error(f.set_state, np.zeros(4)) == (
        "CubatureKalmanFilter.set_state() missing 3 required positional arguments: 'p', 'q', and 'r'"
    )


def test_noargs_methods_reject_arguments():
    f = CubatureKalmanFilter(2, 1, 0.1)
    with pytest.raises(TypeError):
        f.reset_jitter_counters(1)


# --- argument kinds ---


class _IndexRaising:
    """An object whose __index__ raises a TypeError chained to a KeyError."""

    def __index__(self):
        try:
            raise KeyError("inner")
        except KeyError as exc:
            raise TypeError("no index \udc80 here") from exc  # a lone surrogate survives unchanged


def test_argument_error_prefix_keeps_the_cause():
    with pytest.raises(TypeError) as info:
        CubatureKalmanFilter(_IndexRaising(), 2, 0.1)
    assert str(info.value) == "argument 'dim_x': no index \udc80 here"
    assert isinstance(info.value.__cause__, KeyError)


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((-1, 2, 0.1), OverflowError, None),
        ((2**64, 2, 0.1), OverflowError, None),
        ((2.0, 2, 0.1), TypeError, "argument 'dim_x': "),
        ((2, "2", 0.1), TypeError, "argument 'dim_z': "),
        ((2, 2, "0.1"), TypeError, "argument 'dt': "),
        ((2, 2, None), TypeError, "argument 'dt': "),
    ],
)
def test_constructor_argument_kinds(args, exc, message):
    with pytest.raises(exc) as info:
        CubatureKalmanFilter(*args)
    if message is None:
        assert not str(info.value).startswith("argument")
    else:
        assert str(info.value).startswith(message)


def test_index_and_float_protocols_are_accepted():
    f = CubatureKalmanFilter(np.int64(3), np.uint8(2), np.float32(0.5))
    assert f.get("x").shape == (3,)
    assert f.get("R").shape == (2, 2)
    CubatureKalmanFilter(2, 1, 1)  # an int dt is a valid double
    CubatureKalmanFilter(2, 1, -1.0)


@pytest.mark.parametrize(
    "dims, dt, message",
    [
        ((0, 1), float("nan"), "dim_x and dim_z must be positive"),
        ((3, 0), 0.1, "dim_x and dim_z must be positive"),
        ((3, 1), float("inf"), "dt must be finite"),
        ((3, 1), float("nan"), "dt must be finite"),
    ],
)
def test_constructor_validation_order(dims, dt, message):
    with pytest.raises(ValueError) as info:
        CubatureKalmanFilter(*dims, dt)
    assert str(info.value) == message


@pytest.mark.parametrize("dims", [(10**10, 1), (1, 10**10), (2**63, 1), (2**64 - 1, 2**64 - 1), (2**40, 2**40)])
def test_storage_that_cannot_exist_raises_memory_error(dims):
    with pytest.raises(MemoryError):
        CubatureKalmanFilter(*dims, 0.1)


def test_read_borrows_overlap_and_refuse_writes():
    # record_step converts its index after taking the read borrow, so the
    # index's __index__ runs while the filter is read-borrowed.
    f = CubatureKalmanFilter(2, 1, 0.1)
    out = (np.zeros((1, 2)), np.zeros((1, 2, 2)), np.zeros((1, 2)), np.zeros((1, 2, 2)), np.zeros(1), np.zeros(1))
    seen = []

    class Index:
        def __index__(self):
            seen.append(f.get("nis"))
            seen.append(list(f.snapshot()))
            seen.append(f.copy())
            f.record_step(0, out)  # a third read borrow on top of two
            for write in (lambda: f.set_dt(1.0), lambda: f.set("nis", 1.0), f.reset_jitter_counters):
                with pytest.raises(RuntimeError) as info:
                    write()
                seen.append(str(info.value))
            return 0

    f.record_step(Index(), out)
    assert seen[3:] == ["Already borrowed"] * 3
    f.set_dt(2.0)  # every borrow was released
    f.set("nis", 4.0)
    assert f.get("nis") == 4.0


def test_string_argument_kind():
    f = CubatureKalmanFilter(2, 1, 0.1)
    with pytest.raises(TypeError) as info:
        f.get(b"x")
    assert str(info.value).startswith("argument 'name': ")


def test_panic_exception_is_a_base_exception_not_published():
    assert "PanicException" not in dir(native)
    # The class is created on first use; it is reachable through a failure
    # only (tested with record_step), but its place in the hierarchy is fixed.
    code = (
        "import numpy as np, vexel_ckf._native as m\n"
        "f = m.CubatureKalmanFilter(2, 1, 0.1)\n"
        "out = (np.zeros((1, 2)), np.zeros((1, 2, 2)), np.zeros((1, 2)), np.zeros((1, 2, 2)),"
        " np.zeros(1), np.zeros(1))\n"
        "try:\n"
        "    f.record_step(5, out)\n"
        "except Exception:\n"
        "    print('caught as Exception')\n"
        "except BaseException as e:\n"
        "    print(type(e).__name__, issubclass(type(e), BaseException), e.args)\n"
    )
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert res.returncode == 0, res.stderr
    assert res.stdout.startswith("PanicException True (")
    assert res.stderr.strip() != ""  # a diagnostic reaches standard error
