"""Tests of the pure-Python host layer (no compiled module needed)."""

import copy
import inspect
import logging
import os
import pickle
import signal
import socket
import subprocess
import sys
import types

import numpy as np
import pytest
import scipy.io

import korvit
from korvit import setting
from korvit.api.history import _history as hist
from korvit.core import CoreServer
from korvit.tframe import uclass
from korvit.tframe.comm import kvcmd
from korvit.tframe.comm.kvclient import ClientSocket, KvCommandError
from korvit.tframe.language import text
from korvit.tframe.sysdefine import GlobalDefine as gv
from korvit.tframe.ufuncs import todotmc
from korvit.tframe.utils.argchecker import ArgumentChecker
from korvit.tframe.utils.exceptions import BuiltinFieldError, raise_bultin_error
from korvit.tframe.utils.logger import LoggerManager, user_warning, write_syslog, write_userlog
from korvit.tframe.utils.utilcls import OutputFileManager
from korvit.tframe.utils.utilfunc import save_mat, to_mat

SRC = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src")


# ---------------------------------------------------------------- socket client and core


@pytest.fixture
def core(tmp_path):
    with CoreServer(core_version=2, supported=[1, 2], cache_root=str(tmp_path / "cache")) as srv:
        yield srv


class TestClientAgainstCore:
    def test_callback_runs_on_every_connect_and_may_send_requests(self, core):
        client = ClientSocket("127.0.0.1", core.port, 5)
        seen = []
        client.set_callback_connected(lambda: seen.append(client.request("Ping")))
        assert client.connect() is True and seen == ["pong"]
        client.connect()  # already connected: no new handshake
        assert seen == ["pong"]
        client.reconnect()
        assert seen == ["pong", "pong"]
        client.disconnect()
        assert client.request("Ping") == "pong"  # request connects on demand
        assert seen == ["pong"] * 3
        client.disconnect()

    def test_request_result_keeps_json_types(self, core):
        with ClientSocket("127.0.0.1", core.port, 5) as client:
            info = client.request("ToolboxCheck", kind="python", version="1.0.0", support=["1.0.0"])
            assert info == {"listSupportedToolbox": [1, 2], "wstrCoreVer": 2}
            root = client.request("GetToolBoxRootofCacheDir")
        assert root == core.cache_root and os.path.isdir(root)
        assert core.requests[0] == (
            "ToolboxCheck",
            {"kind": "python", "version": "1.0.0", "support": ["1.0.0"]},
        )

    def test_error_reply_raises_and_connection_stays_usable(self, core):
        with ClientSocket("127.0.0.1", core.port, 5) as client:
            with pytest.raises(KvCommandError, match="unknown command 'Nope'"):
                client.request("Nope", x=1)
            with pytest.raises(KvCommandError, match="lacks support"):
                client.request("ToolboxCheck", kind="python", version="1")
            assert client.is_connected and client.request("Ping") == "pong"

    def test_failing_callback_closes_and_reraises(self, core):
        client = ClientSocket("127.0.0.1", core.port, 5)
        client.set_callback_connected(lambda: 1 / 0)
        with pytest.raises(ZeroDivisionError):
            client.connect()
        assert not client.is_connected
        client.disconnect()  # idempotent on a closed socket
        client.disconnect()

    def test_closed_peer_raises_then_reconnects(self, core):
        client = ClientSocket("127.0.0.1", core.port, 5)
        connects = []
        client.set_callback_connected(lambda: connects.append(1))
        client.request("Ping")  # the core is serving this connection now
        core.drop_connections()
        with pytest.raises(ConnectionError):
            client.request("Ping")
        assert not client.is_connected
        assert client.request("Ping") == "pong" and len(connects) == 2
        client.disconnect()

    def test_timeout_closes_socket(self):
        with socket.create_server(("127.0.0.1", 0)) as silent:  # accepts, never answers
            client = ClientSocket("127.0.0.1", silent.getsockname()[1], 0.2)
            with pytest.raises(TimeoutError):
                client.request("Ping")
            assert not client.is_connected

    def test_refused_connection_and_bad_arguments(self):
        with socket.create_server(("127.0.0.1", 0)) as probe:
            free_port = probe.getsockname()[1]
        with pytest.raises(ConnectionError):
            ClientSocket("127.0.0.1", free_port, 1).request("Ping")
        with pytest.raises(ValueError):
            ClientSocket("127.0.0.1", 3293, "300")
        with pytest.raises(TypeError):
            ClientSocket("127.0.0.1", 3293, 1).set_callback_connected("not callable")

    def test_server_answers_malformed_lines_and_keeps_serving(self, core):
        with socket.create_connection(("127.0.0.1", core.port), timeout=5) as raw:
            raw.sendall(b'not json\n{"cmd": "Ping", "params": []}\n{"cmd": "Ping"}\n')
            reader = raw.makefile("rb")
            replies = [reader.readline() for _ in range(3)]
        assert [b'"ok": false' in r for r in replies] == [True, True, False]
        assert b'"pong"' in replies[2]

    def test_kvcmd_uses_registry_socket_at_call_time(self, core, monkeypatch):
        client = ClientSocket("127.0.0.1", core.port, 5)
        registry = types.SimpleNamespace(g_KorvitSocket=client)
        stub = types.ModuleType("korvit.tframe.framekit")
        stub.vr = registry
        monkeypatch.setitem(sys.modules, "korvit.tframe.framekit", stub)
        monkeypatch.setattr(korvit.tframe, "framekit", stub, raising=False)
        info = kvcmd.kvSendCmdToolboxCheck("python", "1.0.0", ("1.0.0",))
        assert info == {"listSupportedToolbox": [1, 2], "wstrCoreVer": 2}
        assert kvcmd.kvSendCmdGetToolBoxRootofCacheDir() == core.cache_root
        assert core.requests[0][1]["support"] == ["1.0.0"]
        client.disconnect()


