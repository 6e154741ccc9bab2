"""The compiled record collection against its plain-Python twin: the same
random scripts of calls give the same results and the same errors, word for
word; and what the twin gets from Python for free (subclassing, garbage
collection of cycles, balanced references) holds for the compiled one."""

import gc
import random
import sys
import weakref

import numpy as np
import pytest

from korvit.tframe.utils.collectbase import CollectBase, PyCollectBase

NAN = float("nan")


class Rec:
    def __init__(self, label, n):
        self.label, self.n, self.k = label, n, label

    def __repr__(self):
        return f"Rec({self.label})"


class Grumpy(Rec):
    """A record whose ``n`` cannot be read."""

    @property
    def n(self):
        raise RuntimeError(f"no n on {self.label}")

    @n.setter
    def n(self, value):
        pass


def _shown(value):
    """Results made comparable across the two worlds: records by label."""
    if isinstance(value, Rec):
        return ("rec", value.label)
    if isinstance(value, (list, tuple)):
        return [_shown(v) for v in value]
    if isinstance(value, float) and value != value:
        return "nan"
    return (type(value).__name__, value)


def _outcome(call):
    try:
        return ("ok", _shown(call()))
    except Exception as error:
        return ("error", type(error).__name__, str(error))


def _random_script(rng, steps):
    """A list of (method, argument maker) steps; the makers take the side's records."""
    script = []
    for _ in range(steps):
        kind = rng.choice(
            [
                "append",
                "append",
                "append",
                "obj",
                "attr_update",
                "contains",
                "snap_count",
                "snap_obj",
                "snap_attr_value",
                "by_idx",
                "remove_by_idx",
                "remove",
                "obj_attr_update",
                "eq_all",
                "size",
                "iter",
            ]
        )
        snap = rng.choice(["a", "b", "a", "zzz", ["unhashable"]])
        label = rng.randrange(12)
        key = rng.choice(
            [None, label, float(label), np.int64(label), NAN, np.float32("nan"), "k", True, (1,)]
        )
        count = rng.randrange(4)
        positions = rng.choice(
            [
                [rng.randrange(-1, 8) for _ in range(count)],
                np.array([rng.randrange(0, 6) for _ in range(count)], dtype=np.int64),
                np.array([float(rng.randrange(0, 5)) for _ in range(count)]),
                [0.5],
                np.array([], dtype=float),
                [True],
                [2**70],
                (1, 0),
            ]
        )
        attr = rng.choice(["n", "k", "missing", "label", 3])
        ids = rng.choice(
            [[label, label + 1], np.array([label, NAN]), label, (label,), [NAN], [[1]]]
        )
        labels = [rng.randrange(12) for _ in range(count)]
        script.append((kind, snap, label, key, positions, attr, ids, labels))
    return script


def _run(cls, script, key_attr):
    """Runs ``script`` on a fresh collection of ``cls``; the outcomes, one per step."""
    records = {i: (Grumpy if i == 11 else Rec)(i, i % 3) for i in range(12)}
    c = cls(snaps=("a", "b"), key_attr=key_attr)
    out = []
    for kind, snap, label, key, positions, attr, ids, labels in script:
        pick = [records[i] for i in labels]
        call = {
            "append": lambda: c.append(key, records[label]),
            "obj": lambda: c.obj(ids),
            "attr_update": lambda: c.attr_update("n", label * 10, ids),
            "contains": lambda: key in c,
            "snap_count": lambda: c.snap_count(snap),
            "snap_obj": lambda: c.snap_obj(snap),
            "snap_attr_value": lambda: c.snap_attr_value(snap, attr),
            "by_idx": lambda: c.snap_obj_by_idx(snap, positions),
            "remove_by_idx": lambda: c.snap_remove_by_idx(snap, positions),
            "remove": lambda: c.snap_remove(snap, pick),
            "obj_attr_update": lambda: c.snap_obj_attr_update(
                pick, "n", -label, snap, rm=label % 2 == 0
            ),
            "eq_all": lambda: cls.obj_attr_value_eq_all(pick, attr, 1, return_obj=label % 2 == 0),
            "size": lambda: (c.size, len(c), c.snap_names),
            "iter": lambda: list(c),
        }[kind]
        out.append((kind, _outcome(call)))
        out.append(
            (
                "state",
                _shown(
                    [
                        c.snap_obj("a"),
                        c.snap_obj("b"),
                        [r.n for r in records.values() if not isinstance(r, Grumpy)],
                    ]
                ),
            )
        )
    out.append(("repr", repr(c).replace(cls.__name__, "C")))
    return out


