"""The registry: its fields, class-wide values, subclassing and error snapshots."""

import logging
import math
import os

import numpy as np
import pytest
import scipy.io

import korvit.tframe.framekit as framekit
from korvit.tframe.comm.kvclient import ClientSocket
from korvit.tframe.uclass import CacheMgr, DotDict, StatusCollect
from korvit.tframe.utils.logger import LoggerManager
from korvit.tframe.utils.utilcls import OutputFileManager

FIELDS = [
    "g_KorvitCache",
    "g_KorvitSocket",
    "g_KorvitSocketSub",
    "g_KorvitLastHeartBeat",
    "g_KorvitModeTaskId",
    "g_KorvitInputInfo",
    "g_KorvitSettingInfo",
    "g_KorvitFreshBarStatus",
    "g_KorvitAccountOrderMode",
    "g_KorvitAccounts",
    "g_KorvitKDataList",
    "g_KorvitKDataList_Adj",
    "g_KorvitDataValueFresh",
    "g_KorvitDataValueFresh_Adj",
    "g_KorvitRegKDataInfo",
    "g_KorvitRegKDataInfo_Adj",
    "g_KorvitTargetsInfo",
    "g_KorvitMainContracts",
    "g_KorvitDataValueFreshUserD",
    "g_KorvitDataValueFreshUserI",
    "g_KorvitSimCurBarFresh",
    "g_KorvitTradingDays",
    "g_KorvitTickMap",
    "g_KorvitCurTickInfo",
    "g_KorvitLastChangeOrder",
    "g_KorvitDailyCloseTime",
    "g_KorvitInstrument",
    "g_KorvitFactorValueDict",
    "g_KorvitUserContext",
    "g_KorvitMinFreqTurnPos",
]


def test_constructor_creates_every_field_in_order(monkeypatch):
    monkeypatch.setenv("KORVIT_KV_SUB_SOCKET_TIMEOUT", "12")
    vr = framekit.SystemBaseVar()
    assert list(vars(vr)) == FIELDS
    assert isinstance(vr.g_KorvitCache, CacheMgr)
    assert isinstance(vr.g_KorvitSocket, ClientSocket) and not vr.g_KorvitSocket.is_connected
    assert vr.g_KorvitSocket.timeout == 300 and vr.g_KorvitSocketSub.timeout == 12
    assert (vr.g_KorvitSocket.host, vr.g_KorvitSocket.port) == ("127.0.0.1", 3293)
    assert math.isnan(vr.g_KorvitModeTaskId) and math.isnan(vr.g_KorvitSimCurBarFresh)
    assert vr.g_KorvitAccounts == [] and vr.g_KorvitUserContext is None
    assert vr.g_KorvitDataValueFresh.shape == (0,) and vr.g_KorvitDataValueFresh.dtype == np.float64
    assert isinstance(vr.g_KorvitTickMap, DotDict) and vr.g_KorvitDailyCloseTime == 0
    assert vr.g_KorvitFreshBarStatus is False and vr.g_KorvitMinFreqTurnPos is False
    # Each registry gets its own containers.
    assert framekit.SystemBaseVar().g_KorvitAccounts is not vr.g_KorvitAccounts


def test_host_classes_are_looked_up_when_used(monkeypatch):
    made = []

    class RecordingSocket(ClientSocket):
        def __init__(self, host, port, timeout):
            made.append((host, port, timeout))
            super().__init__(host, port, timeout)

    monkeypatch.setattr(framekit, "ClientSocket", RecordingSocket)
    vr = framekit.SystemBaseVar()
    assert made == [("127.0.0.1", 3293, 300), ("127.0.0.1", 3293, 300)]
    assert vr.g_KorvitSocket._callback is framekit._before_first_cmd
    assert vr.g_KorvitSocketSub._callback is None


