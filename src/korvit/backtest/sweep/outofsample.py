"""What a walk-forward sweep tells out of sample: the test runs' equity curves
stitched into one, its statistics, and each split's in-sample figures
against its out-of-sample ones.

The stitched curve joins the test windows' equity curves in split order,
each continuing from where the one before ended: a window's curve is scaled
by the stitched equity at the end of the windows before it over the run's
initial cash, so that its returns compound on the equity reached (the first
window starts from the initial cash).  Where test windows overlap (a step
shorter than the test window), a window's curve is cut before the first bar
of the next window's; where they leave gaps, the curve has no points there.
A split whose test run failed adds nothing: the next one continues from the
equity before it.  Its statistics are those of a run's equity curve (the
annualised return over the calendar days from its first to its last bar,
gaps included); its "Trades" are the test runs' (whole windows, also where
they overlap).

The benchmark is stitched in the same way: each test run's benchmark curve
(as its backtest has it, ``korvit.backtest.benchmark``: from the initial
cash at the window's first bar) joined at the same bars, continuing from the
level the one before ended at, so that the two curves compare window by
window.  There is none when the runs have none, or when a finished test run
kept none (one resumed from a sweep saved before benchmarks were kept).

Walk-forward efficiency is the out-of-sample annualised return over the
in-sample one: per split, the test run's over the chosen training run's; for
the whole walk-forward, the stitched curve's over the mean of the chosen
training runs' (of the splits whose test run finished).  Where the
in-sample annualised return is 0 or negative the ratio would mislead (a
loss over a loss is positive): it is NaN.
"""

from __future__ import annotations

import json
import math
import os
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from korvit.backtest.files import atomic_write

if TYPE_CHECKING:
    from korvit.data.calendars import Calendar

# The figures of the stitched curve: those of a run's equity curve, and the test runs' trades.
CURVE_STATS = (
    "Start",
    "End",
    "Duration",
    "Initial equity",
    "Final equity",
    "Total return",
    "Annualised return",
    "Annualised volatility",
    "Sharpe ratio",
    "Sortino ratio",
    "Max drawdown",
    "Max drawdown peak",
    "Max drawdown trough",
    "Longest drawdown",
    "Trades",
)
# The files of the output folder that hold a walk-forward's out-of-sample results.
SPLITS_FILE, EQUITY_FILE, SUMMARY_FILE = (
    "walkforward.csv",
    "walkforward_equity.csv",
    "walkforward.json",
)
_RETURN = "Annualised return"


def stitch(curves: Sequence[pd.Series[float] | None], initial_cash: float) -> pd.Series[float]:
    """The test windows' equity curves (a list of Series, in split order, each
    starting from ``initial_cash``) joined into one, each continuing from the
    end of the one before (see the module's docstring)."""
    parts: list[pd.Series[float]] = []
    level = float(initial_cash)
    kept = [curve.astype(float) for curve in curves if curve is not None and len(curve)]
    for k, curve in enumerate(kept):
        if k + 1 < len(kept):  # overlapping windows: this one ends where the next begins
            curve = curve[curve.index < kept[k + 1].index[0]]
        if not len(curve):
            continue
        part = curve * (level / initial_cash)
        parts.append(part)
        level = float(part.iloc[-1])
    if not parts:
        series: pd.Series[float] = pd.Series(
            [], dtype=float, index=pd.DatetimeIndex([], name="time"), name="equity"
        )
        return series
    joined: pd.Series[float] = pd.concat(parts)
    joined.index.name, joined.name = "time", "equity"
    return joined


def curve_stats(
    curve: pd.Series[float],
    initial_cash: float,
    frequency: str,
    trades: int = 0,
    calendar: Calendar | None = None,
) -> pd.Series[Any]:
    """The statistics of an equity curve (``CURVE_STATS``), as a run's are
    computed from its curve, on the runs' ``calendar`` (252 days a year
    without one); ``trades``: the number of fills behind it."""
    from korvit.backtest.stats import PERIODS_PER_YEAR, compute_stats

    stats = compute_stats(
        curve,
        pd.DataFrame({"fee": []}),
        pd.DataFrame({"pnl": []}),
        frequency=frequency,
        initial_cash=initial_cash,
        exposure=pd.Series(np.zeros(len(curve), dtype=bool)),
        periods_per_year=PERIODS_PER_YEAR if calendar is None else calendar.sessions_per_year,
        calendar=calendar,
    )
    stats["Trades"] = trades
    return stats[list(CURVE_STATS)]


