"""Property: the compiled record collection (korvit.native.CollectBase) and its
Python twin (PyCollectBase) run the same random scripts of calls to the same
results, errors (type and message) and states, with odd and hostile values:
NaN and huge keys, numpy scalars, unhashable names, keys whose hash or
equality raises or changes the collection, ndarray subclasses whose
``tolist``/``ravel`` give anything, list subclasses whose ``__array__``
changes the snap, records whose attribute changes the collection.

Host code that changes the collection while a call reads it may part the
twins legitimately (the twin reads a dict it iterates, the compiled one a
copy): from the first step where they part after such a change, the script
goes on with the compiled collection alone, which must keep its invariants
and end every call in a result or a Python exception.

``KORVIT_FUZZ_EXAMPLES=N`` runs N examples per property instead of the
suite's few hundred (see CONTRIBUTING.md)."""

import math
import os
import re
from dataclasses import dataclass

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from korvit.tframe.utils import collectbase
from korvit.tframe.utils.collectbase import CollectBase, PyCollectBase

NAN = float("nan")
# numpy's warnings on overflowing or NaN scalar arithmetic are the same on both sides
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")
FUZZ_EXAMPLES = int(os.environ.get("KORVIT_FUZZ_EXAMPLES", "0"))


def fuzz(examples):
    """Settings of one property: `examples` in the suite, KORVIT_FUZZ_EXAMPLES when set."""
    return settings(
        max_examples=FUZZ_EXAMPLES or examples,
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
    )


# ---------------------------------------------------------------- the two worlds


@dataclass(frozen=True)
class Hostile:
    """A value made anew on each side (it may act on that side's collection)."""

    kind: str
    args: tuple = ()


class World:
    """One side of a comparison: a collection, its records and its hostile values."""

    def __init__(self, cls, key_attr):
        self.cls = cls
        self.c = cls(snaps=("a", "b"), key_attr=key_attr)
        self.mutations = 0
        self.recs = [[Rec, Rec, Rec, Grumpy, Mutating][i % 5](self, i) for i in range(10)]

    def mutate(self):
        """What hostile code does to the collection: the first record of snap 'a'
        leaves it, and every third time a new record is appended."""
        self.mutations += 1
        first = self.c.snap_obj("a")[:1]
        if first:
            self.c.snap_remove("a", first)
        if self.mutations % 3 == 0:
            self.c.append(None, Rec(self, 100 + self.mutations))

    def make(self, spec):
        if not isinstance(spec, Hostile):
            return spec
        kind, args = spec.kind, spec.args
        if kind == "key":
            return Key(self, *args)
        if kind == "recs":
            how, picks = args
            recs = [self.recs[i] for i in picks]
            return {
                "list": recs,
                "tuple": tuple(recs),
                "iter": iter(recs),
                "gen": (r for r in recs),
                "none": None,
            }[how]
        if kind == "ids":
            how, items = args
            items = [self.make(i) for i in items]
            if how == "list":
                return items
            if how == "tuple":
                return tuple(items)
            if how == "single":
                return items[0] if items else None
            if how == "listsub":
                return ListSub(items)
            if how in ("int64", "float64", "int32", "object"):
                return np.array([i for i in items if isinstance(i, (int, float))], dtype=how)
            if how == "2d":
                return np.arange(4, dtype=np.int64).reshape(2, 2)
            return odd_array(self, how, items)
        if kind == "pos":
            how, values = args
            if how == "list":
                return list(values)
            if how == "tuple":
                return tuple(values)
            if how in ("int64", "int32", "uint8", "float64", "bool", "object"):
                return np.array(values, dtype=how)
            if how == "2d":
                return np.array(values[:4] + [0] * (4 - len(values[:4])), dtype=np.int64).reshape(
                    2, 2
                )
            if how == "floats":
                return [float(v) + (0.5 if v % 3 == 2 else 0.0) for v in values]
            if how == "index":
                return [Index(v) for v in values]
            if how == "scalars":
                return [np.int64(v) for v in values]
            return positions_array(self, how, values)
        if kind == "value":
            return {
                "raising eq": Key(self, 1, "eq raises"),
                "array": np.array([1, 2]),
                "nan32": np.float32("nan"),
            }[args[0]]
        raise AssertionError(kind)


