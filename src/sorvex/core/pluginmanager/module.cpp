// module.cpp: the module itself: its state's life (made by its execution,
// let go when the module object is freed); its body, which binds the imported
// names and ENTRYPOINT_GROUP, creates the PluginManager class from the member
// table and, run as the main program, registers a sample plugin.
#include "dispatch.hpp"

namespace sorvex {

namespace {

const char kModuleDoc[] =
    "\n"
    "Module:\n"
    "    sorvex.core.pluginmanager\n"
    "\n"
    "Description:\n"
    "    This module provides\n"
    "    1. Methods for identifying and loading plugin implementations\n"
    "    2. Methods for validating and accessing platform implementation\n";

const char kClassDoc[] =
    "\n        Loads all plugin implementation,\n        provides API's for accessing plugins\n    ";

// The module body's imports, in their order: Python statements, so that the
// interpreter imports, binds and reports failures exactly as for any module.
const char kImports[] =
    "import os\n"
    "import pkgutil\n"
    "import importlib\n"
    "from sorvex import log\n"
    "from sorvex.plugins import supported_chassis, supported_os\n"
    "from inspect import getfile\n"
    "from .errors import ConnectionInfraError\n"
    // The host package's own reader, whatever else is installed, so that
    // which plugins load, and in what order, never depends on an unrelated
    // package.
    "from sorvex._entry_points import iter_entry_points\n"
    "ENTRYPOINT_GROUP = \"sorvex.plugins\"\n";

// The end of the module body: run as the main program, it registers a sample
// plugin on the shared manager.
const char kMainProgram[] =
    "if __name__ == \"__main__\":\n"
    "    from sorvex import __plugin_manager__\n"
    "    class Sample:\n"
    "        __doc__ = \" Sample implementation\\n        \"\n"
    "    __plugin_manager__.register_plugin(os=\"talvo\", series=\"t3z\", cls=Sample)\n";

// The class: `type("PluginManager", (object,), namespace)`, the namespace
// filled from the member table in definition order.
Ref create_class(ModuleState& state, PyObject* module, PyObject* globals) {
    const Names& names = state.names;
    // class PluginManager: __module__ = __name__, looked up as the class
    // statement of a module body looks it up
    Ref module_name = lookup_global(globals, names.__name__);
    Ref namespace_dict = module_name ? Ref::from_new(PyDict_New()) : Ref();
    Ref doc = namespace_dict ? Ref::from_new(PyUnicode_FromString(kClassDoc)) : Ref();
    if (!doc || PyDict_SetItem(namespace_dict.get(), names.__module__, module_name.get()) < 0 ||
        PyDict_SetItem(namespace_dict.get(), names.__qualname__, names.PluginManager) < 0 ||
        PyDict_SetItem(namespace_dict.get(), names.__doc__, doc.get()) < 0) {
        return {};
    }
    for (const MemberSpec& spec : kMembers) {
        Ref method = make_method(state, spec.member, module, globals);
        if (!method) {
            return {};
        }
        Ref member;
        switch (spec.kind) {
            case Kind::method:
                member = std::move(method);
                break;
            case Kind::static_method:
                member = Ref::from_new(PyStaticMethod_New(method.get()));
                break;
            case Kind::property_getter:  // plugins = property(getter)
                member = Ref::from_new(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyProperty_Type), method.get(), nullptr));
                break;
            case Kind::property_setter: {  // plugins = plugins.setter(setter)
                Ref getter_property = Ref::from_borrowed(PyDict_GetItemString(namespace_dict.get(), spec.name));
                if (!getter_property) {
                    PyErr_SetString(PyExc_SystemError, "a property setter must follow its getter");
                    return {};
                }
                member = Ref::from_new(PyObject_CallMethodObjArgs(getter_property.get(), names.setter, method.get(), nullptr));
                break;
            }
        }
        if (!member || PyDict_SetItemString(namespace_dict.get(), spec.name, member.get()) < 0) {
            return {};
        }
    }
    return Ref::from_new(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "O(O)O", names.PluginManager,
                                               reinterpret_cast<PyObject*>(&PyBaseObject_Type), namespace_dict.get()));
}

ModuleState& state_of(PyObject* module) { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

int module_exec(PyObject* module) {
    ModuleState& state = state_of(module);
    if (!init_names(state.names, state.keywords) || !init_methods(state.methods)) {
        return -1;
    }
    state.tag_witness = compat::new_tag_witness();
    if (state.tag_witness == nullptr) {
        return -1;
    }
    PyObject* globals = PyModule_GetDict(module);
    if (globals == nullptr || !run_statements(globals, kImports)) {
        return -1;
    }
    Ref plugin_manager = create_class(state, module, globals);
    if (!plugin_manager || PyDict_SetItem(globals, state.names.PluginManager, plugin_manager.get()) < 0) {
        return -1;
    }
    return run_statements(globals, kMainProgram) ? 0 : -1;
}

// The state holds strings, tuples, two types that refer to no module, weak
// references, and Python functions of the module's own with their namespace.
// Only the method type is visited. The functions and the witness type are
// not: were they, the collector would clear them with a module that dies in
// a cycle, while a method of that module, called by a finalizer during the
// collection, may still use them. (A cycle through a `__builtins__` that the
// user made refer to the module therefore leaks rather than breaks.) The
// state is let go with the module.
int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* state = static_cast<ModuleState*>(PyModule_GetState(module));
    return state != nullptr ? traverse_methods(state->methods, visit, arg) : 0;
}

void module_free(void* module) {
    ModuleState* state = static_cast<ModuleState*>(PyModule_GetState(static_cast<PyObject*>(module)));
    if (state != nullptr) {
        clear_class_cache(*state);
        Py_CLEAR(state->tag_witness);
        clear_methods(state->methods);
        Py_CLEAR(state->discovery);
        clear_names(state->names, state->keywords);
    }
}

// Running without the GIL, which the module says it needs (compat.hpp) until
// a free-threaded interpreter can test it, would take: critical sections (or
// strong references taken inside them) where dispatch.cpp reads instance and
// class dicts with PyDict_Next, where validation.cpp reads a state list in
// place, and where render_plain.cpp reads a plain tree through borrowed
// references; and a lock, or atomic replacement, for the entries of the class
// cache. Lookups already hold strong references, each change to the tree is
// one dict operation, the names, method type and runtime never change after
// the module's execution, and the render stack bounds are per thread.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    SORVEX_EXTRA_MODULE_SLOTS
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "pluginmanager", kModuleDoc, sizeof(ModuleState), nullptr, module_slots,
    module_traverse,       nullptr,         module_free,
};

}  // namespace
}  // namespace sorvex

SORVEX_MODULE_INIT PyInit_pluginmanager() { return PyModuleDef_Init(&sorvex::module_def); }
