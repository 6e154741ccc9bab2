"""Plain-Python twin of the backtest matching engine ``korvit.backtest.domain``.

It binds the same module-level names as the compiled engine and its functions
do the same operations in the same order: the same host calls, the same
attribute writes, the same floating-point products (left to right), so that
the differential tests can compare the two bit for bit and the benchmarks
have a baseline.  Every function looks the module globals up at call time, so
a test may replace any of them (``cnt.env``, ``get_target_info_v2``, ...).

This module holds the whole engine: the deal driver (``deal_trade``, the
dealing of pending orders, ``calc_order_value_rb``), the order transaction
(admission, price and fill of a batch of orders against the current bar),
trade creation, fill time, order status updates with their user callbacks,
the dealing of stop orders (bookkeeping against their target orders, judgement
on the bar and on its ticks, trailing), their arming and firing, and the frozen
funds of pending orders and executed trades.

Three rules of the engine that are easy to miss: a holding stop order
without a target order record is left as it is; a target order without a
position record protects a volume of 0 (its armed stop orders are cancelled);
and a stop order that fires on bar data fills at a price its bar traded (the
run setting ``StopFill``, see ``_fill_on_bar``).
"""

# The engine's module-level names, bound in the engine's order (a few are bound
# and exported without being called, as in the engine).
import itertools
from datetime import timedelta
from decimal import Decimal
from fractions import Fraction
from math import isfinite, isnan

import numpy as np

import korvit.tframe.framekit as cnt

gv = cnt.gv
smm = cnt.smm

from korvit.api.history._history import get_bar_tick_data, get_target_info_v2
from korvit.backtest.convertor import (
    convert_back_order_to_snap_execution,
    convert_back_order_to_snap_order,
)
from korvit.backtest.model.orders import KVBackOrder, KVBackTrade
from korvit.tframe.ufuncs import todotmc
from korvit.tframe.utils.collectbase import CollectBase as cb
from korvit.tframe.utils.datetimefunc import datetime_to_mft, mft_to_datetime
from korvit.tframe.utils.exceptions import raise_bultin_error
from korvit.tframe.utils.logger import write_userlog

_1min_dt = timedelta(minutes=1)
_1sec_dt = timedelta(seconds=1)

# A fee value above this is an amount per lot; at or below it, a rate on traded value.
_FEE_PER_LOT_ABOVE = 0.1
# Tolerance of the test "commission at least the minimum commission".
_MIN_FEE_TOLERANCE = 1e-15
_MAX_ORDER_VOLUME = 2e9  # the largest volume a new order may have
_MIN_TRADED_PRICE = 1e-10  # a bar opening below it has not traded
_STOCK_LOT = 100  # the lot of a stock whose contract data state no "LotSize"
# The items of a stock's fee schedule that its contract data may state, in the order they
# are read; an item a target does not state (absent or None) is taken from the run's
# defaults: the commission rate from ``cnt.env.cost_fee_rate(gv.TARGETTYPE_STOCK)``, the
# others from the first account's ``stock_commission_rate``.
_STOCK_FEE_KEYS = ("CommissionRate", "MinTradeFee", "OpenTax", "CloseTax", "TransFee")
# The values of the run setting ``StopFill`` (where a stop order fired on the bar
# alone fills) and the one a setting object without that field stands for.
STOP_FILL_FIRST_TRADED = "first_traded"
STOP_FILL_STOP_PRICE = "stop_price"
# The values of the run setting ``LimitFill`` (where a limit order that the market
# reached at a better price than its limit fills) and the one a setting object
# without that field stands for.
LIMIT_FILL_FIRST_TRADED = "first_traded"
LIMIT_FILL_LIMIT_PRICE = "limit_price"
_NO_CASH_MESSAGE = (
    "保证金不足: order_id=%d, order_volume=%s, order_price=%.2f, valid_cash=%.2f, "
    "margin_frozen=%.2f, fee_frozen=%.2f"
)


# ----------------------------------------------------------------- helpers


def _exact_decimal(x):
    """``Decimal(str(x))``: a number read through its own text (a float's repr,
    a float32's shortest float32 text, an int exactly), text as written.
    Anything Decimal cannot read fails with ``decimal.InvalidOperation``."""
    return Decimal(str(x))


def _w(x):
    """``x`` as an operand of arithmetic or of a comparison: a numpy float16 or
    float32 scalar counts as the float64 of its value, so results do not
    depend on the promotion rules of the installed numpy.  Stored values keep
    their own type; only operands are widened."""
    if isinstance(x, (np.float32, np.float16)):
        return np.float64(x)
    return x


def _min(a, b):
    """``min(a, b)`` with widened comparison: ``a`` unless ``b`` is smaller."""
    return b if _w(b) < _w(a) else a


def _max(a, b):
    """``max(a, b)`` with widened comparison: ``a`` unless ``b`` is larger."""
    return b if _w(b) > _w(a) else a


def _floor_to_step(price, step):
    """``price`` brought down to a multiple of ``step``, exactly in decimal.

    Decimal ``%`` keeps the dividend's sign, so a positive price goes down to
    the largest multiple of the step not above it (10.27, step 0.05 -> 10.25).
    """
    d = _exact_decimal(price)
    return float(d - d % _exact_decimal(step))


def _ceil_to_step(price, step):
    """``price`` brought up to a multiple of ``step``, exactly in decimal: the
    smallest multiple of the step not below a positive price (10.27, step 0.05
    -> 10.30); a multiple stays as it is."""
    d = _exact_decimal(price)
    s = _exact_decimal(step)
    rem = d % s
    stepped = d - rem
    if rem:
        stepped = stepped + s
    return float(stepped)


def _not_below(price, level, step):
    """The price to hand a trade (which brings its prices down to the price step)
    for a fill that must not lie below ``level`` (a sell at or above its limit, a
    buy at or above its stop): ``price`` itself where its step down keeps to the
    level, else ``price`` brought up to the step.  Returns that price and the
    price the trade will have."""
    down = _floor_to_step(price, step)
    if _w(down) < _w(level):
        up = _ceil_to_step(price, step)
        return up, up
    return price, down


def _price_step_of(order):
    """The price step ("MinMove") of an order's (or a stop order's) target."""
    info_list = get_target_info_v2(cb.obj_attr_value([order], "target_idx"))
    if not isinstance(info_list, list):
        raise TypeError(f"target info must be a list, got {type(info_list).__name__}")
    return info_list[0].get("MinMove")


def _limit_fills_first_traded():
    """Whether a limit order that the market reached at a better price than its
    limit fills at that price, as the run setting ``LimitFill`` says (read now;
    a setting object without it stands for "first_traded"): "first_traded", at
    the first price at or better than the limit (True); "limit_price", at the
    limit (False)."""
    rule = getattr(cnt.vr.g_KorvitSettingInfo, "LimitFill", LIMIT_FILL_FIRST_TRADED)
    if rule == LIMIT_FILL_FIRST_TRADED:
        return True
    if rule == LIMIT_FILL_LIMIT_PRICE:
        return False
    raise ValueError(
        f"the setting LimitFill must be {LIMIT_FILL_FIRST_TRADED!r} or "
        f"{LIMIT_FILL_LIMIT_PRICE!r}, got {rule!r}"
    )


def _stop_level(stop_order):
    """The level of a stop order: the trigger price of a trailing stop, the stop
    price of another."""
    if stop_order.stop_order_type == gv.StopOrderType_Trailing:
        return stop_order.stop_trailing_price
    return stop_order.stop_price


def _holds_above(stop_order):
    """Whether a stop order holds at or above its level (a long position's profit
    stop, a short position's loss or trailing stop), rather than at or below it."""
    stop_order_type, order_act = stop_order.stop_order_type, stop_order.act
    if stop_order_type == gv.StopOrderType_Profit:
        return order_act == gv.OrderAct_Buy
    if stop_order_type == gv.StopOrderType_Loss or stop_order_type == gv.StopOrderType_Trailing:
        return order_act == gv.OrderAct_Sell
    return False


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


