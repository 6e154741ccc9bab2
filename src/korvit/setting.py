"""Host settings.

A setting is looked up, in this order, among the values set in this process
with :func:`set_setting`, then in the environment variable ``KORVIT_<KEY>``
(numeric text becomes an int or a float), else the caller's default.

Known keys: ``KV_SOCKET_TIMEOUT`` and ``KV_SUB_SOCKET_TIMEOUT``, the time-outs
in seconds of the command and subscription sockets to the core process;
``CORE_MAX_LINE`` and ``CORE_MAX_CONNECTIONS``, the stand-in core's limits on
a request line's bytes and on the connections it serves at once.
"""

import os
import re
import threading
from typing import Any

__all__ = ["get_setting", "set_setting", "reset_settings", "ENV_PREFIX"]

ENV_PREFIX = "KORVIT_"

_INT_RE = re.compile(r"[+-]?\d+")
_FLOAT_RE = re.compile(r"[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?")

_values: dict[str, Any] = {}
_lock = threading.Lock()


def _check_key(key):
    if not isinstance(key, str) or not key:
        raise TypeError(f"setting key must be a non-empty str, got {key!r}")


def _parse(text):
    stripped = text.strip()
    if _INT_RE.fullmatch(stripped):
        return int(stripped)
    if _FLOAT_RE.fullmatch(stripped):
        return float(stripped)
    return text


def set_setting(key, value):
    """Set ``key`` for the whole process; it wins over the environment."""
    _check_key(key)
    with _lock:
        _values[key] = value


def get_setting(key, default=None):
    """The value of ``key``: set value, else ``KORVIT_<KEY>``, else ``default``."""
    _check_key(key)
    with _lock:
        if key in _values:
            return _values[key]
    text = os.environ.get(ENV_PREFIX + key)
    if text is None:
        return default
    return _parse(text)


def reset_settings():
    """Forget every value set with :func:`set_setting`."""
    with _lock:
        _values.clear()
