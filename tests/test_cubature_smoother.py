"""The cubature RTS smoother against the linear RTS smoother, a textbook
cubature smoothing step written here, and its own invariants."""

import os
import subprocess
import sys

import numpy as np
import pytest

import vexel_ckf
from vexel_ckf import VexelCKF, cubature_smoother, rts_smoother

FORMS = pytest.mark.parametrize("sr", [False, True], ids=["cov", "sqrt"])


def cv_matrix(dt):
    F = np.eye(4)
    F[0, 2] = F[1, 3] = dt
    return F


def turn(X, dt):
    """Coordinated turn, state (px, py, speed, heading, turn rate)."""
    px, py, v, h, w = X.T
    return np.column_stack([px + v * dt * np.cos(h), py + v * dt * np.sin(h), v, h + w * dt, w])


def run_turn(sr, steps=25, missed=(4, 11, 12)):
    rng = np.random.default_rng(3)
    kf = VexelCKF(5, 2, 0.5, fx=turn, hx=lambda X: X[:, :2], square_root=sr)
    kf.x = [0.0, 0.0, 2.0, 0.3, 0.1]
    kf.P = np.diag([1.0, 1.0, 0.5, 0.1, 0.01])
    kf.Q = np.diag([1e-3, 1e-3, 1e-2, 1e-3, 1e-4])
    kf.R = 0.2 * np.eye(2)
    zs = np.cumsum(rng.normal(0.8, 0.3, size=(steps, 2)), axis=0)
    zs[list(missed)] = np.nan
    return kf, kf.run(zs, nan_means_missing=True)


def rel(a, b):
    return np.abs(a - b).max() / max(np.abs(b).max(), 1e-300)


@FORMS
@pytest.mark.parametrize("lead", ["N", "N-1"])
def test_linear_model_equals_rts_smoother_with_per_step_q_and_dt(sr, lead):
    rng = np.random.default_rng(11)
    steps = 20
    dts = rng.uniform(0.2, 1.5, steps)
    qs = np.array([np.diag(rng.uniform(0.01, 0.2, 4)) for _ in range(steps)])
    kf = VexelCKF(4, 2, 1.0, fx=lambda X, dt: X @ cv_matrix(dt).T, hx=lambda X: X[:, :2], square_root=sr)
    kf.P = 4.0 * np.eye(4)
    kf.R = np.eye(2)
    zs = np.cumsum(rng.normal(size=(steps, 2)), axis=0)
    zs[[3, 9]] = np.nan
    result = kf.run(zs, nan_means_missing=True)
    fs = np.array([cv_matrix(dt) for dt in dts])
    cut = 0 if lead == "N" else 1
    if lead == "N":  # entry 0 serves no step: any value must do
        dts[0], qs[0] = np.nan, np.inf
    sm = kf.smooth(result, Q=qs[cut:], dt=dts[cut:])
    ref = rts_smoother(result.xs, result.Ps, fs[cut:], qs[cut:])
    assert rel(sm.xs, ref.xs) < 1e-10 and rel(sm.Ps, ref.Ps) < 1e-10
    # The last state is the filtered one; its gain is zero.
    np.testing.assert_array_equal(sm.xs[-1], result.xs[-1])
    np.testing.assert_allclose(sm.Ps[-1], result.Ps[-1], rtol=1e-14, atol=1e-15)
    assert not sm.gains[-1].any()
    if sr:
        np.testing.assert_allclose(np.einsum("kij,klj->kil", sm.chol_Ps, sm.chol_Ps), sm.Ps, rtol=1e-13, atol=1e-15)
        assert np.all(np.triu(sm.chol_Ps, 1) == 0.0)
    else:
        assert sm.chol_Ps is None


