"""Indicators computed once and revealed bar by bar: each value against the same
indicator worked out at that bar from history() alone, nothing of a later bar
readable through a Series, the crossings, bad arguments, and the example
strategies that use them against their history() versions."""

import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvit.backtest import run
from korvit.backtest.session import Session, close_session, open_session
from korvit.data import Bars, sample_path
from korvit.indicators import (
    Series,
    atr,
    bollinger,
    crossed_above,
    crossed_below,
    ema,
    highest,
    indicator,
    lowest,
    macd,
    rsi,
    sma,
)
from korvit.strategy import StrategyError, history

CODES = ("SZSE.000001", "SZSE.000002")


def _session(closes, gaps=()):
    """A session over bars of two codes whose closes are ``closes`` (the first
    code) and their reverse (the second), with no bar of the first code at
    the times ``gaps``; made current, in init."""
    closes = np.asarray(closes, dtype=np.float64)
    n = len(closes)
    values = np.empty((2, n, 5))
    for k, close in enumerate((closes, closes[::-1].copy())):
        values[k, :, 0] = np.r_[close[0], close[:-1]]
        values[k, :, 1] = close * 1.01 + 0.03
        values[k, :, 2] = close * 0.98 - 0.01
        values[k, :, 3] = close
        values[k, :, 4] = np.arange(n) % 7 * 100.0
    for t in gaps:
        values[0, t, :4] = np.nan
        values[0, t, 4] = 0.0
    bars = Bars(CODES, pd.date_range("2021-01-01", periods=n, freq="D"), values, "day")
    session = Session(bars, None, ["main"], [], None)
    open_session(session)
    return session


@pytest.fixture
def session_of():
    yield _session
    close_session()


def _at(session, t):
    session.started, session.bar = True, t


# ------------------------------------------------------------------ the same as bar-by-bar history()


def _own(code, field, t):
    """The values of ``field`` of the bars the code has, up to bar t, as history() gives them."""
    values = history(code, field, t + 1)
    return values[~np.isnan(history(code, "close", t + 1))]


def _smoothings(x, window, alpha):
    """The smoothing run value by value, as a strategy would from history():
    its value at each of x's bars (NaN before the window is full)."""
    out = [math.nan] * min(len(x), window - 1)
    if len(x) >= window:
        value = x[:window].mean()
        out.append(value)
        for v in x[window:]:
            value = alpha * v + (1.0 - alpha) * value
            out.append(value)
    return np.array(out)


def _smoothed(x, window, alpha):
    run = _smoothings(x, window, alpha)
    return run[-1] if len(run) else math.nan


