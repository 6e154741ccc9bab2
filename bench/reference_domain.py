"""Plain-Python twin of the backtest matching engine ``korvit.backtest.domain``.

It binds the same module-level names as the compiled engine and its functions
do the same operations in the same order: the same host calls, the same
attribute writes, the same floating-point products (left to right), so that
the differential tests can compare the two bit for bit and the benchmarks
have a baseline.  Every function looks the module globals up at call time, so
a test may replace any of them (``cnt.env``, ``get_target_info_v2``, ...).

This module holds trade creation, fill time, order status updates with their
user callbacks, and the frozen funds of pending orders and executed trades.
"""

# The engine's module-level names, bound in the engine's order (those that no
# function here uses yet serve the parts of the engine still to come).
import itertools
import numpy as np
from math import isnan
from datetime import timedelta
from decimal import Decimal

import korvit.tframe.framekit as cnt

gv = cnt.gv
smm = cnt.smm

from korvit.tframe.ufuncs import todotmc
from korvit.tframe.utils.logger import write_userlog
from korvit.tframe.utils.collectbase import CollectBase as cb
from korvit.tframe.utils.datetimefunc import mft_to_datetime, datetime_to_mft
from korvit.tframe.utils.exceptions import raise_bultin_error
from korvit.api.history._history import get_target_info_v2, get_bar_tick_data
from korvit.backtest.model.orders import KVBackOrder, KVBackTrade, KVBackStopOrder
from korvit.backtest.model.positions import PositionsBase
from korvit.backtest.model.accounts import KVBackAccount
from korvit.backtest.convertor import (
    convert_back_order_to_snap_order, convert_back_order_to_snap_execution)

_1min_dt = timedelta(minutes=1)
_1sec_dt = timedelta(seconds=1)

# A fee value above this is an amount per lot; at or below it, a rate on traded value.
_FEE_PER_LOT_ABOVE = 0.1
# Tolerance of the test "commission at least the minimum commission".
_MIN_FEE_TOLERANCE = 1e-15


# ----------------------------------------------------------------- helpers

def _exact_decimal(x):
    """``Decimal(str(x))``: a number read through its own text (a float's repr,
    a float32's shortest float32 text, an int exactly), text as written.
    Anything Decimal cannot read fails with ``decimal.InvalidOperation``."""
    return Decimal(str(x))


def _floor_to_step(price, step):
    """``price`` brought down to a multiple of ``step``, exactly in decimal.

    Decimal ``%`` keeps the dividend's sign, so a positive price goes down to
    the largest multiple of the step not above it (10.27, step 0.05 -> 10.25).
    """
    d = _exact_decimal(price)
    return float(d - d % _exact_decimal(step))


def _numeric_column(values, what):
    """A float64 array of ``values``, which must be numbers as Python arithmetic
    takes them (bools count as 0 and 1); None or text is a TypeError."""
    for v in values:
        if not isinstance(v, (int, float, np.number, np.bool_)):
            raise TypeError(f"{what} must be a number, got {v!r}")
    return np.array(values, dtype=np.float64)


def _mask(flags, n):
    """A boolean array of ``flags``; one with no elements stands for n false values."""
    flags = np.array(flags, dtype=bool).ravel()
    return flags if flags.size else np.zeros(n, dtype=bool)


# ----------------------------------------------------------------- fills and fill time

