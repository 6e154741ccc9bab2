"""How a strategy's callbacks are found: left out without a word, near misses
warned about with their file and line, other parameter names called all the
same, callbacks that cannot take korvit's arguments refused; run parameters
a strategy never reads refused; and the strategy API, the session and the run
loop importing one another without a cycle."""

import ast
import html
import json
import subprocess
import sys
import textwrap
import warnings
from pathlib import Path

import pandas as pd
import pytest
from support import korvit

from korvit.backtest import run
from korvit.backtest.loader import (
    StrategyLoadError,
    StrategyWarning,
    UnknownParameterError,
    prepare_callbacks,
)

CODE = "SZSE.000001"
ROWS = [
    (10.0, 10.5, 9.8, 10.2, 1000),
    (10.2, 10.6, 10.0, 10.4, 1200),
    (10.4, 10.8, 10.3, 10.7, 900),
    (10.7, 10.9, 10.5, 10.6, 1100),
]


def frame():
    out = pd.DataFrame(ROWS, columns=["open", "high", "low", "close", "volume"])
    out.insert(0, "code", CODE)
    out.insert(0, "time", pd.bdate_range("2024-01-02", periods=len(ROWS)))
    return out


def write(path, text):
    path.write_text(textwrap.dedent(text).lstrip())
    return path


def contracts(folder):
    """The contract of CODE, so that a command tells nothing of a code without one."""
    return write(folder / "contracts.csv", f"code,kind\n{CODE},stock\n")


def backtest_command(path, data, folder):
    """`korvit backtest` of the strategy `path` on `data` with CODE's contract, into `folder`/out."""
    out = folder / "out"
    return korvit(
        "backtest",
        path,
        "--data",
        data,
        "--contracts",
        contracts(folder),
        "--out",
        out,
        "--no-progress",
    )


def line_of(path, text):
    return next(k for k, line in enumerate(path.read_text().splitlines(), 1) if text in line)


def warned(scope):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        prepared = prepare_callbacks(scope, "strategy")
    return prepared, [str(w.message) for w in caught if issubclass(w.category, StrategyWarning)]


# ------------------------------------------------------------------ near misses


def test_near_misses_warn_on_the_terminal_with_file_line_and_the_callback_meant(tmp_path):
    data = tmp_path / "bars.csv"
    frame().to_csv(data, index=False)
    path = write(
        tmp_path / "near.py",
        """
        from korvit.strategy import buy, position

        def initialize(context):
            context.size = 100

        def on_date(context):
            if position(context.codes[0]) == 0:
                buy(context.codes[0], 100)

        def onOrder(ctx, order):
            pass

        def on_trade(ctx, execution):
            pass
        """,
    )
    done = backtest_command(path, data, tmp_path)
    assert done.returncode == 0, done.stderr
    expected = [
        (line_of(path, "def on_date"), "on_date", "on_data", "called after each bar is dealt"),
        (
            line_of(path, "def initialize"),
            "initialize",
            "init",
            "called once, before the first bar",
        ),
        (
            line_of(path, "def onOrder"),
            "onOrder",
            "on_order_status",
            "called when an order changes status",
        ),
        (
            line_of(path, "def on_trade"),
            "on_trade",
            "on_execution",
            "called when an order is filled",
        ),
    ]
    lines = done.stderr.splitlines()
    assert len(lines) == 4, done.stderr
    for line, name, meant, when in expected:
        assert (
            f"korvit: warning: {path}:{line}: korvit calls no function named `{name}`: "
            f"did you mean `{meant}` ({when})?"
        ) in lines
    assert pd.read_csv(tmp_path / "out" / "trades.csv").empty  # on_date was not called


@pytest.mark.parametrize(
    "name, meant",
    [
        ("on_date", "on_data"),
        ("ondata", "on_data"),
        ("onData", "on_data"),
        ("On_Data", "on_data"),
        ("on_dta", "on_data"),
        ("on_bar", "on_data"),
        ("handle_data", "on_data"),
        ("next", "on_data"),
        ("initialize", "init"),
        ("initialise", "init"),
        ("int", "init"),
        ("on_start", "init"),
        ("on_order", "on_order_status"),
        ("order_status", "on_order_status"),
        ("notify_order", "on_order_status"),
        ("on_order_stauts", "on_order_status"),
        ("on_trade", "on_execution"),
        ("on_fill", "on_execution"),
        ("on_excution", "on_execution"),
        ("onExecution", "on_execution"),
    ],
)
def test_a_near_miss_names_the_callback_it_was_probably_meant_to_be(name, meant):
    def function(context, *args):
        pass

    function.__module__ = "mine"
    _, messages = warned({"__name__": "mine", name: function})
    line = function.__code__.co_firstlineno
    assert len(messages) == 1, messages
    assert messages[0].startswith(
        f"{__file__}:{line}: korvit calls no function named `{name}`: "
        f"did you mean `{meant}` (called "
    )


