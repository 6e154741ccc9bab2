"""Benchmarks of the matching engine's building blocks.

    python bench/bench_domain.py [--repeat N]

Each figure is the time of the compiled engine and of its plain-Python twin
(bench/reference_domain.py, the same operations in the same order) on the same
host objects, measured in this run; the ratio is what matters (machines
differ).  Host calls (records, collections, accounts) are the same for both,
so they bound the ratio.
"""

import argparse
import random
import time

import numpy as np
import reference_domain  # the plain-Python twin beside this file

import korvit.backtest.domain as domain
from korvit.api.history import _history
from korvit.backtest.env import install_backtest_env
from korvit.backtest.model.accounts import KVBackAccount
from korvit.backtest.model.orders import (
    KVBackOrder,
    KVBackOrderCollect,
    KVBackStopOrder,
    KVBackStopOrderCollect,
    KVBackTradeCollect,
)
from korvit.tframe.sysdefine import GlobalDefine as gv
from korvit.tframe.uclass import KData
from korvit.tframe.utils.datetimefunc import datetime_to_mft

N_TARGETS = 20  # even targets are stocks, odd ones futures


def set_up():
    """framekit's registry and a backtest environment with targets, bars and accounts."""
    env = install_backtest_env()
    vr = env.vr
    infos, kinds = [], {}
    for t in range(N_TARGETS):
        future = t % 2 == 1
        kinds[f"X.T{t}"] = {
            "Type": gv.TARGETTYPE_FUTURE if future else gv.TARGETTYPE_STOCK,
            "Multiple": 10 if future else 1,
        }
        infos.append(
            {
                "MinMove": 0.2 if future else 0.01,
                "Multiple": 10 if future else 1,
                "LongMargin": 0.1,
                "ShortMargin": 0.12,
                "TradingFeeOpen": 3.0 if t % 4 == 1 else 0.0001,
                "TradingFeeClose": 3.0,
            }
        )
    _history.set_target_info_v2(infos)
    vr.g_KorvitTargetsInfo.clear()
    vr.g_KorvitTargetsInfo.update(kinds)
    n_bars = 10
    matrix = env.generate_kmatrix_array(N_TARGETS, n_bars)
    matrix[gv.KMatrixPos_TimeLine] = [
        datetime_to_mft(np.datetime64("2024-01-02", "s").astype(object)) + 86400 * k
        for k in range(n_bars)
    ]
    matrix[gv.KMatrixPos_Head_len :] = 100.0
    vr.g_KorvitKDataList.clear()
    vr.g_KorvitKDataList.append(KData(matrix, np.arange(n_bars)))
    vr.g_KorvitDataValueFresh = matrix[: gv.KMatrixPos_Head_len].copy()
    vr.g_KorvitSimCurBarFresh = 5
    vr.g_KorvitAccounts[:] = [KVBackAccount("bench", 1e12)]
    vr.g_KorvitInputInfo.AccountNameList = ["bench"]
    vr.g_KorvitInputInfo.TargetList = [k.lower() for k in kinds]
    vr.g_KorvitInputInfo.TargetListDot = list(kinds)
    vr.g_KorvitInputInfo.on_order_status_func = lambda context, snap: None
    vr.g_KorvitInputInfo.on_order_execution_func = lambda context, snap: None
    return vr


def make_orders(count, seed=1):
    rng = random.Random(seed)
    orders = []
    for k in range(count):
        t = rng.randrange(N_TARGETS)
        orders.append(
            KVBackOrder.create(
                handle_idx=0,
                target_idx=t,
                code=f"X.T{t}",
                order_id=k,
                order_price=round(rng.uniform(10, 5000), 2),
                target_type=gv.TARGETTYPE_FUTURE if t % 2 else gv.TARGETTYPE_STOCK,
                position_effect=gv.PositionEffect_Open,
                order_status=gv.OrderStatus_Holding,
                created_time=0.0,
                volume=100 * rng.randint(1, 9),
                order_ctg=gv.OrderCtg_Limit,
                order_side=rng.choice([gv.OrderAct_Buy, gv.OrderAct_Sell]),
            )
        )
    return orders


def best_of(fn, repeat, rounds=5):
    fn()
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(repeat):
            fn()
        best = min(best, (time.perf_counter() - start) / repeat)
    return best


def report(name, unit, native, python):
    print(
        f"{name:46s} {native * 1e6:10.2f} us {python * 1e6:10.2f} us {python / native:7.2f}x  per {unit}"
    )


