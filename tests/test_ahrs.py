"""Attitude and heading update (update_paper_ahrs) and quaternion
renormalisation of CubatureKalmanFilter, against the rotation-matrix
formulas and a textbook cubature update."""

import math

import numpy as np
import pytest

from vexel_ckf._native import CubatureKalmanFilter
from support import MEASUREMENT_TAIL, NO_FACTOR, assert_message, assert_same_state, error_of, state_of

NORMS = "acceleration and magnetic measurements must have positive finite norms"
DIMS = "update_paper_ahrs requires dim_x == 4 and dim_z == 6"
QUATERNION = "quaternion norm must be finite and positive"
Z_REF = np.array([0.0, 0.0, 1.0, 0.6, 0.0, 0.8])


def ahrs_filter(x=(1.0, 0.0, 0.0, 0.0), p=0.01, n=4):
    f = CubatureKalmanFilter(n, 6, 0.01)
    f.set_state(np.array(x, dtype=float), p * np.eye(n), 1e-6 * np.eye(n), np.eye(6))
    return f


def rotation_matrix(q):
    """Body-to-reference rotation of the unit quaternion q = (w, v) by the Rodrigues formula for its axis
    and angle."""
    w, v = q[0], np.asarray(q[1:], dtype=float)
    s = np.linalg.norm(v)
    if s == 0.0:
        return np.eye(3)
    u, theta = v / s, 2.0 * math.atan2(s, w)
    ux = np.array([[0.0, -u[2], u[1]], [u[2], 0.0, -u[0]], [-u[1], u[0], 0.0]])
    return math.cos(theta) * np.eye(3) + math.sin(theta) * ux + (1.0 - math.cos(theta)) * np.outer(u, u)


def expected_readings(q, mx, mz):
    """Sensor-frame directions of gravity (0, 0, 1) and of the field (mx, 0, mz)."""
    c = rotation_matrix(q)
    return np.concatenate([c.T @ np.array([0.0, 0.0, 1.0]), c.T @ np.array([mx, 0.0, mz])])


def unit_quaternions(rng, count):
    q = rng.standard_normal((count, 4))
    return q / np.linalg.norm(q, axis=1, keepdims=True)


@pytest.mark.parametrize("seed", range(4))
def test_update_matches_textbook_cubature_update(seed):
    rng = np.random.default_rng(100 + seed)
    x = unit_quaternions(rng, 1)[0]
    a = rng.standard_normal((4, 4))
    P = 0.02 * (a @ a.T) + 0.01 * np.eye(4)
    z = rng.standard_normal(6) * np.repeat([9.8, 50.0], 3)
    f = CubatureKalmanFilter(4, 6, 0.1)
    f.set_state(x, P, np.eye(4), np.eye(6))
    f.update_paper_ahrs(z, 0.02, 0.05)
    zn = np.concatenate([z[:3] / np.linalg.norm(z[:3]), z[3:] / np.linalg.norm(z[3:])])
    mz = float(np.clip(zn[:3] @ zn[3:], -1.0, 1.0))
    L = np.linalg.cholesky(P)
    pts = np.vstack([x + 2.0 * L.T, x - 2.0 * L.T])  # 2n points, n = 4, sqrt(n) = 2
    # The model is quadratic in q: a point of norm s reads s^2 times the unit readings.
    Z = np.array([(p @ p) * expected_readings(p / np.linalg.norm(p), math.sqrt(1.0 - mz * mz), mz) for p in pts])
    z_pred = Z.mean(axis=0)
    R = np.diag([0.02] * 3 + [0.05] * 3)
    S = (Z - z_pred).T @ (Z - z_pred) / 8.0 + R
    K = (pts - x).T @ (Z - z_pred) / 8.0 @ np.linalg.inv(S)
    y = zn - z_pred
    nis = y @ np.linalg.solve(S, y)
    ref = dict(x=x + K @ y, P=P - K @ S @ K.T, z=zn, z_pred=z_pred, y=y, S=S, K=K, R=R)
    for name, value in ref.items():
        np.testing.assert_allclose(f.get(name), value, rtol=1e-10, atol=1e-12, err_msg=name)
    assert f.get("nis") == pytest.approx(nis, rel=1e-10)
    assert f.get("log_likelihood") == pytest.approx(-0.5 * (nis + np.linalg.slogdet(S)[1] + 6 * math.log(2 * math.pi)),
                                                    rel=1e-10)


def written_readings(q, mx, mz):
    """The observation formulas in their written evaluation order, one rounding per operation (NumPy's
    elementwise operations never fuse)."""
    a, b, c, d = q.T
    g0, g1, g2 = (b * d - a * c) + (b * d - a * c), (a * b + c * d) + (a * b + c * d), d * d + ((a * a - b * b) - c * c)
    u, v = b * c - a * d, a * c + b * d
    return np.column_stack([g0, g1, g2, mx * (((a * a + b * b) - c * c) - d * d) + mz * g0, mx * (u + u) + mz * g1,
                            mz * g2 + mx * (v + v)])


