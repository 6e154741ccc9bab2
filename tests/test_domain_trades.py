"""Trade creation, price steps, fill times and the clearing of stale orders."""

import random
from datetime import datetime
from decimal import Decimal

import numpy as np
import pytest

import korvit.backtest.domain as domain
from korvit.tframe.sysdefine import GlobalDefine as gv
from korvit.tframe.uclass import KData
from korvit.tframe.utils.datetimefunc import datetime_to_mft, mft_to_datetime

STOCK, FUTURE = 0, 1


def stepped(price, step):
    """The price step as Python's decimal module computes it."""
    d = Decimal(str(price))
    return float(d - d % Decimal(str(step)))


def minute(h, m, day=3):
    return datetime_to_mft(datetime(2024, 1, day, h, m))


def one_bar(world, open_=10.0, high=10.5, low=9.8, close=10.2, volume=1000.0, t=None):
    world.load(
        [[[open_, high, low, close, volume]]] * 2, [t if t is not None else minute(9, 31)], bar=0
    )


@pytest.mark.parametrize(
    "price, step, expected",
    [
        (10.27, 0.05, 10.25),
        (10.25, 0.05, 10.25),
        (3.3, 0.1, 3.3),
        (0.3, 0.1, 0.3),
        (4000, 1.0, 4000.0),
        (4001.7, 0.2, 4001.6),
        (np.float32(10.27), 0.01, 10.27),
    ],
)
def test_trade_and_order_prices_are_brought_to_the_price_step(
    backtest, monkeypatch, price, step, expected
):
    one_bar(backtest)
    monkeypatch.setattr(domain, "get_target_info_v2", lambda idx: [{"MinMove": step}])
    order = backtest.order(1, volume=100)
    trade = domain._create_a_trader(order, price, 100, price, minute(9, 30))
    assert trade.price == expected and order.price == expected and trade.order_price == expected
    assert type(trade.price) is float


def test_price_step_matches_the_decimal_module_on_a_sweep(backtest, monkeypatch):
    one_bar(backtest)
    rng = random.Random(7)
    steps = [0.01, 0.05, 0.2, 0.5, 1.0, 5.0, 0.001, 0.0001, 10.0, 0.25, 2.5e-05]
    cases = []
    for _ in range(1500):
        step = rng.choice(steps)
        kind = rng.random()
        if kind < 0.4:  # prices written with a few decimals, as quotes are
            price = round(rng.uniform(0.01, 50000), rng.randint(0, 4))
        elif kind < 0.7:  # arbitrary doubles (slippage products)
            price = rng.uniform(0.001, 1e6) * (1 + rng.choice([0.01, -0.003, 1e-9]))
        elif kind < 0.8:  # huge and tiny values, where the exact path gives way
            price = rng.choice([1e22, 3.7e25, 1e-7, 123456789012345.67, 9.999999999999999e15])
        else:  # float32 quotes and integers
            price = rng.choice([np.float32(rng.uniform(1, 1000)), rng.randint(1, 10**6)])
        cases.append((price, step))
    info = {}
    monkeypatch.setattr(domain, "get_target_info_v2", lambda idx: [dict(info)])
    for k, (price, step) in enumerate(cases):
        info["MinMove"] = step
        try:
            expected = stepped(price, step)
        except ArithmeticError as exc:
            expected = type(exc)
        order = backtest.order(10_000 + k, volume=1, store=False)
        if isinstance(expected, type):
            with pytest.raises(expected):
                domain._create_a_trader(order, price, 1, price, 0.0)
            continue
        trade = domain._create_a_trader(order, price, 1, price, 0.0)
        assert trade.price == expected, (price, step)


