"""The worker pool behind batch_parallel_step: results independent of the
pool size, a pool that survives fork(), and concurrent callers."""

import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from vexel_ckf import _native
from batch_reference import digest, pool_banks

# Subprocesses import the same vexel_ckf that this test imported (installed or
# a development build), never the source tree without its binary.
PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(_native.__file__)))


def run_script(body, env_threads, timeout=120):
    path = [PACKAGE_PARENT, os.path.dirname(os.path.abspath(__file__)), os.environ.get("PYTHONPATH", "")]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(path), "VEXEL_CKF_NUM_THREADS": env_threads}
    script = "from vexel_ckf import _native\nfrom batch_reference import digest, pool_banks\n" + textwrap.dedent(body)
    proc = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.strip()


@pytest.fixture(scope="module")
def expected_digest():
    outputs = [_native.batch_parallel_step(*bank) for bank in pool_banks()]
    assert set(np.concatenate([out[3] for out in outputs]).tolist()) == {0, 1, 3}
    return digest(outputs)


# 1 and 3 threads must give this process's bytes; unusable counts fall back to a working pool.
@pytest.mark.parametrize("threads", ["1", "3", "0", "-2", "two", "", "3x", "99999999999999999999999"])
def test_results_are_bit_identical_for_every_pool_size(expected_digest, threads):
    body = "print(digest([_native.batch_parallel_step(*bank) for bank in pool_banks()]))"
    assert run_script(body, threads) == expected_digest


SHARED_POOL_BODY = """
    import multiprocessing as mp, os, threading, time

    banks = pool_banks()

    def compute(which=range(3)):
        return digest([_native.batch_parallel_step(*banks[i]) for i in which])

    expected = compute()  # the parent's pool exists now

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

    def fork_and_check():
        pid = os.fork()
        if pid == 0:
            try:
                os._exit(0 if compute() == expected else 3)
            except BaseException:
                os._exit(4)
        return wait_child(pid)

    # 1. Fork after the parent used the pool.
    print("idle", fork_and_check())

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
        results.append(fork_and_check())
    stop.set()
    worker.join()
    print("busy", results)

    # 3. multiprocessing's fork workers get pools of their own.
    each = [compute([i]) for i in range(3)]
    with mp.get_context("fork").Pool(2) as pool:
        print("multiprocessing", pool.map(compute, [[0], [1], [2], [0]]) == each + each[:1])

    # 4. Concurrent callers of the parent's pool each get their own results.
    failures = []
    def caller(i):
        try:
            for _ in range(10):
                if compute([i]) != each[i]:
                    failures.append(i)
        except BaseException as exc:
            failures.append(repr(exc))
    threads = [threading.Thread(target=caller, args=(i % 3,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    print("threads", [t.is_alive() for t in threads].count(True), failures)
    print("parent", compute() == expected)
"""


def test_pool_survives_fork_and_serves_concurrent_callers():
    out = run_script(SHARED_POOL_BODY, "2", timeout=300).splitlines()
    assert out == ["idle 0", "busy [0, 0, 0, 0, 0]", "multiprocessing True", "threads 0 []", "parent True"]


def test_other_python_threads_run_while_the_bank_is_computed():
    # The interpreter lock is released around the parallel map: a pure Python
    # thread gets to run in the middle of one long call (with the lock held
    # throughout it could not: the switch interval is milliseconds).
    count = 400_000
    args = (np.zeros((count, 4)), np.repeat(np.eye(4)[None], count, axis=0), np.ones((count, 2)), np.eye(4),
            np.eye(2, 4), 0.01 * np.eye(4), np.eye(2))
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
