"""Bars: open, high, low, close and volume of each code on one shared timeline."""

from __future__ import annotations

import copy
import datetime
import os
import warnings
from collections.abc import Iterable, Sequence
from typing import Any, Literal, TypeAlias

import numpy as np
import numpy.typing as npt
import pandas as pd

from korvit.data._kept import MAX_BYTES, Kept, file_key
from korvit.data._table import (
    ADJ_CLOSE,
    check_date_format,
    check_zone,
    first_rows,
    fmt_num,
    fmt_time,
    read_table,
)
from korvit.data.errors import DataError, DataWarning, check_code
from korvit.data.folders import is_folder, read_folder
from korvit.data.limits import MAX_PRICE, MAX_VOLUME

__all__ = ["Bars", "load_bars", "FIELDS", "FREQUENCIES"]

FIELDS = ("open", "high", "low", "close", "volume")
FREQUENCIES = ("day", "minute")
Frequency: TypeAlias = Literal["day", "minute"]
TimeLike: TypeAlias = "str | datetime.datetime | datetime.date | np.datetime64 | pd.Timestamp"
"""A time as ``start``/``end`` take it: anything pandas reads as a time."""
BarSource: TypeAlias = "str | os.PathLike[str] | pd.DataFrame"
"""A source of bars: a CSV or Parquet path, or a DataFrame."""
_NS_LOW, _NS_HIGH = pd.Timestamp.min, pd.Timestamp.max
_PRICES = FIELDS[:4]
_ONE_MINUTE = pd.Timedelta(minutes=1)
# Adjusted prices are rounded to the finest price step a contract may have (limits.MIN_MOVE_LOW):
# a price like 22.999999999999996 would otherwise be stepped down a whole cent.
_ADJUSTED_DECIMALS = 8
_CHUNK = 1 << 20  # rows a step, where a whole column of a large load would be a copy too many


class Bars:
    """The bars of a run.

    codes
        The codes as written, in the order asked for with ``codes=`` or else in order of
        first appearance in the source.
    times
        The run's timeline: the sorted union of all codes' bar times (``DatetimeIndex``).
    values
        float64 array of shape (len(codes), len(times), 5) holding open, high, low, close
        and volume.  Where a code has no bar at a time of the timeline the prices are NaN
        and the volume 0.
    frequency
        "day" or "minute" (any intraday bars).
    interval
        The length of an intraday bar's period (``pd.Timedelta``; one minute unless
        given), None for daily bars.  A bar is labelled by the end of its period.
    source
        The source, as named in messages.
    """

    codes: list[str]
    times: pd.DatetimeIndex
    values: npt.NDArray[np.float64]
    frequency: Frequency
    interval: pd.Timedelta | None
    source: str

    def __init__(
        self,
        codes: Iterable[object],
        times: Any,
        values: npt.ArrayLike,
        frequency: Frequency,
        source: str = "bars",
        interval: pd.Timedelta | str | datetime.timedelta | None = None,
    ) -> None:
        codes = code_list = [str(code) for code in codes]
        times = pd.DatetimeIndex(times)
        values = array = np.asarray(values, dtype=np.float64)
        if values.shape != (len(codes), len(times), len(FIELDS)):
            raise ValueError(
                f"bar values have shape {values.shape}, expected "
                f"{(len(codes), len(times), len(FIELDS))}"
            )
        if frequency not in FREQUENCIES:
            raise ValueError(f"frequency {frequency!r} is not one of {', '.join(FREQUENCIES)}")
        if not times.is_monotonic_increasing or not times.is_unique:
            raise ValueError("bar times must be sorted and unique")
        if frequency == "day":
            if interval is not None:
                raise ValueError("daily bars have no interval")
        else:
            interval = _ONE_MINUTE if interval is None else pd.Timedelta(interval)
            if not interval > pd.Timedelta(0):
                raise ValueError(f"the interval of intraday bars must be positive, got {interval}")
        keys = [code.upper() for code in codes]
        if len(set(keys)) != len(keys):
            raise ValueError(f"codes given twice: {codes}")
        self.codes = code_list
        self.times = times
        self.values = array
        self.frequency = frequency
        self.interval = interval  # type: ignore[assignment]  # a Timedelta or None by now
        self.source = source
        self._index = {key: i for i, key in enumerate(keys)}

    def __len__(self) -> int:
        return len(self.times)

    def __repr__(self) -> str:
        span = f"{fmt_time(self.times[0])} .. {fmt_time(self.times[-1])}" if len(self) else "empty"
        return (
            f"Bars({len(self.codes)} codes, {len(self)} {self.frequency} bars, {span}, "
            f"source={self.source!r})"
        )

    @property
    def kind(self) -> str:
        """What the bars are, in words: "daily bars", "minute bars", "60-minute bars",
        "30-second bars"."""
        return bars_kind(self.interval)

    @property
    def minutes(self) -> int | None:
        """Whole minutes in an intraday bar's period (1 for bars shorter than a minute or
        not a whole number of minutes), None for daily bars: the engine's bar size."""
        if self.interval is None:
            return None
        minutes, rest = divmod(self.interval, _ONE_MINUTE)
        return int(minutes) if minutes >= 1 and not rest else 1

    def index_of(self, code: str) -> int:
        """The position of `code` in `codes` (case ignored)."""
        try:
            return self._index[str(code).strip().upper()]
        except KeyError:
            raise KeyError(
                f"unknown code {code!r}: the bars hold {', '.join(self.codes)}"
            ) from None

    @property
    def present(self) -> npt.NDArray[np.bool_]:
        """Boolean array (codes, times): whether the code has a bar at that time."""
        present: npt.NDArray[np.bool_] = ~np.isnan(self.values[:, :, 3])
        return present

    def to_frame(self) -> pd.DataFrame:
        """The bars as a long DataFrame (time, code and the fields), code by code, each
        in time order; times where a code has no bar are left out."""
        code_pos, time_pos = np.nonzero(self.present)
        frame = pd.DataFrame(
            {"time": self.times[time_pos], "code": np.array(self.codes, dtype=object)[code_pos]}
        )
        for k, name in enumerate(FIELDS):
            frame[name] = self.values[code_pos, time_pos, k]
        out: pd.DataFrame = frame
        return out


