"""`python -m vexel_ckf.demo` runs on its own and tracks better than the raw radar scans."""

import os
import re
import subprocess
import sys

import pytest

ROW = re.compile(r"^(?P<label>\S.*?)\s{2,}(?P<rmse>\d+\.\d)\s+(?P<nis>\S+)\s+(?P<band>-|\[[^\]]*\])\s+(?P<time>-|[\d.]+ us)$")


def run_demo(*args, flags=()):
    return subprocess.run([sys.executable, *flags, "-m", "vexel_ckf.demo", *args], capture_output=True, text=True,
                          timeout=300, env=dict(os.environ))


def table(stdout):
    rows = {}
    for line in stdout.splitlines():
        m = ROW.match(line)
        if m:
            rows[m["label"]] = m.groupdict()
    return rows


def test_demo_runs_and_every_estimate_beats_the_measurements():
    res = run_demo("--steps", "200", flags=("-OO", "-W", "error"))  # no docstrings, no warnings
    assert res.returncode == 0, res.stderr
    assert res.stderr == ""
    rows = table(res.stdout)
    assert list(rows) == [
        "radar scans as positions", "VexelCKF run(), covariance form", "VexelCKF run(), square-root form",
        "batch_filter, linear CV view", "rts_smoother, linear CV view",
    ]
    raw = float(rows["radar scans as positions"]["rmse"])
    for label, row in rows.items():
        if label != "radar scans as positions":
            assert float(row["rmse"]) < raw, label
    for label in ("VexelCKF run(), covariance form", "VexelCKF run(), square-root form"):
        mean_nis = float(rows[label]["nis"])
        lo, hi = (float(v) for v in rows[label]["band"].strip("[]").split(","))
        assert lo < 2.0 < hi and 0.5 < mean_nis < 8.0, label  # a sane NIS for dim_z = 2
    # Both forms of the filter agree on the track.
    cov_form, sqrt_form = (float(rows[f"VexelCKF run(), {form} form"]["rmse"]) for form in ("covariance", "square-root"))
    assert abs(cov_form - sqrt_form) < 0.5


def test_demo_writes_a_picture(tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "track.png"
    res = run_demo("--steps", "60", "--plot", str(out))
    assert res.returncode == 0, res.stderr
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert f"wrote {out}" in res.stdout


def test_demo_rejects_bad_arguments():
    res = run_demo("--steps", "3")
    assert res.returncode == 2
    assert "--steps must be at least 20" in res.stderr
