// dispatch.cpp: override detection (the per-type cache and the instance dict
// scan) and the two ways of reaching a member or a state attribute.
#include "dispatch.hpp"

#include "names.hpp"

#include <algorithm>
#include <iterator>


namespace sorvex {

namespace {

// The members that the module's own code reaches through the instance.
constexpr Member kDispatched[] = {Member::validate_arguments, Member::validate_model, Member::validate_series,
                                  Member::validate_os, Member::validate_chassis_type, Member::print_tree};

PyObject* state_name(State which) {
    switch (which) {
        case State::plugins:
            return names._plugins;
        case State::supported_os:
            return names.supported_os;
        case State::chassis_type_list:
            break;
    }
    return names.chassis_type_list;
}

#ifndef SORVEX_GENERAL_ONLY

// ---------------------------------------------------------------------------
// Classes: whether a class keeps the module's own members (precondition 2).

struct TypeEntry {
    PyTypeObject* type = nullptr;  // compared, never dereferenced
    unsigned int version = 0;
    PyObject* globals = nullptr;   // of the methods found; compared only
    bool common = false;
};

constexpr int kTypeCacheSize = 8;
TypeEntry type_cache[kTypeCacheSize];
int type_cache_next = 0;

// What the class attribute `name` is along an MRO of types whose dicts have
// only str keys (borrowed, NULL when absent). Runs no code.
PyObject* find_in_mro(PyObject* mro, PyObject* name) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        Ref dict = Ref::from_new(compat::type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        PyObject* value = dict ? PyDict_GetItemWithError(dict.get(), name) : nullptr;
        if (value != nullptr) {
            return value;
        }
    }
    return nullptr;
}

bool mro_has_plain_dicts(PyObject* mro) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base)) {
            return false;
        }
        Ref dict = Ref::from_new(compat::type_dict(reinterpret_cast<PyTypeObject*>(base)));
        if (!dict || !PyDict_CheckExact(dict.get()) || !has_only_str_keys(dict.get())) {
            return false;
        }
    }
    return true;
}

// The namespace of the module whose own methods the class keeps for every
// dispatched member, or NULL.
PyObject* own_members_globals(PyTypeObject* type) {
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_dictoffset == 0) {
        return nullptr;
    }
    // Held while it is read, and checked first, so that the lookups below run
    // no code that could replace it.
    Ref mro = Ref::from_borrowed(type->tp_mro);
    if (!mro || !PyTuple_Check(mro.get()) || !mro_has_plain_dicts(mro.get())) {
        return nullptr;
    }
    PyObject* globals = nullptr;
    for (Member member : kDispatched) {
        PyObject* found = find_in_mro(mro.get(), member_name(member));
        NativeMethod* method = found != nullptr ? as_native_method(found) : nullptr;
        if (method == nullptr || method->spec->member != member || method->globals == nullptr ||
            (globals != nullptr && method->globals != globals)) {
            return nullptr;
        }
        globals = method->globals;
    }
    for (int i = 0; i < kStateCount; ++i) {
        if (find_in_mro(mro.get(), state_name(static_cast<State>(i))) != nullptr) {
            return nullptr;
        }
    }
    return globals;
}

bool keeps_own_members(PyTypeObject* type, PyObject* globals) {
    const unsigned int version = compat::type_version(type);
    if (version == 0) {
        return false;
    }
    for (const TypeEntry& entry : type_cache) {
        if (entry.type == type && entry.version == version) {
            return entry.common && entry.globals == globals;
        }
    }
    TypeEntry fresh;
    fresh.type = type;
    fresh.version = version;
    fresh.globals = own_members_globals(type);
    fresh.common = fresh.globals != nullptr;
    PyErr_Clear();  // a failed type_dict() only means "not common"
    type_cache[type_cache_next] = fresh;
    type_cache_next = (type_cache_next + 1) % kTypeCacheSize;
    return fresh.common && fresh.globals == globals;
}

// ---------------------------------------------------------------------------
// Instances (precondition 3): the state attributes, borrowed from the dict.

// Whether an instance dict key that is not one of the state names (checked
// by identity first) names a state attribute or a dispatched member.
enum class KeyRole { other, state, dispatched };

KeyRole role_of(PyObject* key, int& state_index) {
    for (int i = 0; i < kStateCount; ++i) {
        if (same_text(key, state_name(static_cast<State>(i)))) {
            state_index = i;
            return KeyRole::state;
        }
    }
    for (Member member : kDispatched) {
        if (same_text(key, member_name(member))) {
            return KeyRole::dispatched;
        }
    }
    return KeyRole::other;
}