def _by_history(code, t, window, width):
    """Each indicator at bar t, from history() of bars up to t only."""
    present = not math.isnan(history(code, "close", 1)[-1])
    close, high, low = (_own(code, field, t) for field in ("close", "high", "low"))
    full = len(close) >= window
    last = close[-window:]
    change = np.diff(close)
    gains, losses = np.where(change > 0, change, 0.0), np.where(change < 0, -change, 0.0)
    gain, loss = _smoothed(gains, window, 1.0 / window), _smoothed(losses, window, 1.0 / window)
    true_range = np.array(
        [max(h - lo, abs(h - c), abs(lo - c)) for h, lo, c in zip(high[1:], low[1:], close)]
    )
    fast, slow, signal = max(1, window // 2), window + 1, 3
    lines = (
        _smoothings(close, fast, 2.0 / (fast + 1)) - _smoothings(close, slow, 2.0 / (slow + 1))
    )[slow - 1 :]
    line = lines[-1] if len(lines) else math.nan
    line_signal = _smoothed(lines, signal, 2.0 / (signal + 1))
    out = {
        "sma": last.mean() if full else math.nan,
        "highest": high[-window:].max() if full else math.nan,
        "lowest": low[-window:].min() if full else math.nan,
        "upper": last.mean() + width * last.std() if full else math.nan,
        "lower": last.mean() - width * last.std() if full else math.nan,
        "ema": _smoothed(close, window, 2.0 / (window + 1)),
        "rsi": (100.0 * gain / (gain + loss) if gain + loss > 0 else 50.0)
        if len(change) >= window
        else math.nan,
        "atr": _smoothed(true_range, window, 1.0 / window),
        "macd": line,
        "signal": line_signal,
        "histogram": line - line_signal,
    }
    return out if present else dict.fromkeys(out, math.nan)


def _made(code, window, width):
    bands = bollinger(code, window, width)
    line = macd(code, max(1, window // 2), window + 1, 3)
    return {
        "sma": sma(code, window),
        "highest": highest(code, window),
        "lowest": lowest(code, window),
        "upper": bands.upper,
        "lower": bands.lower,
        "ema": ema(code, window),
        "rsi": rsi(code, window),
        "atr": atr(code, window),
        "macd": line.macd,
        "signal": line.signal,
        "histogram": line.histogram,
    }


prices = st.lists(
    st.floats(0.5, 500.0, allow_nan=False).map(lambda v: round(v, 2))
    | st.sampled_from([10.0, 10.01, 1e-3, 123456.78]),
    min_size=1,
    max_size=45,
)


@settings(max_examples=60, deadline=None)
@given(
    closes=prices,
    window=st.integers(1, 12),
    width=st.sampled_from([0.0, 1.5, 2.0]),
    gaps=st.sets(st.integers(0, 44), max_size=6),
)
def test_each_value_is_the_one_history_gives_at_that_bar(closes, window, width, gaps):
    """Bit for bit: the windows are numpy's reductions of the window history()
    gives; the smoothings the recursion run over history() at every bar."""
    session = _session(closes, [t for t in gaps if t < len(closes)])
    try:
        made = [_made(code, window, width) for code in CODES]
        assert all(
            len(s) == 0 and math.isnan(s.now) for m in made for s in m.values()
        )  # init: no bar yet
        for t in range(len(closes)):
            _at(session, t)
            for code, series in zip(CODES, made):
                expected = _by_history(code, t, window, width)
                for name, s in series.items():
                    assert len(s) == t + 1
                    np.testing.assert_array_equal(
                        s[-1], expected[name], err_msg=f"{name} of {code} at bar {t}"
                    )
                    np.testing.assert_array_equal(s.now, expected[name])
    finally:
        close_session()


def test_without_gaps_the_moving_average_is_the_mean_of_history(session_of):
    """The way a strategy wrote it before, on a random walk of 600 bars:
    history(code, "close", n).mean() once the window is full."""
    rng = np.random.default_rng(7)
    closes = np.round(20 + np.cumsum(rng.normal(0, 0.3, 600)), 2)
    session = session_of(closes)
    averages = {window: sma(CODES[1], window) for window in (1, 5, 30, 129, 300)}
    for t in range(600):
        _at(session, t)
        for window, average in averages.items():
            close = history(CODES[1], "close", window)
            assert average[-1] == close.mean() if len(close) == window else math.isnan(average[-1])


# ------------------------------------------------------------------ nothing of a later bar


def _reachable(array):
    """The array and every array behind it (its .base chain)."""
    while isinstance(array, np.ndarray):
        yield array
        array = array.base


def test_a_series_never_shows_a_later_bar(session_of):
    """Whatever way it is read, a Series and every array behind what it hands
    out hold no value of a bar after the current one."""
    closes = np.arange(1.0, 41.0)
    session = session_of(closes)
    average = sma(CODES[0], 3)  # the mean of closes k-1, k, k+1: the value k at bar k >= 2
    with pytest.raises(IndexError):
        average[-1]
    assert len(average) == 0 and list(average) == [] and np.asarray(average).shape == (0,)
    for t in range(40):
        _at(session, t)
        later = {float(k) for k in range(max(t + 1, 2), 40)}
        handed_out = [
            average.values,
            np.asarray(average),
            np.array(average),
            np.asarray(average, dtype=np.float32),
            average[:],
            average[::-1],
            average[-100:],
            average[t + 1 :],
            average[[0, -1]],
            np.fromiter(average, float),
            np.array(list(average)),
        ]
        for got in handed_out:
            for array in _reachable(got):
                assert not set(np.asarray(array, float).tolist()) & later, (t, array)
        assert len(average) == t + 1 and len(list(average)) == t + 1
        assert (
            average[-1] == average.now == t
            if t >= 2
            else math.isnan(average[-1]) and math.isnan(average.now)
        )
        with pytest.raises(IndexError):
            average[t + 1]
        with pytest.raises(IndexError):
            average[[t + 1]]
        view = average.values
        with pytest.raises(ValueError):
            view[0] = 1.0
        with pytest.raises(ValueError):
            view.flags.writeable = True


def test_a_series_of_an_earlier_run_refuses_to_be_read_in_another(session_of):
    first = session_of(np.arange(1.0, 11.0))
    average = sma(CODES[0], 2)
    _at(first, 9)
    session_of(np.arange(1.0, 11.0))  # another run is now current
    with pytest.raises(StrategyError, match="made in another run"):
        average[-1]


def test_the_same_indicator_is_made_once_per_run(session_of):
    session_of(np.arange(1.0, 11.0))
    assert sma(CODES[0], 5) is sma("szse.000001", 5) is not sma(CODES[1], 5)
    assert bollinger(CODES[0], 5) == bollinger(CODES[0], 5, 2) != bollinger(CODES[0], 5, 1)
    assert sma(CODES[0], 5) is not sma(CODES[0], 5, "open")


# ------------------------------------------------------------------ crossings


def test_crossings(session_of):
    session = session_of([1.0, 2.0, 3.0, 2.0, 1.0, 1.0, 2.0])
    close = sma(CODES[0], 1)
    seen = []
    for t in range(7):
        _at(session, t)
        seen.append(
            (
                crossed_above(close, 1.5),
                crossed_below(close, 2.5),
                crossed_above(close, close),
                crossed_above(close, np.array([3.0, 1.5])),
            )
        )  # an array: its last two values
    assert seen == [
        (False, False, False, False),
        (True, False, False, True),
        (False, False, False, True),
        (False, True, False, True),
        (False, False, False, False),
        (False, False, False, False),
        (True, False, False, True),
    ]
    warm = sma(CODES[0], 3)  # NaN at bars 0 and 1: no crossing at bar 2
    _at(session, 2)
    assert not crossed_above(close, warm) and not crossed_below(warm, close)
    _at(session, 3)
    assert crossed_below(close, warm)  # 2 below mean(2, 3, 2), 3 above mean(1, 2, 3)


@settings(max_examples=60, deadline=None)
@given(
    pairs=st.lists(
        st.tuples(*[st.sampled_from([1.0, 2.0, 3.0, math.nan, -0.0, 0.0])] * 2),
        min_size=1,
        max_size=12,
    )
)
def test_crossings_of_two_series_as_of_their_values(pairs):
    """Two series of one run are compared as the arrays of their values up to the bar are."""
    a_values, b_values = (np.array(side, dtype=np.float64) for side in zip(*pairs))
    session = _session(np.ones(len(pairs)))
    try:
        a, b = Series(a_values, session, "a"), Series(b_values, session, "b")
        for t in range(len(pairs)):
            _at(session, t)
            seen = a_values[: t + 1], b_values[: t + 1]
            assert crossed_above(a, b) == crossed_above(*seen)
            assert crossed_below(a, b) == crossed_below(*seen)
    finally:
        close_session()


# ------------------------------------------------------------------ bad arguments


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: sma(CODES[0], 0), "window must be a whole number of bars above 0, got 0"),
        (lambda: ema(CODES[0], True), "got True"),
        (lambda: highest(CODES[0], 2.5), "got 2.5"),
        (lambda: sma(CODES[0], 3, "price"), "unknown bar field 'price'"),
        (lambda: sma("SZSE.999999", 3), "unknown code 'SZSE.999999'"),
        (
            lambda: bollinger(CODES[0], 5, -1),
            "width must be a number of deviations of at least 0, got -1",
        ),
        (lambda: bollinger(CODES[0], 5, math.nan), "got nan"),
        (
            lambda: macd(CODES[0], 26, 12),
            "fast window must be shorter than the slow one, got 26 and 12",
        ),
        (
            lambda: indicator(CODES[0], "close", lambda c: c[:-1], "short"),
            r"short\(SZSE.000001\) gave 9 values for 10",
        ),
        (lambda: indicator(CODES[0], "close", lambda c: "x" * len(c)), "gave str, not numbers"),
        (lambda: indicator(CODES[0], (), len), "at least one bar field"),
        (lambda: indicator(CODES[0], "close", 3), "takes a function"),
    ],
)
def test_bad_arguments_are_refused_in_one_line(session_of, make, message):
    session_of(np.arange(1.0, 11.0))
    with pytest.raises(StrategyError, match=message):
        make()


