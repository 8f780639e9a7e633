"""Hostile input for every member: the native manager must give what the oracle gives.

Each case runs once on the native module and once on the oracle, on a small
registry; the results (value or exception type and arguments) and the trees
afterwards must match, and where the oracle leaves the registry untouched the
native manager must too, node for node. A table of the cases is first run in
child processes, so that a crash fails the test of the case that caused it.
"""
import subprocess
import sys
import textwrap
import types
from pathlib import Path

if __name__ == "__main__":
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "benchmarks"))

import pure_plugin_manager as pure  # noqa: E402
import pytest  # noqa: E402

from sorvex.core import pluginmanager as native  # noqa: E402


class A:
    pass


class B:
    pass


class Boom(Exception):
    pass


def boom(*args, **kwargs):
    raise Boom("boom")


def S(text, **methods):
    """A str subclass instance with its own methods."""
    if "__eq__" in methods:
        methods.setdefault("__hash__", str.__hash__)
    return type("S", (str,), methods)(text)


def O(**methods):
    """A plain object with its own methods and a stable text."""
    methods = {"__repr__": lambda s: "<odd>", **methods}
    if "__eq__" in methods:
        methods.setdefault("__hash__", object.__hash__)
    return type("O", (), methods)()


def D(base=dict, **methods):
    """A dict subclass with its own methods."""
    return type("D", (base,), methods)


def nth(n, action, result=True):
    """A method that runs action() on its n-th call and always returns result."""
    calls = []

    def method(self, *args):
        calls.append(1)
        if len(calls) == n:
            action()
        return result
    return method


def populated(mod):
    m = mod.PluginManager()
    m.register_plugin(A, os="talvo")
    m.register_plugin(B, os="talvo", series="t3z")
    m.register_plugin(A, os="talvo", series="t3z", model="m1", chassis_type="dual_rp")
    m.register_plugin(B, os="linux")
    return m


def drop(mapping, key):
    return lambda: mapping.pop(key, None)


def set_tree(m, tree):
    return lambda *a: setattr(m, "_plugins", tree)


