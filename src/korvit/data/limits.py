"""The largest (and smallest) values a run accepts, checked when the data and options load.

The engine works in doubles and rounds prices to their step with decimals of 28 digits;
beyond these bounds a run would fail deep in the engine (a decimal division that cannot
be carried out, an overflow in a valuation) or lose the cents of its accounts:

- prices (bars, ticks, limit orders) up to ``MAX_PRICE``; with the finest price step
  (``MIN_PRICE_STEP``) a price is at most 10^17 steps;
- volumes of bars and ticks up to ``MAX_VOLUME``, below 2^53, so whole volumes stay whole;
- a contract's price step from ``MIN_PRICE_STEP`` to ``MAX_PRICE``, its multiplier and a
  fee per lot up to ``MAX_PRICE``;
- cash of an account, and the minimum stock commission, up to ``MAX_CASH``, where a
  double still holds a thousandth of the currency exactly;
- the stock commission rate (in 1/10000 of the traded value) up to 10000, the stock
  commission items (taxes, transfer fee) up to 1 (the whole traded value), the slippage
  below 1.
"""

import math
import numbers

__all__ = [
    "MAX_PRICE",
    "MAX_VOLUME",
    "MIN_PRICE_STEP",
    "MAX_CASH",
    "MAX_COMMISSION_RATE",
    "MAX_SLIPPAGE",
    "check_number",
    "fmt_bound",
]

MAX_PRICE = 1e9
MAX_VOLUME = 1e15
MIN_PRICE_STEP = 1e-8
MAX_CASH = 1e13
MAX_COMMISSION_RATE = 10_000.0
MAX_SLIPPAGE = 1.0


def fmt_bound(value: float) -> str:
    """A bound for messages: ``1e+09`` reads worse than ``1e9``."""
    text = f"{value:g}"
    return text.replace("e+0", "e").replace("e+", "e").replace("e-0", "e-")


def check_number(
    name: str,
    value: object,
    *,
    low: float = 0.0,
    high: float,
    low_open: bool = False,
    high_open: bool = False,
) -> float:
    """``value`` as a float if it is a real number (not a bool) in the range; a
    one-line ``ValueError`` naming ``name`` otherwise."""
    kind = type(value)
    real = kind is float or kind is int or (kind is not bool and isinstance(value, numbers.Real))
    if not real:
        raise ValueError(f"{name} must be a number, got {value!r}")
    try:
        number = float(value)  # type: ignore[arg-type]  # a real number, checked above
    except OverflowError:
        number = math.inf
    if not math.isfinite(number):
        raise ValueError(f"{name} must be a finite number, got {value!r}")
    below = number <= low if low_open else number < low
    above = number >= high if high_open else number > high
    if below or above:
        span = f"{'(' if low_open else '['}{fmt_bound(low)}, {fmt_bound(high)}{')' if high_open else ']'}"
        raise ValueError(f"{name} {value!r} is outside {span}")
    return number
