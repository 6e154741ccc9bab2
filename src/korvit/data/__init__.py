"""Market data for backtests: contracts, bars and ticks, loaded and checked before a run.

    from korvit.data import load_bars, load_contracts, load_ticks, sample_path

    bars = load_bars(sample_path("daily.csv"))
    contracts = load_contracts(sample_path("contracts.csv"))

Every problem in the input is a `DataError` naming file, row and column.
"""

from korvit.data.bars import Bars, load_bars
from korvit.data.contracts import Contract, load_contracts
from korvit.data.errors import DataError, DataWarning, check_code
from korvit.data.sample import sample_path
from korvit.data.ticks import Ticks, load_ticks

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
