"""Log-likelihood of whole panels and maximum likelihood fits: against a textbook filter's log-likelihood and its
own maximisation, for linear models and for the cubature filter with built-in models."""

import builtins

import numpy as np
import pytest

import vexel_ckf as vx
from vexel_ckf import models

LN_2PI = np.log(2 * np.pi)


def textbook_loglik(x0, P0, zs, F, H, Q, R):
    """Sum over the observed steps of log N(z; H x_prior, H P_prior H' + R), steps predicting from x0, P0."""
    x, P, total = np.array(x0, float), np.array(P0, float), 0.0
    for z in zs:
        x, P = F @ x, F @ P @ F.T + Q
        if np.isnan(z).all():
            continue
        S = H @ P @ H.T + R
        y = z - H @ x
        total += -0.5 * (y @ np.linalg.solve(S, y) + np.linalg.slogdet(S)[1] + len(z) * LN_2PI)
        K = P @ H.T @ np.linalg.inv(S)
        x, P = x + K @ y, (np.eye(len(x)) - K @ H) @ P
    return total


def local_level(rng, q, r, count, steps, gaps=0.1):
    level = np.cumsum(rng.normal(0, np.sqrt(q), (count, steps)), axis=1)
    zs = (level + rng.normal(0, np.sqrt(r), (count, steps)))[..., None]
    zs[rng.random((count, steps)) < gaps] = np.nan
    return zs


def test_linear_log_likelihood_is_the_textbook_sum_per_sequence():
    rng = np.random.default_rng(1)
    F = np.array([[1.0, 1.0], [0.0, 1.0]])
    H = np.array([[1.0, 0.0]])
    Q, R = np.diag([0.02, 0.001]), np.array([[0.5]])
    zs = local_level(rng, 0.1, 0.5, 4, 80)
    ll = vx.log_likelihood(zs, x0=np.zeros(2), P0=10 * np.eye(2), F=F, H=H, Q=Q, R=R)
    want = [textbook_loglik(np.zeros(2), 10 * np.eye(2), zs[i], F, H, Q, R) for i in range(4)]
    np.testing.assert_allclose(ll.per_sequence, want, rtol=1e-11)
    assert ll.total == pytest.approx(sum(want), rel=1e-11)
    one = vx.log_likelihood(zs[2], x0=np.zeros(2), P0=10 * np.eye(2), F=F, H=H, Q=Q, R=R)
    assert isinstance(one.per_sequence, float) and one.total == ll.per_sequence[2]


def test_cubature_log_likelihood_of_a_linear_model_and_of_failing_sequences():
    rng = np.random.default_rng(2)
    F = np.array([[1.0, 0.5], [0.0, 1.0]])
    H = np.array([[1.0, 0.0]])
    Q, R = 0.01 * np.eye(2), np.array([[0.3]])
    zs = local_level(rng, 0.05, 0.3, 5, 60)
    linear = dict(x0=np.zeros(2), P0=np.eye(2), Q=Q, R=R)
    ll = vx.log_likelihood(zs, fx=models.linear(F), hx=models.linear_measurement(H), dts=0.5, **linear)
    want = [textbook_loglik(np.zeros(2), np.eye(2), zs[i], F, H, Q, R) for i in range(5)]
    np.testing.assert_allclose(ll.per_sequence, want, rtol=1e-10)
    # The cubature filter's own totals, and a sequence that fails is NaN, as is the total.
    x0s = np.zeros((5, 2))
    P0s = np.stack([np.eye(2)] * 5)
    P0s[3] *= 1.5e308  # its prediction overflows
    out = vx.cubature_filter(x0s, P0s, zs, models.linear(F), models.linear_measurement(H), Q, R, dts=0.5,
                             nan_means_missing=True)
    ll = vx.log_likelihood(zs, x0s=x0s, P0=P0s, fx=models.linear(F), hx=models.linear_measurement(H), Q=Q,
                           R=R, dts=0.5)
    assert out.status[3] != 0 and np.isnan(ll.per_sequence[3]) and np.isnan(ll.total)
    assert ll.per_sequence[[0, 1, 2, 4]].tobytes() == out.log_likelihood[[0, 1, 2, 4]].tobytes()