def trade_creation(engine, vr, count):
    """Seconds per fill: create a trade for each of `count` fresh orders, then its frozen funds."""
    orders = make_orders(count, seed=2)
    vr.g_KVTrades = KVBackTradeCollect()
    start = time.perf_counter()
    for order in orders:
        trade = engine._create_a_trader(
            order, order.price, order.unfilled_volume, order.price * 1.0003, 0.0
        )
        engine._update_trader_frozen([trade])
    return (time.perf_counter() - start) / count


def fresh_book(vr, count, seed, terms, stop_every):
    """Fresh collections and accounts with `count` new orders on random targets and sides, each
    `stop_every`-th watched by a loss stop 2 % away; `terms(rng)` gives an order's
    (price, volume, category)."""
    rng = random.Random(seed)
    vr.g_KVOrders, vr.g_KVStopOrders, vr.g_KVTrades = (
        KVBackOrderCollect(),
        KVBackStopOrderCollect(),
        KVBackTradeCollect(),
    )
    vr.g_KorvitAccounts[:] = [KVBackAccount("bench", 1e12)]
    for k in range(1, count + 1):
        t = rng.randrange(N_TARGETS)
        side = rng.choice([gv.OrderAct_Buy, gv.OrderAct_Sell])
        price, volume, ctg = terms(rng)
        vr.g_KVOrders.append(
            k,
            KVBackOrder.create(
                handle_idx=0,
                target_idx=t,
                code=f"X.T{t}",
                order_id=k,
                order_price=price,
                target_type=gv.TARGETTYPE_FUTURE if t % 2 else gv.TARGETTYPE_STOCK,
                position_effect=gv.PositionEffect_Open,
                order_status=gv.OrderStatus_PreHolding,
                created_time=0.0,
                volume=volume,
                order_ctg=ctg,
                order_side=side,
            ),
        )
        if k % stop_every == 0:
            vr.g_KVStopOrders.append(
                k,
                KVBackStopOrder.create(
                    stop_order_id=k,
                    target_order_id=k,
                    target_idx=t,
                    handle_idx=0,
                    act=side,
                    stop_order_type=gv.StopOrderType_Loss,
                    stop_gap_type=gv.OrderStop_StopGap_Percent,
                    stop_gap=2,
                    volume=100,
                    ctg=gv.OrderCtg_Market,
                ),
            )


def pending_batch(vr, count, seed=3):
    """`count` new orders around a bar of 99-101 (open 100), limit and market, a quarter of
    them watched by a loss stop; returns the arguments of `_transaction_order`."""
    fresh_book(
        vr,
        count,
        seed,
        lambda rng: (
            rng.choice([0, round(rng.uniform(97, 103), 2)]),
            rng.choice([100, 200, 300, 150]),
            rng.choice([gv.OrderCtg_Limit, gv.OrderCtg_Market]),
        ),
        4,
    )
    bar = [np.full(count, v) for v in (101.0, 99.0, 100.0, 1000.0)]
    return (np.arange(1, count + 1), *bar, np.array([]), np.array([]))


def matching(engine, vr, count):
    """Seconds to match one batch of `count` new orders against the bar."""
    args = pending_batch(vr, count)
    start = time.perf_counter()
    statuses = engine._transaction_order(*args)
    elapsed = time.perf_counter() - start
    assert (statuses == gv.OrderStatus_Filled).sum() > count // 2
    return elapsed


def dealing(engine, vr, count):
    """Seconds of one `deal_trade` over `count` new orders (a quarter watched by a loss stop)."""
    pending_batch(vr, count)
    start = time.perf_counter()
    filled, failed, fired = engine.deal_trade()
    elapsed = time.perf_counter() - start
    assert len(filled) > count // 2
    return elapsed


def live_stops(vr, count, seed=7):
    """`count` market buys and sells of 100, each watched by a loss stop 2 % away: dealt twice on
    the bar of 99-101, every order is filled and every stop armed, and dealing that bar again
    fires nothing and fills nothing."""
    fresh_book(vr, count, seed, lambda rng: (0, 100, gv.OrderCtg_Market), 1)


def three_stops_each(vr, count, seed=7):
    """`live_stops`, and beside each loss stop a profit stop 5 % away and a trailing stop of 3 %
    (trailing by 1 %): three stops per target order, all on the one unfired snap."""
    live_stops(vr, count, seed)
    stops = vr.g_KVStopOrders
    for order in list(vr.g_KVOrders):
        for j, (kind, gap) in enumerate(
            ((gv.StopOrderType_Profit, 5), (gv.StopOrderType_Trailing, 3))
        ):
            stops.append(
                None,
                KVBackStopOrder.create(
                    stop_order_id=count * (j + 1) + order.order_id,
                    target_order_id=order.order_id,
                    target_idx=order.target_idx,
                    handle_idx=0,
                    act=order.side,
                    stop_order_type=kind,
                    stop_gap_type=gv.OrderStop_StopGap_Percent,
                    stop_gap=gap,
                    trailing_gap_type=gv.OrderStop_TrailingGap_Percent,
                    trailing_gap=1,
                    volume=100,
                    ctg=gv.OrderCtg_Market,
                ),
            )


