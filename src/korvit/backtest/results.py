"""The result of a backtest run: its records, statistics and report.

The run loop builds a ``BacktestResult`` from four DataFrames (the equity of
every account at every bar, the orders, the fills and the stop orders).
Everything else is derived from them on first use: the total equity curve,
the drawdown, the round trips, the statistics, the text summary and the HTML
report.  ``save`` writes all of it to a directory, as one set.
"""

from __future__ import annotations

import functools
import html
import json
import math
import os
import sys
import warnings
from collections import deque, namedtuple
from collections.abc import Callable, Iterable, Mapping, Sequence
from functools import cached_property
from pathlib import Path
from types import FrameType, MappingProxyType
from typing import IO, TYPE_CHECKING, Any, Literal, TypeAlias, cast

import numpy as np
import numpy.typing as npt
import pandas as pd

from korvit.backtest.benchmark import (
    benchmark_codes,
    buy_and_hold,
    check_benchmark,
    describe_benchmark,
)
from korvit.backtest.files import save_file_set
from korvit.backtest.listing import shortened
from korvit.backtest.stats import (
    ANNUALISED_STATS,
    BENCHMARK_STATS,
    OPEN_AT_END,
    ORDER_STATS,
    PERIODS_PER_YEAR,
    STAT_UNITS,
    caveats,
    compute_stats,
    daily_returns,
    drawdown_series,
    format_stat,
    order_counts,
    order_reasons,
    period_returns,
    rolling_figures,
    stats_to_numbers,
    worst_drawdowns,
)
from korvit.data.lots import volume_sub

if TYPE_CHECKING:
    from bokeh.models import LayoutDOM

    from korvit.backtest.table_files import Format
    from korvit.data import Bars
    from korvit.data.calendars import Calendar

__all__ = [
    "BacktestResult",
    "OrdersDeniedWarning",
    "match_round_trips",
    "orders_line",
    "denials_line",
    "warn_of_denials",
    "exit_reasons",
    "EQUITY_COLUMNS",
    "ORDER_COLUMNS",
    "TRADE_COLUMNS",
    "STOP_COLUMNS",
    "ROUND_TRIP_COLUMNS",
    "EXIT_REASONS",
    "round_trips_words",
]

EQUITY_COLUMNS = ("time", "account", "cash", "market_value", "margin", "equity")
ORDER_COLUMNS = (
    "order_id",
    "created",
    "updated",
    "account",
    "code",
    "type",
    "side",
    "effect",
    "volume",
    "price",
    "status",
    "filled_volume",
    "average_price",
    "reason",
    "stop_id",
    "reason_kind",
    "stop_price",
)
TRADE_COLUMNS = (
    "trade_id",
    "order_id",
    "time",
    "account",
    "code",
    "side",
    "effect",
    "volume",
    "price",
    "multiplier",
    "fee",
)
STOP_COLUMNS = (
    "stop_id",
    "order_id",
    "account",
    "code",
    "kind",
    "gap",
    "gap_type",
    "status",
    "stop_price",
    "trigger_time",
    "trigger_price",
    "closing_order_id",
)
ROUND_TRIP_COLUMNS = (
    "account",
    "code",
    "side",
    "volume",
    "entry_time",
    "entry_price",
    "exit_time",
    "exit_price",
    "multiplier",
    "pnl",
    "fees",
    "return",
    "duration",
    "entry_trade_id",
    "exit_trade_id",
    "exit_reason",
)
# Why a round trip ended: the kind of the stop order that placed its closing
# order, an order of the strategy's own, or the end of the data.
STOP_EXITS = {"loss": "stop loss", "profit": "take profit", "trailing": "trailing stop"}
EXIT_REASONS = ("signal", *STOP_EXITS.values(), OPEN_AT_END)


def round_trips_words(closed: int, still_open: int = 0) -> str:
    """The round trips counted as everywhere they are shown: "18 round trips",
    "1 round trip + 1 open at the end" (a position still open at the last bar
    is no round trip closed)."""
    text = f"{closed:,d} round trip{'' if closed == 1 else 's'}"
    return text + (f" + {still_open:,d} open at the end" if still_open else "")


_TIME_COLUMNS = {
    "equity": ("time",),
    "orders": ("created", "updated"),
    "trades": ("time",),
    "stops": ("trigger_time",),
}
_COLUMNS = {
    "equity": EQUITY_COLUMNS,
    "orders": ORDER_COLUMNS,
    "trades": TRADE_COLUMNS,
    "stops": STOP_COLUMNS,
}


def _frame(
    data: object, columns: Iterable[str], times: Iterable[str], copy: bool = True
) -> pd.DataFrame:
    """``data`` (a copy, unless ``copy`` is false and it is a DataFrame already)
    with at least ``columns`` (missing ones empty) and its time columns as
    datetimes."""
    df: pd.DataFrame
    if data is None:
        df = pd.DataFrame()
    elif copy or not isinstance(data, pd.DataFrame):
        df = pd.DataFrame(data).copy()  # type: ignore[call-overload]  # any table pandas reads
    else:
        df = data
    for col in columns:
        if col not in df.columns:
            df[col] = (
                pd.Series(np.nan, index=df.index, dtype=float)
                if col not in times
                else pd.Series(pd.NaT, index=df.index, dtype="datetime64[ns]")
            )
    for col in times:
        if df[col].dtype != "datetime64[ns]":  # the run's tables have them so already
            df[col] = pd.to_datetime(df[col])
    index = df.index
    if (
        isinstance(index, pd.RangeIndex)
        and index.start == 0
        and index.step == 1
        and index.name is None
    ):
        return df  # numbered 0, 1, ... already (the run's own tables): no copy to renumber
    frame: pd.DataFrame = df.reset_index(drop=True)
    return frame


