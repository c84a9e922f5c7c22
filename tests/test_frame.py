"""The module frame: initialisation, class objects and their method tables,
argument parsing and errors, borrows."""

import gc
import importlib
import subprocess
import sys
import weakref

import numpy as np
import pytest

import vexel_ckf._native as native
from vexel_ckf._native import CubatureKalmanFilter, SquareRootCubatureKalmanFilter
from support import BOTH, outputs

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
        assert importlib.import_module("vexel_ckf._native") is saved
    finally:
        sys.modules["vexel_ckf._native"] = saved


# ---------------------------------------------------------------------------
# Class objects: docstring, method table in registration order, signatures, docstrings

CLEAR_DOC = (
    "Record a skipped measurement (`update(z=None)`): clear the innovation\nand likelihood diagnostics so callers "
    "don't re-read stale values, set\n`z` to NaN, and make the posterior equal the current prior."
)
# name, parameters of the text signature (None: a static method), docstring
CKF_METHODS = [
    ("set_state", "x, p, q, r", None),
    ("set_dt", "dt",
     "Update the default time step used by predict_standard_model[_ckf]\nand by predict_custom when no per-call dt "
     "is given."),
    ("predict_custom", "fx, dt=None, fx_args=None", None),
    ("predict_standard_model", 'model_type, layout="blocked"', None),
    ("supported_standard_models", None,
     "Convenience for callers: list of model strings accepted by\npredict_standard_model[_ckf]. Lets the Python "
     "wrapper validate input\nwith a friendly error before reaching the backend."),
    ("supported_standard_layouts", None,
     "State layouts accepted by predict_standard_model[_ckf], for the same\nfriendly Python-side validation as "
     "supported_standard_models."),
    ("predict_standard_model_ckf", 'model_type, layout="blocked"', None),
    ("predict_linear_model", "f", None),
    ("predict_linear_model_ckf", "f", None),
    ("clear_update_diagnostics", "", CLEAR_DOC),
    ("reset_jitter_counters", "", None),
    ("update", "z, hx, r=None, hx_args=None", None),
    ("update_paper_ahrs", "z, sigma_acc2, sigma_mag2", None),
    ("normalize_quaternion_state", "", None),
    ("get", "name", "Return one field by its Python attribute name, as a fresh numpy array\nor a Python scalar."),
    ("set", "name, value",
     "Overwrite one field by its Python attribute name. Arrays must be\nfloat64 with the field's shape; x, P, Q and R "
     "must be finite."),
    ("load_snapshot", "state",
     "Inverse of `snapshot`: `set` every field present in `state`. Other\nkeys are ignored and absent fields keep "
     "their current values, so a\npartial dict (for example an older `to_dict()` output) loads too."),
    ("copy", "", "Independent copy of the whole filter, counters included."),
    ("record_step", "i, out",
     "Write row `i` of `run()`'s outputs: x_post, P_post, x_prior, P_prior,\nlog_likelihood and nis, in one call "
     "instead of six attribute reads."),
    ("snapshot", "", None),
]
SR_METHODS = [
    ("set_state", "x, p, q, r",
     "Seed the filter from a covariance-space description: equivalent to\n`set(\"x\", x)`, `set(\"P\", p)`, "
     "`set(\"Q\", q)` and `set(\"R\", r)`, in this\norder, stopping at the first failure (earlier assignments "
     "stay). Each\ncovariance is factored once; jitter added there is counted."),
    ("set_dt", "dt", "Update the default time step used by predict_custom when no per-call\ndt is given."),
    ("predict_custom", "fx, dt=None, fx_args=None", None),
    ("clear_update_diagnostics", "", CLEAR_DOC),
    ("reset_jitter_counters", "", None),
    ("update", "z, hx, r=None, hx_args=None", None),
    ("get", "name",
     "Return one field by its Python attribute name, as a fresh numpy array\nor a Python scalar. Covariances are "
     "products of the stored factors."),
    ("set", "name, value",
     "Overwrite one field by its Python attribute name. Assigning P, Q or R\nfactors it once with "
     "`stable_cholesky` and counts any jitter added;\nthe `chol_*` and `S_innov` names set a factor directly, "
     "with no\nfactorization. Arrays must be float64 with the field's shape; state\nand factors must be finite."),
    ("load_snapshot", "state",
     "Inverse of `snapshot`: `set` every stored field present in `state`\n(factors, not their products, so "
     "nothing is re-factored). Other keys\nare ignored and absent fields keep their current values."),
    ("copy", "", "Independent copy of the whole filter, factors and counters included."),
    ("record_step", "i, out",
     "Write row `i` of `run()`'s outputs (see the CKF method of the same\nname); P_post and P_prior are products "
     "of their factors."),
    ("snapshot", "", None),
]
CKF_DOC = (
    "The filter state lives here. The Python wrapper reads fields lazily with\n"
    "`get` and writes them with `set`, so nothing is copied across the FFI\n"
    "boundary unless the user reads or assigns it."
)


@pytest.mark.parametrize("cls,doc,methods", [(CubatureKalmanFilter, CKF_DOC, CKF_METHODS),
                                             (SquareRootCubatureKalmanFilter, "", SR_METHODS)], ids=["ckf", "srckf"])
def test_class_doc_signatures_and_method_table(cls, doc, methods):
    assert cls.__doc__ == doc
    # CPython 3.9 drops the text signature of a class created from a type spec
    # (the docstring body is the same on every version).
    assert cls.__text_signature__ == ("(dim_x, dim_z, dt)" if sys.version_info >= (3, 10) else None)
    assert [name for name in vars(cls) if not name.startswith("__")] == [name for name, _, _ in methods]
    for name, params, method_doc in methods:
        method = getattr(cls, name)
        if params is None:
            assert isinstance(vars(cls)[name], staticmethod) and method.__text_signature__ == "()"
        else:
            assert method.__text_signature__ == "($self" + (", " + params if params else "") + ")", name
        assert method.__doc__ == method_doc, name


