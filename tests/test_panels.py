"""Panels of sequences with missed measurements: in memory and on Dask.

A panel must give every sequence the bits a single-sequence call gives it;
missed measurements are checked against a textbook filter written here."""

import hashlib
import os
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

from vexel_ckf import batch_filter, batch_smoother, filter_bank_step, rts_smoother

LN2PI = np.log(2.0 * np.pi)


def problem(n, m, M=6, N=30, seed=0, gaps=0.0):
    rng = np.random.default_rng(seed)
    F = np.eye(n) + 0.1 * np.eye(n, k=1)
    Fs = F + 0.01 * rng.standard_normal((N, n, n))          # per-step stack
    H = np.eye(m, n) + 0.2 * rng.standard_normal((m, n))
    Q = 0.05 * np.eye(n)
    R = np.diag(0.5 + rng.random(m))
    x0 = rng.standard_normal((M, n))
    P0 = np.eye(n) * (1.0 + rng.random((M, 1, 1)))
    zs = np.cumsum(rng.standard_normal((M, N, m)), axis=1)
    zs[rng.random((M, N)) < gaps] = np.nan
    return x0, P0, zs, Fs, H, Q, R


def same(a, b):
    return a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.mark.parametrize("n, m", [(2, 1), (4, 2), (5, 3), (4, 3)])
@pytest.mark.parametrize("shared_x0", [False, True])
def test_panel_is_a_loop_of_single_calls(n, m, shared_x0):
    x0, P0, zs, Fs, H, Q, R = problem(n, m)
    if shared_x0:
        x0, P0 = x0[0], P0[0]
    got = batch_filter(x0, P0, zs, Fs, H, Q, R)
    sm = rts_smoother(got.xs, got.Ps, Fs, Q)
    for i in range(zs.shape[0]):
        one = batch_filter(x0 if shared_x0 else x0[i], P0 if shared_x0 else P0[i], zs[i], Fs, H, Q, R)
        assert all(same(g[i], w) for g, w in zip(got, one))
        one_sm = rts_smoother(one.xs, one.Ps, Fs, Q)
        assert same(sm.xs[i], one_sm.xs) and same(sm.Ps[i], one_sm.Ps)


def textbook(x, P, zs, Fs, H, Q, R):
    """Kalman filter with predict-only steps at all-NaN rows."""
    xs, lls = [], []
    for k, z in enumerate(zs):
        x, P = Fs[k] @ x, Fs[k] @ P @ Fs[k].T + Q
        if np.isnan(z).all():
            lls.append(np.nan)
        else:
            S = H @ P @ H.T + R
            K = P @ H.T @ np.linalg.inv(S)
            y = z - H @ x
            lls.append(-0.5 * (y @ np.linalg.solve(S, y) + len(z) * LN2PI + np.linalg.slogdet(S)[1]))
            x, P = x + K @ y, (np.eye(len(x)) - K @ H) @ P
        xs.append(x)
    return np.array(xs), np.array(lls)


def test_missed_measurements_are_predicted_only():
    x0, P0, zs, Fs, H, Q, R = problem(3, 2, gaps=0.25, seed=3)
    zs[1, :4] = np.nan                                       # a run of gaps at the start
    got = batch_filter(x0, P0, zs, Fs, H, Q, R, nan_means_missing=True)
    for i in range(zs.shape[0]):
        xs, lls = textbook(x0[i], P0[i], zs[i], Fs, H, Q, R)
        np.testing.assert_allclose(got.xs[i], xs, rtol=1e-9, atol=1e-9)
        np.testing.assert_allclose(got.log_likelihoods[i], lls, rtol=1e-9)   # NaN exactly at the gaps
        single = batch_filter(x0[i], P0[i], zs[i], Fs, H, Q, R, nan_means_missing=True)
        assert all(same(g[i], w) for g, w in zip(got, single))


@pytest.mark.parametrize("gaps", [False, True])
def test_sequences_without_measurement_columns_only_predict(gaps):
    # dim_z = 0: every step is a prediction whose update measures nothing (log-likelihood 0, not a gap).
    x0, P0, _, Fs, _, Q, _ = problem(3, 1, M=4, N=6, seed=7)
    zs, H, R = np.zeros((4, 6, 0)), np.zeros((0, 3)), np.zeros((0, 0))
    got = batch_filter(x0, P0, zs, Fs, H, Q, R, nan_means_missing=gaps)
    smoothed = batch_smoother(x0, P0, zs, Fs, H, Q, R, nan_means_missing=gaps)
    for i in range(4):
        x, P = x0[i], P0[i]
        for k in range(6):
            x, P = Fs[k] @ x, Fs[k] @ P @ Fs[k].T + Q
            np.testing.assert_allclose(got.xs[i, k], x, rtol=1e-12, atol=1e-12)
            np.testing.assert_allclose(got.Ps[i, k], P, rtol=1e-12)
        assert (got.log_likelihoods[i] == 0.0).all()
        one = batch_filter(x0[i], P0[i], zs[i], Fs, H, Q, R, nan_means_missing=gaps)
        assert all(same(g[i], w) for g, w in zip(got, one))
        one_sm = rts_smoother(one.xs, one.Ps, Fs, Q)
        assert same(smoothed.xs[i], one_sm.xs) and same(smoothed.Ps[i], one_sm.Ps)


