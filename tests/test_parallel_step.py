"""batch_parallel_step: each row is one textbook step of its own filter, with
the per-filter status codes of the bank; and the worker pool behind it
(results independent of the pool size, survives fork(), concurrent callers)."""

import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from vexel_ckf import _native
from support import digest, kalman_predict, kalman_update, pool_banks, random_bank, strided

STEP = _native.batch_parallel_step
NAN, INF = np.nan, np.inf


def reference_step(x, p, z, f, h, q, r, inverse=np.linalg.inv):
    x, p, d = kalman_update(*kalman_predict(x, p, f, q), z, h, r, inverse=inverse)
    return x, p, d["ll"]


@pytest.mark.parametrize("n, m", [(1, 1), (2, 2), (3, 1), (4, 2), (4, 4), (5, 3), (6, 6), (12, 6), (18, 3), (2, 5)])
def test_each_row_is_one_textbook_step(n, m):
    args = random_bank(np.random.default_rng(10 * n + m), 40, n, m)
    xs_new, ps_new, lls, status = STEP(*args)
    assert status.dtype == np.int64 and not status.any()
    for i in range(40):
        x, p, ll = reference_step(*(a[i] for a in args[:3]), *args[3:])
        np.testing.assert_allclose(xs_new[i], x, rtol=1e-9, atol=1e-11)
        np.testing.assert_allclose(ps_new[i], p, rtol=1e-9, atol=1e-11)
        assert lls[i] == pytest.approx(ll, rel=1e-9, abs=1e-9)


