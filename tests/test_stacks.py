"""Deep trees rendered on threads with small stacks, and on the main thread.

Every scenario ends in the oracle's text or in RecursionError, never in a
crash, and without an override of print_tree the native renderer renders
wherever the oracle does. The scenarios run in child processes, the native
module's and the oracle's apart: a crash takes down the scenario it happened
in, and the child that replaces it goes on with the next one.

On a debug interpreter the oracle's renderer, which copies the text it has so
far for every line it adds, needs minutes for one tree as deep as the
recursion limit. There the texts of such trees under a raised limit (the
references) come from chain_text, which writes in linear time what the oracle
writes for a chain of dicts; test_chain_text_is_the_oracles keeps the two
equal on shallower chains. Every native scenario still runs and is compared.
"""
import gc
import hashlib
import importlib
import sys
import threading

from support import header, nest, report_each, run_in_children

KIB = 1024
# name -> thread stack size; 0 is the main thread
STACKS = {"32k": 32 * KIB, "64k": 64 * KIB, "128k": 128 * KIB, "264k": 264 * KIB, "1m": 1024 * KIB,
          "8m": 8192 * KIB, "main": 0}
# what is rendered -> depths of the tree
DEPTHS = {
    "generic": (100, 1000, 3000),  # a leaf with its own __str__: the plain pass does not take the tree
    "override": (100, 1000, 3000),  # a subclass whose print_tree calls super()
    "repr": (100, 1000, 3000),  # repr() of a manager holding the tree
    "plain": (300, 1000, 3000),  # exact dicts, str keys and leaves: the plain pass measures the depth first
}
SCENARIOS = ["%s-%d-%s" % (kind, depth, stack) for kind, depths in DEPTHS.items() for depth in depths
             for stack in STACKS]
MODULES = {"native": "sorvex.core.pluginmanager", "oracle": "pure_plugin_manager"}
# A tree about as deep as the recursion limit is rendered or refused depending on how
# deep the caller already is. Where the oracle refused one that the native module
# rendered, the oracle renders it again on the main thread under a raised limit.
REFERENCE_DEPTHS = (1000,)
DEBUG_BUILD = hasattr(sys, "gettotalrefcount")


class Leaf:
    def __str__(self):
        return "leaf"


def overriding(base):
    class Override(base):
        def print_tree(self, data, output="plugin"):
            return super().print_tree(data, output)
    return Override()


def render(module, kind, depth):
    if kind == "plain":
        return module.PluginManager().print_tree(nest(depth, "leaf"))
    tree = nest(depth, Leaf())
    if kind == "generic":
        return module.PluginManager().print_tree(tree)
    if kind == "override":
        return overriding(module.PluginManager).print_tree(tree)
    m = module.PluginManager()
    m.plugins["deep"] = tree
    return repr(m).replace(header(m), "<header>")


def chain_text(kind, depth):
    """What the oracle renders for the tree of `kind`, `depth` deep: one line per dict level."""
    keys, head = ["k"] * depth, "plugin"
    if kind == "repr":
        keys, head = ["deep"] + keys, "<header>"
    lines = [head] + ["  " * level + "  |__ " + key for level, key in enumerate(keys)]
    lines[-1] += " = leaf"
    return "\n".join(lines)


def text_word(text):
    return "text:%d:%s" % (len(text), hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:16])


def result_of(module, kind, depth):
    """One word for what rendering did: the text's digest, or the exception."""
    try:
        text = render(module, kind, depth)
    except RecursionError:
        return "RecursionError"
    except Exception as exc:  # reported, compared with the oracle's
        return "%s:%s" % (type(exc).__name__, (str(exc).splitlines() or [""])[0])
    return text_word(text)


def reference(scenario):
    kind, depth, _ = scenario.split("-")
    return "reference-%s-%s" % (kind, depth)


def reference_case(name):
    _, kind, depth = name.split("-")
    return kind, int(depth)


def run_reference(module, name):
    kind, depth = reference_case(name)
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(limit + depth)
    try:
        return result_of(module, kind, depth)
    finally:
        sys.setrecursionlimit(limit)


