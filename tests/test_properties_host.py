"""Properties: the compiled host types of korvit.native and their Python twins,
driven by the same random operations, give the same results, errors (type and
message) and states: the records (KVBackOrder, KVBackTrade, KVBackStopOrder),
the positions and accounts, target_index, the run-phase manager, time
conversion and the snapshot converters.

The values include the odd and the hostile: NaN, infinities and huge ints,
numpy scalars and arrays, numbers whose comparison, conversion or repr raises,
str subclasses, objects whose getters raise or call back into the object
being worked on.  Where host code changes the object under a call, the twins
may part legitimately; the compiled one must then still end every call in a
result or a Python exception.

``KORVIT_FUZZ_EXAMPLES=N`` runs N examples per property instead of the
suite's few hundred (see CONTRIBUTING.md)."""

import copy
import dataclasses
import decimal
import fractions
import numbers
import os
import pickle
import re
import types

import numpy as np
import pytest
from hypothesis import HealthCheck, event, example, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import korvit.native as native
from korvit.backtest import convertor
from korvit.backtest.model import accounts
from korvit.backtest.model.accounts import KVBackAccount, PyKVBackAccount
from korvit.backtest.model.orders import (
    KVBackOrder,
    KVBackStopOrder,
    KVBackTrade,
    PyKVBackOrder,
    PyKVBackStopOrder,
    PyKVBackTrade,
)
from korvit.backtest.model.positions import (
    KVBackPosition,
    PositionsBase,
    PyKVBackPosition,
    PyPositionsBase,
    py_target_index,
    target_index,
)
from korvit.tframe.sysdefine import GlobalDefine as gv
from korvit.tframe.uclass import PySystemModeMgr, SystemModeMgr
from korvit.tframe.utils.datetimefunc import _py_mft_to_datetime, mft_to_datetime

NAN, INF = float("nan"), float("inf")
# numpy's warnings on overflowing or NaN scalar arithmetic are the same on both sides
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")
FUZZ_EXAMPLES = int(os.environ.get("KORVIT_FUZZ_EXAMPLES", "0"))


def fuzz(examples):
    """Settings of one property: `examples` in the suite, KORVIT_FUZZ_EXAMPLES when set."""
    return settings(
        max_examples=FUZZ_EXAMPLES or examples,
        deadline=None,
        suppress_health_check=[
            HealthCheck.too_slow,
            HealthCheck.data_too_large,
            HealthCheck.function_scoped_fixture,
        ],
    )


# ---------------------------------------------------------------- hostile values


class Hostile(numbers.Real):
    """A Real whose operations raise (or answer) as its `mode` says."""

    def __init__(self, mode, value=1.0):
        self.mode, self.value = mode, value

    def _raise(self, what):
        raise ArithmeticError(f"{self.mode}: no {what}")

    def _number(self, what):
        if self.mode in (what, "all"):
            self._raise(what)
        return self.value

    def __float__(self):
        return float(self._number("float"))

    def __eq__(self, other):
        return self._number("compare") == other

    def __lt__(self, other):
        return self._number("compare") < other

    def __le__(self, other):
        return self._number("compare") <= other

    def __hash__(self):
        return hash(self._number("hash"))

    def __repr__(self):
        if self.mode == "repr":
            self._raise("repr")
        return f"Hostile({self.mode!r}, {self.value!r})"

    def __deepcopy__(self, memo):
        if self.mode == "copy":
            self._raise("copy")
        return Hostile(self.mode, self.value)

    def __index__(self):
        if self.mode == "index":
            self._raise("index")
        return int(self.value)

    def __bool__(self):
        return bool(self._number("bool"))

    def _arith(self, other, op):
        return op(self._number("arithmetic"), other)

    __add__ = lambda s, o: s._arith(o, lambda a, b: a + b)
    __radd__ = lambda s, o: s._arith(o, lambda a, b: b + a)
    __sub__ = lambda s, o: s._arith(o, lambda a, b: a - b)
    __rsub__ = lambda s, o: s._arith(o, lambda a, b: b - a)
    __mul__ = lambda s, o: s._arith(o, lambda a, b: a * b)
    __rmul__ = lambda s, o: s._arith(o, lambda a, b: b * a)
    __truediv__ = lambda s, o: s._arith(o, lambda a, b: a / b)
    __rtruediv__ = lambda s, o: s._arith(o, lambda a, b: b / a)
    __neg__ = lambda s: -s._number("arithmetic")
    __pos__ = lambda s: s
    __abs__ = lambda s: abs(s._number("arithmetic"))
    __trunc__ = lambda s: int(s._number("arithmetic"))
    __floor__ = __trunc__
    __ceil__ = __trunc__
    __round__ = lambda s, n=None: round(s._number("arithmetic"), n)
    __floordiv__ = __rfloordiv__ = __mod__ = __rmod__ = __pow__ = __rpow__ = lambda s, o, *m: (
        s._raise("arithmetic")
    )


class LegStr(str):
    """A leg whose comparisons raise."""

    def __eq__(self, other):
        raise LookupError(f"no equality for leg {str(self)!r}")

    __hash__ = str.__hash__


class FloatSub(float):
    pass


