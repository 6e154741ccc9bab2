"""The HTML report of a backtest: one self-contained file.

It holds the statistics, a chart (equity with the fills marked, and the
drawdown below it) embedded as a PNG, the round trips, the orders (counts,
and why orders were denied or cancelled; denials are also flagged at the
top) and the last fills.
Every text that comes from the user (strategy name, codes, accounts,
parameters, reasons) is escaped.  The chart is drawn on a bare Agg canvas,
without pyplot, so no figure is left open and no global state is touched.
"""

from __future__ import annotations

import base64
import html
import io
import warnings

import numpy as np
import pandas as pd
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.dates import AutoDateLocator, ConciseDateFormatter
from matplotlib.figure import Figure
from matplotlib.ticker import (FixedFormatter, FixedLocator, FuncFormatter, MaxNLocator,
                               PercentFormatter)

from korvit.backtest.results import denials_line
from korvit.backtest.stats import ORDER_STATS, format_stat, order_counts, order_reasons

__all__ = ["render_report", "render_chart"]

LAST_TRADES = 50
# Beyond this, axis limits and ticks overflow a double.
_LARGEST_DRAWN = 1e300
MAX_ROUND_TRIPS = 200
# The reasons listed by name in the Orders section; the others are counted together.
MAX_REASONS = 10

_BUY, _SELL = "#1a9850", "#d73027"
_LINE, _DD = "#2c5aa0", "#c0392b"

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
.chart img { width: 100%; height: auto; display: block; }
.note { color: var(--muted); font-size: 13px; margin: 6px 0; }
.kv { font-size: 13px; } .kv th { text-align: left; font-weight: normal; color: var(--muted); }
h3 { font-size: 14px; margin: 16px 0 6px; font-weight: 600; }
.alert { color: var(--neg); background: #fdf0ee; border-left: 4px solid var(--neg);
         padding: 8px 12px; margin: 8px 0 16px; font-weight: 600; }
.alert a { color: inherit; }
"""


def _esc(value) -> str:
    return html.escape("" if value is None else str(value))


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
    if digits == 0 and not value.is_integer():
        return f"{value:,g}"
    return f"{value:,.{digits}f}"


def _signed(value, text) -> str:
    if value is None or pd.isna(value) or value == 0:
        return f"<td>{text}</td>"
    return f"<td class='{'pos' if value > 0 else 'neg'}'>{text}</td>"


def _markers(result, curve=None):
    """Bar positions and values on the total equity curve (or `curve`) of
    the buys and of the sells: a fill sits on its own bar, or on the last bar
    before it when it falls between bars; fills before the first bar are left
    out."""
    curve = result.equity_curve if curve is None else curve
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


def _time_axis(ax, index: pd.DatetimeIndex, compressed: bool):
    """Ticks for the shared x axis.  On a compressed axis x is the bar
    number, so nights and weekends take no room; ticks then go at the first
    bar of a day (thinned to about ten), or at round bar numbers within a
    single day."""
    if not compressed:
        locator = AutoDateLocator()
        ax.xaxis.set_major_locator(locator)
        ax.xaxis.set_major_formatter(ConciseDateFormatter(locator))
        return
    days = index.normalize()
    starts = np.flatnonzero(np.r_[True, days[1:] != days[:-1]])
    if len(starts) > 1:
        step = -(-len(starts) // 10)
        ticks = starts[::step]
        fmt = "%b %d" if index[-1].year == index[0].year else "%Y-%m-%d"
        labels = [index[i].strftime(fmt) for i in ticks]
    else:
        ticks = MaxNLocator(nbins=8, integer=True).tick_values(0, len(index) - 1)
        ticks = [int(t) for t in ticks if 0 <= t < len(index)]
        labels = [index[i].strftime("%H:%M") for i in ticks]
    ax.xaxis.set_major_locator(FixedLocator(ticks))
    ax.xaxis.set_major_formatter(FixedFormatter(labels))


def render_chart(result, *, width=11.5, dpi=110) -> bytes:
    """PNG bytes of the chart: total equity with the fills marked, the
    equity of each account when there are several, and the drawdown, all on
    one x axis.  Minute bars are drawn one after another by bar number, so
    the hours the market is shut leave no flat stretches.

    Infinite and NaN equity leave gaps in the lines; where the values are
    too large to draw at all (near the largest double) the chart says so
    instead, so that the report is still written."""
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return _draw_chart(result, width, dpi)
        except (ValueError, OverflowError, FloatingPointError):
            if not _extreme(result):
                raise
            return _message_chart("The equity is too large to draw; the figures above are exact.",
                                   width, dpi)


def _finite(values):
    """The values with infinities made NaN (a gap in a line)."""
    return values.where(np.isfinite(values.astype(float))) if len(values) else values


def _extreme(result) -> bool:
    """Whether the run's equity holds values beyond what money ever reaches."""
    values = np.concatenate([result.equity_curve.to_numpy(dtype=float),
                             result.account_curves.to_numpy(dtype=float).ravel(),
                             [float(result.initial_cash)]])
    return bool((~np.isfinite(values) | (np.abs(values) > _LARGEST_DRAWN)).any())


