"""The interactive charts of a backtest result, drawn with Bokeh.

Four charts, each a Bokeh layout: the equity with the benchmark, the drawdown
below it and a range selector (``equity_chart``); each traded instrument's
prices with its fills and stop levels and its volume, one instrument at a time
(``price_chart``); the returns by month as a heat map (``monthly_chart``);
and the rolling Sharpe ratio and volatility (``rolling_chart``).
``result_layout`` stacks them (``BacktestResult.plot``); the HTML report
embeds each in its own section.

Big runs stay small: the equity chart keeps at most ``EQUITY_POINTS`` points
(the lowest and the highest equity of each stretch of bars, so no peak or
trough goes missing), and the prices of all instruments together at most
about ``PRICE_POINTS`` points: consecutive bars are merged into one (open of
the first, highest high, lowest low, close of the last, summed volume).
Up to ``CANDLE_LIMIT`` points an instrument shows as candles, beyond as its
close within the band of its highs and lows.  Arrays travel as float32 where
they are prices.  Minute bars are placed one after another by bar number, so
nights and weekends take no room; daily bars on a time axis.

This module imports Bokeh; nothing imports it before a chart is drawn.
"""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
from bokeh.layouts import column
from bokeh.models import (ColumnDataSource, CustomJS, CustomJSTickFormatter, DatetimeTickFormatter,
                          HoverTool, LinearColorMapper, NumeralTickFormatter, Range1d, RangeTool, Select, Span)
from bokeh.palettes import RdYlGn11
from bokeh.plotting import figure

__all__ = ["equity_chart", "price_chart", "monthly_chart", "rolling_chart", "result_layout", "chart_codes",
           "EQUITY_POINTS", "PRICE_POINTS", "CANDLE_LIMIT"]

EQUITY_POINTS = 5000
# Beyond this many bars with buys (or sells) the equity chart does not mark them.
MAX_EQUITY_MARKERS = 300
PRICE_POINTS = 50_000
MIN_PRICE_POINTS = 500
MAX_PRICE_POINTS = 20_000
CANDLE_LIMIT = 3000
# Values beyond this are no money: the charts leave them out (their figures stay exact).
_LARGEST = 1e300

_BLUE, _GREY, _RED, _GREEN = "#2c5aa0", "#7f8794", "#c0392b", "#1a9850"
_UP, _DOWN = "#26a269", "#d1453b"
_STOP_COLORS = {"loss": "#d1453b", "profit": "#26a269", "trailing": "#e08a00"}
_STOP_NAMES = {"loss": "stop loss", "profit": "take profit", "trailing": "trailing stop"}
_TOOLS = "xpan,xwheel_zoom,box_zoom,reset,save"
_MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")

# Fits a y range to what is visible between the x range's ends: the columns
# `cols[k]` of `sources[k]` (x in `xcols[k]`, sorted), and the segments of
# `segments` (x0, x1, y); `zero` keeps 0 inside the range.
_FIT_Y = """
function fit(xr, yr, sources, xcols, cols, segments, zero) {
const lo = xr.start, hi = xr.end;
let min = Infinity, max = -Infinity;
for (let k = 0; k < sources.length; k++) {
  const d = sources[k].data, x = d[xcols[k]];
  if (!x || !x.length) continue;
  let a = 0, b = x.length;
  while (a < b) { const m = (a + b) >> 1; if (x[m] < lo) a = m + 1; else b = m; }
  for (let i = Math.max(0, a - 1); i < x.length; i++) {
    for (const c of cols[k]) {
      const v = d[c][i];
      if (Number.isFinite(v) && Math.abs(v) < 1e300) { if (v < min) min = v; if (v > max) max = v; }
    }
    if (x[i] > hi) break;
  }
}
if (segments) {
  const d = segments.data;
  for (let i = 0; i < (d.y ? d.y.length : 0); i++) {
    if (d.x0[i] <= hi && d.x1[i] >= lo && Number.isFinite(d.y[i])) { min = Math.min(min, d.y[i]); max = Math.max(max, d.y[i]); }
  }
}
if (zero) { min = Math.min(min, 0); max = Math.max(max, 0); }
if (min <= max) {
  const pad = (max - min) * 0.06 || Math.abs(max) * 0.02 || 1;
  yr.start = zero && min >= 0 ? 0 : min - pad;
  yr.end = zero && max <= 0 ? pad * 0.2 : max + pad;
}
}
"""

