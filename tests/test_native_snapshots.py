"""The native snapshot converters of korvit.native against their Python
reference in backtest.convertor: the same objects (type, fields, field types,
order), the same errors with the same messages, the same reads of the
records; and the engine obeys a converter installed in its namespace."""

import copy
import dataclasses
import enum
import fractions
import pickle
import random
import sys
import types

import numpy as np
import pytest

import korvit.backtest.domain as domain
import korvit.native as native
from korvit.backtest import convertor
from korvit.backtest.model.orders import KVBackOrder, KVBackTrade
from korvit.tframe.sysdefine import GlobalDefine as gv

NAN = float("nan")


class Level(enum.IntEnum):
    ONE = 1


class Price(float):
    pass


class Scalar(np.float64):  # a user subclass of a numpy scalar: its own item()
    def item(self):
        return ("item of", float(self))


class Tag:
    """A mutable tag with a readable value (deep copies compare by content)."""

    def __init__(self, items):
        self.items = items

    def __repr__(self):
        return f"Tag({self.items!r})"


class Uncopyable:
    def __deepcopy__(self, memo):
        raise RuntimeError("no copies of this tag")


VALUES = [
    0,
    7,
    -3,
    2**80,
    1.5,
    -0.0,
    NAN,
    float("inf"),
    True,
    None,
    "text",
    np.float32(1.25),
    np.float32(NAN),
    np.float64(2.5),
    np.int64(9),
    np.int32(-4),
    np.uint8(200),
    np.bool_(True),
    np.float16(0.5),
    np.datetime64("2024-01-02"),
    np.str_("s"),
    Level.ONE,
    Price(3.5),
    Scalar(4.0),
    fractions.Fraction(1, 3),
    complex(1, 2),
    (1, 2),
]
INDICES = [
    0,
    1,
    2,
    -1,
    1.0,
    1.5,
    -0.0,
    NAN,
    float("inf"),
    1e300,
    2**70,
    -(2**70),
    2**1100,
    True,
    False,
    None,
    "1",
    np.int64(1),
    np.int32(0),
    np.uint64(1),
    np.float32(1.0),
    np.float32(0.5),
    np.float64(NAN),
    np.bool_(False),
    Level.ONE,
    Price(1.0),
    Scalar(1.0),
    fractions.Fraction(2, 2),
    fractions.Fraction(1, 2),
    complex(1, 0),
]
TAGS = [
    None,
    "tag",
    5,
    2.5,
    True,
    [1, [2, 3]],
    {"a": {"b": [1]}},
    (1, [2]),
    frozenset({1}),
    b"raw",
    np.array([1, 2]),
    np.float32(1.0),
    Level.ONE,
    Tag([1, 2]),
    Uncopyable(),
]
GOOD_INDICES = [
    0,
    1,
    1.0,
    -0.0,
    np.int64(1),
    np.uint8(0),
    np.float32(1.0),
    np.float64(0.0),
    Level.ONE,
]
SEQUENCES = [
    ["acc0", "acc1", "acc2"],
    ("t0", "t1"),
    np.array(["x", "y"]),
    {0: "zero", 1: "one"},
    [],
    12,
]


class Recorded(KVBackOrder):
    """An order whose reads are logged; one chosen field raises instead."""

    __slots__ = ("reads", "failing")

    def __getattribute__(self, name):
        if not name.startswith(("reads", "failing", "__")):
            object.__getattribute__(self, "reads").append(name)
            if name == object.__getattribute__(self, "failing"):
                raise LookupError(f"field {name} is broken")
        return object.__getattribute__(self, name)


class RecordedTrade(KVBackTrade):
    __slots__ = ("reads", "failing")
    __getattribute__ = Recorded.__getattribute__


class Flaky(KVBackOrder):
    """A slot record whose property fails: the fast read path meets an error."""

    __slots__ = ("broken",)
    filled_average = property(lambda self: 1 / 0 if self.broken else 0.5, lambda self, value: None)


def index(rng):
    return rng.choice(GOOD_INDICES if rng.random() < 0.8 else INDICES)


def sequence(rng):
    return rng.choice(SEQUENCES[:3] if rng.random() < 0.8 else SEQUENCES)


