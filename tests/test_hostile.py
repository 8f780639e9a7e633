"""Hostile input for every member: the native manager must give what the oracle gives.

Each case runs once on the native module and once on the oracle, on a small
registry; the results (value or exception type and arguments) and the trees
afterwards must match, and where the oracle leaves the registry untouched the
native manager must too, node for node. A table of the cases is first run in
child processes, so that a crash fails the test of the case that caused it.
"""
import ast
import sys
import textwrap
import types

import pytest
from support import (BENCHMARKS, A, B, Unhashable, boom, native, nest, nodes, outcome, pure, report_each,
                     run_in_children, run_python)


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
    m = mod.PluginManager() if isinstance(mod, types.ModuleType) else mod()
    m.register_plugin(A, os="talvo")
    m.register_plugin(B, os="talvo", series="t3z")
    m.register_plugin(A, os="talvo", series="t3z", model="m1", chassis_type="dual_rp")
    m.register_plugin(B, os="linux")
    return m


def clearing(m, text):
    """A key that empties the whole registry whenever it is compared."""
    return S(text, __eq__=lambda s, o: m.plugins.clear() or True)


def hashing(text, action):
    """A key that runs action() whenever it is hashed."""
    return S(text, __hash__=lambda s: (action(), str.__hash__(s))[1])


def drop(mapping, key):
    return lambda: mapping.pop(key, None)


def put(mapping, key, value):
    mapping[key] = value


def nothing(*args):
    pass


class Rebound(Exception):
    """What ConnectionInfraError is rebound to in the middle of a call."""


def rebinding(mod, base=object, *value):
    """An instance of a subclass of base whose str() rebinds the module's ConnectionInfraError.

    A raise must use the class it named before it built its message, as Python does."""
    def rebind(self):
        mod.ConnectionInfraError = Rebound
        return "shown"
    return type(base.__name__, (base,), {"__str__": rebind})(*value)


def clearing_print_tree(mod, data=None):
    """A manager whose print_tree is a property that empties `data` (its own tree by default) the
    second time it is looked up: the first look-up is the caller's, the second one a child's."""
    looked_up = []

    def get(self):
        looked_up.append(1)
        if len(looked_up) == 2:
            (self.plugins if data is None else data).clear()
        return mod.PluginManager.print_tree.__get__(self)
    return type("Clearing", (mod.PluginManager,), {"print_tree": property(get)})()


