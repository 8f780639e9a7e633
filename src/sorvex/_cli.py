"""The ``sorvex`` command (also ``python -m sorvex``).

::

    sorvex [tree]          the plugin tree, as print(sorvex.__plugin_manager__)
    sorvex list [--json]   one line (or JSON object) per registered record
    sorvex lookup --os OS [--series S] [--model M] [--chassis-type C] [--json | --explain]

Every command first discovers the built-in and the external plugins. Exit
status: 0 found (and for ``tree`` and ``list``), 1 not found or an invalid
description, 2 a plugin failed to load or the command line is wrong.

Each command computes its whole output before writing any of it, so that a
reader that goes away early (``sorvex list | head -1``) changes nothing but
what is shown; see :mod:`sorvex._console`.
"""
from __future__ import annotations

import argparse
import logging
import sys
from contextlib import contextmanager

import sorvex
from sorvex import PluginManager
from sorvex._console import emit, flush_stdout
from sorvex.core import pluginmanager as _native
from sorvex.core.errors import ConnectionInfraError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

    Record = Dict[str, Optional[str]]
    Outcome = Tuple[int, str, str]  # exit status, standard output, standard error

__all__ = ["main"]

FOUND = 0
NOT_FOUND = 1  # also an invalid device description
FAILED = 2  # a plugin failed to load, or the command line is wrong

LEVELS = ("OS", "series", "model")
#: The keys of a record in ``list --json`` and ``lookup --json``, in order.
RECORD_KEYS = ("os", "series", "model", "chassis_type", "class", "path")


class PluginLoadError(Exception):
    """Discovery failed; ``str()`` is the one line that says which plugin and why."""


# Text of arbitrary objects: a tree edited by hand may hold anything.


def _text(value: object) -> str:
    try:
        return str(value)
    except Exception:
        pass
    try:
        return repr(value)
    except Exception:
        return "<unprintable " + type(value).__name__ + " object>"


def _describe_error(error: BaseException) -> str:
    message = _text(error)
    return type(error).__name__ + (": " + message if message else "")


def _class_name(cls: object) -> str:
    try:
        module = getattr(cls, "__module__", None)
        qualname = getattr(cls, "__qualname__", None)
    except Exception:
        module = qualname = None
    if isinstance(module, str) and isinstance(qualname, str):
        return module + "." + qualname
    return _text(cls)


def _source_file(cls: object) -> str:
    import inspect

    try:
        return inspect.getfile(cls)  # type: ignore[arg-type]
    except Exception:
        return "built-in"


def _traceback(error: BaseException) -> str:
    import traceback

    return "".join(traceback.format_exception(type(error), error, error.__traceback__))


# Discovery. The manager stops at the first plugin that fails and lets the
# exception through; to name that plugin, the module-level names it calls
# (looked up at call time) are wrapped for the duration of the call.


class _ImportWatch:
    """Stands in for ``importlib`` in the manager's module; remembers a failing import."""

    def __init__(self, importlib: Any) -> None:
        self.importlib = importlib
        self.failed: Optional[str] = None

    def import_module(self, name: str, *args: Any, **kwargs: Any) -> Any:
        try:
            return self.importlib.import_module(name, *args, **kwargs)
        except BaseException:
            self.failed = _text(name)
            raise

    def __getattr__(self, name: str) -> Any:
        return getattr(self.importlib, name)


class _EntryPointWatch:
    """Stands in for ``iter_entry_points``; remembers the entry point being loaded."""

    def __init__(self, iter_entry_points: Any) -> None:
        self.iter_entry_points = iter_entry_points
        self.current: Any = None

    def __call__(self, *args: Any, **kwargs: Any) -> Iterator[Any]:
        return self._follow(iter(self.iter_entry_points(*args, **kwargs)))

    def _follow(self, entry_points: Iterator[Any]) -> Iterator[Any]:
        while True:
            # None while the next one is fetched: a failure there is no
            # entry point's own.
            self.current = None
            try:
                entry_point = next(entry_points)
            except StopIteration:
                return
            self.current = entry_point
            yield entry_point


def _attribute_text(value: object, name: str) -> Optional[str]:
    try:
        found = getattr(value, name, None)
    except Exception:
        return None
    return None if found is None else _text(found)