@pytest.mark.parametrize("count", [7, 70_001])  # small and multi-megabyte result buffers
def test_every_row_equals_its_filter_stepped_alone(count):
    args = random_bank(np.random.default_rng(1), 7, 4, 2)
    if count > 7:
        args = tuple(np.resize(a, (count,) + a.shape[1:]) for a in args[:3]) + args[3:]
        args[0][::3] += 1.0  # rows differ, so a misplaced row would show
    out = STEP(*args)
    assert all(a.flags["C_CONTIGUOUS"] and a.flags["WRITEABLE"] and a.flags["OWNDATA"] for a in out)
    assert np.array_equal(out[1], np.swapaxes(out[1], 1, 2))
    for i in sorted({0, 1, 2, count // 2, count - 2, count - 1}):
        alone = STEP(*(a[i : i + 1] for a in args[:3]), *args[3:])
        assert all(a[i].tobytes() == b[0].tobytes() for a, b in zip(out, alone))


def mixed_bank():
    """Row 0 ordinary; rows 1-4 a NaN or inf in x or P (upper triangle too); row 5 a NaN in z."""
    xs, ps, zs, f, h, q, r = random_bank(np.random.default_rng(3), 6, 2, 2)
    xs[1, 1], xs[2, 0], ps[3, 0, 1], ps[4, 1, 1], zs[5, 0] = NAN, -INF, NAN, INF, NAN
    return xs, ps, zs, f, h, q, r


E2, E5 = np.repeat(np.eye(2)[None], 2, axis=0), np.eye(5)
# Per row: the status, and what the row holds: "step" the textbook step, "pinv"/"inv" the step with that
# inverse of S and a log-likelihood of -inf, "same" the input untouched with a NaN log-likelihood,
# "predict" the prediction alone with -inf.
@pytest.mark.parametrize("make, statuses, rows", [
    (mixed_bank, [0, 3, 3, 3, 3, 3], ["step", "same", "same", "same", "same", "predict"]),
    # x = 0, P = I, F = I, Q = 0, H with both rows (1, 0), R = 0: S = [[1, 1], [1, 1]] exactly.
    (lambda: (np.zeros((2, 2)), E2, np.array([[1.0, 1.0], [2.0, 0.0]]), np.eye(2), np.array([[1.0, 0.0], [1.0, 0.0]]),
              np.zeros((2, 2)), np.zeros((2, 2))), [1, 1], ["pinv", "pinv"]),
    # S = P + R = [[0.5, 2], [2, 0.5]]: invertible but not positive definite.
    (lambda: (np.array([[0.0, 0.0], [1.0, 0.0]]), 0.5 * E2, np.array([[1.0, -1.0], [0.0, 2.0]]), np.eye(2), np.eye(2),
              np.zeros((2, 2)), np.array([[0.0, 2.0], [2.0, 0.0]])), [1, 1], ["inv", "inv"]),
    # S = diag(0, s, s, s, s): the zero row defeats Cholesky and LU. With P = I the pseudo-inverse succeeds;
    # with P = 1e307 I the other diagonal entries overflow to infinity and the SVD refuses it.
    (lambda: (np.ones((2, 5)), np.array([E5, 1e307 * E5]), np.ones((2, 5)), 2.0 * E5, np.diag([0.0, 10, 10, 10, 10]),
              0 * E5, np.diag([0.0, 1, 1, 1, 1])), [1, 2], ["pinv", "predict"]),
], ids=["mixed", "singular", "indefinite", "no-stage"])
def test_status_codes_and_their_outputs(make, statuses, rows):
    xs, ps, zs, f, h, q, r = args = make()
    xs_new, ps_new, lls, status = STEP(*args)
    assert status.tolist() == statuses
    for i, kind in enumerate(rows):
        if kind == "same":  # bit for bit, NaN included
            assert xs_new[i].tobytes() == xs[i].tobytes() and ps_new[i].tobytes() == ps[i].tobytes()
            assert np.isnan(lls[i])
            continue
        if kind == "predict":
            x, p = kalman_predict(xs[i], ps[i], f, q)
        else:
            x, p, ll = reference_step(xs[i], ps[i], zs[i], f, h, q, r, np.linalg.pinv if kind == "pinv" else np.linalg.inv)
        assert lls[i] == (pytest.approx(ll, rel=1e-12) if kind == "step" else -INF)
        np.testing.assert_allclose(xs_new[i], x, rtol=1e-12, atol=1e-14)
        np.testing.assert_allclose(ps_new[i], p, rtol=1e-12, atol=1e-14)
        assert np.array_equal(ps_new[i], ps_new[i].T)


def test_strided_and_broadcast_inputs_fresh_outputs_and_no_leaks():
    args = random_bank(np.random.default_rng(5), 9, 3, 2)
    xs, ps, zs, f, h, q, r = args
    copies, counts = [a.copy() for a in args], [sys.getrefcount(a) for a in args]
    expected = STEP(*args)
    got = STEP(np.asfortranarray(xs), strided(ps), zs[::-1][::-1].T.copy().T, f.T.copy().T, np.asfortranarray(h), q, r)
    assert all(g.flags["C_CONTIGUOUS"] and np.array_equal(e, g) for e, g in zip(expected, got))
    one = tuple(a[:1] for a in args[:3])
    views = tuple(np.broadcast_to(a[0], (6,) + a.shape[1:]) for a in one)
    for a, b in zip(STEP(*views, f, h, q, r), STEP(*one, f, h, q, r)):
        assert np.array_equal(a, np.repeat(b, 6, axis=0))
    del one, views  # views of the inputs
    out = STEP(*args)
    assert [sys.getrefcount(a) for a in out] == [3, 3, 3, 3]  # the tuple, the loop variable and the call only
    out[0][...] = 0.0
    assert not np.array_equal(STEP(*args)[0], out[0])
    f_bad = f.copy()
    f_bad[0, 0] = NAN
    with pytest.raises(ValueError):
        STEP(xs, ps, zs, f_bad, h, q, r)
    assert [sys.getrefcount(a) for a in args] == counts
    assert all(np.array_equal(a, c) for a, c in zip(args, copies))


# ---------------------------------------------------------------------------
# The worker pool

# Subprocesses import the same vexel_ckf that this test imported (installed or a development build).
PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(_native.__file__)))


def run_script(body, env_threads, timeout=120):
    path = [PACKAGE_PARENT, os.path.dirname(os.path.abspath(__file__)), os.environ.get("PYTHONPATH", "")]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(path), "VEXEL_CKF_NUM_THREADS": env_threads}
    script = "from vexel_ckf import _native\nfrom support import digest, pool_banks\n" + textwrap.dedent(body)
    proc = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.strip()


