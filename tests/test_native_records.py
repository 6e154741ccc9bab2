"""The compiled order, trade and stop-order records against their Python twins:
random scripts of creates, reads, writes, frozen items, properties, repr and
copies give the same results and the same errors; whole backtests give the
same frames with either; reference counts stay flat."""

import copy
import decimal
import fractions
import gc
import inspect
import pickle
import random
import re
import sys
import traceback
import tracemalloc
import weakref
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import korvit.native as native
from korvit.backtest import run
from korvit.backtest.model import orders
from korvit.backtest.model.orders import (
    KVBackOrder,
    KVBackStopOrder,
    KVBackTrade,
    PyKVBackOrder,
    PyKVBackStopOrder,
    PyKVBackTrade,
)
from korvit.data import sample_path
from korvit.tframe.sysdefine import GlobalDefine as gv

EXAMPLES = Path(__file__).resolve().parent.parent / "examples" / "strategies"
PAIRS = [
    (KVBackOrder, PyKVBackOrder),
    (KVBackTrade, PyKVBackTrade),
    (KVBackStopOrder, PyKVBackStopOrder),
]
NAN = float("nan")


class Real(float):
    """A float subclass: a Real that is neither float nor int by type."""


class BadCompare(fractions.Fraction):
    """A Real whose comparisons fail."""

    def __lt__(self, other):
        raise ArithmeticError("no order")


NUMBERS = [
    1,
    100,
    2.5,
    0,
    0.0,
    -1,
    -0.5,
    True,
    False,
    NAN,
    float("inf"),
    -float("inf"),
    10**400,
    -(10**400),
    np.int64(3),
    np.int32(0),
    np.uint8(7),
    np.float64(1.5),
    np.float32(0.25),
    np.float64(NAN),
    np.float32("inf"),
    np.bool_(True),
    fractions.Fraction(3, 2),
    Real(4.0),
    BadCompare(1, 2),
    decimal.Decimal("2"),
    "5",
    "x",
    None,
    [1],
    complex(1, 0),
]
OTHER = [None, 0, 1, "c", ("t", 1), {"k": [1]}, np.float64(2.0), NAN, 1.7e9]
CREATE = {
    "KVBackOrder": (
        [
            "handle_idx",
            "target_idx",
            "code",
            "order_id",
            "order_price",
            "target_type",
            "position_effect",
            "order_status",
            "created_time",
            "volume",
            "order_ctg",
            "order_side",
        ],
        ["tag", "filled_volume"],
        {"volume", "filled_volume"},
    ),
    "KVBackTrade": (
        [
            "handle_idx",
            "target_idx",
            "target_type",
            "order_id",
            "order_price",
            "trader_id",
            "trader_volume",
            "trade_price",
            "filled_time",
            "order_ctg",
            "order_side",
            "position_effect",
            "tag",
            "order_fee",
            "order_margin",
        ],
        [],
        {"trader_volume"},
    ),
    "KVBackStopOrder": (
        [
            "stop_order_id",
            "target_order_id",
            "target_idx",
            "handle_idx",
            "act",
            "stop_order_type",
            "stop_gap_type",
            "stop_gap",
            "volume",
            "ctg",
        ],
        ["trailing_gap_type", "trailing_gap"],
        {"volume", "trailing_gap"},
    ),
}


def same_names(text):
    """`text` with the class names made alike: the twin's "PyKVBack..." prefix
    dropped and, where Python 3.13+ names a type by its module too, the
    module of each class ("korvit.native.", "korvit.backtest.model.orders.")."""
    return re.sub(
        r"\b(?:korvit\.native\.|korvit\.backtest\.model\.orders\.)?(?:Py)?KVBack", "KVBack", text
    )


def canon(value):
    """A comparable picture of a value (NaN-safe, type-aware, shallow into containers)."""
    if isinstance(value, dict):
        return ("dict", sorted((repr(k), canon(v)) for k, v in value.items()))
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [canon(v) for v in value])
    return (type(value).__name__, repr(value))


def state(record):
    """Every field of a record (unset ones marked), and the class name."""
    fields = []
    for name in type(record).__slots__:
        try:
            fields.append((name, canon(getattr(record, name))))
        except AttributeError as e:
            fields.append((name, "unset", same_names(str(e))))
    return type(record).__name__.replace("PyKVBack", "KVBack"), fields


