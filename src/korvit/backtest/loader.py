"""Loading a strategy and finding its callbacks.

A strategy is a Python file (or a module, or a mapping of callbacks) with up
to four top-level callbacks, found by name::

    def init(context): ...                                       # once, before the first bar
    def on_data(context): ...                                    # after each bar is dealt
    def on_order_status(context, order, *args, **kwargs): ...    # an order changed status
    def on_execution(context, excution, *args, **kwargs): ...    # an order was filled

``prepare_callbacks`` turns a strategy's top-level names into the scope the
environment reads, so that what the user plainly meant is what runs:

- a callback the strategy leaves out is the environment's do-nothing default,
  without a word (every callback is optional); only a strategy with neither
  ``init`` nor ``on_data``, which can place no order at all, is warned about;
- a function whose name is close to a missing callback's (``on_date``,
  ``onData``, ``on_bar``, ``initialize``, ``on_trade``, ...) is warned about,
  naming its file and line and the callback it was probably meant to be;
- a callback with other parameter names, or without ``*args``/``**kwargs``
  (``def on_data(ctx)``, ``def on_order_status(ctx, o)``), is called all the
  same: it is wrapped in a function with the signature the environment
  checks for, which passes the arguments on by position;
- a callback that cannot take the arguments korvit passes (``def
  on_data()``, ``def on_data(context, bar)``), a coroutine function or a
  generator function, or a callback name bound to something that is not
  callable, is refused with ``StrategyLoadError`` naming its file and line.

Warnings are ``StrategyWarning``s.  ``check_parameters`` refuses parameters
a strategy file never reads, by the names its source reads from
``context.params`` (``strategy_parameters``), as a sweep's grid is checked.
"""

from __future__ import annotations

import ast
import difflib
import functools
import importlib.machinery
import importlib.util
import inspect
import os
import traceback
import types
import warnings
from pathlib import Path
from typing import Any

from korvit.tframe import sysdefine
from korvit.tframe.utils.argchecker import ArgumentChecker

__all__ = [
    "load_strategy",
    "prepare_callbacks",
    "check_parameters",
    "strategy_parameters",
    "parameter_problem",
    "StrategyLoadError",
    "StrategyExit",
    "StrategyWarning",
    "UnknownParameterError",
    "CALLBACKS",
]


class StrategyLoadError(Exception):
    """The strategy file cannot be loaded (missing, unreadable, syntax error, or
    an error while its top level runs)."""


class StrategyExit(Exception):
    """The strategy called ``sys.exit()`` (raised ``SystemExit``): the backtest
    stopped there.  ``code`` is the exit code it gave, ``filename`` and
    ``lineno`` where it exited (None when it was not in the strategy's file)."""

    code: str | int | None
    filename: str | None
    lineno: int | None

    def __init__(self, exc: SystemExit, strategy: str | os.PathLike[str] | None = None) -> None:
        self.code = exc.code
        frame = _innermost_in(exc, strategy)
        self.filename = frame.filename if frame is not None else None
        self.lineno = frame.lineno if frame is not None else None
        place = f" at {self.filename}:{self.lineno}" if frame is not None else ""
        super().__init__(
            f"the strategy called sys.exit({self.code!r}){place}: the backtest stopped"
        )


class StrategyWarning(UserWarning):
    """Something in a strategy that korvit runs, but that is probably not what
    its author meant (a function named like a callback that it is not)."""


class UnknownParameterError(ValueError):
    """A run's parameter that the strategy never reads."""


def _innermost_in(exc, strategy):
    """The innermost traceback entry of `exc` in the file `strategy` (a path; any
    file but korvit's own when None), or None."""
    target = None
    if strategy is not None:
        try:
            target = os.path.realpath(strategy)
        except (TypeError, ValueError):
            return None
    own = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
    found = None
    for frame in traceback.extract_tb(exc.__traceback__):
        name = os.path.realpath(frame.filename)
        if (name == target) if target is not None else not name.startswith(own + os.sep):
            found = frame
    return found


