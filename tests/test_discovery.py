"""Built-in and external plugin discovery."""
import logging
import sys
import types

import pytest
from support import EXAMPLE_DIST, example_installed, records

import sorvex
import sorvex.plugins


@pytest.fixture
def events():
    return []


@pytest.fixture
def walk(impl, monkeypatch, events):
    """Replaces pkgutil and importlib in the module; returns the list of items the walk yields."""
    items = []

    def walk_packages(*args, **kwargs):
        events.append(("walk", args, kwargs))
        for item in items:
            events.append(("yield", item[1] if len(item) > 1 else item))
            yield item

    def import_module(*args, **kwargs):
        events.append(("import",) + args + tuple(kwargs.items()))

    monkeypatch.setattr(impl, "pkgutil", types.SimpleNamespace(walk_packages=walk_packages))
    monkeypatch.setattr(impl, "importlib", types.SimpleNamespace(import_module=import_module))
    return items


def imported(events):
    return [event[1] for event in events if event[0] == "import"]


class Name(str):
    """A module name that records the tests made on it."""

    calls = None

    def __contains__(self, part):
        self.calls.append(("in", part))
        return super().__contains__(part)

    def endswith(self, suffix, *args):
        self.calls.append(("endswith", suffix))
        return super().endswith(suffix, *args)


ALL_THREE = [("in", ".plugins."), ("in", ".tests."), ("endswith", "tests")]


@pytest.mark.parametrize(
    "name, tests, is_imported",
    [
        ("sorvex.plugins.alpha", ALL_THREE, True),
        ("sorvex.plugins.alpha.tests_data", ALL_THREE, True),
        ("sorvex.plugins.alpha.Tests", ALL_THREE, True),
        ("sorvex.plugins.alpha.tests", ALL_THREE, False),
        ("sorvex.plugins.alpha.unittests", ALL_THREE, False),
        ("sorvex.plugins.alpha.tests.test_connect", ALL_THREE[:2], False),
        ("sorvex.pluginsx.alpha", ALL_THREE[:1], False),
        ("plugins.alpha", ALL_THREE[:1], False),
    ],
)
def test_name_tests_run_in_order_and_stop_at_first_failure(impl, walk, events, name, tests, is_imported):
    module_name = Name(name)
    module_name.calls = []
    walk.append((None, module_name, False))
    impl.PluginManager.discover_builtin_plugins()
    assert module_name.calls == tests
    assert imported(events) == ([name] if is_imported else [])
    assert all(name is module_name for name in imported(events))


def test_walk_gets_package_path_and_prefix_and_is_followed_in_order(impl, walk, events):
    names = ["sorvex.plugins.zeta", "sorvex.plugins.tests", "sorvex.plugins.alpha.beta", "sorvex.plugins.alpha"]
    walk.extend((object(), name, index % 2 == 0) for index, name in enumerate(names))
    assert impl.PluginManager().discover_builtin_plugins() is None
    assert events[0][0] == "walk" and events[0][2] == {}
    assert events[0][1][0] is sorvex.plugins.__path__ and events[0][1][1] == "sorvex.plugins."
    # Each name is imported as soon as the walk yields it, before the walk goes on.
    assert [event[:2] for event in events[1:]] == [
        ("yield", names[0]), ("import", names[0]),
        ("yield", names[1]),
        ("yield", names[2]), ("import", names[2]),
        ("yield", names[3]), ("import", names[3]),
    ]  # fmt: skip


def stand_in_plugins(monkeypatch, **attributes):
    module = types.ModuleType("sorvex.plugins")
    module.__dict__.update(attributes)
    monkeypatch.setitem(sys.modules, "sorvex.plugins", module)


def test_package_without_path_falls_back_to_directory_of_its_file(impl, walk, events, monkeypatch):
    stand_in_plugins(monkeypatch, __file__="/opt/lab/plugins/__init__.py", __name__="lab.plugins")

    def dirname(*args):
        events.append(("dirname",) + args)
        return "/opt/lab/plugins"

    monkeypatch.setattr(impl, "os", types.SimpleNamespace(path=types.SimpleNamespace(dirname=dirname)))
    impl.PluginManager.discover_builtin_plugins()
    assert events == [
        ("dirname", "/opt/lab/plugins/__init__.py"),
        ("walk", (["/opt/lab/plugins"], "lab.plugins."), {}),
    ]


