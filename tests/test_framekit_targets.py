"""Targets, accounts, fees, index checks and the user scope."""

import logging
import math

import numpy as np
import pytest

import korvit.tframe.framekit as framekit
from korvit.api.history import _history
from korvit.tframe import sysdefine
from korvit.tframe.sysdefine import GlobalDefine as gv


class Account:
    def __init__(self, handle):
        self.handle = handle


@pytest.fixture
def targets(env, market):
    market(np.ones((3, 2, 5)), [1.0, 2.0])
    env.vr.g_KorvitAccounts[:] = [Account("A1"), Account("B2"), Account("A1")]
    return env


def test_contract_data_and_fees(targets):
    env = targets
    assert (
        env.get_multiple(1) == 10.0
        and env.get_multiple(0) == 1.0
        and env.get_multiple(0, default=5) == 5
    )
    assert env.get_minmove(0) == 0.01 and env.get_minmove(2) is None
    setting = env.vr.g_KorvitSettingInfo
    setting.cost_fee_stock, setting.cost_fee_future = 3, 0.5
    assert env.cost_fee_rate(gv.TARGETTYPE_STOCK) == 0.0003
    assert env.cost_fee_rate(gv.TARGETTYPE_FUTURE) == 0.5
    assert env.cost_fee_rate(gv.TARGETTYPE_INDEX) == 0 and type(env.cost_fee_rate("other")) is int
    assert env.is_target_type(0, gv.TARGETTYPE_STOCK) and not env.is_target_type(
        1, gv.TARGETTYPE_STOCK
    )
    with pytest.raises(IndexError):
        env.get_multiple(7)


def test_order_id_validity():
    valid = framekit.SystemBaseEnv.is_valid_order_id
    assert not valid(float("nan")) and not valid(np.float32("nan")) and not valid(None)
    assert valid(0) and valid(7.0) and valid("id")


def test_accounts(targets):
    env = targets
    assert env.handle_idx_count == 3 and env.account_handles == ["A1", "B2", "A1"]
    assert env.account_handle_to_idx("A1") == 0 and env.account_handle_to_idx("B2") == 1
    assert env.account_handle_to_idx("ZZ") is None and env.get_account_by_handle("ZZ") is None
    assert env.get_account_by_handle("A1") is env.vr.g_KorvitAccounts[0]
    assert env.account_idx_to_handle(1.9) == "B2"
    mapping = env.get_handle_account_map(["A1", "A1", "B2", "ZZ"])
    assert list(mapping) == ["A1", "B2", "ZZ"] and mapping["ZZ"] is None
    with pytest.raises(IndexError):
        env.account_idx_to_handle(5)


def test_target_names_and_types(targets, monkeypatch):
    env = targets
    assert env.target_idx_count == 3
    assert env.get_target_idx("SHFE.RB2405") == 1 and env.get_target_idx("shfe.rb2405") is None
    assert env.get_target_name(0) == "SZSE.000001" and env.get_target_name(5) is None
    assert env.get_target_name([0, 5, -1, 2]) == ["SZSE.000001", "DCE.M2409"]
    assert (
        env.market_code_to_idx("shfe", "rb2405") == 1 and env.market_code_to_idx("SHFE", "X") == -1
    )
    assert env.get_target_type(1) == gv.TARGETTYPE_FUTURE
    assert env.get_target_type("szse.000001") == gv.TARGETTYPE_STOCK
    # Unknown to the strategy: asked from the history service.
    _history.set_target_info([{"Market": "CFFEX", "Code": "IF2406", "Type": gv.TARGETTYPE_FUTURE}])
    assert env.get_target_type("cffex.if2406") == gv.TARGETTYPE_FUTURE
    with pytest.raises(ValueError):
        env.get_target_type("NODOT")
    with pytest.raises(TypeError):
        env.get_target_type(np.int64(1))  # only a plain int is an index
    with pytest.raises(TypeError):
        env.get_target_name(np.int64(1))


