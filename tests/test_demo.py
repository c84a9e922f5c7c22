"""`python -m vexel_ckf.demo` runs on its own and tracks better than the raw radar scans."""

import importlib.util
import os
import re
import subprocess
import sys

import pytest

ROW = re.compile(r"^(?P<label>\S.*?)\s{2,}(?P<rmse>\d+\.\d)\s+(?P<nis>\S+)\s+(?P<band>-|\[[^\]]*\])\s+(?P<time>-|[\d.]+ us)$")


def run_demo(*args, flags=()):
    return subprocess.run([sys.executable, *flags, "-m", "vexel_ckf.demo", *args], capture_output=True, text=True,
                          timeout=300, env=dict(os.environ))


def test_demo_runs_and_every_estimate_beats_the_measurements():
    res = run_demo("--steps", "200", flags=("-OO", "-W", "error"))  # no docstrings, no warnings
    assert res.returncode == 0 and res.stderr == "", res.stderr
    rows = {m["label"]: m for m in map(ROW.match, res.stdout.splitlines()) if m}
    # The built-in models' run is shown by builds that have them.
    builtin = ["VexelCKF run(), built-in models"] if importlib.util.find_spec("vexel_ckf.models") else []
    assert list(rows) == ["radar scans as positions", "VexelCKF run(), covariance form", *builtin,
                          "VexelCKF run(), square-root form", "VexelCKF smooth(), square-root form",
                          "batch_filter, linear CV view", "rts_smoother, linear CV view"]
    raw, cov_form, *_, sqrt_form, cubature_smooth, batch, smooth = rows
    rmse = {label: float(row["rmse"]) for label, row in rows.items()}
    assert all(rmse[label] < rmse[raw] for label in (cov_form, *builtin, sqrt_form, batch, smooth))
    assert rmse[cubature_smooth] < rmse[sqrt_form]  # smoothing uses the later scans too
    for label in (cov_form, *builtin, sqrt_form):
        lo, hi = (float(v) for v in rows[label]["band"].strip("[]").split(","))
        assert lo < 2.0 < hi and 0.5 < float(rows[label]["nis"]) < 8.0, label  # a sane NIS for dim_z = 2
    assert abs(rmse[cov_form] - rmse[sqrt_form]) < 0.5  # both forms of the filter agree on the track
    for label in builtin:  # the same models, compiled: the same track to the printed digit
        assert abs(rmse[label] - rmse[cov_form]) <= 0.1 and rows[label]["nis"] == rows[cov_form]["nis"], label
    assert all(row["time"] != "-" for label, row in rows.items() if label != raw)  # every estimate is timed


def test_demo_writes_a_picture_and_rejects_bad_arguments(tmp_path):
    res = run_demo("--steps", "3")
    assert res.returncode == 2 and "--steps must be at least 20" in res.stderr
    pytest.importorskip("matplotlib")
    out = tmp_path / "track.png"
    res = run_demo("--steps", "60", "--plot", str(out))
    assert res.returncode == 0 and f"wrote {out}" in res.stdout, res.stderr
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


FLEET_RMS = re.compile(r"^  (?P<label>radar scans as positions|filtered|smoothed)\s+(?P<rms>\d+\.\d) m$", re.M)


def run_fleet_demo(*args):
    return subprocess.run([sys.executable, "-OO", "-W", "error", "-m", "vexel_ckf.demo_fleet", *args],
                          capture_output=True, text=True, timeout=300, env=dict(os.environ))


def test_fleet_demo_smooths_every_track_better_than_it_filters():
    tracks = 150
    res = run_fleet_demo("--tracks", str(tracks), "--scans", "120", "--seed", "3")
    assert res.returncode == 0 and res.stderr == "", res.stderr
    rms = {m["label"]: float(m["rms"]) for m in FLEET_RMS.finditer(res.stdout)}
    assert list(rms) == ["radar scans as positions", "filtered", "smoothed"], res.stdout
    # Smoothing uses the later scans too; both estimates beat the raw scans.
    assert rms["smoothed"] < rms["filtered"] < rms["radar scans as positions"], rms
    assert f"tracks by status: 0 (ran to the end): {tracks:,}\n" in res.stdout, res.stdout
    per_step = re.search(r"one call: \d+\.\d+ s, (\d+\.\d+) us per sequence-step", res.stdout)
    assert per_step and float(per_step[1]) > 0.0, res.stdout


@pytest.mark.parametrize("args", [("--tracks", "0"), ("--scans", "1")])
def test_fleet_demo_rejects_an_empty_fleet(args):
    res = run_fleet_demo(*args)
    assert res.returncode == 2 and "--tracks must be at least 1 and --scans at least 2" in res.stderr
