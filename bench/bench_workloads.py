"""Workloads W1 and W2 on korvit and on its peers (backtrader, NautilusTrader), side by side.

    python bench/bench_workloads.py [--runs 3] [--workload w1|w2|both] [--data DIR]
                                    [--no-peer] [--peer-ticks] [--profile]

W1 "stock portfolio, daily" (100 stocks x 500 daily bars, entries with a 5 %
stop-loss and a 10 % take-profit) and W2 "futures intraday, minute" (100,000
minute bars of one contract and 2,000,000 ticks, entries with a trailing stop
and a stop-loss) are fixed backtests.  Their data is generated once by
``bench/make_workloads.py`` into ``--data`` (default ``bench/data``, about 65 MB) and
kept while its manifest matches; it is then converted once into what ``korvit.data``
loads (``DIR/korvit``: long CSVs with an exchange-prefixed code column, and a contract
table).

Every run is a fresh process, korvit and the peers interleaved (ours, peers, ours,
peers, ...), one discarded warm-up run each, then ``--runs`` measured runs.  Our
strategies are ``bench/workloads/w1_strategy.py`` and ``w2_strategy.py``; backtrader
runs ``bench/peers/bt_workloads.py``, NautilusTrader ``bench/peers/nt_workloads.py`` (on bars; with ``--peer-ticks`` W2 also on its trade
ticks).  The peers installed are run (``pip install ".[bench]"``), and for each workload
the ratio against the fastest of them is printed.

Figures, per engine, min / median over the measured runs:

- load: reading every bar (and, for korvit in W2, every tick) from CSV into memory;
- loop: the bar loop (strategy callbacks, matching, stop orders, fees, accounting);
- total: load, set-up, loop and building the results (the run's tables, which a
  result builds when first read, included; interpreter start and the module imports
  excluded);
- bars/s: bars over all instruments / loop time; the ratio ours/peer is what matters,
  the machine's speed changes from one session to the next.

The two engines' order and trade counts differ by design (fill and stop rules differ);
ours must be identical in every run.

``--profile`` runs our workload once in this process under cProfile instead and prints
the 25 functions with the most cumulative and the most own time.
"""

import argparse
import csv
import datetime as dt
import hashlib
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import make_workloads

DEFAULT_DATA = HERE / "data"

# The generator's arguments; a manifest with other parameters means other data.
GENERATOR_ARGS = dict(make_workloads.DEFAULTS)

EXCHANGE = "SIM"
CASH = 10_000_000.0
STOCK_COMMISSION = {"OpenTax": 0.0, "CloseTax": 0.001, "TransFee": 0.0, "MinTradeFee": 5.0}
COMMISSION_RATE = 3  # 3/10000 of the traded value
FUTURES = {"min_move": 0.2, "multiplier": 10, "margin": 0.1, "fee": 3}  # fee per lot, each side

WORKLOADS = {
    "w1": {"title": 'W1 "stock portfolio, daily"'},
    "w2": {
        "title": 'W2 "futures intraday, minute"',
        "note": "korvit's load and set-up include the 2,000,000 ticks, which backtrader does not read",
    },
}


# ------------------------------------------------------------------ data


def _sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


def _manifest(data, params=GENERATOR_ARGS):
    """The data's manifest when it names the parameters `params` and every file
    matches its checksum, else None."""
    path = data / "manifest.json"
    if not path.is_file():
        return None
    with open(path) as f:
        manifest = json.load(f)
    if any(manifest.get(key) != value for key, value in params.items()):
        return None
    files = manifest.get("sha256") or {}
    for name, digest in files.items():
        file = data / name
        if not file.is_file() or _sha256(file) != digest:
            return None
    return manifest if files else None


