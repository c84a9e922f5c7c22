"""Bounded random-call fuzz of vexel_ckf._engine and the public Python layer.

Several threads make random calls, with a fixed seed, to `CKFBank` (every
method, every attribute, per-call fx_args/hx_args, `missing` masks good and
bad, keep with masks and indices of every integer kind, copies, pickles and
dicts), `VexelCKF` with angle options (whose steps run in `_engine`), stored
fx_args/hx_args and nan_means_missing, the whole-array functions on single
sequences and panels with gaps, `filter_bank_step`, the cubature smoother,
the Dask functions on the threaded scheduler, the nonlinear panels
(`cubature_filter`, `cubature_panel_smoother`, their Dask twins and the raw
`_engine.cubature_panel`) and the raw `_engine` entry points.  Arguments
have random shapes, dtypes and layouts, NaN and infinities, and huge sizes
that must fail fast; callbacks misbehave (raise, return the wrong thing,
non-finite rows, re-enter the bank or another object, keep, freeze, mutate
or resize the arrays they were given, write into the arrays a running panel
reads, make temporaries of awkward sizes).  Some banks and filters are
shared by all threads.

Compiled models go everywhere a Python callback goes.  At start the fuzz
compiles C models of its own with the system C compiler (the C-function
forms are skipped without one): an fx and an hx for any dimensions that
return a nonzero code at the first point past a threshold given as a
parameter (after writing part of the images) and give NaN or infinite
images below another, so failures can be switched on for some filters and
steps.  Only these real functions are handed over by address.  Random
calls build the built-in models (`vexel_ckf.models`) with good and bad
arguments (a good one reads back, pickles and reprs to the same model, bit
for bit), `_engine.CompiledModel` by hand (built-in names and constants,
addresses, capsules named by every accepted spelling of the signature and by
wrong ones, user data as capsules, addresses or capsule contexts, dims,
angles, text, reduce, keep: good arguments read back, one bad argument is
refused with its exception), the C-level forms (ctypes functions of right and
wrong signatures, capsules, scipy LowLevelCallables: one function, one
model); they call models from Python with random points, dt and parameters
against the return codes and NumPy twins (each image its own point's);
give compiled models (sometimes also to the random filters and banks above)
to VexelCKF with angle options and nan_means_missing, to CKFBank, to the
smoothers and to `_engine.run_filter` (odd arguments; a progress callback
that raises or re-enters stops the run after the steps it reported, the
filter then as steps by hand leave it); and hand over models of the other
kind (TypeError) or other dimensions (ValueError), changing nothing.

A call may only end normally or with a documented exception: TypeError,
ValueError, OverflowError, RuntimeError, MemoryError, the callback's own
exception, and AttributeError / NotImplementedError where the guide names
them.  On objects private to a thread, a failed call leaves `to_dict()`
exactly as it was (NaN-aware, bit for bit), apart from the documented partial
cases.  Further checks on private objects: a bank callback's wrong output
raises an error whose `reason`, `callback`, `expected_shape` and `got` say
what happened (a `VexelCKF` chains its clearer error to that one); `_engine.bank_field_table()` agrees with `to_dict()` and with
what each field reads back, and `STATUS_CODES` with `_engine.status_texts`;
one angle option, valid or not, is read the same way by `VexelCKF`,
`CKFBank` and `cubature_smoother`.  Differential checks run on a sample:

* a bank against one lone `VexelCKF` per filter, through random sequences of
  predictions, updates, assignments, keep, add, copies and runs with faults
  mixed in (unfactorable covariances, non-finite or overflowing images,
  partly missing measurements, `missing` masks against update(None) or
  nan_means_missing, per-call callback arguments, raising callbacks), bit
  for bit;
* `VexelCKF.run` with stored options against a twin stepped by hand with
  per-call ones, through copies, pickles and dicts, and its smoothing
  against `cubature_smoother`;
* a panel against each of its sequences filtered alone, bit for bit, and
  the smoothers against the filter followed by the RTS smoother;
* `filter_bank_step` against each filter stepped alone and against the
  textbook step;
* the cubature smoother with many steps per call against one step per call,
  and on linear models against a textbook RTS smoother;
* the Dask functions against the in-memory ones;
* the nonlinear panels against each sequence through a lone `VexelCKF` run
  and smooth, bit for bit (the rows before a sequence stopped, NaN rows
  from there, its total and its status 2 or 3 from the exception the lone
  filter raised there), with Python models that fail by each point alone
  (NaN or infinite images, raising past a threshold: the whole call raises
  exactly when some sequence alone does), compiled models failing on
  parameters, and compiled models called through Python (the panel's Python
  path against the native lone filter), through gaps, per-sequence time
  steps, Q and R per step or per sequence in every shape, angles, one
  sequence without the panel axis, first_sequence in messages, both forms,
  covariances or not; now and then their Dask twins against them;
* the native cubature_panel with arrays of odd layouts (strided, Fortran,
  reversed, misaligned by one byte, read-only) against C-contiguous copies;
* panels in several threads at once, beside banks stepping: each call's
  bits are those it gives alone;
* with compiled models (built-ins and the fuzz's C models in every form):
  a bank against lone filters through sequences in which models fail on
  some filters' points or give them non-finite images, with NaN rows,
  masks, keep and add (a failure is bad data for that filter alone); the
  native `VexelCKF.run` against the same filter stepped by hand (rows,
  priors, log-likelihoods, NIS, the state where a failing model stopped the
  run and the step its note names), with gaps and dts; the smoother with a
  compiled fx against the same function called through Python, bit for bit.

Each differential case is rebuilt from its own seed, so `--replay KIND:SEED`
runs one case alone and prints its log (cbank, clone, csmoother and ccpanel
for the compiled-model cases).  `--panel-findings` adds the comparison of
the square-root panel smoother with `VexelCKF.smooth` without Q (see PANEL_FINDINGS).  A watchdog reports a call that runs
longer than `--hang` seconds (with every thread's stack) and stops the run;
a call that holds the interpreter lock all that time stops the watchdog too,
so a timer it re-arms every second dumps every thread's stack and ends the
process after twice that.
Exits 1 after listing every distinct failure with a reproducer description,
0 otherwise.
"""

import argparse
import collections
import ctypes
import faulthandler
import gc
import os
import pickle
import random
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import warnings

import numpy as np

import dask
import dask.array as da

import vexel_ckf
import vexel_ckf.dask as vd
from vexel_ckf import (CKFBank, CompiledModel, RunResult, VexelCKF, batch_filter, batch_smoother, cubature_filter,
                       cubature_panel_smoother, cubature_smoother, filter_bank_step, models, rts_smoother)
from vexel_ckf import _cubature_panel, _engine
from vexel_ckf._common import picklable
from vexel_ckf._filter import _CKF, _SRCKF
from vexel_ckf._models import as_model

ALLOWED = (TypeError, ValueError, OverflowError, RuntimeError, MemoryError)
HUGE = [2**31, 2**32 + 1, 2**40, 2**62, 2**63 - 1, 2**63, 2**64 - 1, 2**64, 10**30, -1, -(2**63)]
# Sizes of the callbacks' temporaries: around the warm memory handler's
# threshold between glibc blocks and kept blocks (256 KiB), inside and on both
# sides of the last 64-byte rounding step below it, and a few larger ones.
TEMP_BYTES = [262_080, 262_081, 262_100, 262_143, 262_144, 262_145, 200_000, 300_000, 1 << 20, 3 << 20, 64, 0]
COUNTERS = {"last_jitter", "max_jitter", "jitter_count", "singular_innovation_count", "downdate_fallback_count"}
BANK_SETTABLE = ["xs", "Ps", "xs_prior", "Ps_prior", "Q", "R", "dt", "fx", "hx", "fx_args", "hx_args"]
BANK_READONLY = ["status", "log_likelihoods", "nis", "jitter_counts", "M", "dim_x", "dim_z", "angle_states",
                 "angle_measurements", "bogus"]
BANK_FIELDS = ["xs", "Ps", "xs_prior", "Ps_prior", "Q", "R", "status", "log_likelihoods", "nis", "jitter_counts",
               "pending_status", "count", "bogus", "", None, 3]

_local = threading.local()


class CallbackError(Exception):
    """Raised on purpose by a callback or a Python protocol the package calls."""


class CallbackBaseError(BaseException):
    """Raised on purpose by a callback; not an Exception."""


class Weird:
    """An object whose number protocols raise."""

    def __float__(self):
        raise CallbackError("__float__")

    def __index__(self):
        raise CallbackError("__index__")


class Failed:
    """What `execute` returns for a call that raised."""

    def __init__(self, exc):
        self.exc = exc


def outcome(res):
    """What a call gave, for a message: its exception or 'a result'."""
    return repr(res.exc) if isinstance(res, Failed) else "a result"


def same(a, b):
    """Equality bit for bit, NaN matching NaN whatever its payload; recursive over dicts, lists and tuples."""
    if isinstance(a, dict) or isinstance(b, dict):
        return (isinstance(a, dict) and isinstance(b, dict) and a.keys() == b.keys()
                and all(same(a[k], b[k]) for k in a))
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if a is None or b is None:
        return a is None and b is None
    if isinstance(a, (np.ndarray, np.generic, float)) or isinstance(b, (np.ndarray, np.generic, float)):
        a, b = np.asarray(a), np.asarray(b)
        if a.shape != b.shape or a.dtype != b.dtype:
            return False
        if a.dtype.kind == "f":
            na, nb = np.isnan(a), np.isnan(b)
            return bool(np.array_equal(na, nb)) and a[~na].tobytes() == b[~nb].tobytes()
        return a.tobytes() == b.tobytes()
    return type(a) is type(b) and a == b


def native_order(v):
    """v with every array in it (through tuples) in native byte order."""
    if isinstance(v, tuple):
        return tuple(native_order(x) for x in v)
    if isinstance(v, np.ndarray) and v.dtype.byteorder not in ("=", "|"):
        return v.astype(v.dtype.newbyteorder("="))
    return v


def changed_keys(before, after, skip=()):
    return [k for k in set(before) | set(after) if k not in skip and not same(before.get(k), after.get(k))]


def describe(v, depth=0):
    """Text that rebuilds an argument (small arrays in full)."""
    if isinstance(v, np.ndarray):
        flags = "C" if v.flags.c_contiguous else "F" if v.flags.f_contiguous else "strided"
        text = f"array(shape={v.shape}, dtype={v.dtype}, strides={v.strides}, {flags}"
        if not v.flags.writeable:
            text += ", read-only"
        if v.size <= 48 and max(v.shape, default=0) <= 48 and v.dtype != object:
            with np.printoptions(precision=17, threshold=100, linewidth=10**6):
                text += ", values=" + repr(np.asarray(v).tolist())
        return text + ")"
    if isinstance(v, da.Array):
        return f"dask.array(shape={v.shape}, chunks={v.chunks}, dtype={v.dtype})"
    if isinstance(v, (tuple, list)) and depth < 2 and len(v) < 12:
        inner = ", ".join(describe(x, depth + 1) for x in v)
        return f"({inner}{',' if len(v) == 1 else ''})" if isinstance(v, tuple) else f"[{inner}]"
    if isinstance(v, dict) and depth < 2:
        return "{" + ", ".join(f"{k!r}: {describe(x, depth + 1)}" for k, x in v.items()) + "}"
    if isinstance(v, CompiledModel):
        return repr(v)
    if callable(v) and hasattr(v, "kind"):
        return f"<callback {v.kind}>"
    if isinstance(v, CKFBank):
        return f"CKFBank(M={len(v)}, dim_x={v.dim_x}, dim_z={v.dim_z})" if not _busy(v) else "CKFBank(busy)"
    return repr(v)[:200]


def _busy(bank):
    try:
        len(bank)
        return False
    except RuntimeError:
        return True


# -- deterministic row-wise models --------------------------------------------
# The differential checks feed a bank and its lone filters the same rows, so
# every model here computes each output element from its own row with
# correctly rounded operations only (no BLAS, whose blocking depends on the
# number of rows, and no transcendental functions, whose vector and scalar
# paths may differ in the last bit).

def rowwise_linear(X, A):
    """X @ A.T, one element at a time in a fixed order."""
    out = np.empty((X.shape[0], A.shape[0]))
    for j in range(A.shape[0]):
        acc = X[:, 0] * A[j, 0]
        for k in range(1, A.shape[1]):
            acc = acc + X[:, k] * A[j, k]
        out[:, j] = acc
    return out


def soft(X):
    return X * X / (1.0 + X * X)


class Model:
    """fx and hx of one differential case, with per-filter faults switched on by the case."""

    def __init__(self, g, n, m, linear):
        self.n, self.m = n, m
        self.A = np.eye(n) + 0.15 * g.standard_normal((n, n))
        self.H = g.standard_normal((m, n))
        self.linear = linear
        self.fx_faults = {}   # filter id -> (row, col, value or "scale")
        self.hx_faults = {}   # filter id -> (row, col, value) or "const"
        self.ids = []         # filter id of each bank row
        self.fx_raises = False
        self.hx_raises = False

    # Extra callback arguments (fx_args, hx_args) shift the images by their
    # sum, so that arguments lost or taken from the wrong place on the way to
    # the callback change the result instead of passing unnoticed.

    def base_fx(self, X, dt, *extra):
        Y = rowwise_linear(X, self.A)
        Y = Y if self.linear else Y + (0.05 * dt) * soft(X)
        return Y + float(sum(extra)) if extra else Y

    def base_hx(self, X, *extra):
        Z = rowwise_linear(X, self.H)
        Z = Z if self.linear else Z + 0.01 * soft(X[:, :1])
        return Z + float(sum(extra)) if extra else Z

    def _poke_fx(self, Y, start, fault):
        row, col, value = fault
        if value == "scale":
            Y[start:start + 2 * self.n] *= 1e200
        else:
            Y[start + row, col] = value

    def _poke_hx(self, Z, start, fault):
        rows = slice(start, start + 2 * self.n)
        if fault == "const":
            Z[rows] = Z[rows].mean(axis=0)
        else:
            row, col, value = fault
            Z[start + row, col] = value

    def bank_fx(self, X, dt, *extra):
        if self.fx_raises:
            raise CallbackError("fx of the bank raised")
        Y = self.base_fx(X, dt, *extra)
        for i, uid in enumerate(self.ids):
            if uid in self.fx_faults:
                self._poke_fx(Y, 2 * self.n * i, self.fx_faults[uid])
        return Y

    def bank_hx(self, X, *extra):
        if self.hx_raises:
            raise CallbackError("hx of the bank raised")
        Z = self.base_hx(X, *extra)
        for i, uid in enumerate(self.ids):
            if uid in self.hx_faults:
                self._poke_hx(Z, 2 * self.n * i, self.hx_faults[uid])
        return Z

    def lone_fx(self, uid):
        def fx(X, dt, *extra):
            Y = self.base_fx(X, dt, *extra)
            if uid in self.fx_faults:
                self._poke_fx(Y, 0, self.fx_faults[uid])
            return Y
        return fx

    def lone_hx(self, uid):
        def hx(X, *extra):
            Z = self.base_hx(X, *extra)
            if uid in self.hx_faults:
                self._poke_hx(Z, 0, self.hx_faults[uid])
            return Z
        return hx


class PointFaults:
    """fx and hx of a nonlinear-panel case: `Model`'s row-wise images, failing by each point's first entry alone.

    A panel with a Python model stacks the points of every running sequence
    in one call, so a fault keyed to a filter or to a place in the call (as
    `Model`'s are) would differ from the lone filters by construction; these
    give a NaN (fx) or infinite (hx) image for a point past a threshold, or
    raise when any point is past another."""

    def __init__(self, model, nan_fx=None, inf_hx=None, raise_fx=None, raise_hx=None):
        self.model = model
        self.nan_fx, self.inf_hx, self.raise_fx, self.raise_hx = nan_fx, inf_hx, raise_fx, raise_hx

    @staticmethod
    def past(X, threshold):
        return np.zeros(X.shape[0], dtype=bool) if threshold is None else X[:, 0] > threshold

    def fx(self, X, dt, *extra):
        if self.past(X, self.raise_fx).any():
            raise CallbackError("fx raised past its threshold")
        Y = self.model.base_fx(X, dt, *extra)
        Y[self.past(X, self.nan_fx), 0] = np.nan
        return Y

    def hx(self, X, *extra):
        if self.past(X, self.raise_hx).any():
            raise CallbackError("hx raised past its threshold")
        Z = self.model.base_hx(X, *extra)
        Z[self.past(X, self.inf_hx), -1] = np.inf
        return Z

    def text(self):
        return (f"linear={self.model.linear} nan_fx={self.nan_fx} inf_hx={self.inf_hx} raise_fx={self.raise_fx} "
                f"raise_hx={self.raise_hx}")


def through_python(held, kind, size):
    """A compiled model (`held`, a CompiledModel) called from Python, failing as the native path fails it.

    Natively a failure code or a non-finite image stops the sequence whose
    points gave it (status 3); from Python a failure code would end the
    whole call, so the fuzz's C model's failing points (its first parameter
    a threshold) and a built-in's refusal of any parameter give NaN images
    instead, which stop the same sequences at the same steps."""
    builtin = repr(held).startswith("models.")

    def call(X, *rest):
        head, params = (rest[:1], rest[1:]) if kind == "fx" else ((), rest)
        if builtin and params:
            return np.full((X.shape[0], size), np.nan)
        if builtin or not params:
            return np.asarray(held(X, *head, *params))
        Y = np.array(held(X, *head, 1e300, *params[1:]))
        Y[X[:, 0] > params[0]] = np.nan
        return Y

    return call


def noise_form(r, g, M, N, s, scale):
    """Q or R of a nonlinear-panel case in one of the forms the panels take.

    Returns the argument, the (M, N, s, s) stack it stands for, whether it
    varies along the steps, and whether a 3-D stack is ambiguous (M == N)."""
    base = spd(g, s, scale)
    form = r.choice(["scalar", "one", "one", "steps", "sequences", "steps4", "sequences4", "full"])
    if form == "scalar":
        v = scale * r.choice([0.5, 1.0, 2.0])
        return v, np.broadcast_to(v * np.eye(s), (M, N, s, s)), False, False
    if form == "one":
        return base, np.broadcast_to(base, (M, N, s, s)), False, False
    steps = np.stack([base * (1.0 + 0.1 * k) for k in range(N)])
    seqs = np.stack([base * (1.0 + 0.2 * i) for i in range(M)])
    ambiguous = M == N and M > 1
    if ambiguous and form in ("steps", "sequences") and r.random() < 0.7:
        form += "4"
    if form == "steps":
        return steps, np.broadcast_to(steps, (M, N, s, s)), N > 1, ambiguous
    if form == "steps4":
        return steps[None], np.broadcast_to(steps, (M, N, s, s)), N > 1, False
    if form == "sequences":
        return seqs, np.broadcast_to(seqs[:, None], (M, N, s, s)), False, ambiguous
    if form == "sequences4":
        return seqs[:, None], np.broadcast_to(seqs[:, None], (M, N, s, s)), False, False
    full = seqs[:, None] * (1.0 + 0.1 * np.arange(N))[None, :, None, None]
    return full, full, N > 1, False


def steps_form(r, g, M, N, single):
    """dts of a nonlinear-panel case in one of its forms, with the (M, N) array it stands for. Repeated values
    make several groups of sequences per step on the Python path (one model call per distinct time step)."""
    forms = ["scalar", "shared", "list"] + ([] if single else ["per_sequence", "per_sequence", "column",
                                                               "repeats"]) + ["row"]
    form = r.choice(forms)
    low = r.choice([0.2, 0.2, -0.5])
    if form == "scalar":
        v = r.choice([1.0, 0.5, 0.25, 0.0])
        return v, np.full((M, N), v)
    if form in ("shared", "list", "row"):
        v = g.uniform(low, 1.5, N)
        arg = v.tolist() if form == "list" else v[None] if form == "row" else v
        return arg, np.broadcast_to(v, (M, N))
    if form == "column":
        v = g.uniform(low, 1.5, (M, 1))
        return v, np.broadcast_to(v, (M, N))
    v = g.choice([0.25, 0.5, 1.0], (M, N)) if form == "repeats" else g.uniform(low, 1.5, (M, N))
    return v, v


def stack(mats, shape):
    return np.stack(mats) if mats else np.zeros((0,) + shape)


def spd(g, n, scale=1.0):
    a = g.standard_normal((n, n))
    return scale * (a @ a.T / max(n, 1) + np.eye(n))


LN_2PI = np.log(2.0 * np.pi)


def textbook_step(x, P, z, F, H, Q, R):
    """One textbook Kalman predict/update (None for z means predict only)."""
    x, P = F @ x, F @ P @ F.T + Q
    if z is None:
        return x, P, np.nan
    S = H @ P @ H.T + R
    K = np.linalg.solve(S, H @ P).T
    y = z - H @ x
    ll = -0.5 * (y @ np.linalg.solve(S, y) + len(z) * LN_2PI + np.linalg.slogdet(S)[1])
    return x + K @ y, P - K @ S @ K.T, ll


def textbook_rts(xs, Ps, F, Q):
    """Textbook RTS smoother with one F and Q (lists of per-step arrays)."""
    N = len(xs)
    sx, sP = [None] * N, [None] * N
    sx[-1], sP[-1] = xs[-1], Ps[-1]
    for k in range(N - 2, -1, -1):
        Pp = F[k] @ Ps[k] @ F[k].T + Q[k]
        G = np.linalg.solve(Pp, F[k] @ Ps[k]).T
        sx[k] = xs[k] + G @ (sx[k + 1] - F[k] @ xs[k])
        sP[k] = Ps[k] + G @ (sP[k + 1] - Pp) @ G.T
    return np.array(sx), np.array(sP)


def close(a, b, tol):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and bool(np.all(np.abs(a - b) <= tol * (1.0 + np.abs(b))))


def allowed(exc):
    return isinstance(exc, ALLOWED + (CallbackError, CallbackBaseError))


def expected_args(value):
    """The tuple of callback arguments a value stands for, or None when it is not iterable (refused)."""
    if value is None:
        return ()
    try:
        return tuple(value)
    except TypeError:
        return None


def angle_spelling(r, idx, size):
    """A random spelling of the distinct entries idx (0..size-1) that every angle option accepts.

    Returns the value and the indices the property must then give: those
    given, from 0 and in their order, or a mask's in ascending order."""
    idx = list(idx)
    kind = r.choice(["list", "tuple", "negative", "array", "mask", "bools", "numpy_ints"]
                    + (["none"] if not idx else []))
    if kind == "none":
        return None, ()
    if kind in ("mask", "bools"):
        flags = [i in idx for i in range(size)]
        if kind == "mask":
            return np.array(flags), tuple(sorted(idx))
        return (flags if r.random() < 0.5 else [np.bool_(v) for v in flags]), tuple(sorted(idx))
    r.shuffle(idx)
    if kind == "list":
        return list(idx), tuple(idx)
    if kind == "tuple":
        return tuple(idx), tuple(idx)
    given = [i - size if r.random() < 0.5 else i for i in idx]
    if kind == "negative":
        return given, tuple(idx)
    if kind == "array":
        if r.random() < 0.3:
            return np.array(idx, dtype=r.choice([np.uint8, np.uint64])), tuple(idx)
        return np.array(given, dtype=r.choice([np.int64, np.int32, np.int8])), tuple(idx)
    return [r.choice([np.int64, np.int16, np.intp])(i) for i in given], tuple(idx)


def bad_angle_option(r, size):
    """An angle option the rule refuses, and the exception it must be refused with."""
    i = r.randrange(size)
    kind = r.choice(["twice", "alias", "outside", "mask_length", "2d", "float", "scalar", "text", "mixed", "none",
                     "nested"])
    if kind == "twice":
        return [i, i] if r.random() < 0.5 else np.array([i, i]), ValueError
    if kind == "alias":
        return [i, i - size], ValueError
    if kind == "outside":
        return [r.choice([size, size + 1, -size - 1, 2**70, -(2**70)])], ValueError
    if kind == "mask_length":
        length = r.choice([size + 1, size - 1]) if size > 1 else size + 1
        flags = [r.random() < 0.5 for _ in range(length)]
        return (np.array(flags, dtype=bool) if r.random() < 0.5 or not length else flags), ValueError
    if kind == "2d":
        return np.zeros((1, 1), dtype=r.choice([np.int64, bool])), ValueError
    if kind == "float":
        return r.choice([[float(i)], [np.float64(i)], np.array([float(i)])]), TypeError
    if kind == "scalar":
        return r.choice([i, float(i), np.int64(i), np.array(i)]), TypeError
    if kind == "text":
        return r.choice([str(i), str(i).encode()]), TypeError
    if kind == "mixed":
        return [True, i], TypeError
    if kind == "none":
        return [None], TypeError
    return [[i]], TypeError


class Mismatch(Exception):
    """A differential check failed; the text says what differed."""


# -- compiled models ------------------------------------------------------------
# The fuzz's own model functions in C, compiled at start when a C compiler is
# found: models for any dimensions whose failures the fuzz switches on through
# their numeric parameters (a nonzero return after writing part of the
# images, non-finite images), so that every native path meets failing and
# misbehaving models.  Only these real functions are ever handed over by
# address, and user data only ever points at SCALES.

C_MODELS = r"""
#include <math.h>
#include <stdint.h>

static double soft(double v) { return v * v / (1.0 + v * v); }

/* A transition for any dimension d: y_j = x_j + dt (s x_{(j+1) mod d} + 0.01 soft(x_j)), with s the double at
   user_data (0.1 without).  params (a): returns 13 at the first point whose x_0 exceeds a, the rows before it
   written; (a, b): also a NaN first entry for every point whose x_0 is below b.  More params: 12; dims that are
   not d -> d: 11. */
int fz_fx(const double *p, double *o, intptr_t n, intptr_t di, intptr_t dout, double dt,
          const double *params, intptr_t n_params, void *ud) {
    if (di < 1 || dout != di || n < 0) return 11;
    if (n_params > 2) return 12;
    const double s = ud ? *(const double *)ud : 0.1;
    for (intptr_t k = 0; k < n; ++k) {
        const double *x = p + di * k;
        double *y = o + di * k;
        if (n_params >= 1 && x[0] > params[0]) return 13;
        for (intptr_t j = 0; j < di; ++j) y[j] = x[j] + dt * (s * x[(j + 1) % di] + 0.01 * soft(x[j]));
        if (n_params >= 2 && x[0] < params[1]) y[0] = NAN;
    }
    return 0;
}

/* A measurement for any dims: z_j = x_{j mod di} + s soft(x_{(j+1) mod di}), with s the double at user_data
   (0.05 without).  params as fz_fx's, with the code 23, an infinite last entry, 22 for more params and 21 for
   dims below 1. */
int fz_hx(const double *p, double *o, intptr_t n, intptr_t di, intptr_t dout, double dt,
          const double *params, intptr_t n_params, void *ud) {
    (void)dt;
    if (di < 1 || dout < 1 || n < 0) return 21;
    if (n_params > 2) return 22;
    const double s = ud ? *(const double *)ud : 0.05;
    for (intptr_t k = 0; k < n; ++k) {
        const double *x = p + di * k;
        double *z = o + dout * k;
        if (n_params >= 1 && x[0] > params[0]) return 23;
        for (intptr_t j = 0; j < dout; ++j) z[j] = x[j % di] + s * soft(x[(j + 1) % di]);
        if (n_params >= 2 && x[0] < params[1]) z[dout - 1] = INFINITY;
    }
    return 0;
}
"""

# The doubles the fuzz's C models may read as user data; never freed.
SCALES = (ctypes.c_double * 3)(0.1, -0.25, 0.4)
DEFAULT_SCALE = {"fx": 0.1, "hx": 0.05}
MODEL_ARGTYPES = [ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_double), ctypes.c_ssize_t,
                  ctypes.c_ssize_t, ctypes.c_ssize_t, ctypes.c_double, ctypes.POINTER(ctypes.c_double),
                  ctypes.c_ssize_t, ctypes.c_void_p]


def scale_address(k):
    return ctypes.addressof(SCALES) + k * ctypes.sizeof(ctypes.c_double)


def soft_np(v):
    return v * v / (1.0 + v * v)


def fz_np(kind, X, dt, scale, dim_out):
    """What fz_fx / fz_hx give without parameters (for closeness checks, not bits)."""
    d = X.shape[1]
    if kind == "fx":
        return X + dt * (scale * np.roll(X, -1, axis=1) + 0.01 * soft_np(X))
    j = np.arange(dim_out)
    return X[:, j % d] + scale * soft_np(X[:, (j + 1) % d])


def fz_code(kind, X, dim_in, dim_out, params):
    """The code fz_fx / fz_hx return for these points and parameters (0: success)."""
    base = 10 if kind == "fx" else 20
    if dim_in < 1 or dim_out < 1 or (kind == "fx" and dim_out != dim_in):
        return base + 1
    if len(params) > 2:
        return base + 2
    if len(params) >= 1 and X.shape[0] and bool((X[:, 0] > params[0]).any()):
        return base + 3
    return 0


# PyCapsule_New and PyCapsule_SetContext with prototypes of the fuzz's own (the
# shared ctypes.pythonapi entries are left as they are).
_capsule_new = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p)(
    ("PyCapsule_New", ctypes.pythonapi))
_capsule_set_context = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.c_void_p)(
    ("PyCapsule_SetContext", ctypes.pythonapi))
_capsule_names = {}  # a capsule points at its name: the names live as long as the process
_capsule_lock = threading.Lock()


def capsule(pointer, name, context=None):
    """A PyCapsule around `pointer` (a real function, or SCALES) named `name` (None: a NULL name)."""
    address = None
    if name is not None:
        with _capsule_lock:
            buf = _capsule_names.get(name)
            if buf is None:
                buf = _capsule_names[name] = ctypes.create_string_buffer(name.encode())
        address = ctypes.addressof(buf)
    cap = _capsule_new(pointer, address, None)
    if context is not None:
        _capsule_set_context(cap, context)
    return cap


def signature_spellings():
    """Capsule names the engine must take (the signature as scipy and ctypes spell it) and names it must refuse."""
    r = random.Random(5)
    ints = ["intptr_t", "long", "ssize_t", "Py_ssize_t", "npy_intp", "long long"]
    canonical = ["const double *", "double *", "intptr_t", "intptr_t", "intptr_t", "double", "const double *",
                 "intptr_t", "void *"]

    def spell(types, ret="int"):
        sep = r.choice([", ", ",", " , "])
        opening = r.choice(["int (", "int(", "int  ( "]).replace("int", ret)
        return opening + sep.join(t.replace(" *", r.choice([" *", "*", "  *"])) for t in types) + ")"

    good = {vexel_ckf.MODEL_SIGNATURE}
    while len(good) < 24:
        types = []
        for t in canonical:
            if t == "intptr_t":
                types.append(r.choice(ints))
            elif "const" in t:
                types.append(r.choice(["const double *", "double *", "double const *"]))
            else:
                types.append(t)
        good.add(spell(types) + r.choice(["", " "]))
    bad = {"", "int", "int ()", vexel_ckf.MODEL_SIGNATURE + " x", vexel_ckf.MODEL_SIGNATURE[:-1],
           spell(canonical, "void"), spell(canonical, "double"), spell(canonical[:-1]),
           spell(canonical + ["void *"])}
    for i, t in enumerate(canonical):
        for wrong in {"intptr_t": ["int", "unsigned long", "int64_t", "intptr_t *", "short"],
                      "double": ["float", "double *", "long double"],
                      "void *": ["void", "double *", "char *"]}.get(t, ["float *", "double", "int *"]):
            bad.add(spell(canonical[:i] + [wrong] + canonical[i + 1:]))
    return sorted(good), sorted(bad)


GOOD_SIGNATURES, BAD_SIGNATURES = signature_spellings()


class NativeModels:
    """The fuzz's C models: `fx` and `hx` as ctypes functions with the model signature, and their addresses."""

    def __init__(self, lib):
        self.lib = lib
        self.fx, self.hx = lib.fz_fx, lib.fz_hx
        for f in (self.fx, self.hx):
            f.restype = ctypes.c_int
            f.argtypes = MODEL_ARGTYPES
        self.address = {"fx": ctypes.cast(self.fx, ctypes.c_void_p).value,
                        "hx": ctypes.cast(self.hx, ctypes.c_void_p).value}


NATIVE = None  # NativeModels, or None without a C compiler

# The nonlinear panels' share of one_call's operations, relative to all the others together.
PANEL_SHARE = 0.08

# --panel-findings: also compare the square-root panel smoother with VexelCKF.smooth without Q, which reads Q
# back from the filter's factor (its last bits differ from the Q assigned, which the panel smooths with): a
# known difference, not a fault, kept at hand for whoever changes either.
PANEL_FINDINGS = False


def build_native_models():
    """Compile C_MODELS with the system C compiler: NativeModels, or None (and why) when none is found or works."""
    cc = next((c for c in (os.environ.get("CC"), "cc", "gcc", "clang") if c and shutil.which(c)), None)
    if cc is None:
        return None, "no C compiler found"
    d = tempfile.mkdtemp(prefix="fuzz_models_")
    try:
        src, so = os.path.join(d, "models.c"), os.path.join(d, "models.so")
        with open(src, "w") as fh:
            fh.write(C_MODELS)
        # No contraction into fused multiply-adds: the same source gives the
        # same bits however the compiler vectorises the loops over points.
        # The compiler runs without the sanitizer runtime a sanitized Python is started with.
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
        run = subprocess.run([cc, "-O2", "-ffp-contract=off", "-shared", "-fPIC", "-o", so, src, "-lm"],
                             capture_output=True, text=True, env=env)
        if run.returncode != 0:
            return None, f"{cc} failed: {run.stderr.strip()[:300]}"
        return NativeModels(ctypes.CDLL(so)), f"C models compiled with {cc}"
    finally:
        shutil.rmtree(d, ignore_errors=True)  # the library stays mapped


