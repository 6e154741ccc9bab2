"""A small backtest from start to end: strategy, matching engine, stop orders, accounts.

    python examples/run_backtest.py

Two targets (the stock SZSE.000001 and the futures contract SHFE.RB2405),
eight daily bars, ticks inside three of them, and two accounts ("stocks" and
"futures").  The strategy below is written as a user would write one: it
places limit and market orders, opening and closing, and protects some
fills with loss, profit and trailing stop orders.  The run loop plays the
host: for every bar it moves the fresh-bar cursor, calls the strategy's
`on_data`, then lets the matching engine deal the bar (`deal_trade`), and
prints what was filled, denied or cancelled, which stop orders fired or
were cancelled, and which orders are still pending.
The strategy's `on_order_status` and `on_execution` print one line each as
the engine reports to them.  At the end it prints the trades and each
account's cash and positions.

What happens on the way: the stock buy of bar 0 is protected by a loss and
a profit stop; the profit stop's price is reached before the buy could
fill, so the ticks keep it from firing in bar 0, and in bar 1 both stops are
reached and the ticks tell that the profit stop came first.  The futures buy
of bar 0 has a trailing stop that starts trailing in bar 1 and fires on the
bar in bar 2.  Bar 2 of the stock has no volume, so the market buy placed
then waits for bar 3.  In bar 3 an odd-lot stock buy is denied and its stop
cancelled, and a futures short opens (its sell limit at the bar's open,
above the limit); the ticks of bar 4 fire its trailing stop.  The stock sell of bar 7 is priced above the bar and stays pending.
"""

from datetime import datetime
from types import SimpleNamespace

import numpy as np
import tframe.framekit as fk
from backtest.env import install_backtest_env
from backtest.model.accounts import KVBackAccount
from backtest.model.orders import (
    KVBackOrder,
    KVBackOrderCollect,
    KVBackStopOrder,
    KVBackStopOrderCollect,
    KVBackTradeCollect,
)
from backtest.runner import deal_bar
from tframe.sysdefine import GlobalDefine as gv
from tframe.uclass import KData
from tframe.utils.datetimefunc import datetime_to_mft, mft_to_datetime

from korvit.api.history import _history

STOCK, FUTURE = 0, 1
CODES = ["SZSE.000001", "SHFE.RB2405"]
ACCOUNTS = ["stocks", "futures"]
DAYS = [datetime(2024, 1, d, 15) for d in (2, 3, 4, 5, 8, 9, 10, 11)]
BARS = {  # target -> one row (open, high, low, close, volume) per day
    STOCK: [
        (10.25, 10.50, 9.75, 10.25, 120000),
        (10.25, 10.75, 9.25, 9.50, 98000),
        (9.50, 9.50, 9.50, 9.50, 0),
        (9.50, 10.00, 9.25, 9.75, 143000),
        (9.75, 10.25, 9.50, 10.00, 87000),
        (10.00, 10.50, 9.75, 10.25, 91000),
        (10.25, 10.75, 10.00, 10.50, 76000),
        (10.50, 10.75, 10.25, 10.50, 64000),
    ],
    FUTURE: [
        (3500, 3510, 3490, 3505, 5200),
        (3515, 3530, 3522, 3528, 6100),
        (3526, 3528, 3512, 3515, 5800),
        (3515, 3520, 3490, 3495, 7300),
        (3495, 3505, 3470, 3475, 6600),
        (3475, 3490, 3460, 3485, 5900),
        (3485, 3500, 3480, 3495, 6300),
        (3495, 3510, 3490, 3505, 6000),
    ],
}
TICKS = {  # (target, bar) -> tick prices, one a minute from 09:30
    (STOCK, 0): [10.25, 10.50, 10.00, 9.75, 10.25],
    (STOCK, 1): [10.25, 10.75, 9.25, 9.50],
    (FUTURE, 4): [3495, 3505, 3480, 3470, 3486, 3475],
}
CONTRACTS = [  # what the history API hands the engine, by target index
    {
        "MinMove": 0.01,
        "Multiple": 1,
        "LongMargin": 1.0,
        "ShortMargin": 1.0,
        "TradingFeeOpen": 0.0,
        "TradingFeeClose": 0.0,
    },
    {
        "MinMove": 1.0,
        "Multiple": 10,
        "LongMargin": 0.1,
        "ShortMargin": 0.12,
        "TradingFeeOpen": 3.0,
        "TradingFeeClose": 3.0,
    },
]
NAMES = {
    "side": {gv.OrderAct_Buy: "buy", gv.OrderAct_Sell: "sell"},
    "effect": {gv.PositionEffect_Open: "open", gv.PositionEffect_Close: "close"},
    "ctg": {gv.OrderCtg_Market: "market", gv.OrderCtg_Limit: "limit"},
    "status": {
        gv.OrderStatus_PreHolding: "new",
        gv.OrderStatus_Holding: "holding",
        gv.OrderStatus_Filled: "filled",
        gv.OrderStatus_Cancelled: "cancelled",
        gv.OrderStatus_Denied: "denied",
    },
    "reason": {
        gv.OrderReject_MarketOrderHolding: "no trading, market order",
        gv.OrderReject_IllegalVolume: "illegal volume",
        gv.OrderReject_NoEnoughCash: "not enough cash",
        gv.OrderReject_NoEnoughPosition: "not enough position",
        gv.OrderReject_LimitType: "limit not reached",
        gv.OrderReject_DailyBeginCancel: "day begin",
    },
    "stop": {
        gv.StopOrderType_Loss: "loss",
        gv.StopOrderType_Profit: "profit",
        gv.StopOrderType_Trailing: "trailing",
    },
}


