"""Reliability under abuse: threads ended at interpreter exit, models that
overflow, fork() while the pool runs, pool sizes, and borrow conflicts that a
caller's callback causes."""

import os
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from vexel_ckf import _native
from vexel_ckf._native import CubatureKalmanFilter as CKF
from vexel_ckf._native import SquareRootCubatureKalmanFilter as SR
from support import digest, kalman_predict, kalman_update, pool_banks
from support import assert_same_state, busy_filter, state_of

PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(_native.__file__)))
PREDICTION = "prediction produced non-finite state"
UPDATE = "update produced non-finite state"


def run_script(body, threads="2", timeout=120):
    path = [PACKAGE_PARENT, os.path.dirname(os.path.abspath(__file__)), os.environ.get("PYTHONPATH", "")]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(path), "VEXEL_CKF_NUM_THREADS": threads}
    script = "import numpy as np, os, threading, time\nfrom vexel_ckf import _native\n" + textwrap.dedent(body)
    return subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=timeout)


# A daemon thread inside a native call when the main thread ends the program:
# the interpreter ends it by a forced unwind that must pass through.
EXIT_SCRIPTS = {
    "bank": """
        args = (np.zeros((20000, 6)), np.tile(np.eye(6), (20000, 1, 1)), np.ones((20000, 3)),
                np.eye(6), np.ones((3, 6)), np.eye(6), np.eye(3))
        loop = lambda: [_native.batch_parallel_step(*args) for _ in range(10**6)]
    """,
    "fx": """
        f = _native.CubatureKalmanFilter(2, 2, 0.1)
        loop = lambda: [f.predict_custom(lambda X, dt: time.sleep(0.001) or X) for _ in range(10**6)]
    """,
    "hx_with_borrowed_z": """
        f = _native.SquareRootCubatureKalmanFilter(2, 2, 0.1)
        loop = lambda: [f.update(np.zeros(2), lambda X: time.sleep(0.001) or X, np.eye(2)) for _ in range(10**6)]
    """,
    # The interpreter exits while the thread is inside the bank's NumPy-heavy callback or waiting for the
    # lock after a native half of the step: ended there, it must leave its references alone.
    "ckf_bank": """
        from vexel_ckf import CKFBank
        def fx(X, dt):
            for _ in range(4):
                t = np.sin(X) * np.cos(X) + X
            return X.copy()
        b = CKFBank(3000, 4, 2, 1.0, fx=fx, hx=lambda X: X[:, :2].copy())
        loop = lambda: [b.predict() for _ in range(10**6)]
    """,
}
# Each run ends the thread at a random point; the bank's step has the most such points.
EXIT_RUNS = {"ckf_bank": 10}


@pytest.mark.parametrize("name", list(EXIT_SCRIPTS))
def test_daemon_thread_inside_a_native_call_at_exit(name):
    body = textwrap.dedent(EXIT_SCRIPTS[name]) + "threading.Thread(target=loop, daemon=True).start()\ntime.sleep(0.3)\n"
    for _ in range(EXIT_RUNS.get(name, 3)):
        proc = run_script(body)
        assert (proc.returncode, proc.stderr) == (0, "")


def singular_p(f):
    """A P whose cubature points need jitter, so a recorded jitter would show."""
    n = f.get("x").shape[0]
    f.set("P", np.diag([2.0] * (n - 1) + [0.0]))
    return f


def tiny_r(f):
    f.set("R", 1e-12 * np.eye(2))
    return f


def set_x(value):
    return lambda f: f.set("x", np.asarray(value, dtype=float)) or f


