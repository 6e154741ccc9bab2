"""Multi-bar backtests through the deal driver, on the real host layer.

Every expectation is worked out by hand from the bars, ticks and contract
data below; the comments give the reasoning.  Bars are daily (fills dated
at the bar time) unless a test says otherwise.  Contract data (conftest):
the stock trades in steps of 0.01 and pays 0.002% transfer fee, 0.03%
commission (at least 5) and 0.1% tax on sales; the futures contract has
multiplier 10, margins 0.10 long / 0.12 short and a fee of 3 per lot.
"""

import os
import subprocess
import sys
import traceback
from datetime import datetime
from pathlib import Path

import pytest

import korvit
import korvit.backtest.domain as domain
from korvit.api.history import _history
from korvit.backtest.loop import deal_bar
from korvit.backtest.model.orders import KVBackStopOrder
from korvit.tframe.sysdefine import GlobalDefine as gv
from korvit.tframe.utils.datetimefunc import datetime_to_mft

STOCK, FUTURE = 0, 1
BUY, SELL = gv.OrderAct_Buy, gv.OrderAct_Sell
OPEN, CLOSE = gv.PositionEffect_Open, gv.PositionEffect_Close
MARKET, LIMIT = gv.OrderCtg_Market, gv.OrderCtg_Limit
PRE, HOLDING, FILLED, DENIED = (
    gv.OrderStatus_PreHolding,
    gv.OrderStatus_Holding,
    gv.OrderStatus_Filled,
    gv.OrderStatus_Denied,
)
LOSS, PROFIT, TRAILING = gv.StopOrderType_Loss, gv.StopOrderType_Profit, gv.StopOrderType_Trailing
POINT, PERCENT = gv.OrderStop_StopGap_Point, gv.OrderStop_StopGap_Percent
S_HOLDING, S_ACTIVE, S_TRAILING, S_FIRED, S_CANCELLED = (
    gv.StopOrderStatus_Holding,
    gv.StopOrderStatus_Active,
    gv.StopOrderStatus_Trailing,
    gv.StopOrderStatus_Fired,
    gv.StopOrderStatus_Cancelled,
)
NAN = float("nan")

T0 = datetime_to_mft(datetime(2024, 1, 2, 15))
FLAT_STOCK, FLAT_FUTURE = (10.0, 10.0, 10.0, 10.0, 1000), (3500, 3500, 3500, 3500, 100)
EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "run_backtest.py"


def bar_time(k):
    return T0 + 86400.0 * k


def tick_times(k, n):
    """n ticks one minute apart from 09:30 of bar k's day."""
    return [bar_time(k) - 5.5 * 3600 + 60 * i for i in range(n)]


def session(world, stock_bars=None, future_bars=None):
    """Daily bars (open, high, low, close, volume) of the stock and the futures contract."""
    n = len(stock_bars or future_bars)
    world.load(
        [stock_bars or [FLAT_STOCK] * n, future_bars or [FLAT_FUTURE] * n],
        [bar_time(k) for k in range(n)],
    )


def stop(world, stop_id, order, kind, gap, gap_type=POINT, trailing_gap=NAN):
    """A stop order (closing at market) protecting the whole fill of `order`."""
    record = KVBackStopOrder.create(
        stop_order_id=stop_id,
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
        ctg=MARKET,
    )
    world.vr.g_KVStopOrders.append(stop_id, record)
    return record


def run_bar(world, k):
    """One bar of the host loop (see korvit.backtest.loop)."""
    filled, denied, fired = deal_bar(k)
    return [int(i) for i in filled], [int(i) for i in denied], [int(i) for i in fired]


def unfired(world):
    return [s.stop_order_id for s in world.vr.g_KVStopOrders.snap_obj("unfired")]


def order(world, order_id):
    return world.vr.g_KVOrders.obj([order_id])[0]


def trades(world):
    """(order id, side, price, volume, time) of every trade, in creation order."""
    return [
        (t.order_id, t.side, t.price, t.volume, t.filled_time)
        for t in world.vr.g_KVTrades.obj(list(range(world.vr.g_KVTrades.size)))
    ]


