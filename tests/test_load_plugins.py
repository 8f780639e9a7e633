"""sorvex.load_plugins: one plugin at a time, with a report; and sorvex.testing."""
import logging
import os
import pathlib
import sys

import pytest
from support import example_installed, make_dist, run_python

import sorvex
from sorvex.core import pluginmanager as native
from sorvex.testing import _Modules, isolated_plugins

REGISTERS = """
from sorvex import __plugin_manager__

class {cls}:
    pass

__plugin_manager__.register_plugin(cls={cls}, os="labos"{extra})
"""


def registering(cls, **description):
    extra = "".join(", %s=%r" % item for item in description.items())
    return REGISTERS.format(cls=cls, extra=extra)


@pytest.fixture
def site(tmp_path, monkeypatch):
    """A directory on sys.path for distributions; the shared manager and its modules restored after."""
    monkeypatch.syspath_prepend(str(tmp_path))
    real = native.iter_entry_points

    def here_only(group):  # installed plugins (the example) stay out
        return [ep for ep in real(group=group) if ep.dist.location.startswith(str(tmp_path))]

    monkeypatch.setattr(native, "iter_entry_points", here_only)
    monkeypatch.setattr(sorvex, "__plugin_manager__", sorvex.PluginManager())
    monkeypatch.delenv("SORVEX_DISABLE_PLUGINS", raising=False)
    before = set(sys.modules)
    yield tmp_path
    for name in set(sys.modules) - before:
        if name.startswith("lab_"):
            del sys.modules[name]


def lab_plugins(site):
    """Four distributions: two register the same record, one fails, one is fine."""
    make_dist(site, "lab-alpha", "1.0", {"alpha": "lab_alpha"}, {"lab_alpha": registering("Alpha")})
    make_dist(site, "lab-broken", "0.1", {"broken": "lab_missing"})
    make_dist(site, "lab-omega", "2.0", {"omega": "lab_omega"}, {"lab_omega": registering("Omega")})
    make_dist(site, "lab-stack", "3.0", {"stack": "lab_stack"},
              {"lab_stack": registering("Stack", chassis_type="stack")})  # fmt: skip


def describe(provider):
    return None if provider is None else (provider.distribution, provider.version, provider.entry_point)


def test_goes_on_past_a_failure_and_tells_who_provided_what(site, caplog):
    lab_plugins(site)
    caplog.set_level(logging.DEBUG, logger="sorvex")
    report = sorvex.load_plugins(builtin=False)
    assert [describe(provider) for provider in report.loaded] == [
        ("lab-alpha", "1.0", "alpha"), ("lab-omega", "2.0", "omega"), ("lab-stack", "3.0", "stack"),
    ]  # fmt: skip
    (failure,) = report.failures
    assert (failure.entry_point, failure.distribution, failure.version, failure.module) == (
        "broken", "lab-broken", "0.1", "lab_missing"
    )
    assert isinstance(failure.error, ModuleNotFoundError)
    assert str(failure) == (
        "external plugin 'broken' from distribution 'lab-broken' 0.1 (module lab_missing) failed to load: "
        "ModuleNotFoundError: No module named 'lab_missing'"
    )
    # the later plugin wins the record, and the report says whose it replaced
    assert sorvex.__plugin_manager__.get_plugin(os="labos").__name__ == "Omega"
    assert describe(report.provider("labos")) == ("lab-omega", "2.0", "omega")
    assert describe(report.provider("labos", chassis_type="stack")) == ("lab-stack", "3.0", "stack")
    (conflict,) = report.conflicts
    assert (conflict.key, describe(conflict.replaced), describe(conflict.by)) == (
        ("labos", None, None, "single_rp"), ("lab-alpha", "1.0", "alpha"), ("lab-omega", "2.0", "omega")
    )
    assert (conflict.replaced_class.__name__, conflict.cls.__name__) == ("Alpha", "Omega")
    # the manager's own debug record before each load, the failing one included
    assert [m for m in caplog.messages if m.startswith("Loading")] == [
        "Loading external plugin %s from lab_%s" % (name, module)
        for name, module in [("alpha", "alpha"), ("broken", "missing"), ("omega", "omega"), ("stack", "stack")]
    ]


@pytest.mark.parametrize(
    "skip, variable, disabled",
    [
        (["omega"], None, ["omega"]),
        ((), " omega , broken,,", ["broken", "omega"]),
        (["alpha"], "broken", ["alpha", "broken"]),
        (["nosuch"], None, []),
    ],
)
def test_skip_list_and_environment_variable(site, monkeypatch, skip, variable, disabled):
    lab_plugins(site)
    if variable is not None:
        monkeypatch.setenv("SORVEX_DISABLE_PLUGINS", variable)
    report = sorvex.load_plugins(skip=skip, builtin=False)
    assert sorted(provider.entry_point for provider in report.disabled) == disabled
    assert report.skip == frozenset(skip) | frozenset(name.strip() for name in (variable or "").split(",") if name.strip())
    loaded = {provider.entry_point for provider in report.loaded} | {f.entry_point for f in report.failures}
    assert loaded == {"alpha", "broken", "omega", "stack"} - set(disabled)