PM = "PluginManager"
TRUTHY = O(__bool__=lambda s: True)
# (name, case(mod, m, patch)): patch(name, value) rebinds a module-level name for the call.
CASES = [
    # arguments that raise or lie in their dunders
    ("os-bool-raises", lambda mod, m, p: m.register_plugin(A, os=O(__bool__=boom))),
    ("os-eq-raises", lambda mod, m, p: m.register_plugin(A, os=O(__eq__=boom))),
    ("os-str-eq-raises", lambda mod, m, p: m.get_plugin(os=S("talvo", __eq__=boom))),
    ("os-contains-raises", lambda mod, m, p: m.register_plugin(A, os=S("zeta", __contains__=boom))),
    ("os-eq-odd-truth", lambda mod, m, p: m.get_plugin(os=S("talvo", __eq__=lambda s, o: O(__bool__=boom)))),
    ("os-eq-truthy", lambda mod, m, p: m.get_plugin(os=S("zeta", __eq__=lambda s, o: TRUTHY), chassis_type=7)),
    ("os-bytes", lambda mod, m, p: m.register_plugin(A, os=b"talvo")),
    ("os-int", lambda mod, m, p: m.register_plugin(A, os=5)),
    ("os-zero", lambda mod, m, p: m.get_plugin(os=0)),
    ("os-tuple", lambda mod, m, p: m.unregister_plugin(os=("talvo",))),
    ("os-list", lambda mod, m, p: m.get_plugin(os=["talvo"])),
    ("os-nul", lambda mod, m, p: m.register_plugin(A, os="ta\x00lvo")),
    ("os-surrogate", lambda mod, m, p: (m.register_plugin(A, os="\ud800"), m.get_plugin(os="\ud800"))),
    ("os-mocked-surrogate", lambda mod, m, p: m.get_plugin(os="mocked\udfff")),
    ("os-huge", lambda mod, m, p: (m.register_plugin(A, os="q" * 100_000), m.get_plugin(os="q" * 100_000))),
    ("os-huge-miss", lambda mod, m, p: m.get_plugin(os="q" * 100_000, series="r" * 100_000)),
    ("series-islower-raises", lambda mod, m, p: m.register_plugin(A, os="talvo", series=S("t", islower=boom))),
    ("series-islower-lies", lambda mod, m, p: m.register_plugin(A, os="talvo", series=S("T3Z", islower=lambda s: 1))),
    ("series-isdigit-odd", lambda mod, m, p: m.get_plugin(os="talvo", series=S("-", isdigit=lambda s: O(__bool__=boom)))),
    ("series-str-raises", lambda mod, m, p: m.get_plugin(series=S("t", __str__=boom))),
    ("series-str-non-str", lambda mod, m, p: m.get_plugin(os="talvo", series=S("T", __str__=lambda s: 5))),
    ("series-str-custom", lambda mod, m, p: m.get_plugin(os="talvo", series=S("T", __str__=lambda s: "shown"))),
    ("series-radd", lambda mod, m, p: m.get_plugin(series=S("t", __radd__=boom, __rmod__=boom))),
    ("series-data-eq-false", lambda mod, m, p: m.register_plugin(A, os="talvo", series=S("data", __eq__=lambda s, o: False))),
    ("series-bytes", lambda mod, m, p: m.register_plugin(A, os="talvo", series=b"t3z")),
    ("series-nul", lambda mod, m, p: m.get_plugin(os="talvo", series="a\x00B")),
    ("series-surrogate", lambda mod, m, p: m.get_plugin(os="talvo", series="A\ud800")),
    ("series-huge", lambda mod, m, p: m.get_plugin(os="talvo", series="A" * 100_000)),
    ("model-bool-raises", lambda mod, m, p: m.get_plugin(os="talvo", series="t3z", model=O(__bool__=boom))),
    ("model-no-series-str-raises", lambda mod, m, p: m.get_plugin(os="talvo", model=O(__str__=boom))),
    ("model-empty-no-series", lambda mod, m, p: (m.register_plugin(A, os="talvo", model=""), m.get_plugin(os="talvo", model=""))),
    ("model-surrogate", lambda mod, m, p: m.unregister_plugin(os="talvo", series="t3z", model="M\udc80")),
    ("chassis-bool-raises", lambda mod, m, p: m.get_plugin(os="talvo", chassis_type=O(__bool__=boom))),
    ("chassis-eq-raises", lambda mod, m, p: m.register_plugin(A, os="talvo", chassis_type=O(__eq__=boom))),
    ("chassis-str-raises", lambda mod, m, p: m.get_plugin(os="zeta", chassis_type=S("single_rp", __str__=boom))),
    ("chassis-linux-unhashable", lambda mod, m, p: m.register_plugin(A, os="linux", series="new", chassis_type=[])),
    ("chassis-linux-hash-raises", lambda mod, m, p: m.register_plugin(A, os="linux", series="s", model="m", chassis_type=O(__hash__=boom))),
    ("chassis-linux-surrogate", lambda mod, m, p: (m.register_plugin(A, os="linux", chassis_type="\ud800"), m.get_plugin(os="linux", chassis_type="\ud800"))),
    ("chassis-tuple-unregister", lambda mod, m, p: m.unregister_plugin(os="talvo", chassis_type=("a", "b"))),
    ("chassis-str-unregister", lambda mod, m, p: m.unregister_plugin(os="talvo", chassis_type=S("x", __str__=lambda s: "shown"))),
    ("new-os-series-hash-raises", lambda mod, m, p: m.register_plugin(A, os="zeta", series=S("s", __hash__=boom))),
    ("new-os-model-unhashable", lambda mod, m, p: m.register_plugin(A, os="zeta", series="s", model=S("m", __hash__=None))),
    ("cls-builtin", lambda mod, m, p: m.register_plugin(int, os="zeta", series="s", model="m")),
    ("cls-none", lambda mod, m, p: m.register_plugin(None, os="talvo", series="t3z", model="m2")),
    ("getfile-raises", lambda mod, m, p: (p("getfile", boom), m.register_plugin(A, os="zeta", series="s"))),
    ("getfile-non-str", lambda mod, m, p: (p("getfile", lambda c: 5), m.register_plugin(A, os="zeta"), repr(m))),
    ("getfile-none", lambda mod, m, p: (p("getfile", lambda c: None), m.register_plugin(A, os="talvo", chassis_type="stack"))),
    # the manager changed in the middle of a call
    ("eq-clears-root-at-series", lambda mod, m, p: m.get_plugin(os="talvo", series=S("t3z", __eq__=lambda s, o: m.plugins.clear() or True))),
    ("eq-clears-root-register", lambda mod, m, p: m.register_plugin(A, os="talvo", series=S("t3z", __eq__=lambda s, o: m.plugins.clear() or True))),
    ("eq-clears-root-unregister", lambda mod, m, p: m.unregister_plugin(os="talvo", series=S("t3z", __eq__=lambda s, o: m.plugins.clear() or True), chassis_type="single_rp")),
    ("eq-clears-root-at-os", lambda mod, m, p: m.register_plugin(A, os=S("talvo", __eq__=lambda s, o: m.plugins.clear() or True), chassis_type="stack")),
    ("eq-clears-node-2nd-call", lambda mod, m, p: m.get_plugin(os="talvo", series=S("t3z", __eq__=nth(2, m.plugins["talvo"].clear)))),
    ("eq-clears-root-2nd-call", lambda mod, m, p: m.get_plugin(os=S("talvo", __eq__=nth(3, m.plugins.clear)))),
    ("eq-clears-chassis-map", lambda mod, m, p: m.get_plugin(os="linux", chassis_type=S("single_rp", __eq__=nth(2, m.plugins["linux"]["data"].clear)))),
    ("eq-clears-chassis-unregister", lambda mod, m, p: m.unregister_plugin(os="linux", chassis_type=S("single_rp", __eq__=nth(2, m.plugins.clear)))),
    ("eq-drops-record-unregister", lambda mod, m, p: m.unregister_plugin(os="linux", chassis_type=S("single_rp", __eq__=nth(2, drop(m.plugins["linux"]["data"], "single_rp"))))),
    ("hash-registers", lambda mod, m, p: m.register_plugin(B, os=S("talvo", __hash__=lambda s: (m.register_plugin(A, os="zeta"), str.__hash__(s))[1]))),
    ("hash-drops-os-node", lambda mod, m, p: m.get_plugin(os="talvo", series="t3z", model=S("m1", __hash__=lambda s: (m.plugins.clear(), str.__hash__(s))[1]), chassis_type="dual_rp")),
    ("hash-drops-series-node", lambda mod, m, p: m.register_plugin(A, os="talvo", series=S("t3z", __hash__=lambda s: (drop(m.plugins["talvo"], "t3z")(), str.__hash__(s))[1]))),
    ("getfile-clears", lambda mod, m, p: (p("getfile", lambda c: m.plugins.clear() or "/x"), m.register_plugin(A, os="talvo", series="t3z"))),
    ("getfile-swaps-tree", lambda mod, m, p: (p("getfile", lambda c: set_tree(m, {})() or "/x"), m.register_plugin(A, os="talvo"))),
    ("log-swaps-tree", lambda mod, m, p: (p("log", O(debug=set_tree(m, {"zeta": {"data": {"single_rp": {"cls": B, "path": ""}}}}))), m.get_plugin(os="zeta"))),
    ("log-raises", lambda mod, m, p: (p("log", O(debug=boom)), m.register_plugin(A, os="zeta"))),
    ("validate-clears", lambda mod, m, p: (setattr(m, "validate_arguments", lambda *a: m.plugins.clear()), m.get_plugin(os="talvo"))),
    ("str-of-key-clears", lambda mod, m, p: m.get_plugin(os="zeta", series=S("q", __eq__=lambda s, o: m.plugins.clear() or False))),
    # the lists the checks consult
    ("os-list-contains-raises", lambda mod, m, p: (setattr(m, "supported_os", O(__contains__=boom)), m.get_plugin(os="talvo"))),
    ("os-list-contains-odd", lambda mod, m, p: (setattr(m, "supported_os", O(__contains__=lambda s, x: O(__bool__=boom))), m.get_plugin(os="talvo"))),
    ("os-list-contains-truthy", lambda mod, m, p: (setattr(m, "supported_os", O(__contains__=lambda s, x: TRUTHY)), m.get_plugin(os="mocked-x"))),
    ("os-list-str-raises", lambda mod, m, p: (setattr(m, "supported_os", O(__str__=boom)), m.get_plugin(os=""))),
    ("os-list-none", lambda mod, m, p: (setattr(m, "supported_os", None), m.get_plugin(os="talvo"))),
    ("os-list-iter-raises", lambda mod, m, p: (setattr(m, "supported_os", O(__iter__=boom)), m.get_plugin(os="talvo"))),
    ("os-list-deleted", lambda mod, m, p: (delattr(m, "supported_os"), m.get_plugin(os="talvo"))),
    ("chassis-list-contains-raises", lambda mod, m, p: (setattr(m, "chassis_type_list", O(__contains__=boom)), m.get_plugin(os="talvo"))),
    ("chassis-list-contains-2", lambda mod, m, p: (setattr(m, "chassis_type_list", O(__contains__=lambda s, x: 2)), m.get_plugin(os="talvo"))),
    ("chassis-list-is-str", lambda mod, m, p: (setattr(m, "chassis_type_list", "single_rp dual"), m.register_plugin(A, os="talvo", chassis_type="rp d"))),
    ("chassis-list-str-raises", lambda mod, m, p: (setattr(m, "chassis_type_list", O(__contains__=lambda s, x: 0, __str__=boom)), m.get_plugin(os="talvo"))),
    # trees edited by hand
    ("node-list", lambda mod, m, p: (m.plugins.__setitem__("talvo", [1]), m.register_plugin(A, os="talvo", series="t3z"))),
    ("node-int", lambda mod, m, p: (m.plugins.__setitem__("talvo", 5), m.get_plugin(os="talvo"))),
    ("node-none-unregister", lambda mod, m, p: (m.plugins["talvo"].__setitem__("t3z", None), m.unregister_plugin(os="talvo", series="t3z", model="m1"))),
    ("data-str", lambda mod, m, p: (m.plugins["talvo"].__setitem__("data", "single_rp"), m.get_plugin(os="talvo"))),
    ("data-tuple-register", lambda mod, m, p: (m.plugins["talvo"]["t3z"].__setitem__("data", ()), m.register_plugin(A, os="talvo", series="t3z", model="m9"))),
    ("data-proxy-register", lambda mod, m, p: (m.plugins["talvo"].__setitem__("data", types.MappingProxyType({})), m.register_plugin(A, os="talvo"))),
    ("record-list", lambda mod, m, p: (m.plugins["linux"]["data"].__setitem__("single_rp", ["cls"]), m.get_plugin(os="linux"))),
    ("record-no-cls", lambda mod, m, p: (m.plugins["linux"]["data"].__setitem__("single_rp", {"path": 1}), m.get_plugin(os="linux"))),
    ("root-list", lambda mod, m, p: (setattr(m, "_plugins", []), m.get_plugin(os="talvo"))),
    ("root-deleted", lambda mod, m, p: (delattr(m, "_plugins"), m.unregister_plugin(os="talvo"))),
    ("keys-lies", lambda mod, m, p: (setattr(m, "_plugins", D(keys=lambda s: ["talvo", "data"])()), m.get_plugin(os="talvo"))),
    ("keys-raises", lambda mod, m, p: (m.plugins.__setitem__("talvo", D(keys=boom)(data=1)), m.register_plugin(A, os="talvo"))),
    ("keys-int", lambda mod, m, p: (m.plugins.__setitem__("talvo", D(keys=lambda s: 5)()), m.unregister_plugin(os="talvo"))),
    ("keys-clears-root", lambda mod, m, p: (m.plugins.__setitem__("zeta", D(keys=lambda s: m.plugins.clear() or dict.keys(s))(data={"stack": {"cls": A, "path": ""}})), m.get_plugin(os="zeta", chassis_type="stack"))),
    ("getitem-lies", lambda mod, m, p: (m.plugins.__setitem__("zeta", D(__getitem__=lambda s, k: {"data": {"single_rp": {"cls": B}}})(s=1)), m.get_plugin(os="zeta", series="s", model="m"))),
    ("setitem-raises", lambda mod, m, p: (setattr(m, "_plugins", D(__setitem__=boom)()), m.register_plugin(A, os="talvo", series="s"))),
    ("setitem-raises-deep", lambda mod, m, p: (m.plugins.__setitem__("zeta", D(__setitem__=boom)()), m.register_plugin(A, os="zeta", series="s", model="m"))),
    ("missing-hook", lambda mod, m, p: (m.plugins.__setitem__("zeta", D(__missing__=lambda s, k: {})()), m.get_plugin(os="zeta"))),
    # managers whose __init__ never ran, and calls with another self
    ("bare-register", lambda mod, m, p: getattr(mod, PM).__new__(getattr(mod, PM)).register_plugin(A, os="talvo")),
    ("bare-get", lambda mod, m, p: getattr(mod, PM).__new__(getattr(mod, PM)).get_plugin(os="talvo")),
    ("bare-unregister", lambda mod, m, p: getattr(mod, PM).__new__(getattr(mod, PM)).unregister_plugin(os="talvo")),
    ("bare-repr", lambda mod, m, p: repr(getattr(mod, PM).__new__(getattr(mod, PM)))),
    ("bare-plugins", lambda mod, m, p: getattr(mod, PM).__new__(getattr(mod, PM)).plugins),
    ("bare-chassis", lambda mod, m, p: getattr(mod, PM).__new__(getattr(mod, PM)).validate_chassis_type("single_rp")),
    ("bare-series", lambda mod, m, p: getattr(mod, PM).__new__(getattr(mod, PM)).validate_series(os="a", series="b")),
    ("bare-print", lambda mod, m, p: getattr(mod, PM).__new__(getattr(mod, PM)).print_tree({"a": {"b": 1}})),
    ("bare-then-init", lambda mod, m, p: (lambda b: (b.__init__(), b.get_plugin(os="linux")))(getattr(mod, PM).__new__(getattr(mod, PM)))),
    ("unbound-get-int", lambda mod, m, p: getattr(mod, PM).get_plugin(5, os="x")),
    ("unbound-register-none", lambda mod, m, p: getattr(mod, PM).register_plugin(None, A, os="talvo")),
    ("unbound-unregister-str", lambda mod, m, p: getattr(mod, PM).unregister_plugin("s", os="talvo")),
    ("unbound-print-int", lambda mod, m, p: getattr(mod, PM).print_tree(5, {"a": 1})),
    ("unbound-print-leaf", lambda mod, m, p: getattr(mod, PM).print_tree(5, "leaf", "out")),
    ("unbound-repr", lambda mod, m, p: getattr(mod, PM).__repr__(5)),
    ("unbound-init-int", lambda mod, m, p: getattr(mod, PM).__init__(5)),
    ("unbound-getter", lambda mod, m, p: getattr(mod, PM).plugins.fget(5)),
    ("unbound-setter", lambda mod, m, p: getattr(mod, PM).plugins.fset(5, 1)),
    ("unbound-series-none", lambda mod, m, p: getattr(mod, PM).validate_series(None, os="a", series="b")),
    ("unbound-os-none", lambda mod, m, p: getattr(mod, PM).validate_os(None, os="talvo")),
    ("unbound-duck", lambda mod, m, p: getattr(mod, PM).get_plugin(types.SimpleNamespace(_plugins=m.plugins, validate_arguments=lambda *a: None), "talvo", "t3z")),
    ("unbound-duck-init", lambda mod, m, p: (lambda d: (getattr(mod, PM).__init__(d), sorted(vars(d))))(types.SimpleNamespace())),
    ("setter-hostile", lambda mod, m, p: setattr(m, "plugins", O(__bool__=boom, __eq__=boom))),
    # rendering
    ("print-bool-raises", lambda mod, m, p: m.print_tree(O(__bool__=boom))),
    ("print-eq-raises", lambda mod, m, p: m.print_tree(O(__eq__=boom))),
    ("print-eq-odd", lambda mod, m, p: m.print_tree(O(__eq__=lambda s, o: O(__bool__=boom)))),
    ("print-eq-empty", lambda mod, m, p: m.print_tree(O(__eq__=lambda s, o: True))),
    ("print-value-str-raises", lambda mod, m, p: m.print_tree({"a": O(__str__=boom)})),
    ("print-value-str-non-str", lambda mod, m, p: m.print_tree({"a": O(__str__=lambda s: 5)})),
    ("print-key-lt-raises", lambda mod, m, p: m.print_tree({S("a", __lt__=boom): 1, "b": 2})),
    ("print-key-gt-raises", lambda mod, m, p: m.print_tree({S("a", __gt__=boom): 1, "b": 2})),
    ("print-key-eq-raises", lambda mod, m, p: m.print_tree({S("a", __eq__=boom): 1, "b": 2})),
    ("print-key-never-eq", lambda mod, m, p: m.print_tree({"a": 1, S("b", __eq__=lambda s, o: False): {"x": 1, "y": 2}})),
    ("print-key-radd-raises", lambda mod, m, p: m.print_tree({S("a", __radd__=boom): 1})),
    ("print-keys-empty", lambda mod, m, p: m.print_tree(D(keys=lambda s: [])(a=1))),
    ("print-keys-raises", lambda mod, m, p: m.print_tree(D(keys=boom)(a=1))),
    ("print-keys-missing", lambda mod, m, p: m.print_tree(D(keys=lambda s: ["zz"])(a=1))),
    ("print-getitem", lambda mod, m, p: m.print_tree(D(__getitem__=lambda s, k: "got " + k)(a=1, b=2))),
    ("print-len-zero", lambda mod, m, p: m.print_tree(D(__len__=lambda s: 0)(a=1))),
    ("print-eq-dict", lambda mod, m, p: m.print_tree(D(__eq__=lambda s, o: True)(a=1))),
    ("print-str-clears-parent", lambda mod, m, p: (lambda d: (d.__setitem__("a", O(__str__=lambda s: d.clear() or "e")), m.print_tree(d)))({"b": {"x": {"y": 1}}})),
    ("print-str-clears-sibling", lambda mod, m, p: (lambda d: (d.__setitem__("a", O(__str__=lambda s: d["b"].clear() or "e")), m.print_tree(d)))({"b": {"x": {"y": 1}, "z": 2}})),
    ("print-str-clears-tree", lambda mod, m, p: (m.plugins["talvo"]["t3z"]["m1"]["data"].__setitem__("x", O(__str__=lambda s: m.plugins.clear() or "e")), repr(m))),
    ("print-output-int", lambda mod, m, p: m.print_tree("leaf", 5)),
    ("print-output-bytes", lambda mod, m, p: m.print_tree({"a": 1}, b"x")),
    ("print-output-add", lambda mod, m, p: m.print_tree({"a": 1}, O(__add__=lambda s, o: "added"))),
    ("print-output-add-raises", lambda mod, m, p: m.print_tree({"a": 1}, S("h", __add__=boom))),
    ("print-odd-keys", lambda mod, m, p: m.print_tree({"\ud800": 1, "a\x00b": "x\ny", "": None, "\n": {"": 0}, "é" * 50_000: 1})),
    ("print-deep", lambda mod, m, p: m.print_tree(nest(5000))),
    ("repr-deep", lambda mod, m, p: (m.plugins.__setitem__("zeta", nest(5000)), repr(m))),
    ("repr-class-str-raises", lambda mod, m, p: repr(type("M", (type,), {"__str__": boom})("Sub", (getattr(mod, PM),), {})())),
    # discovery with fakes
    ("walk-name-int", lambda mod, m, p: (p("pkgutil", O(walk_packages=lambda *a: [(None, 5, False)])), mod.PluginManager.discover_builtin_plugins())),
    ("walk-name-contains-raises", lambda mod, m, p: (p("pkgutil", O(walk_packages=lambda *a: [(None, S("x", __contains__=boom), 0)])), mod.PluginManager.discover_builtin_plugins())),
    ("walk-endswith-odd", lambda mod, m, p: (p("pkgutil", O(walk_packages=lambda *a: [(0, S("a.plugins.b", endswith=lambda s, x: O(__bool__=boom)), 0)])), mod.PluginManager.discover_builtin_plugins())),
    ("walk-not-iterable", lambda mod, m, p: (p("pkgutil", O(walk_packages=lambda *a: 5)), mod.PluginManager.discover_builtin_plugins())),
    ("entry-name-str-raises", lambda mod, m, p: (p("iter_entry_points", lambda group: [O(name=O(__str__=boom), module_name="m")]), mod.PluginManager.discover_external_plugins())),
    ("entry-points-none", lambda mod, m, p: (p("iter_entry_points", lambda group: None), mod.PluginManager.discover_external_plugins())),
]
CASE = dict(CASES)


