"""A parameter sweep of the sample strategy against a plain loop of runs.

    python bench/bench_sweep.py [--runs 36] [--rounds 3] [--no-ray]

Sweeps ``examples/strategies/ma_cross.py`` over the sample daily bars (500
bars, four codes) with a grid of ``--runs`` parameter sets (fast x slow), and
times, round after round (so that a change of the machine's load falls on
every figure alike):

- loop, kept core: a plain Python loop of ``run()`` over the parameter sets on
  one core kept running, reading each run's statistics (what a sweep's table
  holds); the baseline of the ratios;
- loop, a core per run: the same loop with ``run()``'s own embedded core,
  started and stopped per run;
- loop, kept core, run only: the first loop without reading the statistics;
- sweep on 1 and on 2 local workers kept from the sweep before (as the
  second and later sweeps of a process run), and on 2 new workers (the
  first sweep of a process: the workers' start-up included);
- Ray in local mode on every core, its ``ray.init`` timed apart (once).

For each: the median wall time over the rounds (min and max beside it), the
time per run, the ratio to the loop on a kept core (> 1: faster), the
1-minute load average around it (the machine's other work shares the cores),
and the CPU seconds it used in this process and in the sweep's workers: CPU /
wall is the number of cores it had on average (at most 1 for a loop, 2 for a
sweep on 2 workers; less when other work takes them), CPU vs loop the work
it did against the baseline's (above 1: overhead of the sweep).
Every sweep's table must match the first one's, and its rows the loop's
statistics (checked).  Run with a korvit without kept workers (an earlier
build), the "kept" sweeps start their workers like the new ones.
"""

import argparse
import os
import resource
import statistics
import sys
import tempfile
import time
from pathlib import Path

import pandas as pd

from korvit.backtest import run, sweep

try:  # the kept workers' module (the sweep package's local backend)
    from korvit.backtest.sweep import local as sweeps
except ImportError:  # a korvit with one sweeps module
    from korvit.backtest import sweeps
from korvit.core.server import CoreServer
from korvit.data import load_bars, load_contracts, sample_path

STRATEGY = Path(__file__).resolve().parent.parent / "examples" / "strategies" / "ma_cross.py"
CHECKED = ("Sharpe ratio", "Trades", "Final equity", "Max drawdown", "Longest drawdown")