def outcome(fn):
    """("ok", picture) or ("error", type, message) of calling fn, class names normalised."""
    try:
        result = fn()
    except Exception as e:
        return ("error", type(e).__name__, same_names(str(e)))
    if isinstance(
        result,
        (
            KVBackOrder,
            KVBackTrade,
            KVBackStopOrder,
            PyKVBackOrder,
            PyKVBackTrade,
            PyKVBackStopOrder,
        ),
    ):
        return ("ok", state(result))
    if isinstance(result, str):
        return ("ok", same_names(result))
    return ("ok", canon(result))


def random_kwargs(rng, name):
    required, optional, volumes = CREATE[name]
    kwargs = {}
    for key in required + [k for k in optional if rng.random() < 0.5]:
        if key in volumes:
            kwargs[key] = (
                rng.choice(NUMBERS)
                if rng.random() < 0.4
                else rng.choice([1, 5, 100.0, np.int64(7)])
            )
        elif key == "stop_order_type":
            kwargs[key] = rng.choice(
                [
                    gv.StopOrderType_Trailing,
                    gv.StopOrderType_Loss,
                    np.int64(gv.StopOrderType_Trailing),
                    "x",
                ]
            )
        else:
            kwargs[key] = rng.choice(OTHER)
    if name == "KVBackOrder" and "filled_volume" in kwargs and rng.random() < 0.5:
        kwargs["filled_volume"] = kwargs["volume"]
    if rng.random() < 0.1:
        del kwargs[rng.choice(sorted(kwargs))]
    if rng.random() < 0.05:
        kwargs[rng.choice(["extra", "cls", "self"])] = 1
    return kwargs


def subclasses(base):
    """The same subclasses of the native and the twin class: added slots, an
    overridden field, a logging __setattr__, and a plain one with a __dict__."""
    log = []

    class Slotted(base):
        __slots__ = ("extra",)

    class Override(base):
        __slots__ = ("broken",)
        tag = property(lambda self: "always", lambda self, value: log.append(("tag", canon(value))))

    class Logged(base):
        def __setattr__(self, name, value):
            log.append((name, canon(value)))
            super().__setattr__(name, value)

    return [Slotted, Override, Logged], log


def run_script(rng, cls, steps):
    """Results of one random script on `cls` (native or twin)."""
    out, records = [], []
    classes, log = subclasses(cls)
    name = cls.__name__.replace("Py", "", 1) if cls.__name__.startswith("Py") else cls.__name__
    for _ in range(steps):
        op = rng.random()
        if op < 0.25 or not records:
            target = cls if rng.random() < 0.7 else rng.choice(classes)
            kwargs = random_kwargs(rng, name)
            args = (1,) if rng.random() < 0.03 else ()
            made = []
            out.append(outcome(lambda: made.append(target.create(*args, **kwargs)) or made[0]))
            records.extend(made)
            continue
        record = rng.choice(records)
        fields = type(record).__slots__
        if op < 0.4:
            field = rng.choice(
                fields + ("nope", "unfilled_volume", "side", "price", "volume", "ctg", "_FROZEN")
            )
            out.append(outcome(lambda: getattr(record, field)))
        elif op < 0.5:
            field = rng.choice(fields + ("nope", "unfilled_volume", "side"))
            value = rng.choice(NUMBERS + OTHER)
            out.append(outcome(lambda: setattr(record, field, value)))
        elif op < 0.53:
            field = rng.choice(fields + ("nope", "unfilled_volume"))
            out.append(outcome(lambda: delattr(record, field)))
        elif op < 0.65:
            key = rng.choice(
                ["value", "fee", "trader_value", "trader_fee", "x", ["unhashable"]]
                + list(NUMBERS[:3])
            )
            out.append(outcome(lambda: record.frozen_item(key)))
        elif op < 0.75:
            key = rng.choice(["value", "fee", "trader_value", "trader_fee", "x", ["unhashable"]])
            value = rng.choice(NUMBERS + ["1.25", " 2 ", b"3"])
            how = rng.choice(["positional", "keyword", "missing", "extra"])
            call = {
                "positional": lambda: record.set_frozen_item(key, value),
                "keyword": lambda: record.set_frozen_item(value=value, name=key),
                "missing": lambda: record.set_frozen_item(key),
                "extra": lambda: record.set_frozen_item(key, value, 1),
            }[how]
            out.append(outcome(call))
        elif op < 0.8:
            args = rng.choice([(1, NAN, 2.0), (2,), (1, 2, 3, 4)])
            out.append(outcome(lambda: record.update_status(*args)))
        elif op < 0.88:
            out.append(outcome(lambda: repr(record)))
        else:
            copier = rng.choice(
                [
                    copy.copy,
                    copy.deepcopy,
                    lambda r: pickle.loads(pickle.dumps(r)),
                    lambda r: pickle.loads(pickle.dumps(r, protocol=0)),
                ]
            )
            out.append(
                outcome(lambda: copier(record) if type(record) is cls else copy.copy(record))
            )
        out.append(("state", state(record)))
    out.append(("log", log))
    return out


