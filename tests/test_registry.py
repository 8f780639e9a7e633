"""Registration, lookup and removal of plugins, on both implementations."""
import copy
import gc
import inspect
import weakref

import pytest
from support import (A, B, C, D, IMPLEMENTATIONS, MODEL_NEEDS, NOT_FOUND, Unhashable, chassis_msg, layout, miss,
                     native, nodes, os_msg, outcome)

HERE = inspect.getfile(A)


def rec(cls, path=HERE):
    return {"cls": cls, "path": path}


def k(*args, **kwargs):
    return args, kwargs


class Frozen:
    """Proves that a tree was left exactly as it was: same content and order, same dicts, keys and values."""

    def __init__(self, tree):
        self.tree, self.copy, self.keep = tree, copy.deepcopy(tree), []
        self.nodes = nodes(tree, self.keep)

    def check(self):
        assert self.tree == self.copy and layout(self.tree) == layout(self.copy)
        assert nodes(self.tree, self.keep) == self.nodes


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
    "linux keeps any str chassis type": (
        [k(A, os="linux", chassis_type="Odd"), k(B, os="linux", chassis_type=""), k(C, "linux", "s", None, "data")],
        {"linux": {"data": {"Odd": rec(A), "": rec(B)}, "s": {"data": {"data": rec(C)}}}},
    ),
    "empty series": ([k(A, os="talvo", series="")], {"talvo": {"": {"data": {"single_rp": rec(A)}}}}),
    "empty model": ([k(A, "talvo", "t3z", "")], {"talvo": {"t3z": {"": {"data": {"single_rp": rec(A)}}}}}),
    "os named data": ([k(A, os="data")], {"data": {"data": {"single_rp": rec(A)}}}),
    "os outside the list": ([k(A, "zeta-mocked", "1")], {"zeta-mocked": {"1": {"data": {"single_rp": rec(A)}}}}),
    "a module": ([k(inspect, os="talvo")], {"talvo": {"data": {"single_rp": rec(inspect, inspect.__file__)}}}),
}


@pytest.mark.parametrize("calls, expected", REGISTRATIONS.values(), ids=REGISTRATIONS)
def test_register(manager, calls, expected):
    tree = manager.plugins
    for args, kwargs in calls:
        assert manager.register_plugin(*args, **kwargs) is None
    assert manager.plugins is tree and tree == expected and layout(tree) == layout(expected)


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
    (k(A, os=Unhashable("x")), TypeError, False),
    (k(A, os="new", series=Unhashable("x")), TypeError, False),
    (k(A, os="talvo", series="new", model=Unhashable("m")), TypeError, False),
    (k(A, os="new", series="s", chassis_type=Unhashable("c")), TypeError, False),
    (k(A, os="talvo", series="t3z", chassis_type=Unhashable("c")), TypeError, False),
    (k(A, os="talvo", series="n", model="m", chassis_type=Unhashable("c")), TypeError, False),
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


# Descriptions whose keys the renderer could not label: refused after the checks
# (kept, or relaxed by a subclass), before getfile and before the tree is touched.
# (call, message, keep validation?)
REFUSED_REGISTRATIONS = [
    (k(A, os="talvo", model=""), MODEL_NEEDS, True),
    (k(A, os="linux", model="", chassis_type="stack"), MODEL_NEEDS, True),
    (k(A, os="linux", chassis_type=None), chassis_msg("None"), True),
    (k(A, os="linux", series="t3z", chassis_type=5), chassis_msg("5"), True),
    (k(A, "linux", "t3z", "m1", ("single_rp",)), chassis_msg("('single_rp',)"), True),
    (k(A, os="talvo", model=""), MODEL_NEEDS, False),
    (k(A, os="talvo", model=5), MODEL_NEEDS + "5", False),
    (k(A, os="talvo", series="t3z", model=5), "Model should be of type str", False),
    (k(A, os="talvo", series=b"t3z"), "Series should be of type str", False),
    (k(A, os=None), os_msg("None"), False),
    (k(A, os=("talvo",)), os_msg("('talvo',)"), False),
    (k(A, os="talvo", chassis_type=None), chassis_msg("None"), False),
    (k(A, os="zeta", series="s", chassis_type=7), chassis_msg("7"), False),
    # the first refusal that applies, in this order: model, series, OS, chassis type
    (k(A, os=5, series=None, model=5, chassis_type=5), MODEL_NEEDS + "5", False),
    (k(A, os=5, series=5, model=5, chassis_type=5), "Model should be of type str", False),
    (k(A, os=5, series=5, chassis_type=5), "Series should be of type str", False),
    (k(A, os=5, chassis_type=5), os_msg("5"), False),
]


def described(call):
    args, kwargs = call
    return ",".join([repr(a) for a in args[1:]] + ["%s=%r" % item for item in kwargs.items()])


