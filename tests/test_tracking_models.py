"""The built-in tracking models of `vexel_ckf.models`, evaluated natively.

Every model is checked through its Python call against mathematics written
here: the textbook closed forms (NumPy twins), Taylor series of those forms
near the straight-line limit, an RK4 integration of the continuous motion,
analytic Jacobians against finite differences, and, for the filter, a whole
run with the twins as Python callbacks."""

import math
import pickle

import numpy as np
import pytest

from vexel_ckf import VexelCKF, models

EPS = np.finfo(float).eps


# -- independent references -----------------------------------------------------

def ct_twin(X, dt):
    """Coordinated turn in its textbook form, sin(a)/omega and (1 - cos a)/omega (a = omega dt),
    with 1 - cos a as 2 sin^2(a/2) so that it does not cancel; straight line at omega = 0."""
    px, py, vx, vy, w = X.T
    a = w * dt
    turning = w != 0.0
    safe = np.where(turning, w, 1.0)
    s = np.where(turning, np.sin(a) / safe, dt)
    c = np.where(turning, 2.0 * np.sin(a / 2.0) ** 2 / safe, 0.0)
    return np.column_stack((px + s * vx - c * vy, py + c * vx + s * vy,
                            np.cos(a) * vx - np.sin(a) * vy, np.sin(a) * vx + np.cos(a) * vy, w))


def ctrv_twin(X, dt):
    """CTRV in its textbook form, speed/yaw_rate (sin(heading + a) - sin(heading)) ...; straight at 0."""
    px, py, th, v, w = X.T
    a = w * dt
    turning = w != 0.0
    safe = np.where(turning, w, 1.0)
    dx = np.where(turning, v / safe * (np.sin(th + a) - np.sin(th)), v * dt * np.cos(th))
    dy = np.where(turning, v / safe * (np.cos(th) - np.cos(th + a)), v * dt * np.sin(th))
    return np.column_stack((px + dx, py + dy, th + a, v, w))


def taylor(a, odd, terms=8):
    """sin(a)/a (odd=False) or (1 - cos a)/a (odd=True) by their Taylor series, exact to rounding for
    |a| <= 0.1 with 8 terms."""
    out = np.zeros_like(a)
    for k in reversed(range(terms)):
        power = 2 * k + 1 if odd else 2 * k
        out += (-1.0) ** k * a ** power / math.factorial(power + 1)
    return out


def ct_series(X, dt):
    """Coordinated turn near the straight line: the closed form with sin(a)/omega = dt sin(a)/a and
    (1 - cos a)/omega = dt (1 - cos a)/a expanded in a (good to rounding for |a| <= 0.1)."""
    px, py, vx, vy, w = X.T
    a = w * dt
    s, c = dt * taylor(a, False), dt * taylor(a, True)
    return np.column_stack((px + s * vx - c * vy, py + c * vx + s * vy,
                            np.cos(a) * vx - np.sin(a) * vy, np.sin(a) * vx + np.cos(a) * vy, w))


def ctrv_series(X, dt):
    """CTRV near the straight line: sin(th + a) - sin(th) = sin(th)(cos a - 1) + cos(th) sin a, and the
    same for the cosine, with the two quotients by the yaw rate expanded in a."""
    px, py, th, v, w = X.T
    a = w * dt
    s, c = dt * taylor(a, False), dt * taylor(a, True)
    return np.column_stack((px + v * (np.cos(th) * s - np.sin(th) * c), py + v * (np.sin(th) * s + np.cos(th) * c),
                            th + a, v, w))


def ct_rate(S):
    vx, vy, w = S[:, 2], S[:, 3], S[:, 4]
    return np.column_stack((vx, vy, -w * vy, w * vx, np.zeros_like(w)))


def ctrv_rate(S):
    th, v, w = S[:, 2], S[:, 3], S[:, 4]
    return np.column_stack((v * np.cos(th), v * np.sin(th), w, np.zeros_like(w), np.zeros_like(w)))


def rk4(rate, X, dt, steps):
    """Classical Runge-Kutta in long double where the platform has it: the reference's own rounding over
    many steps then stays well below that of the model under test."""
    S, h = X.astype(np.longdouble), np.longdouble(dt) / steps
    for _ in range(steps):
        k1 = rate(S)
        k2 = rate(S + h / 2 * k1)
        k3 = rate(S + h / 2 * k2)
        k4 = rate(S + h * k3)
        S = S + h / 6 * (k1 + 2 * k2 + 2 * k3 + k4)
    return S.astype(np.float64)


