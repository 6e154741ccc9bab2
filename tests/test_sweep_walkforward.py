"""Walk-forward: runs that see the bars before their window as history and
trade only inside it, rolling and expanding splits, parameters chosen from
the training window alone, the stitched out-of-sample curve and its figures,
and the command line end to end."""

import math
import re
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from support import korvit, korvit_here, write

from korvit.backtest import Backtest, run, sweep, walk_forward
from korvit.backtest.sweep import SweepError, WalkForwardResult
from korvit.backtest.sweep.outofsample import curve_stats, efficiency, stitch
from korvit.backtest.sweep.walkforward import split_warmups
from korvit.data import Bars, load_bars, load_contracts, sample_path
from korvit.indicators import sma
from korvit.strategy import buy, current_price, history, percent, sell

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "strategies" / "ma_cross.py"
LOOKBACK = 60

# Buys once, at the first bar where it has LOOKBACK closes of history.
LONG_LOOKBACK = """
    from korvit.strategy import buy, history

    def init(context):
        context.code, context.bought = context.codes[0], False
        context.lookback = context.params.get("lookback", 60)

    def on_data(context):
        if not context.bought and len(history(context.code, "close", context.lookback)) == context.lookback:
            buy(context.code, 100)
            context.bought = True
"""


@pytest.fixture(scope="module")
def sample():
    return load_bars(sample_path("daily.csv")), load_contracts(sample_path("contracts.csv"))


# ------------------------------------------------------------------ the warm-up of a run


def test_a_run_with_a_warm_up_longer_lookback_than_its_window_trades_from_the_windows_first_bar(
    sample,
):
    bars = sample[0]
    times, code = bars.times, bars.codes[0]
    closes = bars.values[0, :, 3]
    start, end = 200, 229  # a window of 30 bars, shorter than the lookback of 60
    seen = {}

    def init(context):
        seen["init"] = history(code, "time", 1000), current_price(code)
        context.average, context.bought = sma(code, LOOKBACK), False

    def on_data(context):
        seen.setdefault("first average", context.average.now)
        if not context.bought and len(history(code, "close", LOOKBACK)) == LOOKBACK:
            buy(code, 100)
            context.bought = True

    strategy = {"init": init, "on_data": on_data}

    def backtest(warmup):
        seen.clear()
        return run(
            strategy, bars, start=times[start], end=times[end], warmup=warmup, progress=False
        )

    warm = backtest(LOOKBACK)
    assert warm.meta["warmup_bars"] == LOOKBACK
    assert warm.orders.created.min() == times[start]  # the order comes on the window's first bar,
    assert warm.trades.time.min() == times[start + 1]  # fills at the next bar's open, as in any run
    assert list(warm.equity_curve.index) == list(times[start : end + 1])
    assert warm.stats["Start"] == times[start] and warm.stats["Trades"] == 1
    history_in_init, price_in_init = seen["init"]
    assert list(history_in_init) == list(times[start - LOOKBACK : start])  # init sees the warm-up
    assert price_in_init == closes[start - 1]
    assert seen["first average"] == pytest.approx(
        closes[start - LOOKBACK + 1 : start + 1].mean(), rel=1e-12
    )

    cold = backtest(0)
    assert len(cold.orders) == 0 and math.isnan(seen["first average"])
    assert list(cold.equity_curve.index) == list(warm.equity_curve.index)

    short = backtest(40)  # 40 bars of warm-up: the 60th bar of history is the 20th traded
    assert short.orders.created.min() == times[start + 19]
    assert backtest(10_000).meta["warmup_bars"] == start  # no more than the data has


