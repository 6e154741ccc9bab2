"""Saving a result: the folder always shows one whole save, whatever happens.

Every file of a save carries the save's tag (the account name ``acct_N_``
appears in each CSV, in stats.json and in the report), so a folder mixing two
saves is seen at once.

Long runs: ``KORVIT_SAVE_KILLS=200 python -m pytest tests/test_results_save.py``
kills the saving process that many times (12 by default).
"""

import json
import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from korvit.backtest import files
from korvit.backtest.files import STORE, save_file_set, saved_folder
from korvit.backtest.results import BacktestResult

NAMES = (
    "equity.csv",
    "orders.csv",
    "trades.csv",
    "stops.csv",
    "round_trips.csv",
    "stats.json",
    "report.html",
)
TAG = re.compile(r"acct_(\d+)_")

pytestmark = pytest.mark.skipif(
    os.name != "posix", reason="file sets are switched through links on POSIX"
)


def tagged_result(number, n_rows=4):
    """A result whose every file names ``acct_NUMBER_``; ``n_rows`` bars,
    orders and stop orders."""
    tag = f"acct_{number}_"
    n_bars = n_rows
    times = pd.date_range("2024-01-01", periods=n_bars, freq="D")
    equity = pd.DataFrame(
        {
            "time": times,
            "account": tag,
            "cash": 1000.0,
            "market_value": np.linspace(0, 5, n_bars),
            "margin": 0.0,
            "equity": 1000 + np.linspace(0, 5, n_bars),
        }
    )
    trades = pd.DataFrame(
        {
            "trade_id": [1, 2],
            "order_id": [1, 2],
            "time": times[[1, 3]],
            "account": tag,
            "code": "X",
            "side": ["buy", "sell"],
            "effect": ["open", "close"],
            "volume": 10,
            "price": [10.0, 11.0],
            "multiplier": 1,
            "fee": 0.0,
        }
    )
    orders = pd.DataFrame({"order_id": np.arange(n_rows), "account": tag, "code": "X"})
    stops = pd.DataFrame({"stop_id": np.arange(n_rows), "order_id": 1, "account": tag, "code": "X"})
    return BacktestResult(
        equity, orders, trades, stops, frequency="day", initial_cash=1000.0, strategy=tag
    )


def visible_tags(folder):
    """{name: tag number or None when missing} as a reader of the folder sees it."""
    seen = {}
    for name in NAMES:
        try:
            text = (Path(folder) / name).read_text(encoding="utf-8")
        except FileNotFoundError:
            seen[name] = None
            continue
        tags = set(TAG.findall(text))
        assert len(tags) == 1, f"{name} holds tags {tags}"
        seen[name] = int(tags.pop())
    return seen


def one_save(seen):
    """The tag all the files share (None: no save at all); fails on a mix."""
    values = set(seen.values())
    assert len(values) == 1, f"the folder mixes saves: {seen}"
    return values.pop()


def test_every_step_of_a_save_shows_the_earlier_or_the_new_set(tmp_path, monkeypatch):
    """Whatever call a save is stopped after, readers see one whole set:
    a fresh folder, a folder of plain files written by an earlier version
    (with the run's logs and the user's own files beside them), then saves
    over saves.  Nothing but the set's names changes."""
    out = tmp_path / "out"
    out.mkdir()
    for name in NAMES:  # the plain files an earlier version wrote, one save's
        (out / name).write_text(f"old acct_0_ {name}\n")
    (out / "log").mkdir()
    (out / "log" / "run.log").write_text("a log line\n")
    (out / "notes.txt").write_text("mine\n")
    others = {p: p.read_bytes() for p in (out / "log" / "run.log", out / "notes.txt")}

    steps = []
    expected = {"old": 0}

    def watch(function):
        def watched(*args, **kwargs):
            result = function(*args, **kwargs)
            tag = one_save(visible_tags(out))
            assert tag in (expected["old"], expected["new"])
            steps.append(tag)
            return result

        return watched

    for module, name in (
        (os, "replace"),
        (os, "rename"),
        (os, "symlink"),
        (os, "unlink"),
        (os, "link"),
        (shutil, "rmtree"),
    ):
        monkeypatch.setattr(module, name, watch(getattr(module, name)))
    for number in (1, 2, 3):
        expected["new"] = number
        steps.clear()
        tagged_result(number).save(out)
        assert one_save(visible_tags(out)) == number
        assert steps.count(expected["old"]) and steps[-1] == number  # it switched once, at one step
        assert steps == sorted(steps, key=lambda tag: tag == number)
        expected["old"] = number
    monkeypatch.undo()
    assert {p: p.read_bytes() for p in others} == others
    assert sorted(p.name for p in out.iterdir()) == sorted([*NAMES, STORE, "log", "notes.txt"])
    assert sorted(p.name for p in (out / STORE).iterdir()) == sorted(
        ["current", "lock", saved_folder(out).name]
    )
    assert json.loads((saved_folder(out) / "stats.json").read_text())["strategy"] == "acct_3_"


