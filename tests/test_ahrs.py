"""Attitude and heading update (update_paper_ahrs) and quaternion
renormalisation of CubatureKalmanFilter."""

import math

import numpy as np
import pytest

from vexel_ckf._native import CubatureKalmanFilter
from support import MEASUREMENT_TAIL, assert_same_state, same as same_value, state_of


NORMS = "acceleration and magnetic measurements must have positive finite norms"
DIMS = "update_paper_ahrs requires dim_x == 4 and dim_z == 6"
Z_REF = np.array([0.0, 0.0, 1.0, 0.6, 0.0, 0.8])


def ahrs_filter(x=(1.0, 0.0, 0.0, 0.0), p=0.01):
    f = CubatureKalmanFilter(4, 6, 0.01)
    f.set_state(np.array(x, dtype=float), p * np.eye(4), 1e-6 * np.eye(4), np.eye(6))
    return f


# ---------------------------------------------------------------------------
# Independent attitude mathematics


def rotation_matrix(q):
    """Body-to-reference rotation of the unit quaternion q = (w, v) by the
    Rodrigues formula for its axis and angle."""
    w, v = q[0], np.asarray(q[1:], dtype=float)
    s = np.linalg.norm(v)
    if s == 0.0:
        return np.eye(3)
    u = v / s
    theta = 2.0 * math.atan2(s, w)
    ux = np.array([[0.0, -u[2], u[1]], [u[2], 0.0, -u[0]], [-u[1], u[0], 0.0]])
    return math.cos(theta) * np.eye(3) + math.sin(theta) * ux + (1.0 - math.cos(theta)) * np.outer(u, u)


def expected_readings(q, mx, mz):
    """Sensor-frame directions of gravity (0, 0, 1) and of the field (mx, 0, mz)."""
    c = rotation_matrix(q)
    return np.concatenate([c.T @ np.array([0.0, 0.0, 1.0]), c.T @ np.array([mx, 0.0, mz])])


def quat_mul(p, q):
    w1, v1 = p[0], np.asarray(p[1:])
    w2, v2 = q[0], np.asarray(q[1:])
    return np.concatenate([[w1 * w2 - v1 @ v2], w1 * v2 + w2 * v1 + np.cross(v1, v2)])


def quat_from_axis_angle(axis, angle):
    axis = np.asarray(axis, dtype=float)
    axis = axis / np.linalg.norm(axis)
    return np.concatenate([[math.cos(angle / 2.0)], math.sin(angle / 2.0) * axis])


def angle_between(q1, q2):
    d = min(1.0, abs(float(np.dot(q1, q2)) / (np.linalg.norm(q1) * np.linalg.norm(q2))))
    return 2.0 * math.acos(d)


def random_unit_quaternions(rng, count):
    q = rng.standard_normal((count, 4))
    return q / np.linalg.norm(q, axis=1, keepdims=True)


def reference_cubature_update(x, P, z, sigma_acc2, sigma_mag2):
    """Textbook cubature update with the rotation-matrix observation model."""
    zn = np.concatenate([z[:3] / np.linalg.norm(z[:3]), z[3:] / np.linalg.norm(z[3:])])
    mz = float(np.clip(zn[:3] @ zn[3:], -1.0, 1.0))
    mx = math.sqrt(1.0 - mz * mz)
    L = np.linalg.cholesky(P)
    pts = np.vstack([x + 2.0 * L.T, x - 2.0 * L.T])  # 2n points, n = 4, sqrt(n) = 2
    # The model is quadratic in q: a point of norm s reads s^2 times the unit readings.
    Z = np.array([(p @ p) * expected_readings(p / np.linalg.norm(p), mx, mz) for p in pts])
    z_pred = Z.mean(axis=0)
    R = np.diag([sigma_acc2] * 3 + [sigma_mag2] * 3)
    S = (Z - z_pred).T @ (Z - z_pred) / 8.0 + R
    Pxz = (pts - x).T @ (Z - z_pred) / 8.0
    K = Pxz @ np.linalg.inv(S)
    y = zn - z_pred
    return {
        "x": x + K @ y, "P": P - K @ S @ K.T, "z": zn, "z_pred": z_pred, "y": y, "S": S, "K": K, "R": R,
        "nis": y @ np.linalg.solve(S, y),
        "log_likelihood": -0.5 * (y @ np.linalg.solve(S, y) + np.linalg.slogdet(S)[1] + 6 * math.log(2 * math.pi)),
    }


# ---------------------------------------------------------------------------
# Validation order and messages


