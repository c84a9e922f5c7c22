"""The linear bank and panels step tiles of filters, one per SIMD lane.

Every filter must get the same bits whatever the tile width (4 lanes with
AVX2, 2 with VEXEL_CKF_BASELINE_SIMD=1, none with =scalar), the worker count
and its tile-mates: the same problems run in child processes under each
setting and their outputs are compared byte for byte.
"""
import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

from vexel_ckf import batch_filter, batch_smoother, filter_bank_step, rts_smoother

FIXED = [(n, m) for n in range(1, 7) for m in range(1, 4)] + [(4, 4), (6, 6), (12, 6)]
SIZES = FIXED + [(7, 2)]  # and one size without a fixed kernel


def model(rng, n, m):
    F = np.eye(n) + 0.2 * rng.standard_normal((n, n)) / np.sqrt(n)
    H = rng.standard_normal((m, n))
    A = rng.standard_normal((n, n))
    B = rng.standard_normal((m, m))
    return F, H, A @ A.T / n + 0.1 * np.eye(n), B @ B.T / m + 0.5 * np.eye(m)


def bank_problem(seed, n, m, M):
    """A bank whose tiles mix every outcome: NaN rows, all-NaN rows,
    non-finite priors and indefinite priors (a failed Cholesky of S)."""
    rng = np.random.default_rng(seed)
    F, H, Q, R = model(rng, n, m)
    xs = rng.standard_normal((M, n))
    L = rng.standard_normal((M, n, n))
    Ps = L @ L.transpose(0, 2, 1) / n + np.eye(n)
    zs = rng.standard_normal((M, m))
    for i in range(M):
        kind = rng.integers(8)
        if kind == 1:
            zs[i] = np.nan
        elif kind == 2:
            zs[i, rng.integers(m)] = np.nan
        elif kind == 3:
            xs[i, rng.integers(n)] = np.inf
        elif kind == 4:
            Ps[i] = -50.0 * np.eye(n)
        elif kind == 5:
            Ps[i, 0, 0] = np.nan
    return xs, Ps, zs, F, H, Q, R


def panel_problem(seed, n, m, M, N=9):
    """A panel with missed rows at scattered steps and one sequence in
    three starting from an indefinite covariance (the fallback inverse)."""
    rng = np.random.default_rng(seed)
    F, H, Q, R = model(rng, n, m)
    if seed % 2:  # per-step matrices
        F = F + 0.01 * rng.standard_normal((N, n, n))
        Q = np.broadcast_to(Q, (N, n, n)) * rng.uniform(0.5, 1.5, (N, 1, 1))
    x0 = rng.standard_normal((M, n))
    P0 = np.broadcast_to(np.eye(n), (M, n, n)).copy()
    P0[1::3] = -20.0 * np.eye(n)
    zs = rng.standard_normal((M, N, m))
    zs[rng.random((M, N)) < 0.2] = np.nan
    return x0, P0, zs, F, H, Q, R


def cases():
    """(name, thunk) for every problem: each thunk returns arrays, or the
    text of the error it raised."""
    out = []
    for s, (n, m) in enumerate(SIZES):
        for M in (1, 3, 6, 37):
            p = bank_problem(s * 100 + M, n, m, M)
            for gaps in (False, True):
                out.append((f"bank{n},{m},M={M},gaps={gaps}", lambda p=p, g=gaps: filter_bank_step(*p, nan_means_missing=g)))
            q = panel_problem(s * 100 + M, n, m, M)
            out.append((f"filter{n},{m},M={M}", lambda q=q: batch_filter(*q, nan_means_missing=True)))
            out.append((f"smoother{n},{m},M={M}", lambda q=q: batch_smoother(*q, nan_means_missing=True)))
            out.append((f"means{n},{m},M={M}", lambda q=q: batch_smoother(*q, True, covariances=False)))
            out.append((f"rts{n},{m},M={M}", lambda q=q: rts_of(q)))
        x0, _, zs, F, H, Q, R = panel_problem(s, n, m, 1, N=30)
        zs = np.where(np.isnan(zs), 0.5, zs)  # the one-sequence routine (AVX2 build for the larger sizes)
        out.append((f"single{n},{m}", lambda a=(x0[0], np.eye(n), zs[0], F, H, Q, R): batch_filter(*a)))
    for M in range(1, 38):  # every tail length, for both tile widths
        out.append((f"bank4,2,M={M}", lambda M=M: filter_bank_step(*bank_problem(M, 4, 2, M), nan_means_missing=True)))
        out.append((f"smoother2,1,M={M}", lambda M=M: batch_smoother(*panel_problem(M, 2, 1, M), True)))
    return out


def rts_of(q):
    x0, P0, zs, F, H, Q, R = q
    P0 = np.broadcast_to(np.eye(x0.shape[1]), P0.shape)  # a filter that succeeds everywhere
    f = batch_filter(x0, P0, zs, F, H, Q, R, nan_means_missing=True)
    Ps = f.Ps.copy()
    Ps[::4, -3] = -5.0 * np.eye(x0.shape[1])  # the fallback inverse for some lanes
    return rts_smoother(f.xs, Ps, F, Q)


def run_all():
    results = {}
    for name, thunk in cases():
        try:
            results[name] = [None if a is None else np.ascontiguousarray(a).tobytes() for a in thunk()]
        except (RuntimeError, ValueError) as e:
            results[name] = str(e)
    return results


SETTINGS = [(None, "1"), (None, "3"), ("1", "1"), ("1", "2"), ("scalar", "1")]