def _get_filled_time(pos, reference_time, target_idx):
    """The time inside the current bar at which a fill is dated."""
    k_frequency_i = cnt.vr.g_KorvitInputInfo.KFrequencyI
    k_fre_num = cnt.vr.g_KorvitInputInfo.KFreNum
    return_time = reference_time
    if k_frequency_i == gv.KFreq_Min and k_fre_num == 1:
        return datetime_to_mft(mft_to_datetime([cnt.env.fresh_bar_time])[0] - _1min_dt)
    if k_frequency_i == gv.KFreq_Day and k_fre_num == 1:
        return cnt.env.fresh_bar_time
    composite = ((k_frequency_i == gv.KFreq_Min or k_frequency_i == gv.KFreq_Day) and k_fre_num > 1) \
        or (k_frequency_i > gv.KFreq_Day and k_fre_num == 1)
    if composite:
        # Dated at the first base bar inside the strategy bar that has traded.
        poss = cnt.vr.g_KorvitCache.min_sec_filled_time
        k_data = cnt.vr.g_KorvitKDataList[0]
        if poss is None:
            base_k_data = cnt.vr.g_KorvitKDataList.get_item(k_frequency_i, k_fre_num)
            if k_frequency_i >= gv.KFreq_Week:
                poss = base_k_data.BaseBegin
            else:
                poss = np.unique(base_k_data.BaseBegin, return_index=True)[1]
            cnt.vr.g_KorvitCache.min_sec_filled_time = poss
        volume_item_pos = cnt.env.matrix_bar_item_pos(gv.KMatrix_Volume, target_idx, contain_head=True)
        start_col_pos = poss[pos]
        end_col_pos = poss[pos + 1] if pos + 1 < np.size(poss) else poss[-1]
        find_pos = np.flatnonzero(k_data.Matrix[volume_item_pos, start_col_pos:end_col_pos] > 0)
        volume_great_0_pos = start_col_pos + find_pos[0] if find_pos.size else start_col_pos
        t = k_data.Matrix[gv.KMatrixPos_TimeLine, volume_great_0_pos]
        if k_frequency_i == gv.KFreq_Min and k_fre_num > 1:
            return_time = datetime_to_mft(mft_to_datetime([t])[0] - _1min_dt)
        else:
            return_time = datetime_to_mft(mft_to_datetime([t])[0])
    return return_time


def _create_a_trader(order, order_price, trader_volume, trade_price, filled_time):
    """Fill ``trader_volume`` of ``order``, store the new trade and return it."""

    def loc_value(info, idx, label):
        if not isinstance(info, list):
            raise TypeError(f"target info must be a list, got {type(info).__name__}")
        return info[idx].get(label)

    info_list = get_target_info_v2(cb.obj_attr_value([order], "target_idx"))
    min_move = loc_value(info_list, 0, "MinMove")
    trade_price = _floor_to_step(trade_price, min_move)
    order_price = _floor_to_step(order_price, min_move)

    new_volume = order.filled_volume + trader_volume
    if not new_volume <= order.volume:
        # Raised explicitly so that it also holds under ``python -O``.
        raise AssertionError(f"order {order.order_id}: filling {trader_volume} more "
                             f"would exceed its volume {order.volume}")
    order.price = order_price
    order.updated_time = filled_time
    order.updated_time_dt = mft_to_datetime([filled_time])[0]
    order.filled_amount += trade_price * trader_volume * cnt.env.get_multiple(order.target_idx) \
        * cnt.env.get_margin_rate(order.target_idx, order.side)
    order.filled_average = trade_price
    order.filled_volume = new_volume
    if order.unfilled_volume == 0:
        order.status = gv.OrderStatus_Filled

    new_trade = KVBackTrade.create(
        handle_idx=order.handle_idx,
        target_idx=order.target_idx,
        target_type=order.target_type,
        order_id=order.order_id,
        order_price=order_price,
        trader_id=cnt.vr.g_KVTrades.size,
        trader_volume=trader_volume,
        trade_price=trade_price,
        filled_time=filled_time,
        order_ctg=order.ctg,
        order_side=order.side,
        position_effect=order.position_effect,
        tag=order.tag,
        order_fee=order.frozen_item("fee"),
        order_margin=order.frozen_item("value"),
    )
    cnt.vr.g_KVTrades.append(None, new_trade)
    order.set_frozen_item("value", 0)
    order.set_frozen_item("fee", 0)
    return new_trade


def _clear_unfilled_order(bar_time):
    """Cancel every pending order that was not created at ``bar_time``."""
    for order in cnt.vr.g_KVOrders.snap_obj("unfilled"):
        if order.created_time == bar_time:
            continue
        order.update_status(gv.OrderStatus_Cancelled, gv.OrderReject_DailyBeginCancel,
                            _get_filled_time(cnt.vr.g_KorvitSimCurBarFresh, bar_time, order.target_idx))


# ----------------------------------------------------------------- status changes and user callbacks

def _back_test_call_on_execution(order, trader):
    """Report a new trade of ``order`` to the user's execution callback."""
    call_order_status_wrapper = smm.enter_phase(gv.RUMMODE_PHASE_DEAL_TRADE)(
        cnt.vr.g_KorvitInputInfo.on_order_execution_func)
    snap_execution = convert_back_order_to_snap_execution(
        order, trader, cnt.vr.g_KorvitInputInfo.AccountNameList, cnt.vr.g_KorvitInputInfo.TargetList)
    call_order_status_wrapper(cnt.vr.g_KorvitUserContext, snap_execution)


