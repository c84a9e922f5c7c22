"""Type stubs of the second native module `vexel_ckf._engine`."""

from typing import Any, Callable, Dict, List, Optional, Tuple

import numpy as np
from numpy.typing import NDArray

__all__: List[str]

def field_tables() -> Dict[str, Tuple[Tuple[str, str, Tuple[str, ...], bool], ...]]: ...
def predict_angles(
    filter: Any, fx: Callable[..., Any], dt: Optional[float], fx_args: Optional[Tuple[Any, ...]],
    angle_states: Tuple[int, ...],
) -> None: ...
def update_angles(
    filter: Any, z: NDArray[np.float64], hx: Callable[..., Any], r: Optional[NDArray[np.float64]],
    hx_args: Optional[Tuple[Any, ...]], angle_states: Tuple[int, ...], angle_measurements: Tuple[int, ...],
) -> None: ...
