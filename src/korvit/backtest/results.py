"""The result of a backtest run: its records, statistics and report.

The run loop builds a ``BacktestResult`` from four DataFrames (the equity of
every account at every bar, the orders, the fills and the stop orders).
Everything else is derived from them on first use: the total equity curve,
the drawdown, the round trips, the statistics, the text summary and the HTML
report.  ``save`` writes all of it to a directory, as one set.
"""

from __future__ import annotations

import html
import json
import sys
import warnings
from collections import deque
from functools import cached_property
from pathlib import Path

import numpy as np
import pandas as pd

from korvit.backtest.files import save_file_set
from korvit.backtest.stats import (ORDER_STATS, compute_stats, drawdown_series, format_stat, order_counts,
                                   order_reasons, stats_to_json)

__all__ = ["BacktestResult", "OrdersDeniedWarning", "match_round_trips", "orders_line", "denials_line",
           "warn_of_denials", "EQUITY_COLUMNS", "ORDER_COLUMNS",
           "TRADE_COLUMNS", "STOP_COLUMNS", "ROUND_TRIP_COLUMNS"]

EQUITY_COLUMNS = ("time", "account", "cash", "market_value", "margin", "equity")
ORDER_COLUMNS = ("order_id", "created", "updated", "account", "code", "type", "side",
                 "effect", "volume", "price", "status", "filled_volume", "average_price",
                 "reason", "stop_id", "reason_kind", "stop_price")
TRADE_COLUMNS = ("trade_id", "order_id", "time", "account", "code", "side", "effect",
                 "volume", "price", "multiplier", "fee")
STOP_COLUMNS = ("stop_id", "order_id", "account", "code", "kind", "gap", "gap_type",
                "status", "stop_price", "trigger_time", "trigger_price", "closing_order_id")
ROUND_TRIP_COLUMNS = ("account", "code", "side", "volume", "entry_time", "entry_price",
                      "exit_time", "exit_price", "multiplier", "pnl", "fees", "return",
                      "duration", "entry_trade_id", "exit_trade_id")

_TIME_COLUMNS = {"equity": ("time",), "orders": ("created", "updated"),
                 "trades": ("time",), "stops": ("trigger_time",)}


def _frame(data, columns, times) -> pd.DataFrame:
    """A copy of ``data`` with at least ``columns`` (missing ones empty) and
    its time columns as datetimes."""
    df = pd.DataFrame() if data is None else pd.DataFrame(data).copy()
    for col in columns:
        if col not in df.columns:
            df[col] = pd.Series(np.nan, index=df.index, dtype=float) \
                if col not in times else pd.Series(pd.NaT, index=df.index, dtype="datetime64[ns]")
    for col in times:
        df[col] = pd.to_datetime(df[col])
    return df.reset_index(drop=True)


def match_round_trips(trades: pd.DataFrame) -> pd.DataFrame:
    """Closed positions, matched first in, first out per (account, code).

    An ``open`` fill adds a lot to the long (buy) or short (sell) queue; a
    ``close`` fill takes volume from the front of the opposite queue (a sell
    closes longs, a buy closes shorts), one round trip per pair of fills it
    meets.  Longs and shorts are kept apart, so a hedged book (long and short
    of the same contract) matches as expected.  Each round trip carries the
    fees of both legs in proportion to the volume it takes from each.  Its
    ``return`` is the P&L over the entry notional (price × volume ×
    multiplier).  Close volume with nothing open to match (a position held
    before the run) yields no round trip.
    """
    rows = []
    if len(trades):
        order = trades.assign(_seq=np.arange(len(trades))).sort_values(
            ["time", "_seq"], kind="stable")
        book: dict[tuple, deque] = {}
        for t in order.itertuples(index=False):
            side, effect = str(t.side).lower(), str(t.effect).lower()
            volume = float(t.volume)
            if volume <= 0:
                continue
            if effect == "open":
                direction = "long" if side == "buy" else "short"
                book.setdefault((t.account, t.code, direction), deque()).append(
                    [t, volume])
                continue
            direction = "long" if side == "sell" else "short"
            queue = book.get((t.account, t.code, direction))
            left = volume
            while left > 1e-12 and queue:
                lot = queue[0]
                entry, entry_left = lot
                take = min(left, entry_left)
                mult = float(entry.multiplier) if pd.notna(entry.multiplier) else 1.0
                sign = 1.0 if direction == "long" else -1.0
                fees = (float(entry.fee) * take / float(entry.volume)
                        + float(t.fee) * take / volume)
                gross = (float(t.price) - float(entry.price)) * take * mult * sign
                pnl = gross - fees
                notional = float(entry.price) * take * mult
                rows.append({
                    "account": t.account, "code": t.code, "side": direction,
                    "volume": take,
                    "entry_time": entry.time, "entry_price": float(entry.price),
                    "exit_time": t.time, "exit_price": float(t.price),
                    "multiplier": mult, "pnl": pnl, "fees": fees,
                    "return": pnl / notional if notional else np.nan,
                    "duration": t.time - entry.time,
                    "entry_trade_id": entry.trade_id, "exit_trade_id": t.trade_id,
                })
                left -= take
                lot[1] = entry_left - take
                if lot[1] <= 1e-12:
                    queue.popleft()
    df = pd.DataFrame(rows, columns=list(ROUND_TRIP_COLUMNS))
    if df.empty:
        df["entry_time"] = pd.Series(dtype="datetime64[ns]")
        df["exit_time"] = pd.Series(dtype="datetime64[ns]")
        df["duration"] = pd.Series(dtype="timedelta64[ns]")
        for col in ("volume", "entry_price", "exit_price", "multiplier", "pnl", "fees",
                    "return"):
            df[col] = df[col].astype(float)
    return df


