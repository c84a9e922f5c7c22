"""The array bridge, seen through get/set of the covariance filter."""

import os
import sys

import numpy as np
import pytest

from vexel_ckf._native import CubatureKalmanFilter
from support import BOTH, unaligned_copy


@pytest.fixture
def f():
    return CubatureKalmanFilter(4, 2, 0.1)


@pytest.mark.parametrize(
    "value, message",
    [
        ([1.0, 2.0, 3.0, 4.0], "'list' object cannot be converted to 'ndarray'"),
        (1.0, "'float' object cannot be converted to 'ndarray'"),
        (np.array(1.0), "dimensionality mismatch:\n from=0, to=1"),
        (np.float64(1.0), "'float64' object cannot be converted to 'ndarray'"),
        (np.zeros((1, 4)), "dimensionality mismatch:\n from=2, to=1"),
        (np.zeros(4, dtype=np.int64), "type mismatch:\n from=int64, to=float64"),
        (np.zeros(4, dtype=np.float32), "type mismatch:\n from=float32, to=float64"),
        (np.zeros(4, dtype=">f8"), "type mismatch:\n from=>f8, to=float64"),
        (np.zeros(4, dtype=object), "type mismatch:\n from=object, to=float64"),
        (np.zeros(8)[::2], "The given array is not contiguous"),
        (np.arange(4.0)[::-1], "The given array is not contiguous"),
    ],
)
def test_vector_acceptance_errors(f, value, message):
    before = f.get("x")
    with pytest.raises(TypeError) as info:
        f.set("x", value)
    assert str(info.value) == message
    np.testing.assert_array_equal(f.get("x"), before)


def test_length_and_shape_messages(f):
    with pytest.raises(ValueError, match=r"^x must have length 4, got 3$"):
        f.set("x", np.zeros(3))
    with pytest.raises(ValueError) as info:
        f.set("K", np.zeros((2, 4)))
    assert str(info.value) == "K must have shape (4, 2), got (2, 4)"
    g = CubatureKalmanFilter(2, 3, 0.1)
    with pytest.raises(ValueError) as info:
        g.set("P", np.zeros((3, 2)))
    assert str(info.value) == "P must have shape (2, 2), got (3, 2)"
    with pytest.raises(ValueError, match="^x must have length 4, got 5$"):  # length before contiguity
        f.set("x", np.zeros(10)[::2])


def test_length_one_vector_view_with_any_stride_is_accepted():
    g = CubatureKalmanFilter(1, 1, 0.1)
    view = np.arange(10.0)[3::7][:1]
    g.set("x", view)
    assert g.get("x")[0] == 3.0


def _layouts(m):
    base = np.zeros((m.shape[0] * 2, m.shape[1] * 3))
    strided = base[::2, ::3]
    strided[...] = m
    reversed_view = np.ascontiguousarray(m[::-1, ::-1])[::-1, ::-1]
    return {
        "C": np.ascontiguousarray(m),
        "F": np.asfortranarray(m),
        "transposed": np.ascontiguousarray(m.T).T,
        "strided": strided,
        "reversed": reversed_view,
        "unaligned": unaligned_copy(m),
        "unaligned reversed": unaligned_copy(m[::-1, ::-1])[::-1, ::-1],
    }


@pytest.mark.parametrize("layout", ["C", "F", "transposed", "strided", "reversed", "unaligned", "unaligned reversed"])
def test_matrix_layouts_give_the_same_matrix(f, layout):
    m = np.arange(16.0).reshape(4, 4) * 0.5 - 3.0
    f.set("P", _layouts(m)[layout])
    np.testing.assert_array_equal(f.get("P"), m)
    k = np.arange(8.0).reshape(4, 2)
    f.set("K", _layouts(k)[layout])
    np.testing.assert_array_equal(f.get("K"), k)
    f.set("x", unaligned_copy(m[0]))
    np.testing.assert_array_equal(f.get("x"), m[0])


@pytest.mark.parametrize("special", [-0.0, 5e-324, 2.2250738585072014e-308 / 3, -1e-310])
def test_negative_zero_and_subnormals_are_finite(f, special):
    x = np.array([special, 1.0, 2.0, 3.0])
    f.set("x", x)
    got = f.get("x")
    assert got.tobytes() == x.tobytes()  # bit for bit, sign of zero included


@BOTH
@pytest.mark.parametrize("bad", [np.inf, -np.inf, np.nan])
@pytest.mark.parametrize("name, shape", [("x", (4,)), ("P", (4, 4)), ("Q", (4, 4)), ("R", (2, 2))])
def test_finiteness_required_for_x_p_q_r(cls, bad, name, shape):
    f = cls(4, 2, 0.1)
    before = f.get(name)
    value = np.ones(shape)
    value.flat[-1] = bad
    with pytest.raises(ValueError) as info:
        f.set(name, value)
    assert str(info.value) == f"{name} must contain only finite values"
    np.testing.assert_array_equal(f.get(name), before)


def test_outputs_are_fresh_owning_c_arrays(f):
    m = np.arange(8.0).reshape(4, 2)
    f.set("K", np.asfortranarray(m))
    out = f.get("K")
    assert out.flags["C_CONTIGUOUS"] and out.flags["OWNDATA"] and out.flags["WRITEABLE"]
    assert out.shape == (4, 2) and out.dtype == np.float64
    out[:] = 99.0
    np.testing.assert_array_equal(f.get("K"), m)
    assert f.get("K") is not f.get("K")


def test_inputs_are_copied_not_aliased(f):
    x = np.arange(4.0)
    f.set("x", x)
    x[:] = -1.0
    np.testing.assert_array_equal(f.get("x"), np.arange(4.0))


def test_argument_references_do_not_leak(f):
    value = np.eye(4)
    bad = np.eye(3)
    name = "".join(["P_", "prior"])  # a fresh, non-cached string
    before = (sys.getrefcount(value), sys.getrefcount(bad), sys.getrefcount(name))
    for _ in range(1000):
        f.set(name, value)
        f.get(name)
        with pytest.raises(ValueError):
            f.set(name, bad)
        with pytest.raises(TypeError):
            f.set_state([0.0], value, value, value)
    after = (sys.getrefcount(value), sys.getrefcount(bad), sys.getrefcount(name))
    assert after == before


def _rss_bytes():
    with open(f"/proc/{os.getpid()}/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.not_sanitized("freed memory is held in quarantine, so resident memory grows by design")
def test_memory_stays_flat_over_many_calls(f):
    m = np.eye(4)
    for _ in range(5000):  # warm up allocator pools
        f.set("P", m)
        f.get("P")
    start = _rss_bytes()
    for _ in range(100_000):
        f.set("P", m)
        f.get("P")
        f.get("nis")
    grown = _rss_bytes() - start
    assert grown < 4 * 1024 * 1024, f"RSS grew by {grown} bytes"
