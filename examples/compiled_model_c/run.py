"""Track a turning target with the C models of ct_model.c.

Compiles ct_model.c with the system's C compiler (or $CC) into a temporary
directory, loads it with ctypes, wraps both functions in
scipy.LowLevelCallable (the measurement function with the sensor's position
as its user_data) and runs a VexelCKF with them::

    python examples/compiled_model_c/run.py
"""

import ctypes
import os
import shutil
import subprocess
import tempfile

import numpy as np
from scipy import LowLevelCallable

import vexel_ckf

HERE = os.path.dirname(os.path.abspath(__file__))
DOUBLES = ctypes.POINTER(ctypes.c_double)
# The model signature, for ctypes: restype and argtypes of both functions.
RESTYPE = ctypes.c_int
ARGTYPES = [DOUBLES, DOUBLES, ctypes.c_ssize_t, ctypes.c_ssize_t, ctypes.c_ssize_t, ctypes.c_double, DOUBLES,
            ctypes.c_ssize_t, ctypes.c_void_p]


class Sensor(ctypes.Structure):
    """struct sensor of ct_model.c."""

    _fields_ = [("x", ctypes.c_double), ("y", ctypes.c_double)]


def build(directory):
    """Compile ct_model.c into directory and load it."""
    cc = os.environ.get("CC") or shutil.which("cc")
    if cc is None:
        raise RuntimeError("no C compiler found: install one or set CC")
    library = os.path.join(directory, "ct_model.so")
    subprocess.run([cc, "-O2", "-shared", "-fPIC", "-o", library, os.path.join(HERE, "ct_model.c"), "-lm"],
                   check=True)
    return ctypes.CDLL(library)


def models(lib, sensor):
    """fx and hx of the library as LowLevelCallables; hx reads the sensor's position through user_data.

    The LowLevelCallable keeps the pointer to the sensor, and the pointer
    keeps the sensor alive.
    """
    for function in (lib.ct_fx, lib.range_bearing_hx):
        function.restype, function.argtypes = RESTYPE, ARGTYPES
    fx = LowLevelCallable(lib.ct_fx)
    hx = LowLevelCallable(lib.range_bearing_hx, ctypes.cast(ctypes.pointer(sensor), ctypes.c_void_p))
    return fx, hx


def simulate(steps, dt, sensor, rng):
    """A target turning at 0.02 rad/s and its noisy range-bearing measurements."""
    x = np.array([1000.0, 2000.0, 15.0, -5.0, 0.02])
    truth, zs = [], []
    for _ in range(steps):
        s, c = np.sin(x[4] * dt), np.cos(x[4] * dt)
        a, b = s / x[4], (1.0 - c) / x[4]
        x = np.array([x[0] + a * x[2] - b * x[3], x[1] + b * x[2] + a * x[3], c * x[2] - s * x[3],
                      s * x[2] + c * x[3], x[4]])
        dx, dy = x[0] - sensor.x, x[1] - sensor.y
        truth.append(x)
        zs.append([np.hypot(dx, dy) + rng.normal(0.0, 5.0), np.arctan2(dy, dx) + rng.normal(0.0, 0.002)])
    return np.array(truth), np.array(zs)


def main():
    rng = np.random.default_rng(1)
    sensor = Sensor(-2000.0, 500.0)
    with tempfile.TemporaryDirectory() as tmp:
        fx, hx = models(build(tmp), sensor)
    truth, zs = simulate(300, 1.0, sensor, rng)
    kf = vexel_ckf.VexelCKF(5, 2, 1.0, fx=fx, hx=hx, angle_measurements=[1])
    kf.x = [1000.0, 2000.0, 10.0, 0.0, 0.0]
    kf.P = np.diag([100.0, 100.0, 25.0, 25.0, 1e-3])
    kf.Q = np.diag([0.5, 0.5, 0.1, 0.1, 1e-6])
    kf.R = np.diag([25.0, 0.002**2])
    result = kf.run(zs)
    error = np.hypot(*(result.xs[-100:, :2] - truth[-100:, :2]).T)
    print(f"position error over the last 100 steps: mean {error.mean():.1f} m, max {error.max():.1f} m")
    print(f"turn rate: estimated {kf.x[4]:.5f} rad/s, true {truth[-1, 4]:.5f} rad/s")


if __name__ == "__main__":
    main()
