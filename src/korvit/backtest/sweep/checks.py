"""Checks of what a sweep is given, before any run starts."""

import json
import os
import types
from pathlib import Path

from korvit.backtest.sweep.space import SweepError

# Options of Backtest that a sweep hands on to every run as they are.
RUN_OPTIONS = (
    "cash",
    "accounts",
    "price_at_previous_close",
    "slippage",
    "cancel_unfilled_limits",
    "cancel_stale_orders",
    "fees",
    "stock_commission",
    "commission_rate",
    "stop_fill",
    "limit_fill",
    "default_lot_size",
    "benchmark",
    "calendar",
)


def _strategy_source(strategy):
    if isinstance(strategy, types.ModuleType):
        strategy = getattr(strategy, "__file__", None)
        if strategy is None:
            raise SweepError("a sweep needs the strategy as a file: this module has none")
    if not isinstance(strategy, (str, os.PathLike)):
        raise SweepError(
            "a sweep needs the strategy as a file (a path or a module loaded from "
            f"one), got {type(strategy).__name__}"
        )
    path = Path(strategy)
    if not path.is_file():
        raise SweepError(f"strategy file {str(path)!r} does not exist")
    source = path.read_text(encoding="utf-8")
    try:
        compile(source, str(path.resolve()), "exec")
    except SyntaxError as exc:
        raise SweepError(f"{path}:{exc.lineno}: syntax error: {exc.msg}") from None
    return str(path.resolve()), source


def _jsonable_options(options):
    out = {}
    for name, value in options.items():
        try:
            json.dumps(value)
        except TypeError:
            raise SweepError(f"option {name}={value!r} is not a plain value") from None
        out[name] = value
    return out
