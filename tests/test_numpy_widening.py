"""Engine arithmetic and comparisons widen numpy float32 scalars to doubles,
so a backtest gives the same numbers under every numpy version.

Under numpy 2, `np.float32(x) + 0.3` stays single precision; under numpy 1 it
was a double.  The engine computes as if every float32 operand were a double
of the same value, whichever numpy is installed; copies of host values (a
tick price kept as a trigger price) keep the type the host gave them.
"""

import numpy as np

import korvit.backtest.domain as domain
from korvit.api.history import _history
from korvit.backtest.model.orders import KVBackStopOrder
from korvit.tframe.sysdefine import GlobalDefine as gv

STOCK = 0
MIN_FEE_TOLERANCE = 1e-15


def as_double(x):
    return float(np.float64(x))


def test_stock_frozen_funds_of_a_float32_price_are_computed_in_doubles(backtest):
    tick = np.float32(42.7)  # 42.70000076293945
    order = backtest.order(1, target=STOCK, price=tick, volume=100)
    values, fees = domain._update_order_stock_frozen([order])

    rates = backtest.vr.g_KorvitAccounts[0].stock_commission_rate
    fee_rate = backtest.env.cost_fee_rate(gv.TARGETTYPE_STOCK)
    p, v = as_double(tick), 100.0
    fee = p * v * rates["OpenTax"] + p * v * rates["TransFee"]
    commission = p * v * fee_rate
    fee += (
        commission
        if commission - rates["MinTradeFee"] >= MIN_FEE_TOLERANCE
        else rates["MinTradeFee"]
    )
    assert values == [p * v] and values[0] != 4270.0  # not the single-precision product
    assert fees == [fee]
    assert not any(isinstance(x, np.float32) for x in values + fees)
    assert order.price is tick  # the record keeps the host's value


def test_a_trailing_stop_on_float32_ticks_trails_in_doubles_and_fires_where_doubles_say(
    backtest, monkeypatch
):
    backtest.vr.g_KorvitSimCurBarFresh = 0
    prices = np.array([38.0, 38.8, 38.5, 38.4], dtype=np.float32)
    ticks = _history.TickData(np.arange(4.0), prices, np.ones(4))
    monkeypatch.setattr(domain, "get_bar_tick_data", lambda target, pos: ticks)
    stop = KVBackStopOrder.create(
        stop_order_id=1,
        target_order_id=1,
        target_idx=1,
        handle_idx=0,
        act=gv.OrderAct_Buy,
        stop_order_type=gv.StopOrderType_Trailing,
        stop_gap_type=gv.OrderStop_StopGap_Point,
        stop_gap=0.3,
        trailing_gap_type=gv.OrderStop_TrailingGap_Point,
        trailing_gap=3.0,
        volume=2,
        ctg=gv.OrderCtg_Market,
    )
    stop.execute_status = gv.StopOrderStatus_Active
    stop.trailing_price, stop.target_price, stop.in_bar_begin = 38.0, 35.0, True
    stop.trailing_high = stop.trailing_low = 35.0
    backtest.vr.g_KVStopOrders.append(1, stop)

    fired, bar_open, *_ = domain._judge_stop_orders_by_tick([stop])

    # The new high 38.8 (38.79999923706055) less 0.3 is 38.49999923706055: the
    # tick 38.5 stays above it (in single precision both would print 38.5),
    # and the stop fires at 38.4.
    assert stop.stop_trailing_price == as_double(prices[1]) - 0.3
    assert type(stop.stop_trailing_price) is not np.float32
    assert [s.stop_order_id for s in fired] == [1]
    assert (stop.trigger_time, bar_open.tolist()) == (3.0, [prices[3]])
    assert stop.trigger_real_price is not None and type(stop.trigger_real_price) is np.float32
    assert stop.trailing_high == prices[1] and type(stop.trailing_high) is np.float32


def test_stops_armed_at_a_float32_fill_price_get_double_prices(backtest):
    """The stop-arming arithmetic on a float32 fill price: every price of the
    armed stops is what doubles give, for points and percentages."""
    order = backtest.order(1, target=1, price=100.0, volume=2)
    order.status = gv.OrderStatus_Filled
    fill = np.float32(3501.7)
    kinds = [
        (gv.StopOrderType_Loss, gv.OrderStop_StopGap_Point, 7.3),
        (gv.StopOrderType_Profit, gv.OrderStop_StopGap_Percent, 1.7),
    ]
    for k, (kind, gap_type, gap) in enumerate(kinds, start=1):
        stop = KVBackStopOrder.create(
            stop_order_id=k,
            target_order_id=1,
            target_idx=1,
            handle_idx=0,
            act=gv.OrderAct_Buy,
            stop_order_type=kind,
            stop_gap_type=gap_type,
            stop_gap=gap,
            trailing_gap_type=gv.OrderStop_TrailingGap_Point,
            trailing_gap=3.0,
            volume=2,
            ctg=gv.OrderCtg_Market,
        )
        backtest.vr.g_KVStopOrders.append(k, stop)
    domain._set_stop_order_target_price(1, fill)
    loss, profit = backtest.vr.g_KVStopOrders.obj([1, 2])
    p = as_double(fill)
    assert loss.stop_price == p + -1 * 7.3
    assert profit.stop_price == p * (1 + 1 * 1.7 / 100)
    assert not isinstance(loss.stop_price, np.float32) and not isinstance(
        profit.stop_price, np.float32
    )