def test_helpers_imports_and_defined_callbacks_are_not_near_misses():
    def on_data(context):
        step(context)
        setup(context)

    def step(context):  # another framework's on_data, but called by on_data: a helper
        pass

    def setup(context):  # another framework's init, but called by on_data: a helper
        pass

    def on_orders(context, order):  # a near miss of on_order_status, which the strategy defines
        pass

    for function in (on_data, step, setup, on_orders):
        function.__module__ = "mine"
    scope = {
        "__name__": "mine",
        "on_data": on_data,
        "step": step,
        "setup": setup,
        "on_order_status": on_orders,
        "on_orders": on_orders,
        "_on_trade": on_orders,
        "on_trade": pd.DataFrame,
        "on_fill": len,
    }
    assert warned(scope)[1] == []
    assert (
        warned(
            {"__name__": "mine", "init": step, "get_data": step, "load_data": step, "update": step}
        )[1]
        == []
    )
    # the same setup, not called by anything and with init missing, is a near miss
    assert len(warned({"__name__": "mine", "on_data": step, "setup": setup})[1]) == 1


# ------------------------------------------------------------------ callbacks left out


def test_a_strategy_without_init_runs_without_a_warning(tmp_path):
    data = tmp_path / "bars.csv"
    frame().to_csv(data, index=False)
    path = write(
        tmp_path / "no_init.py",
        """
        from korvit.strategy import buy, position

        def on_data(context):
            if position(context.codes[0]) == 0:
                buy(context.codes[0], 100)
        """,
    )
    done = backtest_command(path, data, tmp_path)
    assert done.returncode == 0 and done.stderr == "", done.stderr
    assert len(pd.read_csv(tmp_path / "out" / "trades.csv")) == 1


def test_only_a_strategy_that_can_place_no_order_is_warned_about():
    from korvit.strategy import buy

    def init(context):  # buy and hold: the order init places fills at the first bar
        buy(CODE, 100)

    with warnings.catch_warnings():
        warnings.simplefilter("error", StrategyWarning)
        result = run({"init": init}, frame(), progress=False)
    assert result.trades.volume.tolist() == [100.0]
    assert warned({"init": init})[1] == [] and warned({"on_data": init})[1] == []
    prepared, messages = warned({"on_order_status": lambda context, order: None})
    assert messages == [
        "strategy: defines neither init nor on_data, so it can place no order (korvit calls "
        "init(context) once, before the first bar, and on_data(context) after each bar)"
    ]
    assert all(
        callable(prepared[name]) for name in ("init", "on_data", "on_order_status", "on_execution")
    )


# ------------------------------------------------------------------ parameters named otherwise


def test_callbacks_with_other_parameter_names_are_called():
    from korvit.strategy import buy, position

    seen = []

    class Reporter:
        def __call__(self, ctx, execution):
            seen.append(("execution", ctx is contexts[0], execution.volume))

    contexts = []

    def on_data(ctx):
        contexts.append(ctx)
        if position(CODE) == 0:
            buy(CODE, 100)

    def on_order_status(ctx, o, extra=None, /):
        seen.append(("status", ctx is contexts[0], extra))

    result = run(
        {"on_data": on_data, "on_order_status": on_order_status, "on_execution": Reporter()},
        frame(),
        progress=False,
    )
    assert len(result.trades) == 1 and len(contexts) == len(ROWS)
    assert ("execution", True, 100) in seen
    assert seen.count(("status", True, None)) >= 1 and all(s[1] for s in seen)


