// method.hpp: the members of PluginManager (one table, in definition order)
// and NativeMethod, the small callable type that carries each of them: a
// method descriptor with vectorcall, so that a call through an instance makes
// no bound method, and with a text signature, so that inspect.signature()
// reports the real parameters. Its __get__ binds like a plain function's, and
// each method belongs to one module object: it holds that module, whose state
// it runs with, and its namespace, where it looks module-level names up when
// it uses them. The type is made from a spec for each module.
#pragma once

#include "support.hpp"

namespace sorvex {

// The members, in definition order; each is implemented by <name>_impl.
#define SORVEX_MEMBERS(X)                                                                           \
    X(init) X(plugins_getter) X(plugins_setter) X(validate_model) X(validate_series) X(validate_os) \
    X(validate_chassis_type) X(validate_arguments) X(get_plugin) X(unregister_plugin)               \
    X(register_plugin) X(discover_builtin_plugins) X(discover_external_plugins) X(print_tree) X(repr)

enum class Member : int {
#define SORVEX_MEMBER_ENUMERATOR(name) name,
    SORVEX_MEMBERS(SORVEX_MEMBER_ENUMERATOR)
#undef SORVEX_MEMBER_ENUMERATOR
};
constexpr int kMemberCount = static_cast<int>(Member::repr) + 1;
constexpr int kMaxParams = 6;

struct Context;  // state.hpp

// A member's implementation: `context` is the module its method belongs to;
// `args` holds the bound arguments in parameter order (self first for
// instance methods), defaults filled in.
using Impl = PyObject* (*)(const Context& context, PyObject* const* args);

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
#define SORVEX_IMPL_DECLARATION(name) PyObject* name##_impl(const Context& context, PyObject* const* args);
SORVEX_MEMBERS(SORVEX_IMPL_DECLARATION)
#undef SORVEX_IMPL_DECLARATION

// ---------------------------------------------------------------------------
// What binding needs of a member, made for each module from its spec.
struct MemberRuntime {
    PyObject* params[kMaxParams];  // interned parameter names
    PyObject* defaults;            // tuple: a value per parameter (None for required ones)
    PyObject* name;
    PyObject* qualname;
    PyObject* text_signature;      // "(self, os=None, ...)"
    PyObject* signature;           // a Python function with that signature, for argument errors (made when first needed)
    int required_count;
};

// A module's method type and the runtime of every member.
struct MethodTable {
    PyTypeObject* type;
    MemberRuntime members[kMemberCount];
};

struct ModuleState;  // state.hpp

struct NativeMethod {
    PyObject_HEAD
    compat::VectorcallFunction vectorcall;
    const MemberSpec* spec;
    ModuleState* state;  // the state of `module`, alive while the method holds it
    PyObject* module;
    PyObject* globals;   // the module's namespace
    PyObject* weakrefs;
};

// Makes the method type and the members' runtime; false with the error set
// (what was made stays, for clear_methods).
bool init_methods(MethodTable& table);

// Lets them go.
void clear_methods(MethodTable& table);

// Visits what the table holds, for the garbage collector.
int traverse_methods(const MethodTable& table, visitproc visit, void* arg);

// A new method for a member, belonging to `module` (whose state is `state`
// and namespace `globals`).
Ref make_method(ModuleState& state, Member member, PyObject* module, PyObject* globals);

// The method, if `object` is one of the table's type (borrowed), else NULL.
inline NativeMethod* as_native_method(const MethodTable& table, PyObject* object) {
    return Py_TYPE(object) == table.type ? reinterpret_cast<NativeMethod*>(object) : nullptr;
}

}  // namespace sorvex