@FORMS
@pytest.mark.parametrize("n", [1, 3, 7, 12])
def test_linear_model_equals_rts_smoother_at_every_size(sr, n):
    # The sizes take different paths: a run-time size, small fixed ones, and from 7 on the square-root form's
    # merged noise and smoothed factors (12 also at a fixed size).
    rng = np.random.default_rng(n)
    steps = 30
    F = np.eye(n) + 0.1 * rng.standard_normal((n, n))
    A = rng.standard_normal((n, n))
    Ps = np.array([A @ A.T + np.diag(rng.uniform(0.5, 2.0, n)) for _ in range(steps)])
    xs = rng.standard_normal((steps, n))
    Q = np.diag(rng.uniform(0.01, 0.3, n))
    sm = cubature_smoother(xs, Ps, lambda X, dt: X @ F.T, Q, 1.0, square_root=sr, steps_per_call=7)
    ref = rts_smoother(xs, Ps, np.broadcast_to(F, (steps, n, n)), np.broadcast_to(Q, (steps, n, n)))
    gains = [P @ F.T @ np.linalg.inv(F @ P @ F.T + Q) for P in Ps[:-1]]
    assert rel(sm.xs, ref.xs) < 1e-10 and rel(sm.Ps, ref.Ps) < 1e-10 and rel(sm.gains[:-1], np.array(gains)) < 1e-10


def test_every_size_also_on_the_baseline_registers():
    # Processors with AVX2 run the square-root QRs on four lanes; the two-lane kernel every build has is
    # checked in a process told to keep to it.
    env = {**os.environ, "VEXEL_CKF_BASELINE_SIMD": "1"}
    test = __file__ + "::test_linear_model_equals_rts_smoother_at_every_size"
    proc = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", test], env=env,
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0 and "8 passed" in proc.stdout, proc.stdout + proc.stderr


# Smoothed traces of 4 to 6 states (both forms, the full pass and a fixed-lag
# run), saved to the file named by argv[1]: run here and in a process kept to
# the two-lane kernels, whose builds form every entry in the same order.
REGISTER_CASES = """
import sys
import numpy as np
from vexel_ckf import VexelCKF, cubature_smoother
out = {}
for n in (4, 5, 6):
    for sr in (False, True):
        rng = np.random.default_rng(n)
        A = np.eye(n) + 0.05 * rng.standard_normal((n, n))
        kf = VexelCKF(n, 2, 1.0, fx=lambda X, dt, A=A: X @ A.T + 0.01 * dt * np.sin(X),
                      hx=lambda X: X[:, :2] + 0.01 * X[:, :2] ** 2, square_root=sr)
        kf.x = rng.standard_normal(n)
        kf.P = np.eye(n) + 0.1 * np.ones((n, n))
        kf.Q = 0.01 * np.eye(n) + 0.001 * np.ones((n, n))
        kf.R = 0.1 * np.eye(2)
        r = kf.run(rng.standard_normal((60, 2)), lag=6)
        sm = cubature_smoother(r.xs, r.Ps, kf.fx, kf.Q, 1.0, square_root=sr)
        out[f"{n}-{sr}"] = np.concatenate([a.ravel() for a in (sm.xs, sm.Ps, sm.gains, r.xs_smoothed[6:],
                                                                 r.Ps_smoothed[6:])])
np.savez(sys.argv[1], **out)
"""


def test_small_state_register_builds_give_the_baseline_bits(tmp_path):
    here, there = tmp_path / "here.npz", tmp_path / "baseline.npz"
    for path, extra in ((here, {}), (there, {"VEXEL_CKF_BASELINE_SIMD": "1"})):
        proc = subprocess.run([sys.executable, "-c", REGISTER_CASES, str(path)], env={**os.environ, **extra},
                              capture_output=True, text=True, timeout=300)
        assert proc.returncode == 0, proc.stderr
    with np.load(here) as a, np.load(there) as b:
        assert sorted(a.files) == sorted(b.files) and len(a.files) == 6
        for key in a.files:
            assert np.isfinite(a[key]).all(), key
            assert a[key].tobytes() == b[key].tobytes(), key


