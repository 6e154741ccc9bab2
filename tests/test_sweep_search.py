"""Searching beyond the whole grid: ranges on the command line, constraints
between parameters, a random sample and Optuna's model-based search.  Each
makes exactly the allowed runs, the same on any number of workers, on Ray,
and after an interrupted sweep is resumed."""

import itertools
import subprocess
import sys
from pathlib import Path

import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from support import korvit_here

from korvit.backtest import sweep
from korvit.backtest.sweep import SweepError, walk_forward
from korvit.backtest.sweep.space import value_range

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "strategies" / "ma_cross.py"
INTERRUPTING = (
    Path(__file__).resolve().parent / "sweep_interrupting.py"
)  # Ctrl-C after N saved runs
SPACE = [
    "--grid",
    "fast=5:25:5",
    "--grid",
    "slow=10:60:10",
    "--where",
    "fast < slow and slow - fast != 20",
]
ALLOWED = {
    (fast, slow)
    for fast, slow in itertools.product(range(5, 26, 5), range(10, 61, 10))
    if fast < slow and slow - fast != 20
}


def korvit_sweep(out, *args, interrupt_after=None, own_process=False):
    """The sweep command on SPACE, in this process unless it is to be stopped by a
    Ctrl-C once ``interrupt_after`` runs are saved, or ``own_process``."""
    arguments = ["sweep", str(EXAMPLE), *SPACE, "--out", str(out), "--no-progress", *args]
    if interrupt_after is None and not own_process:
        return korvit_here(*arguments)
    command = [sys.executable, "-m", "korvit"]
    if interrupt_after is not None:
        command = [sys.executable, str(INTERRUPTING), "add", str(interrupt_after)]
    return subprocess.run(
        [*command, *map(str, arguments)], capture_output=True, text=True, timeout=600
    )


def table_of(out):
    return pd.read_csv(out / "sweep.csv").drop(columns="seconds")


def ray_usable():
    try:
        import ray  # noqa: F401 - only whether it imports
    except Exception:
        return False
    return True


@pytest.mark.parametrize(
    "search, runs, stop_after",
    [
        ([], len(ALLOWED), 3),
        (["--sample", "7", "--seed", "11"], 7, 3),
        # stopped in its third batch, the first that Optuna's model chooses
        (["--sample", "20", "--sampler", "optuna", "--seed", "5"], 20, 18),
    ],
    ids=["grid", "random", "optuna"],
)
def test_the_allowed_runs_and_only_those_the_same_on_any_workers_and_after_resume(
    tmp_path, search, runs, stop_after
):
    if "optuna" in search:
        pytest.importorskip(
            "optuna", reason="the optuna extra is not installed: pip install '.[optuna]'"
        )
    one = korvit_sweep(tmp_path / "one", "--workers", "1", *search)
    assert one.returncode == 0, one.stderr
    table = table_of(tmp_path / "one")
    made = list(zip(table.fast, table.slow))
    assert (
        len(made) == len(set(made)) == runs and set(made) <= ALLOWED and set(table.status) == {"ok"}
    )

    two = korvit_sweep(tmp_path / "two", "--workers", "2", *search)
    assert two.returncode == 0, two.stderr
    pd.testing.assert_frame_equal(table_of(tmp_path / "two"), table)

    stopped = korvit_sweep(
        tmp_path / "resumed", "--workers", "2", *search, interrupt_after=stop_after
    )
    assert stopped.returncode == 130 and "--resume" in stopped.stderr, stopped.stderr
    assert len(pd.read_csv(tmp_path / "resumed" / "sweep.csv")) < runs
    resumed = korvit_sweep(tmp_path / "resumed", "--workers", "2", *search, "--resume")
    assert resumed.returncode == 0, resumed.stderr
    pd.testing.assert_frame_equal(table_of(tmp_path / "resumed"), table)

    if search and ray_usable():  # Ray's tasks: the same runs, the same table
        on_ray = korvit_sweep(
            tmp_path / "ray", "--backend", "ray", "--workers", "2", *search, own_process=True
        )
        assert on_ray.returncode == 0, on_ray.stderr
        pd.testing.assert_frame_equal(table_of(tmp_path / "ray"), table)


