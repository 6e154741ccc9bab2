"""Indicators computed once against moving averages computed bar by bar from history().

    python bench/bench_indicators.py [--runs 7]

The moving-average cross (``examples/strategies/ma_cross.py``, its averages
``korvit.indicators.sma`` made in ``init``) against the same strategy written
with ``history()`` and ``np.mean`` at every bar (as the example was before),
timed in-process: whole ``run()`` calls and their bar loop (the result's
``meta["timings"]["loop_s"]``), the best of ``--runs`` after one warm-up run,
the two ways' runs taken in turns (so that a busy machine slows both alike).
A ``run()`` starts and stops its own stand-in core; stopping it waits for the
core's next poll (up to 0.1 s), which swamps what the strategy costs, so the
runs are timed once more against one core started beforehand (``core=``):

- the sample run: the sample daily bars (4 codes, 3 of them stocks, 500 bars);
- one stock, 2,000 daily bars of a random walk.

Both ways must give the same equity, orders and trades (checked).  Then the
moving average alone over 2,000 closes, window 30: ``np.mean`` of each bar's
window, ``sliding_window_view(...).mean(axis=-1)`` (what ``sma`` uses: equal
bit for bit) and a running sum (``np.cumsum``: faster, but not equal: its
largest difference is shown).  Times are printed as ratios against the
history() way measured in the same run.

Then timeframes: one code's 100,000 minute bars on the "24/7" calendar
resampled to "60min", "1D" and "1W" (the periods of the timeline and the
code's table, made once per run) against pandas' own ``resample`` of the same
bars, ``sma(..., timeframe=)`` laid on the timeline, and one
``history(code, "close", 20, timeframe=...)`` call against a plain
``history(code, "close", 20)``.
"""

import argparse
import sys
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
from numpy.lib.stride_tricks import sliding_window_view

HERE = Path(__file__).resolve().parent
EXAMPLE = HERE.parent / "examples" / "strategies" / "ma_cross.py"

BY_HISTORY = """
from korvit.strategy import cash, contract, history, order_target, order_target_value, percent, position


def init(context):
    context.fast = context.params.get("fast", 10)
    context.slow = context.params.get("slow", 30)
    context.stop = context.params.get("stop", 5)
    context.size = context.params.get("size", 0.2)


def on_data(context):
    for code in context.codes:
        close = history(code, "close", context.slow + 1)
        if contract(code).kind != "stock" or len(close) <= context.slow:
            continue
        fast_now, fast_before = close[-context.fast:].mean(), close[-context.fast - 1:-1].mean()
        slow_now, slow_before = close[-context.slow:].mean(), close[:-1].mean()
        held = position(code)
        if fast_before <= slow_before and fast_now > slow_now and held == 0:
            order_target_value(code, context.size * cash(), stop_loss=percent(context.stop))
        elif fast_before >= slow_before and fast_now < slow_now and held > 0:
            order_target(code, 0)
"""


def one_stock(n_bars=2000, seed=11):
    from korvit.data import Bars

    rng = np.random.default_rng(seed)
    close = np.round(20 * np.exp(np.cumsum(rng.normal(0, 0.015, n_bars))), 2)
    values = np.empty((1, n_bars, 5))
    values[0, :, 0] = np.r_[close[0], close[:-1]]
    values[0, :, 1] = np.round(np.maximum(values[0, :, 0], close) * 1.005, 2)
    values[0, :, 2] = np.round(np.minimum(values[0, :, 0], close) * 0.995, 2)
    values[0, :, 3] = close
    values[0, :, 4] = 100_000.0
    return Bars(["SZSE.000001"], pd.bdate_range("2015-01-05", periods=n_bars), values, "day")


def time_runs(strategies, data, runs, **options):
    """(best run() seconds, best bar-loop seconds, last result) of each strategy."""
    from korvit.backtest import run
    from korvit.data import sample_path

    seconds, loops, results = ([[] for _ in strategies] for _ in range(3))
    for k in range(runs + 1):
        for way, strategy in enumerate(strategies):
            started = time.perf_counter()
            result = run(
                strategy, data, contracts=sample_path("contracts.csv"), progress=False, **options
            )
            ended = time.perf_counter()
            if k:  # the first run warms up
                seconds[way].append(ended - started)
                loops[way].append(result.meta["timings"]["loop_s"])
            results[way] = result
    return [(min(s), min(loop), result) for s, loop, result in zip(seconds, loops, results)]


def compare(name, data, by_history, runs):
    from korvit.core.server import CoreServer

    (base_s, _, base), (ind_s, _, made) = time_runs([by_history, EXAMPLE], data, runs)
    with CoreServer() as server:
        (shared_base_s, base_loop, _), (shared_ind_s, ind_loop, _) = time_runs(
            [by_history, EXAMPLE], data, runs, core=f"127.0.0.1:{server.port}"
        )
    for frame in ("equity", "orders", "trades"):
        pd.testing.assert_frame_equal(getattr(made, frame), getattr(base, frame))
    print(f"\n{name}: {len(made.trades)} trades, the same both ways")
    print(
        f"  {'way':<34}{'run() ms':>10}{'ratio':>7}{'shared core':>13}{'ratio':>7}{'bar loop':>10}{'ratio':>7}"
    )
    for way, seconds, shared, loop in (
        ("history() + np.mean at each bar", base_s, shared_base_s, base_loop),
        ("indicators (sma, crossed_above)", ind_s, shared_ind_s, ind_loop),
    ):
        print(
            f"  {way:<34}{seconds * 1e3:>10.1f}{seconds / base_s:>7.2f}{shared * 1e3:>13.1f}"
            f"{shared / shared_base_s:>7.2f}{loop * 1e3:>10.1f}{loop / base_loop:>7.2f}"
        )


