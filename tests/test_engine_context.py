"""The engine reads contract data, record columns and the like straight from the
objects it knows while they are exactly its own.  Whatever a host installs in the
middle of a run (inside a bar, from a callback the engine calls, or between bars) is
obeyed from that point on: the results and the host calls seen equal the plain-Python
twin's."""

import importlib.util
from pathlib import Path

from _pytest.monkeypatch import MonkeyPatch
from hypothesis import given, settings
from hypothesis import strategies as st

import korvit.tframe.framekit as framekit
from korvit.api.history import _history
from korvit.backtest.model.orders import KVBackTradeCollect
from korvit.native import CollectBase
from korvit.tframe.sysdefine import GlobalDefine as gv

# The world, the twin and the run of both of the shortcuts' tests.
_spec = importlib.util.spec_from_file_location(
    "engine_shortcuts_world", Path(__file__).resolve().parent / "test_engine_shortcuts.py"
)
shortcuts = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(shortcuts)
Account, deal_three_bars, run_both, transact = (
    shortcuts.Account,
    shortcuts.deal_three_bars,
    shortcuts.run_both,
    shortcuts.transact,
)


def recorder(log, name, function):
    def call(*args, **kwargs):
        log.append((name, [repr(a) for a in args], sorted((k, repr(v)) for k, v in kwargs.items())))
        return function(*args, **kwargs)

    return call


CONTRACT = {
    "MinMove": 0.05,
    "Multiple": 1,
    "LongMargin": 0.1,
    "ShortMargin": 0.1,
    "TradingFeeOpen": 0.0002,
    "TradingFeeClose": 0.0002,
    "LotSize": 50,
    "CommissionRate": 0.001,
    "MinTradeFee": 5.0,
}


def _fixed_reader(target_indices):
    return [
        dict(
            MinMove=0.5,
            Multiple=1,
            LongMargin=0.1,
            ShortMargin=0.1,
            TradingFeeOpen=0.0003,
            TradingFeeClose=0.0003,
        )
        for _ in target_indices
    ]


# Each swap installs another object where the engine reads one of its own; the
# recording ones also log each call they see.


def reader_recorded(subject, vr, log, mp):
    mp.setattr(
        subject,
        "get_target_info_v2",
        recorder(log, "get_target_info_v2", _history.get_target_info_v2),
    )


def reader_code_replaced(subject, vr, log, mp):
    mp.setattr(_history.get_target_info_v2, "__code__", _fixed_reader.__code__)


def store_refilled(subject, vr, log, mp):
    _history.set_target_info_v2([CONTRACT] * len(_history._target_info_v2))


def table_rebound(subject, vr, log, mp):
    mp.setattr(
        _history,
        "_target_info_v2",
        [dict(CONTRACT, MinMove=0.25) for _ in _history._target_info_v2],
    )


def table_entry_not_a_dict(subject, vr, log, mp):
    class Entry(dict):
        def copy(self):
            log.append(("copy", sorted(self)))
            return dict(self)

    mp.setattr(_history, "_target_info_v2", [Entry(e) for e in _history._target_info_v2])


def builtin_shadowed(subject, vr, log, mp):
    mp.setattr(_history, "len", recorder(log, "len", len), raising=False)


def collection_class_recorded(subject, vr, log, mp):
    class Recorded(CollectBase):
        obj_attr_value = staticmethod(recorder(log, "obj_attr_value", CollectBase.obj_attr_value))

    mp.setattr(subject, "cb", Recorded)


def gv_constant_changed(subject, vr, log, mp):
    mp.setattr(gv, "OrderAct_Buy", 7)


def account_replaced(subject, vr, log, mp):
    account = Account("acct", 5e4)
    account.log = log
    vr.g_KorvitAccounts[0] = account


def trades_replaced(subject, vr, log, mp):
    vr.g_KVTrades = KVBackTradeCollect()


