"""Registration, lookup and removal of plugins, on both implementations."""
import copy
import inspect

import pytest


class A: pass  # noqa: E701
class B: pass  # noqa: E701
class C: pass  # noqa: E701
class D: pass  # noqa: E701


HERE = inspect.getfile(A)
NOT_FOUND = "Plugin data not found"


def rec(cls, path=HERE):
    return {"cls": cls, "path": path}


def k(*args, **kwargs):
    return args, kwargs


def miss(path, chassis="single_rp"):
    return "Plugin data not found for (" + path + "), type: " + chassis + " "


def order(tree):
    """Keys in insertion order, nested, so that layout and order are compared too."""
    return [(key, order(v)) if isinstance(v, dict) else key for key, v in tree.items()]


def nodes(tree):
    return [tree] + [n for v in tree.values() if isinstance(v, dict) for n in nodes(v)]


class Frozen:
    """Proves that a tree was left exactly as it was: same content, same dict objects."""

    def __init__(self, tree):
        self.tree, self.copy, self.nodes = tree, copy.deepcopy(tree), nodes(tree)

    def check(self):
        assert self.tree == self.copy and order(self.tree) == order(self.copy)
        after = nodes(self.tree)
        assert len(after) == len(self.nodes) and all(a is b for a, b in zip(after, self.nodes))


def expect(impl, fn, call, expected):
    """Runs fn(*args, **kwargs): a str is a ConnectionInfraError message, an exception class is raised,
    anything else is the very object returned."""
    if isinstance(expected, str):
        with pytest.raises(impl.ConnectionInfraError) as info:
            fn(*call[0], **call[1])
        assert type(info.value) is impl.ConnectionInfraError and info.value.args == (expected,)
    elif isinstance(expected, type) and issubclass(expected, BaseException):
        with pytest.raises(expected):
            fn(*call[0], **call[1])
    else:
        assert fn(*call[0], **call[1]) is expected


REGISTRATIONS = {
    "os only": ([k(A, os="talvo")], {"talvo": {"data": {"single_rp": rec(A)}}}),
    "three levels": (
        [k(A, os="talvo"), k(B, os="talvo", series="t3z"),
         k(C, os="talvo", series="t3z", model="m1", chassis_type="dual_rp")],
        {"talvo": {"data": {"single_rp": rec(A)},
                   "t3z": {"data": {"single_rp": rec(B)}, "m1": {"data": {"dual_rp": rec(C)}}}}},
    ),
    "deep first, positional": (
        [k(C, "talvo", "t3z", "m1", "stack"), k(A, "talvo")],
        {"talvo": {"t3z": {"m1": {"data": {"stack": rec(C)}}}, "data": {"single_rp": rec(A)}}},
    ),
    "replacement": ([k(A, os="talvo"), k(B, os="talvo")], {"talvo": {"data": {"single_rp": rec(B)}}}),
    "two chassis types": (
        [k(A, os="talvo"), k(A, os="talvo", chassis_type="dual_rp")],
        {"talvo": {"data": {"single_rp": rec(A), "dual_rp": rec(A)}}},
    ),
    "linux keeps any chassis type": (
        [k(A, os="linux", chassis_type=None), k(B, os="linux", chassis_type="Odd"),
         k(C, os="linux", chassis_type=("x", "y")), k(D, os="linux", chassis_type=7)],
        {"linux": {"data": {None: rec(A), "Odd": rec(B), ("x", "y"): rec(C), 7: rec(D)}}},
    ),
    "empty series": ([k(A, os="talvo", series="")], {"talvo": {"": {"data": {"single_rp": rec(A)}}}}),
    "empty model": ([k(A, "talvo", "t3z", "")], {"talvo": {"t3z": {"": {"data": {"single_rp": rec(A)}}}}}),
    "empty model without series": ([k(A, os="talvo", model="")],
                                   {"talvo": {None: {"": {"data": {"single_rp": rec(A)}}}}}),
    "os named data": ([k(A, os="data")], {"data": {"data": {"single_rp": rec(A)}}}),
    "os outside the list": ([k(A, "zeta-mocked", "1")], {"zeta-mocked": {"1": {"data": {"single_rp": rec(A)}}}}),
    "a module": ([k(inspect, os="talvo")], {"talvo": {"data": {"single_rp": rec(inspect, inspect.__file__)}}}),
}


@pytest.mark.parametrize("calls, expected", REGISTRATIONS.values(), ids=REGISTRATIONS)
def test_register(manager, calls, expected):
    tree = manager.plugins
    for args, kwargs in calls:
        assert manager.register_plugin(*args, **kwargs) is None
    assert manager.plugins is tree and tree == expected and order(tree) == order(expected)


