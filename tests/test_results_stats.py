"""Statistics of a run, checked against figures worked out by hand."""

import math

import numpy as np
import pandas as pd
import pytest

from korvit.backtest.stats import compute_stats, stats_to_json

# Any warning (division by zero, empty mean, ...) is a fault here.
pytestmark = pytest.mark.filterwarnings("error")

SQRT252 = math.sqrt(252)


def _stats(values, times, *, initial=1000.0, frequency="day", pnl=(), fees=(), exposure=None):
    curve = pd.Series(values, index=pd.DatetimeIndex(times), dtype=float)
    trades = pd.DataFrame({"fee": list(fees)}, dtype=float)
    round_trips = pd.DataFrame({"pnl": list(pnl)}, dtype=float)
    if exposure is None:
        exposure = [False] * len(values)
    return compute_stats(
        curve,
        trades,
        round_trips,
        frequency=frequency,
        initial_cash=initial,
        exposure=pd.Series(exposure, index=curve.index, dtype=bool),
    )


def test_daily_run_worked_by_hand():
    # Initial cash 1000; closes 1100, 990, 1089, 1089 on four calendar days.
    # Daily returns (the first against the cash): +0.10, -0.10, +0.10, 0.
    #   mean = 0.1/4 = 0.025
    #   squared deviations: 0.075² + 0.125² + 0.075² + 0.025² = 0.0275
    #   sample std = sqrt(0.0275 / 3)
    #   volatility = std * sqrt(252)
    #   Sharpe = 0.025 / std * sqrt(252) = 0.025 * sqrt(252 * 3 / 0.0275) ≈ 4.1451
    #   downside deviation = sqrt((0 + 0.1² + 0 + 0) / 4) = 0.05
    #   Sortino = 0.025 * 252 / (0.05 * sqrt(252)) = 0.5 * sqrt(252) ≈ 7.9373
    # Peak 1100 on day 1, trough 990 on day 2: drawdown 990/1100 - 1 = -10 %;
    # never back to 1100, so under water from day 1 to day 4: 3 days.
    # Total return 1089/1000 - 1 = 8.9 %; CAGR over 3 calendar days:
    #   1.089 ** (365.25 / 3) - 1.
    # Round trips +30, -10, +20, -5: win rate 2/4, profit factor 50/15,
    # average win 25, average loss -7.5.  Fees 1.5 + 2.5.  Exposed 3 of 4 bars.
    s = _stats(
        [1100, 990, 1089, 1089],
        pd.date_range("2024-01-01", periods=4),
        pnl=[30, -10, 20, -5],
        fees=[1.5, 2.5],
        exposure=[True, False, True, True],
    )
    assert s["Start"] == pd.Timestamp("2024-01-01")
    assert s["End"] == pd.Timestamp("2024-01-04")
    assert s["Duration"] == pd.Timedelta(days=3)
    assert s["Initial equity"] == 1000 and s["Final equity"] == 1089
    assert s["Total return"] == pytest.approx(0.089)
    assert s["Annualised return"] == pytest.approx(1.089 ** (365.25 / 3) - 1)
    assert s["Annualised volatility"] == pytest.approx(math.sqrt(0.0275 / 3) * SQRT252)
    assert s["Sharpe ratio"] == pytest.approx(4.145095, rel=1e-6)
    assert s["Sortino ratio"] == pytest.approx(0.5 * SQRT252)
    assert s["Max drawdown"] == pytest.approx(-0.10)
    assert s["Max drawdown peak"] == pd.Timestamp("2024-01-01")
    assert s["Max drawdown trough"] == pd.Timestamp("2024-01-02")
    assert s["Longest drawdown"] == pd.Timedelta(days=3)
    assert s["Trades"] == 2 and s["Round trips"] == 4
    assert s["Win rate"] == pytest.approx(0.5)
    assert s["Profit factor"] == pytest.approx(50 / 15)
    assert s["Average win"] == pytest.approx(25)
    assert s["Average loss"] == pytest.approx(-7.5)
    assert s["Total fees"] == pytest.approx(4.0)
    assert s["Exposure"] == pytest.approx(0.75)


