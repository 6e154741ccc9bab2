"""Stop orders: arming at the fill of their target order, firing, siblings."""

import numpy as np
import pytest

import korvit.backtest.domain as domain
from korvit.backtest.model.orders import KVBackStopOrder
from korvit.tframe.sysdefine import GlobalDefine as gv
from korvit.tframe.utils.exceptions import BuiltinFieldError

BUY, SELL = gv.OrderAct_Buy, gv.OrderAct_Sell
LOSS, PROFIT, TRAILING = gv.StopOrderType_Loss, gv.StopOrderType_Profit, gv.StopOrderType_Trailing
POINT, PERCENT = gv.OrderStop_StopGap_Point, gv.OrderStop_StopGap_Percent
T_POINT = gv.OrderStop_TrailingGap_Point
HOLDING, ACTIVE, TRAILING_STATUS = (
    gv.StopOrderStatus_Holding,
    gv.StopOrderStatus_Active,
    gv.StopOrderStatus_Trailing,
)
FIRED, CANCELLED = gv.StopOrderStatus_Fired, gv.StopOrderStatus_Cancelled
NAN = float("nan")


def stop(
    world,
    stop_id,
    target_order_id,
    kind,
    act=BUY,
    gap_type=POINT,
    gap=5,
    trailing_gap=3,
    target=1,
    ctg=gv.OrderCtg_Market,
    **fields,
):
    record = KVBackStopOrder.create(
        stop_order_id=stop_id,
        target_order_id=target_order_id,
        target_idx=target,
        handle_idx=0,
        act=act,
        stop_order_type=kind,
        stop_gap_type=gap_type,
        stop_gap=gap,
        trailing_gap_type=T_POINT,
        trailing_gap=trailing_gap,
        volume=2,
        ctg=ctg,
    )
    for name, value in fields.items():
        setattr(record, name, value)
    world.vr.g_KVStopOrders.append(stop_id, record)
    return record


def unfired(world):
    return [s.stop_order_id for s in world.vr.g_KVStopOrders.snap_obj("unfired")]


@pytest.mark.parametrize(
    "act, loss, profit, trailing",
    [(BUY, 95, 100 * (1 + 10 / 100), 103), (SELL, 105, 100 * (1 - 10 / 100), 97)],
)
def test_arming_derives_the_prices_from_the_fill(backtest, act, loss, profit, trailing):
    stops = [
        stop(backtest, 1, 7, LOSS, act),
        stop(backtest, 2, 7, PROFIT, act, PERCENT, 10),
        stop(backtest, 3, 7, TRAILING, act),
        stop(backtest, 4, 8, LOSS, act),
        stop(backtest, 5, 7, LOSS, act, execute_status=ACTIVE, stop_price=1.0, in_bar_begin=True),
    ]
    domain._set_stop_order_target_price(7, 100.0)
    assert [(s.stop_price, s.trigger_real_price) for s in stops[:2]] == [
        (loss, loss),
        (profit, profit),
    ]
    assert stops[2].trailing_price == trailing and stops[2].stop_price != stops[2].stop_price
    for s in stops[:3]:
        assert (s.execute_status, s.in_bar_begin) == (ACTIVE, False)
        assert s.target_price == s.trailing_high == s.trailing_low == 100.0
    # Another target order's stop, and a stop that is already armed, are left alone.
    assert (stops[3].execute_status, stops[3].target_price != stops[3].target_price) == (
        HOLDING,
        True,
    )
    assert (stops[4].stop_price, stops[4].in_bar_begin) == (1.0, True)
    # A second report of the fill changes nothing.
    domain._set_stop_order_target_price(7, 50.0)
    assert stops[0].stop_price == loss


def test_arming_with_an_invalid_field_raises_after_the_stop_became_active(backtest, monkeypatch):
    bad = stop(backtest, 1, 7, LOSS, gap_type=99)
    with pytest.raises(BuiltinFieldError, match="stopgap"):
        domain._set_stop_order_target_price(7, 100.0)
    assert (bad.execute_status, bad.target_price) == (ACTIVE, 100.0)
    # An error raiser that returns: the gap falls back to no price.
    monkeypatch.setattr(domain, "raise_bultin_error", lambda key: None)
    odd = stop(backtest, 2, 8, PROFIT, act=9)
    domain._set_stop_order_target_price(8, 100.0)
    assert odd.stop_price == 95.0  # the direction stays -1


