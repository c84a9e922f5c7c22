"""The module frame: the module and class objects, argument parsing and its
errors, borrows and the internal-failure exception."""

import gc
import importlib
import subprocess
import sys
import weakref

import numpy as np
import pytest

import vexel_ckf._native as native
from vexel_ckf._native import CubatureKalmanFilter as CKF, SquareRootCubatureKalmanFilter as SR
from support import BOTH, outputs

# Parameters of each method's text signature; None marks a static method.
SHARED_METHODS = dict(set_state="x, p, q, r", set_dt="dt", predict_custom="fx, dt=None, fx_args=None",
                      clear_update_diagnostics="", reset_jitter_counters="", update="z, hx, r=None, hx_args=None",
                      get="name", set="name, value", load_snapshot="state", copy="", record_step="i, out", snapshot="")
CKF_METHODS = dict(SHARED_METHODS, predict_standard_model='model_type, layout="blocked"',
                   predict_standard_model_ckf='model_type, layout="blocked"', predict_linear_model="f",
                   predict_linear_model_ckf="f", update_paper_ahrs="z, sigma_acc2, sigma_mag2",
                   normalize_quaternion_state="", supported_standard_models=None, supported_standard_layouts=None)
# Python 3.9's PyType_FromSpec drops the signature block of a class docstring (a limit of that version).
CLASS_SIGNATURE = "(dim_x, dim_z, dt)" if sys.version_info >= (3, 10) else None


def test_module_and_class_objects():
    assert native.__all__ == ["CubatureKalmanFilter", "SquareRootCubatureKalmanFilter", "rts_smooth",
                              "batch_filter_linear", "batch_parallel_step"]
    assert all(getattr(native, name) is not None for name in native.__all__)
    for cls, methods in ((CKF, CKF_METHODS), (SR, SHARED_METHODS)):
        assert cls.__text_signature__ == CLASS_SIGNATURE
        assert {name for name in vars(cls) if not name.startswith("__")} == set(methods)
        for name, params in methods.items():
            if params is None:
                assert isinstance(vars(cls)[name], staticmethod) and getattr(cls, name).__text_signature__ == "()"
            else:
                assert getattr(cls, name).__text_signature__ == "($self" + (", " + params if params else "") + ")"
    saved = sys.modules.pop("vexel_ckf._native")  # a second import yields the same module object
    try:
        assert importlib.import_module("vexel_ckf._native") is saved
    finally:
        sys.modules["vexel_ckf._native"] = saved


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
# Arity and argument errors


