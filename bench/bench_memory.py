"""Peak memory of the big workloads: W1 on 100 stocks x 2,500 daily bars, W2 on
1,000,000 minute bars and a market of 2,000 stocks x 2,520 days, each against a budget
of 1 GiB peak RSS.

    python bench/bench_memory.py [--workload w1|w2|both|market|all] [--ticks] [--data DIR]
                                 [--trace] [--before FILE]

The workloads are those of ``bench_workloads.py`` (same strategies, cash, fees and
contracts), on more data: ``bench/make_workloads.py`` writes them once into ``--data``
(default ``bench/data-memory``), kept while its manifest matches, with ``--w1-stocks
100 --w1-bars 2500 --w2-bars 1000000 --w2-ticks 2`` (2 is the fewest ticks per bar the
generator accepts: 2,000,000 ticks).

Each backtest runs alone in a fresh process of this interpreter.  Per run:

- peak RSS: the process's high-water mark over its whole life (interpreter, imports,
  load, set-up, loop, results), the child's ``VmHWM`` at its end (``wait4``'s figure
  would start from the parent's own peak at the fork, the data's generation included;
  the child's ``getrusage(RUSAGE_SELF)`` is printed beside it when the two differ);
  CPU: the child's user and system seconds, as ``wait4`` reports them;
- RSS after load: resident after the bars (and ticks) are read into memory; RSS at
  loop start: after building the ``Backtest`` and its set-up (the engine holds the
  bars), just before the first bar; the peak reached by then is shown in brackets;
- load, loop: seconds; bars/s: bars over all instruments / loop time;
- the run's counts (orders, fills, stops fired, final equity), to show it did the work.

The market (``--workload market``, or ``all``) is the sample strategy
(``examples/strategies/ma_cross.py``, its two moving averages on every stock) over
2,000 stocks x 2,520 days (5,040,000 bars of ``bench_report.market_bars``, written once
as ``market-2000x2520.parquet`` into ``--data``), saved to a folder as the command line
saves a run: it is the run whose bars dominate its memory.  Its row also shows the
bytes a bar above the floor (peak RSS less the floor's RSS, over the bars).

``--before FILE`` reads the JSON lines a former invocation kept with ``--keep FILE``
and prints each run's peak RSS and CPU seconds beside them, with their ratio.

W2 runs on its bars alone; ``--ticks`` adds a run with its 2,000,000 ticks too (a
separate process), which is not run by default because it takes about 2 GiB (the
ticks held per bar as small arrays, then handed to the engine).  The floor is the peak
RSS of a process that imports what a run imports and runs nothing.

``--trace`` runs each backtest under tracemalloc instead (much slower; its figures are
not the untraced ones) and prints, per run, the 10 source lines holding the most
traced memory at the end of the loop and the 10 that grew most over the loop.
tracemalloc sees the Python allocator and numpy's arrays, not the compiled engine's
own allocations: the gap between the RSS and the traced total is native memory (and
the interpreter's and libraries' code).  With ``--ticks`` the traced tick run holds
millions of small blocks: it needs over 7 GiB and many minutes.
"""

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
import tracemalloc
import warnings
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import bench_workloads as bw

DEFAULT_DATA = HERE / "data-memory"
GENERATOR_ARGS = {
    "seed": bw.GENERATOR_ARGS["seed"],
    "w1_stocks": 100,
    "w1_bars": 2500,
    "w2_bars": 1_000_000,
    "w2_ticks": 2,
}
GIB = 1 << 30
BUDGET = 1 * GIB

RUNS = {
    "w1": {"workload": "w1", "ticks": False, "title": "W1 100 stocks x 2,500 daily bars"},
    "w2": {"workload": "w2", "ticks": False, "title": "W2 1,000,000 minute bars, no ticks"},
    "w2-ticks": {
        "workload": "w2",
        "ticks": True,
        "title": "W2 1,000,000 minute bars + 2,000,000 ticks",
    },
    "market": {"workload": "market", "ticks": False, "title": "2,000 stocks x 2,520 days, saved"},
}
MARKET = (2000, 2520)


