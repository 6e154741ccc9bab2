"""Contract information: price step, multiplier, margin rates, lot size and fees of each code.

Codes read ``EXCHANGE.SYMBOL`` ("SZSE.000001", "SHFE.RB2405").  They are kept as written
and compared upper-case.
"""

from __future__ import annotations

import json
import math
import os
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, fields, replace
from typing import Any, Literal

import numpy as np
import pandas as pd

from korvit.data._kept import Kept, file_key
from korvit.data.errors import DataError, check_code, where
from korvit.data.limits import MAX_PRICE, MIN_PRICE_STEP, fmt_bound
from korvit.data.lots import MAX_ORDER_VOLUME, check_lot, on_grid

__all__ = [
    "Contract",
    "Contracts",
    "load_contracts",
    "check_code",
    "fee_schedules",
    "KINDS",
    "STOCK_FEES",
    "FUTURES_FEES",
]

KINDS = ("stock", "futures")
_KIND_NAMES = {"stock": "stock", "futures": "futures", "future": "futures"}
_NUMBERS = (
    "min_move",
    "multiplier",
    "long_margin",
    "short_margin",
    "fee_open",
    "fee_close",
    "lot_size",
    "commission",
    "min_commission",
    "tax_open",
    "tax_close",
    "transfer_fee",
)
# The fees of each kind; the other kind's fee columns must stay empty (or 0).
FUTURES_FEES = ("fee_open", "fee_close")
STOCK_FEES = ("commission", "min_commission", "tax_open", "tax_close", "transfer_fee")
# Stock fee items that are rates on the traded value (at most 1); min_commission is an amount.
_STOCK_RATES = ("commission", "tax_open", "tax_close", "transfer_fee")
_NO_STOCK_FEES: dict[str, Any] = dict.fromkeys(STOCK_FEES, 0.0)
_DEFAULTS = {
    "stock": dict(
        min_move=0.01,
        multiplier=1.0,
        long_margin=1.0,
        short_margin=1.0,
        fee_open=0.0,
        fee_close=0.0,
        lot_size=100,
        **_NO_STOCK_FEES,
    ),
    "futures": dict(
        min_move=1.0,
        multiplier=10.0,
        long_margin=0.1,
        short_margin=0.1,
        fee_open=0.0001,
        fee_close=0.0001,
        lot_size=1,
        **_NO_STOCK_FEES,
    ),
}


# A field's default: None, which takes the default of the contract's kind (after
# construction every field holds a value).
_OF_KIND: Any = None


