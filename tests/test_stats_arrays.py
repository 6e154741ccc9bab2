"""The statistics taken on numpy arrays against the same steps taken in pandas:
equal to the bit, NaN, infinities and signed zeros included."""

import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvit.backtest.results import BacktestResult
from korvit.backtest.stats import (
    _drawdown_dates,
    _drawdown_dates_by_label,
    drawdown_series,
    order_counts,
)

VALUES = st.sampled_from(
    [100.0, 90.0, 110.0, 99.5, 0.0, -0.0, -5.0, math.nan, math.inf, -math.inf, 1e300]
)


def _drawdown_in_pandas(curve, initial_cash):
    """The drawdown by pandas' own cummax, clip and where."""
    values = curve.astype(float)
    values = values.where(np.isfinite(values))
    peak = values.cummax()
    if initial_cash is not None and initial_cash > 0 and np.isfinite(initial_cash):
        peak = peak.clip(lower=float(initial_cash))
    with np.errstate(divide="ignore", invalid="ignore"):
        dd = values / peak - 1.0
    return dd.where(peak > 0, 0.0).clip(upper=0.0).rename("drawdown")


def _bits(series):
    values = series.to_numpy(dtype=float)
    return np.where(np.isnan(values), 0.0, values).view(np.int64).tolist(), np.isnan(
        values
    ).tolist()


@settings(max_examples=150, deadline=None)
@given(st.lists(VALUES, max_size=30), st.sampled_from([None, 100.0, 95.0, 0.0, -1.0, math.nan]))
def test_the_drawdown_and_its_dates_are_pandas_to_the_bit(values, initial_cash):
    curve = pd.Series(values, index=pd.date_range("2024-01-01", periods=len(values), freq="D"))
    dd = drawdown_series(curve, initial_cash)
    expected = _drawdown_in_pandas(curve, initial_cash)
    pd.testing.assert_series_equal(dd, expected)
    assert _bits(dd) == _bits(expected)
    assert _drawdown_dates(dd) == _drawdown_dates_by_label(dd) if (dd < 0).any() else True


def test_a_curve_whose_times_repeat_takes_its_dates_by_label():
    times = pd.DatetimeIndex(["2024-01-01", "2024-01-02", "2024-01-02", "2024-01-03"])
    dd = drawdown_series(pd.Series([100.0, 90.0, 80.0, 100.0], index=times), 100.0)
    peak, trough, longest = _drawdown_dates(dd)
    assert (peak, trough, longest) == (times[0], times[1], pd.Timedelta(days=2))


@settings(max_examples=60, deadline=None)
@given(
    st.lists(
        st.tuples(st.integers(0, 6), st.integers(1, 3), VALUES, VALUES), min_size=1, max_size=20
    )
)
def test_the_equity_curve_and_exposure_are_the_group_sums_of_the_table(rows):
    """One account (one row a time, the quick way) or several: the curve is the
    sum of each time's equity, the exposure whether anything is held."""
    times = pd.Timestamp("2024-01-01") + pd.to_timedelta([day for day, *_ in rows], unit="D")
    equity = pd.DataFrame(
        {
            "time": times,
            "account": [f"a{k}" for _, k, _, _ in rows],
            "cash": 0.0,
            "market_value": [value for _, _, value, _ in rows],
            "margin": 0.0,
            "equity": [value for *_, value in rows],
        }
    ).sort_values("time", kind="stable")
    for table in (equity, equity.drop_duplicates("time")):
        result = BacktestResult(table, None, None, None, frequency="day", initial_cash=1.0)
        expected = (
            table.groupby("time", sort=True)["equity"]
            .sum(min_count=1)
            .astype(float)
            .rename("equity")
        )
        pd.testing.assert_series_equal(result.equity_curve, expected)
        assert _bits(result.equity_curve) == _bits(expected)
        held = table["market_value"].fillna(0).astype(float) != 0
        pd.testing.assert_series_equal(
            result.exposure, held.groupby(table["time"]).any().rename("exposure")
        )


@pytest.mark.parametrize(
    "statuses", [[], ["filled", "denied", "filled", np.nan, "pending", "cancelled"], [1, 2.5, None]]
)
def test_order_counts_count_each_status_as_its_text(statuses):
    orders = pd.DataFrame({"status": pd.Series(statuses, dtype=object)})
    text = orders["status"].astype(str)
    counts = order_counts(orders)
    assert counts["Orders placed"] == len(orders)
    for name, status in (
        ("Orders filled", "filled"),
        ("Orders cancelled", "cancelled"),
        ("Orders denied", "denied"),
    ):
        assert counts[name] == int((text == status).sum())
    assert counts["open"] == len(orders) - int(text.isin(["filled", "cancelled", "denied"]).sum())