def load_bars(
    source: BarSource | Sequence[BarSource],
    *,
    frequency: Frequency | None = None,
    start: TimeLike | None = None,
    end: TimeLike | None = None,
    codes: str | Iterable[str] | None = None,
    tz: str | datetime.tzinfo | None = None,
    code: str | Sequence[str] | None = None,
    adjust: bool = False,
    date_format: str | None = None,
    bar_time: Literal["end", "start"] = "end",
) -> Bars:
    """Read, check and align bars.

    source
        A DataFrame, a CSV or Parquet path, or a list of them (concatenated in order).
        Long format: columns time, code, open, high, low, close, volume (names ignore
        case, "datetime" or "date" may name the time column, an unnamed first column
        holds the times when no column is named so, other columns are ignored).
        Wide format: columns a two-level (code, field) MultiIndex with the time as index;
        as CSV, two header rows (code, then field) and the time in the first column.  The
        format is detected.
    frequency
        "day" or "minute"; inferred when None: "day" if all times are at midnight or every
        code has at most one bar per calendar date, "minute" otherwise.  The period of
        intraday bars (`Bars.interval`) is the most common step between two bars of a
        code on one day: 1, 5, 15, 60 minutes...
    start, end
        Keep bars from `start` to `end`, both included (anything pandas reads as a time).
        An `end` without a time of day keeps the whole of that day.
    codes
        Keep these codes, in this order (case ignored); each must have bars between
        `start` and `end`.  Without `codes`, the codes with bars between `start` and `end`
        are kept, in order of first appearance.
    tz
        A time zone ("Asia/Shanghai", "America/New_York", "UTC"): times written with a
        UTC offset (and `start`, `end` with one) are converted to its wall time, times
        without one are taken as its wall time.  Without `tz` times keep their wall time,
        and times written with different offsets are refused.
    code
        The code (EXCHANGE.SYMBOL) of a source without a code column, e.g. a vendor's
        export of one stock; a list gives one per source.  A source with codes of its
        own is refused.
    adjust
        Scale each bar by its adjusted close (column "Adj Close", "adj_close", ...): open,
        high, low and close are multiplied by adj close / close (and rounded to 1e-8),
        the volume divided by it, so that a bar's traded value stays.  Without `adjust`
        the adjusted close is ignored, with a warning.
    date_format
        The strftime format of times written as text ("%d/%m/%Y", "%m/%d/%Y %H:%M").
        Without it, dates written day and month first (01/09/2004) are read in the order
        the source proves (some first number above 12: day first; some second number
        above 12: month first); a source where no date tells is refused.
    bar_time
        What the time of an intraday bar marks: "end" (korvit's bars: the bar labelled
        10:00 covers the period up to 10:00) or "start" (as many vendors export them: the
        bar written 09:00 covers 09:00 to 10:00); bars labelled by their start are moved
        to the end of their period (by `Bars.interval`).  `start` and `end` are compared
        with the times as written.  Daily bars stay as they are.

    The whole source is checked before anything is trimmed; every problem raises a
    `DataError` naming file, row and column.  Bars with volume 0 load, with one
    `DataWarning` counting them.
    """
    options: dict[str, Any] = dict(
        frequency=frequency,
        start=start,
        end=end,
        codes=codes,
        tz=tz,
        code=code,
        adjust=adjust,
        date_format=date_format,
        bar_time=bar_time,
    )
    key = file_key(source, options.items())
    if key is None:
        bars = _load_bars(source, **options)
        give_back(_freed(bars))
        return bars
    found: Bars | None = _LOADED.get(key)
    if found is None:
        with warnings.catch_warnings(record=True) as caught:
            found = _load_bars(source, **options)
        give_back(_freed(found))
        for shown in caught:  # the warnings go on as they came (the filters have had their say)
            warnings.showwarning(
                shown.message, shown.category, shown.filename, shown.lineno, shown.file, shown.line
            )
        if caught:  # a load that warns warns every time: not kept
            return found
        if found.values.nbytes > MAX_BYTES:  # a compressed file of many bars: held once
            return found
        _LOADED.put(key, found)
    return _copy_of(found)


