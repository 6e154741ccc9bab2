"""Small helpers: writing MATLAB (.mat) files and making values storable in them."""

import datetime as _dt
import operator
import os
import re
import tempfile
from collections.abc import Mapping

import numpy as np

__all__ = ["save_mat", "to_mat", "mat_field_name", "task_file_name", "as_index"]

_MAX_FIELD_LEN = 63  # the longest field name a .mat file takes
_SKIP = object()  # marks a mapping entry that to_mat leaves out


def save_mat(path, data, error="ignore", appendmat=False):
    """Write ``data`` (a dict of named variables) to the .mat file ``path``.

    Every variable is kept: a value that cannot be stored as it is gets its
    storable form (see ``to_mat``; None becomes an empty array, an object
    without one its text), so one odd field never costs the whole file.
    The file is written under a temporary name and moved into place, so a
    failed write never leaves a partial file nor harms an older file of the
    same name.  Returns True on success; on failure returns False when
    ``error`` is "ignore" and re-raises when it is "raise".
    """
    if error not in ("ignore", "raise"):
        raise ValueError(f'error must be "ignore" or "raise", got {error!r}')
    tmp_path = None
    try:
        path = os.fspath(path)
        if appendmat and not path.endswith(".mat"):
            path += ".mat"
        fd, tmp_path = tempfile.mkstemp(
            prefix=os.path.basename(path) + ".",
            suffix=".part",
            dir=os.path.dirname(os.path.abspath(path)),
        )
        variables = {name: _variable(value) for name, value in data.items()}
        import scipy.io  # here: only writing a .mat file needs it, not every run

        with os.fdopen(fd, "wb") as stream:
            scipy.io.savemat(stream, variables, long_field_names=True)
        os.replace(tmp_path, path)
        tmp_path = None
        return True
    except Exception:
        if error == "raise":
            raise
        return False
    finally:
        if tmp_path is not None:
            try:
                os.remove(tmp_path)
            except OSError:
                pass


def _variable(value):
    """One top-level variable of a .mat file, in a form that always stores."""
    try:
        return _item(value)
    except TypeError:
        return repr(value)


def mat_field_name(key):
    """``key`` as a valid .mat field name: ASCII word characters, letter first."""
    name = re.sub(r"[^A-Za-z0-9_]", "_", str(key))
    if not name[:1].isascii() or not name[:1].isalpha():
        name = "k" + name
    return name[:_MAX_FIELD_LEN]


def to_mat(value):
    """A copy of ``value`` that ``scipy.io.savemat`` can store.

    Mappings become dicts with valid field names (a clash gets a numeric
    suffix) and lose their None and callable entries; lists and tuples become
    numeric arrays when all items are numbers, else cell arrays (a None item
    becomes an empty array, keeping the positions); objects with a ``snap()``
    are stored as their snap; dates become ISO text.  Anything else that
    cannot be stored raises TypeError.
    """
    converted = _convert(value)
    if converted is _SKIP:
        raise TypeError(f"cannot store {value!r} in a .mat file")
    return converted


def _convert(value):
    if value is None:
        return _SKIP
    if isinstance(value, (bool, int, float, complex, str, bytes, np.generic)):
        return value
    if isinstance(value, np.ndarray):
        if value.dtype != object:
            return value
        return _object_array([_item(v) for v in value.ravel()], value.shape)
    if not isinstance(value, type) and callable(getattr(value, "snap", None)):
        return _convert(value.snap())
    if isinstance(value, Mapping):
        return _convert_mapping(value)
    if isinstance(value, (list, tuple)):
        if all(isinstance(v, (bool, int, float, np.bool_, np.number)) for v in value) and value:
            return np.asarray(value)
        return _object_array([_item(v) for v in value], (len(value),))
    if isinstance(value, (_dt.date, _dt.time)):
        return value.isoformat()
    if callable(value):
        return _SKIP
    raise TypeError(f"cannot store a {type(value).__name__} in a .mat file: {value!r}")


def _item(value):
    converted = _convert(value)
    if converted is _SKIP:
        if value is None:
            return np.zeros((0, 0))
        raise TypeError(f"cannot store {value!r} in a .mat file")
    return converted


def _convert_mapping(mapping):
    out = {}
    for key, value in mapping.items():
        converted = _convert(value)
        if converted is _SKIP:
            continue
        name = base = mat_field_name(key)
        n = 1
        while name in out:
            n += 1
            suffix = f"_{n}"
            name = base[: _MAX_FIELD_LEN - len(suffix)] + suffix
        out[name] = converted
    return out


def _object_array(items, shape):
    arr = np.empty(len(items), dtype=object)
    for i, item in enumerate(items):  # item by item: never broadcast
        arr[i] = item
    return arr.reshape(shape)


def task_file_name(task_id):
    """The text of a task id for use in file names (17.0 gives "17")."""
    if isinstance(task_id, float) and task_id.is_integer():
        task_id = int(task_id)
    name = str(task_id)
    if (
        not name
        or name in (".", "..")
        or name.lower() == "nan"
        or any(c in name for c in "/\\\0")
        or name != name.strip()
    ):
        raise ValueError(f"task id {task_id!r} cannot name a file")
    return name


def as_index(what, value):
    """A non-negative int from an int-like or an integral float; ``what``
    names the value in the error."""
    if type(value) is int and value >= 0:  # the usual case
        return value
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{what} must be an integer, got {value!r}")
    if isinstance(value, (float, np.floating)):
        if not float(value).is_integer():
            raise ValueError(f"{what} must be a whole number, got {value!r}")
        value = int(value)
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an integer, got {value!r}") from None
    if value < 0:
        raise IndexError(f"{what} {value} is negative")
    return value
