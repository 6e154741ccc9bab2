"""What a run reads: the strategy, the bars and ticks, the contracts.

``Backtest`` (``runner.py``) loads them here, as it checks its options;
``no_contract_line`` reads the ``Backtest`` (``test``) it describes.
``load_inputs`` and ``load_with_warmup`` serve the sweeps and the command line
too.
"""

from __future__ import annotations

import os
import types
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

from korvit.backtest.listing import shortened
from korvit.backtest.loader import check_parameters, load_strategy, prepare_callbacks
from korvit.backtest.options import check_lot_size, with_fees
from korvit.data.errors import DataWarning

if TYPE_CHECKING:
    from korvit.backtest.options import ContractsLike, DataLike, StrategyLike, TicksLike
    from korvit.backtest.runner import Backtest
    from korvit.data import Bars, Contract, Ticks
    from korvit.data.bars import TimeLike

__all__ = [
    "NoContractWarning",
    "CalendarWarning",
    "strategy_of",
    "run_contracts",
    "no_contract_line",
    "load_inputs",
    "load_with_warmup",
]

# Codes named in the line on codes without a contract; the others are counted.
NAMED_CODES = 10


class NoContractWarning(DataWarning):
    """Codes of a run have no contract: they are traded on the terms of a stock
    (lots of 100 unless ``default_lot_size`` says otherwise, no fees but those of
    ``stock_commission`` and ``commission_rate``).  ``command_line`` holds the
    same line worded for the command line."""

    command_line: str


class CalendarWarning(DataWarning):
    """The bars and the run's calendar disagree: sessions of the calendar
    between the first and the last bar have no bar of any code, or bars lie
    outside every session (``korvit.data.calendars.data_check``'s line)."""


def strategy_of(
    strategy: StrategyLike, params: Mapping[str, Any] | None
) -> tuple[dict[str, Any], str, str | None]:
    """The strategy's scope (its callbacks checked and adapted, ready to run), its
    name and its file; ``params`` refused where the strategy's file never reads one."""
    check_parameters(strategy, params)
    scope, name = load_strategy(strategy)
    scope = prepare_callbacks(scope, name)
    return scope, name, _strategy_path(strategy)


def run_contracts(
    codes: Sequence[str],
    contracts: ContractsLike | None,
    default_lot_size: object,
    fees: object,
    stock_commission: object,
    commission_rate: object,
) -> tuple[list[Contract], list[str], float | None]:
    """``(contracts, no_contract, lot)``: the contract of each of ``codes``, with the
    fees in force; the codes the table has no contract for (traded as stocks, in lots
    of ``default_lot_size`` when given); and that lot, checked."""
    from korvit.data import load_contracts

    table: Mapping[str, Contract] = {} if contracts is None else load_contracts(contracts)
    lot = check_lot_size(default_lot_size)
    found = with_fees(
        [_contract_for(code, table, lot) for code in codes],
        fees,
        stock_commission,
        commission_rate,
    )
    missing = [code for code in codes if _found_contract(code, table) is None]
    return found, missing, lot


def no_contract_line(
    test: Backtest, hint: Literal["python", "command line", None] = None
) -> str | None:
    """The codes without a contract and the terms they are traded on, in a
    line ("2 codes have no contract and are traded as stocks in lots of 100
    without fees: SHFE.RB2405, SHFE.HC2405"), with what to give instead in
    the words of ``hint``; None when every code has its contract."""
    codes = test.no_contract
    if not codes:
        return None
    contract = test.contracts[test.bars.codes.index(codes[0])]
    one = len(codes) == 1
    fees = contract.fee_text()
    named = shortened(codes, NAMED_CODES)
    line = (
        f"{len(codes):,d} code{'' if one else 's'} {'has' if one else 'have'} no contract "
        f"and {'is' if one else 'are'} traded as {'a stock' if one else 'stocks'} in lots "
        f"of {_lot_text(contract.lot_size)} {'without fees' if fees == 'no fees' else 'paying ' + fees}: "
        f"{named}"
    )
    given = test.default_lot_size is not None
    if hint == "python":
        line += "; give contracts=" + ("" if given else ", or default_lot_size=")
    elif hint == "command line":
        line += "; give --contracts" + ("" if given else ", or --lot-size")
    return line


def _lot_text(lot: float) -> str:
    """A lot in a line: ``100``, ``1,000``, ``0.001``."""
    return f"{lot:,d}" if isinstance(lot, int) else repr(lot)


def _strategy_path(strategy: object) -> str | None:
    """The strategy's file, where there is one."""
    if isinstance(strategy, types.ModuleType):
        return getattr(strategy, "__file__", None)
    if isinstance(strategy, (str, os.PathLike)):
        return os.fspath(strategy)
    return None


def _found_contract(code: str, table: Mapping[str, Contract]) -> Contract | None:
    return table.get(code.upper()) or table.get(code)


def _contract_for(code: str, table: Mapping[str, Contract], lot: float | None = None) -> Contract:
    """The contract of ``code``: the table's, else a stock's (in lots of ``lot``,
    a stock's default lot when None)."""
    from korvit.data import Contract

    found = _found_contract(code, table)
    if found is not None:
        return found
    return Contract.default(code, "stock") if lot is None else Contract(code, "stock", lot_size=lot)


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
        # read again for its checks, but as what they were: their frequency and period
        # (which the bars left might tell otherwise: minute bars a day apart) and source
        kept = load_bars(data.to_frame(), start=start, end=end, tz=tz)
        bars = Bars(kept.codes, kept.times, kept.values, data.frequency, data.source, data.interval)
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
