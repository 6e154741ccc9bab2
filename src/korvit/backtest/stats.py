"""Performance statistics of a backtest.

``compute_stats`` turns an equity curve, the fills and the closed round trips
into one ``pd.Series`` with readable names.  Volatility, Sharpe and Sortino
are taken on daily returns (252 periods a year unless ``periods_per_year``
says otherwise: a run passes its calendar's sessions a year), with the formulas and the
very operations of ``empyrical`` (its sums are ``bottleneck``'s, which pandas
loads anyway: so the same figures to the bit, without importing empyrical and
the scipy it loads, which would cost every run far more than the figures);
minute curves are first reduced to their daily closes (one value per session
of the run's calendar when one is given, else per calendar date: intraday
figures are annualised by the sessions, not by the bars).  The first daily
return is measured against the initial cash, so the first day's P&L counts.

Three figures are computed otherwise than ``empyrical`` does:

* the annualised return is a CAGR over *calendar* days between the first and
  the last bar (``empyrical`` counts periods, which overstates the growth of
  a curve with gaps such as weekends or missing days);
* the drawdown is taken on the curve at its own resolution (every bar, not
  only daily closes), with the initial cash as the first peak, so that its
  dates and the chart agree with the figure;
* a zero (or numerically zero) volatility or downside deviation gives NaN
  for Sharpe and Sortino instead of ``inf``.

The order counts ("Orders placed", "... filled", "... cancelled", "...
denied") count the orders table by status; ``order_reasons`` counts the
reasons of the denied (or cancelled) orders by their kind.

The Calmar ratio is the CAGR over the magnitude of that drawdown.  The
drawdown's spells (each stretch under water, from its peak to the first bar
back at it, or to the last bar) give the average drawdown (the mean of their
deepest points) and its average length; ``worst_drawdowns`` lists the
deepest of them.  The shape of the daily returns: their skew and excess
kurtosis (the population moments, as ``scipy.stats``'s ``skew`` and
``kurtosis`` give them), the value at risk and the expected shortfall of the
worst 5 % of days (historical, as ``empyrical``'s ``value_at_risk`` and
``conditional_value_at_risk``) and ``empyrical``'s tail ratio.  Of the round
trips: the expectancy (the mean P&L in money), the SQN (√n × the mean P&L
over its sample standard deviation), the Kelly criterion (the win rate less
the losing rate over the payoff ratio, the mean return of the winning round
trips over that of the losing ones), the best, worst and average return, and
the average and longest time held.

Against a benchmark curve (see ``korvit.backtest.benchmark``) the benchmark's
return, CAGR and drawdown are taken as the strategy's are, alpha and beta as
``empyrical``'s ``alpha_beta`` gives them on the daily returns (alpha
annualised), and the excess Sharpe ratio, the mean daily return over the benchmark divided
by its standard deviation, which ``Information ratio`` annualises (× √252, or
the square root of ``periods_per_year``).

Nothing here warns: empty inputs, a single bar and a flat curve give NaN
where a figure is undefined.  The annualised figures of a run shorter than
about three months are computed all the same; ``caveats`` says they mean
nothing.
"""

from __future__ import annotations

import math
import warnings
from collections import Counter
from typing import TYPE_CHECKING, Any, NamedTuple

import bottleneck as bn
import numpy as np
import pandas as pd

if TYPE_CHECKING:
    from korvit.data.calendars import Calendar

__all__ = [
    "compute_stats",
    "caveats",
    "drawdown_series",
    "worst_drawdowns",
    "daily_returns",
    "format_stat",
    "stats_to_json",
    "stats_to_numbers",
    "order_counts",
    "order_reasons",
    "period_returns",
    "rolling_figures",
    "STAT_NAMES",
    "STAT_UNITS",
    "OPEN_AT_END",
    "ORDER_STATS",
    "BENCHMARK_STATS",
    "ANNUALISED_STATS",
    "PERIODS_PER_YEAR",
    "SHORT_RUN",
]

PERIODS_PER_YEAR = 252
_DAYS_PER_YEAR = 365.25
# From this size on, money and ratios are shown in powers of ten.
_LARGE = 1e15
# Below this an annualised volatility is rounding noise of a flat or
# constant-growth curve, and a ratio over it would be meaningless.
_ZERO_VOL = 1e-10