def ensure_data(data, params=GENERATOR_ARGS):
    """Generate the workloads with the generator's arguments `params` into `data` unless
    they are there already, and convert them for korvit unless the conversion of this
    very data is there already."""
    manifest = _manifest(data, params)
    if manifest is None:
        print(f"generating the workloads into {data} ...", flush=True)
        make_workloads.generate(data, **params)
        manifest = _manifest(data, params)
        if manifest is None:
            sys.exit(f"{data}/manifest.json does not match the generated files")
    converted = data / "korvit"
    stamp = converted / "source.json"
    source = {"sha256": manifest["sha256"]}
    if stamp.is_file():
        with open(stamp) as f:
            if json.load(f) == source:
                return
    print(f"converting the workloads for korvit into {converted} ...", flush=True)
    converted.mkdir(parents=True, exist_ok=True)
    _convert_w1(data / "w1", converted)
    _convert_w2(data / "w2", converted)
    partial = stamp.with_name(stamp.name + ".partial")
    with open(partial, "w") as f:
        json.dump(source, f, indent=1, sort_keys=True)
    os.replace(partial, stamp)  # the stamp is whole or absent


def _instruments(folder):
    with open(folder / "instruments.csv", newline="") as f:
        return list(csv.DictReader(f))


def _convert_w1(src, out):
    """One long bar file with the code column (prices copied as written) and the stocks'
    contracts."""
    instruments = _instruments(src)
    with open(out / "w1_bars.csv", "w", newline="\n") as f:
        f.write("time,code,open,high,low,close,volume\n")
        for ins in instruments:
            code = f"{EXCHANGE}.{ins['symbol']}"
            with open(src / f"{ins['symbol']}.csv") as rows:
                next(rows)
                for row in rows:
                    day, rest = row.split(",", 1)
                    f.write(f"{day},{code},{rest}")
    with open(out / "w1_contracts.csv", "w", newline="\n") as f:
        f.write("code,kind,min_move,multiplier\n")
        for ins in instruments:
            f.write(f"{EXCHANGE}.{ins['symbol']},stock,{ins['tick_size']},{ins['multiplier']}\n")


def _convert_w2(src, out):
    """The minute bars, the ticks and the contract.

    The workload stamps a minute bar with the start of its minute and its ticks fall at
    +0, 3, ..., 57 s; korvit labels a minute bar by the end of its period and gives it the
    ticks after the previous bar up to and including its label.  So each bar is labelled
    with the last second of its minute (start + 59 s): the bar keeps exactly its own ticks,
    which keep their times."""
    (ins,) = _instruments(src)
    code = f"{EXCHANGE}.{ins['symbol']}"
    late = dt.timedelta(seconds=59)
    with (
        open(src / f"{ins['symbol']}_1m.csv") as rows,
        open(out / "w2_bars.csv", "w", newline="\n") as f,
    ):
        next(rows)
        f.write("time,code,open,high,low,close,volume\n")
        for row in rows:
            stamp, rest = row.split(",", 1)
            label = dt.datetime.strptime(stamp, "%Y-%m-%d %H:%M:%S") + late
            f.write(f"{label:%Y-%m-%d %H:%M:%S},{code},{rest}")
    with (
        open(src / f"{ins['symbol']}_ticks.csv") as rows,
        open(out / "w2_ticks.csv", "w", newline="\n") as f,
    ):
        next(rows)
        f.write("time,code,price,volume\n")
        for row in rows:
            stamp, rest = row.split(",", 1)
            f.write(f"{stamp},{code},{rest}")
    with open(out / "w2_contracts.csv", "w", newline="\n") as f:
        f.write("code,kind,min_move,multiplier,long_margin,short_margin,fee_open,fee_close\n")
        f.write(
            f"{code},futures,{FUTURES['min_move']},{FUTURES['multiplier']},{FUTURES['margin']},"
            f"{FUTURES['margin']},{FUTURES['fee']},{FUTURES['fee']}\n"
        )


# ------------------------------------------------------------------ one run of ours


