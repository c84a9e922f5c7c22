"""CKFBank: every filter of a bank against a lone VexelCKF fed the same data,
per-filter faults, failure atomicity and pool-size independence."""

import os
import pickle
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from vexel_ckf import CKFBank, VexelCKF
from vexel_ckf._angles import wrap

from support import same

N, MZ = 5, 2
P0 = np.diag([100.0, 100.0, 10.0, 10.0, 1e-4])
Q0 = np.diag([1.0, 1.0, 1.0, 1.0, 1e-5])
R0 = np.diag([25.0, 1e-4])


def turn(X, dt):
    """Coordinated turn of rows [px, py, vx, vy, omega]."""
    px, py, vx, vy, w = X.T
    wt = w * dt
    s, c = np.sin(wt), np.cos(wt)
    a, b = s / w, (1.0 - c) / w
    return np.column_stack((px + a * vx - b * vy, py + b * vx + a * vy, c * vx - s * vy, s * vx + c * vy, w))


def radar(X):
    return np.column_stack((np.hypot(X[:, 0], X[:, 1]), np.arctan2(X[:, 1], X[:, 0])))


def targets(rng, count):
    return np.column_stack((rng.uniform(1e3, 5e3, (count, 2)), rng.normal(0, 10, (count, 2)),
                            rng.normal(0, 0.02, count) + 0.01))


def measure(rng, xs):
    return radar(xs) + rng.normal(0.0, [5.0, 0.01], (len(xs), MZ))


def single(x, P, Q=Q0, R=R0, fx=turn, hx=radar):
    kf = VexelCKF(N, MZ, 1.0, fx=fx, hx=hx)
    kf.x, kf.P, kf.Q, kf.R = x, P, Q, R
    return kf


def make_bank(xs, per_filter_noise=False, **kw):
    bank = CKFBank(len(xs), N, MZ, 1.0, kw.pop("fx", turn), kw.pop("hx", radar), **kw)
    bank.xs, bank.Ps = xs, P0
    scale = np.linspace(0.5, 2.0, len(xs))[:, None, None]
    bank.Q, bank.R = (Q0 * scale, R0 * scale) if per_filter_noise else (Q0, R0)
    return bank


def singles_of(bank):
    Qs = bank.Q if bank.Q.ndim == 3 else [bank.Q] * len(bank)
    Rs = bank.R if bank.R.ndim == 3 else [bank.R] * len(bank)
    return [single(x, P, Q, R) for x, P, Q, R in zip(bank.xs, bank.Ps, Qs, Rs)]


def step_singles(kfs, zs):
    for kf, z in zip(kfs, zs):
        kf.predict()
        kf.update(None if np.isnan(z).all() else z)


def assert_matches(bank, kfs, rows=None, status=None, diagnostics=True):
    """Filters `rows` of the bank equal the lone filters, bit for bit (the update's diagnostics too)."""
    rows = range(len(bank)) if rows is None else rows
    got = {name: getattr(bank, name) for name in ("xs", "Ps", "xs_prior", "Ps_prior", "log_likelihoods", "nis")}
    assert len(bank) == len(kfs)
    for i in rows:
        kf = kfs[i]
        want = {"xs": kf.x, "Ps": kf.P, "xs_prior": kf.x_prior, "Ps_prior": kf.P_prior}
        if diagnostics:
            want.update(log_likelihoods=kf.log_likelihood, nis=kf.nis)
        for name, value in want.items():
            assert same(np.asarray(got[name][i]), np.asarray(value)), (name, i)
        assert bank.jitter_counts[i] == kf.jitter_count, i
    if status is not None:
        np.testing.assert_array_equal(bank.status[list(rows)], status)