def test_stock_stops_armed_in_the_fill_bar_wait_for_the_fill_price_first_trigger_fires(backtest):
    session(backtest, [(10.25, 10.5, 9.75, 10.25, 5000), (10.25, 10.75, 9.25, 9.5, 5000)])
    _history.set_bar_tick_data(
        STOCK, 0, tick_times(0, 5), [10.25, 10.5, 10.0, 9.75, 10.25], [1000] * 5
    )
    _history.set_bar_tick_data(STOCK, 1, tick_times(1, 4), [10.25, 10.75, 9.25, 9.5], [1000] * 4)
    buy = backtest.order(1, price=10.0, volume=1000)
    loss, profit = stop(backtest, 11, buy, LOSS, 0.5), stop(backtest, 12, buy, PROFIT, 0.5)

    # Bar 0: the limit 10.0 lies in [9.75, 10.5] -> filled at 10.0; stops armed at 9.5 / 10.5.
    # The bar's high 10.5 reaches the profit stop, but it was armed in this bar -> tick walk:
    # tick 1 (10.5) comes before tick 2 (10.0 <= fill price, arming), then no tick >= 10.5.
    assert run_bar(backtest, 0) == ([1], [], [])
    assert (buy.status, buy.filled_average, buy.updated_time) == (FILLED, 10.0, bar_time(0))
    assert [(s.execute_status, s.stop_price, s.in_bar_begin) for s in (loss, profit)] == [
        (S_ACTIVE, 9.5, True),
        (S_ACTIVE, 10.5, True),
    ]

    # Bar 1: low 9.25 <= 9.5 and high 10.75 >= 10.5, both armed since the bar began -> tick walk
    # over [loss, profit]: tick 1 (10.75 >= 10.5) triggers the profit stop first, at the tick's
    # price; the closing market sell (order 2 = 1 stored + 1) fills there; the loss stop is cancelled.
    assert run_bar(backtest, 1) == ([2], [], [12])
    fire_time = tick_times(1, 4)[1]
    assert (
        profit.execute_status,
        profit.trigger_real_price,
        profit.trigger_time,
        profit.order_id,
    ) == (S_FIRED, 10.75, fire_time, 2)
    assert loss.execute_status == S_CANCELLED and unfired(backtest) == []
    closing = order(backtest, 2)
    assert (
        closing.side,
        closing.position_effect,
        closing.status,
        closing.volume,
        closing.created_time,
    ) == (SELL, CLOSE, FILLED, 1000, fire_time)
    assert trades(backtest) == [
        (1, BUY, 10.0, 1000, bar_time(0)),
        (2, SELL, 10.75, 1000, fire_time),
    ]
    assert [e[2].price for e in backtest.events if e[0] == "execution"] == [10.0, 10.75]
    # Cash: buy 10000 + 0.2 transfer + 5 (commission 3 < 5); sell 10750 - (10.75 tax + 0.215 + 5).
    account = backtest.vr.g_KorvitAccounts[0]
    assert account.cash == pytest.approx(1_000_000 - 10_005.2 + 10_750 - 15.965)
    assert account.position(STOCK).position_long == 0


def test_a_long_trailing_stop_begins_trailing_and_fires_on_bar_data_at_its_trailing_price(backtest):
    session(
        backtest,
        future_bars=[
            (3500, 3510, 3490, 3505, 100),
            (3515, 3530, 3522, 3528, 100),
            (3526, 3528, 3512, 3515, 100),
        ],
    )
    buy = backtest.order(1, target=FUTURE, price=3500, volume=2, handle=1)
    trailing = stop(backtest, 21, buy, TRAILING, 10, trailing_gap=20)
    loss = stop(backtest, 22, buy, LOSS, 30)

    # Bar 0: filled at 3500; activation 3520, loss 3470; high 3510 < 3520, low 3490 > 3470.
    assert run_bar(backtest, 0) == ([1], [], [])
    assert (trailing.trailing_price, loss.stop_price, trailing.is_begin_trailing) == (
        3520,
        3470,
        False,
    )

    # Bar 1: high 3530 >= 3520 -> trailing begins at 3520 (trigger 3510); new high 3530 gives
    # 3520, and the low 3522 stays above it -> high 3530, trigger 3520, nothing fires.
    assert run_bar(backtest, 1) == ([], [], [])
    assert (
        trailing.execute_status,
        trailing.is_begin_trailing,
        trailing.in_begin_trailing_bar,
    ) == (S_TRAILING, True, False)
    assert (trailing.trailing_high, trailing.trailing_low, trailing.stop_trailing_price) == (
        3530,
        3520,
        3520,
    )

    # Bar 2: no new high; low 3512 <= 3520 -> fires on bar data at the bar time; its closing
    # market sell fills at the trailing price 3520, not at the bar's open 3526.
    assert run_bar(backtest, 2) == ([2], [], [21])
    assert (trailing.execute_status, trailing.trigger_real_price, trailing.trigger_time) == (
        S_FIRED,
        3520,
        bar_time(2),
    )
    assert loss.execute_status == S_CANCELLED
    assert trades(backtest)[1] == (2, SELL, 3520, 2, bar_time(2))
    # Margin 3500 x 2 x 10 x 0.1 = 7000 back, profit (3520 - 3500) x 2 x 10 = 400, fees 2 x 3 twice.
    account = backtest.vr.g_KorvitAccounts[1]
    assert account.cash == pytest.approx(1_000_000 + 400 - 12)
    assert backtest.vr.g_KorvitAccounts[0].cash == 1_000_000