TRUTHY = O(__bool__=lambda s: True)
# A case is an expression, or a tuple of them: the last is the call under test, the ones before set
# the scene. They see m (a small registry), mod (the module under test), PM (its class) and
# p(name, value), which rebinds a module-level name for the duration of the case.
CASES = {
    # arguments that raise or lie in their dunders
    "os-bool-raises": "m.register_plugin(A, os=O(__bool__=boom))",
    "os-eq-raises": "m.register_plugin(A, os=O(__eq__=boom))",
    "os-str-eq-raises": "m.get_plugin(os=S('talvo', __eq__=boom))",
    "os-contains-raises": "m.register_plugin(A, os=S('zeta', __contains__=boom))",
    "os-eq-odd-truth": "m.get_plugin(os=S('talvo', __eq__=lambda s, o: O(__bool__=boom)))",
    "os-eq-truthy": "m.get_plugin(os=S('zeta', __eq__=lambda s, o: TRUTHY), chassis_type=7)",
    "os-bytes": "m.register_plugin(A, os=b'talvo')",
    "os-tuple": "m.unregister_plugin(os=('talvo',))",
    "os-nul": "m.register_plugin(A, os='ta\\x00lvo')",
    "os-surrogate": "m.register_plugin(A, os='\\ud800'), m.get_plugin(os='\\ud800')",
    "os-huge": "m.register_plugin(A, os='q' * 100_000), m.get_plugin(os='q' * 100_000)",
    "os-huge-miss": "m.get_plugin(os='q' * 100_000, series='r' * 100_000)",
    "series-islower-raises": "m.register_plugin(A, os='talvo', series=S('t', islower=boom))",
    "series-islower-lies": "m.register_plugin(A, os='talvo', series=S('T3Z', islower=lambda s: 1))",
    "series-isdigit-odd": "m.get_plugin(os='talvo', series=S('-', isdigit=lambda s: O(__bool__=boom)))",
    "series-str-raises": "m.get_plugin(series=S('t', __str__=boom))",
    "series-str-custom": "m.get_plugin(os='talvo', series=S('T', __str__=lambda s: 'shown'))",
    "series-data-eq-false": "m.register_plugin(A, os='talvo', series=S('data', __eq__=lambda s, o: False))",
    "series-nul": "m.get_plugin(os='talvo', series='a\\x00B')",
    "series-surrogate": "m.get_plugin(os='talvo', series='A\\ud800')",
    "model-bool-raises": "m.get_plugin(os='talvo', series='t3z', model=O(__bool__=boom))",
    "model-no-series-str-raises": "m.get_plugin(os='talvo', model=O(__str__=boom))",
    "model-surrogate": "m.unregister_plugin(os='talvo', series='t3z', model='M\\udc80')",
    "chassis-bool-raises": "m.get_plugin(os='talvo', chassis_type=O(__bool__=boom))",
    "chassis-eq-raises": "m.register_plugin(A, os='talvo', chassis_type=O(__eq__=boom))",
    "chassis-str-raises": "m.get_plugin(os='zeta', chassis_type=S('single_rp', __str__=boom))",
    "chassis-linux-unhashable": "m.register_plugin(A, os='linux', series='new', chassis_type=[])",
    "chassis-linux-hash-raises": "m.register_plugin(A, os='linux', series='s', model='m', "
                                 "chassis_type=O(__hash__=boom))",
    "chassis-linux-surrogate": "m.register_plugin(A, os='linux', chassis_type='\\ud800'), "
                               "m.get_plugin(os='linux', chassis_type='\\ud800')",
    "new-os-series-hash-raises": "m.register_plugin(A, os='zeta', series=S('s', __hash__=boom))",
    "new-os-model-unhashable": "m.register_plugin(A, os='zeta', series='s', model=S('m', __hash__=None))",
    "cls-builtin": "m.register_plugin(int, os='zeta', series='s', model='m')",
    "getfile-raises": "p('getfile', boom), m.register_plugin(A, os='zeta', series='s')",
    "getfile-non-str": "p('getfile', lambda c: 5), m.register_plugin(A, os='zeta'), repr(m)",
    # the registry changed in the middle of a call
    "eq-clears-root-at-series": "m.get_plugin(os='talvo', series=clearing(m, 't3z'))",
    "eq-clears-root-register": "m.register_plugin(A, os='talvo', series=clearing(m, 't3z'))",
    "eq-clears-root-unregister": "m.unregister_plugin(os='talvo', series=clearing(m, 't3z'), "
                                 "chassis_type='single_rp')",
    "eq-clears-root-at-os": "m.register_plugin(A, os=clearing(m, 'talvo'), chassis_type='stack')",
    "eq-clears-node-2nd-call": "m.get_plugin(os='talvo', series=S('t3z', __eq__=nth(2, m.plugins['talvo'].clear)))",
    "eq-clears-root-3rd-call": "m.get_plugin(os=S('talvo', __eq__=nth(3, m.plugins.clear)))",
    "eq-clears-chassis-map": "m.get_plugin(os='linux', "
                             "chassis_type=S('single_rp', __eq__=nth(2, m.plugins['linux']['data'].clear)))",
    "eq-clears-chassis-unregister": "m.unregister_plugin(os='linux', "
                                    "chassis_type=S('single_rp', __eq__=nth(2, m.plugins.clear)))",
    "eq-drops-record-unregister": "m.unregister_plugin(os='linux', chassis_type=S('single_rp', "
                                  "__eq__=nth(2, drop(m.plugins['linux']['data'], 'single_rp'))))",
    "hash-registers": "m.register_plugin(B, os=hashing('talvo', lambda: m.register_plugin(A, os='zeta')))",
    "hash-drops-os-node": "m.get_plugin('talvo', 't3z', hashing('m1', m.plugins.clear), 'dual_rp')",
    "hash-drops-series-node": "m.register_plugin(A, os='talvo', "
                              "series=hashing('t3z', drop(m.plugins['talvo'], 't3z')))",
    "getfile-clears": "p('getfile', lambda c: m.plugins.clear() or '/x'), "
                      "m.register_plugin(A, os='talvo', series='t3z')",
    "getfile-swaps-tree": "p('getfile', lambda c: setattr(m, '_plugins', {}) or '/x'), "
                          "m.register_plugin(A, os='talvo')",
    "log-swaps-tree": "p('log', O(debug=lambda s, text: setattr(m, '_plugins', "
                      "{'zeta': {'data': {'single_rp': {'cls': B}}}}))), m.get_plugin(os='zeta')",
    "log-raises": "p('log', O(debug=boom)), m.register_plugin(A, os='zeta')",
    "validate-clears": "setattr(m, 'validate_arguments', lambda *a: m.plugins.clear()), m.get_plugin(os='talvo')",
    "eq-false-clears": "m.get_plugin(os='zeta', series=S('q', __eq__=lambda s, o: m.plugins.clear() or False))",
    # the lists the checks consult
    "os-list-contains-raises": "setattr(m, 'supported_os', O(__contains__=boom)), m.get_plugin(os='talvo')",
    "os-list-contains-odd": "setattr(m, 'supported_os', O(__contains__=lambda s, x: O(__bool__=boom))), "
                            "m.get_plugin(os='t')",
    "os-list-contains-truthy": "setattr(m, 'supported_os', O(__contains__=lambda s, x: TRUTHY)), "
                               "m.get_plugin(os='mocked-x')",
    "os-list-str-raises": "setattr(m, 'supported_os', O(__str__=boom)), m.get_plugin(os='')",
    "os-list-deleted": "delattr(m, 'supported_os'), m.get_plugin(os='talvo')",
    # an item ahead of the match is compared first, even when the match is the very same str
    "os-list-eq-raises-before-match": "setattr(m, 'supported_os', [O(__eq__=boom), 'talvo']), m.get_plugin(os='talvo')",
    "chassis-list-str-eq-raises-before-match":
        "setattr(m, 'chassis_type_list', [S('x', __eq__=boom), 'single_rp']), m.get_plugin(os='talvo')",
    "chassis-list-contains-raises": "setattr(m, 'chassis_type_list', O(__contains__=boom)), m.get_plugin(os='talvo')",
    "chassis-list-is-str": "setattr(m, 'chassis_type_list', 'single_rp dual'), "
                           "m.register_plugin(A, os='talvo', chassis_type='rp d')",
    # trees edited by hand
    "node-list": "put(m.plugins, 'talvo', [1]), m.register_plugin(A, os='talvo', series='t3z')",
    "node-none-unregister": "put(m.plugins['talvo'], 't3z', None), m.unregister_plugin('talvo', 't3z', 'm1')",
    "data-str": "put(m.plugins['talvo'], 'data', 'single_rp'), m.get_plugin(os='talvo')",
    "data-tuple-register": "put(m.plugins['talvo']['t3z'], 'data', ()), m.register_plugin(A, 'talvo', 't3z', 'm9')",
    "data-proxy-register": "put(m.plugins['talvo'], 'data', types.MappingProxyType({})), "
                           "m.register_plugin(A, 'talvo')",
    "record-no-cls": "put(m.plugins['linux']['data'], 'single_rp', {'path': 1}), m.get_plugin(os='linux')",
    "root-deleted": "delattr(m, '_plugins'), m.unregister_plugin(os='talvo')",
    "keys-lies": "setattr(m, '_plugins', D(keys=lambda s: ['talvo', 'data'])()), m.get_plugin(os='talvo')",
    "keys-raises": "put(m.plugins, 'talvo', D(keys=boom)(data=1)), m.register_plugin(A, os='talvo')",
    "keys-clears-root": "put(m.plugins, 'zeta', D(keys=lambda s: m.plugins.clear() or dict.keys(s))"
                        "(data={'stack': {'cls': A}})), m.get_plugin(os='zeta', chassis_type='stack')",
    "keys-clears-root-in-walk": "put(m.plugins, 'zeta', D(keys=lambda s: m.plugins.clear() or dict.keys(s))"
                                "(data={'stack': {'cls': A}})), "
                                "m.get_plugin(os='zeta', series='s', chassis_type='stack')",
    "contains-raises": "put(m.plugins, 'zeta', D(__contains__=boom)(data={})), m.get_plugin(os='zeta')",
    "contains-lies-register": "put(m.plugins['talvo'], 't9', D(__contains__=lambda s, k: True)()), "
                              "m.register_plugin(A, 'talvo', 't9')",
    "contains-lies-unregister": "put(m.plugins['talvo'], 't9', D(__contains__=lambda s, k: True)()), "
                                "m.unregister_plugin('talvo', 't9')",
    "contains-clears-root": "put(m.plugins, 'zeta', D(__contains__=lambda s, k: m.plugins.clear() or "
                            "dict.__contains__(s, k))(data={'stack': {'cls': A}})), "
                            "m.get_plugin(os='zeta', chassis_type='stack')",
    "contains-clears-root-register": "put(m.plugins, 'zeta', D(__contains__=lambda s, k: m.plugins.clear() or "
                                     "dict.__contains__(s, k))(data={'stack': {'cls': A}})), "
                                     "m.register_plugin(B, os='zeta')",
    "chassis-map-set": "put(m.plugins['talvo'], 'data', {'single_rp'}), m.get_plugin(os='talvo', chassis_type='stack')",
    "chassis-map-set-hit": "put(m.plugins['talvo'], 'data', {'single_rp'}), m.get_plugin(os='talvo')",
    "chassis-map-set-unregister": "put(m.plugins['linux'], 'data', {'single_rp'}), "
                                  "m.unregister_plugin(os='linux', chassis_type='single_rp')",
    "chassis-map-list": "put(m.plugins['linux'], 'data', ['single_rp']), m.get_plugin(os='linux')",
    "chassis-map-contains-clears": "put(m.plugins['talvo'], 'data', D(__contains__=lambda s, k: "
                                   "m.plugins.clear() or True)(single_rp={'cls': B})), m.get_plugin(os='talvo')",
    "chassis-map-contains-drops-record": "(lambda d: (put(m.plugins['talvo'], 'data', d), "
                                         "m.unregister_plugin(os='talvo', chassis_type='dual_rp')))"
                                         "(D(__contains__=lambda s, k: s.clear() or True)(dual_rp={'cls': B}))",
    "getitem-lies": "put(m.plugins, 'zeta', D(__getitem__=lambda s, k: {'data': {'single_rp': {'cls': B}}})(s=1)), "
                    "m.get_plugin(os='zeta', series='s', model='m')",
    "setitem-raises-deep": "put(m.plugins, 'zeta', D(__setitem__=boom)()), m.register_plugin(A, 'zeta', 's', 'm')",
    "missing-hook": "put(m.plugins, 'zeta', D(__missing__=lambda s, k: {})()), m.get_plugin(os='zeta')",
    # managers whose __init__ never ran, and calls with another self
    "bare-register": "PM.__new__(PM).register_plugin(A, os='talvo')",
    "bare-get": "PM.__new__(PM).get_plugin(os='talvo')",
    "bare-repr": "repr(PM.__new__(PM))",
    "bare-chassis": "PM.__new__(PM).validate_chassis_type('single_rp')",
    "bare-print": "PM.__new__(PM).print_tree({'a': {'b': 1}})",
    "bare-then-init": "(lambda b: (b.__init__(), b.get_plugin(os='linux')))(PM.__new__(PM))",
    "unbound-get-int": "PM.get_plugin(5, os='x')",
    "unbound-print-int": "PM.print_tree(5, {'a': 1})",
    "unbound-print-leaf": "PM.print_tree(5, 'leaf', 'out')",
    "unbound-repr": "PM.__repr__(5)",
    "unbound-setter": "PM.plugins.fset(5, 1)",
    "unbound-series-none": "PM.validate_series(None, os='a', series='b')",
    "unbound-duck": "PM.get_plugin(types.SimpleNamespace(_plugins=m.plugins, validate_arguments=nothing), "
                    "'talvo', 't3z')",
    "unbound-duck-init": "(lambda d: (PM.__init__(d), sorted(vars(d))))(types.SimpleNamespace())",
    "setter-hostile": "setattr(m, 'plugins', O(__bool__=boom, __eq__=boom))",
    # the module's exception class rebound while a message is built
    "late-class-model": "m.get_plugin(os='talvo', model=rebinding(mod, str, 'm1'))",
    "late-class-series": "m.get_plugin(series=rebinding(mod, str, 'T'))",
    "late-class-os": "m.get_plugin(os=rebinding(mod, list, ['talvo']))",
    "late-class-os-list": "setattr(m, 'supported_os', rebinding(mod, list, [])), m.get_plugin(os=5)",
    "late-class-chassis": "m.get_plugin(os='talvo', chassis_type=rebinding(mod, str, 'quad_rp'))",
    "late-class-chassis-list": "setattr(m, 'chassis_type_list', rebinding(mod, list, [])), m.get_plugin(os='talvo')",
    "late-class-miss": "m.get_plugin(os='talvo', chassis_type=rebinding(mod, str, 'stack'))",
    "late-class-unregister": "m.unregister_plugin(os='talvo', chassis_type=rebinding(mod, str, 'stack'))",
    "late-class-refused-model": "setattr(m, 'validate_arguments', nothing), "
                                "m.register_plugin(A, os='talvo', model=rebinding(mod))",
    "late-class-refused-os": "setattr(m, 'validate_arguments', nothing), m.register_plugin(A, os=rebinding(mod))",
    "late-class-refused-os-list": "setattr(m, 'validate_arguments', nothing), "
                                  "setattr(m, 'supported_os', rebinding(mod, list, [])), m.register_plugin(A, os=5)",
    "late-class-refused-chassis": "m.register_plugin(A, os='linux', chassis_type=rebinding(mod))",
    "late-class-refused-chassis-list": "setattr(m, 'chassis_type_list', rebinding(mod, list, [])), "
                                       "m.register_plugin(A, os='linux', chassis_type=5)",
    # rendering
    "print-bool-raises": "m.print_tree(O(__bool__=boom))",
    "print-eq-raises": "m.print_tree(O(__eq__=boom))",
    "print-eq-empty": "m.print_tree(O(__eq__=lambda s, o: True))",
    "print-value-str-raises": "m.print_tree({'a': O(__str__=boom)})",
    "print-value-str-non-str": "m.print_tree({'a': O(__str__=lambda s: 5)})",
    "print-key-lt-raises": "m.print_tree({S('a', __lt__=boom): 1, 'b': 2})",
    "print-key-eq-raises": "m.print_tree({S('a', __eq__=boom): 1, 'b': 2})",
    "print-key-never-eq": "m.print_tree({'a': 1, S('b', __eq__=lambda s, o: False): {'x': 1, 'y': 2}})",
    "print-key-radd-raises": "m.print_tree({S('a', __radd__=boom): 1})",
    "print-keys-empty": "m.print_tree(D(keys=lambda s: [])(a=1))",
    "print-keys-missing": "m.print_tree(D(keys=lambda s: ['zz'])(a=1))",
    "print-getitem": "m.print_tree(D(__getitem__=lambda s, k: 'got ' + k)(a=1, b=2))",
    "print-len-zero": "m.print_tree(D(__len__=lambda s: 0)(a=1))",
    "print-str-clears-parent": "(lambda d: (put(d, 'a', O(__str__=lambda s: d.clear() or 'e')), m.print_tree(d)))"
                               "({'b': {'x': {'y': 1}}})",
    "print-str-clears-sibling": "(lambda d: (put(d, 'a', O(__str__=lambda s: d['b'].clear() or 'e')), "
                                "m.print_tree(d)))({'b': {'x': {'y': 1}, 'z': 2}})",
    "print-str-clears-tree": "put(m.plugins['talvo']['t3z']['m1']['data'], 'x', "
                             "O(__str__=lambda s: m.plugins.clear() or 'e')), repr(m)",
    "print-output-int": "m.print_tree('leaf', 5)",
    "print-output-add-raises": "m.print_tree({'a': 1}, S('h', __add__=boom))",
    "print-odd-keys": "m.print_tree({'\\ud800': 1, 'a\\x00b': 'x\\ny', '': None, '\\n': {'': 0}, "
                      "'\\xe9' * 50_000: 1})",
    "print-deep": "m.print_tree(nest(5000))",
    "print-property-clears": "(lambda d: clearing_print_tree(mod, d).print_tree(d))({'a': {'b': 1}, 'c': 2})",
    "repr-property-clears": "(lambda c: (c.plugins.update(m.plugins), repr(c)))(clearing_print_tree(mod))",
    "print-output-list": "(lambda out: (outcome(lambda: m.print_tree({'a': 1, 'b': {'c': 2}}, out)), out))(['h'])",
    "repr-deep": "put(m.plugins, 'zeta', nest(5000)), repr(m)",
    "repr-class-str-raises": "repr(type('M', (type,), {'__str__': boom})('Sub', (PM,), {})())",
    # discovery with fakes
    "walk-name-contains-raises": "p('pkgutil', O(walk_packages=lambda *a: [(0, S('x', __contains__=boom), 0)])), "
                                 "PM.discover_builtin_plugins()",
    "walk-endswith-odd": "p('pkgutil', O(walk_packages=lambda *a: "
                         "[(0, S('.plugins.b', endswith=lambda s, x: O(__bool__=boom)), 0)])), "
                         "PM.discover_builtin_plugins()",
    "entry-name-str-raises": "p('iter_entry_points', lambda group: [O(name=O(__str__=boom), module_name='m')]), "
                             "PM.discover_external_plugins()",
    "entry-name-str-raises-module-name-unread":
        "p('iter_entry_points', lambda group: [O(name=O(__str__=boom), module_name=property(boom))]), "
        "PM.discover_external_plugins()",
    # a dict subclass whose __eq__ fills the {} it is compared with must not change later renderings
    "print-eq-fills-empty-dict": "m.print_tree(D(__eq__=lambda s, o: o.update(poison=1) if o == {} else False)(a=1)), "
                                 "m.print_tree({'poison': 1}, S('x'))",
    "miss-message-str-once": "m.get_plugin(os='linux', chassis_type=O(__str__=nth(2, boom, S('weird'))))",
}


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


