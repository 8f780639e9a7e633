"""One module per interpreter.

A manager reads its state afresh at every call, so a tree replaced by any
kind of store, at any moment, is the one the next lookup walks. The module
keeps everything in its module state, so it loads into interpreters with
their own GIL, and what one of them does is not seen by another.
"""
import os
import sys
import textwrap
import threading

import pytest

from support import A, B

# ---------------------------------------------------------------------------
# State read at every call


def tree(cls):
    return {"talvo": {"data": {"single_rp": {"cls": cls, "path": "p"}}}}


class _Attributes(dict):
    """An instance dict of a subclass of dict."""


def make_store():
    """obj.x = value, specialised by the interpreter after a few runs.

    Each case compiles its own: a debug build of 3.14 or 3.15 fails an
    assertion of its own (PyDict_CheckExact in the specialised store) when
    code specialised on an instance with an exact dict meets one of the same
    class whose __dict__ is a dict subclass, whatever the class.
    """
    namespace = {}
    exec("def store(obj, value):\n    obj.x = value\n", namespace)
    return namespace["store"]


@pytest.mark.parametrize("dict_type", [dict, _Attributes])
def test_a_lookup_in_a_finalizer_during_a_store_does_not_hide_later_changes(impl, dict_type):
    if dict_type is _Attributes and impl.__name__ == "pure_plugin_manager" and hasattr(sys, "gettotalrefcount") \
            and sys.version_info >= (3, 14):
        pytest.skip("the oracle's own attribute reads, specialised on exact dicts, fail the interpreter's assertion "
                    "(see make_store)")
    m, other = impl.PluginManager(), impl.PluginManager()
    m.__dict__ = dict_type(m.__dict__, _plugins=tree(A))  # not the dict the instance was made with
    seen, store = [], make_store()

    class Finalized:
        def __del__(self):
            seen.append(m.get_plugin(os="talvo"))

    for _ in range(50):
        store(m, None)
    store(m, Finalized())
    other.validate_os("talvo")
    store(m, None)  # the finalizer runs in the middle of this store
    setattr(m, "_plugins", tree(B))  # not a store the interpreter specialises (see make_store)
    assert seen == [A]
    assert m.get_plugin(os="talvo") is B


def test_lookups_on_another_thread_during_stores_see_each_tree(impl):
    m = impl.PluginManager()
    m.__dict__ = dict(m.__dict__, _plugins=tree(A))
    stop, store = threading.Event(), make_store()
    seen, errors = set(), []

    def look_up():
        while not stop.is_set():
            try:
                seen.add(m.get_plugin(os="talvo"))
            except Exception as exc:  # reported below
                errors.append(exc)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    thread = threading.Thread(target=look_up)
    thread.start()
    try:
        for i in range(3000):
            store(m, object())
            m._plugins = tree(B if i % 2 else A)
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(interval)
    m._plugins = tree(B)
    assert m.get_plugin(os="talvo") is B
    assert not errors
    assert seen <= {A, B}


# ---------------------------------------------------------------------------
# Sub-interpreters


def _interpreters():
    """The interpreters API of this CPython (3.12+), or None."""
    try:
        from concurrent import interpreters  # 3.14+

        return interpreters
    except ImportError:
        pass
    if sys.version_info < (3, 12):
        return None
    try:
        from test.support import interpreters  # 3.12, 3.13: shipped for tests
    except ImportError:
        return None
    return interpreters


interpreters = _interpreters()
needs_interpreters = pytest.mark.skipif(interpreters is None, reason="no sub-interpreters API in this CPython")


def run(interpreter, code):
    """Runs code in the interpreter; its exception fails the caller."""
    code = textwrap.dedent(code)
    if hasattr(interpreter, "exec"):
        interpreter.exec(code)
    else:  # 3.12
        interpreter.run(code)


class isolated:
    """A fresh interpreter with its own GIL, closed afterwards."""

    def __enter__(self):
        self.interpreter = interpreters.create()
        return self.interpreter

    def __exit__(self, *exc_info):
        self.interpreter.close()


# Every operation of the manager, inside an interpreter. A plugin class needs
# a file, so the built-in ones stand in.
OPERATIONS = """
    import sorvex
    from sorvex.core import pluginmanager
    from sorvex.core.errors import ConnectionInfraError
    from sorvex.plugins.linux.connection import LinuxConnection as Plugin

    PluginManager = pluginmanager.PluginManager
    PluginManager.discover_builtin_plugins()
    PluginManager.discover_external_plugins()
    assert sorvex.__plugin_manager__.get_plugin(os="talvo", series="t5").__name__ == "T5Connection"

    m = PluginManager()
    m.register_plugin(Plugin, os="talvo", series="t9", chassis_type="dual_rp")
    assert m.get_plugin(os="talvo", series="t9", model="m1", chassis_type="dual_rp") is Plugin
    try:
        m.get_plugin(os="talvo", series="t9")
    except ConnectionInfraError as error:
        assert str(error) == "Plugin data not found for (talvo/t9), type: single_rp ", error
    else:
        raise AssertionError("no miss")
    assert "cls = <class 'sorvex.plugins.linux.connection.LinuxConnection'>" in repr(m)
    m.unregister_plugin(os="talvo", series="t9", chassis_type="dual_rp")
    assert m.plugins == {"talvo": {"t9": {"data": {}}}}

    class Strict(PluginManager):
        def validate_os(self, os):
            raise ConnectionInfraError("no " + os)

    try:
        Strict().get_plugin(os="talvo")
    except ConnectionInfraError as error:
        assert str(error) == "no talvo"
    else:
        raise AssertionError("override not called")
"""


