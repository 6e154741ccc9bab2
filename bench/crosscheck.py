"""The cross-check: the same strategies under the same rules in korvit, backtrader and
Backtesting.py, compared trade by trade.

    python bench/crosscheck.py [--case NAME] [--peer backtrader|backtesting] [--show N]

The bars are the real series Backtesting.py ships with its tests, read from the installed
package (``pip install ".[bench]"`` installs both peers): GOOG daily (2004-08-19 to
2013-03-01, 2,148 bars, prices in cents), EURUSD hourly (5,000 bars, five decimals;
its labels mark the start of the hour, so korvit reads it with ``bar_time="start"``) and
BTCUSD monthly (2012-01 to 2024-12, 156 bars dated on the month's last day, weekends
included, prices in cents).

The rules are the same in every system: market orders fill at the next bar's open, no
fees, a fixed size (100 shares of GOOG, 10,000 units of EURUSD, 0.125 BTC), cash
1,000,000, long only.  Korvit has a contract for each code (a stock in lots of 1, of
0.001 for BTCUSD, on the series' price step: 0.01 for GOOG and BTCUSD, 0.00001 for
EURUSD), so no default applies.  Each strategy is
written once per system in that system's own API; the signals are computed by the same
functions (below) from each system's view of the bars.

The cases:

- ``sma-goog``, ``sma-eurusd``: a 10/30 cross of the means of the last closes; buy when
  the fast mean crosses above the slow one and nothing is held, sell it all when it
  crosses back below.  ``-stop2``, ``-stop3``, ``-stop5``: the same with a stop-loss 2, 3
  or 5 % under the entry's fill (korvit ``stop_loss=percent(p)``; in the peers a sell
  stop placed at the close of the entry's bar, or ``trade.sl``).  No stop as far as 2 %
  fires on the hourly EURUSD, so ``sma-eurusd-stop0.5`` has one 0.5 % under.
- ``breakout-goog``: a buy stop at the highest high of the last 20 days, placed anew on
  every day while nothing is held (korvit ``stop=...``, ``good_for=1``), with a 5 %
  stop-loss; sold at market when the close falls under the lowest low of the 10 days
  before.
- ``limit-goog``: a buy limit 1 % under the close (on the price step, rounded down),
  good for 3 bars (korvit ``good_for=3``; backtrader ``valid=`` the third bar's time;
  Backtesting.py has no expiry, so its strategy cancels the order after 3 bars); sold at
  market on the bar after it fills.
- ``rebalance-goog``: on the first bar of every month (from the first change of month
  on) the position is brought to half of the equity at the last close (korvit and
  backtrader ``order_target_percent``; Backtesting.py, which has none, buys or sells the
  difference to the whole shares of that half).
- ``sma-btcusd``: the 10/30 cross with a fixed fractional size, 0.125 BTC in lots of
  0.001.
- ``rebalance-btcusd``: every month (every bar) the position is brought to half of the
  equity at the last close, in whole lots of 0.001 BTC rounded toward zero (korvit
  ``order_target_percent``; backtrader ``order_target_size`` to that many lots, since its
  ``order_target_percent`` rounds the order's size, not the target, see docs/orders.md).
  The BTCUSD cases run against backtrader only: Backtesting.py reads a size below 1 as a
  share of the equity, not as a number of units, so it cannot place 0.125 BTC.

Printed per case and peer: how many of korvit's trades ended at their stop-loss, the
trades of korvit and of the peer (the fills, for the rebalance), and of them how many are identical (same entry and exit times, volume and
prices), within one price step (same times and volume, a price differing by less than a
step) and different (the rest, counting the trades only one system made), and the
peer's final equity less korvit's.  ``--show N`` prints up to N examples of each kind of
difference.  A line before the table names korvit's denied orders and any fill of
korvit outside its bar's low-high range, should there be any.  Each difference that remains is a convention of the peer, stated in
docs/orders.md ("Compared with other backtesters").
"""

import argparse
import math
import sys
import time
import warnings
from collections import Counter, namedtuple
from dataclasses import dataclass