@pytest.mark.parametrize("options", [{}, {"cancel_stale_orders": True}])
def test_a_strategy_that_reads_no_history_trades_the_same_with_a_warm_up(sample, options):
    """Orders of init, stops, expiring limits and sells: the warm-up must not
    move a bar they are dated, matched or expired at."""
    bars, contracts = sample
    code = bars.codes[0]

    def init(context):
        context.n = 0
        buy(code, 300, stop_loss=percent(3))

    def on_data(context):
        context.n += 1
        if context.n % 7 == 0:
            buy(code, 100, price=current_price(code) * 0.99, good_for=2)
        if context.n % 11 == 0:
            sell(code, 100, good_till="day")

    strategy = {"init": init, "on_data": on_data}
    cold = run(strategy, bars, contracts=contracts, start="2022-06-01", progress=False, **options)
    warm = run(
        strategy,
        bars,
        contracts=contracts,
        start="2022-06-01",
        warmup=50,
        progress=False,
        **options,
    )
    assert len(cold.trades) >= 2 and (cold.orders.status == "cancelled").any()
    pd.testing.assert_frame_equal(warm.orders, cold.orders)
    pd.testing.assert_frame_equal(warm.trades, cold.trades)
    pd.testing.assert_series_equal(warm.equity_curve, cold.equity_curve)
    pd.testing.assert_series_equal(warm.stats, cold.stats)


def test_bad_warm_ups_are_refused(sample, tmp_path):
    bars = sample[0]
    for value in (-1, 1.5, True, "5"):
        with pytest.raises(ValueError, match="warmup must be a whole number"):
            Backtest({"init": lambda context: None}, bars, start="2022-06-01", warmup=value)
        with pytest.raises(SweepError, match="warmup must be a whole number"):
            sweep(
                EXAMPLE,
                bars,
                {"fast": [5]},
                splits=[("2022-01-03", "2022-05-31", "2022-06-01", "2022-07-01")],
                warmup=value,
            )
    with pytest.raises(ValueError, match="give start too"):
        Backtest({"init": lambda context: None}, bars, warmup=10)
    with pytest.raises(SweepError, match="give splits"):
        sweep(EXAMPLE, bars, {"fast": [5]}, warmup=10)


# ------------------------------------------------------------------ splits


def test_rolling_and_expanding_splits_and_their_warm_ups():
    rolling = walk_forward("2024-01-01", "2024-01-20", train=5, test=3, step=4)
    assert rolling == [
        ("2024-01-01", "2024-01-05", "2024-01-06", "2024-01-08"),
        ("2024-01-05", "2024-01-09", "2024-01-10", "2024-01-12"),
        ("2024-01-09", "2024-01-13", "2024-01-14", "2024-01-16"),
        ("2024-01-13", "2024-01-17", "2024-01-18", "2024-01-20"),
    ]
    expanding = walk_forward("2024-01-01", "2024-01-20", train=5, test=3, step=4, expanding=True)
    assert [split[0] for split in expanding] == ["2024-01-01"] * 4
    assert [split[1:] for split in expanding] == [split[1:] for split in rolling]
    assert walk_forward(
        "2024-01-01", "2024-01-10", train=5, test=3
    ) == [  # steps of the test window, cut at end
        ("2024-01-01", "2024-01-05", "2024-01-06", "2024-01-08"),
        ("2024-01-04", "2024-01-08", "2024-01-09", "2024-01-10"),
    ]

    days = pd.date_range("2024-01-01", "2024-01-20")  # a bar a day, but none on Jan 3
    days = days[days != "2024-01-03"]
    bars = Bars(["X"], days, np.ones((1, len(days), 5)), "day")
    # default: the training window's bars (4 in Jan 1-5 without the 3rd, 5 later), fewer where fewer came before
    assert split_warmups(rolling, bars) == [(0, 4), (3, 5), (5, 5), (5, 5)]
    assert split_warmups(expanding, bars) == [(0, 4), (0, 8), (0, 12), (0, 16)]
    assert split_warmups(rolling, bars, 2) == [(0, 2), (2, 2), (2, 2), (2, 2)]


