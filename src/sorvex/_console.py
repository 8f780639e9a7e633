"""Output helpers shared by the package's command-line entry points.

``sorvex list | head -1`` closes standard output while the command still
writes, or before the interpreter flushes it at exit. Neither is an error
worth a traceback or an "Exception ignored" message: the commands write their
whole output through :func:`emit`, which flushes at once and, when the reader
has gone, points standard output at the null device so that the final flush
at exit has somewhere to go.
"""
from __future__ import annotations

import os
import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Callable, Optional, TextIO


def _silence_stdout() -> None:
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(devnull, sys.stdout.fileno())
        finally:
            os.close(devnull)
    except (OSError, ValueError, AttributeError):
        # Not backed by a file descriptor (a test's capture buffer, say):
        # nothing is flushed to a closed pipe at exit either.
        pass


def _printable(text: str, stream: TextIO) -> str:
    # Names in a tree edited by hand may hold lone surrogates or characters
    # the terminal's encoding lacks; show them escaped instead of failing.
    encoding = getattr(stream, "encoding", None) or "utf-8"
    try:
        text.encode(encoding)
    except UnicodeEncodeError:
        text = text.encode(encoding, "backslashreplace").decode(encoding)
    except LookupError:
        pass
    return text


def write(stream: Optional[TextIO], text: str) -> bool:
    """Write ``text`` to ``stream`` and flush it; False when its reader has gone.

    A closed standard output is pointed at the null device; a closed
    standard error is left alone (there is nobody left to tell).
    """
    if stream is None or not text:
        return True
    try:
        stream.write(_printable(text, stream))
        stream.flush()
    except BrokenPipeError:
        if stream is sys.stdout:
            _silence_stdout()
        return False
    return True


def emit(status: int, out: str = "", err: str = "") -> int:
    """Write a command's finished output and return its exit status unchanged."""
    write(sys.stdout, out)
    write(sys.stderr, err)
    return status


def flush_stdout() -> None:
    """Flush what others (``argparse``, ``print``) wrote to standard output."""
    try:
        if sys.stdout is not None:
            sys.stdout.flush()
    except BrokenPipeError:
        _silence_stdout()


def run_command(main: Callable[[], int]) -> int:
    """Run ``main``, which prints as it goes, and return its exit status.

    The output is flushed before returning. When the reader has gone, the
    status is ``main``'s own if it had finished, and 1 if it was cut short.
    """
    try:
        status = main()
    except BrokenPipeError:
        _silence_stdout()
        return 1
    flush_stdout()
    return status
