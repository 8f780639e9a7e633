"""sorvex._entry_points: sorvex's own reader of entry points, against importlib.metadata."""
import json
import os
import sys
import warnings
import zipfile

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from sorvex import _entry_points
import support
from support import example_installed, run_python

GROUP = "sorvex.test_entry_points"


def make_dist(site, name, version, entry_points, modules=None):
    return support.make_dist(site, name, version, entry_points, modules, group=GROUP)


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


def test_metadata_is_read_only_for_distributions_in_the_group_and_only_when_asked(tmp_path, monkeypatch):
    for index in range(5):
        make_dist(tmp_path, "lab-other-%d" % index, "1.0", {})
    make_dist(tmp_path, "lab-wanted", "3.1", {"lab": "lab_wanted"})
    monkeypatch.syspath_prepend(str(tmp_path))
    read = []
    real = _entry_points._read_text
    monkeypatch.setattr(_entry_points, "_read_text", lambda path: read.append(os.path.basename(path)) or real(path))
    (entry_point,) = _entry_points.iter_entry_points(GROUP)
    assert "METADATA" not in read
    assert (entry_point.dist.project_name, entry_point.dist.version) == ("lab-wanted", "3.1")
    assert read.count("METADATA") == 1


def test_unreadable_metadata_gives_the_directory_name(tmp_path, monkeypatch):
    make_dist(tmp_path, "lab-bare", "1.0", {"lab": "lab_bare"})
    (tmp_path / "lab_bare-1.0.dist-info" / "METADATA").unlink()
    monkeypatch.syspath_prepend(str(tmp_path))
    (entry_point,) = _entry_points.iter_entry_points(GROUP)
    assert (entry_point.dist.project_name, entry_point.dist.version) == ("lab-bare", "")


# Differential: the same entry points as importlib.metadata, in the documented
# order (by normalised distribution name, then entry-point name, then as
# written), on generated environments of plain directories.


def metadata_module():
    try:
        return _entry_points._metadata_module()
    except ImportError:
        pytest.skip("neither importlib.metadata nor the importlib_metadata backport is installed")


def theirs():
    """importlib.metadata's answer: entry_points(group=...) where it selects, else every distribution's."""
    metadata = metadata_module()
    try:
        selected = metadata.entry_points(group=GROUP)
        pairs = [(entry_point.dist.metadata["Name"], entry_point) for entry_point in selected]
    except TypeError:  # 3.8, 3.9: no selection, no .dist and no de-duplication (the tests make none)
        pairs = [
            (dist.metadata["Name"], entry_point)
            for dist in metadata.distributions()
            for entry_point in dist.entry_points
            if entry_point.group == GROUP
        ]
    found = [(_entry_points.normalise(name), ep.name, ep.value) for name, ep in pairs]
    return sorted(found, key=lambda item: item[:2])  # stable: as written within a distribution


def ours():
    return [
        (_entry_points.normalise(ep.dist.project_name), ep.name, ep.value)
        for ep in _entry_points.iter_entry_points(GROUP)
    ]


# importlib.metadata before 3.10 lists a distribution name twice, and reads
# entry_points.txt with configparser, which refuses a name twice in a group.
LINE_READER = sys.version_info >= (3, 10) or "importlib_metadata" in sys.modules

# A distribution: (name as spelled in its metadata, variant of the spelling
# for its directory, .dist-info or .egg-info, entry points of the group,
# other groups, has an entry_points.txt at all).
names = st.sampled_from(["lab-kit", "Lab_Kit", "lab.kit", "zeta", "Zeta", "alpha-one", "alpha_two"])
entry_point_names = st.sampled_from(["a", "b", "lab", "Lab", "x-1", "y.z"])
values = st.sampled_from(["lab_mod", "lab_mod:Device", "pkg.mod:obj.attr", "lab_mod:Device [extra]"])
distributions = st.tuples(
    names,
    st.booleans(),
    st.sampled_from([".dist-info", ".egg-info"]),
    st.lists(st.tuples(entry_point_names, values), max_size=4),
    st.booleans(),
    st.booleans(),
)