def test_core_command_line_serves_until_sigterm(tmp_path):
    env = dict(os.environ, PYTHONPATH=SRC)
    proc = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "korvit.core",
            "--port",
            "0",
            "--core-version",
            "3",
            "--supported",
            "1.0.0,0.9.0",
            "--cache-root",
            str(tmp_path),
        ],
        stdout=subprocess.PIPE,
        text=True,
        env=env,
    )
    try:
        line = proc.stdout.readline().strip()
        assert line.startswith("korvit core listening on 127.0.0.1:")
        with ClientSocket("127.0.0.1", int(line.rsplit(":", 1)[1]), 5) as client:
            info = client.request("ToolboxCheck", kind="python", version="1", support=[])
        assert info == {"listSupportedToolbox": ["1.0.0", "0.9.0"], "wstrCoreVer": "3"}
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=10) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stdout.close()


# ---------------------------------------------------------------- logs and output dirs


@pytest.fixture
def fresh_logger(monkeypatch):
    for name in ("_log_dir", "_task_id", "_handler"):
        monkeypatch.setattr(LoggerManager, name, None)
    yield LoggerManager
    LoggerManager.remove_log_handler()


class TestLogger:
    def test_file_follows_task_id_and_nothing_is_lost(self, fresh_logger, tmp_path):
        log_dir = tmp_path / "a" / "log"
        fresh_logger.init(str(log_dir))
        write_syslog("before task")
        first = log_dir / (fresh_logger.log_timestamp() + ".log")
        fresh_logger.set_task_id_as_log_filename(17.0)
        write_userlog("after task")
        fresh_logger.rm_log_file()
        write_syslog("not written to any file")
        assert fresh_logger.log_dir() == str(log_dir)
        assert "before task" in first.read_text(encoding="utf-8")
        later = (log_dir / "17.log").read_text(encoding="utf-8")
        assert "after task" in later and "before task" not in later
        assert "not written" not in first.read_text(encoding="utf-8") + later

    def test_timestamp_is_fixed_and_file_safe(self):
        stamp = LoggerManager.log_timestamp()
        assert stamp == LoggerManager.log_timestamp()
        assert stamp and not set(stamp) - set("0123456789_")

    def test_default_log_dir_exists_before_init(self, fresh_logger):
        assert os.path.isdir(fresh_logger.log_dir())

    def test_bad_task_id(self, fresh_logger):
        for bad in ("../x", "", float("nan")):
            with pytest.raises(ValueError):
                fresh_logger.set_task_id_as_log_filename(bad)

    def test_levels_and_loggers(self, caplog):
        caplog.set_level(logging.DEBUG, logger="korvit")
        write_userlog("资金不足")
        user_warning("careful")
        try:
            raise KeyError("boom")
        except KeyError as exc:
            write_syslog(exc)
        got = [(r.name, r.levelno, r.getMessage()) for r in caplog.records]
        assert got == [
            ("korvit.user", logging.INFO, "资金不足"),
            ("korvit.user", logging.WARNING, "careful"),
            ("korvit.sys", logging.ERROR, "KeyError: 'boom'"),
        ]
        assert caplog.records[2].exc_info[1].args == ("boom",)