def _entry_point_failure(entry_point: Any, error: BaseException) -> str:
    name = _attribute_text(entry_point, "name")
    module = _attribute_text(entry_point, "module_name")
    try:
        dist = getattr(entry_point, "dist", None)
    except Exception:
        dist = None
    project = _attribute_text(dist, "project_name") if dist is not None else None
    text = "external plugin '" + (name or "?") + "'"
    if project is not None:
        text += " from distribution '" + project + "'"
    if module is not None:
        text += " (module " + module + ")"
    return text + " failed to load: " + _describe_error(error)


def _discover_builtin() -> None:
    watch = _ImportWatch(_native.importlib)
    _native.importlib = watch  # type: ignore[assignment]
    try:
        PluginManager.discover_builtin_plugins()
    except Exception as error:
        if watch.failed is not None:
            what = "built-in plugin module '" + watch.failed + "' failed to load"
        else:
            what = "built-in plugin discovery failed"
        raise PluginLoadError(what + ": " + _describe_error(error)) from error
    finally:
        _native.importlib = watch.importlib


def _discover_external() -> None:
    watch = _EntryPointWatch(_native.iter_entry_points)
    _native.iter_entry_points = watch
    try:
        PluginManager.discover_external_plugins()
    except Exception as error:
        if watch.current is not None:
            message = _entry_point_failure(watch.current, error)
        else:
            message = "external plugin discovery failed: " + _describe_error(error)
        raise PluginLoadError(message) from error
    finally:
        _native.iter_entry_points = watch.iter_entry_points


def discover() -> None:
    """Discover the built-in, then the external plugins.

    Raises :class:`PluginLoadError` naming the plugin that failed; the
    original exception is its ``__cause__``.
    """
    _discover_builtin()
    _discover_external()


# Records of the tree: OS -> series -> model, each node with an optional
# "data" mapping of chassis type -> {"cls": class, "path": file}.


def _items(node: object) -> List[Tuple[Any, Any]]:
    if not isinstance(node, dict):
        return []
    try:
        return list(dict.items(node))
    except Exception:
        return []


def _is_data(key: object) -> bool:
    return isinstance(key, str) and str.__eq__(key, "data") is True


def _field(record: object, key: str) -> Any:
    if not isinstance(record, dict):
        return None
    try:
        return dict.get(record, key)
    except Exception:
        return None


def _record(levels: Tuple[str, ...], chassis_type: object, record: object) -> Record:
    os, series, model = (levels + (None, None, None))[:3]
    cls = _field(record, "cls")
    path = _field(record, "path")
    return {
        "os": os,
        "series": series,
        "model": model,
        "chassis_type": _text(chassis_type),
        "class": None if cls is None else _class_name(cls),
        "path": None if path is None else _text(path),
    }


def records(tree: object) -> List[Record]:
    """Every record of ``tree``, sorted; odd nodes and values are skipped or shown as text.

    Records directly below the root (no OS) are listed too: a lookup for an
    OS that is not in the tree ends there.
    """
    found: List[Record] = []

    def visit(node: object, levels: Tuple[str, ...]) -> None:
        for key, child in _items(node):
            if _is_data(key):
                for chassis_type, record in _items(child):
                    found.append(_record(levels, chassis_type, record))
            elif len(levels) < len(LEVELS):
                visit(child, levels + (_text(key),))

    visit(tree, ())
    found.sort(key=lambda record: [(value is not None, value or "") for value in record.values()])
    return found


def _plugins_of(manager: Any) -> object:
    try:
        return manager.plugins
    except Exception:
        return {}


def _to_json(value: object) -> str:
    import json

    return json.dumps(value, indent=2) + "\n"


def _columns(rows: List[Record]) -> str:
    cells = [["-" if value is None else value for value in row.values()] for row in rows]
    widths = [max(len(line[column]) for line in cells) for column in range(len(RECORD_KEYS) - 1)]
    lines = []
    for line in cells:
        padded = [cell.ljust(width) for cell, width in zip(line, widths)] + line[-1:]
        lines.append("  ".join(padded).rstrip() + "\n")
    return "".join(lines)


