"""The parameter sets of a sweep: grids and lists of parameter sets, checked;
ranges of numbers (``5:50:5``) and constraints between parameters (``where``)."""

import ast
import itertools
import json
import math
import operator

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
        raise SweepError(
            f"parameter {name!r}: {value!r} is not a plain value "
            "(a number, text, True/False or None)"
        )
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
        raise SweepError(
            f"grid must be a dict of lists or a list of dicts, got {type(grid).__name__}"
        )
    seen = {}
    for number, params in enumerate(sets, 1):
        key = _canonical(params)
        if key in seen:
            raise SweepError(
                f"the parameter set {params} is given twice (sets {seen[key]} and {number})"
            )
        seen[key] = number
    return sets


def _canonical(value):
    return json.dumps(value, sort_keys=True, separators=(",", ":"))


# ------------------------------------------------------------------ ranges

_MOST_VALUES = 100_000  # values of one range: beyond any sweep


def value_range(start, stop, step=1):
    """``start``, ``start + step``, ... up to ``stop`` (included when it lands
    on a step), as whole numbers when all three are, else as the floats of
    the exact decimal steps (``0.1:0.3:0.1`` gives 0.1, 0.2, 0.3)."""
    from decimal import Decimal

    for name, value in (("start", start), ("stop", stop), ("step", step)):
        if (
            isinstance(value, bool)
            or not isinstance(value, (int, float))
            or not math.isfinite(value)
        ):
            raise SweepError(f"a range's {name} must be a number, got {value!r}")
    if not step > 0:
        raise SweepError(f"a range's step must be > 0, got {step!r}")
    if start > stop:
        raise SweepError(f"a range runs from a start up to a stop, got {start!r} to {stop!r}")
    whole = all(isinstance(value, int) for value in (start, stop, step))
    first, last, size = (
        value if whole else Decimal(repr(float(value))) for value in (start, stop, step)
    )
    count = int((last - first) // size) + 1
    if count > _MOST_VALUES:
        raise SweepError(
            f"the range {start!r}:{stop!r}:{step!r} has {count:,d} values, more than "
            f"{_MOST_VALUES:,d}"
        )
    return [first + k * size if whole else float(first + k * size) for k in range(count)]


def parse_range(text):
    """The values of ``START:STOP[:STEP]`` (numbers), or None when ``text``
    is not a range of numbers."""
    import ast

    parts = text.split(":")
    if len(parts) not in (2, 3):
        return None
    numbers = []
    for part in parts:
        try:
            value = ast.literal_eval(part.strip())
        except (ValueError, SyntaxError):
            return None
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            return None
        numbers.append(value)
    return value_range(*numbers)


# ------------------------------------------------------------------ constraints


class Constraint:
    """``where``: which parameter sets run.  Text is an expression over the
    parameters (``"fast < slow"``, ``"slow - fast >= 10 and stop != 0"``):
    names, numbers, text and True/False, compared and combined with
    ``and``/``or``/``not`` and ``+ - * / // %``; nothing else (no calls,
    attributes or indexing), checked when it is given.  A callable takes a
    parameter set (a dict) and returns whether it runs."""

    _BINARY = {
        ast.Add: operator.add,
        ast.Sub: operator.sub,
        ast.Mult: operator.mul,
        ast.Div: operator.truediv,
        ast.FloorDiv: operator.floordiv,
        ast.Mod: operator.mod,
    }
    _COMPARE = {
        ast.Eq: operator.eq,
        ast.NotEq: operator.ne,
        ast.Lt: operator.lt,
        ast.LtE: operator.le,
        ast.Gt: operator.gt,
        ast.GtE: operator.ge,
    }
    _UNARY = {ast.Not: operator.not_, ast.USub: operator.neg, ast.UAdd: operator.pos}

    def __init__(self, where, names):
        self.text = where if isinstance(where, str) else getattr(where, "__name__", repr(where))
        if callable(where) and not isinstance(where, str):
            self.function, self.tree = where, None
            return
        if not isinstance(where, str):
            raise SweepError(
                f"where must be an expression over the parameters (text) or a function, got {where!r}"
            )
        self.function = None
        try:
            self.tree = ast.parse(where.strip(), mode="eval").body
        except SyntaxError as exc:
            raise SweepError(f"where {where!r}: not an expression ({exc.msg})") from None
        used = []
        for node in ast.walk(self.tree):
            if isinstance(node, ast.Name):
                used.append(node.id)
            elif not isinstance(
                node,
                (
                    ast.BoolOp,
                    ast.And,
                    ast.Or,
                    ast.UnaryOp,
                    ast.BinOp,
                    ast.Compare,
                    ast.Constant,
                    ast.Load,
                    *self._BINARY,
                    *self._COMPARE,
                    *self._UNARY,
                ),
            ):
                raise SweepError(
                    f"where {where!r}: {type(node).__name__.lower()} is not allowed (only parameter "
                    "names, numbers, comparisons, and/or/not and + - * / // %)"
                )
            elif isinstance(node, ast.Constant) and not isinstance(node.value, (int, float, str)):
                raise SweepError(f"where {where!r}: the value {node.value!r} is not allowed")
        unknown = [name for name in dict.fromkeys(used) if name not in names]
        if unknown:
            raise SweepError(
                f"where {where!r} names {', '.join(map(repr, unknown))}, not a parameter of the "
                f"sweep ({', '.join(names) or 'none'})"
            )

    def allows(self, params):
        """Whether the parameter set ``params`` runs; an expression that cannot
        be worked out for it (a division by zero, text against a number) is a
        ``SweepError`` naming the set."""
        try:
            result = (
                self.function(dict(params))
                if self.function is not None
                else self._value(self.tree, params)
            )
        except SweepError:
            raise
        except Exception as exc:
            raise SweepError(
                f"where {self.text!r} fails for {params}: {type(exc).__name__}: {exc}"
            ) from None
        if not isinstance(result, (bool, np.bool_)):
            raise SweepError(
                f"where {self.text!r} gives {result!r} for {params}, not True or False"
            )
        return bool(result)

    def _value(self, node, params):
        if isinstance(node, ast.Constant):
            return node.value
        if isinstance(node, ast.Name):
            return params.get(node.id)
        if isinstance(node, ast.BoolOp):
            values = [self._truth(value, params) for value in node.values]
            return all(values) if isinstance(node.op, ast.And) else any(values)
        if isinstance(node, ast.UnaryOp):
            if isinstance(node.op, ast.Not):
                return not self._truth(node.operand, params)
            return self._UNARY[type(node.op)](self._number(node.operand, params))
        if isinstance(node, ast.BinOp):
            return self._BINARY[type(node.op)](
                self._number(node.left, params), self._number(node.right, params)
            )
        left = self._value(node.left, params)
        for op, right_node in zip(node.ops, node.comparators):
            right = self._value(right_node, params)
            if not self._COMPARE[type(op)](left, right):
                return False
            left = right
        return True

    def _truth(self, node, params):
        value = self._value(node, params)
        if not isinstance(value, (bool, np.bool_)):
            raise SweepError(
                f"where {self.text!r}: {ast.unparse(node)} is {value!r} for {params}, "
                "not True or False"
            )
        return bool(value)

    def _number(self, node, params):
        value = self._value(node, params)
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise SweepError(
                f"where {self.text!r}: {ast.unparse(node)} is {value!r} for {params}, not a number"
            )
        return value