@pytest.mark.parametrize("dims", [(4, 3), (3, 6), (6, 4)])
def test_dimensions_checked_first(dims):
    f = CubatureKalmanFilter(*dims, 0.1)
    before = state_of(f)
    with pytest.raises(ValueError) as info:
        f.update_paper_ahrs(np.array([np.nan, 0.0]), -1.0, float("nan"))
    assert str(info.value) == DIMS
    assert_same_state(before, state_of(f))


@pytest.mark.parametrize(
    "args, prefix",
    [
        (([0.0, 0.0, 1.0, 0.6, 0.0, 0.8], 0.01, 0.01), "argument 'z': "),
        ((Z_REF.reshape(1, 6), 0.01, 0.01), "argument 'z': dimensionality mismatch:\n from=2, to=1"),
        ((Z_REF, "0.01", 0.01), "argument 'sigma_acc2': "),
        ((Z_REF, 0.01, None), "argument 'sigma_mag2': "),
    ],
)
def test_arguments_are_converted_before_any_check(args, prefix):
    f = CubatureKalmanFilter(4, 3, 0.1)  # the wrong dimensions are not reported first
    with pytest.raises(TypeError) as info:
        f.update_paper_ahrs(*args)
    assert str(info.value).startswith(prefix)


BAD_SIGMAS = [0.0, -0.0, -1.0, float("nan"), float("inf"), float("-inf")]


@pytest.mark.parametrize("bad", BAD_SIGMAS)
def test_sigma_messages_come_before_the_measurement(bad):
    f = ahrs_filter()
    before = state_of(f)
    bad_z = np.array([np.nan, 0.0, 0.0])  # wrong length and non-finite: never reached
    with pytest.raises(ValueError) as info:
        f.update_paper_ahrs(bad_z, bad, bad)
    assert str(info.value) == "sigma_acc2 must be finite and positive"
    with pytest.raises(ValueError) as info:
        f.update_paper_ahrs(bad_z, 0.01, bad)
    assert str(info.value) == "sigma_mag2 must be finite and positive"
    assert_same_state(before, state_of(f))


def test_smallest_subnormal_variance_is_accepted():
    f = ahrs_filter()
    f.update_paper_ahrs(Z_REF, 5e-324, 5e-324)
    assert f.get("R")[0, 0] == 5e-324
    assert f.get("R")[5, 5] == 5e-324


@pytest.mark.parametrize(
    "z, error, message",
    [
        (np.ones(5), ValueError, "z must have length 6, got 5"),
        (np.ones(12)[::2], TypeError, "The given array is not contiguous"),
        (np.array([0.0, 0.0, np.nan, 0.3, 0.0, 0.4]), ValueError,
         "z contains non-finite values: [0.0, 0.0, NaN, 0.3, 0.0, 0.4]" + MEASUREMENT_TAIL),
        # The finiteness check runs before the norms: the zero half is not reported.
        (np.array([0.0, 0.0, 0.0, -np.inf, 0.0, 1e-5]), ValueError,
         "z contains non-finite values: [0.0, 0.0, 0.0, -inf, 0.0, 1e-5]" + MEASUREMENT_TAIL),
        (np.array([0.0, 0.0, 0.0, 0.3, 0.0, 0.4]), ValueError, NORMS),
        (np.array([0.0, 0.0, 9.81, 0.0, -0.0, 0.0]), ValueError, NORMS),
        (np.array([1e200, 0.0, 0.0, 0.3, 0.0, 0.4]), ValueError, NORMS),
        (np.array([0.0, 0.0, 1.0, 0.0, 1e-170, 0.0]), ValueError, NORMS),
    ],
)
def test_measurement_messages(z, error, message):
    f = ahrs_filter()
    before = state_of(f)
    with pytest.raises(error) as info:
        f.update_paper_ahrs(z, 0.01, 0.04)
    assert str(info.value) == message
    assert_same_state(before, state_of(f))


def test_unfactorable_covariance_changes_nothing():
    f = ahrs_filter()
    f.set("P", np.diag([1.0, -1.0, 1.0, 1.0]))
    f.set("jitter_count", 7)
    before = state_of(f)
    with pytest.raises(RuntimeError) as info:
        f.update_paper_ahrs(Z_REF, 0.01, 0.04)
    assert str(info.value) == "unable to compute stable Cholesky factor"
    assert_same_state(before, state_of(f))


# ---------------------------------------------------------------------------
# What a successful update stores