def _rest_of_bar(tick_prices, tick_volumes, tick_num, tick_end_num):
    """Open, high, low and volume of the ticks from ``tick_num`` on, each a one-entry array."""
    rest_prices = tick_prices[tick_num:tick_end_num]
    return (
        np.array([tick_prices[tick_num]]),
        np.array([rest_prices.max()]),
        np.array([rest_prices.min()]),
        np.array([tick_volumes[tick_num:tick_end_num].sum()]),
    )


def _begin_trailing(stop_order, trailing_price, on_bar_data):
    """A trailing stop begins trailing: its extremes start at the activation price."""
    stop_order.is_begin_trailing = True
    stop_order.execute_status = gv.StopOrderStatus_Trailing
    stop_order.in_begin_trailing_bar = on_bar_data
    stop_order.trailing_high = stop_order.trailing_low = trailing_price


def _trailing_reached(order_act, d_cur_tick_price, d_trailing_price):
    """Whether a tick reaches a trailing stop's activation price (decimal forms)."""
    return (order_act == gv.OrderAct_Buy and d_cur_tick_price >= d_trailing_price) or (
        order_act == gv.OrderAct_Sell and d_cur_tick_price <= d_trailing_price
    )


# ----------------------------------------------------------------- the deal driver


def calc_order_value_rb(order):
    """The cash value that ``order`` commits: 0 for a market order, else its price
    times volume, multiplier and margin rate, plus (buy) or less (sell) the frozen
    fee of a stock order."""
    if order.ctg == gv.OrderCtg_Market:
        return 0
    delegate_value = (
        _w(order.price)
        * _w(order.volume)
        * _w(cnt.env.get_multiple(order.target_idx))
        * _w(cnt.env.get_margin_rate(order.target_idx, order.side))
    )
    if cnt.env.is_target_type(order.target_idx, gv.TARGETTYPE_STOCK):
        _update_order_stock_frozen([order])
        if order.side == gv.OrderAct_Sell:
            delegate_value = _w(delegate_value) - _w(order.frozen_item("fee"))
        elif order.side == gv.OrderAct_Buy:
            delegate_value = _w(delegate_value) + _w(order.frozen_item("fee"))
    return delegate_value


def deal_trade():
    """Deal one bar: stop-order bookkeeping, the pending orders, then the stop orders.

    Returns ``(filled_order_ids, order_denied_canceled_ids, fired_stop_order_ids)``;
    the first also holds the closing orders of fired stop orders that ended the
    bar filled, cancelled or denied.
    """
    _update_unfired_stop_order_status_if_holding_status()
    filled_order_ids, order_denied_canceled_ids = _deal_normal_order()
    filled_order_ids, fired_stop_order_ids = _deal_stop_order(
        filled_order_ids, order_denied_canceled_ids
    )
    return filled_order_ids, order_denied_canceled_ids, fired_stop_order_ids


def _deal_normal_order():
    """Match every pending order against the current bar; drop the finished ones from
    "unfilled".  Returns the filled ids and the cancelled-then-denied ids, each in
    snap order."""
    filled_order_ids, order_denied_canceled_ids = [], []
    if cnt.vr.g_KVOrders.snap_count("unfilled") < 1:
        return filled_order_ids, order_denied_canceled_ids
    order_ids = cnt.vr.g_KVOrders.snap_attr_value("unfilled", "order_id")
    target_indices = cnt.vr.g_KVOrders.snap_attr_value("unfilled", "target_idx")
    bar_open, bar_high, bar_low, bar_volume = cnt.env.get_bar_field(
        target_indices,
        bar_pos=cnt.vr.g_KorvitSimCurBarFresh,
        fields=["open", "high", "low", "volume"],
    )
    order_status_s = _transaction_order(
        np.array(order_ids), bar_high, bar_low, bar_open, bar_volume, np.array([]), np.array([])
    )
    order_cancelled = np.flatnonzero(order_status_s == gv.OrderStatus_Cancelled)
    order_filled = np.flatnonzero(order_status_s == gv.OrderStatus_Filled)
    order_denied = np.flatnonzero(order_status_s == gv.OrderStatus_Denied)
    order_filled_idxs = order_filled
    filled_order_ids = [order_ids[k] for k in order_filled_idxs]
    order_denied_cancel_idxs = np.concatenate((order_cancelled, order_denied))
    order_denied_canceled_ids = [order_ids[k] for k in order_denied_cancel_idxs]
    cnt.vr.g_KVOrders.snap_remove_by_idx(
        "unfilled", np.concatenate((order_filled_idxs, order_denied_cancel_idxs))
    )
    return filled_order_ids, order_denied_canceled_ids


# ----------------------------------------------------------------- stop orders: dealing


def _deal_stop_order(filled_order_ids, order_denied_canceled_ids):
    """Deal the unfired stop orders against the current bar, target order by target order.

    Stop orders of orders denied or cancelled in this bar go first.  The bar
    decides alone when it shows exactly one trigger of a stop order armed before
    the bar; otherwise the ticks decide (on single-tick bars, the stop orders that
    need the ticks fire).  Each fired stop order's closing order is matched at
    once against the rest of the bar; one that ends filled, cancelled or denied is
    added to ``filled_order_ids`` (extended in place).
    """
    fired_stop_order_ids = []
    _cancelled_stop_order_by_target_order_id(order_denied_canceled_ids)
    if cnt.vr.g_KVStopOrders.snap_count("unfired") < 1:
        return filled_order_ids, fired_stop_order_ids
    # The distinct target orders (none for a stop order without one), in ascending id order.
    target_order_ids = cnt.vr.g_KVStopOrders.snap_attr_value("unfired", "target_order_id")
    target_order_ids = sorted({order_id for order_id in target_order_ids if not isnan(order_id)})
    for order_ref in cnt.vr.g_KVOrders.obj(target_order_ids):
        if order_ref is None:  # an id without an order: its stop orders have nothing to protect yet
            continue
        # (indices are numbers converted to integers before use)
        order_id, target_idx, handle_idx = (
            order_ref.order_id,
            int(order_ref.target_idx),
            int(order_ref.handle_idx),
        )
        back_account = cnt.vr.g_KorvitAccounts[handle_idx]
        positions = back_account.position(target_idx)
        order_act = order_ref.side
        same_target_stop_orders = [
            stop_order
            for stop_order in cnt.vr.g_KVStopOrders.snap_obj("unfired")
            if stop_order.target_order_id == order_id
        ]
        bar_open, bar_high, bar_low, bar_volume = cnt.env.get_bar_field(
            [target_idx],
            bar_pos=cnt.vr.g_KorvitSimCurBarFresh,
            fields=["open", "high", "low", "volume"],
        )
        if bar_volume < 1:  # a bar without trade triggers nothing
            continue
        # Without a position record there is nothing to protect: volume 0 cancels the stop orders.
        if order_act == gv.OrderAct_Buy:
            position_volume = 0 if positions is None else positions.position_available_long
        elif order_act == gv.OrderAct_Sell:
            position_volume = 0 if positions is None else positions.position_available_short
        else:
            position_volume = 0
            raise_bultin_error("orderact")
        fire_stop_orders = []
        cur_bar_time = cnt.env.fresh_bar_time
        bar_high0, bar_low0 = bar_high[0], bar_low[0]
        may_fire, must_tick_check = _judge_stop_orders_by_bar(
            bar_high0, bar_low0, position_volume, same_target_stop_orders
        )
        in_bar_begin = len(may_fire) > 0 and not may_fire[0].in_bar_begin
        fired_on_bar = True
        if len(must_tick_check) > 0 or len(may_fire) > 1 or in_bar_begin:
            # The bar alone cannot tell the order of events.
            if (
                cnt.vr.g_KorvitInputInfo.KFrequencyI == gv.KFreq_Tick
                and cnt.vr.g_KorvitInputInfo.KFreNum == 1
            ):
                fire_stop_orders = list(must_tick_check)
                cb.obj_attr_update(fire_stop_orders, "trigger_time", cur_bar_time)
            else:
                tick_check_orders = must_tick_check + may_fire
                fire_stop_orders, bar_open, bar_high, bar_low, bar_volume = (
                    _judge_stop_orders_by_tick(tick_check_orders)
                )
                fired_on_bar = False
        elif len(may_fire) > 0:  # one stop order, armed before the bar
            fire_stop_orders = list(may_fire)
            cb.obj_attr_update(may_fire, "trigger_time", cur_bar_time)
        for stop_order in fire_stop_orders:
            fired_stop_order_ids.append(stop_order.stop_order_id)
            if fired_on_bar:
                _fill_on_bar(stop_order, bar_open, bar_high0, bar_low0)
            order_id, target_price, trigger_time = _fire_stop_order(stop_order)
            # The closing order fills on the price step, never before the stop: the
            # trade brings its price down, which a stop that holds at or above its
            # level must not go below (see _not_below).
            if _holds_above(stop_order):
                price = target_price[0]
                level = _stop_level(stop_order)
                step = _price_step_of(stop_order)
                target_price = np.array([_not_below(price, level, step)[0]])
            order_status_s = _transaction_order(
                order_id, bar_high, bar_low, bar_open, bar_volume, target_price, trigger_time
            )
            status = order_status_s[0]
            if (
                status == gv.OrderStatus_Cancelled
                or status == gv.OrderStatus_Filled
                or status == gv.OrderStatus_Denied
            ):
                filled_order_ids.extend(order_id)
    # Stop orders of the orders filled in this bar are in force from the next bar on.
    for stop_order in _get_order_related_unfired_stop_order(filled_order_ids):
        stop_order.in_bar_begin = True
    for stop_order in cnt.vr.g_KVStopOrders.snap_obj("unfired"):
        if stop_order.is_begin_trailing:
            stop_order.in_begin_trailing_bar = False
    return filled_order_ids, fired_stop_order_ids