def rb_twin(X, sensor, position):
    d = X[:, list(position)] - np.asarray(sensor)
    return np.column_stack((np.sqrt(d[:, 0] ** 2 + d[:, 1] ** 2), np.arctan2(d[:, 1], d[:, 0])))


def rbe_twin(X, sensor, position):
    d = X[:, list(position)] - np.asarray(sensor)
    ground = np.sqrt(d[:, 0] ** 2 + d[:, 1] ** 2)
    return np.column_stack((np.sqrt(np.sum(d ** 2, axis=1)), np.arctan2(d[:, 1], d[:, 0]),
                            np.arctan2(d[:, 2], ground)))


def rb_jacobian(x, sensor, position, dim_x):
    dx, dy = x[position[0]] - sensor[0], x[position[1]] - sensor[1]
    r2 = dx * dx + dy * dy
    r = math.sqrt(r2)
    J = np.zeros((2, dim_x))
    J[0, position[0]], J[0, position[1]] = dx / r, dy / r
    J[1, position[0]], J[1, position[1]] = -dy / r2, dx / r2
    return J


def rbe_jacobian(x, sensor, position, dim_x):
    dx, dy, dz = (x[i] - s for i, s in zip(position, sensor))
    g2 = dx * dx + dy * dy
    g, r2 = math.sqrt(g2), g2 + dz * dz
    r = math.sqrt(r2)
    J = np.zeros((3, dim_x))
    ix, iy, iz = position
    J[0, ix], J[0, iy], J[0, iz] = dx / r, dy / r, dz / r
    J[1, ix], J[1, iy] = -dy / g2, dx / g2
    J[2, ix], J[2, iy], J[2, iz] = -dx * dz / (r2 * g), -dy * dz / (r2 * g), g / r2
    return J


def central_differences(f, x, h):
    cols = []
    for j in range(x.size):
        e = np.zeros_like(x)
        e[j] = h
        cols.append((f((x + e)[None, :])[0] - f((x - e)[None, :])[0]) / (2 * h))
    return np.column_stack(cols)


def turning_states(rng, n, lo=0.05, hi=2.0):
    """Random CT / CTRV states whose turn rate has magnitude in [lo, hi] and either sign."""
    X = rng.uniform(-10.0, 10.0, (n, 5))
    X[:, 4] = rng.uniform(lo, hi, n) * rng.choice([-1.0, 1.0], n)
    return X


def close(actual, expected, tol, slack=0.0):
    """Agreement to tol relative to each row's largest entry (a position of 10 and a velocity of 1e-3 are
    computed to the same absolute precision), plus an absolute slack per row for a reference's own
    rounding."""
    scale = np.maximum(np.max(np.abs(expected), axis=1, keepdims=True), 1.0)
    np.testing.assert_array_less(np.abs(actual - expected),
                                 np.broadcast_to(tol * scale + np.reshape(slack, (-1, 1)), actual.shape))


# -- motion models ----------------------------------------------------------------

MOTION = [(models.coordinated_turn, ct_twin, ct_series, ct_rate), (models.ctrv, ctrv_twin, ctrv_series, ctrv_rate)]
MOTION_IDS = ["coordinated_turn", "ctrv"]


@pytest.mark.parametrize("make,twin,series,rate", MOTION, ids=MOTION_IDS)
@pytest.mark.parametrize("dt", [0.1, 1.0, -0.5, 3.0])
def test_motion_matches_the_closed_form(make, twin, series, rate, dt):
    X = turning_states(np.random.default_rng(1), 200)
    # The CTRV twin's sin(heading + a) - sin(heading) cancels for a small turn: it is itself only good to
    # about an ulp of 1 times speed / yaw_rate.
    slack = 2 * EPS * np.abs(X[:, 3] / X[:, 4]) if make is models.ctrv else 0.0
    close(make()(X, dt), twin(X, dt), 8 * EPS, slack)


@pytest.mark.parametrize("make,twin,series,rate", MOTION, ids=MOTION_IDS)
def test_motion_solves_the_continuous_dynamics(make, twin, series, rate):
    # RK4 with 4000 steps of the continuous motion (truncation error ~ (omega h)^4 per step, far below the
    # tolerance), for turn rates from zero up to a third of a turn per step. Where long double is double,
    # the reference's accumulated rounding sets the tolerance.
    rng = np.random.default_rng(2)
    X = np.vstack((turning_states(rng, 40), turning_states(rng, 10, 0.0, 1e-6), rng.uniform(-10.0, 10.0, (1, 5))))
    X[-1, 4] = 0.0
    dt = 1.0
    tol = 16 * EPS if np.finfo(np.longdouble).eps < 1e-18 else 5e-12
    close(make()(X, dt), rk4(rate, X, dt, 4000), tol)