# Below this many bytes let go, what a load frees is kept for the next allocations: handing
# it back would only cost the system's calls and the page faults of taking it again.
GIVE_BACK_FROM = 16 << 20


def give_back(freed: int | None = None) -> None:
    """Hand the memory a load freed back to the system: the C heap's free pages (glibc)
    and those pyarrow's pool keeps for later reads; not when the load says it let go of
    ``freed`` bytes, fewer than ``GIVE_BACK_FROM``."""
    if freed is not None and freed < GIVE_BACK_FROM:
        return
    import sys

    arrow = sys.modules.get("pyarrow")
    if arrow is not None:
        arrow.default_memory_pool().release_unused()
    try:
        import ctypes

        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):  # not glibc
        pass


def _freed(bars: Bars) -> int:
    """What a load of ``bars`` let go of, about: its table held each bar's fields and
    more (times, codes, rows), so at least as many bytes as the bars' values."""
    return int(bars.values.nbytes)


# The bars of the files read last (see korvit.data._kept); each caller gets its own values.
_LOADED = Kept()


def _copy_of(bars: Bars) -> Bars:
    """``bars`` with their own codes and values (the times are immutable)."""
    out = copy.copy(bars)
    out.codes, out.values, out._index = list(bars.codes), bars.values.copy(), dict(bars._index)
    return out


