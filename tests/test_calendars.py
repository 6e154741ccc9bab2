"""Trading calendars: inference and sessions against exchange-calendars' own
answers, annualisation of a 24/7 run against empyrical, the data check, day
orders on evening sessions, and a bad calendar on the command line."""

import json
import subprocess
import sys
import warnings
from pathlib import Path

import empyrical
import exchange_calendars as xcals
import numpy as np
import pandas as pd
import pytest

from korvit.backtest import CalendarWarning, run
from korvit.data.calendars import (
    EXCHANGE_NAMES,
    data_check,
    get_calendar,
    infer_calendar,
)
from tests.support import korvit

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "strategies" / "ma_cross.py"

WEEKEND = pd.DatetimeIndex(["2024-01-05 10:00", "2024-01-06 10:00"])
WEEK = pd.DatetimeIndex(["2024-01-04 10:00", "2024-01-05 10:00"])
# Friday's last minute bar, labelled by its end at Saturday midnight: not a weekend bar
FRIDAY_NIGHT = pd.DatetimeIndex(["2024-01-05 23:59", "2024-01-06 00:00"])


@pytest.mark.parametrize(
    "codes, times, daily, expected",
    [
        (["BTC.USD"], WEEKEND, False, "24/7"),
        (["NYSE.AAPL", "nyse.IBM"], WEEK, False, "XNYS"),
        (["CMES.ES"], WEEK, False, "CMES"),
        (["NYSE.AAPL", "NASDAQ.GOOG"], WEEK, False, "weekdays"),
        (["NYSE.AAPL", "AAPL"], WEEK, False, "weekdays"),
        (["SHFE.RB2405"], WEEK, False, "weekdays"),
        (["NYSE.AAPL"], FRIDAY_NIGHT, False, "XNYS"),
        (["NYSE.AAPL"], FRIDAY_NIGHT, True, "24/7"),  # a daily bar on a Saturday
    ],
)
def test_inference(codes, times, daily, expected):
    name = infer_calendar(codes, times, daily)[0]  # an alias the package knows, or its own
    assert get_calendar(name, times[0], times[-1]).name == expected


def test_the_names_kept_are_the_packages():
    """Every prefix inference answers to is a calendar of the installed package
    (a later release may know more, which a named --calendar reaches)."""
    names = {name.upper() for name in xcals.get_calendar_names(include_aliases=True)}
    assert names >= EXCHANGE_NAMES


@pytest.mark.parametrize("name", ["XNYS", "CMES", "XLON", "24/7", "weekdays"])
def test_sessions_agree_with_exchange_calendars(name):
    """On random minutes (labelled by the end of their period), the session
    each belongs to is the package's (its calendar with closed right ends);
    the sessions a year are its count over the whole years."""
    first, last = pd.Timestamp("2022-03-01"), pd.Timestamp("2023-10-31")
    ours = get_calendar(name, first, last)
    rng = np.random.default_rng(33)
    minutes = first + pd.to_timedelta(rng.integers(0, 600 * 1440, 400), unit="min")
    got = ours.session_of(minutes)
    if name in ("24/7", "weekdays"):
        day = (minutes - pd.Timedelta(1, "ns")).normalize()
        on = day.day_of_week < 5 if name == "weekdays" else np.ones(len(day), bool)
        want = np.where(on, day.to_numpy(), np.datetime64("NaT", "ns"))
        assert ours.sessions_per_year == (365 if name == "24/7" else 252)
    else:
        theirs = xcals.get_calendar(name, start="2022-01-01", end="2023-12-31", side="right")
        want = []
        for t in minutes:
            local = t.tz_localize(theirs.tz, ambiguous="NaT", nonexistent="NaT")
            if pd.isna(local) or not theirs.is_trading_minute(local):
                want.append(np.datetime64("NaT", "ns"))
            else:
                want.append(theirs.minute_to_session(local).to_datetime64())
        count = len(theirs.sessions)
        assert ours.sessions_per_year == count / 2
    np.testing.assert_array_equal(got, np.array(want, dtype="datetime64[ns]"))
    # daily bars belong to the session of their date
    days = ours.sessions[5:40]
    assert (ours.session_of(days, daily=True) == days.to_numpy()).all()


def _hourly(code, start, days, seed):
    times = pd.date_range(start, periods=days * 24, freq="h") + pd.Timedelta(hours=1)
    close = 100 * np.exp(np.cumsum(np.random.default_rng(seed).normal(0, 0.01, len(times))))
    return pd.DataFrame(
        {"time": times, "code": code, "open": close, "high": close * 1.001,
         "low": close * 0.999, "close": close, "volume": 1000.0}
    )  # fmt: skip


def _buy_and_hold(code):
    def on_data(context):
        from korvit.strategy import buy, position

        if not position(code):
            buy(code, 100)

    return {"on_data": on_data}