def test_each_split_chooses_its_parameters_from_its_training_window_alone(sample):
    bars, contracts = sample
    splits = walk_forward(bars.times[0], bars.times[-1], train=250, test=100)[:2]
    test_start, test_end = (pd.Timestamp(day) for day in splits[0][2:])
    inside = (bars.times >= test_start) & (bars.times <= test_end + pd.Timedelta(days=1))
    values = bars.values.copy()
    rng = np.random.default_rng(3)
    values[:, inside, :4] *= rng.uniform(0.7, 1.3, size=(len(bars.codes), int(inside.sum()), 1))
    values[:, :, 1] = values[:, :, :4].max(axis=2)  # still bars: high and low bound the prices
    values[:, :, 2] = values[:, :, :4].min(axis=2)
    changed = Bars(bars.codes, bars.times, values, bars.frequency)
    grid = {"fast": [5, 10, 20], "slow": [30, 60]}
    tables = [
        sweep(EXAMPLE, data, grid, splits=splits, contracts=contracts, workers=2, progress=False)
        for data in (bars, changed)
    ]
    first = [
        table[table.split == 1].drop(columns="seconds").reset_index(drop=True) for table in tables
    ]
    trained = [table[table.phase == "train"] for table in first]
    pd.testing.assert_frame_equal(
        trained[0], trained[1]
    )  # the training runs saw nothing of the change
    tested = [table[table.phase == "test"].iloc[0] for table in first]
    assert (tested[0].fast, tested[0].slow) == (tested[1].fast, tested[1].slow)
    assert tested[0]["Final equity"] != tested[1]["Final equity"]  # while its test run did


# ------------------------------------------------------------------ the stitched curve


def test_the_stitched_curve_continues_each_window_from_the_last_ones_end_and_its_figures():
    days = pd.date_range("2024-01-01", periods=6)
    first = pd.Series([100.0, 110.0], index=days[:2])
    second = pd.Series([100.0, 90.0, 120.0], index=days[2:5])
    joined = stitch([first, None, second], 100.0)
    assert list(joined) == pytest.approx([100.0, 110.0, 110.0, 99.0, 132.0], rel=1e-15)
    assert list(joined.index) == list(days[:5])
    overlapping = pd.Series([100.0, 50.0, 100.0], index=days[1:4])  # starts on the first's last bar
    assert list(stitch([first, overlapping], 100.0)) == [100.0, 100.0, 50.0, 100.0]

    stats = curve_stats(joined, 100.0, "day", trades=7)
    returns = np.array([0.0, 0.1, 0.0, -0.1, 132 / 99 - 1])  # daily, the first against the cash
    assert stats["Total return"] == pytest.approx(0.32, rel=1e-12)
    assert stats["Annualised return"] == pytest.approx(1.32 ** (365.25 / 4) - 1, rel=1e-12)
    assert stats["Max drawdown"] == pytest.approx(-0.1, rel=1e-12)
    assert stats["Max drawdown trough"] == days[3]
    assert stats["Sharpe ratio"] == pytest.approx(
        returns.mean() / returns.std(ddof=1) * math.sqrt(252), rel=1e-12
    )
    assert stats["Trades"] == 7 and stats["Start"] == days[0] and stats["End"] == days[4]

    assert efficiency(0.1, 0.2) == pytest.approx(0.5)
    assert all(
        math.isnan(efficiency(out, into))
        for out, into in ((0.1, -0.2), (-0.1, -0.2), (0.1, 0.0), (math.nan, 0.2), (None, 0.2))
    )


