"""Callback-free predictions of CubatureKalmanFilter: user transition
matrices, the built-in constant-velocity / constant-acceleration models and
their name lists."""

import math

import numpy as np
import pytest

from vexel_ckf._native import CubatureKalmanFilter

FIELDS = [
    "x", "P", "Q", "R", "K", "y", "z", "S", "SI", "x_prior", "P_prior", "x_post", "P_post", "z_pred",
    "log_likelihood", "likelihood", "mahalanobis", "nis", "last_jitter", "max_jitter", "jitter_count",
    "singular_innovation_count",
]

METHOD_TABLE = [
    "set_state", "set_dt", "predict_custom", "predict_standard_model", "supported_standard_models",
    "supported_standard_layouts", "predict_standard_model_ckf", "predict_linear_model",
    "predict_linear_model_ckf", "clear_update_diagnostics", "reset_jitter_counters", "update",
    "update_paper_ahrs", "normalize_quaternion_state", "get", "set", "load_snapshot", "copy", "record_step",
    "snapshot",
]

PLAIN = ["predict_linear_model", "predict_standard_model"]
CUBATURE = ["predict_linear_model_ckf", "predict_standard_model_ckf"]


def state_of(f):
    return {name: f.get(name) for name in FIELDS}


def same_value(a, b):
    if isinstance(a, np.ndarray):
        return np.array_equal(a, b, equal_nan=True)
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    return a == b


def assert_same_state(before, after, skip=()):
    changed = [name for name in FIELDS if name not in skip and not same_value(before[name], after[name])]
    assert changed == []


def random_spd(rng, n):
    a = rng.standard_normal((n, n))
    return a @ a.T + n * np.eye(n)


def make_filter(rng, n, dt=0.1):
    f = CubatureKalmanFilter(n, 2, dt)
    q = random_spd(rng, n) * 0.01
    f.set_state(rng.standard_normal(n), random_spd(rng, n), q, np.eye(2))
    return f


def axis_block(order, dt):
    """Transition of one axis: [pos, vel(, acc)] by the kinematic equations."""
    if order == 2:
        return np.array([[1.0, dt], [0.0, 1.0]])
    return np.array([[1.0, dt, dt * dt / 2.0], [0.0, 1.0, dt], [0.0, 0.0, 1.0]])


def expected_transition(model, layout, axes, dt):
    """Independent construction: one block per axis, then arranged with a
    Kronecker product.  Interleaved keeps each axis contiguous (I kron B);
    blocked groups each quantity over all axes (B kron I)."""
    block = axis_block(2 if model == "constant_velocity" else 3, dt)
    if layout == "interleaved":
        return np.kron(np.eye(axes), block)
    return np.kron(block, np.eye(axes))


def observed_transition(n, dt, model, layout, method="predict_standard_model"):
    """Read F back through the plain prediction: with P = Q = 0 and x = e_j the
    predicted x is column j of F."""
    cols = []
    for j in range(n):
        f = CubatureKalmanFilter(n, 1, dt)
        e = np.zeros(n)
        e[j] = 1.0
        f.set_state(e, np.zeros((n, n)), np.zeros((n, n)), np.eye(1))
        getattr(f, method)(model, layout)
        cols.append(f.get("x"))
    return np.column_stack(cols)


# ---------------------------------------------------------------------------
# Registration


def test_static_name_lists_are_fresh_and_ordered():
    models = CubatureKalmanFilter.supported_standard_models()
    layouts = CubatureKalmanFilter.supported_standard_layouts()
    assert models == ["constant_velocity", "constant_acceleration"]
    assert layouts == ["blocked", "interleaved"]
    models.append("x")
    layouts.clear()
    assert CubatureKalmanFilter.supported_standard_models() == ["constant_velocity", "constant_acceleration"]
    assert CubatureKalmanFilter.supported_standard_layouts() == ["blocked", "interleaved"]
    # Also reachable through an instance, and they take no arguments.
    assert CubatureKalmanFilter(1, 1, 1.0).supported_standard_layouts() == ["blocked", "interleaved"]
    with pytest.raises(TypeError):
        CubatureKalmanFilter.supported_standard_models(1)


def test_static_method_docstrings():
    assert CubatureKalmanFilter.supported_standard_models.__doc__ == (
        "Convenience for callers: list of model strings accepted by\n"
        "predict_standard_model[_ckf]. Lets the Python wrapper validate input\n"
        "with a friendly error before reaching the backend."
    )
    assert CubatureKalmanFilter.supported_standard_layouts.__doc__ == (
        "State layouts accepted by predict_standard_model[_ckf], for the same\n"
        "friendly Python-side validation as supported_standard_models."
    )
    assert CubatureKalmanFilter.supported_standard_models.__text_signature__ == "()"
    assert CubatureKalmanFilter.supported_standard_layouts.__text_signature__ == "()"
    assert isinstance(CubatureKalmanFilter.__dict__["supported_standard_models"], staticmethod)


