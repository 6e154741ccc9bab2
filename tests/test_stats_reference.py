"""The statistics a quant compares, each held to an outside reference: empyrical's
functions and scipy's moments on seeded random daily runs, and the round-trip and
drawdown figures (which have no such function) on a run worked by hand."""

import math
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvit.backtest.stats import compute_stats, daily_returns, drawdown_series, worst_drawdowns

empyrical = pytest.importorskip("empyrical")
scipy_stats = pytest.importorskip("scipy.stats")

pytestmark = pytest.mark.filterwarnings("error")  # an undefined figure is NaN, never a warning

# On consecutive calendar days n daily returns span n - 1 days, so the CAGR over calendar
# days is empyrical's annual return at 365.25 × n / (n - 1) periods a year.
REFERENCE = {
    "Calmar ratio": lambda r: empyrical.calmar_ratio(
        r, annualization=365.25 * len(r) / (len(r) - 1)
    ),
    "Skew": lambda r: scipy_stats.skew(r),
    "Excess kurtosis": lambda r: scipy_stats.kurtosis(r),
    "Daily value at risk": lambda r: empyrical.value_at_risk(r),
    "Daily expected shortfall": lambda r: empyrical.conditional_value_at_risk(r),
    "Tail ratio": lambda r: empyrical.tail_ratio(r),
}
_rng = np.random.default_rng(34)
RUNS = [
    _rng.normal(5e-4, 0.01, 500),
    0.01 * _rng.standard_t(3, 260),  # fat tails
    np.array([0.01, -0.02, 0.005]),
    np.zeros(40),  # flat: no shape, no tail, no drawdown
    np.array([0.02, 0.01, 0.03, 0.01]),  # never under water
]

# The hand-worked run: cash 100, closes 100 90 95 100 110 99 104 88 120 115 on consecutive
# days.  Under water from day 1 (peak) to day 4 (back at 100), deepest 90/100 - 1 = -10 %, 3
# days; from day 5 (110) to day 9 (120), deepest 88/110 - 1 = -20 %, 4 days; from day 9 to the
# end, 115/120 - 1, 1 day.  Round trips: P&L 100, -50, 200, -50 on returns 0.1, -0.05, 0.2,
# -0.05, held 1, 2, 3 and 6 days: mean P&L 50, sample variance (50² + 100² + 150² + 100²)/3 =
# 15000, so SQN = √4 × 50 / √15000 = √(2/3); payoff 0.15 / 0.05 = 3, win rate ½, Kelly
# ½ - ½/3 = ⅓.
CLOSES = [100, 90, 95, 100, 110, 99, 104, 88, 120, 115]
BY_HAND = {
    "Average drawdown": (-0.1 - 0.2 - 1 / 24) / 3,
    "Average drawdown length": pd.Timedelta(days=8) / 3,
    "Expectancy": 50.0,
    "SQN": math.sqrt(2 / 3),
    "Kelly criterion": 1 / 3,
    "Best trade": 0.2,
    "Worst trade": -0.05,
    "Average trade": 0.05,
    "Average trade duration": pd.Timedelta(days=3),
    "Max trade duration": pd.Timedelta(days=6),
}


def _curve(values):
    return pd.Series(values, index=pd.date_range("2024-01-01", periods=len(values)), dtype=float)


def _stats(curve, cash, round_trips=None):
    return compute_stats(
        curve,
        pd.DataFrame({"fee": []}, dtype=float),
        pd.DataFrame({"pnl": []}, dtype=float) if round_trips is None else round_trips,
        frequency="day",
        initial_cash=cash,
        exposure=pd.Series(False, index=curve.index),
    )


def _same(ours, theirs):
    if isinstance(theirs, pd.Timedelta):
        assert abs(ours - theirs) <= pd.Timedelta(microseconds=1), (ours, theirs)
    elif not math.isfinite(theirs):  # the reference divides by zero where the figure is undefined
        assert math.isnan(ours), (ours, theirs)
    else:
        assert ours == pytest.approx(theirs, rel=1e-9, abs=1e-15), (ours, theirs)


@pytest.mark.parametrize("name", [*REFERENCE, *BY_HAND])
def test_each_statistic_is_its_references(name):
    if name in BY_HAND:
        round_trips = pd.DataFrame(
            {
                "pnl": [100.0, -50.0, 200.0, -50.0],
                "return": [0.1, -0.05, 0.2, -0.05],
                "duration": pd.to_timedelta([1, 2, 3, 6], unit="D"),
            }
        )
        _same(_stats(_curve(CLOSES), 100.0, round_trips)[name], BY_HAND[name])
        return
    for returns in RUNS:
        curve = _curve(1e6 * np.cumprod(1 + returns))
        seen = daily_returns(curve, 1e6, "day").to_numpy()  # the returns the statistics see
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            expected = float(REFERENCE[name](seen))
        _same(_stats(curve, 1e6)[name], expected)


@settings(max_examples=80, deadline=None)
@given(
    st.lists(
        st.sampled_from([80.0, 90.0, 100.0, 120.0]) | st.floats(50, 150), min_size=1, max_size=40
    )
)
def test_the_worst_drawdowns_are_the_spells_under_water_deepest_first(values):
    curve = _curve(values)
    every = worst_drawdowns(curve, 100.0, top=len(values))
    dd = drawdown_series(curve, 100.0)
    covered = pd.Series(False, index=curve.index)
    for row in every.itertuples():
        end = curve.index[-1] if pd.isna(row.recovery) else row.recovery
        spell = dd[row.peak : end]
        assert spell.min() == row.depth == dd[row.trough] < 0 and row.length == end - row.peak
        assert not dd[row.peak : row.trough].iloc[:-1].le(row.depth).any()  # first at its lowest
        assert dd[row.peak] == 0 or row.peak == curve.index[0]  # the last bar at the peak
        assert spell.iloc[1:-1].lt(0).all()  # under water throughout
        assert pd.isna(row.recovery) or dd[row.recovery] == 0
        assert not covered[row.peak : end].iloc[1:-1].any()  # apart from one another
        covered[row.peak : end] = True
    assert covered[dd < 0].all()  # every bar under water is in one of them
    assert list(every["depth"]) == sorted(every["depth"])
    stats = _stats(curve, 100.0)
    if len(every):
        assert (every.loc[0, "depth"], every.loc[0, "peak"], every.loc[0, "trough"]) == (
            stats["Max drawdown"],
            stats["Max drawdown peak"],
            stats["Max drawdown trough"],
        )
        assert every["length"].max() == stats["Longest drawdown"]
        assert stats["Average drawdown"] == pytest.approx(every["depth"].mean(), rel=1e-12)
    pd.testing.assert_frame_equal(worst_drawdowns(curve, 100.0), every.head(5))
