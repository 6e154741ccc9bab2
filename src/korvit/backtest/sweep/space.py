"""The parameter sets of a sweep: grids and lists of parameter sets, checked."""

import itertools
import json
import math

import numpy as np

FIRST_COLUMNS = ("run_id", "split", "phase")
RUN_COLUMNS = ("status", "error", "seconds")
_RESERVED = set(FIRST_COLUMNS + RUN_COLUMNS + ("equity",))
_SCALARS = (bool, int, float, str, type(None))


class SweepError(ValueError):
    """A sweep that cannot start: bad grid, splits, options or output folder."""



def _scalar(name, value):
    if isinstance(value, np.generic):
        value = value.item()
    if not isinstance(value, _SCALARS) or (isinstance(value, float) and not math.isfinite(value)):
        raise SweepError(f"parameter {name!r}: {value!r} is not a plain value "
                         "(a number, text, True/False or None)")
    return value


def _check_name(name):
    if not isinstance(name, str) or not name.isidentifier():
        raise SweepError(f"a parameter name must be a Python name, got {name!r}")
    if name in _RESERVED:
        raise SweepError(f"parameter name {name!r} is taken by a column of the sweep's table")
    return name


def expand_grid(grid):
    """The parameter sets of ``grid``: a dict ``{name: [values]}`` (every
    combination, the first name varying slowest) or a list of dicts (as
    given).  Raises ``SweepError`` for an empty grid or list, a bad name or
    value, or a parameter set given twice."""
    if isinstance(grid, dict):
        if not grid:
            raise SweepError("the grid is empty: give at least one parameter and its values")
        names, lists = [], []
        for name, values in grid.items():
            _check_name(name)
            if isinstance(values, (str, bytes, dict)) or not hasattr(values, "__iter__"):
                raise SweepError(f"grid: {name!r} must be a list of values, got {values!r}")
            values = [_scalar(name, value) for value in values]
            if not values:
                raise SweepError(f"grid: {name!r} has an empty list of values")
            names.append(name)
            lists.append(values)
        sets = [dict(zip(names, combo)) for combo in itertools.product(*lists)]
    elif isinstance(grid, (list, tuple)):
        if not grid:
            raise SweepError("the list of parameter sets is empty")
        sets = []
        for number, params in enumerate(grid, 1):
            if not isinstance(params, dict):
                raise SweepError(f"parameter set {number} must be a dict, got {params!r}")
            sets.append({_check_name(name): _scalar(name, value) for name, value in params.items()})
    else:
        raise SweepError(f"grid must be a dict of lists or a list of dicts, got {type(grid).__name__}")
    seen = {}
    for number, params in enumerate(sets, 1):
        key = _canonical(params)
        if key in seen:
            raise SweepError(f"the parameter set {params} is given twice (sets {seen[key]} and {number})")
        seen[key] = number
    return sets


def _canonical(value):
    return json.dumps(value, sort_keys=True, separators=(",", ":"))