def market_data(data):
    """The market's bars as one Parquet file in ``data`` (written once)."""
    import bench_report
    import pandas as pd

    path = data / f"market-{MARKET[0]}x{MARKET[1]}.parquet"
    if not path.exists():
        folder = data / "market-csv"
        csv = bench_report.market_bars(folder, *MARKET)
        pd.read_csv(csv).to_parquet(path.with_suffix(".tmp"), index=False)
        path.with_suffix(".tmp").replace(path)
        csv.unlink()
    return path


# ------------------------------------------------------------------ in the child


def _status():
    """(VmRSS, VmHWM) of this process in bytes, from /proc/self/status."""
    found = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                found[key] = int(rest.split()[0]) * 1024
    return found["VmRSS"], found["VmHWM"]


def _maxrss_self():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # KiB on Linux


def floor_worker():
    """Imports what a run imports, runs nothing; prints one JSON line."""
    bw._import_korvit()
    rss, hwm = _status()
    print(json.dumps({"rss": rss, "hwm": hwm, "peak_self": _maxrss_self()}))


def _top(stats, limit=10):
    rows = []
    for stat in stats[:limit]:
        frame = stat.traceback[0]
        rows.append(
            {
                "where": f"{frame.filename}:{frame.lineno}",
                "size": stat.size,
                "size_diff": getattr(stat, "size_diff", None),
                "count": stat.count,
            }
        )
    return rows


def _trace_report(before, after):
    """The top lines at the end of the loop and the top growth over it."""
    filters = [tracemalloc.Filter(False, "<frozen importlib._bootstrap*>")]
    before, after = before.filter_traces(filters), after.filter_traces(filters)
    return {
        "top": _top(after.statistics("lineno")),
        "growth": _top(after.compare_to(before, "lineno")),
        "traced_at_loop_end": sum(stat.size for stat in after.statistics("filename")),
        "traced_at_loop_start": sum(stat.size for stat in before.statistics("filename")),
    }


def worker(name, data, trace):
    """One run in this (fresh) process; prints one JSON line."""
    run = RUNS[name]
    workload = run["workload"]
    bw._import_korvit()
    from korvit.backtest.runner import Backtest
    from korvit.data import load_bars, load_ticks

    if trace:
        tracemalloc.start(1)
    marks = {"import": _status()}
    snapshots = {}

    class Measured(Backtest):
        """Marks the RSS (and, traced, takes a snapshot) as the loop starts and ends."""

        def _loop(self, env, session):
            marks["loop_start"] = _status()
            if trace:
                snapshots["loop_start"] = tracemalloc.take_snapshot()
            try:
                return super()._loop(env, session)
            finally:
                marks["loop_end"] = _status()
                if trace:
                    snapshots["loop_end"] = tracemalloc.take_snapshot()
                    marks["traced_peak"] = tracemalloc.get_traced_memory()[1]

    converted = data / "korvit"
    started = time.perf_counter()
    if workload == "market":
        bars = market_data(data)  # read by the run, as the command line reads it
    else:
        bars = load_bars(converted / f"{workload}_bars.csv")
    ticks = load_ticks(converted / "w2_ticks.csv", bars) if run["ticks"] else None
    load_s = time.perf_counter() - started
    marks["load"] = _status()
    n_ticks = 0 if ticks is None else ticks.count
    n_bars = None if workload == "market" else int(bars.present.sum())
    with tempfile.TemporaryDirectory(prefix="korvit-bench-") as output:
        if workload == "market":
            backtest = Measured(
                HERE.parent / "examples" / "strategies" / "ma_cross.py",
                bars,
                output=output,
                progress=False,
            )
        else:
            backtest = Measured(
                HERE / "workloads" / f"{workload}_strategy.py",
                bars,
                ticks=ticks,
                contracts=converted / f"{workload}_contracts.csv",
                cash=bw.CASH,
                stock_commission=bw.STOCK_COMMISSION,
                commission_rate=bw.COMMISSION_RATE,
                output=output,
                progress=False,
            )
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = backtest.run()
        counts = bw._counts(result)
        if workload == "market":
            n_bars = int(result.bars.present.sum())
            result.save(Path(output) / "out")
        marks["end"] = _status()
    timings = result.meta["timings"]
    out = {
        "run": name,
        "bars": n_bars,
        "ticks": n_ticks,
        "load_s": load_s,
        "setup_s": timings["setup_s"],
        "loop_s": timings["loop_s"],
        "results_s": timings["results_s"],
        "marks": marks,
        "peak_self": _maxrss_self(),
        "hwm": _status()[1],
        "cpu_s": sum(os.times()[:2]),
        "counts": counts,
    }
    if trace:
        out["trace"] = _trace_report(snapshots["loop_start"], snapshots["loop_end"])
    print(json.dumps(out, sort_keys=True))