# (class, dim_x, dim_z, preparation, operation, message)
OVERFLOWS = {
    "ckf_fx": (CKF, 3, 2, singular_p, lambda f: f.predict_custom(lambda X, dt: X * 1e300), PREDICTION),
    "sr_fx": (SR, 3, 2, None, lambda f: f.predict_custom(lambda X, dt: X * 1e300), PREDICTION),
    "ckf_hx": (CKF, 3, 2, singular_p, lambda f: f.update(np.zeros(2), lambda X: X[:, :2] * 1e300), UPDATE),
    # An innovation beyond the double range times a large gain overflows x alone.
    "ckf_gain": (CKF, 3, 2, tiny_r, lambda f: f.update(np.full(2, -1.7e308), lambda X: X[:, :2] * 1e-3), UPDATE),
    "sr_gain": (SR, 3, 2, tiny_r, lambda f: f.update(np.full(2, -1.7e308), lambda X: X[:, :2] * 1e-3), UPDATE),
    "linear": (CKF, 3, 2, None, lambda f: f.predict_linear_model(1e200 * np.eye(3)), PREDICTION),
    "linear_ckf": (CKF, 3, 2, singular_p, lambda f: f.predict_linear_model_ckf(1e200 * np.eye(3)), PREDICTION),
    "standard": (CKF, 4, 2, lambda f: f.set_dt(1e300), lambda f: f.predict_standard_model("constant_velocity"),
                 PREDICTION),
    "standard_ckf": (CKF, 4, 2, lambda f: singular_p(f).set_dt(1e300),
                     lambda f: f.predict_standard_model_ckf("constant_velocity", "interleaved"), PREDICTION),
    "ahrs": (CKF, 4, 6, set_x([1e300, 1e300, 0.0, 0.0]),
             lambda f: f.update_paper_ahrs(np.array([0.0, 0.0, 9.8, 0.3, 0.0, 0.4]), 0.01, 0.04), UPDATE),
}


@pytest.mark.parametrize("name", list(OVERFLOWS))
@pytest.mark.filterwarnings("ignore:overflow encountered")
def test_overflowing_step_fails_and_changes_nothing(name):
    cls, n, m, prepare, operation, message = OVERFLOWS[name]
    f = busy_filter(cls, n, m)
    if prepare is not None:
        prepare(f)
    before = state_of(f)
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        operation(f)
    if cls is SR and message == UPDATE:
        # As for every failure of its update, the square-root filter has
        # already started last_jitter afresh for this update.
        assert_same_state(before, state_of(f), skip=("last_jitter",))
        assert f.get("last_jitter") == 0.0
    else:
        assert_same_state(before, state_of(f))
    # The filter goes on normally from the state it kept.
    f.predict_custom(lambda X, dt: X)


def test_bank_filter_whose_update_overflows_gets_no_update():
    f, h, q, r = 1e5 * np.eye(2), np.array([[1.0, 0.5]]), 0.01 * np.eye(2), np.array([[0.2]])
    xs, ps, zs = np.array([[1.0, -1.0], [2.0, 0.5]]), np.stack([np.eye(2), 1e300 * np.eye(2)]), np.array([[3.0], [1.0]])
    x_new, p_new, ll, status = _native.batch_parallel_step(xs, ps, zs, f, h, q, r)
    assert status.tolist() == [0, 2] and ll[1] == -np.inf
    x0, p0, ll0 = kalman_update(*kalman_predict(xs[0], ps[0], f, q), zs[0], h, r)
    np.testing.assert_allclose(x_new[0], x0, rtol=1e-9)
    np.testing.assert_allclose(p_new[0], p0, rtol=1e-9)
    assert ll[0] == pytest.approx(ll0["ll"], rel=1e-9)
    with np.errstate(over="ignore"):
        x1, p1 = kalman_predict(xs[1], ps[1], f, q)  # the prediction (P overflowed to inf)
    np.testing.assert_array_equal(x_new[1], x1)
    np.testing.assert_array_equal(p_new[1], p1)


def test_infinite_innovation_pivot_is_a_failed_factorisation():
    # S = 1e400 overflows: its Cholesky factor does not exist, the fallback
    # inverse (0) leaves the prediction, and the likelihood is 0.
    one = np.ones((1, 1))
    x, p, ll, status = _native.batch_parallel_step(one, one[None], 0 * one, one, 1e200 * one, 0 * one, one)
    assert (x.tolist(), p.tolist(), ll.tolist(), status.tolist()) == ([[1.0]], [[[1.0]]], [-np.inf], [1])


