"""The HTML report of a backtest: one self-contained, interactive file.

Top to bottom: the statistics (with a caveat on the annualised ones of a
short run), the run against its benchmark and the worst drawdowns; the equity
with the benchmark (a button switches it to a log scale), the drawdown and a
range selector; each traded instrument's prices with its fills, stop levels
and the indicators its strategy made in ``init`` (a drop-down picks the
instrument, a text box filters it); the returns by month (a heat map) and by
year, their histogram, and the rolling Sharpe ratio, volatility and beta;
the round trips with why each ended (sortable: click a column's head); the orders (counts, and why orders were denied or
cancelled; denials are also flagged at the top); the last fills; the fee
schedules; and the run itself (strategy file, parameters, data, codes,
accounts, lot sizes, the settings that change fills, Korvit's version).

The charts are drawn in the browser by BokehJS, embedded in the page with
the report's own script (``report_charts.js``), from the data the page
carries as JSON (``korvit.report.chart_data``): writing the report builds no
Bokeh model and imports no Bokeh, and the file opens offline and can be
mailed.  The page sets ``window.korvitReady`` once the charts are drawn, and
``window.korvitIndicators`` to the names of the indicators drawn for the
instrument shown.
Every text that comes from the user (strategy name, codes, accounts,
parameters, reasons) is escaped, and the charts' data travels as JSON inside
the page, where ``</`` is escaped.
"""

from __future__ import annotations

import base64
import html
import json
import math
import re
import warnings
from functools import lru_cache
from importlib.util import find_spec
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from korvit.backtest.listing import shortened
from korvit.backtest.results import EXIT_REASONS, denials_line, round_trips_words
from korvit.backtest.results import shown_value as _shown_value
from korvit.backtest.stats import (
    ANNUALISED_STATS,
    BENCHMARK_STATS,
    OPEN_AT_END,
    ORDER_STATS,
    format_stat,
    order_counts,
    order_reasons,
)
from korvit.report import chart_data

__all__ = ["render_report", "render_charts", "bokeh_script", "decode_arrays"]

LAST_TRADES = 50
MAX_ROUND_TRIPS = 500
# The reasons listed by name in the Orders section; the others are counted together.
MAX_REASONS = 10
# Codes listed by name in the Run section.
MAX_CODES = 40

_CSS = """
:root { --fg:#1d2330; --muted:#6b7385; --line:#e3e6ec; --head:#f4f6f9;
        --pos:#1a7f37; --neg:#c0392b; }
* { box-sizing: border-box; }
body { font: 14px/1.45 -apple-system, "Segoe UI", Roboto, "Helvetica Neue", Arial, sans-serif;
       color: var(--fg); margin: 0; background: #fff; }
main { max-width: 1180px; margin: 0 auto; padding: 28px 32px 48px; }
h1 { font-size: 22px; margin: 0 0 4px; font-weight: 600; }
h2 { font-size: 16px; margin: 32px 0 10px; font-weight: 600;
     border-bottom: 1px solid var(--line); padding-bottom: 6px; }
.sub { color: var(--muted); margin: 0 0 20px; }
.stats { display: grid; grid-template-columns: repeat(3, 1fr); gap: 0 28px;
         align-items: start; }
.stats table { width: 100%; }
table { border-collapse: collapse; font-variant-numeric: tabular-nums; }
th, td { padding: 4px 8px; border-bottom: 1px solid var(--line); white-space: nowrap; }
.stats th { text-align: left; font-weight: normal; color: var(--muted); }
.stats td { text-align: right; font-weight: 600; }
.grid { width: 100%; font-size: 13px; }
.grid thead th { background: var(--head); text-align: right; font-weight: 600;
                 position: sticky; top: 0; }
.grid td { text-align: right; }
.grid th.l, .grid td.l { text-align: left; }
.pos { color: var(--pos); } .neg { color: var(--neg); }
.chart { width: 100%; min-height: 60px; }
.chart img { width: 100%; height: auto; display: block; }
.note { color: var(--muted); font-size: 13px; margin: 6px 0; }
.kv { font-size: 13px; } .kv th { text-align: left; font-weight: normal; color: var(--muted);
                                   vertical-align: top; }
.kv td { white-space: normal; }
h3 { font-size: 14px; margin: 16px 0 6px; font-weight: 600; }
.alert { color: var(--neg); background: #fdf0ee; border-left: 4px solid var(--neg);
         padding: 8px 12px; margin: 8px 0 16px; font-weight: 600; }
.alert a { color: inherit; }
.versus { font-size: 13px; margin-top: 14px; }
.versus th { text-align: left; font-weight: normal; color: var(--muted); }
.versus thead th { font-weight: 600; color: var(--fg); text-align: right; }
.versus td { text-align: right; font-weight: 600; }
.caveat { color: #b06000; }
.drawdowns { width: auto; }
.pick { margin: 4px 0 8px; font-size: 13px; }
.pick select, .pick input { font: inherit; padding: 3px 6px; margin-left: 6px; max-width: 100%; }
.pick input { width: 14em; }
.switch { font: inherit; font-size: 12px; padding: 2px 10px; margin: 0 0 4px; cursor: pointer;
          border: 1px solid var(--line); background: var(--head); border-radius: 3px; }
.switch[aria-pressed=true] { background: #dfe7f5; border-color: #9fb3d9; }
.two { display: grid; grid-template-columns: 3fr 1fr; gap: 24px; align-items: start; }
.scroll { max-height: 640px; overflow: auto; border: 1px solid var(--line); }
table.sortable thead th { cursor: pointer; user-select: none; }
table.sortable thead th[aria-sort=ascending]::after { content: " \\25B2"; font-size: 9px; }
table.sortable thead th[aria-sort=descending]::after { content: " \\25BC"; font-size: 9px; }
"""