def _order_key(value: object) -> float | str | None:
    """An order id as a dictionary key: ids read as floats (1.0) and as whole
    numbers (1) are the same order."""
    if value is None or (isinstance(value, float) and np.isnan(value)):
        return None
    try:
        number = float(value)  # type: ignore[arg-type]  # refused below when it is no number
    except (TypeError, ValueError):
        return str(value)
    return number if np.isfinite(number) else None


def _order_keys(values: Any) -> pd.Series[Any]:
    """``_order_key`` of each value, for a whole column at once."""
    values = pd.Series(values)
    numbers = pd.to_numeric(values, errors="coerce").astype(float)
    if numbers.notna().all() or values.isna().equals(numbers.isna()):
        series: pd.Series[Any] = (
            numbers.where(np.isfinite(numbers)).astype(object).where(numbers.notna(), None)
        )
        return series
    keys: pd.Series[Any] = values.map(_order_key)
    return keys


def _order_key_list(values: Any) -> list[float | str | None]:
    """``_order_key`` of each value of a column, as a list."""
    values = pd.Series(values)
    if values.dtype.kind in "fiu":  # numbers already: NaN and infinities are no order
        return [
            number if math.isfinite(number) else None for number in values.astype(float).tolist()
        ]
    keys: list[float | str | None] = _order_keys(values).tolist()
    return keys


def exit_reasons(
    orders: pd.DataFrame | None, stops: pd.DataFrame | None
) -> dict[float | str | None, str]:
    """The order ids placed by stop orders, each with the reason its fills end
    a round trip ("stop loss", "take profit", "trailing stop"): from the
    orders' ``stop_id`` and the stops' ``closing_order_id``."""
    kinds: dict[float | str | None, str] = {}
    if stops is None or not len(stops) or "kind" not in stops:
        return kinds
    named = [STOP_EXITS.get(kind, kind) for kind in map(str, stops["kind"].tolist())]
    if "closing_order_id" in stops:
        kinds.update(
            (key, name)
            for key, name in zip(_order_key_list(stops["closing_order_id"]), named)
            if key is not None
        )
    if orders is not None and len(orders) and "stop_id" in orders:
        by_stop = dict(zip(_order_key_list(stops["stop_id"]), named))
        for key, stop in zip(
            _order_key_list(orders["order_id"]), _order_key_list(orders["stop_id"])
        ):
            kind = by_stop.get(stop)
            if kind is not None and key is not None:
                kinds[key] = kind
    return kinds


@functools.lru_cache(maxsize=16)
def _fill_type(columns: tuple[str, ...]) -> Any:
    """The row type ``itertuples`` gives a table of ``columns`` (made once per set of
    columns: making a named tuple type compiles code)."""
    return namedtuple("Pandas", columns, rename=True)


def _fills_in_time_order(trades: pd.DataFrame) -> list[Any]:
    """The rows of ``trades`` as ``itertuples`` gives them, by time (stable: fills
    of one time in the order given; rows without a time last)."""
    times = trades["time"]
    if times.dtype.kind == "M":
        order = np.argsort(times.to_numpy(), kind="stable")  # NaT sorts last, as in pandas
    else:
        order = trades.assign(_seq=np.arange(len(trades))).sort_values(
            ["time", "_seq"], kind="stable"
        )["_seq"]
    fill = _fill_type(tuple(trades.columns))
    columns = (
        (trades[name] for name in trades.columns)
        if trades.columns.is_unique
        else (trades.iloc[:, k] for k in range(trades.shape[1]))
    )
    rows = list(zip(*(column.tolist() for column in columns)))
    return [fill._make(rows[k]) for k in order.tolist()]


def match_round_trips(
    trades: pd.DataFrame,
    orders: pd.DataFrame | None = None,
    stops: pd.DataFrame | None = None,
    *,
    marks: Mapping[str, tuple[pd.Timestamp, float]] | None = None,
) -> pd.DataFrame:
    """Positions, matched first in, first out per (account, code).

    An ``open`` fill adds a lot to the long (buy) or short (sell) queue; a
    ``close`` fill takes volume from the front of the opposite queue (a sell
    closes longs, a buy closes shorts), one round trip per pair of fills it
    meets.  Longs and shorts are kept apart, so a hedged book (long and short
    of the same contract) matches as expected.  Each round trip carries the
    fees of both legs in proportion to the volume it takes from each.  Its
    ``return`` is the P&L over the entry notional (price × volume ×
    multiplier).  Close volume with nothing open to match (a position held
    before the run) yields no round trip.

    ``exit_reason`` says why it ended: "stop loss", "take profit" or
    "trailing stop" when a stop order placed the closing order (see
    ``exit_reasons``: ``orders`` and ``stops`` tell which), else "signal".
    With ``marks`` (code -> (time, price): the last bar's time and each
    code's last close) a position still open at the end is a round trip too,
    ending at that time and price with the reason "open at the end", with no exit
    fee and no exit trade; without them (or without a finite price) it is
    left out.
    """
    df = _round_trip_frame(_round_trip_rows(trades, orders, stops, marks))
    if df.empty:
        df["entry_time"] = pd.Series(dtype="datetime64[ns]")
        df["exit_time"] = pd.Series(dtype="datetime64[ns]")
        df["duration"] = pd.Series(dtype="timedelta64[ns]")
        for col in ("volume", "entry_price", "exit_price", "multiplier", "pnl", "fees", "return"):
            df[col] = df[col].astype(float)
        df["exit_reason"] = df["exit_reason"].astype(object)
    return df


