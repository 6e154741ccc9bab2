"""Ticks: the trades inside bars, which tell the engine the order of prices within a bar.

Each tick belongs to the bar of its code whose period holds it:

- daily bars: the bar of the same calendar date;
- intraday bars: a bar is labelled by the end of its period; the bar labelled t covers
  (time of the code's previous bar, t], and the first bar of a day covers the bars' period
  (`Bars.interval`, one minute for minute bars) before its label, (t - period, t].  A tick exactly at a label belongs to that bar, one a
  microsecond later to the next bar.  Across a break in the day (lunch) the first bar after
  it covers the whole break.
"""

from __future__ import annotations

import datetime
import itertools
import os
from collections.abc import ItemsView, Iterable, Iterator, Mapping, Sequence, ValuesView
from typing import TYPE_CHECKING, Any, TypeAlias

import numpy as np
import numpy.typing as npt
import pandas as pd

from korvit.data._table import check_date_format, check_zone, fmt_num, fmt_time, read_table
from korvit.data.limits import MAX_PRICE, MAX_VOLUME

if TYPE_CHECKING:
    from korvit.data.bars import Bars

__all__ = ["Ticks", "load_ticks"]

TickKey: TypeAlias = "tuple[int, int]"
"""``(code_index, bar_index)`` of a bar with ticks."""
TickArrays: TypeAlias = (
    "tuple[npt.NDArray[np.datetime64], npt.NDArray[np.float64], npt.NDArray[np.float64]]"
)
"""A bar's ticks: ``(times, prices, volumes)``."""
_Int64s: TypeAlias = "npt.NDArray[np.int64]"

_BAR_BITS = 32  # a bar's key: code index above, bar index in the low bits
_MAX_BAR = (1 << _BAR_BITS) - 1
_MAX_CODE = (1 << (63 - _BAR_BITS)) - 1