def test_a_short_trailing_stop_is_decided_on_the_ticks(backtest):
    session(backtest, future_bars=[(3500, 3505, 3495, 3500, 100), (3490, 3495, 3470, 3475, 100)])
    prices = [3490, 3495, 3480, 3470, 3486, 3475]
    _history.set_bar_tick_data(FUTURE, 1, tick_times(1, 6), prices, [10] * 6)
    sell = backtest.order(1, target=FUTURE, side=SELL, price=3500, volume=1)
    trailing = stop(backtest, 31, sell, TRAILING, 50, gap_type=PERCENT, trailing_gap=20)
    loss = stop(backtest, 32, sell, LOSS, 30)

    # Bar 0: filled at 3500; activation 3480, loss 3530; neither reached.
    assert run_bar(backtest, 0) == ([1], [], [])
    # Bar 1 on bar data: low 3470 <= 3480 begins trailing (trigger 3480 + 20 x 50% = 3490); the new
    # low 3470 gives 3485, and the high 3495 >= 3485 -> the ticks decide.  Walk: tick 2 (3480)
    # finds the activation; tick 3 (3470) is a new low -> trigger 3485; tick 4 (3486 >= 3485) fires.
    assert run_bar(backtest, 1) == ([2], [], [31])
    assert (trailing.execute_status, trailing.trigger_real_price, trailing.trigger_time) == (
        S_FIRED,
        3486,
        tick_times(1, 6)[4],
    )
    assert (trailing.trailing_high, trailing.trailing_low, trailing.stop_trailing_price) == (
        3486,
        3470,
        3485,
    )
    assert loss.execute_status == S_CANCELLED
    assert trades(backtest)[1] == (2, BUY, 3486, 1, tick_times(1, 6)[4])
    # Margin 3500 x 10 x 0.12 = 4200 back, profit (3500 - 3486) x 10 = 140, fees 3 twice.
    assert backtest.vr.g_KorvitAccounts[0].cash == pytest.approx(1_000_000 + 140 - 6)


