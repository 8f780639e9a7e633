"""sorvex._entry_points: entry points through importlib.metadata."""
import json
import subprocess
import sys
import textwrap
import warnings

import pytest

from sorvex import _entry_points
from support import example_installed

pytestmark = pytest.mark.skipif(sys.version_info < (3, 8), reason="importlib.metadata is new in 3.8")

GROUP = "sorvex.test_entry_points"


def make_dist(site, name, version, entry_points, modules=None):
    """A distribution installed into the directory ``site``: *.dist-info and modules."""
    info = site / (name.replace("-", "_") + "-" + version + ".dist-info")
    info.mkdir(parents=True)
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: %s\nVersion: %s\n" % (name, version))
    lines = ["[%s]" % GROUP] + ["%s = %s" % item for item in entry_points.items()]
    (info / "entry_points.txt").write_text("\n".join(lines) + "\n")
    for module, source in (modules or {}).items():
        (site / (module + ".py")).write_text(textwrap.dedent(source))
    return site


def found(**kwargs):
    return [(ep.dist.project_name, ep.dist.version, ep.name) for ep in _entry_points.iter_entry_points(GROUP, **kwargs)]


def test_order_is_by_distribution_then_name_and_name_filters(tmp_path, monkeypatch):
    make_dist(tmp_path / "a", "zeta_plugins", "1.0", {"beta": "zb", "alpha": "za"})
    make_dist(tmp_path / "b", "Alpha.Plugins", "2.0", {"zulu": "az", "alpha": "aa"})
    monkeypatch.syspath_prepend(str(tmp_path / "a"))
    monkeypatch.syspath_prepend(str(tmp_path / "b"))
    assert found() == [
        ("Alpha.Plugins", "2.0", "alpha"),
        ("Alpha.Plugins", "2.0", "zulu"),
        ("zeta-plugins", "1.0", "alpha"),
        ("zeta-plugins", "1.0", "beta"),
    ]
    assert found(name="alpha") == [("Alpha.Plugins", "2.0", "alpha"), ("zeta-plugins", "1.0", "alpha")]
    assert list(_entry_points.iter_entry_points(group=GROUP + ".none")) == []


def test_distribution_on_the_path_twice_counts_once_first_wins(tmp_path, monkeypatch):
    make_dist(tmp_path / "later", "lab-tools", "1.0", {"old": "lab_old"})
    make_dist(tmp_path / "first", "Lab_Tools", "2.0", {"new": "lab_new"})
    monkeypatch.syspath_prepend(str(tmp_path / "later"))
    monkeypatch.syspath_prepend(str(tmp_path / "first"))
    assert found() == [("Lab-Tools", "2.0", "new")]


@pytest.mark.parametrize(
    "value, module_name, attrs, loads",
    [
        ("lab_mod", "lab_mod", (), "module"),
        ("lab_mod:Device", "lab_mod", ("Device",), "Device"),
        ("lab_mod : Device.Inner [extra]", "lab_mod", ("Device", "Inner"), "Inner"),
        ("lab_mod:Missing", "lab_mod", ("Missing",), ImportError),
        ("lab_absent", "lab_absent", (), ModuleNotFoundError),
    ],
)
def test_load_imports_module_and_follows_attributes(tmp_path, monkeypatch, value, module_name, attrs, loads):
    source = """
        class Device:
            class Inner:
                pass
    """
    make_dist(tmp_path, "lab-loads", "1.0", {"lab": value}, {"lab_mod": source})
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.delitem(sys.modules, "lab_mod", raising=False)
    (entry_point,) = _entry_points.iter_entry_points(group=GROUP)
    assert (entry_point.name, entry_point.module_name, entry_point.attrs) == ("lab", module_name, attrs)
    if isinstance(loads, type):
        with pytest.raises(loads):
            entry_point.load()
    elif loads == "module":
        assert entry_point.load() is sys.modules["lab_mod"]
    else:
        assert entry_point.load().__name__ == loads
    monkeypatch.delitem(sys.modules, "lab_mod", raising=False)


def test_same_answers_as_pkg_resources(tmp_path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        pkg_resources = pytest.importorskip("pkg_resources")
    site = make_dist(tmp_path, "sorvex_plugin_lab", "1.2", {"lab": "lab.devices:Lab", "alt": "lab_alt"})
    make_dist(site, "Other.Lab-Kit", "0.3", {"kit": "kit"})

    def describe(entry_points):
        return sorted((e.dist.project_name, e.dist.version, e.name, e.module_name, e.attrs) for e in entry_points)

    theirs = pkg_resources.WorkingSet([str(site)]).iter_entry_points(GROUP)
    sys.path.insert(0, str(site))
    try:
        ours = list(_entry_points.iter_entry_points(group=GROUP))
    finally:
        sys.path.remove(str(site))
    assert describe(ours) == describe(theirs)


PROBE = """
import json, sys
import sorvex
facts = {"metadata_at_import": "importlib.metadata" in sys.modules}
import sorvex._entry_points
from sorvex.core import pluginmanager
facts["bound"] = pluginmanager.iter_entry_points is sorvex._entry_points.iter_entry_points
sorvex.PluginManager.discover_external_plugins()
facts["metadata_after_discovery"] = "importlib.metadata" in sys.modules
facts["pkg_resources"] = "pkg_resources" in sys.modules
facts["oses"] = sorted(sorvex.__plugin_manager__.plugins)
print(json.dumps(facts))
"""


def test_the_manager_uses_this_reader_and_imports_neither_pkg_resources_nor_metadata():
    # Only meaningful where nothing at start-up (a .pth file) imports them.
    startup = subprocess.run([sys.executable, "-c", "import sys; print(sorted(set(sys.modules) & "
                              "{'importlib.metadata', 'pkg_resources'}))"],
                             capture_output=True, text=True, check=True)  # fmt: skip
    result = subprocess.run([sys.executable, "-c", PROBE], capture_output=True, text=True, check=False)
    assert result.returncode == 0, result.stderr
    facts = json.loads(result.stdout)
    assert facts["bound"]
    if startup.stdout.strip() == "[]":
        assert not facts["metadata_at_import"] and not facts["pkg_resources"]
        assert not facts["metadata_after_discovery"]  # plain directories only, here
    if example_installed():
        assert "mirel" in facts["oses"]
