"""Frozen margin and fees of pending orders and of executed trades."""

import math

import numpy as np
import pytest

import korvit.backtest.domain as domain
from korvit.api.history import _history
from korvit.backtest.model.orders import KVBackTrade
from korvit.tframe.sysdefine import GlobalDefine as gv

STOCK, FUTURE, FUTURE2 = 0, 1, 2
BUY, SELL = gv.OrderAct_Buy, gv.OrderAct_Sell
OPEN, CLOSE = gv.PositionEffect_Open, gv.PositionEffect_Close


@pytest.fixture
def world(backtest):
    backtest.load([[[10, 11, 9, 10, 100]]] * 3, [0.0], bar=0)
    backtest.vr.g_KorvitAccounts[0].stock_commission_rate.update(
        OpenTax=0.0, CloseTax=0.001, TransFee=0.00002, MinTradeFee=5.0
    )
    return backtest


def contract(world, target, **values):
    infos = _history.get_target_info_v2(range(3))
    infos[target].update(values)
    _history.set_target_info_v2(infos)


def frozen(record, names=("value", "fee")):
    return tuple(record.frozen_item(n) for n in names)


def trade(world, target, side, effect, price, volume, trader_id=0):
    return KVBackTrade.create(
        handle_idx=0,
        target_idx=target,
        target_type=gv.TARGETTYPE_FUTURE if target else gv.TARGETTYPE_STOCK,
        order_id=trader_id,
        order_price=price,
        trader_id=trader_id,
        trader_volume=volume,
        trade_price=price,
        filled_time=0.0,
        order_ctg=gv.OrderCtg_Limit,
        order_side=side,
        position_effect=effect,
        tag=None,
        order_fee=0.0,
        order_margin=0.0,
    )


def test_futures_order_worked_example_and_fee_modes(world):
    contract(world, FUTURE, LongMargin=0.1, Multiple=10, TradingFeeOpen=3)
    order = world.order(1, target=FUTURE, price=4000.0, volume=2)
    margins, fees = domain._update_order_future_frozen([order])
    assert isinstance(margins, np.ndarray) and margins.dtype == np.float64
    assert list(margins) == [8000.0] and list(fees) == [6.0] and frozen(order) == (8000.0, 6.0)
    for fee_open, expected in ((0.0001, 2 * 4000.0 * 0.0001 * 10), (0.1, 2 * 4000.0 * 0.1 * 10)):
        contract(world, FUTURE, TradingFeeOpen=fee_open)  # 0.1 itself is a rate on value
        domain._update_order_future_frozen([order])
        assert frozen(order) == (8000.0, expected)


def test_futures_batch_uses_side_effect_and_unfilled_volume(world):
    contract(
        world,
        FUTURE,
        LongMargin=0.1,
        ShortMargin=0.12,
        Multiple=10,
        TradingFeeOpen=3,
        TradingFeeClose=0.0002,
    )
    world.vr.g_KorvitSettingInfo.MarginRate = 1.5
    world.vr.g_KorvitSettingInfo.cost_fee_future = 2.0
    partly = world.order(1, target=FUTURE, price=4000.0, volume=5, filled_volume=3)
    closing_sell = world.order(2, target=FUTURE, side=SELL, effect=CLOSE, price=4100.0, volume=2)
    close_today = world.order(
        3, target=FUTURE, side=BUY, effect=gv.PositionEffect_CloseToday, price=3900.0, volume=1
    )
    margins, fees = domain._update_order_frozen([partly, closing_sell, close_today])
    assert type(margins) is list and type(fees) is list
    assert frozen(partly) == (4000.0 * 2 * 10 * 0.1 * 1.5, 2 * 3.0 * 2.0)
    # a pending close freezes margin like an open; any other effect counts as closing
    assert frozen(closing_sell) == (4100.0 * 2 * 10 * 0.12 * 1.5, 2 * 4100.0 * 0.0002 * 10 * 2.0)
    assert frozen(close_today) == (3900.0 * 1 * 10 * 0.1 * 1.5, 1 * 3900.0 * 0.0002 * 10 * 2.0)
    assert margins == [frozen(o)[0] for o in (partly, closing_sell, close_today)]


def test_stock_order_worked_example_and_minimum_commission(world):
    order = world.order(1, target=STOCK, price=10.0, volume=1000)
    values, fees = domain._update_order_stock_frozen([order])
    assert (values, fees) == ([10000.0], [0.0 + 10000.0 * 0.00002 + 5.0])
    commission = 10.0 * 1000 * 0.0003
    rates = world.vr.g_KorvitAccounts[0].stock_commission_rate
    for minimum, charged in (
        (commission, commission),
        (math.nextafter(commission, 0), math.nextafter(commission, 0)),  # within 1e-15
        (commission - 5e-15, commission),
    ):
        rates["MinTradeFee"] = minimum
        domain._update_order_stock_frozen([order])
        assert order.frozen_item("fee") == 0.0 + 10000.0 * 0.00002 + charged


def test_stock_orders_use_the_first_account_and_the_whole_volume(world):
    world.vr.g_KorvitAccounts[1].stock_commission_rate.update(MinTradeFee=0.0, TransFee=0.5)
    sell = world.order(
        1,
        target=STOCK,
        side=SELL,
        effect=CLOSE,
        price=20.0,
        volume=3000,
        handle=1,
        filled_volume=1000,
    )
    domain._update_order_stock_frozen([sell])
    assert frozen(sell) == (60000.0, 60000.0 * 0.001 + 60000.0 * 0.00002 + 60000.0 * 0.0003)