# Shows another instrument: its prices, fills and stops from `store` (the
# instrument shown first is not in it until another one is shown: its data
# is the sources' own); the code is the Select's value or the first tag of
# the model that changed.
_SHOW_CODE = _FIT_Y + """
const code = cb_obj.value !== undefined ? cb_obj.value : cb_obj.tags[0];
const get = (o, k) => (o instanceof Map ? o.get(k) : o[k]);
const put = (o, k, v) => { if (o instanceof Map) o.set(k, v); else o[k] = v; };
const shown = get(current, "code");
const one = get(store, code);
if (one === undefined || code === shown) return;
const keep = (source, names) => { const out = {}; for (const n of names) out[n] = source.data[n]; return out; };
if (get(store, shown) === undefined) {
  put(store, shown, {o: prices.data.o, h: prices.data.h, l: prices.data.l, c: prices.data.c, v: prices.data.v,
                     title: title.text, fills: keep(fills, fill_columns), stops: keep(stops, stop_columns)});
}
put(current, "code", code);
const o = get(one, "o"), c = get(one, "c"), n = c.length, up = new Int8Array(n);
for (let i = 0; i < n; i++) up[i] = c[i] < o[i] ? 0 : 1;
const data = {x: prices.data.x, o: o, h: get(one, "h"), l: get(one, "l"), c: c, v: get(one, "v"), up: up};
if (prices.data.time !== undefined) data.time = prices.data.time;
prices.data = data;
const table = (t, names) => {
  const out = {};
  for (const k of names) out[k] = get(t, k) !== undefined ? get(t, k) : get(t, "x");  // no t: at x
  return out;
};
fills.data = table(get(one, "fills"), fill_columns);
stops.data = table(get(one, "stops"), stop_columns);
title.text = get(one, "title");
fit(xr, price_y, [prices, fills], ["x", "x"], [["h", "l"], ["p"]], stops, false);
fit(xr, volume_y, [prices], ["x"], [["v"]], null, true);
"""

# Colours and marks from the numeric columns: `up` of a bar (1 up, 0 down),
# `k` of a fill (0 a buy that opens, 1 a buy that closes, 2 a sell that opens,
# 3 a sell that closes) and of a stop (its kind).
# (Array.from: the columns are typed arrays, whose own map would make numbers of the colours.)
_BAR_COLOR = "return Array.from(xs, (v) => (v ? UP : DOWN));"
_FILL_MARKER = 'return Array.from(xs, (k) => (k < 2 ? "triangle" : "inverted_triangle"));'
_FILL_LINE = "return Array.from(xs, (k) => (k < 2 ? UP : DOWN));"
_FILL_FILL = 'return Array.from(xs, (k) => (k % 2 ? "white" : (k < 2 ? UP : DOWN)));'
_STOP_COLOR = "return Array.from(xs, (k) => colors[k]);"
_NAME_OF = "return names[value] === undefined ? '' : names[value];"


# ------------------------------------------------------------------ the time axis

class _Axis:
    """Where a time sits on a chart's x axis: for daily bars its date in
    milliseconds (a datetime axis); for minute bars the number of its bar on
    the run's timeline (the bar that holds it), so closed hours take no room."""

    def __init__(self, times, frequency):
        self.times = pd.DatetimeIndex(times)
        self.compressed = frequency == "minute"
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

    def style(self, fig, labels=None):
        """The tick labels of ``fig``'s x axis: dates, or on a compressed axis the
        time of the nearest labelled bar (``labels``: bar positions and their
        times in milliseconds, sorted)."""
        if not self.compressed:
            fig.xaxis.formatter = DatetimeTickFormatter(days="%b %d", months="%b %Y", years="%Y")
            return
        pos, ms = labels if labels is not None else (np.arange(len(self.times)), _ms(self.times))
        step = max(1, math.ceil(len(pos) / 2000))
        fig.xaxis.formatter = CustomJSTickFormatter(args={"pos": list(map(float, pos[::step])),
                                                          "ms": list(map(float, ms[::step]))}, code="""
let a = 0, b = pos.length - 1;
if (b < 0) return "";
if (tick <= pos[0]) a = 0; else if (tick >= pos[b]) a = b;
else { while (b - a > 1) { const m = (a + b) >> 1; if (pos[m] <= tick) a = m; else b = m; } }
const d = new Date(ms[a]), p = (v) => String(v).padStart(2, "0");
return `${p(d.getUTCMonth() + 1)}-${p(d.getUTCDate())} ${p(d.getUTCHours())}:${p(d.getUTCMinutes())}`;
""")


def _ms(times) -> np.ndarray:
    """Times as float milliseconds since 1970 (as Bokeh's datetime axis reads them)."""
    values = pd.DatetimeIndex(times).to_numpy()        # whatever the unit: ns, us, ...
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
    values = np.concatenate([_finite(a).ravel() for a in arrays] + [np.zeros(1) if zero else np.empty(0)])
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


