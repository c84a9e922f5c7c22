"""The fixed-lag smoother: run(lag=L) and kf.fixed_lag(L) against the full
cubature smoother over each prefix of the filtered trace (bit for bit), a
textbook Kalman filter and RTS smoother written here (linear model), and its
own invariants (memory, the filter left as without lag, errors)."""

import numpy as np
import pytest

import vexel_ckf
from vexel_ckf import FixedLagRunResult, RunResult, VexelCKF, cubature_smoother, models

FORMS = pytest.mark.parametrize("sr", [False, True], ids=["cov", "sqrt"])


def turn(X, dt):
    """Constant turn rate, state (px, py, heading, speed, turn rate); the heading is an angle."""
    px, py, h, v, w = X.T
    return np.column_stack([px + v * dt * np.cos(h), py + v * dt * np.sin(h), h + w * dt, v, w])


def radar(X):
    return np.column_stack([np.hypot(X[:, 0], X[:, 1]), np.arctan2(X[:, 1], X[:, 0])])


def turn_filter(sr, angles=True):
    kf = VexelCKF(5, 2, 0.5, fx=turn, hx=radar, square_root=sr,
                  angle_states=[2] if angles else None, angle_measurements=[1],
                  nan_means_missing=True)
    kf.x = [30.0, 5.0, 3.0, 2.0, 0.3]  # heading near pi: the wrap is exercised
    kf.P = np.diag([4.0, 4.0, 0.3, 0.5, 0.05])
    kf.Q = np.diag([1e-3, 1e-3, 1e-3, 1e-2, 1e-3])
    kf.R = np.diag([0.5, 1e-3])
    return kf


def turn_scans(steps=24, seed=5):
    if steps < 24:
        zs, dts = turn_scans(24, seed)
        return zs[:steps], dts[:steps]
    rng = np.random.default_rng(seed)
    zs = np.column_stack([30.0 + np.cumsum(rng.normal(-0.5, 0.3, steps)),
                          np.linspace(0.2, 3.3, steps) + rng.normal(0, 0.02, steps)])
    zs[:, 1] = np.angle(np.exp(1j * zs[:, 1]))  # bearings wrapped, crossing pi
    zs[[5, 6, 13]] = np.nan  # missed scans
    dts = rng.uniform(0.1, 0.9, steps)
    dts[[3, 9]] = 0.0  # two scans at the same time
    return zs, dts


def prefix_smoothed(kf, result, k, dts):
    """The full cubature smoother over the filtered rows 0..k."""
    return cubature_smoother(result.xs[:k + 1], result.Ps[:k + 1], kf.fx, kf.Q,
                             kf.dt if dts is None else dts[:k + 1], kf.fx_args,
                             square_root=kf.square_root, angle_states=kf.angle_states or None)


def assert_prefix_equal(kf, result, lag, dts):
    steps = len(result.xs)
    assert np.isnan(result.xs_smoothed[:lag]).all() and np.isnan(result.Ps_smoothed[:lag]).all()
    for k in range(lag, steps):
        full = prefix_smoothed(kf, result, k, dts)
        # Bit for bit: the same arithmetic in the same order.
        assert result.xs_smoothed[k].tobytes() == full.xs[k - lag].tobytes(), k
        assert result.Ps_smoothed[k].tobytes() == full.Ps[k - lag].tobytes(), k


@FORMS
@pytest.mark.parametrize("lag", [0, 1, 3, 40])
@pytest.mark.parametrize("timing", ["dt", "dts"])
def test_run_with_lag_equals_the_full_smoother_on_every_prefix(sr, lag, timing):
    zs, dts = turn_scans()
    dts = dts if timing == "dts" else None
    kf = turn_filter(sr)
    result = kf.copy().run(zs, dts=dts, lag=lag)
    assert isinstance(result, FixedLagRunResult)
    assert_prefix_equal(kf, result, lag, dts)
    if lag == 0 and not sr:
        # Lag 0 is the filter itself (the smoother's last step returns it).
        assert np.array_equal(result.xs_smoothed, result.xs) and np.array_equal(result.Ps_smoothed, result.Ps)


