"""``run`` and ``Backtest``: a backtest, from its options to its result.

``run(strategy, data, ...)`` (or ``Backtest(...).run()``) runs a strategy over
bars and returns a ``BacktestResult``.  ``Backtest`` composes the run of its
parts, each a module of its own:

- ``options.py``: the options' types, the values they may take and their checks;
- ``inputs.py``: the strategy, the bars and ticks, and the contracts, loaded and
  checked;
- ``loop.py``: the engine's set-up (a fresh registry and environment, the core
  connection, the data and accounts loaded into the engine) and the bar loop,
  with the order of the steps of each bar;
- ``output.py``: the ``BacktestResult`` built from the engine's records.
"""

from __future__ import annotations

import contextlib
import shutil
import tempfile
import time
import warnings
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal, cast

import numpy as np
import numpy.typing as npt

import korvit.tframe.framekit as framekit
from korvit.api.history import _history
from korvit.backtest import domain
from korvit.backtest.inputs import (
    CalendarWarning,
    NoContractWarning,
    load_with_warmup,
    no_contract_line,
    run_contracts,
    strategy_of,
)
from korvit.backtest.loader import StrategyExit, StrategyLoadError, load_strategy
from korvit.backtest.loop import (
    bar_loop,
    connect_core,
    deal_bar,
    fresh_environment,
    load_run,
    restore_engine,
    user_warnings_on_stderr,
)
from korvit.backtest.options import (
    LIMIT_FILLS,
    STOP_FILLS,
    BenchmarkLike,
    ContractsLike,
    DataLike,
    RunOptions,
    StockCommission,
    StrategyLike,
    TicksLike,
    check_accounts,
    check_choice,
    check_output,
    check_params,
    check_warmup,
    parse_core,
    reading_options,
)
from korvit.backtest.output import build_result
from korvit.backtest.session import Session, close_session, current_session, open_session
from korvit.data.limits import MAX_SLIPPAGE, check_number
from korvit.tframe.utils.logger import LoggerManager

if TYPE_CHECKING:
    import os

    from typing_extensions import Unpack

    from korvit.backtest.results import BacktestResult
    from korvit.data import Bars, Contract, Ticks
    from korvit.data.bars import TimeLike
    from korvit.data.calendars import Calendar