def test_callbacks_run_under_the_callers_numpy_memory_handler():
    # The bank leaves NumPy's memory to NumPy: a callback's temporaries (here just under 256 KiB, where a
    # home-made handler once mistook heap blocks for mapped ones) come from the handler the caller has.
    try:
        from numpy._core.multiarray import get_handler_name
    except ImportError:  # NumPy 1.x
        from numpy.core.multiarray import get_handler_name
    seen = []

    def fx(X, dt):
        seen.append(get_handler_name())
        np.empty(32767)[:] = 1.0
        return turn(X, dt)

    bank = make_bank(targets(np.random.default_rng(5), 4), fx=fx)
    for _ in range(50):
        bank.predict()
    assert set(seen) == {get_handler_name()}


INDEFINITE = np.diag([1.0, -1.0, 1.0, 1.0, 1.0])  # no factorisation, even with jitter


@pytest.mark.parametrize("seed", [0, 1, 2, 3])
def test_every_filter_equals_its_lone_filter_through_failures_and_recoveries(seed):
    # Random sequences of predictions, updates, assignments and keeps, with failed predictions (a covariance
    # that cannot be factored, non-finite images), repeated predictions and updates, missed and bad rows.
    # A lone filter's failed prediction raises and changes nothing; the bank's leaves that filter as it was
    # and skips its next update (status 2 or 3) unless a later prediction succeeds first.
    rng = np.random.default_rng(seed)
    poisoned = set()  # filters whose images the next prediction makes non-finite

    def bank_fx(X, dt):
        Y = turn(X, dt)
        for i in poisoned:
            Y[2 * N * i + 3, 0] = np.nan
        return Y

    def lone_fx(kf):
        def fx(X, dt):
            Y = turn(X, dt)
            if kf in poisoned_lone:
                Y[3, 0] = np.nan
            return Y
        return fx

    bank = make_bank(targets(rng, 6), per_filter_noise=bool(seed % 2), fx=bank_fx)
    kfs = singles_of(bank)
    pending = [0] * len(kfs)
    poisoned_lone = []
    for _ in range(40):
        action = rng.choice(["predict", "update", "assign", "keep"], p=[0.4, 0.4, 0.15, 0.05])
        M = len(bank)
        if action == "predict":
            poisoned.clear()
            poisoned.update(int(i) for i in np.flatnonzero(rng.random(M) < 0.25))
            poisoned_lone[:] = [kfs[i] for i in poisoned]
            bank.predict()
            for i, kf in enumerate(kfs):
                try:
                    kf.predict(fx=lone_fx(kf))
                    pending[i] = 0
                except ValueError:  # non-finite images
                    pending[i] = 3
                except RuntimeError:  # no factor of P
                    pending[i] = 2
        elif action == "update":
            zs = measure(rng, bank.xs)
            kinds = rng.choice(["z", "missed", "bad"], size=M, p=[0.7, 0.15, 0.15])
            zs[kinds == "missed"] = np.nan
            zs[kinds == "bad", 1] = np.nan
            bank.update(zs)
            expected = []
            for i, kf in enumerate(kfs):
                if pending[i]:
                    expected.append(pending[i])
                elif kinds[i] == "missed":
                    kf.update(None)
                    expected.append(4)
                elif kinds[i] == "bad":
                    with pytest.raises(ValueError):
                        kf.update(zs[i])
                    expected.append(3)
                else:
                    fallbacks = kf.singular_innovation_count
                    try:
                        kf.update(zs[i])
                        expected.append(int(kf.singular_innovation_count != fallbacks))
                    except RuntimeError:  # P assigned without a factor
                        expected.append(2)
                pending[i] = 0
            np.testing.assert_array_equal(bank.status, expected)
            for i, st in enumerate(expected):
                if st < 2:
                    assert bank.log_likelihoods[i] == kfs[i].log_likelihood and bank.nis[i] == kfs[i].nis, i
                else:
                    assert np.isnan(bank.log_likelihoods[i]) and np.isnan(bank.nis[i]), i
        elif action == "assign":
            Ps = bank.Ps.copy()
            for i in np.flatnonzero(rng.random(M) < 0.3):
                Ps[i] = INDEFINITE if rng.random() < 0.5 else P0
                kfs[i].P = Ps[i]
            bank.Ps = Ps
        else:
            order = [int(i) for i in rng.permutation(M)[:max(1, M - 1)]]
            bank.keep(order)
            kfs, pending = [kfs[i] for i in order], [pending[i] for i in order]
        assert_matches(bank, kfs, diagnostics=False)


