"""The cost of ``import sorvex`` on the interpreter that runs this script.

Each statement runs in fresh interpreters, many times, interleaved with the
others so that a busy moment of the machine hits them all alike:

- ``import sorvex`` with ``pkg_resources`` blocked (``sys.modules`` maps it to
  None first), so the plugin manager takes the importlib.metadata path;
- ``import sorvex`` as it comes (``pkg_resources`` when setuptools ships it);
- ``import logging, inspect, pkgutil, importlib``, the standard modules the
  manager needs anyway: the baseline;
- ``pass``, whose median (the interpreter's start and exit) is subtracted
  from the others.

It prints the medians and their ratios to the baseline; the goal is a
blocked import of at most 1.5 times the baseline. It is a report: the exit
status is 0 whatever the numbers (and 1 only when a statement fails).

    python benchmarks/import_time.py [--rounds N]
"""
import argparse
import statistics
import subprocess
import sys
import time

STATEMENTS = {
    "pass": "pass",
    "baseline": "import logging, inspect, pkgutil, importlib",
    "blocked": "import sys; sys.modules['pkg_resources'] = None; import sorvex",
    "unblocked": "import sorvex",
}
GOAL = 1.5

PATH_PROBE = (
    "import sys; {block}import sorvex.core.pluginmanager as m; "
    "print(getattr(m.iter_entry_points, '__module__', None) or type(m.iter_entry_points).__module__)"
)


def run_once(statement):
    """Seconds from start to exit of a fresh interpreter that runs ``statement``."""
    command = [sys.executable, "-c", statement]
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def entry_point_source(blocked):
    block = "sys.modules['pkg_resources'] = None; " if blocked else ""
    result = subprocess.run(
        [sys.executable, "-c", PATH_PROBE.format(block=block)], check=True, capture_output=True, text=True
    )
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
    sources = {"blocked": entry_point_source(True), "unblocked": entry_point_source(False)}
    print(f"{'statement':<12} {'ms':>7} {'x baseline':>11}  entry points from")
    for name, seconds in cost.items():
        ratio = seconds / cost["baseline"] if cost["baseline"] else float("inf")
        print(f"{name:<12} {seconds * 1000:7.1f} {ratio:11.2f}  {sources.get(name, '-')}")
    blocked_ratio = cost["blocked"] / cost["baseline"] if cost["baseline"] else float("inf")
    verdict = "PASS" if blocked_ratio <= GOAL else "MISS"
    print(f"goal: blocked <= {GOAL}x baseline: {blocked_ratio:.2f}x {verdict}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
