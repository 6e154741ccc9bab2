"""Backtest accounts: cash, positions, funds held back by pending orders, booked trades.

``on_order`` and ``on_trade`` are the two notices the matching engine sends:
an order that became holding holds back its frozen funds (and, when it
closes, the volume it would close); an order that ends cancelled or denied
gives them back; a trade gives them back and books the fill (a close of more
than is held nets into the other leg, so a fill is never refused).  Holds of
orders that were cancelled or denied without a notice are given back the
next time the account is asked for its cash or positions.

The public ``KVBackAccount`` is the compiled one of ``korvit.native``;
``PyKVBackAccount`` here is its reference twin, which it follows number
operation for number operation (it reads ``_ENDED``, ``_CASH_SETTLED``,
``_amount``, ``DEFAULT_STOCK_COMMISSION_RATE`` and ``framekit`` from this
module).
"""

import math
import numbers

from korvit.backtest.model.positions import PyKVBackPosition, py_target_index
from korvit.data.lots import volume_add, volume_sub
from korvit.tframe import framekit
from korvit.tframe.sysdefine import GlobalDefine as gv

__all__ = ["KVBackAccount", "PyKVBackAccount", "DEFAULT_STOCK_COMMISSION_RATE"]

DEFAULT_STOCK_COMMISSION_RATE = {
    "OpenTax": 0.0,
    "CloseTax": 0.001,
    "TransFee": 0.00002,
    "MinTradeFee": 5.0,
}
_ENDED = (gv.OrderStatus_Cancelled, gv.OrderStatus_Denied)
_CASH_SETTLED = (gv.TARGETTYPE_STOCK, gv.TARGETTYPE_FUND)
_OTHER_LEG = {"long": "short", "short": "long"}


def _leg_of(side, position_effect):
    """``(leg, closes)`` of an order or trade: which leg it opens or closes."""
    if side not in (gv.OrderAct_Buy, gv.OrderAct_Sell):
        raise ValueError(f"unknown order side {side!r}")
    if position_effect == gv.PositionEffect_Open:
        return ("long" if side == gv.OrderAct_Buy else "short"), False
    if position_effect in (gv.PositionEffect_Close, gv.PositionEffect_CloseToday):
        return ("long" if side == gv.OrderAct_Sell else "short"), True
    raise ValueError(f"unknown position effect {position_effect!r}")


def _amount(name, value):
    kind = type(value)
    if (
        not (kind is float or kind is int or (kind is not bool and isinstance(value, numbers.Real)))
        or not math.isfinite(value)
        or value < 0
    ):
        raise ValueError(f"{name} must be a finite non-negative number, got {value!r}")
    return float(value)


class _Hold:
    """What a holding order keeps from the account."""

    __slots__ = ("order", "cash", "position", "leg", "volume")

    def __init__(self, order, cash, position=None, leg=None, volume=0):
        self.order, self.cash = order, cash
        self.position, self.leg, self.volume = position, leg, volume


