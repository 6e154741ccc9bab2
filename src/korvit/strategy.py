"""The order and data API of a strategy.

A strategy is a Python file with up to four top-level callbacks::

    def init(context): ...                                       # once, before the first bar
    def on_data(context): ...                                    # after each bar is dealt
    def on_order_status(context, order, *args, **kwargs): ...    # an order changed status
    def on_execution(context, excution, *args, **kwargs): ...    # an order was filled

Inside them it calls the functions of this module::

    from korvit.strategy import buy, sell, history, position, percent

    def on_data(context):
        close = history("SZSE.000001", "close", 30)
        if len(close) == 30 and close[-1] > close.mean() and position("SZSE.000001") == 0:
            buy("SZSE.000001", 100, stop_loss=percent(5))

Orders placed while bar t is current are matched against bar t+1 (never
against a bar the strategy has already seen): a market order fills at the
next bar's open, a limit order when the next bars reach its price.  A stop
entry (``buy(code, 100, stop=105)``) waits until a bar reaches its stop and
fills at the first price at or beyond it; with ``price`` too (a stop-limit)
it then becomes a limit order at ``price``.

Stop orders protect the fill of the order they are attached to and close it
at market once triggered: ``stop_loss`` below a long fill (above a short
one), ``take_profit`` on the other side, ``trailing_stop`` trailing the best
price once the price has moved ``activate`` in the position's favour.  Gaps
are ``points(x)`` (price units) or ``percent(x)``; a bare number means
points.  A trailing stop's percent gap is a percentage of the gain made from
the fill price to the best price, not of the price.
"""

import math
import numbers
from dataclasses import dataclass

from korvit.backtest.session import running_session as _session
from korvit.data.limits import MAX_PRICE, fmt_bound
from korvit.tframe import framekit
from korvit.tframe.sysdefine import GlobalDefine as gv

__all__ = [
    "buy", "sell", "sell_short", "buy_to_cover", "place_order", "protect", "cancel",
    "points", "percent", "trailing", "Gap", "Trailing", "OrderRef",
    "position", "positions", "cash", "available_cash", "pending_orders", "history", "now",
    "current_price", "codes", "accounts", "contract", "StrategyError",
]

FIELDS = ("open", "high", "low", "close", "volume")

STATUS_NAMES = {gv.OrderStatus_PreHolding: "new", gv.OrderStatus_Holding: "pending",
                gv.OrderStatus_Filled: "filled", gv.OrderStatus_Cancelled: "cancelled",
                gv.OrderStatus_Denied: "denied"}


class StrategyError(ValueError):
    """A strategy called the API with arguments it cannot act on."""


# ------------------------------------------------------------------ gaps

@dataclass(frozen=True)
class Gap:
    """A price distance: ``value`` price units, or ``value`` percent."""

    value: float
    kind: str = "points"        # "points" or "percent"

    def __post_init__(self):
        if self.kind not in ("points", "percent"):
            raise StrategyError(f"a gap is in 'points' or 'percent', not {self.kind!r}")
        if not _is_real(self.value) or not math.isfinite(self.value) or self.value <= 0:
            raise StrategyError(f"a stop gap must be a positive number, got {self.value!r}")
        if self.kind == "points" and self.value > MAX_PRICE:
            raise StrategyError(f"a stop gap in points must be at most {fmt_bound(MAX_PRICE)}, "
                                f"got {self.value!r}")


def points(value):
    """A gap of ``value`` price units."""
    return Gap(value, "points")


def percent(value):
    """A gap of ``value`` percent (``percent(5)`` is 5 %)."""
    return Gap(value, "percent")


@dataclass(frozen=True)
class Trailing:
    """A trailing stop: once the price has moved ``activate`` in the position's
    favour from the fill, it trails the best price by ``gap``."""

    gap: Gap
    activate: Gap


def trailing(gap, activate=None):
    """A trailing stop ``gap`` behind the best price, trailing from ``activate``
    (by default from as soon as the price has moved ``gap`` in favour)."""
    gap = _gap(gap, "trailing gap")
    return Trailing(gap, gap if activate is None else _gap(activate, "trailing activation"))


def _gap(value, what):
    if isinstance(value, Gap):
        return value
    try:
        return points(value)
    except StrategyError:
        raise StrategyError(f"{what} must be a positive number or points(x)/percent(x), "
                            f"got {value!r}") from None


# ------------------------------------------------------------------ the running backtest