def test_a_walk_forward_keeps_its_stitched_curve_and_table_and_reads_them_back_on_resume(
    sample, tmp_path
):
    bars, contracts = sample
    splits = walk_forward(bars.times[0], bars.times[-1], train=200, test=90)[:3]
    out = tmp_path / "wf"
    table = sweep(
        EXAMPLE,
        bars,
        {"fast": [5, 10], "slow": [30, 60]},
        splits=splits,
        contracts=contracts,
        keep="equity",
        out=out,
        workers=2,
        progress=False,
    )
    walked = table.attrs["walk_forward"]
    tests = table[table.phase == "test"].reset_index(drop=True)
    assert list(tests.status) == ["ok"] * len(splits) and list(walked.splits.split) == list(
        range(1, len(splits) + 1)
    )
    # each window continues from the end of the ones before it: the runs' curves, scaled
    level, parts = 1_000_000.0, []
    for curve in tests.equity:
        parts.append(curve * (level / 1_000_000.0))
        level = parts[-1].iloc[-1]
    pd.testing.assert_series_equal(walked.equity, pd.concat(parts), check_names=False, rtol=1e-13)
    assert walked.stats["Total return"] == pytest.approx(
        np.prod(1 + tests["Total return"]) - 1, rel=1e-12
    )
    assert walked.stats["Trades"] == tests.Trades.sum()
    benchmarks = []  # each test run's benchmark, as its backtest has it
    for row, test in zip(walked.splits.to_dict("records"), tests.to_dict("records")):
        trained = table[(table.phase == "train") & (table.split == row["split"])]
        chosen = trained.loc[trained["Sharpe ratio"].idxmax()]
        assert (
            (row["fast"], row["slow"]) == (test["fast"], test["slow"]) == (chosen.fast, chosen.slow)
        )
        assert (
            row["in_sample"] == chosen["Sharpe ratio"]
            and row["in_sample_return"] == chosen["Annualised return"]
        )
        assert (row["out_of_sample"], row["out_of_sample_return"]) == (
            test["Sharpe ratio"],
            test["Annualised return"],
        )
        assert row["test_start"] == pd.Timestamp(splits[row["split"] - 1][2])
        # the test run is the single run of its parameters on its window, with its warm-up
        alone = run(
            EXAMPLE,
            bars,
            contracts=contracts,
            params={"fast": int(test["fast"]), "slow": int(test["slow"])},
            start=splits[row["split"] - 1][2],
            end=splits[row["split"] - 1][3],
            warmup=int(row["test_warmup"]),
            progress=False,
        )
        assert row["test_warmup"] > 0 and alone.stats["Final equity"] == test["Final equity"]
        benchmarks.append(alone.benchmark_curve)
    # the benchmark joined as the equity is, at the same bars
    pd.testing.assert_series_equal(
        walked.benchmark, stitch(benchmarks, 1_000_000.0), check_names=False, rtol=1e-13
    )
    assert walked.benchmark.index.equals(walked.equity.index)
    mean_in = walked.splits.in_sample_return.mean()
    assert walked.efficiency == pytest.approx(
        walked.stats["Annualised return"] / mean_in, rel=1e-12
    )

    read = WalkForwardResult.read(out)
    pd.testing.assert_series_equal(read.equity, walked.equity, check_freq=False)
    pd.testing.assert_series_equal(read.benchmark, walked.benchmark, check_freq=False)
    pd.testing.assert_series_equal(read.stats, walked.stats, check_dtype=False)
    pd.testing.assert_frame_equal(read.splits, walked.splits, check_dtype=False)
    # resumed: every run is saved; a test run whose curve is missing runs again
    (out / "equity" / f"{tests.run_id[1]}.csv").unlink()
    again = sweep(
        EXAMPLE,
        bars,
        {"fast": [5, 10], "slow": [30, 60]},
        splits=splits,
        contracts=contracts,
        out=out,
        resume=True,
        workers=2,
        progress=False,
    )
    pd.testing.assert_series_equal(again.attrs["walk_forward"].equity, walked.equity)
    assert (out / "equity" / f"{tests.run_id[1]}.csv").is_file()


