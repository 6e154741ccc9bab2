"""Type stubs, docstrings and help of the compiled modules.

The stubs are generated at build time and installed beside the modules; these
tests compare them with the live modules, so a function or method added
without making it into the stub, or a stub that drifts from the binding,
fails here.
"""

import ast
import importlib.resources
import importlib.util
import pydoc
import subprocess
import sys
from pathlib import Path

import pytest

import korvit.backtest.domain as domain
import korvit.native as native
import korvit.tframe.framekit as framekit
from korvit.tframe.uclass import StatusCollect

MODULES = [native, framekit, domain]

# Parameters typed `object`: they take any object at all and only pass it
# on, compare it or ignore it.
ANY_OBJECT = {
    ("set_value", "value"),  # a registry value, stored as given
    ("is_valid_order_id", "order_id"),  # None and NaN are the invalid ones
    ("valid_cash", "time"),  # not used
    ("attr_update", "value"),
    ("__contains__", "key"),
    ("snap_obj_attr_update", "value"),
    ("snap_select", "value"),
    ("obj_attr_value_eq_all", "value"),
    ("obj_attr_update", "value"),
}


def is_function(obj):
    return type(obj).__module__ == "nanobind" and type(obj).__name__ in ("nb_func", "nb_method")


def own_classes(module):
    return {
        name: obj
        for name, obj in vars(module).items()
        if isinstance(obj, type) and obj.__module__ == module.__name__
    }


def functions(module):
    """(class or None, name, nanobind function) of every function and class
    member the module binds, private ones included, special methods left out
    except __init__.  A replaceable method forwards __nb_signature__ and
    __doc__ to the method it binds.  A function the module binds from another
    module (the snapshot converters of korvit.native) is that module's."""
    for name, obj in vars(module).items():
        if is_function(obj) and obj.__module__ == module.__name__:
            yield None, name, obj
    for cls in own_classes(module).values():
        for name, member in vars(cls).items():
            member = getattr(member, "__func__", None) or getattr(member, "fget", None) or member
            if (is_function(member) or type(member).__name__ == "_replaceable_method") and (
                not name.startswith("__") or name == "__init__"
            ):
                yield cls, name, member


def parameters(definition):
    """Parameter names of a `def`: an ast node or the text of a signature."""
    if isinstance(definition, str):
        definition = ast.parse(definition + ": ...").body[0]
    args = definition.args
    return [a.arg for a in args.posonlyargs + args.args + args.kwonlyargs]


def signature(function):
    return function.__nb_signature__[0][0]


def stub_path(module):
    return Path(module.__file__).with_name(module.__name__.rpartition(".")[2] + ".pyi")


def stub_scopes(module):
    """{None: top-level defs and classes, class name: its defs} of the stub."""
    tree = ast.parse(stub_path(module).read_text(encoding="utf-8"), filename=str(stub_path(module)))
    scopes = {
        None: {
            node.name: node
            for node in tree.body
            if isinstance(node, (ast.FunctionDef, ast.ClassDef))
        }
    }
    for node in scopes[None].values():
        if isinstance(node, ast.ClassDef):
            scopes[node.name] = {n.name: n for n in node.body if isinstance(n, ast.FunctionDef)}
    return scopes


def test_stubs_and_py_typed_are_installed():
    for module in MODULES:
        assert stub_path(module).is_file(), stub_path(module)
    assert importlib.resources.files("korvit").joinpath("py.typed").is_file()


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_stub_declares_every_public_function_class_and_method_with_its_parameters(module):
    scopes = stub_scopes(module)
    public_classes = [name for name in own_classes(module) if not name.startswith("_")]
    assert set(public_classes) <= set(scopes[None])
    checked = 0
    for cls, name, function in functions(module):
        owner = None if cls is None else cls.__name__
        if (owner or name).startswith("_") or (
            owner and name.startswith("_") and name != "__init__"
        ):
            continue
        assert name in scopes[owner], f"{module.__name__}.pyi lacks {owner or ''}.{name}"
        assert parameters(scopes[owner][name]) == parameters(signature(function)), (owner, name)
        checked += 1
    assert checked >= 2
    # Classes that keep their state in the instance dictionary take any attribute.
    for name in public_classes:
        if getattr(module, name).__dictoffset__:
            assert {"__getattr__", "__setattr__"} <= set(scopes[name]), name


def test_modules_classes_and_functions_have_docstrings():
    for module in MODULES:
        assert (module.__doc__ or "").strip(), module.__name__
        for name, cls in own_classes(module).items():
            assert name.startswith("_") or (cls.__doc__ or "").strip(), name
        found = list(functions(module))
        assert len(found) > 10
        for cls, name, function in found:
            doc = function.__nb_signature__[0][1]  # the docstring, without the signature line
            assert doc and doc.strip(), (cls, name)


