"""On a debug interpreter: no operation makes the interpreter's totals drift.

A debug build (Py_DEBUG) counts every reference and every allocated block of
the whole interpreter. Each operation of tests/test_leaks.py, successful and
failing, runs thousands of times on a manager of the base class and on one of a
subclass that overrides a check; the totals must not grow batch after batch.
Unlike the counts of the objects an operation touches, the totals also catch a
reference kept to an object made during the call (a message, a tuple, a bound
method). Skipped where sys.gettotalrefcount does not exist (a release build).
"""
import gc
import sys

import pytest
from support import native
from test_leaks import OPERATIONS, built, fakes, repeat  # noqa: F401  (fakes: the fixture)

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="needs a debug interpreter (sys.gettotalrefcount)")

WARMUP, BATCH, BATCHES = 200, 1000, 3
# Growth below this, per batch, is the measuring itself and the interpreter's
# caches settling; a leak on every call grows by BATCH or more.
NOISE = BATCH // 100


class Checked(native.PluginManager):
    """A subclass that overrides a check, so every call takes the general route."""

    def validate_series(self, os, series):
        return super().validate_series(os, series)


def totals():
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def drift(operation, m):
    """The growth of (references, blocks) over each batch, after a warm-up."""
    repeat(operation, m, WARMUP)
    grown = []
    before = totals()
    for _ in range(BATCHES):
        repeat(operation, m, BATCH)
        after = totals()
        grown.append((after[0] - before[0], after[1] - before[1]))
        before = after
    return grown


@pytest.mark.parametrize("cls", [native.PluginManager, Checked], ids=["base", "subclass"])
@pytest.mark.parametrize("name", list(OPERATIONS))
def test_operation_keeps_the_totals(name, cls, fakes):  # noqa: F811
    grown = drift(OPERATIONS[name], built(cls()))
    refs, blocks = zip(*grown)
    assert min(refs) <= NOISE, "references grew in every batch of %d calls: %s" % (BATCH, refs)
    assert min(blocks) <= NOISE, "allocated blocks grew in every batch of %d calls: %s" % (BATCH, blocks)


def test_drift_is_seen():
    """The measure itself: a list that keeps one new object a call grows both totals."""
    kept = []
    grown = drift(lambda m: kept.append(object()), None)
    assert all(refs >= BATCH and blocks >= BATCH for refs, blocks in grown), grown