class Rec:
    def __init__(self, world, label):
        self.world, self.label, self.n, self.k = world, label, label % 3, label

    def __repr__(self):
        return f"Rec({self.label})"


class Grumpy(Rec):
    """A record whose ``n`` cannot be read (setting it is ignored)."""

    @property
    def n(self):
        raise RuntimeError(f"no n on {self.label}")

    @n.setter
    def n(self, value):
        pass


class Mutating(Rec):
    """A record whose ``n`` changes the collection when read or written."""

    @property
    def n(self):
        self.world.mutate()
        return self._n

    @n.setter
    def n(self, value):
        if "_n" in self.__dict__:
            self.world.mutate()
        self._n = value


class Key:
    """A key of a value; `mode` makes its hash or equality raise or change the collection."""

    def __init__(self, world, value, mode):
        self.world, self.value, self.mode = world, value, mode

    def __hash__(self):
        if self.mode == "hash raises":
            raise ValueError("no hash")
        if self.mode == "hash keyerror":
            raise KeyError("no hash")
        if self.mode == "hash mutates":
            self.world.mutate()
        return hash(self.value)

    def __eq__(self, other):
        if self.mode == "eq raises":
            raise ArithmeticError("no equality")
        if self.mode == "eq mutates":
            self.world.mutate()
        return isinstance(other, Key) and other.value == self.value

    def __repr__(self):
        return f"Key({self.value!r}, {self.mode!r})"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value})"


class ListSub(list):
    pass


def odd_array(world, how, items):
    """An ndarray subclass whose `ravel().tolist()` gives something odd."""

    def tolist(self):
        if how == "tolist int":
            return 5
        if how == "tolist tuple":
            return tuple(items)
        if how == "tolist gen":
            return (i for i in items)
        if how == "tolist listsub":
            return ListSub(items)
        if how == "tolist raises":
            raise ValueError("no list")
        if how == "tolist mutates":
            world.mutate()
            return list(items)
        return list(items)

    def ravel(self, *args):
        return 7 if how == "ravel int" else np.ndarray.ravel(self, *args)

    cls = type("Odd", (np.ndarray,), {"tolist": tolist, "ravel": ravel})
    return np.zeros(len(items) or 1).view(cls)


def positions_array(world, how, values):
    """A list subclass that numpy converts through `__array__`: it may raise or
    change the snap first."""

    def array(self, dtype=None, copy=None):
        if how == "array raises":
            raise ValueError("no positions")
        world.mutate()
        return np.array(values, dtype=np.int64)

    return type("Positions", (list,), {"__array__": array})(values)


# ---------------------------------------------------------------- strategies

