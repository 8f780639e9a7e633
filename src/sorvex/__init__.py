"""sorvex: a device-connection library.

Connection classes ("plugins") register with the shared plugin manager
``sorvex.__plugin_manager__`` under a device description (OS, series, model
and chassis type); connection code asks the manager for the class that fits a
device.
"""
import logging

__version__ = "0.1.0"

#: The package logger. Bound before the plugin manager is imported: the
#: manager's module takes it from here while this package is still loading.
log = logging.getLogger(__name__)
log.addHandler(logging.NullHandler())

from sorvex.core.pluginmanager import PluginManager  # noqa: E402

#: The manager shared by the whole library; plugins register with it.
__plugin_manager__ = PluginManager()

__all__ = ["PluginManager", "log", "__plugin_manager__", "__version__"]