class OrderRef:
    """A strategy's handle on an order it placed; reads the order's live state."""

    __slots__ = ("order_id", "code", "account", "_record")

    def __init__(self, record, code, account):
        self.order_id, self.code, self.account, self._record = record.order_id, code, account, record

    @property
    def status(self):
        """"new", "pending", "filled", "cancelled" or "denied"."""
        return STATUS_NAMES.get(self._record.status, str(self._record.status))

    @property
    def filled_volume(self):
        return float(self._record.filled_volume)

    @property
    def average_price(self):
        """Average fill price (0 before the first fill)."""
        return float(self._record.filled_average)

    @property
    def is_open(self):
        """Whether the order can still fill."""
        return self._record.status in (gv.OrderStatus_PreHolding, gv.OrderStatus_Holding)

    def __repr__(self):
        return f"<order #{self.order_id} {self.code} {self.status}>"


def _is_real(value):
    """A real number, not a bool (the usual float and int without the ABC check)."""
    kind = type(value)
    return kind is float or kind is int or (kind is not bool and isinstance(value, numbers.Real))


def _volume(volume):
    if not _is_real(volume) or not math.isfinite(volume) or volume <= 0:
        raise StrategyError(f"order volume must be a positive number, got {volume!r}")
    return float(volume)


def _price(price):
    if price is None:
        return None
    if not _is_real(price) or not math.isfinite(price) or price <= 0 or price > MAX_PRICE:
        raise StrategyError(f"order price must be a positive number up to {fmt_bound(MAX_PRICE)} (or None "
                            f"for a market order), got {price!r}")
    return float(price)


def _stop(stop):
    if stop is None:
        return None
    if not _is_real(stop) or not math.isfinite(stop) or stop <= 0 or stop > MAX_PRICE:
        raise StrategyError(f"order stop must be a positive number up to {fmt_bound(MAX_PRICE)} (or None "
                            f"for an order without a stop), got {stop!r}")
    return float(stop)


def place_order(code, side, effect, volume, price=None, *, account=None, stop_loss=None,
                take_profit=None, trailing_stop=None, tag=None, stop=None):
    """Place an order: ``side`` "buy" or "sell", ``effect`` "open" or "close";
    a limit order at ``price``, or a market order when ``price`` is None.
    With ``stop``, a stop entry: it waits until a later bar reaches the stop
    (a buy when the price rises to it, a sell when it falls to it), then
    fills at the first price at or beyond it, or with ``price`` too becomes
    a limit order at ``price`` (a stop-limit).  Optional stop orders protect
    its fill (see ``protect``).  Returns an ``OrderRef``."""
    sides = {"buy": gv.OrderAct_Buy, "sell": gv.OrderAct_Sell}
    effects = {"open": gv.PositionEffect_Open, "close": gv.PositionEffect_Close}
    if side not in sides:
        raise StrategyError(f"order side must be 'buy' or 'sell', got {side!r}")
    if effect not in effects:
        raise StrategyError(f"order effect must be 'open' or 'close', got {effect!r}")
    session = _session()
    target = session.target_of(code)
    handle = session.account_of(account)
    volume, price, stop = _volume(volume), _price(price), _stop(stop)
    stops = _stop_requests(stop_loss, take_profit, trailing_stop)
    if stops and effect != "open":
        raise StrategyError("stop orders protect an opening order; a closing order cannot carry them")
    record = session.new_order(target, handle, sides[side], effects[effect], volume, price, tag,
                               **({} if stop is None else {"stop": stop}))
    ref = OrderRef(record, session.codes[target], session.account_names[handle])
    for kind, gap in stops:
        session.new_stop(record, kind, gap)
    return ref


def buy(code, volume, price=None, **options):
    """Open (or add to) a long position.  ``options``: account, stop_loss,
    take_profit, trailing_stop, tag, stop (a stop entry, see ``place_order``)."""
    return place_order(code, "buy", "open", volume, price, **options)


def sell(code, volume, price=None, **options):
    """Close (part of) a long position."""
    return place_order(code, "sell", "close", volume, price, **options)


def sell_short(code, volume, price=None, **options):
    """Open (or add to) a short position."""
    return place_order(code, "sell", "open", volume, price, **options)


def buy_to_cover(code, volume, price=None, **options):
    """Close (part of) a short position."""
    return place_order(code, "buy", "close", volume, price, **options)


