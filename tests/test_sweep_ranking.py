"""Ranking a sweep's runs: each statistic in its better direction, --minimize,
--min-trades and a function of the statistics; each walk-forward test takes
the best training run of its own split by that ranking, and a walk-forward
whose every test fails is a failure."""

from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from support import korvit_here

from korvit.backtest import sweep
from korvit.backtest.sweep import SweepError, walk_forward
from korvit.report.sweep_report import best_runs

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "strategies" / "ma_cross.py"
GRID_ARGS = ["--grid", "fast=5,10,20", "--grid", "slow=30,60"]


def korvit_sweep(out, *args):
    return korvit_here(
        "sweep",
        EXAMPLE,
        *GRID_ARGS,
        "--workers",
        "2",
        "--walk-forward",
        "300,200",
        "--out",
        out,
        "--no-progress",
        *args,
    )


def chosen_by(table, key, lowest, min_trades=0):
    """Each split's best training (fast, slow) by ``key`` of the rows, worked out
    here from the table: the first of equals in the table's order."""
    chosen = {}
    for split, runs in table[table.phase == "train"].groupby("split"):
        runs = runs[(runs.status == "ok") & (runs.Trades >= min_trades)]
        values = runs.apply(key, axis=1).astype(float)
        values = values[np.isfinite(values)]
        if len(values):
            best = values.idxmin() if lowest else values.idxmax()
            chosen[split] = (runs.loc[best, "fast"], runs.loc[best, "slow"])
    return chosen


def runs_tested(table):
    tests = table[(table.phase == "test") & (table.status == "ok")]
    return {
        split: (fast, slow)
        for split, fast, slow in tests[["split", "fast", "slow"]].itertuples(index=False)
    }


@pytest.mark.parametrize(
    "args, key, lowest, min_trades",
    [
        # the longest drawdown: lower is better, by default
        (["--metric", "longest"], lambda r: pd.Timedelta(r["Longest drawdown"]).days, True, 0),
        (["--metric", "sharpe", "--minimize"], lambda r: r["Sharpe ratio"], True, 0),
        (
            ["--metric", "total_return", "--min-trades", "12"],
            lambda r: r["Total return"],
            False,
            12,
        ),
        (
            ["--metric", "max_drawdown"],
            lambda r: r["Max drawdown"],
            False,
            0,
        ),  # negative: nearer 0 is better
        # minimising a loss kept negative is making it smaller: nearer 0 first, not the deepest
        (["--metric", "max_drawdown", "--minimize"], lambda r: r["Max drawdown"], False, 0),
    ],
    ids=["longest-drawdown", "minimize", "min-trades", "drawdown", "minimize-drawdown"],
)
def test_each_walk_forward_test_takes_its_splits_best_training_run_by_the_ranking(
    tmp_path, args, key, lowest, min_trades
):
    done = korvit_sweep(tmp_path / "out", *args)
    assert done.returncode == 0, done.stderr
    table = pd.read_csv(tmp_path / "out" / "sweep.csv")
    expected = chosen_by(table, key, lowest, min_trades)
    assert len(expected) == 2 and runs_tested(table) == expected
    if min_trades:  # the limit is one that rules some runs out
        assert (table[table.phase == "train"].Trades < min_trades).any()
    # what the command prints: the training runs with their split, then the test runs
    printed = done.stdout
    assert "Best training runs by" in printed and "Walk-forward test runs" in printed
    lines = printed.split("Walk-forward test runs")[1].splitlines()[2:4]
    assert [tuple(int(v) for v in line.split()[:3]) for line in lines] == [
        (split, *expected[split]) for split in (1, 2)
    ]
    # the report's table of training runs names each run's split
    report = (tmp_path / "out" / "report.html").read_text()
    assert "Best training runs by" in report and "averaged over the splits" not in report


def test_a_walk_forward_whose_every_test_fails_exits_non_zero(tmp_path):
    done = korvit_sweep(tmp_path / "out", "--min-trades", "100000")
    assert done.returncode == 1
    assert (
        "every walk-forward test failed" in done.stderr and "at least 100,000 trades" in done.stderr
    )
    table = pd.read_csv(tmp_path / "out" / "sweep.csv")
    assert set(table[table.phase == "test"].status) == {"failed"} and set(
        table[table.phase == "train"].status
    ) == {"ok"}


def test_an_objective_function_ranks_the_runs_and_its_scores_are_a_column(sample, tmp_path):
    bars, contracts = sample
    splits = walk_forward(bars.times[0], bars.times[-1], train=300, test=200)
    grid = {"fast": [5, 10, 20], "slow": [30, 60]}

    def calmar(stats):
        return stats["Total return"] / -stats["Max drawdown"]

    for minimize in (False, True):
        table = sweep(
            EXAMPLE,
            bars,
            grid,
            contracts=contracts,
            splits=splits,
            objective=calmar,
            minimize=minimize,
            workers=2,
            progress=False,
            out=tmp_path / str(minimize),
        )
        ok = table[table.status == "ok"]
        np.testing.assert_allclose(ok["objective"], ok["Total return"] / -ok["Max drawdown"])
        assert runs_tested(table) == chosen_by(table, lambda r: r["objective"], minimize)
        best = best_runs(table, top=3)
        assert (
            list(best["objective"])
            == sorted(ok[ok.phase == "train"]["objective"], reverse=not minimize)[:3]
        )
        saved = pd.read_csv(tmp_path / str(minimize) / "sweep.csv")
        np.testing.assert_allclose(saved["objective"].dropna(), ok["objective"])


@pytest.mark.parametrize(
    "options, message",
    [
        ({"objective": lambda stats: 1 / 0}, "the objective failed on the run"),
        ({"objective": lambda stats: "high"}, "it must return a number"),
        ({"objective": len, "select": "sharpe"}, "not both"),
        ({"select": "start"}, "is a time, not a measure"),
        ({"min_trades": -1}, "min_trades must be a whole number"),
    ],
)
def test_a_bad_ranking_is_refused_naming_it(sample, options, message):
    bars, contracts = sample
    with pytest.raises(SweepError, match=message):
        sweep(
            EXAMPLE, bars, {"fast": [5]}, contracts=contracts, workers=1, progress=False, **options
        )
