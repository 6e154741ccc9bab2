"""Errors and warnings of the data layer, and how they name a place in the input."""

from __future__ import annotations

import math

__all__ = ["DataError", "DataWarning", "check_code", "where"]


class DataError(ValueError):
    """Bad input data: the message names the file (or "DataFrame"), row and column."""


class DataWarning(UserWarning):
    """Data that loads but that the engine will treat in a way worth knowing."""


def where(source: object, row: int | None = None, column: object = None) -> str:
    """The place of a value, as the user sees it: ``"daily.csv, row 5, column 'close'"``."""
    parts = [str(source)]
    if row is not None:
        parts.append(f"row {row}")
    if column == "":
        parts.append("the unnamed first column")
    elif column is not None:
        parts.append(f"column {column!r}" if isinstance(column, str) else f"column {column}")
    return ", ".join(parts)


def check_code(code: object, where: str = "") -> str:
    """The code, stripped of surrounding blanks, if it reads ``EXCHANGE.SYMBOL``.

    Exactly one dot with a non-empty exchange before it and a non-empty symbol
    after it, and no blanks inside.  Raises `DataError` prefixed by `where`
    (e.g. ``"daily.csv, row 5, column 'code'"``) otherwise.
    """
    prefix = f"{where}: " if where else ""
    if code is None or (isinstance(code, float) and math.isnan(code)):
        raise DataError(f"{prefix}code is missing")
    if not isinstance(code, str):
        raise DataError(f"{prefix}code {code!r} is not text: write it as EXCHANGE.SYMBOL")
    text = code.strip()
    if not text:
        raise DataError(f"{prefix}code is missing")
    if any(ch.isspace() for ch in text):
        raise DataError(f"{prefix}code {text!r} holds a blank: write it as EXCHANGE.SYMBOL")
    dots = text.count(".")
    if dots == 0:
        raise DataError(
            f"{prefix}code {text!r} has no exchange prefix: write it as "
            f"EXCHANGE.SYMBOL, e.g. 'SIM.{text}'"
        )
    if dots > 1:
        raise DataError(
            f"{prefix}code {text!r} has {dots} dots: write it as EXCHANGE.SYMBOL "
            "with exactly one dot"
        )
    exchange, symbol = text.split(".")
    if not exchange:
        raise DataError(f"{prefix}code {text!r} has an empty exchange: write it as EXCHANGE.SYMBOL")
    if not symbol:
        raise DataError(f"{prefix}code {text!r} has an empty symbol: write it as EXCHANGE.SYMBOL")
    return text
