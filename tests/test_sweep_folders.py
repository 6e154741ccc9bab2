"""The private folders of sweeps: a killed sweep's folder goes at the next
sweep's start, a live sweep's folder never does."""

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from support import korvit_here

from korvit.backtest.sweep import folders, local, ray_backend

pytestmark = pytest.mark.skipif(
    not os.path.isdir("/proc/self"), reason="process start times from /proc"
)

SLEEPER = """
import time

def init(context):
    if context.params.get("wait", 0):
        time.sleep(600)

def on_data(context):
    pass
"""


def start_sweep(strategy, tmp, out, wait):
    return subprocess.Popen(
        [
            sys.executable,
            "-m",
            "korvit",
            "sweep",
            str(strategy),
            "--grid",
            f"wait={wait}",
            "--workers",
            "1",
            "--no-progress",
            "--out",
            str(out),
        ],
        env={**os.environ, "TMPDIR": str(tmp)},
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def folder_of(process, tmp):
    """The private folder of the sweep ``process`` (named after its pid) once its
    worker is at work."""
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        found = [p for p in tmp.glob(f"korvit-sweep-{process.pid}-*") if list(p.glob("worker-*"))]
        if found:
            return found[0]
        assert process.poll() is None, process.communicate()
        time.sleep(0.1)
    raise AssertionError("the sweep made no folder")


def kill_with_workers(process, tmp):
    """Kills the sweep ``process`` and the workers of its folder in ``tmp``."""
    workers = [
        int(p.name.split("-")[1]) for p in tmp.glob(f"korvit-sweep-{process.pid}-*/worker-*")
    ]
    for pid in [process.pid, *workers]:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    process.communicate()


def test_a_killed_sweeps_folder_goes_at_the_next_start_and_a_live_ones_stays(tmp_path, monkeypatch):
    strategy = tmp_path / "sleeper.py"
    strategy.write_text(SLEEPER)
    tmp = tmp_path / "tmp"
    tmp.mkdir()
    killed = start_sweep(strategy, tmp, tmp_path / "a", wait=1)
    live = start_sweep(strategy, tmp, tmp_path / "b", wait=1)  # the two start up together
    try:
        killed_folder, live_folder = folder_of(killed, tmp), folder_of(live, tmp)
        assert (killed_folder / "job.pickle").is_file()
        kill_with_workers(killed, tmp)
        assert killed_folder.is_dir()

        # the next start: a sweep of this process, with its folders in tmp too
        monkeypatch.setenv("TMPDIR", str(tmp))
        monkeypatch.setattr(folders.tempfile, "tempdir", str(tmp))
        done = korvit_here(
            "sweep", strategy, "--grid", "wait=0", "--workers", "1", "--out", tmp_path / "c"
        )
        assert done.returncode == 0, done.stderr
        assert not killed_folder.exists()
        assert live_folder.is_dir() and (live_folder / "job.pickle").is_file()
        assert live.poll() is None
    finally:
        local.stop_workers()  # this process's, kept in tmp
        kill_with_workers(killed, tmp)
        kill_with_workers(live, tmp)
    assert [p.name for p in tmp.glob("korvit-sweep-*")] == [live_folder.name]


def test_only_folders_of_gone_processes_are_removed(tmp_path, monkeypatch):
    """Named after this process: kept; after a process that ended, or after
    this pid with another start time (the pid was reused): removed; anything
    else (another naming, a file, a link): kept."""
    monkeypatch.setattr(folders.tempfile, "tempdir", str(tmp_path))
    ended = subprocess.Popen([sys.executable, "-c", "pass"])
    ended.wait()
    me = folders._owner_tag()
    pid, start = me.split("-")
    names = {
        f"korvit-sweep-{me}-abc": True,
        f"korvit-sweep-{ended.pid}-{start}-abc": False,
        f"korvit-sweep-{pid}-{int(start) + 1}-abc": False,
        "korvit-sweep-x1y2z3": True,
        "korvit-sweep-12345678": True,
        "other": True,
    }
    for name in names:
        (tmp_path / name).mkdir()
    (tmp_path / f"korvit-sweep-{ended.pid}-1-file").write_text("")
    os.symlink(tmp_path / "other", tmp_path / f"korvit-sweep-{ended.pid}-1-link")
    folder = Path(folders._sweep_folder())
    assert folder.name.startswith(f"korvit-sweep-{me}-")
    kept = {name for name, keep in names.items() if keep}
    assert {p.name for p in tmp_path.iterdir()} == kept | {
        folder.name,
        f"korvit-sweep-{ended.pid}-1-file",
        f"korvit-sweep-{ended.pid}-1-link",
    }

    ray_root = tmp_path / f"korvit-sweep-ray-{os.getuid()}"
    ray_root.mkdir()
    (ray_root / f"worker-{ended.pid}-{start}").mkdir()
    (ray_root / f"worker-{me}").mkdir()
    assert ray_backend._ray_folder() == str(ray_root / f"worker-{me}")
    assert [p.name for p in ray_root.iterdir()] == [f"worker-{me}"]