bool read_plain_state(PyObject* dict, PyObject** state) {
    if (!PyDict_CheckExact(dict)) {
        return false;
    }
    PyObject* const plugins = names._plugins;
    PyObject* const supported_os = names.supported_os;
    PyObject* const chassis_type_list = names.chassis_type_list;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // Counted down so that the last entry ends the scan without one more call.
    Py_ssize_t remaining = PyDict_GET_SIZE(dict);
    while (remaining-- > 0 && PyDict_Next(dict, &position, &key, &value)) {
        // Attribute names are interned: the usual keys match by identity.
        if (key == plugins) {
            state[static_cast<int>(State::plugins)] = value;
            continue;
        }
        if (key == supported_os) {
            state[static_cast<int>(State::supported_os)] = value;
            continue;
        }
        if (key == chassis_type_list) {
            state[static_cast<int>(State::chassis_type_list)] = value;
            continue;
        }
        if (!PyUnicode_CheckExact(key) || !compat::str_ready(key)) {
            PyErr_Clear();
            return false;
        }
        int index = 0;
        const KeyRole role = role_of(key, index);
        if (role == KeyRole::dispatched) {
            return false;
        }
        if (role == KeyRole::state) {
            state[index] = value;
        }
    }
    for (int i = 0; i < kStateCount; ++i) {
        if (state[i] == nullptr) {
            return false;
        }
    }
    return true;
}

// The state found by the last read_plain_state that succeeded, borrowed from
// the dict it read, which compat::dict_unchanged tells still holds it.
PyObject* remembered_state[kStateCount];

// The state of the instance whose dict is `dict`, when it is plain: the
// remembered one while the dict is unchanged, else read anew.
bool plain_state(PyObject* dict, PyObject** state) {
    if (compat::dict_unchanged(dict)) {
        std::copy(std::begin(remembered_state), std::end(remembered_state), state);
        return true;
    }
    if (!read_plain_state(dict, state)) {
        return false;
    }
    std::copy(state, state + kStateCount, remembered_state);
    compat::remember_dict(dict);
    return true;
}

#endif  // SORVEX_GENERAL_ONLY

}  // namespace

PyObject* member_name(Member member) {
    switch (member) {
        case Member::validate_arguments:
            return names.validate_arguments;
        case Member::validate_model:
            return names.validate_model;
        case Member::validate_series:
            return names.validate_series;
        case Member::validate_os:
            return names.validate_os;
        case Member::validate_chassis_type:
            return names.validate_chassis_type;
        case Member::print_tree:
            return names.print_tree;
        default:
            break;
    }
    return nullptr;
}

void Dispatch::decide() {
#ifndef SORVEX_GENERAL_ONLY
    PyTypeObject* type = Py_TYPE(self_);
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_dictoffset == 0 || globals_ == nullptr) {
        return;
    }
    // Made, if need be, before the class is looked at: making it may collect
    // garbage and run a finalizer that changes the class.
    Ref dict = Ref::from_new(PyObject_GenericGetDict(self_, nullptr));
    if (!dict) {
        ok_ = false;
        return;
    }
    if (!keeps_own_members(Py_TYPE(self_), globals_)) {
        return;
    }
    PyObject* state[kStateCount] = {};
    if (!plain_state(dict.get(), state)) {
        return;
    }
    for (int i = 0; i < kStateCount; ++i) {
        state_[i] = Ref::from_borrowed(state[i]);
    }
    quick_ = true;
#endif
}

bool init_dispatch() {
#ifndef SORVEX_GENERAL_ONLY
    compat::watch_dicts();
#endif
    return true;
}

void Dispatch::leave_quick_route() {
    if (quick_) {
        quick_ = false;
        for (Ref& held : state_) {
            held = Ref();
        }
    }
}

Ref Dispatch::state_through_instance(State which) {
    return Ref::from_new(PyObject_GetAttr(self_, state_name(which)));
}

bool Dispatch::resolve_through_instance(Member member, Ref& callable) {
    callable = Ref();
    Ref attribute = Ref::from_new(PyObject_GetAttr(self_, member_name(member)));
    if (!attribute) {
        return false;
    }
    if (PyMethod_Check(attribute.get()) && PyMethod_GET_SELF(attribute.get()) == self_) {
        NativeMethod* method = as_native_method(PyMethod_GET_FUNCTION(attribute.get()));
        if (method != nullptr && method->spec->member == member && method->globals == globals_) {
            return true;
        }
    }
    callable = std::move(attribute);
    return true;
}

}  // namespace sorvex
