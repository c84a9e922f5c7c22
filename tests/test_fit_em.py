"""fit_em: EM for linear-Gaussian models, against a textbook EM written here,
pykalman's em, the truth of simulated data, and its own per-series contract."""

import os
import subprocess
import sys
import warnings

import numpy as np
import pytest

import vexel_ckf as vx

LN_2PI = np.log(2.0 * np.pi)


# -- the textbook EM (Shumway & Stoffer): x_0 ~ N(mu0, S0), y_t for t = 1..N --

def textbook_em(y, F, H, Q, R, mu0, S0, learn, iterations):
    """Models (F, H, Q, R, mu0, S0) after each of `iterations` EM steps and the
    log-likelihood of each model, from the plain equations."""
    N, n = len(y), len(mu0)
    learn = MODEL_KEYS if learn == "all" else learn
    models, lls = [], []
    for it in range(iterations + 1):
        xp, Pp = np.zeros((N + 1, n)), np.zeros((N + 1, n, n))
        xf, Pf = np.zeros((N + 1, n)), np.zeros((N + 1, n, n))
        xf[0], Pf[0] = mu0, S0
        ll = 0.0
        for t in range(1, N + 1):
            xp[t] = F @ xf[t - 1]
            Pp[t] = F @ Pf[t - 1] @ F.T + Q
            S = H @ Pp[t] @ H.T + R
            e = y[t - 1] - H @ xp[t]
            K = Pp[t] @ H.T @ np.linalg.inv(S)
            ll -= 0.5 * (len(e) * LN_2PI + np.linalg.slogdet(S)[1] + e @ np.linalg.solve(S, e))
            xf[t] = xp[t] + K @ e
            Pf[t] = (np.eye(n) - K @ H) @ Pp[t]
        lls.append(ll)
        models.append((F, H, Q, R, mu0, S0))
        if it == iterations:
            break
        xs, Ps, J = xf.copy(), Pf.copy(), np.zeros((N, n, n))
        for t in range(N, 0, -1):
            J[t - 1] = Pf[t - 1] @ F.T @ np.linalg.inv(Pp[t])
            xs[t - 1] = xf[t - 1] + J[t - 1] @ (xs[t] - xp[t])
            Ps[t - 1] = Pf[t - 1] + J[t - 1] @ (Ps[t] - Pp[t]) @ J[t - 1].T
        S11 = sum(np.outer(xs[t], xs[t]) + Ps[t] for t in range(1, N + 1))
        S10 = sum(np.outer(xs[t], xs[t - 1]) + Ps[t] @ J[t - 1].T for t in range(1, N + 1))
        S00 = sum(np.outer(xs[t - 1], xs[t - 1]) + Ps[t - 1] for t in range(1, N + 1))
        Syx = sum(np.outer(y[t - 1], xs[t]) for t in range(1, N + 1))
        if "F" in learn:
            F = S10 @ np.linalg.inv(S00)
        if "Q" in learn:
            Q = (S11 - F @ S10.T - S10 @ F.T + F @ S00 @ F.T) / N
        if "H" in learn:
            H = Syx @ np.linalg.inv(S11)
        if "R" in learn:
            R = sum(np.outer(y[t - 1] - H @ xs[t], y[t - 1] - H @ xs[t]) + H @ Ps[t] @ H.T
                    for t in range(1, N + 1)) / N
        if "x0" in learn:
            mu0 = xs[0]
        if "P0" in learn:
            S0 = Ps[0] + np.outer(xs[0] - mu0, xs[0] - mu0)
    return models, np.array(lls)


def random_model(rng, n, m):
    F = 0.9 * np.linalg.qr(rng.normal(size=(n, n)))[0] + 0.05 * rng.normal(size=(n, n))
    H = rng.normal(size=(m, n))
    A, B = rng.normal(size=(n, n)), rng.normal(size=(m, m))
    Q = A @ A.T / n + 0.2 * np.eye(n)
    R = B @ B.T / m + 0.3 * np.eye(m)
    return F, H, Q, R, rng.normal(size=n), 0.5 * np.eye(n)