class TestOutputFileManager:
    @pytest.fixture
    def ofm(self, monkeypatch):
        monkeypatch.setattr(OutputFileManager, "_root", None)
        monkeypatch.setattr(OutputFileManager, "_task_id", None)
        return OutputFileManager

    def test_needs_init(self, ofm):
        with pytest.raises(RuntimeError, match="init"):
            ofm.root_sub_dir("x")

    def test_sub_dirs_under_task_folder(self, ofm, tmp_path):
        ofm.init(str(tmp_path))
        root = tmp_path / "output"
        assert root.is_dir() and ofm.root_sub_dir() == str(root)
        ofm.set_task_id(5)
        made = ofm.mk_root_sub_dir("res/a")
        assert made == str(root / "5" / "res" / "a") and os.path.isdir(made)
        (root / "5" / "res" / "a" / "f.txt").write_text("x")
        assert ofm.cls_root_sub_dir("res") == str(root / "5" / "res")
        assert os.listdir(root / "5" / "res") == []
        assert ofm.rm_root_sub_dir("res") is True and not (root / "5" / "res").exists()
        assert ofm.rm_root_sub_dir("res") is False

    def test_refuses_root_and_escapes(self, ofm, tmp_path):
        ofm.init(str(tmp_path))
        for bad in ("..", "../../etc", "/tmp", "a/../../x"):
            with pytest.raises(ValueError):
                ofm.root_sub_dir(bad)
        with pytest.raises(ValueError):
            ofm.rm_root_sub_dir("")
        os.symlink(str(tmp_path), str(tmp_path / "output" / "link"))
        with pytest.raises(ValueError):
            ofm.rm_root_sub_dir("link")
        assert (tmp_path / "output").is_dir()


# ---------------------------------------------------------------- .mat files and snaps