# How each statistic is shown; the order is the order of the Series.
_KINDS = {
    "Start": "time",
    "End": "time",
    "Duration": "delta",
    "Initial equity": "money",
    "Final equity": "money",
    "Total return": "pct",
    "Annualised return": "pct",
    "Annualised volatility": "pct",
    "Sharpe ratio": "ratio",
    "Sortino ratio": "ratio",
    "Calmar ratio": "ratio",
    "Max drawdown": "pct",
    "Max drawdown peak": "time",
    "Max drawdown trough": "time",
    "Longest drawdown": "delta",
    "Average drawdown": "pct",
    "Average drawdown length": "delta",
    "Skew": "ratio",
    "Excess kurtosis": "ratio",
    "Daily value at risk": "pct",
    "Daily expected shortfall": "pct",
    "Tail ratio": "ratio",
    "Orders placed": "int",
    "Orders filled": "int",
    "Orders cancelled": "int",
    "Orders denied": "int",
    "Trades": "int",
    "Round trips": "int",
    "Open at the end": "int",
    "Win rate": "pct",
    "Profit factor": "ratio",
    "Average win": "money",
    "Average loss": "money",
    "Expectancy": "money",
    "SQN": "ratio",
    "Kelly criterion": "pct",
    "Best trade": "pct",
    "Worst trade": "pct",
    "Average trade": "pct",
    "Average trade duration": "delta",
    "Max trade duration": "delta",
    "Total fees": "money",
    "Exposure": "pct",
    "Benchmark return": "pct",
    "Benchmark annualised return": "pct",
    "Benchmark max drawdown": "pct",
    "Alpha": "pct",
    "Beta": "ratio",
    "Information ratio": "ratio",
}
STAT_NAMES = tuple(_KINDS)
# The statistics that compare the run with its benchmark (NaN without one).
BENCHMARK_STATS = (
    "Benchmark return",
    "Benchmark annualised return",
    "Benchmark max drawdown",
    "Alpha",
    "Beta",
    "Information ratio",
)
# The figures annualised from the run's returns, which a short run makes meaningless.
ANNUALISED_STATS = (
    "Annualised return",
    "Annualised volatility",
    "Sharpe ratio",
    "Sortino ratio",
    "Calmar ratio",
    "Benchmark annualised return",
    "Alpha",
    "Information ratio",
)
# Below this span the annualised figures carry a caveat (see ``caveats``).
SHORT_RUN = pd.Timedelta(days=_DAYS_PER_YEAR / 4)
# The tail of the daily returns that the value at risk and the expected shortfall measure.
_TAIL = 0.05
# The unit of each statistic in ``stats_to_numbers``: times are ISO 8601 text,
# durations days, fractions 0.05 for 5 %.
_UNITS = {
    "time": "time",
    "delta": "days",
    "money": "money",
    "pct": "fraction",
    "ratio": "ratio",
    "int": "count",
}
STAT_UNITS = {name: _UNITS[kind] for name, kind in _KINDS.items()}
# The statistics that count orders, each with the status it counts.
ORDER_STATS = {
    "Orders placed": None,
    "Orders filled": "filled",
    "Orders cancelled": "cancelled",
    "Orders denied": "denied",
}


def order_counts(orders: pd.DataFrame) -> dict:
    """The orders placed (every row of the orders table) and those filled,
    cancelled and denied, by their ``status``, under the names of
    ``ORDER_STATS``; ``"open"`` counts the rest (still pending at the end)."""
    # each status as text, as ``astype(str)`` gives it (NaN as "nan"), counted in one pass
    by_status = Counter(map(str, orders["status"].tolist())) if "status" in orders else Counter()
    counts = {
        name: by_status[wanted] if wanted else len(orders) for name, wanted in ORDER_STATS.items()
    }
    counts["open"] = len(orders) - sum(
        by_status[wanted] for wanted in ORDER_STATS.values() if wanted
    )
    return counts


def order_reasons(orders: pd.DataFrame, status: str = "denied") -> list:
    """``(reason, count)`` of the orders of ``status``, most common first
    (equal counts by reason), the reasons counted by their kind (the
    ``reason_kind`` column, where the table has one, else ``reason``);
    orders without a reason are not counted."""
    if not len(orders) or "status" not in orders:
        return []
    chosen = orders[orders["status"].astype(str) == status]
    reasons = pd.Series("", index=chosen.index, dtype=object)
    for column in ("reason", "reason_kind"):  # the kind where it is known
        if column in chosen:
            text = chosen[column]
            known = text.notna() & (text.astype(str).str.strip() != "")
            reasons[known] = text[known].astype(str)
    reasons = reasons[reasons != ""]
    counts = reasons.value_counts()
    return sorted(
        ((str(reason), int(n)) for reason, n in counts.items()),
        key=lambda item: (-item[1], item[0]),
    )


def drawdown_series(equity_curve: pd.Series, initial_cash: float | None = None) -> pd.Series:
    """Fraction below the running peak (≤ 0) at every point of the curve.

    The initial cash, when given and positive, is the peak before the first
    bar, so a loss on the first bar is a drawdown too.  Infinite equity is no
    peak: its bars count as not under water, as NaN ones do.
    """
    values = np.asarray(equity_curve.to_numpy(dtype=float))
    return pd.Series(_drawdown(values, initial_cash), index=equity_curve.index, name="drawdown")


def _drawdown(values, initial_cash):
    """``drawdown_series`` of an array of equity values, as an array."""
    values = np.where(np.isfinite(values), values, np.nan)
    missing = np.isnan(values)
    # the running peak, skipping NaN (which stay NaN), as pandas' cummax takes it
    peak = (
        np.maximum.accumulate(np.where(missing, -np.inf, values)) if len(values) else values.copy()
    )
    peak[missing] = np.nan
    if initial_cash is not None and initial_cash > 0 and np.isfinite(initial_cash):
        peak = np.where((peak >= initial_cash) | missing, peak, float(initial_cash))
    with np.errstate(divide="ignore", invalid="ignore"):
        dd = values / peak - 1.0
    # A peak of zero or below (an account that never had money) has no
    # meaningful fraction: call it "not under water".
    dd = np.where(peak > 0, dd, 0.0)
    return np.where((dd <= 0.0) | np.isnan(dd), dd, 0.0)


