"""Keyed record collections with named snaps.

A ``CollectBase`` stores records (any objects) under unique keys, in append
order, and keeps named *snaps*: ordered subsets of its records, such as the
pending orders of an order collection.  Every appended record joins every
snap named at construction; records leave a snap but never rejoin it.

``CollectBase`` is the compiled one (``korvit.native``); ``PyCollectBase``
here is its plain-Python twin with the same interface and errors, the
reference it is tested against.  In the twin a snap is a dict keyed by
``id(record)`` (insertion ordered), so taking a record out of it costs O(1);
the collection's own key map keeps every record alive, so an ``id`` is never
reused while its record is stored.
"""

import math
from operator import attrgetter

import numpy as np

__all__ = ["CollectBase", "PyCollectBase"]


def _id_list(ids):
    """The ids of an ``obj``/``attr_update`` call as a list (a single id is a list of one)."""
    if isinstance(ids, np.ndarray):
        return ids.ravel().tolist()
    if isinstance(ids, (list, tuple)):
        return list(ids)
    return [ids]


def _is_nan(value):
    return isinstance(value, (float, np.floating)) and math.isnan(value)


def _positions(positions, count):
    """Positions of a snap as a list of ints, each checked against ``count``."""
    arr = np.asarray(positions)
    if arr.ndim != 1:
        arr = arr.ravel()
    if arr.size == 0:
        return []
    if arr.dtype.kind == "f" and np.all(arr == np.floor(arr)):
        arr = arr.astype(np.int64)
    if arr.dtype.kind not in "iu":
        raise TypeError(f"snap positions must be integers, got {positions!r}")
    bad = arr[(arr < 0) | (arr >= count)]
    if bad.size:
        raise IndexError(f"snap position {bad[0]} out of range: the snap holds {count} records")
    return arr.tolist()


def _check_members(snap, name, records):
    for record in records:
        if id(record) not in snap:
            raise ValueError(f"record {record!r} is not in snap {name!r}")


class PyCollectBase:
    """Records under unique keys, plus named ordered subsets ("snaps").

    ``snaps``: the names of the snaps every appended record joins.
    ``key_attr``: optionally the record attribute that holds its key; then
    ``append`` checks that the key matches it and, with ``key=None``, takes
    the key from it.  Without ``key_attr``, ``key=None`` numbers the record
    with the current ``size``.
    """

    def __init__(self, snaps=(), key_attr=None):
        if isinstance(snaps, str):
            snaps = (snaps,)
        self._records = {}
        self._snaps = {}
        for name in snaps:
            if name in self._snaps:
                raise ValueError(f"snap {name!r} is named twice")
            self._snaps[name] = {}
        self._key_attr = key_attr
        self._stored_ids = set()

    # ---------------------------------------------------------------- records

    @property
    def size(self):
        """Number of records ever stored (also the next automatic key)."""
        return len(self._records)

    @property
    def snap_names(self):
        return list(self._snaps)

    def append(self, key, record):
        """Store ``record`` under ``key`` (None: see the class text); returns the key."""
        if self._key_attr is not None:
            own_key = getattr(record, self._key_attr)
            if key is None:
                key = own_key
            elif key != own_key:
                raise ValueError(
                    f"key {key!r} differs from the record's {self._key_attr} {own_key!r}"
                )
        elif key is None:
            key = self.size
        if isinstance(key, np.generic):
            key = key.item()
        if key is None or _is_nan(key):
            raise ValueError(f"{key!r} cannot key a record")
        if key in self._records:
            raise ValueError(f"a record is already stored under key {key!r}")
        if id(record) in self._stored_ids:
            raise ValueError(f"record {record!r} is already stored")
        self._records[key] = record
        self._stored_ids.add(id(record))
        for snap in self._snaps.values():
            snap[id(record)] = record
        return key

    def obj(self, ids):
        """The record of each id, in order; None for an unknown or NaN id."""
        get = self._records.get
        return [get(i) if type(i) is int else None if _is_nan(i) else get(i) for i in _id_list(ids)]

    def attr_update(self, attr, value, ids):
        """Set ``attr`` to ``value`` on the records with those ids (all or none)."""
        records = []
        for i in _id_list(ids):
            record = None if _is_nan(i) else self._records.get(i)
            if record is None:
                raise KeyError(f"no record under key {i!r}")
            records.append(record)
        self.obj_attr_update(records, attr, value)

    def __len__(self):
        return len(self._records)

    def __iter__(self):
        return iter(list(self._records.values()))

    def __contains__(self, key):
        return not _is_nan(key) and key in self._records

    # ---------------------------------------------------------------- snaps

    def _snap(self, name):
        try:
            return self._snaps[name]
        except (KeyError, TypeError):
            raise KeyError(f"no snap named {name!r}; snaps: {list(self._snaps)}") from None

    def snap_count(self, name):
        return len(self._snap(name))

    def snap_obj(self, name):
        """A new list of the snap's records, in snap order."""
        return list(self._snap(name).values())

    def snap_attr_value(self, name, attr):
        """A new list of ``attr`` of each record of the snap, in snap order."""
        return list(map(attrgetter(attr), self._snap(name).values()))

    def snap_select(self, name, attr, value):
        """A new list of the snap's records whose ``attr`` equals ``value``, in snap order."""
        read = attrgetter(attr)
        return [record for record in list(self._snap(name).values()) if read(record) == value]

    def snap_obj_by_idx(self, name, positions):
        """The snap's records at those positions, in the order given."""
        records = list(self._snap(name).values())
        return [records[p] for p in _positions(positions, len(records))]

    def snap_remove(self, name, records):
        """Take ``records`` out of the snap; all must be in it (checked first)."""
        snap = self._snap(name)
        records = list(records)
        _check_members(snap, name, records)
        for record in records:
            snap.pop(id(record), None)

    def snap_remove_by_idx(self, name, positions):
        """Take out the records at those positions (of the order before the call)."""
        snap = self._snap(name)
        records = list(snap.values())
        for p in _positions(positions, len(records)):
            snap.pop(id(records[p]), None)

    def snap_obj_attr_update(self, records, attr, value, name, rm=True):
        """Set ``attr`` on ``records``; with ``rm`` they also leave the snap ``name``."""
        snap = self._snap(name)
        records = list(records)
        if rm:
            _check_members(snap, name, records)
        self.obj_attr_update(records, attr, value)
        if rm:
            for record in records:
                snap.pop(id(record), None)

    # ---------------------------------------------------------------- any list of records

    @staticmethod
    def obj_attr_value(records, attr):
        """A new list of ``attr`` of each record, in order."""
        return list(map(attrgetter(attr), records))

    @staticmethod
    def obj_attr_value_eq_all(records, attr, value, return_obj=False):
        """Per record whether ``attr`` equals ``value``; with ``return_obj``, the matching records."""
        get = attrgetter(attr)
        if return_obj:
            return [r for r in records if get(r) == value]
        return [bool(get(r) == value) for r in records]

    @staticmethod
    def obj_attr_update(records, attr, value):
        for record in records:
            setattr(record, attr, value)

    def __repr__(self):
        snaps = ", ".join(f"{n}={len(s)}" for n, s in self._snaps.items())
        return f"{type(self).__name__}(size={self.size}{', ' + snaps if snaps else ''})"


from korvit.native import CollectBase  # noqa: E402  (the compiled collection; it calls back into _positions)
