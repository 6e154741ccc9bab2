"""The engine's order, trade and stop-order records as pandas DataFrames with
readable values ("buy", "filled", "not enough cash", ...)."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import pandas as pd

from korvit.data import lots
from korvit.data.lots import MAX_ORDER_VOLUME
from korvit.tframe.sysdefine import GlobalDefine as gv

__all__ = [
    "FillClock",
    "orders_frame",
    "order_statuses",
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
# The engine denies a new order of more than MAX_ORDER_VOLUME (in the contract's
# units), or a stock order opening a position off its lot grid, and the host an
# opening futures order off its grid or one below the contract's min_volume, all
# with the same reason code: the orders table tells them apart from the order's
# volume and contract.
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


class FillClock:
    """The time a fill carries in the tables: one clock for every fill decided
    on a bar.

    The engine stamps a fill decided on a bar by the kind of order: a market,
    limit or stop entry with the start of the bar's period, but a stop fired on
    the bar alone with the bar's label (the time it was judged at), so that on
    intraday bars the same bar gave two times, and with ``bar_time="start"``
    the stop's was the next bar's.  Here every fill decided on bar ``t`` is
    dated ``starts[t]`` (the start of its period, the day of a daily bar); a
    fill decided on a tick keeps that tick's time.

    ``trade_bars[k]`` is the bar the k-th trade of the run was made on (-1:
    not known), ``stop_bars`` maps the id of each stop fired to the bar it
    fired on, and ``ticks`` (or None) are the run's ticks, by code and bar
    position: a record whose engine time is a tick's time of its code and
    bar was decided on that tick."""

    def __init__(self, starts, trade_bars, stop_bars, ticks=None):
        self.starts = np.asarray(starts, dtype="datetime64[ns]")
        self.trade_bars = np.asarray(trade_bars, dtype=np.int64)
        self.stop_bars = dict(stop_bars)
        self.ticks = ticks

    def dated(self, times, codes, bars):
        """``times`` (datetime64[ns], as the engine stamped them) of records of
        target indices ``codes`` made on ``bars`` (-1: not known), as the
        tables show them."""
        out = np.array(times, dtype="datetime64[ns]")
        bars = np.asarray(bars, dtype=np.int64)
        known = np.flatnonzero((bars >= 0) & (bars < len(self.starts)) & ~np.isnat(out))
        stated = self.starts[bars[known]]
        for k in known[out[known] != stated]:
            if not self._on_a_tick(int(codes[k]), int(bars[k]), out[k]):
                out[k] = self.starts[bars[k]]
        return out

    def _on_a_tick(self, code, bar, time):
        if self.ticks is None:
            return False
        try:
            times = self.ticks[code, bar][0]
        except KeyError:  # no ticks in that bar
            return False
        return bool((times.astype("datetime64[us]") == time).any())

    def trade_times(self, records):
        """The times of trade records (all of the run's, in the order made)."""
        raw = to_datetimes([r.filled_time for r in records])
        bars = np.full(len(records), -1, dtype=np.int64)
        made = min(len(records), len(self.trade_bars))
        bars[:made] = self.trade_bars[:made]
        return raw, self.dated(raw, [r.target_idx for r in records], bars)

    def trigger_times(self, records):
        """The trigger times of stop records."""
        raw = to_datetimes([r.trigger_time for r in records])
        bars = [self.stop_bars.get(_id_key(r.stop_order_id), -1) for r in records]
        return raw, self.dated(raw, [r.target_idx for r in records], bars)

    def moved(self, trades, stops):
        """``{(order id, engine time): time shown}`` of the fills and stop
        triggers the clock dates otherwise: the orders table's created and
        updated times of the orders they made follow them."""
        out = {}
        trade_records, stop_records = _records(trades), _records(stops)
        for (raw, shown), ids in (
            (self.trade_times(trade_records), [r.order_id for r in trade_records]),
            (self.trigger_times(stop_records), [r.order_id for r in stop_records]),
        ):
            for k in np.flatnonzero((raw != shown) & ~np.isnat(raw)):
                out[(_id_key(ids[k]), int(raw[k].view(np.int64)))] = shown[k]
        return out


def _id_key(value):
    """An order or stop id as a dict key (ids come as int or float)."""
    try:
        return int(value)
    except (TypeError, ValueError, OverflowError):  # NaN: none
        return None


def _name(table, value, default=""):
    if isinstance(value, float) and math.isnan(value):
        return default
    return table.get(value, str(value))


def _reason(order, session):
    """Why an order was denied or cancelled, in words, and the kind of reason
    (the words without the order's own figures, to count reasons by): an
    illegal volume says whether the order was above the engine's limit (in the
    contract's units), off its contract's lot grid or below its min_volume (the
    engine tests the limit first, then a stock's lot; the host a futures lot and
    min_volume).  Both are "" for an order with no reason."""
    if order.rej_reason != gv.OrderReject_IllegalVolume:
        reason = _name(REJECT_REASONS, order.rej_reason)
        return reason, reason
    volume = float(order.volume) - float(order.filled_volume or 0)
    shown = lots.shown(volume)
    target = int(order.target_idx)
    if volume > MAX_ORDER_VOLUME:
        limit = f"the limit of {MAX_ORDER_VOLUME:,.0f} in one order"
        return (
            f"volume {shown} is above {limit} (in units of {session.codes[target]})",
            f"volume above {limit}",
        )
    contract = session.contracts[target]
    if order.position_effect == gv.PositionEffect_Open:
        if not lots.on_grid(volume, contract.lot_size):
            multiple = f"a multiple of the lot size {lots.shown(contract.lot_size)}"
            return f"volume {shown} is not {multiple}", f"volume not {multiple}"
        if lots.exact(volume) < lots.exact(contract.min_volume):
            least = f"the minimum {lots.shown(contract.min_volume)} of {contract.code}"
            return f"volume {shown} is below {least}", f"volume below {least}"
    return "illegal volume", "illegal volume"


def _records(collection):
    return [record for record in collection if record is not None]


def order_statuses(records):
    """The ``status`` column of the orders table of order ``records`` ("filled", ...)."""
    return [_name(ORDER_STATUSES, r.status) for r in records]


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


def orders_frame(
    collection: Any, stops: Any, session: Any, trades: Any = None, clock: FillClock | None = None
) -> pd.DataFrame:
    """One row per order; ``stop_price`` is the trigger of a stop entry;
    ``stop_id`` names the stop order that placed it;
    ``reason_kind`` is ``reason`` without the order's own figures ("volume not
    a multiple of the lot size 100" for "volume 150 is not a multiple of the
    lot size 100"), to count the reasons by.  With ``clock`` (and the run's
    ``trades``) an order made or filled by a fill or a stop trigger the clock
    dates otherwise carries that time."""
    records = _records(collection)
    reasons = [_reason(r, session) for r in records]
    placed_by = {
        stop.order_id: stop.stop_order_id
        for stop in _records(stops)
        if not (isinstance(stop.order_id, float) and math.isnan(stop.order_id))
    }
    created = to_datetimes([r.created_time for r in records])
    updated = to_datetimes([r.updated_time for r in records])
    moved = {} if clock is None else clock.moved(() if trades is None else trades, stops)
    if moved:
        for k, r in enumerate(records):
            key = _id_key(r.order_id)
            for times in (created, updated):
                times[k] = moved.get((key, int(times[k].view(np.int64))), times[k])
    rows = {
        "order_id": [r.order_id for r in records],
        "created": created,
        "updated": updated,
        **_account_and_code(records, session),
        "type": [_order_type(r) for r in records],
        "side": [_name(SIDES, r.side) for r in records],
        "effect": [_name(EFFECTS, r.position_effect) for r in records],
        "volume": np.array([r.volume for r in records], dtype=np.float64),
        "price": np.array([r.price for r in records], dtype=np.float64),
        "status": order_statuses(records),
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


def trades_frame(collection: Any, session: Any, clock: FillClock | None = None) -> pd.DataFrame:
    """One row per fill; with ``clock``, dated by it."""
    records = _records(collection)
    rows = {
        "trade_id": [r.trader_id for r in records],
        "order_id": [r.order_id for r in records],
        "time": (
            to_datetimes([r.filled_time for r in records])
            if clock is None
            else clock.trade_times(records)[1]
        ),
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


def stops_frame(collection: Any, session: Any, clock: FillClock | None = None) -> pd.DataFrame:
    """One row per stop order; with ``clock``, the trigger times dated by it."""
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
        "trigger_time": (
            to_datetimes([r.trigger_time for r in records])
            if clock is None
            else clock.trigger_times(records)[1]
        ),
        "trigger_price": np.array([r.trigger_real_price for r in records], dtype=np.float64),
        "closing_order_id": np.array([r.order_id for r in records], dtype=np.float64),
    }
    return pd.DataFrame(rows)
