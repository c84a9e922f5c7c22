"""VexelCKF, CKFBank and cubature_smoother take the same options the same way: one table of angle
options run against all three, and the bank's filters against lone filters through masks, NaN rows,
per-call arguments and real measurements."""

import numpy as np
import pytest

from vexel_ckf import CKFBank, VexelCKF, cubature_smoother

from support import same

DIM_X, DIM_Z = 5, 2


# -- angle options: one rule for every entry point

def spin(X, dt):
    """Every state turns by its own rate, so that each entry crosses the seam at its own steps."""
    return X + dt * np.array([0.3, -0.2, 0.25, -0.35, 0.15])


def seam_trace():
    steps = 12
    xs = np.pi - 0.4 + np.outer(np.arange(steps), [0.3, -0.2, 0.25, -0.35, 0.15]) + [0, 0.6, 0.1, 0.7, 0.2]
    xs = np.angle(np.exp(1j * xs))  # wrapped, as a filter with angle states leaves them
    Ps = np.tile(0.01 * np.eye(DIM_X), (steps, 1, 1))
    return xs, Ps


def smoothed(angle_states):
    xs, Ps = seam_trace()
    return cubature_smoother(xs, Ps, spin, 1e-3, 1.0, angle_states=angle_states)


def accepted(entry, option, value):
    """The entries the entry point takes value for; for the smoother, the indices whose result equals it."""
    if entry == "filter":
        return getattr(VexelCKF(DIM_X, DIM_Z, 1.0, **{option: value}), option)
    if entry == "bank":
        return getattr(CKFBank(3, DIM_X, DIM_Z, 1.0, **{option: value}), option)
    got = smoothed(value)
    matches = [indices for indices in ((), (0,), (2, 4), (4,), (4, 0), (1, 3), (0, 1))
               if all(np.array_equal(a, b) for a, b in zip(got[:3], smoothed(indices)[:3]))]
    return matches[0] if len(matches) == 1 else matches


ANGLE_CASES = [
    # option, value, the entries it names or (exception, message)
    ("angle_states", None, ()),
    ("angle_states", [], ()),
    ("angle_states", [4, 0], (4, 0)),
    ("angle_states", [-1], (4,)),
    ("angle_measurements", [-1], (1,)),
    ("angle_states", np.array([1, -2], dtype=np.int8), (1, 3)),
    ("angle_states", range(2), (0, 1)),
    ("angle_states", [False, False, True, False, True], (2, 4)),
    ("angle_states", np.array([True, False, False, False, False]), (0,)),
    ("angle_measurements", np.array([True, False]), (0,)),
    ("angle_states", [5], (ValueError, "angle_states holds 5, outside -5..4 (dim_x = 5)")),
    ("angle_measurements", [-3], (ValueError, "angle_measurements holds -3, outside -2..1 (dim_z = 2)")),
    ("angle_states", [2, 2], (ValueError, "angle_states holds 2 twice")),
    ("angle_states", [4, -1], (ValueError, "angle_states holds 4 and -1, which name the same entry of x")),
    ("angle_states", [True, False, True], (ValueError, "angle_states as a boolean mask must have length 5 "
                                                       "(dim_x = 5), got 3")),
    ("angle_states", np.zeros(0, dtype=bool), (ValueError, "angle_states as a boolean mask must have length 5 "
                                                           "(dim_x = 5), got 0")),
    ("angle_states", np.zeros((1, 2), dtype=int), (ValueError, "angle_states must be a sequence of indices into x "
                                                               "or a boolean mask of length 5, got an array of "
                                                               "shape (1, 2)")),
    ("angle_measurements", [1.0], (TypeError, "angle_measurements must hold integer indices, got 1.0")),
    ("angle_states", np.array([0.0]), (TypeError, "angle_states must hold integer indices, got np.float64(0.0)")),
    ("angle_states", 2, (TypeError, "angle_states must be a sequence of indices into x or a boolean mask of "
                                    "length 5, got int")),
    ("angle_states", "2", (TypeError, "angle_states must be a sequence of indices into x or a boolean mask of "
                                      "length 5, got str")),
    ("angle_states", [True, 2], (TypeError, "angle_states mixes booleans and integers: give indices or a boolean "
                                            "mask, not both")),
]


@pytest.mark.parametrize("entry, option, value, want", [
    (entry, *case) for case in ANGLE_CASES for entry in ("filter", "bank", "smoother")
    if entry != "smoother" or case[0] == "angle_states"  # the smoother has no measurements
])
def test_angle_options_follow_one_rule_everywhere(entry, option, value, want):
    if isinstance(want, tuple) and want and isinstance(want[0], type):
        exc_type, message = want
        with pytest.raises(exc_type) as exc:
            accepted(entry, option, value)
        assert str(exc.value) == message
    else:
        assert accepted(entry, option, value) == want


def test_the_smoother_table_tells_the_index_sets_apart():
    # The smoother rows of the table identify the accepted entries by their results: that only works
    # when every candidate set smooths this trace differently.
    candidates = [(), (0,), (2, 4), (4,), (1, 3), (0, 1)]
    results = [smoothed(c).xs.tobytes() for c in candidates]
    assert len(set(results)) == len(candidates)


# -- VexelCKF: stored callback arguments and nan_means_missing

def drift(X, dt, rate=1.0):
    """Constant velocity in 2-D, x = [px, py, vx, vy], the velocity scaled by rate."""
    out = X.copy()
    out[:, :2] += rate * dt * X[:, 2:]
    return out