def test_unsigned_indices_are_checked_before_any_cast():
    bank = make_bank(targets(np.random.default_rng(3), 3))
    for value in (2**64 - 1, 2**63, 3):
        with pytest.raises(ValueError, match=rf"^mask_or_indices must lie in \[-3, 3\), got {value}$"):
            bank.keep(np.array([value], dtype=np.uint64))
    assert len(bank) == 3
    bank.keep(np.array([2, 0], dtype=np.uint64))
    assert len(bank) == 2


@pytest.mark.parametrize("per_filter_noise", [False, True], ids=["shared-noise", "per-filter-noise"])
def test_filters_equal_lone_filters_through_misses_keep_and_add(per_filter_noise):
    rng = np.random.default_rng(1)
    bank = make_bank(targets(rng, 7), per_filter_noise)
    kfs = singles_of(bank)
    for k in range(7):
        zs = measure(rng, bank.xs)
        zs[k % len(bank)] = np.nan  # one missed row per step
        bank.predict()
        bank.update(zs)
        step_singles(kfs, zs)
        assert_matches(bank, kfs, status=[4 if np.isnan(z).all() else 0 for z in zs])
        if k == 2:
            order = [5, 0, 3]
            bank.keep(order)
            kfs = [kfs[i] for i in order]
        if k == 4:
            new = targets(rng, 2)
            Ps = np.stack([P0, 2 * P0])
            noise = {"Q": np.stack([Q0, Q0]), "R": np.stack([R0, 3 * R0])} if per_filter_noise else {}
            bank.add(new, Ps, **noise)
            kfs += [single(x, P, noise.get("Q", [Q0] * 2)[j], noise.get("R", [R0] * 2)[j])
                    for j, (x, P) in enumerate(zip(new, Ps))]
            assert len(bank) == bank.M == 5
            assert_matches(bank, kfs, rows=[3, 4], status=[4, 4])


def turn_stretched(X, dt, stretch=1.0):
    return turn(X, dt * stretch)


def radar_from(X, ox=0.0, oy=0.0):
    return radar(X - np.array([ox, oy, 0.0, 0.0, 0.0]))


# Per step: the mask of filters flagged missing (None: no mask), the rows of zs that are all NaN, and the
# per-call fx_args and hx_args (None: the stored ones, (): none).
MIXED_STEPS = [
    (None, [], None, None),
    ([True, False, False, False, False], [2], (0.5,), None),
    ([False, True, False, False, True], [], None, (10.0, -20.0)),
    (None, [3], (2.0,), (0.0, 5.0)),
    ([False] * 5, [0, 4], None, None),
    ([True] * 5, [], (1.0,), (1.0, 1.0)),
    (np.array([False, False, True, True, False]), [1], (), ()),
]


def test_bank_filters_equal_lone_filters_through_masks_nan_rows_and_per_call_arguments():
    # The lone filters spell every option the other accepted way (angles as a mask, a NaN row through
    # nan_means_missing); the bank's masked rows hold junk that would be bad data if they were read.
    rng = np.random.default_rng(12)
    bank = CKFBank(5, N, MZ, 1.0, turn_stretched, radar_from, fx_args=(1.5,), hx_args=[-3.0, 2.0],
                   angle_measurements=[-1])
    bank.xs, bank.Ps, bank.Q, bank.R = targets(rng, 5), P0, Q0, R0
    kfs = []
    for x in bank.xs:
        kf = VexelCKF(N, MZ, 1.0, fx=turn_stretched, hx=radar_from, angle_measurements=[False, True],
                      fx_args=(1.5,), hx_args=(-3.0, 2.0), nan_means_missing=True)
        kf.x, kf.P, kf.Q, kf.R = x, P0, Q0, R0
        kfs.append(kf)
    for missing, nan_rows, fx_args, hx_args in MIXED_STEPS:
        zs = measure(rng, bank.xs)
        zs[nan_rows] = np.nan
        flagged = np.zeros(5, bool) if missing is None else np.asarray(missing)
        zs[flagged, 0] = np.inf
        given = zs.copy()
        bank.predict(fx_args=fx_args)
        bank.update(zs, missing, hx_args=hx_args)
        assert same(zs, given)  # the caller's array is not written
        for kf, z, skip in zip(kfs, zs, flagged):
            kf.predict(fx_args=fx_args)
            kf.update(None if skip else z, hx_args=hx_args)
        assert_matches(bank, kfs, status=[4 if skip or i in nan_rows else 0 for i, skip in enumerate(flagged)])