class Ticks(Mapping[TickKey, TickArrays]):
    """Ticks by bar: ``(code_index, bar_index) -> (times, prices, volumes)``.

    `code_index` is the code's position in ``bars.codes``, `bar_index` the bar's position in
    ``bars.times``.  Per bar, `times` is a datetime64[ns] array in time order (ticks at the
    same time keep their order in the source), `prices` and `volumes` float64 arrays.  The
    arrays are read-only.  Bars without ticks are not keys.

    The ticks are held flat: one array per column with the bars one after the other, the
    k-th bar's ticks at ``bounds[k]:bounds[k + 1]``; `flat` hands these out.  The per-bar
    arrays are views made on demand.  `groups` (a mapping or pairs of key and arrays) is
    the other way to build one.
    """

    codes: list[str]
    source: str
    _keys: _Int64s
    _order: _Int64s | None
    _bounds: _Int64s
    _columns: TickArrays

    def __init__(
        self,
        groups: Mapping[TickKey, Sequence[npt.ArrayLike]]
        | Iterable[tuple[TickKey, Sequence[npt.ArrayLike]]] = (),
        codes: Iterable[str] = (),
        source: str = "ticks",
    ) -> None:
        by_key: dict[TickKey, Sequence[npt.ArrayLike]] = dict(groups)
        keys = np.array(list(by_key), dtype=np.int64).reshape(len(by_key), 2)
        columns = [[np.asarray(group[k]) for group in by_key.values()] for k in range(3)]
        lengths = [len(times) for times in columns[0]]
        empty = (np.empty(0, "datetime64[ns]"), np.empty(0), np.empty(0))
        arrays: list[Any] = [
            np.concatenate(column) if column else blank for column, blank in zip(columns, empty)
        ]
        self._set(keys[:, 0], keys[:, 1], np.cumsum([0] + lengths), *arrays)
        self.codes = list(codes)
        self.source = source

    @classmethod
    def from_flat(
        cls,
        code_index: npt.ArrayLike,
        bar_index: npt.ArrayLike,
        bounds: npt.ArrayLike,
        times: npt.NDArray[np.datetime64],
        prices: npt.NDArray[np.float64],
        volumes: npt.NDArray[np.float64],
        codes: Iterable[str] = (),
        source: str = "ticks",
    ) -> Ticks:
        """Ticks from flat arrays: the k-th key ``(code_index[k], bar_index[k])`` holds the
        ticks at ``bounds[k]:bounds[k + 1]`` of `times`, `prices` and `volumes`.  The
        arrays are kept, not copied, and made read-only."""
        ticks = cls.__new__(cls)
        ticks._set(code_index, bar_index, bounds, times, prices, volumes)
        ticks.codes = list(codes)
        ticks.source = source
        return ticks

    def _set(
        self,
        code_index: npt.ArrayLike,
        bar_index: npt.ArrayLike,
        bounds: npt.ArrayLike,
        times: npt.NDArray[np.datetime64],
        prices: npt.NDArray[np.float64],
        volumes: npt.NDArray[np.float64],
    ) -> None:
        code_index = np.asarray(code_index, dtype=np.int64)
        bar_index = np.asarray(bar_index, dtype=np.int64)
        bounds = np.asarray(bounds, dtype=np.int64)
        n = len(code_index)
        if code_index.shape != (n,) or bar_index.shape != (n,) or bounds.shape != (n + 1,):
            raise ValueError(
                "ticks need one code index and one bar index per bar and one bound more"
            )
        if len(times) != len(prices) or len(times) != len(volumes):
            raise ValueError(
                "tick times, prices and volumes differ in length: "
                f"{[len(times), len(prices), len(volumes)]}"
            )
        if bounds[0] != 0 or bounds[-1] != len(times) or np.any(bounds[1:] < bounds[:-1]):
            raise ValueError("tick bounds must run from 0 to the number of ticks")
        if n and (
            code_index.min() < 0
            or bar_index.min() < 0
            or code_index.max() > _MAX_CODE
            or bar_index.max() > _MAX_BAR
        ):
            raise ValueError("tick code and bar indices must be non-negative (and in range)")
        keys = (code_index << _BAR_BITS) | bar_index
        order = None
        if n > 1 and np.any(keys[1:] <= keys[:-1]):
            order = np.argsort(keys, kind="stable")
            if np.any(keys[order][1:] == keys[order][:-1]):
                raise ValueError("ticks hold one bar twice")
        self._keys, self._order, self._bounds = keys, order, bounds
        self._columns = (times, prices, volumes)
        self._lock()

    def _lock(self) -> None:
        for array in (self._keys, self._bounds) + self._columns:
            array.flags.writeable = False
        if self._order is not None:
            self._order.flags.writeable = False

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)
        self._lock()  # arrays come back from a pickle writeable

    @property
    def code_index(self) -> _Int64s:
        """Per bar with ticks, the code's position in `codes` (int64)."""
        return self._keys >> _BAR_BITS

    @property
    def bar_index(self) -> _Int64s:
        """Per bar with ticks, the bar's position on the timeline (int64)."""
        return self._keys & _MAX_BAR

    def flat(
        self,
    ) -> tuple[
        _Int64s,
        _Int64s,
        _Int64s,
        npt.NDArray[np.datetime64],
        npt.NDArray[np.float64],
        npt.NDArray[np.float64],
    ]:
        """``(code_index, bar_index, bounds, times, prices, volumes)``: the bars in the
        order of iteration, the k-th bar's ticks at ``bounds[k]:bounds[k + 1]`` of the
        three (read-only) columns."""
        return (self.code_index, self.bar_index, self._bounds) + self._columns

    def _position(self, key: Any) -> int:
        try:
            code, bar = key
            c, b = int(code), int(bar)
            found = c == code and b == bar and 0 <= c <= _MAX_CODE and 0 <= b <= _MAX_BAR
        except (TypeError, ValueError, OverflowError):
            found = False
        if found:
            wanted = (c << _BAR_BITS) | b
            k = int(np.searchsorted(self._keys, wanted, sorter=self._order))
            if k < len(self._keys):
                if self._order is not None:
                    k = int(self._order[k])
                if self._keys[k] == wanted:
                    return k
        raise KeyError(key)

    def __getitem__(self, key: TickKey) -> TickArrays:
        hash(key)  # an unhashable key is a TypeError, as for a dict
        k = self._position(key)
        a, b = self._bounds[k], self._bounds[k + 1]
        times, prices, volumes = self._columns
        return times[a:b], prices[a:b], volumes[a:b]

    def __iter__(self) -> Iterator[TickKey]:
        return zip(self.code_index.tolist(), self.bar_index.tolist())

    def __len__(self) -> int:
        return len(self._keys)

    def items(self) -> ItemsView[TickKey, TickArrays]:
        return _Items(self)

    def values(self) -> ValuesView[TickArrays]:
        return _Values(self)

    def _groups(self) -> Iterator[TickArrays]:
        """Per bar, in the order of iteration, its three arrays."""
        bounds = self._bounds.tolist()
        for a, b in itertools.pairwise(bounds):
            times, prices, volumes = self._columns
            yield times[a:b], prices[a:b], volumes[a:b]

    @property
    def count(self) -> int:
        """The number of ticks over all bars."""
        return int(self._bounds[-1])

    def __repr__(self) -> str:
        return f"Ticks({self.count} ticks in {len(self)} bars, source={self.source!r})"


