"""Checks the installed stubs of the compiled modules against the modules.

Runs mypy's stubtest on korvit.native, korvit.backtest.domain and
korvit.tframe.framekit, with the allowlist and the mypy configuration beside
this file.  stubtest reads a function's signature with ``inspect``, which
knows nothing of nanobind's functions: it would call each of them "not a
function" and compare none of their parameters.  So stubtest is first taught
them here: a nanobind function counts as a function, its signature is the
one nanobind shows (``__nb_signature__``: names, kinds and defaults; the
types are the stub's own business), and one stored in a class without a
``staticmethod`` wrapper is static, as nanobind makes it.

Usage: ``python tests/stubtest/run.py [stubtest options]`` (from any
directory; the installed package is the one checked).
"""

import ast
import inspect
import sys
from pathlib import Path

import mypy.stubtest as stubtest

HERE = Path(__file__).resolve().parent
MODULES = ["korvit.native", "korvit.backtest.domain", "korvit.tframe.framekit"]


def is_nanobind_function(obj):
    return type(obj).__module__ == "nanobind" and type(obj).__name__ in ("nb_func", "nb_method")


def default_value(node):
    """The value of a default as nanobind shows it, or stubtest's marker for
    one it cannot compare."""
    try:
        return ast.literal_eval(node)
    except ValueError:
        pass
    if ast.unparse(node) == "float('nan')":
        return float("nan")
    return stubtest.UNREPRESENTABLE


def nanobind_signature(function):
    """The inspect.Signature of nanobind's own signature of `function`; None
    for an overloaded function (stubtest then skips the comparison)."""
    signatures = function.__nb_signature__
    if len(signatures) != 1:
        return None
    definition = ast.parse(signatures[0][0] + ": ...").body[0]
    args = definition.args
    Parameter = inspect.Parameter
    parameters = []
    positional = [(a, Parameter.POSITIONAL_ONLY) for a in args.posonlyargs]
    positional += [(a, Parameter.POSITIONAL_OR_KEYWORD) for a in args.args]
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    for (arg, kind), default in zip(positional, defaults):
        value = Parameter.empty if default is None else default_value(default)
        parameters.append(Parameter(arg.arg, kind, default=value))
    if args.vararg:
        parameters.append(Parameter(args.vararg.arg, Parameter.VAR_POSITIONAL))
    for arg, default in zip(args.kwonlyargs, args.kw_defaults):
        value = Parameter.empty if default is None else default_value(default)
        parameters.append(Parameter(arg.arg, Parameter.KEYWORD_ONLY, default=value))
    if args.kwarg:
        parameters.append(Parameter(args.kwarg.arg, Parameter.VAR_KEYWORD))
    return inspect.Signature(parameters)


def teach_stubtest():
    is_probably_a_function = stubtest.is_probably_a_function
    safe_inspect_signature = stubtest.safe_inspect_signature
    verify_static_class_methods = stubtest._verify_static_class_methods

    def is_function(runtime):
        return is_nanobind_function(runtime) or is_probably_a_function(runtime)

    def signature(runtime):
        if is_nanobind_function(runtime):
            return nanobind_signature(runtime)
        return safe_inspect_signature(runtime)

    def static_class_methods(stub, runtime, static_runtime, object_path):
        # An nb_func binds to no instance: stored in a class it is static.
        # (object_path: the module's name, then the class and member names.)
        in_class = len(object_path) > 2
        if (
            in_class
            and is_nanobind_function(static_runtime)
            and not hasattr(static_runtime, "__get__")
        ):
            static_runtime = staticmethod(static_runtime)
        return verify_static_class_methods(stub, runtime, static_runtime, object_path)

    stubtest.is_probably_a_function = is_function
    stubtest.safe_inspect_signature = signature
    stubtest._verify_static_class_methods = static_class_methods


def main(argv):
    teach_stubtest()
    return stubtest.test_stubs(
        stubtest.parse_options(
            [
                *MODULES,
                "--allowlist",
                str(HERE / "allowlist.txt"),
                "--mypy-config-file",
                str(HERE / "mypy.ini"),
                *argv,
            ]
        )
    )


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