def base_order(cls=KVBackOrder, **fields):
    o = cls.create(
        handle_idx=0,
        target_idx=0,
        code="c",
        order_id=1,
        order_price=10.0,
        target_type=1,
        position_effect=1,
        order_status=1,
        created_time=0.0,
        volume=100,
        order_ctg=1,
        order_side=1,
        tag=[1],
    )
    for name, value in fields.items():
        setattr(o, name, value)
    return o


def make_order(rng, cls=KVBackOrder, **fields):
    o = base_order(cls)
    for name in (
        "order_id",
        "side",
        "position_effect",
        "ctg",
        "price",
        "filled_volume",
        "filled_average",
        "filled_amount",
        "status",
        "rej_reason",
        "created_time",
        "updated_time",
    ):
        setattr(
            o,
            name,
            rng.choice(VALUES) if rng.random() < 0.5 else rng.choice(VALUES[:2] + VALUES[11:15]),
        )
    o.volume = rng.choice(
        [100, np.float64(200), np.float32(50.5), np.int64(10), "v"]
    )  # unfilled_volume reads it
    o.handle_idx, o.target_idx, o.tag = index(rng), index(rng), rng.choice(TAGS)
    for name, value in fields.items():
        setattr(o, name, value)
    return o


def make_trade(rng, order, cls=KVBackTrade, **fields):
    t = cls.create(
        handle_idx=0,
        target_idx=0,
        target_type=1,
        order_id=1,
        order_price=1.0,
        trader_id=1,
        trader_volume=1,
        trade_price=1.0,
        filled_time=0.0,
        order_ctg=1,
        order_side=1,
        position_effect=1,
        tag=None,
        order_fee=0.0,
        order_margin=0.0,
    )
    for name in (
        "trader_id",
        "order_side",
        "position_effect",
        "trade_price",
        "trader_volume",
        "filled_time",
        "order_fee",
        "order_margin",
    ):
        setattr(t, name, rng.choice(VALUES))
    t.handle_idx, t.target_idx, t.tag = index(rng), index(rng), rng.choice(TAGS)
    t.order_id = order.order_id if rng.random() < 0.85 else rng.choice(VALUES)
    for name, value in fields.items():
        setattr(t, name, value)
    return t


def outcome(function, *args):
    """What a call gives, as comparable data: the snapshot's class and its
    fields in order with their types and reprs, or the error's type and text."""
    try:
        snap = function(*args)
    except Exception as error:  # the error's type and text are part of the behaviour
        return type(error), str(error)
    return (
        type(snap),
        [(name, type(value), repr(value)) for name, value in vars(snap).items()],
        repr(snap),
    )


def picture(snap):
    """A snapshot as comparable data.  Unlike `==` (which compares dataclass
    fields one by one from Python 3.13 on, where a NaN differs from itself),
    NaN fields compare equal."""
    return outcome(lambda: snap)


def both(name, *args):
    return (
        outcome(
            getattr(native, {"order": "snap_order", "execution": "snap_execution"}[name]), *args
        ),
        outcome(getattr(convertor, f"_py_convert_back_order_to_snap_{name}"), *args),
    )


def test_the_public_converters_are_the_native_ones():
    assert convertor.convert_back_order_to_snap_order is native.snap_order
    assert convertor.convert_back_order_to_snap_execution is native.snap_execution
    assert domain.convert_back_order_to_snap_order is native.snap_order


@pytest.mark.filterwarnings(
    "ignore::RuntimeWarning"
)  # numpy overflow in a random record's arithmetic
@pytest.mark.parametrize("seed", range(8))
def test_random_records_convert_as_the_reference(seed):
    rng = random.Random(seed)
    for _ in range(300):
        order = make_order(rng)
        names, targets = sequence(rng), sequence(rng)
        mine, reference = both("order", order, names, targets)
        assert mine == reference, (order, names, targets)
        trade = make_trade(rng, order)
        mine, reference = both("execution", order, trade, names, targets)
        assert mine == reference, (order, trade, names, targets)