@pytest.mark.parametrize(
    "callback, source, shown, takes",
    [
        (
            "on_data",
            "def on_data(context, bar):",
            "on_data(context, bar)",
            "takes 2 arguments, but korvit passes 1 (context)",
        ),
        (
            "on_data",
            "def on_data():",
            "on_data()",
            "takes 0 arguments, but korvit passes 1 (context)",
        ),
        (
            "init",
            "def init(context, a, b=1, *c):",
            "init(context, a, b=..., *c)",
            "takes at least 2 arguments, but korvit passes 1 (context)",
        ),
        (
            "on_order_status",
            "def on_order_status(context):",
            "on_order_status(context)",
            "takes 1 argument, but korvit passes 2 (context, order)",
        ),
        (
            "on_execution",
            "def on_execution(context, e, f, g=None):",
            "on_execution(context, e, f, g=...)",
            "takes 3 to 4 arguments, but korvit passes 2 (context, execution)",
        ),
        (
            "on_data",
            "def on_data(context, *, bar):",
            "on_data(context, *, bar)",
            "needs the keyword argument bar, which korvit never passes",
        ),
    ],
)
def test_a_callback_that_cannot_take_korvits_arguments_is_refused_naming_file_and_line(
    tmp_path, callback, source, shown, takes
):
    path = write(tmp_path / "odd.py", f"x = 1\n\n{source}\n    pass\n")
    given = (
        "context, order"
        if callback == "on_order_status"
        else "context, execution"
        if callback == "on_execution"
        else "context"
    )
    with pytest.raises(StrategyLoadError) as caught:
        run(path, frame(), progress=False)
    assert str(caught.value) == f"{path}:3: {shown} {takes}: define it as `def {callback}({given})`"


def test_a_refused_callback_ends_the_command_with_one_line_and_status_2(tmp_path):
    data = tmp_path / "bars.csv"
    frame().to_csv(data, index=False)
    path = write(tmp_path / "odd.py", "def on_data(context, extra):\n    pass\n")
    done = korvit("backtest", path, "--data", data, "--out", tmp_path / "out", "--no-progress")
    assert done.returncode == 2 and not (tmp_path / "out").exists()
    assert done.stderr == (
        f"korvit: {path}:1: on_data(context, extra) takes 2 arguments, but korvit passes 1 "
        "(context): define it as `def on_data(context)`\n"
    )


def test_a_callback_name_bound_to_something_not_callable_is_refused(tmp_path):
    path = write(tmp_path / "odd.py", "init = 5\ndef on_data(context):\n    pass\n")
    with pytest.raises(
        StrategyLoadError,
        match=r"odd\.py: init is int 5, not a function: korvit calls "
        r"init\(context\)$",
    ):
        run(path, frame(), progress=False)


# ------------------------------------------------------------------ parameters


def test_a_parameter_the_strategy_never_reads_is_refused_before_anything_is_written(tmp_path):
    data = tmp_path / "bars.csv"
    frame().to_csv(data, index=False)
    path = write(
        tmp_path / "reads.py",
        """
        def init(context):
            context.fast = context.params.get("fast", 5)

        def on_data(context):
            pass
        """,
    )
    out = tmp_path / "out"
    done = korvit(
        "backtest",
        path,
        "--data",
        data,
        "--param",
        "fast=3",
        "--param",
        "fsat=1",
        "--out",
        out,
        "--no-progress",
    )
    assert done.returncode == 2 and not out.exists()
    assert (
        done.stderr
        == "korvit: unknown parameter 'fsat': reads.py reads fast; did you mean 'fast'?\n"
    )
    with pytest.raises(
        UnknownParameterError, match="unknown parameter 'slow': reads.py reads fast$"
    ):
        run(path, frame(), params={"slow": 1}, progress=False)
    assert run(path, frame(), params={"fast": 3}, progress=False).params == {"fast": 3}
    # A strategy that reads its parameters by a computed name, or one given as callbacks, is not checked.
    dynamic = write(
        tmp_path / "dynamic.py", "def init(context):\n    context.p = dict(context.params)\n"
    )
    assert run(dynamic, frame(), params={"any": 1}, progress=False).params == {"any": 1}
    assert run(
        {"init": lambda context: None}, frame(), params={"any": 1}, progress=False
    ).params == {"any": 1}


# ------------------------------------------------------------------ layers

LAYERS = (
    "korvit.strategy",
    "korvit.backtest.session",
    "korvit.backtest.loader",
    # the run: Backtest, and its options, inputs, loop and output
    "korvit.backtest.runner",
    "korvit.backtest.options",
    "korvit.backtest.inputs",
    "korvit.backtest.loop",
    "korvit.backtest.output",
)


