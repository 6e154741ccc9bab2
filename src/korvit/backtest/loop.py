"""The run's engine: its set-up, and the bar loop.

Every run starts from a fresh registry, environment and history store
(``fresh_environment``), so two runs in one process never see each other's
bars, orders or accounts.  The run talks to a core process over a loopback
socket, as a live strategy would (``connect_core``): by default the process's
embedded stand-in core, started on a free port at the first run and kept for the
later ones, and the start-up handshake sets up the run's output and log
directories under the run's own folder; ``core="HOST:PORT"`` uses a running core
instead.  ``load_run`` puts the bars, ticks, contracts,
accounts and settings of the ``Backtest`` (``test``) into the engine and the
strategy's callbacks into the environment.

``bar_loop`` runs the strategy's ``init``, then for each bar ``t``, in this
order:

1. the fresh-bar cursor moves to ``t``;
2. with ``cancel_stale_orders``, at the first bar of a new day (a session of
   the run's calendar) the orders still pending from an earlier day are
   cancelled;
3. the matching engine deals bar ``t`` (``deal_trade``, in the trade-dealing
   phase): the orders placed up to bar ``t - 1`` are matched against it, in
   the order they were placed, so a
   market order placed while bar ``t - 1`` was current fills at bar ``t``'s
   open (or at bar ``t - 1``'s close with ``price_at_previous_close``), and
   stop orders are judged on the bar and, where the bar cannot tell, on its
   ticks;
4. the finished closing orders of fired stops leave the pending orders;
5. orders whose ``good_for``/``good_till`` ends with bar ``t`` and that have
   not filled are cancelled as "expired", and ``on_order_status`` hears of
   them (and of the strategy's own cancels since it last heard);
6. every account's cash, position value, margin and equity at bar ``t``'s
   close are recorded;
7. the strategy's ``on_data`` runs with bar ``t`` as its newest bar; then the
   orders it placed that may not outlive bar ``t`` (a day order placed at
   the day's last minute bar) are cancelled as in step 5.

A strategy therefore never sees a bar before the orders it placed earlier
were dealt against it, and never acts on a bar it has not seen.  With a
warm-up (``Backtest(warmup=N)``) the N bars before ``start`` are loaded as
history only: the loop above begins at the first bar from ``start``, and
``init`` runs with the warm-up's last bar as its newest.

The steps above run in one call of the compiled loop (``korvit.native.run_bars``)
while the session, context, environment, registry, collections, accounts and phase
manager are exactly the framework's own; ``_bars`` is the same loop in Python, run
otherwise, and the reference: both make the same calls in the same order, and look
up at each use what a strategy may replace while the run goes on.
"""

from __future__ import annotations

import atexit
import contextlib
import gc
import logging
import os
import sys
from collections.abc import Callable, Iterable, Iterator, Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import numpy.typing as npt

import korvit.tframe.framekit as framekit
from korvit import native
from korvit.api.history import _history
from korvit.backtest import domain
from korvit.backtest.env import BacktestEnv
from korvit.backtest.model.accounts import KVBackAccount
from korvit.backtest.model.orders import (
    KVBackOrderCollect,
    KVBackStopOrderCollect,
    KVBackTradeCollect,
)
from korvit.backtest.session import Context, Session, contract_terms, valuation
from korvit.tframe.comm.kvclient import ClientSocket, KvProtocolError
from korvit.tframe.sysdefine import GlobalDefine as gv
from korvit.tframe.uclass import KData, StatusCollect, SystemModeMgr
from korvit.tframe.utils.logger import USER_LOGGER

if TYPE_CHECKING:
    from korvit.backtest.runner import Backtest

__all__ = [
    "deal_bar",
    "fresh_environment",
    "connect_core",
    "embedded_core",
    "load_run",
    "bar_loop",
    "bar_stepper",
    "restore_engine",
    "user_warnings_on_stderr",
]

_FINAL = (gv.OrderStatus_Filled, gv.OrderStatus_Cancelled, gv.OrderStatus_Denied)
# the engine's rows of a bar's open, high, low, close and volume, one after the other
_ITEMS = (gv.KMatrix_Open, gv.KMatrix_High, gv.KMatrix_Low, gv.KMatrix_Close, gv.KMatrix_Volume)