def _backtest(workload, data, output):
    """Load the workload's data and build its Backtest; returns (backtest, bars, the
    time the load started, the timings of the load and of building the Backtest)."""
    from korvit.backtest.runner import Backtest
    from korvit.data import load_bars, load_ticks

    converted = data / "korvit"
    started = time.perf_counter()
    bars = load_bars(converted / f"{workload}_bars.csv")
    bars_loaded = time.perf_counter()
    ticks = load_ticks(converted / "w2_ticks.csv", bars) if workload == "w2" else None
    loaded = time.perf_counter()
    if ticks is not None and len(ticks) != len(bars.times):
        raise RuntimeError(
            f"{len(ticks)} bars have ticks, {len(bars.times)} bars in all: "
            "the ticks are not assigned to their own bars"
        )
    backtest = Backtest(
        HERE / "workloads" / f"{workload}_strategy.py",
        bars,
        ticks=ticks,
        contracts=converted / f"{workload}_contracts.csv",
        cash=CASH,
        stock_commission=STOCK_COMMISSION,
        commission_rate=COMMISSION_RATE,
        output=output,
        progress=False,
    )
    built = time.perf_counter()
    timings = {
        "load_s": loaded - started,
        "bars_load_s": bars_loaded - started,
        "ticks_load_s": loaded - bars_loaded,
        "build_s": built - loaded,
    }
    return backtest, bars, started, timings


def _counts(result):
    orders, trades, stops = result.orders, result.trades, result.stops
    net = {}
    for code, side, volume in zip(trades["code"], trades["side"], trades["volume"]):
        net[code] = net.get(code, 0.0) + (volume if side == "buy" else -volume)
    fired = stops[stops["status"] == "fired"]
    return {
        "orders": len(orders),
        "entries": int((orders["effect"] == "open").sum()),
        "orders_filled": int((orders["status"] == "filled").sum()),
        "orders_denied": int((orders["status"] == "denied").sum()),
        "orders_open_at_end": int(orders["status"].isin(["new", "pending"]).sum()),
        "fills": len(trades),
        "stops_fired": len(fired),
        "stops_fired_by_kind": {
            kind: int(n) for kind, n in fired["kind"].value_counts().sort_index().items()
        },
        "round_trips": len(result.round_trips),
        "open_positions_at_end": sum(1 for volume in net.values() if volume),
        "fees": round(float(trades["fee"].sum()), 6),
        "final_equity": round(float(result.equity_curve.iloc[-1]), 6),
    }


def _import_korvit():
    """Imports what a run uses, the modules the run imports late (results, statistics)
    included, so that module imports stay out of the timed phases as they do for the peer."""
    import korvit.backtest.records
    import korvit.backtest.results
    import korvit.backtest.runner
    import korvit.data  # noqa: F401


def worker(workload, data):
    """One timed run of ours in this (fresh) process; prints one JSON line."""
    started = time.perf_counter()
    _import_korvit()
    import_s = time.perf_counter() - started
    with tempfile.TemporaryDirectory(prefix="korvit-bench-") as output:
        backtest, bars, t0, timings = _backtest(workload, data, output)
        result = backtest.run()
        tables_started = time.perf_counter()
        for table in (
            "equity",
            "orders",
            "trades",
            "stops",
        ):  # built from the records when first read
            getattr(result, table)
        ended = time.perf_counter()
    run = result.meta["timings"]
    run["results_s"] += ended - tables_started
    n_bars = int(bars.present.sum())
    out = {
        "engine": "korvit",
        "workload": workload,
        "bars": n_bars,
        "import_s": import_s,
        "load_s": timings["load_s"],
        "bars_load_s": timings["bars_load_s"],
        "ticks_load_s": timings["ticks_load_s"],
        "setup_s": timings["build_s"] + run["setup_s"],
        "loop_s": run["loop_s"],
        "results_s": run["results_s"],
        "total_s": ended - t0,
        "counts": _counts(result),
    }
    print(json.dumps(out, sort_keys=True))


# ------------------------------------------------------------------ the comparison


def _run(command):
    done = subprocess.run(command, capture_output=True, text=True)
    lines = done.stdout.strip().splitlines()
    if done.returncode != 0 or not lines:
        sys.stderr.write(done.stderr)
        sys.exit(f"failed (status {done.returncode}): {' '.join(map(str, command))}")
    return json.loads(lines[-1])


def _fmt_pair(values, digits=3):
    return f"{min(values):.{digits}f} / {statistics.median(values):.{digits}f}"


