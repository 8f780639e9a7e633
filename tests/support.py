"""Helpers shared by the test modules.

The two implementations under test (the native module and the pure-Python
rendition in ``benchmarks/``, the oracle), plugin classes, odd names, a way to
record what a call did, small trees and ways to describe them, and child
interpreters.
"""
import pathlib
import subprocess
import sys
import textwrap

BENCHMARKS = pathlib.Path(__file__).resolve().parent.parent / "benchmarks"
if str(BENCHMARKS) not in sys.path:
    sys.path.insert(0, str(BENCHMARKS))

import pure_plugin_manager as pure  # noqa: E402
from sorvex.core import pluginmanager as native  # noqa: E402

IMPLEMENTATIONS = {"native": native, "pure": pure}

EXAMPLE_DIST = "sorvex-plugin-mirel"


def example_installed():
    """Whether the example external plugin (examples/external-plugin) is installed."""
    try:
        from importlib import metadata
    except ImportError:  # 3.7
        import pkg_resources

        try:
            pkg_resources.get_distribution(EXAMPLE_DIST)
        except pkg_resources.DistributionNotFound:
            return False
        return True
    try:
        metadata.distribution(EXAMPLE_DIST)
    except metadata.PackageNotFoundError:
        return False
    return True


def make_dist(site, name, version, entry_points, modules=None, group="sorvex.plugins"):
    """A distribution installed into the directory ``site``: ``*.dist-info`` and modules.

    ``entry_points``: {name: value} of ``group``; ``modules``: {module name: source}.
    """
    info = site / (name.replace("-", "_") + "-" + version + ".dist-info")
    info.mkdir(parents=True)
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: %s\nVersion: %s\n" % (name, version))
    lines = ["[%s]" % group] + ["%s = %s" % item for item in entry_points.items()]
    (info / "entry_points.txt").write_text("\n".join(lines) + "\n")
    for module, source in (modules or {}).items():
        (site / (module + ".py")).write_text(textwrap.dedent(source))
    return site


class A:
    """A plugin class."""


class B:
    """Another plugin class."""


class C:
    """A third plugin class."""


class D:
    """A fourth plugin class."""


class Boom(Exception):
    """Raised by the hostile methods of the tests."""


def boom(*args, **kwargs):
    raise Boom("boom")


class Tagged(str):
    """A name whose str() differs from its text."""

    def __str__(self):
        return "tagged:" + str.__str__(self)


class Glued(str):
    """A name that takes over concatenation from the left ("__ " + key)."""

    def __radd__(self, other):
        return other + "<" + str.__str__(self) + ">"


class Unhashable(str):
    """A name that passes every str test but cannot be a dict key."""

    __hash__ = None


def outcome(call):
    """What call() did: ("ok", result) or ("raise", exception type, its args)."""
    try:
        return "ok", call()
    except Exception as exc:  # compared, not handled
        return "raise", type(exc), exc.args


def header(m):
    """The first line of repr(m)."""
    return "plugins (" + str(type(m)) + " at " + hex(id(m)) + ") "


def nest(depth, leaf=1):
    """A chain of `depth` dicts, each holding the next under "k", the last holding `leaf`."""
    tree = node = {}
    for _ in range(depth - 1):
        node["k"] = node = {}
    node["k"] = leaf
    return tree


def layout(tree):
    """The tree with key types and insertion order made visible; leaves as they are."""
    if isinstance(tree, dict):
        return [(type(key), key, layout(value)) for key, value in tree.items()]
    return tree


def nodes(tree, keep, depth=0):
    """Identity of every node and of every key and value in it, read without calling the tree's methods.

    The nodes and their items are appended to `keep`: while the caller holds it, no identity is reused."""
    if not isinstance(tree, dict) or depth > 50:
        return [id(tree)]
    items = list(dict.items(tree))
    keep.append((tree, items))
    return [(id(tree), [(id(k), id(v)) for k, v in items])] + [n for _, v in items for n in nodes(v, keep, depth + 1)]


def records(tree, path=()):
    """(keys on the way, chassis type, record) for every record of a well-formed tree; fails on any other shape."""
    assert type(tree) is dict
    for key, node in tree.items():
        assert type(key) is str
        if key != "data":
            assert len(path) < 3  # OS, series, model
            yield from records(node, path + (key,))
            continue
        assert type(node) is dict
        for chassis, record in node.items():
            assert type(record) is dict and list(record) == ["cls", "path"]
            yield path, chassis, record


def fresh(text):
    """The same text in a str object of its own (not the interned one), so that its reference count means something."""
    return "".join(list(text))


# The manager's messages, as the tests expect them.
OS_LIST = "['talvo', 'linux']"
CHASSIS_LIST = "['single_rp', 'dual_rp', 'stack']"
SERIES_RESERVED = 'Series cannot be named "data": "data" is reserved for plugin records'
MODEL_RESERVED = 'Model cannot be named "data": "data" is reserved for plugin records'
MODEL_NEEDS = "OS and Series are required for Model: "
SERIES_NEEDS = "OS information not provided for Series: "
NOT_FOUND = "Plugin data not found"


def os_msg(got, listed=OS_LIST):
    return "OS should be one of these " + listed + " , but got " + got


def chassis_msg(got, listed=CHASSIS_LIST):
    return "chassis Type should be one of these " + listed + ", but got " + got


def miss(path, chassis="single_rp"):
    """The text of a lookup that found no record."""
    return "Plugin data not found for (" + path + "), type: " + chassis + " "


def run_python(*args, command=None, **options):
    """A child interpreter (this one, or the program `command`) run to its end with `args`.

    Its output is captured as text; `options` go to subprocess.run (a file for stdout, say)."""
    options.setdefault("stdout", subprocess.PIPE)
    options.setdefault("stderr", subprocess.PIPE)
    return subprocess.run(list(command or [sys.executable]) + list(args), text=True, **options)


def run_in_children(script, names, *args, timeout=None, crashes_as=None):
    """{name: what the child gave for it}: `script` run on each of `names` in child interpreters.

    A child is given `args` and the names still to run (its side is report_each). A name
    whose child died gets "crash: exit N: <the end of the child's stderr>", and a new child
    goes on with the names after it. crashes_as(name, crashed), where given, tells which of
    the names left are taken to crash as `crashed` did; they get "crash: as <crashed>"
    without being run."""
    results, pending = {}, list(names)
    while pending:
        proc = run_python(script, *args, *pending, timeout=timeout)
        started = None  # the name in progress when the child died, or the last one it finished
        for line in proc.stdout.splitlines():
            word, name, *rest = line.split(" ", 2) + [""]
            if word == "start":
                started = name
            elif word == "done":
                results[name] = rest[0]
        if proc.returncode == 0:
            break
        crashed = started or pending[0]
        results[crashed] = "crash: exit %d: %s" % (proc.returncode, proc.stderr[-2000:])
        pending = pending[pending.index(crashed) + 1:]
        if crashes_as:
            results.update((name, "crash: as " + crashed) for name in pending if crashes_as(name, crashed))
            pending = [name for name in pending if name not in results]
    return results


def report_each(run, names):
    """A child's side of run_in_children: says which name it starts, then run(name) for it."""
    for name in names:
        print("start", name, flush=True)
        print("done", name, run(name), flush=True)