@pytest.mark.parametrize(
    "stop_fill, exit_price", [("first_traded", 8.0), ("stop_price", 8.5), (None, 8.0)]
)
def test_denied_target_held_order_bar_without_volume_and_a_gap_through_the_loss_stop(
    backtest, stop_fill, exit_price
):
    if stop_fill is None:  # a setting object without the field: the default
        del backtest.vr.g_KorvitSettingInfo.StopFill
    else:
        backtest.vr.g_KorvitSettingInfo.StopFill = stop_fill
    session(
        backtest,
        [
            (10.0, 10.5, 9.5, 10.0, 5000),
            (9.25, 9.5, 8.75, 9.0, 5000),
            (8.5, 8.5, 8.25, 8.25, 0),
            (8.0, 8.25, 7.75, 8.0, 5000),
        ],
    )
    odd = backtest.order(1, price=10.0, volume=150)
    low_buy = backtest.order(2, price=9.0, volume=100)
    orphan, loss = stop(backtest, 41, odd, LOSS, 0.5), stop(backtest, 42, low_buy, LOSS, 0.5)
    account = backtest.vr.g_KorvitAccounts[0]

    # Bar 0: a stock buy of 150 is not a whole lot -> denied, and its holding stop is cancelled;
    # the limit 9.0 is below the low 9.5 -> admitted and held (900 + 5.018 set aside).
    assert run_bar(backtest, 0) == ([], [1], [])
    assert (odd.status, odd.rej_reason, orphan.execute_status) == (
        DENIED,
        gv.OrderReject_IllegalVolume,
        S_CANCELLED,
    )
    assert (low_buy.status, loss.execute_status, unfired(backtest)) == (HOLDING, S_HOLDING, [42])
    assert account.valid_cash() == pytest.approx(1_000_000 - 905.018)

    # Bar 1: the held limit 9.0 lies in [8.75, 9.5] -> filled; loss stop armed at 8.5 (low 8.75 above).
    assert run_bar(backtest, 1) == ([2], [], [])
    assert (loss.execute_status, loss.stop_price, low_buy.updated_time) == (
        S_ACTIVE,
        8.5,
        bar_time(1),
    )

    # Bar 2 has no volume: the new market order waits, and the stop is not judged (low 8.25 <= 8.5).
    market = backtest.order(3, ctg=MARKET, price=0, volume=100)
    assert run_bar(backtest, 2) == ([], [], [])
    assert (market.status, loss.execute_status, len(backtest.vr.g_KVTrades)) == (PRE, S_ACTIVE, 1)

    # Bar 3, dealt step by step: the market order fills at the open 8.0; the bar opens below the
    # loss stop -> it fires on bar data and its closing sell (order 4) fills at the open 8.0, the
    # first price at which the stop held (with stop_fill "stop_price": at 8.5, the stop price).
    # Stop dealing extends the very list of filled ids that normal dealing returned.
    backtest.vr.g_KorvitSimCurBarFresh = 3
    domain._update_unfired_stop_order_status_if_holding_status()
    filled, denied = domain._deal_normal_order()
    assert (list(filled), list(denied)) == ([3], [])
    result = domain._deal_stop_order(filled, denied)
    assert result[0] is filled and list(filled) == [3, 4] and list(result[1]) == [42]
    assert (loss.trigger_real_price, loss.trigger_time, loss.order_id) == (
        exit_price,
        bar_time(3),
        4,
    )
    assert trades(backtest) == [
        (2, BUY, 9.0, 100, bar_time(1)),
        (3, BUY, 8.0, 100, bar_time(3)),
        (4, SELL, exit_price, 100, bar_time(3)),
    ]
    # Fees: 900 -> 0.018 + 5; 800 -> 0.016 + 5; a sale of 100 -> 0.1 % tax + 0.002 % + 5.
    sale = 100 * exit_price
    assert account.cash == pytest.approx(
        1_000_000 - 905.018 - 805.016 + sale - (sale * 0.00102 + 5)
    )
    assert account.position(STOCK).position_long == 100


def test_an_unknown_stop_fill_setting_is_refused_when_a_stop_fires_on_the_bar(backtest):
    backtest.vr.g_KorvitSettingInfo.StopFill = "open"
    session(
        backtest,
        [(10.0, 10.5, 9.5, 10.0, 5000), (9.8, 9.9, 9.6, 9.7, 5000), (8.0, 8.25, 7.75, 8.0, 5000)],
    )
    loss = stop(backtest, 1, backtest.order(1, price=10.0), LOSS, 0.5)
    # Bar 0 fills the buy at 10.0 and arms the stop at 9.5, which bar 1 does not reach.
    assert run_bar(backtest, 0) == ([1], [], []) and run_bar(backtest, 1) == ([], [], [])
    with pytest.raises(
        ValueError, match="StopFill must be 'first_traded' or 'stop_price', got 'open'"
    ) as info:
        run_bar(backtest, 2)
    assert "backtest.domain._deal_stop_order" in [
        entry.name for entry in traceback.extract_tb(info.tb)
    ]
    assert loss.execute_status == S_ACTIVE and len(backtest.vr.g_KVOrders) == 1