import numpy as np
from bench_small_run import CASH, FAST, SLOW, korvit_frame, shipped

HIGH_BARS, LOW_BARS, BREAKOUT_STOP = 20, 10, 5  # the breakout: its high, its exit, its stop (%)
LIMIT_UNDER, GOOD_FOR = 0.01, 3  # the limit case: under the close, bars it is good for
WEIGHT = 0.5  # the rebalance: the share of equity held


@dataclass(frozen=True)
class Series:
    name: str  # in backtesting.test
    code: str  # korvit's code
    step: float  # the price step: the series' decimals
    size: float  # the fixed order size
    minutes: int | None  # the bar's period, for intraday bars
    lot: float = 1  # korvit's lot size (backtrader's targets round to it too)

    @property
    def decimals(self) -> int:
        return round(-math.log10(self.step))


GOOG = Series("GOOG", "SIM.GOOG", 0.01, 100, None)
EURUSD = Series("EURUSD", "SIM.EURUSD", 0.00001, 10_000, 60)
BTCUSD = Series("BTCUSD", "SIM.BTCUSD", 0.01, 0.125, None, lot=0.001)


@dataclass(frozen=True)
class Case:
    name: str
    series: Series
    kind: str  # "sma", "breakout", "limit" or "rebalance"
    stop_loss: float | None = None  # percent under the entry's fill
    peers: tuple[str, ...] = ("backtrader", "backtesting")  # the peers that can run it


CASES = [
    case
    for series in (GOOG, EURUSD)
    for case in (
        Case(f"sma-{series.name.lower()}", series, "sma"),
        *(Case(f"sma-{series.name.lower()}-stop{p:g}", series, "sma", p) for p in (2, 3, 5)),
    )
] + [
    # An hour of EURUSD moves far less than a day of GOOG: no 2 % stop fires on it.
    Case("sma-eurusd-stop0.5", EURUSD, "sma", 0.5),
    Case("breakout-goog", GOOG, "breakout", BREAKOUT_STOP),
    Case("limit-goog", GOOG, "limit"),
    Case("rebalance-goog", GOOG, "rebalance"),
    # Backtesting.py reads a size below 1 as a share of the equity: backtrader only.
    Case("sma-btcusd", BTCUSD, "sma", peers=("backtrader",)),
    Case("rebalance-btcusd", BTCUSD, "rebalance", peers=("backtrader",)),
]
PEERS = {"backtrader": "backtrader", "backtesting": "Backtesting.py"}

# A trade: a round trip (entry and exit; the exit None while open at the end), or in the
# rebalance a fill (entry_* its time and price, volume signed, exit None).
Trade = namedtuple("Trade", "entry_time entry_price exit_time exit_price volume")
# A system's run of a case: its fills (time, signed volume, price), its final equity and
# (korvit's) how many of its trades ended at their stop-loss.
Run = namedtuple("Run", "fills equity stop_exits", defaults=(None,))


# ------------------------------------------------------------------ the signals


def sma_cross(close):
    """+1 where the fast mean of the last SLOW + 1 closes ``close`` crossed above the slow
    mean at the last close, -1 where it crossed below, else 0."""
    close = np.asarray(close, dtype=float)
    if len(close) <= SLOW:
        return 0
    fast_now, fast_before = close[-FAST:].mean(), close[-FAST - 1 : -1].mean()
    slow_now, slow_before = close[-SLOW:].mean(), close[:-1].mean()
    if fast_before <= slow_before and fast_now > slow_now:
        return 1
    if fast_before >= slow_before and fast_now < slow_now:
        return -1
    return 0


def breakout_level(high):
    """The highest of the last HIGH_BARS highs, None before there are so many."""
    return float(np.max(high)) if len(high) >= HIGH_BARS else None


def breakout_exit(low, close):
    """Whether the close fell under the lowest low of the LOW_BARS bars before (``low``:
    the last LOW_BARS + 1 lows)."""
    return len(low) > LOW_BARS and close < float(np.min(np.asarray(low)[:-1]))


