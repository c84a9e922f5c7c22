"""Nonlinear panels: each sequence against a lone VexelCKF run and smooth (bit for bit), through gaps, per-sequence
time steps, angles, failing sequences and both forms; a Python model against the compiled one; a linear model given
as a compiled model against the linear panel smoother; and the argument errors."""

import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import vexel_ckf as vx
from vexel_ckf import models

FORMS = pytest.mark.parametrize("square_root", [False, True], ids=["ckf", "srckf"])
Q5 = np.diag([0.1, 0.1, 0.5, 0.5, 1e-4])
R2 = np.diag([25.0, 1e-4])
P05 = np.diag([100.0, 100.0, 10.0, 10.0, 0.01])


def tracks(rng, count, steps, fx, hx, missed=0.1, per_sequence_dts=True):
    """Simulated coordinated-turn (or CTRV) tracks seen in range and bearing, with missed scans."""
    x0s = np.column_stack([rng.uniform(500, 1500, count), rng.uniform(-500, 500, count),
                           rng.uniform(-10, 10, count), rng.uniform(-10, 10, count), rng.uniform(-0.05, 0.05, count)])
    dts = rng.uniform(0.5, 1.5, (count, steps)) if per_sequence_dts else np.full((count, steps), 1.0)
    zs = np.empty((count, steps, 2))
    x = x0s.copy()
    for k in range(steps):
        x = np.vstack([np.asarray(fx(x[i:i + 1], dts[i, k])) for i in range(count)])
        zs[:, k] = np.asarray(hx(x)) + rng.normal(0, [5.0, 0.01], (count, 2))
    zs[rng.random((count, steps)) < missed] = np.nan
    return x0s, zs, dts


def lone(x0, P0, zs, dts, fx, hx, Q, R, square_root, steps=None):
    """VexelCKF.run then smooth over one sequence (its first `steps` rows)."""
    steps = zs.shape[0] if steps is None else steps
    kf = vx.VexelCKF(5, 2, 1.0, fx, hx, square_root=square_root)
    kf.x, kf.P, kf.Q, kf.R = x0, P0, Q, R
    run = kf.run(zs[:steps], dts=dts[:steps], nan_means_missing=True)
    return run, kf.smooth(run, dt=dts[:steps])


def bits(a, b):
    return a.shape == b.shape and a.tobytes() == b.tobytes()


@FORMS
@pytest.mark.parametrize("motion", ["coordinated_turn", "ctrv"])
def test_each_sequence_is_a_lone_run_and_smooth(square_root, motion):
    rng = np.random.default_rng(3)
    fx, hx = getattr(models, motion)(), models.range_bearing()
    x0s, zs, dts = tracks(rng, 6, 40, fx, hx)
    if motion == "ctrv":  # [px, py, heading, speed, turn rate]
        x0s[:, 2] = rng.uniform(-np.pi, np.pi, 6)
        x0s[:, 3] = rng.uniform(5, 15, 6)
    Ps = np.stack([P05 * (1 + 0.1 * i) for i in range(6)])
    out = vx.cubature_filter(x0s, Ps, zs, fx, hx, Q5, R2, dts=dts, nan_means_missing=True, square_root=square_root)
    sm = vx.cubature_panel_smoother(x0s, Ps, zs, fx, hx, Q5, R2, dts=dts, nan_means_missing=True,
                                    square_root=square_root)
    lean = vx.cubature_panel_smoother(x0s, Ps, zs, fx, hx, Q5, R2, dts=dts, nan_means_missing=True,
                                      square_root=square_root, covariances=False)
    assert (out.status == 0).all() and (sm.status == 0).all()
    assert np.isnan(zs[:, :, 0]).any()
    for i in range(6):
        run, smooth = lone(x0s[i], Ps[i], zs[i], dts[i], fx, hx, Q5, R2, square_root)
        for name in run._fields:
            assert bits(getattr(run, name), getattr(out, name)[i]), (i, name)
        assert bits(smooth.xs, sm.xs[i]) and bits(smooth.Ps, sm.Ps[i]) and bits(smooth.xs, lean.xs[i])
        total = sum(v for v in run.log_likelihoods if not np.isnan(v))
        assert out.log_likelihood[i] == pytest.approx(total, rel=1e-13)
        assert sm.log_likelihood[i] == out.log_likelihood[i]
    assert lean.Ps is None
    if motion == "ctrv":  # the heading is an angle: wrapped in every output
        assert np.abs(sm.xs[:, :, 2]).max() <= np.pi