def load_strategy(strategy):
    """The user scope of a strategy: a dict of its top-level names.

    ``strategy`` is the path of a Python file, an imported module, or a
    mapping of callbacks (``{"init": ..., "on_data": ...}``).
    """
    if isinstance(strategy, dict):
        return dict(strategy), "strategy"
    if isinstance(strategy, types.ModuleType):
        return dict(vars(strategy)), strategy.__name__
    path = Path(os.fspath(strategy))
    if not path.is_file():
        raise StrategyLoadError(f"strategy file {str(path)!r} does not exist")
    _check_source(path)
    name = f"korvit_strategy_{abs(hash(str(path.resolve())))}"
    spec = (
        importlib.util.spec_from_file_location(name, path, loader=_CompiledOnce(name, str(path)))
        if path.suffix == ".py"
        else importlib.util.spec_from_file_location(name, path)
    )
    if spec is None:  # not named .py: read as Python source all the same, as a sweep reads it
        spec = importlib.util.spec_from_file_location(name, path, loader=_source_loader(path))
    module = importlib.util.module_from_spec(spec)
    try:
        spec.loader.exec_module(module)
    except SyntaxError as exc:
        place = f"{exc.filename or path}:{exc.lineno}" if exc.lineno else str(exc.filename or path)
        raise StrategyLoadError(f"{place}: syntax error: {exc.msg}") from exc
    except SystemExit as exc:
        raise StrategyExit(exc, path) from exc
    return dict(vars(module)), path.stem


# The code of the strategy sources compiled so far, by file and text: a sweep, a notebook or
# a benchmark runs the same file again and again, and compiling it is most of loading it
# when no bytecode is cached on disk.  Each load still runs the code in a module of its own.
_COMPILED: dict[tuple[str, bytes], Any] = {}
_MAX_COMPILED = 32


class _CompiledOnce(importlib.machinery.SourceFileLoader):
    """The loader of a ``.py`` file, compiling each text of it once per process."""

    def source_to_code(self, data: Any, path: Any, *, _optimize: int = -1) -> Any:  # type: ignore[override]  # the source loaders' own signature
        key = (str(path), bytes(data))
        code = _COMPILED.get(key)
        if code is None:
            code = super().source_to_code(data, path, _optimize=_optimize)
            if len(_COMPILED) >= _MAX_COMPILED:
                _COMPILED.pop(next(iter(_COMPILED)))
            _COMPILED[key] = code
        return code


def _source_loader(path: Path) -> Any:
    """A loader of the Python source at ``path``, whatever its name, that keeps no
    bytecode (a cached file of that name could be another file's)."""
    import importlib.abc

    class SourceOnly(importlib.abc.SourceLoader):
        def get_filename(self, fullname: str) -> str:
            return str(path)

        def get_data(self, filename: str) -> bytes:
            with open(filename, "rb") as file:
                return file.read()

    return SourceOnly()


def _check_source(path):
    """Refuses a file Python would not read as source text, naming the place."""
    try:
        data = path.read_bytes()
    except OSError as exc:
        raise StrategyLoadError(
            f"{path}: cannot read the strategy file: {exc.strerror or exc}"
        ) from None
    at = data.find(b"\0")
    if at >= 0:
        line = data.count(b"\n", 0, at) + 1
        column = at - (data.rfind(b"\n", 0, at) + 1) + 1
        raise StrategyLoadError(
            f"{path}:{line}: a null byte at column {column}: a strategy is Python "
            "source text (is this a binary file?)"
        )


# ------------------------------------------------------------------ the callbacks

CALLBACKS = ("init", "on_data", "on_order_status", "on_execution")

# What the environment passes each callback, by position, and the parameters
# its own check expects (a callback with others is wrapped, see _adapted).
_ARGUMENTS = {
    "init": ("context",),
    "on_data": ("context",),
    "on_order_status": ("context", "order"),
    "on_execution": ("context", "execution"),
}
_EXPECTED = {
    "init": ("context",),
    "on_data": ("context",),
    "on_order_status": ("context", "order", "*args", "**kwargs"),
    "on_execution": ("context", "excution", "*args", "**kwargs"),
}
_WHEN = {
    "init": "called once, before the first bar",
    "on_data": "called after each bar is dealt",
    "on_order_status": "called when an order changes status",
    "on_execution": "called when an order is filled",
}

