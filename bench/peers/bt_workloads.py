#!/usr/bin/env python3
"""W1 and W2 on backtrader (1.9.78.123, ``pip install ".[bench]"``), on their bars.

    python bench/peers/bt_workloads.py w1|w2 DATADIR [--stdstats]

DATADIR is the output folder of ``bench/make_workloads.py`` (``w1/``, ``w2/``).  Prints
one JSON line with the figures ``bench_workloads.py`` reads (``import_s``, ``load_s``,
``loop_s``, ``total_s``, ``bars``, ``orders_created``, ``orders_completed``,
``trades_closed``, ``final_value``, ``open_positions_at_end``), as
``nt_workloads.py`` does.  backtrader runs with its defaults (``preload``,
``runonce``) and without its observers unless ``--stdstats``.

The strategies are the workloads' rules with backtrader's own orders:

- W1: on every fifth bar from the tenth on, each stock with no position, no entry
  pending and a close above its 10-bar mean (the bar included) gets a market buy of
  100; when it fills at P, a stop sell at round_tick(0.95 P) and a limit sell at
  round_tick(1.10 P), one cancelling the other.
- W2: on every twentieth bar, flat and with no entry pending, a market buy of 1 lot;
  when it fills at P, a trailing stop 20 points behind (backtrader's has no activation
  price: it trails from P - 20) and a stop at P - 30, one cancelling the other.

Fees as the workloads': stocks max(0.03 % of the value, 5) per fill and 0.1 % stamp tax
on sells; futures 3 per lot per fill, multiplier 10, margin 10 % of the contract's value.
backtrader's fill rules are its own: a market order fills at the next bar's open, the
exits are live from the bar after the entry's fill and judged on the bars' open, high
and low (the stop first when both are reached), the volume is not looked at.
"""

import argparse
import csv
import json
import math
import platform
import time
from pathlib import Path

T_PROCESS = time.perf_counter()
import backtrader as bt

T_IMPORTED = time.perf_counter()

START_CASH = 10_000_000.0
STOCK_TICK, FUTURES_TICK = 0.01, 0.2


def round_tick(price, tick):
    """`price` on the grid of `tick`, halves up."""
    per_unit = round(1.0 / tick)
    return math.floor(price * per_unit + 0.5) / per_unit


def bars_feed(path, name, dtformat, timeframe):
    return bt.feeds.GenericCSVData(
        dataname=str(path),
        name=name,
        headers=True,
        separator=",",
        dtformat=dtformat,
        datetime=0,
        time=-1,
        open=1,
        high=2,
        low=3,
        close=4,
        volume=5,
        openinterest=-1,
        timeframe=timeframe,
        compression=1,
    )


class StockFees(bt.CommInfoBase):
    """0.03 % commission, at least 5, per fill; 0.1 % stamp tax on sells."""

    params = (
        ("stocklike", True),
        ("commtype", bt.CommInfoBase.COMM_PERC),
        ("percabs", True),
        ("commission", 0.0003),
        ("mincomm", 5.0),
        ("stamp", 0.001),
    )

    def _getcommission(self, size, price, pseudoexec):
        value = abs(size) * price
        fee = max(value * self.p.commission, self.p.mincomm)
        if size < 0:
            fee += value * self.p.stamp
        return fee


class FuturesFees(bt.CommInfoBase):
    """3 per lot per fill, multiplier 10, margin 10 % of the contract's value (a lot's
    margin is automargin x price = 0.1 x price x 10)."""

    params = (
        ("stocklike", False),
        ("commtype", bt.CommInfoBase.COMM_FIXED),
        ("commission", 3.0),
        ("mult", 10.0),
        ("automargin", 1.0),
    )


