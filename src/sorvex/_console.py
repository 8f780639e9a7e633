"""Output helpers shared by the package's command-line entry points.

``sorvex list | head -1`` closes standard output while the command still
writes, or before the interpreter flushes it at exit. Neither is an error
worth a traceback or an "Exception ignored" message: the commands write their
whole output through :func:`emit`, which flushes at once and, when the reader
has gone, points standard output at the null device so that the final flush
at exit has somewhere to go. A standard output that cannot take the output
(``sorvex list > /dev/full``) is told in one line on standard error instead,
with exit status 2.
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


#: The exit status when standard output cannot take the output (a full disk,
#: ``sorvex list > /dev/full``); a reader that went away is not a failure.
WRITE_FAILED = 2


def write(stream: Optional[TextIO], text: str) -> Optional[OSError]:
    """Write ``text`` to ``stream`` and flush it; the error if it could not be written.

    Standard output that failed is pointed at the null device, so that the
    final flush at exit has somewhere to go; a failed standard error is left
    alone (there is nobody left to tell).
    """
    if stream is None or not text:
        return None
    try:
        stream.write(_printable(text, stream))
        stream.flush()
    except OSError as error:
        if stream is sys.stdout:
            _silence_stdout()
        return error
    return None


def _write_failure(error: OSError) -> str:
    return "sorvex: cannot write to standard output: " + (error.strerror or str(error) or type(error).__name__) + "\n"


def emit(status: int, out: str = "", err: str = "") -> int:
    """Write a command's finished output and return its exit status.

    The status is the command's own, also when the reader has gone; it is
    :data:`WRITE_FAILED` when standard output could not take the output.
    """
    error = write(sys.stdout, out)
    if error is not None and not isinstance(error, BrokenPipeError):
        status, err = WRITE_FAILED, err + _write_failure(error)
    write(sys.stderr, err)
    return status


def flush_stdout() -> int:
    """Flush what others (``argparse``, ``print``) wrote to standard output.

    Returns 0, or :data:`WRITE_FAILED` (with a line on standard error) when
    it could not be written.
    """
    try:
        if sys.stdout is not None:
            sys.stdout.flush()
    except BrokenPipeError:
        _silence_stdout()
    except OSError as error:
        _silence_stdout()
        write(sys.stderr, _write_failure(error))
        return WRITE_FAILED
    return 0


def run_command(main: Callable[[], int]) -> int:
    """Run ``main``, which prints as it goes, and return its exit status.

    The output is flushed before returning. When the reader has gone, the
    status is ``main``'s own if it had finished, and 1 if it was cut short;
    when the output cannot be flushed, it is :data:`WRITE_FAILED`.
    """
    try:
        status = main()
    except BrokenPipeError:
        _silence_stdout()
        return 1
    return flush_stdout() or status
