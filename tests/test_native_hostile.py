"""Hostile host objects against the compiled types: values a user object gives
(an ndarray subclass's ``tolist``, an ``__array__``, a class holding another
class's slot descriptor), host code that changes a collection, a manager or
an array while the compiled code is reading it (a getter, a key's hash, a
finalizer run by the garbage collector).  Each case ends as the Python twin
ends, or at least in a Python exception; none may crash the interpreter.

Each case runs in a fresh interpreter, so that a crash fails its test
instead of ending the test run; the case prints what it saw as JSON."""

import json
import subprocess
import sys
import textwrap

PRELUDE = """
import gc, json, sys
import numpy as np

def outcome(call):
    try:
        result = call()
    except Exception as error:      # noqa: BLE001 - the error is what is compared
        return ["error", type(error).__name__, str(error).replace("PyCollectBase", "CollectBase")]
    return ["ok", repr(result)]

def show(value):
    print(json.dumps(value))
"""


def run_isolated(code):
    """Runs `code` (after PRELUDE) in a fresh interpreter; the JSON values it printed."""
    proc = subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, f"exit status {proc.returncode}\n{proc.stderr[-3000:]}"
    return [json.loads(line) for line in proc.stdout.splitlines()]


def test_ids_given_by_an_ndarray_subclass_are_checked_as_the_twin_checks_them():
    """`obj` and `attr_update` take an array's ids from its `ravel().tolist()`, which
    an ndarray subclass may make anything: a number, a generator, a list it keeps
    and empties while the ids are looked up."""
    seen = run_isolated("""
        from korvit.tframe.utils.collectbase import CollectBase, PyCollectBase

        kept = [0, 1, 2]
        class Grows(list):
            pass
        def shrinking(_):
            # a list the subclass keeps, emptied while the ids are looked up
            class Key:
                def __hash__(self):
                    kept.clear()
                    return 0
                def __eq__(self, other):
                    return False
                def __repr__(self):
                    return "Key()"
            kept[:] = [Key(), 1, 2, 3, 4]
            return kept
        odd = {"int": lambda s: 5, "tuple": lambda s: (0, 1), "none": lambda s: None,
               "list subclass": lambda s: Grows([1, 0]), "generator": lambda s: (i for i in (1, 7)),
               "kept list": shrinking}
        for label, tolist in odd.items():
            for cls in (CollectBase, PyCollectBase):
                c = cls(("s",))
                for n in range(3):
                    c.append(None, f"r{n}")
                A = type("A", (np.ndarray,), {"tolist": tolist})
                ids = np.zeros(3).view(A)
                show([label, "obj", outcome(lambda: c.obj(ids))])
                show([label, "attr_update", outcome(lambda: c.attr_update("x", 1, ids))])
                R = type("R", (np.ndarray,), {"ravel": lambda s: 7})
                show([label, "ravel", outcome(lambda: c.obj(np.zeros(2).view(R)))])
    """)
    assert len(seen) == 6 * 2 * 3
    for native, twin in zip(
        seen[0::6] + seen[1::6] + seen[2::6], seen[3::6] + seen[4::6] + seen[5::6]
    ):
        assert native == twin


def test_positions_whose_conversion_changes_the_snap_see_the_snap_as_it_was():
    """Converting positions may run host code (an `__array__`) that takes records out
    of the snap: the positions index the snap as it was when the call began."""
    seen = run_isolated("""
        from korvit.tframe.utils.collectbase import CollectBase, PyCollectBase

        for cls in (CollectBase, PyCollectBase):
            for method in ("snap_obj_by_idx", "snap_remove_by_idx"):
                c = cls(("s",))
                records = [f"r{n}" for n in range(40)]
                for r in records:
                    c.append(None, r)
                def positions(s, dtype=None, copy=None):
                    c.snap_remove("s", records[:39])      # leaves holes enough to compact the snap
                    return np.array([0, 1, 39])
                L = type("L", (list,), {"__array__": positions})
                show([outcome(lambda: getattr(c, method)("s", L())), c.snap_obj("s")])
    """)
    assert seen[:2] == seen[2:]
    assert seen[0] == [["ok", "['r0', 'r1', 'r39']"], ["r39"]] and seen[1] == [["ok", "None"], []]