def _error(fn, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    return str(info.value)


@BOTH
@pytest.mark.parametrize("args, kwargs", [((4, 2), {}), ((), {}), ((4, 2, 0.1), {"dim_z": 2}),
                                          ((4, 2), {"dt": 0.1, "bogus": 1})])
def test_constructor_arity_errors_use_cpythons_wording(cls, args, kwargs):
    def reference(dim_x, dim_z, dt):  # pragma: no cover - only its errors are used
        pass

    reference.__qualname__ = cls.__name__ + ".__new__"
    expected = _error(reference, *args, **kwargs)
    if sys.version_info < (3, 10):  # 3.9 words it with the function's code name, not its qualified name
        expected = expected.replace("reference()", cls.__name__ + ".__new__()", 1)
    assert _error(cls, *args, **kwargs) == expected


C = "CubatureKalmanFilter."


@pytest.mark.parametrize("call, message", [
    (lambda f: f.get("x", "y"), C + "get() takes 1 positional arguments but 2 were given"),
    (lambda f: f.get(name="x", other=1), C + "get() got an unexpected keyword argument 'other'"),
    (lambda f: f.get("x", name="x"), C + "get() got multiple values for argument 'name'"),
    (lambda f: f.set_state(np.zeros(4)), C + "set_state() missing 3 required positional arguments: 'p', 'q', and 'r'"),
    (lambda f: f.update(), C + "update() missing 2 required positional arguments: 'z' and 'hx'"),
    (lambda f: f.predict_custom(lambda X, dt: X, None, None, None),
     C + "predict_custom() takes from 1 to 3 positional arguments but 4 were given"),
    (lambda f: f.predict_standard_model(), C + "predict_standard_model() missing 1 required positional argument: "
                                               "'model_type'"),
    (lambda f: f.reset_jitter_counters(1), C + "reset_jitter_counters() takes no arguments (1 given)"),
    (lambda f: f.supported_standard_models(1), None),
    (lambda f: f.get(b"x"), "argument 'name': "),
    (lambda f: native.rts_smooth(np.zeros((1, 1))),
     "rts_smooth() missing 3 required positional arguments: 'ps', 'fs', and 'qs'"),
    (lambda f: native.batch_parallel_step(*range(8)), "batch_parallel_step() takes 7 positional arguments but 8 were given"),
    (lambda f: native.batch_filter_linear(x0=1, p0=1, zs=1, fs=1, hs=1, qs=1, rs=1, ws=1),
     "batch_filter_linear() got an unexpected keyword argument 'ws'"),
])
def test_arity_messages(call, message):
    text = _error(call, CKF(4, 2, 0.1))
    assert message is None or (text.startswith(message) if message.endswith(": ") else text == message)


def test_keyword_arguments_and_number_protocols_are_accepted():
    f = CKF(dim_x=np.int64(4), dim_z=np.uint8(2), dt=np.float32(0.5))
    assert f.get(name="x").shape == (4,) and f.get("R").shape == (2, 2)
    f.predict_standard_model(model_type="constant_velocity", layout="interleaved")
    CKF(2, 1, 1)  # an int dt is a valid double
    CKF(2, 1, -1.0)


class _IndexRaising:
    """An object whose __index__ raises a TypeError chained to a KeyError."""

    def __index__(self):
        try:
            raise KeyError("inner")
        except KeyError as exc:
            raise TypeError("no index \udc80 here") from exc  # a lone surrogate survives unchanged


def test_argument_error_prefix_keeps_the_cause():
    with pytest.raises(TypeError) as info:
        CKF(_IndexRaising(), 2, 0.1)
    assert str(info.value) == "argument 'dim_x': no index \udc80 here"
    assert isinstance(info.value.__cause__, KeyError)


@BOTH
@pytest.mark.parametrize("args, exc, message", [
    ((-1, 2, 0.1), OverflowError, None), ((2**64, 2, 0.1), OverflowError, None),
    ((2.0, 2, 0.1), TypeError, "argument 'dim_x': "), ((2, "2", 0.1), TypeError, "argument 'dim_z': "),
    ((2, 2, "0.1"), TypeError, "argument 'dt': "), ((2, 2, None), TypeError, "argument 'dt': "),
    # The dimensions are checked before dt.
    ((0, 1, float("nan")), ValueError, "dim_x and dim_z must be positive"),
    ((3, 0, 0.1), ValueError, "dim_x and dim_z must be positive"),
    ((3, 1, float("inf")), ValueError, "dt must be finite"), ((3, 1, float("nan")), ValueError, "dt must be finite"),
    *[(dims + (0.1,), MemoryError, "") for dims in [(10**10, 1), (1, 10**10), (2**63, 1), (2**64 - 1, 2**64 - 1)]],
])
def test_constructor_argument_errors(cls, args, exc, message):
    with pytest.raises(exc) as info:
        cls(*args)
    if message is None:
        assert not str(info.value).startswith("argument")
    elif message:
        assert str(info.value).startswith(message) if message.endswith(": ") else str(info.value) == message


# ---------------------------------------------------------------------------
# Borrows and the internal-failure exception


def test_read_borrows_overlap_and_refuse_writes():
    # record_step converts its index after taking the read borrow, so the index's __index__ runs while
    # the filter is read-borrowed.
    f = CKF(2, 1, 0.1)
    out = outputs(1, 2)
    seen = []

    class Index:
        def __index__(self):
            seen.extend([f.get("nis"), f.snapshot(), f.copy()])
            f.record_step(0, out)  # a third read borrow on top of two
            for write in (lambda: f.set_dt(1.0), lambda: f.set("nis", 1.0), f.reset_jitter_counters):
                seen.append(_error_runtime(write))
            return 0

    f.record_step(Index(), out)
    assert seen[3:] == ["Already borrowed"] * 3
    f.set_dt(2.0)  # every borrow was released
    f.set("nis", 4.0)
    assert f.get("nis") == 4.0


def _error_runtime(call):
    with pytest.raises(RuntimeError) as info:
        call()
    return str(info.value)


def test_panic_exception_is_a_base_exception_not_published():
    assert "PanicException" not in dir(native)
    # The class is created on first use and reachable through a failure only.
    code = (
        "import numpy as np, vexel_ckf._native as m\n"
        "f = m.CubatureKalmanFilter(2, 1, 0.1)\n"
        "out = (np.zeros((1, 2)), np.zeros((1, 2, 2)), np.zeros((1, 2)), np.zeros((1, 2, 2)), np.zeros(1), np.zeros(1))\n"
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
