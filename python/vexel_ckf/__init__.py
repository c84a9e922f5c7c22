"""vexel_ckf: cubature Kalman filters with a native C++ engine.

`VexelCKF` is the filter class most users want (covariance or square-root
form, fields as attributes, `run()` over a whole sequence); `batch_filter`,
`rts_smoother`, `batch_smoother` and `filter_bank_step` work on whole arrays
of linear models, single sequences or panels of many (`vexel_ckf.dask`
spreads panels over a Dask cluster).
The native classes and functions are re-exported for direct use.
"""

from ._batch import (
    BankStepResult,
    BatchResult,
    SmootherResult,
    SmoothResult,
    batch_filter,
    batch_smoother,
    filter_bank_step,
    rts_smoother,
)
from ._filter import RunResult, VexelCKF
from ._native import (
    CubatureKalmanFilter,
    SquareRootCubatureKalmanFilter,
    batch_filter_linear,
    batch_parallel_step,
    rts_smooth,
)

__all__ = [
    "VexelCKF",
    "RunResult",
    "batch_filter",
    "rts_smoother",
    "batch_smoother",
    "filter_bank_step",
    "BatchResult",
    "SmoothResult",
    "SmootherResult",
    "BankStepResult",
    "CubatureKalmanFilter",
    "SquareRootCubatureKalmanFilter",
    "batch_filter_linear",
    "batch_parallel_step",
    "rts_smooth",
]