class Scalar(np.float64):  # a user subclass of a numpy scalar, with its own item()
    def item(self):
        return ("item of", float(self))


HOSTILE_MODES = [
    "float",
    "compare",
    "hash",
    "repr",
    "copy",
    "index",
    "bool",
    "arithmetic",
    "all",
    "none",
]
NUMBERS = st.one_of(
    st.integers(-3, 300),
    st.sampled_from([0, 1, 100, 2**63, -(2**63) - 1, 10**400]),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0.0, -0.0, 0.5, 2.5, NAN, INF, -INF]),
    st.integers(-3, 300).map(np.int64),
    st.integers(0, 255).map(np.uint8),
    st.integers(-3, 300).map(np.int32),
    st.floats(width=32).map(np.float32),
    st.floats().map(np.float64),
    st.floats(width=16).map(np.float16),
    st.booleans(),
    st.booleans().map(np.bool_),
    st.sampled_from([1.5, NAN]).map(FloatSub),
    st.sampled_from([2.0, NAN]).map(Scalar),
    st.builds(fractions.Fraction, st.integers(-5, 50), st.integers(1, 4)),
    st.sampled_from(
        [
            decimal.Decimal("2"),
            decimal.Decimal("NaN"),
            complex(1, 0),
            "5",
            " 2 ",
            "x",
            None,
            [1],
            np.array(3.0),
            np.array([1.0, 2.0]),
            b"3",
        ]
    ),
    st.builds(Hostile, st.sampled_from(HOSTILE_MODES), st.sampled_from([1.0, 0.0, 7.0, NAN])),
)


def canon(value, depth=0):
    """A comparable picture of a value (NaN-safe, type-aware, a repr that raises shown as such)."""
    if depth > 3:
        return "..."
    if isinstance(value, dict):
        return (
            "dict",
            sorted((canon(k, depth + 1), canon(v, depth + 1)) for k, v in value.items()),
        )
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [canon(v, depth + 1) for v in value])
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return (
            type(value).__name__,
            [(f.name, canon(getattr(value, f.name), depth + 1)) for f in dataclasses.fields(value)],
        )
    try:
        text = repr(value)
    except Exception as error:
        text = f"<repr raised {type(error).__name__}>"
    return (type(value).__name__, plain(text))


def plain(text):
    """A text with the twins' names as the compiled ones and no module before a
    quoted class name (Python versions differ in whether messages show it)."""
    text = re.sub(r"Py(KVBack|SystemModeMgr|PositionsBase)", r"\1", text)
    return re.sub(r"'(?:[A-Za-z_]\w*\.)+([A-Za-z_]\w*)'", r"'\1'", text)


def outcome(call, shown=canon):
    try:
        result = call()
    except RecursionError:
        return ("error", "RecursionError")  # the compiled one names the native call in its message
    except Exception as error:
        return ("error", type(error).__name__, plain(str(error)))
    return ("ok", shown(result))


# ---------------------------------------------------------------- records

PAIRS = [
    (KVBackOrder, PyKVBackOrder),
    (KVBackTrade, PyKVBackTrade),
    (KVBackStopOrder, PyKVBackStopOrder),
]
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
    ),
}
GOOD_VOLUMES = st.sampled_from([1, 5, 100.0, np.int64(7), np.float32(2.5)])
FIELD_VALUES = st.one_of(
    NUMBERS,
    st.sampled_from([gv.StopOrderType_Trailing, gv.StopOrderType_Loss, "t", ("t", 1), {"k": [1]}]),
)


def subclasses(base, log):
    """The same subclasses of the compiled and the twin class: added slots, an
    overridden field, a logging __setattr__."""

    class Slotted(base):
        __slots__ = ("extra",)

    class Override(base):
        __slots__ = ("broken",)
        tag = property(lambda self: "always", lambda self, value: log.append(("tag", canon(value))))

    class Logged(base):
        def __setattr__(self, name, value):
            log.append((name, canon(value)))
            super().__setattr__(name, value)

    return [base, Slotted, Override, Logged]


def record_state(record):
    fields = []
    for name in type(record).__slots__:
        try:
            fields.append((name, canon(getattr(record, name))))
        except AttributeError as error:
            fields.append((name, "unset", plain(str(error))))
    return type(record).__name__.replace("PyKVBack", "KVBack"), fields


@st.composite
def create_kwargs(draw, name):
    required, optional = CREATE[name]
    kwargs = {}
    for key in required + [k for k in optional if draw(st.booleans())]:
        if key in ("volume", "filled_volume", "trader_volume", "trailing_gap"):
            kwargs[key] = draw(st.one_of(GOOD_VOLUMES, GOOD_VOLUMES, GOOD_VOLUMES, NUMBERS))
        else:
            kwargs[key] = draw(FIELD_VALUES)
    if draw(st.integers(0, 19)) == 0 and kwargs:
        del kwargs[draw(st.sampled_from(sorted(kwargs)))]
    if draw(st.integers(0, 19)) == 0:
        kwargs[draw(st.sampled_from(["extra", "cls", "self"]))] = 1
    return kwargs