def test_unsupported_stock_effect_stops_the_batch_where_it_stands(world):
    first = world.order(1, target=STOCK, price=10.0, volume=100)
    odd = world.order(2, target=STOCK, effect=gv.PositionEffect_CloseToday, price=10.0, volume=100)
    last = world.order(3, target=STOCK, price=10.0, volume=100)
    for o in (odd, last):
        o.set_frozen_item("value", 7.0)
    with pytest.raises(NotImplementedError) as info:
        domain._update_order_frozen([first, odd, last])
    assert (
        str(info.value)
        == f"position_effect {gv.PositionEffect_CloseToday!r} is neither open nor close"
    )
    assert frozen(first) == (1000.0, 5.02) and frozen(odd)[0] == 7.0 and frozen(last)[0] == 7.0
    names = [entry.name for entry in info.traceback]
    assert names[-2:] == [
        "backtest.domain._update_order_frozen",
        "backtest.domain._update_order_stock_frozen",
    ]


def test_missing_contract_value_fails_before_anything_is_stored(world):
    infos = _history.get_target_info_v2(range(3))
    del infos[FUTURE]["ShortMargin"]
    _history.set_target_info_v2(infos)
    buy = world.order(1, target=FUTURE, price=4000.0, volume=1)
    sell = world.order(2, target=FUTURE, side=SELL, price=4000.0, volume=1)
    domain._update_order_future_frozen([buy])  # a buy batch never reads ShortMargin
    assert frozen(buy)[0] == 4000.0
    with pytest.raises(TypeError):
        domain._update_order_future_frozen([buy, sell])
    assert frozen(sell) == (0.0, 0.0)


def test_dispatch_calls_only_the_computations_it_needs(world, monkeypatch):
    calls = []
    for name in ("_update_order_future_frozen", "_update_order_stock_frozen"):
        real = getattr(domain, name)
        monkeypatch.setattr(
            domain, name, lambda orders, name=name, real=real: calls.append(name) or real(orders)
        )
    future = world.order(1, target=FUTURE, price=4000.0, volume=1)
    stock = world.order(2, target=STOCK, price=10.0, volume=100)
    other = world.order(3, target=STOCK, price=10.0, volume=100)
    other.target_type = gv.TARGETTYPE_INDEX
    other.set_frozen_item("fee", 1.25)
    domain._update_order_frozen([future])
    assert calls == ["_update_order_future_frozen"]
    calls.clear()
    values, fees = domain._update_order_frozen([other, stock])
    assert calls == ["_update_order_stock_frozen"]
    assert (values, fees) == ([0.0, 1000.0], [1.25, 5.02])


def test_trade_worked_example_closing_trades_freeze_no_margin(world):
    contract(world, FUTURE, LongMargin=0.1, Multiple=10, TradingFeeOpen=3, TradingFeeClose=3)
    opening = trade(world, FUTURE, BUY, OPEN, 4000.0, 2)
    closing = trade(world, FUTURE, SELL, CLOSE, 4100.0, 2, trader_id=1)
    values, fees = domain._update_trader_frozen([opening, closing])
    assert (values, fees) == ([8000.0, 0.0], [6.0, 6.0])
    names = ("trader_value", "trader_fee")
    assert frozen(opening, names) == (8000.0, 6.0) and frozen(closing, names) == (0.0, 6.0)
    margins, _ = domain._update_trader_future_frozen([closing])
    assert isinstance(margins, np.ndarray) and list(margins) == [0.0]


def test_stock_trades_and_unsupported_effects(world, monkeypatch):
    sell = trade(world, STOCK, SELL, CLOSE, 10.0, 1000)
    assert domain._update_trader_stock_frozen([sell]) == ([10000.0], [10.0 + 0.2 + 5.0])
    odd = trade(world, STOCK, BUY, gv.PositionEffect_CloseToday, 10.0, 100)
    with pytest.raises(
        NotImplementedError, match=r"^position_effect .* is neither open nor close$"
    ):
        domain._update_trader_stock_frozen([odd])
    assert frozen(odd, ("trader_value", "trader_fee")) == (0.0, 0.0)
    # the split follows the environment's view of the target, not the record's type field
    monkeypatch.setattr(world.env, "is_target_type", lambda idx, kind: False)
    assert domain._update_trader_frozen([sell]) == ([10000.0], [15.2])


def test_a_host_that_empties_the_batch_midway_cannot_upset_the_update(world):
    orders = [world.order(k, target=FUTURE, price=4000.0, volume=1) for k in range(1, 4)]
    batch = list(orders)
    real = type(orders[0]).set_frozen_item

    class Hostile(type(orders[0])):
        __slots__ = ()

        def set_frozen_item(self, name, value):
            batch.clear()  # the caller's list shrinks under the engine
            return real(self, name, value)

    for o in orders:
        o.__class__ = Hostile
    margins, fees = domain._update_order_frozen(batch)
    assert (
        margins == [4000.0 * 10 * 0.1] * 3 and [o.frozen_item("fee") for o in orders] == [3.0] * 3
    )


def test_a_collection_class_that_returns_too_few_values_is_an_error_not_a_crash(world, monkeypatch):
    from korvit.tframe.utils.collectbase import CollectBase

    class Short(CollectBase):
        @staticmethod
        def obj_attr_value(records, attr):
            return CollectBase.obj_attr_value(records, attr)[:-1]

    monkeypatch.setattr(domain, "cb", Short)
    orders = [world.order(k, target=FUTURE, price=4000.0, volume=1) for k in (1, 2)]
    with pytest.raises(IndexError, match="1 values of 'target_idx' for 2 records"):
        domain._update_order_future_frozen(orders)