@FORMS
def test_turn_model_step_is_the_textbook_cubature_step_on_the_filter_prediction(sr):
    kf, r = run_turn(sr)
    sm = kf.smooth(r)
    n = 5
    for k in range(len(r.xs) - 1):
        # Independent cubature points and cross-covariance of step k.
        L = np.linalg.cholesky(r.Ps[k])
        X = r.xs[k] + np.sqrt(n) * np.vstack([L.T, -L.T])
        Y = turn(X, 0.5)
        C = (X - r.xs[k]).T @ (Y - Y.mean(axis=0)) / (2 * n)
        # The filter's own prediction of step k+1 (Q and dt did not change).
        xp, Pp = r.xs_prior[k + 1], r.Ps_prior[k + 1]
        G = np.linalg.solve(Pp, C.T).T
        assert rel(sm.gains[k], G) < 1e-9
        G = sm.gains[k]
        assert rel(sm.xs[k] - r.xs[k], G @ (sm.xs[k + 1] - xp)) < 1e-10
        assert rel(sm.Ps[k] - r.Ps[k], G @ (sm.Ps[k + 1] - Pp) @ G.T) < 1e-10
        # Smoothing never adds uncertainty.
        assert np.linalg.eigvalsh(r.Ps[k] - sm.Ps[k]).min() > -1e-12 * np.abs(r.Ps[k]).max()


def test_square_root_and_covariance_forms_agree():
    kf, r = run_turn(False)
    cov = cubature_smoother(r.xs, r.Ps, turn, kf.Q, 0.5)
    sqrt = cubature_smoother(r.xs, r.Ps, turn, kf.Q, 0.5, square_root=True)
    assert rel(sqrt.xs, cov.xs) < 1e-9 and rel(sqrt.Ps, cov.Ps) < 1e-9 and rel(sqrt.gains, cov.gains) < 1e-9


def test_square_root_form_names_a_process_noise_it_cannot_factor():
    with pytest.raises(RuntimeError) as info:
        cubature_smoother(XS, PS, lambda X, dt: X, np.diag([1.0, -1.0]), 1.0, square_root=True)
    assert str(info.value) == "unable to compute stable Cholesky factor (smoother step 3, process noise Q)"


def test_square_root_form_stays_positive_semidefinite_where_covariances_are_singular():
    # Zero process noise on the turn rate and a filtered covariance that is
    # singular in it: the covariance form needs jitter, the factor form cannot
    # lose definiteness.
    kf, r = run_turn(True)
    Ps = r.Ps.copy()
    Ps[:, 4, :] = Ps[:, :, 4] = 0.0
    Q = np.diag([1e-3, 1e-3, 1e-2, 1e-3, 0.0])
    sm = cubature_smoother(r.xs, Ps, turn, Q, 0.5, square_root=True)
    assert np.all(np.diagonal(sm.chol_Ps, axis1=1, axis2=2) >= 0.0)
    assert min(np.linalg.eigvalsh(P).min() for P in sm.Ps) > -1e-15
    assert np.isfinite(sm.xs).all()