class OrdersDeniedWarning(UserWarning):
    """A run had orders denied (see the ``reason`` column of its orders)."""


# The reasons named in a line; the others are counted together.
_REASONS_SHOWN = 3


def _reasons_text(reasons) -> str:
    """``reason (count), ...`` for the most common reasons, the rest summed."""
    named = reasons if len(reasons) <= _REASONS_SHOWN + 1 else reasons[:_REASONS_SHOWN]
    shown = ", ".join(f"{reason} ({n:,d})" for reason, n in named)
    rest = reasons[len(named):]
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
    text = (f"{denied:,d} {what} denied" if denied == len(orders)
            else f"{denied:,d} of {len(orders):,d} {what} denied")
    reasons = order_reasons(orders, "denied")
    if reasons:
        text += f": {_reasons_text(reasons)}"
    return text + (f"; see {see}" if see else "")


def _outside_frames() -> int:
    """The ``stacklevel`` of a warning issued by this module's caller that
    names the first caller outside korvit (the user's own line)."""
    frame, level = sys._getframe(2), 2
    while frame is not None and str(frame.f_globals.get("__name__", "")).startswith("korvit."):
        frame, level = frame.f_back, level + 1
    return level


def warn_of_denials(result: "BacktestResult") -> None:
    """Warn (``OrdersDeniedWarning``) when some of the run's orders were denied."""
    text = denials_line(result.orders, "the reason column of the result's orders")
    if text:
        warnings.warn(text, OrdersDeniedWarning, stacklevel=_outside_frames())


def _jsonable(value):
    """``value`` with only JSON types: NaN becomes null, infinities and
    anything unknown (dates, objects) their text."""
    if isinstance(value, dict):
        return {str(k): _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(v) for v in value]
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        v = float(value)
        return None if np.isnan(v) else v if np.isfinite(v) else str(v)
    return str(value)


