"""Shared fixtures.

Most behaviour tests run twice: against the native module and against the
pure-Python rendition in ``benchmarks/`` (the oracle), so that a test that
encodes a wrong expectation fails on both.
"""
import os
import pathlib
import sys

import pytest
from hypothesis import settings

# CI runs the same examples every time; nowhere is a test timed.
settings.register_profile("ci", derandomize=True, deadline=None)
settings.register_profile("dev", deadline=None)
settings.load_profile("ci" if os.environ.get("CI") else "dev")

BENCHMARKS = pathlib.Path(__file__).resolve().parent.parent / "benchmarks"
if str(BENCHMARKS) not in sys.path:
    sys.path.insert(0, str(BENCHMARKS))

import pure_plugin_manager  # noqa: E402
from sorvex.core import pluginmanager as native  # noqa: E402

IMPLEMENTATIONS = {"native": native, "pure": pure_plugin_manager}


@pytest.fixture(params=sorted(IMPLEMENTATIONS))
def impl(request):
    """The module under test: the native one or the pure-Python rendition."""
    return IMPLEMENTATIONS[request.param]


@pytest.fixture
def manager(impl):
    """A fresh manager of the implementation under test."""
    return impl.PluginManager()
