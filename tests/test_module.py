"""The native module's surface: namespace, class shape, signatures, binding
errors, manager state, late binding of module names, import and main run."""
import inspect
import types
import weakref

import pytest
from support import IMPLEMENTATIONS, native, outcome, run_python

import sorvex.plugins
from sorvex.core.errors import ConnectionInfraError

PM = native.PluginManager

MODULE_DOC = (
    "\nModule:\n    sorvex.core.pluginmanager\n\nDescription:\n    This module provides\n"
    "    1. Methods for identifying and loading plugin implementations\n"
    "    2. Methods for validating and accessing platform implementation\n"
)

# name -> (signature through the class, docstring)
MEMBERS = {
    "__init__": ("(self)", "\n            Initialize\n        "),
    "plugins": (None, " Plugin list getter\n        "),
    "validate_model": ("(self, os, series, model)", "\n         Validates Model\n        "),
    "validate_series": ("(self, os, series)", "\n         Validates series\n        "),
    "validate_os": ("(self, os)", "\n         Validates OS\n        "),
    "validate_chassis_type": ("(self, chassis_type)", "\n         Validate chassis\n        "),
    "validate_arguments": ("(self, os, series, model, chassis_type)", " Validates the input arguments provided\n        "),
    "get_plugin": (
        "(self, os=None, series=None, model=None, chassis_type='single_rp')",
        "\n            This method returns the connection class based on the\n            input details provided\n        ",
    ),
    "unregister_plugin": (
        "(self, os=None, series=None, model=None, chassis_type=None)",
        "\n            This method unregister a particular implementations from\n            the internal database\n        ",
    ),
    "register_plugin": (
        "(self, cls, os=None, series=None, model=None, chassis_type='single_rp')",
        "\n            This method registers all the implementation plugin(i.e connection class)\n"
        "            to the sorvex plugin manager\n\n"
        "            It takes OS, SERIES, MODEL information and based on that\n            registers it\n\n"
        "            cls refer to the connection class\n"
        "            chassis_type indicates if the connection class is for single_rp or\n"
        "            dual_rp or stack(default single_rp)\n\n        ",
    ),
    "discover_builtin_plugins": ("()", "loads all plugins"),
    "discover_external_plugins": ("()", "\n        discover external plugins defined that users pip installed.\n        "),
    "print_tree": ("(self, data, output='plugin')", None),
    "__repr__": ("(self)", None),
}
CLASS_ATTRS = {"__module__", "__doc__", "__dict__", "__weakref__", "__qualname__"}


def test_module_namespace():
    names = [n for n in vars(native) if not (n.startswith("__") and n.endswith("__"))]
    assert names == ["os", "pkgutil", "importlib", "log", "supported_chassis", "supported_os", "getfile",
                     "ConnectionInfraError", "iter_entry_points", "ENTRYPOINT_GROUP", "PluginManager"]
    assert native.__doc__ == MODULE_DOC
    assert native.__name__ == "sorvex.core.pluginmanager"
    assert native.ENTRYPOINT_GROUP == "sorvex.plugins"
    assert native.supported_os is sorvex.plugins.supported_os
    assert native.supported_chassis is sorvex.plugins.supported_chassis
    assert native.getfile is inspect.getfile and native.ConnectionInfraError is ConnectionInfraError
    assert native.log is sorvex.log
    assert "Sample" not in vars(native) and "__plugin_manager__" not in vars(native)
    assert not any(isinstance(v, PM) for v in vars(native).values())


def test_class_shape():
    assert type(PM) is type and PM.__bases__ == (object,)
    assert PM.__module__ == "sorvex.core.pluginmanager" and PM.__qualname__ == "PluginManager"
    assert PM.__name__ == "PluginManager"
    assert PM.__doc__ == "\n        Loads all plugin implementation,\n        provides API's for accessing plugins\n    "
    assert [n for n in vars(PM) if n not in CLASS_ATTRS] == list(MEMBERS)
    prop = vars(PM)["plugins"]
    assert type(prop) is property and prop.fget is not None and prop.fset is not None and prop.fdel is None
    for name in ("discover_builtin_plugins", "discover_external_plugins"):
        assert type(vars(PM)[name]) is staticmethod
    m = PM()
    assert type(vars(m)) is dict and list(vars(m)) == ["_plugins", "chassis_type_list", "supported_os"]
    assert weakref.ref(m)() is m


