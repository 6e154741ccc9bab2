"""``paper``: a strategy run forward, on a feed's bars as they come, with fills on paper.

The strategy file, its callbacks and the strategy API are those of a backtest,
and each bar is dealt by the same engine with the same rules
(``korvit.live.forward``).  The run's folder holds:

- the result files of a backtest (equity, orders, trades, stops, round trips,
  statistics and report), written again as the run goes (at most every
  ``save_every`` seconds, and when it stops), each save atomic;
- ``journal.sqlite`` (``korvit.live.journal``): every step dealt, its fills
  and the state after it, one transaction a step.

Started again with the same folder, a run resumes after the last step its
journal holds: those steps are dealt again (nothing reaches the feed or the
folder meanwhile), the fills and the accounts checked against the journal, and
the feed goes on from there.  Ctrl-C stops after the step being dealt, saves,
and says how to resume.
"""

from __future__ import annotations

import contextlib
import hashlib
import math
import os
import signal
import threading
import time
from collections.abc import Iterator, Mapping
from pathlib import Path
from typing import Any, TextIO

import numpy as np
import pandas as pd

from korvit.backtest.runner import Backtest
from korvit.data import Bars
from korvit.live.feeds import Feed, Step, open_feed
from korvit.live.forward import ForwardRun
from korvit.live.journal import FILL_COLUMNS, Journal, JournalError, JournalStep

__all__ = ["paper", "PaperStopped"]

# the options of a backtest that a paper run takes as they are
PAPER_OPTIONS = (
    "contracts",
    "cash",
    "accounts",
    "params",
    "price_at_previous_close",
    "slippage",
    "cancel_unfilled_limits",
    "cancel_stale_orders",
    "fees",
    "stock_commission",
    "commission_rate",
    "stop_fill",
    "limit_fill",
    "default_lot_size",
    "core",
    "calendar",
    "benchmark",
)


# the longest a feed is asked to wait at a time: how soon Ctrl-C is heard while waiting
_LISTEN = 0.5
# the least seconds between two status lines written to a file (not a terminal)
_LOG_EVERY = 10.0


class PaperStopped(Exception):
    """A paper run stopped before its feed ended (Ctrl-C, a feed that stopped): the
    journal holds every step dealt, and the same call resumes."""

    def __init__(self, message: str, result: Any = None) -> None:
        super().__init__(message)
        self.result = result


def paper(
    strategy: str | os.PathLike[str],
    feed: str | Feed,
    out: str | os.PathLike[str],
    *,
    warmup: int = 0,
    speed: float = 0.0,
    feed_timeout: float = 300.0,
    stall_every: float = 60.0,
    save_every: float = 2.0,
    status: TextIO | None = None,
    clock: Any = None,
    feed_options: Mapping[str, Any] | None = None,
    **options: Any,
) -> Any:
    """Run ``strategy`` (a strategy file) forward on ``feed`` (a ``Feed`` or its text:
    ``replay:PATH``, ``ccxt:EXCHANGE:SYMBOL:TIMEFRAME``, ``module:Class``), its outputs
    and journal in ``out``; returns the ``BacktestResult`` when the feed ends (a replay).

    ``warmup``: bars of history before the first live one; ``speed``: steps a second of
    a replay (0: as fast as it can); ``feed_timeout``: seconds without a bar after which
    the run stops (``PaperStopped``), a line on ``status`` every ``stall_every``
    seconds meanwhile; ``save_every``: the least seconds between saves of the outputs;
    ``status``: where the status line goes (None: nowhere); ``feed_options``: what
    ``open_feed`` passes on to the feed (a replay's ``ticks=`` file).  The other options are a
    backtest's (``korvit.backtest.Backtest``) that do not choose bars: contracts,
    cash, accounts, params, the fill rules, fees, core, calendar and benchmark."""
    unknown = sorted(set(options) - set(PAPER_OPTIONS))
    if unknown:
        raise TypeError(
            f"paper() got an option it does not take: {unknown[0]} (it takes {', '.join(PAPER_OPTIONS)})"
        )
    for name, value in (
        ("feed_timeout", feed_timeout),
        ("stall_every", stall_every),
        ("save_every", save_every),
    ):
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not value > 0:
            raise ValueError(f"{name} must be a number of seconds above 0, got {value!r}")
    if not isinstance(warmup, int) or isinstance(warmup, bool) or warmup < 0:
        raise ValueError(f"warmup must be a whole number of bars, 0 or more, got {warmup!r}")
    path = Path(strategy)
    if not path.is_file():
        raise FileNotFoundError(f"{strategy}: no such strategy file")
    if isinstance(feed, str):
        given = dict(feed_options or {})
        if feed.startswith("replay:") and options.get("calendar"):
            given.setdefault("calendar", options["calendar"])  # the days its steps end
        opened = open_feed(feed, speed=speed, warmup=warmup, clock=clock, **given)
    else:
        opened = feed
    try:
        return _Paper(
            path, opened, Path(out), warmup, feed_timeout, stall_every, save_every, status, options
        ).run()
    finally:
        opened.close()