def _fit_y(fig, sources, xcols, cols, segments=None, zero=False):
    """Refits ``fig``'s y range to what the x range shows, whenever it moves."""
    callback = CustomJS(args={"xr": fig.x_range, "yr": fig.y_range, "sources": sources, "xcols": xcols,
                              "cols": cols, "segments": segments, "zero": zero},
                        code=_FIT_Y + "fit(xr, yr, sources, xcols, cols, segments, zero);")
    fig.x_range.js_on_change("start", callback)
    fig.x_range.js_on_change("end", callback)


def _legend_above(fig):
    """The figure's legend in a row above the plot, where it hides no line;
    a click on an entry hides its line."""
    legend = fig.legend[0]
    fig.center = [item for item in fig.center if item is not legend]
    legend.orientation = "horizontal"
    legend.location = "top_left"
    legend.click_policy = "hide"
    legend.border_line_color = None
    legend.background_fill_alpha = 0
    legend.label_text_font_size = "11px"
    legend.padding = 0
    legend.margin = 2
    legend.glyph_height = 14
    fig.add_layout(legend, "above")


def _figure(height, axis, **options):
    fig = figure(height=height, sizing_mode="stretch_width", tools=_TOOLS, active_drag="xpan",
                 x_axis_type="linear" if axis.compressed else "datetime", toolbar_location="right",
                 **options)
    fig.toolbar.logo = None
    fig.grid.grid_line_color = "#e3e6ec"
    fig.outline_line_color = None
    fig.axis.axis_line_color = "#c9ced8"
    fig.axis.major_label_text_font_size = "11px"
    fig.min_border_left = 70
    return fig


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
        times = pd.DatetimeIndex(trades.loc[trades["side"].astype(str).str.lower() == side,
                                            "time"].dropna().unique()).sort_values()
        pos = curve.index.searchsorted(times, side="right") - 1
        pos = np.unique(pos[pos >= 0])
        out.append((pos, curve.to_numpy()[pos]))
    return out[0], out[1]


