"""Several timeframes in one run: every revealed period against pandas' own resampling
of random bars on three calendars, nothing revealed before its end (the same values
with the data cut after any bar), finished days and hours on the sample minute bars
through a real run, and bad timeframes."""

import math
import os
import re

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvit.backtest import run
from korvit.backtest.session import Session, close_session, open_session
from korvit.data import Bars, sample_path
from korvit.data.calendars import get_calendar
from korvit.indicators import resample, sma
from korvit.strategy import StrategyError, history
from tests.support import korvit_here

FIELDS = ["open", "high", "low", "close", "volume"]
AGGREGATE = {"open": "first", "high": "max", "low": "min", "close": "last", "volume": "sum"}
CODES = ["A", "B", "C"]
# long runs: KORVIT_TIMEFRAME_EXAMPLES=300 python -m pytest tests/test_timeframes.py
EXAMPLES = int(os.environ.get("KORVIT_TIMEFRAME_EXAMPLES", "8"))  # per calendar and kind


def _open(bars, calendar):
    session = Session(bars, None, ["main"], [], None)
    session.calendar = calendar
    open_session(session)
    return session


def _expected(bars, calendar, code, frame):
    """(ends, values, the first bar revealing each) of the code's periods of
    ``frame``, by pandas: each session's bins resampled from its open, whole
    sessions and weeks grouped."""
    daily = bars.interval is None
    day = pd.DatetimeIndex(calendar.session_of(bars.times, daily=daily))
    k = calendar.sessions.get_indexer(day)  # -1 outside every session
    closes = calendar.closes
    reach = np.where(k >= 0, closes[k].asi8, bars.times.asi8) if daily else bars.times.asi8
    reach = np.maximum.accumulate(reach)
    own = pd.DataFrame(bars.values[code], index=bars.times, columns=FIELDS)
    keep = own.close.notna().to_numpy() & (k >= 0)
    own, k_own = own[keep], k[keep]
    if frame.endswith(("min", "h")):
        parts = []
        for s, part in own.groupby(k_own):
            binned = part.resample(frame, origin=calendar.opens[s], closed="right", label="right")
            table = binned.agg(AGGREGATE)[binned.close.count() > 0]
            parts.append(table.set_axis(table.index.where(table.index <= closes[s], closes[s])))
        table = pd.concat(parts) if parts else own
    elif not keep.any():
        table = own
    else:
        count, start = int(frame[:-1]), k[k >= 0][0]
        if frame.endswith("D"):
            group = (np.arange(len(closes)) - start) // count
        else:
            monday = calendar.sessions - pd.to_timedelta(calendar.sessions.day_of_week, "D")
            group = (monday - monday[start]).days.to_numpy() // 7 // count
        ends = pd.Series(closes, index=group).groupby(level=0).last()
        ends.iloc[-1] = pd.Timestamp.max  # the calendar may end before its last period
        table = own.groupby(group[k_own]).agg(AGGREGATE)
        table.index = pd.DatetimeIndex(ends[table.index])
    return table.index, table.to_numpy(float), np.searchsorted(reach, table.index.asi8)


@st.composite
def runs(draw, calendar, kind):
    """Random bars of three codes (the later two with missing bars) and a
    timeframe of ``kind`` valid for them."""
    daily = kind == "daily bars"
    minutes = None if daily else draw(st.sampled_from([1, 5, 15, 30]))
    step = pd.Timedelta(days=1) if daily else pd.Timedelta(minutes=minutes)
    n = draw(st.integers(2, 150))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    gaps = draw(st.sampled_from([0.0, 0.02, 0.1, 0.5]))  # how often a bar comes after a gap
    steps = np.where(rng.random(n) < gaps, rng.integers(1, 1500, n), rng.integers(1, 3, n))
    start = pd.Timestamp(draw(st.sampled_from(["2024-03-01", "2024-06-28", "2024-11-22"])))
    start += pd.Timedelta(hours=0 if daily else draw(st.sampled_from([0, 9, 15])))
    times = pd.DatetimeIndex(start + step * np.cumsum(steps)).as_unit("ns")
    close, noise, volume = (rng.integers(*r, (3, n)) for r in ((90, 110), (-2, 3), (0, 9)))
    values = np.stack([close + noise, close + 3, close - 3, close, volume], axis=-1) * 1.0
    for code, missing in enumerate([0.0, draw(st.sampled_from([0.2, 0.6])), 0.9]):
        values[code, rng.random(n) < missing, :4] = np.nan
    if kind == "minute bins":
        frame = draw(st.sampled_from([f"{minutes * m}min" for m in (1, 2, 3, 4, 13, 96)] + ["1h"]))
    else:
        frame = draw(st.sampled_from(["1D", "2D", "3D", "1W", "2W"]))
    bars = Bars(
        CODES, times, values, "day" if daily else "minute", interval=None if daily else step
    )
    return bars, get_calendar(calendar, times[0], times[-1]), frame, draw(st.integers(0, n - 1))