class BacktestResult:
    """Records and derived figures of one backtest run.

    ``equity``, ``orders``, ``trades`` and ``stops`` are kept as given (copied,
    missing columns added empty, time columns parsed).  ``frequency`` is
    ``"day"`` or ``"minute"``; ``initial_cash`` the starting cash summed over
    the accounts.  ``strategy``, ``params`` and ``meta`` only label the report
    and ``stats.json``.

    Exposure (the share of bars with an open position) is taken from the
    equity frame: a bar is exposed when any account holds margin or a
    non-zero market value there.
    """

    def __init__(self, equity, orders, trades, stops, *, frequency, initial_cash,
                 strategy="", params=None, meta=None):
        if frequency not in ("day", "minute"):
            raise ValueError(f"frequency must be 'day' or 'minute', not {frequency!r}")
        self.equity = _frame(equity, EQUITY_COLUMNS, _TIME_COLUMNS["equity"])
        self.orders = _frame(orders, ORDER_COLUMNS, _TIME_COLUMNS["orders"])
        self.trades = _frame(trades, TRADE_COLUMNS, _TIME_COLUMNS["trades"])
        self.stops = _frame(stops, STOP_COLUMNS, _TIME_COLUMNS["stops"])
        self.frequency = frequency
        self.initial_cash = float(initial_cash)
        self.strategy = "" if strategy is None else str(strategy)
        self.params = dict(params or {})
        self.meta = dict(meta or {})

    # -- derived series -------------------------------------------------
    @cached_property
    def accounts(self) -> list:
        return list(pd.unique(self.equity["account"].dropna()))

    @cached_property
    def equity_curve(self) -> pd.Series:
        """Total equity over the accounts, indexed by bar time."""
        curve = self.equity.groupby("time", sort=True)["equity"].sum(min_count=1)
        return curve.astype(float).rename("equity")

    @cached_property
    def account_curves(self) -> pd.DataFrame:
        """Equity per account (one column each), indexed by bar time."""
        if self.equity.empty:
            return pd.DataFrame(index=self.equity_curve.index)
        return self.equity.pivot_table(index="time", columns="account", values="equity",
                                       aggfunc="sum").astype(float)

    @cached_property
    def drawdown(self) -> pd.Series:
        """Fraction below the running peak (≤ 0); the initial cash is the
        first peak."""
        return drawdown_series(self.equity_curve, self.initial_cash)

    @cached_property
    def exposure(self) -> pd.Series:
        """True at the bars where any account holds a position."""
        if self.equity.empty:
            return pd.Series(dtype=bool, name="exposure")
        held = (self.equity["market_value"].fillna(0).astype(float) != 0) | \
               (self.equity["margin"].fillna(0).astype(float) != 0)
        return held.groupby(self.equity["time"]).any().rename("exposure")

    @cached_property
    def round_trips(self) -> pd.DataFrame:
        return match_round_trips(self.trades)

    @cached_property
    def stats(self) -> pd.Series:
        return compute_stats(self.equity_curve, self.trades, self.round_trips,
                             frequency=self.frequency, initial_cash=self.initial_cash,
                             exposure=self.exposure, orders=self.orders)

    # -- presentation ---------------------------------------------------
    @property
    def title(self) -> str:
        name = self.strategy or "Backtest"
        start, end = self.stats["Start"], self.stats["End"]
        if pd.isna(start):
            return name
        return f"{name} · {format_stat('Start', start)} – {format_stat('End', end)}"

    def summary(self) -> str:
        """The statistics as a short two-column text table, then the orders
        (placed, filled, cancelled, denied, and the most common reasons of
        the denials and cancellations), then the fee schedules in force
        (``meta["fees"]``, one line per schedule)."""
        items = [(name, format_stat(name, value)) for name, value in self.stats.items()
                 if name not in ORDER_STATS]
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
        lines.append("")
        lines.append(f"Orders  {orders_line(self.orders)}")
        for status in ("denied", "cancelled"):
            reasons = order_reasons(self.orders, status)
            if reasons:
                lines.append(f"        {status}: {_reasons_text(reasons)}")
        fees = self.meta.get("fees")
        lines += ["", f"Bars  {self.bars_description}"]
        if fees:
            lines += [("Fees  " if k == 0 else "      ") + str(line) for k, line in enumerate(fees)]
        return "\n".join(lines)

    @property
    def bar_kind(self) -> str:
        """The bars in words: ``meta["bars"]`` ("60-minute bars", set by the run), else
        "daily bars" or "minute bars"."""
        return str(self.meta.get("bars") or ("daily bars" if self.frequency == "day" else "minute bars"))

    @property
    def bars_description(self) -> str:
        """"5,000 60-minute bars of FX.EURUSD": the bars run, their kind and codes."""
        codes = [str(code) for code in self.meta.get("codes") or []]
        named = ", ".join(codes[:3]) + (f" and {len(codes) - 3} more" if len(codes) > 3 else "")
        return f"{len(self.equity_curve):,d} {self.bar_kind}" + (f" of {named}" if named else "")

    def __repr__(self) -> str:
        s = self.stats
        denied = s["Orders denied"]
        denied = f"{denied:,d} order{'s' if denied != 1 else ''} denied, " if denied else ""
        return (f"<BacktestResult {self.strategy or 'backtest'}: {len(self.equity_curve)} bars, "
                f"{s['Trades']} trades, {denied}total return {format_stat('Total return', s['Total return'])}>")

    def _repr_html_(self) -> str:
        rows = "".join(
            f"<tr><th style='text-align:left'>{html.escape(name)}</th>"
            f"<td style='text-align:right'>{html.escape(format_stat(name, value))}</td></tr>"
            for name, value in self.stats.items())
        denied = denials_line(self.orders)
        flag = (f"<p style='color:#c0392b;font-weight:600'>{html.escape(denied)}</p>"
                if denied else "")
        return (f"<div><strong>{html.escape(self.title)}</strong>{flag}"
                f"<table>{rows}</table></div>")

    def to_html(self) -> str:
        """The full report as one self-contained HTML document."""
        from korvit.backtest.report import render_report
        return render_report(self)

    # -- output ---------------------------------------------------------
    def save(self, directory) -> Path:
        """Write the records, round trips, statistics and report to
        ``directory`` (created if needed) as one set: a reader sees the
        files of the earlier save or those of this one, never a mix, also
        after a failure or a kill in the middle (see
        ``korvit.backtest.files``).  Returns the report's path.
        """
        directory = Path(directory)
        # Render first: it is the step most likely to fail, and nothing is
        # replaced when it does.
        report = self.to_html()
        document = {
            "strategy": self.strategy,
            "frequency": self.frequency,
            "initial_cash": self.initial_cash,
            "params": _jsonable(self.params),
            "meta": _jsonable(self.meta),
            "stats": stats_to_json(self.stats),
        }
        stats_text = json.dumps(document, indent=2, ensure_ascii=False, allow_nan=False) + "\n"
        frames = {"equity.csv": self.equity, "orders.csv": self.orders,
                  "trades.csv": self.trades, "stops.csv": self.stops,
                  "round_trips.csv": self.round_trips}
        writers = {name: (False, lambda fh, f=frame: f.to_csv(fh, index=False))
                   for name, frame in frames.items()}
        writers["stats.json"] = (False, lambda fh: fh.write(stats_text))
        writers["report.html"] = (False, lambda fh: fh.write(report))
        save_file_set(directory, writers)
        return directory / "report.html"