def run(mod, name):
    """The outcome of a case's last step: result or exception, the tree after it, and whether it left
    the tree alone (compared with the tree after the steps before it)."""
    m, keep, saved, before = populated(mod), [], [], None

    def patch(attr, value):
        saved.append((attr, getattr(mod, attr)))
        setattr(mod, attr, value)

    namespace = dict(globals(), m=m, mod=mod, p=patch, PM=mod.PluginManager, nest=nest)
    # a rebinding case may leave the module's class rebound: restored after it like the others
    patch("ConnectionInfraError", mod.ConnectionInfraError)
    body = ast.parse(CASES[name], mode="eval").body
    steps = [compile(ast.Expression(step), name, "eval") for step in getattr(body, "elts", [body])]
    try:
        for step in steps[:-1]:
            eval(step, namespace)
        tree = vars(m).get("_plugins")
        before = (describe(tree), nodes(tree, keep))
        result = ("ok", describe(eval(steps[-1], namespace)))
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
def in_children():
    """Every case run on the native module in child processes: {case: "ran", or how it killed one}."""
    return run_in_children(__file__, list(CASES))


@pytest.mark.parametrize("name", list(CASES))
def test_hostile_case(name, in_children):
    assert in_children.get(name) == "ran", "native module crashed:\n%s" % in_children.get(name)
    (result, tree, untouched), want = run(native, name), run(pure, name)
    assert result == want[0]
    assert untouched or not want[2], "the registry changed, nodes included, where it must not"
    assert tree == want[1]