def test_positions_from_a_replaced_helper_are_checked():
    """The compiled collection hands unusual positions to the module's `_positions`,
    looked up at the call; whatever a replacement gives is checked like any position."""
    seen = run_isolated("""
        from korvit.tframe.utils import collectbase

        for given in ([5], [-1], ["0"], 3, [2 ** 70], (0, 0), [False]):
            c = collectbase.CollectBase(("s",))
            c.append(None, "r")
            collectbase._positions = lambda positions, count, given=given: given
            show([repr(given), outcome(lambda: c.snap_obj_by_idx("s", [0.0])),
                  outcome(lambda: c.snap_remove_by_idx("s", [0.0]))])
    """)
    results = {given: (by_idx, remove) for given, by_idx, remove in seen}
    for given, shown in (
        ("[5]", "5"),
        ("[-1]", "-1"),
        ("[1180591620717411303424]", "1180591620717411303424"),
    ):
        assert (
            results[given][0]
            == results[given][1]
            == [
                "error",
                "IndexError",
                f"snap position {shown} out of range: the snap holds 1 records",
            ]
        )
    assert results["['0']"][0] == ["error", "TypeError", "snap positions must be integers, got '0'"]
    assert results["3"][0] == ["error", "TypeError", "'int' object is not iterable"]
    assert results["(0, 0)"][0] == ["ok", "['r', 'r']"]
    assert results["[False]"][0] == ["ok", "['r']"]  # a bool is an int, as list indexing takes it
    assert results["(0, 0)"][1] == ["ok", "None"]


def test_a_finalizer_that_changes_the_snap_while_a_list_is_made():
    """Making a list may run the garbage collector (Python 3.11 and older), whose
    finalizers run host code: here one that takes most records out of the snap."""
    seen = run_isolated("""
        from korvit.native import CollectBase

        c = CollectBase(("s",))
        records = [object() for _ in range(100)]
        for r in records:
            c.append(None, r)
        class Bomb:
            def __del__(self):
                c.snap_remove("s", records[:80])
        for call in (lambda: c.snap_obj("s"), lambda: c.snap_obj_by_idx("s", list(range(20))),
                     lambda: c.snap_attr_value("s", "__class__")):
            gc.collect()
            gc.disable()
            b = Bomb()
            b.cycle = b
            del b
            gc.enable()
            gc.set_threshold(1)
            got = call()
            gc.set_threshold(700)
            show([len(got), all(x is not None for x in got), c.snap_count("s")])
            c = CollectBase(("s",))
            for r in records:
                c.append(None, r)
    """)
    assert seen[0][1:] == [True, 20] and seen[0][0] in (20, 100)
    for count, whole, _ in seen:
        assert whole and count in (20, 100)


def test_a_slot_descriptor_held_by_another_class_raises_pythons_error():
    """A class holding a record type's member descriptor: Python's descriptor
    refuses instances of other types, and so do the engine's field reads and writes."""
    seen = run_isolated("""
        import korvit.backtest.domain as dm
        import korvit.native as native
        from korvit.backtest import convertor
        from korvit.native import KVBackOrder, KVBackStopOrder

        def python_error(descr, obj):
            return outcome(lambda: descr.__set__(obj, 1))[1:], outcome(lambda: descr.__get__(obj, type(obj)))[1:]

        B = type("B", (), {"__slots__": (), "execute_status": KVBackStopOrder.execute_status,
                           "target_order_id": KVBackStopOrder.target_order_id})
        O = type("O", (), {"__slots__": (), **{name: getattr(KVBackOrder, name) for name in KVBackOrder.__slots__}})
        stops = [B() for _ in range(1000)]
        show([outcome(lambda: dm._update_stop_order_status(stops, 1))[1:],
              python_error(KVBackStopOrder.execute_status, stops[0])[0]])
        show([outcome(lambda: dm._cancel_other_stop_order(stops[0]))[1:],
              python_error(KVBackStopOrder.target_order_id, stops[0])[1]])
        order = O()
        show([outcome(lambda: native.snap_order(order, ["a"], ["t"]))[1:],
              outcome(lambda: convertor._py_convert_back_order_to_snap_order(order, ["a"], ["t"]))[1:]])
        # the record types themselves (and their subclasses) still read and write in place
        real = KVBackStopOrder.create(stop_order_id=1, target_order_id=2, target_idx=0, handle_idx=0, act=1,
                                      stop_order_type=1, stop_gap_type=1, stop_gap=0.5, volume=1, ctg=1)
        Sub = type("Sub", (KVBackStopOrder,), {"__slots__": ()})
        sub = Sub.create(stop_order_id=1, target_order_id=2, target_idx=0, handle_idx=0, act=1,
                         stop_order_type=1, stop_gap_type=1, stop_gap=0.5, volume=1, ctg=1)
        dm._update_stop_order_status([real, sub] * 3, 7)
        show([real.execute_status, sub.execute_status])
    """)
    (write, want_write), (read, want_read), (snapshot, want_snapshot), statuses = seen
    assert (
        write
        == want_write
        == [
            "TypeError",
            "descriptor 'execute_status' for 'KVBackStopOrder' objects doesn't apply to a "
            "'B' object",
        ]
    )
    assert read == want_read and read[0] == "TypeError"
    assert snapshot == want_snapshot and snapshot[0] == "TypeError"
    assert statuses == [7, 7]