def daily_returns(
    equity_curve: pd.Series,
    initial_cash: float,
    frequency: str,
    calendar: Calendar | None = None,
) -> pd.Series:
    """Daily simple returns; for minute bars the curve's daily closes: the
    last value of each session of ``calendar`` (``Calendar.day_of``), or of
    each calendar date without one.

    The first return is against the initial cash.  Returns on a non-positive
    base are undefined and left out (NaN).
    """
    curve = _daily(equity_curve.astype(float), frequency, calendar)
    return pd.Series(_returns(curve.to_numpy(), initial_cash), index=curve.index, name="return")


def _daily(curve, frequency, calendar=None):
    """A float curve at its daily closes: itself for daily bars, each day's
    last value for minute bars (each session's, with a ``calendar``)."""
    if frequency not in ("day", "minute"):
        raise ValueError(f"frequency must be 'day' or 'minute', not {frequency!r}")
    if frequency == "minute" and len(curve):
        if calendar is None:
            days = curve.index.normalize()
        else:
            days = pd.DatetimeIndex(calendar.day_of(curve.index), name=curve.index.name)
        curve = curve.groupby(days).last()
    return curve


def _returns(values, initial_cash):
    """``daily_returns`` of an array of daily equity values, as an array."""
    base = np.empty_like(values)
    if len(values):
        base[0] = initial_cash
        base[1:] = values[:-1]
    with np.errstate(divide="ignore", invalid="ignore"):
        rets = values / base - 1.0
    return np.where(base > 0, rets, np.nan)


def _drawdown_dates(dd: pd.Series):
    """Peak and trough times of the deepest drawdown and the longest time
    under water (peak to recovery, or to the last bar if not recovered)."""
    values = dd.to_numpy(dtype=float)
    if dd.empty or not (values < 0).any():
        return pd.NaT, pd.NaT, pd.Timedelta(0) if len(dd) else pd.NaT
    if not (isinstance(dd.index, pd.DatetimeIndex) and dd.index.is_unique):
        return _drawdown_dates_by_label(dd)
    trough_at = int(np.nanargmin(values))  # the first of the deepest, as idxmin
    # The peak is the last point at the running maximum before the trough;
    # if the curve never rose above the initial cash, that is the first bar.
    dry = values >= 0
    peaks = np.flatnonzero(dry[: trough_at + 1])
    peak = dd.index[peaks[-1]] if len(peaks) else dd.index[0]

    # the longest spell under water, from its peak to its recovery (or the last bar)
    since, _, until, _ = _spells(values)
    times = dd.index.to_numpy()
    longest = pd.Timedelta((times[until] - times[since]).max())
    return peak, dd.index[trough_at], longest


def _spells(values):
    """The spells under water of a drawdown array (each maximal run of bars
    not at the peak), as four arrays of positions: each spell's peak (the
    last bar at the peak before it, the first bar if there is none), its first
    bar under water, its end (the first bar back at the peak, the last bar if
    the curve never gets back) and its stop (the first bar back at the peak,
    ``len(values)`` if none)."""
    n = len(values)
    dry = np.concatenate(([True], values >= 0, [True])).view(np.int8)
    edges = np.flatnonzero(np.diff(dry))
    first, stop = edges[0::2], edges[1::2]
    return np.maximum(first - 1, 0), first, np.minimum(stop, n - 1), stop


def _spell_depths(values, first):
    """The deepest drawdown of each spell (NaN bars skipped: a spell of NaN
    alone comes out 0 or above, the bars after it being at the peak)."""
    return np.fmin.reduceat(values, first) if len(first) else np.empty(0)


def worst_drawdowns(
    equity_curve: pd.Series, initial_cash: float | None = None, top: int = 5
) -> pd.DataFrame:
    """The ``top`` deepest drawdowns of a curve, deepest first: its spells
    under water (which never overlap), each with its ``peak`` (the last bar at
    the running peak before it; the first bar if the curve starts below the
    initial cash), ``trough`` (the first bar at its lowest), ``recovery`` (the
    first bar back at the peak; NaT if the curve never gets back), ``depth``
    (the fraction below the peak at the trough, negative) and ``length``
    (peak to recovery, or to the last bar if not recovered).  The initial
    cash is the first peak, as in ``drawdown_series``; spells of equal depth
    come in time order.  The deepest is the maximum drawdown of
    ``compute_stats``, with its peak and trough."""
    if isinstance(top, bool) or not isinstance(top, (int, np.integer)) or top < 0:
        raise ValueError(f"top must be a whole number of 0 or more, not {top!r}")
    curve = equity_curve.astype(float).sort_index()
    values = _drawdown(curve.to_numpy(), initial_cash)
    peaks, first, ends, stops = _spells(values)
    depths = _spell_depths(values, first)
    chosen = np.flatnonzero(depths < 0)
    chosen = chosen[np.argsort(depths[chosen], kind="stable")][: int(top)]
    times = curve.index
    troughs = [first[k] + int(np.nanargmin(values[first[k] : stops[k]])) for k in chosen.tolist()]
    recovered = stops[chosen] < len(values)
    recovery = pd.Series(times[np.where(recovered, stops[chosen], 0)]).where(recovered)
    return pd.DataFrame(
        {
            "peak": times[peaks[chosen]],
            "trough": times[np.asarray(troughs, dtype=np.intp)],
            "recovery": recovery.to_numpy(),
            "depth": depths[chosen],
            "length": times[ends[chosen]] - times[peaks[chosen]],
        }
    )


