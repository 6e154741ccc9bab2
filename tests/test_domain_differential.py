"""Differential tests: the compiled matching engine against its plain-Python twin.

A seeded generator draws scenarios (targets, contract data, accounts, bars,
ticks, orders, stop orders, trades and engine calls, up to whole deals of
consecutive bars); each is built twice on a fresh registry and
run once through the plain-Python twin ``bench/reference_domain.py`` and once
through the engine.
All that can be observed must match: record fields and return values with
their types (floats bit for bit), exception types, the host calls in order,
the snaps of pending orders and live stop orders, and the accounts.
"""

import contextlib
import datetime
import itertools
import os
import random
import types
from decimal import InvalidOperation
from importlib.machinery import SourceFileLoader
from math import isnan
from pathlib import Path

import numpy as np
import pytest

import korvit.backtest.domain as engine
import korvit.tframe.framekit as framekit
from korvit.api.history import _history
from korvit.backtest.env import BacktestEnv
from korvit.backtest.model.accounts import KVBackAccount
from korvit.backtest.model.orders import (
    KVBackOrder,
    KVBackOrderCollect,
    KVBackStopOrder,
    KVBackStopOrderCollect,
    KVBackTrade,
    KVBackTradeCollect,
)
from korvit.backtest.model.positions import PositionsBase
from korvit.tframe.sysdefine import GlobalDefine as gv
from korvit.tframe.uclass import KData, KDataContainer, SystemModeMgr
from korvit.tframe.utils.collectbase import CollectBase

twin = types.ModuleType("reference_domain")
TWIN_SOURCE = Path(__file__).resolve().parent.parent / "bench" / "reference_domain.py"
SourceFileLoader(twin.__name__, str(TWIN_SOURCE)).exec_module(twin)

NAN = float("nan")


class _Calls(list):
    """The host calls of a scenario's engine calls; ``on`` only while they run (what
    building the scenario calls is not compared, and not worth describing)."""

    on = False


HOST_CALLS = _Calls()  # filled while this module's tests run, see recorded_host and World.callback


def canon(x):
    """A comparable image of ``x`` that keeps types and the exact bits of floats."""
    if isinstance(x, (float, np.floating)):
        return (type(x).__name__, repr(float(x)))  # every bit; -0.0 apart from 0.0
    if isinstance(x, np.ndarray):
        return ("ndarray", x.dtype.str, x.shape, [canon(v) for v in x.ravel()])
    if isinstance(x, (list, tuple, dict)):
        return (type(x).__name__, [canon(v) for v in (x.items() if isinstance(x, dict) else x)])
    return (type(x).__name__, repr(x))  # ints, text, times, records and snapshots: their full repr


@contextlib.contextmanager
def recording_host():
    """Records attribute writes on records and the host calls the engine makes."""
    with pytest.MonkeyPatch.context() as mp:

        def logged(cls, name, describe=lambda obj: ()):
            original = getattr(cls, name)

            def method(self, *args, **kwargs):
                if HOST_CALLS.on:
                    HOST_CALLS.append(canon((name, *describe(self), args, kwargs)))
                return original(self, *args, **kwargs)

            mp.setattr(cls, name, method)

        def logged_static(cls, name):
            original = getattr(cls, name)
            mp.setattr(
                cls,
                name,
                staticmethod(
                    lambda *args, **kwargs: (
                        (HOST_CALLS.on and HOST_CALLS.append(canon((name, args, kwargs))))
                        or original(*args, **kwargs)
                    )
                ),
            )

        for cls, key, names in (
            (KVBackOrder, "order_id", ("__setattr__", "set_frozen_item")),
            (KVBackTrade, "trader_id", ("__setattr__", "set_frozen_item")),
            (KVBackStopOrder, "stop_order_id", ("__setattr__",)),
        ):
            for name in names:
                logged(
                    cls,
                    name,
                    lambda record, key=key: [type(record).__name__, getattr(record, key, None)],
                )
        for name in ("on_order", "on_trade", "valid_cash", "position"):
            logged(KVBackAccount, name, lambda account: [account.name])
        for name in (
            "get_multiple",
            "get_margin_rate",
            "cost_fee_rate",
            "is_target_type",
            "matrix_bar_item_pos",
            "at_limit_up_price",
            "at_limit_down_price",
            "market_price",
            "get_target_type",
            "get_bar_field",
        ):
            logged(BacktestEnv, name)
        logged_static(BacktestEnv, "is_valid_order_id")
        for name in (
            "obj",
            "attr_update",
            "append",
            "snap_count",
            "snap_obj",
            "snap_attr_value",
            "snap_obj_by_idx",
            "snap_remove",
            "snap_remove_by_idx",
            "snap_obj_attr_update",
        ):
            logged(CollectBase, name, lambda collection: [type(collection).__name__])
        # Not obj_attr_value: how often and in which order the frozen funds read a column is left open.
        for name in ("obj_attr_value_eq_all", "obj_attr_update"):
            logged_static(CollectBase, name)
        size = CollectBase.size.fget
        mp.setattr(
            CollectBase,
            "size",
            property(
                lambda collection: (
                    (
                        HOST_CALLS.on
                        and HOST_CALLS.append(canon(("size", type(collection).__name__)))
                    )
                    or size(collection)
                )
            ),
        )
        yield


@pytest.fixture(autouse=True, scope="module")
def recorded_host():
    with recording_host():
        yield


def host_functions(subject, lenient, tick_form=None):
    """Recorders of the host functions that ``subject`` calls by module name; the user
    log is not written, a lenient ``raise_bultin_error`` returns instead of raising,
    and the ticks of the history store are handed out in ``tick_form``."""
    originals = {
        name: getattr(subject, name)
        for name in ("write_userlog", "todotmc", "raise_bultin_error", "get_bar_tick_data")
    }

    def recorder(name):
        def call(*args):
            if HOST_CALLS.on:
                HOST_CALLS.append(canon((name, args)))
            if name == "get_bar_tick_data":
                return reshaped_ticks(originals[name](*args), tick_form)
            if name == "todotmc" or (name == "raise_bultin_error" and not lenient):
                return originals[name](*args)

        return call

    return {name: recorder(name) for name in originals}


def reshaped_ticks(info, form):
    """The ticks ``info`` as another tick source may give them: prices and volumes at
    single precision or as integers, the arrays as one-row matrices, or no ticks."""
    arrays = [info.Time, info.Price, info.VolumeTick]
    if form in ("float32", "int"):
        kind = np.float32 if form == "float32" else np.int64
        arrays[1:] = [a.astype(kind) for a in arrays[1:]]
    elif form == "2d":
        arrays = [a.reshape(1, -1) for a in arrays]
    elif form == "empty":
        arrays = [a[:0] for a in arrays]
    return _history.TickData(*arrays)


class UserCallbackError(Exception):
    """Raised by the user callback that a scenario tells to fail."""


# ------------------------------------------------------------------ scenarios

STOCK, FUTURE, INDEX = gv.TARGETTYPE_STOCK, gv.TARGETTYPE_FUTURE, gv.TARGETTYPE_INDEX
OPEN, CLOSE = gv.PositionEffect_Open, gv.PositionEffect_Close
STATUSES = (
    gv.OrderStatus_PreHolding,
    gv.OrderStatus_Holding,
    gv.OrderStatus_PartFilled,
    gv.OrderStatus_Filled,
    gv.OrderStatus_Cancelled,
    gv.OrderStatus_Denied,
)
REASONS = (
    NAN,
    gv.OrderReject_MarketOrderHolding,
    gv.OrderReject_NoEnoughCash,
    gv.OrderReject_LimitType,
)
FREQUENCIES = (
    (gv.KFreq_Min, 1),
    (gv.KFreq_Day, 1),
    (gv.KFreq_Min, 5),
    (gv.KFreq_Day, 2),
    (gv.KFreq_Week, 1),
    (gv.KFreq_Month, 1),
    (gv.KFreq_Tick, 1),
    (gv.KFreq_Week, 2),
)
# Fees on both sides of the per-lot threshold 0.1, and at it.
FEES = (
    0.1,
    float(np.nextafter(0.1, 1)),
    float(np.nextafter(0.1, 0)),
    0.0001,
    0.000023,
    3.0,
    2.5,
    0.0,
    10,
)
MIN_MOVES = (0.01, 0.05, 0.2, 1, 1.0, 0.5, 5, np.float32(0.01), np.float32(0.05), np.float32(0.2))
STOP_FAMILIES = ("triggers", "deal")  # stop orders judged on bars and ticks; whole deals
# "bar_fills": deals whose stop orders mostly fire on the bar alone, see bar_fill_plan
FAMILIES = (
    ("frozen", "fills", "status", "fill_time", "transaction", "stops", "mixed")
    + STOP_FAMILIES
    + ("bar_fills",)
)
BUY, SELL, MARKET, LIMIT = gv.OrderAct_Buy, gv.OrderAct_Sell, gv.OrderCtg_Market, gv.OrderCtg_Limit
NEW, HELD = gv.OrderStatus_PreHolding, gv.OrderStatus_Holding
BATCH_STATUSES = (NEW,) * 5 + (HELD,) * 2 + (gv.OrderStatus_Cancelled, gv.OrderStatus_Denied)
STOP_TYPES = (gv.StopOrderType_Loss, gv.StopOrderType_Profit, gv.StopOrderType_Trailing)
STOP_STATUSES = (gv.StopOrderStatus_Holding,) * 3 + (
    gv.StopOrderStatus_Active,
    gv.StopOrderStatus_Trailing,
)
STOP_HOLDING, STOP_ACTIVE, STOP_TRAILING = STOP_STATUSES[2:]
FIRED, CANCELLED = gv.StopOrderStatus_Fired, gv.StopOrderStatus_Cancelled
STOP_GAPS = (5, 0.5, 1, 10, 2.5, 3.7)
SETTLED = (gv.OrderStatus_Filled, gv.OrderStatus_Cancelled, gv.OrderStatus_Denied)
TICK_FORMS = (None,) * 4 + ("float32", "int", "2d", "empty")  # as reshaped_ticks hands them out
INVALID = 9  # no category, side, position effect, stop type or gap type has this value
ABSENT = "<absent>"  # a setting the setting object does not have
# Where stop orders fired on the bar alone fill: the two rules, and a setting object without the field.
STOP_FILLS = ("first_traded", "stop_price", ABSENT)
# Where limit orders the market reached at a better price fill: the two rules, and no field.
LIMIT_FILLS = ("first_traded", "limit_price", ABSENT)


