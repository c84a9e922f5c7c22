"""Type stubs of the native engine's second module `vexel_ckf._engine`."""

from typing import Any, Callable, Dict, List, Optional, Tuple

import numpy as np
from numpy.typing import NDArray

_F64 = NDArray[np.float64]

__all__: List[str]

def field_tables() -> Dict[str, Tuple[Tuple[str, str, Tuple[str, ...], bool], ...]]: ...
def cubature_smooth(
    xs: _F64,
    ps: _F64,
    fx: Callable[..., _F64],
    qs: _F64,
    dts: _F64,
    fx_args: Optional[Tuple[Any, ...]] = None,
    square_root: bool = False,
    angle_states: Optional[Tuple[int, ...]] = None,
) -> Tuple[_F64, _F64, _F64, Optional[_F64]]: ...