PLAIN_KEYS = st.one_of(
    st.integers(-2, 12),
    st.integers(-2, 12),
    st.sampled_from([2**63, -(2**63) - 1, 2**100]),
    st.sampled_from([0.0, 1.0, 2.5, -0.0, NAN, math.inf]),
    st.floats(width=32),
    st.integers(-2, 12).map(np.int64),
    st.integers(0, 12).map(np.uint8),
    st.sampled_from([1.0, NAN]).map(np.float32),
    st.sampled_from([3.0, NAN]).map(np.float64),
    st.booleans().map(np.bool_),
    st.text(max_size=2),
    st.booleans(),
    st.none(),
    st.tuples(st.integers(0, 3)),
    st.just(["unhashable"]),
)
KEY_MODES = ["plain", "hash raises", "hash keyerror", "hash mutates", "eq raises", "eq mutates"]
KEYS = st.one_of(
    PLAIN_KEYS,
    st.builds(lambda v, m: Hostile("key", (v, m)), st.integers(0, 12), st.sampled_from(KEY_MODES)),
)
SNAPS = st.one_of(
    st.sampled_from(["a", "a", "b", "zzz", ("a",), 1]),
    st.just(["unhashable"]),
    st.builds(lambda m: Hostile("key", ("a", m)), st.sampled_from(KEY_MODES)),
)
ATTRS = st.sampled_from(["n", "n", "k", "label", "missing", "world.mutations", 3, ("n", "k")])
VALUES = st.one_of(
    st.integers(-2, 3),
    st.sampled_from([NAN, 2**70, "x", None]),
    st.builds(
        Hostile, st.just("value"), st.tuples(st.sampled_from(["raising eq", "array", "nan32"]))
    ),
)
IDS = st.builds(
    lambda how, items: Hostile("ids", (how, items)),
    st.sampled_from(
        [
            "list",
            "list",
            "tuple",
            "single",
            "listsub",
            "int64",
            "float64",
            "int32",
            "object",
            "2d",
            "tolist int",
            "tolist tuple",
            "tolist gen",
            "tolist listsub",
            "tolist raises",
            "tolist mutates",
            "ravel int",
            "tolist",
        ]
    ),
    st.lists(KEYS, max_size=4),
)
POSITIONS = st.builds(
    lambda how, values: Hostile("pos", (how, values)),
    st.sampled_from(
        [
            "list",
            "list",
            "tuple",
            "int64",
            "int32",
            "uint8",
            "float64",
            "bool",
            "object",
            "2d",
            "floats",
            "index",
            "scalars",
            "array raises",
            "array mutates",
        ]
    ),
    st.lists(st.one_of(st.integers(-2, 9), st.sampled_from([2**70, True])), max_size=4),
)
RECS = st.builds(
    lambda how, picks: Hostile("recs", (how, picks)),
    st.sampled_from(["list", "list", "tuple", "iter", "gen", "none"]),
    st.lists(st.integers(0, 9), max_size=4),
)

STEPS = st.one_of(
    st.tuples(st.just("append"), KEYS, st.integers(0, 9)),
    st.tuples(st.just("append"), st.none(), st.integers(0, 9)),
    st.tuples(st.just("obj"), IDS),
    st.tuples(st.just("attr_update"), ATTRS, VALUES, IDS),
    st.tuples(st.just("contains"), KEYS),
    st.tuples(st.just("snap_count"), SNAPS),
    st.tuples(st.just("snap_obj"), SNAPS),
    st.tuples(st.just("snap_attr_value"), SNAPS, ATTRS),
    st.tuples(st.just("snap_obj_by_idx"), SNAPS, POSITIONS),
    st.tuples(st.just("snap_remove_by_idx"), SNAPS, POSITIONS),
    st.tuples(st.just("snap_remove"), SNAPS, RECS),
    st.tuples(st.just("snap_obj_attr_update"), RECS, ATTRS, VALUES, SNAPS, st.booleans()),
    st.tuples(st.just("obj_attr_value"), RECS, ATTRS),
    st.tuples(st.just("obj_attr_value_eq_all"), RECS, ATTRS, VALUES, st.booleans()),
    st.tuples(st.just("size")),
)


# ---------------------------------------------------------------- running a script


def shown(value):
    """A comparable picture of a value of either side."""
    if isinstance(value, Rec):
        return ("rec", shown(value.label))
    if isinstance(value, Key):
        return ("key", shown(value.value), value.mode)
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [shown(v) for v in value])
    if isinstance(value, float) and value != value:
        return (type(value).__name__, "nan")
    return (type(value).__name__, repr(value))