def _fill_on_bar(stop_order, bar_open, bar_high, bar_low):
    """Sets the price at which a stop order fired on the bar alone fills, its
    ``trigger_real_price``, as the run setting ``StopFill`` says (read now;
    a setting object without it stands for "first_traded").

    "first_traded": the first price of the bar at which the stop's condition
    holds.  That is the bar's open (``bar_open[0]``) when the stop was in force
    at the open and the bar opened at or beyond its level (at or below it for
    a long's loss or trailing stop and a short's profit stop, at or above it
    for a long's profit stop and a short's loss or trailing stop), else the
    level itself: the stop price of a loss or profit stop, the trigger price
    of a trailing stop (carried from earlier bars, or set in this bar when it
    began trailing in this bar, which its open cannot be beyond).  A price
    outside the bar's low-high range (only the single-precision view of the
    bar can reach one) is brought to the nearer end.

    "stop_price": loss and profit stops keep the price set at arming, trailing
    stops fill at their trailing trigger price, even where the bar opened
    beyond them.
    """
    stop_fill = getattr(cnt.vr.g_KorvitSettingInfo, "StopFill", STOP_FILL_FIRST_TRADED)
    stop_order_type = stop_order.stop_order_type
    if stop_fill == STOP_FILL_STOP_PRICE:
        if stop_order_type == gv.StopOrderType_Trailing:
            stop_order.trigger_real_price = stop_order.stop_trailing_price
        return
    if not stop_fill == STOP_FILL_FIRST_TRADED:
        raise ValueError(
            f"the setting StopFill must be {STOP_FILL_FIRST_TRADED!r} or "
            f"{STOP_FILL_STOP_PRICE!r}, got {stop_fill!r}"
        )
    order_act = stop_order.act
    if stop_order_type == gv.StopOrderType_Trailing:
        level = stop_order.stop_trailing_price
        at_open = bool(stop_order.is_begin_trailing) and not stop_order.in_begin_trailing_bar
        falls, rises = order_act == gv.OrderAct_Buy, order_act == gv.OrderAct_Sell
    elif stop_order_type == gv.StopOrderType_Loss or stop_order_type == gv.StopOrderType_Profit:
        level = stop_order.stop_price
        at_open = True
        loss = stop_order_type == gv.StopOrderType_Loss
        falls = order_act == (gv.OrderAct_Buy if loss else gv.OrderAct_Sell)
        rises = order_act == (gv.OrderAct_Sell if loss else gv.OrderAct_Buy)
    else:
        return
    price = level
    if at_open:
        first = bar_open[0]
        if (falls and _w(first) <= _w(level)) or (rises and _w(first) >= _w(level)):
            price = first
    if _w(price) < _w(bar_low):
        price = bar_low
    elif _w(price) > _w(bar_high):
        price = bar_high
    stop_order.trigger_real_price = price


# ----------------------------------------------------------------- fill time


def _get_filled_time(pos, reference_time, target_idx):
    """The time inside the current bar at which a fill is dated."""
    k_frequency_i = cnt.vr.g_KorvitInputInfo.KFrequencyI
    k_fre_num = cnt.vr.g_KorvitInputInfo.KFreNum
    return_time = reference_time
    if k_frequency_i == gv.KFreq_Min and k_fre_num == 1:
        return datetime_to_mft(mft_to_datetime([cnt.env.fresh_bar_time])[0] - _1min_dt)
    if k_frequency_i == gv.KFreq_Day and k_fre_num == 1:
        return cnt.env.fresh_bar_time
    composite = (
        (k_frequency_i == gv.KFreq_Min or k_frequency_i == gv.KFreq_Day) and k_fre_num > 1
    ) or (k_frequency_i > gv.KFreq_Day and k_fre_num == 1)
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
        volume_item_pos = cnt.env.matrix_bar_item_pos(
            gv.KMatrix_Volume, target_idx, contain_head=True
        )
        start_col_pos = poss[pos]
        end_col_pos = poss[pos + 1] if pos + 1 < np.size(poss) else poss[-1]
        find_pos = np.flatnonzero(k_data.Matrix[volume_item_pos, start_col_pos:end_col_pos] > 0)
        volume_great_0_pos = start_col_pos + find_pos[0] if find_pos.size else start_col_pos
        t = k_data.Matrix[gv.KMatrixPos_TimeLine, volume_great_0_pos]
        if k_frequency_i == gv.KFreq_Min and k_fre_num > 1:
            # t less one base bar: n minutes for base bars of n minutes, else one minute
            # (also for base data that do not state their frequency or its multiple)
            span = _1min_dt
            if getattr(k_data, "Frequency", None) == gv.KFreq_Min:
                number = getattr(k_data, "FreNum", 1)
                if number > 1:
                    span = _1min_dt * number
            return_time = datetime_to_mft(mft_to_datetime([t])[0] - span)
        else:
            return_time = datetime_to_mft(mft_to_datetime([t])[0])
    return return_time


# ----------------------------------------------------------------- stop orders of given orders


def _get_order_related_unfired_stop_order(order_ids):
    """The unfired stop orders whose target order is one of ``order_ids``, in snap
    order; a stop order comes once for every equal id."""
    related = []
    for stop_order in cnt.vr.g_KVStopOrders.snap_obj("unfired"):
        for order_id in order_ids:
            if stop_order.target_order_id == order_id:
                related.append(stop_order)
    return related


# ----------------------------------------------------------------- order transaction