def _peers(workload, data, with_ticks):
    """The peers' commands for ``workload``: those installed."""
    import importlib.util

    peers = {}
    if importlib.util.find_spec("backtrader") is not None:
        peers["backtrader"] = [
            sys.executable,
            str(HERE / "peers" / "bt_workloads.py"),
            workload,
            str(data),
        ]
    if importlib.util.find_spec("nautilus_trader") is not None:
        nautilus = [sys.executable, str(HERE / "peers" / "nt_workloads.py"), workload, str(data)]
        peers["nautilus"] = nautilus
        if workload == "w2" and with_ticks:
            peers["nautilus ticks"] = nautilus + ["--ticks"]
    return peers


def compare(workload, data, runs, with_peer, with_ticks=False):
    spec = WORKLOADS[workload]
    ours_cmd = [
        sys.executable,
        str(Path(__file__).resolve()),
        "--worker",
        workload,
        "--data",
        str(data),
    ]
    engines = {"korvit": ours_cmd}
    if with_peer:
        engines.update(_peers(workload, data, with_ticks))
    results = {name: [] for name in engines}
    show = sys.stdout.isatty()
    for k in range(runs + 1):
        label = "warm-up" if k == 0 else f"run {k}/{runs}"
        for name, command in engines.items():
            if show:
                print(f"\r  {spec['title']}: {name} {label} ...".ljust(79), end="", flush=True)
            results[name].append(_run(command))
    if show:
        print("\r" + " " * 79, end="\r")
    measured = {name: rows[1:] for name, rows in results.items()}

    bars = measured["korvit"][0]["bars"]
    print(
        f"\n{spec['title']}: {bars:,} bars, {runs} measured run(s) per engine in fresh processes, "
        "after one warm-up each (min / median)"
    )
    header = (
        f"  {'engine':<15} {'load s':>15}  {'loop s':>15}  {'total s':>15}  {'bars/s (loop)':>19}"
    )
    print(header)
    print("  " + "-" * (len(header) - 2))
    loops = {}
    for name, rows in measured.items():
        loop = [row["loop_s"] for row in rows]
        loops[name] = loop
        rate = f"{bars / min(loop):,.0f} / {bars / statistics.median(loop):,.0f}"
        if rows[0]["bars"] != bars:
            rate += f" ({rows[0]['bars']:,} bars)"
        print(
            f"  {name:<15} {_fmt_pair([r['load_s'] for r in rows]):>15}  {_fmt_pair(loop):>15}  "
            f"{_fmt_pair([r['total_s'] for r in rows]):>15}  {rate:>19}"
        )
    ours = measured["korvit"]
    print(
        f"  korvit's parts: set-up {_fmt_pair([r['setup_s'] for r in ours])} s, "
        f"results {_fmt_pair([r['results_s'] for r in ours])} s"
        + (
            f", of the load the ticks {_fmt_pair([r['ticks_load_s'] for r in ours])} s"
            if workload == "w2"
            else ""
        )
        + f"; imports {_fmt_pair([r['import_s'] for r in ours])} s"
    )
    peers = [name for name in measured if name != "korvit"]
    if peers and "note" in spec:
        print(f"  ({spec['note']})")
    median = {name: statistics.median(loop) for name, loop in loops.items()}
    for name in peers:
        by_min = min(loops[name]) / min(loops["korvit"])
        by_total = statistics.median([r["total_s"] for r in measured[name]]) / statistics.median(
            [r["total_s"] for r in ours]
        )
        print(
            f"  loop throughput korvit / {name}: {by_min:.2f}x (min), {median[name] / median['korvit']:.2f}x "
            f"(median); total: {by_total:.2f}x (median)"
        )
    if peers:
        fastest = min(peers, key=median.get)
        print(
            f"  the fastest peer's loop is {fastest}'s: korvit's is {median[fastest] / median['korvit']:.2f}x "
            "as fast (medians)"
        )

    counts = [row["counts"] for row in results["korvit"]]
    first = counts[0]
    print(
        "  korvit's counts: "
        + ", ".join(
            f"{key} {first[key]:,}"
            for key in (
                "orders",
                "entries",
                "orders_filled",
                "orders_denied",
                "orders_open_at_end",
                "fills",
            )
        )
    )
    kinds = ", ".join(f"{kind} {n:,}" for kind, n in first["stops_fired_by_kind"].items())
    print(
        f"                    stops_fired {first['stops_fired']:,} ({kinds}), round_trips "
        f"{first['round_trips']:,}, open_positions_at_end {first['open_positions_at_end']}, "
        f"fees {first['fees']:,.2f}, final_equity {first['final_equity']:,.3f}"
    )
    differing = sorted({key for row in counts[1:] for key in first if row[key] != first[key]})
    if differing:
        print(f"  NOT IDENTICAL across korvit's {len(counts)} runs: {', '.join(differing)}")
        for k, row in enumerate(counts):
            print(f"    run {k}: " + ", ".join(f"{key} {row[key]}" for key in differing))
    else:
        print(f"  identical in all {len(counts)} runs of korvit (the warm-up included)")
    for name in peers:
        p = results[name][-1]
        print(
            f"  {name}'s counts (its own fill and stop rules): orders {p['orders_created']:,}, "
            + (f"completed {p['orders_completed']:,}, " if "orders_completed" in p else "")
            + f"closed trades {p['trades_closed']:,}, open positions {p['open_positions_at_end']}, "
            f"final value {p['final_value']:,}"
        )
        peer_keys = ("orders_created", "trades_closed", "final_value")
        if any(row[key] != p[key] for row in results[name] for key in peer_keys):
            print(f"  {name}'s counts differ between its runs")