@needs_interpreters
def test_every_operation_in_a_fresh_interpreter():
    with isolated() as interpreter:
        run(interpreter, OPERATIONS)


@needs_interpreters
def test_a_rebound_module_name_stays_in_its_interpreter():
    from sorvex.core import pluginmanager

    with isolated() as interpreter:
        run(
            interpreter,
            """
            from sorvex.core import pluginmanager
            from sorvex.plugins.linux.connection import LinuxConnection
            pluginmanager.getfile = lambda cls: "elsewhere"
            pluginmanager.ENTRYPOINT_GROUP = "elsewhere"
            m = pluginmanager.PluginManager()
            m.register_plugin(LinuxConnection, os="linux")
            assert m.plugins["linux"]["data"]["single_rp"]["path"] == "elsewhere"
            """,
        )
    m = pluginmanager.PluginManager()
    m.register_plugin(A, os="talvo")
    assert m.plugins["talvo"]["data"]["single_rp"]["path"] == sys.modules[A.__module__].__file__
    assert pluginmanager.ENTRYPOINT_GROUP == "sorvex.plugins"


HAMMER = """
    import time
    from sorvex.core.pluginmanager import PluginManager
    from sorvex.core.errors import ConnectionInfraError
    from sorvex.plugins.talvo.connection import TalvoConnection

    class Checked(PluginManager):
        def validate_series(self, os, series):
            return super().validate_series(os, series)

    deadline = time.monotonic() + SECONDS
    rounds = 0
    while time.monotonic() < deadline:
        for m in (PluginManager(), Checked()):
            m.register_plugin(TalvoConnection, os="talvo", series="t%d" % (rounds % 7))
            assert m.get_plugin(os="talvo", series="t%d" % (rounds % 7), model="m") is TalvoConnection
            try:
                m.get_plugin(os="talvo", chassis_type="stack")
            except ConnectionInfraError:
                pass
            repr(m)
            m.unregister_plugin(os="talvo", series="t%d" % (rounds % 7))
        rounds += 1
    assert rounds > 10, rounds
"""


@needs_interpreters
def test_two_interpreters_at_once_each_with_its_own_manager():
    errors = []

    # Each thread makes, uses and closes its own: 3.12 hangs closing an
    # interpreter that another thread has run code in.
    def hammer():
        try:
            with isolated() as interpreter:
                run(interpreter, HAMMER.replace("SECONDS", "2.0"))
        except Exception as exc:  # reported below
            errors.append(exc)

    threads = [threading.Thread(target=hammer) for _ in range(2)]
    for thread in threads:
        thread.start()
    exec(textwrap.dedent(HAMMER.replace("SECONDS", "1.0")), {})  # and the main interpreter meanwhile
    for thread in threads:
        thread.join()
    assert not errors


def _resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# What sorvex imports from the standard library, for the baseline below.
STANDARD_IMPORTS = "import logging, inspect, pkgutil, importlib, importlib.util, warnings, textwrap, typing"


@needs_interpreters
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc/self/statm")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="AddressSanitizer holds freed memory back")
def test_interpreters_made_used_and_closed_in_a_row_do_not_grow_memory():
    # CPython 3.12 and 3.13 abandon the memory of a closed isolated
    # interpreter (an empty one costs over 1.5 MiB), so the measure is what
    # interpreters using the manager add to interpreters importing the same
    # standard modules.
    used = """
        from sorvex.core.pluginmanager import PluginManager
        from sorvex.plugins.linux.connection import LinuxConnection
        m = PluginManager()
        m.register_plugin(LinuxConnection, os="linux")
        assert m.get_plugin(os="linux") is LinuxConnection
        repr(m)
    """

    def growth(code, count):
        before = _resident_bytes()
        for _ in range(count):
            with isolated() as interpreter:
                run(interpreter, code)
        return _resident_bytes() - before

    growth(used, 5)
    growth(STANDARD_IMPORTS, 5)
    rounds = 25  # twice each: over 100 interpreters in a row
    baseline = growth(STANDARD_IMPORTS, rounds) + growth(STANDARD_IMPORTS, rounds)
    with_manager = growth(used, rounds) + growth(used, rounds)
    # sorvex's own modules take 400 to 500 KiB of each interpreter, which
    # 3.12 and 3.13 abandon with it; an interpreter left alive each time would
    # take more than the whole bound.
    assert with_manager - baseline < 2 * rounds * 1024 * 1024, (with_manager, baseline)


@pytest.mark.skipif(sys.version_info < (3, 14), reason="InterpreterPoolExecutor is new in 3.14")
def test_an_interpreter_pool_runs_the_manager():
    from concurrent.futures import InterpreterPoolExecutor

    with InterpreterPoolExecutor(max_workers=2) as pool:
        futures = [pool.submit(exec, textwrap.dedent(OPERATIONS), {}) for _ in range(4)]
        for future in futures:
            assert future.result() is None