def _drawdown_dates_by_label(dd: pd.Series):
    """``_drawdown_dates`` of a curve whose times repeat (or are no times), by label."""
    trough = dd.idxmin()
    before = dd.loc[:trough]
    at_peak = before[before >= 0]
    peak = at_peak.index[-1] if len(at_peak) else dd.index[0]
    times = pd.Series(dd.index, index=dd.index)
    dry = dd >= 0
    since = times.where(dry).ffill().fillna(times.iloc[0])
    until = times.where(dry).bfill().fillna(times.iloc[-1])
    longest = (until - since)[~dry].max()
    return peak, trough, longest


def _cagr(initial: float, final: float, start, end) -> float:
    if not (initial > 0) or not np.isfinite(initial) or pd.isna(start) or pd.isna(end):
        return math.nan
    days = (end - start) / pd.Timedelta(days=1)
    if days <= 0 or not np.isfinite(final):
        return math.nan
    ratio = final / initial
    if ratio <= 0:
        return -1.0  # everything (or more) was lost
    try:
        return ratio ** (_DAYS_PER_YEAR / days) - 1.0
    except OverflowError:  # a growth beyond any double
        return math.inf


def _finite_or_nan(value) -> float:
    """A ratio over a volatility that overflowed is no figure: NaN."""
    value = float(value)
    return value if math.isfinite(value) else math.nan


# The exit reason of a position still open at the last bar: counted apart from
# the round trips closed ("18 round trips + 1 open at the end"), its value in the equity.
OPEN_AT_END = "open at the end"


class _Closed(NamedTuple):
    """The closed round trips: how many, their P&L, returns and times held
    (numpy arrays; None for a column the table lacks)."""

    n: int
    pnl: np.ndarray
    returns: np.ndarray | None
    held: np.ndarray | None


def _closed(round_trips: pd.DataFrame) -> tuple[_Closed, int]:
    """The round trips closed, and how many were still open at the end."""
    keep = None
    still_open = 0
    if "exit_reason" in round_trips:
        open_rows = (round_trips["exit_reason"] == OPEN_AT_END).to_numpy(dtype=bool)
        still_open = int(open_rows.sum())
        if still_open:
            keep = ~open_rows
    n = len(round_trips) - still_open

    def column(name: str, values: Any) -> np.ndarray | None:
        if name not in round_trips:
            return None
        array = values(round_trips[name])
        return array if keep is None else array[keep]

    pnl = column("pnl", lambda c: c.to_numpy(dtype=float)) if n else np.empty(0)
    if pnl is None:
        raise KeyError("pnl")  # as reading the column would
    returns = column("return", lambda c: c.to_numpy(dtype=float)) if n else None
    held = (
        column("duration", lambda c: (c if c.dtype.kind == "m" else pd.to_timedelta(c)).to_numpy())
        if n
        else None
    )
    return _Closed(n, pnl, returns, held), still_open


def _round_trip_figures(closed: _Closed, still_open: int):
    n = closed.n
    if n == 0:
        return 0, still_open, math.nan, math.nan, math.nan, math.nan
    pnl = closed.pnl
    wins, losses = pnl[pnl > 0], pnl[pnl < 0]
    # numpy's sums, as pandas' (which has no NaN to skip here) are
    gross_profit, gross_loss = float(np.sum(wins)), float(-np.sum(losses))
    if gross_loss > 0:
        factor = gross_profit / gross_loss
    else:
        factor = math.inf if gross_profit > 0 else math.nan
    # the means as pandas takes them: numpy's sum over the count
    avg_win = float(np.sum(wins) / len(wins)) if len(wins) else math.nan
    avg_loss = float(np.sum(losses) / len(losses)) if len(losses) else math.nan
    return n, still_open, len(wins) / n, factor, avg_win, avg_loss


