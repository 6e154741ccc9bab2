"""TCP client of the core process.

Wire protocol: one JSON object per line (UTF-8, ending in "\\n").  A request
is ``{"id": n, "cmd": name, "params": {...}}``; the core answers it with
``{"id": n, "ok": true, "result": ...}`` or ``{"id": n, "ok": false,
"error": "text"}``, echoing the request's id.  Ids are integers that grow by
one with every request of a client.  Requests on one socket are strictly one
at a time.

A reply is only ever returned to the request whose id it carries.  A reply
carrying the id of an earlier request on the same connection (a duplicate or
a stray line from the core) is logged and skipped; a reply with any other id,
or without one, is a protocol error.

Every operation has one deadline, ``timeout`` seconds from its start: it
covers waiting for the socket, connecting (with the connect callback and the
requests it sends), sending the request and reading the whole reply, however
the bytes trickle in.
"""

import contextlib
import json
import logging
import socket
import threading
import time

__all__ = ["ClientSocket", "KvCommandError", "KvProtocolError", "MAX_LINE"]

MAX_LINE = 64 * 1024 * 1024  # longest reply line accepted, in bytes, "\n" included

_RECV_SIZE = 64 * 1024
_log = logging.getLogger("korvit.sys")


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
    (a late reply could otherwise be read after the next request is sent);
    the next request connects again.  Requests are not retried.
    """

    def __init__(self, host, port, timeout):
        if not isinstance(host, str) or not host:
            raise TypeError(f"host must be a non-empty str, got {host!r}")
        if isinstance(port, bool) or not isinstance(port, int) or not 0 < port < 65536:
            raise ValueError(f"port must be an int in 1..65535, got {port!r}")
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not timeout > 0:
            raise ValueError(f"timeout must be a positive number of seconds, got {timeout!r}")
        self.host = host
        self.port = port
        self.timeout = float(timeout)
        self._callback = None
        self._sock = None
        self._buf = bytearray()  # received bytes not yet consumed as reply lines
        self._last_id = 0  # id of the latest request sent by this client
        self._first_id = 1  # id of the first request on the current connection
        self._deadline = None  # deadline of the operation running, if any
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
        with self._operation("connect") as deadline:
            if self._sock is None:
                self._open(deadline)
            return True

    def reconnect(self):
        """Close any connection and connect anew; returns True."""
        with self._operation("reconnect") as deadline:
            self._close()
            self._open(deadline)
            return True

    def disconnect(self):
        """Close the connection; does nothing when already closed."""
        with self._lock:
            self._close()

    def request(self, cmd, **params):
        """Send one command and return its result (connecting first if needed).

        Raises TimeoutError when the whole exchange does not end within
        ``timeout`` seconds, ConnectionError when the connection fails or the
        core closes it, KvProtocolError on a reply that breaks the protocol
        and KvCommandError when the core answers with an error.
        """
        if not isinstance(cmd, str) or not cmd:
            raise TypeError(f"command must be a non-empty str, got {cmd!r}")
        json.dumps(params)  # params the core cannot be sent fail before anything is sent
        with self._operation(f"request {cmd!r}") as deadline:
            if self._sock is None:
                self._open(deadline)
            self._last_id += 1
            req_id = self._last_id
            line = json.dumps({"id": req_id, "cmd": cmd, "params": params}, ensure_ascii=False)
            try:
                self._send((line + "\n").encode("utf-8"), deadline, cmd)
                reply = self._receive(req_id, deadline, cmd)
            except BaseException:
                self._close()
                raise
        if reply["ok"]:
            return reply.get("result")
        raise KvCommandError(cmd, reply.get("error", "no error text given"))

    # -- one deadline per operation

    @contextlib.contextmanager
    def _operation(self, what):
        """Hold the socket for one operation and yield its deadline.  An
        operation started inside another one (a request sent by the connect
        callback) ends by the outer deadline at the latest."""
        deadline = time.monotonic() + self.timeout
        if not self._lock.acquire(timeout=self.timeout):
            raise TimeoutError(
                f"{what} to the core process at {self.host}:{self.port}: the socket stayed "
                f"busy with another request for {self.timeout:g} s"
            )
        outer = self._deadline
        try:
            if outer is not None and outer < deadline:
                deadline = outer
            self._deadline = deadline
            yield deadline
        finally:
            self._deadline = outer
            self._lock.release()

    def _timed_out(self, cmd):
        return TimeoutError(
            f"core process at {self.host}:{self.port} did not answer {cmd!r} "
            f"within {self.timeout:g} s"
        )

    def _settimeout(self, deadline, cmd):
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise self._timed_out(cmd)
        self._sock.settimeout(remaining)

    # -- connection

    def _open(self, deadline):
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise TimeoutError(
                f"no time left to connect to the core process at "
                f"{self.host}:{self.port} within {self.timeout:g} s"
            )
        try:
            sock = socket.create_connection((self.host, self.port), timeout=remaining)
        except TimeoutError:
            raise TimeoutError(
                f"cannot connect to the core process at {self.host}:{self.port} "
                f"within {self.timeout:g} s"
            ) from None
        self._sock = sock
        self._buf.clear()
        self._first_id = self._last_id + 1
        if self._callback is not None:
            try:
                self._callback()
            except BaseException:
                self._close()
                raise
            if self._sock is None:  # a request of the callback failed and it went on
                raise ConnectionError(
                    f"connection to the core process at {self.host}:{self.port} "
                    "was lost during the connect callback"
                )

    def _close(self):
        sock, self._sock = self._sock, None
        self._buf.clear()
        if sock is not None:
            try:
                sock.close()
            except OSError:
                pass

    # -- framing

    def _send(self, data, deadline, cmd):
        self._settimeout(deadline, cmd)  # bounds the whole sendall, not each chunk
        try:
            self._sock.sendall(data)
        except TimeoutError:
            raise self._timed_out(cmd) from None

    def _receive(self, req_id, deadline, cmd):
        """The reply carrying ``req_id``; replies to earlier requests on this
        connection are skipped."""
        while True:
            reply = _parse_reply(cmd, self._read_line(deadline, cmd))
            rid = reply.get("id")
            if type(rid) is int and rid == req_id:
                return reply
            if type(rid) is int and self._first_id <= rid < req_id:
                _log.warning(
                    "core process at %s:%s sent another reply to request %d; "
                    "skipped while waiting for the reply to %r (request %d)",
                    self.host,
                    self.port,
                    rid,
                    cmd,
                    req_id,
                )
                continue
            raise KvProtocolError(
                f"reply to {cmd!r} carries id {rid!r}, not the request's id {req_id}"
            )

    def _read_line(self, deadline, cmd):
        buf = self._buf
        scanned = 0
        while True:
            end = buf.find(b"\n", scanned)
            if end >= 0:
                if end + 1 > MAX_LINE:
                    break
                line = bytes(buf[: end + 1])
                del buf[: end + 1]
                return line
            if len(buf) >= MAX_LINE:
                break
            scanned = len(buf)
            self._settimeout(deadline, cmd)
            try:
                chunk = self._sock.recv(_RECV_SIZE)
            except TimeoutError:
                raise self._timed_out(cmd) from None
            if not chunk:
                where = "in the middle of the reply" if buf else "before replying"
                raise ConnectionError(
                    f"core process at {self.host}:{self.port} closed the "
                    f"connection {where} to {cmd!r}"
                )
            buf += chunk
        raise KvProtocolError(f"reply to {cmd!r} is longer than {MAX_LINE} bytes")


def _parse_reply(cmd, raw):
    try:
        reply = json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, ValueError):
        raise KvProtocolError(f"reply to {cmd!r} is not JSON: {raw[:200]!r}") from None
    except RecursionError:
        raise KvProtocolError(f"reply to {cmd!r} is nested too deeply: {raw[:50]!r}...") from None
    if not isinstance(reply, dict) or not isinstance(reply.get("ok"), bool):
        raise KvProtocolError(f"reply to {cmd!r} lacks a boolean 'ok': {reply!r:.200}")
    return reply