def _transaction_order(
    order_ids, bar_highs, bar_lows, bar_opens, bar_vols, target_price_assign, filled_time_assign
):
    """Admit, price and fill a batch of orders against the current bar; the orders' statuses.

    A non-empty ``target_price_assign`` gives, per order, the price at which a
    market order fills and (``filled_time_assign``) its fill time: the closing
    orders of fired stop orders come this way.
    """
    orders = cnt.vr.g_KVOrders.obj(order_ids)
    order_status_s = cb.obj_attr_value(orders, "status")
    pre_hold_p = np.array(order_status_s) == gv.OrderStatus_PreHolding
    zero_open_fpp = cb.obj_attr_value_eq_all(orders, "price", 0, return_obj=False)
    set_p = np.logical_and(pre_hold_p, zero_open_fpp).ravel()
    for k in np.flatnonzero(set_p):  # a new order without price takes the bar's open
        cnt.vr.g_KVOrders.attr_update("price", bar_opens[k], [order_ids[k]])
    margin_frozen, fee_frozen = _update_order_frozen(orders)

    for i, order in enumerate(cnt.vr.g_KVOrders.obj(order_ids)):
        bar_high, bar_low, bar_open, bar_volume = (
            bar_highs[i],
            bar_lows[i],
            bar_opens[i],
            bar_vols[i],
        )
        trade_price = 0
        position_effect = order.position_effect
        unfilled_volume = order.unfilled_volume
        handle_idx = int(order.handle_idx)
        target_idx = int(order.target_idx)
        order_ctg, order_side, order_price = order.ctg, order.side, order.price
        order_status, target_type = order.status, order.target_type
        back_account = cnt.vr.g_KorvitAccounts[handle_idx]
        positions = back_account.position(target_idx)
        is_not_market_order_holding = (
            not cnt.vr.g_KorvitSettingInfo.MarketOrderHolding and order_ctg == gv.OrderCtg_Market
        )

        if (
            order_status_s[i] == gv.OrderStatus_Cancelled
            or order_status_s[i] == gv.OrderStatus_Denied
        ):
            continue
        if np.size(target_price_assign) > 0:
            target_price, filled_time = target_price_assign[i], filled_time_assign[i]
        else:
            target_price = np.nan
            reference_time = cnt.vr.g_KorvitDataValueFresh[
                gv.KMatrixPos_TimeLine, cnt.vr.g_KorvitSimCurBarFresh
            ]
            filled_time = _get_filled_time(
                cnt.vr.g_KorvitSimCurBarFresh, reference_time, target_idx
            )

        if isnan(bar_open) or _w(bar_open) < _MIN_TRADED_PRICE or _w(bar_volume) < 1:
            if is_not_market_order_holding:
                _update_order_status(
                    order,
                    order_status_s,
                    i,
                    gv.OrderStatus_Cancelled,
                    gv.OrderReject_MarketOrderHolding,
                    filled_time,
                )
            continue

        if order_status == gv.OrderStatus_PreHolding:
            # Admission: the first check that applies ends the order's turn in this bar.
            opens_or_closes = (
                position_effect == gv.PositionEffect_Open
                or position_effect == gv.PositionEffect_Close
            )
            if (
                order_side == gv.OrderAct_Buy
                and opens_or_closes
                and cnt.env.at_limit_up_price(order.target_idx)
            ):
                _update_order_status(
                    order, order_status_s, i, gv.OrderStatus_PreHolding, np.nan, filled_time
                )
                continue
            if (
                order_side == gv.OrderAct_Sell
                and opens_or_closes
                and cnt.env.at_limit_down_price(order.target_idx)
            ):
                _update_order_status(
                    order, order_status_s, i, gv.OrderStatus_PreHolding, np.nan, filled_time
                )
                continue
            deny_reason, known_effect = None, True
            if _w(unfilled_volume) > _MAX_ORDER_VOLUME or (
                target_type == gv.TARGETTYPE_STOCK
                and position_effect == gv.PositionEffect_Open
                and not _on_lot_grid(unfilled_volume, _lot_size(target_idx))
            ):
                deny_reason = gv.OrderReject_IllegalVolume
            elif position_effect == gv.PositionEffect_Open:
                _valid_cash = back_account.valid_cash(filled_time)
                if _w(_valid_cash) <= _w(margin_frozen[i]) + _w(fee_frozen[i]):
                    _update_order_status(
                        order,
                        order_status_s,
                        i,
                        gv.OrderStatus_Denied,
                        gv.OrderReject_NoEnoughCash,
                        filled_time,
                    )
                    write_userlog(
                        _NO_CASH_MESSAGE
                        % (
                            order.order_id,
                            _log_volume(order.volume),
                            order.price,
                            _valid_cash,
                            margin_frozen[i],
                            fee_frozen[i],
                        )
                    )
                    continue
            elif position_effect == gv.PositionEffect_Close:
                # A buy closes a short position, a sell a long one; equal volumes pass.
                if order_side == gv.OrderAct_Buy:
                    if positions is None or _w(positions.position_available_short) < _w(
                        unfilled_volume
                    ):
                        deny_reason = gv.OrderReject_NoEnoughPosition
                elif order_side == gv.OrderAct_Sell:
                    if positions is None or _w(positions.position_available_long) < _w(
                        unfilled_volume
                    ):
                        deny_reason = gv.OrderReject_NoEnoughPosition
            else:
                raise_bultin_error("offsetflag")
                known_effect = False
            if deny_reason is not None:
                _update_order_status(
                    order, order_status_s, i, gv.OrderStatus_Denied, deny_reason, filled_time
                )
                continue
            _update_order_status(
                order, order_status_s, i, gv.OrderStatus_Holding, np.nan, filled_time
            )
            if (
                not known_effect
            ):  # when the error raiser returns: holding, but not matched in this bar
                continue

        # The levels below which the order's and the trade's price must not lie once
        # on the price step (None where they may only go down).
        order_level = trade_level = None
        stop_trigger = getattr(order, "stop_trigger", np.nan)
        if not isnan(stop_trigger) and not order.triggered:
            # A stop entry waiting for its trigger: it fills (or becomes a limit order) once reached.
            entry = _stop_entry(
                order,
                stop_trigger,
                order_side,
                order_ctg,
                order_price,
                bar_open,
                bar_high,
                bar_low,
                filled_time,
            )
            if entry is None:
                continue
            order_price, trade_price, filled_time, order_level, trade_level = entry
        elif order_ctg == gv.OrderCtg_Limit:  # a limit order ignores an assigned price
            sells = order_side == gv.OrderAct_Sell
            buys = not sells and order_side == gv.OrderAct_Buy
            if sells:  # a sell's prices never below its limit
                order_level = trade_level = order_price
            if _w(bar_low) <= _w(order_price) <= _w(bar_high):
                # The bar reached the limit: at its open where that was at or better
                # than the limit (as LimitFill says), else at the limit.
                trade_price = order_price
                if (
                    (buys or sells)
                    and _limit_fills_first_traded()
                    and (
                        _w(bar_open) <= _w(order_price) if buys else _w(bar_open) >= _w(order_price)
                    )
                ):
                    order_price = trade_price = bar_open
            elif (sells and _w(order_price) < _w(bar_low)) or (
                buys and _w(order_price) > _w(bar_high)
            ):
                order_price = trade_price = bar_open  # the whole bar was better than the limit
            elif cnt.vr.g_KorvitSettingInfo.LimitType:
                _update_order_status(
                    order,
                    order_status_s,
                    i,
                    gv.OrderStatus_Cancelled,
                    gv.OrderReject_LimitType,
                    filled_time,
                )
                continue
        elif order_ctg == gv.OrderCtg_Market:
            if not isnan(target_price):
                trade_price = order_price = target_price  # no slippage on an assigned price
            else:
                if cnt.vr.g_KorvitSettingInfo.PriceLoc == 0:
                    order_price = cnt.env.market_price(target_idx, -1)
                else:
                    order_price = bar_open
                if order_side == gv.OrderAct_Sell:
                    trade_price = _w(order_price) * (1 - _w(cnt.vr.g_KorvitSettingInfo.SlidePrice))
                elif order_side == gv.OrderAct_Buy:
                    trade_price = _w(order_price) * (1 + _w(cnt.vr.g_KorvitSettingInfo.SlidePrice))
                else:
                    raise_bultin_error("orderact")
        else:
            raise_bultin_error("orderctg")
        if _w(trade_price) <= 0:
            continue

        # The trade brings its prices down to the price step; those that must not
        # lie below a level go up instead where down would cross it (the stop
        # orders are armed at the price before the step).
        order_fill, trade_fill = order_price, trade_price
        if order_level is not None or trade_level is not None:
            step = _price_step_of(order)
            if order_level is not None:
                order_fill = _not_below(order_price, order_level, step)[0]
            if trade_level is not None:
                trade_fill = _not_below(trade_price, trade_level, step)[0]
        new_trade = _create_a_trader(
            order, order_fill, order.unfilled_volume, trade_fill, filled_time
        )
        _update_order_status(order, order_status_s, i, order.status, np.nan, filled_time)
        _back_test_call_on_execution(order, new_trade)
        _update_trader_frozen([new_trade])
        back_account.on_trade([new_trade])
        _set_stop_order_target_price(order.order_id, trade_price)  # the price before the price step
    return np.array(order_status_s)


