"""Builds the hand-fused baselines (benchmarks/fused_ct_filter.cpp, the filter
of one sequence; benchmarks/fused_ct_smoother.cpp, filter and smoother of a
panel) into shared libraries in a temporary directory and loads them
through ctypes.

The flags are the package's Release flags (CMakeLists.txt: C++17, CMake's
Release -O3 -DNDEBUG, -ffp-contract=off -fno-fast-math, no -march), against
the same Eigen headers the package builds with (the cmeel-eigen wheel, or
EIGEN3_INCLUDE_DIR).  The library is cached by a hash of the source, the
flags and the compiler, so a second run does not compile again; nothing is
written into the repository.

    from fused_build import load_fused, load_fused_panel
    run = load_fused()          # a Python function: run(zs, x0, P0, Q, R, dt) -> (xs, Ps)
    smooth = load_fused_panel() # smooth(zs, dts, x0s, P0, Q, R, covariances) -> (xs, Ps, loglik, status)
"""

from __future__ import annotations

import ctypes
import hashlib
import importlib.metadata
import os
import shutil
import subprocess
import tempfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "fused_ct_filter.cpp")
PANEL_SOURCE = os.path.join(HERE, "fused_ct_smoother.cpp")
FLAGS = ["-std=c++17", "-O3", "-DNDEBUG", "-ffp-contract=off", "-fno-fast-math", "-DEIGEN_MPL2_ONLY",
         "-fPIC", "-shared"]


def eigen_include() -> str:
    explicit = os.environ.get("EIGEN3_INCLUDE_DIR")
    if explicit:
        return explicit
    try:
        path = str(importlib.metadata.distribution("cmeel-eigen").locate_file("cmeel.prefix/include/eigen3"))
    except importlib.metadata.PackageNotFoundError:
        raise RuntimeError("Eigen headers not found: pip install cmeel-eigen, or set EIGEN3_INCLUDE_DIR") from None
    if not os.path.exists(os.path.join(path, "Eigen", "Dense")):
        raise RuntimeError(f"Eigen headers not found under {path}")
    return path


def compiler() -> str:
    cxx = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if not cxx:
        raise RuntimeError("no C++ compiler found (set CXX)")
    return cxx


def build(source: str = SOURCE) -> str:
    """Path of the library compiled from `source`, compiling it when no cached copy exists."""
    cxx = compiler()
    include = eigen_include()
    version = subprocess.run([cxx, "--version"], capture_output=True, text=True).stdout
    with open(source, "rb") as f:
        key = hashlib.sha256(f.read() + " ".join([cxx, version, include, *FLAGS]).encode()).hexdigest()[:16]
    directory = os.path.join(tempfile.gettempdir(), f"vexel_fused_{key}")
    library = os.path.join(directory, os.path.splitext(os.path.basename(source))[0] + ".so")
    if os.path.exists(library):
        return library
    os.makedirs(directory, exist_ok=True)
    partial = library + f".{os.getpid()}.tmp"
    cmd = [cxx, *FLAGS, "-isystem", include, source, "-o", partial]
    res = subprocess.run(cmd, capture_output=True, text=True)
    if res.returncode != 0:
        raise RuntimeError(f"compiling {source} failed:\n{' '.join(cmd)}\n{res.stderr}")
    os.replace(partial, library)  # atomic: a concurrent run sees the whole library or none
    return library


def load_fused():
    """The fused filter as run(zs, x0, P0, Q, R, dt) -> (xs, Ps); also carries .raw(...) taking
    preallocated outputs (for timing without allocation) and .library (the path)."""
    library = build()
    lib = ctypes.CDLL(library)
    fn = lib.fused_ct_run
    dp = ctypes.POINTER(ctypes.c_double)
    fn.argtypes = [dp, ctypes.c_int64, dp, dp, dp, dp, ctypes.c_double, dp, dp]
    fn.restype = ctypes.c_int

    def ptr(a):
        return a.ctypes.data_as(dp)

    def arrays(zs, x0, P0, Q, R):
        return [np.ascontiguousarray(a, dtype=np.float64) for a in (zs, x0, P0, Q, R)]

    def raw(zs, x0, P0, Q, R, dt, xs, Ps):
        code = fn(ptr(zs), zs.shape[0], ptr(x0), ptr(P0), ptr(Q), ptr(R), dt, ptr(xs), ptr(Ps))
        if code:
            raise RuntimeError(f"fused filter: no Cholesky factor at step {code - 1}")

    def run(zs, x0, P0, Q, R, dt):
        zs, x0, P0, Q, R = arrays(zs, x0, P0, Q, R)
        if zs.ndim != 2 or zs.shape[1] != 2 or x0.shape != (5,) or P0.shape != (5, 5) or Q.shape != (5, 5) \
                or R.shape != (2, 2):
            raise ValueError("fused filter takes zs (N, 2), x0 (5,), P0 and Q (5, 5), R (2, 2)")
        xs = np.empty((zs.shape[0], 5))
        Ps = np.empty((zs.shape[0], 5, 5))
        raw(zs, x0, P0, Q, R, float(dt), xs, Ps)
        return xs, Ps

    run.raw = raw
    run.arrays = arrays
    run.library = library
    return run