@dataclass(frozen=True)
class Contract:
    """What the engine needs to know about one code.

    code
        ``EXCHANGE.SYMBOL``, kept as written, compared upper-case (see `key`).
    kind
        "stock" or "futures".
    min_move
        The price step, from 1e-8 to 1e9.  Default: 0.01 for a stock, 1.0 for futures.
    multiplier
        Value of one unit of price per lot (> 0, up to 1e9).  Default: 1 for a stock, 10 for futures.
    long_margin, short_margin
        Margin rates in (0, 1].  Default: 1.0 for a stock, 0.1 for futures.
    lot_size
        Opening orders must be a whole multiple of it, exactly in decimal: any number
        above 0 up to 2e9 (0.001 for a coin traded in thousandths, 1 for whole shares);
        a whole lot is kept as an int.  Default: 100 for a stock, 1 for futures.
    min_volume
        The smallest opening order, on the lot grid and not below one lot.  Default:
        one lot.
    fee_open, fee_close
        Futures fees when opening and closing.  A value up to 0.1 is a rate on the traded
        value, a value above 0.1 an amount per lot.  Default: 0.0001 (a rate) for futures.
        Both stay 0 for a stock.
    commission, min_commission, tax_open, tax_close, transfer_fee
        A stock's fees: the commission rate on the traded value and the least commission
        of a trade (an amount), the tax rates on opening (buying) and closing (selling)
        trades, and the transfer fee rate.  The rates are in [0, 1].  Default: 0 (no fees).
        All stay 0 for futures.  A trade pays
        ``value * tax + value * transfer_fee + max(value * commission, min_commission)``
        with ``value = price * volume`` (the commission counts as at least the minimum
        unless it is at least 1e-15 above it).

    Fields left as None take the default of the kind; `Contract.default(code, kind)` gives a
    contract with all defaults.
    """

    code: str
    kind: Literal["stock", "futures"]
    min_move: float = _OF_KIND
    multiplier: float = _OF_KIND
    long_margin: float = _OF_KIND
    short_margin: float = _OF_KIND
    fee_open: float = _OF_KIND
    fee_close: float = _OF_KIND
    lot_size: int | float = _OF_KIND
    commission: float = _OF_KIND
    min_commission: float = _OF_KIND
    tax_open: float = _OF_KIND
    tax_close: float = _OF_KIND
    transfer_fee: float = _OF_KIND
    min_volume: int | float = _OF_KIND

    def __post_init__(self) -> None:
        code = self.code if isinstance(self.code, str) else repr(self.code)
        checked = _checked(
            {f.name: getattr(self, f.name) for f in fields(self)},
            lambda column: f"Contract {code}, field {column!r}",
        )
        for name, value in checked.items():
            object.__setattr__(self, name, value)

    @classmethod
    def default(cls, code: str, kind: Literal["stock", "futures"]) -> Contract:
        """The contract of `code` with the defaults of `kind` ("stock" or "futures")."""
        return cls(code, kind)

    @property
    def key(self) -> str:
        """The code upper-case, as codes are compared."""
        return self.code.upper()

    @property
    def is_futures(self) -> bool:
        return self.kind == "futures"

    def engine_info(self) -> dict[str, float | int]:
        """The contract as the engine reads it (floats; a whole lot size an int, a
        fractional one the float).  A stock's entry states its lot size and its whole
        fee schedule, so that the engine takes none of it from the run's defaults.  The
        engine checks the lot of a stock's opening orders; the host checks that of
        futures, and every contract's min_volume, when an order is placed."""
        info: dict[str, float | int] = {
            "MinMove": float(self.min_move),
            "Multiple": float(self.multiplier),
            "LongMargin": float(self.long_margin),
            "ShortMargin": float(self.short_margin),
            "TradingFeeOpen": float(self.fee_open),
            "TradingFeeClose": float(self.fee_close),
        }
        if not self.is_futures:
            info.update(
                LotSize=self.lot_size,
                CommissionRate=float(self.commission),
                MinTradeFee=float(self.min_commission),
                OpenTax=float(self.tax_open),
                CloseTax=float(self.tax_close),
                TransFee=float(self.transfer_fee),
            )
        return info

    def without_fees(self) -> Contract:
        """This contract with every fee 0."""
        return replace(self, fee_open=0.0, fee_close=0.0, **_NO_STOCK_FEES)

    def fee_text(self) -> str:
        """The fee schedule in a few words, e.g. "commission 0.03 % (at least 5),
        transfer fee 0.002 %, tax 0.1 % on closing"."""
        if self.is_futures:
            if self.fee_open and self.fee_open == self.fee_close:
                return f"{_fee_amount(self.fee_open)} to open and to close"
            parts = [
                f"{_fee_amount(fee)} to {side}"
                for fee, side in ((self.fee_open, "open"), (self.fee_close, "close"))
                if fee
            ]
        else:
            parts = []
            if self.commission or self.min_commission:
                parts.append(
                    f"commission {_percent(self.commission)}"
                    + (f" (at least {self.min_commission:,.2f})" if self.min_commission else "")
                )
            if self.transfer_fee:
                parts.append(f"transfer fee {_percent(self.transfer_fee)}")
            parts += [
                f"tax {_percent(tax)} on {side}"
                for tax, side in ((self.tax_open, "opening"), (self.tax_close, "closing"))
                if tax
            ]
        return ", ".join(parts) or "no fees"