def equity_chart(result):
    """Equity (each account too when there are several) with the benchmark
    and the fills, the drawdown below on the same time axis, and a range
    selector under both; None without bars."""
    curve = result.equity_curve
    axis = _Axis(curve.index, result.frequency)
    if curve.empty:
        return None
    bench = result.benchmark_curve.reindex(curve.index) if len(result.benchmark_curve) else None
    keep = _thin(curve.to_numpy(dtype=float), EQUITY_POINTS)
    x = axis.of_bars(keep)
    dd = result.drawdown.to_numpy(dtype=float)
    data = {"x": x, "time": _ms(curve.index[keep]), "equity": _finite(curve.to_numpy(dtype=float)[keep]),
            "drawdown": _finite(dd[keep])}
    if bench is not None:
        from korvit.backtest.stats import drawdown_series
        data["benchmark"] = _finite(bench.to_numpy(dtype=float)[keep])
        data["benchmark_drawdown"] = _finite(drawdown_series(bench, result.initial_cash).to_numpy(dtype=float)[keep])
    source = ColumnDataSource(data)
    labels = (x, data["time"])
    money = [data["equity"]] + ([data["benchmark"]] if bench is not None else [])

    main = _figure(330, axis, y_range=Range1d(*_span(*money, [result.initial_cash])),
                   x_range=Range1d(float(np.nanmin(x)) if len(x) > 1 else float(x[0]) - 1,
                                   float(np.nanmax(x)) if len(x) > 1 else float(x[0]) + 1))
    line = main.line("x", "equity", source=source, color=_BLUE, line_width=2, legend_label="Strategy")
    if bench is not None:
        main.line("x", "benchmark", source=source, color=_GREY, line_width=1.2, alpha=0.9,
                  legend_label="Benchmark")
    if np.isfinite(result.initial_cash) and abs(result.initial_cash) < _LARGEST:
        main.add_layout(Span(location=result.initial_cash, dimension="width", line_color="#9aa3b2",
                             line_dash="dotted", line_width=1))
    for (pos, y), marker, color, label in zip(_fill_markers(result, curve), ("triangle", "inverted_triangle"),
                                              (_GREEN, _RED), ("Buys", "Sells")):
        # Many fills would hide the curve (the price chart shows them all).
        if 0 < len(pos) <= MAX_EQUITY_MARKERS:
            main.scatter(axis.of_bars(pos), _finite(y), marker=marker, size=8, color=color,
                         line_color="white", line_width=0.5, legend_label=label, alpha=0.85)
    tips = [("time", "@time{%F %H:%M}" if axis.compressed else "@time{%F}"), ("equity", "@equity{0,0.00}")]
    if bench is not None:
        tips.append(("benchmark", "@benchmark{0,0.00}"))
    tips.append(("drawdown", "@drawdown{0.00%}"))
    main.add_tools(HoverTool(renderers=[line], tooltips=tips, formatters={"@time": "datetime"}, mode="vline"))
    main.yaxis.formatter = NumeralTickFormatter(format="0,0")
    main.yaxis.axis_label = "Equity"
    _legend_above(main)
    main.xaxis.visible = False
    _fit_y(main, [source], ["x"], [["equity"] + (["benchmark"] if bench is not None else [])])
    axis.style(main, labels)
    rows = [main]

    accounts = result.account_curves
    if accounts.shape[1] > 1:
        by_account = _figure(170, axis, x_range=main.x_range,
                             y_range=Range1d(*_span(accounts.to_numpy(dtype=float))))
        palette = ("#2c5aa0", "#e08a00", "#26a269", "#8e44ad", "#c0392b", "#16a085", "#7f8794")
        acc = accounts.reindex(curve.index).iloc[keep]
        acc_data = {"x": x}
        for k, name in enumerate(acc.columns):
            acc_data[f"a{k}"] = _finite(acc[name].to_numpy(dtype=float))
        acc_source = ColumnDataSource(acc_data)
        for k, name in enumerate(acc.columns):
            by_account.line("x", f"a{k}", source=acc_source, color=palette[k % len(palette)], line_width=1.3,
                            legend_label=str(name))
        by_account.yaxis.formatter = NumeralTickFormatter(format="0,0")
        by_account.yaxis.axis_label = "By account"
        _legend_above(by_account)
        by_account.xaxis.visible = False
        _fit_y(by_account, [acc_source], ["x"], [[f"a{k}" for k in range(acc.shape[1])]])
        axis.style(by_account, labels)
        rows.append(by_account)

    dd_fig = _figure(150, axis, x_range=main.x_range,
                     y_range=Range1d(*_span(data["drawdown"], data.get("benchmark_drawdown", []), zero=True)))
    dd_fig.varea("x", "drawdown", 0, source=source, color=_RED, alpha=0.25)
    dd_fig.line("x", "drawdown", source=source, color=_RED, line_width=1, legend_label="Strategy")
    if bench is not None:
        dd_fig.line("x", "benchmark_drawdown", source=source, color=_GREY, line_width=1, alpha=0.9,
                    legend_label="Benchmark")
    dd_fig.yaxis.formatter = NumeralTickFormatter(format="0%" if np.nanmin(np.r_[data["drawdown"], 0]) < -0.03
                                                  else "0.0%")
    dd_fig.yaxis.axis_label = "Drawdown"
    _legend_above(dd_fig)
    _fit_y(dd_fig, [source], ["x"], [["drawdown"] + (["benchmark_drawdown"] if bench is not None else [])],
           zero=True)
    axis.style(dd_fig, labels)
    rows.append(dd_fig)

    overview = figure(height=70, sizing_mode="stretch_width", x_axis_type="linear" if axis.compressed else "datetime",
                      toolbar_location=None, tools="", y_range=Range1d(*_span(data["equity"])),
                      x_range=Range1d(main.x_range.start, main.x_range.end))
    overview.line("x", "equity", source=source, color=_BLUE, line_width=1)
    overview.yaxis.visible = False
    overview.grid.grid_line_color = None
    overview.outline_line_color = "#c9ced8"
    overview.min_border_left = 70
    overview.axis.major_label_text_font_size = "10px"
    selector = RangeTool(x_range=main.x_range)
    selector.overlay.fill_color = _BLUE
    selector.overlay.fill_alpha = 0.12
    overview.add_tools(selector)
    axis.style(overview, labels)
    rows.append(overview)
    return column(*rows, sizing_mode="stretch_width")


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


_STOP_KINDS = ("loss", "profit", "trailing")
_REASON_NAMES = ("", "signal", "stop loss", "take profit", "trailing stop", "end of data")