def test_a_smoothed_overflow_is_an_error_not_a_result():
    # A finite filtered trace whose covariances are near the largest double: the backward pass overflows.
    F, H, Q, R = np.eye(2), np.ones((1, 2)), 0.05 * np.eye(2), np.eye(1)
    zs = np.ones((3, 2, 1))
    good = batch_filter(np.zeros(2), np.eye(2), zs[0], F, H, Q, R)
    huge = batch_filter(np.zeros(2), 1e300 * np.eye(2), zs[0], F, H, Q, R)
    assert np.isfinite(huge.Ps).all()
    cases = [
        (lambda: rts_smoother(huge.xs, huge.Ps, F, Q), "smoothed estimate is not finite at step 0"),
        (lambda: rts_smoother(np.stack([good.xs, huge.xs]), np.stack([good.Ps, huge.Ps]), F, Q),
         "smoothed estimate is not finite at step 0 (sequence 1)"),
        (lambda: batch_smoother(np.zeros(2), 1e300 * np.eye(2), zs[0], F, H, Q, R),
         "smoothed estimate is not finite at step 0"),
        (lambda: batch_smoother(np.zeros((3, 2)), np.stack([np.eye(2), np.eye(2), 1e300 * np.eye(2)]), zs, F, H, Q,
                                R, covariances=False), "smoothed estimate is not finite at step 0 (sequence 2)"),
    ]
    for call, message in cases:
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == message
    assert np.isfinite(rts_smoother(good.xs, good.Ps, F, Q).xs).all()


@pytest.mark.parametrize("gaps", [0.0, 0.2])
def test_batch_smoother_is_filter_then_smoother(gaps):
    x0, P0, zs, Fs, H, Q, R = problem(4, 2, gaps=gaps, seed=5)
    filt = batch_filter(x0, P0, zs, Fs, H, Q, R, nan_means_missing=True)
    want = rts_smoother(filt.xs, filt.Ps, Fs, Q)
    got = batch_smoother(x0, P0, zs, Fs, H, Q, R, nan_means_missing=True)
    assert same(got.xs, want.xs) and same(got.Ps, want.Ps)
    totals = [sum(l for l in row if not np.isnan(l)) for row in filt.log_likelihoods]  # in step order
    assert got.log_likelihood.tolist() == totals
    means_only = batch_smoother(x0, P0, zs, Fs, H, Q, R, nan_means_missing=True, covariances=False)
    assert means_only.Ps is None and same(means_only.xs, got.xs) and same(means_only.log_likelihood, got.log_likelihood)
    one = batch_smoother(x0[2], P0[2], zs[2], Fs, H, Q, R, nan_means_missing=True)
    assert same(one.xs, got.xs[2]) and same(one.Ps, got.Ps[2]) and one.log_likelihood == got.log_likelihood[2]


def test_results_do_not_depend_on_the_pool_size():
    script = textwrap.dedent("""
        import hashlib, sys
        sys.path.insert(0, sys.argv[1])
        from test_panels import problem
        from vexel_ckf import batch_smoother
        x0, P0, zs, Fs, H, Q, R = problem(2, 1, M=200, N=50, gaps=0.1)
        print(hashlib.sha256(b"".join(a.tobytes() for a in batch_smoother(x0, P0, zs, Fs, H, Q, R, True))).hexdigest())
    """)
    digests = set()
    for threads in ("1", "3"):
        env = dict(os.environ, VEXEL_CKF_NUM_THREADS=threads)
        out = subprocess.run([sys.executable, "-c", script, os.path.dirname(__file__)], env=env, check=True,
                             capture_output=True, text=True, timeout=120)
        digests.add(out.stdout.strip())
    x0, P0, zs, Fs, H, Q, R = problem(2, 1, M=200, N=50, gaps=0.1)
    here = batch_smoother(x0, P0, zs, Fs, H, Q, R, True)
    digests.add(hashlib.sha256(b"".join(a.tobytes() for a in here)).hexdigest())
    assert len(digests) == 1


