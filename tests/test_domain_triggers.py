"""Stop-order triggering on the bar and on its ticks, and the per-bar stop dealing."""

import numpy as np
import pytest

import korvit.backtest.domain as domain
from korvit.api.history import _history
from korvit.backtest.model.orders import KVBackStopOrder
from korvit.tframe.sysdefine import GlobalDefine as gv

BUY, SELL = gv.OrderAct_Buy, gv.OrderAct_Sell
LOSS, PROFIT, TRAILING = gv.StopOrderType_Loss, gv.StopOrderType_Profit, gv.StopOrderType_Trailing
POINT = gv.OrderStop_StopGap_Point
HOLDING, ACTIVE, TRAILING_STATUS = (
    gv.StopOrderStatus_Holding,
    gv.StopOrderStatus_Active,
    gv.StopOrderStatus_Trailing,
)
FIRED, CANCELLED = gv.StopOrderStatus_Fired, gv.StopOrderStatus_Cancelled
NAN = float("nan")


def stop(world, stop_id, kind, target_order_id=1, act=BUY, gap=3, status=ACTIVE, **fields):
    record = KVBackStopOrder.create(
        stop_order_id=stop_id,
        target_order_id=target_order_id,
        target_idx=1,
        handle_idx=0,
        act=act,
        stop_order_type=kind,
        stop_gap_type=POINT,
        stop_gap=gap,
        trailing_gap_type=gv.OrderStop_TrailingGap_Point,
        trailing_gap=10,
        volume=2,
        ctg=gv.OrderCtg_Market,
    )
    record.execute_status = status
    for name, value in fields.items():
        setattr(record, name, value)
    world.vr.g_KVStopOrders.append(stop_id, record)
    return record


def ids(records):
    return [r.stop_order_id for r in records]


def unfired(world):
    return ids(world.vr.g_KVStopOrders.snap_obj("unfired"))


def test_bar_judgement_works_on_single_precision_extremes(backtest):
    loss_95 = stop(backtest, 1, LOSS, stop_price=95.0, in_bar_begin=True)
    profit_951 = stop(backtest, 2, PROFIT, stop_price=95.1, in_bar_begin=True)
    loss_951 = stop(backtest, 3, LOSS, stop_price=95.1, in_bar_begin=True)
    profit_105 = stop(backtest, 4, PROFIT, stop_price=105.0, in_bar_begin=True)
    waiting = stop(backtest, 5, LOSS, status=HOLDING, stop_price=200.0)
    # 95.1 as a float32 is 95.0999984741211: below the profit stop, at or below the loss stop.
    may_fire, must_tick = domain._judge_stop_orders_by_bar(
        95.1, 95.1, 100, [profit_951, loss_951, waiting]
    )
    assert (ids(may_fire), must_tick) == ([3], [])
    may_fire, _ = domain._judge_stop_orders_by_bar(105, 95, 100, [loss_95, profit_105])
    assert ids(may_fire) == [1, 4]
    # Nothing left to protect: armed stops are cancelled and leave play, a waiting one is not judged.
    assert domain._judge_stop_orders_by_bar(105, 95, 0, [loss_95, waiting]) == ([], [])
    assert (loss_95.execute_status, waiting.execute_status) == (CANCELLED, HOLDING)
    assert unfired(backtest) == [2, 3, 4, 5]
    # A NaN volume is not 0.
    assert ids(domain._judge_stop_orders_by_bar(105, 95, NAN, [profit_105])[0]) == [4]


