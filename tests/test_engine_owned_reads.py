"""Host state that the engine reads while host code it sets off replaces that state:
a finalizer run by an attribute store, a dict key's ``__eq__`` run by a lookup or a
copy of a contract entry, a descriptor or class written around the counting ones,
and base bars that do not state their frequency.  Each scenario runs in an
interpreter of its own, once with the compiled engine and once with the plain-Python
twin, so that a crash fails its case only; the engine must print what the twin
prints, and the twin must finish cleanly."""

import subprocess
import sys
from pathlib import Path

import pytest

TWIN_SOURCE = Path(__file__).resolve().parent.parent / "bench" / "reference_domain.py"
TIMEOUT = 30  # seconds; a heap the engine corrupted may also leave its interpreter spinning

# Shared by every scenario: `d` is the module under test (argv[1] "engine" or "twin",
# argv[2] the twin's source), installed on the framework's registry with a backtest
# environment.
PRELUDE = """
import sys, types
from importlib.machinery import SourceFileLoader

import numpy as np

import korvit.backtest.domain as d
import korvit.tframe.framekit as fk
from korvit.api.history import _history
from korvit.backtest.env import BacktestEnv
from korvit.backtest.model.accounts import KVBackAccount
from korvit.backtest.model.orders import (
    KVBackOrder, KVBackOrderCollect, KVBackStopOrder, KVBackStopOrderCollect, KVBackTradeCollect,
)
from korvit.tframe.sysdefine import GlobalDefine as gv
from korvit.tframe.uclass import KData

if sys.argv[1] == "twin":
    d = types.ModuleType("twin")
    SourceFileLoader("twin", sys.argv[2]).exec_module(d)
vr, env = fk.vr, BacktestEnv()
env.set_env(vr, gv, fk.smm)
fk.env = env
info = vr.g_KorvitInputInfo


def world():  # one stock, a bar at 10 and a new order to buy 100 of it at 10
    info.TargetListDot, info.TargetList, info.AccountNameList = ["S.A"], ["s.a"], ["a"]
    vr.g_KorvitTargetsInfo["S.A"] = {"Type": gv.TARGETTYPE_STOCK}
    vr.g_KorvitAccounts[:] = [KVBackAccount("a", 1e6)]
    info.on_order_status_func = info.on_order_execution_func = lambda context, snap: None
    vr.g_KorvitDataValueFresh = np.full((gv.KMatrixPos_Head_len, 1), 1_700_000_000.0)
    vr.g_KorvitSimCurBarFresh = 0
    vr.g_KVOrders, vr.g_KVTrades = KVBackOrderCollect(), KVBackTradeCollect()
    vr.g_KVStopOrders = KVBackStopOrderCollect()
    order = KVBackOrder.create(
        handle_idx=0, target_idx=0, code="s.a", order_id=1, order_price=10.0, volume=100,
        target_type=gv.TARGETTYPE_STOCK, position_effect=gv.PositionEffect_Open,
        order_status=gv.OrderStatus_PreHolding, created_time=0.0, order_ctg=gv.OrderCtg_Limit,
        order_side=gv.OrderAct_Buy,
    )
    vr.g_KVOrders.append(1, order)
    return order


def deal(order):  # matches the order on the bar (open 10, high 10.5, low 9.5)
    d._transaction_order(np.array([1]), [10.5], [9.5], [10.0], [1000.0], np.array([]), np.array([]))
    print(order.status, order.rej_reason, order.filled_volume)


class Key:  # hashes as "LotSize"; comparing it replaces the table's entry (lot size `lot`)
    def __init__(self, lot):
        self.lot = lot

    def __hash__(self):
        return hash("LotSize")

    def __eq__(self, other):
        if _history._target_info_v2:
            _history._target_info_v2[0] = None
            _history._target_info_v2[0] = {"MinMove": 0.01, "LotSize": self.lot}
        return False


def stop_of(order_id):  # an unfired stop order of that order; the snap's index is built
    vr.g_KVStopOrders = KVBackStopOrderCollect()
    stop = KVBackStopOrder.create(
        stop_order_id=1, target_order_id=order_id, target_idx=0, handle_idx=0,
        act=gv.OrderAct_Buy, stop_order_type=gv.StopOrderType_Loss,
        stop_gap_type=gv.OrderStop_StopGap_Point, stop_gap=1.0, volume=100,
        ctg=gv.OrderCtg_Market,
    )
    vr.g_KVStopOrders.append(None, stop)
    d._cancelled_stop_order_by_target_order_id([order_id + 1])
    return stop


def cancel(stop, order_id):  # order `order_id` was cancelled: so are its stop orders
    d._cancelled_stop_order_by_target_order_id([order_id])
    print(stop.execute_status, vr.g_KVStopOrders.snap_count("unfired"))
"""