class Contracts(dict[str, Contract]):
    """Contracts by code as written; lookups ignore case."""

    def _find(self, code: object) -> Any:
        if isinstance(code, str) and not dict.__contains__(self, code):
            key = code.strip().upper()
            for written in self:
                if written.upper() == key:
                    return written
        return code

    def __getitem__(self, code: str) -> Contract:
        found = self._find(code)
        if not dict.__contains__(self, found):
            raise KeyError(f"no contract for {code!r}: known codes are {', '.join(self) or 'none'}")
        return dict.__getitem__(self, found)

    def __contains__(self, code: object) -> bool:
        return dict.__contains__(self, self._find(code))

    def get(self, code: str, default: Any = None) -> Any:
        return self[code] if code in self else default  # noqa: SIM401 - finds the code as [] does

    def for_codes(self, codes: Iterable[str]) -> list[Contract]:
        """The contracts of `codes`, in that order (KeyError naming a missing code)."""
        return [self[code] for code in codes]


def load_contracts(
    source: str
    | os.PathLike[str]
    | pd.DataFrame
    | Mapping[str, Contract]
    | Mapping[str, Mapping[str, Any]]
    | Sequence[Mapping[str, Any]],
) -> Contracts:
    """Read contracts into a `Contracts` mapping (code as written -> `Contract`).

    `source` is a CSV or JSON path, a DataFrame, a list of dicts, a dict from code to
    dict, or contracts loaded before (a `Contracts` mapping is returned as it is, a dict
    of `Contract` becomes one).  Columns (keys): `code` and `kind` are required,
    `min_move`, `multiplier`, `long_margin`, `short_margin`, `lot_size`, `min_volume`, `fee_open`,
    `fee_close` (futures), `commission`, `min_commission`, `tax_open`, `tax_close`,
    `transfer_fee` (stocks) optional; an empty cell (or null) takes the default of the kind.  Names ignore case; an unknown column is an error,
    so a misspelt one is not silently dropped.  A JSON file holds a list of objects or an
    object from code to object.  Errors name the file, row (CSV line, JSON item or entry)
    and column.
    """
    if isinstance(source, Contracts):
        return source
    key = file_key(source)
    found = None if key is None else _LOADED.get(key)
    if found is None:
        found = _load_contracts(source)
        if key is not None:
            _LOADED.put(key, found)
    return Contracts(found)  # its own mapping (the contracts themselves are frozen)


# The contracts of the files read last (see korvit.data._kept).
_LOADED = Kept()


def _load_contracts(source: object) -> Contracts:
    """``load_contracts`` of anything but a ``Contracts`` mapping."""
    entries: list[tuple[str, dict[Any, Any]]] = []  # (place of the entry, dict of its values)
    if (
        isinstance(source, dict)
        and source
        and all(isinstance(c, Contract) for c in source.values())
    ):
        return Contracts(source)  # loaded already (what load_contracts gives)
    if isinstance(source, (str, os.PathLike)):
        name = os.fspath(source)
        if not os.path.isfile(name):
            raise FileNotFoundError(f"{name}: no such file")
        if name.lower().endswith(".json"):
            entries = _json_entries(name)
        elif name.lower().endswith(".csv"):
            entries = _csv_entries(name)
        else:
            raise DataError(f"{name}: unknown file type: name it .csv or .json")
    elif isinstance(source, pd.DataFrame):
        entries = _frame_entries(source, "DataFrame", first_row=1)
    elif isinstance(source, dict):
        entries = _mapping_entries(source, "contracts")
    elif isinstance(source, (list, tuple)):
        entries = _list_entries(source, "contracts")
    else:
        raise TypeError(
            f"cannot read contracts from {type(source).__name__}: pass a CSV or "
            "JSON path, a DataFrame, a list of dicts or a dict code -> dict"
        )
    table = Contracts()
    first: dict[str, str] = {}
    for place, values in entries:
        checked = _checked(values, _column_of(place), required=True)
        key = checked["code"].upper()
        if key in first:
            raise DataError(
                f"{place}, column 'code': {checked['code']!r} is given twice "
                f"(first at {first[key]}; codes ignore case)"
            )
        first[key] = place
        table[checked["code"]] = Contract(**checked)
    return table


def _column_of(place: str) -> Callable[[str], str]:
    """How errors name a column of the entry at ``place``."""
    return lambda column: f"{place}, column {column!r}"


