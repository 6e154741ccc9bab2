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

Walk-forward efficiency is the out-of-sample annualised return over the
in-sample one: per split, the test run's over the chosen training run's; for
the whole walk-forward, the stitched curve's over the mean of the chosen
training runs' (of the splits whose test run finished).  Where the
in-sample annualised return is 0 or negative the ratio would mislead (a
loss over a loss is positive): it is NaN.
"""

import json
import math
from pathlib import Path

import numpy as np
import pandas as pd

from korvit.backtest.files import atomic_write

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


def stitch(curves, initial_cash):
    """The test windows' equity curves (a list of Series, in split order, each
    starting from ``initial_cash``) joined into one, each continuing from the
    end of the one before (see the module's docstring)."""
    parts, level = [], float(initial_cash)
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
        return pd.Series([], dtype=float, index=pd.DatetimeIndex([], name="time"), name="equity")
    joined = pd.concat(parts)
    joined.index.name, joined.name = "time", "equity"
    return joined


def curve_stats(curve, initial_cash, frequency, trades=0):
    """The statistics of an equity curve (``CURVE_STATS``), as a run's are
    computed from its curve; ``trades``: the number of fills behind it."""
    from korvit.backtest.stats import compute_stats

    stats = compute_stats(
        curve,
        pd.DataFrame({"fee": []}),
        pd.DataFrame({"pnl": []}),
        frequency=frequency,
        initial_cash=initial_cash,
        exposure=pd.Series(np.zeros(len(curve), dtype=bool)),
    )
    stats["Trades"] = trades
    return stats[list(CURVE_STATS)]


def efficiency(out_return, in_return):
    """Out-of-sample annualised return over the in-sample one; NaN unless the
    in-sample one is positive (and both are finite)."""
    try:
        out_return, in_return = float(out_return), float(in_return)
    except (TypeError, ValueError):
        return math.nan
    if not (math.isfinite(out_return) and math.isfinite(in_return)) or in_return <= 0:
        return math.nan
    return out_return / in_return


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
    - ``stats``: its statistics (a Series, as a run's, ``CURVE_STATS``);
    - ``efficiency``: the whole walk-forward's efficiency;
    - ``metric``: the ranking statistic (or "objective").

    It is read-only: copies of the table share it."""

    def __init__(self, splits, equity, stats, efficiency_, metric):
        self.splits, self.equity, self.stats = splits, equity, stats
        self.efficiency, self.metric = efficiency_, metric

    def __deepcopy__(self, memo):  # pandas deep-copies a table's attrs with every derived table
        return self

    def __repr__(self):
        return (
            f"<WalkForwardResult {len(self.splits)} splits, out-of-sample total return "
            f"{self.stats.get('Total return', math.nan):.2%}, efficiency {self.efficiency:.3g}>"
        )

    def save(self, folder):
        """Write ``walkforward.csv`` (the splits), ``walkforward_equity.csv``
        (the stitched curve) and ``walkforward.json`` (its statistics, the
        efficiency and the metric) to ``folder``, each atomically."""
        from korvit.backtest.stats import stats_to_json

        folder = Path(folder)
        folder.mkdir(parents=True, exist_ok=True)
        splits = self.splits.copy()
        for column in ("train_start", "train_end", "test_start", "test_end"):
            splits[column] = splits[column].astype(str)
        atomic_write(folder / SPLITS_FILE, lambda fh: splits.to_csv(fh, index=False))
        atomic_write(folder / EQUITY_FILE, lambda fh: self.equity.to_csv(fh, header=True))
        summary = {
            "metric": self.metric,
            "efficiency": _json_number(self.efficiency),
            "stats": stats_to_json(self.stats),
        }
        atomic_write(
            folder / SUMMARY_FILE, lambda fh: fh.write(json.dumps(summary, indent=2) + "\n")
        )

    @classmethod
    def read(cls, folder):
        """The results saved by ``save`` in ``folder``, or None where they are not all there."""
        from korvit.backtest.sweep.objective import typed_stats

        folder = Path(folder)
        paths = [folder / name for name in (SPLITS_FILE, EQUITY_FILE, SUMMARY_FILE)]
        if not all(path.is_file() for path in paths):
            return None
        splits = pd.read_csv(paths[0], keep_default_na=True)
        for column in ("train_start", "train_end", "test_start", "test_end"):
            splits[column] = pd.to_datetime(splits[column]).astype("datetime64[ns]")
        equity = pd.read_csv(paths[1], index_col=0, parse_dates=True).iloc[:, 0].astype(float)
        equity.index = pd.DatetimeIndex(equity.index.astype("datetime64[ns]"), name="time")
        summary = json.loads(paths[2].read_text())
        stats = typed_stats(summary["stats"])[list(CURVE_STATS)].rename("stats")
        value = summary.get("efficiency")
        return cls(
            splits,
            equity.rename("equity"),
            stats,
            math.nan if value is None else float(value),
            summary.get("metric"),
        )


def _json_number(value):
    value = float(value)
    return value if math.isfinite(value) else None


def out_of_sample(frame, splits, warmups, chosen, curves, metric, frequency):
    """The ``WalkForwardResult`` of a walk-forward sweep's table ``frame``:
    ``splits`` the checked splits, ``warmups`` each split's (training,
    test) warm-up bars, ``chosen`` each split's chosen training run id,
    ``curves`` each split's test run's equity curve (finished ones)."""
    columns = list(frame.columns)
    params = columns[columns.index("phase") + 1 : columns.index("status")]
    by_id = frame.set_index("run_id", drop=False)
    tests = frame[frame["phase"] == "test"].set_index("split", drop=False)
    rows, ins, kept, cash, trades = [], [], [], None, 0
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
        test = tests.loc[k] if k in tests.index else None
        train = by_id.loc[chosen[k]] if chosen.get(k) in by_id.index else None
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
            ins.append(row["in_sample_return"])
            trades += int(test["Trades"])
            cash = float(test["Initial equity"]) if cash is None else cash
        rows.append(row)
    table = pd.DataFrame(rows)
    table["trades"] = table["trades"].astype("Int64")
    if cash is None:  # no test run finished: no curve, and no figure of one
        equity = stitch([], 1.0)
        stats = curve_stats(equity, math.nan, frequency, 0)
    else:
        equity = stitch(kept, cash)
        stats = curve_stats(equity, cash, frequency, trades)
    mean_in = float(np.mean(ins)) if ins else math.nan
    return WalkForwardResult(table, equity, stats, efficiency(stats[_RETURN], mean_in), metric)
