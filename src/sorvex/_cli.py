"""The ``sorvex`` command (also ``python -m sorvex``).

::

    sorvex [tree]          the plugin tree, as print(sorvex.__plugin_manager__)
    sorvex list [--json]   one line (or JSON object) per registered record, with its provider
    sorvex lookup --os OS [--series S] [--model M] [--chassis-type C] [--json | --explain]
    sorvex doctor          plugins that failed, records replaced, plugins disabled

Every command first loads the built-in and the external plugins
(:func:`sorvex.load_plugins`); a plugin that fails is reported in one line on
stderr and the command goes on with the others, unless ``--strict``.
``--disable NAME`` skips a plugin. Exit status: 0 found (and for ``tree`` and
``list``), 1 not found or an invalid description, 2 a plugin failed to load
with ``--strict`` (or, for ``doctor``, at all), the command line is wrong or
standard output cannot be written, 130 interrupted.

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
from sorvex._console import emit, flush_stdout
from sorvex._loading import (
    PluginLoadError,
    PluginReport,
    _items,
    _text,
    describe_error,
    iter_records,
    load_plugins,
    record_key,
    where,
)
from sorvex.core.errors import ConnectionInfraError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

    Record = Dict[str, Any]
    Outcome = Tuple[int, str, str]  # exit status, standard output, standard error

__all__ = ["main"]

FOUND = 0
NOT_FOUND = 1  # also an invalid device description
FAILED = 2  # a plugin failed to load (--strict, doctor), or the command line is wrong
INTERRUPTED = 130  # Ctrl-C, as a shell reports a process that SIGINT ended

LEVELS = ("OS", "series", "model")
#: The keys of a record in ``list --json`` and ``lookup --json``, in order.
RECORD_KEYS = ("os", "series", "model", "chassis_type", "class", "path", "provider", "replaced")
#: The header of ``list``; the path comes last, as it may hold blanks.
LIST_HEADER = ("OS", "SERIES", "MODEL", "CHASSIS_TYPE", "CLASS", "PROVIDER", "REPLACED", "PATH")


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


def _error_line(message: object) -> str:
    """``sorvex: `` and the message, without the blanks the manager's messages end with."""
    return "sorvex: " + _text(message).rstrip() + "\n"


def discover(skip: Sequence[str] = (), strict: bool = False) -> PluginReport:
    """Load the built-in, then the external plugins (see :func:`sorvex.load_plugins`)."""
    return load_plugins(skip=skip, strict=strict)


# Records of the tree, as rows: the keys of RECORD_KEYS. A tree edited by hand
# may hold anything: odd nodes are skipped, odd values shown as text.


def _field(record: object, key: str) -> Any:
    if not isinstance(record, dict):
        return None
    try:
        return dict.get(record, key)
    except Exception:
        return None


def _provenance(report: Optional[PluginReport], key: Tuple[Any, ...]) -> Tuple[Any, List[Any]]:
    """The provider of the record at ``key`` and the providers it replaced, as JSON values."""
    if report is None:
        return None, []
    try:
        provider = report.providers.get(key)  # type: ignore[arg-type]
        replaced = [conflict.replaced for conflict in report.conflicts if conflict.key == key]
    except Exception:  # keys of a tree edited by hand that cannot be compared
        return None, []
    return (None if provider is None else provider.as_dict()), [each.as_dict() for each in replaced]


def _record(levels: Tuple[Any, ...], chassis_type: object, record: object, report: Optional[PluginReport]) -> Record:
    os, series, model = (tuple(_text(level) for level in levels) + (None, None, None))[:3]
    cls = _field(record, "cls")
    path = _field(record, "path")
    provider, replaced = _provenance(report, record_key(levels, chassis_type))
    return {
        "os": os,
        "series": series,
        "model": model,
        "chassis_type": _text(chassis_type),
        "class": None if cls is None else _class_name(cls),
        "path": None if path is None else _text(path),
        "provider": provider,
        "replaced": replaced,
    }


