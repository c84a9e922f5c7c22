"""Type stubs of the second native module `vexel_ckf._engine`."""

from typing import Any, Callable, Dict, List, Optional, Tuple, Union, final

import numpy as np
from numpy.typing import NDArray

_F64 = NDArray[np.float64]

__all__: List[str]

def field_tables() -> Dict[str, Tuple[Tuple[str, str, Tuple[str, ...], bool], ...]]: ...
def simd_tile_width() -> int: ...
def bank_field_table() -> Tuple[Tuple[str, str, Tuple[str, ...], bool], ...]: ...

status_texts: Tuple[str, ...]

def panel_filter(
    x0: _F64, p0: _F64, zs: _F64, model: Tuple[_F64, ...], nan_means_missing: bool,
    first_sequence: Optional[int],
) -> Tuple[_F64, _F64, _F64]: ...
def panel_smoother(
    x0: _F64, p0: _F64, zs: _F64, model: Tuple[_F64, ...], nan_means_missing: bool, covariances: bool,
    first_sequence: Optional[int],
) -> Tuple[_F64, Optional[_F64], _F64]: ...
def em_statistics(
    x0: _F64, p0: _F64, zs: _F64, model: Tuple[_F64, ...], per_series: bool, first_sequence: Optional[int],
) -> Tuple[_F64, _F64, _F64, _F64]: ...
def panel_rts(xs: _F64, ps: _F64, fs: _F64, qs: _F64, first_sequence: Optional[int]) -> Tuple[_F64, _F64]: ...
def bank_step_gaps(
    xs: _F64, ps: _F64, zs: _F64, f: _F64, h: _F64, q: _F64, r: _F64
) -> Tuple[_F64, _F64, _F64, NDArray[np.int64]]: ...
def predict_angles(
    filter: Any, fx: Callable[..., Any], dt: Optional[float], fx_args: Optional[Tuple[Any, ...]],
    angle_states: Tuple[int, ...],
) -> None: ...
def update_angles(
    filter: Any, z: NDArray[np.float64], hx: Callable[..., Any], r: Optional[NDArray[np.float64]],
    hx_args: Optional[Tuple[Any, ...]], angle_states: Tuple[int, ...], angle_measurements: Tuple[int, ...],
) -> None: ...

@final
class CkfBank:
    """A bank of covariance-form cubature filters stepped together, one model
    callback call per step for the whole bank."""

    def __init__(self, count: int, dim_x: int, dim_z: int, dt: float) -> None: ...
    def get(self, name: str) -> Union[_F64, NDArray[np.int64], NDArray[np.uint64], int]: ...
    def set(self, name: str, value: _F64) -> None: ...
    def set_dt(self, dt: float) -> None: ...
    def set_angles(self, states: List[int], measurements: List[int]) -> None: ...
    def predict(
        self, fx: Callable[..., _F64], dt: Optional[float] = None, fx_args: Optional[Tuple[Any, ...]] = None
    ) -> None: ...
    def update(self, zs: _F64, hx: Callable[..., _F64], hx_args: Optional[Tuple[Any, ...]] = None) -> None: ...
    def keep(self, indices: List[int]) -> None: ...
    def add(self, new_xs: _F64, new_Ps: _F64, Q: Optional[_F64] = None, R: Optional[_F64] = None) -> None: ...
    def copy(self) -> "CkfBank": ...
def cubature_smooth(
    xs: _F64,
    ps: _F64,
    fx: Callable[..., _F64],
    qs: _F64,
    dts: _F64,
    fx_args: Optional[Tuple[Any, ...]] = None,
    square_root: bool = False,
    angle_states: Optional[Tuple[int, ...]] = None,
    steps_per_call: int = 1,
) -> Tuple[_F64, _F64, _F64, Optional[_F64]]: ...

def run_filter(
    filter: Any,
    models: Tuple[Any, Optional[Tuple[Any, ...]], Any, Optional[Tuple[Any, ...]]],
    zs: _F64,
    missing: Optional[NDArray[np.bool_]] = None,
    dts: Optional[_F64] = None,
    angles: Optional[Tuple[Tuple[int, ...], Tuple[int, ...]]] = None,
    progress: Optional[Callable[[int], Any]] = None,
    position: Optional[NDArray[np.int64]] = None,
    lag: Optional[int] = None,
) -> Tuple[_F64, ...]: ...