def annotations(signature_text):
    """{parameter: its annotation or None} (self and cls left out) and the
    return annotation of a signature's text."""
    definition = ast.parse(signature_text + ": ...").body[0]
    args = definition.args
    every = args.posonlyargs + args.args + args.kwonlyargs
    shown = {a.arg: a.annotation and ast.unparse(a.annotation) for a in every}
    shown.pop("self", None)
    shown.pop("cls", None)
    return shown, definition.returns and ast.unparse(definition.returns)


def test_signatures_give_every_parameter_and_result_a_type():
    checked = 0
    for module in MODULES:
        for _, name, function in functions(module):
            text = signature(function)
            params, result = annotations(text)
            if name != "__init__":
                assert result, text
            for param, annotation in params.items():
                assert annotation, text
                if annotation == "object":
                    assert (name, param) in ANY_OBJECT, text
                checked += 1
    assert checked > 100
    text = pydoc.render_doc(domain._create_a_trader, renderer=pydoc.plaintext)
    assert (
        "_create_a_trader(order: korvit.native.KVBackOrder, order_price: float, "
        "trader_volume: float, trade_price: float, filled_time: float) -> "
        "korvit.native.KVBackTrade\n" in text
    )
    text = pydoc.render_doc(framekit.SystemBaseEnv, renderer=pydoc.plaintext)
    for shown in (
        "get_bar(self, target_idx: int | collections.abc.Sequence[int]",
        "set_env(self, _vr: SystemBaseVar | None = None,",
        "matrix_bar_item_pos(self, bar_item: int, target_index: int = 0, contain_head: bool = "
        "True) -> int\n",
        "update_user_scope(self, user_scope: collections.abc.Mapping[str, typing.Any]) -> None\n",
        "Finds, checks and wraps the user's strategy callbacks",
    ):
        assert shown in text


def test_stubs_of_the_c_api_classes_name_every_field():
    """The records and the phase manager are written out in the stub pattern
    file by hand: each of their fields and methods is in the stub."""
    scopes = stub_scopes(native)
    tree = ast.parse(stub_path(native).read_text(encoding="utf-8"))
    fields = {
        node.name: {
            n.target.id
            for n in node.body
            if isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name)
        }
        for node in tree.body
        if isinstance(node, ast.ClassDef)
    }
    for cls in (native.KVBackOrder, native.KVBackTrade, native.KVBackStopOrder):
        assert {f for f in cls.__slots__ if not f.startswith("_")} <= fields[cls.__name__], cls
        public = {n for n in vars(cls) if not n.startswith("_")} - set(cls.__slots__)
        assert public <= set(scopes[cls.__name__]), cls
    manager = {n for n in vars(native.SystemModeMgr) if not n.startswith("_")}
    assert manager <= set(scopes["SystemModeMgr"]) | fields["SystemModeMgr"]


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="needs mypy")
def test_stubtest_finds_the_stubs_true(tmp_path):
    """mypy's stubtest, taught nanobind's functions, compares the installed
    stubs with the modules: names, kinds, defaults and C API signatures."""
    run = Path(__file__).with_name("stubtest") / "run.py"
    result = subprocess.run(
        [sys.executable, str(run)], capture_output=True, text=True, cwd=tmp_path, timeout=300
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_every_shown_parameter_is_accepted_by_keyword(backtest, isolated_files, monkeypatch):
    """The names that help and the stubs show are the names the functions
    take: a call giving every parameter by keyword (each None, which every
    parameter accepts) is never refused for its arguments."""
    monkeypatch.setattr(StatusCollect, "_instance", None)
    backtest.load([[[10, 11, 9, 10, 100]]] * 2, [0.0], bar=0)
    base_env = framekit.SystemBaseEnv()
    base_env.set_env(backtest.vr, framekit.gv, backtest.smm)
    instances = {framekit.SystemBaseEnv: base_env, framekit.SystemBaseVar: backtest.vr}
    called = set()
    for module in MODULES:
        for cls, name, function in functions(module):
            names = parameters(signature(function))
            target = function
            if names[:1] in (["self"], ["cls"]):
                target = getattr(instances.get(cls) if names[0] == "self" else cls, name, None)
                names = names[1:]
            if target is None or not names or name == "__init__":
                continue
            try:
                target(**dict.fromkeys(names))
            except TypeError as exc:
                assert "incompatible function arguments" not in str(exc), (name, names, exc)
            except Exception:
                pass
            called.add(name)
    assert {
        "_transaction_order",
        "get_bar",
        "update_user_scope",
        "root_sub_dir",
        "get_value",
        "set_env",
    } <= called
