"""The ``sorvex`` command (also ``python -m sorvex``)."""
import sys


def main() -> int:
    """Entry point of the ``sorvex`` console script."""
    from sorvex.__main__ import main as run
    from sorvex._console import run_command

    return run_command(lambda: run(sys.argv[1:]))
