"""batch_filter, rts_smoother, filter_bank_step: broadcasting over the native batch functions.

Each wrapper must give exactly the bytes of the native call with the
broadcasting done by hand; the numbers of the native calls are checked
against textbook references in their own tests."""

import numpy as np
import pytest

from vexel_ckf import _native, batch_filter, filter_bank_step, rts_smoother

N, DIM_X, DIM_Z = 12, 4, 2


def model(seed=0):
    rng = np.random.default_rng(seed)
    return rng.standard_normal(DIM_X), 2.0 * np.eye(DIM_X), np.cumsum(rng.standard_normal((N, DIM_Z)), axis=0), \
        np.eye(DIM_X) + np.diag([0.5, 0.5], 2), np.eye(DIM_Z, DIM_X) + 0.1 * rng.standard_normal((DIM_Z, DIM_X)), \
        0.02 * np.eye(DIM_X) + 0.005, np.array([[0.5, 0.1], [0.1, 0.3]])


def stack(m, n=N):
    return np.ascontiguousarray(np.repeat(m[None], n, axis=0))


def assert_same_arrays(got, want):
    assert len(got) == len(want) and all(g.shape == w.shape and g.tobytes() == w.tobytes() for g, w in zip(got, want))


def spy(monkeypatch, name):
    """Record the arguments the wrapper hands to a native function."""
    calls, real = [], getattr(_native, name)
    monkeypatch.setattr(_native, name, lambda *args: calls.append(args) or real(*args))
    return calls


def test_batch_filter_hands_constant_matrices_over_as_zero_stride_views(monkeypatch):
    x0, P0, zs, F, H, Q, R = model()
    calls = spy(monkeypatch, "batch_filter_linear")
    got = batch_filter(x0, P0, zs, F, H, Q, R)
    assert_same_arrays(got, _native.batch_filter_linear(x0, P0, zs, stack(F), stack(H), stack(Q), stack(R)))
    assert got._fields == ("xs", "Ps", "log_likelihoods")
    assert all(a.strides[0] == 0 and a.shape[0] == N for a in calls[0][3:])  # not N copies


def test_batch_filter_mixes_stacks_constants_and_scalars():
    x0, P0, zs, F, H, Q, R = model(1)
    fs = stack(F) + np.linspace(0.0, 0.1, N)[:, None, None] * np.eye(DIM_X)
    got = batch_filter(list(x0), P0, zs, fs, H, 0.25, R)
    assert_same_arrays(got, _native.batch_filter_linear(x0, P0, zs, fs, stack(H), stack(0.25 * np.eye(DIM_X)), stack(R)))


def _filter_with(**changes):
    x0, P0, zs, F, H, Q, R = model()
    return batch_filter(**{**dict(x0=x0, P0=P0, zs=zs, F=F, H=H, Q=Q, R=R), **changes})


NONE = " must be an array-like of real numbers, not None"


@pytest.mark.parametrize("call, exc, message", [
    (lambda: _filter_with(F=np.ones((3, 3))), ValueError, "F must have shape (4, 4), got (3, 3)"),
    (lambda: _filter_with(H=np.ones((2, 3))), ValueError, "H must have shape (2, 4), got (2, 3)"),
    (lambda: _filter_with(R=np.ones(DIM_Z)), ValueError,
     "R must be a (2, 2) matrix or a stack of shape (12, 2, 2), got shape (2,)"),
    # A stack: the engine's own check.
    (lambda: _filter_with(F=np.ones((N - 1, DIM_X, DIM_X))), ValueError, "Fs must have shape (12, 4, 4); got (11, 4, 4)"),
    (lambda: _filter_with(Q=None), TypeError, "Q" + NONE),  # None is refused by name, not read as NaN
    (lambda: _filter_with(H=None), TypeError, "H" + NONE),
    (lambda: rts_smoother(np.zeros((N, DIM_X)), stack(np.eye(DIM_X)), np.eye(DIM_X), None), TypeError, "Q" + NONE),
    (lambda: filter_bank_step(np.zeros((3, DIM_X)), np.eye(DIM_X), np.zeros((3, DIM_Z)), *model()[3:6], None),
     TypeError, "R" + NONE),
])
def test_wrong_shapes_and_none_are_refused_by_name(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


def test_rts_smoother_broadcasts_constants_and_passes_stacks_of_either_length(monkeypatch):
    x0, P0, zs, F, H, Q, R = model()
    xs, Ps, _ = batch_filter(x0, P0, zs, F, H, Q, R)
    calls = spy(monkeypatch, "rts_smooth")
    got = rts_smoother(xs, Ps, F, Q)
    assert_same_arrays(got, _native.rts_smooth(xs, Ps, stack(F), stack(Q)))
    assert got._fields == ("xs", "Ps")
    assert calls[0][2].strides[0] == 0 and calls[0][3].strides[0] == 0
    short = stack(F, N - 1)
    assert_same_arrays(rts_smoother(xs, Ps, short, Q), _native.rts_smooth(xs, Ps, short, stack(Q)))


def test_filter_bank_step_broadcasts_one_shared_covariance(monkeypatch):
    _, P0, _, F, H, Q, R = model()
    rng = np.random.default_rng(5)
    xs, zs = rng.standard_normal((9, DIM_X)), rng.standard_normal((9, DIM_Z))
    xs[1, 0] = np.nan  # a bad filter is reported through its status
    calls = spy(monkeypatch, "batch_parallel_step")
    got = filter_bank_step(xs, P0, zs, F, H, Q, R)
    assert_same_arrays(got, _native.batch_parallel_step(xs, stack(P0, 9), zs, F, H, Q, R))
    assert got._fields == ("xs", "Ps", "log_likelihoods", "status")
    assert calls[0][1].strides[0] == 0 and got.status.tolist() == [0, 3] + [0] * 7


@pytest.mark.parametrize("bank", [False, True], ids=["batch_filter", "filter_bank_step"])
def test_scalar_noise_and_flat_measurements(bank):
    F, H = np.array([[1.0, 1.0], [0.0, 1.0]]), np.array([[1.0, 0.0]])
    zs = np.array([0.1, 1.2, 1.9, 3.2])
    if bank:
        xs, Ps = np.arange(8.0).reshape(4, 2), stack(np.eye(2), 4)
        got = filter_bank_step(xs, Ps, zs, F, H, 0.1, 2.0)
        want = _native.batch_parallel_step(xs, Ps, zs[:, None], F, H, 0.1 * np.eye(2), np.array([[2.0]]))
    else:
        got = batch_filter(np.zeros(2), np.eye(2), zs, F, H, 0.1, 2.0)
        want = _native.batch_filter_linear(np.zeros(2), np.eye(2), zs[:, None], stack(F, 4), stack(H, 4),
                                           stack(0.1 * np.eye(2), 4), stack(np.array([[2.0]]), 4))
    assert_same_arrays(got, want)
