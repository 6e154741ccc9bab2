"""Trading calendars: which days are sessions, when each opens and closes.

A run trades on one calendar.  It is named by ``calendar=`` (``--calendar``):
an exchange of the ``exchange-calendars`` package ("XNYS", "XSHG", "XHKG",
"CMES", or one of its aliases such as "NYSE"), ``"24/7"`` (every day, midnight
to midnight: crypto), or ``"weekdays"`` (Monday to Friday, midnight to
midnight, no holidays known).  ``infer_calendar`` picks one when none is named.

Bar times are read as the exchange's local clock (the calendar's time zone),
without a zone, as the data files write them; intraday bars are labelled by
the end of their period, so a bar belongs to the session ``s`` when
``open(s) < time <= close(s)``.  Daily bars are labelled by their session's
date.

``Calendar.sessions_between``, ``Calendar.bounds`` and ``Calendar.session_of``
are what resampling, "day" orders, the data check and annualisation build on;
``Calendar.day_of`` is the day a bar counts in (its session, else its date),
``resolve_calendar`` the run's calendar with why it was chosen, and
``data_check`` the line on sessions without bars and bars outside sessions.

The package ``exchange_calendars`` takes most of a second to import: it is
imported only when an exchange is named, or when the codes' prefix is one of
the names it knows (``EXCHANGE_NAMES``, its names and aliases, kept here).
"""

from __future__ import annotations

import difflib
import functools
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from korvit.data.errors import DataError

__all__ = [
    "Calendar",
    "get_calendar",
    "infer_calendar",
    "resolve_calendar",
    "calendar_line",
    "data_check",
    "ALWAYS_OPEN",
    "WEEKDAYS",
    "EXCHANGE_NAMES",
]

ALWAYS_OPEN = "24/7"
WEEKDAYS = "weekdays"
_DAY = np.timedelta64(1, "D").astype("timedelta64[ns]")
# A day's bars with no exchange known: the usual count of trading days in a year.
_WEEKDAY_SESSIONS_PER_YEAR = 252.0
# Sessions are built this far beyond the data (a week's end, a day order's session).
_MARGIN = pd.Timedelta(days=14)
# The names and aliases exchange-calendars 4.x knows (upper-cased), so that a code's
# prefix that names none of them costs no import of the package; a test holds this
# list to the installed package's.
EXCHANGE_NAMES = frozenset(
    [
        "24/5",
        "24/7",
        "AIXK",
        "ARCX",
        "ASEX",
        "ASX",
        "BATS",
        "BMF",
        "BSE",
        "BVB",
        "BVMF",
        "CBOT",
        "CFE",
        "CME",
        "CMES",
        "COMEX",
        "FWB",
        "HKEX",
        "ICE",
        "ICEUS",
        "IEPA",
        "JKT",
        "JPX",
        "LSE",
        "LUXSE",
        "NASDAQ",
        "NYFE",
        "NYMEX",
        "NYSE",
        "OOTC",
        "OSE",
        "SIX",
        "SSE",
        "TASE",
        "TSX",
        "XAMS",
        "XASE",
        "XASX",
        "XBDA",
        "XBEL",
        "XBKK",
        "XBOG",
        "XBOM",
        "XBRA",
        "XBRU",
        "XBSE",
        "XBUD",
        "XBUE",
        "XCBF",
        "XCSE",
        "XCYS",
        "XDFM",
        "XDUB",
        "XDUS",
        "XEEE",
        "XETR",
        "XEUR",
        "XFRA",
        "XHAM",
        "XHEL",
        "XHKG",
        "XICE",
        "XIDX",
        "XIST",
        "XJSE",
        "XKAR",
        "XKLS",
        "XKRX",
        "XLIM",
        "XLIS",
        "XLIT",
        "XLJU",
        "XLON",
        "XLUX",
        "XMAD",
        "XMEX",
        "XMIL",
        "XMOS",
        "XNAS",
        "XNYS",
        "XNZE",
        "XOSL",
        "XPAR",
        "XPHS",
        "XPRA",
        "XRIS",
        "XSAU",
        "XSES",
        "XSGO",
        "XSHG",
        "XSTO",
        "XSTU",
        "XSWX",
        "XTAE",
        "XTAI",
        "XTAL",
        "XTKS",
        "XTSE",
        "XTSX",
        "XWAR",
        "XWBO",
        "XZAG",
        "US_FUTURES",
    ]
)
# Examples named in the data check's line, for each kind of disagreement.
_EXAMPLES = 3