def norm3(v):
    return math.sqrt((v[0] * v[0] + v[1] * v[1]) + v[2] * v[2])


def test_predicted_readings_follow_the_written_formulas_bit_for_bit():
    # A diagonal P makes the points exact (x +- 2 sqrt(p_i) on one component), so z_pred and y can be
    # replayed to the last bit: a fused multiply-add or a regrouped formula shows there.
    rng = np.random.default_rng(50)
    for _ in range(25):
        x, p = rng.standard_normal(4), rng.uniform(0.01, 1.0, 4)
        z = rng.standard_normal(6) * rng.uniform(0.1, 10.0)
        f = CubatureKalmanFilter(4, 6, 0.1)
        f.set_state(x, np.diag(p), np.eye(4), np.eye(6))
        f.update_paper_ahrs(z, 0.1, 0.2)
        zn = np.concatenate([z[:3] / norm3(z[:3]), z[3:] / norm3(z[3:])])
        mz = min(1.0, max(-1.0, ((zn[0] * zn[3] + zn[1] * zn[4]) + zn[2] * zn[5]) / (norm3(zn[:3]) * norm3(zn[3:]))))
        spread = np.diag(2.0 * np.sqrt(p))
        total = np.zeros(6)
        for row in written_readings(np.vstack([x + spread, x - spread]), math.sqrt(max(0.0, 1.0 - mz * mz)), mz):
            total = total + row
        np.testing.assert_array_equal(f.get("z"), zn)
        np.testing.assert_array_equal(f.get("z_pred"), total * (1.0 / 8.0))
        np.testing.assert_array_equal(f.get("y"), zn - total * (1.0 / 8.0))


@pytest.mark.parametrize("z, mx, mz", [
    (np.array([0.0, 0.0, 9.81, 0.2, 0.0, 0.4]), 1 / math.sqrt(5), 2 / math.sqrt(5)),
    (np.array([1.0, 2.0, 3.0, 2.0, 4.0, 6.0]), 0.0, 1.0),  # parallel
    (np.array([1.0, 2.0, 3.0, -2.0, -4.0, -6.0]), 0.0, -1.0),  # anti-parallel
    # The rounded cosines of these come out as +-1.0000000000000002.
    (np.array([1.0, 1.0, 1.0, 2.0, 2.0, 2.0]), 0.0, 1.0),
    (np.array([1.0, 1.0, 1.0, -1.0, -1.0, -1.0]), 0.0, -1.0),
])
def test_magnetic_reference_from_measured_angle(z, mx, mz):
    f = ahrs_filter(p=1e-24)
    f.update_paper_ahrs(z, 1.0, 1.0)
    # At the identity attitude the magnetic reading is the reference itself.
    np.testing.assert_allclose(f.get("z_pred")[3:], [mx, 0.0, mz], rtol=0, atol=1e-12)
    if mx == 0.0:  # clamped to exactly +-1, so the sine is 0, not NaN
        assert f.get("z_pred")[5] == mz
    assert not np.isnan(f.get("x")).any()


def test_stored_fields_scale_invariance_and_jitter():
    a, b = ahrs_filter(x=(0.7, 0.1, 0.7, 0.1), p=0.05), ahrs_filter(x=(0.7, 0.1, 0.7, 0.1), p=0.05)
    a.set("x_prior", np.array([1.0, 2.0, 3.0, 4.0]))
    b.set("x_prior", np.array([1.0, 2.0, 3.0, 4.0]))
    before = state_of(a)
    a.update_paper_ahrs(np.array([0.0, 0.0, 9.81, 0.3, 0.0, 0.4]), 0.01, 0.04)
    b.update_paper_ahrs(Z_REF, 0.01, 0.04)  # the same directions: only they count
    after = state_of(a)
    assert_same_state(after, state_of(b))
    np.testing.assert_array_equal(after["z"], Z_REF)
    np.testing.assert_array_equal(after["R"], np.diag([0.01] * 3 + [0.04] * 3))
    for name in ("S", "P"):
        np.testing.assert_array_equal(after[name], after[name].T)
    np.testing.assert_array_equal(after["x_post"], after["x"])
    np.testing.assert_array_equal(after["P_post"], after["P"])
    assert after["last_jitter"] == 0.0
    assert after["mahalanobis"] == math.sqrt(after["nis"]) and after["likelihood"] == math.exp(after["log_likelihood"])
    assert_same_state(before, after, skip=set(after) - {"Q", "x_prior", "P_prior", "jitter_count", "max_jitter",
                                                        "singular_innovation_count"})
    a.set("P", np.diag([0.01, 0.01, 0.0, 0.01]))  # a zero variance is jittered and recorded
    a.update_paper_ahrs(Z_REF, 5e-324, 5e-324)  # the smallest subnormal variance is accepted
    assert a.get("R")[0, 0] == a.get("R")[5, 5] == 5e-324
    assert a.get("last_jitter") == a.get("max_jitter") == 1e-12 and a.get("jitter_count") == 1