def test_strict_raises_at_the_first_failure_with_the_report_so_far(site):
    lab_plugins(site)
    with pytest.raises(sorvex.PluginLoadError) as raised:
        sorvex.load_plugins(strict=True, builtin=False)
    assert isinstance(raised.value.__cause__, ModuleNotFoundError)
    assert str(raised.value) == str(raised.value.failure)
    assert [describe(p) for p in raised.value.report.loaded] == [("lab-alpha", "1.0", "alpha")]
    assert "lab_omega" not in sys.modules  # nothing after the failure was loaded


def test_reading_the_entry_points_fails(site, monkeypatch):
    def iter_entry_points(group):
        raise OSError("metadata unreadable")

    monkeypatch.setattr(native, "iter_entry_points", iter_entry_points)
    report = sorvex.load_plugins(builtin=False)
    (failure,) = report.failures
    assert str(failure) == "external plugin discovery failed: OSError: metadata unreadable"
    with pytest.raises(sorvex.PluginLoadError):
        sorvex.load_plugins(builtin=False, strict=True)


def test_builtin_plugins_are_credited_to_sorvex_also_when_imported_before(site):
    modules = _Modules()
    modules.take_out("sorvex.plugins")  # imported anew, so that they register in this test's manager
    try:
        for attempt in range(2):  # the second time, every module is imported and every record there already
            report = sorvex.load_plugins(builtin=True)
            provider = report.provider("talvo", "t5", chassis_type="dual_rp")
            assert describe(provider) == ("sorvex", sorvex.__version__, None)
    finally:
        modules.restore()


def test_a_failing_builtin_module_is_named_and_the_rest_goes_on(site, monkeypatch):
    (site / "zz_lab.py").write_text("import lab_nowhere\n")
    monkeypatch.setattr(sorvex.plugins, "__path__", list(sorvex.plugins.__path__) + [str(site)])
    make_dist(site, "lab-alpha", "1.0", {"alpha": "lab_alpha"}, {"lab_alpha": registering("Alpha")})
    report = sorvex.load_plugins()
    (failure,) = report.failures
    assert str(failure) == (
        "built-in plugin module 'sorvex.plugins.zz_lab' failed to load: ModuleNotFoundError: No module named 'lab_nowhere'"
    )
    assert [describe(p) for p in report.loaded] == [("lab-alpha", "1.0", "alpha")]


# sorvex.testing


def test_isolated_plugins_loads_only_what_is_named_even_if_imported_and_restores(site):
    lab_plugins(site)
    sorvex.load_plugins(builtin=False)
    shared = sorvex.__plugin_manager__
    alpha_module = sys.modules["lab_alpha"]
    with isolated_plugins("alpha", modules=["lab_stack"]) as manager:
        assert sorvex.__plugin_manager__ is manager is not shared
        assert manager.get_plugin(os="labos").__name__ == "Alpha"  # imported anew, into this manager
        assert manager.get_plugin(os="labos", chassis_type="stack").__name__ == "Stack"
        assert sys.modules["lab_alpha"] is not alpha_module
    assert sorvex.__plugin_manager__ is shared
    assert sys.modules["lab_alpha"] is alpha_module
    assert shared.get_plugin(os="labos").__name__ == "Omega"


def test_isolated_plugins_with_builtin_and_failures(site):
    lab_plugins(site)
    shared = sorvex.__plugin_manager__
    with isolated_plugins(builtin=True) as manager:
        assert sorted(manager.plugins) == ["linux", "talvo"]
    with pytest.raises(LookupError, match="'nosuch'"):
        with isolated_plugins("alpha", "nosuch"):
            pass
    with pytest.raises(ModuleNotFoundError):
        with isolated_plugins("broken"):
            pass
    assert sorvex.__plugin_manager__ is shared and "lab_alpha" not in sys.modules


def test_the_fixture_restores_after_the_test(sorvex_plugins, site):
    make_dist(site, "lab-alpha", "1.0", {"alpha": "lab_alpha"}, {"lab_alpha": registering("Alpha")})
    shared = sorvex.__plugin_manager__
    manager = sorvex_plugins("alpha")
    assert sorvex.__plugin_manager__ is manager is not shared
    assert sorted(manager.plugins) == ["labos"]


EXAMPLE_TESTS = pathlib.Path(__file__).resolve().parent.parent / "examples" / "external-plugin" / "tests"


@pytest.mark.skipif(not example_installed(), reason="the example plugin (examples/external-plugin) is not installed")
def test_example_plugin_tests_pass_with_the_installed_fixture():
    # pytest finds the fixture through sorvex's pytest11 entry point: the
    # example has no conftest of its own.
    result = run_python("-m", "pytest", "-q", "-p", "no:cacheprovider", str(EXAMPLE_TESTS), timeout=300,
                        cwd=str(EXAMPLE_TESTS.parent), env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))
    assert result.returncode == 0, result.stdout + result.stderr
    assert "2 passed" in result.stdout
