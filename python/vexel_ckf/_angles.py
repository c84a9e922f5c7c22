"""Angles on the circle: wrapping to (-pi, pi] and unwrapping around a centre."""

import numpy as np

TWO_PI = 2.0 * np.pi


def wrap(a):
    """Map angles to (-pi, pi]."""
    w = np.remainder(np.asarray(a, dtype=np.float64) + np.pi, TWO_PI) - np.pi
    return np.where(w == -np.pi, np.pi, w)


def unwrap_around(values, centre):
    """Shift values by whole turns so that each lies within pi of centre (broadcasting)."""
    return centre + wrap(np.asarray(values, dtype=np.float64) - centre)


def circular_mean(a, axis=0):
    """The mean direction of the angles along axis."""
    return np.arctan2(np.sin(a).mean(axis=axis), np.cos(a).mean(axis=axis))