def test_a_failed_test_adds_nothing_to_the_stitched_curve_and_none_finished_gives_no_figures(
    sample,
):
    bars, contracts = sample
    splits = walk_forward(bars.times[0], bars.times[-1], train=200, test=120)
    # the lowest number of trades of any split's training runs: a split below it has no test
    base = sweep(
        EXAMPLE,
        bars,
        {"fast": [5, 10], "slow": [30]},
        splits=splits,
        contracts=contracts,
        workers=2,
        progress=False,
    )
    trained = base[base.phase == "train"].groupby("split").Trades.max()
    limit = int(trained.median()) + 1
    table = sweep(
        EXAMPLE,
        bars,
        {"fast": [5, 10], "slow": [30]},
        splits=splits,
        contracts=contracts,
        min_trades=limit,
        workers=2,
        progress=False,
    )
    walked, tests = table.attrs["walk_forward"], table[table.phase == "test"]
    ran = tests[tests.status == "ok"]
    assert 0 < len(ran) < len(tests) and list(walked.splits.status) == list(tests.status)
    assert walked.stats["Total return"] == pytest.approx(
        np.prod(1 + ran["Total return"]) - 1, rel=1e-12
    )
    assert walked.splits[walked.splits.status == "failed"].out_of_sample_return.isna().all()
    none = sweep(
        EXAMPLE,
        bars,
        {"fast": [5, 10], "slow": [30]},
        splits=splits,
        contracts=contracts,
        min_trades=10_000,
        workers=2,
        progress=False,
    ).attrs["walk_forward"]
    assert (
        len(none.equity) == 0
        and none.stats.drop("Trades").isna().all()
        and math.isnan(none.efficiency)
    )


# ------------------------------------------------------------------ the command line


def test_a_walk_forward_with_warm_up_step_and_expanding_windows_from_the_command_line(
    tmp_path, sample
):
    bars = sample[0]
    strategy = write(tmp_path / "lookback.py", LONG_LOOKBACK)
    out = tmp_path / "out"
    args = [
        "sweep",
        strategy,
        "--grid",
        "lookback=50,60",
        "--walk-forward",
        "120,40",
        "--step",
        "60",
        "--expanding",
        "--metric",
        "total_return",
        "--workers",
        "2",
        "--no-progress",
    ]
    done = korvit(*args, "--out", out)
    assert done.returncode == 0, done.stderr
    splits = walk_forward(
        bars.times[0], bars.times[-1], train=120, test=40, step=60, expanding=True
    )
    table = pd.read_csv(
        out / "walkforward.csv", parse_dates=["train_start", "train_end", "test_start", "test_end"]
    )
    assert [
        tuple(f"{day:%Y-%m-%d}" for day in row)
        for row in table[["train_start", "train_end", "test_start", "test_end"]].itertuples(
            index=False
        )
    ] == splits
    for a, b, c, d in splits:  # each test window's dates are printed
        assert f"{a}..{b}" in done.stdout and f"{c}..{d}" in done.stdout
    # every test window (28 bars) is shorter than the lookback, and each trades from its first bar on
    assert (table.trades == 1).all() and (table.test_warmup >= 60).all()
    assert "Out of sample, the test windows stitched" in done.stdout
    equity = pd.read_csv(out / "walkforward_equity.csv", index_col=0, parse_dates=True)
    assert equity.index[0] == pd.Timestamp(splits[0][2]) and equity.index.is_monotonic_increasing
    report = re.sub("<[^>]+>", "", (out / "report.html").read_text())  # the text a reader sees
    assert (
        "Walk-forward: out of sample" in report and f"{splits[-1][2]} – {splits[-1][3]}" in report
    )

    cold = korvit_here(*args, "--warmup", "0", "--out", tmp_path / "cold")
    assert cold.returncode == 0, cold.stderr
    assert (pd.read_csv(tmp_path / "cold" / "walkforward.csv").trades == 0).all()

    for flags in (["--step", "5"], ["--warmup", "0"], ["--expanding"]):
        refused = korvit_here(
            "sweep", strategy, "--grid", "lookback=50", *flags, "--out", tmp_path / "no"
        )
        assert refused.returncode == 2 and refused.stderr.count("\n") == 1, refused.stderr
        assert f"{flags[0]} shapes the walk-forward" in refused.stderr
    assert not (tmp_path / "no").exists()