@pytest.mark.parametrize("omega", [0.37, -1.3, 2.0])
def test_coordinated_turn_closes_a_full_circle(omega):
    X = np.array([[3.0, -4.0, 2.0, 1.5, omega]])
    period = 2.0 * math.pi / abs(omega)
    model = models.coordinated_turn()
    close(model(X, period), X, 1e-14)
    # Half way round, the velocity is reversed and the position is across the circle's diameter.
    radius_vector = np.array([-X[0, 3], X[0, 2]]) / omega  # from the position to the centre
    half = model(X, period / 2.0)[0]
    np.testing.assert_allclose(half[:2], X[0, :2] + 2.0 * radius_vector, rtol=0, atol=1e-13)
    np.testing.assert_allclose(half[2:4], -X[0, 2:4], rtol=0, atol=1e-14)


def test_ctrv_closes_a_full_circle_and_leaves_the_heading_unwrapped():
    omega = 0.8
    X = np.array([[1.0, 2.0, 3.0, 2.5, omega]])
    period = 2.0 * math.pi / omega
    Y = models.ctrv()(X, period)
    np.testing.assert_allclose(Y[0, :2], X[0, :2], rtol=0, atol=1e-13)
    assert Y[0, 2] == pytest.approx(3.0 + 2.0 * math.pi, abs=1e-14)  # not folded back to 3.0
    assert Y[0, 3] == 2.5 and Y[0, 4] == omega


@pytest.mark.parametrize("make,twin,series,rate", MOTION, ids=MOTION_IDS)
@pytest.mark.parametrize("omega", [0.0, -0.0, 1e-300, 1e-12, -1e-12, 1e-6, -1e-6])
@pytest.mark.parametrize("dt", [1.0, 0.25])
def test_straight_line_limit(make, twin, series, rate, omega, dt):
    rng = np.random.default_rng(3)
    X = rng.uniform(-10.0, 10.0, (20, 5))
    X[:, 4] = omega
    Y = make()(X, dt)
    close(Y, series(X, dt), 4 * EPS)
    if make is models.coordinated_turn:
        straight = np.column_stack((X[:, 0] + dt * X[:, 2], X[:, 1] + dt * X[:, 3], X[:, 2:]))
    else:
        straight = np.column_stack((X[:, 0] + dt * X[:, 3] * np.cos(X[:, 2]),
                                    X[:, 1] + dt * X[:, 3] * np.sin(X[:, 2]), X[:, 2:]))
    # The turn moves a point off the straight line by about |v| |omega| dt^2 / 2 and turns the velocity
    # (or the heading) by |v| |omega| dt (|omega| dt); |v| < 15.
    bound = 15.0 * abs(omega) * max(dt, dt * dt) + 4 * EPS * np.max(np.abs(straight))
    np.testing.assert_array_less(np.abs(Y - straight), bound)
    if omega == 0.0:
        np.testing.assert_array_equal(Y, straight)


@pytest.mark.parametrize("make,twin,series,rate", MOTION, ids=MOTION_IDS)
def test_motion_is_continuous_across_small_turn_rates(make, twin, series, rate):
    # A dense sweep of a = omega dt over eight decades, both signs: wherever a switch between a series and
    # the quotient sits, both sides agree with the Taylor form to rounding, so no step appears.
    a = np.geomspace(1e-9, 1e-1, 4001)
    a = np.concatenate((a, -a))
    X = np.tile([[1.0, -2.0, 0.7, 3.0, 0.0]], (a.size, 1))
    X[:, 4] = a / 0.5
    close(make()(X, 0.5), series(X, 0.5), 4 * EPS)


def test_motion_models_agree_with_each_other():
    # A CTRV state is a CT state in polar velocity: the same motion, two parametrisations.
    rng = np.random.default_rng(4)
    P = np.vstack((turning_states(rng, 50), np.zeros((1, 5))))
    P[:, 3] = np.abs(P[:, 3])
    C = np.column_stack((P[:, :2], P[:, 3] * np.cos(P[:, 2]), P[:, 3] * np.sin(P[:, 2]), P[:, 4]))
    Pn, Cn = models.ctrv()(P, 0.7), models.coordinated_turn()(C, 0.7)
    close(Cn[:, :2], Pn[:, :2], 16 * EPS)
    close(Cn[:, 2:4], np.column_stack((Pn[:, 3] * np.cos(Pn[:, 2]), Pn[:, 3] * np.sin(Pn[:, 2]))), 16 * EPS)


