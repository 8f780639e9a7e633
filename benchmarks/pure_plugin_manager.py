"""
A pure-Python rendition of ``sorvex.core.pluginmanager``.

It behaves exactly as the native module does, call for call: the same
messages, the same order of checks, the same calls into user code (truth
tests, ``==``, ``in``, ``str()``, ``keys()``), the same late binding of
module-level names. It serves as the yardstick of ``bench.py`` and as the
oracle of the differential and fuzz tests. It is not shipped in the package.

Where the native module departs from the most literal reading of its
behaviour, this file does the same:

- a failed registration leaves the tree as it was (``getfile`` is called
  before the walk, and nodes created by a walk that fails are removed again);
- ``validate_series`` and ``validate_model`` refuse the reserved name "data";
- ``validate_os`` refuses a true OS that is neither in ``supported_os`` nor
  a ``str`` with ``ConnectionInfraError``;
- %-formatting always gets the value as a one-element tuple;
- ``register_plugin`` refuses, after the checks, a description whose keys the
  renderer could not label: a model without a series, a model, series or OS
  that is not a ``str``, and a chassis type that is not a ``str`` (for every
  OS, "linux" included);
- the walk down the tree tests each name through the node's ``keys()``, but
  whether a node holds "data" and whether the chassis map holds the chassis
  type are asked of the mapping itself (``in``);
- ``print_tree`` adds each piece with a plain ``+`` (``output = output +
  (piece)``, the piece built first), never ``+=``, so a mutable ``output`` is
  never changed in place.

Entry points come from ``pkg_resources`` when it can be imported, else from
``sorvex._entry_points``.
"""
import os
import pkgutil
import importlib
from sorvex import log
from sorvex.plugins import supported_chassis, supported_os
from inspect import getfile
from sorvex.core.errors import ConnectionInfraError
import warnings

try:
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="pkg_resources is deprecated as an API", category=UserWarning)
        from pkg_resources import iter_entry_points
except ImportError:
    from sorvex._entry_points import iter_entry_points

ENTRYPOINT_GROUP = "sorvex.plugins"

SERIES_RESERVED_MESSAGE = 'Series cannot be named "data": "data" is reserved for plugin records'
MODEL_RESERVED_MESSAGE = 'Model cannot be named "data": "data" is reserved for plugin records'


def _has_key(node, key):
    # The walk down the tree tests membership through the node's keys() view.
    return key in node.keys()


def _path_of(os, series, model):
    if model is not None:
        return [os, series, model]
    if series is not None:
        return [os, series]
    return [os]


