"""``python -m sorvex``: the ``sorvex`` command (see :mod:`sorvex._cli`)."""
import sys

from sorvex._cli import main

if __name__ == "__main__":
    sys.exit(main(prog="python -m sorvex"))