@FORMS
@pytest.mark.parametrize("n", [2, 3, 4, 6, 7, 12])
def test_every_state_size_equals_the_full_smoother(sr, n):
    # The window's combine has builds per state size (and, without angle
    # states, combines its slots in place): each must give the full pass's
    # bits.  A mildly nonlinear drift of n states, seen in its first two.
    rng = np.random.default_rng(n)
    A = np.eye(n) + 0.05 * rng.normal(size=(n, n))

    def fx(X, dt):
        return X @ A.T + dt * 0.01 * np.sin(X)

    kf = VexelCKF(n, 2, 1.0, fx=fx, hx=lambda X: X[:, :2] + 0.01 * X[:, :2] ** 2, square_root=sr)
    kf.x = rng.normal(size=n)
    kf.P = np.eye(n) + 0.1 * np.ones((n, n))
    kf.Q = 0.01 * np.eye(n)
    kf.R = 0.1 * np.eye(2)
    zs = rng.normal(size=(16, 2))
    result = kf.copy().run(zs, lag=5)
    assert_prefix_equal(kf, result, 5, None)
    # The online form's flush returns every step of the window at once.
    online = kf.copy().fixed_lag(5)
    for z in zs:
        online.step(z)
    full = prefix_smoothed(kf, result, len(zs) - 1, None)
    for est in online.flush():
        assert est.x.tobytes() == full.xs[est.step].tobytes() and est.P.tobytes() == full.Ps[est.step].tobytes()


@FORMS
@pytest.mark.parametrize("lag", [0, 2, 7, 10 ** 30])
def test_compiled_models_run_natively_with_the_same_estimates(sr, lag):
    # Coordinated turn (n = 5) seen by a radar: both models compiled, so the
    # whole run, smoother included, is one native call.
    rng = np.random.default_rng(2)
    steps = 30
    kf = VexelCKF(5, 2, 1.0, fx=models.coordinated_turn(), hx=models.range_bearing(), square_root=sr,
                  nan_means_missing=True)
    kf.x = [100.0, 50.0, 4.0, 1.0, 0.05]
    kf.P = np.diag([10.0, 10.0, 2.0, 2.0, 0.01])
    kf.Q = np.diag([0.01, 0.01, 0.05, 0.05, 1e-4])
    kf.R = np.diag([1.0, 1e-4])
    truth = np.cumsum(rng.normal([4.0, 1.0], 0.2, (steps, 2)), axis=0) + [100.0, 50.0]
    zs = np.column_stack([np.hypot(truth[:, 0], truth[:, 1]), np.arctan2(truth[:, 1], truth[:, 0])])
    zs[[4, 17]] = np.nan
    dts = rng.uniform(0.5, 1.5, steps)
    native = kf.copy().run(zs, dts=dts, lag=lag)
    assert_prefix_equal(kf, native, lag, dts)
    # A Python callback with the compiled model's numbers takes the Python
    # path of run() and the window's Python transition: the same bits.
    fx, hx = kf.fx, kf.hx
    slow = kf.copy()
    slow.fx = lambda X, dt: fx(X, dt)
    slow.hx = lambda X: hx(X)
    python = slow.run(zs, dts=dts, lag=lag)
    for name in FixedLagRunResult._fields:
        assert np.array_equal(getattr(python, name), getattr(native, name), equal_nan=True), name


@FORMS
@pytest.mark.parametrize("lag", [0, 1, 4])
def test_online_smoother_equals_run_and_flush_completes_the_trace(sr, lag):
    zs, dts = turn_scans(steps=16, seed=8)
    kf = turn_filter(sr)
    batch = kf.copy().run(zs, dts=dts, lag=lag)
    online = kf.fixed_lag(lag)
    for k, (z, dt) in enumerate(zip(zs, dts)):
        # A missed scan as None, or as the row of NaN run() takes.
        est = online.step(None if k == 5 else z, dt=dt)
        if k < lag:
            assert est is None
        else:
            assert est.step == k - lag
            assert est.x.tobytes() == batch.xs_smoothed[k].tobytes()
            assert est.P.tobytes() == batch.Ps_smoothed[k].tobytes()
    assert online.steps == len(zs)
    assert np.array_equal(kf.x, batch.xs[-1])
    # The last lag steps given everything: the full smoother's tail.
    full = prefix_smoothed(kf, batch, len(zs) - 1, dts)
    tail = online.flush()
    assert [e.step for e in tail] == list(range(len(zs) - lag, len(zs)))
    for e in tail:
        assert e.x.tobytes() == full.xs[e.step].tobytes() and e.P.tobytes() == full.Ps[e.step].tobytes()


