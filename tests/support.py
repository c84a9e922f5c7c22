"""Helpers shared by the test modules: whole-state comparisons for the
failure-atomicity checks, random model builders, and the independent
references (textbook Kalman filter, joint least-squares smoother) written
from the textbook equations, not from the native code."""

import hashlib
import math

import numpy as np
import pytest

from vexel_ckf._native import CubatureKalmanFilter, SquareRootCubatureKalmanFilter

CLASSES = [CubatureKalmanFilter, SquareRootCubatureKalmanFilter]
# Behaviour the two filter classes share is tested once, for both.
BOTH = pytest.mark.parametrize("cls", CLASSES, ids=["ckf", "srckf"])
CKF_FIELDS = (
    "x P Q R K y z S SI x_prior P_prior x_post P_post z_pred log_likelihood likelihood mahalanobis nis last_jitter "
    "max_jitter jitter_count singular_innovation_count").split()
SR_FIELDS = (
    "x chol_P P chol_Q Q chol_R R K y z S S_innov x_prior P_prior x_post P_post z_pred log_likelihood likelihood "
    "mahalanobis nis last_jitter max_jitter jitter_count singular_innovation_count downdate_fallback_count "
    "chol_P_prior chol_P_post").split()
LN_2PI = math.log(2.0 * math.pi)
MEASUREMENT_TAIL = (
    ". A NaN/inf measurement would silently corrupt the filter state. For a missed measurement skip this "
    "update; update() also accepts z=None, which skips the step and clears the innovation diagnostics.")
NO_FACTOR = "unable to compute stable Cholesky factor"


def is_sr(f):
    return isinstance(f, SquareRootCubatureKalmanFilter) or f is SquareRootCubatureKalmanFilter


def fields_of(f):
    return SR_FIELDS if is_sr(f) else CKF_FIELDS


def state_of(f):
    """Every field of a filter, read through get()."""
    return {name: f.get(name) for name in fields_of(f)}


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
    return scale * (a @ a.T / n + np.eye(n))


def lower_with_nonnegative_diagonal(L):
    return np.all(np.triu(L, 1) == 0.0) and np.all(np.diag(L) >= 0.0)


def unaligned_copy(m):
    """A writeable copy of m at an odd address: a valid float64 array that is not aligned."""
    a = np.frombuffer(bytearray(m.nbytes + 1), dtype=np.float64, count=m.size, offset=1).reshape(m.shape)
    a[...] = m
    assert not a.flags["ALIGNED"]
    return a


def strided(a):
    """A copy of a reached through non-unit strides on every axis."""
    view = np.zeros(tuple(2 * d for d in a.shape))[tuple(slice(None, None, 2) for _ in a.shape)]
    view[...] = a
    return view


def seeded(cls, rng, n, m, dt=0.1):
    """A filter of class cls seeded with random x and well-conditioned P, Q and R."""
    f = cls(n, m, dt)
    f.set_state(rng.standard_normal(n), spd(rng, n), spd(rng, n, 0.01), spd(rng, m, 0.5))
    return f


def busy_filter(cls, n=3, m=2, dt=0.1, seed=0):
    """A filter whose every field holds a distinct, non-default value."""
    rng = np.random.default_rng(seed)
    f = seeded(cls, rng, n, m, dt)
    F, H = np.eye(n) + 0.1 * rng.standard_normal((n, n)), rng.standard_normal((m, n))
    f.predict_custom(lambda X, dt: X @ F.T)
    f.update(rng.standard_normal(m), lambda X: X @ H.T)
    f.predict_custom(lambda X, dt: X @ F.T)
    counters = dict(jitter_count=7, max_jitter=2.5e-9, last_jitter=1e-12, singular_innovation_count=3)
    if is_sr(f):
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


# ---------------------------------------------------------------------------
# Textbook references


def sym(a):
    return 0.5 * (a + a.T)


def kalman_predict(x, p, f, q):
    return f @ x, sym(f @ p @ f.T + q)


def kalman_update(x, p, z, h, r, inverse=np.linalg.inv):
    """Joseph-form update; returns (x, P, diagnostics), ll = -inf for an S that is not positive definite."""
    y = z - h @ x
    s = sym(h @ p @ h.T + r)
    k = p @ h.T @ inverse(s)
    a = np.eye(len(x)) - k @ h
    sign, logdet = np.linalg.slogdet(s)
    d2 = float(y @ np.linalg.solve(s, y)) if sign != 0 else math.nan
    ll = -0.5 * (d2 + logdet + len(z) * LN_2PI) if sign > 0 else -math.inf
    return x + k @ y, sym(a @ p @ a.T + k @ r @ k.T), dict(S=s, K=k, y=y, z_pred=h @ x, nis=d2, ll=ll)