# Names other frameworks give the same hooks (compared without case and
# underscores); a near miss of a callback's own name is found by difflib.
_ALIASES = {
    "init": (
        "initialize",
        "initialise",
        "on_init",
        "on_start",
        "on_setup",
        "setup",
        "start",
        "prepare",
        "on_initialize",
        "before_start",
    ),
    "on_data": (
        "on_bar",
        "on_bars",
        "on_new_bar",
        "handle_data",
        "handle_bar",
        "handle_bars",
        "next",
        "on_next",
        "on_tick",
        "on_ticks",
        "on_candle",
        "on_kline",
        "on_market_data",
        "on_data_update",
        "on_update",
        "on_quote",
        "on_price",
        "on_prices",
        "on_step",
        "step",
    ),
    "on_order_status": (
        "on_order",
        "on_orders",
        "on_order_update",
        "on_order_change",
        "on_order_event",
        "on_order_state",
        "on_status",
        "order_status",
        "notify_order",
        "handle_order",
        "on_order_changed",
    ),
    "on_execution": (
        "on_trade",
        "on_trades",
        "on_fill",
        "on_fills",
        "on_filled",
        "on_exec",
        "on_executed",
        "on_execute",
        "on_executions",
        "on_deal",
        "on_order_filled",
        "on_trade_update",
        "on_execution_report",
        "notify_trade",
        "handle_trade",
        "handle_fill",
    ),
}


def _normal(name):
    return name.lower().replace("_", "")


_BY_ALIAS = {
    _normal(alias): callback for callback, aliases in _ALIASES.items() for alias in aliases
}


def _place(function, fallback):
    """``file:line`` where ``function`` (a function, a partial or a callable
    object) is defined, or ``fallback``."""
    target = function
    if not (inspect.isroutine(function) or isinstance(function, functools.partial)):
        target = getattr(type(function), "__call__", None)
    while isinstance(target, functools.partial):
        target = target.func
    try:
        code = getattr(inspect.unwrap(target), "__code__", None)
    except ValueError:  # a __wrapped__ cycle
        code = None
    if not isinstance(code, types.CodeType):
        return fallback
    return f"{code.co_filename}:{code.co_firstlineno}"


def prepare_callbacks(scope, name):
    """The scope to hand to the environment: ``scope`` with each callback
    checked and, where its parameters are named otherwise, adapted, and the
    do-nothing default for each one left out (see the module's docstring).
    Raises ``StrategyLoadError``; warns with ``StrategyWarning``."""
    _check_callbacks(scope, name)
    where = scope.get("__file__") or name
    prepared = dict(scope)
    for callback in CALLBACKS:
        function = scope.get(callback)
        if function is None:
            prepared[callback] = getattr(sysdefine, callback)
            continue
        if not callable(function):
            raise StrategyLoadError(
                f"{where}: {callback} is {type(function).__name__} {_short(function)}, "
                f"not a function: korvit calls {callback}({', '.join(_ARGUMENTS[callback])})"
            )
        ok, _ = ArgumentChecker.check_callable(
            function, callback, param_names=_EXPECTED[callback], raise_error=False
        )
        if not ok:
            prepared[callback] = _adapted(callback, function, _place(function, where))
    near_misses = _near_misses(scope, where)
    for message in near_misses:
        warnings.warn(message, StrategyWarning, stacklevel=3)
    if scope.get("init") is None and scope.get("on_data") is None and not near_misses:
        warnings.warn(
            f"{where}: defines neither init nor on_data, so it can place no order "
            "(korvit calls init(context) once, before the first bar, and on_data(context) "
            "after each bar)",
            StrategyWarning,
            stacklevel=3,
        )
    return prepared


