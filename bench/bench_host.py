"""Benchmarks of the host paths of every order status report.

    python bench/bench_host.py [--repeat N] [--w1 ROUNDS]

The order, trade and stop-order records of ``korvit.native`` against their
Python twins in ``backtest.model.orders`` (create, frozen items, properties,
a field read), the snapshot converters of ``korvit.native`` against their
Python reference in ``backtest.convertor``, the run-phase manager
``SystemModeMgr`` against ``uclass.PySystemModeMgr`` as the engine uses it
(``smm.enter_phase(p)``, the factory applied to the callback, the wrapper
called, for each report), and ``mft_to_datetime`` against
``datetimefunc._py_mft_to_datetime`` on one time value (as each fill converts
it) and on 1,000, on the same inputs in this run; the ratio is what matters
(machines differ).

``--w1 ROUNDS`` also runs workload W1 (data from ``bench_workloads.py`` in
``bench/data``) ROUNDS times with each pair of converters installed in the
engine, alternating in this process, and prints the loop's wall and CPU times:
on a shared machine the CPU time is the steadier figure.
"""

import argparse
import statistics
import tempfile
import time
from pathlib import Path

import numpy as np

import korvit.native as native
from korvit.backtest import convertor
from korvit.backtest.model.orders import (
    KVBackOrder,
    KVBackStopOrder,
    KVBackTrade,
    PyKVBackOrder,
    PyKVBackStopOrder,
    PyKVBackTrade,
)
from korvit.tframe.sysdefine import GlobalDefine as gv
from korvit.tframe.uclass import PySystemModeMgr, SystemModeMgr
from korvit.tframe.utils import datetimefunc

ACCOUNTS = ["first", "second"]
TARGETS = [f"x.t{k}" for k in range(20)]


def records(count):
    """Orders and their trades as the engine keeps them: numpy and Python numbers mixed."""
    orders, trades = [], []
    for k in range(count):
        order = KVBackOrder.create(
            handle_idx=k % 2,
            target_idx=k % 20,
            code=f"T{k % 20}",
            order_id=k + 1,
            order_price=np.float64(10.0 + k % 7),
            target_type=1,
            position_effect=1,
            order_status=2,
            created_time=1.7e9 + k,
            volume=100 * (1 + k % 3),
            order_ctg=1,
            order_side=1,
            tag=None if k % 4 else {"signal": k},
        )
        order.filled_volume = np.float64(order.volume)
        order.filled_average = np.float64(10.01)
        trades.append(
            KVBackTrade.create(
                handle_idx=k % 2,
                target_idx=np.int64(k % 20),
                target_type=1,
                order_id=k + 1,
                order_price=10.0,
                trader_id=k + 1,
                trader_volume=order.volume,
                trade_price=np.float64(10.01),
                filled_time=1.7e9 + k,
                order_ctg=1,
                order_side=1,
                position_effect=1,
                tag=order.tag,
                order_fee=5.0,
                order_margin=0.0,
            )
        )
        orders.append(order)
    return orders, trades


