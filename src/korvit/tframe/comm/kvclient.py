"""TCP client of the core process.

Wire protocol: one JSON object per line (UTF-8, ending in "\\n").  A request
is ``{"cmd": name, "params": {...}}``; the reply is ``{"ok": true, "result": ...}``
or ``{"ok": false, "error": "text"}``.  Requests on one socket are strictly
one at a time.
"""

import json
import socket
import threading

__all__ = ["ClientSocket", "KvCommandError", "KvProtocolError", "MAX_LINE"]

MAX_LINE = 64 * 1024 * 1024     # longest reply line accepted, in bytes


class KvCommandError(RuntimeError):
    """The core process answered a command with an error."""

    def __init__(self, cmd, error):
        super().__init__(f"core process rejected command {cmd!r}: {error}")
        self.cmd = cmd
        self.error = error


class KvProtocolError(ConnectionError):
    """The core process sent a reply that does not follow the protocol."""


class ClientSocket:
    """One connection to the core process, (re)opened on demand.

    A time-out, a broken connection or a malformed reply closes the socket
    (a late reply could otherwise be taken for the answer to the next
    request); the next request connects again.  Requests are not retried.
    """

    def __init__(self, host, port, timeout):
        if not isinstance(host, str) or not host:
            raise TypeError(f"host must be a non-empty str, got {host!r}")
        if isinstance(port, bool) or not isinstance(port, int) or not 0 < port < 65536:
            raise ValueError(f"port must be an int in 1..65535, got {port!r}")
        if (isinstance(timeout, bool) or not isinstance(timeout, (int, float))
                or not timeout > 0):
            raise ValueError(f"timeout must be a positive number of seconds, got {timeout!r}")
        self.host = host
        self.port = port
        self.timeout = float(timeout)
        self._callback = None
        self._sock = None
        self._reader = None
        self._lock = threading.RLock()

    def __repr__(self):
        state = "connected" if self.is_connected else "closed"
        return f"<ClientSocket {self.host}:{self.port} {state}>"

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.disconnect()

    def set_callback_connected(self, func):
        """Call ``func()`` after every successful (re)connect; None removes it."""
        if func is not None and not callable(func):
            raise TypeError(f"connect callback must be callable, got {func!r}")
        self._callback = func

    @property
    def is_connected(self):
        return self._sock is not None

    def connect(self):
        """Connect when not connected (running the connect callback); returns True."""
        with self._lock:
            if self._sock is None:
                self._open()
            return True

    def reconnect(self):
        """Close any connection and connect anew; returns True."""
        with self._lock:
            self._close()
            self._open()
            return True

    def disconnect(self):
        """Close the connection; does nothing when already closed."""
        with self._lock:
            self._close()

    def request(self, cmd, **params):
        """Send one command and return its result (connecting first if needed)."""
        if not isinstance(cmd, str) or not cmd:
            raise TypeError(f"command must be a non-empty str, got {cmd!r}")
        line = json.dumps({"cmd": cmd, "params": params}, ensure_ascii=False) + "\n"
        with self._lock:
            if self._sock is None:
                self._open()
            try:
                self._sock.sendall(line.encode("utf-8"))
                raw = self._reader.readline(MAX_LINE + 1)
                if not raw:
                    raise ConnectionError(
                        f"core process at {self.host}:{self.port} closed the connection")
                if len(raw) > MAX_LINE or not raw.endswith(b"\n"):
                    raise KvProtocolError(f"reply to {cmd!r} is too long or cut off")
                reply = _parse_reply(cmd, raw)
            except BaseException:
                self._close()
                raise
        if reply["ok"]:
            return reply.get("result")
        raise KvCommandError(cmd, reply.get("error", "no error text given"))

    def _open(self):
        sock = socket.create_connection((self.host, self.port), timeout=self.timeout)
        sock.settimeout(self.timeout)
        self._sock = sock
        self._reader = sock.makefile("rb")
        if self._callback is not None:
            try:
                self._callback()
            except BaseException:
                self._close()
                raise

    def _close(self):
        reader, sock = self._reader, self._sock
        self._reader = self._sock = None
        for stream in (reader, sock):
            if stream is not None:
                try:
                    stream.close()
                except OSError:
                    pass


def _parse_reply(cmd, raw):
    try:
        reply = json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, ValueError):
        raise KvProtocolError(f"reply to {cmd!r} is not JSON: {raw[:200]!r}") from None
    if not isinstance(reply, dict) or not isinstance(reply.get("ok"), bool):
        raise KvProtocolError(f"reply to {cmd!r} lacks a boolean 'ok': {reply!r:.200}")
    return reply