class PluginManager:
    """
        Loads all plugin implementation,
        provides API's for accessing plugins
    """

    def __init__(self):
        """
            Initialize
        """
        self._plugins = {}
        self.chassis_type_list = supported_chassis
        self.supported_os = supported_os

    @property
    def plugins(self):
        """ Plugin list getter
        """
        return self._plugins

    @plugins.setter
    def plugins(self, value):
        """ Plugin list getter
        """
        raise Exception(" Protected Member, cannot modify Plugins")

    def validate_model(self, os, series, model):
        """
         Validates Model
        """
        if not model:
            return
        if not series or not os:
            raise ConnectionInfraError("OS and Series are required for Model: " + str(model))
        if not isinstance(model, str):
            raise ConnectionInfraError("Model should be of type str")
        if str.__eq__(model, "data") is True:
            raise ConnectionInfraError(MODEL_RESERVED_MESSAGE)
        if model.islower():
            return
        if model.isdigit():
            return
        raise ConnectionInfraError(" Model (%s) has to be in lowecase" % (model,))

    def validate_series(self, os, series):
        """
         Validates series
        """
        if not series:
            return
        if os is None:
            raise ConnectionInfraError("OS information not provided for Series: " + str(series))
        if not isinstance(series, str):
            raise ConnectionInfraError("Series should be of type str")
        if str.__eq__(series, "data") is True:
            raise ConnectionInfraError(SERIES_RESERVED_MESSAGE)
        if series.islower():
            return
        if series.isdigit():
            return
        raise ConnectionInfraError("Series (%s) has to be in lowercase" % (series,))

    def validate_os(self, os):
        """
         Validates OS
        """
        if os and os not in self.supported_os:
            if not isinstance(os, str):
                raise ConnectionInfraError(
                    "OS should be one of these " + str(self.supported_os) + " , but got " + str(os)
                )
            if "mocked" not in os:
                log.debug("%s is not part of the built-in list of supported OSes." % (os,))
                return
        if not os:
            raise ConnectionInfraError(
                "OS should be one of these " + str(self.supported_os) + " , but got " + str(os)
            )

    def validate_chassis_type(self, chassis_type):
        """
         Validate chassis
        """
        if chassis_type and chassis_type in self.chassis_type_list:
            return
        raise ConnectionInfraError(
            "chassis Type should be one of these " + str(self.chassis_type_list) + ", but got " + str(chassis_type)
        )

    def validate_arguments(self, os, series, model, chassis_type):
        """ Validates the input arguments provided
        """
        self.validate_model(os=os, series=series, model=model)
        self.validate_series(series=series, os=os)
        self.validate_os(os=os)
        if os == "linux":
            return
        self.validate_chassis_type(chassis_type=chassis_type)

    def get_plugin(self, os=None, series=None, model=None, chassis_type="single_rp"):
        """
            This method returns the connection class based on the
            input details provided
        """
        self.validate_arguments(os, series, model, chassis_type)
        path = _path_of(os, series, model)
        root = self._plugins
        for from_path in path:
            if _has_key(root, from_path):
                root = root[from_path]
            else:
                break
        if "data" in root:
            data = root["data"]
            if chassis_type in data:
                return data[chassis_type]["cls"]
        raise ConnectionInfraError(
            "Plugin data not found for (" + "/".join(path) + "), type: " + str(chassis_type) + " "
        )

    def unregister_plugin(self, os=None, series=None, model=None, chassis_type=None):
        """
            This method unregister a particular implementations from
            the internal database
        """
        self.validate_arguments(os, series, model, "single_rp")
        tree_hirerarchy = _path_of(os, series, model)
        cur_node = self._plugins
        for node in tree_hirerarchy:
            if not _has_key(cur_node, node):
                raise ConnectionInfraError("Plugin data not found")
            cur_node = cur_node[node]
        if chassis_type is None:
            if "data" not in cur_node:
                raise ConnectionInfraError("Plugin data not found")
            del cur_node["data"]
        else:
            if "data" not in cur_node:
                raise ConnectionInfraError("Plugin data not found")
            data = cur_node["data"]
            if chassis_type not in data:
                raise ConnectionInfraError("Plugin data not found for %s" % (chassis_type,))
            del data[chassis_type]

    def register_plugin(self, cls, os=None, series=None, model=None, chassis_type="single_rp"):
        """
            This method registers all the implementation plugin(i.e connection class)
            to the sorvex plugin manager

            It takes OS, SERIES, MODEL information and based on that
            registers it

            cls refer to the connection class
            chassis_type indicates if the connection class is for single_rp or
            dual_rp or stack(default single_rp)

        """
        self.validate_arguments(os, series, model, chassis_type)
        # Keys the renderer could not label never get into the tree, whatever
        # the checks (which a subclass may relax) let through.
        if model is not None and series is None:
            raise ConnectionInfraError("OS and Series are required for Model: " + str(model))
        if model is not None and not isinstance(model, str):
            raise ConnectionInfraError("Model should be of type str")
        if series is not None and not isinstance(series, str):
            raise ConnectionInfraError("Series should be of type str")
        if not isinstance(os, str):
            raise ConnectionInfraError(
                "OS should be one of these " + str(self.supported_os) + " , but got " + str(os)
            )
        if not isinstance(chassis_type, str):
            raise ConnectionInfraError(
                "chassis Type should be one of these " + str(self.chassis_type_list) + ", but got " + str(chassis_type)
            )
        tree_hirerarchy = _path_of(os, series, model)
        # Before the walk, so that a class without a source file leaves no
        # empty nodes behind.
        class_path = getfile(cls)
        cur_node = self._plugins
        created = []
        try:
            for node in tree_hirerarchy:
                if not _has_key(cur_node, node):
                    fresh = {}
                    cur_node[node] = fresh
                    created.append((cur_node, node, fresh))
                cur_node = cur_node[node]
            if "data" in cur_node:
                data = cur_node["data"]
                data[chassis_type] = {"cls": cls, "path": class_path}
                cur_node["data"] = data
            else:
                cur_node["data"] = {chassis_type: {"cls": cls, "path": class_path}}
        except BaseException:
            _undo(created)
            raise

    @staticmethod
    def discover_builtin_plugins():
        """loads all plugins"""
        try:
            from sorvex.plugins import __path__ as plugins_path, __name__ as sorvex_name
        except ImportError:
            from sorvex.plugins import __file__ as sorvex_init, __name__ as sorvex_name
            plugins_path = [os.path.dirname(sorvex_init)]
        for finder, name, ispkg in pkgutil.walk_packages(plugins_path, sorvex_name + "."):
            if ".plugins." in name and ".tests." not in name and not name.endswith("tests"):
                importlib.import_module(name)

    @staticmethod
    def discover_external_plugins():
        """
        discover external plugins defined that users pip installed.
        """
        for plugin in iter_entry_points(group=ENTRYPOINT_GROUP):
            log.debug("Loading external plugin " + str(plugin.name) + " from " + str(plugin.module_name))
            plugin.load()

    def print_tree(self, data, output="plugin"):
        """This Method print the plugin list in tree structure"""
        if not data:
            return ""
        if data == {}:
            return ""
        if not isinstance(data, dict):
            return output + " = " + str(data)
        sorted_keys = sorted(data.keys())
        last_key = sorted_keys[-1]
        for key in sorted_keys:
            temp_output = self.print_tree(data=data[key], output="__ " + key)
            separator = "  " if key == last_key else "  |"
            current_line = 1
            for line in temp_output.split("\n"):
                if current_line == 1 and key == last_key:
                    output = output + ("\n  |" + line)
                else:
                    output = output + ("\n" + separator + line)
                current_line += 1
        return output

    def __repr__(self):
        header = "plugins (" + str(self.__class__) + " at " + str(hex(id(self))) + ") "
        return self.print_tree(data=self._plugins, output=header)


def _undo(created):
    # Remove, newest first, the nodes a failed registration created, as long
    # as each is still the empty dict it put there.
    for parent, key, fresh in reversed(created):
        try:
            if _has_key(parent, key) and parent[key] is fresh and not fresh:
                del parent[key]
        except Exception:
            pass
