"""Several timeframes in one run: every revealed period against pandas' own resampling
of random bars on three calendars, nothing revealed before its end (the same values
with the data cut after any bar), finished days and hours on the sample minute bars
through a real run, and bad timeframes."""

import math
import os

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

FIELDS = ["open", "high", "low", "close", "volume"]
AGGREGATE = {"open": "first", "high": "max", "low": "min", "close": "last", "volume": "sum"}
CODES = ["A", "B", "C"]
# long runs: KORVIT_TIMEFRAME_EXAMPLES=2000 python -m pytest tests/test_timeframes.py
EXAMPLES = int(os.environ.get("KORVIT_TIMEFRAME_EXAMPLES", "50"))


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
        ends = [
            closes[np.flatnonzero(group == g)[-1]] if (group > g).any() else pd.Timestamp.max
            for g in range(group.max() + 1)
        ]
        table = own.groupby(group[k_own]).agg(AGGREGATE)
        table.index = pd.DatetimeIndex([ends[g] for g in table.index])
    return table.index, table.to_numpy(float), np.searchsorted(reach, table.index.asi8)


@st.composite
def runs(draw):
    """Random bars of three codes (the later two with missing bars), a calendar
    and a timeframe valid for the bars."""
    calendar = draw(st.sampled_from(["weekdays", "24/7", "XNYS"]))
    daily = draw(st.integers(0, 4)) == 0
    minutes = None if daily else draw(st.sampled_from([1, 5, 15, 30]))
    step = pd.Timedelta(days=1) if daily else pd.Timedelta(minutes=minutes)
    n = draw(st.integers(2, 160))
    small = st.integers(1, 3)
    steps = draw(st.lists(small | small | small | st.integers(1, 1500), min_size=n, max_size=n))
    start = pd.Timestamp(draw(st.sampled_from(["2024-03-01", "2024-06-28", "2024-11-22"])))
    times = pd.DatetimeIndex(
        start + pd.Timedelta(hours=0 if daily else 9) + step * np.cumsum(steps)
    )
    times = times.as_unit("ns")
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    close = rng.integers(90, 110, (3, n)).astype(float)
    values = np.stack(
        [
            close + rng.integers(-2, 3, (3, n)),
            close + 3,
            close - 3,
            close,
            rng.integers(0, 9, (3, n)),
        ],
        axis=-1,
    ).astype(float)
    for code, missing in enumerate([0.0, draw(st.sampled_from([0.2, 0.6])), 0.9]):
        values[code, rng.random(n) < missing, :4] = np.nan
    if daily:
        frame = draw(st.sampled_from(["1D", "2D", "3D", "1W", "2W"]))
    else:
        frame = draw(
            st.sampled_from(
                [f"{minutes * m}min" for m in (1, 2, 3, 4, 13, 96)] + ["1h", "1D", "2D", "1W", "2W"]
            )
        )
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


@settings(max_examples=EXAMPLES, deadline=None)
@given(runs())
def test_each_revealed_period_is_pandas_resampling_of_a_finished_period(made):
    bars, calendar, frame, cut = made
    shown = _revealed(bars, calendar, frame)
    step = bars.interval or pd.Timedelta(days=1)
    if frame in (f"{step // pd.Timedelta(minutes=1)}min", "1D") and (frame == "1D") == (
        bars.interval is None
    ):
        session = _open(bars, calendar)  # the bars' own timeframe: nothing resampled
        for t, code in [(len(bars.times) - 1, c) for c in CODES]:
            session.started, session.bar = True, t
            for field in FIELDS:
                np.testing.assert_array_equal(
                    history(code, field, 10**6, timeframe=frame), history(code, field, 10**6)
                )
            assert sma(code, 3, timeframe=frame) is sma(code, 3)
        close_session()
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
    kept = Bars(
        CODES,
        bars.times[: cut + 1],
        bars.values[:, : cut + 1],
        bars.frequency,
        interval=bars.interval,
    )
    for before, after in zip(shown, _revealed(kept, calendar, frame)):
        for a, b in zip(before[0], after[0]):
            np.testing.assert_array_equal(a, b)
        np.testing.assert_array_equal(before[1], after[1])