def test_per_step_and_per_sequence_noise_against_a_stepped_filter():
    """Q per step and R per sequence, against VexelCKF stepped by hand with the fields set before each step."""
    rng = np.random.default_rng(5)
    fx, hx = models.coordinated_turn(), models.range_bearing()
    x0s, zs, dts = tracks(rng, 3, 25, fx, hx, missed=0.0, per_sequence_dts=False)
    Qs = np.stack([Q5 * (1 + 0.05 * k) for k in range(25)])
    Rs = np.stack([R2 * (1 + i) for i in range(3)])
    out = vx.cubature_filter(x0s, P05, zs, fx, hx, Qs, Rs, dts=dts[0])
    sm = vx.cubature_panel_smoother(x0s, P05, zs, fx, hx, Qs, Rs, dts=dts[0])
    for i in range(3):
        kf = vx.VexelCKF(5, 2, 1.0, fx, hx)
        kf.x, kf.P, kf.R = x0s[i], P05, Rs[i]
        for k in range(25):
            kf.Q = Qs[k]
            kf.predict(dt=dts[0, k])
            kf.update(zs[i, k])
            assert bits(kf.x, out.xs[i, k]) and bits(kf.P, out.Ps[i, k])
        ref = vx.cubature_smoother(out.xs[i], out.Ps[i], fx, Qs, dts[0])
        assert bits(ref.xs, sm.xs[i]) and bits(ref.Ps, sm.Ps[i])


@FORMS
def test_failing_sequences_stop_alone(square_root):
    """A covariance that overflows and an absurd measurement stop their sequences; the others keep their bits,
    and the stopped ones keep the lone filter's bits up to where they stopped."""
    rng = np.random.default_rng(7)
    fx, hx = models.coordinated_turn(), models.range_bearing()
    x0s, zs, dts = tracks(rng, 6, 50, fx, hx)
    Ps = np.broadcast_to(P05, (6, 5, 5)).copy()
    Ps[1] = np.eye(5) * 1e300
    zs[4, 30:] = 1e300
    out = vx.cubature_filter(x0s, Ps, zs, fx, hx, Q5, R2, dts=dts, nan_means_missing=True, square_root=square_root)
    sm = vx.cubature_panel_smoother(x0s, Ps, zs, fx, hx, Q5, R2, dts=dts, nan_means_missing=True,
                                    square_root=square_root)
    assert out.status.tolist() == [0, 2, 0, 0, 2, 0] and sm.status.tolist() == out.status.tolist()
    assert np.isnan(out.log_likelihood[[1, 4]]).all() and np.isfinite(out.log_likelihood[[0, 2, 3, 5]]).all()
    for i in range(6):
        stop = int(np.argmax(np.isnan(out.xs[i, :, 0]))) if out.status[i] else 50
        assert np.isnan(out.xs[i, stop:]).all() and np.isnan(sm.xs[i, stop:]).all()
        assert np.isnan(out.Ps_prior[i, stop:]).all() and np.isnan(out.nis[i, stop:]).all()
        if stop == 0:
            continue
        kf = vx.VexelCKF(5, 2, 1.0, fx, hx, square_root=square_root)
        kf.x, kf.P, kf.Q, kf.R = x0s[i], Ps[i], Q5, R2
        run = kf.run(zs[i, :stop], dts=dts[i, :stop], nan_means_missing=True)
        assert bits(run.xs, out.xs[i, :stop]) and bits(run.Ps, out.Ps[i, :stop])
        try:
            smooth = kf.smooth(run, dt=dts[i, :stop])
        except RuntimeError:  # the smoother of what was filtered fails too: the sequence is NaN throughout
            assert np.isnan(sm.xs[i]).all() and sm.status[i] == 2
        else:
            assert bits(smooth.xs, sm.xs[i, :stop]) and bits(smooth.Ps, sm.Ps[i, :stop])
    assert 0 < int(np.argmax(np.isnan(out.xs[4, :, 0]))) <= 31
    # The lone filter fails at that step too.
    stop = int(np.argmax(np.isnan(out.xs[4, :, 0])))
    with pytest.raises((RuntimeError, ValueError)):
        lone(x0s[4], Ps[4], zs[4], dts[4], fx, hx, Q5, R2, square_root, steps=stop + 1)


