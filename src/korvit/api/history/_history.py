"""In-memory history store filled by the host: contract information and ticks.

Every getter returns copies, so callers cannot change the store by accident.
"""

import threading
from collections.abc import Mapping
from typing import Any

import numpy as np

from korvit.tframe.ufuncs import todotmc
from korvit.tframe.utils.utilfunc import as_index

__all__ = [
    "TickData",
    "set_target_info",
    "get_target_info",
    "set_target_info_v2",
    "get_target_info_v2",
    "set_bar_tick_data",
    "set_many_bar_tick_data",
    "get_bar_tick_data",
    "clear",
]

_lock = threading.Lock()
_target_info: dict[str, Any] = {}  # "MARKET.CODE" -> info dict
_target_info_v2: list[Any] = []  # target index -> info dict
_ticks: dict[
    tuple[int, int], Any
] = {}  # (target index, bar position) -> (write, times, prices, volumes)
_chunks: list[Any] = []  # _Chunk per set_many_bar_tick_data call, oldest first
_writes = 0  # tick writes so far: a later write of a bar wins over an earlier one

_BAR_BITS = 32  # a chunk's key: target index above, bar position in the low bits
_MAX_BAR = (1 << _BAR_BITS) - 1
_MAX_TARGET = (1 << (63 - _BAR_BITS)) - 1
_KEY_NAMES = ("target index", "bar position")


class _Chunk:
    """The ticks of many bars stored by one call: flat columns, the bars' keys sorted, the
    k-th key's ticks at ``starts[k]:ends[k]``."""

    __slots__ = ("write", "keys", "starts", "ends", "columns")

    def __init__(self, write, keys, starts, ends, columns):
        self.write, self.keys, self.starts, self.ends, self.columns = (
            write,
            keys,
            starts,
            ends,
            columns,
        )

    def find(self, wanted):
        """The position of key `wanted`, or -1."""
        k = int(np.searchsorted(self.keys, wanted))
        return k if k < len(self.keys) and self.keys[k] == wanted else -1

    def ticks(self, k):
        a, b = self.starts[k], self.ends[k]
        return tuple(column[a:b] for column in self.columns)


class TickData:
    """The ticks of one bar, in time order: arrays ``Time``, ``Price``, ``VolumeTick``."""

    __slots__ = ("Time", "Price", "VolumeTick")

    def __init__(self, Time, Price, VolumeTick):
        self.Time = Time
        self.Price = Price
        self.VolumeTick = VolumeTick

    def __len__(self):
        return len(self.Time)

    def __repr__(self):
        return f"TickData({len(self)} ticks)"


def set_target_info(entries):
    """Replace the contract information keyed by market and code.

    Each entry is a mapping with at least "Market", "Code" and "Type".
    """
    table = {}
    for entry in entries:
        if not isinstance(entry, Mapping):
            raise TypeError(f"target info must be a mapping, got {entry!r}")
        missing = [k for k in ("Market", "Code", "Type") if k not in entry]
        if missing:
            raise ValueError(f"target info {entry!r} lacks {', '.join(missing)}")
        key = todotmc(entry)
        if key in table:
            raise ValueError(f"target {key} is given twice")
        table[key] = dict(entry)
    with _lock:
        _target_info.clear()
        _target_info.update(table)


def get_target_info(queries):
    """One info dict per {"Market": ..., "Code": ...} query, in order."""
    if isinstance(queries, (str, Mapping)):
        raise TypeError("queries must be a list of {'Market': ..., 'Code': ...} mappings")
    keys = [todotmc(query) for query in queries]
    with _lock:
        missing = [key for key in keys if key not in _target_info]
        if missing:
            raise LookupError(f"no target info for {', '.join(missing)}")
        return [dict(_target_info[key]) for key in keys]


def set_target_info_v2(infos):
    """Replace the contract information indexed by target index."""
    table = []
    for info in infos:
        if not isinstance(info, Mapping):
            raise TypeError(f"target info must be a mapping, got {info!r}")
        table.append(dict(info))
    with _lock:
        _target_info_v2[:] = table


def get_target_info_v2(target_indices):
    """A new list holding the info dict of each requested target index, in order."""
    if isinstance(target_indices, list) and all(type(i) is int and i >= 0 for i in target_indices):
        positions = target_indices  # the engine's usual call: plain indices
    else:
        indices = np.asarray(target_indices, dtype=object).ravel()
        positions = [as_index("target index", i) for i in indices]
    with _lock:
        count = len(_target_info_v2)
        bad = [i for i in positions if i >= count]
        if bad:
            raise IndexError(f"target index {bad[0]} out of range: {count} targets known")
        return [_target_info_v2[i].copy() for i in positions]


def set_bar_tick_data(target_idx, bar_pos, times, prices, volumes):
    """Store the ticks of one bar of one target (sorted into time order)."""
    global _writes
    key = (as_index("target index", target_idx), as_index("bar position", bar_pos))
    arrays = []
    for name, values in (("times", times), ("prices", prices), ("volumes", volumes)):
        arr = np.asarray(values)
        if arr.dtype.kind not in "iuf":
            raise TypeError(f"tick {name} must be numeric, got dtype {arr.dtype}")
        arrays.append(np.array(arr, dtype=np.float64).ravel())
    if len({arr.size for arr in arrays}) != 1:
        raise ValueError(
            f"tick times, prices and volumes differ in length: {[arr.size for arr in arrays]}"
        )
    if np.isnan(arrays[0]).any():
        raise ValueError("tick times hold NaN")
    order = np.argsort(arrays[0], kind="stable")
    with _lock:
        _writes += 1
        _ticks[key] = (_writes,) + tuple(arr[order] for arr in arrays)


