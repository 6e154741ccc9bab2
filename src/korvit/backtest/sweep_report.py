"""The sweep's report where version 1.0 had it: it is ``korvit.report.sweep_report``
now.  ``from korvit.backtest.sweep_report import save_sweep_report`` (and any other
name of that module) keeps working: the name is read from the new module on first
use, so that nothing in ``korvit.backtest`` imports the rendering as it loads."""

from typing import Any


def __getattr__(name: str) -> Any:
    if name.startswith("__") and name != "__all__":  # what the import system looks for
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    import korvit.report.sweep_report as moved

    return getattr(moved, name)