def lots_under(volume, lot):
    """``volume`` rounded toward zero to whole lots of ``lot``, exactly in decimal."""
    from decimal import Decimal

    step = Decimal(repr(lot))
    return float((Decimal(repr(volume)) / step).to_integral_value(rounding="ROUND_DOWN") * step)


def limit_price(close, series):
    """LIMIT_UNDER under ``close``, rounded down to the price step."""
    steps = math.floor(round(close * (1 - LIMIT_UNDER) / series.step, 6))
    return round(steps * series.step, series.decimals)


# ------------------------------------------------------------------ the systems


def korvit_run(case, bars):
    """Korvit's trades (fills) and final equity, through ``korvit.backtest.run``."""
    import korvit.backtest as kb
    from korvit.strategy import (
        buy,
        history,
        now,
        order_target_percent,
        pending_orders,
        percent,
        position,
        sell,
    )

    series = case.series
    code, size = series.code, series.size
    stops = {"stop_loss": percent(case.stop_loss)} if case.stop_loss else {}

    def sma(context):
        signal = sma_cross(history(code, "close", SLOW + 1))
        held = position(code)
        if signal > 0 and held == 0:
            buy(code, size, **stops)
        elif signal < 0 and held > 0:
            sell(code, held)

    def breakout(context):
        held = position(code)
        if held == 0:
            level = breakout_level(history(code, "high", HIGH_BARS))
            if level is not None:
                buy(code, size, stop=level, good_for=1, **stops)
        elif breakout_exit(history(code, "low", LOW_BARS + 1), history(code, "close")[-1]):
            sell(code, held)

    def limit(context):
        held = position(code)
        if held > 0:
            sell(code, held)
        elif not pending_orders(code):
            buy(code, size, limit_price(history(code, "close")[-1], series), good_for=GOOD_FOR)

    def rebalance(context):
        month = now().month
        if getattr(context, "month", month) != month:
            order_target_percent(code, WEIGHT)
        context.month = month

    on_data = {"sma": sma, "breakout": breakout, "limit": limit, "rebalance": rebalance}
    result = kb.run(
        {"on_data": on_data[case.kind]},
        korvit_frame(bars, code),
        contracts=[
            {"code": code, "kind": "stock", "lot_size": series.lot, "min_move": series.step}
        ],
        cash=CASH,
        fees="none",
        bar_time="start" if series.minutes else "end",
        progress=False,
        benchmark="none",
    )
    fills = result.trades
    denied = int((result.orders["status"] == "denied").sum())
    if denied:
        print(f"  korvit denied {denied} orders in {case.name}")
    # Every fill at a price its bar traded (the bars are labelled as korvit dates its fills).
    bar = korvit_frame(bars, code).set_index("time").loc[fills["time"]]
    outside = int(
        (
            (fills["price"].to_numpy() < bar["low"].to_numpy() - 1e-9)
            | (fills["price"].to_numpy() > bar["high"].to_numpy() + 1e-9)
        ).sum()
    )
    if outside:
        print(f"  korvit filled {outside} orders outside their bar in {case.name}")
    sign = np.where(fills["side"] == "buy", 1.0, -1.0)
    return Run(
        list(zip(fills["time"], sign * fills["volume"], fills["price"])),
        float(result.equity["equity"].iloc[-1]),
        int((result.round_trips["exit_reason"] == "stop loss").sum()),
    )