def test_register_makes_new_records(manager):
    manager.register_plugin(A, os="talvo")
    chassis_map = manager.plugins["talvo"]["data"]
    old = chassis_map["single_rp"]
    manager.register_plugin(A, os="talvo")
    manager.register_plugin(A, os="talvo", chassis_type="dual_rp")
    assert manager.plugins["talvo"]["data"] is chassis_map
    assert chassis_map["single_rp"] == old and chassis_map["single_rp"] is not old
    assert chassis_map["single_rp"] is not chassis_map["dual_rp"]


def test_getfile_is_late_bound_and_called_before_the_walk(manager, impl, monkeypatch):
    seen = []
    monkeypatch.setattr(impl, "getfile", lambda *a, **kw: seen.append((a, kw, copy.deepcopy(manager.plugins))) or "/p")
    manager.register_plugin(A, os="talvo", series="t3z")
    assert seen == [((A,), {}, {})]
    assert manager.plugins == {"talvo": {"t3z": {"data": {"single_rp": rec(A, "/p")}}}}


@pytest.fixture
def populated(manager):
    manager.register_plugin(A, os="talvo")
    manager.register_plugin(B, os="talvo", series="t3z", chassis_type="dual_rp")
    return manager


# (call, exception, keep validation?)
FAILED_REGISTRATIONS = [
    (k(A, os="talvo", series="T3Z"), None, True),
    (k(A, series="t3z"), None, True),
    (k(int, os="new", series="s", model="m"), TypeError, True),
    (k(int, os="talvo", series="t3z"), TypeError, True),
    (k(A, os=["x"]), TypeError, False),
    (k(A, os="new", series=["x"]), TypeError, False),
    (k(A, os="talvo", series="new", model={}), TypeError, False),
    (k(A, os="new", series="s", chassis_type=[]), TypeError, False),
    (k(A, os="talvo", series="t3z", chassis_type=[]), TypeError, False),
    (k(A, os="talvo", series="n", model="m", chassis_type={}), TypeError, False),
]


@pytest.mark.parametrize("call, error, validate", FAILED_REGISTRATIONS)
def test_failed_registration_leaves_the_tree_as_it_was(populated, impl, call, error, validate):
    if not validate:
        populated.validate_arguments = lambda *args: None
    frozen = Frozen(populated.plugins)
    with pytest.raises(error or impl.ConnectionInfraError):
        populated.register_plugin(*call[0], **call[1])
    frozen.check()


def test_getfile_error_passes_unchanged(populated, impl, monkeypatch):
    boom = LookupError("no file")

    def fail(cls):
        raise boom

    monkeypatch.setattr(impl, "getfile", fail)
    frozen = Frozen(populated.plugins)
    with pytest.raises(LookupError) as info:
        populated.register_plugin(C, os="talvo", series="new", model="m1")
    assert info.value is boom
    frozen.check()


def test_subclass_without_validation_stores_anything(impl):
    class Lax(impl.PluginManager):
        def validate_arguments(self, os, series, model, chassis_type):
            pass

    m = Lax()
    m.register_plugin(A, None, 5, "M", None)
    assert m.plugins == {None: {5: {"M": {"data": {None: rec(A)}}}}}


@pytest.fixture
def lookup_tree(manager):
    manager.register_plugin(A, os="talvo")
    manager.register_plugin(B, os="talvo", series="t3z", chassis_type="dual_rp")
    manager.register_plugin(C, os="talvo", series="t3z", model="m1", chassis_type="stack")
    manager.register_plugin(D, os="talvo", series="t4", model="m2")
    manager.register_plugin(A, os="linux", chassis_type=None)
    return manager


LOOKUPS = [
    (k(os="talvo"), A),
    (k("talvo", None, None, "single_rp"), A),
    (k(os="talvo", series="t3z", chassis_type="dual_rp"), B),
    (k(os="talvo", series="t3z"), miss("talvo/t3z")),
    (k(os="talvo", series="t9"), A),
    (k(os="talvo", series=""), A),
    (k(os="talvo", series="t9", model="m9"), A),
    (k(os="talvo", series="t3z", model="m9", chassis_type="dual_rp"), B),
    (k(os="talvo", series="t3z", model="m9", chassis_type="stack"), miss("talvo/t3z/m9", "stack")),
    (k(os="talvo", series="t3z", model="m1", chassis_type="stack"), C),
    (k(os="talvo", series="t3z", model="m1"), miss("talvo/t3z/m1")),
    (k(os="talvo", series="t3z", model="m1", chassis_type="dual_rp"), miss("talvo/t3z/m1", "dual_rp")),
    (k(os="talvo", series="t4"), miss("talvo/t4")),
    (k(os="talvo", series="t4", model="m2"), D),
    (k(os="talvo", chassis_type="stack"), miss("talvo", "stack")),
    (k(os="zeta"), miss("zeta")),
    (k(os="linux", chassis_type=None), A),
    (k(os="linux", chassis_type="stack"), miss("linux", "stack")),
    (k(os="talvo", model=""), A),
    (k(os="talvo", model="", chassis_type="stack"), TypeError),
    (k(os="talvo", model="m1"), "OS and Series are required for Model: m1"),
    (k(), "OS should be one of these ['talvo', 'linux'] , but got None"),
]


