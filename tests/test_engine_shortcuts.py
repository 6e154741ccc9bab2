"""The engine's shortcuts stay invisible: reports that only the do-nothing default
callbacks would get are left unmade, the stop orders of a target order come from the
unfired snap's index, and a target whose stop orders all stay is judged without the
judge's lists.  A host that installs another callback, replaces a
converter or the stop collection's method in the middle of a run sees the same calls,
in the same order, as from the plain-Python twin; the index answers what a scan
answers, whatever the collection and its records go through."""

import contextlib
import copy
import gc
import pickle
import sys
import types
from importlib.machinery import SourceFileLoader
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korvit.backtest.domain as engine
import korvit.tframe.framekit as framekit
from korvit.api.history import _history
from korvit.backtest.env import BacktestEnv
from korvit.backtest.model.accounts import KVBackAccount
from korvit.backtest.model.orders import (
    KVBackOrder,
    KVBackOrderCollect,
    KVBackStopOrder,
    KVBackStopOrderCollect,
    KVBackTradeCollect,
)
from korvit.tframe import sysdefine
from korvit.tframe.sysdefine import GlobalDefine as gv
from korvit.tframe.uclass import KData, SystemModeMgr
from korvit.tframe.utils.collectbase import PyCollectBase

twin = types.ModuleType("reference_domain")
SourceFileLoader(
    twin.__name__, str(Path(__file__).resolve().parent.parent / "bench" / "reference_domain.py")
).exec_module(twin)

N_TARGETS = 4
NAN = float("nan")


class Account(KVBackAccount):
    """An account that tells `log` of the orders and trades it is told of and runs
    `on_call(count)` after each."""

    on_call = None

    def tell(self, what, records):
        self.log.append((what, [repr(r) for r in records]))
        if self.on_call:
            self.on_call(sum(1 for entry in self.log if entry[0] in ("order", "trade")))

    def on_order(self, orders):
        super().on_order(orders)
        self.tell("order", orders)

    def on_trade(self, trades):
        super().on_trade(trades)
        self.tell("trade", trades)


class Context:
    """The user context: what a callback appends goes to the log."""

    def __init__(self, log):
        self.append = log.append

    def __repr__(self):
        return "context"


