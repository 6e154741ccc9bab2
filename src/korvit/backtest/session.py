"""The running backtest's session: what a run shares with the strategy API.

The run loop (``korvit.backtest.runner``) makes a ``Session`` for every run
and makes it current while the run lasts; the strategy API
(``korvit.strategy``) reads the current one: the run's bars and codes, its
contracts and accounts, the bar the loop is at, and how new orders and stop
orders are recorded.  Both import this module, never each other::

    korvit.strategy  ->  korvit.backtest.session  <-  korvit.backtest.runner

The record classes and ``framekit``'s registry are looked up in this
module's globals when used, so a test or a host that installs other ones
here is obeyed.
"""

from __future__ import annotations

import collections
import heapq
import types
from collections.abc import Iterable, Sequence
from datetime import datetime
from typing import TYPE_CHECKING, Any, Protocol, cast

import numpy as np
import numpy.typing as npt

import korvit.tframe.framekit as framekit
from korvit.backtest.model.orders import KVBackOrder, KVBackStopOrder
from korvit.tframe.sysdefine import GlobalDefine as gv

if TYPE_CHECKING:
    from korvit.data.bars import Bars
    from korvit.data.calendars import Calendar
    from korvit.data.contracts import Contract

__all__ = ["Session", "Context", "StrategyError", "current_session", "running_session", "valuation"]

_NAN = float("nan")


class _Gap(Protocol):
    """A stop's gap as ``korvit.strategy.Gap`` holds it."""

    @property
    def value(self) -> float: ...
    @property
    def kind(self) -> str: ...


class _Trailing(Protocol):
    """A trailing stop as ``korvit.strategy.Trailing`` holds it."""

    @property
    def gap(self) -> _Gap: ...
    @property
    def activate(self) -> _Gap: ...


_OPEN = (gv.OrderStatus_PreHolding, gv.OrderStatus_Holding)


class StrategyError(ValueError):
    """A strategy called the API with arguments it cannot act on."""

    __module__ = "korvit.strategy"  # its public home; korvit.strategy re-exports it


class TimeframeError(StrategyError):
    """A timeframe the run's bars cannot give (unknown, finer than the bars or
    not a multiple of them): bad input, as a bad option is."""

    __module__ = "korvit.strategy"


_current: Session | None = None


def current_session() -> Session | None:
    """The ``Session`` of the backtest running now, or None."""
    return _current


def running_session() -> Session:
    """The ``Session`` of the backtest running now; RuntimeError when none runs."""
    if _current is None:
        raise RuntimeError(
            "no backtest is running: the strategy API works inside a strategy's "
            "callbacks while korvit runs it"
        )
    return _current


def open_session(session: Session) -> None:
    """Make ``session`` the current one (the run loop's, at the start of a run)."""
    global _current
    _current = session


def close_session() -> None:
    """No session is current any more (the run loop's, at the end of a run)."""
    global _current
    _current = None