def _load_bars(
    source: Any,
    *,
    frequency: Frequency | None,
    start: Any,
    end: Any,
    codes: str | Iterable[str] | None,
    tz: Any,
    code: Any,
    adjust: object,
    date_format: str | None,
    bar_time: object,
) -> Bars:
    """``load_bars`` itself (its warnings name the line that called ``load_bars``)."""
    if frequency is not None and frequency not in FREQUENCIES:
        raise ValueError(f"frequency {frequency!r} is not one of {', '.join(FREQUENCIES)}")
    tz = check_zone(tz)
    if not isinstance(bar_time, str) or bar_time not in ("end", "start"):
        raise ValueError(
            f"bar_time must be 'end' or 'start' (what an intraday bar's time marks), "
            f"got {bar_time!r}"
        )
    code = check_code_option(code)
    date_format = check_date_format(date_format)
    if not isinstance(adjust, (bool, np.bool_)):
        raise TypeError(f"adjust must be True or False, got {adjust!r}")
    lo, hi = _bounds(start, end, tz, date_format)
    wanted = None
    if codes is not None:
        wanted = [
            check_code(code, "codes")
            for code in ([codes] if isinstance(codes, str) else list(codes))
        ]
    if is_folder(source):
        if code is not None:
            raise DataError(
                f"{os.fspath(source)}: code= (--code) names the code of a file without a code column; the files "
                "of a folder are named by their codes"
            )
        table = read_folder(source, FIELDS, (ADJ_CLOSE,), lo, hi, wanted)
    else:
        table = read_table(source, FIELDS, allow_wide=True, optional=(ADJ_CLOSE,), code=code)
    if not len(table):
        raise DataError(f"{table.name}: no bars")
    labels, spelled = table.code_labels()  # each row's code, as the first of its spelling
    key_of, key_list = pd.factorize(np.array([code.upper() for code in spelled], dtype=object))
    # each row's code key, numbered in order of first appearance (small integers: the
    # arrays of a row each are what a large load holds most of)
    small = np.int32 if len(spelled) < 2**31 else np.intp
    labels = labels.astype(small)
    ids = key_of.astype(small)[labels]
    times = table.times(tz, date_format)
    # the fields as five columns, each let go once placed among the codes' bars
    data = []
    for name in FIELDS:
        positive, high = (True, MAX_PRICE) if name in _PRICES else (False, MAX_VOLUME)
        data.append(np.asarray(table.numbers(name, positive=positive, high=high), np.float64))
    # the fields and times are read now: the table keeps what its messages name (the codes)
    table.frame = table.frame.drop(columns=[*FIELDS, "time"])
    give_back(len(table) * 8 * (len(FIELDS) + 1))
    _check_ranges(table, data)
    if adjust:
        data = _adjusted(table, data)
    elif ADJ_CLOSE in table.frame and table.frame[ADJ_CLOSE].notna().any():
        pos = int(np.flatnonzero(table.frame[ADJ_CLOSE].notna().to_numpy())[0])
        label = table.origins[table.org[pos]].labels.get(ADJ_CLOSE, ADJ_CLOSE)
        warnings.warn(
            DataWarning(
                f"{table.name}: column {label!r} is ignored: the bars keep the prices as written; "
                "load them with adjust=True (--adjust) to scale each bar by its adjusted close"
            ),
            stacklevel=3,
        )
    order = _check_order(table, ids, times)
    asked = frequency
    frequency = _frequency(table, ids, times, order, frequency)
    if asked != "minute":
        _stray_clock(table, times, frequency)
    interval = _interval(ids, times, order) if frequency == "minute" else None
    del order
    key_index = {key: k for k, key in enumerate(key_list)}

    keep = np.ones(len(table), dtype=bool)
    if lo is not None:
        keep &= times >= lo
    if hi is not None:
        keep &= times <= hi
    if wanted is not None:
        unknown = [code for code in wanted if code.upper() not in key_index]
        if unknown:
            found = dict(zip(key_of.tolist(), spelled))  # the last spelling of each
            raise DataError(
                f"{table.name}: no bars of {', '.join(map(repr, unknown))} "
                f"(codes found: {', '.join(found.values())})"
            )
        keep &= np.isin(ids, [key_index[code.upper()] for code in wanted])
        code_keys = list(dict.fromkeys(key_index[code.upper()] for code in wanted))
    else:
        code_keys = list(range(len(key_list)))
    if not keep.any():
        span = f"{fmt_time(times.min())} .. {fmt_time(times.max())}"
        raise DataError(
            f"{table.name}: no bars left between {start or 'the start'} and "
            f"{end or 'the end'} (the data runs {span})"
        )

    rows = None  # the kept rows' positions in the table, when some are left out
    if not keep.all():
        rows = np.flatnonzero(keep)
        ids, labels, times = ids[rows], labels[rows], times[rows]
        for k, column in enumerate(data):
            data[k] = column[rows]
    del keep
    if bar_time == "start" and interval is not None:
        step = interval.to_timedelta64().astype("timedelta64[ns]")
        late = np.zeros(len(table), dtype=bool)
        late[slice(None) if rows is None else rows] = times > (_NS_HIGH - interval).to_datetime64()
        table.fail(
            late,
            "time",
            lambda p: (
                f"moved to the end of its period ({bars_kind(interval)[:-1]}), the bar would lie beyond "
                f"{fmt_time(_NS_HIGH.floor('D'))}"
            ),
        )
        times = times + step
    present, firsts = first_rows(ids, len(key_list))
    left = set(present.tolist())
    if wanted is not None and len(left) < len(code_keys):
        gone = [code for code in wanted if key_index[code.upper()] not in left]
        raise DataError(
            f"{table.name}: no bars of {', '.join(map(repr, gone))} between "
            f"{start or 'the start'} and {end or 'the end'}"
        )
    code_keys = [key for key in code_keys if key in left]
    first_written = {key: spelled[labels[at]] for key, at in zip(present.tolist(), firsts)}
    timeline = np.unique(times)
    idle = np.flatnonzero(data[4] == 0)
    # each row's place among the codes' bars, made in one array: code x times + time
    position = np.full(len(key_list), -1, dtype=np.intp)
    position[code_keys] = np.arange(len(code_keys))
    at = position[ids]
    at *= len(timeline)
    for row in range(0, len(at), _CHUNK):  # the times' places a slice at a time
        at[row : row + _CHUNK] += np.searchsorted(timeline, times[row : row + _CHUNK])
    # Held field by field (the array a (codes, times, fields) view of it): each field's
    # plane is filled, then its column let go, so the columns and the bars are not all
    # in memory at once.
    planes = np.empty((len(FIELDS), len(code_keys), len(timeline)))
    for k in range(len(FIELDS)):
        plane = planes[k].reshape(-1)
        plane.fill(0.0 if k == 4 else np.nan)
        plane[at] = data.pop(0)  # the column, let go once placed
        give_back(len(at) * 8)
    del at
    values = planes.transpose(1, 2, 0)

    if idle.size:
        first = idle[0]
        warnings.warn(
            DataWarning(
                f"{table.name}: {idle.size} bar{'s' if idle.size > 1 else ''} with volume 0, the "
                f"first {spelled[labels[first]]} at {fmt_time(times[first])} "
                f"({table.where(first if rows is None else rows[first])}): "
                "the engine treats a bar without volume as not "
                "traded: orders wait"
            ),
            stacklevel=3,
        )
    return Bars(
        [first_written[key] for key in code_keys], timeline, values, frequency, table.name, interval
    )


