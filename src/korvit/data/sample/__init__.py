"""The sample data set shipped with Korvit (rebuilt by ``python -m korvit.data.sample.generate``).

- ``daily.csv``: daily bars of three stocks and one futures contract, 2022-01-03 on.
- ``minute.csv``: minute bars of the futures contract over five days.
- ``ticks.csv``: ticks of the futures contract on two of those days.
- ``contracts.csv``: the contracts of the four codes.
"""

from __future__ import annotations

from pathlib import Path

__all__ = ["sample_path", "SAMPLE_DIR"]

SAMPLE_DIR = Path(__file__).resolve().parent


def sample_path(name: str = "daily.csv") -> Path:
    """The path of the sample file `name`."""
    available = sorted(p.name for p in SAMPLE_DIR.glob("*.csv"))
    if name not in available:
        raise FileNotFoundError(
            f"no sample file {name!r}: available are {', '.join(available) or 'none'}"
        )
    return SAMPLE_DIR / name