def _checked(
    values: Mapping[Any, Any], loc: Callable[[str], str], required: bool = False
) -> dict[str, Any]:
    """The contract fields of `values`, converted and checked; `loc(column)` places errors."""
    values = {str(k).strip().lower(): v for k, v in values.items()}
    known = ("code", "kind") + _NUMBERS + ("min_volume",)
    unknown = [k for k in values if k not in known]
    if unknown:
        raise DataError(f"{loc(unknown[0])}: unknown column; contracts have {', '.join(known)}")
    for column in ("code", "kind"):
        if required and _blank(values.get(column)):
            raise DataError(f"{loc(column)}: {column} is missing")
    code = check_code(values.get("code"), loc("code"))
    kind = values.get("kind")
    kind_name = _KIND_NAMES.get(kind.strip().lower()) if isinstance(kind, str) else None
    if kind_name is None:
        raise DataError(f"{loc('kind')}: unknown kind {kind!r}: use 'stock' or 'futures'")
    out: dict[str, Any] = {"code": code, "kind": kind_name}
    for column in _NUMBERS:
        value = values.get(column)
        out[column] = _DEFAULTS[kind_name][column] if _blank(value) else _number(value, loc(column))
    for column in ("min_move", "multiplier"):
        if out[column] <= 0:
            raise DataError(f"{loc(column)}: {column} {out[column]!r} is not positive")
        if out[column] > MAX_PRICE:
            raise DataError(
                f"{loc(column)}: {column} {out[column]!r} is above {fmt_bound(MAX_PRICE)}, "
                "the largest korvit accepts"
            )
    if out["min_move"] < MIN_PRICE_STEP:
        raise DataError(
            f"{loc('min_move')}: min_move {out['min_move']!r} is below "
            f"{fmt_bound(MIN_PRICE_STEP)}, the finest price step korvit accepts"
        )
    for column in ("long_margin", "short_margin"):
        if not 0 < out[column] <= 1:
            raise DataError(f"{loc(column)}: margin rate {out[column]!r} is not in (0, 1]")
    for column in FUTURES_FEES + STOCK_FEES:
        if out[column] < 0:
            raise DataError(f"{loc(column)}: fee {out[column]!r} is negative")
        if column in _STOCK_RATES and out[column] > 1:
            raise DataError(
                f"{loc(column)}: fee rate {out[column]!r} is above 1 (a rate on "
                f"the traded value: 0.0003 is 0.03 %)"
            )
        if out[column] > MAX_PRICE:
            raise DataError(
                f"{loc(column)}: fee {out[column]!r} is above {fmt_bound(MAX_PRICE)}, "
                "the largest fee korvit accepts"
            )
    own, other = (
        (FUTURES_FEES, STOCK_FEES) if kind_name == "futures" else (STOCK_FEES, FUTURES_FEES)
    )
    for column in other:
        if out[column] != 0:
            raise DataError(
                f"{loc(column)}: {'a stock' if kind_name == 'stock' else 'futures'} "
                f"pay{'s' * (kind_name == 'stock')} {', '.join(own)}: "
                f"leave {column} empty or 0"
            )
    try:
        lot = out["lot_size"] = check_lot(out["lot_size"], "lot size")
    except ValueError as exc:
        raise DataError(f"{loc('lot_size')}: {exc}") from None
    least = values.get("min_volume")
    if _blank(least):
        out["min_volume"] = lot
    else:
        least = _number(least, loc("min_volume"))
        if not lot <= least <= MAX_ORDER_VOLUME or not on_grid(least, lot):
            raise DataError(
                f"{loc('min_volume')}: min_volume {least!r} is not a whole number of lots "
                f"of {lot!r} from one lot up to {MAX_ORDER_VOLUME:,.0f}"
            )
        out["min_volume"] = int(least) if least.is_integer() else least
    return out


def _number(value: object, place: str) -> float:
    if isinstance(value, (bool, np.bool_)):
        raise DataError(f"{place}: {value!r} is not a number")
    try:
        number = float(value.strip() if isinstance(value, str) else value)  # type: ignore[arg-type]  # refused below
    except (TypeError, ValueError):
        raise DataError(f"{place}: cannot read {value!r} as a number") from None
    if not math.isfinite(number):
        raise DataError(f"{place}: {value!r} is not a finite number")
    return number


