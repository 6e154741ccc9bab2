"""The core client against cores on 127.0.0.1 that misbehave on purpose."""

import json
import logging
import socket
import threading
import time

import pytest

from korvit.core import CoreServer
from korvit.tframe.comm import kvclient
from korvit.tframe.comm.kvclient import ClientSocket, KvProtocolError

LIFETIME = 30.0  # no faulty core thread outlives this, whatever the test does


class Peer:
    """One accepted connection, as seen by a script of the faulty core."""

    def __init__(self, conn, stop):
        self.conn, self.stop, self.buf = conn, stop, b""
        self.ends = time.monotonic() + LIFETIME
        conn.settimeout(0.1)

    def read(self):
        """The next request, or None once the client closed or the core stops."""
        while b"\n" not in self.buf:
            if self.stop.is_set() or time.monotonic() > self.ends:
                return None
            try:
                chunk = self.conn.recv(4096)
            except TimeoutError:
                continue
            if not chunk:
                return None
            self.buf += chunk
        line, self.buf = self.buf.split(b"\n", 1)
        return json.loads(line)

    def send(self, data):
        self.conn.sendall(data if isinstance(data, bytes) else json.dumps(data).encode() + b"\n")

    def answer(self, request):
        """Sends the proper reply: the request's params as result."""
        self.send({"id": request["id"], "ok": True, "result": request["params"]})


def serve_properly(peer):
    while (request := peer.read()) is not None:
        peer.answer(request)


class FaultyCore:
    """Serves its n-th connection with scripts[n] (the last script serves any later one)."""

    def __init__(self, *scripts):
        self.scripts, self.accepted, self.stop = scripts, 0, threading.Event()
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(0.1)
        self.port = self.listener.getsockname()[1]
        self.threads = [threading.Thread(target=self._accept, daemon=True)]
        self.threads[0].start()

    def _accept(self):
        ends = time.monotonic() + LIFETIME
        while not self.stop.is_set() and time.monotonic() < ends:
            try:
                conn, _ = self.listener.accept()
            except (TimeoutError, OSError):
                continue
            script = self.scripts[min(self.accepted, len(self.scripts) - 1)]
            self.accepted += 1
            thread = threading.Thread(target=self._run, args=(script, conn), daemon=True)
            self.threads.append(thread)
            thread.start()

    def _run(self, script, conn):
        with conn:
            try:
                script(Peer(conn, self.stop))
            except OSError:
                pass  # the client went away

    def close(self):
        self.stop.set()
        for thread in list(self.threads):
            thread.join(timeout=5)
        self.listener.close()


@pytest.fixture
def faulty():
    cores = []
    yield lambda *scripts: cores.append(FaultyCore(*scripts)) or cores[-1]
    for core in cores:
        core.close()


def timed(func, *args, **kwargs):
    start = time.monotonic()
    try:
        func(*args, **kwargs)
    finally:
        timed.elapsed = time.monotonic() - start


class TestRepliesGoToTheirOwnRequest:
    @pytest.mark.parametrize("late", [False, True], ids=["duplicate-at-once", "duplicate-later"])
    def test_duplicated_reply_is_skipped(self, faulty, caplog, late):
        def duplicates(peer):
            first = peer.read()
            peer.answer(first)
            if not late:
                peer.answer(first)
            while (request := peer.read()) is not None:
                if late:
                    peer.answer(first)  # arrives after the next request was sent
                peer.answer(request)

        core = faulty(duplicates)
        with ClientSocket("127.0.0.1", core.port, 5) as client, caplog.at_level(logging.WARNING):
            assert client.request("First", n=1) == {"n": 1}
            assert client.request("Second", n=2) == {"n": 2}
            assert client.request("Third", n=3) == {"n": 3}
            assert client.is_connected and core.accepted == 1
        assert any("request 1" in message for message in caplog.messages)

    @pytest.mark.parametrize(
        "wrong_id",
        [{"id": 2}, {"id": "1"}, {"id": True}, {"id": None}, {}],
        ids=["future", "text", "bool", "null", "missing"],
    )
    def test_reply_with_a_wrong_id_fails_at_once(self, faulty, wrong_id):
        def misnumbers(peer):
            peer.read()
            reply = {"ok": True, "result": "not yours", **wrong_id}
            peer.send(reply)
            serve_properly(peer)

        core = faulty(misnumbers, serve_properly)
        client = ClientSocket("127.0.0.1", core.port, 5)
        with pytest.raises(KvProtocolError, match="id"):
            timed(client.request, "Ping")
        assert timed.elapsed < 2.5 and not client.is_connected
        assert client.request("Ping", n=2) == {"n": 2}  # a new connection answers properly
        client.disconnect()

    def test_reply_to_a_request_of_an_earlier_connection_is_refused(self, faulty):
        def replays_id_1(peer):
            peer.send({"id": 1, "ok": True, "result": "stale"})
            serve_properly(peer)

        core = faulty(serve_properly, replays_id_1)
        with ClientSocket("127.0.0.1", core.port, 5) as client:
            assert client.request("Ping", n=1) == {"n": 1}
            client.reconnect()
            with pytest.raises(KvProtocolError, match="carries id 1"):
                client.request("Ping", n=2)

    @pytest.mark.parametrize(
        "garbage",
        [
            b"not json\n",
            b"\xff\xfe\n",
            b"[1, 2]\n",
            b'{"id": 1, "result": 3}\n',
            b"\n",
            b"[" * 100_000 + b"]" * 100_000 + b"\n",
        ],
        ids=["text", "not-utf8", "array", "no-ok", "blank", "nested-too-deeply"],
    )
    def test_garbage_line_fails_and_next_request_reconnects(self, faulty, garbage):
        def garbles(peer):
            request = peer.read()
            peer.send(garbage)
            peer.answer(request)

        core = faulty(garbles, serve_properly)
        client = ClientSocket("127.0.0.1", core.port, 5)
        with pytest.raises(KvProtocolError):
            client.request("Ping", n=1)
        assert not client.is_connected
        assert client.request("Ping", n=2) == {"n": 2} and core.accepted == 2
        client.disconnect()

    def test_reply_longer_than_the_limit(self, faulty, monkeypatch):
        def answers_with_lines_of_size(peer):  # a text result padding the line to `size`
            while (request := peer.read()) is not None:
                line = json.dumps({"id": request["id"], "ok": True, "result": ""}).encode() + b"\n"
                pad = request["params"]["size"] - len(line)
                peer.send(line[:-3] + b"x" * pad + b'"}\n')

        monkeypatch.setattr(kvclient, "MAX_LINE", 100)
        core = faulty(answers_with_lines_of_size)
        with ClientSocket("127.0.0.1", core.port, 5) as client:
            assert client.request("Text", size=100) == "x" * 64  # exactly the limit
            with pytest.raises(KvProtocolError, match="longer than 100 bytes"):
                client.request("Text", size=101)


