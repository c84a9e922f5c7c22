"""The built extension: stable ABI only, one exported symbol, NumPy 1.x and 2.x."""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import vexel_ckf
import vexel_ckf._engine as engine
import vexel_ckf._native as native

MODULES = [native, engine]
CORE = os.path.join(os.path.dirname(native.__file__), "libvexel_ckf_core.so")


@pytest.mark.parametrize("path", [native.__file__, engine.__file__, CORE])
def test_binaries_use_only_the_stable_abi(path):
    pytest.importorskip("abi3audit")
    res = subprocess.run(
        [sys.executable, "-m", "abi3audit", "--strict", "--summary", "--assume-minimum-abi3", "3.9", path],
        capture_output=True, text=True, timeout=300,
    )
    assert res.returncode == 0, res.stdout + res.stderr
    assert "0 ABI violations" in res.stdout + res.stderr


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils' nm")
@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_each_module_exports_only_its_init_function(module):
    assert os.path.basename(module.__file__).endswith(".abi3.so")
    res = subprocess.run(["nm", "-D", "--defined-only", module.__file__], capture_output=True, text=True)
    symbols = [line.split()[-1] for line in res.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_" + module.__name__.rsplit(".", 1)[1]]


def test_modules_share_one_core():
    # The process-wide state (types, borrow registry, worker pool) lives in the
    # core library: both modules must load the one next to them.
    if not os.path.exists("/proc/self/maps"):
        pytest.skip("no /proc/self/maps")
    with open("/proc/self/maps") as fh:
        maps = fh.read()
    loaded = {line.split()[-1] for line in maps.splitlines() if line.endswith("libvexel_ckf_core.so")}
    assert loaded == {os.path.realpath(CORE)}
    tables = engine.field_tables()
    f = native.CubatureKalmanFilter(3, 2, 0.1)
    assert [row[0] for row in tables["CubatureKalmanFilter"]] == list(f.snapshot())


CHECK = textwrap.dedent(
    """
    import numpy, vexel_ckf._native as m
    f = m.CubatureKalmanFilter(2, 1, 0.1)
    x = f.get('x')
    f.set('P', numpy.asfortranarray(numpy.eye(2) * 2))
    assert f.get('P')[1, 1] == 2.0 and x.shape == (2,)
    print(numpy.__version__)
    """
)


def test_no_warning_under_the_running_numpy():
    res = subprocess.run([sys.executable, "-W", "error", "-c", CHECK], capture_output=True, text=True, timeout=120)
    assert res.returncode == 0, res.stderr


# 1.23 is the oldest NumPy the package declares (pyproject.toml); older ones refuse the binary.
@pytest.mark.skipif(sys.version_info >= (3, 13), reason="NumPy 1.x has no wheels for this Python")
@pytest.mark.parametrize("numpy_version", ["1.23.5", "1.26.4"])
@pytest.mark.slow("a virtual environment with NumPy installed from the package index")
def test_the_same_binary_works_with_numpy_1_x(tmp_path, numpy_version):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, timeout=300)
    python = str(venv / "bin" / "python")
    install = subprocess.run(
        [python, "-m", "pip", "install", "-q", "--disable-pip-version-check", f"numpy=={numpy_version}"],
        capture_output=True, text=True, timeout=600,
    )
    if install.returncode != 0:
        pytest.skip(f"NumPy {numpy_version} could not be installed here: " + install.stderr[-300:])
    # The installed package (the abi3 binary included), made importable there.
    pkg_dir = os.path.dirname(vexel_ckf.__file__)
    site = tmp_path / "site"
    shutil.copytree(pkg_dir, site / "vexel_ckf")
    res = subprocess.run(
        [python, "-W", "error", "-c", CHECK], capture_output=True, text=True, timeout=120,
        env={**os.environ, "PYTHONPATH": str(site)},
    )
    assert res.returncode == 0, res.stderr
    assert res.stdout.strip() == numpy_version