class _Paper:
    def __init__(
        self,
        path: Path,
        feed: Feed,
        out: Path,
        warmup: int,
        feed_timeout: float,
        stall_every: float,
        save_every: float,
        status: TextIO | None,
        options: Mapping[str, Any],
    ) -> None:
        self.path, self.feed, self.out = path, feed, out
        self.warmup, self.feed_timeout, self.stall_every = warmup, feed_timeout, stall_every
        self.save_every, self.status, self.options = save_every, status, dict(options)
        self.codes = list(feed.codes)
        self._index = {code.upper(): k for k, code in enumerate(self.codes)}
        self.run_: ForwardRun | None = None
        self.journal = Journal(out, self._identity())
        self._saved_at = -math.inf
        self._trades = 0  # the trades journaled so far
        self._last: pd.Timestamp | None = None
        self._interrupted = False
        self._told_at = -math.inf

    def _identity(self) -> dict[str, Any]:
        """What makes the run this run: a journal of another is refused."""
        shown = {k: v for k, v in sorted(self.options.items()) if k != "core"}
        return {
            "strategy": hashlib.sha256(self.path.read_bytes()).hexdigest(),
            "strategy_file": self.path.name,
            "feed": self.feed.name,
            "codes": self.codes,
            "frequency": self.feed.frequency,
            "interval": None if self.feed.interval is None else str(self.feed.interval),
            "warmup": self.warmup,
            "options": {k: _fingerprint(v) for k, v in shown.items()},
        }

    # -------------------------------------------------------------- the run
    def run(self) -> Any:
        with self._interrupts_between_steps():
            return self._run()

    def _run(self) -> Any:
        try:
            steps = list(self.journal.steps())
            if not steps:
                steps = self._history()
            warm = [s for s in steps if not s.live]
            live = [s for s in steps if s.live]
            resumed = bool(live)
            if not live:
                first = self._wait()
                if first is None:
                    return None
                live = [first]
            self._start(warm, live[0], journal=not resumed)
            for step in live[1:]:  # a resumed run: the journaled steps dealt again
                assert self.run_ is not None
                self.run_.add(step.time, step.values, step.day_end, step.ticks)
            if resumed:
                self._check_resumed(len(live))
            self._last = live[-1].time
            self.feed.resume_after(self._last)
            self._save(force=True)
            while True:
                coming = self._wait()
                if coming is None:
                    break
                self._deal(coming)
                self._save()
                self._heed_interrupt()
            self._save(force=True)
            return self._result()
        except KeyboardInterrupt:
            raise PaperStopped(
                self._stopped_line("stopped (Ctrl-C)"), self._result_or_none()
            ) from None
        finally:
            if self.run_ is not None:
                self.run_.close()
            self.journal.close()

    def _history(self) -> list[JournalStep]:
        if not self.warmup:
            return []
        bars = self.feed.history(self.warmup)
        if bars is None or not len(bars.times):
            return []
        steps = [
            JournalStep(
                pd.Timestamp(bars.times[t]),
                False,
                None,
                self._values_of(list(bars.codes), bars.values[:, t]),
            )
            for t in range(len(bars.times))
        ]
        self.journal.history(steps)
        return steps

    def _wait(self) -> JournalStep | None:
        """The next live step of the feed, or None once it has ended; a line every
        ``stall_every`` seconds without one, ``PaperStopped`` after ``feed_timeout``.
        The feed is asked for at most half a second at a time, so that Ctrl-C is heard."""
        waited, told = 0.0, 0.0
        while True:
            self._heed_interrupt()
            if self.feed.done:
                return None
            timeout = min(_LISTEN, self.feed_timeout - waited)
            step = self.feed.next(timeout)
            if step is not None:
                return self._checked(step)
            if self.feed.done:
                return None
            waited += timeout
            if waited >= self.feed_timeout - 1e-9:
                raise PaperStopped(
                    self._stopped_line(f"the feed {self.feed.name} gave no bar for {waited:g} s"),
                    self._result_or_none(),
                )
            if waited - told >= self.stall_every - 1e-9:
                told = waited
                self._line(
                    f"no bar from {self.feed.name} for {waited:g} s "
                    f"(waiting up to {self.feed_timeout:g} s)"
                )

    def _heed_interrupt(self) -> None:
        """Stop here, between steps, if Ctrl-C was pressed."""
        if self._interrupted:
            raise KeyboardInterrupt

    @contextlib.contextmanager
    def _interrupts_between_steps(self) -> Iterator[None]:
        """Ctrl-C (SIGINT) stops the run between two steps, never inside one; a second
        Ctrl-C stops it at once."""
        if threading.current_thread() is not threading.main_thread():
            yield
            return

        def heard(signum: int, frame: Any) -> None:
            if self._interrupted:
                raise KeyboardInterrupt
            self._interrupted = True

        previous = signal.signal(signal.SIGINT, heard)
        try:
            yield
        finally:
            signal.signal(signal.SIGINT, previous)

    def _checked(self, step: Step) -> JournalStep:
        if self._last is not None and step.time <= self._last:
            raise ValueError(
                f"the feed {self.feed.name} gave a bar at {step.time}, not after the last one dealt "
                f"({self._last}): bars must come in order, each time once"
            )
        day_end = getattr(step, "day_end", None)
        ticks = getattr(step, "ticks", None)
        if ticks:
            ticks = {self._position(code): tuple(one) for code, one in ticks.items()}
        return JournalStep(
            step.time, True, day_end, self._values_of(step.codes, step.values), ticks or None
        )

    def _position(self, code: str) -> int:
        at = self._index.get(str(code).upper())
        if at is None:
            raise ValueError(
                f"the feed {self.feed.name} gave a bar of {code}, which is not one of its codes"
            )
        return at

    def _values_of(self, codes: list[str], values: Any) -> np.ndarray:
        """The step's bars on the run's codes: NaN prices and volume 0 for a code without a bar."""
        out = np.full((len(self.codes), 5), np.nan)
        out[:, 4] = 0.0
        values = np.asarray(values, dtype=np.float64)
        for k, code in enumerate(codes):
            at = self._index.get(str(code).upper())
            if at is None:
                raise ValueError(
                    f"the feed {self.feed.name} gave a bar of {code}, which is not one of its codes"
                )
            out[at] = values[k]
        return out

    def _start(self, warm: list[JournalStep], first: JournalStep, journal: bool) -> None:
        steps = [*warm, first]
        times = pd.DatetimeIndex([s.time for s in steps])
        values = np.stack([s.values for s in steps], axis=1)
        bars = Bars(
            self.codes,
            times,
            values,
            self.feed.frequency,
            source=self.feed.name,
            interval=self.feed.interval,
        )
        options = dict(self.options)
        calendar = options.pop("calendar", None) or getattr(self.feed, "calendar", None)
        test = Backtest(
            str(self.path),
            bars,
            start=first.time if warm else None,
            warmup=len(warm),
            calendar=calendar,
            output=self.out,
            progress=False,
            **options,
        )
        test.warn_of_no_contract()
        self.run_ = ForwardRun(test)
        self.run_.start(first.day_end, first.ticks)
        if journal:
            self._journal(first)
        else:
            self._trades = len(self.run_.env.vr.g_KVTrades)

    def _deal(self, step: JournalStep) -> None:
        assert self.run_ is not None
        self.run_.add(step.time, step.values, step.day_end, step.ticks)
        self._journal(step)
        self._last = step.time
        self._show_status(step)

    # -------------------------------------------------------------- journal
    def _journal(self, step: JournalStep) -> None:
        fills = self._new_fills(step.time)
        self.journal.dealt(
            step, fills, self._state(), self.run_.env.vr.g_KorvitUserContext if self.run_ else None
        )
        self._trades += len(fills)

    def _new_fills(self, at: pd.Timestamp) -> pd.DataFrame:
        """The fills since the last step journaled, dated at the bar dealt."""
        from korvit.backtest.records import trades_frame

        assert self.run_ is not None
        trades = self.run_.env.vr.g_KVTrades
        made = list(trades)[self._trades :]
        frame = trades_frame(made, self.run_.session)
        frame["time"] = at
        fills: pd.DataFrame = frame[list(FILL_COLUMNS)]
        return fills

    def _state(self) -> dict[str, Any]:
        assert self.run_ is not None
        run = self.run_
        session, vr = run.session, run.env.vr
        row = run.bars_dealt - 1 - run.test.first
        accounts = {}
        for k, (name, account) in enumerate(zip(session.account_names, session.accounts)):
            cash, _, _, equity = (float(x) for x in run._equity[row, k])
            held = {
                session.codes[int(target)]: float(position.position_long - position.position_short)
                for target, position in account._positions.items()
                if position is not None and (position.position_long or position.position_short)
            }
            accounts[name] = {"cash": cash, "equity": equity, "positions": held}
        orders = sorted(int(o.order_id) for o in vr.g_KVOrders.snap_obj("unfilled"))
        stops = sorted(int(s.stop_order_id) for s in vr.g_KVStopOrders.snap_obj("unfired"))
        return {"accounts": accounts, "orders": orders, "stops": stops}

    def _check_resumed(self, n_live: int) -> None:
        """The steps dealt again gave the journal's fills and accounts."""
        assert self.run_ is not None
        journaled = self.journal.fills()
        trades = self.run_.env.vr.g_KVTrades
        again = len(list(trades))
        state = self.journal.last_state()
        mine = self._state()
        if again != len(journaled) or (state is not None and state["accounts"] != mine["accounts"]):
            raise JournalError(
                f"{self.journal.path}: dealt again, the journal's {n_live} bars give "
                f"{again} fills, the journal holds {len(journaled)}"
                + ("" if again != len(journaled) else " (the accounts differ)")
                + ": the strategy depends on something else than its bars (the clock, a file, "
                "chance without a seed); remove the journal to start afresh"
            )
        self._trades = again

    # -------------------------------------------------------------- outputs
    def _result(self) -> Any:
        assert self.run_ is not None
        return self.run_.result()

    def _result_or_none(self) -> Any:
        try:
            if self.run_ is None:
                return None
            self._save(force=True)
            return self._result()
        except Exception:  # stopping: what could be saved was
            return None

    def _save(self, force: bool = False) -> None:
        now = time.monotonic()
        if self.run_ is None or (not force and now - self._saved_at < self.save_every):
            return
        self._result().save(self.out)
        self._saved_at = now

    def _stopped_line(self, why: str) -> str:
        last = "no bar dealt" if self._last is None else f"the last bar dealt {self._last}"
        return f"{why}: {last}; the journal is {self.journal.path}; run the same command to resume"

    def _show_status(self, step: JournalStep) -> None:
        if self.status is None or self.run_ is None:
            return
        state = self._state()
        equity = sum(a["equity"] for a in state["accounts"].values())
        held = sum(len(a["positions"]) for a in state["accounts"].values())
        lag = pd.Timestamp.now(tz="UTC").tz_localize(None) - step.time
        self._line(
            f"{step.time}  equity {equity:,.2f}  positions {held}  orders {len(state['orders'])}  "
            f"bars {self.run_.bars_dealt}  lag {_lag(lag)}",
            transient=True,
        )

    def _line(self, text: str, transient: bool = False) -> None:
        if self.status is None:
            return
        tty = getattr(self.status, "isatty", lambda: False)()
        if transient and tty:
            self.status.write("\r\x1b[K" + text)
        elif transient:  # a log file: a line at most every ten seconds
            now = time.monotonic()
            if now - self._told_at < _LOG_EVERY:
                return
            self._told_at = now
            self.status.write(f"korvit: {text}\n")
        else:
            self.status.write(("\r\x1b[K" if tty else "") + f"korvit: {text}\n")
        self.status.flush()


def _fingerprint(value: Any) -> str:
    """An option as the journal tells runs apart by it: a file by its contents (a
    contract table moved or named otherwise is the same), anything else as written."""
    if isinstance(value, (str, os.PathLike)) and Path(value).is_file():
        return "file " + hashlib.sha256(Path(value).read_bytes()).hexdigest()
    return repr(value)


def _lag(delta: pd.Timedelta) -> str:
    seconds = delta.total_seconds()
    if abs(seconds) < 120:
        return f"{seconds:.1f} s"
    if abs(seconds) < 7200:
        return f"{seconds / 60:.1f} min"
    return f"{seconds / 3600:.1f} h" if abs(seconds) < 172800 else f"{seconds / 86400:.0f} d"
