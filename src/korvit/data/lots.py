"""Volumes on a contract's lot grid, worked out exactly in decimal.

A lot of 0.001 means the decimal 0.001, not the binary double nearest to it, and a
volume of 0.125 the decimal 0.125.  Every volume is read through its shortest
round-trip text (the digits ``repr`` gives), and sums, differences and multiples of
lots are exact in those decimals; the result is the double nearest to the exact
value.  Whole numbers keep Python's plain arithmetic, so integral volumes and lots
give the same bits as ever.
"""

from __future__ import annotations

import math
import numbers
from fractions import Fraction

__all__ = [
    "MAX_ORDER_VOLUME",
    "exact",
    "volume_add",
    "volume_sub",
    "volume_sum",
    "on_grid",
    "lots_down",
    "shown",
    "check_lot",
]

# The largest volume one order may have, in the contract's own units (shares, coins,
# contracts): the engine denies a new order above it.
MAX_ORDER_VOLUME = 2e9


def _plain(x: object) -> bool:
    """Whether ``x`` takes Python's own operators: anything but a finite float (a
    Python or numpy double) with a fractional part."""
    return not (isinstance(x, float) and math.isfinite(x) and not x.is_integer())


def exact(x: object) -> Fraction:
    """The exact decimal that ``x``'s shortest text denotes (``Fraction(repr(x))`` of a
    float; an int as it is)."""
    if isinstance(x, numbers.Integral):
        return Fraction(int(x))
    return Fraction(str(x))


def volume_add(a: float, b: float) -> float:
    """``a + b``; exact in decimal (the nearest double) when either is a fraction."""
    if _plain(a) and _plain(b):
        return a + b
    return float(exact(a) + exact(b))


def volume_sub(a: float, b: float) -> float:
    """``a - b``; exact in decimal (the nearest double) when either is a fraction."""
    if _plain(a) and _plain(b):
        return a - b
    return float(exact(a) - exact(b))


def volume_sum(values: object) -> float:
    """The exact decimal sum of ``values`` as the nearest double (0.0 when empty)."""
    return float(sum((exact(v) for v in values), Fraction(0)))  # type: ignore[attr-defined]


def on_grid(volume: object, lot: object) -> bool:
    """Whether ``volume`` is a whole multiple of ``lot``, exactly in decimal."""
    q = exact(volume) / exact(lot)
    return q.denominator == 1


def lots_down(volume: float, lot: object) -> float:
    """``volume`` rounded toward zero to a whole number of lots (exact in decimal)."""
    if not math.isfinite(volume):
        return volume
    count = math.trunc(exact(volume) / exact(lot))
    return float(count * exact(lot))


def shown(volume: float) -> str:
    """A volume for messages and tables: whole ones without decimals (``300``), others
    in their shortest text (``0.125``), never rounded to 0."""
    volume = float(volume)
    if volume.is_integer():
        return f"{volume:.0f}" if abs(volume) < 1e15 else f"{volume:g}"
    return repr(volume)


def check_lot(value: object, what: str) -> int | float:
    """A lot size: a positive finite number up to MAX_ORDER_VOLUME, an ``int`` when it
    is whole (as lots always were), else the float; a one-line ``ValueError`` naming
    ``what`` otherwise."""
    kind = type(value)
    real = kind is float or kind is int or (kind is not bool and isinstance(value, numbers.Real))
    lot = float(value) if real else math.nan  # type: ignore[arg-type]
    if not (math.isfinite(lot) and 0 < lot <= MAX_ORDER_VOLUME):
        raise ValueError(
            f"{what} {value!r} is not a number above 0 and up to {MAX_ORDER_VOLUME:,.0f} "
            "(the largest order, in the contract's units)"
        )
    return int(lot) if lot.is_integer() else lot