@st.composite
def record_scripts(draw):
    pair = draw(st.sampled_from(PAIRS))
    name = pair[0].__name__
    fields = pair[0].__slots__ + (
        "nope",
        "unfilled_volume",
        "side",
        "price",
        "volume",
        "ctg",
        "_FROZEN",
    )
    steps = []
    for n in range(draw(st.integers(1, 25))):
        kind = (
            "create"
            if n == 0
            else draw(
                st.sampled_from(
                    [
                        "create",
                        "create",
                        "get",
                        "set",
                        "del",
                        "frozen_item",
                        "set_frozen_item",
                        "update_status",
                        "repr",
                        "copy",
                    ]
                )
            )
        )
        pick = draw(st.integers(0, 20))
        if kind == "create":
            steps.append(
                (
                    kind,
                    draw(st.integers(0, 3)),
                    draw(create_kwargs(name)),
                    draw(st.integers(0, 30)) == 0,
                )
            )
        elif kind in ("get", "del"):
            steps.append((kind, pick, draw(st.sampled_from(fields))))
        elif kind == "set":
            steps.append((kind, pick, draw(st.sampled_from(fields)), draw(FIELD_VALUES)))
        elif kind == "frozen_item":
            steps.append(
                (
                    kind,
                    pick,
                    draw(
                        st.one_of(
                            st.sampled_from(
                                ["value", "fee", "trader_value", "trader_fee", "x", ("value",)]
                            ),
                            NUMBERS,
                        )
                    ),
                )
            )
        elif kind == "set_frozen_item":
            steps.append(
                (
                    kind,
                    pick,
                    draw(st.sampled_from(["value", "fee", "trader_value", "trader_fee", "x"])),
                    draw(st.one_of(NUMBERS, st.sampled_from(["1.25", " 2 ", b"3"]))),
                    draw(st.sampled_from(["positional", "keyword", "missing", "extra"])),
                )
            )
        elif kind == "update_status":
            steps.append(
                (
                    kind,
                    pick,
                    draw(st.sampled_from([(1, NAN, 2.0), (2,), (1, 2, 3, 4)])),
                    draw(st.booleans()),
                )
            )
        elif kind == "copy":
            steps.append(
                (kind, pick, draw(st.sampled_from(["copy", "deepcopy", "pickle", "pickle0"])))
            )
        else:
            steps.append((kind, pick))
    return pair, steps


def run_records(cls, steps):
    log, records, out = [], [], []
    classes = subclasses(cls, log)
    copiers = {
        "copy": copy.copy,
        "deepcopy": copy.deepcopy,
        "pickle": lambda r: pickle.loads(pickle.dumps(r)),
        "pickle0": lambda r: pickle.loads(pickle.dumps(r, protocol=0)),
    }
    for kind, pick, *args in steps:
        if kind == "create":
            kwargs, positional = args
            made = []
            out.append(
                outcome(
                    lambda: (
                        made.append(classes[pick].create(*((1,) * positional), **kwargs))
                        or record_state(made[0])
                    )
                )
            )
            records.extend(made)
            continue
        if not records:
            continue
        record = records[pick % len(records)]
        if kind == "get":
            out.append(outcome(lambda: getattr(record, args[0])))
        elif kind == "set":
            out.append(outcome(lambda: setattr(record, *args)))
        elif kind == "del":
            out.append(outcome(lambda: delattr(record, args[0])))
        elif kind == "frozen_item":
            out.append(outcome(lambda: record.frozen_item(args[0])))
        elif kind == "set_frozen_item":
            key, value, how = args
            call = {
                "positional": lambda: record.set_frozen_item(key, value),
                "keyword": lambda: record.set_frozen_item(value=value, name=key),
                "missing": lambda: record.set_frozen_item(key),
                "extra": lambda: record.set_frozen_item(key, value, 1),
            }[how]
            out.append(outcome(call))
        elif kind == "update_status":
            status_args, as_keywords = args
            if as_keywords and len(status_args) == 3:
                out.append(
                    outcome(
                        lambda: record.update_status(
                            **dict(zip(("status", "reason", "time"), status_args))
                        )
                    )
                )
            else:
                out.append(outcome(lambda: record.update_status(*status_args)))
        elif kind == "repr":
            out.append(outcome(lambda: repr(record)))
        else:
            copier = copiers[args[0]] if type(record) is cls else copy.copy
            out.append(outcome(lambda: record_state(copier(record))))
        out.append(("state", record_state(record)))
    out.append(("log", log))
    out.append(("made", len(records)))
    return out


@fuzz(300)
@given(script=record_scripts())
def test_records_run_scripts_as_their_twins(script):
    (compiled, twin), steps = script
    got = run_records(compiled, steps)
    assert got == run_records(twin, steps)
    made = got[-1][1]
    event(f"{compiled.__name__} records made: {min(made, 3)}{'+' if made > 3 else ''}")


# ---------------------------------------------------------------- positions and target_index