def fixed_lag_window(
    dim_x: int, lag: int, square_root: bool, angle_states: Optional[Tuple[int, ...]] = None,
) -> Any: ...
def fixed_lag_push(
    window: Any, x: _F64, p: _F64, q: _F64, fx: Callable[..., _F64], fx_args: Optional[Tuple[Any, ...]] = None,
    dt: Optional[float] = None,
) -> Optional[Tuple[_F64, _F64]]: ...
def fixed_lag_flush(window: Any) -> Tuple[_F64, _F64]: ...
def fixed_lag_info(window: Any) -> Tuple[int, int]: ...

def cubature_panel(
    x0: _F64,
    p0: _F64,
    zs: _F64,
    qs: _F64,
    rs: _F64,
    dts: _F64,
    models: Tuple[Any, Optional[Tuple[Any, ...]], Any, Optional[Tuple[Any, ...]]],
    angles: Optional[Tuple[Optional[Tuple[int, ...]], Optional[Tuple[int, ...]]]],
    nan_means_missing: bool,
    square_root: bool,
    smooth: bool,
    covariances: bool,
    first_sequence: Optional[int],
) -> Tuple[Any, ...]: ...

model_signature: str

@final
class CompiledModel:
    """A model function with the compiled calling convention, evaluated without Python."""

    def __new__(
        cls,
        kind: str,
        function: Any,
        user_data: Any = None,
        *,
        dim_in: Optional[int] = None,
        dim_out: Optional[int] = None,
        angles: Tuple[int, ...] = (),
        text: Optional[str] = None,
        reduce: Optional[Tuple[Any, ...]] = None,
        keep: Any = None,
    ) -> "CompiledModel": ...
    def __call__(self, X: Any, *args: Any) -> _F64: ...
    def __reduce__(self) -> Tuple[Any, ...]: ...
    @property
    def kind(self) -> str: ...
    @property
    def dim_in(self) -> Optional[int]: ...
    @property
    def dim_out(self) -> Optional[int]: ...
    @property
    def angles(self) -> Tuple[int, ...]: ...
    @property
    def keep(self) -> Any: ...

_Layout = Tuple[Tuple[Tuple[int, ...], ...], _F64, Tuple[int, ...]]

def imm_mix(filters: Tuple[Any, ...], layout: _Layout, mu: _F64) -> _F64: ...
def imm_combine(filters: Tuple[Any, ...], layout: _Layout, mu: _F64) -> Tuple[_F64, _F64]: ...
def imm_modes(layout: _Layout, prior: _F64, log_likelihoods: _F64) -> Tuple[_F64, float]: ...
def imm_bank_mix(
    layout: _Layout, mus: _F64, xs: Tuple[_F64, ...], Ps: Tuple[_F64, ...]
) -> Tuple[_F64, Tuple[_F64, ...], Tuple[_F64, ...]]: ...
def imm_bank_combine(layout: _Layout, mus: _F64, xs: Tuple[_F64, ...], Ps: Tuple[_F64, ...]) -> Tuple[_F64, _F64]: ...
def imm_bank_modes(
    layout: _Layout, mus: _F64, log_likelihoods: _F64, which: NDArray[np.bool_]
) -> Tuple[_F64, _F64]: ...
def imm_run(
    filters: Tuple[Any, ...],
    models: Tuple[Tuple[Any, Optional[Tuple[Any, ...]], Any, Optional[Tuple[Any, ...]]], ...],
    angles: Tuple[Tuple[Tuple[int, ...], Tuple[int, ...]], ...],
    layout: _Layout,
    state: Tuple[_F64, _F64, _F64, _F64],
    zs: _F64,
    missing: Optional[NDArray[np.bool_]],
    dts: Optional[_F64],
    position: NDArray[np.int64],
) -> Tuple[_F64, _F64, _F64, _F64, Tuple[_F64, ...], Tuple[_F64, ...]]: ...
