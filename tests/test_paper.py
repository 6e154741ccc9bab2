"""Paper trading gives a backtest's fills.

- A forward run (bars appended one step at a time) against the backtest of the same
  bars: random strategies (market, limit, stop entries, protective stops, day orders
  and expiries on minute bars that change day, two accounts, a warm-up), every table
  bit for bit and the callbacks in the same order.
- ``korvit paper`` over a replayed file against ``korvit backtest`` of it, also when
  killed with SIGKILL twice and started again with the same command.
- Faults of the feed and of the journal: each stops in one line, and the journal
  resumes to the backtest's fills.

Long runs: ``KORVIT_PAPER_CASES=300``.
"""

import os
import random
import signal
import sqlite3
import subprocess
import sys
import time

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from support import korvit
from test_loop_compiled import CONTRACTS, bars, strategy

from korvit.backtest.runner import Backtest
from korvit.data import Bars, load_bars, sample_path
from korvit.live.feeds import Feed, Step
from korvit.live.forward import ForwardRun
from korvit.live.journal import Journal, JournalError
from korvit.live.run import PaperStopped, paper

CASES = int(os.environ.get("KORVIT_PAPER_CASES", "20"))
pytestmark = pytest.mark.filterwarnings("ignore::UserWarning")
TABLES = ("equity", "orders", "trades", "stops")
FILLS = ["time", "code", "side", "volume", "price"]


def day_ends(data, calendar):
    days = calendar.day_of(data.times, data.frequency == "day")
    return np.r_[days[1:] != days[:-1], True]


@settings(max_examples=CASES, deadline=None)
@given(
    seed=st.integers(0, 2**32 - 1),
    n=st.integers(2, 40),
    minutes=st.booleans(),
    warm=st.integers(0, 5),
    room=st.integers(1, 8),
)
def test_a_forward_run_gives_the_backtest_of_its_bars(seed, n, minutes, warm, room):
    data = load_bars(bars(seed, n, minutes))
    warm = min(warm, n - 1)
    options = dict(
        contracts=CONTRACTS,
        accounts={"a": 100_000.0, "b": 50_000},
        cancel_stale_orders=minutes,
        progress=False,
    )
    start = {"start": data.times[warm], "warmup": warm} if warm else {}
    log = []
    test = Backtest(strategy(seed, log), data, **start, **options)
    expected = test.run()
    ends = day_ends(data, test.calendar)

    forward_log = []
    head = Bars(data.codes, data.times[: warm + 1], data.values[:, : warm + 1], data.frequency)
    test = Backtest(
        strategy(seed, forward_log), head, calendar=test.calendar.name, **start, **options
    )
    with ForwardRun(test, room=room) as run:  # its arrays grow a few times
        run.start(bool(ends[warm]))
        for t in range(warm + 1, n):
            run.add(data.times[t], data.values[:, t], bool(ends[t]))
        got = run.result()
    for name in TABLES:
        pd.testing.assert_frame_equal(getattr(got, name), getattr(expected, name), check_exact=True)
    assert forward_log == log


def journal_steps(out):
    try:
        with sqlite3.connect(out / "journal.sqlite") as db:
            return db.execute("SELECT COUNT(*) FROM steps").fetchone()[0]
    except sqlite3.Error:
        return 0


def test_the_command_gives_the_backtests_fills_also_when_killed_and_started_again(tmp_path):
    strategy_file = "examples/strategies/ma_cross.py"
    assert (
        korvit("backtest", strategy_file, "--out", tmp_path / "bt", "--no-progress").returncode == 0
    )
    expected = pd.read_csv(tmp_path / "bt" / "trades.csv")[FILLS]

    once = korvit(
        "paper",
        strategy_file,
        "--feed",
        "replay:sample:daily.csv",
        "--speed",
        "0",
        "--out",
        tmp_path / "p",
    )
    assert once.returncode == 0, once.stderr
    pd.testing.assert_frame_equal(pd.read_csv(tmp_path / "p" / "trades.csv")[FILLS], expected)

    out = tmp_path / "k"
    command = [
        sys.executable,
        "-m",
        "korvit",
        "paper",
        strategy_file,
        "--feed",
        "replay:sample:daily.csv",
        "--speed",
        "200",
        "--out",
        str(out),
        "--no-status",
    ]
    rng = random.Random(3)
    for sent in (signal.SIGINT, signal.SIGKILL, signal.SIGKILL):  # Ctrl-C, then killed twice
        at = journal_steps(out) + rng.randrange(20, 120)
        process = subprocess.Popen(
            command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True
        )
        deadline = time.monotonic() + 60
        while journal_steps(out) < at and process.poll() is None and time.monotonic() < deadline:
            time.sleep(0.01)
        process.send_signal(sent)
        told = process.communicate()[1]
        if sent == signal.SIGINT:
            assert process.returncode == 130 and "run the same command to resume" in told
            assert len(pd.read_csv(out / "equity.csv")) == journal_steps(out)  # saved as it stopped
    assert 0 < journal_steps(out) < 500
    last = subprocess.run(command, capture_output=True, text=True, timeout=300)
    assert last.returncode == 0, last.stderr
    pd.testing.assert_frame_equal(pd.read_csv(out / "trades.csv")[FILLS], expected)