LEGS = st.sampled_from(["long", "short", "long", "short", "middle", LegStr("long"), None, ["long"]])
POSITION_CALLS = st.one_of(
    st.tuples(st.just("open"), LEGS, NUMBERS, NUMBERS, NUMBERS),
    st.tuples(
        st.just("open"),
        LEGS,
        st.integers(1, 20),
        st.sampled_from([1.5, 10.0, np.float32(2.5)]),
        st.sampled_from([0.0, 1.25]),
    ),
    st.tuples(st.just("close"), LEGS, st.one_of(st.integers(1, 20), NUMBERS)),
    st.tuples(st.just("reserve"), LEGS, st.one_of(st.integers(0, 10), NUMBERS)),
    st.tuples(st.just("release"), LEGS, st.one_of(st.integers(0, 10), NUMBERS)),
    st.tuples(st.just("held"), LEGS),
    st.tuples(st.just("available"), LEGS),
    st.tuples(
        st.just("set"),
        st.sampled_from(PyKVBackPosition.__slots__ + PyPositionsBase.__slots__),
        NUMBERS,
    ),
    st.tuples(
        st.just("del"), st.sampled_from(PyKVBackPosition.__slots__ + PyPositionsBase.__slots__)
    ),
    st.tuples(st.just("repr")),
)
TARGETS = st.one_of(
    NUMBERS, st.integers(-5, 2**70), st.sampled_from([np.uint64(2**63), "3", 3.0, -0.0])
)


def position_state(position):
    names = type(position).__slots__ + (
        PositionsBase.__slots__
        if isinstance(position, PositionsBase) and type(position) is not PositionsBase
        else ()
    )
    if isinstance(position, PyKVBackPosition):
        names = PyPositionsBase.__slots__ + PyKVBackPosition.__slots__
    seen = []
    for name in names:
        try:
            seen.append((name, canon(getattr(position, name))))
        except AttributeError as error:
            seen.append((name, "unset", plain(str(error))))
    return sorted(seen)


def holding_state(value):
    """A position's fields, or any other value as it is."""
    return (
        position_state(value)
        if isinstance(value, (PositionsBase, PyPositionsBase))
        else canon(value)
    )


@fuzz(300)
@given(back=st.booleans(), target=TARGETS, calls=st.lists(POSITION_CALLS, max_size=25))
def test_positions_run_calls_as_their_twins(back, target, calls):
    classes = (KVBackPosition, PyKVBackPosition) if back else (PositionsBase, PyPositionsBase)
    made = [outcome(lambda cls=cls: cls(target)) for cls in classes]
    assert (
        made[0][0] == made[1][0] and made[0][1:] == made[1][1:] if made[0][0] == "error" else True
    )
    if made[0][0] == "error":
        return
    positions = [cls(target) for cls in classes]
    for name, *args in calls:
        seen = []
        for p in positions:
            if name == "set":
                seen.append(outcome(lambda: setattr(p, *args)))
            elif name == "del":
                seen.append(outcome(lambda: delattr(p, args[0])))
            elif name == "repr":
                seen.append(outcome(lambda: repr(p).replace("Py", "")))
            else:
                seen.append(outcome(lambda: getattr(p, name)(*args)))
            seen.append(position_state(p))
        assert seen[:2] == seen[2:], name


@fuzz(300)
@given(value=TARGETS)
def test_target_index_converts_as_its_twin(value):
    assert outcome(lambda: target_index(value)) == outcome(lambda: py_target_index(value))


# ---------------------------------------------------------------- accounts

STOCKS, FUTURES, ODD = (0, 1), (2, 3), 4
TYPES = {
    0: gv.TARGETTYPE_STOCK,
    1: gv.TARGETTYPE_FUND,
    2: gv.TARGETTYPE_FUTURE,
    3: gv.TARGETTYPE_FUTURE,
    4: gv.TARGETTYPE_INDEX,
}
SIDES = st.sampled_from(
    [
        gv.OrderAct_Buy,
        gv.OrderAct_Sell,
        gv.OrderAct_Buy,
        gv.OrderAct_Sell,
        9,
        np.int64(gv.OrderAct_Buy),
        Hostile("compare", gv.OrderAct_Sell),
    ]
)
EFFECTS = st.sampled_from(
    [
        gv.PositionEffect_Open,
        gv.PositionEffect_Open,
        gv.PositionEffect_Close,
        gv.PositionEffect_CloseToday,
        0,
        Hostile("compare", gv.PositionEffect_Close),
    ]
)
AMOUNTS = st.one_of(
    st.floats(0, 5000).map(lambda v: round(v, 2)),
    st.sampled_from([0.0, 12.5, 300]),
    st.floats(0, 500, width=32).map(np.float32),
    NUMBERS,
)
ACCOUNT = {"current": None}  # the account a hostile getter calls back into, on each side


class Order:
    def __init__(self, order_id, target_idx, side, effect, volume, value, fee, status_mode):
        self.order_id, self.target_idx, self.side, self.position_effect = (
            order_id,
            target_idx,
            side,
            effect,
        )
        self.unfilled_volume, self._status, self.status_mode = (
            volume,
            gv.OrderStatus_Holding,
            status_mode,
        )
        self._frozen = {"value": value, "fee": fee}

    @property
    def status(self):
        if self.status_mode == "raises":
            raise RuntimeError("status unknown")
        if self.status_mode == "calls back" and not ACCOUNT.get("inside"):
            ACCOUNT["inside"] = True  # once: the account reads statuses again meanwhile
            try:
                ACCOUNT["current"].valid_cash()
                ACCOUNT["current"].holding_order_ids
            finally:
                ACCOUNT["inside"] = False
        return self._status

    def frozen_item(self, name):
        return self._frozen[name]


