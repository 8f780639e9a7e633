"""The ``sorvex`` command, run as a user would, and its parts in-process."""
import json
import logging
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import sorvex
from sorvex import PluginReport, _cli
from sorvex.core import pluginmanager as native
from support import EXAMPLE_DIST, example_installed, make_dist, run_python

needs_example = pytest.mark.skipif(not example_installed(), reason=EXAMPLE_DIST + " is not installed")


def run(*args, **options):
    """The sorvex command, run with this interpreter."""
    return run_python("-m", "sorvex", *args, timeout=120, **options)


def console_script():
    found = shutil.which("sorvex", path=os.path.dirname(sys.executable))
    if found is None:
        pytest.skip("the sorvex console script is not installed next to this interpreter")
    return [found]


def test_tree_of_discovered_plugins():
    result = run_python(command=console_script(), timeout=120)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("plugins (<class 'sorvex.core.pluginmanager.PluginManager'> at 0x")
    assert lines[0].endswith(") ")
    for expected in [
        "  |__ linux",
        "  |__ talvo",
        "    |__ data",
        "    |  |__ single_rp",
        "    |  |  |__ cls = <class 'sorvex.plugins.talvo.connection.TalvoConnection'>",
        "    |__ t5",
        "        |  |__ cls = <class 'sorvex.plugins.talvo.t5.T5DualRpConnection'>",
    ]:
        assert expected in lines


@pytest.mark.parametrize(
    "args, found, defined_in",
    [
        (["--os", "talvo"], "sorvex.plugins.talvo.connection.TalvoConnection", "talvo/connection.py"),
        (["--os", "talvo", "--series", "t9"], "sorvex.plugins.talvo.connection.TalvoConnection", "talvo/connection.py"),
        (["--os", "talvo", "--series", "t5", "--chassis-type", "dual_rp"],
         "sorvex.plugins.talvo.t5.T5DualRpConnection", "talvo/t5/__init__.py"),
        (["--os", "talvo", "--series", "t5", "--model", "t548"], "sorvex.plugins.talvo.t5.T5Connection",
         "talvo/t5/__init__.py"),
        (["--os", "linux", "--series", "busybox"], "sorvex.plugins.linux.connection.BusyBoxConnection",
         "linux/connection.py"),
    ],
)  # fmt: skip
def test_lookup_prints_class_and_file(args, found, defined_in):
    result = run("lookup", *args)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(found + " (")
    path = result.stdout[len(found) + 2 : -2]
    assert result.stdout.endswith(")\n") and path.endswith(defined_in.replace("/", os.sep))
    assert os.path.isfile(path)


@pytest.mark.parametrize(
    "args, message, hint",
    [
        (["--os", "talvo", "--series", "t5", "--chassis-type", "stack"],
         "Plugin data not found for (talvo/t5), type: stack", "sorvex: registered OSes: "),
        (["--os", "talov"], "Plugin data not found for (talov)", "sorvex: OS 'talov' is not registered; did you mean 'talvo'?"),
        (["--os", "talvo", "--series", "T5"], "Series (T5) has to be in lowercase", None),
        (["--os", "talvo", "--chassis-type", "cluster"], "chassis Type should be one of these", None),
    ],
)  # fmt: skip
def test_lookup_miss_and_invalid_description_report_on_stderr(args, message, hint):
    result = run("lookup", *args)
    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr.startswith("sorvex: " + message) and "Traceback" not in result.stderr
    assert all(line.startswith("sorvex: ") and line == line.rstrip() for line in result.stderr.splitlines())
    as_json = run("lookup", "--json", *args)
    assert as_json.returncode == 1 and as_json.stderr == result.stderr
    error = json.loads(as_json.stdout)["error"]
    assert error.startswith(message) and result.stderr.startswith("sorvex: " + error + "\n")
    if hint is None:
        assert "registered OSes" not in result.stderr
    else:
        assert hint in result.stderr and "linux, " in result.stderr


@needs_example
@pytest.mark.parametrize("verbose", [True, False])
def test_verbose_shows_debug_records(verbose):
    result = run(*(["-v"] if verbose else []), "lookup", "--os", "mirel")
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("sorvex_mirel.MirelConnection (")
    debug_lines = [
        "DEBUG:sorvex:Loading external plugin mirel from sorvex_mirel",
        "DEBUG:sorvex:mirel is not part of the built-in list of supported OSes.",
    ]
    shown = [line for line in result.stderr.splitlines() if line in debug_lines]
    assert shown == (debug_lines if verbose else [])  # each once