class _Items(ItemsView[TickKey, TickArrays]):
    _mapping: Ticks

    def __iter__(self) -> Iterator[tuple[TickKey, TickArrays]]:
        return zip(self._mapping, self._mapping._groups())


class _Values(ValuesView[TickArrays]):
    _mapping: Ticks

    def __iter__(self) -> Iterator[TickArrays]:
        return self._mapping._groups()


def load_ticks(
    source: str | os.PathLike[str] | pd.DataFrame | Sequence[str | os.PathLike[str] | pd.DataFrame],
    bars: Bars,
    *,
    trim: bool = False,
    tz: str | datetime.tzinfo | None = None,
    date_format: str | None = None,
) -> Ticks:
    """Read ticks (columns time, code, price, volume; a DataFrame, a CSV or Parquet path,
    or a list of them) and assign each to its bar of `bars` (a `Bars`).

    Raises `DataError` naming file, row and column for a missing column, a code not in the
    bars, a missing, non-positive or too large price, a missing, negative or too large
    volume, a tick outside every bar of its code, or a tick priced outside its bar's
    [low, high].  Ticks out of time order are sorted (stably).  With `trim` (for
    bars trimmed to a period or to some codes), ticks of other codes and ticks before the
    first bar or after the last are left out instead.  `tz` converts times as
    `load_bars` does (give the bars' zone), `date_format` reads times written as text as
    there.  Ticks of bars of one code need no code column.
    """
    date_format = check_date_format(date_format)
    table = read_table(
        source,
        ("price", "volume"),
        allow_wide=False,
        default_code=bars.codes[0] if len(bars.codes) == 1 else None,
    )
    _, keys = table.codes()
    index = {code.upper(): i for i, code in enumerate(bars.codes)}
    labels, uniques = pd.factorize(keys)
    code_pos = np.array([index.get(key, -1) for key in uniques], dtype=np.int64)[labels]
    if not trim:
        table.fail(
            code_pos < 0,
            "code",
            lambda pos: (
                f"{table.frame['code'].iat[pos]} has no bars (the bars hold {', '.join(bars.codes)})"
            ),
        )
    times = table.times(check_zone(tz), date_format)
    if trim:
        keep = (code_pos >= 0) & _within_bars(times, bars)
        table.keep(keep)
        code_pos, times = code_pos[keep], times[keep]
    prices = table.numbers("price", positive=True, high=MAX_PRICE)
    volumes = table.numbers("volume", high=MAX_VOLUME)

    bar_pos = np.full(len(table), -1, dtype=np.int64)
    timeline = bars.times.to_numpy().astype("datetime64[ns]")
    present = bars.present
    for c in np.unique(code_pos):
        rows = np.flatnonzero(code_pos == c)
        own = np.flatnonzero(present[c])  # this code's bars on the timeline
        labels = timeline[own]
        if bars.frequency == "day":
            found = _same_day(labels, times[rows])
        else:
            found = _intraday_bar(labels, times[rows], _period(bars))
        bar_pos[rows] = np.where(found >= 0, own[np.maximum(found, 0)], -1)
    kind = bars.kind[:-1]  # "daily bar", "minute bar", "60-minute bar"
    table.fail(
        bar_pos < 0,
        "time",
        lambda pos: (
            f"the tick of {table.frame['code'].iat[pos]} at {fmt_time(times[pos])} lies in no "
            f"{kind} of that code"
        ),
    )
    # A tick the bar never traded at would fill a stop at a price the bar denies.
    outside = prices < bars.values[code_pos, bar_pos, 2]
    outside |= prices > bars.values[code_pos, bar_pos, 1]
    table.fail(
        outside,
        "price",
        lambda pos: (
            f"the tick of {table.frame['code'].iat[pos]} at {fmt_time(times[pos])} priced "
            f"{fmt_num(prices[pos])} is outside its {kind}'s [low, high] = "
            f"[{fmt_num(bars.values[code_pos[pos], bar_pos[pos], 2])}, "
            f"{fmt_num(bars.values[code_pos[pos], bar_pos[pos], 1])}] "
            f"(the bar at {fmt_time(bars.times[bar_pos[pos]])})"
        ),
    )
    del outside

    order = np.lexsort((times, bar_pos, code_pos))  # stable: equal times keep file order
    code_pos, bar_pos = code_pos[order], bar_pos[order]
    starts = (
        np.flatnonzero(np.r_[True, (code_pos[1:] != code_pos[:-1]) | (bar_pos[1:] != bar_pos[:-1])])
        if len(order)
        else np.empty(0, np.int64)
    )
    bounds = np.r_[starts, len(order)]
    return Ticks.from_flat(
        code_pos[starts],
        bar_pos[starts],
        bounds,
        times[order],
        prices[order],
        volumes[order],
        bars.codes,
        table.name,
    )


