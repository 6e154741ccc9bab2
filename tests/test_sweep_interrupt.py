"""Stopping a sweep: Ctrl-C once every run has finished stops nothing (exit 0,
no --resume suggested); sweep.csv holds exactly the runs of runs.jsonl, each
once, however the sweep was stopped."""

import json
import signal
import subprocess
import sys
import time
from pathlib import Path

import pandas as pd
import pytest
from support import korvit_here

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "strategies" / "ma_cross.py"

INTERRUPTING = Path(__file__).resolve().parent / "sweep_interrupting.py"


def saved_ids(out):
    return [json.loads(line)["run_id"] for line in (out / "runs.jsonl").read_text().splitlines()]


@pytest.mark.parametrize(
    "where, count, extra, status",
    [
        ("add", 4, [], 0),  # as the last run is saved
        ("write_table", 0, [], 0),  # as the whole table is written
        (
            "add",
            8,
            ["--walk-forward", "300,200"],
            130,
        ),  # after the last training run: the tests are left
    ],
    ids=["last-run", "table-write", "walk-forward-after-training"],
)
def test_ctrl_c_after_the_last_run_stops_nothing_and_the_tables_agree(
    tmp_path, where, count, extra, status
):
    out = tmp_path / "out"
    args = [
        "sweep",
        str(EXAMPLE),
        "--grid",
        "fast=5,10",
        "--grid",
        "slow=30,60",
        "--workers",
        "2",
        "--out",
        str(out),
        "--no-progress",
        *extra,
    ]
    done = subprocess.run(
        [sys.executable, str(INTERRUPTING), where, str(count), *args],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == status, done.stderr
    assert ("--resume" in done.stderr) == (status == 130), done.stderr
    ids = saved_ids(out)
    table = pd.read_csv(out / "sweep.csv")
    assert len(ids) == len(set(ids)) and sorted(table.run_id) == sorted(ids)
    if status == 0:
        assert len(table) == 4 and set(table.status) == {"ok"} and (out / "report.html").is_file()
    else:
        assert set(table.phase) == {"train"} and len(table) == count


def test_a_killed_sweep_leaves_its_table_with_the_saved_runs_and_resume_completes_it(tmp_path):
    """Killed outright (no Ctrl-C handling at all): sweep.csv still parses and holds
    the runs of runs.jsonl, each once (short by at most the one run being saved as it
    was killed); --resume then gives the table of a sweep never stopped."""
    strategy = tmp_path / "slow.py"
    strategy.write_text(EXAMPLE.read_text() + "\n\nimport time as _time\n_time.sleep(0.15)\n")
    out = tmp_path / "out"
    args = [
        sys.executable,
        "-m",
        "korvit",
        "sweep",
        str(strategy),
        "--grid",
        "fast=5,10,20",
        "--grid",
        "slow=30,60,90",
        "--workers",
        "2",
        "--out",
        str(out),
        "--no-progress",
    ]
    sweeping = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    runs = out / "runs.jsonl"
    while sweeping.poll() is None and (not runs.exists() or len(runs.read_text().splitlines()) < 3):
        time.sleep(0.02)
    sweeping.send_signal(signal.SIGKILL)
    sweeping.communicate(timeout=60)
    ids = saved_ids(out)
    table = pd.read_csv(out / "sweep.csv")
    assert 3 <= len(ids) < 9 and table.run_id.is_unique
    assert set(table.run_id) <= set(ids) and len(ids) - len(table) <= 1

    done = subprocess.run(args + ["--resume"], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    whole = tmp_path / "whole"  # a sweep never stopped, for comparison
    again = korvit_here(*args[3:-3], "--out", whole, "--no-progress")
    assert again.returncode == 0, again.stderr
    resumed, fresh = (
        pd.read_csv(folder / "sweep.csv").drop(columns="seconds") for folder in (out, whole)
    )
    pd.testing.assert_frame_equal(resumed, fresh)