def test_an_indicator_of_ones_own_sees_the_codes_bars_and_is_revealed_bar_by_bar(session_of):
    session = session_of(np.arange(1.0, 11.0), gaps=[4])
    seen = []
    spread = indicator(
        CODES[0], ("high", "low"), lambda h, lo: seen.append(len(h)) or h - lo, "spread"
    )
    assert seen == [9] and spread.name == "spread(SZSE.000001)"
    _at(session, 5)
    assert (
        len(spread) == 6
        and math.isnan(spread[4])
        and spread[-1] == pytest.approx(6 * 1.01 + 0.03 - 6 * 0.98 + 0.01)
    )


# ------------------------------------------------------------------ the examples, as they were written

MA_CROSS_BY_HISTORY = """
from korvit.strategy import cash, contract, history, order_target, order_target_value, percent, position

def init(context):
    context.fast = context.params.get("fast", 10)
    context.slow = context.params.get("slow", 30)

def on_data(context):
    for code in context.codes:
        close = history(code, "close", context.slow + 1)
        if contract(code).kind != "stock" or len(close) <= context.slow:
            continue
        fast_now, fast_before = close[-context.fast:].mean(), close[-context.fast - 1:-1].mean()
        slow_now, slow_before = close[-context.slow:].mean(), close[:-1].mean()
        held = position(code)
        if fast_before <= slow_before and fast_now > slow_now and held == 0:
            order_target_value(code, 0.2 * cash(), stop_loss=percent(5))
        elif fast_before >= slow_before and fast_now < slow_now and held > 0:
            order_target(code, 0)
"""