def test_a_24_7_run_annualises_with_365_days(tmp_path):
    data = _hourly("BTC.USD", "2024-01-01", 40, 7)
    result = run(_buy_and_hold("BTC.USD"), data, progress=False)
    assert (result.calendar.name, result.sessions_per_year) == ("24/7", 365)
    # one return a day: each day's last equity (an hourly bar labelled at midnight
    # closes the day before), the first against the initial cash
    curve = result.equity_curve
    daily = curve.groupby((curve.index - pd.Timedelta(1, "ns")).normalize()).last()
    returns = daily / daily.shift(1, fill_value=result.initial_cash) - 1
    stats = result.stats
    assert stats["Sharpe ratio"] == pytest.approx(
        empyrical.sharpe_ratio(returns, annualization=365), rel=1e-12
    )
    assert stats["Annualised volatility"] == pytest.approx(
        empyrical.annual_volatility(returns, annualization=365), rel=1e-12
    )
    weekdays = run(_buy_and_hold("BTC.USD"), data, progress=False, calendar="weekdays").stats
    assert weekdays["Annualised volatility"] != pytest.approx(stats["Annualised volatility"])
    result.save(tmp_path)
    saved = json.loads((tmp_path / "stats.json").read_text())
    assert (saved["calendar"], saved["sessions_per_year"]) == ("24/7", 365)
    assert "Calendar  24/7, 365 sessions a year (inferred from bars on weekends)" in (
        result.summary().splitlines()
    )


def _daily(times, code="NYSE.AAPL"):
    return pd.DataFrame(
        {"time": times, "code": code, "open": 10.0, "high": 10.0, "low": 10.0,
         "close": 10.0, "volume": 1.0}
    )  # fmt: skip


def test_the_data_check_counts_and_names_the_first_examples():
    xnys = get_calendar("XNYS", "2024-01-01", "2024-03-31")
    sessions = xnys.sessions_between("2024-01-02", "2024-02-29")
    dropped = sessions[[3, 4, 10, 20, 21]]  # five sessions without a bar
    weekend = pd.DatetimeIndex(["2024-01-13", "2024-01-14"])  # two bars on no session
    times = sessions.difference(dropped).union(weekend)

    def shown(stamps):
        return ", ".join(str(t.date()) for t in stamps[:3])

    line = data_check(xnys, times, daily=True)
    assert line == (
        f"the bars and the calendar XNYS disagree: 5 sessions without a bar "
        f"({shown(dropped)} and 2 more); 2 bar times outside every session ({shown(weekend)})"
    )
    # "weekdays" knows no holidays: only the bars outside its sessions are told
    weekdays = get_calendar("weekdays", "2024-01-01", "2024-03-31")
    line = data_check(weekdays, times, daily=True)
    assert line.endswith(": 2 bar times outside every session (2024-01-13, 2024-01-14)")
    assert data_check(xnys, sessions, daily=True) is None
    # a run tells it once, as a CalendarWarning
    with pytest.warns(CalendarWarning, match="5 sessions without a bar"):
        run({"init": lambda context: None}, _daily(times), progress=False, calendar="NYSE")


def _evening_sessions():
    """30-minute bars of two CME sessions: Sunday 17:00 to Monday 16:00, and
    Monday 17:00 to Tuesday 16:00 (Chicago time), labelled by their end."""
    parts = [
        pd.date_range("2024-01-07 17:30", "2024-01-08 16:00", freq="30min"),
        pd.date_range("2024-01-08 17:30", "2024-01-09 16:00", freq="30min"),
    ]
    times = parts[0].append(parts[1])
    return _daily(times, "CME.ES"), times


@pytest.mark.parametrize(
    "calendar, placed, expired",
    [
        # CME's day is the session that opened the evening before
        ("CMES", "2024-01-07 18:00", "2024-01-08 16:00"),
        ("CMES", "2024-01-08 17:30", "2024-01-09 16:00"),
        # without the exchange, a day is the calendar date (the bar that ends at
        # midnight is the day's last)
        ("24/7", "2024-01-07 18:00", "2024-01-08 00:00"),
        ("24/7", "2024-01-08 17:30", "2024-01-09 00:00"),
    ],
)
def test_a_day_order_lives_until_its_sessions_last_bar(calendar, placed, expired):
    data, times = _evening_sessions()
    told = []

    def on_data(context):
        from korvit.strategy import buy, now

        if pd.Timestamp(now()) == pd.Timestamp(placed):
            buy("CME.ES", 100, 1.0, good_till="day")  # far below the market: never fills

    def on_order_status(context, order):
        from korvit.strategy import now

        told.append((pd.Timestamp(now()), order.status))

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", CalendarWarning)
        result = run({"on_data": on_data, "on_order_status": on_order_status}, data,
                     calendar=calendar, progress=False)  # fmt: skip
    assert result.orders["status"].tolist() == ["cancelled"]
    assert told[-1][0] == pd.Timestamp(expired)
    assert pd.Timestamp(expired) in times


def test_an_unknown_calendar_on_the_command_line(tmp_path):
    out = tmp_path / "out"
    done = korvit("backtest", EXAMPLE, "--calendar", "XNYZ", "--out", out)
    assert done.returncode == 2
    lines = done.stderr.strip().splitlines()
    assert len(lines) == 1 and "unknown calendar 'XNYZ'" in lines[0]
    assert "XNYS" in lines[0].partition("closest:")[2]
    assert not out.exists()


def test_a_code_prefix_no_exchange_knows_costs_no_import():
    """The sample minute bars (SHFE, which the package does not know) run
    without importing exchange-calendars."""
    code = (
        "import sys, warnings; warnings.simplefilter('ignore')\n"
        "from korvit.backtest import run\n"
        "from korvit.data import sample_path\n"
        "r = run({}, sample_path('minute.csv'), progress=False)\n"
        "assert r.calendar.name == 'weekdays', r.calendar.name\n"
        "print('exchange_calendars' in sys.modules)\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.stdout.strip() == "False", done.stderr