@pytest.mark.parametrize("missing, rows, exc, message", [
    (np.array([1, 0, 0]), 3, TypeError, "missing must be a boolean mask of the filters without a measurement, "
                                        "got dtype int64"),
    ([True, False], 3, ValueError, r"missing must have shape (3,), got (2,)"),
    (np.zeros((3, 1), bool), 3, ValueError, r"missing must have shape (3,), got (3, 1)"),
    # A good mask with measurements of the wrong shape: the measurements are named.
    ([True, False, False], 2, ValueError, "zs must have shape (3, 2), got (2, 2)"),
])
def test_missing_masks_are_validated_before_any_filter_changes(missing, rows, exc, message):
    bank = make_bank(targets(np.random.default_rng(13), 3))
    bank.predict()
    before = bank.to_dict()
    with pytest.raises(exc) as info:
        bank.update(measure(np.random.default_rng(14), bank.xs)[:rows], missing)
    assert str(info.value) == message
    assert all(same(np.asarray(before[k]), np.asarray(v)) for k, v in bank.to_dict().items())


def test_jitter_is_counted_per_filter_as_a_lone_filter_counts_it():
    rng = np.random.default_rng(12)
    bank = make_bank(targets(rng, 3))
    Ps = bank.Ps.copy()
    Ps[1, 4, :] = Ps[1, :, 4] = 0.0  # singular: the update's factorisation needs jitter
    bank.Ps = Ps
    kfs = singles_of(bank)
    zs = measure(rng, bank.xs)
    bank.update(zs)  # an update straight away, before any prediction
    for kf, z in zip(kfs, zs):
        kf.update(z)
    assert_matches(bank, kfs, status=[0, 0, 0])
    assert bank.jitter_counts.tolist() == [0, 1, 0]


def test_keep_takes_a_mask_or_indices():
    rng = np.random.default_rng(2)
    a = make_bank(targets(rng, 6))
    b = a.copy()
    a.keep(np.array([True, False, True, False, False, True]))
    b.keep([0, -4, 5])
    for name in ("xs", "Ps"):
        assert same(getattr(a, name), getattr(b, name))
    for bad, err in (([0, 0], ValueError), ([3], ValueError), ([0.5], TypeError), (np.ones(2, bool), ValueError)):
        with pytest.raises(err):
            a.keep(bad)


def test_callback_sees_every_filter_in_the_fixed_layout():
    rng = np.random.default_rng(3)
    xs = targets(rng, 4)
    seen = []

    def fx(X, dt, scale):
        seen.append((X.copy(), dt, scale))
        return X

    bank = make_bank(xs, fx=fx, fx_args=(7,))
    Ps = np.stack([P0 * (i + 1) for i in range(4)])
    bank.Ps = Ps
    bank.predict(dt=0.25)
    assert len(seen) == 1
    X, dt, scale = seen[0]
    assert (dt, scale) == (0.25, 7) and X.shape == (4 * 2 * N, N) and bank.dt == 1.0
    for i in range(4):
        # The textbook cubature points of N(x_i, P_i): x_i +- sqrt(n) columns of the Cholesky factor.
        L = np.linalg.cholesky(Ps[i])
        want = np.vstack((xs[i] + np.sqrt(N) * L.T, xs[i] - np.sqrt(N) * L.T))
        np.testing.assert_allclose(X[2 * N * i:2 * N * (i + 1)], want, rtol=1e-13, atol=1e-9)


