"""Backtests and a walk-forward sweep from Python, on the sample data.

    python examples/python_api.py

Runs ``examples/strategies/ma_cross.py`` once and prints its summary, then
sweeps its two averages over walk-forward splits, choosing each split's
parameters by a function of the training runs' statistics, and prints the
out-of-sample figures.  It is type-checked with the package (``mypy``).
"""

from pathlib import Path

import pandas as pd

from korvit.backtest import BacktestResult, run, sweep, walk_forward
from korvit.backtest.sweep import WalkForwardResult
from korvit.data import load_bars, load_contracts, sample_path

STRATEGY = Path(__file__).parent / "strategies" / "ma_cross.py"


def return_over_drawdown(stats: "pd.Series[float]") -> float:
    """What the sweep ranks runs by: the total return over the deepest drawdown."""
    drawdown = abs(stats["Max drawdown"])
    return float(stats["Total return"] / drawdown) if drawdown else 0.0


def main() -> None:
    bars = load_bars(sample_path("daily.csv"))
    contracts = load_contracts(sample_path("contracts.csv"))
    result: BacktestResult = run(
        STRATEGY, bars, contracts=contracts, cash=1_000_000, params={"fast": 5}, progress=False
    )
    print(result.summary())

    first, last = bars.times[0], bars.times[-1]
    table = sweep(
        STRATEGY,
        bars,
        {"fast": [5, 10], "slow": [20, 40]},
        where="fast < slow",
        splits=walk_forward(first, last, train=180, test=90),
        objective=return_over_drawdown,
        contracts=contracts,
        workers=2,
        progress=False,
    )
    walked: WalkForwardResult = table.attrs["walk_forward"]
    print(walked.splits[["split", "fast", "slow", "in_sample", "out_of_sample"]])
    print(f"out-of-sample total return {walked.stats['Total return']:.2%}")


if __name__ == "__main__":
    main()