CASES = {
    # The old value's finalizer reads the field again before the store has moved the
    # dict's version on (3.11 and 3.12 store the value first), from a loop that the
    # interpreter specialises for that store.
    "finalizer of a replaced input field reads the field": """
class Fin:
    def __del__(self):
        d._get_filled_time(0, 0.0, 0)

info.KFrequencyI = gv.KFreq_Tick
info.__dict__ = dict(vars(info))  # the input's fields in a dict of its own
for i in range(20):
    info.KFreNum = [Fin()]
    d._get_filled_time(0, 0.0, 0)
print("done")
""",
    "contract entry replaced while its lot size is looked up": """
order = world()
_history._target_info_v2[:] = [{Key(30): 0, "MinMove": 0.01, "LotSize": 100}]
deal(order)
""",
    "contract entry replaced while it is copied": """
order = world()
entry = {Key(100): 0, "a": 0, "b": 0, "c": 0, "MinMove": 0.01, "LotSize": 100}
del entry["a"], entry["b"], entry["c"]  # slots left empty: it is copied key by key
_history._target_info_v2[:] = [entry]
del entry
deal(order)
""",
    # The reader's table is found again from what was found before while the
    # reader's module and built-ins are unchanged: a rebound table or a shadowed
    # built-in between two deals must be seen by the second.
    "contract table rebound, then a built-in of the reader shadowed": """
_history._target_info_v2[:] = [{"MinMove": 0.01, "LotSize": 100}]
deal(world())
_history._target_info_v2 = [{"MinMove": 0.01, "LotSize": 30}]
deal(world())
_history.len = lambda x: print("len read") or 1  # the reader is called, not read around
deal(world())
""",
    "stop order written through its field's base descriptor: refused": """
stop = stop_of(1)
try:
    types.MemberDescriptorType.__set__(KVBackStopOrder.__dict__["target_order_id"], stop, 2)
except AttributeError as e:
    print("refused:", e)
cancel(stop, 2)
cancel(stop, 1)
""",
    # Its class changed uncounted while a subclass lived, then the subclass freed:
    # the index is checked while the subclass lives, trusted once it is gone.
    "stop order moved to a subclass and back, the subclass freed, then moved": """
import gc
stop = stop_of(1)
moved = type("Moved", (KVBackStopOrder,), {"__slots__": (), "target_order_id": 2})
object.__dict__["__class__"].__set__(stop, moved)
cancel(stop, 3)
object.__dict__["__class__"].__set__(stop, KVBackStopOrder)
del moved
gc.collect()
print(KVBackStopOrder.__subclasses__())
stop.target_order_id = 3
cancel(stop, 2)
cancel(stop, 3)
""",
    "stop order moved to another order by a change of its class": """
stop = stop_of(1)
moved = type("Moved", (KVBackStopOrder,), {"__slots__": (), "target_order_id": 2})
object.__dict__["__class__"].__set__(stop, moved)
cancel(stop, 2)
""",
    # The collector, run while the snap's index answers, replaces the collection's
    # `snap_obj` by an equal one: the stop order is armed all the same.  Every n-th
    # object made sets off a collection, so some n hits each object the call makes.
    "snap_obj replaced by the collector while the index finds a filled order's stops": """
import gc
from korvit.tframe.utils.collectbase import CollectBase

compiled, threshold, armed, hit = CollectBase.snap_obj, gc.get_threshold(), False, False


def replace(phase, info):  # the call's first collection puts an equal snap_obj in place
    global armed, hit
    if armed:
        armed, hit, CollectBase.snap_obj = False, True, lambda self, *a: compiled(self, *a)


world()
gc.callbacks.append(replace)
for every in range(1, 13):
    stop = stop_of(1)
    gc.set_threshold(every)
    gc.collect()
    armed = True
    d._set_stop_order_target_price(1, 10.0)
    armed, CollectBase.snap_obj = False, compiled
    gc.set_threshold(*threshold)
    print(stop.execute_status, stop.stop_price, stop.target_price)
gc.callbacks.remove(replace)
print("replaced within a call:", hit)
""",
    "bars of five minutes on base bars that do not state their frequency": """
class Sets(list):  # bar-data sets kept by their place
    def get_item(self, frequency, number):
        return self[1]

m = env.generate_kmatrix_array(1, 10)
m[gv.KMatrixPos_TimeLine] = 1_700_000_000.0 + 60 * np.arange(1, 11)
m[gv.KMatrixPos_Head_len:] = 10.0
base = KData(m, np.arange(10))
del base.Frequency
vr.g_KorvitKDataList = Sets([base, KData(m[:, 4::5], [0, 1], BaseBegin=np.repeat([0, 1], 5))])
info.KFrequencyI, info.KFreNum = gv.KFreq_Min, 5
print(d._get_filled_time(1, 0.0, 0))
""",
}


def run(script, subject):
    """(return code, output, error output) of ``script`` run with ``subject``."""
    try:
        done = subprocess.run(
            [sys.executable, "-c", PRELUDE + script, subject, str(TWIN_SOURCE)],
            capture_output=True,
            text=True,
            timeout=TIMEOUT,
        )
    except subprocess.TimeoutExpired as e:
        return "timed out", e.stdout, e.stderr
    return done.returncode, done.stdout, done.stderr


@pytest.mark.parametrize("case", CASES)
def test_the_engine_prints_what_the_twin_prints(case):
    code, expected, error = run(CASES[case], "twin")
    assert code == 0, error
    code, out, error = run(CASES[case], "engine")
    assert (code, out) == (0, expected), error