def _stop_entry(
    order, stop_trigger, order_side, order_ctg, limit, bar_open, bar_high, bar_low, filled_time
):
    """Whether a stop entry's trigger is reached in the current bar, and its fill there.

    A buy stop triggers when the price rises to ``stop_trigger`` (the bar's
    high at or above it), a sell stop when it falls to it (the low at or
    below it).  With the bar's ticks (``get_bar_tick_data``, asked only when
    the bar reached the trigger) the first tick at or beyond the trigger is
    where it triggers, at that tick's price and time; a bar whose ticks do
    not reach it does not trigger it.  Without ticks it triggers at the bar's
    open when the bar opened at or beyond the trigger, else at the trigger.

    A market stop entry fills there (no slippage, as the closing orders of
    stop orders).  A limit one (a stop-limit) becomes a limit order at
    ``limit`` (``triggered`` is set) and fills in this bar only when the rest
    of the bar reaches the limit: at the trigger price when that price, on
    the price step (for a buy not below the trigger), is at or better than
    the limit; else, with ticks, at the first
    later tick at or better than the limit, at that tick's price (at the
    limit when the run setting ``LimitFill`` is "limit_price"); without
    ticks, at the limit when the bar triggered at its open (so that all of
    the bar came after the trigger) and its low (buy) or high (sell) reached
    the limit.  A bar that triggers inside its range cannot tell whether it
    came back to the limit after the trigger, so the order waits as a limit
    order from the next bar on.

    The fill's prices go to the price step on the order's side: a buy stop's
    fill never below the trigger, a sell limit's never below the limit (the
    trade brings prices down; see ``_not_below``).

    Returns ``(order_price, trade_price, filled_time, order_level,
    trade_level)`` of the fill (``*_level``: the level below which that price
    must not lie once on the price step, None where it may only go down), or
    None.
    """
    buys = order_side == gv.OrderAct_Buy
    if not buys and not order_side == gv.OrderAct_Sell:
        raise_bultin_error("orderact")
        return None

    def beyond(price, level):  # at or beyond a level in the direction of the order
        return _w(price) >= _w(level) if buys else _w(price) <= _w(level)

    if not beyond(bar_high if buys else bar_low, stop_trigger):
        return None
    info = get_bar_tick_data(int(order.target_idx), cnt.vr.g_KorvitSimCurBarFresh)
    tick_prices = np.ravel(info.Price)
    at_open, first_tick = False, None
    if tick_prices.size:
        tick_times = np.ravel(info.Time)
        for k in range(tick_prices.size):
            if beyond(tick_prices[k], stop_trigger):
                first_tick = k
                break
        if first_tick is None:
            return None
        first, filled_time = tick_prices[first_tick], tick_times[first_tick]
    elif beyond(bar_open, stop_trigger):
        first, at_open = bar_open, True
    else:
        first = stop_trigger
    order.triggered = True
    if order_ctg == gv.OrderCtg_Market:
        level = stop_trigger if buys else None
        return first, first, filled_time, level, level
    if not order_ctg == gv.OrderCtg_Limit:
        raise_bultin_error("orderctg")
        return None

    def better(price):  # at or better than the limit
        return _w(price) <= _w(limit) if buys else _w(price) >= _w(limit)

    order_level = None if buys else limit
    # The price the trade would have at the trigger price: a buy's not below the trigger.
    step = _price_step_of(order)
    stepped = _not_below(first, stop_trigger, step)[1] if buys else _floor_to_step(first, step)
    if better(stepped):
        return limit, first, filled_time, order_level, stop_trigger if buys else limit
    if first_tick is not None:
        for k in range(first_tick + 1, tick_prices.size):
            price = tick_prices[k]
            if better(price):
                trade_price = price if _limit_fills_first_traded() else limit
                return limit, trade_price, tick_times[k], order_level, order_level
    elif at_open and better(bar_low if buys else bar_high):
        return limit, limit, filled_time, order_level, order_level
    return None


def _lot_size(target_idx):
    """The lot size of a target: its contract data's "LotSize", or ``_STOCK_LOT`` when
    they state none."""
    info_list = get_target_info_v2([target_idx])
    if not isinstance(info_list, list):
        raise TypeError(f"target info must be a list, got {type(info_list).__name__}")
    lot = info_list[0].get("LotSize")
    return _STOCK_LOT if lot is None else lot


def _log_volume(volume):
    """An order's volume in a user-log line: ``"%d" % volume`` (as ever), a fractional
    volume in its shortest text (0.125, not 0)."""
    if isinstance(volume, float) and isfinite(volume) and not volume.is_integer():
        return str(volume)
    return "%d" % volume


def _on_lot_grid(volume, lot):
    """Whether ``volume`` is a whole number of lots of ``lot``: ``volume % lot == 0``
    for a whole lot (an int, as every lot was before fractional ones); exact in
    decimal, on the shortest texts of both, for a fractional lot."""
    if isinstance(lot, float) and isfinite(lot) and not lot.is_integer():
        return Fraction(str(volume)) % Fraction(str(lot)) == 0
    return _w(volume) % _w(lot) == 0


def _create_a_trader(order, order_price, trader_volume, trade_price, filled_time):
    """Fill ``trader_volume`` of ``order``, store the new trade and return it."""

    min_move = _price_step_of(order)
    trade_price = _floor_to_step(trade_price, min_move)
    order_price = _floor_to_step(order_price, min_move)

    new_volume = _w(order.filled_volume) + _w(trader_volume)
    if not _w(new_volume) <= _w(order.volume):
        # Raised explicitly so that it also holds under ``python -O``.
        raise AssertionError(
            f"order {order.order_id}: filling {trader_volume} more "
            f"would exceed its volume {order.volume}"
        )
    order.price = order_price
    order.updated_time = filled_time
    order.updated_time_dt = mft_to_datetime([filled_time])[0]
    order.filled_amount = _w(order.filled_amount) + (
        _w(trade_price)
        * _w(trader_volume)
        * _w(cnt.env.get_multiple(order.target_idx))
        * _w(cnt.env.get_margin_rate(order.target_idx, order.side))
    )
    order.filled_average = trade_price
    order.filled_volume = new_volume
    if _w(order.unfilled_volume) == 0:
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
        order.update_status(
            gv.OrderStatus_Cancelled,
            gv.OrderReject_DailyBeginCancel,
            _get_filled_time(cnt.vr.g_KorvitSimCurBarFresh, bar_time, order.target_idx),
        )


# ----------------------------------------------------------------- status changes and user callbacks


def _back_test_call_on_execution(order, trader):
    """Report a new trade of ``order`` to the user's execution callback."""
    call_order_status_wrapper = smm.enter_phase(gv.RUMMODE_PHASE_DEAL_TRADE)(
        cnt.vr.g_KorvitInputInfo.on_order_execution_func
    )
    snap_execution = convert_back_order_to_snap_execution(
        order, trader, cnt.vr.g_KorvitInputInfo.AccountNameList, cnt.vr.g_KorvitInputInfo.TargetList
    )
    call_order_status_wrapper(cnt.vr.g_KorvitUserContext, snap_execution)


def _back_test_call_on_order_status(order):
    """Report ``order`` to the user's order-status callback."""
    call_order_status_wrapper = smm.enter_phase(gv.RUMMODE_PHASE_DEAL_TRADE)(
        cnt.vr.g_KorvitInputInfo.on_order_status_func
    )
    snap_order = convert_back_order_to_snap_order(
        order, cnt.vr.g_KorvitInputInfo.AccountNameList, cnt.vr.g_KorvitInputInfo.TargetList
    )
    call_order_status_wrapper(cnt.vr.g_KorvitUserContext, snap_order)


def _update_order_status(order, status_s, status_idx, order_status, rej_reason, update_time):
    """The one way a normal order changes status.

    The account hears of an order that becomes holding and of a holding order
    that ends cancelled or denied; the user hears of every change, last.
    """
    account = cnt.vr.g_KorvitAccounts[int(order.handle_idx)]
    current = order.status
    if (current == gv.OrderStatus_PreHolding and order_status == gv.OrderStatus_Holding) or (
        current == gv.OrderStatus_Holding
        and (order_status == gv.OrderStatus_Cancelled or order_status == gv.OrderStatus_Denied)
    ):
        order.update_status(order_status, rej_reason, update_time)
        account.on_order([order])
    else:
        order.update_status(order_status, rej_reason, update_time)
    status_s[status_idx] = order_status
    _back_test_call_on_order_status(order)