@BOTH
def test_class_is_final_without_dict_weakref_or_gc(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    f = cls(2, 1, 0.1)
    with pytest.raises(AttributeError):
        f.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(f)
    assert not gc.is_tracked(f)


# ---------------------------------------------------------------------------
# Arity errors: CPython's own wording for a function of the same shape


def _python_error(fn, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    return str(info.value)


@BOTH
@pytest.mark.parametrize(
    "args, kwargs",
    [((4, 2), {}), ((4,), {}), ((), {}), ((4, 2, 0.1), {"dim_z": 2}), ((4, 2), {"dt": 0.1, "bogus": 1})],
)
def test_constructor_arity_errors_match_cpython(cls, args, kwargs):
    def reference(dim_x, dim_z, dt):  # pragma: no cover - only its errors are used
        pass

    reference.__qualname__ = cls.__name__ + ".__new__"
    # CPython 3.9 names the function in these messages by its code object's name.
    reference.__code__ = reference.__code__.replace(co_name=reference.__qualname__)
    assert _python_error(cls, *args, **kwargs) == _python_error(reference, *args, **kwargs)


C = "CubatureKalmanFilter."


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f: f.get("x", "y"), C + "get() takes 1 positional arguments but 2 were given"),
        (lambda f: f.set_state(1, 2, 3, 4, 5), C + "set_state() takes 4 positional arguments but 5 were given"),
        (lambda f: f.get(name="x", other=1), C + "get() got an unexpected keyword argument 'other'"),
        (lambda f: f.get("x", name="x"), C + "get() got multiple values for argument 'name'"),
        (lambda f: f.set_state(np.zeros(4)),
         C + "set_state() missing 3 required positional arguments: 'p', 'q', and 'r'"),
        (lambda f: f.update(), C + "update() missing 2 required positional arguments: 'z' and 'hx'"),
        (lambda f: f.predict_custom(lambda X, dt: X, None, None, None),
         C + "predict_custom() takes from 1 to 3 positional arguments but 4 were given"),
        (lambda f: f.predict_standard_model(), C + "predict_standard_model() missing 1 required positional argument: "
                                                   "'model_type'"),
        (lambda f: f.predict_standard_model_ckf("constant_velocity", "blocked", "extra"),
         C + "predict_standard_model_ckf() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda f: f.reset_jitter_counters(1), C + "reset_jitter_counters() takes no arguments (1 given)"),
        (lambda f: f.supported_standard_models(1), None),
    ],
)
def test_method_arity_messages(call, message):
    f = CubatureKalmanFilter(4, 2, 0.1)
    with pytest.raises(TypeError) as info:
        call(f)
    if message is not None:
        assert str(info.value) == message


def test_keyword_arguments_are_accepted():
    f = CubatureKalmanFilter(dim_x=4, dim_z=2, dt=0.1)
    np.testing.assert_array_equal(f.get(name="x"), f.get("x"))
    f.predict_standard_model(model_type="constant_velocity", layout="interleaved")


# ---------------------------------------------------------------------------
# Argument kinds and constructor validation


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


@BOTH
@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((-1, 2, 0.1), OverflowError, None),
        ((2**64, 2, 0.1), OverflowError, None),
        ((2.0, 2, 0.1), TypeError, "argument 'dim_x': "),
        ((2, "2", 0.1), TypeError, "argument 'dim_z': "),
        ((2, 2, "0.1"), TypeError, "argument 'dt': "),
        ((2, 2, None), TypeError, "argument 'dt': "),
        # The dimensions are checked before dt.
        ((0, 1, float("nan")), ValueError, "dim_x and dim_z must be positive"),
        ((3, 0, 0.1), ValueError, "dim_x and dim_z must be positive"),
        ((3, 1, float("inf")), ValueError, "dt must be finite"),
        ((3, 1, float("nan")), ValueError, "dt must be finite"),
    ],
)
def test_constructor_argument_errors(cls, args, exc, message):
    with pytest.raises(exc) as info:
        cls(*args)
    if message is None:
        assert not str(info.value).startswith("argument")
    elif message.endswith(": "):
        assert str(info.value).startswith(message)
    else:
        assert str(info.value) == message


def test_index_and_float_protocols_are_accepted():
    f = CubatureKalmanFilter(np.int64(3), np.uint8(2), np.float32(0.5))
    assert f.get("x").shape == (3,) and f.get("R").shape == (2, 2)
    CubatureKalmanFilter(2, 1, 1)  # an int dt is a valid double
    CubatureKalmanFilter(2, 1, -1.0)


def test_string_argument_kind():
    with pytest.raises(TypeError, match="^argument 'name': "):
        CubatureKalmanFilter(2, 1, 0.1).get(b"x")


@BOTH
@pytest.mark.parametrize("dims", [(10**10, 1), (1, 10**10), (2**63, 1), (2**64 - 1, 2**64 - 1), (2**40, 2**40)])
def test_storage_that_cannot_exist_raises_memory_error(cls, dims):
    with pytest.raises(MemoryError):
        cls(*dims, 0.1)


# ---------------------------------------------------------------------------
# Borrows and the internal-failure exception


def test_read_borrows_overlap_and_refuse_writes():
    # record_step converts its index after taking the read borrow, so the
    # index's __index__ runs while the filter is read-borrowed.
    f = CubatureKalmanFilter(2, 1, 0.1)
    out = outputs(1, 2)
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
