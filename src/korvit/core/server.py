"""The stand-in core process.

Commands (one JSON object per line, see ``korvit.tframe.comm.kvclient``); every
reply echoes the request's "id" (null when the request has none or cannot be
read):

- "ToolboxCheck" (kind, version, support) -> {"listSupportedToolbox": [...],
  "wstrCoreVer": ...}: the framework versions this core accepts and its own
  version.  Deciding compatibility is the client's business.
- "GetToolBoxRootofCacheDir" -> the cache root directory (created).
- "Ping" -> "pong".

Anything else, and any malformed request, is answered with ok=false.
"""

import json
import os
import socket
import socketserver
import tempfile
import threading

__all__ = ["CoreServer", "DEFAULT_PORT", "MAX_LINE"]

DEFAULT_PORT = 3293
MAX_LINE = 64 * 1024 * 1024


class _BadRequest(Exception):
    pass


class _Handler(socketserver.StreamRequestHandler):
    def handle(self):
        core = self.server.core
        core._track(self.connection, True)
        try:
            while True:
                raw = self.rfile.readline(MAX_LINE + 1)
                if not raw:
                    return
                if not raw.endswith(b"\n"):
                    self._reply({"id": None, "ok": False,
                                 "error": "request line too long or cut off"})
                    return
                if raw.strip():
                    self._reply(core._answer(raw))
        except OSError:
            return      # the client went away, or the server is stopping
        finally:
            core._track(self.connection, False)

    def _reply(self, reply):
        self.wfile.write(json.dumps(reply, ensure_ascii=False).encode("utf-8") + b"\n")


class _TCPServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


class CoreServer:
    """The stand-in core on ``host:port``; port 0 (the default here) picks a free
    port, the command line defaults to ``DEFAULT_PORT``."""

    def __init__(self, host="127.0.0.1", port=0, core_version="1.0.0",
                 supported=("1.0.0",), cache_root=None):
        if isinstance(port, bool) or not isinstance(port, int) or not 0 <= port < 65536:
            raise ValueError(f"port must be an int in 0..65535, got {port!r}")
        if isinstance(supported, (str, bytes)) or not isinstance(supported, (list, tuple)):
            raise TypeError(f"supported must be a list of versions, got {supported!r}")
        json.dumps([core_version, list(supported)])     # must be sendable as they are
        self.host = host
        self.core_version = core_version
        self.supported = list(supported)
        self.cache_root = os.path.abspath(
            cache_root or os.path.join(tempfile.gettempdir(), "korvit_core_cache"))
        self.requests = []
        self._port = port
        self._server = None
        self._thread = None
        self._lock = threading.Lock()
        self._connections = set()
        self._commands = {
            "ToolboxCheck": self._toolbox_check,
            "GetToolBoxRootofCacheDir": self._cache_root_dir,
            "Ping": lambda params: "pong",
        }

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
        self._thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1},
                                        name=f"korvit-core-{self._port}", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        """Stop serving and drop every client connection; safe to repeat."""
        server, self._server = self._server, None
        if server is None:
            return
        server.shutdown()
        server.server_close()
        self.drop_connections()
        self._thread.join()

    def drop_connections(self):
        """Close every connection being served but keep listening (clients see a
        closed peer)."""
        with self._lock:
            connections = list(self._connections)
        for conn in connections:
            _shutdown(conn)

    def _track(self, conn, alive):
        with self._lock:
            if not alive:
                self._connections.discard(conn)
                return
            self._connections.add(conn)
            stopped = self._server is None
        if stopped:     # accepted just before stop(): drop it too
            _shutdown(conn)

    def _answer(self, raw):
        """The reply to one request line, carrying the request's id."""
        try:
            request = json.loads(raw.decode("utf-8"))
        except (UnicodeDecodeError, ValueError):
            return {"id": None, "ok": False, "error": "request is not a JSON object"}
        req_id = request.get("id") if isinstance(request, dict) else None
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
        except Exception as exc:    # a failing command must not kill the connection
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


def _shutdown(conn):
    try:
        conn.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