# Sorts a table.sortable by the column whose head is clicked (again: the other
# way): by each cell's data-v where it has one (numbers), else its text.
_SORT_JS = """
document.querySelectorAll("table.sortable").forEach(function (table) {
  var heads = table.tHead.rows[0].cells;
  Array.prototype.forEach.call(heads, function (th, col) {
    th.addEventListener("click", function () {
      var down = th.getAttribute("aria-sort") === "ascending";
      Array.prototype.forEach.call(heads, function (h) { h.removeAttribute("aria-sort"); });
      th.setAttribute("aria-sort", down ? "descending" : "ascending");
      var body = table.tBodies[0], rows = Array.prototype.slice.call(body.rows);
      var key = function (row) {
        var cell = row.cells[col], v = cell.getAttribute("data-v");
        return v === null ? cell.textContent : (v === "" ? NaN : parseFloat(v));
      };
      rows.sort(function (a, b) {
        var x = key(a), y = key(b), r;
        if (typeof x === "number" || typeof y === "number") {
          if (isNaN(x)) return 1; if (isNaN(y)) return -1; r = x - y;
        } else { r = x.localeCompare(y); }
        return down ? -r : r;
      });
      rows.forEach(function (row) { body.appendChild(row); });
    });
  });
});
"""


def _esc(value) -> str:
    return html.escape("" if value is None else str(value))


def _script_json(value) -> str:
    """JSON to place inside a <script> element: no ``</`` can end it early."""
    return json.dumps(value, separators=(",", ":"), allow_nan=False).replace("</", "<\\/")


def _fmt_time(value) -> str:
    if value is None or pd.isna(value):
        return ""
    ts = pd.Timestamp(value)
    return ts.strftime("%Y-%m-%d") if ts == ts.normalize() else ts.strftime("%Y-%m-%d %H:%M")


def _fmt_num(value, digits=2) -> str:
    """A number with thousands separators; ``digits=0`` (volumes) keeps the
    fraction of a fractional volume."""
    if value is None or pd.isna(value):
        return ""
    value = float(value)
    if math.isinf(value):
        return "∞" if value > 0 else "−∞"
    if digits == 0 and not value.is_integer():
        whole, dot, fraction = repr(abs(value)).partition(".")
        if "e" in repr(value):
            return repr(value)  # a volume below 0.0001 or beyond 1e16: as Python writes it
        return ("-" if value < 0 else "") + f"{int(whole):,d}" + dot + fraction
    return f"{value:,.{digits}f}"


def _fmt_days(delta) -> str:
    """A holding time: days (one decimal) from a day on, else hours and minutes."""
    if delta is None or pd.isna(delta):
        return ""
    delta = pd.Timedelta(delta)
    days = delta / pd.Timedelta(days=1)
    if days >= 1:
        return f"{days:,.0f} d" if float(days).is_integer() else f"{days:,.1f} d"
    minutes = int(delta / pd.Timedelta(minutes=1))
    return f"{minutes // 60}h {minutes % 60:02d}m"


def _v(value) -> str:
    """The data-v attribute of a sortable cell."""
    if value is None or pd.isna(value):
        return " data-v=''"
    if isinstance(value, pd.Timestamp):
        value = value.value / 1e9
    elif isinstance(value, pd.Timedelta):
        value = value / pd.Timedelta(days=1)
    value = float(value)
    return f" data-v='{value!r}'" if math.isfinite(value) else " data-v=''"


