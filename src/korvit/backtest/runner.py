"""The backtest run loop.

``run(strategy, data, ...)`` (or ``Backtest(...).run()``) runs a strategy over
bars and returns a ``BacktestResult``.  Every run starts from a fresh
registry, environment and history store, so two runs in one process never
see each other's bars, orders or accounts.  For each bar ``t``, in this
order:

1. the fresh-bar cursor moves to ``t``;
2. with ``cancel_stale_orders``, at the first bar of a new day the orders
   still pending from an earlier day are cancelled;
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

The run talks to a core process over a loopback socket, as a live strategy
would: by default an embedded stand-in core is started on a free port and
the start-up handshake sets up the run's output and log directories under
the output folder; ``core="HOST:PORT"`` uses a running core instead.
"""

from __future__ import annotations

import contextlib
import functools
import gc
import logging
import os
import sys
import tempfile
import time
import types
import warnings
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal, TypeAlias, TypedDict, cast

import numpy as np
import numpy.typing as npt
import pandas as pd

import korvit.tframe.framekit as framekit
from korvit.api.history import _history
from korvit.backtest import domain
from korvit.backtest.env import BacktestEnv
from korvit.backtest.loader import (
    StrategyExit,
    StrategyLoadError,
    check_parameters,
    load_strategy,
    prepare_callbacks,
)
from korvit.backtest.model.accounts import KVBackAccount
from korvit.backtest.model.orders import (
    KVBackOrderCollect,
    KVBackStopOrderCollect,
    KVBackTradeCollect,
)
from korvit.backtest.session import (
    Context,
    Session,
    close_session,
    contract_terms,
    current_session,
    open_session,
    valuation,
)
from korvit.data.errors import DataWarning
from korvit.data.limits import MAX_CASH, MAX_COMMISSION_RATE, MAX_SLIPPAGE, check_number
from korvit.tframe.comm.kvclient import ClientSocket, KvProtocolError
from korvit.tframe.sysdefine import GlobalDefine as gv
from korvit.tframe.uclass import KData, SystemModeMgr
from korvit.tframe.utils.logger import USER_LOGGER, LoggerManager

if TYPE_CHECKING:
    from typing_extensions import Unpack

    from korvit.backtest.records import FillClock
    from korvit.backtest.results import BacktestResult
    from korvit.data import Bars, Contract, Ticks
    from korvit.data.bars import BarSource, TimeLike

__all__ = [
    "Backtest",
    "NoContractWarning",
    "run",
    "deal_bar",
    "current_session",
    "load_strategy",
    "StrategyLoadError",
    "StrategyExit",
]

_FINAL = (gv.OrderStatus_Filled, gv.OrderStatus_Cancelled, gv.OrderStatus_Denied)
# Where a stop fired on the bar alone fills (``stop_fill``); the first is the default.
STOP_FILLS = ("first_traded", "stop_price")
# Where a limit order the market reached at a better price fills (``limit_fill``); the
# first is the default.
LIMIT_FILLS = ("first_traded", "limit_price")
# The largest lot a code without a contract may be given (``default_lot_size``): the
# engine's limit on the volume of one order.
MAX_LOT_SIZE = 2_000_000_000
# Codes named in the line on codes without a contract; the others are counted.
NAMED_CODES = 10


class NoContractWarning(DataWarning):
    """Codes of a run have no contract: they are traded on the terms of a stock
    (lots of 100 unless ``default_lot_size`` says otherwise, no fees but those of
    ``stock_commission`` and ``commission_rate``).  ``command_line`` holds the
    same line worded for the command line."""

    command_line: str


StrategyLike: TypeAlias = (
    "str | os.PathLike[str] | types.ModuleType | dict[str, Callable[..., object]]"
)
"""A strategy: the path of its file, its module, or a dict of its callbacks
(``init``, ``on_data``, ``on_order_status``, ``on_execution``)."""
DataLike: TypeAlias = "Bars | BarSource | Sequence[BarSource]"
"""Bars: loaded (``Bars``), a DataFrame, or the path(s) of bar files."""
TicksLike: TypeAlias = "Ticks | str | os.PathLike[str] | pd.DataFrame"
ContractsLike: TypeAlias = (
    "str | os.PathLike[str] | pd.DataFrame | Mapping[str, Any] | Sequence[Mapping[str, Any]]"
)
"""A contract table, as ``korvit.data.load_contracts`` reads it."""
BenchmarkLike: TypeAlias = "str | Sequence[str] | pd.Series[float] | bool | None"
"""What a run is measured against: "traded", "equal-weight", "none", a code,
codes, or a Series of prices."""
StockCommission: TypeAlias = (
    "Mapping[Literal['OpenTax', 'CloseTax', 'TransFee', 'MinTradeFee'], float]"
)


