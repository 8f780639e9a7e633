"""Command line of sorvex: ``python -m sorvex``.

Without a subcommand it discovers the built-in and the external plugins and
prints the shared plugin manager, that is the plugin tree. ``lookup`` prints
the connection class that the manager returns for a device description.
"""
import argparse
import inspect
import logging
import sys

import sorvex
from sorvex import PluginManager
from sorvex.core.errors import ConnectionInfraError


def _build_parser():
    parser = argparse.ArgumentParser(
        prog="python -m sorvex",
        description="Discover sorvex plugins and show the plugin tree, or look up one plugin.",
    )
    parser.add_argument("--version", action="version", version="sorvex " + sorvex.__version__)
    parser.add_argument(
        "-v", "--verbose", action="store_true", help="show the debug records of the sorvex logger on stderr"
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    lookup = commands.add_parser("lookup", help="print the connection class for a device description")
    lookup.add_argument("--os", required=True, help="operating system, e.g. talvo")
    lookup.add_argument("--series", help="series, in lower case, e.g. t5")
    lookup.add_argument("--model", help="model, in lower case or digits (needs --series)")
    lookup.add_argument(
        "--chassis-type", default="single_rp", help="single_rp (default), dual_rp or stack"
    )
    return parser


def _discover():
    PluginManager.discover_builtin_plugins()
    PluginManager.discover_external_plugins()


def _describe(cls):
    name = getattr(cls, "__module__", "?") + "." + getattr(cls, "__qualname__", repr(cls))
    try:
        path = inspect.getfile(cls)
    except TypeError:
        path = "built-in"
    return name + " (" + path + ")"


def _run(args):
    _discover()
    manager = sorvex.__plugin_manager__
    if args.command is None:
        print(manager)
        return 0
    try:
        cls = manager.get_plugin(
            os=args.os, series=args.series, model=args.model, chassis_type=args.chassis_type
        )
    except ConnectionInfraError as error:
        print(error, file=sys.stderr)
        return 1
    print(_describe(cls))
    return 0


def main(argv=None):
    """Run the command with ``argv`` (default: ``sys.argv[1:]``); return the exit status."""
    args = _build_parser().parse_args(argv)
    if not args.verbose:
        return _run(args)
    logger = logging.getLogger("sorvex")
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(levelname)s:%(name)s:%(message)s"))
    old_level = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    try:
        return _run(args)
    finally:
        logger.removeHandler(handler)
        logger.setLevel(old_level)


if __name__ == "__main__":
    from sorvex._console import run_command

    sys.exit(run_command(main))
