"""The data of a backtest's charts, ready to draw, without a drawing library.

Five charts: the equity with the benchmark (on a linear or a log scale), the
drawdown below it and a range selector (``equity_data``); each traded
instrument's prices with its fills, stop levels, volume and the indicators
its strategy made in ``init``, one instrument at a time (``price_data``); the
returns by month as a heat map (``monthly_data``); the histogram of the daily
returns (``histogram_data``); and the rolling Sharpe ratio, volatility and
beta against the benchmark (``rolling_data``).  Each gives a dict of plain values
and numpy arrays (None when the chart has nothing to show): the HTML report
draws them in the browser with BokehJS, ``korvit.report.charts`` with
Bokeh's Python models (``BacktestResult.plot``).

Big runs stay small: the equity chart keeps at most ``EQUITY_POINTS`` points
(the lowest and the highest equity of each stretch of bars, so no peak or
trough goes missing), and the prices of all instruments together at most
about ``PRICE_POINTS`` points: consecutive bars are merged into one (open of
the first, highest high, lowest low, close of the last, summed volume).
Up to ``CANDLE_LIMIT`` points an instrument shows as candles, beyond as its
close within the band of its highs and lows.  Arrays are float32 where they
are prices (the indicators too, thinned as the prices: each merged bar
holds the value at its last bar).  Minute bars are placed one after another
by bar number, so nights and weekends take no room; daily bars on a time
axis (milliseconds).  Time axes name the year in their ticks when the run
crosses a year's end (``with_year``), on every chart alike.
"""

from __future__ import annotations

import math

import numpy as np
import pandas as pd

from korvit.backtest.results import _order_keys, exit_reasons, round_trips_words
from korvit.backtest.stats import OPEN_AT_END, daily_returns, drawdown_series

__all__ = [
    "equity_data",
    "price_data",
    "monthly_data",
    "rolling_data",
    "histogram_data",
    "chart_codes",
    "with_year",
    "unpacked",
    "rolling_window",
    "EQUITY_POINTS",
    "PRICE_POINTS",
    "CANDLE_LIMIT",
    "STOP_KINDS",
    "STOP_NAMES",
    "REASON_NAMES",
    "FILL_KINDS",
    "MONTHS",
]


EQUITY_POINTS = 5000
# Beyond this many bars with buys (or sells) the equity chart does not mark them.
MAX_EQUITY_MARKERS = 300
PRICE_POINTS = 50_000
MIN_PRICE_POINTS = 125  # an instrument, however many there are: 2,000 take about 8 MB of report
MAX_PRICE_POINTS = 20_000
CANDLE_LIMIT = 3000
# the codes whose bars are merged at once (each merge copies its codes' bars)
_CODES_AT_ONCE = 64
# Values beyond this are no money: the charts leave them out (their figures stay exact).
_LARGEST = 1e300
# At most this many runs of evenly spaced bars name the times of a compressed
# (bar-numbered) axis (beyond, every k-th bar names its own time alone).
MAX_TICK_RUNS = 20_000
MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")
# Kinds of stop levels, by their number in a chart's column ``k``, and their names.
STOP_KINDS = ("loss", "profit", "trailing")
STOP_NAMES = ("stop loss", "take profit", "trailing stop")
# Why a closing fill ended its position, by its number in the column ``r``.
REASON_NAMES = ("", "signal", "stop loss", "take profit", "trailing stop", OPEN_AT_END)
# The panes of the indicators drawn on a price chart before those of their own below
# it: over the candles, over the volume bars.
INDICATOR_PANES = ("price", "volume")
# At most this many bins in the histogram of the daily returns.
MAX_BINS = 60
# A fill's kind, by its number in the column ``k``.
FILL_KINDS = ("buy to open", "buy to close", "sell to open", "sell to close")


# ------------------------------------------------------------------ the time axis


def with_year(times) -> bool:
    """Whether a time axis over ``times`` names the year in its ticks: when
    its first and last times fall in different years (a run within one year
    reads "03-14 09:31" or "Mar 14"; one across years "2008-03-14 09:31" or
    "2008-03-14")."""
    times = pd.DatetimeIndex(times).dropna()
    return bool(len(times)) and times.min().year != times.max().year


