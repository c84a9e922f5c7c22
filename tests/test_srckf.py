"""SquareRootCubatureKalmanFilter: prediction through QR, update through downdates, and their failures."""

import math

import numpy as np
import pytest

from vexel_ckf._native import CubatureKalmanFilter, SquareRootCubatureKalmanFilter as SR
from support import LN_2PI, assert_same_state, spd, state_of

SINGULAR = "SR-CKF innovation factor singular during gain solve"
NO_FACTOR = "unable to compute stable Cholesky factor"


def assert_lower_with_nonnegative_diagonal(L):
    assert np.all(np.triu(L, 1) == 0.0)
    assert np.all(np.diag(L) >= 0.0)


def linear(M):
    return lambda X, *_: X @ M.T


# ---------------------------------------------------------------------------
# The class object


# Method table: name, parameters of the text signature, docstring body.
METHODS = [
    ("set_state", "x, p, q, r",
     "Seed the filter from a covariance-space description: equivalent to\n`set(\"x\", x)`, `set(\"P\", p)`, "
     "`set(\"Q\", q)` and `set(\"R\", r)`, in this\norder, stopping at the first failure (earlier assignments "
     "stay). Each\ncovariance is factored once; jitter added there is counted."),
    ("set_dt", "dt", "Update the default time step used by predict_custom when no per-call\ndt is given."),
    ("predict_custom", "fx, dt=None, fx_args=None", None),
    ("clear_update_diagnostics", "",
     "Record a skipped measurement (`update(z=None)`): clear the innovation\nand likelihood diagnostics so callers "
     "don't re-read stale values, set\n`z` to NaN, and make the posterior equal the current prior."),
    ("reset_jitter_counters", "", None),
    ("update", "z, hx, r=None, hx_args=None", None),
    ("get", "name",
     "Return one field by its Python attribute name, as a fresh numpy array\nor a Python scalar. Covariances are "
     "products of the stored factors."),
    ("set", "name, value",
     "Overwrite one field by its Python attribute name. Assigning P, Q or R\nfactors it once with "
     "`stable_cholesky` and counts any jitter added;\nthe `chol_*` and `S_innov` names set a factor directly, "
     "with no\nfactorization. Arrays must be float64 with the field's shape; state\nand factors must be finite."),
    ("load_snapshot", "state",
     "Inverse of `snapshot`: `set` every stored field present in `state`\n(factors, not their products, so "
     "nothing is re-factored). Other keys\nare ignored and absent fields keep their current values."),
    ("copy", "", "Independent copy of the whole filter, factors and counters included."),
    ("record_step", "i, out",
     "Write row `i` of `run()`'s outputs (see the CKF method of the same\nname); P_post and P_prior are products "
     "of their factors."),
    ("snapshot", "", None),
]


def test_class_doc_signatures_and_method_table():
    assert SR.__doc__ == ""
    assert SR.__text_signature__ == "(dim_x, dim_z, dt)"
    assert [name for name in vars(SR) if not name.startswith("__")] == [name for name, _, _ in METHODS]
    for name, params, doc in METHODS:
        method = getattr(SR, name)
        assert method.__text_signature__ == "($self" + (", " + params if params else "") + ")"
        assert method.__doc__ == doc
    with pytest.raises(TypeError):
        type("Sub", (SR,), {})


@pytest.mark.parametrize(
    "args,exc,message",
    [
        ((0, 1, float("nan")), ValueError, "dim_x and dim_z must be positive"),
        ((2, 0, 0.1), ValueError, "dim_x and dim_z must be positive"),
        ((2, 1, float("inf")), ValueError, "dt must be finite"),
        ((-1, 1, 0.1), OverflowError, None),
        ((2.0, 1, 0.1), TypeError, "argument 'dim_x': "),
        ((2, 1), TypeError, "SquareRootCubatureKalmanFilter.__new__() missing 1 required positional argument: 'dt'"),
    ],
)
def test_constructor_failures(args, exc, message):
    with pytest.raises(exc) as e:
        SR(*args)
    if message is not None:
        assert str(e.value).startswith(message)