def test_points_a_callback_kept_are_never_drawn_into_again():
    # The bank may reuse its points array from step to step, but only one
    # that nothing else holds: arrays a callback kept (or froze, or
    # reshaped) stay exactly as the callback saw them.
    rng = np.random.default_rng(4)
    kept, copies = [], []

    def fx(X, dt):
        if len(kept) == 1:
            X.flags.writeable = False
        kept.append(X)
        copies.append(X.copy())
        return X.copy()

    bank = make_bank(targets(rng, 3), fx=fx)
    for _ in range(3):
        bank.predict()
    assert len({id(X) for X in kept}) == 3
    for X, C in zip(kept, copies):
        assert same(X, C)


def test_faulty_filters_get_their_status_and_the_rest_match():
    rng = np.random.default_rng(4)
    xs = targets(rng, 8)

    def fx(X, dt):  # non-finite images for filter 4
        Y = turn(X, dt)
        Y[2 * N * 4 + 3, 1] = np.nan
        return Y

    def hx(X):  # constant images for filter 6, an infinite one for filter 5
        Z = radar(X)
        rows = slice(2 * N * 6, 2 * N * 7)
        Z[rows] = Z[rows].mean(axis=0)
        Z[2 * N * 5 + 1, 0] = np.inf
        return Z

    bank = make_bank(xs, per_filter_noise=True, fx=fx, hx=hx)
    Ps, R = bank.Ps.copy(), bank.R.copy()
    Ps[1] = np.diag([1.0, -1.0, 1.0, 1.0, 1.0])  # indefinite: no factorisation, even with jitter
    Ps[7, 4, 4] = 0.0  # singular but repairable: jitter, counted
    R[6] = 0.0  # with hx constant for filter 6, S = 0: only the pseudo-inverse works
    bank.Ps, bank.R = Ps, R
    kfs = singles_of(bank)
    before = bank.to_dict()
    bank.predict()
    zs = measure(rng, xs)
    zs[2, 1] = np.nan  # a partly missing measurement
    bank.update(zs)

    expected = {1: 2, 2: 3, 4: 3, 5: 3, 6: 1}
    np.testing.assert_array_equal(bank.status, [expected.get(i, 0) for i in range(8)])
    ll, nis = bank.log_likelihoods, bank.nis
    for i in (1, 2, 4, 5):
        assert np.isnan(ll[i]) and np.isnan(nis[i])
    # A failed prediction leaves the filter as it was; bad data leaves the prediction.
    for i in (1, 4):
        assert same(bank.xs[i], before["xs"][i]) and same(bank.Ps[i], before["Ps"][i])
        assert same(bank.xs_prior[i], before["xs_prior"][i])
    for i in (2, 5):
        assert same(bank.xs[i], bank.xs_prior[i]) and same(bank.Ps[i], bank.Ps_prior[i])
    # The others, the fallback-inverse filter 6 included, are exactly their lone filters.
    for i in (0, 3, 7):
        kfs[i].predict()
        kfs[i].update(zs[i])
    kfs[6].predict()
    kfs[6].update(zs[6], hx=lambda X: np.tile(radar(X).mean(axis=0), (len(X), 1)))
    assert np.isneginf(kfs[6].log_likelihood) and kfs[6].singular_innovation_count == 1
    assert_matches(bank, kfs, rows=[0, 3, 6, 7])
    assert bank.jitter_counts[7] == 1
    # The marks are spent: with good callbacks the next step updates filters 2, 4 and 5 again.
    bank.fx, bank.hx = turn, radar
    bank.predict()
    bank.update(measure(rng, bank.xs))
    assert bank.status[[0, 2, 3, 4, 5]].tolist() == [0, 0, 0, 0, 0] and bank.status[1] == 2


def _raises(exc, match=None):
    def fn(*args):
        raise exc(match or "boom")
    return fn