# The commands. Each returns (exit status, standard output, standard error).


def _tree(manager: Any, args: argparse.Namespace) -> Outcome:
    if not records(_plugins_of(manager)):
        return FOUND, "sorvex: no plugins registered\n", ""
    return FOUND, _text(manager) + "\n", ""


def _list(manager: Any, args: argparse.Namespace) -> Outcome:
    rows = records(_plugins_of(manager))
    if args.json:
        return FOUND, _to_json(rows), ""
    if not rows:
        return FOUND, "", "sorvex: no plugins registered\n"
    return FOUND, _columns(rows), ""


def _levels_asked(os: object, series: object, model: object) -> List[object]:
    # The manager's walk: the model only with a series, the series only with an OS.
    if model is not None:
        return [os, series, model]
    if series is not None:
        return [os, series]
    return [os]


def _where(levels: Sequence[str]) -> str:
    return "/".join(levels) if levels else "the root"


def _walk(tree: object, os: object, series: object, model: object) -> Tuple[List[str], List[str], object]:
    """The manager's walk, told step by step: (lines, levels reached, node reached)."""
    asked = _levels_asked(os, series, model)
    lines: List[str] = []
    reached: List[str] = []
    node = tree
    stop = None
    for index, label in enumerate(LEVELS):
        if index >= len(asked):
            lines.append(label + ": not given")
            continue
        name = "'" + _text(asked[index]) + "'"
        if stop is not None:
            lines.append(label + " " + name + ": not tried")
            continue
        try:
            exists = asked[index] in node.keys()  # type: ignore[attr-defined]
            child = node[asked[index]] if exists else None  # type: ignore[index]
        except Exception as error:
            lines.append(label + " " + name + ": the node cannot be read (" + _describe_error(error) + ")")
            stop = "its node cannot be read"
            continue
        if exists:
            lines.append(label + " " + name + ": node found")
            reached.append(_text(asked[index]))
            node = child
        else:
            lines.append(label + " " + name + ": no node")
            stop = "no " + label + " " + name + " below it"
    lines.append("stopped at " + _where(reached) + ": " + (stop or "the last level given"))
    return lines, reached, node


def _explain(tree: object, os: object, series: object, model: object, chassis_type: object) -> str:
    lines, reached, node = _walk(tree, os, series, model)
    data = None
    try:
        if "data" in node.keys():  # type: ignore[attr-defined]
            data = node["data"]  # type: ignore[index]
    except Exception:
        pass
    chassis_types = sorted(_text(key) for key, _ in _items(data))
    lines.append("chassis types at " + _where(reached) + ": " + (", ".join(chassis_types) or "none"))
    wanted = "chassis type '" + _text(chassis_type) + "'"
    if _text(chassis_type) in chassis_types:
        lines.append(wanted + ": registered at " + _where(reached))
    else:
        lines.append(wanted + ": not registered at " + _where(reached) + " (a lookup never falls back from a node)")
    return "".join(line + "\n" for line in lines)


def _miss_hints(manager: Any, os: object) -> str:
    oses = sorted({record["os"] for record in records(_plugins_of(manager)) if record["os"] is not None})
    if not oses:
        return "sorvex: no plugins registered\n"
    hints = ""
    if isinstance(os, str) and os not in oses:
        import difflib

        close = difflib.get_close_matches(os, oses, n=1)
        hints += "sorvex: OS '" + os + "' is not registered" + ("; did you mean '" + close[0] + "'?" if close else "")
        hints += "\n"
    return hints + "sorvex: registered OSes: " + ", ".join(oses) + "\n"