def offset_position(X, ox=0.0, oy=0.0):
    return X[:, :2] - np.array([ox, oy])


def plain_filter(square_root, **kw):
    kf = VexelCKF(4, 2, 0.5, fx=drift, hx=offset_position, square_root=square_root, **kw)
    kf.x = [1.0, -2.0, 0.5, 0.3]
    kf.P = np.diag([1.0, 2.0, 0.5, 0.4])
    kf.Q = 0.01
    kf.R = np.diag([0.2, 0.3])
    return kf


def measurements(steps=8, gaps=(2, 5, 6)):
    zs = np.cumsum(np.random.default_rng(21).normal(0.4, 0.2, (steps, 2)), axis=0)
    zs[list(gaps)] = np.nan
    return zs


def same_state(a, b):
    da, db = a.to_dict(), b.to_dict()
    return all(same(np.asarray(da[k]), np.asarray(db[k])) for k in a.field_names)


BOTH = pytest.mark.parametrize("square_root", [False, True], ids=["ckf", "srckf"])


@BOTH
@pytest.mark.parametrize("setting", ["constructor", "call"])
def test_a_nan_measurement_with_nan_means_missing_is_update_none(square_root, setting):
    stored = plain_filter(square_root, nan_means_missing=setting == "constructor")
    reference = plain_filter(square_root)
    call = {"nan_means_missing": True} if setting == "call" else {}
    for z in measurements():
        for kf in (stored, reference):
            kf.predict()
        stored.update(z, **call)
        reference.update(None if np.isnan(z).all() else z)
        assert same_state(stored, reference)
    with pytest.raises(ValueError, match="non-finite"):
        stored.update([np.nan, 1.0], **call)  # only some NaN: an error either way


@BOTH
def test_without_the_setting_a_nan_measurement_fails_as_before(square_root):
    stored = plain_filter(square_root, nan_means_missing=True)
    plain = plain_filter(square_root)
    stored.predict()
    plain.predict()
    before = stored.to_dict()
    with pytest.raises(ValueError) as refused:
        stored.update([np.nan, np.nan], nan_means_missing=False)
    with pytest.raises(ValueError) as plain_refused:
        plain.update([np.nan, np.nan])
    assert str(refused.value) == str(plain_refused.value)
    assert all(same(np.asarray(before[k]), np.asarray(v)) for k, v in stored.to_dict().items())
    with pytest.raises(ValueError) as exc:
        stored.run(measurements(), nan_means_missing=False)
    assert str(exc.value).startswith("zs[2] contains non-finite values")


@BOTH
def test_run_takes_the_stored_setting_and_arguments(square_root):
    stored = plain_filter(square_root, nan_means_missing=True, fx_args=(0.5,), hx_args=[0.1, -0.2])
    stepped = plain_filter(square_root)
    result = stored.run(measurements())
    for i, z in enumerate(measurements()):
        stepped.predict(fx_args=(0.5,))
        stepped.update(None if np.isnan(z).all() else z, hx_args=(0.1, -0.2))
        want = (stepped.x, stepped.P, stepped.x_prior, stepped.P_prior, stepped.log_likelihood, stepped.nis)
        assert all(same(np.asarray(got[i]), np.asarray(w)) for got, w in zip(result, want)), i
    smoothed = stored.smooth(result)
    direct = cubature_smoother(result.xs, result.Ps, drift, stored.Q, 0.5, fx_args=(0.5,), square_root=square_root)
    assert all(same(a, b) for a, b in zip(smoothed[:3], direct[:3]))


@pytest.mark.parametrize("call, lone", [
    # the arguments a call gives, and those a filter without stored ones must be given to match
    ({}, ((2.0,), (0.3, 0.1))),
    ({"fx_args": None, "hx_args": None}, ((2.0,), (0.3, 0.1))),
    ({"fx_args": (), "hx_args": ()}, ((), ())),
    ({"fx_args": [3.0], "hx_args": iter([1.0, 1.0])}, ((3.0,), (1.0, 1.0))),
])
def test_a_call_without_arguments_uses_the_stored_ones(call, lone):
    kf = plain_filter(False, fx_args=(2.0,), hx_args=(0.3, 0.1))
    plain = plain_filter(False)
    kf.predict(**{k: v for k, v in call.items() if k == "fx_args"})
    plain.predict(fx_args=lone[0])
    kf.update([1.0, -1.5], **{k: v for k, v in call.items() if k == "hx_args"})
    plain.update([1.0, -1.5], hx_args=lone[1])
    assert same_state(kf, plain)


@BOTH
def test_arguments_and_nan_means_missing_travel_with_copies_dicts_and_pickles(square_root):
    import pickle

    kf = plain_filter(square_root, fx_args=(0.5,), hx_args=(0.1, -0.2), nan_means_missing=True)
    twins = [kf.copy(), pickle.loads(pickle.dumps(kf)),
             VexelCKF.from_dict(kf.to_dict(), fx=drift, hx=offset_position, fx_args=kf.fx_args, hx_args=kf.hx_args)]
    for twin in twins:
        assert (twin.fx_args, twin.hx_args, twin.nan_means_missing) == ((0.5,), (0.1, -0.2), True)
        assert same_state(twin, kf)
    assert VexelCKF.from_dict(kf.to_dict()).fx_args == ()
    assert (plain_filter(square_root).fx_args, plain_filter(square_root).nan_means_missing) == ((), False)