def quiet_target_orders(engine, vr, count, repeat):
    """Seconds per `deal_trade` of a bar on which `count` filled target orders with three armed
    stops each fire nothing."""
    three_stops_each(vr, count)
    engine.deal_trade()
    engine.deal_trade()
    assert (
        vr.g_KVStopOrders.snap_count("unfired") == 3 * count
        and vr.g_KVOrders.snap_count("unfilled") == 0
    )
    elapsed = best_of(engine.deal_trade, repeat, rounds=3)
    assert vr.g_KVStopOrders.snap_count("unfired") == 3 * count and len(vr.g_KVTrades) == count
    return elapsed


def quiet_bar(engine, vr, count, repeat):
    """Seconds per `deal_trade` of a bar on which `count` armed stops fire nothing."""
    live_stops(vr, count)
    engine.deal_trade()
    engine.deal_trade()
    assert (
        vr.g_KVStopOrders.snap_count("unfired") == count
        and vr.g_KVOrders.snap_count("unfilled") == 0
    )
    elapsed = best_of(engine.deal_trade, repeat)
    assert vr.g_KVStopOrders.snap_count("unfired") == count and len(vr.g_KVTrades) == count
    return elapsed


def firing_bar(engine, vr, count):
    """Seconds of one `deal_trade` of a bar on which `count` armed loss stops fire on the bar alone:
    the bar (open 95, high 105, low 94) opens beyond the longs' stops at 98 and reaches the shorts'
    at 102 after its open."""
    live_stops(vr, count)
    engine.deal_trade()
    engine.deal_trade()
    matrix, bar = vr.g_KorvitKDataList[0].Matrix, vr.g_KorvitSimCurBarFresh + 1
    for t in range(N_TARGETS):
        for item, value in (
            (gv.KMatrix_Open, 95.0),
            (gv.KMatrix_High, 105.0),
            (gv.KMatrix_Low, 94.0),
        ):
            matrix[gv.bar_item_pos(item, t), bar] = value
    vr.g_KorvitSimCurBarFresh = bar
    try:
        start = time.perf_counter()
        filled, failed, fired = engine.deal_trade()
        elapsed = time.perf_counter() - start
    finally:
        vr.g_KorvitSimCurBarFresh = bar - 1
        matrix[gv.KMatrixPos_Head_len :, bar] = 100.0
    assert len(fired) == count and vr.g_KVStopOrders.snap_count("unfired") == 0
    return elapsed


def armed_stops(count, seed=4):
    """`count` armed stops of one target order around a bar of 99-101: loss, profit and trailing
    stops of both sides, some of which the bar triggers or leaves to the ticks."""
    rng = random.Random(seed)
    stops = []
    for k in range(count):
        kind = (gv.StopOrderType_Loss, gv.StopOrderType_Profit, gv.StopOrderType_Trailing)[k % 3]
        side = rng.choice([gv.OrderAct_Buy, gv.OrderAct_Sell])
        stop = KVBackStopOrder.create(
            stop_order_id=k,
            target_order_id=1,
            target_idx=1,
            handle_idx=0,
            act=side,
            stop_order_type=kind,
            stop_gap_type=rng.choice([gv.OrderStop_StopGap_Point, gv.OrderStop_StopGap_Percent]),
            stop_gap=2.5,
            trailing_gap_type=gv.OrderStop_TrailingGap_Point,
            trailing_gap=0.5,
            volume=100,
            ctg=gv.OrderCtg_Market,
        )
        stop.execute_status, stop.in_bar_begin, stop.target_price = (
            gv.StopOrderStatus_Active,
            True,
            100.0,
        )
        stop.trailing_high = stop.trailing_low = 100.0
        stop.stop_price = round(rng.uniform(90, 110), 2)
        stop.trailing_price = 100.5 if side == gv.OrderAct_Buy else 99.5
        stops.append(stop)
    return stops