class PyKVBackAccount:
    """One backtest account, named ``name`` (also its ``handle``)."""

    def __init__(self, name, cash, stock_commission_rate=None):
        if not isinstance(name, str) or not name:
            raise ValueError(f"account name must be non-empty text, got {name!r}")
        rates = dict(DEFAULT_STOCK_COMMISSION_RATE)
        for key, value in (stock_commission_rate or {}).items():
            if key not in rates:
                raise KeyError(f"unknown stock commission item {key!r}; items: {list(rates)}")
            rates[key] = _amount(key, value)
        self.name = self.handle = name
        self.cash = _amount("cash", cash)
        self.stock_commission_rate = rates
        self.trades = []
        self.fee_total = 0.0
        self.realised_pnl = 0.0
        self._positions = {}
        self._holds = {}  # order id -> _Hold

    # ---------------------------------------------------------------- queries

    def position(self, target_idx):
        """The position record of the target, or None when it was never held."""
        self._drop_ended_holds()
        return self._positions.get(py_target_index(target_idx))

    def valid_cash(self, time=None):
        """Cash less the funds held back by holding orders (``time`` is not used)."""
        self._drop_ended_holds()
        return self.cash - math.fsum(hold.cash for hold in self._holds.values())

    @property
    def holding_order_ids(self):
        return list(self._holds)

    # ---------------------------------------------------------------- notices

    def on_order(self, orders):
        """Orders that just became holding, or stopped holding without a fill."""
        for order in orders:
            if order.status == gv.OrderStatus_Holding:
                if order.order_id not in self._holds:
                    self._hold(order)
            elif order.status in _ENDED:
                self._release(order.order_id)

    def on_trade(self, trades):
        """Book fills; each trade is booked whole or, on an error, not at all."""
        for trade in trades:
            self._book(trade)

    # ---------------------------------------------------------------- internals

    def _hold(self, order):
        cash = order.frozen_item("value") + order.frozen_item("fee")
        leg, closes = _leg_of(order.side, order.position_effect)
        if not closes:
            self._holds[order.order_id] = _Hold(order, cash)
            return
        # A closing order sets aside what it would close, as far as it is free.
        position = self._positions.get(py_target_index(order.target_idx))
        volume = 0 if position is None else min(order.unfilled_volume, position.available(leg))
        if volume > 0:
            position.reserve(leg, volume)
        self._holds[order.order_id] = _Hold(order, cash, position, leg, volume)

    def _release(self, order_id):
        hold = self._holds.pop(order_id, None)
        if hold is not None and hold.position is not None:
            hold.position.release(hold.leg, hold.volume)

    def _drop_ended_holds(self):
        if not self._holds:
            return
        for order_id in [i for i, h in self._holds.items() if h.order.status in _ENDED]:
            self._release(order_id)

    def _book(self, trade):
        """Books one fill.  A close of more than is free to close nets: the
        rest opens the other leg.  Stocks and funds settle in cash (a buy
        pays its value, a sell receives it); futures hold margin."""
        target = py_target_index(trade.target_idx)
        leg, closes = _leg_of(trade.side, trade.position_effect)
        volume, price = trade.volume, trade.price
        value, fee = trade.frozen_item("trader_value"), trade.frozen_item("trader_fee")
        futures = trade.target_type == gv.TARGETTYPE_FUTURE
        if not futures and trade.target_type not in _CASH_SETTLED:
            raise ValueError(f"cannot book a trade of target type {trade.target_type!r}")
        position = self._positions.get(target)
        closed, multiple, rest_margin = 0, 1.0, 0.0
        if closes:
            hold = self._holds.get(trade.order_id)
            own = hold is not None and hold.position is position and hold.leg == leg
            free = (
                0
                if position is None
                else volume_add(position.available(leg), hold.volume if own else 0)
            )
            closed = min(volume, free)
            if futures:
                multiple = framekit.env.get_multiple(target)
                if volume > closed:
                    rate = framekit.env.get_margin_rate(target, trade.side)
                    rest_margin = price * volume_sub(volume, closed) * multiple * rate
        # Checks and lookups done: from here on nothing raises.
        self._release(trade.order_id)
        if position is None:
            position = self._positions[target] = PyKVBackPosition(target)
        if not closes:
            position.open(leg, volume, price, value if futures else 0.0)
        if closed > 0:
            average, released = position.close(leg, closed)
            pnl = (price - average) * closed * multiple * (1 if leg == "long" else -1)
            self.realised_pnl += pnl
            if futures:
                self.cash += released + pnl
        if closes and volume > closed:
            position.open(_OTHER_LEG[leg], volume_sub(volume, closed), price, rest_margin)
        if futures:
            self.cash -= (value if not closes else rest_margin) + fee
        else:
            self.cash += (value if trade.side == gv.OrderAct_Sell else -value) - fee
        self.fee_total += fee
        self.trades.append(trade)

    def __repr__(self):
        return (
            f"KVBackAccount({self.name!r}, cash={self.cash:.2f}, "
            f"positions={len(self._positions)}, holding={len(self._holds)})"
        )


# The compiled account (korvit.native); PyKVBackAccount above is its reference.
from korvit.native import KVBackAccount  # noqa: E402