@pytest.fixture(scope="module")
def expected_digest():
    outputs = [STEP(*bank) for bank in pool_banks()]
    assert set(np.concatenate([out[3] for out in outputs]).tolist()) == {0, 1, 3}
    return digest(outputs)


# 1 and 3 threads must give this process's bytes; unusable counts fall back to a working pool.
@pytest.mark.parametrize("threads", ["1", "3", "0", "two", "99999999999999999999999"])
def test_results_are_bit_identical_for_every_pool_size(expected_digest, threads):
    assert run_script("print(digest([_native.batch_parallel_step(*b) for b in pool_banks()]))", threads) == \
        expected_digest


SHARED_POOL_BODY = """
    import multiprocessing as mp, os, threading, time
    banks = pool_banks()

    def compute(which=range(3)):
        return digest([_native.batch_parallel_step(*banks[i]) for i in which])

    expected, each = compute(), [compute([i]) for i in range(3)]  # the parent's pool exists now

    def fork_and_check():
        pid = os.fork()
        if pid == 0:
            try:
                os._exit(0 if compute() == expected else 3)
            finally:
                os._exit(4)
        for _ in range(6000):
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                return os.waitstatus_to_exitcode(status)
            time.sleep(0.01)
        os.kill(pid, 9)
        return "hung"

    print("idle", fork_and_check())  # fork after the parent used the pool
    stop = threading.Event()
    worker = threading.Thread(target=lambda: [_native.batch_parallel_step(*banks[0]) for _ in iter(stop.is_set, True)])
    worker.start()
    print("busy", [time.sleep(0.02) or fork_and_check() for _ in range(5)])  # another thread is inside the pool
    stop.set()
    worker.join()
    with mp.get_context("fork").Pool(2) as pool:  # fork workers get pools of their own
        print("multiprocessing", pool.map(compute, [[0], [1], [2], [0]]) == each + each[:1])
    failures = []
    def caller(i):  # concurrent callers of the parent's pool each get their own results
        failures.extend(i for _ in range(10) if compute([i]) != each[i])
    threads = [threading.Thread(target=caller, args=(i % 3,)) for i in range(8)]
    [t.start() for t in threads]
    [t.join(timeout=120) for t in threads]
    print("threads", [t.is_alive() for t in threads].count(True), failures)
    print("parent", compute() == expected)
"""


@pytest.mark.not_sanitized("the sanitizer runtime's allocator is not fork-safe: a child forked while another thread "
                           "allocates can wait forever on an allocator lock that thread held")
def test_pool_survives_fork_and_serves_concurrent_callers():
    out = run_script(SHARED_POOL_BODY, "2", timeout=300).splitlines()
    assert out == ["idle 0", "busy [0, 0, 0, 0, 0]", "multiprocessing True", "threads 0 []", "parent True"]


def test_other_python_threads_run_while_the_bank_is_computed():
    # The interpreter lock is released around the parallel map: a pure Python thread gets to run in the
    # middle of one long call (with the lock held throughout it could not: the switch interval is ms).
    count = 400_000
    args = (np.zeros((count, 4)), np.repeat(np.eye(4)[None], count, axis=0), np.ones((count, 2)), np.eye(4),
            np.eye(2, 4), 0.01 * np.eye(4), np.eye(2))
    # A first call faults its memory in with the lock held (hundreds of ms on a slow host); the measured one
    # reuses it, so that its time is mostly the parallel map.
    STEP(*args)
    ticks, stop = [], threading.Event()
    t = threading.Thread(target=lambda: [ticks.append(time.perf_counter()) for _ in iter(stop.is_set, True)])
    t.start()
    try:
        time.sleep(0.01)
        start = time.perf_counter()
        STEP(*args)
        end = time.perf_counter()
    finally:
        stop.set()
        t.join()
    quarter = (end - start) / 4
    assert any(start + quarter < tick < end - quarter for tick in ticks)