class Trade:
    def __init__(self, order_id, target_idx, side, effect, volume, price, value, fee):
        self.order_id, self.target_idx, self.side, self.position_effect = (
            order_id,
            target_idx,
            side,
            effect,
        )
        self.volume, self.price = volume, price
        try:
            self.target_type = TYPES[int(target_idx)]
        except Exception:
            self.target_type = "odd"
        self._frozen = {"trader_value": value, "trader_fee": fee}

    def frozen_item(self, name):
        return self._frozen[name]


class SubPosition(KVBackPosition):
    """A compiled position of a subclass: driven through its Python methods."""

    def available(self, leg):
        return super().available(leg)


class Env:
    def get_multiple(self, target):
        return {2: 10, 3: np.float32(300.0)}.get(target, 1)

    def get_margin_rate(self, target, side):
        return 0.12 if target == 2 else np.float32(0.15)


@st.composite
def account_sessions(draw):
    """The notices of one session: orders and their statuses change between steps,
    the same for both accounts (the steps are made as they are drawn)."""
    pending, steps, next_id = [], [], 1
    for _ in range(draw(st.integers(1, 40))):
        kind = draw(
            st.sampled_from(
                ["hold"] * 4 + ["trade"] * 4 + ["end", "end", "position", "valid_cash", "ids"]
            )
        )
        if kind == "hold":
            target = draw(
                st.sampled_from(STOCKS + FUTURES + (ODD, 1.0, np.int64(2), Hostile("index", 1)))
            )
            volume = draw(
                st.one_of(st.integers(1, 8).map(lambda v: v * 100), st.integers(1, 8), NUMBERS)
            )
            order = Order(
                next_id,
                target,
                draw(SIDES),
                draw(EFFECTS),
                volume,
                draw(AMOUNTS),
                draw(AMOUNTS),
                draw(st.sampled_from(["plain"] * 8 + ["raises", "calls back"])),
            )
            next_id += 1
            pending.append(order)
            steps.append(("on_order", [order]))
        elif kind == "trade":
            if pending and draw(st.integers(0, 4)):
                order = pending[draw(st.integers(0, len(pending) - 1))]
                volume = draw(st.one_of(st.integers(1, 300), NUMBERS))
                steps.append(("trade", order, volume))
                target, side, effect, order_id = (
                    order.target_idx,
                    order.side,
                    order.position_effect,
                    order.order_id,
                )
            else:
                target, side = draw(st.sampled_from(STOCKS + FUTURES)), draw(SIDES)
                effect, volume, order_id = gv.PositionEffect_Close, draw(st.integers(1, 5)), -1
            price = draw(st.one_of(st.floats(1, 60).map(lambda v: round(v, 2)), NUMBERS))
            trade = Trade(
                order_id, target, side, effect, volume, price, draw(AMOUNTS), draw(AMOUNTS)
            )
            steps.append(("on_trade", [trade]))
        elif kind == "end" and pending:
            order = pending.pop(draw(st.integers(0, len(pending) - 1)))
            status = draw(
                st.sampled_from(
                    [
                        gv.OrderStatus_Cancelled,
                        gv.OrderStatus_Denied,
                        float(gv.OrderStatus_Denied),
                        np.int64(gv.OrderStatus_Cancelled),
                    ]
                )
            )
            steps.append(("end", order, status, draw(st.booleans())))
        elif kind == "position":
            steps.append(
                (
                    "position",
                    draw(
                        st.one_of(st.sampled_from([0, 1, 2, 3, 2.0, -1, 1.5, "x", True]), TARGETS)
                    ),
                )
            )
        elif kind in ("valid_cash", "ids"):
            steps.append((kind,))
        if draw(st.integers(0, 30)) == 0:  # a position of another kind put into the account
            steps.append(
                (
                    "install",
                    draw(st.sampled_from(STOCKS + FUTURES)),
                    draw(st.sampled_from(["twin", "not a position", "subclass"])),
                )
            )
    return steps


def account_state(account):
    def exact(v):
        return canon(v)

    positions = {}
    for target, p in account._positions.items():
        positions[target] = holding_state(p)
    return (
        exact(account.cash),
        exact(account.fee_total),
        exact(account.realised_pnl),
        account.holding_order_ids,
        len(account.trades),
        sorted(positions.items()),
    )