KEYS = ["os", "series", "model", "chassis_type", "class", "path", "provider", "replaced"]
BUILTIN = {"distribution": "sorvex", "version": sorvex.__version__, "entry_point": None, "module": None}


def test_list_text_and_json_show_the_same_sorted_records():
    text, as_json = run("list"), run("list", "--json")
    assert text.returncode == as_json.returncode == 0, text.stderr + as_json.stderr
    rows = json.loads(as_json.stdout)
    assert all(list(row) == KEYS for row in rows)
    assert {
        "os": "talvo", "series": "t5", "model": None, "chassis_type": "dual_rp",
        "class": "sorvex.plugins.talvo.t5.T5DualRpConnection", "path": rows[-2]["path"],
        "provider": BUILTIN, "replaced": [],
    } in rows  # fmt: skip
    header, *lines = text.stdout.splitlines()
    assert header.split() == ["OS", "SERIES", "MODEL", "CHASSIS_TYPE", "CLASS", "PROVIDER", "REPLACED", "PATH"]
    assert len(lines) == len(rows)
    for line, row in zip(lines, rows):
        provider = row["provider"]["distribution"] + "==" + row["provider"]["version"]
        cells = ["-" if row[key] is None else row[key] for key in KEYS[:5]] + [provider, "-", row["path"]]
        assert line.split() == cells
    assert len({line.index(row["class"]) for line, row in zip(lines, rows)}) == 1  # aligned columns
    assert [row["os"] for row in rows] == sorted(row["os"] for row in rows)


def test_an_importable_pkg_resources_changes_nothing(tmp_path):
    # one that fails loudly if anything imports it: the results are the same without it
    (tmp_path / "pkg_resources.py").write_text("raise RuntimeError('pkg_resources was imported')\n")
    with_it = run("list", "--json", env=dict(os.environ, PYTHONPATH=str(tmp_path)))
    assert (with_it.returncode, with_it.stderr) == (0, "")
    assert with_it.stdout == run("list", "--json").stdout


def test_lookup_json_names_the_record_found():
    result = run("lookup", "--os", "talvo", "--series", "t5", "--model", "t548", "--json")
    assert result.returncode == 0, result.stderr
    record = json.loads(result.stdout)
    assert list(record) == KEYS
    assert record["path"].endswith(os.path.join("talvo", "t5", "__init__.py"))
    del record["path"]
    assert record == {"os": "talvo", "series": "t5", "model": None, "chassis_type": "single_rp",
                      "class": "sorvex.plugins.talvo.t5.T5Connection", "provider": BUILTIN, "replaced": []}  # fmt: skip


# A broken plugin: one line on stderr, and the command goes on with the others
# (status 2 and nothing else with --strict).


@pytest.fixture
def lab_site(tmp_path):
    """A directory for PYTHONPATH with distributions of plugins; returns the environment to run in."""

    def make(entry_points, modules=None):
        for dist, (name, value) in entry_points.items():
            make_dist(tmp_path, dist, "1.0", {name: value})
        for module, source in (modules or {}).items():
            (tmp_path / (module + ".py")).write_text(source)
        return dict(os.environ, PYTHONPATH=str(tmp_path))

    return make


def broken_site(lab_site, module, source):
    return lab_site({"sorvex-lab-broken": ("lab", module)}, None if source is None else {module: source})


BROKEN = "sorvex: external plugin 'lab' from distribution 'sorvex-lab-broken' 1.0 (module %s) failed to load: %s\n"


@pytest.mark.parametrize(
    "command, source, error",
    [
        (["list"], None, "ModuleNotFoundError: No module named 'sorvex_lab_gone'"),
        (["lookup", "--os", "talvo"], "raise RuntimeError('no lab today')\n", "RuntimeError: no lab today"),
    ],
)
def test_broken_external_plugin_is_one_line_and_the_rest_works(lab_site, command, source, error):
    module = "sorvex_lab_gone" if source is None else "sorvex_lab_raises"
    env = broken_site(lab_site, module, source)
    result = run(*command, env=env)
    assert result.returncode == 0
    assert "talvo" in result.stdout
    assert result.stderr == BROKEN % (module, error)
    strict = run("--strict", *command, env=env)
    assert (strict.returncode, strict.stdout, strict.stderr) == (2, "", result.stderr)