def run_scenario(module, name):
    if name.startswith("reference-"):
        return run_reference(module, name)
    kind, depth, stack = name.split("-")
    size = STACKS[stack]
    if not size:
        return result_of(module, kind, int(depth))
    found = []
    try:
        threading.stack_size(size)
    except ValueError as exc:  # 3.14 refuses 32 KiB, its debug build anything below 100 KiB
        return "refused: %s" % exc
    try:
        thread = threading.Thread(target=lambda: found.append(result_of(module, kind, int(depth))))
        thread.start()
        thread.join()
    finally:
        threading.stack_size(0)
    return found[0] if found else "the thread ended without a result"


def needs_more_stack(name, crashed):
    """Whether scenario `name` renders the tree of `crashed` or a deeper one, on a thread no larger.

    Nothing is inferred from or about a reference, which runs on the main thread."""
    if name.startswith("reference-") or crashed.startswith("reference-"):
        return False
    kind, depth, stack = name.split("-")
    crashed_kind, crashed_depth, crashed_stack = crashed.split("-")
    return (kind == crashed_kind and int(depth) >= int(crashed_depth) and stack != "main" != crashed_stack
            and STACKS[stack] <= STACKS[crashed_stack])


def run_all(module_name, names, infer_crashes=False):
    """{scenario: result} from child processes; a scenario that killed its child is a crash.

    With infer_crashes, the scenarios that need at least the stack of one that crashed are
    not run: they are taken to crash too."""
    return run_in_children(__file__, names, module_name, timeout=600,
                           crashes_as=needs_more_stack if infer_crashes else None)


# The children import this file; pytest, which they do not need, is imported by the
# tests alone, and the parameters come from the collection hook instead of a decorator.
def pytest_generate_tests(metafunc):
    if "scenario" in metafunc.fixturenames:
        metafunc.parametrize("scenario", SCENARIOS)


RESULTS = {}


def results():
    if not RESULTS:
        found = {side: run_all(module, SCENARIOS, infer_crashes=side == "oracle") for side, module in MODULES.items()}
        wanted = sorted({reference(name) for name in SCENARIOS if int(name.split("-")[1]) in REFERENCE_DEPTHS
                         and found["oracle"][name] == "RecursionError" and found["native"][name].startswith("text:")})
        if DEBUG_BUILD:
            found["oracle"].update((name, text_word(chain_text(*reference_case(name)))) for name in wanted)
        elif wanted:
            found["oracle"].update(run_all(MODULES["oracle"], wanted))
        RESULTS.update(found)
    return RESULTS


def test_deep_rendering_never_crashes(scenario):
    import pytest

    mine, oracle = results()["native"][scenario], results()["oracle"][scenario]
    if mine.startswith("refused") and oracle == mine:
        pytest.skip("this interpreter has no such thread stack: " + mine)
    if oracle.startswith("crash"):
        pytest.skip("the oracle crashed too")  # the native module need only do no worse
    assert not mine.startswith("crash"), mine
    kind = scenario.split("-")[0]
    if oracle == "RecursionError" and mine.startswith("text:"):
        assert mine == results()["oracle"].get(reference(scenario), "no text: deeper than the limit")
    elif oracle.startswith("text:") and kind != "override":
        assert mine == oracle
    else:
        assert mine in (oracle, "RecursionError")


def test_chain_text_is_the_oracles():
    import pure_plugin_manager

    for kind in DEPTHS:
        for depth in (1, 2, 3, 60):
            assert text_word(chain_text(kind, depth)) == result_of(pure_plugin_manager, kind, depth), (kind, depth)


if __name__ == "__main__":
    module = importlib.import_module(sys.argv[1])

    def collected_then_run(name):
        # The garbage of earlier scenarios (their Override classes) is
        # collected here rather than at the deepest point of the next one.
        # On 3.7 and 3.8 a collection there, at the recursion limit, can
        # leave the interpreter in its overflow state with no error raised,
        # and the recursion going on ends in "Fatal Python error: Cannot
        # recover from stack overflow" (seen with a gc callback, which fails
        # there with an ignored RecursionError, and in override-1000-main).
        gc.collect()
        return run_scenario(module, name)

    report_each(collected_then_run, sys.argv[2:])