CALLBACK_FAULTS = [
    ("fx", _raises(KeyError), KeyError, "boom"),
    ("hx", _raises(ZeroDivisionError), ZeroDivisionError, "boom"),
    ("fx", lambda X, dt: X[:, :4], ValueError, r"^model output must have shape \(50, 5\), got \(50, 4\)$"),
    ("hx", lambda X: radar(X)[:-1], ValueError, r"^model output must have shape \(50, 2\), got \(49, 2\)$"),
    ("hx", lambda X: radar(X).astype(np.float32), TypeError, "float32"),
    ("fx", lambda X, dt: X.tolist(), TypeError, "list"),
]


@pytest.mark.parametrize("which, fn, exc, match", CALLBACK_FAULTS)
def test_failing_callback_leaves_every_filter_as_it_was(which, fn, exc, match):
    rng = np.random.default_rng(5)
    bank = make_bank(targets(rng, 5))
    bank.predict()
    bank.update(measure(rng, bank.xs))
    setattr(bank, which, fn)
    before = bank.to_dict()
    zs = measure(rng, bank.xs)
    with pytest.raises(exc, match=match):
        bank.predict() if which == "fx" else bank.update(zs)
    # The lone filter raises the same kind of error for the same mistake.
    kf = single(bank.xs[0], bank.Ps[0], **{which: fn})
    with pytest.raises(exc):
        kf.predict() if which == "fx" else kf.update(zs[0])
    after = bank.to_dict()
    assert [k for k in before if not same(np.asarray(before[k]), np.asarray(after[k]))] == []


@pytest.mark.parametrize("name, value, match", [
    ("xs", np.zeros((4, N)), r"xs must have shape \(5, 5\), got \(4, 5\)"),
    ("xs", np.zeros(N), r"xs must have shape \(5, 5\), got \(5,\)"),
    ("Ps", np.zeros((5, N, 4)), r"Ps must have shape \(5, 5\) or \(5, 5, 5\), got \(5, 5, 4\)"),
    ("Q", np.eye(4), r"Q must have shape \(5, 5\) or \(5, 5, 5\), got \(4, 4\)"),
    ("R", np.zeros((4, 2, 2)), r"R must have shape \(2, 2\) or \(5, 2, 2\), got \(4, 2, 2\)"),
    ("xs", np.full((5, N), np.inf), "xs must contain only finite values"),
    ("Ps", np.full((N, N), np.nan), "Ps must contain only finite values"),
    ("Q", np.full((5, N, N), np.nan), "Q must contain only finite values"),
    ("R", np.full((MZ, MZ), np.nan), "R must contain only finite values"),
])
def test_assignments_are_validated(name, value, match):
    bank = make_bank(targets(np.random.default_rng(6), 5))
    before = bank.to_dict()
    with pytest.raises(ValueError, match=match):
        setattr(bank, name, value)
    with pytest.raises(ValueError, match=r"zs must have shape \(5, 2\), got \(5, 3\)"):
        bank.update(np.zeros((5, 3)))
    with pytest.raises(AttributeError):
        bank.status = np.zeros(5)
    with pytest.raises(ValueError, match="read-only"):
        bank.xs[0, 0] = 1.0
    assert all(same(np.asarray(before[k]), np.asarray(v)) for k, v in bank.to_dict().items())


def test_overflowing_prediction_is_refused_for_that_filter_only():
    rng = np.random.default_rng(13)
    bank = make_bank(targets(rng, 3), fx=lambda X, dt: X)
    Ps = bank.Ps.copy()
    Ps[1] = 1e308 * np.eye(N)  # factorable, but its spread overflows to infinity
    bank.Ps = Ps
    before = bank.to_dict()
    bank.predict()
    assert same(bank.Ps[1], before["Ps"][1]) and same(bank.xs[1], before["xs"][1])
    np.testing.assert_allclose(bank.Ps[[0, 2]], Ps[[0, 2]] + Q0, rtol=1e-12, atol=1e-12)
    bank.update(measure(rng, bank.xs))
    assert bank.status.tolist() == [0, 2, 0] and np.isnan(bank.nis[1])