class RunOptions(TypedDict, total=False):
    """The keyword options of ``run`` (those of ``Backtest``)."""

    ticks: TicksLike | None
    contracts: ContractsLike | None
    cash: float
    accounts: dict[str, float] | None
    start: TimeLike | None
    end: TimeLike | None
    warmup: int
    params: Mapping[str, Any] | None
    price_at_previous_close: bool
    slippage: float
    cancel_unfilled_limits: bool
    cancel_stale_orders: bool
    fees: Literal["contracts", "none"]
    stock_commission: StockCommission | None
    commission_rate: float | None
    stop_fill: Literal["first_traded", "stop_price"]
    limit_fill: Literal["first_traded", "limit_price"]
    default_lot_size: int | None
    core: str | tuple[str, int] | None
    output: str | os.PathLike[str] | None
    progress: bool | None
    tz: str | None
    code: str | Sequence[str] | None
    adjust: bool
    date_format: str | None
    bar_time: Literal["end", "start"]
    benchmark: BenchmarkLike


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


# ------------------------------------------------------------------ the run


class Backtest:
    """A backtest of ``strategy`` over ``data``; ``run()`` returns its result.

    Parameters (all but the first two by keyword):

    - ``strategy``: path of a strategy file, a module, or a dict of callbacks.
    - ``data``: a ``Bars`` object, a DataFrame, or the path(s) of CSV/Parquet
      bar files (see ``korvit.data.load_bars``).
    - ``ticks``: ticks inside the bars (path, DataFrame or ``Ticks``), used
      where a bar cannot tell which stop order triggered first.
    - ``contracts``: contract table (path, DataFrame, list or dict, see
      ``korvit.data.load_contracts``); codes it does not list are stocks
      with the stock defaults (lots of 100, no fees), and ``run()`` names
      them in a ``NoContractWarning``.
    - ``default_lot_size``: the lot of every code without a contract (a whole
      number above 0; default 100, a stock's).
    - ``cash``: starting cash of the one account "main", or ``accounts``: a
      dict ``{name: cash}`` of several (orders go to the first unless they
      name another).
    - ``start``, ``end``: trim the bars (inclusive).
    - ``warmup``: with ``start``, up to this many bars before ``start`` are
      the strategy's history (``history()``, ``korvit.indicators``, and
      already in ``init``), while it trades only from ``start`` on:
      ``on_data`` first runs at the first bar from ``start`` (so its first
      order may come there), orders are dealt from that bar on, and the
      result (equity curve, statistics, benchmark) covers only the bars from
      ``start``.  Fewer bars are taken where the data has fewer before
      ``start``; ``meta["warmup_bars"]`` tells how many.  ``init`` runs
      with the warm-up's last bar as its newest, so that with
      ``price_at_previous_close`` an order it places fills at that bar's
      close (dated at the first bar from ``start``), as any order fills at
      the close of the bar it was placed at.  Default 0: the run sees no bar
      before ``start``.
    - ``params``: a dict the strategy reads as ``context.params``.
    - ``price_at_previous_close``: price market orders at the previous bar's
      close instead of the dealt bar's open; ``slippage``: a fraction of the
      price market orders pay (0.001 = 0.1 %); ``cancel_unfilled_limits``:
      a limit order that the next bar does not reach is cancelled instead of
      waiting; ``cancel_stale_orders``: at the first bar of each day, orders
      pending from an earlier day are cancelled.
    - ``fees``: "contracts" (the default: every code pays by its contract's
      fee schedule) or "none" (no fees at all).  ``stock_commission``
      (items "OpenTax", "CloseTax", "TransFee", "MinTradeFee": the contract
      fields tax_open, tax_close, transfer_fee, min_commission) and
      ``commission_rate`` (the commission, in units of 1/10000 of the traded
      value) override those items of every stock's schedule.
    - ``stop_fill``: where a stop order fired on the bar alone (not on its
      ticks) fills: "first_traded" (default), at the first price of the bar
      at which the stop holds, i.e. the bar's open when it opened at or
      beyond the stop's price, else the stop's price; "stop_price", at the
      stop's price even when the bar opened beyond it (the fill outside the
      bar's range that earlier versions gave).
    - ``limit_fill``: where a limit order fills when the market reached it
      at a better price than its limit: "first_traded" (default), at that
      price, i.e. the bar's open when the bar opened at or better than the
      limit (on the ticks that decide a stop-limit, the first tick at or
      better than it); "limit_price", at the limit even then (the fill of
      earlier versions).
    - ``core``: "HOST:PORT" of a running core process; by default an
      embedded stand-in core is started on a free loopback port.
    - ``output``: folder for the run's logs (and the output the handshake
      sets up); by default a temporary folder, removed when the run ends.
    - ``progress``: show a progress bar (None: only on a terminal).
    - ``tz``: the time zone of the bars and ticks read from files or frames
      (see ``korvit.data.load_bars``).
    - ``benchmark``: what the run is measured against (see
      ``korvit.backtest.benchmark``): "traded" (the default: buy and hold of
      the codes the strategy traded, equal weight, from the first bar's
      close), "equal-weight" (every code of the data), a code or a list of
      codes, "none", or a Series of prices.
    - ``code``, ``adjust``, ``date_format``, ``bar_time``: how bars are read
      from files or frames (``korvit.data.load_bars``): the code of a file
      without a code column, scaling by the adjusted close, the format of the
      times (``date_format`` also reads the ticks' times), whether an intraday
      bar's time marks the end (default) or the start of its period.

    Bad options raise ``ValueError`` or ``TypeError`` with a one-line message
    (the bounds are those of ``korvit.data.limits``); a strategy that calls
    ``sys.exit()`` ends the run with ``StrategyExit``.
    """

    bars: Bars
    ticks: Ticks | None
    first: int
    contracts: list[Contract]
    accounts: dict[str, float]
    params: dict[str, Any]
    settings: dict[str, Any]
    options: dict[str, Any]

    def __init__(
        self,
        strategy: StrategyLike,
        data: DataLike,
        *,
        ticks: TicksLike | None = None,
        contracts: ContractsLike | None = None,
        cash: float = 1_000_000.0,
        accounts: dict[str, float] | None = None,
        start: TimeLike | None = None,
        end: TimeLike | None = None,
        warmup: int = 0,
        params: Mapping[str, Any] | None = None,
        price_at_previous_close: bool = False,
        slippage: float = 0.0,
        cancel_unfilled_limits: bool = False,
        cancel_stale_orders: bool = False,
        fees: Literal["contracts", "none"] = "contracts",
        stock_commission: StockCommission | None = None,
        commission_rate: float | None = None,
        stop_fill: Literal["first_traded", "stop_price"] = "first_traded",
        limit_fill: Literal["first_traded", "limit_price"] = "first_traded",
        default_lot_size: int | None = None,
        core: str | tuple[str, int] | None = None,
        output: str | os.PathLike[str] | None = None,
        progress: bool | None = None,
        tz: str | None = None,
        code: str | Sequence[str] | None = None,
        adjust: bool = False,
        date_format: str | None = None,
        bar_time: Literal["end", "start"] = "end",
        benchmark: BenchmarkLike = "traded",
    ) -> None:
        from korvit.backtest.benchmark import check_benchmark
        from korvit.data import Bars, load_contracts

        if params is not None and not isinstance(params, Mapping):
            raise TypeError(
                f"params must be a mapping of parameter names to values (a dict), "
                f"got {type(params).__name__} {_short(params)}"
            )
        check_parameters(strategy, params)
        self.scope, self.name = load_strategy(strategy)
        self.scope = prepare_callbacks(self.scope, self.name)
        self.path = _strategy_path(strategy)
        reading = {"code": code, "adjust": adjust, "date_format": date_format, "bar_time": bar_time}
        if isinstance(data, Bars) and any((code, adjust, date_format, bar_time != "end")):
            given = ", ".join(
                f"{name}="
                for name, value in reading.items()
                if value and (name, value) != ("bar_time", "end")
            )
            raise ValueError(
                f"{given} tell how to read bars from a file or a frame, and these bars are "
                "loaded: pass the path or the frame, or give the option to load_bars"
            )
        if isinstance(warmup, bool) or not isinstance(warmup, (int, np.integer)) or warmup < 0:
            raise ValueError(f"warmup must be a whole number of bars >= 0, got {_short(warmup)}")
        if warmup and start is None:
            raise ValueError(
                "warmup is the bars before start the strategy sees as history: give start too"
            )
        self.bars, self.ticks, self.first = load_with_warmup(
            data, ticks, start=start, end=end, warmup=int(warmup), tz=tz, reading=reading
        )
        table: Mapping[str, Contract] = {} if contracts is None else load_contracts(contracts)
        lot = _lot_size(default_lot_size)
        self.contracts = _with_fees(
            [_contract_for(code, table, lot) for code in self.bars.codes],
            fees,
            stock_commission,
            commission_rate,
        )
        # the codes without a contract, and their contract: one, for all of them
        self.no_contract = [
            code for code in self.bars.codes if _found_contract(code, table) is None
        ]
        self.default_lot_size = lot
        if accounts is None:
            accounts = {"main": cash}
        if not isinstance(accounts, dict) or not accounts:
            raise ValueError(f"accounts must be a non-empty dict {{name: cash}}, got {accounts!r}")
        self.accounts = {}
        for name, value in accounts.items():
            if not isinstance(name, str) or not name:
                raise ValueError(f"an account name is non-empty text, got {name!r}")
            what = "cash" if len(accounts) == 1 and name == "main" else f"cash of account {name!r}"
            self.accounts[name] = check_number(what, value, high=MAX_CASH)
        self.params = dict(params or {})
        slippage = check_number("slippage", slippage, high=MAX_SLIPPAGE, high_open=True)
        if not isinstance(stop_fill, str) or stop_fill not in STOP_FILLS:
            raise ValueError(
                f"stop_fill must be {' or '.join(map(repr, STOP_FILLS))}, got {stop_fill!r}"
            )
        if not isinstance(limit_fill, str) or limit_fill not in LIMIT_FILLS:
            raise ValueError(
                f"limit_fill must be {' or '.join(map(repr, LIMIT_FILLS))}, got {limit_fill!r}"
            )
        self.settings = {
            "PriceLoc": 0 if price_at_previous_close else 1,
            "SlidePrice": slippage,
            "LimitType": bool(cancel_unfilled_limits),
            "StopFill": stop_fill,
            "LimitFill": limit_fill,
        }
        self.stock_commission = stock_commission
        self.cancel_stale_orders = bool(cancel_stale_orders)
        self.core = _parse_core(core)
        if output is not None and os.path.exists(output) and not os.path.isdir(output):
            raise ValueError(f"output {os.fspath(output)!r} is a file, not a folder")
        self.output = output
        self.progress = progress
        self.benchmark = check_benchmark(benchmark, self.bars.codes)
        self.options = {
            "price_at_previous_close": bool(price_at_previous_close),
            "slippage": slippage,
            "stop_fill": stop_fill,
            "limit_fill": limit_fill,
            "cancel_unfilled_limits": bool(cancel_unfilled_limits),
            "cancel_stale_orders": bool(cancel_stale_orders),
            "fees": fees,
            "adjust": bool(adjust),
            "bar_time": bar_time,
        }

    def run(self) -> BacktestResult:
        """Run the backtest and return its ``BacktestResult``; its
        ``meta["timings"]`` holds the seconds of the set-up (environment, core
        connection, loading the bars into the engine), of the bar loop and of
        building the result.  A run with denied orders warns
        (``OrdersDeniedWarning``, naming the reasons)."""
        from korvit.backtest.results import warn_of_denials

        if current_session() is not None:
            raise RuntimeError("a backtest is already running in this process")
        self.warn_of_no_contract()
        try:
            result = self._run()
        except SystemExit as exc:  # sys.exit() in a callback ends the run, not the process
            raise StrategyExit(exc, self.path) from exc
        if result._denied:  # else the orders table need not be built to tell
            warn_of_denials(result)
        return result

    def no_contract_line(self, hint: Literal["python", "command line", None] = None) -> str | None:
        """The codes without a contract and the terms they are traded on, in a
        line ("2 codes have no contract and are traded as stocks in lots of 100
        without fees: SHFE.RB2405, SHFE.HC2405"), with what to give instead in
        the words of ``hint``; None when every code has its contract."""
        codes = self.no_contract
        if not codes:
            return None
        contract = self.contracts[self.bars.codes.index(codes[0])]
        one = len(codes) == 1
        fees = contract.fee_text()
        named = ", ".join(codes[:NAMED_CODES]) + (
            f" and {len(codes) - NAMED_CODES:,d} more" if len(codes) > NAMED_CODES else ""
        )
        line = (
            f"{len(codes):,d} code{'' if one else 's'} {'has' if one else 'have'} no contract "
            f"and {'is' if one else 'are'} traded as {'a stock' if one else 'stocks'} in lots "
            f"of {contract.lot_size:,d} {'without fees' if fees == 'no fees' else 'paying ' + fees}: "
            f"{named}"
        )
        given = self.default_lot_size is not None
        if hint == "python":
            line += "; give contracts=" + ("" if given else ", or default_lot_size=")
        elif hint == "command line":
            line += "; give --contracts" + ("" if given else ", or --lot-size")
        return line

    def warn_of_no_contract(self) -> None:
        """Warn (``NoContractWarning``) of the codes without a contract, if any."""
        from korvit.backtest.results import _outside_frames

        line = self.no_contract_line("python")
        if line is None:
            return
        warning = NoContractWarning(line)
        warning.command_line = cast("str", self.no_contract_line("command line"))
        warnings.warn(warning, stacklevel=_outside_frames())

    def _run(self) -> BacktestResult:
        saved = (framekit.vr, framekit.env, framekit.smm, domain.smm)
        started = time.perf_counter()
        with contextlib.ExitStack() as stack:
            if self.output is None:  # the logs of a run without an output folder go when it ends
                output = Path(stack.enter_context(tempfile.TemporaryDirectory(prefix="korvit-")))
            else:
                output = Path(self.output)
            stack.callback(_restore, saved)
            stack.callback(_history.clear)
            env = self._fresh_environment()
            socket = self._connect(stack, env, output)
            stack.callback(socket.disconnect)
            stack.callback(LoggerManager.remove_log_handler)
            stack.enter_context(_user_warnings_on_stderr())
            session = self._load(env)
            open_session(session)
            stack.callback(close_session)
            loop_started = time.perf_counter()
            equity = self._loop(env, session)
            loop_ended = time.perf_counter()
            result = self._result(env, session, equity, output)
            result.meta["timings"] = {
                "setup_s": loop_started - started,
                "loop_s": loop_ended - loop_started,
                "results_s": time.perf_counter() - loop_ended,
            }
            return result

    # -------------------------------------------------------------- set-up

    def _fresh_environment(self) -> Any:
        vr, smm, env = framekit.SystemBaseVar(), SystemModeMgr(), BacktestEnv()
        env.set_env(vr, gv, smm)
        framekit.vr, framekit.env, framekit.smm = vr, env, smm
        domain.smm = smm
        _history.clear()
        return env

    def _connect(self, stack: contextlib.ExitStack[Any], env: Any, output: Path) -> Any:
        """Connect the command socket, running the handshake with the core."""
        from korvit.core.server import CoreServer

        if self.core is None:
            core = CoreServer(port=0, cache_root=str(output))
            core.start()
            stack.callback(core.stop)
            host, port = core.host, core.port
        else:
            host, port = self.core
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
            raise ConnectionError(
                f"cannot reach the core process at {host}:{port}: {exc}"
            ) from None
        return socket

    def _load(self, env: Any) -> Session:
        vr, bars = env.vr, self.bars
        n_codes, n_bars = len(bars.codes), len(bars.times)
        matrix = env.generate_kmatrix_array(n_codes, n_bars)
        times_us = bars.times.asi8 // 1000
        matrix[gv.KMatrixPos_TimeLine] = times_us / 1e6
        items = (
            gv.KMatrix_Open,
            gv.KMatrix_High,
            gv.KMatrix_Low,
            gv.KMatrix_Close,
            gv.KMatrix_Volume,
        )
        for target in range(n_codes):
            for k, item in enumerate(items):
                matrix[gv.bar_item_pos(item, target)] = bars.values[target, :, k]
            matrix[gv.bar_item_pos(gv.KMatrix_TurnOver, target)] = np.nan_to_num(
                bars.values[target, :, 3] * bars.values[target, :, 4]
            )
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
        for contract in self.contracts:
            vr.g_KorvitTargetsInfo[contract.code] = {
                "Type": gv.TARGETTYPE_FUTURE if contract.is_futures else gv.TARGETTYPE_STOCK,
                "MinMove": contract.min_move,
                "Multiple": contract.multiplier,
            }
        _history.set_target_info_v2([contract.engine_info() for contract in self.contracts])
        if self.ticks is not None and len(self.ticks):
            code_index, bar_index, bounds, times, prices, volumes = self.ticks.flat()
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
        schedule = cast("Mapping[str, float] | None", self.stock_commission)
        accounts = [KVBackAccount(name, cash, schedule) for name, cash in self.accounts.items()]
        vr.g_KorvitAccounts[:] = accounts
        info.AccountNameList = list(self.accounts)
        setting = vr.g_KorvitSettingInfo
        for key, value in self.settings.items():
            setattr(setting, key, value)
        env.update_user_scope(self.scope)
        vr.g_KorvitUserContext = Context(self.params, bars.codes, list(self.accounts))
        session = Session(bars, self.contracts, list(self.accounts), accounts, env)
        session.account_type = KVBackAccount
        missing = set(self.no_contract)
        session.no_contract = frozenset(k for k, code in enumerate(bars.codes) if code in missing)
        return session

    # -------------------------------------------------------------- the loop

    def _loop(self, env: Any, session: Session) -> npt.NDArray[np.float64]:
        context = env.vr.g_KorvitUserContext
        smm = env.smm
        bars = session.bars
        first = self.first  # the bars before it are the warm-up: history only
        n_bars = len(bars.times)
        closes = _forward_filled(bars.values[:, :, 3])
        new_day = None  # with cancel_stale_orders: whether each bar begins a day
        if self.cancel_stale_orders:
            days = bars.times.normalize().asi8
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
            self._bars(env, session, context, deal, closes, new_day, equity, first)
        finally:
            gc.unfreeze()
        return equity

    def _bars(
        self,
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
        vr, info = env.vr, env.vr.g_KorvitInputInfo
        accounts, contracts = session.accounts, session.contracts
        closes_by_bar = closes.T
        expire, tell = session.expire, session.tell  # bound once: called four times a bar
        terms = contract_terms(contracts)
        rows = []
        # the bar of every trade and fired stop, for the one clock of the tables
        trades, made, fills, fired_on = vr.g_KVTrades, 0, session.fills, session.fired_on
        for t in _progress(range(first, len(session.bars.times)), self.progress, self.name):
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
            expire(t)
            tell()
            at = closes_by_bar[t]
            for account in accounts:
                rows.append(valuation(account, contracts, at, KVBackAccount, terms)[0])
            session.seen = t
            info.on_data_func(context)
            expire(t)
            tell()
        equity[:] = np.array(rows, dtype=np.float64).reshape(equity.shape)

    # -------------------------------------------------------------- results

    def _result(
        self, env: Any, session: Session, equity: npt.NDArray[np.float64], output: Path
    ) -> BacktestResult:
        from korvit.backtest.results import BacktestResult
        from korvit.data.contracts import fee_schedules

        bars = self._traded_bars(session.bars)
        vr = env.vr
        # The tables are built from the engine's records when first read; they
        # keep only what they are built from (not the run's environment).
        records = _Records(
            vr.g_KVOrders, vr.g_KVStopOrders, vr.g_KVTrades, session, self._clock(session)
        )
        result = BacktestResult(
            functools.partial(_equity_frame, bars.times, list(session.account_names), equity),
            records.orders,
            records.trades,
            records.stops,
            frequency=bars.frequency,
            initial_cash=float(sum(self.accounts.values())),
            strategy=self.name,
            params=self.params,
            bars=bars,
            benchmark=self.benchmark,
            meta={
                "codes": list(bars.codes),
                "accounts": dict(self.accounts),
                "log_dir": LoggerManager.log_dir() if self.output is not None else None,
                "fees": fee_schedules(session.contracts),
                "bars": bars.kind,
                **self._run_meta(bars, session),
            },
        )
        result._denied = _any_denied(vr.g_KVOrders)
        return result

    def _clock(self, session: Session) -> FillClock:
        """The clock of the run's fills: each bar's stated time (the start of an
        intraday bar's period, the label less the period; a daily bar's day),
        the bar of every trade and fired stop, and the ticks."""
        from korvit.backtest.records import FillClock

        bars = session.bars
        starts = bars.times if bars.interval is None else bars.times - bars.interval
        trade_bars = np.repeat(
            np.array([t for t, _ in session.fills], dtype=np.int64),
            np.array([n for _, n in session.fills], dtype=np.int64),
        )
        return FillClock(
            starts.to_numpy().astype("datetime64[ns]"), trade_bars, session.fired_on, self.ticks
        )

    def _traded_bars(self, bars: Bars) -> Bars:
        """The bars the run traded: without the warm-up before them."""
        if not self.first:
            return bars
        from korvit.data import Bars

        return Bars(
            bars.codes,
            bars.times[self.first :],
            bars.values[:, self.first :],
            bars.frequency,
            source=bars.source,
            interval=bars.interval,
        )

    def _run_meta(self, bars: Bars, session: Session) -> dict[str, Any]:
        """What the report states about the run: the strategy's file, the data
        (the bars traded, and how many warm-up bars came before them), the
        contracts' lots, the settings that change fills, the version."""
        import korvit

        no_contract = self.no_contract_line()
        return {
            **({"no_contract": no_contract} if no_contract else {}),
            "warmup_bars": self.first,
            "strategy_file": self.path,
            "version": korvit.__version__,
            "settings": dict(self.options),
            "data": {
                "source": str(bars.source),
                "frequency": bars.frequency,
                "bars": len(bars.times),
                "start": bars.times[0] if len(bars.times) else None,
                "end": bars.times[-1] if len(bars.times) else None,
            },
            "contracts": {
                c.code: {
                    "kind": c.kind,
                    "lot_size": c.lot_size,
                    "multiplier": c.multiplier,
                    "min_move": c.min_move,
                }
                for c in session.contracts
            },
        }


def run(strategy: StrategyLike, data: DataLike, **options: Unpack[RunOptions]) -> BacktestResult:
    """Run ``strategy`` over ``data`` and return the ``BacktestResult``; the
    options are those of ``Backtest``."""
    return Backtest(strategy, data, **options).run()


# ------------------------------------------------------------------ helpers


def _equity_frame(
    times: pd.DatetimeIndex, account_names: Sequence[str], equity: npt.NDArray[np.float64]
) -> pd.DataFrame:
    """The equity table: a row per bar and account, from the loop's array
    (bars x accounts x (cash, market value, margin, equity))."""
    n_bars, n_accounts = equity.shape[:2]
    frame: pd.DataFrame = pd.DataFrame(
        {
            "time": np.repeat(times.to_numpy(), n_accounts),
            "account": np.tile(np.array(account_names, dtype=object), n_bars),
            "cash": equity[:, :, 0].ravel(),
            "market_value": equity[:, :, 1].ravel(),
            "margin": equity[:, :, 2].ravel(),
            "equity": equity[:, :, 3].ravel(),
        }
    )
    return frame


class _Records:
    """The run's order, trade and stop-order records, and what their tables
    read of the run (codes, account names, contracts)."""

    def __init__(
        self, orders: Any, stops: Any, trades: Any, session: Session, clock: FillClock
    ) -> None:
        self._orders, self._stops, self._trades, self._clock = orders, stops, trades, clock
        self._session = types.SimpleNamespace(
            codes=list(session.codes),
            contracts=list(session.contracts),
            account_names=list(session.account_names),
        )

    def orders(self) -> pd.DataFrame:
        from korvit.backtest.records import orders_frame

        return orders_frame(self._orders, self._stops, self._session, self._trades, self._clock)

    def trades(self) -> pd.DataFrame:
        from korvit.backtest.records import trades_frame

        return trades_frame(self._trades, self._session, self._clock)

    def stops(self) -> pd.DataFrame:
        from korvit.backtest.records import stops_frame

        return stops_frame(self._stops, self._session, self._clock)


def _any_denied(orders: Iterable[Any]) -> bool:
    """Whether any of the run's orders was denied."""
    return any(order is not None and order.status == gv.OrderStatus_Denied for order in orders)


def _short(value: object, width: int = 60) -> str:
    text = repr(value)
    return text if len(text) <= width else text[: width - 3] + "..."


def _strategy_path(strategy: object) -> str | None:
    """The strategy's file, where there is one."""
    if isinstance(strategy, types.ModuleType):
        return getattr(strategy, "__file__", None)
    if isinstance(strategy, (str, os.PathLike)):
        return os.fspath(strategy)
    return None


def _found_contract(code: str, table: Mapping[str, Contract]) -> Contract | None:
    return table.get(code.upper()) or table.get(code)


def _contract_for(code: str, table: Mapping[str, Contract], lot: int | None = None) -> Contract:
    """The contract of ``code``: the table's, else a stock's (in lots of ``lot``,
    a stock's default lot when None)."""
    from korvit.data import Contract

    found = _found_contract(code, table)
    if found is not None:
        return found
    return Contract.default(code, "stock") if lot is None else Contract(code, "stock", lot_size=lot)


def _lot_size(value: object) -> int | None:
    """``default_lot_size`` checked: None, or a whole number from 1 to MAX_LOT_SIZE."""
    if value is None:
        return None
    whole = (isinstance(value, (int, np.integer)) and not isinstance(value, bool)) or (
        isinstance(value, (float, np.floating)) and float(value).is_integer()
    )
    lot = int(cast("float", value)) if whole else None
    if lot is None or not 1 <= lot <= MAX_LOT_SIZE:
        raise ValueError(
            f"default_lot_size must be a whole number from 1 to {MAX_LOT_SIZE:,d} "
            f"(the lot of every code without a contract), got {_short(value)}"
        )
    return lot


# The items of ``stock_commission`` and the contract fields they override.
_STOCK_COMMISSION_ITEMS = {
    "OpenTax": "tax_open",
    "CloseTax": "tax_close",
    "TransFee": "transfer_fee",
    "MinTradeFee": "min_commission",
}


def _with_fees(
    contracts: list[Contract], fees: object, stock_commission: object, commission_rate: object
) -> list[Contract]:
    """The run's contracts with the fees in force: as the contracts state them
    (``fees="contracts"``) with the overrides of every stock's items, or none
    (``fees="none"``)."""
    import dataclasses

    if fees not in ("contracts", "none"):
        raise ValueError(f"fees must be 'contracts' or 'none', got {fees!r}")
    overrides: dict[str, Any] = {}
    if stock_commission is not None:
        if not isinstance(stock_commission, Mapping):
            raise TypeError(
                f"stock_commission must be a mapping of {', '.join(_STOCK_COMMISSION_ITEMS)}, "
                f"got {_short(stock_commission)}"
            )
        for key, value in stock_commission.items():
            if key not in _STOCK_COMMISSION_ITEMS:
                raise ValueError(
                    f"stock_commission: unknown item {key!r}; items: "
                    f"{', '.join(_STOCK_COMMISSION_ITEMS)}"
                )
            overrides[_STOCK_COMMISSION_ITEMS[key]] = check_number(
                f"stock_commission[{key!r}]", value, high=MAX_CASH if key == "MinTradeFee" else 1.0
            )
    if commission_rate is not None:
        # in 1/10000 of the traded value, as the run setting cost_fee_stock is
        overrides["commission"] = (
            check_number("commission_rate", commission_rate, high=MAX_COMMISSION_RATE) / 10000
        )
    if fees == "none":
        if overrides:
            raise ValueError(
                "fees='none' charges no fees: leave out stock_commission and commission_rate"
            )
        return [contract.without_fees() for contract in contracts]
    return [
        contract if contract.is_futures else dataclasses.replace(contract, **overrides)
        for contract in contracts
    ]


def load_inputs(
    data: DataLike,
    ticks: TicksLike | None = None,
    *,
    start: TimeLike | None = None,
    end: TimeLike | None = None,
    tz: str | None = None,
    reading: Mapping[str, Any] | None = None,
) -> tuple[Bars, Ticks | None]:
    """``(bars, ticks)`` of a run: ``data`` and ``ticks`` loaded (unless they
    are already) and trimmed to ``start``..``end`` (inclusive).  ``reading``:
    the options of ``load_bars`` that tell how to read bars from a file or a
    frame (``code``, ``adjust``, ``date_format``, ``bar_time``).  Ticks loaded
    before (a ``Ticks`` object) can be trimmed only with the ``Bars`` they were
    loaded for (``ValueError`` otherwise)."""
    from korvit.data import Bars, Ticks, load_bars, load_ticks

    reading = dict(reading or {})
    trimmed = start is not None or end is not None
    if not isinstance(data, Bars):
        bars = load_bars(data, start=start, end=end, tz=tz, **reading)
    elif trimmed:
        bars = load_bars(data.to_frame(), start=start, end=end, tz=tz)
    else:
        bars = data
    if ticks is None or (isinstance(ticks, Ticks) and not trimmed):
        return bars, ticks
    if isinstance(ticks, Ticks):
        # Ticks are keyed by bar position: trimming moves the bars under them.
        if not isinstance(data, Bars):
            raise ValueError(
                "ticks loaded before (a Ticks object) can be trimmed with start/end "
                "only together with the Bars they were loaded for; pass the ticks "
                "as a path or a DataFrame instead"
            )
        return bars, _ticks_on(ticks, data, bars)
    return bars, load_ticks(
        ticks, bars, trim=trimmed, tz=tz, date_format=reading.get("date_format")
    )


def load_with_warmup(
    data: DataLike,
    ticks: TicksLike | None = None,
    *,
    start: TimeLike | None = None,
    end: TimeLike | None = None,
    warmup: int = 0,
    tz: str | None = None,
    reading: Mapping[str, Any] | None = None,
) -> tuple[Bars, Ticks | None, int]:
    """``(bars, ticks, first)``: as ``load_inputs``, but with up to ``warmup``
    bars before ``start`` kept in front of them (fewer where the data has
    fewer); ``first`` is the position of the first bar from ``start`` on, the
    number of warm-up bars kept."""
    from korvit.data import Bars, Ticks, load_bars
    from korvit.data.bars import _bounds

    reading = dict(reading or {})
    if not warmup or start is None:
        return (*load_inputs(data, ticks, start=start, end=end, tz=tz, reading=reading), 0)
    if not isinstance(data, Bars) and isinstance(ticks, Ticks):
        raise ValueError(
            "ticks loaded before (a Ticks object) can be trimmed with start/end "
            "only together with the Bars they were loaded for; pass the ticks "
            "as a path or a DataFrame instead"
        )
    low, high = _bounds(start, end, tz, reading.get("date_format"))
    if not isinstance(data, Bars):  # loaded once, then trimmed as Bars
        data, end, tz, reading = load_bars(data, end=end, tz=tz, **reading), None, None, {}
    times = data.times.to_numpy().astype("datetime64[ns]")  # as the bounds are
    assert low is not None  # start is given
    at = int(times.searchsorted(low))  # the first bar from start on
    begin = max(0, at - warmup)
    if begin == at or at == len(times) or (high is not None and times[at] > high):
        # no bar before start, or none from start to end: as without a warm-up
        return (*load_inputs(data, ticks, start=start, end=end, tz=tz, reading=reading), 0)
    bars, ticks = load_inputs(data, ticks, start=data.times[begin], end=end, tz=tz, reading=reading)
    return bars, ticks, at - begin


def _ticks_on(ticks: Ticks, bars: Bars, trimmed: Bars) -> Ticks:
    """``ticks`` (loaded for ``bars``) keyed by the positions of the same bars
    in ``trimmed``, a part of ``bars``; the ticks of bars outside it are left out."""
    from korvit.data import Ticks

    codes = [trimmed._index.get(code.upper()) for code in bars.codes]
    positions = trimmed.times.get_indexer(bars.times)
    code_map = np.array([-1 if code is None else code for code in codes], dtype=np.int64)
    code_index, bar_index, bounds, times, prices, volumes = ticks.flat()
    code_index, bar_index = code_map[code_index], positions[bar_index].astype(np.int64)
    keep = (code_index >= 0) & (bar_index >= 0)
    if keep.all():
        return Ticks.from_flat(
            code_index, bar_index, bounds, times, prices, volumes, trimmed.codes, ticks.source
        )
    lengths = np.diff(bounds)
    rows = np.repeat(keep, lengths)
    return Ticks.from_flat(
        code_index[keep],
        bar_index[keep],
        np.r_[0, np.cumsum(lengths[keep])],
        times[rows],
        prices[rows],
        volumes[rows],
        trimmed.codes,
        ticks.source,
    )


def _parse_core(core: object) -> tuple[str, int] | None:
    if core is None:
        return None
    if isinstance(core, tuple) and len(core) == 2:
        host, port = core
    else:
        text = str(core)
        host, sep, port = text.rpartition(":")
        if not sep or not host:
            raise ValueError(f"core must be HOST:PORT, got {core!r}")
    try:
        port = int(port)
    except (TypeError, ValueError):
        raise ValueError(f"core port must be a whole number, got {port!r}") from None
    if not 0 < port < 65536:
        raise ValueError(f"core port must be in 1..65535, got {port}")
    return host, port


def _forward_filled(values: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Each row's last known value at each column (NaN before the first)."""
    frame = pd.DataFrame(values.T)
    filled: npt.NDArray[np.float64] = frame.ffill().to_numpy().T
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


def _restore(saved: tuple[Any, Any, Any, Any]) -> None:
    framekit.vr, framekit.env, framekit.smm, domain.smm = saved


@contextlib.contextmanager
def _user_warnings_on_stderr() -> Iterator[None]:
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