def records(tree: object, report: Optional[PluginReport] = None) -> List[Record]:
    """Every record of ``tree``, sorted by place, class and path, with its provider from ``report``."""
    found = [_record(levels, chassis_type, record, report) for levels, chassis_type, record in iter_records(tree)]
    found.sort(key=lambda row: [(row[key] is not None, row[key] or "") for key in RECORD_KEYS[:6]])
    return found


def _plugins_of(manager: Any) -> object:
    try:
        return manager.plugins
    except Exception:
        return {}


def _to_json(value: object) -> str:
    import json

    return json.dumps(value, indent=2) + "\n"


def _provider_text(provider: Optional[Dict[str, Any]]) -> str:
    """``distribution==version`` (one word, for the columns of ``list``), ``-`` for none."""
    if provider is None:
        return "-"
    return _text(provider["distribution"]) + ("==" + _text(provider["version"]) if provider["version"] else "")


def _cells(row: Record) -> List[str]:
    cells = ["-" if row[key] is None else row[key] for key in RECORD_KEYS[:5]]
    cells.append(_provider_text(row["provider"]))
    cells.append(",".join(_provider_text(provider) for provider in row["replaced"]) or "-")
    return cells + ["-" if row["path"] is None else row["path"]]


def _columns(rows: List[Record]) -> str:
    lines = [list(LIST_HEADER)] + [_cells(row) for row in rows]
    widths = [max(len(line[column]) for line in lines) for column in range(len(LIST_HEADER) - 1)]
    text = []
    for line in lines:
        padded = [cell.ljust(width) for cell, width in zip(line, widths)] + line[-1:]
        text.append("  ".join(padded).rstrip() + "\n")
    return "".join(text)


# The commands. Each returns (exit status, standard output, standard error).


def _tree(manager: Any, args: argparse.Namespace, report: PluginReport) -> Outcome:
    if not records(_plugins_of(manager)):
        return FOUND, "sorvex: no plugins registered\n", ""
    return FOUND, _text(manager) + "\n", ""


def _list(manager: Any, args: argparse.Namespace, report: PluginReport) -> Outcome:
    rows = records(_plugins_of(manager), report)
    if args.json:
        return FOUND, _to_json(rows), ""
    if not rows:
        return FOUND, "", "sorvex: no plugins registered\n"
    return FOUND, _columns(rows), ""


def _doctor(manager: Any, args: argparse.Namespace, report: PluginReport) -> Outcome:
    lines = ["loaded: " + str(provider) for provider in report.loaded]
    lines += ["failed: " + str(failure) for failure in report.failures]
    for conflict in report.conflicts:
        lines.append(
            "replaced: at " + where(conflict.key) + ", " + _class_name(conflict.replaced_class) + " from "
            + str(conflict.replaced) + " by " + _class_name(conflict.cls) + " from " + str(conflict.by)
        )  # fmt: skip
    lines += ["disabled: " + str(provider) for provider in report.disabled]
    found = {provider.entry_point for provider in report.disabled}
    lines += ["disabled: '" + name + "' (no plugin of that name)" for name in sorted(report.skip - found)]
    lines.append(
        "%d loaded, %d failed, %d replaced, %d disabled"
        % (len(report.loaded), len(report.failures), len(report.conflicts), len(report.skip | found))
    )
    return (FAILED if report.failures else FOUND), "".join(line + "\n" for line in lines), ""


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
            lines.append(label + " " + name + ": the node cannot be read (" + describe_error(error) + ")")
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


@contextmanager
def _records_muted(muted: bool = True) -> Iterator[None]:
    """No records from the ``sorvex`` logger meanwhile: for the checks the command repeats."""
    logger = logging.getLogger("sorvex")
    before = logger.disabled
    logger.disabled = before or muted
    try:
        yield
    finally:
        logger.disabled = before


