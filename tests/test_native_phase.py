"""The compiled run-phase manager and time conversion (korvit.native) against
their Python twins: random programs of phase entries, nesting, errors and log
reads give the same phases, logs, results and errors; random time values of
every type give the same date-times or the same errors, word for word; whole
backtests give the same result frames."""

import functools
import gc
import inspect
import math
import random
import re
import struct
import sys
import traceback
import warnings
import weakref
from decimal import Decimal
from fractions import Fraction
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import korvit.backtest.loop as loop
from korvit import native
from korvit.backtest import domain, run
from korvit.data import sample_path
from korvit.tframe import uclass
from korvit.tframe.sysdefine import GlobalDefine as gv
from korvit.tframe.uclass import PySystemModeMgr, SystemModeMgr
from korvit.tframe.utils import datetimefunc
from korvit.tframe.utils.datetimefunc import _py_mft_to_datetime, mft_to_datetime

EXAMPLES = Path(__file__).resolve().parent.parent / "examples" / "strategies"
PHASES = [
    gv.RUMMODE_PHASE_IDLE,
    gv.RUMMODE_PHASE_USERINIT,
    gv.RUMMODE_PHASE_ONDATA,
    gv.RUMMODE_PHASE_DEAL_TRADE,
]
ODD_PHASES = [7, -1, "x", None, 1.0, True, np.int64(2), [1]]


class Boom(Exception):
    pass


def outcome(fn):
    try:
        return "ok", fn()
    except Exception as e:
        return "error", type(e), str(e)


def logged(base):
    """A manager whose `_log` keeps what it saw and refuses some entries."""

    class Logged(base):
        LOG_LIMIT = 5

        def __init__(self):
            super().__init__()
            self.seen = []

        def _log(self, phase):
            self.seen.append((phase, self.current_phase))
            if phase == gv.RUMMODE_PHASE_ONDATA and len(self.seen) % 4 == 0:
                raise RuntimeError("log refused")
            super()._log(phase)

    return Logged


def play(mgr, seed, steps=40):
    """A random program of entries, nested calls, errors and reads; its trace."""
    rng = random.Random(seed)
    trace, made = [], {}

    def body(depth, *args, **kwargs):
        trace.append(("in", mgr.current_phase, depth, args, kwargs))
        if rng.random() < 0.2:
            mgr.current_phase = rng.choice(PHASES)
        if depth < 3:
            for _ in range(rng.randrange(3)):
                step(depth + 1)
        if rng.random() < 0.15:
            raise Boom(depth)
        return depth * 10

    class Unhashable:
        __hash__ = None

        def __call__(self, *args, **kwargs):
            return body(*args, **kwargs)

    class Holder:
        def method(self, *args, **kwargs):
            return body(*args, **kwargs)

    def f0(*args, **kwargs):
        return body(*args, **kwargs)

    def f1(depth, *args, **kwargs):
        return body(depth, *args, **kwargs)

    inner = mgr.enter_phase(gv.RUMMODE_PHASE_ONDATA)(f0)
    targets = [f0, f1, Unhashable(), Holder().method, functools.partial(f1), inner, None, 42]

    def step(depth):
        op = rng.random()
        if op < 0.1:
            trace.append(("log", mgr.phase_log))
            return
        if op < 0.15:
            mgr.current_phase = rng.choice(PHASES)
            return
        kind = rng.choice(["enter_phase", "force_phase"])
        phase = rng.choice(ODD_PHASES) if rng.random() < 0.1 else rng.choice(PHASES)
        target = rng.randrange(len(targets))
        factory = outcome(lambda: getattr(mgr, kind)(phase))
        if factory[0] == "error":
            trace.append(("factory", factory))
            return
        wrapper = outcome(lambda: factory[1](targets[target]))
        if wrapper[0] == "error":
            trace.append(("wrap", wrapper))
            return
        key = (kind, repr(phase), target)
        trace.append(("cached", made.get(key) is wrapper[1]))
        made[key] = wrapper[1]
        kwargs = {"k": rng.random()} if rng.random() < 0.3 else {}
        result = outcome(lambda: wrapper[1](depth, rng.randrange(5), **kwargs))
        trace.append(("call", result, mgr.current_phase, mgr.phase_log))

    for _ in range(steps):
        step(0)
    return trace


@pytest.mark.parametrize("seed", range(40))
@pytest.mark.parametrize("make", [lambda base: base, logged], ids=["plain", "logged"])
def test_random_programs_run_as_with_the_twin(make, seed):
    got, want = make(SystemModeMgr)(), make(PySystemModeMgr)()
    assert play(got, seed) == play(want, seed)
    assert (got.phase_log, got.current_phase) == (want.phase_log, want.current_phase)
    assert getattr(got, "seen", None) == getattr(want, "seen", None)