def test_scale_invariance_and_stored_measurement():
    a, b = ahrs_filter(x=(0.9, 0.1, -0.3, 0.2)), ahrs_filter(x=(0.9, 0.1, -0.3, 0.2))
    a.update_paper_ahrs(np.array([0.0, 0.0, 9.81, 0.3, 0.0, 0.4]), 0.01, 0.04)
    b.update_paper_ahrs(Z_REF, 0.01, 0.04)
    np.testing.assert_array_equal(a.get("z"), Z_REF)
    assert_same_state(state_of(a), state_of(b))


def test_stored_fields_after_update():
    f = ahrs_filter(x=(0.7, 0.1, 0.7, 0.1), p=0.05)
    f.set("x_prior", np.array([1.0, 2.0, 3.0, 4.0]))
    before = state_of(f)
    f.update_paper_ahrs(np.array([0.1, -0.2, 9.7, 0.25, 0.05, -0.4]), 0.01, 0.04)
    after = state_of(f)
    np.testing.assert_array_equal(after["R"], np.diag([0.01] * 3 + [0.04] * 3))
    for name in ("S", "P"):
        np.testing.assert_array_equal(after[name], after[name].T)
    np.testing.assert_array_equal(after["x_post"], after["x"])
    np.testing.assert_array_equal(after["P_post"], after["P"])
    for name in ("Q", "x_prior", "P_prior", "jitter_count", "max_jitter", "singular_innovation_count"):
        assert same_value(before[name], after[name]), name
    assert after["last_jitter"] == 0.0
    assert after["mahalanobis"] == math.sqrt(after["nis"])
    assert after["likelihood"] == math.exp(after["log_likelihood"])


@pytest.mark.parametrize("seed", range(4))
def test_update_matches_textbook_cubature_update(seed):
    rng = np.random.default_rng(100 + seed)
    q = random_unit_quaternions(rng, 1)[0]
    a = rng.standard_normal((4, 4))
    P = 0.02 * (a @ a.T) + 0.01 * np.eye(4)
    z = rng.standard_normal(6) * np.repeat([9.8, 50.0], 3)
    f = CubatureKalmanFilter(4, 6, 0.1)
    f.set_state(q, P, np.eye(4), np.eye(6))
    f.update_paper_ahrs(z, 0.02, 0.05)
    ref = reference_cubature_update(q, P, z, 0.02, 0.05)
    for name in ("x", "P", "z", "z_pred", "y", "S", "K", "R"):
        np.testing.assert_allclose(f.get(name), ref[name], rtol=1e-10, atol=1e-12, err_msg=name)
    assert f.get("nis") == pytest.approx(ref["nis"], rel=1e-10)
    assert f.get("log_likelihood") == pytest.approx(ref["log_likelihood"], rel=1e-10)


def test_identity_attitude_with_reference_field_has_no_innovation():
    f = ahrs_filter(p=1e-6)
    f.update_paper_ahrs(np.array([0.0, 0.0, 9.81, 0.3, 0.0, 0.4]), 0.01, 0.04)
    np.testing.assert_allclose(f.get("y"), np.zeros(6), rtol=0, atol=1e-5)
    np.testing.assert_allclose(f.get("x"), [1.0, 0.0, 0.0, 0.0], rtol=0, atol=1e-6)
    np.testing.assert_allclose(f.get("z_pred"), Z_REF, rtol=0, atol=1e-5)


def test_zero_variance_covariance_is_jittered_and_recorded():
    f = ahrs_filter()
    f.set("P", np.diag([0.01, 0.01, 0.0, 0.01]))
    f.update_paper_ahrs(Z_REF, 0.01, 0.04)
    assert f.get("last_jitter") > 0.0
    assert f.get("jitter_count") == 1
    assert f.get("max_jitter") == f.get("last_jitter")


# ---------------------------------------------------------------------------
# Observation model against the rotation-matrix formula


@pytest.mark.parametrize("seed", range(5))
def test_predicted_readings_match_rotation_matrix(seed):
    rng = np.random.default_rng(seed)
    alpha = rng.uniform(0.1, math.pi - 0.1)  # angle between the two readings
    z = np.array([0.0, 0.0, 1.0, math.sin(alpha), 0.0, math.cos(alpha)])
    for q, s in zip(random_unit_quaternions(rng, 8), rng.uniform(0.5, 3.0, 8)):
        f = CubatureKalmanFilter(4, 6, 0.1)
        # A tiny P puts every cubature point on s q, so z_pred is the model
        # there: s^2 times the readings of the unit quaternion (the model
        # does not normalise its input).
        f.set_state(s * q, 1e-24 * np.eye(4), np.eye(4), np.eye(6))
        f.update_paper_ahrs(z, 1.0, 1.0)
        expected = s * s * expected_readings(q, math.sin(alpha), math.cos(alpha))
        np.testing.assert_allclose(f.get("z_pred"), expected, rtol=0, atol=1e-11)


