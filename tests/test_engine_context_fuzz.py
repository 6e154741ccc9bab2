"""Context fuzzing: the engine's fast paths while the objects they read change under them.

A seed draws a whole small run (consecutive deals over a few bars, with orders, stop
orders, fills and cancels: the "deal" scenarios of test_domain_differential) and
changes to the objects the engine reads directly: module globals of the engine and
of the host modules it calls, attributes of the registry and of g_KorvitInputInfo /
g_KorvitSettingInfo, entries of the contract table, stop records' target orders and
classes, record classes and ``gv`` constants.  The changes come between deals, inside
the user's order callbacks (mid-deal), and from finalizers of cyclic garbage while the
collector runs often.  The run is made through the plain-Python twin and through the
engine, each on a fresh world, and all that can be observed must match (see
test_domain_differential.run); where the twin raises, the engine raises alike.

A finalizer's change changes nothing (an equal object, a wrapper that behaves the
same), so it does not matter when the collector runs; the changes between deals and
in callbacks may change the run (a stop moved to another order), which both modules
then obey alike.  A value replaced by a plain attribute store is often a "carrier":
an equal object whose own attribute's finalizer, when the carrier is freed, calls the
module under test and the twin and compares their answers.

Long runs: ``KORVIT_FUZZ_CASES=5000 python -m pytest tests/test_engine_context_fuzz.py``;
surviving crashes: ``python tests/test_engine_context_fuzz.py --seeds 0:2000 [--all]``
(seeds run in child interpreters under PYTHONMALLOC=debug, so that a use after free
crashes at the seed that made it; prints each failing seed and its difference, and
whether a crash recurs when its seed runs alone).  ``KORVIT_FUZZ_KINDS=stop,table``
draws only the changes of those kinds.
"""

import argparse
import builtins
import contextlib
import datetime
import gc
import math
import os
import random
import subprocess
import sys
import tempfile
import types
import weakref

import numpy as np
import test_domain_differential as diff

import korvit.tframe.framekit as framekit
from korvit.api.history import _history
from korvit.backtest.model.accounts import KVBackAccount
from korvit.tframe.sysdefine import GlobalDefine as gv


def words(text):
    return text.split()


canon, HOST_CALLS, twin = diff.canon, diff.HOST_CALLS, diff.twin
KVBackOrder, KVBackTrade, KVBackStopOrder = diff.KVBackOrder, diff.KVBackTrade, diff.KVBackStopOrder

CASES = int(os.environ.get("KORVIT_FUZZ_CASES", "60"))
KINDS = os.environ.get("KORVIT_FUZZ_KINDS", "global,registry,table,stop,class").split(",")

