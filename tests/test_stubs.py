"""Type stubs, docstrings and help of the compiled modules.

The stubs are generated at build time and installed beside the modules; these
tests compare them with the live modules, so a function or method added
without making it into the stub, or a stub that drifts from the binding,
fails here.
"""

import ast
import importlib.resources
import pydoc
from pathlib import Path

import pytest

import korvit.backtest.domain as domain
import korvit.tframe.framekit as framekit
from korvit.tframe.uclass import StatusCollect

MODULES = [framekit, domain]


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


def test_signatures_show_parameter_names_without_placeholder_types():
    for module in MODULES:
        for _, _, function in functions(module):
            assert "object" not in signature(function), signature(function)
    text = pydoc.render_doc(domain._create_a_trader, renderer=pydoc.plaintext)
    assert "_create_a_trader(order, order_price, trader_volume, trade_price, filled_time)\n" in text
    text = pydoc.render_doc(framekit.SystemBaseEnv, renderer=pydoc.plaintext)
    for shown in (
        "get_bar(self, target_idx, offset=0)\n",
        "set_env(self, _vr=None, _gv=None, _smm=None) -> None\n",
        "matrix_bar_item_pos(self, bar_item, target_index=0, contain_head=True)\n",
        "update_user_scope(self, user_scope) -> None\n",
        "Finds, checks and wraps the user's strategy callbacks",
    ):
        assert shown in text


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