def load_fused_panel():
    """The fused panel filter + smoother as smooth(zs, dts, x0s, P0, Q, R, covariances=False) ->
    (xs, Ps or None, log_likelihood, status): zs (M, N, 2), dts (M, N), x0s (M, 5), P0 (5, 5),
    Q (5, 5) or one per sequence (M, 5, 5), R (2, 2).  covariances: False (the smoothed
    covariances are not formed), True (formed and returned) or "formed" (formed, not stored:
    the work of the covariance recursion without its output's memory).  Also carries .raw(...) taking prepared
    arrays and preallocated outputs (for timing without allocation), .prepare(...) making them,
    and .library (the path)."""
    library = build(PANEL_SOURCE)
    lib = ctypes.CDLL(library)
    fn = lib.fused_ct_panel_smooth
    dp = ctypes.POINTER(ctypes.c_double)
    i64 = ctypes.c_int64
    fn.argtypes = [dp, dp, dp, dp, dp, i64, dp, i64, i64, ctypes.c_int, dp, dp, dp, ctypes.POINTER(i64), dp]
    fn.restype = i64

    def ptr(a, kind=dp):
        return None if a is None else a.ctypes.data_as(kind)

    def prepare(zs, dts, x0s, P0, Q, R, covariances=False):
        """Inputs as contiguous float64 arrays and fresh outputs: (inputs, outputs)."""
        zs, dts, x0s, P0, Q, R = (np.ascontiguousarray(a, dtype=np.float64) for a in (zs, dts, x0s, P0, Q, R))
        M, N = zs.shape[:2]
        dts = np.ascontiguousarray(np.broadcast_to(dts, (M, N)))
        x0s = np.ascontiguousarray(np.broadcast_to(x0s, (M, 5)))
        Q = Q.reshape(-1, 5, 5)
        if zs.shape != (M, N, 2) or P0.shape != (5, 5) or Q.shape[0] not in (1, M) or R.shape != (2, 2):
            raise ValueError("fused smoother takes zs (M, N, 2), dts (M, N), x0s (M, 5), P0 (5, 5), "
                             "Q (5, 5) or (M, 5, 5), R (2, 2)")
        outputs = (np.empty((M, N, 5)), np.empty((M, N, 5, 5)) if covariances is True else None, np.empty(M),
                   np.empty(M, dtype=np.int64), np.empty((N, 5, 5)))
        return (zs, dts, x0s, P0, Q, R, bool(covariances)), outputs

    def raw(inputs, outputs):
        zs, dts, x0s, P0, Q, R, covariances = inputs
        xs, Ps, loglik, status, work = outputs
        M, N = zs.shape[:2]
        fn(ptr(zs), ptr(dts), ptr(x0s), ptr(P0), ptr(Q), 0 if Q.shape[0] == 1 else 25, ptr(R), M, N,
           int(covariances), ptr(xs), ptr(Ps), ptr(loglik), ptr(status, ctypes.POINTER(i64)), ptr(work))

    def smooth(zs, dts, x0s, P0, Q, R, covariances=False):
        inputs, outputs = prepare(zs, dts, x0s, P0, Q, R, covariances)
        raw(inputs, outputs)
        return outputs[:4]

    smooth.raw = raw
    smooth.prepare = prepare
    smooth.library = library
    return smooth


if __name__ == "__main__":
    print(build())
    print(build(PANEL_SOURCE))