def _imports(module):
    """The korvit modules ``module``'s source imports, anywhere in it."""
    import importlib.util

    tree = ast.parse(Path(importlib.util.find_spec(module).origin).read_text())
    found = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            found.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module:
            found.add(node.module)
            found.update(f"{node.module}.{alias.name}" for alias in node.names)
    return {name for name in found if name in LAYERS}


def test_the_strategy_api_session_and_run_loop_import_without_a_cycle():
    graph = {module: _imports(module) - {module} for module in LAYERS}
    assert graph["korvit.strategy"] == {"korvit.backtest.session"}
    assert graph["korvit.backtest.session"] == set() and graph["korvit.backtest.loader"] == set()
    run = LAYERS[3:]
    assert set().union(*(graph[module] for module in run)) - set(run) == {
        "korvit.backtest.session",
        "korvit.backtest.loader",
    }
    done = subprocess.run(
        [
            sys.executable,
            "-c",
            "import sys, korvit.strategy; print(sorted(m for m in sys.modules "
            "if m.startswith('korvit.backtest.') and 'model' not in m))",
        ],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0 and done.stdout.strip() == "['korvit.backtest.session']", (
        done.stderr
    )


def test_a_sweep_tells_a_near_miss_once_whatever_the_number_of_workers_and_runs(tmp_path):
    data = tmp_path / "bars.csv"
    frame().to_csv(data, index=False)
    path = write(
        tmp_path / "near.py",
        """
        def on_data(context):
            context.size = context.params.get("size", 100)

        def initialise(context):
            pass
        """,
    )
    done = korvit(
        "sweep",
        path,
        "--data",
        data,
        "--contracts",
        contracts(tmp_path),
        "--grid",
        "size=100,200,300",
        "--workers",
        "2",
        "--out",
        tmp_path / "out",
        "--no-progress",
    )
    assert done.returncode == 0, done.stderr
    assert done.stderr == (
        f"korvit: warning: {path}:4: korvit calls no function named `initialise`: "
        "did you mean `init` (called once, before the first bar)?\n"
    )


def test_init_sees_no_price_of_the_bar_its_orders_fill_on():
    """An order placed in init fills at the first bar's open, so init must not
    read that bar's close (nor later ones); on_data then reads up to its bar."""
    from korvit import strategy as api

    seen = {}

    def init(context):
        seen["init"] = (api.history(CODE, "close", 5).tolist(), api.current_price(CODE))
        api.buy(CODE, 100)

    def on_data(context):
        seen.setdefault(
            "first on_data", (api.history(CODE, "close", 5).tolist(), api.current_price(CODE))
        )

    result = run({"init": init, "on_data": on_data}, frame(), progress=False)
    closes, price = seen["init"]
    assert closes == [] and price != price  # nothing visible: NaN price
    assert seen["first on_data"] == ([ROWS[0][3]], ROWS[0][3])
    assert result.trades.price.tolist() == [ROWS[0][0]]


# ------------------------------------------------------------------ parameters in force


@pytest.mark.parametrize(
    ("given", "in_force", "defaulted"),
    [
        ({}, {"a": 1, "b": [2], "c": None, "d": 4}, ["a", "b", "c", "d"]),
        ({"a": 7, "d": 0}, {"a": 7, "d": 0, "b": [2], "c": None}, ["b", "c"]),
        ({"a": 7, "b": 8, "c": 9, "d": 10}, {"a": 7, "b": 8, "c": 9, "d": 10}, []),
    ],
)
def test_the_parameters_in_force_are_the_given_ones_then_the_defaults_read(
    given, in_force, defaulted, tmp_path
):
    def init(context):
        p = context.params
        context.seen = (p.get("a", 1), p.setdefault("b", [2]), p.get("c"), p.pop("d", 4))
        p.get("a", 99)  # a second default for the same name does not replace the first

    result = run({"init": init}, frame(), params=given, progress=False)
    assert result.params == in_force and list(result.params) == list(in_force)
    assert result.params_defaulted == defaulted
    summary = result.summary()
    assert ("Parameters  " + result.params_line()) in summary
    for name, value in in_force.items():
        assert f"{name} = {json.dumps(value)}" in result.params_line()
    result.save(tmp_path)
    saved = json.loads((tmp_path / "stats.json").read_text())
    assert saved["params"] == in_force and saved["params_defaulted"] == defaulted
    assert html.escape(result.params_line()) in (tmp_path / "report.html").read_text()