def test_batch_filter_names_the_step_whose_state_overflows():
    steps, eye = 3, np.eye(2)
    fs = np.stack([eye, 1e200 * eye, eye])
    args = (np.zeros(2), eye, np.zeros((steps, 1)), fs, np.ones((steps, 1, 2)), np.tile(0.1 * eye, (steps, 1, 1)),
            np.ones((steps, 1, 1)))
    with pytest.raises(RuntimeError, match=r"^x or P contains non-finite values \(NaN or inf\) at step 1$"):
        _native.batch_filter_linear(*args)


@pytest.mark.not_sanitized("the sanitizer runtime's allocator is not fork-safe: a child forked while another thread "
                           "allocates can wait forever on an allocator lock that thread held")
def test_fork_while_a_thread_is_inside_the_bank():
    body = """
        M = 20000
        xs, ps, zs = np.zeros((M, 6)), np.tile(np.eye(6), (M, 1, 1)), np.ones((M, 3))
        stop = threading.Event()
        def loop():
            while not stop.is_set():
                _native.batch_parallel_step(xs, ps, zs, np.eye(6), np.ones((3, 6)), np.eye(6), np.eye(3))
        worker = threading.Thread(target=loop)
        worker.start()
        f = _native.CubatureKalmanFilter(6, 3, 0.1)
        out = (xs, ps, xs, ps, np.zeros(M), np.zeros(M))
        codes, refused = [], set()
        try:
            for _ in range(6):
                time.sleep(0.02)
                pid = os.fork()
                if pid == 0:  # only this thread exists here: nothing holds the arrays
                    try:
                        f.record_step(0, out)
                        os._exit(0)
                    except BaseException:
                        os._exit(1)
                codes.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
                try:  # here the bank may still be reading xs
                    f.record_step(0, out)
                except RuntimeError as e:
                    refused.add(str(e))
        finally:
            stop.set()
            worker.join()
        print((codes, sorted(refused)))
    """
    proc = run_script(body)
    assert proc.returncode == 0, proc.stderr
    codes, refused = eval(proc.stdout)
    assert codes == [0] * 6
    assert set(refused) <= {"out[0] shares memory with argument 'xs', which native code is still reading"}


def banks_with_small_calls():
    banks = pool_banks()
    first = banks[0]
    return banks + [tuple(a[:k] for a in first[:3]) + first[3:] for k in (1, 2, 5)]


@pytest.mark.parametrize("threads", ["2", "64"])
def test_results_are_bit_identical_for_small_and_large_calls(threads):
    expected = digest([_native.batch_parallel_step(*bank) for bank in banks_with_small_calls()])
    body = """
        from support import digest
        from test_reliability import banks_with_small_calls
        print(digest([_native.batch_parallel_step(*bank) for bank in banks_with_small_calls()]))
    """
    proc = run_script(body, threads)
    assert (proc.returncode, proc.stdout.strip()) == (0, expected), proc.stderr


@pytest.mark.parametrize("cls", [CKF, SR], ids=["ckf", "srckf"])
@pytest.mark.parametrize("which", ["z", "r"])
def test_callback_writing_into_the_update_arrays(cls, which):
    """The square-root update reads z and r for its whole call; a callback
    that writes into them is refused with the caller's error, the covariance
    form (which copied them) lets it write."""
    z_rows, r = np.array([[0.5, -0.5]]), np.eye(2)
    target = z_rows if which == "z" else r
    writer = CKF(2, 2, 0.1)
    writer.set("x", np.array([7.0, 8.0]))
    writer.clear_update_diagnostics()  # x_post = x
    out = (target, np.zeros((2, 2, 2)), np.zeros((2, 2)), np.zeros((2, 2, 2)), np.zeros(2), np.zeros(2))

    def hx(X):
        writer.record_step(0, out)
        return X

    f = cls(2, 2, 0.1)
    if cls is SR:
        message = f"out[0] shares memory with argument '{which}', which native code is still reading"
        with pytest.raises(RuntimeError, match=f"^{re.escape(message)}$"):
            f.update(z_rows[0], hx, r)
        assert target[0].tolist() != [7.0, 8.0]
    else:
        f.update(z_rows[0], hx, r)
        assert target[0].tolist() == [7.0, 8.0]
