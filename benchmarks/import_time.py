"""The cost of ``import sorvex`` on the interpreter that runs this script.

Each statement runs in fresh interpreters, many times, interleaved with the
others so that a busy moment of the machine hits them all alike:

- ``import sorvex``;
- ``import logging, inspect, pkgutil, importlib``, the standard modules the
  manager needs anyway: the baseline;
- ``pass``, whose median (the interpreter's start and exit) is subtracted
  from the others.

It prints the medians and their ratios to the baseline, and which of
``pkg_resources`` and ``importlib.metadata`` the import left loaded (neither,
unless something at start-up loads them). The goal is at most 1.2 times the
baseline. It is a report: the exit status is 0 whatever the numbers (and 1
only when a statement fails). ``benchmarks/discovery.py`` measures the same
in an environment of 300 distributions, with discovery.

    python benchmarks/import_time.py [--rounds N]
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

STATEMENTS = {
    "pass": "pass",
    "baseline": "import logging, inspect, pkgutil, importlib",
    "sorvex": "import sorvex",
}
GOAL = 1.2

LOADED_PROBE = (
    "import sys, sorvex; "
    "print(', '.join(m for m in ('pkg_resources', 'importlib.metadata') if m in sys.modules) or 'neither')"
)


# Compiled modules, as an installed package has them (a first run writes
# them where the package's files were changed since).
ENV = {name: value for name, value in os.environ.items() if name != "PYTHONDONTWRITEBYTECODE"}


def run_once(statement):
    """Seconds from start to exit of a fresh interpreter that runs ``statement``."""
    command = [sys.executable, "-c", statement]
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, env=ENV)
    return time.perf_counter() - start


def loaded_after_import():
    result = subprocess.run([sys.executable, "-c", LOADED_PROBE], check=True, capture_output=True, text=True)
    return result.stdout.strip()


def measure(rounds):
    times = {name: [] for name in STATEMENTS}
    names = list(STATEMENTS)
    for round_number in range(rounds):
        # A different order each round: no statement always runs right after
        # another one's page cache and allocator warm-up.
        shift = round_number % len(names)
        for name in names[shift:] + names[:shift]:
            times[name].append(run_once(STATEMENTS[name]))
    return {name: statistics.median(values) for name, values in times.items()}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=40, help="runs of each statement (default 40)")
    args = parser.parse_args(argv)

    for statement in STATEMENTS.values():  # warm the caches; fail early on a broken install
        run_once(statement)
    medians = measure(args.rounds)
    startup = medians["pass"]
    cost = {name: max(medians[name] - startup, 0.0) for name in STATEMENTS if name != "pass"}

    print(f"Python {sys.version.split()[0]}, {args.rounds} rounds, medians less interpreter start-up "
          f"({startup * 1000:.1f} ms)")
    print(f"{'statement':<12} {'ms':>7} {'x baseline':>11}")
    for name, seconds in cost.items():
        ratio = seconds / cost["baseline"] if cost["baseline"] else float("inf")
        print(f"{name:<12} {seconds * 1000:7.1f} {ratio:11.2f}")
    ratio = cost["sorvex"] / cost["baseline"] if cost["baseline"] else float("inf")
    print(f"loaded after import sorvex: {loaded_after_import()}")
    print(f"goal: import sorvex <= {GOAL}x baseline: {ratio:.2f}x {'PASS' if ratio <= GOAL else 'MISS'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
