"""print_tree on arbitrary nested data gives exactly the oracle's text, or the same exception."""
import pure_plugin_manager as pure
from hypothesis import given, settings
from hypothesis import strategies as st

from sorvex.core import pluginmanager as native


class Shown:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


class Glued(str):
    def __radd__(self, other):
        return other + "<" + str.__str__(self) + ">"


class Backwards(str):
    def __lt__(self, other):
        return str.__gt__(self, other)


class Never(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return False


class Mapping(dict):
    pass


class K:
    pass


# any code point, lone surrogates included
TEXT = (st.text(st.characters(blacklist_categories=()), max_size=6)
        | st.sampled_from(["", "\n", "a\nb", "data", "\ud800", "x\x00y"]))
KEYS = TEXT | TEXT.map(Glued) | TEXT.map(Backwards) | TEXT.map(Never) | st.sampled_from([0, None, 1.5, ("a",)])
LEAVES = (st.sampled_from([None, 0, "", False, True, K, int, 0.0, -3])
          | st.integers() | TEXT | TEXT.map(Shown) | TEXT.map(Glued))


def nested(leaves):
    dicts = st.dictionaries(KEYS, leaves, max_size=4)
    return dicts | dicts.map(Mapping)


DATA = st.recursive(LEAVES, nested, max_leaves=25)
OUTPUT = st.none() | TEXT | TEXT.map(Glued) | st.sampled_from([5, b"h"])


def outcome(call):
    try:
        return "ok", call()
    except Exception as exc:
        return "raise", type(exc)


@settings(max_examples=200)
@given(DATA, OUTPUT)
def test_print_tree_matches_the_oracle(data, output):
    args = (data,) if output is None else (data, output)
    assert outcome(lambda: native.PluginManager().print_tree(*args)) == \
        outcome(lambda: pure.PluginManager().print_tree(*args))


def tracing(base):
    class Tracing(base):
        def __init__(self):
            super().__init__()
            self.calls = []

        def print_tree(self, data, output="plugin"):
            self.calls.append((type(data).__name__, output))
            return "[" + super().print_tree(data=data, output=output) + "]"
    return Tracing()


@settings(max_examples=100)
@given(DATA, OUTPUT)
def test_overridden_print_tree_matches_the_oracle(data, output):
    args = (data,) if output is None else (data, output)
    mine, theirs = tracing(native.PluginManager), tracing(pure.PluginManager)
    assert outcome(lambda: mine.print_tree(*args)) == outcome(lambda: theirs.print_tree(*args))
    assert mine.calls == theirs.calls
