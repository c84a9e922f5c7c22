"""CKFBank steps its filters in SIMD tiles (4 lanes on AVX2, 2 on the baseline, none with
VEXEL_CKF_BASELINE_SIMD=scalar); every filter's numbers must not depend on that, on the
number of workers, on M, or on what its tile-mates go through.

Each setting runs in its own subprocess (the tile width is decided once per process) and
computes every case; the settings' digests of all fields after every half step must agree
byte for byte.
"""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import vexel_ckf as vx

# A model whose call fails for a filter whose points leave a bounded region: a user's
# model refusing input, for one filter of a tile.
C_SOURCE = r"""
#include <stdint.h>
#include <math.h>
int damped_fx(const double *x, double *y, intptr_t rows, intptr_t n, intptr_t n_out, double dt,
              const double *params, intptr_t n_params, void *user_data) {
    (void)params; (void)n_params; (void)user_data;
    if (n != n_out) return 1;
    for (intptr_t r = 0; r < rows; ++r) {
        if (fabs(x[r * n]) > 1e6) return 7;
        for (intptr_t i = 0; i < n; ++i)
            y[r * n + i] = 0.97 * x[r * n + i] + dt * 0.05 * x[r * n + (i + 1) % n];
    }
    return 0;
}
"""

CHILD = r"""
import ctypes, hashlib, json, sys
import numpy as np
import vexel_ckf as vx
from vexel_ckf import models, _engine
from vexel_ckf.demo import coordinated_turn, radar

lib = ctypes.CDLL(sys.argv[1])
damped = lib.damped_fx
damped.restype = ctypes.c_int
damped.argtypes = [ctypes.POINTER(ctypes.c_double)] * 2 + [ctypes.c_ssize_t] * 3 + [
    ctypes.c_double, ctypes.POINTER(ctypes.c_double), ctypes.c_ssize_t, ctypes.c_void_p]

seen = set()
jitters = 0
# The filter whose images a Python model blows up to overflow (finite images, non-finite
# moments), at one prediction and one update.
overflow = {"fx": None, "hx": None}


def overflowing(model, which):
    def call(X, *args):
        Y = np.array(model(X, *args), dtype=float)
        i = overflow[which]
        if i is not None:
            rows = 2 * X.shape[1]
            Y[rows * i:rows * (i + 1)] *= 1e200
        return Y
    return call


def digest(bank, h):
    # Every field of the bank, the pending status a failed prediction leaves included.
    for name, value in bank.to_dict().items():
        if isinstance(value, np.ndarray):
            h.update(name.encode() + np.ascontiguousarray(value).tobytes())


def run(bank, x0, P0, measure, rng, faulty_fx=None, steps=7):
    # Faults land on filters spread over the lanes of different tiles; each is undone
    # later, so the filter recovers while its neighbours go on.
    global jitters
    M, n, m = bank.xs.shape[0], bank.xs.shape[1], len(bank.R)
    bank.xs, bank.Ps = x0, P0
    h = hashlib.sha256()
    a, b, c, d, e = M // 2, M - 1, 0, (2 * M) // 3, M // 3
    for k in range(steps):
        Ps = bank.Ps.copy()
        if k == 1:
            Ps[a] = np.eye(n)
            Ps[a, 0, 0] = -1e-13         # factors after the first jitter retry
            Ps[b] = -np.eye(n)           # never factors
            bank.Ps = Ps
        if k == 2:
            R = np.broadcast_to(bank.R, (M, m, m)).copy()
            R[d] = -1e6 * np.eye(m)      # indefinite S: the fallback inverse
            bank.R = R
        if k == 3:
            xs = bank.xs.copy()
            xs[e, 0] = 3e6               # the C model refuses this filter
            bank.xs = xs
        if k == 4:
            bank.R = bank.R[(d + 1) % M] if M > 1 else np.eye(m)
            Ps[b] = np.eye(n)
            bank.Ps = Ps
        overflow["fx"] = e if k == 5 else None
        overflow["hx"] = a if k == 6 else None
        bank.predict()
        digest(bank, h)
        zs = measure(bank.xs, rng)
        if k in (1, 3):
            zs[c, 0] = np.nan            # a NaN in a row
        if k in (2, 5):
            zs[d if k == 5 else (a + 1) % M] = np.nan  # a missed row
        bank.update(zs)
        digest(bank, h)
        seen.update(int(s) for s in bank.status)
        jitters += int(bank.jitter_counts.sum())
    return h.hexdigest()


out = {}
counts = (1, 2, 3, 4, 5, 7, 8, 13, 37)

# Coordinated turn with a radar, built in (compiled; the bearing an angle) and as NumPy
# callbacks; CTRV, whose heading is an angle state, with the radar.
for M in counts:
    for kind in ("builtin", "python", "ctrv"):
        rng = np.random.default_rng(M)
        if kind == "python":
            bank = vx.CKFBank(M, 5, 2, 1.0, overflowing(coordinated_turn, "fx"), overflowing(radar, "hx"),
                              angle_states=[4])
        else:
            fx = models.ctrv() if kind == "ctrv" else models.coordinated_turn()
            bank = vx.CKFBank(M, 5, 2, 1.0, fx, models.range_bearing())
        bank.Q = np.diag([1.0, 1.0, 1.0, 1.0, 1e-5])
        bank.R = np.diag([25.0, 1e-4])
        x0 = np.column_stack((rng.uniform(1e3, 5e3, (M, 2)), rng.normal(0, 10, (M, 2)), rng.normal(0, 0.02, M)))
        P0 = np.broadcast_to(np.diag([100.0, 100.0, 10.0, 10.0, 1e-4]), (M, 5, 5)).copy()
        measure = lambda xs, r: radar(xs) + r.normal(0, [5.0, 0.005], (len(xs), 2))
        assert bank.angle_measurements == ((1,) if kind != "python" else ())
        out[f"radar {kind} M={M}"] = run(bank, x0, P0, measure, rng)

# Every size with fixed-size tiles (and one beyond), linear models compiled and in Python,
# and the C model that fails for one filter.
for n in range(1, 8):
    for m in (1, 2, 3, 4):
        if m > n + 1:
            continue
        rng = np.random.default_rng(100 * n + m)
        F = np.eye(n) + rng.normal(0, 0.1, (n, n))
        H = rng.normal(0, 1, (m, n))
        for kind in ("compiled", "python", "c-model"):
            M = 11 if kind != "c-model" else 37
            if kind == "compiled":
                fx, hx = models.linear(F), models.linear_measurement(H)
            elif kind == "python":
                fx = overflowing(lambda X, dt, F=F: X @ F.T, "fx")
                hx = overflowing(lambda X, H=H: X @ H.T, "hx")
            else:
                fx, hx = damped, models.linear_measurement(H)
            bank = vx.CKFBank(M, n, m, 0.5, fx, hx)
            bank.Q = 0.01 * np.eye(n)
            bank.R = 0.5 * np.eye(m)
            x0 = rng.normal(0, 1, (M, n))
            A = rng.normal(0, 1, (M, n, n))
            P0 = np.einsum("kij,klj->kil", A, A) + np.eye(n)
            measure = lambda xs, r, H=H: xs @ H.T + r.normal(0, 0.7, (len(xs), len(H)))
            out[f"linear {kind} n={n} m={m}"] = run(bank, x0, P0, measure, rng)

print(json.dumps({"width": _engine.simd_tile_width(), "digests": out, "seen": sorted(seen), "jitters": jitters}))
"""