class TestSaveMat:
    def test_round_trip_of_snaps(self, tmp_path):
        item = uclass.StrategyItem()
        item.TargetList = ["szse.000001", "shfe.rb2501"]
        item.on_data_func = print  # callables are not saved
        k_data = uclass.KData(np.arange(22.0).reshape(11, 2), [0, 1], Frequency=gv.KFreq_Min)
        kdl = uclass.KDataContainer([k_data, k_data])
        data = {
            "Input": item.snap(),
            "Setting": uclass.SettingItem().snap(),
            "KData": kdl.snap(),
            "Empty": uclass.KDataContainer().snap(),
            "Tick": uclass.DotDict(),
            "Mode": uclass.OrderModeMgr().order_mode,
        }
        path = str(tmp_path / "snap.mat")
        assert save_mat(path, data) is True
        back = scipy.io.loadmat(path, simplify_cells=True)
        assert list(back["Input"]["TargetList"]) == ["szse.000001", "shfe.rb2501"]
        assert "on_data_func" not in back["Input"] and "DailyCloseTime" not in back["Setting"]
        assert back["Setting"]["cost_fee_stock"] == 3.0
        assert len(back["KData"]) == 2 and back["Empty"].size == 0
        saved = back["KData"][1]
        np.testing.assert_array_equal(saved["Matrix"], k_data.Matrix)
        assert saved["Frequency"] == gv.KFreq_Min and "BaseBegin" not in saved

    def test_failure_leaves_old_file_and_no_partial(self, tmp_path, monkeypatch):
        path = tmp_path / "snap.mat"
        assert save_mat(str(path), {"a": np.array([1.0, 2.0])})
        before = path.read_bytes()

        # A write that fails half-way through.
        def broken_savemat(stream, data, **kwargs):
            stream.write(b"partial")
            raise OSError("disk full")

        monkeypatch.setattr(scipy.io, "savemat", broken_savemat)
        assert save_mat(str(path), {"a": np.ones(3)}) is False
        assert path.read_bytes() == before and os.listdir(tmp_path) == ["snap.mat"]
        with pytest.raises(OSError):
            save_mat(str(path), {"a": 1.0}, error="raise")
        monkeypatch.undo()
        assert save_mat(str(tmp_path / "missing" / "x.mat"), {"a": 1}) is False

    def test_every_variable_is_kept(self, tmp_path):
        path = tmp_path / "odd.mat"
        assert save_mat(str(path), {"none": None, "obj": object(), "d": {"x": None, "y": 2}})
        back = scipy.io.loadmat(str(path))
        assert back["none"].size == 0 and "object" in str(back["obj"])
        assert back["d"]["y"][0, 0] == 2

    def test_appendmat(self, tmp_path):
        assert save_mat(str(tmp_path / "x"), {"a": 1}, appendmat=True)
        assert os.listdir(tmp_path) == ["x.mat"]

    def test_to_mat_cleans_keys_and_none(self):
        out = to_mat(
            {
                "1x": 1,
                "_y": 2,
                "SZSE.000001": {"Type": 1, "Multiple": None},
                "f": len,
                "items": ["a", None, 3],
            }
        )
        assert set(out) == {"k1x", "k_y", "SZSE_000001", "items"}
        assert out["SZSE_000001"] == {"Type": 1}
        assert out["items"][0] == "a" and out["items"][1].size == 0 and out["items"][2] == 3
        assert set(to_mat({"a.b": 1, "a_b": 2})) == {"a_b", "a_b_2"}
        with pytest.raises(TypeError):
            to_mat({"x": object()})

    @pytest.mark.parametrize(
        "make",
        [
            uclass.RegKDataContainer,
            uclass.AdjRegKDataContainer,
            uclass.MainContractTimeSeriesData,
            uclass.InstrumentTimeSeriesData,
        ],
    )
    def test_every_container_snap_saves(self, make, tmp_path):
        holder = make()
        if isinstance(holder, list):
            holder.register(target="SZSE.000001", bars=10, end=None)
        else:
            holder.update({"RB.SHFE": np.arange(3), "0": None})
        assert save_mat(str(tmp_path / "s.mat"), {"s": holder.snap()}, error="raise")


class TestContainers:
    def test_kdata_container_get_item(self):
        day = uclass.KData(np.zeros((11, 3)), [0, 1, 2])
        minute = uclass.KData(np.zeros((11, 3)), [0, 1, 2], Frequency=gv.KFreq_Min, FreNum=5)
        kdl = uclass.AdjKDataContainer([day, minute])
        assert kdl.get_item(gv.KFreq_Min, 5) is minute and kdl.get_item(gv.KFreq_Day, 1) is day
        with pytest.raises(KeyError, match="frequency"):
            kdl.get_item(gv.KFreq_Min, 1)

    @pytest.mark.parametrize(
        "args",
        [
            (np.zeros(5), [0]),
            (np.zeros((2, 2)), [0.5]),
            (np.zeros((2, 2)), [-1]),
            (np.array([["a"]]), [0]),
        ],
    )
    def test_kdata_rejects_bad_input(self, args):
        with pytest.raises((TypeError, ValueError)):
            uclass.KData(*args)

    def test_dotdict(self):
        d = uclass.DotDict({"a": 1})
        d.b = 2
        assert d == {"a": 1, "b": 2} and d.a == 1
        del d.a
        assert not hasattr(d, "a")
        with pytest.raises(AttributeError):
            d.missing
        assert pickle.loads(pickle.dumps(d)) == d and copy.deepcopy(d).b == 2

    def test_status_collect_singleton_and_order_mode(self):
        assert uclass.StatusCollect.instance() is uclass.StatusCollect.instance()
        mgr = uclass.OrderModeMgr()
        mgr.set_mode("acc_1", 2)
        assert mgr.get_mode("acc_1") == 2
        with pytest.raises(ValueError):
            mgr.set_mode("1acc", 2)


