"""Connection classes for Linux hosts.

The plugin manager does not check chassis types for Linux; the classes are
registered under the usual names all the same, so that a lookup with the
default chassis type finds the plain host.
"""
from typing import Optional

from sorvex import __plugin_manager__


class LinuxConnection:
    """Connection to a single Linux host through a POSIX shell.

    The prompt is whatever the shell prints last, ending in ``$`` for a user
    or ``#`` for root, as in ``admin@lab3:~$``.
    """

    os = "linux"
    series: Optional[str] = None
    chassis_type = "single_rp"
    prompt_pattern = r"^[^\n]*[$#] ?$"
    default_timeout = 30


class LinuxHaPairConnection(LinuxConnection):
    """Connection to an active/standby pair of Linux hosts behind one address."""

    chassis_type = "dual_rp"
    default_timeout = 60


class BusyBoxConnection(LinuxConnection):
    """Connection to an embedded Linux host running the BusyBox shell.

    BusyBox prints a bare ``~ #`` by default and has no ``sudo``.
    """

    series = "busybox"
    prompt_pattern = r"^[^\n]*[$#>] ?$"
    default_timeout = 20


__plugin_manager__.register_plugin(cls=LinuxConnection, os="linux")
__plugin_manager__.register_plugin(cls=LinuxHaPairConnection, os="linux", chassis_type="dual_rp")
__plugin_manager__.register_plugin(cls=BusyBoxConnection, os="linux", series="busybox")
