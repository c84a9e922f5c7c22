"""Callback-free predictions of CubatureKalmanFilter: user transition
matrices, the built-in constant-velocity / constant-acceleration models and
their name lists."""

import numpy as np
import pytest

from vexel_ckf._native import CubatureKalmanFilter
from support import assert_same_state, seeded, state_of

PLAIN = ["predict_linear_model", "predict_standard_model"]
CUBATURE = ["predict_linear_model_ckf", "predict_standard_model_ckf"]
STANDARD = ["predict_standard_model", "predict_standard_model_ckf"]
LINEAR = ["predict_linear_model", "predict_linear_model_ckf"]


def expected_transition(model, layout, axes, dt):
    """Independent construction: one kinematic block per axis, arranged with a
    Kronecker product.  Interleaved keeps each axis contiguous (I kron B);
    blocked groups each quantity over all axes (B kron I)."""
    if model == "constant_velocity":
        block = np.array([[1.0, dt], [0.0, 1.0]])
    else:
        block = np.array([[1.0, dt, dt * dt / 2.0], [0.0, 1.0, dt], [0.0, 0.0, 1.0]])
    return np.kron(np.eye(axes), block) if layout == "interleaved" else np.kron(block, np.eye(axes))


def observed_transition(n, dt, model, layout, method):
    """Read F back through the prediction: with P = Q = 0 and x = e_j the
    predicted x is column j of F."""
    cols = []
    for j in range(n):
        f = CubatureKalmanFilter(n, 1, dt)
        f.set_state(np.eye(n)[j], np.zeros((n, n)), np.zeros((n, n)), np.eye(1))
        getattr(f, method)(model, layout)
        cols.append(f.get("x"))
    return np.column_stack(cols)


def test_static_name_lists_are_fresh_and_ordered():
    models = CubatureKalmanFilter.supported_standard_models()
    layouts = CubatureKalmanFilter.supported_standard_layouts()
    assert models == ["constant_velocity", "constant_acceleration"]
    assert layouts == ["blocked", "interleaved"]
    models.append("x")
    layouts.clear()
    assert CubatureKalmanFilter.supported_standard_models() == ["constant_velocity", "constant_acceleration"]
    # Also reachable through an instance.
    assert CubatureKalmanFilter(1, 1, 1.0).supported_standard_layouts() == ["blocked", "interleaved"]


@pytest.mark.parametrize("method", STANDARD)
def test_standard_model_argument_kinds(method):
    call = getattr(CubatureKalmanFilter(2, 1, 1.0), method)
    with pytest.raises(TypeError, match="^argument 'layout': "):
        call("constant_velocity", None)
    with pytest.raises(TypeError, match="^argument 'model_type': "):
        call(b"constant_velocity")


# ---------------------------------------------------------------------------
# Transition matrices of the standard models


@pytest.mark.parametrize("method", STANDARD)
@pytest.mark.parametrize("model", ["constant_velocity", "constant_acceleration"])
@pytest.mark.parametrize("layout", ["blocked", "interleaved"])
@pytest.mark.parametrize("axes,dt", [(1, 0.37), (2, 0.5), (3, 0.37), (2, 0.0)])
def test_standard_transition_matches_kinematics(method, model, layout, axes, dt):
    order = 2 if model == "constant_velocity" else 3
    got = observed_transition(order * axes, dt, model, layout, method)
    np.testing.assert_allclose(got, expected_transition(model, layout, axes, dt), rtol=0, atol=1e-15)
    if method == "predict_standard_model":
        np.testing.assert_array_equal(got, expected_transition(model, layout, axes, dt))


def test_set_dt_is_used():
    f = CubatureKalmanFilter(2, 1, 5.0)
    f.set_dt(2.0)
    f.set_state(np.array([1.0, 3.0]), np.eye(2), np.zeros((2, 2)), np.eye(1))
    f.predict_standard_model("constant_velocity")
    np.testing.assert_array_equal(f.get("x"), [7.0, 3.0])


@pytest.mark.parametrize("method", STANDARD)
def test_constant_velocity_worked_example(method):
    f = CubatureKalmanFilter(2, 1, 1.0)
    f.set_state(np.array([0.0, 1.0]), np.eye(2), np.zeros((2, 2)), np.eye(1))
    getattr(f, method)("constant_velocity")
    np.testing.assert_allclose(f.get("x"), [1.0, 1.0], rtol=0, atol=1e-15)
    np.testing.assert_allclose(f.get("P"), [[2.0, 1.0], [1.0, 1.0]], rtol=0, atol=1e-14)


# ---------------------------------------------------------------------------
# Messages of the standard models; nothing changes on failure

MESSAGES = [
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
    # dim_x = 5 fits neither model, so a name error must win over the size; the model over the layout.
    ("Constant_velocity", "blocked", 5, "unsupported model_type: Constant_velocity"),
    ("constant velocity", "blocked", 5, "unsupported model_type: constant velocity"),
    ("nope", "sideways", 5, "unsupported model_type: nope"),
    ("constant_velocity", "Blocked", 5, "unsupported layout: Blocked; expected 'blocked' or 'interleaved'"),
    ("constant_acceleration", " interleaved", 5,
     "unsupported layout:  interleaved; expected 'blocked' or 'interleaved'"),
]


@pytest.mark.parametrize("method", STANDARD)
@pytest.mark.parametrize("model, layout, dim_x, message", MESSAGES)
def test_standard_model_messages(method, model, layout, dim_x, message):
    f = seeded(CubatureKalmanFilter, np.random.default_rng(dim_x), dim_x, 2)
    before = state_of(f)
    with pytest.raises(ValueError) as info:
        getattr(f, method)(model, layout)
    assert str(info.value) == message
    assert_same_state(before, state_of(f))