def kalman_filter(x0, p0, zs, fs, hs, qs, rs):
    """Posterior means, covariances and log-likelihoods of every step."""
    x, p, out = np.array(x0, dtype=float), np.array(p0, dtype=float), []
    for k in range(len(zs)):
        x, p, d = kalman_update(*kalman_predict(x, p, fs[k], qs[k]), zs[k], hs[k], rs[k])
        out.append((x, p, d["ll"]))
    return tuple(np.array(col) for col in zip(*out))


def joint_smoother(x0, p0, zs, fs, hs, qs, rs):
    """Means and marginal covariances of x_0..x_{N-1} given z_0..z_{N-1}: the
    prior of x_0 (moved through F_0, Q_0), the transitions and the
    measurements are Gaussian factors of the stacked states; their
    information matrix J and vector b give X = J^-1 b, Cov(X) = J^-1."""
    n, steps = len(x0), len(zs)
    info, vec = np.zeros((n * steps, n * steps)), np.zeros(n * steps)
    blk = [slice(k * n, (k + 1) * n) for k in range(steps)]
    c0i = np.linalg.inv(fs[0] @ p0 @ fs[0].T + qs[0])
    info[blk[0], blk[0]] += c0i
    vec[blk[0]] += c0i @ fs[0] @ x0
    for k in range(1, steps):  # (x_k - F x_{k-1})^T Q^-1 (x_k - F x_{k-1})
        qi, f = np.linalg.inv(qs[k]), fs[k]
        info[blk[k], blk[k]] += qi
        info[blk[k - 1], blk[k - 1]] += f.T @ qi @ f
        info[blk[k], blk[k - 1]] -= qi @ f
        info[blk[k - 1], blk[k]] -= f.T @ qi
    for k in range(steps):
        ri = np.linalg.inv(rs[k])
        info[blk[k], blk[k]] += hs[k].T @ ri @ hs[k]
        vec[blk[k]] += hs[k].T @ ri @ zs[k]
    cov = np.linalg.inv(info)
    return (cov @ vec).reshape(steps, n), np.array([cov[b, b] for b in blk])


def random_linear_problem(rng, n, m, steps):
    """x0, p0 and per-step stacks of a well-conditioned, time-varying linear model."""
    fs = np.array([np.eye(n) + 0.1 * rng.standard_normal((n, n)) / np.sqrt(n) for _ in range(steps)])
    qs = np.array([spd(rng, n, 0.05) for _ in range(steps)])
    rs = np.array([spd(rng, m, 0.2) for _ in range(steps)])
    return rng.standard_normal(n), spd(rng, n), rng.standard_normal((steps, m)), fs, \
        rng.standard_normal((steps, m, n)), qs, rs


def random_bank(rng, count, n, m):
    """xs, ps, zs of `count` filters and their shared f, h, q, r."""
    xs, ps, zs = rng.standard_normal((count, n)), np.array([spd(rng, n) for _ in range(count)]), \
        rng.standard_normal((count, m))
    f = np.eye(n) + 0.1 * rng.standard_normal((n, n))
    return xs, ps, zs, f, rng.standard_normal((m, n)), spd(rng, n, 0.05), spd(rng, m, 0.2)


def pool_banks():
    """Large banks mixing every path of the worker pool: compile-time sizes,
    bounded run-time sizes, filters with status 1 (singular S) and 3 (NaN/inf)."""
    banks = []
    for seed, (count, n, m) in enumerate([(20011, 4, 2), (3001, 7, 3), (997, 2, 2)]):
        xs, ps, zs, f, h, q, r = random_bank(np.random.default_rng(seed), count, n, m)
        if n == 2:  # S = [[1, 1], [1, 1]] exactly
            xs[:], ps[:], h, r = 0.0, np.eye(2), np.array([[1.0, 0.0], [1.0, 0.0]]), np.zeros((2, 2))
        xs[5, 0], ps[17, 1, 0], zs[33, m - 1] = np.nan, np.inf, np.nan
        banks.append((xs, ps, zs, f, h, q, r))
    return banks


def digest(outputs):
    """One hash of every byte of a list of output tuples."""
    h = hashlib.sha256()
    for a in (a for out in outputs for a in out):
        h.update(a.tobytes())
    return h.hexdigest()


def assert_message(error, message):
    """The message in full; one ending in ": " or "=" is a prefix (the frame's argument error, followed
    by the converter's own text)."""
    text = str(error)
    assert text.startswith(message) if message.endswith((": ", "=")) else text == message, text


def error_of(call, exc=Exception):
    """The exception of type exc that call() raises."""
    with pytest.raises(exc) as info:
        call()
    return info.value