def _price(rng, low, high):
    p = rng.uniform(low, high)
    return rng.choice(
        (
            p,
            p,
            p,
            round(p, 1),
            round(p, 2),
            round(p, 2),
            round(p, 3),
            float(int(p)),
            round(p),
            -round(p, 2),
            0.0,
        )
    )


def _is_composite(kfreq, num):
    return (kfreq in (gv.KFreq_Min, gv.KFreq_Day) and num > 1) or (
        kfreq > gv.KFreq_Day and num == 1
    )


def make_plan(seed, family):
    """A random scenario, its calls drawn from ``family``; orders as the arguments of ``create``."""
    if family == "bar_fills":
        return bar_fill_plan(seed)
    rng = random.Random(seed)
    targets = []
    for k in range(rng.randint(1, 4)):
        kind = rng.choice((STOCK, FUTURE, FUTURE, INDEX) if k else (STOCK, FUTURE))
        info = {
            "MinMove": rng.choice(MIN_MOVES),
            "Multiple": 1 if kind == STOCK else rng.choice((1, 10, 10.0, 300)),
        }
        if kind == FUTURE:
            info.update(
                LongMargin=rng.choice((0.1, 0.07, round(rng.uniform(0.05, 0.2), 3))),
                ShortMargin=rng.choice((0.1, 0.12, round(rng.uniform(0.05, 0.2), 3))),
                TradingFeeOpen=rng.choice(FEES),
                TradingFeeClose=rng.choice(FEES),
            )
        targets.append({"type": kind, "info": info})
    single_ticks = ((gv.KFreq_Tick, 1),) * 3 * (family == "deal")  # more runs on single-tick bars
    (kfreq, num), n_bars = rng.choice(FREQUENCIES + single_ticks), rng.randint(2, 5)
    groups = [
        (num if kfreq <= gv.KFreq_Day else rng.randint(1, 5)) if _is_composite(kfreq, num) else 1
        for _ in range(n_bars)
    ]  # the base bars of each strategy bar
    step = {gv.KFreq_Tick: 3, gv.KFreq_Min: 60}.get(kfreq, 86400)
    t0 = 1_600_000_000 + 60 * rng.randrange(10**6) + rng.choice((0, 0, 0.5, 0.001))
    times = [t0 + step * (i + 1) for i in range(sum(groups))]
    bar_times = [times[i] for i in np.cumsum(groups) - 1]
    settings = {
        "MarginRate": rng.choice((1, 1.0, 0.8, 1.1)),
        "cost_fee_stock": rng.choice((3.0, 2.5, 1, 0.0)),
        "cost_fee_future": rng.choice((1.0, 0.5, 1.3, 2)),
    }
    n_accounts, orders = rng.randint(1, 3), []
    for order_id in range(1, rng.randint(2, 10) + 1):
        target = rng.randrange(len(targets))
        kind, handle = targets[target]["type"], rng.randrange(n_accounts)
        volume = rng.choice((100, 200, 1000, 150, 3) if kind == STOCK else (1, 2, 7, 30, 2.0))
        orders.append(
            {
                "order_id": order_id,
                "target_idx": rng.choice((target, target, np.int64(target))),
                "code": f"code{target}",
                "target_type": kind,
                "order_side": rng.choice((gv.OrderAct_Buy, gv.OrderAct_Sell)),
                "position_effect": rng.choice(
                    (OPEN, CLOSE) + (gv.PositionEffect_CloseToday,) * (kind == FUTURE)
                ),
                "order_ctg": rng.choice((gv.OrderCtg_Market, gv.OrderCtg_Limit)),
                "order_price": _price(rng, 2, 80) if kind == STOCK else _price(rng, 500, 6000),
                "volume": volume,
                "filled_volume": rng.choice((0, 0, 0, int(volume) // 2)),
                "order_status": rng.choice(STATUSES[:2] * 3 + STATUSES),
                "created_time": rng.choice(bar_times),
                "handle_idx": rng.choice((handle, handle, float(handle), np.int64(handle))),
                "tag": rng.choice((None, f"tag{order_id}", {"n": order_id})),
            }
        )
    # The first account's commission table, its minimum commission often a hair from a real one.
    rates = {
        "OpenTax": rng.choice((0.0, 0.001)),
        "CloseTax": rng.choice((0.001, 0.0)),
        "TransFee": rng.choice((0.00002, 0.0)),
        "MinTradeFee": rng.choice((5.0, 0.0, 0.1)),
    }
    stock_orders = [o for o in orders if o["target_type"] == STOCK]
    if stock_orders and rng.random() < 0.7:
        anchor = rng.choice(stock_orders)
        fee = anchor["order_price"] * anchor["volume"] * (settings["cost_fee_stock"] / 10000)
        fee -= rng.choice((0, 0, 1, 2)) * float(np.spacing(fee)) + rng.choice(
            (0.0, 0.0, 1e-15, 5e-16)
        )
        rates["MinTradeFee"] = max(0.0, fee)
    _state_contract_data(random.Random(f"contract data {seed}"), targets, orders)
    plan = {
        "targets": targets,
        "settings": settings,
        "freq": (kfreq, num),
        "groups": groups,
        "times": times,
        "volumes": [[rng.choice((0, 0, 0.5, 1, 300)) for _ in times] for _ in targets],
        "cursor": rng.randrange(n_bars),
        "rates": rates,
        "n_accounts": n_accounts,
        "orders": orders,
        "callback_fails_at": rng.choice((None,) * 9 + (rng.randint(1, 4),)),
        # base bars of n minutes (bars that are their own base) date fills n minutes early
        "base_minutes": random.Random(f"base bars {seed}").choice((1, 1, 3, 60))
        if kfreq == gv.KFreq_Min and num > 1
        else 1,
    }
    if family == "deal":  # bars to deal one after another
        plan["cursor"] = rng.randrange(n_bars - 1)
        plan["volumes"] = [
            [rng.choice((300, 300, 300, 300, 0, 0.5, 1, NAN)) for _ in times] for _ in targets
        ]
    _add_market(rng, plan, family, bar_times)
    if family == "deal":
        plan["ops"] = _deal_ops(rng, plan)
    else:
        plan["ops"] = [
            _random_op(rng, plan, bar_times, family)
            for _ in range(rng.randint(*((6, 12) if family == "triggers" else (3, 8))))
        ]
    # Drawn last, so that the rest of a seed's plan does not depend on it; now and then a bad value.
    plan["settings"]["StopFill"] = "last_traded" if rng.random() < 0.02 else rng.choice(STOP_FILLS)
    fill_rng = random.Random(f"limit fill {seed}")
    plan["settings"]["LimitFill"] = (
        "open" if fill_rng.random() < 0.02 else fill_rng.choice(LIMIT_FILLS)
    )
    if family in ("transaction", "stops", "mixed", "deal"):
        _add_stop_entries(random.Random(f"stop entries {seed}"), plan)
    return plan


def _add_stop_entries(rng, plan):
    """Some orders made stop entries: triggers that tie with their bars' prices (and the
    ticks' grid), beyond them, or on the wrong side of the market, in other number types
    now and then; a few already triggered, one now and then with a trigger that is not a
    number.  Drawn with their own generator, so that the other draws of a seed stay."""
    cursor = plan["cursor"]
    for k, o in enumerate(plan["orders"]):
        if rng.random() < 0.6:
            continue
        first, high, low, _ = plan["bars"][int(o["target_idx"])][cursor]
        trigger = rng.choice(
            (
                first,
                high,
                low,
                round(rng.uniform(low, high), 2),
                round(high * 1.01, 2),
                round(low * 0.99, 2),
                round((first + high) / 2, 2),
                round((first + low) / 2, 2),
            )
        )
        o["stop_trigger"] = rng.choice(
            (trigger,) * 8 + (np.float64(trigger), np.float32(trigger), int(trigger))
        )
        if rng.random() < 0.02:
            o["stop_trigger"] = None
        if rng.random() < 0.15:
            plan.setdefault("order_states", {}).setdefault(k, {})["triggered"] = True


# What a stock's contract data may state: its lot size and the items of its fee schedule.
LOT_SIZES = (1, 50, 100, 100.0, 3, 1000, None)
STOCK_FEE_VALUES = {
    "CommissionRate": (0.0003, 0.00025, 0.0, 0.001, 1, np.float32(0.0003)),
    "MinTradeFee": (5.0, 0.0, 0.1, 5),
    "OpenTax": (0.0, 0.001, 0.0005),
    "CloseTax": (0.001, 0.0),
    "TransFee": (0.00002, 0.0, 1e-05),
}


def _state_contract_data(rng, targets, orders):
    """Stock targets that state a lot size and their own fee schedule: all of it, a part
    (the rest is the run's default) or none; one stated minimum commission a hair from
    an order's commission.  Drawn with their own generator, so that the other draws of
    a seed stay as they were."""
    for target in targets:
        if target["type"] == STOCK:
            info = target["info"]
            if rng.random() < 0.6:
                info["LotSize"] = rng.choice(LOT_SIZES)
            keys = rng.choice(
                ((),)
                + (tuple(STOCK_FEE_VALUES),) * 3
                + (tuple(rng.sample(sorted(STOCK_FEE_VALUES), 2)),)
            )
            info.update(
                (key, rng.choice(STOCK_FEE_VALUES[key] + (None,) * (rng.random() < 0.1)))
                for key in keys
            )
    anchored = [
        o
        for o in orders
        if o["target_type"] == STOCK
        and targets[int(o["target_idx"])]["info"].get("CommissionRate") is not None
        and "MinTradeFee" in targets[int(o["target_idx"])]["info"]
    ]
    if anchored and rng.random() < 0.6:
        anchor = rng.choice(anchored)
        info = targets[int(anchor["target_idx"])]["info"]
        fee = anchor["order_price"] * anchor["volume"] * float(info["CommissionRate"])
        fee -= rng.choice((0, 0, 1, 2)) * float(np.spacing(fee)) + rng.choice(
            (0.0, 0.0, 1e-15, 5e-16)
        )
        info["MinTradeFee"] = max(0.0, fee)


def _rare(rng, usual, rate=0.06):
    return INVALID if rng.random() < rate else rng.choice(usual)


def _add_market(rng, plan, family, bar_times):
    """Bars, daily limits, trading settings, cash, earlier positions and stop orders; for the
    families that match orders, the orders re-drawn around their bars."""
    targets, orders, cursor, n_cols = (
        plan["targets"],
        plan["orders"],
        plan["cursor"],
        len(plan["times"]),
    )
    plan["settings"].update(
        MarketOrderHolding=rng.choice((True, False, 0, 1)),
        LimitType=rng.choice((True, False)),
        PriceLoc=rng.choice((0, 1, 2)),
        SlidePrice=rng.choice((0, 0.01, 0.07, 0.0037, 1, 1.5)),
    )
    plan.update(
        bars=[],
        limits=[],
        stops=[],
        bookings=[],
        tight=None,
        lenient=rng.random() < 0.35,
        cash=[rng.choice((1e9, 1e9, 5e4, 0.0)) for _ in range(plan["n_accounts"])],
    )
    for target in targets:  # (open, high, low, close) of each base bar
        ref = rng.uniform(2, 80) if target["type"] == STOCK else rng.uniform(500, 6000)
        bars = []
        for _ in range(n_cols):
            first = round(ref * rng.uniform(0.97, 1.03), 2)
            high = round(max(first, ref) * rng.uniform(1, 1.02), 2)
            low = round(min(first, ref) * rng.uniform(0.98, 1), 2)
            bars.append((first, high, low, round(rng.uniform(low, high), 2)))
        plan["bars"].append(bars)
        up, down, limit = [NAN] * n_cols, [NAN] * n_cols, rng.choice((None, None, "up", "down"))
        if limit == "up":  # at the limit when the bar's low is at or above it
            up[cursor] = rng.choice((bars[cursor][2], bars[cursor][2] - 0.01, bars[cursor][1] + 1))
        elif limit == "down":
            down[cursor] = rng.choice(
                (bars[cursor][1], bars[cursor][1] + 0.01, bars[cursor][2] - 1)
            )
        plan["limits"].append((up, down) if limit else None)
    if family in ("transaction", "stops", "mixed", "deal"):
        for o in orders:
            if targets[int(o["target_idx"])]["type"] == INDEX:
                o.update(target_idx=0, code="code0", target_type=targets[0]["type"])
            first, high, low, _ = plan["bars"][int(o["target_idx"])][cursor]
            o.update(
                order_price=rng.choice(
                    (
                        0.0,
                        0.0,
                        low,
                        high,
                        first,
                        round(rng.uniform(low, high), 2),
                        round(high * 1.01, 2),
                        round(low * 0.99, 2),
                    )
                ),
                order_status=rng.choice(BATCH_STATUSES),
                filled_volume=rng.choice((0, 0, 0, 50)),
                position_effect=rng.choice(
                    (OPEN, OPEN, CLOSE) * 8
                    + (gv.PositionEffect_CloseToday,) * (o["target_type"] == FUTURE)
                ),
            )
            if rng.random() < 0.15:
                o["volume"] = rng.choice((2e9, 2e9 + 100, 3e9, 150, 150))
            if o["volume"] < 100:
                o["filled_volume"] = 0
            # (a stock order of another position effect fails the whole batch)
            if rng.random() < (0.02 if family == "deal" else 0.05):
                fields = ("order_ctg", "order_side") + ("position_effect",) * (
                    o["target_type"] == FUTURE
                )
                o[rng.choice(fields)] = INVALID
    for o in orders if family not in STOP_FAMILIES else ():
        for _ in range(rng.choice((1, 1, 2, 3) if family == "stops" else (0, 1, 1, 2, 3))):
            stop = dict(
                stop_order_id=len(plan["stops"]) + 1,
                target_order_id=rng.choice((o["order_id"],) * 8 + (NAN, 99)),
                target_idx=int(o["target_idx"]),
                handle_idx=int(o["handle_idx"]),
                act=_rare(rng, (o["order_side"], o["order_side"], BUY, SELL)),
                stop_order_type=_rare(rng, STOP_TYPES),
                stop_gap=rng.choice((5, 0.5, 10, 2.5)),
                stop_gap_type=_rare(
                    rng, (gv.OrderStop_StopGap_Point, gv.OrderStop_StopGap_Percent)
                ),
                trailing_gap_type=_rare(
                    rng, (gv.OrderStop_TrailingGap_Point, gv.OrderStop_TrailingGap_Percent)
                ),
                trailing_gap=rng.choice((3, 1.5, 10)),
                volume=rng.choice((o["volume"], o["volume"], 1, 100)),
                ctg=rng.choice((MARKET, MARKET, LIMIT)),
            )
            first, high, low, _ = plan["bars"][stop["target_idx"]][cursor]
            statuses = (
                STOP_STATUSES if family == "stops" else STOP_STATUSES[:3] * 3 + STOP_STATUSES[3:]
            )
            plan["stops"].append(
                (
                    stop,
                    dict(
                        execute_status=rng.choice(statuses),
                        trigger_time=rng.choice(bar_times),
                        trigger_real_price=rng.choice((low, high, first, NAN)),
                    ),
                )
            )
    if family in STOP_FAMILIES:
        _add_stop_play(rng, plan, family, bar_times)
    # Positions for closing orders and stop orders to close, in some accounts and of some targets.
    to_close = [
        (o["handle_idx"], o["target_idx"], SELL if o["order_side"] == BUY else BUY, o["volume"])
        for o in orders
        if o["position_effect"] == CLOSE and o["order_side"] in (BUY, SELL)
    ]
    to_close += [
        (s["handle_idx"], s["target_idx"], s["act"], s["volume"])
        for s, _ in plan["stops"]
        if s["act"] in (BUY, SELL)
    ]
    for handle, target, side, volume in to_close:
        if targets[int(target)]["type"] != INDEX and rng.random() < 0.6:
            volume = rng.choice((volume, volume, 2 * volume, volume / 2))
            plan["bookings"].append((int(handle), int(target), side, volume))
    opening = [
        k for k, o in enumerate(orders) if o["position_effect"] == OPEN and o["order_status"] == NEW
    ]
    if opening and rng.random() < 0.6:  # an account with just about the funds that an order freezes
        plan["tight"] = (
            rng.choice(opening),
            rng.choice(("equal", "equal", "below", "above", "zero")),
        )


def _grid(rng, prices):
    """Prices around ``prices`` that tie with them and with one another by their text;
    most are not held exactly at single precision."""
    step, base = rng.choice((0.1, 0.05, 0.5, 0.25, 1, 0.01)), rng.choice(prices)
    return sorted({round(base + k * step, 2) for k in range(-6, 7)} | set(prices))


def _armed(rng, stop, fill, grid):
    """The fields of a stop order armed at the fill price ``fill``: loss and profit stops
    at a stop price, trailing stops not begun or trailing; prices mostly on the side
    that arming puts them on, all from ``grid``."""
    long = stop["act"] != SELL
    above, below = [p for p in grid if p >= fill] or grid, [p for p in grid if p <= fill] or grid
    side = {gv.StopOrderType_Loss: below if long else above}.get(
        stop["stop_order_type"], above if long else below
    )
    price = rng.choice(side if rng.random() < 0.85 else grid)
    state = dict(
        execute_status=STOP_ACTIVE,
        target_price=fill,
        trailing_high=fill,
        trailing_low=fill,
        in_bar_begin=rng.random() < 0.7,
    )
    if stop["stop_order_type"] != gv.StopOrderType_Trailing:
        state.update(stop_price=price, trigger_real_price=price)
    elif rng.random() < 0.5:
        state.update(trailing_price=price)
    else:  # began trailing at an earlier bar (or in this one): its extremes lie beyond the
        # activation price, its trigger price mostly a point gap behind its best extreme
        best = rng.choice([p for p in grid if (p >= price) == long] or grid)
        worst = rng.choice([p for p in grid if (p <= best) == long] or grid)
        trigger = rng.choice(
            (
                round(best - stop["stop_gap"] if long else best + stop["stop_gap"], 2),
                rng.choice(grid),
            )
        )
        state.update(
            trailing_price=price,
            execute_status=STOP_TRAILING,
            is_begin_trailing=True,
            in_begin_trailing_bar=rng.random() < 0.3,
            stop_trailing_price=trigger,
            trailing_high=best if long else worst,
            trailing_low=worst if long else best,
        )
    return state


def _ticks(rng, times, grid):
    """Tick times, prices from ``grid`` and volumes of a bar ending at ``times``; sometimes none."""
    n = rng.choice((0, 1, 2, 3, 4, 5, 6, 8))
    return (
        [times - 0.25 * (n - k) for k in range(n)],
        [rng.choice(grid) for _ in range(n)],
        [rng.choice((1, 3, 100, 0)) for _ in range(n)],
    )


def _add_stop_play(rng, plan, family, bar_times):
    """Stop orders in every state, with prices that tie with the bars and the ticks,
    and the ticks of some bars.  "triggers": the stop orders of the first order.
    "deal": stop orders of every order, whose statuses are drawn for a deal (orders
    already filled, cancelled or denied have left the pending snap)."""
    orders, cursor = plan["orders"], plan["cursor"]
    plan.update(
        ticks=[], tick_form=rng.choice(TICK_FORMS), settled=family == "deal", order_states={}
    )
    owners = orders[:1] if family == "triggers" else orders
    unknown = family == "deal" and rng.random() < 0.08  # a stop order of an order never stored
    grids = [_grid(rng, [v for bar in bars for v in bar]) for bars in plan["bars"]]
    for k, o in enumerate(owners):
        t = int(o["target_idx"])
        if family == "triggers":  # the bar values are drawn from this grid, see _random_op
            grid = plan["grid"] = _grid(
                rng, [rng.choice((95.1, 100.0, 0.3, 5000.7)), *plan["bars"][t][cursor]]
            )
        else:
            grid = grids[t]
        fill = rng.choice(grid)
        if family == "deal":
            o["order_status"] = rng.choice(
                (NEW,) * 4 + (HELD,) * 2 + SETTLED * 2 + (gv.OrderStatus_Filled,) * 2
            )
            if o["order_status"] == gv.OrderStatus_Filled:
                o["filled_volume"] = o["volume"]
                plan["order_states"][k] = dict(filled_average=fill, price=fill)
        for _ in range(rng.choice((1, 2, 3) if family == "deal" else (2, 3, 4, 5))):
            target_order_id = (
                o["order_id"]
                if family == "triggers"
                else rng.choice((o["order_id"],) * 12 + (NAN,))
            )
            if unknown:
                target_order_id, unknown = 99, False
            stop = dict(
                stop_order_id=len(plan["stops"]) + 1,
                target_order_id=target_order_id,
                target_idx=t,
                handle_idx=int(o["handle_idx"]),
                act=_rare(rng, (o["order_side"], o["order_side"], BUY, SELL), 0.04),
                stop_order_type=_rare(rng, STOP_TYPES + STOP_TYPES[2:], 0.03),  # twice trailing
                stop_gap=rng.choice(STOP_GAPS),
                stop_gap_type=_rare(
                    rng, (gv.OrderStop_StopGap_Point, gv.OrderStop_StopGap_Percent), 0.03
                ),
                trailing_gap_type=rng.choice(
                    (gv.OrderStop_TrailingGap_Point, gv.OrderStop_TrailingGap_Percent)
                ),
                trailing_gap=rng.choice((3, 1.5, 10)),
                volume=rng.choice((o["volume"], o["volume"], 1)),
                ctg=rng.choice((MARKET, MARKET, MARKET, LIMIT)),
            )
            if family == "triggers":
                armed = rng.random() < 0.85
            else:
                armed = o["order_status"] == gv.OrderStatus_Filled and rng.random() < 0.7
            plan["stops"].append(
                (
                    stop,
                    _armed(rng, stop, fill, grid) if armed else dict(execute_status=STOP_HOLDING),
                )
            )
    if family == "triggers":
        if rng.random() < 0.85:
            plan["ticks"].append(
                (stop["target_idx"], cursor, *_ticks(rng, bar_times[cursor], grid))
            )
        return
    for t, grid in enumerate(grids):
        for pos, bar_time in enumerate(bar_times):
            if rng.random() < 0.6:
                plan["ticks"].append((t, pos, *_ticks(rng, bar_time, grid)))


def bar_fill_plan(seed):
    """A "deal" scenario whose armed stop orders mostly fire on the bar alone: one per
    target order, in force since before the bar (trailing ones often trailing since an
    earlier bar), the position to close booked, and bars that trade; their prices tie
    with the bars, so that a bar opens beyond a stop's level or not."""
    plan = make_plan(seed, "deal")
    while plan["freq"] == (gv.KFreq_Tick, 1):  # bars that are more than one tick
        seed += 100_000
        plan = make_plan(seed, "deal")
    rng = random.Random(-seed)
    kept, seen = [], set()
    grids = [_grid(rng, [v for bar in bars for v in bar]) for bars in plan["bars"]]
    for fields, state in plan["stops"]:
        if fields["target_order_id"] in seen:
            continue
        seen.add(fields["target_order_id"])
        if state["execute_status"] == STOP_HOLDING:
            grid = grids[fields["target_idx"]]
            state = _armed(rng, fields, rng.choice(grid), grid)
        state["in_bar_begin"] = rng.random() < 0.95
        if state.get("is_begin_trailing"):
            state["in_begin_trailing_bar"] = rng.random() < 0.1
        kept.append((fields, state))
        if fields["act"] in (BUY, SELL):
            plan["bookings"].append(
                (
                    fields["handle_idx"],
                    fields["target_idx"],
                    fields["act"],
                    rng.choice((fields["volume"], 2 * fields["volume"])),
                )
            )
    plan["stops"] = kept
    plan["volumes"] = [
        [rng.choice((300,) * 9 + (0,)) for _ in volumes] for volumes in plan["volumes"]
    ]
    return plan


def _deal_ops(rng, plan):
    """``deal_trade`` at consecutive bars from the cursor on, now and then the value of an order."""
    ops = []
    for pos in range(plan["cursor"], min(len(plan["groups"]), plan["cursor"] + 4)):
        ops += [("advance",)] * (pos > plan["cursor"])
        ops += [("value", rng.randrange(len(plan["orders"])))] * (rng.random() < 0.25) + [("deal",)]
    return ops


def _random_op(rng, plan, bar_times, family):
    """One engine call; orders (and the trades made of them, see World) by their position."""
    orders = plan["orders"]
    if family == "mixed":
        family = rng.choice(FAMILIES[: FAMILIES.index("mixed")])
    if family in ("transaction", "stops"):
        bar_changes = [
            (rng.choice((None,) * 6 + (NAN, 0.0, 1e-11)), rng.choice((300, 300, 300, 1, 0.5, 0)))
            for _ in plan["targets"]
        ]  # per target: the open if changed, and the volume
    if family == "transaction":
        batch = rng.sample(range(len(orders)), rng.randint(1, len(orders)))
        if plan["tight"] and plan["tight"][0] in batch:  # first, before other orders hold funds
            batch.insert(0, batch.pop(batch.index(plan["tight"][0])))
        assign = (
            None
            if rng.random() < 0.7
            else [
                (rng.choice((NAN, rng.uniform(1, 100), 10.0)), rng.choice(bar_times))
                for _ in orders
            ]
        )
        return ("transaction", batch, bar_changes, rng.choice((np.array, list)), assign)
    if family == "stops":
        kind = rng.choice(("arm", "fire", "fire", "cancel", "stop_status"))
        if kind == "arm":
            price = rng.uniform(1, 100)
            return (
                "arm",
                rng.choice([s["target_order_id"] for s, _ in plan["stops"]] + [99, NAN]),
                rng.choice((price, int(price), np.float64(price))),
            )
        if kind == "stop_status":
            return (
                "stop_status",
                rng.sample(range(len(plan["stops"])), rng.randint(0, min(3, len(plan["stops"])))),
                rng.choice(STOP_STATUSES),
            )
        return (kind, rng.randrange(100), rng.random() < 0.7, bar_changes)
    if family == "triggers":
        grid, kind = plan["grid"], rng.choice(("by_bar",) * 5 + ("by_tick",) * 3 + ("trail_price",))
        picks = rng.sample(range(6), rng.randint(1, 4))  # stop orders, by their place in the snap
        if kind == "by_bar":  # mostly narrow bars; some as wide as a stop gap
            form = rng.choice((float, float, np.float64, np.float32, int))
            k = rng.randrange(len(grid))
            low, high = (
                grid[k],
                grid[min(len(grid) - 1, k + rng.choice((0, 1, 1, 2, 3, 5, len(grid))))],
            )
            if rng.random() < 0.2:
                low = round(high - rng.choice(STOP_GAPS), 2)
            volume = rng.choice((0, -0.0, 1e-46, NAN, 1, 2.5, 7, 100, 300, 300, np.float32(5)))
            return ("by_bar", form(high), form(low), volume, picks)
        if kind == "by_tick":
            return ("by_tick", picks)
        return (
            "trail_price",
            rng.randrange(len(plan["stops"])),
            rng.choice((None, None, rng.choice(grid))),
        )
    if family == "frozen":
        kinds = sorted(
            {o["target_type"] for o in orders} & {FUTURE, STOCK}
        )  # a futures batch is never empty
        side, kind = rng.choice(("order", "trader")), rng.choice([None, None] + kinds)
        pool = [k for k, o in enumerate(orders) if kind is None or o["target_type"] == kind]
        fn = f"_update_{side}{ {None: '', FUTURE: '_future', STOCK: '_stock'}[kind] }_frozen"
        return ("frozen", side, fn, rng.sample(pool, rng.randint(min(1, len(pool)), len(pool))))
    if family == "fills":
        k = rng.randrange(len(orders))
        trade_price = orders[k]["order_price"] * rng.choice((1, _price(rng, 0.5, 2)))
        trade_price = rng.choice(
            (
                trade_price,
                np.float64(trade_price),
                np.float32(trade_price),
                int(trade_price),
                str(trade_price),
            )
        )
        order_price = rng.choice(
            (orders[k]["order_price"], trade_price, np.float32(orders[k]["order_price"]))
        )
        rule = rng.choice(("unfilled",) * 6 + ("partial", "partial", "over", "zero"))
        return (
            "fill",
            k,
            order_price,
            rule,
            trade_price,
            rng.choice(bar_times) + rng.choice((0, -60, 0.5)),
        )
    if family == "status":
        batch = rng.sample(range(len(orders)), rng.randint(1, len(orders)))
        return (
            "status",
            rng.choice(batch),
            batch,
            rng.choice(STATUSES + (gv.OrderStatus_Holding,)),
            rng.choice(REASONS),
            rng.choice(bar_times),
        )
    if rng.random() < 0.3:
        return ("clear", rng.choice(bar_times))
    n_bars = len(plan["groups"])
    pos = rng.choice((plan["cursor"], n_bars - 1, rng.randrange(n_bars), np.int64(n_bars - 1)))
    return (
        "filled_time",
        pos,
        rng.choice(bar_times) + rng.choice((0, 0.5)),
        rng.randrange(len(plan["targets"])),
    )


# ------------------------------------------------------------------ running a scenario


class KDataByPlace(KDataContainer):
    """Bar-data sets found by the frequency and multiple they were stored under, not by
    fields of their own."""

    def __init__(self, sets):
        super().__init__(sets)
        self.keys = [(k_data.Frequency, k_data.FreNum) for k_data in sets]

    def get_item(self, frequency, number):
        return self[self.keys.index((frequency, number))]


class World:
    """A scenario built on a fresh registry, backtest environment and history store;
    every order also comes with an earlier trade of its own, at its price."""

    def __init__(self, plan, subject):
        self.plan, self.subject, self.status_s, self.callbacks = plan, subject, None, 0
        self.outcomes, self.matching = set(), False
        self.vr, self.smm, self.env = framekit.SystemBaseVar(), SystemModeMgr(), BacktestEnv()
        vr, env = self.vr, self.env
        env.set_env(vr, gv, self.smm)
        targets, info = plan["targets"], vr.g_KorvitInputInfo
        _history.set_target_info_v2([t["info"] for t in targets])
        info.TargetListDot = [f"MK{k}.C{k}" for k in range(len(targets))]
        info.TargetList = [dot.lower() for dot in info.TargetListDot]
        vr.g_KorvitTargetsInfo.update(
            (dot, {"Type": t["type"], "Multiple": t["info"]["Multiple"]})
            for dot, t in zip(info.TargetListDot, targets)
        )
        for name, value in plan["settings"].items():
            if value == ABSENT:
                delattr(vr.g_KorvitSettingInfo, name)
            else:
                setattr(vr.g_KorvitSettingInfo, name, value)

        (kfreq, num), groups = plan["freq"], plan["groups"]
        base = env.generate_kmatrix_array(len(targets), len(plan["times"]))
        base[gv.KMatrixPos_TimeLine] = plan["times"]
        for t, volumes in enumerate(plan["volumes"]):
            base[gv.bar_item_pos(gv.KMatrix_Volume, t)] = volumes
        for t, bars in enumerate(plan["bars"]):
            for item, values in zip(
                (gv.KMatrix_Open, gv.KMatrix_High, gv.KMatrix_Low, gv.KMatrix_Close), zip(*bars)
            ):
                base[gv.bar_item_pos(item, t)] = values
        strategy = base[
            :, np.cumsum(groups) - 1
        ]  # a strategy bar has the time of its last base bar
        base_freq = gv.KFreq_Tick if kfreq == gv.KFreq_Tick else min(kfreq, gv.KFreq_Day)
        vr.g_KorvitKDataList.append(
            KData(
                base,
                np.arange(base.shape[1]),
                Frequency=base_freq,
                FreNum=plan.get("base_minutes", 1),
            )
        )
        if _is_composite(kfreq, num):  # weekly and longer bars give the first base bar of each
            begin = (
                np.cumsum([0] + groups[:-1])
                if kfreq >= gv.KFreq_Week
                else np.repeat(np.arange(len(groups)), groups)
            )
            vr.g_KorvitKDataList.append(
                KData(
                    strategy, np.arange(len(groups)), BaseBegin=begin, Frequency=kfreq, FreNum=num
                )
            )
        unstated = plan.get("unstated", {})  # fields a host's records may lack
        if unstated.get("k_data"):
            vr.g_KorvitKDataList = KDataByPlace(vr.g_KorvitKDataList)
            for k_data, name in itertools.product(vr.g_KorvitKDataList, unstated["k_data"]):
                delattr(k_data, name)
        info.KFrequencyI, info.KFreNum = kfreq, num
        vr.g_KorvitDataValueFresh = strategy[: gv.KMatrixPos_Head_len].copy()
        vr.g_KorvitSimCurBarFresh = plan["cursor"]

        vr.g_KorvitAccounts[:] = [
            KVBackAccount(f"acct{k}", cash, plan["rates"] if k == 0 else None)
            for k, cash in enumerate(plan["cash"])
        ]
        for t, limits in enumerate(plan["limits"]):
            if limits:
                env.set_price_limits(t, *limits)
        for handle, t, side, volume in plan["bookings"]:
            price = plan["bars"][t][plan["cursor"]][0]
            vr.g_KorvitAccounts[handle].on_trade(
                [
                    KVBackTrade.create(
                        handle_idx=handle,
                        target_idx=t,
                        target_type=targets[t]["type"],
                        order_id=0,
                        order_price=price,
                        trader_id=-1,
                        trader_volume=volume,
                        trade_price=price,
                        filled_time=0.0,
                        order_ctg=LIMIT,
                        order_side=side,
                        position_effect=OPEN,
                        tag=None,
                        order_fee=0.0,
                        order_margin=0.0,
                    )
                ]
            )
        info.AccountNameList = [a.name for a in vr.g_KorvitAccounts]
        vr.g_KorvitUserContext = "user context"
        info.on_order_status_func = lambda context, snap: self.callback(
            "on_order_status", context, snap
        )
        info.on_order_execution_func = lambda context, snap: self.callback(
            "on_execution", context, snap
        )
        vr.g_KVOrders, vr.g_KVTrades = KVBackOrderCollect(), KVBackTradeCollect()
        self.orders = [KVBackOrder.create(**o) for o in plan["orders"]]
        for order, name in itertools.product(self.orders, unstated.get("orders", ())):
            delattr(order, name)
        self.trades = [
            KVBackTrade.create(
                handle_idx=o.handle_idx,
                target_idx=o.target_idx,
                target_type=o.target_type,
                order_id=o.order_id,
                order_price=o.price,
                trader_id=k,
                trader_volume=o.volume,
                trade_price=o.price,
                filled_time=o.created_time,
                order_ctg=o.ctg,
                order_side=o.side,
                position_effect=o.position_effect,
                tag=o.tag,
                order_fee=0.0,
                order_margin=0.0,
            )
            for k, o in enumerate(self.orders)
        ]
        for order, trade in zip(self.orders, self.trades):
            vr.g_KVOrders.append(None, order)
            vr.g_KVTrades.append(None, trade)
        for k, state in plan.get("order_states", {}).items():
            for name, value in state.items():
                setattr(self.orders[k], name, value)
        if plan.get("settled"):
            vr.g_KVOrders.snap_remove("unfilled", [o for o in self.orders if o.status in SETTLED])
        for ticks in plan.get("ticks", ()):
            _history.set_bar_tick_data(*ticks)
        vr.g_KVStopOrders, self.stops = KVBackStopOrderCollect(), []
        for fields, state in plan["stops"]:
            self.stops.append(KVBackStopOrder.create(**fields))
            for name, value in state.items():
                setattr(self.stops[-1], name, value)
            vr.g_KVStopOrders.append(None, self.stops[-1])

    def tighten(self):
        """Gives the planned account just about the funds that the planned new order will freeze."""
        if self.plan["tight"]:
            k, how = self.plan["tight"]
            fields = dict(self.plan["orders"][k])
            if fields["order_price"] == 0:  # it is matched at its bar's open
                fields["order_price"] = self.plan["bars"][int(fields["target_idx"])][
                    self.plan["cursor"]
                ][0]
            value, fee = twin._update_order_frozen([KVBackOrder.create(**fields)])
            need = value[0] + fee[0]
            cash = {
                "equal": need,
                "below": np.nextafter(need, 0),
                "above": np.nextafter(need, np.inf),
                "zero": 0.0,
            }
            self.vr.g_KorvitAccounts[int(fields["handle_idx"])].cash = float(cash[how])

    def callback(self, kind, context, snap):
        self.callbacks += 1
        if HOST_CALLS.on:
            HOST_CALLS.append(
                canon(("user", kind, context, snap, self.subject.smm.current_phase, self.status_s))
            )
        if self.matching and kind == "on_order_status":
            self.outcomes.add(
                {
                    gv.OrderStatus_Filled: ("fill",),
                    gv.OrderStatus_Denied: ("deny", snap.rej_reason),
                    gv.OrderStatus_Cancelled: ("cancel", snap.rej_reason),
                    NEW: ("limit",),
                }.get(snap.status, ("admit",))
            )
        if self.callbacks == self.plan["callback_fails_at"]:
            raise UserCallbackError(kind)

    def transact(self, ids, targets, bar_changes, form, prices=np.array([]), times=np.array([])):
        """``_transaction_order`` of the orders ``ids`` on the bars of their ``targets``, as changed."""
        columns = ([], [], [], [])  # high, low, open, volume
        for t in targets:
            first, high, low, _ = self.plan["bars"][t][self.plan["cursor"]]
            new_open, volume = bar_changes[t]
            for column, value in zip(
                columns, (high, low, first if new_open is None else new_open, volume)
            ):
                column.append(value)
        new = {o.order_id for o in self.vr.g_KVOrders if o.status == NEW}
        records = {o.order_id: o for o in self.vr.g_KVOrders}
        # limit orders whose bar reaches the limit after opening better than it
        opened_better = {
            i: (records[i].price, first)
            for i, high, low, first in zip(ids, *columns[:3])
            if records[i].ctg == LIMIT
            and records[i].side in (BUY, SELL)
            and (not _number(getattr(records[i], "stop_trigger", NAN)) or records[i].triggered)
            and low <= records[i].price <= high
            and (first > records[i].price if records[i].side == SELL else first < records[i].price)
        }
        result = self.subject._transaction_order(ids, *map(form, columns), prices, times)
        for i, t in zip(ids, targets):
            order, lot = records[i], self.plan["targets"][t]["info"].get("LotSize")
            if (
                i not in new
                or order.target_type != STOCK
                or order.position_effect != OPEN
                or lot in (None, 100)
            ):
                continue
            if (
                order.status == gv.OrderStatus_Denied
                and order.rej_reason == gv.OrderReject_IllegalVolume
            ):
                self.outcomes.add(("denied by the contract's lot size",))
            elif order.status != NEW and order.volume % 100 != 0:
                self.outcomes.add(("admitted by the contract's lot size",))
        for i, t in zip(ids, targets):
            if records[i].status == HELD and bar_changes[t][0] is None and bar_changes[t][1] >= 1:
                self.outcomes.add(("pending",))
            if i in opened_better and records[i].status == gv.OrderStatus_Filled:
                # at the open or at the limit, where the two differ on the price step
                limit, first = opened_better[i]
                step = self.plan["targets"][t]["info"]["MinMove"]
                at = {
                    twin._not_below(price, limit, step)[1]
                    if records[i].side == SELL
                    else twin._floor_to_step(price, step): name
                    for name, price in (("open", first), ("limit", limit))
                }
                if len(at) == 2 and records[i].filled_average in at:
                    fill = self.plan["settings"]["LimitFill"]
                    fill = "first_traded" if fill == ABSENT else fill  # what no field stands for
                    self.outcomes.add(
                        ("limit reached after a better open", fill, at[records[i].filled_average])
                    )
        return result

    def unfired(self, picks):
        """Live stop orders by their place in the snap (modulo its size), each once."""
        unfired = self.vr.g_KVStopOrders.snap_obj("unfired")
        return list(dict.fromkeys(unfired[k % len(unfired)] for k in picks)) if unfired else []

    def note_stops(self, before, when):
        """What the call just made (``before``: the stop orders' states before it) came to."""
        fired_targets = {s.target_order_id for s in self.stops if s.execute_status == FIRED}
        for s in self.stops:
            status, began = before[s.stop_order_id]
            self.outcomes.update([("trailing begun", when)] * (s.is_begin_trailing and not began))
            if s.execute_status == CANCELLED and status != CANCELLED:
                self.outcomes.add(
                    ("cancelled with the target order",)
                    if status == STOP_HOLDING
                    else ("cancelled by a sibling",)
                    if s.target_order_id in fired_targets
                    else ("cancelled, no volume",)
                )
            if s.execute_status == FIRED and status != FIRED:
                if s.trigger_time != self.env.fresh_bar_time:
                    self.outcomes.add(("fired by the ticks",))
                elif self.plan["freq"] == (gv.KFreq_Tick, 1):
                    self.outcomes.add(("fired on a single-tick bar",))
                else:
                    fill = self.plan["settings"].get("StopFill")
                    self.outcomes.update(
                        (("fired on the bar", s.stop_order_type), ("fired on the bar", fill))
                    )
                    trailing = s.stop_order_type == gv.StopOrderType_Trailing
                    level = s.stop_trailing_price if trailing else s.stop_price
                    column = np.cumsum(self.plan["groups"])[self.vr.g_KorvitSimCurBarFresh] - 1
                    first = self.plan["bars"][s.target_idx][column][0]
                    falls = (s.act == BUY) == (s.stop_order_type != gv.StopOrderType_Profit)
                    if (
                        (first <= level if falls else first >= level)
                        and first != level
                        and (began or not trailing)
                    ):
                        self.outcomes.add(("opened beyond its level", s.stop_order_type, fill))

    def apply(self, op):
        """Runs one planned engine call; returns what is compared."""
        kind, subject = op[0], self.subject
        self.matching = kind in ("transaction", "fire", "deal")
        before = {s.stop_order_id: (s.execute_status, s.is_begin_trailing) for s in self.stops}
        if kind == "by_bar":
            stops = self.unfired(op[4])
            extremes = [(s.trailing_high, s.trailing_low) for s in stops]
            result = subject._judge_stop_orders_by_bar(*op[1:4], stops)
            self.outcomes.update(
                [("may fire",)] * bool(result[0]) + [("tick check",)] * bool(result[1])
            )
            self.outcomes.update(
                ("trailing moved on the bar",)
                for s, old in zip(stops, extremes)
                if s.is_begin_trailing
                and (s.trailing_high, s.trailing_low) != old
                and s not in result[0] + result[1]
            )
            self.note_stops(before, "bar")
            return result
        if kind == "by_tick":
            stops = self.unfired(op[1])
            if not stops:
                return "no stop orders"
            armed = [s for s in stops if not s.in_bar_begin]
            result = subject._judge_stop_orders_by_tick(stops)
            self.outcomes.update(
                [("in force from a tick",)] * any(s.in_bar_begin for s in armed)
                + [("tick fired", s.stop_order_type) for s in result[0]]
            )
            self.note_stops(before, "tick")
            return result
        if kind == "trail_price":
            stop = self.stops[op[1]]
            return subject._update_stop_trailing_order_trigger_price(
                stop, stop.target_price if op[2] is None else op[2]
            )
        if kind == "advance":
            # The host's loop moves on to the next bar; the closing orders that ended the
            # last one (returned with the filled orders) are no longer pending.
            unfilled = self.vr.g_KVOrders.snap_obj("unfilled")
            self.vr.g_KVOrders.snap_remove("unfilled", [o for o in unfilled if o.status in SETTLED])
            self.vr.g_KorvitSimCurBarFresh += 1
            return self.vr.g_KorvitSimCurBarFresh
        if kind == "value":
            return subject.calc_order_value_rb(self.orders[op[1]])
        if kind == "deal":
            stored = self.vr.g_KVOrders.size
            result = subject.deal_trade()
            self.note_stops(before, "deal")
            closing = list(self.vr.g_KVOrders)[stored:]
            self.outcomes.update(("closing order", o.status) for o in closing)
            self.outcomes.update(
                [("armed in the deal",)]
                * any(
                    s.execute_status != STOP_HOLDING and before[s.stop_order_id][0] == STOP_HOLDING
                    for s in self.stops
                )
            )
            return result
        if kind == "transaction":
            _, batch, bar_changes, form, assign = op
            batch = [
                k for k in batch if self.orders[k].unfilled_volume > 0
            ]  # as the pending orders are
            ids = np.array([self.orders[k].order_id for k in batch])
            targets = [int(self.orders[k].target_idx) for k in batch]
            if assign is None:
                return self.transact(ids, targets, bar_changes, form)
            return self.transact(
                ids, targets, bar_changes, form, *map(np.array, zip(*[assign[k] for k in batch]))
            )
        if kind == "arm":
            return subject._set_stop_order_target_price(*op[1:])
        if kind == "stop_status":
            return subject._update_stop_order_status([self.stops[k] for k in op[1]], op[2])
        if kind in ("fire", "cancel"):
            unfired = self.vr.g_KVStopOrders.snap_obj("unfired") or self.stops
            if not unfired:
                return "no stop orders"
            stop = unfired[op[1] % len(unfired)]
            if kind == "cancel":
                return subject._cancel_other_stop_order(stop)
            fired = subject._fire_stop_order(stop)
            # The closing order is matched at once, at the stop's price and time, as the stop dealing does.
            return fired, op[2] and self.transact(
                fired[0], [int(stop.target_idx)], op[3], np.array, *fired[1:]
            )
        if kind == "frozen":
            records = [(self.orders if op[1] == "order" else self.trades)[k] for k in op[3]]
            for r in records:
                stated = [
                    self.plan["targets"][int(r.target_idx)]["info"].get(key) is not None
                    for key in STOCK_FEE_VALUES
                ]
                if r.target_type == STOCK and any(stated):
                    self.outcomes.add(
                        ("fee schedule stated", "whole" if all(stated) else "in part")
                    )
            return getattr(subject, op[2])(records)
        if kind == "status":  # status_s: the caller's status array, shown to the user callbacks
            _, k, batch, *args = op
            self.status_s = [self.orders[j].status for j in batch]
            subject._update_order_status(self.orders[k], self.status_s, batch.index(k), *args)
            return self.status_s
        if kind == "fill":
            # The fill sequence of an order: trade, status report, execution report, frozen funds of the trade.
            _, k, order_price, rule, trade_price, t = op
            order = self.orders[k]
            unfilled = order.unfilled_volume
            volume = {
                "unfilled": unfilled,
                "partial": max(1, int(unfilled) // 2),
                "over": unfilled + 1,
                "zero": 0,
            }
            trade = subject._create_a_trader(order, order_price, volume[rule], trade_price, t)
            self.status_s = [order.status]
            subject._update_order_status(order, self.status_s, 0, order.status, NAN, t)
            subject._back_test_call_on_execution(order, trade)
            return trade, subject._update_trader_frozen([trade])
        if kind == "filled_time":
            return subject._get_filled_time(*op[1:])
        return subject._clear_unfilled_order(op[1])


def worded(exc):
    """The message of an error both modules word themselves (other messages come from
    the interpreter or the decimal module and may differ between the two)."""
    return (str(exc),) if isinstance(exc, NotImplementedError) else ()


def run(plan, subject, world_class=World):
    """Builds ``plan`` (a ``world_class``), runs its calls through ``subject`` and returns
    all that can be observed: results, host calls, fields of orders and trades, cache and
    run phase."""
    out, world = {}, world_class(plan, subject)
    try:
        with pytest.MonkeyPatch.context() as mp:
            for name in ("vr", "env", "smm"):
                mp.setattr(framekit, name, getattr(world, name))
            for name, recorder in host_functions(
                subject, plan["lenient"], plan.get("tick_form")
            ).items():
                mp.setattr(subject, name, recorder)
            if "info_of" in plan:  # another source of contract data
                mp.setattr(subject, "get_target_info_v2", plan["info_of"])
            world.tighten()
            HOST_CALLS.clear()
            HOST_CALLS.on = True
            for k, op in enumerate(plan["ops"]):
                try:
                    out[f"call #{k}"] = ("returned", canon(world.apply(op)))
                except Exception as exc:  # compared, not hidden
                    out[f"call #{k}"] = ("raised", type(exc).__qualname__) + worded(exc)
    finally:
        HOST_CALLS.on = False
        _history.clear()
    out.update((f"host call #{k}", entry) for k, entry in enumerate(HOST_CALLS))
    tick_times = {time for ticks in plan.get("ticks", ()) for time in ticks[2]}
    for o in world.vr.g_KVOrders:
        out.update(
            (f"order {o.order_id}.{name}", canon(getattr(o, name, ABSENT)))
            for name in KVBackOrder.__slots__
        )
        trigger = getattr(o, "stop_trigger", None)
        if isinstance(trigger, (float, int)) and not isnan(trigger):
            world.outcomes.add(("stop entry", o.ctg, o.status, o.triggered))
            if o.status == gv.OrderStatus_Filled and o.updated_time in tick_times:
                world.outcomes.add(("stop entry filled at a tick", o.ctg))
    note_steps_up(world)
    for k, t in enumerate(world.vr.g_KVTrades):
        out.update(
            (f"trade #{k}.{name}", canon(getattr(t, name)))
            for name in KVBackTrade._FIELDS + ("_frozen",)
        )
        out[f"trade #{k}"] = type(t).__qualname__
    for s in world.vr.g_KVStopOrders:
        out.update(
            (f"stop {s.stop_order_id}.{name}", canon(getattr(s, name)))
            for name in KVBackStopOrder.__slots__
        )
        world.outcomes.update(
            [("armed",)] * (not isnan(s.target_price)) + [("fired",)] * (s.execute_status == FIRED)
        )
    for collection, snap, key in (
        (world.vr.g_KVOrders, "unfilled", "order_id"),
        (world.vr.g_KVStopOrders, "unfired", "stop_order_id"),
    ):
        out[f"snap {snap}"] = canon([getattr(record, key) for record in collection.snap_obj(snap)])
    for a in world.vr.g_KorvitAccounts:
        positions = [a.position(t) for t in range(len(plan["targets"]))]
        out[f"account {a.name}"] = canon(
            (
                a.cash,
                a.fee_total,
                a.realised_pnl,
                a.holding_order_ids,
                [
                    p and [getattr(p, name) for name in PositionsBase.__slots__ + type(p).__slots__]
                    for p in positions
                ],
            )
        )
    out["outcomes"] = sorted(world.outcomes, key=repr)
    out["filled-time cache"] = canon(world.vr.g_KorvitCache.min_sec_filled_time)
    out["phase"] = canon(subject.smm.current_phase)
    return out


def _number(x):
    """Whether ``x`` is a number other than NaN (a stop entry's trigger)."""
    return isinstance(x, (int, float, np.number)) and not isnan(x)


def note_steps_up(world):
    """Fills that went up to the price step where down would have crossed a sell
    limit, a buy stop entry's trigger or the level of a stop that holds at or above it."""
    planned = {o["order_id"]: o for o in world.plan["orders"]}
    fired = {s.order_id: s for s in world.vr.g_KVStopOrders if s.execute_status == FIRED}
    for t in list(world.vr.g_KVTrades)[len(world.trades) :]:
        o, stop = planned.get(t.order_id), fired.get(t.order_id)
        entry = o is not None and _number(o.get("stop_trigger"))
        if o is not None and not entry and o["order_ctg"] == LIMIT and o["order_side"] == SELL:
            kind, level = "sell limit", o["order_price"]
        elif entry and o["order_ctg"] == MARKET and o["order_side"] == BUY:
            kind, level = "buy stop", o["stop_trigger"]
        elif stop is not None and twin._holds_above(stop):
            kind, level = "stop exit", stop.trigger_real_price
        else:
            continue
        step = world.plan["targets"][int(t.target_idx)]["info"].get("MinMove")
        if step is None or not level > 0 or twin._floor_to_step(level, step) >= level:
            continue
        if t.trade_price == twin._ceil_to_step(level, step):
            world.outcomes.add(("brought up to the step", kind))


def compare(plan, runner=run):
    """The twin's run of ``plan``, and the first entries in which the engine's run differs
    (each run made by ``runner``)."""
    expected, got = runner(plan, twin), runner(plan, engine)
    keys = list(expected) + [k for k in got if k not in expected]
    return expected, [
        f"{k}: twin {expected.get(k)!r}, engine {got.get(k)!r}"
        for k in keys
        if expected.get(k, "<absent>") != got.get(k, "<absent>")
    ][:6]


# ------------------------------------------------------------------ tests

SCENARIOS = int(os.environ.get("KORVIT_DIFF_SCENARIOS", "80"))  # per family
# What the matching scenarios must reach, across their seeds.
REACHED = {
    "transaction": {
        ("fill",),
        ("limit",),
        ("pending",),
        ("armed",),
        ("denied by the contract's lot size",),
        ("admitted by the contract's lot size",),
    }
    | {
        ("deny", r)
        for r in (
            gv.OrderReject_IllegalVolume,
            gv.OrderReject_NoEnoughCash,
            gv.OrderReject_NoEnoughPosition,
        )
    }
    | {("cancel", r) for r in (gv.OrderReject_MarketOrderHolding, gv.OrderReject_LimitType)}
    | {("brought up to the step", kind) for kind in ("sell limit", "buy stop")}
    | {
        ("limit reached after a better open", "first_traded", "open"),
        ("limit reached after a better open", "limit_price", "limit"),
    },
    "frozen": {("fee schedule stated", "whole"), ("fee schedule stated", "in part")},
    "stops": {("armed",), ("fired",), ("fill",), ("deny", gv.OrderReject_NoEnoughPosition)},
    "triggers": {
        ("may fire",),
        ("tick check",),
        ("cancelled, no volume",),
        ("trailing moved on the bar",),
        ("trailing begun", "bar"),
        ("trailing begun", "tick"),
        ("in force from a tick",),
    }
    | {("tick fired", kind) for kind in STOP_TYPES},
    "deal": {
        ("armed in the deal",),
        ("cancelled with the target order",),
        ("cancelled by a sibling",),
        ("cancelled, no volume",),
        ("fired by the ticks",),
        ("fired on a single-tick bar",),
        ("trailing begun", "deal"),
        ("closing order", gv.OrderStatus_Filled),
        ("closing order", gv.OrderStatus_Denied),
        ("fill",),
        ("deny", gv.OrderReject_NoEnoughCash),
        ("brought up to the step", "stop exit"),
    }
    | {("fired on the bar", kind) for kind in STOP_TYPES}
    | {("fired on the bar", fill) for fill in STOP_FILLS},
    "bar_fills": {
        ("opened beyond its level", kind, fill) for kind in STOP_TYPES for fill in STOP_FILLS
    },
}
# Stop entries: waiting, filled as market orders, and stop-limits filled or waiting once triggered.
STOP_ENTRIES = {
    ("stop entry", MARKET, HELD, False),
    ("stop entry", MARKET, gv.OrderStatus_Filled, True),
    ("stop entry", LIMIT, HELD, True),
    ("stop entry", LIMIT, gv.OrderStatus_Filled, True),
}
REACHED["transaction"] |= STOP_ENTRIES
REACHED["deal"] |= STOP_ENTRIES | {
    ("stop entry filled at a tick", MARKET),
    ("stop entry filled at a tick", LIMIT),
}


@pytest.mark.parametrize("family", FAMILIES)
def test_random_scenarios_agree(family):
    failing, results, reached = {}, [], set()
    for seed in range(1000 * FAMILIES.index(family), 1000 * FAMILIES.index(family) + SCENARIOS):
        plan = make_plan(seed, family)
        expected, diffs = compare(plan)
        results += [expected[f"call #{k}"][0] for k in range(len(plan["ops"]))]
        reached.update(expected["outcomes"])
        if diffs:
            failing[seed] = diffs
    assert not failing, (
        f"{len(failing)} of {SCENARIOS} scenarios differ, seeds {list(failing)}; the first:\n"
        + "\n".join(next(iter(failing.values())))
    )
    assert results.count("returned") > len(results) / 2, (
        "most calls fail: the scenarios test little"
    )
    assert not REACHED.get(family, set()) - reached, f"never reached: {REACHED[family] - reached}"


def small_plan(kind, op):
    """One target of ``kind``, new orders 1 to 3 on it, and one call."""
    plan = make_plan(7, "mixed")
    contract = dict(
        MinMove=0.05,
        Multiple=10,
        LongMargin=0.1,
        ShortMargin=0.1,
        TradingFeeOpen=3.0,
        TradingFeeClose=0.0001,
    )
    plan.update(
        targets=[{"type": kind, "info": contract}],
        orders=plan["orders"][:3],
        volumes=plan["volumes"][:1],
        bars=plan["bars"][:1],
        limits=[None],
        stops=[],
        bookings=[],
        tight=None,
        lenient=False,
        cash=[1e9] * plan["n_accounts"],
        callback_fails_at=None,
        ops=[op],
    )
    for o in plan["orders"]:
        o.update(
            target_idx=0,
            target_type=kind,
            volume=100 if kind == STOCK else 3,
            filled_volume=0,
            position_effect=OPEN,
            order_status=gv.OrderStatus_PreHolding,
        )
    return plan


FILL = ("fill", 0, 10.0, "unfilled", 10.27, 1_600_000_000.0)
TEXT_FILL = ("fill", 0, "10.3", "unfilled", "10.27", 1_600_000_000.0)
FROZEN = ("frozen", "order", "_update_order_frozen", [0, 1])
HOLDING = ("status", 0, [0], gv.OrderStatus_Holding, NAN, 0.0)

# name: target type, call, change to the plan, what the twin raises (None: it returns)
BAD_INPUTS = {
    "over-fill": (STOCK, ("fill", 0, 10.0, "over", 10.27, 1_600_000_000.0), None, AssertionError),
    "missing MinMove": (
        STOCK,
        FILL,
        lambda plan: plan["targets"][0]["info"].pop("MinMove"),
        InvalidOperation,
    ),
    "missing fee key": (
        FUTURE,
        FROZEN,
        lambda plan: plan["targets"][0]["info"].pop("TradingFeeClose"),
        TypeError,
    ),
    "price None": (
        FUTURE,
        FROZEN,
        lambda plan: plan["orders"][1].update(order_price=None),
        TypeError,
    ),
    "unknown position effect": (
        STOCK,
        FROZEN,
        lambda plan: plan["orders"][1].update(position_effect=99),
        NotImplementedError,
    ),
    "on_order fails": (
        STOCK,
        HOLDING,
        lambda plan: plan["orders"][0].update(position_effect=99),
        ValueError,
    ),
    "user callback fails": (
        STOCK,
        HOLDING,
        lambda plan: plan.update(callback_fails_at=1),
        UserCallbackError,
    ),
    "text MinMove and prices": (
        STOCK,
        TEXT_FILL,
        lambda plan: plan["targets"][0]["info"].update(MinMove="0.05"),
        None,
    ),
    "lot size 0": (
        STOCK,
        ("transaction", [0], [(None, 300)], np.array, None),
        lambda plan: plan["targets"][0]["info"].update(LotSize=0),
        ZeroDivisionError,
    ),
    "commission rate as text": (
        STOCK,
        FROZEN,
        lambda plan: plan["targets"][0]["info"].update(CommissionRate="0.0003"),
        TypeError,
    ),
    "contract data of too few targets": (
        STOCK,
        FROZEN,
        lambda plan: plan.update(info_of=lambda indices: [{}]),
        IndexError,
    ),
}


@pytest.mark.parametrize("case", BAD_INPUTS)
def test_bad_input_fails_alike(case):
    """The twin fails as expected; the engine fails alike and leaves the same steps done."""
    kind, op, change, raised = BAD_INPUTS[case]
    plan = small_plan(kind, op)
    if change:
        change(plan)
    expected, diffs = compare(plan)
    outcome = expected["call #0"]
    assert (
        outcome[0] == "returned"
        if raised is None
        else outcome[:2] == ("raised", raised.__qualname__)
    )
    if raised is NotImplementedError:
        assert outcome[2] == "position_effect 99 is neither open nor close"
    assert not diffs


def _five_minute_plans():
    """Bars of five minutes on base bars of more than one minute: fill times of each bar
    (target 0), stale orders cleared, a deal."""
    for seed in range(1000):
        plan = make_plan(seed, "fill_time")
        if plan["freq"] == (gv.KFreq_Min, 5) and plan["base_minutes"] > 1:
            times = [("filled_time", pos, 0.0, 0) for pos in range(len(plan["groups"]))]
            yield {**plan, "ops": [*times, ("clear", plan["times"][0]), ("deal",)]}


def _stop_price_plans():
    for seed in range(1000):
        plan = bar_fill_plan(seed)
        yield {**plan, "settings": {**plan["settings"], "StopFill": "stop_price"}}


def _default_stop_fill(plan):
    return {**plan, "settings": {**plan["settings"], "StopFill": "first_traded"}}


def _stop_entry_plans():
    for seed in range(1000):
        plan = make_plan(seed, "transaction")
        if any("stop_trigger" in o for o in plan["orders"]):
            yield plan


def _no_stop_entries(plan):
    return {**plan, "orders": [{**o, "stop_trigger": NAN} for o in plan["orders"]]}


# What a host may leave out: scenarios that depend on it; the scenario without it; the
# scenario with it set to what its absence stands for.
UNSTATED = {
    "Frequency of bar data": (
        _five_minute_plans,
        lambda plan: {**plan, "unstated": {"k_data": ("Frequency",)}},
        lambda plan: {**plan, "base_minutes": 1},
    ),
    "FreNum of bar data": (
        _five_minute_plans,
        lambda plan: {**plan, "unstated": {"k_data": ("FreNum",)}},
        lambda plan: {**plan, "base_minutes": 1},
    ),
    "Frequency and FreNum of bar data": (
        _five_minute_plans,
        lambda plan: {**plan, "unstated": {"k_data": ("Frequency", "FreNum")}},
        lambda plan: {**plan, "base_minutes": 1},
    ),
    "StopFill of the settings": (
        _stop_price_plans,
        lambda plan: {**plan, "settings": {**plan["settings"], "StopFill": ABSENT}},
        _default_stop_fill,
    ),
    "stop_trigger of orders": (
        _stop_entry_plans,
        lambda plan: {**plan, "unstated": {"orders": ("stop_trigger",)}},
        _no_stop_entries,
    ),
}


@pytest.mark.parametrize("case", UNSTATED)
def test_a_host_without_an_optional_field_runs_as_with_its_default(case):
    """Fields a host may lay its records out without (bar data with only Matrix,
    CurrentBar and BaseBegin, settings without StopFill, orders without stop_trigger):
    both modules run as with the field set to what its absence stands for (base bars of
    one minute, "first_traded", no stop entry), in scenarios whose outcome depends on it."""
    plans, without, stated = UNSTATED[case]

    def seen(out):  # all that can be observed but the field left out
        return {key: value for key, value in out.items() if not key.endswith(".stop_trigger")}

    plan = next(p for p in plans() if seen(run(p, twin)) != seen(run(stated(p), twin)))
    expected, diffs = compare(without(plan))
    assert not diffs
    assert seen(expected) == seen(run(stated(plan), twin))


def test_module_names_are_looked_up_at_call_time(monkeypatch):
    """Replaced contract data, Decimal, trade class and minute are what both modules use."""
    plan = small_plan(STOCK, TEXT_FILL)
    plan.update(freq=(gv.KFreq_Min, 1), ops=[TEXT_FILL, ("filled_time", 0, 0.0, 0)])
    plain, read = run(plan, twin), {}
    for module in (twin, engine):

        class Trade(KVBackTrade):
            __slots__ = ()

        read[module] = []
        monkeypatch.setattr(module, "get_target_info_v2", lambda indices: [{"MinMove": 1}])
        monkeypatch.setattr(
            module,
            "Decimal",
            lambda text, seen=read[module], decimal=module.Decimal: (
                seen.append(text) or decimal(text)
            ),
        )
        monkeypatch.setattr(module, "KVBackTrade", Trade)
        monkeypatch.setattr(module, "_1min_dt", datetime.timedelta(minutes=2))
    replaced, diffs = compare(plan)
    assert not diffs
    assert read[twin] == read[engine] == ["10.27", "1", "10.3", "1"]
    assert [replaced[key] != plain[key] for key in ("order 1.price", "trade #3", "call #1")] == [
        True
    ] * 3