def test_flush_before_the_window_fills_gives_every_step():
    zs, dts = turn_scans(steps=3)
    kf = turn_filter(False)
    online = kf.fixed_lag(10)
    assert online.flush() == []
    results = [online.step(z, dt=dt) for z, dt in zip(zs, dts)]
    assert results == [None, None, None]
    tail = online.flush()
    assert [e.step for e in tail] == [0, 1, 2]


def kalman_rts(F, H, Q, R, x0, P0, zs, upto):
    """Textbook Kalman filter over zs[:upto+1], then the RTS smoother back."""
    xs, Ps, xps, Pps = [], [], [], []
    x, P = x0, P0
    for z in zs[:upto + 1]:
        xp, Pp = F @ x, F @ P @ F.T + Q
        S = H @ Pp @ H.T + R
        K = Pp @ H.T @ np.linalg.inv(S)
        x, P = xp + K @ (z - H @ xp), (np.eye(len(x)) - K @ H) @ Pp
        xs.append(x), Ps.append(P), xps.append(xp), Pps.append(Pp)
    sx, sP = xs[-1], Ps[-1]
    out = [(sx, sP)]
    for j in range(upto - 1, -1, -1):
        G = Ps[j] @ F.T @ np.linalg.inv(Pps[j + 1])
        sx = xs[j] + G @ (sx - xps[j + 1])
        sP = Ps[j] + G @ (sP - Pps[j + 1]) @ G.T
        out.append((sx, sP))
    return out[::-1]


@FORMS
def test_linear_model_matches_a_textbook_fixed_lag_smoother(sr):
    rng = np.random.default_rng(4)
    dt, lag, steps = 0.5, 3, 20
    F = np.array([[1, 0, dt, 0], [0, 1, 0, dt], [0, 0, 1, 0], [0, 0, 0, 1.0]])
    H = np.eye(2, 4)
    Q, R = np.diag([1e-3, 1e-3, 0.05, 0.05]), np.diag([0.3, 0.3])
    kf = VexelCKF(4, 2, dt, fx=lambda X, dt: X @ F.T, hx=lambda X: X @ H.T, square_root=sr)
    kf.P, kf.Q, kf.R = 5.0 * np.eye(4), Q, R
    zs = np.cumsum(rng.normal(0.4, 0.5, (steps, 2)), axis=0)
    result = kf.run(zs, lag=lag)
    for k in range(lag, steps):
        x, P = kalman_rts(F, H, Q, R, np.zeros(4), 5.0 * np.eye(4), zs, k)[k - lag]
        np.testing.assert_allclose(result.xs_smoothed[k], x, rtol=1e-9, atol=1e-9)
        np.testing.assert_allclose(result.Ps_smoothed[k], P, rtol=1e-9, atol=1e-11)


@FORMS
@pytest.mark.parametrize("lag", [0, 3, 12])
def test_memory_is_bounded_by_the_lag(sr, lag):
    zs, _ = turn_scans(steps=24)
    online = turn_filter(sr).fixed_lag(lag)
    held = []
    for z in np.concatenate([zs] * 4):
        online.step(z)
        held.append(online.nbytes)
    # The window fills during the first lag + 1 steps, then stays as it is.
    assert len(set(held[lag:])) == 1
    assert held[lag] >= held[0] * min(lag + 1, 2) > 0
    assert held[lag] <= (lag + 2) * held[0] + 4096
    # A lag longer than the stream holds only the stream (any int will do).
    long = turn_filter(sr).fixed_lag(10 ** 30)
    for z in zs[:4]:
        long.step(z)
    assert long.nbytes < 6 * held[0] + 4096