class Counted(bt.Strategy):
    """The timing marks and the order and trade counts both workloads report."""

    def __init__(self):
        self.loaded = time.perf_counter()  # the feeds are preloaded by now
        self.created = self.completed = self.trades = 0
        self.pending = set()  # the data whose entry is not done yet

    def start(self):
        self.loop_started = time.perf_counter()

    def stop(self):
        self.loop_ended = time.perf_counter()

    def notify_trade(self, trade):
        if trade.isclosed:
            self.trades += 1

    def notify_order(self, order):
        if order.status == order.Completed:
            self.completed += 1
        done = (order.Completed, order.Canceled, order.Margin, order.Rejected, order.Expired)
        if order.isbuy() and order.status in done:
            self.pending.discard(order.data)
            if order.status == order.Completed:
                self.attach_exits(order.data, order.executed.price)

    def enter(self, data, size):
        self.buy(data=data, size=size, exectype=bt.Order.Market)
        self.created += 1
        self.pending.add(data)


class W1(Counted):
    def __init__(self):
        super().__init__()
        self.means = {d: bt.indicators.SMA(d.close, period=10) for d in self.datas}

    def next(self):
        if len(self) % 5:
            return
        for d in self.datas:
            flat = d not in self.pending and not self.getposition(d).size
            if flat and d.close[0] > self.means[d][0]:
                self.enter(d, 100)

    def attach_exits(self, data, price):
        stop = self.sell(
            data=data,
            size=100,
            exectype=bt.Order.Stop,
            price=round_tick(price * 0.95, STOCK_TICK),
        )
        self.sell(
            data=data,
            size=100,
            exectype=bt.Order.Limit,
            price=round_tick(price * 1.10, STOCK_TICK),
            oco=stop,
        )
        self.created += 2


class W2(Counted):
    def next(self):
        if len(self) % 20 == 0 and not self.pending and not self.position.size:
            self.enter(self.data, 1)

    def attach_exits(self, data, price):
        trail = self.sell(size=1, exectype=bt.Order.StopTrail, price=price, trailamount=20.0)
        self.sell(
            size=1,
            exectype=bt.Order.Stop,
            price=round_tick(price - 30.0, FUTURES_TICK),
            oco=trail,
        )
        self.created += 2


def run(workload, data, stdstats):
    started = time.perf_counter()
    cerebro = bt.Cerebro(stdstats=stdstats)
    if workload == "w1":
        with open(data / "w1" / "instruments.csv", newline="") as f:
            symbols = [row["symbol"] for row in csv.DictReader(f)]
        for symbol in symbols:
            cerebro.adddata(
                bars_feed(data / "w1" / f"{symbol}.csv", symbol, "%Y-%m-%d", bt.TimeFrame.Days)
            )
        cerebro.broker.addcommissioninfo(StockFees())
        cerebro.addstrategy(W1)
    else:
        cerebro.adddata(
            bars_feed(
                data / "w2" / "FUT1_1m.csv", "FUT1", "%Y-%m-%d %H:%M:%S", bt.TimeFrame.Minutes
            )
        )
        cerebro.broker.addcommissioninfo(FuturesFees())
        cerebro.addstrategy(W2)
    cerebro.broker.setcash(START_CASH)
    strategy = cerebro.run()[0]
    ended = time.perf_counter()
    return {
        "engine": "backtrader",
        "workload": workload,
        "python": platform.python_version(),
        "backtrader": bt.__version__,
        "bars": sum(len(d) for d in strategy.datas),
        "import_s": T_IMPORTED - T_PROCESS,
        "load_s": strategy.loaded - started,
        "loop_s": strategy.loop_ended - strategy.loop_started,
        "total_s": ended - started,
        "orders_created": strategy.created,
        "orders_completed": strategy.completed,
        "trades_closed": strategy.trades,
        "open_positions_at_end": sum(1 for d in strategy.datas if strategy.getposition(d).size),
        "final_value": round(cerebro.broker.getvalue(), 6),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("workload", choices=("w1", "w2"))
    parser.add_argument("data", type=Path, help="the output folder of bench/make_workloads.py")
    parser.add_argument(
        "--stdstats", action="store_true", help="keep backtrader's default observers"
    )
    args = parser.parse_args()
    print(json.dumps(run(args.workload, args.data, args.stdstats), sort_keys=True))


if __name__ == "__main__":
    main()