def test_class_wide_values(env):
    cls = framekit.SystemBaseVar
    vr = env.vr
    try:
        assert cls.get_value("g_KorvitAccounts") is None  # a field of the object, not class-wide
        assert cls.get_value("nothing", 3) == 3
        cls.set_value("x_shared", 5)
        assert cls.get_value("x_shared") == 5 and vr.x_shared == 5 and vr.get_value("x_shared") == 5
        vr.g_KorvitAccounts.append("account")
        cls.set_value("g_KorvitAccounts", "class-wide")
        assert vr.g_KorvitAccounts == ["account"]  # the object's own field wins
        cls.del_value("x_shared")
        assert not hasattr(vr, "x_shared")
        cls.del_value("never_set")  # silent
        with pytest.raises(TypeError, match=r"^hasattr\(\): attribute name must be string$"):
            cls.del_value(5)
        with pytest.raises(TypeError):
            cls.get_value(5)
    finally:
        for name in ("x_shared", "g_KorvitAccounts"):
            if name in vars(cls):
                delattr(cls, name)


def test_subclasses_and_free_attributes(env):
    class HostVar(framekit.SystemBaseVar):
        def __init__(self):
            super().__init__()
            self.g_KVOrders = "orders"

    class HostEnv(framekit.SystemBaseEnv):
        def get_margin_rate(self, target_idx, side):
            return 0.1

        def update_user_scope(self, user_scope):
            self.seen = user_scope

    vr, e = HostVar(), HostEnv()
    e.set_env(vr, framekit.gv, framekit.smm)
    assert vr.g_KVOrders == "orders" and e.vr is vr and e.get_margin_rate(0, 1) == 0.1
    assert StatusCollect.instance().env is e
    e.update_user_scope({"a": 1})
    assert e.seen == {"a": 1}
    assert framekit.SystemBaseEnv.update_user_scope.__isabstractmethod__ is True
    framekit.SystemBaseEnv()  # the base class stays instantiable
    HostVar.set_value("only_here", 1)
    assert "only_here" not in vars(framekit.SystemBaseVar)  # class-wide means per class
    del HostVar.only_here


@pytest.fixture
def log_dir(tmp_path, monkeypatch):
    monkeypatch.setattr(LoggerManager, "_log_dir", str(tmp_path))
    monkeypatch.setattr(LoggerManager, "_task_id", None)
    monkeypatch.setattr(OutputFileManager, "_task_id", None)
    return tmp_path


SNAP_KEYS = {
    "StrategyTaskId",
    "StrategyInputInfo",
    "FreshBarStatus",
    "AccountOrderMode",
    "KDataList",
    "KDataList_adj",
    "DataValueFresh",
    "RegKDataInfo",
    "TargetsInfo",
    "DataValueFreshUserD",
    "SimCurBarFresh",
    "TradingDays",
    "TickMap",
    "CurTickInfo",
    "LastChangeOrder",
    "DailyCloseTime",
    "InstrumentDict",
    "FactorValueDict",
}


def test_snapshot_named_after_timestamp_then_task_id(env, market, log_dir, caplog):
    market(np.ones((1, 3, 5)), [1.0, 2.0, 3.0])
    env.vr.g_KorvitTargetsInfo["SZSE.000001"]["Multiple"] = (
        None  # odd values must not cost the file
    )
    env.vr.g_KorvitSimCurBarFresh = 2
    with caplog.at_level(logging.WARNING, logger="korvit.user"):
        env.vr.save_snapshot()
    path = log_dir / f"py_error_{LoggerManager.log_timestamp()}.mat"
    assert caplog.messages == [f"错误快照：{path}"]
    data = scipy.io.loadmat(path)
    assert {k for k in data if not k.startswith("__")} == SNAP_KEYS
    assert data["SimCurBarFresh"][0, 0] == 2
    np.testing.assert_array_equal(data["DataValueFresh"], env.vr.g_KorvitDataValueFresh)

    env.set_kvcore_task_id(17)
    env.vr.save_snapshot()
    assert (log_dir / "py_error_17.mat").exists()
    assert scipy.io.loadmat(log_dir / "py_error_17.mat")["StrategyTaskId"][0, 0] == 17


def test_snapshot_that_cannot_be_written_warns_with_empty_path(env, log_dir, caplog, monkeypatch):
    monkeypatch.setattr(LoggerManager, "log_dir", classmethod(lambda cls: str(log_dir / "missing")))
    with caplog.at_level(logging.WARNING, logger="korvit.user"):
        env.vr.save_snapshot()
    assert caplog.messages == ["错误快照："]
    assert os.listdir(log_dir) == []