def _back_test_call_on_order_status(order):
    """Report ``order`` to the user's order-status callback."""
    call_order_status_wrapper = smm.enter_phase(gv.RUMMODE_PHASE_DEAL_TRADE)(
        cnt.vr.g_KorvitInputInfo.on_order_status_func)
    snap_order = convert_back_order_to_snap_order(
        order, cnt.vr.g_KorvitInputInfo.AccountNameList, cnt.vr.g_KorvitInputInfo.TargetList)
    call_order_status_wrapper(cnt.vr.g_KorvitUserContext, snap_order)


def _update_order_status(order, status_s, status_idx, order_status, rej_reason, update_time):
    """The one way a normal order changes status.

    The account hears of an order that becomes holding and of a holding order
    that ends cancelled or denied; the user hears of every change, last.
    """
    account = cnt.vr.g_KorvitAccounts[int(order.handle_idx)]
    current = order.status
    if current == gv.OrderStatus_PreHolding and order_status == gv.OrderStatus_Holding:
        order.update_status(order_status, rej_reason, update_time)
        account.on_order([order])
    elif current == gv.OrderStatus_Holding and (
            order_status == gv.OrderStatus_Cancelled or order_status == gv.OrderStatus_Denied):
        order.update_status(order_status, rej_reason, update_time)
        account.on_order([order])
    else:
        order.update_status(order_status, rej_reason, update_time)
    status_s[status_idx] = order_status
    _back_test_call_on_order_status(order)


# ----------------------------------------------------------------- frozen funds
#
# Orders and trades share the computation; they differ in the volume used by
# futures (unfilled vs traded), in the margin of a closing futures entry (the
# same product vs 0), in the names of the frozen items and in the way they are
# split into futures and stocks.

def _future_frozen(records, volume_attr, close_freezes_margin, value_item, fee_item):
    """Margin and fee of a non-empty batch of futures records, stored and returned."""

    def loc_value_nd(info_s, indices, label):
        return _numeric_column([info_s[idx].get(label) for idx in indices], label)

    records = list(records)         # host code runs below: work on our own copy
    n = len(records)
    margin = np.zeros(n)
    margin_frozen = np.zeros(n)
    fee_frozen = np.zeros(n)
    info_list = get_target_info_v2(cb.obj_attr_value(records, "target_idx"))

    buy_p = _mask([side == gv.OrderAct_Buy for side in cb.obj_attr_value(records, "side")], n)
    sell_p = np.logical_not(buy_p)
    info_buy_p, info_sell_p = np.flatnonzero(buy_p), np.flatnonzero(sell_p)
    if info_buy_p.size:
        margin[buy_p] = loc_value_nd(info_list, info_buy_p, "LongMargin")
    if info_sell_p.size:
        margin[sell_p] = loc_value_nd(info_list, info_sell_p, "ShortMargin")

    open_p = _mask([effect == gv.PositionEffect_Open
                    for effect in cb.obj_attr_value(records, "position_effect")], n)
    close_p = np.logical_not(open_p)
    info_open_p, info_close_p = np.flatnonzero(open_p), np.flatnonzero(close_p)
    volume = _numeric_column(cb.obj_attr_value(records, volume_attr), volume_attr)
    delegate_price = _numeric_column(cb.obj_attr_value(records, "price"), "price")
    if info_open_p.size:
        margin_frozen[open_p] = delegate_price[open_p] * volume[open_p] \
            * loc_value_nd(info_list, info_open_p, "Multiple") * margin[open_p]
    if info_close_p.size:
        if close_freezes_margin:
            margin_frozen[close_p] = delegate_price[close_p] * volume[close_p] \
                * loc_value_nd(info_list, info_close_p, "Multiple") * margin[close_p]
        else:
            margin_frozen[close_p] = 0

    everyone = range(n)
    for effect_p, fee_label in ((open_p, "TradingFeeOpen"), (close_p, "TradingFeeClose")):
        fee_value = loc_value_nd(info_list, everyone, fee_label)
        per_lot = _mask(fee_value > _FEE_PER_LOT_ABOVE, n)
        f1 = np.logical_and(effect_p, per_lot)
        f2 = np.logical_and(effect_p, np.logical_not(per_lot))
        if f1.any():
            fee_frozen[f1] = volume[f1] * fee_value[f1]
        if f2.any():
            fee_frozen[f2] = volume[f2] * delegate_price[f2] * fee_value[f2] \
                * loc_value_nd(info_list, np.flatnonzero(f2), "Multiple")

    user_margin_frozen = margin_frozen * cnt.vr.g_KorvitSettingInfo.MarginRate
    user_fee_frozen = fee_frozen * cnt.env.cost_fee_rate(gv.TARGETTYPE_FUTURE)
    for record, value in zip(records, user_margin_frozen):
        record.set_frozen_item(value_item, value)
    for record, fee in zip(records, user_fee_frozen):
        record.set_frozen_item(fee_item, fee)
    return user_margin_frozen, user_fee_frozen