def test_check_idx(targets, monkeypatch):
    env = targets
    handle_nd, target = env.check_idx("buy", 1.7, None)
    assert handle_nd.tolist() == [1] and handle_nd.dtype.kind == "i" and target is None
    assert env.check_idx("buy", 1.7, None, toarray=False) == (1, None)
    handle_nd, target_nd = env.check_idx("buy", [0, 2], np.array([[1], [2]]))
    assert handle_nd.tolist() == [0, 2] and target_nd.tolist() == [1, 2]
    with pytest.raises(IndexError, match="buy"):
        env.check_idx("buy", 3, None)
    with pytest.raises(IndexError, match="target_idx"):
        env.check_idx("buy", None, -1)
    with pytest.raises(ValueError):
        env.check_idx("buy", float("nan"), None)
    # The checker is the module's at the moment of the call.
    calls = []

    class Checker:
        @staticmethod
        def check_ndarray_idx(func_name, arg_name, spec, allow_nan=True):
            calls.append((func_name, arg_name, spec[0].tolist(), spec[1], spec[2], allow_nan))

    monkeypatch.setattr(framekit, "ArgumentChecker", Checker)
    env.check_idx("sell", 9, 0)
    assert calls == [
        ("sell", "handle_idx", [9], 0, 3, False),
        ("sell", "target_idx", [0], 0, 3, False),
    ]


def test_daily_close_time(env):
    env.vr.g_KorvitSettingInfo.DailyCloseTime = 150000
    assert env.exist_daily_close_time_setting()
    env.reset_daily_close_time_setting()
    assert not env.exist_daily_close_time_setting()


def test_user_scope(env, caplog):
    phases = []

    def on_data(context):
        phases.append(framekit.smm.current_phase)

    def on_order_status(context):  # too few parameters
        pass

    env.vr.g_KorvitUserContext = ctx = object()
    with caplog.at_level(logging.WARNING, logger="korvit.user"):
        env.update_user_scope({"on_data": on_data, "on_order_status": on_order_status})
    # Only init is reported: order-status callbacks are replaced silently.
    assert len(caplog.messages) == 1
    assert caplog.messages[0].endswith(", expect signature`def init(context): pass`")
    info = env.get_strategy_input()
    assert info is env.vr.g_KorvitInputInfo and env.user_context is ctx
    info.on_data_func(ctx)
    assert phases == [gv.RUMMODE_PHASE_ONDATA]
    assert (
        info.on_order_status_func(ctx, "order") is None
        and info.on_order_execution_func(ctx, "x") is None
    )

    caplog.clear()
    with caplog.at_level(logging.WARNING, logger="korvit.user"):
        env.update_user_scope({})
    assert len(caplog.messages) == 2


def test_user_scope_wraps_defaults_in_their_phases(env, monkeypatch):
    seen = []

    class Guard:
        def force_phase(self, phase):
            return lambda func: (phase, func)

    class Checker:
        @staticmethod
        def check_callable(func, **kwargs):
            seen.append(kwargs)
            return False, "rejected"

    monkeypatch.setattr(framekit, "ArgumentChecker", Checker)
    env.smm = Guard()
    env.update_user_scope({"init": print})
    info = env.vr.g_KorvitInputInfo
    assert info.on_init_func == (gv.RUMMODE_PHASE_USERINIT, sysdefine.init)
    assert info.on_data_func == (gv.RUMMODE_PHASE_ONDATA, sysdefine.on_data)
    assert info.on_order_status_func == (gv.RUMMODE_PHASE_DEAL_TRADE, sysdefine.on_order_status)
    assert info.on_order_execution_func == (gv.RUMMODE_PHASE_DEAL_TRADE, sysdefine.on_execution)
    assert seen[0] == {
        "func_name": "init",
        "arg_count": 1,
        "param_names": "context",
        "raise_error": False,
        "except_sig": "def init(context): pass",
    }
    assert (
        seen[3]["param_names"] == ("context", "excution", "*args", "**kwargs")
        and seen[3]["arg_count"] == 4
    )

    class BadChecker:
        @staticmethod
        def check_callable(func, **kwargs):
            return True, "ok", "extra"

    monkeypatch.setattr(framekit, "ArgumentChecker", BadChecker)
    with pytest.raises(ValueError, match="too many values to unpack"):
        env.update_user_scope({})


def test_internal_bar_num(env):
    assert math.isnan(env.get_internal_fresh_bar_num())
    assert env.get_internal_fresh_bar_num(-1) == -1

    class Context:
        _internal_bar_num = 12

    env.vr.g_KorvitUserContext = Context()
    assert env.get_internal_fresh_bar_num() == 12