class _Axis:
    """Where a time sits on a chart's x axis: for daily bars its date in
    milliseconds (a datetime axis); for minute bars the number of its bar on
    the run's timeline (the bar that holds it), so closed hours take no room."""

    def __init__(self, times, frequency):
        self.times = pd.DatetimeIndex(times)
        self.compressed = frequency == "minute"
        self.years = with_year(self.times)
        # daily bars stamped at midnight: a fill inside a day sits on its day's bar
        self.dates = not self.compressed and bool((self.times == self.times.normalize()).all())

    def x(self, times) -> np.ndarray:
        times = pd.DatetimeIndex(times)
        if not self.compressed:
            return _ms(times.floor("D") if self.dates else times)
        pos = self.times.searchsorted(times, side="left")
        return np.clip(pos, 0, max(len(self.times) - 1, 0)).astype(np.float64)

    def of_bars(self, positions) -> np.ndarray:
        """x of bar positions (fractional positions: between bars)."""
        positions = np.asarray(positions, dtype=np.float64)
        if self.compressed:
            return positions
        ms = _ms(self.times)
        return np.interp(positions, np.arange(len(ms)), ms) if len(ms) else positions

    def bar_width(self) -> float:
        """The x distance of one bar (a day in milliseconds on a datetime axis)."""
        if self.compressed or len(self.times) < 2:
            return 1.0 if self.compressed else 86_400_000.0
        return float(np.median(np.diff(_ms(self.times))))

    def tick_labels(self):
        """On a compressed axis, the time of every bar, as the ticks name it:
        the runs of bars at the axis's usual spacing (``pos``: the number of
        each run's first bar; ``ms``: its time in milliseconds), ``step``
        (that spacing in milliseconds) and ``last`` (the last bar's number):
        bar b of the run from bar pos[a] is at ms[a] + (b - pos[a]) * step.
        Every chart over the same bars names each bar alike, whatever points
        it draws.  Beyond ``MAX_TICK_RUNS`` runs, every k-th bar names its
        own time alone (step 0).  None on a time axis."""
        if not self.compressed:
            return None
        ms = _ms(self.times)
        gaps = np.diff(ms)
        step = float(np.median(gaps)) if len(gaps) else 0.0
        starts = np.flatnonzero(np.r_[True, gaps != step]) if len(ms) else np.empty(0, np.int64)
        if len(starts) > MAX_TICK_RUNS:
            starts, step = np.arange(0, len(ms), math.ceil(len(ms) / MAX_TICK_RUNS)), 0.0
        return {
            "pos": starts.astype(np.int32),
            "ms": ms[starts],
            "step": step,
            "last": max(len(ms) - 1, 0),
        }


def _ms(times) -> np.ndarray:
    """Times as float milliseconds since 1970 (as Bokeh's datetime axis reads them)."""
    values = pd.DatetimeIndex(times).to_numpy()  # whatever the unit: ns, us, ...
    out = values.astype("datetime64[us]").astype(np.int64).astype(np.float64) / 1e3
    out[np.isnat(values)] = np.nan
    return out


def _finite(values) -> np.ndarray:
    """The values with infinities and amounts beyond any money as NaN (a gap)."""
    values = np.asarray(values, dtype=np.float64).copy()
    values[~np.isfinite(values) | (np.abs(values) > _LARGEST)] = np.nan
    return values


def _span(*arrays, zero=False, pad=0.06):
    """(start, end) around the finite values of ``arrays``; (0, 1) without any."""
    values = np.concatenate(
        [_finite(a).ravel() for a in arrays] + [np.zeros(1) if zero else np.empty(0)]
    )
    values = values[np.isfinite(values)]
    if not len(values):
        return 0.0, 1.0
    low, high = float(values.min()), float(values.max())
    gap = (high - low) * pad or abs(high) * 0.02 or 1.0
    if zero and low >= 0:
        return 0.0, high + gap
    if zero and high <= 0:
        return low - gap, gap * 0.2
    return low - gap, high + gap


def _log_span(*arrays, pad=0.06):
    """(start, end) around the finite values of ``arrays`` on a log scale
    (padded by ``pad`` of the span of their logarithms); None when a value is
    not above zero, or there is none."""
    values = np.concatenate([_finite(a).ravel() for a in arrays])
    values = values[np.isfinite(values)]
    if not len(values) or values.min() <= 0:
        return None
    low, high = math.log(values.min()), math.log(values.max())
    gap = (high - low) * pad or 0.02
    return math.exp(low - gap), math.exp(high + gap)