def _trade_figures(closed: _Closed, win_rate: float) -> dict:
    """Expectancy and SQN of the round trips' P&L (money); the Kelly
    criterion, the best, worst and average trade of their returns; their
    average and longest duration.  A table without a ``return`` or
    ``duration`` column gives NaN (NaT) for the figures taken from it."""
    n = closed.n
    pnl = closed.pnl
    expectancy = float(np.mean(pnl)) if n else math.nan
    sqn = math.nan
    if n > 1:
        std = float(_zero_dispersion_std(pnl, np.std(pnl, ddof=1)))
        if std > 0:
            sqn = _finite_or_nan(math.sqrt(n) * expectancy / std)
    figures: dict[str, Any] = {"Expectancy": _finite_or_nan(expectancy), "SQN": sqn}
    if n and closed.returns is not None:
        returns = closed.returns
        known = np.isfinite(returns)
        wins, losses = returns[known & (pnl > 0)], returns[known & (pnl < 0)]
        kelly = math.nan  # without a winning and a losing round trip there are no odds
        if len(wins) and len(losses):
            payoff = float(np.mean(wins)) / -float(np.mean(losses))
            if payoff > 0:
                kelly = win_rate - (1 - win_rate) / payoff
        shown = returns[known]
        figures.update(
            {
                "Kelly criterion": _finite_or_nan(kelly),
                "Best trade": float(np.max(shown)) if len(shown) else math.nan,
                "Worst trade": float(np.min(shown)) if len(shown) else math.nan,
                "Average trade": _finite_or_nan(np.mean(shown)) if len(shown) else math.nan,
            }
        )
    else:
        figures.update(
            dict.fromkeys(
                ("Kelly criterion", "Best trade", "Worst trade", "Average trade"), math.nan
            )
        )
    if n and closed.held is not None:
        figures["Average trade duration"], figures["Max trade duration"] = _delta_figures(
            closed.held
        )
    else:
        figures["Average trade duration"] = figures["Max trade duration"] = pd.NaT
    return figures


def compute_stats(
    equity_curve: pd.Series,
    trades: pd.DataFrame,
    round_trips: pd.DataFrame,
    *,
    frequency: str,
    initial_cash: float,
    exposure: pd.Series,
    orders: pd.DataFrame | None = None,
    benchmark: pd.Series | None = None,
    periods_per_year: float = PERIODS_PER_YEAR,
    calendar: Calendar | None = None,
) -> pd.Series:
    """All statistics of a run, as a Series indexed by readable names.

    ``equity_curve``: total equity per bar, indexed by time.  ``trades``: the
    fills (a ``fee`` column is summed).  ``round_trips``: positions with a
    ``pnl`` column; those whose ``exit_reason`` is ``OPEN_AT_END`` are only
    counted (``Open at the end``), the figures are of the others, the closed
    ones.  ``exposure``: one boolean per bar, True while any
    position is open.  ``frequency``: ``"day"`` or ``"minute"``.  ``orders``:
    the orders table (a ``status`` column), counted into the order statistics;
    without it they are NaN.  ``benchmark``: the benchmark's equity at the
    same bars, starting from the same initial cash; without it (or empty) the
    benchmark figures are NaN.  ``periods_per_year``: what annualises the
    daily figures (a run's calendar's sessions a year); ``calendar``: the
    sessions minute curves are reduced to (without one, calendar dates).
    """
    with np.errstate(all="ignore"), warnings.catch_warnings():
        # Extreme (or infinite) equity overflows some sums; the figures it
        # spoils come out NaN or infinite, without a warning.
        warnings.simplefilter("ignore", RuntimeWarning)
        stats = _compute_stats(
            equity_curve,
            trades,
            round_trips,
            frequency=frequency,
            initial_cash=initial_cash,
            exposure=exposure,
            orders=orders,
            per_year=periods_per_year,
            calendar=calendar,
        )
        stats.update(
            _benchmark_stats(
                equity_curve, benchmark, frequency, initial_cash, periods_per_year, calendar
            )
        )
        return pd.Series(
            [stats[name] for name in STAT_NAMES], index=list(STAT_NAMES), dtype=object, name="stats"
        )


def _benchmark_stats(
    equity_curve, benchmark, frequency, initial_cash, per_year=PERIODS_PER_YEAR, calendar=None
) -> dict:
    """The benchmark's return, CAGR and drawdown, and alpha, beta and the
    information ratio of the run against it."""
    out = dict.fromkeys(BENCHMARK_STATS, math.nan)
    if benchmark is None or not len(benchmark) or not np.isfinite(benchmark.astype(float)).any():
        return out
    initial = float(initial_cash)
    bench = benchmark.astype(float).sort_index()
    final = float(bench.iloc[-1])
    out["Benchmark return"] = final / initial - 1.0 if initial > 0 else math.nan
    out["Benchmark annualised return"] = _cagr(initial, final, bench.index[0], bench.index[-1])
    dd = _drawdown(bench.to_numpy(), initial)
    out["Benchmark max drawdown"] = float(np.nanmin(dd)) if len(dd) else math.nan
    curve = equity_curve.astype(float).sort_index()
    if curve.index.equals(bench.index) and curve.index.is_unique:  # the common case: the same bars
        ours = _returns(_daily(curve, frequency, calendar).to_numpy(), initial)
        theirs = _returns(_daily(bench, frequency, calendar).to_numpy(), initial)
        both = np.isfinite(ours) & np.isfinite(theirs)
        ours, theirs = ours[both], theirs[both]
    else:
        joined = pd.concat(
            [
                daily_returns(curve, initial, frequency, calendar),
                daily_returns(bench, initial, frequency, calendar),
            ],
            axis=1,
            join="inner",
        )
        joined = joined.replace([np.inf, -np.inf], np.nan).dropna()
        ours, theirs = joined.iloc[:, 0].to_numpy(), joined.iloc[:, 1].to_numpy()
    if len(ours) < 2:
        return out
    if float(np.std(theirs)) * math.sqrt(per_year) > _ZERO_VOL:
        alpha, beta = _alpha_beta(ours, theirs, per_year)
        out["Alpha"], out["Beta"] = _finite_or_nan(alpha), _finite_or_nan(beta)
    active = ours - theirs
    if float(np.std(active)) * math.sqrt(per_year) > _ZERO_VOL:
        out["Information ratio"] = _finite_or_nan(
            _excess_sharpe(ours, theirs) * math.sqrt(per_year)
        )
    return out


