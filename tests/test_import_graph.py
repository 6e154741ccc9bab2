"""The package's import graph, read from its source: no cycle, and the results never
load the rendering.

Every ``.py`` under ``src/korvit`` is parsed.  An import counts when it runs as its
module is imported: at module level, in a class body, or under ``if``/``try`` there;
not inside a function (a late import runs when it is called, once the modules it
names have loaded) and not under ``if TYPE_CHECKING:`` (it never runs).  An import
names the module it loads: ``from a.b import c`` the module ``a.b.c`` where that is
one, else ``a.b``.  The packages above that module are left out: a package's
``__init__`` importing its own modules, which import each other by the package's
name, is how a package is built, not a cycle.  The compiled modules have no source
here and are left out too.
"""

from __future__ import annotations

import ast
import importlib.machinery
from pathlib import Path

import korvit

SOURCE = Path(__file__).resolve().parents[1] / "src"


def module_names() -> dict[str, Path]:
    names = {}
    for path in sorted((SOURCE / "korvit").rglob("*.py")):
        parts = path.relative_to(SOURCE).with_suffix("").parts
        names[".".join(parts[:-1] if parts[-1] == "__init__" else parts)] = path
    return names


def compiled_names() -> set[str]:
    root = Path(korvit.__file__).parent
    return {
        ".".join((*path.relative_to(root.parent).parts[:-1], path.name.split(".")[0]))
        for suffix in importlib.machinery.EXTENSION_SUFFIXES
        for path in root.rglob(f"*{suffix}")
    }


def _type_checking(test: ast.expr) -> bool:
    return (isinstance(test, ast.Name) and test.id == "TYPE_CHECKING") or (
        isinstance(test, ast.Attribute) and test.attr == "TYPE_CHECKING"
    )


def imports(
    name: str, path: Path, modules: dict[str, Path], compiled: set[str] = frozenset()
) -> dict[str, set[str]]:
    """``{"module": ..., "function": ...}``: the package's modules ``name`` imports
    as it loads, and those it imports inside its functions."""
    found: dict[str, set[str]] = {"module": set(), "function": set()}
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]

    def target(base: str, item: str | None) -> str | None:
        for candidate in ([f"{base}.{item}"] if item else []) + [base]:
            if candidate in modules:
                return candidate
            if candidate in compiled:
                return None
        return None

    def visit(node: ast.AST, level: str) -> None:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda)):
            level = "function"
        if isinstance(node, ast.If) and _type_checking(node.test):
            for child in node.orelse:
                visit(child, level)
            return
        if isinstance(node, ast.Import):
            found[level].update(filter(None, (target(alias.name, None) for alias in node.names)))
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                up = package.rsplit(".", node.level - 1)[0] if node.level > 1 else package
                base = f"{up}.{base}" if base else up
            found[level].update(filter(None, (target(base, alias.name) for alias in node.names)))
        for child in ast.iter_child_nodes(node):
            visit(child, level)

    visit(ast.parse(path.read_text(encoding="utf-8"), str(path)), "module")
    for targets in found.values():
        targets.discard(name)
    return found


def cycles(graph: dict[str, set[str]]) -> list[list[str]]:
    """The cycles a depth-first walk of ``graph`` closes, each from the module it
    comes back to (``[a, b, a]``)."""
    found: list[list[str]] = []
    done: set[str] = set()
    path: list[str] = []

    def walk(node: str) -> None:
        path.append(node)
        for other in sorted(graph[node]):
            if other in path:
                found.append(path[path.index(other) :] + [other])
            elif other not in done:
                walk(other)
        path.pop()
        done.add(node)

    for node in sorted(graph):
        if node not in done:
            walk(node)
    return found


def test_the_package_has_no_import_cycle_and_its_results_never_load_the_report():
    modules = module_names()
    compiled = compiled_names()
    assert "korvit.backtest.domain" in compiled
    graph = {name: imports(name, path, modules, compiled) for name, path in modules.items()}
    assert "korvit.report.report" in modules and "korvit.backtest.results" in modules
    loops = cycles({name: found["module"] for name, found in graph.items()})
    assert not loops, "import cycles: " + "; ".join(" -> ".join(loop) for loop in loops)
    # The report reads the results as it loads; the results render only by a late import
    # in the methods that render (the old path of the sweep's report forwards the same way).
    assert "korvit.backtest.results" in graph["korvit.report.report"]["module"]
    assert "korvit.report.report" in graph["korvit.backtest.results"]["function"]
    late = {"korvit.backtest.results", "korvit.backtest.sweep_report"}
    rendering = sorted(
        f"{name} imports {target} {'as it loads' if level == 'module' else 'in a function'}"
        for name, found in graph.items()
        if name.startswith("korvit.backtest")
        for level, targets in found.items()
        for target in targets
        if target.startswith("korvit.report") and (level == "module" or name not in late)
    )
    assert not rendering, rendering
    from korvit.backtest import sweep_report as old_path
    from korvit.report import sweep_report

    assert old_path.save_sweep_report is sweep_report.save_sweep_report


def test_a_cycle_is_found_and_named():
    graph = {"a": {"b"}, "b": {"c"}, "c": {"a", "d"}, "d": set()}
    assert cycles(graph) == [["a", "b", "c", "a"]]
    assert cycles({"a": {"b"}, "b": set()}) == []