def when(t):
    return mft_to_datetime([t])[0].strftime("%m-%d %H:%M")


# ------------------------------------------------------------------ order placing (host side)


def place_order(account, target, side, effect, volume, price=0.0, ctg=gv.OrderCtg_Limit):
    """A new order, stored as the host stores it: in `g_KVOrders`, snap "unfilled"."""
    vr = fk.vr
    order = KVBackOrder.create(
        handle_idx=ACCOUNTS.index(account),
        target_idx=target,
        code=CODES[target],
        order_id=vr.g_KVOrders.size + 1,
        order_price=price,
        target_type=fk.env.get_target_type(target),
        position_effect=effect,
        order_status=gv.OrderStatus_PreHolding,
        created_time=fk.env.fresh_bar_time,
        volume=volume,
        order_ctg=ctg,
        order_side=side,
    )
    vr.g_KVOrders.append(order.order_id, order)
    return order


def protect(order, kind, gap, gap_type=gv.OrderStop_StopGap_Point, trailing_gap=float("nan")):
    """A stop order that closes the whole fill of `order` at market once triggered."""
    stops = fk.vr.g_KVStopOrders
    stop = KVBackStopOrder.create(
        stop_order_id=stops.size + 1,
        target_order_id=order.order_id,
        target_idx=order.target_idx,
        handle_idx=order.handle_idx,
        act=order.side,
        stop_order_type=kind,
        stop_gap_type=gap_type,
        stop_gap=gap,
        trailing_gap_type=gv.OrderStop_TrailingGap_Point,
        trailing_gap=trailing_gap,
        volume=order.volume,
        ctg=gv.OrderCtg_Market,
    )
    stops.append(stop.stop_order_id, stop)
    return stop


# ------------------------------------------------------------------ the user's strategy

BUY, SELL = gv.OrderAct_Buy, gv.OrderAct_Sell
OPEN, CLOSE = gv.PositionEffect_Open, gv.PositionEffect_Close


LOSS, PROFIT, TRAILING = gv.StopOrderType_Loss, gv.StopOrderType_Profit, gv.StopOrderType_Trailing
PERCENT = gv.OrderStop_StopGap_Percent


def init(context):
    context.bars_seen = 0