def test_optuna_searches_toward_the_best_runs_and_each_seed_is_its_own(sample):
    pytest.importorskip(
        "optuna", reason="the optuna extra is not installed: pip install '.[optuna]'"
    )
    bars, contracts = sample
    grid = {"fast": value_range(2, 30, 2), "slow": value_range(20, 80, 5)}
    options = dict(
        contracts=contracts,
        where="fast < slow",
        sample=40,
        sampler="optuna",
        workers=2,
        progress=False,
    )
    first, again, other = (sweep(EXAMPLE, bars, grid, seed=seed, **options) for seed in (1, 1, 2))
    pd.testing.assert_frame_equal(first.drop(columns="seconds"), again.drop(columns="seconds"))
    assert list(zip(first.fast, first.slow)) != list(zip(other.fast, other.slow))
    assert len(first) == 40 and (first.fast < first.slow).all() and first.run_id.is_unique
    # Past its first two batches (drawn at random: too few results for a model), it runs
    # sets that rank well: told the lowest first, it finds lower ones
    lowest = sweep(EXAMPLE, bars, grid, seed=1, minimize=True, **options)
    assert lowest["Sharpe ratio"].iloc[16:].mean() < first["Sharpe ratio"].iloc[16:].mean()
    # A constraint that refuses most of what it proposes, and as many runs asked for as it allows:
    # every allowed set runs, once, and nothing else
    allowed = {
        (fast, slow)
        for fast in grid["fast"]
        for slow in grid["slow"]
        if 3 * fast <= slow and fast >= 8
    }
    every = sweep(
        EXAMPLE, bars, grid, **dict(options, where="3 * fast <= slow and fast >= 8", sample=100)
    )
    assert len(allowed) < 100
    assert sorted(zip(every.fast, every.slow)) == sorted(allowed)
    # walk-forward: a study for each split's training window; each test takes its split's best
    splits = walk_forward(bars.times[0], bars.times[-1], train=300, test=200)
    wf = sweep(EXAMPLE, bars, grid, splits=splits, select="longest", **dict(options, sample=10))
    train = wf[wf.phase == "train"]
    assert list(train.split) == [1] * 10 + [2] * 10 and (train.fast < train.slow).all()
    for split, runs in train.groupby("split"):
        best = runs.loc[runs["Longest drawdown"].idxmin()]
        test = wf[(wf.phase == "test") & (wf.split == split)].iloc[0]
        assert (test.fast, test.slow) == (best.fast, best.slow)


@pytest.mark.parametrize(
    "options, message",
    [
        ({"where": "fsat < slow"}, "names 'fsat', not a parameter of the sweep (fast, slow)"),
        ({"where": "__import__('os').getcwd() == fast"}, "call is not allowed"),
        ({"where": "fast.real > 1"}, "attribute is not allowed"),
        ({"where": "fast ** 99 > slow"}, "pow is not allowed"),
        ({"where": "fast < slow <"}, "not an expression"),
        (
            {"where": "fast / (slow - 30) > 0"},
            "fails for {'fast': 5, 'slow': 30}: ZeroDivisionError",
        ),
        ({"where": "fast + 1"}, "gives 6 for {'fast': 5, 'slow': 30}, not True or False"),
        ({"where": "fast > 100"}, "no parameter set of the grid satisfies"),
        ({"sample": 0}, "sample must be a whole number"),
        ({"sample": 2, "sampler": "grid"}, "sampler must be one of"),
        ({"sampler": "optuna"}, "needs the number of runs it may make"),
        ({"sample": 2, "seed": -1}, "seed must be a whole number"),
    ],
)
def test_a_bad_constraint_or_search_is_refused_before_any_run(sample, options, message):
    bars, contracts = sample
    with pytest.raises(SweepError) as caught:
        sweep(
            EXAMPLE,
            bars,
            {"fast": [5, 10], "slow": [30, 60]},
            contracts=contracts,
            workers=1,
            progress=False,
            **options,
        )
    assert message in str(caught.value) and "\n" not in str(caught.value)


def test_a_constraint_may_name_fixed_parameters_and_be_a_function(sample):
    bars, contracts = sample
    grid = {"fast": [5, 10, 20], "slow": [10, 30]}
    by_text = sweep(
        EXAMPLE,
        bars,
        grid,
        params={"stop": 5},
        where="slow - fast >= 3 * stop",
        contracts=contracts,
        workers=2,
        progress=False,
    )
    assert list(zip(by_text.fast, by_text.slow)) == [(5, 30), (10, 30)]
    by_function = sweep(
        EXAMPLE,
        bars,
        grid,
        where=lambda p: p["slow"] - p["fast"] >= 15,
        contracts=contracts,
        workers=2,
        progress=False,
    )
    assert list(zip(by_function.fast, by_function.slow)) == [(5, 30), (10, 30)]


def test_the_command_line_refuses_an_unknown_name_in_one_line(tmp_path):
    done = korvit_here(
        "sweep",
        EXAMPLE,
        "--grid",
        "fast=5,10",
        "--where",
        "fast < slwo",
        "--out",
        tmp_path / "out",
    )
    assert done.returncode == 2
    assert (
        done.stderr
        == "korvit: where 'fast < slwo' names 'slwo', not a parameter of the sweep (fast)\n"
    )
    bad = korvit_here("sweep", EXAMPLE, "--grid", "fast=50:5:5")
    assert (
        bad.returncode == 2
        and "fast: a range runs from a start up to a stop, got 50 to 5" in bad.stderr
    )
    assert not (tmp_path / "out").exists()


@settings(max_examples=60, deadline=None)
@given(
    start=st.integers(-50, 50),
    length=st.integers(0, 60),
    step=st.integers(1, 12),
    scale=st.sampled_from([1, 10, 100]),
)
def test_a_range_steps_from_its_start_to_its_stop_included_when_on_a_step(
    start, length, step, scale
):
    """Whole numbers as Python's range with the stop included; the same numbers
    in tenths or hundredths give the decimal values exactly (no drift)."""
    stop = start + length
    whole = value_range(start, stop, step)
    assert whole == list(range(start, stop + 1, step)) and all(type(v) is int for v in whole)
    if scale > 1:
        tenths = value_range(start / scale, stop / scale, step / scale)
        assert tenths == [v / scale for v in whole]