def test_the_public_manager_is_the_native_one():
    assert uclass.SystemModeMgr is native.SystemModeMgr
    assert loop.SystemModeMgr is native.SystemModeMgr
    mgr = SystemModeMgr()
    assert mgr.phase_log is not mgr.phase_log and mgr.LOG_LIMIT == PySystemModeMgr.LOG_LIMIT
    mgr.extra = 1  # instances take attributes, as the twin's do
    assert vars(mgr) == {"extra": 1}


def _example(x, y=2):
    """An example callback."""
    return x, y


_example.marker = "kept"


class _Calls:
    def __call__(self, *args):
        return args


@pytest.mark.parametrize(
    "func",
    [_example, functools.partial(_example, 1), _Calls(), print, dict.get],
    ids=["function", "partial", "instance", "builtin", "method_descriptor"],
)
def test_wrappers_carry_what_functools_wraps_gives(func):
    got = SystemModeMgr().enter_phase(gv.RUMMODE_PHASE_ONDATA)(func)
    want = PySystemModeMgr().enter_phase(gv.RUMMODE_PHASE_ONDATA)(func)
    # A callable without a qualified name or module leaves the wrapper's own,
    # which name where each is defined; everything else is the callable's.
    names = ["__wrapped__", "__name__", "__doc__", "marker"] + [
        name for name in ("__qualname__", "__module__") if hasattr(func, name)
    ]
    for name in names:
        assert getattr(got, name, "missing") == getattr(want, name, "missing"), name
    assert outcome(lambda: inspect.signature(got)) == outcome(lambda: inspect.signature(want))


def test_wrappers_bind_as_methods_like_functions():
    def method(self, x):
        return type(self).__name__, x

    for mgr in (SystemModeMgr(), PySystemModeMgr()):
        wrapper = mgr.force_phase(gv.RUMMODE_PHASE_DEAL_TRADE)(method)

        class Owner:
            pass

        Owner.m = wrapper
        assert Owner.m is wrapper
        assert (Owner().m(5), Owner.m(Owner(), 6)) == (("Owner", 5), ("Owner", 6))
        assert mgr.phase_log == [gv.RUMMODE_PHASE_DEAL_TRADE] * 2


def test_errors_of_the_manager_name_the_native_function():
    mgr = SystemModeMgr()
    with pytest.raises(TypeError, match="^cannot run 42 in a phase: not callable$") as info:
        mgr.enter_phase(gv.RUMMODE_PHASE_ONDATA)(42)
    assert "korvit.native.SystemModeMgr.factory" in "".join(traceback.format_tb(info.tb))
    with pytest.raises(ValueError, match=r"^unknown run phase 'x'$") as info:
        mgr.force_phase("x")
    assert "korvit.native.SystemModeMgr.force_phase" in "".join(traceback.format_tb(info.tb))


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((_example, 1), {}),
        ((), {"func": _example, "x": 1}),
        ((_example,), {"func": _example}),
        ((), {"f": _example}),
    ],
)
def test_factories_reject_other_arguments_as_the_twin_does(args, kwargs):
    def error(mgr):
        with pytest.raises(TypeError) as info:
            mgr.enter_phase(gv.RUMMODE_PHASE_ONDATA)(*args, **kwargs)
        return str(info.value).split("factory()")[1]  # the twin's names its closure in full

    assert error(SystemModeMgr()) == error(PySystemModeMgr())
    assert SystemModeMgr().enter_phase(gv.RUMMODE_PHASE_ONDATA)(func=_example)(3) == (3, 2)


