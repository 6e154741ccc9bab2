"""The options of a run: their types, the values they may take, and their checks.

``Backtest`` (``runner.py``) takes the options, with their defaults, in its
signature and checks each here as it comes to it, in the order it always has
(given several bad options, a run names the same one first).  Each check
raises ``ValueError`` or ``TypeError`` with a one-line message; the bounds are
those of ``korvit.data.limits``.
"""

from __future__ import annotations

import os
import types
from collections.abc import Callable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal, TypeAlias, TypedDict

import numpy as np
import pandas as pd

from korvit.data.limits import MAX_CASH, MAX_COMMISSION_RATE, check_number
from korvit.data.lots import check_lot

if TYPE_CHECKING:
    from korvit.data import Bars, Contract, Ticks
    from korvit.data.bars import BarSource, TimeLike

__all__ = [
    "STOP_FILLS",
    "LIMIT_FILLS",
    "MAX_LOT_SIZE",
    "StrategyLike",
    "DataLike",
    "TicksLike",
    "ContractsLike",
    "BenchmarkLike",
    "StockCommission",
    "RunOptions",
    "check_params",
    "reading_options",
    "check_warmup",
    "check_accounts",
    "check_choice",
    "check_output",
    "check_lot_size",
    "with_fees",
    "parse_core",
]

# Where a stop fired on the bar alone fills (``stop_fill``); the first is the default.
STOP_FILLS = ("first_traded", "stop_price")
# Where a limit order the market reached at a better price fills (``limit_fill``); the
# first is the default.
LIMIT_FILLS = ("first_traded", "limit_price")
# The largest lot a code without a contract may be given (``default_lot_size``): the
# engine's limit on the volume of one order, in the contract's units.
MAX_LOT_SIZE = 2_000_000_000

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
    default_lot_size: int | float | None
    core: str | tuple[str, int] | None
    output: str | os.PathLike[str] | None
    progress: bool | None
    tz: str | None
    code: str | Sequence[str] | None
    codes: str | Sequence[str] | None
    adjust: bool
    date_format: str | None
    bar_time: Literal["end", "start"]
    benchmark: BenchmarkLike
    calendar: str | None


def check_params(params: object) -> None:
    """``params`` is None or a mapping (``TypeError`` otherwise)."""
    if params is not None and not isinstance(params, Mapping):
        raise TypeError(
            f"params must be a mapping of parameter names to values (a dict), "
            f"got {type(params).__name__} {_short(params)}"
        )


def reading_options(
    data: object,
    code: object,
    adjust: object,
    date_format: object,
    bar_time: object,
    codes: object = None,
) -> dict[str, Any]:
    """The options of ``load_bars`` that tell how to read bars from a file, a folder or
    a frame, refused (``ValueError``) for bars already loaded."""
    from korvit.data import Bars

    reading = {"code": code, "adjust": adjust, "date_format": date_format, "bar_time": bar_time}
    if codes is not None:
        reading["codes"] = codes
    if isinstance(data, Bars) and any((code, adjust, date_format, bar_time != "end", codes)):
        given = ", ".join(
            f"{name}="
            for name, value in reading.items()
            if value and (name, value) != ("bar_time", "end")
        )
        raise ValueError(
            f"{given} tell how to read bars from a file or a frame, and these bars are "
            "loaded: pass the path or the frame, or give the option to load_bars"
        )
    return reading


def check_warmup(warmup: object, start: object) -> int:
    """``warmup``: a whole number of bars from 0, and more than 0 only with ``start``."""
    if isinstance(warmup, bool) or not isinstance(warmup, (int, np.integer)) or warmup < 0:
        raise ValueError(f"warmup must be a whole number of bars >= 0, got {_short(warmup)}")
    if warmup and start is None:
        raise ValueError(
            "warmup is the bars before start the strategy sees as history: give start too"
        )
    return int(warmup)


def check_accounts(accounts: object, cash: object) -> dict[str, float]:
    """The run's accounts ``{name: cash}``: ``accounts``, else the one account "main"
    with ``cash``."""
    if accounts is None:
        accounts = {"main": cash}
    if not isinstance(accounts, dict) or not accounts:
        raise ValueError(f"accounts must be a non-empty dict {{name: cash}}, got {accounts!r}")
    checked = {}
    for name, value in accounts.items():
        if not isinstance(name, str) or not name:
            raise ValueError(f"an account name is non-empty text, got {name!r}")
        what = "cash" if len(accounts) == 1 and name == "main" else f"cash of account {name!r}"
        checked[name] = check_number(what, value, high=MAX_CASH)
    return checked


def check_choice(name: str, value: object, choices: Sequence[str]) -> None:
    """``value`` is one of ``choices`` (``stop_fill``, ``limit_fill``)."""
    if not isinstance(value, str) or value not in choices:
        raise ValueError(f"{name} must be {' or '.join(map(repr, choices))}, got {value!r}")


def check_output(output: str | os.PathLike[str] | None) -> None:
    """``output`` is a folder, or nothing yet."""
    if output is not None and os.path.exists(output) and not os.path.isdir(output):
        raise ValueError(f"output {os.fspath(output)!r} is a file, not a folder")


def _short(value: object, width: int = 60) -> str:
    text = repr(value)
    return text if len(text) <= width else text[: width - 3] + "..."


def check_lot_size(value: object) -> int | float | None:
    """``default_lot_size`` checked: None, or a number above 0 up to MAX_LOT_SIZE (an
    int when whole, 0.001 for a coin traded in thousandths)."""
    if value is None:
        return None
    number = float(value) if isinstance(value, (np.integer, np.floating)) else value
    try:
        return check_lot(number, "default_lot_size")
    except ValueError:
        raise ValueError(
            f"default_lot_size must be a number above 0 up to {MAX_LOT_SIZE:,d} "
            f"(the lot of every code without a contract, in its units), got {_short(value)}"
        ) from None


# The items of ``stock_commission`` and the contract fields they override.
_STOCK_COMMISSION_ITEMS = {
    "OpenTax": "tax_open",
    "CloseTax": "tax_close",
    "TransFee": "transfer_fee",
    "MinTradeFee": "min_commission",
}


def with_fees(
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


def parse_core(core: object) -> tuple[str, int] | None:
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
