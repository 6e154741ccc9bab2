#!/usr/bin/env python3
"""W1 and W2 on NautilusTrader (bars; W2 also on its trade ticks).

    python bench/peers/nt_workloads.py w1|w2 DATADIR [--ticks]

DATADIR is the generator's output folder (``w1/``, ``w2/``).  Prints one JSON line with
the figures ``bench_workloads.py`` reads (``import_s``, ``load_s``, ``loop_s``,
``total_s``, ``bars``, ``orders_created``, ``trades_closed``, ``final_value``,
``open_positions_at_end``), as the backtrader scripts do.

The strategies are the workloads' rules written with NautilusTrader's own orders:

- W1: every fifth bar from the tenth on, each stock that is flat, with no entry pending
  and closing above its 10-bar mean (the bar included) gets a market buy of 100; when it
  fills at P, a stop-market sell at round_tick(0.95 P) and a limit sell at
  round_tick(1.10 P), both reduce-only, the fill of one cancelling the other.
- W2: every twentieth bar, flat and no entry pending, a market buy of 1; at its fill P a
  trailing stop-market sell 20 points behind, activated at P + 10, and a stop-market sell
  at P - 30, both reduce-only, one cancelling the other.

Fees as the workloads': stocks max(0.03 % of the value, 5) per fill and 0.1 % stamp tax
on sells; futures 3 per lot per fill.  Its fill rules are its own: a market order placed
on a bar fills at that bar's close (its last price), exits are judged on the bars' open,
high, low and close (or, with ``--ticks``, on every trade tick).
"""

import argparse
import csv
import json
import math
import os
import time
from decimal import Decimal

T_PROCESS = time.perf_counter()
import pandas as pd
from nautilus_trader.backtest.engine import BacktestEngine, BacktestEngineConfig
from nautilus_trader.backtest.models import FeeModel
from nautilus_trader.config import LoggingConfig
from nautilus_trader.model.currencies import USD
from nautilus_trader.model.data import BarType
from nautilus_trader.model.enums import (
    AccountType,
    AssetClass,
    OmsType,
    OrderSide,
    TrailingOffsetType,
    TriggerType,
)
from nautilus_trader.model.identifiers import InstrumentId, Symbol, Venue
from nautilus_trader.model.instruments import Equity, FuturesContract
from nautilus_trader.model.objects import Money, Price, Quantity
from nautilus_trader.persistence.wranglers import BarDataWrangler, TradeTickDataWrangler
from nautilus_trader.trading.strategy import Strategy

T_IMPORTED = time.perf_counter()

START_CASH = 10_000_000
VENUE = Venue("SIM")


def round_tick(x, tick):
    per_unit = round(1.0 / tick)
    return math.floor(x * per_unit + 0.5) / per_unit


class StockFees(FeeModel):
    def get_commission(self, order, fill_qty, fill_px, instrument):
        value = float(fill_qty) * float(fill_px)
        fee = max(value * 0.0003, 5.0) + (value * 0.001 if order.side == OrderSide.SELL else 0.0)
        return Money(fee, USD)


class FuturesFees(FeeModel):
    def get_commission(self, order, fill_qty, fill_px, instrument):
        return Money(3.0 * float(fill_qty), USD)


class Counting(Strategy):
    def __init__(self, config=None):
        super().__init__(config)
        self.n_created = 0
        self.n_closed = 0
        self.exits = {}  # an exit's client order id -> the other exit's
        self.pending = set()  # instruments with an entry not yet filled

    def submit_counted(self, order):
        self.n_created += 1
        self.submit_order(order)

    def attach_exits(self, first, second):
        self.exits[first.client_order_id] = second
        self.exits[second.client_order_id] = first
        self.submit_counted(first)
        self.submit_counted(second)

    def on_order_filled(self, event):
        other = self.exits.pop(event.client_order_id, None)
        if other is not None:  # an exit filled: the other one goes
            self.exits.pop(other.client_order_id, None)
            if not other.is_closed:
                self.cancel_order(other)
            return
        if event.order_side == OrderSide.BUY:
            self.pending.discard(event.instrument_id)
            self.entry_filled(event)

    def on_position_closed(self, event):
        self.n_closed += 1