def _is_valid(manager: Any, description: Dict[str, Any]) -> bool:
    with _records_muted():  # the lookup has validated it already, with its records
        try:
            manager.validate_arguments(**description)
        except Exception:
            return False
    return True


def _lookup(manager: Any, args: argparse.Namespace, report: PluginReport) -> Outcome:
    description = {"os": args.os, "series": args.series, "model": args.model, "chassis_type": args.chassis_type}
    out = ""
    if args.explain:
        try:
            manager.validate_arguments(**description)
        except ConnectionInfraError as error:
            return NOT_FOUND, "invalid description, nothing walked\n", _error_line(error)
        out = _explain(_plugins_of(manager), args.os, args.series, args.model, args.chassis_type)
    try:
        with _records_muted(args.explain):  # validated above, records and all
            cls = manager.get_plugin(**description)
    except ConnectionInfraError as error:
        err = _error_line(error)
        if _is_valid(manager, description):
            err += _miss_hints(manager, args.os)
        return NOT_FOUND, (_to_json({"error": _text(error).rstrip()}) if args.json else out), err
    except Exception as error:
        err = _traceback(error) if args.verbose else ""
        message = "lookup failed: " + describe_error(error)
        return NOT_FOUND, (_to_json({"error": message}) if args.json else out), err + _error_line(message)
    if args.json:
        _, reached, _ = _walk(_plugins_of(manager), args.os, args.series, args.model)
        record = _record(tuple(reached), args.chassis_type, {"cls": cls, "path": _source_file(cls)}, report)
        return FOUND, _to_json(record), ""
    return FOUND, out + _class_name(cls) + " (" + _source_file(cls) + ")\n", ""


COMMANDS = {"tree": _tree, "list": _list, "lookup": _lookup, "doctor": _doctor}


def _run(args: argparse.Namespace) -> Outcome:
    try:
        report = discover(args.disable, args.strict)
    except PluginLoadError as stopped:
        cause = stopped.__cause__
        err = _traceback(cause) if args.verbose and cause is not None else ""
        return FAILED, "", err + _error_line(stopped)
    command = args.command or "tree"
    err = ""
    for failure in report.failures:
        if args.verbose:
            err += _traceback(failure.error)
        if command != "doctor":  # which tells them on standard output
            err += _error_line(failure)
    status, out, command_err = COMMANDS[command](sorvex.__plugin_manager__, args, report)
    return status, out, err + command_err


# The command line. -v, --strict, --disable and --version work before and
# after the subcommand: the subcommands know them too, with defaults that
# leave the main parser's values alone (--disable after the subcommand goes to
# a list of its own, merged in main()).


def _add_global_options(parser: argparse.ArgumentParser, subcommand: bool) -> None:
    default: Any = argparse.SUPPRESS if subcommand else False
    parser.add_argument("--version", action="version", version="sorvex " + sorvex.__version__)
    parser.add_argument(
        "-v",
        "--verbose",
        action="store_true",
        default=default,
        help="show the debug records of the sorvex logger, and the traceback of a plugin that fails, on stderr",
    )
    parser.add_argument(
        "--strict",
        action="store_true",
        default=default,
        help="stop at the first plugin that fails to load, with exit status 2",
    )
    parser.add_argument(
        "--disable",
        action="append",
        metavar="NAME",
        dest="disable_after" if subcommand else "disable",
        default=argparse.SUPPRESS if subcommand else [],
        help="do not load the external plugin (entry point) NAME; may be repeated; "
        "SORVEX_DISABLE_PLUGINS=NAME,NAME adds to these",
    )


