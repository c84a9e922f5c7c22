"""Bounded random-call fuzz of the whole surface of vexel_ckf._native.

Several threads make random calls, with a fixed seed, to both constructors,
every method of both filter classes and the three module functions: random
shapes, dtypes, strides and memory layouts, NaN and infinities, huge sizes,
wrong arities and receivers, and fx/hx callbacks that misbehave (wrong
output, raising, re-entering their own filter or another one, mutating the
arrays they were given, calling the GIL-releasing filter bank).  Some filters
are shared by all threads, so calls meet borrowed filters.

A call may only end normally or with a documented exception: TypeError,
ValueError, OverflowError, RuntimeError, MemoryError, or the callback's own
exception.  PanicException is allowed only where the caller's own output
arrays make record_step fail (read-only, too small, row out of range).  On
filters private to a thread two more properties are checked: a failed call
leaves the filter as it was (except the documented partial cases and the
jitter bookkeeping), and a prediction or update that succeeds on a finite
state leaves a finite state.  Batch results of a successful call must be
finite where they report success.

Run it under the sanitizers from .ci/run; it exits 1 after listing every
distinct failure with a reproducer description, 0 otherwise.
"""

import argparse
import collections
import faulthandler
import gc
import random
import sys
import threading
import time
import traceback

import numpy as np

import vexel_ckf._native as native

CKF = native.CubatureKalmanFilter
SR = native.SquareRootCubatureKalmanFilter

CKF_FIELDS = [
    "x", "P", "Q", "R", "K", "y", "z", "S", "SI", "x_prior", "P_prior", "x_post", "P_post", "z_pred",
    "log_likelihood", "likelihood", "mahalanobis", "nis", "last_jitter", "max_jitter", "jitter_count",
    "singular_innovation_count",
]
SR_SETTABLE = [
    "x", "P", "Q", "R", "chol_P", "chol_Q", "chol_R", "S_innov", "chol_P_prior", "chol_P_post", "K", "y", "z",
    "z_pred", "x_prior", "x_post", "log_likelihood", "likelihood", "mahalanobis", "nis", "last_jitter",
    "max_jitter", "jitter_count", "singular_innovation_count", "downdate_fallback_count",
]
SR_FIELDS = SR_SETTABLE + ["S", "P_prior", "P_post"]
COUNTERS = {"last_jitter", "max_jitter", "jitter_count", "singular_innovation_count", "downdate_fallback_count"}
SCALARS = {"log_likelihood", "likelihood", "mahalanobis", "nis", "last_jitter", "max_jitter"}
COUNTS = {"jitter_count", "singular_innovation_count", "downdate_fallback_count"}
# Shape of each array field in terms of (dim_x, dim_z): "x" -> dim_x, "z" -> dim_z.
SHAPES = {
    "x": "x", "y": "z", "z": "z", "z_pred": "z", "x_prior": "x", "x_post": "x",
    "P": "xx", "Q": "xx", "R": "zz", "K": "xz", "S": "zz", "SI": "zz", "P_prior": "xx", "P_post": "xx",
    "chol_P": "xx", "chol_Q": "xx", "chol_R": "zz", "S_innov": "zz", "chol_P_prior": "xx", "chol_P_post": "xx",
}
ALLOWED = (TypeError, ValueError, OverflowError, RuntimeError, MemoryError)
# Shared by all threads: inputs of filter banks and outputs of record_step at once.
BANK_X = np.zeros((64, 4))
BANK_Z = np.zeros((64, 2))
HUGE = [2**31, 2**32 + 1, 2**40, 2**62, 2**63 - 1, 2**63, 2**64 - 1, 2**64, 10**30, -1, -(2**63)]


class CallbackError(Exception):
    """Raised on purpose by a callback or a Python protocol the module calls."""


class CallbackBaseError(BaseException):
    """Raised on purpose by a callback; not an Exception."""


class Sub(np.ndarray):
    """An ndarray subclass (accepted like ndarray)."""