class W1(Counting):
    def __init__(self, instruments, config=None):
        super().__init__(config)
        self.instruments = instruments
        self.closes = {}
        self.bars_seen = {}

    def on_start(self):
        for instrument in self.instruments:
            self.subscribe_bars(BarType.from_str(f"{instrument.id}-1-DAY-LAST-EXTERNAL"))

    def on_bar(self, bar):
        iid = bar.bar_type.instrument_id
        closes = self.closes.setdefault(iid, [])
        closes.append(float(bar.close))
        n = len(closes)
        if n % 5 or n < 10 or iid in self.pending or not self.portfolio.is_flat(iid):
            return
        if closes[-1] > sum(closes[-10:]) / 10:
            self.pending.add(iid)
            self.submit_counted(
                self.order_factory.market(iid, OrderSide.BUY, Quantity.from_int(100))
            )

    def entry_filled(self, event):
        px = float(event.last_px)
        iid = event.instrument_id
        stop = self.order_factory.stop_market(
            iid,
            OrderSide.SELL,
            Quantity.from_int(100),
            Price(round_tick(px * 0.95, 0.01), 2),
            reduce_only=True,
        )
        take = self.order_factory.limit(
            iid,
            OrderSide.SELL,
            Quantity.from_int(100),
            Price(round_tick(px * 1.10, 0.01), 2),
            reduce_only=True,
        )
        self.attach_exits(stop, take)


class W2(Counting):
    def __init__(self, instrument, config=None):
        super().__init__(config)
        self.instrument = instrument
        self.n = 0

    def on_start(self):
        self.subscribe_bars(BarType.from_str(f"{self.instrument.id}-1-MINUTE-LAST-EXTERNAL"))

    def on_bar(self, bar):
        self.n += 1
        iid = self.instrument.id
        if self.n % 20 or iid in self.pending or not self.portfolio.is_flat(iid):
            return
        self.pending.add(iid)
        self.submit_counted(self.order_factory.market(iid, OrderSide.BUY, Quantity.from_int(1)))

    def entry_filled(self, event):
        px = float(event.last_px)
        iid = event.instrument_id
        trail = self.order_factory.trailing_stop_market(
            iid,
            OrderSide.SELL,
            Quantity.from_int(1),
            trailing_offset=Decimal("20"),
            activation_price=Price(round_tick(px + 10, 0.2), 1),
            trigger_type=TriggerType.LAST_PRICE,
            trailing_offset_type=TrailingOffsetType.PRICE,
            reduce_only=True,
        )
        stop = self.order_factory.stop_market(
            iid,
            OrderSide.SELL,
            Quantity.from_int(1),
            Price(round_tick(px - 30, 0.2), 1),
            reduce_only=True,
        )
        self.attach_exits(trail, stop)


def _engine(fees):
    engine = BacktestEngine(BacktestEngineConfig(logging=LoggingConfig(bypass_logging=True)))
    engine.add_venue(
        venue=VENUE,
        oms_type=OmsType.NETTING,
        account_type=AccountType.MARGIN,
        base_currency=USD,
        starting_balances=[Money(START_CASH, USD)],
        fee_model=fees,
        bar_execution=True,
    )
    return engine


def _frame(path):
    frame = pd.read_csv(path, index_col=0, parse_dates=True)
    frame.index = frame.index.tz_localize("UTC")
    return frame


def _instruments(folder):
    with open(os.path.join(folder, "instruments.csv"), newline="") as f:
        return list(csv.DictReader(f))