# What the changes rebind: module globals, registry attributes, contract labels, class members.
GLOBALS = {
    "subject": words("""get_target_info_v2 get_bar_tick_data todotmc convert_back_order_to_snap_order
    convert_back_order_to_snap_execution datetime_to_mft mft_to_datetime Decimal write_userlog
    raise_bultin_error KVBackOrder KVBackTrade cb gv np cnt smm _1min_dt _1sec_dt"""),
    "history": words("_target_info_v2 get_target_info_v2 _lock len isinstance"),
    "framekit": words("vr env smm"),
}
REGISTRY = {  # by the registry's attribute holding them ("vr": the registry's own)
    "g_KorvitInputInfo": words("""KFreNum TargetList AccountNameList KFrequencyI TargetListDot
    on_order_status_func on_order_execution_func"""),
    "g_KorvitSettingInfo": words("""MarginRate MarketOrderHolding LimitType PriceLoc SlidePrice StopFill
    cost_fee_stock cost_fee_future"""),
    "vr": words("""g_KorvitSimCurBarFresh g_KorvitUserContext g_KorvitDataValueFresh
    g_KorvitInputInfo g_KorvitSettingInfo g_KVOrders g_KVStopOrders g_KVTrades g_KorvitAccounts
    g_KorvitCache"""),
    "g_KorvitCache": words("min_sec_filled_time"),
}
LABELS = words("""LotSize MinMove Multiple LongMargin ShortMargin TradingFeeOpen TradingFeeClose
CommissionRate MinTradeFee OpenTax CloseTax TransFee""")
METHODS = [(KVBackOrder, "update_status"), (KVBackOrder, "set_frozen_item")]
METHODS += [(KVBackTrade, "set_frozen_item"), (KVBackAccount, "on_order")]
METHODS += [(KVBackAccount, "on_trade"), (diff.CollectBase, "snap_obj")]
MARKED = (KVBackOrder, KVBackTrade, KVBackStopOrder, KVBackAccount, gv)
CONSTANTS = words("""OrderStatus_Filled OrderStatus_Cancelled OrderAct_Buy PositionEffect_Open
StopOrderStatus_Holding StopOrderStatus_Active TARGETTYPE_STOCK KFreq_Min""")
TARGET = "target_order_id"
# Per kind of change, what is drawn for it: a choice, or a number below 99 (an index).
CHOICES = {
    "global": (("subject",) * 3 + ("history",) * 2 + ("framekit",), 99, (False, True)),
    "registry": (
        ("g_KorvitInputInfo",) * 3 + ("g_KorvitSettingInfo", "vr", "g_KorvitCache"),
        99,
        ("copy",) + ("carrier",) * 3 + ("dict", "extra"),
    ),
    "table": (99, ("copy", "key_first", "key_first", "key_last", "sparse", "sparse_key"), LABELS),
    "stop": (
        99,
        ("order",) * 4 + ("nan", "unknown"),
        99,
        ("attr", "setattr", "object", "member", "class", "class_target"),
    ),
    "class": (("marker", "method", "constant"), 99),
}
# Equal objects with an attribute of their own, named as their base so that they read as it.
CARRIERS = {t: type(t.__name__, (t,), {"__module__": "builtins"}) for t in (int, float, str, list)}
COPIES = {int: lambda v: int(str(v)), float: lambda v: v * 1.0, str: lambda v: v.encode().decode()}
COPIES.update({list: list, np.ndarray: np.copy, datetime.timedelta: lambda v: v * 1})
MISSING = object()


def draw_change(rng, moment):
    """One change as plain data; at a finalizer ("gc") only one that changes nothing."""
    kinds = ("global", "registry", "registry", "table", "table", "stop", "class")
    kinds = [k for k in kinds if k in KINDS and (k != "stop" or moment != "gc")]
    kind = rng.choice(kinds) if kinds else None
    return kind and (kind, *(rng.randrange(c) if c == 99 else rng.choice(c) for c in CHOICES[kind]))


def make_fuzz_plan(seed):
    """A deal scenario with changes between its calls and at some user callbacks; the
    collector's threshold and the finalizers' budget and seed; whether the host classes'
    methods are recorded (which makes the engine call them as host code: a quarter of
    the runs, the others keep the engine's own shortcuts)."""
    rng = random.Random(f"context fuzz {seed}")
    plan = diff.make_plan(seed, rng.choice(("deal", "deal", "bar_fills")))
    ops = []
    for op in plan["ops"]:
        ops += [("change", draw_change(rng, "between")) for _ in range(rng.choice((0, 1, 1, 2, 3)))]
        ops.append(op)
    plan.update(
        ops=ops,
        in_callbacks={
            rng.randint(1, 10): draw_change(rng, "callback") for _ in range(rng.randint(0, 4))
        },
    )
    plan.update(gc=(rng.choice((1, 2, 5, 20, 100)), rng.randint(0, 60), rng.randrange(2**32)))
    plan["recorded"] = rng.random() < 0.25
    return plan