def own_from_import_error(name):
    """The ImportError of the interpreter's own `from sorvex.plugins import <name>`."""
    try:
        exec("from sorvex.plugins import " + name, {})
    except ImportError as error:
        return error
    raise AssertionError("sorvex.plugins has " + name)


def test_fallback_failure_propagates_with_first_error_as_context(impl, walk, events, monkeypatch):
    stand_in_plugins(monkeypatch)  # neither __path__ nor __file__
    with pytest.raises(ImportError) as raised:
        impl.PluginManager.discover_builtin_plugins()
    first = raised.value.__context__
    assert isinstance(first, ImportError)
    # word for word what the interpreter says, " (unknown location)" included
    for error, name in [(raised.value, "__file__"), (first, "__path__")]:
        own = own_from_import_error(name)
        assert (type(error), error.args, error.name, error.path) == (type(own), own.args, own.name, own.path)
    assert events == []


@pytest.mark.parametrize("error", [ImportError("no such device driver"), RuntimeError("boom")])
def test_failing_plugin_import_stops_the_walk(impl, walk, events, monkeypatch, error):
    walk.extend([(None, "sorvex.plugins.a", True), (None, "sorvex.plugins.b", False), (None, "sorvex.plugins.c", 0)])

    def import_module(name):
        events.append(("import", name))
        if name.endswith(".b"):
            raise error

    monkeypatch.setattr(impl, "importlib", types.SimpleNamespace(import_module=import_module))
    with pytest.raises(type(error)) as raised:
        impl.PluginManager.discover_builtin_plugins()
    assert raised.value is error
    assert [event[1] for event in events[1:]] == ["sorvex.plugins.a"] * 2 + ["sorvex.plugins.b"] * 2


@pytest.mark.parametrize("bad_item", [(None, "sorvex.plugins.b"), (None, "sorvex.plugins.b", False, 0)])
def test_item_not_of_three_values_raises_value_error(impl, walk, events, bad_item):
    walk.extend([(None, "sorvex.plugins.a", False), bad_item, (None, "sorvex.plugins.c", False)])
    with pytest.raises(ValueError):
        impl.PluginManager.discover_builtin_plugins()
    assert imported(events) == ["sorvex.plugins.a"]


class EntryPoint:
    def __init__(self, events, name, module_name, error=None):
        self.events, self.name, self.module_name, self.error = events, name, module_name, error

    def load(self, *args, **kwargs):
        self.events.append(("load", self.name, args, kwargs))
        if self.error is not None:
            raise self.error
        return object()


@pytest.fixture
def entry_points(impl, monkeypatch, events):
    """Replaces iter_entry_points, ENTRYPOINT_GROUP and log; returns the list of entry points."""
    found = []

    def iter_entry_points(*args, **kwargs):
        events.append(("query", args, kwargs))
        return iter(found)

    monkeypatch.setattr(impl, "iter_entry_points", iter_entry_points)
    monkeypatch.setattr(impl, "ENTRYPOINT_GROUP", "lab.connections")
    monkeypatch.setattr(impl, "log", types.SimpleNamespace(debug=lambda *args: events.append(("debug",) + args)))
    return found


def test_external_plugins_are_logged_then_loaded_in_order(impl, entry_points, events):
    entry_points.extend([EntryPoint(events, "lab", "labtools.devices"), EntryPoint(events, 7, 3.5)])
    assert impl.PluginManager.discover_external_plugins() is None
    assert events == [
        ("query", (), {"group": "lab.connections"}),
        ("debug", "Loading external plugin lab from labtools.devices"),
        ("load", "lab", (), {}),
        ("debug", "Loading external plugin 7 from 3.5"),
        ("load", 7, (), {}),
    ]


def test_failing_external_plugin_stops_the_rest(impl, entry_points, events):
    error = ImportError("No module named 'broken'")
    entry_points.extend(
        [EntryPoint(events, "a", "mod_a"), EntryPoint(events, "b", "broken", error), EntryPoint(events, "c", "mod_c")]
    )
    with pytest.raises(ImportError) as raised:
        impl.PluginManager.discover_external_plugins()
    assert raised.value is error
    assert [event[:2] for event in events[1:]] == [
        ("debug", "Loading external plugin a from mod_a"), ("load", "a"),
        ("debug", "Loading external plugin b from broken"), ("load", "b"),
    ]  # fmt: skip


# End to end: the real package, the shipped plugins and the installed example.


