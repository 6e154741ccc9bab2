"""Whole runs on the compiled host objects, where the engine takes its direct
paths, against the same runs on plain-Python stand-ins with the same
interface, where it calls everything through Python: the records, the
equity and the callbacks the strategy sees must be identical.  And an
object that a user or a test replaces is obeyed."""

import runpy
from pathlib import Path

import pandas as pd
import pytest

from korvit.backtest import loop, run, session
from korvit.backtest.model import orders as model
from korvit.data import load_bars, load_contracts, load_ticks, sample_path
from korvit.tframe.utils.collectbase import PyCollectBase

EXAMPLES = Path(__file__).resolve().parent.parent / "examples" / "strategies"


class PyOrders(PyCollectBase):
    def __init__(self):
        super().__init__(snaps=("unfilled",), key_attr="order_id")


class PyStops(PyCollectBase):
    def __init__(self):
        super().__init__(snaps=("unfired",), key_attr="stop_order_id")


class PyTrades(PyCollectBase):
    def __init__(self):
        super().__init__()


def _recording(example):
    """The example's callbacks, with every status and execution report written down."""
    scope = runpy.run_path(str(EXAMPLES / example))
    seen = []
    scope["on_order_status"] = lambda context, order, *a, **k: seen.append(("status", order))
    scope["on_execution"] = lambda context, execution, *a, **k: seen.append(
        ("execution", execution)
    )
    return {
        name: scope[name] for name in ("init", "on_data", "on_order_status", "on_execution")
    }, seen


def _futures_run():
    bars = load_bars(sample_path("minute.csv"))
    callbacks, seen = _recording("futures_breakout.py")
    result = run(
        callbacks,
        bars,
        ticks=load_ticks(sample_path("ticks.csv"), bars),
        contracts=load_contracts(sample_path("contracts.csv")),
        progress=False,
    )
    return result, seen


def _stocks_run():
    callbacks, seen = _recording("ma_cross.py")
    result = run(callbacks, load_bars(sample_path("daily.csv")), progress=False)
    return result, seen


def _same(a, b):
    (result_a, seen_a), (result_b, seen_b) = a, b
    for name in ("equity", "orders", "trades", "stops"):
        pd.testing.assert_frame_equal(
            getattr(result_a, name), getattr(result_b, name), check_exact=True
        )
    # repr: NaN fields (no reject reason) compare equal, and 0 differs from 0.0
    assert list(map(repr, seen_a)) == list(map(repr, seen_b)) and len(seen_a) > 10


@pytest.mark.parametrize("scenario", [_futures_run, _stocks_run], ids=["futures-ticks", "stocks"])
def test_compiled_collections_and_python_stand_ins_give_identical_runs(scenario, monkeypatch):
    compiled = scenario()
    assert len(compiled[0].stops) > 0
    monkeypatch.setattr(loop, "KVBackOrderCollect", PyOrders)
    monkeypatch.setattr(loop, "KVBackStopOrderCollect", PyStops)
    monkeypatch.setattr(loop, "KVBackTradeCollect", PyTrades)
    _same(compiled, scenario())


def test_a_method_replaced_on_a_subclass_or_an_instance_is_obeyed(monkeypatch):
    calls = {"class": 0, "instance": 0}

    class CountingStops(model.KVBackStopOrderCollect):
        def snap_obj(self, name):
            calls["class"] += 1
            return super().snap_obj(name)

    class CountingOrders(model.KVBackOrderCollect):
        def __init__(self):
            super().__init__()
            plain = super().snap_count

            def snap_count(name):
                calls["instance"] += 1
                return plain(name)

            self.snap_count = snap_count

    compiled = _futures_run()
    monkeypatch.setattr(loop, "KVBackStopOrderCollect", CountingStops)
    monkeypatch.setattr(loop, "KVBackOrderCollect", CountingOrders)
    _same(compiled, _futures_run())
    assert calls["class"] > 100 and calls["instance"] > 100


def test_a_method_replaced_on_a_compiled_class_is_obeyed(monkeypatch):
    from korvit.tframe.framekit import SystemBaseEnv
    from korvit.tframe.utils.collectbase import CollectBase

    compiled = _stocks_run()
    counted, fields = [], []
    snap_count, get_bar_field = CollectBase.snap_count, SystemBaseEnv.get_bar_field
    monkeypatch.setattr(
        CollectBase, "snap_count", lambda self, name: counted.append(name) or snap_count(self, name)
    )
    monkeypatch.setattr(
        SystemBaseEnv,
        "get_bar_field",
        lambda self, *a, **k: fields.append(k["fields"]) or get_bar_field(self, *a, **k),
    )
    _same(compiled, _stocks_run())
    assert "unfilled" in counted and "unfired" in counted
    assert ["open", "high", "low", "volume"] in fields