@pytest.mark.parametrize("member", ["validate_arguments", "validate_model", "validate_series", "validate_os",
                                    "validate_chassis_type", "print_tree", "__repr__"])
def test_member_replaced_on_the_class_after_use(member, monkeypatch):
    """Replacing a member of the class itself takes effect at once, in subclasses too, and so does restoring it."""
    def calls(managers):
        return [outcome(call) for x in managers for call in
                (lambda: x.get_plugin(os="talvo").__name__, lambda: x.print_tree({"a": 1}), lambda: bool(repr(x)))]

    seen = []
    for mod in (native, pure):
        managers = [populated(mod), populated(type("Sub", (mod.PluginManager,), {}))]
        before = calls(managers)
        with monkeypatch.context() as patch:
            patch.setattr(mod.PluginManager, member, boom)
            seen.append((before, calls(managers), calls(managers)))
        seen[-1] += (calls(managers),)
    assert seen[0] == seen[1]
    assert seen[0][0] == seen[0][3] != seen[0][1]


DEEP = """
import os, resource, sys, threading
from sorvex.core.pluginmanager import PluginManager
if "asan" not in os.environ.get("LD_PRELOAD", ""):  # fail fast instead of swapping
    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))

class Override(PluginManager):
    def print_tree(self, data, output="plugin"):
        return super().print_tree(data, output)

sys.setrecursionlimit(100_000)
threading.stack_size(1 << 20)
tree = leaf = {}
for _ in range(200_000):
    leaf["k"] = leaf = {}

def render(cls, how):
    m = cls()
    try:
        m.print_tree(tree) if how == "print_tree" else m.plugins.update(tree) or repr(m)
    except RecursionError:
        print(cls.__name__, how, "RecursionError", flush=True)

for cls in (PluginManager, Override):
    for how in ("print_tree", "repr"):
        render(cls, how)
        thread = threading.Thread(target=render, args=(cls, how))
        thread.start()
        thread.join()
"""


