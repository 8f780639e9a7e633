"""The Mirel plugin, loaded alone into an isolated plugin manager.

``sorvex_plugins`` is the fixture that sorvex gives pytest when it is
installed: ``sorvex_plugins("mirel")`` makes a new manager the shared one,
loads the ``mirel`` entry point into it (importing ``sorvex_mirel`` anew) and
returns it; everything is restored after the test.
"""
import pytest

from sorvex.core.errors import ConnectionInfraError


def test_registers_both_chassis_types(sorvex_plugins):
    manager = sorvex_plugins("mirel")
    import sorvex_mirel

    assert manager.get_plugin(os="mirel") is sorvex_mirel.MirelConnection
    assert manager.get_plugin(os="mirel", chassis_type="stack") is sorvex_mirel.MirelStackConnection
    assert sorted(manager.plugins) == ["mirel"]  # nothing else was loaded


def test_has_no_dual_rp_class(sorvex_plugins):
    manager = sorvex_plugins("mirel")
    with pytest.raises(ConnectionInfraError, match=r"Plugin data not found for \(mirel\), type: dual_rp"):
        manager.get_plugin(os="mirel", chassis_type="dual_rp")
