"""The report of a parameter sweep: heat maps of one statistic over pairs of
parameters, their robustness (each cell against its neighbours), the equity
curves of the five best runs on one chart, the table of the best runs (and,
after a walk-forward sweep, the test runs of each split and the stitched
out-of-sample curve beside its benchmark, the test windows marked), as
``heatmap.png`` and a self-contained ``report.html``.  The charts are drawn in
the browser by BokehJS, embedded in the page with its own script
(``sweep_charts.js``), from data the page carries as JSON, as the backtest's
report draws its own: the page opens offline.  Its tables wrap their cells,
and scroll sideways where they are wider still.

The heat maps show the runs over the whole period (or, after a walk-forward
sweep, the training runs averaged over the splits).  With more than two
parameters there is a view for every pair of them, each cell holding the mean
or the best over the other parameters (a drop-down picks the view).  A
statistic that has a sign (returns, Sharpe ratio...) is coloured on a
blue–orange scale centred on 0; the others on a sequential one.  Runs are
ranked as the sweep ranked them (its table's ``attrs``: the statistic or the
objective function's column, its direction, the fewest trades), unless the
functions are told otherwise; the best parameter set's cell is outlined in
every view.
"""

from __future__ import annotations

import html
import io
from functools import lru_cache
from pathlib import Path

import numpy as np
import pandas as pd
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.colors import LinearSegmentedColormap, Normalize, to_hex, to_rgb
from matplotlib.figure import Figure
from matplotlib.patches import Rectangle

from korvit.backtest.files import atomic_write
from korvit.backtest.listing import shortened
from korvit.backtest.stats import STAT_NAMES, format_stat
from korvit.backtest.sweep.curves import CURVES_FILE, RunCurves, thinned
from korvit.backtest.sweep.objective import SCORE_COLUMN, lower_is_better, ranked
from korvit.report.report import _CSS, MAX_CODES, _encode, _grid, _script_json, bokeh_script

__all__ = [
    "parameter_columns",
    "heat_map",
    "best_runs",
    "denied_runs",
    "render_sweep_report",
    "save_sweep_report",
    "ColourScale",
    "parameter_set_values",
    "best_parameter_set",
    "surface",
    "neighbour_average",
    "runs_with_neighbours",
    "walk_forward_data",
    "walk_forward_section",
    "best_runs_data",
    "sweep_charts",
]

_SHOWN = ("Total return", "Sharpe ratio", "Max drawdown", "Trades", "Win rate", "Orders denied")
_ANNOTATE_UP_TO = 12  # cells per side written into the heat map
BEST_CURVES = 5  # runs in the chart of the best runs' equity
CHART_POINTS = 2000  # points of a curve drawn
_WINDOW_SHADES = ("#0072b2", "#56b4e9")  # the walk-forward's test windows, in turn


def parameter_columns(frame):
    """The parameter columns of a sweep's table, in grid order."""
    columns = list(frame.columns)
    return columns[columns.index("phase") + 1 : columns.index("status")]


def _in_sample(frame):
    """The finished runs over the whole period, or the training runs."""
    ok = frame[frame["status"] == "ok"]
    full = ok[ok["phase"] == "full"]
    return full if len(full) else ok[ok["phase"] == "train"]


def denied_runs(frame):
    """``(runs, all_denied)``: the finished runs that had orders denied, and
    those of them whose every order was denied (a run that never traded)."""
    if "Orders denied" not in frame.columns:
        return 0, 0
    ok = frame[frame["status"] == "ok"]
    denied = pd.to_numeric(ok["Orders denied"], errors="coerce")
    placed = (
        pd.to_numeric(ok["Orders placed"], errors="coerce")
        if "Orders placed" in ok
        else denied * np.nan
    )
    return int((denied > 0).sum()), int(((denied > 0) & (denied == placed)).sum())


def _denied_text(frame):
    """``N runs had orders denied (in M every order)``, or ""."""
    runs, every = denied_runs(frame)
    if not runs:
        return ""
    text = f"{runs:,d} run{'s' if runs != 1 else ''} had orders denied"
    return text + (f" (in {every:,d} every order)" if every else "")


# ------------------------------------------------------------------ colour scales