@pytest.mark.parametrize("call, message, validate", REFUSED_REGISTRATIONS,
                         ids=[described(c) + ("" if v else ",lax") for c, _, v in REFUSED_REGISTRATIONS])
def test_registration_refuses_keys_the_renderer_cannot_label(populated, impl, monkeypatch, call, message, validate):
    if not validate:
        populated.validate_arguments = lambda *args: None
    monkeypatch.setattr(impl, "getfile", lambda cls: pytest.fail("getfile called"))
    text, frozen = repr(populated), Frozen(populated.plugins)
    expect(impl, populated.register_plugin, call, message)
    frozen.check()
    assert repr(populated) == text


def test_subclass_without_validation_stores_any_str_description(impl):
    class Lax(impl.PluginManager):
        def validate_arguments(self, os, series, model, chassis_type):
            pass

    m = Lax()
    m.register_plugin(A, "", "T3Z", "data", "nonsense")
    m.register_plugin(B, "linux", "", chassis_type="")
    assert m.plugins == {"": {"T3Z": {"data": {"data": {"nonsense": rec(A)}}}}, "linux": {"": {"data": {"": rec(B)}}}}
    expect(impl, m.register_plugin, k(A, None, 5, "M", None), "Series should be of type str")


@pytest.fixture
def lookup_tree(manager):
    manager.register_plugin(A, os="talvo")
    manager.register_plugin(B, os="talvo", series="t3z", chassis_type="dual_rp")
    manager.register_plugin(C, os="talvo", series="t3z", model="m1", chassis_type="stack")
    manager.register_plugin(D, os="talvo", series="t4", model="m2")
    manager.plugins["linux"] = {"data": {None: rec(A)}}  # registration refuses a chassis type of None
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


def test_lookup_sees_direct_changes_and_honours_keys_on_the_walk(manager, impl):
    class HiddenKeys(dict):
        def keys(self):
            return []

    manager.plugins["talvo"] = {"data": {"single_rp": rec(B)}}
    assert manager.get_plugin(os="talvo") is B
    # the walk asks keys(); whether "data" and the chassis type are there is asked of the mapping
    manager.plugins["talvo"] = HiddenKeys({"data": HiddenKeys({"single_rp": rec(B)}), "t3z": {"data": {}}})
    assert manager.get_plugin(os="talvo", series="t3z") is B
    expect(impl, manager.unregister_plugin, k(os="talvo", series="t3z"), NOT_FOUND)
    assert manager.unregister_plugin(os="talvo", chassis_type="single_rp") is None
    assert manager.plugins["talvo"] == {"data": {}, "t3z": {"data": {}}}
    manager.plugins["zeta"] = HiddenKeys()
    manager.register_plugin(A, os="zeta")
    manager.register_plugin(B, os="zeta", chassis_type="stack")
    assert manager.plugins["zeta"] == {"data": {"single_rp": rec(A), "stack": rec(B)}}


def test_linux_record_without_chassis_type_is_still_found_and_removed(manager, impl):
    manager.plugins["linux"] = {"data": {None: rec(A), "single_rp": rec(B)}}
    assert manager.get_plugin(os="linux", chassis_type=None) is A
    assert manager.get_plugin(os="linux") is B
    assert manager.unregister_plugin(os="linux", chassis_type=None) is None
    assert manager.plugins == {"linux": {}}
    expect(impl, manager.get_plugin, k(os="linux", chassis_type=None), miss("linux", "None"))


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


def _refuse(**kwargs):
    raise ValueError(sorted(kwargs))


# Changes made to a manager between two lookups: the second lookup must see each.
CHANGES = {
    "check set": lambda m: setattr(m, "validate_os", _refuse),
    "check put in __dict__": lambda m: m.__dict__.__setitem__("validate_arguments", _refuse),
    "check set, then deleted": lambda m: (setattr(m, "validate_os", _refuse), delattr(m, "validate_os")),
    "tree replaced": lambda m: setattr(m, "_plugins", {"talvo": {"data": {"single_rp": {"cls": B}}}}),
    "tree emptied in place": lambda m: m.plugins.clear(),
    "OS list replaced": lambda m: setattr(m, "supported_os", ["linux"]),
    "chassis list replaced by update": lambda m: vars(m).update(chassis_type_list=["dual_rp"]),
    "state deleted": lambda m: delattr(m, "supported_os"),
    "__dict__ cleared": lambda m: vars(m).clear(),
    "__dict__ replaced": lambda m: setattr(m, "__dict__", dict(vars(m), validate_os=_refuse)),
    "non-str key added": lambda m: vars(m).__setitem__(1, 2),
}


@pytest.mark.parametrize("change", sorted(CHANGES))
def test_a_change_between_lookups_is_seen(change):
    results = []
    for impl in (IMPLEMENTATIONS["native"], IMPLEMENTATIONS["pure"]):
        m = impl.PluginManager()
        m.register_plugin(A, os="talvo")
        first = [outcome(lambda: m.get_plugin(os="talvo")) for _ in range(3)]
        CHANGES[change](m)
        results.append((first, [outcome(lambda: m.get_plugin(os="talvo")) for _ in range(3)]))
    assert results[0] == results[1]
    assert results[0][0] == [("ok", A)] * 3