def efficiency(out_return: object, in_return: object) -> float:
    """Out-of-sample annualised return over the in-sample one; NaN unless the
    in-sample one is positive (and both are finite)."""
    try:
        out_value, in_value = float(out_return), float(in_return)  # type: ignore[arg-type]  # refused below
    except (TypeError, ValueError):
        return math.nan
    if not (math.isfinite(out_value) and math.isfinite(in_value)) or in_value <= 0:
        return math.nan
    return out_value / in_value


class WalkForwardResult:
    """The out-of-sample results of a walk-forward sweep (its table's
    ``attrs["walk_forward"]``):

    - ``splits``: a DataFrame, a row per split: its number, its windows'
      dates (``train_start``, ``train_end``, ``test_start``, ``test_end``,
      as given), the warm-up bars before each window, the chosen
      parameters, the test run's ``status``, the ranking statistic of the
      chosen training run (``in_sample``) and of the test run
      (``out_of_sample``), both runs' annualised returns and their ratio
      ``efficiency``, and the test run's trades;
    - ``equity``: the stitched out-of-sample equity curve (a Series);
    - ``benchmark``: the test runs' benchmark curves stitched in the same
      way, at the same bars (empty without a benchmark);
    - ``stats``: its statistics (a Series, as a run's, ``CURVE_STATS``);
    - ``efficiency``: the whole walk-forward's efficiency;
    - ``metric``: the ranking statistic (or "objective").

    It is read-only: copies of the table share it."""

    splits: pd.DataFrame
    equity: pd.Series[float]
    benchmark: pd.Series[float]
    stats: pd.Series[Any]
    efficiency: float
    metric: str

    def __init__(
        self,
        splits: pd.DataFrame,
        equity: pd.Series[float],
        stats: pd.Series[Any],
        efficiency_: float,
        metric: str,
        benchmark: pd.Series[float] | None = None,
    ) -> None:
        self.splits, self.equity, self.stats = splits, equity, stats
        self.efficiency, self.metric = efficiency_, metric
        self.benchmark = (
            pd.Series([], dtype=float, index=pd.DatetimeIndex([], name="time"), name="benchmark")
            if benchmark is None
            else benchmark
        )

    def __deepcopy__(
        self, memo: dict[int, Any]
    ) -> WalkForwardResult:  # pandas deep-copies a table's attrs with every derived table
        return self

    def __repr__(self) -> str:
        return (
            f"<WalkForwardResult {len(self.splits)} splits, out-of-sample total return "
            f"{self.stats.get('Total return', math.nan):.2%}, efficiency {self.efficiency:.3g}>"
        )

    def save(self, folder: str | os.PathLike[str]) -> None:
        """Write ``walkforward.csv`` (the splits), ``walkforward_equity.csv``
        (the stitched curve, and the benchmark's in a second column when there
        is one) and ``walkforward.json`` (its statistics, the efficiency and
        the metric) to ``folder``, each atomically."""
        from korvit.backtest.stats import stats_to_json

        path = Path(folder)
        path.mkdir(parents=True, exist_ok=True)
        splits = self.splits.copy()
        for column in ("train_start", "train_end", "test_start", "test_end"):
            splits[column] = splits[column].astype(str)
        atomic_write(path / SPLITS_FILE, lambda fh: splits.to_csv(fh, index=False))
        curves = (
            pd.concat([self.equity, self.benchmark.reindex(self.equity.index)], axis=1)
            if len(self.benchmark)
            else self.equity
        )
        atomic_write(path / EQUITY_FILE, lambda fh: curves.to_csv(fh, header=True))
        summary = {
            "metric": self.metric,
            "efficiency": _json_number(self.efficiency),
            "stats": stats_to_json(self.stats),
        }
        atomic_write(path / SUMMARY_FILE, lambda fh: fh.write(json.dumps(summary, indent=2) + "\n"))

    @classmethod
    def read(cls, folder: str | os.PathLike[str]) -> WalkForwardResult | None:
        """The results saved by ``save`` in ``folder``, or None where they are not all there."""
        from korvit.backtest.sweep.objective import typed_stats

        path = Path(folder)
        paths = [path / name for name in (SPLITS_FILE, EQUITY_FILE, SUMMARY_FILE)]
        if not all(path.is_file() for path in paths):
            return None
        splits = pd.read_csv(paths[0], keep_default_na=True)
        for column in ("train_start", "train_end", "test_start", "test_end"):
            splits[column] = pd.to_datetime(splits[column]).astype("datetime64[ns]")
        curves = pd.read_csv(paths[1], index_col=0, parse_dates=True).astype(float)
        curves.index = pd.DatetimeIndex(curves.index.astype("datetime64[ns]"), name="time")
        equity = curves.iloc[:, 0]
        benchmark = curves["benchmark"] if "benchmark" in curves.columns else None
        summary = json.loads(paths[2].read_text())
        stats = typed_stats(summary["stats"])[list(CURVE_STATS)].rename("stats")
        value = summary.get("efficiency")
        return cls(
            splits,
            equity.rename("equity"),
            stats,
            math.nan if value is None else float(value),
            summary.get("metric"),
            None if benchmark is None else benchmark.rename("benchmark"),
        )