SUBCOMMANDS = {
    "tree": (
        "print the plugin tree (the default command)",
        "Load the plugins, then print the plugin tree of the shared manager, as print(sorvex.__plugin_manager__).",
        "sorvex tree\n  sorvex --disable mirel tree",
    ),
    "list": (
        "one line per registered plugin, sorted, with its provider",
        "Load the plugins, then print one line per registered record, sorted: OS, series, model, chassis type, "
        "class, the distribution that provided it, the providers whose record it replaced, and the file that "
        "defines the class ('-' for none).",
        "sorvex list\n  sorvex list --json",
    ),
    "lookup": (
        "print the connection class for a device description",
        "Load the plugins, then print the class that a device description resolves to, with the file that "
        "defines it. Exit status 1 if there is none or the description is invalid.",
        "sorvex lookup --os talvo --series t5 --model t548\n  sorvex lookup --os talvo --chassis-type stack --explain",
    ),
    "doctor": (
        "show the plugins that failed, the records replaced and the plugins disabled",
        "Load the plugins, then print each one that loaded, each one that failed and why, each record that a "
        "later plugin replaced, and each plugin disabled. Exit status 2 if a plugin failed.",
        "sorvex doctor\n  SORVEX_DISABLE_PLUGINS=mirel sorvex doctor",
    ),
}


def build_parser(prog: str = "sorvex") -> argparse.ArgumentParser:
    """The parser of the ``sorvex`` command line."""
    import textwrap

    parser = argparse.ArgumentParser(
        prog=prog,
        description="Load the sorvex plugins; show the plugin tree, list the plugins, look one up, "
        "or show what went wrong.",
        epilog="Exit status: 0 found (and for tree and list), 1 not found or invalid description, "
        "2 a plugin failed to load (with --strict; for doctor, always), the command line is wrong "
        "or the output cannot be written, 130 interrupted.",
    )
    _add_global_options(parser, subcommand=False)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    added = {}
    for name, (summary, description, examples) in SUBCOMMANDS.items():
        added[name] = commands.add_parser(
            name,
            help=summary,
            description=textwrap.fill(description, 78),
            epilog="examples:\n  " + examples,
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        _add_global_options(added[name], subcommand=True)
    added["list"].add_argument("--json", action="store_true", help="print a JSON array of objects instead")
    lookup = added["lookup"]
    lookup.add_argument("--os", required=True, help="operating system, e.g. talvo")
    lookup.add_argument("--series", help="series, in lower case, e.g. t5")
    lookup.add_argument("--model", help="model, in lower case or digits (needs --series)")
    lookup.add_argument("--chassis-type", default="single_rp", help="single_rp (default), dual_rp or stack")
    shown = lookup.add_mutually_exclusive_group()
    shown.add_argument("--json", action="store_true", help="print the record found (or the error) as a JSON object")
    shown.add_argument("--explain", action="store_true", help="print each step of the walk through the tree first")
    return parser


class _Once(logging.Filter):
    """Lets each distinct record through once: a check that runs again says nothing new."""

    def __init__(self) -> None:
        super().__init__()
        self.seen: set = set()

    def filter(self, record: logging.LogRecord) -> bool:
        key = (record.levelno, record.getMessage())
        if key in self.seen:
            return False
        self.seen.add(key)
        return True


@contextmanager
def _debug_records_on_stderr(enabled: bool) -> Iterator[None]:
    if not enabled:
        yield
        return
    logger = logging.getLogger("sorvex")
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(levelname)s:%(name)s:%(message)s"))
    handler.addFilter(_Once())
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
        try:
            args = build_parser(prog).parse_args(argv)
        except SystemExit as exit:  # --help, --version, or a wrong command line
            status = exit.code if isinstance(exit.code, int) else (0 if exit.code is None else FAILED)
            return flush_stdout() or status
        args.disable = list(args.disable) + list(getattr(args, "disable_after", []))
        with _debug_records_on_stderr(args.verbose):
            status, out, err = _run(args)
        return emit(status, out, err)
    except KeyboardInterrupt:
        # Ctrl-C: no traceback; the shell's own line break follows ^C.
        return INTERRUPTED
