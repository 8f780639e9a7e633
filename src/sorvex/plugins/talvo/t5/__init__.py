"""Connection classes for the Talvo T5 series.

T5 devices start a session in a restricted shell and show the slot of the
route processor in the prompt (``core2/rp0#``); they also take longer to
answer after a configuration commit. Every T5 model falls back to these
series-level classes.
"""
from sorvex import __plugin_manager__
from sorvex.plugins.talvo.connection import TalvoConnection


class T5Connection(TalvoConnection):
    """Connection to a Talvo T5 device with one route processor."""

    series = "t5"
    prompt_pattern = r"^[A-Za-z0-9][\w.-]*/rp[0-9](\(config[\w-]*\))?[>#] ?$"
    default_timeout = 90


class T5DualRpConnection(T5Connection):
    """Connection to a Talvo T5 device with two route processors (rp0 and rp1)."""

    chassis_type = "dual_rp"
    default_timeout = 150


__plugin_manager__.register_plugin(cls=T5Connection, os="talvo", series="t5")
__plugin_manager__.register_plugin(cls=T5DualRpConnection, os="talvo", series="t5", chassis_type="dual_rp")