def deal_bar(bar_pos: int) -> tuple[Any, Any, Any]:
    """Move the bar cursor to ``bar_pos`` and deal that bar.

    The closing orders that fired stop orders place are matched at once, in
    the same bar, and reported with the filled orders; they joined "unfilled"
    when they were stored, and leaving them there would offer an already
    finished order to the next bar, so they are taken out here.  Returns the
    engine's ``(filled_order_ids, order_denied_canceled_ids,
    fired_stop_order_ids)``.
    """
    vr = framekit.vr
    vr.g_KorvitSimCurBarFresh = bar_pos
    filled, failed, fired = domain.deal_trade()
    if not filled:
        return filled, failed, fired
    orders = vr.g_KVOrders
    pending = {id(order) for order in orders.snap_obj("unfilled")}
    finished = [
        order
        for order in orders.obj(list(filled))
        if order is not None and id(order) in pending and order.status in _FINAL
    ]
    if finished:
        orders.snap_remove("unfilled", finished)
    return filled, failed, fired


def fresh_environment() -> Any:
    """A fresh registry, phase manager and environment, installed as the ones the engine
    and the strategy API use, with the history store emptied; returns the environment."""
    vr, smm, env = framekit.SystemBaseVar(), SystemModeMgr(), BacktestEnv()
    env.set_env(vr, gv, smm)
    framekit.vr, framekit.env, framekit.smm = vr, env, smm
    domain.smm = smm
    _history.clear()
    return env


# This process's embedded core, with the process it was started in: started at the first
# run that needs one and kept for the later runs (as a sweep's worker keeps its own), each
# run pointing its cache root at the run's own folder.  A forked copy of the process (whose
# copy of the core has no serving thread: the connections would reach the parent's) starts
# its own.
_embedded: tuple[int, Any] | None = None


def embedded_core(output: Path) -> Any:
    """This process's embedded core (a ``korvit.core.server.CoreServer``), serving, its
    cache root ``output``."""
    global _embedded
    from korvit.core.server import CoreServer

    kept = _embedded
    if kept is None or kept[0] != os.getpid() or not kept[1].serving:
        if kept is None:
            atexit.register(_stop_embedded)
        core = CoreServer(port=0, cache_root=str(output), record=False).start()
        _embedded = kept = (os.getpid(), core)
    kept[1].cache_root = str(output)
    return kept[1]


def _stop_embedded() -> None:
    """Stop this process's embedded core, if it started one (not a forked parent's)."""
    kept = _embedded
    if kept is not None and kept[0] == os.getpid():
        kept[1].stop()


def _idle(core: Any) -> None:
    """A run is over: its folder goes, the embedded core's cache root is the default again."""
    from korvit.core.server import default_cache_root

    core.cache_root = default_cache_root()


def connect_core(
    stack: contextlib.ExitStack[Any], env: Any, output: Path, address: tuple[str, int] | None
) -> Any:
    """Connect the command socket, running the handshake with the core at ``address``
    (``(host, port)``; None: this process's embedded stand-in core, ``embedded_core``,
    its cache root ``output`` while ``stack`` is open)."""
    if address is None:
        core = embedded_core(output)
        stack.callback(_idle, core)
        host, port = core.host, core.port
    else:
        host, port = address
    old = env.vr.g_KorvitSocket
    socket = ClientSocket(host, port, old.timeout)
    host_module: Any = framekit  # the hook is not part of the module's stub
    socket.set_callback_connected(host_module._before_first_cmd)
    env.vr.g_KorvitSocket = socket
    try:
        socket.connect()
    except KvProtocolError as exc:  # reached, but its answer is not to be used
        raise ConnectionError(f"{exc} (core process at {host}:{port})") from None
    except (OSError, ConnectionError) as exc:
        raise ConnectionError(f"cannot reach the core process at {host}:{port}: {exc}") from None
    return socket


