"""Cost of the calling frame: field access against the bare NumPy operation.

ratio = NumPy time / our time; the frame should cost no more than about 2x
the bare operation (ratio >= 0.5).
"""

import numpy as np

from runner import Bench
from vexel_ckf._native import CubatureKalmanFilter


def main():
    f = CubatureKalmanFilter(4, 2, 0.1)
    P = np.eye(4)
    M = np.eye(4) * 2.0
    dst = np.empty((4, 4))
    bench = Bench("frame and bridge (dim_x = 4)")
    bench.compare("f.get('P')  vs  P.copy()", lambda: f.get("P"), lambda: P.copy(), target=">= 0.5x")
    bench.compare("f.set('P', M)  vs  np.copyto(dst, M)", lambda: f.set("P", M), lambda: np.copyto(dst, M),
                  target=">= 0.5x")
    bench.compare("f.get('nis')  vs  float(x)", lambda: f.get("nis"), lambda: float(P[0, 0]))
    bench.report()


if __name__ == "__main__":
    main()