def written_readings(q, mx, mz):
    """The observation formulas in their written evaluation order, one
    rounding per operation (NumPy's elementwise operations never fuse)."""
    a, b, c, d = q.T
    g0 = (b * d - a * c) + (b * d - a * c)
    g1 = (a * b + c * d) + (a * b + c * d)
    g2 = d * d + ((a * a - b * b) - c * c)
    u, v = b * c - a * d, a * c + b * d
    return np.column_stack([
        g0, g1, g2,
        mx * (((a * a + b * b) - c * c) - d * d) + mz * g0,
        mx * (u + u) + mz * g1,
        mz * g2 + mx * (v + v),
    ])


def unit_halves(z):
    out = z.copy()
    for h in (0, 3):
        n = math.sqrt((z[h] * z[h] + z[h + 1] * z[h + 1]) + z[h + 2] * z[h + 2])
        out[h:h + 3] = z[h:h + 3] / n
    return out


def test_predicted_readings_follow_the_written_formulas_bit_for_bit():
    # A diagonal P makes the points exact (x +- 2 sqrt(p_i) on one component),
    # so z_pred and y can be replayed to the last bit: a fused multiply-add or
    # a regrouped formula shows there.
    rng = np.random.default_rng(50)
    for _ in range(25):
        x, p = rng.standard_normal(4), rng.uniform(0.01, 1.0, 4)
        z = rng.standard_normal(6) * rng.uniform(0.1, 10.0)
        f = CubatureKalmanFilter(4, 6, 0.1)
        f.set_state(x, np.diag(p), np.eye(4), np.eye(6))
        f.update_paper_ahrs(z, 0.1, 0.2)

        zn = unit_halves(z)
        na = math.sqrt((zn[0] * zn[0] + zn[1] * zn[1]) + zn[2] * zn[2])
        nm = math.sqrt((zn[3] * zn[3] + zn[4] * zn[4]) + zn[5] * zn[5])
        mz = min(1.0, max(-1.0, ((zn[0] * zn[3] + zn[1] * zn[4]) + zn[2] * zn[5]) / (na * nm)))
        mx = math.sqrt(max(0.0, 1.0 - mz * mz))
        spread = np.diag(2.0 * np.sqrt(p))
        readings = written_readings(np.vstack([x + spread, x - spread]), mx, mz)
        total = np.zeros(6)
        for row in readings:
            total = total + row
        np.testing.assert_array_equal(f.get("z"), zn)
        np.testing.assert_array_equal(f.get("z_pred"), total * (1.0 / 8.0))
        np.testing.assert_array_equal(f.get("y"), zn - total * (1.0 / 8.0))


@pytest.mark.parametrize(
    "z, mx, mz",
    [
        (np.array([0.0, 0.0, 9.81, 0.2, 0.0, 0.4]), 1 / math.sqrt(5), 2 / math.sqrt(5)),
        (np.array([1.0, 2.0, 3.0, 2.0, 4.0, 6.0]), 0.0, 1.0),  # parallel
        (np.array([1.0, 2.0, 3.0, -2.0, -4.0, -6.0]), 0.0, -1.0),  # anti-parallel
        # The rounded cosines of these come out as +-1.0000000000000002.
        (np.array([1.0, 1.0, 1.0, 2.0, 2.0, 2.0]), 0.0, 1.0),
        (np.array([1.0, 1.0, 1.0, -1.0, -1.0, -1.0]), 0.0, -1.0),
    ],
)
def test_magnetic_reference_from_measured_angle(z, mx, mz):
    f = CubatureKalmanFilter(4, 6, 0.1)
    f.set_state(np.array([1.0, 0.0, 0.0, 0.0]), 1e-24 * np.eye(4), np.eye(4), np.eye(6))
    f.update_paper_ahrs(z, 1.0, 1.0)
    # At the identity attitude the magnetic reading is the reference itself.
    np.testing.assert_allclose(f.get("z_pred")[3:], [mx, 0.0, mz], rtol=0, atol=1e-12)
    if mx == 0.0:  # clamped to exactly +-1, so the sine is 0, not NaN
        assert f.get("z_pred")[5] == mz
    assert not np.isnan(f.get("x")).any()


# ---------------------------------------------------------------------------
# Tracking a rotating sensor


