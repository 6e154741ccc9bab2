"""Several timeframes in one run: the run's bars resampled along the calendar's sessions.

A timeframe is ``"Nmin"`` (or ``"Nh"``), ``"ND"`` (N sessions) or ``"NW"`` (N
calendar weeks, Monday to Sunday by session date).  Its periods follow the
run's calendar (``korvit.data.calendars``):

- ``"Nmin"``: bins anchored at each session's open, ``[open + k*N, open +
  (k+1)*N)``, the last one cut at the session's close; a bar (labelled by the
  end of its period) at ``t`` belongs to the bin holding ``t - 1 ns``;
- ``"ND"``: N consecutive sessions of the calendar, counted from the session
  of the run's first bar in a session;
- ``"NW"``: the sessions of N calendar weeks, counted from the week of that
  session.

A bar outside every session belongs to no period.  A period's values for a
code are its bars' open first, high max, low min, close last and volume sum,
over the code's own bars: a period in which the code has no bar does not
exist for that code.

A period ends at ``E``: the bin's end or the session's close, whichever
comes first; a day's session's close; the close of the last calendar session
of the period's last week.  It is revealed at the first bar of the run's
timeline that reaches ``E`` (an intraday bar at ``t`` reaches ``t``, a daily
bar its session's close; a daily bar outside every session its own time) and
never earlier, even when the data has no more bars of the period.

Everything here is worked out once per run and timeframe (and code), in
numpy, and kept in the session's cache of indicators.
"""

from __future__ import annotations

import re
from typing import TYPE_CHECKING, NamedTuple

import numpy as np
import numpy.typing as npt
import pandas as pd

from korvit.backtest.session import Session, TimeframeError
from korvit.data.calendars import Calendar, resolve_calendar

if TYPE_CHECKING:
    from korvit.data.bars import Bars

__all__ = [
    "Timeframe",
    "Resampled",
    "parse_timeframe",
    "timeframe_of",
    "session_timeframe",
    "resampled",
    "run_calendar",
]

_PATTERN = re.compile(r"([0-9]+)(min|h|d|w)", re.IGNORECASE)
_MAX_COUNT = 1_000_000  # minutes, sessions or weeks in one period: beyond any run
_NEVER = np.iinfo(np.int64).max  # the end of a period the calendar does not reach
_MINUTE_NS = 60 * 10**9
_DAY_NS = 86_400 * 10**9


class Timeframe(NamedTuple):
    """A parsed timeframe: ``length`` minutes ("min"), sessions ("D") or weeks ("W")."""

    length: int
    unit: str

    def __str__(self) -> str:
        return f"{self.length}{self.unit}"


def parse_timeframe(text: object) -> Timeframe:
    """``"15min"``, ``"1h"`` (60 minutes), ``"1D"``, ``"2W"`` as a ``Timeframe``;
    anything else refused in one line."""
    if not isinstance(text, str):
        raise TimeframeError(f"timeframe must be text like '60min', '1D' or '1W', got {text!r}")
    found = _PATTERN.fullmatch(text.strip())
    if found is None:
        raise TimeframeError(
            f"unknown timeframe {text!r}: use minutes, hours, sessions or weeks, "
            "like '5min', '1h', '1D' or '1W'"
        )
    count, unit = int(found[1]), found[2].lower()
    if unit == "h":
        count, unit = count * 60, "min"
    if not 1 <= count <= _MAX_COUNT:
        raise TimeframeError(f"timeframe {text!r} must count from 1 to {_MAX_COUNT:,}")
    return Timeframe(count, "min" if unit == "min" else unit.upper())


def timeframe_of(bars: Bars, text: object) -> Timeframe | None:
    """The timeframe ``text`` checked against the run's bars: None when there
    is nothing to resample (no timeframe, or the bars' own: "1D" on daily
    bars, the bars' interval on intraday ones)."""
    if text is None:
        return None
    frame = parse_timeframe(text)
    interval = bars.interval
    if interval is None:
        if frame.unit == "min":
            raise TimeframeError(
                f"timeframe {frame} is finer than the data's daily bars: use sessions or weeks "
                "('1D', '1W')"
            )
        return None if frame == (1, "D") else frame
    if frame.unit != "min":
        return frame
    step = pd.Timedelta(minutes=frame.length)
    if step < interval:
        raise TimeframeError(f"timeframe {frame} is finer than the data's {bars.kind}")
    if step % interval:
        raise TimeframeError(f"timeframe {frame} is not a multiple of the data's {bars.kind}")
    return None if step == interval else frame


_UNSET = object()


def session_timeframe(session: Session, text: object) -> Timeframe | None:
    """``timeframe_of`` the run's bars, checked once per run and text (a
    strategy asks for the same timeframe at every bar)."""
    if type(text) is not str:
        return timeframe_of(session.bars, text)
    key = ("timeframe", text)
    found = session.indicators.get(key, _UNSET)
    if found is _UNSET:
        found = session.indicators[key] = timeframe_of(session.bars, text)
    frame: Timeframe | None = found  # what was stored
    return frame


def run_calendar(session: Session) -> Calendar:
    """The run's calendar (``session.calendar``, set before ``init``); a session
    made outside a run gets the one a run would infer from its bars, made once."""
    calendar: Calendar | None = session.calendar
    if calendar is None:
        bars = session.bars
        calendar = resolve_calendar(None, list(bars.codes), bars.times, bars.frequency == "day")[0]
        session.calendar = calendar
    return calendar