# -- measurement models ----------------------------------------------------------------

RB_CASES = [
    (models.range_bearing, rb_twin, rb_jacobian, (1.5, -2.0), (4, 1)),
    (models.range_bearing, rb_twin, rb_jacobian, (0.0, 0.0), (0, 1)),
    (models.range_bearing_elevation, rbe_twin, rbe_jacobian, (1.5, -2.0, 0.3), (5, 0, 2)),
    (models.range_bearing_elevation, rbe_twin, rbe_jacobian, (0.0, 0.0, 0.0), (0, 1, 2)),
]
RB_IDS = ["rb", "rb-default", "rbe", "rbe-default"]


@pytest.mark.parametrize("make,twin,jacobian,sensor,position", RB_CASES, ids=RB_IDS)
def test_measurement_matches_hypot_and_atan2(make, twin, jacobian, sensor, position):
    X = np.random.default_rng(5).uniform(-20.0, 20.0, (300, 6))
    close(make(sensor, position)(X), twin(X, sensor, position), 2 * EPS)


@pytest.mark.parametrize("make,twin,jacobian,sensor,position", RB_CASES, ids=RB_IDS)
def test_measurement_jacobian(make, twin, jacobian, sensor, position):
    # The analytic Jacobian of the twin against central differences of the model: a swapped atan2
    # argument, a wrong index or a sign error changes the derivative even where values happen to agree.
    model = make(sensor, position)
    rng = np.random.default_rng(6)
    for _ in range(20):
        x = rng.uniform(-20.0, 20.0, 6)
        numeric = central_differences(model, x, 1e-5)
        np.testing.assert_allclose(numeric, jacobian(x, sensor, position, 6), rtol=1e-7, atol=1e-9)
        np.testing.assert_allclose(numeric, central_differences(lambda X: twin(X, sensor, position), x, 1e-5),
                                   rtol=1e-7, atol=1e-9)


def test_measurement_ranges_of_the_angles():
    rb = models.range_bearing()
    Z = rb(np.array([[-2.0, 0.0], [-2.0, -0.0], [0.0, 3.0], [0.0, -3.0]]))
    np.testing.assert_array_equal(Z[:, 0], [2.0, 2.0, 3.0, 3.0])
    np.testing.assert_array_equal(Z[:, 1], [math.pi, -math.pi, math.pi / 2, -math.pi / 2])
    rbe = models.range_bearing_elevation(sensor=(1.0, 1.0, 1.0))
    Z = rbe(np.array([[1.0, 1.0, 6.0], [1.0, 1.0, -4.0], [4.0, 5.0, 1.0], [4.0, 5.0, 13.0]]))
    np.testing.assert_array_equal(Z[:, 0], [5.0, 5.0, 5.0, 13.0])
    np.testing.assert_array_equal(Z[:2, 2], [math.pi / 2, -math.pi / 2])
    assert Z[2, 2] == 0.0 and Z[3, 2] == pytest.approx(math.atan2(12.0, 5.0), abs=0, rel=EPS)


def test_measurement_range_does_not_overflow():
    Z = models.range_bearing_elevation()(np.array([[3e200, 4e200, 0.0], [0.0, 3e-200, 4e-200]]))
    np.testing.assert_allclose(Z[:, 0], [5e200, 5e-200], rtol=2 * EPS)


# -- linear models ------------------------------------------------------------------

def test_linear_models_are_matrix_products():
    rng = np.random.default_rng(7)
    F, H = rng.standard_normal((6, 6)), rng.standard_normal((2, 6))
    X = rng.standard_normal((13, 6))
    np.testing.assert_allclose(models.linear(F)(X, 0.3), X @ F.T, rtol=1e-14, atol=1e-14)
    np.testing.assert_allclose(models.linear_measurement(H)(X), X @ H.T, rtol=1e-14, atol=1e-14)
    # Exactly representable sums are exact.
    F = np.arange(9.0).reshape(3, 3) - 4.0
    X = np.arange(12.0).reshape(4, 3)
    np.testing.assert_array_equal(models.linear(F)(X, 1.0), X @ F.T)
    np.testing.assert_array_equal(models.linear(F.tolist())(X, 1.0), X @ F.T)