def test_broken_external_plugin_with_verbose_shows_the_traceback(lab_site):
    result = run("-v", env=broken_site(lab_site, "sorvex_lab_gone", None))
    assert result.returncode == 0
    lines = result.stderr.splitlines()
    assert "DEBUG:sorvex:Loading external plugin lab from sorvex_lab_gone" in lines
    assert "Traceback (most recent call last):" in lines
    assert lines[-1].startswith("sorvex: external plugin 'lab' from distribution 'sorvex-lab-broken'")


@pytest.mark.parametrize("where", ["before", "after", "variable"])
def test_disable_skips_the_plugin_and_doctor_tells(lab_site, where):
    env = broken_site(lab_site, "sorvex_lab_gone", None)
    options = ["--disable", "x", "--disable", "lab"] if where != "variable" else []
    if where == "variable":
        env["SORVEX_DISABLE_PLUGINS"] = "x,lab"
    for command in ["list", "doctor"]:
        args = options + [command] if where == "before" else [command] + options
        result = run(*args, env=env)
        assert (result.returncode, result.stderr) == (0, "")
    assert "disabled: sorvex-lab-broken 1.0 (entry point 'lab')\n" in result.stdout
    assert "disabled: 'x' (no plugin of that name)\n" in result.stdout


def test_doctor_reports_failures_and_replaced_records_and_list_marks_them(lab_site):
    registers = "from sorvex import __plugin_manager__\nclass {0}: pass\n__plugin_manager__.register_plugin(cls={0}, os='talvo')\n"
    env = lab_site(
        {"sorvex-lab-a": ("a", "sorvex_lab_a"), "sorvex-lab-b": ("b", "sorvex_lab_b"), "sorvex-lab-c": ("c", "sorvex_lab_c")},
        {"sorvex_lab_a": registers.format("A"), "sorvex_lab_b": registers.format("B")},
    )  # fmt: skip
    doctor = run("doctor", env=env)
    assert (doctor.returncode, doctor.stderr) == (2, "")
    lines = doctor.stdout.splitlines()
    assert "failed: external plugin 'c' from distribution 'sorvex-lab-c' 1.0 (module sorvex_lab_c) failed to load: " \
           "ModuleNotFoundError: No module named 'sorvex_lab_c'" in lines  # fmt: skip
    builtin = "sorvex " + sorvex.__version__ + " (built-in)"
    assert "replaced: at talvo, single_rp, sorvex.plugins.talvo.connection.TalvoConnection from " + builtin + \
           " by sorvex_lab_a.A from sorvex-lab-a 1.0 (entry point 'a')" in lines  # fmt: skip
    assert "replaced: at talvo, single_rp, sorvex_lab_a.A from sorvex-lab-a 1.0 (entry point 'a') by " \
           "sorvex_lab_b.B from sorvex-lab-b 1.0 (entry point 'b')" in lines  # fmt: skip
    assert lines[-1].endswith(" loaded, 1 failed, 2 replaced, 0 disabled")
    rows = json.loads(run("list", "--json", env=env).stdout)
    (row,) = [row for row in rows if row["os"] == "talvo" and row["series"] is None and row["chassis_type"] == "single_rp"]
    assert row["class"] == "sorvex_lab_b.B" and row["provider"]["distribution"] == "sorvex-lab-b"
    assert [replaced["distribution"] for replaced in row["replaced"]] == ["sorvex", "sorvex-lab-a"]
    (line,) = [line for line in run("list", env=env).stdout.splitlines() if "sorvex_lab_b.B" in line]
    assert line.split()[4:7] == ["sorvex_lab_b.B", "sorvex-lab-b==1.0", "sorvex==%s,sorvex-lab-a==1.0" % sorvex.__version__]
    assert run("doctor", "--disable", "c", env=env).returncode == 0