@pytest.mark.parametrize("low, outcome", [(108, "ticks"), (109.5, "trailing")])
def test_trailing_stop_begins_and_trails_on_the_bar(backtest, low, outcome):
    trailing = stop(
        backtest,
        1,
        TRAILING,
        trailing_price=110.0,
        target_price=100.0,
        trailing_high=100.0,
        trailing_low=100.0,
        in_bar_begin=True,
    )
    may_fire, must_tick = domain._judge_stop_orders_by_bar(112, low, 100, [trailing])
    assert (
        trailing.is_begin_trailing,
        trailing.in_begin_trailing_bar,
        trailing.execute_status,
    ) == (True, True, TRAILING_STATUS)
    if outcome == "ticks":  # the new high's trigger 109 lies inside the bar: the ticks decide
        assert (may_fire, ids(must_tick)) == ([], [1])
        assert (trailing.trailing_high, trailing.trailing_low, trailing.stop_trailing_price) == (
            110,
            110,
            107,
        )
    else:
        assert (may_fire, must_tick) == ([], [])
        assert (trailing.trailing_high, trailing.trailing_low, trailing.stop_trailing_price) == (
            112,
            109.5,
            109,
        )
    # Reached in a bar during which it was armed: left to the ticks, untouched.
    fresh = stop(
        backtest,
        2,
        TRAILING,
        trailing_price=110.0,
        target_price=100.0,
        trailing_high=100.0,
        trailing_low=100.0,
        in_bar_begin=False,
    )
    assert ids(domain._judge_stop_orders_by_bar(112, 111, 100, [fresh])[1]) == [2]
    assert (fresh.is_begin_trailing, fresh.execute_status) == (False, ACTIVE)


def test_tick_walk_arms_at_the_fill_price_and_reports_the_rest_of_the_bar(backtest, monkeypatch):
    backtest.vr.g_KorvitSimCurBarFresh = 0
    _history.set_bar_tick_data(1, 0, [1.0, 2.0, 3.0], [100.0, 99.0, 101.0], [5, 6, 7])
    loss = stop(backtest, 1, LOSS, stop_price=99.0, target_price=100.0, in_bar_begin=False)
    fired, bar_open, bar_high, bar_low, bar_volume = domain._judge_stop_orders_by_tick([loss])
    assert ids(fired) == [1] and loss.in_bar_begin
    assert (loss.trigger_real_price, loss.trigger_time) == (99.0, 2.0)
    assert [a.tolist() for a in (bar_open, bar_high, bar_low, bar_volume)] == [
        [99.0],
        [101.0],
        [99.0],
        [13.0],
    ]

    # A float32 tick and a stop price that print alike are equal; the first stop in the list wins.
    ticks = _history.TickData(
        np.array([[7.0]]), np.array([[0.1]], dtype=np.float32), np.array([[3]])
    )
    monkeypatch.setattr(domain, "get_bar_tick_data", lambda target, pos: ticks)
    first, second = (
        stop(backtest, k, LOSS, stop_price=0.1, target_price=0.2, in_bar_begin=True) for k in (2, 3)
    )
    fired, bar_open, *_, bar_volume = domain._judge_stop_orders_by_tick([first, second])
    assert ids(fired) == [2] and second.trigger_real_price != second.trigger_real_price
    assert bar_open.dtype == np.float32 and bar_volume.tolist() == [3]

    # The same at any magnitude: a large float32 prints with fewer digits than its exact value.
    for price in (5.2294304e10, 4.599683e7, 1.25e-30):
        ticks = _history.TickData(
            np.array([7.0]), np.array([price], dtype=np.float32), np.array([3])
        )
        at = [
            stop(backtest, 10 + k, kind, stop_price=price, target_price=1.0, in_bar_begin=True)
            for k, kind in enumerate((LOSS, PROFIT))
        ]
        assert [bool(domain._judge_stop_orders_by_tick([s])[0]) for s in at] == [True, True], price
        backtest.vr.g_KVStopOrders = type(backtest.vr.g_KVStopOrders)()

    # No ticks: nothing fires, the arrays stay empty.
    monkeypatch.setattr(
        domain,
        "get_bar_tick_data",
        lambda target, pos: _history.TickData(np.empty(0), np.empty(0), np.empty(0)),
    )
    assert [len(x) for x in domain._judge_stop_orders_by_tick([first])] == [0, 0, 0, 0, 0]


def test_tick_walk_follows_a_trailing_stop_tick_by_tick(backtest):
    backtest.vr.g_KorvitSimCurBarFresh = 0
    _history.set_bar_tick_data(1, 0, range(5), [104.0, 111.0, 115.0, 112.0, 113.0], [1] * 5)
    trailing = stop(
        backtest,
        1,
        TRAILING,
        trailing_price=110.0,
        target_price=100.0,
        trailing_high=100.0,
        trailing_low=100.0,
        in_bar_begin=True,
    )
    fired, bar_open, *_ = domain._judge_stop_orders_by_tick([trailing])
    # Begins at 111 (trigger 107), new high 115 (trigger 112), 112 reaches it.
    assert ids(fired) == [1] and bar_open.tolist() == [112.0]
    assert (trailing.trigger_real_price, trailing.trigger_time) == (112.0, 3.0)
    assert (trailing.trailing_high, trailing.trailing_low, trailing.stop_trailing_price) == (
        115.0,
        110.0,
        112.0,
    )