@fuzz(200)
@given(
    cash=st.sampled_from([1_000_000, 250_000.5, np.float32(500_000.25)]), steps=account_sessions()
)
def test_accounts_book_sessions_as_their_twins(monkeypatch, cash, steps):
    monkeypatch.setattr(accounts, "framekit", types.SimpleNamespace(env=Env()))
    compiled, twin = KVBackAccount("A", cash), PyKVBackAccount("A", cash)
    for step in steps:
        kind = step[0]
        if kind == "trade":  # a fill changes the order for both accounts
            _, order, volume = step
            try:
                order.unfilled_volume = order.unfilled_volume - volume
                if not order.unfilled_volume > 0:
                    order._status = gv.OrderStatus_Filled
            except Exception:
                pass
            continue
        if kind == "end":
            _, order, status, notify = step
            order._status = status
            if not notify:
                continue
            step = ("on_order", [order])
        seen = []
        for account in (compiled, twin):
            ACCOUNT["current"] = account
            if step[0] in ("on_order", "on_trade"):
                seen.append(outcome(lambda: getattr(account, step[0])(step[1])))
            elif step[0] == "position":
                seen.append(outcome(lambda: account.position(step[1]), shown=holding_state))
            elif step[0] == "valid_cash":
                seen.append(outcome(account.valid_cash))
            elif step[0] == "install":
                target, what = step[1:]
                held = account._positions.get(target)
                account._positions[target] = {
                    "twin": PyKVBackPosition,
                    "subclass": SubPosition,
                    "not a position": lambda t: ("no", t),
                }[what](target)
                if isinstance(held, (PositionsBase, PyPositionsBase)) and what != "not a position":
                    for leg in ("long", "short"):
                        for field in (
                            "position_",
                            "position_available_",
                            "avg_open_price_",
                            "margin_",
                        ):
                            setattr(
                                account._positions[target], field + leg, getattr(held, field + leg)
                            )
                seen.append(("installed",))
            else:
                seen.append(outcome(lambda: (account.holding_order_ids, repr(account))))
            seen.append(account_state(account))
        assert seen[:2] == seen[2:], step[0]
    event(f"trades booked: {min(len(twin.trades), 3)}{'+' if len(twin.trades) > 3 else ''}")


# ---------------------------------------------------------------- the run-phase manager

PHASES = [
    gv.RUMMODE_PHASE_IDLE,
    gv.RUMMODE_PHASE_USERINIT,
    gv.RUMMODE_PHASE_ONDATA,
    gv.RUMMODE_PHASE_DEAL_TRADE,
]


class PhaseLike:
    """Equal to a known phase (so accepted), with its own hash and repr."""

    def __init__(self, phase):
        self.phase = phase

    def __eq__(self, other):
        return other == self.phase

    def __hash__(self):
        return hash(self.phase)

    def __repr__(self):
        return f"PhaseLike({self.phase})"


PHASE_VALUES = st.one_of(
    st.sampled_from(PHASES * 3),
    st.sampled_from([7, -1, "x", None, [1], 1.0, True]),
    st.sampled_from(PHASES).map(np.int64),
    st.sampled_from(PHASES).map(PhaseLike),
    st.builds(
        Hostile,
        st.sampled_from(["compare", "hash", "repr"]),
        st.sampled_from([float(p) for p in PHASES]),
    ),
)
FUNCS = st.sampled_from(
    [
        "phase",
        "phase",
        "raises",
        "none",
        "not callable",
        "unhashable",
        "nested",
        "reset",
        "set phase",
        "del phase",
        "log",
    ]
)


class Unhashable:
    __hash__ = None

    def __init__(self, mgr):
        self.mgr = mgr

    def __call__(self, *args):
        return ("unhashable", self.mgr.current_phase, args)


def phase_funcs(mgr, wrappers):
    """The functions a phase runs, made for one manager; `wrappers` are those made so far."""

    def phase(*args, **kwargs):
        return ("in", mgr.current_phase, args, sorted(kwargs.items()))

    def raises(*args, **kwargs):
        raise LookupError(f"failed in {mgr.current_phase}")

    made_before = []
    depth = [0]

    def nested(*args, **kwargs):
        """Runs the wrapper made last before it was first called, at most three deep.

        The bound is what ends the nesting: that wrapper may itself be a nested one (its
        first call failed), and where the interpreter's recursion limit would end it differs
        between the twins (the compiled wrapper logs the phase without a Python call)."""
        if not made_before:
            made_before.append(len(wrappers) - 1)
        inner = wrappers[made_before[0] - 1 : made_before[0]] if depth[0] < 3 else []
        depth[0] += 1
        try:
            return (
                "nested",
                mgr.current_phase,
                [outcome(lambda: w()) for w in inner],
                mgr.current_phase,
            )
        finally:
            depth[0] -= 1

    def reset(*args, **kwargs):
        mgr.__init__()
        return mgr.current_phase

    def set_phase(*args, **kwargs):
        mgr.current_phase = 99
        return 99

    def del_phase(*args, **kwargs):
        del mgr.current_phase

    def log(*args, **kwargs):
        return mgr.phase_log

    return {
        "phase": phase,
        "raises": raises,
        "none": None,
        "not callable": 5,
        "unhashable": Unhashable(mgr),
        "nested": nested,
        "reset": reset,
        "set phase": set_phase,
        "del phase": del_phase,
        "log": log,
    }


PHASE_STEPS = st.one_of(
    st.tuples(
        st.sampled_from(["enter_phase", "force_phase"]),
        PHASE_VALUES,
        FUNCS,
        st.lists(st.integers(0, 3), max_size=2),
        st.booleans(),
    ),
    st.tuples(st.just("again"), st.integers(0, 10), st.lists(st.integers(0, 3), max_size=2)),
    st.tuples(st.just("set"), st.one_of(PHASE_VALUES, st.just(PHASES[2]))),
    st.tuples(st.just("del")),
    st.tuples(st.just("log")),
    st.tuples(st.just("init")),
)