class TestSystemModeMgr:
    def test_phase_inside_and_restored_on_error(self):
        smm = uclass.SystemModeMgr()
        seen = []

        def cb(context, order, *args, **kwargs):
            seen.append(smm.current_phase)
            if order == "bad":
                raise RuntimeError("user error")
            return order

        wrapped = smm.enter_phase(gv.RUMMODE_PHASE_DEAL_TRADE)(cb)
        assert inspect.signature(wrapped) == inspect.signature(cb)
        assert wrapped(None, "ok") == "ok"
        with pytest.raises(RuntimeError):
            wrapped(None, "bad")
        assert seen == [gv.RUMMODE_PHASE_DEAL_TRADE] * 2
        assert smm.current_phase == gv.RUMMODE_PHASE_IDLE

    def test_nesting_and_logs(self):
        smm = uclass.SystemModeMgr()
        inner_phases = []
        inner = smm.enter_phase(gv.RUMMODE_PHASE_DEAL_TRADE)(
            lambda: inner_phases.append(smm.current_phase)
        )
        again = smm.enter_phase(gv.RUMMODE_PHASE_DEAL_TRADE)(inner)
        outer = smm.force_phase(gv.RUMMODE_PHASE_ONDATA)(
            lambda: (again(), inner_phases.append(smm.current_phase))
        )
        outer()
        assert inner_phases == [gv.RUMMODE_PHASE_DEAL_TRADE, gv.RUMMODE_PHASE_ONDATA]
        assert smm.current_phase == gv.RUMMODE_PHASE_IDLE
        # enter_phase does not log re-entering the phase it is already in
        assert smm.phase_log == [gv.RUMMODE_PHASE_ONDATA, gv.RUMMODE_PHASE_DEAL_TRADE]

    def test_none_and_bad_arguments(self):
        smm = uclass.SystemModeMgr()
        for make in (smm.enter_phase, smm.force_phase):
            assert make(gv.RUMMODE_PHASE_USERINIT)(None)(1, x=2) is None
            with pytest.raises(TypeError):
                make(gv.RUMMODE_PHASE_USERINIT)(42)
        with pytest.raises(ValueError):
            smm.force_phase(99)


# ---------------------------------------------------------------- checks, constants, helpers


def on_status(context, order, *a, **kw):
    pass


class TestArgumentChecker:
    @pytest.mark.parametrize(
        "func, kwargs, ok, reason",
        [
            (
                on_status,
                dict(arg_count=4, param_names=("context", "order", "*args", "**kwargs")),
                True,
                "",
            ),
            (
                lambda context: 0,
                dict(func_name="on_data", arg_count=1, param_names="context"),
                True,
                "",
            ),
            (
                None,
                dict(func_name="on_data", arg_count=1, param_names="context"),
                False,
                "`on_data` is not callable",
            ),
            (
                lambda a, b: 0,
                dict(func_name="on_data", arg_count=1, param_names=("context",)),
                False,
                "`on_data` has parameters (a, b), expected (context)",
            ),
            (
                lambda ctx: 0,
                dict(func_name="init", arg_count=1, param_names=("context",)),
                False,
                "`init` has parameters (ctx), expected (context)",
            ),
            (
                lambda context, order, *args: 0,
                dict(
                    func_name="on_order_status", param_names=("context", "order", "args", "kwargs")
                ),
                False,
                "`on_order_status` has parameters (context, order, *args), "
                "expected (context, order, args, kwargs)",
            ),
        ],
    )
    def test_check_callable(self, func, kwargs, ok, reason):
        assert ArgumentChecker.check_callable(func, raise_error=False, **kwargs) == (ok, reason)

    def test_check_callable_raises_with_signature(self):
        with pytest.raises(TypeError, match="expected `def init\\(context\\): pass`"):
            ArgumentChecker.check_callable(
                lambda: 0, "init", 1, "context", except_sig="def init(context): pass"
            )
        with pytest.raises(ValueError):
            ArgumentChecker.check_callable(len, "f", 2, ("a",))

    def test_check_ndarray_idx(self):
        check = ArgumentChecker.check_ndarray_idx
        assert check("order", "target_idx", (np.array([0, 2]), 0, 3)) is None
        with pytest.raises(IndexError, match=r"order.*target_idx.*3"):
            check("order", "target_idx", (np.array([0, 3]), 0, 3))
        with pytest.raises(IndexError):
            check("order", "handle_idx", (np.array([-1]), 0, 3))
        with pytest.raises(ValueError, match="NaN"):
            check("order", "handle_idx", (np.array([np.nan]), 0, 3))
        assert check("order", "handle_idx", (np.array([np.nan, 1.0]), 0, 3), allow_nan=True) is None
        with pytest.raises(TypeError):
            check("order", "handle_idx", (np.array([0.5]), 0, 3))
        with pytest.raises(TypeError):
            check("order", "handle_idx", (np.array(["0"]), 0, 3))


