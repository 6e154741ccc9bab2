"""The interactive charts of a backtest result, drawn with Bokeh's Python models.

Five charts, each a Bokeh layout: the equity with the benchmark (a button
switches it to a log scale), the drawdown below it and a range selector
(``equity_chart``); each traded instrument's prices with its fills, stop
levels, volume and the indicators its strategy made in ``init``, one
instrument at a time (``price_chart``); the returns by month as a heat map
(``monthly_chart``); the histogram of the daily returns
(``histogram_chart``); and the rolling Sharpe ratio, volatility and beta
(``rolling_chart``).
``result_layout`` stacks them (``BacktestResult.plot``, for notebooks).  Their
data comes from ``korvit.report.chart_data``, as the HTML report's, which
draws the same charts in the browser (``report_charts.js``).

This module imports Bokeh; nothing imports it before a chart is drawn.
"""

from __future__ import annotations

import numpy as np
from bokeh.layouts import column, row
from bokeh.models import (  # type: ignore[attr-defined]  # Select and Span: missing from bokeh's type information of the package
    AutocompleteInput,
    ColumnDataSource,
    CustomJS,
    CustomJSTickFormatter,
    DatetimeTickFormatter,
    HoverTool,
    Legend,
    LegendItem,
    LinearColorMapper,
    NumeralTickFormatter,
    Range1d,
    RangeTool,
    Select,
    Span,
    Toggle,
)
from bokeh.palettes import RdYlGn11
from bokeh.plotting import figure

from korvit.report.chart_data import (
    CANDLE_LIMIT,
    EQUITY_POINTS,
    FILL_KINDS,
    MONTHS,
    PRICE_POINTS,
    REASON_NAMES,
    STOP_KINDS,
    STOP_NAMES,
    _span,
    chart_codes,
    equity_data,
    histogram_data,
    monthly_data,
    price_data,
    rolling_data,
    unpacked,
)

__all__ = [
    "equity_chart",
    "price_chart",
    "monthly_chart",
    "histogram_chart",
    "rolling_chart",
    "result_layout",
    "chart_codes",
    "EQUITY_POINTS",
    "PRICE_POINTS",
    "CANDLE_LIMIT",
]

# Kept under their former names for callers of this module.
_REASON_NAMES, _STOP_KINDS = REASON_NAMES, STOP_KINDS

_BLUE, _GREY, _RED, _GREEN = "#2c5aa0", "#7f8794", "#c0392b", "#1a9850"
_UP, _DOWN = "#26a269", "#d1453b"
_STOP_COLORS = {"loss": "#d1453b", "profit": "#26a269", "trailing": "#e08a00"}
_TOOLS = "xpan,xwheel_zoom,box_zoom,reset,save"
_ACCOUNT_COLORS = ("#2c5aa0", "#e08a00", "#26a269", "#8e44ad", "#c0392b", "#16a085", "#7f8794")
# The indicators' lines, by their place in their pane (none is the candles' green or red).
_INDICATOR_COLORS = (
    "#e08a00",
    "#8e44ad",
    "#2c5aa0",
    "#16a085",
    "#b8336a",
    "#7f8794",
    "#8c6d1f",
    "#3d9ad1",
)

# Fits a y range to what is visible between the x range's ends: the columns
# `cols[k]` of `sources[k]` (x in `xcols[k]`, sorted), and the segments of
# `segments` (x0, x1, y); `zero` keeps 0 inside the range; `log`: the range of a
# log scale, fitted to the values above 0 (padded on their logarithms).
_FIT_Y = """
function fit(xr, yr, sources, xcols, cols, segments, zero, log) {
const lo = xr.start, hi = xr.end;
let min = Infinity, max = -Infinity;
for (let k = 0; k < sources.length; k++) {
  const d = sources[k].data, x = d[xcols[k]];
  if (!x || !x.length) continue;
  let a = 0, b = x.length;
  while (a < b) { const m = (a + b) >> 1; if (x[m] < lo) a = m + 1; else b = m; }
  for (let i = Math.max(0, a - 1); i < x.length; i++) {
    for (const c of cols[k]) {
      const v = log ? (d[c][i] > 0 ? Math.log(d[c][i]) : NaN) : d[c][i];
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
if (log && min <= max) {
  const gap = (max - min) * 0.06 || 0.02;
  yr.start = Math.exp(min - gap);
  yr.end = Math.exp(max + gap);
} else if (min <= max) {
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
_SHOW_CODE = (
    _FIT_Y
    + """
