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


def own_members(module):
    """The functions and classes the module itself binds: {name: object}."""
    members = {}
    for name in dir(module):
        obj = getattr(module, name)
        if is_function(obj) or (isinstance(obj, type) and obj.__module__ == module.__name__):
            members[name] = obj
    return members


def bound_function(member):
    """The nanobind function behind a class member (method, static or class
    method, property, replaceable method), or None for anything else."""
    if isinstance(member, classmethod):
        member = member.__func__
    elif isinstance(member, property):
        member = member.fget
    elif type(member).__name__ == "_replaceable_method":
        return member                       # forwards __nb_signature__ and __doc__ to its method
    return member if is_function(member) else None


def class_functions(cls):
    """{name: nanobind function} of a bound class's own members."""
    found = {}
    for name, member in vars(cls).items():
        function = bound_function(member)
        if function is not None:
            found[name] = function
    return found


def parameters(definition):
    """Parameter names of a `def` (an ast node or the text of a signature)."""
    if isinstance(definition, str):
        definition = ast.parse(definition + ": ...").body[0]
    args = definition.args
    names = [a.arg for a in args.posonlyargs + args.args + args.kwonlyargs]
    return names + [a.arg for a in (args.vararg, args.kwarg) if a is not None]


def signature(function):
    return function.__nb_signature__[0][0]


def stub_path(module):
    return Path(module.__file__).with_name(module.__name__.rpartition(".")[2] + ".pyi")


def stub_definitions(module):
    """{name: ast node} of the stub's top-level defs and classes."""
    tree = ast.parse(stub_path(module).read_text(encoding="utf-8"))
    return {node.name: node for node in tree.body if isinstance(node, (ast.FunctionDef, ast.ClassDef))}


def defs_of(class_node):
    return {node.name: node for node in class_node.body if isinstance(node, ast.FunctionDef)}


def test_stubs_and_py_typed_are_installed():
    for module in MODULES:
        path = stub_path(module)
        assert path.is_file(), path
        ast.parse(path.read_text(encoding="utf-8"), filename=str(path))
    assert importlib.resources.files("korvit").joinpath("py.typed").is_file()


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_stub_declares_every_public_function_and_method_with_its_parameters(module):
    stub = stub_definitions(module)
    public = {name: obj for name, obj in own_members(module).items() if not name.startswith("_")}
    assert public, module.__name__
    missing = sorted(set(public) - set(stub))
    assert not missing, f"{module.__name__}.pyi lacks {missing}"
    for name, obj in public.items():
        if is_function(obj):
            assert parameters(stub[name]) == parameters(signature(obj)), name
            continue
        declared = defs_of(stub[name])
        for member, function in class_functions(obj).items():
            if member.startswith("_") and member != "__init__":
                continue
            assert member in declared, f"{module.__name__}.pyi lacks {name}.{member}"
            assert parameters(declared[member]) == parameters(signature(function)), f"{name}.{member}"


def test_stub_of_a_class_with_an_instance_dictionary_admits_any_attribute():
    checked = []
    for module in MODULES:
        stub = stub_definitions(module)
        for name, obj in own_members(module).items():
            if isinstance(obj, type) and not name.startswith("_") and obj.__dictoffset__:
                assert {"__getattr__", "__setattr__"} <= set(defs_of(stub[name])), name
                checked.append(name)
    assert sorted(checked) == ["SystemBaseEnv", "SystemBaseVar"]


def all_functions(module):
    """{qualified name: nanobind function} of every function and class member
    the module binds, private ones included, special methods left out."""
    functions = {}
    for name, obj in own_members(module).items():
        if is_function(obj):
            functions[name] = obj
        else:
            functions.update({f"{name}.{member}": function for member, function in class_functions(obj).items()
                              if not member.startswith("__")})
    return functions


def test_modules_classes_and_functions_have_docstrings():
    for module in MODULES:
        assert (module.__doc__ or "").strip(), module.__name__
        for name, obj in own_members(module).items():
            if isinstance(obj, type) and not name.startswith("_"):
                assert (obj.__doc__ or "").strip(), name
        functions = all_functions(module)
        assert len(functions) > 10
        for name, function in functions.items():
            doc = function.__nb_signature__[0][1]       # the docstring without the signature line
            assert doc and doc.strip(), name


def test_signatures_show_parameter_names_without_placeholder_types():
    for module in MODULES:
        for name, function in all_functions(module).items():
            shown = signature(function)
            assert "object" not in shown, shown
    text = pydoc.render_doc(domain._create_a_trader, renderer=pydoc.plaintext)
    assert "_create_a_trader(order, order_price, trader_volume, trade_price, filled_time)\n" in text
    text = pydoc.render_doc(framekit.SystemBaseEnv, renderer=pydoc.plaintext)
    for shown in ("get_bar(self, target_idx, offset=0)\n",
                  "set_env(self, _vr=None, _gv=None, _smm=None) -> None\n",
                  "matrix_bar_item_pos(self, bar_item, target_index=0, contain_head=True)\n",
                  "update_user_scope(self, user_scope) -> None\n",
                  "Finds, checks and wraps the user's strategy callbacks"):
        assert shown in text


def keyword_calls(module, instances):
    """(label, callable, parameter names) of every bound function that takes
    parameters; methods are bound to the instance of their class."""
    for name, obj in own_members(module).items():
        if is_function(obj):
            yield name, obj, parameters(signature(obj))
            continue
        instance = next((i for i in instances if isinstance(i, obj)), None)
        for member, function in class_functions(obj).items():
            if member.startswith("__"):
                continue
            names = parameters(signature(function))
            target = vars(obj)[member]
            if names[:1] == ["self"]:
                target = None if instance is None else getattr(instance, member)
                names = names[1:]
            elif names[:1] == ["cls"]:
                target = getattr(obj, member)
                names = names[1:]
            if target is not None and names:
                yield f"{name}.{member}", target, names


def test_every_shown_parameter_is_accepted_by_keyword(backtest, isolated_files, monkeypatch):
    """The names that help and the stubs show are the names the functions
    take: a call giving every parameter by keyword is never refused for its
    arguments (the values are None, which every parameter accepts)."""
    monkeypatch.setattr(StatusCollect, "_instance", None)
    backtest.load([[[10, 11, 9, 10, 100]]] * 2, [0.0], bar=0)
    base_env = framekit.SystemBaseEnv()
    base_env.set_env(backtest.vr, framekit.gv, backtest.smm)
    calls = [*keyword_calls(domain, []), *keyword_calls(framekit, [base_env, backtest.vr])]
    labels = [label for label, _, _ in calls]
    assert {"_transaction_order", "SystemBaseEnv.get_bar", "SystemBaseEnv.update_user_scope",
            "SystemBaseEnv.root_sub_dir", "SystemBaseVar.get_value", "SystemBaseVar.set_env"} <= set(labels)
    for label, function, names in calls:
        try:
            function(**dict.fromkeys(names))
        except TypeError as exc:
            assert "incompatible function arguments" not in str(exc), (label, names, exc)
        except Exception:
            pass