class Session:
    """What the strategy API needs of the backtest running now."""

    def __init__(
        self,
        bars: Bars,
        contracts: Sequence[Contract],
        account_names: Iterable[str],
        accounts: Sequence[Any],
        env: Any,
    ) -> None:
        self.bars = bars
        self.codes = list(bars.codes)
        self.contracts = contracts
        self.account_names = list(account_names)
        self.accounts = accounts
        self.env = env
        self.bar = 0
        self.first = 0  # the first bar traded; those before it are a warm-up, history only
        self.started = False  # the bar loop has begun (init is over)
        self.seen = -1  # the newest bar the strategy has seen (on_data ran for it)
        # the closes forward-filled, codes x bars (set by the run loop)
        self.closes: npt.NDArray[np.float64] | None = None
        # heap of (last bar an order may be matched against, id, order)
        self._expiries: list[tuple[int, int, Any]] = []
        # orders cancelled, on_order_status not yet told
        self._notices: collections.deque[Any] = collections.deque()
        self._day_last: npt.NDArray[np.intp] | None = None
        # the run's calendar (set by the run loop before init runs; None outside a run)
        self.calendar: Calendar | None = None
        # the run's account class, as the run loop values its accounts
        self.account_type: type | None = None
        # (bar, trades made on it) for every bar with fills, in order, and the bar
        # each fired stop fired on (by id): set by the run loop
        self.fills: list[tuple[int, int]] = []
        self.fired_on: dict[int, int] = {}
        # the target indices of the codes without a contract (traded as stocks)
        self.no_contract: frozenset[int] = frozenset()
        self.indicators: dict[
            Any, Any
        ] = {}  # the run's indicators (korvit.indicators), each made once
        # those made in init, in order, drawn on the report's price charts:
        # (target index, label, Series, pane or None)
        self.drawn: list[tuple[int, str, Any, str | None]] = []
        # in a run whose bars grow (paper trading): each indicator's series and what
        # they are made of, to make them again over the bars so far (None: not kept)
        self.remakes: list[tuple[list[Any], tuple[Any, ...]]] | None = None
        self._targets = {code.upper(): k for k, code in enumerate(self.codes)}
        self._written = {code: k for k, code in enumerate(self.codes)}
        self._handles = {name: k for k, name in enumerate(self.account_names)}

    def target_of(self, code: object) -> int:
        if type(code) is str:  # the common case: a code as the run writes it
            found = self._written.get(code)
            if found is not None:
                return found
        if isinstance(code, (int, np.integer)) and not isinstance(code, bool):
            if 0 <= code < len(self.codes):
                return int(code)
            raise StrategyError(
                f"target index {code} out of range: the run has {len(self.codes)} codes"
            )
        if not isinstance(code, str):
            raise TypeError(
                f"a code must be text like 'SZSE.000001' (or a target index), got {code!r}"
            )
        try:
            return self._targets[code.upper()]
        except KeyError:
            from korvit.backtest.listing import shortened

            raise StrategyError(
                f"unknown code {code!r}; the run's codes: {shortened(self.codes)}"
            ) from None

    def account_of(self, name: object) -> int:
        if name is None:
            return 0
        try:
            return self._handles[name]  # type: ignore[index]  # an unhashable name is refused below
        except (KeyError, TypeError):
            raise StrategyError(
                f"unknown account {name!r}; accounts: {', '.join(self.account_names)}"
            ) from None

    def now(self) -> datetime:
        """The time of the current bar."""
        stamp: datetime = self.bars.times[self.bar].to_pydatetime()
        return stamp

    def new_order(
        self,
        target: int,
        handle: int,
        side: int,
        effect: int,
        volume: float,
        price: float | None,
        tag: str | None,
        stop: float | None = None,
    ) -> Any:
        """A new order: a limit order at ``price`` or a market order (None); with
        ``stop``, a stop entry that waits until a bar reaches that price (a
        stop-limit when it has a ``price``)."""
        vr = framekit.vr
        extra = {} if stop is None else {"stop_trigger": stop}
        order = KVBackOrder.create(
            handle_idx=handle,
            target_idx=target,
            code=self.codes[target],
            order_id=vr.g_KVOrders.size + 1,
            order_price=0.0 if price is None else price,
            target_type=self.env.get_target_type(target),
            position_effect=effect,
            order_status=gv.OrderStatus_PreHolding,
            created_time=self.env.fresh_bar_time,
            volume=volume,
            order_ctg=gv.OrderCtg_Market if price is None else gv.OrderCtg_Limit,
            order_side=side,
            tag=tag,
            **extra,
        )
        vr.g_KVOrders.append(order.order_id, order)
        return order

    def new_stop(self, order: Any, kind: str, gap: _Gap | _Trailing) -> Any:
        """A stop order of ``kind`` ("loss", "profit" or "trailing") protecting ``order``'s
        fill at ``gap`` (a ``korvit.strategy.Gap``, or a ``Trailing`` for "trailing")."""
        stops = framekit.vr.g_KVStopOrders
        stop_gap: _Gap
        extra: dict[str, Any]
        if kind == "trailing":
            trailing = cast(_Trailing, gap)
            stop_gap, activate = trailing.gap, trailing.activate
            extra = {
                "trailing_gap_type": _gap_type(
                    activate.kind, gv.OrderStop_TrailingGap_Point, gv.OrderStop_TrailingGap_Percent
                ),
                "trailing_gap": float(activate.value),
            }
            stop_type = gv.StopOrderType_Trailing
        else:
            stop_gap, extra = cast(_Gap, gap), {}
            if kind == "loss":
                stop_type = gv.StopOrderType_Loss
            elif kind == "profit":
                stop_type = gv.StopOrderType_Profit
            else:
                raise KeyError(kind)
        stop = KVBackStopOrder.create(
            stop_order_id=stops.size + 1,
            target_order_id=order.order_id,
            target_idx=order.target_idx,
            handle_idx=order.handle_idx,
            act=order.side,
            stop_order_type=stop_type,
            stop_gap_type=_gap_type(
                stop_gap.kind, gv.OrderStop_StopGap_Point, gv.OrderStop_StopGap_Percent
            ),
            stop_gap=float(stop_gap.value),
            volume=order.volume,
            ctg=gv.OrderCtg_Market,
            **extra,
        )
        stops.append(stop.stop_order_id, stop)
        return stop

    def cancel(self, order: Any, reason: float = _NAN) -> bool:
        """Cancel ``order`` if it can still fill (False otherwise): its
        account gives back the cash and position it held back at once, and
        ``on_order_status`` hears of it once the code that cancelled it has
        returned (see ``tell``).  ``reason`` is the engine's reason code
        (``gv.OrderReject_...``), NaN for a strategy's own cancel."""
        if order.status not in _OPEN:
            return False
        order.update_status(gv.OrderStatus_Cancelled, reason, self.env.fresh_bar_time)
        framekit.vr.g_KorvitAccounts[int(order.handle_idx)].on_order([order])
        self._notices.append(order)
        return True

    def deny(self, order: Any) -> None:
        """Deny a new ``order`` for its volume (the host's lot and min_volume checks):
        denied with the engine's reason for an illegal volume, its account told at
        once, ``on_order_status`` told as of a cancel (see ``tell``)."""
        order.update_status(
            gv.OrderStatus_Denied, gv.OrderReject_IllegalVolume, self.env.fresh_bar_time
        )
        framekit.vr.g_KorvitAccounts[int(order.handle_idx)].on_order([order])
        self._notices.append(order)

    def tell(self) -> None:
        """Tell ``on_order_status`` of the orders cancelled since the last
        call, in the order they were cancelled (the run loop's, after init,
        after each bar is dealt and after each ``on_data``)."""
        notices = self._notices
        if not notices:  # the common case, twice a bar: nothing to look up
            return
        from korvit.backtest import domain  # the engine loads with the run, not with the API

        engine: Any = domain  # the hook is not part of the module's stub
        while notices:
            engine._back_test_call_on_order_status(notices.popleft())

    # -------------------------------------------------------------- expiry

    @property
    def visible_bar(self) -> int:
        """The newest bar whose prices the strategy may read: the current one,
        or in ``init``, whose orders fill at the first bar's open, the bar
        before the first traded (-1 without a warm-up)."""
        return self.bar if self.started else self.first - 1

    @property
    def placing_bar(self) -> int:
        """The bar an order placed now is placed at: it is matched from the
        next one on (in ``init``, the bar before the first traded: matched
        from the first)."""
        return self.bar if self.started else self.first - 1

    def last_bar(self, good_for: int | None = None, good_till: str | None = None) -> int | None:
        """The last bar an order placed now may be matched against, or None
        when it never expires: ``good_for`` bars after the placing one, and
        with ``good_till="day"`` no later than the last bar of the day
        (``days``: the session of the run's calendar) it was placed in (daily
        bars: the next bar)."""
        placed = self.placing_bar
        last = None if good_for is None else placed + good_for
        if good_till == "day":
            if self.bars.frequency == "day":
                day_last = placed + 1
            else:
                if self._day_last is None:
                    days = self.days()
                    ends = np.flatnonzero(np.r_[days[1:] != days[:-1], True])
                    self._day_last = np.repeat(ends, np.diff(np.r_[-1, ends]))
                day_last = int(self._day_last[max(placed, 0)])
            last = day_last if last is None else min(last, day_last)
        return last

    def days(self) -> npt.NDArray[np.int64]:
        """The day of every bar, as nanoseconds: its session of the run's
        calendar (``Calendar.day_of``: a bar outside every session, its date),
        its date without a calendar."""
        times = self.bars.times
        if self.calendar is None:
            return cast("npt.NDArray[np.int64]", times.normalize().asi8)
        days = self.calendar.day_of(times, self.bars.frequency == "day")
        return cast("npt.NDArray[np.int64]", days.view(np.int64))

    def expire_after(self, order: Any, last: int) -> None:
        """Cancel ``order`` as "expired" once bar ``last`` is dealt, if it has not filled."""
        heapq.heappush(self._expiries, (last, order.order_id, order))

    def expire(self, through: int) -> None:
        """Cancel the orders whose last bar is ``through`` or earlier (the run
        loop's, after each bar is dealt and after each ``on_data``)."""
        expiries = self._expiries
        while expiries and expiries[0][0] <= through:
            self.cancel(heapq.heappop(expiries)[2], gv.OrderReject_Expired)

    # -------------------------------------------------------------- valuation

    def last_closes(self) -> npt.NDArray[np.float64]:
        """Each code's close at the newest bar the strategy has seen (the
        last known close where a code has no bar then; NaN before its first
        bar, and for every code before the strategy has seen a bar)."""
        if self.seen < 0 or self.closes is None:
            return np.full(len(self.codes), _NAN)
        return self.closes[:, self.seen]

    def equity(self, handle: int) -> float:
        """The account's equity at the last close: cash plus the value of
        its stocks, plus the margin and open profit of its futures."""
        return valuation(
            self.accounts[handle], self.contracts, self.last_closes(), self.account_type
        )[0][3]