def subclass(cls, **members):
    """A subclass of ``cls`` that reads as it (its names), with ``members``."""
    namespace = {"__slots__": (), "__qualname__": cls.__qualname__, "__module__": cls.__module__}
    return type(cls.__name__, (cls,), {**namespace, **members})


def equal(value, fuzz, carrier=False, wrap=True):
    """An object that reads and behaves as ``value``, not ``value`` itself where it can."""
    kind = type(value).__base__ if type(value) in CARRIERS.values() else type(value)
    if carrier and kind in CARRIERS:
        copy = CARRIERS[kind](value)
        copy.hook = Tripwire(fuzz)
        return copy
    if kind in COPIES:
        return COPIES[kind](value)
    if wrap and isinstance(value, type):
        return subclass(value)
    if wrap and callable(value) and not isinstance(value, types.ModuleType):
        return lambda *args, **kwargs: value(*args, **kwargs)
    return value


def plain_store(owner, name, value):
    """``owner.<name> = value``, a plain attribute store of fresh Python code that the
    interpreter has specialised first on a scratch copy of ``owner`` (an instance of a
    Python class: on 3.11 and 3.12 the old value is then released before its dict's
    version moves on)."""
    namespace = {}
    exec(f"def store(owner, value):\n    owner.{name} = value", namespace)
    if type(type(owner).__init__) is types.FunctionType:
        scratch = object.__new__(type(owner))
        scratch.__dict__ = dict(vars(owner))
        for _ in range(2):
            namespace["store"](scratch, None)
    namespace["store"](owner, value)


def plain_entry(entry):
    return {key: value for key, value in entry.items() if type(key) is str}


class LabelKey:
    """An extra key of a contract entry that hashes like a label; compared with the
    label (once), it puts an equal entry in its table slot and tells they differ."""

    def __init__(self, fuzz, label, where):
        self.fuzz, self.label, self.where, self.armed = fuzz, label, where, False

    def __hash__(self):
        return hash(self.label)

    def __eq__(self, other):
        slot, variant, generation = self.where
        table = _history._target_info_v2
        if self.armed and self.fuzz.world() is not None and slot < len(table):
            self.armed = False
            self.fuzz.reached.add(("label key compared",))
            then = (slot, variant if generation < 3 else "copy", generation + 1)
            table[slot] = self.fuzz.entry(plain_entry(table[slot]), self.label, then)
            # New dicts, kept for the run, may take the place of the entry just freed (a
            # comprehension's dicts come from the interpreter's free list, dict.fromkeys's not).
            self.fuzz.scrap.append([{label: 7 for label in LABELS} for _ in range(4)])  # noqa: C420
        return False


class Tripwire:
    """Held by a carrier: when the carrier is freed, probes the module under test."""

    def __init__(self, fuzz):
        self.fuzz = fuzz

    def __del__(self):
        self.fuzz.probe()


class Garbage:
    """Cyclic garbage whose finalizer makes a change that changes nothing, and leaves
    garbage of its own while the run's budget lasts."""

    def __init__(self, fuzz):
        self.fuzz, self.cycle = fuzz, self

    def __del__(self):
        fuzz = self.fuzz
        if fuzz.budget <= 0 or fuzz.busy or fuzz.world() is None:
            return
        fuzz.budget, fuzz.busy = fuzz.budget - 1, True
        try:
            fuzz.apply(draw_change(fuzz.rng, "gc"), "gc")
        except Exception as exc:  # a change that changes nothing cannot fail
            fuzz.findings.append(("finalizer's change failed", type(exc).__name__, str(exc)))
        finally:
            fuzz.busy = False
        Garbage(fuzz)