def test_a_fill_writes_the_order_and_stores_a_numbered_trade(backtest):
    one_bar(backtest)
    order = backtest.order(1, target=FUTURE, price=4000.0, volume=3, tag={"why": "test"})
    order.set_frozen_item("value", 12000.0)
    order.set_frozen_item("fee", 9.0)
    when = minute(9, 30)
    first = domain._create_a_trader(order, 4000.4, 2, 4000.7, when)
    assert (first.trader_id, order.filled_volume, order.unfilled_volume) == (0, 2, 1)
    assert order.status == gv.OrderStatus_PreHolding  # partly filled: status left alone
    assert order.price == 4000.0 and first.price == 4000.0 and order.filled_average == 4000.0
    # price x volume x multiple x long margin rate, accumulated per fill
    assert order.filled_amount == 4000.0 * 2 * 10 * 0.1
    assert order.updated_time == when and order.updated_time_dt == mft_to_datetime([when])[0]
    # the trade keeps what the order had frozen; the order's items are released
    assert (first.order_fee, first.order_margin) == (9.0, 12000.0)
    assert (order.frozen_item("value"), order.frozen_item("fee")) == (0.0, 0.0)
    assert first.tag == {"why": "test"} and first.side == gv.OrderAct_Buy and first.volume == 2

    second = domain._create_a_trader(order, 4000.0, 1, 3999.0, when)
    assert second.trader_id == 1 and backtest.vr.g_KVTrades.size == 2
    assert order.status == gv.OrderStatus_Filled
    assert order.filled_amount == 4000.0 * 2 * 10 * 0.1 + 3999.0 * 1 * 10 * 0.1
    assert backtest.vr.g_KVTrades.obj([0, 1]) == [first, second]


def test_an_over_fill_fails_before_anything_is_written(backtest):
    one_bar(backtest)
    order = backtest.order(1, volume=100)
    order.set_frozen_item("value", 1000.0)
    before = (order.price, order.filled_volume, order.updated_time, order.filled_amount)
    with pytest.raises(AssertionError):
        domain._create_a_trader(order, 10.0, 101, 10.0, 5.0)
    assert (order.price, order.filled_volume, order.updated_time, order.filled_amount) == before
    assert order.frozen_item("value") == 1000.0 and backtest.vr.g_KVTrades.size == 0


def test_contract_data_must_be_a_list_with_a_step(backtest, monkeypatch):
    one_bar(backtest)
    order = backtest.order(1)
    monkeypatch.setattr(domain, "get_target_info_v2", lambda idx: ({"MinMove": 0.01},))
    with pytest.raises(TypeError, match="list"):
        domain._create_a_trader(order, 10.0, 100, 10.0, 0.0)
    monkeypatch.setattr(domain, "get_target_info_v2", lambda idx: [{}])
    with pytest.raises(ArithmeticError):  # no step: the decimal conversion refuses None
        domain._create_a_trader(order, 10.0, 100, 10.0, 0.0)
    assert order.filled_volume == 0 and backtest.vr.g_KVTrades.size == 0


def set_frequency(world, freq, num):
    world.vr.g_KorvitInputInfo.KFrequencyI = freq
    world.vr.g_KorvitInputInfo.KFreNum = num


def test_fill_time_of_one_minute_and_daily_bars(backtest):
    times = [minute(9, 31), minute(9, 32)]
    backtest.load([[[10, 11, 9, 10, 5]] * 2], times, bar=1)
    set_frequency(backtest, gv.KFreq_Min, 1)
    assert domain._get_filled_time(1, 123.0, STOCK) == minute(9, 31)
    set_frequency(backtest, gv.KFreq_Day, 1)
    assert domain._get_filled_time(1, 123.0, STOCK) == minute(9, 32)
    set_frequency(backtest, gv.KFreq_Tick, 1)
    assert domain._get_filled_time(1, 123.0, STOCK) == 123.0


def composite(world, volumes, begins, freq=gv.KFreq_Min, num=5):
    """Base one-minute bars with the given volumes of target 0; strategy bars start at `begins`."""
    times = [minute(9, 31 + k) for k in range(len(volumes))]
    bars = [[10, 11, 9, 10, v] for v in volumes]
    matrix = world.load([bars], times)
    base_begin = np.repeat(np.arange(len(begins)), np.diff(list(begins) + [len(volumes)]))
    world.vr.g_KorvitKDataList.append(
        KData(matrix, np.arange(len(volumes)), BaseBegin=base_begin, Frequency=freq, FreNum=num)
    )
    set_frequency(world, freq, num)
    return times


def test_fill_time_of_composite_bars_is_the_first_traded_base_bar(backtest, monkeypatch):
    times = composite(backtest, [0, 0, 7, 3, 1, 4, 0, 0, 0, 0], begins=[0, 5])
    calls = []
    real = backtest.vr.g_KorvitKDataList.get_item
    monkeypatch.setattr(
        backtest.vr.g_KorvitKDataList,
        "get_item",
        lambda *a: calls.append(a) or real(*a),
        raising=False,
    )
    # first strategy bar: third base column, less one minute for minute bars
    assert domain._get_filled_time(0, 0.0, STOCK) == times[2] - 60
    # last strategy bar: the range to the last begin is empty, so its first base column
    assert domain._get_filled_time(1, 0.0, STOCK) == times[5] - 60
    assert list(backtest.vr.g_KorvitCache.min_sec_filled_time) == [0, 5]
    assert len(calls) == 1  # positions computed once and cached


