"""Ticks: the trades inside bars, which tell the engine the order of prices within a bar.

Each tick belongs to the bar of its code whose period holds it:

- daily bars: the bar of the same calendar date;
- minute bars: a bar is labelled by the end of its period; the bar labelled t covers
  (time of the code's previous bar, t], and the first bar of a day covers the minute before
  its label, (t - 1 minute, t].  A tick exactly at a label belongs to that bar, one a
  microsecond later to the next bar.  Across a break in the day (lunch) the first bar after
  it covers the whole break.
"""

from collections.abc import Mapping

import numpy as np
import pandas as pd

from korvit.data._table import fmt_time, read_table
from korvit.data.errors import DataError

__all__ = ["Ticks", "load_ticks"]

_MINUTE = np.timedelta64(60_000_000_000, "ns")


class Ticks(Mapping):
    """Ticks by bar: ``(code_index, bar_index) -> (times, prices, volumes)``.

    `code_index` is the code's position in ``bars.codes``, `bar_index` the bar's position in
    ``bars.times``.  Per bar, `times` is a datetime64[ns] array in time order (ticks at the
    same time keep their order in the source), `prices` and `volumes` float64 arrays.  The
    arrays are read-only.  Bars without ticks are not keys.
    """

    def __init__(self, groups, codes=(), source="ticks"):
        self._groups = dict(groups)
        self.codes = list(codes)
        self.source = source

    def __getitem__(self, key):
        return self._groups[key]

    def __iter__(self):
        return iter(self._groups)

    def __len__(self):
        return len(self._groups)

    @property
    def count(self):
        """The number of ticks over all bars."""
        return sum(len(times) for times, _, _ in self._groups.values())

    def __repr__(self):
        return f"Ticks({self.count} ticks in {len(self)} bars, source={self.source!r})"


def load_ticks(source, bars, *, trim=False):
    """Read ticks (columns time, code, price, volume; a DataFrame, a CSV or Parquet path,
    or a list of them) and assign each to its bar of `bars` (a `Bars`).

    Raises `DataError` naming file, row and column for a missing column, a code not in the
    bars, a missing or non-positive price, a missing or negative volume, or a tick outside
    every bar of its code.  Ticks out of time order are sorted (stably).  With `trim` (for
    bars trimmed to a period or to some codes), ticks of other codes and ticks before the
    first bar or after the last are left out instead.
    """
    table = read_table(source, ("price", "volume"), allow_wide=False)
    _, keys = table.codes()
    index = {code.upper(): i for i, code in enumerate(bars.codes)}
    labels, uniques = pd.factorize(keys)
    code_pos = np.array([index.get(key, -1) for key in uniques], dtype=np.int64)[labels]
    if not trim:
        table.fail(code_pos < 0, "code", lambda pos: (
            f"{table.frame['code'].iat[pos]} has no bars (the bars hold {', '.join(bars.codes)})"))
    times = table.times()
    if trim:
        keep = (code_pos >= 0) & _within_bars(times, bars)
        table.keep(keep)
        code_pos, times = code_pos[keep], times[keep]
    prices = table.numbers("price", positive=True)
    volumes = table.numbers("volume")

    bar_pos = np.full(len(table), -1, dtype=np.int64)
    timeline = bars.times.to_numpy().astype("datetime64[ns]")
    present = bars.present
    for c in np.unique(code_pos):
        rows = np.flatnonzero(code_pos == c)
        own = np.flatnonzero(present[c])            # this code's bars on the timeline
        labels = timeline[own]
        if bars.frequency == "day":
            found = _same_day(labels, times[rows])
        else:
            found = _minute_bar(labels, times[rows])
        bar_pos[rows] = np.where(found >= 0, own[np.maximum(found, 0)], -1)
    kind = "daily bar" if bars.frequency == "day" else "minute bar"
    table.fail(bar_pos < 0, "time", lambda pos: (
        f"the tick of {table.frame['code'].iat[pos]} at {fmt_time(times[pos])} lies in no "
        f"{kind} of that code"))

    order = np.lexsort((times, bar_pos, code_pos))   # stable: equal times keep file order
    code_pos, bar_pos = code_pos[order], bar_pos[order]
    columns = [times[order], prices[order], volumes[order]]
    for array in columns:
        array.flags.writeable = False
    starts = np.flatnonzero(np.r_[True, (code_pos[1:] != code_pos[:-1]) |
                                  (bar_pos[1:] != bar_pos[:-1])])
    ends = np.r_[starts[1:], len(order)]
    groups = {(int(code_pos[a]), int(bar_pos[a])): tuple(array[a:b] for array in columns)
              for a, b in zip(starts, ends)}
    return Ticks(groups, bars.codes, table.name)


def _same_day(labels, ticks):
    """Per tick, the position in `labels` of the bar of the same date, or -1."""
    days = labels.astype("datetime64[D]")
    tick_days = ticks.astype("datetime64[D]")
    found = np.searchsorted(days, tick_days)
    inside = found < len(days)
    inside[inside] = days[found[inside]] == tick_days[inside]
    return np.where(inside, found, -1)


def _minute_bar(labels, ticks):
    """Per tick, the position in `labels` of the minute bar whose period holds it, or -1."""
    if not len(labels):
        return np.full(len(ticks), -1)
    days = labels.astype("datetime64[D]")
    lower = labels - _MINUTE
    same_day = days[1:] == days[:-1]
    lower[1:][same_day] = labels[:-1][same_day]
    found = np.searchsorted(labels, ticks, side="left")    # first label >= tick
    inside = found < len(labels)
    inside[inside] = ticks[inside] > lower[found[inside]]
    return np.where(inside, found, -1)


def _within_bars(times, bars):
    """Whether each tick falls between the start of the first bar's period and the
    last bar's time."""
    first, last = bars.times[0].to_datetime64(), bars.times[-1].to_datetime64()
    if bars.frequency == "day":
        day = np.timedelta64(1, "D")
        return (times >= first.astype("datetime64[D]")) & (times < last.astype("datetime64[D]") + day)
    return (times > first - np.timedelta64(1, "m")) & (times <= last)