# ------------------------------------------------------------------ in the parent


def _child(args):
    """Runs this script with `args` in a fresh process; returns (its last stdout line as
    JSON with its CPU seconds, its peak RSS in bytes)."""
    command = [sys.executable, str(Path(__file__).resolve()), *args]
    with tempfile.TemporaryFile(mode="w+") as err:
        proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=err, text=True)
        out = proc.stdout.read()
        proc.stdout.close()
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        lines = out.strip().splitlines()
        if proc.returncode != 0 or not lines:
            err.seek(0)
            sys.stderr.write(err.read())
            sys.exit(f"failed (status {proc.returncode}): {' '.join(command)}")
    row = json.loads(lines[-1])
    row["cpu_s"] = usage.ru_utime + usage.ru_stime
    # a child's ru_maxrss starts from its parent's high-water mark at the fork (this
    # process's, which may have generated the data): its own VmHWM, reset by the exec,
    # is its peak
    return row, row.get("hwm", usage.ru_maxrss * 1024)


def _mib(size):
    return f"{size / (1 << 20):,.0f} MiB"


def report(names, data, trace, keep=None, before=None):
    if any(RUNS[name]["workload"] == "market" for name in names):
        market_data(data)
    floor, floor_peak = _child(["--floor", "--data", str(data)])
    rows = []
    for name in names:
        if sys.stdout.isatty():
            print(f"\r  running {RUNS[name]['title']} ...".ljust(79), end="", flush=True)
        row, peak = _child(["--worker", name, "--data", str(data)] + (["--trace"] if trace else []))
        row["peak"] = peak
        rows.append(row)
    if sys.stdout.isatty():
        print("\r" + " " * 79, end="\r")
    if keep is not None:
        keep.write_text("".join(json.dumps(row, sort_keys=True) + "\n" for row in rows))

    print(
        f"\nPeak RSS per run, each in a fresh process{' UNDER TRACEMALLOC (slow, inflated)' if trace else ''}"
        f"; budget {_mib(BUDGET)} (1 GiB)"
    )
    header = (
        f"  {'run':<44} {'bars':>10} {'peak RSS':>10} {'after load':>11} "
        f"{'loop start [peak so far]':>25} {'load s':>7} {'loop s':>7} {'bars/s':>9}  verdict"
    )
    print(header)
    print("  " + "-" * (len(header) - 2))
    print(
        f"  {'floor: korvit imported, nothing run':<44} {'':>10} {_mib(floor_peak):>10} "
        f"{_mib(floor['rss']):>11}"
    )
    for row in rows:
        marks = row["marks"]
        verdict = "within 1 GiB" if row["peak"] < BUDGET else "OVER 1 GiB"
        start = f"{_mib(marks['loop_start'][0])} [{_mib(marks['loop_start'][1])}]"
        print(
            f"  {RUNS[row['run']]['title']:<44} {row['bars']:>10,} {_mib(row['peak']):>10} "
            f"{_mib(marks['load'][0]):>11} {start:>25} {row['load_s']:>7.2f} {row['loop_s']:>7.2f} "
            f"{row['bars'] / row['loop_s']:>9,.0f}  {verdict}"
        )
    print(
        "\n  peak RSS: the whole process (its VmHWM); after load: resident once the CSVs are read; "
        "loop start: after the Backtest's set-up,\n  with the high-water mark reached by then in "
        "brackets; a peak above it is reached in the loop or in building the results."
    )
    for row in rows:
        marks, counts = row["marks"], row["counts"]
        title = RUNS[row["run"]]["title"]
        ticks = "ticks loaded: " + (f"yes, {row['ticks']:,}" if row["ticks"] else "no")
        print(f"\n  {title} ({ticks})")
        print(
            f"    phases: set-up {row['setup_s']:.2f} s, results {row['results_s']:.2f} s; RSS at "
            f"loop end {_mib(marks['loop_end'][0])} [{_mib(marks['loop_end'][1])}], at the end "
            f"{_mib(marks['end'][0])}, peak {_mib(row['peak'])}"
            + (
                ""
                if abs(row["peak_self"] - row["peak"]) < (1 << 20)
                else f" (the child's own getrusage: {_mib(row['peak_self'])})"
            )
        )
        print(
            f"    counts: orders {counts['orders']:,} (filled {counts['orders_filled']:,}, open at "
            f"the end {counts['orders_open_at_end']:,}), fills {counts['fills']:,}, stops fired "
            f"{counts['stops_fired']:,}, round trips {counts['round_trips']:,}, fees "
            f"{counts['fees']:,.2f}, final equity {counts['final_equity']:,.3f}"
        )
        print(
            f"    CPU {row['cpu_s']:.1f} s; {(row['peak'] - floor['rss']) / row['bars']:,.0f} bytes a "
            f"bar above the floor's RSS ({_mib(floor['rss'])})"
        )
        if before and row["run"] in before:
            old = before[row["run"]]
            print(
                f"    before: peak {_mib(old['peak'])}, CPU {old['cpu_s']:.1f} s; now "
                f"{row['peak'] / old['peak']:.2f} x the peak, {row['cpu_s'] / old['cpu_s']:.2f} x the CPU"
            )
        if trace:
            _print_trace(row)
    over = [RUNS[row["run"]]["title"] for row in rows if row["peak"] >= BUDGET]
    print(
        "\nverdict: "
        + ("every run within 1 GiB peak RSS" if not over else "OVER 1 GiB: " + "; ".join(over))
    )