# -- the model objects ---------------------------------------------------------------

OBJECTS = [
    (models.coordinated_turn(), "fx", 5, 5, (), "models.coordinated_turn()"),
    (models.ctrv(), "fx", 5, 5, (2,), "models.ctrv()"),
    (models.range_bearing(), "hx", None, 2, (1,), "models.range_bearing(sensor=(0.0, 0.0), position=(0, 1))"),
    (models.range_bearing(sensor=[1, 2.5], position=np.array([3, 0])), "hx", None, 2, (1,),
     "models.range_bearing(sensor=(1.0, 2.5), position=(3, 0))"),
    (models.range_bearing_elevation((1.0, -2.0, 3.0), (4, 5, 6)), "hx", None, 3, (1,),
     "models.range_bearing_elevation(sensor=(1.0, -2.0, 3.0), position=(4, 5, 6))"),
    (models.linear([[1.0, 0.5], [0.0, 1.0]]), "fx", 2, 2, (), "models.linear([[1.0, 0.5], [0.0, 1.0]])"),
    (models.linear_measurement([[1.0, 0.0, 0.25]]), "hx", 3, 1, (), "models.linear_measurement([[1.0, 0.0, 0.25]])"),
]


@pytest.mark.parametrize("model,kind,dim_in,dim_out,angles,text", OBJECTS, ids=lambda v: None)
def test_attributes_repr_and_pickling(model, kind, dim_in, dim_out, angles, text):
    assert (model.kind, model.dim_in, model.dim_out, model.angles, repr(model)) == (
        kind, dim_in, dim_out, angles, text)
    again = pickle.loads(pickle.dumps(model))
    assert type(again) is type(model) and again is not model
    assert (again.kind, again.dim_in, again.dim_out, again.angles, repr(again)) == (kind, dim_in, dim_out, angles, text)
    # The copy computes what the original does.
    X = np.random.default_rng(8).uniform(-5.0, 5.0, (9, dim_in or 7))
    args = (0.4,) if kind == "fx" else ()
    np.testing.assert_array_equal(again(X, *args), model(X, *args))
    # The repr rebuilds the model.
    rebuilt = eval(text, {"models": models})
    np.testing.assert_array_equal(rebuilt(X, *args), model(X, *args))


BAD_ARGUMENTS = [
    (lambda: models.range_bearing(sensor=(1.0,)), ValueError, "sensor must hold 2 coordinates (x, y), got shape (1,)"),
    (lambda: models.range_bearing(sensor=(1.0, 2.0, 3.0)), ValueError, "sensor must hold 2 coordinates"),
    (lambda: models.range_bearing(sensor=(1.0, math.nan)), ValueError, "sensor must be finite, got (1.0, nan)"),
    (lambda: models.range_bearing(sensor=(math.inf, 0.0)), ValueError, "sensor must be finite"),
    (lambda: models.range_bearing(sensor=None), TypeError, "sensor must be an array-like of real numbers"),
    (lambda: models.range_bearing(sensor=(1j, 0.0)), TypeError, "sensor must hold real numbers"),
    (lambda: models.range_bearing_elevation(sensor=(1.0, 2.0)), ValueError,
     "sensor must hold 3 coordinates (x, y, z), got shape (2,)"),
    (lambda: models.range_bearing(position=(0, -1)), ValueError, "position holds -1: state indices are counted "
     "from 0 and cannot be negative"),
    (lambda: models.range_bearing(position=(2, 2)), ValueError, "position holds 2 twice"),
    (lambda: models.range_bearing(position=(0, 1, 2)), ValueError,
     "position must be a sequence of 2 distinct non-negative integer indices into the state, got 3 indices"),
    (lambda: models.range_bearing(position=(0, 1.0)), TypeError, "position must hold integer indices, got 1.0"),
    (lambda: models.range_bearing(position=(True, 0)), TypeError, "position must hold integer indices, got True"),
    (lambda: models.range_bearing(position=3), TypeError, "position must be a sequence of 2 distinct "
     "non-negative integer indices into the state, got int"),
    (lambda: models.range_bearing(position="01"), TypeError, "position must be a sequence"),
    (lambda: models.range_bearing_elevation(position=(0, 1, 2**60)), ValueError,
     "position holds 1152921504606846976, too large for a state index"),
    (lambda: models.linear([1.0, 2.0]), ValueError, "F must be a 2-D matrix, got an array of shape (2,)"),
    (lambda: models.linear(np.eye(3)[:2]), ValueError, "F must be square (it maps the state to the state), "
     "got shape (2, 3)"),
    (lambda: models.linear([[1.0, math.nan], [0.0, 1.0]]), ValueError, "F must be finite"),
    (lambda: models.linear(np.zeros((0, 0))), ValueError, "F must not be empty"),
    (lambda: models.linear(None), TypeError, "F must be an array-like of real numbers, not None"),
    (lambda: models.linear_measurement(np.ones((2, 2, 2))), ValueError, "H must be a 2-D matrix"),
    (lambda: models.linear_measurement([[math.inf, 0.0]]), ValueError, "H must be finite"),
]