def _blank(value: Any) -> bool:
    if isinstance(value, str):
        return not value.strip()
    return value is None or (pd.api.types.is_scalar(value) and bool(pd.isna(value)))


def _csv_entries(name: str) -> list[tuple[str, dict[Any, Any]]]:
    try:
        frame = pd.read_csv(
            name,
            dtype=str,
            keep_default_na=False,
            skipinitialspace=True,
            encoding="utf-8-sig",
            skip_blank_lines=False,
        )
    except pd.errors.EmptyDataError:
        raise DataError(f"{name}: the file is empty") from None
    except pd.errors.ParserError as exc:
        raise DataError(
            f"{name}: cannot read the file as CSV: {' '.join(str(exc).split())}"
        ) from None
    except UnicodeDecodeError:
        raise DataError(f"{name}: the file is not UTF-8 text") from None
    return _frame_entries(frame, name, first_row=2, header_row=1)


def _frame_entries(
    frame: pd.DataFrame, name: str, first_row: int, header_row: int | None = None
) -> list[tuple[str, dict[Any, Any]]]:
    columns = [str(c).strip().lower() for c in frame.columns]
    for required in ("code", "kind"):
        if required not in columns:
            raise DataError(
                f"{where(name, header_row, required)}: missing column "
                f"(columns found: {', '.join(map(str, frame.columns)) or 'none'})"
            )
    entries = []
    for pos, row in enumerate(frame.itertuples(index=False, name=None)):
        if all(_blank(v) for v in row):
            continue
        entries.append((f"{name}, row {first_row + pos}", dict(zip(frame.columns, row))))
    return entries


def _json_entries(name: str) -> list[tuple[str, dict[Any, Any]]]:
    try:
        with open(name, encoding="utf-8-sig") as handle:
            data = json.load(handle)
    except json.JSONDecodeError as exc:
        raise DataError(f"{name}, line {exc.lineno}: not valid JSON: {exc.msg}") from None
    except UnicodeDecodeError:
        raise DataError(f"{name}: the file is not UTF-8 text") from None
    if isinstance(data, dict):
        return _mapping_entries(data, name)
    if isinstance(data, list):
        return _list_entries(data, name)
    raise DataError(f"{name}: expected a list of contracts or an object code -> contract")


def _list_entries(items: Iterable[object], name: str) -> list[tuple[str, dict[Any, Any]]]:
    entries = []
    for number, item in enumerate(items, 1):
        if not isinstance(item, dict):
            raise DataError(
                f"{name}, item {number}: a contract is a mapping of columns, "
                f"got {type(item).__name__}"
            )
        entries.append((f"{name}, item {number}", item))
    return entries


def _mapping_entries(mapping: Mapping[Any, object], name: str) -> list[tuple[str, dict[Any, Any]]]:
    entries = []
    for code, item in mapping.items():
        place = f"{name}, entry {code!r}"
        if not isinstance(item, dict):
            raise DataError(
                f"{place}: a contract is a mapping of columns, got {type(item).__name__}"
            )
        values = {str(k).strip().lower(): v for k, v in item.items()}
        if (
            "code" in values
            and not _blank(values["code"])
            and str(values["code"]).strip().upper() != str(code).strip().upper()
        ):
            raise DataError(
                f"{place}, column 'code': {values['code']!r} differs from the entry's key"
            )
        entries.append((place, values | {"code": code}))
    return entries


def fee_schedules(contracts: Iterable[Contract]) -> list[str]:
    """The fee schedules of `contracts` compactly: one line "CODE, CODE: schedule" per
    schedule, codes sharing a schedule on one line, in the order of their first code."""
    groups: dict[str, list[str]] = {}
    for contract in contracts:
        groups.setdefault(contract.fee_text(), []).append(contract.code)
    return [f"{', '.join(codes)}: {text}" for text, codes in groups.items()]


def _percent(rate: float) -> str:
    return f"{rate * 100:.6g} %"


def _fee_amount(fee: float) -> str:
    """A futures fee: a rate on the traded value up to 0.1, an amount per lot above."""
    return f"{_percent(fee)} of the value" if fee <= 0.1 else f"{fee:,.6g} per lot"
