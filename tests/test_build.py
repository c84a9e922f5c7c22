"""The built extension: stable ABI only, one exported symbol, NumPy 1.x and 2.x."""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import vexel_ckf
import vexel_ckf._native as native


def test_extension_is_tagged_abi3_uses_only_the_stable_abi_and_exports_only_its_init():
    assert os.path.basename(native.__file__).endswith(".abi3.so")
    if shutil.which("nm") is not None:
        res = subprocess.run(["nm", "-D", "--defined-only", native.__file__], capture_output=True, text=True)
        assert [line.split()[-1] for line in res.stdout.splitlines() if line.strip()] == ["PyInit__native"]
    pytest.importorskip("abi3audit")
    res = subprocess.run([sys.executable, "-m", "abi3audit", "--strict", "--summary", "--assume-minimum-abi3", "3.9",
                          native.__file__], capture_output=True, text=True, timeout=300)
    assert res.returncode == 0 and "0 ABI violations" in res.stdout + res.stderr, res.stdout + res.stderr


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