@pytest.mark.parametrize("frequency", [gv.KFreq_Tick, gv.KFreq_Day])
def test_single_tick_bars_never_walk_ticks(backtest, frequency):
    session(backtest, future_bars=[(3500, 3500, 3500, 3500, 1), (3505, 3505, 3505, 3505, 1)])
    _history.set_bar_tick_data(FUTURE, 0, tick_times(0, 2), [3500, 3499], [1, 1])
    backtest.vr.g_KorvitInputInfo.KFrequencyI = frequency
    buy = backtest.order(1, target=FUTURE, price=3500, volume=1)
    loss, profit = stop(backtest, 51, buy, LOSS, 0), stop(backtest, 52, buy, PROFIT, 5)

    # Bar 0: filled at 3500; the loss stop at 3500 is reached by the bar but was armed in it.
    if frequency == gv.KFreq_Day:
        # The walk arms it at tick 0 (3500 <= 3500) and it triggers there (3500 <= 3500).
        assert run_bar(backtest, 0) == ([1, 2], [], [51])
        assert (loss.trigger_real_price, loss.trigger_time) == (3500, tick_times(0, 2)[0])
        return
    # Single-tick bars: only stops that need the ticks fire, at the bar time; a stop the bar
    # shows triggered but armed in this bar waits.
    assert run_bar(backtest, 0) == ([1], [], [])
    assert (loss.execute_status, buy.updated_time) == (S_ACTIVE, bar_time(0))
    # Bar 1: 3505 >= profit 3505, armed since the bar began -> fires at the bar time, at 3505.
    assert run_bar(backtest, 1) == ([2], [], [52])
    assert (profit.trigger_time, loss.execute_status) == (bar_time(1), S_CANCELLED)
    assert trades(backtest)[1] == (2, SELL, 3505, 1, bar_time(1))


def test_calc_order_value_rb(backtest):
    session(backtest, [FLAT_STOCK])
    value = lambda **fields: domain.calc_order_value_rb(backtest.order(0, store=False, **fields))
    assert value(ctg=MARKET, price=3500, volume=5, target=FUTURE) == 0
    assert value(target=FUTURE, price=3500, volume=2) == pytest.approx(7000)  # x 10 x 0.10
    assert value(target=FUTURE, side=SELL, price=3500, volume=2) == pytest.approx(
        8400
    )  # x 10 x 0.12
    # Stock buy 100000: + 2 transfer + 30 commission; sell 10000: - (10 tax + 0.2 + 5 minimum).
    assert value(price=10.0, volume=10_000) == pytest.approx(100_032)
    assert value(side=SELL, effect=CLOSE, price=10.0, volume=1000) == pytest.approx(9_984.8)


def test_a_changed_or_replaced_constant_class_is_read_again(backtest, monkeypatch):
    """The engine may remember ``gv``'s plain constants, but only while the class is
    unchanged and still the module's ``gv``."""
    session(backtest, [FLAT_STOCK])
    value = lambda: domain.calc_order_value_rb(
        backtest.order(0, store=False, target=FUTURE, price=3500, volume=2, ctg=LIMIT)
    )
    assert value() == pytest.approx(7000)
    gv.OrderCtg_Market = LIMIT  # a limit order now counts as a market one
    try:
        assert value() == 0
    finally:
        gv.OrderCtg_Market = MARKET
    assert value() == pytest.approx(7000)

    class Other(gv):
        OrderCtg_Market = LIMIT

    monkeypatch.setattr(domain, "gv", Other)
    assert value() == 0


def test_the_example_backtest_runs():
    # The example imports the package this test imported (a source tree or an installation).
    package_root = str(Path(korvit.__file__).resolve().parents[1])
    run = subprocess.run(
        [sys.executable, str(EXAMPLE)],
        capture_output=True,
        text=True,
        timeout=60,
        env={**os.environ, "PYTHONPATH": package_root},
    )
    assert run.returncode == 0, run.stderr
    # Its bar 1 is the first test's bar 1; its futures account ends flat: 1e6 + 300 profit - 24
    # fees (the short's sell limit at 3500 fills at its bar's open, 3515).
    assert "fired     stop 2 (profit, protecting #1) at 10.75" in run.stdout
    assert "[on_execution] trade 2 of #3: sell 1000" in run.stdout
    assert "futures: cash 1,000,276.00" in run.stdout