@FORMS
def test_python_models_match_compiled_ones_with_one_call_per_step(square_root):
    rng = np.random.default_rng(11)
    fx, hx = models.coordinated_turn(), models.range_bearing()
    x0s, zs, dts = tracks(rng, 5, 30, fx, hx)
    calls = {"fx": 0, "hx": 0}

    def py_fx(X, dt):
        calls["fx"] += 1
        return np.asarray(fx(X, dt))

    def py_hx(X):
        calls["hx"] += 1
        return np.asarray(hx(X))

    kw = dict(nan_means_missing=True, square_root=square_root)
    for func in (vx.cubature_filter, vx.cubature_panel_smoother):
        for d in (dts[0], dts):
            calls.update(fx=0, hx=0)
            got = func(x0s, P05, zs, py_fx, py_hx, Q5, R2, dts=d, angle_measurements=[1], **kw)
            want = func(x0s, P05, zs, fx, hx, Q5, R2, dts=d, **kw)
            for a, b in zip(got, want):
                assert bits(a, b)
            observed = int((~np.isnan(zs[:, :, 0])).any(axis=0).sum())
            assert calls["hx"] == observed
            if d.ndim == 1:  # a time step shared by the panel: one call per step (and per smoother step)
                assert calls["fx"] == 30 + (29 if func is vx.cubature_panel_smoother else 0)
            # A compiled fx with a Python hx: the compiled one runs natively on the whole block.
            mixed = func(x0s, P05, zs, fx, py_hx, Q5, R2, dts=d, angle_measurements=[1], **kw)
            for a, b in zip(mixed, want):
                assert bits(a, b)


def test_bad_model_output_is_that_sequence_status_3():
    """A Python model giving NaN for one sequence's points, and a compiled model failing on them."""
    rng = np.random.default_rng(13)
    fx, hx = models.coordinated_turn(), models.range_bearing()
    x0s, zs, dts = tracks(rng, 4, 20, fx, hx, missed=0.0, per_sequence_dts=False)
    x0s[2, 0] = 1e7  # far away: the models below refuse it

    def py_fx(X, dt):
        Y = np.asarray(fx(X, dt))
        Y[X[:, 0] > 1e6] = np.nan
        return Y

    for func in (vx.cubature_filter, vx.cubature_panel_smoother):
        out = func(x0s, P05, zs, py_fx, hx, Q5, R2, dts=1.0)
        ref = func(np.delete(x0s, 2, 0), P05, np.delete(zs, 2, 0), fx, hx, Q5, R2, dts=1.0)
        assert out.status.tolist() == [0, 0, 3, 0]
        assert np.isnan(out.xs[2]).all()
        assert bits(np.delete(out.xs, 2, 0), ref.xs)
    numba = pytest.importorskip("numba")
    del numba

    @vx.compiled_fx(5)
    def refusing(x, dt, out):
        if x[0] > 1e6:
            return 5
        w = x[4]
        for j in range(5):
            out[j] = x[j]
        out[0] += dt * x[2]
        out[1] += dt * x[3]
        out[4] = w
        return 0

    sm = vx.cubature_panel_smoother(x0s, P05, zs, refusing, hx, Q5, R2, dts=1.0)
    assert sm.status.tolist() == [0, 0, 3, 0] and np.isnan(sm.xs[2]).all() and np.isfinite(sm.xs[[0, 1, 3]]).all()


def test_linear_model_as_compiled_models_matches_the_linear_panel_smoother():
    rng = np.random.default_rng(17)
    dt = 0.5
    F = np.array([[1, dt, 0, 0], [0, 1, 0, 0], [0, 0, 1, dt], [0, 0, 0, 1.0]])
    H = np.array([[1.0, 0, 0, 0], [0, 0, 1.0, 0]])
    Q = 0.01 * np.eye(4) + 0.001
    R = np.diag([0.5, 0.8])
    x0s = rng.normal(size=(8, 4))
    zs = rng.normal(size=(8, 60, 2)).cumsum(axis=1)
    zs[rng.random((8, 60)) < 0.15] = np.nan
    sm = vx.cubature_panel_smoother(x0s, np.eye(4), zs, models.linear(F), models.linear_measurement(H), Q, R,
                                    dts=dt, nan_means_missing=True)
    ref = vx.batch_smoother(x0s, np.eye(4), zs, F, H, Q, R, nan_means_missing=True)
    np.testing.assert_allclose(sm.xs, ref.xs, rtol=0, atol=1e-10)
    np.testing.assert_allclose(sm.Ps, ref.Ps, rtol=0, atol=1e-10)
    np.testing.assert_allclose(sm.log_likelihood, ref.log_likelihood, rtol=1e-12)


def test_one_sequence_has_no_panel_axis():
    rng = np.random.default_rng(19)
    fx, hx = models.coordinated_turn(), models.range_bearing()
    x0s, zs, dts = tracks(rng, 2, 15, fx, hx)
    one = vx.cubature_filter(x0s[1], P05, zs[1], fx, hx, Q5, R2, dts=dts[1], nan_means_missing=True)
    panel = vx.cubature_filter(x0s, P05, zs, fx, hx, Q5, R2, dts=dts, nan_means_missing=True)
    assert one.xs.shape == (15, 5) and np.ndim(one.status) == 0 and np.ndim(one.log_likelihood) == 0
    for a, b in zip(one, panel):
        assert bits(np.asarray(a), np.asarray(b[1]))


