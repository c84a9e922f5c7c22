"""batch_filter, rts_smoother, filter_bank_step: broadcasting over the native batch functions."""

import numpy as np
import pytest

from vexel_ckf import _native, batch_filter, filter_bank_step, rts_smoother

N, DIM_X, DIM_Z = 12, 4, 2


def model(seed=0):
    rng = np.random.default_rng(seed)
    F = np.eye(DIM_X) + np.diag([0.5, 0.5], 2)
    H = np.eye(DIM_Z, DIM_X) + 0.1 * rng.standard_normal((DIM_Z, DIM_X))
    Q = 0.02 * np.eye(DIM_X) + 0.005
    R = np.array([[0.5, 0.1], [0.1, 0.3]])
    zs = np.cumsum(rng.standard_normal((N, DIM_Z)), axis=0)
    x0 = rng.standard_normal(DIM_X)
    P0 = 2.0 * np.eye(DIM_X)
    return x0, P0, zs, F, H, Q, R


def stack(m, n=N):
    return np.ascontiguousarray(np.repeat(m[None], n, axis=0))


def assert_same_arrays(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert g.shape == w.shape and g.dtype == w.dtype and g.tobytes() == w.tobytes()


def spy(monkeypatch, name):
    """Record the arguments the wrapper hands to a native function."""
    calls = []
    real = getattr(_native, name)

    def wrapped(*args):
        calls.append(args)
        return real(*args)

    monkeypatch.setattr(_native, name, wrapped)
    return calls


def test_batch_filter_with_constant_matrices_equals_the_stacked_native_call(monkeypatch):
    x0, P0, zs, F, H, Q, R = model()
    calls = spy(monkeypatch, "batch_filter_linear")
    got = batch_filter(x0, P0, zs, F, H, Q, R)
    want = _native.batch_filter_linear(x0, P0, zs, stack(F), stack(H), stack(Q), stack(R))
    assert_same_arrays(got, want)
    assert got._fields == ("xs", "Ps", "log_likelihoods")
    # The constant matrices were handed over as zero-stride views, not as N copies.
    fs, hs, qs, rs = calls[0][3:]
    assert all(a.strides[0] == 0 and a.shape[0] == N for a in (fs, hs, qs, rs))


def test_batch_filter_mixes_stacks_constants_and_scalars():
    x0, P0, zs, F, H, Q, R = model(1)
    fs = stack(F) + np.linspace(0.0, 0.1, N)[:, None, None] * np.eye(DIM_X)
    got = batch_filter(list(x0), P0, zs, fs, H, 0.25, R)
    want = _native.batch_filter_linear(x0, P0, zs, fs, stack(H), stack(0.25 * np.eye(DIM_X)), stack(R))
    assert_same_arrays(got, want)


def test_batch_filter_takes_scalar_measurements_as_a_flat_sequence():
    F = np.array([[1.0, 1.0], [0.0, 1.0]])
    H = np.array([[1.0, 0.0]])
    zs = np.array([0.1, 1.2, 1.9, 3.2])
    got = batch_filter(np.zeros(2), np.eye(2), zs, F, H, 0.01, 0.5)
    want = _native.batch_filter_linear(np.zeros(2), np.eye(2), zs[:, None], stack(F, 4), stack(H, 4),
                                       stack(0.01 * np.eye(2), 4), stack(np.array([[0.5]]), 4))
    assert_same_arrays(got, want)


@pytest.mark.parametrize("which,shape,message", [
    ("F", (3, 3), "F must have shape (4, 4), got (3, 3)"),
    ("H", (2, 3), "H must have shape (2, 4), got (2, 3)"),
    ("R", (DIM_Z,), "R must be a (2, 2) matrix or a stack of shape (12, 2, 2), got shape (2,)"),
])
def test_batch_filter_names_a_constant_matrix_of_the_wrong_shape(which, shape, message):
    x0, P0, zs, F, H, Q, R = model()
    args = dict(x0=x0, P0=P0, zs=zs, F=F, H=H, Q=Q, R=R)
    args[which] = np.ones(shape)
    with pytest.raises(ValueError) as exc:
        batch_filter(**args)
    assert str(exc.value) == message


@pytest.mark.parametrize("call,name", [
    (lambda m, bad: batch_filter(m[0], m[1], m[2], m[3], m[4], bad, m[6]), "Q"),
    (lambda m, bad: batch_filter(m[0], m[1], m[2], m[3], bad, m[5], m[6]), "H"),
    (lambda m, bad: rts_smoother(np.zeros((N, DIM_X)), stack(m[1]), m[3], bad), "Q"),
    (lambda m, bad: filter_bank_step(np.zeros((3, DIM_X)), m[1], np.zeros((3, DIM_Z)), m[3], m[4], m[5], bad), "R"),
])
def test_none_is_refused_by_name_not_read_as_nan(call, name):
    with pytest.raises(TypeError) as exc:
        call(model(), None)
    assert str(exc.value) == f"{name} must be an array-like of real numbers, not None"


def test_batch_filter_leaves_stack_shape_errors_to_the_engine():
    x0, P0, zs, F, H, Q, R = model()
    with pytest.raises(ValueError) as exc:
        batch_filter(x0, P0, zs, stack(F, N - 1), H, Q, R)
    assert str(exc.value) == "Fs must have shape (12, 4, 4); got (11, 4, 4)"


def test_batch_filter_matches_a_textbook_kalman_filter():
    x0, P0, zs, F, H, Q, R = model(2)
    x, P = x0.copy(), P0.copy()
    got = batch_filter(x0, P0, zs, F, H, Q, R)
    for k in range(N):
        x, P = F @ x, F @ P @ F.T + Q
        S = H @ P @ H.T + R
        K = P @ H.T @ np.linalg.inv(S)
        y = zs[k] - H @ x
        x, P = x + K @ y, (np.eye(DIM_X) - K @ H) @ P
        ll = -0.5 * (y @ np.linalg.solve(S, y) + np.log(np.linalg.det(S)) + DIM_Z * np.log(2 * np.pi))
        np.testing.assert_allclose(got.xs[k], x, rtol=1e-10, atol=1e-10)
        np.testing.assert_allclose(got.Ps[k], P, rtol=1e-9, atol=1e-10)
        np.testing.assert_allclose(got.log_likelihoods[k], ll, rtol=1e-10)


def test_rts_smoother_with_constant_matrices_equals_the_stacked_native_call(monkeypatch):
    x0, P0, zs, F, H, Q, R = model()
    xs, Ps, _ = batch_filter(x0, P0, zs, F, H, Q, R)
    calls = spy(monkeypatch, "rts_smooth")
    got = rts_smoother(xs, Ps, F, Q)
    want = _native.rts_smooth(xs, Ps, stack(F), stack(Q))
    assert_same_arrays(got, want)
    assert got._fields == ("xs", "Ps")
    assert calls[0][2].strides[0] == 0 and calls[0][3].strides[0] == 0


def test_rts_smoother_passes_stacks_of_either_length():
    x0, P0, zs, F, H, Q, R = model(3)
    xs, Ps, _ = batch_filter(x0, P0, zs, F, H, Q, R)
    short = stack(F, N - 1)
    assert_same_arrays(rts_smoother(xs, Ps, short, Q), _native.rts_smooth(xs, Ps, short, stack(Q)))


def test_rts_smoother_matches_a_direct_least_squares_smoother():
    # The smoothed means of a linear-Gaussian model are the posterior means given all
    # measurements; solve that joint Gaussian problem directly and compare.
    x0, P0, zs, F, H, Q, R = model(4)
    xs, Ps, _ = batch_filter(x0, P0, zs, F, H, Q, R)
    smoothed = rts_smoother(xs, Ps, F, Q)
    # Stack all states: x_0 ~ N(F x0, F P0 F^T + Q); x_k = F x_{k-1} + w; z_k = H x_k + v.
    n = N * DIM_X
    info = np.zeros((n, n))
    vec = np.zeros(n)
    Qi, Ri = np.linalg.inv(Q), np.linalg.inv(R)
    P1i = np.linalg.inv(F @ P0 @ F.T + Q)
    info[:DIM_X, :DIM_X] += P1i
    vec[:DIM_X] += P1i @ (F @ x0)
    for k in range(N):
        s = slice(k * DIM_X, (k + 1) * DIM_X)
        info[s, s] += H.T @ Ri @ H
        vec[s] += H.T @ Ri @ zs[k]
        if k:
            p = slice((k - 1) * DIM_X, k * DIM_X)
            info[s, s] += Qi
            info[p, p] += F.T @ Qi @ F
            info[s, p] -= Qi @ F
            info[p, s] -= F.T @ Qi
    cov = np.linalg.inv(info)
    mean = cov @ vec
    np.testing.assert_allclose(smoothed.xs, mean.reshape(N, DIM_X), rtol=1e-8, atol=1e-8)
    for k in range(N):
        s = slice(k * DIM_X, (k + 1) * DIM_X)
        np.testing.assert_allclose(smoothed.Ps[k], cov[s, s], rtol=1e-7, atol=1e-9)


def test_filter_bank_step_broadcasts_one_shared_covariance(monkeypatch):
    M = 9
    _, P0, _, F, H, Q, R = model()
    rng = np.random.default_rng(5)
    xs = rng.standard_normal((M, DIM_X))
    zs = rng.standard_normal((M, DIM_Z))
    calls = spy(monkeypatch, "batch_parallel_step")
    got = filter_bank_step(xs, P0, zs, F, H, Q, R)
    want = _native.batch_parallel_step(xs, stack(P0, M), zs, F, H, Q, R)
    assert_same_arrays(got, want)
    assert got._fields == ("xs", "Ps", "log_likelihoods", "status")
    assert calls[0][1].strides[0] == 0
    assert got.status.dtype == np.int64 and (got.status == 0).all()


def test_filter_bank_step_scalar_noise_and_flat_measurements():
    M = 5
    F = np.array([[1.0, 1.0], [0.0, 1.0]])
    H = np.array([[1.0, 0.0]])
    xs = np.arange(2.0 * M).reshape(M, 2)
    Ps = stack(np.eye(2), M)
    zs = np.arange(float(M))
    got = filter_bank_step(xs, Ps, zs, F, H, 0.1, 2.0)
    want = _native.batch_parallel_step(xs, Ps, zs[:, None], F, H, 0.1 * np.eye(2), np.array([[2.0]]))
    assert_same_arrays(got, want)


def test_filter_bank_step_reports_bad_filters_through_status():
    M = 3
    _, P0, _, F, H, Q, R = model()
    xs = np.zeros((M, DIM_X))
    xs[1, 0] = np.nan
    got = filter_bank_step(xs, P0, np.zeros((M, DIM_Z)), F, H, Q, R)
    assert got.status.tolist() == [0, 3, 0]
