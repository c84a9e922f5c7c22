"""The linear panel smoother against a JIT peer, core for core.

Local linear trend (state 2, measurement 1), M = 10,000 series of
N = 1,000 steps, no gaps (the peer cannot represent them):

- vexel_ckf.batch_smoother (means and covariances) with one pool thread,
  in a child process with VEXEL_CKF_NUM_THREADS=1, with the filter tiles the
  processor allows and, for reference, with VEXEL_CKF_BASELINE_SIMD=scalar;
- dynamax's `lgssm_smoother`, jitted and vmapped over the series, in a child
  process bound to one core with XLA's threading off; steady state (the
  first call compiles and is not counted).

JAX and dynamax are optional: they need not live in the environment this
script runs in.  The peer runs under ``--peer-python`` (default: this
interpreter, then $VEXEL_BENCH_JAX_PYTHON) and is skipped when neither
has them.

    PYTHONPATH=python:benchmarks python benchmarks/bench_dynamax.py [--peer-python PATH]
"""

import argparse
import json
import os
import subprocess
import sys

import numpy as np

COUNT, STEPS = 10_000, 1_000
F = np.array([[1.0, 1.0], [0.0, 1.0]])
H = np.array([[1.0, 0.0]])
Q = np.array([[0.05, 0.0], [0.0, 0.01]])
R = np.array([[1.0]])
X0 = np.zeros(2)
P0 = 10.0 * np.eye(2)


def trend_panel(count, steps, seed=0):
    rng = np.random.default_rng(seed)
    return rng.standard_normal((count, steps)).cumsum(axis=1)[:, :, None]


OURS = """
import json, sys, time
sys.path.insert(0, sys.argv[1])
from bench_dynamax import trend_panel, COUNT, STEPS, X0, P0, F, H, Q, R
from vexel_ckf import batch_smoother, _engine
zs = trend_panel(COUNT, STEPS)
best = float("inf")
for _ in range(5):
    t0 = time.perf_counter()
    res = batch_smoother(X0, P0, zs, F, H, Q, R)
    best = min(best, time.perf_counter() - t0)
print(json.dumps({"time": best, "tile": _engine.simd_tile_width(), "x_last": res.xs[:, -1, 0][:64].tolist(),
                  "x_first": res.xs[:, 0, 0][:64].tolist()}))
"""

PEER = """
import json, os, sys, time
os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
os.environ["XLA_FLAGS"] = "--xla_cpu_multi_thread_eigen=false intra_op_parallelism_threads=1"
sys.path.insert(0, sys.argv[1])
import jax
jax.config.update("jax_enable_x64", True)
import jax.numpy as jnp
from dynamax.linear_gaussian_ssm.inference import (ParamsLGSSM, ParamsLGSSMDynamics, ParamsLGSSMEmissions,
                                                   ParamsLGSSMInitial, lgssm_smoother)
from bench_dynamax import trend_panel, COUNT, STEPS, X0, P0, F, H, Q, R
zs = jnp.asarray(trend_panel(COUNT, STEPS))
# dynamax's initial distribution is the prior of step 0; ours is predicted once first.
params = ParamsLGSSM(
    initial=ParamsLGSSMInitial(mean=jnp.asarray(F @ X0), cov=jnp.asarray(F @ P0 @ F.T + Q)),
    dynamics=ParamsLGSSMDynamics(weights=jnp.asarray(F), bias=jnp.zeros(2), input_weights=jnp.zeros((2, 0)),
                                 cov=jnp.asarray(Q)),
    emissions=ParamsLGSSMEmissions(weights=jnp.asarray(H), bias=jnp.zeros(1), input_weights=jnp.zeros((1, 0)),
                                   cov=jnp.asarray(R)))
run = jax.jit(jax.vmap(lambda z: lgssm_smoother(params, z)))
post = run(zs)
jax.block_until_ready(post.smoothed_means)
best = float("inf")
for _ in range(3):
    t0 = time.perf_counter()
    post = run(zs)
    jax.block_until_ready((post.smoothed_means, post.smoothed_covariances))
    best = min(best, time.perf_counter() - t0)
means = post.smoothed_means
print(json.dumps({"time": best, "x_last": [float(v) for v in means[:64, -1, 0]],
                  "x_first": [float(v) for v in means[:64, 0, 0]]}))
"""


def child(python, script, env_extra=None):
    env = dict(os.environ, **(env_extra or {}))
    here = os.path.dirname(os.path.abspath(__file__))
    out = subprocess.run([python, "-c", script, here], env=env, capture_output=True, text=True, check=False)
    if out.returncode != 0:
        return None, out.stderr.strip().splitlines()[-1:] or ["failed"]
    return json.loads(out.stdout.strip().splitlines()[-1]), None


def has_dynamax(python):
    probe = subprocess.run([python, "-c", "import jax, dynamax"], capture_output=True, check=False)
    return probe.returncode == 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--peer-python", default=None,
                        help="interpreter with jax and dynamax (default: this one, then $VEXEL_BENCH_JAX_PYTHON)")
    args = parser.parse_args()
    peer = args.peer_python
    if peer is None:
        peer = next((p for p in (sys.executable, os.environ.get("VEXEL_BENCH_JAX_PYTHON")) if p and has_dynamax(p)),
                    None)
    print(f"linear panel smoother, local linear trend (2, 1), M={COUNT:,} x N={STEPS:,}, one core each:")
    ours, err = child(sys.executable, OURS, {"VEXEL_CKF_NUM_THREADS": "1"})
    if ours is None:
        raise SystemExit(f"vexel_ckf child failed: {err}")
    scalar, _ = child(sys.executable, OURS, {"VEXEL_CKF_NUM_THREADS": "1", "VEXEL_CKF_BASELINE_SIMD": "scalar"})
    print(f"  vexel batch_smoother, tiles of {ours['tile']}   {ours['time']:8.3f} s")
    if scalar is not None:
        print(f"  vexel batch_smoother, no tiles      {scalar['time']:8.3f} s   tiles {scalar['time'] / ours['time']:5.2f}x")
    if peer is None:
        print("  dynamax: jax/dynamax not installed (pass --peer-python), skipped")
        return
    theirs, err = child(peer, PEER)
    if theirs is None:
        print(f"  dynamax: failed ({err})")
        return
    dx = max(np.max(np.abs(np.subtract(ours[k], theirs[k]))) for k in ("x_first", "x_last"))
    print(f"  dynamax lgssm_smoother (jit, vmap) {theirs['time']:8.3f} s   ratio {theirs['time'] / ours['time']:5.2f}x "
          f"(target >= 2x; max |dx| {dx:.1e})")


if __name__ == "__main__":
    main()