def test_broken_builtin_plugin_is_named(tmp_path):
    (tmp_path / "zz_lab.py").write_text("import sorvex_lab_nowhere\n")
    program = (
        "import sys, sorvex.plugins; sorvex.plugins.__path__.append(sys.argv[1]); "
        "from sorvex._cli import main; sys.exit(main(['list']))"
    )
    result = run_python("-c", program, str(tmp_path), timeout=120)
    assert result.returncode == 0
    assert result.stderr == (
        "sorvex: built-in plugin module 'sorvex.plugins.zz_lab' failed to load: "
        "ModuleNotFoundError: No module named 'sorvex_lab_nowhere'\n"
    )


# A reader that goes away early: no message, the command's own status.


@pytest.mark.parametrize(
    "args, read_first, status",
    [(["list"], True, 0), (["lookup", "--os", "talvo"], False, 0), (["lookup", "--os", "talov"], False, 1)],
)
def test_closed_stdout_exits_quietly_with_the_command_status(args, read_first, status):
    process = subprocess.Popen(
        console_script() + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    if read_first:
        assert process.stdout.readline()
    process.stdout.close()  # before the command writes (or finishes writing)
    stderr = process.stderr.read()
    process.stderr.close()
    assert process.wait(timeout=120) == status
    assert "Exception ignored" not in stderr and "BrokenPipeError" not in stderr
    assert (stderr == "") == (status == 0)


def test_interrupt_during_discovery_ends_quietly_with_130(lab_site):
    env = lab_site({"sorvex-lab-slow": ("slow", "sorvex_lab_slow")},
                   {"sorvex_lab_slow": "import sys, time\nsys.stderr.write('importing\\n')\ntime.sleep(60)\n"})  # fmt: skip
    process = subprocess.Popen(
        [sys.executable, "-m", "sorvex", "list"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )  # fmt: skip
    assert process.stderr.readline() == "importing\n"  # the plugin is being imported
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=120)
    assert (process.returncode, out, err) == (130, "", "")


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full here")
def test_full_stdout_is_one_line_and_status_2():
    with open("/dev/full", "w") as full:
        result = run("list", stdout=full)
    assert (result.returncode, result.stderr) == (2, "sorvex: cannot write to standard output: No space left on device\n")


@pytest.mark.parametrize("subcommand", ["tree", "list", "lookup", "doctor"])
def test_each_subcommand_help_has_a_description_and_an_example(subcommand, capsys):
    assert _cli.main([subcommand, "--help"]) == 0
    out = capsys.readouterr().out
    usage, description = out.split("\n\n")[:2]
    assert description.startswith("Load the plugins, then ")
    assert "\nexamples:\n  sorvex " + subcommand in out


# In-process: the commands on trees made by hand, discovery left out.


class Lab:
    """A plugin class."""


class Raising:
    """A class whose attributes cannot be read."""

    def __getattribute__(self, name):
        raise RuntimeError(name)


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")

    __repr__ = __str__


@pytest.fixture
def manager(monkeypatch):
    fresh = sorvex.PluginManager()
    monkeypatch.setattr(sorvex, "__plugin_manager__", fresh)
    monkeypatch.setattr(_cli, "discover", lambda skip, strict: PluginReport())
    return fresh


def command(capsys, *args):
    status = _cli.main(list(args))
    out, err = capsys.readouterr()
    return status, out, err


def test_empty_registry(manager, capsys):
    assert command(capsys, "tree") == (0, "sorvex: no plugins registered\n", "")
    assert command(capsys, "list") == (0, "", "sorvex: no plugins registered\n")
    assert command(capsys, "list", "--json") == (0, "[]\n", "")
    assert command(capsys, "lookup", "--os", "talvo")[2].endswith("sorvex: no plugins registered\n")


def test_list_survives_odd_trees(manager, capsys):
    lab = {"cls": Lab, "path": "/lab.py"}
    cyclic = {}
    cyclic["loop"] = cyclic
    manager.plugins.update({
        "data": {"single_rp": lab},  # a lookup of an OS not in the tree ends here
        "a": 5, "b": {"data": 7}, "c": {"data": {"single_rp": "not a record"}},
        "d": {"data": {"stack": {"cls": Raising()}, Unprintable(): {"path": 3}}},
        7: {"s\udc80": {"m": {"data": {"dual_rp": lab}, "deeper": {"data": {"single_rp": lab}}}}},
        "e": cyclic,
    })  # fmt: skip
    status, out, err = command(capsys, "list", "--json")
    assert (status, err) == (0, "")
    rows = [tuple(row.values())[:6] for row in json.loads(out)]
    assert rows == [
        (None, None, None, "single_rp", "test_cli.Lab", "/lab.py"),
        ("7", "s\udc80", "m", "dual_rp", "test_cli.Lab", "/lab.py"),
        ("c", None, None, "single_rp", None, None),
        ("d", None, None, "<unprintable Unprintable object>", None, "3"),
        ("d", None, None, "stack", rows[-1][4], None),
    ]
    assert rows[-1][4].startswith("<test_cli.Raising object at 0x")  # str(), as its attributes fail
    status, out, err = command(capsys, "list")
    assert (status, err, len(out.splitlines())) == (0, "", 1 + 5)  # the header, then the records
    assert "s\\udc80" in out


def test_an_os_named_data_is_listed_as_one(manager, capsys):
    manager.register_plugin(cls=Lab, os="data")
    manager.register_plugin(cls=Lab, os="data", series="s1", chassis_type="stack")
    status, out, err = command(capsys, "list", "--json")
    assert [tuple(row.values())[:5] for row in json.loads(out)] == [
        ("data", None, None, "single_rp", "test_cli.Lab"), ("data", "s1", None, "stack", "test_cli.Lab"),
    ]  # fmt: skip


@pytest.mark.parametrize(
    "args, status, shown",
    [
        (["--os", "talvo", "--series", "t5", "--model", "t548"], 0,
         ["OS 'talvo': node found", "series 't5': node found", "model 't548': no node",
          "stopped at talvo/t5: no model 't548' below it", "chassis types at talvo/t5: dual_rp, single_rp",
          "chassis type 'single_rp': registered at talvo/t5", "test_cli.Lab ("]),
        (["--os", "talvo", "--series", "t9", "--model", "m1"], 0,
         ["series 't9': no node", "model 'm1': not tried", "stopped at talvo: no series 't9' below it",
          "chassis types at talvo: single_rp"]),
        (["--os", "talvo", "--series", "t5", "--chassis-type", "stack"], 1,
         ["model: not given", "stopped at talvo/t5: the last level given",
          "chassis type 'stack': not registered at talvo/t5 (a lookup never falls back from a node)"]),
        (["--os", "mirel"], 1, ["OS 'mirel': no node", "series: not given",
                                "stopped at the root: no OS 'mirel' below it", "chassis types at the root: none"]),
        (["--os", "talvo", "--series", "T5"], 1, ["invalid description, nothing walked"]),
    ],
)  # fmt: skip
def test_explain_tells_the_walk(manager, capsys, args, status, shown):
    for description in [{}, {"series": "t5"}, {"series": "t5", "chassis_type": "dual_rp"}]:
        manager.register_plugin(cls=Lab, os="talvo", **description)
    got, out, _ = command(capsys, "lookup", "--explain", *args)
    assert got == status
    lines = out.splitlines()
    positions = [next(i for i, line in enumerate(lines) if line.startswith(expected)) for expected in shown]
    assert positions == sorted(positions)


class Unreadable(dict):
    def keys(self):
        raise RuntimeError("no keys today")


def test_explain_tells_a_node_that_cannot_be_read(manager, capsys):
    manager.plugins["labos"] = Unreadable(data={})
    status, out, err = command(capsys, "lookup", "--explain", "--os", "labos", "--series", "s1")
    assert status == 1
    assert "series 's1': the node cannot be read (RuntimeError: no keys today)\n" in out
    assert "stopped at labos: its node cannot be read\n" in out


@pytest.mark.parametrize(
    "args, status, shown",
    [
        (["-v", "lookup", "--os", "nosuch"], 1, "DEBUG:sorvex:nosuch is not part of the built-in list"),
        (["lookup", "--os", "nosuch", "--verbose"], 1, "DEBUG:sorvex:nosuch is not part of the built-in list"),
        (["lookup", "--os", "nosuch"], 1, "sorvex: OS 'nosuch' is not registered\nsorvex: registered OSes: talvo\n"),
        (["list", "--version"], 0, "sorvex " + sorvex.__version__),
        (["lookup", "--series", "t5"], 2, "the following arguments are required: --os"),
        (["lookup", "--os", "talvo", "--json", "--explain"], 2, "not allowed with argument"),
        (["show"], 2, "invalid choice: 'show'"),
    ],
)
def test_global_options_anywhere_and_command_line_errors(manager, capsys, args, status, shown):
    manager.register_plugin(cls=Lab, os="talvo")
    got, out, err = command(capsys, *args)
    assert got == status
    assert shown in out + err
    assert ("DEBUG" in err) == ("-v" in args or "--verbose" in args)
    assert (out + err).count(shown) == 1  # a record of the lookup, shown once though it validates again


@pytest.mark.parametrize(
    "args", [[], ["--explain"], ["--json"], ["--chassis-type", "cluster"], ["--explain", "--chassis-type", "cluster"]]
)
def test_a_lookup_logs_each_record_once(manager, capsys, caplog, args):
    caplog.set_level(logging.DEBUG, logger="sorvex")
    command(capsys, "lookup", "--os", "nosuch", *args)
    assert caplog.messages.count("nosuch is not part of the built-in list of supported OSes.") == 1


# Discovery names each failing plugin, and goes on unless strict.


class EntryPoint:
    def __init__(self, name, error=None):
        self.name, self.module_name, self.error = name, "lab_" + name, error
        self.dist = types.SimpleNamespace(project_name="lab-dist")

    def load(self):
        if self.error:
            raise self.error


def entry_points_then(error):
    yield EntryPoint("first")
    raise error


@pytest.mark.parametrize(
    "entry_points, messages",
    [
        (lambda: [EntryPoint("first"), EntryPoint("second", KeyError("x")), EntryPoint("third", OSError())],
         ["external plugin 'second' from distribution 'lab-dist' (module lab_second) failed to load: KeyError: 'x'",
          "external plugin 'third' from distribution 'lab-dist' (module lab_third) failed to load: OSError"]),
        (lambda: entry_points_then(OSError("metadata unreadable")),
         ["external plugin discovery failed: OSError: metadata unreadable"]),
        (lambda: [], []),
    ],
)  # fmt: skip
def test_external_failures_name_the_entry_point_being_loaded(monkeypatch, entry_points, messages):
    monkeypatch.setattr(native, "iter_entry_points", lambda group: iter(entry_points()))
    monkeypatch.setattr(sorvex, "__plugin_manager__", sorvex.PluginManager())
    report = _cli.discover()
    assert [str(failure) for failure in report.failures] == messages
    if messages:
        with pytest.raises(sorvex.PluginLoadError) as raised:
            _cli.discover(strict=True)
        assert str(raised.value) == messages[0]


def test_readme_shows_the_example_pyproject_as_installed():
    # CI installs the example, so the README's copy is one that installs as written
    root = pathlib.Path(__file__).resolve().parent.parent
    example = (root / "examples" / "external-plugin" / "pyproject.toml").read_text(encoding="utf-8")
    assert "```toml\n" + example + "```\n" in (root / "README.md").read_text(encoding="utf-8")


# The walk that --explain and --json tell is the manager's own: on generated
# registries, the node it reaches holds the record that get_plugin answers
# with, and holds none exactly where get_plugin misses.
NAMES = {"os": ["talvo", "linux"], "series": [None, "s1", "s2"], "model": [None, "m1", "m2"],
         "chassis_type": ["single_rp", "dual_rp", "stack"]}


DESCRIPTIONS = st.fixed_dictionaries({key: st.sampled_from(values) for key, values in NAMES.items()}).filter(
    lambda d: d["model"] is None or d["series"] is not None)


@settings(deadline=None)
@given(st.lists(DESCRIPTIONS, max_size=8), DESCRIPTIONS, st.sampled_from(NAMES["chassis_type"]))
def test_the_told_walk_is_the_managers(registered, asked, chassis_type):
    m = native.PluginManager()
    for number, description in enumerate(registered):
        m.register_plugin(type("C%d" % number, (), {"__module__": __name__}), **description)
    _, reached, node = _cli._walk(m.plugins, asked["os"], asked["series"], asked["model"])
    record = node.get("data", {}).get(chassis_type)
    explained = _cli._explain(m.plugins, asked["os"], asked["series"], asked["model"], chassis_type)
    asked = dict(asked, chassis_type=chassis_type)
    try:
        found = m.get_plugin(**asked)
    except sorvex.core.errors.ConnectionInfraError:
        found = None
    assert found is (record["cls"] if record else None)
    assert (": registered at " in explained) == (found is not None)
