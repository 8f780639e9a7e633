"""Connection classes for every Talvo device, whatever its series.

Importing this module registers the classes on the shared plugin manager at
OS level, one per chassis type. A series without a plugin of its own falls
back to these.
"""
from typing import Optional

from sorvex import __plugin_manager__


class TalvoConnection:
    """Connection to a Talvo device with one route processor.

    The prompt is the host name followed by ``>`` (user mode) or ``#``
    (privileged mode), with the configuration context in parentheses while
    configuring, as in ``edge1(config-if)#``.
    """

    os = "talvo"
    series: Optional[str] = None
    chassis_type = "single_rp"
    prompt_pattern = r"^[A-Za-z0-9][\w.-]*(\(config[\w-]*\))?[>#] ?$"
    default_timeout = 60


class TalvoDualRpConnection(TalvoConnection):
    """Connection to a Talvo device with an active and a standby route processor.

    The standby processor answers with the same prompt and a ``-stby`` suffix
    on the host name, so the pattern accepts both.
    """

    chassis_type = "dual_rp"
    prompt_pattern = r"^[A-Za-z0-9][\w.-]*?(-stby)?(\(config[\w-]*\))?[>#] ?$"
    default_timeout = 120


class TalvoStackConnection(TalvoConnection):
    """Connection to a stack of Talvo switches managed as one device."""

    chassis_type = "stack"
    default_timeout = 180


__plugin_manager__.register_plugin(cls=TalvoConnection, os="talvo")
__plugin_manager__.register_plugin(cls=TalvoDualRpConnection, os="talvo", chassis_type="dual_rp")
__plugin_manager__.register_plugin(cls=TalvoStackConnection, os="talvo", chassis_type="stack")