def bars_kind(interval: pd.Timedelta | None) -> str:
    """Bars of `interval` (None: daily bars) in words: "daily bars", "minute bars",
    "60-minute bars", "30-second bars"."""
    if interval is None:
        return "daily bars"
    if interval == _ONE_MINUTE:
        return "minute bars"
    minutes, rest = divmod(interval, _ONE_MINUTE)
    if not rest:
        return f"{minutes}-minute bars"
    seconds, rest = divmod(interval, pd.Timedelta(seconds=1))
    return f"{seconds}-second bars" if not rest else f"{interval} bars"


def check_code_option(code: object) -> str | list[Any] | None:
    """`code=` checked: None, a code, or a list of codes (one per source)."""
    if code is None:
        return None
    if isinstance(code, (list, tuple)):
        if not code:
            raise ValueError("code is an empty list: give a code, or one per source")
        return [check_code_option(one) for one in code]
    if not isinstance(code, str):
        raise TypeError(f"code must be text like 'NASDAQ.GOOG' (or one per source), got {code!r}")
    return check_code(code)


def _adjusted(table: Any, data: list[npt.NDArray[np.float64]]) -> list[npt.NDArray[np.float64]]:
    """The bars scaled by their adjusted close: prices times adj close / close (rounded
    to 1e-8), volumes divided by it."""
    if ADJ_CLOSE not in table.frame:
        raise DataError(
            f"{table.name}: adjust=True (--adjust) scales the bars by their adjusted "
            "close, and the data has no adjusted close column ('Adj Close')"
        )
    adj = table.numbers(ADJ_CLOSE, positive=True, high=MAX_PRICE)
    close = data[3]
    out = [np.round(data[k] * adj / close, _ADJUSTED_DECIMALS) for k in range(4)]
    out.append(data[4] * close / adj)
    for k, name in enumerate(FIELDS):
        high = MAX_VOLUME if name == "volume" else MAX_PRICE
        table.fail(
            out[k] > high,
            ADJ_CLOSE,
            lambda p, k=k, name=name, high=high: (
                f"adjusted by adj close / close = {fmt_num(adj[p])} / {fmt_num(close[p])}, the {name} "
                f"{fmt_num(data[k][p])} becomes {fmt_num(out[k][p])}, above {fmt_num(high)}, the largest "
                f"{name} korvit accepts"
            ),
        )
    table.fail(
        np.logical_or.reduce([price <= 0 for price in out[:4]]),
        ADJ_CLOSE,
        lambda p: (
            f"adjusted by adj close / close = {fmt_num(adj[p])} / {fmt_num(close[p])}, the low "
            f"{fmt_num(data[2][p])} becomes {fmt_num(out[2][p])}: adjusted prices must stay above 0"
        ),
    )
    return out