def _stop_requests(stop_loss, take_profit, trailing_stop):
    stops = []
    if stop_loss is not None:
        stops.append(("loss", _gap(stop_loss, "stop_loss")))
    if take_profit is not None:
        stops.append(("profit", _gap(take_profit, "take_profit")))
    if trailing_stop is not None:
        if not isinstance(trailing_stop, Trailing):
            trailing_stop = trailing(trailing_stop)
        stops.append(("trailing", trailing_stop))
    return stops


def protect(order, *, stop_loss=None, take_profit=None, trailing_stop=None):
    """Attach stop orders to an opening order placed earlier that has not yet
    been filled.  They are armed at its fill."""
    if not isinstance(order, OrderRef):
        raise StrategyError(f"protect() takes an order returned by buy() or sell_short(), got {order!r}")
    record = order._record
    if record.position_effect != gv.PositionEffect_Open:
        raise StrategyError(f"order #{order.order_id} closes a position: stop orders protect opening orders")
    if not order.is_open:
        raise StrategyError(f"order #{order.order_id} is {order.status}: stop orders must be attached "
                            "before the order fills")
    stops = _stop_requests(stop_loss, take_profit, trailing_stop)
    if not stops:
        raise StrategyError("protect() needs stop_loss, take_profit or trailing_stop")
    session = _session()
    for kind, gap in stops:
        session.new_stop(record, kind, gap)


def cancel(order):
    """Cancel an order that has not been filled yet; True when it was cancelled."""
    if not isinstance(order, OrderRef):
        raise StrategyError(f"cancel() takes an order returned by the order functions, got {order!r}")
    return _session().cancel(order._record)


# ------------------------------------------------------------------ reading state

def codes():
    """The codes of the run, in target order."""
    return list(_session().codes)


def accounts():
    """The account names of the run."""
    return list(_session().account_names)


def contract(code):
    """The ``korvit.data.Contract`` of ``code``: kind ("stock" or "futures"),
    min_move, multiplier, margins, lot_size and fees, as the run charges them."""
    session = _session()
    return session.contracts[session.target_of(code)]


def position(code, account=None):
    """Net position in ``code``: long volume less short volume."""
    session = _session()
    held = session.accounts[session.account_of(account)].position(session.target_of(code))
    if held is None:
        return 0.0
    return float(held.position_long - held.position_short)


def positions(account=None):
    """``{code: net volume}`` of every position that is not flat."""
    session = _session()
    account = session.accounts[session.account_of(account)]
    out = {}
    for target, code in enumerate(session.codes):
        held = account.position(target)
        if held is not None and (held.position_long or held.position_short):
            out[code] = float(held.position_long - held.position_short)
    return out


def cash(account=None):
    """The account's cash (margin of futures positions is not part of it)."""
    session = _session()
    return float(session.accounts[session.account_of(account)].cash)


def available_cash(account=None):
    """Cash less what pending orders hold back."""
    session = _session()
    return float(session.accounts[session.account_of(account)].valid_cash())


def pending_orders(code=None, account=None):
    """Orders not yet filled, cancelled or denied, as ``OrderRef``s."""
    session = _session()
    target = None if code is None else session.target_of(code)
    handle = None if account is None else session.account_of(account)
    out = []
    for record in framekit.vr.g_KVOrders.snap_obj("unfilled"):
        if record.status not in (gv.OrderStatus_PreHolding, gv.OrderStatus_Holding):
            continue
        if (target is None or record.target_idx == target) and (handle is None or record.handle_idx == handle):
            out.append(OrderRef(record, session.codes[record.target_idx], session.account_names[record.handle_idx]))
    return out


def history(code, field="close", count=1):
    """The last ``count`` values of ``field`` ("open", "high", "low", "close",
    "volume" or "time") of ``code`` up to the current bar, oldest first, as a
    numpy array (shorter at the start of the data)."""
    if isinstance(count, bool) or not isinstance(count, numbers.Integral) or count < 1:
        raise StrategyError(f"history count must be a positive whole number, got {count!r}")
    session = _session()
    target, bar = session.target_of(code), session.bar
    first = max(0, bar - int(count) + 1)
    if field == "time":
        return session.bars.times[first:bar + 1].to_numpy()
    if field not in FIELDS:
        raise StrategyError(f"unknown bar field {field!r}; fields: {', '.join(FIELDS + ('time',))}")
    return session.bars.values[target, first:bar + 1, FIELDS.index(field)].copy()


def current_price(code):
    """The close of ``code`` at the current bar (NaN when it has no bar then)."""
    session = _session()
    return float(session.bars.values[session.target_of(code), session.bar, 3])


def now():
    """The time of the current bar."""
    return _session().now()

