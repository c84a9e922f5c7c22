"""Track a turning target with models written row by row in Python and
compiled by numba (``pip install "vexel_ckf[jit]"``)::

    python examples/compiled_model_numba/run.py

The motion model is a coordinated turn, the measurement model the range and
bearing from a sensor whose position comes in as hx_args. The filter runs
them natively: no Python call per step.
"""

import math

import numpy as np

import vexel_ckf

SENSOR = (-2000.0, 500.0)  # where the sensor stands: the hx_args of every update


@vexel_ckf.compiled_fx(5)
def coordinated_turn(x, dt, out):
    """State [px, py, vx, vy, omega]: the velocity turns at omega rad/s for dt seconds."""
    w = x[4]
    s, c = math.sin(w * dt), math.cos(w * dt)
    if abs(w) < 1e-9:  # the straight-line limit of sin(w dt)/w and (1 - cos(w dt))/w
        a, b = dt, 0.0
    else:
        a, b = s / w, (1.0 - c) / w
    out[0] = x[0] + a * x[2] - b * x[3]
    out[1] = x[1] + b * x[2] + a * x[3]
    out[2] = c * x[2] - s * x[3]
    out[3] = s * x[2] + c * x[3]
    out[4] = w


@vexel_ckf.compiled_hx(5, 2, angle_measurements=[1])
def range_bearing(x, out, sensor):
    """[range, bearing] of the position seen from the sensor at (sensor[0], sensor[1])."""
    dx, dy = x[0] - sensor[0], x[1] - sensor[1]
    if dx == 0.0 and dy == 0.0:
        return 2  # a point on the sensor has no bearing: fail rather than invent one
    out[0] = math.hypot(dx, dy)
    out[1] = math.atan2(dy, dx)
    return 0


def simulate(steps, dt, rng):
    """A target turning at 0.02 rad/s and its noisy measurements.

    The compiled models are callable from Python too, on an array of points
    (one per row), which propagates and measures the truth here.
    """
    x = np.array([[1000.0, 2000.0, 15.0, -5.0, 0.02]])
    truth, zs = [], []
    for _ in range(steps):
        x = coordinated_turn(x, dt)
        truth.append(x[0])
        zs.append(range_bearing(x, *SENSOR)[0] + rng.normal(0.0, [5.0, 0.002]))
    return np.array(truth), np.array(zs)


def main():
    rng = np.random.default_rng(1)
    truth, zs = simulate(300, 1.0, rng)
    # angle_measurements comes from range_bearing: its bearing is an angle.
    kf = vexel_ckf.VexelCKF(5, 2, 1.0, fx=coordinated_turn, hx=range_bearing, hx_args=SENSOR)
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
