"""What a sweep ranks its runs by: a statistic in its better direction, or the
user's own function of the statistics; and the runs that may be ranked (a
finished run with a finite score and, with ``min_trades``, enough trades)."""

from __future__ import annotations

import numbers
from collections.abc import Callable, Mapping
from typing import Any

import numpy as np
import pandas as pd

from korvit.backtest.sweep.space import SweepError


def _stat_kinds() -> dict[str, str]:
    from korvit.backtest.stats import _KINDS

    kinds: dict[str, str] = _KINDS
    return kinds


def find_statistic(name: object) -> str:
    """The statistic named by ``name``: its full name ("Sharpe ratio"), in
    any case, with ``_`` for spaces, or the start of one ("sharpe")."""
    names = list(_stat_kinds())
    key = str(name).strip().lower().replace("_", " ")
    exact = [n for n in names if n.lower() == key]
    if exact:
        return exact[0]
    found = [n for n in names if n.lower().startswith(key)] if key else []
    if len(found) == 1:
        return found[0]
    if found:
        raise SweepError(f"statistic {name!r} is ambiguous: {', '.join(found)}")
    raise SweepError(f"unknown statistic {name!r}; the statistics: {', '.join(names)}")


def _typed(frame: pd.DataFrame) -> pd.DataFrame:
    """The statistics columns of ``frame`` as times and durations where they are."""
    for name, kind in _stat_kinds().items():
        if name in frame.columns:
            if kind == "time":
                frame[name] = pd.to_datetime(frame[name])
            elif kind == "delta":
                frame[name] = pd.to_timedelta(frame[name])
            else:
                frame[name] = pd.to_numeric(frame[name])
    return frame


# The statistics where lower is better; the others rank higher first (drawdowns and
# average losses are negative fractions and amounts: higher is nearer to none).
LOWER_IS_BETTER = frozenset(
    {
        "Annualised volatility",
        "Longest drawdown",
        "Average drawdown length",
        "Orders cancelled",
        "Orders denied",
        "Total fees",
    }
)
# Statistics kept as negative amounts whose size is a loss: minimising one is making
# the loss smaller, which ranks values nearer 0 first, as their better direction does.
LOSSES = frozenset(
    {
        "Max drawdown",
        "Average drawdown",
        "Daily value at risk",
        "Daily expected shortfall",
        "Average loss",
        "Benchmark max drawdown",
    }
)
SCORE_COLUMN = "objective"  # the column of a function's scores


def lower_is_better(metric: str) -> bool:
    """Whether lower values of the statistic ``metric`` are better."""
    return metric in LOWER_IS_BETTER


def typed_stats(stats: Mapping[str, Any] | None) -> pd.Series[Any]:
    """A run's saved statistics (as ``stats_to_json`` writes them) as a Series
    of the values a result's ``stats`` holds: times, durations, numbers (NaN
    where undefined, infinities as such)."""
    kinds = _stat_kinds()
    values: dict[str, Any] = {}
    for name, value in (stats or {}).items():
        kind = kinds.get(name)
        if value is None:
            value = pd.NaT if kind in ("time", "delta") else float("nan")
        elif kind == "time":
            value = pd.Timestamp(value)
        elif kind == "delta":
            value = pd.Timedelta(value)
        elif value in ("inf", "-inf"):
            value = float(value)
        values[name] = value
    series: pd.Series[Any] = pd.Series(values, dtype=object)
    return series


def _number(value: object) -> float:
    """``value`` as a float to rank by (durations in days), NaN where it is none."""
    if isinstance(value, pd.Timedelta):
        days: float = value / pd.Timedelta(days=1)
        return days
    if (
        value is None
        or value is pd.NaT
        or isinstance(value, bool)
        or not isinstance(value, numbers.Real)
    ):
        return float("nan")
    return float(value)