def test_firing_places_the_closing_order_and_takes_the_siblings_out(backtest):
    backtest.load([[[4000, 4010, 3990, 4005, 100]]] * 2, [1_700_000_000.0], bar=0)
    for order_id in range(1, 8):
        backtest.order(order_id)
    fired = stop(
        backtest,
        1,
        5,
        LOSS,
        act=SELL,
        execute_status=ACTIVE,
        trigger_real_price=101.5,
        trigger_time=1_700_000_060.0,
    )
    loss_sibling = stop(backtest, 2, 5, PROFIT, execute_status=ACTIVE)
    trailing_sibling = stop(backtest, 3, 5, TRAILING, execute_status=TRAILING_STATUS)
    stop(backtest, 4, 6, LOSS, execute_status=ACTIVE)

    order_ids, prices, times = domain._fire_stop_order(fired)
    assert order_ids.dtype.kind == "i" and order_ids.tolist() == [8] and fired.order_id == 8
    assert prices.tolist() == [101.5] and times.tolist() == [1_700_000_060.0]
    order = backtest.vr.g_KVOrders.obj([8])[0]
    assert (
        order.side,
        order.position_effect,
        order.price,
        order.status,
        order.volume,
        order.ctg,
        order.created_time,
        order.code,
        order.target_type,
    ) == (
        BUY,
        gv.PositionEffect_Close,
        0.0,
        gv.OrderStatus_PreHolding,
        2,
        gv.OrderCtg_Market,
        1_700_000_060.0,
        "SHFE.RB2405",
        gv.TARGETTYPE_FUTURE,
    )
    assert [s.execute_status for s in (fired, loss_sibling, trailing_sibling)] == [
        FIRED,
        CANCELLED,
        TRAILING_STATUS,
    ]
    assert unfired(backtest) == [4]


def test_a_stop_without_target_order_fires_alone(backtest):
    backtest.load([[[4000, 4010, 3990, 4005, 100]]] * 2, [1_700_000_000.0], bar=0)
    lone = stop(
        backtest, 1, NAN, LOSS, execute_status=ACTIVE, trigger_real_price=10.0, trigger_time=0.0
    )
    other = stop(backtest, 2, NAN, LOSS, execute_status=ACTIVE)
    domain._fire_stop_order(lone)
    assert unfired(backtest) == [2] and other.execute_status == ACTIVE
    assert backtest.vr.g_KVOrders.obj([1])[0].side == SELL


def test_a_fired_closing_order_fills_at_the_trigger_price(backtest):
    """The long position opened by order 1 is protected by a loss stop; the stop fires and its
    closing market order fills at the stop price, whatever the bar's open."""
    backtest.load([[[4000, 4010, 3990, 4005, 100]]] * 2, [1_700_000_000.0], bar=0)
    opening = backtest.order(1, target=1, price=4000, volume=2)
    loss = stop(backtest, 1, 1, LOSS, gap=10)
    domain._transaction_order(
        np.array([1]), [4010.0], [3990.0], [4000.0], [100.0], np.array([]), np.array([])
    )
    assert opening.status == gv.OrderStatus_Filled and loss.stop_price == 3990
    loss.trigger_time = 1_700_000_030.0

    fired = domain._fire_stop_order(loss)
    statuses = domain._transaction_order(
        fired[0], [4010.0], [3990.0], [4000.0], [100.0], fired[1], fired[2]
    )
    closing = backtest.vr.g_KVOrders.obj([2])[0]
    assert statuses.tolist() == [gv.OrderStatus_Filled]
    assert (closing.filled_average, closing.updated_time, closing.side) == (
        3990.0,
        1_700_000_030.0,
        SELL,
    )
    position = backtest.vr.g_KorvitAccounts[0].position(1)
    assert position.position_available_long == 0