def nest(depth):
    tree = leaf = {}
    for _ in range(depth):
        leaf["k"] = leaf = {}
    leaf["k"] = 1
    return tree


def describe(x, depth=0):
    """A deep, comparable copy of x that calls none of its dunders."""
    if depth > 50:
        return "..."
    if isinstance(x, dict):
        return (type(x).__name__, tuple((describe(k), describe(v, depth + 1)) for k, v in dict.items(x)))
    if type(x) in (str, int, bool, bytes, type(None)):
        return x
    if isinstance(x, str):
        return ("str", type(x).__name__, str.__str__(x))
    if type(x) in (list, tuple):
        return (type(x).__name__, tuple(describe(i) for i in x))
    return ("class", x.__qualname__) if isinstance(x, type) else ("obj", type(x).__name__)


def nodes(tree, keep, depth=0):
    """Identity of every node and of every key and value in it."""
    if not isinstance(tree, dict) or depth > 50:
        return [id(tree)]
    items = list(dict.items(tree))
    keep.append((tree, items))
    return [(id(tree), [(id(k), id(v)) for k, v in items])] + [n for _, v in items for n in nodes(v, keep, depth + 1)]


def run(mod, name):
    """The outcome of a case: result or exception, final tree, and whether the tree was left alone."""
    m, keep, saved = populated(mod), [], []

    def patch(attr, value):
        saved.append((attr, getattr(mod, attr)))
        setattr(mod, attr, value)

    before = (describe(m._plugins), nodes(m._plugins, keep))
    try:
        result = ("ok", describe(CASE[name](mod, m, patch)))
    except Exception as exc:
        # the interpreter words its recursion message by where the limit was hit
        result = ("raise", type(exc).__name__, () if isinstance(exc, RecursionError) else describe(exc.args))
    finally:
        for attr, value in reversed(saved):
            setattr(mod, attr, value)
    tree = vars(m).get("_plugins")
    same = before == (describe(tree), nodes(tree, keep))
    text = repr(result).replace(hex(id(m)), "ID").replace(str(type(m)), "CLS")
    return text, describe(tree), same