def _stop_segments(result, axis, values_of):
    """The stop levels of every code as horizontal segments, by code: a
    stop-loss or take-profit from its order's first fill to its firing (or to
    the end of the position it guarded); a trailing stop at its last level,
    from the bar that set it (the best price of the position: its highest
    high for a long, lowest low for a short) to its end.  Each code's
    segments: x0, x1, y (float32) and k (the kind's place in ``_STOP_KINDS``).
    ``values_of(code)``: the code's bars (bars × open, high, low, close, volume)."""
    from korvit.backtest.results import _order_keys
    stops, trades, rt = result.stops, result.trades, result.round_trips
    if not len(stops) or not len(trades):
        return {}
    levels = stops["stop_price"].to_numpy(dtype=float)
    kinds = stops["kind"].astype(str).to_numpy()
    keep = np.isfinite(levels) & (levels > 0) & (np.abs(levels) <= _LARGEST) & np.isin(kinds, _STOP_KINDS)
    stops = stops[keep]
    if not len(stops):
        return {}
    order_keys = _order_keys(trades["order_id"])
    first_fill = trades.groupby(order_keys)["time"].min()
    side = trades.groupby(order_keys)["side"].first().astype(str).str.lower()
    ended = pd.Series(dtype="datetime64[ns]")
    if len(rt):
        by_trade = pd.Series(order_keys.to_numpy(), index=_order_keys(trades["trade_id"]).to_numpy())
        by_trade = by_trade[~by_trade.index.duplicated()]
        owner = _order_keys(rt["entry_trade_id"]).map(by_trade)
        ended = rt["exit_time"].groupby(owner.to_numpy()).max()
    keys = _order_keys(stops["order_id"])
    starts = keys.map(first_fill)
    ends = stops["trigger_time"].where(stops["trigger_time"].notna(), keys.map(ended))
    last = axis.times[-1] if len(axis.times) else pd.NaT
    ends = pd.to_datetime(ends).fillna(last)
    known = starts.notna().to_numpy()
    stops, keys, starts, ends = stops[known], keys[known], pd.to_datetime(starts[known]), ends[known]
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
        window = values[a:b + 1, 1] if long else values[a:b + 1, 2]
        if np.isfinite(window).any():
            best = int(np.nanargmax(window) if long else np.nanargmin(window))
            starts[i] = axis.times[a + best].to_datetime64()
    x0, x1 = axis.x(starts), axis.x(ends)
    y = stops["stop_price"].to_numpy(dtype=np.float32)
    k = np.array([_STOP_KINDS.index(name) for name in kind], dtype=np.int8)
    groups = pd.Series(np.arange(len(codes))).groupby(codes).indices
    return {code: {"x0": x0[rows], "x1": x1[rows], "y": y[rows], "k": k[rows]} for code, rows in groups.items()}


def _fill_table(result, axis, accounts):
    """The fills of every code, by code, in time order: x, t (time in
    milliseconds), p (price, float32), v (volume, float32), k (0 a buy that
    opens, 1 a buy that closes, 2 a sell that opens, 3 a sell that closes),
    r (why a closing fill ended its position: its place in ``_REASON_NAMES``),
    a (the account's place in ``accounts``)."""
    from korvit.backtest.results import _order_keys, exit_reasons
    trades = result.trades.sort_values("time", kind="stable")
    if not len(trades):
        return {}
    reasons = exit_reasons(result.orders, result.stops)
    sell = (trades["side"].astype(str).str.lower() == "sell").to_numpy()
    closing = (trades["effect"].astype(str).str.lower() != "open").to_numpy()
    codes_of = {name: k for k, name in enumerate(_REASON_NAMES)}
    why = _order_keys(trades["order_id"]).map({key: codes_of[reason] for key, reason in reasons.items()})
    r = np.where(closing, why.fillna(codes_of["signal"]).to_numpy(dtype=np.int64), 0).astype(np.int8)
    places = {name: k for k, name in enumerate(accounts)}
    table = {"x": axis.x(trades["time"]), "t": _ms(trades["time"]),
             "p": _finite(trades["price"].to_numpy(dtype=float)).astype(np.float32),
             "v": trades["volume"].to_numpy(dtype=np.float32),
             "k": (2 * sell + closing).astype(np.int8), "r": r,
             "a": trades["account"].astype(str).map(places).fillna(0).to_numpy(dtype=np.int16)}
    groups = pd.Series(np.arange(len(trades))).groupby(trades["code"].astype(str).to_numpy()).indices
    return {code: {name: column[rows] for name, column in table.items()} for code, rows in groups.items()}


_FILL_COLUMNS = ("x", "t", "p", "v", "k", "r", "a")
_STOP_COLUMNS = ("x0", "x1", "y", "k")


def _empty_fills():
    return {"x": np.empty(0), "t": np.empty(0), "p": np.empty(0, np.float32), "v": np.empty(0, np.float32),
            "k": np.empty(0, np.int8), "r": np.empty(0, np.int8), "a": np.empty(0, np.int16)}


def _empty_stops():
    return {"x0": np.empty(0), "x1": np.empty(0), "y": np.empty(0, np.float32), "k": np.empty(0, np.int8)}