def _revealed(bars, calendar, frame):
    """What history(), sma() and resample() of ``frame`` show at each bar (-1: init)."""
    session = _open(bars, calendar)
    try:
        averages = [sma(code, 3, timeframe=frame) for code in CODES]
        shown = []
        for t in range(-1, len(bars.times)):
            session.started, session.bar = t >= 0, max(t, 0)
            for code, average in zip(CODES, averages):
                got = [history(code, field, 10**6, timeframe=frame) for field in FIELDS + ["time"]]
                table = resample(code, frame)
                shown.append((got, average[-1] if t >= 0 else math.nan, table))
        return shown
    finally:
        close_session()


@pytest.mark.parametrize("kind", ["minute bins", "days and weeks", "daily bars"])
@pytest.mark.parametrize("calendar", ["weekdays", "24/7", "XNYS"])
@settings(max_examples=EXAMPLES, deadline=None)
@given(data=st.data())
def test_each_revealed_period_is_pandas_resampling_of_a_finished_period(calendar, kind, data):
    bars, calendar, frame, cut = data.draw(runs(calendar, kind))
    shown = _revealed(bars, calendar, frame)
    own = f"{bars.interval // pd.Timedelta('1min')}min" if bars.interval else "1D"
    if frame == own:  # the bars' own timeframe: nothing resampled, the bars as they are
        for t, code in np.ndindex(len(bars.times), 3):
            got = np.column_stack(shown[(t + 1) * 3 + code][0][:5])
            np.testing.assert_array_equal(got, bars.values[code, : t + 1])
        return
    expected = [_expected(bars, calendar, code, frame) for code in range(3)]
    for t in range(-1, len(bars.times)):
        for code, (ends, values, revealed) in enumerate(expected):
            got, average, table = shown[(t + 1) * 3 + code]
            n = int(np.sum(revealed <= t))
            np.testing.assert_array_equal(np.column_stack(got[:5]).reshape(-1, 5), values[:n])
            np.testing.assert_array_equal(got[5], ends[:n].to_numpy())
            np.testing.assert_array_equal(table.to_numpy(), values[:n])
            assert (table.index == ends[:n]).all()
            mean = values[n - 3 : n, 3].mean() if n >= 3 else math.nan
            np.testing.assert_array_equal(average, mean if t >= 0 else math.nan)
    # nothing revealed by bar `cut` changes when the data ends there
    times, values = bars.times[: cut + 1], bars.values[:, : cut + 1]
    kept = Bars(CODES, times, values, bars.frequency, interval=bars.interval)
    for before, after in zip(shown, _revealed(kept, calendar, frame)):
        for a, b in zip(before[0], after[0]):
            np.testing.assert_array_equal(a, b)
        np.testing.assert_array_equal(before[1], after[1])


DAYS_AND_HOURS = """
from korvit.indicators import crossed_above, crossed_below, sma
from korvit.strategy import buy, history, now, position, sell

CODE = "SHFE.RB2405"


def init(context):
    context.hourly = sma(CODE, 20, timeframe="60min")
    context.fast = sma(CODE, 3, timeframe="1h")
    context.seen = context.params["seen"]


def on_data(context):
    up, down = crossed_above(context.fast, context.hourly), crossed_below(context.fast, context.hourly)
    context.seen.append((now(), history(CODE, "close", 2, timeframe="1D"), context.hourly[-1], up or down))
    buy(CODE, 1) if up and position(CODE) == 0 else sell(CODE, 1) if down and position(CODE) else None
"""