def build(monkeypatch, log, orders=6, stops_each=0, tag=None):
    """A fresh registry with targets, bars, one rich account, `orders` new limit orders
    that fill on the bar (each watched by `stops_each` loss/profit/trailing stops) and the
    default callbacks installed as a run installs them."""
    vr, env = framekit.SystemBaseVar(), BacktestEnv()
    smm = SystemModeMgr()
    env.set_env(vr, gv, smm)
    for name, value in (("vr", vr), ("env", env), ("smm", smm)):
        monkeypatch.setattr(framekit, name, value)
    kinds = {f"X.T{t}": {"Type": gv.TARGETTYPE_STOCK, "Multiple": 1} for t in range(N_TARGETS)}
    _history.set_target_info_v2(
        [
            {
                "MinMove": 0.01,
                "Multiple": 1,
                "LongMargin": 0.1,
                "ShortMargin": 0.1,
                "TradingFeeOpen": 0.0001,
                "TradingFeeClose": 0.0001,
            }
        ]
        * N_TARGETS
    )
    vr.g_KorvitTargetsInfo.update(kinds)
    matrix = env.generate_kmatrix_array(N_TARGETS, 4)
    matrix[gv.KMatrixPos_TimeLine] = [1_700_000_000.0 + 86400 * k for k in range(4)]
    matrix[gv.KMatrixPos_Head_len :] = 100.0
    for t in range(N_TARGETS):
        matrix[gv.bar_item_pos(gv.KMatrix_High, t)] = 101.0
        matrix[gv.bar_item_pos(gv.KMatrix_Low, t)] = 99.0
    vr.g_KorvitKDataList.append(KData(matrix, np.arange(4)))
    vr.g_KorvitDataValueFresh = matrix[: gv.KMatrixPos_Head_len].copy()
    vr.g_KorvitSimCurBarFresh = 1
    account = Account("acct", 1e9)
    account.log = log
    vr.g_KorvitAccounts[:] = [account]
    info = vr.g_KorvitInputInfo
    info.AccountNameList, info.TargetListDot = ["acct"], list(kinds)
    info.TargetList = [k.lower() for k in kinds]
    vr.g_KorvitUserContext = Context(log)
    env.update_user_scope({"init": sysdefine.init, "on_data": sysdefine.on_data})
    vr.g_KVOrders, vr.g_KVStopOrders, vr.g_KVTrades = (
        KVBackOrderCollect(),
        KVBackStopOrderCollect(),
        KVBackTradeCollect(),
    )
    kinds = (gv.StopOrderType_Loss, gv.StopOrderType_Profit, gv.StopOrderType_Trailing)
    for k in range(1, orders + 1):
        t = k % N_TARGETS
        vr.g_KVOrders.append(
            k,
            KVBackOrder.create(
                handle_idx=0,
                target_idx=t,
                code=f"X.T{t}",
                order_id=k,
                order_price=100.0,
                target_type=gv.TARGETTYPE_STOCK,
                position_effect=gv.PositionEffect_Open,
                order_status=gv.OrderStatus_PreHolding,
                created_time=0.0,
                volume=100,
                order_ctg=gv.OrderCtg_Limit,
                order_side=gv.OrderAct_Buy,
                tag=tag,
            ),
        )
        for j in range(stops_each):
            vr.g_KVStopOrders.append(
                None,
                KVBackStopOrder.create(
                    stop_order_id=k * 10 + j,
                    target_order_id=k,
                    target_idx=t,
                    handle_idx=0,
                    act=gv.OrderAct_Buy,
                    stop_order_type=kinds[j % 3],
                    stop_gap_type=gv.OrderStop_StopGap_Percent,
                    stop_gap=5,
                    trailing_gap_type=gv.OrderStop_TrailingGap_Percent,
                    trailing_gap=1,
                    volume=100,
                    ctg=gv.OrderCtg_Market,
                ),
            )
    return vr


def recorder(log, name, function):
    def call(*args):
        log.append((name, [repr(a) for a in args]))
        return function(*args)

    return call


def observed(subject, vr, log, result):
    """All that can be seen after a run: the log, the result, orders, trades, stops, account."""
    records = (
        [repr(o) for o in vr.g_KVOrders]
        + [repr(t) for t in vr.g_KVTrades]
        + [repr(s) for s in vr.g_KVStopOrders]
    )
    account = vr.g_KorvitAccounts[0]
    return log, repr(result), records, (account.cash, account.holding_order_ids)


def run_both(monkeypatch, swap_at, swap, call, **world):
    """`call(subject)` on a fresh world per subject; `swap(subject, vr, log)` runs when the
    account has been told of orders or trades `swap_at` times."""
    seen = {}
    for subject in (twin, engine):
        with monkeypatch.context() as mp:
            log = []
            vr = build(mp, log, **world)
            vr.g_KorvitAccounts[0].on_call = lambda count, subject=subject, vr=vr, log=log, mp=mp: (
                count == swap_at and swap(subject, vr, log, mp)
            )
            try:
                result = call(subject)
            finally:
                _history.clear()
            seen[subject] = observed(subject, vr, log, result)
    return seen[twin], seen[engine]


def transact(subject):
    count = len(framekit.vr.g_KVOrders)
    return subject._transaction_order(
        np.arange(1, count + 1),
        *[np.full(count, v) for v in (101.0, 99.0, 100.0, 1e6)],
        np.array([]),
        np.array([]),
    )


# ------------------------------------------------------------------ reports


def install_callbacks(subject, vr, log, mp):
    info = vr.g_KorvitInputInfo
    info.on_order_status_func = lambda context, snap: log.append(
        ("status", repr(context), repr(snap))
    )
    info.on_order_execution_func = framekit.smm.force_phase(gv.RUMMODE_PHASE_DEAL_TRADE)(
        lambda context, snap: log.append(("execution", repr(context), repr(snap)))
    )


