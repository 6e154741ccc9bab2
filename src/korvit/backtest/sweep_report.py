"""The report of a parameter sweep: a heat map of one statistic over two
parameters and the table of the best runs (and, after a walk-forward sweep,
the test runs of each split), as ``heatmap.png`` and a self-contained
``report.html``.

The heat map shows the runs over the whole period (or, after a walk-forward
sweep, the training runs averaged over the splits).  Where the grid has more
than two parameters, each cell shows the best value over the others.  Runs
are ranked as the sweep ranked them (its table's ``attrs``: the statistic or
the objective function's column, its direction, the fewest trades), unless
the functions are told otherwise.
"""

from __future__ import annotations

import base64
import html
import io
from pathlib import Path

import numpy as np
import pandas as pd
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure

from korvit.backtest.files import atomic_write
from korvit.backtest.report import _CSS, _grid
from korvit.backtest.stats import STAT_NAMES, format_stat
from korvit.backtest.sweep.objective import SCORE_COLUMN, lower_is_better, ranked

__all__ = ["parameter_columns", "heat_map", "best_runs", "denied_runs", "render_sweep_report",
           "save_sweep_report", "walk_forward_chart", "walk_forward_section"]

_SHOWN = ("Total return", "Sharpe ratio", "Max drawdown", "Trades", "Win rate", "Orders denied")
_ANNOTATE_UP_TO = 12        # cells per side written into the heat map


def parameter_columns(frame):
    """The parameter columns of a sweep's table, in grid order."""
    columns = list(frame.columns)
    return columns[columns.index("phase") + 1:columns.index("status")]


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
    placed = pd.to_numeric(ok["Orders placed"], errors="coerce") if "Orders placed" in ok else denied * np.nan
    return int((denied > 0).sum()), int(((denied > 0) & (denied == placed)).sum())


def _denied_text(frame):
    """``N runs had orders denied (in M every order)``, or ""."""
    runs, every = denied_runs(frame)
    if not runs:
        return ""
    text = f"{runs:,d} run{'s' if runs != 1 else ''} had orders denied"
    return text + (f" (in {every:,d} every order)" if every else "")


def _ranking(frame, metric=None, minimize=None, min_trades=None):
    """``(metric, minimize, min_trades)``: those given, else the sweep's own
    (its table's ``attrs``), else Sharpe ratio in its better direction."""
    attrs = frame.attrs
    metric = metric or attrs.get("metric") or "Sharpe ratio"
    if minimize is None:
        minimize = attrs["minimize"] if metric == attrs.get("metric") and "minimize" in attrs else \
            lower_is_better(metric)
    if min_trades is None:
        min_trades = attrs.get("min_trades")
    return metric, bool(minimize), min_trades


def _surface(frame, metric, x, y, minimize=False):
    """``metric`` by (``y``, ``x``): mean over splits, best over other parameters."""
    runs = _in_sample(frame)
    params = parameter_columns(frame)
    if runs.empty:
        return pd.DataFrame()
    column = runs[metric]
    if pd.api.types.is_timedelta64_dtype(column):
        column = column / pd.Timedelta(days=1)
    values = runs.assign(_v=pd.to_numeric(column, errors="coerce"))
    per_set = values.groupby(params, dropna=False, sort=False)["_v"].mean().reset_index()
    if y is None:
        per_set["_row"] = metric
        y = "_row"
    table = per_set.pivot_table(index=y, columns=x, values="_v", aggfunc="min" if minimize else "max",
                                dropna=False)
    return table.sort_index().sort_index(axis=1)


