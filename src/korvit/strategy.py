"""The order and data API of a strategy.

A strategy is a Python file with up to four top-level callbacks:

    def init(context): ...                                       # once, before the first bar
    def on_data(context): ...                                    # after each bar is dealt
    def on_order_status(context, order, *args, **kwargs): ...    # an order changed status
    def on_execution(context, execution, *args, **kwargs): ...   # an order was filled

Inside them it calls the functions of this module:

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
``good_for=N`` ends an order not filled after N bars, ``good_till="day"``
after the day's last bar.  Targets (``order_target``, ``order_target_value``,
``order_target_percent``) and ``rebalance`` name the position wanted and
place the orders that bring it there.

Stop orders protect the fill of the order they are attached to and close it
at market once triggered: ``stop_loss`` below a long fill (above a short
one), ``take_profit`` on the other side, ``trailing_stop`` trailing the best
price once the price has moved ``activate`` in the position's favour.  Gaps
are ``points(x)`` (price units) or ``percent(x)``; a bare number means
points.  A trailing stop's percent gap is a percentage of the gain made from
the fill price to the best price, not of the price.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from datetime import datetime
from fractions import Fraction
from typing import TYPE_CHECKING, Any, Literal, TypeAlias, TypedDict, overload

import numpy as np
import numpy.typing as npt

from korvit.backtest.session import Context, Session, StrategyError, TimeframeError
from korvit.backtest.session import running_session as _session
from korvit.data.limits import MAX_PRICE, fmt_bound
from korvit.data.lots import MAX_ORDER_VOLUME, exact, lots_down, on_grid
from korvit.tframe import framekit
from korvit.tframe.sysdefine import GlobalDefine as gv

if TYPE_CHECKING:
    from typing_extensions import Unpack

    from korvit.backtest.timeframes import Timeframe
    from korvit.data.contracts import Contract

__all__ = [
    "buy",
    "sell",
    "sell_short",
    "buy_to_cover",
    "place_order",
    "protect",
    "cancel",
    "order_target",
    "order_target_value",
    "order_target_percent",
    "rebalance",
    "points",
    "percent",
    "trailing",
    "Gap",
    "Trailing",
    "OrderRef",
    "position",
    "positions",
    "cash",
    "equity",
    "available_cash",
    "pending_orders",
    "history",
    "now",
    "current_price",
    "codes",
    "accounts",
    "contract",
    "StrategyError",
    "TimeframeError",
    "Context",
    "Code",
    "Side",
    "Effect",
    "GapLike",
    "TrailingLike",
    "Field",
    "OrderStatus",
    "StopOptions",
    "OrderOptions",
    "TargetOptions",
]

Code: TypeAlias = "str | int"
"""A code as the data writes it (case does not matter), or its target index."""
Side: TypeAlias = Literal["buy", "sell"]
Effect: TypeAlias = Literal["open", "close"]
OrderStatus: TypeAlias = Literal["new", "pending", "filled", "cancelled", "denied"]
Field: TypeAlias = Literal["open", "high", "low", "close", "volume"]
"""The price and volume fields of ``history`` (``"time"`` gives the bars' times)."""

FIELDS = ("open", "high", "low", "close", "volume")
_FIELD_AT = {name: k for k, name in enumerate(FIELDS)}

STATUS_NAMES: dict[int, str] = {
    gv.OrderStatus_PreHolding: "new",
    gv.OrderStatus_Holding: "pending",
    gv.OrderStatus_Filled: "filled",
    gv.OrderStatus_Cancelled: "cancelled",
    gv.OrderStatus_Denied: "denied",
}


# ------------------------------------------------------------------ gaps


@dataclass(frozen=True)
class Gap:
    """A price distance: ``value`` price units, or ``value`` percent."""

    value: float
    kind: Literal["points", "percent"] = "points"

    def __post_init__(self) -> None:
        if self.kind not in ("points", "percent"):
            raise StrategyError(f"a gap is in 'points' or 'percent', not {self.kind!r}")
        if not _is_real(self.value) or not math.isfinite(self.value) or self.value <= 0:
            raise StrategyError(f"a stop gap must be a positive number, got {self.value!r}")
        if self.kind == "points" and self.value > MAX_PRICE:
            raise StrategyError(
                f"a stop gap in points must be at most {fmt_bound(MAX_PRICE)}, got {self.value!r}"
            )


GapLike: TypeAlias = "Gap | float"
"""A stop gap: ``points(x)``, ``percent(x)`` or a bare number (points)."""


def points(value: float) -> Gap:
    """A gap of ``value`` price units."""
    return _made_gap(value, "points")


def percent(value: float) -> Gap:
    """A gap of ``value`` percent (``percent(5)`` is 5 %)."""
    return _made_gap(value, "percent")


# Gaps made so far, by class, kind and value (with its type: 5 and 5.0 are two gaps): a
# strategy names the same few gaps order after order, and a gap never changes.
_GAPS: dict[tuple[Any, ...], Gap] = {}
_MAX_GAPS = 256


def _made_gap(value: float, kind: Literal["points", "percent"]) -> Gap:
    """``Gap(value, kind)``, the one made earlier for a plain number when there is one."""
    made = Gap  # looked up at each use, as any name a host may replace
    plain = type(value) is float or type(value) is int
    if plain:
        key = (made, kind, type(value), value)
        found = _GAPS.get(key)
        if found is not None:
            return found
    gap = made(value, kind)
    if plain and len(_GAPS) < _MAX_GAPS:
        _GAPS[key] = gap
    return gap


@dataclass(frozen=True)
class Trailing:
    """A trailing stop: once the price has moved ``activate`` in the position's
    favour from the fill, it trails the best price by ``gap``."""

    gap: Gap
    activate: Gap


TrailingLike: TypeAlias = "Trailing | Gap | float"
"""A trailing stop: ``trailing(gap, activate)``, or its gap alone."""


def trailing(gap: GapLike, activate: GapLike | None = None) -> Trailing:
    """A trailing stop ``gap`` behind the best price, trailing from ``activate``
    (by default from as soon as the price has moved ``gap`` in favour)."""
    gap = _gap(gap, "trailing gap")
    return Trailing(gap, gap if activate is None else _gap(activate, "trailing activation"))


def _gap(value: object, what: str) -> Gap:
    if isinstance(value, Gap):
        return value
    try:
        return points(value)  # type: ignore[arg-type]  # Gap checks the value itself
    except StrategyError:
        raise StrategyError(
            f"{what} must be a positive number or points(x)/percent(x), got {value!r}"
        ) from None


# ------------------------------------------------------------------ the running backtest


class OrderRef:
    """A strategy's handle on an order it placed; reads the order's live state."""

    __slots__ = ("order_id", "code", "account", "_record")

    order_id: int
    code: str
    account: str

    def __init__(self, record: Any, code: str, account: str) -> None:
        self.order_id, self.code, self.account, self._record = (
            record.order_id,
            code,
            account,
            record,
        )

    @property
    def status(self) -> OrderStatus:
        """ "new", "pending", "filled", "cancelled" or "denied"."""
        return STATUS_NAMES.get(self._record.status, str(self._record.status))  # type: ignore[return-value]  # the engine's five statuses all have names

    @property
    def filled_volume(self) -> float:
        return float(self._record.filled_volume)

    @property
    def average_price(self) -> float:
        """Average fill price (0 before the first fill)."""
        return float(self._record.filled_average)

    @property
    def is_open(self) -> bool:
        """Whether the order can still fill."""
        return self._record.status in (gv.OrderStatus_PreHolding, gv.OrderStatus_Holding)

    def __repr__(self) -> str:
        return f"<order #{self.order_id} {self.code} {self.status}>"


def _is_real(value: object) -> bool:
    """A real number, not a bool (the usual float and int without the ABC check)."""
    kind = type(value)
    return kind is float or kind is int or (kind is not bool and isinstance(value, numbers.Real))


def _volume(volume: float) -> float:
    if not _is_real(volume) or not math.isfinite(volume) or volume <= 0:
        raise StrategyError(f"order volume must be a positive number, got {volume!r}")
    return float(volume)


def _optional_price(value: float | None, what: str, none_means: str) -> float | None:
    """``value`` as a price in (0, MAX_PRICE], or None; ``what`` and
    ``none_means`` word the one-line refusal."""
    if value is None:
        return None
    if not _is_real(value) or not math.isfinite(value) or value <= 0 or value > MAX_PRICE:
        raise StrategyError(
            f"order {what} must be a positive number up to {fmt_bound(MAX_PRICE)} (or None "
            f"for {none_means}), got {value!r}"
        )
    return float(value)


def _price(price: float | None) -> float | None:
    return _optional_price(price, "price", "a market order")


def _stop(stop: float | None) -> float | None:
    return _optional_price(stop, "stop", "an order without a stop")


class StopOptions(TypedDict, total=False):
    """The stop orders an opening order carries (see ``protect``); e.g.
    ``stops = StopOptions(stop_loss=percent(5))`` then ``buy(code, 100, **stops)``."""

    stop_loss: GapLike | None
    take_profit: GapLike | None
    trailing_stop: TrailingLike | None


class OrderOptions(StopOptions, total=False):
    """The keyword options of ``buy``, ``sell``, ``sell_short`` and ``buy_to_cover``
    (see ``place_order``)."""

    account: str | None
    tag: str | None
    good_for: int | None
    good_till: Literal["day"] | None
    stop: float | None


def place_order(
    code: Code,
    side: Side,
    effect: Effect,
    volume: float,
    price: float | None = None,
    *,
    account: str | None = None,
    stop_loss: GapLike | None = None,
    take_profit: GapLike | None = None,
    trailing_stop: TrailingLike | None = None,
    tag: str | None = None,
    good_for: int | None = None,
    good_till: Literal["day"] | None = None,
    stop: float | None = None,
) -> OrderRef:
    """Place an order: ``side`` "buy" or "sell", ``effect`` "open" or "close";
    a limit order at ``price``, or a market order when ``price`` is None.
    With ``stop``, a stop entry: it waits until a later bar reaches the stop
    (a buy when the price rises to it, a sell when it falls to it), then
    fills at the first price at or beyond it, or with ``price`` too becomes
    a limit order at ``price`` (a stop-limit).  Optional stop orders protect
    its fill (see ``protect``).  ``good_for=N`` cancels it (as "expired") if
    N bars have not filled it; ``good_till="day"`` if the day's last bar has
    not (with daily bars: the next bar).  Returns an ``OrderRef``."""
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
        raise StrategyError(
            "stop orders protect an opening order; a closing order cannot carry them"
        )
    last = _last_bar(session, good_for, good_till)
    return _place(
        session, target, handle, sides[side], effects[effect], volume, price, stops, tag, last, stop
    )


_Stops: TypeAlias = "list[tuple[str, Gap | Trailing]]"


def _place(
    session: Session,
    target: int,
    handle: int,
    side: int,
    effect: int,
    volume: float,
    price: float | None,
    stops: _Stops,
    tag: str | None,
    last: int | None,
    stop: float | None = None,
) -> OrderRef:
    """Place one order whose arguments were checked; its stops and expiry with it.
    An opening order off the lot grid of futures, or on the grid but below the
    contract's min_volume, is denied at once (the engine checks a stock's lot)."""
    record = session.new_order(
        target, handle, side, effect, volume, price, tag, **({} if stop is None else {"stop": stop})
    )
    ref = OrderRef(record, session.codes[target], session.account_names[handle])
    if effect == gv.PositionEffect_Open and _host_denies(session.contracts[target], volume):
        session.deny(record)
        return ref
    for kind, gap in stops:
        session.new_stop(record, kind, gap)
    if last is not None:
        session.expire_after(record, last)
    return ref


def _host_denies(contract: Contract, volume: float) -> bool:
    """Whether the host denies an opening order of ``volume``: off the lot grid of
    futures (the engine checks only a stock's), or on the grid below min_volume."""
    if volume > MAX_ORDER_VOLUME:
        return False  # the engine denies it for that
    lot, least = contract.lot_size, contract.min_volume
    if _plain(volume) and isinstance(lot, int) and isinstance(least, int):
        # whole numbers: plain arithmetic is exact
        return contract.is_futures if volume % lot else volume < least
    if not on_grid(volume, lot):
        return contract.is_futures
    return exact(volume) < exact(least)


def _last_bar(session: Session, good_for: object, good_till: object) -> int | None:
    """The last bar an order placed now may be matched against (None: no expiry)."""
    if good_for is not None and (
        isinstance(good_for, bool) or not isinstance(good_for, numbers.Integral) or good_for <= 0
    ):
        raise StrategyError(f"good_for must be a whole number of bars above 0, got {good_for!r}")
    if good_till is not None and not (isinstance(good_till, str) and good_till == "day"):
        raise StrategyError(f"good_till must be 'day' (or None), got {good_till!r}")
    if good_for is None and good_till is None:
        return None
    return session.last_bar(None if good_for is None else int(good_for), good_till)


def buy(
    code: Code, volume: float, price: float | None = None, **options: Unpack[OrderOptions]
) -> OrderRef:
    """Open (or add to) a long position.  ``options``: account, stop_loss,
    take_profit, trailing_stop, tag, stop (a stop entry, see ``place_order``)."""
    return place_order(code, "buy", "open", volume, price, **options)


def sell(
    code: Code, volume: float, price: float | None = None, **options: Unpack[OrderOptions]
) -> OrderRef:
    """Close (part of) a long position."""
    return place_order(code, "sell", "close", volume, price, **options)


def sell_short(
    code: Code, volume: float, price: float | None = None, **options: Unpack[OrderOptions]
) -> OrderRef:
    """Open (or add to) a short position."""
    return place_order(code, "sell", "open", volume, price, **options)


def buy_to_cover(
    code: Code, volume: float, price: float | None = None, **options: Unpack[OrderOptions]
) -> OrderRef:
    """Close (part of) a short position."""
    return place_order(code, "buy", "close", volume, price, **options)


def _stop_requests(
    stop_loss: GapLike | None, take_profit: GapLike | None, trailing_stop: TrailingLike | None
) -> _Stops:
    stops: _Stops = []
    if stop_loss is not None:
        stops.append(("loss", _gap(stop_loss, "stop_loss")))
    if take_profit is not None:
        stops.append(("profit", _gap(take_profit, "take_profit")))
    if trailing_stop is not None:
        if not isinstance(trailing_stop, Trailing):
            trailing_stop = trailing(trailing_stop)
        stops.append(("trailing", trailing_stop))
    return stops


def protect(
    order: OrderRef,
    *,
    stop_loss: GapLike | None = None,
    take_profit: GapLike | None = None,
    trailing_stop: TrailingLike | None = None,
) -> None:
    """Attach stop orders to an opening order placed earlier that has not yet
    been filled.  They are armed at its fill."""
    if not isinstance(order, OrderRef):
        raise StrategyError(
            f"protect() takes an order returned by buy() or sell_short(), got {order!r}"
        )
    record = order._record
    if record.position_effect != gv.PositionEffect_Open:
        raise StrategyError(
            f"order #{order.order_id} closes a position: stop orders protect opening orders"
        )
    if not order.is_open:
        raise StrategyError(
            f"order #{order.order_id} is {order.status}: stop orders must be attached "
            "before the order fills"
        )
    stops = _stop_requests(stop_loss, take_profit, trailing_stop)
    if not stops:
        raise StrategyError("protect() needs stop_loss, take_profit or trailing_stop")
    session = _session()
    for kind, gap in stops:
        session.new_stop(record, kind, gap)


def cancel(order: OrderRef) -> bool:
    """Cancel an order that has not been filled yet; True when it was cancelled."""
    if not isinstance(order, OrderRef):
        raise StrategyError(
            f"cancel() takes an order returned by the order functions, got {order!r}"
        )
    return _session().cancel(order._record)


# ------------------------------------------------------------------ targets
#
# A target names the position a code should come to; the order functions
# below work out the order that brings it there.  They count the code's
# pending orders of the account as if they will fill; the pending orders
# that work against the change still needed (buying where it sells) are
# cancelled first.  A change through zero (long to short) is two orders
# placed together: the close of the whole position, then the opening order
# for the rest; the engine deals a bar's orders in the order they were
# placed, so the close is done (and its cash back) before the open is
# matched.  Opening volumes are whole lots, rounded toward zero.


class TargetOptions(StopOptions, total=False):
    """The keyword options of ``order_target``, ``order_target_value`` and
    ``order_target_percent``."""

    account: str | None
    price: float | None
    tag: str | None
    good_for: int | None
    good_till: Literal["day"] | None


def _target_options(options: Mapping[str, Any]) -> Mapping[str, Any]:
    """The keyword options of a target, checked: (account, price, stops, tag,
    good_for, good_till)."""
    unknown = set(options) - {
        "account",
        "price",
        "stop_loss",
        "take_profit",
        "trailing_stop",
        "tag",
        "good_for",
        "good_till",
    }
    if unknown:
        raise TypeError(f"unexpected keyword argument {sorted(unknown)[0]!r}")
    return options


def _signed_unfilled(record: Any) -> float:
    return float(record.unfilled_volume) * (1.0 if record.side == gv.OrderAct_Buy else -1.0)


def _pending_of(target: int, handle: int) -> list[Any]:
    """The account's orders of the target that can still fill, in placement order."""
    return [
        record
        for record in framekit.vr.g_KVOrders.snap_obj("unfilled")
        if record.status in (gv.OrderStatus_PreHolding, gv.OrderStatus_Holding)
        and record.target_idx == target
        and record.handle_idx == handle
    ]


@dataclass
class _Plan:
    """How one code comes to its target: the pending orders to cancel, then
    a closing and an opening order on ``side`` (either volume may be 0)."""

    target: int
    cancel: list[Any]
    side: int = gv.OrderAct_Buy
    close: float = 0.0
    open: float = 0.0


def plan_target(
    long: float, short: float, pending: list[tuple[float, bool]], goal: float, lot: float
) -> tuple[list[int], int, float, float]:
    """The orders that bring a position of ``long`` and ``short`` volumes,
    with ``pending`` orders (``(signed unfilled volume, closes)`` pairs, in
    placement order), to the net volume ``goal``: ``(cancelled, side, close,
    open)`` where ``cancelled`` are the positions in ``pending`` of the
    orders to cancel, ``side`` +1 (buy) or -1 (sell), ``close`` the volume
    to close and ``open`` the volume to open, a whole number of ``lot``s.

    Pending orders count as filled; those working against the change still
    needed are cancelled (and the change worked out again).  A close never
    asks for more than the leg holds less what pending closes of it take."""
    if all(_plain(v) for v in (long, short, goal, lot, *(p for p, _ in pending))):
        return _plan_in(long, short, pending, goal, lot, lambda v: v, math.fsum, 0.0)
    # a volume or the lot is fractional: the same steps exactly in decimal
    # (0.3 lots less 0.1 is 0.2 lots, not 0.19999999999999998)
    return _plan_in(
        long, short, pending, goal, lot, exact, lambda vs: sum(vs, Fraction(0)), Fraction(0)
    )


def _plan_in(
    long: float,
    short: float,
    pending: list[tuple[float, bool]],
    goal: float,
    lot: float,
    num: Callable[[float], Any],
    total: Callable[[Iterable[Any]], Any],
    zero: Any,
) -> tuple[list[int], int, float, float]:
    """The steps of ``plan_target`` on numbers made by ``num`` and summed by ``total``."""
    held = num(long) - num(short)
    signed = [num(p) for p, _ in pending]
    keep = list(range(len(pending)))
    cancelled: list[int] = []
    while True:
        delta = num(goal) - (held + total(signed[k] for k in keep))
        against = [k for k in keep if (signed[k] > 0) != (delta > 0)]
        if delta == 0 or not against:
            break
        cancelled += against
        keep = [k for k in keep if k not in against]
    if delta == 0:
        return cancelled, 0, 0.0, 0.0
    side = 1 if delta > 0 else -1
    leg = num(short if side > 0 else long)
    taken = total(abs(signed[k]) for k in keep if pending[k][1])
    close = min(abs(delta), max(zero, leg - taken))
    step = num(lot)
    opened = math.trunc((abs(delta) - close) / step) * step
    return cancelled, side, float(close), float(opened)


def _plain(value: float) -> bool:
    """Whether ``value`` is no fractional float (plain float arithmetic is exact on it)."""
    return not (isinstance(value, float) and math.isfinite(value) and not value.is_integer())


def _lots(volume: float, lot: float) -> float:
    """``volume`` rounded toward zero to a whole number of lots (exactly in decimal
    for a fractional lot: 0.3 is three lots of 0.1)."""
    if _plain(lot):
        return float(math.trunc(volume / lot) * lot)
    return lots_down(volume, lot)


# Beyond this a target is no order the engine could take (nor a volume a bar could trade).
_MAX_TARGET_VOLUME = 1e15


def _plan(session: Session, target: int, handle: int, goal: float) -> _Plan:
    if not abs(goal) <= _MAX_TARGET_VOLUME:
        raise StrategyError(
            f"target of {session.codes[target]} comes to {goal:g} units: beyond "
            f"{_MAX_TARGET_VOLUME:g}, no order could fill it"
        )
    contract = session.contracts[target]
    held = session.accounts[handle].position(target)
    long, short = (
        (0.0, 0.0) if held is None else (float(held.position_long), float(held.position_short))
    )
    pending = _pending_of(target, handle)
    cancelled, side, close, opened = plan_target(
        long,
        short,
        [(_signed_unfilled(r), r.position_effect != gv.PositionEffect_Open) for r in pending],
        _lots(goal, contract.lot_size),
        contract.lot_size,
    )
    if opened and exact(opened) < exact(contract.min_volume):
        opened = 0.0  # below the contract's smallest opening order: as less than a lot
    return _Plan(
        target,
        [pending[k] for k in cancelled],
        gv.OrderAct_Buy if side >= 0 else gv.OrderAct_Sell,
        close,
        opened,
    )


def _carry_out(
    session: Session,
    plans: list[_Plan],
    handle: int,
    price: float | None,
    stops: _Stops,
    tag: str | None,
    last: int | None,
) -> list[OrderRef]:
    """Cancel, then place every plan's closing order, then every opening
    order; returns the orders placed, in that order."""
    for plan in plans:
        for record in plan.cancel:
            session.cancel(record)
    placed: list[OrderRef] = []
    for plan in plans:
        if plan.close > 0:
            placed.append(
                _place(
                    session,
                    plan.target,
                    handle,
                    plan.side,
                    gv.PositionEffect_Close,
                    plan.close,
                    price,
                    [],
                    tag,
                    last,
                )
            )
    for plan in plans:
        if plan.open > 0:
            placed.append(
                _place(
                    session,
                    plan.target,
                    handle,
                    plan.side,
                    gv.PositionEffect_Open,
                    plan.open,
                    price,
                    stops,
                    tag,
                    last,
                )
            )
    return placed


def _order_to(
    code: Code,
    goal_of: Callable[[Session, int, int, float | None], float],
    options: Mapping[str, Any],
) -> OrderRef | None:
    """The target functions' common part: ``goal_of(session, target, handle,
    price)`` gives the net volume wanted (any real number)."""
    options = _target_options(options)
    session = _session()
    target = session.target_of(code)
    handle = session.account_of(options.get("account"))
    price = _price(options.get("price"))
    stops = _stop_requests(
        options.get("stop_loss"), options.get("take_profit"), options.get("trailing_stop")
    )
    last = _last_bar(session, options.get("good_for"), options.get("good_till"))
    goal = goal_of(session, target, handle, price)
    if goal < 0 and target in session.no_contract:
        code = session.codes[target]
        raise StrategyError(
            f"a target of {code} cannot be short: {code} has no contract and is traded as a "
            "stock, long only; give its contract (contracts=, --contracts), e.g. as futures"
        )
    if goal < 0 and session.contracts[target].kind == "stock":
        raise StrategyError(
            f"a target of {session.codes[target]} cannot be short: targets of a stock are "
            "long only (sell_short() opens a short)"
        )
    plan = _plan(session, target, handle, goal)
    placed = _carry_out(session, [plan], handle, price, stops, options.get("tag"), last)
    return placed[-1] if placed else None


def _number(value: float, what: str) -> float:
    if not _is_real(value) or not math.isfinite(value):
        raise StrategyError(f"{what} must be a finite number, got {value!r}")
    return float(value)


def _sizing_price(session: Session, target: int, price: float | None) -> float:
    """The price a value is turned into volume at: the limit price, else the last close."""
    if price is not None:
        return price
    close = float(session.last_closes()[target])
    if not math.isfinite(close):
        raise StrategyError(
            f"{session.codes[target]} has no close yet to size a target by: give price=, "
            "or set the target from on_data"
        )
    return close


def _volume_for(session: Session, target: int, value: float, price: float | None) -> float:
    contract = session.contracts[target]
    return value / (_sizing_price(session, target, price) * contract.multiplier)


def order_target(code: Code, volume: float, **options: Unpack[TargetOptions]) -> OrderRef | None:
    """Bring the net position in ``code`` to ``volume`` (negative: short, for
    futures; a stock's targets are long only),
    rounded toward zero to whole lots.  Places the order that does it (a
    buy or sell, opening or closing) and returns it, or None when the
    position (counting pending orders) is already there.  Options as for
    ``buy``: account, price, stop_loss, take_profit, trailing_stop, tag,
    good_for, good_till; stops protect what the order opens.  From long to
    short (or back) it places two orders, the close of the position and the
    opening order for the rest, and returns the opening one."""
    volume = _number(volume, "target volume")
    return _order_to(code, lambda session, target, handle, price: volume, options)


def order_target_value(
    code: Code, value: float, **options: Unpack[TargetOptions]
) -> OrderRef | None:
    """Bring the position in ``code`` to ``value`` (price x volume x
    multiplier; 0 or more) at the limit price, or at the last close
    for a market order; see ``order_target``."""
    value = _number(value, "target value")
    if value < 0:
        raise StrategyError(
            f"target value must be 0 or more, got {value!r} (a short target is a "
            "negative volume or fraction, of a futures contract)"
        )
    return _order_to(
        code,
        lambda session, target, handle, price: _volume_for(session, target, value, price),
        options,
    )


def order_target_percent(
    code: Code, fraction: float, **options: Unpack[TargetOptions]
) -> OrderRef | None:
    """Bring the position in ``code`` to ``fraction`` (from -1 to 1, negative
    only for futures; 0.25 is a quarter) of the account's equity at the last close; see
    ``order_target_value``."""
    fraction = _number(fraction, "target fraction")
    if not -1.0 <= fraction <= 1.0:
        raise StrategyError(
            f"target fraction must be from -1 to 1 (a share of equity), got {fraction!r}"
        )
    return _order_to(
        code,
        lambda session, target, handle, price: _volume_for(
            session, target, fraction * session.equity(handle), price
        ),
        options,
    )


def rebalance(
    weights: Mapping[Code, float],
    *,
    account: str | None = None,
    cash_buffer: float = 0.0,
    tag: str | None = None,
    good_for: int | None = None,
    good_till: Literal["day"] | None = None,
) -> list[OrderRef]:
    """Bring every code of ``weights`` (``{code: weight}``, each at least 0,
    summing to at most 1) to its weight of the account's equity at the last
    close, less ``cash_buffer`` (a share of equity kept in cash), and every
    other code the account holds to 0, with market orders.  All reducing
    and closing orders are placed before the opening ones, so that in the
    next bar the opening orders find the cash the others freed.  Returns the
    orders placed, in the order they were placed."""
    if not isinstance(weights, Mapping):
        raise StrategyError(
            f"rebalance() takes a mapping {{code: weight}}, got {type(weights).__name__}"
        )
    session = _session()
    handle = session.account_of(account)
    wanted: dict[int, float] = {}
    for code, weight in weights.items():
        target = session.target_of(code)
        if not _is_real(weight) or not math.isfinite(weight) or weight < 0:
            raise StrategyError(f"weight of {code} must be a number of at least 0, got {weight!r}")
        if target in wanted:
            raise StrategyError(f"{code} is given twice in the weights")
        wanted[target] = float(weight)
    total = math.fsum(wanted.values())
    if total > 1 + 1e-9:
        raise StrategyError(f"weights sum to {total:g}: at most 1 (the whole equity)")
    if not _is_real(cash_buffer) or not 0 <= cash_buffer < 1:
        raise StrategyError(
            f"cash_buffer must be a share of equity from 0 up to 1, got {cash_buffer!r}"
        )
    last = _last_bar(session, good_for, good_till)
    equity = session.equity(handle) * (1.0 - float(cash_buffer))
    account_ = session.accounts[handle]
    others = {
        record.target_idx
        for record in framekit.vr.g_KVOrders.snap_obj("unfilled")
        if record.handle_idx == handle
        and record.status in (gv.OrderStatus_PreHolding, gv.OrderStatus_Holding)
    }
    for target in range(len(session.codes)):
        held = account_.position(target)
        if held is not None and (held.position_long or held.position_short):
            others.add(target)
    goals = {
        target: (_volume_for(session, target, weight * equity, None) if weight else 0.0)
        for target, weight in wanted.items()
    }
    for target in sorted(others):
        goals.setdefault(int(target), 0.0)
    plans = [_plan(session, target, handle, goal) for target, goal in goals.items()]
    return _carry_out(session, plans, handle, None, [], tag, last)


# ------------------------------------------------------------------ reading state


def codes() -> list[str]:
    """The codes of the run, in target order."""
    return list(_session().codes)


def accounts() -> list[str]:
    """The account names of the run."""
    return list(_session().account_names)


def contract(code: Code) -> Contract:
    """The ``korvit.data.Contract`` of ``code``: kind ("stock" or "futures"),
    min_move, multiplier, margins, lot_size and fees, as the run charges them."""
    session = _session()
    return session.contracts[session.target_of(code)]


def position(code: Code, account: str | None = None) -> float:
    """Net position in ``code``: long volume less short volume."""
    session = _session()
    held = session.accounts[session.account_of(account)].position(session.target_of(code))
    if held is None:
        return 0.0
    return float(held.position_long - held.position_short)


def positions(account: str | None = None) -> dict[str, float]:
    """``{code: net volume}`` of every position that is not flat."""
    session = _session()
    held_by = session.accounts[session.account_of(account)]
    out: dict[str, float] = {}
    for target, code in enumerate(session.codes):
        held = held_by.position(target)
        if held is not None and (held.position_long or held.position_short):
            out[code] = float(held.position_long - held.position_short)
    return out


def cash(account: str | None = None) -> float:
    """The account's cash (margin of futures positions is not part of it)."""
    session = _session()
    return float(session.accounts[session.account_of(account)].cash)


def equity(account: str | None = None) -> float:
    """The account's equity at the last close the strategy has seen: its
    cash, plus its stocks at their value (less those sold short), plus the
    margin and open profit of its futures; the equity curve's value at that
    bar (in ``init``, the starting cash)."""
    session = _session()
    return float(session.equity(session.account_of(account)))


def available_cash(account: str | None = None) -> float:
    """Cash less what pending orders hold back."""
    session = _session()
    return float(session.accounts[session.account_of(account)].valid_cash())


def pending_orders(code: Code | None = None, account: str | None = None) -> list[OrderRef]:
    """Orders not yet filled, cancelled or denied, as ``OrderRef``s."""
    session = _session()
    target = None if code is None else session.target_of(code)
    handle = None if account is None else session.account_of(account)
    out: list[OrderRef] = []
    for record in framekit.vr.g_KVOrders.snap_obj("unfilled"):
        if record.status not in (gv.OrderStatus_PreHolding, gv.OrderStatus_Holding):
            continue
        if (target is None or record.target_idx == target) and (
            handle is None or record.handle_idx == handle
        ):
            out.append(
                OrderRef(
                    record,
                    session.codes[record.target_idx],
                    session.account_names[record.handle_idx],
                )
            )
    return out


@overload
def history(
    code: Code, field: Field = "close", count: int = 1, timeframe: str | None = None
) -> npt.NDArray[np.float64]: ...
@overload
def history(
    code: Code, field: Literal["time"], count: int = 1, timeframe: str | None = None
) -> npt.NDArray[np.datetime64]: ...


def history(
    code: Code,
    field: Field | Literal["time"] = "close",
    count: int = 1,
    timeframe: str | None = None,
) -> npt.NDArray[np.float64] | npt.NDArray[np.datetime64]:
    """The last ``count`` values of ``field`` ("open", "high", "low", "close",
    "volume" or "time") of ``code`` up to the current bar, oldest first, as a
    numpy array (shorter at the start of the data, empty in ``init``: an
    order placed there fills at the first bar's open, before its prices;
    a run with a warm-up (``Backtest(warmup=...)``) counts the warm-up's bars
    as history, in ``init`` too).

    With ``timeframe`` ("15min", "1h", "1D", "1W": see ``korvit.indicators``),
    the last ``count`` periods of that timeframe finished by the current bar,
    one value each ("time": the period's end), never the period still
    running: on minute bars ``history(code, "close", 2, timeframe="1D")``
    holds the closes of the last two finished days."""
    if (
        type(count) is not int
        and (isinstance(count, bool) or not isinstance(count, numbers.Integral))
    ) or count < 1:  # a plain int skips the slower check of the number types
        raise StrategyError(f"history count must be a positive whole number, got {count!r}")
    session = _session()
    target, bar = session.target_of(code), session.visible_bar
    if timeframe is not None:
        from korvit.backtest.timeframes import session_timeframe  # loads pandas, the calendars

        frame = session_timeframe(session, timeframe)
        if frame is not None:
            return _periods_history(session, target, field, int(count), frame, bar)
    first = bar - (count if type(count) is int else int(count)) + 1
    if first < 0:
        first = 0
    at = _FIELD_AT.get(field) if type(field) is str else None  # the common case, at once
    if at is None:
        if field == "time":
            times: npt.NDArray[np.datetime64] = session.bars.times[first : bar + 1].to_numpy()
            return times
        at = _FIELD_AT.get(field) if isinstance(field, str) else None
        if at is None:
            raise StrategyError(
                f"unknown bar field {field!r}; fields: {', '.join(FIELDS + ('time',))}"
            )
    values: npt.NDArray[np.float64] = session.bars.values[target, first : bar + 1, at].copy()
    return values


def _periods_history(
    session: Session, target: int, field: object, count: int, frame: Timeframe, bar: int
) -> npt.NDArray[np.float64] | npt.NDArray[np.datetime64]:
    """``history`` of the periods of ``frame`` finished by bar ``bar``."""
    from korvit.backtest.timeframes import resampled

    at = _FIELD_AT.get(field) if isinstance(field, str) else None
    if at is None and field != "time":
        raise StrategyError(f"unknown bar field {field!r}; fields: {', '.join(FIELDS + ('time',))}")
    periods = resampled(session, target, frame)
    n = periods.finished(bar)
    first = max(0, n - count)
    if at is None:
        times: npt.NDArray[np.datetime64] = periods.ends[first:n].copy()
        return times
    values: npt.NDArray[np.float64] = periods.values[first:n, at].copy()
    return values


def current_price(code: Code) -> float:
    """The close of ``code`` at the current bar (NaN when it has no bar then,
    and in ``init``, before the first bar; in ``init`` of a run with a
    warm-up, the close of the warm-up's last bar)."""
    session = _session()
    target, bar = session.target_of(code), session.visible_bar
    return float(session.bars.values[target, bar, 3]) if bar >= 0 else math.nan


def now() -> datetime:
    """The time of the current bar."""
    return _session().now()