const code = cb_obj.value !== undefined ? cb_obj.value : cb_obj.tags[0];
const get = (o, k) => (o instanceof Map ? o.get(k) : o[k]);
const put = (o, k, v) => { if (o instanceof Map) o.set(k, v); else o[k] = v; };
const shown = get(current, "code");
const one = get(store, code);
if (one === undefined || code === shown) return;
const keep = (source, names) => { const out = {}; for (const n of names) out[n] = source.data[n]; return out; };
const kept = get(store, shown);
if (kept === undefined || get(kept, "o") === undefined) {  // (the first: only its indicators are kept)
  put(store, shown, {o: prices.data.o, h: prices.data.h, l: prices.data.l, c: prices.data.c, v: prices.data.v,
                     title: title.text, fills: keep(fills, fill_columns), stops: keep(stops, stop_columns),
                     indicators: kept === undefined ? [] : get(kept, "indicators")});
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
// the indicators, by pane: each line its place's, a place the code has none in hidden
const made = get(one, "indicators");
for (let k = 0; k < panes.length; k++) {
  const pane = panes[k];
  if (pane === null) continue;
  const source = get(pane, "source"), items = get(pane, "items"), lines = get(pane, "lines");
  const columns = {x: data.x}, names = [];
  for (const item of made) {
    if (get(item, "pane") === k) { columns["y" + names.length] = get(item, "y"); names.push(get(item, "name")); }
  }
  for (let j = names.length; j < lines.length; j++) columns["y" + j] = new Float32Array(n).fill(NaN);
  source.data = columns;
  items.forEach((item, j) => { item.label = j < names.length ? names[j] : ""; item.visible = j < names.length; });
  lines.forEach((line, j) => { line.visible = j < names.length; });
  const below = get(pane, "figure");
  if (below !== undefined && below !== null) {
    below.visible = names.length > 0;
    const tips = get(pane, "hover");
    tips.tooltips = [tips.tooltips[0]].concat(names.map((name, j) => [name, "@y" + j + "{0,0.00[00]}"]));
    fit(xr, below.y_range, [source], ["x"], [lines.map((_, j) => "y" + j)], null, false);
  }
}
const extra = (k) => (panes[k] === null ? [] : [get(panes[k], "source")]);
const extra_cols = (k) => (panes[k] === null ? [] : [get(panes[k], "lines").map((_, j) => "y" + j)]);
fit(xr, price_y, [prices, fills].concat(extra(0)), ["x", "x", "x"], [["h", "l"], ["p"]].concat(extra_cols(0)), stops, false);
fit(xr, volume_y, [prices].concat(extra(1)), ["x", "x"], [["v"]].concat(extra_cols(1)), null, true);
"""
)

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

_TICK_CODE = """
let a = 0, b = pos.length - 1;
if (b < 0) return "";
const bar = Math.min(Math.max(Math.round(tick), 0), last);
if (bar <= pos[0]) a = 0; else if (bar >= pos[b]) a = b;
else { while (b - a > 1) { const m = (a + b) >> 1; if (pos[m] <= bar) a = m; else b = m; } }
const d = new Date(ms[a] + Math.max(bar - pos[a], 0) * step), p = (v) => String(v).padStart(2, "0");
const day = `${p(d.getUTCMonth() + 1)}-${p(d.getUTCDate())} ${p(d.getUTCHours())}:${p(d.getUTCMinutes())}`;
return years ? `${d.getUTCFullYear()}-${day}` : day;
"""


def _style(fig, labels, years=False):
    """The tick labels of ``fig``'s x axis: dates, or on a compressed axis
    (``labels``: ``_Axis.tick_labels`` of ``chart_data``) the time of the bar
    at the tick; with the year where ``years`` (``chart_data.with_year``)."""
    if labels is None:
        fig.xaxis.formatter = DatetimeTickFormatter(
            days="%Y-%m-%d" if years else "%b %d", months="%b %Y", years="%Y"
        )
        return
    fig.xaxis.formatter = CustomJSTickFormatter(
        args={
            "pos": list(map(float, labels["pos"])),
            "ms": list(map(float, labels["ms"])),
            "step": float(labels["step"]),
            "last": int(labels["last"]),
            "years": bool(years),
        },
        code=_TICK_CODE,
    )


def _fit_y(fig, sources, xcols, cols, segments=None, zero=False, log=False):
    """Refits ``fig``'s y range to what the x range shows, whenever it moves."""
    callback = CustomJS(
        args={
            "xr": fig.x_range,
            "yr": fig.y_range,
            "sources": sources,
            "xcols": xcols,
            "cols": cols,
            "segments": segments,
            "zero": zero,
            "log": log,
        },
        code=_FIT_Y + "fit(xr, yr, sources, xcols, cols, segments, zero, log);",
    )
    fig.x_range.js_on_change("start", callback)
    fig.x_range.js_on_change("end", callback)


def _legend_above(fig, legend=None):
    """The figure's legend (or ``legend``) in a row above the plot, where it
    hides no line; a click on an entry hides its line."""
    legend = fig.legend[0] if legend is None else legend
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


def _figure(height, compressed, **options):
    fig = figure(
        height=height,
        sizing_mode="stretch_width",
        tools=_TOOLS,
        active_drag="xpan",
        x_axis_type="linear" if compressed else "datetime",
        toolbar_location="right",
        **options,
    )
    fig.toolbar.logo = None
    fig.grid.grid_line_color = "#e3e6ec"
    fig.outline_line_color = None
    fig.axis.axis_line_color = "#c9ced8"
    fig.axis.major_label_text_font_size = "11px"
    fig.min_border_left = 70
    return fig


# ------------------------------------------------------------------ equity


def equity_chart(result):
    """Equity (each account too when there are several) with the benchmark
    and the fills, the drawdown below on the same time axis, and a range
    selector under both; None without bars."""
    d = equity_data(result)
    if d is None:
        return None
    compressed, labels, data = d["compressed"], d["tick_labels"], d["columns"]
    years = d["years"]
    bench = "benchmark" in data
    source = ColumnDataSource(data)
    marks = [
        (ColumnDataSource(dict(found)), marker, color, label)
        for found, marker, color, label in (
            (d["buys"], "triangle", _GREEN, "Buys"),
            (d["sells"], "inverted_triangle", _RED, "Sells"),
        )
        if found is not None
    ]
    rows = []

    def curves(log):
        """The equity on a linear scale, or on a log scale (hidden at first)."""
        fig = _figure(
            330,
            compressed,
            y_range=Range1d(*(d["log_range"] if log else d["y_range"])),
            x_range=rows[0].x_range if log else Range1d(*d["x_range"]),
            **({"y_axis_type": "log"} if log else {}),
        )
        fig.name = "korvit-equity-log" if log else "korvit-equity"
        line = fig.line(
            "x", "equity", source=source, color=_BLUE, line_width=2, legend_label="Strategy"
        )
        if bench:
            fig.line(
                "x",
                "benchmark",
                source=source,
                color=_GREY,
                line_width=1.2,
                alpha=0.9,
                legend_label="Benchmark",
            )
        cash = d["initial_cash"]
        if cash is not None and not (log and cash <= 0):
            fig.add_layout(
                Span(
                    location=cash,
                    dimension="width",
                    line_color="#9aa3b2",
                    line_dash="dotted",
                    line_width=1,
                )
            )
        for marked, marker, color, label in marks:
            fig.scatter(
                "x",
                "y",
                source=marked,
                marker=marker,
                size=8,
                color=color,
                line_color="white",
                line_width=0.5,
                legend_label=label,
                alpha=0.85,
            )
        tips = [
            ("time", "@time{%F %H:%M}" if compressed else "@time{%F}"),
            ("equity", "@equity{0,0.00}"),
        ]
        if bench:
            tips.append(("benchmark", "@benchmark{0,0.00}"))
        tips.append(("drawdown", "@drawdown{0.00%}"))
        fig.add_tools(
            HoverTool(
                renderers=[line], tooltips=tips, formatters={"@time": "datetime"}, mode="vline"
            )
        )
        fig.yaxis.formatter = NumeralTickFormatter(format="0,0")
        fig.yaxis.axis_label = "Equity (log scale)" if log else "Equity"
        _legend_above(fig)
        fig.xaxis.visible = False
        _fit_y(fig, [source], ["x"], [["equity"] + (["benchmark"] if bench else [])], log=log)
        _style(fig, labels, years)
        fig.visible = not log
        rows.append(fig)

    curves(False)
    main = rows[0]
    if d["log_range"] is not None:
        curves(True)

    accounts = d["accounts"]
    if accounts is not None:
        by_account = _figure(
            170, compressed, x_range=main.x_range, y_range=Range1d(*accounts["y_range"])
        )
        acc_data = {"x": data["x"]}
        for k, values in enumerate(accounts["columns"]):
            acc_data[f"a{k}"] = values
        acc_source = ColumnDataSource(acc_data)
        for k, name in enumerate(accounts["names"]):
            by_account.line(
                "x",
                f"a{k}",
                source=acc_source,
                color=_ACCOUNT_COLORS[k % len(_ACCOUNT_COLORS)],
                line_width=1.3,
                legend_label=name,
            )
        by_account.yaxis.formatter = NumeralTickFormatter(format="0,0")
        by_account.yaxis.axis_label = "By account"
        _legend_above(by_account)
        by_account.xaxis.visible = False
        _fit_y(by_account, [acc_source], ["x"], [[f"a{k}" for k in range(len(accounts["names"]))]])
        _style(by_account, labels, years)
        rows.append(by_account)

    dd_fig = _figure(150, compressed, x_range=main.x_range, y_range=Range1d(*d["drawdown_range"]))
    dd_fig.varea("x", "drawdown", 0, source=source, color=_RED, alpha=0.25)
    dd_fig.line("x", "drawdown", source=source, color=_RED, line_width=1, legend_label="Strategy")
    if bench:
        dd_fig.line(
            "x",
            "benchmark_drawdown",
            source=source,
            color=_GREY,
            line_width=1,
            alpha=0.9,
            legend_label="Benchmark",
        )
    dd_fig.yaxis.formatter = NumeralTickFormatter(format=d["drawdown_format"])
    dd_fig.yaxis.axis_label = "Drawdown"
    _legend_above(dd_fig)
    _fit_y(
        dd_fig,
        [source],
        ["x"],
        [["drawdown"] + (["benchmark_drawdown"] if bench else [])],
        zero=True,
    )
    _style(dd_fig, labels, years)
    rows.append(dd_fig)

    overview = figure(
        height=70,
        sizing_mode="stretch_width",
        x_axis_type="linear" if compressed else "datetime",
        toolbar_location=None,
        tools="",
        y_range=Range1d(*d["overview_range"]),
        x_range=Range1d(main.x_range.start, main.x_range.end),
    )
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
    _style(overview, labels, years)
    rows.append(overview)
    if len(rows) > 1 and rows[1].name == "korvit-equity-log":
        switch = Toggle(label="Log scale", active=False, width=110)
        switch.js_on_change(
            "active",
            CustomJS(
                args={"linear": main, "log": rows[1]},
                code="linear.visible = !this.active; log.visible = this.active;",
            ),
        )
        rows.insert(0, switch)
    return column(*rows, sizing_mode="stretch_width")


# ------------------------------------------------------------------ prices

_FILL_COLUMNS = ("x", "t", "p", "v", "k", "r", "a")
_STOP_COLUMNS = ("x0", "x1", "y", "k")


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

    d = price_data(result)
    if d is None:
        return None
    codes, compressed, store = d["codes"], d["compressed"], dict(d["store"])
    for code, one in store.items():  # the indicators' values as numbers (the page's are packed)
        made = [{"name": i["name"], "pane": i["pane"], "y": unpacked(i)} for i in one["indicators"]]
        store[code] = {**one, "indicators": made}
    first = store.pop(codes[0])  # its data is the sources' own (but its indicators' list)
    store[codes[0]] = {"indicators": first["indicators"]}
    o, c = first["o"], first["c"]
    columns = {
        "x": d["x"],
        "o": o,
        "h": first["h"],
        "l": first["l"],
        "c": c,
        "v": first["v"],
        "up": (~(c < o)).astype(np.int8),
    }
    if compressed:
        columns["time"] = d["time"]
    prices = ColumnDataSource(columns)
    fills = ColumnDataSource({"t": first["fills"]["x"], **first["fills"]})
    stops = ColumnDataSource(first["stops"])
    x_range = Range1d(*d["x_range"])
    fig = _figure(
        360, compressed, x_range=x_range, y_range=Range1d(*d["y_range"]), title=first["title"]
    )
    fig.title.name = "korvit-instrument"
    fig.title.text_font_size = "13px"
    colors = {"UP": _UP, "DOWN": _DOWN}
    bar_color = transform("up", CustomJSTransform(args=colors, v_func=_BAR_COLOR))
    if d["candles"]:
        fig.segment("x", "h", "x", "l", source=prices, color=bar_color, line_width=1)
        body = fig.vbar(
            "x",
            d["width"],
            "o",
            "c",
            source=prices,
            fill_color=bar_color,
            line_color=bar_color,
            line_width=0.5,
        )
        tips = [
            ("open", "@o{0,0.00[00]}"),
            ("high", "@h{0,0.00[00]}"),
            ("low", "@l{0,0.00[00]}"),
            ("close", "@c{0,0.00[00]}"),
            ("volume", "@v{0,0.[000000]}"),
        ]
    else:
        fig.varea("x", "l", "h", source=prices, color=_BLUE, alpha=0.15)
        body = fig.line("x", "c", source=prices, color=_BLUE, line_width=1.2)
        tips = [
            ("close", "@c{0,0.00[00]}"),
            ("high", "@h{0,0.00[00]}"),
            ("low", "@l{0,0.00[00]}"),
            ("volume", "@v{0,0.[000000]}"),
        ]
    when = (
        ("@time{%F %H:%M}", {"@time": "datetime"}) if compressed else ("@x{%F}", {"@x": "datetime"})
    )
    fig.add_tools(
        HoverTool(
            renderers=[body], tooltips=[("time", when[0])] + tips, formatters=when[1], mode="vline"
        )
    )
    stop_color = transform(
        "k",
        CustomJSTransform(
            args={"colors": [_STOP_COLORS[k] for k in STOP_KINDS]}, v_func=_STOP_COLOR
        ),
    )
    level = fig.segment(
        "x0", "y", "x1", "y", source=stops, color=stop_color, line_width=1.6, line_dash="dashed"
    )
    fig.add_tools(
        HoverTool(
            renderers=[level],
            tooltips=[("stop", "@k{custom} at @y{0,0.00[00]}")],
            formatters={"@k": CustomJSHover(args={"names": list(STOP_NAMES)}, code=_NAME_OF)},
        )
    )
    marks = fig.scatter(
        "x",
        "p",
        source=fills,
        size=11,
        marker=transform("k", CustomJSTransform(v_func=_FILL_MARKER)),
        fill_color=transform("k", CustomJSTransform(args=colors, v_func=_FILL_FILL)),
        line_color=transform("k", CustomJSTransform(args=colors, v_func=_FILL_LINE)),
        line_width=1.5,
    )
    fig.add_tools(
        HoverTool(
            renderers=[marks],
            tooltips=[
                ("fill", "@k{custom} @v{0,0.[000000]} at @p{0,0.00[00]}"),
                ("time", "@t{%F %H:%M:%S}"),
                ("account", "@a{custom}"),
                ("exit", "@r{custom}"),
            ],
            formatters={
                "@t": "datetime",
                "@k": CustomJSHover(args={"names": list(FILL_KINDS)}, code=_NAME_OF),
                "@a": CustomJSHover(args={"names": d["accounts"]}, code=_NAME_OF),
                "@r": CustomJSHover(args={"names": list(REASON_NAMES)}, code=_NAME_OF),
            },
        )
    )
    fig.yaxis.formatter = NumeralTickFormatter(format="0,0.00[00]")
    fig.yaxis.axis_label = "Price"
    fig.xaxis.visible = False
    _style(fig, d["tick_labels"], d["years"])

    vol = _figure(120, compressed, x_range=x_range, y_range=Range1d(*d["volume_range"]))
    vol.vbar(
        "x", d["width"], "v", 0, source=prices, fill_color=bar_color, line_color=None, alpha=0.6
    )
    vol.yaxis.formatter = NumeralTickFormatter(format="0.[0]a")
    vol.yaxis.axis_label = "Volume"
    _style(vol, d["tick_labels"], d["years"])

    panes = _indicator_panes(d, first["indicators"], fig, vol, when)
    below = [pane["figure"] for pane in panes[2:] if pane is not None]
    for above in [vol, *below][:-1]:  # the time shown under the last pane only
        above.xaxis.visible = False

    def extra(k, what):
        pane = panes[k] if k < len(panes) else None
        if pane is None:
            return []
        return [pane["source"]] if what == "source" else [pane["columns"]]

    _fit_y(
        fig,
        [prices, fills, *extra(0, "source")],
        ["x", "x", "x"],
        [["h", "l"], ["p"], *extra(0, "columns")],
        segments=stops,
    )
    _fit_y(vol, [prices, *extra(1, "source")], ["x", "x"], [["v"], *extra(1, "columns")], zero=True)

    show = CustomJS(
        args={
            "store": store,
            "current": {"code": codes[0]},
            "prices": prices,
            "fills": fills,
            "stops": stops,
            "title": fig.title,
            "xr": x_range,
            "price_y": fig.y_range,
            "volume_y": vol.y_range,
            "fill_columns": list(_FILL_COLUMNS),
            "stop_columns": list(_STOP_COLUMNS),
            "panes": [
                None
                if pane is None
                else {k: v for k, v in pane.items() if k != "columns" and v is not None}
                for pane in panes
            ],
        },
        code=_SHOW_CODE,
    )
    fig.title.js_on_change("tags", show)
    rows = [fig, vol, *below]
    if selector == "select" and len(codes) > 1:
        choose = Select(title="Instrument", value=codes[0], options=list(codes), width=260)
        choose.js_on_change("value", show)
        # a text box that finds a code among many: its pick goes to the drop-down
        find = AutocompleteInput(
            title="Find",
            completions=list(codes),
            min_characters=1,
            case_sensitive=False,
            width=200,
            placeholder="part of a code",
            **(
                {"search_strategy": "includes"}
                if "search_strategy" in AutocompleteInput.properties()
                else {}
            ),
        )
        find.js_on_change(
            "value",
            CustomJS(
                args={"choose": choose},
                code="if (choose.options.includes(this.value)) choose.value = this.value;",
            ),
        )
        rows.insert(0, row(choose, find))
    return column(*rows, sizing_mode="stretch_width")


def _indicator_panes(d, made, fig, vol, when):
    """The lines of the first code's indicators, per pane of ``d["panes"]``
    (None for a pane no code draws in): over the candles (``fig``), over the
    volume (``vol``) and in a figure of its own below them; each pane's
    source, legend items, lines, the columns of the lines, and below the
    volume its figure and hover."""
    n = len(d["x"])
    panes = []
    for k, name in enumerate(d["panes"]):
        count = d["slots"][k]
        if not count:
            panes.append(None)
            continue
        mine = [item for item in made if item["pane"] == k]
        names = [item["name"] for item in mine]
        data = {"x": d["x"]}
        for j in range(count):
            data[f"y{j}"] = mine[j]["y"] if j < len(mine) else np.full(n, np.nan)
        if k == 0:
            host = fig
        elif k == 1:
            host = vol
        else:
            values = [item["y"] for item in mine]
            host = _figure(
                130,
                d["compressed"],
                x_range=fig.x_range,
                y_range=Range1d(*(_span(*values) if values else (0.0, 1.0))),
            )
            host.yaxis.formatter = NumeralTickFormatter(format="0,0.[00]")
            host.yaxis.axis_label = name
            _style(host, d["tick_labels"], d["years"])
            host.visible = bool(names)
        source = ColumnDataSource(data)
        lines, items = [], []
        for j in range(count):
            line = host.line(
                "x",
                f"y{j}",
                source=source,
                line_width=1.6 if k == 0 else 1.3,
                color=_INDICATOR_COLORS[j % len(_INDICATOR_COLORS)],
                alpha=0.9,
                name="indicator",
            )
            line.visible = j < len(names)
            lines.append(line)
            items.append(
                LegendItem(
                    label=names[j] if j < len(names) else "",
                    renderers=[line],
                    visible=j < len(names),
                )
            )
        _legend_above(host, Legend(items=items))
        pane = {
            "source": source,
            "items": items,
            "lines": lines,
            "columns": [f"y{j}" for j in range(count)],
            "figure": None,
            "hover": None,
        }
        if k > 1:
            tips = HoverTool(
                renderers=[lines[0]],
                tooltips=[("time", when[0])]
                + [(label, f"@y{j}{{0,0.00[00]}}") for j, label in enumerate(names)],
                formatters=when[1],
                mode="vline",
            )
            host.add_tools(tips)
            _fit_y(host, [source], ["x"], [pane["columns"]])
            pane.update(figure=host, hover=tips)
        panes.append(pane)
    return panes


# ------------------------------------------------------------------ returns


def monthly_chart(result):
    """Returns by month as a heat map: a row per year, a column per month,
    red below zero and green above (the benchmark's month in the hover);
    None without any month."""
    d = monthly_data(result)
    if d is None:
        return None
    top, years = d["top"], d["years"]
    mapper = LinearColorMapper(
        palette=list(reversed(RdYlGn11)), low=-top, high=top, nan_color="#f4f6f9"
    )
    fig = figure(
        x_range=list(MONTHS),
        y_range=list(reversed(years)),
        height=max(120, 34 * len(years) + 50),
        sizing_mode="stretch_width",
        tools="hover,save",
        toolbar_location=None,
        tooltips=[
            ("month", "@month @year"),
            ("strategy", "@value{+0.00%}"),
            ("benchmark", "@benchmark{+0.00%}"),
        ],
    )
    source = ColumnDataSource(d["columns"])
    fig.rect(
        "month",
        "year",
        1,
        1,
        source=source,
        fill_color={"field": "value", "transform": mapper},
        line_color="white",
        line_width=2,
    )
    fig.text(
        "month",
        "year",
        text="label",
        source=source,
        text_align="center",
        text_baseline="middle",
        text_font_size="11px",
        text_color="ink",
    )
    fig.axis.axis_line_color = None
    fig.axis.major_tick_line_color = None
    fig.grid.grid_line_color = None
    fig.outline_line_color = None
    fig.xaxis.major_label_text_font_size = "11px"
    fig.yaxis.major_label_text_font_size = "11px"
    fig.min_border_left = 70
    fig.toolbar.logo = None
    return fig


def rolling_chart(result):
    """Rolling annualised Sharpe ratio and volatility of the strategy and the
    benchmark, over ``rolling_window`` days; None for a run too short."""
    d = rolling_data(result)
    if d is None:
        return None
    data, window = d["columns"], d["window"]
    source = ColumnDataSource(data)
    bench = "benchmark_sharpe" in data
    x_range = Range1d(*d["x_range"])
    sharpe = _figure(
        200,
        False,
        x_range=x_range,
        y_range=Range1d(*d["sharpe_range"]),
        title=f"Rolling Sharpe ratio ({window} days, annualised)",
    )
    vol = _figure(
        170,
        False,
        x_range=x_range,
        y_range=Range1d(*d["volatility_range"]),
        title=f"Rolling volatility ({window} days, annualised)",
    )
    for fig, name, fmt in ((sharpe, "sharpe", "0.00"), (vol, "volatility", "0.0%")):
        ours = fig.line(
            "x", name, source=source, color=_BLUE, line_width=1.6, legend_label="Strategy"
        )
        tips = [("day", "@x{%F}"), ("strategy", f"@{name}{{{fmt}}}")]
        if bench:
            fig.line(
                "x",
                f"benchmark_{name}",
                source=source,
                color=_GREY,
                line_width=1.2,
                alpha=0.9,
                legend_label="Benchmark",
            )
            tips.append(("benchmark", f"@benchmark_{name}{{{fmt}}}"))
        fig.add_tools(
            HoverTool(renderers=[ours], tooltips=tips, formatters={"@x": "datetime"}, mode="vline")
        )
        fig.add_layout(Span(location=0, dimension="width", line_color="#9aa3b2", line_width=1))
        fig.yaxis.formatter = NumeralTickFormatter(format=fmt)
        fig.title.text_font_size = "12px"
        fig.title.text_font_style = "normal"
        _legend_above(fig)
        cols = [name] + ([f"benchmark_{name}"] if bench else [])
        _fit_y(fig, [source], ["x"], [cols], zero=True)
        _style(fig, None, d["years"])
    sharpe.xaxis.visible = False
    if "beta" not in data:
        return column(sharpe, vol, sizing_mode="stretch_width")
    vol.xaxis.visible = False
    beta = _figure(
        170,
        False,
        x_range=x_range,
        y_range=Range1d(*d["beta_range"]),
        title=f"Rolling beta against the benchmark ({window} days)",
    )
    line = beta.line("x", "beta", source=source, color=_BLUE, line_width=1.6)
    beta.add_tools(
        HoverTool(
            renderers=[line],
            tooltips=[("day", "@x{%F}"), ("beta", "@beta{0.00}")],
            formatters={"@x": "datetime"},
            mode="vline",
        )
    )
    for level, dash in ((0, "solid"), (1, "dashed")):
        beta.add_layout(
            Span(
                location=level,
                dimension="width",
                line_color="#9aa3b2",
                line_width=1,
                line_dash=dash,
            )
        )
    beta.yaxis.formatter = NumeralTickFormatter(format="0.00")
    beta.title.text_font_size = "12px"
    beta.title.text_font_style = "normal"
    _fit_y(beta, [source], ["x"], [["beta"]], zero=True)
    _style(beta, None, d["years"])
    return column(sharpe, vol, beta, sizing_mode="stretch_width")


def histogram_chart(result):
    """The histogram of the daily returns, the benchmark's over it on the
    same bins (the share of the days in each); None with too few days."""
    d = histogram_data(result)
    if d is None:
        return None
    data = d["columns"]
    source = ColumnDataSource(data)
    fig = figure(
        height=220,
        sizing_mode="stretch_width",
        tools="xpan,xwheel_zoom,reset,save",
        x_range=Range1d(*d["x_range"]),
        y_range=Range1d(*d["y_range"]),
        toolbar_location="right",
        title="Daily returns",
    )
    fig.toolbar.logo = None
    fig.outline_line_color = None
    fig.min_border_left = 70
    fig.grid.grid_line_color = "#e3e6ec"
    fig.axis.axis_line_color = "#c9ced8"
    fig.axis.major_label_text_font_size = "11px"
    fig.title.text_font_size = "12px"
    fig.title.text_font_style = "normal"
    ours = fig.quad(
        left="left",
        right="right",
        top="strategy",
        bottom=0,
        source=source,
        fill_color=_BLUE,
        fill_alpha=0.55,
        line_color="white",
        line_width=0.5,
        legend_label="Strategy",
    )
    tips = [
        ("return", "@left{0.00%} to @right{0.00%}"),
        ("strategy", "@strategy{0.0%} of the days"),
    ]
    if "benchmark" in data:
        fig.quad(
            left="left",
            right="right",
            top="benchmark",
            bottom=0,
            source=source,
            fill_color=_GREY,
            fill_alpha=0.35,
            line_color=_GREY,
            line_width=0.8,
            legend_label="Benchmark",
        )
        tips.append(("benchmark", "@benchmark{0.0%} of the days"))
    fig.add_tools(HoverTool(renderers=[ours], tooltips=tips))
    fig.add_layout(Span(location=0, dimension="height", line_color="#9aa3b2", line_width=1))
    fig.xaxis.formatter = NumeralTickFormatter(format="0.0%")
    fig.yaxis.formatter = NumeralTickFormatter(format="0%")
    fig.yaxis.axis_label = "Days"
    _legend_above(fig)
    return fig


def result_layout(result):
    """Every chart of the report, stacked, with a drop-down of the instruments."""
    parts = [
        equity_chart(result),
        price_chart(result, selector="select"),
        monthly_chart(result),
        histogram_chart(result),
        rolling_chart(result),
    ]
    return column(*[part for part in parts if part is not None], sizing_mode="stretch_width")