def _round_trip_rows(
    trades: pd.DataFrame,
    orders: pd.DataFrame | None,
    stops: pd.DataFrame | None,
    marks: Mapping[str, tuple[pd.Timestamp, float]] | None,
) -> list[tuple[Any, ...]]:
    """The rows of ``match_round_trips``, each a tuple in the order of ``ROUND_TRIP_COLUMNS``."""
    rows: list[tuple[Any, ...]] = []
    placed_by_stop = exit_reasons(orders, stops)
    book: dict[tuple[Any, ...], deque[Any]] = {}

    def add(
        entry: Any,
        take: float,
        direction: str,
        exit_time: Any,
        exit_price: float,
        exit_fee: float,
        exit_trade_id: Any,
        reason: str,
    ) -> None:
        mult = float(entry.multiplier) if pd.notna(entry.multiplier) else 1.0
        sign = 1.0 if direction == "long" else -1.0
        fees = float(entry.fee) * take / float(entry.volume) + exit_fee
        gross = (exit_price - float(entry.price)) * take * mult * sign
        pnl = gross - fees
        notional = float(entry.price) * take * mult
        rows.append(
            (  # in the order of ROUND_TRIP_COLUMNS
                entry.account,
                entry.code,
                direction,
                take,
                entry.time,
                float(entry.price),
                exit_time,
                exit_price,
                mult,
                pnl,
                fees,
                pnl / notional if notional else np.nan,
                exit_time - entry.time,
                entry.trade_id,
                exit_trade_id,
                reason,
            )
        )

    if len(trades):
        has_orders = "order_id" in trades
        for t in _fills_in_time_order(trades):
            side, effect = str(t.side).lower(), str(t.effect).lower()
            volume = float(t.volume)
            if volume <= 0:
                continue
            if effect == "open":
                direction = "long" if side == "buy" else "short"
                book.setdefault((t.account, t.code, direction), deque()).append([t, volume])
                continue
            direction = "long" if side == "sell" else "short"
            queue = book.get((t.account, t.code, direction))
            reason = (
                placed_by_stop.get(_order_key(t.order_id), "signal") if has_orders else "signal"
            )
            left = volume
            while left > 1e-12 and queue:
                lot = queue[0]
                entry, entry_left = lot
                take = min(left, entry_left)
                add(
                    entry,
                    take,
                    direction,
                    t.time,
                    float(t.price),
                    float(t.fee) * take / volume,
                    t.trade_id,
                    reason,
                )
                left = volume_sub(left, take)  # exact where fractional: no float residue
                lot[1] = volume_sub(entry_left, take)
                if lot[1] <= 1e-12:
                    queue.popleft()
    if marks:
        upper = {str(code).upper(): mark for code, mark in marks.items()}
        for (_, code, direction), queue in book.items():
            mark = marks.get(code, upper.get(str(code).upper()))
            if mark is None or not np.isfinite(mark[1]):
                continue
            for entry, left in queue:
                if left > 1e-12:
                    add(entry, left, direction, mark[0], float(mark[1]), 0.0, np.nan, OPEN_AT_END)
    return rows


_RT_TEXT = ("account", "code", "side", "exit_reason")
_RT_TIMES = ("entry_time", "exit_time")
_RT_IDS = ("entry_trade_id", "exit_trade_id")


def _round_trip_frame(rows: list[tuple[Any, ...]]) -> pd.DataFrame:
    """``pd.DataFrame(rows, columns=ROUND_TRIP_COLUMNS)``: the same table, its columns
    built at once where their values' types tell what pandas would make of them (text,
    times and durations of nanoseconds without NaT, whole-number ids with or without
    NaN; the numbers are floats by construction), else by pandas from the rows."""
    table: pd.DataFrame
    if not rows:
        table = pd.DataFrame(rows, columns=list(ROUND_TRIP_COLUMNS))
        return table
    values = dict(zip(ROUND_TRIP_COLUMNS, map(list, zip(*rows))))
    columns: dict[str, Any] = {}
    for name, column in values.items():
        if name in _RT_TEXT:
            if not all(type(v) is str for v in column):
                break
            columns[name] = np.array(column, dtype=object)
        elif name in _RT_TIMES or name == "duration":
            kind = pd.Timestamp if name != "duration" else pd.Timedelta
            # (pandas before 2.0 holds every time in nanoseconds, without a unit)
            if not all(type(v) is kind and getattr(v, "unit", "ns") == "ns" for v in column) or (
                kind is pd.Timestamp and any(v.tz is not None for v in column)
            ):
                break
            unit = "datetime64[ns]" if kind is pd.Timestamp else "timedelta64[ns]"
            columns[name] = np.array([v.value for v in column], dtype=np.int64).view(unit)
        elif name in _RT_IDS:
            if all(type(v) is int for v in column):
                if not all(-(2**63) <= v < 2**63 for v in column):
                    break
                columns[name] = np.array(column, dtype=np.int64)
            elif all(type(v) is int or type(v) is float for v in column):
                columns[name] = np.array(column, dtype=np.float64)
            else:
                break
        else:  # the amounts: floats as they were computed
            if not all(type(v) is float for v in column):
                break
            columns[name] = np.array(column, dtype=np.float64)
    else:
        table = pd.DataFrame(columns, copy=False)
        return table
    table = pd.DataFrame(rows, columns=list(ROUND_TRIP_COLUMNS))
    return table


class OrdersDeniedWarning(UserWarning):
    """A run had orders denied (see the ``reason`` column of its orders)."""


# The reasons named in a line; the others are counted together.
_REASONS_SHOWN = 3


def _reasons_text(reasons: Sequence[tuple[str, int]]) -> str:
    """``reason (count), ...`` for the most common reasons, the rest summed."""
    named = reasons if len(reasons) <= _REASONS_SHOWN + 1 else reasons[:_REASONS_SHOWN]
    shown = ", ".join(f"{reason} ({n:,d})" for reason, n in named)
    rest = reasons[len(named) :]
    if rest:
        shown += f", {len(rest)} other reasons ({sum(n for _, n in rest):,d})"
    return shown