def plain(text):
    """A text with the twin's name as the compiled one and no module before a
    quoted class name (Python versions differ in whether messages show it)."""
    text = text.replace("PyCollectBase", "CollectBase")
    return re.sub(r"'(?:[A-Za-z_]\w*\.)+([A-Za-z_]\w*)'", r"'\1'", text)


def outcome(call):
    try:
        return ("ok", shown(call()))
    except Exception as error:
        return ("error", type(error).__name__, plain(str(error)))


def do(world, step):
    """Runs one step on a side (its values made there first); its outcome."""

    def run():
        c = world.c
        name, *args = step
        args = [world.make(a) for a in args]
        if name == "append":
            return c.append(args[0], world.recs[args[1]])
        if name == "size":
            return c.size, len(c), c.snap_names, list(c)
        if name in ("obj_attr_value", "obj_attr_value_eq_all"):
            return getattr(world.cls, name)(*args)
        if name == "snap_obj_attr_update":
            return c.snap_obj_attr_update(*args[:4], rm=args[4])
        return getattr(c, name)(*args)

    return outcome(run)


def state(world):
    c = world.c
    return (
        shown(c.snap_obj("a")),
        shown(c.snap_obj("b")),
        shown(list(c)),
        c.size,
        len(c),
        [(shown(r.label), shown(r.__dict__.get("n", r.__dict__.get("_n")))) for r in world.recs],
    )


def check_invariants(world):
    """What the compiled collection keeps whatever host code did."""
    c = world.c
    stored = list(c)
    assert len(stored) == len(c) == c.size
    for name in ("a", "b"):
        snap = c.snap_obj(name)
        assert c.snap_count(name) == len(snap)
        assert len({id(r) for r in snap}) == len(snap)
        assert {id(r) for r in snap} <= {id(r) for r in stored}
    assert repr(c) == f"CollectBase(size={len(c)}, a={c.snap_count('a')}, b={c.snap_count('b')})"


@fuzz(300)
@given(key_attr=st.sampled_from([None, "k"]), script=st.lists(STEPS, max_size=30))
def test_the_compiled_collection_runs_scripts_as_its_twin(key_attr, script):
    native, twin = World(CollectBase, key_attr), World(PyCollectBase, key_attr)
    together = True
    for step in script:
        mutations = native.mutations, twin.mutations
        got = do(native, step)
        if together:
            want = do(twin, step)
            mutated = (native.mutations, twin.mutations) != mutations
            if (got, state(native)) != (want, state(twin)):
                assert mutated, (step, got, want)
                event("the twins parted after host code changed the collection")
                together = False
            elif mutated:
                event("host code changed the collection, the twins agreed")
        check_invariants(native)
    if together:
        assert repr(native.c) == repr(twin.c).replace("PyCollectBase", "CollectBase")


@fuzz(200)
@given(positions=POSITIONS, count=st.integers(0, 6))
def test_positions_are_read_as_the_reference_reads_them(positions, count):
    """Every way of giving positions: the compiled reading and the reference's
    `_positions` agree, on the records picked and on the error."""
    worlds = World(CollectBase, None), World(PyCollectBase, None)
    for world in worlds:
        for rec in world.recs[:count]:
            world.c.append(None, rec)
    got, want = (outcome(lambda w=w: w.c.snap_obj_by_idx("b", w.make(positions))) for w in worlds)
    assert got == want
    got, want = (
        outcome(lambda w=w: w.c.snap_remove_by_idx("b", w.make(positions))) for w in worlds
    )
    assert got == want and state(worlds[0]) == state(worlds[1])


def test_the_reference_helper_is_the_one_the_compiled_collection_calls(monkeypatch):
    calls = []
    original = collectbase._positions
    monkeypatch.setattr(
        collectbase, "_positions", lambda p, n: calls.append((p, n)) or original(p, n)
    )
    c = CollectBase(("s",))
    c.append(None, "r")
    assert c.snap_obj_by_idx("s", [0.0]) == ["r"] and calls == [([0.0], 1)]