@pytest.mark.parametrize("params", [{}, {"fast": 3, "slow": 7}, {"fast": 1, "slow": 129}])
def test_the_moving_average_example_trades_as_its_history_version(tmp_path, params):
    from pathlib import Path

    example = Path(__file__).resolve().parent.parent / "examples" / "strategies" / "ma_cross.py"
    (tmp_path / "by_history.py").write_text(MA_CROSS_BY_HISTORY)
    results = [
        run(
            strategy,
            sample_path("daily.csv"),
            contracts=sample_path("contracts.csv"),
            params=params,
            progress=False,
        )
        for strategy in (example, tmp_path / "by_history.py")
    ]
    assert len(results[0].trades) > 4
    for frame in ("equity", "orders", "trades"):
        pd.testing.assert_frame_equal(getattr(results[0], frame), getattr(results[1], frame))


def test_the_indicators_made_in_init_are_kept_for_the_charts():
    """Each indicator made in init is kept for its code's price chart, in the order made
    (once, however often asked), named without its code or default field, in its pane,
    with its values over the bars traded (a warm-up before them left out); one made in
    on_data is not.  An indicator of one's own goes over the prices when its values lie
    among them, else in a pane of its own."""
    code, made = CODES[0], []

    def init(context):
        made.extend(
            [
                sma(code, 10),
                ema(code, 5, "volume"),
                *bollinger(code, 20, 1.5),
                *macd(code),
                rsi(code),
                atr(code, 7),
                highest(code, 4, timeframe="1W"),
                lowest(code, 20, "close"),
                indicator(code, "close", lambda c: c * 1.01, name="near"),
                *indicator(code, ("high", "low"), lambda h, lo: (h - lo, h / lo), name="spread"),
            ]
        )
        sma(code, 10)  # asked again: kept once

    def on_data(context):
        sma(CODES[1], 3)

    result = run(
        {"init": init, "on_data": on_data},
        sample_path("daily.csv"),
        contracts=sample_path("contracts.csv"),
        start="2022-03-01",
        warmup=30,
        progress=False,
    )
    expected = [
        ("sma(10)", "price"),
        ("ema(5, volume)", "volume"),
        ("bollinger(20, 1.5).upper", "price"),
        ("bollinger(20, 1.5).middle", "price"),
        ("bollinger(20, 1.5).lower", "price"),
        ("macd(12, 26, 9).macd", "macd"),
        ("macd(12, 26, 9).signal", "macd"),
        ("macd(12, 26, 9).histogram", "macd"),
        ("rsi(14)", "rsi"),
        ("atr(7)", "atr"),
        ("highest(4, 1W)", "price"),
        ("lowest(20, close)", "price"),
        ("near", "price"),
        ("spread.0", "spread"),
        ("spread.1", "spread"),
    ]
    assert list(result.indicators) == [code]
    drawn = result.indicators[code]
    assert [(name, pane) for name, _, pane in drawn] == expected
    first = len(made[0]._values) - len(result.equity_curve)
    assert first == 30  # the warm-up before the first bar traded
    for (_, values, _), series in zip(drawn, made):
        np.testing.assert_array_equal(values, series._values[first:])