def best_of(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def report(name, count, native_s, python_s):
    print(
        f"{name:50s} {native_s / count * 1e6:10.2f} us {python_s / count * 1e6:10.2f} us "
        f"{python_s / native_s:7.2f}x"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--w1", type=int, default=0, metavar="ROUNDS")
    args = parser.parse_args()
    count = 5000
    orders, trades = records(count)

    def orders_with(convert):
        return lambda: [convert(o, ACCOUNTS, TARGETS) for o in orders]

    def executions_with(convert):
        return lambda: [convert(o, t, ACCOUNTS, TARGETS) for o, t in zip(orders, trades)]

    print(f"{'operation (per call)':50s} {'native':>13s} {'python':>13s} {'ratio':>8s}")
    bench_records(count, args.repeat)
    report(
        "snapshot of an order",
        count,
        best_of(orders_with(native.snap_order), args.repeat),
        best_of(orders_with(convertor._py_convert_back_order_to_snap_order), args.repeat),
    )
    report(
        "snapshot of an execution",
        count,
        best_of(executions_with(native.snap_execution), args.repeat),
        best_of(executions_with(convertor._py_convert_back_order_to_snap_execution), args.repeat),
    )

    phase = gv.RUMMODE_PHASE_DEAL_TRADE

    def callback(context, snap):
        return snap

    def wrapped_calls(smm, func):
        return lambda: [smm.enter_phase(phase)(func)("context", o) for o in orders]

    report(
        "phase wrapper round (enter_phase, factory, call)",
        count,
        best_of(wrapped_calls(SystemModeMgr(), callback), args.repeat),
        best_of(wrapped_calls(PySystemModeMgr(), callback), args.repeat),
    )
    in_deal = SystemModeMgr(), PySystemModeMgr()
    for (
        smm
    ) in in_deal:  # as in the engine: the bar's deal already runs in the phase, nothing is logged
        smm.current_phase = phase
    report(
        "phase wrapper round inside a deal (no log entry)",
        count,
        best_of(wrapped_calls(in_deal[0], callback), args.repeat),
        best_of(wrapped_calls(in_deal[1], callback), args.repeat),
    )
    report(
        "phase wrapper round, no callback (None)",
        count,
        best_of(wrapped_calls(SystemModeMgr(), None), args.repeat),
        best_of(wrapped_calls(PySystemModeMgr(), None), args.repeat),
    )
    inside = SystemModeMgr(), PySystemModeMgr()
    report(
        "wrapper call alone (made once)",
        count,
        best_of(
            lambda: [
                w("context", o) for w in [inside[0].enter_phase(phase)(callback)] for o in orders
            ],
            args.repeat,
        ),
        best_of(
            lambda: [
                w("context", o) for w in [inside[1].enter_phase(phase)(callback)] for o in orders
            ],
            args.repeat,
        ),
    )
    bare = best_of(lambda: [callback("context", o) for o in orders], args.repeat)
    print(f"{'  (the callback alone)':50s} {bare / count * 1e6:10.2f} us")

    rng = np.random.default_rng(7)
    times = [float(t) for t in 1.7e9 + rng.random(count) * 1e7]
    thousand = [float(t) for t in 1.7e9 + rng.random(1000) * 1e7]
    as_array = np.array(thousand)
    per_value = [[t] for t in times]

    def one_each(convert):
        return lambda: [convert(v) for v in per_value]

    report(
        "mft_to_datetime of one value",
        count,
        best_of(one_each(native.mft_to_datetime), args.repeat),
        best_of(one_each(datetimefunc._py_mft_to_datetime), args.repeat),
    )
    report(
        "mft_to_datetime of 1,000 (list)",
        1,
        best_of(lambda: native.mft_to_datetime(thousand), args.repeat),
        best_of(lambda: datetimefunc._py_mft_to_datetime(thousand), args.repeat),
    )
    report(
        "mft_to_datetime of 1,000 (float64 array)",
        1,
        best_of(lambda: native.mft_to_datetime(as_array), args.repeat),
        best_of(lambda: datetimefunc._py_mft_to_datetime(as_array), args.repeat),
    )

    if args.w1:
        w1_loop(args.w1)


ORDER_FIELDS = dict(
    handle_idx=0,
    target_idx=3,
    code="T3",
    order_id=1,
    order_price=np.float64(10.5),
    target_type=1,
    position_effect=1,
    order_status=2,
    created_time=1.7e9,
    volume=100,
    order_ctg=1,
    order_side=1,
)
TRADE_FIELDS = dict(
    handle_idx=0,
    target_idx=np.int64(3),
    target_type=1,
    order_id=1,
    order_price=10.5,
    trader_id=1,
    trader_volume=100,
    trade_price=np.float64(10.51),
    filled_time=1.7e9,
    order_ctg=1,
    order_side=1,
    position_effect=1,
    tag=None,
    order_fee=5.0,
    order_margin=0.0,
)
STOP_FIELDS = dict(
    stop_order_id=1,
    target_order_id=1,
    target_idx=3,
    handle_idx=0,
    act=2,
    stop_order_type=gv.StopOrderType_Trailing,
    stop_gap_type=1,
    stop_gap=0.5,
    volume=100,
    ctg=1,
    trailing_gap_type=1,
    trailing_gap=0.2,
)


def bench_records(count, repeat):
    """The records' hot operations, compiled against the Python twins."""

    def ops(order_cls, trade_cls, stop_cls):
        order, trade = order_cls.create(**ORDER_FIELDS), trade_cls.create(**TRADE_FIELDS)
        rows = range(count)
        return {
            "order create": lambda: [order_cls.create(**ORDER_FIELDS) for _ in rows],
            "trade create": lambda: [trade_cls.create(**TRADE_FIELDS) for _ in rows],
            "stop order create": lambda: [stop_cls.create(**STOP_FIELDS) for _ in rows],
            "order frozen_item": lambda: [order.frozen_item("value") for _ in rows],
            "order set_frozen_item": lambda: [order.set_frozen_item("fee", 5.0) for _ in rows],
            "order unfilled_volume": lambda: [order.unfilled_volume for _ in rows],
            "trade price (alias of trade_price)": lambda: [trade.price for _ in rows],
            "order field read (volume)": lambda: [order.volume for _ in rows],
        }

    compiled = ops(KVBackOrder, KVBackTrade, KVBackStopOrder)
    twins = ops(PyKVBackOrder, PyKVBackTrade, PyKVBackStopOrder)
    for name in compiled:
        report(
            f"record: {name}", count, best_of(compiled[name], repeat), best_of(twins[name], repeat)
        )
    print()


def w1_loop(rounds):
    import bench_workloads  # beside this file

    import korvit.backtest.domain as domain

    bench_workloads._import_korvit()
    pairs = {
        "python": (
            convertor._py_convert_back_order_to_snap_order,
            convertor._py_convert_back_order_to_snap_execution,
        ),
        "native": (native.snap_order, native.snap_execution),
    }
    times = {name: [] for name in pairs}
    data = Path(__file__).resolve().parent / "data"
    try:
        for _ in range(rounds):
            for name, pair in pairs.items():
                (
                    domain.convert_back_order_to_snap_order,
                    domain.convert_back_order_to_snap_execution,
                ) = pair
                with tempfile.TemporaryDirectory(prefix="korvit-bench-") as output:
                    backtest = bench_workloads._backtest("w1", data, output)[0]
                    cpu = time.process_time()
                    result = backtest.run()
                    times[name].append(
                        (result.meta["timings"]["loop_s"], time.process_time() - cpu)
                    )
    finally:
        domain.convert_back_order_to_snap_order, domain.convert_back_order_to_snap_execution = (
            pairs["native"]
        )
    print(f"\nW1, {rounds} round(s) each, alternating (min / median, s)")
    for name, runs in times.items():
        wall, cpu = [w for w, _ in runs], [c for _, c in runs]
        print(
            f"  {name:8s} loop {min(wall):.3f} / {statistics.median(wall):.3f}   "
            f"run cpu {min(cpu):.3f} / {statistics.median(cpu):.3f}"
        )
    ratio = min(c for _, c in times["python"]) / min(c for _, c in times["native"])
    print(f"  python / native, min run cpu: {ratio:.3f}")


if __name__ == "__main__":
    main()