# ----------------------------------------------------------------- stop orders: bookkeeping, arming, firing


def _cancelled_stop_order_by_target_order_id(order_denied_canceled_ids):
    """Cancel every unfired stop order of each of those orders (no user callback)."""
    if len(order_denied_canceled_ids) == 0 or not cnt.vr.g_KVStopOrders.snap_count("unfired") > 0:
        return
    for target_order_id in order_denied_canceled_ids:
        same_target_stop_orders = [
            stop_order
            for stop_order in cnt.vr.g_KVStopOrders.snap_obj("unfired")
            if stop_order.target_order_id == target_order_id
        ]
        cnt.vr.g_KVStopOrders.snap_obj_attr_update(
            same_target_stop_orders,
            "execute_status",
            gv.StopOrderStatus_Cancelled,
            "unfired",
            rm=True,
        )


def _set_stop_order_target_price(target_order_id, trade_price):
    """Arm the holding stop orders of a filled order: prices derived from its fill price.

    A stop order is armed once.  For a long position (act Buy) a loss stop lies
    below the fill price, a profit stop and a trailing activation above it; for
    a short position the reverse.
    """
    if cnt.vr.g_KVStopOrders.snap_count("unfired") < 1:
        return
    order_ids = cb.obj_attr_value(cnt.vr.g_KVStopOrders.snap_obj("unfired"), "target_order_id")
    stop_order_pos_s = np.flatnonzero(np.array([target_order_id]) == np.array(order_ids))
    if stop_order_pos_s.size == 0:
        return
    for stop_order in cnt.vr.g_KVStopOrders.snap_obj_by_idx("unfired", stop_order_pos_s):
        if stop_order.execute_status != gv.StopOrderStatus_Holding:
            continue
        stop_order.in_bar_begin = False
        stop_order.target_price = trade_price
        stop_order.trailing_high = trade_price
        stop_order.trailing_low = trade_price
        _update_stop_order_status([stop_order], gv.StopOrderStatus_Active)
        # When raise_bultin_error returns, the starting values below are used.
        gap_direction, temp_price = -1, 0
        stop_order_type, act = stop_order.stop_order_type, stop_order.act
        if stop_order_type == gv.StopOrderType_Loss or stop_order_type == gv.StopOrderType_Profit:
            away = -1 if stop_order_type == gv.StopOrderType_Loss else 1  # its side of a long fill
            if act == gv.OrderAct_Buy:
                gap_direction = away
            elif act == gv.OrderAct_Sell:
                gap_direction = -away
            else:
                raise_bultin_error("orderact")
            if stop_order.stop_gap_type == gv.OrderStop_StopGap_Point:
                temp_price = _w(trade_price) + gap_direction * _w(stop_order.stop_gap)
            elif stop_order.stop_gap_type == gv.OrderStop_StopGap_Percent:
                temp_price = _w(trade_price) * (1 + gap_direction * _w(stop_order.stop_gap) / 100)
            else:
                raise_bultin_error("stopgap")
            stop_order.trigger_real_price = temp_price
            stop_order.stop_price = temp_price
        elif stop_order_type == gv.StopOrderType_Trailing:
            if act == gv.OrderAct_Buy:
                gap_direction = 1
            elif act == gv.OrderAct_Sell:
                gap_direction = -1
            else:
                raise_bultin_error("orderact")
            if stop_order.trailing_gap_type == gv.OrderStop_TrailingGap_Point:
                temp_price = _w(trade_price) + gap_direction * _w(stop_order.trailing_gap)
            elif stop_order.trailing_gap_type == gv.OrderStop_TrailingGap_Percent:
                temp_price = _w(trade_price) * (
                    1 + gap_direction * _w(stop_order.trailing_gap) / 100
                )
            else:
                raise_bultin_error("stopgap")
            stop_order.trailing_price = temp_price
        else:
            raise_bultin_error("stopordertype")


def _update_unfired_stop_order_status_if_holding_status():
    """Bring holding stop orders up to date with their target order: arm those of a
    filled order, cancel those of a cancelled or denied one.  A holding stop order
    without a target order record stays as it is."""
    unfired_stop_orders = cnt.vr.g_KVStopOrders.snap_obj("unfired")
    target_order_ids = [stop_order.target_order_id for stop_order in unfired_stop_orders]
    orders = list(cnt.vr.g_KVOrders.obj(target_order_ids))
    order_denied_canceled_ids = []
    for stop_order, order in zip(unfired_stop_orders, orders):
        if stop_order.execute_status != gv.StopOrderStatus_Holding:
            continue
        if order is None:
            continue
        if order.status == gv.OrderStatus_Filled:
            # Arms all its holding stop orders: the later siblings are skipped.
            _set_stop_order_target_price(order.order_id, order.filled_average)
        elif order.status == gv.OrderStatus_Cancelled or order.status == gv.OrderStatus_Denied:
            order_denied_canceled_ids.append(order.order_id)
    _cancelled_stop_order_by_target_order_id(order_denied_canceled_ids)


def _update_stop_order_status(stop_orders, execute_status):
    """Set ``execute_status`` on each stop order, in order (no user callback)."""
    for stop_order in stop_orders:
        stop_order.execute_status = execute_status


def _cancel_other_stop_order(stop_order):
    """Take a fired stop order out of play with its siblings (the stop orders of
    the same target order): active siblings are cancelled, and all leave "unfired"."""
    stop_order_target_order_id = stop_order.target_order_id
    if cnt.env.is_valid_order_id(stop_order_target_order_id):
        same_stop_orders = [
            s
            for s in cnt.vr.g_KVStopOrders.snap_obj("unfired")
            if s.target_order_id == stop_order_target_order_id
        ]
        active_stop_orders = [
            s for s in same_stop_orders if s.execute_status == gv.StopOrderStatus_Active
        ]
        _update_stop_order_status(active_stop_orders, gv.StopOrderStatus_Cancelled)
        cnt.vr.g_KVStopOrders.snap_remove("unfired", same_stop_orders)
    else:
        cnt.vr.g_KVStopOrders.snap_remove("unfired", [stop_order])


def _fire_stop_order(stop_order):
    """Fire a stop order: store its closing order (new, price 0.0) and retire its siblings.

    Returns the closing order's id, fill price and fill time, each as a
    one-entry array, as ``_transaction_order`` takes them.
    """
    order_id = cnt.vr.g_KVOrders.size + 1
    trigger_time = stop_order.trigger_time
    stop_order.order_id = order_id
    stop_order.execute_status = gv.StopOrderStatus_Fired
    target_price = stop_order.trigger_real_price
    order_side = gv.OrderAct_Sell if stop_order.act == gv.OrderAct_Buy else gv.OrderAct_Buy
    new_order = KVBackOrder.create(
        handle_idx=stop_order.handle_idx,
        target_idx=stop_order.target_idx,
        code=todotmc(cnt.vr.g_KorvitInputInfo.TargetList[stop_order.target_idx]),
        order_id=order_id,
        order_price=0.0,
        target_type=cnt.env.get_target_type(stop_order.target_idx),
        position_effect=gv.PositionEffect_Close,
        order_status=gv.OrderStatus_PreHolding,
        created_time=trigger_time,
        volume=stop_order.volume,
        order_ctg=stop_order.ctg,
        order_side=order_side,
    )
    cnt.vr.g_KVOrders.append(new_order.order_id, new_order)
    _cancel_other_stop_order(stop_order)
    return np.array([order_id]), np.array([target_price]), np.array([trigger_time])


# ----------------------------------------------------------------- stop orders: triggering