def replace_converters(subject, vr, log, mp):
    for name in ("convert_back_order_to_snap_order", "convert_back_order_to_snap_execution"):
        mp.setattr(subject, name, recorder(log, name, getattr(subject, name)))


def _reads_its_report(context, order, *args, **kwargs):
    context.append(("default", repr(order)))


def replace_default_code(subject, vr, log, mp):
    """The default callbacks themselves are changed: they now read their reports
    (into the user context, which appends to the log)."""
    mp.setattr(sysdefine.on_order_status, "__code__", _reads_its_report.__code__)
    mp.setattr(sysdefine.on_execution, "__code__", _reads_its_report.__code__)


@pytest.mark.parametrize("swap", [install_callbacks, replace_converters, replace_default_code])
@pytest.mark.parametrize("swap_at", [1, 4, 7])
def test_reports_after_a_swap_are_made_as_before(monkeypatch, swap, swap_at):
    expected, got = run_both(monkeypatch, swap_at, swap, transact)
    assert got == expected
    assert any(entry[0] not in ("order", "trade") for entry in expected[0]), (
        "the swap was never seen"
    )


def test_unreadable_reports_fail_as_before(monkeypatch):
    """A report that cannot be made (an account index out of range) fails as before,
    and a tag is deep-copied as before, also behind the default callbacks."""

    class Tag:
        copies = 0

        def __deepcopy__(self, memo):
            Tag.copies += 1
            return Tag()

    copies = {}
    for subject in (twin, engine):
        Tag.copies = 0
        with monkeypatch.context() as mp:
            vr = build(mp, [], orders=2, tag=Tag())
            try:
                transact(subject)
            finally:
                _history.clear()
            copies[subject] = Tag.copies
            vr = build(mp, [], orders=2)
            vr.g_KorvitInputInfo.AccountNameList = []
            with pytest.raises(IndexError, match="account index 0 out of range"):
                transact(subject)
            _history.clear()
    assert copies[engine] == copies[twin] > 0


# ------------------------------------------------------------------ stop orders by target order


def judge_recording(subject, vr, log, mp):
    """Replaces the stop collection's snap_obj on its class, recorded."""
    original = KVBackStopOrderCollect.snap_obj
    mp.setattr(
        KVBackStopOrderCollect,
        "snap_obj",
        lambda self, name: log.append(("snap_obj", name)) or original(self, name),
    )


def retarget(subject, vr, log, mp):
    """Moves the stops of order 2 to order 3, each by its own attribute write."""
    for stop in vr.g_KVStopOrders.snap_obj("unfired"):
        if stop.target_order_id == 2:
            stop.target_order_id = 3


class Retargeted(KVBackStopOrder):
    """Stop orders whose target reads 3, whatever their slot holds."""

    __slots__ = ()
    target_order_id = property(lambda self: 3)


def reclass(subject, vr, log, mp):
    """Moves the stops of order 2 to order 3 by changing their class."""
    for stop in vr.g_KVStopOrders.snap_obj("unfired"):
        if stop.target_order_id == 2:
            stop.__class__ = Retargeted


def write_past(subject, vr, log, mp):
    """Moves the stops of order 2 to order 3 by writes that reach the slot without the
    instance's attribute lookup: object.__setattr__, the field's own __set__, the collections'."""
    writes = [
        lambda s: object.__setattr__(s, "target_order_id", 3),
        lambda s: KVBackStopOrder.target_order_id.__set__(s, 3),
        lambda s: KVBackStopOrderCollect.obj_attr_update([s], "target_order_id", 3),
    ]
    moved = [s for s in vr.g_KVStopOrders.snap_obj("unfired") if s.target_order_id == 2]
    for k, stop in enumerate(moved):
        writes[k % len(writes)](stop)


