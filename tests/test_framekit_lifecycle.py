"""Start-up handshake over a real loopback socket, exit hook, lifecycle
operations and frequency rule maps."""

import logging
import os

import pytest

import korvit
import korvit.tframe.framekit as framekit
from korvit.core import CoreServer
from korvit.tframe import sysdefine
from korvit.tframe.comm.kvclient import ClientSocket
from korvit.tframe.language import text
from korvit.tframe.sysdefine import GlobalDefine as gv
from korvit.tframe.utils.exceptions import VersionError
from korvit.tframe.utils.logger import LoggerManager
from korvit.tframe.utils.utilcls import OutputFileManager


@pytest.fixture
def core(env, tmp_path, isolated_files):
    """A stand-in core process and the registry's command socket pointed at it."""
    with CoreServer(
        core_version="2", supported=["1", "2"], cache_root=str(tmp_path / "cache")
    ) as server:
        sock = ClientSocket("127.0.0.1", server.port, 5)
        sock.set_callback_connected(framekit._before_first_cmd)
        env.vr.g_KorvitSocket = sock
        yield server
        sock.disconnect()


def commands(server):
    return [cmd for cmd, _ in server.requests]


def use_versions(monkeypatch, mine, supported):
    monkeypatch.setattr(korvit, "get_version", lambda: mine)
    monkeypatch.setattr(korvit, "get_support", lambda: supported)


def test_compatible_handshake_sets_up_cache_dirs(env, core, monkeypatch, tmp_path):
    use_versions(monkeypatch, "2", ["9"])
    assert env.vr.g_KorvitSocket.connect()
    cache = env.vr.g_KorvitCache
    assert cache.kv_support_list == ["1", "2"] and cache.kv_version == "2" and cache.allow_comm_kv
    assert commands(core) == ["ToolboxCheck", "GetToolBoxRootofCacheDir"]
    assert core.requests[0][1] == {"kind": "python", "version": "2", "support": ["9"]}
    root = tmp_path / "cache"
    assert (root / "output").is_dir() and (root / "log").is_dir()
    assert LoggerManager.log_dir() == str(root / "log")
    assert env.root_sub_dir("reports") == str(root / "output" / "reports")
    assert env.more_info() == {
        "kvcore_version": "2",
        "kvcore_support": ["1", "2"],
        "korvit_version": "2",
        "korvit_support": ["9"],
    }
    # Every (re)connection runs the handshake again.
    env.vr.g_KorvitSocket.reconnect()
    assert commands(core) == ["ToolboxCheck", "GetToolBoxRootofCacheDir"] * 2


def test_compatible_when_this_side_accepts_the_core(env, core, monkeypatch):
    use_versions(monkeypatch, "3", ["2"])
    env.vr.g_KorvitSocket.connect()
    assert env.vr.g_KorvitCache.allow_comm_kv and commands(core)[-1] == "GetToolBoxRootofCacheDir"


def test_incompatible_versions_refuse(env, core, monkeypatch):
    use_versions(monkeypatch, "3", ["4", "5"])
    monkeypatch.setattr(sysdefine, "kvcore_name", "CoreX", raising=False)
    with pytest.raises(VersionError) as err:
        env.vr.g_KorvitSocket.connect()
    expected = text.ERROR_NOTSUPPORT_KVVERSION.format(
        KORVITVERSION="3",
        SUPPORTKVVERSION=["4", "5"],
        KVNAME="CoreX",
        KVVERSION="2",
        KVSUPPORTVERSION=("1", "2"),
    )
    assert str(err.value) == expected
    cache = env.vr.g_KorvitCache
    assert cache.allow_comm_kv is False and cache.not_allow_comm_kv_tips == expected
    assert cache.kv_support_list == ["1", "2"] and cache.kv_version == "2"
    assert commands(core) == ["ToolboxCheck"]  # no cache directory asked for
    names = [entry.name for entry in err.traceback]
    assert "tframe.framekit._first_cmd_to_check_version" in names
    assert "tframe.framekit._before_first_cmd" in names


def test_default_core_name(env, core, monkeypatch):
    use_versions(monkeypatch, "3", ["4"])
    with pytest.raises(VersionError, match="Korvit"):
        env.vr.g_KorvitSocket.connect()


def test_handshake_steps_are_late_bound(env, monkeypatch):
    calls = []
    monkeypatch.setattr(framekit, "_first_cmd_to_check_version", lambda: calls.append("check"))
    monkeypatch.setattr(framekit, "_first_cmd_to_get_cache_dir", lambda: calls.append("cache"))
    assert framekit._before_first_cmd() is True
    assert calls == ["check", "cache"]


def test_sys_exit(env, caplog, monkeypatch):
    closed = []
    monkeypatch.setattr(env.vr.g_KorvitSocket, "disconnect", lambda: closed.append("cmd"))
    monkeypatch.setattr(env.vr.g_KorvitSocketSub, "disconnect", lambda: closed.append("sub"))
    with caplog.at_level(logging.INFO, logger="korvit.sys"):
        framekit.sys_exit()
    assert closed == ["cmd", "sub"] and caplog.messages == ["Python interpreter exit!"]

    def broken():
        raise OSError("socket gone")

    monkeypatch.setattr(env.vr.g_KorvitSocket, "disconnect", broken)
    caplog.clear()
    with caplog.at_level(logging.INFO, logger="korvit.sys"):
        framekit.sys_exit()  # logged, never raised
    assert (
        caplog.messages[0].endswith("socket gone")
        and caplog.messages[1] == "Python interpreter exit!"
    )

    monkeypatch.setattr(framekit, "env", None)
    caplog.clear()
    with caplog.at_level(logging.INFO, logger="korvit.sys"):
        framekit.sys_exit()
    assert caplog.messages == ["Python interpreter exit!"]


def test_task_id_names_log_and_output(env, tmp_path, isolated_files):
    OutputFileManager.init(str(tmp_path))
    LoggerManager.init(str(tmp_path / "log"))
    env.set_kvcore_task_id(42)
    assert env.vr.g_KorvitModeTaskId == 42
    assert LoggerManager.log_file() == str(tmp_path / "log" / "42.log")
    made = env.mk_root_sub_dir("charts")
    assert made == str(tmp_path / "output" / "42" / "charts") and os.path.isdir(made)
    env.cls_root_sub_dir("charts")
    assert env.rm_root_sub_dir("charts") and not os.path.exists(made)
    framekit.SystemBaseEnv.release_source()
    assert LoggerManager.log_file() is None


def test_rule_maps():
    synthetic, topmost = framekit.synthetic_k_data_rule_map, framekit.adjust_topmost_rule_map
    for freq in (gv.KFreq_Week, gv.KFreq_Month, gv.KFreq_Year, gv.KFreq_Day):
        assert synthetic(freq) == gv.KFreq_Day and topmost(freq) == gv.KFreq_Day
    assert synthetic(gv.KFreq_Min) == gv.KFreq_Min and topmost(gv.KFreq_Min) == gv.KFreq_Min
    assert topmost(gv.KFreq_Tick) == gv.KFreq_Tick
    with pytest.raises(KeyError):
        synthetic(gv.KFreq_Tick)
    with pytest.raises(ValueError, match=r"^Not exist rule map, frequency_i=`99`$"):
        topmost(99)
    with pytest.raises(ValueError, match=r"frequency_i=`\(1, 2\)`"):
        topmost((1, 2))
