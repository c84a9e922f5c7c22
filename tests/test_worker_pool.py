"""The worker pool behind batch_parallel_step: results independent of the
pool size, a pool that survives fork(), and concurrent callers."""

import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

from vexel_ckf import _native

# The child processes import the same package as this one: the installed copy
# under the README's test command, the source tree under PYTHONPATH=python.
PYTHON_DIR = os.path.dirname(os.path.dirname(os.path.abspath(_native.__file__)))

# A bank mixing every path: compile-time sizes, bounded run-time sizes, and
# filters with status 1 (singular S) and 3 (non-finite data).
MAKE_BANKS = textwrap.dedent(
    """
    import numpy as np

    def make_banks():
        banks = []
        for seed, (count, n, m) in enumerate([(20011, 4, 2), (3001, 7, 3), (997, 2, 2)]):
            rng = np.random.default_rng(seed)
            xs = rng.standard_normal((count, n))
            a = rng.standard_normal((count, n, n))
            ps = a @ np.swapaxes(a, 1, 2) / n + np.eye(n)
            zs = rng.standard_normal((count, m))
            f = np.eye(n) + 0.1 * rng.standard_normal((n, n))
            h = rng.standard_normal((m, n))
            q = 0.01 * np.eye(n)
            r = 0.1 * np.eye(m)
            xs[5, 0] = np.nan
            ps[17, 1, 0] = np.inf
            zs[33, m - 1] = np.nan
            if n == 2:
                h = np.array([[1.0, 0.0], [1.0, 0.0]])
                r = np.zeros((2, 2))
                ps[:] = np.eye(2)
                xs[:] = 0.0
            banks.append((xs, ps, zs, f, h, q, r))
        return banks

    def digest(outputs):
        import hashlib
        h = hashlib.sha256()
        for out in outputs:
            for a in out:
                h.update(a.tobytes())
        return h.hexdigest()
    """
)


def run_script(body, env_threads=None, timeout=120):
    env = dict(os.environ)
    env["PYTHONPATH"] = PYTHON_DIR + os.pathsep + env.get("PYTHONPATH", "")
    env.pop("VEXEL_CKF_NUM_THREADS", None)
    if env_threads is not None:
        env["VEXEL_CKF_NUM_THREADS"] = env_threads
    script = MAKE_BANKS + "\nfrom vexel_ckf import _native\n" + textwrap.dedent(body)
    proc = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.strip()


DIGEST_BODY = """
    outputs = [_native.batch_parallel_step(*bank) for bank in make_banks()]
    print(digest(outputs))
"""


def in_process_digest():
    namespace = {}
    exec(MAKE_BANKS, namespace)
    outputs = [_native.batch_parallel_step(*bank) for bank in namespace["make_banks"]()]
    statuses = np.concatenate([out[3] for out in outputs])
    assert set(statuses.tolist()) == {0, 1, 3}
    return namespace["digest"](outputs)


def test_results_are_bit_identical_for_every_pool_size():
    expected = in_process_digest()
    for threads in ("1", "3"):
        assert run_script(DIGEST_BODY, env_threads=threads) == expected


@pytest.mark.parametrize("value", ["0", "-2", "two", "", "3x", "99999999999999999999999"])
def test_unusable_thread_counts_fall_back_to_a_working_pool(value):
    assert run_script(DIGEST_BODY, env_threads=value) == in_process_digest()


FORK_BODY = """
    import os, sys, threading, time

    banks = make_banks()
    expected = digest([_native.batch_parallel_step(*b) for b in banks])  # the parent's pool exists now

    def wait_child(pid, deadline=60.0):
        end = time.monotonic() + deadline
        while time.monotonic() < end:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                return os.waitstatus_to_exitcode(status)
            time.sleep(0.01)
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        return "hung"

    def child_check():
        try:
            got = digest([_native.batch_parallel_step(*b) for b in banks])
            os._exit(0 if got == expected else 3)
        except BaseException:
            os._exit(4)

    # 1. Fork after the parent used the pool.
    pid = os.fork()
    if pid == 0:
        child_check()
    print("idle", wait_child(pid))

    # 2. Fork while another thread of the parent is inside the pool.
    stop = threading.Event()
    def busy():
        while not stop.is_set():
            _native.batch_parallel_step(*banks[0])
    worker = threading.Thread(target=busy)
    worker.start()
    results = []
    for _ in range(5):
        time.sleep(0.02)
        pid = os.fork()
        if pid == 0:
            child_check()
        results.append(wait_child(pid))
    stop.set()
    worker.join()
    print("busy", results)

    # 3. The parent's pool still works.
    print("parent", digest([_native.batch_parallel_step(*b) for b in banks]) == expected)
"""


def test_pool_survives_fork():
    out = run_script(FORK_BODY, env_threads="2", timeout=300).splitlines()
    assert out == ["idle 0", "busy [0, 0, 0, 0, 0]", "parent True"]


MULTIPROCESSING_BODY = """
    import multiprocessing as mp

    banks = make_banks()

    def work(i):
        return digest([_native.batch_parallel_step(*banks[i])])

    expected = [work(i) for i in range(3)]
    with mp.get_context("fork").Pool(2) as pool:
        got = pool.map(work, [0, 1, 2, 0])
    print(got == expected + expected[:1])
"""


def test_multiprocessing_fork_workers_use_their_own_pool():
    assert run_script(MULTIPROCESSING_BODY, timeout=300) == "True"


def test_concurrent_callers_each_get_their_own_results():
    rng = np.random.default_rng(21)
    banks = []
    for count, n, m in [(4000, 4, 2), (1500, 6, 3), (800, 9, 4), (3000, 2, 1)]:
        xs = rng.standard_normal((count, n))
        ps = np.repeat(np.eye(n)[None], count, axis=0) * rng.uniform(0.5, 2.0, (count, 1, 1))
        zs = rng.standard_normal((count, m))
        banks.append((xs, ps, zs, np.eye(n), rng.standard_normal((m, n)), 0.01 * np.eye(n), np.eye(m)))
    expected = [_native.batch_parallel_step(*b) for b in banks]
    failures = []

    def caller(i):
        try:
            for _ in range(15):
                got = _native.batch_parallel_step(*banks[i])
                if not all(np.array_equal(g, e) for g, e in zip(got, expected[i])):
                    failures.append(i)
        except BaseException as exc:  # reported below
            failures.append(repr(exc))

    threads = [threading.Thread(target=caller, args=(i % len(banks),)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    assert failures == []


def test_other_python_threads_run_while_the_bank_is_computed():
    # The interpreter lock is released around the parallel map: a pure
    # Python thread gets to run in the middle of one long call (with the lock
    # held throughout it could not: the switch interval is milliseconds).
    import time

    count = 400_000
    xs = np.zeros((count, 4))
    ps = np.repeat(np.eye(4)[None], count, axis=0)
    zs = np.ones((count, 2))
    args = (xs, ps, zs, np.eye(4), np.eye(2, 4), 0.01 * np.eye(4), np.eye(2))
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.perf_counter())

    t = threading.Thread(target=ticker)
    t.start()
    try:
        time.sleep(0.01)
        start = time.perf_counter()
        _native.batch_parallel_step(*args)
        end = time.perf_counter()
    finally:
        stop.set()
        t.join()
    quarter = (end - start) / 4
    assert any(start + quarter < tick < end - quarter for tick in ticks)