def test_callback_reentering_the_bank_is_refused():
    bank = make_bank(targets(np.random.default_rng(14), 2))

    def fx(X, dt):
        bank.xs = np.zeros((2, N))
        return X

    bank.fx = fx
    before = bank.to_dict()
    with pytest.raises(RuntimeError, match="Already borrowed"):
        bank.predict()
    assert all(same(np.asarray(before[k]), np.asarray(v)) for k, v in bank.to_dict().items())


def test_settings_take_scalars_and_broadcast():
    bank = make_bank(targets(np.random.default_rng(15), 3))
    bank.Ps, bank.Q, bank.R = 2.0, 3.0, np.stack([R0] * 3)
    np.testing.assert_array_equal(bank.Ps, np.broadcast_to(2.0 * np.eye(N), (3, N, N)))
    np.testing.assert_array_equal(bank.Q, 3.0 * np.eye(N))
    assert bank.R.shape == (3, MZ, MZ)
    bank.dt = 0.5
    assert bank.dt == 0.5


def test_add_needs_per_filter_noise_only_where_the_bank_has_it():
    bank = make_bank(targets(np.random.default_rng(7), 3), per_filter_noise=True)
    with pytest.raises(ValueError, match="Q is per filter"):
        bank.add(np.zeros((1, N)), P0)
    shared = make_bank(targets(np.random.default_rng(7), 3))
    with pytest.raises(ValueError, match="Q is shared"):
        shared.add(np.zeros((1, N)), P0, Q=Q0)
    assert len(bank) == len(shared) == 3


def test_copy_dict_and_pickle_continue_identically():
    rng = np.random.default_rng(8)
    bank = make_bank(targets(rng, 6), per_filter_noise=True, angle_measurements=[1])
    bank.predict()
    bank.update(measure(rng, bank.xs))
    zs = measure(rng, bank.xs)
    twins = [bank.copy(), CKFBank.from_dict(bank.to_dict(), fx=turn, hx=radar), pickle.loads(pickle.dumps(bank))]
    bank.predict()
    bank.update(zs)
    for twin in twins:
        assert twin.angle_measurements == (1,)
        twin.predict()
        twin.update(zs)
        for k, v in bank.to_dict().items():
            assert same(np.asarray(twin.to_dict()[k]), np.asarray(v)), k


def test_run_records_every_step():
    rng = np.random.default_rng(9)
    xs = targets(rng, 4)
    zs_seq = np.stack([measure(rng, xs) for _ in range(3)])
    zs_seq[1, 2] = np.nan
    bank, stepped = make_bank(xs), make_bank(xs)
    res = bank.run(zs_seq)
    assert res.xs.shape == (3, 4, N) and res.Ps_prior.shape == (3, 4, N, N) and res.status.shape == (3, 4)
    for k, zs in enumerate(zs_seq):
        stepped.predict()
        stepped.update(zs)
        for name in ("xs", "Ps", "xs_prior", "Ps_prior", "log_likelihoods", "nis", "status"):
            assert same(getattr(res, name)[k], getattr(stepped, name)), (k, name)
    assert res.status[1, 2] == 4


