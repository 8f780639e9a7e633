// Internal header of the sorvex.core.pluginmanager extension module.
//
// The module defines one ordinary Python class, PluginManager. Its methods are
// instances of a small callable type of ours (NativeMethod): a method
// descriptor with vectorcall, so that calls through an instance allocate no
// bound method, and with a text signature, so that inspect.signature() reports
// the real parameters. Every method keeps a reference to the module's
// namespace and looks module-level names (log, getfile, ...) up there when it
// uses them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <utility>

#if PY_VERSION_HEX < 0x030A0000
static inline PyObject* Py_NewRef(PyObject* object) {
    Py_INCREF(object);
    return object;
}
#endif

namespace sorvex {

// ---------------------------------------------------------------------------
// Owned reference: a move-only holder of one strong reference.
class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (may be NULL).
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Adds a reference to a borrowed one (may be NULL).
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = object_;
            object_ = other.object_;
            other.object_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Gives the reference away (to a function that steals it, or as a result).
    PyObject* release() noexcept {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// ---------------------------------------------------------------------------
// The exception being raised, taken out so that other work can run, then put
// back or dropped.
class PendingError {
public:
    PendingError() {
#if PY_VERSION_HEX >= 0x030C0000
        value_ = PyErr_GetRaisedException();
#else
        PyObject *type = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &value_, &traceback);
        PyErr_NormalizeException(&type, &value_, &traceback);
        if (value_ != nullptr && traceback != nullptr) {
            PyException_SetTraceback(value_, traceback);
        }
        Py_XDECREF(type);
        Py_XDECREF(traceback);
#endif
    }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
    ~PendingError() { Py_XDECREF(value_); }

    // The exception instance (borrowed), or NULL if none was being raised.
    PyObject* value() const { return value_; }

    // Raises it again.
    void restore() {
        if (value_ == nullptr) {
            return;
        }
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(value_);
#else
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value_));
        Py_INCREF(type);
        PyErr_Restore(type, value_, PyException_GetTraceback(value_));
#endif
        value_ = nullptr;
    }

    // Gives the exception away (a new reference).
    PyObject* release() {
        PyObject* value = value_;
        value_ = nullptr;
        return value;
    }

private:
    PyObject* value_ = nullptr;
};

// A type's own attribute dict.
inline Ref type_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyType_GetDict(type));
#else
    return Ref::borrow(type->tp_dict);
#endif
}

// Whether every key of a dict is an exact str: looking a str up in it then
// runs no __eq__ of a colliding key, and its keys sort without user code.
// Reads the dict only; runs nothing.
inline bool has_only_str_keys(PyObject* dict) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Fast forms of common operations, exact for the types they shortcut.

// Whether the length and characters of an exact str can be read directly:
// always, except for a string made by the legacy API before 3.12.
inline bool is_ready(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_IS_READY(text);
#else
    (void)text;
    return true;
#endif
}

// PyObject_IsTrue, without a call for exact str and None.
inline int is_true(PyObject* value) {
    if (PyUnicode_CheckExact(value) && is_ready(value)) {
        return PyUnicode_GET_LENGTH(value) != 0;
    }
    if (value == Py_None) {
        return 0;
    }
    return PyObject_IsTrue(value);
}

// Whether a str (or str subclass) holds the same text as an exact str.
inline bool same_text(PyObject* text, PyObject* exact) {
    if (text == exact) {
        return true;
    }
    if (PyUnicode_CheckExact(text) && is_ready(text)) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        return length == PyUnicode_GET_LENGTH(exact) && PyUnicode_KIND(text) == PyUnicode_KIND(exact) &&
               std::memcmp(PyUnicode_DATA(text), PyUnicode_DATA(exact),
                           static_cast<size_t>(length) * PyUnicode_KIND(text)) == 0;
    }
    return PyUnicode_Compare(text, exact) == 0;
}

// ---------------------------------------------------------------------------
// Interned strings and constant tuples, made once for the process. They are
// our own constants, never module-level names.
struct Strings {
    // parameter and attribute names
    PyObject *os, *series, *model, *chassis_type, *cls, *data, *output, *group;
    PyObject *_plugins, *supported_os, *chassis_type_list, *keys, *debug, *islower, *isdigit;
    PyObject *endswith, *split, *load, *name, *module_name, *path, *walk_packages, *import_module, *dirname;
    PyObject *register_plugin, *print_tree, *__class__, *__name__;
    // the checks, reached through the instance
    PyObject *validate_model, *validate_series, *validate_os, *validate_chassis_type, *validate_arguments;
    // module-level names
    PyObject *g_os, *g_pkgutil, *g_importlib, *g_log, *g_supported_chassis, *g_supported_os;
    PyObject *g_getfile, *g_ConnectionInfraError, *g_iter_entry_points, *g_ENTRYPOINT_GROUP;
    // literals
    PyObject *single_rp, *linux, *mocked, *data_key, *empty, *slash, *newline, *dot;
    PyObject *label_prefix, *equals, *bar_prefix, *blank_prefix, *newline_bar;
    PyObject *dot_plugins_dot, *dot_tests_dot, *tests;
    PyObject *not_found_open, *not_found_type, *blank;  // the lookup-miss message
    // keyword-name tuples for calls made by keyword
    PyObject *kw_model_check, *kw_series_check, *kw_os, *kw_chassis_type, *kw_print_tree, *kw_group;
    PyObject *kw_demo_register;
};
extern Strings S;
bool init_strings();

// ---------------------------------------------------------------------------
// The method type.
struct NativeMethod;
using Impl = PyObject* (*)(NativeMethod* method, PyObject* const* args);
constexpr int kMaxParams = 6;