@pytest.mark.parametrize("offset", [np.pi - 0.2, -np.pi + 0.1])
def test_angle_states_smooth_across_the_branch_cut_like_away_from_it(offset):
    # A heading that turns at a constant rate; the model wraps its output, so
    # the trace crosses +-pi.  Rotating every heading by a constant must
    # rotate the smoothed headings by the same constant.
    def spin(X, dt):
        return np.column_stack([np.angle(np.exp(1j * (X[:, 0] + X[:, 1] * dt))), X[:, 1]])

    steps = 16
    rng = np.random.default_rng(5)
    theta = 0.08 * np.arange(steps) + rng.normal(0, 0.02, steps)
    Ps = np.tile(np.array([[0.02, 0.003], [0.003, 0.001]]), (steps, 1, 1))
    Q = np.diag([1e-3, 1e-4])
    far = cubature_smoother(np.column_stack([theta - 0.6, np.full(steps, 0.08)]), Ps, spin, Q, 1.0, angle_states=[0])
    xs = np.column_stack([np.angle(np.exp(1j * (theta - 0.6 + offset))), np.full(steps, 0.08)])
    near = cubature_smoother(xs, Ps, spin, Q, 1.0, angle_states=np.array([True, False]))
    want = np.angle(np.exp(1j * (far.xs[:, 0] + offset)))
    np.testing.assert_allclose(np.angle(np.exp(1j * (near.xs[:, 0] - want))), 0.0, atol=1e-9)
    assert np.all((near.xs[:, 0] > -np.pi) & (near.xs[:, 0] <= np.pi))
    np.testing.assert_allclose(near.xs[:, 1], far.xs[:, 1], atol=1e-9)
    np.testing.assert_allclose(near.Ps, far.Ps, atol=1e-9)
    # Without the option the crossing corrupts the estimate.
    plain = cubature_smoother(xs, Ps, spin, Q, 1.0)
    assert np.abs(plain.xs[:, 1] - far.xs[:, 1]).max() > 1e-3


@FORMS
def test_angle_states_leave_angles_away_from_the_seam_as_the_plain_smoother_has_them(sr):
    # Headings near zero, each image of a step well within pi of the images'
    # circular mean and every smoothed heading inside (-pi, pi]: marking the
    # heading as an angle must then change no bit.  Shifting the images to
    # centre + wrap(image - centre) instead would round most of them.
    def turning(X, dt):
        return np.column_stack([X[:, 0] + X[:, 1] * dt, X[:, 1], 0.9 * X[:, 2] + 0.1 * np.sin(X[:, 0])])

    steps = 12
    rng = np.random.default_rng(17)
    xs = np.column_stack([rng.uniform(-0.4, 0.4, steps), rng.normal(0.05, 0.02, steps), rng.normal(size=steps)])
    A = rng.standard_normal((3, 3))
    Ps = np.array([0.01 * (A @ A.T) + np.diag([0.02, 0.001, 0.1]) for _ in range(steps)])
    Q = np.diag([1e-3, 1e-4, 1e-2])
    plain = cubature_smoother(xs, Ps, turning, Q, 1.0, square_root=sr)
    assert np.abs(plain.xs[:, 0]).max() < 1.0
    for angles in ([0], [True, False, False]):
        marked = cubature_smoother(xs, Ps, turning, Q, 1.0, square_root=sr, angle_states=angles)
        for got, want in zip(marked, plain):
            if want is None:
                assert got is None
            else:
                assert got.tobytes() == want.tobytes()


N, NX = 5, 2
XS, PS = np.zeros((N, NX)), np.tile(np.eye(NX), (N, 1, 1))


def with_row(a, k, value):
    a = a.copy()
    a[k] = value
    return a


def raising_fx(X, dt):
    raise KeyError("from fx")