def _idle_run():
    """The sample stocks with a strategy that never trades: every bar has nothing to deal."""
    return run(
        {"init": lambda context: None, "on_data": lambda context: None},
        load_bars(sample_path("daily.csv")),
        progress=False,
    )


def test_a_bar_with_nothing_to_deal_still_calls_a_replaced_part(monkeypatch):
    from korvit.backtest import domain

    calls = []
    original = domain._deal_normal_order
    monkeypatch.setattr(domain, "_deal_normal_order", lambda: calls.append(1) or original())
    result = _idle_run()
    assert len(calls) == len(result.equity) and result.trades.empty


def test_a_bar_with_nothing_to_deal_reports_a_missing_snap_as_before(monkeypatch):
    from korvit.tframe.utils.collectbase import CollectBase

    class WithoutSnaps(CollectBase):
        def __init__(self):
            super().__init__(key_attr="stop_order_id")

    monkeypatch.setattr(loop, "KVBackStopOrderCollect", WithoutSnaps)
    with pytest.raises(KeyError, match="no snap named 'unfired'"):
        _idle_run()


def test_stop_records_with_a_computed_target_order_id_are_read_through_python(monkeypatch):
    """The engine reads a stop order's ``target_order_id`` in place only while it
    is a plain slot; a record class that computes it is asked every time."""
    reads = []

    class ComputedStops(model.KVBackStopOrder):
        __slots__ = ("_target",)

        @property
        def target_order_id(self):
            reads.append(1)
            return self._target

        @target_order_id.setter
        def target_order_id(self, value):
            self._target = value

    compiled = _futures_run()
    monkeypatch.setattr(session, "KVBackStopOrder", ComputedStops)
    _same(compiled, _futures_run())
    assert len(reads) > 1000


def test_a_replaced_attribute_reader_of_the_collections_is_obeyed(monkeypatch):
    from korvit.tframe.utils.collectbase import CollectBase

    compiled = _futures_run()
    asked = []
    original = CollectBase.obj_attr_value
    monkeypatch.setattr(
        CollectBase,
        "obj_attr_value",
        staticmethod(lambda records, attr: asked.append(attr) or original(records, attr)),
    )
    _same(compiled, _futures_run())
    assert "target_order_id" in asked


def test_records_that_watch_their_writes_see_every_write_of_the_engine(monkeypatch):
    """Fields are written in place only on plain slots; a record class with its own
    ``__setattr__`` sees each write, and the run stays the same."""
    from korvit.backtest import domain

    writes = []

    class WatchedOrder(model.KVBackOrder):
        __slots__ = ()

        def __setattr__(self, name, value):
            writes.append(("order", name, value))
            super().__setattr__(name, value)

    class WatchedStop(model.KVBackStopOrder):
        __slots__ = ()

        def __setattr__(self, name, value):
            writes.append(("stop", name, value))
            super().__setattr__(name, value)

    compiled = _futures_run()
    monkeypatch.setattr(session, "KVBackOrder", WatchedOrder)
    monkeypatch.setattr(domain, "KVBackOrder", WatchedOrder)
    monkeypatch.setattr(session, "KVBackStopOrder", WatchedStop)
    _same(compiled, _futures_run())
    # Writes only the engine makes (a record is created with nothing filled and its stops holding).
    from korvit.tframe.sysdefine import GlobalDefine as gv

    assert any(
        kind == "order" and name == "filled_volume" and value > 0 for kind, name, value in writes
    )
    assert ("stop", "execute_status", gv.StopOrderStatus_Fired) in writes
    assert ("stop", "execute_status", gv.StopOrderStatus_Active) in writes


def test_a_method_set_on_a_collection_in_the_middle_of_a_run_is_obeyed(monkeypatch):
    """The engine remembers that a collection's method is its own while the collection's
    class and dict are unchanged; a method set on the instance later, under a name its
    class's instances have used before (so the write may go to values the instance keeps
    inline), is called from then on."""
    import korvit.tframe.framekit as framekit

    class Stops(model.KVBackStopOrderCollect):
        pass

    used = Stops()
    used.snap_obj = None  # the class's instances now know the name
    del used.snap_obj
    monkeypatch.setattr(loop, "KVBackStopOrderCollect", Stops)
    callbacks, _ = _recording("futures_breakout.py")
    strategy_on_data, calls, bars_seen = callbacks["on_data"], [], []

    def on_data(context):
        bars_seen.append(None)
        if len(bars_seen) == 100:
            stops = framekit.vr.g_KVStopOrders
            plain = stops.snap_obj
            stops.snap_obj = lambda name: calls.append(name) or plain(name)
        strategy_on_data(context)

    bars = load_bars(sample_path("minute.csv"))
    result = run(
        {**callbacks, "on_data": on_data},
        bars,
        ticks=load_ticks(sample_path("ticks.csv"), bars),
        contracts=load_contracts(sample_path("contracts.csv")),
        progress=False,
    )
    assert len(result.stops) > 0 and len(bars_seen) > 100
    assert "unfired" in calls