def orders_line(orders: pd.DataFrame) -> str:
    """``placed N, filled N, cancelled N, denied N`` (and the orders still
    open at the end, if any)."""
    counts = order_counts(orders)
    text = ", ".join(f"{name.split()[1]} {counts[name]:,d}" for name in ORDER_STATS)
    return text + (f", open at the end {counts['open']:,d}" if counts["open"] else "")


def denials_line(orders: pd.DataFrame, see: str | None = None) -> str | None:
    """``N of M orders denied: reason (count), ...; see SEE``, or None when no
    order was denied."""
    denied = order_counts(orders)["Orders denied"]
    if not denied:
        return None
    what = "order" if len(orders) == 1 else "orders"
    text = (
        f"{denied:,d} {what} denied"
        if denied == len(orders)
        else f"{denied:,d} of {len(orders):,d} {what} denied"
    )
    reasons = order_reasons(orders, "denied")
    if reasons:
        text += f": {_reasons_text(reasons)}"
    return text + (f"; see {see}" if see else "")


def _outside_frames() -> int:
    """The ``stacklevel`` of a warning issued by this module's caller that
    names the first caller outside korvit (the user's own line)."""
    frame: FrameType | None = sys._getframe(2)
    level = 2
    while frame is not None and str(frame.f_globals.get("__name__", "")).startswith("korvit."):
        frame, level = frame.f_back, level + 1
    return level


def warn_of_denials(result: BacktestResult) -> None:
    """Warn (``OrdersDeniedWarning``) when some of the run's orders were denied."""
    text = denials_line(result.orders, "the reason column of the result's orders")
    if text:
        warnings.warn(text, OrdersDeniedWarning, stacklevel=_outside_frames())


def _jsonable(value: object) -> Any:
    """``value`` with only JSON types: arrays and sets as lists, times as ISO
    8601 text, durations as days, NaN and infinities as null, anything else
    unknown (objects, paths) as its text."""
    import datetime

    if isinstance(value, dict):
        return {str(k): _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple, set, frozenset, np.ndarray, pd.Index, pd.Series)):
        items = (
            value.tolist() if isinstance(value, (np.ndarray, pd.Index, pd.Series)) else list(value)
        )
        return [_jsonable(v) for v in items]
    if isinstance(value, str):
        return value
    if value is None or value is pd.NaT or (isinstance(value, np.generic) and pd.isna(value)):  # type: ignore[call-overload]  # a numpy scalar
        return None
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        v = float(value)
        return v if np.isfinite(v) else None
    if isinstance(value, (datetime.date, np.datetime64)):
        return pd.Timestamp(value).isoformat()
    if isinstance(value, (datetime.timedelta, np.timedelta64)):
        return pd.Timedelta(value) / pd.Timedelta(days=1)
    return str(value)


def shown_value(value: Any) -> str:
    """A value of the run's parameters or meta as short text."""
    value = _jsonable(value)
    if isinstance(value, str):
        return value
    text = json.dumps(value, ensure_ascii=False)
    return text if len(text) <= 300 else text[:297] + "..."


def fee_line(schedule: object) -> str:
    """A fee schedule of ``meta["fees"]`` ("CODE, CODE: schedule") with its
    codes shortened (``shortened``): a schedule shared by 2,000 codes names six."""
    codes, sep, text = str(schedule).partition(": ")
    return f"{shortened(codes.split(', '))}: {text}" if sep else str(schedule)


def _stat_items(stats: pd.Series[Any]) -> Iterable[tuple[str, Any]]:
    """The statistics as (name, value) pairs (their index is text)."""
    return cast("Iterable[tuple[str, Any]]", stats.items())


def _in_notebook() -> bool:
    """Whether this runs in a Jupyter kernel (where charts show inline)."""
    shell = sys.modules.get("IPython")
    try:
        ip = shell.get_ipython() if shell is not None else None
    except Exception:
        return False
    return ip is not None and type(ip).__name__ == "ZMQInteractiveShell"


_Table: TypeAlias = "pd.DataFrame | Callable[[], pd.DataFrame] | Mapping[str, Any] | Sequence[Mapping[str, Any]] | None"
"""A record table as ``BacktestResult`` takes it: a DataFrame, what pandas
makes one of, or a function that builds it when first used."""


