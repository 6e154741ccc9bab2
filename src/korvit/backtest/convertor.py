"""User-facing snapshots of backtest orders and executions.

The matching engine hands these to the user's ``on_order_status`` and
``on_execution`` callbacks.  A snapshot is a frozen copy: its numbers are
plain Python numbers and changing it is an error, so user code can never
reach back into the engine's records.

The public converters are the native ones of ``korvit.native``, which build
the very same objects; the Python functions below (``_py_...``) are their
reference, and the native ones hand every value of an unusual type to this
module's helpers ``_plain``, ``_pick`` and ``_copy``.
"""

import copy
import math
from dataclasses import dataclass

import numpy as np

from korvit import native as _native

__all__ = [
    "SnapOrder",
    "SnapExecution",
    "convert_back_order_to_snap_order",
    "convert_back_order_to_snap_execution",
]


@dataclass(frozen=True)
class SnapOrder:
    order_id: object
    account: str
    target: str
    side: int
    position_effect: int
    ctg: int
    price: float
    volume: float
    filled_volume: float
    unfilled_volume: float
    filled_average: float
    filled_amount: float
    status: int
    rej_reason: float
    created_time: float
    updated_time: float
    tag: object


@dataclass(frozen=True)
class SnapExecution:
    exec_id: object
    order_id: object
    account: str
    target: str
    side: int
    position_effect: int
    price: float
    volume: float
    filled_time: float
    fee: float
    margin: float
    tag: object


def _plain(value):
    return value.item() if isinstance(value, np.generic) else value


_IMMUTABLE = (type(None), str, int, float, bool)


def _copy(tag):
    """A deep copy of a tag (plain immutable values are their own copy)."""
    return tag if type(tag) in _IMMUTABLE else copy.deepcopy(tag)


def _pick(items, index, what):
    """``items[index]`` for a valid non-negative integral index, else IndexError."""
    index = _plain(index)
    ok = (
        isinstance(index, (int, float))
        and not isinstance(index, bool)
        and math.isfinite(index)
        and index == int(index)
        and 0 <= index < len(items)
    )
    if not ok:
        raise IndexError(f"{what} {index!r} out of range: {len(items)} known")
    return items[int(index)]


def _py_convert_back_order_to_snap_order(order, account_names, target_list):
    """The ``SnapOrder`` of an order record."""
    return SnapOrder(
        order_id=_plain(order.order_id),
        account=_pick(account_names, order.handle_idx, "account index"),
        target=_pick(target_list, order.target_idx, "target index"),
        side=_plain(order.side),
        position_effect=_plain(order.position_effect),
        ctg=_plain(order.ctg),
        price=_plain(order.price),
        volume=_plain(order.volume),
        filled_volume=_plain(order.filled_volume),
        unfilled_volume=_plain(order.unfilled_volume),
        filled_average=_plain(order.filled_average),
        filled_amount=_plain(order.filled_amount),
        status=_plain(order.status),
        rej_reason=_plain(order.rej_reason),
        created_time=_plain(order.created_time),
        updated_time=_plain(order.updated_time),
        tag=_copy(order.tag),
    )


def _py_convert_back_order_to_snap_execution(order, trade, account_names, target_list):
    """The ``SnapExecution`` of a trade record of ``order``."""
    if trade.order_id != order.order_id:
        raise ValueError(
            f"trade {trade.trader_id!r} belongs to order {trade.order_id!r}, "
            f"not to order {order.order_id!r}"
        )
    return SnapExecution(
        exec_id=_plain(trade.trader_id),
        order_id=_plain(order.order_id),
        account=_pick(account_names, trade.handle_idx, "account index"),
        target=_pick(target_list, trade.target_idx, "target index"),
        side=_plain(trade.side),
        position_effect=_plain(trade.position_effect),
        price=_plain(trade.price),
        volume=_plain(trade.volume),
        filled_time=_plain(trade.filled_time),
        fee=_plain(trade.order_fee),
        margin=_plain(trade.order_margin),
        tag=_copy(trade.tag),
    )


convert_back_order_to_snap_order = _native.snap_order
convert_back_order_to_snap_execution = _native.snap_execution
