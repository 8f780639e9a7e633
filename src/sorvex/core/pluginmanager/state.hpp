// state.hpp: the state of one module object. Everything the module makes or
// caches lives here, so that every interpreter (and every fresh import of the
// module) has its own: the interned names, the method type and the members'
// runtime, and the per-class cache of the route decision with its witness
// type. The module keeps no process-wide objects. Process-wide data is
// constant (the member table, docstrings, character classes, the method
// type's getset table), with two exceptions that the platform imposes: the
// module definition and its slots, which the interpreter wants static and
// initialises in place once, and the stack bounds of rendering
// (render_general.cpp), which belong to a thread and are kept per thread.
//
// Nothing here dies before the module object: the methods hold their module,
// and the state is let go only when the module is freed (m_free), never by
// the garbage collector's clearing (m_clear), so a method called from a
// finalizer while its module's cycle is being collected still finds it whole.
#pragma once

#include "method.hpp"
#include "names.hpp"

namespace sorvex {

// What the route decision found for one class (dispatch.cpp). It is valid
// while the class is alive and unchanged: `type` holds a weak reference to
// it (so that the cache keeps no class alive), and `version` its version tag
// when it was examined, which the interpreter replaces with every change to
// the class or its bases and never gives to another class (while the tags
// still stand, compat.hpp).
struct ClassEntry {
    PyObject* type;         // weak reference
    PyTypeObject* address;  // what it referred to, compared before it is asked
    unsigned int version;
    bool common;            // keeps this module's own members
};

constexpr int kClassCacheSize = 8;

// Zeroed when the module object is made, filled by its execution.
struct ModuleState {
    Names names;
    Keywords keywords;
    MethodTable methods;
    PyObject* discovery;        // namespace of discovery's Python functions (discovery.cpp), once needed
    ClassEntry classes[kClassCacheSize];
    int next_class;
    PyTypeObject* tag_witness;  // tells when tags were taken back (compat.hpp)
    unsigned int witness_tag;   // its tag when the cache was last emptied; 0: none yet
};

// What a member runs with: the module its method belongs to.
struct Context {
    PyObject* globals;  // the module's namespace, where late-bound names are looked up
    ModuleState& state;
};

}  // namespace sorvex
