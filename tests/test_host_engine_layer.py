"""Host pieces the matching engine works on: collections, records, accounts,
time values, snapshots and the backtest environment."""

import dataclasses
import math
import random
from datetime import datetime, timedelta, timezone

import numpy as np
import pytest

import korvit.tframe.framekit as framekit
from korvit.api.history import _history
from korvit.backtest.convertor import (
    convert_back_order_to_snap_execution,
    convert_back_order_to_snap_order,
)
from korvit.backtest.env import BacktestEnv, install_backtest_env
from korvit.backtest.model.accounts import KVBackAccount
from korvit.backtest.model.orders import (
    KVBackOrder,
    KVBackOrderCollect,
    KVBackStopOrder,
    KVBackStopOrderCollect,
    KVBackTrade,
    KVBackTradeCollect,
)
from korvit.tframe.sysdefine import GlobalDefine as gv
from korvit.tframe.utils.collectbase import CollectBase
from korvit.tframe.utils.datetimefunc import EPOCH, datetime_to_mft, mft_to_datetime

NAN = float("nan")
STOCK, FUTURE = 0, 1  # target indices of the `market` fixture


class Rec:
    def __init__(self, n):
        self.n = n


def order(
    order_id,
    side=gv.OrderAct_Buy,
    effect=gv.PositionEffect_Open,
    volume=100,
    target=STOCK,
    price=10.0,
    **extra,
):
    kind = gv.TARGETTYPE_STOCK if target == STOCK else gv.TARGETTYPE_FUTURE
    return KVBackOrder.create(
        handle_idx=0,
        target_idx=target,
        code="szse.000001",
        order_id=order_id,
        order_price=price,
        target_type=kind,
        position_effect=effect,
        order_status=gv.OrderStatus_PreHolding,
        created_time=1.0,
        volume=volume,
        order_ctg=gv.OrderCtg_Limit,
        order_side=side,
        **extra,
    )


def trade_of(o, price, value, fee, trader_id=0, volume=None):
    t = KVBackTrade.create(
        handle_idx=o.handle_idx,
        target_idx=o.target_idx,
        target_type=o.target_type,
        order_id=o.order_id,
        order_price=o.price,
        trader_id=trader_id,
        trader_volume=o.unfilled_volume if volume is None else volume,
        trade_price=price,
        filled_time=2.0,
        order_ctg=o.ctg,
        order_side=o.side,
        position_effect=o.position_effect,
        tag=o.tag,
        order_fee=o.frozen_item("fee"),
        order_margin=o.frozen_item("value"),
    )
    t.set_frozen_item("trader_value", value)
    t.set_frozen_item("trader_fee", fee)
    return t


def hold(account, o, value, fee):
    o.set_frozen_item("value", value)
    o.set_frozen_item("fee", fee)
    o.status = gv.OrderStatus_Holding
    account.on_order([o])


# ---------------------------------------------------------------- CollectBase


