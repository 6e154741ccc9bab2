"""Instructions per fill and per quiet target order of the matching engine, counted by callgrind.

    python bench/callgrind_engine.py [--python PY ...] [--orders N]

Each figure comes from two runs of this script under ``valgrind --tool=callgrind`` in a fresh
process: one that only builds the scenario and one that builds it and then runs the engine on
it; the difference of their instruction counts, divided by the orders dealt, is the figure.
The strategy's callbacks are the do-nothing defaults, installed as a run installs them.

- fill: ``_transaction_order`` of N new limit stock orders that all fill on the bar (each is
  admitted, filled and reported: two order-status reports and one execution report);
- quiet order: one ``deal_trade`` of a bar on which N filled target orders, each watched by three
  armed stops (loss, profit, trailing), fire nothing (every stop is judged on the bar).

``--python`` names the interpreters to measure (default: this one), e.g. the interpreter of
a virtual environment with an older build, to set the figures side by side.  Needs
``valgrind`` on the PATH; each run takes some seconds (the interpreter's start-up is counted
in both runs and drops out).
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent


# ------------------------------------------------------------------ the scenarios (run under callgrind)


def _world():
    sys.path.insert(0, str(HERE))
    import bench_domain

    import korvit.tframe.framekit as framekit
    from korvit.tframe import sysdefine

    vr = bench_domain.set_up()
    # The callbacks a strategy without on_order_status and on_execution gets.
    framekit.env.update_user_scope({"init": sysdefine.init, "on_data": sysdefine.on_data})
    return vr, bench_domain


def scenario_fill(count, run):
    import numpy as np

    import korvit.backtest.domain as domain
    from korvit.tframe.sysdefine import GlobalDefine as gv

    vr, bench = _world()
    bench.fresh_book(vr, count, 11, lambda rng: (100.0, 100, gv.OrderCtg_Limit), count + 1)
    for order in vr.g_KVOrders:  # stocks only: a whole number of lots
        order.target_idx, order.code, order.target_type = 0, "X.T0", gv.TARGETTYPE_STOCK
    args = (
        np.arange(1, count + 1),
        *[np.full(count, v) for v in (101.0, 99.0, 100.0, 1000.0)],
        np.array([]),
        np.array([]),
    )
    if run:
        statuses = domain._transaction_order(*args)
        assert (statuses == gv.OrderStatus_Filled).all()


def scenario_quiet(count, run):
    import korvit.backtest.domain as domain

    vr, bench = _world()
    bench.three_stops_each(vr, count)  # each order with a loss, a profit and a trailing stop
    domain.deal_trade()  # fills the orders and arms the stops
    domain.deal_trade()  # the stops are in force from here on
    stops = vr.g_KVStopOrders
    assert stops.snap_count("unfired") == 3 * count and vr.g_KVOrders.snap_count("unfilled") == 0
    if run:
        trades = len(vr.g_KVTrades)
        domain.deal_trade()
        assert stops.snap_count("unfired") == 3 * count and len(vr.g_KVTrades) == trades


SCENARIOS = {"fill": scenario_fill, "quiet": scenario_quiet}


# ------------------------------------------------------------------ measuring


def instructions(python, scenario, count, run):
    """Instructions of one run of a scenario under callgrind."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        env = dict(os.environ, PYTHONHASHSEED="0")
        cmd = [
            "valgrind",
            "--tool=callgrind",
            f"--callgrind-out-file={out}",
            python,
            __file__,
            "--probe",
            scenario,
            str(count),
            "run" if run else "build",
        ]
        done = subprocess.run(cmd, env=env, capture_output=True, text=True)
        if done.returncode != 0:
            sys.exit(f"{' '.join(cmd)} failed:\n{done.stderr[-3000:]}")
        text = Path(out).read_text()
        found = re.search(r"^(?:summary|totals):\s*(\d+)", text, re.M)
        return int(found.group(1))


def per_order(python, scenario, count):
    return (
        instructions(python, scenario, count, True) - instructions(python, scenario, count, False)
    ) / count


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--python", nargs="+", default=[sys.executable])
    parser.add_argument(
        "--orders",
        type=int,
        nargs="+",
        default=[100, 1000],
        help="orders per scenario (default 100 1000)",
    )
    parser.add_argument("--probe", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.probe:
        scenario, count, mode = args.probe
        SCENARIOS[scenario](int(count), mode == "run")
        return
    header = f"{'instructions per':28s}" + "".join(
        f"{Path(p).parent.parent.name[-22:]:>24s}" for p in args.python
    )
    print(header)
    for scenario, title in (("fill", "fill"), ("quiet", "quiet target order")):
        for count in args.orders:
            row = [per_order(python, scenario, count) for python in args.python]
            print(
                f"{title + f', {count} orders':28s}" + "".join(f"{value:24,.0f}" for value in row),
                flush=True,
            )


if __name__ == "__main__":
    main()