@pytest.mark.parametrize("number", [5, 60])
def test_fill_time_of_bars_that_are_their_own_n_minute_base_is_their_start(backtest, number):
    """Bars of n minutes with no finer base data (each its own base bar) begin n minutes
    before their label, which is where a fill on them is dated (a 1-minute base: one
    minute, see the test above)."""
    times = [minute(10, 0), minute(11, 0), minute(12, 0)]
    backtest.load([[[10, 11, 9, 10, 5]] * 3], times, bar=1)
    base = backtest.vr.g_KorvitKDataList[0]
    base.Frequency, base.FreNum, base.BaseBegin = gv.KFreq_Min, number, np.arange(3)
    set_frequency(backtest, gv.KFreq_Min, number)
    assert domain._get_filled_time(1, 0.0, STOCK) == times[1] - 60 * number
    assert domain._get_filled_time(2, 0.0, STOCK) == times[2] - 60 * number  # the last bar


def test_fill_time_of_weekly_bars_uses_the_begin_positions_as_given(backtest):
    times = composite(backtest, [0, 2, 5, 0, 0, 6], begins=[0, 3], freq=gv.KFreq_Week, num=1)
    backtest.vr.g_KorvitKDataList[1].BaseBegin = [0, 3]
    assert domain._get_filled_time(0, 0.0, STOCK) == times[1]  # no minute taken off
    composite(backtest, [0, 0, 0, 0], begins=[0, 2], freq=gv.KFreq_Day, num=2)
    backtest.vr.g_KorvitCache.min_sec_filled_time = None
    assert domain._get_filled_time(0, 0.0, STOCK) == minute(
        9, 31
    )  # nothing traded: the first column


def test_clear_unfilled_order_cancels_orders_of_earlier_bars_only(backtest):
    times = [minute(9, 31), minute(9, 32)]
    backtest.load([[[10, 11, 9, 10, 5]] * 2], times, bar=1)
    set_frequency(backtest, gv.KFreq_Day, 1)
    stale = backtest.order(1, created_time=times[0])
    fresh = backtest.order(2, created_time=times[1])
    assert domain._clear_unfilled_order(times[1]) is None
    assert stale.status == gv.OrderStatus_Cancelled
    assert stale.rej_reason == gv.OrderReject_DailyBeginCancel and stale.updated_time == times[1]
    assert fresh.status == gv.OrderStatus_PreHolding
    # still in the snap, and nobody was told
    assert backtest.vr.g_KVOrders.snap_count("unfilled") == 2 and backtest.events == []


def test_plain_prices_are_stepped_without_the_decimal_module(backtest, monkeypatch):
    one_bar(backtest)
    used = []
    monkeypatch.setattr(domain, "Decimal", lambda text: used.append(text) or Decimal(text))
    order = backtest.order(1, volume=2)
    domain._create_a_trader(order, 10.27, 1, np.float64(10.27), 0.0)
    assert used == []
    domain._create_a_trader(
        order, Decimal("10.27"), 1, 10.27, 0.0
    )  # anything unusual: decimal module
    assert used == ["10.27", "0.01"] and order.price == 10.27


def test_the_over_fill_check_holds_under_O():
    """Stripping asserts must not let a fill corrupt an order."""
    import subprocess
    import sys
    import textwrap

    code = textwrap.dedent("""
        import korvit.backtest.domain as d
        from korvit.backtest.model.orders import KVBackOrder
        o = KVBackOrder.create(handle_idx=0, target_idx=0, code="x", order_id=1, order_price=1.0, target_type=1,
                               position_effect=1, order_status=0, created_time=0.0, volume=1, order_ctg=2,
                               order_side=1)
        d.get_target_info_v2 = lambda idx: [{"MinMove": 0.01}]
        try:
            d._create_a_trader(o, 1.0, 2, 1.0, 0.0)
        except AssertionError:
            print("refused", o.filled_volume)
    """)
    out = subprocess.run(
        [sys.executable, "-O", "-c", code], capture_output=True, text=True, timeout=120
    )
    assert out.stdout.split() == ["refused", "0"], out.stderr