@FORMS
@pytest.mark.parametrize("change, exc, message", [
    ({"xs": with_row(XS, 3, [0.0, np.nan])}, ValueError, "xs contains non-finite values (NaN or inf) at step 3"),
    ({"Ps": with_row(PS, 1, np.inf)}, ValueError, "Ps contains non-finite values (NaN or inf) at step 1"),
    ({"Ps": PS[:4]}, ValueError, "Ps must have shape (5, 2, 2), got (4, 2, 2)"),
    ({"Q": np.zeros((3, 2, 2))}, ValueError, "Q must have shape (2, 2), (N, 2, 2) or (N-1, 2, 2) with N = 5; got (3, 2, 2)"),
    ({"Q": np.zeros((3, 3))}, ValueError, "Q must have shape (2, 2), got (3, 3)"),
    ({"Q": np.full((2, 2), np.nan)}, ValueError, "Q contains non-finite values (NaN or inf)"),
    ({"Q": with_row(np.zeros((4, 2, 2)), 2, np.nan)}, ValueError, "Q contains non-finite values (NaN or inf) in entry 2"),
    ({"dt": np.ones(3)}, ValueError, "dt must be one value or have shape (N,) or (N-1,) with N = 5; got (3,)"),
    ({"dt": np.array([1, 1, np.inf, 1, 1.0])}, ValueError, "dt must be finite; entry 2 is inf"),
    ({"dt": np.nan}, ValueError, "dt must be finite, got nan"),
    ({"fx_args": 3}, TypeError, "fx_args must be a tuple (or another iterable) of extra arguments for fx, not int"),
    ({"Ps": with_row(PS, 2, [[1.0, 2.0], [2.0, 1.0]])}, RuntimeError,
     "unable to compute stable Cholesky factor (smoother step 2)"),
    ({"fx": lambda X, dt: X[:, :1]}, ValueError, "model output must have shape (4, 2), got (4, 1) (smoother step 3)"),
    ({"fx": lambda X, dt: X.astype(np.float32)}, TypeError, "type mismatch:\n from=float32, to=float64 (smoother step 3)"),
    ({"fx": lambda X, dt: X.tolist()}, TypeError, "'list' object cannot be converted to 'ndarray' (smoother step 3)"),
    ({"fx": lambda X, dt: np.where(np.arange(4)[:, None] == 2, np.inf, X)}, ValueError,
     "fx returned non-finite values (NaN or inf) in output row 2 (sigma point 2); x and P were left unchanged "
     "(smoother step 3)"),
    ({"fx": lambda X, dt: X * 1e200, "Q": 1e300}, RuntimeError, "smoothed estimate is not finite (smoother step 3)"),
    # An empty trace, also where Q or dt is one value for every step.
    ({"xs": XS[:0], "Ps": PS[:0]}, ValueError, "xs must contain at least one filtered state"),
    ({"xs": XS[:0], "Ps": PS[:0], "Q": np.eye(2), "dt": np.ones(0)}, ValueError,
     "xs must contain at least one filtered state"),
    ({"xs": XS[:0], "Ps": PS[:0], "Q": np.nan}, ValueError, "Q contains non-finite values (NaN or inf)"),
    ({"steps_per_call": 0}, ValueError, "steps_per_call must be at least 1, got 0"),
    ({"steps_per_call": 2.0}, TypeError, "steps_per_call must be an int, not float"),
    ({"steps_per_call": 4, "fx": lambda X, dt: X[:, :1]}, ValueError,
     "model output must have shape (16, 2), got (16, 1) (smoother steps 0 to 3)"),
    # Stacked steps 0..3: row 9 is row 1 of step 2; the pass reaches step 2 before step 0's row 0.
    ({"steps_per_call": 9, "fx": lambda X, dt: np.where(np.isin(np.arange(16), [0, 9])[:, None], np.nan, X)},
     ValueError, "fx returned non-finite values (NaN or inf) in output row 1 (sigma point 1); x and P were left "
     "unchanged (smoother step 2)"),
])
def test_bad_input_raises_naming_argument_or_step(sr, change, exc, message):
    args = {"xs": XS, "Ps": PS, "fx": lambda X, dt: X, "Q": 0.1, "dt": 1.0, **change}
    with pytest.raises(exc) as info:
        cubature_smoother(square_root=sr, **args)
    assert str(info.value) == message


