"""Short import names for the framework's packages.

``tframe`` and ``backtest`` (and every module below them) are aliases of
``korvit.tframe`` and ``korvit.backtest``.  An alias is never a second copy:
importing ``tframe.framekit`` imports ``korvit.tframe.framekit`` and binds
the same module object under both names, in whichever order they are first
imported.
"""

import importlib
import importlib.abc
import importlib.machinery
import sys

ALIASES = {"tframe": "korvit.tframe", "backtest": "korvit.backtest"}


def real_name(fullname):
    """The ``korvit.`` name behind an alias, or None for any other name."""
    head, dot, rest = fullname.partition(".")
    target = ALIASES.get(head)
    if target is None:
        return None
    return target + dot + rest


class _AliasLoader(importlib.abc.Loader):
    """Hands out the already imported real module instead of a new one."""

    def __init__(self, module):
        self._module = module
        self._spec = module.__spec__

    def create_module(self, spec):
        return self._module

    def exec_module(self, module):
        # The import system stamps the alias spec on the module it was given;
        # the module keeps describing itself by its real name.
        try:
            module.__spec__ = self._spec
        except AttributeError:  # pragma: no cover - modules always take it
            pass


class AliasFinder(importlib.abc.MetaPathFinder):
    def find_spec(self, fullname, path=None, target=None):
        real = real_name(fullname)
        if real is None:
            return None
        try:
            module = importlib.import_module(real)
        except ModuleNotFoundError as exc:
            if exc.name == real:
                return None  # let the import system report the short name
            raise
        is_package = hasattr(module, "__path__")
        return importlib.machinery.ModuleSpec(fullname, _AliasLoader(module), is_package=is_package)


def install() -> None:
    """Put the alias finder first on the import path (once)."""
    if not any(isinstance(f, AliasFinder) for f in sys.meta_path):
        sys.meta_path.insert(0, AliasFinder())
