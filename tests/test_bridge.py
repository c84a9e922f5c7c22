"""The array bridge, seen through get/set of the filters."""

import os
import sys

import numpy as np
import pytest

from vexel_ckf._native import CubatureKalmanFilter as CKF
from support import BOTH, strided, unaligned_copy


@pytest.fixture
def f():
    return CKF(4, 2, 0.1)


@pytest.mark.parametrize("name, value, exc, message", [
    ("x", [1.0, 2.0, 3.0, 4.0], TypeError, "'list' object cannot be converted to 'ndarray'"),
    ("x", 1.0, TypeError, "'float' object cannot be converted to 'ndarray'"),
    ("x", np.array(1.0), TypeError, "dimensionality mismatch:\n from=0, to=1"),
    ("x", np.float64(1.0), TypeError, "'float64' object cannot be converted to 'ndarray'"),
    ("x", np.zeros((1, 4)), TypeError, "dimensionality mismatch:\n from=2, to=1"),
    ("x", np.zeros(4, dtype=np.int64), TypeError, "type mismatch:\n from=int64, to=float64"),
    ("x", np.zeros(4, dtype=np.float32), TypeError, "type mismatch:\n from=float32, to=float64"),
    ("x", np.zeros(4, dtype=">f8"), TypeError, "type mismatch:\n from=>f8, to=float64"),
    ("x", np.zeros(4, dtype=object), TypeError, "type mismatch:\n from=object, to=float64"),
    ("x", np.zeros(8)[::2], TypeError, "The given array is not contiguous"),
    ("x", np.arange(4.0)[::-1], TypeError, "The given array is not contiguous"),
    ("x", np.zeros(3), ValueError, "x must have length 4, got 3"),
    ("x", np.zeros(10)[::2], ValueError, "x must have length 4, got 5"),  # length before contiguity
    ("K", np.zeros((2, 4)), ValueError, "K must have shape (4, 2), got (2, 4)"),
    ("P", np.zeros((4, 3)), ValueError, "P must have shape (4, 4), got (4, 3)"),
])
def test_acceptance_errors(f, name, value, exc, message):
    before = f.get(name)
    with pytest.raises(exc) as info:
        f.set(name, value)
    assert str(info.value) == message
    np.testing.assert_array_equal(f.get(name), before)


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


@pytest.mark.parametrize("layout", [
    np.asfortranarray, lambda m: np.ascontiguousarray(m.T).T, strided,
    lambda m: np.ascontiguousarray(m[::-1, ::-1])[::-1, ::-1], unaligned_copy,
    lambda m: unaligned_copy(m[::-1, ::-1])[::-1, ::-1],
], ids=["F", "transposed", "strided", "reversed", "unaligned", "unaligned reversed"])
def test_matrix_layouts_give_the_same_matrix(f, layout):
    for name, m in (("P", np.arange(16.0).reshape(4, 4) * 0.5 - 3.0), ("K", np.arange(8.0).reshape(4, 2))):
        f.set(name, layout(m))
        np.testing.assert_array_equal(f.get(name), m)
    f.set("x", unaligned_copy(np.arange(4.0)))
    np.testing.assert_array_equal(f.get("x"), np.arange(4.0))
    g = CKF(1, 1, 0.1)
    g.set("x", np.arange(10.0)[3::7][:1])  # a length-one view with any stride
    assert g.get("x")[0] == 3.0


def test_special_values_outputs_and_copies(f):
    x = np.array([-0.0, 5e-324, 2.2250738585072014e-308 / 3, -1e-310])  # negative zero and subnormals are finite
    f.set("x", x)
    assert f.get("x").tobytes() == x.tobytes()  # bit for bit, sign of zero included
    x[:] = -1.0
    assert f.get("x")[3] == -1e-310  # the input was copied, not aliased
    m = np.arange(8.0).reshape(4, 2)
    f.set("K", np.asfortranarray(m))
    out = f.get("K")
    assert out.flags["C_CONTIGUOUS"] and out.flags["OWNDATA"] and out.flags["WRITEABLE"]
    assert out.shape == (4, 2) and out.dtype == np.float64
    out[:] = 99.0
    np.testing.assert_array_equal(f.get("K"), m)
    assert f.get("K") is not f.get("K")


def test_argument_references_do_not_leak(f):
    value, bad = np.eye(4), np.eye(3)
    name = "".join(["P_", "prior"])  # a fresh, non-cached string
    before = (sys.getrefcount(value), sys.getrefcount(bad), sys.getrefcount(name))
    for _ in range(1000):
        f.set(name, value)
        f.get(name)
        with pytest.raises(ValueError):
            f.set(name, bad)
        with pytest.raises(TypeError):
            f.set_state([0.0], value, value, value)
    assert (sys.getrefcount(value), sys.getrefcount(bad), sys.getrefcount(name)) == before


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