def test_minute_bars_see_finished_days_and_hours_only(tmp_path):
    """The sample minute bars (weekdays: a day ends at midnight, so it is revealed
    at the next day's first bar): the closes of the last two finished days, and
    the hourly average moving (and crossing) only at the bar that ends an hour."""
    (tmp_path / "days_and_hours.py").write_text(DAYS_AND_HOURS)
    seen, data, contracts = [], sample_path("minute.csv"), sample_path("contracts.csv")
    result = run(tmp_path / "days_and_hours.py", data, contracts=contracts, params={"seen": seen})
    bars = pd.read_csv(data, index_col="time", parse_dates=True)
    days = bars.close.groupby(bars.index.normalize()).last()
    hours = bars.close.resample("60min", closed="right", label="right").last().dropna()
    hourly = hours.rolling(20).mean()
    assert len(seen) == len(bars) and len(result.trades) > 0  # the averages crossed
    for (now, closes, average, crossed), before in zip(seen, [None, *seen]):
        time = pd.Timestamp(now)
        np.testing.assert_array_equal(closes, days[days.index < time.normalize()][-2:])
        finished = hourly[hourly.index <= time]
        np.testing.assert_allclose(average, finished.iloc[-1] if len(finished) else math.nan)
        if before is not None and not np.array_equal(before[2], average, equal_nan=True):
            # an hour ended since the bar before (11:30 before lunch: revealed at 13:31)
            assert pd.Timestamp(before[0]).floor("h") + pd.Timedelta("1h") <= time, time
        else:
            assert not crossed, time


@pytest.mark.parametrize(
    "daily, timeframe, message",
    [
        (False, "7min", "timeframe 7min is not a multiple of the data's 5-minute bars"),
        (False, "1min", "timeframe 1min is finer than the data's 5-minute bars"),
        (True, "60min", "timeframe 60min is finer than the data's daily bars"),
        (True, "1M", "unknown timeframe '1M'"),
        (True, "1.5h", "unknown timeframe '1.5h'"),
        (True, "0D", "timeframe '0D' must count from 1"),
        (True, 60, "timeframe must be text like '60min', '1D' or '1W', got 60"),
    ],
)
def test_bad_timeframes_are_refused_in_one_line(daily, timeframe, message):
    times = pd.date_range("2024-03-04", periods=6, freq="1D" if daily else "5min")
    frequency, interval = ("day", None) if daily else ("minute", "5min")
    _open(Bars(["A"], times, np.ones((1, 6, 5)), frequency, interval=interval), None)
    try:
        for call in (
            lambda: history("A", "close", 2, timeframe=timeframe),
            lambda: sma("A", 2, timeframe=timeframe),
            lambda: resample("A", timeframe),
        ):
            with pytest.raises(StrategyError, match=re.escape(message)):
                call()
    finally:
        close_session()


def test_a_bad_timeframe_stops_the_command_as_bad_input(tmp_path):
    strategy = tmp_path / "hourly.py"
    strategy.write_text(
        "from korvit.indicators import sma\n\n"
        "def init(context):\n"
        "    context.slow = sma('SZSE.000001', 20, timeframe='60min')\n\n"
        "def on_data(context):\n"
        "    pass\n"
    )
    out = tmp_path / "out"
    done = korvit_here(
        "backtest",
        strategy,
        "--data",
        sample_path("daily.csv"),
        "--contracts",
        sample_path("contracts.csv"),
        "--out",
        out,
    )
    assert done.returncode == 2, done.stderr
    assert done.stderr.count("\n") == 1
    assert (
        "hourly.py:4: TimeframeError: timeframe 60min is finer than the data's daily bars"
        in done.stderr
    )
    assert not out.exists()