def best_of(fn, repeat):
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        fn()
        times.append(time.perf_counter() - started)
    return min(times)


def moving_average_alone(n=2000, window=30):
    x = one_stock(n).values[0, :, 3].copy()

    def per_bar():
        return np.array([x[t - window + 1 : t + 1].mean() for t in range(window - 1, n)])

    def windows():
        return sliding_window_view(x, window).mean(axis=-1)

    def running_sum():
        total = np.cumsum(np.r_[0.0, x])
        return (total[window:] - total[:-window]) / window

    base = best_of(per_bar, 5)
    reference = per_bar()
    print(f"\nthe moving average alone: {n} closes, window {window} (best of repeats)")
    print(f"  {'way':<42}{'ms':>9}{'ratio':>8}  against np.mean of each window")
    for way, fn, repeat in (
        ("np.mean of each bar's window", per_bar, 5),
        ("sliding_window_view(...).mean(axis=-1)", windows, 50),
        ("running sum (np.cumsum)", running_sum, 50),
    ):
        seconds = base if fn is per_bar else best_of(fn, repeat)
        got = fn()
        same = (
            "equal bit for bit"
            if np.array_equal(got, reference)
            else f"differs, up to {np.max(np.abs(got - reference)):.3g}"
        )
        print(f"  {way:<42}{seconds * 1e3:>9.3f}{seconds / base:>8.3f}  {same}")


def timeframes(n_bars=100_000, seed=5):
    from korvit.backtest import timeframes as tf
    from korvit.backtest.session import Session, close_session, open_session
    from korvit.data import Bars
    from korvit.data.calendars import get_calendar
    from korvit.indicators import sma
    from korvit.strategy import history

    rng = np.random.default_rng(seed)
    times = pd.date_range("2024-01-01 00:01", periods=n_bars, freq="1min").as_unit("ns")
    close = np.round(100 * np.exp(np.cumsum(rng.normal(0, 0.001, n_bars))), 2)
    values = np.stack([close, close + 0.1, close - 0.1, close, np.full(n_bars, 10.0)], axis=-1)
    bars = Bars(["BTC.USD"], times, values[np.newaxis], "minute")
    calendar = get_calendar("24/7", times[0], times[-1])
    frame = pd.DataFrame(values, index=times, columns=["open", "high", "low", "close", "volume"])
    rules = {"open": "first", "high": "max", "low": "min", "close": "last", "volume": "sum"}

    def fresh():
        session = Session(bars, None, ["main"], [], None)
        session.calendar = calendar
        open_session(session)
        return session

    print(f"\ntimeframes: {n_bars:,} minute bars of one code, 24/7 (best of repeats), ms")
    print(f"  {'timeframe':<10}{'periods':>9}{'resampled':>11}{'pandas':>9}{'sma laid':>10}")
    for timeframe, rule in (("60min", "60min"), ("1D", "1D"), ("1W", "W-SUN")):
        parsed = tf.parse_timeframe(timeframe)

        def ours():
            session = fresh()
            made = tf.resampled(session, 0, parsed)
            close_session()
            return made

        def theirs():
            return frame.resample(rule, closed="right", label="right").agg(rules)

        def average():
            fresh()
            sma("BTC.USD", 20, timeframe=timeframe)
            close_session()

        made = ours()
        print(
            f"  {timeframe:<10}{len(made.values):>9,}{best_of(ours, 5) * 1e3:>11.1f}"
            f"{best_of(theirs, 5) * 1e3:>9.1f}{best_of(average, 5) * 1e3:>10.1f}"
        )
    session = fresh()
    session.started, session.bar = True, n_bars - 1
    history("BTC.USD", "close", 20, timeframe="60min")  # made once
    calls = 20_000
    plain = best_of(lambda: [history("BTC.USD", "close", 20) for _ in range(calls)], 3)
    hourly = best_of(
        lambda: [history("BTC.USD", "close", 20, timeframe="60min") for _ in range(calls)], 3
    )
    close_session()
    print(
        f"  history(code, 'close', 20): {plain / calls * 1e6:.2f} us a call; "
        f"with timeframe='60min': {hourly / calls * 1e6:.2f} us"
    )


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--runs", type=int, default=7, help="timed runs of each (after one warm-up)"
    )
    args = parser.parse_args(argv)
    from korvit.data import sample_path

    warnings.simplefilter("ignore")
    with tempfile.TemporaryDirectory() as folder:
        by_history = Path(folder) / "ma_cross_by_history.py"
        by_history.write_text(BY_HISTORY)
        compare(
            "the sample run (4 codes, 3 stocks, 500 daily bars), ms",
            sample_path("daily.csv"),
            by_history,
            args.runs,
        )
        compare("one stock, 2,000 daily bars, ms", one_stock(), by_history, args.runs)
    moving_average_alone()
    timeframes()
    return 0


if __name__ == "__main__":
    sys.exit(main())
