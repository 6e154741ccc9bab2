"""What was read from files, kept for the next read of the same file.

A sweep or a notebook runs the same bar and contract files again and again;
parsing them each time costs a run more than its bars do.  ``Kept`` keeps the
last few loads by the file's path, a digest of its bytes and the options of
the load, so a file rewritten (even at once, to the same length) is read
anew.  Callers hand out copies of what they take from it.
"""

from __future__ import annotations

import collections
import hashlib
import os
from collections.abc import Hashable, Iterable
from typing import Any

__all__ = ["Kept", "file_key"]

MAX_BYTES = 64 * 1024 * 1024  # larger files (and larger loads of a smaller one) are read each time


def file_key(source: object, options: Iterable[tuple[str, Any]] = ()) -> Hashable | None:
    """The key of a file source among kept loads: its path as given and absolute,
    a digest of its bytes and ``options`` (pairs); None for any other source, a
    file too large or unreadable, or options that are no key."""
    if not isinstance(source, (str, os.PathLike)):
        return None
    try:
        given = os.fspath(source)
        name = os.path.abspath(given)
        if not os.path.isfile(name) or os.path.getsize(name) > MAX_BYTES:
            return None
        with open(name, "rb") as file:
            digest = hashlib.blake2b(file.read(), digest_size=20).digest()
        key = (
            given,
            name,
            digest,
            tuple((k, tuple(v) if isinstance(v, list) else v) for k, v in options),
        )
        hash(key)
    except (OSError, TypeError, ValueError):  # read as usual, which says what is wrong
        return None
    return key


class Kept:
    """The last ``size`` loads, by key (least recently used out first)."""

    def __init__(self, size: int = 8) -> None:
        self._loads: collections.OrderedDict[Hashable, Any] = collections.OrderedDict()
        self._size = size

    def get(self, key: Hashable) -> Any:
        found = self._loads.get(key)
        if found is not None:
            self._loads.move_to_end(key)
        return found

    def put(self, key: Hashable, value: Any) -> None:
        self._loads[key] = value
        while len(self._loads) > self._size:
            self._loads.popitem(last=False)

    def clear(self) -> None:
        self._loads.clear()