def on_data(context):
    bar = context.bars_seen
    context.bars_seen += 1
    if bar == 0:
        buy = place_order("stocks", STOCK, BUY, OPEN, 1000, 10.00)
        protect(buy, LOSS, 0.5)  # 9.50
        protect(buy, PROFIT, 0.5)  # 10.50
        buy = place_order("futures", FUTURE, BUY, OPEN, 2, 3500)
        protect(buy, TRAILING, 10, trailing_gap=20)  # trails 10 behind, from 3520 on
        protect(buy, LOSS, 30)  # 3470
    elif bar == 2:
        place_order("stocks", STOCK, BUY, OPEN, 500, ctg=gv.OrderCtg_Market)
    elif bar == 3:
        protect(place_order("stocks", STOCK, BUY, OPEN, 150, 9.50), LOSS, 0.5)
        sell = place_order("futures", FUTURE, SELL, OPEN, 1, 3500)  # fills at the open, 3515
        protect(sell, TRAILING, 50, PERCENT, trailing_gap=20)  # half the gain, from 3495 on
        protect(sell, LOSS, 30)  # 3545
    elif bar == 5:
        place_order("stocks", STOCK, SELL, CLOSE, 300, 10.25)
        place_order("futures", FUTURE, SELL, OPEN, 1, ctg=gv.OrderCtg_Market)
    elif bar == 7:
        place_order("futures", FUTURE, BUY, CLOSE, 1, ctg=gv.OrderCtg_Market)
        place_order("stocks", STOCK, SELL, CLOSE, 200, 11.00)


def on_order_status(context, order, *args, **kwargs):
    reason = (
        "" if order.rej_reason != order.rej_reason else f" ({NAMES['reason'][order.rej_reason]})"
    )
    print(
        f"    [on_order_status] #{order.order_id} {order.account} {order.target} "
        f"{NAMES['side'][order.side]} {NAMES['effect'][order.position_effect]} "
        f"{order.volume:g}: {NAMES['status'][order.status]}{reason}"
    )


def on_execution(context, excution, *args, **kwargs):
    print(
        f"    [on_execution] trade {excution.exec_id} of #{excution.order_id}: "
        f"{NAMES['side'][excution.side]} {excution.volume:g} {excution.target} "
        f"at {excution.price:g} ({when(excution.filled_time)})"
    )


# ------------------------------------------------------------------ the host


def set_up():
    """Registry, environment, bars, ticks, contracts, accounts and the user's callbacks."""
    env = install_backtest_env()
    vr = env.vr
    times = [datetime_to_mft(d) for d in DAYS]
    matrix = env.generate_kmatrix_array(len(CODES), len(DAYS))
    matrix[gv.KMatrixPos_TimeLine] = times
    items = (gv.KMatrix_Open, gv.KMatrix_High, gv.KMatrix_Low, gv.KMatrix_Close, gv.KMatrix_Volume)
    for target, rows in BARS.items():
        rows = np.array(rows, dtype=float)
        for k, item in enumerate(items):
            matrix[gv.bar_item_pos(item, target)] = rows[:, k]
    vr.g_KorvitKDataList.append(KData(matrix, np.arange(len(DAYS))))
    vr.g_KorvitDataValueFresh = matrix[: gv.KMatrixPos_Head_len].copy()
    vr.g_KorvitInputInfo.TargetList = [code.lower() for code in CODES]
    vr.g_KorvitInputInfo.TargetListDot = list(CODES)
    vr.g_KorvitTargetsInfo.update(
        {
            CODES[STOCK]: {"Type": gv.TARGETTYPE_STOCK, "MinMove": 0.01},
            CODES[FUTURE]: {"Type": gv.TARGETTYPE_FUTURE, "Multiple": 10.0, "MinMove": 1.0},
        }
    )
    _history.set_target_info_v2(CONTRACTS)
    for (target, bar), prices in TICKS.items():
        start = times[bar] - 5.5 * 3600
        _history.set_bar_tick_data(
            target, bar, [start + 60 * i for i in range(len(prices))], prices, [100] * len(prices)
        )
    vr.g_KVOrders, vr.g_KVStopOrders, vr.g_KVTrades = (
        KVBackOrderCollect(),
        KVBackStopOrderCollect(),
        KVBackTradeCollect(),
    )
    vr.g_KorvitAccounts[:] = [KVBackAccount(name, 1_000_000.0) for name in ACCOUNTS]
    vr.g_KorvitInputInfo.AccountNameList = list(ACCOUNTS)
    vr.g_KorvitUserContext = SimpleNamespace()
    env.update_user_scope(
        {
            "init": init,
            "on_data": on_data,
            "on_order_status": on_order_status,
            "on_execution": on_execution,
        }
    )
    return env