def backtrader_run(case, bars):
    """backtrader's fills and final equity: its own orders (``valid=`` for the limit's
    expiry, ``order_target_percent`` for the rebalance), default broker (no cheat-on-open)."""
    import backtrader as bt

    series = case.series
    size, kind, stop_loss = series.size, case.kind, case.stop_loss

    class Crosscheck(bt.Strategy):
        def __init__(self):
            self.fills, self.entry, self.entry_last, self.month = [], None, 0, None
            self.stop_loss_order = self.entry_price = None

        def notify_order(self, order):
            if order.status != order.Completed:
                return
            done = order.executed
            self.fills.append((bt.num2date(done.dt), done.size, done.price))
            if order.isbuy():
                self.entry_price = done.price
            elif self.stop_loss_order is not None and order.ref == self.stop_loss_order.ref:
                self.stop_loss_order = None  # (notified with a copy of the order)

        def exit(self):
            if self.stop_loss_order is not None:
                self.cancel(self.stop_loss_order)
                self.stop_loss_order = None
            self.close()
            return True

        def next(self):
            held, exiting = self.position.size, False
            if kind == "sma":
                signal = sma_cross(self.data.close.get(size=SLOW + 1))
                if signal > 0 and held == 0:
                    self.buy(size=size)
                elif signal < 0 and held > 0:
                    exiting = self.exit()
            elif kind == "breakout":
                if held == 0:
                    if self.entry is not None and self.entry.alive():
                        self.cancel(self.entry)  # good for one bar
                    level = breakout_level(self.data.high.get(size=HIGH_BARS))
                    if level is not None:
                        self.entry = self.buy(exectype=bt.Order.Stop, price=level, size=size)
                elif breakout_exit(self.data.low.get(size=LOW_BARS + 1), self.data.close[0]):
                    exiting = self.exit()
            elif kind == "limit":
                if held > 0:
                    self.close()
                elif self.entry is None or not self.entry.alive() or len(self) >= self.entry_last:
                    # At its third bar's close the order has had its bars: korvit has ended
                    # it, backtrader ends it (valid=) before the next bar is matched.
                    ahead = len(self.data) + GOOD_FOR <= self.data.buflen()
                    self.entry = self.buy(
                        exectype=bt.Order.Limit,
                        price=limit_price(self.data.close[0], series),
                        size=size,
                        valid=self.data.datetime.datetime(GOOD_FOR) if ahead else None,
                    )
                    self.entry_last = len(self) + GOOD_FOR
            else:
                month = self.data.datetime.date(0).month
                if self.month not in (None, month):
                    if series.lot == 1:
                        self.order_target_percent(target=WEIGHT)
                    else:  # the target in whole lots, as korvit's
                        value = WEIGHT * self.broker.getvalue() / self.data.close[0]
                        self.order_target_size(target=lots_under(value, series.lot))
                self.month = month
            if stop_loss and held > 0 and not exiting and self.stop_loss_order is None:
                # Placed at the close of the entry's bar, matched from the next bar on, as
                # korvit's; not in notify_order, since an order cannot be cancelled in the
                # bar it was placed in, and the exit may come at that very close.
                self.stop_loss_order = self.sell(
                    exectype=bt.Order.Stop,
                    price=self.entry_price * (1 - stop_loss / 100),
                    size=held,
                )

    cerebro = bt.Cerebro(stdstats=False)
    period = (
        {"timeframe": bt.TimeFrame.Minutes, "compression": series.minutes} if series.minutes else {}
    )
    cerebro.adddata(bt.feeds.PandasData(dataname=bars, **period))
    cerebro.broker.setcash(CASH)
    cerebro.addstrategy(Crosscheck)
    strategy = cerebro.run()[0]
    return Run(strategy.fills, float(cerebro.broker.getvalue()))