def grid_of(runs):
    slows = list(range(25, 25 + 2 * 20, 2))  # 20 slow windows
    fasts = list(range(3, 3 + max(1, -(-runs // 20))))  # enough fast windows for the runs
    sets = [{"fast": f, "slow": s} for f in fasts for s in slows]
    return sets[:runs]


def loop(bars, contracts, sets, *, kept=True, stats=True):
    """Wall seconds of a loop of run() over ``sets``, and the runs' statistics."""
    found = []
    with tempfile.TemporaryDirectory() as folder, CoreServer(port=0, cache_root=folder) as core:
        where = {"core": (core.host, core.port)} if kept else {}
        started = time.perf_counter()
        for params in sets:
            result = run(
                STRATEGY, bars, contracts=contracts, params=params, progress=False, **where
            )
            if stats:
                found.append(result.stats)
        return time.perf_counter() - started, found


def timed_sweep(bars, contracts, sets, **options):
    started = time.perf_counter()
    frame = sweep(STRATEGY, bars, sets, contracts=contracts, progress=False, **options)
    return time.perf_counter() - started, frame


def _ticks(pid):
    """CPU seconds (user + system) process ``pid`` has used, from /proc; 0 when gone."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as fh:
            fields = fh.read().rsplit(b")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def _live_workers():
    pool = getattr(sweeps, "_pool", None)
    return {slot.process.pid for slot in pool.slots} if pool is not None else set()


def cpu_seconds():
    """CPU seconds used so far by this process, its ended children and the kept workers,
    by worker: ``(this process and ended children, {pid: seconds})``."""
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (
        time.process_time() + children.ru_utime + children.ru_stime,
        {pid: _ticks(pid) for pid in _live_workers()},
    )


def cpu_since(before):
    """CPU seconds used since ``before`` (see cpu_seconds)."""
    mine, workers = cpu_seconds()
    return mine - before[0] + sum(used - before[1].get(pid, 0.0) for pid, used in workers.items())


def stop_workers():
    stop = getattr(sweeps, "stop_workers", None)  # a korvit that keeps workers
    if stop is not None:
        stop()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--runs", type=int, default=36, help="parameter sets in the sweep (default 36)"
    )
    parser.add_argument("--rounds", type=int, default=3, help="rounds of every measure (default 3)")
    parser.add_argument("--no-ray", action="store_true", help="leave Ray out")
    args = parser.parse_args(argv)
    bars, contracts = (
        load_bars(sample_path("daily.csv")),
        load_contracts(sample_path("contracts.csv")),
    )
    sets = grid_of(args.runs)
    kept_pool = hasattr(sweeps, "stop_workers")
    print(
        f"{len(sets)} runs of {STRATEGY.name} on {len(bars.times)} daily bars x {len(bars.codes)} codes, "
        f"{os.cpu_count()} cores, Python {sys.version.split()[0]}, {args.rounds} rounds; "
        f"workers kept between sweeps: {'yes' if kept_pool else 'no'}"
    )
    print(f"load average at the start: {_load()}\n", flush=True)

    measures = {
        "loop of run() + stats, kept core": lambda: loop(bars, contracts, sets),
        "loop of run() + stats, a core per run": lambda: loop(bars, contracts, sets, kept=False),
        "loop of run() alone, kept core": lambda: loop(bars, contracts, sets, stats=False),
        "sweep, 1 worker (kept)": lambda: timed_sweep(bars, contracts, sets, workers=1),
        "sweep, 2 workers (kept)": lambda: timed_sweep(bars, contracts, sets, workers=2),
        "sweep, 2 new workers": lambda: timed_sweep(
            bars, contracts, sets, workers=2
        ),  # stopped before
    }
    # warm-up: this process's imports and first runs, and the kept workers' start
    run(STRATEGY, bars, contracts=contracts, progress=False)
    timed_sweep(bars, contracts, sets[:4], workers=2)
    walls = {name: [] for name in measures}
    loads = {name: [] for name in measures}
    cpus = {name: [] for name in measures}
    reference = alone = None
    for _ in range(args.rounds):
        for name, measure in measures.items():
            if "new workers" in name:
                stop_workers()
            before, cpu = os.getloadavg()[0], cpu_seconds()
            wall, got = measure()
            walls[name].append(wall)
            cpus[name].append(cpu_since(cpu))
            loads[name].append((before + os.getloadavg()[0]) / 2)
            if isinstance(got, pd.DataFrame):
                reference = got if reference is None else reference
                _check(reference, got, name)
            elif got:
                alone = got
    _check_rows(reference, alone, sets)
    stop_workers()

    if not args.no_ray:
        _ray(bars, contracts, sets, reference, walls, loads, cpus)

    base = statistics.median(walls["loop of run() + stats, kept core"])
    base_cpu = statistics.median(cpus["loop of run() + stats, kept core"])
    print(
        "| what | wall s (median) | min | max | per run ms | vs loop, kept core | load (1 min) "
        "| CPU s | CPU / wall | CPU vs loop |"
    )
    print("| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    for name, times in walls.items():
        middle, cpu = statistics.median(times), statistics.median(cpus[name])
        print(
            f"| {name} | {middle:.2f} | {min(times):.2f} | {max(times):.2f} | "
            f"{middle * 1000 / len(sets):.0f} | {base / middle:.2f} | "
            f"{min(loads[name]):.1f}-{max(loads[name]):.1f} | {cpu:.2f} | "
            f"{statistics.median(c / w for c, w in zip(cpus[name], times)):.2f} | {cpu / base_cpu:.2f} |"
        )
    two, one = (
        statistics.median(walls["sweep, 2 workers (kept)"]),
        statistics.median(walls["sweep, 1 worker (kept)"]),
    )
    print(f"\n2 workers / 1 worker (kept): {one / two:.2f}x; load average at the end: {_load()}")


def _ray(bars, contracts, sets, reference, walls, loads, cpus):
    try:
        import ray
    except ImportError:
        print("Ray is not installed (pip install '.[ray]'): its row is left out\n")
        return
    cores = os.cpu_count() or 1
    started = time.perf_counter()
    ray.init(num_cpus=cores, include_dashboard=False, logging_level="ERROR")
    name = f"Ray, {cores} workers (local; ray.init {time.perf_counter() - started:.1f} s apart)"
    try:
        timed_sweep(bars, contracts, sets[:4], backend="ray")  # Ray's workers started
        before = os.getloadavg()[0]
        wall, frame = timed_sweep(bars, contracts, sets, backend="ray")
        cpus[name] = [float("nan")]  # Ray's workers are not counted
    finally:
        ray.shutdown()
    _check(reference, frame, "ray")
    walls[name], loads[name] = [wall], [(before + os.getloadavg()[0]) / 2]


def _load():
    return ", ".join(f"{value:.2f}" for value in os.getloadavg())


def _check(reference, frame, name):
    a = reference.drop(columns="seconds").reset_index(drop=True)
    b = frame.drop(columns="seconds").reset_index(drop=True)
    pd.testing.assert_frame_equal(a, b, obj=f"the table of {name}")


def _check_rows(frame, alone, sets):
    """Every row of the sweep's table holds the statistics of the run alone."""
    assert list(frame.status) == ["ok"] * len(sets), set(frame.error)
    for (_, row), stats in zip(frame.iterrows(), alone):
        for name in CHECKED:
            assert row[name] == stats[name] or (pd.isna(row[name]) and pd.isna(stats[name])), (
                name,
                row[name],
            )


if __name__ == "__main__":
    main()
