"""Peak memory of the nonlinear panel smoother without covariances, against its inputs plus outputs.

    PYTHONPATH=python python3 benchmarks/bench_panel_memory.py [--tracks 5000 --scans 1000]

Coordinated turn and range-bearing (built-in models), 10% missed scans, a
time step per track and scan. The process's peak resident memory is reset
just before the call (/proc/self/clear_refs, Linux) and read after it; the
figure is (peak above the resident memory before the call + the inputs
already resident) / (inputs + outputs), target at most 1.2.
"""

import argparse
import gc

import numpy as np

import vexel_ckf as vx
from vexel_ckf import models


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"{field} not in /proc/self/status")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--tracks", type=int, default=5000)
    ap.add_argument("--scans", type=int, default=1000)
    args = ap.parse_args()
    M, N = args.tracks, args.scans
    rng = np.random.default_rng(1)
    fx, hx = models.coordinated_turn(), models.range_bearing()
    x0s = np.column_stack([rng.uniform(500, 1000, M), rng.uniform(-500, 500, M), rng.normal(0, 10, (M, 2)),
                           rng.normal(0, 0.05, M)])
    P0, Q, R = np.diag([100.0, 100, 10, 10, 0.01]), np.diag([0.1, 0.1, 0.5, 0.5, 1e-4]), np.diag([25.0, 1e-4])
    zs = rng.normal(size=(M, N, 2))
    zs[..., 0] += 800
    zs[rng.random((M, N)) < 0.1] = np.nan
    dts = rng.uniform(0.5, 1.5, (M, N))
    kw = dict(nan_means_missing=True, covariances=False)
    vx.cubature_panel_smoother(x0s[:2], P0, zs[:2, :5], fx, hx, Q, R, dts=dts[:2, :5], **kw)  # warm the engine
    gc.collect()
    before = status_kib("VmRSS")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets the peak to the current resident size
    sm = vx.cubature_panel_smoother(x0s, P0, zs, fx, hx, Q, R, dts=dts, **kw)
    peak = status_kib("VmHWM")
    inputs = zs.nbytes + dts.nbytes + x0s.nbytes
    outputs = sm.xs.nbytes + sm.log_likelihood.nbytes + sm.status.nbytes
    ratio = (peak - before + inputs) / (inputs + outputs)
    print(f"M = {M} x N = {N}: inputs {inputs / 1e6:.0f} MB, outputs {outputs / 1e6:.0f} MB, "
          f"peak growth during the call {(peak - before) / 1e6:.0f} MB")
    print(f"(inputs + growth) / (inputs + outputs) = {ratio:.3f} (target <= 1.2): {'met' if ratio <= 1.2 else 'missed'}")


if __name__ == "__main__":
    main()