def _signed(value, text, sort=False) -> str:
    attr = _v(value) if sort else ""
    if value is None or pd.isna(value) or value == 0:
        return f"<td{attr}>{text}</td>"
    return f"<td class='{'pos' if value > 0 else 'neg'}'{attr}>{text}</td>"


def _pct(value, digits=2) -> str:
    return "" if value is None or pd.isna(value) else f"{float(value) * 100:,.{digits}f}%"


# ------------------------------------------------------------------ charts


def render_charts(result) -> dict:
    """The data of the report's charts by the id of their place:
    ``chart-equity``, ``chart-prices``, ``chart-months``, ``chart-histogram``,
    ``chart-rolling`` (a chart without data is left out); the dicts of
    ``korvit.report.chart_data``."""
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        made = {
            "chart-equity": chart_data.equity_data(result),
            "chart-prices": chart_data.price_data(result),
            "chart-months": chart_data.monthly_data(result),
            "chart-histogram": chart_data.histogram_data(result),
            "chart-rolling": chart_data.rolling_data(result),
        }
    return {place: data for place, data in made.items() if data is not None}


# The arrays' types as the page reads them (into JavaScript's typed arrays).
_ARRAY_TYPES = {
    np.dtype(np.float64): "float64",
    np.dtype(np.float32): "float32",
    np.dtype(np.int8): "int8",
    np.dtype(np.int16): "int16",
    np.dtype(np.int32): "int32",
    np.dtype(np.uint8): "uint8",
}


