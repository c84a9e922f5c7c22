"""Built-in tracking models, evaluated natively by the engine.

Each function returns a `CompiledModel`: a motion model (``fx``) or a
measurement model (``hx``) written in C++ that `VexelCKF`, `CKFBank` and
`cubature_smoother` evaluate without calling back into Python. A model is
also callable from Python with the callback contract, ``model(X, dt)`` for a
motion model and ``model(X)`` for a measurement model, on an array of points
of shape ``(k, dim_in)``, which is handy for testing and plotting. Models
pickle by value and mix freely with Python callbacks and with each other.

Motion models: `coordinated_turn`, `ctrv`, `linear`. Measurement models:
`range_bearing`, `range_bearing_elevation`, `linear_measurement`.
"""

from __future__ import annotations

import operator
from typing import Any, Callable, Dict, Sequence, Tuple

import numpy as np
from numpy.typing import ArrayLike

from . import _engine
from ._common import as_floats

__all__ = [
    "coordinated_turn",
    "ctrv",
    "linear",
    "linear_measurement",
    "range_bearing",
    "range_bearing_elevation",
]

# Position indices travel to the engine as doubles; above 2**53 they would
# no longer be exact.
_LARGEST_INDEX = 2**53 - 1


def _point(name: str, value: ArrayLike, size: int, axes: str) -> Tuple[float, ...]:
    """A finite point of `size` coordinates as a tuple of floats."""
    a = as_floats(name, value)
    if a.shape != (size,):
        raise ValueError(f"{name} must hold {size} coordinates ({axes}), got shape {a.shape}")
    if not np.all(np.isfinite(a)):
        raise ValueError(f"{name} must be finite, got {tuple(a.tolist())}")
    return tuple(float(v) for v in a.tolist())


def _indices(name: str, value: Any, size: int) -> Tuple[int, ...]:
    """`size` distinct non-negative integer indices into the state."""
    wanted = f"a sequence of {size} distinct non-negative integer indices into the state"
    if isinstance(value, (str, bytes)) or (isinstance(value, np.ndarray) and value.ndim != 1):
        raise TypeError(f"{name} must be {wanted}, got {value!r}")
    try:
        items = list(value)
    except TypeError:
        raise TypeError(f"{name} must be {wanted}, got {type(value).__name__}") from None
    if len(items) != size:
        raise ValueError(f"{name} must be {wanted}, got {len(items)} indices")
    out = []
    for v in items:
        # A bool is an int to Python, but True as an index is a mistake.
        if isinstance(v, (bool, np.bool_)):
            raise TypeError(f"{name} must hold integer indices, got {v!r}")
        try:
            i = operator.index(v)
        except TypeError:
            raise TypeError(f"{name} must hold integer indices, got {v!r}") from None
        if i < 0:
            raise ValueError(f"{name} holds {i}: state indices are counted from 0 and cannot be negative")
        if i > _LARGEST_INDEX:
            raise ValueError(f"{name} holds {i}, too large for a state index")
        if i in out:
            raise ValueError(f"{name} holds {i} twice")
        out.append(i)
    return tuple(out)


def _matrix(name: str, value: ArrayLike, square: bool) -> np.ndarray:
    """A finite, non-empty 2-D float64 matrix (square when asked)."""
    m = as_floats(name, value)
    if m.ndim != 2:
        raise ValueError(f"{name} must be a 2-D matrix, got an array of shape {m.shape}")
    if m.size == 0:
        raise ValueError(f"{name} must not be empty, got shape {m.shape}")
    if square and m.shape[0] != m.shape[1]:
        raise ValueError(f"{name} must be square (it maps the state to the state), got shape {m.shape}")
    if not np.all(np.isfinite(m)):
        raise ValueError(f"{name} must be finite")
    return m