def test_indices_of_every_kind_pick_as_the_reference():
    rng = random.Random(1)
    for index in INDICES:
        for items in SEQUENCES:
            order = make_order(rng, handle_idx=0, target_idx=index, tag=None)
            mine, reference = both("order", order, ["acc"], items)
            assert mine == reference, (index, items)
            trade = make_trade(rng, order, handle_idx=index, order_id=order.order_id)
            mine, reference = both("execution", order, trade, items, ["t"])
            assert mine == reference, (index, items)


def test_records_are_read_in_the_reference_order_and_a_failing_read_raises_its_error():
    fields = [
        "order_id",
        "handle_idx",
        "target_idx",
        "side",
        "price",
        "unfilled_volume",
        "volume",
        "tag",
    ]
    for failing in [None] + fields:
        runs = []
        for convert in (native.snap_order, convertor._py_convert_back_order_to_snap_order):
            order = base_order(Recorded, target_idx=1, price=np.float32(2.5))
            order.reads, order.failing = [], failing
            runs.append((outcome(convert, order, ["acc"], ["t0", "t1"]), order.reads))
        assert runs[0] == runs[1]
        assert failing is None or runs[0][0] == (LookupError, f"field {failing} is broken")
    for failing in [None, "order_id", "trader_id", "side", "order_fee", "tag"]:
        runs = []
        for convert in (native.snap_execution, convertor._py_convert_back_order_to_snap_execution):
            order = base_order(Recorded, order_id=5)
            order.reads, order.failing = [], None
            trade = make_trade(
                random.Random(9), order, RecordedTrade, handle_idx=0, target_idx=0, order_id=6
            )
            trade.reads, trade.failing = [], failing
            runs.append((outcome(convert, order, trade, ["a"], ["t"]), order.reads, trade.reads))
        assert runs[0] == runs[1]  # a trade of another order: the ValueError reads the ids again


def test_a_failing_property_on_a_slot_record_after_fast_reads():
    records = [
        base_order(),
        base_order(Flaky, broken=False),
        base_order(Flaky, broken=True),
        base_order(),
        base_order(Flaky, broken=False),
        base_order(Flaky, broken=True),
    ]
    for order in records + records:
        mine, reference = both("order", order, ["a"], ["t"])
        assert mine == reference
        assert (
            (mine[0] is ZeroDivisionError) == order.broken
            if isinstance(order, Flaky)
            else mine[0] is not None
        )


def test_snapshots_are_the_reference_objects():
    order = base_order(
        handle_idx=1,
        target_idx=np.int64(0),
        price=np.float32(1.5),
        rej_reason=2.0,
        tag=[{"deep": [1]}],
    )
    snap = native.snap_order(order, ["a", "b"], ["t"])
    reference = convertor._py_convert_back_order_to_snap_order(order, ["a", "b"], ["t"])
    assert type(snap) is convertor.SnapOrder and snap == reference and repr(snap) == repr(reference)
    assert dataclasses.asdict(snap) == dataclasses.asdict(reference)
    assert pickle.loads(pickle.dumps(snap)) == reference and copy.copy(snap) == snap
    assert snap.tag == order.tag and snap.tag is not order.tag and snap.tag[0] is not order.tag[0]
    with pytest.raises(dataclasses.FrozenInstanceError):
        snap.price = 2.0
    with pytest.raises(TypeError):  # a list tag: unhashable, as the reference
        hash(snap)
    order.tag = "t"
    assert hash(native.snap_order(order, ["a", "b"], ["t"])) == hash(
        convertor._py_convert_back_order_to_snap_order(order, ["a", "b"], ["t"])
    )


def test_the_plain_snapshot_classes_are_filled_without_running_python_code():
    order = base_order(tag=None)
    trade = make_trade(
        random.Random(10),
        order,
        handle_idx=0,
        target_idx=0,
        tag=None,
        trader_id=1,
        order_fee=0.5,
        order_margin=0.0,
        position_effect=1,
        order_side=1,
        trade_price=1.0,
        trader_volume=1,
        filled_time=0.0,
    )
    ran = []
    sys.setprofile(
        lambda frame, event, arg: ran.append(frame.f_code.co_name) if event == "call" else None
    )
    try:
        order_snap = native.snap_order(order, ["a"], ["t"])
        execution_snap = native.snap_execution(order, trade, ["a"], ["t"])
    finally:
        sys.setprofile(None)
    # the records are native too (their properties included): no Python code, no __init__ of the snapshots
    assert ran == []
    assert picture(order_snap) == picture(
        convertor._py_convert_back_order_to_snap_order(order, ["a"], ["t"])
    )
    assert picture(execution_snap) == picture(
        convertor._py_convert_back_order_to_snap_execution(order, trade, ["a"], ["t"])
    )


