"""Order, trade and stop-order records of the backtest, and their collections.

Records are plain field holders (``__slots__``) read and written by
attribute; the matching engine changes them in place.  ``create`` is the
one constructor and takes exactly the keyword fields the engine passes.
NaN marks "none" in numeric fields (no reject reason, no price yet).

The public ``KVBackOrder``, ``KVBackTrade`` and ``KVBackStopOrder`` are the
compiled ones of ``korvit.native`` (the same fields as member descriptors,
the same ``create``, methods, errors and ``repr``); ``PyKVBackOrder``,
``PyKVBackTrade`` and ``PyKVBackStopOrder`` here are their reference twins.
"""

import math
import numbers

from korvit.tframe.sysdefine import GlobalDefine as gv
from korvit.tframe.utils.collectbase import CollectBase

__all__ = [
    "KVBackOrder",
    "KVBackTrade",
    "KVBackStopOrder",
    "PyKVBackOrder",
    "PyKVBackTrade",
    "PyKVBackStopOrder",
    "KVBackOrderCollect",
    "KVBackStopOrderCollect",
    "KVBackTradeCollect",
]

NAN = float("nan")


def _volume(name, value, allow_zero):
    """``value`` checked as a finite, non-negative (or positive) number."""
    if (
        type(value) is not float
        and type(value) is not int
        and (  # the usual types skip the ABC check
            isinstance(value, bool) or not isinstance(value, numbers.Real)
        )
    ):
        raise TypeError(f"{name} must be a number, got {value!r}")
    if not math.isfinite(value) or value < 0 or (value == 0 and not allow_zero):
        kind = "non-negative" if allow_zero else "positive"
        raise ValueError(f"{name} must be a finite {kind} number, got {value!r}")
    return value


class _Frozen:
    """Funds frozen on a record, under a fixed set of names (``_FROZEN``)."""

    __slots__ = ()
    _FROZEN: tuple[str, ...] = ()

    def frozen_item(self, name):
        try:
            return self._frozen[name]
        except KeyError:
            raise KeyError(f"no frozen item {name!r}; items: {list(self._FROZEN)}") from None

    def set_frozen_item(self, name, value):
        if name not in self._frozen:
            raise KeyError(f"no frozen item {name!r}; items: {list(self._FROZEN)}")
        self._frozen[name] = float(value)


class PyKVBackOrder(_Frozen):
    """A normal order.  ``unfilled_volume`` is always ``volume - filled_volume``.

    ``stop_trigger`` makes it a stop entry (NaN: an ordinary order): it waits
    until a bar reaches that price, then fills as a market order (category
    market) or becomes a limit order at ``price`` (category limit);
    ``triggered`` tells that the trigger was reached."""

    __slots__ = (
        "order_id",
        "handle_idx",
        "target_idx",
        "target_type",
        "code",
        "ctg",
        "side",
        "position_effect",
        "price",
        "volume",
        "filled_volume",
        "filled_amount",
        "filled_average",
        "status",
        "rej_reason",
        "created_time",
        "updated_time",
        "updated_time_dt",
        "tag",
        "stop_trigger",
        "triggered",
        "_frozen",
    )
    _FROZEN = ("value", "fee")

    @classmethod
    def create(
        cls,
        *,
        handle_idx,
        target_idx,
        code,
        order_id,
        order_price,
        target_type,
        position_effect,
        order_status,
        created_time,
        volume,
        order_ctg,
        order_side,
        tag=None,
        filled_volume=0,
        stop_trigger=NAN,
    ):
        _volume("volume", volume, allow_zero=False)
        _volume("filled_volume", filled_volume, allow_zero=True)
        if filled_volume > volume:
            raise ValueError(f"filled_volume {filled_volume!r} exceeds volume {volume!r}")
        order = cls()
        order.order_id = order_id
        order.handle_idx = handle_idx
        order.target_idx = target_idx
        order.target_type = target_type
        order.code = code
        order.ctg = order_ctg
        order.side = order_side
        order.position_effect = position_effect
        order.price = order_price
        order.volume = volume
        order.filled_volume = filled_volume
        order.filled_amount = 0.0
        order.filled_average = 0.0
        order.status = order_status
        order.rej_reason = NAN
        order.created_time = created_time
        order.updated_time = created_time
        order.updated_time_dt = None
        order.tag = tag
        order.stop_trigger = stop_trigger
        order.triggered = False
        order._frozen = {"value": 0.0, "fee": 0.0}
        return order

    @property
    def unfilled_volume(self):
        return self.volume - self.filled_volume

    def update_status(self, status, reason, time):
        self.status = status
        self.rej_reason = reason
        self.updated_time = time

    def __repr__(self):
        return (
            f"KVBackOrder(order_id={self.order_id!r}, account={self.handle_idx!r}, "
            f"target={self.target_idx!r}, side={self.side!r}, "
            f"effect={self.position_effect!r}, ctg={self.ctg!r}, price={self.price!r}, "
            f"volume={self.volume!r}, filled={self.filled_volume!r}, "
            f"status={self.status!r})"
        )


