"""vexel_ckf: cubature Kalman filters with a native C++ engine.

`VexelCKF` is the filter class most users want (covariance or square-root
form, fields as attributes, `run()` over a whole sequence); `CKFBank` steps
many of them together with one callback call per step; `batch_filter`,
`rts_smoother` and `filter_bank_step` work on whole arrays of linear models.
The native classes and functions are re-exported for direct use.
"""

from importlib import metadata as _metadata

from ._bank import STATUS_CODES, BankRunResult, CKFBank
from ._batch import BankStepResult, BatchResult, SmoothResult, batch_filter, filter_bank_step, rts_smoother
from ._filter import RunResult, VexelCKF
from ._native import (
    CubatureKalmanFilter,
    SquareRootCubatureKalmanFilter,
    batch_filter_linear,
    batch_parallel_step,
    rts_smooth,
)

try:
    __version__: str = _metadata.version("vexel_ckf")
except _metadata.PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "VexelCKF",
    "RunResult",
    "CKFBank",
    "BankRunResult",
    "STATUS_CODES",
    "batch_filter",
    "rts_smoother",
    "filter_bank_step",
    "BatchResult",
    "SmoothResult",
    "BankStepResult",
    "CubatureKalmanFilter",
    "SquareRootCubatureKalmanFilter",
    "batch_filter_linear",
    "batch_parallel_step",
    "rts_smooth",
]