def _key_columns(keys):
    """The target indices and bar positions of `keys` as two int64 arrays, each checked as
    `as_index` checks one (the same error for the first bad one)."""
    if (
        isinstance(keys, np.ndarray)
        and keys.dtype.kind in "iu"
        and keys.ndim == 2
        and keys.shape[1] == 2
        and (keys.dtype.kind == "i" or keys.dtype.itemsize < 8)
    ):
        pairs = keys.astype(np.int64, copy=False)
        negative = np.flatnonzero(pairs.ravel() < 0)
        if negative.size:
            first = int(negative[0])
            raise IndexError(f"{_KEY_NAMES[first % 2]} {pairs.flat[first]} is negative")
    else:
        pairs = np.array(
            [(as_index("target index", t), as_index("bar position", b)) for t, b in keys],
            dtype=np.int64,
        ).reshape(-1, 2)
    return pairs[:, 0], pairs[:, 1]


def set_many_bar_tick_data(keys, times, prices, volumes, bounds):
    """Store the ticks of many bars at once.

    ``keys`` lists ``(target index, bar position)`` pairs (an (n, 2) integer
    array is checked at once, without a loop); the ticks of the k-th bar are
    ``times[bounds[k]:bounds[k + 1]]`` (and likewise for prices and volumes):
    three float64 arrays of one length, in time order within each bar, with
    ``len(keys) + 1`` bounds.  A bar given twice keeps its last ticks.  The
    ticks are kept flat, as given, so storing a whole run's ticks costs
    little beyond the ticks themselves.
    """
    global _writes
    arrays = [np.array(values, dtype=np.float64).ravel() for values in (times, prices, volumes)]
    bounds = np.asarray(bounds, dtype=np.int64)
    targets, bars = _key_columns(keys)
    if len({arr.size for arr in arrays}) != 1:
        raise ValueError(
            f"tick times, prices and volumes differ in length: {[arr.size for arr in arrays]}"
        )
    if bounds.shape != (len(targets) + 1,) or (
        bounds.size
        and (bounds[0] != 0 or bounds[-1] != arrays[0].size or np.any(np.diff(bounds) < 0))
    ):
        raise ValueError("bounds must run from 0 to the number of ticks, one more than the keys")
    times = arrays[0]
    if np.isnan(times).any():
        raise ValueError("tick times hold NaN")
    later = np.diff(times) >= 0
    inner = bounds[1:-1]
    inner = inner[(inner > 0) & (inner < times.size)]  # bars without ticks start nowhere
    later[inner - 1] = True  # a new bar may start earlier than the last one ended
    if not later.all():
        raise ValueError("tick times must be in time order within each bar")

    starts, ends = bounds[:-1], bounds[1:]
    large = np.flatnonzero((targets > _MAX_TARGET) | (bars > _MAX_BAR))  # too large for a chunk key
    small = np.ones(len(targets), dtype=bool)
    small[large] = False
    keys = (targets[small] << _BAR_BITS) | bars[small]
    if large.size or np.any(keys[1:] <= keys[:-1]):
        order = np.argsort(keys, kind="stable")
        keys = keys[order]
        last = np.ones(len(keys), dtype=bool)  # of a bar given twice, the last
        last[:-1] = keys[1:] != keys[:-1]
        keep = np.flatnonzero(small)[order[last]]
        keys, starts, ends = keys[last], starts[keep], ends[keep]
    with _lock:
        _writes += 1
        chunk = _Chunk(_writes, keys, starts, ends, arrays)
        for k in large.tolist():
            _ticks[(int(targets[k]), int(bars[k]))] = (_writes,) + tuple(
                arr[bounds[k] : bounds[k + 1]] for arr in arrays
            )
        # forget what this chunk overwrites in full
        _chunks[:] = [old for old in _chunks if not np.isin(old.keys, keys).all()]
        stale = [
            key
            for key, stored in _ticks.items()
            if stored[0] < _writes and _fits(key) and chunk.find(_combined(key)) >= 0
        ]
        for key in stale:
            del _ticks[key]
        _chunks.append(chunk)


def _fits(key):
    return key[0] <= _MAX_TARGET and key[1] <= _MAX_BAR


def _combined(key):
    return (key[0] << _BAR_BITS) | key[1]


def get_bar_tick_data(target_idx, bar_pos):
    """The ticks of one bar of one target; empty arrays when none are stored."""
    key = (as_index("target index", target_idx), as_index("bar position", bar_pos))
    with _lock:
        single = _ticks.get(key)
        stored = single[1:] if single is not None else None
        if _fits(key):
            wanted = _combined(key)
            for chunk in reversed(_chunks):
                if single is not None and chunk.write < single[0]:
                    break  # the single bar was stored after this chunk
                k = chunk.find(wanted)
                if k >= 0:
                    stored = chunk.ticks(k)
                    break
    if stored is None:
        return TickData(np.empty(0), np.empty(0), np.empty(0))
    return TickData(*(arr.copy() for arr in stored))


def clear():
    """Empty the whole store."""
    with _lock:
        _target_info.clear()
        _target_info_v2.clear()
        _ticks.clear()
        _chunks.clear()