class PyKVBackTrade(_Frozen):
    """One fill of an order; ``side``, ``price``, ``volume`` and ``ctg`` read
    ``order_side``, ``trade_price``, ``trader_volume`` and ``order_ctg``."""

    _FIELDS = (
        "handle_idx",
        "target_idx",
        "target_type",
        "order_id",
        "order_price",
        "trader_id",
        "trader_volume",
        "trade_price",
        "filled_time",
        "order_ctg",
        "order_side",
        "position_effect",
        "tag",
        "order_fee",
        "order_margin",
    )
    __slots__ = _FIELDS + ("_frozen",)
    _FROZEN = ("trader_value", "trader_fee")

    @classmethod
    def create(
        cls,
        *,
        handle_idx,
        target_idx,
        target_type,
        order_id,
        order_price,
        trader_id,
        trader_volume,
        trade_price,
        filled_time,
        order_ctg,
        order_side,
        position_effect,
        tag,
        order_fee,
        order_margin,
    ):
        _volume("trader_volume", trader_volume, allow_zero=False)
        trade = cls()
        trade.handle_idx = handle_idx
        trade.target_idx = target_idx
        trade.target_type = target_type
        trade.order_id = order_id
        trade.order_price = order_price
        trade.trader_id = trader_id
        trade.trader_volume = trader_volume
        trade.trade_price = trade_price
        trade.filled_time = filled_time
        trade.order_ctg = order_ctg
        trade.order_side = order_side
        trade.position_effect = position_effect
        trade.tag = tag
        trade.order_fee = order_fee
        trade.order_margin = order_margin
        trade._frozen = {"trader_value": 0.0, "trader_fee": 0.0}
        return trade

    side = property(lambda self: self.order_side)
    price = property(lambda self: self.trade_price)
    volume = property(lambda self: self.trader_volume)
    ctg = property(lambda self: self.order_ctg)

    def __repr__(self):
        return (
            f"KVBackTrade(trader_id={self.trader_id!r}, order_id={self.order_id!r}, "
            f"target={self.target_idx!r}, side={self.order_side!r}, "
            f"effect={self.position_effect!r}, price={self.trade_price!r}, "
            f"volume={self.trader_volume!r}, time={self.filled_time!r})"
        )


class PyKVBackStopOrder:
    """A loss, profit or trailing stop that protects the fill of a target order.

    The prices and trigger fields stay NaN until the target order fills.
    """

    _GIVEN = (
        "stop_order_id",
        "target_order_id",
        "target_idx",
        "handle_idx",
        "act",
        "stop_order_type",
        "stop_gap_type",
        "stop_gap",
        "trailing_gap_type",
        "trailing_gap",
        "volume",
        "ctg",
    )
    _UNSET = (
        "target_price",
        "stop_price",
        "trigger_real_price",
        "trigger_time",
        "trailing_price",
        "trailing_high",
        "trailing_low",
        "stop_trailing_price",
        "order_id",
    )
    __slots__ = (
        _GIVEN
        + _UNSET
        + ("execute_status", "is_begin_trailing", "in_begin_trailing_bar", "in_bar_begin")
    )

    @classmethod
    def create(
        cls,
        *,
        stop_order_id,
        target_order_id,
        target_idx,
        handle_idx,
        act,
        stop_order_type,
        stop_gap_type,
        stop_gap,
        volume,
        ctg,
        trailing_gap_type=NAN,
        trailing_gap=NAN,
    ):
        _volume("volume", volume, allow_zero=False)
        if stop_order_type == gv.StopOrderType_Trailing and (
            (
                type(trailing_gap) is not float
                and type(trailing_gap) is not int
                and (isinstance(trailing_gap, bool) or not isinstance(trailing_gap, numbers.Real))
            )
            or not math.isfinite(trailing_gap)
        ):
            raise ValueError(f"a trailing stop needs a finite trailing_gap, got {trailing_gap!r}")
        stop = cls()
        stop.stop_order_id = stop_order_id  # the fields of _GIVEN, then of _UNSET, in order
        stop.target_order_id = target_order_id
        stop.target_idx = target_idx
        stop.handle_idx = handle_idx
        stop.act = act
        stop.stop_order_type = stop_order_type
        stop.stop_gap_type = stop_gap_type
        stop.stop_gap = stop_gap
        stop.trailing_gap_type = trailing_gap_type
        stop.trailing_gap = trailing_gap
        stop.volume = volume
        stop.ctg = ctg
        stop.target_price = stop.stop_price = stop.trigger_real_price = stop.trigger_time = NAN
        stop.trailing_price = stop.trailing_high = stop.trailing_low = stop.stop_trailing_price = (
            NAN
        )
        stop.order_id = NAN
        stop.execute_status = gv.StopOrderStatus_Holding
        stop.is_begin_trailing = False
        stop.in_begin_trailing_bar = False
        stop.in_bar_begin = False
        return stop

    def __repr__(self):
        return (
            f"KVBackStopOrder(stop_order_id={self.stop_order_id!r}, "
            f"target_order_id={self.target_order_id!r}, type={self.stop_order_type!r}, "
            f"act={self.act!r}, status={self.execute_status!r}, "
            f"stop_price={self.stop_price!r}, volume={self.volume!r})"
        )


# The compiled records (korvit.native); the Py* classes above are their reference.
from korvit.native import KVBackOrder, KVBackStopOrder, KVBackTrade  # noqa: E402


class KVBackOrderCollect(CollectBase):
    """Orders keyed by ``order_id``; the snap "unfilled" holds the pending ones."""

    def __init__(self):
        super().__init__(snaps=("unfilled",), key_attr="order_id")


class KVBackStopOrderCollect(CollectBase):
    """Stop orders keyed by ``stop_order_id``; the snap "unfired" holds the live ones."""

    def __init__(self):
        super().__init__(snaps=("unfired",), key_attr="stop_order_id")


class KVBackTradeCollect(CollectBase):
    """Trades, numbered 0, 1, 2, ... in the order they are stored."""

    def __init__(self):
        super().__init__()
