"""Order status updates: who is told, in which order, inside which phase."""

import math

import pytest

import korvit.backtest.domain as domain
from korvit.tframe.sysdefine import GlobalDefine as gv

NAN = float("nan")
PRE, HOLD, FILLED = gv.OrderStatus_PreHolding, gv.OrderStatus_Holding, gv.OrderStatus_Filled
CANCELLED, DENIED = gv.OrderStatus_Cancelled, gv.OrderStatus_Denied


class Recorder:
    """Wraps an account and an order so that their calls land in one log."""

    def __init__(self, world, order):
        self.log = []
        account = world.vr.g_KorvitAccounts[order.handle_idx]
        real_on_order, real_update = account.on_order, order.update_status

        def on_order(orders):
            self.log.append(("on_order", [o.order_id for o in orders], orders[0].status))
            return real_on_order(orders)

        def update_status(*args):
            self.log.append(("update_status", args))
            return real_update(*args)

        account.on_order = on_order
        self.order_update = update_status


@pytest.fixture
def world(backtest):
    backtest.load([[[10, 11, 9, 10, 100]]], [0.0], bar=0)
    return backtest


def tracked(world, status, volume=100):
    order = world.order(1, status=status, volume=volume)
    order.set_frozen_item("value", 1000.0)
    recorder = Recorder(world, order)
    # records use __slots__: route update_status through a thin subclass
    order.__class__ = type(
        "TrackedOrder",
        (type(order),),
        {"__slots__": (), "update_status": lambda self, *a: recorder.order_update(*a)},
    )
    return order, recorder


@pytest.mark.parametrize(
    "before, after, told",
    [
        (PRE, HOLD, True),
        (HOLD, CANCELLED, True),
        (HOLD, DENIED, True),
        (PRE, CANCELLED, False),
        (PRE, DENIED, False),
        (HOLD, FILLED, False),
        (HOLD, HOLD, False),
        (PRE, PRE, False),
        (FILLED, CANCELLED, False),
    ],
)
def test_the_account_is_told_only_when_an_order_starts_or_stops_holding(world, before, after, told):
    order, rec = tracked(world, before)
    status_s = [None, before, None]
    world.events.clear()
    assert domain._update_order_status(order, status_s, 1, after, 7, 42.0) is None
    expected = [("update_status", (after, 7, 42.0))]
    if told:
        expected.append(("on_order", [1], after))
    assert rec.log == expected
    assert status_s == [None, after, None]
    assert order.status == after and order.rej_reason == 7 and order.updated_time == 42.0
    [(kind, context, snap, phase)] = world.events
    assert (kind, context, phase) == ("status", "context", gv.RUMMODE_PHASE_DEAL_TRADE)
    assert snap.order_id == 1 and snap.status == after and snap.account == "first"


def test_the_callback_sees_the_status_array_already_updated(world):
    order, _ = tracked(world, PRE)
    status_s = [PRE]
    seen = []
    world.vr.g_KorvitInputInfo.on_order_status_func = lambda ctx, snap: seen.append(list(status_s))
    domain._update_order_status(order, status_s, 0, HOLD, NAN, 1.0)
    assert seen == [[HOLD]]
    # a callback replaced between two notifications: the new one is called
    world.vr.g_KorvitInputInfo.on_order_status_func = lambda ctx, snap: seen.append("new")
    domain._update_order_status(order, status_s, 0, HOLD, NAN, 2.0)
    assert seen == [[HOLD], "new"]


def test_the_execution_callback_gets_order_and_trade_inside_the_phase(world):
    order = world.order(1, volume=100)
    trade = domain._create_a_trader(order, 10.0, 100, 10.0, 5.0)
    world.events.clear()
    assert domain._back_test_call_on_execution(order, trade) is None
    [(kind, context, snap, phase)] = world.events
    assert (kind, context, phase) == ("execution", "context", gv.RUMMODE_PHASE_DEAL_TRADE)
    assert (snap.order_id, snap.exec_id, snap.price, snap.volume) == (1, 0, 10.0, 100)


def test_failures_leave_the_steps_already_done(world):
    # an unknown account fails before the record changes
    order, rec = tracked(world, PRE)
    order.handle_idx = 5
    status_s = [PRE]
    with pytest.raises(IndexError):
        domain._update_order_status(order, status_s, 0, HOLD, NAN, 1.0)
    assert rec.log == [] and order.status == PRE and status_s == [PRE]

    # a failing on_order: record updated, status array and callback untouched
    order.handle_idx = 0
    world.vr.g_KorvitAccounts[0].on_order = lambda orders: 1 / 0
    with pytest.raises(ZeroDivisionError):
        domain._update_order_status(order, status_s, 0, HOLD, NAN, 1.0)
    assert order.status == HOLD and status_s == [PRE] and world.events == []

    # a failing user callback: everything before it is done
    world.vr.g_KorvitInputInfo.on_order_status_func = lambda ctx, snap: {}["boom"]
    with pytest.raises(KeyError):
        domain._update_order_status(order, status_s, 0, FILLED, NAN, 2.0)
    assert order.status == FILLED and status_s == [FILLED]


def test_handle_index_may_be_any_integral_number(world):
    order, rec = tracked(world, PRE)
    order.handle_idx = 0.0
    domain._update_order_status(order, [PRE], 0, HOLD, NAN, 1.0)
    assert rec.log[-1][0] == "on_order"
    order.handle_idx = NAN
    with pytest.raises(ValueError):
        domain._update_order_status(order, [PRE], 0, HOLD, NAN, 1.0)
    assert math.isnan(order.handle_idx)