@pytest.mark.parametrize(
    "prefix",
    [
        "OrderStatus_",
        "OrderCtg_",
        "OrderAct_",
        "PositionEffect_",
        "OrderReject_",
        "TARGETTYPE_",
        "StopOrderType_",
        "StopOrderStatus_",
        "OrderStop_",
        "RUMMODE_PHASE_",
        "CALLUSER_",
    ],
)
def test_constant_families_are_distinct(prefix):
    values = [v for k, v in vars(gv).items() if k.startswith(prefix)]
    assert len(values) >= 2 and len(set(values)) == len(values)


def test_bar_rows():
    assert gv.bar_item_pos(gv.KMatrix_Close, 2) == 3 + 2 * 8 + 4
    rows = gv.bar_item_pos(gv.KMatrix_Open, np.array([0, 1, 2]))
    assert rows.dtype.kind == "i" and rows.tolist() == [4, 12, 20]
    assert gv.bar_item_pos(gv.bar_field_name_to_int("amount"), [1.0]).tolist() == [3 + 8 + 6]
    freqs = [
        gv.KFreq_Tick,
        gv.KFreq_Min,
        gv.KFreq_Day,
        gv.KFreq_Week,
        gv.KFreq_Month,
        gv.KFreq_Year,
    ]
    assert freqs == sorted(set(freqs))
    with pytest.raises(ValueError, match="bad_field"):
        gv.bar_field_name_to_int("bad_field")
    for item, targets in ((0, 1), (8, 1), (1, -1), (1, np.array([0.5])), (1, "1")):
        with pytest.raises((ValueError, TypeError, IndexError)):
            gv.bar_item_pos(item, targets)


def test_settings_lookup_order(monkeypatch):
    setting.reset_settings()
    monkeypatch.setenv("KORVIT_KV_SOCKET_TIMEOUT", "12")
    monkeypatch.setenv("KORVIT_RATE", "2.5e-1")
    monkeypatch.setenv("KORVIT_NAME", "12a")
    assert setting.get_setting("KV_SOCKET_TIMEOUT", 300) == 12
    assert setting.get_setting("RATE") == 0.25 and setting.get_setting("NAME") == "12a"
    assert setting.get_setting("KV_SUB_SOCKET_TIMEOUT", 300) == 300
    setting.set_setting("KV_SOCKET_TIMEOUT", 5)
    assert setting.get_setting("KV_SOCKET_TIMEOUT", 300) == 5
    setting.reset_settings()
    assert setting.get_setting("KV_SOCKET_TIMEOUT", 300) == 12


def test_todotmc():
    assert todotmc(" szse.000001") == "SZSE.000001"
    assert todotmc(("shfe", "rb2501")) == "SHFE.RB2501"
    assert todotmc({"Market": "szse", "Code": "000001"}) == "SZSE.000001"
    for bad in ("SZSE", "a.b.c", ".1", ("SZSE", 1), {"Market": "X"}):
        with pytest.raises(ValueError if not isinstance(bad, tuple) else TypeError):
            todotmc(bad)
    with pytest.raises(TypeError):
        todotmc(1)


def test_builtin_error_and_version_text():
    with pytest.raises(BuiltinFieldError, match="order side") as info:
        raise_bultin_error("orderact")
    assert info.value.key == "orderact" and isinstance(info.value, ValueError)
    with pytest.raises(BuiltinFieldError, match="whatever"):
        raise_bultin_error("whatever")
    tips = text.ERROR_NOTSUPPORT_KVVERSION.format(
        KORVITVERSION="3",
        SUPPORTKVVERSION=["9"],
        KVNAME="Korvit",
        KVVERSION="2",
        KVSUPPORTVERSION=[1, 2],
    )
    assert tips.index("不") < tips.index("support each other") and "[1, 2]" in tips