def test_nesting_beyond_a_raised_recursion_limit():
    proc = run_python("-c", DEEP)
    expected = ["%s %s RecursionError" % (cls, how) for cls in ("PluginManager", "Override")
                for how in ("print_tree", "print_tree", "repr", "repr")]
    assert (proc.returncode, proc.stdout.splitlines()) == (0, expected), proc.stderr[-2000:]


if __name__ == "__main__":
    def ran(name):
        run(native, name)
        return "ran"

    report_each(ran, sys.argv[1:])


# Outside code that runs in the middle of a call and frees what the call is
# using: a check removed from the class by a container's own `in` or by a
# finalizer, an instance attribute or a tree node dropped by a colliding
# key's __eq__. Each must end in the oracle's outcome, never a crash.
FREEING = {
    "check-removed-by-contains": """
        class Evil(list):
            def __contains__(self, x):
                del PluginManager.validate_chassis_type
                spray.extend(b"A" * 79 for _ in range(2000))
                return False
        m = PluginManager()
        m.chassis_type_list = Evil(["single_rp"])
        report(lambda: m.validate_arguments("talvo", None, None, "bogus"))
        """,
    "check-removed-by-finalizer": """
        import gc
        m = PluginManager()
        m.validate_os("talvo")
        class Trap:
            def __del__(self):
                del PluginManager.validate_os
                spray.extend(b"A" * 79 for _ in range(2000))
        gc.disable()
        t = Trap(); t.self = t; del t
        keep = [{} for _ in range(200)]
        gc.set_threshold(1)
        gc.enable()
        report(lambda: m.validate_arguments("foo", None, None, "single_rp"))
        """,
    "state-dropped-by-colliding-key": """
        m = PluginManager()
        d = m.__dict__
        saved = d.pop("chassis_type_list")
        armed = [True]
        class Evil:
            def __hash__(self):
                return hash("chassis_type_list")
            def __eq__(self, other):
                if armed and armed.pop():
                    del d["_plugins"]
                    spray.extend(b"A" * 31 for _ in range(1000))
                    d["chassis_type_list"] = saved
                return False
        d[Evil()] = 0
        report(lambda: m.get_plugin(os="talvo"))
        """,
    "tree-dropped-while-naming-a-class": """
        armed = []
        class Evil:
            def __hash__(self):
                return hash("__module__")
            def __eq__(self, other):
                if armed and armed.pop():
                    del tree["b"]
                    spray.extend(bytearray(b"B" * 400) for _ in range(1000))
                return False
        Leaf = type("Leaf", (), {Evil(): 0})
        tree = {"a": {"cls": Leaf}, "b": {"k%d" % i: {"v": "x" * 40} for i in range(50)}}
        armed.append(True)
        report(lambda: PluginManager().print_tree(tree))
        """,
}


