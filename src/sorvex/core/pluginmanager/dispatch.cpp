// dispatch.cpp: override detection (the per-class cache and the instance dict
// scan) and the two ways of reaching a member or a state attribute.
#include "dispatch.hpp"

namespace sorvex {

namespace {

// The members that the module's own code reaches through the instance, and
// the names of the state attributes.
constexpr Member kDispatched[] = {Member::validate_arguments, Member::validate_model, Member::validate_series,
                                  Member::validate_os,        Member::validate_chassis_type, Member::print_tree};
constexpr PyObject* Names::*kStateNames[kStateCount] = {&Names::_plugins, &Names::supported_os,
                                                        &Names::chassis_type_list};

PyObject* state_name(const Names& names, State which) { return names.*kStateNames[static_cast<int>(which)]; }

// The member's name, interned: the attribute name it is reached by.
PyObject* member_name(const ModuleState& state, Member member) {
    return state.methods.members[static_cast<int>(member)].name;
}

#ifndef SORVEX_GENERAL_ONLY

// ---------------------------------------------------------------------------
// Classes: whether a class keeps the module's own members (precondition 2).

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

// Whether the class keeps this module's own method for every dispatched
// member and defines no state attribute. Runs no code.
bool keeps_own_members_uncached(const ModuleState& state, PyTypeObject* type) {
    // Held while it is read, and checked first, so that the lookups below
    // cannot meet anything but exact str keys.
    Ref mro = Ref::from_borrowed(type->tp_mro);
    if (!mro || !PyTuple_Check(mro.get()) || !mro_has_plain_dicts(mro.get())) {
        return false;
    }
    for (const Member member : kDispatched) {
        PyObject* found = find_in_mro(mro.get(), member_name(state, member));
        NativeMethod* method = found != nullptr ? as_native_method(state.methods, found) : nullptr;
        if (method == nullptr || method->spec->member != member || method->state != &state) {
            return false;
        }
    }
    for (int i = 0; i < kStateCount; ++i) {
        if (find_in_mro(mro.get(), state_name(state.names, static_cast<State>(i))) != nullptr) {
            return false;
        }
    }
    return true;
}

// The same, from the module's class cache. A class seen for the first time
// (or since it changed) is examined, and takes the place of the oldest entry.
bool keeps_own_members(ModuleState& state, PyTypeObject* type) {
    if (!compat::tags_still_stand(state.tag_witness, state.witness_tag)) {
        // Tagging the witness is a lookup, which code that tampered with it
        // could turn into anything: this call takes the general route.
        clear_class_cache(state);
        state.witness_tag = compat::tag_witness(state.tag_witness);
        return false;
    }
    unsigned int version = compat::type_version(type);
    if (version == 0) {
        return false;
    }
    PyObject* const object = reinterpret_cast<PyObject*>(type);
    for (const ClassEntry& entry : state.classes) {
        if (entry.address == type && entry.version == version && compat::refers_to(entry.type, object)) {
            return entry.common;
        }
    }
    // Made first: it may collect garbage, which may run code that changes
    // the class, or takes it from the instance (the class is held meanwhile).
    Ref held = Ref::from_borrowed(object);
    Ref weak = Ref::from_new(PyWeakref_NewRef(object, nullptr));
    if (!weak || !compat::tags_still_stand(state.tag_witness, state.witness_tag)) {
        PyErr_Clear();
        return false;
    }
    version = compat::type_version(type);
    const bool common = version != 0 && keeps_own_members_uncached(state, type);
    PyErr_Clear();  // a failed type_dict() only means "not common"
    ClassEntry& entry = state.classes[state.next_class];
    state.next_class = (state.next_class + 1) % kClassCacheSize;
    PyObject* old = entry.type;  // a weak reference without a callback: letting it go runs no code
    entry = ClassEntry{weak.release(), type, version, common};
    Py_XDECREF(old);
    return common;
}

// ---------------------------------------------------------------------------
// Instances (precondition 3): the state attributes, read from the dict.

// Whether an instance dict key that is not one of the state names (checked
// by identity first) names a state attribute or a dispatched member.
enum class KeyRole { other, state, dispatched };

KeyRole role_of(const ModuleState& state, PyObject* key, int& state_index) {
    for (int i = 0; i < kStateCount; ++i) {
        if (same_text(key, state_name(state.names, static_cast<State>(i)))) {
            state_index = i;
            return KeyRole::state;
        }
    }
    for (const Member member : kDispatched) {
        if (same_text(key, member_name(state, member))) {
            return KeyRole::dispatched;
        }
    }
    return KeyRole::other;
}

// The values of the state attributes in a plain instance dict (borrowed
// from it), or false. Runs no code.
bool read_plain_state(const ModuleState& state, PyObject* dict, PyObject** values) {
    if (!PyDict_CheckExact(dict)) {
        return false;
    }
    const Names& names = state.names;
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
            values[static_cast<int>(State::plugins)] = value;
            continue;
        }
        if (key == supported_os) {
            values[static_cast<int>(State::supported_os)] = value;
            continue;
        }
        if (key == chassis_type_list) {
            values[static_cast<int>(State::chassis_type_list)] = value;
            continue;
        }
        if (!PyUnicode_CheckExact(key) || !compat::str_ready(key)) {
            PyErr_Clear();
            return false;
        }
        int index = 0;
        const KeyRole role = role_of(state, key, index);
        if (role == KeyRole::dispatched) {
            return false;
        }
        if (role == KeyRole::state) {
            values[index] = value;
        }
    }
    for (int i = 0; i < kStateCount; ++i) {
        if (values[i] == nullptr) {
            return false;
        }
    }
    return true;
}

#endif  // SORVEX_GENERAL_ONLY

}  // namespace

void Dispatch::decide() {
#ifndef SORVEX_GENERAL_ONLY
    PyTypeObject* type = Py_TYPE(self_);
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_dictoffset == 0) {
        return;
    }
    // Made, if need be, before the class is looked at: making it may collect
    // garbage and run a finalizer that changes the class.
    Ref dict = Ref::from_new(PyObject_GenericGetDict(self_, nullptr));
    if (!dict) {
        ok_ = false;
        return;
    }
    // The class is the instance's still afterwards, unless a finalizer run by
    // the class cache gave the instance another.
    PyTypeObject* const cls = Py_TYPE(self_);
    if (!keeps_own_members(context_.state, cls) || Py_TYPE(self_) != cls) {
        return;
    }
    PyObject* state[kStateCount] = {};
    if (!read_plain_state(context_.state, dict.get(), state)) {
        return;
    }
    for (int i = 0; i < kStateCount; ++i) {
        state_[i] = Ref::from_borrowed(state[i]);
    }
    quick_ = true;
#endif
}

void clear_class_cache(ModuleState& state) {
    for (ClassEntry& entry : state.classes) {
        Py_CLEAR(entry.type);
        entry.address = nullptr;
    }
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
    return Ref::from_new(PyObject_GetAttr(self_, state_name(names(), which)));
}

bool Dispatch::resolve_through_instance(Member member, Ref& callable) {
    callable = Ref();
    Ref attribute = Ref::from_new(PyObject_GetAttr(self_, member_name(context_.state, member)));
    if (!attribute) {
        return false;
    }
    if (PyMethod_Check(attribute.get()) && PyMethod_GET_SELF(attribute.get()) == self_) {
        NativeMethod* method = as_native_method(context_.state.methods, PyMethod_GET_FUNCTION(attribute.get()));
        if (method != nullptr && method->spec->member == member && method->state == &context_.state) {
            return true;
        }
    }
    callable = std::move(attribute);
    return true;
}

}  // namespace sorvex