# ------------------------------------------------------------------ dealing, bar by bar

BARS = [
    (100, 102, 98, 100, 1000),
    (99, 101, 94, 96, 1000),
    (96, 97, 95, 96, 0),
    (96, 120, 96, 118, 1000),
]


def futures_world(backtest, bars=BARS, order_volume=2):
    """A futures target (multiple 10, step 1) with `bars`; order 1 buys `order_volume` at 100."""
    stock = [(10, 10, 10, 10, 1000)] * len(bars)
    backtest.load([stock, bars], [float(k) for k in range(len(bars))], bar=0)
    backtest.order(1, target=1, price=100.0, volume=order_volume)
    return backtest


def deal(world, bar):
    world.vr.g_KorvitSimCurBarFresh = bar
    return domain.deal_trade()


def test_stops_are_armed_at_the_fill_and_fire_on_a_later_bar(backtest):
    world = futures_world(backtest)
    loss = stop(world, 1, LOSS, gap=5, status=HOLDING)
    profit = stop(world, 2, PROFIT, gap=50, status=HOLDING)
    assert deal(world, 0) == ([1], [], [])
    assert (loss.stop_price, loss.in_bar_begin, profit.in_bar_begin) == (95.0, True, True)
    filled, failed, fired = deal(world, 1)
    # The loss stop fires on the bar, at the bar's time; its closing order (id 2) fills at 95.
    assert (filled, failed, fired) == ([2], [], [1])
    assert (loss.execute_status, loss.trigger_time, profit.execute_status) == (
        FIRED,
        1.0,
        CANCELLED,
    )
    closing = world.vr.g_KVOrders.obj([2])[0]
    assert (closing.side, closing.status, closing.filled_average) == (
        SELL,
        gv.OrderStatus_Filled,
        95.0,
    )
    assert (
        unfired(world) == []
        and world.vr.g_KorvitAccounts[0].position(1).position_available_long == 0
    )


def test_deal_returns_the_filled_list_extended_and_cancels_stops_of_failed_orders(
    backtest, monkeypatch
):
    world = futures_world(backtest)
    world.order(3, target=1, price=50.0, volume=2, ctg=gv.OrderCtg_Limit)  # stays pending
    world.order(
        4, target=0, side=SELL, effect=gv.PositionEffect_Close, price=10.0, volume=100
    )  # denied
    stop(world, 1, LOSS, gap=5, status=HOLDING)
    stop(world, 2, LOSS, target_order_id=4, status=HOLDING)
    stop(world, 3, LOSS, target_order_id=NAN, status=ACTIVE, stop_price=1000.0, in_bar_begin=True)
    seen = []
    original = domain._deal_stop_order
    monkeypatch.setattr(
        domain,
        "_deal_stop_order",
        lambda filled, failed: seen.append((filled, unfired(world))) or original(filled, failed),
    )
    filled, failed, fired = deal(world, 0)
    assert (filled, failed, fired) == ([1], [4], [])
    assert seen[0][0] is filled and seen[0][1] == [1, 2, 3]  # the very list; cancelled inside
    assert unfired(world) == [1, 3] and [
        o.order_id for o in world.vr.g_KVOrders.snap_obj("unfilled")
    ] == [3]
    assert (
        domain._get_order_related_unfired_stop_order([1, 1])
        == [world.vr.g_KVStopOrders.obj([1])[0]] * 2
    )


def test_waiting_stops_without_an_order_record_are_left_alone(backtest):
    world = futures_world(backtest)
    lost = [
        stop(world, 1, LOSS, target_order_id=NAN, status=HOLDING),
        stop(world, 2, LOSS, target_order_id=77, status=HOLDING),
    ]
    for bar in range(2):
        deal(world, bar)
    assert [s.execute_status for s in lost] == [HOLDING, HOLDING] and unfired(world) == [1, 2]