def coordinated_turn() -> _engine.CompiledModel:
    r"""Coordinated turn at a constant turn rate (motion model).

    The state is ``[px, py, vx, vy, omega]``: position, velocity and the turn
    rate omega in rad/s (counter-clockwise positive). The velocity keeps its
    speed and turns at the rate omega; the prediction over dt is the exact
    solution of that motion, with ``a = omega * dt``::

        px' = px + vx sin(a) / omega - vy (1 - cos a) / omega
        py' = py + vx (1 - cos a) / omega + vy sin(a) / omega
        vx' = vx cos(a) - vy sin(a)
        vy' = vx sin(a) + vy cos(a)
        omega' = omega

    For a small ``|a|`` the engine uses a series instead of dividing by a
    small omega, so the model is continuous as omega goes to 0 and, at
    omega = 0, moves on a straight line at constant velocity.

    Returns
    -------
    CompiledModel
        The motion model (``kind "fx"``, 5 states in and out), callable as
        ``model(X, dt)``.
    """
    return _engine.CompiledModel(
        "fx", "coordinated_turn", (), dim_in=5, dim_out=5, angles=(),
        text="models.coordinated_turn()", reduce=(_rebuild, ("coordinated_turn", ())))


def ctrv() -> _engine.CompiledModel:
    r"""Constant turn rate and velocity, CTRV (motion model).

    The state is ``[px, py, heading, speed, yaw_rate]``: position, the
    heading angle in radians (from the x axis towards the y axis), the speed
    and the yaw rate in rad/s. With ``a = yaw_rate * dt`` the prediction over
    dt is the exact solution of that motion::

        px' = px + speed / yaw_rate (sin(heading + a) - sin(heading))
        py' = py + speed / yaw_rate (cos(heading) - cos(heading + a))
        heading' = heading + a
        speed' = speed
        yaw_rate' = yaw_rate

    For a small ``|a|`` the engine uses a series instead of dividing by a
    small yaw rate; at yaw_rate = 0 the target moves on a straight line,
    ``px' = px + speed dt cos(heading)``, ``py' = py + speed dt sin(heading)``.
    The heading is marked as an angle (state 2), so the filter keeps it
    wrapped; the model itself returns it unwrapped.

    Returns
    -------
    CompiledModel
        The motion model (``kind "fx"``, 5 states in and out, ``angles
        (2,)``), callable as ``model(X, dt)``.
    """
    return _engine.CompiledModel(
        "fx", "ctrv", (), dim_in=5, dim_out=5, angles=(2,),
        text="models.ctrv()", reduce=(_rebuild, ("ctrv", ())))


def range_bearing(sensor: ArrayLike = (0.0, 0.0), position: Sequence[int] = (0, 1)) -> _engine.CompiledModel:
    r"""Range and bearing from a sensor in the plane (measurement model).

    With ``dx = x[position[0]] - sensor[0]`` and
    ``dy = x[position[1]] - sensor[1]``::

        z = [hypot(dx, dy), atan2(dy, dx)]

    the range and the bearing in radians from the x axis towards the y axis,
    in (-pi, pi]. The bearing is marked as an angle (measurement 1), so the
    filter takes its innovation on the circle. Any state with the target's
    position among its entries will do (coordinated turn, CTRV, constant
    velocity ...).

    Parameters
    ----------
    sensor : array_like of 2 floats, default (0.0, 0.0)
        The sensor's position (x, y), finite.
    position : sequence of 2 ints, default (0, 1)
        The indices of the target's x and y in the state: distinct,
        non-negative.

    Returns
    -------
    CompiledModel
        The measurement model (``kind "hx"``, 2 measurements, ``angles
        (1,)``), callable as ``model(X)``.

    Raises
    ------
    ValueError
        If sensor does not hold 2 finite numbers, or position does not hold
        2 distinct non-negative indices.
    TypeError
        If sensor is not numeric, or position holds something other than
        integers.
    """
    s = _point("sensor", sensor, 2, "x, y")
    p = _indices("position", position, 2)
    return _engine.CompiledModel(
        "hx", "range_bearing", s + tuple(float(i) for i in p), dim_out=2, angles=(1,),
        text=f"models.range_bearing(sensor={s!r}, position={p!r})",
        reduce=(_rebuild, ("range_bearing", (s, p))))


