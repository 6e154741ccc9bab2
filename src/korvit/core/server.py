"""The stand-in core process.

Commands (one JSON object per line, see ``korvit.tframe.comm.kvclient``); every
reply echoes the request's "id" (null when the request has none or cannot be
read):

- "ToolboxCheck" (kind, version, support) -> {"listSupportedToolbox": [...],
  "wstrCoreVer": ...}: the framework versions this core accepts and its own
  version.  Deciding compatibility is the client's business.
- "GetToolBoxRootofCacheDir" -> the cache root directory (created).
- "Ping" -> "pong".

Anything else, and any malformed request (one nested too deeply included),
is answered with ok=false and the connection goes on.

What a client can make the process hold is bounded: a request line longer
than ``max_line`` bytes (``MAX_LINE``, 1 MiB, by default) is answered with an
error and its connection closed, at most ``max_connections``
(``MAX_CONNECTIONS``, 32, by default) connections are served at once (one
more is told so and closed), and one request is read into objects at a time.
The defaults come from the settings ``CORE_MAX_LINE`` and
``CORE_MAX_CONNECTIONS`` (``KORVIT_CORE_MAX_LINE`` ... in the environment).
"""

import collections
import json
import os
import selectors
import socket
import socketserver
import tempfile
import threading
import time

import korvit
from korvit.setting import get_setting

__all__ = ["CoreServer", "DEFAULT_PORT", "MAX_LINE", "MAX_CONNECTIONS"]

DEFAULT_PORT = 3293
# The version this stand-in core reports (one the framework supports: korvit.get_support()).
CORE_VERSION = "1.0.0"
MAX_LINE = 1024 * 1024  # bytes of a request line, "\n" included
MAX_CONNECTIONS = 32
_KEPT_REQUESTS = 1000  # requests kept in CoreServer.requests
_DRAIN_SECONDS = 1.0  # reading what a refused client still sends, so that it gets the answer


class _BadRequest(Exception):
    pass


def _line(reply):
    try:
        return json.dumps(reply, ensure_ascii=False).encode("utf-8") + b"\n"
    except UnicodeEncodeError:  # a lone surrogate (sent escaped, as \ud800) goes back escaped
        return json.dumps(reply).encode("ascii") + b"\n"


class _Handler(socketserver.StreamRequestHandler):
    def handle(self):
        core = self.server.core
        core._track(self.connection, True)
        try:
            while True:
                raw = self.rfile.readline(core.max_line + 1)
                if not raw:
                    return
                if len(raw) > core.max_line:
                    self._refuse(f"request line longer than {core.max_line} bytes")
                    return
                if not raw.endswith(b"\n"):
                    self._refuse("request line cut off (the connection closed before its end)")
                    return
                if raw.strip():
                    self.wfile.write(_line(core._answer(raw)))
        except OSError:
            return  # the client went away, or the server is stopping
        finally:
            core._track(self.connection, False)

    def _refuse(self, error):
        """Answer ``error`` and end the connection."""
        self.wfile.write(_line({"id": None, "ok": False, "error": error}))
        _close_politely(self.connection)


def _close_politely(conn):
    """End the connection after the answer sent on it: closing a socket with
    unread bytes would reset it, and the client could lose the answer, so
    what the client still sends is read (and dropped) for a while first."""
    try:
        conn.shutdown(socket.SHUT_WR)
        deadline = time.monotonic() + _DRAIN_SECONDS
        buffer = bytearray(64 * 1024)
        while (left := deadline - time.monotonic()) > 0:
            conn.settimeout(left)
            if not conn.recv_into(buffer):
                break
    except OSError:
        pass


class _TCPServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def process_request(self, request, client_address):
        core = self.core
        if not core._admit():
            # Told in the accepting thread, without waiting on the client.
            try:
                request.setblocking(False)
                request.send(
                    _line(
                        {
                            "id": None,
                            "ok": False,
                            "error": f"too many connections (at most {core.max_connections})",
                        }
                    )
                )
                request.shutdown(socket.SHUT_WR)
                request.recv(64 * 1024)
            except OSError:
                pass
            self.shutdown_request(request)
            return
        try:
            super().process_request(request, client_address)
        except BaseException:
            core._release()
            raise

    def process_request_thread(self, request, client_address):
        try:
            super().process_request_thread(request, client_address)
        finally:
            self.core._release()