class Fuzz:
    """The changes of one run (of one module), and what its finalizers found."""

    def __init__(self, plan, subject):
        self.plan, self.subject, self.world = plan, subject, lambda: None
        self.rng, self.budget = random.Random(plan["gc"][2]), plan["gc"][1]
        self.busy = self.probing = False
        self.findings, self.reached, self.scrap = [], set(), []

    def entry(self, plain, label, where):
        """An entry equal to ``plain``: sparse (its copy is no clone) and/or with a LabelKey."""
        variant = where[1]
        key = LabelKey(self, label, where) if "key" in variant else None
        entry = {key: None} if variant in ("key_first", "sparse_key") else {}
        pads = [("pad", k) for k in range(2 * len(plain) + 4)] * variant.startswith("sparse")
        entry.update({**dict.fromkeys(pads, 0), **plain})
        if variant == "key_last":
            entry[key] = None
        for pad in pads:
            del entry[pad]
        if key is not None:
            key.armed = True
        return entry

    def probe(self):
        """The module under test and the twin, called now: a fill time and an order
        report (which the user callback sees); they must agree.  Host calls kept out."""
        world = self.world()
        if world is None or self.probing:
            return
        self.probing = True
        self.reached.add(("probe",))
        mark, callbacks, outcomes, seen = len(HOST_CALLS), world.callbacks, set(world.outcomes), []
        cache = world.vr.g_KorvitCache
        filled_times = cache.min_sec_filled_time
        try:
            for module in (self.subject, twin):
                world.callbacks = -1  # never the one that fails
                try:
                    pos, t = world.vr.g_KorvitSimCurBarFresh, world.plan["times"][0]
                    result = canon(module._get_filled_time(pos, t, 0))
                    result = result, module._back_test_call_on_order_status(world.orders[0])
                except Exception as exc:
                    result = type(exc).__name__
                user = [e for e in HOST_CALLS[mark:] if e[1][:1] == [canon("user")]]  # callbacks
                seen.append((result, user))
                del HOST_CALLS[mark:]
        finally:
            world.callbacks, world.outcomes, self.probing = callbacks, outcomes, False
            cache.min_sec_filled_time = filled_times
        if seen[0] != seen[1]:
            self.findings.append(("probe", *seen))

    def apply(self, change, moment):
        if change is None:
            return
        world, (kind, *args) = self.world(), change
        self.reached.add((kind, moment))
        if kind == "global":
            where, pick, wrap = args
            module = {"subject": self.subject, "history": _history, "framekit": framekit}[where]
            name = GLOBALS[where][pick % len(GLOBALS[where])]
            value = vars(module).get(name, getattr(builtins, name, MISSING))  # (builtins shadowed)
            if value is not MISSING:
                setattr(module, name, equal(value, self, wrap=wrap))
        elif kind == "registry":
            where, pick, how = args
            vr, name = world.vr, REGISTRY[where][pick % len(REGISTRY[where])]
            owner = getattr(vr, where) if where != "vr" else vr
            if how == "dict":
                owner.__dict__ = dict(vars(owner))
            elif how == "extra":
                setattr(owner, f"note{pick % 5}", pick)
            elif name in vars(owner):
                copy = equal(getattr(owner, name), self, carrier=how == "carrier")
                plain_store(owner, name, copy)
        elif kind == "table":
            pick, variant, label = args
            if table := _history._target_info_v2:
                slot = pick % len(table)
                table[slot] = self.entry(plain_entry(table[slot]), label, (slot, variant, 0))
        elif kind == "stop" and world.stops:
            pick, target, other, route = args
            stop, orders = world.stops[pick % len(world.stops)], world.orders
            new = {"nan": math.nan, "unknown": 99}.get(target) or orders[
                other % len(orders)
            ].order_id
            if route == "attr":
                stop.target_order_id = new
            elif route == "setattr":
                setattr(stop, TARGET, new)
            elif route == "object":
                object.__setattr__(stop, TARGET, new)
            elif route == "member":  # the base type's __set__ is refused, the field's own counts
                field = KVBackStopOrder.__dict__[TARGET]
                try:
                    types.MemberDescriptorType.__set__(field, stop, new)
                except AttributeError:
                    field.__set__(stop, new)
                else:
                    raise AssertionError("a write went around the counting descriptor")
            else:  # to a subclass (whose target may read as `new`) and back
                moved = {TARGET: property(lambda _: new)} if route == "class_target" else {}
                back = type(stop) is not KVBackStopOrder
                cls = KVBackStopOrder if back else subclass(KVBackStopOrder, **moved)
                object.__dict__["__class__"].__set__(stop, cls)
        elif kind == "class" and args[0] == "marker":
            cls = MARKED[args[1] % len(MARKED)]
            if "fuzz_marker" in vars(cls):
                del cls.fuzz_marker
            else:
                cls.fuzz_marker = args[1]
        elif kind == "class" and args[0] == "method":
            cls, name = METHODS[args[1] % len(METHODS)]
            setattr(cls, name, passed_on(cls, name, log=moment != "gc"))
        elif kind == "class":
            name = CONSTANTS[args[1] % len(CONSTANTS)]
            setattr(gv, name, equal(getattr(gv, name), self))