# ---------------------------------------------------------------------------
# User transition matrices


@pytest.mark.parametrize("method", LINEAR)
def test_transition_argument_checks(method):
    f = seeded(CubatureKalmanFilter, np.random.default_rng(2), 3, 2)
    before = state_of(f)
    call = getattr(f, method)
    with pytest.raises(ValueError) as info:
        call(np.eye(3)[:, :2].copy())
    assert str(info.value) == "F must have shape (3, 3), got (3, 2)"
    with pytest.raises(TypeError, match="^argument 'f': "):
        call(np.eye(3).tolist())
    with pytest.raises(TypeError, match="^argument 'f': type mismatch:\n from="):
        call(np.eye(3, dtype=np.float32))
    for bad in (np.nan, np.inf, -np.inf):
        m = np.eye(3)
        m[2, 1] = bad
        with pytest.raises(ValueError) as info:
            call(m)
        assert str(info.value) == "F must contain only finite values"
    assert_same_state(before, state_of(f))


@pytest.mark.parametrize("method", LINEAR)
def test_transition_in_any_memory_layout(method):
    rng = np.random.default_rng(3)
    F = rng.standard_normal((4, 4))
    a = seeded(CubatureKalmanFilter, rng, 4, 2)
    b = a.copy()
    getattr(a, method)(F)
    getattr(b, method)(np.asfortranarray(F)[::-1, ::-1][::-1, ::-1])
    assert_same_state(state_of(a), state_of(b))


@pytest.mark.parametrize("n", [1, 2, 4, 7, 9])
def test_closed_form_and_cubature_agree_with_textbook(n):
    rng = np.random.default_rng(10 + n)
    F = rng.standard_normal((n, n))
    plain = seeded(CubatureKalmanFilter, rng, n, 2)
    cub = plain.copy()
    x0, P0, Q = plain.get("x"), plain.get("P"), plain.get("Q")
    plain.set("last_jitter", 0.25)
    before = state_of(plain)

    plain.predict_linear_model(F)
    cub.predict_linear_model_ckf(F)

    x_ref, P_ref = F @ x0, F @ P0 @ F.T + Q
    for f in (plain, cub):
        np.testing.assert_allclose(f.get("x"), x_ref, rtol=1e-12, atol=1e-12 * np.abs(x_ref).max())
        np.testing.assert_allclose(f.get("P"), P_ref, rtol=1e-12, atol=1e-12 * np.abs(P_ref).max())
        P = f.get("P")
        np.testing.assert_array_equal(P, P.T)
        np.testing.assert_array_equal(f.get("x_prior"), f.get("x"))
        np.testing.assert_array_equal(f.get("P_prior"), f.get("P"))
    # Only x, P and the prior move (plain: no jitter bookkeeping at all).
    assert_same_state(before, state_of(plain), skip=("x", "P", "x_prior", "P_prior"))
    assert cub.get("last_jitter") == 0.0 and cub.get("jitter_count") == 0


def test_identity_transition_keeps_the_state():
    f = seeded(CubatureKalmanFilter, np.random.default_rng(4), 3, 2)
    f.set("Q", np.zeros((3, 3)))
    x0, P0 = f.get("x"), f.get("P")
    f.predict_linear_model(np.eye(3))
    np.testing.assert_array_equal(f.get("x"), x0)
    np.testing.assert_array_equal(f.get("P"), P0)
    f.predict_linear_model_ckf(np.eye(3))
    np.testing.assert_allclose(f.get("x"), x0, rtol=0, atol=1e-14)
    np.testing.assert_allclose(f.get("P"), P0, rtol=1e-13)


CV = np.array([[1.0, 1.0], [0.0, 1.0]])


@pytest.mark.parametrize("plain, cub, args, F", [
    ("predict_linear_model", "predict_linear_model_ckf", (np.array([[1.0, 0.5], [0.0, 1.0]]),),
     np.array([[1.0, 0.5], [0.0, 1.0]])),
    ("predict_standard_model", "predict_standard_model_ckf", ("constant_velocity",), CV),
])
def test_only_cubature_variant_factors_the_covariance(plain, cub, args, F):
    # A singular P: the plain variant propagates it as it is; the cubature
    # variant needs jitter and records it.
    P = np.array([[1.0, 0.0], [0.0, 0.0]])
    a, b = CubatureKalmanFilter(2, 1, 1.0), CubatureKalmanFilter(2, 1, 1.0)
    for f in (a, b):
        f.set_state(np.zeros(2), P, np.zeros((2, 2)), np.eye(1))
    getattr(a, plain)(*args)
    np.testing.assert_array_equal(a.get("P"), F @ P @ F.T)
    assert (a.get("last_jitter"), a.get("max_jitter"), a.get("jitter_count")) == (0.0, 0.0, 0)
    getattr(b, cub)(*args)
    assert (b.get("last_jitter"), b.get("max_jitter"), b.get("jitter_count")) == (1e-12, 1e-12, 1)

    # An indefinite P: the plain variant predicts; the cubature variant fails and changes nothing.
    P = np.array([[1.0, 2.0], [2.0, 1.0]])
    for f in (a, b):
        f.set_state(np.array([1.0, -1.0]), P, np.eye(2), np.eye(1))
    getattr(a, plain)(*args)
    np.testing.assert_allclose(a.get("P"), F @ P @ F.T + np.eye(2), rtol=1e-15)
    np.testing.assert_array_equal(a.get("x"), F @ np.array([1.0, -1.0]))
    before = state_of(b)
    with pytest.raises(RuntimeError) as info:
        getattr(b, cub)(*args)
    assert str(info.value) == "unable to compute stable Cholesky factor"
    assert_same_state(before, state_of(b))
