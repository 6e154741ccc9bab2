"""The stand-in core process under hostile input, over real loopback sockets:
deep nesting answered, long lines and many connections bounded (the
process's memory measured), and a relative cache root refused by the client."""

import json
import os
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from korvit.core import CoreServer

MiB = 1024 * 1024


@pytest.fixture
def core(tmp_path):
    """Start ``python -m korvit.core`` with the given options; yields a
    function returning ``(process, (host, port))``."""
    started = []

    def start(*options, env=None):
        process = subprocess.Popen(
            [
                sys.executable,
                "-m",
                "korvit.core",
                "--port",
                "0",
                "--cache-root",
                str(tmp_path / "cache"),
                *map(str, options),
            ],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env={**os.environ, **(env or {})},
        )
        started.append(process)
        line = process.stdout.readline()
        assert line.startswith("korvit core listening on"), process.communicate()
        host, port = line.split()[-1].rsplit(":", 1)
        return process, (host, int(port))

    yield start
    for process in started:
        process.terminate()
        process.communicate(timeout=30)


def connect(address):
    sock = socket.create_connection(address, timeout=30)
    return sock, sock.makefile("rb")


def ask(sock, reader, request):
    sock.sendall(request if isinstance(request, bytes) else json.dumps(request).encode() + b"\n")
    return json.loads(reader.readline())


