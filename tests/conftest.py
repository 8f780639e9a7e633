"""Shared fixtures.

Most behaviour tests run twice: against the native module and against the
pure-Python rendition in ``benchmarks/`` (the oracle), so that a test that
encodes a wrong expectation fails on both. Helpers live in ``support.py``.
"""
import os

import pytest
from hypothesis import settings

from support import IMPLEMENTATIONS

# CI runs the same examples every time; nowhere is a test timed.
settings.register_profile("ci", derandomize=True, deadline=None)
settings.register_profile("dev", deadline=None)
settings.load_profile("ci" if os.environ.get("CI") else "dev")


@pytest.fixture(params=sorted(IMPLEMENTATIONS))
def impl(request):
    """The module under test: the native one or the pure-Python rendition."""
    return IMPLEMENTATIONS[request.param]


@pytest.fixture
def manager(impl):
    """A fresh manager of the implementation under test."""
    return impl.PluginManager()