def test_results_do_not_depend_on_the_pool_size():
    script = (
        "import hashlib, numpy as np, vexel_ckf as vx, sys\n"
        "from vexel_ckf import models\n"
        "rng = np.random.default_rng(23)\n"
        "M, N = 37, 30\n"
        "x0s = np.column_stack([rng.uniform(500, 900, M), rng.uniform(-99, 99, M), rng.normal(0, 5, (M, 2)),"
        " rng.normal(0, 0.03, M)])\n"
        "zs = np.column_stack([rng.uniform(600, 900, (M * N, 1)), rng.uniform(-1, 1, (M * N, 1))]).reshape(M, N, 2)\n"
        "zs[rng.random((M, N)) < 0.1] = np.nan\n"
        "sm = vx.cubature_panel_smoother(x0s, np.eye(5), zs, models.coordinated_turn(), models.range_bearing(),"
        " np.eye(5) * 0.1, np.diag([25, 1e-4]), dts=rng.uniform(0.5, 1.5, (M, N)), nan_means_missing=True)\n"
        "assert (sm.status == 0).all()\n"
        "sys.stdout.write(hashlib.sha256(sm.xs.tobytes() + sm.Ps.tobytes()).hexdigest())\n")
    outputs = set()
    for threads in ("1", "2", "3"):
        env = dict(os.environ, VEXEL_CKF_NUM_THREADS=threads)
        outputs.add(subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True,
                                   check=True, timeout=120).stdout)
    assert len(outputs) == 1


@pytest.mark.parametrize("change, error, match", [
    (dict(zs=np.full((2, 4, 2), 1.0)[..., :1]), ValueError, "hx"),
    (dict(Q=np.ones((3, 3))), ValueError, r"Q must have shape \(5, 5\)"),
    (dict(Q=np.ones((1, 1))), ValueError, r"Q must have shape \(5, 5\).*got \(1, 1\)"),
    (dict(Q=np.full((4, 1, 5, 3), np.nan)), ValueError, r"Q must have shape"),
    (dict(Q=np.ones((4, 5, 5))), ValueError, "ambiguous with M = N = 4"),
    (dict(R=np.full((2, 2), np.nan)), ValueError, "R contains non-finite"),
    (dict(dts=np.ones(3)), ValueError, "dts must be one value"),
    (dict(x0s=np.ones((3, 5))), ValueError, r"x0s must have shape \(dim_x,\) or \(M, dim_x\) with M = 4"),
    (dict(P0=np.ones((4, 4))), ValueError, "P0 must have shape"),
    (dict(zs=np.ones((4, 4, 0))), ValueError, "at least one"),
    (dict(angle_states=[5]), ValueError, "angle_states holds 5"),
    (dict(fx=models.range_bearing()), TypeError, "hx model"),
])
def test_argument_errors_name_the_argument(change, error, match):
    args = dict(x0s=np.ones(5) * 100, P0=P05, zs=np.ones((4, 4, 2)), fx=models.coordinated_turn(),
                hx=models.range_bearing(), Q=Q5, R=R2, dts=1.0)
    args.update(change)
    with pytest.raises(error, match=match):
        vx.cubature_filter(**args)


@pytest.mark.parametrize("row, match", [
    ([np.nan, 1.0], r"zs\[2, 3\] \(sequence 2, step 3\) is partly NaN"),
    ([np.inf, 1.0], r"zs\[2, 3\] \(sequence 2, step 3\) contains infinite values"),
])
def test_unusable_rows_name_sequence_and_step(row, match):
    zs = np.ones((4, 5, 2)) * 100
    zs[2, 3] = row
    with pytest.raises(ValueError, match=match):
        vx.cubature_panel_smoother(np.ones(5), P05, zs, models.coordinated_turn(), models.range_bearing(), Q5, R2,
                                   nan_means_missing=True)
    zs[2, 3] = np.nan
    with pytest.raises(ValueError, match="nan_means_missing=True"):
        vx.cubature_filter(np.ones(5), P05, zs, models.coordinated_turn(), models.range_bearing(), Q5, R2)