def _message_chart(text, width, dpi) -> bytes:
    fig = Figure(figsize=(width, 2.0), dpi=dpi)
    FigureCanvasAgg(fig)
    fig.text(0.5, 0.5, text, ha="center", va="center", color="#6b7385", fontsize=11)
    buf = io.BytesIO()
    fig.savefig(buf, format="png")
    return buf.getvalue()


def _draw_chart(result, width, dpi) -> bytes:
    curve = _finite(result.equity_curve)
    accounts = _finite(result.account_curves)
    several = accounts.shape[1] > 1
    compressed = result.frequency == "minute"
    ratios = [3.0, 1.5, 1.1] if several else [3.0, 1.1]
    fig = Figure(figsize=(width, 6.4 if not several else 8.0), dpi=dpi)
    FigureCanvasAgg(fig)
    axes = fig.subplots(len(ratios), 1, sharex=True, gridspec_kw={"height_ratios": ratios})
    ax, ax_dd = axes[0], axes[-1]
    if curve.empty:
        ax.text(0.5, 0.5, "No bars", ha="center", va="center", transform=ax.transAxes,
                color="#6b7385")
    else:
        x = np.arange(len(curve)) if compressed else curve.index
        ax.plot(x, curve.to_numpy(), color=_LINE, lw=1.6, label="Total equity", zorder=3)
        if np.isfinite(result.initial_cash):
            ax.axhline(result.initial_cash, color="#9aa3b2", lw=0.8, ls="--", zorder=1,
                       label="Initial cash")
        for (pos, y), marker, color, label in zip(_markers(result, curve), "^v", (_BUY, _SELL),
                                                  ("Buy", "Sell")):
            if len(pos):
                ax.scatter(x[pos], y, marker=marker, s=40, color=color, edgecolor="white",
                           linewidth=0.5, label=label, zorder=4)
        ax.legend(loc="lower left", bbox_to_anchor=(0.0, 1.0), frameon=False, fontsize=9,
                  ncol=4, borderaxespad=0.2)
        if several:
            ax_acc = axes[1]
            accounts = accounts.reindex(curve.index)
            for account in accounts.columns:
                ax_acc.plot(x, accounts[account].to_numpy(), lw=1.1, label=str(account))
            ax_acc.legend(loc="upper left", fontsize=8.5, ncol=min(6, accounts.shape[1]),
                          frameon=True, framealpha=0.85, edgecolor="none")
            ax_acc.set_ylabel("By account")
        dd = _finite(result.drawdown).to_numpy(dtype=float) * 100
        ax_dd.fill_between(x, dd, 0, color=_DD, alpha=0.3, lw=0)
        ax_dd.plot(x, dd, color=_DD, lw=0.9)
        low = float(np.nanmin(dd)) if np.isfinite(dd).any() else 0.0
        ax_dd.set_ylim(min(low * 1.15, -1.0), 0.3)
        ax_dd.yaxis.set_major_formatter(PercentFormatter(decimals=0 if low < -3 else 1))
        _time_axis(ax_dd, curve.index, compressed)
        if len(curve) == 1:
            ax_dd.set_xlim(-1, 1) if compressed else ax_dd.set_xlim(
                curve.index[0] - pd.Timedelta(days=1), curve.index[0] + pd.Timedelta(days=1))
        elif compressed:
            ax_dd.set_xlim(0, len(curve) - 1)
    ax.set_ylabel("Equity")
    ax_dd.set_ylabel("Drawdown")
    for a in axes:
        a.grid(True, color="#e3e6ec", lw=0.7)
        a.set_axisbelow(True)
        for spine in ("top", "right"):
            a.spines[spine].set_visible(False)
        a.tick_params(labelsize=9)
        if a is not ax_dd:
            a.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:,.0f}"))
    fig.align_ylabels(axes)
    fig.tight_layout(h_pad=0.8)
    buf = io.BytesIO()
    fig.savefig(buf, format="png")
    return buf.getvalue()