def test_a_failed_save_leaves_nothing_behind(tmp_path):
    tagged_result(1).save(tmp_path)
    before = saved_folder(tmp_path)

    def broken(fh):
        fh.write("half a fi")
        raise OSError("disk full")

    writers = {name: (False, lambda fh, n=name: fh.write(f"acct_2_ {n}")) for name in NAMES}
    writers["stops.csv"] = (False, broken)
    with pytest.raises(OSError, match="disk full"):
        save_file_set(tmp_path, writers)
    assert one_save(visible_tags(tmp_path)) == 1
    assert sorted(p.name for p in (tmp_path / STORE).iterdir()) == sorted(
        ["current", "lock", before.name]
    )

    (tmp_path / "report.html").unlink()
    (tmp_path / "report.html").mkdir()
    with pytest.raises(IsADirectoryError, match="report.html is a folder"):
        tagged_result(3).save(tmp_path)
    assert "acct_1_" in (tmp_path / "equity.csv").read_text()


def test_without_links_each_file_is_still_replaced_whole(tmp_path, monkeypatch):
    monkeypatch.setattr(files, "_symlinks_work", lambda store: False)
    tagged_result(1).save(tmp_path)
    tagged_result(2).save(tmp_path)
    assert one_save(visible_tags(tmp_path)) == 2
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(NAMES)
    assert not any(p.is_symlink() for p in tmp_path.iterdir())


_SAVER = textwrap.dedent("""
    import json, os, random, signal, sys, time
    sys.path.insert(0, sys.argv[3])
    from test_results_save import tagged_result, visible_tags
    out, kills = sys.argv[1], int(sys.argv[2])
    random.seed(kills)

    def slow_to_save(number):
        # every file takes its time to write, so that kills fall between them
        result = tagged_result(number, 5000)
        html = result.to_html() + "<!--" + "-" * 1_000_000 + "-->"
        result.to_html = lambda: html
        return result

    began = time.perf_counter()
    slow_to_save(0).save(out)
    took = time.perf_counter() - began  # what a save takes on this machine, now
    for kill in range(kills):
        ready, told = os.pipe()
        pid = os.fork()
        if pid == 0:
            try:
                number = 1000 * (kill + 1)
                result = slow_to_save(number)
                os.write(told, b"-")
                while True:
                    result.save(out)
                    number += 1
                    result = slow_to_save(number)
            finally:
                os._exit(1)
        os.close(told)
        os.read(ready, 1)  # its first save begins
        os.close(ready)
        time.sleep(random.uniform(0, 2 * took))  # at any step of its first two saves
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        print(json.dumps(visible_tags(out)), flush=True)
""")


def test_a_save_killed_at_any_moment_leaves_one_whole_set(tmp_path):
    """A process saving again and again is killed (SIGKILL) at random moments;
    after each kill the folder holds one whole save, and the next save
    removes what the killed one left."""
    out = tmp_path / "out"
    script = tmp_path / "saver.py"
    script.write_text(_SAVER)
    kills = int(os.environ.get("KORVIT_SAVE_KILLS", "12"))
    done = subprocess.run(
        [sys.executable, script, out, str(kills), Path(__file__).parent],
        capture_output=True,
        text=True,
        timeout=600,
        env={**os.environ, "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"},
    )
    assert done.returncode == 0, done.stderr
    seen = [json.loads(line) for line in done.stdout.splitlines()]
    assert len(seen) == kills
    tags = [one_save(state) for state in seen]
    assert all(tag is not None for tag in tags)
    tagged_result(1).save(out)
    assert one_save(visible_tags(out)) == 1
    assert sorted(p.name for p in (out / STORE).iterdir()) == sorted(
        ["current", "lock", saved_folder(out).name]
    )
    assert not [p for p in out.iterdir() if p.name.endswith(".tmp")]


def test_the_command_line_keeps_the_users_files_beside_the_saves(tmp_path):
    """`korvit backtest --out DIR` twice: the second save replaces the first
    as a whole, a file of the user's stays, and the runs leave nothing but
    results (no working folder of the core, no empty log)."""
    strategy = Path(__file__).resolve().parent.parent / "examples" / "strategies" / "ma_cross.py"
    out = tmp_path / "out"
    out.mkdir()
    (out / "notes.txt").write_text("mine\n")
    for fast in (5, 8):
        done = subprocess.run(
            [
                sys.executable,
                "-m",
                "korvit",
                "backtest",
                strategy,
                "--out",
                out,
                "--param",
                f"fast={fast}",
                "--no-progress",
            ],
            capture_output=True,
            text=True,
            timeout=300,
        )
        assert done.returncode == 0, done.stderr
    assert not (out / "output").exists() and not (out / "log").exists()
    assert (out / "notes.txt").read_text() == "mine\n"
    saved = json.loads((out / "stats.json").read_text())
    assert saved["params"] == {"fast": 8, "slow": 30, "stop": 5, "size": 0.2}  # the file's defaults
    assert saved["params_defaulted"] == ["slow", "stop", "size"]
    assert pd.read_csv(out / "equity.csv").shape[0] > 0 and (out / "report.html").stat().st_size
    assert sorted(p.name for p in (out / STORE).iterdir()) == sorted(
        ["current", "lock", saved_folder(out).name]
    )
