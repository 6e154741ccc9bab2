"""Market data for backtests: contracts, bars and ticks, loaded and checked before a run.

    from korvit.data import load_bars, load_contracts, load_ticks, sample_path

    bars = load_bars(sample_path("daily.csv"))
    contracts = load_contracts(sample_path("contracts.csv"))

Every problem in the input is a `DataError` naming file, row and column.

The names are imported when first used, so the engine's own imports of this package's
pandas-free modules (`korvit.data.lots`) never load pandas.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from korvit.data.bars import Bars, load_bars
    from korvit.data.contracts import Contract, load_contracts
    from korvit.data.errors import DataError, DataWarning, check_code
    from korvit.data.sample import sample_path
    from korvit.data.ticks import Ticks, load_ticks

_HOMES = {
    "Bars": "bars",
    "load_bars": "bars",
    "Contract": "contracts",
    "load_contracts": "contracts",
    "DataError": "errors",
    "DataWarning": "errors",
    "check_code": "errors",
    "sample_path": "sample",
    "Ticks": "ticks",
    "load_ticks": "ticks",
}

__all__ = [
    "Bars",
    "Contract",
    "DataError",
    "DataWarning",
    "Ticks",
    "check_code",
    "load_bars",
    "load_contracts",
    "load_ticks",
    "sample_path",
]


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module 'korvit.data' has no attribute {name!r}")
    value = getattr(importlib.import_module(f"korvit.data.{home}"), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_HOMES))