def test_bank_step_with_missed_measurements():
    rng = np.random.default_rng(1)
    F, H, Q, R = np.array([[1.0, 1.0], [0.0, 1.0]]), np.eye(2), 0.1 * np.eye(2), np.eye(2)
    xs, zs = rng.standard_normal((5, 2)), rng.standard_normal((5, 2))
    zs[1] = np.nan                    # missed
    zs[2, 0] = np.nan                 # partly NaN: a bad measurement
    zs[3, 1] = np.inf
    got = filter_bank_step(xs, np.eye(2), zs, F, H, Q, R, nan_means_missing=True)
    assert got.status.tolist() == [0, 4, 3, 3, 0]
    assert np.isnan(got.log_likelihoods[1]) and got.log_likelihoods[2] == got.log_likelihoods[3] == -np.inf
    np.testing.assert_allclose(got.xs[1], F @ xs[1])
    np.testing.assert_allclose(got.Ps[1], F @ F.T + Q)
    plain = filter_bank_step(xs, np.eye(2), zs, F, H, Q, R)
    assert plain.status.tolist() == [0, 3, 3, 3, 0] and plain.log_likelihoods[1] == -np.inf
    assert same(plain.xs, got.xs) and same(plain.Ps, got.Ps)


def bad(case):
    x0, P0, zs, Fs, H, Q, R = problem(2, 2, M=4, N=10)
    args = dict(x0=x0, P0=P0, zs=zs, F=Fs, H=H, Q=Q, R=R)
    kind, value = case
    if kind == "x0":
        args["x0"] = x0[:3]
    elif kind == "P0":
        args["P0"] = P0[:5].repeat(2, axis=0)
    elif kind == "F":
        args["F"] = Fs.copy()
        args["F"][6, 1, 0] = np.nan
    elif kind == "partly":
        args["zs"] = zs.copy()
        args["zs"][2, 7, 1] = np.nan
    elif kind == "inf":
        args["zs"] = zs.copy()
        args["zs"][3, 1, 0] = -np.inf
    elif kind == "nan":
        args["zs"] = zs.copy()
        args["zs"][1, 4] = np.nan
    elif kind == "single":
        args.update(x0=x0[0], P0=P0[0], zs=zs[0].copy())
        args["zs"][5] = np.nan
    return args, value


BAD_INPUT = [
    (("x0", True), r"^x0 must have shape \(dim_x,\) or \(M, dim_x\) with M = 4 sequences; got \(3, 2\)$"),
    (("P0", True), r"^P0 must have shape \(2, 2\) or \(4, 2, 2\); got \(8, 2, 2\)$"),
    (("F", True), r"^F contains non-finite values \(NaN or inf\) at step 6$"),
    (("partly", True), r"^zs\[2, 7\] \(sequence 2, step 7\) is partly NaN: \[.*, NaN\]. A missed measurement"),
    (("inf", True), r"^zs\[3, 1\] \(sequence 3, step 1\) contains infinite values: \[-inf, .*\]$"),
    (("nan", False), r"^zs\[1, 4\] \(sequence 1, step 4\) contains non-finite values: \[NaN, NaN\]. .* "
                     r"pass nan_means_missing=True$"),
    (("single", False), r"^zs\[5\] contains non-finite values: \[NaN, NaN\]. .*pass nan_means_missing=True$"),
]


@pytest.mark.parametrize("case, message", BAD_INPUT)
@pytest.mark.parametrize("function", [batch_filter, batch_smoother])
def test_bad_input_is_refused_naming_the_argument(function, case, message):
    args, flag = bad(case)
    with pytest.raises(ValueError, match=message):
        function(**args, nan_means_missing=flag)


# -- Dask -------------------------------------------------------------------

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
import vexel_ckf.dask as vd  # noqa: E402


@pytest.fixture(scope="module")
def cluster_client():
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None,
                                  env={"VEXEL_CKF_NUM_THREADS": "1"}) as cluster:
        with distributed.Client(cluster, timeout=60) as client:
            yield client


def dask_inputs(gaps=0.15):
    x0, P0, zs, Fs, H, Q, R = problem(2, 1, M=23, N=40, seed=9, gaps=gaps)
    return x0, P0, zs, Fs, H, Q, R, da.from_array(zs, chunks=(5, 13, 1)), da.from_array(x0, chunks=(7, 1))