@pytest.mark.parametrize("name", MEMBERS)
def test_member_docstring_and_signature(name):
    sig, doc = MEMBERS[name]
    if name == "plugins":
        prop = vars(PM)["plugins"]
        assert prop.__doc__ == prop.fget.__doc__ == prop.fset.__doc__ == doc
        assert [str(inspect.signature(f)) for f in (prop.fget, prop.fset)] == ["(self)", "(self, value)"]
        return
    if name == "print_tree":
        assert PM.print_tree.__doc__.lstrip().splitlines()[0] == "This Method print the plugin list in tree structure"
    else:
        assert getattr(PM, name).__doc__ == doc
    assert str(inspect.signature(getattr(PM, name))) == sig
    bound = sig if sig == "()" else "(" + sig[1:].replace("self", "", 1).lstrip(", ")
    assert str(inspect.signature(getattr(PM(), name))) == bound


# method -> (valid positional arguments, number of required ones, first parameter)
VALID = {
    "validate_model": (("talvo", "t3z", "m1"), 3, "os"),
    "validate_series": (("talvo", "t3z"), 2, "os"),
    "validate_os": (("talvo",), 1, "os"),
    "validate_chassis_type": (("single_rp",), 1, "chassis_type"),
    "validate_arguments": (("talvo", None, None, "single_rp"), 4, "os"),
    "get_plugin": (("talvo", None, None, "single_rp"), 0, "os"),
    "unregister_plugin": (("talvo", None, None, None), 0, "os"),
    "register_plugin": ((int, "talvo", None, None, "single_rp"), 1, "cls"),
    "print_tree": (({}, "plugin"), 1, "data"),
    "__repr__": ((), 0, None),
}
# name -> call(class, instance) that binds its arguments wrongly
BAD_CALLS = {
    "init positional": lambda cls, m: cls(1),
    "init keyword": lambda cls, m: cls(plugins={}),
    "getter extra": lambda cls, m: cls.plugins.fget(m, 1),
    "setter missing": lambda cls, m: cls.plugins.fset(m),
    "builtin positional": lambda cls, m: cls.discover_builtin_plugins(1),
    "builtin keyword": lambda cls, m: m.discover_builtin_plugins(path="x"),
    "builtin near keyword": lambda cls, m: cls.discover_builtin_plugins(os="x"),
    "external positional": lambda cls, m: m.discover_external_plugins(None),
    "external keyword": lambda cls, m: cls.discover_external_plugins(group="x"),
}
for _name, (_args, _required, _first) in VALID.items():
    BAD_CALLS[_name + " no self"] = lambda cls, m, n=_name: getattr(cls, n)()
    BAD_CALLS[_name + " extra"] = lambda cls, m, n=_name, a=_args: getattr(cls, n)(m, *a, 0)
    BAD_CALLS[_name + " extra, bound"] = lambda cls, m, n=_name, a=_args: getattr(m, n)(*a, 0)
    BAD_CALLS[_name + " keyword"] = lambda cls, m, n=_name, a=_args: getattr(cls, n)(m, *a, bogus=1)
    # close to a parameter name: from 3.13 the interpreter suggests the name
    BAD_CALLS[_name + " near keyword, bound"] = lambda cls, m, n=_name, a=_args: getattr(m, n)(*a, serie=1)
    BAD_CALLS[_name + " near keyword"] = lambda cls, m, n=_name, a=_args: getattr(cls, n)(m, *a, chassis=1)
    if _required:
        BAD_CALLS[_name + " missing"] = lambda cls, m, n=_name, a=_args[:_required - 1]: getattr(cls, n)(m, *a)
        BAD_CALLS[_name + " missing, bound"] = lambda cls, m, n=_name, a=_args[:_required - 1]: getattr(m, n)(*a)
        BAD_CALLS[_name + " missing, keywords"] = lambda cls, m, n=_name: getattr(m, n)(output="x")
    if _first:
        BAD_CALLS[_name + " duplicate"] = lambda cls, m, n=_name, a=_args, k=_first: getattr(cls, n)(m, *a, **{k: a[0]})
        BAD_CALLS[_name + " duplicate, bound"] = lambda cls, m, n=_name, a=_args, k=_first: getattr(m, n)(*a, **{k: 1})