def _spell_figures(dd: pd.Series):
    """The average depth and the average length (peak to recovery, or to the
    last bar) of the spells under water of a drawdown series."""
    values = dd.to_numpy(dtype=float)
    if not len(values):
        return math.nan, pd.NaT
    peaks, first, ends, _ = _spells(values)
    depths = _spell_depths(values, first)
    deep = depths < 0
    if not deep.any():
        return math.nan, pd.NaT
    times = dd.index.to_numpy()
    average_length, _ = _delta_figures(times[ends[deep]] - times[peaks[deep]])
    return float(np.mean(depths[deep])), average_length


def _delta_figures(deltas):
    """The average and the longest of an array of durations (NaT skipped;
    NaT without any)."""
    if deltas.dtype.kind != "m":  # not durations of times (the curve had no times): as they are
        return (np.mean(deltas), np.max(deltas)) if len(deltas) else (pd.NaT, pd.NaT)
    known = deltas[~np.isnat(deltas)]
    if not len(known):
        return pd.NaT, pd.NaT
    average = np.int64(round(float(np.mean(known.view(np.int64))))).astype(known.dtype)
    return pd.Timedelta(average), pd.Timedelta(known.max())


def _distribution_figures(values):
    """Skew, excess kurtosis (the population moments, as ``scipy.stats``'s
    ``skew`` and ``kurtosis`` give them), the value at risk, the expected
    shortfall (``empyrical``'s historical ``value_at_risk`` and
    ``conditional_value_at_risk`` of the worst 5 %) and ``empyrical``'s tail
    ratio of finite daily returns."""
    n = len(values)
    if not n:
        return (math.nan,) * 5
    skew = kurtosis = math.nan
    mean = float(np.mean(values))
    deviations = values - mean
    squares = deviations * deviations
    m2 = float(np.mean(squares))
    # no dispersion, or only rounding noise of it (as scipy tells it): no shape
    if n > 1 and values.max() != values.min() and m2 > (np.finfo(float).eps * mean) ** 2:
        skew = _finite_or_nan(np.mean(squares * deviations) / m2**1.5)
        kurtosis = _finite_or_nan(np.mean(squares * squares) / (m2 * m2) - 3.0)
    low, high = np.percentile(values, [100 * _TAIL, 100 * (1 - _TAIL)])
    cut = int((n - 1) * _TAIL)
    shortfall = float(np.mean(np.partition(values, cut)[: cut + 1]))
    tail = _finite_or_nan(abs(high) / abs(low)) if low != 0 else math.nan
    return skew, kurtosis, float(low), shortfall, tail


def _compute_stats(
    equity_curve,
    trades,
    round_trips,
    *,
    frequency,
    initial_cash,
    exposure,
    orders,
    per_year=PERIODS_PER_YEAR,
    calendar=None,
):
    curve = equity_curve.astype(float).sort_index()
    initial = float(initial_cash)
    start = curve.index[0] if len(curve) else pd.NaT
    end = curve.index[-1] if len(curve) else pd.NaT
    final = float(curve.iloc[-1]) if len(curve) else initial

    values = _returns(_daily(curve, frequency, calendar).to_numpy(), initial)
    values = values[np.isfinite(values)]
    vol = _annual_volatility(values, per_year) if len(values) > 1 else math.nan
    if np.isfinite(vol) and vol > _ZERO_VOL:
        sharpe = _finite_or_nan(_sharpe_ratio(values, per_year))
    else:
        sharpe = math.nan
    downside = _downside_risk(values, per_year) if len(values) > 1 else math.nan
    if np.isfinite(downside) and downside > _ZERO_VOL:
        sortino = _finite_or_nan(bn.nanmean(values, axis=0) * per_year / downside)
    else:
        sortino = math.nan

    dd = drawdown_series(curve, initial)
    peak, trough, longest = _drawdown_dates(dd)
    deepest = float(np.nanmin(dd.to_numpy())) if len(dd) else math.nan
    average_depth, average_length = _spell_figures(dd)
    cagr = _cagr(initial, final, start, end)
    calmar = _finite_or_nan(cagr / -deepest) if deepest < 0 else math.nan
    skew, kurtosis, var, shortfall, tail = _distribution_figures(values)
    closed, still_open = _closed(round_trips)
    n_rt, still_open, win_rate, factor, avg_win, avg_loss = _round_trip_figures(closed, still_open)
    fees = float(trades["fee"].astype(float).sum()) if len(trades) else 0.0
    exposed = exposure.to_numpy(dtype=bool)
    counts = order_counts(orders) if orders is not None else dict.fromkeys(ORDER_STATS, math.nan)
    return {
        "Start": start,
        "End": end,
        "Duration": (end - start) if len(curve) else pd.NaT,
        "Initial equity": initial,
        "Final equity": final,
        "Total return": final / initial - 1.0 if initial > 0 else math.nan,
        "Annualised return": cagr,
        "Annualised volatility": vol,
        "Sharpe ratio": sharpe,
        "Sortino ratio": sortino,
        "Calmar ratio": calmar,
        "Max drawdown": deepest,
        "Max drawdown peak": peak,
        "Max drawdown trough": trough,
        "Longest drawdown": longest,
        "Average drawdown": average_depth,
        "Average drawdown length": average_length,
        "Skew": skew,
        "Excess kurtosis": kurtosis,
        "Daily value at risk": var,
        "Daily expected shortfall": shortfall,
        "Tail ratio": tail,
        **{name: counts[name] for name in ORDER_STATS},
        "Trades": len(trades),
        "Round trips": n_rt,
        "Open at the end": still_open,
        "Win rate": win_rate,
        "Profit factor": factor,
        "Average win": avg_win,
        "Average loss": avg_loss,
        **_trade_figures(closed, win_rate),
        "Total fees": fees,
        "Exposure": float(exposed.mean()) if len(exposed) else math.nan,
    }