def compute_on(where, client, arrays):
    if where == "distributed":
        return client.compute(list(arrays), sync=True)
    with warnings.catch_warnings():
        # Older dask warns when a single-machine scheduler runs while a
        # distributed client is active; running the same graph on both is the
        # point here.
        warnings.filterwarnings("ignore", "Running on a single-machine scheduler", UserWarning)
        return dask.compute(*arrays, scheduler="threads")


WHERE = ["threads", pytest.param("distributed", marks=pytest.mark.slow("a cluster of worker processes"))]


def client_for(where, request):
    """The cluster's client for a distributed run; a threaded run starts none."""
    return request.getfixturevalue("cluster_client") if where == "distributed" else None


@pytest.mark.parametrize("where", WHERE)
def test_dask_functions_equal_the_in_memory_ones(where, request):
    x0, P0, zs, Fs, H, Q, R, zd, xd = dask_inputs()
    lazy = [vd.batch_smoother(xd, P0, zd, Fs, H, Q, R, nan_means_missing=True),
            vd.batch_smoother(x0[0], P0[0], zd, Fs, H, Q, R, nan_means_missing=True, covariances=False),
            vd.batch_filter(xd, da.from_array(P0, chunks=4), zd, Fs, H, Q, R, nan_means_missing=True),
            vd.filter_bank_step(xd, P0[0], zd[:, 3], Fs[0], H, Q, R, nan_means_missing=True)]
    want = [batch_smoother(x0, P0, zs, Fs, H, Q, R, nan_means_missing=True),
            batch_smoother(x0[0], P0[0], zs, Fs, H, Q, R, nan_means_missing=True, covariances=False),
            batch_filter(x0, P0, zs, Fs, H, Q, R, nan_means_missing=True),
            filter_bank_step(x0, P0[0], zs[:, 3], Fs[0], H, Q, R, nan_means_missing=True)]
    flat_lazy = [a for result in lazy for a in result if a is not None]
    flat_want = [a for result in want for a in result if a is not None]
    assert all(isinstance(a, da.Array) for a in flat_lazy)
    for got, expected in zip(compute_on(where, client_for(where, request), flat_lazy), flat_want):
        assert same(got, expected)


def test_dask_panels_without_measurement_columns_equal_the_in_memory_ones():
    x0, P0, _, Fs, _, Q, _ = problem(3, 1, M=5, N=6, seed=9)
    zs, H, R = np.zeros((5, 6, 0)), np.zeros((0, 3)), np.zeros((0, 0))
    zd, xd = da.from_array(zs, chunks=(2, 6, 0)), da.from_array(x0, chunks=(2, 3))
    for lazy, want in [(vd.batch_filter(xd, P0, zd, Fs, H, Q, R, nan_means_missing=True),
                        batch_filter(x0, P0, zs, Fs, H, Q, R, nan_means_missing=True)),
                       (vd.batch_smoother(xd, P0, zd, Fs, H, Q, R), batch_smoother(x0, P0, zs, Fs, H, Q, R))]:
        got = dask.compute(*lazy, scheduler="threads")
        assert all(same(g, w) for g, w in zip(got, want))


@pytest.mark.parametrize("where", WHERE)
def test_dask_data_errors_name_the_global_sequence(where, request):
    x0, P0, zs, Fs, H, Q, R, zd, xd = dask_inputs(gaps=0.0)
    zs = np.concatenate([zs, zs], axis=2)
    zs[17, 22, 0] = np.nan                                   # chunk 3 of 5, local sequence 2
    lazy = vd.batch_smoother(xd, P0[0], da.from_array(zs, chunks=(5, 40, 1)), Fs, np.eye(2), Q, np.eye(2),
                             nan_means_missing=True, covariances=False)
    with pytest.raises(ValueError, match=r"^zs\[17, 22\] \(sequence 17, step 22\) is partly NaN"):
        compute_on(where, client_for(where, request), [lazy.xs])


def test_dask_checks_shapes_and_model_when_the_graph_is_built():
    x0, P0, zs, Fs, H, Q, R, zd, xd = dask_inputs()
    Fs = Fs.copy()
    Fs[3, 0, 0] = np.inf
    with pytest.raises(ValueError, match=r"^F contains non-finite values \(NaN or inf\) at step 3$"):
        vd.batch_filter(xd, P0, zd, Fs, H, Q, R)
    with pytest.raises(ValueError, match=r"with M = 23 sequences; got \(22, 2\)"):
        vd.batch_smoother(xd[:22], P0, zd, Fs[0], H, Q, R)
    with pytest.raises(ValueError, match=r"^H must have shape \(1, 2\), got \(2, 2\)$"):
        vd.batch_smoother(xd, P0, zd, Fs[0], np.eye(2), Q, R)
