"""The installed distribution: one version, the licence, no test code."""
import pytest

import sorvex

try:
    from importlib import metadata
except ImportError:  # 3.7
    metadata = pytest.importorskip("importlib_metadata")


@pytest.fixture(scope="module")
def distribution():
    try:
        return metadata.distribution("sorvex")
    except metadata.PackageNotFoundError:
        pytest.skip("sorvex is not installed as a distribution")


def test_metadata_has_the_package_version_and_the_licence(distribution):
    assert distribution.metadata["Version"] == sorvex.__version__
    # An SPDX expression from setuptools 77 on, the plain field before.
    declared = distribution.metadata.get("License-Expression") or distribution.metadata.get("License")
    assert declared == "Apache-2.0"
    assert "LICENSE" in (distribution.metadata.get_all("License-File") or [])


def test_installed_files_hold_the_licence_text_and_no_test_code(distribution):
    files = [str(path).replace("\\", "/") for path in distribution.files or []]
    licence = [path for path in files if path.endswith("/LICENSE") and ".dist-info/" in path]
    assert licence, files
    assert "Apache License" in distribution.locate_file(licence[0]).read_text(encoding="utf-8")
    package = [path.split("/") for path in files if path.startswith("sorvex/")]
    if not package:
        pytest.skip("an editable install lists no files of the package")
    assert not [path for path in package if "tests" in path or path[-1].startswith("test_")]