@pytest.mark.parametrize("seed", range(40))
def test_random_scripts_give_the_same_results_and_errors(seed):
    for native_cls, twin in PAIRS:
        got = run_script(random.Random(seed), native_cls, 150)
        want = run_script(random.Random(seed), twin, 150)
        for step, (g, w) in enumerate(zip(got, want)):
            assert g == w, f"{native_cls.__name__} step {step}"
        assert len(got) == len(want)


def test_the_types_have_the_twins_layout_and_class_attributes():
    for native_cls, twin in PAIRS:
        assert native_cls.__slots__ == twin.__slots__
        assert all(
            type(native_cls.__dict__[name]).__name__ == "member_descriptor"
            for name in native_cls.__slots__
        )
        for attr in ("_FROZEN", "_FIELDS", "_GIVEN", "_UNSET"):
            assert getattr(native_cls, attr, None) == getattr(twin, attr, None), attr
        assert (native_cls.__module__, native_cls.__qualname__) == (
            "korvit.native",
            twin.__name__[2:],
        )
    assert (orders.KVBackOrder, orders.KVBackTrade, orders.KVBackStopOrder) == (
        native.KVBackOrder,
        native.KVBackTrade,
        native.KVBackStopOrder,
    )


def test_the_methods_show_the_twins_signatures():
    for native_cls, twin in PAIRS:
        assert str(inspect.signature(native_cls.create)) == str(inspect.signature(twin.create))
        fields = dict.fromkeys(CREATE[native_cls.__name__][0], 1)
        records = native_cls.create(**fields), twin.create(**fields)
        for name in ("frozen_item", "set_frozen_item", "update_status"):
            if hasattr(records[1], name):
                assert str(inspect.signature(getattr(records[0], name))) == str(
                    inspect.signature(getattr(records[1], name))
                ), name


def test_errors_name_the_native_function_in_the_traceback():
    cases = [
        (lambda: KVBackOrder.create(volume=1), "korvit.native.KVBackOrder.create"),
        (
            lambda: KVBackTrade.create(
                **{**dict.fromkeys(CREATE["KVBackTrade"][0], 1), "trader_volume": -1}
            ),
            "korvit.native.KVBackTrade.create",
        ),
        (
            lambda: KVBackTrade.create(**dict.fromkeys(CREATE["KVBackTrade"][0], 1)).frozen_item(
                "x"
            ),
            "korvit.native.KVBackTrade.frozen_item",
        ),
    ]
    for call, qualname in cases:
        with pytest.raises((TypeError, ValueError, KeyError)) as info:
            call()
        assert qualname in [frame.name for frame in traceback.extract_tb(info.tb)]
    # frozen_item's KeyError replaces the lookup's one, as "raise ... from None" does
    error = info.value
    assert (error.__suppress_context__, error.__cause__, type(error.__context__)) == (
        True,
        None,
        KeyError,
    )


def test_stop_create_reads_the_global_defines_at_each_call(monkeypatch):
    kwargs = dict(
        stop_order_id=1,
        target_order_id=2,
        target_idx=0,
        handle_idx=0,
        act=1,
        stop_order_type=77,
        stop_gap_type=1,
        stop_gap=0.5,
        volume=10,
        ctg=1,
    )
    for cls in (KVBackStopOrder, PyKVBackStopOrder):
        assert (
            cls.create(**kwargs).trailing_gap != cls.create(**kwargs).trailing_gap
        )  # NaN, no check
    monkeypatch.setattr(gv, "StopOrderType_Trailing", 77)
    monkeypatch.setattr(gv, "StopOrderStatus_Holding", "held")
    for cls in (KVBackStopOrder, PyKVBackStopOrder):
        with pytest.raises(
            ValueError, match="a trailing stop needs a finite trailing_gap, got nan"
        ):
            cls.create(**kwargs)
        assert cls.create(**kwargs, trailing_gap=1.0).execute_status == "held"