def shown_wrapper(value):
    """Wrappers and factories by their names (the two kinds print differently)."""
    if callable(value) and not isinstance(value, (Unhashable, type)):
        return (
            "callable",
            getattr(value, "__name__", None),
            getattr(value, "__qualname__", "").split(".")[-1],
        )
    return canon(value)


def run_phases(base, subclass, steps):
    cls = type("Mgr", (base,), {"LOG_LIMIT": 3}) if subclass else base
    mgr = cls()
    wrappers, out = [], []
    funcs = phase_funcs(mgr, wrappers)
    for name, *args in steps:
        if name in ("enter_phase", "force_phase"):
            phase, func, call_args, by_keyword = args
            factory = []
            out.append(
                outcome(lambda: factory.append(getattr(mgr, name)(phase)) or callable(factory[0]))
            )
            if not factory:
                continue
            made = []
            given = funcs[func]
            out.append(
                outcome(
                    lambda: (
                        made.append(factory[0](func=given) if by_keyword else factory[0](given))
                        or made[0]
                    ),
                    (lambda w: "does nothing") if given is None else shown_wrapper,
                )
            )
            if made:
                wrappers.append(made[0])
                out.append(("same wrapper", outcome(lambda: factory[0](given) is made[0])))
                out.append(
                    outcome(
                        lambda: made[0](*call_args, **({"k": 1} if by_keyword else {})),
                        shown_wrapper,
                    )
                )
        elif name == "again" and wrappers:
            out.append(outcome(lambda: wrappers[args[0] % len(wrappers)](*args[1]), shown_wrapper))
        elif name == "set":
            out.append(outcome(lambda: setattr(mgr, "current_phase", args[0])))
        elif name == "del":
            out.append(outcome(lambda: delattr(mgr, "current_phase")))
        elif name == "log":
            out.append(outcome(lambda: mgr.phase_log))
        elif name == "init":
            out.append(outcome(mgr.__init__))
        out.append(("state", outcome(lambda: mgr.current_phase), outcome(lambda: mgr.phase_log)))
    return out


@fuzz(300)
@given(subclass=st.booleans(), steps=st.lists(PHASE_STEPS, max_size=20))
@example(  # a nested wrapper whose first call failed later runs itself
    subclass=False,
    steps=[
        ("del",),
        ("enter_phase", 0, "phase", [], False),
        ("force_phase", 0, "nested", [], False),
        ("enter_phase", 0, "phase", [], False),
        ("init",),
        ("again", 1, []),
    ],
)
def test_the_phase_manager_runs_programs_as_its_twin(subclass, steps):
    assert run_phases(SystemModeMgr, subclass, steps) == run_phases(
        PySystemModeMgr, subclass, steps
    )


# ---------------------------------------------------------------- time conversion

TIME_VALUES = st.one_of(
    st.floats(),
    st.floats(-1e12, 1e12),
    st.integers(-(2**70), 2**70),
    st.integers(-(10**11), 10**11),
    st.sampled_from(
        [
            0,
            1.7e9,
            1.7e9 + 0.5e-6,
            -62135596800,
            253402300799,
            253402300800,
            NAN,
            INF,
            True,
            None,
            "1",
            decimal.Decimal("1"),
            fractions.Fraction(1, 2),
        ]
    ),
    st.floats(width=32).map(np.float32),
    st.floats(width=16).map(np.float16),
    st.integers(-(10**9), 10**9).map(np.int64),
    st.integers(0, 2**64 - 1).map(np.uint64),
    st.integers(-128, 127).map(np.int8),
    st.booleans().map(np.bool_),
    st.sampled_from([1.5, NAN]).map(FloatSub),
    st.sampled_from([2.0]).map(Scalar),
    st.builds(Hostile, st.sampled_from(["float", "repr", "none"]), st.sampled_from([1.0, NAN])),
)
TIME_DTYPES = st.sampled_from(
    [
        np.float64,
        np.float32,
        np.float16,
        np.int64,
        np.int32,
        np.int8,
        np.uint64,
        np.uint8,
        np.bool_,
        np.complex128,
        np.dtype(">f8"),
        np.dtype("<i8"),
        np.dtype("m8[s]"),
    ]
)


class ListSub(list):
    pass


class TimeArray(np.ndarray):
    pass


def odd_time_array(how):
    """An ndarray subclass whose `ravel().tolist()` gives something odd."""

    def tolist(self):
        if how == "tolist raises":
            raise ValueError("no list")
        return {
            "tolist int": 5,
            "tolist gen": (v for v in (1.0, 2.0)),
            "tolist listsub": ListSub([1.5]),
        }[how]

    return np.zeros(2).view(type("OddTimes", (np.ndarray,), {"tolist": tolist}))