@dataclass(frozen=True)
class Calendar:
    """A trading calendar over a range of dates.

    name
        "24/7", "weekdays" or the exchange's code ("XNYS").
    sessions
        The session dates (``DatetimeIndex`` at midnight, no zone), sorted.
    opens, closes
        The open and close of each session on the exchange's local clock (no
        zone); for "24/7" and "weekdays" the session's midnight and the next.
    sessions_per_year
        What annualises daily figures: 365 for "24/7", 252 for "weekdays",
        else the exchange's sessions per year over the whole years the range
        spans.
    """

    name: str
    sessions: pd.DatetimeIndex
    opens: pd.DatetimeIndex
    closes: pd.DatetimeIndex
    sessions_per_year: float
    _session_ns: npt.NDArray[np.int64] = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        # in nanoseconds whatever unit they came in (pandas keeps s, ms, us too), as
        # session_of compares the bars' times in nanoseconds with them
        for name in ("sessions", "opens", "closes"):
            object.__setattr__(self, name, _ns(getattr(self, name)))
        object.__setattr__(self, "_session_ns", self.sessions.asi8)

    @property
    def is_always_open(self) -> bool:
        return self.name == ALWAYS_OPEN

    def sessions_between(self, first: Any, last: Any) -> pd.DatetimeIndex:
        """The sessions whose dates lie in ``[first, last]`` (dates, times ignored)."""
        lo, hi = pd.Timestamp(first).normalize(), pd.Timestamp(last).normalize()
        return self.sessions[(self.sessions >= lo) & (self.sessions <= hi)]

    def bounds(self, sessions: Any) -> tuple[pd.DatetimeIndex, pd.DatetimeIndex]:
        """(open, close) of each of ``sessions`` (which must be sessions)."""
        where = self.sessions.get_indexer(pd.DatetimeIndex(sessions))
        if (where < 0).any():
            raise KeyError(f"not a session of {self.name}: {sessions[where < 0][0]}")
        return self.opens[where], self.closes[where]

    def session_of(self, times: Any, daily: bool = False) -> npt.NDArray[np.datetime64]:
        """The session of each bar time (datetime64[ns], NaT for a bar outside
        every session).  Intraday bars (``daily`` False) are labelled by the end
        of their period: ``open < time <= close``; daily bars by their date."""
        t = _ns(times).asi8
        out = np.full(len(t), np.datetime64("NaT", "ns"), dtype="datetime64[ns]")
        if daily:
            day = _ns(times).normalize().asi8
            k = np.searchsorted(self._session_ns, day)
            k = np.minimum(k, len(self._session_ns) - 1)
            hit = (self._session_ns[k] == day) & (day == t) if len(self._session_ns) else k < 0
            out[hit] = self._session_ns[k[hit]].view("datetime64[ns]")
            return out
        opens, closes = self.opens.asi8, self.closes.asi8
        k = np.searchsorted(opens, t, side="left") - 1  # the last session opening before t
        ok = k >= 0
        k = np.maximum(k, 0)
        ok &= t <= closes[k] if len(closes) else ok
        out[ok] = self._session_ns[k[ok]].view("datetime64[ns]")
        return out

    def day_of(self, times: Any, daily: bool = False) -> npt.NDArray[np.datetime64]:
        """The day each bar counts in (for day orders, daily returns): its
        session (``session_of``), and for a bar outside every session its own
        date, so that no bar is without a day."""
        out = self.session_of(times, daily)
        outside = np.isnat(out)
        if outside.any():
            out[outside] = _ns(times)[outside].normalize().to_numpy()
        return out


def _ns(times: Any) -> pd.DatetimeIndex:
    """``times`` as a DatetimeIndex in nanoseconds, without a frequency."""
    index = pd.DatetimeIndex(times).as_unit("ns")
    return pd.DatetimeIndex(index.asi8.view("datetime64[ns]"))