def test_a_patched_class_is_obeyed_by_create_and_the_fast_paths(monkeypatch):
    """Field writes through a class-level __setattr__ and a replaced property, as the twin."""
    logs = {}
    for cls in (KVBackOrder, PyKVBackOrder):
        log = logs[cls] = []
        original = cls.__setattr__
        monkeypatch.setattr(
            cls,
            "__setattr__",
            lambda self, name, value, log=log, original=original: (
                log.append(name) or original(self, name, value)
            ),
        )
        monkeypatch.setattr(
            cls, "volume", property(lambda self: 5, lambda self, value: log.append("volume!"))
        )
        order = cls.create(**{**dict.fromkeys(CREATE["KVBackOrder"][0], 1), "volume": 9})
        order.update_status(1, 2, 3)
        log.append(order.unfilled_volume)
    assert logs[KVBackOrder] == logs[PyKVBackOrder]
    assert logs[KVBackOrder][-1] == 5  # the replaced volume (5) less the default filled_volume (0)


@pytest.mark.parametrize(
    "example, data, extra",
    [
        ("ma_cross.py", "daily.csv", {}),
        ("futures_breakout.py", "minute.csv", {"ticks": sample_path("ticks.csv")}),
    ],
)
def test_whole_backtests_give_the_same_frames_with_the_twins(monkeypatch, example, data, extra):
    def results():
        result = run(
            EXAMPLES / example,
            sample_path(data),
            contracts=sample_path("contracts.csv"),
            progress=False,
            **extra,
        )
        return result.equity, result.orders, result.trades, result.stops

    native_results = results()
    created = []
    for native_cls, twin in PAIRS:
        for module in [
            m for m in list(sys.modules.values()) if getattr(m, "__name__", "").startswith("korvit")
        ]:
            if module.__dict__.get(native_cls.__name__) is native_cls:
                monkeypatch.setattr(module, native_cls.__name__, twin)
        make = twin.create.__func__
        monkeypatch.setattr(
            twin,
            "create",
            classmethod(lambda cls, *a, make=make, **k: created.append(cls) or make(cls, *a, **k)),
        )
    python_results = results()
    assert len(native_results[2]) > 0 and len(native_results[1]) > 0
    assert {KVBackOrder, KVBackTrade} <= {
        native_cls for native_cls, twin in PAIRS if twin in created
    }
    if example == "futures_breakout.py":
        assert PyKVBackStopOrder in created and len(native_results[3]) > 0
    for got, want in zip(native_results, python_results):
        pd.testing.assert_frame_equal(got, want, check_exact=True)


def test_reference_counts_and_memory_stay_flat():
    args = {name: object() for name in CREATE["KVBackOrder"][0]}
    args.update(volume=7.5, filled_volume=np.float64(1.0))
    stop_args = {name: object() for name in CREATE["KVBackStopOrder"][0]}
    stop_args.update(volume=3, stop_order_type=gv.StopOrderType_Trailing, trailing_gap=2.0)
    watched = list(args.values()) + list(stop_args.values())

    def churn(count):
        for _ in range(count):
            order = KVBackOrder.create(**args)
            order.set_frozen_item("fee", order.unfilled_volume)
            order.frozen_item("value")
            order.update_status(args["code"], args["order_ctg"], args["order_id"])
            order.tag = order  # a cycle, left to the collector
            copy.deepcopy(order)
            KVBackStopOrder.create(**stop_args)
            for bad in (dict(args, volume=-1), dict(args, extra=1)):
                try:
                    KVBackOrder.create(**bad)
                except (TypeError, ValueError):
                    pass
            try:
                order.frozen_item("missing")
            except KeyError:
                pass
        gc.collect()

    churn(200)
    before = [sys.getrefcount(v) for v in watched]
    tracemalloc.start()
    churn(300)
    grown = []  # two windows of 1,000 rounds: a leak grows in both, a cache warming up in one
    for _ in range(2):
        first = tracemalloc.get_traced_memory()[0]
        churn(1000)
        grown.append(tracemalloc.get_traced_memory()[0] - first)
    tracemalloc.stop()
    assert [sys.getrefcount(v) for v in watched] == before
    assert min(grown) < 8 * 1024  # not one object (16 bytes or more) a round

    chain, fields = None, dict.fromkeys(CREATE["KVBackOrder"][0], 1)
    for _ in range(200_000):  # deep chains unwind without recursion
        chain = KVBackOrder.create(**fields, tag=chain)
    del chain

    tag = type("Tag", (), {})()
    tag.record = KVBackTrade.create(**{**dict.fromkeys(CREATE["KVBackTrade"][0], 1), "tag": tag})
    gone = weakref.ref(tag)
    del tag
    gc.collect()
    assert gone() is None