@pytest.fixture
def fresh_registry(monkeypatch):
    """A new shared manager, with the plugin modules unloaded for the test and restored after it."""

    def plugin_modules():
        return {k: v for k, v in sys.modules.items() if k.startswith("sorvex.plugins.") or k == "sorvex_mirel"}

    saved = plugin_modules()
    for name in saved:
        del sys.modules[name]
    manager = sorvex.PluginManager()
    monkeypatch.setattr(sorvex, "__plugin_manager__", manager)
    yield manager
    for name in plugin_modules():
        del sys.modules[name]
    sys.modules.update(saved)
    for name, module in saved.items():  # packages point at their submodules again
        parent, _, child = name.rpartition(".")
        if parent in sys.modules:
            setattr(sys.modules[parent], child, module)


def registered(tree):
    """{(keys..., chassis type): (module, qualname)} for every record of a tree."""
    found = {}
    for path, chassis, record in records(tree):
        assert record["path"] == sys.modules[record["cls"].__module__].__file__
        found[path + (chassis,)] = (record["cls"].__module__, record["cls"].__qualname__)
    return found


TALVO, T5, LINUX = "sorvex.plugins.talvo.connection", "sorvex.plugins.talvo.t5", "sorvex.plugins.linux.connection"


def test_builtin_discovery_registers_shipped_plugins_and_skips_tests(impl, fresh_registry):
    assert impl.PluginManager.discover_builtin_plugins() is None
    assert registered(fresh_registry.plugins) == {
        ("talvo", "single_rp"): (TALVO, "TalvoConnection"),
        ("talvo", "dual_rp"): (TALVO, "TalvoDualRpConnection"),
        ("talvo", "stack"): (TALVO, "TalvoStackConnection"),
        ("talvo", "t5", "single_rp"): (T5, "T5Connection"),
        ("talvo", "t5", "dual_rp"): (T5, "T5DualRpConnection"),
        ("linux", "single_rp"): (LINUX, "LinuxConnection"),
        ("linux", "dual_rp"): (LINUX, "LinuxHaPairConnection"),
        ("linux", "busybox", "single_rp"): (LINUX, "BusyBoxConnection"),
    }
    # A second run imports nothing anew, so no record is replaced.
    record = fresh_registry.plugins["talvo"]["data"]["single_rp"]
    impl.PluginManager.discover_builtin_plugins()
    assert fresh_registry.plugins["talvo"]["data"]["single_rp"] is record


REFUSE_IMPORT = 'raise ImportError("test code must not be imported by plugin discovery")\n'


def test_builtin_discovery_skips_test_packages_and_modules(impl, fresh_registry, monkeypatch, tmp_path):
    # Plugin packages beside the shipped ones, with test code that raises when
    # imported: a discovery that tried to import it would fail.
    files = {
        "probe/__init__.py": "",
        "probe/tests_data.py": "",
        "probe/unittests.py": REFUSE_IMPORT,
        "probe/tests/__init__.py": REFUSE_IMPORT,
        "probe/tests/test_probe.py": REFUSE_IMPORT,
        "tests/__init__.py": REFUSE_IMPORT,
    }
    for name, text in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)
    monkeypatch.setattr(sorvex.plugins, "__path__", list(sorvex.plugins.__path__) + [str(tmp_path)])
    assert impl.PluginManager.discover_builtin_plugins() is None
    probes = sorted(name for name in sys.modules if name.startswith(("sorvex.plugins.probe", "sorvex.plugins.tests")))
    assert probes == ["sorvex.plugins.probe", "sorvex.plugins.probe.tests_data"]
    assert ("talvo", "single_rp") in registered(fresh_registry.plugins)


@pytest.mark.skipif(not example_installed(), reason=f"{EXAMPLE_DIST} (examples/external-plugin) is not installed")
def test_installed_example_is_loaded_by_external_discovery(impl, fresh_registry, caplog):
    caplog.set_level(logging.DEBUG, logger="sorvex")
    impl.PluginManager.discover_external_plugins()
    assert "Loading external plugin mirel from sorvex_mirel" in caplog.messages
    assert "mirel is not part of the built-in list of supported OSes." in caplog.messages
    assert registered(fresh_registry.plugins) == {
        ("mirel", "single_rp"): ("sorvex_mirel", "MirelConnection"),
        ("mirel", "stack"): ("sorvex_mirel", "MirelStackConnection"),
    }
