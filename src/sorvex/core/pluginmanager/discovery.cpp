// discovery.cpp: importing the built-in plugin modules below sorvex.plugins,
// and loading the plugins that installed distributions advertise as entry
// points. Both only import; a plugin module registers its own classes when it
// runs.
#include "state.hpp"

namespace sorvex {

namespace {

// The statements of discovery that the interpreter words best itself: its
// from-imports (whose ImportError names the module's location as each version
// does) and its unpacking; and the test of a module's name, which discovery
// imports only when it names plugin code, not test code.
const char kHelpers[] =
    "def plugin_package_path():\n"
    "    from sorvex.plugins import __path__, __name__\n"
    "    return __path__, __name__\n"
    "def plugin_package_file():\n"
    "    from sorvex.plugins import __file__, __name__\n"
    "    return __file__, __name__\n"
    "def plugin_module_name(item):\n"
    "    finder, name, ispkg = item\n"
    "    if \".plugins.\" in name and \".tests.\" not in name and not name.endswith(\"tests\"):\n"
    "        return name\n";

// One of the plugin_package_* helpers: its two values, or false.
bool import_plugin_package(PyObject* helper, Ref& first_value, Ref& package_name) {
    Ref pair = Ref::from_new(PyObject_CallObject(helper, nullptr));
    if (!pair) {
        return false;
    }
    first_value = Ref::from_borrowed(PyTuple_GET_ITEM(pair.get(), 0));
    package_name = Ref::from_borrowed(PyTuple_GET_ITEM(pair.get(), 1));
    return true;
}

// The search path and dotted name of sorvex.plugins: its own __path__ object,
// or, when it has none, a list holding the directory of its __file__.
bool locate_plugin_package(const Context& context, Ref& search_path, Ref& package_name) {
    const Names& names = context.state.names;
    if (!init_discovery(context.state, context.globals)) {
        return false;
    }
    const Discovery& helpers = context.state.discovery;
    if (import_plugin_package(helpers.package_path, search_path, package_name)) {
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
        return false;
    }
    PendingError handled;
    Ref init_file;
    bool located = import_plugin_package(helpers.package_file, init_file, package_name);
    if (located) {
        // [os.path.dirname(sorvex_init)]
        Ref os_module = lookup_global(context.globals, names.os);
        Ref os_path = os_module ? Ref::from_new(PyObject_GetAttr(os_module.get(), names.path)) : Ref();
        Ref dirname = os_path ? Ref::from_new(PyObject_GetAttr(os_path.get(), names.dirname)) : Ref();
        Ref directory = dirname ? Ref::from_new(PyObject_CallFunctionObjArgs(dirname.get(), init_file.get(), nullptr)) : Ref();
        search_path = directory ? Ref::from_new(PyList_New(1)) : Ref();
        if (search_path) {
            PyList_SET_ITEM(search_path.get(), 0, directory.release());
        }
        located = bool(search_path);
    }
    if (!located) {
        handled.become_context_of_current();  // raised while the ImportError was handled
    }
    return located;
}

}  // namespace

bool init_discovery(ModuleState& state, PyObject* globals) {
    if (state.discovery.plugin_module_name != nullptr) {
        return true;
    }
    Ref helpers = define_functions(globals, kHelpers);
    if (!helpers) {
        return false;
    }
    PyObject** slots[] = {&state.discovery.package_path, &state.discovery.package_file,
                          &state.discovery.plugin_module_name};
    const char* defined[] = {"plugin_package_path", "plugin_package_file", "plugin_module_name"};
    for (size_t i = 0; i < sizeof(slots) / sizeof(slots[0]); ++i) {
        PyObject* function = PyDict_GetItemString(helpers.get(), defined[i]);
        if (function == nullptr) {
            PyErr_SetString(PyExc_SystemError, "a discovery helper was not defined");
            return false;
        }
        // Defining them may have run a finalizer that ran discovery, which
        // made them first: those stay.
        if (*slots[i] == nullptr) {
            *slots[i] = Py_NewRef(function);
        }
    }
    return true;
}

void clear_discovery(ModuleState& state) {
    Py_CLEAR(state.discovery.package_path);
    Py_CLEAR(state.discovery.package_file);
    Py_CLEAR(state.discovery.plugin_module_name);
}

PyObject* discover_builtin_plugins_impl(const Context& context, PyObject* const* /*args*/) {
    const Names& names = context.state.names;
    PyObject* const globals = context.globals;
    Ref search_path;
    Ref package_name;
    if (!locate_plugin_package(context, search_path, package_name)) {
        return nullptr;
    }
    // pkgutil.walk_packages(plugins_path, sorvex_name + ".")
    Ref pkgutil = lookup_global(globals, names.pkgutil);
    Ref walk_packages = pkgutil ? Ref::from_new(PyObject_GetAttr(pkgutil.get(), names.walk_packages)) : Ref();
    Ref prefix = walk_packages ? Ref::from_new(PyNumber_Add(package_name.get(), names.dot)) : Ref();
    if (!prefix) {
        return nullptr;
    }
    PyObject* walk_args[] = {search_path.get(), prefix.get()};
    Ref walk = Ref::from_new(compat::vectorcall(walk_packages.get(), walk_args, 2, nullptr));
    Ref iterator = walk ? Ref::from_new(PyObject_GetIter(walk.get())) : Ref();
    if (!iterator) {
        return nullptr;
    }
    while (Ref item = Ref::from_new(PyIter_Next(iterator.get()))) {
        Ref name = Ref::from_new(PyObject_CallFunctionObjArgs(context.state.discovery.plugin_module_name, item.get(), nullptr));
        if (!name) {
            return nullptr;
        }
        if (name.get() == Py_None) {
            continue;
        }
        // importlib.import_module(name)
        Ref importlib = lookup_global(globals, names.importlib);
        Ref import_module = importlib ? Ref::from_new(PyObject_GetAttr(importlib.get(), names.import_module)) : Ref();
        Ref module = import_module ? Ref::from_new(PyObject_CallFunctionObjArgs(import_module.get(), name.get(), nullptr)) : Ref();
        if (!module) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* discover_external_plugins_impl(const Context& context, PyObject* const* /*args*/) {
    const Names& names = context.state.names;
    PyObject* const globals = context.globals;
    // for plugin in iter_entry_points(group=ENTRYPOINT_GROUP)
    Ref iter_entry_points = lookup_global(globals, names.iter_entry_points);
    Ref group = iter_entry_points ? lookup_global(globals, names.ENTRYPOINT_GROUP) : Ref();
    if (!group) {
        return nullptr;
    }
    PyObject* query[] = {group.get()};
    Ref entry_points = Ref::from_new(compat::vectorcall(iter_entry_points.get(), query, 0, context.state.keywords.entry_point_query));
    Ref iterator = entry_points ? Ref::from_new(PyObject_GetIter(entry_points.get())) : Ref();
    if (!iterator) {
        return nullptr;
    }
    while (Ref plugin = Ref::from_new(PyIter_Next(iterator.get()))) {
        // log.debug("Loading external plugin " + str(plugin.name) + " from " + str(plugin.module_name)),
        // written before loading, so that a failing load is named by the last message
        Ref log = lookup_global(globals, names.log);
        Ref debug = log ? Ref::from_new(PyObject_GetAttr(log.get(), names.debug)) : Ref();
        if (!debug) {
            return nullptr;
        }
        TextBuilder message("Loading external plugin ");
        Ref name = Ref::from_new(PyObject_GetAttr(plugin.get(), names.name));
        if (!name || message.add_str(name.get()).ascii(" from ").failed()) {
            return nullptr;
        }
        Ref module_name = Ref::from_new(PyObject_GetAttr(plugin.get(), names.module_name));
        Ref text = module_name ? message.add_str(module_name.get()).finish() : Ref();
        if (!text || !Ref::from_new(PyObject_CallFunctionObjArgs(debug.get(), text.get(), nullptr))) {
            return nullptr;
        }
        // plugin.load()
        if (!Ref::from_new(PyObject_CallMethodObjArgs(plugin.get(), names.load, nullptr))) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace sorvex