def _lookup(manager: Any, args: argparse.Namespace) -> Outcome:
    description = {"os": args.os, "series": args.series, "model": args.model, "chassis_type": args.chassis_type}
    out = ""
    if args.explain:
        try:
            manager.validate_arguments(**description)
        except ConnectionInfraError as error:
            return NOT_FOUND, "invalid description, nothing walked\n", _text(error) + "\n"
        out = _explain(_plugins_of(manager), args.os, args.series, args.model, args.chassis_type)
    try:
        cls = manager.get_plugin(**description)
    except ConnectionInfraError as error:
        err = _text(error) + "\n"
        try:
            manager.validate_arguments(**description)
        except Exception:
            pass  # invalid: the message says why
        else:
            err += _miss_hints(manager, args.os)
        return NOT_FOUND, out, err
    except Exception as error:
        err = _traceback(error) if args.verbose else ""
        return NOT_FOUND, out, err + "sorvex: lookup failed: " + _describe_error(error) + "\n"
    if args.json:
        _, reached, _ = _walk(_plugins_of(manager), args.os, args.series, args.model)
        record = _record(tuple(reached), args.chassis_type, {"cls": cls, "path": _source_file(cls)})
        return FOUND, _to_json(record), ""
    return FOUND, out + _class_name(cls) + " (" + _source_file(cls) + ")\n", ""


COMMANDS = {"tree": _tree, "list": _list, "lookup": _lookup}


def _run(args: argparse.Namespace) -> Outcome:
    try:
        discover()
    except PluginLoadError as failure:
        cause = failure.__cause__
        err = _traceback(cause) if args.verbose and cause is not None else ""
        return FAILED, "", err + "sorvex: " + str(failure) + "\n"
    return COMMANDS[args.command or "tree"](sorvex.__plugin_manager__, args)


# The command line. -v and --version work before and after the subcommand:
# the subcommands know them too, with defaults that leave the main parser's
# values alone.


def _add_global_options(parser: argparse.ArgumentParser, default: Any) -> None:
    parser.add_argument("--version", action="version", version="sorvex " + sorvex.__version__)
    parser.add_argument(
        "-v",
        "--verbose",
        action="store_true",
        default=default,
        help="show the debug records of the sorvex logger, and the traceback of a plugin that fails, on stderr",
    )


def build_parser(prog: str = "sorvex") -> argparse.ArgumentParser:
    """The parser of the ``sorvex`` command line."""
    parser = argparse.ArgumentParser(
        prog=prog,
        description="Discover the sorvex plugins; show the plugin tree, list the plugins, or look one up.",
        epilog="Exit status: 0 found (and for tree and list), 1 not found or invalid description, "
        "2 a plugin failed to load or the command line is wrong.",
    )
    _add_global_options(parser, False)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    tree = commands.add_parser("tree", help="print the plugin tree (the default command)")
    _add_global_options(tree, argparse.SUPPRESS)

    listing = commands.add_parser("list", help="one line per registered plugin, sorted")
    _add_global_options(listing, argparse.SUPPRESS)
    listing.add_argument("--json", action="store_true", help="print a JSON array of objects instead")

    lookup = commands.add_parser("lookup", help="print the connection class for a device description")
    _add_global_options(lookup, argparse.SUPPRESS)
    lookup.add_argument("--os", required=True, help="operating system, e.g. talvo")
    lookup.add_argument("--series", help="series, in lower case, e.g. t5")
    lookup.add_argument("--model", help="model, in lower case or digits (needs --series)")
    lookup.add_argument("--chassis-type", default="single_rp", help="single_rp (default), dual_rp or stack")
    shown = lookup.add_mutually_exclusive_group()
    shown.add_argument("--json", action="store_true", help="print the record found as a JSON object")
    shown.add_argument("--explain", action="store_true", help="print each step of the walk through the tree first")
    return parser


@contextmanager
def _debug_records_on_stderr(enabled: bool) -> Iterator[None]:
    if not enabled:
        yield
        return
    logger = logging.getLogger("sorvex")
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(levelname)s:%(name)s:%(message)s"))
    old_level = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    try:
        yield
    finally:
        logger.removeHandler(handler)
        logger.setLevel(old_level)


def main(argv: Optional[Sequence[str]] = None, prog: str = "sorvex") -> int:
    """Run the ``sorvex`` command with ``argv`` (default ``sys.argv[1:]``); return the exit status."""
    try:
        args = build_parser(prog).parse_args(argv)
    except SystemExit as exit:  # --help, --version, or a wrong command line
        flush_stdout()
        return exit.code if isinstance(exit.code, int) else (0 if exit.code is None else FAILED)
    with _debug_records_on_stderr(args.verbose):
        status, out, err = _run(args)
    return emit(status, out, err)