def test_stops_with_no_position_behind_them_are_cancelled(backtest):
    world = futures_world(backtest)
    order = world.vr.g_KVOrders.obj([1])[0]
    order.status = gv.OrderStatus_Filled  # filled on paper, no position booked
    world.vr.g_KVOrders.snap_remove("unfilled", [order])
    armed = stop(world, 1, LOSS, stop_price=1.0, in_bar_begin=True)
    deal(world, 0)
    assert armed.execute_status == CANCELLED and unfired(world) == []


def test_a_trailing_stop_fired_on_the_bar_fills_at_its_trailing_stop_price(backtest):
    bars = [(100, 100, 100, 100, 1000), (100, 112, 108, 112, 1000), (112, 112, 104, 105, 1000)]
    world = futures_world(backtest, bars)
    trailing = stop(world, 1, TRAILING, gap=5, status=HOLDING)
    deal(world, 0)
    deal(
        world, 1
    )  # activation 110 reached; the new high 112 moves the trigger to 107, above the low
    assert (trailing.execute_status, trailing.stop_trailing_price) == (TRAILING_STATUS, 107)
    assert deal(world, 2) == ([2], [], [1])
    assert trailing.trigger_real_price == 107
    assert world.vr.g_KVOrders.obj([2])[0].filled_average == 107.0


def test_a_bar_without_trade_fires_nothing_and_single_tick_bars_skip_the_walk(
    backtest, monkeypatch
):
    world = futures_world(backtest)
    loss = stop(world, 1, LOSS, gap=5, status=HOLDING)
    deal(world, 0)
    loss.stop_price = 96.0
    assert deal(world, 2) == ([], [], []) and loss.execute_status == ACTIVE
    # On single-tick bars the ticks are not walked: only the stops left to them would fire, at the
    # bar's time; two stops triggered on the bar do not.
    world.vr.g_KorvitInputInfo.KFrequencyI, world.vr.g_KorvitInputInfo.KFreNum = gv.KFreq_Tick, 1
    monkeypatch.setattr(domain, "get_bar_tick_data", None)
    second = stop(world, 2, LOSS, stop_price=96.0, in_bar_begin=True)
    assert deal(world, 1) == ([], [], [])
    assert (loss.execute_status, second.execute_status) == (ACTIVE, ACTIVE)


def test_reference_counts_stay_balanced_through_judging_and_dealing(backtest, monkeypatch):
    import sys

    ticks = _history.TickData(
        np.array([1.0, 2.0, 3.0]),
        np.array([100.0, 94.0, 99.0], dtype=np.float32),
        np.array([5, 6, 7]),
    )
    monkeypatch.setattr(domain, "get_bar_tick_data", lambda target, pos: ticks)
    high, low, volume = 101.25, 94.5, 10**6 + 1
    watched = (ticks, ticks.Price, high, low, volume, backtest.vr, backtest.env)
    before = [sys.getrefcount(o) for o in watched]
    for _k in range(30):
        world = futures_world(backtest)
        stops = [
            stop(world, 1, LOSS, gap=5, status=HOLDING),
            stop(world, 2, PROFIT, gap=1, status=HOLDING),
            stop(world, 3, TRAILING, gap=2, status=HOLDING),
        ]
        for bar in range(4):
            deal(world, bar)
        again = [
            stop(world, 4, LOSS, stop_price=95.0, in_bar_begin=True, target_price=100.0),
            stop(
                world,
                5,
                TRAILING,
                trailing_price=100.5,
                target_price=100.0,
                trailing_high=100.0,
                trailing_low=100.0,
                in_bar_begin=False,
            ),
        ]
        domain._judge_stop_orders_by_bar(high, low, volume, again)
        domain._judge_stop_orders_by_tick(again)
        with pytest.raises(AttributeError):
            domain._judge_stop_orders_by_bar(high, low, volume, [object()])
        world.vr.g_KVOrders.snap_remove("unfilled", world.vr.g_KVOrders.snap_obj("unfilled"))
        del stops, again
        backtest.vr.g_KVStopOrders = type(backtest.vr.g_KVStopOrders)()
        backtest.vr.g_KVOrders = type(backtest.vr.g_KVOrders)()
    backtest.vr.g_KVTrades = None
    backtest.vr.g_KorvitAccounts.clear()
    backtest.events.clear()
    assert [sys.getrefcount(o) for o in watched] == before