def range_bearing_elevation(
    sensor: ArrayLike = (0.0, 0.0, 0.0), position: Sequence[int] = (0, 1, 2)
) -> _engine.CompiledModel:
    r"""Range, azimuth and elevation from a sensor in space (measurement model).

    With ``d = x[position] - sensor`` (three components dx, dy, dz)::

        z = [sqrt(dx**2 + dy**2 + dz**2),
             atan2(dy, dx),
             atan2(dz, hypot(dx, dy))]

    the range, the azimuth in (-pi, pi] (from the x axis towards the y axis)
    and the elevation in [-pi/2, pi/2] (positive above the x-y plane). Only
    the azimuth is marked as an angle (measurement 1): the elevation never
    wraps.

    Parameters
    ----------
    sensor : array_like of 3 floats, default (0.0, 0.0, 0.0)
        The sensor's position (x, y, z), finite.
    position : sequence of 3 ints, default (0, 1, 2)
        The indices of the target's x, y and z in the state: distinct,
        non-negative.

    Returns
    -------
    CompiledModel
        The measurement model (``kind "hx"``, 3 measurements, ``angles
        (1,)``), callable as ``model(X)``.

    Raises
    ------
    ValueError
        If sensor does not hold 3 finite numbers, or position does not hold
        3 distinct non-negative indices.
    TypeError
        If sensor is not numeric, or position holds something other than
        integers.
    """
    s = _point("sensor", sensor, 3, "x, y, z")
    p = _indices("position", position, 3)
    return _engine.CompiledModel(
        "hx", "range_bearing_elevation", s + tuple(float(i) for i in p), dim_out=3, angles=(1,),
        text=f"models.range_bearing_elevation(sensor={s!r}, position={p!r})",
        reduce=(_rebuild, ("range_bearing_elevation", (s, p))))


def linear(F: ArrayLike) -> _engine.CompiledModel:
    r"""A linear motion model x' = F x.

    The points' images are ``X @ F.T``; dt is not used (F is fixed). With it a
    linear motion model combines with a nonlinear measurement model, or the
    other way round, without a Python callback.

    Parameters
    ----------
    F : array_like, shape (dim_x, dim_x)
        The transition matrix: square, finite, not empty.

    Returns
    -------
    CompiledModel
        The motion model (``kind "fx"``, dim_x states in and out), callable as
        ``model(X, dt)``.

    Raises
    ------
    ValueError
        If F is not a square 2-D matrix, is empty or holds a NaN or an
        infinity.
    TypeError
        If F is None or complex.
    """
    m = _matrix("F", F, square=True)
    rows = m.tolist()
    return _engine.CompiledModel(
        "fx", "linear", tuple(m.ravel().tolist()), dim_in=m.shape[1], dim_out=m.shape[0], angles=(),
        text=f"models.linear({rows!r})", reduce=(_rebuild, ("linear", (rows,))))


def linear_measurement(H: ArrayLike) -> _engine.CompiledModel:
    r"""A linear measurement model z = H x.

    The points' images are ``X @ H.T``.

    Parameters
    ----------
    H : array_like, shape (dim_z, dim_x)
        The measurement matrix: 2-D, finite, not empty.

    Returns
    -------
    CompiledModel
        The measurement model (``kind "hx"``, dim_x states in, dim_z
        measurements out), callable as ``model(X)``.

    Raises
    ------
    ValueError
        If H is not a 2-D matrix, is empty or holds a NaN or an infinity.
    TypeError
        If H is None or complex.
    """
    m = _matrix("H", H, square=False)
    rows = m.tolist()
    return _engine.CompiledModel(
        "hx", "linear_measurement", tuple(m.ravel().tolist()), dim_in=m.shape[1], dim_out=m.shape[0],
        angles=(), text=f"models.linear_measurement({rows!r})",
        reduce=(_rebuild, ("linear_measurement", (rows,))))


_BUILDERS: Dict[str, Callable[..., _engine.CompiledModel]] = {
    "coordinated_turn": coordinated_turn,
    "ctrv": ctrv,
    "range_bearing": range_bearing,
    "range_bearing_elevation": range_bearing_elevation,
    "linear": linear,
    "linear_measurement": linear_measurement,
}


def _rebuild(name: str, args: Tuple[Any, ...]) -> _engine.CompiledModel:
    """The model `name` built again from its arguments (what unpickling calls)."""
    return _BUILDERS[name](*args)