def _compiler():
    for name in (os.environ.get("CC"), "cc", "gcc", "clang"):
        if name and shutil.which(name):
            return name
    return None


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    cc = _compiler()
    if cc is None:
        pytest.skip("no C compiler found to build the test model")
    d = tmp_path_factory.mktemp("tiles")
    (d / "model.c").write_text(C_SOURCE)
    so = d / "model.so"
    subprocess.run([cc, "-O2", "-shared", "-fPIC", "-o", str(so), str(d / "model.c"), "-lm"], check=True)
    (d / "child.py").write_text(CHILD)
    python_path = str(Path(vx.__file__).resolve().parents[1])  # the package under test, installed or not
    results = {}
    for simd in (None, "1", "scalar"):
        for workers in ("1", "2"):
            env = dict(os.environ, VEXEL_CKF_NUM_THREADS=workers)
            env["PYTHONPATH"] = os.pathsep.join(filter(None, [python_path, env.get("PYTHONPATH")]))
            env.pop("VEXEL_CKF_BASELINE_SIMD", None)
            if simd is not None:
                env["VEXEL_CKF_BASELINE_SIMD"] = simd
            run = subprocess.run([sys.executable, str(d / "child.py"), str(so)], env=env, capture_output=True,
                                 text=True, timeout=300)
            assert run.returncode == 0, run.stderr
            results[(simd, workers)] = json.loads(run.stdout)
    return results


def test_the_switch_sets_the_tile_width(runs):
    assert runs[("scalar", "1")]["width"] == 1
    assert runs[("1", "1")]["width"] == 2
    assert runs[(None, "1")]["width"] in (2, 4)


def test_the_cases_reach_every_status_and_the_jitter_schedule(runs):
    ref = runs[("scalar", "1")]
    assert ref["seen"] == [0, 1, 2, 3, 4]
    assert ref["jitters"] > 0


@pytest.mark.parametrize("simd", [None, "1", "scalar"])
@pytest.mark.parametrize("workers", ["1", "2"])
def test_every_filter_matches_one_at_a_time_bit_for_bit(runs, simd, workers):
    ref = runs[("scalar", "1")]["digests"]
    got = runs[(simd, workers)]["digests"]
    assert got.keys() == ref.keys()
    differing = [case for case in ref if got[case] != ref[case]]
    assert differing == []
