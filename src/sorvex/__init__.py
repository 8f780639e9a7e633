"""sorvex: a device-connection library.

Connection classes ("plugins") register with the shared plugin manager
``sorvex.__plugin_manager__`` under a device description (OS, series, model
and chassis type); connection code asks the manager for the class that fits a
device. :func:`load_plugins` loads the built-in and the installed external
plugins into it, and reports what each provided and which failed.
"""
import logging

__version__ = "0.1.0"

#: The package logger. Bound before the plugin manager is imported: the
#: manager's module takes it from here while this package is still loading.
log = logging.getLogger(__name__)
log.addHandler(logging.NullHandler())

from sorvex.core.pluginmanager import PluginManager  # noqa: E402
from sorvex._loading import PluginLoadError, PluginReport, load_plugins  # noqa: E402

#: The manager shared by the whole library; plugins register with it.
__plugin_manager__ = PluginManager()

__all__ = ["PluginLoadError", "PluginManager", "PluginReport", "load_plugins", "log", "__plugin_manager__", "__version__"]
