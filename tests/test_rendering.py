"""Text rendering of plugin trees and of managers, on both implementations."""
import collections

import pytest
from support import A, B, header, outcome, pure

WORKED_TREE = {"talvo": {"data": {"single_rp": {"cls": A, "path": "/p/a.py"}},
                         "t3z": {"data": {"dual_rp": {"cls": B, "path": "/p/b.py"}}}}}
WORKED_LINES = [
    "plugin",
    "  |__ talvo",
    "    |__ data",
    "    |  |__ single_rp",
    f"    |    |__ cls = {A}",
    "    |    |__ path = /p/a.py",
    "    |__ t3z",
    "      |__ data",
    "        |__ dual_rp",
    f"          |__ cls = {B}",
    "          |__ path = /p/b.py",
]


def test_worked_example(manager):
    assert manager.print_tree(WORKED_TREE) == "\n".join(WORKED_LINES)
    assert manager.print_tree(WORKED_TREE, "plugin") == manager.print_tree(data=WORKED_TREE, output="plugin")


class TruthyEqualsEmpty:
    def __bool__(self):
        return True

    def __eq__(self, other):
        return other == {}

    __hash__ = None


LAYOUTS = [
    ({}, "hdr", ""),
    (None, "hdr", ""),
    ("", "hdr", ""),
    (0, "hdr", ""),
    (False, "hdr", ""),
    (collections.OrderedDict(), "hdr", ""),
    (TruthyEqualsEmpty(), "hdr", ""),
    (5, "hdr", "hdr = 5"),
    ("x\ny", "plugin", "plugin = x\ny"),
    ([1], "", " = [1]"),
    (collections.UserDict({"a": 1}), "h", "h = {'a': 1}"),
    ({"a": 5}, "hdr", "hdr\n  |__ a = 5"),
    ({"a": 5}, "", "\n  |__ a = 5"),
    ({"a": None, "b": 1}, "h", "h\n  |\n  |__ b = 1"),
    ({"a": 1, "b": {}}, "h", "h\n  |__ a = 1\n  |"),
    ({"a": "", "b": 0, "c": False}, "h", "h\n  |\n  |\n  |"),
    ({"a": "x\ny", "b": 1}, "h", "h\n  |__ a = x\n  |y\n  |__ b = 1"),
    ({"a": "x\ny"}, "h", "h\n  |__ a = x\n  y"),
    ({"a": "x\n"}, "h", "h\n  |__ a = x\n  "),
    ({"a": {"b": 1}, "c": 2}, "h", "h\n  |__ a\n  |  |__ b = 1\n  |__ c = 2"),
    ({"c": {"b": 1}, "a": 2}, "h", "h\n  |__ a = 2\n  |__ c\n    |__ b = 1"),
    ({"t3z": 1, "data": 2, "abc": 3}, "h", "h\n  |__ abc = 3\n  |__ data = 2\n  |__ t3z = 1"),
    ({"b": 1, "é": 2, "B": 3}, "h", "h\n  |__ B = 3\n  |__ b = 1\n  |__ é = 2"),
    ({"a": collections.OrderedDict(z=1, y=2)}, "h", "h\n  |__ a\n    |__ y = 2\n    |__ z = 1"),
    ({"a": {"b": {"c": 1}, "d": 2}}, "h", "h\n  |__ a\n    |__ b\n    |  |__ c = 1\n    |__ d = 2"),
]


@pytest.mark.parametrize("data, output, expected", LAYOUTS)
def test_layout(manager, data, output, expected):
    assert manager.print_tree(data, output) == expected


@pytest.mark.parametrize("data, output", [
    ({"a": 1, 2: 1}, "plugin"),
    ({1: "x"}, "plugin"),
    ({"a": {None: 1}}, "plugin"),
    (5, None),
    (5, 1),
])
def test_layout_type_errors(manager, data, output):
    with pytest.raises(TypeError):
        manager.print_tree(data, output)


class Accumulator:
    """An output that tells + from +=: both build a new accumulator, and += is noted."""

    def __init__(self, parts=(), noted=None):
        self.parts, self.noted = list(parts), [] if noted is None else noted

    def __add__(self, piece):
        return Accumulator(self.parts + [piece], self.noted)

    def __iadd__(self, piece):
        self.noted.append(piece)
        return self + piece


@pytest.mark.parametrize("data", [{"a": 1}, {"a": {"b": 1}, "c": "x\ny"}, "leaf", 5])
def test_mutable_output_is_never_changed_in_place(manager, data):
    output = ["plugin"]
    with pytest.raises(TypeError):
        manager.print_tree(data, output)
    assert output == ["plugin"]


@pytest.mark.parametrize("data", [{"a": 1}, {"a": {"b": 1}, "c": "x\ny"}])
def test_output_gets_each_piece_through_plain_addition(impl, data):
    def rendered(mod):
        got = outcome(lambda: mod.PluginManager().print_tree(data, Accumulator()))
        return got if got[0] == "raise" else (got[1].parts, got[1].noted)

    assert rendered(impl) == rendered(pure)
    assert rendered(pure)[1] == []


def test_default_output_is_plugin(manager):
    assert manager.print_tree(7) == "plugin = 7"


def test_self_containing_tree_raises_recursion_error(manager):
    loop = {}
    loop["a"] = loop
    with pytest.raises(RecursionError):
        manager.print_tree(loop)
    manager.plugins["talvo"] = loop
    with pytest.raises(RecursionError):
        repr(manager)


def test_recursion_goes_through_the_instance(impl):
    calls = []

    class Shouting(impl.PluginManager):
        def print_tree(self, *args, **kwargs):
            calls.append((args, sorted(kwargs)))
            if not isinstance(kwargs.get("data", args[0] if args else None), dict):
                return kwargs["output"].upper() + "!"
            return super().print_tree(*args, **kwargs)

    m = Shouting()
    assert m.print_tree({"a": {"b": 1}, "c": "x"}, "top") == "top\n  |__ a\n  |  |__ B!\n  |__ C!"
    assert calls == [(({"a": {"b": 1}, "c": "x"}, "top"), [])] + [((), ["data", "output"])] * 3
    calls.clear()
    m.plugins["os"] = 1
    assert repr(m).endswith("\n  |__ OS!")
    assert calls[0] == ((), ["data", "output"])


def test_repr_of_a_manager(manager, impl, monkeypatch):
    assert repr(manager) == str(manager) == ""
    paths = {A: "/p/a.py", B: "/p/b.py"}
    monkeypatch.setattr(impl, "getfile", paths.__getitem__)
    manager.register_plugin(B, os="talvo", series="t3z", chassis_type="dual_rp")
    manager.register_plugin(A, os="talvo")
    text = "\n".join([header(manager)] + WORKED_LINES[1:])
    assert repr(manager) == str(manager) == text == repr(manager)
    assert str(type(manager)).startswith("<class '") and str(type(manager)).endswith(".PluginManager'>")
    assert repr(manager).startswith("plugins (<class '")


def test_repr_names_the_subclass(impl):
    class Mine(impl.PluginManager):
        pass

    m = Mine()
    m.register_plugin(A, os="linux")
    assert repr(m).split("\n")[0] == header(m)
    assert "Mine'> at 0x" in header(m)
    del m._plugins
    with pytest.raises(AttributeError):
        repr(m)