def deal_three_bars(subject, between=None):
    """Fills and arms, deals a quiet bar, then (after `between`, whose result is kept) a bar on
    which target 3 falls."""
    vr = framekit.vr
    subject.deal_trade()
    vr.g_KorvitSimCurBarFresh = 2
    dealt = [subject.deal_trade()]
    if between:
        dealt.append(between(subject, vr, [], None))
    matrix = vr.g_KorvitKDataList[0].Matrix
    matrix[gv.bar_item_pos(gv.KMatrix_Low, 3), 3] = 80.0
    vr.g_KorvitSimCurBarFresh = 3
    return dealt + [subject.deal_trade()]


@pytest.mark.parametrize("swap", [judge_recording, retarget, reclass, write_past])
@pytest.mark.parametrize("swap_at", [2, 6, 9])
def test_stop_orders_after_a_swap_are_dealt_as_before(monkeypatch, swap, swap_at):
    expected, got = run_both(monkeypatch, swap_at, swap, deal_three_bars, orders=5, stops_each=3)
    assert got == expected


def moved_and_asked(move):
    """`move`, then the engine's lookups by target order: the stops related to orders 2, 3
    and 3 again, and order 3's stops cancelled."""

    def between(subject, vr, log, mp):
        move(subject, vr, log, mp)
        related = [
            s.stop_order_id for s in subject._get_order_related_unfired_stop_order([2, 3, 3])
        ]
        subject._cancelled_stop_order_by_target_order_id([3])
        return related

    return between


@pytest.mark.parametrize("move", [retarget, reclass, write_past])
def test_stop_orders_moved_between_bars_are_found_with_their_new_target(monkeypatch, move):
    """Stops moved from order 2 to order 3 after the index was built are found, cancelled and
    dealt with order 3's."""
    expected, got = run_both(
        monkeypatch,
        0,
        None,
        lambda subject: deal_three_bars(subject, moved_and_asked(move)),
        orders=5,
        stops_each=3,
    )
    assert got == expected


# ------------------------------------------------------------------ the index against a scan


class Logged(KVBackStopOrder):
    """A host's subclass whose own __setattr__ reaches object's through super()."""

    __slots__ = ()

    def __setattr__(self, name, value):
        super().__setattr__(name, value)


class Pinned(KVBackStopOrder):
    """A subclass whose target is a property: its records read 1, whatever their slot holds."""

    __slots__ = ()
    target_order_id = property(lambda self: 1, lambda self, value: None)


CLASSES = (KVBackStopOrder, Logged, Pinned)
WRITES = {
    "attr": lambda r, v: r.__setattr__("target_order_id", v),
    "setattr": lambda r, v: setattr(r, "target_order_id", v),
    "object": lambda r, v: object.__setattr__(r, "target_order_id", v),
    "super": lambda r, v: super(KVBackStopOrder, r).__setattr__("target_order_id", v),
    "descriptor": lambda r, v: KVBackStopOrder.target_order_id.__set__(r, v),
    "collection": lambda r, v: KVBackStopOrderCollect.obj_attr_update([r], "target_order_id", v),
}
RECLASS = {
    "attr": lambda r, cls: r.__setattr__("__class__", cls),
    "setattr": lambda r, cls: setattr(r, "__class__", cls),
    "object": lambda r, cls: object.__setattr__(r, "__class__", cls),
}
DELETES = {
    "del": lambda r: r.__delattr__("target_order_id"),
    "object": lambda r: object.__delattr__(r, "target_order_id"),
    "descriptor": lambda r: KVBackStopOrder.target_order_id.__delete__(r),
}
TARGETS = st.one_of(
    st.integers(0, 4),
    st.sampled_from([NAN, 2.0, 2.5, -0.0, None, 2**70, -1, True]),
    st.integers(0, 4).map(np.int64),
)
OPS = st.lists(
    st.one_of(
        st.tuples(st.just("append"), TARGETS, st.sampled_from(CLASSES)),
        st.tuples(st.just("remove"), st.integers(0, 40)),
        st.tuples(st.just("remove_by_idx"), st.integers(0, 40)),
        st.tuples(st.just("cancel"), st.integers(0, 4)),
        st.tuples(
            st.just("retarget"), st.integers(0, 40), TARGETS, st.sampled_from(sorted(WRITES))
        ),
        st.tuples(
            st.just("reclass"),
            st.integers(0, 40),
            st.sampled_from(CLASSES),
            st.sampled_from(sorted(RECLASS)),
        ),
        st.tuples(st.just("unset"), st.integers(0, 40), st.sampled_from(sorted(DELETES))),
        st.tuples(st.just("copy"), st.integers(0, 40)),
        st.tuples(
            st.just("find"),
            st.one_of(st.integers(-1, 5), st.sampled_from([2.0, NAN, 2**70])),
            st.lists(st.one_of(st.integers(0, 4), TARGETS), max_size=4),
        ),
    ),
    max_size=40,
)


