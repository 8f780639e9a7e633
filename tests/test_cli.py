"""``python -m sorvex``, run as a user would."""
import os
import subprocess
import sys

import pytest

from test_discovery import EXAMPLE_DIST, example_installed


def run(*args):
    return subprocess.run(
        [sys.executable, "-m", "sorvex", *args], capture_output=True, text=True, timeout=120, check=False
    )


def test_tree_of_discovered_plugins():
    result = run()
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
    "args, message",
    [
        (["--os", "talvo", "--series", "t5", "--chassis-type", "stack"], "Plugin data not found for (talvo/t5), type: stack"),
        (["--os", "talvo", "--series", "T5"], "Series (T5) has to be in lowercase"),
        (["--os", "talvo", "--chassis-type", "cluster"], "chassis Type should be one of these"),
    ],
)  # fmt: skip
def test_lookup_miss_reports_on_stderr(args, message):
    result = run("lookup", *args)
    assert result.returncode == 1
    assert result.stdout == ""
    assert message in result.stderr and "Traceback" not in result.stderr


@pytest.mark.skipif(not example_installed(), reason=f"{EXAMPLE_DIST} (examples/external-plugin) is not installed")
@pytest.mark.parametrize("verbose", [True, False])
def test_verbose_shows_debug_records(verbose):
    result = run(*(["-v"] if verbose else []), "lookup", "--os", "mirel")
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("sorvex_mirel.MirelConnection (")
    debug_lines = [
        "DEBUG:sorvex:Loading external plugin mirel from sorvex_mirel",
        "DEBUG:sorvex:mirel is not part of the built-in list of supported OSes.",
    ]
    shown = list(dict.fromkeys(line for line in result.stderr.splitlines() if line in debug_lines))
    assert shown == (debug_lines if verbose else [])
