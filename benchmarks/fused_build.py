"""Builds benchmarks/fused_ct_filter.cpp into a shared library in a temporary
directory and loads it through ctypes.

The flags are the package's Release flags (CMakeLists.txt: C++17, CMake's
Release -O3 -DNDEBUG, -ffp-contract=off -fno-fast-math, no -march), against
the same Eigen headers the package builds with (the cmeel-eigen wheel, or
EIGEN3_INCLUDE_DIR).  The library is cached by a hash of the source, the
flags and the compiler, so a second run does not compile again; nothing is
written into the repository.

    from fused_build import load_fused
    run = load_fused()          # a Python function: run(zs, x0, P0, Q, R, dt) -> (xs, Ps)
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


def build() -> str:
    """Path of the compiled library, compiling it when no cached copy exists."""
    cxx = compiler()
    include = eigen_include()
    version = subprocess.run([cxx, "--version"], capture_output=True, text=True).stdout
    with open(SOURCE, "rb") as f:
        key = hashlib.sha256(f.read() + " ".join([cxx, version, include, *FLAGS]).encode()).hexdigest()[:16]
    directory = os.path.join(tempfile.gettempdir(), f"vexel_fused_{key}")
    library = os.path.join(directory, "fused_ct_filter.so")
    if os.path.exists(library):
        return library
    os.makedirs(directory, exist_ok=True)
    partial = library + f".{os.getpid()}.tmp"
    cmd = [cxx, *FLAGS, "-isystem", include, SOURCE, "-o", partial]
    res = subprocess.run(cmd, capture_output=True, text=True)
    if res.returncode != 0:
        raise RuntimeError(f"compiling {SOURCE} failed:\n{' '.join(cmd)}\n{res.stderr}")
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


if __name__ == "__main__":
    print(build())