def test_the_command_on_minute_bars_with_ticks_gives_the_backtests_fills(tmp_path):
    strategy_file = "examples/strategies/futures_breakout.py"
    data = ["--data", "sample:minute.csv", "--ticks", "sample:ticks.csv"]
    done = korvit(
        "backtest",
        strategy_file,
        *data,
        "--contracts",
        "sample:contracts.csv",
        "--out",
        tmp_path / "bt",
        "--no-progress",
    )
    assert done.returncode == 0, done.stderr
    paper_run = korvit(
        "paper",
        strategy_file,
        "--feed",
        "replay:sample:minute.csv",
        "--ticks",
        "sample:ticks.csv",
        "--speed",
        "0",
        "--out",
        tmp_path / "p",
        "--no-status",
    )
    assert paper_run.returncode == 0, paper_run.stderr
    for table in ("trades", "orders", "stops", "equity"):
        pd.testing.assert_frame_equal(
            pd.read_csv(tmp_path / "p" / f"{table}.csv"),
            pd.read_csv(tmp_path / "bt" / f"{table}.csv"),
        )


class Scripted(Feed):
    """The sample's daily bars as steps, with a fault at step ``at``."""

    def __init__(self, fault=None, at=30):
        self.data = load_bars(sample_path("daily.csv"))
        self.name, self.codes = "scripted", list(self.data.codes)
        self.frequency, self.interval = self.data.frequency, None
        self.fault, self.at, self.pos = fault, at, 0

    def next(self, timeout):
        t, self.pos = self.pos, self.pos + 1
        if t == self.at and self.fault == "stall":
            self.pos = t  # nothing comes any more
            return None
        if t == self.at and self.fault in ("back", "again"):
            t -= 2 if self.fault == "back" else 1
        if t == self.at and self.fault == "stranger":
            return Step(self.data.times[t], ["XX.NOPE"], self.data.values[:1, t])
        if t >= len(self.data.times):
            self.done = True
            return None
        return Step(self.data.times[t], self.codes, self.data.values[:, t])

    def resume_after(self, when):
        self.pos = int(self.data.times.searchsorted(when, side="right"))


@pytest.mark.parametrize(
    "fault, error, words",
    [
        ("back", ValueError, "not after the last one dealt"),
        ("again", ValueError, "each time once"),
        ("stall", PaperStopped, "gave no bar for 3 s"),
        ("stranger", ValueError, "XX.NOPE, which is not one of its codes"),
        ("disk full", JournalError, "database or disk is full"),
    ],
)
def test_a_fault_stops_in_one_line_and_the_journal_resumes(
    tmp_path, monkeypatch, fault, error, words
):
    contracts = str(sample_path("contracts.csv"))
    expected = Backtest(
        "examples/strategies/ma_cross.py",
        sample_path("daily.csv"),
        contracts=contracts,
        progress=False,
    ).run()
    if fault == "disk full":  # the journal's file may not grow beyond its size after 40 steps
        opened = Journal.__init__

        def small(self, *args):
            opened(self, *args)
            self._db.execute("PRAGMA max_page_count = 40")

        monkeypatch.setattr(Journal, "__init__", small)
    with pytest.raises(error) as caught:
        paper(
            "examples/strategies/ma_cross.py",
            Scripted(fault),
            tmp_path,
            contracts=contracts,
            feed_timeout=3,
            stall_every=1,
        )
    assert words in str(caught.value) and "\n" not in str(caught.value)
    monkeypatch.undo()
    dealt = journal_steps(tmp_path)
    assert 0 < dealt < len(expected.equity)
    resumed = paper("examples/strategies/ma_cross.py", Scripted(), tmp_path, contracts=contracts)
    pd.testing.assert_frame_equal(resumed.trades[FILLS], expected.trades[FILLS])


def test_a_journal_of_another_strategy_is_refused(tmp_path):
    contracts = str(sample_path("contracts.csv"))
    with pytest.raises(PaperStopped):
        paper(
            "examples/strategies/ma_cross.py",
            Scripted("stall", at=5),
            tmp_path,
            contracts=contracts,
            feed_timeout=1,
            stall_every=1,
        )
    with pytest.raises(JournalError, match="journal of another run: strategy .* there, .* here"):
        paper("examples/strategies/breakout.py", Scripted(), tmp_path, contracts=contracts)