def stop(key, target, cls=KVBackStopOrder):
    return cls.create(
        stop_order_id=key,
        target_order_id=target,
        target_idx=0,
        handle_idx=0,
        act=gv.OrderAct_Buy,
        stop_order_type=gv.StopOrderType_Loss,
        stop_gap_type=gv.OrderStop_StopGap_Point,
        stop_gap=1,
        volume=100,
        ctg=gv.OrderCtg_Market,
    )


def answer(find):
    """The ids of the records `find()` gives, or the error it raises."""
    try:
        return "ok", [id(r) for r in find()]
    except AttributeError as e:
        return "error", str(e)


@settings(max_examples=150, deadline=None)
@given(OPS)
def test_index_answers_what_a_scan_answers(ops):
    """Random appends (of the compiled class and of host subclasses), removals,
    cancellations (snap_obj_attr_update), target writes through every path that
    reaches the slot, class changes, deletions and copies: every lookup of the
    compiled collection equals a scan of its snap and the Python reference
    collection's answer, and the engine's lookup of the stops of several target
    orders equals its plain-Python twin's."""
    native, python = (
        KVBackStopOrderCollect(),
        PyCollectBase(snaps=("unfired",), key_attr="stop_order_id"),
    )
    vr = framekit.SystemBaseVar()
    vr.g_KVStopOrders = native
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(framekit, "vr", vr)
        for k, op in enumerate(ops):
            unfired = native.snap_obj("unfired")
            record = unfired[op[1] % len(unfired)] if unfired and isinstance(op[1], int) else None
            if op[0] in ("append", "copy"):
                if op[0] == "copy":
                    if record is None:
                        continue
                    record = copy.copy(record)
                    object.__setattr__(record, "stop_order_id", 1000 + k)
                else:
                    record = stop(k, op[1], op[2])
                native.append(None, record)
                python.append(None, record)
            elif op[0] in ("remove", "remove_by_idx") and record is not None:
                if op[0] == "remove":
                    native.snap_remove("unfired", [record])
                else:
                    native.snap_remove_by_idx("unfired", [op[1] % len(unfired)])
                python.snap_remove("unfired", [record])
            elif op[0] == "cancel":
                chosen = [r for r in unfired if getattr(r, "target_order_id", None) == op[1]]
                native.snap_obj_attr_update(
                    chosen, "execute_status", gv.StopOrderStatus_Cancelled, "unfired", rm=True
                )
                python.snap_remove("unfired", chosen)
            elif op[0] == "retarget" and record is not None:
                WRITES[op[3]](record, op[2])
            elif op[0] == "reclass" and record is not None:
                RECLASS[op[3]](record, op[2])
            elif op[0] == "unset" and record is not None:
                with contextlib.suppress(AttributeError):  # unset already, or Pinned's property
                    DELETES[op[2]](record)
            for wanted in (op[1],) if op[0] == "find" else range(5):
                scan = answer(
                    lambda: [r for r in native.snap_obj("unfired") if r.target_order_id == wanted]
                )
                assert (
                    answer(lambda: native.snap_select("unfired", "target_order_id", wanted)) == scan
                )
                assert (
                    answer(lambda: python.snap_select("unfired", "target_order_id", wanted)) == scan
                )
            if op[0] == "find":
                for ids in (op[2], tuple(op[2])):
                    assert answer(
                        lambda: engine._get_order_related_unfired_stop_order(ids)
                    ) == answer(lambda: twin._get_order_related_unfired_stop_order(ids))