@pytest.mark.skipif(sys.version_info < (3, 11), reason="exception notes")
def test_fx_exception_passes_through_with_a_note_and_nothing_leaks():
    xs, Ps = XS.copy(), PS.copy()
    calls = []

    def fx(X, dt, tag):
        calls.append(tag)
        if len(calls) == 2:
            raise KeyError("from fx")
        return X

    before = sys.getrefcount(fx), sys.getrefcount(xs), sys.getrefcount(Ps)
    with pytest.raises(KeyError) as info:
        cubature_smoother(xs, Ps, fx, 0.1, 1.0, fx_args=("t",))
    assert info.value.args == ("from fx",) and calls == ["t", "t"]
    assert info.value.__notes__ == ["raised by fx in cubature_smooth() at smoother step 2 (the transition 2 -> 3)"]
    del info
    assert (sys.getrefcount(fx), sys.getrefcount(xs), sys.getrefcount(Ps)) == before
    calls.clear()
    with pytest.raises(KeyError) as info:  # calls for steps 2-3, then 0-1
        cubature_smoother(xs, Ps, fx, 0.1, 1.0, fx_args=("t",), steps_per_call=2)
    assert info.value.__notes__ == ["raised by fx in cubature_smooth() at smoother steps 0 to 1 "
                                    "(the transitions 0 -> 1 to 1 -> 2)"]


@FORMS
def test_steps_stacked_into_one_call_give_the_same_bits_and_never_mix_time_steps(sr):
    kf, r = run_turn(sr, steps=30)
    dts = np.where(np.arange(29) % 10 < 6, 0.5, 0.25)  # runs of 6 and 4 steps, N-1 entries
    calls = []

    def fx(X, dt):
        calls.append((len(X), dt))
        return turn(X, dt)

    one = cubature_smoother(r.xs, r.Ps, turn, kf.Q, dts, square_root=sr)
    for k in (4, 100):
        calls.clear()
        many = cubature_smoother(r.xs, r.Ps, fx, kf.Q, dts, square_root=sr, steps_per_call=k)
        for a, b in zip(one, many):
            assert (a is None and b is None) or a.tobytes() == b.tobytes()
        # Backward over runs of equal dt (steps 26-28, 20-25, 16-19, 10-15,
        # 6-9, 0-5), at most k steps a call; 10 rows a step.
        runs = [(3, 0.25), (6, 0.5), (4, 0.25), (6, 0.5), (4, 0.25), (6, 0.5)]
        want = [(10 * c, dt) for count, dt in runs for c in ((count,) if count <= k else (4, count - 4))]
        assert calls == want
    assert kf.smooth(r, dt=dts, steps_per_call=7).xs.tobytes() == one.xs.tobytes()


def test_filter_smooth_uses_its_own_model_unless_told_otherwise():
    kf, r = run_turn(False)
    np.testing.assert_array_equal(kf.smooth(r).xs, cubature_smoother(r.xs, r.Ps, turn, kf.Q, 0.5).xs)
    other = kf.smooth(r, Q=0.5 * kf.Q, dt=np.full(len(r.xs), 0.5))
    np.testing.assert_array_equal(other.xs, cubature_smoother(r.xs, r.Ps, turn, 0.5 * kf.Q, 0.5).xs)
    with pytest.raises(TypeError, match="smooth\\(\\) takes the RunResult"):
        kf.smooth((r.xs, r.Ps))
    assert isinstance(kf.smooth(r), vexel_ckf.CubatureSmoothResult)


@pytest.mark.parametrize("Q", [np.diag([0.5, 0.2]), np.diag([0.0, -2.0]), np.zeros((2, 2))],
                         ids=["cholesky", "general-inverse", "pseudo-inverse"])
def test_gain_falls_back_like_the_innovation_inverse(Q):
    # fx keeps only the first component, so the predicted covariance is
    # diag(P00, 0) + Q: positive definite, indefinite or singular.
    xs = np.array([[0.3, -1.0], [0.5, 0.2], [0.1, 0.4]])
    Ps = np.tile(np.array([[1.0, 0.3], [0.3, 2.0]]), (3, 1, 1))
    sm = cubature_smoother(xs, Ps, lambda X, dt: X * [1.0, 0.0], Q, 1.0)
    Pp = np.diag([1.0, 0.0]) + Q
    C = Ps[0] @ np.diag([1.0, 0.0])
    np.testing.assert_allclose(sm.gains[0], C @ np.linalg.pinv(Pp), rtol=1e-12, atol=1e-14)
    assert np.isfinite(sm.Ps).all()
