"""Small functions on user-facing values."""

from collections.abc import Mapping

__all__ = ["todotmc"]


def todotmc(code):
    """The dotted upper-case "MARKET.CODE" form of a target entry.

    Accepts "szse.000001" text, a (market, code) pair or a mapping with
    "Market" and "Code".
    """
    if isinstance(code, str):
        parts = code.strip().split(".")
        if len(parts) != 2:
            raise ValueError(f"target {code!r} is not of the form MARKET.CODE")
        market, number = parts
    elif isinstance(code, Mapping):
        try:
            market, number = code["Market"], code["Code"]
        except KeyError as exc:
            raise ValueError(f"target {code!r} has no {exc.args[0]!r} entry") from None
    elif isinstance(code, (tuple, list)):
        if len(code) != 2:
            raise ValueError(f"target {code!r} is not a (market, code) pair")
        market, number = code
    else:
        raise TypeError(f"cannot read a target from a {type(code).__name__}: {code!r}")
    if not isinstance(market, str) or not isinstance(number, str):
        raise TypeError(f"market and code of target {code!r} must be text")
    market, number = market.strip(), number.strip()
    if not market or not number or "." in market or "." in number:
        raise ValueError(f"target {code!r} has an empty or dotted market or code")
    return f"{market}.{number}".upper()