def load_run(test: Backtest, env: Any, session_type: type[Session] = Session) -> Session:
    """Load the bars, ticks, contracts, accounts and settings of ``test`` into the engine
    and its strategy into the environment; returns the run's ``Session`` (of
    ``session_type``)."""
    vr, bars = env.vr, test.bars
    n_codes, n_bars = len(bars.codes), len(bars.times)
    matrix = env.generate_kmatrix_array(n_codes, n_bars)
    times_us = bars.times.asi8 // 1000
    matrix[gv.KMatrixPos_TimeLine] = times_us / 1e6
    for target in range(n_codes):
        for k, item in enumerate(_ITEMS):
            matrix[gv.bar_item_pos(item, target)] = bars.values[target, :, k]
        matrix[gv.bar_item_pos(gv.KMatrix_TurnOver, target)] = np.nan_to_num(
            bars.values[target, :, 3] * bars.values[target, :, 4]
        )
    if test._own_bars:
        # Bars the run read itself are held once: their values become a read-only view
        # of the engine's rows (the same numbers), and their own array is let go.
        bars.values = _bar_view(matrix, n_codes, n_bars)
    # Bars of n minutes go to the engine as such (dating a fill at its bar's start, n
    # minutes before the label); being their own base data, each begins one base bar.
    frequency = gv.KFreq_Day if bars.frequency == "day" else gv.KFreq_Min
    number = 1 if bars.frequency == "day" else bars.minutes
    vr.g_KorvitKDataList.append(
        KData(
            matrix,
            np.arange(n_bars),
            Frequency=frequency,
            FreNum=number,
            BaseBegin=np.arange(n_bars) if number is not None and number > 1 else None,
        )
    )
    vr.g_KorvitDataValueFresh = matrix[: gv.KMatrixPos_Head_len].copy()
    info = vr.g_KorvitInputInfo
    info.TargetList = [code.lower() for code in bars.codes]
    info.TargetListDot = list(bars.codes)
    info.KFrequencyI, info.KFreNum = frequency, number
    for contract in test.contracts:
        vr.g_KorvitTargetsInfo[contract.code] = {
            "Type": gv.TARGETTYPE_FUTURE if contract.is_futures else gv.TARGETTYPE_STOCK,
            "MinMove": contract.min_move,
            "Multiple": contract.multiplier,
        }
    _history.set_target_info_v2([contract.engine_info() for contract in test.contracts])
    if test.ticks is not None and len(test.ticks):
        code_index, bar_index, bounds, times, prices, volumes = test.ticks.flat()
        seconds = times.astype("datetime64[us]").astype(np.int64) / 1e6
        _history.set_many_bar_tick_data(
            np.column_stack((code_index, bar_index)), seconds, prices, volumes, bounds
        )
        del seconds
    vr.g_KVOrders, vr.g_KVStopOrders, vr.g_KVTrades = (
        KVBackOrderCollect(),
        KVBackStopOrderCollect(),
        KVBackTradeCollect(),
    )
    # the schedule's keys are the four item names, which the account reads as text
    schedule = cast("Mapping[str, float] | None", test.stock_commission)
    accounts = [KVBackAccount(name, cash, schedule) for name, cash in test.accounts.items()]
    vr.g_KorvitAccounts[:] = accounts
    info.AccountNameList = list(test.accounts)
    setting = vr.g_KorvitSettingInfo
    for key, value in test.settings.items():
        setattr(setting, key, value)
    env.update_user_scope(test.scope)
    vr.g_KorvitUserContext = Context(test.params, bars.codes, list(test.accounts))
    session = session_type(bars, test.contracts, list(test.accounts), accounts, env)
    session.calendar = test.calendar
    session.account_type = KVBackAccount
    missing = set(test.no_contract)
    session.no_contract = frozenset(k for k, code in enumerate(bars.codes) if code in missing)
    return session


def _bar_view(
    matrix: npt.NDArray[np.float64], n_codes: int, n_bars: int
) -> npt.NDArray[np.float64]:
    """The bars' values (codes x bars x (open, high, low, close, volume)) as a read-only
    view of the engine's matrix, whose rows hold each code's items one after the other."""
    first = gv.bar_item_pos(_ITEMS[0], 0)
    rows = [gv.bar_item_pos(item, 0) - first for item in _ITEMS]
    if rows != list(range(len(_ITEMS))):
        raise RuntimeError(f"the engine's rows of a bar are not one after the other: {rows}")
    row = matrix.strides[0]
    code_rows = gv.bar_item_pos(_ITEMS[0], 1) - first if n_codes > 1 else 0
    view: npt.NDArray[np.float64] = np.lib.stride_tricks.as_strided(
        matrix[first:],
        shape=(n_codes, n_bars, len(_ITEMS)),
        strides=(code_rows * row, matrix.strides[1], row),
        writeable=False,
    )
    return view