__all__ = [
    "Backtest",
    "CalendarWarning",
    "NoContractWarning",
    "run",
    "deal_bar",
    "current_session",
    "load_strategy",
    "StrategyLoadError",
    "StrategyExit",
]


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
    - ``default_lot_size``: the lot of every code without a contract (any
      number above 0 up to 2e9, 0.001 for thousandths; default 100, a stock's).
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
      embedded stand-in core, started on a free loopback port at the
      process's first run and kept for its later runs.
    - ``output``: folder for the run's logs: the log files that hold
      anything are kept in its ``log`` folder when the run ends (the run
      works in a temporary folder, removed then); by default none are kept.
    - ``progress``: show a progress bar (None: only on a terminal).
    - ``tz``: the time zone of the bars and ticks read from files or frames
      (see ``korvit.data.load_bars``).
    - ``benchmark``: what the run is measured against (see
      ``korvit.backtest.benchmark``): "traded" (the default: buy and hold of
      the codes the strategy traded, equal weight, from the first bar's
      close), "equal-weight" (every code of the data), a code or a list of
      codes, "none", or a Series of prices.
    - ``calendar``: the trading calendar (see ``korvit.data.calendars``): an
      exchange of the ``exchange-calendars`` package or one of its aliases
      ("XNYS", "NYSE", "XSHG", "CMES", ...), "24/7" or "weekdays".  Not
      given, it is inferred: "24/7" when a bar falls on a weekend, the
      exchange the codes' prefix names when all share one the package knows,
      else "weekdays".  It sets what annualises the figures (365 days for
      "24/7", 252 for "weekdays", an exchange's sessions a year), the
      sessions minute curves are reduced to for daily returns, the day of
      ``good_till="day"`` and of ``cancel_stale_orders``, and the strategy
      reads it as ``korvit.backtest.current_session().calendar``.  ``run()``
      warns (``CalendarWarning``) of sessions without bars and of bars
      outside every session.
    - ``code``, ``adjust``, ``date_format``, ``bar_time``: how bars are read
      from files or frames (``korvit.data.load_bars``): the code of a file
      without a code column, scaling by the adjusted close, the format of the
      times (``date_format`` also reads the ticks' times), whether an intraday
      bar's time marks the end (default) or the start of its period.
    - ``codes``: the codes to run on, of the data's (a folder of files reads
      only theirs); all of them by default.

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
    calendar: Calendar
    calendar_why: str  # how the calendar was chosen: "named", or why it was inferred

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
        default_lot_size: float | None = None,
        core: str | tuple[str, int] | None = None,
        output: str | os.PathLike[str] | None = None,
        progress: bool | None = None,
        tz: str | None = None,
        code: str | Sequence[str] | None = None,
        codes: str | Sequence[str] | None = None,
        adjust: bool = False,
        date_format: str | None = None,
        bar_time: Literal["end", "start"] = "end",
        benchmark: BenchmarkLike = "traded",
        calendar: str | None = None,
    ) -> None:
        from korvit.backtest.benchmark import check_benchmark
        from korvit.data.calendars import resolve_calendar

        check_params(params)
        self.scope, self.name, self.path = strategy_of(strategy, params)
        reading = reading_options(data, code, adjust, date_format, bar_time, codes)
        warmup = check_warmup(warmup, start)
        self.bars, self.ticks, self.first = load_with_warmup(
            data, ticks, start=start, end=end, warmup=warmup, tz=tz, reading=reading
        )
        # bars read here (not the caller's own) may be handed to the engine to hold
        self._own_bars = self.bars is not data
        daily = self.bars.frequency == "day"
        self.calendar, self.calendar_why = resolve_calendar(
            calendar, list(self.bars.codes), self.bars.times, daily
        )
        # each code's contract, the codes without one (all traded on one contract, a
        # stock's) and their lot
        self.contracts, self.no_contract, self.default_lot_size = run_contracts(
            self.bars.codes, contracts, default_lot_size, fees, stock_commission, commission_rate
        )
        self.accounts = check_accounts(accounts, cash)
        self.params = dict(params or {})
        slippage = check_number("slippage", slippage, high=MAX_SLIPPAGE, high_open=True)
        check_choice("stop_fill", stop_fill, STOP_FILLS)
        check_choice("limit_fill", limit_fill, LIMIT_FILLS)
        self.settings = {
            "PriceLoc": 0 if price_at_previous_close else 1,
            "SlidePrice": slippage,
            "LimitType": bool(cancel_unfilled_limits),
            "StopFill": stop_fill,
            "LimitFill": limit_fill,
        }
        self.stock_commission = stock_commission
        self.cancel_stale_orders = bool(cancel_stale_orders)
        self.core = parse_core(core)
        check_output(output)
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
        self.warn_of_calendar()
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
        return no_contract_line(self, hint)

    def warn_of_no_contract(self) -> None:
        """Warn (``NoContractWarning``) of the codes without a contract, if any."""
        from korvit.backtest.results import _outside_frames

        line = self.no_contract_line("python")
        if line is None:
            return
        warning = NoContractWarning(line)
        warning.command_line = cast("str", self.no_contract_line("command line"))
        warnings.warn(warning, stacklevel=_outside_frames())

    def calendar_check(self) -> str | None:
        """What the bars and the calendar disagree on, in a line (sessions
        without any bar, bars outside every session, counted with the first
        examples); None when they agree."""
        from korvit.data.calendars import data_check

        return data_check(self.calendar, self.bars.times, self.bars.frequency == "day")

    def warn_of_calendar(self) -> None:
        """Warn (``CalendarWarning``) of what the bars and the calendar disagree on, if anything."""
        from korvit.backtest.results import _outside_frames

        line = self.calendar_check()
        if line is not None:
            warnings.warn(CalendarWarning(line), stacklevel=_outside_frames())

    def _run(self) -> BacktestResult:
        saved = (framekit.vr, framekit.env, framekit.smm, domain.smm)
        started = time.perf_counter()
        kept: list[Path] = []  # the folder the run's logs were kept in, if any
        with contextlib.ExitStack() as stack:
            # The core's working folder (its output and log folders): removed when the run
            # ends, after the logs that hold anything are kept in the output folder.
            work = Path(stack.enter_context(tempfile.TemporaryDirectory(prefix="korvit-")))
            stack.callback(restore_engine, saved)
            stack.callback(_history.clear)
            env = fresh_environment()
            socket = connect_core(stack, env, work, self.core)
            stack.callback(socket.disconnect)
            if self.output is not None:
                stack.callback(keep_logs, work / "log", Path(self.output) / "log", kept)
            stack.callback(LoggerManager.remove_log_handler)
            stack.enter_context(user_warnings_on_stderr())
            session = load_run(self, env)
            open_session(session)
            stack.callback(close_session)
            loop_started = time.perf_counter()
            equity = self._loop(env, session)
            loop_ended = time.perf_counter()
            result = build_result(self, env, session, equity)
            result.meta["timings"] = {
                "setup_s": loop_started - started,
                "loop_s": loop_ended - loop_started,
                "results_s": time.perf_counter() - loop_ended,
            }
        result.meta["log_dir"] = str(kept[0]) if kept else None
        return result

    def _loop(self, env: Any, session: Session) -> npt.NDArray[np.float64]:
        """The bar loop (``loop.bar_loop``), one step of ``run`` a subclass may wrap."""
        return bar_loop(self, env, session)


def run(strategy: StrategyLike, data: DataLike, **options: Unpack[RunOptions]) -> BacktestResult:
    """Run ``strategy`` over ``data`` and return the ``BacktestResult``; the
    options are those of ``Backtest``."""
    return Backtest(strategy, data, **options).run()


def keep_logs(logs: Path, folder: Path, kept: list[Path]) -> None:
    """Copies the files of ``logs`` that hold anything into ``folder`` (made if need be)
    and notes ``folder`` in ``kept``; an empty log is not kept."""
    found = (
        [f for f in logs.iterdir() if f.is_file() and f.stat().st_size > 0] if logs.is_dir() else []
    )
    if found:
        folder.mkdir(parents=True, exist_ok=True)
        for f in found:
            shutil.copy2(f, folder / f.name)
        kept.append(folder)
