"""Helpers shared by the package's command-line entry points."""
import os
import sys
from typing import Callable


def run_command(main: Callable[[], int]) -> int:
    """Run ``main`` and return its exit status.

    ``python -m ... | head`` closes standard output early; that is not an
    error worth a traceback.
    """
    try:
        return main()
    except BrokenPipeError:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