# ---------------------------------------------------------------------------
# Against the textbook Kalman filter


def kf_predict(x, P, F, Q):
    return F @ x, F @ P @ F.T + Q


def kf_update(x, P, z, H, R):
    S = H @ P @ H.T + R
    K = P @ H.T @ np.linalg.inv(S)
    y = z - H @ x
    d2 = float(y @ np.linalg.solve(S, y))
    ll = -0.5 * (d2 + np.linalg.slogdet(S)[1] + len(z) * LN_2PI)
    return x + K @ y, P - K @ S @ K.T, dict(S=S, K=K, y=y, z_pred=H @ x, nis=d2, ll=ll)


@pytest.mark.parametrize("n,m", [(1, 1), (2, 1), (4, 2), (3, 5), (8, 3)])
def test_linear_models_match_textbook_kalman_filter(n, m):
    rng = np.random.default_rng(100 * n + m)
    F = np.eye(n) + 0.2 * rng.standard_normal((n, n))
    F *= 0.98 / np.abs(np.linalg.eigvals(F)).max()
    H = rng.standard_normal((m, n))
    x, P, Q, R = rng.standard_normal(n), spd(rng, n), spd(rng, n, 0.01), spd(rng, m, 0.3)
    f = SR(n, m, 0.5)
    f.set_state(x, P, Q, R)
    truth = x.copy()
    for _ in range(300):
        f.predict_custom(linear(F))
        x, P = kf_predict(x, P, F, Q)
        np.testing.assert_allclose(f.get("P_prior"), P, rtol=1e-9, atol=1e-11)
        np.testing.assert_allclose(f.get("x_prior"), x, rtol=1e-9, atol=1e-11)
        truth = F @ truth + rng.multivariate_normal(np.zeros(n), Q)
        z = H @ truth + rng.multivariate_normal(np.zeros(m), R)
        f.update(z, linear(H))
        x, P, ref = kf_update(x, P, z, H, R)
        np.testing.assert_allclose(f.get("x"), x, rtol=1e-9, atol=1e-11)
        np.testing.assert_allclose(f.get("P"), P, rtol=1e-9, atol=1e-11)
    np.testing.assert_allclose(f.get("S"), ref["S"], rtol=1e-9)
    np.testing.assert_allclose(f.get("K"), ref["K"], rtol=1e-8, atol=1e-12)
    np.testing.assert_allclose(f.get("y"), ref["y"], rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(f.get("z_pred"), ref["z_pred"], rtol=1e-9, atol=1e-12)
    assert f.get("nis") == pytest.approx(ref["nis"], rel=1e-8)
    assert f.get("mahalanobis") == pytest.approx(math.sqrt(ref["nis"]), rel=1e-8)
    assert f.get("log_likelihood") == pytest.approx(ref["ll"], rel=1e-9)
    assert f.get("likelihood") == pytest.approx(math.exp(ref["ll"]), rel=1e-8)
    np.testing.assert_array_equal(f.get("x_post"), f.get("x"))
    np.testing.assert_array_equal(f.get("P_post"), f.get("P"))
    assert f.get("downdate_fallback_count") == 0
    assert f.get("jitter_count") == 0
    for name in ("chol_P", "S_innov", "chol_P_prior", "chol_P_post"):
        assert_lower_with_nonnegative_diagonal(f.get(name))


# ---------------------------------------------------------------------------
# Prediction: the QR step seen from outside


@pytest.mark.parametrize("q", [0.0, 0.3, 2.0])
def test_one_dimensional_prediction_is_root_of_sum_of_squares(q):
    # Points 1.5 and 0.5 map to 2.25 and 0.25: deviations +-1 around 1.25,
    # each weighted 1/sqrt(2), stacked on q.
    f = SR(1, 1, 0.1)
    f.set("x", np.array([1.0]))
    f.set("chol_P", np.array([[0.5]]))
    f.set("chol_Q", np.array([[q]]))
    f.predict_custom(lambda X, dt: X**2)
    assert f.get("x")[0] == pytest.approx(1.25, rel=1e-15)
    assert f.get("chol_P")[0, 0] == pytest.approx(math.sqrt(0.5 + 0.5 + q * q), rel=1e-15)


def test_negative_factor_gives_positive_predicted_factor():
    f = SR(1, 1, 0.1)
    f.set("chol_P", np.array([[-3.0]]))
    f.set("chol_Q", np.array([[-4.0]]))
    f.predict_custom(lambda X, dt: X)
    assert f.get("chol_P")[0, 0] == pytest.approx(5.0, rel=1e-15)


@pytest.mark.parametrize(
    "chol_Q,expected",
    [
        # fx constant: the stack is zeros above chol_Q^T, so the factor is
        # that of chol_Q chol_Q^T, whatever the shape of chol_Q.
        ([[0.0, 0.0], [0.0, 0.0]], [[0.0, 0.0], [0.0, 0.0]]),  # every column zero
        ([[0.0, 0.0], [1.0, 0.0]], [[0.0, 0.0], [0.0, 1.0]]),  # a zero first column
        ([[0.0, 3.0], [0.0, -5.0]], [[3.0, 0.0], [-5.0, 0.0]]),  # only the last row non-zero
    ],
)
def test_degenerate_stacks_give_the_factor_without_nan(chol_Q, expected):
    f = SR(2, 1, 0.1)
    f.set("chol_Q", np.array(chol_Q))
    f.predict_custom(lambda X, dt: 0.0 * X + 1.0)
    L = f.get("chol_P")
    assert_lower_with_nonnegative_diagonal(L)
    np.testing.assert_allclose(L, expected, rtol=0, atol=1e-15)


def test_nonlinear_predictions_keep_lower_factors_with_nonnegative_diagonal():
    rng = np.random.default_rng(7)
    n = 5
    f = SR(n, 2, 0.1)
    f.set_state(rng.standard_normal(n), spd(rng, n), spd(rng, n, 0.01), np.eye(2))
    for _ in range(20):
        f.predict_custom(lambda X, dt: np.sin(X) + dt * np.roll(X, 1, axis=1) ** 2)
        assert_lower_with_nonnegative_diagonal(f.get("chol_P"))
        np.testing.assert_array_equal(f.get("chol_P"), f.get("chol_P_prior"))


def test_identity_prediction_adds_process_noise_and_keeps_the_posterior():
    rng = np.random.default_rng(3)
    n = 4
    f = SR(n, 1, 0.1)
    x, P, Q = rng.standard_normal(n), spd(rng, n), spd(rng, n, 0.1)
    f.set_state(x, P, Q, np.eye(1))
    f.update(np.array([0.5]), lambda X: X[:, :1])
    post = f.get("x_post"), f.get("P_post")
    x, P = f.get("x"), f.get("P")
    f.set("last_jitter", 0.25)
    f.predict_custom(lambda X, dt: X)
    np.testing.assert_allclose(f.get("x"), x, rtol=1e-14, atol=1e-15)
    np.testing.assert_allclose(f.get("P"), P + Q, rtol=1e-12)
    np.testing.assert_array_equal(f.get("x_post"), post[0])
    np.testing.assert_array_equal(f.get("P_post"), post[1])
    assert f.get("last_jitter") == 0.0


def test_prediction_passes_dt_and_fx_args_without_storing_dt():
    seen = []

    def fx(X, dt, *extra):
        seen.append((dt, extra))
        return X

    f = SR(2, 1, 0.25)
    f.predict_custom(fx)
    f.predict_custom(fx, 2.0, ("a", 3))
    f.predict_custom(fx, dt=None, fx_args=None)
    f.set_dt(0.5)
    f.predict_custom(fx)
    assert seen == [(0.25, ()), (2.0, ("a", 3)), (0.25, ()), (0.5, ())]


def _raise(exc):
    raise exc


@pytest.mark.parametrize(
    "call,exc,message",
    [
        (lambda f: f.predict_custom(lambda X, dt: X, float("inf")), ValueError, "dt must be finite"),
        (lambda f: f.predict_custom(lambda X, dt: X, "x"), TypeError, "argument 'dt': "),
        (lambda f: f.predict_custom(lambda X, dt: X, None, [1]), TypeError, "argument 'fx_args': "),
        (lambda f: f.predict_custom(lambda X, dt: _raise(KeyError("mine"))), KeyError, "'mine'"),
        (lambda f: f.predict_custom(lambda X, dt: X[:, :1]), ValueError, "model output must have shape (6, 3), got (6, 1)"),
        (
            lambda f: f.predict_custom(lambda X, dt: X * np.where(np.arange(6) == 4, np.nan, 1.0)[:, None]),
            ValueError,
            "fx returned non-finite values (NaN or inf) in output row 4 (sigma point 4); x and P were left unchanged",
        ),
        (lambda f: f.predict_custom(lambda X, dt: f.get("x")), RuntimeError, "Already mutably borrowed"),
        (lambda f: f.predict_custom(lambda X, dt: f.set_dt(1.0)), RuntimeError, "Already borrowed"),
    ],
)
def test_failing_predictions_change_nothing(call, exc, message):
    rng = np.random.default_rng(5)
    f = SR(3, 2, 0.1)
    f.set_state(rng.standard_normal(3), spd(rng, 3), spd(rng, 3, 0.1), spd(rng, 2))
    f.set("last_jitter", 0.125)
    before = state_of(f)
    with pytest.raises(exc) as e:
        call(f)
    assert str(e.value).startswith(message)
    assert_same_state(before, state_of(f))


# ---------------------------------------------------------------------------
# Update


def test_infinite_mahalanobis_distance_is_degenerate():
    # S = [[1e-100]] and y = 1e250: v = y / S overflows, so the squared
    # distance is +inf and the likelihood terms take their degenerate values.
    f = SR(1, 1, 0.1)
    f.set("chol_R", np.array([[1e-100]]))
    f.update(np.array([1e250]), lambda X: 0.0 * X)
    assert f.get("S_innov")[0, 0] == 1e-100
    assert (f.get("log_likelihood"), f.get("likelihood")) == (-math.inf, 0.0)
    assert math.isnan(f.get("nis")) and math.isnan(f.get("mahalanobis"))


def test_scalar_likelihood_terms():
    # Innovation y = 2 against an innovation factor S = [[2]] (hx gives zeros,
    # so only the measurement noise remains).
    f = SR(1, 1, 0.1)
    f.set("chol_R", np.array([[2.0]]))
    f.update(np.array([2.0]), lambda X: 0.0 * X)
    assert f.get("S_innov")[0, 0] == 2.0
    assert f.get("nis") == 1.0
    assert f.get("mahalanobis") == 1.0
    expected = -0.5 * (1.0 + (LN_2PI + 2.0 * math.log(2.0)))
    assert f.get("log_likelihood") == pytest.approx(expected, rel=1e-15)
    assert f.get("likelihood") == pytest.approx(math.exp(expected), rel=1e-15)
    np.testing.assert_array_equal(f.get("K"), [[0.0]])


def test_posterior_mean_adds_the_whole_correction_at_once():
    # x = x + (K y): with a mean of 2^60 (spacing 256) and 150 correction
    # terms of up to a few tens each, adding the correction in pieces would
    # round at every piece.  The sum K y itself is far below the mean's spacing in
    # error, so any summation order of it gives the same final value.
    rng = np.random.default_rng(17)
    n, m, x0 = 4, 150, 2.0**60  # sqrt(n) 1024 is a multiple of the spacing
    H = rng.standard_normal((m, n))
    f = SR(n, m, 0.1)
    f.set("x", np.full(n, x0))
    f.set("chol_P", 1024.0 * np.eye(n))
    f.set("chol_R", np.diag(rng.uniform(0.5, 2.0, m)))
    f.update(rng.standard_normal(m) * 1e3, lambda X: (X - x0) @ H.T)
    K, y = f.get("K"), f.get("y")
    expected = np.array([x0 + math.fsum(K[i] * y) for i in range(n)])
    assert (expected != x0).any()
    np.testing.assert_array_equal(f.get("x"), expected)


def test_per_call_noise_is_factored_and_not_stored():
    rng = np.random.default_rng(11)
    n, m = 3, 2
    H = rng.standard_normal((m, n))
    f = SR(n, m, 0.1)
    f.set_state(rng.standard_normal(n), spd(rng, n), np.eye(n), np.eye(m))
    x, P = f.get("x"), f.get("P")
    R = spd(rng, m, 0.2)
    z = rng.standard_normal(m)
    f.update(z, linear(H), R)
    x, P, _ = kf_update(x, P, z, H, R)
    np.testing.assert_allclose(f.get("x"), x, rtol=1e-10)
    np.testing.assert_allclose(f.get("P"), P, rtol=1e-10, atol=1e-14)
    np.testing.assert_array_equal(f.get("chol_R"), np.eye(m))


def test_per_call_noise_needing_jitter_sets_last_jitter():
    f = SR(2, 2, 0.1)
    f.set("max_jitter", 1.0)
    f.set("last_jitter", 0.5)
    f.update(np.zeros(2), linear(np.eye(2)), np.zeros((2, 2)))
    assert f.get("last_jitter") == 1e-12
    assert f.get("max_jitter") == 1.0
    assert f.get("jitter_count") == 1


def test_precise_measurement_falls_back_to_covariance_space():
    # S = sqrt(1 + 1e-20) rounds to 1, so U = [1, 0.5] and the first
    # downdate meets r2 = 1 - 1 = 0.  The fallback factors the symmetrised
    # P - U U^T = [[0, 0], [0, 0.75]], which needs jitter.
    P = np.array([[1.0, 0.5], [0.5, 1.0]])
    H = np.array([[1.0, 0.0]])
    f = SR(2, 1, 0.1)
    f.set_state(np.array([0.2, -0.1]), P, np.eye(2), np.array([[1e-20]]))
    f.update(np.array([1.0]), linear(H))
    assert f.get("downdate_fallback_count") == 1
    # The covariance-space posterior P - U U^T with U = K S, from the gain and
    # innovation factor the update reports, symmetrised.
    U = f.get("K") @ f.get("S_innov")
    post = P - U @ U.T
    post = 0.5 * (post + post.T)
    np.testing.assert_allclose(post, [[0.0, 0.0], [0.0, 0.75]], atol=1e-15)
    # Not positive definite: the guarded factorisation's first retry adds
    # 1e-12 times the diagonal (1.0 standing in for a non-positive entry).
    d = np.where(np.diag(post) > 0.0, np.diag(post), 1.0)
    expected = np.linalg.cholesky(post + np.diag(1e-12 * d))
    np.testing.assert_allclose(f.get("chol_P"), expected, rtol=1e-12, atol=1e-18)
    assert f.get("jitter_count") == 1
    assert f.get("last_jitter") == pytest.approx(1e-12, rel=1e-15)
    np.testing.assert_allclose(f.get("x"), [1.0, 0.3], rtol=1e-12)
    np.testing.assert_array_equal(f.get("chol_P_post"), f.get("chol_P"))
    assert_lower_with_nonnegative_diagonal(f.get("chol_P"))


def test_singular_innovation_factor_fails_and_counts():
    f = SR(2, 2, 0.1)
    f.set("chol_R", np.zeros((2, 2)))
    f.set("last_jitter", 0.5)
    before = state_of(f)
    with pytest.raises(RuntimeError) as e:
        f.update(np.array([1.0, 2.0]), lambda X: np.zeros((4, 2)))
    assert str(e.value) == SINGULAR
    after = state_of(f)
    assert after["singular_innovation_count"] == 1
    assert after["last_jitter"] == 0.0
    assert_same_state(before, after, skip={"singular_innovation_count", "last_jitter"})


def test_singular_count_saturates():
    f = SR(1, 1, 0.1)
    f.set("chol_R", np.zeros((1, 1)))
    f.set("singular_innovation_count", 2**64 - 1)
    with pytest.raises(RuntimeError, match=SINGULAR):
        f.update(np.array([1.0]), lambda X: 0.0 * X)
    assert f.get("singular_innovation_count") == 2**64 - 1


def test_failing_fallback_restores_the_prior_mean():
    # A measurement spread beyond double range: the innovation factor comes
    # out infinite/NaN, the gain NaN, every downdate fails and so does the
    # covariance-space fallback.  x must not keep the NaN posterior mean.
    f = SR(1, 2, 0.1)
    f.set("x", np.array([0.3]))
    f.set("last_jitter", 0.5)
    before = state_of(f)
    with pytest.raises(RuntimeError) as e:
        f.update(np.array([1.0, 1.0]), lambda X: np.hstack([X * 1e200, X]))
    assert str(e.value) == NO_FACTOR
    after = state_of(f)
    assert after["last_jitter"] == 0.0
    assert_same_state(before, after, skip={"last_jitter"})


@pytest.mark.parametrize("shape", ["upper", "full"])
def test_non_lower_stored_factor_gives_the_posterior_its_product_implies(shape):
    rng = np.random.default_rng(21)
    n, m = 4, 2
    A = rng.standard_normal((n, n)) + 2 * np.eye(n)
    factor = np.triu(A) if shape == "upper" else A
    P = factor @ factor.T
    H = rng.standard_normal((m, n))
    R = spd(rng, m, 0.5)
    f = SR(n, m, 0.1)
    f.set_state(np.zeros(n), np.eye(n), np.eye(n), R)
    f.set("chol_P", factor)
    np.testing.assert_array_equal(f.get("chol_P"), factor)
    z = rng.standard_normal(m)
    f.update(z, linear(H))
    x_ref, P_ref, _ = kf_update(np.zeros(n), P, z, H, R)
    np.testing.assert_allclose(f.get("x"), x_ref, rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(f.get("P"), P_ref, rtol=1e-10, atol=1e-12)
    assert_lower_with_nonnegative_diagonal(f.get("chol_P"))
    assert f.get("downdate_fallback_count") == 0


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_non_finite_noise_is_rejected_before_anything_changes(bad):
    f = SR(2, 2, 0.1)
    f.set("last_jitter", 0.5)
    before = state_of(f)
    r = np.eye(2)
    r[1, 0] = bad
    with pytest.raises(ValueError) as e:
        f.update(np.zeros(2), lambda X: _raise(AssertionError("hx must not run")), r)
    assert str(e.value) == "R must contain only finite values"
    assert_same_state(before, state_of(f))


NONFINITE_Z = (
    "z contains non-finite values: [1.0, NaN]. A NaN/inf measurement would silently corrupt the filter state. "
    "For a missed measurement skip this update; update() also accepts z=None, which skips the step and clears "
    "the innovation diagnostics."
)


@pytest.mark.parametrize(
    "args,exc,message,resets_jitter",
    [
        ((np.zeros(3), None), ValueError, "z must have length 2, got 3", False),
        ((np.array([1.0, np.nan]), None), ValueError, NONFINITE_Z, False),
        ((None, None), TypeError, "argument 'z': ", False),
        ((np.zeros(2), None, [[1.0]]), TypeError, "argument 'r': ", False),
        ((np.zeros(2), None, None, [1]), TypeError, "argument 'hx_args': ", False),
        ((np.zeros(2), None, np.eye(3)), ValueError, "R must have shape (2, 2), got (3, 3)", True),
        ((np.zeros(2), None, -np.eye(2)), RuntimeError, NO_FACTOR, True),
        ((np.zeros(2), lambda X: _raise(KeyError("hx"))), KeyError, "'hx'", True),
        ((np.zeros(2), lambda X: X), ValueError, "model output must have shape (6, 2), got (6, 3)", True),
        (
            (np.zeros(2), lambda X: np.full((6, 2), np.inf)),
            ValueError,
            "hx returned non-finite values (NaN or inf) in output row 0 (sigma point 0); x and P were left unchanged",
            True,
        ),
    ],
)
def test_failing_updates_change_nothing_else(args, exc, message, resets_jitter):
    rng = np.random.default_rng(8)
    f = SR(3, 2, 0.1)
    f.set_state(rng.standard_normal(3), spd(rng, 3), spd(rng, 3, 0.1), spd(rng, 2))
    f.set("last_jitter", 0.5)
    z, hx, *rest = args
    hx = hx or (lambda X: _raise(AssertionError("hx must not run")))
    before = state_of(f)
    with pytest.raises(exc) as e:
        f.update(z, hx, *rest)
    assert str(e.value).startswith(message)
    after = state_of(f)
    assert after["last_jitter"] == (0.0 if resets_jitter else 0.5)
    assert_same_state(before, after, skip={"last_jitter"})


def test_hx_reentry_is_refused():
    f = SR(2, 1, 0.1)
    with pytest.raises(RuntimeError, match="Already mutably borrowed"):
        f.update(np.zeros(1), lambda X: f.get("P"))


def test_clear_update_diagnostics():
    rng = np.random.default_rng(9)
    f = SR(3, 2, 0.1)
    f.set_state(rng.standard_normal(3), spd(rng, 3), spd(rng, 3, 0.1), spd(rng, 2))
    f.update(rng.standard_normal(2), lambda X: X[:, :2] ** 2)
    f.predict_custom(lambda X, dt: X + dt)
    f.set("jitter_count", 3)
    before = state_of(f)
    assert f.clear_update_diagnostics() is None
    after = state_of(f)
    assert np.all(np.isnan(after["z"]))
    np.testing.assert_array_equal(after["S_innov"], np.eye(2))
    for name in ("K", "y", "z_pred"):
        assert not after[name].any()
    for name in ("log_likelihood", "likelihood", "mahalanobis", "nis"):
        assert math.isnan(after[name])
    np.testing.assert_array_equal(after["x_post"], after["x"])
    np.testing.assert_array_equal(after["chol_P_post"], after["chol_P"])
    assert_same_state(
        before, after,
        skip={"z", "S", "S_innov", "K", "y", "z_pred", "log_likelihood", "likelihood", "mahalanobis", "nis",
                 "x_post", "P_post", "chol_P_post"},
    )


# ---------------------------------------------------------------------------
# Long run: the square-root form needs no jitter where the covariance form does


def test_nearly_unobservable_system_stays_positive_definite_without_jitter():
    # Two states seen only through x0 + (1 + 1e-6) x1 with a very precise
    # sensor: the covariance collapses along one direction and stays put
    # along the other, a condition number near 1e20.
    if not hasattr(CubatureKalmanFilter, "predict_custom"):
        pytest.skip("CubatureKalmanFilter has no predict_custom in this build")
    rng = np.random.default_rng(13)
    H = np.array([[1.0, 1.0 + 1e-6]])
    Q, R = 1e-16 * np.eye(2), np.array([[1e-16]])
    zs = rng.standard_normal((10_000, 1)) * 1e-8
    sr, ckf = SR(2, 1, 1.0), CubatureKalmanFilter(2, 1, 1.0)
    for f in (sr, ckf):
        f.set_state(np.zeros(2), np.eye(2), Q, R)
    for z in zs:
        for f in (sr, ckf):
            f.predict_custom(lambda X, dt: X)
            f.update(z, linear(H))
        L = sr.get("chol_P")
        assert L[0, 1] == 0.0 and L[0, 0] > 0.0 and L[1, 1] > 0.0
    assert ckf.get("jitter_count") > 0
    assert sr.get("jitter_count") == 0
    assert sr.get("downdate_fallback_count") == 0
    # Both forms agree on the covariance to far better than its entries'
    # size: they differ only in the collapsed direction.
    np.testing.assert_allclose(sr.get("P"), ckf.get("P"), rtol=0, atol=1e-9)