@pytest.fixture(scope="module")
def crashes():
    """Run every case on the native module in child processes; the cases that killed one."""
    names, found, start = [name for name, _ in CASES], {}, 0
    while start < len(names):
        proc = subprocess.run([sys.executable, __file__, str(start)], capture_output=True, text=True)
        if proc.returncode == 0:
            break
        done = proc.stdout.splitlines()
        crashed = done[-1] if done else names[start]
        found[crashed] = "exit %d: %s" % (proc.returncode, proc.stderr[-2000:])
        start = names.index(crashed) + 1
    return found


@pytest.mark.parametrize("name", list(CASE))
def test_hostile_case(name, crashes):
    assert name not in crashes, "native module crashed:\n" + crashes[name]
    got, want = run(native, name), run(pure, name)
    assert got == want


def child(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)


@pytest.mark.parametrize("render", ["m.print_tree(tree)", "m.plugins.update(tree) or repr(m)"])
def test_nesting_beyond_a_raised_recursion_limit(render):
    proc = child("""
        import sys
        from sorvex.core.pluginmanager import PluginManager
        sys.setrecursionlimit(100_000)
        tree = leaf = {}
        for _ in range(200_000):
            leaf["k"] = leaf = {}
        m = PluginManager()
        try:
            %s
        except RecursionError:
            print("RecursionError")
        """ % render)
    assert (proc.returncode, proc.stdout) == (0, "RecursionError\n"), proc.stderr[-2000:]


if __name__ == "__main__":
    for name, _ in CASES[int(sys.argv[1]):]:
        print(name, flush=True)
        run(native, name)