def _print_trace(row):
    trace = row["trace"]
    print(
        f"    traced (Python objects and numpy arrays): {_mib(trace['traced_at_loop_start'])} at loop "
        f"start, {_mib(trace['traced_at_loop_end'])} at loop end, traced peak "
        f"{_mib(row['marks']['traced_peak'])}; RSS at loop end {_mib(row['marks']['loop_end'][0])}"
    )
    for key, title in (("top", "held at loop end"), ("growth", "grown over the loop")):
        print(f"    top 10 lines by memory {title}:")
        for stat in trace[key]:
            size = stat["size_diff"] if key == "growth" else stat["size"]
            print(
                f"      {size / (1 << 20):>+9.1f} MiB {stat['count']:>10,} blocks  {_short(stat['where'])}"
            )


def _short(where):
    for root in [str(Path(p)) for p in sys.path if p] + [str(HERE)]:
        if where.startswith(root + os.sep):
            return where[len(root) + 1 :]
    return where


# ------------------------------------------------------------------ command line


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0].strip(),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--workload", choices=("w1", "w2", "both", "market", "all"), default="both")
    parser.add_argument(
        "--ticks", action="store_true", help="run W2 once more with its ticks (about 2 GiB)"
    )
    parser.add_argument(
        "--data",
        type=Path,
        default=DEFAULT_DATA,
        help="folder of the generated workloads (default bench/data-memory)",
    )
    parser.add_argument(
        "--trace",
        action="store_true",
        help="run under tracemalloc and print where the memory is held",
    )
    parser.add_argument("--keep", type=Path, help="keep the runs' figures in FILE (JSON lines)")
    parser.add_argument(
        "--before", type=Path, help="compare with the figures a former --keep FILE kept"
    )
    parser.add_argument("--worker", choices=tuple(RUNS), help=argparse.SUPPRESS)
    parser.add_argument("--floor", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    data = args.data.resolve()
    if args.floor:
        floor_worker()
        return
    if args.worker:
        worker(args.worker, data, args.trace)
        return
    if args.data.exists() and not args.data.is_dir():
        parser.error(f"--data {args.data} is not a folder")
    if args.ticks and args.workload == "w1":
        parser.error("--ticks adds a run of W2: not with --workload w1")
    names = []
    if args.workload in ("w1", "both", "all"):
        names.append("w1")
    if args.workload in ("w2", "both", "all"):
        names += ["w2", "w2-ticks"] if args.ticks else ["w2"]
    if args.workload in ("market", "all"):
        names.append("market")
    before = None
    if args.before is not None:
        lines = args.before.read_text().splitlines()
        before = {row["run"]: row for row in map(json.loads, lines) if row}
    bw.ensure_data(data, GENERATOR_ARGS)
    print(f"python {sys.version.split()[0]} ({sys.executable}); data {data}")
    report(names, data, args.trace, args.keep, before)


if __name__ == "__main__":
    main()