def trades_shadowed_by_the_registry_class(subject, vr, log, mp):
    trades = KVBackTradeCollect()  # a property of the class wins over the registry's own value
    mp.setattr(type(vr), "g_KVTrades", property(lambda self: trades), raising=False)


def registry_dict_replaced(subject, vr, log, mp):
    vr.__dict__ = {**vr.__dict__, "g_KVTrades": KVBackTradeCollect()}


def registry_dict_given_a_key_not_a_name(subject, vr, log, mp):
    vr.__dict__[("not", "a", "name")] = None
    vr.g_KVTrades = KVBackTradeCollect()


def bars_replaced(subject, vr, log, mp):
    for k_data in vr.g_KorvitKDataList:  # every bar 1 % dearer, times kept
        matrix = k_data.Matrix.copy()
        matrix[gv.KMatrixPos_Head_len :] *= 1.01
        k_data.Matrix = matrix


def setting_changed(subject, vr, log, mp):
    vr.g_KorvitSettingInfo.MarginRate = 0.5


def bar_reader_recorded(subject, vr, log, mp):
    env = framekit.env
    mp.setattr(env, "get_bar_field", recorder(log, "get_bar_field", env.get_bar_field))


def margin_reader_recorded(subject, vr, log, mp):
    env = framekit.env
    mp.setattr(env, "get_margin_rate", recorder(log, "get_margin_rate", env.get_margin_rate))


SWAPS = [
    reader_recorded,
    reader_code_replaced,
    store_refilled,
    table_rebound,
    table_entry_not_a_dict,
    builtin_shadowed,
    collection_class_recorded,
    gv_constant_changed,
    account_replaced,
    trades_replaced,
    trades_shadowed_by_the_registry_class,
    registry_dict_replaced,
    registry_dict_given_a_key_not_a_name,
    bars_replaced,
    setting_changed,
    bar_reader_recorded,
    margin_reader_recorded,
]
# The recording swaps, and those a lone transaction (which is given its bars) sees.
RECORDING = {
    reader_recorded,
    table_entry_not_a_dict,
    builtin_shadowed,
    collection_class_recorded,
    bar_reader_recorded,
    margin_reader_recorded,
}
RECORDING_IN_BAR = RECORDING - {bar_reader_recorded}


def outcome(call):
    """`call`, whose error (which both must raise alike) is part of its result."""

    def run(subject):
        try:
            return call(subject)
        except Exception as error:
            return "raised", type(error).__name__, str(error)

    return run


def swapping_between_bars(swap):
    """Three bars (fills, a quiet bar, stops firing that fill closing orders); the swap
    comes before the last one and is undone after the run."""

    def call(subject):
        mp = MonkeyPatch()

        def between(subject, vr, log, _):
            swap(subject, vr, vr.g_KorvitAccounts[0].log, mp)

        try:
            return deal_three_bars(subject, between)
        finally:
            mp.undo()

    return call


@settings(max_examples=60, deadline=None)
@given(swap=st.sampled_from(SWAPS), swap_at=st.integers(1, 9), between_bars=st.booleans())
def test_a_swap_in_the_middle_of_a_run_is_obeyed_as_the_twin_obeys_it(swap, swap_at, between_bars):
    """Inside a bar the swap runs from the account's on_order/on_trade (host code the
    engine calls) after `swap_at` of them; between bars it runs before the third bar."""
    with MonkeyPatch.context() as monkeypatch:
        if between_bars:
            expected, got = run_both(
                monkeypatch, 0, None, outcome(swapping_between_bars(swap)), orders=5, stops_each=3
            )
        else:
            expected, got = run_both(monkeypatch, swap_at, swap, outcome(transact), orders=8)
    assert got == expected
    if swap in (RECORDING if between_bars else RECORDING_IN_BAR if swap_at <= 6 else ()):
        assert any(entry[0] not in ("order", "trade") for entry in expected[0]), (
            "the swap was never seen"
        )
