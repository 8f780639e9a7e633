// method.hpp: the members of PluginManager (one table, in definition order)
// and NativeMethod, the small callable type that carries each of them: a
// method descriptor with vectorcall, so that a call through an instance makes
// no bound method, and with a text signature, so that inspect.signature()
// reports the real parameters. Its __get__ binds like a plain function's, and
// each method keeps the module namespace, where it looks module-level names up
// when it uses them.
#pragma once

#include "support.hpp"

namespace sorvex {

// The members, in definition order.
enum class Member : int {
    init,
    plugins_getter,
    plugins_setter,
    validate_model,
    validate_series,
    validate_os,
    validate_chassis_type,
    validate_arguments,
    get_plugin,
    unregister_plugin,
    register_plugin,
    discover_builtin_plugins,
    discover_external_plugins,
    print_tree,
    repr,
};
constexpr int kMemberCount = static_cast<int>(Member::repr) + 1;
constexpr int kMaxParams = 6;

// A member's implementation: `globals` is the namespace of the module its
// method belongs to; `args` holds the bound arguments in parameter order
// (self first for instance methods), defaults filled in.
using Impl = PyObject* (*)(PyObject* globals, PyObject* const* args);

enum class Kind : unsigned char { method, property_getter, property_setter, static_method };

struct Parameter {
    enum Default : unsigned char { required, none, text };
    const char* name;
    Default default_kind;
    const char* default_text;  // for Default::text
};

constexpr Parameter required(const char* name) { return {name, Parameter::required, nullptr}; }
constexpr Parameter defaults_to_none(const char* name) { return {name, Parameter::none, nullptr}; }
constexpr Parameter defaults_to(const char* name, const char* text) { return {name, Parameter::text, text}; }

struct MemberSpec {
    Member member;
    const char* name;
    Kind kind;
    const char* doc;  // exact docstring; nullptr for none
    Impl impl;
    int param_count;  // self included
    Parameter params[kMaxParams];
};

extern const MemberSpec kMembers[kMemberCount];

inline const MemberSpec& spec_of(Member member) { return kMembers[static_cast<int>(member)]; }

// The implementations, in their concern files.
PyObject* init_impl(PyObject* globals, PyObject* const* args);
PyObject* plugins_getter_impl(PyObject* globals, PyObject* const* args);
PyObject* plugins_setter_impl(PyObject* globals, PyObject* const* args);
PyObject* validate_model_impl(PyObject* globals, PyObject* const* args);
PyObject* validate_series_impl(PyObject* globals, PyObject* const* args);
PyObject* validate_os_impl(PyObject* globals, PyObject* const* args);
PyObject* validate_chassis_type_impl(PyObject* globals, PyObject* const* args);
PyObject* validate_arguments_impl(PyObject* globals, PyObject* const* args);
PyObject* get_plugin_impl(PyObject* globals, PyObject* const* args);
PyObject* unregister_plugin_impl(PyObject* globals, PyObject* const* args);
PyObject* register_plugin_impl(PyObject* globals, PyObject* const* args);
PyObject* discover_builtin_plugins_impl(PyObject* globals, PyObject* const* args);
PyObject* discover_external_plugins_impl(PyObject* globals, PyObject* const* args);
PyObject* print_tree_impl(PyObject* globals, PyObject* const* args);
PyObject* repr_impl(PyObject* globals, PyObject* const* args);

// ---------------------------------------------------------------------------
struct NativeMethod {
    PyObject_HEAD
    compat::VectorcallFunction vectorcall;
    const MemberSpec* spec;
    PyObject* globals;  // the module's namespace
    PyObject* module;   // the module's __name__ when the class was made
    PyObject* weakrefs;
};

extern PyTypeObject NativeMethodType;

// Readies the type and the per-member parameter tables, once.
bool init_methods();

// A new method for a member, belonging to the module whose namespace is
// `globals`.
Ref make_method(Member member, PyObject* globals, PyObject* module_name);

// The method, if `object` is one of ours (borrowed), else NULL.
inline NativeMethod* as_native_method(PyObject* object) {
    return Py_TYPE(object) == &NativeMethodType ? reinterpret_cast<NativeMethod*>(object) : nullptr;
}

}  // namespace sorvex
