"""The engine's order, trade and stop-order records as pandas DataFrames with
readable values ("buy", "filled", "not enough cash", ...)."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import pandas as pd

from korvit.tframe.sysdefine import GlobalDefine as gv

__all__ = [
    "orders_frame",
    "trades_frame",
    "stops_frame",
    "to_datetimes",
    "SIDES",
    "EFFECTS",
    "MAX_ORDER_VOLUME",
    "ORDER_TYPES",
    "ORDER_STATUSES",
    "REJECT_REASONS",
    "STOP_KINDS",
    "STOP_STATUSES",
]

SIDES = {gv.OrderAct_Buy: "buy", gv.OrderAct_Sell: "sell"}
EFFECTS = {
    gv.PositionEffect_Open: "open",
    gv.PositionEffect_Close: "close",
    gv.PositionEffect_CloseToday: "close",
}
ORDER_TYPES = {gv.OrderCtg_Market: "market", gv.OrderCtg_Limit: "limit"}
ORDER_STATUSES = {
    gv.OrderStatus_PreHolding: "new",
    gv.OrderStatus_Holding: "pending",
    gv.OrderStatus_Filled: "filled",
    gv.OrderStatus_Cancelled: "cancelled",
    gv.OrderStatus_Denied: "denied",
}
REJECT_REASONS = {
    gv.OrderReject_MarketOrderHolding: "no trading in the bar",
    gv.OrderReject_IllegalVolume: "illegal volume",
    gv.OrderReject_NoEnoughCash: "not enough cash",
    gv.OrderReject_NoEnoughPosition: "not enough position to close",
    gv.OrderReject_LimitType: "limit price not reached",
    gv.OrderReject_DailyBeginCancel: "cancelled at the day's start",
    gv.OrderReject_Expired: "expired",
}
# The engine denies a new order of more than MAX_ORDER_VOLUME, or a stock order
# opening a position in other than whole lots, with the same reason code: the
# orders table tells the two apart from the order's volume and contract.
MAX_ORDER_VOLUME = 2e9
STOP_KINDS = {
    gv.StopOrderType_Loss: "loss",
    gv.StopOrderType_Profit: "profit",
    gv.StopOrderType_Trailing: "trailing",
}
STOP_STATUSES = {
    gv.StopOrderStatus_Holding: "waiting",
    gv.StopOrderStatus_Active: "armed",
    gv.StopOrderStatus_Trailing: "trailing",
    gv.StopOrderStatus_Fired: "fired",
    gv.StopOrderStatus_Cancelled: "cancelled",
}
_GAP_TYPES = {gv.OrderStop_StopGap_Point: "points", gv.OrderStop_StopGap_Percent: "percent"}


def to_datetimes(values):
    """Host time values (seconds since 1970, NaN for none) as datetime64[ns]."""
    seconds = np.asarray(values, dtype=np.float64)
    out = np.full(seconds.shape, np.datetime64("NaT", "ns"), dtype="datetime64[ns]")
    known = np.isfinite(seconds)
    out[known] = np.round(seconds[known] * 1e6).astype(np.int64).astype("datetime64[us]")
    return out


def _name(table, value, default=""):
    if isinstance(value, float) and math.isnan(value):
        return default
    return table.get(value, str(value))


def _reason(order, session):
    """Why an order was denied or cancelled, in words, and the kind of reason
    (the words without the order's own figures, to count reasons by): an
    illegal volume says whether the order was above the engine's limit or not
    a whole number of its stock's lots (the engine tests the limit first).
    Both are "" for an order with no reason."""
    if order.rej_reason != gv.OrderReject_IllegalVolume:
        reason = _name(REJECT_REASONS, order.rej_reason)
        return reason, reason
    volume = float(order.volume) - float(order.filled_volume or 0)
    shown = f"{volume:.0f}" if volume.is_integer() and volume < 1e15 else f"{volume:g}"
    if volume > MAX_ORDER_VOLUME:
        limit = f"the limit of {MAX_ORDER_VOLUME:,.0f} in one order"
        return f"volume {shown} is above {limit}", f"volume above {limit}"
    contract = session.contracts[int(order.target_idx)]
    if (
        order.position_effect == gv.PositionEffect_Open
        and not contract.is_futures
        and volume % contract.lot_size
    ):
        lots = f"a multiple of the lot size {contract.lot_size}"
        return f"volume {shown} is not {lots}", f"volume not {lots}"
    return "illegal volume", "illegal volume"


def _records(collection):
    return [record for record in collection if record is not None]


def _account_and_code(records, session):
    """The "account" and "code" columns of records that carry handle and target indices."""
    return {
        "account": [session.account_names[int(r.handle_idx)] for r in records],
        "code": [session.codes[int(r.target_idx)] for r in records],
    }


def _order_type(record):
    """ "market" or "limit"; a stop entry is "stop" (a market order once
    triggered) or "stop-limit"."""
    kind = _name(ORDER_TYPES, record.ctg)
    trigger = getattr(record, "stop_trigger", math.nan)
    if isinstance(trigger, float) and not math.isnan(trigger):
        return {"market": "stop", "limit": "stop-limit"}.get(kind, kind)
    return kind


def orders_frame(collection: Any, stops: Any, session: Any) -> pd.DataFrame:
    """One row per order; ``stop_price`` is the trigger of a stop entry;
    ``stop_id`` names the stop order that placed it;
    ``reason_kind`` is ``reason`` without the order's own figures ("volume not
    a multiple of the lot size 100" for "volume 150 is not a multiple of the
    lot size 100"), to count the reasons by."""
    records = _records(collection)
    reasons = [_reason(r, session) for r in records]
    placed_by = {
        stop.order_id: stop.stop_order_id
        for stop in _records(stops)
        if not (isinstance(stop.order_id, float) and math.isnan(stop.order_id))
    }
    rows = {
        "order_id": [r.order_id for r in records],
        "created": to_datetimes([r.created_time for r in records]),
        "updated": to_datetimes([r.updated_time for r in records]),
        **_account_and_code(records, session),
        "type": [_order_type(r) for r in records],
        "side": [_name(SIDES, r.side) for r in records],
        "effect": [_name(EFFECTS, r.position_effect) for r in records],
        "volume": np.array([r.volume for r in records], dtype=np.float64),
        "price": np.array([r.price for r in records], dtype=np.float64),
        "status": [_name(ORDER_STATUSES, r.status) for r in records],
        "filled_volume": np.array([r.filled_volume for r in records], dtype=np.float64),
        "average_price": np.array(
            [r.filled_average if r.filled_volume else np.nan for r in records], dtype=np.float64
        ),
        "reason": [reason for reason, _ in reasons],
        "stop_id": np.array([placed_by.get(r.order_id, np.nan) for r in records], dtype=np.float64),
        "reason_kind": [kind for _, kind in reasons],
        # the trigger of a stop entry (NaN for any other order)
        "stop_price": np.array(
            [getattr(r, "stop_trigger", np.nan) for r in records], dtype=np.float64
        ),
    }
    return pd.DataFrame(rows)


def trades_frame(collection: Any, session: Any) -> pd.DataFrame:
    """One row per fill."""
    records = _records(collection)
    rows = {
        "trade_id": [r.trader_id for r in records],
        "order_id": [r.order_id for r in records],
        "time": to_datetimes([r.filled_time for r in records]),
        **_account_and_code(records, session),
        "side": [_name(SIDES, r.order_side) for r in records],
        "effect": [_name(EFFECTS, r.position_effect) for r in records],
        "volume": np.array([r.trader_volume for r in records], dtype=np.float64),
        "price": np.array([r.trade_price for r in records], dtype=np.float64),
        "multiplier": np.array(
            [session.contracts[int(r.target_idx)].multiplier for r in records], dtype=np.float64
        ),
        "fee": np.array([r.frozen_item("trader_fee") for r in records], dtype=np.float64),
    }
    return pd.DataFrame(rows)


def stops_frame(collection: Any, session: Any) -> pd.DataFrame:
    """One row per stop order."""
    records = _records(collection)
    rows = {
        "stop_id": [r.stop_order_id for r in records],
        "order_id": [r.target_order_id for r in records],
        **_account_and_code(records, session),
        "kind": [_name(STOP_KINDS, r.stop_order_type) for r in records],
        "gap": np.array([r.stop_gap for r in records], dtype=np.float64),
        "gap_type": [_name(_GAP_TYPES, r.stop_gap_type) for r in records],
        "status": [_name(STOP_STATUSES, r.execute_status) for r in records],
        "stop_price": np.array(
            [
                r.stop_trailing_price
                if r.stop_order_type == gv.StopOrderType_Trailing
                else r.stop_price
                for r in records
            ],
            dtype=np.float64,
        ),
        "trigger_time": to_datetimes([r.trigger_time for r in records]),
        "trigger_price": np.array([r.trigger_real_price for r in records], dtype=np.float64),
        "closing_order_id": np.array([r.order_id for r in records], dtype=np.float64),
    }
    return pd.DataFrame(rows)