def _interval(
    keys: npt.NDArray[Any], times: npt.NDArray[np.datetime64], order: npt.NDArray[np.intp]
) -> pd.Timedelta:
    """The period of intraday bars: the most common step between two bars of a code on
    one day (the shortest of equally common ones); one minute when no code has two bars
    on a day."""
    codes = keys[order]
    ordered = times[order]
    days = ordered.astype("datetime64[D]")
    same_day = (codes[1:] == codes[:-1]) & (days[1:] == days[:-1])
    steps = np.diff(ordered.astype(np.int64))[same_day]
    steps = steps[steps > 0]
    if not steps.size:
        return _ONE_MINUTE  # type: ignore[no-any-return]  # pandas-stubs' Timedelta() is Any
    values, counts = np.unique(steps, return_counts=True)
    common: pd.Timedelta = pd.Timedelta(int(values[counts.argmax()]), "ns")
    return common


def _check_ranges(table: Any, data: list[npt.NDArray[np.float64]]) -> None:
    high, low = data[1], data[2]
    table.fail(
        high < low, "high", lambda p: f"high {fmt_num(high[p])} is below low {fmt_num(low[p])}"
    )
    for k, name in ((0, "open"), (3, "close")):
        v = data[k]
        table.fail(
            (v < low) | (v > high),
            name,
            lambda p, v=v, name=name: (
                f"{name} {fmt_num(v[p])} is outside "
                f"[low, high] = [{fmt_num(low[p])}, {fmt_num(high[p])}]"
            ),
        )


def _check_order(
    table: Any, keys: npt.NDArray[Any], times: npt.NDArray[np.datetime64]
) -> npt.NDArray[np.intp]:
    """Positions sorted by code then time; fails on unsorted or duplicate times in a code.
    ``keys`` numbers the codes (any integers: only equality counts)."""
    order = np.argsort(keys, kind="stable")  # each code's rows in file order
    codes = keys[order]
    same = codes[1:] == codes[:-1]
    del codes
    step = np.diff(times[order].view(np.int64))
    bad = np.zeros(len(times), dtype=bool)
    bad[order[1:][same & (step <= 0)]] = True
    if bad.any():
        earlier = {int(order[i + 1]): int(order[i]) for i in np.flatnonzero(same & (step <= 0))}

        def describe(pos: int) -> str:
            prev = earlier[pos]
            what = "the same time as" if times[pos] == times[prev] else "earlier than"
            return (
                f"{table.frame['code'].iat[pos]} at {fmt_time(times[pos])} is {what} its "
                f"bar at {table.where(prev)}: "
                "each code's bars must be in time order, one per time"
            )

        table.fail(bad, "time", describe)
    return order