def _encode(value):
    """``value`` as JSON's values: a numpy array as ``{"__nd__": dtype, "data":
    base64 of its little-endian bytes}`` (other whole numbers as int32 when they
    fit, else float64), a tuple as a list, a number that is no finite float as
    None."""
    if isinstance(value, np.ndarray):
        array = value
        if array.dtype not in _ARRAY_TYPES:
            fits = array.dtype.kind in "iub" and (
                not array.size or (array.min() >= -(2**31) and array.max() < 2**31)
            )
            array = array.astype(np.int32 if fits else np.float64)
        kind = _ARRAY_TYPES[array.dtype]
        raw = np.ascontiguousarray(array, dtype=array.dtype.newbyteorder("<")).tobytes()
        return {"__nd__": kind, "data": base64.b64encode(raw).decode("ascii")}
    if isinstance(value, dict):
        return {str(k): _encode(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_encode(v) for v in value]
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        return float(value) if math.isfinite(value) else None
    return value


def decode_arrays(value):
    """The inverse of the page's encoding: the charts' JSON as read back
    (``json.loads``) with its arrays as numpy arrays."""
    if isinstance(value, dict):
        if (
            set(value) == {"__nd__", "data"}
            and value["__nd__"] in _ARRAY_TYPES.values()
            and isinstance(value["data"], str)
        ):
            return np.frombuffer(
                base64.b64decode(value["data"]), dtype=np.dtype(value["__nd__"]).newbyteorder("<")
            )
        return {k: decode_arrays(v) for k, v in value.items()}
    if isinstance(value, list):
        return [decode_arrays(v) for v in value]
    return value


def _bokeh_js_dir() -> Path:
    """The folder of BokehJS's files in the installed Bokeh package, found without importing it."""
    spec = find_spec("bokeh")
    if spec is None or not spec.submodule_search_locations:
        raise ModuleNotFoundError(
            "the report draws its charts with BokehJS: install bokeh (pip install bokeh)"
        )
    return Path(next(iter(spec.submodule_search_locations))) / "server" / "static" / "js"


@lru_cache(maxsize=1)
def bokeh_script() -> str:
    """BokehJS, to embed in a page: its core and its plotting API (the report
    needs no widget)."""
    folder = _bokeh_js_dir()
    parts = []
    for name in ("bokeh.min.js", "bokeh-api.min.js"):
        path = folder / name
        try:
            parts.append(path.read_text(encoding="utf-8"))
        except OSError as exc:
            raise FileNotFoundError(
                f"BokehJS's file {path} cannot be read ({exc.strerror or exc}): reinstall bokeh"
            ) from None
    text = "\n".join(parts)
    if re.search("</script", text, re.IGNORECASE):  # it would end the page's <script> element early
        raise ValueError(
            f"BokehJS's files in {folder} hold '</script': they cannot be embedded in a page"
        )
    return text


@lru_cache(maxsize=1)
def _charts_script() -> str:
    return (Path(__file__).with_name("report_charts.js")).read_text(encoding="utf-8")


# ------------------------------------------------------------------ sections


def _denied_flag(result) -> str:
    """A line at the top naming the denied orders and their most common
    reasons, linked to the Orders section."""
    denied = denials_line(result.orders)
    if not denied:
        return ""
    return f"<p class='alert'>{_esc(denied)} (<a href='#orders'>see Orders</a>).</p>"


def _stats_html(result) -> str:
    """The statistics in three columns (the order counts are in Orders, the
    benchmark's figures beside the strategy's below), the annualised ones
    marked when the run is too short for them (with the caveat under the
    table), then the worst drawdowns."""
    items = [
        (name, value)
        for name, value in result.stats.items()
        if name not in ORDER_STATS and name not in BENCHMARK_STATS
    ]
    notes = result.caveats
    size = -(-len(items) // 3)
    blocks = []
    for i in range(0, len(items), size):
        rows = "".join(
            f"<tr><th>{_esc(n)}{_CAVEAT_MARK if notes and n in ANNUALISED_STATS else ''}</th>"
            f"<td>{_esc(format_stat(n, v))}</td></tr>"
            for n, v in items[i : i + size]
        )
        blocks.append(f"<table>{rows}</table>")
    caveat = "".join(f"<p class='note caveat'>* {_esc(note)}.</p>" for note in notes)
    return (
        f"<div class='stats'>{''.join(blocks)}</div>{caveat}"
        + _versus_html(result, bool(notes))
        + _drawdowns_html(result)
    )


# The mark of an annualised figure of too short a run (the caveat's line says why).
_CAVEAT_MARK = "<span class='caveat'>*</span>"


def _drawdowns_html(result) -> str:
    """The worst drawdowns, deepest first: peak, trough, recovery, depth and length."""
    worst = result.drawdowns
    if worst.empty:
        return "<h3>Worst drawdowns</h3><p class='note'>No drawdown.</p>"
    head = (
        "<tr><th>#</th><th class='l'>Peak</th><th class='l'>Trough</th>"
        "<th class='l'>Recovery</th><th>Depth</th><th>Length</th></tr>"
    )
    body = [
        f"<tr><td>{k}</td><td class='l'>{_esc(_fmt_time(row.peak))}</td>"
        f"<td class='l'>{_esc(_fmt_time(row.trough))}</td>"
        f"<td class='l'>{_esc(_fmt_time(row.recovery) or 'not recovered')}</td>"
        + _signed(row.depth, _esc(_pct(row.depth)))
        + f"<td>{_esc(_fmt_days(row.length))}</td></tr>"
        for k, row in enumerate(worst.itertuples(index=False), 1)
    ]
    note = (
        "Each from its peak to the first bar back at it (the length runs to the last bar "
        "when the run ends under water)."
    )
    return f"<h3>Worst drawdowns</h3>{_grid(head, body, note, cls='grid drawdowns')}"


def _per_year(result) -> str:
    """The periods a year that annualise the figures (252, 365, 252.3)."""
    return f"{result.sessions_per_year:,.1f}".removesuffix(".0")


def _versus_html(result, marked: bool = False) -> str:
    """The strategy beside its benchmark: return, CAGR, drawdown; alpha,
    beta and the information ratio (the annualised ones ``marked`` with the
    short run's caveat)."""
    if not len(result.benchmark_curve):
        return "<p class='note'>No benchmark.</p>"
    s = result.stats
    mark = _CAVEAT_MARK if marked else ""
    pairs = (
        ("Total return", "Total return", "Benchmark return"),
        ("Annualised return (CAGR)", "Annualised return", "Benchmark annualised return"),
        ("Max drawdown", "Max drawdown", "Benchmark max drawdown"),
    )
    rows = "".join(
        f"<tr><th>{label}{mark if ours in ANNUALISED_STATS else ''}</th>"
        f"<td>{_esc(format_stat(ours, s[ours]))}</td>"
        f"<td>{_esc(format_stat(theirs, s[theirs]))}</td></tr>"
        for label, ours, theirs in pairs
    )
    rows += "".join(
        f"<tr><th>{label}{mark if name in ANNUALISED_STATS else ''}</th>"
        f"<td>{_esc(format_stat(name, s[name]))}</td><td></td></tr>"
        for label, name in (
            ("Alpha (annualised)", "Alpha"),
            ("Beta", "Beta"),
            ("Information ratio (annualised)", "Information ratio"),
        )
    )
    return (
        f"<table class='versus'><thead><tr><th></th><th>Strategy</th><th>Benchmark</th></tr></thead>"
        f"<tbody>{rows}</tbody></table>"
        f"<p class='note'>Benchmark: {_esc(result.benchmark_name)}; no fees. Alpha and beta on daily "
        f"returns; the information ratio is the mean daily return above the benchmark over its "
        f"standard deviation, × √{_per_year(result)}.</p>"
    )


def _grid(head, body, note="", cls="grid"):
    """A table of rows (``head`` and ``body`` are HTML), after an optional note."""
    note = f"<p class='note'>{note}</p>" if note else ""
    return f"{note}<table class='{cls}'><thead>{head}</thead><tbody>{''.join(body)}</tbody></table>"


def _exit_summary_html(rt) -> str:
    """Round trips by the reason they ended: how many, won, P&L (unknown
    figures left out of the sums and means), the positions still open at
    the end counted apart, on a row of their own."""
    rows = []
    reasons = rt["exit_reason"].to_numpy()
    still_open = int((reasons == OPEN_AT_END).sum())
    pnls = pd.to_numeric(rt["pnl"], errors="coerce").to_numpy(dtype=float)
    returns = pd.to_numeric(rt["return"], errors="coerce").to_numpy(dtype=float)
    for reason in EXIT_REASONS:
        mine = reasons == reason
        count = int(mine.sum())
        if not count:
            continue
        pnl, ret = pnls[mine], returns[mine]
        won = float((pnl > 0).mean())
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore", RuntimeWarning)  # every return unknown: NaN
            total, mean = float(np.nansum(pnl)), float(np.nanmean(ret))
        rows.append(
            f"<tr><td class='l'>{_esc(reason)}</td><td>{count:,d}</td><td>{_pct(won, 1)}</td>"
            + _signed(total, _fmt_num(total))
            + _signed(mean, _pct(mean))
            + "</tr>"
        )
    head = (
        "<tr><th class='l'>Ended by</th><th>Count</th><th>Won</th><th>P&amp;L</th>"
        "<th>Average return</th></tr>"
    )
    return _grid(head, rows, _esc(round_trips_words(len(rt) - still_open, still_open)) + ".")


def _round_trips_html(result) -> str:
    rt = result.round_trips
    if rt.empty:
        return "<p class='note'>No round trips.</p>"
    several = len(pd.unique(rt["account"])) > 1
    shown = rt.tail(MAX_ROUND_TRIPS)
    head = (
        "<tr><th>#</th>"
        + ("<th class='l'>Account</th>" if several else "")
        + "<th class='l'>Code</th><th class='l'>Side</th><th>Volume</th><th class='l'>Entry</th>"
        "<th>Entry price</th><th class='l'>Exit</th><th>Exit price</th><th class='l'>Ended by</th>"
        "<th>Held</th><th>P&amp;L</th><th>Return</th><th>Fees</th></tr>"
    )
    body = []
    start = len(rt) - len(shown)
    for k, r in enumerate(
        shown.rename(columns={"return": "ret"}).itertuples(index=False), start + 1
    ):
        body.append(
            f"<tr><td data-v='{k}'>{k}</td>"
            + (f"<td class='l'>{_esc(r.account)}</td>" if several else "")
            + f"<td class='l'>{_esc(r.code)}</td><td class='l'>{_esc(r.side)}</td>"
            f"<td{_v(r.volume)}>{_fmt_num(r.volume, 0)}</td>"
            f"<td class='l'{_v(r.entry_time)}>{_fmt_time(r.entry_time)}</td>"
            f"<td{_v(r.entry_price)}>{_fmt_num(r.entry_price, 4)}</td>"
            f"<td class='l'{_v(r.exit_time)}>{_fmt_time(r.exit_time)}</td>"
            f"<td{_v(r.exit_price)}>{_fmt_num(r.exit_price, 4)}</td>"
            f"<td class='l'>{_esc(r.exit_reason)}</td>"
            f"<td{_v(r.duration)}>{_fmt_days(r.duration)}</td>"
            + _signed(r.pnl, _fmt_num(r.pnl), sort=True)
            + _signed(r.ret, _pct(r.ret), sort=True)
            + f"<td{_v(r.fees)}>{_fmt_num(r.fees)}</td></tr>"
        )
    note = (
        "Click a column's head to sort. A position still open at the last bar is listed as "
        "“open at the end”, valued at its last close: it is no round trip closed, and the "
        "statistics' trade figures leave it out (it is in the equity)."
    )
    if len(shown) < len(rt):
        note = (
            f"The last {len(shown):,d} of {len(rt):,d} round trips (all of them are in "
            f"round_trips.csv). " + note
        )
    table = _grid(head, body, note, cls="grid sortable")
    return _exit_summary_html(rt) + f"<h3>Each round trip</h3><div class='scroll'>{table}</div>"


def _trades_html(result) -> str:
    trades = result.trades
    if trades.empty:
        return "<p class='note'>No fills.</p>"
    shown = trades.sort_values("time", kind="stable").tail(LAST_TRADES)
    head = (
        "<tr><th class='l'>Time</th><th class='l'>Account</th><th class='l'>Code</th>"
        "<th class='l'>Side</th><th class='l'>Effect</th><th>Volume</th><th>Price</th>"
        "<th>Fee</th><th class='l'>Order</th></tr>"
    )
    body = []
    for t in shown.itertuples(index=False):
        side = str(t.side)
        cls = "pos" if side.lower() == "buy" else "neg" if side.lower() == "sell" else ""
        body.append(
            f"<tr><td class='l'>{_fmt_time(t.time)}</td><td class='l'>{_esc(t.account)}</td>"
            f"<td class='l'>{_esc(t.code)}</td><td class='l {cls}'>{_esc(side)}</td>"
            f"<td class='l'>{_esc(t.effect)}</td><td>{_fmt_num(t.volume, 0)}</td>"
            f"<td>{_fmt_num(t.price, 4)}</td><td>{_fmt_num(t.fee)}</td>"
            f"<td class='l'>{_esc(t.order_id)}</td></tr>"
        )
    return _grid(
        head,
        body,
        f"The last {len(shown)} of {len(trades)} fills." if len(shown) < len(trades) else "",
    )


def _orders_html(result) -> str:
    """The orders placed, filled, cancelled and denied, with the reasons of
    the denials and cancellations counted by their kind; denials flagged."""
    orders = result.orders
    counts = order_counts(orders)
    rows = "".join(
        f"<tr><th>{_esc(name)}</th><td>{counts[name]:,d}</td></tr>" for name in ORDER_STATS
    )
    if counts["open"]:
        rows += f"<tr><th>Orders open at the end</th><td>{counts['open']:,d}</td></tr>"
    text = ""
    denied = denials_line(orders, "the reason column of orders.csv")
    if denied:
        text += f"<p class='alert'>{_esc(denied)}.</p>"
    text += f"<table class='kv'>{rows}</table>"
    for status in ("denied", "cancelled"):
        reasons = order_reasons(orders, status)
        if reasons:
            body = "".join(
                f"<tr><th>{_esc(r)}</th><td>{n:,d}</td></tr>" for r, n in reasons[:MAX_REASONS]
            )
            more = reasons[MAX_REASONS:]
            if more:
                body += (
                    f"<tr><th>{len(more):,d} other reasons</th>"
                    f"<td>{sum(n for _, n in more):,d}</td></tr>"
                )
            text += f"<h3>Why orders were {status}</h3><table class='kv'>{body}</table>"
    return text


def _returns_html(result) -> str:
    """The returns by year: the strategy's, the benchmark's and the difference."""
    years = result.returns_by_year
    if years.empty:
        return "<p class='note'>No returns.</p>"
    bench = "benchmark" in years
    head = (
        "<tr><th class='l'>Year</th><th>Strategy</th>"
        + ("<th>Benchmark</th><th>Difference</th>" if bench else "")
        + "</tr>"
    )
    body = []
    for period, row in years.iterrows():
        cells = f"<td class='l'>{period.year}</td>" + _signed(
            row["strategy"], _pct(row["strategy"])
        )
        if bench:
            diff = row["strategy"] - row["benchmark"]
            cells += _signed(row["benchmark"], _pct(row["benchmark"])) + _signed(diff, _pct(diff))
        body.append(f"<tr>{cells}</tr>")
    return _grid(head, body)


def _fees_html(result) -> str:
    """The fee schedules in force: "CODE, CODE: schedule" lines of ``meta["fees"]``."""
    fees = result.meta.get("fees")
    if not fees:
        return ""
    rows = "".join(
        f"<tr><th>{_esc(shortened(codes.split(', '), MAX_CODES))}</th><td>{_esc(text)}</td></tr>"
        for codes, _, text in (str(line).partition(": ") for line in fees)
    )
    return f"<h2>Fees</h2><table class='kv'>{rows}</table>"


_SETTING_WORDS = {
    "price_at_previous_close": (
        "Market orders fill at",
        lambda v: "the previous bar's close" if v else "the next bar's open",
    ),
    "slippage": ("Slippage", lambda v: f"{float(v) * 100:g} % of the price, on market orders"),
    "stop_fill": (
        "Stops decided on the bar alone fill at",
        lambda v: {
            "first_traded": "the first price of the bar at which they hold (first_traded)",
            "stop_price": "the stop's price, even where the bar opened beyond it (stop_price)",
        }.get(v, str(v)),
    ),
    "limit_fill": (
        "Limit orders the market reached at a better price fill at",
        lambda v: {
            "first_traded": "that price: the bar's open where it opened at or better "
            "than the limit (first_traded)",
            "limit_price": "the limit, even where the bar opened better (limit_price)",
        }.get(v, str(v)),
    ),
    "cancel_unfilled_limits": (
        "Limit orders the next bar does not reach",
        lambda v: "are cancelled" if v else "wait",
    ),
    "cancel_stale_orders": (
        "Orders left from an earlier day",
        lambda v: "are cancelled at the day's first bar" if v else "stay",
    ),
    "fees": ("Fees", lambda v: "as the contracts state them" if v == "contracts" else "none"),
    "adjust": ("Prices", lambda v: "scaled by the adjusted close" if v else "as given"),
    "bar_time": (
        "A bar's time marks",
        lambda v: "the start of its period" if v == "start" else "the end of its period",
    ),
}


def _run_html(result) -> str:
    """The run: what ran, on what, with which settings."""
    meta = dict(result.meta)
    rows = []

    def row(name, value):
        rows.append(f"<tr><th>{_esc(name)}</th><td>{value}</td></tr>")

    row(
        "Strategy",
        _esc(result.strategy or "–")
        + (
            f" <span class='note'>({_esc(meta.pop('strategy_file'))})</span>"
            if meta.get("strategy_file")
            else ""
        ),
    )
    meta.pop("strategy_file", None)
    row("Parameters", _esc(result.params_line()))
    data = meta.pop("data", None)
    meta.pop("bars", None)
    curve = result.equity_curve
    span = (
        f"{_fmt_time(curve.index[0])} – {_fmt_time(curve.index[-1])}" if len(curve) else "no bars"
    )
    source = data.get("source") if isinstance(data, dict) else data
    source = f"; {_esc(_shown_value(source))}" if source else ""
    row("Data", f"{len(curve):,d} {_esc(result.bar_kind)}, {span}{source}")
    codes = list(meta.pop("codes", None) or (result.bars.codes if result.bars is not None else []))
    if codes:
        traded = len(result.traded_codes)
        row("Codes", f"{len(codes):,d} ({traded:,d} traded): {_esc(shortened(codes, MAX_CODES))}")
    accounts = meta.pop("accounts", None)
    if isinstance(accounts, dict) and accounts:
        row(
            "Accounts",
            _esc(shortened((f"{name}: {_fmt_num(cash)}" for name, cash in accounts.items()), 12)),
        )
    else:
        row("Initial cash", _fmt_num(result.initial_cash))
    row("Benchmark", _esc(result.benchmark_name))
    meta.pop("calendar", None)
    calendar = result.calendar_line()
    if calendar:
        row("Calendar", _esc(calendar))
    contracts = meta.pop("contracts", None)
    if isinstance(contracts, dict) and contracts:
        groups: dict[Any, Any] = {}
        for code, c in contracts.items():
            c = c if isinstance(c, dict) else {}
            key = (c.get("kind"), c.get("lot_size"), c.get("multiplier"))
            groups.setdefault(key, []).append(code)
        lines = []
        for (kind, lot, mult), members in groups.items():
            names = _esc(shortened(members, 12))
            lines.append(
                f"{_esc(kind or 'stock')}, lots of {_esc(lot)}, multiplier {_esc(_shown_value(mult))}: "
                f"{names}"
            )
        row("Lot sizes", "<br>".join(lines))
    no_contract = meta.pop("no_contract", None)
    if no_contract:
        row("Without a contract", _esc(_shown_value(no_contract)))
    settings = meta.pop("settings", None)
    if isinstance(settings, dict):
        for key, value in settings.items():
            if key == "bar_time" and result.frequency == "day":
                continue  # daily bars have no period within the day
            label, words = _SETTING_WORDS.get(key, (key, _shown_value))
            row(label, _esc(words(value)))
    version = meta.pop("version", None)
    if version:
        row("Korvit", _esc(version))
    timings = meta.pop("timings", None)
    if isinstance(timings, dict):
        row(
            "Seconds",
            ", ".join(
                f"{_esc(k.removesuffix('_s'))} {float(v):.2f}"
                for k, v in timings.items()
                if isinstance(v, (int, float))
            ),
        )
    meta.pop("fees", None)
    log_dir = meta.pop("log_dir", None)
    if log_dir:
        row("Logs", _esc(log_dir))
    for key, value in meta.items():
        row(key, _esc(_shown_value(value)))
    return f"<h2>Run</h2><table class='kv'>{''.join(rows)}</table>"


def _instrument_pick(result) -> str:
    """The drop-down of the instruments shown in the price chart (each with
    its round trips), and a text box that filters it: the codes holding what
    is typed, in any case (Enter shows the first, the down arrow goes to the
    list)."""
    codes = chart_data.chart_codes(result)
    if len(codes) < 2:
        return ""
    rt = result.round_trips
    counts: dict[str, tuple[int, int]] = {}
    if len(rt):
        still_open = rt["exit_reason"].eq(OPEN_AT_END).astype(int)
        by_code = still_open.groupby(rt["code"].astype(str).to_numpy()).agg(["size", "sum"])
        counts = {code: (int(n - k), int(k)) for code, n, k in by_code.itertuples()}
    options = "".join(
        f"<option value='{_esc(code)}'>{_esc(code)}"
        f"{f' ({round_trips_words(*counts[code])})' if code in counts else ''}</option>"
        for code in codes
    )
    return (
        "<div class='pick'><label>Instrument<select id='instrument'>"
        f"{options}</select></label> <label>Find<input id='instrument-find' type='search' "
        "placeholder='part of a code' autocomplete='off' spellcheck='false' "
        "aria-controls='instrument'></label>"
        f"<span class='note' id='instrument-count'> {len(codes):,d} instruments</span></div>"
    )


def _log_switch(charts) -> str:
    """The button that shows the equity on a log scale (only where every value is above zero)."""
    equity = charts.get("chart-equity")
    if equity is None or equity["log_range"] is None:
        return ""
    return (
        "<button type='button' class='switch' id='equity-log' aria-pressed='false' "
        "title='Show the equity on a log scale (equal moves in percent are equal heights)'>"
        "Log scale</button>"
    )


def _histogram_note(charts) -> str:
    histogram = charts.get("chart-histogram")
    if histogram is None:
        return ""
    bench = " and the benchmark's (grey)" if "benchmark" in histogram["columns"] else ""
    return (
        f"<p class='note'>The daily returns of {histogram['days']:,d} days{bench}: the share "
        "of the days in each bin (the rarest returns, beyond the 0.5th and 99.5th percentiles, "
        "counted in the end bins).</p>"
    )


def render_report(result) -> str:
    """The report of ``result`` (a ``BacktestResult``) as an HTML string."""
    charts = render_charts(result)
    title = result.title
    accounts = shortened(result.accounts, 12)
    kind = result.bar_kind
    sub = (
        f"{len(result.equity_curve):,d} {kind} · initial cash "
        f"{result.initial_cash:,.2f}"
        + (f" · accounts: {accounts}" if accounts else "")
        + f" · benchmark: {result.benchmark_name}"
    )

    def place(name, missing):
        return (
            f"<div class='chart' id='{name}'></div>"
            if name in charts
            else f"<p class='note'>{missing}</p>"
        )

    prices = ""
    if "chart-prices" in charts:
        prices = (
            f"<h2>Prices and trades</h2>{_instrument_pick(result)}"
            "<p class='note'>▲ buys, ▼ sells (hollow: closing a position; the hover says why); "
            "dashed: stop levels, <span class='neg'>stop loss</span>, <span class='pos'>take profit</span>, "
            "<span style='color:#e08a00'>trailing stop</span> (at its last level, from the bar that set "
            "it). Drag to pan; zoom with the toolbar's wheel or box zoom.</p>"
            + place("chart-prices", "")
        )
    return f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{_esc(title)}</title>
<style>{_CSS}</style>
<script>{bokeh_script() if charts else ""}</script>
</head>
<body>
<main>
<h1>{_esc(title)}</h1>
<p class="sub">{_esc(sub)}</p>
{_denied_flag(result)}
{_stats_html(result)}
<h2>Equity and drawdown</h2>
{_log_switch(charts)}
{place("chart-equity", "No bars.")}
{prices}
<h2>Returns</h2>
<div class="two"><div>{place("chart-months", "No returns by month.")}</div><div>{_returns_html(result)}</div></div>
{_histogram_note(charts)}
{place("chart-histogram", "Too few days for a histogram of the daily returns.")}
{place("chart-rolling", "The run is too short for rolling figures.")}
<h2>Round trips</h2>
{_round_trips_html(result)}
<h2 id="orders">Orders</h2>
{_orders_html(result)}
<h2>Last fills</h2>
{_trades_html(result)}
{_fees_html(result)}
{_run_html(result)}
</main>
<script type="application/json" id="korvit-charts">{_script_json(_encode(charts))}</script>
<script>{_SORT_JS}{_charts_script()}</script>
</body>
</html>
"""