def passed_on(cls, name, log):
    """A method calling ``cls.<name>`` as it is now, each call a host call when ``log``
    (a change at a moment both runs share)."""
    original = getattr(cls, name)

    def method(self, *args, **kwargs):
        if log:
            HOST_CALLS.append(canon(("passed on", cls.__name__, name)))
        return original(self, *args, **kwargs)

    return method


CURRENT = None  # the Fuzz of the run being made


class FuzzWorld(diff.World):
    """The differential world, with the changes of its plan and of its finalizers."""

    def __init__(self, plan, subject):
        super().__init__(plan, subject)
        self.fuzz, self.seen_callbacks = CURRENT, 0
        self.fuzz.world = weakref.ref(self)
        for _ in range(min(8, plan["gc"][1])):
            Garbage(self.fuzz)

    def apply(self, op):
        return self.fuzz.apply(op[1], "between") if op[0] == "change" else super().apply(op)

    def callback(self, kind, context, snap):
        if not self.fuzz.probing:
            self.seen_callbacks += 1
            self.fuzz.apply(self.plan["in_callbacks"].get(self.seen_callbacks), "callback")
        return super().callback(kind, context, snap)


def fuzz_run(plan, subject):
    """diff.run of ``plan`` with its changes; all they rebound is put back afterwards."""
    global CURRENT
    modules = {"subject": subject, "history": _history, "framekit": framekit}
    rebound = [(modules[where], name) for where, names in GLOBALS.items() for name in names]
    rebound += (
        METHODS + [(cls, "fuzz_marker") for cls in MARKED] + [(gv, name) for name in CONSTANTS]
    )
    with diff.recording_host() if plan["recorded"] else contextlib.nullcontext():
        saved = [(owner, name, vars(owner).get(name, MISSING)) for owner, name in rebound]
        threshold, CURRENT = gc.get_threshold(), Fuzz(plan, subject)
        fuzz = CURRENT
        gc.set_threshold(plan["gc"][0], *threshold[1:])
        try:
            out = diff.run(plan, subject, FuzzWorld)
        finally:
            fuzz.world, CURRENT = lambda: None, None
            gc.set_threshold(*threshold)
            for owner, name, value in reversed(saved):
                if value is not MISSING and vars(owner).get(name, MISSING) is not value:
                    setattr(owner, name, value)
                elif value is MISSING and name in vars(owner):
                    delattr(owner, name)
            _history.clear()
    out["found by finalizers"] = fuzz.findings
    # What the differential world notes of a run (a stop armed within a deal, ...) is read
    # while it runs, so it also sees when a carrier's finalizer happened to call the
    # modules; the records, host calls and accounts at the end are what must agree.
    del out["outcomes"]
    REACHED.update(fuzz.reached)
    return out


def differences(seed):
    return diff.compare(make_fuzz_plan(seed), fuzz_run)[1]


