"""Speed of the native plugin manager, as ratios.

Run from the repository root, with the package installed:

    python benchmarks/bench.py

The native ``sorvex.core.pluginmanager.PluginManager`` is timed against the
pure-Python rendition in ``pure_plugin_manager.py`` and, for ``get_plugin``,
against a floor: ``floor.c``, a C method with the same four parameters that
walks the same nested dicts without validating anything. The script compiles
it into ``benchmarks/_build/`` with the interpreter's own build settings.

All candidates are timed in the same run, round-robin: every round times each
candidate of every operation once, in a rotating order, so that machine noise
hits all of them alike. Each timing is a batch of a few milliseconds; the
cost of an empty timing loop is subtracted; the ratio of one round is
native / other, and the table shows the median over all rounds. The exit
status is 0 whatever the verdicts: this is a report, not a test.

Options: ``--rounds N`` (default 41).
"""
import argparse
import contextlib
import importlib.util
import io
import pathlib
import statistics
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


def load_floor():
    """Build floor.c if it changed and import it; None if that fails."""
    source = HERE / "floor.c"
    target = BUILD / ("_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    try:
        if not target.exists() or target.stat().st_mtime < source.stat().st_mtime:
            from setuptools import Distribution, Extension
            from setuptools.command.build_ext import build_ext

            dist = Distribution({"name": "_floor", "ext_modules": [Extension("_floor", [str(source)])]})
            command = build_ext(dist)
            command.build_lib = str(BUILD)
            command.build_temp = str(BUILD / "tmp")
            command.ensure_finalized()
            with contextlib.redirect_stdout(io.StringIO()):
                command.run()
        spec = importlib.util.spec_from_file_location("_floor", target)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        return module
    except Exception as exc:  # a missing compiler should not cost the rest of the report
        print(f"floor unavailable: {exc!r}", file=sys.stderr)
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
OTHER_CALLS = {
    "register_plugin, replacing a record": 'm.register_plugin(M1, os="talvo", series="t3z", model="m1")',
    "unregister_plugin + register_plugin":
        'm.unregister_plugin(os="talvo", series="t3z", model="m1", chassis_type="single_rp")\n'
        'm.register_plugin(M1, os="talvo", series="t3z", model="m1")',
    "validate_arguments": 'm.validate_arguments(os="talvo", series="t3z", model="m1", chassis_type="single_rp")',
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
            self.samples[i].append(self.timers[i].timeit(self.numbers[i]) / self.numbers[i])

    def ratio(self, overhead):
        per_round = [(a - overhead) / (b - overhead) for a, b in zip(*self.samples)]
        return statistics.median(per_round)


def timer(stmt, m):
    return timeit.Timer(stmt, globals={"m": m, "E": ConnectionInfraError, "M1": M1})


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
    check_same_answers([nat, py] + ([fl] if fl else []))
    for label, call in GET_CALLS.items():
        stmt = f"try:\n    {call}\nexcept E:\n    pass" if label.endswith("miss") else call
        cases.append(Case(label, "pure Python", timer(stmt, nat), timer(stmt, py), 0.35))
        if fl:
            cases.append(Case(label, "C floor", timer(stmt, nat), timer(stmt, fl), 2.5))
    for label, stmt in OTHER_CALLS.items():
        nat, py = lookup_manager(native), lookup_manager(pure)
        cases.append(Case(label, "pure Python", timer(stmt, nat), timer(stmt, py), 0.5))
    trees = {n: (big_manager(native, n), big_manager(pure, n)) for n in (500, 2000)}
    assert repr(trees[2000][0]).split("\n")[1:] == repr(trees[2000][1]).split("\n")[1:]
    for n, goal in ((500, None), (2000, 0.1)):
        cases.append(Case(f"repr, {n:,} records", "pure Python",
                          timer("repr(m)", trees[n][0]), timer("repr(m)", trees[n][1]), goal))
    huge = big_manager(native, 20000)
    cases.append(Case("repr, 20,000 records", "native, 2,000 records",
                      timer("repr(m)", huge), timer("repr(m)", trees[2000][0]), 12))
    # What a linear pass over the same amount of text costs on this machine: joining the
    # rendered lines again. Memory effects alone make it grow faster than the tree.
    lines = {n: repr(m).split("\n") for n, m in ((20000, huge), (2000, trees[2000][0]))}
    cases.append(Case("str.join of the lines, 20,000 records", "the same, 2,000 records",
                      timer('"\\n".join(m)', lines[20000]), timer('"\\n".join(m)', lines[2000])))
    return cases


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=41)
    args = parser.parse_args()

    floor = load_floor()
    cases = build_cases(floor)
    empty = timeit.Timer("pass")
    empty_number = calibrate(empty)
    overheads = []
    for r in range(args.rounds):
        overheads.append(empty.timeit(empty_number) / empty_number)
        for case in cases[r % len(cases):] + cases[:r % len(cases)]:
            case.run_once(flip=r % 2 == 1)
    overhead = statistics.median(overheads)

    print(f"Python {sys.version.split()[0]}, {args.rounds} rounds; ratios are native / other (lower is faster)\n")
    print("| operation | compared with | ratio | goal | result |")
    print("|---|---|---:|---:|---|")
    failed, goals = [], 0
    for case in cases:
        ratio = case.ratio(overhead)
        if case.goal is None:
            goal, verdict = "-", "info"
        else:
            goals += 1
            goal, verdict = f"<= {case.goal:g}", "PASS" if ratio <= case.goal else "FAIL"
            if verdict == "FAIL":
                failed.append(f"{case.label} vs {case.against}")
        print(f"| {case.label} | {case.against} | {ratio:.3f} | {goal} | {verdict} |")
    if floor is None:
        print("| get_plugin | C floor | - | <= 2.5 | n/a (floor not built) |")
    print()
    summary = f"bench: {goals - len(failed)} of {goals} goals PASS"
    print(summary + (f"; FAIL: {'; '.join(failed)}" if failed else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