# The ratios of daily returns (1-D float arrays of two values or more), with
# ``empyrical``'s formulas and operations in its order (bottleneck's sums) (a risk-free and a
# required return of 0, ``per_year`` periods a year, 252 by default); tests hold them to
# its results.


def _annual_volatility(returns, per_year=PERIODS_PER_YEAR):
    return float(bn.nanstd(returns, ddof=1, axis=0) * per_year ** (1.0 / 2.0))


def _zero_dispersion_std(values, std):
    """0 where every value is equal (the mean they centre on can leave a residue
    of 1e-18, which would make a ratio over it arbitrary), else ``std``."""
    with np.errstate(invalid="ignore"):
        constant = (bn.nanmax(values, axis=0) == bn.nanmin(values, axis=0)) & np.isfinite(std)
    return np.where(constant, 0.0, std)


def _sharpe_ratio(returns, per_year=PERIODS_PER_YEAR):
    std = _zero_dispersion_std(returns, bn.nanstd(returns, ddof=1, axis=0))
    with np.errstate(divide="ignore", invalid="ignore"):
        return float(np.multiply(np.divide(bn.nanmean(returns, axis=0), std), np.sqrt(per_year)))


def _downside_risk(returns, per_year=PERIODS_PER_YEAR):
    below = np.clip(returns, -np.inf, 0)
    np.square(below, out=below)
    return float(np.multiply(np.sqrt(bn.nanmean(below, axis=0)), np.sqrt(per_year)))


def _excess_sharpe(returns, factor_returns):
    active = returns - factor_returns
    tracking_error = _zero_dispersion_std(active, bn.nanstd(active, ddof=1, axis=0))
    with np.errstate(divide="ignore", invalid="ignore"):
        return float(np.divide(bn.nanmean(active, axis=0), tracking_error))


def _alpha_beta(returns, factor_returns, per_year=PERIODS_PER_YEAR):
    """(alpha annualised, beta) of ``returns`` on ``factor_returns``."""
    dependent, factor = returns[:, np.newaxis], factor_returns[:, np.newaxis]
    independent = np.where(np.isnan(dependent), np.nan, factor)
    residual = independent - bn.nanmean(independent, axis=0)
    covariances = bn.nanmean(residual * dependent, axis=0)
    np.square(residual, out=residual)
    variances = bn.nanmean(residual, axis=0)
    variances[variances < 1.0e-30] = np.nan
    beta = np.divide(covariances, variances).item()
    alpha = np.subtract(
        np.power(np.add(bn.nanmean(returns - beta * factor_returns, axis=0), 1), per_year),
        1,
    )
    return float(alpha), beta


def caveats(stats: pd.Series) -> list[str]:
    """What the reader of ``stats`` should know before trusting them: a run
    shorter than ``SHORT_RUN`` (about three months) gives annualised figures
    (``ANNUALISED_STATS``) of no meaning, though they are computed all the
    same.  Each caveat is one line of text; none when the run is long enough
    or has no annualised figure."""
    duration = stats.get("Duration")
    if duration is None or pd.isna(duration) or pd.Timedelta(duration) >= SHORT_RUN:
        return []
    figures = [stats.get(name) for name in ANNUALISED_STATS]
    if not any(isinstance(v, (float, np.floating)) and math.isfinite(v) for v in figures):
        return []
    return [f"annualised from {_span(pd.Timedelta(duration))}: not meaningful below about 3 months"]


def _span(delta: pd.Timedelta) -> str:
    """A run's span in words: "5 days", "2.5 days", "6.5 hours", "30 minutes"."""
    hours = delta / pd.Timedelta(hours=1)
    if hours >= 24:
        count, unit = round(hours / 24, 1), "day"
    elif hours >= 1:
        count, unit = round(hours, 1), "hour"
    else:
        count, unit = round(hours * 60), "minute"
    return f"{count:g} {unit}" + ("" if count == 1 else "s")


