"""Independent textbook references for the batch routine tests.

Plain NumPy, written from the textbook equations (not from the native
code): the Joseph-form Kalman step with the Gaussian log-likelihood, and the
fixed-interval smoother as a direct solve of the joint Gaussian of all
states given all measurements (batch least squares in information form).
"""

import numpy as np

LN2PI = 1.8378770664093453


def sym(a):
    return 0.5 * (a + a.T)


def kalman_predict(x, p, f, q):
    return f @ x, sym(f @ p @ f.T + q)


def kalman_update(x, p, z, h, r, inverse=np.linalg.inv):
    """Joseph-form update; returns (x, P, log-likelihood of z)."""
    y = z - h @ x
    s = sym(h @ p @ h.T + r)
    si = inverse(s)
    k = p @ h.T @ si
    a = np.eye(len(x)) - k @ h
    x_new = x + k @ y
    p_new = sym(a @ p @ a.T + k @ r @ k.T)
    sign, logdet = np.linalg.slogdet(s)
    ll = -0.5 * (y @ np.linalg.solve(s, y) + logdet + len(z) * LN2PI) if sign > 0 else -np.inf
    return x_new, p_new, ll


def kalman_filter(x0, p0, zs, fs, hs, qs, rs):
    """Posterior means, covariances and log-likelihoods of every step."""
    x, p, out = np.array(x0, dtype=float), np.array(p0, dtype=float), []
    for k in range(len(zs)):
        x, p, ll = kalman_update(*kalman_predict(x, p, fs[k], qs[k]), zs[k], hs[k], rs[k])
        out.append((x, p, ll))
    return tuple(np.array(col) for col in zip(*out))


def joint_smoother(x0, p0, zs, fs, hs, qs, rs):
    """Means and marginal covariances of x_0..x_{N-1} given z_0..z_{N-1}.

    The states are stacked into one vector X; the prior of x_0 (the prior
    (x0, p0) moved through F_0, Q_0), the transitions x_k = F_k x_{k-1} + w_k
    and the measurements z_k = H_k x_k + v_k are each a Gaussian factor.
    Their information matrix J and vector b are assembled, and X = J^-1 b,
    Cov(X) = J^-1.
    """
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


def random_spd(rng, n, scale=1.0):
    a = rng.standard_normal((n, n))
    return scale * (a @ a.T / n + np.eye(n))


def random_linear_problem(rng, n, m, steps, varying=True):
    """x0, p0 and per-step stacks of a well-conditioned linear model."""
    def f_k():
        return np.eye(n) + 0.1 * rng.standard_normal((n, n)) / np.sqrt(n)

    count = steps if varying else 1
    fs = np.array([f_k() for _ in range(count)])
    hs = rng.standard_normal((count, m, n))
    qs = np.array([random_spd(rng, n, 0.05) for _ in range(count)])
    rs = np.array([random_spd(rng, m, 0.2) for _ in range(count)])
    if not varying:
        fs, hs, qs, rs = (np.repeat(a, steps, axis=0) for a in (fs, hs, qs, rs))
    x0 = rng.standard_normal(n)
    p0 = random_spd(rng, n)
    zs = rng.standard_normal((steps, m))
    return x0, p0, zs, fs, hs, qs, rs


def strided(a):
    """A copy of a reached through non-unit strides on every axis."""
    view = np.zeros(tuple(2 * d for d in a.shape))[tuple(slice(None, None, 2) for _ in a.shape)]
    view[...] = a
    return view


def random_bank(rng, count, n, m):
    """xs, ps, zs of `count` filters and their shared f, h, q, r."""
    xs = rng.standard_normal((count, n))
    ps = np.array([random_spd(rng, n) for _ in range(count)])
    zs = rng.standard_normal((count, m))
    f = np.eye(n) + 0.1 * rng.standard_normal((n, n))
    return xs, ps, zs, f, rng.standard_normal((m, n)), random_spd(rng, n, 0.05), random_spd(rng, m, 0.2)


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
    import hashlib

    h = hashlib.sha256()
    for a in (a for out in outputs for a in out):
        h.update(a.tobytes())
    return h.hexdigest()