def _frequency(
    table: Any,
    keys: npt.NDArray[Any],
    times: npt.NDArray[np.datetime64],
    order: npt.NDArray[np.intp],
    frequency: Frequency | None,
) -> Frequency:
    """The frequency asked for (checked against the bars) or the inferred one."""
    days = times.astype("datetime64[D]")
    if frequency is None and (times == days).all():
        return "day"
    codes, ordered = keys[order], days[order]
    same_day = (codes[1:] == codes[:-1]) & (ordered[1:] == ordered[:-1])
    del codes, ordered
    if frequency is None:
        return "minute" if same_day.any() else "day"
    if frequency == "day" and same_day.any():
        earlier = {int(order[i + 1]): int(order[i]) for i in np.flatnonzero(same_day)}
        bad = np.zeros(len(times), dtype=bool)
        bad[list(earlier)] = True
        table.fail(
            bad,
            "time",
            lambda pos: (
                f"{table.frame['code'].iat[pos]} has a second bar on {days[pos]} (the other at "
                f"{table.where(earlier[pos])}): daily bars allow one bar per code and date"
            ),
        )
    return frequency


def _stray_clock(table: Any, times: npt.NDArray[np.datetime64], frequency: Frequency) -> None:
    """Warns of the few bars with a time of day among bars at midnight, naming the first:
    one such bar makes a daily file minute bars, or gives its day a second row on the
    timeline."""
    days = times.astype("datetime64[D]")
    clocked = times != days
    count = int(clocked.sum())
    if not count or count * 2 >= len(times):
        return
    pos = int(np.flatnonzero(clocked)[0])
    if frequency == "minute":
        effect = (
            "so the bars are read as minute bars; if they are daily bars, correct that time "
            '(or load them with frequency="day")'
        )
    elif len(np.unique(times[days == days[pos]])) > 1:
        effect = f"so {days[pos]} has two rows on the timeline"
    else:
        return
    more = f" (and {count - 1} more bars with a time of day)" if count > 1 else ""
    warnings.warn(
        DataWarning(
            f"{table.where(pos, 'time')}: {table.frame['code'].iat[pos]} at {fmt_time(times[pos])} has a "
            f"time of day while {len(times) - count} of the {len(times)} bars are at midnight{more}, "
            f"{effect}"
        ),
        stacklevel=4,
    )


def _bounds(
    start: object, end: object, tz: Any = None, date_format: str | None = None
) -> tuple[np.datetime64 | None, np.datetime64 | None]:
    lo = None if start is None else _stamp(start, "start", tz, date_format)
    hi = None
    if end is not None:
        hi = _stamp(end, "end", tz, date_format)
        if hi == hi.normalize() and not _has_clock(end):
            hi = (
                _NS_HIGH
                if hi >= _NS_HIGH.normalize()
                else hi + pd.Timedelta(days=1) - pd.Timedelta(1, "ns")
            )
    if lo is not None and hi is not None and lo > hi:
        raise ValueError(f"start {start!r} is after end {end!r}")
    return _ns_bound(lo), _ns_bound(hi)


def _ns_bound(stamp: pd.Timestamp | None) -> np.datetime64 | None:
    """A bound as datetime64[ns]; one beyond the times a bar can have (pandas reads
    them in coarser units) is moved to the nearest such time."""
    if stamp is None:
        return None
    stamp = min(max(stamp, _NS_LOW), _NS_HIGH)
    bound: np.datetime64 = stamp.to_datetime64().astype("datetime64[ns]")
    return bound


def _stamp(value: Any, name: str, tz: Any = None, date_format: str | None = None) -> pd.Timestamp:
    if date_format is not None and isinstance(value, str):
        try:  # a time written as the data's times are, else as pandas reads it
            value = datetime.datetime.strptime(value.strip(), date_format)
        except ValueError:
            pass
    try:
        stamp = pd.Timestamp(value)
    except (ValueError, TypeError) as exc:
        raise ValueError(f"cannot read {name} {value!r} as a time: {exc}") from None
    if stamp is pd.NaT:
        raise ValueError(f"{name} {value!r} is not a time")
    if stamp.tzinfo is not None and tz is not None:
        stamp = stamp.tz_convert(tz)
    wall: pd.Timestamp = stamp.tz_localize(None) if stamp.tzinfo is not None else stamp
    return wall


def _has_clock(value: object) -> bool:
    """Whether `value` spells a time of day (a datetime, or text with a clock)."""
    if isinstance(value, str):
        return ":" in value or "T" in value.upper()
    return isinstance(value, (datetime.datetime, np.datetime64))