def _gap_type(kind: str, points: int, percent: int) -> int:
    """The engine's code of a gap of ``kind``: ``points`` or ``percent``."""
    if kind == "points":
        return points
    if kind == "percent":
        return percent
    raise KeyError(kind)


def contract_terms(contracts: Sequence[Contract]) -> list[tuple[bool, float]]:
    """``(is_futures, multiplier)`` of each contract, as ``valuation`` reads them."""
    return [(contract.is_futures, contract.multiplier) for contract in contracts]


def valuation(
    account: Any,
    contracts: Sequence[Contract],
    closes: Sequence[float] | npt.NDArray[np.float64],
    ours: type[Any] | None = None,
    terms: list[tuple[bool, float]] | None = None,
) -> tuple[tuple[float, float, float, float], bool]:
    """(cash, market value, margin, equity) of an account at the given closes
    (one per code), and whether it holds any position.  A stock counts at its
    value (negative when short); a futures position at its margin plus its
    open profit.  The positions of an account of exactly the type ``ours``
    (by default the compiled ``KVBackAccount``) are read from it directly.
    ``terms`` is ``contract_terms(contracts)`` when the caller keeps it (the
    run loop values every account at every bar)."""
    if terms is None:
        terms = contract_terms(contracts)
    if ours is None:
        from korvit.backtest.model.accounts import KVBackAccount as ours
    if type(account) is ours:
        held_positions = account._positions.items()  # our own account: no need to ask per code
    else:
        held_positions = ((target, account.position(target)) for target in range(len(contracts)))
    market_value = margin = 0.0
    held = False
    for target, position in held_positions:
        if position is None or not (position.position_long or position.position_short):
            continue
        held = True
        (futures, multiplier), close = terms[target], closes[target]
        if futures:
            position_margin = position.margin_long + position.margin_short
            floating = (
                (close - position.avg_open_price_long) * position.position_long
                + (position.avg_open_price_short - close) * position.position_short
            ) * multiplier
            margin += position_margin
            market_value += position_margin + floating
        else:
            market_value += (position.position_long - position.position_short) * close * multiplier
    cash = account.cash
    return (cash, market_value, margin, cash + market_value), held