def _same_day(
    labels: npt.NDArray[np.datetime64], ticks: npt.NDArray[np.datetime64]
) -> npt.NDArray[np.intp]:
    """Per tick, the position in `labels` of the bar of the same date, or -1."""
    days = labels.astype("datetime64[D]")
    tick_days = ticks.astype("datetime64[D]")
    found = np.searchsorted(days, tick_days)
    inside = found < len(days)
    inside[inside] = days[found[inside]] == tick_days[inside]
    return np.where(inside, found, -1)


def _period(bars: Bars) -> np.timedelta64:
    """The period of the bars' intraday bars as numpy's timedelta64[ns]."""
    assert bars.interval is not None  # intraday bars have one
    return np.timedelta64(int(bars.interval.value), "ns")


def _intraday_bar(
    labels: npt.NDArray[np.datetime64], ticks: npt.NDArray[np.datetime64], period: np.timedelta64
) -> npt.NDArray[np.intp]:
    """Per tick, the position in `labels` of the intraday bar whose period holds it, or -1."""
    if not len(labels):
        return np.full(len(ticks), -1)
    days = labels.astype("datetime64[D]")
    lower = labels - period
    same_day = days[1:] == days[:-1]
    lower[1:][same_day] = labels[:-1][same_day]
    found = np.searchsorted(labels, ticks, side="left")  # first label >= tick
    inside = found < len(labels)
    inside[inside] = ticks[inside] > lower[found[inside]]
    return np.where(inside, found, -1)


def _within_bars(times: npt.NDArray[np.datetime64], bars: Bars) -> npt.NDArray[np.bool_]:
    """Whether each tick falls between the start of the first bar's period and the
    last bar's time."""
    first: np.datetime64 = bars.times[0].to_datetime64()
    last: np.datetime64 = bars.times[-1].to_datetime64()
    if bars.frequency == "day":
        day = np.timedelta64(1, "D")
        inside: npt.NDArray[np.bool_] = (times >= first.astype("datetime64[D]")) & (
            times < last.astype("datetime64[D]") + day
        )
    else:
        inside = (times > first - _period(bars)) & (times <= last)
    return inside
