"""Callback-free predictions of CubatureKalmanFilter: user transition
matrices and the built-in constant-velocity / constant-acceleration models,
in the closed form and through cubature points."""

import numpy as np
import pytest

from vexel_ckf._native import CubatureKalmanFilter as CKF
from support import NO_FACTOR, assert_message, assert_same_state, error_of, seeded, state_of

STANDARD = ["predict_standard_model", "predict_standard_model_ckf"]
LINEAR = ["predict_linear_model", "predict_linear_model_ckf"]
MODELS, LAYOUTS = ["constant_velocity", "constant_acceleration"], ["blocked", "interleaved"]


def expected_transition(model, layout, axes, dt):
    """One kinematic block per axis, arranged with a Kronecker product: interleaved keeps each axis
    contiguous (I kron B); blocked groups each quantity over all axes (B kron I)."""
    if model == "constant_velocity":
        block = np.array([[1.0, dt], [0.0, 1.0]])
    else:
        block = np.array([[1.0, dt, dt * dt / 2.0], [0.0, 1.0, dt], [0.0, 0.0, 1.0]])
    return np.kron(np.eye(axes), block) if layout == "interleaved" else np.kron(block, np.eye(axes))


def test_name_lists_are_fresh_and_ordered():
    models = CKF.supported_standard_models()
    assert models == MODELS and CKF(1, 1, 1.0).supported_standard_layouts() == LAYOUTS
    models.append("x")
    assert CKF.supported_standard_models() == MODELS


@pytest.mark.parametrize("method", STANDARD)
@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("axes,dt", [(1, 0.37), (3, 0.37), (2, 0.0)])
def test_standard_transition_matches_kinematics(method, model, layout, axes, dt):
    # With P = Q = 0 and x = e_j the predicted x is column j of F.
    n = (2 if model == "constant_velocity" else 3) * axes
    cols = []
    for j in range(n):
        f = CKF(n, 1, dt)
        f.set_state(np.eye(n)[j], np.zeros((n, n)), np.zeros((n, n)), np.eye(1))
        getattr(f, method)(model, layout)
        cols.append(f.get("x"))
    expected = expected_transition(model, layout, axes, dt)
    np.testing.assert_allclose(np.column_stack(cols), expected, rtol=0, atol=1e-15)
    if method == "predict_standard_model":
        np.testing.assert_array_equal(np.column_stack(cols), expected)


@pytest.mark.parametrize("method", STANDARD)
def test_constant_velocity_worked_example_with_the_stored_dt(method):
    f = CKF(2, 1, 5.0)
    f.set_dt(1.0)
    f.set_state(np.array([0.0, 1.0]), np.eye(2), np.zeros((2, 2)), np.eye(1))
    getattr(f, method)("constant_velocity")
    np.testing.assert_allclose(f.get("x"), [1.0, 1.0], rtol=0, atol=1e-15)
    np.testing.assert_allclose(f.get("P"), [[2.0, 1.0], [1.0, 1.0]], rtol=0, atol=1e-14)