def _denied_flag(result) -> str:
    """A line at the top naming the denied orders and their most common
    reasons, linked to the Orders section."""
    denied = denials_line(result.orders)
    if not denied:
        return ""
    return f"<p class='alert'>{_esc(denied)} (<a href='#orders'>see Orders</a>).</p>"


def _stats_html(result) -> str:
    """The statistics in three columns (the order counts are in Orders)."""
    items = [(name, value) for name, value in result.stats.items() if name not in ORDER_STATS]
    size = -(-len(items) // 3)
    blocks = []
    for i in range(0, len(items), size):
        rows = "".join(f"<tr><th>{_esc(n)}</th><td>{_esc(format_stat(n, v))}</td></tr>"
                       for n, v in items[i:i + size])
        blocks.append(f"<table>{rows}</table>")
    return f"<div class='stats'>{''.join(blocks)}</div>"


def _grid(head, body, note=""):
    """A table of rows (``head`` and ``body`` are HTML), after an optional note."""
    note = f"<p class='note'>{note}</p>" if note else ""
    return f"{note}<table class='grid'><thead>{head}</thead><tbody>{''.join(body)}</tbody></table>"


def _round_trips_html(result) -> str:
    rt = result.round_trips
    if rt.empty:
        return "<p class='note'>No closed positions.</p>"
    shown = rt.tail(MAX_ROUND_TRIPS)
    head = ("<tr><th class='l'>Account</th><th class='l'>Code</th><th class='l'>Side</th>"
            "<th>Volume</th><th class='l'>Entry</th><th>Entry price</th><th class='l'>Exit</th>"
            "<th>Exit price</th><th>P&amp;L</th><th>Return</th><th>Fees</th></tr>")
    body = []
    for r in shown.rename(columns={"return": "ret"}).itertuples(index=False):
        ret = r.ret
        body.append(
            f"<tr><td class='l'>{_esc(r.account)}</td><td class='l'>{_esc(r.code)}</td>"
            f"<td class='l'>{_esc(r.side)}</td><td>{_fmt_num(r.volume, 0)}</td>"
            f"<td class='l'>{_fmt_time(r.entry_time)}</td><td>{_fmt_num(r.entry_price, 4)}</td>"
            f"<td class='l'>{_fmt_time(r.exit_time)}</td><td>{_fmt_num(r.exit_price, 4)}</td>"
            + _signed(r.pnl, _fmt_num(r.pnl))
            + _signed(ret, "" if pd.isna(ret) else f"{ret * 100:,.2f}%")
            + f"<td>{_fmt_num(r.fees)}</td></tr>")
    return _grid(head, body, f"Showing the last {len(shown)} of {len(rt)} round trips." if len(shown) < len(rt) else "")


def _trades_html(result) -> str:
    trades = result.trades
    if trades.empty:
        return "<p class='note'>No fills.</p>"
    shown = trades.sort_values("time", kind="stable").tail(LAST_TRADES)
    head = ("<tr><th class='l'>Time</th><th class='l'>Account</th><th class='l'>Code</th>"
            "<th class='l'>Side</th><th class='l'>Effect</th><th>Volume</th><th>Price</th>"
            "<th>Fee</th><th class='l'>Order</th></tr>")
    body = []
    for t in shown.itertuples(index=False):
        side = str(t.side)
        cls = "pos" if side.lower() == "buy" else "neg" if side.lower() == "sell" else ""
        body.append(
            f"<tr><td class='l'>{_fmt_time(t.time)}</td><td class='l'>{_esc(t.account)}</td>"
            f"<td class='l'>{_esc(t.code)}</td><td class='l {cls}'>{_esc(side)}</td>"
            f"<td class='l'>{_esc(t.effect)}</td><td>{_fmt_num(t.volume, 0)}</td>"
            f"<td>{_fmt_num(t.price, 4)}</td><td>{_fmt_num(t.fee)}</td>"
            f"<td class='l'>{_esc(t.order_id)}</td></tr>")
    return _grid(head, body, f"The last {len(shown)} of {len(trades)} fills." if len(shown) < len(trades) else "")


def _orders_html(result) -> str:
    """The orders placed, filled, cancelled and denied, with the reasons of
    the denials and cancellations counted by their kind; denials flagged."""
    orders = result.orders
    counts = order_counts(orders)
    rows = "".join(f"<tr><th>{_esc(name)}</th><td>{counts[name]:,d}</td></tr>" for name in ORDER_STATS)
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
            body = "".join(f"<tr><th>{_esc(r)}</th><td>{n:,d}</td></tr>" for r, n in reasons[:MAX_REASONS])
            more = reasons[MAX_REASONS:]
            if more:
                body += (f"<tr><th>{len(more):,d} other reasons</th>"
                         f"<td>{sum(n for _, n in more):,d}</td></tr>")
            text += f"<h3>Why orders were {status}</h3><table class='kv'>{body}</table>"
    return text


def _params_html(result) -> str:
    items = list(result.params.items()) + [(k, v) for k, v in result.meta.items() if k != "fees"]
    if not items:
        return ""
    rows = "".join(f"<tr><th>{_esc(k)}</th><td>{_esc(v)}</td></tr>" for k, v in items)
    return f"<h2>Run</h2><table class='kv'>{rows}</table>"


def _fees_html(result) -> str:
    """The fee schedules in force: "CODE, CODE: schedule" lines of ``meta["fees"]``."""
    fees = result.meta.get("fees")
    if not fees:
        return ""
    rows = "".join(f"<tr><th>{_esc(codes)}</th><td>{_esc(text)}</td></tr>"
                   for codes, _, text in (str(line).partition(": ") for line in fees))
    return f"<h2>Fees</h2><table class='kv'>{rows}</table>"


def render_report(result) -> str:
    """The report of ``result`` (a ``BacktestResult``) as an HTML string."""
    png = base64.b64encode(render_chart(result)).decode("ascii")
    title = result.title
    accounts = ", ".join(str(a) for a in result.accounts)
    kind = result.bar_kind
    sub = (f"{kind[:1].upper()}{kind[1:]} · "
           f"{len(result.equity_curve):,d} bars · initial cash "
           f"{result.initial_cash:,.2f}" + (f" · accounts: {accounts}" if accounts else ""))
    return f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{_esc(title)}</title>
<style>{_CSS}</style>
</head>
<body>
<main>
<h1>{_esc(title)}</h1>
<p class="sub">{_esc(sub)}</p>
{_denied_flag(result)}
{_stats_html(result)}
<h2>Equity and drawdown</h2>
<div class="chart"><img alt="Equity curve with fills, and drawdown" src="data:image/png;base64,{png}"></div>
<h2>Round trips</h2>
{_round_trips_html(result)}
<h2 id="orders">Orders</h2>
{_orders_html(result)}
<h2>Last fills</h2>
{_trades_html(result)}
{_fees_html(result)}
{_params_html(result)}
</main>
</body>
</html>
"""