def test_a_replaced_class_or_helper_in_the_convertor_is_obeyed(monkeypatch):
    order = base_order(tag=Tag([1]))
    made = []

    @dataclasses.dataclass(frozen=True)
    class Counted(convertor.SnapOrder):
        def __post_init__(self):
            made.append(self.order_id)

    monkeypatch.setattr(convertor, "SnapOrder", Counted)
    assert both("order", order, ["a"], ["t"])[0] == both("order", order, ["a"], ["t"])[1]
    assert type(native.snap_order(order, ["a"], ["t"])) is Counted and len(made) == 5

    # a class that looks generated but whose dataclass parameters cannot be read: it is called
    source = "class Odd:\n    def __init__(self, **fields):\n        self.__dict__.update(fields)\n"
    namespace = {}
    exec(source, namespace)
    namespace["Odd"].__dataclass_params__ = object()
    monkeypatch.setattr(convertor, "SnapOrder", namespace["Odd"])
    mine = native.snap_order(order, ["a"], ["t"])
    reference = convertor._py_convert_back_order_to_snap_order(order, ["a"], ["t"])
    assert (
        type(mine) is namespace["Odd"]
        and repr(vars(mine)) == repr(vars(reference))
        and len(vars(mine)) == 17
    )

    monkeypatch.setattr(convertor, "_copy", lambda tag: ("copied", tag.items))
    assert native.snap_order(order, ["a"], ["t"]).tag == ("copied", [1])
    monkeypatch.undo()
    # the class itself changed after it was first used: its new __init__ runs
    native.snap_order(order, ["a"], ["t"])
    init = convertor.SnapOrder.__init__
    monkeypatch.setattr(
        convertor.SnapOrder,
        "__init__",
        lambda self, **fields: made.append(sorted(fields)[0]) or init(self, **fields),
    )
    assert both("order", order, ["a"], ["t"])[0] == both("order", order, ["a"], ["t"])[1]
    assert made[-4:] == ["account"] * 4


def test_the_engine_obeys_a_replaced_converter(backtest, monkeypatch):
    backtest.load([[[10, 11, 9, 10, 100]]] * 2, [0.0], bar=0)
    order = backtest.order(1, volume=100)
    domain._back_test_call_on_order_status(order)
    native_snap = backtest.events[-1][2]
    assert type(native_snap) is convertor.SnapOrder
    assert backtest.events[-1][3] == gv.RUMMODE_PHASE_DEAL_TRADE

    def replaced(order, account_names, target_list):
        return types.SimpleNamespace(via="replacement", order=order, accounts=account_names)

    with monkeypatch.context() as patch:
        patch.setattr(domain, "convert_back_order_to_snap_order", replaced)
        patch.setattr(
            domain,
            "convert_back_order_to_snap_execution",
            lambda order, trade, names, targets: ("execution", order, trade),
        )
        domain._back_test_call_on_order_status(order)
        snap = backtest.events[-1][2]
        assert (
            snap.via == "replacement"
            and snap.order is order
            and snap.accounts == ["first", "second"]
        )
        trade = domain._create_a_trader(order, 10.0, 100, 10.0, 0.0)
        domain._back_test_call_on_execution(order, trade)
        assert backtest.events[-1][2] == ("execution", order, trade)
    domain._back_test_call_on_order_status(order)  # filled by now
    info = backtest.vr.g_KorvitInputInfo
    assert (
        picture(backtest.events[-1][2])
        == picture(
            convertor._py_convert_back_order_to_snap_order(
                order, info.AccountNameList, info.TargetList
            )
        )
        != picture(native_snap)
    )


def test_errors_name_the_native_function():
    order = base_order(handle_idx=3)
    with pytest.raises(IndexError, match=r"account index 3 out of range: 1 known") as info:
        native.snap_order(order, ["a"], ["t"])
    assert "korvit.native.snap_order" in [entry.name for entry in info.traceback]