@pytest.mark.parametrize("key_attr", [None, "k"])
def test_random_scripts_give_the_same_results_and_errors(key_attr):
    for seed in range(150):
        script = _random_script(random.Random(seed), 40)
        native, reference = (
            _run(CollectBase, script, key_attr),
            _run(PyCollectBase, script, key_attr),
        )
        for step, (got, want) in enumerate(zip(native, reference)):
            assert got == want, f"seed {seed}, step {step}: {got} != {want}"


def test_construction_errors_match():
    for snaps in (("a", "a"), 5, [["x"]], "ab"):
        assert _outcome(lambda: CollectBase(snaps=snaps).snap_names) == _outcome(
            lambda: PyCollectBase(snaps=snaps).snap_names
        )


def test_a_subclass_keeps_its_own_methods_and_attributes():
    class Counting(CollectBase):
        def __init__(self):
            super().__init__(snaps=("open",), key_attr="k")
            self.appended = 0

        def append(self, key, record):
            self.appended += 1
            return super().append(key, record)

    c = Counting()
    c.append(None, Rec(3, 0))
    assert c.appended == 1 and c.obj([3])[0].label == 3 and repr(c) == "Counting(size=1, open=1)"


def test_cycles_through_the_records_are_collected():
    c = CollectBase(snaps=("a",))
    rec = Rec(0, 0)
    rec.owner = c  # record -> collection -> record
    c.append(None, rec)
    probe = weakref.ref(rec)
    del c, rec
    gc.collect()
    assert probe() is None


def test_references_stay_balanced_over_many_calls():
    records = [Rec(i, i) for i in range(50)]
    before = [sys.getrefcount(r) for r in records]
    for _ in range(200):
        c = CollectBase(snaps=("a", "b"), key_attr="k")
        for record in records:
            c.append(None, record)
        del record
        c.obj(np.arange(60))
        c.snap_attr_value("a", "n")
        c.snap_obj_by_idx("a", [3, 1])
        c.snap_remove_by_idx("a", np.arange(0, 40, 2))
        c.snap_remove("b", records[:10])
        c.snap_obj_attr_update(records[10:20], "n", 1, "b")
        with pytest.raises(ValueError):
            c.snap_remove("b", records[:1])
        del c
    assert [sys.getrefcount(r) for r in records] == before


class Flipping:
    """A key hashing as ``value``: unequal to it when first compared, equal after."""

    def __init__(self, value):
        self.value, self.compared = value, 0

    def __hash__(self):
        return hash(self.value)

    def __eq__(self, other):
        self.compared += 1
        return self.compared > 1 and other == self.value


@pytest.mark.parametrize("victim", range(3))
def test_a_record_replaced_under_a_key_that_changes_its_answer_stays_in_its_snaps(victim):
    """A key unequal to a stored key when checked and equal when stored puts its
    record in that key's place; the record it replaced, held by the collection
    alone, stays in its snaps as in the twin."""
    seen = []
    for cls in (PyCollectBase, CollectBase):
        c = cls(snaps=("a", "b"))
        for label in range(3):
            c.append(label, Rec(label, 0))
        replaced = weakref.ref(c.obj([victim])[0])
        c.snap_remove("b", c.obj([0]))
        c.append(Flipping(victim), Rec(9, 0))
        gc.collect()
        assert replaced() is not None, cls.__name__
        parts = (c, c.snap_obj("a"), c.snap_obj("b"), c.obj([0, 1, 2]))
        seen.append(([[r.label for r in p] for p in parts], len(c), c.snap_count("a")))
    assert seen[0] == seen[1]
