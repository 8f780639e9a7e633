"""Speed of the native plugin manager, as ratios.

Run from the repository root, with the package installed, on any CPython
from 3.7 up:

    python benchmarks/bench.py

For 3.14 and 3.15, which run in the Debian unstable root of
``scripts/sid-root.sh``, run it there, so that the floor is built with that
root's compiler for that root's interpreter:

    bash scripts/sid-root.sh --run sh -c 'python3.14 -m venv build/bench-3.14 &&
        build/bench-3.14/bin/pip install -q . && build/bench-3.14/bin/python benchmarks/bench.py'

The native ``sorvex.core.pluginmanager.PluginManager`` is timed against the
pure-Python rendition in ``pure_plugin_manager.py`` and, for ``get_plugin``,
against a floor: ``floor.c``, a C method with the same four parameters that
walks the same nested dicts without validating anything. The script compiles
it with the interpreter's own compiler and flags (from ``sysconfig``; no
setuptools needed) into ``benchmarks/_build/<EXT_SUFFIX>/``, one directory per
interpreter ABI.

All candidates are timed in the same run, round-robin: every round times each
candidate of every operation once, in a rotating order, so that machine noise
hits all of them alike. Each timing is a batch of a few milliseconds, after
one untimed run of the same statement; the cost of an empty timing loop is
subtracted; the ratio of one round is
native / other, and the table shows the median over all rounds. The exit
status is 0 whatever the verdicts: this is a report, not a test.

Options: ``--rounds N`` (default 41), ``--quick`` (7 rounds: a smoke run).
"""
import argparse
import importlib.util
import os
import pathlib
import platform
import shlex
import statistics
import subprocess
import sys
import sysconfig
import timeit

HERE = pathlib.Path(__file__).resolve().parent
BUILD = HERE / "_build"
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import pure_plugin_manager as pure  # noqa: E402
from sorvex.core import pluginmanager as native  # noqa: E402
from sorvex.core.errors import ConnectionInfraError  # noqa: E402

BATCH_SECONDS = 0.002


class Talvo:
    """Plugin registered at OS level."""


class T3z:
    """Plugin registered at series level."""


class M1:
    """Plugin registered at model level."""


def floor_commands(source, obj, target):
    """The compile and link commands distutils would use for an extension of this interpreter."""
    var = sysconfig.get_config_var
    paths = sysconfig.get_paths()
    includes = []
    for key in ("include", "platinclude"):
        if paths[key] not in includes:
            includes.append(paths[key])
    compile_cmd = (shlex.split(var("CC")) + shlex.split(var("CFLAGS") or "") + shlex.split(var("CCSHARED") or "")
                   + ["-I" + d for d in includes] + ["-c", str(source), "-o", str(obj)])
    link_cmd = shlex.split(var("LDSHARED")) + [str(obj), "-o", str(target)]
    return compile_cmd, link_cmd


def load_floor():
    """Build floor.c if it or the build commands changed, and import it; None if that fails."""
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    source = HERE / "floor.c"
    out = BUILD / suffix.lstrip(".")
    target = out / ("_floor" + suffix)
    stamp = out / "commands"
    try:
        commands = floor_commands(source, out / "floor.o", target)
        recorded = "".join(" ".join(map(shlex.quote, cmd)) + "\n" for cmd in commands)
        if (not target.exists() or target.stat().st_mtime < source.stat().st_mtime
                or not stamp.exists() or stamp.read_text() != recorded):
            out.mkdir(parents=True, exist_ok=True)
            # Link to a private name first: another run of this interpreter may be importing the old one.
            partial = target.with_name("_floor.%d.tmp" % os.getpid())
            compile_cmd, link_cmd = floor_commands(source, out / ("floor.%d.o" % os.getpid()), partial)
            for cmd in (compile_cmd, link_cmd):
                done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
                if done.returncode != 0:
                    raise RuntimeError("%s failed:\n%s" % (" ".join(map(shlex.quote, cmd)), done.stdout))
            os.remove(compile_cmd[-1])
            os.replace(str(partial), str(target))
            stamp.write_text(recorded)
        spec = importlib.util.spec_from_file_location("_floor", str(target))
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        return module
    except Exception as exc:  # a missing compiler should not cost the rest of the report
        print("floor unavailable: %s" % (exc,), file=sys.stderr)
        return None


