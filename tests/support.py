"""Helpers shared by the test modules: field lists, whole-state snapshots for
failure-atomicity checks, and small random model builders."""

import math

import numpy as np
import pytest

from vexel_ckf._native import CubatureKalmanFilter, SquareRootCubatureKalmanFilter

CLASSES = [CubatureKalmanFilter, SquareRootCubatureKalmanFilter]
# Behaviour the two filter classes share is tested once, for both.
BOTH = pytest.mark.parametrize("cls", CLASSES, ids=["ckf", "srckf"])

CKF_FIELDS = [
    "x", "P", "Q", "R", "K", "y", "z", "S", "SI", "x_prior", "P_prior", "x_post", "P_post", "z_pred",
    "log_likelihood", "likelihood", "mahalanobis", "nis", "last_jitter", "max_jitter", "jitter_count",
    "singular_innovation_count",
]
SR_FIELDS = [
    "x", "chol_P", "P", "chol_Q", "Q", "chol_R", "R", "K", "y", "z", "S", "S_innov", "x_prior", "P_prior",
    "x_post", "P_post", "z_pred", "log_likelihood", "likelihood", "mahalanobis", "nis", "last_jitter",
    "max_jitter", "jitter_count", "singular_innovation_count", "downdate_fallback_count", "chol_P_prior",
    "chol_P_post",
]
LN_2PI = math.log(2.0 * math.pi)
MEASUREMENT_TAIL = (
    ". A NaN/inf measurement would silently corrupt the filter state. For a missed measurement skip this "
    "update; update() also accepts z=None, which skips the step and clears the innovation diagnostics."
)


def fields_of(f):
    """The field table of f's class."""
    return SR_FIELDS if is_sr(f) else CKF_FIELDS


def is_sr(f):
    return isinstance(f, SquareRootCubatureKalmanFilter) or f is SquareRootCubatureKalmanFilter


def state_of(f, names=None):
    """Every field of a filter, read through get()."""
    return {name: f.get(name) for name in (names or fields_of(f))}


def same(a, b):
    """Bit-for-bit equality of arrays (NaN included), equality of type and value for scalars."""
    if isinstance(a, np.ndarray):
        return isinstance(b, np.ndarray) and a.shape == b.shape and a.tobytes() == b.tobytes()
    return type(a) is type(b) and (a == b or (a != a and b != b))


def assert_same_state(before, after, skip=()):
    changed = [name for name in before if name not in skip and not same(before[name], after[name])]
    assert changed == [], f"fields changed: {changed}"


def spd(rng, n, scale=1.0):
    """A well-conditioned random symmetric positive definite matrix."""
    a = rng.standard_normal((n, n))
    return scale * (a @ a.T + n * np.eye(n))


def unaligned_copy(m):
    """A writeable copy of m at an odd address: a valid float64 array that is not aligned."""
    a = np.frombuffer(bytearray(m.nbytes + 1), dtype=np.float64, count=m.size, offset=1).reshape(m.shape)
    a[...] = m
    assert not a.flags["ALIGNED"]
    return a


def kf_update(x, P, z, H, R):
    """Textbook Kalman update with its diagnostics."""
    S = H @ P @ H.T + R
    K = P @ H.T @ np.linalg.inv(S)
    y = z - H @ x
    d2 = float(y @ np.linalg.solve(S, y))
    ll = -0.5 * (d2 + np.linalg.slogdet(S)[1] + len(z) * LN_2PI)
    return x + K @ y, P - K @ S @ K.T, dict(S=S, K=K, y=y, z_pred=H @ x, nis=d2, ll=ll)


def seeded(cls, rng, n, m, dt=0.1):
    """A filter of class cls seeded with random x and well-conditioned P, Q and R."""
    f = cls(n, m, dt)
    f.set_state(rng.standard_normal(n), spd(rng, n), spd(rng, n, 0.01), spd(rng, m, 0.5))
    return f


def busy_filter(cls, n=3, m=2, dt=0.1, seed=0):
    """A filter whose every field holds a distinct, non-default value."""
    rng = np.random.default_rng(seed)
    f = seeded(cls, rng, n, m, dt)
    F = np.eye(n) + 0.1 * rng.standard_normal((n, n))
    H = rng.standard_normal((m, n))
    f.predict_custom(lambda X, dt: X @ F.T)
    f.update(rng.standard_normal(m), lambda X: X @ H.T)
    f.predict_custom(lambda X, dt: X @ F.T)
    counters = {"jitter_count": 7, "max_jitter": 2.5e-9, "last_jitter": 1e-12, "singular_innovation_count": 3}
    if "downdate_fallback_count" in fields_of(f):
        counters["downdate_fallback_count"] = 4
    for name, value in counters.items():
        f.set(name, value)
    return f


def dt_of(f):
    """The filter's default dt, as its prediction hands it to fx (seen on a copy)."""
    seen = []
    f.copy().predict_custom(lambda X, dt: seen.append(dt) or X)
    return seen[0]


def outputs(N, n, fill=-7.0):
    """The six output arrays of run() for N steps, filled with a marker value."""
    return (np.full((N, n), fill), np.full((N, n, n), fill), np.full((N, n), fill), np.full((N, n, n), fill),
            np.full(N, fill), np.full(N, fill))
