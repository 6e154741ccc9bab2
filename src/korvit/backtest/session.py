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

import types

import numpy as np

import korvit.tframe.framekit as framekit
from korvit.backtest.model.orders import KVBackOrder, KVBackStopOrder
from korvit.tframe.sysdefine import GlobalDefine as gv

__all__ = ["Session", "Context", "current_session", "running_session"]

_NAN = float("nan")

_current = None


def current_session():
    """The ``Session`` of the backtest running now, or None."""
    return _current


def running_session():
    """The ``Session`` of the backtest running now; RuntimeError when none runs."""
    if _current is None:
        raise RuntimeError("no backtest is running: the strategy API works inside a strategy's "
                             "callbacks while korvit runs it")
    return _current


def open_session(session):
    """Make ``session`` the current one (the run loop's, at the start of a run)."""
    global _current
    _current = session


def close_session():
    """No session is current any more (the run loop's, at the end of a run)."""
    global _current
    _current = None


class Session:
    """What the strategy API needs of the backtest running now."""

    def __init__(self, bars, contracts, account_names, accounts, env):
        self.bars = bars
        self.codes = list(bars.codes)
        self.contracts = contracts
        self.account_names = list(account_names)
        self.accounts = accounts
        self.env = env
        self.bar = 0
        self._targets = {code.upper(): k for k, code in enumerate(self.codes)}
        self._handles = {name: k for k, name in enumerate(self.account_names)}

    def target_of(self, code):
        if isinstance(code, (int, np.integer)) and not isinstance(code, bool):
            if 0 <= code < len(self.codes):
                return int(code)
            raise ValueError(f"target index {code} out of range: the run has {len(self.codes)} codes")
        if not isinstance(code, str):
            raise TypeError(f"a code must be text like 'SZSE.000001' (or a target index), got {code!r}")
        try:
            return self._targets[code.upper()]
        except KeyError:
            raise ValueError(f"unknown code {code!r}; the run's codes: {', '.join(self.codes)}") from None

    def account_of(self, name):
        if name is None:
            return 0
        try:
            return self._handles[name]
        except (KeyError, TypeError):
            raise ValueError(f"unknown account {name!r}; accounts: {', '.join(self.account_names)}") from None

    def now(self):
        """The time of the current bar."""
        return self.bars.times[self.bar].to_pydatetime()

    def new_order(self, target, handle, side, effect, volume, price, tag, stop=None):
        """A new order: a limit order at ``price`` or a market order (None); with
        ``stop``, a stop entry that waits until a bar reaches that price (a
        stop-limit when it has a ``price``)."""
        vr = framekit.vr
        extra = {} if stop is None else {"stop_trigger": stop}
        order = KVBackOrder.create(
            handle_idx=handle, target_idx=target, code=self.codes[target],
            order_id=vr.g_KVOrders.size + 1, order_price=0.0 if price is None else price,
            target_type=self.env.get_target_type(target), position_effect=effect,
            order_status=gv.OrderStatus_PreHolding, created_time=self.env.fresh_bar_time,
            volume=volume, order_ctg=gv.OrderCtg_Market if price is None else gv.OrderCtg_Limit,
            order_side=side, tag=tag, **extra)
        vr.g_KVOrders.append(order.order_id, order)
        return order

    def new_stop(self, order, kind, gap):
        stops = framekit.vr.g_KVStopOrders
        kinds = {"loss": gv.StopOrderType_Loss, "profit": gv.StopOrderType_Profit,
                 "trailing": gv.StopOrderType_Trailing}
        stop_gap_types = {"points": gv.OrderStop_StopGap_Point, "percent": gv.OrderStop_StopGap_Percent}
        trailing_gap_types = {"points": gv.OrderStop_TrailingGap_Point,
                              "percent": gv.OrderStop_TrailingGap_Percent}
        if kind == "trailing":
            stop_gap, activate = gap.gap, gap.activate
            extra = {"trailing_gap_type": trailing_gap_types[activate.kind],
                     "trailing_gap": float(activate.value)}
        else:
            stop_gap, extra = gap, {}
        stop = KVBackStopOrder.create(
            stop_order_id=stops.size + 1, target_order_id=order.order_id, target_idx=order.target_idx,
            handle_idx=order.handle_idx, act=order.side, stop_order_type=kinds[kind],
            stop_gap_type=stop_gap_types[stop_gap.kind], stop_gap=float(stop_gap.value),
            volume=order.volume, ctg=gv.OrderCtg_Market, **extra)
        stops.append(stop.stop_order_id, stop)
        return stop

    def cancel(self, order):
        if order.status not in (gv.OrderStatus_PreHolding, gv.OrderStatus_Holding):
            return False
        order.update_status(gv.OrderStatus_Cancelled, _NAN, self.env.fresh_bar_time)
        return True


class Context(types.SimpleNamespace):
    """What the callbacks get as ``context``: ``params`` (the run's parameters),
    ``codes`` and ``accounts``; a strategy may keep its own state on it."""

    def __init__(self, params, codes, accounts):
        super().__init__(params=dict(params), codes=list(codes), accounts=list(accounts))

    @property
    def now(self):
        """The time of the current bar."""
        return running_session().now()