def format_stat(name: str, value) -> str:
    """A statistic as shown in the summary and the report."""
    kind = _KINDS.get(name, "")
    if (
        value is None
        or value is pd.NaT
        or (isinstance(value, (float, np.floating)) and np.isnan(value))
    ):
        return "–"
    if kind == "time":
        ts = pd.Timestamp(value)
        return ts.strftime("%Y-%m-%d") if ts == ts.normalize() else ts.strftime("%Y-%m-%d %H:%M")
    if kind == "delta":
        return _format_delta(pd.Timedelta(value))
    if isinstance(value, (int, float, np.integer, np.floating)) and np.isinf(value):
        return "∞" if value > 0 else "−∞"
    if kind in ("pct", "ratio", "money") and isinstance(
        value, (int, float, np.integer, np.floating)
    ):
        value = float(value) * (100 if kind == "pct" else 1)
        suffix = "%" if kind == "pct" else ""
        if abs(value) >= _LARGE:  # beyond any real amount: short, in powers of ten
            return f"{value:.4g}{suffix}" if math.isfinite(value) else ("∞" if value > 0 else "−∞")
        return f"{value:,.2f}{suffix}"
    if kind == "int":
        return f"{int(value):,d}"
    return str(value)


def _format_delta(delta: pd.Timedelta) -> str:
    days = delta.days
    hours, rest = divmod(delta.seconds, 3600)
    minutes = rest // 60
    if days and not (hours or minutes):
        return f"{days} day" + ("s" if days != 1 else "")
    if days:
        return f"{days}d {hours:02d}:{minutes:02d}"
    return f"{hours:02d}:{minutes:02d}"


def stats_to_json(stats: pd.Series) -> dict:
    """Plain JSON values: times as ISO text, durations as pandas' text form
    (``pd.Timedelta`` reads it back), NaN as null and infinities as text."""
    out: dict[Any, Any] = {}
    for name, value in stats.items():
        if isinstance(value, pd.Timestamp):
            out[name] = value.isoformat()
        elif isinstance(value, pd.Timedelta):
            out[name] = str(value)
        elif value is None or value is pd.NaT:
            out[name] = None
        elif isinstance(value, (np.integer, int)) and not isinstance(value, bool):
            out[name] = int(value)
        elif isinstance(value, (np.floating, float)):
            v = float(value)
            out[name] = (
                None
                if math.isnan(v)
                else ("inf" if v == math.inf else "-inf" if v == -math.inf else v)
            )
        else:
            out[name] = value
    return out


def stats_to_numbers(stats: pd.Series) -> dict:
    """The statistics as plain numbers in the units of ``STAT_UNITS``: times
    as ISO 8601 text, durations in days, fractions as fractions (0.05 for
    5 %), counts as whole numbers; a figure that is undefined or infinite
    (a profit factor without a loss) is null."""
    out: dict[Any, Any] = {}
    for name, value in stats.items():
        if value is None or value is pd.NaT:
            out[name] = None
        elif isinstance(value, pd.Timestamp):
            out[name] = value.isoformat()
        elif isinstance(value, pd.Timedelta):
            out[name] = value / pd.Timedelta(days=1)
        elif isinstance(value, (bool, np.bool_)):
            out[name] = bool(value)
        elif isinstance(value, (np.integer, int)):
            out[name] = int(value)
        elif isinstance(value, (np.floating, float)):
            v = float(value)
            out[name] = v if math.isfinite(v) else None
        else:
            out[name] = value
    return out


def period_returns(curve: pd.Series, initial_cash: float, period: str) -> pd.Series:
    """The return of each calendar month (``period="M"``) or year (``"Y"``)
    of an equity curve: its last value over the last value of the period
    before (the initial cash for the first), indexed by the period's
    ``pd.Period``.  Periods without bars are left out; a non-positive base
    gives NaN."""
    if period not in ("M", "Y"):
        raise ValueError(f"period must be 'M' or 'Y', not {period!r}")
    values = curve.astype(float).sort_index()
    if values.empty:
        return pd.Series(dtype=float, name="return")
    index = pd.DatetimeIndex(values.index)
    last = values.groupby(index.to_period(period)).last()
    base = last.shift(1)
    base.iloc[0] = float(initial_cash)
    with np.errstate(divide="ignore", invalid="ignore"):
        returns = last / base - 1.0
    return returns.where(base > 0).replace([np.inf, -np.inf], np.nan).rename("return")


def rolling_figures(
    equity_curve: pd.Series,
    initial_cash: float,
    frequency: str,
    window: int,
    periods_per_year: float = PERIODS_PER_YEAR,
    calendar: Calendar | None = None,
) -> pd.DataFrame:
    """Rolling annualised Sharpe ratio and volatility over ``window`` daily
    returns (columns ``sharpe`` and ``volatility``, indexed by day; NaN until
    a window is full, and the Sharpe ratio NaN where the volatility is
    numerically zero), computed as the whole run's figures are."""
    rets = daily_returns(equity_curve, initial_cash, frequency, calendar)
    rets = rets.replace([np.inf, -np.inf], np.nan)
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        rolling = rets.rolling(window, min_periods=window)
        std = rolling.std(ddof=1)
        vol = std * math.sqrt(periods_per_year)
        sharpe = (rolling.mean() / std * math.sqrt(periods_per_year)).where(vol > _ZERO_VOL)
    return pd.DataFrame({"sharpe": sharpe, "volatility": vol}).replace([np.inf, -np.inf], np.nan)