SIZE = "{} requires dim_x to be a multiple of {} for the {} layout {}; got dim_x={}"
BAD_F, INF_F = np.eye(3), np.eye(3)
BAD_F[2, 1], INF_F[0, 2] = np.nan, -np.inf
# methods, arguments, dim_x, exception, message (a trailing ": " marks a prefix)
FAILURES = [
    (STANDARD, ("constant_velocity", "blocked"), 5, ValueError, SIZE.format(
        "constant_velocity", 2, "blocked", "[pos..., vel...]", 5)),
    (STANDARD, ("constant_velocity", "interleaved"), 3, ValueError, SIZE.format(
        "constant_velocity", 2, "interleaved", "[pos, vel, pos, vel, ...]", 3)),
    (STANDARD, ("constant_acceleration", "blocked"), 4, ValueError, SIZE.format(
        "constant_acceleration", 3, "blocked", "[pos..., vel..., acc...]", 4)),
    (STANDARD, ("constant_acceleration", "interleaved"), 7, ValueError, SIZE.format(
        "constant_acceleration", 3, "interleaved", "[pos, vel, acc, pos, vel, acc, ...]", 7)),
    # dim_x = 5 fits neither model, so a name error must win over the size; the model over the layout.
    (STANDARD, ("Constant_velocity", "blocked"), 5, ValueError, "unsupported model_type: Constant_velocity"),
    (STANDARD, ("nope", "sideways"), 5, ValueError, "unsupported model_type: nope"),
    (STANDARD, ("constant_velocity", "Blocked"), 5, ValueError,
     "unsupported layout: Blocked; expected 'blocked' or 'interleaved'"),
    (STANDARD, ("constant_acceleration", " interleaved"), 5, ValueError,
     "unsupported layout:  interleaved; expected 'blocked' or 'interleaved'"),
    (STANDARD, ("constant_velocity", None), 2, TypeError, "argument 'layout': "),
    (STANDARD, (b"constant_velocity",), 2, TypeError, "argument 'model_type': "),
    (LINEAR, (np.eye(3)[:, :2].copy(),), 3, ValueError, "F must have shape (3, 3), got (3, 2)"),
    (LINEAR, (np.eye(3).tolist(),), 3, TypeError, "argument 'f': "),
    (LINEAR, (np.eye(3, dtype=np.float32),), 3, TypeError, "argument 'f': type mismatch:\n from="),
    (LINEAR, (BAD_F,), 3, ValueError, "F must contain only finite values"),
    (LINEAR, (INF_F,), 3, ValueError, "F must contain only finite values"),
]


@pytest.mark.parametrize("methods, args, dim_x, exc, message", FAILURES)
def test_failures_change_nothing(methods, args, dim_x, exc, message):
    f = seeded(CKF, np.random.default_rng(dim_x), dim_x, 2)
    before = state_of(f)
    for method in methods:
        assert_message(error_of(lambda: getattr(f, method)(*args), exc), message)
    assert_same_state(before, state_of(f))


@pytest.mark.parametrize("method", LINEAR)
def test_transition_in_any_memory_layout(method):
    rng = np.random.default_rng(3)
    F = rng.standard_normal((4, 4))
    a = seeded(CKF, rng, 4, 2)
    b = a.copy()
    getattr(a, method)(F)
    getattr(b, method)(np.asfortranarray(F)[::-1, ::-1][::-1, ::-1])
    assert_same_state(state_of(a), state_of(b))


@pytest.mark.parametrize("n", [1, 2, 4, 7, 9])
def test_closed_form_and_cubature_agree_with_textbook(n):
    rng = np.random.default_rng(10 + n)
    F = rng.standard_normal((n, n))
    plain = seeded(CKF, rng, n, 2)
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
        np.testing.assert_array_equal(f.get("P"), f.get("P").T)
        np.testing.assert_array_equal(f.get("x_prior"), f.get("x"))
        np.testing.assert_array_equal(f.get("P_prior"), f.get("P"))
    # Only x, P and the prior move (plain: no jitter bookkeeping at all).
    assert_same_state(before, state_of(plain), skip=("x", "P", "x_prior", "P_prior"))
    assert cub.get("last_jitter") == 0.0 and cub.get("jitter_count") == 0


@pytest.mark.parametrize("plain, cub, args, F", [
    ("predict_linear_model", "predict_linear_model_ckf", (np.array([[1.0, 0.5], [0.0, 1.0]]),),
     np.array([[1.0, 0.5], [0.0, 1.0]])),
    ("predict_standard_model", "predict_standard_model_ckf", ("constant_velocity",), np.array([[1.0, 1.0], [0.0, 1.0]])),
])
def test_only_cubature_variant_factors_the_covariance(plain, cub, args, F):
    # A singular P: the plain variant propagates it as it is; the cubature variant needs jitter and records it.
    P = np.array([[1.0, 0.0], [0.0, 0.0]])
    a, b = CKF(2, 1, 1.0), CKF(2, 1, 1.0)
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
    assert str(error_of(lambda: getattr(b, cub)(*args), RuntimeError)) == NO_FACTOR
    assert_same_state(before, state_of(b))