def test_deep_nesting_ends_in_a_recursion_error_and_nothing_leaks():
    for cls in (SystemModeMgr, PySystemModeMgr):
        mgr = cls()
        func = _example
        for _ in range(sys.getrecursionlimit() + 100):
            func = mgr.enter_phase(gv.RUMMODE_PHASE_ONDATA)(func)
        with pytest.raises(RecursionError):
            func(1)
        assert mgr.current_phase == gv.RUMMODE_PHASE_IDLE

    def callback(*args, **kwargs):
        if "bad" in kwargs:
            raise Boom(args)
        return args

    mgr = SystemModeMgr()
    wrapper = mgr.enter_phase(gv.RUMMODE_PHASE_DEAL_TRADE)(callback)
    counts = []
    for _ in range(3):  # the first round fills the log, which holds the phase
        for _ in range(mgr.LOG_LIMIT):
            mgr.enter_phase(gv.RUMMODE_PHASE_DEAL_TRADE)(callback)(1, x=2)
            outcome(
                lambda: mgr.enter_phase(gv.RUMMODE_PHASE_DEAL_TRADE)(callback)(  # noqa: F821 - bound until the del below
                    1, 2, 3, {}, bad=object()
                )
            )
        counts.append((sys.getrefcount(callback), sys.getrefcount(gv.RUMMODE_PHASE_DEAL_TRADE)))
    assert counts[1] == counts[2]
    gone = weakref.ref(mgr), weakref.ref(wrapper)
    del mgr, wrapper
    gc.collect()
    assert [ref() for ref in gone] == [None, None]


def _nested(cls, depth):
    mgr, func = cls(), _example
    for _ in range(depth):
        func = mgr.enter_phase(gv.RUMMODE_PHASE_ONDATA)(func)
    return func


def _at_python_depth(depth, fn):
    """fn() called `depth` Python frames below this one."""
    return fn() if depth <= 0 else _at_python_depth(depth - 1, fn)