def _check_callbacks(scope, name):
    """Refuses callbacks that would run without doing anything: coroutine functions
    (``async def``) and generators, whose calls only make an object nobody runs."""

    def kind(function):
        if inspect.iscoroutinefunction(function) or inspect.isasyncgenfunction(function):
            return "is a coroutine function (async def)"
        if inspect.isgeneratorfunction(function):
            return "is a generator function (it yields)"
        return None

    for callback in CALLBACKS:
        function = scope.get(callback)
        if function is None:
            continue
        target = function  # a function, a partial, or an object with __call__
        if not (inspect.isroutine(function) or isinstance(function, functools.partial)):
            target = getattr(type(function), "__call__", None)
        what = kind(target)
        if what is None:
            continue
        raise StrategyLoadError(
            f"{_place(function, name)}: {callback} {what}: korvit calls each callback and "
            "goes on, so its body would never run; define it with a plain def"
        )


def _adapted(callback, function, place):
    """``function`` behind a function with the parameters the environment
    checks for, passing the arguments on by position (and the extra ones only
    where ``function`` takes them); refused when it cannot take them."""
    given = _ARGUMENTS[callback]
    try:
        parameters = list(inspect.signature(function).parameters.values())
    except (TypeError, ValueError):  # no readable signature (a builtin, ...): called as it is
        parameters = None
    extra_positional, keywords = None, True
    if parameters is not None:
        positional = [
            p for p in parameters if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)
        ]
        required = [p for p in positional if p.default is p.empty]
        keyword_only = [p for p in parameters if p.kind is p.KEYWORD_ONLY and p.default is p.empty]
        any_positional = any(p.kind is p.VAR_POSITIONAL for p in parameters)
        fits = len(required) <= len(given) and (len(positional) >= len(given) or any_positional)
        if not fits or keyword_only:
            what = (
                f"needs the keyword argument {keyword_only[0].name}, which korvit never passes"
                if fits
                else f"takes {_count(len(required), len(positional), any_positional)}, but korvit passes "
                f"{len(given)} ({', '.join(given)})"
            )
            raise StrategyLoadError(
                f"{place}: {callback}({_parameters_text(parameters)}) {what}: define it as "
                f"`def {callback}({', '.join(given)})`"
            )
        extra_positional = None if any_positional else len(positional) - len(given)
        keywords = any(p.kind is p.VAR_KEYWORD for p in parameters)

    if callback in ("init", "on_data"):

        def call(context):
            return function(context)
    elif callback == "on_order_status":

        def call(context, order, *args, **kwargs):  # type: ignore[misc]  # each callback's own signature
            if extra_positional is not None:
                args = args[:extra_positional]
            return function(context, order, *args, **(kwargs if keywords else {}))
    else:

        def call(context, excution, *args, **kwargs):  # type: ignore[misc]  # each callback's own signature
            if extra_positional is not None:
                args = args[:extra_positional]
            return function(context, excution, *args, **(kwargs if keywords else {}))

    # Named as the callback, but without __wrapped__: the environment's check
    # must see this function's own parameters, not the user's.
    call.__name__ = call.__qualname__ = callback
    call.__doc__ = getattr(function, "__doc__", None)
    return call


class _Default:
    def __repr__(self):
        return "..."


def _parameters_text(parameters):
    """``parameters`` as written in a ``def``, without annotations and with
    ``...`` for every default."""
    plain = [
        p.replace(annotation=p.empty, default=p.empty if p.default is p.empty else _Default())
        for p in parameters
    ]
    return str(inspect.Signature(plain))[1:-1]


def _count(required, positional, any_positional):
    if any_positional:
        return f"at least {required} argument{'s' * (required != 1)}"
    if required == positional:
        return f"{required} argument{'s' * (required != 1)}"
    return f"{required} to {positional} arguments"


def _short(value, width=40):
    try:
        text = repr(value)
    except Exception:
        text = "..."
    return text if len(text) <= width else text[: width - 3] + "..."


