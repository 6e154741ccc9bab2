import sys
from pathlib import Path

import numpy as np
import pytest

import korvit.backtest.domain as domain
import korvit.tframe.framekit as framekit
from korvit.api.history import _history
from korvit.backtest.env import BacktestEnv
from korvit.backtest.model.accounts import KVBackAccount
from korvit.backtest.model.orders import (
    KVBackOrder,
    KVBackOrderCollect,
    KVBackStopOrderCollect,
    KVBackTradeCollect,
)
from korvit.tframe.sysdefine import GlobalDefine as gv
from korvit.tframe.uclass import KData, SystemModeMgr
from korvit.tframe.utils.logger import LoggerManager
from korvit.tframe.utils.utilcls import OutputFileManager

# The test modules import their shared helpers from tests/support.py.
sys.path.insert(0, str(Path(__file__).parent))


@pytest.fixture(scope="module")
def sample():
    """The shipped sample: daily bars of three stocks and their contracts."""
    from korvit.data import load_bars, load_contracts, sample_path

    return load_bars(sample_path("daily.csv")), load_contracts(sample_path("contracts.csv"))


@pytest.fixture
def isolated_files(monkeypatch):
    """Keeps the process-wide log and output managers as they were."""
    for cls, names in (
        (LoggerManager, ("_log_dir", "_task_id", "_handler")),
        (OutputFileManager, ("_root", "_task_id")),
    ):
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


def load_market(env, ohlcv, times, current_bar=None):
    """Loads bars into the environment's registry: `ohlcv` of shape
    (targets, bars, 5) (open, high, low, close, volume).  Targets are the
    first entries of TARGETS; the strategy's bars are the base bars."""
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


@pytest.fixture
def market(env):
    """`market(ohlcv, times)`: load_market on the test's environment."""
    return lambda ohlcv, times, current_bar=None: load_market(env, ohlcv, times, current_bar)


# Contract data of the TARGETS, as the history API hands it to the engine.
CONTRACTS = [
    {
        "MinMove": 0.01,
        "Multiple": 1,
        "LongMargin": 1.0,
        "ShortMargin": 1.0,
        "TradingFeeOpen": 0.0,
        "TradingFeeClose": 0.0,
    },
    {
        "MinMove": 1.0,
        "Multiple": 10,
        "LongMargin": 0.1,
        "ShortMargin": 0.12,
        "TradingFeeOpen": 3.0,
        "TradingFeeClose": 3.0,
    },
    {
        "MinMove": 1.0,
        "Multiple": 10,
        "LongMargin": 0.08,
        "ShortMargin": 0.08,
        "TradingFeeOpen": 0.0001,
        "TradingFeeClose": 0.0002,
    },
]


class BacktestWorld:
    """A backtest set up on the real host layer: registry with record
    collections, a backtest environment, accounts, contract data, and user
    callbacks that record what they are shown (with the run phase)."""

    def __init__(self, vr, env, smm):
        self.vr, self.env, self.smm = vr, env, smm
        self.events = []
        vr.g_KVOrders = KVBackOrderCollect()
        vr.g_KVStopOrders = KVBackStopOrderCollect()
        vr.g_KVTrades = KVBackTradeCollect()
        vr.g_KorvitAccounts[:] = [
            KVBackAccount("first", 1_000_000.0),
            KVBackAccount("second", 1_000_000.0),
        ]
        vr.g_KorvitInputInfo.AccountNameList = ["first", "second"]
        vr.g_KorvitUserContext = "context"
        vr.g_KorvitInputInfo.on_order_status_func = self._callback("status")
        vr.g_KorvitInputInfo.on_order_execution_func = self._callback("execution")
        _history.set_target_info_v2(CONTRACTS)

    def _callback(self, kind):
        def callback(context, snap):
            self.events.append((kind, context, snap, self.smm.current_phase))

        return callback

    def load(self, ohlcv, times, current_bar=None, bar=None):
        """Loads bars (see load_market) and puts the cursor on `bar`."""
        matrix = load_market(self.env, ohlcv, times, current_bar)
        if bar is not None:
            self.vr.g_KorvitSimCurBarFresh = bar
        return matrix

    def order(
        self,
        order_id,
        target=0,
        side=gv.OrderAct_Buy,
        effect=gv.PositionEffect_Open,
        price=10.0,
        volume=100,
        status=gv.OrderStatus_PreHolding,
        handle=0,
        ctg=gv.OrderCtg_Limit,
        created_time=0.0,
        store=True,
        **extra,
    ):
        kind = TARGETS[target][2]
        order = KVBackOrder.create(
            handle_idx=handle,
            target_idx=target,
            code=f"target{target}",
            order_id=order_id,
            order_price=price,
            target_type=kind,
            position_effect=effect,
            order_status=status,
            created_time=created_time,
            volume=volume,
            order_ctg=ctg,
            order_side=side,
            **extra,
        )
        if store:
            self.vr.g_KVOrders.append(order_id, order)
        return order


@pytest.fixture
def backtest(monkeypatch):
    """A fresh BacktestWorld installed as framekit's registry and environment."""
    vr = framekit.SystemBaseVar()
    smm = SystemModeMgr()
    environment = BacktestEnv()
    environment.set_env(vr, gv, smm)
    monkeypatch.setattr(framekit, "smm", smm)
    monkeypatch.setattr(framekit, "vr", vr)
    monkeypatch.setattr(framekit, "env", environment)
    monkeypatch.setattr(domain, "smm", smm)  # the engine's own binding of the phase manager
    yield BacktestWorld(vr, environment, smm)
    _history.clear()