try:
    from scipy import LowLevelCallable
except ImportError:  # the scipy form is skipped without scipy
    LowLevelCallable = None


def same_failure(a, b, fx_args=()):
    """Two outcomes (a result or a Failed) that fail alike: both, with the same exception type.

    The fuzz's C fx with two thresholds fails in two ways (a nonzero return,
    NaN images); which one surfaces first depends on how many steps' points
    go to one call, so then either type will do."""
    if isinstance(a, Failed) != isinstance(b, Failed):
        return False
    if not isinstance(a, Failed) or type(a.exc) is type(b.exc):
        return True
    two_ways = len(fx_args) == 2 and fx_args[1] > -1e300
    return two_ways and {type(a.exc), type(b.exc)} <= {RuntimeError, ValueError}


def is_model_failure(exc):
    """True when exc (or the engine error it was chained to) is a compiled model's nonzero return."""
    return any(getattr(e, "reason", None) == "model_failed" for e in (exc, exc.__cause__) if e is not None)


def quiet_progress():
    """Drop the progress counters VexelCKF.run(progress=True) writes to stderr while the fuzz runs."""
    real = sys.stderr
    state = threading.local()

    class Filter:
        def write(self, text):
            # A counter's updates, and the newline that closes it, from the same thread.
            after = getattr(state, "counting", False)
            state.counting = text.startswith("\rVexelCKF.run:")
            if state.counting or (after and text == "\n"):
                return len(text)
            return real.write(text)

        def __getattr__(self, name):
            return getattr(real, name)

    sys.stderr = Filter()