def profile(workload, data):
    import cProfile
    import pstats

    _import_korvit()
    with tempfile.TemporaryDirectory(prefix="korvit-bench-") as output:
        backtest, _, _, timings = _backtest(workload, data, output)
        profiler = cProfile.Profile()
        profiler.enable()
        result = backtest.run()
        profiler.disable()
    run = result.meta["timings"]
    print(
        f"\n{WORKLOADS[workload]['title']} under cProfile (its overhead inflates Python-heavy parts): "
        f"load {timings['load_s']:.3f} s (not profiled), set-up {run['setup_s']:.3f} s, "
        f"loop {run['loop_s']:.3f} s, results {run['results_s']:.3f} s"
    )
    stats = pstats.Stats(profiler, stream=sys.stdout).strip_dirs()
    for order, title in (("cumulative", "cumulative time"), ("tottime", "own time")):
        print(f"\n--- top 25 by {title} " + "-" * 40)
        stats.sort_stats(order).print_stats(25)
    print(
        "cProfile does not see calls into the compiled engine: its time (less the host callbacks "
        "it makes, listed apart) is the own time of its Python callers, deal_bar for deal_trade.\n"
        "To see native frames, sample a fresh run with py-spy (pip install py-spy):\n"
        f"  py-spy record --native -o {workload}-profile.svg -- "
        f"{sys.executable} {Path(__file__).resolve()} --worker {workload} --data {data}"
    )


# ------------------------------------------------------------------ command line


def main(argv=None):
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0].strip(),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--runs", type=int, default=3, help="measured runs per engine (default 3)")
    parser.add_argument("--workload", choices=("w1", "w2", "both"), default="both")
    parser.add_argument(
        "--data",
        type=Path,
        default=DEFAULT_DATA,
        help="folder of the generated workloads (default bench/data)",
    )
    parser.add_argument("--no-peer", action="store_true", help="run korvit only")
    parser.add_argument(
        "--peer-ticks",
        action="store_true",
        help="W2: also run NautilusTrader on the 2,000,000 trade ticks (slow)",
    )
    parser.add_argument(
        "--profile",
        action="store_true",
        help="profile one run of ours in this process instead of the timed runs",
    )
    parser.add_argument("--worker", choices=tuple(WORKLOADS), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    data = args.data.resolve()
    if args.worker:
        worker(args.worker, data)
        return
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    ensure_data(data)
    workloads = list(WORKLOADS) if args.workload == "both" else [args.workload]
    if args.profile:
        for workload in workloads:
            profile(workload, data)
        return
    with_peer = not args.no_peer
    if with_peer and not any(_peers(w, data, args.peer_ticks) for w in workloads):
        sys.exit('no peer is installed: pip install ".[bench]" (or run with --no-peer)')
    print(f"python {sys.version.split()[0]} ({sys.executable}); data {data}")
    for workload in workloads:
        compare(workload, data, args.runs, with_peer, args.peer_ticks)


if __name__ == "__main__":
    main()