class Weird:
    """An object whose number protocols raise."""

    def __float__(self):
        raise CallbackError("__float__")

    def __index__(self):
        raise CallbackError("__index__")


class BadKey(str):
    """A str key whose comparison raises (load_snapshot's dict lookup)."""

    def __hash__(self):
        return str.__hash__(self)

    def __eq__(self, other):
        raise CallbackError("__eq__")


def dims_of(f):
    return f.get("x").shape[0], f.get("z").shape[0]


def is_sr(f):
    return isinstance(f, SR)


def snapshot_of(f):
    return {n: f.get(n) for n in (SR_FIELDS if is_sr(f) else CKF_FIELDS)}


def same(a, b):
    if isinstance(a, np.ndarray):
        return isinstance(b, np.ndarray) and a.shape == b.shape and a.tobytes() == b.tobytes()
    return type(a) is type(b) and (a == b or (a != a and b != b))


def finite_state(f):
    names = ["x", "chol_P"] if is_sr(f) else ["x", "P"]
    return all(np.isfinite(f.get(n)).all() for n in names)


def describe(v, depth=0):
    """Text that rebuilds an argument (small arrays in full)."""
    if isinstance(v, np.ndarray):
        flags = "C" if v.flags.c_contiguous else "F" if v.flags.f_contiguous else "strided"
        text = f"array(shape={v.shape}, dtype={v.dtype}, strides={v.strides}, {flags}"
        if not v.flags.writeable:
            text += ", read-only"
        if type(v) is not np.ndarray:
            text += f", {type(v).__name__}"
        if v.size <= 64 and v.dtype != object:
            with np.printoptions(precision=17, threshold=100, linewidth=10**6):
                text += ", values=" + repr(np.asarray(v).tolist())
        return text + ")"
    if isinstance(v, tuple) and depth < 2:
        return "(" + ", ".join(describe(x, depth + 1) for x in v) + ("," if len(v) == 1 else "") + ")"
    if isinstance(v, dict) and depth < 2:
        return "{" + ", ".join(f"{k!r}: {describe(x, depth + 1)}" for k, x in v.items()) + "}"
    if callable(v) and hasattr(v, "kind"):
        return f"<callback {v.kind}>"
    return repr(v)[:200]