def w1(data):
    t0 = time.perf_counter()
    engine = _engine(StockFees())
    instruments, total = [], 0
    rows = _instruments(os.path.join(data, "w1"))
    for k, row in enumerate(rows):
        iid = InstrumentId(Symbol(row["symbol"]), VENUE)
        instrument = Equity(
            iid, Symbol(row["symbol"]), USD, 2, Price.from_str("0.01"), Quantity.from_int(100), 0, 0
        )
        engine.add_instrument(instrument)
        bar_type = BarType.from_str(f"{iid}-1-DAY-LAST-EXTERNAL")
        bars = BarDataWrangler(bar_type, instrument).process(
            _frame(os.path.join(data, "w1", row["symbol"] + ".csv"))
        )
        engine.add_data(bars, sort=k == len(rows) - 1)  # sorted once, with the last
        total += len(bars)
        instruments.append(instrument)
    strategy = W1(instruments)
    engine.add_strategy(strategy)
    t1 = time.perf_counter()
    engine.run()
    t2 = time.perf_counter()
    open_positions = sum(1 for i in instruments if not engine.portfolio.is_flat(i.id))
    return engine, strategy, total, t0, t1, t2, open_positions


def w2(data, ticks):
    t0 = time.perf_counter()
    engine = _engine(FuturesFees())
    iid = InstrumentId(Symbol("FUT1"), VENUE)
    instrument = FuturesContract(
        iid,
        Symbol("FUT1"),
        AssetClass.INDEX,
        USD,
        1,
        Price.from_str("0.2"),
        Quantity.from_int(10),
        Quantity.from_int(1),
        "FUT",
        0,
        4102444800 * 10**9,
        0,
        0,
        margin_init=Decimal("0.1"),
        margin_maint=Decimal("0.1"),
    )
    engine.add_instrument(instrument)
    bar_type = BarType.from_str(f"{iid}-1-MINUTE-LAST-EXTERNAL")
    frame = _frame(os.path.join(data, "w2", "FUT1_1m.csv"))
    # The bars are stamped with their minute's start: they close a minute later.
    frame.index = frame.index + pd.Timedelta(minutes=1)
    bars = BarDataWrangler(bar_type, instrument).process(frame)
    engine.add_data(bars)
    if ticks:
        trades = pd.read_csv(
            os.path.join(data, "w2", "FUT1_ticks.csv"), index_col=0, parse_dates=True
        )
        trades.index = trades.index.tz_localize("UTC")
        trades = trades.rename(columns={"volume": "quantity"})
        trades["trade_id"] = range(len(trades))
        trades["aggressor_side"] = "NO_AGGRESSOR"
        engine.add_data(TradeTickDataWrangler(instrument).process(trades))
    strategy = W2(instrument)
    engine.add_strategy(strategy)
    t1 = time.perf_counter()
    engine.run()
    t2 = time.perf_counter()
    return engine, strategy, len(bars), t0, t1, t2, int(not engine.portfolio.is_flat(iid))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("workload", choices=("w1", "w2"))
    parser.add_argument("datadir")
    parser.add_argument("--ticks", action="store_true", help="W2: also feed the trade ticks")
    args = parser.parse_args()
    run = w1(args.datadir) if args.workload == "w1" else w2(args.datadir, args.ticks)
    engine, strategy, bars, t0, t1, t2, open_positions = run
    account = engine.portfolio.account(VENUE)
    equity = float(account.balance_total(USD)) + float(
        engine.portfolio.unrealized_pnls(VENUE).get(USD, Money(0, USD))
    )
    t_end = time.perf_counter()
    out = {
        "workload": args.workload.upper(),
        "variant": "ticks" if args.ticks else "bars",
        "bars": bars,
        "import_s": T_IMPORTED - T_PROCESS,
        "load_s": t1 - t0,
        "loop_s": t2 - t1,
        "total_s": t_end - t0,
        "orders_created": strategy.n_created,
        "trades_closed": strategy.n_closed,
        "final_value": round(equity, 6),
        "open_positions_at_end": open_positions,
    }
    engine.dispose()
    print(json.dumps(out, sort_keys=True))


if __name__ == "__main__":
    main()