class CoreServer:
    """The stand-in core on ``host:port``; port 0 (the default here) picks a free
    port, the command line defaults to ``DEFAULT_PORT``."""

    def __init__(
        self,
        host="127.0.0.1",
        port=0,
        core_version=CORE_VERSION,
        supported=(korvit.__version__,),
        cache_root=None,
        *,
        max_line=None,
        max_connections=None,
        record=True,
    ):
        if isinstance(port, bool) or not isinstance(port, int) or not 0 <= port < 65536:
            raise ValueError(f"port must be an int in 0..65535, got {port!r}")
        self.max_line = _limit("max_line", max_line, "CORE_MAX_LINE", MAX_LINE)
        self.max_connections = _limit(
            "max_connections", max_connections, "CORE_MAX_CONNECTIONS", MAX_CONNECTIONS
        )
        if isinstance(supported, (str, bytes)) or not isinstance(supported, (list, tuple)):
            raise TypeError(f"supported must be a list of versions, got {supported!r}")
        json.dumps([core_version, list(supported)])  # must be sendable as they are
        self.host = host
        self.core_version = core_version
        self.supported = list(supported)
        self.cache_root = os.path.abspath(cache_root or default_cache_root())
        # The latest requests, (command, params), for tests and debugging.
        self.requests = collections.deque(maxlen=_KEPT_REQUESTS if record else 0)
        self._port = port
        self._server = None
        self._thread = None
        self._lock = threading.Lock()
        self._parsing = threading.Lock()  # one request read into objects at a time
        self._connections = set()
        self._admitted = 0
        self._commands = {
            "ToolboxCheck": self._toolbox_check,
            "GetToolBoxRootofCacheDir": self._cache_root_dir,
            "Ping": lambda params: "pong",
        }

    @property
    def serving(self):
        """Whether it serves: started, not stopped, its serving thread alive."""
        return self._server is not None and self._thread is not None and self._thread.is_alive()

    @property
    def port(self):
        """The listening port (the one picked by the system once started on port 0)."""
        return self._port

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        """Listen and serve on a background thread."""
        if self._server is not None:
            raise RuntimeError("core server already started")
        server = _TCPServer((self.host, self._port), _Handler)
        server.core = self
        self._server = server
        self._port = server.server_address[1]
        # stop() wakes the serving thread through this pair of sockets: the
        # thread waits for a connection or the wake-up, never on a timer.
        self._wake_out, self._wake_in = socket.socketpair()
        self._thread = threading.Thread(
            target=self._serve,
            args=(server, self._wake_out),
            name=f"korvit-core-{self._port}",
            daemon=True,
        )
        self._thread.start()
        return self

    def _serve(self, server, wake):
        with selectors.DefaultSelector() as selector:
            selector.register(server, selectors.EVENT_READ)
            selector.register(wake, selectors.EVENT_READ)
            while True:
                ready = {key.fileobj for key, _ in selector.select()}
                if wake in ready:
                    return
                if server in ready:
                    _accept(server)
                server.service_actions()

    def stop(self):
        """Stop serving and drop every client connection; safe to repeat."""
        server, self._server = self._server, None
        if server is None:
            return
        try:
            self._wake_in.send(b"x")
        except OSError:
            pass
        self._thread.join()
        server.server_close()
        self.drop_connections()
        self._wake_in.close()
        self._wake_out.close()

    def drop_connections(self):
        """Close every connection being served but keep listening (clients see a
        closed peer)."""
        with self._lock:
            connections = list(self._connections)
        for conn in connections:
            _shutdown(conn)

    def _admit(self):
        with self._lock:
            if self._admitted >= self.max_connections:
                return False
            self._admitted += 1
            return True

    def _release(self):
        with self._lock:
            self._admitted -= 1

    def _track(self, conn, alive):
        with self._lock:
            if not alive:
                self._connections.discard(conn)
                return
            self._connections.add(conn)
            stopped = self._server is None
        if stopped:  # accepted just before stop(): drop it too
            _shutdown(conn)

    def _answer(self, raw):
        """The reply to one request line, carrying the request's id."""
        with self._parsing:
            try:
                request = json.loads(raw.decode("utf-8"))
            except (UnicodeDecodeError, ValueError):
                return {"id": None, "ok": False, "error": "request is not a JSON object"}
            except RecursionError:
                return {"id": None, "ok": False, "error": "request is nested too deeply"}
            req_id = request.get("id") if isinstance(request, dict) else None
            if not isinstance(req_id, (int, float, str, type(None))):
                return {"id": None, "ok": False, "error": "request 'id' must be a number or text"}
            return {"id": req_id, **self._outcome(request)}

    def _outcome(self, request):
        try:
            if not isinstance(request, dict) or not isinstance(request.get("cmd"), str):
                raise _BadRequest("request lacks a text 'cmd'")
            cmd, params = request["cmd"], request.get("params", {})
            if not isinstance(params, dict):
                raise _BadRequest("'params' must be an object")
            with self._lock:
                self.requests.append((cmd, params))
            command = self._commands.get(cmd)
            if command is None:
                raise _BadRequest(f"unknown command {cmd!r}")
            return {"ok": True, "result": command(params)}
        except _BadRequest as exc:
            return {"ok": False, "error": str(exc)}
        except Exception as exc:  # a failing command must not kill the connection
            return {"ok": False, "error": f"{type(exc).__name__}: {exc}"}

    def _toolbox_check(self, params):
        missing = [k for k in ("kind", "version", "support") if k not in params]
        if missing:
            raise _BadRequest(f"ToolboxCheck lacks {', '.join(missing)}")
        if not isinstance(params["support"], list):
            raise _BadRequest("ToolboxCheck 'support' must be a list")
        return {"listSupportedToolbox": list(self.supported), "wstrCoreVer": self.core_version}

    def _cache_root_dir(self, params):
        os.makedirs(self.cache_root, exist_ok=True)
        return self.cache_root


def default_cache_root():
    """The cache root of a core not given one: ``korvit_core_cache`` in the temporary folder."""
    return os.path.join(tempfile.gettempdir(), "korvit_core_cache")


def _limit(name, value, setting, default):
    """A limit given, else the setting's, else ``default``: a whole number >= 1."""
    if value is None:
        value = get_setting(setting, default)
        name = f"setting {setting}"
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"{name} must be a whole number >= 1, got {value!r}")
    return value


def _accept(server):
    """Take one waiting connection and hand it to the server (as socketserver's
    own loop does)."""
    try:
        request, client_address = server.get_request()
    except OSError:
        return
    if not server.verify_request(request, client_address):
        server.shutdown_request(request)
        return
    try:
        server.process_request(request, client_address)
    except Exception:
        server.handle_error(request, client_address)
        server.shutdown_request(request)
    except BaseException:
        server.shutdown_request(request)
        raise


def _shutdown(conn):
    try:
        conn.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