@pytest.mark.parametrize("limit", [300, 800])
def test_nesting_obeys_the_recursion_limit_set_and_shares_it_with_python_calls(limit):
    # Native levels count against sys.setrecursionlimit together with Python
    # frames, as the twin's frames do, on every Python (3.12 gave native
    # recursion a fixed limit of its own); none is left taken after an error.
    old = sys.getrecursionlimit()
    base = len(inspect.stack(0))
    sys.setrecursionlimit(limit)
    try:
        for cls in (SystemModeMgr, PySystemModeMgr):
            shallow, deep = _nested(cls, limit // 2), _nested(cls, limit + 50)
            for _ in range(2):
                assert shallow(1) == (1, 2)
                with pytest.raises(RecursionError):
                    deep(1)
            assert _at_python_depth(limit // 2 - base - 20, lambda: shallow(1)) == (1, 2)
            with pytest.raises(RecursionError):
                _at_python_depth(limit - base - limit // 4, lambda: shallow(1))
    finally:
        sys.setrecursionlimit(old)


# ---------------------------------------------------------------- time values


def _times(rng, count):
    """Doubles of every sort: in range, ties at half a microsecond, their
    neighbours, tiny, huge, from random bits (NaN, infinities)."""
    out = []
    for _ in range(count):
        kind = rng.randrange(7)
        if kind == 0:
            out.append(rng.uniform(-6.2e10, 2.5e11))
        elif kind == 1:
            # odd / 128 s is an odd number of half microseconds: a tie
            out.append(
                rng.randrange(-(10**9), 4 * 10**9)
                + rng.randrange(1, 256, 2) / rng.choice([128, 256])
            )
        elif kind == 2:
            tie = rng.randrange(-(10**9), 4 * 10**9) + rng.randrange(1, 128, 2) / 128
            out.append(math.nextafter(tie, rng.choice([-math.inf, math.inf])))
        elif kind == 3:
            out.append(rng.uniform(-1, 1) * 10.0 ** rng.randrange(-320, 6))
        elif kind == 4:
            out.append(struct.unpack("<d", rng.randbytes(8))[0])
        elif kind == 5:
            out.append(
                rng.choice(
                    [
                        -62135596800.0,
                        253402300799.9999995,
                        253402300800.0,
                        -62135596800.0000005,
                        math.nan,
                        math.inf,
                        -math.inf,
                        -0.0,
                        5e-7,
                        -5e-7,
                        1.5e-6,
                        2.5e-6,
                    ]
                )
            )
        else:
            out.append(rng.uniform(1.6e9, 1.8e9))
    return out


def _ints(rng, count):
    return [
        rng.choice(
            [
                rng.randrange(-62135596800, 253402300800),
                rng.randrange(-(2**64), 2**64),
                rng.randrange(-(10**40), 10**40),
                rng.randrange(253402300790, 253402300810),
            ]
        )
        for _ in range(count)
    ]


def same_as_twin(values):
    got, want = (
        outcome(lambda: mft_to_datetime(values)),
        outcome(lambda: _py_mft_to_datetime(values)),
    )
    if got[0] == want[0] == "ok":
        assert [(type(d), d) for d in got[1]] == [(type(d), d) for d in want[1]], values
    else:
        assert got == want, values


@pytest.mark.parametrize("seed", range(12))
def test_random_time_values_convert_as_with_the_twin(seed):
    rng = random.Random(seed)
    floats, ints = _times(rng, 300), _ints(rng, 50)
    scalars = [np.float64, np.float32, np.float16, np.int64, np.int32, np.uint64, np.int8, np.bool_]
    for value in floats + ints + [True, False]:
        same_as_twin([value])
        for kind in scalars:
            with np.errstate(all="ignore"), warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)  # numpy 1.x: out-of-range ints
                converted = outcome(lambda: kind(value))
            if converted[0] == "ok":
                same_as_twin((converted[1],))
    same_as_twin(floats)
    same_as_twin(tuple(ints))
    same_as_twin([rng.choice(floats + ints) for _ in range(20)])


@pytest.mark.parametrize(
    "dtype",
    [
        "f8",
        "f4",
        "f2",
        "i8",
        "i4",
        "i2",
        "i1",
        "u8",
        "u4",
        "u2",
        "u1",
        "?",
        ">f8",
        "<i8",
        "g",
        "c16",
        "O",
        "M8[s]",
        "U3",
    ],
)
def test_arrays_of_every_dtype_and_shape_convert_as_with_the_twin(dtype):
    rng = random.Random(dtype)
    values = _times(rng, 24)
    for base in (
        np.array(values),
        np.array([rng.randrange(-(10**12), 10**12) for _ in range(24)]),
        np.array([rng.randrange(0, 300) for _ in range(24)]),
    ):
        with np.errstate(all="ignore"):
            converted = outcome(lambda: base.astype(dtype))
        if converted[0] == "error":
            continue
        arr = converted[1]
        for shaped in (
            arr,
            arr.reshape(4, 6),
            arr.reshape(2, 3, 4),
            arr.reshape(4, 6).T,
            arr[::3],
            arr[:0],
            arr[5:6].reshape(()),
        ):
            same_as_twin(shaped)


def _matrix():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PendingDeprecationWarning)
        return np.matrix([[1.0, 2.0]])


@pytest.mark.parametrize(
    "values",
    [
        1.0,
        None,
        "1.5",
        {1.5: 2},
        np.float64(1.0),
        iter([1.0]),
        range(3),
        [None],
        ["x"],
        [1 + 2j],
        [Decimal("1.5")],
        [Fraction(3, 2)],
        [np.longdouble(1.5)],
        [np.complex64(1)],
        [np.datetime64(5, "s")],
        [[1.0]],
        [np.array(1.0)],
        _matrix(),
        [np.str_("1")],
        [type("F", (float,), {})(1.5)],
        [type("I", (int,), {})(2)],
        type("L", (list,), {})([1.0, np.nan]),
        type("T", (tuple,), {})((2.5e-6,)),
        np.array([1.5, "x"], dtype=object),
        [1.0, np.nan, "x"],
        [np.bool_(True)],
        [np.uint64(2**64 - 1)],
        [10**400],
        [float(2**39)],
        [-float(2**39)],
    ],
    ids=lambda v: re.sub(r" at 0x[0-9a-f]+", "", repr(v)),  # the same ids in every test worker
)
def test_unusual_arguments_behave_as_with_the_twin(values):
    same_as_twin(values)


def test_every_user_gets_the_native_conversion():
    assert datetimefunc.mft_to_datetime is native.mft_to_datetime
    assert domain.mft_to_datetime is native.mft_to_datetime
    with pytest.raises(ValueError, match=r"^a time value must be finite, got nan$") as info:
        mft_to_datetime([np.float32("nan")])
    assert "korvit.native.mft_to_datetime" in "".join(traceback.format_tb(info.tb))


# ---------------------------------------------------------------- backtests


@pytest.mark.parametrize(
    "example, data, extra",
    [
        ("ma_cross.py", "daily.csv", {}),
        ("futures_breakout.py", "minute.csv", {"ticks": sample_path("ticks.csv")}),
    ],
)
def test_whole_backtests_give_the_same_results_with_the_twins(monkeypatch, example, data, extra):
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
    used = []

    class Counted(PySystemModeMgr):
        def _log(self, phase):
            used.append("phase")
            super()._log(phase)

    def converted(values):
        used.append("time")
        return _py_mft_to_datetime(values)

    monkeypatch.setattr(loop, "SystemModeMgr", Counted)
    monkeypatch.setattr(domain, "mft_to_datetime", converted)
    python_results = results()
    assert len(native_results[2]) > 0 and {"phase", "time"} <= set(used)
    for got, want in zip(native_results, python_results):
        pd.testing.assert_frame_equal(got, want, check_exact=True)
