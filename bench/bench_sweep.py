"""Throughput of a parameter sweep of the sample strategy, backend by backend.

    python bench/bench_sweep.py [--runs 200] [--no-ray]

Sweeps ``examples/strategies/ma_cross.py`` over the sample daily bars (500
bars, four codes) with a grid of ``--runs`` parameter sets (fast x slow), and
prints, side by side in one run:

- bare run: one run in this process with ``korvit.backtest.run`` (which starts
  and stops its own embedded core), and one on a core kept running, as a
  sweep's worker does; the mean over 10 runs after a warm-up;
- for the local pool with 1, 2, ... up to every core, and for Ray in local mode
  on every core: the wall time of the whole sweep (worker start-up included),
  runs per second, the speed-up over one local worker, the mean run time
  inside the workers (the table's ``seconds``), and the per-run cost: wall
  time x workers / runs, the time a worker slot spends per run.  The per-run
  overhead of the backend is that cost less the mean run time inside the
  workers of the same sweep (start-up, dispatch, moving rows back), so a
  busy machine slows both alike.

Ray's own start (``ray.init``) is timed apart and not in its sweep's wall time.
The figures move with the machine's load; the ratios between rows are what
matter.  Every backend's table must match the one-worker table (checked).
"""

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

import pandas as pd

from korvit.backtest import run, sweep
from korvit.core.server import CoreServer
from korvit.data import load_bars, load_contracts, sample_path

STRATEGY = Path(__file__).resolve().parent.parent / "examples" / "strategies" / "ma_cross.py"


def grid_of(runs):
    slows = list(range(25, 25 + 2 * 20, 2))                 # 20 slow windows
    fasts = list(range(3, 3 + max(1, -(-runs // 20))))      # enough fast windows for the runs
    sets = [{"fast": f, "slow": s} for f in fasts for s in slows]
    return sets[:runs]


def bare(bars, contracts, count=10):
    """Mean seconds of one run in this process: with its own core, on a kept core."""
    run(STRATEGY, bars, contracts=contracts, progress=False)                 # warm-up
    started = time.perf_counter()
    for _ in range(count):
        run(STRATEGY, bars, contracts=contracts, progress=False)
    own = (time.perf_counter() - started) / count
    with tempfile.TemporaryDirectory() as folder, CoreServer(port=0, cache_root=folder) as core:
        started = time.perf_counter()
        for _ in range(count):
            run(STRATEGY, bars, contracts=contracts, progress=False, core=(core.host, core.port))
        kept = (time.perf_counter() - started) / count
    return own, kept


def timed_sweep(bars, contracts, sets, **options):
    started = time.perf_counter()
    frame = sweep(STRATEGY, bars, sets, contracts=contracts, progress=False, **options)
    return time.perf_counter() - started, frame


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=200, help="parameter sets in the sweep (default 200)")
    parser.add_argument("--no-ray", action="store_true", help="leave Ray out")
    args = parser.parse_args(argv)
    bars, contracts = load_bars(sample_path("daily.csv")), load_contracts(sample_path("contracts.csv"))
    sets = grid_of(args.runs)
    cores = os.cpu_count() or 1
    own, kept = bare(bars, contracts)
    print(f"{len(sets)} runs of {STRATEGY.name} on {len(bars.times)} daily bars x {len(bars.codes)} codes, "
          f"{cores} cores, Python {sys.version.split()[0]}")
    print(f"bare run: {own * 1000:.0f} ms with its own core, {kept * 1000:.0f} ms on a kept core\n")

    rows, reference = [], None
    counts = sorted({1, *range(2, cores + 1)})
    for workers in counts:
        wall, frame = timed_sweep(bars, contracts, sets, workers=workers)
        reference = frame if reference is None else reference
        _check(reference, frame, f"local x{workers}")
        rows.append(("local", workers, wall, frame))
    if not args.no_ray:
        try:
            import ray
        except ImportError:
            print("Ray is not installed (pip install '.[ray]'): its row is left out\n")
        else:
            started = time.perf_counter()
            ray.init(num_cpus=cores, include_dashboard=False, logging_level="ERROR")
            ray_start = time.perf_counter() - started
            try:
                wall, frame = timed_sweep(bars, contracts, sets, backend="ray")
            finally:
                ray.shutdown()
            _check(reference, frame, "ray")
            rows.append((f"ray (local; ray.init {ray_start:.1f} s apart)", cores, wall, frame))

    base = len(sets) / rows[0][2]
    print("| backend | workers | wall s | runs/s | speed-up | run in worker ms | per-run cost ms "
          "| overhead ms | failed |")
    print("| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    for name, workers, wall, frame in rows:
        rate = len(sets) / wall
        cost = wall * workers / len(sets)
        inside = frame["seconds"].mean()
        print(f"| {name} | {workers} | {wall:.1f} | {rate:.2f} | {rate / base:.2f} | {inside * 1000:.0f} | "
              f"{cost * 1000:.0f} | {(cost - inside) * 1000:.0f} | {int((frame.status != 'ok').sum())} |")


def _check(reference, frame, name):
    a = reference.drop(columns="seconds").reset_index(drop=True)
    b = frame.drop(columns="seconds").reset_index(drop=True)
    pd.testing.assert_frame_equal(a, b, obj=f"the {name} table")


if __name__ == "__main__":
    main()
