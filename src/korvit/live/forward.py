"""A run whose bars arrive one time step at a time: the engine of paper trading.

``ForwardRun(test)`` sets up a ``Backtest`` (``test``, over the bars known when
it starts: the warm-up and the first live step) as ``Backtest.run`` does, then
deals each new step as the bar loop deals a bar (``loop.bar_stepper``: the same
steps in the same order), after appending it to the engine's matrix, the bars,
the forward-filled closes and the equity, and making the strategy's indicators
again over the bars so far.  The arrays keep room for more bars (doubled when
full, and always one column beyond the newest bar, as the engine's price lookups
clamp at the last column), so that nothing of the run reads a bar that has not
arrived.

A backtest knows its whole timeline; a forward run knows only the bars so far.
Two things a backtest reads of the timeline are therefore told by the steps:

- the last bar of a day, where day orders (``good_till="day"``) of intraday bars
  expire: a step says so (``day_end``); the replay of a file knows it as the
  backtest does; a live feed's step is the day's last when the next bar of its
  period would fall in another session of the calendar.  A day order whose day
  ended without such a bar expires before the next day's first bar is dealt,
  dated at the day's last bar.
- the calendar: named, or the feed's (a replayed file's is inferred from the
  whole file, as a backtest of it infers it), kept a year ahead of the bars.
"""

from __future__ import annotations

import contextlib
import heapq
import tempfile
import time
from pathlib import Path
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import numpy.typing as npt
import pandas as pd

import korvit.tframe.framekit as framekit
from korvit import indicators
from korvit.api.history import _history
from korvit.backtest import domain
from korvit.backtest.loop import (
    _ITEMS,
    _bar_view,
    _forward_filled,
    bar_stepper,
    connect_core,
    deal_bar,
    fresh_environment,
    load_run,
    restore_engine,
    user_warnings_on_stderr,
)
from korvit.backtest.output import build_result
from korvit.backtest.session import Session, close_session, current_session, open_session
from korvit.data.calendars import get_calendar
from korvit.tframe.sysdefine import GlobalDefine as gv
from korvit.tframe.uclass import KData
from korvit.tframe.utils.logger import LoggerManager

if TYPE_CHECKING:
    from korvit.backtest.results import BacktestResult
    from korvit.backtest.runner import Backtest

__all__ = ["ForwardRun", "PaperSession"]

# the last bar of a day order whose day's last bar is not known yet
_DAY_NOT_ENDED = 1 << 62
# how far the calendar reaches beyond the newest bar
_CALENDAR_AHEAD = pd.Timedelta(days=366)
_FIRST_ROOM = 1024


# the ticks of one step: target index -> (times, prices, volumes)
Ticks = dict[int, tuple[Any, Any, Any]]


class _TickBook(dict):  # type: ignore[type-arg]
    """The ticks given so far, by (target index, bar): what the tables' clock reads of
    a run's ticks, to date a fill decided on a tick by that tick."""