def _price_store(result, codes, axis):
    """Per code: merged prices (float32), compact fills and stop segments and
    a title; and the shared x, times, step and mode."""
    bars = result.bars
    n_bars = len(bars.times)
    per_code = min(MAX_PRICE_POINTS, max(MIN_PRICE_POINTS, PRICE_POINTS // max(1, len(codes))))
    step = max(1, math.ceil(n_bars / per_code))
    index = [bars.index_of(code) for code in codes]
    values = bars.values[index]
    opens, high, low, closes, volume = _merge(values, step)
    n = opens.shape[1]
    firsts = np.arange(n) * step
    lasts = np.minimum(firsts + step - 1, n_bars - 1)
    x = axis.of_bars((firsts + lasts) / 2)
    times = _ms(bars.times[firsts])
    rt = result.round_trips
    trips = rt.groupby(rt["code"].astype(str))["pnl"].agg(["size", "sum"]) if len(rt) else None
    accounts = [str(a) for a in result.accounts] or ["main"]
    fills = _fill_table(result, axis, accounts)
    where = {code: k for k, code in enumerate(codes)}
    stops = _stop_segments(result, axis, lambda code: values[where[code]] if code in where else None)
    if not axis.compressed:             # fills at their bar's time need no time of their own
        for table in fills.values():
            if np.array_equal(table["x"], table["t"], equal_nan=True):
                del table["t"]
    store = {}
    for k, code in enumerate(codes):
        count, pnl = (int(trips.loc[code, "size"]), float(trips.loc[code, "sum"])) \
            if trips is not None and code in trips.index else (0, 0.0)
        title = (f"{code} · {count:,d} round trip{'s' if count != 1 else ''}, P&L {pnl:+,.2f}"
                 if count else f"{code} · no round trips")
        if step > 1:
            title += f" · each {'candle' if n <= CANDLE_LIMIT else 'point'}: {step} bars"
        store[code] = {"o": opens[k].astype(np.float32), "h": high[k].astype(np.float32),
                       "l": low[k].astype(np.float32), "c": closes[k].astype(np.float32),
                       "v": volume[k].astype(np.float32), "title": title,
                       "fills": fills.get(code, _empty_fills()), "stops": stops.get(code, _empty_stops())}
    return {"x": x, "time": times, "step": step, "candles": n <= CANDLE_LIMIT, "accounts": accounts,
            "width": axis.bar_width() * step * 0.7}, store


def price_chart(result, *, selector="select"):
    """The prices of the traded instruments, one at a time: candles (or the
    close within its high–low band), the fills (▲ buys, ▼ sells; hollow where
    they close a position, with the reason), the stop levels as steps and the
    volume below.  ``selector``: "select" adds a Bokeh drop-down (for
    notebooks); "tags" leaves the choice to the page, which sets the
    ``tags`` of the model named ``korvit-instrument`` to ``[code]``.  None
    when there are no prices."""
    from bokeh.models import CustomJSHover, CustomJSTransform
    from bokeh.transform import transform
    codes = chart_codes(result)
    if not codes or not len(result.bars.times):
        return None
    axis = _Axis(result.bars.times, result.frequency)
    shared, store = _price_store(result, codes, axis)
    first = store.pop(codes[0])         # its data is the sources' own
    o, c = first["o"], first["c"]
    columns = {"x": shared["x"], "o": o, "h": first["h"], "l": first["l"], "c": c, "v": first["v"],
               "up": (~(c < o)).astype(np.int8)}
    if axis.compressed:
        columns["time"] = shared["time"]
    prices = ColumnDataSource(columns)
    fills = ColumnDataSource({"t": first["fills"]["x"], **first["fills"]})
    stops = ColumnDataSource(first["stops"])
    x = shared["x"]
    half = shared["width"]
    x_range = Range1d(float(x[0]) - half, float(x[-1]) + half)
    fig = _figure(360, axis, x_range=x_range,
                  y_range=Range1d(*_span(first["h"], first["l"], first["stops"]["y"], first["fills"]["p"])),
                  title=first["title"])
    fig.title.name = "korvit-instrument"
    fig.title.text_font_size = "13px"
    colors = {"UP": _UP, "DOWN": _DOWN}
    bar_color = transform("up", CustomJSTransform(args=colors, v_func=_BAR_COLOR))
    if shared["candles"]:
        fig.segment("x", "h", "x", "l", source=prices, color=bar_color, line_width=1)
        body = fig.vbar("x", shared["width"], "o", "c", source=prices, fill_color=bar_color,
                        line_color=bar_color, line_width=0.5)
        tips = [("open", "@o{0,0.00[00]}"), ("high", "@h{0,0.00[00]}"), ("low", "@l{0,0.00[00]}"),
                ("close", "@c{0,0.00[00]}"), ("volume", "@v{0,0}")]
    else:
        fig.varea("x", "l", "h", source=prices, color=_BLUE, alpha=0.15)
        body = fig.line("x", "c", source=prices, color=_BLUE, line_width=1.2)
        tips = [("close", "@c{0,0.00[00]}"), ("high", "@h{0,0.00[00]}"), ("low", "@l{0,0.00[00]}"),
                ("volume", "@v{0,0}")]
    when = ("@time{%F %H:%M}", {"@time": "datetime"}) if axis.compressed else ("@x{%F}", {"@x": "datetime"})
    fig.add_tools(HoverTool(renderers=[body], tooltips=[("time", when[0])] + tips, formatters=when[1],
                            mode="vline"))
    stop_names = [_STOP_NAMES[k] for k in _STOP_KINDS]
    stop_color = transform("k", CustomJSTransform(args={"colors": [_STOP_COLORS[k] for k in _STOP_KINDS]},
                                                  v_func=_STOP_COLOR))
    level = fig.segment("x0", "y", "x1", "y", source=stops, color=stop_color, line_width=1.6, line_dash="dashed")
    fig.add_tools(HoverTool(renderers=[level], tooltips=[("stop", "@k{custom} at @y{0,0.00[00]}")],
                            formatters={"@k": CustomJSHover(args={"names": stop_names}, code=_NAME_OF)}))
    marks = fig.scatter("x", "p", source=fills, size=11,
                        marker=transform("k", CustomJSTransform(v_func=_FILL_MARKER)),
                        fill_color=transform("k", CustomJSTransform(args=colors, v_func=_FILL_FILL)),
                        line_color=transform("k", CustomJSTransform(args=colors, v_func=_FILL_LINE)),
                        line_width=1.5)
    what = ["buy to open", "buy to close", "sell to open", "sell to close"]
    fig.add_tools(HoverTool(renderers=[marks], tooltips=[
        ("fill", "@k{custom} @v{0,0} at @p{0,0.00[00]}"), ("time", "@t{%F %H:%M:%S}"),
        ("account", "@a{custom}"), ("exit", "@r{custom}")], formatters={
        "@t": "datetime", "@k": CustomJSHover(args={"names": what}, code=_NAME_OF),
        "@a": CustomJSHover(args={"names": shared["accounts"]}, code=_NAME_OF),
        "@r": CustomJSHover(args={"names": list(_REASON_NAMES)}, code=_NAME_OF)}))
    fig.yaxis.formatter = NumeralTickFormatter(format="0,0.00[00]")
    fig.yaxis.axis_label = "Price"
    fig.xaxis.visible = False
    _fit_y(fig, [prices, fills], ["x", "x"], [["h", "l"], ["p"]], segments=stops)
    labels = (x, shared["time"])
    axis.style(fig, labels)

    vol = _figure(120, axis, x_range=x_range, y_range=Range1d(*_span(first["v"], zero=True)))
    vol.vbar("x", shared["width"], "v", 0, source=prices, fill_color=bar_color, line_color=None, alpha=0.6)
    vol.yaxis.formatter = NumeralTickFormatter(format="0.[0]a")
    vol.yaxis.axis_label = "Volume"
    _fit_y(vol, [prices], ["x"], [["v"]], zero=True)
    axis.style(vol, labels)

    show = CustomJS(args={"store": store, "current": {"code": codes[0]}, "prices": prices,
                          "fills": fills, "stops": stops, "title": fig.title, "xr": x_range,
                          "price_y": fig.y_range, "volume_y": vol.y_range, "fill_columns": list(_FILL_COLUMNS),
                          "stop_columns": list(_STOP_COLUMNS)},
                    code=_SHOW_CODE)
    fig.title.js_on_change("tags", show)
    rows = [fig, vol]
    if selector == "select" and len(codes) > 1:
        choose = Select(title="Instrument", value=codes[0], options=list(codes), width=260)
        choose.js_on_change("value", show)
        rows.insert(0, choose)
    return column(*rows, sizing_mode="stretch_width")


# ------------------------------------------------------------------ returns

def monthly_chart(result):
    """Returns by month as a heat map: a row per year, a column per month,
    red below zero and green above (the benchmark's month in the hover);
    None without any month."""
    table = result.returns_by_month
    if table.empty or not table["strategy"].notna().any():
        return None
    months = table.index
    years = [str(y) for y in sorted(set(months.year))]
    strategy = table["strategy"].to_numpy(dtype=float)
    bench = table["benchmark"].to_numpy(dtype=float) if "benchmark" in table else np.full(len(table), np.nan)
    finite = np.abs(_finite(strategy))
    digits = 2 if np.isfinite(finite).any() and np.nanmax(finite) < 0.01 else 1
    data = {"month": [_MONTHS[m - 1] for m in months.month], "year": [str(y) for y in months.year],
            "value": _finite(strategy), "label": [_month_label(v, digits) for v in strategy],
            "benchmark": _finite(bench)}
    top = float(np.nanpercentile(finite, 95)) if np.isfinite(finite).any() else 0.0
    top = top or 0.01
    # light text on the deep colours at both ends of the scale
    data["ink"] = ["#ffffff" if math.isfinite(v) and abs(v) > 0.6 * top else "#1d2330" for v in strategy]
    mapper = LinearColorMapper(palette=list(reversed(RdYlGn11)), low=-top, high=top, nan_color="#f4f6f9")
    fig = figure(x_range=list(_MONTHS), y_range=list(reversed(years)), height=max(120, 34 * len(years) + 50),
                 sizing_mode="stretch_width", tools="hover,save", toolbar_location=None,
                 tooltips=[("month", "@month @year"), ("strategy", "@value{+0.00%}"),
                           ("benchmark", "@benchmark{+0.00%}")])
    source = ColumnDataSource(data)
    fig.rect("month", "year", 1, 1, source=source, fill_color={"field": "value", "transform": mapper},
             line_color="white", line_width=2)
    fig.text("month", "year", text="label", source=source, text_align="center",
             text_baseline="middle", text_font_size="11px", text_color="ink")
    fig.axis.axis_line_color = None
    fig.axis.major_tick_line_color = None
    fig.grid.grid_line_color = None
    fig.outline_line_color = None
    fig.xaxis.major_label_text_font_size = "11px"
    fig.yaxis.major_label_text_font_size = "11px"
    fig.min_border_left = 70
    fig.toolbar.logo = None
    return fig


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


def rolling_chart(result):
    """Rolling annualised Sharpe ratio and volatility of the strategy and the
    benchmark, over ``rolling_window`` days; None for a run too short."""
    window = rolling_window(result)
    if window is None:
        return None
    rolling = result.rolling(window)
    if not rolling["volatility"].notna().any():
        return None
    data = {"x": _ms(rolling.index), **{name: _finite(rolling[name].to_numpy(dtype=float)) for name in rolling}}
    source = ColumnDataSource(data)
    axis = _Axis(rolling.index, "day")
    bench = "benchmark_sharpe" in rolling
    x_range = Range1d(float(np.nanmin(data["x"])), float(np.nanmax(data["x"])))
    sharpe = _figure(200, axis, x_range=x_range,
                     y_range=Range1d(*_span(data["sharpe"], data.get("benchmark_sharpe", []), zero=True)),
                     title=f"Rolling Sharpe ratio ({window} days, annualised)")
    vol = _figure(170, axis, x_range=x_range,
                  y_range=Range1d(*_span(data["volatility"], data.get("benchmark_volatility", []), zero=True)),
                  title=f"Rolling volatility ({window} days, annualised)")
    for fig, name, fmt in ((sharpe, "sharpe", "0.00"), (vol, "volatility", "0.0%")):
        ours = fig.line("x", name, source=source, color=_BLUE, line_width=1.6, legend_label="Strategy")
        tips = [("day", "@x{%F}"), ("strategy", f"@{name}{{{fmt}}}")]
        if bench:
            fig.line("x", f"benchmark_{name}", source=source, color=_GREY, line_width=1.2, alpha=0.9,
                     legend_label="Benchmark")
            tips.append(("benchmark", f"@benchmark_{name}{{{fmt}}}"))
        fig.add_tools(HoverTool(renderers=[ours], tooltips=tips, formatters={"@x": "datetime"}, mode="vline"))
        fig.add_layout(Span(location=0, dimension="width", line_color="#9aa3b2", line_width=1))
        fig.yaxis.formatter = NumeralTickFormatter(format=fmt)
        fig.title.text_font_size = "12px"
        fig.title.text_font_style = "normal"
        _legend_above(fig)
        cols = [name] + ([f"benchmark_{name}"] if bench else [])
        _fit_y(fig, [source], ["x"], [cols], zero=True)
        axis.style(fig)
    sharpe.xaxis.visible = False
    return column(sharpe, vol, sizing_mode="stretch_width")


def result_layout(result):
    """Every chart of the report, stacked, with a drop-down of the instruments."""
    parts = [equity_chart(result), price_chart(result, selector="select"), monthly_chart(result),
             rolling_chart(result)]
    return column(*[part for part in parts if part is not None], sizing_mode="stretch_width")