def test_minute_bars_use_daily_closes_for_risk_but_every_bar_for_drawdown():
    # Day 1 minutes: 1050, 1020 (close 1020); day 2 minutes: 1040, 1010 (close 1010).
    # Daily returns: 1020/1000 - 1 = 0.02 and 1010/1020 - 1; volatility is their
    # sample std * sqrt(252).  The drawdown sees the intraday peak 1050 and the
    # last bar 1010: 1010/1050 - 1, deeper than any daily close shows.
    times = ["2024-03-04 09:31", "2024-03-04 15:00", "2024-03-05 09:31", "2024-03-05 15:00"]
    s = _stats([1050, 1020, 1040, 1010], times, frequency="minute")
    r = np.array([0.02, 1010 / 1020 - 1])
    assert s["Annualised volatility"] == pytest.approx(r.std(ddof=1) * SQRT252)
    assert s["Sharpe ratio"] == pytest.approx(r.mean() / r.std(ddof=1) * SQRT252)
    assert s["Max drawdown"] == pytest.approx(1010 / 1050 - 1)
    assert s["Max drawdown peak"] == pd.Timestamp("2024-03-04 09:31")
    assert s["Max drawdown trough"] == pd.Timestamp("2024-03-05 15:00")


def test_longest_drawdown_is_the_longest_spell_not_the_deepest():
    # Spell A: peak day 1, deep (-20 %), recovered on day 3 -> 2 days.
    # Spell B: peak day 3 (1010), shallow, recovered on day 8 -> 5 days.
    times = pd.to_datetime(
        ["2024-01-01", "2024-01-02", "2024-01-03", "2024-01-04", "2024-01-08", "2024-01-09"]
    )
    s = _stats([1000, 800, 1010, 1005, 1020, 1030], times)
    assert s["Max drawdown"] == pytest.approx(-0.2)
    assert s["Max drawdown trough"] == pd.Timestamp("2024-01-02")
    assert s["Longest drawdown"] == pd.Timedelta(days=5)


def test_first_bar_below_the_initial_cash_is_a_drawdown():
    s = _stats([900, 950], pd.date_range("2024-01-01", periods=2))
    assert s["Max drawdown"] == pytest.approx(-0.10)
    assert s["Longest drawdown"] == pd.Timedelta(days=1)


@pytest.mark.parametrize(
    "values", [[1000.0] * 5, [1000 * 1.01**k for k in range(1, 6)]], ids=["flat", "constant growth"]
)
def test_zero_volatility_gives_nan_ratios_not_inf(values):
    s = _stats(values, pd.date_range("2024-01-01", periods=len(values)))
    assert s["Annualised volatility"] == pytest.approx(0.0, abs=1e-9)
    assert math.isnan(s["Sharpe ratio"]) and math.isnan(s["Sortino ratio"])


def test_flat_run_without_trades():
    s = _stats([1000.0] * 3, pd.date_range("2024-01-01", periods=3))
    assert s["Total return"] == 0 and s["Max drawdown"] == 0
    assert s["Longest drawdown"] == pd.Timedelta(0)
    assert s["Max drawdown peak"] is pd.NaT
    assert s["Trades"] == 0 and s["Round trips"] == 0 and s["Total fees"] == 0
    for name in ("Win rate", "Profit factor", "Average win", "Average loss"):
        assert math.isnan(s[name]), name
    assert s["Exposure"] == 0


def test_single_bar_and_no_bar():
    one = _stats([1010.0], ["2024-01-02"])
    assert one["Total return"] == pytest.approx(0.01)
    assert one["Duration"] == pd.Timedelta(0)
    assert math.isnan(one["Annualised return"]) and math.isnan(one["Annualised volatility"])
    assert math.isnan(one["Sharpe ratio"])
    none = _stats([], [])
    assert none["Start"] is pd.NaT and none["Final equity"] == 1000
    assert math.isnan(none["Max drawdown"]) and math.isnan(none["Exposure"])


def test_profit_factor_edges():
    days = pd.date_range("2024-01-01", periods=2)
    assert _stats([1000, 1000], days, pnl=[5, 7])["Profit factor"] == math.inf
    assert math.isnan(_stats([1000, 1000], days, pnl=[0.0])["Profit factor"])
    assert _stats([1000, 1000], days, pnl=[-3])["Profit factor"] == 0


def test_total_loss_and_rejected_frequency():
    s = _stats([500, -100], pd.date_range("2024-01-01", periods=2))
    assert s["Annualised return"] == -1.0
    assert s["Max drawdown"] == pytest.approx(-1.1)
    with pytest.raises(ValueError, match="frequency"):
        _stats([1000], ["2024-01-01"], frequency="hour")


def test_json_form_is_strict_json():
    import json

    s = _stats([1000, 1000], pd.date_range("2024-01-01", periods=2), pnl=[5])
    doc = stats_to_json(s)
    text = json.dumps(doc, allow_nan=False)  # NaN / inf would raise here
    back = json.loads(text)
    assert back["Start"] == "2024-01-01T00:00:00"
    assert pd.Timedelta(back["Duration"]) == pd.Timedelta(days=1)
    assert back["Profit factor"] == "inf" and back["Sharpe ratio"] is None
    assert back["Trades"] == 0