def _update_stop_trailing_order_trigger_price(stop_order, target_price):
    """A trailing stop's trigger price, ``stop_gap`` behind its extreme: in points, or
    in percent of the gain from ``target_price`` (the fill price) to the extreme."""
    gap = _w(stop_order.stop_gap)
    target_price = _w(target_price)
    if stop_order.act == gv.OrderAct_Buy:
        if stop_order.stop_gap_type == gv.OrderStop_StopGap_Point:
            stop_order.stop_trailing_price = _w(stop_order.trailing_high) - gap
        elif stop_order.stop_gap_type == gv.OrderStop_StopGap_Percent:
            stop_order.stop_trailing_price = (
                _w(stop_order.trailing_high)
                - (_w(stop_order.trailing_high) - target_price) * gap / 100
            )
        else:
            raise_bultin_error("stopgap")
    elif stop_order.act == gv.OrderAct_Sell:
        if stop_order.stop_gap_type == gv.OrderStop_StopGap_Point:
            stop_order.stop_trailing_price = _w(stop_order.trailing_low) + gap
        elif stop_order.stop_gap_type == gv.OrderStop_StopGap_Percent:
            stop_order.stop_trailing_price = (
                _w(stop_order.trailing_low)
                + (target_price - _w(stop_order.trailing_low)) * gap / 100
            )
        else:
            raise_bultin_error("stopgap")
    else:
        raise_bultin_error("orderact")


def _judge_stop_orders_by_bar(bar_high, bar_low, volume, same_target_stop_orders):
    """Judge the stop orders of one target order on the bar's extremes.

    Returns ``(may_fire, must_tick_check)``: the stop orders that the bar shows
    to have triggered, and those for which the order of events inside the bar
    decides.  The bar values are taken at single precision.  With no volume left
    to close, the armed stop orders are cancelled and leave "unfired".  Trailing
    stops begin trailing and follow the bar's extremes here.
    """
    bar_high = float(np.float32(bar_high))
    bar_low = float(np.float32(bar_low))
    volume = float(np.float32(volume))
    may_fire, must_tick_check, cancelled_stop_orders = [], [], []
    temp_stop_trailing_price = 0
    for stop_order in same_target_stop_orders:
        order_act = stop_order.act
        stop_order_type = stop_order.stop_order_type
        if stop_order.execute_status == gv.StopOrderStatus_Holding:  # target order not filled yet
            continue
        if volume == 0:
            stop_order.execute_status = gv.StopOrderStatus_Cancelled
            cancelled_stop_orders.append(stop_order)
            continue
        if stop_order_type == gv.StopOrderType_Loss:
            if order_act == gv.OrderAct_Buy:
                if bar_low <= _w(stop_order.stop_price):
                    may_fire.append(stop_order)
            elif order_act == gv.OrderAct_Sell:
                if bar_high >= _w(stop_order.stop_price):
                    may_fire.append(stop_order)
            else:
                raise_bultin_error("orderact")
        elif stop_order_type == gv.StopOrderType_Profit:
            if order_act == gv.OrderAct_Buy:
                if bar_high >= _w(stop_order.stop_price):
                    may_fire.append(stop_order)
            elif order_act == gv.OrderAct_Sell:
                if bar_low <= _w(stop_order.stop_price):
                    may_fire.append(stop_order)
            else:
                raise_bultin_error("orderact")
        elif stop_order_type == gv.StopOrderType_Trailing:
            trailing_price = stop_order.trailing_price
            stop_gap_type = stop_order.stop_gap_type
            stop_gap = stop_order.stop_gap
            target_price = stop_order.target_price
            if not stop_order.is_begin_trailing:
                reached = (order_act == gv.OrderAct_Buy and bar_high >= _w(trailing_price)) or (
                    order_act == gv.OrderAct_Sell and bar_low <= _w(trailing_price)
                )
                if not reached:
                    continue
                if not stop_order.in_bar_begin:  # armed during this bar: the ticks decide
                    must_tick_check.append(stop_order)
                    continue
                _begin_trailing(stop_order, trailing_price, on_bar_data=True)
                _update_stop_trailing_order_trigger_price(stop_order, target_price)
            if order_act == gv.OrderAct_Buy:
                if bar_high > _w(stop_order.trailing_high):  # a new high
                    if stop_gap_type == gv.OrderStop_StopGap_Point:
                        temp_stop_trailing_price = bar_high - _w(stop_gap)
                    elif stop_gap_type == gv.OrderStop_StopGap_Percent:
                        temp_stop_trailing_price = (
                            bar_high - (bar_high - _w(target_price)) * _w(stop_gap) / 100
                        )
                    else:
                        raise_bultin_error("stopgap")
                    if bar_low <= _w(temp_stop_trailing_price):
                        must_tick_check.append(stop_order)
                        continue
                    stop_order.trailing_high = bar_high
                    stop_order.stop_trailing_price = temp_stop_trailing_price
                elif bar_low <= _w(stop_order.stop_trailing_price):
                    if stop_order.in_begin_trailing_bar:
                        must_tick_check.append(stop_order)
                    else:
                        stop_order.trailing_low = _min(
                            stop_order.stop_trailing_price, stop_order.trailing_low
                        )
                        may_fire.append(stop_order)
                    continue
                if bar_low < _w(stop_order.trailing_low):
                    stop_order.trailing_low = bar_low
            elif order_act == gv.OrderAct_Sell:
                if bar_low < _w(stop_order.trailing_low):  # a new low
                    if stop_gap_type == gv.OrderStop_StopGap_Point:
                        temp_stop_trailing_price = bar_low + _w(stop_gap)
                    elif stop_gap_type == gv.OrderStop_StopGap_Percent:
                        temp_stop_trailing_price = (
                            bar_low + (_w(target_price) - bar_low) * _w(stop_gap) / 100
                        )
                    else:
                        raise_bultin_error("stopgap")
                    if bar_high >= _w(temp_stop_trailing_price):
                        must_tick_check.append(stop_order)
                        continue
                    stop_order.trailing_low = bar_low
                    stop_order.stop_trailing_price = temp_stop_trailing_price
                elif bar_high >= _w(stop_order.stop_trailing_price):
                    if stop_order.in_begin_trailing_bar:
                        must_tick_check.append(stop_order)
                    else:
                        stop_order.trailing_high = _max(
                            stop_order.stop_trailing_price, stop_order.trailing_high
                        )
                        may_fire.append(stop_order)
                    continue
                if bar_high > _w(stop_order.trailing_high):
                    stop_order.trailing_high = bar_high
            else:
                raise_bultin_error("orderact")
        else:
            raise_bultin_error("stopordertype")
    cnt.vr.g_KVStopOrders.snap_remove("unfired", cancelled_stop_orders)
    return may_fire, must_tick_check