def backtesting_run(case, bars):
    """Backtesting.py's fills (from its trades, open ones included) and final equity."""
    import backtesting.backtesting
    from backtesting import Backtest, Strategy

    backtesting.backtesting._tqdm = lambda seq, **_: seq  # no progress bar
    series = case.series
    size, kind, stop_loss = series.size, case.kind, case.stop_loss

    class Crosscheck(Strategy):
        def init(self):
            self.entry, self.entry_last, self.month = None, 0, None

        def next(self):
            if stop_loss:  # the stop-loss, once the entry's fill is known
                for trade in self.trades:
                    if trade.sl is None:
                        trade.sl = trade.entry_price * (1 - stop_loss / 100)
            held, bar = self.position.size, len(self.data)
            if kind == "sma":
                signal = sma_cross(self.data.Close[-(SLOW + 1) :])
                if signal > 0 and held == 0:
                    self.buy(size=size)
                elif signal < 0 and held > 0:
                    self.position.close()
            elif kind == "breakout":
                if held == 0:
                    for order in self.orders:
                        if not order.is_contingent:
                            order.cancel()  # good for one bar
                    level = breakout_level(self.data.High[-HIGH_BARS:])
                    if level is not None:
                        self.buy(size=size, stop=level)
                elif breakout_exit(self.data.Low[-(LOW_BARS + 1) :], self.data.Close[-1]):
                    self.position.close()
            elif kind == "limit":
                pending = self.entry is not None and any(o is self.entry for o in self.orders)
                if held > 0:
                    self.position.close()
                elif not pending or bar >= self.entry_last:
                    if pending:
                        self.entry.cancel()  # its three bars are over
                    self.entry = self.buy(size=size, limit=limit_price(self.data.Close[-1], series))
                    self.entry_last = bar + GOOD_FOR
            else:
                month = self.data.index[-1].month
                if self.month not in (None, month):
                    wanted = int(WEIGHT * self.equity / self.data.Close[-1])
                    if wanted > held:
                        self.buy(size=wanted - held)
                    elif wanted < held:
                        self.sell(size=held - wanted)
                self.month = month

    stats = Backtest(
        bars,
        Crosscheck,
        cash=CASH,
        commission=0.0,
        trade_on_close=False,
        finalize_trades=False,
    ).run()
    fills = []
    for row in stats["_trades"].itertuples():
        fills += [
            (row.EntryTime, row.Size, row.EntryPrice),
            (row.ExitTime, -row.Size, row.ExitPrice),
        ]
    for trade in stats["_strategy"].trades:  # still open at the end
        fills.append((trade.entry_time, trade.size, trade.entry_price))
    return Run(_merged(fills), float(stats["Equity Final [$]"]))


def _merged(fills):
    """Fills of one time and side as one (the parts of a Backtesting.py trade reduced in
    steps, or several trades closed by one order), at their mean price."""
    groups = {}
    for when, volume, price in fills:
        groups.setdefault((when, volume > 0), []).append((volume, price))
    out = []
    for (when, _), parts in groups.items():
        volume = sum(v for v, _ in parts)
        out.append((when, volume, sum(v * p for v, p in parts) / volume))
    return out


# ------------------------------------------------------------------ the comparison


def trades_of(case, fills):
    """The case's trades from a system's fills (time, signed volume, price): round trips
    of its one position, or for the rebalance the fills themselves."""
    import pandas as pd

    fills = sorted(
        ((pd.Timestamp(when), volume, price) for when, volume, price in fills),
        key=lambda fill: (fill[0], fill[1] > 0),  # a sale before a purchase at one time
    )
    if case.kind == "rebalance":
        return [Trade(when, price, None, None, volume) for when, volume, price in fills]
    trips, held, entry = [], 0.0, None
    for when, volume, price in fills:
        if held == 0:
            entry = (when, price, volume)
        held += volume
        if held == 0:
            trips.append(Trade(entry[0], entry[1], when, price, entry[2]))
        elif held != entry[2]:
            raise RuntimeError(f"{case.name}: a fill of {volume} at {when} leaves {held} held")
    if held:
        trips.append(Trade(entry[0], entry[1], None, None, entry[2]))
    return trips


def verdict(ours, theirs, step):
    """The verdict on korvit's trade ``ours`` and the peer's ``theirs`` (None where the
    peer made none at that time): "identical", "within one step" or "different"."""
    if (
        theirs is None
        or ours.exit_time != theirs.exit_time
        or not math.isclose(ours.volume, theirs.volume)
    ):
        return "different"
    gaps = [abs(ours.entry_price - theirs.entry_price)]
    if ours.exit_price is not None:
        gaps.append(abs(ours.exit_price - theirs.exit_price))
    if max(gaps) <= 1e-6 * step:
        return "identical"
    return "within one step" if max(gaps) < step * (1 + 1e-6) else "different"