class PaperSession(Session):
    """The session of a forward run: a day order of intraday bars expires at the bar
    known to end its day (see the module's docstring)."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.day_end_bar = -1  # the newest bar known to be the last of its day
        self._day_orders: list[Any] = []  # day orders whose day's last bar is not known yet
        self._for_day = False  # the order placed next is a day order of that kind

    def last_bar(self, good_for: int | None = None, good_till: str | None = None) -> int | None:
        if good_till != "day" or self.bars.frequency == "day":
            return super().last_bar(good_for, good_till)
        placed = self.placing_bar
        last = None if good_for is None else placed + good_for
        if placed == self.day_end_bar:
            return placed if last is None else min(last, placed)
        self._for_day = True
        return _DAY_NOT_ENDED if last is None else last

    def expire_after(self, order: Any, last: int) -> None:
        if self._for_day:
            self._for_day = False
            self._day_orders.append(order)
            if last == _DAY_NOT_ENDED:
                return
        super().expire_after(order, last)

    def end_day(self, last: int) -> None:
        """The day of the pending day orders ends with bar ``last``: they expire once it
        is dealt (in the order they were placed, among the others by their last bar)."""
        for order in self._day_orders:
            heapq.heappush(self._expiries, (last, order.order_id, order))
        self._day_orders.clear()


class ForwardRun:
    """The run of ``test`` (set up over its bars so far), dealt a step at a time:
    ``start()`` runs ``init`` and deals the bars from ``test.first`` on; ``add(time,
    values, day_end)`` appends one time step and deals it; ``result()`` is the
    ``BacktestResult`` so far; ``close()`` ends the run (also as a context manager).
    ``room``: the bars the arrays have room for beyond the first ones (then doubled)."""

    def __init__(
        self, test: Backtest, calendar_name: str | None = None, room: int = _FIRST_ROOM
    ) -> None:
        self.test = test
        self._room = max(1, int(room))  # bars of room beyond the first ones, doubled when full
        self._stack = contextlib.ExitStack()
        self._calendar_name = calendar_name or test.calendar.name
        self.bars_dealt = 0  # the bars dealt so far (warm-up included), the next one's position

    # -------------------------------------------------------------- set-up
    def start(self, day_end: bool | None = None, ticks: Ticks | None = None) -> None:
        """Set the run up, run ``init`` and deal the bars from ``test.first`` on (the
        first live step; ``day_end`` and ``ticks`` as in ``add``)."""
        test, stack = self.test, self._stack
        if current_session() is not None:
            raise RuntimeError("a backtest is already running in this process")
        saved = (framekit.vr, framekit.env, framekit.smm, domain.smm)
        stack.callback(restore_engine, saved)
        work = Path(stack.enter_context(tempfile.TemporaryDirectory(prefix="korvit-paper-")))
        stack.callback(_history.clear)
        env = self.env = fresh_environment()
        socket = connect_core(stack, env, work, test.core)
        stack.callback(socket.disconnect)
        if test.output is not None:
            from korvit.backtest.runner import keep_logs

            stack.callback(keep_logs, work / "log", Path(test.output) / "log", [])
        stack.callback(LoggerManager.remove_log_handler)  # its file goes with the working folder
        stack.enter_context(user_warnings_on_stderr())
        if test.ticks is not None:
            raise ValueError("a forward run is given its ticks a step at a time, not before")
        session = self.session = cast(PaperSession, load_run(test, env, PaperSession))
        self._ticks = _TickBook()
        told: Any = test  # the run's ticks, as the tables' clock reads them
        told.ticks = self._ticks
        open_session(session)
        stack.callback(close_session)
        session.remakes = []
        self._extend_calendar(session.bars.times[-1])

        bars = session.bars
        n = len(bars.times)
        self._n_codes = len(bars.codes)
        # the engine's rows of each field (and of the turnover), code by code
        self._rows = [
            np.array([gv.bar_item_pos(item, target) for target in range(self._n_codes)])
            for item in (*_ITEMS, gv.KMatrix_TurnOver)
        ]
        self._times = np.empty(0, dtype="datetime64[ns]")
        self._closes = np.empty((self._n_codes, 0))
        self._new_day = None if not test.cancel_stale_orders else np.zeros(0, dtype=bool)
        self._equity = np.zeros((0, len(session.accounts), 4))
        self._reserve(n + self._room, n)
        self._times[:n] = bars.times.to_numpy().astype("datetime64[ns]")
        self._closes[:, :n] = _forward_filled(bars.values[:, :, 3])
        if self._new_day is not None:
            days = session.days()
            self._new_day[:n] = np.r_[False, days[1:] != days[:-1]]
            self._new_day[test.first : test.first + 1] = False
        self._show(n)
        context = env.vr.g_KorvitUserContext
        self._deal = env.smm.enter_phase(gv.RUMMODE_PHASE_DEAL_TRADE)(deal_bar)
        first = test.first
        if first:
            session.first = session.bar = first
            env.vr.g_KorvitSimCurBarFresh = first
            if self._new_day_at(first):  # init places at the warm-up's last bar: its day's last
                session.day_end_bar = first - 1
        env.vr.g_KorvitInputInfo.on_init_func(context)
        session.tell()
        session.started = True
        self._step = self._stepper(first)
        self.bars_dealt = first
        for t in range(first, n):
            last = t == n - 1
            if last and ticks:
                self._put_ticks(n - 1, ticks)
            self._deal_bar(
                t, (day_end if day_end is not None else self._last_of_day(t)) if last else False
            )

    def _stepper(self, t: int) -> Any:
        """The bar loop's step over the arrays as they are now, its equity rows from bar
        ``t``'s on."""
        session = self.session
        return bar_stepper(
            self.env,
            session,
            self.env.vr.g_KorvitUserContext,
            self._deal,
            self._closes,
            self._new_day,
            self._equity,
            row=(t - self.test.first) * len(session.accounts),
        )

    # -------------------------------------------------------------- growth
    def _reserve(self, room: int, n: int) -> None:
        """Room for ``room`` bars: the engine's matrix and the run's arrays, the first
        ``n`` bars copied."""
        env, vr, session = self.env, self.env.vr, self.session
        kdata = vr.g_KorvitKDataList[-1]
        matrix = env.generate_kmatrix_array(self._n_codes, room)
        matrix[:, :n] = kdata.Matrix[:, :n]
        vr.g_KorvitKDataList[-1] = KData(
            matrix,
            np.arange(room),
            Frequency=kdata.Frequency,
            FreNum=kdata.FreNum,
            BaseBegin=None if kdata.BaseBegin is None else np.arange(room),
        )
        vr.g_KorvitDataValueFresh = matrix[: gv.KMatrixPos_Head_len].copy()
        self._matrix = matrix
        self._view = _bar_view(matrix, self._n_codes, room)
        times = np.empty(room, dtype="datetime64[ns]")
        times[: len(self._times)] = self._times
        closes = np.full((self._n_codes, room), np.nan)
        closes[:, : self._closes.shape[1]] = self._closes
        first = self.test.first
        equity = np.zeros((room - first, len(session.accounts), 4))
        equity[: len(self._equity)] = self._equity
        self._times, self._closes, self._equity = times, closes, equity
        if self._new_day is not None:
            new_day = np.zeros(room, dtype=bool)
            new_day[: len(self._new_day)] = self._new_day
            self._new_day = new_day
        session.closes = closes

    def _show(self, n: int) -> None:
        """The run's bars are its first ``n``."""
        bars = self.session.bars
        bars.times = pd.DatetimeIndex(self._times[:n])
        bars.values = self._view[:, :n]

    def _extend_calendar(self, newest: pd.Timestamp) -> None:
        calendar = self.session.calendar
        assert calendar is not None
        if len(calendar.sessions) and newest + pd.Timedelta(days=31) < calendar.sessions[-1]:
            return
        first = self.session.bars.times[0]
        calendar = get_calendar(self._calendar_name, first, newest + _CALENDAR_AHEAD)
        self.session.calendar = self.test.calendar = calendar

    # -------------------------------------------------------------- steps
    def add(
        self,
        stamp: pd.Timestamp,
        values: npt.NDArray[np.float64],
        day_end: bool | None,
        ticks: Ticks | None = None,
    ) -> None:
        """Append the time step ``stamp`` (``values``: codes x (open, high, low, close,
        volume), NaN prices and volume 0 for a code without a bar) and deal it.
        ``day_end``: whether it is the last bar of its day (None: the calendar tells);
        ``ticks``: the ticks inside the step's bars, by target index (times, prices,
        volumes), where the bars cannot tell which stop triggered first."""
        session, t = self.session, self.bars_dealt
        if t > 0 and stamp <= pd.Timestamp(self._times[t - 1]):
            raise ValueError(
                f"bar time {stamp} is not after the last bar dealt, {pd.Timestamp(self._times[t - 1])}"
            )
        if t + 1 >= len(self._times):
            self._reserve(2 * len(self._times), t)
            self._step = self._stepper(t)
        self._extend_calendar(stamp)
        self._write(t, stamp, values)
        self._show(t + 1)
        if self._new_day is not None and t > self.test.first:
            self._new_day[t] = self._new_day_at(t)
        indicators.remake(session)
        if ticks:
            self._put_ticks(t, ticks)
        if day_end is None:
            day_end = self._last_of_day(t)
        self._deal_bar(t, day_end)

    def _write(self, t: int, stamp: pd.Timestamp, values: npt.NDArray[np.float64]) -> None:
        matrix, rows = self._matrix, self._rows
        for k in range(len(_ITEMS)):
            matrix[rows[k], t] = values[:, k]
        matrix[rows[-1], t] = np.nan_to_num(values[:, 3] * values[:, 4])
        seconds = (stamp.as_unit("ns").value // 1000) / 1e6
        matrix[gv.KMatrixPos_TimeLine, t] = seconds
        self.env.vr.g_KorvitDataValueFresh[gv.KMatrixPos_TimeLine, t] = seconds
        self._times[t] = stamp.as_unit("ns").to_datetime64()
        close = values[:, 3]
        self._closes[:, t] = (
            np.where(np.isnan(close), self._closes[:, t - 1], close) if t else close
        )

    def _put_ticks(self, t: int, ticks: Ticks) -> None:
        for target, (times, prices, volumes) in ticks.items():
            times = np.asarray(times, dtype="datetime64[ns]")
            seconds = times.astype("datetime64[us]").astype(np.int64) / 1e6
            _history.set_bar_tick_data(target, t, seconds, prices, volumes)
            self._ticks[target, t] = (
                times,
                np.asarray(prices, dtype=np.float64),
                np.asarray(volumes, dtype=np.float64),
            )

    def _last_of_day(self, t: int) -> bool:
        """Whether bar ``t`` ends its day by the calendar: the next bar of its period would
        lie in another session (outside every session: on another date)."""
        bars = self.session.bars
        if bars.interval is None:
            return True
        calendar = self.session.calendar
        assert calendar is not None
        here = pd.DatetimeIndex([self._times[t], self._times[t] + bars.interval.to_timedelta64()])
        sessions = calendar.session_of(here)
        if np.isnat(sessions[0]):
            days = calendar.day_of(here)
            return bool(days[0] != days[1])
        return bool(sessions[0] != sessions[1])

    def _new_day_at(self, t: int) -> bool:
        """Whether bar ``t`` begins another day (a session of the calendar) than bar ``t - 1``."""
        calendar = self.session.calendar
        assert calendar is not None
        days = calendar.day_of(self._times[t - 1 : t + 1], self.session.bars.frequency == "day")
        return bool(days[0] != days[1])

    def _deal_bar(self, t: int, day_end: bool) -> None:
        session = self.session
        if (
            session._day_orders
            and t > self.test.first
            and session.bars.interval is not None
            and self._new_day_at(t)
        ):
            # the day before ended without a bar known to end it: its day orders expire
            # now, dated at its last bar
            session.end_day(t - 1)
            session.bar = t - 1
            self.env.vr.g_KorvitSimCurBarFresh = t - 1
            session.expire(t - 1)
            session.tell()
        if day_end:
            session.day_end_bar = t
            session.end_day(t)
        self._step(t)
        self.bars_dealt = t + 1

    # -------------------------------------------------------------- results
    def result(self) -> BacktestResult:
        """The result of the bars dealt so far."""
        n = self.bars_dealt
        equity = self._equity[: n - self.test.first]
        started = time.perf_counter()
        result = build_result(self.test, self.env, self.session, equity)
        result.meta["timings"] = {"results_s": time.perf_counter() - started}
        return result

    def close(self) -> None:
        self._stack.close()

    def __enter__(self) -> ForwardRun:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
