"""The native manager and the oracle, side by side, on generated input.

Random sequences of calls: every step must give the same result (the same
class object for a lookup), the same exception type and arguments, the same
debug records and the same tree, key objects and insertion order included.
And print_tree on arbitrary nested data: the same text or the same exception.
"""
import logging

from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.stateful import Bundle, RuleBasedStateMachine, initialize, rule
from support import A, B, Glued, Tagged, header, layout, native, outcome, pure

from sorvex import log

OMIT = object()  # leave the argument to its default
OWN_TREE = object()  # print_tree of the manager's own tree

# Each pool is (usual names, odd values); three draws in four come from the usual names, so
# that sequences often reach nodes that earlier steps created.
OS = (["talvo", "linux", "zeta"],
      ["mocked-x", "Talvo", "", None, "data", 7, ("talvo",), Tagged("talvo"), Glued("linux"), Tagged("zeta")])
SERIES = ([None, "t3z", "s1"],
          ["T3Z", "", "data", "42", "linux", 7, ("a", "b"), ["t3z"], Tagged("t3z"), Glued("s1"), Tagged("data")])
MODEL = ([None, "m1"], ["M1", "", "data", "0", 3, ("m",), ["m1"], Tagged("m1"), Glued("q")])
# a list is unhashable: it makes a registration fail half-way and a lookup fail in its last step
CHASSIS = ([OMIT, "single_rp", "dual_rp", "stack"],
           ["", None, "Stack", ("single_rp",), ("dual_rp", "x"), ["single_rp"], 5, Tagged("dual_rp"), Glued("stack")])
CLASSES = [A, B, int]  # int has no source file: getfile raises
DATA = [{}, None, 0, "text", {"a": 5}, {"b": {"x": None, "a": "l1\nl2"}, "a": {}},
        {1: "x"}, {"a": 1, 2: 3}, {Glued("k"): {Tagged("t"): A}}]
OUTPUT = [OMIT, "plugin", "", Tagged("hdr"), Glued("g")]
REPR = object()  # repr() of the manager instead of a print_tree call


def names(pool):
    if isinstance(pool, tuple):
        usual = st.sampled_from(pool[0])
        return st.one_of(usual, usual, usual, st.sampled_from(pool[1]))
    return st.sampled_from(pool)


DESCRIPTIONS = st.fixed_dictionaries({"os": names(OS), "series": names(SERIES), "model": names(MODEL)})


def plain(module):
    return module.PluginManager()


def open_os(module):
    return type("OpenOS", (module.PluginManager,), {"validate_os": lambda self, os: None})()


def lax_series(module):
    m = module.PluginManager()
    m.validate_series = lambda os, series: None
    return m


def anything_goes(module):
    return type("AnythingGoes", (module.PluginManager,), {"validate_arguments": lambda self, *a: None})()


def bracketed_tree(module):
    def print_tree(self, data, output="plugin"):
        return "[" + module.PluginManager.print_tree(self, data=data, output=output) + "]"

    return type("Bracketed", (module.PluginManager,), {"print_tree": print_tree})()


def braced_instance_tree(module):
    m = module.PluginManager()
    m.print_tree = lambda data, output="plugin": "{" + module.PluginManager.print_tree(m, data, output) + "}"
    return m


VARIANTS = [plain, open_os, lax_series, anything_goes, bracketed_tree, braced_instance_tree]


def arguments(where, chassis, by_position):
    """Positional and keyword arguments for a call on the description `where`."""
    values = dict(where, **({} if chassis is OMIT else {"chassis_type": chassis}))
    return (list(values.values()), {}) if by_position else ([], values)


def repr_body(m):
    text, first = repr(m), header(m)
    # an empty tree renders as nothing; two variants wrap every level in brackets
    assert not text.strip("[]{}") or text.lstrip("[{").startswith(first), text[:120]
    return text.replace(first, "<header>")


class Differential(RuleBasedStateMachine):
    """Runs each step on both managers and compares everything observable."""

    where = Bundle("where")

    @initialize(variant=st.sampled_from(VARIANTS))
    def build(self, variant):
        self.mine, self.oracle = variant(native), variant(pure)
        self.records = []
        self.handler = logging.Handler(logging.DEBUG)
        self.handler.emit = lambda record: self.records.append(record.getMessage())
        self.level = log.level
        log.addHandler(self.handler)
        log.setLevel(logging.DEBUG)

    def teardown(self):
        if hasattr(self, "handler"):
            log.removeHandler(self.handler)
            log.setLevel(self.level)

    def logged_outcome(self, m, call):
        self.records.clear()
        return outcome(lambda: call(m)), list(self.records)

    def check(self, call):
        assert self.logged_outcome(self.mine, call) == self.logged_outcome(self.oracle, call)
        assert layout(self.mine.plugins) == layout(self.oracle.plugins)

    @initialize(target=where, description=DESCRIPTIONS)
    def first_description(self, description):
        return description

    @rule(target=where, description=DESCRIPTIONS)
    def describe(self, description):
        return description

    @rule(cls=names(CLASSES), where=where, chassis=names(CHASSIS), by_position=st.booleans())
    def register(self, cls, where, chassis, by_position):
        args, kwargs = arguments(where, chassis, by_position)
        self.check(lambda m: m.register_plugin(cls, *args, **kwargs))

    @rule(where=where, chassis=names(CHASSIS), by_position=st.booleans())
    def get(self, where, chassis, by_position):
        args, kwargs = arguments(where, chassis, by_position)
        self.check(lambda m: m.get_plugin(*args, **kwargs))

    @rule(where=where, chassis=names(CHASSIS), by_position=st.booleans())
    def unregister(self, where, chassis, by_position):
        args, kwargs = arguments(where, chassis, by_position)
        self.check(lambda m: m.unregister_plugin(*args, **kwargs))

    @rule(where=where, chassis=names(CHASSIS))
    def validate(self, where, chassis):
        chassis = None if chassis is OMIT else chassis
        self.check(lambda m: m.validate_arguments(where["os"], where["series"], where["model"], chassis))

    @rule(data=names(([REPR, OWN_TREE], DATA)), output=names(OUTPUT))
    def render(self, data, output):
        if data is REPR:
            self.check(repr_body)
        else:
            extra = {} if output is OMIT else {"output": output}
            self.check(lambda m: m.print_tree(m.plugins if data is OWN_TREE else data, **extra))


Differential.TestCase.settings = settings(max_examples=250, stateful_step_count=30, deadline=None)
TestDifferential = Differential.TestCase


class Shown:
    """A leaf with its own str()."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


class Backwards(str):
    """A key that sorts the other way round."""

    def __lt__(self, other):
        return str.__gt__(self, other)


class Never(str):
    """A key equal to nothing, itself included."""

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


TREES = st.recursive(LEAVES, nested, max_leaves=25)
HEADERS = st.none() | TEXT | TEXT.map(Glued) | st.sampled_from([5, b"h"])


def rendered(m, data, output):
    args = (data,) if output is None else (data, output)
    return outcome(lambda: m.print_tree(*args))


@settings(max_examples=200)
@given(TREES, HEADERS)
def test_print_tree_matches_the_oracle(data, output):
    assert rendered(native.PluginManager(), data, output) == rendered(pure.PluginManager(), data, output)


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
@given(TREES, HEADERS)
def test_overridden_print_tree_matches_the_oracle(data, output):
    mine, theirs = tracing(native.PluginManager), tracing(pure.PluginManager)
    assert rendered(mine, data, output) == rendered(theirs, data, output)
    assert mine.calls == theirs.calls