@pytest.mark.parametrize("build,exc,message", BAD_ARGUMENTS, ids=lambda v: None)
def test_bad_arguments_are_named(build, exc, message):
    with pytest.raises(exc) as info:
        build()
    assert str(info.value).startswith(message)


def test_calls_outside_a_models_dimensions_fail_cleanly():
    # The kernel refuses dims that cannot be its own (a position index past the state) and extra
    # arguments; nothing is returned half-written.
    rb = models.range_bearing(position=(0, 4))
    with pytest.raises(RuntimeError, match="returned 1 "):
        rb(np.zeros((3, 4)))
    np.testing.assert_array_equal(rb(np.ones((3, 5))), np.tile([0.0, math.pi / 4], (3, 1)) +
                                  np.array([math.sqrt(2.0), 0.0]))
    with pytest.raises(RuntimeError, match="returned 3 "):
        models.coordinated_turn()(np.zeros((2, 5)), 1.0, 2.0)
    with pytest.raises(RuntimeError, match="returned 3 "):
        rb(np.ones((3, 5)), 2.0)


# -- in a filter ----------------------------------------------------------------------

@pytest.mark.parametrize("square_root", [False, True], ids=["ckf", "srckf"])
def test_filter_run_matches_python_callbacks(square_root):
    # 1000 steps of a target circling a range/bearing sensor at 0.05 rad/s (the bearing wraps at each of
    # its eight turns round the sensor): the natively evaluated models and the twins as Python callbacks
    # give the same filter, to rounding.
    rng = np.random.default_rng(9)
    sensor, dt, n = (110.0, 100.0), 1.0, 1000
    truth = np.array([[100.0, 50.0, 3.0, -1.0, 0.05]])
    zs = np.empty((n, 2))
    for k in range(n):
        truth = ct_twin(truth, dt)
        truth[0, :4] += rng.standard_normal(4) * [0.05, 0.05, 0.02, 0.02]
        zs[k] = rb_twin(truth, sensor, (0, 1))[0] + rng.standard_normal(2) * [0.5, 0.005]

    def build(fx, hx, **angles):
        kf = VexelCKF(5, 2, dt, fx=fx, hx=hx, square_root=square_root, **angles)
        kf.x = [95.0, 55.0, 2.5, -0.5, 0.04]
        kf.P = np.diag([25.0, 25.0, 1.0, 1.0, 1e-4])
        kf.Q = np.diag([0.0025, 0.0025, 4e-4, 4e-4, 1e-8])
        kf.R = np.diag([0.25, 2.5e-5])
        return kf

    # The native filter takes its bearing as an angle from the model; the callbacks say so themselves.
    native = build(models.coordinated_turn(), models.range_bearing(sensor=sensor)).run(zs)
    python = build(ct_twin, lambda X: rb_twin(X, sensor, (0, 1)), angle_measurements=(1,)).run(zs)
    # Relative to each state's scale over the run: a velocity passing through zero is computed to the
    # absolute precision of its typical size, not to the relative precision of its smallest value.
    np.testing.assert_array_less(np.abs(native.xs - python.xs), np.broadcast_to(1e-12 * np.max(np.abs(python.xs), axis=0), python.xs.shape))
    for a, b in ((native.Ps, python.Ps), (native.Ps_prior, python.Ps_prior)):
        scale = np.sqrt(np.einsum("kii->ki", a)[:, :, None] * np.einsum("kii->ki", a)[:, None, :])
        np.testing.assert_array_less(np.abs(a - b) / scale, 1e-12)
    # The filter tracked the turn (it is a meaningful run, not a diverged one).
    assert abs(native.xs[-1, 4] - 0.05) < 0.01
