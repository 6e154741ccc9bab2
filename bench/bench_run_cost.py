"""What a small run costs, and where: the sample run and a strategy that does nothing.

    python bench/bench_run_cost.py [--runs 15]

Timed in this process, the median of ``--runs`` runs after one warm-up, the
cases taken in turns (so that a busy machine slows them alike):

- an empty strategy (``on_data`` does nothing) over the sample daily bars
  (4 codes, 500 bars), against a core started beforehand (``core=``): what
  every run costs whatever its strategy does;
- the sample strategy (``examples/strategies/ma_cross.py``) over the same
  bars, against that core and with the embedded core (the default);

each as ``run()`` alone (its tables and statistics are built when read) and
with its round trips and statistics read.  Then the sample run's time split:
``run()`` outside its own timings (reading the strategy, the bars and the
contracts), the set-up, the bar loop and the building of the result (the
result's ``meta["timings"]``), and the round trips and statistics.

The bar and contract files are read once: later runs find them kept (see
``korvit.data``), as a sweep or a notebook running them again does.
"""

import argparse
import statistics
import sys
import tempfile
import time
import warnings
from pathlib import Path

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "strategies" / "ma_cross.py"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0].strip())
    parser.add_argument(
        "--runs", type=int, default=15, help="measured runs of each case (default 15)"
    )
    args = parser.parse_args(argv)
    warnings.simplefilter("ignore")
    from korvit.backtest import run
    from korvit.core.server import CoreServer
    from korvit.data import sample_path

    bars, contracts = sample_path("daily.csv"), sample_path("contracts.csv")
    with tempfile.TemporaryDirectory() as folder, CoreServer() as server:
        empty = Path(folder) / "empty.py"
        empty.write_text("def on_data(context):\n    pass\n")
        kept = f"127.0.0.1:{server.port}"
        cases = {
            "empty strategy, kept core": (empty, kept),
            "sample run, kept core": (EXAMPLE, kept),
            "sample run, embedded core": (EXAMPLE, None),
        }
        alone, read = ({name: [] for name in cases} for _ in range(2))
        split = []
        for k in range(args.runs + 1):
            for name, (strategy, core) in cases.items():
                started = time.perf_counter()
                result = run(strategy, bars, contracts=contracts, progress=False, core=core)
                ran = time.perf_counter()
                result.round_trips, result.stats
                ended = time.perf_counter()
                if not k:  # the first runs warm up
                    continue
                alone[name].append(ran - started)
                read[name].append(ended - started)
                if name == "sample run, kept core":
                    timings = result.meta["timings"]
                    inside = timings["setup_s"] + timings["loop_s"] + timings["results_s"]
                    split.append(
                        (
                            ran - started - inside,
                            timings["setup_s"],
                            timings["loop_s"],
                            timings["results_s"],
                            ended - ran,
                        )
                    )
    print(
        f"python {sys.version.split()[0]}; the sample daily bars (4 codes, 500 bars); median of "
        f"{args.runs} runs after a warm-up, ms"
    )
    print(f"  {'case':<28}{'run()':>8}{'with stats':>12}")
    for name in cases:
        print(
            f"  {name:<28}{1e3 * statistics.median(alone[name]):>8.1f}"
            f"{1e3 * statistics.median(read[name]):>12.1f}"
        )
    parts = (
        "reading strategy, bars, contracts",
        "set-up",
        "bar loop",
        "result",
        "round trips, statistics",
    )
    print("  the sample run (kept core), split:")
    for part, seconds in zip(parts, zip(*split)):
        print(f"    {part:<34}{1e3 * statistics.median(seconds):>8.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