@pytest.mark.parametrize(
    "name, signature",
    [
        ("predict_standard_model", '($self, model_type, layout="blocked")'),
        ("predict_standard_model_ckf", '($self, model_type, layout="blocked")'),
        ("predict_linear_model", "($self, f)"),
        ("predict_linear_model_ckf", "($self, f)"),
    ],
)
def test_prediction_signatures(name, signature):
    method = getattr(CubatureKalmanFilter, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ is None


def test_method_table_order():
    assert [m for m in CubatureKalmanFilter.__dict__ if not m.startswith("_")] == METHOD_TABLE


@pytest.mark.parametrize("method", PLAIN[1:] + CUBATURE[1:])
def test_standard_model_arguments(method):
    f = CubatureKalmanFilter(2, 1, 1.0)
    call = getattr(f, method)
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == (
        f"CubatureKalmanFilter.{method}() missing 1 required positional argument: 'model_type'"
    )
    with pytest.raises(TypeError) as info:
        call("constant_velocity", None)
    assert str(info.value).startswith("argument 'layout': ")
    with pytest.raises(TypeError) as info:
        call(b"constant_velocity")
    assert str(info.value).startswith("argument 'model_type': ")
    call(model_type="constant_velocity", layout="interleaved")
    with pytest.raises(TypeError) as info:
        call("constant_velocity", "blocked", "extra")
    assert str(info.value) == (
        f"CubatureKalmanFilter.{method}() takes from 1 to 2 positional arguments but 3 were given"
    )


# ---------------------------------------------------------------------------
# Transition matrices of the standard models


@pytest.mark.parametrize("model", ["constant_velocity", "constant_acceleration"])
@pytest.mark.parametrize("layout", ["blocked", "interleaved"])
@pytest.mark.parametrize("axes", [1, 2, 3])
def test_standard_transition_matches_kinematics(model, layout, axes):
    order = 2 if model == "constant_velocity" else 3
    dt = 0.37
    got = observed_transition(order * axes, dt, model, layout)
    np.testing.assert_array_equal(got, expected_transition(model, layout, axes, dt))


def test_blocked_and_interleaved_examples_for_two_axes():
    dt = 0.5
    blocked = observed_transition(4, dt, "constant_velocity", "blocked")
    interleaved = observed_transition(4, dt, "constant_velocity", "interleaved")
    np.testing.assert_array_equal(blocked, [[1, 0, dt, 0], [0, 1, 0, dt], [0, 0, 1, 0], [0, 0, 0, 1]])
    np.testing.assert_array_equal(interleaved, [[1, dt, 0, 0], [0, 1, 0, 0], [0, 0, 1, dt], [0, 0, 0, 1]])


def test_zero_dt_gives_identity_and_set_dt_is_used():
    np.testing.assert_array_equal(observed_transition(6, 0.0, "constant_acceleration", "blocked"), np.eye(6))
    f = CubatureKalmanFilter(2, 1, 5.0)
    f.set_dt(2.0)
    f.set_state(np.array([1.0, 3.0]), np.eye(2), np.zeros((2, 2)), np.eye(1))
    f.predict_standard_model("constant_velocity")
    np.testing.assert_array_equal(f.get("x"), [7.0, 3.0])


@pytest.mark.parametrize("method", ["predict_standard_model", "predict_standard_model_ckf"])
def test_constant_velocity_worked_example(method):
    f = CubatureKalmanFilter(2, 1, 1.0)
    f.set_state(np.array([0.0, 1.0]), np.eye(2), np.zeros((2, 2)), np.eye(1))
    getattr(f, method)("constant_velocity")
    np.testing.assert_allclose(f.get("x"), [1.0, 1.0], rtol=0, atol=1e-15)
    np.testing.assert_allclose(f.get("P"), [[2.0, 1.0], [1.0, 1.0]], rtol=0, atol=1e-14)
    np.testing.assert_array_equal(f.get("x_prior"), f.get("x"))
    np.testing.assert_array_equal(f.get("P_prior"), f.get("P"))


# ---------------------------------------------------------------------------
# Messages of the standard models; nothing changes on failure

DIVISIBILITY = [
    ("constant_velocity", "blocked", 5,
     "constant_velocity requires dim_x to be a multiple of 2 for the blocked layout [pos..., vel...]; got dim_x=5"),
    ("constant_velocity", "interleaved", 3,
     "constant_velocity requires dim_x to be a multiple of 2 for the interleaved layout "
     "[pos, vel, pos, vel, ...]; got dim_x=3"),
    ("constant_acceleration", "blocked", 4,
     "constant_acceleration requires dim_x to be a multiple of 3 for the blocked layout "
     "[pos..., vel..., acc...]; got dim_x=4"),
    ("constant_acceleration", "interleaved", 7,
     "constant_acceleration requires dim_x to be a multiple of 3 for the interleaved layout "
     "[pos, vel, acc, pos, vel, acc, ...]; got dim_x=7"),
]

BAD_NAMES = [
    ("Constant_velocity", "blocked", "unsupported model_type: Constant_velocity"),
    ("constant velocity", "blocked", "unsupported model_type: constant velocity"),
    ("nope", "sideways", "unsupported model_type: nope"),
    ("constant_velocity", "Blocked", "unsupported layout: Blocked; expected 'blocked' or 'interleaved'"),
    ("constant_acceleration", " interleaved", "unsupported layout:  interleaved; expected 'blocked' or 'interleaved'"),
]


@pytest.mark.parametrize("method", PLAIN[1:] + CUBATURE[1:])
@pytest.mark.parametrize("model, layout, dim_x, message", DIVISIBILITY)
def test_divisibility_messages(method, model, layout, dim_x, message):
    f = make_filter(np.random.default_rng(dim_x), dim_x)
    before = state_of(f)
    with pytest.raises(ValueError) as info:
        getattr(f, method)(model, layout)
    assert str(info.value) == message
    assert_same_state(before, state_of(f))


@pytest.mark.parametrize("method", PLAIN[1:] + CUBATURE[1:])
@pytest.mark.parametrize("model, layout, message", BAD_NAMES)
def test_name_messages_model_before_layout_before_size(method, model, layout, message):
    # dim_x = 5 fits neither model, so a name error must win over the size.
    f = make_filter(np.random.default_rng(1), 5)
    before = state_of(f)
    with pytest.raises(ValueError) as info:
        getattr(f, method)(model, layout)
    assert str(info.value) == message
    assert_same_state(before, state_of(f))


# ---------------------------------------------------------------------------
# User transition matrices: argument checks


@pytest.mark.parametrize("method", ["predict_linear_model", "predict_linear_model_ckf"])
def test_transition_argument_checks(method):
    f = make_filter(np.random.default_rng(2), 3)
    before = state_of(f)
    call = getattr(f, method)
    with pytest.raises(ValueError) as info:
        call(np.eye(3)[:, :2].copy())
    assert str(info.value) == "F must have shape (3, 3), got (3, 2)"
    with pytest.raises(TypeError) as info:
        call(np.eye(3).tolist())
    assert str(info.value).startswith("argument 'f': ")
    with pytest.raises(TypeError) as info:
        call(np.eye(3, dtype=np.float32))
    assert str(info.value).startswith("argument 'f': type mismatch:\n from=")
    for bad in (np.nan, np.inf, -np.inf):
        m = np.eye(3)
        m[2, 1] = bad
        with pytest.raises(ValueError) as info:
            call(m)
        assert str(info.value) == "F must contain only finite values"
    assert_same_state(before, state_of(f))


@pytest.mark.parametrize("method", ["predict_linear_model", "predict_linear_model_ckf"])
def test_transition_in_any_memory_layout(method):
    rng = np.random.default_rng(3)
    F = rng.standard_normal((4, 4))
    a = make_filter(rng, 4)
    b = CubatureKalmanFilter(4, 2, 0.1)
    for name in ("x", "P", "Q"):
        b.set(name, a.get(name))
    getattr(a, method)(F)
    getattr(b, method)(np.asfortranarray(F)[::-1, ::-1][::-1, ::-1])
    np.testing.assert_array_equal(a.get("x"), b.get("x"))
    np.testing.assert_array_equal(a.get("P"), b.get("P"))


# ---------------------------------------------------------------------------
# Closed form against the cubature variant and a textbook prediction


@pytest.mark.parametrize("n", [1, 2, 4, 7])
def test_closed_form_and_cubature_agree_with_textbook(n):
    rng = np.random.default_rng(10 + n)
    F = rng.standard_normal((n, n))
    plain = make_filter(rng, n)
    cub = CubatureKalmanFilter(n, 2, 0.1)
    for name in ("x", "P", "Q"):
        cub.set(name, plain.get(name))
    x0, P0, Q = plain.get("x"), plain.get("P"), plain.get("Q")
    plain.set("last_jitter", 0.25)
    before = state_of(plain)

    plain.predict_linear_model(F)
    cub.predict_linear_model_ckf(F)

    x_ref = F @ x0
    P_ref = F @ P0 @ F.T + Q
    scale = np.abs(P_ref).max()
    for f in (plain, cub):
        np.testing.assert_allclose(f.get("x"), x_ref, rtol=1e-12, atol=1e-12 * np.abs(x_ref).max())
        np.testing.assert_allclose(f.get("P"), P_ref, rtol=1e-12, atol=1e-12 * scale)
        P = f.get("P")
        np.testing.assert_array_equal(P, P.T)
        np.testing.assert_array_equal(f.get("x_prior"), f.get("x"))
        np.testing.assert_array_equal(f.get("P_prior"), f.get("P"))
    # Only x, P and the prior move (plain: no jitter bookkeeping at all).
    assert_same_state(before, state_of(plain), skip=("x", "P", "x_prior", "P_prior"))
    assert plain.get("last_jitter") == 0.25
    assert cub.get("last_jitter") == 0.0
    assert cub.get("jitter_count") == 0


def test_identity_transition_keeps_the_state():
    rng = np.random.default_rng(4)
    f = make_filter(rng, 3)
    f.set("Q", np.zeros((3, 3)))
    P = f.get("P")
    f.set("P", (P + P.T) / 2)
    x0, P0 = f.get("x"), f.get("P")
    f.predict_linear_model(np.eye(3))
    np.testing.assert_array_equal(f.get("x"), x0)
    np.testing.assert_array_equal(f.get("P"), P0)
    f.predict_linear_model_ckf(np.eye(3))
    np.testing.assert_allclose(f.get("x"), x0, rtol=0, atol=1e-14)
    np.testing.assert_allclose(f.get("P"), P0, rtol=1e-13)


@pytest.mark.parametrize("plain, cub", list(zip(PLAIN, CUBATURE)))
def test_only_cubature_variant_records_jitter(plain, cub):
    args = (np.eye(2),) if plain == "predict_linear_model" else ("constant_velocity",)
    P = np.array([[1.0, 0.0], [0.0, 0.0]])
    a = CubatureKalmanFilter(2, 1, 1.0)
    a.set_state(np.zeros(2), P, np.zeros((2, 2)), np.eye(1))
    getattr(a, plain)(*args)
    assert (a.get("last_jitter"), a.get("max_jitter"), a.get("jitter_count")) == (0.0, 0.0, 0)

    b = CubatureKalmanFilter(2, 1, 1.0)
    b.set_state(np.zeros(2), P, np.zeros((2, 2)), np.eye(1))
    getattr(b, cub)(*args)
    assert b.get("last_jitter") == 1e-12
    assert b.get("max_jitter") == 1e-12
    assert b.get("jitter_count") == 1
    # The plain variant propagates the singular P as it is.
    F = np.eye(2) if plain == "predict_linear_model" else np.array([[1.0, 1.0], [0.0, 1.0]])
    np.testing.assert_array_equal(a.get("P"), F @ P @ F.T)


@pytest.mark.parametrize("plain, cub", list(zip(PLAIN, CUBATURE)))
def test_indefinite_covariance(plain, cub):
    args = (np.array([[1.0, 0.5], [0.0, 1.0]]),) if plain == "predict_linear_model" else ("constant_velocity",)
    F = args[0] if plain == "predict_linear_model" else np.array([[1.0, 1.0], [0.0, 1.0]])
    P = np.array([[1.0, 2.0], [2.0, 1.0]])
    a = CubatureKalmanFilter(2, 1, 1.0)
    a.set_state(np.array([1.0, -1.0]), P, np.eye(2), np.eye(1))
    getattr(a, plain)(*args)
    np.testing.assert_allclose(a.get("P"), F @ P @ F.T + np.eye(2), rtol=1e-15)
    np.testing.assert_array_equal(a.get("x"), F @ np.array([1.0, -1.0]))

    b = CubatureKalmanFilter(2, 1, 1.0)
    b.set_state(np.array([1.0, -1.0]), P, np.eye(2), np.eye(1))
    b.set("last_jitter", 0.5)
    b.set("jitter_count", 3)
    before = state_of(b)
    with pytest.raises(RuntimeError) as info:
        getattr(b, cub)(*args)
    assert str(info.value) == "unable to compute stable Cholesky factor"
    assert_same_state(before, state_of(b))


def test_repeated_predictions_compound():
    f = CubatureKalmanFilter(2, 1, 1.0)
    f.set_state(np.array([0.0, 1.0]), np.eye(2), np.zeros((2, 2)), np.eye(1))
    for _ in range(3):
        f.predict_standard_model("constant_velocity")
    F3 = np.array([[1.0, 3.0], [0.0, 1.0]])
    np.testing.assert_array_equal(f.get("x"), [3.0, 1.0])
    np.testing.assert_allclose(f.get("P"), F3 @ F3.T, rtol=1e-15)
