"""IMM and IMMBank: against a textbook IMM of Kalman filters written here, against FilterPy's IMMEstimator,
one model against its filter, mode switching on a manoeuvre, a bank target against a lone IMM, the
floor of the mode probabilities, partial state maps, angles across the seam, argument errors and the
whole-state round trips."""

import copy
import pickle

import numpy as np
import pytest

import vexel_ckf as vx
from vexel_ckf import models

from support import same

DT = 1.0
F_CV = np.array([[1, 0, DT, 0], [0, 1, 0, DT], [0, 0, 1, 0], [0, 0, 0, 1]], dtype=float)
H_POS = np.array([[1.0, 0, 0, 0], [0, 1.0, 0, 0]])
R_POS = np.diag([4.0, 9.0])
FLOOR = vx.MODE_FLOOR


def cv_filter(q, compiled=True, square_root=False, x0=(0.0, 0.0, 10.0, 5.0)):
    if compiled:
        fx, hx = models.linear(F_CV), models.linear_measurement(H_POS)
    else:
        def fx(X, dt):
            return X @ F_CV.T

        def hx(X):
            return X @ H_POS.T
    kf = vx.VexelCKF(4, 2, DT, fx=fx, hx=hx, square_root=square_root)
    kf.x = np.array(x0)
    kf.P = np.diag([50.0, 50.0, 20.0, 20.0])
    kf.Q = q * np.array([[DT**3 / 3, 0, DT**2 / 2, 0], [0, DT**3 / 3, 0, DT**2 / 2],
                         [DT**2 / 2, 0, DT, 0], [0, DT**2 / 2, 0, DT]])
    kf.R = R_POS
    return kf


def linear_track(rng, steps):
    x = np.array([0.0, 0.0, 10.0, 5.0])
    zs = []
    for k in range(steps):
        accel = rng.normal(0, 2.0 if 150 <= k < 250 else 0.05, 2)
        x = F_CV @ x + np.r_[0.5 * accel, accel]
        zs.append(H_POS @ x + rng.multivariate_normal(np.zeros(2), R_POS))
    return np.array(zs)


# -- a textbook IMM of Kalman filters ---------------------------------------------

def textbook_imm(filters, T, mu, zs):
    """Blom and Bar-Shalom's IMM, written from the textbook with plain Kalman filters (F, H, Q, R each),
    with the documented floor of the mode probabilities."""
    xs = [np.array(x, dtype=float) for x, _P, _Q in filters]
    Ps = [np.array(P, dtype=float) for _x, P, _Q in filters]
    mu = np.array(mu, dtype=float)
    r = len(filters)
    out_x, out_P, out_mu, out_ll = [], [], [], []

    def floor(p):
        p = np.clip(p, FLOOR, 1 - FLOOR)
        return p / p.sum()

    for z in zs:
        cbar = T.T @ mu
        omega = (T * mu[:, None]) / cbar[None, :]
        mixed = []
        for j in range(r):
            x0 = sum(omega[i, j] * xs[i] for i in range(r))
            P0 = sum(omega[i, j] * (Ps[i] + np.outer(xs[i] - x0, xs[i] - x0)) for i in range(r))
            mixed.append((x0, P0))
        lik = np.empty(r)
        for j, (x0, P0) in enumerate(mixed):
            Q = filters[j][2]
            x = F_CV @ x0
            P = F_CV @ P0 @ F_CV.T + Q
            S = H_POS @ P @ H_POS.T + R_POS
            K = P @ H_POS.T @ np.linalg.inv(S)
            y = z - H_POS @ x
            xs[j] = x + K @ y
            Ps[j] = (np.eye(4) - K @ H_POS) @ P
            lik[j] = -0.5 * (y @ np.linalg.solve(S, y) + np.log(np.linalg.det(S)) + 2 * np.log(2 * np.pi))
        cbar = floor(cbar)
        w = np.log(cbar) + lik
        total = np.logaddexp.reduce(w)
        mu = floor(np.exp(w - total))
        x = sum(mu[j] * xs[j] for j in range(r))
        P = sum(mu[j] * (Ps[j] + np.outer(xs[j] - x, xs[j] - x)) for j in range(r))
        out_x.append(x)
        out_P.append(P)
        out_mu.append(mu)
        out_ll.append(total)
    return np.array(out_x), np.array(out_P), np.array(out_mu), np.array(out_ll)


T2 = np.array([[0.97, 0.03], [0.05, 0.95]])
Q_LOW, Q_HIGH = 0.01, 4.0