def heat_map(frame, metric, x, y=None, *, minimize=None, dpi=110) -> bytes:
    """The PNG of ``metric`` over parameters ``x`` (columns) and ``y`` (rows)."""
    metric, minimize, _ = _ranking(frame, metric, minimize)
    table = _surface(frame, metric, x, y, minimize)
    fig = Figure(figsize=(max(4.5, 0.7 * table.shape[1] + 2.5), max(2.2, 0.5 * table.shape[0] + 1.6)),
                 dpi=dpi, layout="constrained")
    FigureCanvasAgg(fig)
    ax = fig.add_subplot()
    if table.empty:
        ax.text(0.5, 0.5, "no finished run", ha="center", va="center", transform=ax.transAxes)
        ax.set_axis_off()
    else:
        data = table.to_numpy(dtype=float)
        masked = np.ma.masked_invalid(data)
        image = ax.imshow(masked, cmap="RdYlGn_r" if minimize else "RdYlGn", aspect="auto", origin="lower")
        fig.colorbar(image, ax=ax, label=metric)
        ax.set_xticks(range(table.shape[1]), [str(v) for v in table.columns])
        ax.set_yticks(range(table.shape[0]), [str(v) for v in table.index])
        ax.set_xlabel(x)
        ax.set_ylabel("" if y is None else y)
        if max(table.shape) <= _ANNOTATE_UP_TO:
            for (row, col), value in np.ndenumerate(data):
                ax.text(col, row, "–" if np.isnan(value) else _shown_value(metric, value),
                        ha="center", va="center", fontsize=8)
        ax.set_title(f"{metric} by {x}" + ("" if y is None else f" and {y}"), fontsize=11)
    buf = io.BytesIO()
    fig.savefig(buf, format="png")
    return buf.getvalue()


def _shown_value(metric, value):
    """A heat map cell: durations are in days there."""
    if metric in STAT_NAMES and metric not in ("Longest drawdown", "Duration"):
        return format_stat(metric, value)
    return f"{value:.4g}"


def _cell(name, value):
    if name == "error":
        return html.escape(str(value))
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
    head = "<tr>" + "".join(f"<th class='l'>{html.escape(c)}</th>" for c in columns) + "</tr>"
    body = ["<tr>" + "".join(f"<td class='l'>{_cell(c, r[c])}</td>" for c in columns) + "</tr>"
            for _, r in rows.iterrows()]
    return _grid(head, body, note)


def best_runs(frame, metric=None, top=20, *, minimize=None, min_trades=None):
    """The ``top`` in-sample runs (over the whole period, or the training runs
    of every split), best first: those the sweep may rank (finished, with a
    value of ``metric`` and enough trades), by ``metric`` in its direction
    (see ``_ranking``)."""
    metric, minimize, min_trades = _ranking(frame, metric, minimize, min_trades)
    return ranked(_in_sample(frame), metric, minimize=minimize, min_trades=min_trades).head(top)


def render_sweep_report(frame, metric=None, x=None, y=None, *, top=20, title="Parameter sweep", png=None,
                        minimize=None, min_trades=None) -> str:
    """The report as one self-contained HTML document."""
    metric, minimize, min_trades = _ranking(frame, metric, minimize, min_trades)
    params = parameter_columns(frame)
    x = x or (params[0] if params else None)
    if y is None and len(params) > 1:
        y = next(p for p in params if p != x)
    if png is None:
        png = heat_map(frame, metric, x, y, minimize=minimize) if x else b""
    shown = params + [metric] + [s for s in _SHOWN if s != metric and s in frame.columns] + ["seconds"]
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
    sections = [f"<h1>{html.escape(title)}</h1><p class='sub'>{html.escape(sub)}</p>"]
    if png:
        sections.append(f"<h2>{html.escape(metric)}</h2><div class='chart'><img alt='Heat map of "
                     f"{html.escape(metric)}' style='width:auto;max-width:100%' "
                     f"src='data:image/png;base64,{base64.b64encode(png).decode('ascii')}'></div>")
    best = best_runs(frame, metric, top, minimize=minimize, min_trades=min_trades)
    if len(tests):          # training runs of different splits: each with its split
        sections.append(f"<h2>Best training runs by {html.escape(metric)}</h2>"
                        + _table(best, ["split"] + shown, "single training runs, each on the training window "
                                 "of its split"))
    else:
        sections.append(f"<h2>Best runs by {html.escape(metric)}</h2>" + _table(best, shown))
    if len(tests):
        sections.append("<h2>Walk-forward test runs</h2>"
                     + _table(tests, ["split"] + params + ["status"] + shown[len(params):] + ["error"],
                              "each split's best training parameters, run on its test window"))
    sections.append(walk_forward_section(frame.attrs.get("walk_forward")))
    if len(failed):
        sections.append("<h2>Failed runs</h2>" + _table(failed.head(200), ["run_id", "phase"] + params + ["error"]))
    return f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{html.escape(title)}</title>
