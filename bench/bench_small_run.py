"""The small run: one strategy, one stock, ~2,000 daily bars, the whole run call in this
process with its results, on korvit and on its peers.

    python bench/bench_small_run.py [--runs 5]

The strategy is the same in each system and written the same way: at every bar, the
means of the last 10 and 30 closes (and of the ones a bar before); when the fast mean
crosses above the slow one and nothing is held, buy 100 shares at market (filled at the
next bar's open); when it crosses back below, sell them.  No fees, cash 1,000,000.

The bars are real: the daily GOOG series (2004-08-19 to 2013-03-01, 2,148 bars) that
Backtesting.py ships with its tests, read from the installed package (so it needs
``pip install ".[bench]"``; nothing of it is copied here).

Timed, per system, the median (and min) of ``--runs`` runs after one warm-up:

- korvit: ``korvit.backtest.run(...)`` and its statistics (``result.stats``, built on
  first read), with the embedded core (the default) and with a kept core (``core=``);
- Backtesting.py: ``Backtest(...).run()`` (which returns its statistics);
- backtrader: ``cerebro.run()`` (preloaded bars, no observers, no analyzers).

Then the same cross written the way each system's documentation writes indicators: the
averages computed once over the whole series and revealed bar by bar (korvit's
``korvit.indicators.sma`` with ``crossed_above``/``crossed_below``, Backtesting.py's
``self.I`` over a rolling mean).

Each system's trade count is printed beside its time: the fills follow each system's own
rules, so the counts need not agree to the last trade, the work done is the same.
"""

import argparse
import statistics
import sys
import time
import warnings
from pathlib import Path

HERE = Path(__file__).resolve().parent
CASH = 1_000_000.0
FAST, SLOW, SHARES = 10, 30, 100
CODE = "SIM.GOOG"


def shipped(name):
    """One of the series shipped with Backtesting.py's tests ("GOOG", "EURUSD", "BTCUSD":
    columns Open, High, Low, Close, Volume, indexed by time), read from the installed package."""
    import backtesting.test
    import pandas as pd

    frame = getattr(backtesting.test, name).copy()
    frame.index = pd.DatetimeIndex(frame.index)
    return frame


def goog():
    """The daily GOOG bars shipped with Backtesting.py's tests (open, high, low, close, volume)."""
    return shipped("GOOG")


def korvit_frame(bars, code=CODE):
    """A shipped series as korvit's bars: columns time, code, open, high, low, close, volume."""
    frame = bars.rename(columns=str.lower).rename_axis("time").reset_index()
    frame.insert(1, "code", code)
    return frame


def _timed(function, runs):
    function()  # warm-up
    times, out = [], None
    for _ in range(runs):
        started = time.perf_counter()
        out = function()
        times.append(time.perf_counter() - started)
    return times, out


# ------------------------------------------------------------------ the systems


def korvit_run(bars, core=None, strategy="korvit_sma.py"):
    import korvit.backtest as kb

    frame = korvit_frame(bars)

    def one():
        result = kb.run(
            HERE / "small_run" / strategy,
            frame,
            cash=CASH,
            fees="none",
            progress=False,
            benchmark="none",
            core=core,
        )
        result.stats
        return len(result.round_trips)

    return one


def backtesting_run(bars):
    import backtesting.backtesting
    import pandas as pd
    from backtesting import Backtest, Strategy

    # No progress bar, as korvit runs with progress=False.
    backtesting.backtesting._tqdm = lambda seq, **_: seq

    class SmaCross(Strategy):
        def init(self):
            pass

        def next(self):
            close = self.data.Close[-(SLOW + 1) :]
            if len(close) <= SLOW:
                return
            fast_now, fast_before = close[-FAST:].mean(), close[-FAST - 1 : -1].mean()
            slow_now, slow_before = close[-SLOW:].mean(), close[:-1].mean()
            held = self.position.size
            if fast_before <= slow_before and fast_now > slow_now and held == 0:
                self.buy(size=SHARES)
            elif fast_before >= slow_before and fast_now < slow_now and held > 0:
                self.position.close()

    class SmaCrossPrecomputed(Strategy):
        """The averages computed once over the whole series (``self.I``), as its docs write it."""

        def init(self):
            def mean(values, window):
                return pd.Series(values).rolling(window).mean().to_numpy()

            self.fast, self.slow = (
                self.I(mean, self.data.Close, FAST),
                self.I(mean, self.data.Close, SLOW),
            )

        def next(self):
            fast, slow = self.fast, self.slow
            if len(fast) < 2:
                return
            held = self.position.size
            if fast[-2] <= slow[-2] and fast[-1] > slow[-1] and held == 0:
                self.buy(size=SHARES)
            elif fast[-2] >= slow[-2] and fast[-1] < slow[-1] and held > 0:
                self.position.close()

    def run_with(strategy):
        def one():
            stats = Backtest(
                bars,
                strategy,
                cash=CASH,
                commission=0.0,
                trade_on_close=False,
                finalize_trades=True,
            ).run()
            return int(stats["# Trades"])

        return one

    return run_with(SmaCross), run_with(SmaCrossPrecomputed)