class _Node(dict):
    """A dict that can be weakly referenced."""


def _store_plugins(m, tree):
    m._plugins = tree  # run often, this store is specialised


STORES = {
    "setattr": lambda m, tree: setattr(m, "_plugins", tree),
    "specialised store": _store_plugins,
}


@pytest.mark.parametrize("copied", [False, True], ids=["dict as made", "dict of a deep copy"])
@pytest.mark.parametrize("store", sorted(STORES))
def test_a_lookup_run_while_the_old_tree_goes_sees_the_new_one(copied, store):
    # The old tree's end runs a lookup in the middle of the store that replaces it.
    results = []
    for impl in (IMPLEMENTATIONS["native"], IMPLEMENTATIONS["pure"]):
        m = impl.PluginManager()
        m = copy.deepcopy(m) if copied else m
        m.register_plugin(A, os="talvo")
        for _ in range(200):
            STORES[store](m, m._plugins)
        seen = []
        old = {"talvo": {"data": {"single_rp": {"cls": A}}}, "zz": _Node()}
        canary = weakref.ref(old["zz"], lambda _: seen.append(outcome(lambda: m.get_plugin(os="talvo"))))
        STORES[store](m, old)
        assert m.get_plugin(os="talvo") is A
        del old
        STORES[store](m, {"talvo": {"data": {"single_rp": {"cls": B}}}})
        results.append((seen, outcome(lambda: m.get_plugin(os="talvo")), canary() is None))
    assert results[0] == results[1] == ([("ok", B)], ("ok", B), True)


def test_managers_used_in_turn_keep_their_own_state():
    managers = [native.PluginManager() for _ in range(3)]
    for m, cls in zip(managers, (A, B, C)):
        m.register_plugin(cls, os="talvo")
    for _ in range(3):
        assert [m.get_plugin(os="talvo") for m in managers] == [A, B, C]
    managers[1].chassis_type_list = []
    assert outcome(lambda: managers[1].get_plugin(os="talvo"))[0] == "raise"
    assert [managers[i].get_plugin(os="talvo") for i in (0, 2)] == [A, C]


class _Defaulting(dict):
    def __missing__(self, key):
        return "default " + key


@pytest.mark.parametrize("record", [{}, {"path": "/x.py"}, _Defaulting(), {"cls": None}])
def test_the_class_is_read_from_the_record_as_python_reads_it(record):
    results = []
    for impl in (IMPLEMENTATIONS["native"], IMPLEMENTATIONS["pure"]):
        m = impl.PluginManager()
        m.plugins["talvo"] = {"data": {"single_rp": record}}
        results.append(outcome(lambda: m.get_plugin(os="talvo")))
    assert results[0] == results[1]


@pytest.mark.parametrize("end", ["deleted", "deleted from a cycle", "deleted from a cycle through its tree",
                                 "tree replaced"])
def test_a_tree_let_go_is_freed(end):
    m = native.PluginManager()
    m.register_plugin(A, os="talvo")
    m.plugins["zz"] = _Node()
    gone = weakref.ref(m.plugins["zz"])
    assert m.get_plugin(os="talvo") is A
    if end == "tree replaced":
        m._plugins = {}
        gc.collect()
        assert gone() is None  # at once, as in Python
        assert outcome(lambda: m.get_plugin(os="talvo"))[0] == "raise"
    else:
        if end == "deleted from a cycle":
            m.me = m
        elif end == "deleted from a cycle through its tree":
            m.plugins["zz"]["manager"] = m
        del m
    gc.collect()
    assert gone() is None


def test_stores_by_specialised_code_are_seen():
    def store(m):
        m.validate_os = _refuse  # the same store, run often, is specialised

    for _ in range(64):
        m = native.PluginManager()
        m.register_plugin(A, os="talvo")
        assert m.get_plugin(os="talvo") is A
        store(m)
        with pytest.raises(ValueError):
            m.get_plugin(os="talvo")


class _EmptiesItsNode(str):
    """A chassis type whose hash takes "data" out of the node being read."""

    node = None

    def __hash__(self):
        if self.node is not None:
            self.node.pop("data", None)
        return str.__hash__(self)


def test_the_chassis_map_is_read_from_the_node_once(impl):
    m = impl.PluginManager()
    m.register_plugin(A, os="talvo")
    chassis = _EmptiesItsNode("single_rp")
    chassis.node = m.plugins["talvo"]
    # Read again for the record, node["data"] would be gone by now.
    assert m.get_plugin(os="talvo", chassis_type=chassis) is A
    assert m.plugins == {"talvo": {}}
