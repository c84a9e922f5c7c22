"""Per-call cost of a small batch_parallel_step over worker-pool sizes, run by hand.

    PYTHONPATH=python python3 benchmarks/bench_pool.py

A one-filter step at (dim_x, dim_z) = (4, 2), and a 64-filter step, timed in
a fresh subprocess per pool size (VEXEL_CKF_NUM_THREADS = 1, 2 and 64; the
pool is built before timing).  A call too small to split runs on the calling
thread, and a split call wakes only as many workers as it has chunks, so the
one-filter figure should stay within 2x across the pool sizes.  Each pool
size is reported against the 1-worker figure of the same run (ratio =
1-worker time / this time; target >= 0.5x).  Best of several repetitions.
"""

import json
import os
import subprocess
import sys

from runner import Bench

CHILD = """
import json, numpy as np
from runner import best_time
from vexel_ckf import _native
rng = np.random.default_rng(0)
out = {}
for count in (1, 64):
    xs, zs = rng.standard_normal((count, 4)), rng.standard_normal((count, 2))
    ps = np.tile(np.eye(4), (count, 1, 1))
    args = (xs, ps, zs, np.eye(4), rng.standard_normal((2, 4)), 0.01 * np.eye(4), np.eye(2))
    _native.batch_parallel_step(*args)  # builds the pool
    out[count] = best_time(lambda: _native.batch_parallel_step(*args), repeat=15)
print(json.dumps(out))
"""


def per_call(threads):
    here = os.path.dirname(os.path.abspath(__file__))
    env = {**os.environ, "VEXEL_CKF_NUM_THREADS": str(threads)}
    env["PYTHONPATH"] = os.pathsep.join([here, env.get("PYTHONPATH", "")])
    res = subprocess.run([sys.executable, "-c", CHILD], env=env, check=True, capture_output=True, text=True)
    return {int(k): v for k, v in json.loads(res.stdout).items()}


def main():
    sizes = (1, 2, 64)
    # Best of three fresh processes per pool size: the machine is shared.
    times = {t: {} for t in sizes}
    for _ in range(3):
        for t in sizes:
            for count, value in per_call(t).items():
                times[t][count] = min(value, times[t].get(count, float("inf")))
    bench = Bench("batch_parallel_step per call over pool sizes (baseline: 1 worker)")
    for count in (1, 64):
        for t in sizes:
            bench.add(f"{count} filter(s), {t} worker(s)", times[t][count], times[1][count],
                      target=">= 0.5x" if count == 1 else None)
    bench.report()


if __name__ == "__main__":
    main()