def backtrader_run(bars):
    import backtrader as bt

    class SmaCross(bt.Strategy):
        def next(self):
            if len(self.data) <= SLOW:
                return
            close = self.data.close.get(size=SLOW + 1)
            fast_now, fast_before = sum(close[-FAST:]) / FAST, sum(close[-FAST - 1 : -1]) / FAST
            slow_now, slow_before = sum(close[-SLOW:]) / SLOW, sum(close[:-1]) / SLOW
            held = self.position.size
            if fast_before <= slow_before and fast_now > slow_now and held == 0:
                self.buy(size=SHARES)
            elif fast_before >= slow_before and fast_now < slow_now and held > 0:
                self.close()

        def __init__(self):
            self.n_closed = 0

        def notify_trade(self, trade):
            if trade.isclosed:
                self.n_closed += 1

    def one():
        cerebro = bt.Cerebro(stdstats=False)
        cerebro.adddata(bt.feeds.PandasData(dataname=bars))
        cerebro.broker.setcash(CASH)
        cerebro.addstrategy(SmaCross)
        strategy = cerebro.run()[0]
        return strategy.n_closed + (1 if strategy.position.size else 0)

    return one


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0].strip())
    parser.add_argument("--runs", type=int, default=5, help="measured runs per system (default 5)")
    args = parser.parse_args(argv)
    warnings.simplefilter("ignore")
    try:
        bars = goog()
    except ImportError:
        sys.exit('the small run reads its bars from Backtesting.py: pip install ".[bench]"')
    from korvit.core.server import CoreServer

    systems = {"korvit": korvit_run(bars)}
    core = CoreServer().start()
    systems["korvit, kept core"] = korvit_run(bars, core=f"{core.host}:{core.port}")
    systems["Backtesting.py"], precomputed = backtesting_run(bars)
    try:
        systems["backtrader"] = backtrader_run(bars)
    except ImportError:
        print("(backtrader is not installed: left out)")
    # The same cross with the averages computed once, each system's own way.
    systems["korvit, indicators"] = korvit_run(bars, strategy="korvit_sma_indicators.py")
    systems["Backtesting.py, self.I"] = precomputed
    rows = {}
    try:
        for name, function in systems.items():
            rows[name] = _timed(function, args.runs)
    finally:
        core.stop()
    print(
        f"python {sys.version.split()[0]}; {len(bars):,} daily bars of GOOG "
        f"({bars.index[0]:%Y-%m-%d} to {bars.index[-1]:%Y-%m-%d}), SMA {FAST}/{SLOW} cross, "
        f"{SHARES} shares; {args.runs} runs after a warm-up"
    )
    ours = statistics.median(rows["korvit"][0])
    print(f"  {'system':<19} {'median ms':>10} {'min ms':>8} {'trades':>7} {'x korvit':>9}")
    for name, (times, trades) in rows.items():
        median = statistics.median(times)
        print(
            f"  {name:<19} {1e3 * median:>10.1f} {1e3 * min(times):>8.1f} {trades:>7} "
            f"{median / ours:>8.2f}x"
        )
    per_bar = {
        name: statistics.median(times)
        for name, (times, _) in rows.items()
        if not name.startswith("korvit") and name != "Backtesting.py, self.I"
    }
    if per_bar:
        fastest = min(per_bar, key=per_bar.get)
        print(
            f"  means per bar: the fastest peer, {fastest}, over korvit (embedded core): "
            f"{per_bar[fastest] / ours:.2f}x; over korvit (kept core): "
            f"{per_bar[fastest] / statistics.median(rows['korvit, kept core'][0]):.2f}x"
        )
    if "Backtesting.py, self.I" in rows:
        print(
            f"  averages computed once: Backtesting.py (self.I) over korvit (indicators): "
            f"{statistics.median(rows['Backtesting.py, self.I'][0]) / statistics.median(rows['korvit, indicators'][0]):.2f}x"
        )


if __name__ == "__main__":
    main()