# ------------------------------------------------------------------ tests

REACHED = set()
# What the default cases (and more) reach: each kind of change at each of its moments,
# carriers freed and label keys compared.
MUST_REACH = {
    (k, m) for k in KINDS for m in ("between", "callback", "gc") if (k, m) != ("stop", "gc")
}
MUST_REACH |= {("probe",)} if "registry" in KINDS else set()
MUST_REACH |= {("label key compared",)} if "table" in KINDS else set()


def test_deals_agree_under_context_changes():
    REACHED.clear()
    failing = {seed: found for seed in range(CASES) if (found := differences(seed))}
    assert not failing, (
        f"{len(failing)} of {CASES} seeds differ, {list(failing)} (one alone: python "
        f"tests/test_engine_context_fuzz.py --seeds N:N+1); the first:\n"
        + "\n".join(next(iter(failing.values())))
    )
    assert CASES < 60 or not MUST_REACH - REACHED, f"never reached: {MUST_REACH - REACHED}"


def test_the_twin_does_not_see_when_the_collector_runs():
    """The finalizers change nothing: a twin's run of a seed is the same under another
    threshold of the collector and other changes of the finalizers."""
    for seed in range(0, CASES, 10):
        plan = make_fuzz_plan(seed)
        other = dict(plan, gc=(101 - plan["gc"][0], plan["gc"][1] // 2 + 30, plan["gc"][2] + 1))
        assert fuzz_run(plan, twin) == fuzz_run(other, twin), seed


# ------------------------------------------------------------------ long runs, in child interpreters


def child_run(first, end, keep_going):
    """Runs seeds ``first`` to ``end`` in a child interpreter whose allocator checks each
    free (a use after free then crashes at once); returns the seeds that differ, the
    seed it crashed at (None if none) and the crash's report."""
    command = [
        sys.executable,
        "-X",
        "faulthandler",
        __file__,
        "--child",
        "--seeds",
        f"{first}:{end}",
    ]
    with tempfile.TemporaryFile("w+") as errors:
        child = subprocess.Popen(
            command + ["--all"] * keep_going,
            stdout=subprocess.PIPE,
            stderr=errors,
            text=True,
            env={"PYTHONMALLOC": "debug", **os.environ},
        )
        failed, current = [], None
        for line in child.stdout:
            if line.startswith("seed ") and not line.rstrip().endswith("differs:"):
                current = int(line.split()[1])
                continue
            failed += [current] * line.startswith("seed ")
            print(line, end="", flush=True)
        crashed = child.wait() < 0
        errors.seek(0)
        report = errors.read().partition("Fatal Python error")[2].splitlines()[:14]
    return failed, current if crashed else None, [f"signal {-child.returncode}", *report]


def main(argv):
    parser = argparse.ArgumentParser(description="Context fuzzing of the engine against its twin.")
    parser.add_argument("--seeds", required=True, help="a range of seeds, FIRST:END")
    parser.add_argument("--all", action="store_true", help="go on past failures")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    first, end = map(int, args.seeds.split(":"))
    if args.child:
        for seed in range(first, end):
            print(f"seed {seed}", flush=True)
            if found := differences(seed):
                print(f"seed {seed} differs:", *found, sep="\n  ", flush=True)
                if not args.all:
                    return 1
        return 0
    failed = []
    while first < end:  # each child runs from `first` on, until it ends or crashes
        differ, crashed, report = child_run(first, end, args.all)
        failed += differ
        if crashed is None:
            break
        failed.append(crashed)
        alone = (
            "alone too" if child_run(crashed, crashed + 1, False)[1] is not None else "not alone"
        )
        print(f"seed {crashed} crashed the interpreter ({alone}):", *report, sep="\n  ", flush=True)
        if not args.all:
            break
        first = crashed + 1
    print(f"failing seeds: {failed}" if failed else f"no failure in seeds {args.seeds}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