def describe(order):
    return (
        f"#{order.order_id} {ACCOUNTS[int(order.handle_idx)]} {CODES[int(order.target_idx)]} "
        f"{NAMES['ctg'][order.ctg]} {NAMES['side'][order.side]} "
        f"{NAMES['effect'][order.position_effect]} {order.volume:g}"
    )


def run(env):
    vr, info = env.vr, env.vr.g_KorvitInputInfo
    context = vr.g_KorvitUserContext
    info.on_init_func(context)
    for bar in range(len(DAYS)):
        vr.g_KorvitSimCurBarFresh = bar
        print(f"bar {bar}  {when(env.fresh_bar_time)}")
        info.on_data_func(context)
        live = vr.g_KVStopOrders.snap_obj("unfired")
        filled, denied, fired = deal_bar(bar)
        orders = vr.g_KVOrders
        for order in orders.obj(list(filled)):
            state = NAMES["status"][order.status]
            print(f"  {state:9s} {describe(order)} at {order.filled_average:g}")
        for order in orders.obj(list(denied)):
            print(
                f"  {NAMES['status'][order.status]:9s} {describe(order)} "
                f"({NAMES['reason'][order.rej_reason]})"
            )
        for stop in vr.g_KVStopOrders.obj(list(fired)):
            print(
                f"  fired     stop {stop.stop_order_id} ({NAMES['stop'][stop.stop_order_type]}, "
                f"protecting #{stop.target_order_id}) at {stop.trigger_real_price:g} "
                f"({when(stop.trigger_time)}) -> order #{stop.order_id}"
            )
        for stop in live:
            if stop.execute_status == gv.StopOrderStatus_Cancelled:
                print(
                    f"  cancelled stop {stop.stop_order_id} ({NAMES['stop'][stop.stop_order_type]}, "
                    f"protecting #{stop.target_order_id})"
                )
        for order in orders.snap_obj("unfilled"):
            print(f"  pending   {describe(order)} ({NAMES['status'][order.status]})")


def report(env):
    vr = env.vr
    print("trades")
    for trade in vr.g_KVTrades.obj(list(range(vr.g_KVTrades.size))):
        print(
            f"  {trade.trader_id}: #{trade.order_id} {ACCOUNTS[trade.handle_idx]} "
            f"{CODES[trade.target_idx]} {NAMES['side'][trade.side]} "
            f"{NAMES['effect'][trade.position_effect]} {trade.volume:g} at {trade.price:g} "
            f"({when(trade.filled_time)}), fee {trade.frozen_item('trader_fee'):.2f}"
        )
    print("accounts")
    for account in vr.g_KorvitAccounts:
        print(
            f"  {account.name}: cash {account.cash:,.2f}, realised {account.realised_pnl:,.2f}, "
            f"fees {account.fee_total:,.2f}"
        )
        for target, code in enumerate(CODES):
            position = account.position(target)
            if position is not None and (position.position_long or position.position_short):
                print(
                    f"    {code}: long {position.position_long:g}, short {position.position_short:g}"
                )


def main():
    env = set_up()
    run(env)
    report(env)


if __name__ == "__main__":
    main()