def lookup_manager(module):
    m = module.PluginManager()
    m.register_plugin(Talvo, os="talvo")
    m.register_plugin(T3z, os="talvo", series="t3z")
    m.register_plugin(M1, os="talvo", series="t3z", model="m1")
    for i in range(8):  # some siblings, so the nodes are not trivially small
        m.register_plugin(M1, os="talvo", series="t3z", model=f"m{i + 2}", chassis_type="dual_rp")
        m.register_plugin(T3z, os="talvo", series=f"s{i}")
        m.register_plugin(Talvo, os=f"mocked-{i}")
    return m


def big_manager(module, records):
    """A manager holding `records` plugin records spread over 4 OSes."""
    m = module.PluginManager()
    oses = ["talvo", "linux", "mocked-a", "mocked-b"]
    per_series = 50
    for i in range(records):
        series, model = divmod(i // len(oses), per_series)
        chassis = "dual_rp" if i % 7 == 0 else "single_rp"
        m.register_plugin((Talvo, T3z, M1)[i % 3], os=oses[i % len(oses)], series=f"s{series}",
                          model=f"m{model}", chassis_type=chassis)
    return m


GET_CALLS = {
    "get_plugin, hit at OS": 'm.get_plugin(os="talvo")',
    "get_plugin, hit at series": 'm.get_plugin(os="talvo", series="t3z")',
    "get_plugin, hit at model": 'm.get_plugin(os="talvo", series="t3z", model="m1")',
    # the model node has no "stack" record: the manager raises, the loop catches
    "get_plugin, miss": 'm.get_plugin(os="talvo", series="t3z", model="m1", chassis_type="stack")',
}
# The row that shows whether get_plugin takes its fast path on a manager in the common shape.
FAST_PATH_LABEL = "get_plugin, hit at model"
FAST_PATH_AGAINST = "the same, a check replaced on the instance"
FAST_PATH_GOAL = 0.7
# The same hit called through the class, for both: no method is looked up on the
# instance. On 3.12 that lookup is not specialised once an instance has a dict (the
# manager's does), so this row shows what the lookup itself costs there.
THROUGH_CLASS_LABEL = "get_plugin, hit at model, called as type(m).get_plugin(m, ...)"
THROUGH_CLASS_CALL = 'G(m, os="talvo", series="t3z", model="m1")'
OTHER_CALLS = {  # label: (statement, goal against pure Python)
    "register_plugin, replacing a record": ('m.register_plugin(M1, os="talvo", series="t3z", model="m1")', 0.40),
    "unregister_plugin + register_plugin": (
        'm.unregister_plugin(os="talvo", series="t3z", model="m1", chassis_type="single_rp")\n'
        'm.register_plugin(M1, os="talvo", series="t3z", model="m1")', 0.30),
    "validate_arguments": (
        'm.validate_arguments(os="talvo", series="t3z", model="m1", chassis_type="single_rp")', 0.16),
}


class Case:
    """One comparison: `mine` against `other`, with an optional goal."""

    def __init__(self, label, against, mine, other, goal=None):
        self.label, self.against, self.goal = label, against, goal
        self.timers = [mine, other]
        self.numbers = [calibrate(t) for t in self.timers]
        self.samples = [[], []]

    def run_once(self, flip):
        order = (1, 0) if flip else (0, 1)
        for i in order:
            # One untimed run first, so that what the previous case left in the caches
            # (200,000 records evict everything) does not count.
            self.timers[i].timeit(1)
            self.samples[i].append(self.timers[i].timeit(self.numbers[i]) / self.numbers[i])

    def ratio(self, overhead):
        per_round = [(a - overhead) / (b - overhead) for a, b in zip(*self.samples)]
        return statistics.median(per_round)


def timer(stmt, m):
    return timeit.Timer(stmt, globals={"m": m, "G": type(m).get_plugin, "E": ConnectionInfraError, "M1": M1})


def calibrate(t):
    number = 1
    while True:
        if t.timeit(number) >= BATCH_SECONDS / 2:
            return max(1, int(number * BATCH_SECONDS / t.timeit(number)))
        number *= 4


def check_same_answers(candidates):
    for call in GET_CALLS.values():
        answers = []
        for m in candidates:
            try:
                answers.append(eval(call, {"m": m}))
            except ConnectionInfraError as exc:
                answers.append(exc.args)
        assert all(a == answers[0] for a in answers), (call, answers)


def build_cases(floor):
    cases = []
    nat, py = lookup_manager(native), lookup_manager(pure)
    fl = floor.Floor(nat.plugins, ConnectionInfraError) if floor else None
    # The same manager with one check replaced on the instance (by its own bound method):
    # every call then has to take the general route through the instance.
    general = lookup_manager(native)
    general.validate_os = general.validate_os
    check_same_answers([nat, py, general] + ([fl] if fl else []))
    for label, call in GET_CALLS.items():
        miss = label.endswith("miss")
        stmt = "try:\n    %s\nexcept E:\n    pass" % call if miss else call
        cases.append(Case(label, "pure Python", timer(stmt, nat), timer(stmt, py), 0.35))
        if fl:
            cases.append(Case(label, "C floor", timer(stmt, nat), timer(stmt, fl), 1.1 if miss else 1.8))
    if fl:
        cases.append(Case(THROUGH_CLASS_LABEL, "C floor, the same way",
                          timer(THROUGH_CLASS_CALL, nat), timer(THROUGH_CLASS_CALL, fl)))
    cases.append(Case(FAST_PATH_LABEL, FAST_PATH_AGAINST,
                      timer(GET_CALLS[FAST_PATH_LABEL], nat), timer(GET_CALLS[FAST_PATH_LABEL], general),
                      FAST_PATH_GOAL))
    for label, (stmt, goal) in OTHER_CALLS.items():
        nat, py = lookup_manager(native), lookup_manager(pure)
        cases.append(Case(label, "pure Python", timer(stmt, nat), timer(stmt, py), goal))
    trees = {n: (big_manager(native, n), big_manager(pure, n)) for n in (500, 2000)}
    assert repr(trees[2000][0]).split("\n")[1:] == repr(trees[2000][1]).split("\n")[1:]
    for n, goal in ((500, None), (2000, 0.1)):
        cases.append(Case("repr, {:,} records".format(n), "pure Python",
                          timer("repr(m)", trees[n][0]), timer("repr(m)", trees[n][1]), goal))
    # Linear rendering: 100 times the records may cost at most 150 times the time (the big
    # tree no longer fits in the caches).
    huge = big_manager(native, 200000)
    cases.append(Case("repr, 200,000 records", "native, 2,000 records",
                      timer("repr(m)", huge), timer("repr(m)", trees[2000][0]), 150))
    return cases


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, help="rounds of timings (default 41, 7 with --quick)")
    parser.add_argument("--quick", action="store_true", help="a few rounds only: a smoke run")
    args = parser.parse_args()
    rounds = args.rounds or (7 if args.quick else 41)

    print("%s %s at %s" % (platform.python_implementation(), platform.python_version(), sys.executable))
    print("sorvex.core.pluginmanager from %s" % (native.__file__,))
    sys.stdout.flush()
    floor = load_floor()
    cases = build_cases(floor)
    empty = timeit.Timer("pass")
    empty_number = calibrate(empty)
    overheads = []
    for r in range(rounds):
        overheads.append(empty.timeit(empty_number) / empty_number)
        for case in cases[r % len(cases):] + cases[:r % len(cases)]:
            case.run_once(flip=r % 2 == 1)
    overhead = statistics.median(overheads)

    print("\n%d rounds; ratios are native / other (lower is faster)\n" % rounds)
    print("| operation | compared with | ratio | goal | result |")
    print("|---|---|---:|---:|---|")
    failed, goals, fast_path = [], 0, None
    for case in cases:
        ratio = case.ratio(overhead)
        if case.against == FAST_PATH_AGAINST:
            fast_path = ratio
        if case.goal is None:
            goal, verdict = "-", "info"
        else:
            goals += 1
            goal, verdict = "<= %g" % case.goal, "PASS" if ratio <= case.goal else "FAIL"
            if verdict == "FAIL":
                failed.append("%s vs %s" % (case.label, case.against))
        print("| %s | %s | %.3f | %s | %s |" % (case.label, case.against, ratio, goal, verdict))
    if floor is None:
        print("| get_plugin | C floor | - | <= 1.8, miss <= 1.1 | n/a (floor not built) |")
    print()
    # Without the fast path (a SORVEX_GENERAL_ONLY=1 build) both managers take the same route.
    if fast_path <= FAST_PATH_GOAL:
        print("fast path: taken (the common shape costs %.2f of the general route)" % fast_path)
    elif fast_path >= 0.85:
        print("fast path: not taken (ratio %.2f, about 1): as on a SORVEX_GENERAL_ONLY=1 build, "
              "where its goal does not apply" % fast_path)
    else:
        print("fast path: taken, but short of its goal (ratio %.2f)" % fast_path)
    summary = "bench: %d of %d goals PASS" % (goals - len(failed), goals)
    print(summary + ("; FAIL: %s" % "; ".join(failed) if failed else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