@pytest.mark.parametrize("compiled", [False, True], ids=["python", "compiled"])
def test_the_filter_ends_as_without_lag(compiled):
    zs, dts = turn_scans()
    kf = turn_filter(True)
    if compiled:
        kf = VexelCKF(5, 2, 1.0, fx=models.ctrv(), hx=models.range_bearing(), square_root=True,
                      angle_states=[2], angle_measurements=[1], nan_means_missing=True)
        kf.x, kf.P = [30.0, 5.0, 3.0, 2.0, 0.3], np.eye(5)
    plain, lagged = kf.copy(), kf.copy()
    a = plain.run(zs, dts=dts)
    b = lagged.run(zs, dts=dts, lag=5)
    assert type(a) is RunResult and len(a) == 6
    for name in RunResult._fields:
        assert np.array_equal(getattr(a, name), getattr(b, name), equal_nan=True), name
    sa, sb = plain.to_dict(), lagged.to_dict()
    assert sa.keys() == sb.keys()
    for key in sa:
        assert np.array_equal(sa[key], sb[key], equal_nan=True), key
    # The lag result is still a run result for smooth().
    assert np.array_equal(lagged.smooth(b, dt=dts).xs, plain.smooth(a, dt=dts).xs)


@pytest.mark.parametrize("lag, error, message", [
    (-1, ValueError, "lag must be at least 0, got -1"),
    (1.5, TypeError, "lag must be an int, not float"),
    (True, TypeError, "lag must be an int, not bool"),
    ("3", TypeError, "lag must be an int, not str"),
])
def test_bad_lags_are_refused_naming_lag(lag, error, message):
    kf = turn_filter(False)
    zs, _ = turn_scans(steps=3)
    before = kf.to_dict()
    with pytest.raises(error) as info:
        kf.run(zs, lag=lag)
    assert str(info.value) == message
    with pytest.raises(error) as info:
        kf.fixed_lag(lag)
    assert str(info.value) == message
    assert np.array_equal(kf.x, before["x"])  # nothing ran


def test_a_failed_step_stops_the_online_smoother():
    calls = []

    def hx(X):
        calls.append(1)
        if len(calls) == 3:
            raise ArithmeticError("sensor model failed")
        return radar(X)

    kf = turn_filter(False)
    kf.hx = hx
    online = kf.fixed_lag(1)
    zs, _ = turn_scans(steps=5)
    online.step(zs[0])
    online.step(zs[1])
    with pytest.raises(ArithmeticError, match="sensor model failed"):
        online.step(zs[2])
    with pytest.raises(RuntimeError) as info:
        online.step(zs[3])
    assert str(info.value) == ("this fixed-lag smoother stopped at step 2 after a failure; make a new one with "
                               "kf.fixed_lag(1) to go on")


def test_a_bad_transition_output_in_the_smoother_names_fx():
    calls = []

    def fx(X, dt):
        # Call 1: step 0's prediction; 2: step 1's; 3: the smoother's
        # transition of step 0's points, which returns a column too few.
        calls.append(1)
        return turn(X, dt)[:, :4] if len(calls) == 3 else turn(X, dt)

    kf = turn_filter(False)
    kf.fx = fx
    online = kf.fixed_lag(2)
    zs, _ = turn_scans(steps=3)
    online.step(zs[0])
    with pytest.raises(ValueError, match=r"fx.*\(10, 5\)|\(10, 5\).*fx"):
        online.step(zs[1])
    assert len(calls) == 3


def test_engine_functions_check_their_window():
    with pytest.raises(TypeError, match="window must be a window made by fixed_lag_window"):
        vexel_ckf._engine.fixed_lag_flush(object())
    w = vexel_ckf._engine.fixed_lag_window(2, 1, False)
    with pytest.raises(ValueError, match=r"P must have shape \(2, 2\)"):
        vexel_ckf._engine.fixed_lag_push(w, np.zeros(2), np.eye(3), np.eye(2), lambda X, dt: X, None, 1.0)
    assert vexel_ckf._engine.fixed_lag_info(w)[0] == 0


@pytest.mark.parametrize("lag", [0, 4])
def test_python_fx_is_called_once_more_per_step_at_most(lag):
    calls = []

    def fx(X, dt):
        calls.append(len(X))
        return turn(X, dt)

    zs, dts = turn_scans(steps=12)
    kf = turn_filter(False)
    kf.fx = fx
    kf.run(zs, dts=dts, lag=lag)
    # One prediction per step, and with a lag one transition of the previous
    # step's 2n points per step after the first: never a call per point.
    assert calls == [10] * (len(zs) + (len(zs) - 1 if lag else 0))