BAD_Z = np.array([np.nan, 0.0, 0.0])  # wrong length and non-finite: never reached
# dims (a wrong size is reported first), arguments, exception, message
AHRS_FAILURES = [
    *[((d_x, d_z), (np.array([np.nan, 0.0]), -1.0, np.nan), ValueError, DIMS) for d_x, d_z in [(4, 3), (3, 6), (6, 4)]],
    # Arguments are converted before any check.
    ((4, 3), (list(Z_REF), 0.01, 0.01), TypeError, "argument 'z': "),
    ((4, 3), (Z_REF.reshape(1, 6), 0.01, 0.01), TypeError, "argument 'z': dimensionality mismatch:\n from=2, to=1"),
    ((4, 3), (Z_REF, "0.01", 0.01), TypeError, "argument 'sigma_acc2': "),
    ((4, 3), (Z_REF, 0.01, None), TypeError, "argument 'sigma_mag2': "),
    *[((4, 6), (BAD_Z, bad, bad), ValueError, "sigma_acc2 must be finite and positive") for bad in (0.0, -1.0, np.nan)],
    *[((4, 6), (BAD_Z, 0.01, bad), ValueError, "sigma_mag2 must be finite and positive") for bad in (-0.0, np.inf)],
    ((4, 6), (np.ones(5), 0.01, 0.04), ValueError, "z must have length 6, got 5"),
    ((4, 6), (np.ones(12)[::2], 0.01, 0.04), TypeError, "The given array is not contiguous"),
    # The finiteness check runs before the norms: the zero half is not reported.
    ((4, 6), (np.array([0.0, 0.0, 0.0, -np.inf, 0.0, 1e-5]), 0.01, 0.04), ValueError,
     "z contains non-finite values: [0.0, 0.0, 0.0, -inf, 0.0, 1e-5]" + MEASUREMENT_TAIL),
    ((4, 6), (np.array([0.0, 0.0, 0.0, 0.3, 0.0, 0.4]), 0.01, 0.04), ValueError, NORMS),
    ((4, 6), (np.array([0.0, 0.0, 9.81, 0.0, -0.0, 0.0]), 0.01, 0.04), ValueError, NORMS),
    ((4, 6), (np.array([1e200, 0.0, 0.0, 0.3, 0.0, 0.4]), 0.01, 0.04), ValueError, NORMS),
    ((4, 6), (np.array([0.0, 0.0, 1.0, 0.0, 1e-170, 0.0]), 0.01, 0.04), ValueError, NORMS),
    ((4, 6, "indefinite"), (Z_REF, 0.01, 0.04), RuntimeError, NO_FACTOR),
]


@pytest.mark.parametrize("dims, args, exc, message", AHRS_FAILURES)
def test_ahrs_failures_change_nothing(dims, args, exc, message):
    f = ahrs_filter() if dims[:2] == (4, 6) else CubatureKalmanFilter(*dims[:2], 0.1)
    if len(dims) == 3:
        f.set("P", np.diag([1.0, -1.0, 1.0, 1.0]))
    f.set("jitter_count", 7)
    before = state_of(f)
    assert_message(error_of(lambda: f.update_paper_ahrs(*args), exc), message)
    assert_same_state(before, state_of(f))


@pytest.mark.parametrize("seed", range(3))
def test_normalize_divides_each_component_and_copies_to_the_posterior(seed):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal(4) * 10.0 ** rng.uniform(-100, 100)
    f = ahrs_filter(x=x, p=0.3)
    f.set("x_prior", np.array([5.0, 6.0, 7.0, 8.0]))
    before = state_of(f)
    f.normalize_quaternion_state()
    n = math.sqrt(((x[0] * x[0] + x[1] * x[1]) + x[2] * x[2]) + x[3] * x[3])
    np.testing.assert_array_equal(f.get("x"), [v / n for v in x])
    np.testing.assert_array_equal(f.get("x_post"), f.get("x"))
    assert_same_state(before, state_of(f), skip=("x", "x_post"))


@pytest.mark.parametrize("x, message", [
    ((0.0, 0.0, 0.0, 0.0), QUATERNION), ((-0.0, 0.0, -0.0, 0.0), QUATERNION), ((np.nan, 1.0, 0.0, 0.0), QUATERNION),
    ((np.inf, 0.0, 0.0, 0.0), QUATERNION), ((1e200, 0.0, 0.0, 0.0), QUATERNION), ((1e-170, 0.0, 0.0, 0.0), QUATERNION),
    ((1.0,) * 7, "normalize_quaternion_state requires dim_x == 4")])
def test_normalize_rejects_degenerate_norms_and_dimensions(x, message):
    f = ahrs_filter(x, n=len(x))
    before = state_of(f)
    assert str(error_of(f.normalize_quaternion_state, ValueError)) == message
    assert_same_state(before, state_of(f))