<style>{_CSS}</style>
</head>
<body>
<main>
{''.join(sections)}
</main>
</body>
</html>
"""


def save_sweep_report(frame, directory, metric=None, x=None, y=None, *, top=20,
                      title="Parameter sweep", minimize=None, min_trades=None) -> Path:
    """Write ``heatmap.png`` and ``report.html`` to ``directory``, each
    atomically; returns the report's path."""
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    params = parameter_columns(frame)
    for name in (x, y):
        if name is not None and name not in params:
            raise ValueError(f"{name!r} is not a parameter of the sweep; its parameters: {', '.join(params)}")
    x = x or (params[0] if params else None)
    if y is None and len(params) > 1:
        y = next(p for p in params if p != x)
    metric, minimize, min_trades = _ranking(frame, metric, minimize, min_trades)
    if "walk_forward" not in frame.attrs and (frame["phase"] == "test").any():    # a table read back
        from korvit.backtest.sweep.outofsample import WalkForwardResult
        frame = frame.copy(deep=False)
        frame.attrs["walk_forward"] = WalkForwardResult.read(directory)
    png = heat_map(frame, metric, x, y, minimize=minimize) if x else b""
    report = render_sweep_report(frame, metric, x, y, top=top, title=title, png=png, minimize=minimize,
                                 min_trades=min_trades)
    if png:
        atomic_write(directory / "heatmap.png", lambda fh: fh.write(png), binary=True)
    else:           # a heat map left by an earlier sweep is not this one's
        (directory / "heatmap.png").unlink(missing_ok=True)
    path = directory / "report.html"
    atomic_write(path, lambda fh: fh.write(report))
    return path



# ------------------------------------------------------------------ walk-forward

_WF_FIGURES = ("Total return", "Annualised return", "Sharpe ratio", "Max drawdown", "Longest drawdown", "Trades")


def walk_forward_chart(walked, dpi=110) -> bytes:
    """The PNG of the stitched out-of-sample equity curve of ``walked`` (a
    ``WalkForwardResult``), the test windows shaded in turn and numbered."""
    from matplotlib.ticker import FuncFormatter
    fig = Figure(figsize=(9, 3.4), dpi=dpi, layout="constrained")
    FigureCanvasAgg(fig)
    ax = fig.add_subplot()
    curve = walked.equity
    if not len(curve):
        ax.text(0.5, 0.5, "no finished test run", ha="center", va="center", transform=ax.transAxes)
        ax.set_axis_off()
    else:
        splits = walked.splits
        for k, row in enumerate(splits.itertuples()):
            end = row.test_end + pd.Timedelta(days=1)
            ax.axvspan(row.test_start, end, color="#0072b2", alpha=0.07 if k % 2 else 0.14, lw=0)
            ax.text(row.test_start + (end - row.test_start) / 2, 1.0, str(row.split), ha="center", va="bottom",
                    fontsize=7, color="#555", transform=ax.get_xaxis_transform())
        ax.axhline(float(walked.stats["Initial equity"]), color="#999", lw=0.8, ls="--")
        ax.plot(curve.index, curve.to_numpy(dtype=float), color="#d55e00", lw=1.4)
        ax.set_ylabel("equity")
        ax.yaxis.set_major_formatter(FuncFormatter(lambda value, _: f"{value:,.0f}"))
        ax.margins(x=0.01)
        ax.grid(alpha=0.3, lw=0.5)
    buf = io.BytesIO()
    fig.savefig(buf, format="png")
    return buf.getvalue()


