"""Backtests: ``run(strategy, data, ...)`` or ``Backtest(...).run()`` gives a
``BacktestResult``; ``sweep(strategy, data, grid=...)`` runs many parameter
sets (and walk-forward splits) in worker processes.  The package also holds the matching engine ``domain``
(compiled), its records and accounts (``model``) and the run (``runner``, composed of
``options``, ``inputs``, ``loop`` and ``output``).  Rendering the results is
``korvit.report``'s."""

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # for type checkers; at run time the names load on first use (below)
    from korvit.backtest.inputs import CalendarWarning as CalendarWarning
    from korvit.backtest.inputs import NoContractWarning as NoContractWarning
    from korvit.backtest.loader import StrategyExit as StrategyExit
    from korvit.backtest.results import BacktestResult as BacktestResult
    from korvit.backtest.results import OrdersDeniedWarning as OrdersDeniedWarning
    from korvit.backtest.runner import Backtest as Backtest
    from korvit.backtest.runner import run as run
    from korvit.backtest.sweep.api import sweep as sweep
    from korvit.backtest.sweep.walkforward import walk_forward as walk_forward

__all__ = [
    "Backtest",
    "BacktestResult",
    "CalendarWarning",
    "NoContractWarning",
    "OrdersDeniedWarning",
    "StrategyExit",
    "run",
    "sweep",
    "walk_forward",
]


def __getattr__(name: str) -> object:
    # Loaded on first use: importing the package must not load the engine.
    if name in ("Backtest", "CalendarWarning", "NoContractWarning", "StrategyExit", "run"):
        from korvit.backtest import runner

        return getattr(runner, name)
    if name in ("sweep", "walk_forward"):
        # ``sweep`` is the package of that name, callable as its function ``sweep``
        import importlib

        module = importlib.import_module("korvit.backtest.sweep")
        return module if name == "sweep" else getattr(module, name)
    if name in ("BacktestResult", "OrdersDeniedWarning"):
        from korvit.backtest import results

        return getattr(results, name)
    raise AttributeError(f"module 'korvit.backtest' has no attribute {name!r}")