class TestCollectBase:
    def test_keys_numbering_and_lookup(self):
        c = CollectBase(snaps=("a",))
        recs = [Rec(i) for i in range(4)]
        assert [c.append(None, r) for r in recs[:2]] == [0, 1]
        c.append(np.int64(7), recs[2])
        assert c.size == len(c) == 3 and list(c) == recs[:3]
        found = c.obj(np.array([7.0, 0.0]))
        assert found[0] is recs[2] and found[1] is recs[0]
        assert c.obj([np.float64(1.0), NAN, 99, np.float32("nan")]) == [recs[1], None, None, None]
        assert c.obj(7) == [recs[2]] and 7.0 in c and NAN not in c
        for key, rec in ((7, recs[3]), (NAN, recs[3]), (None, recs[0])):
            with pytest.raises(ValueError):  # taken key, NaN key, record stored already
                c.append(key, rec)
        assert c.size == 3 and c.snap_count("a") == 3
        c.attr_update("n", 50, [7])
        assert c.obj([7])[0].n == 50  # the stored object itself
        with pytest.raises(KeyError, match="8"):
            c.attr_update("n", -1, [0, 8])
        assert recs[0].n == 0  # nothing changed on a bad id

    def test_key_attr(self):
        orders = KVBackOrderCollect()
        assert orders.append(None, order(5)) == 5
        with pytest.raises(ValueError, match="differs"):
            orders.append(6, order(7))
        trades = KVBackTradeCollect()
        assert trades.append(None, Rec(0)) == 0 and trades.size == 1 and trades.snap_names == []
        assert KVBackStopOrderCollect().snap_names == ["unfired"]

    def test_snap_reads_and_removal(self):
        c = CollectBase(snaps=("s", "t"))
        recs = [Rec(i) for i in range(6)]
        for r in recs:
            c.append(None, r)
        listed = c.snap_obj("s")
        listed.clear()  # a new list every time
        assert c.snap_attr_value("s", "n") == [0, 1, 2, 3, 4, 5]
        assert c.snap_obj_by_idx("s", np.array([4, 1])) == [recs[4], recs[1]]
        c.snap_remove_by_idx("s", np.array([4, 1, 1]))  # order before the call; duplicate once
        assert c.snap_attr_value("s", "n") == [0, 2, 3, 5]
        c.snap_remove_by_idx("s", np.array([]))  # an empty float array removes nothing
        with pytest.raises(IndexError):
            c.snap_remove_by_idx("s", [0, 4])
        with pytest.raises(IndexError):
            c.snap_obj_by_idx("s", [-1])
        with pytest.raises(TypeError):
            c.snap_remove_by_idx("s", [0.5])
        c.snap_remove("s", [recs[0]])
        with pytest.raises(ValueError):
            c.snap_remove("s", [recs[2], recs[1]])  # recs[1] has left already
        assert c.snap_attr_value("s", "n") == [2, 3, 5]  # all or nothing
        c.snap_obj_attr_update([recs[3]], "n", 30, "s")
        assert c.snap_attr_value("s", "n") == [2, 5] and recs[3].n == 30
        c.snap_obj_attr_update([recs[2]], "n", 20, "s", rm=False)
        assert c.snap_attr_value("s", "n") == [20, 5]
        assert c.snap_count("t") == 6 and c.size == 6  # other snaps and the store keep all
        with pytest.raises(KeyError, match="nope"):
            c.snap_count("nope")

    def test_list_operations(self):
        recs = [Rec(1), Rec(NAN), Rec(1)]
        assert CollectBase.obj_attr_value(recs, "n")[::2] == [1, 1]
        assert CollectBase.obj_attr_value_eq_all(recs, "n", 1) == [True, False, True]
        assert CollectBase.obj_attr_value_eq_all(recs, "n", 1, return_obj=True) == [
            recs[0],
            recs[2],
        ]
        CollectBase.obj_attr_update(recs, "n", 0)
        assert [r.n for r in recs] == [0, 0, 0]


# ---------------------------------------------------------------- records


class TestRecords:
    def test_order_create_and_fill_fields(self):
        o = order(3, side=gv.OrderAct_Sell, volume=300, tag="t", filled_volume=100)
        assert (o.price, o.status, o.ctg, o.side, o.unfilled_volume) == (
            10.0,
            gv.OrderStatus_PreHolding,
            gv.OrderCtg_Limit,
            gv.OrderAct_Sell,
            200,
        )
        assert math.isnan(o.rej_reason) and o.updated_time_dt is None and o.tag == "t"
        o.filled_volume = 300
        assert o.unfilled_volume == 0
        with pytest.raises(AttributeError):
            o.unfilled_volume = 5
        o.update_status(gv.OrderStatus_Denied, gv.OrderReject_NoEnoughCash, 9.0)
        assert (o.status, o.rej_reason, o.updated_time) == (
            gv.OrderStatus_Denied,
            gv.OrderReject_NoEnoughCash,
            9.0,
        )
        o.set_frozen_item("fee", np.float64(2.5))
        assert (o.frozen_item("value"), o.frozen_item("fee")) == (0.0, 2.5)
        with pytest.raises(KeyError):
            o.set_frozen_item("trader_fee", 1)
        with pytest.raises(TypeError, match="foo"):
            order(4, foo=1)
        with pytest.raises(TypeError, match="order_price"):
            KVBackOrder.create(
                handle_idx=0,
                target_idx=0,
                code="c",
                order_id=1,
                target_type=1,
                position_effect=1,
                order_status=0,
                created_time=0,
                volume=1,
                order_ctg=1,
                order_side=1,
            )
        for bad in (0, -100, NAN, "100"):
            with pytest.raises((TypeError, ValueError)):
                order(5, volume=bad)
        with pytest.raises(ValueError, match="exceeds"):
            order(6, volume=100, filled_volume=200)

    def test_trade_and_stop_order(self):
        o = order(1, price=4000.0, target=FUTURE, volume=2)
        t = trade_of(o, 3990.0, 800.0, 6.0, trader_id=4)
        assert (t.side, t.price, t.volume, t.ctg, t.trader_id, t.order_price) == (
            gv.OrderAct_Buy,
            3990.0,
            2,
            gv.OrderCtg_Limit,
            4,
            4000.0,
        )
        assert (t.frozen_item("trader_value"), t.frozen_item("trader_fee")) == (800.0, 6.0)
        with pytest.raises(KeyError):
            t.frozen_item("value")
        s = KVBackStopOrder.create(
            stop_order_id=1,
            target_order_id=NAN,
            target_idx=1,
            handle_idx=0,
            act=gv.OrderAct_Buy,
            stop_order_type=gv.StopOrderType_Loss,
            stop_gap_type=gv.OrderStop_StopGap_Point,
            stop_gap=5,
            volume=2,
            ctg=gv.OrderCtg_Market,
        )
        assert s.execute_status == gv.StopOrderStatus_Holding and not s.in_bar_begin
        assert all(
            math.isnan(getattr(s, f))
            for f in (
                "stop_price",
                "trailing_gap",
                "order_id",
                "trigger_time",
                "stop_trailing_price",
            )
        )
        with pytest.raises(ValueError, match="trailing_gap"):
            KVBackStopOrder.create(
                stop_order_id=2,
                target_order_id=1,
                target_idx=1,
                handle_idx=0,
                act=gv.OrderAct_Buy,
                stop_order_type=gv.StopOrderType_Trailing,
                stop_gap_type=gv.OrderStop_StopGap_Point,
                stop_gap=5,
                volume=2,
                ctg=gv.OrderCtg_Market,
            )