class Objective:
    """How a sweep ranks its runs.  ``metric``: a statistic's name (as
    ``find_statistic`` takes it), ranked in its better direction unless
    ``minimize`` says otherwise; or ``function``: a callable taking a run's
    statistics (a Series, as a result's ``stats``) and returning a number,
    higher better unless ``minimize``.  ``min_trades``: runs with fewer trades
    are not ranked.  A run's score is NaN when it cannot be ranked."""

    metric: str
    label: str
    function: Callable[[pd.Series[Any]], float] | None
    minimize: bool
    min_trades: int | None

    def __init__(
        self,
        metric: str | None = None,
        *,
        minimize: bool | None = None,
        min_trades: int | None = None,
        function: Callable[[pd.Series[Any]], float] | None = None,
    ) -> None:
        if function is not None:
            if not callable(function):
                raise SweepError(
                    f"objective must be a function of a run's statistics, got {function!r}"
                )
            if metric is not None:
                raise SweepError(
                    "give the statistic to rank by (select=) or an objective function, not both"
                )
            self.metric = SCORE_COLUMN
            self.label = getattr(function, "__name__", SCORE_COLUMN)
            if not self.label.isidentifier():
                self.label = SCORE_COLUMN
        else:
            self.metric = find_statistic("Sharpe ratio" if metric is None else metric)
            if _stat_kinds()[self.metric] == "time":
                raise SweepError(f"{self.metric!r} is a time, not a measure to rank runs by")
            self.label = self.metric
        if minimize is not None and not isinstance(minimize, (bool, np.bool_)):
            raise SweepError(f"minimize must be True or False, got {minimize!r}")
        if min_trades is not None and (
            isinstance(min_trades, bool)
            or not isinstance(min_trades, numbers.Integral)
            or min_trades < 0
        ):
            raise SweepError(f"min_trades must be a whole number >= 0, got {min_trades!r}")
        self.function = function
        self.minimize = (
            bool(minimize)
            if minimize is not None
            else (function is None and lower_is_better(self.metric))
        )
        if self.minimize and self.metric in LOSSES:
            self.minimize = False  # the smallest loss: nearest 0
        self.min_trades = None if min_trades is None else int(min_trades)
        self._scores: dict[str, float] = {}

    def describe(self) -> str:
        """``Sharpe ratio (higher is better, at least 10 trades)``."""
        better = "nearer 0" if self.metric in LOSSES else "lower" if self.minimize else "higher"
        text = f"{self.label} ({better} is better"
        return text + (f", at least {self.min_trades:,d} trades)" if self.min_trades else ")")

    def score(self, row: Mapping[str, Any]) -> float:
        """The function's score of a finished run (a saved row), NaN for a
        failed one; the function's own failure or a value that is not a number
        is a ``SweepError`` naming the run."""
        if self.function is None or row.get("status") != "ok":
            return float("nan")
        key = row["run_id"]
        if key not in self._scores:
            try:
                value = self.function(typed_stats(row.get("stats")))
            except Exception as exc:
                raise SweepError(
                    f"the objective failed on the run {row.get('params')}: "
                    f"{type(exc).__name__}: {exc}"
                ) from exc
            if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
                raise SweepError(
                    f"the objective returned {value!r} for the run {row.get('params')}: "
                    "it must return a number"
                )
            self._scores[key] = float(value)
        return self._scores[key]

    def attrs(self) -> dict[str, Any]:
        """What a sweep's table keeps of its ranking (``frame.attrs``)."""
        return {"metric": self.metric, "minimize": self.minimize, "min_trades": self.min_trades}


def ranked(
    frame: pd.DataFrame,
    metric: str | None = None,
    *,
    minimize: bool | None = None,
    min_trades: int | None = None,
) -> pd.DataFrame:
    """The rows of a sweep's table that may be ranked, best first (equals in
    the table's order): finished runs with a finite ``metric`` and, with
    ``min_trades``, at least that many trades.  ``metric``, ``minimize`` and
    ``min_trades`` default to those the table was made with (its ``attrs``),
    else Sharpe ratio in its better direction."""
    attrs = frame.attrs
    if metric is None:
        metric = attrs.get("metric") or "Sharpe ratio"
    if metric != SCORE_COLUMN and metric not in frame.columns:
        metric = find_statistic(metric)
    if minimize is None:
        minimize = (
            attrs.get("minimize")
            if metric == attrs.get("metric") and "minimize" in attrs
            else lower_is_better(metric)
        )
    if metric in LOSSES:
        minimize = False  # minimising a loss ranks the smallest, nearest 0, first
    if min_trades is None:
        min_trades = attrs.get("min_trades")
    if metric not in frame.columns:
        none: pd.DataFrame = frame.iloc[:0]
        return none
    values = frame[metric].map(_number).astype(float)
    keep = (frame["status"] == "ok") & np.isfinite(values)
    if min_trades:
        trades = (
            pd.to_numeric(frame["Trades"], errors="coerce")
            if "Trades" in frame.columns
            else values * np.nan
        )
        keep &= trades >= min_trades
    order = values[keep].sort_values(ascending=bool(minimize), kind="stable")
    best: pd.DataFrame = frame.loc[order.index]
    return best