@st.composite
def time_inputs(draw):
    how = draw(
        st.sampled_from(
            [
                "list",
                "list",
                "tuple",
                "listsub",
                "array",
                "array",
                "strided",
                "subclass",
                "2d",
                "object array",
                "scalar",
                "other",
                "odd",
            ]
        )
    )
    if how == "odd":
        return odd_time_array(
            draw(st.sampled_from(["tolist raises", "tolist int", "tolist gen", "tolist listsub"]))
        )
    if how in ("list", "tuple", "listsub", "object array"):
        values = draw(st.lists(TIME_VALUES, max_size=6))
        return {
            "list": list,
            "tuple": tuple,
            "listsub": ListSub,
            "object array": lambda v: np.array(v + [None], dtype=object)[:-1],
        }[how](values)
    if how == "scalar":
        return draw(TIME_VALUES)
    if how == "other":
        return draw(st.sampled_from([{1.0: 2}, "12", b"1", range(3), iter([1.0])]))
    array = draw(hnp.arrays(draw(TIME_DTYPES), draw(st.integers(0, 6))))
    if how == "strided":
        return array[::2]
    if how == "subclass":
        return array.view(TimeArray)
    if how == "2d" and array.size % 2 == 0:
        return array.reshape(2, -1)
    return array


@fuzz(400)
@given(values=time_inputs())
def test_time_values_convert_as_the_reference(values):
    with np.errstate(all="ignore"):
        assert outcome(lambda: mft_to_datetime(values)) == outcome(
            lambda: _py_mft_to_datetime(values)
        )


# ---------------------------------------------------------------- snapshot converters

INDICES = st.one_of(
    st.integers(-2, 4), NUMBERS, st.sampled_from([2**70, 1e300, -0.0, np.uint64(1)])
)


class Names(list):
    """Names whose length or items come from host code that may fail."""

    def __init__(self, items, mode):
        super().__init__(items)
        self.mode = mode

    def __len__(self):
        if self.mode == "len raises":
            raise OverflowError("no length")
        return super().__len__()

    def __getitem__(self, index):
        if self.mode == "getitem raises":
            raise KeyError(index)
        return ("item", super().__getitem__(index))

    def __repr__(self):
        return f"Names({self.mode})"


ITEMS = st.one_of(
    st.sampled_from(
        [
            ["a", "b", "c"],
            ("x", "y"),
            [],
            np.array(["p", "q"]),
            {0: "zero", 1: "one"},
            "st",
            range(3),
        ]
    ),
    st.builds(
        Names, st.just(["n0", "n1"]), st.sampled_from(["len raises", "getitem raises", "plain"])
    ),
)
TAGS = st.one_of(
    st.sampled_from([None, "t", 1, 2.5, (1, [2]), {"k": [1]}, [np.float32(1)]]),
    st.builds(Hostile, st.sampled_from(["copy", "repr", "none"])),
)


class Plain:
    """A record of no record type: attributes only."""

    def __init__(self, **fields):
        self.__dict__.update(fields)


ORDER_FIELDS = [
    "order_id",
    "handle_idx",
    "target_idx",
    "side",
    "position_effect",
    "ctg",
    "price",
    "volume",
    "filled_volume",
    "unfilled_volume",
    "filled_average",
    "filled_amount",
    "status",
    "rej_reason",
    "created_time",
    "updated_time",
    "tag",
]
TRADE_FIELDS = [
    "order_id",
    "trader_id",
    "handle_idx",
    "target_idx",
    "side",
    "position_effect",
    "price",
    "volume",
    "filled_time",
    "order_fee",
    "order_margin",
    "tag",
]


@st.composite
def snapshot_inputs(draw):
    values = {name: draw(NUMBERS) for name in ORDER_FIELDS}
    values.update(handle_idx=draw(INDICES), target_idx=draw(INDICES), tag=draw(TAGS))
    kind = draw(st.sampled_from(["record", "record", "twin", "plain"]))
    if kind == "plain":
        order = Plain(**values)
    else:
        cls = KVBackOrder if kind == "record" else PyKVBackOrder
        order = cls.create(
            handle_idx=values["handle_idx"],
            target_idx=values["target_idx"],
            code="c",
            order_id=values["order_id"],
            order_price=values["price"],
            target_type=1,
            position_effect=values["position_effect"],
            order_status=values["status"],
            created_time=values["created_time"],
            volume=10,
            order_ctg=values["ctg"],
            order_side=values["side"],
            tag=values["tag"],
        )
    trade_values = {name: draw(NUMBERS) for name in TRADE_FIELDS}
    trade_values.update(handle_idx=draw(INDICES), target_idx=draw(INDICES), tag=draw(TAGS))
    if draw(st.booleans()):
        trade_values["order_id"] = order.order_id
    trade = Plain(**trade_values)
    return order, trade, draw(ITEMS), draw(ITEMS)


@fuzz(400)
@given(inputs=snapshot_inputs())
def test_snapshots_are_made_as_the_reference_makes_them(inputs):
    order, trade, account_names, target_list = inputs
    assert outcome(lambda: native.snap_order(order, account_names, target_list)) == outcome(
        lambda: convertor._py_convert_back_order_to_snap_order(order, account_names, target_list)
    )
    assert outcome(
        lambda: native.snap_execution(order, trade, account_names, target_list)
    ) == outcome(
        lambda: convertor._py_convert_back_order_to_snap_execution(
            order, trade, account_names, target_list
        )
    )