def simulate(rng, F, H, Q, R, x0, P0, steps, count=None, gaps=0.0):
    """Measurements (count, steps, m) (or (steps, m)) drawn from the model, a
    fraction `gaps` of the rows set to NaN."""
    n, m = len(x0), H.shape[0]
    M = 1 if count is None else count
    x = rng.multivariate_normal(x0, P0, size=M)
    lq, lr = np.linalg.cholesky(Q), np.linalg.cholesky(R)
    zs = np.empty((M, steps, m))
    for k in range(steps):
        x = x @ F.T + rng.normal(size=(M, n)) @ lq.T
        zs[:, k] = x @ H.T + rng.normal(size=(M, m)) @ lr.T
    zs[rng.random((M, steps)) < gaps] = np.nan
    return zs[0] if count is None else zs


def start_model(rng, n, m):
    F, H, Q, R, x0, P0 = random_model(rng, n, m)
    return dict(F=F, H=H, Q=Q, R=R, x0=x0, P0=P0)


MODEL_KEYS = ("F", "H", "Q", "R", "x0", "P0")


# -- agreement with independent EMs --------------------------------------------

@pytest.mark.parametrize("learn, n, m", [
    (("Q", "R"), 2, 1),
    (("Q", "R", "x0", "P0"), 3, 2),
    ("all", 2, 2),
    (("F", "Q"), 2, 1),
    (("H", "R", "x0"), 3, 2),
    ("all", 5, 3),   # sizes of run-time storage bounded on the stack
    ("all", 17, 2),  # and fully dynamic storage
])
def test_each_iteration_matches_the_textbook_em(learn, n, m):
    rng = np.random.default_rng(n * 10 + m + len(learn))
    truth = random_model(rng, n, m)
    y = simulate(rng, *truth, steps=80)
    start = start_model(rng, n, m)
    models, lls = textbook_em(y, *(start[k] for k in MODEL_KEYS), learn=learn, iterations=4)
    for k in range(5):
        fit = vx.fit_em(y, **start, learn=learn, n_iter=k, tol=0.0)
        assert fit.n_iter == k
        np.testing.assert_allclose(fit.log_likelihoods, lls[:k + 1], rtol=1e-10, atol=0)
        for name, got, want in zip(MODEL_KEYS, fit[:6], models[k]):
            scale = np.max(np.abs(want))
            np.testing.assert_allclose(got, want, rtol=0, atol=1e-10 * scale, err_msg=f"{name} after {k}")


PYKALMAN_NAMES = dict(F="transition_matrices", H="observation_matrices", Q="transition_covariance",
                      R="observation_covariance", x0="initial_state_mean", P0="initial_state_covariance")


