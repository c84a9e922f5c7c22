"""Helpers shared by the test modules: field lists, whole-state snapshots for
failure-atomicity checks, and small random model builders."""

import math

import numpy as np

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
    return SR_FIELDS if type(f).__name__ == "SquareRootCubatureKalmanFilter" else CKF_FIELDS


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