struct MethodSpec {
    const char* name;
    const char* doc;             // exact docstring; nullptr for none
    const char* text_signature;  // what inspect.signature() reports
    int param_count;             // including self
    int required_count;          // leading parameters without a default
    const char* param_names[kMaxParams];
    const char* default_texts[kMaxParams];  // for optional parameters: nullptr means None
    Impl impl;
    bool is_static;
    PyObject* params[kMaxParams];  // interned param_names, filled in at start-up
};

struct NativeMethod {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodSpec* spec;
    PyObject* globals;   // the module's namespace
    PyObject* name;
    PyObject* qualname;
    PyObject* module;    // the module's __name__ when the class was made
    PyObject* defaults;  // tuple, one entry per parameter (None for required ones)
    // The keyword names of the last call and the parameter each one binds:
    // callers pass the same constant tuple call after call.
    PyObject* last_kwnames;
    signed char last_kwmap[kMaxParams];
    PyObject* weakrefs;
};

extern PyTypeObject NativeMethodType;

// Specs of the members, one per concern file.
extern MethodSpec spec_init, spec_plugins_get, spec_plugins_set;
extern MethodSpec spec_validate_model, spec_validate_series, spec_validate_os;
extern MethodSpec spec_validate_chassis_type, spec_validate_arguments;
extern MethodSpec spec_get_plugin, spec_unregister_plugin, spec_register_plugin;
extern MethodSpec spec_discover_builtin_plugins, spec_discover_external_plugins;
extern MethodSpec spec_print_tree, spec_repr;
// Interns the parameter names of every spec.
bool init_param_tables();

// ---------------------------------------------------------------------------
// Helpers shared by the concern files (module.cpp).

// Looks a module-level name up at the moment of use: the module namespace,
// then the built-ins; NameError when neither has it.
Ref lookup_global(NativeMethod* method, PyObject* name);

// Raises ConnectionInfraError(message), looked up when it is used. Steals
// nothing; always returns nullptr so that callers can `return raise_infra(...)`.
std::nullptr_t raise_infra(NativeMethod* method, PyObject* message);
std::nullptr_t raise_infra(NativeMethod* method, const char* message);

// Builds text left to right the way `"a" + str(b) + "c"` does in Python: the
// generic + is used, so a str subclass's own __add__/__radd__ is honoured.
// After a failure every further step is skipped and finish() returns NULL.
class TextBuilder {
public:
    explicit TextBuilder(const char* start);
    explicit TextBuilder(PyObject* start);
    TextBuilder& text(const char* piece);
    TextBuilder& text(PyObject* piece) { return add(piece); }
    TextBuilder& add(PyObject* piece);      // + piece
    TextBuilder& add_str(PyObject* value);  // + str(value)
    bool failed() const { return !text_; }
    Ref finish() { return std::move(text_); }

private:
    Ref text_;
};

// A new tuple of `count` objects.
Ref tuple_of(PyObject* const* items, Py_ssize_t count);

// `template % (value,)`.
Ref format_one(const char* template_text, PyObject* value);

// Calls `self.<name>(...)` the way Python does, honouring a subclass method
// or an instance attribute. When the attribute resolves to our own method
// with the given spec, `own` is set and nothing is called, so the caller can
// run the implementation directly.
struct Resolved {
    Ref callable;        // what to call when not our own
    bool unbound = false;  // callable is a method descriptor to call with self first
    NativeMethod* own = nullptr;  // our implementation, when not overridden (borrowed from callable)
};
bool resolve_method(PyObject* self, PyObject* name, const MethodSpec& spec, Resolved& out);
// Calls what resolve_method found. `stack[0]` is self, followed by `nargs`
// positional values and then the values of `kwnames`.
Ref call_resolved(const Resolved& resolved, PyObject* const* stack, size_t nargs, PyObject* kwnames);

// `from <module> import <name>`: the attribute, or ImportError as a
// from-import reports a missing name.
Ref import_from(PyObject* module, const char* name);

// `key in node.keys()`: exact dicts directly, anything else through keys().
int node_has_key(PyObject* node, PyObject* key);
// `node[key]`.
Ref node_get(PyObject* node, PyObject* key);

// A manager in the common shape: its class keeps our own checks (none
// overridden in the MRO), defines none of the state attributes, uses the
// generic attribute lookup, and its instance dict holds no override of a
// check. Then the checks can run directly on the state read from that dict.
// Everything is held by strong references: outside code may still run later
// in the call (a container's `in`, the logger, a finalizer).
struct ManagerView {
    Ref plugins;
    Ref supported_os;
    Ref chassis_type_list;
    Ref checks[4];  // our validate_model, validate_series, validate_os, validate_chassis_type
    NativeMethod* check(int index) const { return reinterpret_cast<NativeMethod*>(checks[index].get()); }
};
// 1 with `view` filled, 0 when self is not such a manager, -1 on error.
int view_plain_manager(PyObject* self, ManagerView& view);

// Validates a description exactly as `self.validate_arguments(os, series,
// model, chassis_type)` does (through_instance) or as validate_arguments' own
// body does (!through_instance). When `tree` is given and nothing outside this
// module ran, it receives self._plugins as read with the checks' state.
bool validate_description(PyObject* self, PyObject* os, PyObject* series, PyObject* model,
                          PyObject* chassis_type, bool through_instance, Ref* tree);

// The body of print_tree: the plain pass when it applies, else the general
// algorithm, recursing through the instance.
PyObject* print_tree_impl(NativeMethod* method, PyObject* const* args);

}  // namespace sorvex