def _near_misses(scope, where):
    """Warnings for the functions of ``scope`` that look like a callback the
    strategy does not define: a near miss of its name, or the name another
    framework gives that hook.  A function the strategy calls itself is a
    helper, not a near miss."""
    missing = [callback for callback in CALLBACKS if scope.get(callback) is None]
    if not missing:
        return []
    module = scope.get("__name__")
    candidates = []
    for key, value in scope.items():
        if (
            not isinstance(key, str)
            or key.startswith("_")
            or key in CALLBACKS
            or not callable(value)
        ):
            continue
        if isinstance(value, (type, types.ModuleType)):
            continue
        if module is not None and getattr(value, "__module__", None) != module:
            continue  # imported, not the strategy's own
        candidates.append((key, value))
    if not candidates:
        return []
    called = _names_used(scope.values())
    normals = {_normal(callback): callback for callback in missing}
    messages = []
    for key, value in candidates:
        if key in called:
            continue
        normal = _normal(key)
        meant = normals.get(normal) or (
            _BY_ALIAS.get(normal) if _BY_ALIAS.get(normal) in missing else None
        )
        if meant is None:
            close = difflib.get_close_matches(normal, list(normals), n=1, cutoff=0.75)
            meant = normals[close[0]] if close else None
        if meant is not None:
            messages.append(
                f"{_place(value, where)}: korvit calls no function named `{key}`: "
                f"did you mean `{meant}` ({_WHEN[meant]})?"
            )
    return messages


def _names_used(values):
    """The names the functions among ``values`` refer to (as globals, or in
    enclosing functions)."""
    names = set()
    stack = []
    for value in values:
        code = getattr(value, "__code__", None)
        if isinstance(code, types.CodeType):
            stack.append(code)
    while stack:
        code = stack.pop()
        names.update(code.co_names, code.co_freevars)
        stack.extend(const for const in code.co_consts if isinstance(const, types.CodeType))
    return names


# ------------------------------------------------------------------ parameters


def strategy_parameters(source):
    """The names of the parameters the strategy's source reads from
    ``context.params`` (``params["x"]``, ``params.get("x", ...)``, ``"x" in
    params``), or None when it also reads them in a way that does not name
    them (``params[name]``, ``params.items()``, passing ``params`` on)."""
    try:
        tree = ast.parse(source)
    except SyntaxError:
        return None
    parents = {}
    for node in ast.walk(tree):
        for child in ast.iter_child_nodes(node):
            parents[child] = node
    names = set()
    for node in ast.walk(tree):
        if not (
            isinstance(node, ast.Attribute)
            and node.attr == "params"
            and isinstance(node.ctx, ast.Load)
        ):
            continue
        parent = parents.get(node)
        if isinstance(parent, ast.Subscript) and parent.value is node:
            key = parent.slice
        elif (
            isinstance(parent, ast.Attribute)
            and parent.attr == "get"
            and isinstance(parents.get(parent), ast.Call)
            and parents[parent].func is parent
            and parents[parent].args
        ):
            key = parents[parent].args[0]
        elif (
            isinstance(parent, ast.Compare)
            and len(parent.comparators) == 1
            and parent.comparators[0] is node
            and isinstance(parent.ops[0], (ast.In, ast.NotIn))
        ):
            key = parent.left
        else:
            return None
        if not (isinstance(key, ast.Constant) and isinstance(key.value, str)):
            return None
        names.add(key.value)
    return names


def parameter_problem(filename, source, names):
    """The message refusing the first of ``names`` that the strategy's source
    never reads, or None (also when the source does not show every name it
    reads)."""
    readable = strategy_parameters(source)
    if readable is None:
        return None
    for name in names:
        if name not in readable:
            reads = ", ".join(sorted(readable)) or "no parameters"
            close = difflib.get_close_matches(name, sorted(readable), n=1)
            hint = f"; did you mean {close[0]!r}?" if close else ""
            return f"unknown parameter {name!r}: {Path(filename).name} reads {reads}{hint}"
    return None


def check_parameters(strategy, params):
    """Refuses (``UnknownParameterError``) a parameter the strategy file never
    reads; strategies given as a module or a mapping are not checked."""
    if not params or not isinstance(strategy, (str, os.PathLike)):
        return
    try:
        source = Path(strategy).read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError, ValueError):
        return  # loading the strategy tells what is wrong with the file
    problem = parameter_problem(strategy, source, list(params))
    if problem is not None:
        raise UnknownParameterError(problem)