@pytest.mark.parametrize("call, expected", LOOKUPS)
def test_get_plugin(lookup_tree, impl, call, expected):
    frozen = Frozen(lookup_tree.plugins)
    expect(impl, lookup_tree.get_plugin, call, expected)
    frozen.check()


def test_lookup_sees_direct_changes_and_honours_keys(manager, impl):
    class HiddenKeys(dict):
        def keys(self):
            return []

    manager.plugins["talvo"] = {"data": {"single_rp": rec(B)}}
    assert manager.get_plugin(os="talvo") is B
    manager.plugins["talvo"] = HiddenKeys({"data": {"single_rp": rec(B)}})
    expect(impl, manager.get_plugin, k(os="talvo"), miss("talvo"))
    expect(impl, manager.unregister_plugin, k(os="talvo"), NOT_FOUND)


@pytest.fixture
def removal_tree(manager):
    manager.register_plugin(A, os="talvo")
    manager.register_plugin(B, os="talvo", chassis_type="dual_rp")
    manager.register_plugin(C, os="talvo", series="t3z")
    return manager


T3Z = {"data": {"single_rp": rec(C)}}
UNREGISTERS = [
    (k(os="talvo", chassis_type="dual_rp"), {"talvo": {"data": {"single_rp": rec(A)}, "t3z": T3Z}}),
    (k("talvo", None, None, "single_rp"), {"talvo": {"data": {"dual_rp": rec(B)}, "t3z": T3Z}}),
    (k(os="talvo"), {"talvo": {"t3z": T3Z}}),
    (k(os="talvo", series="t3z", chassis_type="single_rp"),
     {"talvo": {"data": {"single_rp": rec(A), "dual_rp": rec(B)}, "t3z": {"data": {}}}}),
    (k(os="talvo", series="t3z"), {"talvo": {"data": {"single_rp": rec(A), "dual_rp": rec(B)}, "t3z": {}}}),
    (k(os="talvo", series="t9"), NOT_FOUND),
    (k(os="talvo", series="t3z", model="m9"), NOT_FOUND),
    (k(os="talvo", series=""), NOT_FOUND),
    (k(os="zeta"), NOT_FOUND),
    (k(os="talvo", chassis_type="stack"), NOT_FOUND + " for stack"),
    (k(os="talvo", chassis_type="bogus"), NOT_FOUND + " for bogus"),
    (k(os="talvo", chassis_type=5), NOT_FOUND + " for 5"),
    (k(os="talvo", chassis_type=("a", "b")), NOT_FOUND + " for ('a', 'b')"),
    (k(os="talvo", chassis_type=("a",)), NOT_FOUND + " for ('a',)"),
    (k(os="talvo", model="m1"), "OS and Series are required for Model: m1"),
    (k(), "OS should be one of these ['talvo', 'linux'] , but got None"),
]


@pytest.mark.parametrize("call, expected", UNREGISTERS)
def test_unregister(removal_tree, impl, call, expected):
    if isinstance(expected, dict):
        assert removal_tree.unregister_plugin(*call[0], **call[1]) is None
        assert removal_tree.plugins == expected
    else:
        frozen = Frozen(removal_tree.plugins)
        expect(impl, removal_tree.unregister_plugin, call, expected)
        frozen.check()


def test_unregister_never_prunes(removal_tree, impl):
    m = removal_tree
    t3z = m.plugins["talvo"]["t3z"]
    for fn, call, expected in [
        (m.unregister_plugin, k(os="talvo", series="t3z", chassis_type="single_rp"), None),
        (m.unregister_plugin, k(os="talvo", series="t3z", chassis_type="single_rp"), NOT_FOUND + " for single_rp"),
        (m.get_plugin, k(os="talvo", series="t3z"), miss("talvo/t3z")),
        (m.unregister_plugin, k(os="talvo", series="t3z"), None),
        (m.get_plugin, k(os="talvo", series="t3z"), miss("talvo/t3z")),
        (m.unregister_plugin, k(os="talvo", series="t3z"), NOT_FOUND),
        (m.unregister_plugin, k(os="talvo"), None),
        (m.unregister_plugin, k(os="talvo"), NOT_FOUND),
        (m.get_plugin, k(os="talvo"), miss("talvo")),
    ]:
        expect(impl, fn, call, expected)
    assert m.plugins == {"talvo": {"t3z": {}}} and m.plugins["talvo"]["t3z"] is t3z