def rate_transition(omega, dt):
    """Exact transition of q' = q (x) (0, omega / 2) for a constant body rate."""
    wx, wy, wz = omega
    big_omega = np.array([[0.0, -wx, -wy, -wz], [wx, 0.0, wz, -wy], [wy, -wz, 0.0, wx], [wz, wy, -wx, 0.0]])
    rate = np.linalg.norm(omega)
    half = 0.5 * rate * dt
    return math.cos(half) * np.eye(4) + (math.sin(half) / rate) * big_omega


def test_filter_converges_to_the_true_attitude():
    """A sensor turns about all three axes for 300 steps of 0.02 s while the
    filter starts 60 degrees off.  Gyro rates drive the prediction, noisy
    accelerometer and magnetometer readings the update.  After 100 steps the
    attitude error must stay below 1 degree."""
    rng = np.random.default_rng(42)
    dt, steps, settle = 0.02, 300, 100
    dip = math.radians(60.0)
    field = 48.0 * np.array([math.cos(dip), 0.0, -math.sin(dip)])  # reference frame, z up
    q_true = quat_from_axis_angle([0.3, -0.5, 0.8], 1.0)

    f = CubatureKalmanFilter(4, 6, dt)
    x0 = quat_mul(q_true, quat_from_axis_angle([1.0, 1.0, 0.0], math.radians(60.0)))
    f.set_state(x0, 0.3 * np.eye(4), 1e-6 * np.eye(4), np.eye(6))

    errors = []
    for k in range(steps):
        t = k * dt
        omega = np.array([0.6 * math.sin(0.7 * t), 0.5 * math.cos(0.4 * t), 0.8])
        q_true = quat_mul(q_true, quat_from_axis_angle(omega, np.linalg.norm(omega) * dt))
        gyro = omega + rng.normal(0.0, 0.01, 3)
        f.predict_linear_model(rate_transition(gyro, dt))

        c = rotation_matrix(q_true)
        accel = c.T @ np.array([0.0, 0.0, 9.81]) + rng.normal(0.0, 0.05, 3)
        mag = c.T @ field + rng.normal(0.0, 0.5, 3)
        f.update_paper_ahrs(np.concatenate([accel, mag]), 1e-3, 1e-3)
        f.normalize_quaternion_state()
        errors.append(angle_between(f.get("x"), q_true))

    assert errors[0] > math.radians(5.0)  # the start really is wrong
    assert max(errors[settle:]) < math.radians(1.0)


# ---------------------------------------------------------------------------
# normalize_quaternion_state


def test_normalize_scales_x_and_copies_to_posterior():
    f = ahrs_filter(x=(2.0, 0.0, 0.0, 0.0), p=0.3)
    f.set("x_prior", np.array([5.0, 6.0, 7.0, 8.0]))
    before = state_of(f)
    f.normalize_quaternion_state()
    np.testing.assert_array_equal(f.get("x"), [1.0, 0.0, 0.0, 0.0])
    np.testing.assert_array_equal(f.get("x_post"), [1.0, 0.0, 0.0, 0.0])
    assert_same_state(before, state_of(f), skip=("x", "x_post"))


@pytest.mark.parametrize("seed", range(4))
def test_normalize_divides_each_component(seed):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal(4) * 10.0 ** rng.uniform(-100, 100)
    f = ahrs_filter(x=x)
    f.normalize_quaternion_state()
    n = math.sqrt(((x[0] * x[0] + x[1] * x[1]) + x[2] * x[2]) + x[3] * x[3])
    np.testing.assert_array_equal(f.get("x"), [v / n for v in x])
    assert np.sign(f.get("x")).tolist() == np.sign(x).tolist()
    assert np.linalg.norm(f.get("x")) == pytest.approx(1.0, abs=1e-15)


QUATERNION = "quaternion norm must be finite and positive"


@pytest.mark.parametrize(
    "x, message",
    [((0.0, 0.0, 0.0, 0.0), QUATERNION), ((-0.0, 0.0, -0.0, 0.0), QUATERNION), ((np.nan, 1.0, 0.0, 0.0), QUATERNION),
     ((np.inf, 0.0, 0.0, 0.0), QUATERNION), ((1e200, 0.0, 0.0, 0.0), QUATERNION),
     ((1e-170, 0.0, 0.0, 0.0), QUATERNION), ((1.0,) * 7, "normalize_quaternion_state requires dim_x == 4")],
)
def test_normalize_rejects_degenerate_norms_and_dimensions(x, message):
    f = CubatureKalmanFilter(len(x), 6, 0.1)
    f.set_state(np.array(x), np.eye(len(x)), np.eye(len(x)), np.eye(6))
    before = state_of(f)
    with pytest.raises(ValueError) as info:
        f.normalize_quaternion_state()
    assert str(info.value) == message
    assert_same_state(before, state_of(f))