# ---------------------------------------------------------------- accounts


class TestAccount:
    def test_stock_round_trip(self):
        acc = KVBackAccount("A", 100_000)
        assert acc.stock_commission_rate == {
            "OpenTax": 0,
            "CloseTax": 0.001,
            "TransFee": 0.00002,
            "MinTradeFee": 5,
        }
        assert acc.position(STOCK) is None and acc.handle == "A"
        buy = order(1, volume=1000)
        hold(acc, buy, 10_000.0, 5.2)
        assert acc.valid_cash(0) == 100_000 - 10_005.2 and acc.cash == 100_000
        acc.on_trade([trade_of(buy, 10.0, 10_000.0, 5.2)])
        pos = acc.position(STOCK)
        assert acc.valid_cash(0) == acc.cash == 100_000 - 10_005.2
        assert (pos.position_long, pos.position_available_long, pos.avg_open_price_long) == (
            1000,
            1000,
            10.0,
        )
        sell = order(2, side=gv.OrderAct_Sell, effect=gv.PositionEffect_Close, volume=600)
        hold(acc, sell, 6_600.0, 11.0)
        assert pos.position_available_long == 400 and acc.valid_cash(0) == acc.cash - 6_611.0
        acc.on_trade([trade_of(sell, 11.0, 6_600.0, 11.0, trader_id=1)])
        assert (pos.position_long, pos.position_available_long) == (400, 400)
        assert acc.cash == pytest.approx(100_000 - 10_005.2 + 6_600 - 11)
        assert acc.realised_pnl == pytest.approx(600.0) and acc.fee_total == pytest.approx(16.2)
        assert len(acc.trades) == 2 and acc.valid_cash(0) == acc.cash

    def test_cancel_and_deny_release_holds(self):
        acc = KVBackAccount("A", 50_000)
        buy = order(1, volume=1000)
        hold(acc, buy, 10_000.0, 5.0)
        acc.on_trade([trade_of(buy, 10.0, 10_000.0, 5.0)])
        cash = acc.cash
        sell = order(2, side=gv.OrderAct_Sell, effect=gv.PositionEffect_Close, volume=1000)
        hold(acc, sell, 0.0, 15.0)
        pending_buy = order(3, volume=100)
        hold(acc, pending_buy, 1_000.0, 5.0)
        assert (
            acc.position(STOCK).position_available_long == 0 and acc.valid_cash(0) == cash - 1_020
        )
        sell.status = gv.OrderStatus_Cancelled
        acc.on_order([sell])
        assert (
            acc.position(STOCK).position_available_long == 1000
            and acc.valid_cash(0) == cash - 1_005
        )
        acc.on_order([sell])  # a repeated notice changes nothing
        # An order cancelled without a notice is given back at the next question.
        assert acc.holding_order_ids == [3]
        pending_buy.status = gv.OrderStatus_Denied
        assert acc.valid_cash(0) == cash and acc.holding_order_ids == []

    def test_futures_long_and_short(self, env, market):
        market(np.ones((2, 1, 5)), [1.0])
        acc = KVBackAccount("F", 100_000)
        for oid, side in ((1, gv.OrderAct_Buy), (2, gv.OrderAct_Sell)):
            o = order(oid, side=side, target=FUTURE, volume=4, price=4000.0)
            hold(acc, o, 4_000.0 * 4 * 10 * 0.1, 12.0)
            acc.on_trade([trade_of(o, 4000.0, 16_000.0, 12.0)])
        pos = acc.position(FUTURE)
        assert (pos.position_long, pos.position_short, pos.margin_long) == (4, 4, 16_000.0)
        assert acc.cash == 100_000 - 2 * 16_012
        # Close 1 long at 4100 and 3 short at 4100 (multiple 10 from the environment).
        for oid, side, vol in ((3, gv.OrderAct_Sell, 1), (4, gv.OrderAct_Buy, 3)):
            o = order(
                oid,
                side=side,
                effect=gv.PositionEffect_Close,
                target=FUTURE,
                volume=vol,
                price=4100.0,
            )
            hold(acc, o, 0.0, 3.0)
            acc.on_trade([trade_of(o, 4100.0, 0.0, 3.0)])
        assert acc.realised_pnl == 1 * 100 * 10 - 3 * 100 * 10
        assert (pos.position_long, pos.position_short) == (3, 1)
        assert (pos.margin_long, pos.margin_short) == (12_000.0, 4_000.0)
        assert acc.cash == 100_000 - 2 * 16_012 + (4_000 + 1_000 - 3) + (12_000 - 3_000 - 3)

    def test_closing_more_than_held_nets_into_the_other_leg(self, backtest):
        backtest.load(np.ones((2, 1, 5)), [1.0])  # the future's short margin rate is 0.12
        acc = KVBackAccount("F", 100_000)
        o = order(1, target=FUTURE, volume=2, price=4000.0)
        hold(acc, o, 8_000.0, 6.0)
        acc.on_trade([trade_of(o, 4000.0, 8_000.0, 6.0)])
        cash, pos = acc.cash, acc.position(FUTURE)
        close = order(
            2, side=gv.OrderAct_Sell, effect=gv.PositionEffect_Close, target=FUTURE, volume=3
        )
        hold(acc, close, 0.0, 1.0)  # sets aside only the 2 that are free
        assert pos.position_available_long == 0
        acc.on_trade([trade_of(close, 4100.0, 0.0, 1.0)])
        # 2 long closed (margin back, profit 2 x 100 x 10), 1 short opened at the short margin rate
        assert (pos.position_long, pos.position_short, pos.position_available_short) == (0, 1, 1)
        assert pos.margin_short == 4100.0 * 1 * 10 * 0.12 and acc.realised_pnl == 2_000.0
        assert acc.cash == cash + 8_000.0 + 2_000.0 - 4100.0 * 10 * 0.12 - 1.0
        # a stock sold without a position is a short sale, settled in cash
        sale = order(4, side=gv.OrderAct_Sell, volume=100)
        acc.on_trade([trade_of(sale, 10.0, 1_000.0, 5.0)])
        assert acc.position(STOCK).position_short == 100
        assert acc.cash == cash + 8_000.0 + 2_000.0 - 4100.0 * 10 * 0.12 - 1.0 + 995.0
        with pytest.raises(KeyError):
            KVBackAccount("B", 1, {"Tax": 1})
        with pytest.raises(ValueError):
            KVBackAccount("B", -1)