class TestOneDeadlinePerRequest:
    def test_slow_drip_fails_in_about_the_timeout(self, faulty):
        def drips(peer):  # a 60-byte reply at a byte per 0.5 s: 30 s
            request = peer.read()
            line = (
                json.dumps({"id": request["id"], "ok": True, "result": "x" * 30}).encode() + b"\n"
            )
            for byte in line:
                if peer.stop.wait(0.5):
                    return
                peer.send(bytes([byte]))

        core = faulty(drips)
        client = ClientSocket("127.0.0.1", core.port, 1.0)
        with pytest.raises(TimeoutError, match="did not answer 'Ping' within 1 s"):
            timed(client.request, "Ping")
        assert 0.9 < timed.elapsed < 4.0 and not client.is_connected

    def test_stream_of_stale_replies_cannot_outlast_the_timeout(self, faulty):
        def repeats(peer):
            request = peer.read()
            peer.answer(request)
            request = peer.read()
            while not peer.stop.wait(0.2):
                peer.send({"id": request["id"] - 1, "ok": True, "result": "old"})

        core = faulty(repeats)
        client = ClientSocket("127.0.0.1", core.port, 1.0)
        client.request("Ping")
        with pytest.raises(TimeoutError):
            timed(client.request, "Ping")
        assert timed.elapsed < 4.0 and not client.is_connected

    def test_silent_core(self, faulty):
        core = faulty(lambda peer: peer.read() and peer.stop.wait(LIFETIME))
        client = ClientSocket("127.0.0.1", core.port, 0.5)
        with pytest.raises(TimeoutError):
            timed(client.request, "Ping")
        assert timed.elapsed < 3.0 and not client.is_connected

    def test_connect_callback_shares_the_deadline(self, faulty):
        def slow_handshake_then_silent(peer):
            request = peer.read()
            if not peer.stop.wait(0.9):
                peer.answer(request)
            peer.read()
            peer.stop.wait(LIFETIME)

        core = faulty(slow_handshake_then_silent)
        client = ClientSocket("127.0.0.1", core.port, 1.2)
        handshakes = []
        client.set_callback_connected(lambda: handshakes.append(client.request("Hello")))
        with pytest.raises(TimeoutError):  # 0.9 s of handshake leave 0.3 s for the request
            timed(client.request, "Ping")
        assert handshakes == [{}] and timed.elapsed < 1.9

    def test_close_in_the_middle_of_a_reply(self, faulty):
        def hangs_up(peer):
            peer.read()
            peer.send(b'{"id": 1, "ok": tr')

        core = faulty(hangs_up, serve_properly)
        client = ClientSocket("127.0.0.1", core.port, 5)
        with pytest.raises(ConnectionError, match="in the middle of the reply"):
            client.request("Ping")
        assert not client.is_connected and client.request("Ping", n=2) == {"n": 2}
        client.disconnect()


def test_stand_in_core_echoes_the_request_id(tmp_path):
    with (
        CoreServer(cache_root=str(tmp_path)) as core,
        socket.create_connection(("127.0.0.1", core.port), timeout=5) as raw,
    ):
        raw.sendall(
            b'{"id": 7, "cmd": "Ping"}\n{"id": "a", "cmd": "Nope"}\n{"cmd": "Ping"}\nnot json\n'
        )
        reader = raw.makefile("rb")
        replies = [json.loads(reader.readline()) for _ in range(4)]
    assert [(r["id"], r["ok"]) for r in replies] == [
        (7, True),
        ("a", False),
        (None, True),
        (None, False),
    ]