def test_mle_of_a_local_level_model_matches_the_textbook_optimum():
    scipy_optimize = pytest.importorskip("scipy.optimize")
    rng = np.random.default_rng(3)
    zs = local_level(rng, 0.2, 1.0, 3, 150)
    one = np.eye(1)

    def build(p):
        return dict(x0=np.zeros(1), P0=100 * one, F=one, H=one, Q=np.exp(p[0]) * one, R=np.exp(p[1]) * one)

    res = vx.fit_mle(build, [0.0, 0.0], zs)

    def textbook(p):
        m = build(p)
        return -sum(textbook_loglik(m["x0"], m["P0"], z, m["F"], m["H"], m["Q"], m["R"]) for z in zs)

    ref = scipy_optimize.minimize(textbook, [0.0, 0.0], method="BFGS", options={"gtol": 1e-8})
    assert res.converged and res.n_evaluations > 3
    np.testing.assert_allclose(res.params, ref.x, rtol=0, atol=2e-4)
    assert res.log_likelihood == pytest.approx(-ref.fun, rel=1e-9)
    assert res.model["Q"][0, 0] == pytest.approx(np.exp(res.params[0]))
    assert 0.1 < res.model["Q"][0, 0] < 0.4 and 0.6 < res.model["R"][0, 0] < 1.5


def test_mle_recovers_the_noise_of_a_radar_tracking_model():
    pytest.importorskip("scipy.optimize")
    rng = np.random.default_rng(4)
    fx, hx = models.coordinated_turn(), models.range_bearing()
    count, steps = 30, 120
    q_true, r_true = np.array([0.3, 0.3, 0.5, 0.5, 1e-4]), np.array([16.0, 1e-4])
    x = np.column_stack([rng.uniform(2000, 4000, count), rng.uniform(-2000, 2000, count),
                         rng.normal(0, 10, (count, 2)), rng.normal(0, 0.02, count)])
    x0s = x.copy()
    zs = np.empty((count, steps, 2))
    for k in range(steps):
        x = np.asarray(fx(x, 1.0)) + rng.normal(0, np.sqrt(q_true), (count, 5))
        zs[:, k] = np.asarray(hx(x)) + rng.normal(0, np.sqrt(r_true), (count, 2))

    def build(p):
        return dict(x0s=x0s, P0=np.diag([100.0, 100, 10, 10, 1e-3]), fx=fx, hx=hx,
                    Q=np.diag(q_true * np.exp(p[0])), R=np.diag(r_true * np.exp(p[1:])))

    res = vx.fit_mle(build, [1.0, -1.0, 1.0], zs)
    assert res.converged
    np.testing.assert_allclose(res.params, 0.0, atol=0.25)  # the noise scales within about 25%


def test_bad_models_and_missing_scipy(monkeypatch):
    zs = np.ones((10, 1))
    with pytest.raises(TypeError, match="accepted: x0, P0, F, H, Q, R"):
        vx.log_likelihood(zs, x0=np.zeros(1), P0=np.eye(1), F=np.eye(1), H=np.eye(1), Q=np.eye(1), R=np.eye(1),
                          G=np.eye(1))
    with pytest.raises(TypeError, match="needs 'R'"):
        vx.log_likelihood(zs, x0=np.zeros(1), P0=np.eye(1), F=np.eye(1), H=np.eye(1), Q=np.eye(1))
    with pytest.raises(TypeError, match="arguments of batch_filter"):
        vx.log_likelihood(zs, x0=np.zeros(1))
    build = lambda p: dict(x0=np.zeros(1), P0=np.eye(1), F=np.eye(1), H=np.eye(1), Q=np.eye(1), R=np.eye(1))
    with pytest.raises(ValueError, match="no measurement"):
        vx.fit_mle(build, [0.0], np.full((10, 1), np.nan))
    with pytest.raises(ValueError, match="start must be"):
        vx.fit_mle(build, [[0.0]], zs)
    real_import = builtins.__import__

    def no_scipy(name, *args, **kwargs):
        if name == "scipy" or name.startswith("scipy."):
            raise ImportError("No module named 'scipy'")
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", no_scipy)
    with pytest.raises(ImportError, match=r'vexel_ckf\[fit\]'):
        vx.fit_mle(build, [0.0], zs)


def test_mle_and_em_reach_the_same_optimum():
    pytest.importorskip("scipy.optimize")
    rng = np.random.default_rng(5)
    zs = local_level(rng, 0.2, 1.0, 4, 300)
    one = np.eye(1)
    fit = vx.fit_em(zs, F=one, H=one, Q=one, R=one, x0=np.zeros(1), P0=10 * one, learn=("Q", "R"), n_iter=5000,
                    tol=0.0)

    def build(p):
        return dict(x0=np.zeros(1), P0=10 * one, F=one, H=one, Q=np.exp(p[0]) * one, R=np.exp(p[1]) * one)

    res = vx.fit_mle(build, [0.0, 0.0], zs)
    np.testing.assert_allclose([res.model["Q"][0, 0], res.model["R"][0, 0]], [fit.Q[0, 0], fit.R[0, 0]], rtol=1e-6)
    assert res.log_likelihood == pytest.approx(fit.log_likelihoods[-1], rel=1e-12)