def _json_number(value: float) -> float | None:
    number = float(value)
    return number if math.isfinite(number) else None


def out_of_sample(
    frame: pd.DataFrame,
    splits: Sequence[Sequence[Any]],
    warmups: Sequence[tuple[int, int]],
    chosen: Mapping[int, Any],
    curves: Mapping[int, pd.Series[float] | None],
    metric: str,
    frequency: str,
    calendar: Calendar | None = None,
    benchmarks: Mapping[int, pd.Series[float] | None] | None = None,
) -> WalkForwardResult:
    """The ``WalkForwardResult`` of a walk-forward sweep's table ``frame``:
    ``splits`` the checked splits, ``warmups`` each split's (training,
    test) warm-up bars, ``chosen`` each split's chosen training run id,
    ``curves`` each split's test run's equity curve (finished ones) and
    ``benchmarks`` its benchmark's curve, at the same bars: stitched as the
    equity curves are, when every finished test run has one."""
    columns = list(frame.columns)
    params = columns[columns.index("phase") + 1 : columns.index("status")]
    by_id = frame.set_index("run_id", drop=False)
    tests = frame[frame["phase"] == "test"].set_index("split", drop=False)
    rows: list[dict[str, Any]] = []
    ins: list[float] = []
    kept: list[pd.Series[float] | None] = []
    marks: list[pd.Series[float] | None] = []  # the test runs' benchmarks
    cash: float | None = None
    trades = 0
    for k, (a, b, c, d) in enumerate(splits, 1):
        row = {
            "split": k,
            "train_start": pd.Timestamp(a),
            "train_end": pd.Timestamp(b),
            "test_start": pd.Timestamp(c),
            "test_end": pd.Timestamp(d),
            "train_warmup": warmups[k - 1][0],
            "test_warmup": warmups[k - 1][1],
        }
        test: Any = tests.loc[k] if k in tests.index else None
        train: Any = by_id.loc[chosen[k]] if chosen.get(k) in by_id.index else None
        row.update({name: None if test is None else test[name] for name in params})
        row["status"] = "not run" if test is None else test["status"]
        row["in_sample"] = math.nan if train is None else train[metric]
        row["out_of_sample"] = math.nan if test is None or test["status"] != "ok" else test[metric]
        row["in_sample_return"] = math.nan if train is None else float(train[_RETURN])
        finished = test is not None and test["status"] == "ok" and curves.get(k) is not None
        row["out_of_sample_return"] = float(test[_RETURN]) if finished else math.nan
        row["efficiency"] = efficiency(row["out_of_sample_return"], row["in_sample_return"])
        row["trades"] = int(test["Trades"]) if finished else None
        if finished:
            kept.append(curves[k])
            marks.append((benchmarks or {}).get(k))
            ins.append(row["in_sample_return"])
            trades += int(test["Trades"])
            cash = float(test["Initial equity"]) if cash is None else cash
        rows.append(row)
    table = pd.DataFrame(rows)
    table["trades"] = table["trades"].astype("Int64")
    benchmark = stitch([], 1.0).rename("benchmark")
    if cash is None:  # no test run finished: no curve, and no figure of one
        equity = stitch([], 1.0)
        stats = curve_stats(equity, math.nan, frequency, 0, calendar)
    else:
        equity = stitch(kept, cash)
        stats = curve_stats(equity, cash, frequency, trades, calendar)
        if all(mark is not None and len(mark) for mark in marks):
            benchmark = stitch(marks, cash).rename("benchmark")
    mean_in = float(np.mean(ins)) if ins else math.nan
    return WalkForwardResult(
        table, equity, stats, efficiency(stats[_RETURN], mean_in), metric, benchmark
    )