@pytest.mark.parametrize("compiled", [True, False], ids=["native-run", "python-steps"])
@pytest.mark.parametrize("square_root", [False, True], ids=["ckf", "srckf"])
def test_linear_models_match_a_textbook_imm_of_kalman_filters(compiled, square_root):
    zs = linear_track(np.random.default_rng(1), 500)
    kfs = [cv_filter(q, compiled, square_root) for q in (Q_LOW, Q_HIGH)]
    imm = vx.IMM(kfs, transition=T2, mu=[0.6, 0.4])
    res = imm.run(zs)
    ref_x, ref_P, ref_mu, ref_ll = textbook_imm([(f.x, f.P, f.Q) for f in kfs], T2, [0.6, 0.4], zs)
    np.testing.assert_allclose(res.xs, ref_x, rtol=1e-10, atol=1e-10 * np.abs(ref_x).max())
    np.testing.assert_allclose(res.Ps, ref_P, rtol=1e-10, atol=1e-10 * np.abs(ref_P).max())
    np.testing.assert_allclose(res.mus, ref_mu, rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(res.log_likelihoods, ref_ll, rtol=1e-10)
    # The manoeuvre (steps 150 to 250) is where the high-noise model takes over.
    assert res.mus[150:250, 1].mean() > 0.5 > res.mus[50:150, 1].mean()
    assert same(imm.x, res.xs[-1]) and same(imm.mu, res.mus[-1])


@pytest.mark.parametrize("square_root", [False, True], ids=["ckf", "srckf"])
def test_native_run_equals_python_steps_bit_for_bit(square_root):
    zs = linear_track(np.random.default_rng(2), 120)
    zs[[5, 17, 18]] = np.nan
    ct = vx.VexelCKF(5, 2, DT, fx=models.coordinated_turn(), hx=models.linear_measurement(np.eye(2, 5)),
                     square_root=square_root)
    ct.x = np.array([0.0, 0.0, 10.0, 5.0, 0.0])
    ct.P = np.diag([50.0, 50.0, 20.0, 20.0, 0.01])
    ct.Q = np.diag([0.1, 0.1, 0.5, 0.5, 1e-4])
    ct.R = R_POS
    # With square_root, a square-root turn model beside a covariance-form one.
    imm = vx.IMM([cv_filter(Q_LOW), ct], T2, [0.5, 0.5], state_maps=[[0, 1, 2, 3], [0, 1, 2, 3, 4]])
    stepped = imm.copy()
    dts = np.full(len(zs), DT)
    dts[40:50] = 0.5
    res = imm.run(zs, nan_means_missing=True, dts=dts)
    for k, z in enumerate(zs):
        stepped.predict(dts[k])
        stepped.update(z, nan_means_missing=True)
        assert same(stepped.x, res.xs[k]) and same(stepped.P, res.Ps[k]), k
        assert same(stepped.mu, res.mus[k]) and same(stepped.log_likelihood, float(res.log_likelihoods[k])), k
        for j in range(2):
            assert same(stepped.xs_model[j], res.xs_model[j][k]) and same(stepped.Ps_model[j], res.Ps_model[j][k])
    assert np.isnan(res.log_likelihoods[[5, 17, 18]]).all()
    # A missed scan moves the probabilities by the transition matrix alone.
    np.testing.assert_allclose(res.mus[5], T2.T @ res.mus[4], rtol=1e-14)


def test_filterpy_imm_estimator_agrees_with_the_convention_translated():
    fp_kalman = pytest.importorskip("filterpy.kalman")
    zs = linear_track(np.random.default_rng(3), 200)
    kfs = [cv_filter(q) for q in (Q_LOW, Q_HIGH)]
    T = np.array([[0.9, 0.1], [0.02, 0.98]])  # not symmetric: a transposed reading would show
    fps = []
    for f in kfs:
        kf = fp_kalman.KalmanFilter(dim_x=4, dim_z=2)
        kf.x, kf.P, kf.Q, kf.R, kf.F, kf.H = f.x.copy(), f.P.copy(), f.Q.copy(), R_POS.copy(), F_CV, H_POS
        fps.append(kf)
    # FilterPy's IMMEstimator(filters, mu, M) mixes with M[i, j] as the probability of a switch from
    # mode i to mode j (as its code reads it), this package's transition[i, j].
    est = fp_kalman.IMMEstimator(fps, np.array([0.5, 0.5]), T)
    imm = vx.IMM(kfs, transition=T, mu=[0.5, 0.5])
    for z in zs:
        est.predict()
        est.update(z)
        imm.predict()
        imm.update(z)
        np.testing.assert_allclose(imm.mu, est.mu, rtol=1e-8, atol=1e-12)
        np.testing.assert_allclose(imm.x, est.x.ravel(), rtol=1e-8, atol=1e-8)
        np.testing.assert_allclose(imm.P, est.P, rtol=1e-8, atol=1e-8)


@pytest.mark.parametrize("square_root", [False, True], ids=["ckf", "srckf"])
@pytest.mark.parametrize("compiled", [True, False], ids=["native-run", "python-steps"])
def test_one_model_is_its_filter_bit_for_bit(square_root, compiled):
    zs = linear_track(np.random.default_rng(4), 80)
    zs[[3, 30]] = np.nan
    kf = cv_filter(0.5, compiled, square_root)
    imm = vx.IMM([kf], transition=[[1.0]])
    res = imm.run(zs, nan_means_missing=True)
    ref = kf.copy().run(zs, nan_means_missing=True)
    assert same(res.xs, ref.xs) and same(res.Ps, ref.Ps)
    assert same(res.xs_model[0], ref.xs) and same(res.Ps_model[0], ref.Ps)
    assert same(res.log_likelihoods, ref.log_likelihoods)
    assert (res.mus == 1.0).all()
    # Step by step too.
    lone, single = kf.copy(), vx.IMM([kf], transition=[[1.0]])
    for z in zs[:20]:
        lone.predict()
        lone.update(z, nan_means_missing=True)
        single.predict()
        single.update(z, nan_means_missing=True)
        assert same(single.x, lone.x) and same(single.P, lone.P)


# -- a manoeuvring target ---------------------------------------------------------

def straight_turn_straight(rng):
    """Straight for 40 scans, a 3 deg/s turn for 30 scans, straight again; radar from the origin."""
    x = np.array([3000.0, 2000.0, -60.0, 40.0])
    track = []
    for k in range(100):
        w = np.deg2rad(3.0) if 40 <= k < 70 else 0.0
        if w:
            c, s = np.cos(w * DT), np.sin(w * DT)
            vx_, vy_ = x[2], x[3]
            x = np.array([x[0] + (s * vx_ - (1 - c) * vy_) / w, x[1] + ((1 - c) * vx_ + s * vy_) / w,
                          c * vx_ - s * vy_, s * vx_ + c * vy_])
        else:
            x = F_CV @ x
        track.append(x)
    track = np.array(track)
    rng_ = np.hypot(track[:, 0], track[:, 1]) + rng.normal(0, 5.0, len(track))
    brg = np.arctan2(track[:, 1], track[:, 0]) + rng.normal(0, 1e-3, len(track))
    return track, np.column_stack([rng_, brg])


def radar_pair(x0):
    radar = models.range_bearing()
    cv = vx.VexelCKF(4, 2, DT, fx=models.linear(F_CV), hx=radar)
    cv.x, cv.P = x0[:4], np.diag([100.0, 100.0, 25.0, 25.0])
    cv.Q = 0.01 * np.array([[1 / 3, 0, 1 / 2, 0], [0, 1 / 3, 0, 1 / 2], [1 / 2, 0, 1, 0], [0, 1 / 2, 0, 1]])
    cv.R = np.diag([25.0, 1e-6])
    ct = vx.VexelCKF(5, 2, DT, fx=models.coordinated_turn(), hx=radar)
    ct.x, ct.P = x0, np.diag([100.0, 100.0, 25.0, 25.0, 1e-3])
    ct.Q = np.diag([0.01, 0.01, 0.1, 0.1, 1e-5])
    ct.R = np.diag([25.0, 1e-6])
    return cv, ct


def test_mode_probabilities_switch_to_the_turn_within_a_few_scans():
    track, zs = straight_turn_straight(np.random.default_rng(5))
    cv, ct = radar_pair(np.r_[track[0], 0.0])
    imm = vx.IMM([cv, ct], transition=[[0.95, 0.05], [0.05, 0.95]], mu=[0.5, 0.5],
                 state_maps=[[0, 1, 2, 3], [0, 1, 2, 3, 4]])
    res = imm.run(zs)
    turn = res.mus[:, 1]
    # Thresholds: the turn starts at scan 40; from its 4th scan (43) to its end the turn model holds more
    # than 0.5, 0.85 on average; on the straight legs (once settled, and from 5 scans after the turn) less
    # than 0.3 on average.
    assert (turn[43:70] > 0.5).all() and turn[43:70].mean() > 0.85, turn[40:70]
    assert turn[10:40].mean() < 0.3 and turn[75:].mean() < 0.3
    # The combined estimate follows the track through the turn.
    err = np.hypot(*(res.xs[:, :2] - track[:, :2]).T)
    assert err[10:].max() < 30.0
    assert np.all(np.linalg.eigvalsh(res.Ps) > 0)


# -- the bank ---------------------------------------------------------------------

def test_bank_targets_equal_lone_imms_through_failures_and_recoveries():
    # Failed predictions (non-finite images of some targets' turn model), missed and bad rows, keep and add.
    # A lone IMM's failed step raises and changes nothing; the bank's target keeps its state and reports the
    # failure (status 2 or 3), a failed prediction at its next update, which it skips.
    rng = np.random.default_rng(6)
    turn = models.coordinated_turn()
    bank_poison, lone_poison = set(), set()

    def bank_ct(X, dt):
        Y = turn(X, dt)
        for t in bank_poison:
            Y[10 * t + 2, 0] = np.nan
        return Y

    def lone_ct(i):
        def fx(X, dt):
            Y = turn(X, dt)
            if i in lone_poison:
                Y[2, 0] = np.nan
            return Y
        return fx

    cv, ct = radar_pair(np.array([3000.0, 2000.0, -60.0, 40.0, 0.0]))
    maps = [[0, 1, 2, 3], [0, 1, 2, 3, 4]]
    T = [[0.9, 0.1], [0.2, 0.8]]

    def lone_imm(i, cv_t, ct_t):
        ct_t = ct_t.copy()
        ct_t.fx = lone_ct(i)
        return vx.IMM([cv_t, ct_t], transition=T, mu=[0.7, 0.3], state_maps=maps)

    ct_bank = ct.copy()
    ct_bank.fx = bank_ct
    bank = vx.IMMBank(6, [cv, ct_bank], transition=T, mu=[0.7, 0.3], state_maps=maps)
    lones = [lone_imm(i, cv, ct) for i in range(6)]
    ids = list(range(6))  # the lone IMM of each bank target
    pending = [0] * 6
    truth = np.array([3000.0, 2000.0])
    seen = set()
    for step in range(40):
        bank_poison.clear()
        bank_poison.update(int(t) for t in np.flatnonzero(rng.random(len(ids)) < 0.15))
        lone_poison.clear()
        lone_poison.update(ids[t] for t in bank_poison)
        bank.predict()
        for i in ids:
            try:
                lones[i].predict()
                pending[i] = 0
            except ValueError:  # non-finite images
                pending[i] = 3
        truth = truth + np.array([-60.0, 40.0])
        z = np.array([np.hypot(*truth), np.arctan2(truth[1], truth[0])])
        zs = z + rng.normal(0, [5.0, 1e-3], (len(ids), 2))
        kinds = rng.choice(["z", "missed", "bad"], size=len(ids), p=[0.7, 0.15, 0.15])
        zs[kinds == "missed"] = np.nan
        zs[kinds == "bad", 1] = np.nan
        bank.update(zs)
        expected = []
        for t, i in enumerate(ids):
            if pending[i]:
                expected.append(pending[i])
            elif kinds[t] == "missed":
                lones[i].update(None)
                expected.append(4)
            elif kinds[t] == "bad":
                with pytest.raises(ValueError):
                    lones[i].update(zs[t])
                expected.append(3)
            else:
                lones[i].update(zs[t])
                expected.append(0)
            pending[i] = 0
        np.testing.assert_array_equal(bank.status, expected)
        seen.update(expected)
        for t, i in enumerate(ids):
            lone = lones[i]
            assert same(bank.xs[t], lone.x) and same(bank.Ps[t], lone.P), (step, t)
            assert same(bank.mus[t], lone.mu), (step, t)
            if expected[t] <= 1:
                assert same(float(bank.log_likelihoods[t]), lone.log_likelihood)
            for j in range(2):
                assert same(bank.xs_model[j][t], lone.xs_model[j]) and same(bank.Ps_model[j][t], lone.Ps_model[j])
        if step == 20:
            bank.keep([4, 0, 2, 1])
            ids = [ids[k] for k in (4, 0, 2, 1)]
        if step == 30:
            x_new = np.array([2900.0, 2100.0, -60.0, 40.0, 0.01])
            P_new = np.diag([100.0, 100.0, 25.0, 25.0, 1e-3])
            bank.add(x_new, P_new)
            cv_n, ct_n = cv.copy(), ct.copy()
            cv_n.x, cv_n.P = x_new[:4], P_new[:4, :4]
            ct_n.x, ct_n.P = x_new, P_new
            lones.append(lone_imm(len(lones), cv_n, ct_n))
            pending.append(0)
            ids.append(len(lones) - 1)
    assert seen == {0, 3, 4}


def test_bank_with_compiled_models_equals_lone_imms_and_runs():
    cv, ct = radar_pair(np.array([3000.0, 2000.0, -60.0, 40.0, 0.0]))
    maps = [[0, 1, 2, 3], [0, 1, 2, 3, 4]]
    bank = vx.IMMBank(3, [cv, ct], transition=T2, state_maps=maps)
    track, zs = straight_turn_straight(np.random.default_rng(7))
    seq = np.stack([zs[:30], zs[:30] + [3.0, 0.0], zs[:30] - [3.0, 0.0]], axis=1)
    res = bank.run(seq)
    for t in range(3):
        lone = vx.IMM([cv, ct], transition=T2, state_maps=maps).run(seq[:, t])
        assert same(res.xs[:, t], lone.xs) and same(res.Ps[:, t], lone.Ps) and same(res.mus[:, t], lone.mus)
        assert same(res.log_likelihoods[:, t], lone.log_likelihoods)
    assert (res.status == 0).all()


# -- numerical edge cases -------------------------------------------------------------

def test_an_underflowing_likelihood_leaves_mode_probabilities_inside_the_open_interval():
    tight, loose = cv_filter(0.01), cv_filter(0.01)
    tight.R = 1e-8 * np.eye(2)
    loose.R = 1e4 * np.eye(2)
    imm = vx.IMM([tight, loose], transition=T2, mu=[0.5, 0.5])
    imm.predict()
    imm.update([1e4, -1e4])  # the tight model's log-likelihood is about -1e16: exp underflows to 0
    assert np.isfinite(imm.mu).all() and 0 < imm.mu[0] < 1 and 0 < imm.mu[1] < 1
    assert imm.mu[0] == pytest.approx(FLOOR, rel=1e-6)
    assert abs(imm.mu.sum() - 1.0) < 1e-15 and np.isfinite(imm.log_likelihood)
    assert imm.likelihood == np.exp(imm.log_likelihood)
    # A floored mode still comes back when the data favour it again.
    for _ in range(20):
        imm.predict()
        imm.update(H_POS @ imm.filters[0].x)
    assert imm.mu[0] > 0.5


# -- state maps of different sizes ------------------------------------------------------

def nested_reference(weights, ests, own=None):
    """The documented rule for two models where model 0 holds components 0..3 and model 1 holds 0..4:
    component 4 over model 1 alone; model 0 stands in for it with model 1's value and variance, uncorrelated."""
    (x0, P0), (x1, P1) = ests
    w0, w1 = weights / weights.sum()
    x = np.empty(5)
    x[:4] = w0 * x0 + w1 * x1[:4]
    x[4] = x1[4] if w1 > 0 else own[0][4]
    d0 = np.r_[x0 - x[:4], 0.0]
    d1 = x1 - x
    A0 = np.zeros((5, 5))
    A0[:4, :4] = P0
    A0[4, 4] = P1[4, 4] if w1 > 0 else own[1][4, 4]
    P = w0 * (A0 + np.outer(d0, d0)) + w1 * (P1 + np.outer(d1, d1))
    return x, P


def test_state_maps_of_different_sizes_follow_the_documented_rule():
    rng = np.random.default_rng(8)
    identity = models.linear(np.eye(4))
    cv = vx.VexelCKF(4, 2, DT, fx=identity, hx=models.linear_measurement(H_POS))
    ct = vx.VexelCKF(5, 2, DT, fx=models.linear(np.eye(5)), hx=models.linear_measurement(np.eye(2, 5)))
    a, b = rng.standard_normal((4, 4)), rng.standard_normal((5, 5))
    cv.x, cv.P, cv.Q = rng.standard_normal(4), a @ a.T + np.eye(4), 1e-3 * np.eye(4)
    ct.x, ct.P, ct.Q = rng.standard_normal(5), b @ b.T + np.eye(5), 1e-3 * np.eye(5)
    T = np.array([[0.8, 0.2], [0.3, 0.7]])
    mu = np.array([0.4, 0.6])
    imm = vx.IMM([cv, ct], T, mu, state_maps=[[0, 1, 2, 3], [0, 1, 2, 3, 4]])
    ests = [(cv.x, cv.P), (ct.x, ct.P)]
    x, P = nested_reference(mu, ests)
    np.testing.assert_allclose(imm.x, x, rtol=1e-13, atol=1e-13)
    np.testing.assert_allclose(imm.P, P, rtol=1e-13, atol=1e-13)
    # The mixing into each model, seen through an identity motion: the mixed estimate plus Q.
    imm.predict()
    cbar = T.T @ mu
    omega = T * mu[:, None] / cbar
    x1, P1 = nested_reference(omega[:, 1], ests)
    np.testing.assert_allclose(imm.filters[1].x, x1, rtol=1e-13, atol=1e-13)
    np.testing.assert_allclose(imm.filters[1].P, P1 + 1e-3 * np.eye(5), rtol=1e-13, atol=1e-13)
    x0_, P0_ = nested_reference(omega[:, 0], ests)
    np.testing.assert_allclose(imm.filters[0].x, x0_[:4], rtol=1e-13, atol=1e-13)
    np.testing.assert_allclose(imm.filters[0].P, P0_[:4, :4] + 1e-3 * np.eye(4), rtol=1e-13, atol=1e-13)
    np.testing.assert_allclose(imm.mu, cbar, rtol=1e-15)
    assert np.linalg.eigvalsh(imm.P).min() > 0


@pytest.mark.parametrize("seed", range(6))
def test_any_state_maps_give_a_covariance_and_component_means_over_the_models_having_them(seed):
    # Three models on random, overlapping parts of a common state of 6 (not nested: some stand-ins have no
    # model holding all of their set and keep the variances only). Whatever the maps, the combined and the
    # mixed covariances are positive semidefinite, and each component's mean is the weighted mean over the
    # models that have it, their weights renormalised over them.
    rng = np.random.default_rng(seed)
    r = 6
    maps = []
    while len(maps) < 3:
        m = sorted(rng.choice(r, size=rng.integers(2, 5), replace=False).tolist())
        maps.append(m)
    for c in set(range(r)) - set().union(*maps):
        maps[int(rng.integers(3))].append(c)
    maps = [list(rng.permutation(m)) for m in maps]
    kfs = []
    for m in maps:
        n = len(m)
        kf = vx.VexelCKF(n, 1, DT, fx=models.linear(np.eye(n)), hx=models.linear_measurement(np.ones((1, n))))
        a = rng.standard_normal((n, n))
        kf.x, kf.P, kf.Q = rng.normal(0, 3, n), a @ a.T + 0.1 * np.eye(n), 1e-9 * np.eye(n)
        kfs.append(kf)
    mu = rng.dirichlet(np.ones(3))
    T = rng.dirichlet(np.ones(3), size=3)
    imm = vx.IMM(kfs, T, mu, state_maps=maps)
    for c in range(r):
        having = [i for i, m in enumerate(maps) if c in m]
        w = mu[having] / mu[having].sum()
        expected = sum(wi * kfs[i].x[maps[i].index(c)] for wi, i in zip(w, having))
        assert imm.x[c] == pytest.approx(expected, rel=1e-12, abs=1e-12)
    assert np.linalg.eigvalsh(imm.P).min() > -1e-12 * np.abs(imm.P).max()
    imm.predict()
    for f in imm.filters:
        assert np.linalg.eigvalsh(f.P).min() > -1e-12 * np.abs(f.P).max()
    assert np.linalg.eigvalsh(imm.P).min() > -1e-12 * np.abs(imm.P).max()


def test_a_zero_transition_column_keeps_a_models_own_estimate():
    cv, ct = cv_filter(0.1), vx.VexelCKF(5, 2, DT, fx=models.linear(np.eye(5)),
                                           hx=models.linear_measurement(np.eye(2, 5)))
    ct.x, ct.Q = np.arange(5.0), 1e-3 * np.eye(5)
    imm = vx.IMM([cv, ct], [[1.0, 0.0], [1.0, 0.0]], [1.0, 0.0], state_maps=[[0, 1, 2, 3], [0, 1, 2, 3, 4]])
    imm.predict()  # mode 1 cannot be reached: its weights are undefined, so it keeps its own estimate
    np.testing.assert_array_equal(imm.filters[1].x, np.arange(5.0))
    assert np.isfinite(imm.x).all() and 0 < imm.mu[1] < 1


def test_angles_are_mixed_and_combined_on_the_circle_near_the_seam():
    def heading_filter(h):
        kf = vx.VexelCKF(5, 2, DT, fx=models.ctrv(), hx=models.range_bearing())
        kf.x = np.array([1000.0, 0.0, h, 10.0, 0.0])
        kf.P = np.diag([10.0, 10.0, 1e-4, 1.0, 1e-4])
        kf.Q = np.diag([1e-2, 1e-2, 1e-6, 1e-2, 1e-6])
        return kf

    a, b = heading_filter(3.1), heading_filter(-3.1)
    imm = vx.IMM([a, b], T2, [0.5, 0.5])
    assert imm.angle_states == (2,)
    gap = 2 * np.pi - 6.2  # the short way between 3.1 and -3.1
    assert abs(abs(imm.x[2]) - np.pi) < 1e-12
    assert imm.P[2, 2] == pytest.approx(1e-4 + (gap / 2) ** 2, rel=1e-12)
    imm.predict()
    for f in imm.filters:
        assert abs(abs(f.x[2]) - np.pi) < 0.05 and f.P[2, 2] < 0.01
    res = imm.run(np.array([[1000.0, 0.0]] * 5))
    assert (np.abs(res.xs[:, 2]) > 3.0).all() and (res.Ps[:, 2, 2] < 0.01).all()


# -- arguments ------------------------------------------------------------------------

def two():
    return [cv_filter(0.1), cv_filter(1.0)]


@pytest.mark.parametrize("kwargs, exc, match", [
    (dict(filters=[], transition=[[1.0]]), ValueError, "filters must hold at least one"),
    (dict(filters=["kf"], transition=[[1.0]]), TypeError, r"filters\[0\] must be a VexelCKF"),
    (dict(transition=[[0.9, 0.2], [0.1, 0.9]]), ValueError, "transition rows must sum to 1.*row 0"),
    (dict(transition=[[1.0, 0.0]]), ValueError, r"transition must have shape \(2, 2\)"),
    (dict(transition=[[1.5, -0.5], [0.5, 0.5]]), ValueError, "transition must hold finite probabilities"),
    (dict(mu=[0.5, 0.6]), ValueError, "mu must sum to 1"),
    (dict(mu=[1.0]), ValueError, r"mu must have shape \(2,\)"),
    (dict(state_maps=[[0, 1, 2, 3]]), ValueError, "state_maps must hold one index sequence per model"),
    (dict(state_maps=[[0, 1, 2, 3], [0, 1, 2, 2]]), ValueError, r"state_maps\[1\] holds 2 twice"),
    (dict(state_maps=[[0, 1, 2, 3], [0, 1, 2]]), ValueError, r"state_maps\[1\] must list 4 indices"),
    (dict(state_maps=[[0, 1, 2, 3], [0, 1, 2, 5]]), ValueError, r"leaves component\(s\) \[4\]"),
    (dict(state_maps=[[0, 1, 2, 3], [0, 1, 2, -3]]), ValueError, r"state_maps\[1\] holds -3"),
    (dict(state_maps=[[0, 1, 2, 3], [0, 1, 2, 3.0]]), TypeError, r"state_maps\[1\] must hold integer"),
])
def test_bad_arguments_are_refused_naming_them(kwargs, exc, match):
    args = dict(filters=two(), transition=T2)
    args.update(kwargs)
    with pytest.raises(exc, match=match):
        vx.IMM(**args)


def test_other_refusals():
    cv, ct = radar_pair(np.zeros(5) + 1.0)
    with pytest.raises(ValueError, match="state_maps is needed when the models' state sizes differ"):
        vx.IMM([cv, ct], T2)
    ang = vx.VexelCKF(5, 2, DT, fx=models.ctrv(), hx=models.range_bearing())
    with pytest.raises(ValueError, match="state_maps maps an angle and a non-angle state to common component 2"):
        vx.IMM([ct, ang], T2)
    with pytest.raises(ValueError, match="square-root filter: an IMMBank runs covariance-form models"):
        vx.IMMBank(2, [cv_filter(0.1, square_root=True)], [[1.0]])
    imm = vx.IMM(two(), T2)
    with pytest.raises(ValueError, match=r"zs must have shape \(N, 2\)"):
        imm.run(np.zeros((3, 3)))
    with pytest.raises(ValueError, match="partly NaN"):
        imm.run(np.array([[1.0, np.nan]]), nan_means_missing=True)
    before = imm.to_dict()
    with pytest.raises(ValueError):
        imm.update([1.0, np.nan])
    assert pickle.dumps(imm.to_dict()) == pickle.dumps(before)


def test_a_failing_step_leaves_the_imm_as_it_was():
    def bad_fx(X, dt):
        raise ZeroDivisionError("model failed")

    kfs = two()
    kfs[1].fx = bad_fx
    imm = vx.IMM(kfs, T2, [0.3, 0.7])
    before = imm.to_dict()
    with pytest.raises(ZeroDivisionError):
        imm.predict()
    after = imm.to_dict()
    assert after["mu"] == before["mu"]
    for f0, f1 in zip(before["filters"], after["filters"]):
        assert all(same(np.asarray(f0[k]), np.asarray(f1[k])) for k in f0), "a model changed"


# -- round trips ----------------------------------------------------------------------

@pytest.mark.parametrize("how", ["copy", "deepcopy", "pickle", "dict"])
def test_copies_continue_identically(how):
    cv, ct = radar_pair(np.array([3000.0, 2000.0, -60.0, 40.0, 0.0]))
    imm = vx.IMM([cv, ct], T2, [0.8, 0.2], state_maps=[[0, 1, 2, 3], [0, 1, 2, 3, 4]])
    _, zs = straight_turn_straight(np.random.default_rng(9))
    imm.run(zs[:10])
    if how == "copy":
        twin = imm.copy()
    elif how == "deepcopy":
        twin = copy.deepcopy(imm)
    elif how == "pickle":
        twin = pickle.loads(pickle.dumps(imm))
    else:
        twin = vx.IMM.from_dict(imm.to_dict(), fx=[f.fx for f in imm.filters], hx=[f.hx for f in imm.filters])
    assert same(twin.x, imm.x) and same(twin.mu, imm.mu)
    a, b = imm.run(zs[10:40]), twin.run(zs[10:40])
    assert all(same(u, v) for u, v in zip(a[:4], b[:4]))
    assert twin.filters[0] is not imm.filters[0]


def test_bank_copies_continue_identically():
    cv, ct = radar_pair(np.array([3000.0, 2000.0, -60.0, 40.0, 0.0]))
    bank = vx.IMMBank(4, [cv, ct], T2, state_maps=[[0, 1, 2, 3], [0, 1, 2, 3, 4]])
    _, zs = straight_turn_straight(np.random.default_rng(10))
    seq = np.repeat(zs[:20, None, :], 4, axis=1)
    bank.run(seq[:5])
    restored = vx.IMMBank.from_dict(bank.to_dict(), fx=[b.fx for b in bank.banks], hx=[b.hx for b in bank.banks])
    for twin in (bank.copy(), pickle.loads(pickle.dumps(bank)), restored):
        a, b = bank.copy().run(seq[5:]), twin.run(seq[5:])
        assert all(same(u, v) for u, v in zip(a, b))


def test_bank_calls_each_python_model_once_per_step_for_all_targets():
    calls = []
    turn, radar = models.coordinated_turn(), models.range_bearing()

    def fx(X, dt):
        calls.append(("fx", X.shape))
        return turn(X, dt)

    def hx(X):
        calls.append(("hx", X.shape))
        return radar(X)

    cv, ct = radar_pair(np.array([3000.0, 2000.0, -60.0, 40.0, 0.0]))
    ct.fx, ct.hx = fx, hx
    bank = vx.IMMBank(50, [cv, ct], T2, state_maps=[[0, 1, 2, 3], [0, 1, 2, 3, 4]])
    _, zs = straight_turn_straight(np.random.default_rng(12))
    bank.run(np.repeat(zs[:3, None, :], 50, axis=1))
    assert calls == [("fx", (500, 5)), ("hx", (500, 5))] * 3


def test_a_failing_native_run_keeps_the_state_before_the_failing_step():
    kfs = two()
    kfs[1].fx = models.linear(1e100 * np.eye(4))  # its covariance overflows at the second prediction
    imm = vx.IMM(kfs, T2, [0.5, 0.5])
    stepped = imm.copy()
    zs = linear_track(np.random.default_rng(13), 5)
    with pytest.raises(RuntimeError) as info:
        imm.run(zs)
    stepped.predict()
    stepped.update(zs[0])
    assert same(imm.x, stepped.x) and same(imm.P, stepped.P) and same(imm.mu, stepped.mu)
    for a, b in zip(imm.filters, stepped.filters):
        assert same(a.x, b.x) and same(a.P, b.P)
    notes = getattr(info.value, "__notes__", ["at step 1"])
    assert any("at step 1" in n for n in notes)
    with pytest.raises(RuntimeError):
        stepped.predict()
    assert same(stepped.x, imm.x) and same(stepped.mu, imm.mu)


@pytest.mark.parametrize("step", ["predict", "update"])
def test_a_bank_whose_later_callback_raises_continues_as_if_the_step_never_ran(step):
    # Model 1's Python callback raises once, after model 0's bank has stepped: every bank (priors,
    # jitter counts, diagnostics included) must be as before, and retried, the bank goes on exactly
    # as a twin that never saw the failure.
    def make(fail_on):
        calls = [0]

        def flaky(X):
            calls[0] += 1
            if calls[0] == fail_on:
                raise ZeroDivisionError("model failed")
            return X @ (F_CV.T if step == "predict" else H_POS.T)

        kfs = [cv_filter(0.1, compiled=False), cv_filter(1.0, compiled=False)]
        if step == "predict":
            kfs[1].fx = lambda X, dt: flaky(X)
        else:
            kfs[1].hx = flaky
        return vx.IMMBank(6, kfs, T2, [0.4, 0.6])

    bank, twin = make(fail_on=2), make(fail_on=0)
    failures = 0
    for z in linear_track(np.random.default_rng(4), 4):
        rows = np.tile(z, (6, 1)) + np.arange(6)[:, None]
        twin.predict()
        twin.update(rows)
        for op in (bank.predict, lambda: bank.update(rows)):
            before = pickle.dumps(bank.to_dict())
            try:
                op()
            except ZeroDivisionError:
                failures += 1
                assert pickle.dumps(bank.to_dict()) == before
                op()
    assert failures == 1
    assert pickle.dumps(bank.to_dict()) == pickle.dumps(twin.to_dict())