# ---------------------------------------------------------------- history store


@pytest.fixture
def store():
    hist.clear()
    yield hist
    hist.clear()


class TestHistory:
    def test_target_info_by_code(self, store):
        store.set_target_info(
            [
                {"Market": "SZSE", "Code": "000001", "Type": gv.TARGETTYPE_STOCK},
                {"Market": "shfe", "Code": "rb2501", "Type": gv.TARGETTYPE_FUTURE, "Multiple": 10},
            ]
        )
        got = store.get_target_info(
            [{"Market": "SHFE", "Code": "RB2501"}, {"Market": "szse", "Code": "000001"}]
        )
        assert [g["Type"] for g in got] == [gv.TARGETTYPE_FUTURE, gv.TARGETTYPE_STOCK]
        got[0]["Multiple"] = 0  # a copy: the store is unchanged
        assert store.get_target_info([{"Market": "SHFE", "Code": "RB2501"}])[0]["Multiple"] == 10
        with pytest.raises(LookupError, match="SZSE.000002"):
            store.get_target_info([{"Market": "SZSE", "Code": "000002"}])
        with pytest.raises(ValueError):
            store.set_target_info([{"Market": "SZSE", "Code": "1"}])

    def test_target_info_by_index(self, store):
        store.set_target_info_v2([{"MinMove": 0.01}, {"MinMove": 1.0, "Multiple": 10}])
        got = store.get_target_info_v2(np.array([1, 0, 1]))
        assert isinstance(got, list) and [g["MinMove"] for g in got] == [1.0, 0.01, 1.0]
        assert store.get_target_info_v2([1.0])[0]["Multiple"] == 10
        for bad, exc in (
            ([2], IndexError),
            ([-1], IndexError),
            ([0.5], ValueError),
            (["0"], TypeError),
        ):
            with pytest.raises(exc):
                store.get_target_info_v2(bad)

    def test_ticks(self, store):
        store.set_bar_tick_data(0, 3, [3.0, 1.0, 2.0], [30, 10, 20], [3, 1, 2])
        ticks = store.get_bar_tick_data(0, 3.0)
        assert ticks.Time.tolist() == [1.0, 2.0, 3.0] and ticks.Price.tolist() == [10, 20, 30]
        assert ticks.VolumeTick.tolist() == [1, 2, 3]
        empty = store.get_bar_tick_data(1, 3)
        assert empty.Time.size == empty.Price.size == empty.VolumeTick.size == 0
        with pytest.raises(ValueError):
            store.set_bar_tick_data(0, 4, [1, 2], [1], [1, 2])
        with pytest.raises(ValueError):
            store.get_bar_tick_data(0, float("nan"))
        store.clear()
        assert store.get_bar_tick_data(0, 3).Time.size == 0


def test_many_bars_of_ticks_stored_at_once_read_back_as_one_by_one():
    from korvit.api.history import _history

    try:
        times, prices, volumes = [1.0, 2.0, 0.5, 0.7, 0.9], [10, 11, 20, 21, 22], [1, 2, 3, 4, 5]
        _history.set_many_bar_tick_data([(0, 3), (1, 3)], times, prices, volumes, [0, 2, 5])
        first, second = _history.get_bar_tick_data(0, 3), _history.get_bar_tick_data(1, 3)
        assert (first.Time.tolist(), first.Price.tolist()) == ([1.0, 2.0], [10.0, 11.0])
        assert (second.Time.tolist(), second.VolumeTick.tolist()) == (
            [0.5, 0.7, 0.9],
            [3.0, 4.0, 5.0],
        )
        with pytest.raises(ValueError, match="time order"):
            _history.set_many_bar_tick_data([(0, 4)], [2.0, 1.0], [1, 1], [1, 1], [0, 2])
        with pytest.raises(ValueError, match="bounds"):
            _history.set_many_bar_tick_data([(0, 4)], [1.0, 2.0], [1, 1], [1, 1], [0, 1])
    finally:
        _history.clear()