def tick_walk_stops(count):
    """Loss, profit and trailing stops that no tick of `tick_walk` triggers: the walk visits every pair."""
    stops = armed_stops(count, seed=5)
    for stop in stops:
        buy = stop.act == gv.OrderAct_Buy
        stop.stop_price = (
            (50.0 if buy else 150.0)
            if stop.stop_order_type == gv.StopOrderType_Loss
            else (150.0 if buy else 50.0)
        )
        stop.trailing_price = 150.0 if buy else 50.0
    return stops


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=50)
    repeat = parser.parse_args().repeat
    vr = set_up()
    vr.g_KVOrders, vr.g_KVStopOrders = KVBackOrderCollect(), KVBackStopOrderCollect()
    print(f"{'operation':46s} {'compiled':>13s} {'python':>13s} {'ratio':>8s}")
    for size in (10, 1000):
        orders = make_orders(size)
        native = domain._update_order_frozen(orders)
        assert native == reference_domain._update_order_frozen(orders)
        report(
            f"_update_order_frozen, batch of {size}",
            "batch",
            best_of(lambda: domain._update_order_frozen(orders), max(1, repeat * 10 // size * 10)),
            best_of(
                lambda: reference_domain._update_order_frozen(orders),
                max(1, repeat * 10 // size * 10),
            ),
        )
    count = 20 * repeat
    native = min(trade_creation(domain, vr, count) for _ in range(3))
    python = min(trade_creation(reference_domain, vr, count) for _ in range(3))
    report("_create_a_trader + _update_trader_frozen", "fill", native, python)
    for size in (10, 1000):
        rounds = max(3, repeat * 10 // size)
        native = min(matching(domain, vr, size) for _ in range(rounds))
        python = min(matching(reference_domain, vr, size) for _ in range(rounds))
        report(f"_transaction_order, batch of {size} new orders", "batch", native, python)

    vr.g_KVOrders, vr.g_KVStopOrders = KVBackOrderCollect(), KVBackStopOrderCollect()
    report(
        "deal_trade, no pending order",
        "bar",
        best_of(domain.deal_trade, repeat * 20),
        best_of(reference_domain.deal_trade, repeat * 20),
    )
    for size in (100,):
        rounds = max(3, repeat // 2)
        native = min(dealing(domain, vr, size) for _ in range(rounds))
        python = min(dealing(reference_domain, vr, size) for _ in range(rounds))
        report(f"deal_trade, {size} pending orders", "bar", native, python)

    for size in (10, 100):
        report(
            f"deal_trade, {size} armed stops, nothing fires",
            "bar",
            quiet_bar(domain, vr, size, max(5, repeat * 20 // size)),
            quiet_bar(reference_domain, vr, size, max(5, repeat * 20 // size)),
        )

    size = 1000
    report(
        f"deal_trade, {size} target orders x 3 stops, none fires",
        "bar",
        quiet_target_orders(domain, vr, size, max(2, repeat // 10)),
        quiet_target_orders(reference_domain, vr, size, 1),
    )

    for size in (10, 100):
        rounds = max(3, repeat // 2)
        report(
            f"deal_trade, {size} stops fire on the bar",
            "bar",
            min(firing_bar(domain, vr, size) for _ in range(rounds)),
            min(firing_bar(reference_domain, vr, size) for _ in range(rounds)),
        )

    vr.g_KVStopOrders = KVBackStopOrderCollect()
    stops = armed_stops(1000)
    report(
        "_judge_stop_orders_by_bar, 1000 armed stops",
        "bar",
        best_of(lambda: domain._judge_stop_orders_by_bar(101.0, 99.0, 100, stops), repeat),
        best_of(
            lambda: reference_domain._judge_stop_orders_by_bar(101.0, 99.0, 100, stops), repeat
        ),
    )

    n_ticks, n_stops = 1000, 10
    rng = np.random.default_rng(6)
    _history.set_bar_tick_data(
        1,
        vr.g_KorvitSimCurBarFresh,
        np.arange(n_ticks, dtype=float),
        np.round(100 + rng.uniform(-2, 2, n_ticks), 2),
        rng.integers(1, 50, n_ticks),
    )
    stops = tick_walk_stops(n_stops)
    native = best_of(lambda: domain._judge_stop_orders_by_tick(stops), max(1, repeat // 5))
    python = best_of(
        lambda: reference_domain._judge_stop_orders_by_tick(stops), max(1, repeat // 5)
    )
    assert domain._judge_stop_orders_by_tick(stops)[0] == []
    pairs = n_ticks * n_stops
    report(f"_judge_stop_orders_by_tick, {n_ticks} ticks x {n_stops} stops", "walk", native, python)
    print(
        f"{'':46s} {pairs / native / 1e6:10.2f} M  {pairs / python / 1e6:10.2f} M  (tick, stop) pairs per second"
    )


if __name__ == "__main__":
    main()