FREEING["mro-replaced-while-classifying"] = """
    import gc
    class Key:
        armed = False
        def __hash__(self):
            return hash("validate_arguments")
        def __eq__(self, other):
            if Key.armed:
                Key.armed = False
                Sub.__bases__ = (PluginManager,)
                gc.collect()
                spray.extend(type("J%d" % i, (), {}) for i in range(50))
            return False
    class Mid(PluginManager):
        pass
    Sub = type("Sub", (Mid,), {Key(): 1})
    del Mid
    m = Sub()
    getattr(m, "validate_arguments")
    Key.armed = True
    report(lambda: m.validate_arguments("linux", None, None, None))
    """
# Allocation failures while rendering (not under AddressSanitizer, which
# needs far more address space than the limit leaves).
FREEING["render-buffer-cannot-grow"] = """
    tree = {"a": "x" * (512 << 20), "b": "y"}
    if limit_memory(256 << 20):
        report(lambda: PluginManager().print_tree(tree))
    """
FREEING["render-size-hint-cannot-be-had"] = """
    m = PluginManager()
    tree = {"a": "x" * (48 << 20)}
    m.print_tree(tree)
    tree["a"] = "y"
    if limit_memory(8 << 20):
        report(lambda: m.print_tree(tree))
    """


@pytest.mark.parametrize("case", list(FREEING))
def test_outside_code_cannot_free_what_a_call_uses(case):
    outcomes = []
    for module in ("sorvex.core.pluginmanager", "pure_plugin_manager"):
        proc = run_python("-c", textwrap.dedent(f"""
            import sys
            sys.path.insert(0, {str(BENCHMARKS)!r})
            from {module} import PluginManager
            spray = []
            def report(call):
                try:
                    result = call()
                    print("result", type(result).__name__)
                except Exception as error:
                    print("raised", type(error).__name__)
            def limit_memory(extra):
                # Leaves `extra` bytes of address space; not under AddressSanitizer,
                # which needs far more than that.
                import os, resource
                if "asan" in os.environ.get("LD_PRELOAD", ""):
                    return False
                used = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
                resource.setrlimit(resource.RLIMIT_AS, (used + extra,) * 2)
                return True
            """) + textwrap.dedent(FREEING[case]))
        assert proc.returncode == 0, f"{module} crashed ({proc.returncode}): {proc.stderr[-2000:]}"
        outcomes.append(proc.stdout)
    assert outcomes[0] == outcomes[1]