@pytest.fixture(scope="module")
def by_setting():
    here = os.path.dirname(os.path.abspath(__file__))
    script = ("import pickle, sys; sys.path.insert(0, sys.argv[1]); import test_simd_tiles as t; "
              "from vexel_ckf import _engine; "
              "sys.stdout.buffer.write(pickle.dumps((_engine.simd_tile_width(), t.run_all())))")
    out = {}
    for simd, threads in SETTINGS:
        env = dict(os.environ, VEXEL_CKF_NUM_THREADS=threads)
        env.pop("VEXEL_CKF_BASELINE_SIMD", None)
        if simd is not None:
            env["VEXEL_CKF_BASELINE_SIMD"] = simd
        done = subprocess.run([sys.executable, "-c", script, here], env=env, check=True, capture_output=True,
                              timeout=300)
        out[(simd, threads)] = pickle.loads(done.stdout)
    return out


def test_the_switch_sets_the_tile_width(by_setting):
    widths = {key: width for key, (width, _) in by_setting.items()}
    assert widths[("scalar", "1")] == 1
    assert widths[("1", "1")] == widths[("1", "2")] == 2
    assert widths[(None, "1")] in (2, 4)


@pytest.mark.parametrize("setting", SETTINGS[1:], ids=lambda s: f"simd={s[0]},workers={s[1]}")
def test_every_filter_gets_the_same_bits(by_setting, setting):
    want = by_setting[SETTINGS[0]][1]
    got = by_setting[setting][1]
    assert got.keys() == want.keys()
    differ = [name for name in want if got[name] != want[name]]
    assert not differ, differ[:10]


def textbook_step(x, P, z, F, H, Q, R):
    x, P = F @ x, F @ P @ F.T + Q
    S = H @ P @ H.T + R
    K = P @ H.T @ np.linalg.inv(S)
    y = z - H @ x
    A = np.eye(len(x)) - K @ H
    ll = -0.5 * (y @ np.linalg.solve(S, y) + np.linalg.slogdet(2 * np.pi * S)[1])
    return x + K @ y, A @ P @ A.T + K @ R @ K.T, ll


@pytest.mark.parametrize("n,m", SIZES)
def test_bank_lanes_against_a_textbook_step(n, m):
    xs, Ps, zs, F, H, Q, R = bank_problem(7, n, m, 37)
    got = filter_bank_step(xs, Ps, zs, F, H, Q, R, nan_means_missing=True)
    for i in range(37):
        prior_ok = np.isfinite(xs[i]).all() and np.isfinite(Ps[i]).all()
        if not prior_ok:
            assert got.status[i] == 3 and np.isnan(got.log_likelihoods[i])
            assert np.array_equal(got.xs[i], xs[i]) and np.array_equal(got.Ps[i], Ps[i], equal_nan=True)
            continue
        xp, Pp = F @ xs[i], F @ Ps[i] @ F.T + Q
        if np.isnan(zs[i]).all():
            assert got.status[i] == 4 and np.isnan(got.log_likelihoods[i])
            np.testing.assert_allclose(got.xs[i], xp, rtol=1e-12, atol=1e-12)
        elif not np.isfinite(zs[i]).all():
            assert got.status[i] == 3 and got.log_likelihoods[i] == -np.inf
            np.testing.assert_allclose(got.Ps[i], Pp, rtol=1e-12, atol=1e-10)
        elif np.linalg.eigvalsh(H @ Pp @ H.T + R).min() <= 0:
            assert got.status[i] in (1, 2) and got.log_likelihoods[i] == -np.inf
        else:
            x, P, ll = textbook_step(xs[i], Ps[i], zs[i], F, H, Q, R)
            assert got.status[i] == 0
            np.testing.assert_allclose(got.xs[i], x, rtol=1e-9, atol=1e-9)
            np.testing.assert_allclose(got.Ps[i], P, rtol=1e-9, atol=1e-9)
            assert got.log_likelihoods[i] == pytest.approx(ll, rel=1e-9, abs=1e-9)


@pytest.mark.parametrize("n,m", [(2, 1), (4, 2), (5, 3), (12, 6), (7, 2)])
def test_panel_rows_equal_single_sequence_runs(n, m):
    x0, P0, zs, F, H, Q, R = panel_problem(3, n, m, 9)
    P0 = np.broadcast_to(np.eye(n), P0.shape)
    full = zs.copy()
    full[np.isnan(full)] = 0.25  # without gaps a single sequence takes the one-sequence routine
    panel = batch_filter(x0, P0, full, F, H, Q, R)
    smooth = batch_smoother(x0, P0, zs, F, H, Q, R, True)
    panel_gaps = batch_filter(x0, P0, zs, F, H, Q, R, nan_means_missing=True)
    rts = rts_smoother(panel.xs, panel.Ps, F, Q)
    for i in range(9):
        one = batch_filter(x0[i], P0[i], full[i], F, H, Q, R)
        assert all(np.array_equal(a, b[i]) for a, b in zip(one, panel))
        one = batch_filter(x0[i], P0[i], zs[i], F, H, Q, R, nan_means_missing=True)
        assert all(np.array_equal(a, b[i], equal_nan=True) for a, b in zip(one, panel_gaps))
        one = rts_smoother(panel.xs[i], panel.Ps[i], F, Q)
        assert np.array_equal(one.xs, rts.xs[i]) and np.array_equal(one.Ps, rts.Ps[i])
        one = batch_smoother(x0[i], P0[i], zs[i], F, H, Q, R, True)
        assert np.array_equal(one.xs, smooth.xs[i]) and one.log_likelihood == smooth.log_likelihood[i]
