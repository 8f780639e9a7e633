"""The cost of plugin discovery, and of ``import sorvex``, in a large environment.

It builds an environment of 300 distributions (``--distributions``), of which
5 (``--in-group``) have an entry point in the group ``sorvex.plugins``, each
naming a module that registers one class on the shared manager; a third of
the others have entry points of other groups, and every one has the files a
wheel installs (``METADATA`` with a description, ``RECORD``, ``WHEEL``). The
directory goes first on ``PYTHONPATH``.

Then, in fresh interpreters, many times, interleaved so that a busy moment of
the machine hits them all alike, it times the discovery step alone, after
the library and ``sorvex`` are imported:

- ``sorvex.load_plugins(builtin=False)``, and
  ``PluginManager.discover_external_plugins()``;
- ``importlib.metadata.entry_points(group=...)`` and ``load()`` of each;
- pluggy's ``PluginManager.load_setuptools_entrypoints(group)``;
- stevedore's ``ExtensionManager(group)`` (which keeps a cache of the entry
  points of the whole path between runs, in the user's cache directory);

each of which loads the same 5 modules. It also times ``import sorvex``
whole against the import of the standard modules that ``import sorvex``
brings in (found by importing it once), both less the start-up of an
interpreter that runs ``pass``.

It prints medians and ratios (sorvex divided by the other: lower is faster)
and whether each goal is met: discovery at most 0.5 times importlib.metadata's
and below pluggy's and stevedore's; ``import sorvex`` at most 1.2 times the
standard modules. It is a report: the exit status is 0 whatever the numbers
(1 only when a run fails). pluggy and stevedore rows are left out when they
are not installed.

    python benchmarks/discovery.py [--rounds N] [--distributions N] [--in-group N]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

GROUP = "sorvex.plugins"
DISCOVERY_GOAL = 0.5  # times importlib.metadata's
IMPORT_GOAL = 1.2  # times the standard modules'

PLUGIN = """\
from sorvex import __plugin_manager__


class Bench{index}Connection:
    \"\"\"A connection class of the benchmark.\"\"\"


__plugin_manager__.register_plugin(cls=Bench{index}Connection, os="bench{index}")
"""

DESCRIPTION = "A distribution of the discovery benchmark.\n\n" + "It does nothing at all, at length. " * 60 + "\n"

# Each timed statement runs after SETUP, between two clock readings, and the
# run checks that the benchmark's plugins were registered.
SETUP = {
    "sorvex load_plugins": "import sorvex",
    "sorvex discover_external": "import sorvex",
    "importlib.metadata": "import sorvex\nimport importlib.metadata as metadata",
    "pluggy": "import sorvex\nimport pluggy",
    "stevedore": "import sorvex\nimport stevedore",
}
DISCOVER = {
    "sorvex load_plugins": "sorvex.load_plugins(builtin=False)",
    "sorvex discover_external": "sorvex.PluginManager.discover_external_plugins()",
    "importlib.metadata": (
        "selected = metadata.entry_points(group=GROUP) if sys.version_info >= (3, 10) "
        "else metadata.entry_points().get(GROUP, ())\n"
        "for entry_point in selected:\n"
        "    entry_point.load()"
    ),
    "pluggy": "pluggy.PluginManager('sorvex').load_setuptools_entrypoints(GROUP)",
    "stevedore": "stevedore.ExtensionManager(GROUP, invoke_on_load=False)",
}
TIMED = """\
import sys, time
GROUP = {group!r}
{setup}
start = time.perf_counter()
{discover}
elapsed = time.perf_counter() - start
found = sum(1 for name in sorvex.__plugin_manager__.plugins if name.startswith("bench"))
assert found == {in_group}, found
print(elapsed)
"""

STANDARD_MODULES = """\
import sys, sysconfig
stdlib = sysconfig.get_paths()["stdlib"]
before = set(sys.modules)
import sorvex
names = []
for name in sorted(set(sys.modules) - before):
    module = sys.modules[name]
    path = getattr(module, "__file__", None)
    if name.split(".")[0] != "sorvex" and (path is None or path.startswith(stdlib)):
        names.append(name)
