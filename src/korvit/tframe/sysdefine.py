"""The framework's named constants (``gv``) and the default user callbacks.

``GlobalDefine`` is used as a namespace: code reads the constants from the
class itself.  Values are distinct within each family; the engine compares
them for equality, and the bar frequencies also by size.
"""

import operator
from collections.abc import Callable
from typing import Any, ClassVar

import numpy as np

from korvit import native as _native

__all__ = ["GlobalDefine", "init", "on_data", "on_order_status", "on_execution"]


class GlobalDefine:
    # Set below, from the compiled module.
    bar_item_pos: ClassVar[Callable[..., Any]]
    bar_field_name_to_int: ClassVar[Callable[..., Any]]

    # Order status.
    OrderStatus_PreHolding = 0
    OrderStatus_Holding = 1
    OrderStatus_PartFilled = 2
    OrderStatus_Filled = 3
    OrderStatus_Cancelled = 4
    OrderStatus_Denied = 5

    # Order category, side and position effect.
    OrderCtg_Market = 1
    OrderCtg_Limit = 2
    OrderAct_Buy = 1
    OrderAct_Sell = 2
    PositionEffect_Open = 1
    PositionEffect_Close = 2
    PositionEffect_CloseToday = 3

    # Reject reasons (NaN on an order means "no reason").
    OrderReject_MarketOrderHolding = 1
    OrderReject_IllegalVolume = 2
    OrderReject_NoEnoughCash = 3
    OrderReject_NoEnoughPosition = 4
    OrderReject_LimitType = 5
    OrderReject_DailyBeginCancel = 6
    OrderReject_Expired = 7  # ran out of its good_for / good_till

    # Target types.
    TARGETTYPE_STOCK = 1
    TARGETTYPE_FUTURE = 2
    TARGETTYPE_INDEX = 3
    TARGETTYPE_FUND = 4

    # Stop orders: type, status and gap kinds.
    StopOrderType_Loss = 1
    StopOrderType_Profit = 2
    StopOrderType_Trailing = 3
    StopOrderStatus_Holding = 1
    StopOrderStatus_Active = 2
    StopOrderStatus_Trailing = 3
    StopOrderStatus_Fired = 4
    StopOrderStatus_Cancelled = 5
    OrderStop_StopGap_Point = 1
    OrderStop_StopGap_Percent = 2
    OrderStop_TrailingGap_Point = 3
    OrderStop_TrailingGap_Percent = 4

    # Bar frequencies, finest first.
    KFreq_Tick = 0
    KFreq_Min = 1
    KFreq_Day = 2
    KFreq_Week = 3
    KFreq_Month = 4
    KFreq_Year = 5

    # K-matrix: head rows, then one block of KMatrix_Bar_Len rows per target
    # (slot 0 of each block is unused).
    KMatrixPos_TimeLine = 0
    KMatrixPos_FreshIdx = 1
    KMatrixPos_DayPos = 2
    KMatrixPos_End = 3
    KMatrixPos_Head_len = 3
    KMatrix_Open = 1
    KMatrix_High = 2
    KMatrix_Low = 3
    KMatrix_Close = 4
    KMatrix_Volume = 5
    KMatrix_TurnOver = 6
    KMatrix_OpenInterest = 7
    KMatrix_Bar_Begin = 1
    KMatrix_Bar_End = 7
    KMatrix_Bar_Len = 8

    # Run phases.
    RUMMODE_PHASE_IDLE = 0
    RUMMODE_PHASE_USERINIT = 1
    RUMMODE_PHASE_ONDATA = 2
    RUMMODE_PHASE_DEAL_TRADE = 3

    # Names of the user callbacks in the user's code.
    CALLUSER_INIT = "init"
    CALLUSER_ONDATA = "on_data"
    CALLUSER_ORDER_STATUS = "on_order_status"
    CALLUSER_ORDER_EXECUTION = "on_execution"


_INT64 = np.dtype(np.int64)

_BAR_FIELDS = {
    "open": GlobalDefine.KMatrix_Open,
    "high": GlobalDefine.KMatrix_High,
    "low": GlobalDefine.KMatrix_Low,
    "close": GlobalDefine.KMatrix_Close,
    "volume": GlobalDefine.KMatrix_Volume,
    "amount": GlobalDefine.KMatrix_TurnOver,
    "open_interest": GlobalDefine.KMatrix_OpenInterest,
}


def _as_index(what, value):
    """An int from an int-like or an integral float."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{what} must be an integer, got {value!r}")
    if isinstance(value, (float, np.floating)) and float(value).is_integer():
        return int(value)
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an integer, got {value!r}") from None


def _as_index_array(what, values):
    arr = np.asarray(values)
    if arr.dtype.kind in "iu" or (
        arr.dtype.kind == "f" and np.all(np.isfinite(arr)) and np.all(arr == np.floor(arr))
    ):
        rows = arr.astype(np.int64)
    else:
        raise TypeError(f"{what} values must be integers, got {values!r}")
    if rows.size and rows.min() < 0:
        raise IndexError(f"negative {what} in {values!r}")
    return rows


def _bar_item_pos(item, targets):
    """Matrix row (head included) of bar ``item`` of ``targets``.

    ``targets`` is one target index (gives an int) or an array-like of
    indices (gives an integer array of rows, element-wise).  This is the
    reference implementation; ``GlobalDefine.bar_item_pos`` is the native
    one from ``korvit.native``, which hands every unusual argument to it.
    """
    gv = GlobalDefine
    if type(item) is not int:
        item = _as_index("bar item", item)
    if not gv.KMatrix_Bar_Begin <= item <= gv.KMatrix_Bar_End:
        raise ValueError(f"bar item {item} outside [{gv.KMatrix_Bar_Begin}, {gv.KMatrix_Bar_End}]")
    offset = gv.KMatrixPos_Head_len + item
    if type(targets) is np.ndarray and targets.dtype is _INT64:
        # The per-bar path: an integer array, checked with one reduction.
        if targets.size and targets.min() < 0:
            raise IndexError(f"negative target index in {targets!r}")
        return targets * gv.KMatrix_Bar_Len + offset
    if isinstance(targets, (np.ndarray, list, tuple)):
        rows = _as_index_array("target index", targets)
    else:
        rows = _as_index("target index", targets)
        if rows < 0:
            raise IndexError(f"target index {rows} is negative")
    return rows * gv.KMatrix_Bar_Len + offset


def _bar_field_name_to_int(name):
    """Bar item (``KMatrix_*``) of a field name such as "open" or "amount"
    (the reference implementation of ``GlobalDefine.bar_field_name_to_int``)."""
    try:
        return _BAR_FIELDS[name]
    except (KeyError, TypeError):
        raise ValueError(
            f"unknown bar field {name!r}; expected one of {sorted(_BAR_FIELDS)}"
        ) from None


GlobalDefine.bar_item_pos = staticmethod(_native.bar_item_pos)
GlobalDefine.bar_field_name_to_int = staticmethod(_native.bar_field_name_to_int)


# Defaults that stand in for user callbacks that are missing or malformed.


def init(context):
    """Default ``init``: does nothing."""


def on_data(context):
    """Default ``on_data``: does nothing."""


def on_order_status(context, order, *args, **kwargs):
    """Default ``on_order_status``: does nothing."""


def on_execution(context, excution, *args, **kwargs):
    """Default ``on_execution``: does nothing."""