def memory(process, field):
    """``VmRSS`` / ``VmHWM`` (peak) of a process, in bytes."""
    for line in Path(f"/proc/{process.pid}/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    raise AssertionError(field)


def test_a_request_nested_too_deeply_is_answered_and_the_connection_goes_on(core):
    process, address = core()
    sock, reader = connect(address)
    with sock:
        deep = b"[" * 100_000 + b"]" * 100_000 + b"\n"
        assert ask(sock, reader, deep) == {
            "id": None,
            "ok": False,
            "error": "request is nested too deeply",
        }
        deep_params = (
            b'{"id": 1, "cmd": "Ping", "params": '
            + b'{"a": ' * 100_000
            + b"1"
            + b"}" * 100_001
            + b"\n"
        )
        assert ask(sock, reader, deep_params)["error"] == "request is nested too deeply"
        # an id that is no number or text is not echoed
        assert ask(sock, reader, {"id": [[[1]]], "cmd": "Ping"}) == {
            "id": None,
            "ok": False,
            "error": "request 'id' must be a number or text",
        }
        # text that has no UTF-8 form (a lone surrogate) goes back escaped
        assert ask(sock, reader, b'{"id": "\\ud800", "cmd": "Ping"}\n') == {
            "id": "\ud800",
            "ok": True,
            "result": "pong",
        }
        assert ask(sock, reader, {"id": 2, "cmd": "Ping"}) == {
            "id": 2,
            "ok": True,
            "result": "pong",
        }
    process.terminate()
    _, err = process.communicate(timeout=30)
    assert "Traceback" not in err and "RecursionError" not in err


@pytest.mark.skipif(not Path("/proc/self/status").exists(), reason="reads the memory from /proc")
def test_long_lines_on_many_connections_keep_the_memory_bounded(core):
    """Six connections each send a 65 MiB line at once: the process reads at
    most 1 MiB of each, answers, closes it, and its peak memory stays within
    a few MiB of where it started."""
    process, address = core()
    sock, reader = connect(address)
    with sock:
        assert ask(sock, reader, {"id": 1, "cmd": "Ping"})["ok"]
    before = memory(process, "VmHWM")
    line = b"x" * (65 * MiB)
    answers = []

    def flood():
        with socket.create_connection(address, timeout=60) as conn:
            reading = conn.makefile("rb")
            got = []
            reader_thread = threading.Thread(target=lambda: got.append(reading.readline()))
            reader_thread.start()
            try:
                conn.sendall(line)
            except OSError:
                pass  # closed by the core once it had answered
            reader_thread.join(60)
            answers.append(got[0] if got else b"")

    threads = [threading.Thread(target=flood) for _ in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    grown = memory(process, "VmHWM") - before
    assert grown < 24 * MiB, f"peak memory grew by {grown / MiB:.0f} MiB"
    replies = [json.loads(answer) for answer in answers if answer]
    assert replies and all(r["error"] == f"request line longer than {MiB} bytes" for r in replies)
    sock, reader = connect(address)
    with sock:
        assert ask(sock, reader, {"id": 3, "cmd": "Ping"})["result"] == "pong"


def test_the_line_limit_from_the_environment_answers_then_closes(core):
    _, address = core(env={"KORVIT_CORE_MAX_LINE": "100"})
    sock, reader = connect(address)
    with sock:
        assert ask(sock, reader, {"id": 1, "cmd": "Ping"})["ok"]
        reply = ask(
            sock,
            reader,
            json.dumps({"id": 2, "cmd": "Ping", "params": {"pad": "x" * 200}}).encode() + b"\n",
        )
        assert reply == {"id": None, "ok": False, "error": "request line longer than 100 bytes"}
        assert reader.readline() == b""  # closed


def test_connections_past_the_limit_are_told_and_closed(core):
    process, address = core("--max-connections", 3)
    served = [connect(address) for _ in range(3)]
    for number, (sock, reader) in enumerate(served):
        assert ask(sock, reader, {"id": number, "cmd": "Ping"})["ok"]
    sock, reader = connect(address)
    with sock:
        assert json.loads(reader.readline()) == {
            "id": None,
            "ok": False,
            "error": "too many connections (at most 3)",
        }
        assert reader.readline() == b""
    served.pop()[0].close()
    deadline = time.monotonic() + 30
    while True:  # the slot frees once the core has seen the close
        sock, reader = connect(address)
        with sock:
            reply = ask(sock, reader, {"id": 9, "cmd": "Ping"})
        if reply["ok"] or time.monotonic() > deadline:
            break
        time.sleep(0.05)
    assert reply == {"id": 9, "ok": True, "result": "pong"}
    for sock, _ in served:
        sock.close()
    bad = subprocess.run(
        [sys.executable, "-m", "korvit.core", "--max-connections", "0"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert (
        bad.returncode == 2 and "--max-connections must be a whole number >= 1, got 0" in bad.stderr
    )


@pytest.mark.parametrize("root", ["relative/cache", ".", "/tmp/a\0b"])
def test_a_relative_cache_root_from_a_core_is_refused(tmp_path, root):
    """A core naming a relative cache root would have the run's output and
    log folders made under whatever the current directory is: the run stops
    with one line instead, and makes nothing there."""
    strategy = Path(__file__).resolve().parent.parent / "examples" / "strategies" / "ma_cross.py"
    cwd = tmp_path / "cwd"
    cwd.mkdir()
    with CoreServer(cache_root=str(tmp_path / "cache")) as fake:
        fake._commands["GetToolBoxRootofCacheDir"] = lambda params: root
        done = subprocess.run(
            [
                sys.executable,
                "-m",
                "korvit",
                "backtest",
                strategy,
                "--core",
                f"{fake.host}:{fake.port}",
                "--out",
                tmp_path / "out",
                "--no-progress",
            ],
            capture_output=True,
            text=True,
            timeout=300,
            cwd=cwd,
        )
    assert done.returncode == 2, done.stderr
    assert done.stderr.count("\n") == 1 and "it must be an absolute path" in done.stderr, (
        done.stderr
    )
    assert repr(root) in done.stderr and f"core process at {fake.host}:{fake.port}" in done.stderr
    assert list(cwd.iterdir()) == []


def test_stopping_the_embedded_core_drops_its_clients_and_frees_its_port():
    """stop() ends the serving thread without waiting out a poll interval (every
    run starts and stops one), closes the clients' connections and frees the
    port; what was asked before the stop was answered."""
    for _ in range(20):
        server = CoreServer().start()
        with socket.create_connection((server.host, server.port), timeout=5) as client:
            client.sendall(b'{"id": 1, "cmd": "Ping"}\n')
            assert json.loads(client.makefile("rb").readline()) == {
                "id": 1,
                "ok": True,
                "result": "pong",
            }
            server.stop()
            client.settimeout(5)
            assert client.recv(1) == b""  # the core closed the connection
        assert not server._thread.is_alive()
        with pytest.raises(OSError):
            socket.create_connection((server.host, server.port), timeout=1).close()
        server.stop()  # again: nothing to do
