"""Korvit: a quantitative-trading strategy framework.

The compiled core lives in two extension modules, ``korvit.tframe.framekit``
(the strategy environment base) and ``korvit.backtest.domain`` (the backtest
matching engine).  Everything else in this package is the pure-Python host
layer around them.

The framework's modules are also reachable under their short names
``tframe`` and ``backtest``: ``import tframe.framekit`` and
``import korvit.tframe.framekit`` give the very same module object.
"""

import os
from typing import Any

from korvit._aliases import install as _install_aliases

__all__ = ["get_support", "get_version", "paper", "__version__"]

# The package's version, written here only: pyproject.toml reads it from this line.
__version__ = "1.0.0"

# Versions of the core process this framework release can talk to (the core's own
# versions, not the package's).
_SUPPORTED_CORE_VERSIONS = ("1.0.0",)


def get_version() -> str:
    """This framework's version."""
    return __version__


def get_support() -> list[str]:
    """The core-process versions this framework release supports."""
    return list(_SUPPORTED_CORE_VERSIONS)


def paper(
    strategy: str | os.PathLike[str], feed: Any, out: str | os.PathLike[str], **options: Any
) -> Any:
    """Run a strategy file forward on a feed's bars as they come, with fills on paper;
    its outputs and journal in the folder ``out``, resumed from there when run again.
    ``feed``: "replay:PATH" (a data file or folder on a clock), "ccxt:EXCHANGE:SYMBOL:
    TIMEFRAME", "module:Class", or a ``korvit.live.Feed``.  The options are those of
    ``korvit.live.run.paper`` (warm-up, speed, feed time-out, and a backtest's
    contracts, cash, parameters and fill rules).  Returns the ``BacktestResult`` when
    the feed ends."""
    from korvit.live.run import paper as run_forward

    return run_forward(strategy, feed, out, **options)


_install_aliases()