class _Periods(NamedTuple):
    """The timeline's periods of one timeframe: ``ids[t]`` the period of bar t
    (-1 outside every session; increasing along the timeline), and of each
    period its end and the first bar revealing it (the timeline's length if
    none does)."""

    ids: npt.NDArray[np.int64]
    ends: npt.NDArray[np.int64]
    revealed: npt.NDArray[np.int64]


def _periods(bars: Bars, calendar: Calendar, frame: Timeframe) -> _Periods:
    daily = bars.interval is None
    stamps = bars.times.as_unit("ns")  # times of any resolution, as nanoseconds
    times = stamps.asi8
    sessions = calendar.session_of(stamps, daily=daily).astype("datetime64[ns]").view(np.int64)
    inside = ~np.isnat(sessions.view("datetime64[ns]"))
    session_ns = calendar.sessions.as_unit("ns").asi8
    opens, closes = calendar.opens.as_unit("ns").asi8, calendar.closes.as_unit("ns").asi8
    k = np.searchsorted(session_ns, sessions)  # each bar's session (meaningless outside)
    k = np.where(inside, k, 0)
    # what each bar reaches: an intraday bar its time, a daily bar its session's close
    reach = np.where(inside, closes[k], times) if daily else times.copy()
    reach = np.maximum.accumulate(reach) if len(reach) else reach
    where = np.flatnonzero(inside)
    k_in = k[where]
    if frame.unit == "min":
        width = frame.length * _MINUTE_NS
        bins = (times[where] - 1 - opens[k_in]) // width
        keys = np.stack([k_in, bins])
        ends_in = np.minimum(opens[k_in] + (bins + 1) * width, closes[k_in])
    else:
        first = int(k_in[0]) if len(k_in) else 0
        if frame.unit == "D":
            group = (k_in - first) // frame.length
            last = first + (group + 1) * frame.length - 1  # the period's last session
            known = last < len(session_ns)
        else:
            weeks = (session_ns // _DAY_NS + 3) // 7  # weeks since the Monday before 1970-01-01
            group = (weeks[k_in] - weeks[first]) // frame.length
            after = weeks[first] + (group + 1) * frame.length  # the week after the period's
            last = np.searchsorted(weeks, after) - 1
            known = last < len(session_ns) - 1  # a later week's session: the last one is known
        ends_in = np.where(known, closes[np.minimum(last, len(closes) - 1)], _NEVER)
        keys = group[np.newaxis]
    new = np.ones(len(where), dtype=bool)
    if len(where):
        new[1:] = (keys[:, 1:] != keys[:, :-1]).any(axis=0)
    ids = np.full(len(times), -1, dtype=np.int64)
    ids[where] = np.cumsum(new) - 1
    ends = ends_in[new]
    revealed = np.searchsorted(reach, ends, side="left").astype(np.int64)
    return _Periods(ids, ends, revealed)


class Resampled:
    """The periods of one code in one timeframe: ``ends`` (datetime64[ns]),
    ``values`` (periods x open, high, low, close, volume), ``revealed`` (the
    first bar at which each is finished, non-decreasing)."""

    __slots__ = ("ends", "values", "revealed", "_counts")

    def __init__(
        self,
        ends: npt.NDArray[np.datetime64],
        values: npt.NDArray[np.float64],
        revealed: npt.NDArray[np.int64],
    ) -> None:
        self.ends, self.values, self.revealed = ends, values, revealed
        self._counts: npt.NDArray[np.int64] | None = None

    def finished(self, bar: int) -> int:
        """The number of periods finished by bar ``bar`` (0 for a bar before the first)."""
        return int(np.searchsorted(self.revealed, bar, side="right")) if bar >= 0 else 0

    def on_timeline(self, values: npt.NDArray[np.float64], n_bars: int) -> npt.NDArray[np.float64]:
        """One value per period laid on the run's timeline: at each bar the value of
        the last period finished by then (NaN before the first)."""
        if self._counts is None:
            self._counts = np.searchsorted(self.revealed, np.arange(n_bars), side="right")
        counts = self._counts
        out = np.full(n_bars, np.nan)
        some = counts > 0
        out[some] = values[counts[some] - 1]
        return out


def resampled(session: Session, target: int, frame: Timeframe) -> Resampled:
    """The periods of the code ``target`` in ``frame``, made once per run."""
    cache = session.indicators
    key = ("resampled", frame, target)
    found: Resampled | None = cache.get(key)
    if found is not None:
        return found
    periods: _Periods | None = cache.get(("periods", frame))
    bars = session.bars
    if periods is None:
        periods = _periods(bars, run_calendar(session), frame)
        cache[("periods", frame)] = periods
    values = bars.values[target]
    at = np.flatnonzero(~np.isnan(values[:, 3]) & (periods.ids >= 0))
    ids = periods.ids[at]
    starts = np.flatnonzero(np.r_[True, ids[1:] != ids[:-1]]) if len(at) else at
    own = values[at]
    table = np.empty((len(starts), 5))
    if len(starts):
        table[:, 0] = own[starts, 0]
        table[:, 1] = np.maximum.reduceat(own[:, 1], starts)
        table[:, 2] = np.minimum.reduceat(own[:, 2], starts)
        table[:, 3] = own[np.r_[starts[1:], len(own)] - 1, 3]
        table[:, 4] = np.add.reduceat(own[:, 4], starts)
    table.flags.writeable = False
    mine = ids[starts]
    ends = periods.ends[mine].view("datetime64[ns]")
    made = Resampled(ends, table, periods.revealed[mine])
    cache[key] = made
    return made
