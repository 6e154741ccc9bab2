import numpy as np
import pytest

import korvit.tframe.framekit as framekit
from korvit.api.history import _history
from korvit.tframe.sysdefine import GlobalDefine as gv
from korvit.tframe.uclass import KData, SystemModeMgr
from korvit.tframe.utils.logger import LoggerManager
from korvit.tframe.utils.utilcls import OutputFileManager


@pytest.fixture
def isolated_files(monkeypatch):
    """Keeps the process-wide log and output managers as they were."""
    for cls, names in ((LoggerManager, ("_log_dir", "_task_id", "_handler")),
                       (OutputFileManager, ("_root", "_task_id"))):
        for name in names:
            monkeypatch.setattr(cls, name, getattr(cls, name))
    yield
    LoggerManager.remove_log_handler()


@pytest.fixture
def env(monkeypatch):
    """A fresh registry and environment, bound and installed as the module's
    `vr`, `env` and `smm` for the test."""
    vr = framekit.SystemBaseVar()
    environment = framekit.SystemBaseEnv()
    smm = SystemModeMgr()
    environment.set_env(vr, gv, smm)
    monkeypatch.setattr(framekit, "smm", smm)
    monkeypatch.setattr(framekit, "vr", vr)
    monkeypatch.setattr(framekit, "env", environment)
    yield environment
    _history.clear()


TARGETS = [
    ("SZSE", "000001", gv.TARGETTYPE_STOCK, {"MinMove": 0.01}),
    ("SHFE", "RB2405", gv.TARGETTYPE_FUTURE, {"Multiple": 10.0, "MinMove": 1.0}),
    ("DCE", "M2409", gv.TARGETTYPE_FUTURE, {"Multiple": 10.0}),
]


@pytest.fixture
def market(env):
    """Loads bars into the registry: `market(ohlcv, times)` with `ohlcv` of
    shape (targets, bars, 5) (open, high, low, close, volume).  Targets are
    the first entries of TARGETS; the strategy's bars are the base bars."""

    def load(ohlcv, times, current_bar=None):
        ohlcv = np.asarray(ohlcv, dtype=float)
        n_targets, n_bars, _ = ohlcv.shape
        matrix = env.generate_kmatrix_array(n_targets, n_bars)
        matrix[gv.KMatrixPos_TimeLine] = times
        items = (gv.KMatrix_Open, gv.KMatrix_High, gv.KMatrix_Low, gv.KMatrix_Close, gv.KMatrix_Volume)
        for t in range(n_targets):
            for k, item in enumerate(items):
                matrix[gv.bar_item_pos(item, t)] = ohlcv[t, :, k]
            matrix[gv.bar_item_pos(gv.KMatrix_TurnOver, t)] = ohlcv[t, :, 3] * ohlcv[t, :, 4]
            matrix[gv.bar_item_pos(gv.KMatrix_OpenInterest, t)] = 1000 + t
        current = np.arange(n_bars) if current_bar is None else current_bar
        vr = env.vr
        vr.g_KorvitKDataList.clear()
        vr.g_KorvitKDataList.append(KData(matrix, current))
        vr.g_KorvitDataValueFresh = matrix[: gv.KMatrixPos_Head_len].copy()
        vr.g_KorvitInputInfo.TargetList = [f"{m}.{c}".lower() for m, c, _, _ in TARGETS[:n_targets]]
        vr.g_KorvitInputInfo.TargetListDot = [f"{m}.{c}" for m, c, _, _ in TARGETS[:n_targets]]
        vr.g_KorvitTargetsInfo.clear()
        for m, c, kind, extra in TARGETS[:n_targets]:
            vr.g_KorvitTargetsInfo[f"{m}.{c}"] = {"Type": kind, **extra}
        return matrix

    return load
