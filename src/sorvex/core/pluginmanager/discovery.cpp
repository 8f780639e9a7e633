// Plugin discovery: importing the built-in plugin modules below
// sorvex.plugins, and loading the plugins that installed distributions
// advertise as entry points. Both only import; a plugin module registers its
// own classes when it runs.
#include "pluginmanager.hpp"

namespace sorvex {

namespace {

// `from sorvex.plugins import <first>, __name__`: both values, or NULL.
bool import_plugin_package(NativeMethod* method, const char* first, Ref& first_value, Ref& package_name) {
    Ref fromlist = Ref::steal(Py_BuildValue("(ss)", first, "__name__"));
    if (!fromlist) {
        return false;
    }
    Ref package =
        Ref::steal(PyImport_ImportModuleLevel("sorvex.plugins", method->globals, nullptr, fromlist.get(), 0));
    if (!package) {
        return false;
    }
    first_value = import_from(package.get(), first);
    if (!first_value) {
        return false;
    }
    package_name = import_from(package.get(), "__name__");
    return bool(package_name);
}

// The search path and dotted name of sorvex.plugins: its own __path__ object,
// or, when it has none, a list holding the directory of its __file__.
bool locate_plugin_package(NativeMethod* method, Ref& search_path, Ref& package_name) {
    if (import_plugin_package(method, "__path__", search_path, package_name)) {
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
        return false;
    }
    PendingError handled;

    Ref init_file;
    bool located = import_plugin_package(method, "__file__", init_file, package_name);
    if (located) {
        Ref os_module = lookup_global(method, S.g_os);
        Ref os_path = os_module ? Ref::steal(PyObject_GetAttr(os_module.get(), S.path)) : Ref();
        Ref dirname = os_path ? Ref::steal(PyObject_GetAttr(os_path.get(), S.dirname)) : Ref();
        Ref directory = dirname ? Ref::steal(PyObject_CallOneArg(dirname.get(), init_file.get())) : Ref();
        search_path = directory ? Ref::steal(PyList_New(1)) : Ref();
        if (search_path) {
            PyList_SET_ITEM(search_path.get(), 0, directory.release());
        }
        located = bool(search_path);
    }
    if (!located) {
        // Raised while the ImportError was being handled: chain it as context.
        PendingError raised;
        if (raised.value() != nullptr && handled.value() != nullptr && raised.value() != handled.value()) {
            PyException_SetContext(raised.value(), handled.release());
        }
        raised.restore();
    }
    return located;
}

// `finder, name, ispkg = item`: the name, or NULL with ValueError for an
// item of another length.
Ref unpack_module_name(PyObject* item) {
    Ref iterator = Ref::steal(PyObject_GetIter(item));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        }
        return {};
    }
    Ref values[3];
    for (int i = 0; i < 3; ++i) {
        values[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!values[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 3, got %d)", i);
            }
            return {};
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 3)");
        return {};
    }
    if (PyErr_Occurred()) {
        return {};
    }
    return std::move(values[1]);
}

// 1 when discovery imports the module of this name, 0 for test code, -1 on error.
int is_plugin_module(PyObject* name) {
    int contains = PySequence_Contains(name, S.dot_plugins_dot);
    if (contains <= 0) {
        return contains;
    }
    contains = PySequence_Contains(name, S.dot_tests_dot);
    if (contains != 0) {
        return contains < 0 ? -1 : 0;
    }
    Ref ends = Ref::steal(PyObject_CallMethodOneArg(name, S.endswith, S.tests));
    if (!ends) {
        return -1;
    }
    const int truth = PyObject_IsTrue(ends.get());
    return truth < 0 ? -1 : !truth;
}

PyObject* discover_builtin_plugins_impl(NativeMethod* method, PyObject* const* /*args*/) {
    Ref search_path;
    Ref package_name;
    if (!locate_plugin_package(method, search_path, package_name)) {
        return nullptr;
    }
    Ref pkgutil = lookup_global(method, S.g_pkgutil);
    Ref walk_packages = pkgutil ? Ref::steal(PyObject_GetAttr(pkgutil.get(), S.walk_packages)) : Ref();
    if (!walk_packages) {
        return nullptr;
    }
    Ref prefix = Ref::steal(PyNumber_Add(package_name.get(), S.dot));
    if (!prefix) {
        return nullptr;
    }
    PyObject* walk_args[] = {search_path.get(), prefix.get()};
    Ref walk = Ref::steal(PyObject_Vectorcall(walk_packages.get(), walk_args, 2, nullptr));
    Ref iterator = walk ? Ref::steal(PyObject_GetIter(walk.get())) : Ref();
    if (!iterator) {
        return nullptr;
    }
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref name = unpack_module_name(item.get());
        if (!name) {
            return nullptr;
        }
        const int wanted = is_plugin_module(name.get());
        if (wanted < 0) {
            return nullptr;
        }
        if (!wanted) {
            continue;
        }
        Ref importlib = lookup_global(method, S.g_importlib);
        Ref import_module = importlib ? Ref::steal(PyObject_GetAttr(importlib.get(), S.import_module)) : Ref();
        Ref module = import_module ? Ref::steal(PyObject_CallOneArg(import_module.get(), name.get())) : Ref();
        if (!module) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* discover_external_plugins_impl(NativeMethod* method, PyObject* const* /*args*/) {
    Ref iter_entry_points = lookup_global(method, S.g_iter_entry_points);
    if (!iter_entry_points) {
        return nullptr;
    }
    Ref group = lookup_global(method, S.g_ENTRYPOINT_GROUP);
    if (!group) {
        return nullptr;
    }
    PyObject* call_args[] = {group.get()};
    Ref entry_points = Ref::steal(PyObject_Vectorcall(iter_entry_points.get(), call_args, 0, S.kw_group));
    Ref iterator = entry_points ? Ref::steal(PyObject_GetIter(entry_points.get())) : Ref();
    if (!iterator) {
        return nullptr;
    }
    while (Ref plugin = Ref::steal(PyIter_Next(iterator.get()))) {
        // The record is written before loading, so that a failing load is
        // named by the last message.
        Ref log = lookup_global(method, S.g_log);
        Ref debug = log ? Ref::steal(PyObject_GetAttr(log.get(), S.debug)) : Ref();
        if (!debug) {
            return nullptr;
        }
        TextBuilder message("Loading external plugin ");
        {
            Ref name = Ref::steal(PyObject_GetAttr(plugin.get(), S.name));
            if (!name) {
                return nullptr;
            }
            message.add_str(name.get()).text(" from ");
            if (message.failed()) {
                return nullptr;
            }
        }
        Ref module_name = Ref::steal(PyObject_GetAttr(plugin.get(), S.module_name));
        if (!module_name) {
            return nullptr;
        }
        Ref text = message.add_str(module_name.get()).finish();
        if (!text) {
            return nullptr;
        }
        Ref logged = Ref::steal(PyObject_CallOneArg(debug.get(), text.get()));
        if (!logged) {
            return nullptr;
        }
        Ref loaded = Ref::steal(PyObject_CallMethodNoArgs(plugin.get(), S.load));
        if (!loaded) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

MethodSpec spec_discover_builtin_plugins = {
    "discover_builtin_plugins", "loads all plugins", "()", 0, 0, {}, {}, discover_builtin_plugins_impl, true, {},
};

MethodSpec spec_discover_external_plugins = {
    "discover_external_plugins",
    "\n        discover external plugins defined that users pip installed.\n        ",
    "()",
    0,
    0,
    {},
    {},
    discover_external_plugins_impl,
    true,
    {},
};

}  // namespace sorvex