class Fuzzer:
    """One thread's generator of calls; `shared` holds the banks and filters all threads use."""

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
        self.current = None
        self.trace = None
        self.kept = []  # (array a callback kept, its copy then)
        self.cases = collections.Counter()  # differential cases run, per kind
        self.banks = [self.new_bank() for _ in range(3)]
        self.kfs = [self.new_filter() for _ in range(3)]

    # -- values -------------------------------------------------------------

    def new_bank(self, M=None):
        r = self.r
        n, m = r.choice([(1, 1), (2, 1), (2, 2), (3, 2), (4, 2), (3, 3)])
        M = r.choice([0, 1, 2, 3, 5, 8]) if M is None else M
        states = r.sample(range(n), 1) if r.random() < 0.3 else None
        measured = [r.choice([-1, 0])] if r.random() < 0.3 else None
        b = CKFBank(M, n, m, r.choice([0.1, 1.0, -0.5, 0.0]), angle_states=states, angle_measurements=measured)
        b.fx, b.hx = self.any_fx(n, b), self.any_hx(n, m, b)
        if M:
            b.xs = self.g.standard_normal((M, n))
            b.Ps = np.stack([spd(self.g, n) for _ in range(M)])
        return b

    def new_filter(self):
        r = self.r
        n, m = r.choice([(1, 1), (2, 1), (3, 2), (4, 2)])
        sr = r.random() < 0.4
        states = angle_spelling(r, r.sample(range(n), 1) if r.random() < 0.4 else [], n)[0]
        measured = angle_spelling(r, [0] if r.random() < 0.3 else [], m)[0]
        kf = VexelCKF(n, m, r.choice([0.1, 1.0]), square_root=sr, angle_states=states, angle_measurements=measured,
                      fx_args=r.choice([(), (1,), [2.0]]), hx_args=r.choice([(), ("a",)]),
                      nan_means_missing=r.random() < 0.5)
        kf.fx, kf.hx = self.any_fx(n, kf), self.any_hx(n, m, kf)
        kf.x = self.g.standard_normal(n)
        kf.P = spd(self.g, n)
        return kf

    def values(self, shape, kind):
        if kind == "spd" and len(shape) >= 2 and shape[-1] == shape[-2]:
            a = self.g.standard_normal(shape)
            return a @ np.swapaxes(a, -1, -2) + shape[-1] * np.eye(shape[-1])
        return self.g.standard_normal(shape)

    def array(self, shape, kind="any"):
        """Mostly a valid float64 array of `shape`; otherwise one of many wrong or odd ones."""
        r = self.r
        a = self.values(shape, kind)
        roll = r.random()
        if roll < 0.6:
            return self.layout(a)
        if roll < 0.72:  # special values
            a = np.array(a)
            if a.size:
                flat = a.reshape(-1)
                for _ in range(r.randint(1, 2)):
                    flat[r.randrange(a.size)] = r.choice([np.nan, np.inf, -np.inf, 1e308, 1e200, -0.0, 5e-324])
            return self.layout(a)
        if roll < 0.8:  # wrong shape
            s = list(shape)
            if s:
                i = r.randrange(len(s))
                s[i] = max(0, s[i] + r.choice([-1, 1, 2])) if r.random() < 0.8 else 0
            return self.g.standard_normal(s)
        if roll < 0.85:  # wrong dimensionality
            return self.g.standard_normal(shape[:-1] if shape and r.random() < 0.5 else shape + (1,))
        if roll < 0.91:  # another dtype: converted by the Python layer, or refused
            dtype = r.choice([np.float32, np.int64, np.complex128, object, ">f8", np.bool_, np.float16, "U3"])
            try:
                return np.asarray(a).astype(dtype)
            except (TypeError, ValueError):
                return np.asarray(a).astype(object)
        if roll < 0.96:  # not an array at all
            return r.choice([np.asarray(a).tolist(), None, 1.0, 3, "x", (1.0, 2.0), Weird(), [Weird()],
                             np.float64(1.0), [[1.0], [1.0, 2.0]]])
        return self.huge(shape)

    def huge(self, shape):
        """A huge logical size through zero strides: must fail fast, never be walked."""
        r = self.r
        big = tuple(r.choice([2**40, 2**44, 2**50]) if r.random() < 0.5 else d for d in shape) or (2**40,)
        if big == tuple(shape):
            big = (2**40,) + tuple(shape[1:])
        try:
            return np.lib.stride_tricks.as_strided(np.ones(1), shape=big, strides=(0,) * len(big))
        except (ValueError, OverflowError):  # beyond what NumPy can describe
            return np.zeros(shape)

    def layout(self, a):
        a = np.array(a, dtype=np.float64)
        k = self.r.randrange(7)
        if k == 0 and a.ndim >= 2:
            return np.asfortranarray(a)
        if k == 1 and a.ndim:
            big = np.zeros(tuple(2 * d for d in a.shape))
            view = big[tuple(slice(None, None, 2) for _ in a.shape)]
            view[...] = a
            return view
        if k == 2:
            a.flags.writeable = False
            return a
        if k == 3 and a.ndim >= 1 and a.size:
            return np.broadcast_to(a[:1], a.shape)
        return a

    def double(self):
        return self.r.choice([0.1, 1.0, -1.0, 0.0, 1e-300, 1e300, float("nan"), float("inf"), 3, np.float64(0.5),
                              True, Weird(), None, "1.0", 2**70, np.array([1.0])])

    def size(self):
        return self.r.choice([0, 1, 2, 3, 4, np.int64(3), True] + HUGE + [2.0, None, "3", Weird()])

    # -- callbacks ----------------------------------------------------------

    def callback(self, pass_dt, columns, target=None):
        """fx (pass_dt) or hx returning `columns` columns; it misbehaves at random each time it runs.

        The fuzzer of the thread that runs it makes the random choices, so a
        callback installed on a shared bank by one thread never touches
        another thread's private objects."""
        mix = np.random.default_rng(columns).standard_normal((8, columns)) * 0.3

        def cb(X, *args):
            fz = getattr(_local, "fz", None)
            if fz is None:  # the Dask scheduler's threads never run callbacks, but stay safe
                return rowwise_linear(X, mix[:X.shape[1]].T) if X.ndim == 2 else X
            return fz.misbehave(cb, X, args, pass_dt, columns, mix)

        cb.kind = "fx" if pass_dt else "hx"
        cb.target = target
        return cb

    def misbehave(self, cb, X, args, pass_dt, columns, mix):
        r = self.r
        if pass_dt and not args:
            raise AssertionError("fx called without dt")
        if not (isinstance(X, np.ndarray) and X.ndim == 2 and X.dtype == np.float64):
            raise AssertionError(f"callback got {describe(X)}")
        ok = rowwise_linear(X, mix[:X.shape[1]].T)
        if X.shape[1] == columns:
            ok = X + 0.01 * ok
        kind = r.choice(["ok"] * 12 + [
            "identity", "fortran", "strided", "wrong_rows", "wrong_cols", "float32", "list", "none", "1d",
            "nan_row", "inf", "overflow", "raise", "raise_base", "reenter_same", "reenter_other", "reenter_shared",
            "keep", "freeze", "mutate", "resize", "temporaries", "temporaries", "sleep", "gc", "panel_inside",
            "cpanel_inside"])
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
        if kind == "wrong_rows":
            return np.zeros((max(0, ok.shape[0] + r.choice([-1, 1, -ok.shape[0]])), ok.shape[1]))
        if kind == "wrong_cols":
            return np.zeros((ok.shape[0], ok.shape[1] + 1))
        if kind == "float32":
            return ok.astype(np.float32)
        if kind == "list":
            return ok.tolist()
        if kind == "none":
            return None
        if kind == "1d":
            return ok.reshape(-1)
        if kind == "nan_row" and ok.size:
            ok[r.randrange(ok.shape[0]), r.randrange(ok.shape[1])] = np.nan
            return ok
        if kind == "inf" and ok.size:
            ok[-1, 0] = -np.inf
            return ok
        if kind == "overflow":
            return ok * 1e300
        if kind == "raise":
            raise CallbackError("callback raised")
        if kind == "raise_base":
            raise CallbackBaseError("callback raised a BaseException")
        if kind == "reenter_same":
            self.reenter(cb.target)
            return ok
        if kind == "reenter_other":
            self.nested()
            return ok
        if kind == "reenter_shared":
            self.nested(shared=True)
            return ok
        if kind == "keep":
            self.kept.append((X, X.copy()))
            if len(self.kept) > 50:
                self.check_kept()
            return ok
        if kind == "freeze":
            X.flags.writeable = False
            self.kept.append((X, X.copy()))
            return ok
        if kind == "mutate":
            X[...] = np.nan
            return ok
        if kind == "resize":
            try:
                X.resize((r.choice([0, 1, 3, 32771, 32760]), X.shape[1]), refcheck=False)
            except ValueError:
                pass
            return ok
        if kind == "temporaries":
            keep = []
            for _ in range(r.randint(1, 4)):
                t = np.empty(r.choice(TEMP_BYTES), dtype=np.uint8)
                t[:] = 7
                if r.random() < 0.3:
                    keep.append(t)
                if r.random() < 0.3 and t.size:
                    t.resize(r.choice(TEMP_BYTES), refcheck=False)
            if keep and r.random() < 0.5:
                self.kept.extend((t, t.copy()) for t in keep)
            return ok
        if kind == "sleep":
            time.sleep(0)
            return ok
        if kind == "gc":
            if r.random() < 0.1:
                gc.collect()
            return ok
        if kind in ("panel_inside", "cpanel_inside") and self.depth < 2:
            self.depth += 1
            try:
                if kind == "panel_inside":
                    self.diff_panel(self.r.randrange(2**32), small=True)
                else:
                    self.diff_cpanel(self.r.randrange(2**32), compiled=r.random() < 0.5, small=True)
            finally:
                self.depth -= 1
        return ok

    def reenter(self, target):
        """A call into the object whose callback is running: refused as busy, never anything worse."""
        if target is None or self.depth >= 2:
            return
        r = self.r
        self.depth += 1
        try:
            if isinstance(target, CKFBank):
                what = r.choice(["xs", "predict", "keep", "set", "copy", "to_dict", "len"])
                fn = {"xs": lambda: target.xs, "predict": lambda: target.predict(),
                      "keep": lambda: target.keep([]), "set": lambda: setattr(target, "Q", 1.0),
                      "copy": target.copy, "to_dict": target.to_dict, "len": lambda: len(target)}[what]
            else:
                what = r.choice(["x", "predict", "set", "copy"])
                fn = {"x": lambda: target.x, "predict": lambda: target.predict(), "copy": target.copy,
                      "set": lambda: setattr(target, "Q", 1.0)}[what]
            self.execute(f"re-entrant {what}", fn, [], {}, note="; from inside a callback of the same object")
        finally:
            self.depth -= 1

    def nested(self, shared=False):
        if self.depth >= 2:
            return
        self.depth += 1
        try:
            if shared:
                self.bank_call(self.r.choice(self.shared["banks"]), private=False)
            else:
                self.one_call(nested=True)
        finally:
            self.depth -= 1

    def check_kept(self):
        """Arrays callbacks kept still hold what they held (no bank draws into them)."""
        for a, c in self.kept:
            if not same(a, c):
                self.report("kept callback array changed", "an array a callback kept (its points or a temporary) "
                            f"changed afterwards: {describe(c)} became {describe(a)}\n  seed {self.seed}")
                break
        self.kept.clear()

    # -- calls --------------------------------------------------------------

    def execute(self, label, fn, args, kwargs, state=None, extra=(), skip=(), note=""):
        """Make one call and judge its outcome; `state` reads the private target's whole state."""
        before = state() if state is not None and self.depth == 0 else None
        self.calls += 1
        call_id = f"seed {self.seed} call {self.calls}{' (nested)' if self.depth else ''}{note}"
        if self.trace is not None:
            self.trace(f"{call_id}: {label}")
        self.current = (time.monotonic(), label, args, kwargs, call_id)
        try:
            result = fn(*args, **kwargs)
        except BaseException as e:  # noqa: BLE001 - every outcome is judged
            self.current = None
            self.outcomes[type(e).__name__] += 1
            if isinstance(e, (KeyboardInterrupt, SystemExit)):
                raise
            own = isinstance(e, (CallbackError, CallbackBaseError))
            if not own and not isinstance(e, ALLOWED + tuple(extra)):
                where = "".join(traceback.format_tb(e.__traceback__)[-2:])
                self.fail(call_id, label, args, kwargs, f"raised {type(e).__module__}.{type(e).__name__}: {e}\n{where}")
            elif before is not None:
                skip_now = skip(e) if callable(skip) else skip
                after = state()
                changed = changed_keys(before, after, skip_now)
                if changed:
                    self.fail(call_id, label, args, kwargs,
                              f"failed with {type(e).__name__}: {e} but changed {sorted(changed)}\n  state before: "
                              + describe({k: before[k] for k in sorted(before)}))
            return Failed(e)
        self.current = None
        self.outcomes["returned"] += 1
        return result

    def here(self):
        return f"seed {self.seed} call {self.calls}"

    def fail(self, call_id, label, args, kwargs, what):
        text = f"{label}: {what}\n  {call_id}\n  args: " + ", ".join(describe(a) for a in args)
        if kwargs:
            text += "\n  kwargs: " + ", ".join(f"{k}={describe(v)}" for k, v in kwargs.items())
        self.report(label + ": " + what.splitlines()[0][:110], text)

    def one_call(self, nested=False):
        r = self.r
        # The nonlinear panels' share comes on top of the other operations', which keep their proportions.
        roll = r.random() * (1.0 + PANEL_SHARE)
        if roll >= 1.0:
            if nested:
                self.cpanel_call()
            else:
                self.panel_op()
        elif roll < 0.39:
            private = r.random() < 0.65
            b = r.choice(self.banks if private else self.shared["banks"])
            self.bank_call(b, private and not nested)
        elif roll < 0.55:
            private = r.random() < 0.65
            kf = r.choice(self.kfs if private else self.shared["kfs"])
            self.filter_call(kf, private and not nested)
        elif roll < 0.60:
            self.construct()
        elif roll < 0.65:
            self.raw_engine()
        elif roll < 0.72 and not nested:
            self.compiled_call()
        elif nested:
            self.array_call()
        elif roll < 0.775:
            self.diff_bank(r.randrange(2**32), compiled=r.random() < 0.35)
        elif roll < 0.82:
            self.diff_lone(r.randrange(2**32), compiled=r.random() < 0.4)
        elif roll < 0.855:
            self.diff_panel(r.randrange(2**32))
        elif roll < 0.90:
            self.diff_bank_step(r.randrange(2**32))
        elif roll < 0.955:
            self.diff_smoother(r.randrange(2**32), compiled=r.random() < 0.35)
        elif roll < 0.96:
            self.diff_dask(r.randrange(2**32))
        else:
            self.array_call()

    def panel_op(self):
        """One nonlinear-panel operation."""
        r = self.r
        op = r.choices(["diff", "cdiff", "call", "raw", "threads"], [4, 4, 5, 3, 0.5])[0]
        if op == "diff":
            self.diff_cpanel(r.randrange(2**32))
        elif op == "cdiff":
            self.diff_cpanel(r.randrange(2**32), compiled=True)
        elif op == "call":
            self.cpanel_call()
        elif op == "raw":
            self.cpanel_raw()
        else:
            self.cpanel_threads(r.randrange(2**32))

    # -- CKFBank ------------------------------------------------------------

    def bank_call(self, b, private):
        r = self.r
        try:
            M, n, m = len(b), b.dim_x, b.dim_z
        except RuntimeError:  # busy in another thread's callback
            return
        state = b.to_dict if private else None
        op = r.choices(["predict", "update", "keep", "add", "run", "copy", "pickle", "dict", "set", "set_readonly",
                        "read", "callbacks", "bad_output", "table"], [8, 8, 4, 3, 2, 1, 1, 1, 8, 1, 2, 2, 1, 1])[0]
        if op == "predict":
            if r.random() < 0.2:
                b.fx = self.any_fx(n, b)
            kwargs = {}
            if r.random() < 0.4:
                kwargs["dt"] = r.choice([0.5, -1.0, 0.0, None]) if r.random() < 0.7 else self.double()
            if r.random() < 0.3:
                kwargs["fx_args"] = self.extra_args()
            self.execute("CKFBank.predict", b.predict, [], kwargs, state)
        elif op == "update":
            if r.random() < 0.2:
                b.hx = self.any_hx(n, m, b)
            zs = self.array((M, m)) if r.random() < 0.7 else self.measurements(M, m)
            kwargs = {}
            refusal = None
            if r.random() < 0.4:
                kwargs["missing"], refusal = self.missing_mask(M)
            if r.random() < 0.3:
                kwargs["hx_args"] = self.extra_args()
            before = b.to_dict() if private else None
            given = [(v, v.copy()) for v in (zs, kwargs.get("missing"))
                     if isinstance(v, np.ndarray) and v.nbytes < 10**6]
            res = self.execute("CKFBank.update", b.update, [zs], kwargs, state)
            for v, copy in given:
                if not same(v, copy):
                    self.fail(self.here(), "CKFBank.update", [zs], kwargs, f"changed its argument {describe(copy)}")
            self.check_missing(b, zs, kwargs, refusal, before, res, M, m)
        elif op == "keep":
            sel = self.selection(M)
            before = b.to_dict() if private else None
            res = self.execute("CKFBank.keep", b.keep, [sel], {}, state)
            if private:
                self.check_keep(b, sel, before, res)
        elif op == "add":
            k = r.choice([0, 1, 2, 3])
            args = [self.array((k, n)) if r.random() < 0.9 else self.array((n,)),
                    self.array((n, n), "spd") if r.random() < 0.5 else self.array((k, n, n), "spd")]
            kwargs = {}
            if r.random() < 0.4 or (private and b.Q.ndim == 3):
                kwargs["Q"] = self.array((k, n, n), "spd")
            if r.random() < 0.4 or (private and b.R.ndim == 3):
                kwargs["R"] = self.array((k, m, m), "spd")
            before = b.to_dict() if private else None
            res = self.execute("CKFBank.add", b.add, args, kwargs, state)
            if private:
                self.check_add(b, args, kwargs, before, res)
        elif op == "run":
            steps = r.choice([0, 1, 2, 3])
            seq = self.array((steps, M, m)) if r.random() < 0.6 else np.stack(
                [self.measurements(M, m) for _ in range(steps)]) if steps else np.zeros((0, M, m))
            if isinstance(seq, np.ndarray) and not seq.size and seq.ndim and seq.shape[0] > 10**6:
                # A zero-size sequence of 2**40 rows is that many steps of a bank without filters, each one
                # legitimate and cheap, all of them hours of work: not a size that must fail fast.
                seq = np.zeros((0, M, m))
            self.execute("CKFBank.run", b.run, [seq], {})
        elif op == "copy":
            res = self.execute("CKFBank.copy", b.copy, [], {})
            self.adopt_bank(res, b, private)
        elif op == "pickle":
            res = self.execute("pickle CKFBank", lambda: pickle.loads(pickle.dumps(b)), [], {})
            self.adopt_bank(res, b, private)
        elif op == "dict":
            d = self.execute("CKFBank.to_dict", b.to_dict, [], {})
            if isinstance(d, Failed):
                return
            d = dict(d)
            mangled = r.random() < 0.5
            if mangled:
                for k in r.sample(list(d), r.randint(1, 3)):
                    d[k] = self.mangled_field(k, d[k], M, n, m)
            res = self.execute("CKFBank.from_dict", CKFBank.from_dict, [d], {})
            self.adopt_bank(res, b, private, compare=not mangled)
        elif op == "set":
            name = r.choice(BANK_SETTABLE)
            value = self.bank_value(name, M, n, m, b)
            res = self.execute(f"CKFBank.{name} =", setattr, [b, name, value], {}, state)
            if private and name in ("xs", "Ps", "xs_prior", "Ps_prior", "Q", "R"):
                self.check_assignment(b, name, value, M, n, m, res)
        elif op == "bad_output" and private:
            self.bad_output(b, M, n, m)
        elif op == "table" and private:
            self.check_field_table(b, M, n, m)
        elif op == "set_readonly":
            name = r.choice(BANK_READONLY)
            self.execute(f"CKFBank.{name} = (read-only)", setattr, [b, name, np.zeros(M)], {}, state,
                         extra=(AttributeError,))
        elif op == "read":
            for name in ["xs", "Ps", "xs_prior", "Ps_prior", "Q", "R", "status", "log_likelihoods", "nis",
                         "jitter_counts", "M", "dt"]:
                res = self.execute(f"CKFBank.{name}", getattr, [b, name], {})
                if isinstance(res, np.ndarray) and res.flags.writeable:
                    self.fail("", f"CKFBank.{name}", [], {}, "read returned a writeable array")
            self.execute("repr(CKFBank)", repr, [b], {})
        else:
            if r.random() < 0.5:
                b.fx_args = r.choice([(), (1,), None, [2.0]])
            else:
                b.hx_args = r.choice([(), ("a",), None])
            if r.random() < 0.3:
                b.fx = r.choice([None, self.callback(True, n, b)])
            if r.random() < 0.3:
                b.hx = r.choice([None, self.callback(False, m, b)])
            if b.fx is None or b.hx is None:  # a bank without callbacks: predict/update raise TypeError
                self.execute("CKFBank.predict (no fx)", b.predict, [], {}, state)
                b.fx, b.hx = self.callback(True, n, b), self.callback(False, m, b)

    def bad_output(self, b, M, n, m):
        """A callback returning a wrong shape, dimensionality or dtype, or no array: the error says so.

        The engine's error carries `reason`, the `callback` at fault, the
        `expected_shape` (all M*2n points of a bank, the 2n of a filter; n or
        m columns) and what it `got`; a VexelCKF raises an error of the same
        type naming the callback, chained to the engine's. The target is
        left as it was."""
        r = self.r
        which = r.choice(["fx", "hx"])
        lone = isinstance(b, VexelCKF)
        rows, cols = (1 if lone else M) * 2 * n, n if which == "fx" else m
        kind = r.choice(["rows", "cols", "1d", "3d", "0d", "float32", "int64", "big_endian", "list", "none",
                         "scalar"])
        wrong_rows = rows + 1 if not rows or r.random() < 0.5 else rows - 1
        want = {"rows": (ValueError, "shape", (wrong_rows, cols)), "cols": (ValueError, "shape", (rows, cols + 1)),
                "1d": (TypeError, "ndim", 1), "3d": (TypeError, "ndim", 3), "0d": (TypeError, "ndim", 0),
                "float32": (TypeError, "dtype", "float32"), "int64": (TypeError, "dtype", "int64"),
                "big_endian": (TypeError, "dtype", ">f8"), "list": (TypeError, "not_array", "list"),
                "none": (TypeError, "not_array", "NoneType"),
                "scalar": (TypeError, "not_array", "float64")}[kind]
        seen = []

        def bad(X, *args):
            seen.append(X.shape)
            ok = np.zeros((X.shape[0], cols))
            return {"rows": lambda: np.zeros((wrong_rows, cols)), "cols": lambda: np.zeros((X.shape[0], cols + 1)),
                    "1d": lambda: ok.reshape(-1), "3d": lambda: ok[None], "0d": lambda: np.array(1.0),
                    "float32": lambda: ok.astype(np.float32), "int64": lambda: ok.astype(np.int64),
                    "big_endian": lambda: ok.astype(">f8"), "list": ok.tolist, "none": lambda: None,
                    "scalar": lambda: np.float64(1.0)}[kind]()

        name = type(b).__name__
        if lone:
            # The square-root update may factor R before anything else and keep that bookkeeping.
            jitter = {"last_jitter", "max_jitter", "jitter_count"} if b.square_root else ()
            if which == "fx":
                res = self.execute("VexelCKF.predict (bad fx output)", b.predict, [], {"fx": bad}, b.to_dict)
            else:
                res = self.execute("VexelCKF.update (bad hx output)", b.update, [np.zeros(m)], {"hx": bad}, b.to_dict,
                                   skip=jitter)
        else:
            old = getattr(b, which)
            setattr(b, which, bad)
            try:
                if which == "fx":
                    res = self.execute("CKFBank.predict (bad fx output)", b.predict, [], {}, b.to_dict)
                else:
                    res = self.execute("CKFBank.update (bad hx output)", b.update, [np.zeros((M, m))], {}, b.to_dict)
            finally:
                setattr(b, which, old)
        label = f"{name} (M={M}, dim_x={n}, dim_z={m}) whose {which} returns {kind}"
        if not seen:
            if isinstance(res, Failed) and not isinstance(res.exc, CallbackError):
                return  # refused before the call (the object's own state)
            self.report(f"{name}: {which} not called", f"{label}: {which} was not called\n  {self.here()}")
            return
        if not isinstance(res, Failed):
            self.report(f"{name} accepted {kind} from {which}", f"{label}: the call succeeded\n  {self.here()}")
            return
        exc_type, reason, got = want
        engine = res.exc.__cause__ if lone else res.exc
        facts = {key: getattr(engine, key, "(none)") for key in ("reason", "callback", "expected_shape", "got")}
        expected = {"reason": reason, "callback": which, "expected_shape": (rows, cols), "got": got}
        if type(res.exc) is not exc_type or facts != expected or seen[0] != (rows, n) or (
                lone and (type(engine) is not exc_type or which not in str(res.exc))):
            self.report(f"{name} error about {which}'s {kind} output",
                        f"{label}: raised {type(res.exc).__name__}: {res.exc} (the engine's error {engine!r}) with "
                        f"{facts}; expected {exc_type.__name__} with {expected} (the callback got points of shape "
                        f"{seen[0]})\n  {self.here()}")

    def check_field_table(self, b, M, n, m):
        """The engine's table of bank fields against to_dict() and the fields read back."""
        table = self.execute("_engine.bank_field_table", _engine.bank_field_table, [], {})
        d = self.execute("CKFBank.to_dict", b.to_dict, [], {})
        if isinstance(table, Failed) or isinstance(d, Failed):
            return
        problems = []
        settings = {"M", "dim_x", "dim_z", "dt", "angle_states", "angle_measurements"}
        names = [row[0] for row in table]
        # The dict gives the table's count as M, its other fields under their own names.
        if sorted(set(d) - settings) != sorted(set(names) - {"count"}) or len(set(names)) != len(names):
            problems.append(f"to_dict() fields {sorted(set(d) - settings)} against the table's {names}")
        sizes = {"M": M, "dim_x": n, "dim_z": m}
        dtypes = {"array": np.float64, "int64": np.int64, "uint64": np.uint64}
        for row in table:
            if not (len(row) == 4 and isinstance(row[0], str) and isinstance(row[1], str)
                    and isinstance(row[2], tuple) and isinstance(row[3], bool)):
                problems.append(f"row {row!r} is not (name, type, shape, settable)")
                continue
            name, kind, shape, settable = row
            value = self.execute(f"_engine.CkfBank.get({name!r})", b._b.get, [name], {})
            if isinstance(value, Failed):
                problems.append(f"{name}: get raised {value.exc!r}")
                continue
            if kind == "int":
                if type(value) is not int or shape != () or (name == "count" and value != d["M"]):
                    problems.append(f"{name} ({kind}, {shape}) reads {value!r}")
                elif not settable and not isinstance(self.execute(f"_engine.CkfBank.set({name!r})", b._b.set,
                                                                  [name, np.float64(value)], {}, b.to_dict), Failed):
                    problems.append(f"{name}: set succeeded though the table says settable=False")
                continue
            full = tuple(sizes[dim.rstrip("?")] for dim in shape)
            optional = tuple(sizes[dim.rstrip("?")] for dim in shape if not dim.endswith("?"))
            if not isinstance(value, np.ndarray) or kind not in dtypes or value.dtype != dtypes[kind] or \
                    value.shape not in (full, optional):
                problems.append(f"{name} ({kind}, {shape}) reads {describe(value)} for M={M}, dim_x={n}, dim_z={m}")
                continue
            if name in d and not same(d[name], value):
                problems.append(f"{name}: to_dict() and get differ")
            attr = getattr(type(b), name, None)
            if isinstance(attr, property) and not same(getattr(b, name), value):
                problems.append(f"{name}: the attribute and get differ")
            # A settable field takes what it reads (converted as from_dict converts); the others refuse.
            before = b.to_dict()
            res = self.execute(f"_engine.CkfBank.set({name!r})", b._b.set, [name, value.astype(np.float64)], {},
                               b.to_dict)
            if isinstance(res, Failed) == settable:
                what = f"failed: {res.exc!r}" if settable else "succeeded"
                problems.append(f"{name}: set of its own value {what} though the table says settable={settable}")
            elif settable and changed_keys(before, b.to_dict()):
                problems.append(f"{name}: set of its own value changed {changed_keys(before, b.to_dict())}")
        texts = _engine.status_texts
        if not (isinstance(texts, tuple) and texts and all(isinstance(t, str) and t for t in texts)
                and len(set(texts)) == len(texts)) or vexel_ckf.STATUS_CODES != dict(enumerate(texts)):
            problems.append(f"STATUS_CODES {vexel_ckf.STATUS_CODES} against _engine.status_texts {texts!r}")
        if problems:
            self.report("bank field table: " + problems[0][:70], "CKFBank fields against _engine.bank_field_table(): "
                        + "; ".join(problems) + f"\n  seed {self.seed} call {self.calls}")

    def extra_args(self):
        """Extra callback arguments for one call: iterables of any kind, None, or not iterable (refused)."""
        return self.r.choice([(), (1,), None, [2.0], "ab", range(2), 5, 1.5, Weird()])

    def missing_mask(self, M):
        """A `missing` mask for update: valid, or wrong in dtype or shape (with the exception it must raise)."""
        r = self.r
        roll = r.random()
        flags = self.g.random(M) < r.choice([0.0, 0.3, 1.0])
        if roll < 0.6:
            if r.random() < 0.7 or not M:
                return self.layout_bool(flags), None
            return (flags.tolist() if r.random() < 0.5 else [np.bool_(v) for v in flags]), None
        if roll < 0.8:
            # An empty mask of any dtype is the mask of a bank without filters ([] included).
            return r.choice([flags.astype(np.int64), flags.astype(np.uint8), flags.astype(np.float64),
                             flags.astype(object), flags.astype(int).tolist(), np.array(["a"] * M)]), (
                TypeError if M else None)
        return r.choice([np.ones(M + 1, dtype=bool), flags[:-1] if M else np.ones(1, dtype=bool),
                         flags[:, None], np.bool_(True), True, np.ones((1, M), dtype=bool)]), ValueError

    def layout_bool(self, flags):
        k = self.r.randrange(4)
        if k == 0 and flags.size:
            big = np.zeros(2 * flags.size, dtype=bool)
            big[::2] = flags
            return big[::2]
        if k == 1:
            flags = flags.copy()
            flags.flags.writeable = False
        return flags

    def check_missing(self, b, zs, kwargs, refusal, before, res, M, m):
        """A refused mask fails the call; an accepted one gives the flagged filters no measurement.

        On private banks only (`before` given): another thread may add or
        drop filters of a shared bank between M read and the call."""
        if before is None:
            return
        missing = kwargs.get("missing")
        valid_zs = isinstance(zs, np.ndarray) and zs.dtype == np.float64 and zs.nbytes < 10**6 and (
            zs.shape == (M, m) or (m == 1 and zs.shape == (M,)))
        if refusal is not None:
            if not isinstance(res, Failed):
                self.fail(self.here(), "CKFBank.update", [zs], kwargs,
                          "accepted a missing mask of the wrong dtype or shape")
            elif valid_zs and b.hx is not None and not isinstance(res.exc, refusal):
                self.fail(self.here(), "CKFBank.update", [zs], kwargs,
                          f"refused a bad missing mask with {type(res.exc).__name__} ({res.exc}), not "
                          f"{refusal.__name__}")
            return
        if isinstance(res, Failed) and missing is not None and str(res.exc).startswith("missing"):
            self.fail(self.here(), "CKFBank.update", [zs], kwargs,
                      f"refused a valid missing mask: {type(res.exc).__name__}: {res.exc}")
        if before is None or isinstance(res, Failed):
            return
        after = b.to_dict()
        codes = set(vexel_ckf.STATUS_CODES)
        if not set(after["status"].tolist()) <= codes:
            self.fail(self.here(), "CKFBank.update", [zs], kwargs,
                      f"status {after['status'].tolist()} outside {sorted(codes)}")
        if missing is None:
            return
        flags = np.asarray(missing, dtype=bool)
        pending = before["pending_status"]
        want = np.where(pending != 0, pending, 4)[flags]
        problems = []
        if not same(after["status"][flags], want):
            problems.append(f"status {after['status'][flags].tolist()}, expected {want.tolist()}")
        for name in ("xs", "Ps"):
            if not same(after[name][flags], before[name][flags]):
                problems.append(f"{name} changed")
        if not np.isnan(after["log_likelihoods"][flags]).all() or not np.isnan(after["nis"][flags]).all():
            problems.append("log-likelihoods or NIS are not NaN")
        if problems:
            self.fail(self.here(), "CKFBank.update", [zs], kwargs, "flagged filters: " + "; ".join(problems))

    def adopt_bank(self, res, src, private, compare=True):
        if isinstance(res, Failed):
            return
        try:
            if private and compare and not same(res.to_dict(), src.to_dict()):
                self.report("CKFBank copy differs", "a copy, pickle or from_dict of an untouched bank differs from "
                            f"its source\n  seed {self.seed} call {self.calls}")
        except RuntimeError:
            return
        res.fx, res.hx = self.callback(True, res.dim_x, res), self.callback(False, res.dim_z, res)
        pool = self.banks if private or self.r.random() < 0.5 else self.shared["banks"]
        i = self.r.randrange(len(pool))
        if len(res) <= 40:
            pool[i] = res

    def measurements(self, M, m):
        zs = self.g.standard_normal((M, m))
        for i in range(M):
            roll = self.r.random()
            if roll < 0.2:
                zs[i] = np.nan
            elif roll < 0.27:
                zs[i, self.r.randrange(m)] = self.r.choice([np.nan, np.inf, -np.inf])
        return zs

    def selection(self, M):
        r = self.r
        roll = r.random()
        if roll < 0.25:
            return self.g.random(M) < 0.6 if r.random() < 0.9 else self.g.random(max(0, M + r.choice([-1, 1]))) < 0.5
        if roll < 0.6 and M:
            idx = r.sample(range(M), r.randint(0, M))
            idx = [i - M if r.random() < 0.3 else i for i in idx]
            dtype = r.choice([None, np.int64, np.int32, np.uint64, np.int8, np.uint8, np.int16])
            if dtype is None:
                return idx
            if np.dtype(dtype).kind == "u":
                idx = [i % M for i in idx]
            return np.array(idx, dtype=dtype)
        if roll < 0.8:
            bad = r.choice([2**64 - 1, 2**64 - M, 2**63, 2**63 + 1, 2**32, M, -M - 1, 2**31])
            dtype = np.uint64 if 0 <= bad < 2**64 and r.random() < 0.7 else None
            if dtype is None:
                return [bad] if r.random() < 0.5 else [0, bad] if M else [bad]
            return np.array([bad], dtype=dtype)
        return r.choice([[], [0, 0], [0.5], ["a"], None, [[0]], np.array([], dtype=np.uint64), [True, 1],
                         np.zeros((0, 0), dtype=np.int64), [Weird()], 0, np.int64(0), range(M)])

    def check_keep(self, b, sel, before, res):
        """The filters kept are exactly those the selection names, as true integers (no wrapping)."""
        M = before["M"]
        a = np.asarray(sel) if not isinstance(sel, range) else np.asarray(list(sel))
        want = None
        if a.dtype == np.bool_:
            if a.shape == (M,):
                want = np.flatnonzero(a).tolist()
        elif a.dtype.kind in "iu" or (a.size == 0 and a.dtype.kind in "f"):
            if a.ndim == 1:
                idx = [int(v) for v in a.tolist()]
                if all(-M <= i < M for i in idx) and len({i % M for i in idx}) == len(idx):
                    want = [i % M for i in idx]
        if want is None:
            if not isinstance(res, Failed):
                self.report("CKFBank.keep accepted an invalid selection",
                            f"CKFBank.keep({describe(sel)}) on a bank of M = {M} succeeded (now M = {len(b)}), but "
                            f"the selection is not a mask of length M nor distinct indices in [-M, M)"
                            f"\n  seed {self.seed} call {self.calls}")
            return
        if isinstance(res, Failed):
            if not isinstance(res.exc, (CallbackError,)):
                self.report("CKFBank.keep refused a valid selection",
                            f"CKFBank.keep({describe(sel)}) on a bank of M = {M} raised {type(res.exc).__name__}: "
                            f"{res.exc}\n  seed {self.seed} call {self.calls}")
            return
        after = b.to_dict()
        for name in ("xs", "Ps", "xs_prior", "Ps_prior", "status", "log_likelihoods", "nis", "jitter_counts",
                     "pending_status"):
            if not same(after[name], before[name][want]):
                self.report("CKFBank.keep kept the wrong filters",
                            f"CKFBank.keep({describe(sel)}) on M = {M}: {name} is not rows {want} of before"
                            f"\n  seed {self.seed} call {self.calls}")
                return

    def check_add(self, b, args, kwargs, before, res):
        if isinstance(res, Failed):
            return
        after = b.to_dict()
        M = before["M"]
        xs = np.asarray(args[0], dtype=np.float64)
        xs = xs[None] if xs.ndim == 1 else xs
        k = xs.shape[0]
        problems = []
        if after["M"] != M + k:
            problems.append(f"M {M} -> {after['M']} adding {k}")
        else:
            for name in ("xs", "Ps", "xs_prior", "Ps_prior", "status", "jitter_counts"):
                if not same(after[name][:M], before[name]):
                    problems.append(f"{name} of the old filters changed")
            if not same(after["xs"][M:], xs):
                problems.append("xs of the new filters is not new_xs")
            if not np.all(after["status"][M:] == 4):
                problems.append(f"new filters have status {after['status'][M:]}")
            if not all(np.isfinite(after[f]).all() for f in ("xs", "Ps", "Q", "R")):
                problems.append("non-finite values were accepted")
        if problems:
            self.report("CKFBank.add: " + problems[0][:60],
                        f"CKFBank.add({', '.join(describe(a) for a in args)}, "
                        f"{', '.join(f'{k}={describe(v)}' for k, v in kwargs.items())}) on M = {M}: "
                        f"{'; '.join(problems)}\n  seed {self.seed} call {self.calls}")

    def bank_value(self, name, M, n, m, b):
        r = self.r
        if name == "dt":
            return self.double()
        if name in ("fx", "hx"):
            return r.choice([self.any_fx(n, b) if name == "fx" else self.any_hx(n, m, b), None, 3])
        if name in ("fx_args", "hx_args"):
            return r.choice([(), (1,), None, [2.0], "ab", 5])
        if name in ("xs", "xs_prior"):
            return self.array((M, n))
        k = n if name in ("Ps", "Ps_prior", "Q") else m
        roll = r.random()
        if roll < 0.15:
            return r.choice([2.0, 0.0, -1.0, np.nan, np.float32(3.0), 1])
        if roll < 0.55:
            return self.array((k, k), "spd")
        return self.array((M, k, k), "spd")

    def check_assignment(self, b, name, value, M, n, m, res):
        """An accepted assignment reads back as given (scalars meaning multiples of the identity)."""
        k = n if name in ("Ps", "Ps_prior", "Q") else m
        try:
            a = None if value is None else np.asarray(value)
            if a is not None and (a.dtype.kind == "c" or a.size > 10**6):
                a = None
            a = None if a is None else a.astype(np.float64)
        except (TypeError, ValueError, CallbackError):
            a = None
        want = None
        if a is not None:
            if name in ("xs", "xs_prior"):
                want = a if a.shape == (M, n) else None
            else:
                if a.ndim == 0:
                    a = a * np.eye(k)
                if name in ("Ps", "Ps_prior") and a.shape == (k, k):
                    want = np.broadcast_to(a, (M, k, k))
                elif a.shape == (k, k) or a.shape == (M, k, k):
                    want = a
            if want is not None and not np.isfinite(want).all():
                want = None
        if isinstance(res, Failed):
            if want is not None and not isinstance(res.exc, (MemoryError, CallbackError)):
                self.report(f"CKFBank.{name} = refused a valid value",
                            f"CKFBank.{name} = {describe(value)} on M = {M}, dim_x = {n}, dim_z = {m} raised "
                            f"{type(res.exc).__name__}: {res.exc}\n  seed {self.seed} call {self.calls}")
            return
        if want is None:
            self.report(f"CKFBank.{name} = accepted an invalid value",
                        f"CKFBank.{name} = {describe(value)} on M = {M}, dim_x = {n}, dim_z = {m} succeeded"
                        f"\n  seed {self.seed} call {self.calls}")
            return
        got = getattr(b, name)
        if not same(got, np.ascontiguousarray(want)):
            self.report(f"CKFBank.{name} reads back differently",
                        f"CKFBank.{name} = {describe(value)} reads back as {describe(got)}"
                        f"\n  seed {self.seed} call {self.calls}")

    def mangled_field(self, key, value, M, n, m):
        r = self.r
        if key in ("M", "dim_x", "dim_z"):
            return r.choice([value + 1, 0, -1, 2**64, None, "3", 2.0])
        if key == "dt":
            return self.double()
        if key in ("angle_states", "angle_measurements"):
            return r.choice([[0], [5], [-1], None, [0, 0], "ab", [2**70]])
        if isinstance(value, np.ndarray):
            return self.array(value.shape, "spd" if value.ndim == 3 else "any")
        return None

    # -- VexelCKF ---------------------------------------------------------------

    def filter_call(self, kf, private):
        r = self.r
        n, m, sr = kf.dim_x, kf.dim_z, kf.square_root

        def options():
            return dict(kf.to_dict(), fx_args=kf.fx_args, hx_args=kf.hx_args)

        state = options if private else None
        fields = _SRCKF if sr else _CKF
        op = r.choices(["predict", "update", "set", "read", "run", "smooth", "linear", "copy", "pickle", "dict",
                        "options", "missed", "bad_output"], [6, 6, 6, 2, 2, 2, 2, 1, 1, 1, 2, 2, 1])[0]
        if op == "options" and self.depth and any(kf is k for k in self.kfs):
            # A callback re-entered: a call on this private filter may be running, judged on its state
            # afterwards; its options are plain attributes that a busy filter does not refuse.
            op = "read"
        numerical = (lambda e: COUNTERS if isinstance(e, RuntimeError) else ())
        if op == "predict":
            kwargs = {}
            if r.random() < 0.7:
                kwargs["fx"] = self.any_fx(n, kf)
            if r.random() < 0.3:
                kwargs["dt"] = self.double() if r.random() < 0.3 else r.choice([0.1, None, -1.0])
            if r.random() < 0.2:
                kwargs["fx_args"] = self.extra_args()
            self.execute("VexelCKF.predict", kf.predict, [], kwargs, state)
        elif op == "update":
            z = self.array((m,)) if r.random() < 0.85 else r.choice([None, self.array((m, 1))])
            kwargs = {"hx": self.any_hx(n, m, kf)} if r.random() < 0.7 else {}
            if r.random() < 0.3:
                kwargs["R"] = self.array((m, m), "spd") if r.random() < 0.8 else r.choice([0.5, np.nan])
            if r.random() < 0.2:
                kwargs["hx_args"] = self.extra_args()
            if r.random() < 0.2:
                kwargs["nan_means_missing"] = r.choice([None, True, False])
            # The square-root update starts by zeroing last_jitter and factors a given R (with its jitter
            # accounting) before anything else can fail: a failed update keeps that bookkeeping.
            jitter = {"last_jitter", "max_jitter", "jitter_count"}
            skip = (lambda e: COUNTERS if isinstance(e, RuntimeError) else jitter) if sr else numerical
            self.execute("VexelCKF.update", kf.update, [z], kwargs, state, skip=skip)
        elif op == "set":
            name = r.choice(sorted(fields.members) + ["bogus", "S", "P_prior"])
            shape = fields.shape.get(name, ("dim_x",))
            dims = tuple(n if d == "dim_x" else m for d in shape)
            if not shape and r.random() < 0.8:
                value = r.choice([0, 1, 2**64 - 1, 2**64, -1, 1.5]) if fields.kind.get(name) == "int" else self.double()
            elif len(dims) == 2 and dims[0] == dims[1] and r.random() < 0.2:
                value = r.choice([2.0, np.nan, -1.0])
            else:
                value = self.array(dims, "spd" if len(dims) == 2 and dims[0] == dims[1] else "any")
            self.execute(f"VexelCKF.{name} =", setattr, [kf, name, value], {}, state, extra=(AttributeError,))
        elif op == "read":
            for name in fields.names:
                self.execute(f"VexelCKF.{name}", getattr, [kf, name], {})
        elif op == "run":
            steps = r.choice([0, 1, 2, 4])
            zs = self.array((steps, m)) if r.random() < 0.5 else self.measurements(steps, m)
            kwargs = {}
            if r.random() < 0.7:
                kwargs["nan_means_missing"] = r.choice([None, True, False])
            if r.random() < 0.3:
                kwargs["dts"] = self.array((steps,))
            res = self.execute("VexelCKF.run", kf.run, [zs], kwargs)
            if not isinstance(res, Failed) and r.random() < 0.5:
                self.execute("VexelCKF.smooth", kf.smooth, [res],
                             {"steps_per_call": r.choice([1, 2, 5, 2**62])})
        elif op == "smooth":
            steps = r.choice([1, 2, 3])
            result = vexel_ckf.RunResult(self.array((steps, n)), self.array((steps, n, n), "spd"), None, None,
                                         None, None)
            kwargs = {}
            if r.random() < 0.3:
                kwargs["Q"] = self.array((steps, n, n), "spd")
            if r.random() < 0.3:
                kwargs["dt"] = self.array((steps - 1,)) if r.random() < 0.5 else self.double()
            if r.random() < 0.5:
                kwargs["steps_per_call"] = r.choice([1, 3, 0, 2.0, 2**70])
            self.execute("VexelCKF.smooth", kf.smooth, [result if r.random() < 0.9 else (1, 2)], kwargs)
        elif op == "linear":
            if r.random() < 0.5:
                self.execute("VexelCKF.predict_linear", kf.predict_linear,
                             [self.array((n, n))],
                             {"cubature": r.random() < 0.5}, state, extra=(NotImplementedError,), skip=numerical)
            else:
                self.execute("VexelCKF.predict_model", kf.predict_model,
                             [r.choice(["constant_velocity", "constant_acceleration", "nope", 3])],
                             {"layout": r.choice(["blocked", "interleaved", "x", None])},
                             state, extra=(NotImplementedError,), skip=numerical)
        elif op == "options":
            name = r.choice(["fx_args", "hx_args", "nan_means_missing"])
            value = self.extra_args() if name != "nan_means_missing" else r.choice([True, False, 0, 1, None, "yes"])
            res = self.execute(f"VexelCKF.{name} =", setattr, [kf, name, value], {}, state)
            want = bool(value) if name == "nan_means_missing" else expected_args(value)
            if private and (isinstance(res, Failed) != (want is None) or want is not None and not same(
                    getattr(kf, name), want)):
                self.fail(self.here(), f"VexelCKF.{name} =", [value], {},
                          f"gave {outcome(res)} and reads back {getattr(kf, name)!r}; expected {want!r}")
        elif op == "missed":
            self.missed_measurement(kf, private, state)
        elif op == "bad_output" and private:
            self.bad_output(kf, 1, n, m)
        elif op in ("copy", "pickle", "dict"):
            mangled = False
            if op == "copy":
                res = self.execute("VexelCKF.copy", kf.copy, [], {})
            elif op == "pickle":
                res = self.execute("pickle VexelCKF", lambda: pickle.loads(pickle.dumps(kf)), [], {})
            else:
                d = self.execute("VexelCKF.to_dict", kf.to_dict, [], {})
                if isinstance(d, Failed):
                    return
                mangled = r.random() < 0.4
                if mangled:
                    for k in r.sample(list(d), r.randint(1, 3)):
                        d[k] = self.mangled_field(k, d[k], 1, n, m)
                res = self.execute("VexelCKF.from_dict", VexelCKF.from_dict, [d], {})
            if isinstance(res, Failed):
                return
            try:
                if private and (op != "dict" or not mangled) and not same(res.to_dict(), kf.to_dict()):
                    self.report("VexelCKF copy differs", f"{op} of a VexelCKF differs from its source: "
                                f"{changed_keys(kf.to_dict(), res.to_dict())}\n  seed {self.seed} call {self.calls}")
                # A dict does not carry the callback arguments (from_dict takes them); copies and pickles do.
                # NumPy unpickles an array of either byte order in the native one: values count, not order.
                carried = same(native_order((res.fx_args, res.hx_args)),
                               native_order((kf.fx_args, kf.hx_args) if op != "dict" else ((), ())))
                if private and not (carried and res.nan_means_missing == kf.nan_means_missing or op == "dict"
                                    and mangled):
                    self.report(f"VexelCKF {op} loses its options",
                                f"{op} of a VexelCKF with fx_args {kf.fx_args}, hx_args {kf.hx_args}, nan_means_missing"
                                f" {kf.nan_means_missing} has {res.fx_args}, {res.hx_args}, {res.nan_means_missing}"
                                f"\n  seed {self.seed} call {self.calls}")
            except RuntimeError:
                return
            res.fx, res.hx = self.callback(True, res.dim_x, res), self.callback(False, res.dim_z, res)
            pool = self.kfs if private else self.shared["kfs"]
            pool[self.r.randrange(len(pool))] = res

    def missed_measurement(self, kf, private, state):
        """A z of all NaN is update(None) exactly when nan_means_missing (the call's, else the filter's) says so.

        Otherwise it is a non-finite measurement: ValueError, nothing changed.
        run() follows the same setting for its rows of all NaN."""
        r = self.r
        m = kf.dim_z
        kwargs = {}
        if r.random() < 0.6:
            kwargs["nan_means_missing"] = r.choice([None, True, False])
        effective = kf.nan_means_missing if kwargs.get("nan_means_missing") is None else kwargs["nan_means_missing"]
        if r.random() < 0.5:
            z = np.full(m, np.nan) if r.random() < 0.8 else np.full((m, 1), np.nan)
            twin = kf.copy() if private else None
            res = self.execute("VexelCKF.update (all NaN)", kf.update, [z], kwargs, state,
                               skip=(lambda e: COUNTERS) if kf.square_root else ())
            if not private:
                return
            if effective:
                twin.update(None)
                if isinstance(res, Failed) or not same(kf.to_dict(), twin.to_dict()):
                    self.fail(self.here(), "VexelCKF.update", [z], kwargs,
                              f"with nan_means_missing {kf.nan_means_missing} gave {outcome(res)}, not what "
                              f"update(None) gives")
            elif not isinstance(res, Failed) or not isinstance(res.exc, ValueError):
                self.fail(self.here(), "VexelCKF.update", [z], kwargs,
                          f"with nan_means_missing {kf.nan_means_missing} gave {outcome(res)}; a z of all NaN is "
                          f"not a measurement")
            return
        steps = r.choice([1, 2, 3])
        zs = self.g.standard_normal((steps, m))
        zs[r.randrange(steps)] = np.nan
        res = self.execute("VexelCKF.run (all-NaN rows)", kf.run, [zs], kwargs, state if not effective else None)
        if not private:
            return
        refused = isinstance(res, Failed) and isinstance(res.exc, ValueError) and str(res.exc).startswith("zs[")
        if refused == effective:
            self.fail(self.here(), "VexelCKF.run", [zs], kwargs,
                      f"with nan_means_missing {kf.nan_means_missing} gave {outcome(res)}; rows of all NaN are "
                      f"{'missed measurements' if effective else 'refused before the first step'}")

    # -- constructors and raw engine ------------------------------------------

    def construct(self):
        r = self.r
        roll = r.random()
        if roll < 0.4:
            args = [self.size() if r.random() < 0.3 else r.choice([0, 1, 3]),
                    self.size() if r.random() < 0.3 else r.choice([1, 2]),
                    self.size() if r.random() < 0.3 else r.choice([1, 2]),
                    self.double() if r.random() < 0.3 else 1.0]
            kwargs = {}
            if r.random() < 0.3:
                kwargs["angle_states"] = r.choice([[0], [-1], [5], [0, 0], [1.5], "a", [2**70], None, [True]])
            if r.random() < 0.3:
                kwargs["angle_measurements"] = r.choice([[0], [-1], [3], None, [Weird()]])
            for name in ("fx_args", "hx_args"):
                if r.random() < 0.2:
                    kwargs[name] = self.extra_args()
            res = self.execute("CKFBank()", CKFBank, args, kwargs)
            self.check_options("CKFBank()", res, kwargs)
        elif roll < 0.75:
            args = [self.size() if r.random() < 0.3 else r.choice([1, 3]),
                    self.size() if r.random() < 0.3 else r.choice([1, 2]),
                    self.double() if r.random() < 0.3 else 1.0]
            kwargs = {"square_root": r.random() < 0.4}
            if r.random() < 0.4:
                kwargs["angle_states"] = r.choice([[0], [-1], [5], [0, 0], [1.5], "a", 3, [2**70]])
            for name in ("fx_args", "hx_args"):
                if r.random() < 0.2:
                    kwargs[name] = self.extra_args()
            if r.random() < 0.3:
                kwargs["nan_means_missing"] = r.choice([True, False, 0, 1, None, np.bool_(True)])
            res = self.execute("VexelCKF()", VexelCKF, args, kwargs)
            self.check_options("VexelCKF()", res, kwargs)
        else:
            self.angle_rule()

    def check_options(self, label, res, kwargs):
        """Callback arguments are kept as tuples (None meaning none); arguments that are not iterable are refused."""
        refused = [name for name in ("fx_args", "hx_args") if name in kwargs and expected_args(kwargs[name]) is None]
        if isinstance(res, Failed):
            return  # the dimensions or dt may be the reason
        if refused:
            self.fail(self.here(), label, [], kwargs, f"accepted {refused[0]} that is not "
                      "iterable")
            return
        got = {name: getattr(res, name) for name in ("fx_args", "hx_args")}
        want = {name: expected_args(kwargs.get(name, ())) for name in ("fx_args", "hx_args")}
        if isinstance(res, VexelCKF):
            got["nan_means_missing"] = res.nan_means_missing
            want["nan_means_missing"] = bool(kwargs.get("nan_means_missing", False))
        if not same(got, want):
            self.fail(self.here(), label, [], kwargs, f"keeps {got}, expected {want}")

    def angle_rule(self):
        """One angle option, valid or not, given to VexelCKF, CKFBank and cubature_smoother: one rule, one message.

        A valid option gives the indices from 0 as properties (a mask's in
        ascending order) and smooths exactly as those indices do; an invalid
        one is refused with the same exception and text everywhere."""
        r = self.r
        n, m = r.choice([1, 2, 3, 4]), r.choice([1, 2, 3])
        options = []
        for size in (n, m):
            if r.random() < 0.5:
                value, want = angle_spelling(r, sorted(r.sample(range(size), r.randint(0, size))), size)
                options.append((value, want, None))
            else:
                value, error = bad_angle_option(r, size)
                options.append((value, None, error))
        (states, states_want, states_error), (measured, measured_want, measured_error) = options
        error = states_error or measured_error
        kwargs = {"angle_states": states, "angle_measurements": measured}
        label = f"angle options {describe(states)} (dim_x = {n}), {describe(measured)} (dim_z = {m})"
        messages = []
        for what, make in (("VexelCKF", lambda: VexelCKF(n, m, 1.0, square_root=r.random() < 0.4, **kwargs)),
                           ("CKFBank", lambda: CKFBank(r.choice([0, 1, 3]), n, m, 1.0, **kwargs))):
            res = self.execute(f"{what}(angle options)", make, [], {})
            if isinstance(res, Failed):
                messages.append(str(res.exc))
                if error is None or type(res.exc) is not error:
                    self.report(f"angle rule: {what} refuses a valid option" if error is None else
                                f"angle rule: {what} raises {type(res.exc).__name__} for {error.__name__}",
                                f"{what}: {label}: raised {type(res.exc).__name__}: {res.exc}; expected "
                                f"{'success' if error is None else error.__name__}\n  {self.here()}")
            elif error is not None:
                self.report(f"angle rule: {what} accepts an invalid option",
                            f"{what}: {label}: accepted, angle_states {res.angle_states}, angle_measurements "
                            f"{res.angle_measurements}; expected {error.__name__}\n  {self.here()}")
            elif (res.angle_states, res.angle_measurements) != (states_want, measured_want):
                self.report(f"angle rule: {what} keeps the wrong indices",
                            f"{what}: {label}: angle_states {res.angle_states}, angle_measurements "
                            f"{res.angle_measurements}; expected {states_want}, {measured_want}"
                            f"\n  seed {self.seed} call {self.calls}")
        if len(set(messages)) > 1:
            self.report("angle rule: the messages differ", f"{label}: {messages}\n  seed {self.seed} call {self.calls}")
        # The smoother takes angle_states alone.
        N = r.choice([1, 2, 3])
        xs = self.g.standard_normal((N, n))
        Ps = np.stack([spd(self.g, n) for _ in range(N)])
        sr = r.random() < 0.4

        def fx(X, dt):
            return X + (0.1 * dt) * soft(X)

        got = self.execute("cubature_smoother(angle_states)", cubature_smoother, [xs, Ps, fx, 0.1, 1.0],
                           {"square_root": sr, "angle_states": states})
        if states_error is not None:
            if not isinstance(got, Failed) or type(got.exc) is not states_error:
                self.report("angle rule: cubature_smoother and an invalid angle_states",
                            f"cubature_smoother: angle_states {describe(states)} (dim_x = {n}) gave {outcome(got)}; "
                            f"expected {states_error.__name__}\n  seed {self.seed} call {self.calls}")
            elif messages and str(got.exc) != messages[0]:
                self.report("angle rule: cubature_smoother's message differs",
                            f"angle_states {describe(states)} (dim_x = {n}): cubature_smoother says {str(got.exc)!r}, "
                            f"VexelCKF {messages[0]!r}\n  seed {self.seed} call {self.calls}")
            return
        want = self.execute("cubature_smoother(angle indices)", cubature_smoother, [xs, Ps, fx, 0.1, 1.0],
                            {"square_root": sr, "angle_states": list(states_want) or None})
        if isinstance(got, Failed) or isinstance(want, Failed) or not all(
                (a is None and b is None) or same(a, b) for a, b in zip(got, want)):
            self.report("angle rule: cubature_smoother with a spelling differs",
                        f"cubature_smoother: angle_states {describe(states)} (dim_x = {n}) gave {outcome(got)}, the "
                        f"indices {list(states_want)} {outcome(want)}, not the same results"
                        f"\n  seed {self.seed} call {self.calls}")

    def raw_engine(self):
        """The native entry points of _engine, called directly with odd arguments."""
        r = self.r
        which = r.choice(["bank", "bank", "panel_filter", "panel_smoother", "panel_rts", "bank_step_gaps",
                          "cubature_smooth", "angles", "field_tables"])
        n, m, M, N = r.choice([1, 2, 3]), r.choice([1, 2]), r.choice([0, 1, 3]), r.choice([0, 1, 3])
        if which == "bank":
            try:
                b = _engine.CkfBank(M, n, m, 1.0)
            except ALLOWED:
                return
            meth = r.choice(["get", "set", "keep", "add", "set_angles", "set_dt", "predict", "update", "copy"])
            if meth == "get":
                args = [r.choice(BANK_FIELDS)]
            elif meth == "set":
                name = r.choice(BANK_FIELDS)
                shape = {"xs": (M, n), "xs_prior": (M, n), "status": (M,), "pending_status": (M,),
                         "jitter_counts": (M,), "R": (m, m)}.get(name, (M, n, n))
                value = self.array(shape, "spd")
                if name in ("status", "pending_status", "jitter_counts") and r.random() < 0.6:
                    value = np.asarray(self.g.integers(-2, 6, M), dtype=r.choice([np.int64, np.uint64, np.int32]))
                args = [name, value]
            elif meth == "keep":
                args = [r.choice([[], [0], [M - 1, 0], [2**63], [-1], [2**64], [M], [0.5], None, (0,), [Weird()]])]
            elif meth == "add":
                args = [self.array((r.choice([0, 1, 2]), n)), self.array((1, n, n), "spd"),
                        r.choice([None, self.array((1, n, n), "spd")]), r.choice([None, self.array((1, m, m))])]
            elif meth == "set_angles":
                args = [r.choice([[], [0], [n], [-1], [2**64], [0, 0], None, [Weird()]]),
                        r.choice([[], [0], [m], [2**63], None])]
            elif meth == "set_dt":
                args = [self.double()]
            elif meth == "predict":
                args = [r.choice([self.callback(True, n), None, 3]), r.choice([None, 0.5, self.double()]),
                        r.choice([None, (), (1,), [1], "ab"])]
            elif meth == "update":
                args = [self.array((M, m)), r.choice([self.callback(False, m), None]), r.choice([None, (), "x"])]
            else:
                args = []
            self.execute(f"_engine.CkfBank.{meth}", getattr(b, meth), args, {})
        elif which in ("panel_filter", "panel_smoother"):
            model = tuple(self.array(s, "spd") for s in ((N, n, n), (N, m, n), (N, n, n), (N, m, m)))
            if r.random() < 0.1:
                model = r.choice([model[:3], None, list(model), (model[0],) * 4])
            args = [self.array((M, n) if r.random() < 0.5 else (n,)), self.array((n, n), "spd"),
                    self.array((M, N, m)), model, r.choice([True, False, None, 1])]
            if which == "panel_smoother":
                args.append(r.choice([True, False]))
            args.append(r.choice([None, 0, 5, 2**64, -1, "a"]))
            self.execute(f"_engine.{which}", getattr(_engine, which), args, {})
        elif which == "panel_rts":
            args = [self.array((M, N, n)), self.array((M, N, n, n), "spd"), self.array((N, n, n)),
                    self.array((N, n, n), "spd"), r.choice([0, None, 2**64, -1])]
            self.execute("_engine.panel_rts", _engine.panel_rts, args, {})
        elif which == "bank_step_gaps":
            args = [self.array((M, n)), self.array((M, n, n), "spd"), self.array((M, m)), self.array((n, n)),
                    self.array((m, n)), self.array((n, n), "spd"), self.array((m, m), "spd")]
            self.execute("_engine.bank_step_gaps", _engine.bank_step_gaps, args, {})
        elif which == "cubature_smooth":
            args = [self.array((N, n)), self.array((N, n, n), "spd"), self.callback(True, n),
                    self.array((N, n, n), "spd"), self.array((N,)), r.choice([None, (), (1,), "ab"]),
                    r.choice([True, False, 1, None]), r.choice([None, (0,), (n,), (-1,), (2**64,), [0], "a"]),
                    r.choice([1, 2, 0, -1, 2**63, 2**64, None, 1.5])]
            self.execute("_engine.cubature_smooth", _engine.cubature_smooth, args, {})
        elif which == "angles":
            kf = r.choice(self.kfs)
            states = r.choice([(), (0,), (kf.dim_x,), (-1,), (2**63,), (0, 0), None, [0], ("a",)])
            if r.random() < 0.5:
                args = [kf.native if r.random() < 0.9 else r.choice([None, 3, self.banks[0]]),
                        self.callback(True, kf.dim_x, kf), r.choice([None, 0.5, self.double()]),
                        r.choice([None, ()]), states]
                self.execute("_engine.predict_angles", _engine.predict_angles, args, {},
                             kf.to_dict if args[0] is kf.native else None, skip=COUNTERS)
            else:
                args = [kf.native, self.array((kf.dim_z,)), self.callback(False, kf.dim_z, kf),
                        r.choice([None, self.array((kf.dim_z, kf.dim_z), "spd")]), r.choice([None, ()]), states,
                        r.choice([(), (0,), (kf.dim_z,), (-1,), (2**64,)])]
                self.execute("_engine.update_angles", _engine.update_angles, args, {}, kf.to_dict, skip=COUNTERS)
        else:
            self.execute("_engine.field_tables", _engine.field_tables, [], {})

    def array_call(self):
        """One whole-array call with random arguments (outcome checks only)."""
        r = self.r
        n, m, M, N = r.choice([1, 2, 3]), r.choice([1, 2]), r.choice([1, 2, 4]), r.choice([0, 1, 2, 5])
        which = r.choice(["batch_filter", "batch_smoother", "rts_smoother", "filter_bank_step", "cubature_smoother"])
        panel = r.random() < 0.5
        lead = (M,) if panel else ()
        if which in ("batch_filter", "batch_smoother"):
            args = [self.array(lead + (n,) if r.random() < 0.5 else (n,)),
                    self.array((n, n), "spd") if r.random() < 0.7 else r.choice([1.0, self.array(lead + (n, n))]),
                    self.array(lead + (N, m)) if r.random() < 0.6 else self.gappy(lead + (N, m)),
                    self.model_matrix(N, n, n), self.model_matrix(N, m, n),
                    self.model_matrix(N, n, n, "spd"), self.model_matrix(N, m, m, "spd")]
            kwargs = {"nan_means_missing": r.choice([True, False, True, 1])}
            if which == "batch_smoother" and r.random() < 0.5:
                kwargs["covariances"] = r.random() < 0.5
            fn = batch_filter if which == "batch_filter" else batch_smoother
        elif which == "rts_smoother":
            args = [self.array(lead + (N, n)), self.array(lead + (N, n, n), "spd"), self.model_matrix(N, n, n),
                    self.model_matrix(N, n, n, "spd")]
            kwargs, fn = {}, rts_smoother
        elif which == "filter_bank_step":
            args = [self.array((M, n)), self.array((M, n, n) if r.random() < 0.5 else (n, n), "spd"),
                    self.array((M, m)) if r.random() < 0.5 else self.measurements(M, m), self.array((n, n)),
                    self.array((m, n)), r.choice([0.1, self.array((n, n), "spd")]),
                    r.choice([1.0, self.array((m, m), "spd")])]
            kwargs, fn = {"nan_means_missing": r.random() < 0.6}, filter_bank_step
        else:
            args = [self.array((N, n)), self.array((N, n, n), "spd"), self.callback(True, n),
                    r.choice([0.1, self.array((n, n), "spd"), self.array((N, n, n), "spd")]),
                    r.choice([1.0, self.array((max(N - 1, 0),)), self.double()])]
            kwargs = {"square_root": r.random() < 0.4, "steps_per_call": r.choice([1, 2, 7, 2**70, 0])}
            if r.random() < 0.3:
                kwargs["angle_states"] = r.choice([[0], [n], np.ones(n, bool), [-1], [[0]], "a"])
            fn = cubature_smoother
        self.execute(which, fn, args, kwargs)

    def model_matrix(self, N, rows, cols, kind="any"):
        roll = self.r.random()
        if roll < 0.5:
            return self.array((rows, cols), kind)
        if roll < 0.8:
            return self.array((N, rows, cols), kind)
        return self.r.choice([0.5, 1.0, self.array((N + 1, rows, cols), kind)]) if rows == cols else \
            self.array((rows + 1, cols))

    def gappy(self, shape):
        zs = self.g.standard_normal(shape)
        if zs.size:
            rows = zs.reshape(-1, shape[-1])
            rows[self.g.random(rows.shape[0]) < 0.3] = np.nan
            if self.r.random() < 0.2:
                rows[self.r.randrange(rows.shape[0]), 0] = self.r.choice([np.nan, np.inf])
        return zs

    # -- compiled models ---------------------------------------------------------

    def builtin_model(self, kind, n, m=None, r=None, g=None):
        """A built-in model of `kind` for dim_x n (and dim_z m), built with good arguments (random choices from
        r and g, by default the fuzzer's)."""
        r, g = r or self.r, g or self.g
        if kind == "fx":
            which = r.choice(["linear"] + (["coordinated_turn", "ctrv"] if n == 5 else []))
        else:
            which = r.choice(["linear_measurement"] + (["range_bearing"] if m == 2 and n >= 2 else [])
                             + (["range_bearing_elevation"] if m == 3 and n >= 3 else []))
        if which == "linear":
            return models.linear(np.eye(n) + 0.15 * g.standard_normal((n, n)))
        if which == "coordinated_turn":
            return models.coordinated_turn()
        if which == "ctrv":
            return models.ctrv()
        if which == "linear_measurement":
            return models.linear_measurement(g.standard_normal((m, n)))
        k = 2 if which == "range_bearing" else 3
        build = models.range_bearing if k == 2 else models.range_bearing_elevation
        return build(tuple((3.0 * g.standard_normal(k)).tolist()), r.sample(range(n), k))

    def c_model(self, kind, n=None, m=None, form=None, function=None, r=None):
        """The fuzz's C model (`function`, by default the one of `kind`) in one of the forms a filter takes.

        Returns (object, scale): a CompiledModel made from an address or a
        capsule, a capsule, a ctypes function or a LowLevelCallable (the
        last three converted where a filter takes them), and the scale the
        function reads from its user data."""
        r = r or self.r
        function = function or kind
        forms = ["address", "capsule_model", "capsule", "ctypes"] + (["llc"] if LowLevelCallable else [])
        form = form or r.choice(forms)
        k = r.randrange(4)
        ud = None if k == 3 or form == "ctypes" else scale_address(k)
        scale = DEFAULT_SCALE[function] if ud is None else SCALES[k]
        address = NATIVE.address[function]
        fn = NATIVE.fx if function == "fx" else NATIVE.hx
        if form in ("address", "capsule_model"):
            dims = {}
            if n is not None and r.random() < 0.6:
                dims["dim_in"] = n
            out = n if kind == "fx" else m
            if out is not None and (r.random() < 0.6 or kind == "hx"):
                dims["dim_out"] = out
            if form == "address":
                return CompiledModel(kind, address, ud, keep=NATIVE.lib, text=f"<fz {function} at an address>",
                                     **dims), scale
            how = r.choice(["context", "user_data_int", "user_data_capsule"])
            cap = capsule(address, r.choice(GOOD_SIGNATURES), ud if how == "context" else None)
            user = None if how == "context" or ud is None else ud if how == "user_data_int" else capsule(
                ud, r.choice(["scale", None]))
            return CompiledModel(kind, cap, user, text=f"<fz {function} capsule>", **dims), scale
        if form == "capsule":
            return capsule(address, r.choice(GOOD_SIGNATURES), ud), scale
        if form == "ctypes":
            return fn, scale
        return LowLevelCallable(fn, user_data=None if ud is None else ctypes.c_void_p(ud)), scale

    def compiled_model(self, kind, n, m=None, r=None, g=None):
        """A compiled model fitting dim_x n (and dim_z m): a built-in, or the fuzz's C model in any form."""
        if NATIVE is not None and (r or self.r).random() < 0.55:
            return self.c_model(kind, n, m, r=r)[0]
        return self.builtin_model(kind, n, m, r, g)

    def any_fx(self, n, target=None):
        """An fx for dim_x n: mostly a misbehaving Python callback, sometimes a compiled model."""
        return self.compiled_model("fx", n) if self.r.random() < 0.2 else self.callback(True, n, target)

    def any_hx(self, n, m, target=None):
        return self.compiled_model("hx", n, m) if self.r.random() < 0.2 else self.callback(False, m, target)

    def model_params(self, x0=None):
        """Extra arguments for a compiled model: numbers (thresholds around x0 that make the fuzz's C models fail
        on some points), one float64 array, or what must be refused."""
        r, g = self.r, self.g
        c = float(x0) if x0 is not None and np.isfinite(x0) else 0.0
        a, b = c + float(g.normal()) * 1.5, c + float(g.normal()) * 1.5
        return r.choice([
            (), (), (a,), (a, b), (1e300, b), (1.0, 2.0, 3.0), (np.float64(a),), (np.int64(3),), (np.float32(a), b),
            (2**70,), (10**400,), (np.array([a, b]),), (np.array([[a], [b]]),), (np.array(a),), (np.array([]),),
            (np.array([a, b])[::-1],), (np.array([a, b], dtype=">f8"),), (np.array([1, 2]),),
            (np.array([1.0], dtype=np.float32),), (np.array([a]), b), ("a",), ("1.0",), ([a],), ([[a]],),
            ((a,),), (True,), (np.bool_(False),), (None,), (Weird(),), (a, "x"), (b"ab",), (1 + 2j,),
            (np.complex128(a),)])

    @staticmethod
    def param_values(params):
        """What a compiled model is given for `params`: a list of floats, "refused" or "overflow"."""
        values = []
        for v in params:
            # Any byte order: the engine converts a float64 array to native order.
            if isinstance(v, np.ndarray) and v.dtype.kind == "f" and v.dtype.itemsize == 8 and len(params) == 1:
                values.extend(np.ascontiguousarray(v).reshape(-1).tolist())
            elif isinstance(v, (bool, np.bool_)) or not isinstance(v, (float, int, np.number)) or \
                    isinstance(v, np.complexfloating):
                return "refused"
            else:
                try:
                    values.append(float(v))
                except OverflowError:
                    return "overflow"
        return values

    def model_x(self, d):
        """Points to call a model with: mostly a clean float64 (k, d) array of any layout, sometimes anything."""
        r = self.r
        k = r.choice([0, 1, 2, 3, 6, 10])
        if r.random() < 0.75:
            X = self.layout(self.g.standard_normal((k, d)) * r.choice([1.0, 3.0, 100.0]))
            if r.random() < 0.15 and X.size:
                X = np.array(X)
                X[r.randrange(k), r.randrange(d)] = r.choice([np.nan, np.inf, -np.inf])
            return X
        return self.array((k, d))

    # The built-in models' codes for a call (tracking_models.hpp): 3 for
    # any parameter, then 1 for dimensions the model cannot take, 2 for
    # unusable constants.
    @staticmethod
    def builtin_code(name, consts, dim_in, dim_out, n_params):
        if n_params:
            return 3
        if dim_in < 1 or dim_out < 1:
            return 1
        if name in ("coordinated_turn", "ctrv"):
            return 0 if (dim_in, dim_out) == (5, 5) else 1
        if name in ("range_bearing", "range_bearing_elevation"):
            k = 2 if name == "range_bearing" else 3
            if dim_out != k:
                return 1
            idx = consts[k:2 * k]
            if not all(v >= 0 and v < 2**53 and float(v).is_integer() for v in idx):
                return 2
            return 0 if all(v < dim_in for v in idx) else 1
        return 0

    @staticmethod
    def builtin_images(name, consts, X, dt, dim_out):
        """A NumPy twin of a built-in model (closeness checks only)."""
        if name in ("linear", "linear_measurement"):
            return X @ np.asarray(consts).reshape(dim_out, X.shape[1]).T
        if name in ("range_bearing", "range_bearing_elevation"):
            k = 2 if name == "range_bearing" else 3
            d = X[:, [int(i) for i in consts[k:2 * k]]] - np.asarray(consts[:k])
            ground = np.hypot(d[:, 0], d[:, 1])
            out = [ground, np.arctan2(d[:, 1], d[:, 0])]
            if k == 3:
                out = [np.hypot(ground, d[:, 2]), out[1], np.arctan2(d[:, 2], ground)]
            return np.column_stack(out)
        px, py, a3, a4, w = X.T
        a = w * dt
        small = np.abs(a) < 1e-6
        safe = np.where(small, 1.0, w)
        if name == "ctrv":
            heading, speed = a3, a4
            dx = np.where(small, speed * dt * np.cos(heading + a / 2),
                          speed / safe * (np.sin(heading + a) - np.sin(heading)))
            dy = np.where(small, speed * dt * np.sin(heading + a / 2),
                          speed / safe * (np.cos(heading) - np.cos(heading + a)))
            return np.column_stack([px + dx, py + dy, heading + a, speed, w])
        vx_, vy = a3, a4
        s, c = np.sin(a), np.cos(a)
        sa = np.where(small, dt, s / safe)
        ca = np.where(small, w * dt * dt / 2, (1 - c) / safe)
        return np.column_stack([px + sa * vx_ - ca * vy, py + ca * vx_ + sa * vy, c * vx_ - s * vy,
                                s * vx_ + c * vy, w])

    def call_model(self, model, source, X=None, dt=None, params=None):
        """The model called from Python with random points, dt and parameters, judged against what it must give.

        `source` says what the function is: ("c", function kind, scale) for
        the fuzz's C models, ("builtin", name, constants) for a built-in."""
        r = self.r
        d = (model.dim_in if model.dim_in is not None and r.random() < 0.85 else r.choice([1, 2, 3, 5]))
        X = self.model_x(d) if X is None else X
        clean = isinstance(X, np.ndarray) and X.dtype == np.float64 and X.ndim == 2 and X.size < 10**5
        x0 = X[0, 0] if clean and X.size else None
        params = self.model_params(x0) if params is None else params
        if model.kind == "fx":
            dt = (r.choice([1.0, 0.5, -0.3, 0.0]) if r.random() < 0.8 else self.double()) if dt is None else dt
            args = [X, dt, *params]
        else:
            args = [X, *params]
        if r.random() < 0.03:  # the wrong arity or a keyword: refused
            res = self.execute("CompiledModel() (wrong call)", model, args[:1] if model.kind == "fx" else [], {})
            if not isinstance(res, Failed) or type(res.exc) is not TypeError:
                self.report("CompiledModel: wrong call form", f"{model!r} called without its points or dt gave "
                            f"{outcome(res)}; expected TypeError\n  {self.here()}")
            return
        given = X.copy() if clean else None
        res = self.execute(f"CompiledModel({model.kind}) call", model, args, {})
        if clean and not same(X, given):
            self.fail(self.here(), f"{model!r}", args, {}, "changed its points")
        dt_clean = model.kind == "hx" or (isinstance(dt, (float, int)) and not isinstance(dt, bool))
        if not clean or not dt_clean:
            return
        rows, d = X.shape
        dim_out = model.dim_out if model.dim_out is not None else (d if model.kind == "fx" else None)
        values = self.param_values(params)
        if dim_out is None or (model.dim_in is not None and model.dim_in != d):
            want = ValueError
        elif values == "refused":
            want = TypeError
        elif values == "overflow":
            want = OverflowError
        elif not rows:
            want = None
        elif source[0] == "c":
            code = fz_code(source[1], X, d, dim_out, values)
            want = None if code == 0 else code
        else:
            code = self.builtin_code(source[1], source[2], d, dim_out, len(values))
            want = None if code == 0 else code
        label = f"{model!r} called with {describe(X)}, dt {dt!r}, params {describe(params)}"
        got = type(res.exc).__name__ if isinstance(res, Failed) else "a result"
        kinds = ", ".join(type(v).__name__ for v in params)
        if isinstance(want, int):
            if not isinstance(res, Failed) or type(res.exc) is not RuntimeError or f"returned {want} " not in \
                    str(res.exc) or not is_model_failure(res.exc):
                self.report(f"CompiledModel call: a return of {want} gives {got}",
                            f"{label}: the function returns {want}, the call gave {outcome(res)}; expected "
                            f"RuntimeError naming the code\n  {self.here()}")
            return
        if want is not None:
            if not isinstance(res, Failed) or not isinstance(res.exc, want):
                self.report(f"CompiledModel call: {got}, not {want.__name__}, for the parameters ({kinds})",
                            f"{label}: gave {outcome(res)}; expected {want.__name__}\n  {self.here()}")
            return
        if isinstance(res, Failed):
            if not isinstance(res.exc, MemoryError):
                self.report(f"CompiledModel call refused: {type(res.exc).__name__}",
                            f"{label}: raised {res.exc!r}; expected images\n  {self.here()}")
            return
        if not (isinstance(res, np.ndarray) and res.dtype == np.float64 and res.shape == (rows, dim_out)
                and res.flags.c_contiguous and res.flags.writeable and not np.shares_memory(res, X)):
            self.report("CompiledModel call: the images' array", f"{label}: returned {describe(res)}; expected a "
                        f"new C-contiguous float64 array of shape {(rows, dim_out)}\n  {self.here()}")
            return
        if not rows:
            return
        # Each image is its point's alone, and close to the model's NumPy twin.
        i = r.randrange(rows)
        one = self.execute(f"CompiledModel({model.kind}) call (one row)", model,
                           [X[i:i + 1], dt, *params] if model.kind == "fx" else [X[i:i + 1], *params], {})
        if isinstance(one, Failed) or not same(one[0], res[i]):
            self.report("CompiledModel call: an image depends on the other points",
                        f"{label}: row {i} alone gives {outcome(one) if isinstance(one, Failed) else describe(one[0])}"
                        f", with the others {describe(res[i])}\n  {self.here()}")
            return
        step = float(dt) if model.kind == "fx" else 0.0
        if source[0] == "c":
            want_images = fz_np(source[1], X, step, source[2], dim_out)
            if len(values) >= 2:
                hit = X[:, 0] < values[1]
                col = 0 if source[1] == "fx" else -1
                if not (np.isnan(res[hit, col]) if source[1] == "fx" else np.isposinf(res[hit, col])).all():
                    self.report("CompiledModel call: the model's non-finite images are not given back",
                                f"{label}: gave {describe(res)}\n  {self.here()}")
                    return
                want_images[hit] = np.nan
        else:
            want_images = self.builtin_images(source[1], source[2], X, step, dim_out)
        finite = np.isfinite(want_images).all(axis=1) & (np.abs(X) < 1e100).all(axis=1) & np.isfinite(X).all(axis=1)
        tol = 1e-6 if source[1] in ("coordinated_turn", "ctrv") else 1e-9
        if not close(res[finite], want_images[finite], tol):
            self.report(f"CompiledModel call: images of {source[1]} far from its twin",
                        f"{label}: gave {describe(res)}, the NumPy twin {describe(want_images)}\n  {self.here()}")

    def some_model(self):
        """A valid compiled model with what the call oracle needs to know of it: (model, source)."""
        r = self.r
        if NATIVE is not None and r.random() < 0.5:
            kind = r.choice(["fx", "hx"])
            n = r.choice([1, 2, 3, 5])
            obj, scale = self.c_model(kind, n, r.choice([1, 2, 3]))
            model = as_model(obj, kind)
            return model, ("c", kind, scale)
        kind = r.choice(["fx", "hx"])
        n, m = r.choice([(5, 2), (5, 3), (2, 2), (3, 3), (1, 1), (4, 2), (3, 1)])
        model = self.builtin_model(kind, n, m)
        return model, ("builtin", self.builtin_name(model), self.builtin_constants(model))

    @staticmethod
    def builtin_name(model):
        return model.__reduce__()[1][0]

    @staticmethod
    def builtin_constants(model):
        name, args = model.__reduce__()[1]
        if name in ("linear", "linear_measurement"):
            return np.asarray(args[0], dtype=float).reshape(-1).tolist()
        if name in ("range_bearing", "range_bearing_elevation"):
            return list(args[0]) + [float(i) for i in args[1]]
        return []

    def compiled_builtin(self):
        """models.* built with good and bad arguments; a good one reads back, pickles and reprs to itself."""
        r, g = self.r, self.g
        name = r.choice(["coordinated_turn", "ctrv", "range_bearing", "range_bearing_elevation", "linear",
                         "linear_measurement"])
        bad = r.random() < 0.4
        args, kwargs, refusal = [], {}, None
        if name in ("range_bearing", "range_bearing_elevation"):
            k = 2 if name == "range_bearing" else 3
            n = r.randint(k, 6)
            sensor = r.choice([tuple((3 * g.standard_normal(k)).tolist()), list(g.standard_normal(k)),
                               self.layout(g.standard_normal(k)), [np.float32(1.5)] * k, [1] * k])
            position = r.sample(range(n), k)
            position = r.choice([position, tuple(position), np.array(position), [np.int64(i) for i in position],
                                 np.array(position, dtype=np.uint8)])
            if bad:
                what = r.choice(["sensor_length", "sensor_nan", "sensor_text", "sensor_none", "sensor_complex",
                                 "position_negative", "position_twice", "position_length", "position_float",
                                 "position_bool", "position_huge", "position_text", "position_2d", "position_none"])
                bads = {
                    "sensor_length": ([0.0] * r.choice([k - 1, k + 1, 0]), ValueError),
                    "sensor_nan": ([r.choice([np.nan, np.inf, -np.inf])] + [0.0] * (k - 1), ValueError),
                    "sensor_text": (r.choice(["ab", ["a"] * k]), (TypeError, ValueError)),
                    "sensor_none": (None, TypeError),
                    "sensor_complex": ([1j] * k, TypeError),
                    "position_negative": ([-1] + list(range(1, k)), ValueError),
                    "position_twice": ([0] * k, ValueError),
                    "position_length": (list(range(k + r.choice([-1, 1]))), ValueError),
                    "position_float": ([0.0] + list(range(1, k)), TypeError),
                    "position_bool": ([True] + list(range(2, k + 1)), TypeError),
                    "position_huge": ([2**53] + list(range(1, k)), ValueError),
                    "position_text": (r.choice(["01", b"01"]), TypeError),
                    "position_2d": (np.arange(k)[None], TypeError),
                    "position_none": (None, TypeError)}
                value, refusal = bads[what]
                if what.startswith("sensor"):
                    sensor = value
                else:
                    position = value
            kwargs = {"sensor": sensor, "position": position}
            if r.random() < 0.2 and not bad:
                kwargs = {}
                n = max(n, k)
        elif name in ("linear", "linear_measurement"):
            rows, cols = r.randint(1, 5), r.randint(1, 5)
            if name == "linear":
                rows = cols
            M = self.layout(g.standard_normal((rows, cols)))
            if bad:
                what = r.choice(["nan", "shape", "empty", "1d", "3d", "none", "complex", "text"]
                                + (["square"] if name == "linear" else []))
                M, refusal = {
                    "nan": (np.where(np.arange(cols) == 0, r.choice([np.nan, np.inf]), M), ValueError),
                    "shape": (np.zeros((rows, cols + 1)), ValueError),
                    "square": (np.zeros((rows, rows + 1)), ValueError),
                    "empty": (np.zeros((0, r.choice([0, 2]))), ValueError),
                    "1d": (np.zeros(cols), ValueError),
                    "3d": (np.zeros((1, rows, cols)), ValueError),
                    "none": (None, TypeError),
                    "complex": (np.zeros((rows, cols), dtype=complex), TypeError),
                    "text": ([["a"] * cols] * rows, (TypeError, ValueError))}[what]
                if what == "shape" and name == "linear_measurement":
                    M, refusal = np.zeros((rows, 0)), ValueError
            args = [M]
            n = cols
        else:
            n = 5
            if bad:
                args, refusal = [r.choice([1, None, "x"])], TypeError
        fn = getattr(models, name)
        res = self.execute(f"models.{name}", fn, args, kwargs)
        if refusal is not None:
            if not isinstance(res, Failed) or not isinstance(res.exc, refusal):
                self.fail(self.here(), f"models.{name}", args, kwargs,
                          f"gave {outcome(res)}; expected {getattr(refusal, '__name__', refusal)}")
            return
        if isinstance(res, Failed):
            self.fail(self.here(), f"models.{name}", args, kwargs, f"refused good arguments: {res.exc!r}")
            return
        model = res
        kind = "hx" if name.startswith(("range", "linear_m")) else "fx"
        dims = {"coordinated_turn": (5, 5), "ctrv": (5, 5), "range_bearing": (None, 2),
                "range_bearing_elevation": (None, 3)}.get(name)
        if dims is None:
            dims = (args[0].shape[1], args[0].shape[0]) if isinstance(args[0], np.ndarray) else None
        angles = {"ctrv": (2,), "range_bearing": (1,), "range_bearing_elevation": (1,)}.get(name, ())
        if (model.kind, (model.dim_in, model.dim_out), model.angles, model.keep) != (kind, dims, angles, None):
            self.fail(self.here(), f"models.{name}", args, kwargs,
                      f"reads back kind {model.kind}, dims {(model.dim_in, model.dim_out)}, angles {model.angles}, "
                      f"keep {model.keep!r}; expected {kind}, {dims}, {angles}, None")
            return
        # A pickle and the repr evaluated build the same model: the same images, bit for bit.
        twins = [self.execute("pickle CompiledModel", lambda: pickle.loads(pickle.dumps(model)), [], {}),
                 self.execute("eval(repr(CompiledModel))", eval, [repr(model), {"models": models}], {})]
        X = self.g.standard_normal((r.choice([1, 4]), n)) * 2.0
        call = (lambda f: f(X, 0.7)) if kind == "fx" else (lambda f: f(X))
        want = call(model)
        for how, twin in zip(("a pickle", "its repr evaluated"), twins):
            if isinstance(twin, Failed) or type(twin) is not CompiledModel or repr(twin) != repr(model) or \
                    not same(call(twin), want):
                self.fail(self.here(), f"models.{name}", args, kwargs, f"{how} is not the same model: {outcome(twin)}")
                return
        self.call_model(model, ("builtin", name, self.builtin_constants(model)))

    def compiled_hand(self):
        """_engine.CompiledModel built by hand: good arguments read back; one bad argument is refused."""
        r, g = self.r, self.g
        kind = r.choice(["fx", "hx"])
        kwargs = {}
        family = r.choice(["builtin"] * 2 + (["c"] if NATIVE is not None else []))
        if family == "builtin":
            name = r.choice(["coordinated_turn", "ctrv", "range_bearing", "range_bearing_elevation", "linear",
                             "linear_measurement"])
            if name in ("linear", "linear_measurement"):
                di = r.randint(1, 4)
                do = di if kind == "fx" else r.randint(1, 4)
                consts = g.standard_normal(di * do).tolist()
                kwargs.update(dim_in=di, dim_out=do)
            elif name.startswith("range"):
                k = 2 if name == "range_bearing" else 3
                consts = g.standard_normal(k).tolist() + [float(i) for i in r.sample(range(5), k)]
                if r.random() < 0.2:  # unusable positions are the model's return code 2 at a call
                    consts[k] = r.choice([0.5, -1.0, np.nan, 2.0**60])
            else:
                consts = []
            form = r.choice(["tuple", "list", "array", "float32"] if consts else ["tuple", "none"])
            if form == "float32":
                consts = [float(np.float32(v)) for v in consts]
            user = {"tuple": tuple(consts), "list": list(consts), "array": np.array(consts, dtype=float),
                    "float32": [np.float32(v) for v in consts], "none": None}[form]
            function = name
            source = ("builtin", name, consts)
        else:
            fkind = r.choice(["fx", "hx"]) if r.random() < 0.2 else kind
            k = r.randrange(4)
            ud = None if k == 3 else scale_address(k)
            how = r.choice(["address", "capsule", "capsule_context"])
            if how == "address":
                function = NATIVE.address[fkind]
                user = ud
            else:
                function = capsule(NATIVE.address[fkind], r.choice(GOOD_SIGNATURES),
                                   ud if how == "capsule_context" else None)
                user = None if how == "capsule_context" or ud is None else r.choice([ud, capsule(ud, "scale")])
            source = ("c", fkind, DEFAULT_SCALE[fkind] if ud is None else SCALES[k])
        if "dim_in" not in kwargs and r.random() < 0.5:
            kwargs["dim_in"] = r.choice([1, 2, 3, 5, np.int64(2)])
        if "dim_out" not in kwargs and r.random() < 0.5:
            kwargs["dim_out"] = kwargs.get("dim_in", r.choice([1, 2, 3, 5])) if kind == "fx" else r.choice([1, 2, 3])
        bound = kwargs.get("dim_out", kwargs.get("dim_in") if kind == "fx" else None)
        # Angles of a model without a bound on its output read 2**31 flags (256 MiB, 0.2 s) for their
        # distinctness check: rarely.
        if r.random() < (0.4 if bound else 0.04):
            kwargs["angles"] = r.sample(range(bound if bound else 4), r.randint(0, min(bound or 4, 2)))
            kwargs["angles"] = tuple(kwargs["angles"]) if r.random() < 0.5 else kwargs["angles"]
        if r.random() < 0.3:
            kwargs["text"] = r.choice(["my model", "", "ünïcode"])
        if r.random() < 0.2:
            kwargs["keep"] = r.choice([[1], self, None])
        args = [kind, function, user]
        refusal = None
        if r.random() < 0.45:
            what = r.choice(["kind", "kind_type", "name", "function", "null", "constants_count", "constants_type",
                             "dim_zero", "dim_negative", "dim_huge", "dim_float", "angles_outside", "angles_twice",
                             "angles_negative", "angles_array", "text", "reduce", "user_data", "fx_dims",
                             "capsule_name", "capsule_null_name", "ctypes_function", "dims_overflow"])
            if what.startswith("angles") and not bound and r.random() < 0.9:
                kwargs["dim_out"] = bound = 3  # bounded angles: see above
                if kind == "fx":
                    kwargs["dim_in"] = 3
            if what == "kind":
                args[0], refusal = r.choice(["FX", "", "f x", "measurement"]), ValueError
            elif what == "kind_type":
                args[0], refusal = r.choice([3, None, b"fx"]), TypeError
            elif what == "name":
                args[1], refusal = r.choice(["nope", "Linear", "linear ", ""]), ValueError
            elif what == "function":
                args[1], refusal = r.choice([1.5, None, b"ctrv", [1], Weird()]), TypeError
            elif what == "null":
                args[1], refusal = 0, ValueError
            elif what == "constants_count" and family == "builtin":
                args[2], refusal = list(g.standard_normal(len(consts) + r.choice([-1, 1, 3]) if consts else 2)), \
                    ValueError
            elif what == "constants_type" and family == "builtin":
                args[2], refusal = r.choice([["a"] * max(1, len(consts)), 5, [Weird()] * max(1, len(consts)),
                                             [None] * max(1, len(consts))]), (TypeError, CallbackError)
            elif what == "dim_zero":
                kwargs[r.choice(["dim_in", "dim_out"])], refusal = 0, ValueError
            elif what == "dim_negative":
                kwargs[r.choice(["dim_in", "dim_out"])], refusal = -1, (ValueError, OverflowError)
            elif what == "dim_huge":
                kwargs[r.choice(["dim_in", "dim_out"])], refusal = 2**64, (ValueError, OverflowError)
            elif what == "dim_float":
                kwargs[r.choice(["dim_in", "dim_out"])], refusal = r.choice([2.0, "2"]), TypeError
            elif what == "angles_outside" and bound:
                kwargs["angles"], refusal = [bound], ValueError
            elif what == "angles_twice":
                kwargs["angles"], refusal = [0, 0], ValueError
            elif what == "angles_negative":
                kwargs["angles"], refusal = [-1], (ValueError, OverflowError)
            elif what == "angles_array":
                kwargs["angles"], refusal = r.choice([np.array([0]), "0", 0, [0.0], [None]]), TypeError
            elif what == "text":
                kwargs["text"], refusal = r.choice([3, b"x", ["t"]]), TypeError
            elif what == "reduce":
                kwargs["reduce"], refusal = r.choice([[1], "x", 3]), TypeError
            elif what == "user_data" and family == "c":
                args[2], refusal = r.choice([1.5, "x", [1.0], Weird()]), TypeError
            elif what == "fx_dims" and kind == "fx":
                kwargs["dim_in"], kwargs["dim_out"], refusal = 2, 3, ValueError
                kwargs.pop("angles", None)
            elif what == "capsule_name" and family == "c":
                args[1], refusal = capsule(NATIVE.address[kind], r.choice(BAD_SIGNATURES)), TypeError
            elif what == "capsule_null_name" and family == "c":
                args[1], refusal = capsule(NATIVE.address[kind], None), TypeError
            elif what == "ctypes_function" and family == "c":
                args[1], refusal = NATIVE.fx, TypeError
            elif what == "dims_overflow" and family == "builtin" and name in ("linear", "linear_measurement"):
                # dim_out * dim_in past 2**63 (or 2**64, wrapping to a count of 0) constants.
                big = r.choice([2**32, 2**62, 2**63 - 1])
                kwargs["dim_in"] = big
                kwargs["dim_out"] = big if kind == "fx" or r.random() < 0.5 else r.choice([2, 4])
                kwargs.pop("angles", None)
                args[2], refusal = r.choice([None, (), (1.0,) * 6]), (ValueError, OverflowError)
        res = self.execute("_engine.CompiledModel()", CompiledModel, args, kwargs)
        if refusal is not None:
            if not isinstance(res, Failed) or not isinstance(res.exc, refusal):
                self.fail(self.here(), "_engine.CompiledModel", args, kwargs,
                          f"gave {outcome(res)}; expected {getattr(refusal, '__name__', refusal)}")
            return
        if isinstance(res, Failed):
            self.fail(self.here(), "_engine.CompiledModel", args, kwargs, f"refused good arguments: {res.exc!r}")
            return
        model = res
        want = (kind, kwargs.get("dim_in"), kwargs.get("dim_out"), tuple(kwargs.get("angles", ())),
                kwargs.get("keep"), kwargs.get("text", f"CompiledModel({kind})"))
        got = (model.kind, model.dim_in, model.dim_out, model.angles, model.keep, repr(model))
        if got != want:
            self.fail(self.here(), "_engine.CompiledModel", args, kwargs, f"reads back {got}; expected {want}")
            return
        pickled = self.execute("pickle CompiledModel (hand-built)", pickle.dumps, [model], {})
        if not isinstance(pickled, Failed) or type(pickled.exc) is not TypeError:
            self.fail(self.here(), "_engine.CompiledModel", args, kwargs,
                      f"a model without reduce pickles: {outcome(pickled)}")
            return
        self.call_model(model, source)

    def compiled_forms(self):
        """The C-level forms of one function give the same model; wrong signatures are refused naming the right one."""
        if NATIVE is None:
            return
        r = self.r
        kind = r.choice(["fx", "hx"])
        n, m = r.choice([1, 2, 4]), r.choice([1, 2, 3])
        k = r.randrange(3)
        ud = scale_address(k)
        address, fn = NATIVE.address[kind], (NATIVE.fx if kind == "fx" else NATIVE.hx)
        dim_out = n if kind == "fx" else m
        forms = {
            "address": CompiledModel(kind, address, ud, dim_out=dim_out, keep=NATIVE.lib),
            "capsule context": as_model(capsule(address, r.choice(GOOD_SIGNATURES), ud), kind,
                                                          n, dim_out),
            "capsule + int user data": CompiledModel(kind, capsule(address, r.choice(GOOD_SIGNATURES)), ud,
                                                     dim_out=dim_out),
            "capsule + capsule user data": CompiledModel(kind, capsule(address, r.choice(GOOD_SIGNATURES)),
                                                         capsule(ud, r.choice(["x", None])), dim_out=dim_out)}
        if LowLevelCallable is not None:
            forms["LowLevelCallable"] = as_model(
                LowLevelCallable(fn, user_data=ctypes.c_void_p(ud)), kind, n, dim_out)
        X = self.g.standard_normal((r.choice([1, 3, 8]), n))
        results = {}
        for name, model in forms.items():
            args = [X, 0.5] if kind == "fx" else [X]
            results[name] = self.execute(f"CompiledModel ({name})", model, args, {})
        first = next(iter(results.values()))
        if any(isinstance(v, Failed) or not same(v, first) for v in results.values()):
            self.report("compiled forms differ", f"one C function with one user data as {list(results)} gives "
                        f"{[outcome(v) if isinstance(v, Failed) else describe(v) for v in results.values()]}"
                        f"\n  {self.here()}")
        # No user data: the ctypes function and an address give the function's own default.
        plain = as_model(fn, kind, n, dim_out)
        args = [X, 0.5] if kind == "fx" else [X]
        got = self.execute("CompiledModel (ctypes)", plain, args, {})
        if isinstance(got, Failed) or not close(got, fz_np(kind, X, 0.5 if kind == "fx" else 0.0,
                                                        DEFAULT_SCALE[kind], dim_out), 1e-12):
            self.report("compiled forms: a ctypes function", f"as_model(ctypes {kind}) gave {outcome(got)} "
                        f"\n  {self.here()}")
        # Wrong signatures: a ctypes prototype of the wrong types, a capsule of the wrong name.
        wrong_args = list(MODEL_ARGTYPES)
        i = r.randrange(len(wrong_args) + 2)
        restype = ctypes.c_int
        if i == len(wrong_args):
            restype = r.choice([ctypes.c_double, None, ctypes.c_long])
        elif i == len(wrong_args) + 1:
            wrong_args = wrong_args[:-1]
        else:
            wrong_args[i] = r.choice([ctypes.c_int, ctypes.c_float, ctypes.POINTER(ctypes.c_float), ctypes.c_char_p])
        proto = ctypes.CFUNCTYPE(restype, *wrong_args)(address)
        for label, obj in (("ctypes function of the wrong signature", proto),
                           ("capsule of the wrong name", capsule(address, r.choice(BAD_SIGNATURES)))):
            res = self.execute(f"as_model({label})", vexel_ckf._models.as_model, [obj, kind, n, dim_out], {})
            if not isinstance(res, Failed) or type(res.exc) is not TypeError or (
                    vexel_ckf.MODEL_SIGNATURE not in str(res.exc)):
                self.report(f"compiled forms: {label}", f"as_model({label}) gave {outcome(res)}; expected TypeError "
                            f"printing the signature\n  {self.here()}")
            owner = r.choice(["VexelCKF", "CKFBank"])
            dims = (n, n if kind == "fx" else m)
            make = (lambda: VexelCKF(dims[0], dims[1], 1.0, **{kind: obj})) if owner == "VexelCKF" else (
                lambda: CKFBank(2, dims[0], dims[1], 1.0, **{kind: obj}))
            res = self.execute(f"{owner}({kind}={label})", make, [], {})
            if not isinstance(res, Failed) or type(res.exc) is not TypeError:
                self.report(f"compiled forms: {owner} takes a {label}", f"{owner}({kind}=a {label}) gave "
                            f"{outcome(res)}; expected TypeError\n  {self.here()}")

    def compiled_call(self):
        """One random call about compiled models."""
        r = self.r
        op = r.choices(["builtin", "hand", "forms", "model", "filter", "bank", "smoother", "wrong", "run_filter"],
                       [3, 3, 1, 4, 4, 3, 2, 2, 2])[0]
        if op == "model":
            model, source = self.some_model()
            self.call_model(model, source)
        else:
            getattr(self, "compiled_" + op)()

    def model_of_kind(self, kind, n, m=None):
        """A CompiledModel of `kind` (converted from a C-level form where need be), for the wrong-kind tests."""
        obj = self.compiled_model(kind, n, m)
        return as_model(obj, kind)

    @staticmethod
    def is_builtin(model):
        return isinstance(model, CompiledModel) and repr(model).startswith("models.")

    def fault_args(self, model, x0, p=0.5, r=None, g=None):
        """Valid numeric extra arguments for a compiled model: thresholds around x0 that make the fuzz's C models
        fail (or give non-finite images) on some points, with probability p; rarely one number that fails every
        call of a built-in."""
        r, g = r or self.r, g or self.g
        if not isinstance(model, CompiledModel):
            return ()
        if self.is_builtin(model):
            return (0.5,) if r.random() < 0.05 else ()
        if r.random() >= p:
            return r.choice([(), (1e300,), (1e300, -1e300)])
        a, b = float(x0) + abs(float(g.normal())) * 3.0, float(x0) - abs(float(g.normal())) * 3.0
        return r.choice([(a,), (a, b), (1e300, b)])

    def compiled_problem(self, square_root=None):
        """A private VexelCKF with compiled fx and hx (one of them, rarely, a Python callback), moderate state."""
        r, g = self.r, self.g
        n, m = r.choice([(1, 1), (2, 1), (2, 2), (3, 2), (4, 2), (3, 3), (5, 2), (5, 3)])
        fx = self.compiled_model("fx", n) if r.random() < 0.9 else self.callback(True, n)
        hx = self.compiled_model("hx", n, m) if r.random() < 0.9 else self.callback(False, m)
        kwargs = {"fx": fx, "hx": hx, "square_root": r.random() < 0.4 if square_root is None else square_root,
                  "nan_means_missing": r.random() < 0.5}
        if r.random() < 0.3:
            kwargs["angle_states"] = angle_spelling(r, r.sample(range(n), r.randint(0, 1)), n)[0]
        if r.random() < 0.3:
            kwargs["angle_measurements"] = angle_spelling(r, r.sample(range(m), r.randint(0, 1)), m)[0]
        if r.random() < 0.3:
            # Anything a compiled model may refuse, but values that come back equal from a copy or a pickle.
            kwargs["fx_args"] = self.model_params()
            if any(isinstance(v, Weird) for v in kwargs["fx_args"]):
                kwargs["fx_args"] = ()
        kf = self.execute("VexelCKF(compiled models)", VexelCKF, [n, m, r.choice([1.0, 0.5])], kwargs)
        if isinstance(kf, Failed):
            self.fail(self.here(), "VexelCKF", [n, m], kwargs, f"refused compiled models: {kf.exc!r}")
            return None
        # A C-level form is held as the CompiledModel it became, whose angles are the defaults.
        for name, obj, size in (("fx", fx, n), ("hx", hx, m)):
            held = getattr(kf, name)
            option = "angle_states" if name == "fx" else "angle_measurements"
            if not callable(obj) or type(obj).__name__ in ("PyCapsule", "LowLevelCallable") or \
                    isinstance(obj, ctypes._CFuncPtr):
                if not isinstance(held, CompiledModel) or (held.kind, held.dim_in, held.dim_out) != (name, n, size):
                    self.fail(self.here(), "VexelCKF", [n, m], kwargs, f"holds {name} as {held!r}")
                    return None
            if isinstance(held, CompiledModel) and kwargs.get(option) is None and \
                    getattr(kf, option) != held.angles:
                self.fail(self.here(), "VexelCKF", [n, m], kwargs,
                          f"{option} {getattr(kf, option)} are not {name}'s angles {held.angles}")
                return None
        kf.x = g.standard_normal(n) * 2.0
        kf.P = spd(g, n)
        kf.Q = spd(g, n, 0.1)
        kf.R = spd(g, m, 0.5)
        return kf

    def compiled_filter(self):
        """A VexelCKF with compiled models through random steps; a failed call changes nothing."""
        r, g = self.r, self.g
        kf = self.compiled_problem()
        if kf is None:
            return
        n, m = kf.dim_x, kf.dim_z

        def options():
            return dict(kf.to_dict(), fx_args=kf.fx_args, hx_args=kf.hx_args, fx=kf.fx, hx=kf.hx)

        numerical = (lambda e: COUNTERS if isinstance(e, RuntimeError) else ())
        jitter = {"last_jitter", "max_jitter", "jitter_count"}
        for _ in range(r.randint(1, 4)):
            op = r.choices(["predict", "update", "run", "assign", "pickle"], [5, 5, 3, 1, 1])[0]
            if op == "predict":
                kwargs = {}
                if r.random() < 0.3:
                    kwargs["fx"] = self.compiled_model("fx", n)
                if r.random() < 0.5:
                    kwargs["fx_args"] = self.model_params(kf.x[0])
                if r.random() < 0.3:
                    kwargs["dt"] = r.choice([0.5, -1.0, 0.0, None]) if r.random() < 0.8 else self.double()
                self.execute("VexelCKF.predict (compiled)", kf.predict, [], kwargs, options)
            elif op == "update":
                z = self.array((m,)) if r.random() < 0.3 else g.standard_normal(m) * 2.0
                kwargs = {}
                if r.random() < 0.3:
                    kwargs["hx"] = self.compiled_model("hx", n, m)
                if r.random() < 0.5:
                    kwargs["hx_args"] = self.model_params(kf.x[0])
                if r.random() < 0.2:
                    kwargs["R"] = self.array((m, m), "spd")
                skip = (lambda e: COUNTERS if isinstance(e, RuntimeError) else jitter) if kf.square_root else numerical
                self.execute("VexelCKF.update (compiled)", kf.update, [z], kwargs, options, skip=skip)
            elif op == "run":
                N = r.choice([0, 1, 3, 8])
                zs = g.standard_normal((N, m)) * 2.0
                zs[g.random(N) < 0.3] = np.nan
                kwargs = {"nan_means_missing": r.choice([None, True, False])}
                if r.random() < 0.3:
                    kwargs["dts"] = self.array((N,)) if r.random() < 0.3 else g.uniform(-0.5, 1.5, N)
                if r.random() < 0.05:
                    kwargs["progress"] = True
                res = self.execute("VexelCKF.run (compiled)", kf.run, [zs], kwargs)
                if not isinstance(res, Failed) and N and r.random() < 0.5:
                    self.execute("VexelCKF.smooth (compiled)", kf.smooth, [res],
                                 {"steps_per_call": r.choice([1, 3]), "fx_args": r.choice([None, self.model_params()])})
            elif op == "assign":
                # A model of the wrong kind or dimensions is refused and the filter keeps its own.
                name = r.choice(["fx", "hx"])
                before = getattr(kf, name)
                other = "hx" if name == "fx" else "fx"
                value, want = r.choice([
                    (self.model_of_kind(other, n, m), TypeError),
                    (models.linear(np.eye(n + 1)) if name == "fx" else models.linear_measurement(np.ones((m + 1, n))),
                     ValueError),
                    (self.compiled_model(name, n, m), None)])
                res = self.execute(f"VexelCKF.{name} = (compiled)", setattr, [kf, name, value], {})
                if (want is None) != (not isinstance(res, Failed)) or want is not None and (
                        type(res.exc) is not want or getattr(kf, name) is not before):
                    self.fail(self.here(), f"VexelCKF.{name} =", [value], {},
                              f"gave {outcome(res)} and holds {getattr(kf, name)!r}; expected "
                              f"{want.__name__ if want else 'success'}")
            else:
                res = self.execute("pickle VexelCKF (compiled)", lambda: pickle.loads(pickle.dumps(kf)), [], {})
                if isinstance(res, Failed):
                    continue
                for name in ("fx", "hx"):
                    mine, theirs = getattr(kf, name), getattr(res, name)
                    keeps = picklable(mine) is not None
                    if keeps != (theirs is not None) or keeps and repr(theirs) != repr(mine):
                        self.fail(self.here(), "pickle VexelCKF", [], {},
                                  f"{name} {mine!r} came back as {theirs!r}")
                if not same(res.to_dict(), kf.to_dict()):
                    self.fail(self.here(), "pickle VexelCKF", [], {}, "the state differs")
        if r.random() < 0.3:
            self.kfs[r.randrange(len(self.kfs))] = kf

    def compiled_bank(self):
        """A CKFBank with compiled models: random steps, a failed call changes nothing, statuses stay valid."""
        r, g = self.r, self.g
        n, m = r.choice([(1, 1), (2, 1), (2, 2), (3, 2), (4, 2), (3, 3), (5, 2), (5, 3)])
        M = r.choice([0, 1, 2, 5, 9])
        fx = self.compiled_model("fx", n) if r.random() < 0.9 else self.callback(True, n)
        hx = self.compiled_model("hx", n, m) if r.random() < 0.9 else self.callback(False, m)
        kwargs = {}
        if r.random() < 0.3:
            kwargs["fx_args"] = self.model_params()
        b = self.execute("CKFBank(compiled models)", CKFBank, [M, n, m, 1.0, fx, hx], kwargs)
        if isinstance(b, Failed):
            self.fail(self.here(), "CKFBank", [M, n, m, 1.0, fx, hx], kwargs, f"refused compiled models: {b.exc!r}")
            return
        for name, option in (("fx", "angle_states"), ("hx", "angle_measurements")):
            held = getattr(b, name)
            if isinstance(held, CompiledModel) and getattr(b, option) != held.angles:
                self.fail(self.here(), "CKFBank", [M, n, m], kwargs,
                          f"{option} {getattr(b, option)} are not {name}'s angles {held.angles}")
        if M:
            b.xs = g.standard_normal((M, n)) * 2.0
            b.Ps = np.stack([spd(g, n) for _ in range(M)])
        codes = set(vexel_ckf.STATUS_CODES)
        for _ in range(r.randint(1, 4)):
            op = r.choices(["predict", "update", "run", "keep", "add", "wrong"], [5, 5, 2, 1, 1, 1])[0]
            M = len(b)
            x0 = b.xs[r.randrange(M), 0] if M else 0.0
            if op == "predict":
                kwargs = {"fx_args": self.model_params(x0)} if r.random() < 0.6 else {}
                if r.random() < 0.2:
                    kwargs["dt"] = r.choice([0.5, -1.0, 0.0])
                self.execute("CKFBank.predict (compiled)", b.predict, [], kwargs, b.to_dict)
            elif op == "update":
                zs = g.standard_normal((M, m)) * 2.0 if r.random() < 0.8 else self.measurements(M, m)
                kwargs = {"hx_args": self.model_params(x0)} if r.random() < 0.6 else {}
                if r.random() < 0.3:
                    kwargs["missing"] = self.missing_mask(M)[0]
                self.execute("CKFBank.update (compiled)", b.update, [zs], kwargs, b.to_dict)
            elif op == "run":
                seq = np.stack([self.measurements(M, m) for _ in range(r.choice([1, 3]))])
                self.execute("CKFBank.run (compiled)", b.run, [seq], {})
            elif op == "keep":
                self.execute("CKFBank.keep (compiled)", b.keep, [self.selection(M)], {}, b.to_dict)
            elif op == "add":
                k = r.choice([1, 2])
                self.execute("CKFBank.add (compiled)", b.add, [g.standard_normal((k, n)), spd(g, n)], {}, b.to_dict)
            else:
                which = r.choice(["fx", "hx"])
                value = self.model_of_kind("hx" if which == "fx" else "fx", n, m)
                res = self.execute(f"CKFBank.{which} = (wrong kind)", setattr, [b, which, value], {})
                if not isinstance(res, Failed) or type(res.exc) is not TypeError:
                    self.fail(self.here(), f"CKFBank.{which} =", [value], {}, f"gave {outcome(res)}; expected "
                              "TypeError for a model of the other kind")
            status = b.status
            if not set(status.tolist()) <= codes or not set(b.to_dict()["pending_status"].tolist()) <= codes | {0}:
                self.fail(self.here(), "CKFBank (compiled)", [], {}, f"status {status.tolist()} outside the codes")
        if len(b) <= 40 and r.random() < 0.3:
            self.banks[r.randrange(len(self.banks))] = b

    def compiled_smoother(self):
        """cubature_smoother with a compiled fx and random arguments (outcome checks)."""
        r = self.r
        n = r.choice([1, 2, 3, 5])
        N = r.choice([0, 1, 2, 5])
        fx = self.compiled_model("fx", n) if r.random() < 0.9 else self.model_of_kind("hx", n, r.choice([1, 2]))
        args = [self.array((N, n)), self.array((N, n, n), "spd"), fx,
                r.choice([0.1, self.array((n, n), "spd"), self.array((N, n, n), "spd")]),
                r.choice([1.0, self.array((max(N - 1, 0),)), self.double()])]
        kwargs = {"square_root": r.random() < 0.4, "steps_per_call": r.choice([1, 2, 7, 2**70, 0])}
        if r.random() < 0.5:
            kwargs["fx_args"] = self.model_params()
        if r.random() < 0.3:
            kwargs["angle_states"] = r.choice([[0], [n], [-1], None])
        self.execute("cubature_smoother (compiled)", cubature_smoother, args, kwargs)

    def compiled_wrong(self):
        """A model of the other kind is a TypeError, a model of other dimensions a ValueError, wherever it goes;
        nothing changes."""
        r, g = self.r, self.g
        n, m = r.choice([(2, 1), (2, 2), (3, 2), (5, 2), (4, 3)])
        where = r.choice(["VexelCKF()", "CKFBank()", "predict/update", "bank engine", "run_filter", "smoother",
                          "assign"])
        which = "fx" if where == "smoother" else r.choice(["fx", "hx"])
        if r.random() < 0.5:
            value, want = self.model_of_kind("hx" if which == "fx" else "fx", n, m), TypeError
        else:
            value = models.linear(np.eye(n + 1)) if which == "fx" else models.linear_measurement(
                np.ones((m, n + r.choice([-1, 1]))) if r.random() < 0.5 else np.ones((m + 1, n)))
            want = ValueError
        kf = VexelCKF(n, m, 1.0, fx=self.builtin_model("fx", n), hx=self.builtin_model("hx", n, m))
        kf.x = g.standard_normal(n)
        bank = CKFBank(2, n, m, 1.0, fx=kf.fx, hx=kf.hx)
        zs = g.standard_normal((2, m))
        if where == "VexelCKF()":
            calls = [("VexelCKF()", lambda: VexelCKF(n, m, 1.0, **{which: value}), None)]
        elif where == "CKFBank()":
            calls = [("CKFBank()", lambda: CKFBank(2, n, m, 1.0, **{which: value}), None)]
        elif where == "predict/update":
            calls = [("VexelCKF.predict", lambda: kf.predict(fx=value), kf.to_dict) if which == "fx" else
                     ("VexelCKF.update", lambda: kf.update(zs[0], hx=value), kf.to_dict)]
        elif where == "bank engine":
            calls = [("_engine.CkfBank.predict", lambda: bank._b.predict(value, None, None), bank.to_dict)
                     if which == "fx" else
                     ("_engine.CkfBank.update", lambda: bank._b.update(zs, value, None), bank.to_dict)]
        elif where == "run_filter":
            fx, hx = (value, kf.hx) if which == "fx" else (kf.fx, value)
            calls = [("_engine.run_filter", lambda: _engine.run_filter(kf.native, (fx, (), hx, ()), zs), kf.to_dict)]
        elif where == "smoother":
            calls = [("cubature_smoother", lambda: cubature_smoother(
                g.standard_normal((3, n)), np.stack([np.eye(n)] * 3), value, 0.1, 1.0), None)]
        else:
            target = r.choice([kf, bank])
            held = getattr(target, which)

            def assign():
                try:
                    setattr(target, which, value)
                finally:
                    if getattr(target, which) is not held:
                        raise Mismatch(f"{type(target).__name__}.{which} changed on a refused assignment")
            calls = [(f"{type(target).__name__}.{which} =", assign, None)]
        for label, fn, state in calls:
            res = self.execute(f"{label} ({which} of the wrong {'kind' if want is TypeError else 'dims'})", fn, [], {},
                               state)
            # The bank's engine checks a model's dimensions before its kind.
            wants = (want, ValueError) if where == "bank engine" else (want,)
            if not isinstance(res, Failed) or type(res.exc) not in wants:
                self.report(f"compiled model of the wrong {'kind' if want is TypeError else 'dims'}: {label}",
                            f"{label} with {which} = {value!r} (dim_x {n}, dim_z {m}) gave {outcome(res)}; expected "
                            f"{want.__name__}\n  {self.here()}")

    def compiled_run_filter(self):
        """_engine.run_filter: odd arguments refused; a progress callback that raises or re-enters stops the run
        after the steps it reported, the filter then exactly as a run of those steps leaves it."""
        r, g = self.r, self.g
        kf = self.compiled_problem()
        if kf is None or not (isinstance(kf.fx, CompiledModel) and isinstance(kf.hx, CompiledModel)):
            return
        n, m = kf.dim_x, kf.dim_z
        N = r.choice([1, 2, 5, 20, 150])
        zs = g.standard_normal((N, m)) * 2.0
        gaps = g.random(N) < 0.2
        zs[gaps] = np.nan
        dts = g.uniform(-0.5, 1.5, N) if r.random() < 0.4 else None
        angles = (kf.angle_states, kf.angle_measurements)
        models_arg = (kf.fx, kf.fx_args, kf.hx, kf.hx_args)
        position = np.zeros(2, dtype=np.int64)
        if r.random() < 0.3:
            # Odd arguments: refused before the first step, the filter unchanged.
            args = [kf.native, models_arg, zs, gaps, dts, angles, None, position]
            i = r.randrange(8)
            args[i] = {0: r.choice([None, 3, self.banks[0]._b]),
                       1: r.choice([(kf.fx,), (kf.fx, (), kf.hx, (), 1), None, (kf.fx, "ab", kf.hx, ()),
                                    (kf.fx, (), lambda X: X, ()), (kf.hx, (), kf.hx, ()), [kf.fx, (), kf.hx, ()]]),
                       # zs.T of a square zs is no odd shape: its gaps become partly NaN rows, run up to.
                       2: r.choice([zs[:, ::-1] if m > 1 else zs.T, zs.astype(np.float32), zs[:, :0], zs[None], None,
                                    np.asfortranarray(np.repeat(zs, 2, axis=1)) if m == 1 else
                                    zs.T.copy() if m != N else zs[:-1]]),
                       3: r.choice([gaps.astype(np.uint8), gaps[:-1], np.repeat(gaps, 2)[::2], gaps.tolist(), 1]),
                       4: r.choice([np.ones(N + 1), np.ones(N, dtype=np.float32), np.ones(2 * N)[::2], [1.0] * N]),
                       5: r.choice([(kf.angle_states,), ((n,), ()), ((), (m,)), ((0, 0), ()), "ab", ((-1,), ())]),
                       6: r.choice([3, "x"]),
                       7: r.choice([np.zeros(2, dtype=np.int32), np.zeros(3, dtype=np.int64), [0, 0],
                                    np.zeros(2, dtype=np.int64)[::-1], np.zeros(2, np.int64).copy().view()])}[i]
            guard = None
            if i == 7 and r.random() < 0.5:
                # A writeable int64 view of two entries that is not contiguous, inside a guard: the run
                # writes the view's entries or refuses it, and never the guard's others.
                guard = np.full(6, -7, dtype=np.int64)
                spec = r.choice([slice(2, 0, -1), slice(1, 5, 2), slice(4, None, -3)])
                args[7] = guard[spec]
            elif i == 7 and isinstance(args[7], np.ndarray) and args[7].dtype == np.int64 and args[7].shape == (2,):
                args[7].flags.writeable = False
            self.execute("_engine.run_filter (odd arguments)", _engine.run_filter, args, {}, kf.to_dict)
            if guard is not None:
                inside = np.zeros(6, dtype=bool)
                inside[np.arange(6)[spec]] = True
                if (guard[~inside] != -7).any():
                    self.report("run_filter wrote outside its position array",
                                f"_engine.run_filter with position = a view of strides {args[7].strides} into "
                                f"{guard.size} int64 entries of -7 left them {guard.tolist()}: it wrote past the "
                                f"view's own entries\n  {self.here()}")
            return
        # Numeric extra arguments only: an argument the model cannot take is refused before the first step,
        # where steps by hand would have predicted once.
        kf.fx_args = self.fault_args(kf.fx, kf.x[0])
        kf.hx_args = self.fault_args(kf.hx, kf.x[0])
        models_arg = (kf.fx, kf.fx_args, kf.hx, kf.hx_args)
        twin = kf.copy()
        seen = []
        stop_at = r.randint(1, N) if r.random() < 0.6 else None
        how = r.choice(["raise", "raise_base", "reenter", "read", "gc"])

        def progress(done):
            seen.append(done)
            if stop_at is not None and len(seen) == stop_at:
                if how == "raise":
                    raise CallbackError("progress raised")
                if how == "raise_base":
                    raise CallbackBaseError("progress raised a BaseException")
                if how == "reenter":
                    kf.predict()
                if how == "read":
                    kf.to_dict()
                if how == "gc":
                    gc.collect()
            return r.choice([None, 1, "x"])

        res = self.execute("_engine.run_filter (progress)", _engine.run_filter,
                           [kf.native, models_arg, zs, gaps, dts, angles, progress, position], {})
        label = (f"run_filter over {N} steps (dim_x {n}, dim_z {m}, square_root {kf.square_root}, fx "
                 f"{kf.fx!r}, fx_args {kf.fx_args}, hx {kf.hx!r}, hx_args {kf.hx_args}, angles {angles}, dts "
                 f"{dts is not None}), progress stopping at report {stop_at} by {how}")
        if seen != sorted(set(seen)) or any(not 1 <= d <= N for d in seen) or (
                not isinstance(res, Failed) and (not seen or seen[-1] != N)):
            self.report("run_filter: progress reports", f"{label}: reports {seen}\n  {self.here()}")
            return
        by_progress = stop_at is not None and len(seen) == stop_at
        if isinstance(res, Failed) and by_progress and how != "gc":
            # The callback raised, or its call into the running filter was refused as busy.
            want = {"raise": CallbackError, "raise_base": CallbackBaseError}.get(how, RuntimeError)
            if not isinstance(res.exc, want):
                self.report("run_filter: a raising progress callback", f"{label}: raised {res.exc!r}\n  {self.here()}")
                return
            done, failing = seen[-1], False
        elif by_progress and how == "reenter":
            return  # the callback stepped the filter itself: no twin to compare with
        elif isinstance(res, Failed):
            done, failing = int(position[0]), True
        else:
            done, failing = N, False
        if int(position[0]) != done:
            self.report("run_filter: position", f"{label}: ended with position {position.tolist()} after {done} "
                        f"steps ({outcome(res)})\n  {self.here()}")
            return
        # The twin steps by hand through the steps done, and on to its own failure when a step failed.
        stopped = None
        rows = []
        for i in range(N if failing else done):
            try:
                twin.predict(dt=None if dts is None else float(dts[i]))
                if gaps[i]:
                    twin.update(None)
                else:
                    twin.update(zs[i])
            except Exception as e:  # noqa: BLE001 - compared with what run_filter raised
                stopped = (i, e)
                break
            rows.append((twin.x, twin.P, twin.x_prior, twin.P_prior, np.float64(twin.log_likelihood),
                         np.float64(twin.nis)))
        problems = []
        if failing:
            if stopped is None or stopped[0] != done or type(stopped[1]) is not type(res.exc):
                problems.append(f"run_filter raised {res.exc!r} at step {done}, the steps by hand "
                                f"{'nothing' if stopped is None else repr(stopped[1]) + ' at step ' + str(stopped[0])}")
        elif stopped is not None:
            problems.append(f"the steps by hand raised {stopped[1]!r} at step {stopped[0]}")
        elif not isinstance(res, Failed):
            for i, row in enumerate(rows):
                bad = [k for k, (a, b) in enumerate(zip(res, row)) if not same(np.asarray(a[i]), np.asarray(b))]
                if bad:
                    problems.append(f"row {i} differs from the step by hand in outputs {bad}")
                    break
        if not problems and not same(kf.to_dict(), twin.to_dict()):
            problems.append(f"the filter differs from its twin in {changed_keys(twin.to_dict(), kf.to_dict())}")
        if problems:
            self.report("run_filter vs steps by hand: " + re.sub(r"\d+", "#", problems[0])[:70],
                        f"{label}: {outcome(res)} after {done} steps (reports {seen[-3:]}, position "
                        f"{position.tolist()}): {'; '.join(problems)}\n  {self.here()}")

    # -- differential: bank against lone filters ------------------------------

    def diff_bank(self, seed, log=None, compiled=False):
        """A bank and one lone VexelCKF per filter through one random sequence, compared after every step.

        With `compiled`, fx and hx are compiled models (rarely one of them
        the Python model), the bank's evaluated per filter on its workers;
        the fuzz's C models fail, or give non-finite images, on the filters
        whose points cross thresholds given as per-call arguments."""
        self.cases["cbank" if compiled else "bank"] += 1
        r = random.Random(seed)
        g = np.random.default_rng(seed)
        n, m = r.choice([1, 2, 3, 4] + ([5, 5] if compiled else [])), r.choice([1, 2, 3])
        M = r.choice([1, 2, 3, 5])
        states = sorted(r.sample(range(n), r.randint(1, min(n, 2)))) if r.random() < 0.25 else []
        measured = sorted(r.sample(range(m), 1)) if r.random() < 0.25 else []
        model = Model(g, n, m, linear=r.random() < 0.3)
        dt = r.choice([1.0, 0.5])
        cfx = chx = None  # the compiled models, as handed over and as held
        if compiled:
            cfx = self.compiled_model("fx", n, r=r, g=g) if r.random() < 0.85 else None
            chx = self.compiled_model("hx", n, m, r=r, g=g) if r.random() < 0.85 or cfx is None else None
        fx_held = None if cfx is None else as_model(cfx, "fx", n, n)
        hx_held = None if chx is None else as_model(chx, "hx", n, m)
        # A model's angle entries are its default angle options: the case names them too.
        if fx_held is not None:
            states = sorted(set(states) | set(fx_held.angles))
        if hx_held is not None:
            measured = sorted(set(measured) | set(hx_held.angles))
        bank_fx = model.bank_fx if cfx is None else cfx
        bank_hx = model.bank_hx if chx is None else chx

        def lone_fx(uid):
            return model.lone_fx(uid) if cfx is None else cfx

        def lone_hx(uid):
            return model.lone_hx(uid) if chx is None else chx
        # The bank and the lone filters spell the same angle entries differently.
        bank_states, bank_states_want = angle_spelling(r, states, n)
        bank_measured, bank_measured_want = angle_spelling(r, measured, m)
        # Stored callback arguments; some predictions and updates give their own.
        fx_args = r.choice([(), (0.25,), (0.5, -0.125)]) if cfx is None else self.fault_args(fx_held, 0.0, 0.0, r, g)
        hx_args = r.choice([(), (0.375,)]) if chx is None else self.fault_args(hx_held, 0.0, 0.0, r, g)
        entries = log if log is not None else collections.deque(maxlen=40)
        entries.append(f"setup: M={M} n={n} m={m} dt={dt} angle_states={states} angle_measurements={measured} "
                       f"(bank: {describe(bank_states)}, {describe(bank_measured)}) fx_args={fx_args} "
                       f"hx_args={hx_args} linear={model.linear} fx={fx_held!r} hx={hx_held!r}")
        bank = CKFBank(M, n, m, dt, bank_fx, bank_hx,
                       fx_args=fx_args if r.random() < 0.7 else list(fx_args), hx_args=hx_args,
                       angle_states=bank_states, angle_measurements=bank_measured)
        if (bank.angle_states, bank.angle_measurements) != (bank_states_want, bank_measured_want) or \
                (bank.fx_args, bank.hx_args) != (fx_args, hx_args):
            self.report("CKFBank keeps its options wrongly",
                        f"CKFBank(angle_states={describe(bank_states)}, angle_measurements={describe(bank_measured)}, "
                        f"fx_args={fx_args}, hx_args={hx_args}) gives angle_states {bank.angle_states}, "
                        f"angle_measurements {bank.angle_measurements}, fx_args {bank.fx_args}, hx_args "
                        f"{bank.hx_args}\n  reproduce: --replay bank:{seed}")
            return False
        lone = {}
        pend = {}
        expect = {}
        recovered = {}   # a failed prediction, then a successful one, since the last update
        hinted = {}      # that mark as it stood at the last update
        next_id = [0]

        def new_lone(x, P, Q, R):
            uid = next_id[0]
            next_id[0] += 1
            kf = VexelCKF(n, m, dt, fx=lone_fx(uid), hx=lone_hx(uid), angle_states=states or None,
                          angle_measurements=measured or None, fx_args=fx_args, hx_args=hx_args,
                          nan_means_missing=r.random() < 0.5)
            kf.x, kf.P, kf.Q, kf.R = x, P, Q, R
            lone[uid], pend[uid], expect[uid], recovered[uid], hinted[uid] = kf, 0, 4, False, False
            return uid

        xs0 = g.standard_normal((M, n)) * 2.0
        Ps0 = np.stack([spd(g, n) for _ in range(M)])
        bank.xs, bank.Ps = xs0, Ps0
        per_q, per_r = r.random() < 0.4, r.random() < 0.4
        Qs = np.stack([spd(g, n, 0.1) for _ in range(M)]) if per_q else spd(g, n, 0.1)
        Rs = np.stack([spd(g, m, 0.5) for _ in range(M)]) if per_r else spd(g, m, 0.5)
        bank.Q, bank.R = Qs, Rs
        model.ids = [new_lone(xs0[i], Ps0[i], Qs[i] if per_q else Qs, Rs[i] if per_r else Rs) for i in range(M)]

        def lone_snapshot():
            return {uid: kf.to_dict() for uid, kf in lone.items()}

        def compare(where, got=None):
            got = got if got is not None else {k: getattr(bank, k) for k in (
                "xs", "Ps", "xs_prior", "Ps_prior", "log_likelihoods", "nis", "status", "jitter_counts")}
            if len(got["xs"]) != len(model.ids):
                raise Mismatch(f"{where}: the bank has {len(got['xs'])} filters, expected {len(model.ids)}")
            for i, uid in enumerate(model.ids):
                kf = lone[uid]
                hint = (" (after a prediction of this filter failed and a later one succeeded before the update)"
                        if hinted[uid] else "")
                pairs = (("xs", kf.x), ("Ps", kf.P), ("xs_prior", kf.x_prior), ("Ps_prior", kf.P_prior),
                         ("log_likelihoods", np.float64(kf.log_likelihood)), ("nis", np.float64(kf.nis)))
                for name, want in pairs:
                    if not same(np.asarray(got[name][i]), np.asarray(want)):
                        raise Mismatch(f"{where}: {name} of filter {i} differs from its lone filter{hint} || bank "
                                       f"{describe(np.asarray(got[name][i]))}, lone {describe(np.asarray(want))}")
                if int(got["jitter_counts"][i]) != kf.jitter_count:
                    raise Mismatch(f"{where}: jitter count of filter {i} differs || bank {int(got['jitter_counts'][i])}, "
                                   f"lone {kf.jitter_count}")
                if int(got["status"][i]) != expect[uid]:
                    raise Mismatch(f"{where}: status of filter {i} differs from what the lone filter implies{hint} "
                                   f"|| bank {int(got['status'][i])}, expected {expect[uid]}")

        def emulate_predict(dt_arg, fx_arg=None):
            for uid in model.ids:
                kf = lone[uid]
                try:
                    kf.predict(dt=dt_arg, fx_args=fx_arg)
                except ValueError:
                    pend[uid] = 3
                except RuntimeError as e:
                    # A compiled model's failure on a filter's points is bad data for that filter.
                    pend[uid] = 3 if is_model_failure(e) else 2
                else:
                    recovered[uid] = recovered[uid] or pend[uid] != 0
                    pend[uid] = 0

        def missed(kf):
            """A missed measurement given to a lone filter, in one of the ways that mean update(None)."""
            nan = np.full(m, np.nan)
            ways = ["none", "flag", "column"] + (["stored", "stored_none"] if kf.nan_means_missing else [])
            way = r.choice(ways)
            if way == "none":
                kf.update(None)
            elif way == "flag":
                kf.update(nan, nan_means_missing=True)
            elif way == "column":
                kf.update(nan[:, None], hx=model.base_hx, nan_means_missing=True)
            elif way == "stored":
                kf.update(nan)
            else:
                kf.update(nan, nan_means_missing=None)

        def emulate_update(zs, flagged=None, hx_arg=None):
            for i, uid in enumerate(model.ids):
                kf, z = lone[uid], zs[i]
                sic = kf.singular_innovation_count
                if pend[uid]:
                    expect[uid] = pend[uid]
                    kf.native.clear_update_diagnostics()
                elif (flagged is not None and flagged[i]) or np.isnan(z).all():
                    expect[uid] = 4
                    missed(kf)
                elif not np.isfinite(z).all():
                    expect[uid] = 3
                    kf.native.clear_update_diagnostics()
                else:
                    try:
                        kf.update(z, hx_args=hx_arg)
                    except ValueError:
                        expect[uid] = 3
                        kf.native.clear_update_diagnostics()
                    except RuntimeError as e:
                        expect[uid] = 3 if is_model_failure(e) else 2
                        kf.native.clear_update_diagnostics()
                    else:
                        expect[uid] = 1 if kf.singular_innovation_count != sic else 0
                pend[uid] = 0
                hinted[uid], recovered[uid] = recovered[uid], False

        def zs_for(count):
            xs = bank.xs
            with np.errstate(all="ignore"):
                zs = (rowwise_linear(xs, model.H) if hx_held is None else hx_held(xs)) + \
                    0.3 * g.standard_normal((count, m))
            for i in range(count):
                roll = r.random()
                if roll < 0.15:
                    zs[i] = np.nan
                elif roll < 0.22:
                    zs[i, r.randrange(m)] = r.choice([np.nan, np.inf, -np.inf])
            for j in measured:
                zs[:, j] = np.remainder(zs[:, j] + np.pi, 2 * np.pi) - np.pi
            return zs

        def set_faults():
            model.fx_faults.clear()
            model.hx_faults.clear()
            for uid in model.ids:
                roll = r.random()
                if roll < 0.08:
                    model.fx_faults[uid] = (r.randrange(2 * n), r.randrange(n), r.choice([np.nan, np.inf, -np.inf]))
                elif roll < 0.11:
                    model.fx_faults[uid] = (0, 0, "scale")
                roll = r.random()
                if roll < 0.08:
                    model.hx_faults[uid] = (r.randrange(2 * n), r.randrange(m), r.choice([np.nan, np.inf]))
                elif roll < 0.11:
                    model.hx_faults[uid] = "const"

        steps = r.randint(6, 16)
        try:
            for step in range(steps):
                op = r.choices(["predict", "update", "assign", "keep", "add", "copy", "run", "raise"],
                               [6, 6, 3, 1, 1, 1, 1, 1])[0]
                set_faults()
                faults = f"fx faults {model.fx_faults}, hx faults {model.hx_faults}"
                if op == "predict":
                    dt_arg = None if r.random() < 0.7 else r.choice([0.25, -0.5, 0.0, 2.0])
                    kwargs = {"dt": dt_arg}
                    fx_arg = None
                    if r.random() < (0.3 if cfx is None else 0.6):
                        fx_arg = r.choice([(), [0.75], (0.125, 0.125)]) if cfx is None else self.fault_args(
                            fx_held, bank.xs[r.randrange(len(model.ids)), 0] if model.ids else 0.0, 0.7, r, g)
                        kwargs["fx_args"] = fx_arg
                    entries.append(f"step {step}: predict({kwargs}); {faults}")
                    res = self.execute("diff CKFBank.predict", bank.predict, [], kwargs)
                    if isinstance(res, Failed):
                        raise Mismatch(f"predict raised {type(res.exc).__name__}: {res.exc}")
                    emulate_predict(dt_arg, fx_arg)
                    compare(f"step {step} predict")
                elif op == "update":
                    count = len(model.ids)
                    zs = zs_for(count)
                    kwargs = {}
                    flagged = None
                    if r.random() < 0.35:
                        # Flagged rows are not read: they may hold anything.
                        flagged = np.array([r.random() < 0.4 for _ in range(count)], dtype=bool)
                        for i in np.flatnonzero(flagged):
                            zs[i] = r.choice([zs[i], np.full(m, 1e300), np.full(m, np.inf), np.full(m, np.nan),
                                              np.where(np.arange(m) == 0, np.nan, 1.0)])
                        # A list of bools is a mask too, but NumPy gives an empty list the dtype
                        # float64, which the mask check refuses: the list form only for a bank
                        # with filters.
                        kwargs["missing"] = flagged if r.random() < 0.7 or not count else flagged.tolist()
                    hx_arg = None
                    if r.random() < (0.3 if chx is None else 0.6):
                        hx_arg = r.choice([(), [-0.25], (0.5, 0.25)]) if chx is None else self.fault_args(
                            hx_held, bank.xs[r.randrange(count), 0] if count else 0.0, 0.7, r, g)
                        kwargs["hx_args"] = hx_arg
                    given = zs.copy()
                    entries.append(f"step {step}: update({describe(zs)}, {kwargs}); {faults}")
                    res = self.execute("diff CKFBank.update", bank.update, [zs], kwargs)
                    if isinstance(res, Failed):
                        raise Mismatch(f"update raised {type(res.exc).__name__}: {res.exc}")
                    if not same(zs, given):
                        raise Mismatch(f"update with missing= changed the caller's zs: {describe(zs)}")
                    emulate_update(zs, flagged, hx_arg)
                    compare(f"step {step} update")
                elif op == "assign":
                    self.diff_assign(r, g, bank, lone, model, step, entries, n, m)
                    compare(f"step {step} assignment")
                elif op == "keep":
                    count = len(model.ids)
                    order = r.sample(range(count), r.randint(0, count))
                    sel = order if r.random() < 0.5 else np.array(order, dtype=r.choice([np.int64, np.uint64]))
                    entries.append(f"step {step}: keep({describe(sel)})")
                    res = self.execute("diff CKFBank.keep", bank.keep, [sel], {})
                    if isinstance(res, Failed):
                        raise Mismatch(f"keep raised {type(res.exc).__name__}: {res.exc}")
                    model.ids = [model.ids[i] for i in order]
                    compare(f"step {step} keep")
                elif op == "add":
                    k = r.randint(1, 2)
                    new_xs = g.standard_normal((k, n))
                    new_Ps = np.stack([spd(g, n) for _ in range(k)])
                    kwargs = {}
                    if bank.Q.ndim == 3:
                        kwargs["Q"] = np.stack([spd(g, n, 0.1) for _ in range(k)])
                    if bank.R.ndim == 3:
                        kwargs["R"] = np.stack([spd(g, m, 0.5) for _ in range(k)])
                    entries.append(f"step {step}: add({describe(new_xs)}, {describe(new_Ps)}, "
                                   f"{ {key: describe(v) for key, v in kwargs.items()} })")
                    res = self.execute("diff CKFBank.add", bank.add, [new_xs, new_Ps], kwargs)
                    if isinstance(res, Failed):
                        raise Mismatch(f"add raised {type(res.exc).__name__}: {res.exc}")
                    Q, R = bank.Q, bank.R
                    for j in range(k):
                        model.ids.append(new_lone(new_xs[j], new_Ps[j], kwargs["Q"][j] if "Q" in kwargs else Q,
                                                  kwargs["R"][j] if "R" in kwargs else R))
                    compare(f"step {step} add")
                elif op == "copy":
                    how = r.choice(["copy", "dict", "pickle"])
                    entries.append(f"step {step}: continue on a {how} of the bank")
                    if how == "copy":
                        twin = bank.copy()
                    elif how == "dict":
                        twin = CKFBank.from_dict(bank.to_dict(), fx=bank_fx, hx=bank_hx,
                                                 fx_args=fx_args, hx_args=hx_args)
                    else:
                        twin = pickle.loads(pickle.dumps(bank))
                        twin.fx, twin.hx = bank_fx, bank_hx
                    if not same(twin.to_dict(), bank.to_dict()):
                        raise Mismatch(f"a {how} of the bank differs from the bank: "
                                       f"{changed_keys(bank.to_dict(), twin.to_dict())}")
                    if (twin.fx_args, twin.hx_args, twin.angle_states, twin.angle_measurements) != (
                            fx_args, hx_args, bank_states_want, bank_measured_want):
                        raise Mismatch(f"a {how} of the bank has fx_args {twin.fx_args}, hx_args {twin.hx_args}, "
                                       f"angle_states {twin.angle_states}, angle_measurements "
                                       f"{twin.angle_measurements}")
                    bank = twin
                    # The lone filters go on as copies too, which carry their options.
                    for uid in model.ids:
                        kf = lone[uid]
                        if how == "copy":
                            kf2 = kf.copy()
                        elif how == "dict":
                            kf2 = VexelCKF.from_dict(kf.to_dict(), fx=lone_fx(uid), hx=lone_hx(uid),
                                                     fx_args=fx_args, hx_args=hx_args)
                        else:
                            # Closures and models made from function pointers do not pickle: they are
                            # dropped; built-in models pickle by value.
                            kf2 = pickle.loads(pickle.dumps(kf))
                            for name in ("fx", "hx"):
                                mine, theirs = getattr(kf, name), getattr(kf2, name)
                                keeps = picklable(mine) is not None
                                if keeps != (theirs is not None) or keeps and repr(theirs) != repr(mine):
                                    raise Mismatch(f"a pickled lone filter holds {name} {mine!r} as {theirs!r}")
                            kf2.fx, kf2.hx = lone_fx(uid), lone_hx(uid)
                        if not same(kf2.to_dict(), kf.to_dict()) or (kf2.fx_args, kf2.hx_args, kf2.nan_means_missing) \
                                != (kf.fx_args, kf.hx_args, kf.nan_means_missing):
                            raise Mismatch(f"a {how} of a lone filter differs: "
                                           f"{changed_keys(kf.to_dict(), kf2.to_dict())}, fx_args {kf2.fx_args}, "
                                           f"hx_args {kf2.hx_args}, nan_means_missing {kf2.nan_means_missing}")
                        lone[uid] = kf2
                    compare(f"step {step} {how}")
                elif op == "run":
                    count = r.randint(1, 3)
                    seq = np.stack([zs_for(len(model.ids)) for _ in range(count)])
                    entries.append(f"step {step}: run({describe(seq)}); {faults}")
                    res = self.execute("diff CKFBank.run", bank.run, [seq], {})
                    if isinstance(res, Failed):
                        raise Mismatch(f"run raised {type(res.exc).__name__}: {res.exc}")
                    for k in range(count):
                        emulate_predict(None)
                        emulate_update(seq[k])
                        compare(f"step {step} run row {k}", {
                            "xs": res.xs[k], "Ps": res.Ps[k], "xs_prior": res.xs_prior[k], "Ps_prior": res.Ps_prior[k],
                            "log_likelihoods": res.log_likelihoods[k], "nis": res.nis[k], "status": res.status[k],
                            "jitter_counts": bank.jitter_counts if k == count - 1 else
                            [lone[u].jitter_count for u in model.ids]})
                    compare(f"step {step} after run")
                elif (cfx if r.random() < 0.5 else chx) is not None:
                    # A compiled model's arguments of the wrong kind fail the call before any filter moves.
                    which = "fx" if cfx is not None and (chx is None or r.random() < 0.5) else "hx"
                    bad = r.choice([("a",), ([1.0],), (np.array([1, 2]),), (True,), (np.array([1.0]), 2.0)])
                    entries.append(f"step {step}: {which} given the arguments {bad!r}")
                    before = bank.to_dict()
                    call = (lambda: bank.predict(fx_args=bad)) if which == "fx" else (
                        lambda: bank.update(zs_for(len(model.ids)), hx_args=bad))
                    res = self.execute(f"diff CKFBank {which} with bad arguments", call, [], {})
                    if not isinstance(res, Failed) or type(res.exc) is not TypeError:
                        raise Mismatch(f"{which} arguments {bad!r} gave {outcome(res)}, not TypeError")
                    changed = changed_keys(before, bank.to_dict())
                    if changed:
                        raise Mismatch(f"{which} arguments refused, yet {sorted(changed)} changed")
                    compare(f"step {step} bad arguments of {which}")
                else:
                    which = r.choice(["fx", "hx"]) if compiled is False else ("fx" if cfx is None else "hx")
                    entries.append(f"step {step}: {which} of the bank raises")
                    before = bank.to_dict()
                    setattr(model, f"{which}_raises", True)
                    try:
                        call = bank.predict if which == "fx" else (lambda: bank.update(zs_for(len(model.ids))))
                        res = self.execute(f"diff CKFBank {which} raising", call, [], {})
                    finally:
                        setattr(model, f"{which}_raises", False)
                    if not isinstance(res, Failed) or not isinstance(res.exc, CallbackError):
                        raise Mismatch(f"a raising {which} did not fail the call with its own exception")
                    changed = changed_keys(before, bank.to_dict())
                    if changed:
                        raise Mismatch(f"a raising {which} changed {sorted(changed)}")
                    compare(f"step {step} raising {which}")
        except Mismatch as e:
            key = re.sub(r"\d+", "#", str(e).split(" || ")[0].split(": ", 1)[-1])
            if "later one succeeded" in key:  # one fault, whichever field shows it first
                key = "an update after a failed prediction and a later successful one"
            key = key[:100]
            kind = "cbank" if compiled else "bank"
            self.report(f"{'compiled ' if compiled else ''}bank vs lone filters: " + key,
                        f"CKFBank against lone VexelCKF filters: {e}\n  reproduce: --replay {kind}:{seed}\n  "
                        + "\n  ".join(list(entries)[-12:]))
            return False
        return True

    def diff_assign(self, r, g, bank, lone, model, step, entries, n, m):
        """An assignment to the bank, valid or not; a valid one goes to the lone filters too."""
        count = len(model.ids)
        name = r.choice(["xs", "Ps", "Ps", "Q", "R", "xs_prior", "Ps_prior"])
        bad = r.random() < 0.2
        if name in ("xs", "xs_prior"):
            value = g.standard_normal((count, n)) * 2.0
        elif name in ("Ps", "Ps_prior"):
            value = stack([spd(g, n) for _ in range(count)], (n, n))
            for i in range(count):
                roll = r.random()
                if roll < 0.25:  # indefinite: no factorisation, even with jitter
                    value[i] = np.diag(np.where(np.arange(n) == r.randrange(n), -1.0, 1.0))
                elif roll < 0.35:  # singular: repaired with counted jitter
                    value[i, -1, :] = value[i, :, -1] = 0.0
                elif roll < 0.4:
                    value[i] *= 1e300
        else:
            k = n if name == "Q" else m
            per = r.random() < 0.5
            value = stack([spd(g, k, 0.1) for _ in range(count)], (k, k)) if per else spd(g, k, 0.1)
            if name == "R" and r.random() < 0.2:
                value = value * 0.0
        if bad:
            value = np.array(value)
            if value.size:
                value.reshape(-1)[r.randrange(value.size)] = r.choice([np.nan, np.inf])
            else:
                value = np.zeros((count + 1,) + value.shape[1:])
        entries.append(f"step {step}: bank.{name} = {describe(value)}")
        before = bank.to_dict()
        res = self.execute(f"diff CKFBank.{name} =", setattr, [bank, name, value], {})
        if isinstance(res, Failed):
            if not bad:
                raise Mismatch(f"assigning a valid {name} raised {type(res.exc).__name__}: {res.exc}")
            changed = changed_keys(before, bank.to_dict())
            if changed:
                raise Mismatch(f"a refused assignment to {name} changed {sorted(changed)}")
            return
        if bad:
            raise Mismatch(f"a non-finite {name} was accepted")
        field = {"xs": "x", "Ps": "P", "Q": "Q", "R": "R", "xs_prior": "x_prior", "Ps_prior": "P_prior"}[name]
        for i, uid in enumerate(model.ids):
            setattr(lone[uid], field, value[i] if value.ndim == (2 if name.startswith("xs") else 3) else value)

    # -- differential: run() and the stored options against steps by hand -----

    def diff_lone(self, seed, log=None, compiled=False):
        """A VexelCKF with stored fx_args, hx_args and nan_means_missing run over a sequence with gaps, against
        a twin whose angle options are spelled differently, stepped by hand with per-call arguments; then
        smoothed against cubature_smoother with a third spelling. Bit for bit.

        With `compiled`, fx and hx are compiled models, so that run() is the
        native whole run; the fuzz's C models fail or give non-finite
        images past thresholds given as fx_args / hx_args, stopping the run
        part way; the smoothing is also compared with the same fx called
        through Python."""
        self.cases["clone" if compiled else "lone"] += 1
        r = random.Random(seed)
        g = np.random.default_rng(seed)
        n, m = r.choice([1, 2, 3, 4] + ([5, 5] if compiled else [])), r.choice([1, 2, 3])
        sr = r.random() < 0.4
        model = Model(g, n, m, linear=r.random() < 0.3)
        states = sorted(r.sample(range(n), r.randint(1, min(n, 2)))) if r.random() < 0.4 else []
        measured = sorted(r.sample(range(m), 1)) if r.random() < 0.3 else []
        fx_args = r.choice([(), (0.25,), (0.5, -0.125)])
        hx_args = r.choice([(), (0.375,)])
        if compiled:
            fx, hx = self.compiled_model("fx", n, r=r, g=g), self.compiled_model("hx", n, m, r=r, g=g)
            fx_held, hx_held = as_model(fx, "fx", n, n), as_model(hx, "hx", n, m)
            states = sorted(set(states) | set(fx_held.angles))
            measured = sorted(set(measured) | set(hx_held.angles))
            fx_args = self.fault_args(fx_held, 0.0, 0.4, r, g)
            hx_args = self.fault_args(hx_held, 0.0, 0.4, r, g)
        else:
            fx, hx = model.lone_fx(0), model.lone_hx(0)
        flag = r.random() < 0.6
        dt = r.choice([1.0, 0.5])
        spelled = [angle_spelling(r, states, n), angle_spelling(r, measured, m),
                   angle_spelling(r, states, n), angle_spelling(r, measured, m), angle_spelling(r, states, n)]
        setup = (f"n={n} m={m} square_root={sr} angle_states={states} angle_measurements={measured} "
                 f"spelled {[describe(v) for v, _ in spelled]} fx_args={fx_args} hx_args={hx_args} "
                 f"nan_means_missing={flag} " + (f"fx={fx_held!r} hx={hx_held!r}" if compiled
                                                 else f"linear={model.linear}"))
        entries = log if log is not None else []
        entries.append(setup)

        def finding(what):
            self.report(f"{'native ' if compiled else ''}run vs steps by hand: " + what[:80],
                        f"{what}\n  " + "\n  ".join(entries[-8:])
                        + f"\n  reproduce: --replay {'clone' if compiled else 'lone'}:{seed}")

        kf = self.execute("VexelCKF(options)", VexelCKF, [n, m, dt],
                          {"fx": fx, "hx": hx, "square_root": sr, "angle_states": spelled[0][0],
                           "angle_measurements": spelled[1][0],
                           "fx_args": fx_args if r.random() < 0.7 else list(fx_args), "hx_args": hx_args,
                           "nan_means_missing": flag if r.random() < 0.8 else int(flag)})
        if isinstance(kf, Failed):
            finding(f"VexelCKF refused valid options: {kf.exc!r}")
            return
        got = (kf.angle_states, kf.angle_measurements, kf.fx_args, kf.hx_args, kf.nan_means_missing)
        if got != (spelled[0][1], spelled[1][1], fx_args, hx_args, flag):
            finding(f"VexelCKF keeps its options as {got}")
            return
        hand = VexelCKF(n, m, dt, fx=fx, hx=hx, square_root=sr, angle_states=spelled[2][0],
                        angle_measurements=spelled[3][0], nan_means_missing=r.random() < 0.5)
        x0, P0, Q, R = g.standard_normal(n) * 2.0, spd(g, n), spd(g, n, 0.1), spd(g, m, 0.5)
        for f in (kf, hand):
            f.x, f.P, f.Q, f.R = x0, P0, Q, R
        fa = fx_args if r.random() < 0.5 else list(fx_args)
        ha = hx_args if r.random() < 0.5 else list(hx_args)

        def step_by_hand(zs, dts, nan_missing):
            """hand through zs as run() goes, the rows it records, and the exception that stopped it."""
            rows = []
            for i, z in enumerate(zs):
                try:
                    hand.predict(dt=None if dts is None else float(dts[i]), fx_args=fa)
                    if nan_missing and np.isnan(z).all():
                        way = r.choice(["none", "flag", "column"] + (["stored"] if hand.nan_means_missing else []))
                        if way == "none":
                            hand.update(None)
                        elif way == "flag":
                            hand.update(z, nan_means_missing=True)
                        elif way == "column":
                            hand.update(z[:, None], nan_means_missing=True)
                        else:
                            hand.update(z)
                    else:
                        hand.update(z, hx_args=ha, nan_means_missing=False)
                except Exception as e:  # noqa: BLE001 - compared with what run() raised
                    return rows, e
                rows.append((hand.x, hand.P, hand.x_prior, hand.P_prior, np.float64(hand.log_likelihood),
                             np.float64(hand.nis)))
            return rows, None

        for segment in range(r.randint(1, 3)):
            if segment:
                how = r.choice(["copy", "pickle", "dict", "same"])
                if how == "copy":
                    kf = kf.copy()
                elif how == "pickle":
                    kf = pickle.loads(pickle.dumps(kf))  # the closures are dropped, the options kept
                    kf.fx, kf.hx = fx, hx
                elif how == "dict":
                    kf = VexelCKF.from_dict(kf.to_dict(), fx=fx, hx=hx, fx_args=fx_args, hx_args=hx_args)
                got = (kf.angle_states, kf.angle_measurements, kf.fx_args, kf.hx_args, kf.nan_means_missing)
                if got != (spelled[0][1], spelled[1][1], fx_args, hx_args, flag):
                    finding(f"after a {how}, the filter's options are {got}")
                    return
            N = r.choice([0, 1, 2, 4, 7])
            with np.errstate(all="ignore"):
                zs = (hx_held(np.tile(kf.x, (N, 1))) if compiled else rowwise_linear(np.tile(kf.x, (N, 1)), model.H)) \
                    + 0.5 * g.standard_normal((N, m))
            zs[g.random(N) < r.choice([0.0, 0.3, 0.6])] = np.nan
            fault = None
            if N and m > 1 and r.random() < 0.08:
                i = r.randrange(N)
                zs[i] = np.where(np.arange(m) == 0, np.nan, 1.0)
                fault = "a partly NaN row"
            for j in measured:
                zs[:, j] = np.remainder(zs[:, j] + np.pi, 2 * np.pi) - np.pi
            dts = g.uniform(-0.5, 1.5, N) if r.random() < 0.3 else None
            kwargs = {} if dts is None else {"dts": dts}
            form = r.choice(["absent", "None", "True", "False"])
            if form != "absent":
                kwargs["nan_means_missing"] = {"None": None, "True": True, "False": False}[form]
            effective = flag if form in ("absent", "None") else form == "True"
            if compiled and r.random() < 0.1:
                kwargs["progress"] = True  # the native run reports to the bar between slices
            gaps = bool(np.isnan(zs).all(axis=1).any())
            entries.append(f"segment {segment}: run({describe(zs)}, {kwargs}) fault={fault}")
            before = kf.to_dict()
            res = self.execute("VexelCKF.run (options)", kf.run, [zs], kwargs)
            if fault or (gaps and not effective):
                if not isinstance(res, Failed) or not isinstance(res.exc, ValueError):
                    finding(f"run over {fault or 'all-NaN rows without nan_means_missing'} gave "
                            f"{outcome(res)}; expected ValueError")
                elif changed_keys(before, kf.to_dict()):
                    finding(f"run refused zs but changed {changed_keys(before, kf.to_dict())}")
                return
            rows, stopped = step_by_hand(zs, dts, effective)
            if isinstance(res, Failed) or stopped is not None:
                if not isinstance(res, Failed) or stopped is None or type(res.exc) is not type(stopped):
                    finding(f"run gave {outcome(res)}, the steps by hand "
                            f"{stopped!r}")
                    return
                # The note names the failing step: the native run tracks where it stopped.
                notes = getattr(res.exc, "__notes__", None)
                if compiled and notes is not None and f"at step {len(rows)};" not in notes[-1]:
                    finding(f"run failed at step {len(rows)} with the note {notes[-1]!r}")
                    return
            else:
                for i, row in enumerate(rows):
                    for name, a, b in zip(res._fields, row, (v[i] for v in res)):
                        if not same(np.asarray(a), np.asarray(b)):
                            finding(f"{name}[{i}] of run differs from the step by hand: {describe(np.asarray(b))} "
                                    f"against {describe(np.asarray(a))}")
                            return
            mine, theirs = kf.to_dict(), hand.to_dict()
            skip = {"nan_means_missing", "angle_states", "angle_measurements"}
            differ = changed_keys(mine, theirs, skip) + [k for k in skip - {"nan_means_missing"}
                                                         if sorted(mine[k]) != sorted(theirs[k])]
            if differ:
                finding(f"after the run the filter and its twin differ in {sorted(differ)}")
                return
            if isinstance(res, Failed):
                return
        if not N:
            return
        k = r.choice([1, 1, 2, 5])
        sm = self.execute("VexelCKF.smooth (options)", kf.smooth, [res], {"steps_per_call": k})
        want = self.execute("cubature_smoother (options)", cubature_smoother, [res.xs, res.Ps, fx, kf.Q, dt],
                            {"fx_args": fx_args, "square_root": sr, "angle_states": spelled[4][0]})
        if isinstance(sm, Failed) or isinstance(want, Failed):
            if isinstance(sm, Failed) != isinstance(want, Failed) or type(sm.exc) is not type(want.exc):
                finding(f"smooth gave {outcome(sm)}, cubature_smoother "
                        f"{outcome(want)}")
        elif not all((a is None and b is None) or same(a, b) for a, b in zip(sm, want)):
            finding("VexelCKF.smooth differs from cubature_smoother given the filter's fx_args and angle states")
        if compiled:
            # The smoother's native pass against the same C function called through Python on the same points.
            py = self.execute("cubature_smoother (compiled fx through Python)", cubature_smoother,
                              [res.xs, res.Ps, lambda X, step, *a: fx_held(X, step, *a), kf.Q, dt],
                              {"fx_args": fx_args, "square_root": sr, "angle_states": spelled[4][0],
                               "steps_per_call": r.choice([1, 3])})
            if isinstance(py, Failed) or isinstance(want, Failed):
                if not same_failure(want, py, fx_args):
                    finding(f"cubature_smoother with the compiled fx gave {outcome(want)}, with it called through "
                            f"Python {outcome(py)}")
            elif not all((a is None and b is None) or same(a, b) for a, b in zip(py, want)):
                finding("cubature_smoother with the compiled fx differs from the same fx called through Python")

    # -- differential: panels against single sequences ------------------------

    def panel_problem(self, r, g, small=False):
        n = r.choice([1, 2, 3, 4])
        m = r.choice([1, 2, 3] * 12 + [0])
        M = r.choice([1, 2, 3, 5]) if not small else r.choice([1, 2])
        N = r.choice([1, 2, 3, 5, 8] * 6 + [0])
        F = np.eye(n) + 0.1 * g.standard_normal((n, n))
        Fs = F + 0.02 * g.standard_normal((N, n, n))
        H = g.standard_normal((m, n))
        Q = spd(g, n, 0.05)
        R = spd(g, m, 0.5) if m else np.zeros((0, 0))
        shared = r.random() < 0.4
        x0 = g.standard_normal(n) if shared else g.standard_normal((M, n))
        P0 = spd(g, n) if shared else np.stack([spd(g, n) for _ in range(M)])
        zs = np.cumsum(g.standard_normal((M, N, m)), axis=1)
        gaps = r.choice([0.0, 0.2, 0.5, 1.0])
        zs[g.random((M, N)) < gaps] = np.nan
        faults = []
        roll = r.random()
        if roll < 0.08 and zs.size and m > 1:
            zs[r.randrange(M), r.randrange(N), 0] = np.nan
            faults.append("partly NaN row")
        elif roll < 0.14 and zs.size:
            zs[r.randrange(M), r.randrange(N), r.randrange(m)] = np.inf
            faults.append("infinite measurement")
        elif roll < 0.18 and N:
            Fs[r.randrange(N), 0, 0] = np.nan
            faults.append("non-finite F")
        elif roll < 0.22 and not shared:
            P0[r.randrange(M)] = np.diag(np.where(np.arange(n) == 0, -1.0, 1.0))
            faults.append("indefinite P0")
        elif roll < 0.26 and m:
            H, R = np.zeros((m, n)), np.zeros((m, m))
            faults.append("zero innovation covariance")
        elif roll < 0.3:
            P0 = (P0 * 1e300) if not shared else P0 * 1e300
            faults.append("huge P0")
        forms = {k: r.random() < 0.5 for k in "FHQR"}
        F_arg = Fs if forms["F"] or not N else Fs[0]
        H_arg = np.broadcast_to(H, (N, m, n)).copy() if forms["H"] else H
        Q_arg = np.broadcast_to(Q, (N, n, n)).copy() if forms["Q"] else (0.05 if r.random() < 0.2 else Q)
        R_arg = np.broadcast_to(R, (N, m, m)).copy() if forms["R"] else R
        return dict(n=n, m=m, M=M, N=N, shared=shared, x0=x0, P0=P0, zs=zs, F=F_arg, H=H_arg, Q=Q_arg, R=R_arg,
                    faults=faults, flag=r.random() < 0.7 or gaps == 0.0)

    def diff_panel(self, seed, small=False, log=None):
        """A panel against each sequence alone, bit for bit, and the smoothers against filter + RTS."""
        self.cases["panel"] += 1
        r = random.Random(seed)
        g = np.random.default_rng(seed)
        p = self.panel_problem(r, g, small)
        M, shared = p["M"], p["shared"]
        model = (p["F"], p["H"], p["Q"], p["R"])
        setup = (f"M={M} N={p['N']} n={p['n']} m={p['m']} shared x0/P0={shared} faults={p['faults']} "
                 f"nan_means_missing={p['flag']}")
        if log is not None:
            log.append(setup)

        def finding(what):
            self.report("panel vs single: " + what[:80],
                        f"{what}\n  {setup}\n  reproduce: --replay panel:{seed}")

        def one(i):
            return (p["x0"] if shared else p["x0"][i]), (p["P0"] if shared else p["P0"][i]), p["zs"][i]

        kind = r.choice(["filter", "smoother", "smoother_means"])
        if kind == "filter":
            fn, kwargs = batch_filter, {"nan_means_missing": p["flag"]}
        else:
            fn, kwargs = batch_smoother, {"nan_means_missing": p["flag"], "covariances": kind == "smoother"}
        panel = self.execute(f"panel {fn.__name__}", fn, [p["x0"], p["P0"], p["zs"], *model], kwargs)
        singles = [self.execute(f"single {fn.__name__}", fn, [*one(i), *model], kwargs) for i in range(M)]
        failed = [s for s in singles if isinstance(s, Failed)]
        if isinstance(panel, Failed):
            if not failed:
                finding(f"{fn.__name__}: the panel raised {type(panel.exc).__name__}: {panel.exc}; every sequence "
                        f"alone succeeds")
            elif type(panel.exc) not in {type(s.exc) for s in failed}:
                finding(f"{fn.__name__}: the panel raised {type(panel.exc).__name__}, the sequences alone "
                        f"{sorted({type(s.exc).__name__ for s in failed})}")
            return
        if failed:
            finding(f"{fn.__name__}: the panel succeeded but sequence {singles.index(failed[0])} alone raised "
                    f"{type(failed[0].exc).__name__}: {failed[0].exc}")
            return
        for i, s in enumerate(singles):
            for name, a, b in zip(panel._fields, panel, s):
                if (a is None) != (b is None) or (a is not None and not same(a[i], b)):
                    finding(f"{fn.__name__}: {name} of sequence {i} differs from the sequence alone")
                    return
        # A degenerate innovation covariance (the fallback inverse) gives a
        # log-likelihood of -inf; NaN only stands for a missed measurement.
        for name, a in zip(panel._fields, panel):
            if a is None:
                continue
            if name == "log_likelihoods":
                bad = np.isnan(a) & ~np.isnan(p["zs"]).all(axis=2)
            elif name == "log_likelihood":
                bad = np.isnan(a)
            else:
                bad = ~np.isfinite(a)
            if bad.any():
                finding(f"{fn.__name__}: {'NaN' if 'log' in name else 'non-finite'} {name} without an error")
                return
        if small:
            return
        # The smoother is the filter followed by the RTS smoother, bit for bit; the
        # panel RTS smoother is each sequence's.
        filt = self.execute("panel batch_filter", batch_filter, [p["x0"], p["P0"], p["zs"], *model],
                            {"nan_means_missing": p["flag"]})
        if isinstance(filt, Failed):
            finding(f"batch_filter raised {type(filt.exc).__name__}: {filt.exc} where {fn.__name__} succeeded")
            return
        rts = self.execute("panel rts_smoother", rts_smoother, [filt.xs, filt.Ps, p["F"], p["Q"]], {})
        if isinstance(rts, Failed):
            if kind != "filter":
                finding(f"rts_smoother raised {type(rts.exc).__name__}: {rts.exc} on a filtered panel that "
                        f"batch_smoother smooths")
            return
        for i in range(M):
            alone = self.execute("single rts_smoother", rts_smoother, [filt.xs[i], filt.Ps[i], p["F"], p["Q"]], {})
            if isinstance(alone, Failed) or not (same(alone.xs, rts.xs[i]) and same(alone.Ps, rts.Ps[i])):
                finding(f"rts_smoother: sequence {i} of the panel differs from the sequence alone")
                return
        if kind != "filter":
            if not same(panel.xs, rts.xs) or (kind == "smoother" and not same(panel.Ps, rts.Ps)):
                finding("batch_smoother differs from batch_filter followed by rts_smoother")
                return
            totals = [sum(v for v in row.tolist() if v == v) for row in filt.log_likelihoods]
            if not same(panel.log_likelihood, np.array(totals, dtype=np.float64)):
                finding("batch_smoother's log_likelihood is not the sum of the observed steps' log-likelihoods")
                return
        if not p["faults"] and p["N"] and p["m"]:
            self.textbook_panel(p, filt, finding)

    def textbook_panel(self, p, filt, finding):
        n, N = p["n"], p["N"]
        Fs = p["F"] if np.ndim(p["F"]) == 3 else np.broadcast_to(p["F"], (N, n, n))
        Hs = p["H"] if np.ndim(p["H"]) == 3 else np.broadcast_to(p["H"], (N,) + np.shape(p["H"]))
        Qv = p["Q"] * np.eye(n) if np.ndim(p["Q"]) == 0 else p["Q"]
        Qs = Qv if np.ndim(Qv) == 3 else np.broadcast_to(Qv, (N, n, n))
        Rs = p["R"] if np.ndim(p["R"]) == 3 else np.broadcast_to(p["R"], (N,) + np.shape(p["R"]))
        for i in range(p["M"]):
            x = p["x0"] if p["shared"] else p["x0"][i]
            P = p["P0"] if p["shared"] else p["P0"][i]
            for k in range(N):
                z = p["zs"][i, k]
                x, P, ll = textbook_step(x, P, None if np.isnan(z).all() else z, Fs[k], Hs[k], Qs[k], Rs[k])
                scale = 1e-7 * (1.0 + np.abs(P).max()) * max(1.0, np.linalg.cond(P)) ** 0.5
                if not close(filt.xs[i, k], x, scale) or not (np.isnan(ll) == np.isnan(filt.log_likelihoods[i, k])):
                    finding(f"batch_filter: sequence {i} step {k} is far from the textbook Kalman filter: "
                            f"{filt.xs[i, k].tolist()} against {x.tolist()}")
                    return

    # -- differential: filter_bank_step -----------------------------------------

    def diff_bank_step(self, seed, log=None):
        self.cases["step"] += 1
        r = random.Random(seed)
        g = np.random.default_rng(seed)
        n, m, M = r.choice([1, 2, 3, 4]), r.choice([1, 2, 3]), r.choice([1, 2, 3, 6])
        F = np.eye(n) + 0.1 * g.standard_normal((n, n))
        H = g.standard_normal((m, n))
        Q = spd(g, n, 0.05) if r.random() < 0.8 else 0.05
        R = spd(g, m, 0.5) if r.random() < 0.8 else 0.5
        xs = g.standard_normal((M, n))
        shared_P = r.random() < 0.4
        Ps = spd(g, n) if shared_P else np.stack([spd(g, n) for _ in range(M)])
        zs = rowwise_linear(xs, H) + g.standard_normal((M, m))
        kinds = []
        for i in range(M):
            roll = r.random()
            kinds.append("ok")
            if roll < 0.2:
                zs[i], kinds[i] = np.nan, "missing"
            elif roll < 0.3:
                zs[i, r.randrange(m)], kinds[i] = r.choice([np.nan, np.inf] if m > 1 else [np.inf]), "bad z"
            elif roll < 0.35:
                xs[i, r.randrange(n)], kinds[i] = r.choice([np.nan, -np.inf]), "bad x"
            elif roll < 0.4 and not shared_P:
                Ps[i, 0, 0], kinds[i] = np.nan, "bad P"
        flag = r.random() < 0.6
        setup = f"M={M} n={n} m={m} shared P={shared_P} rows={kinds} nan_means_missing={flag}"
        if log is not None:
            log.append(setup)

        def finding(what):
            self.report("filter_bank_step: " + what[:80], f"{what}\n  {setup}\n  reproduce: --replay step:{seed}")

        args = [xs, Ps, zs, F, H, Q, R]
        full = self.execute("filter_bank_step", filter_bank_step, args, {"nan_means_missing": flag})
        if isinstance(full, Failed):
            finding(f"raised {type(full.exc).__name__}: {full.exc} on valid shared matrices")
            return
        other = self.execute("filter_bank_step", filter_bank_step, args, {"nan_means_missing": not flag})
        Qm = Q * np.eye(n) if np.ndim(Q) == 0 else Q
        Rm = R * np.eye(m) if np.ndim(R) == 0 else R
        for i in range(M):
            P_i = Ps if shared_P else Ps[i]
            alone = self.execute("filter_bank_step (one filter)", filter_bank_step,
                                 [xs[i:i + 1], P_i if shared_P else Ps[i:i + 1], zs[i:i + 1], F, H, Q, R],
                                 {"nan_means_missing": flag})
            if isinstance(alone, Failed) or not all(same(a[i], b[0]) for a, b in zip(full, alone)):
                finding(f"filter {i} ({kinds[i]}) differs from the same filter stepped alone")
                return
            status = int(full.status[i])
            want = {"missing": 4 if flag else 3, "bad z": 3, "bad x": 3, "bad P": 3}.get(kinds[i])
            if want is not None and status != want or want is None and status not in (0, 1, 2):
                finding(f"filter {i} ({kinds[i]}) got status {status}")
                return
            if kinds[i] == "ok" and not isinstance(other, Failed) and not all(
                    same(a[i], b[i]) for a, b in zip(full, other)):
                finding(f"filter {i} with a finite z differs between nan_means_missing=True and False")
                return
            if status in (0, 4):
                x, P, ll = textbook_step(xs[i], P_i, None if status == 4 else zs[i], F, H, Qm, Rm)
                if not (close(full.xs[i], x, 1e-8) and close(full.Ps[i], P, 1e-8)) or \
                        (status == 4) != bool(np.isnan(full.log_likelihoods[i])) or \
                        (status == 0 and not close(full.log_likelihoods[i], ll, 1e-8)):
                    finding(f"filter {i} (status {status}) is far from the textbook step")
                    return

    # -- differential: cubature smoother ----------------------------------------

    def diff_smoother(self, seed, log=None, compiled=False):
        """The cubature smoother: many steps per call against one, a linear model against the textbook RTS
        smoother; with `compiled`, a compiled fx (built-in linear or motion model, or the fuzz's C model with
        failure thresholds) also against the same function called through Python, bit for bit."""
        self.cases["csmoother" if compiled else "smoother"] += 1
        r = random.Random(seed)
        g = np.random.default_rng(seed)
        n = r.choice([1, 2, 3, 4, 7] + ([5, 5] if compiled else []))
        N = r.choice([0, 1, 2, 3, 6, 10] * 3 + [40])
        A = np.eye(n) + 0.1 * g.standard_normal((n, n))
        linear = r.random() < 0.5
        angles = [] if linear or r.random() < 0.7 else [r.randrange(n)]
        fx_args = ()
        if compiled:
            options = (["c"] if NATIVE is not None else []) + (["motion"] if n == 5 else [])
            if linear or not options:
                linear, angles = True, []
                fx = models.linear(A)
            elif r.choice(options) == "c":
                fx = self.c_model("fx", n, r=r)[0]
            else:
                fx = r.choice([models.coordinated_turn, models.ctrv])()
            fx_held = as_model(fx, "fx", n, n)
            angles = sorted(set(angles) | set(fx_held.angles))
            fx_args = self.fault_args(fx_held, 0.0, 0.3, r, g)
        else:
            def fx(X, dt, *extra):
                Y = rowwise_linear(X, A)
                return Y if linear else Y + (0.05 * dt) * soft(X)

        xs = g.standard_normal((N, n))
        Ps = np.stack([spd(g, n) for _ in range(N)]) if N else np.zeros((0, n, n))
        q_form = r.choice(["one", "scalar", "N", "N-1"])
        Qs = np.stack([spd(g, n, 0.05) for _ in range(N)])if N else np.zeros((0, n, n))
        Q = {"one": spd(g, n, 0.05), "scalar": 0.05, "N": Qs, "N-1": Qs[1:]}[q_form]
        dt_form = r.choice(["one", "N", "N-1"])
        dts = g.uniform(0.2, 1.5, N)
        dt = {"one": 0.7, "N": dts, "N-1": dts[1:]}[dt_form]
        if dt_form != "one" and N > 2 and r.random() < 0.5:
            dt = np.array(dt)
            dt[: len(dt) // 2] = 0.7  # runs of equal steps: several steps per call
        sr = r.random() < 0.4
        k = r.choice([2, 3, 7, 1000, 2**62])
        fault = None
        roll = r.random()
        if roll < 0.08 and N:
            xs[r.randrange(N), 0], fault = np.nan, "NaN in xs"
        elif roll < 0.14 and N > 1:
            Ps[r.randrange(N - 1)], fault = np.diag(np.where(np.arange(n) == 0, -1.0, 1.0)), "indefinite P"
        spelled = angle_spelling(r, angles, n)[0]
        setup = (f"N={N} n={n} linear={linear} angle_states={angles} (also as {describe(spelled)}) "
                 f"Q={q_form} dt={dt_form} square_root={sr} steps_per_call={k} fault={fault}"
                 + (f" fx={fx_held!r} fx_args={fx_args}" if compiled else ""))
        if log is not None:
            log.append(setup)

        def finding(what):
            kind = "csmoother" if compiled else "smoother"
            self.report(f"cubature smoother{' (compiled fx)' if compiled else ''}: " + what[:80],
                        f"{what}\n  {setup}\n  reproduce: --replay {kind}:{seed}")

        kwargs = {"square_root": sr, "angle_states": angles or None}
        if fx_args:
            kwargs["fx_args"] = fx_args
        one = self.execute("cubature_smoother", cubature_smoother, [xs, Ps, fx, Q, dt], kwargs)
        # The same angle states spelled another way (mask, negative indices...).
        many = self.execute("cubature_smoother", cubature_smoother, [xs, Ps, fx, Q, dt],
                            dict(kwargs, steps_per_call=k, angle_states=spelled))
        if compiled:
            # The same C function called through Python on the same points, any number of steps per call.
            py = self.execute("cubature_smoother (compiled fx through Python)", cubature_smoother,
                              [xs, Ps, lambda X, step, *a: fx_held(X, step, *a), Q, dt],
                              dict(kwargs, steps_per_call=r.choice([1, k])))
            if isinstance(py, Failed) or isinstance(one, Failed):
                if not same_failure(one, py, fx_args):
                    finding(f"the compiled fx gave {outcome(one)}, the same fx through Python {outcome(py)}")
                    return
            elif not all((a is None and b is None) or same(a, b) for a, b in zip(one, py)):
                finding("the compiled fx differs from the same fx called through Python")
                return
        if isinstance(one, Failed) or isinstance(many, Failed):
            if not same_failure(one, many, fx_args):
                finding(f"steps_per_call={k} and 1 end differently: {outcome(one)} / {outcome(many)}")
            elif fault is None and allowed(one.exc) and not (N == 0 and isinstance(one.exc, ValueError)) and not (
                    fx_args and (is_model_failure(one.exc) or isinstance(one.exc, ValueError))):
                finding(f"raised {type(one.exc).__name__}: {one.exc} on a valid trace")
            return
        if fault is not None and N > 1:
            finding(f"succeeded despite {fault}")
            return
        for name, a, b in zip(one._fields, one, many):
            if (a is None) != (b is None) or (a is not None and not same(a, b)):
                finding(f"{name} with steps_per_call={k} differs from one step per call")
                return
        want_shapes = [(N, n), (N, n, n), (N, n, n)]
        if [a.shape for a in one[:3]] != want_shapes or (one.chol_Ps is None) == sr:
            finding(f"result shapes {[None if a is None else a.shape for a in one]} for N={N}")
            return
        if not all(np.isfinite(a).all() for a in one if a is not None):
            finding("non-finite smoothed values without an error")
            return
        if N and (not same(one.xs[-1], xs[-1] if not angles else one.xs[-1]) or one.gains[-1].any()):
            finding("the last step is not the filtered one, or its gain is not zero")
            return
        if sr and N and not close(np.einsum("kij,klj->kil", one.chol_Ps, one.chol_Ps), one.Ps, 1e-10):
            finding("Ps is not chol_Ps chol_Ps^T")
            return
        if linear and N > 1:
            dts_full = np.broadcast_to(np.asarray(dt, dtype=float), (N,)) if np.ndim(dt) == 0 else dt
            Qv = Q * np.eye(n) if np.ndim(Q) == 0 else Q
            Qfull = np.broadcast_to(Qv, (N, n, n)) if np.ndim(Qv) == 2 else Qv
            step_q = Qfull[1:] if len(Qfull) == N else Qfull
            del dts_full  # a linear fx does not depend on dt
            sx, sP = textbook_rts(list(xs), list(Ps), [A] * (N - 1), list(step_q))
            if not (close(one.xs, sx, 1e-7) and close(one.Ps, sP, 1e-7)):
                finding("a linear model's smoothed trace is far from the textbook RTS smoother")
                return
        if N and r.random() < 0.3:
            # VexelCKF.smooth is cubature_smoother with the filter's fx, Q, dt and form.
            kf = VexelCKF(n, 1, 0.7, fx=fx, hx=lambda X: X[:, :1], square_root=sr, angle_states=angles or None)
            kf.Q = spd(g, n, 0.05)
            run = vexel_ckf.RunResult(xs, Ps, None, None, None, None)
            got = self.execute("VexelCKF.smooth", kf.smooth, [run], {"steps_per_call": k})
            want = self.execute("cubature_smoother", cubature_smoother, [xs, Ps, fx, kf.Q, 0.7],
                                {"square_root": sr, "angle_states": angles or None})
            if isinstance(got, Failed) or isinstance(want, Failed) or not all(
                    (a is None and b is None) or same(a, b) for a, b in zip(got, want)):
                finding("VexelCKF.smooth differs from cubature_smoother with the filter's fx, Q and dt")

    def empty_trace(self):
        """A run of no steps smoothed: empty results, or a ValueError naming xs as rts_smoother gives."""
        r = self.r
        n = r.choice([1, 2, 3])
        kf = VexelCKF(n, 1, 1.0, fx=lambda X, dt: X, hx=lambda X: X[:, :1], square_root=r.random() < 0.5,
                      angle_states=[0] if r.random() < 0.3 else None)
        run = self.execute("VexelCKF.run (empty)", kf.run, [np.empty((0, 1))], {})
        if isinstance(run, Failed):
            return
        sm = self.execute("VexelCKF.smooth (empty trace)", kf.smooth, [run],
                          {"steps_per_call": r.choice([1, 4])})
        if isinstance(sm, Failed):
            if not allowed(sm.exc) or isinstance(sm.exc, ValueError):
                return
            self.report("smoothing an empty trace raises",
                        f"VexelCKF(dim_x={n}).smooth(run of zero steps) raised {type(sm.exc).__name__}: {sm.exc}; "
                        f"an empty trace has empty smoothed results\n  seed {self.seed} call {self.calls}")
        elif [a.shape for a in sm[:3]] != [(0, n), (0, n, n), (0, n, n)]:
            self.report("smoothing an empty trace: shapes", f"shapes {[a.shape for a in sm[:3]]}")

    # -- differential: Dask -------------------------------------------------------

    def diff_dask(self, seed, log=None):
        self.cases["dask"] += 1
        r = random.Random(seed)
        g = np.random.default_rng(seed)
        p = self.panel_problem(r, g, small=False)
        M, N, n, m = p["M"] + r.choice([0, 3, 7]), p["N"], p["n"], p["m"]
        if not N:
            return
        zs = np.cumsum(g.standard_normal((M, N, m)), axis=1)
        zs[g.random((M, N)) < 0.2] = np.nan
        if r.random() < 0.1 and m:
            zs[r.randrange(M), r.randrange(N), 0] = r.choice([np.inf, np.nan if m > 1 else np.inf])
        x0 = g.standard_normal((M, n)) if r.random() < 0.5 else g.standard_normal(n)
        P0 = spd(g, n) if r.random() < 0.5 else np.stack([spd(g, n) for _ in range(M)])
        chunk = r.choice([1, 2, 3, M])
        zd = da.from_array(zs, chunks=(chunk, r.choice([1, N]), -1))
        xd = da.from_array(x0, chunks=r.choice([1, 2, -1])) if x0.ndim == 2 and r.random() < 0.5 else x0
        Pd = da.from_array(P0, chunks=r.choice([1, 4, -1])) if P0.ndim == 3 and r.random() < 0.5 else P0
        model = (p["F"], p["H"], p["Q"], p["R"])
        which = r.choice(["filter", "smoother", "step"])
        flag = r.random() < 0.8
        setup = f"{which}: M={M} N={N} n={n} m={m} chunks={zd.chunks[0]} x0 {x0.shape} P0 {P0.shape} flag={flag}"
        if log is not None:
            log.append(setup)

        def finding(what):
            self.report("dask vs in-memory: " + what[:80], f"{what}\n  {setup}\n  reproduce: --replay dask:{seed}")

        if which == "filter":
            lazy = self.execute("vexel_ckf.dask.batch_filter", vd.batch_filter, [xd, Pd, zd, *model],
                                {"nan_means_missing": flag})
            want = self.execute("batch_filter", batch_filter, [x0, P0, zs, *model], {"nan_means_missing": flag})
        elif which == "smoother":
            cov = r.random() < 0.5
            lazy = self.execute("vexel_ckf.dask.batch_smoother", vd.batch_smoother, [xd, Pd, zd, *model],
                                {"nan_means_missing": flag, "covariances": cov})
            want = self.execute("batch_smoother", batch_smoother, [x0, P0, zs, *model],
                                {"nan_means_missing": flag, "covariances": cov})
        else:
            xs = x0 if x0.ndim == 2 else np.tile(x0, (M, 1))
            xsd = da.from_array(xs, chunks=(chunk, -1))
            step_model = (p["F"][0] if np.ndim(p["F"]) == 3 else p["F"],
                          p["H"][0] if np.ndim(p["H"]) == 3 else p["H"],
                          p["Q"][0] if np.ndim(p["Q"]) == 3 else p["Q"],
                          p["R"][0] if np.ndim(p["R"]) == 3 else p["R"])
            lazy = self.execute("vexel_ckf.dask.filter_bank_step", vd.filter_bank_step,
                                [xsd, Pd, zd[:, 0], *step_model], {"nan_means_missing": flag})
            want = self.execute("filter_bank_step", filter_bank_step, [xs, P0, zs[:, 0], *step_model],
                                {"nan_means_missing": flag})
        if not isinstance(lazy, Failed):
            arrays = [a for a in lazy if a is not None]
            got = self.execute("dask.compute (threads)", lambda: dask.compute(*arrays, scheduler="threads"), [], {})
        else:
            got = lazy
        if isinstance(want, Failed) or isinstance(got, Failed):
            if isinstance(want, Failed) != isinstance(got, Failed) or type(want.exc) is not type(got.exc):
                finding(f"the in-memory call gave {want.exc!r}" if isinstance(want, Failed) else
                        "the in-memory call succeeded")
                if isinstance(got, Failed):
                    self.report("dask vs in-memory: " + f"dask raised {type(got.exc).__name__}"[:80],
                                f"dask raised {got.exc!r}\n  {setup}\n  reproduce: --replay dask:{seed}")
            return
        expected = [a for a in want if a is not None]
        if len(expected) != len(got) or not all(same(a, b) for a, b in zip(got, expected)):
            finding("the computed dask results differ from the in-memory results")

    # -- nonlinear panels ------------------------------------------------------------
    # cubature_filter and cubature_panel_smoother run each sequence as a lone
    # VexelCKF run and smooth would, stopping a sequence whose arithmetic or
    # model fails (status 2 or 3) while the others go on; a Python model is
    # called once per step (per distinct time step) with every running
    # sequence's points, compiled ones sequence by sequence on the pool.

    def cpanel_problem(self, r, g, compiled, small=False):
        """A nonlinear-panel case: the models, every argument in one of its forms and the per-sequence values
        (M, N, ...) they stand for."""
        sizes = [(1, 1), (2, 1), (2, 2), (3, 2), (4, 2), (3, 3)] + ([(5, 2), (5, 3)] if compiled else [])
        n, m = r.choice(sizes)
        M = r.choice([1, 2] if small else [1, 2, 3, 5])
        N = r.choice([1, 2, 3, 5, 8])
        single = M == 1 and r.random() < 0.4
        p = dict(n=n, m=m, M=M, N=N, single=single, sr=r.random() < 0.4, compiled=compiled, faults=[],
                 variant="python", point_faults=None)
        if compiled:
            fx_obj, hx_obj = self.compiled_model("fx", n, r=r, g=g), self.compiled_model("hx", n, m, r=r, g=g)
            fx_held, hx_held = as_model(fx_obj, "fx", n, n), as_model(hx_obj, "hx", n, m)
            fx_args, hx_args = self.fault_args(fx_held, 0.0, 0.4, r, g), self.fault_args(hx_held, 0.0, 0.4, r, g)
            p["variant"] = r.choice(["compiled", "compiled", "python", "mixed_fx", "mixed_hx"])
            p.update(lone_fx=fx_held, lone_hx=hx_held, fx_obj=fx_obj, hx_obj=hx_obj, fx_args=fx_args,
                     hx_args=hx_args)
            declared = (sorted(fx_held.angles), sorted(hx_held.angles))
            x0s = g.standard_normal((M, n)) * 2.0
            measure = hx_held
        else:
            model = Model(g, n, m, linear=r.random() < 0.3)

            def threshold(chance):
                return float(g.normal() * 1.5 + 1.0) if r.random() < chance else None

            faults = PointFaults(model, threshold(0.2), threshold(0.15), threshold(0.06), threshold(0.04))
            p.update(lone_fx=faults.fx, lone_hx=faults.hx, point_faults=faults,
                     fx_args=r.choice([(), (0.25,), (0.5, -0.125)]), hx_args=r.choice([(), (0.375,)]))
            declared = ([], [])
            x0s = g.standard_normal((M, n))
            measure = model.base_hx
        states = sorted(set(r.sample(range(n), r.randint(1, min(n, 2)))) | set(declared[0])) \
            if r.random() < 0.3 else declared[0]
        measured = sorted(set(r.sample(range(m), 1)) | set(declared[1])) if r.random() < 0.3 else declared[1]
        p.update(states=states, measured=measured, declared=declared)

        shared_x0 = single or r.random() < 0.3
        if shared_x0:
            x0s[:] = x0s[0]
        P_form = r.choice(["scalar", "shared", "per"])
        P0s = np.stack([spd(g, n) for _ in range(M)])
        roll = r.random()
        with np.errstate(all="ignore"):
            zs = np.stack([np.asarray(measure(np.tile(x0s[i], (N, 1)))) for i in range(M)]) \
                + 0.5 * g.standard_normal((M, N, m))
        for j in measured:
            zs[:, :, j] = np.remainder(zs[:, :, j] + np.pi, 2 * np.pi) - np.pi
        zs[g.random((M, N)) < r.choice([0.0, 0.2, 0.5])] = np.nan
        flag = r.random() < 0.92 or not np.isnan(zs).any()
        i, k = r.randrange(M), r.randrange(N)
        if roll < 0.05 and m > 1:
            zs[i, k] = np.where(np.arange(m) == 0, np.nan, 1.0)
            p["faults"].append("partly NaN row")
        elif roll < 0.08:
            zs[i, k, r.randrange(m)] = r.choice([np.inf, -np.inf])
            p["faults"].append("infinite measurement")
        elif roll < 0.15:
            P_form = "per"
            huge = r.random() < 0.5
            P0s[i] = np.eye(n) * 1e300 if huge else np.diag(np.where(np.arange(n) == 0, -1.0, 1.0))
            p["faults"].append(f"P0 of sequence {i} {'huge' if huge else 'indefinite'}")
            if not compiled and not huge and not shared_x0 and r.random() < 0.5:
                # Only this sequence's placeholder points (its x0) are past the point where fx raises.
                x0s[i, 0] = 50.0
                p["point_faults"].raise_fx = 40.0
        elif roll < 0.2:
            zs[i, k:] = 1e300
            p["faults"].append(f"absurd measurements of sequence {i} from step {k}")
        if P_form == "scalar":
            P0s[:] = np.eye(n) * 1.5
            P0_arg = 1.5
        elif P_form == "shared" or single:
            P0s[:] = P0s[0]
            P0_arg = P0s[0]
        else:
            P0_arg = P0s
        Q_arg, Qs, Q_steps, Q_ambiguous = noise_form(r, g, M, N, n, 0.1)
        R_arg, Rs, R_steps, R_ambiguous = noise_form(r, g, M, N, m, 0.5)
        dts_arg, dts = steps_form(r, g, M, N, single)
        zs_arg = zs
        if single:
            zs_arg = zs[0, :, 0] if m == 1 and r.random() < 0.5 else zs[0]
        p.update(x0s=x0s, P0s=P0s, zs=zs, Qs=Qs, Rs=Rs, dts=dts, Q_steps=Q_steps, R_steps=R_steps, flag=flag,
                 args=[x0s[0] if shared_x0 and r.random() < 0.8 else x0s, P0_arg, zs_arg, None, None, Q_arg, R_arg],
                 dts_arg=dts_arg, ambiguous="Q" if Q_ambiguous else "R" if R_ambiguous else None)
        return p

    @staticmethod
    def first_bad_row(zs, flag):
        """The first row (sequence, step), in panel order, that a panel refuses, and what is wrong with it."""
        M, N, _ = zs.shape
        for i in range(M):
            for k in range(N):
                z = zs[i, k]
                nans = int(np.isnan(z).sum())
                if not flag and not np.isfinite(z).all():
                    return i, k, "contains non-finite values"
                if flag and 0 < nans < z.size:
                    return i, k, "is partly NaN"
                if flag and np.isinf(z).any():
                    return i, k, "contains infinite values"
        return None

    @staticmethod
    def lone_status(exc, at_start=False):
        """The status a panel gives the sequence whose lone filter raised exc: 3 for its model's failure code or
        non-finite images, 2 for the arithmetic's failure; None when exc ends the whole call."""
        if isinstance(exc, (CallbackError, CallbackBaseError)):
            return None
        if at_start:  # an initial covariance the square-root form cannot factor
            return 2
        if is_model_failure(exc) or isinstance(exc, ValueError):
            return 3
        return 2 if isinstance(exc, RuntimeError) else f"unexpected {type(exc).__name__}"

    def cpanel_lone(self, p, i, spelled, smooth, r):
        """Sequence i of a case through a lone VexelCKF: its rows, the step it stopped at (N: none) and the
        exception there, and (smooth) its rows before that step smoothed, or the smoother's exception."""
        n, m, N = p["n"], p["m"], p["N"]
        Qs, Rs, dts, zs = p["Qs"][i], p["Rs"][i], p["dts"][i], p["zs"][i]
        out = dict(rows=[], stop=N, exc=None, at_start=False, smooth=None, smooth_exc=None)

        def fresh():
            kf = VexelCKF(n, m, 1.0, fx=p["lone_fx"], hx=p["lone_hx"], square_root=p["sr"],
                          angle_states=spelled[0], angle_measurements=spelled[1], fx_args=p["fx_args"],
                          hx_args=p["hx_args"])
            kf.Q, kf.R, kf.x = Qs[0], Rs[0], p["x0s"][i]
            try:
                kf.P = p["P0s"][i]
            except (ValueError, RuntimeError) as e:
                out.update(stop=0, exc=e, at_start=True)
                return None
            return kf

        kf = fresh()
        if kf is None:
            return out
        run = None
        if not (p["Q_steps"] or p["R_steps"]):
            try:
                run = kf.run(zs, dts=dts, nan_means_missing=True)
            except Exception:  # noqa: BLE001 - the steps by hand find where and how
                kf = fresh()
        if run is not None:
            out["rows"] = [tuple(f[k] for f in run) for k in range(N)]
        else:
            for k in range(N):
                try:
                    if p["Q_steps"]:
                        kf.Q = Qs[k]
                    if p["R_steps"]:
                        kf.R = Rs[k]
                    kf.predict(dt=float(dts[k]))
                    kf.update(None if np.isnan(zs[k]).all() else zs[k])
                except Exception as e:  # noqa: BLE001 - compared with the panel's status
                    out.update(stop=k, exc=e)
                    break
                out["rows"].append((kf.x, kf.P, kf.x_prior, kf.P_prior, np.float64(kf.log_likelihood),
                                    np.float64(kf.nis)))
        stop = out["stop"]
        if smooth and stop:
            trace = run if run is not None else RunResult(*[np.array([row[j] for row in out["rows"]])
                                                            for j in range(6)])
            try:
                # Q given: the square-root form reads kf.Q back from its factor, not as assigned (see
                # PANEL_FINDINGS).
                Q = Qs[:stop] if p["Q_steps"] else None if PANEL_FINDINGS else Qs[0]
                out["smooth"] = kf.smooth(trace, Q=Q, dt=dts[:stop], steps_per_call=r.choice([1, 1, 3]))
            except Exception as e:  # noqa: BLE001 - compared with the panel's status
                out["smooth_exc"] = e
        return out

    def cpanel_models(self, p, r):
        """fx and hx as the panel gets them in the case's variant: the lone filters' own (a compiled one
        sometimes in the C-level form it was made from), or compiled models called through Python (both, or one
        beside the other left compiled)."""
        fx, hx = p["lone_fx"], p["lone_hx"]
        if p["variant"] == "compiled" and r.random() < 0.5:
            fx, hx = p["fx_obj"], p["hx_obj"]
        if p["variant"] in ("python", "mixed_hx") and p["compiled"]:
            fx = through_python(fx, "fx", p["n"])
        if p["variant"] in ("python", "mixed_fx") and p["compiled"]:
            hx = through_python(hx, "hx", p["m"])
        return fx, hx

    def diff_cpanel(self, seed, compiled=False, small=False, log=None):
        """cubature_filter and cubature_panel_smoother against each sequence through a lone VexelCKF run and
        smooth, bit for bit: the rows before a sequence stopped, NaN from there, its total and status."""
        self.cases["ccpanel" if compiled else "cpanel"] += 1
        r = random.Random(seed)
        g = np.random.default_rng(seed)
        p = self.cpanel_problem(r, g, compiled, small)
        M, N, n, m = p["M"], p["N"], p["n"], p["m"]
        kind = r.choice(["filter", "smoother", "smoother"])
        covariances = kind == "filter" or r.random() < 0.7
        if not (not compiled or p["variant"] != "compiled" or r.random() < 0.5):
            # No angle options: the panel takes the angles the compiled models declare, as VexelCKF does.
            p["states"], p["measured"] = p["declared"]
            panel_angles = [None, None]
        else:
            panel_angles = [angle_spelling(r, p["states"], n)[0], angle_spelling(r, p["measured"], m)[0]]
        lone_angles = [angle_spelling(r, p["states"], n)[0], angle_spelling(r, p["measured"], m)[0]]
        fx, hx = self.cpanel_models(p, r)
        args = list(p["args"])
        args[3:5] = fx, hx
        kwargs = dict(dts=p["dts_arg"], fx_args=p["fx_args"], hx_args=p["hx_args"], angle_states=panel_angles[0],
                      angle_measurements=panel_angles[1], nan_means_missing=p["flag"], square_root=p["sr"])
        first = r.choice([None, None, None, 0, 7]) if not p["single"] or r.random() < 0.5 else None
        setup = (f"{kind}: M={M} N={N} n={n} m={m} single={p['single']} square_root={p['sr']} "
                 f"variant={p['variant']} faults={p['faults']} nan_means_missing={p['flag']} "
                 f"angles {p['states']} {p['measured']} fx_args={p['fx_args']} hx_args={p['hx_args']} "
                 f"Q per step={p['Q_steps']} R per step={p['R_steps']} covariances={covariances} "
                 f"first_sequence={first} "
                 + (f"fx={p['lone_fx']!r} hx={p['lone_hx']!r}" if compiled else p["point_faults"].text()))
        if log is not None:
            log.append(setup)

        def finding(what):
            self.report("nonlinear panel vs lone filters: " + re.sub(r"\d+", "#", what)[:80],
                        f"{what}\n  {setup}\n  reproduce: --replay {'ccpanel' if compiled else 'cpanel'}:{seed}")

        def call(which):
            fn = cubature_filter if which == "filter" else cubature_panel_smoother
            extra = {} if which == "filter" else {"covariances": covariances}
            if first is None and r.random() < 0.8:
                return self.execute(f"{fn.__name__} ({p['variant']} models)", fn, args, dict(kwargs, **extra))
            private = [which] + args + [kwargs[k] for k in ("dts", "fx_args", "hx_args", "angle_states",
                                                             "angle_measurements", "nan_means_missing",
                                                             "square_root")] + [covariances, first]
            return self.execute(f"_cubature_panel._panel ({which})", _cubature_panel._panel, private, {})

        filt = call("filter")
        smoothed = call("smoother") if kind == "smoother" else None
        outcomes = [("filter", filt)] + ([("smoother", smoothed)] if smoothed is not None else [])
        # Arguments every panel refuses as a whole.
        bad_row = self.first_bad_row(p["zs"], p["flag"])
        if p["ambiguous"] or bad_row:
            for which, res in outcomes:
                if not isinstance(res, Failed) or not isinstance(res.exc, ValueError):
                    finding(f"{which}: {outcome(res)} for "
                            + (f"an ambiguous {p['ambiguous']}" if p["ambiguous"] else f"zs{bad_row[:2]}")
                            + "; expected ValueError")
                    return
                if p["ambiguous"]:
                    if "ambiguous" not in str(res.exc):
                        finding(f"{which}: the ValueError for an ambiguous {p['ambiguous']} says {res.exc}")
                        return
                    continue
                i, k, what = bad_row
                label = f"zs[{k}]" if p["single"] and first is None else \
                    f"zs[{(first or 0) + i}, {k}] (sequence {(first or 0) + i}, step {k})"
                if not str(res.exc).startswith(f"{label} {what}"):
                    finding(f"{which}: the ValueError for {label} {what} says {res.exc}")
                    return
            return
        lones = [self.cpanel_lone(p, i, lone_angles, kind == "smoother", r) for i in range(M)]
        for which, res in outcomes:
            if not self.cpanel_judge(p, which, res, lones, covariances, finding):
                return
        want = filt if kind == "filter" else smoothed
        if r.random() < 0.08 and not p["single"] and not isinstance(want, Failed):
            self.cpanel_dask(p, r, kind, args, kwargs, covariances, want, finding)

    def cpanel_judge(self, p, which, res, lones, covariances, finding):
        """A panel's outcome against the lone filters' (False after a finding)."""
        M, N, n = p["M"], p["N"], p["n"]
        smoother = which == "smoother"
        enders = [i for i, lone in enumerate(lones)
                  if (lone["exc"] is not None and self.lone_status(lone["exc"]) is None)
                  or (smoother and lone["smooth_exc"] is not None and self.lone_status(lone["smooth_exc"]) is None)]
        ender = None if not enders else lones[enders[0]]["exc"] or lones[enders[0]]["smooth_exc"]
        if isinstance(res, Failed):
            if enders and isinstance(res.exc, (CallbackError, CallbackBaseError)):
                return True
            faults = p["point_faults"]
            placeholder = [
                i for i, lone in enumerate(lones)
                if faults is not None and lone["stop"] < N and self.lone_status(lone["exc"], lone["at_start"]) == 2
                and any(t is not None and p["x0s"][i][0] > t for t in (faults.raise_fx, faults.raise_hx))]
            if placeholder and isinstance(res.exc, CallbackError):
                finding(f"{which}: raised {res.exc!r}: the Python model was called with the points of sequence "
                        f"{placeholder[0]}, which had stopped (status 2) before its model call, and no "
                        f"sequence alone calls it with such points")
                return False
            finding(f"{which}: raised {type(res.exc).__name__}: {res.exc}; "
                    + (f"sequence {enders[0]} alone raises {ender!r}" if enders
                       else "every sequence alone runs or stops by itself"))
            return False
        if enders:
            finding(f"{which}: returned, but sequence {enders[0]} alone raises {ender!r}")
            return False
        got = [None if a is None else np.asarray(a) for a in res]
        shapes = {"xs": (N, n), "Ps": (N, n, n), "xs_prior": (N, n), "Ps_prior": (N, n, n), "log_likelihoods": (N,),
                  "nis": (N,), "log_likelihood": (), "status": ()}
        for name, a in zip(res._fields, got):
            want = ((M,) if not p["single"] else ()) + shapes[name]
            if name == "Ps" and smoother and not covariances:
                want = None
            if (a is None) != (want is None) or (a is not None and a.shape != want):
                finding(f"{which}: {name} has shape {None if a is None else a.shape}, expected {want}")
                return False
        if p["single"]:
            got = [None if a is None else a[None] for a in got]
        fields = dict(zip(res._fields, got))
        if fields["status"].dtype != np.int64:
            finding(f"{which}: status has dtype {fields['status'].dtype}")
            return False
        missed = np.isnan(p["zs"]).all(axis=2)
        for i, lone in enumerate(lones):
            stop = lone["stop"]
            want_status = 0 if stop == N else self.lone_status(lone["exc"], lone["at_start"])
            if smoother and stop and lone["smooth_exc"] is not None:
                want_status = self.lone_status(lone["smooth_exc"])
            status = int(fields["status"][i])
            if status != want_status:
                what = lone["smooth_exc"] if smoother and lone["smooth_exc"] is not None else lone["exc"]
                finding(f"{which}: sequence {i} has status {status}, expected {want_status} "
                        f"(alone: {'ran through' if what is None else repr(what)}"
                        f"{'' if stop == N else f' at step {stop}'})")
                return False
            if smoother:
                rows = []
                if stop and lone["smooth_exc"] is None:
                    rows = [("xs", lone["smooth"].xs)] + ([("Ps", lone["smooth"].Ps)] if covariances else [])
                end = 0 if lone["smooth_exc"] is not None else stop
            else:
                rows = [(name, np.array([row[j] for row in lone["rows"][:stop]]).reshape((stop,) + shapes[name][1:]))
                        for j, name in enumerate(res._fields[:6])]
                end = stop
            for name, want in rows:
                if not same(fields[name][i, :end], want):
                    k = next((k for k in range(end) if not same(fields[name][i, k], want[k])), None)
                    finding(f"{which}: {name} of sequence {i} differs from the sequence alone at step {k}: "
                            f"{describe(fields[name][i, k])} against {describe(want[k])}")
                    return False
            for name in ("xs", "Ps", "xs_prior", "Ps_prior", "log_likelihoods", "nis"):
                a = fields.get(name)
                if a is not None and not np.isnan(a[i, end:]).all():
                    finding(f"{which}: {name} of sequence {i} is not NaN from step {end}, where it stopped")
                    return False
            total = 0.0
            for k in range(stop):
                if not missed[i, k]:
                    total += float(lone["rows"][k][4])
            want_total = np.float64(total if status == 0 else np.nan)
            if not same(fields["log_likelihood"][i], want_total):
                finding(f"{which}: log_likelihood of sequence {i} is {fields['log_likelihood'][i]!r}, expected "
                        f"{want_total!r} (status {status})")
                return False
        return True

    def cpanel_dask(self, p, r, kind, args, kwargs, covariances, want, finding):
        """The Dask twin of a panel on the threaded scheduler against the in-memory result, bit for bit."""
        self.cases["cdask"] += 1
        M = p["M"]
        chunk = r.choice([1, 2, M])
        lazy_args = list(args)
        lazy_args[2] = da.from_array(p["zs"], chunks=(chunk, -1, -1))
        if np.ndim(args[0]) == 2 and r.random() < 0.5:
            lazy_args[0] = da.from_array(np.asarray(args[0]), chunks=(r.choice([1, M]), -1))
        lazy_kwargs = dict(kwargs, nan_means_missing=bool(kwargs["nan_means_missing"]),
                           square_root=bool(kwargs["square_root"]))
        if kind == "filter":
            fn = vd.cubature_filter
        else:
            fn, lazy_kwargs["covariances"] = vd.cubature_panel_smoother, covariances
        lazy = self.execute(f"vexel_ckf.dask.{fn.__name__}", fn, lazy_args, lazy_kwargs)
        if isinstance(lazy, Failed):
            if not isinstance(lazy.exc, TypeError) or "pickled" not in str(lazy.exc):
                finding(f"dask {fn.__name__} raised {lazy.exc!r} where the in-memory call succeeded")
            return
        arrays = [a for a in lazy if a is not None]
        got = self.execute("dask.compute (threads)", lambda: dask.compute(*arrays, scheduler="threads"), [], {})
        if isinstance(got, Failed):
            finding(f"dask {fn.__name__} computed to {got.exc!r} where the in-memory call succeeded")
            return
        expected = [a for a in want if a is not None]
        if len(got) != len(expected) or not all(same(a, b) for a, b in zip(got, expected)):
            finding(f"dask {fn.__name__} differs from the in-memory result")

    # -- nonlinear panels: random calls, the native entry, threads ---------------

    def meddling(self, base, targets):
        """A callback that writes NaN, infinities or huge values into the caller's own arrays (those the running
        panel reads) before giving what `base` gives."""
        def cb(X, *args):
            fz = getattr(_local, "fz", None)
            r = fz.r if fz is not None else random.Random(0)
            for t in targets:
                if isinstance(t, np.ndarray) and t.dtype == np.float64 and t.flags.writeable and t.size:
                    t[tuple(r.randrange(d) for d in t.shape)] = r.choice([np.nan, np.inf, -np.inf, 1e300, 0.0])
            return base(X, *args)

        cb.kind, cb.target = base.kind, None
        return cb

    def cpanel_call(self):
        """cubature_filter or cubature_panel_smoother with random arguments (mostly good, a few odd ones) and
        misbehaving or failing models (outcome checks, and the shapes and status rules of what returns)."""
        r, g = self.r, self.g
        n, m = r.choice([(1, 1), (2, 1), (2, 2), (3, 2), (5, 2)])
        M, N = r.choice([1, 2, 3]), r.choice([1, 2, 4])
        single = r.random() < 0.2
        lead = () if single else (M,)
        count = 1 if single else M
        odd = set(r.sample(["x0", "P0", "zs", "Q", "R", "dts"], r.choice([0, 0, 1, 1, 2])))

        def arg(name, shape, good, kind="any"):
            return self.array(shape, kind) if name in odd else good

        x0 = arg("x0", (n,) if single else (M, n), self.layout(g.standard_normal((n,) if single or r.random() < 0.4
                                                                                   else (M, n))))
        P0 = arg("P0", (n, n), r.choice([1.0, self.layout(spd(g, n)), self.layout(np.stack([spd(g, n)] * count))]),
                 "spd")
        zs = arg("zs", lead + (N, m), self.gappy(lead + (N, m)))
        Q = arg("Q", (n, n), noise_form(r, g, count, N, n, 0.1)[0], "spd")
        R = arg("R", (m, m), noise_form(r, g, count, N, m, 0.5)[0], "spd")
        dts = arg("dts", (N,), steps_form(r, g, count, N, single)[0]) if r.random() < 0.9 else self.double()

        def model(kind, size):
            roll = r.random()
            if roll < 0.5:
                return self.callback(kind == "fx", size)
            if roll < 0.85:
                return self.compiled_model(kind, n, m)
            if roll < 0.9:
                return self.model_of_kind("hx" if kind == "fx" else "fx", n, r.choice([1, 2]))
            if roll < 0.93:
                return self.compiled_model(kind, n + 1, m + 1)
            return r.choice([None, 3, "fx", lambda X: X, self.callback(kind == "fx", size + 1),
                             PointFaults(Model(g, n, m, False), 0.0, 0.0).fx])

        fx, hx = model("fx", n), model("hx", m)
        if r.random() < 0.1:
            meddled = [a for a in (zs, Q, dts, x0) if isinstance(a, np.ndarray)]
            if isinstance(fx, CompiledModel) or not callable(fx) or not hasattr(fx, "kind"):
                fx = self.callback(True, n)
            fx = self.meddling(fx, meddled)

        def extra(model_obj):
            if r.random() < 0.7:
                return self.fault_args(model_obj, 0.0) if isinstance(model_obj, CompiledModel) else ()
            if isinstance(model_obj, CompiledModel) or r.random() < 0.3:
                return self.model_params()
            return r.choice([(1,), [2.0], None, "ab", 3, (Weird(),)])

        kwargs = {"dts": dts, "fx_args": extra(fx), "hx_args": extra(hx)}
        for name, size in (("angle_states", n), ("angle_measurements", m)):
            roll = r.random()
            if roll < 0.2:
                kwargs[name] = angle_spelling(r, r.sample(range(size), r.randint(0, 1)), size)[0]
            elif roll < 0.25:
                kwargs[name] = bad_angle_option(r, size)[0]
        kwargs["nan_means_missing"] = r.choice([True, True, True, False, 1, None])
        kwargs["square_root"] = r.random() < 0.4
        which = r.choice(["filter", "smoother"])
        if which == "smoother" and r.random() < 0.5:
            kwargs["covariances"] = r.random() < 0.5
        fn = cubature_filter if which == "filter" else cubature_panel_smoother
        res = self.execute(fn.__name__, fn, [x0, P0, zs, fx, hx, Q, R], kwargs)
        if not isinstance(res, Failed):
            # One sequence when zs is 1-D or 2-D, whatever the case meant.
            self.check_cpanel_shapes(fn.__name__, res, [x0, P0, zs, fx, hx, Q, R], kwargs, np.ndim(zs) < 3, n)

    def check_cpanel_shapes(self, label, res, args, kwargs, single, n):
        """What a panel returned: shapes that fit, int64 statuses of 0, 2 or 3, and a stopped sequence's total
        and last rows NaN."""
        status = np.asarray(res.status)
        xs = np.asarray(res.xs)
        problems = []
        if status.dtype != np.int64 or (status.ndim != (0 if single else 1)):
            problems.append(f"status {describe(status)}")
        else:
            lead = xs.shape[:xs.ndim - 2]
            N = xs.shape[-2] if xs.ndim >= 2 else 0
            if xs.ndim != (2 if single else 3) or xs.shape[-1] != n or lead != status.shape:
                problems.append(f"xs of shape {xs.shape}, status {status.shape}")
            for a, name in ((res.Ps, "Ps"), (getattr(res, "Ps_prior", None), "Ps_prior")):
                if a is not None and np.shape(a) != lead + (N, n, n):
                    problems.append(f"{name} of shape {np.shape(a)}")
            stopped = status.reshape(-1) != 0
            totals = np.asarray(res.log_likelihood).reshape(-1)
            if not set(status.reshape(-1).tolist()) <= {0, 2, 3}:
                problems.append(f"status {status.tolist()}")
            elif not np.isnan(totals[stopped]).all():
                problems.append(f"a stopped sequence's total is not NaN: totals {totals.tolist()} status "
                                f"{status.tolist()}")
            elif N and not np.isnan(xs.reshape(-1, N, n)[stopped, -1]).all():
                problems.append(f"a stopped sequence's last row is not NaN (status {status.tolist()})")
        if problems:
            self.fail(self.here(), label, args, kwargs, "returned " + "; ".join(problems))

    def cpanel_raw(self):
        """_engine.cubature_panel called directly: odd arguments refused with an allowed exception; good ones in
        any layout (strided, Fortran order, misaligned, read-only, reversed) give their C-contiguous copies'
        bits."""
        r, g = self.r, self.g
        n, m = r.choice([(1, 1), (2, 1), (3, 2), (2, 2), (5, 2)])
        M, N = r.choice([1, 2, 3]), r.choice([1, 2, 4])
        compiled = NATIVE is not None and r.random() < 0.6
        if compiled:
            fx, hx = self.compiled_model("fx", n), self.compiled_model("hx", n, m)
            fx, hx = as_model(fx, "fx", n, n), as_model(hx, "hx", n, m)
            x0 = g.standard_normal((M, n))
            models_arg = (fx, self.fault_args(fx, 0.0, 0.3), hx, self.fault_args(hx, 0.0, 0.3))
        else:
            faults = PointFaults(Model(g, n, m, r.random() < 0.5), *(r.choice([None] * 5 + [1.0]) for _ in range(4)))
            x0 = g.standard_normal((M, n))
            models_arg = (faults.fx, r.choice([(), (0.25,), None]), faults.hx, r.choice([(), None]))
        zs = g.standard_normal((M, N, m))
        gaps = r.random() < 0.6
        if gaps:
            zs[g.random((M, N)) < 0.3] = np.nan
        args = [x0, np.stack([spd(g, n) for _ in range(M)]), zs,
                np.broadcast_to(spd(g, n, 0.1), (M, N, n, n)), np.broadcast_to(spd(g, m, 0.5), (M, N, m, m)),
                np.broadcast_to(g.uniform(0.1, 1.0, N), (M, N)), models_arg,
                r.choice([None, (None, None), ([0], None), ((), (0,)), ([0], [0])]), gaps, r.random() < 0.4,
                r.random() < 0.5, r.random() < 0.5, r.choice([None, 0, 3])]
        if r.random() < 0.55:
            clean = list(args)
            for _ in range(r.randint(1, 3)):
                self.cpanel_odd(args, clean, n, m, M, N)
            self.execute("_engine.cubature_panel (odd arguments)", _engine.cubature_panel, args, {})
            return
        ref = self.execute("_engine.cubature_panel", _engine.cubature_panel, args, {})
        odd = list(args)
        for k in range(6):
            if r.random() < 0.6:
                odd[k] = self.relayout(np.ascontiguousarray(args[k]))
        got = self.execute("_engine.cubature_panel (layouts)", _engine.cubature_panel, odd, {})
        if isinstance(ref, Failed) or isinstance(got, Failed):
            ok = isinstance(ref, Failed) and isinstance(got, Failed) and type(ref.exc) is type(got.exc)
        else:
            ok = same(tuple(ref), tuple(got))
        if not ok:
            self.fail(self.here(), "_engine.cubature_panel (layouts)", odd, {},
                      f"gave {outcome(got)}, C-contiguous copies of the same arrays {outcome(ref)}"
                      + ("" if isinstance(ref, Failed) or isinstance(got, Failed) else " with other values"))

    def relayout(self, a):
        """a's values in another memory layout: Fortran order, a strided or reversed view, a misaligned copy
        (off by one byte), read-only; the engine reads each through its strides."""
        kind = self.r.choice(["fortran", "strided", "reversed", "misaligned", "misaligned", "readonly"])
        if kind == "fortran":
            return np.asfortranarray(a)
        if kind == "strided" and a.ndim:
            big = np.zeros(tuple(2 * d + 1 for d in a.shape))
            view = big[tuple(slice(1, None, 2) for _ in a.shape)]
            view[...] = a
            return view
        if kind == "reversed" and a.ndim:
            flipped = np.ascontiguousarray(a[::-1])
            return flipped[::-1]
        if kind == "misaligned":
            raw = np.zeros(a.nbytes + 16, dtype=np.uint8)
            start = 1 + (-raw.ctypes.data) % 8
            v = raw[start:start + a.nbytes].view(np.float64).reshape(a.shape)
            v[...] = a
            return v
        b = a.copy()
        b.flags.writeable = False
        return b

    def cpanel_odd(self, args, clean, n, m, M, N):
        """One argument of a native cubature_panel call made odd (from its clean value)."""
        r = self.r
        k = r.randrange(13)
        shapes = [(M, n), (M, n, n), (M, N, m), (M, N, n, n), (M, N, m, m), (M, N)]
        if k < 6:
            a = np.ascontiguousarray(clean[k])
            roll = r.random()
            if roll < 0.35:
                args[k] = self.array(shapes[k], "spd")
            elif roll < 0.5:
                args[k] = a.astype(r.choice([np.float32, ">f8", np.int64, object, np.complex128]))
            elif roll < 0.6:
                args[k] = a.reshape(-1) if a.ndim > 1 else a[None]
            elif roll < 0.75:
                args[k] = self.huge(shapes[k])
            elif roll < 0.85:
                s = list(shapes[k])
                s[0] = 0 if k != 2 or r.random() < 0.5 else M
                if k == 2 and s[0] == M:
                    s[r.choice([1, 2])] = 0
                args[k] = np.zeros(s)
            else:
                bad = np.array(a)
                if bad.size:
                    bad.reshape(-1)[r.randrange(bad.size)] = r.choice([np.nan, np.inf, -np.inf, 1e308, -1e308])
                args[k] = bad
        elif k == 6:
            fx, fa, hx, ha = clean[6]
            args[6] = r.choice([None, (fx, fa, hx), [fx, fa, hx, ha], (hx, ha, fx, fa), (fx, "ab", hx, ha),
                                (fx, fa, hx, ha, None), (fx, (Weird(),), hx, ha), (None, fa, hx, ha),
                                (fx, fa, 3, ha), (self.callback(True, n), fa, self.callback(False, m), ha),
                                (self.compiled_model("fx", n + 1), (), hx, ha), (fx, fa, lambda X: X, ha)])
        elif k == 7:
            args[7] = r.choice(["ab", (None,), ([0], [0], [0]), ([n], None), (None, [m]), ([0, 0], None),
                                ([-1], None), ([2**64], None), ((0.5,), None), ([Weird()], None), 3])
        elif k in (8, 9, 10, 11):
            args[k] = r.choice([None, 1, "x", np.bool_(True), np.array([1, 2]), Weird()])
        else:
            args[12] = r.choice([-1, 2**64, 2**64 - 1, 2**63, "a", 1.5, Weird(), np.int64(5)]
                                + [2**63 - 1] * 3)
            if args[12] == 2**63 - 1 and M > 1:
                # The message then names the last sequence, 2**63 - 1 past the first.
                zs = np.array(clean[2])
                zs[-1, 0, 0] = np.inf
                args[2] = zs

    def cpanel_threads(self, seed):
        """Panels in several threads at once, beside banks stepping: every call gives the bits it gives alone."""
        self.cases["cthreads"] += 1
        r = random.Random(seed)
        g = np.random.default_rng(seed)
        jobs = []
        for j in range(r.randint(2, 4)):
            what = r.choice(["compiled", "compiled", "python", "bank"] if NATIVE is not None else ["python", "bank"])
            jobs.append((what, self.cpanel_job(what, random.Random(r.randrange(2**32)), g)))
        alone = [self.run_job(job) for _, job in jobs]
        results = [None] * len(jobs)
        start = threading.Barrier(len(jobs))

        def body(j):
            np.seterr(all="ignore")
            try:
                start.wait(timeout=30)
            except threading.BrokenBarrierError:
                pass
            results[j] = [self.run_job(jobs[j][1]) for _ in range(2)]

        def together():
            threads = [threading.Thread(target=body, args=(j,)) for j in range(len(jobs))]
            for t in threads:
                t.start()
            for t in threads:
                t.join()

        self.execute("panels and banks in threads", together, [], {})
        for j, ((what, _), want) in enumerate(zip(jobs, alone)):
            for got in results[j] or [None]:
                if got is None or not same(got, want):
                    self.report("nonlinear panels in threads: " + what,
                                f"a {what} job run in {len(jobs)} threads at once gave {got!r:.300} where alone it "
                                f"gives {want!r:.300}\n  jobs {[w for w, _ in jobs]}\n  reproduce: seed {seed} "
                                f"of cpanel_threads\n  {self.here()}")
                    return

    def cpanel_job(self, what, r, g):
        """A function making one call (a panel, or a bank's steps) with fixed arguments, for the thread checks."""
        n, m = r.choice([(2, 1), (3, 2), (4, 2), (5, 2)])
        M, N = r.choice([3, 8, 20]), r.choice([5, 12])
        x0 = g.standard_normal((M, n)) * 2.0
        zs = g.standard_normal((M, N, m)) * 2.0
        zs[g.random((M, N)) < 0.2] = np.nan
        Q, R = spd(g, n, 0.1), spd(g, m, 0.5)
        dts = g.choice([0.5, 1.0], (M, N))
        if what == "python":
            faults = PointFaults(Model(g, n, m, False), float(g.normal() + 4.0), None)
            fx, hx, fa, ha = faults.fx, faults.hx, (), ()
        else:
            fx = as_model(self.compiled_model("fx", n, r=r, g=g), "fx", n, n)
            hx = as_model(self.compiled_model("hx", n, m, r=r, g=g), "hx", n, m)
            fa, ha = self.fault_args(fx, 0.0, 0.4, r, g), self.fault_args(hx, 0.0, 0.4, r, g)
        sr = r.random() < 0.4
        if what == "bank":
            P = spd(g, n)

            def job():
                b = CKFBank(M, n, m, 0.5, fx, hx, fa, ha)
                b.xs, b.Ps, b.Q, b.R = x0, np.broadcast_to(P, (M, n, n)), Q, R
                for k in range(N):
                    b.predict()
                    b.update(zs[:, k], missing=np.isnan(zs[:, k, 0]))
                return b.xs, b.Ps, b.status
            return job
        fn = r.choice([cubature_filter, cubature_panel_smoother])
        return lambda: tuple(fn(x0, spd(np.random.default_rng(1), n), zs, fx, hx, Q, R, dts=dts, fx_args=fa,
                                hx_args=ha, nan_means_missing=True, square_root=sr))

    @staticmethod
    def run_job(job):
        try:
            return job()
        except Exception as e:  # noqa: BLE001 - compared between the runs alone and in threads
            return type(e).__name__

    # -- driver -------------------------------------------------------------

    def run(self):
        np.seterr(all="ignore")  # per thread: callbacks overflow on purpose
        _local.fz = self
        while self.calls < self.budget:
            roll = self.r.random()
            if roll < 0.02:
                self.reseed()
            elif roll < 0.025:
                self.check_kept()
            elif roll < 0.027:
                self.empty_trace()
            self.one_call()
        self.check_kept()

    def reseed(self):
        """Give a private bank and filter moderate states again (predictions make P grow without bound)."""
        i = self.r.randrange(len(self.banks))
        self.banks[i] = self.new_bank()
        j = self.r.randrange(len(self.kfs))
        self.kfs[j] = self.new_filter()
        if self.r.random() < 0.2:
            k = self.r.randrange(len(self.shared["banks"]))
            self.shared["banks"][k] = self.new_bank()


def replay(case):
    """One differential case alone, printing its log."""
    kind, _, seed = case.partition(":")
    seed = int(seed)
    found = []
    fz = Fuzzer(seed, {"banks": [], "kfs": []}, lambda key, text: found.append(text), 0)
    fz.shared = {"banks": [fz.new_bank()], "kfs": [fz.new_filter()]}
    np.seterr(all="ignore")
    _local.fz = fz
    log = []
    cases = {"bank": fz.diff_bank, "lone": fz.diff_lone, "panel": fz.diff_panel, "step": fz.diff_bank_step,
             "smoother": fz.diff_smoother, "dask": fz.diff_dask, "cpanel": fz.diff_cpanel}
    if kind in ("cbank", "clone", "csmoother", "ccpanel"):
        cases[kind[1:]](seed, log=log, compiled=True)
    else:
        cases[kind](seed, log=log)
    print("\n".join(log))
    for text in found:
        print("\nFINDING " + text)
    return 1 if found else 0


def under_asan_without_null():
    """True when AddressSanitizer's runtime is loaded and a failed allocation would abort the process."""
    try:
        with open("/proc/self/maps") as fh:
            loaded = "libasan" in fh.read()
    except OSError:
        return False
    return loaded and "allocator_may_return_null" not in os.environ.get("ASAN_OPTIONS", "")


def main():
    # The huge-size probes must fail fast with MemoryError, as they do in a
    # normal build; under AddressSanitizer an allocation that cannot be had
    # aborts the process unless the runtime is told to return NULL, which it
    # only reads at start-up.
    if under_asan_without_null():
        env = dict(os.environ)
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "allocator_may_return_null=1"]))
        sys.stdout.flush()
        os.execve(sys.executable, [sys.executable] + sys.argv, env)
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--calls", type=int, default=100_000, help="total calls over all threads (at least)")
    ap.add_argument("--threads", type=int, default=4)
    ap.add_argument("--seed", type=int, default=20261206)
    ap.add_argument("--hang", type=float, default=120.0, help="seconds after which one call counts as hung")
    ap.add_argument("--trace", metavar="FILE", help="write every call's id before it runs (to find a crash)")
    ap.add_argument("--replay", metavar="KIND:SEED", help="run one differential case (bank, lone, panel, step, "
                                                            "smoother, dask, cpanel, and cbank, clone, csmoother, "
                                                            "ccpanel with compiled models) and print its log")
    ap.add_argument("--panel-findings", action="store_true",
                    help="also compare the square-root panel smoother with VexelCKF.smooth without Q "
                         "(see PANEL_FINDINGS)")
    args = ap.parse_args()
    global PANEL_FINDINGS
    PANEL_FINDINGS = args.panel_findings
    faulthandler.enable()
    dask.config.set(scheduler="threads")
    global NATIVE
    NATIVE, how = build_native_models()
    # NumPy warns as it casts a complex parameter; the casts are judged by the checks, the warnings are noise.
    warnings.filterwarnings("ignore", category=np.exceptions.ComplexWarning)
    print(f"fuzz_engine: {how}{'' if NATIVE is not None else '; the C-function forms are skipped'}", flush=True)
    if args.replay:
        return replay(args.replay)
    quiet_progress()
    sys.setswitchinterval(1e-4)  # many thread switches, also inside callbacks

    findings = {}
    lock = threading.Lock()

    def report(key, text):
        with lock:
            entry = findings.setdefault(key, [0, text])
            entry[0] += 1

    trace = None
    if args.trace:
        trace_file = open(args.trace, "w", buffering=1)

        def trace(line):
            with lock:
                trace_file.write(f"{threading.get_ident()} {line}\n")

    seeder = random.Random(args.seed)
    maker = Fuzzer(args.seed, {"banks": [], "kfs": []}, report, 0)
    shared = {"banks": [maker.new_bank() for _ in range(4)], "kfs": [maker.new_filter() for _ in range(3)]}
    per_thread = -(-args.calls // args.threads)
    fuzzers = [Fuzzer(seeder.randrange(2**32), shared, report, per_thread) for _ in range(args.threads)]
    for fz in fuzzers:
        fz.trace = trace
    errors = []
    done = threading.Event()

    def body(fz):
        try:
            fz.run()
        except BaseException:  # noqa: BLE001 - a fuzzer bug must not pass silently
            errors.append(traceback.format_exc())

    def watchdog():
        while not done.wait(1.0):
            # A call that holds the interpreter lock keeps this thread from running at all: then the
            # timer, re-armed at every look, dumps every thread's stack and ends the process.
            faulthandler.dump_traceback_later(2 * args.hang + 10, exit=True, file=sys.__stderr__)
            now = time.monotonic()
            for fz in fuzzers:
                cur = fz.current
                if cur is not None and now - cur[0] > args.hang:
                    _, label, cargs, ckwargs, call_id = cur
                    try:
                        text = ", ".join(describe(a) for a in cargs) + (
                            "\n  kwargs: " + ", ".join(f"{k}={describe(v)}" for k, v in ckwargs.items())
                            if ckwargs else "")
                    except Exception as e:  # noqa: BLE001 - the hang is reported whatever its arguments are
                        text = f"(not described: {e!r})"
                    print(f"\nFINDING (hang) {label}: still running after {args.hang:.0f} s\n  {call_id}\n  args: "
                          + text, flush=True)
                    faulthandler.dump_traceback(all_threads=True)
                    print("fuzz_engine: FAILED (a call hung)", flush=True)
                    os._exit(1)

    start = time.perf_counter()
    # Not daemon threads: every thread is joined before the interpreter exits.
    threads = [threading.Thread(target=body, args=(fz,)) for fz in fuzzers]
    dog = threading.Thread(target=watchdog, daemon=True)
    dog.start()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    done.set()
    dog.join()
    faulthandler.cancel_dump_traceback_later()
    total = sum(fz.calls for fz in fuzzers)
    print(f"fuzz_engine: {total} calls in {args.threads} threads, seed {args.seed}, "
          f"{time.perf_counter() - start:.1f} s")
    outcomes = sum((fz.outcomes for fz in fuzzers), collections.Counter())
    print("outcomes: " + ", ".join(f"{k} {v}" for k, v in outcomes.most_common()))
    cases = sum((fz.cases for fz in fuzzers), collections.Counter())
    print("differential cases: " + ", ".join(f"{k} {v}" for k, v in sorted(cases.items())))
    for text in errors:
        print("fuzzer error:\n" + text)
    for key, (count, text) in sorted(findings.items()):
        print(f"\nFINDING ({count}x) {text}")
    if errors or findings or total < args.calls:
        print(f"fuzz_engine: FAILED ({len(findings)} distinct findings)")
        return 1
    print("fuzz_engine: no findings")
    return 0


if __name__ == "__main__":
    sys.exit(main())