@pytest.mark.parametrize("name", BAD_CALLS)
def test_argument_binding_errors_match_the_interpreter(name, monkeypatch):
    """The same TypeError, word for word, as the interpreter gives for the oracle's functions."""
    seen = []
    for mod in IMPLEMENTATIONS.values():
        used = []
        monkeypatch.setattr(mod, "iter_entry_points", lambda **kw: used.append(kw) or [])
        monkeypatch.setattr(mod, "pkgutil", None)
        m = mod.PluginManager()
        if not name.startswith("validate_arguments"):  # whose own bound calls would meet the spy
            m.validate_arguments = lambda *a: used.append(a)
        seen.append(outcome(lambda: BAD_CALLS[name](mod.PluginManager, m)))
        assert used == [] and m.plugins == {}
    assert seen[0] == seen[1]
    assert seen[0][:2] == ("raise", TypeError)


def test_plugins_property():
    m, other = PM(), PM()
    assert m.plugins is m._plugins and m.plugins == {}
    tree = m.plugins
    for value in ({}, tree, None):
        with pytest.raises(Exception) as info:
            m.plugins = value
        assert type(info.value) is Exception
        assert info.value.args == (" Protected Member, cannot modify Plugins",)
        assert m._plugins is tree and tree == {}
    with pytest.raises(AttributeError):
        del m.plugins
    assert m._plugins is tree
    assert other._plugins is not tree
    for mgr in (m, other):
        assert mgr.chassis_type_list is sorvex.plugins.supported_chassis
        assert mgr.supported_os is sorvex.plugins.supported_os


def test_late_binding_of_module_names(monkeypatch):
    m, calls = PM(), []
    monkeypatch.setattr(native, "getfile", lambda cls: "/elsewhere/%s.py" % cls.__name__)
    m.register_plugin(PM, os="talvo")
    assert m.plugins["talvo"]["data"]["single_rp"]["path"] == "/elsewhere/PluginManager.py"
    monkeypatch.setattr(native, "log", types.SimpleNamespace(debug=lambda *a, **kw: calls.append((a, kw))))
    m.validate_os("zeta")
    assert calls == [(("zeta is not part of the built-in list of supported OSes.",), {})]
    monkeypatch.setattr(native, "ConnectionInfraError", LookupError)
    with pytest.raises(LookupError):
        m.get_plugin(os="zeta")

    monkeypatch.setattr(native, "supported_os", ("x",))
    monkeypatch.setattr(native, "supported_chassis", ("y",))
    fresh = PM()
    assert fresh.supported_os == ("x",) and fresh.chassis_type_list == ("y",)


@pytest.mark.parametrize("name, call", [
    ("getfile", lambda m: m.register_plugin(PM, os="talvo")),
    ("log", lambda m: m.validate_os("zeta")),
    ("ConnectionInfraError", lambda m: m.validate_os(None)),
    ("ConnectionInfraError", lambda m: m.unregister_plugin(os="talvo")),
    ("supported_chassis", lambda m: PM()),
    ("iter_entry_points", lambda m: PM.discover_external_plugins()),
])
def test_deleted_module_name_is_name_error(name, call, monkeypatch):
    m = PM()
    monkeypatch.delattr(native, name)
    with pytest.raises(NameError):
        call(m)
    assert m.plugins == {}


def test_import_is_silent():
    proc = run_python("-W", "error", "-c", "import sorvex", timeout=120)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "", "")


def test_run_as_main_program():
    proc = run_python("-m", "sorvex.core", timeout=120)
    assert proc.returncode == 0, proc.stderr
    for word in ("talvo", "t3z", "Sample"):
        assert word in proc.stdout


def test_run_as_main_registers_sample():
    code = "\n".join([
        "from sorvex.core.__main__ import run_as_main",
        "mod = run_as_main()",
        "import sorvex",
        "assert mod.__name__ == '__main__'",
        "assert sorvex.__plugin_manager__.get_plugin(os='talvo', series='t3z') is mod.Sample",
        "assert mod.__plugin_manager__ is sorvex.__plugin_manager__",
        "assert mod.Sample.__doc__ == ' Sample implementation\\n        '",
        "assert mod.Sample.__bases__ == (object,)",
        "rec = sorvex.__plugin_manager__.plugins['talvo']['t3z']['data']['single_rp']",
        "assert list(rec) == ['cls', 'path'] and rec['path'] == mod.__file__, rec",
        "assert 'Sample' not in vars(sorvex.core.pluginmanager)",
    ])
    proc = run_python("-c", code, timeout=120)
    assert proc.returncode == 0, proc.stderr


def test_methods_can_be_weakly_referenced():
    m = native.PluginManager()
    assert weakref.WeakMethod(m.get_plugin)() == m.get_plugin
    assert weakref.ref(native.PluginManager.print_tree)() is native.PluginManager.print_tree
