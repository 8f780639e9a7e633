"""Every operation, run thousands of times, must hold on to nothing.

The reference counts of the classes, keys and values an operation touches
must come back to where they were, and traced memory must not grow.
"""
import gc
import sys
import tracemalloc
import types

import pytest
from support import A, Tagged, Unhashable, fresh, native

from sorvex.core.errors import ConnectionInfraError


OS, SERIES, MODEL, ZETA = fresh("talvo"), fresh("t3z"), fresh("m1"), fresh("zeta")
CHASSIS, PATH, UPPER, NAME = fresh("dual_rp"), fresh("/p/a.py"), fresh("T3Z"), fresh("sorvex.plugins.x")
TAG, UNHASHABLE = Tagged("t3z"), Unhashable("dual_rp")
TRACKED = [A, OS, SERIES, MODEL, ZETA, CHASSIS, PATH, UPPER, NAME, TAG, UNHASHABLE, ConnectionInfraError]
ENTRY = types.SimpleNamespace(name=ZETA, module_name=NAME, load=lambda: A)
WALK = [(None, NAME, False), (None, NAME + ".tests", True)]


class Rendering(native.PluginManager):
    def print_tree(self, data, output="plugin"):
        return super().print_tree(data, output)


RENDERER = Rendering()


def built(m):
    m.register_plugin(A, os=OS)
    m.register_plugin(A, os=OS, series=SERIES, model=MODEL, chassis_type=CHASSIS)
    m.register_plugin(A, os="linux", series=SERIES, chassis_type=CHASSIS)
    return m


OPERATIONS = {
    "register-and-unregister": lambda m: (m.register_plugin(A, ZETA, SERIES, MODEL, CHASSIS),
                                          m.unregister_plugin(ZETA, SERIES, MODEL, CHASSIS)),
    "replace": lambda m: m.register_plugin(A, os=OS, series=SERIES, model=MODEL, chassis_type=CHASSIS),
    "replace-str-subclass": lambda m: m.register_plugin(A, os=OS, series=TAG),
    "lookup-hit-model": lambda m: m.get_plugin(OS, SERIES, MODEL, CHASSIS),
    "lookup-hit-fallback": lambda m: m.get_plugin(os=OS, series=ZETA),
    "lookup-miss": lambda m: m.get_plugin(os=OS, series=SERIES, model=ZETA),
    "lookup-miss-str-subclass": lambda m: m.get_plugin(os=ZETA, series=TAG, chassis_type=TAG),
    "unregister-miss-key": lambda m: m.unregister_plugin(os=OS, series=ZETA),
    "unregister-miss-data": lambda m: m.unregister_plugin(os=OS, series=SERIES),
    "unregister-miss-chassis": lambda m: m.unregister_plugin(os=OS, chassis_type=(CHASSIS,)),
    "unregister-whole-map": lambda m: (m.register_plugin(A, os=ZETA), m.unregister_plugin(os=ZETA)),
    "os-missing": lambda m: m.get_plugin(os=""),
    "os-not-str": lambda m: m.get_plugin(os=(OS,)),
    "os-logged": lambda m: m.validate_os(ZETA),
    "chassis": lambda m: m.get_plugin(os=OS, chassis_type=ZETA),
    "series-without-os": lambda m: m.validate_series(None, SERIES),
    "series-type": lambda m: m.validate_series(OS, 5),
    "series-case": lambda m: m.validate_series(OS, UPPER),
    "series-data": lambda m: m.validate_series(OS, "data"),
    "model-without-series": lambda m: m.validate_model(OS, None, MODEL),
    "model-type": lambda m: m.validate_model(OS, SERIES, 5),
    "model-case": lambda m: m.validate_model(OS, SERIES, UPPER),
    "model-data": lambda m: m.validate_model(OS, SERIES, "data"),
    "getfile-fails": lambda m: m.register_plugin(int, os=ZETA, series=SERIES, model=MODEL),
    "unhashable-key-undone": lambda m: m.register_plugin(A, os="linux", series=ZETA, chassis_type=UNHASHABLE),
    "refused-chassis": lambda m: m.register_plugin(A, os="linux", series=ZETA, chassis_type=[CHASSIS]),
    "refused-model": lambda m: m.register_plugin(A, os=OS, model=""),
    "print-tree": lambda m: m.print_tree(m.plugins, PATH),
    "print-tree-odd": lambda m: m.print_tree({OS: A, ZETA: {SERIES: "a\nb", MODEL: None}, TAG: {}}, TAG),
    "print-tree-error": lambda m: m.print_tree({OS: {1: A}}),
    "print-tree-override": lambda m: RENDERER.print_tree({OS: {SERIES: A, MODEL: None}, ZETA: PATH}),
    "repr": repr,
    "plugins-property": lambda m: (m.plugins, setattr(m, "plugins", OS)),
    "new-manager": lambda m: built(native.PluginManager()),
    "discover-builtin": lambda m: native.PluginManager.discover_builtin_plugins(),
    "discover-external": lambda m: m.discover_external_plugins(),
    "binding-too-many": lambda m: m.get_plugin(OS, SERIES, MODEL, CHASSIS, ZETA),
    "binding-unknown-keyword": lambda m: m.register_plugin(A, os=OS, zeta=ZETA),
    "binding-twice": lambda m: m.unregister_plugin(OS, os=OS),
    "binding-missing": lambda m: m.print_tree(output=OS),
    "binding-static": lambda m: m.discover_builtin_plugins(ZETA),
}


@pytest.fixture
def fakes(monkeypatch):
    monkeypatch.setattr(native, "getfile", lambda cls: PATH if cls is A else int.__name__ + 5)
    monkeypatch.setattr(native, "pkgutil", types.SimpleNamespace(walk_packages=lambda path, prefix: iter(WALK)))
    monkeypatch.setattr(native, "importlib", types.SimpleNamespace(import_module=lambda name: None))
    monkeypatch.setattr(native, "iter_entry_points", lambda group: iter([ENTRY, ENTRY]))


def repeat(operation, m, times):
    for _ in range(times):
        try:
            operation(m)
        except Exception:
            pass


@pytest.mark.parametrize("name", list(OPERATIONS))
def test_operation_leaks_nothing(name, fakes):
    operation, m = OPERATIONS[name], built(native.PluginManager())
    tracked = TRACKED + [m, m.plugins, m.supported_os, m.chassis_type_list, type(m)]
    repeat(operation, m, 100)
    gc.collect()
    tracemalloc.start()
    try:
        counts = [sys.getrefcount(x) for x in tracked]
        for _ in range(2):  # a second round when the first only filled the interpreter's caches
            memory = tracemalloc.get_traced_memory()[0]
            repeat(operation, m, 2000)
            gc.collect()
            grown = tracemalloc.get_traced_memory()[0] - memory
            if grown < 16 * 1024:
                break
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(x) for x in tracked] == counts
    assert grown < 16 * 1024, "%d bytes more after 2000 calls" % grown