def _judge_stop_orders_by_tick(stop_orders):
    """Walk the current bar's ticks, tick by tick and at each tick the stop orders in
    list order, and find the first stop order to trigger.

    Prices compare as the decimal numbers their texts denote.  A stop order armed
    during the bar is in force from the first tick at which its target order could
    have filled.  Returns ``(fire_stop_orders, open, high, low, volume)``: the
    triggered stop order (or none) and, as one-entry arrays, the rest of the bar
    from its trigger tick on (empty when nothing triggered).
    """
    tick_bar_open, tick_bar_high, tick_bar_low, tick_bar_vol = (
        np.array([]),
        np.array([]),
        np.array([]),
        np.array([]),
    )
    fire_stop_orders = []
    info = get_bar_tick_data(int(stop_orders[0].target_idx), cnt.vr.g_KorvitSimCurBarFresh)
    tick_times, tick_prices, tick_volumes = (
        np.ravel(info.Time),
        np.ravel(info.Price),
        np.ravel(info.VolumeTick),
    )
    tick_end_num = tick_times.size
    for tick_num, stop_order in itertools.product(range(tick_end_num), stop_orders):
        order_act = stop_order.act
        stop_order_type = int(stop_order.stop_order_type)
        target_price = stop_order.target_price
        cur_tick_price = tick_prices[tick_num]
        cur_tick_time = tick_times[tick_num]
        d_cur_tick_price = _exact_decimal(cur_tick_price)
        d_target_price = _exact_decimal(target_price)
        d_stop_price = _exact_decimal(stop_order.stop_price)
        if not stop_order.in_bar_begin:
            # Armed during this bar: in force from the first tick at which its target order could fill.
            if (order_act == gv.OrderAct_Buy and d_cur_tick_price <= d_target_price) or (
                order_act == gv.OrderAct_Sell and d_cur_tick_price >= d_target_price
            ):
                stop_order.in_bar_begin = True
            else:
                continue
        if stop_order_type == gv.StopOrderType_Loss or stop_order_type == gv.StopOrderType_Profit:
            if stop_order_type == gv.StopOrderType_Loss:
                triggered = (order_act == gv.OrderAct_Buy and d_cur_tick_price <= d_stop_price) or (
                    order_act == gv.OrderAct_Sell and d_cur_tick_price >= d_stop_price
                )
            else:
                triggered = (order_act == gv.OrderAct_Buy and d_cur_tick_price >= d_stop_price) or (
                    order_act == gv.OrderAct_Sell and d_cur_tick_price <= d_stop_price
                )
            if triggered:
                stop_order.trigger_real_price = cur_tick_price
                stop_order.trigger_time = cur_tick_time
                tick_bar_open, tick_bar_high, tick_bar_low, tick_bar_vol = _rest_of_bar(
                    tick_prices, tick_volumes, tick_num, tick_end_num
                )
                fire_stop_orders = [stop_order]
        elif stop_order_type == gv.StopOrderType_Trailing:
            trailing_price = stop_order.trailing_price
            d_trailing_price = _exact_decimal(trailing_price)
            if not stop_order.is_begin_trailing:
                if not _trailing_reached(order_act, d_cur_tick_price, d_trailing_price):
                    continue
                _begin_trailing(stop_order, trailing_price, on_bar_data=False)
                _update_stop_trailing_order_trigger_price(stop_order, target_price)
            if stop_order.in_begin_trailing_bar:
                # Trailing began on bar data in this bar: find the tick where it began
                # (its trigger price from the bar is kept).
                if not _trailing_reached(order_act, d_cur_tick_price, d_trailing_price):
                    continue
                _begin_trailing(stop_order, trailing_price, on_bar_data=False)
            stop_trailing_price = stop_order.stop_trailing_price
            trailing_high, trailing_low = stop_order.trailing_high, stop_order.trailing_low
            d_stop_trailing_price = _exact_decimal(stop_trailing_price)
            d_trailing_high = _exact_decimal(trailing_high)
            d_trailing_low = _exact_decimal(trailing_low)
            if (order_act == gv.OrderAct_Buy and d_cur_tick_price <= d_stop_trailing_price) or (
                order_act == gv.OrderAct_Sell and d_cur_tick_price >= d_stop_trailing_price
            ):
                stop_order.trigger_real_price = cur_tick_price
                stop_order.trigger_time = cur_tick_time
                stop_order.trailing_high = _max(cur_tick_price, trailing_high)
                stop_order.trailing_low = _min(cur_tick_price, trailing_low)
                tick_bar_open, tick_bar_high, tick_bar_low, tick_bar_vol = _rest_of_bar(
                    tick_prices, tick_volumes, tick_num, tick_end_num
                )
                fire_stop_orders = [stop_order]
                _update_stop_trailing_order_trigger_price(stop_order, target_price)
            elif order_act == gv.OrderAct_Buy and d_cur_tick_price > d_trailing_high:
                stop_order.trailing_high = cur_tick_price
                _update_stop_trailing_order_trigger_price(stop_order, target_price)
            elif order_act == gv.OrderAct_Sell and d_cur_tick_price < d_trailing_low:
                stop_order.trailing_low = cur_tick_price
                _update_stop_trailing_order_trigger_price(stop_order, target_price)
        else:
            raise_bultin_error("stopordertype")
        if fire_stop_orders:
            break
    return fire_stop_orders, tick_bar_open, tick_bar_high, tick_bar_low, tick_bar_vol


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

    records = list(records)  # host code runs below: work on our own copy
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

    open_p = _mask(
        [
            effect == gv.PositionEffect_Open
            for effect in cb.obj_attr_value(records, "position_effect")
        ],
        n,
    )
    close_p = np.logical_not(open_p)
    info_open_p, info_close_p = np.flatnonzero(open_p), np.flatnonzero(close_p)
    volume = _numeric_column(cb.obj_attr_value(records, volume_attr), volume_attr)
    delegate_price = _numeric_column(cb.obj_attr_value(records, "price"), "price")
    if info_open_p.size:
        margin_frozen[open_p] = (
            delegate_price[open_p]
            * volume[open_p]
            * loc_value_nd(info_list, info_open_p, "Multiple")
            * margin[open_p]
        )
    if info_close_p.size:
        if close_freezes_margin:
            margin_frozen[close_p] = (
                delegate_price[close_p]
                * volume[close_p]
                * loc_value_nd(info_list, info_close_p, "Multiple")
                * margin[close_p]
            )
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
            fee_frozen[f2] = (
                volume[f2]
                * delegate_price[f2]
                * fee_value[f2]
                * loc_value_nd(info_list, np.flatnonzero(f2), "Multiple")
            )

    user_margin_frozen = margin_frozen * cnt.vr.g_KorvitSettingInfo.MarginRate
    user_fee_frozen = fee_frozen * cnt.env.cost_fee_rate(gv.TARGETTYPE_FUTURE)
    for record, value in zip(records, user_margin_frozen):
        record.set_frozen_item(value_item, value)
    for record, fee in zip(records, user_fee_frozen):
        record.set_frozen_item(fee_item, fee)
    return user_margin_frozen, user_fee_frozen


def _stock_frozen(records, value_item, fee_item):
    """Value and fee (taxes, transfer fee, commission) of stock records, stored and returned.

    Each record pays by the schedule its target's contract data state (see
    ``_STOCK_FEE_KEYS``)."""
    records = list(records)
    info_list = get_target_info_v2(cb.obj_attr_value(records, "target_idx"))
    stated = [
        [info.get(key) for key in _STOCK_FEE_KEYS]
        for info in (info_list[i] for i in range(len(records)))
    ]
    if not all(value is not None for values in stated for value in values):
        default_rate = cnt.env.cost_fee_rate(gv.TARGETTYPE_STOCK)
        stock_commission_rate = cnt.vr.g_KorvitAccounts[0].stock_commission_rate

    def item(values, key):
        value = values[_STOCK_FEE_KEYS.index(key)]
        if value is not None:
            return _w(value)
        return _w(default_rate if key == "CommissionRate" else stock_commission_rate[key])

    for record, values in zip(records, stated):
        position_effect, price, volume = record.position_effect, _w(record.price), _w(record.volume)
        if position_effect == gv.PositionEffect_Open:
            fee = price * volume * item(values, "OpenTax")
        elif position_effect == gv.PositionEffect_Close:
            fee = price * volume * item(values, "CloseTax")
        else:
            raise NotImplementedError(
                f"position_effect {position_effect!r} is neither open nor close"
            )
        fee = fee + price * volume * item(values, "TransFee")
        min_trade_fee = item(values, "MinTradeFee")
        trade_fee = price * volume * item(values, "CommissionRate")
        if trade_fee - min_trade_fee >= _MIN_FEE_TOLERANCE:
            fee = fee + trade_fee
        else:
            fee = fee + min_trade_fee
        value = price * volume
        record.set_frozen_item(value_item, value)
        record.set_frozen_item(fee_item, fee)
    return (
        [record.frozen_item(value_item) for record in records],
        [record.frozen_item(fee_item) for record in records],
    )


def _update_trader_future_frozen(traders):
    """Margin (0 for a closing trade) and fee of futures trades."""
    return _future_frozen(traders, "volume", False, "trader_value", "trader_fee")


def _update_trader_stock_frozen(traders):
    """Traded value and fees of stock trades."""
    return _stock_frozen(traders, "trader_value", "trader_fee")


def _update_trader_frozen(traders):
    """Frozen value and fee of new trades, split by the type of their target."""
    traders = list(traders)
    future_traders = [
        t for t in traders if cnt.env.is_target_type(t.target_idx, gv.TARGETTYPE_FUTURE)
    ]
    stock_traders = [
        t for t in traders if cnt.env.is_target_type(t.target_idx, gv.TARGETTYPE_STOCK)
    ]
    if future_traders:
        _update_trader_future_frozen(future_traders)
    if stock_traders:
        _update_trader_stock_frozen(stock_traders)
    return (
        [t.frozen_item("trader_value") for t in traders],
        [t.frozen_item("trader_fee") for t in traders],
    )


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
    return ([o.frozen_item("value") for o in orders], [o.frozen_item("fee") for o in orders])