def test_undoing_a_registration_stops_at_a_base_exception(impl, monkeypatch):
    class Halt(BaseException):
        pass

    class Root(dict):
        calls = 0

        def keys(self):
            Root.calls += 1
            if Root.calls == 2:  # the undo's look at the node the walk added
                raise Halt
            return dict.keys(self)

    monkeypatch.setattr(impl, "getfile", lambda cls: "/x.py")
    m = impl.PluginManager()
    m._plugins = Root()
    m.validate_arguments = nothing
    with pytest.raises(Halt) as raised:
        m.register_plugin(A, os="talvo", series=Unhashable("t3z"))  # the walk fails one level down
    assert isinstance(raised.value.__context__, TypeError)
    assert dict(m._plugins) == {"talvo": {}}


GC_CYCLE = """
import gc, importlib.util, weakref
spec = importlib.util.find_spec("sorvex.core.pluginmanager")
module = importlib.util.module_from_spec(spec)
spec.loader.exec_module(module)
which = "%s"
method = module.PluginManager.__dict__["get_plugin"]
if which == "discovery":
    method = module.PluginManager.__dict__["discover_builtin_plugins"].__func__
seen = set()  # what the calls did (on 3.14 on, the collector may free the method before the late call)
def call(m):
    try:
        m(None, bogus=1) if which == "signature" else m()
        seen.add("returned")
    except NameError:  # the module's namespace was cleared first: as for a Python module
        seen.add("returned")
    except Exception as error:
        seen.add(str(error).replace("PluginManager.", ""))  # 3.10 on name the class too
call(method)  # the module's functions are made now
class Late:
    def __del__(self):
        m = self.ref()
        if m is not None:
            call(m)
class Trigger:
    def __del__(self):
        self.late = Late()
        self.late.ref = weakref.ref(self.method)
module.self = module
t = Trigger()
t.late, t.method, t.self = None, method, t
del t, module, method
gc.collect()
print(*seen)
"""
GC_CYCLE_SIGNATURE = "get_plugin() got an unexpected keyword argument 'bogus'\n"