@pytest.mark.parametrize("learn", [("Q", "R", "x0", "P0"), ("F", "Q"), ("H", "R", "P0"), MODEL_KEYS])
def test_matches_pykalman_em_with_a_leading_missed_row(learn):
    """pykalman's first state carries the first measurement, ours the prior
    x0, P0 of the state before it: a masked leading row makes the models
    the same, so the learned matrices must agree (gaps included)."""
    pykalman = pytest.importorskip("pykalman")
    rng = np.random.default_rng(7)
    truth = random_model(rng, 2, 2)
    y = simulate(rng, *truth, steps=60)
    y[rng.random(60) < 0.2] = np.nan
    start = start_model(rng, 2, 2)
    padded = np.ma.masked_all((61, 2))
    padded[1:] = np.ma.masked_invalid(y)
    kf = pykalman.KalmanFilter(**{PYKALMAN_NAMES[k]: start[k] for k in MODEL_KEYS})
    fit = vx.fit_em(y, **start, learn=learn, n_iter=4, tol=0.0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # pykalman's own deprecation noise
        assert np.isclose(kf.loglikelihood(padded), fit.log_likelihoods[0], rtol=1e-12, atol=0)
        kf = kf.em(padded, n_iter=4, em_vars=[PYKALMAN_NAMES[k] for k in learn])
        assert np.isclose(kf.loglikelihood(padded), fit.log_likelihoods[-1], rtol=1e-12, atol=0)
    for name in MODEL_KEYS:
        want = getattr(kf, PYKALMAN_NAMES[name])
        np.testing.assert_allclose(getattr(fit, name), want, rtol=0, atol=1e-12 * np.max(np.abs(want)),
                                   err_msg=name)


def test_the_starting_likelihood_is_batch_smoothers():
    rng = np.random.default_rng(3)
    F, H, Q, R, x0, P0 = random_model(rng, 3, 2)
    zs = simulate(rng, F, H, Q, R, x0, P0, steps=50, count=3, gaps=0.2)
    fit = vx.fit_em(zs, F=F, H=H, Q=Q, R=R, x0=x0, P0=P0, n_iter=0)
    sm = vx.batch_smoother(x0, P0, zs, F, H, Q, R, nan_means_missing=True)
    assert fit.log_likelihoods[0] == np.sum(sm.log_likelihood)


# -- properties ----------------------------------------------------------------

@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("learn", ["all", ("Q", "R", "x0", "P0")])
def test_the_likelihood_never_decreases_with_gaps(seed, learn):
    rng = np.random.default_rng(seed)
    n, m = 1 + seed % 3, 1 + seed % 2
    truth = random_model(rng, n, m)
    zs = simulate(rng, *truth, steps=120, count=4, gaps=0.2)
    fit = vx.fit_em(zs, **start_model(rng, n, m), learn=learn, n_iter=40, tol=0.0,
                    structure={"R": "diagonal"} if m > 1 else None)
    lls = fit.log_likelihoods
    assert len(lls) == fit.n_iter + 1 and np.isfinite(lls).all()
    assert (np.diff(lls) >= -1e-9 * np.abs(lls[1:])).all()
    assert lls[-1] > lls[0]
    for name in ("Q", "R", "P0"):
        cov = getattr(fit, name)
        np.testing.assert_array_equal(cov, cov.T)
        assert np.linalg.eigvalsh(cov).min() > 0
    if m > 1:
        np.testing.assert_array_equal(fit.R, np.diag(np.diag(fit.R)))


@pytest.mark.parametrize("panel", [False, True])
def test_recovers_the_noise_of_simulated_data(panel):
    rng = np.random.default_rng(11)
    F = np.array([[0.95, 0.1], [0.0, 0.8]])
    H = np.eye(2)
    Q = np.array([[0.5, 0.1], [0.1, 0.3]])
    R = np.array([[1.0, -0.2], [-0.2, 0.6]])
    x0, P0 = np.zeros(2), np.eye(2)
    zs = (simulate(rng, F, H, Q, R, x0, P0, steps=5000, count=4, gaps=0.1) if panel
          else simulate(rng, F, H, Q, R, x0, P0, steps=20000))
    fit = vx.fit_em(zs, F=F, H=H, Q=np.eye(2), R=2 * np.eye(2), x0=x0, P0=P0, learn=("Q", "R"),
                    n_iter=300, tol=1e-10)
    assert fit.converged
    for got, want in ((fit.Q, Q), (fit.R, R)):
        assert np.linalg.norm(got - want) < 0.05 * np.linalg.norm(want)


def test_per_series_equals_fitting_each_sequence_alone():
    rng = np.random.default_rng(5)
    truth = random_model(rng, 2, 2)
    zs = simulate(rng, *truth, steps=90, count=5, gaps=0.15)
    start = start_model(rng, 2, 2)
    fit = vx.fit_em(zs, **start, learn="all", n_iter=60, tol=1e-4, per_series=True,
                    structure={"P0": "diagonal"})
    assert len(set(fit.n_iter.tolist())) > 1  # the sequences stop at different iterations
    for i in range(len(zs)):
        alone = vx.fit_em(zs[i], **start, learn="all", n_iter=60, tol=1e-4, structure={"P0": "diagonal"})
        for name in MODEL_KEYS:
            assert getattr(fit, name)[i].tobytes() == getattr(alone, name).tobytes(), name
        assert fit.n_iter[i] == alone.n_iter and fit.converged[i] == alone.converged
        assert fit.log_likelihoods[:alone.n_iter + 1, i].tobytes() == alone.log_likelihoods.tobytes()
        assert (fit.log_likelihoods[alone.n_iter:, i] == alone.log_likelihoods[-1]).all()


def test_a_prior_given_per_sequence_is_learned_per_sequence():
    # With the rest of the model fixed, each sequence's prior depends on that
    # sequence alone.
    rng = np.random.default_rng(8)
    F, H, Q, R, x0, P0 = random_model(rng, 2, 1)
    zs = simulate(rng, F, H, Q, R, x0, P0, steps=40, count=3, gaps=0.1)
    x0s, P0s = rng.normal(size=(3, 2)), np.stack([np.eye(2) * (i + 1) for i in range(3)])
    fit = vx.fit_em(zs, F=F, H=H, Q=Q, R=R, x0=x0s, P0=P0s, learn=("x0", "P0"), n_iter=4, tol=0.0)
    assert fit.x0.shape == (3, 2) and fit.P0.shape == (3, 2, 2)
    for i in range(3):
        alone = vx.fit_em(zs[i], F=F, H=H, Q=Q, R=R, x0=x0s[i], P0=P0s[i], learn=("x0", "P0"), n_iter=4, tol=0.0)
        np.testing.assert_array_equal(fit.x0[i], alone.x0)
        np.testing.assert_array_equal(fit.P0[i], alone.P0)


@pytest.mark.slow("subprocesses with one and two pool threads")
def test_the_shared_fit_does_not_depend_on_the_pool_size():
    code = ("import numpy as np, vexel_ckf as vx\n"
            "rng = np.random.default_rng(1)\n"
            "zs = rng.normal(size=(100, 40, 2)); zs[rng.random((100, 40)) < 0.2] = np.nan\n"
            "f = vx.fit_em(zs, F=0.9 * np.eye(2), H=np.eye(2), Q=1.0, R=1.0, x0=np.zeros(2), P0=1.0, "
            "learn='all', n_iter=5, tol=0)\n"
            "print(b''.join(a.tobytes() for a in f[:7]).hex())\n")
    outs = set()
    for threads in ("1", "2"):
        env = dict(os.environ, VEXEL_CKF_NUM_THREADS=threads)
        outs.add(subprocess.run([sys.executable, "-c", code], env=env, check=True, capture_output=True,
                                text=True).stdout)
    assert len(outs) == 1


def test_a_collapsing_covariance_stops_the_fit_with_a_warning():
    # Two identical measurement columns: their residuals are identical, so
    # the learned R is singular.
    rng = np.random.default_rng(2)
    level = np.cumsum(rng.normal(size=200))
    zs = np.stack([level, level], axis=1) + rng.normal(size=(200, 1))
    start = dict(F=[[1.0]], H=[[1.0], [1.0]], Q=1.0, R=np.eye(2), x0=[0.0], P0=1.0)
    with pytest.warns(RuntimeWarning, match=r"iteration 1: the update of R is not positive definite.*"
                                            r"structure=\{'R': 'fixed'\}"):
        fit = vx.fit_em(zs, **start, learn=("Q", "R"))
    assert fit.n_iter == 0 and not fit.converged and len(fit.log_likelihoods) == 1
    np.testing.assert_array_equal(fit.R, np.eye(2))
    # Diagonal, R is learnable.
    fit = vx.fit_em(zs, **start, learn=("Q", "R"), structure={"R": "diagonal"}, n_iter=5)
    assert fit.n_iter == 5 and np.isfinite(fit.R).all()


# -- bad input -----------------------------------------------------------------

GOOD = dict(F=np.eye(2), H=np.eye(2), Q=1.0, R=1.0, x0=np.zeros(2), P0=1.0)
ZS = np.ones((3, 10, 2))


@pytest.mark.parametrize("zs, change, error, match", [
    (ZS, dict(learn=("Q", "S")), ValueError,
     r"^learn holds 'S'; accepted names are 'F', 'H', 'Q', 'R', 'x0', 'P0' or 'all'$"),
    (ZS, dict(structure={"F": "full"}), ValueError, r"^structure names 'F'; accepted keys are 'Q', 'R', 'P0'$"),
    (ZS, dict(structure={"R": "diag"}), ValueError,
     r"^structure\['R'\] is 'diag'; accepted values are 'full', 'diagonal', 'fixed'$"),
    (ZS, dict(H=np.eye(3)[:2]), ValueError, r"^H must have shape \(2, 2\), got \(2, 3\)$"),
    (ZS, dict(x0=np.zeros(3)), ValueError, r"^x0 must have shape \(2,\) or \(3, 2\), got \(3,\)$"),
    (ZS, dict(Q=np.ones((3, 2, 2))), ValueError, r"^Q must have shape \(2, 2\), got \(3, 2, 2\)$"),
    (ZS, dict(F=np.ones(2)), ValueError, r"^F must be a square matrix"),
    (ZS, dict(n_iter=-1), ValueError, r"^n_iter must be a non-negative integer"),
    (ZS, dict(P0=np.full((2, 2), np.nan)), ValueError, r"^P0 contains non-finite values"),
    (np.full((3, 10, 2), np.nan), {}, ValueError, r"^zs holds no observation: every row is NaN"),
    (np.where(np.arange(3)[:, None, None] == 1, np.nan, ZS), dict(per_series=True), ValueError,
     r"^sequence 1 of zs has no observation"),
    (np.where((np.arange(3)[:, None, None] == 2) & (np.arange(10)[:, None] == 4) & (np.arange(2) == 0), np.nan, ZS),
     {}, ValueError, r"^zs\[2, 4\] \(sequence 2, step 4\) is partly NaN"),
    (np.where(np.arange(10)[:, None] == 3, np.inf, ZS[0]), {}, ValueError, r"^zs\[3\] contains infinite values"),
])
def test_bad_input_is_named(zs, change, error, match):
    with pytest.raises(error, match=match):
        vx.fit_em(zs, **{**GOOD, **change})


def test_a_sequence_whose_pass_fails_is_named():
    F = np.stack([np.eye(1)] * 4)
    F[2] = 1e200  # its prediction overflows at once
    message = r"^x or P contains non-finite values \(NaN or inf\) at step 0 \(sequence 2\)$"
    with pytest.raises(RuntimeError, match=message):
        vx.fit_em(np.ones((4, 5, 1)), F=F, H=[[1.0]], Q=1.0, R=1.0, x0=[0.0], P0=1.0, per_series=True)


def test_a_decreasing_likelihood_is_reported_as_a_fault(monkeypatch):
    from vexel_ckf import _em
    true_e_step = _em._e_step
    calls = []

    def e_step(*args):
        stats = true_e_step(*args)
        calls.append(stats.log_likelihood)
        if len(calls) == 3:  # the model of iteration 2, made worse than the starting one
            return stats._replace(log_likelihood=calls[0] - 1.0)
        return stats

    monkeypatch.setattr(_em, "_e_step", e_step)
    with pytest.raises(RuntimeError, match=r"^fit_em: the log-likelihood decreased at iteration 2, from "):
        vx.fit_em(np.sin(np.arange(50.0)), F=[[0.9]], H=[[1.0]], Q=1.0, R=1.0, x0=[0.0], P0=1.0, tol=0.0)