# ------------------------------------------------------------------ equity


def _thin(values, limit):
    """Positions to draw of a series: all when there are at most ``limit``,
    else the first and last and, in each of ``limit / 2`` stretches, the
    positions of the lowest and the highest value."""
    n = len(values)
    if n <= limit:
        return np.arange(n)
    k = math.ceil(n / max(1, limit // 2))
    padded = np.full(math.ceil(n / k) * k, np.nan)
    padded[:n] = _finite(values)
    blocks = padded.reshape(-1, k)
    known = np.isfinite(blocks)
    low = np.where(known, blocks, np.inf).argmin(axis=1)
    high = np.where(known, blocks, -np.inf).argmax(axis=1)
    starts = np.arange(len(blocks)) * k
    keep = np.unique(np.concatenate([starts + low, starts + high, [0, n - 1]]))
    return keep[keep < n]


def _fill_markers(result, curve):
    """Bar positions (on ``curve``) and equity values of the buys and of the
    sells: a fill sits on its own bar, or on the last bar before it when it
    falls between bars; fills before the first bar are left out."""
    trades = result.trades
    out = []
    for side in ("buy", "sell"):
        if curve.empty or trades.empty:
            out.append((np.array([], dtype=int), np.array([])))
            continue
        times = pd.DatetimeIndex(
            trades.loc[trades["side"].astype(str).str.lower() == side, "time"].dropna().unique()
        ).sort_values()
        pos = curve.index.searchsorted(times, side="right") - 1
        pos = np.unique(pos[pos >= 0])
        out.append((pos, curve.to_numpy()[pos]))
    return out[0], out[1]


# ------------------------------------------------------------------ prices


def chart_codes(result) -> list:
    """The instruments shown: the traded codes, or every code of the data when
    nothing was traded."""
    if result.bars is None:
        return []
    return list(result.traded_codes) or list(result.bars.codes)


def _merge(values, step):
    """Bars merged ``step`` at a time: (open, high, low, close, volume), each
    of shape (codes, merged bars); a stretch without any bar of a code is NaN
    (volume 0)."""
    n_codes, n_bars, _ = values.shape
    if step == 1:
        return tuple(values[:, :, k] for k in range(5))
    n = math.ceil(n_bars / step)
    padded = np.full((n_codes, n * step, 5), np.nan)
    padded[:, :n_bars] = values
    blocks = padded.reshape(n_codes, n, step, 5)
    with np.errstate(all="ignore"):
        import warnings

        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            high = np.nanmax(blocks[..., 1], axis=2)
            low = np.nanmin(blocks[..., 2], axis=2)
    known = np.isfinite(blocks[..., 3])
    first = known.argmax(axis=2)
    last = step - 1 - known[..., ::-1].argmax(axis=2)
    rows, cols = np.indices(first.shape)
    opens = blocks[..., 0][rows, cols, first]
    closes = blocks[..., 3][rows, cols, last]
    none = ~known.any(axis=2)
    opens[none] = closes[none] = np.nan
    volume = np.nansum(np.nan_to_num(blocks[..., 4], nan=0.0), axis=2)
    return opens, high, low, closes, volume


def _stop_segments(result, axis, values_of):
    """The stop levels of every code as horizontal segments, by code: a
    stop-loss or take-profit from its order's first fill to its firing (or to
    the end of the position it guarded); a trailing stop at its last level,
    from the bar that set it (the best price of the position: its highest
    high for a long, lowest low for a short) to its end.  Each code's
    segments: x0, x1, y (float32) and k (the kind's place in ``STOP_KINDS``).
    ``values_of(code)``: the code's bars (bars × open, high, low, close, volume)."""
    stops, trades, rt = result.stops, result.trades, result.round_trips
    if not len(stops) or not len(trades):
        return {}
    levels = stops["stop_price"].to_numpy(dtype=float)
    kinds = stops["kind"].astype(str).to_numpy()
    keep = (
        np.isfinite(levels)
        & (levels > 0)
        & (np.abs(levels) <= _LARGEST)
        & np.isin(kinds, STOP_KINDS)
    )
    stops = stops[keep]
    if not len(stops):
        return {}
    order_keys = _order_keys(trades["order_id"])
    first_fill = trades.groupby(order_keys)["time"].min()
    side = trades.groupby(order_keys)["side"].first().astype(str).str.lower()
    ended = pd.Series(dtype="datetime64[ns]")
    if len(rt):
        by_trade = pd.Series(
            order_keys.to_numpy(), index=_order_keys(trades["trade_id"]).to_numpy()
        )
        by_trade = by_trade[~by_trade.index.duplicated()]
        owner = _order_keys(rt["entry_trade_id"]).map(by_trade)
        ended = rt["exit_time"].groupby(owner.to_numpy()).max()
    keys = _order_keys(stops["order_id"])
    starts = keys.map(first_fill)
    ends = stops["trigger_time"].where(stops["trigger_time"].notna(), keys.map(ended))
    last = axis.times[-1] if len(axis.times) else pd.NaT
    ends = pd.to_datetime(ends).fillna(last)
    known = starts.notna().to_numpy()
    stops, keys, starts, ends = (
        stops[known],
        keys[known],
        pd.to_datetime(starts[known]),
        ends[known],
    )
    starts = starts.to_numpy().copy()
    kind = stops["kind"].astype(str).to_numpy()
    codes = stops["code"].astype(str).to_numpy()
    for i in np.flatnonzero(kind == "trailing"):
        values = values_of(codes[i])
        if values is None:
            continue
        a = axis.times.searchsorted(starts[i], side="left")
        b = min(axis.times.searchsorted(ends.iloc[i], side="left"), len(axis.times) - 1)
        if b <= a:
            continue
        long = side.get(keys.iloc[i], "buy") == "buy"
        window = values[a : b + 1, 1] if long else values[a : b + 1, 2]
        if np.isfinite(window).any():
            best = int(np.nanargmax(window) if long else np.nanargmin(window))
            starts[i] = axis.times[a + best].to_datetime64()
    x0, x1 = axis.x(starts), axis.x(ends)
    y = stops["stop_price"].to_numpy(dtype=np.float32)
    k = np.array([STOP_KINDS.index(name) for name in kind], dtype=np.int8)
    groups = pd.Series(np.arange(len(codes))).groupby(codes).indices
    return {
        code: {"x0": x0[rows], "x1": x1[rows], "y": y[rows], "k": k[rows]}
        for code, rows in groups.items()
    }


def _fill_table(result, axis, accounts):
    """The fills of every code, by code, in time order: x, t (time in
    milliseconds), p (price, float32), v (volume, float32), k (0 a buy that
    opens, 1 a buy that closes, 2 a sell that opens, 3 a sell that closes),
    r (why a closing fill ended its position: its place in ``REASON_NAMES``),
    a (the account's place in ``accounts``)."""
    trades = result.trades.sort_values("time", kind="stable")
    if not len(trades):
        return {}
    reasons = exit_reasons(result.orders, result.stops)
    sell = (trades["side"].astype(str).str.lower() == "sell").to_numpy()
    closing = (trades["effect"].astype(str).str.lower() != "open").to_numpy()
    codes_of = {name: k for k, name in enumerate(REASON_NAMES)}
    why = _order_keys(trades["order_id"]).map(
        {key: codes_of[reason] for key, reason in reasons.items()}
    )
    r = np.where(closing, why.fillna(codes_of["signal"]).to_numpy(dtype=np.int64), 0).astype(
        np.int8
    )
    places = {name: k for k, name in enumerate(accounts)}
    table = {
        "x": axis.x(trades["time"]),
        "t": _ms(trades["time"]),
        "p": _finite(trades["price"].to_numpy(dtype=float)).astype(np.float32),
        "v": trades["volume"].to_numpy(dtype=np.float32),
        "k": (2 * sell + closing).astype(np.int8),
        "r": r,
        "a": trades["account"].astype(str).map(places).fillna(0).to_numpy(dtype=np.int16),
    }
    groups = (
        pd.Series(np.arange(len(trades))).groupby(trades["code"].astype(str).to_numpy()).indices
    )
    return {
        code: {name: column[rows] for name, column in table.items()}
        for code, rows in groups.items()
    }


_FILL_COLUMNS = ("x", "t", "p", "v", "k", "r", "a")
_STOP_COLUMNS = ("x0", "x1", "y", "k")


def _empty_fills():
    return {
        "x": np.empty(0),
        "t": np.empty(0),
        "p": np.empty(0, np.float32),
        "v": np.empty(0, np.float32),
        "k": np.empty(0, np.int8),
        "r": np.empty(0, np.int8),
        "a": np.empty(0, np.int16),
    }


def _empty_stops():
    return {
        "x0": np.empty(0),
        "x1": np.empty(0),
        "y": np.empty(0, np.float32),
        "k": np.empty(0, np.int8),
    }


def _merge_last(values, step):
    """The last known value of each ``step`` values in a row (NaN where none is)."""
    values = np.asarray(values, dtype=np.float64)
    if step == 1:
        return values
    n = math.ceil(len(values) / step)
    padded = np.full(n * step, np.nan)
    padded[: len(values)] = values
    blocks = padded.reshape(n, step)
    known = np.isfinite(blocks)
    last = step - 1 - known[:, ::-1].argmax(axis=1)
    out = blocks[np.arange(n), last]
    out[~known.any(axis=1)] = np.nan
    return out


# An indicator's values travel as whole steps of int16 between their lowest and
# highest value (65,535 levels: far finer than a chart's pixels), half the room of
# float32; this step stands for NaN.
_NO_VALUE = -32768


def _packed(values):
    """``values`` (float64, NaN where unknown) as ``lo`` (their lowest),
    ``step`` and ``q``: int16, each value ``lo + (q + 32767) * step``
    (``unpacked``), ``_NO_VALUE`` where unknown."""
    known = np.isfinite(values)
    q = np.full(len(values), _NO_VALUE, dtype=np.int16)
    if not known.any():
        return {"lo": 0.0, "step": 0.0, "q": q}
    lo, hi = float(values[known].min()), float(values[known].max())
    step = (hi - lo) / 65534
    q[known] = (np.rint((values[known] - lo) / step) - 32767) if step > 0 else -32767
    return {"lo": lo, "step": step, "q": q}


def unpacked(item) -> np.ndarray:
    """An indicator's values (NaN where unknown) from ``_packed``'s ``lo``, ``step`` and ``q``."""
    q = np.asarray(item["q"])
    values = item["lo"] + (q.astype(np.float64) + 32767) * item["step"]
    values[q == _NO_VALUE] = np.nan
    return values


def _indicator_store(result, codes, step):
    """The indicators drawn on each code's price chart: the panes (those of
    ``INDICATOR_PANES``, then each pane of its own in the order first met),
    and per code a list of its indicators, each its label (name), its pane's
    place (pane) and its values thinned as the prices, packed (lo, step, q:
    see ``unpacked``)."""
    panes = list(INDICATOR_PANES)
    drawn = getattr(result, "indicators", None) or {}
    per_code = {}
    n_bars = len(result.bars.times)
    for code in codes:
        made = []
        for label, values, pane in drawn.get(code, ()):
            values = np.asarray(values, dtype=np.float64)
            if len(values) != n_bars:
                continue  # not on this run's timeline
            if pane not in panes:
                panes.append(pane)
            made.append(
                {
                    "name": str(label),
                    "pane": panes.index(pane),
                    **_packed(_finite(_merge_last(values, step))),
                }
            )
        per_code[code] = made
    return panes, per_code


def _price_store(result, codes, axis):
    """Per code: merged prices (float32), compact fills and stop segments,
    indicators and a title; and the shared x, times, step, mode and the
    indicators' panes."""
    bars = result.bars
    n_bars = len(bars.times)
    per_code = min(MAX_PRICE_POINTS, max(MIN_PRICE_POINTS, PRICE_POINTS // max(1, len(codes))))
    step = max(1, math.ceil(n_bars / per_code))
    index = [bars.index_of(code) for code in codes]
    # merged a few codes at a time: no copy of all the codes' bars at once
    merged = [
        _merge(bars.values[index[at : at + _CODES_AT_ONCE]], step)
        for at in range(0, len(index), _CODES_AT_ONCE)
    ]
    opens, high, low, closes, volume = (
        np.concatenate([part[k] for part in merged]) for k in range(5)
    )
    del merged
    n = opens.shape[1]
    firsts = np.arange(n) * step
    lasts = np.minimum(firsts + step - 1, n_bars - 1)
    x = axis.of_bars((firsts + lasts) / 2)
    times = _ms(bars.times[firsts])
    rt = result.round_trips
    trips = None
    if len(rt):
        still_open = (rt["exit_reason"] == OPEN_AT_END).astype(int).rename("open")
        trips = (
            rt.assign(open=still_open)
            .groupby(rt["code"].astype(str))
            .agg(size=("pnl", "size"), open=("open", "sum"), sum=("pnl", "sum"))
        )
    accounts = [str(a) for a in result.accounts] or ["main"]
    fills = _fill_table(result, axis, accounts)
    where = {code: k for k, code in enumerate(codes)}
    stops = _stop_segments(
        result, axis, lambda code: bars.values[index[where[code]]] if code in where else None
    )
    if not axis.compressed:  # fills at their bar's time need no time of their own
        for table in fills.values():
            if np.array_equal(table["x"], table["t"], equal_nan=True):
                del table["t"]
    panes, indicators = _indicator_store(result, codes, step)
    store = {}
    for k, code in enumerate(codes):
        count, still_open, pnl = (
            (
                int(trips.loc[code, "size"]),
                int(trips.loc[code, "open"]),
                float(trips.loc[code, "sum"]),
            )
            if trips is not None and code in trips.index
            else (0, 0, 0.0)
        )
        title = (
            f"{code} · {round_trips_words(count - still_open, still_open)}, P&L {pnl:+,.2f}"
            if count
            else f"{code} · no round trips"
        )
        if step > 1:
            title += f" · each {'candle' if n <= CANDLE_LIMIT else 'point'}: {step} bars"
        store[code] = {
            "o": opens[k].astype(np.float32),
            "h": high[k].astype(np.float32),
            "l": low[k].astype(np.float32),
            "c": closes[k].astype(np.float32),
            "v": volume[k].astype(np.float32),
            "title": title,
            "fills": fills.get(code, _empty_fills()),
            "stops": stops.get(code, _empty_stops()),
            "indicators": indicators[code],
        }
    return {
        "x": x,
        "time": times,
        "step": step,
        "candles": n <= CANDLE_LIMIT,
        "accounts": accounts,
        "width": axis.bar_width() * step * 0.7,
        "panes": panes,
    }, store


def _month_label(value, digits) -> str:
    """A month's return as signed percent; one that rounds to nothing is "0.0%",
    neither "+0.0%" nor "-0.0%"."""
    if not math.isfinite(value):
        return ""
    text = f"{value * 100:+.{digits}f}%"
    return text[1:] if float(text[:-1]) == 0 else text


def rolling_window(result) -> int | None:
    """The window of the rolling figures, in days: 126 (half a year) for runs
    of two years or more, else a quarter of the days (at least 20); None for
    runs too short for any (under 40 days)."""
    days = len(result.equity_curve.index.normalize().unique()) if len(result.equity_curve) else 0
    if days < 40:
        return None
    return 126 if days >= 504 else max(20, days // 4)


# ------------------------------------------------------------------ the charts' data


def _x_range(x):
    """(start, end) of an x axis showing ``x``; a single point gets room around it."""
    if len(x) > 1:
        return float(np.nanmin(x)), float(np.nanmax(x))
    return float(x[0]) - 1, float(x[0]) + 1


def equity_data(result) -> dict | None:
    """The equity chart: ``columns`` (x, time in milliseconds, equity,
    drawdown, and the benchmark's equity and drawdown where there is one) of
    at most ``EQUITY_POINTS`` bars; the ranges of the axes; the buys and
    sells to mark on the curve (each None when there are none or too many);
    the accounts' own curves when there are several; the start cash (None
    when it is no money); the tick labels of a compressed axis and whether
    ticks name the year; ``log_range``, the equity's y range on a log scale,
    None unless every known equity (and benchmark) value is above zero.
    None without bars."""
    curve = result.equity_curve
    if curve.empty:
        return None
    axis = _Axis(curve.index, result.frequency)
    bench = result.benchmark_curve.reindex(curve.index) if len(result.benchmark_curve) else None
    equity = curve.to_numpy(dtype=float)
    keep = _thin(equity, EQUITY_POINTS)
    x = axis.of_bars(keep)
    dd = result.drawdown.to_numpy(dtype=float)
    columns = {
        "x": x,
        "time": _ms(curve.index[keep]),
        "equity": _finite(equity[keep]),
        "drawdown": _finite(dd[keep]),
    }
    if bench is not None:
        columns["benchmark"] = _finite(bench.to_numpy(dtype=float)[keep])
        columns["benchmark_drawdown"] = _finite(
            drawdown_series(bench, result.initial_cash).to_numpy(dtype=float)[keep]
        )
    money = [columns["equity"]] + ([columns["benchmark"]] if bench is not None else [])
    marks = []
    for pos, y in _fill_markers(result, curve):
        # Many fills would hide the curve (the price chart shows them all).
        marks.append(
            {"x": axis.of_bars(pos), "y": _finite(y)}
            if 0 < len(pos) <= MAX_EQUITY_MARKERS
            else None
        )
    cash = float(result.initial_cash)
    out = {
        "compressed": axis.compressed,
        "columns": columns,
        "x_range": _x_range(x),
        "y_range": _span(*money, [cash]),
        "initial_cash": cash if math.isfinite(cash) and abs(cash) < _LARGEST else None,
        "buys": marks[0],
        "sells": marks[1],
        "drawdown_range": _span(
            columns["drawdown"], columns.get("benchmark_drawdown", []), zero=True
        ),
        "drawdown_format": "0%" if np.nanmin(np.r_[columns["drawdown"], 0]) < -0.03 else "0.0%",
        "overview_range": _span(columns["equity"]),
        "tick_labels": axis.tick_labels(),
        "years": axis.years,
        "log_range": _log_span(*money),
        "accounts": None,
    }
    # (one account needs no curves of its own: nor their table)
    accounts = result.account_curves if len(result.accounts) > 1 else None
    if accounts is not None and accounts.shape[1] > 1:
        acc = accounts.reindex(curve.index).iloc[keep]
        out["accounts"] = {
            "names": [str(name) for name in acc.columns],
            "columns": [_finite(acc[name].to_numpy(dtype=float)) for name in acc.columns],
            "y_range": _span(accounts.to_numpy(dtype=float)),
        }
    return out


def price_data(result) -> dict | None:
    """The price chart: the x of the (merged) bars, their times in
    milliseconds, the candles' width, whether they are candles, the
    accounts' names, the codes shown (the first shown first) and per code
    (``store``) its prices o, h, l, c, v, its title, its fills (x, t, p, v,
    k, r, a; t is left out where it equals x), its stop levels (x0, x1,
    y, k) and its indicators (each name, pane: its place in ``panes``, and
    its values packed: lo, step, q, see ``unpacked``); the names of the numbers in the columns k (of fills and of stops),
    r and a; the indicators' panes (``INDICATOR_PANES``, then those below
    the volume) and ``slots``, per pane the most indicators a code draws
    there; the ranges of the first code's axes; the tick labels of a
    compressed axis and whether ticks name the year.  None when there are
    no prices."""
    codes = chart_codes(result)
    if not codes or not len(result.bars.times):
        return None
    axis = _Axis(result.bars.times, result.frequency)
    shared, store = _price_store(result, codes, axis)
    first = store[codes[0]]
    x, half = shared["x"], shared["width"]
    slots = [0] * len(shared["panes"])
    for one in store.values():
        places = np.array([item["pane"] for item in one["indicators"]], dtype=np.intp)
        counts = np.bincount(places, minlength=len(slots)).tolist()
        slots = [max(a, b) for a, b in zip(slots, counts)]
    return {
        "compressed": axis.compressed,
        "codes": codes,
        "x": x,
        "time": shared["time"],
        "width": shared["width"],
        "step": shared["step"],
        "candles": shared["candles"],
        "accounts": shared["accounts"],
        "store": store,
        "fill_kinds": FILL_KINDS,
        "stop_names": STOP_NAMES,
        "reason_names": REASON_NAMES,
        "x_range": (float(x[0]) - half, float(x[-1]) + half),
        "y_range": _span(
            first["h"],
            first["l"],
            first["stops"]["y"],
            first["fills"]["p"],
            *[unpacked(item) for item in first["indicators"] if item["pane"] == 0],
        ),
        "volume_range": _span(
            first["v"],
            *[unpacked(item) for item in first["indicators"] if item["pane"] == 1],
            zero=True,
        ),
        "tick_labels": axis.tick_labels(),
        "years": axis.years,
        "panes": shared["panes"],
        "slots": slots,
    }


def monthly_data(result) -> dict | None:
    """The heat map of the returns by month: per month its name, year,
    return (value; NaN where unknown), label and the colour of the label's
    text (ink), and the benchmark's return; the years (rows, earliest
    first) and ``top``, the return at the ends of the colour scale.  None
    without any month."""
    table = result.returns_by_month
    if table.empty or not table["strategy"].notna().any():
        return None
    months = table.index
    strategy = table["strategy"].to_numpy(dtype=float)
    bench = (
        table["benchmark"].to_numpy(dtype=float)
        if "benchmark" in table
        else np.full(len(table), np.nan)
    )
    finite = np.abs(_finite(strategy))
    digits = 2 if np.isfinite(finite).any() and np.nanmax(finite) < 0.01 else 1
    top = float(np.nanpercentile(finite, 95)) if np.isfinite(finite).any() else 0.0
    top = top or 0.01
    columns = {
        "month": [MONTHS[m - 1] for m in months.month],
        "year": [str(y) for y in months.year],
        "value": _finite(strategy),
        "label": [_month_label(v, digits) for v in strategy],
        "benchmark": _finite(bench),
        # light text on the deep colours at both ends of the scale
        "ink": [
            "#ffffff" if math.isfinite(v) and abs(v) > 0.6 * top else "#1d2330" for v in strategy
        ],
    }
    return {"columns": columns, "years": [str(y) for y in sorted(set(months.year))], "top": top}


def rolling_data(result) -> dict | None:
    """The rolling figures: their window in days; ``columns`` (x, the day in
    milliseconds; sharpe, volatility and, where there is a benchmark, its
    sharpe and volatility and the strategy's beta against it); the ranges of
    the axes; whether ticks name the year.  None for a run too short."""
    window = rolling_window(result)
    if window is None:
        return None
    rolling = result.rolling(window)
    if not rolling["volatility"].notna().any():
        return None
    columns = {
        "x": _ms(rolling.index),
        **{name: _finite(rolling[name].to_numpy(dtype=float)) for name in rolling},
    }
    return {
        "window": window,
        "columns": columns,
        "x_range": (float(np.nanmin(columns["x"])), float(np.nanmax(columns["x"]))),
        "sharpe_range": _span(columns["sharpe"], columns.get("benchmark_sharpe", []), zero=True),
        "volatility_range": _span(
            columns["volatility"], columns.get("benchmark_volatility", []), zero=True
        ),
        "beta_range": _span(columns["beta"], zero=True) if "beta" in columns else None,
        "years": with_year(rolling.index),
    }


def histogram_data(result) -> dict | None:
    """The histogram of the daily returns: the bins' ``left`` and ``right``
    edges and the share of the days in each, of the strategy and (where
    there is one) of the benchmark, on the same bins; the axes' ranges.  The
    bins span the returns from their 0.5th to their 99.5th percentile (the
    rarer ones, beyond, counted in the end bins), about √days of them
    (10 to ``MAX_BINS``).  None with fewer than 5 known returns."""
    args = (result.initial_cash, result.frequency, result.calendar)
    ours = _finite(daily_returns(result.equity_curve, *args).to_numpy(dtype=float))
    ours = ours[np.isfinite(ours)]
    if len(ours) < 5:
        return None
    theirs = None
    if len(result.benchmark_curve):
        theirs = _finite(daily_returns(result.benchmark_curve, *args).to_numpy(dtype=float))
        theirs = theirs[np.isfinite(theirs)]
    both = np.concatenate([ours, theirs if theirs is not None else []])
    low, high = np.percentile(both, [0.5, 99.5])
    if not high > low:
        low, high = low - 0.001, high + 0.001
    n_bins = int(min(MAX_BINS, max(10, math.ceil(math.sqrt(len(ours))))))
    edges = np.linspace(low, high, n_bins + 1)

    def shares(values):
        counts, _ = np.histogram(np.clip(values, low, high), bins=edges)
        return counts / max(1, len(values))

    columns = {"left": edges[:-1], "right": edges[1:], "strategy": shares(ours)}
    if theirs is not None and len(theirs):
        columns["benchmark"] = shares(theirs)
    return {
        "columns": columns,
        "days": len(ours),
        "x_range": (float(low - (high - low) * 0.02), float(high + (high - low) * 0.02)),
        "y_range": _span(
            *[columns[k] for k in ("strategy", "benchmark") if k in columns], zero=True
        ),
    }