def compare(ours, theirs, step):
    """Counts of the verdicts over the trades matched by entry time (a trade only one
    system made is different), and the differing pairs (korvit's, the peer's)."""
    by_entry = {trade.entry_time: trade for trade in theirs}
    counts, pairs = Counter(), {"within one step": [], "different": []}
    for trade in ours:
        other = by_entry.pop(trade.entry_time, None)
        found = verdict(trade, other, step)
        counts[found] += 1
        if found != "identical":
            pairs[found].append((trade, other))
    for other in sorted(by_entry.values()):
        counts["different"] += 1
        pairs["different"].append((None, other))
    return counts, pairs


def _shown(trade, series):
    """A trade in a line: entry (time, volume, price) and exit; "-" for none."""
    if trade is None:
        return "-"
    digits = series.decimals + 3  # a peer's prices may lie between the steps
    text = f"{trade.entry_time} {trade.volume:+g} @ {trade.entry_price:.{digits}f}"
    if trade.exit_time is None:
        return text
    return text + f" -> {trade.exit_time} @ {trade.exit_price:.{digits}f}"


# ------------------------------------------------------------------ main


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0].strip())
    parser.add_argument("--case", choices=[case.name for case in CASES], help="run one case")
    parser.add_argument("--peer", choices=list(PEERS), help="run one peer")
    parser.add_argument(
        "--show", type=int, default=1, metavar="N", help="examples of each difference (1)"
    )
    args = parser.parse_args(argv)
    warnings.simplefilter("ignore")
    try:
        import backtesting
        import backtrader

        series = {s.name: shipped(s.name) for s in (GOOG, EURUSD, BTCUSD)}
    except ImportError:
        sys.exit('the cross-check needs its peers and their series: pip install ".[bench]"')
    import korvit

    cases = [case for case in CASES if args.case in (None, case.name)]
    if args.peer and args.case is None:
        cases = [case for case in cases if args.peer in case.peers]
    peers = [peer for peer in PEERS if args.peer in (None, peer)]
    runners = {"backtrader": backtrader_run, "backtesting": backtesting_run}
    started = time.perf_counter()
    print(
        f"korvit {korvit.__version__}, backtrader {backtrader.__version__}, Backtesting.py "
        f"{backtesting.__version__}: market orders at the next bar's open, no fees, cash "
        f"{CASH:,.0f}"
    )
    header = (
        f"{'case':<18} {'stops':>5} {'peer':<15} {'korvit':>6} {'peer':>5} {'identical':>9} "
        f"{'<=1 step':>8} {'different':>9} {'equity peer-korvit':>18}"
    )
    print(header)
    examples = []
    for case in cases:
        bars = series[case.series.name]
        ours = korvit_run(case, bars)
        our_trades = trades_of(case, ours.fills)
        for peer in (peer for peer in peers if peer in case.peers):
            theirs = runners[peer](case, bars)
            their_trades = trades_of(case, theirs.fills)
            counts, pairs = compare(our_trades, their_trades, case.series.step)
            equity = round(theirs.equity - ours.equity, case.series.decimals) + 0.0  # no -0
            print(
                f"{case.name:<18} {ours.stop_exits:>5} {PEERS[peer]:<15} {len(our_trades):>6} "
                f"{len(their_trades):>5} {counts['identical']:>9} {counts['within one step']:>8} "
                f"{counts['different']:>9} {equity:>18,.{case.series.decimals}f}"
            )
            for kind, found in pairs.items():
                examples += [(case, PEERS[peer], kind, pair) for pair in found[: args.show]]
    if examples:
        print("\nexamples (korvit | peer):")
        for case, peer, kind, pair in examples:
            print(f"  {case.name}, {peer}, {kind}:")
            print("    " + " | ".join(_shown(trade, case.series) for trade in pair))
    unit = " (rebalance: fills)" if any(c.kind == "rebalance" for c in cases) else ""
    print(f"\ntrades compared by entry time{unit}; {time.perf_counter() - started:.1f} s")
    if any(len(c.peers) < len(PEERS) for c in cases):
        print(
            "BTCUSD against backtrader only: Backtesting.py reads a size below 1 as a share of equity"
        )


if __name__ == "__main__":
    main()