def test_ctrl_c_stops_a_long_panel():
    if threading.current_thread() is not threading.main_thread() or not hasattr(signal, "pthread_kill"):
        pytest.skip("needs signals delivered to the main thread")
    M, N = 8000, 500  # four million sequence-steps: seconds of work
    zs = np.tile([[800.0, 0.1]], (M, N, 1))
    timer = threading.Timer(0.3, lambda: signal.pthread_kill(threading.main_thread().ident, signal.SIGINT))
    start = time.perf_counter()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        vx.cubature_panel_smoother(np.array([800.0, 0, 1, 1, 0]), P05, zs, models.coordinated_turn(),
                                   models.range_bearing(), Q5, R2, covariances=False)
    stopped = time.perf_counter() - start
    timer.join()
    assert stopped < 0.3 + 1.5  # far less than the whole call; generous for a loaded machine


@pytest.mark.parametrize("func, callback, where", [
    (vx.cubature_filter, "fx", "at step 3"),
    (vx.cubature_filter, "hx", "at step 3"),
    (vx.cubature_panel_smoother, "fx", "at smoother step 1"),
])
def test_a_python_model_raising_stops_the_call_with_a_note(func, callback, where):
    fx, hx = models.coordinated_turn(), models.range_bearing()
    state = {"calls": 0}
    smoothing = func is vx.cubature_panel_smoother

    def failing(*args):
        state["calls"] += 1
        backward = smoothing and state["calls"] > 6
        if (state["calls"] == 4 and not smoothing) or (backward and state["calls"] == 6 + 4):
            raise ZeroDivisionError("model broke")
        return np.asarray((fx if callback == "fx" else hx)(*args))

    models_used = dict(fx=failing, hx=hx) if callback == "fx" else dict(fx=fx, hx=failing)
    with pytest.raises(ZeroDivisionError, match="model broke") as info:
        func(np.array([800.0, 0, 1, 1, 0]), P05, np.tile([[800.0, 0.1]], (3, 6, 1)), Q=Q5, R=R2,
             angle_measurements=[1], **models_used)
    if sys.version_info >= (3, 11):
        assert info.value.__notes__ == [f"raised by {callback} in a nonlinear panel {where}"]


@FORMS
def test_a_python_model_never_sees_a_stopped_sequence(square_root):
    """A sequence whose covariance cannot be factored stops before its model call; its points never reach the
    model (which here refuses any point past 40, as no sequence alone would ever give it)."""
    seen = []

    def fx(X, dt):
        seen.append(X[:, 0].max())
        if (X[:, 0] > 40).any():
            raise KeyError("a point no sequence alone gives")
        return X.copy()

    P0s = np.stack([np.eye(2), -np.eye(2)])  # the second is negative definite: no jitter makes it a covariance
    out = vx.cubature_filter(np.array([[0.0, 0], [50.0, 0]]), P0s, np.zeros((2, 3, 1)), fx,
                             lambda X: X[:, :1].copy(), 0.1, 1.0, square_root=square_root)
    assert out.status.tolist() == [0, 2] and np.isnan(out.xs[1]).all() and max(seen) < 40


def test_a_compiled_model_beside_a_python_one_fails_its_sequence_alone():
    pytest.importorskip("numba")

    @vx.compiled_hx(2, 1)
    def refusing(x, out):
        if x[0] > 1e6:
            return 4
        out[0] = x[0]
        return 0

    x0s = np.zeros((3, 2))
    x0s[1, 0] = 1e7
    zs = np.zeros((3, 5, 1))
    py_fx = lambda X, dt: X.copy()  # noqa: E731
    for func in (vx.cubature_filter, vx.cubature_panel_smoother):
        out = func(x0s, np.eye(2), zs, py_fx, refusing, 0.1 * np.eye(2), 1.0)
        assert out.status.tolist() == [0, 3, 0] and np.isnan(out.xs[1]).all() and np.isfinite(out.xs[[0, 2]]).all()


def test_first_sequence_is_bounded():
    from vexel_ckf import _engine
    zs = np.zeros((2, 1, 1))
    zs[1, 0, 0] = np.inf
    args = (np.zeros((2, 2)), np.broadcast_to(np.eye(2), (2, 2, 2)), zs, np.broadcast_to(np.eye(2), (2, 1, 2, 2)),
            np.broadcast_to(np.eye(1), (2, 1, 1, 1)), np.ones((2, 1)),
            (models.linear(np.eye(2)), (), models.linear_measurement(np.ones((1, 2))), ()), None, True, False, False,
            True)
    with pytest.raises(ValueError, match=r"first_sequence must be at most 2\*\*62"):
        _engine.cubature_panel(*args, 2**63 - 1)
    with pytest.raises(ValueError, match=r"zs\[4611686018427387905, 0\] \(sequence 4611686018427387905"):
        _engine.cubature_panel(*args, 2**62)