print(", ".join(names))
"""


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as file:
        file.write(text)


def build_environment(site, distributions, in_group):
    """The distributions, as installers lay them out; the plugin modules beside them."""
    plugins = set(range(0, distributions, max(distributions // in_group, 1))[:in_group])
    for index in range(distributions):
        name = "bench-dist-%03d" % index
        info = os.path.join(site, "bench_dist_%03d-1.%d.dist-info" % (index, index % 7))
        metadata = "Metadata-Version: 2.1\nName: %s\nVersion: 1.%d\nSummary: benchmark\n" % (name, index % 7)
        write(os.path.join(info, "METADATA"), metadata + "Requires-Dist: sorvex\n\n" + DESCRIPTION)
        write(os.path.join(info, "WHEEL"), "Wheel-Version: 1.0\nGenerator: bench\nRoot-Is-Purelib: true\nTag: py3-none-any\n")
        write(os.path.join(info, "RECORD"), "bench_dist_%03d/__init__.py,,\n" % index)
        write(os.path.join(info, "top_level.txt"), "bench_dist_%03d\n" % index)
        sections = []
        if index in plugins:
            module = "bench_plugin_%03d" % index
            sections.append("[%s]\nbench%d = %s\n" % (GROUP, index, module))
            write(os.path.join(site, module + ".py"), PLUGIN.format(index=index))
        if index % 3 == 1:
            sections.append("[console_scripts]\nbench-tool-%03d = bench_dist_%03d:main\n" % (index, index))
        if sections:
            write(os.path.join(info, "entry_points.txt"), "\n".join(sections))
    return len(plugins)


def available(module):
    command = [sys.executable, "-c", "import " + module]
    return subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


def run_timed(source, env):
    """The number the program printed (its own timing), or its wall time for an import statement."""
    start = time.perf_counter()
    result = subprocess.run([sys.executable, "-c", source], env=env, capture_output=True, text=True)
    wall = time.perf_counter() - start
    if result.returncode != 0:
        raise RuntimeError("a timed run failed:\n" + source + "\n" + result.stderr)
    return float(result.stdout) if result.stdout.strip() else wall


def measure(programs, env, rounds):
    times = {name: [] for name in programs}
    names = list(programs)
    for round_number in range(rounds):
        # A different order each round: no program always runs right after
        # another one's page cache and allocator warm-up.
        shift = round_number % len(names)
        for name in names[shift:] + names[:shift]:
            times[name].append(run_timed(programs[name], env))
    return {name: statistics.median(values) for name, values in times.items()}


def verdict(ok):
    return "PASS" if ok else "MISS"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=30, help="runs of each program (default 30)")
    parser.add_argument("--distributions", type=int, default=300, help="distributions installed (default 300)")
    parser.add_argument("--in-group", type=int, default=5, help="of which have a sorvex plugin (default 5)")
    args = parser.parse_args(argv)

    root = tempfile.mkdtemp(prefix="sorvex-discovery-bench-")
    try:
        site = os.path.join(root, "site-packages")
        in_group = build_environment(site, args.distributions, args.in_group)
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([site] + [p for p in [os.environ.get("PYTHONPATH")] if p]))
        env.pop("SORVEX_DISABLE_PLUGINS", None)
        # Compiled modules, as an installed package has them: the warm-up
        # runs write them for the benchmark's own plugin modules.
        env.pop("PYTHONDONTWRITEBYTECODE", None)
        programs = {}
        for name in DISCOVER:
            library = name.split()[0].split(".")[0]
            if library in ("pluggy", "stevedore") and not available(library):
                print(name + ": not installed, left out")
                continue
            programs[name] = TIMED.format(group=GROUP, setup=SETUP[name], discover=DISCOVER[name], in_group=in_group)
        standard = subprocess.run([sys.executable, "-c", STANDARD_MODULES], env=env, capture_output=True,
                                  text=True, check=True).stdout.strip()  # fmt: skip
        imports = {
            "pass": "pass",
            "import sorvex": "import sorvex",
            # every one, submodules too, as sorvex's import brought them in
            "standard modules": "for name in %r.split(', '):\n    __import__(name)" % standard,
        }
        for source in list(programs.values()) + list(imports.values()):  # warm the caches; fail early
            run_timed(source, env)
        discovery = measure(programs, env, args.rounds)
        startup = measure(imports, env, args.rounds)
    finally:
        shutil.rmtree(root, ignore_errors=True)

    print("Python %s, %d distributions (%d in %s), %d rounds, medians" % (
        sys.version.split()[0], args.distributions, in_group, GROUP, args.rounds))  # fmt: skip
    print("\ndiscovery step alone (after the imports):")
    for name, seconds in discovery.items():
        print("  %-26s %8.2f ms" % (name, seconds * 1000))
    baselines = [name for name in ("importlib.metadata", "pluggy", "stevedore") if name in discovery]
    print("\nsorvex / other (lower is faster):")
    for ours in ("sorvex load_plugins", "sorvex discover_external"):
        for other in baselines:
            ratio = discovery[ours] / discovery[other]
            goal = DISCOVERY_GOAL if other == "importlib.metadata" else 1.0
            print("  %-26s / %-20s %6.3f  goal <= %.1f %s" % (ours, other, ratio, goal, verdict(ratio <= goal)))

    pass_time = startup["pass"]
    cost = {name: max(seconds - pass_time, 0.0) for name, seconds in startup.items() if name != "pass"}
    ratio = cost["import sorvex"] / cost["standard modules"] if cost["standard modules"] else float("inf")
    print("\nimport, less the start-up of an empty interpreter (%.1f ms):" % (pass_time * 1000))
    print("  import sorvex              %8.2f ms" % (cost["import sorvex"] * 1000))
    print("  the standard modules       %8.2f ms   (%s)" % (cost["standard modules"] * 1000, standard))
    print("  ratio %.2f  goal <= %.1f %s" % (ratio, IMPORT_GOAL, verdict(ratio <= IMPORT_GOAL)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