# Blue (above 0) and orange (below 0) about a light grey: both arms darken evenly away
# from 0, and the two hues stay apart for the common colour-vision deficiencies.
DIVERGING = (
    "#7f3b08",
    "#b35806",
    "#e08214",
    "#fdb863",
    "#fee0b6",
    "#f7f7f7",
    "#d1e5f0",
    "#92c5de",
    "#4393c3",
    "#2166ac",
    "#053061",
)
NEUTRAL = DIVERGING[len(DIVERGING) // 2]
SEQUENTIAL = "viridis"
# The statistics that have a sign: their scale is centred on 0.
SIGNED_STATS = frozenset(
    {
        "Total return",
        "Annualised return",
        "Sharpe ratio",
        "Sortino ratio",
        "Alpha",
        "Information ratio",
        "Benchmark return",
        "Benchmark annualised return",
        SCORE_COLUMN,
    }
)
_DIVERGING_MAP = LinearSegmentedColormap.from_list("korvit_diverging", DIVERGING)
_NAN_COLOUR = "#ffffff"


def _luminance(colour):
    """The relative luminance of a colour (as the contrast ratio uses it)."""
    linear = [c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4 for c in to_rgb(colour)]
    return 0.2126 * linear[0] + 0.7152 * linear[1] + 0.0722 * linear[2]


def contrast_ratio(a, b):
    """The contrast ratio of two colours, 1 to 21."""
    high, low = sorted((_luminance(a), _luminance(b)), reverse=True)
    return (high + 0.05) / (low + 0.05)


def text_colour(background):
    """Black or white, whichever reads better on ``background``."""
    return (
        "#000000"
        if contrast_ratio(background, "#000000") >= contrast_ratio(background, "#ffffff")
        else "#ffffff"
    )


class ColourScale:
    """The colours of a statistic's values: centred on 0 (0 is ``NEUTRAL``,
    ``x`` and ``-x`` equally far from it, blue above and orange below) for a
    statistic with a sign, else sequential from the lowest to the highest."""

    def __init__(self, metric, values):
        values = np.asarray(values, dtype=float)
        finite = values[np.isfinite(values)]
        lo, hi = (float(finite.min()), float(finite.max())) if finite.size else (0.0, 0.0)
        self.metric = metric
        self.centred = metric in SIGNED_STATS or (lo < 0 < hi)
        if self.centred:
            half = max(abs(lo), abs(hi)) or 1.0
            self.lo, self.hi = -half, half
            self.cmap = _DIVERGING_MAP
        else:
            self.lo, self.hi = (lo, hi) if hi > lo else (lo - 0.5, lo + 0.5)
            from matplotlib import colormaps

            self.cmap = colormaps[SEQUENTIAL]

    def position(self, value):
        """Where ``value`` falls on the scale, 0 to 1 (NaN: none)."""
        value = float(value)
        if not np.isfinite(value):
            return float("nan")
        return float(np.clip((value - self.lo) / (self.hi - self.lo), 0.0, 1.0))

    def colour(self, value):
        """The ``#rrggbb`` colour of ``value`` (white where there is none)."""
        where = self.position(value)
        if np.isnan(where):
            return _NAN_COLOUR
        if self.centred and where == 0.5:
            return NEUTRAL
        return to_hex(self.cmap(where))

    def norm(self):
        """The matplotlib norm of the scale."""
        return Normalize(self.lo, self.hi)

    def legend_html(self):
        """A bar of the scale's colours with its ends (and 0) written under it."""
        stops = ", ".join(f"{to_hex(self.cmap(k / 20))} {k * 5}%" for k in range(21))
        ticks = (
            [self.lo, 0.0, self.hi] if self.centred else [self.lo, (self.lo + self.hi) / 2, self.hi]
        )
        labels = "".join(f"<span>{html.escape(_shown_value(self.metric, v))}</span>" for v in ticks)
        kind = "centred on 0: blue above, orange below" if self.centred else "lowest to highest"
        return (
            f"<div class='legend'><div class='legend-bar' style='background:linear-gradient(to right, "
            f"{stops})'></div><div class='legend-ticks'>{labels}</div>"
            f"<div class='note'>{html.escape(self.metric)}, {kind}</div></div>"
        )


# ------------------------------------------------------------------ surfaces


def _numeric(column):
    if pd.api.types.is_timedelta64_dtype(column):
        column = column / pd.Timedelta(days=1)
    return pd.to_numeric(column, errors="coerce")


def parameter_set_values(frame, metric, min_trades=None):
    """One row per parameter set of the in-sample runs: its parameters,
    ``value`` (``metric``, the mean over the walk-forward splits), ``trades``
    (likewise) and ``ranked``: whether the sweep may rank it (a value, and
    with ``min_trades`` at least that many trades in every run)."""
    runs = _in_sample(frame)
    params = parameter_columns(frame)
    if runs.empty or metric not in runs.columns:
        return pd.DataFrame(columns=[*params, "value", "trades", "ranked"])
    trades = (
        _numeric(runs["Trades"])
        if "Trades" in runs.columns
        else pd.Series(np.nan, index=runs.index)
    )
    values = _with_unset(runs[params], params).assign(
        value=_numeric(runs[metric]),
        trades=trades,
        _fewest=trades.fillna(-np.inf) if min_trades else 0,
    )
    per_set = (
        values.groupby(params, dropna=False, sort=False)
        .agg(value=("value", "mean"), trades=("trades", "mean"), _fewest=("_fewest", "min"))
        .reset_index()
    )
    per_set["ranked"] = np.isfinite(per_set["value"]) & (
        (per_set["_fewest"] >= min_trades) if min_trades else True
    )
    return per_set.drop(columns="_fewest")


def best_parameter_set(per_set, minimize):
    """The row of ``parameter_set_values`` the sweep ranks first (the
    lowest value when ``minimize``), or None."""
    allowed = per_set[per_set["ranked"].astype(bool)]
    if allowed.empty:
        return None
    return allowed.loc[allowed["value"].idxmin() if minimize else allowed["value"].idxmax()]


# A parameter a set leaves out (a grid given as a list of dicts): the strategy's default.
UNSET = "default"


def _with_unset(frame, params):
    """``frame``'s parameter columns with ``UNSET`` where a set has none."""
    out = frame.copy()
    for name in params:
        column = out[name]
        if column.isna().any():
            out[name] = column.astype(object).where(column.notna(), UNSET)
    return out


def _axis(values):
    """A parameter's values in order: numbers by value, then texts (by text
    where they do not compare)."""
    values = list(dict.fromkeys(v for v in values if not (np.ndim(v) == 0 and pd.isna(v))))
    try:
        return sorted(values, key=lambda v: (True, 0, v) if isinstance(v, str) else (False, v, ""))
    except TypeError:
        return sorted(values, key=str)


def surface(per_set, x, y=None, how="mean"):
    """The values of ``parameter_set_values`` by (``y``, ``x``): rows ``y``
    (one row, named "value", without it), columns ``x``, each cell the
    ``how`` ("mean", "max" or "min") of the sets there."""
    if per_set.empty:
        return pd.DataFrame()
    data = per_set
    if y is None:
        data = per_set.assign(_row="value")
        y = "_row"
    table = data.pivot_table(index=y, columns=x, values="value", aggfunc=how, dropna=False)
    table = table.reindex(index=_axis(table.index), columns=_axis(table.columns))
    if y == "_row":
        table.index.name = None
    return table


def neighbour_average(table):
    """Each cell's neighbours' mean: the cells around it (up to 8; those
    without a value left out), NaN where it has none."""
    data = np.asarray(table, dtype=float)
    padded = np.pad(data, 1, constant_values=np.nan)
    total = np.zeros_like(data)
    count = np.zeros_like(data)
    rows, cols = data.shape
    for dr in (-1, 0, 1):
        for dc in (-1, 0, 1):
            if dr == dc == 0:
                continue
            near = padded[1 + dr : 1 + dr + rows, 1 + dc : 1 + dc + cols]
            has = np.isfinite(near)
            total += np.where(has, near, 0.0)
            count += has
    with np.errstate(invalid="ignore", divide="ignore"):
        average = np.where(count > 0, total / np.maximum(count, 1), np.nan)
    return (
        pd.DataFrame(average, index=table.index, columns=table.columns)
        if isinstance(table, pd.DataFrame)
        else average
    )


def runs_with_neighbours(frame, runs, metric):
    """``runs`` (rows of the in-sample runs) with ``neighbours``: the mean of
    ``metric`` over the runs of the same split one step or none from it in
    every parameter (itself left out), and ``neighbour count``."""
    params = parameter_columns(frame)
    pool = _with_unset(_in_sample(frame), params)
    out = runs.copy()
    runs = _with_unset(runs, params)
    if runs.empty or not params:
        return out.assign(neighbours=np.nan, **{"neighbour count": 0})
    positions = {}
    for name in params:
        index = {value: k for k, value in enumerate(_axis(pool[name]))}
        positions[name] = (
            index,
            pool[name].map(lambda v, index=index: index.get(v, np.nan)).to_numpy(float),
        )
    values = _numeric(pool[metric]).to_numpy(float)
    split = pool["split"].astype("Float64").fillna(-1).to_numpy(dtype=float)
    averages, counts = [], []
    for _, row in runs.iterrows():
        near = split == (-1 if pd.isna(row["split"]) else float(row["split"]))
        same = near.copy()
        for name in params:
            index, pos = positions[name]
            here = index.get(row[name], np.nan)
            step = np.abs(pos - here)
            near &= step <= 1
            same &= step == 0
        near &= ~same & np.isfinite(values)
        counts.append(int(near.sum()))
        averages.append(float(values[near].mean()) if near.any() else np.nan)
    return out.assign(neighbours=averages, **{"neighbour count": counts})


def _ranking(frame, metric=None, minimize=None, min_trades=None):
    """``(metric, minimize, min_trades)``: those given, else the sweep's own
    (its table's ``attrs``), else Sharpe ratio in its better direction."""
    attrs = frame.attrs
    metric = metric or attrs.get("metric") or "Sharpe ratio"
    if minimize is None:
        minimize = (
            attrs["minimize"]
            if metric == attrs.get("metric") and "minimize" in attrs
            else lower_is_better(metric)
        )
    if min_trades is None:
        min_trades = attrs.get("min_trades")
    return metric, bool(minimize), min_trades


def _surface(frame, metric, x, y, minimize=False):
    """``metric`` by (``y``, ``x``): mean over splits, best over other parameters."""
    return surface(parameter_set_values(frame, metric), x, y, "min" if minimize else "max")


def heat_map(frame, metric, x, y=None, *, minimize=None, min_trades=None, dpi=110) -> bytes:
    """The PNG of ``metric`` over parameters ``x`` (columns) and ``y`` (rows),
    each cell the best over the other parameters, the best set's cell outlined."""
    metric, minimize, min_trades = _ranking(frame, metric, minimize, min_trades)
    per_set = parameter_set_values(frame, metric, min_trades)
    table = surface(per_set, x, y, "min" if minimize else "max")
    fig = Figure(
        figsize=(max(4.5, 0.7 * table.shape[1] + 2.5), max(2.2, 0.5 * table.shape[0] + 1.6)),
        dpi=dpi,
        layout="constrained",
    )
    FigureCanvasAgg(fig)
    ax = fig.add_subplot()
    if table.empty:
        ax.text(0.5, 0.5, "no finished run", ha="center", va="center", transform=ax.transAxes)
        ax.set_axis_off()
    else:
        data = table.to_numpy(dtype=float)
        scale = ColourScale(metric, data)
        image = ax.imshow(
            np.ma.masked_invalid(data),
            cmap=scale.cmap,
            norm=scale.norm(),
            aspect="auto",
            origin="lower",
        )
        fig.colorbar(image, ax=ax, label=metric)
        ax.set_xticks(range(table.shape[1]), [str(v) for v in table.columns])
        ax.set_yticks(range(table.shape[0]), [str(v) for v in table.index])
        ax.set_xlabel(x)
        ax.set_ylabel("" if y is None else y)
        if max(table.shape) <= _ANNOTATE_UP_TO:
            for (row, col), value in np.ndenumerate(data):
                ax.text(
                    col,
                    row,
                    "–" if np.isnan(value) else _shown_value(metric, value),
                    ha="center",
                    va="center",
                    fontsize=8,
                    color="#000000" if np.isnan(value) else text_colour(scale.colour(value)),
                )
        best = best_parameter_set(per_set, minimize)
        where = None if best is None else _cell_of(table, best, x, y)
        if where is not None:
            for inset, colour in (
                (0.0, "#000000"),
                (0.06, "#ffffff"),
            ):  # seen on dark and light cells
                ax.add_patch(
                    Rectangle(
                        (where[1] - 0.5 + inset, where[0] - 0.5 + inset),
                        1 - 2 * inset,
                        1 - 2 * inset,
                        fill=False,
                        edgecolor=colour,
                        linewidth=2.2,
                    )
                )
        ax.set_title(f"{metric} by {x}" + ("" if y is None else f" and {y}"), fontsize=11)
    buf = io.BytesIO()
    fig.savefig(buf, format="png")
    return buf.getvalue()


def _cell_of(table, best, x, y):
    """(row, column) of ``table`` holding the parameter set ``best``, or None."""
    try:
        col = list(table.columns).index(best[x])
        row = 0 if y is None else list(table.index).index(best[y])
    except (ValueError, KeyError):
        return None
    return row, col


def _shown_value(metric, value):
    """A heat map cell: durations are in days there."""
    if metric in STAT_NAMES and metric not in ("Longest drawdown", "Duration"):
        return format_stat(metric, value)
    return f"{value:.4g}"


def _cell(name, value):
    if name == "error":  # none: NaN in a table read back
        return "" if isinstance(value, float) and np.isnan(value) else html.escape(str(value))
    if value is None or value is pd.NA or (isinstance(value, float) and np.isnan(value)):
        return "–"
    if name in STAT_NAMES:
        return html.escape(format_stat(name, value))
    if name == "seconds":
        return f"{value:.2f}"
    if name == SCORE_COLUMN:
        return f"{value:.4g}"
    return html.escape(str(value))


def _table(rows, columns, note=""):
    head = "<tr>" + "".join(f"<th class='l'>{_head(c)}</th>" for c in columns) + "</tr>"
    body = [
        "<tr>" + "".join(f"<td class='l'>{_cell(c, r[c])}</td>" for c in columns) + "</tr>"
        for _, r in rows.iterrows()
    ]
    return _wide(_grid(head, body, note, "grid wrap"))


def _head(name):
    """A column's head: may wrap after an underscore too (long parameter names)."""
    return html.escape(str(name)).replace("_", "_<wbr>")


def _wide(table):
    """A table whose cells wrap (``grid wrap``), in a box that scrolls sideways
    where it is wider still: no column is cut off at any width."""
    return f"<div class='wide'>{table}</div>"


# ------------------------------------------------------------------ the report's views

_LABELS_UP_TO = 24  # columns of a heat map whose cells have their value written in
_NEIGHBOUR_ROWS = 10  # runs of the robustness table

_SWEEP_CSS = """
.heat { border-collapse: collapse; font-size: 12px; margin: 4px 0; }
.heat th { font-weight: normal; color: var(--muted); padding: 2px 6px; border: 0; }
.heat th.ax { font-weight: 600; color: var(--fg); }
.heat td { min-width: 46px; height: 26px; padding: 2px 4px; text-align: center; border: 1px solid #fff; }
.heat td.best { outline: 3px solid #000; outline-offset: -3px; box-shadow: inset 0 0 0 5px #fff;
                padding: 4px 8px; font-weight: 700; }
.heat td.none { background: #fff; color: var(--muted); }
.maps { display: flex; flex-wrap: wrap; gap: 8px 32px; align-items: flex-start; }
.maps > div { overflow-x: auto; max-width: 100%; }
.legend { max-width: 360px; margin: 6px 0 10px; }
.legend-bar { height: 12px; border: 1px solid var(--line); }
.legend-ticks { display: flex; justify-content: space-between; font-size: 12px; }
.best-note { font-weight: 600; margin: 6px 0; }
.wide { overflow-x: auto; max-width: 100%; }
.grid.wrap th, .grid.wrap td { white-space: normal; }
.nb { white-space: nowrap; }
"""

_VIEW_JS = """
(function () {
  var pick = document.getElementById("view-pick");
  function show() {
    document.querySelectorAll(".view").forEach(function (view) {
      view.hidden = view.getAttribute("data-view") !== pick.value;
    });
  }
  if (pick) { pick.addEventListener("change", show); show(); }
})();
"""


def _esc(value):
    return html.escape("" if value is None else str(value))


def _parameters_text(row, params):
    return ", ".join(f"{name} = {row[name]}" for name in params)


def heat_table_html(table, scale, metric, x, y, best_cell=None, caption=""):
    """A heat map as an HTML table: ``y`` down (highest first), ``x`` across,
    each cell coloured by ``scale`` with its value written in a colour that
    reads on it (up to ``_LABELS_UP_TO`` columns; always in its tooltip)."""
    if table.empty:
        return "<p class='note'>no finished run</p>"
    labels = table.shape[1] <= _LABELS_UP_TO
    rows = list(range(table.shape[0]))[::-1]
    head = (
        f"<tr><th class='ax'>{_esc(y or '')}{' ↓ ' if y else ''}{_esc(x)} →</th>"
        + "".join(f"<th>{_esc(c)}</th>" for c in table.columns)
        + "</tr>"
    )
    body = []
    data = table.to_numpy(dtype=float)
    for r in rows:
        cells = [f"<th>{_esc(table.index[r]) if y else ''}</th>"]
        for c in range(table.shape[1]):
            value = data[r, c]
            where = f"{x} = {table.columns[c]}" + (f", {y} = {table.index[r]}" if y else "")
            best = " best" if best_cell == (r, c) else ""
            if np.isnan(value):
                cells.append(f"<td class='none{best}' title='{_esc(where)}: no value'>–</td>")
                continue
            text = _shown_value(metric, value)
            colour = scale.colour(value)
            cells.append(
                f"<td class='v{best}' style='background:{colour};color:{text_colour(colour)}' "
                f"data-v='{float(value)!r}' title='{_esc(where)}: {_esc(text)}'>"
                f"{_esc(text) if labels else ''}</td>"
            )
        body.append("<tr>" + "".join(cells) + "</tr>")
    cap = f"<div class='note'>{_esc(caption)}</div>" if caption else ""
    return f"<div>{cap}<table class='heat'><thead>{head}</thead><tbody>{''.join(body)}</tbody></table></div>"


def sweep_views(params, x=None, y=None, minimize=False):
    """Every view of the heat maps: ``(key, x, y, how, label)``, the pair
    (``x``, ``y``) first; with more than two parameters each pair twice, the
    mean and the best (max, or min when lower is better) over the others."""
    if not params:
        return []
    x = x or params[0]
    if len(params) == 1:
        return [("v0", x, None, "mean", x)]
    y = y or next(p for p in params if p != x)
    pairs = [(x, y)] + [
        (a, b) for i, a in enumerate(params) for b in params[i + 1 :] if {a, b} != {x, y}
    ]
    if len(params) == 2:
        return [("v0", x, y, "mean", f"{x} × {y}")]
    best = "min" if minimize else "max"
    views = []
    for a, b in pairs:
        rest = ", ".join(p for p in params if p not in (a, b))
        for how in ("mean", best):
            views.append((f"v{len(views)}", a, b, how, f"{a} × {b}, {how} over {rest}"))
    return views


def heat_views_html(frame, metric, x=None, y=None, *, minimize=False, min_trades=None):
    """The heat-map section: the best set, a drop-down of the views (more than
    two parameters), each view's map and its neighbour-average map, the
    legend."""
    params = parameter_columns(frame)
    per_set = parameter_set_values(frame, metric, min_trades)
    if not params or per_set.empty:
        return "<h2>Heat map</h2><p class='note'>no finished run</p>"
    scale = ColourScale(metric, per_set["value"])
    best = best_parameter_set(per_set, minimize)
    phases = (
        " (the mean over the walk-forward splits' training runs)"
        if (frame["phase"] == "train").any()
        else ""
    )
    if best is None:
        note = (
            "<p class='best-note'>No parameter set may be ranked"
            + (f" (none has {min_trades:,d} trades in every run)" if min_trades else "")
            + ".</p>"
        )
    else:
        note = (
            f"<p class='best-note'>Best ({'lowest' if minimize else 'highest'} {_esc(metric)}{_esc(phases)}): "
            f"{_esc(_parameters_text(best, params))}: {_esc(_shown_value(metric, best['value']))} "
            f"<span class='note'>(outlined in every map)</span></p>"
        )
    views = sweep_views(params, x, y, minimize)
    parts = [f"<h2>Heat maps of {_esc(metric)}</h2>", note]
    if len(views) > 1:
        options = "".join(
            f"<option value='{key}'>{_esc(label)}</option>" for key, *_, label in views
        )
        parts.append(f"<p class='pick'>View <select id='view-pick'>{options}</select></p>")
    for key, a, b, how, label in views:
        table = surface(per_set, a, b, how)
        cell = None if best is None else _cell_of(table, best, a, b)
        around = neighbour_average(table)
        what = (
            "each cell one parameter set"
            if len(params) <= 2
            else f"each cell the {how} over {', '.join(p for p in params if p not in (a, b))}"
        )
        parts.append(
            f"<div class='view' data-view='{key}'{' hidden' if key != 'v0' else ''}>"
            f"<h3>{_esc(label)}</h3><div class='maps'>"
            + heat_table_html(table, scale, metric, a, b, cell, f"{metric}: {what}")
            + heat_table_html(
                around,
                scale,
                metric,
                a,
                b,
                cell,
                "robustness: the mean of each cell's neighbours (up to 8), itself left out",
            )
            + "</div></div>"
        )
    parts.append(scale.legend_html())
    return "".join(parts)


def neighbours_table_html(frame, metric, *, minimize=False, min_trades=None, top=_NEIGHBOUR_ROWS):
    """The best runs beside the mean of their neighbours (the runs one step or
    none from them in every parameter, of the same split): a best run far
    above its neighbours is a lucky spike rather than a plateau."""
    params = parameter_columns(frame)
    best = best_runs(frame, metric, top, minimize=minimize, min_trades=min_trades)
    if best.empty or not params or metric not in frame.columns:
        return ""
    rows = runs_with_neighbours(frame, best, metric)
    split = (frame["phase"] == "train").any()
    columns = (
        (["split"] if split else [])
        + params
        + [metric, "neighbours' mean", "difference", "neighbours"]
    )
    head = "<tr>" + "".join(f"<th class='l'>{_head(c)}</th>" for c in columns) + "</tr>"
    body = []
    for _, row in rows.iterrows():
        own = float(_numeric(pd.Series([row[metric]])).iloc[0])
        cells = ([_cell("split", row["split"])] if split else []) + [
            _cell(p, row[p]) for p in params
        ]
        cells.append(_cell(metric, row[metric]))
        around = row["neighbours"]
        cells.append("–" if np.isnan(around) else _esc(_shown_value(metric, around)))
        cells.append("–" if np.isnan(around) else _esc(_shown_value(metric, own - around)))
        cells.append(f"{int(row['neighbour count']):,d}")
        body.append("<tr>" + "".join(f"<td class='l'>{c}</td>" for c in cells) + "</tr>")
    return "<h2>Robustness of the best runs</h2>" + _wide(
        _grid(
            head,
            body,
            "each run beside the mean of its neighbours: the runs of its split one grid "
            "step or none from it in every parameter",
            "grid wrap",
        )
    )


def run_facts_html(frame):
    """What the sweep ran on: strategy, data (source, codes), period (first
    and last bar), fixed parameters, settings, constraint and search (the
    table's ``attrs["run"]``; the runs' own first and last bars without it)."""
    facts = frame.attrs.get("run") or {}
    rows = []

    def row(name, value):
        rows.append(f"<tr><th>{_esc(name)}</th><td>{_esc(value)}</td></tr>")

    if facts.get("strategy"):
        row("Strategy", facts["strategy"])
    data = facts.get("data") or {}
    if data:
        row(
            "Data",
            f"{data.get('source')}: {data.get('bars', 0):,d} {data.get('kind') or 'bars'}"
            + (f"; ticks {data['ticks']}" if data.get("ticks") else ""),
        )
        codes = list(data.get("codes") or [])
        count = int(data.get("code_count") or len(codes))
        if codes:
            row("Codes", f"{count:,d}: {shortened(codes, MAX_CODES, count)}")
    first, last = data.get("first"), data.get("last")
    if first is None and {"Start", "End"} <= set(frame.columns):
        ok = frame[frame["status"] == "ok"]
        if len(ok):
            first, last = _fact_time(ok["Start"].min()), _fact_time(ok["End"].max())
    if first is not None:
        row("Period", f"{first} – {last} (first and last bar)")
    if "params" in facts:
        fixed = facts["params"] or {}
        row(
            "Fixed parameters",
            ", ".join(f"{k} = {v}" for k, v in fixed.items())
            if fixed
            else "none (the strategy's defaults beside the swept ones)",
        )
    options = facts.get("options") or {}
    if options:
        row("Settings", ", ".join(f"{k} = {v}" for k, v in options.items()))
    if facts.get("where"):
        row("Constraint", facts["where"])
    search = facts.get("search")
    if search:
        row(
            "Search",
            f"{search.get('sample'):,d} sets, {search.get('sampler')} (seed {search.get('seed')})",
        )
    if facts.get("splits"):
        row("Walk-forward", f"{facts['splits']:,d} splits")
    if not rows:
        return ""
    return f"<table class='kv'>{''.join(rows)}</table>"


def _fact_time(value):
    try:
        stamp = pd.Timestamp(value)
    except (TypeError, ValueError):
        return str(value)
    return (
        stamp.strftime("%Y-%m-%d")
        if stamp == stamp.normalize()
        else stamp.strftime("%Y-%m-%d %H:%M")
    )


def best_runs(frame, metric=None, top=20, *, minimize=None, min_trades=None):
    """The ``top`` in-sample runs (over the whole period, or the training runs
    of every split), best first: those the sweep may rank (finished, with a
    value of ``metric`` and enough trades), by ``metric`` in its direction
    (see ``_ranking``)."""
    metric, minimize, min_trades = _ranking(frame, metric, minimize, min_trades)
    return ranked(_in_sample(frame), metric, minimize=minimize, min_trades=min_trades).head(top)


def render_sweep_report(
    frame,
    metric=None,
    x=None,
    y=None,
    *,
    top=20,
    title=None,
    png=None,
    minimize=None,
    min_trades=None,
) -> str:
    """The report as one self-contained HTML document (its heat maps are HTML
    tables; ``png`` is no longer shown in it and is kept for callers).  Its
    charts, the best runs' equity curves and a walk-forward's out-of-sample
    curve, are drawn in the browser by BokehJS, embedded in the page as the
    backtest's report embeds it, from data the page carries
    (``sweep_charts``): the file opens offline.  ``title``: by default
    "Walk-forward" after a walk-forward, else "Parameter sweep"."""
    metric, minimize, min_trades = _ranking(frame, metric, minimize, min_trades)
    walked = frame.attrs.get("walk_forward")
    if title is None:
        title = "Walk-forward" if walked is not None or _walked(frame) else "Parameter sweep"
    charts = sweep_charts(frame, metric, minimize=minimize, min_trades=min_trades)
    params = parameter_columns(frame)
    x = x or (params[0] if params else None)
    if y is None and len(params) > 1:
        y = next(p for p in params if p != x)
    shown = (
        params + [metric] + [s for s in _SHOWN if s != metric and s in frame.columns] + ["seconds"]
    )
    failed = frame[frame["status"] != "ok"]
    tests = frame[(frame["phase"] == "test")]
    n_ok = int((frame["status"] == "ok").sum())
    sub = f"{len(frame):,d} runs · {n_ok:,d} finished · {len(failed):,d} failed"
    if frame.attrs.get("interrupted"):
        sub += " · interrupted"
    if _denied_text(frame):
        sub += f" · {_denied_text(frame)}"
    sub += f" · ranked by {metric}, {'lower' if minimize else 'higher'} is better"
    if min_trades:
        sub += f", at least {min_trades:,d} trades"
    sections = [
        f"<h1>{html.escape(title)}</h1><p class='sub'>{html.escape(sub)}</p>",
        run_facts_html(frame),
    ]
    if x:
        sections.append(
            heat_views_html(frame, metric, x, y, minimize=minimize, min_trades=min_trades)
        )
        sections.append(
            neighbours_table_html(frame, metric, minimize=minimize, min_trades=min_trades)
        )
    best = best_runs(frame, metric, top, minimize=minimize, min_trades=min_trades)
    sections.append(_best_curves_html(charts, len(tests) > 0, len(best) > 0))
    if len(tests):  # training runs of different splits: each with its split
        sections.append(
            f"<h2>Best training runs by {html.escape(metric)}</h2>"
            + _table(
                best,
                ["split"] + shown,
                "single training runs, each on the training window of its split",
            )
        )
    else:
        sections.append(f"<h2>Best runs by {html.escape(metric)}</h2>" + _table(best, shown))
    if len(tests):
        sections.append(
            "<h2>Walk-forward test runs</h2>"
            + _table(
                tests,
                ["split"] + params + ["status"] + shown[len(params) :] + ["error"],
                "each split's best training parameters, run on its test window",
            )
        )
    sections.append(walk_forward_section(walked, "chart-walk-forward" in charts))
    if len(failed):
        sections.append(
            "<h2>Failed runs</h2>"
            + _table(failed.head(200), ["run_id", "phase"] + params + ["error"])
        )
    return f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{html.escape(title)}</title>
<style>{_CSS}{_SWEEP_CSS}</style>
<script>{bokeh_script() if charts else ""}</script>
</head>
<body>
<main>
{"".join(sections)}
</main>
<script type="application/json" id="korvit-sweep-charts">{_script_json(_encode(charts))}</script>
<script>{_VIEW_JS}{_charts_script()}</script>
</body>
</html>
"""


def _walked(frame):
    """Whether the table is a walk-forward's (it has test runs)."""
    return "phase" in frame.columns and bool((frame["phase"] == "test").any())


def _best_curves_html(charts, walked, ranked_any):
    """The place of the best runs' equity chart, or why there is none (when
    there are runs ranked)."""
    data = charts.get("chart-best-runs")
    what = "training runs" if walked else "runs"
    if data is None:
        return (
            f"<h2>Equity of the best {what}</h2><p class='note'>No equity curve is kept of these "
            "runs (a sweep saved before the runs' curves were kept).</p>"
            if ranked_any
            else ""
        )
    count = len(data["runs"])
    note = (
        "each on the training window of its split; " if walked else ""
    ) + "click a name to hide its line, drag to pan, zoom with the toolbar"
    return (
        f"<h2>Equity of the {count:,d} best {what}</h2><p class='note'>{_esc(note)}</p>"
        "<div class='chart' id='chart-best-runs'></div>"
    )


@lru_cache(maxsize=1)
def _charts_script():
    return (Path(__file__).with_name("sweep_charts.js")).read_text(encoding="utf-8")


def save_sweep_report(
    frame,
    directory,
    metric=None,
    x=None,
    y=None,
    *,
    top=20,
    title=None,
    minimize=None,
    min_trades=None,
) -> Path:
    """Write ``heatmap.png`` and ``report.html`` to ``directory``, each
    atomically; returns the report's path.  A table read back from
    ``sweep.csv`` finds its walk-forward results and its runs' curves in
    ``directory``."""
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    params = parameter_columns(frame)
    for name in (x, y):
        if name is not None and name not in params:
            raise ValueError(
                f"{name!r} is not a parameter of the sweep; its parameters: {', '.join(params)}"
            )
    x = x or (params[0] if params else None)
    if y is None and len(params) > 1:
        y = next(p for p in params if p != x)
    metric, minimize, min_trades = _ranking(frame, metric, minimize, min_trades)
    if "walk_forward" not in frame.attrs and (frame["phase"] == "test").any():  # a table read back
        from korvit.backtest.sweep.outofsample import WalkForwardResult

        frame = frame.copy(deep=False)
        frame.attrs["walk_forward"] = WalkForwardResult.read(directory)
    if "curves" not in frame.attrs and (directory / CURVES_FILE).is_file():
        frame = frame.copy(deep=False)
        frame.attrs["curves"] = RunCurves(directory)
    png = heat_map(frame, metric, x, y, minimize=minimize, min_trades=min_trades) if x else b""
    report = render_sweep_report(
        frame, metric, x, y, top=top, title=title, png=png, minimize=minimize, min_trades=min_trades
    )
    if png:
        atomic_write(directory / "heatmap.png", lambda fh: fh.write(png), binary=True)
    else:  # a heat map left by an earlier sweep is not this one's
        (directory / "heatmap.png").unlink(missing_ok=True)
    path = directory / "report.html"
    atomic_write(path, lambda fh: fh.write(report))
    return path


# ------------------------------------------------------------------ walk-forward

_WF_FIGURES = (
    "Total return",
    "Annualised return",
    "Sharpe ratio",
    "Max drawdown",
    "Longest drawdown",
    "Trades",
)


def _ms(times):
    """Times as float milliseconds since 1970 (as Bokeh's datetime axis reads them)."""
    return (
        pd.DatetimeIndex(times).to_numpy().astype("datetime64[ms]").astype(np.int64).astype(float)
    )


def _money(value):
    value = float(value)
    return value if np.isfinite(value) and abs(value) < 1e300 else None


def walk_forward_data(walked) -> dict | None:
    """The walk-forward chart's data (``walked`` a ``WalkForwardResult``): the
    stitched out-of-sample equity (at most ``CHART_POINTS`` points, each
    stretch's lowest and highest kept), its benchmark at the same bars where
    there is one and each point's split; the test windows (their ends in
    milliseconds, split, dates, parameters and out-of-sample return); the
    initial cash.  None without a finished test run."""
    curve = walked.equity
    if not len(curve):
        return None
    times, values = thinned(curve, CHART_POINTS)
    at = pd.DatetimeIndex(times.astype("datetime64[ms]"))
    splits = walked.splits
    starts = pd.DatetimeIndex(splits["test_start"])
    columns = {
        "x": times.astype(float),
        "equity": values,
        "split": splits["split"]
        .to_numpy()[np.clip(starts.searchsorted(at, side="right") - 1, 0, len(splits) - 1)]
        .astype(np.int32),
    }
    if len(walked.benchmark):
        columns["benchmark"] = walked.benchmark.reindex(at).to_numpy(dtype=float)
    params = list(
        splits.columns[splits.columns.get_loc("test_warmup") + 1 : splits.columns.get_loc("status")]
    )
    left = _ms(starts)
    right = _ms(pd.DatetimeIndex(splits["test_end"]) + pd.Timedelta(days=1))
    rows = splits.to_dict("records")
    windows = {
        "left": left,
        "right": right,
        "middle": (left + right) / 2,
        "label": [str(row["split"]) for row in rows],
        "colour": [_WINDOW_SHADES[k % 2] for k in range(len(rows))],
        "dates": [f"{row['test_start']:%Y-%m-%d} – {row['test_end']:%Y-%m-%d}" for row in rows],
        "params": [
            ", ".join(f"{p} = {'–' if pd.isna(row[p]) else row[p]}" for p in params) or "–"
            for row in rows
        ],
        "oos": [
            f"{format_stat('Annualised return', row['out_of_sample_return'])} a year"
            f" ({row['status']})"
            for row in rows
        ],
    }
    return {
        "columns": columns,
        "windows": windows,
        "initial_cash": _money(walked.stats.get("Initial equity", np.nan)),
    }


def _run_curves(frame):
    """The thinned curves a table carries (``attrs["curves"]``, a
    ``RunCurves``), or its ``equity`` column's (``keep="equity"``); None."""
    curves = frame.attrs.get("curves")
    if curves is not None:
        return curves.get
    if "equity" in frame.columns:
        by_id = dict(zip(frame["run_id"], frame["equity"]))
        return lambda ids: {
            key: by_id[key]
            for key in ids
            if isinstance(by_id.get(key), pd.Series) and len(by_id[key])
        }
    return None


def best_runs_data(frame, metric=None, top=BEST_CURVES, *, minimize=None, min_trades=None):
    """The chart of the best runs' equity curves: a line for each of the
    ``top`` best in-sample runs (as ``best_runs`` ranks them) whose curve is
    kept (``attrs["curves"]``), at most ``CHART_POINTS`` points each,
    labelled with its rank, the parameters that differ among these runs (and
    the split) and ``metric``.  None when none has a curve."""
    metric, minimize, min_trades = _ranking(frame, metric, minimize, min_trades)
    best = best_runs(frame, metric, top, minimize=minimize, min_trades=min_trades)
    read = _run_curves(frame)
    if read is None or best.empty:
        return None
    curves = read(list(best["run_id"]))
    params = parameter_columns(frame)
    differ = [p for p in params if best[p].astype(str).nunique() > 1] or params
    runs, cash = [], None
    for rank, (_, row) in enumerate(best.iterrows(), 1):
        curve = curves.get(row["run_id"])
        if curve is None or not len(curve):
            continue
        times, values = thinned(curve, CHART_POINTS)
        split = "" if pd.isna(row["split"]) else f" (split {row['split']})"
        value = _shown_value(metric, _numeric(pd.Series([row[metric]])).iloc[0])
        runs.append(
            {
                "rank": rank,
                "label": f"{rank}. {_parameters_text(row, differ)}{split}: {metric} {value}",
                "x": times.astype(float),
                "equity": values,
            }
        )
        if cash is None and "Initial equity" in row.index:
            cash = _money(row["Initial equity"])
    if not runs:
        return None
    return {"runs": runs, "initial_cash": cash}


def sweep_charts(frame, metric=None, *, minimize=None, min_trades=None) -> dict:
    """The data of the report's charts by the id of their place:
    ``chart-best-runs`` (``best_runs_data``) and ``chart-walk-forward``
    (``walk_forward_data``); a chart without data is left out."""
    walked = frame.attrs.get("walk_forward")
    made = {
        "chart-best-runs": best_runs_data(frame, metric, minimize=minimize, min_trades=min_trades),
        "chart-walk-forward": None if walked is None else walk_forward_data(walked),
    }
    return {place: data for place, data in made.items() if data is not None}


def walk_forward_section(walked, charted=True) -> str:
    """The report's walk-forward section (HTML): the place of the stitched
    out-of-sample curve's chart (``charted``: the page draws it, see
    ``walk_forward_data``) and its figures, and each split's windows and
    in-sample against out-of-sample figures; "" without ``walked``."""
    if walked is None:
        return ""
    stats, splits, metric = walked.stats, walked.splits, walked.metric
    figures = " · ".join(f"{name} {format_stat(name, stats[name])}" for name in _WF_FIGURES)
    efficiency = walked.efficiency
    figures += " · efficiency " + ("–" if pd.isna(efficiency) else f"{efficiency:.2f}")
    bench = walked.benchmark
    if len(bench) and len(walked.equity):
        start = float(stats["Initial equity"])
        figures += " · benchmark total return " + format_stat(
            "Total return", float(bench.iloc[-1]) / start - 1 if start else np.nan
        )
    params = list(
        splits.columns[splits.columns.get_loc("test_warmup") + 1 : splits.columns.get_loc("status")]
    )
    shown = lambda name, value: (
        "–"
        if value is None or pd.isna(value)
        else (html.escape(format_stat(name, value)) if name in STAT_NAMES else f"{value:.2f}")
    )
    # a window wraps between its dates only
    span = lambda a, b: (
        f"<span class='nb'>{a:%Y-%m-%d} –</span> <span class='nb'>{b:%Y-%m-%d}</span>"
    )
    label = html.escape(metric)
    head = (
        "<tr>"
        + "".join(
            f"<th class='l'>{_head(c)}</th>"
            for c in ["split", "training window", "test window", "warm-up bars", *params]
        )
        + f"<th>IS {label}</th><th>OOS {label}</th><th>IS ann. return</th>"
        "<th>OOS ann. return</th><th>efficiency</th><th>trades</th><th class='l'>status</th></tr>"
    )
    body = []
    for row in splits.to_dict("records"):
        cells = [
            str(row["split"]),
            span(row["train_start"], row["train_end"]),
            span(row["test_start"], row["test_end"]),
            f"{row['train_warmup']:,d} / {row['test_warmup']:,d}",
            *(
                html.escape("–" if row[p] is None or pd.isna(row[p]) else str(row[p]))
                for p in params
            ),
        ]
        figures_ = [
            shown(metric, row["in_sample"]),
            shown(metric, row["out_of_sample"]),
            shown("Annualised return", row["in_sample_return"]),
            shown("Annualised return", row["out_of_sample_return"]),
            shown(None, row["efficiency"]),
            "–" if pd.isna(row["trades"]) else f"{int(row['trades']):,d}",
        ]
        body.append(
            "<tr>"
            + "".join(f"<td class='l'>{c}</td>" for c in cells)
            + "".join(f"<td>{c}</td>" for c in figures_)
            + f"<td class='l'>{html.escape(str(row['status']))}</td></tr>"
        )
    note = (
        "IS: the training run chosen on the split's training window; OOS: its parameters on the test "
        "window. Warm-up bars: the bars before the training / test window its runs saw as history "
        "(trading only inside the window). Efficiency: OOS annualised return over IS annualised "
        "return (– where the IS one is not positive)."
    )
    chart = (
        "<div class='chart' id='chart-walk-forward'></div>"
        if charted
        else "<p class='note'>No test run finished: there is no curve.</p>"
    )
    return (
        f"<h2>Walk-forward: out of sample</h2><p class='sub'>{html.escape(figures)}</p>"
        "<p class='note'>The test windows' equity curves joined in split order, each continuing from "
        "the equity the one before ended at (shaded and numbered below the chart: the test windows, "
        "by split), beside the test runs' benchmark joined alike; the efficiency above is the "
        "stitched curve's annualised return over the mean IS annualised return. Drag to pan; zoom "
        "with the toolbar.</p>"
        f"{chart}<h3>In sample against out of sample, by split</h3>"
        f"{_wide(_grid(head, body, note, 'grid wrap'))}"
    )