# Each runs in a fresh interpreter: the module's lazily made helpers and the
# interpreter's type cache must start untouched, and a failure may be a crash.
FRESH = {
    # sys._clear_type_cache() numbers the version tags afresh before 3.11: a
    # class changed after a clear may get the tag it had before.
    "override after a type cache clear": ("""
import sys
from sorvex.core.pluginmanager import PluginManager
class Sub(PluginManager):
    pass
seen = []
def validate_os(self, *args, **kwargs):
    seen.append(args)
    return PluginManager.validate_os(self, *args, **kwargs)
from json import JSONDecoder
m = Sub()
m.register_plugin(JSONDecoder, os="talvo")
for _ in range(3):  # the same steps after each clear, so that Sub gets the same tag
    sys._clear_type_cache(); Sub.unrelated = validate_os; m.get_plugin(os="talvo")
    sys._clear_type_cache(); Sub.validate_os = validate_os; m.get_plugin(os="talvo")
    del Sub.validate_os, Sub.unrelated
print(len(seen))
""", "3"),
    # Before 3.10 the method type cannot be made immutable.
    "a __new__ given to the method type": ("""
from sorvex.core.pluginmanager import PluginManager
T = type(PluginManager.__dict__["get_plugin"])
try:
    T.__new__ = lambda cls: object.__new__(cls)
except TypeError:
    print("TypeError")
else:
    try:
        repr(T())
    except TypeError:
        print("TypeError")
""", "TypeError"),
    # The first use from a restricted exec must not leave the module's own
    # helpers with that exec's builtins.
    "first use from a restricted exec": ("""
from sorvex.core.pluginmanager import PluginManager
m = PluginManager()
def outcome(run):
    try:
        run()
        return "ok"
    except Exception as error:
        return type(error).__name__
calls = ("m.discover_builtin_plugins()", "m.get_plugin(1, 2, 3, 4, 5)")
print(*[outcome(lambda: exec(call, {"__builtins__": {}, "m": m})) for call in calls])
import sorvex
print(sorted(sorvex.__plugin_manager__.plugins))
print(*[outcome(lambda: exec(call, {"m": m})) for call in calls])
""", "ok TypeError\n['linux', 'talvo']\nok TypeError"),
    # A finalizer run while a fresh module dies in a cycle calls its methods:
    # the module's own Python functions must still be whole.
    "argument error while the module's cycle is collected": (GC_CYCLE % "signature", GC_CYCLE_SIGNATURE),
    "discovery while the module's cycle is collected": (GC_CYCLE % "discovery", "returned"),
    # A finalizer rebinds the module's __builtins__ while the signature function
    # is being made with them (under ASan, a freed dict would be reported).
    "builtins rebound while a signature function is made": ("""
import builtins, gc
import sorvex.core.pluginmanager as module
module.__builtins__ = dict(builtins.__dict__)
class Rebinds:
    def __del__(self):
        module.__builtins__ = builtins
m = module.PluginManager()
call = m.get_plugin
gc.disable(); gc.set_threshold(100)
garbage = Rebinds(); garbage.cycle = garbage; del garbage
hold = [{} for _ in range(200)]
gc.enable()
for _ in range(2):
    try:
        call(bogus=1)
    except TypeError as error:
        print(str(error).replace("PluginManager.", ""))
""", GC_CYCLE_SIGNATURE * 2),
    # Discovery's Python functions can be reached through a traceback; one
    # made to return something else gets an error, not a crash.
    "a discovery function tampered through a traceback": ("""
import pkgutil
from sorvex.core import pluginmanager as module
module.pkgutil = type("Walks", (), {"walk_packages": staticmethod(lambda *args: [(1, 2)])})
try:
    module.PluginManager.discover_builtin_plugins()
except ValueError as error:
    tb = error.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    tb.tb_frame.f_globals["plugin_package_path"].__code__ = (lambda: 1).__code__
module.pkgutil = pkgutil
try:
    module.PluginManager.discover_builtin_plugins()
except SystemError:
    print("SystemError")
""", "SystemError"),
    # Before 3.11 the module looks up a private type of its own after a type
    # cache clear; code that finds it and makes that lookup move the manager
    # to another class, and free the old one, must not reach freed memory.
    "a tampered class cache witness": ("""
import gc, sys
from sorvex.core.pluginmanager import PluginManager
witness = [t for t in object.__subclasses__() if t.__name__ == "tag_witness"]
class Old(PluginManager):
    pass
class New(PluginManager):
    pass
from json import JSONDecoder
m = Old()
m.register_plugin(JSONDecoder, os="linux")
m.get_plugin(os="linux")
class Moves:
    def __get__(self, obj, owner):
        global Old
        if Old is not None:
            m.__class__, Old = New, None
            gc.collect()
            Moves.keep = [bytes(n) for n in range(900, 1000) for _ in range(4)]
for w in witness:
    w.tagged = Moves()
sys._clear_type_cache()
print(m.get_plugin(os="linux").__name__)
""", "JSONDecoder"),
}


@pytest.mark.parametrize("name", list(FRESH))
def test_in_a_fresh_interpreter(name):
    code, expected = FRESH[name]
    proc = run_python("-c", code)
    assert (proc.returncode, proc.stdout.strip()) == (0, expected.strip()), proc.stderr