def write_distribution(site, spec, index):
    name, upper, suffix, entry_points, other_group, has_file = spec
    if not LINE_READER:
        entry_points = list(dict(entry_points).items())
    stem = name.replace("-", "_").replace(".", "_")
    info = site / ((stem.upper() if upper else stem) + "-%d.0" % index + suffix)
    if info.exists():
        return False
    info.mkdir(parents=True)
    metadata = "METADATA" if suffix == ".dist-info" else "PKG-INFO"
    (info / metadata).write_text("Metadata-Version: 2.1\nName: %s\nVersion: %d.0\n\nA description.\n" % (name, index))
    lines = ["# written by a test", ""]
    if other_group:
        lines += ["[console_scripts]", "lab-tool = lab_mod:main", ""]
    lines += ["[%s]" % GROUP] + ["%s = %s" % pair for pair in entry_points]
    if other_group:
        lines += ["", "[%s.other]" % GROUP, "lab = other_mod"]
    if has_file:
        (info / "entry_points.txt").write_text("\n".join(lines) + "\n")
    return True


@settings(max_examples=60)
@given(sites=st.lists(st.lists(distributions, max_size=5), min_size=1, max_size=3))
def test_same_entry_points_in_the_same_order_as_importlib_metadata(tmp_path_factory, sites):
    metadata_module()
    root = tmp_path_factory.mktemp("env")
    paths = []
    seen = set()
    for number, specs in enumerate(sites):
        site = root / ("site%d" % number)
        site.mkdir()
        paths.append(str(site))
        for index, spec in enumerate(specs):
            key = _entry_points.normalise(spec[0])
            if key in seen and not LINE_READER:
                continue
            if write_distribution(site, spec, index):
                seen.add(key)
    saved = list(sys.path)
    sys.path[:0] = paths
    try:
        assert ours() == theirs()
    finally:
        sys.path[:] = saved


def test_zip_file_on_the_path_is_read_through_importlib_metadata(tmp_path, monkeypatch):
    make_dist(tmp_path / "zipped", "lab-zipped", "1.0", {"z": "lab_z:Z", "a": "lab_a"})
    make_dist(tmp_path / "plain", "lab-plain", "1.0", {"p": "lab_p"})
    archive = tmp_path / "lab.zip"
    with zipfile.ZipFile(str(archive), "w") as zipped:
        for path in (tmp_path / "zipped").rglob("*"):
            zipped.write(str(path), str(path.relative_to(tmp_path / "zipped")))
    monkeypatch.syspath_prepend(str(tmp_path / "plain"))
    monkeypatch.syspath_prepend(str(archive))
    assert ours() == theirs() == [("lab-plain", "p", "lab_p"), ("lab-zipped", "a", "lab_a"), ("lab-zipped", "z", "lab_z:Z")]
    assert [ep.dist.project_name for ep in _entry_points.iter_entry_points(GROUP)] == ["lab-plain"] + ["lab-zipped"] * 2


def test_distributions_of_another_finder_on_meta_path_count_first_come_first(tmp_path, monkeypatch):
    metadata = metadata_module()
    make_dist(tmp_path / "elsewhere", "lab-found", "2.0", {"f": "lab_found"})
    make_dist(tmp_path / "plain", "lab-found", "1.0", {"old": "lab_old"})  # the finder comes first
    make_dist(tmp_path / "plain", "lab-plain", "1.0", {"p": "lab_p"})

    class Finder:
        @staticmethod
        def find_spec(*args, **kwargs):  # finds no module
            return None

        @staticmethod
        def find_distributions(context):
            return iter([metadata.PathDistribution(tmp_path / "elsewhere" / "lab_found-2.0.dist-info")])

    monkeypatch.setattr(sys, "meta_path", [Finder] + sys.meta_path)
    monkeypatch.syspath_prepend(str(tmp_path / "plain"))
    expected = [("lab-found", "f", "lab_found"), ("lab-plain", "p", "lab_p")]
    assert ours() == expected
    if LINE_READER:  # the same name twice: only importlib.metadata from 3.10 on counts it once
        assert theirs() == expected


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
    startup = run_python("-c", "import sys; print(sorted(set(sys.modules) & {'importlib.metadata', 'pkg_resources'}))",
                         check=True)
    result = run_python("-c", PROBE)
    assert result.returncode == 0, result.stderr
    facts = json.loads(result.stdout)
    assert facts["bound"]
    if startup.stdout.strip() == "[]":
        assert not facts["metadata_at_import"] and not facts["pkg_resources"]
        assert not facts["metadata_after_discovery"]  # plain directories only, here
    if example_installed():
        assert "mirel" in facts["oses"]