def _exchange_names() -> dict[str, str]:
    """Every name the package knows (aliases included), upper-cased, to itself."""
    import exchange_calendars as xcals

    return {name.upper(): name for name in xcals.get_calendar_names(include_aliases=True)}


@functools.lru_cache(maxsize=16)  # a sweep's runs, a notebook's: built once per range
def _midnight_calendar(name: str, first: pd.Timestamp, last: pd.Timestamp) -> Calendar:
    if first.tz is None and last.tz is None:
        # the dates from first to last (weekdays: Monday to Friday), made by numpy at once
        day = np.timedelta64(1, "D")
        days: Any = np.arange(first.to_datetime64(), last.to_datetime64() + day, day)
        days = days.astype("datetime64[D]")
        if name != ALWAYS_OPEN:
            days = days[np.is_busday(days)]
    else:
        days = pd.date_range(first, last, freq="D" if name == ALWAYS_OPEN else "B")
    sessions = _ns(days)  # no freq: plain dates
    per_year = 365.0 if name == ALWAYS_OPEN else _WEEKDAY_SESSIONS_PER_YEAR
    return Calendar(name, sessions, sessions, sessions + pd.Timedelta(days=1), per_year)


def get_calendar(name: object, first: Any, last: Any) -> Calendar:
    """The calendar ``name`` with its sessions from ``first`` to ``last``
    (dates; a margin is added either side).  An unknown name is refused with
    the closest known names."""
    if not isinstance(name, str) or not name.strip():
        raise DataError(f"calendar must be an exchange name, '24/7' or 'weekdays', got {name!r}")
    text = name.strip()
    lo = pd.Timestamp(first).normalize() - _MARGIN
    hi = pd.Timestamp(last).normalize() + _MARGIN
    if text.lower() in (ALWAYS_OPEN, WEEKDAYS):
        return _midnight_calendar(text.lower(), lo, hi)
    known = _exchange_names()
    found = known.get(text.upper())
    if found is None:
        choices = [ALWAYS_OPEN, WEEKDAYS, *known.values()]
        close = difflib.get_close_matches(text.upper(), [c.upper() for c in choices], n=3)
        named = [next(c for c in choices if c.upper() == u) for u in close]
        hint = f"; closest: {', '.join(named)}" if named else ""
        raise DataError(
            f"unknown calendar {text!r}: use an exchange of exchange-calendars "
            f"(XNYS, XSHG, ...), '24/7' or 'weekdays'{hint}"
        )
    return _exchange_calendar(found, lo, hi)


@functools.lru_cache(maxsize=16)  # a sweep's runs, a notebook's: built once per range
def _exchange_calendar(name: str, lo: pd.Timestamp, hi: pd.Timestamp) -> Calendar:
    import exchange_calendars as xcals

    # Whole years when the package covers them (they set the sessions per year), else the range.
    ranges = [(pd.Timestamp(lo.year, 1, 1), pd.Timestamp(hi.year, 12, 31)), (lo, hi)]
    for k, (start, end) in enumerate(ranges):
        try:
            cal = xcals.get_calendar(name, start=start, end=end)
            break
        except Exception as exc:  # the package's own bound errors, worded its way
            if k == len(ranges) - 1:
                first = str(exc).strip().splitlines()[0]
                raise DataError(
                    f"calendar {name} cannot cover {lo.date()} .. {hi.date()}: {first}"
                ) from None
    tz = str(cal.tz)
    opens = pd.DatetimeIndex(cal.opens.dt.tz_convert(tz).dt.tz_localize(None).to_numpy())
    closes = pd.DatetimeIndex(cal.closes.dt.tz_convert(tz).dt.tz_localize(None).to_numpy())
    sessions = _ns(cal.sessions)
    years = sessions.year
    per_year = len(sessions) / max(1, int(years.max()) - int(years.min()) + 1)
    return Calendar(cal.name, sessions, opens, closes, float(per_year))


