"""Testing plugins against an isolated plugin manager.

:func:`isolated_plugins` is a context manager: for its duration a new, empty
:class:`~sorvex.PluginManager` is the shared one (``sorvex.__plugin_manager__``),
and only the plugins named are loaded into it::

    from sorvex.testing import isolated_plugins

    with isolated_plugins("mirel") as manager:      # entry-point names
        assert manager.get_plugin(os="mirel").__name__ == "MirelConnection"

    with isolated_plugins(modules=["sorvex_mirel"]) as manager:
        ...

A plugin module registers its classes when it is imported, on the manager it
binds at import (``from sorvex import __plugin_manager__``). So each module
named, and each module below it, is imported anew for the block, even if it
had been imported before; afterwards the modules that were there before are
put back, the ones imported for the block are dropped, and the shared manager
is restored.

Installing sorvex makes the same available to pytest as the fixture
``sorvex_plugins`` (through pytest's ``pytest11`` entry point): it gives a
function that takes the same arguments and returns the isolated manager;
everything is restored after the test::

    def test_mirel_stack(sorvex_plugins):
        manager = sorvex_plugins("mirel")
        assert manager.get_plugin(os="mirel", chassis_type="stack").__name__ == "MirelStackConnection"
"""
from __future__ import annotations

import sys
from contextlib import ExitStack, contextmanager

import sorvex

TYPE_CHECKING = False
if TYPE_CHECKING:
    from types import ModuleType
    from typing import Any, Callable, Dict, Iterable, Iterator, List

__all__ = ["isolated_plugins", "sorvex_plugins"]


def _below(name: str) -> Callable[[str], bool]:
    prefix = name + "."
    return lambda module: module == name or module.startswith(prefix)


class _Modules:
    """Takes modules out of ``sys.modules`` for a while, and puts back exactly what was there."""

    def __init__(self) -> None:
        self.tests: List[Callable[[str], bool]] = []
        self.saved: Dict[str, ModuleType] = {}

    def take_out(self, name: str) -> None:
        below = _below(name)
        self.tests.append(below)
        for name in [name for name in sys.modules if below(name)]:
            self.saved.setdefault(name, sys.modules.pop(name))

    def restore(self) -> None:
        for name in [name for name in sys.modules if any(test(name) for test in self.tests)]:
            del sys.modules[name]
        sys.modules.update(self.saved)
        for name, module in self.saved.items():  # packages point at their submodules again
            parent, _, child = name.rpartition(".")
            if parent in sys.modules:
                setattr(sys.modules[parent], child, module)


def _entry_points(names: Iterable[str]) -> List[Any]:
    from sorvex.core import pluginmanager as native

    wanted = list(names)
    found = [entry_point for entry_point in native.iter_entry_points(group=native.ENTRYPOINT_GROUP)]
    chosen = [entry_point for entry_point in found if entry_point.name in wanted]
    missing = [name for name in wanted if name not in {entry_point.name for entry_point in chosen}]
    if missing:
        raise LookupError(
            "no entry point " + ", ".join(repr(name) for name in missing) + " in the group " + native.ENTRYPOINT_GROUP
        )
    return chosen


@contextmanager
def isolated_plugins(*entry_points: str, modules: Iterable[str] = (), builtin: bool = False) -> Iterator[Any]:
    """A new manager as the shared one, with only the named plugins loaded; everything restored after.

    ``entry_points``: names of entry points of the ``sorvex.plugins`` group
    (:class:`LookupError` for a name that is not installed), loaded in the
    order discovery loads them. ``modules``: plugin modules, imported in the
    order given, after them. ``builtin``: True loads sorvex's built-in plugins
    first. A plugin that fails to load raises its own exception.
    """
    import importlib

    chosen = _entry_points(entry_points)
    module_names = list(modules)
    taken = _Modules()
    previous = sorvex.__plugin_manager__
    manager = sorvex.PluginManager()
    try:
        if builtin:
            taken.take_out("sorvex.plugins")
        for name in [entry_point.module_name for entry_point in chosen] + module_names:
            taken.take_out(name)
        sorvex.__plugin_manager__ = manager
        if builtin:
            sorvex.PluginManager.discover_builtin_plugins()
        for entry_point in chosen:
            entry_point.load()
        for name in module_names:
            importlib.import_module(name)
        yield manager
    finally:
        sorvex.__plugin_manager__ = previous
        taken.restore()


def _fixture() -> Any:
    """The ``sorvex_plugins`` fixture, when pytest is there."""
    try:
        import pytest
    except ImportError:
        return None

    @pytest.fixture
    def sorvex_plugins() -> Iterator[Callable[..., Any]]:
        """``sorvex_plugins(*entry_points, modules=(), builtin=False)``: an isolated manager as the shared one.

        Takes the arguments of :func:`sorvex.testing.isolated_plugins` and
        returns its manager; everything is restored after the test.
        """
        with ExitStack() as stack:
            yield lambda *entry_points, **options: stack.enter_context(isolated_plugins(*entry_points, **options))

    return sorvex_plugins


sorvex_plugins = _fixture()