_UNSET: Any = object()


class Params(dict):  # type: ignore[type-arg]
    """The run's parameters as the strategy reads them (``context.params``): a
    dict that also notes each default the strategy fell back on
    (``params.get("fast", 10)`` or ``params.setdefault(...)`` for a name not
    given), so that the results can state every value in force."""

    def __init__(self, given: Any = ()) -> None:
        super().__init__(given)
        self.defaults: dict[str, Any] = {}

    def get(self, key: Any, default: Any = None) -> Any:
        if key in self:
            return self[key]
        self.defaults.setdefault(key, default)
        return default

    def setdefault(self, key: Any, default: Any = None) -> Any:
        if key not in self:
            self.defaults.setdefault(key, default)
        return super().setdefault(key, default)

    def pop(self, key: Any, default: Any = _UNSET) -> Any:
        if key not in self and default is not _UNSET:
            self.defaults.setdefault(key, default)
            return default
        return super().pop(key) if default is _UNSET else super().pop(key, default)


def params_in_force(given: Any, context: Any) -> tuple[dict[str, Any], list[str]]:
    """The parameters a run was given, then the defaults its strategy read
    (in the order it first read them), and the names of those defaults."""
    params = dict(given or {})
    read = getattr(getattr(context, "params", None), "defaults", None)
    defaulted = []
    if isinstance(read, dict):
        for name, value in read.items():
            if isinstance(name, str) and name not in params:
                params[name] = value
                defaulted.append(name)
    return params, defaulted


class Context(types.SimpleNamespace):
    """What the callbacks get as ``context``: ``params`` (the run's parameters),
    ``codes`` and ``accounts``; a strategy may keep its own state on it."""

    params: dict[str, Any]
    codes: list[str]
    accounts: list[str]

    def __init__(self, params: Any, codes: Iterable[str], accounts: Iterable[str]) -> None:
        super().__init__(params=Params(params), codes=list(codes), accounts=list(accounts))

    @property
    def now(self) -> datetime:
        """The time of the current bar."""
        return running_session().now()