class BacktestResult:
    """Records and derived figures of one backtest run.

    ``equity``, ``orders``, ``trades`` and ``stops`` are kept as given (copied,
    missing columns added empty, time columns parsed); each may also be a
    function returning its table, called when the table is first used (a
    run's result builds its tables from the engine's records so, and only
    those read).  ``frequency`` is
    ``"day"`` or ``"minute"``; ``initial_cash`` the starting cash summed over
    the accounts.  ``strategy``, ``params`` and ``meta`` only label the report
    and ``stats.json``.

    ``bars`` (a ``korvit.data.Bars``, the run's data) gives the prices: the
    charts of each instrument, the benchmark and the value of the positions
    still open at the end.  ``benchmark`` names the benchmark (see
    ``korvit.backtest.benchmark``: "traded", the default, "equal-weight", a
    code or a list of codes, "none", or in Python a Series of prices such as
    an index's, taken at the run's bar times); without ``bars`` only a Series
    gives one.

    Exposure (the share of bars with an open position) is taken from the
    equity frame: a bar is exposed when any account holds margin or a
    non-zero market value there.

    ``calendar`` (a ``korvit.data.calendars.Calendar``, the run's) sets what
    annualises the figures (``sessions_per_year``: its sessions a year; 252
    without one) and the sessions minute curves are reduced to for daily
    returns; ``calendar_why`` says how the run chose it.

    ``indicators`` (code -> [(label, values, pane)], a run's: the indicators
    its strategy made in ``init``, values on the bars' timeline) are drawn on
    each code's price chart: over the candles (pane "price"), over the
    volume ("volume"), or in a pane of that name below them.
    """

    bars: Bars | None
    benchmark: str | tuple[str, ...] | pd.Series[float]
    frequency: Literal["day", "minute"]
    initial_cash: float
    strategy: str
    params: dict[str, Any]
    meta: dict[str, Any]
    # class defaults: a result pickled before results had a calendar reads as without one
    calendar: Calendar | None = None
    calendar_why: str = ""
    indicators: Mapping[str, Sequence[tuple[str, npt.NDArray[np.float64], str]]] = MappingProxyType(
        {}
    )
    _denied: bool  # set by the run: whether any order was denied
    # set by the run: its records, which tell some figures without building their tables
    # (see ``korvit.backtest.output._Records``); let go once every table is built
    _run: Any = None

    def __init__(
        self,
        equity: _Table,
        orders: _Table,
        trades: _Table,
        stops: _Table,
        *,
        frequency: Literal["day", "minute"],
        initial_cash: float,
        strategy: str | None = "",
        params: Mapping[str, Any] | None = None,
        meta: Mapping[str, Any] | None = None,
        bars: Bars | None = None,
        benchmark: str | Sequence[str] | pd.Series[float] | bool | None = "traded",
        calendar: Calendar | None = None,
        calendar_why: str = "",
        params_defaulted: Iterable[str] = (),
        indicators: Mapping[str, Sequence[tuple[str, Any, str]]] | None = None,
    ) -> None:
        if frequency not in ("day", "minute"):
            raise ValueError(f"frequency must be 'day' or 'minute', not {frequency!r}")
        self.bars = bars
        self.benchmark = check_benchmark(benchmark, bars.codes if bars is not None else None)
        # A record given as a function (the run's: it builds the table from the
        # engine's records) is built on first use, once; a table is taken now.
        self._records: dict[str, Callable[[], object]] = {}
        for name, given in (
            ("equity", equity),
            ("orders", orders),
            ("trades", trades),
            ("stops", stops),
        ):
            if callable(given):
                self._records[name] = given
            else:
                setattr(self, name, _frame(given, _COLUMNS[name], _TIME_COLUMNS[name]))
        self.frequency = frequency
        self.initial_cash = float(initial_cash)
        self.strategy = "" if strategy is None else str(strategy)
        self.params = dict(params or {})
        # the names in ``params`` whose values are the strategy's own defaults, not given
        self.params_defaulted = [name for name in params_defaulted if name in self.params]
        self.meta = dict(meta or {})
        self.calendar, self.calendar_why = calendar, calendar_why
        self.indicators = {
            str(code): [
                (str(label), np.asarray(values, dtype=float), str(pane))
                for label, values, pane in drawn
            ]
            for code, drawn in (indicators or {}).items()
        }

    @property
    def sessions_per_year(self) -> float:
        """What annualises the daily figures: the calendar's sessions a year
        (365 for "24/7"), 252 without a calendar."""
        return PERIODS_PER_YEAR if self.calendar is None else self.calendar.sessions_per_year

    def calendar_line(self) -> str | None:
        """ "XNYS, 252.3 sessions a year (inferred from the codes' prefix NYSE)";
        None without a calendar."""
        from korvit.data.calendars import calendar_line

        return None if self.calendar is None else calendar_line(self.calendar, self.calendar_why)

    def __getstate__(self) -> dict[str, Any]:
        for name in list(self._records):  # a pickle holds the tables, not how to build them
            getattr(self, name)
        return self.__dict__.copy()

    # -- the records, built on first use when the run gave functions ------
    def _built(self, name: str) -> pd.DataFrame:
        frame = _frame(self._records[name](), _COLUMNS[name], _TIME_COLUMNS[name], copy=False)
        del self._records[name]  # built: what it was built from may go
        if not self._records:
            self._run = None
        return frame

    def _unbuilt(self, name: str) -> Any:
        """The run's records while the table ``name`` is still to be built from them
        (neither built nor set), else None."""
        if name in self._records and name not in self.__dict__:
            return self._run
        return None

    @cached_property
    def equity(self) -> pd.DataFrame:
        """Every account's cash, market value, margin and equity at every bar."""
        return self._built("equity")

    @cached_property
    def orders(self) -> pd.DataFrame:
        """One row per order (see ``korvit.backtest.records.orders_frame``)."""
        return self._built("orders")

    @cached_property
    def trades(self) -> pd.DataFrame:
        """One row per fill."""
        return self._built("trades")

    @cached_property
    def stops(self) -> pd.DataFrame:
        """One row per stop order."""
        return self._built("stops")

    # -- derived series -------------------------------------------------
    @cached_property
    def accounts(self) -> list[str]:
        return list(pd.unique(self.equity["account"].dropna()))

    @cached_property
    def equity_curve(self) -> pd.Series[float]:
        """Total equity over the accounts, indexed by bar time."""
        run = self._unbuilt("equity")
        read: pd.Series[float] | None = None if run is None else run.equity.curve()
        if read is not None:
            return read
        times = self.equity["time"].to_numpy()
        values = self.equity["equity"].to_numpy(dtype=float)
        if (
            times.dtype.kind == "M"
            and len(times)
            and not np.isnat(times[0])
            and (times[1:] > times[:-1]).all()
            and not np.any(np.signbit(values) & (values == 0))
        ):
            # One row per time, in order (one account): each group's sum is its one value (pandas
            # versions and paths differ only on whether -0.0 comes out 0.0, so those take the group sum).
            by_time: pd.Series[float] = pd.Series(
                values, index=pd.DatetimeIndex(times, name="time"), name="equity"
            )
            return by_time
        curve = self.equity.groupby("time", sort=True)["equity"].sum(min_count=1)
        series: pd.Series[float] = curve.astype(float).rename("equity")
        return series

    @cached_property
    def account_curves(self) -> pd.DataFrame:
        """Equity per account (one column each), indexed by bar time."""
        if self.equity.empty:
            empty: pd.DataFrame = pd.DataFrame(index=self.equity_curve.index)
            return empty
        frame: pd.DataFrame = self.equity.pivot_table(
            index="time", columns="account", values="equity", aggfunc="sum"
        ).astype(float)
        return frame

    @cached_property
    def drawdown(self) -> pd.Series[float]:
        """Fraction below the running peak (≤ 0); the initial cash is the
        first peak."""
        return drawdown_series(self.equity_curve, self.initial_cash)

    @cached_property
    def exposure(self) -> pd.Series[bool]:
        """True at the bars where any account holds a position."""
        run = self._unbuilt("equity")
        read: pd.Series[bool] | None = None if run is None else run.equity.exposure()
        if read is not None:
            return read
        if self.equity.empty:
            return pd.Series(dtype=bool, name="exposure")
        held = (self.equity["market_value"].fillna(0).astype(float) != 0) | (
            self.equity["margin"].fillna(0).astype(float) != 0
        )
        times = self.equity["time"].to_numpy()
        if times.dtype.kind == "M" and not np.isnat(times[0]) and (times[1:] > times[:-1]).all():
            # one row per time, in order (one account): nothing to group
            by_time: pd.Series[bool] = pd.Series(
                held.to_numpy(), index=pd.DatetimeIndex(times, name="time"), name="exposure"
            )
            return by_time
        series: pd.Series[bool] = held.groupby(self.equity["time"]).any().rename("exposure")
        return series

    @cached_property
    def round_trips(self) -> pd.DataFrame:
        """Round trips (see ``match_round_trips``), with the positions still
        open at the end valued at their code's last close ("open at the end")
        when the result has the bars."""
        run = self._unbuilt("stops")
        if run is not None and not run.any_stops():
            # no stop order placed a closing order: the orders and stops need not be read
            return match_round_trips(self.trades, marks=self._marks())
        return match_round_trips(self.trades, self.orders, self.stops, marks=self._marks())

    def _marks(self) -> dict[str, tuple[pd.Timestamp, float]] | None:
        """code -> (the last bar's time, the code's last close), from the bars."""
        if self.bars is None or not len(self.bars.times):
            return None
        last = self.closes.ffill().iloc[-1]
        return {code: (self.bars.times[-1], float(last[code])) for code in self.bars.codes}

    @cached_property
    def closes(self) -> pd.DataFrame:
        """The close of every code (a column each) at every bar, NaN where a
        code has no bar; empty without the bars."""
        if self.bars is None:
            empty: pd.DataFrame = pd.DataFrame(index=pd.DatetimeIndex([], name="time"))
            return empty
        frame: pd.DataFrame = pd.DataFrame(
            self.bars.values[:, :, 3].T,
            index=self.bars.times.rename("time"),
            columns=list(self.bars.codes),
        )
        return frame

    @cached_property
    def traded_codes(self) -> list[str]:
        """The codes with fills, in the order of the data (or of the first fill)."""
        filled = list(pd.unique(self.trades["code"].dropna().astype(str)))
        if self.bars is None:
            return filled
        keys = {code.upper() for code in filled}
        return [code for code in self.bars.codes if code.upper() in keys]

    @cached_property
    def benchmark_codes(self) -> list[str]:
        """The codes the benchmark holds (none for a price Series or "none")."""
        if isinstance(self.benchmark, pd.Series) or self.bars is None:
            return []
        # the codes traded are read (from the fills) only for the benchmark that holds them
        traded = self.traded_codes if self.benchmark == "traded" else ()
        return benchmark_codes(self.benchmark, self.bars.codes, traded)

    @cached_property
    def benchmark_curve(self) -> pd.Series[float]:
        """The benchmark's equity at the bars of ``equity_curve``, from the
        initial cash (empty without a benchmark)."""
        times = self.equity_curve.index
        if isinstance(self.benchmark, pd.Series):
            prices = self.benchmark.astype(float).sort_index()
            prices = prices[~prices.index.duplicated(keep="last")]
            at = prices.reindex(prices.index.union(times)).ffill().reindex(times)
            return buy_and_hold(at.to_numpy()[None, :], times, self.initial_cash)
        codes = self.benchmark_codes
        if not codes or not len(times):
            return pd.Series(dtype=float, name="benchmark")
        closes = self.closes[codes].reindex(times)
        return buy_and_hold(closes.to_numpy().T, times, self.initial_cash)

    @property
    def benchmark_name(self) -> str:
        """The benchmark in words ("none" without one)."""
        if isinstance(self.benchmark, pd.Series):
            name = self.benchmark.name
            return f"buy and hold of {name if name is not None else 'the given prices'}, from the first bar"
        if self.bars is None or not self.benchmark_codes:
            return "none"
        if self.benchmark == "traded" and not self.traded_codes:
            return (
                describe_benchmark("equal-weight", self.benchmark_codes) + " (nothing was traded)"
            )
        return describe_benchmark(self.benchmark, self.benchmark_codes)

    @cached_property
    def returns_by_month(self) -> pd.DataFrame:
        """The return of each calendar month (``strategy`` and, with a
        benchmark, ``benchmark`` columns), indexed by month."""
        return self._period_returns("M")

    @cached_property
    def returns_by_year(self) -> pd.DataFrame:
        """The return of each calendar year, as ``returns_by_month``."""
        return self._period_returns("Y")

    def _period_returns(self, period: Literal["M", "Y"]) -> pd.DataFrame:
        table = {"strategy": period_returns(self.equity_curve, self.initial_cash, period)}
        if len(self.benchmark_curve):
            table["benchmark"] = period_returns(self.benchmark_curve, self.initial_cash, period)
        frame: pd.DataFrame = pd.DataFrame(table)
        return frame

    def rolling(self, window: int = 126) -> pd.DataFrame:
        """Rolling annualised Sharpe ratio and volatility over ``window``
        daily returns, of the strategy (``sharpe``, ``volatility``) and of the
        benchmark (``benchmark_sharpe``, ``benchmark_volatility``), and the
        strategy's ``beta`` against the benchmark over the same window (the
        covariance of the days' returns over the benchmark's variance, as
        the whole run's beta; NaN where the benchmark did not move)."""
        per_year, calendar = self.sessions_per_year, self.calendar
        figures = rolling_figures(
            self.equity_curve, self.initial_cash, self.frequency, window, per_year, calendar
        )
        if len(self.benchmark_curve):
            theirs = rolling_figures(
                self.benchmark_curve, self.initial_cash, self.frequency, window, per_year, calendar
            )
            figures = figures.join(theirs.add_prefix("benchmark_"))
            args = (self.initial_cash, self.frequency, calendar)
            ours_r = daily_returns(self.equity_curve, *args).replace([np.inf, -np.inf], np.nan)
            theirs_r = daily_returns(self.benchmark_curve, *args).replace([np.inf, -np.inf], np.nan)
            theirs_r = theirs_r.where(ours_r.notna())  # the days both are known, as alpha_beta
            ours_r = ours_r.where(theirs_r.notna())
            with np.errstate(all="ignore"), warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)
                variance = theirs_r.rolling(window, min_periods=window).var(ddof=0)
                covariance = ours_r.rolling(window, min_periods=window).cov(theirs_r, ddof=0)
                beta = (covariance / variance.where(variance >= 1e-30)).replace(
                    [np.inf, -np.inf], np.nan
                )
            figures["beta"] = beta.reindex(figures.index)
        return figures

    @cached_property
    def stats(self) -> pd.Series[Any]:
        """The statistics (see ``korvit.backtest.stats``); the round-trip
        figures are of the closed round trips, the positions still open at
        the end ("open at the end"), whose value the equity holds, only
        counted (``Open at the end``)."""
        run = self._unbuilt("orders")
        # the statistics count the orders by status: the column alone, unless the table is built
        orders = self.orders if run is None else pd.DataFrame({"status": run.order_statuses()})
        return compute_stats(
            self.equity_curve,
            self.trades,
            self.round_trips,
            frequency=self.frequency,
            initial_cash=self.initial_cash,
            exposure=self.exposure,
            orders=orders,
            benchmark=self.benchmark_curve,
            periods_per_year=self.sessions_per_year,
            calendar=self.calendar,
        )

    @cached_property
    def drawdowns(self) -> pd.DataFrame:
        """The five deepest drawdowns, deepest first (``peak``, ``trough``,
        ``recovery``, NaT when not recovered, ``depth``, ``length``): see
        ``korvit.backtest.stats.worst_drawdowns``."""
        return worst_drawdowns(self.equity_curve, self.initial_cash)

    @property
    def caveats(self) -> list[str]:
        """Lines the reader of the statistics should heed: annualised figures
        of a run shorter than about three months (see
        ``korvit.backtest.stats.caveats``)."""
        return caveats(self.stats)

    # -- presentation ---------------------------------------------------
    @property
    def title(self) -> str:
        name = self.strategy or "Backtest"
        start, end = self.stats["Start"], self.stats["End"]
        if pd.isna(start):
            return name
        return f"{name} · {format_stat('Start', start)} – {format_stat('End', end)}"

    def benchmark_line(self) -> str | None:
        """``Benchmark  NAME`` and, on a second line, its return, CAGR and
        drawdown and the run's alpha, beta and information ratio against it;
        None without a benchmark."""
        if not len(self.benchmark_curve):
            return None
        s = self.stats
        figures = ", ".join(
            f"{label} {format_stat(name, s[name])}"
            for label, name in (
                ("return", "Benchmark return"),
                ("annualised", "Benchmark annualised return"),
                ("max drawdown", "Benchmark max drawdown"),
                ("alpha", "Alpha"),
                ("beta", "Beta"),
                ("information ratio", "Information ratio"),
            )
        )
        return f"Benchmark  {self.benchmark_name}\n           {figures}"

    def summary(self) -> str:
        """The statistics as a short two-column text table (with a line under
        it when the annualised figures, marked ``*``, come from too short a
        run: ``caveats``), then the orders
        (placed, filled, cancelled, denied, and the most common reasons of
        the denials and cancellations), then the benchmark and the figures
        against it, then the bars, the calendar (``calendar_line``) and the fee
        schedules in force (``meta["fees"]``, one line per schedule)."""
        notes = self.caveats
        items = [
            (name + ("*" if notes and name in ANNUALISED_STATS else ""), format_stat(name, value))
            for name, value in _stat_items(self.stats)
            if name not in ORDER_STATS and name not in BENCHMARK_STATS
        ]
        half = (len(items) + 1) // 2
        left, right = items[:half], items[half:]
        lw = max(len(n) for n, _ in left) + 2
        lv = max(len(v) for _, v in left)
        rw = max(len(n) for n, _ in right) + 2
        rv = max(len(v) for _, v in right)
        width = lw + lv + 4 + rw + rv
        lines = [self.title, "─" * max(len(self.title), width)]
        for i, (name, value) in enumerate(left):
            line = f"{name:<{lw}}{value:>{lv}}"
            if i < len(right):
                rname, rvalue = right[i]
                line += f"    {rname:<{rw}}{rvalue:>{rv}}"
            lines.append(line)
        lines += [f"* {note}" for note in notes]
        lines.append("")
        lines.append(f"Orders  {orders_line(self.orders)}")
        for status in ("denied", "cancelled"):
            reasons = order_reasons(self.orders, status)
            if reasons:
                lines.append(f"        {status}: {_reasons_text(reasons)}")
        benchmark = self.benchmark_line()
        if benchmark:
            lines += ["", benchmark]
        fees = self.meta.get("fees")
        lines += ["", f"Parameters  {self.params_line()}", f"Bars  {self.bars_description}"]
        calendar = self.calendar_line()
        if calendar:
            lines.append(f"Calendar  {calendar}")
        if fees:
            lines += [
                ("Fees  " if k == 0 else "      ") + fee_line(line) for k, line in enumerate(fees)
            ]
        return "\n".join(lines)

    def params_line(self) -> str:
        """The parameters in force: "fast = 20; the strategy's defaults: slow = 30,
        stop = 5" (those given first, then the defaults the strategy read)."""
        defaulted = set(self.params_defaulted)

        def listed(names: list[str]) -> str:
            return ", ".join(f"{name} = {shown_value(self.params[name])}" for name in names)

        given = [name for name in self.params if name not in defaulted]
        own = [name for name in self.params if name in defaulted]
        parts = [listed(given)] if given else []
        if own:
            parts.append(
                f"the strategy's defaults: {listed(own)}"
                if given
                else f"{listed(own)} (the strategy's defaults)"
            )
        return "; ".join(parts) or "none"

    @property
    def bar_kind(self) -> str:
        """The bars in words: ``meta["bars"]`` ("60-minute bars", set by the run), else
        "daily bars" or "minute bars"."""
        return str(
            self.meta.get("bars") or ("daily bars" if self.frequency == "day" else "minute bars")
        )

    @property
    def bars_description(self) -> str:
        """ "5,000 60-minute bars of FX.EURUSD": the bars run, their kind and codes."""
        codes = [str(code) for code in self.meta.get("codes") or []]
        named = shortened(codes, 3)
        return f"{len(self.equity_curve):,d} {self.bar_kind}" + (f" of {named}" if named else "")

    def __repr__(self) -> str:
        s = self.stats
        denied = s["Orders denied"]
        denied = f"{denied:,d} order{'s' if denied != 1 else ''} denied, " if denied else ""
        return (
            f"<BacktestResult {self.strategy or 'backtest'}: {len(self.equity_curve)} bars, "
            f"{s['Trades']} trades, {denied}total return {format_stat('Total return', s['Total return'])}>"
        )

    def _repr_html_(self) -> str:
        rows = "".join(
            f"<tr><th style='text-align:left'>{html.escape(name)}</th>"
            f"<td style='text-align:right'>{html.escape(format_stat(name, value))}</td></tr>"
            for name, value in _stat_items(self.stats)
        )
        denied = denials_line(self.orders)
        flag = (
            f"<p style='color:#c0392b;font-weight:600'>{html.escape(denied)}</p>" if denied else ""
        )
        return f"<div><strong>{html.escape(self.title)}</strong>{flag}<table>{rows}</table></div>"

    def to_html(self) -> str:
        """The full report as one self-contained HTML document."""
        from korvit.report.report import render_report

        return render_report(self)

    def plot(self, show: bool | None = None) -> LayoutDOM:
        """The report's charts (equity with the benchmark and the drawdown,
        each instrument's prices with the fills and stops, returns by month,
        rolling Sharpe ratio and volatility) as one Bokeh layout, which is
        returned.  ``show``: draw it inline (None: when running in a Jupyter
        kernel), with its JavaScript embedded, so the notebook needs no
        network."""
        from korvit.report.charts import result_layout

        layout: LayoutDOM = result_layout(self)
        if show is None:
            show = _in_notebook()
        if show:
            from bokeh.io import output_notebook
            from bokeh.io import show as show_layout
            from bokeh.resources import INLINE

            output_notebook(resources=INLINE, hide_banner=True)
            show_layout(layout)
        return layout

    # -- output ---------------------------------------------------------
    def save(self, directory: str | os.PathLike[str], format: Format = "csv") -> Path:
        """Write the records, round trips, statistics (with the caveats and the
        worst drawdowns) and report to
        ``directory`` (created if needed) as one set: a reader sees the
        files of the earlier save or those of this one, never a mix, also
        after a failure or a kill in the middle (see
        ``korvit.backtest.files``).  ``format``: the tables as "csv" (the
        default: equity.csv, orders.csv, ...) or "parquet" (equity.parquet,
        ...), each written a slice of rows at a time
        (``korvit.backtest.table_files``); the tables of the other format a
        former save left there are taken away.  Returns the report's path.
        """
        from korvit.backtest.table_files import FORMATS, check_format, table_writer

        format = check_format(format)
        folder = Path(directory)
        # Render first: it is the step most likely to fail, and nothing is
        # replaced when it does.
        report = self.to_html()
        document = {
            "strategy": self.strategy,
            "frequency": self.frequency,
            "initial_cash": _jsonable(self.initial_cash),
            "params": _jsonable(self.params),
            "params_defaulted": list(self.params_defaulted),
            "meta": _jsonable(self.meta),
            "benchmark": self.benchmark_name,
            **(
                {}
                if self.calendar is None
                else {
                    "calendar": self.calendar.name,
                    "sessions_per_year": self.calendar.sessions_per_year,
                }
            ),
            "stats": stats_to_numbers(self.stats),
            "units": STAT_UNITS,
            "caveats": self.caveats,
            "drawdowns": _jsonable(self.drawdowns.to_dict("records")),
        }
        stats_text = json.dumps(document, indent=2, ensure_ascii=False, allow_nan=False) + "\n"
        frames = {
            "equity": self.equity,
            "orders": self.orders,
            "trades": self.trades,
            "stops": self.stops,
            "round_trips": self.round_trips,
        }
        writers: dict[str, tuple[bool, Callable[[IO[Any]], object]]] = {
            f"{name}.{format}": table_writer(frame, format) for name, frame in frames.items()
        }
        writers["stats.json"] = (False, lambda fh: fh.write(stats_text))
        writers["report.html"] = (False, lambda fh: fh.write(report))
        others = [f"{name}.{other}" for other in FORMATS if other != format for name in frames]
        save_file_set(folder, writers, drop=others)
        return folder / "report.html"