def bar_loop(test: Backtest, env: Any, session: Session) -> npt.NDArray[np.float64]:
    """Run the strategy's ``init``, then every bar from the first traded on; returns the
    equity array (bars × accounts × (cash, market value, margin, equity))."""
    context = env.vr.g_KorvitUserContext
    smm = env.smm
    bars = session.bars
    first = test.first  # the bars before it are the warm-up: history only
    n_bars = len(bars.times)
    closes = _forward_filled(bars.values[:, :, 3])
    new_day = None  # with cancel_stale_orders: whether each bar begins a day
    if test.cancel_stale_orders:
        days = session.days()
        new_day = np.r_[False, days[1:] != days[:-1]]
        new_day[first : first + 1] = False  # the first bar traded has no earlier day's orders
    equity = np.zeros(
        (n_bars - first, len(session.accounts), 4)
    )  # cash, market value, margin, equity
    deal = smm.enter_phase(gv.RUMMODE_PHASE_DEAL_TRADE)(deal_bar)
    session.closes = closes
    if first:
        # init sees the warm-up (its newest bar the last before the window), and its
        # orders are placed at the window's first bar, as a run's are at its first
        session.first = session.bar = first
        env.vr.g_KorvitSimCurBarFresh = first
    env.vr.g_KorvitInputInfo.on_init_func(context)
    session.tell()
    session.started = True
    # The data, the registry and the strategy live through the whole loop:
    # the cyclic garbage collector need not walk them again and again.
    gc.freeze()
    try:
        if _ours(env, session, context):
            _compiled_bars(test, env, session, context, deal, closes, new_day, equity, first)
        else:
            _bars(test, env, session, context, deal, closes, new_day, equity, first)
    finally:
        gc.unfreeze()
    return equity


def _ours(env: Any, session: Session, context: Any) -> bool:
    """Whether every object the bar loop works with is exactly the framework's own, so
    that the compiled loop (``korvit.native.run_bars``) runs the bars; else ``_bars``."""
    vr = env.vr
    return (
        type(session) is _OWN_SESSION
        and type(context) is Context
        and type(env) is BacktestEnv
        and type(vr) is framekit.SystemBaseVar
        and framekit.vr is vr
        and type(env.smm) is SystemModeMgr
        and domain.smm is env.smm
        and type(vr.g_KVOrders) is KVBackOrderCollect
        and type(vr.g_KVStopOrders) is KVBackStopOrderCollect
        and type(vr.g_KVTrades) is KVBackTradeCollect
        and type(session.accounts) is list
        and all(type(account) is KVBackAccount for account in session.accounts)
        and type(session.fills) is list
        and type(session.fired_on) is dict
    )


def _compiled_bars(
    test: Backtest,
    env: Any,
    session: Session,
    context: Any,
    deal: Callable[[int], Any],
    closes: npt.NDArray[np.float64],
    new_day: npt.NDArray[np.bool_] | None,
    equity: npt.NDArray[np.float64],
    first: int = 0,
) -> None:
    """``_bars`` in one call of the compiled loop: what ``_bars`` binds before its loop is
    bound here the same way (``_bound``), and the loop runs in ``korvit.native.run_bars``."""
    vr, info, accounts, contracts, closes_by_bar, terms, rows, trades, fills, fired_on = _bound(
        env, session, closes, equity
    )
    end = len(session.bars.times)
    with _progress_bar(end - first, test.progress, test.name) as bar:
        native.run_bars(
            session,
            context,
            env,
            vr,
            info,
            accounts,
            contracts,
            terms,
            closes_by_bar,
            rows,
            trades,
            fills,
            fired_on,
            deal,
            new_day,
            first,
            end,
            None if bar is None else bar.update,
        )


def _bound(
    env: Any, session: Session, closes: npt.NDArray[np.float64], equity: npt.NDArray[np.float64]
) -> tuple[Any, ...]:
    """What both loops bind once before their bars, read in this order: the registry and
    its input info, the accounts and contracts, the closes by bar, the contracts' terms,
    the equity's rows (each bar and account's row written in place as the bars go by),
    and the trades, fills and fired stops (the bar of every trade and fired stop, for
    the one clock of the tables)."""
    vr, info = env.vr, env.vr.g_KorvitInputInfo
    accounts, contracts = session.accounts, session.contracts
    closes_by_bar = closes.T
    terms = contract_terms(contracts)
    rows = equity.reshape(-1, equity.shape[-1])
    trades, fills, fired_on = vr.g_KVTrades, session.fills, session.fired_on
    return vr, info, accounts, contracts, closes_by_bar, terms, rows, trades, fills, fired_on


