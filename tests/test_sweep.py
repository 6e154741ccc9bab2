"""Parameter sweeps: the same results whatever runs them, failures kept as
rows, worker deaths survived, resume, walk-forward, bad grids refused."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st
from support import korvit, korvit_here, write

from korvit.backtest import run, sweep, walk_forward
from korvit.backtest.stats import format_stat
from korvit.backtest.sweep import SweepError, execute, find_statistic, local, strategy_parameters
from korvit.backtest.sweep.curves import thinned
from korvit.data import load_bars, load_contracts, sample_path

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "strategies" / "ma_cross.py"
GRID = {"fast": [5, 10], "slow": [30, 60]}


@pytest.fixture(scope="module")
def sample():
    return load_bars(sample_path("daily.csv")), load_contracts(sample_path("contracts.csv"))


def comparable(frame):
    return frame.drop(columns=["seconds"]).reset_index(drop=True)


def test_every_worker_count_gives_the_results_of_single_runs(sample):
    bars, contracts = sample
    one = sweep(EXAMPLE, bars, GRID, contracts=contracts, workers=1, progress=False)
    two = sweep(EXAMPLE, bars, GRID, contracts=contracts, workers=2, progress=False)
    pd.testing.assert_frame_equal(comparable(one), comparable(two))
    assert list(one.status) == ["ok"] * 4 and one.run_id.is_unique
    assert one[["fast", "slow"]].to_dict("records") == [
        {"fast": f, "slow": s} for f in GRID["fast"] for s in GRID["slow"]
    ]
    for _, row in one.iterrows():
        alone = run(
            EXAMPLE,
            bars,
            contracts=contracts,
            params={"fast": row.fast, "slow": row.slow},
            progress=False,
        ).stats
        for name in (
            "Sharpe ratio",
            "Trades",
            "Final equity",
            "Max drawdown peak",
            "Longest drawdown",
        ):
            assert row[name] == alone[name], name


def test_a_raising_run_and_a_killed_worker_are_rows_and_the_others_finish(tmp_path, sample):
    bars, contracts = sample
    strategy = write(
        tmp_path / "fragile.py",
        """
        import os, signal

        def init(context):
            if context.params["mode"] == "raise":
                raise ValueError("no good for " + str(context.params["size"]))
            if context.params["mode"] == "die":
                os.kill(os.getpid(), signal.SIGKILL)

        def on_data(context):
            pass
    """,
    )
    grid = [
        {"mode": mode, "size": size}
        for mode in ("fine", "raise", "die", "fine again")
        for size in (1, 2)
    ]
    frame = sweep(strategy, bars, grid, contracts=contracts, workers=2, progress=False)
    assert frame[["mode", "size"]].to_dict("records") == grid
    by_mode = frame.groupby("mode")["status"].apply(set).to_dict()
    assert by_mode == {"fine": {"ok"}, "fine again": {"ok"}, "raise": {"failed"}, "die": {"failed"}}
    raised = frame[frame["mode"] == "raise"]
    assert list(raised.error) == [
        f"ValueError: no good for {size} (fragile.py:6)" for size in (1, 2)
    ]
    died = frame[frame["mode"] == "die"]
    assert all(error.startswith("worker died (signal 9") for error in died.error)
    assert frame.loc[frame.status == "ok", "Final equity"].notna().all()


def test_sys_exit_in_a_strategy_fails_its_runs_not_the_workers(tmp_path, sample):
    bars, contracts = sample
    strategy = write(
        tmp_path / "leaving.py",
        """
        import sys
        if "--exit-at-load" in open(__file__).read().splitlines()[-1]:
            sys.exit(5)

        def init(context):
            if context.params["mode"] == "exit":
                sys.exit(3)
        # --exit-at-load
    """,
    )
    frame = sweep(
        strategy, bars, {"mode": ["exit", "stay"]}, contracts=contracts, workers=1, progress=False
    )
    assert list(frame.status) == ["failed", "failed"]
    assert (
        list(frame.error)
        == [f"StrategyExit: the strategy called sys.exit(5) at {strategy}:4: the backtest stopped"]
        * 2
    )
    strategy.write_text(strategy.read_text().replace("# --exit-at-load", ""))
    frame = sweep(
        strategy, bars, {"mode": ["exit", "stay"]}, contracts=contracts, workers=1, progress=False
    )
    assert list(frame.status) == ["failed", "ok"]
    assert (
        frame.error[0]
        == f"StrategyExit: the strategy called sys.exit(3) at {strategy}:8: the backtest stopped"
    )


def test_equity_curves_are_kept_when_asked(sample):
    bars, contracts = sample
    frame = sweep(
        EXAMPLE, bars, [{"fast": 5}], contracts=contracts, keep="equity", workers=1, progress=False
    )
    alone = run(EXAMPLE, bars, contracts=contracts, params={"fast": 5}, progress=False)
    pd.testing.assert_series_equal(
        frame.equity[0], alone.equity_curve, check_names=False, check_freq=False
    )


def test_the_benchmark_reaches_every_run(sample):
    bars, contracts = sample
    frame = sweep(
        EXAMPLE,
        bars,
        [{"fast": 5}],
        contracts=contracts,
        workers=1,
        progress=False,
        benchmark="SSE.600000",
    )
    alone = run(
        EXAMPLE,
        bars,
        contracts=contracts,
        params={"fast": 5},
        benchmark="SSE.600000",
        progress=False,
    )
    for name in ("Benchmark return", "Alpha", "Beta", "Information ratio"):
        assert frame[name].tolist() == [alone.stats[name]], name
    assert (
        alone.stats["Benchmark return"]
        != run(EXAMPLE, bars, contracts=contracts, params={"fast": 5}, progress=False).stats[
            "Benchmark return"
        ]
    )


def test_a_run_past_its_timeout_is_stopped_and_failed_while_the_others_finish(tmp_path, sample):
    strategy = write(
        tmp_path / "stuck.py",
        """
        import time

        def init(context):
            if context.params["x"] == 2:
                time.sleep(600)

        def on_data(context):
            pass
    """,
    )
    frame = sweep(strategy, sample[0], {"x": [1, 2, 3, 4]}, workers=2, timeout=1.5, progress=False)
    assert list(frame.status) == ["ok", "failed", "ok", "ok"]
    assert frame.error[1] == "timed out after 1.5 s"


def test_kept_equity_curves_are_saved_and_read_back_on_resume(tmp_path, sample):
    bars, contracts = sample
    out = tmp_path / "out"
    first = sweep(
        EXAMPLE,
        bars,
        {"fast": [5, 10]},
        contracts=contracts,
        keep="equity",
        out=out,
        workers=1,
        progress=False,
    )
    assert sorted(p.stem for p in (out / "equity").iterdir()) == sorted(first.run_id)
    again = sweep(
        EXAMPLE,
        bars,
        {"fast": [5, 10, 20]},
        contracts=contracts,
        keep="equity",
        out=out,
        resume=True,
        workers=1,
        progress=False,
    )
    pd.testing.assert_frame_equal(
        again.iloc[:2].drop(columns=["equity"]), first.drop(columns=["equity"])
    )
    for before, after in zip(first.equity, again.equity[:2]):
        pd.testing.assert_series_equal(after, before, check_names=False, check_freq=False)
    assert again.equity[2] is not None and len(again.equity[2]) == len(bars.times)
    assert len(pd.read_csv(out / "sweep.csv")) == 3 and "equity" not in pd.read_csv(
        out / "sweep.csv"
    )
    # every run's thinned curve, those resumed read from the folder: the run's own
    kept = again.attrs["curves"].get(again.run_id)
    for run_id, full in zip(again.run_id, again.equity):
        assert np.allclose(kept[run_id], full.reindex(kept[run_id].index), rtol=1e-6)


@given(
    st.lists(st.floats(-1e9, 1e9), min_size=1, max_size=300),
    st.integers(4, 60),
)
def test_a_thinned_curve_keeps_its_ends_peaks_and_troughs_within_its_points(values, limit):
    curve = pd.Series(values, index=pd.date_range("2024-01-01", periods=len(values), freq="min"))
    times, kept = thinned(curve, limit)
    assert len(kept) == len(values) if len(values) <= limit else len(kept) <= limit
    at = pd.DatetimeIndex(times.astype("datetime64[ms]"))
    assert at.is_monotonic_increasing and at.isin(curve.index).all()
    assert (kept == curve.reindex(at).to_numpy()).all()
    assert {at[0], at[-1]} == {curve.index[0], curve.index[-1]}
    assert kept.max() == curve.max() and kept.min() == curve.min()


def test_walk_forward_runs_each_splits_best_training_set_on_its_test_window(sample):
    bars, contracts = sample
    splits = walk_forward(bars.times[0], bars.times[-1], train=300, test=150)
    days = [[pd.Timestamp(day) for day in split] for split in splits]
    for (a, b, c, d), following in zip(days, days[1:] + [None]):
        assert b - a == pd.Timedelta(days=299) and c - b == pd.Timedelta(days=1)
        if following is not None:
            assert following[2] == d + pd.Timedelta(days=1)  # the test windows follow one another
    assert days[-1][3] == bars.times[-1].normalize()
    frame = sweep(
        EXAMPLE,
        bars,
        GRID,
        splits=splits,
        select="total return",
        contracts=contracts,
        workers=2,
        progress=False,
    )
    train, test = frame[frame.phase == "train"], frame[frame.phase == "test"]
    assert len(train) == 4 * len(splits) and list(test.split) == list(range(1, len(splits) + 1))
    for split, row in zip(splits, test.itertuples()):
        runs = train[train.split == row.split]
        best = runs.loc[runs["Total return"].idxmax()]
        assert (row.fast, row.slow) == (best.fast, best.slow)
        assert row.Start >= pd.Timestamp(split[2]) and row.End <= pd.Timestamp(
            split[3]
        ) + pd.Timedelta(days=1)
        assert runs.End.max() < row.Start


# ------------------------------------------------------------------ kept workers


def test_kept_workers_give_each_sweep_its_own_strategy_data_and_options(tmp_path, sample):
    """Sweep A, sweep B (another strategy, other bars, equity kept), A again
    on the same workers: every table is that of its own runs."""
    bars, contracts = sample
    first = sweep(EXAMPLE, bars, GRID, contracts=contracts, workers=2, progress=False)
    pids = {slot.process.pid for slot in local._pool.slots}
    other = write(
        tmp_path / "hold.py",
        """
        from korvit.strategy import order_target

        def init(context):
            context.count = 0

        def on_data(context):
            context.count += 1
            if context.count == context.params["day"]:
                order_target(context.codes[0], 1000)
    """,
    )
    later = {"start": bars.times[100], "end": bars.times[300]}
    second = sweep(
        other,
        bars,
        {"day": [3, 50]},
        contracts=contracts,
        keep="equity",
        workers=2,
        progress=False,
        **later,
    )
    again = sweep(EXAMPLE, bars, GRID, contracts=contracts, workers=2, progress=False)
    kept = sweep(
        EXAMPLE, bars, {"fast": [5]}, contracts=contracts, workers=2, keep="equity", progress=False
    )
    assert {slot.process.pid for slot in local._pool.slots} == pids
    pd.testing.assert_frame_equal(comparable(first), comparable(again))
    for day, equity, final in zip((3, 50), second.equity, second["Final equity"]):
        alone = run(other, bars, contracts=contracts, params={"day": day}, progress=False, **later)
        pd.testing.assert_series_equal(
            equity, alone.equity_curve, check_names=False, check_freq=False
        )
        assert final == alone.stats["Final equity"]
    assert len(set(second["Final equity"])) == 2
    alone = run(EXAMPLE, bars, contracts=contracts, params={"fast": 5}, progress=False)
    pd.testing.assert_series_equal(
        kept.equity[0], alone.equity_curve, check_names=False, check_freq=False
    )


def test_each_sweep_reads_the_strategys_helper_module_and_the_environment_afresh(
    tmp_path, monkeypatch, sample
):
    write(tmp_path / "mark_helper.py", 'VALUE = "first"\n')
    strategy = write(
        tmp_path / "marked.py",
        """
        import os
        import mark_helper

        def init(context):
            mark = os.environ.get("KORVIT_TEST_MARK", "-")
            raise RuntimeError(f"{mark_helper.VALUE}/{mark} {context.params['x']}")
    """,
    )
    monkeypatch.chdir(tmp_path)  # where the workers find the helper

    def errors():
        frame = sweep(strategy, sample[0], {"x": [1, 2]}, workers=2, progress=False)
        return {error.split(" (")[0].rsplit(" ", 1)[0] for error in frame.error}

    assert errors() == {"RuntimeError: first/-"}
    pids = {slot.process.pid for slot in local._pool.slots}
    write(tmp_path / "mark_helper.py", 'VALUE = "the second"\n')
    assert errors() == {"RuntimeError: the second/-"}
    assert {slot.process.pid for slot in local._pool.slots} == pids
    monkeypatch.setenv("KORVIT_TEST_MARK", "set")
    assert errors() == {"RuntimeError: the second/set"}


def test_a_kept_worker_gone_between_sweeps_is_replaced_and_stop_workers_ends_them(sample):
    bars, contracts = sample
    first = sweep(EXAMPLE, bars, GRID, contracts=contracts, workers=2, progress=False)
    slots = list(local._pool.slots)
    slots[0].process.kill()
    slots[0].process.wait()
    again = sweep(EXAMPLE, bars, GRID, contracts=contracts, workers=2, progress=False)
    pd.testing.assert_frame_equal(comparable(first), comparable(again))
    now = local._pool.slots
    assert (
        len(now) == 2
        and slots[0] not in now
        and slots[1] in now
        and all(slot.alive() for slot in now)
    )
    folder = Path(local._pool.folder)
    assert folder.is_dir()
    local.stop_workers()
    assert local._pool is None and not folder.exists()
    assert all(slot.process.poll() is not None for slot in now)


@pytest.mark.parametrize(
    "grid, message",
    [
        ({"fsat": [5]}, "unknown parameter 'fsat': ma_cross.py reads fast, size, slow, stop"),
        ({"fast": []}, "'fast' has an empty list"),
        ({}, "the grid is empty"),
        ([{"fast": 5}, {"fast": 5}], "given twice"),
        ({"fast": [float("nan")]}, "not a plain value"),
        ({"status": [1]}, "taken by a column"),
    ],
)
def test_a_bad_grid_is_refused_before_anything_runs(tmp_path, sample, grid, message):
    with pytest.raises(SweepError, match=message.replace("(", r"\(")):
        sweep(EXAMPLE, sample[0], grid, out=tmp_path / "out", progress=False)
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize(
    "options, message",
    [
        ({"slippage": -1}, "slippage -1 is outside"),
        ({"params": {"fast": 5}}, "both fixed"),
        (
            {"splits": [("2023-01-01", "2023-06-30", "2023-06-01", "2023-12-01")]},
            "train_end < test_start",
        ),
        (
            {"splits": [("2021-01-01", "2021-06-30", "2022-01-03", "2022-03-01")]},
            "train window .* holds no bars",
        ),
        ({"workers": 0}, "workers must be"),
        ({"resume": True}, "resume needs the output folder"),
        ({"select": "luck"}, "unknown statistic"),
        ({"stop_fill": "open"}, "stop_fill must be 'first_traded' or 'stop_price'"),
        ({"limit_fill": "open"}, "limit_fill must be 'first_traded' or 'limit_price'"),
        ({"benchmark": "SZSE.999999"}, "benchmark: unknown code 'SZSE.999999'"),
    ],
)
def test_bad_options_are_refused_before_anything_runs(sample, options, message):
    with pytest.raises(SweepError, match=message):
        sweep(EXAMPLE, sample[0], GRID, progress=False, **options)


def test_the_stop_fill_rule_reaches_every_run_and_is_kept_with_the_options(tmp_path, sample):
    """With a 2 % stop the sample has stops that bars open beyond; each rule gives the
    single run's results, and the default is saved too: a sweep saved under the other
    rule is not resumed."""
    bars, contracts = sample
    finals = {}
    for rule in ("stop_price", None):
        options = {} if rule is None else {"stop_fill": rule}
        table = sweep(
            EXAMPLE,
            bars,
            {"stop": [2]},
            contracts=contracts,
            workers=1,
            out=tmp_path / str(rule),
            progress=False,
            **options,
        )
        alone = run(
            EXAMPLE, bars, contracts=contracts, params={"stop": 2}, progress=False, **options
        ).stats
        assert table["Final equity"].tolist() == [alone["Final equity"]]
        saved = json.loads((tmp_path / str(rule) / "sweep.json").read_text())
        assert saved["options"]["stop_fill"] == (rule or "first_traded")
        assert saved["options"]["limit_fill"] == "first_traded"
        finals[rule] = alone["Final equity"]
    assert finals["stop_price"] != finals[None]
    with pytest.raises(SweepError, match="another strategy, data or options"):
        sweep(
            EXAMPLE,
            bars,
            {"stop": [2]},
            contracts=contracts,
            workers=1,
            out=tmp_path / "None",
            resume=True,
            progress=False,
            stop_fill="stop_price",
        )


def test_strategy_parameters_are_found_only_where_the_source_names_them():
    assert strategy_parameters(
        "def init(c):\n    a = c.params['x'] + c.params.get('y', 1)\n    if 'z' in c.params: pass\n"
    ) == {"x", "y", "z"}
    for dynamic in (
        "def init(c):\n    p = c.params\n",
        "def init(c):\n    c.params[name]\n",
        "def init(c):\n    for k, v in c.params.items(): pass\n",
    ):
        assert strategy_parameters(dynamic) is None, dynamic
    assert (
        find_statistic("sharpe") == "Sharpe ratio"
        and find_statistic("MAX_DRAWDOWN") == "Max drawdown"
    )
    with pytest.raises(SweepError, match="ambiguous"):
        find_statistic("max")


def test_ray_missing_is_said_plainly(monkeypatch, sample):
    monkeypatch.setitem(sys.modules, "ray", None)  # import ray now fails
    with pytest.raises(SweepError, match=r"pip install 'korvit\[ray\]'"):
        sweep(EXAMPLE, sample[0], GRID, backend="ray", progress=False)


# ------------------------------------------------------------------ the command line


def test_the_command_writes_the_table_the_heat_map_and_the_report(tmp_path, sample):
    out = tmp_path / "out"
    done = korvit(
        "sweep",
        EXAMPLE,
        "--grid",
        "fast=5,10,20",
        "--grid",
        "slow=30,60",
        "--workers",
        "2",
        "--metric",
        "total_return",
        "--out",
        out,
        "--no-progress",
    )
    assert done.returncode == 0, done.stderr
    table = pd.read_csv(out / "sweep.csv")
    assert len(table) == 6 and set(table.status) == {"ok"}
    assert (out / "heatmap.png").read_bytes().startswith(b"\x89PNG")
    report = (out / "report.html").read_text()
    assert "Best runs by Total return" in report
    best = table.loc[table["Total return"].idxmax()]
    # the heat map marks the best run; the data, its period and the settings are stated
    assert f"Best (highest Total return): fast = {best.fast}, slow = {best.slow}:" in report
    assert report.count("<td class='v best'") == 2  # in the map and in its neighbours' map
    assert f"{table.Start.min()[:10]} – {table.End.max()[:10]} (first and last bar)" in report
    assert "stop_fill = " in report and "Codes</th>" in report
    first_row = done.stdout.splitlines()[1].split()
    assert first_row[:2] == [str(best.fast), str(best.slow)]
    alone = run(
        EXAMPLE,
        sample[0],
        contracts=sample[1],
        params={"fast": int(best.fast), "slow": int(best.slow)},
        progress=False,
    ).stats
    assert best["Total return"] == pytest.approx(alone["Total return"], rel=1e-12)


def test_a_sweep_and_a_walk_forward_keep_their_own_folders_and_neither_replaces_the_other(
    tmp_path,
):
    swept = ["sweep", EXAMPLE, "--grid", "fast=5,10", "--grid", "slow=30,60", "--no-progress"]
    walked = [*swept, "--walk-forward", "250,120"]
    done = korvit(*swept, "--workers", "2", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    results = tmp_path / "korvit-results"
    sweep_folder, walk_folder = results / "ma_cross-sweep", results / "ma_cross-walk-forward"

    def contents(folder):
        return {p.relative_to(folder): p.read_bytes() for p in folder.rglob("*") if p.is_file()}

    saved = contents(sweep_folder)
    # the terminal's table of the best runs is in the summary's units
    table = pd.read_csv(sweep_folder / "sweep.csv")
    best = table.loc[table["Sharpe ratio"].idxmax()]
    assert done.stdout.splitlines()[1].split() == [
        str(best.fast),
        str(best.slow),
        *(
            format_stat(name, best[name])
            for name in ("Sharpe ratio", "Total return", "Max drawdown", "Trades")
        ),
    ]
    again = korvit(*walked, "--workers", "2", cwd=tmp_path)
    assert again.returncode == 0, again.stderr
    assert contents(sweep_folder) == saved  # the walk-forward went to a folder of its own
    assert json.loads((walk_folder / "sweep.json").read_text())["kind"] == "walk-forward"
    walk_saved = contents(walk_folder)
    # into another kind's folder: refused in one line naming --out, nothing written
    for command, folder in (
        (walked, sweep_folder),
        (swept, walk_folder),
        (["backtest", EXAMPLE], sweep_folder),
    ):
        refused = korvit_here(*command, "--out", folder)
        assert refused.returncode == 2 and refused.stderr.count("\n") == 1, refused.stderr
        assert "--out" in refused.stderr and "would replace them" in refused.stderr
    assert contents(sweep_folder) == saved and contents(walk_folder) == walk_saved
    # the same kind resumes as before: every run is saved, the table stays
    resumed = korvit_here(*walked, "--workers", "2", "--resume", "--out", walk_folder)
    assert resumed.returncode == 0, resumed.stderr
    assert (walk_folder / "sweep.csv").read_bytes() == walk_saved[Path("sweep.csv")]


@pytest.mark.parametrize(
    "args, words",
    [
        (["--grid", "fsat=5,10"], ["unknown parameter 'fsat'"]),
        (["--grid", "fast="], ["--grid", "fast has no values"]),
        (["--grid", "fast=5,,10"], ["empty value"]),
        ([], ["--grid NAME=V1,V2"]),
        (["--grid", "fast=5", "--metric", "luck"], ["unknown statistic 'luck'"]),
        (["--grid", "fast=5", "--address", "h:1"], ["--backend ray"]),
        (["--grid", "fast=5", "--heat-map", "fast,stop"], ["--heat-map"]),
    ],
)
def test_bad_sweep_arguments_end_with_one_line_before_any_run(tmp_path, args, words):
    done = korvit("sweep", EXAMPLE, *args, "--out", tmp_path / "out", "--no-progress")
    assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
    assert all(word in done.stderr for word in words), done.stderr
    assert not (tmp_path / "out").exists()


def test_ctrl_c_just_as_a_run_is_saved_leaves_it_in_the_table_too(monkeypatch):
    # Ctrl-C right after a run's line reaches runs.jsonl: the run is in the
    # sweep's table (sweep.csv) as well, and the sweep stops there.  Signals
    # are the process's: the case runs in an interpreter of its own, with
    # Python's own Ctrl-C handler.
    if os.environ.get("KORVIT_TEST_OWN_PROCESS") != "1":
        name = "test_ctrl_c_just_as_a_run_is_saved_leaves_it_in_the_table_too"
        child = subprocess.run(
            [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", f"{__file__}::{name}"],
            env={**os.environ, "KORVIT_TEST_OWN_PROCESS": "1"},
            capture_output=True,
            text=True,
            timeout=300,
        )
        assert child.returncode == 0, child.stdout[-3000:] + child.stderr[-3000:]
        return
    signal.signal(
        signal.SIGINT, signal.default_int_handler
    )  # as a Python started from a shell has it

    class Store:
        saved = {}

        def __init__(self):
            self.rows = []

        def add(self, row, *curves):
            self.rows.append(row["run_id"])
            signal.raise_signal(signal.SIGINT)

    def run_local(job, todo, workers, timeout, deliver):
        for task in todo:
            deliver({"run_id": task["run_id"], "row": {"status": "ok", "seconds": 0.1}})

    monkeypatch.setattr(local, "_run_local", run_local)
    tasks = [execute._task({"x": x}, None, "full", None, None) for x in (1, 2)]
    answers, store = {}, Store()
    assert (
        execute._execute(None, tasks, answers, store, "local", 1, None, None, False, "key") is True
    )
    assert list(answers) == store.rows == [tasks[0]["run_id"]]
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


def test_ctrl_c_keeps_the_finished_runs_and_resume_runs_only_the_rest(tmp_path):
    log = tmp_path / "started.txt"
    strategy = write(
        tmp_path / "slow.py",
        f"""
        import time

        def init(context):
            with open({str(log)!r}, "a") as fh:
                fh.write(f"{{context.params['a']}},{{context.params['b']}}\\n")
            time.sleep(0.2)

        def on_data(context):
            pass
    """,
    )
    out = tmp_path / "out"
    args = [
        "sweep",
        strategy,
        "--grid",
        "a=1,2,3,4",
        "--grid",
        "b=1,2",
        "--workers",
        "2",
        "--out",
        out,
        "--no-progress",
    ]
    # A job started in the background of a shell ignores SIGINT, and so would the command:
    # it gets the default handling back, as it has when started at a terminal.
    sweeping = subprocess.Popen(
        [sys.executable, "-m", "korvit", *map(str, args)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    runs = out / "runs.jsonl"
    while sweeping.poll() is None and (not runs.exists() or len(runs.read_text().splitlines()) < 2):
        time.sleep(0.05)
    sweeping.send_signal(signal.SIGINT)
    _, stderr = sweeping.communicate(timeout=120)
    assert sweeping.returncode == 130 and "--resume" in stderr, stderr
    finished = {json.loads(line)["run_id"] for line in runs.read_text().splitlines()}
    assert 2 <= len(finished) < 8
    assert set(pd.read_csv(out / "sweep.csv").run_id) == finished
    started_before = len(log.read_text().splitlines())

    done = korvit(*args, "--resume")
    assert done.returncode == 0, done.stderr
    table = pd.read_csv(out / "sweep.csv")
    assert len(table) == 8 and set(table.status) == {"ok"} and table.run_id.is_unique
    started_now = log.read_text().splitlines()[started_before:]
    assert len(started_now) == 8 - len(finished)
    resumed = {
        (a, b)
        for a, b in table.loc[~table.run_id.isin(finished), ["a", "b"]].itertuples(index=False)
    }
    assert {tuple(map(int, line.split(","))) for line in started_now} == resumed

    other = korvit_here(*args, "--cash", "500000", "--resume")
    assert other.returncode == 2 and "another strategy, data or options" in other.stderr


# ------------------------------------------------------------------ Ray


def _ray_or_reason():
    try:
        import ray
    except Exception as exc:
        return None, f"Ray is not usable here ({type(exc).__name__}: {exc}); pip install '.[ray]'"
    return ray, ""


@pytest.fixture(scope="module")
def local_ray():
    ray, reason = _ray_or_reason()
    if ray is None:
        pytest.skip(reason)
    ray.init(num_cpus=2, include_dashboard=False, logging_level="ERROR")
    yield ray
    ray.shutdown()


def test_ray_gives_the_results_of_the_local_pool(local_ray, sample, tmp_path):
    bars, contracts = sample
    strategy = write(
        tmp_path / "partly.py",
        EXAMPLE.read_text()
        + textwrap.dedent("""

        _init = init

        def init(context):
            if context.params.get("fast") == 7:
                raise RuntimeError("seven")
            _init(context)
    """),
    )
    grid = {"fast": [5, 7, 10], "slow": [30, 60]}
    local = sweep(strategy, bars, grid, contracts=contracts, workers=2, progress=False)
    on_ray = sweep(strategy, bars, grid, contracts=contracts, backend="ray", progress=False)
    pd.testing.assert_frame_equal(comparable(local), comparable(on_ray))
    line = strategy.read_text().splitlines().index('        raise RuntimeError("seven")') + 1
    assert set(on_ray.loc[on_ray.fast == 7, "error"]) == {f"RuntimeError: seven (partly.py:{line})"}
    # the same job but for the curves kept: Ray's workers, which keep the job, return them
    curves = sweep(
        strategy,
        bars,
        {"fast": [5, 10]},
        contracts=contracts,
        backend="ray",
        keep="equity",
        progress=False,
    )
    assert [len(curve) for curve in curves.equity] == [len(bars.times)] * 2
    assert local_ray.is_initialized()  # a Ray the caller started is left running


def test_walk_forward_from_the_command_line_on_minute_bars_with_ticks(tmp_path):
    out = tmp_path / "out"
    done = korvit(
        "sweep",
        EXAMPLE.parent / "futures_breakout.py",
        "--data",
        "sample:minute.csv",
        "--ticks",
        "sample:ticks.csv",
        "--contracts",
        "sample:contracts.csv",
        "--start",
        "2023-07-18",
        "--grid",
        "window=10,20,30",
        "--grid",
        "trail=4,6",
        "--walk-forward",
        "2,1",
        "--metric",
        "total_return",
        "--workers",
        "2",
        "--out",
        out,
        "--no-progress",
    )
    assert done.returncode == 0, done.stderr
    table = pd.read_csv(out / "sweep.csv", parse_dates=["Start", "End"])
    assert set(table.status) == {"ok"}
    train, test = table[table.phase == "train"], table[table.phase == "test"]
    assert len(test) == train.split.nunique() >= 2 and len(train) == 6 * len(test)
    assert table.Start.min() >= pd.Timestamp("2023-07-18")
    for row in test.itertuples():
        runs = train[train.split == row.split]
        best = runs.loc[runs["Total return"].idxmax()]
        assert (row.window, row.trail) == (best.window, best.trail)
        assert row.Start > runs.End.max()
    assert "Walk-forward test runs" in (out / "report.html").read_text()


def test_the_heat_map_shows_the_best_over_the_other_parameters_and_the_report_escapes_errors():
    from korvit.report.sweep_report import _surface, best_runs, render_sweep_report

    sets = [{"a": a, "b": b, "c": c} for a in (1, 2, 3) for b in (10, 20) for c in ("x", "y")]
    frame = pd.DataFrame(sets)
    frame.insert(0, "phase", "full")
    frame.insert(0, "split", pd.array([pd.NA] * len(sets), dtype="Int64"))
    frame.insert(0, "run_id", [f"r{k}" for k in range(len(sets))])
    frame["status"] = ["failed" if k == 3 else "ok" for k in range(len(sets))]
    frame["error"] = ["ValueError: <boom> & more" if k == 3 else "" for k in range(len(sets))]
    frame["seconds"] = 0.1
    frame["Sharpe ratio"] = [((k * 7) % 5) - 2.0 for k in range(len(sets))]
    ok = frame[frame.status == "ok"]
    surface = _surface(frame, "Sharpe ratio", "a", "b")
    assert surface.shape == (2, 3)
    for (b, a), value in ok.groupby(["b", "a"])["Sharpe ratio"].max().items():
        assert surface.loc[b, a] == value
    top = best_runs(frame, "Sharpe ratio", 3)
    assert list(top["Sharpe ratio"]) == sorted(ok["Sharpe ratio"], reverse=True)[:3]
    page = render_sweep_report(frame, "Sharpe ratio", "a", "b", png=b"")
    assert "ValueError: &lt;boom&gt; &amp; more" in page and "<boom>" not in page
    assert "1 failed" in page