def test_a_key_whose_hash_resets_the_phase_manager():
    """Looking a wrapper up hashes the function; a hash that resets the manager drops
    the dict being searched, which the lookup holds."""
    seen = run_isolated("""
        from korvit.native import SystemModeMgr
        from korvit.tframe.sysdefine import GlobalDefine as gv

        m = SystemModeMgr()
        class Func:
            armed = False
            def __call__(self):
                return m.current_phase
            def __hash__(self):
                if Func.armed:
                    m.__init__()
                return 1
            def __eq__(self, other):
                return self is other
        factory = m.enter_phase(gv.RUMMODE_PHASE_ONDATA)
        ran = []
        for _ in range(20):
            Func.armed = False
            kept = [factory(Func()) for _ in range(50)]        # a dict big enough to be freed for real
            Func.armed = True
            ran.append(factory(Func())() == gv.RUMMODE_PHASE_ONDATA)
        show([all(ran), m.current_phase == gv.RUMMODE_PHASE_IDLE])
    """)
    assert seen == [[True, True]]


def test_mft_to_datetime_of_a_list_that_a_finalizer_changes():
    """The result list is made before the values are read; a finalizer run by the
    garbage collector then (Python 3.11 and older) may change the list given."""
    seen = run_isolated("""
        from korvit.native import mft_to_datetime
        from korvit.tframe.utils.datetimefunc import _py_mft_to_datetime

        values = []
        class Bomb:
            def __del__(self):
                values.clear()                              # frees the list's item array
                values.extend(["x"] * 10)
        for _ in range(3):
            values[:] = [1.7e9 + i * 0.5 for i in range(200_000)]    # an item array big enough to be unmapped
            convert = lambda: mft_to_datetime(values)      # noqa: E731 - made before the collector is armed
            gc.collect()
            gc.disable()
            b = Bomb()
            b.cycle = b
            del b
            gc.enable()
            gc.set_threshold(1)
            got = outcome(convert)
            gc.set_threshold(700)
            show([got, outcome(lambda: _py_mft_to_datetime(values))])
    """)
    for got, twin in seen:
        assert got[0] == "error" or got[1].count("datetime.datetime") == 200_000
        if got[0] == "error":
            assert got == twin


def test_bar_item_pos_of_an_array_that_a_constant_changes_in_place():
    """Reading a bar constant may run host code (a descriptor on the constants'
    class) that changes the targets array's dtype in place: the array is looked at
    after the constants are read."""
    seen = run_isolated("""
        from korvit.tframe.sysdefine import GlobalDefine as gv, _bar_item_pos

        targets = np.arange(40000, dtype=np.int64) % 7
        length = gv.KMatrix_Bar_Len
        class Len:
            def __get__(self, obj, cls):
                targets.dtype = np.int8                     # the same bytes, now eight times the items
                return length
        gv.KMatrix_Bar_Len = Len()
        got = gv.bar_item_pos(gv.KMatrix_Open, targets)
        targets.dtype = np.int64
        want = _bar_item_pos(gv.KMatrix_Open, targets)
        show([got.shape, bool(np.array_equal(got, want))])
    """)
    assert seen == [[[320000], True]]


def test_holds_reached_through_the_garbage_collector_are_checked():
    """An account's holds are its own, but gc.get_referents hands their dict to anyone."""
    seen = run_isolated("""
        import types
        from korvit.backtest.model import accounts
        from korvit.native import KVBackAccount
        from korvit.tframe.sysdefine import GlobalDefine as gv

        class Order:
            order_id, target_idx, side, position_effect = 1, 0, gv.OrderAct_Buy, gv.PositionEffect_Open
            unfilled_volume, status = 100, gv.OrderStatus_Holding
            def frozen_item(self, name):
                return 10.0

        account = KVBackAccount("A", 1000)
        account.on_order([Order()])
        holds = [o for o in gc.get_referents(account) if isinstance(o, dict) and 1 in o][0]
        holds[1] = "not a hold"
        show([outcome(account.valid_cash), outcome(lambda: account.position(0)),
              outcome(lambda: account.on_order([Order()]))])
    """)
    assert seen == [
        [["error", "TypeError", "a hold of the account was replaced by str"]] * 2 + [["ok", "None"]]
    ]