def infer_calendar(codes: list[str], times: pd.DatetimeIndex, daily: bool) -> tuple[str, str]:
    """(calendar name, why) for bars of ``codes`` at ``times`` when none is named:
    "24/7" when a bar falls on a weekend; else the exchange that every code's
    prefix (the text before its first ".") names, when the package knows it;
    else "weekdays"."""
    stamps = times if daily else times - pd.Timedelta(1, "ns")
    if len(stamps) and (pd.DatetimeIndex(stamps).day_of_week >= 5).any():
        return ALWAYS_OPEN, "bars on weekends"
    prefixes = {code.partition(".")[0].upper() for code in codes if "." in code}
    if len(prefixes) == 1 and len(codes) == sum("." in c for c in codes):
        prefix = prefixes.pop()
        found = _exchange_names().get(prefix) if prefix in EXCHANGE_NAMES else None
        if found is not None:
            return found, f"the codes' prefix {prefix}"
    return WEEKDAYS, "no exchange named or known from the codes"


def resolve_calendar(
    name: object, codes: list[str], times: pd.DatetimeIndex, daily: bool
) -> tuple[Calendar, str]:
    """The calendar of a run over bars of ``codes`` at ``times``, and why it
    is the one: ``name`` when given (refused when unknown or when it cannot
    cover the bars), else ``infer_calendar``'s choice; an inferred exchange
    that cannot cover the bars gives way to "weekdays"."""
    times = pd.DatetimeIndex(times)
    first, last = (times[0], times[-1]) if len(times) else (pd.Timestamp("2000-01-01"),) * 2
    if name is not None:
        return get_calendar(name, first, last), "named"
    inferred, why = infer_calendar(codes, times, daily)
    if inferred == WEEKDAYS:
        return get_calendar(inferred, first, last), why
    try:
        return get_calendar(inferred, first, last), f"inferred from {why}"
    except DataError:
        return get_calendar(
            WEEKDAYS, first, last
        ), f"{why} names {inferred}, which cannot cover the bars"


def _count(value: float) -> str:
    return f"{value:,.1f}".removesuffix(".0")


def calendar_line(calendar: Calendar, why: str) -> str:
    """ "XNYS, 252.3 sessions a year (inferred from the codes' prefix NYSE)"."""
    return f"{calendar.name}, {_count(calendar.sessions_per_year)} sessions a year ({why})"


def _examples(stamps: Any, count: int, dates: bool) -> str:
    shown = [
        ts.strftime("%Y-%m-%d" if dates else "%Y-%m-%d %H:%M:%S").removesuffix(":00")
        for ts in pd.DatetimeIndex(stamps[:_EXAMPLES])
    ]
    return ", ".join(shown) + (f" and {count - _EXAMPLES:,d} more" if count > _EXAMPLES else "")


def data_check(calendar: Calendar, times: Any, daily: bool = False) -> str | None:
    """What the bars at ``times`` (every code's) and ``calendar`` disagree on,
    in one line: the sessions from the first bar's to the last bar's without
    any bar, and the bar times outside every session, each counted with the
    first examples; None when they agree.  "weekdays" knows no holidays: only
    its bars outside sessions (on weekends) are told."""
    times = pd.DatetimeIndex(times)
    if not len(times):
        return None
    sessions = calendar.session_of(times, daily)
    outside = np.isnat(sessions)
    parts = []
    if calendar.name != WEEKDAYS and not outside.all():
        have = pd.DatetimeIndex(np.unique(sessions[~outside]))
        between = calendar.sessions[
            (calendar.sessions >= have[0]) & (calendar.sessions <= have[-1])
        ]
        missing = between[~between.isin(have)]
        if len(missing):
            n = len(missing)
            parts.append(
                f"{n:,d} session{'s' if n != 1 else ''} without a bar "
                f"({_examples(missing, n, True)})"
            )
    if outside.any():
        n = int(outside.sum())
        parts.append(
            f"{n:,d} bar time{'s' if n != 1 else ''} outside every session "
            f"({_examples(times[outside], n, daily)})"
        )
    if not parts:
        return None
    return f"the bars and the calendar {calendar.name} disagree: {'; '.join(parts)}"