def test_angles_match_lone_filters_with_the_same_options_across_the_seams():
    # Targets near the bearing seam (negative x axis) with headings crossing pi.
    def unicycle(X, dt):
        px, py, h, v, w = X.T
        return np.column_stack((px + v * np.cos(h) * dt, py + v * np.sin(h) * dt, h + w * dt, v, w))

    rng = np.random.default_rng(10)
    count = 4
    xs = np.column_stack((-1000 + rng.normal(0, 5, count), rng.normal(0, 2, count), np.pi - 0.03 * (1 + np.arange(count)),
                          np.full(count, 10.0), np.full(count, 0.05)))
    P, Q = np.diag([25.0, 25.0, 0.01, 1.0, 1e-4]), np.diag([1.0, 1.0, 1e-3, 0.1, 1e-5])
    bank = CKFBank(count, N, MZ, 1.0, unicycle, radar, angle_states=[2], angle_measurements=[-1])
    bank.xs, bank.Ps, bank.Q, bank.R = xs, P, Q, R0
    kfs = []
    for x in xs:
        kf = VexelCKF(N, MZ, 1.0, fx=unicycle, hx=radar, angle_states=[2], angle_measurements=[1])
        kf.x, kf.P, kf.Q, kf.R = x, P, Q, R0
        kfs.append(kf)
    truth = xs.copy()
    bearings = []
    for _ in range(8):
        truth = unicycle(truth, 1.0)
        zs = radar(truth) + rng.normal(0, [1.0, 1e-3], (count, MZ))
        zs[:, 1] = wrap(zs[:, 1])
        bearings.append(zs[:, 1])
        bank.predict()
        bank.update(zs)
        step_singles(kfs, zs)
        assert_matches(bank, kfs, status=[0] * count)
    headings = bank.xs[:, 2]
    assert np.all(np.abs(headings) <= np.pi) and np.any(headings < 0)  # crossed the heading seam
    assert np.ptp(np.sign(bearings)) == 2  # bearings on both sides of the seam
    # The short way round keeps the tracks on the targets.
    np.testing.assert_array_less(np.hypot(*(bank.xs[:, :2] - truth[:, :2]).T), 10.0)


BIT_IDENTITY_SCRIPT = textwrap.dedent("""
    import hashlib, sys
    import numpy as np
    sys.path.insert(0, sys.argv[1])
    from test_bank import make_bank, measure, targets
    rng = np.random.default_rng(11)
    bank = make_bank(targets(rng, 3000), per_filter_noise=True)
    Ps = bank.Ps.copy()
    Ps[::97] = np.diag([1.0, -1.0, 1.0, 1.0, 1.0])
    bank.Ps = Ps
    digest = hashlib.sha256()
    for _ in range(3):
        zs = measure(rng, bank.xs)
        zs[::13] = np.nan
        bank.predict()
        bank.update(zs)
        for value in bank.to_dict().values():
            digest.update(np.asarray(value).tobytes())
    print(digest.hexdigest())
""")


def test_results_do_not_depend_on_the_number_of_workers():
    here = os.path.dirname(os.path.abspath(__file__))
    digests = set()
    for workers in ("1", "2", "3"):
        env = dict(os.environ, VEXEL_CKF_NUM_THREADS=workers)
        out = subprocess.run([sys.executable, "-c", BIT_IDENTITY_SCRIPT, here], env=env, capture_output=True,
                             text=True, check=True)
        digests.add(out.stdout.strip())
    assert len(digests) == 1


def test_demo_tracks_closer_than_the_raw_detections(capsys):
    from vexel_ckf import demo_bank

    assert demo_bank.main(["--targets", "60", "--steps", "12"]) == 0
    summary = capsys.readouterr().out.strip().splitlines()[-1]
    rmse, raw = map(float, re.search(r"RMSE ([0-9.]+) m against ([0-9.]+) m", summary).groups())
    assert rmse < raw


def test_noise_assigned_before_any_other_array_reaches_the_engine():
    # A fresh interpreter: setting Q and R is the first native look at an
    # array there, before anything else has loaded NumPy's C API.
    script = textwrap.dedent("""
        import numpy as np
        from vexel_ckf import CKFBank
        bank = CKFBank(3, 2, 1, 0.1)
        bank.Q = 0.5
        bank.R = np.stack([np.eye(1) * k for k in (1.0, 2.0, 3.0)])
        print(bank.Q.tolist(), bank.R.ravel().tolist())
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "[[0.5, 0.0], [0.0, 0.5]] [1.0, 2.0, 3.0]"


def test_add_refuses_a_huge_broadcast_before_reading_it():
    """2**40 new filters cannot fit: MemoryError at once, not hours of finiteness checks."""
    from numpy.lib.stride_tricks import as_strided
    xs = as_strided(np.ones(1), (2**40, 2), (0, 0))
    Ps = as_strided(np.eye(2), (2**40, 2, 2), (0, 16, 8))
    bank = CKFBank(2, 2, 1, 1.0)
    with pytest.raises(MemoryError):
        bank.add(xs, Ps)
    assert len(bank) == 2