def test_index_answers_after_a_finalizer_run_while_its_list_is_made():
    """Making the answer's list may run the garbage collector (Python 3.11 and older), whose
    finalizers may take records out of the snap: the index answers as of after them."""
    stops = KVBackStopOrderCollect()
    records = [stop(k, k % 2) for k in range(40)]
    for r in records:
        stops.append(None, r)
    before = stops.snap_select("unfired", "target_order_id", 1)  # the index is built

    class Bomb:
        def __del__(self):
            stops.snap_remove("unfired", records[1:21:2])

    threshold = gc.get_threshold()
    gc.collect()
    gc.disable()
    bomb = Bomb()
    bomb.cycle = bomb
    del bomb
    gc.enable()
    gc.set_threshold(1)
    try:
        got = stops.snap_select("unfired", "target_order_id", 1)
    finally:
        gc.set_threshold(*threshold)
    gc.collect()
    after = [r for r in stops.snap_obj("unfired") if r.target_order_id == 1]
    assert len(after) == 10
    assert got == after if sys.version_info < (3, 12) else got in (before, after)


def test_index_obeys_writes_past_the_attribute_hook():
    """A record whose class is changed, or whose type's field is replaced, is read as a scan reads it."""
    stops = KVBackStopOrderCollect()
    records = [stop(k, k % 2) for k in range(6)]
    for r in records:
        stops.append(None, r)
    assert stops.snap_select("unfired", "target_order_id", 1) == records[1::2]

    class Moved(KVBackStopOrder):
        __slots__ = ()

        @property
        def target_order_id(self):
            return 1

    records[0].__class__ = Moved
    assert stops.snap_select("unfired", "target_order_id", 1) == [records[0]] + records[1::2]
    records[0].__class__ = KVBackStopOrder
    assert stops.snap_select("unfired", "target_order_id", 0) == records[0::2]
    original = KVBackStopOrder.__dict__["target_order_id"]
    try:
        type.__setattr__(KVBackStopOrder, "target_order_id", property(lambda self: 0))
        assert stops.snap_select("unfired", "target_order_id", 0) == records
    finally:
        type.__setattr__(KVBackStopOrder, "target_order_id", original)
    assert stops.snap_select("unfired", "target_order_id", 0) == records[0::2]
    with pytest.raises(AttributeError):
        del records[2].target_order_id
        stops.snap_select("unfired", "target_order_id", 0)
    with pytest.raises(KeyError, match="no snap named 'nothing'"):
        stops.snap_select("nothing", "target_order_id", 0)


def test_the_counting_descriptors_read_as_object_and_member_descriptors_do():
    """The stop type's `target_order_id` and `__class__`, which count writes, show what a
    plain slot's member descriptor and object's `__class__` show, a host's subclass
    writing through super().__setattr__ works, and the base type's `__set__` is refused."""
    field, plain = (
        KVBackStopOrder.__dict__["target_order_id"],
        KVBackStopOrder.__dict__["stop_order_id"],
    )
    assert isinstance(field, types.MemberDescriptorType)
    for attr in ("__name__", "__qualname__", "__objclass__", "__doc__"):
        assert (
            getattr(field, attr) == getattr(plain, attr).replace("stop_order_id", "target_order_id")
            if isinstance(getattr(plain, attr), str)
            else getattr(field, attr) == getattr(plain, attr)
        )
    assert repr(field) == repr(plain).replace("stop_order_id", "target_order_id")
    assert (
        field.__get__(None, KVBackStopOrder) is field and pickle.loads(pickle.dumps(field)) is field
    )
    shown, objects = KVBackStopOrder.__dict__["__class__"], object.__dict__["__class__"]
    assert (repr(shown), shown.__doc__, shown.__objclass__) == (
        repr(objects),
        objects.__doc__,
        object,
    )
    record = stop(1, 2, Logged)
    record.target_order_id = 3
    record.__class__ = KVBackStopOrder
    assert (type(record), record.target_order_id) == (KVBackStopOrder, 3)
    with pytest.raises(TypeError, match="can't delete __class__ attribute"):
        del record.__class__
    with pytest.raises(TypeError, match="doesn't apply to a 'int' object"):
        field.__set__(1, 2)
    with pytest.raises(AttributeError, match="readonly attribute"):  # no write around the count
        types.MemberDescriptorType.__set__(field, record, 4)
    assert record.target_order_id == 3


