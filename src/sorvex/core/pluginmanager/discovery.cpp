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

// Calls discovery's Python function `name`, with `arg` if one is given. Their
// namespace is made when first needed, with the builtins of the module; a
// finalizer that ran discovery while it was made may have made it first, and
// that one stays.
Ref call_helper(const Context& context, const char* name, PyObject* arg = nullptr) {
    ModuleState& state = context.state;
    if (state.discovery == nullptr) {
        Ref made = define_functions(context.globals, kHelpers);
        if (!made) {
            return {};
        }
        if (state.discovery == nullptr) {
            state.discovery = made.release();
        }
    }
    Ref function = Ref::from_borrowed(PyDict_GetItemString(state.discovery, name));
    if (!function) {
        PyErr_Format(PyExc_SystemError, "discovery's %s is gone", name);
        return {};
    }
    return Ref::from_new(PyObject_CallFunctionObjArgs(function.get(), arg, nullptr));
}

// One of the plugin_package_* helpers: its two values, or false.
bool import_plugin_package(const Context& context, const char* helper, Ref& first_value, Ref& package_name) {
    Ref pair = call_helper(context, helper);
    if (pair && (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2)) {
        PyErr_Format(PyExc_SystemError, "discovery's %s did not return a pair", helper);
        return false;
    }
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
    if (import_plugin_package(context, "plugin_package_path", search_path, package_name)) {
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
        return false;
    }
    PendingError handled;
    Ref init_file;
    bool located = import_plugin_package(context, "plugin_package_file", init_file, package_name);
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
        Ref name = call_helper(context, "plugin_module_name", item.get());
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
