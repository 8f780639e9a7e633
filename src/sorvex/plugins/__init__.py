"""Built-in plugins of sorvex.

Every module and package below this one is imported by
``PluginManager.discover_builtin_plugins()``, except test code (a name that
ends in ``tests`` or lies below a ``tests`` package). A plugin module registers
its connection classes on ``sorvex.__plugin_manager__`` when it is imported.
"""

#: Chassis kinds a plugin may be registered for.
supported_chassis = ["single_rp", "dual_rp", "stack"]

#: OS names with built-in plugins. Other names are accepted too, with a debug
#: record on the ``sorvex`` logger.
supported_os = ["talvo", "linux"]