# ------------------------------------------------------------------ quiet targets

HIGHS, LOWS = (100.3, 100.9), (99.1, 99.7)
# Stop levels on both sides of the bar's extremes in single precision, and NaN.
LEVELS = [*HIGHS, *LOWS, 100.0, 99, 101, NAN] + [float(np.float32(p)) for p in HIGHS + LOWS]
STOP_BOOK = st.lists(
    st.tuples(
        st.sampled_from(
            (gv.StopOrderType_Loss, gv.StopOrderType_Profit, gv.StopOrderType_Trailing)
        ),
        st.sampled_from((gv.OrderAct_Buy, gv.OrderAct_Sell)),
        st.sampled_from((gv.StopOrderStatus_Active, gv.StopOrderStatus_Holding)),
        st.sampled_from(LEVELS),
    ),
    min_size=1,
    max_size=3,
)


@settings(max_examples=60, deadline=None)
@given(
    st.lists(STOP_BOOK, min_size=3, max_size=3),
    st.lists(st.tuples(st.sampled_from(HIGHS), st.sampled_from(LOWS)), min_size=4, max_size=4),
    st.booleans(),
)
def test_stop_books_on_a_bar_are_judged_as_the_twin_judges_them(books, bars, recorded):
    """Targets whose stop orders all stay (holding, or not reached at the bar's extremes in
    single precision) and targets with a stop that fires or trails: the same fields,
    fills, calls and snap removals as the twin, also with a host's `snap_remove`."""

    def deal(subject):
        vr = framekit.vr
        for k, book in enumerate(books, start=1):
            for j, (kind, act, _, _) in enumerate(book):
                record = stop(k * 10 + j, k)
                record.target_idx, record.stop_order_type, record.act = k % N_TARGETS, kind, act
                record.stop_gap_type, record.stop_gap = gv.OrderStop_StopGap_Percent, 5
                record.trailing_gap_type, record.trailing_gap = gv.OrderStop_TrailingGap_Percent, 1
                vr.g_KVStopOrders.append(None, record)
        subject.deal_trade()  # bar 1: the target orders fill and arm their stops
        for record in vr.g_KVStopOrders.snap_obj("unfired"):
            _, _, status, level = books[record.target_order_id - 1][record.stop_order_id % 10]
            record.stop_price, record.execute_status = level, status
        matrix = vr.g_KorvitKDataList[0].Matrix
        for t, (high, low) in enumerate(bars):
            matrix[gv.bar_item_pos(gv.KMatrix_High, t), 2] = high
            matrix[gv.bar_item_pos(gv.KMatrix_Low, t), 2] = low
        vr.g_KorvitSimCurBarFresh = 2
        with pytest.MonkeyPatch.context() as mp:
            if recorded:
                log, removal = vr.g_KorvitAccounts[0].log, KVBackStopOrderCollect.snap_remove
                mp.setattr(
                    KVBackStopOrderCollect,
                    "snap_remove",
                    lambda self, name, records: (
                        log.append(("snap_remove", name, [repr(r) for r in records]))
                        or removal(self, name, records)
                    ),
                )
            return subject._deal_stop_order([], [])

    with pytest.MonkeyPatch.context() as mp:
        expected, got = run_both(mp, 0, None, deal, orders=3)
    assert got == expected
