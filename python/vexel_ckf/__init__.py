"""vexel_ckf: cubature Kalman filters with a native C++ engine."""

from ._native import CubatureKalmanFilter

__all__ = ["CubatureKalmanFilter"]