def _stock_frozen(records, value_item, fee_item):
    """Value and fee (taxes, transfer fee, commission) of stock records, stored and returned."""
    records = list(records)
    fee_rate = cnt.env.cost_fee_rate(gv.TARGETTYPE_STOCK)
    stock_commission_rate = cnt.vr.g_KorvitAccounts[0].stock_commission_rate
    for record in records:
        position_effect, price, volume = record.position_effect, record.price, record.volume
        if position_effect == gv.PositionEffect_Open:
            fee = price * volume * stock_commission_rate["OpenTax"]
        elif position_effect == gv.PositionEffect_Close:
            fee = price * volume * stock_commission_rate["CloseTax"]
        else:
            raise NotImplementedError
        fee = fee + price * volume * stock_commission_rate["TransFee"]
        trade_fee = price * volume * fee_rate
        min_trade_fee = stock_commission_rate["MinTradeFee"]
        if trade_fee - min_trade_fee >= _MIN_FEE_TOLERANCE:
            fee = fee + trade_fee
        else:
            fee = fee + min_trade_fee
        value = price * volume
        record.set_frozen_item(value_item, value)
        record.set_frozen_item(fee_item, fee)
    return ([record.frozen_item(value_item) for record in records],
            [record.frozen_item(fee_item) for record in records])


def _update_trader_future_frozen(traders):
    """Margin (0 for a closing trade) and fee of futures trades."""
    return _future_frozen(traders, "volume", False, "trader_value", "trader_fee")


def _update_trader_stock_frozen(traders):
    """Traded value and fees of stock trades."""
    return _stock_frozen(traders, "trader_value", "trader_fee")


def _update_trader_frozen(traders):
    """Frozen value and fee of new trades, split by the type of their target."""
    traders = list(traders)
    future_traders = [t for t in traders if cnt.env.is_target_type(t.target_idx, gv.TARGETTYPE_FUTURE)]
    stock_traders = [t for t in traders if cnt.env.is_target_type(t.target_idx, gv.TARGETTYPE_STOCK)]
    if future_traders:
        _update_trader_future_frozen(future_traders)
    if stock_traders:
        _update_trader_stock_frozen(stock_traders)
    return ([t.frozen_item("trader_value") for t in traders],
            [t.frozen_item("trader_fee") for t in traders])


def _update_order_future_frozen(orders):
    """Margin and fee that pending futures orders hold back, for their unfilled volume."""
    return _future_frozen(orders, "unfilled_volume", True, "value", "fee")


def _update_order_stock_frozen(orders):
    """Value and fees that pending stock orders hold back, for their whole volume."""
    return _stock_frozen(orders, "value", "fee")


def _update_order_frozen(orders):
    """Frozen value and fee of pending orders, split by their ``target_type``.

    Orders of any other target type keep (and report) their frozen items as they are.
    """
    orders = list(orders)
    futures_orders = [o for o in orders if o.target_type == gv.TARGETTYPE_FUTURE]
    stocks_orders = [o for o in orders if o.target_type == gv.TARGETTYPE_STOCK]
    if futures_orders:
        _update_order_future_frozen(futures_orders)
    if stocks_orders:
        _update_order_stock_frozen(stocks_orders)
    return ([o.frozen_item("value") for o in orders],
            [o.frozen_item("fee") for o in orders])