# ---------------------------------------------------------------- time values


class TestTimeValues:
    def test_round_trips(self):
        rng = random.Random(11)
        span = int((datetime(2201, 1, 1) - EPOCH) / timedelta(microseconds=1))
        for _ in range(20_000):
            d = EPOCH + timedelta(microseconds=rng.randrange(span))
            t = datetime_to_mft(d)
            assert mft_to_datetime([t])[0] == d
            assert datetime_to_mft(mft_to_datetime([t])[0]) == t
        assert datetime_to_mft(datetime(2024, 1, 2, 9, 30)) == 1704187800.0
        got = mft_to_datetime(np.array([[0.0], [1.5]]))
        assert got == [EPOCH, EPOCH + timedelta(seconds=1.5)]
        assert mft_to_datetime((np.int64(60),)) == [datetime(1970, 1, 1, 0, 1)]

    def test_bad_values(self):
        with pytest.raises(ValueError, match="nan"):
            mft_to_datetime([0.0, NAN])
        with pytest.raises(TypeError, match="'x'"):
            mft_to_datetime([1.0, "x"])
        with pytest.raises(TypeError):
            mft_to_datetime(1.0)
        with pytest.raises(ValueError):
            mft_to_datetime([1e300])
        with pytest.raises(ValueError, match="time zone"):
            datetime_to_mft(datetime(2024, 1, 1, tzinfo=timezone.utc))


# ---------------------------------------------------------------- backtest environment


