"""sorvex connection classes for devices running Mirel.

Importing this module registers the classes on sorvex's shared plugin
manager. sorvex imports it through the ``mirel`` entry point of the
``sorvex.plugins`` group when it discovers external plugins.
"""
from typing import Optional

from sorvex import __plugin_manager__


class MirelConnection:
    """Connection to a Mirel appliance.

    Mirel shows the current configuration path in the prompt, as in
    ``mirel:/interfaces/eth0$``.
    """

    os = "mirel"
    series: Optional[str] = None
    chassis_type = "single_rp"
    prompt_pattern = r"^mirel:[\w/.-]*[$#] ?$"
    default_timeout = 45


class MirelStackConnection(MirelConnection):
    """Connection to a stack of Mirel appliances managed through one member."""

    chassis_type = "stack"
    default_timeout = 90


__plugin_manager__.register_plugin(cls=MirelConnection, os="mirel")
__plugin_manager__.register_plugin(cls=MirelStackConnection, os="mirel", chassis_type="stack")