class Fuzzer:
    """One thread's generator of calls; `shared` is the pool all threads use."""

    def __init__(self, seed, shared, report, budget):
        self.r = random.Random(seed)
        self.g = np.random.default_rng(seed)
        self.seed = seed
        self.shared = shared
        self.report = report
        self.budget = budget
        self.calls = 0
        self.outcomes = collections.Counter()
        self.depth = 0
        self.private = [self.new_filter(c) for c in (CKF, SR, CKF, SR)]
        self.private.append(CKF(4, 6, 0.01))  # AHRS dimensions

    # -- values -------------------------------------------------------------

    def new_filter(self, cls=None):
        cls = cls or self.r.choice([CKF, SR])
        n, m = self.r.choice([(1, 1), (2, 1), (2, 2), (3, 2), (4, 2), (4, 6), (6, 3)])
        f = cls(n, m, self.r.choice([0.1, 1.0, 0.0, -0.5]))
        f.set("x", self.g.standard_normal(n))
        f.set("P", self.spd(n))
        return f

    def spd(self, n, scale=1.0):
        a = self.g.standard_normal((n, n))
        return scale * (a @ a.T + n * np.eye(n))

    def values(self, shape, kind):
        if kind == "spd" and len(shape) >= 2 and shape[-1] == shape[-2]:
            a = self.g.standard_normal(shape)
            return a @ np.swapaxes(a, -1, -2) + shape[-1] * np.eye(shape[-1])
        if kind == "eye" and len(shape) >= 2 and shape[-1] == shape[-2]:
            return np.broadcast_to(np.eye(shape[-1]), shape) + 0.1 * self.g.standard_normal(shape)
        return self.g.standard_normal(shape)

    def array(self, shape, kind="any"):
        """Mostly a valid float64 array of `shape`; otherwise one of many wrong or odd ones."""
        r = self.r
        a = self.values(shape, kind)
        roll = r.random()
        if roll < 0.55:
            return self.layout(a)
        if roll < 0.70:  # special values
            a = np.array(a)
            if a.size:
                flat = a.reshape(-1)
                for _ in range(r.randint(1, 3)):
                    flat[r.randrange(a.size)] = r.choice(
                        [np.nan, np.inf, -np.inf, 1e308, -1e308, 1e200, 5e-324, -0.0, 1e-300])
            return self.layout(a)
        if roll < 0.78:  # wrong shape
            s = list(shape)
            if s:
                i = r.randrange(len(s))
                s[i] = max(0, s[i] + r.choice([-1, 1, 2])) if r.random() < 0.8 else 0
            return self.g.standard_normal(s)
        if roll < 0.84:  # wrong dimensionality
            return self.g.standard_normal(shape[:-1] if shape and r.random() < 0.5 else shape + (1,))
        if roll < 0.90:  # wrong dtype
            dtype = r.choice([np.float32, np.int64, np.complex128, object, ">f8", np.bool_, np.float16])
            return np.asarray(a).astype(dtype)
        if roll < 0.95:  # not an array at all
            return r.choice([np.asarray(a).tolist(), None, 1.0, 3, "x", (1.0, 2.0), Weird(), np.float64(1.0)])
        # huge logical size through zero strides
        big = tuple(r.choice(HUGE[:6]) if r.random() < 0.5 else d for d in shape)
        try:
            return np.lib.stride_tricks.as_strided(np.zeros(1), shape=big, strides=(0,) * len(big))
        except (ValueError, OverflowError):  # beyond what NumPy can describe
            return np.zeros(shape)

    def layout(self, a):
        """The same values in another memory layout."""
        a = np.array(a, dtype=np.float64)
        k = self.r.randrange(8)
        if k == 0 and a.ndim >= 2:
            return np.asfortranarray(a)
        if k == 1:  # every second element of a larger buffer
            big = np.zeros(tuple(2 * d for d in a.shape))
            view = big[tuple(slice(None, None, 2) for _ in a.shape)]
            view[...] = a
            return view
        if k == 2:  # reversed view
            flipped = a[tuple(slice(None, None, -1) for _ in a.shape)].copy()
            return flipped[tuple(slice(None, None, -1) for _ in a.shape)]
        if k == 3:
            a.flags.writeable = False
            return a
        if k == 4:
            return a.view(Sub)
        if k == 5 and a.ndim >= 1 and a.size:  # zero stride along the first axis, read-only
            return np.broadcast_to(a[:1], a.shape)
        return a

    def double(self):
        return self.r.choice([0.1, 1.0, -1.0, 0.0, -0.0, 1e-300, 1e300, float("nan"), float("inf"), 5e-324,
                              3, np.float64(0.5), np.int64(2), True, Weird(), None, "1.0", 2**70])

    def size(self):
        return self.r.choice([0, 1, 2, 3, 4, 6, np.int64(3), True] + HUGE + [2.0, None, "3", Weird()])

    def name(self, f):
        r = self.r
        if r.random() < 0.85:
            return r.choice(SR_FIELDS if is_sr(f) else CKF_FIELDS)
        return r.choice(["dt", "SI ", "p", "", "x\n\t\"\\\x01", "\u00e9\ud800", 1, None, b"x", BadKey("x"),
                         "downdate_fallback_count", "SI", "chol_P", "S"])

    def field_value(self, f, name):
        r = self.r
        n, m = dims_of(f)
        name = name if type(name) is str else ""  # never run a key's own __eq__ here
        if name in COUNTS and r.random() < 0.8:
            return r.choice([0, 1, 2**64 - 1, 2**64, -1, 1.5, np.uint64(7), Weird()])
        if name in SCALARS and r.random() < 0.8:
            return self.double()
        code = SHAPES.get(name, "x")
        shape = tuple({"x": n, "z": m}[c] for c in code)
        return self.array(shape, "spd" if code in ("xx", "zz") and r.random() < 0.7 else "any")

    def out_tuple(self, f, plain=False):
        """record_step's six output arrays and whether they are all usable for row i."""
        r = self.r
        n, _ = dims_of(f)
        steps = r.choice([1, 3])
        if plain:
            arrays = [np.zeros((steps, n)), np.zeros((steps, n, n)), np.zeros((steps, n)), np.zeros((steps, n, n)),
                      np.zeros(steps), np.zeros(steps)]
            return r.randrange(steps), tuple(arrays), True
        arrays = [np.zeros((steps, n)), np.zeros((steps, n, n)), np.zeros((steps, n)), np.zeros((steps, n, n)),
                  np.zeros(steps), np.zeros(steps)]
        usable = True
        if r.random() < 0.1 and n <= BANK_X.shape[1]:  # memory a filter bank in another thread may be reading
            arrays[r.choice([0, 2])] = BANK_X
            arrays[r.choice([4, 5])] = BANK_Z[:, 0]
        elif r.random() < 0.3:
            k = r.randrange(6)
            kind = r.randrange(4)
            if kind == 0:
                arrays[k].flags.writeable = False
                usable = False
            elif kind == 1 and arrays[k].ndim > 1:
                arrays[k] = arrays[k][..., :-1]
                usable = False
            elif kind == 2:
                arrays[k] = arrays[k].astype(np.float32)
            else:
                arrays[k] = np.asfortranarray(arrays[k])[::-1]
        out = tuple(arrays)
        if r.random() < 0.1:
            out = r.choice([out[:5], out + (np.zeros(1),), list(out), None])
        i = r.choice([0, steps - 1] * 8 + [steps, 2**63, -1, 1.0])
        if not (isinstance(i, int) and 0 <= i < steps):
            usable = False
        return i, out, usable

    # -- callbacks ----------------------------------------------------------

    def callback(self, f, pass_dt, columns, inputs=()):
        """fx (pass_dt) or hx for filter f, returning `columns` columns."""
        r = self.r
        kind = r.choice(["ok"] * 8 + ["identity", "fortran", "strided", "wrong_shape", "wrong_dtype", "list",
                                      "none", "1d", "nan_row", "inf", "overflow", "huge", "raise", "raise_base",
                                      "reenter_same", "reenter_other", "bank", "mutate_inputs", "mutate_x",
                                      "sleep", "gc", "subclass", "readonly", "record_alias", "record_alias"])
        fz = self
        mix = self.g.standard_normal((dims_of(f)[0], columns)) * 0.3

        def cb(X, *args):
            if pass_dt and not args:
                raise AssertionError("fx called without dt")
            ok = X @ mix if X.shape[1] != columns else X + 0.01 * (X @ mix)
            if kind == "ok":
                return ok
            if kind == "identity":
                return X if X.shape[1] == columns else ok
            if kind == "fortran":
                return np.asfortranarray(ok)
            if kind == "strided":
                big = np.zeros((ok.shape[0] * 2, ok.shape[1] * 3))
                big[::2, ::3] = ok
                return big[::2, ::3]
            if kind == "wrong_shape":
                return np.zeros((ok.shape[0] + r.choice([-1, 1]), ok.shape[1]))
            if kind == "wrong_dtype":
                return ok.astype(np.float32)
            if kind == "list":
                return ok.tolist()
            if kind == "none":
                return None
            if kind == "1d":
                return ok.reshape(-1)
            if kind == "nan_row":
                ok[r.randrange(ok.shape[0]), r.randrange(ok.shape[1])] = np.nan
                return ok
            if kind == "inf":
                ok[-1, 0] = -np.inf
                return ok
            if kind == "overflow":
                return X * 1e300 if X.shape[1] == columns else ok * 1e300
            if kind == "huge":
                return ok + 1e154
            if kind == "raise":
                raise CallbackError("callback raised")
            if kind == "raise_base":
                raise CallbackBaseError("callback raised BaseException")
            if kind == "reenter_same":
                fz.nested(f)
                return ok
            if kind == "reenter_other":
                fz.nested(r.choice(fz.shared + fz.private))
                return ok
            if kind == "bank":
                fz.nested(None)
                return ok
            if kind == "mutate_inputs":
                for a in inputs:
                    if isinstance(a, np.ndarray) and a.flags.writeable and a.dtype == np.float64 and a.size < 4096:
                        a[...] = np.nan if r.random() < 0.5 else 7.0
                return ok
            if kind == "record_alias":  # another filter records its step into memory this call reads
                fz.record_into(r.choice(fz.shared + fz.private), [a for a in inputs if a is not None] + [X])
                return ok
            if kind == "mutate_x":
                X[...] = np.nan
                return ok
            if kind == "sleep":
                time.sleep(0.0002)
                return ok
            if kind == "gc":
                gc.collect()
                return ok
            if kind == "subclass":
                return ok.view(Sub)
            if kind == "readonly":
                ok.flags.writeable = False
                return ok
            raise AssertionError(kind)

        cb.kind = kind
        return cb

    def record_into(self, g, arrays):
        """g.record_step with one output replaced by a view of one of `arrays` (same memory)."""
        if self.depth >= 2:
            return
        try:
            i, out, usable = self.out_tuple(g, plain=True)
        except RuntimeError:  # g is busy
            return
        out = list(out)
        a = self.r.choice(arrays)
        if not (isinstance(a, np.ndarray) and a.dtype == np.float64 and a.flags.writeable and a.ndim <= 2):
            return
        k = {1: [4, 5], 2: [0, 2]}.get(a.ndim, [4])
        pos = self.r.choice(k)
        if a.ndim == 1 and a.shape[0] > i or a.ndim == 2 and a.shape[0] > i and a.shape[1] >= out[pos].shape[1]:
            out[pos] = a
        else:
            usable = False
        self.depth += 1
        try:
            self.execute("record_step", g.record_step, [i, tuple(out)], {}, g, usable, nested=True,
                         note=f"; from inside a callback, out[{pos}] is memory the outer call reads")
        finally:
            self.depth -= 1

    def nested(self, f):
        """A random call made from inside a callback (depth-limited)."""
        if self.depth >= 2:
            return
        self.depth += 1
        try:
            self.one_call(f, nested=True)
        finally:
            self.depth -= 1

    # -- calls --------------------------------------------------------------

    def plan(self, f):
        """(label, bound callable, args, kwargs, filter or None, inputs) for one random call."""
        r = self.r
        if f is None:
            return self.plan_function()
        n, m = dims_of(f)
        sr = is_sr(f)
        methods = ["set_state", "set_dt", "predict_custom", "clear_update_diagnostics", "reset_jitter_counters",
                   "update", "get", "set", "load_snapshot", "copy", "record_step", "snapshot"]
        if not sr:
            methods += ["predict_standard_model", "predict_standard_model_ckf", "predict_linear_model",
                        "predict_linear_model_ckf", "update_paper_ahrs", "normalize_quaternion_state",
                        "supported_standard_models", "supported_standard_layouts"]
        weights = {"predict_custom": 6, "update": 6, "get": 3, "set": 4, "record_step": 2}
        meth = r.choices(methods, [weights.get(x, 1) for x in methods])[0]
        args, kwargs, inputs = [], {}, ()
        if meth == "set_state":
            args = [self.array((n,)), self.array((n, n), "spd"), self.array((n, n), "spd"),
                    self.array((m, m), "spd")]
        elif meth == "set_dt":
            args = [self.double()]
        elif meth == "predict_custom":
            args = [self.callback(f, True, n)]
            if r.random() < 0.5:
                kwargs["dt"] = self.double() if r.random() < 0.3 else r.choice([0.1, 1.0, None])
            if r.random() < 0.3:
                kwargs["fx_args"] = r.choice([(), (1, "a"), None, [1], "ab", (Weird(),)])
        elif meth == "update":
            z = self.array((m,))
            if r.random() < 0.4:
                kwargs["r"] = self.array((m, m), "spd")
            args = [z if r.random() > 0.05 else None, self.callback(f, False, m, (z, kwargs.get("r")))]
            if r.random() < 0.2:
                kwargs["hx_args"] = r.choice([(), (2.0,), None, {}, (Weird(),)])
        elif meth in ("get",):
            args = [self.name(f)]
        elif meth == "set":
            name = self.name(f)
            args = [name, self.field_value(f, name)]
        elif meth == "load_snapshot":
            src = r.choice(self.shared + self.private)
            try:
                state = src.snapshot()
            except RuntimeError:
                state = {}
            if r.random() < 0.5 and state:
                for k in r.sample(list(state), r.randint(1, min(4, len(state)))):
                    state[k] = self.field_value(f, k) if r.random() < 0.7 else None
            if r.random() < 0.1:
                state = r.choice([{BadKey("x"): 1}, {"dt": 1.0, "dim_x": 9}, [("x", 1)], None, {}])
            args = [state]
        elif meth == "record_step":
            i, out, usable = self.out_tuple(f)
            args = [i, out]
            inputs = usable
        elif meth in ("predict_standard_model", "predict_standard_model_ckf"):
            args = [r.choice(["constant_velocity", "constant_acceleration", "const_velocity", "", 3, None])]
            if r.random() < 0.5:
                kwargs["layout"] = r.choice(["blocked", "interleaved", "Blocked", None, 1])
        elif meth in ("predict_linear_model", "predict_linear_model_ckf"):
            args = [self.array((n, n), "eye")]
        elif meth == "update_paper_ahrs":
            z = self.array((6,))
            if r.random() < 0.5 and isinstance(z, np.ndarray) and z.shape == (6,) and z.dtype == np.float64:
                z = np.array([0.1, 0.2, 9.8, 0.3, 0.0, 0.5]) + 0.1 * self.g.standard_normal(6)
            args = [z, r.choice([0.01, 1.0, self.double()]), r.choice([0.01, 1.0, self.double()])]
        args, kwargs = self.mangle(args, kwargs)
        return meth, getattr(f, meth), args, kwargs, f, inputs

    def plan_function(self, which=None):
        r = self.r
        which = which or r.choice(["batch_parallel_step", "batch_filter_linear", "rts_smooth", "ctor", "unbound"])
        if which == "ctor":
            args = [self.size() if r.random() < 0.3 else r.choice([1, 2, 4]),
                    self.size() if r.random() < 0.3 else r.choice([1, 2, 6]),
                    self.double() if r.random() < 0.3 else 0.1]
            args, kwargs = self.mangle(args, {})
            cls = r.choice([CKF, SR])
            return cls.__name__, cls, args, kwargs, None, ()
        if which == "unbound":  # a method called with a receiver of the wrong class
            cls = r.choice([CKF, SR])
            recv = r.choice([CKF(2, 1, 0.1), SR(2, 1, 0.1), None, 1])
            meth = r.choice(["get", "snapshot", "copy", "set_dt", "reset_jitter_counters"])
            args = {"get": ["x"], "set_dt": [0.5]}.get(meth, [])
            return f"{cls.__name__}.{meth}", getattr(cls, meth), [recv] + args, {}, None, ()
        n = r.choice([1, 2, 3, 4])
        m = r.choice([1, 2, 3])
        count = r.choice([1, 2, 5, 40])
        if which == "batch_parallel_step":
            args = [self.array((count, n)), self.array((count, n, n), "spd"), self.array((count, m)),
                    self.array((n, n), "eye"), self.array((m, n)), self.array((n, n), "spd"),
                    self.array((m, m), "spd")]
            if r.random() < 0.2:  # arrays that record_step in other threads writes into
                n, m = BANK_X.shape[1], BANK_Z.shape[1]
                args = [BANK_X, self.array((BANK_X.shape[0], n, n), "spd"), BANK_Z, np.eye(n), np.ones((m, n)),
                        np.eye(n), np.eye(m)]
        elif which == "batch_filter_linear":
            args = [self.array((n,)), self.array((n, n), "spd"), self.array((count, m)),
                    self.array((count, n, n), "eye"), self.array((count, m, n)), self.array((count, n, n), "spd"),
                    self.array((count, m, m), "spd")]
        else:
            steps = count - (1 if r.random() < 0.3 and count > 1 else 0)
            args = [self.array((count, n)), self.array((count, n, n), "spd"), self.array((steps, n, n), "eye"),
                    self.array((steps, n, n), "spd")]
        args, kwargs = self.mangle(args, {})
        return which, getattr(native, which), args, kwargs, None, ()

    def mangle(self, args, kwargs):
        """Sometimes break the arity: drop, add, duplicate or misname arguments, or pass by keyword."""
        r = self.r
        roll = r.random()
        if roll > 0.08:
            return args, kwargs
        args = list(args)
        if roll < 0.02 and args:
            args.pop()
        elif roll < 0.04:
            args.append(1)
        elif roll < 0.06:
            kwargs = dict(kwargs, bogus=1)
        elif args:
            kwargs = dict(kwargs)
            kwargs[r.choice(["name", "x", "z", "dt", "fx", "i", "xs", "dim_x", "state"])] = args[-1]
        return args, kwargs

    def one_call(self, f=None, nested=False):
        r = self.r
        if f is None and not nested:
            pick = r.random()
            if pick < 0.35:
                f = r.choice(self.shared)
            elif pick < 0.8:
                f = r.choice(self.private)
        if f is None and nested:  # the filter bank from inside a callback
            label, fn, args, kwargs, target, inputs = self.plan_function("batch_parallel_step")
        else:
            try:
                label, fn, args, kwargs, target, inputs = self.plan(f)
            except RuntimeError:  # the filter is busy in another thread: reading its dims failed
                return
        self.execute(label, fn, args, kwargs, target, inputs, nested)

    def execute(self, label, fn, args, kwargs, target, inputs, nested, note=""):
        """Make one call and classify its outcome."""
        r = self.r
        mine = target is not None and any(target is p for p in self.private) and not nested
        before = snapshot_of(target) if mine else None
        was_finite = finite_state(target) if mine else False
        self.calls += 1
        call_id = f"seed {self.seed} call {self.calls}{' (nested)' if nested else ''}{note}"
        try:
            result = fn(*args, **kwargs)
        except BaseException as e:
            self.outcomes[type(e).__name__] += 1
            self.classify(e, call_id, label, args, kwargs, target, inputs, mine, before)
            return
        self.outcomes["returned"] += 1
        self.check_result(call_id, label, args, kwargs, result, target, mine, was_finite)
        if label in ("copy", "CubatureKalmanFilter", "SquareRootCubatureKalmanFilter") and r.random() < 0.3:
            self.shared[r.randrange(len(self.shared))] = result

    def classify(self, e, call_id, label, args, kwargs, target, inputs, mine, before):
        """Judge an exception that came out of a call."""
        if isinstance(e, (KeyboardInterrupt, SystemExit)):
            raise e
        if isinstance(e, (CallbackError, CallbackBaseError)):
            return
        if isinstance(e, ALLOWED):
            if mine and label not in ("set_state", "load_snapshot"):  # these keep earlier assignments
                after = snapshot_of(target)
                changed = [k for k in before if k not in COUNTERS and not same(before[k], after[k])]
                if changed:
                    self.fail(call_id, label, args, kwargs,
                              f"failed with {type(e).__name__}: {e} but changed fields {changed}")
            return
        if type(e).__name__ == "PanicException" and label == "record_step" and not inputs:
            return  # the caller's own output arrays are unusable: a documented panic
        self.fail(call_id, label, args, kwargs, f"raised {type(e).__module__}.{type(e).__name__}: {e}")

    def check_result(self, call_id, label, args, kwargs, result, target, mine, was_finite):
        if label.startswith(("predict", "update")):
            if mine and was_finite and not finite_state(target):
                self.fail(call_id, label, args, kwargs, "succeeded but stored a non-finite state")
        elif label == "batch_parallel_step":
            xs, ps, ll, status = result
            ok = (status == 0) | (status == 1)
            if not (np.isfinite(xs[ok]).all() and np.isfinite(ps[ok]).all()):
                self.fail(call_id, label, args, kwargs, "status 0/1 reported for a non-finite result row")
            if status.dtype != np.int64 or not set(np.unique(status)) <= {0, 1, 2, 3}:
                self.fail(call_id, label, args, kwargs, f"bad status array {status!r}")
        elif label == "batch_filter_linear":
            xs, ps, _ = result
            if not (np.isfinite(xs).all() and np.isfinite(ps).all()):
                self.fail(call_id, label, args, kwargs, "returned non-finite states without an error")

    def fail(self, call_id, label, args, kwargs, what):
        text = f"{label}: {what}\n  {call_id}\n  args: " + ", ".join(describe(a) for a in args)
        if kwargs:
            text += "\n  kwargs: " + ", ".join(f"{k}={describe(v)}" for k, v in kwargs.items())
        self.report(label + ": " + what.splitlines()[0][:120], text)

    def reseed(self):
        """Give a private filter a moderate state again (predictions make P grow without bound)."""
        f = self.r.choice(self.private)
        n, _ = dims_of(f)
        f.set("x", self.g.standard_normal(n))
        f.set("P", self.spd(n))

    def run(self):
        np.seterr(all="ignore")  # per thread: callbacks overflow on purpose
        while self.calls < self.budget:
            if self.r.random() < 0.02:
                self.reseed()
            self.one_call()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--calls", type=int, default=100_000, help="total calls over all threads (at least)")
    ap.add_argument("--threads", type=int, default=4)
    ap.add_argument("--seed", type=int, default=20261206)
    args = ap.parse_args()
    faulthandler.enable()
    sys.setswitchinterval(1e-4)  # many thread switches, also inside callbacks

    findings = {}
    lock = threading.Lock()

    def report(key, text):
        with lock:
            entry = findings.setdefault(key, [0, text])
            entry[0] += 1

    seeder = random.Random(args.seed)
    shared_maker = Fuzzer(args.seed, [], report, 0)
    shared = [shared_maker.new_filter(c) for c in (CKF, SR) * 4] + [CKF(4, 6, 0.01)]
    per_thread = -(-args.calls // args.threads)
    fuzzers = [Fuzzer(seeder.randrange(2**32), shared, report, per_thread) for _ in range(args.threads)]
    errors = []

    def body(fz):
        try:
            fz.run()
        except BaseException:  # noqa: BLE001 - a fuzzer bug must not pass silently
            errors.append(traceback.format_exc())

    start = time.perf_counter()
    # Not daemon threads: every thread is joined before the interpreter exits.
    threads = [threading.Thread(target=body, args=(fz,)) for fz in fuzzers]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    total = sum(fz.calls for fz in fuzzers)
    print(f"fuzz_native: {total} calls in {args.threads} threads, seed {args.seed}, "
          f"{time.perf_counter() - start:.1f} s")
    outcomes = sum((fz.outcomes for fz in fuzzers), collections.Counter())
    print("outcomes: " + ", ".join(f"{k} {v}" for k, v in outcomes.most_common()))
    for text in errors:
        print("fuzzer error:\n" + text)
    for key, (count, text) in sorted(findings.items()):
        print(f"\nFINDING ({count}x) {text}")
    if errors or findings or total < args.calls:
        print(f"fuzz_native: FAILED ({len(findings)} distinct findings)")
        return 1
    print("fuzz_native: no findings")
    return 0


if __name__ == "__main__":
    sys.exit(main())