class TestBacktestEnv:
    @pytest.fixture
    def benv(self, env, market):
        bt = install_backtest_env()
        # bars: (open, high, low, close, volume); bar 1 of the stock sits at 11.0 all bar long
        market(
            [
                [[10, 10.5, 9.8, 10.2, 100], [11, 11, 11, 11, 50], [9, 9.5, 9, 9.2, 80]],
                [[4000, 4010, 3990, 4005, 5]] * 3,
            ],
            [1.0, 2.0, 3.0],
        )
        return bt

    def test_installed_on_framekit(self, benv):
        assert (
            framekit.env is benv
            and type(benv) is BacktestEnv
            and isinstance(benv, framekit.SystemBaseEnv)
        )
        assert (
            benv.vr is framekit.vr and benv.vr.g_KorvitInputInfo.TargetListDot[0] == "SZSE.000001"
        )

    def test_margin_rate(self, benv, monkeypatch):
        _history.set_target_info_v2([{}, {"LongMargin": 0.12, "ShortMargin": 0.15}])
        assert benv.get_margin_rate(FUTURE, gv.OrderAct_Buy) == 0.12
        assert benv.get_margin_rate(FUTURE, gv.OrderAct_Sell) == 0.15
        assert benv.get_margin_rate(STOCK, gv.OrderAct_Buy) == 1.0
        monkeypatch.setattr(_history, "get_target_info_v2", lambda idx: [{"LongMargin": 0.2}])
        assert benv.get_margin_rate(FUTURE, gv.OrderAct_Buy) == 0.2  # looked up at call time
        with pytest.raises(KeyError, match="ShortMargin"):
            benv.get_margin_rate(FUTURE, gv.OrderAct_Sell)

    def test_limit_flags(self, benv):
        vr = benv.vr
        assert not benv.at_limit_up_price(STOCK)  # no limits set
        benv.set_price_limits(STOCK, [11.0, 11.0, NAN], [9.0, 9.0, 9.5])
        assert not benv.at_limit_up_price(STOCK)  # before the first bar
        vr.g_KorvitSimCurBarFresh = 0
        assert not benv.at_limit_up_price(STOCK) and not benv.at_limit_down_price(STOCK)
        vr.g_KorvitSimCurBarFresh = 1
        assert benv.at_limit_up_price(STOCK) is True and not benv.at_limit_down_price(STOCK)
        vr.g_KorvitSimCurBarFresh = 2
        assert not benv.at_limit_up_price(STOCK) and benv.at_limit_down_price(STOCK) is True
        benv.set_price_limits(STOCK, [11.0], [9.0])
        with pytest.raises(IndexError):
            benv.at_limit_up_price(STOCK)
        with pytest.raises(ValueError):
            benv.set_price_limits(STOCK, [1.0, 2.0], [1.0])


# ---------------------------------------------------------------- snapshots


class TestConvertor:
    def test_order_and_execution_snapshots(self):
        o = order(np.int64(7), target=FUTURE, volume=np.float64(2), tag=["mine"])
        o.filled_volume = np.float64(2)
        o.set_frozen_item("fee", 6.0)
        snap = convert_back_order_to_snap_order(o, ["acc0"], ["szse.000001", "shfe.rb2405"])
        assert (snap.order_id, snap.account, snap.target, snap.unfilled_volume) == (
            7,
            "acc0",
            "shfe.rb2405",
            0.0,
        )
        assert (
            type(snap.order_id) is int
            and type(snap.volume) is float
            and math.isnan(snap.rej_reason)
        )
        snap.tag.append("changed")
        assert o.tag == ["mine"]
        with pytest.raises(dataclasses.FrozenInstanceError):
            snap.price = 1.0
        t = trade_of(o, 4000.0, 8000.0, 6.0, trader_id=np.int64(3), volume=2)
        ex = convert_back_order_to_snap_execution(o, t, ["acc0"], ["a.1", "b.2"])
        assert (ex.exec_id, ex.order_id, ex.target, ex.price, ex.fee, ex.margin) == (
            3,
            7,
            "b.2",
            4000.0,
            6.0,
            0.0,
        )

    @pytest.mark.parametrize("handle_idx", [1, -1, NAN, 0.5])
    def test_bad_index(self, handle_idx):
        o = order(1)
        o.handle_idx = handle_idx
        with pytest.raises(IndexError):
            convert_back_order_to_snap_order(o, ["acc0"], ["a.1"])

    def test_trade_of_another_order(self):
        with pytest.raises(ValueError, match="belongs to order 1"):
            convert_back_order_to_snap_execution(
                order(2), trade_of(order(1), 10.0, 0, 0), ["a"], ["t"]
            )