def _bars(
    test: Backtest,
    env: Any,
    session: Session,
    context: Any,
    deal: Callable[[int], Any],
    closes: npt.NDArray[np.float64],
    new_day: npt.NDArray[np.bool_] | None,
    equity: npt.NDArray[np.float64],
    first: int = 0,
) -> None:
    """The bars from ``first`` on, one after the other (see the module's docstring)."""
    step = bar_stepper(env, session, context, deal, closes, new_day, equity)
    for t in _progress(range(first, len(session.bars.times)), test.progress, test.name):
        step(t)


def bar_stepper(
    env: Any,
    session: Session,
    context: Any,
    deal: Callable[[int], Any],
    closes: npt.NDArray[np.float64],
    new_day: npt.NDArray[np.bool_] | None,
    equity: npt.NDArray[np.float64],
    row: int = 0,
) -> Callable[[int], None]:
    """``step(t)``: the steps of bar ``t`` (see the module's docstring), over what is
    bound here; each bar's equity is written from ``equity``'s row ``row`` on, a row
    per account and bar, the bars taken one after the other."""
    vr, info, accounts, contracts, closes_by_bar, terms, rows, trades, fills, fired_on = _bound(
        env, session, closes, equity
    )
    made = len(trades)

    def step(t: int) -> None:
        nonlocal row, made
        session.bar = t
        if new_day is not None and new_day[t]:
            vr.g_KorvitSimCurBarFresh = t  # the time the cancels are dated at
            engine: Any = domain  # the hook is not part of the module's stub
            engine._clear_unfilled_order(env.fresh_bar_time)
        fired = deal(t)[2]  # moves the bar cursor to t, then deals
        if len(trades) != made:
            fills.append((t, len(trades) - made))
            made = len(trades)
        for stop_id in fired:
            fired_on[int(stop_id)] = t
        session.expire(t)
        session.tell()
        at = closes_by_bar[t]
        for account in accounts:
            rows[row] = valuation(account, contracts, at, KVBackAccount, terms)[0]
            row += 1
        session.seen = t
        info.on_data_func(context)
        session.expire(t)
        session.tell()

    return step


def _forward_filled(values: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Each row's last known value at each column (NaN before the first)."""
    n = values.shape[1]
    at = np.where(np.isnan(values), 0, np.arange(n, dtype=np.int32 if n < 2**31 else np.int64))
    np.maximum.accumulate(at, axis=1, out=at)
    filled: npt.NDArray[np.float64] = np.take_along_axis(values, at, axis=1)
    return filled


def _progress(iterable: Iterable[int], enabled: bool | None, name: str) -> Iterable[int]:
    if enabled is False:
        return iterable
    from tqdm import tqdm

    return tqdm(
        iterable,
        desc=name,
        unit="bar",
        disable=None if enabled is None else not enabled,
        leave=False,
        mininterval=0.2,
    )


@contextlib.contextmanager
def _progress_bar(total: int, enabled: bool | None, name: str) -> Iterator[Any]:
    """The progress bar of ``_progress`` for ``total`` bars told of the bars done by
    ``update(n)``, or None when it shows nothing."""
    if enabled is False:
        yield None
        return
    from tqdm import tqdm

    with tqdm(
        total=total,
        desc=name,
        unit="bar",
        disable=None if enabled is None else not enabled,
        leave=False,
        mininterval=0.2,
    ) as bar:
        yield None if bar.disable else bar


def restore_engine(saved: tuple[Any, Any, Any, Any]) -> None:
    """Put back the registry, environment and phase managers a run replaced, and the
    environment the process-wide status holder names (the run's would otherwise stay
    alive, with all it holds, until the next run)."""
    framekit.vr, framekit.env, framekit.smm, domain.smm = saved
    StatusCollect.instance().env = saved[1]


@contextlib.contextmanager
def user_warnings_on_stderr() -> Iterator[None]:
    """Shows the user log's warnings (a callback replaced by its default, ...) on
    the terminal while the run lasts."""
    logger = logging.getLogger(USER_LOGGER)
    handler = logging.StreamHandler(sys.stderr)
    handler.setLevel(logging.WARNING)
    handler.setFormatter(logging.Formatter("korvit: warning: %(message)s"))
    logger.addHandler(handler)
    try:
        yield
    finally:
        logger.removeHandler(handler)


# the loop's own parts, which the compiled loop runs its own way while they are unchanged
_OWN_SESSION = Session
_hooks: Any = native  # the hook is not part of the module's stub
_hooks._own_loop_parts(deal_bar, valuation, Session)