def walk_forward_section(walked, png=None) -> str:
    """The report's walk-forward section (HTML): the stitched out-of-sample
    curve and its figures, and each split's windows and in-sample against
    out-of-sample figures; "" without ``walked``."""
    if walked is None:
        return ""
    png = walk_forward_chart(walked) if png is None else png
    stats, splits, metric = walked.stats, walked.splits, walked.metric
    figures = " · ".join(f"{name} {format_stat(name, stats[name])}" for name in _WF_FIGURES)
    efficiency = walked.efficiency
    figures += " · efficiency " + ("–" if pd.isna(efficiency) else f"{efficiency:.2f}")
    params = [c for c in splits.columns[splits.columns.get_loc("test_warmup") + 1:splits.columns.get_loc("status")]]
    shown = lambda name, value: "–" if value is None or pd.isna(value) else (       # noqa: E731
        html.escape(format_stat(name, value)) if name in STAT_NAMES else f"{value:.2f}")
    day = lambda stamp: f"{stamp:%Y-%m-%d}"         # noqa: E731
    label = html.escape(metric)
    head = ("<tr>" + "".join(f"<th class='l'>{html.escape(c)}</th>" for c in
                             ["split", "training window", "test window", "warm-up bars", *params]) +
            f"<th>IS {label}</th><th>OOS {label}</th><th>IS ann. return</th>"
            "<th>OOS ann. return</th><th>efficiency</th><th>trades</th><th class='l'>status</th></tr>")
    body = []
    for row in splits.to_dict("records"):
        cells = [str(row["split"]), f"{day(row['train_start'])} – {day(row['train_end'])}",
                 f"{day(row['test_start'])} – {day(row['test_end'])}",
                 f"{row['train_warmup']:,d} / {row['test_warmup']:,d}",
                 *(html.escape("–" if row[p] is None or pd.isna(row[p]) else str(row[p])) for p in params)]
        figures_ = [shown(metric, row["in_sample"]), shown(metric, row["out_of_sample"]),
                    shown("Annualised return", row["in_sample_return"]),
                    shown("Annualised return", row["out_of_sample_return"]), shown(None, row["efficiency"]),
                    "–" if pd.isna(row["trades"]) else f"{int(row['trades']):,d}"]
        body.append("<tr>" + "".join(f"<td class='l'>{c}</td>" for c in cells)
                    + "".join(f"<td>{c}</td>" for c in figures_)
                    + f"<td class='l'>{html.escape(str(row['status']))}</td></tr>")
    note = ("IS: the training run chosen on the split's training window; OOS: its parameters on the test "
            "window. Warm-up bars: the bars before the training / test window its runs saw as history "
            "(trading only inside the window). Efficiency: OOS annualised return over IS annualised "
            "return (– where the IS one is not positive).")
    return (f"<h2>Walk-forward: out of sample</h2><p class='sub'>{html.escape(figures)}</p>"
            "<p class='note'>The test windows' equity curves joined in split order, each continuing from "
            "the equity the one before ended at (shaded: the test windows, by split); the efficiency above "
            "is the stitched curve's annualised return over the mean IS annualised return.</p>"
            f"<div class='chart'><img alt='Stitched out-of-sample equity' style='width:auto;max-width:100%' "
            f"src='data:image/png;base64,{base64.b64encode(png).decode('ascii')}'></div>"
            f"<h3>In sample against out of sample, by split</h3><div style='overflow-x:auto'>"
            f"{_grid(head, body, note)}</div>")
