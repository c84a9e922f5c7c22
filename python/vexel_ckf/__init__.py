"""vexel_ckf: cubature Kalman filters with a native C++ engine.

`VexelCKF` is the filter class most users want (covariance or square-root
form, fields as attributes, `run()` over a whole sequence); `CKFBank` steps
many of them together with one callback call per step; `batch_filter`,
`rts_smoother`, `batch_smoother` and `filter_bank_step` work on whole arrays
of linear models, single sequences or panels of many (`vexel_ckf.dask`
spreads panels over a Dask cluster); `cubature_smoother` (and
`VexelCKF.smooth`) smooths a nonlinear filtered trace, and
`cubature_filter` and `cubature_panel_smoother` filter and smooth panels of
many nonlinear sequences in one call; `fit_em` learns a linear model (F, H,
Q, R, x0, P0) from a sequence or a panel with gaps by EM; `IMM` (and
`IMMBank`, one per target) runs an interacting multiple model estimator over
several `VexelCKF` models. Models may be Python
callbacks or compiled (`CompiledModel`: the built-in `vexel_ckf.models`,
row-wise Python functions compiled by numba with `compiled_fx` and
`compiled_hx`, or any C-level function with the `MODEL_SIGNATURE` calling
convention), which the engine runs without Python.
The native classes and functions are re-exported for direct use.
"""

from importlib import metadata as _metadata

from ._bank import STATUS_CODES, BankRunResult, CKFBank
from ._cubature_panel import (
    CubatureFilterResult,
    CubaturePanelSmootherResult,
    cubature_filter,
    cubature_panel_smoother,
)
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
from ._em import EMResult, fit_em
from ._filter import RunResult, VexelCKF
from ._fixed_lag import FixedLagEstimate, FixedLagRunResult, FixedLagSmoother
from ._imm import IMM, MODE_FLOOR, IMMBank, IMMBankRunResult, IMMRunResult
from ._jit import compiled_fx, compiled_hx
from ._mle import LogLikelihood, MLEResult, fit_mle, log_likelihood
from ._models import MODEL_SIGNATURE, CompiledModel
from ._smoother import CubatureSmoothResult, cubature_smoother
from . import models
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
    "IMM",
    "IMMBank",
    "IMMRunResult",
    "IMMBankRunResult",
    "MODE_FLOOR",
    "FixedLagSmoother",
    "FixedLagEstimate",
    "FixedLagRunResult",
    "CKFBank",
    "BankRunResult",
    "STATUS_CODES",
    "CompiledModel",
    "MODEL_SIGNATURE",
    "batch_filter",
    "rts_smoother",
    "cubature_smoother",
    "cubature_filter",
    "cubature_panel_smoother",
    "CubatureFilterResult",
    "CubaturePanelSmootherResult",
    "log_likelihood",
    "fit_mle",
    "LogLikelihood",
    "MLEResult",
    "batch_smoother",
    "filter_bank_step",
    "fit_em",
    "EMResult",
    "BatchResult",
    "SmoothResult",
    "SmootherResult",
    "CubatureSmoothResult",
    "BankStepResult",
    "CubatureKalmanFilter",
    "SquareRootCubatureKalmanFilter",
    "batch_filter_linear",
    "batch_parallel_step",
    "rts_smooth",
    "models",
    "compiled_fx",
    "compiled_hx",
]
