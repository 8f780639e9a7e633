// registry.cpp: the manager's state and the registry operations: __init__,
// the plugins property, get_plugin, unregister_plugin and register_plugin.
//
// Every node, key and record is held by a strong reference while outside code
// may run (a key's __hash__ or __eq__, getfile, a check), so a tree changed
// under our feet gives a Python exception or a consistent answer, never freed
// memory.
#include "validation.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace sorvex {

namespace {

// The keys to walk: [os], [os, series] or [os, series, model], chosen by
// identity with None.
struct TreePath {
    PyObject* const* keys;  // the description's own os, series and model
    int length;
};

TreePath path_of(const Description& d) {
    return TreePath{d.values, d.model() != Py_None ? 3 : d.series() != Py_None ? 2 : 1};
}

// The general `key in node.keys()` (or, not `via_keys`, `key in node`), then
// `node[key]`, for any node and key.
int find_child_generally(const Names& names, PyObject* node, PyObject* key, Ref& child, bool via_keys) {
    Ref keys = via_keys && !PyDict_CheckExact(node) ? Ref::from_new(PyObject_CallMethodObjArgs(node, names.keys, nullptr))
                                                    : Ref::from_borrowed(node);
    const int present = keys ? PySequence_Contains(keys.get(), key) : -1;
    if (present <= 0) {
        return present;
    }
    child = Ref::from_new(PyObject_GetItem(node, key));
    return child ? 1 : -1;
}

// The same: 1 with `child` set, 0 when absent, -1 on error. An exact dict
// asked for an exact str answers both in one probe; the only difference is
// that a stored key whose hash collides is asked for equality once rather
// than twice.
inline int find_child(const Names& names, PyObject* node, PyObject* key, Ref& child, bool via_keys = true) {
    if (PyDict_CheckExact(node) && PyUnicode_CheckExact(key)) {
        PyObject* value = nullptr;
        const int found = compat::dict_get_ref(node, key, &value);
        child = Ref::from_new(value);
        return found;
    }
    return find_child_generally(names, node, key, child, via_keys);
}

// `key in mapping`, then `mapping[key]`, with the same single probe.
inline int find_key(const Names& names, PyObject* mapping, PyObject* key, Ref& value) {
    return find_child(names, mapping, key, value, false);
}

// `mapping[key]`, in one probe for an exact dict and an exact str.
inline PyObject* get_item(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping) && PyUnicode_CheckExact(key)) {
        PyObject* value = nullptr;
        if (compat::dict_get_ref(mapping, key, &value) == 0) {
            PyErr_SetObject(PyExc_KeyError, key);
        }
        return value;
    }
    return PyObject_GetItem(mapping, key);
}

std::nullptr_t raise_not_found(Dispatch& dispatch) { return InfraError(dispatch.context()).raise(kNotFound); }

std::nullptr_t raise_lookup_miss(Dispatch& dispatch, const TreePath& path, PyObject* chassis_type) {
    InfraError error(dispatch.context());
    if (!error.found()) {
        return nullptr;
    }
    // "/".join(path): read in place when every key is a str (of any type:
    // join reads their characters, calling nothing), else by join itself,
    // which fails as Python does for a key that is not one.
    TextBuilder message(kLookupMiss[0]);
    const bool all_text = std::all_of(path.keys, path.keys + path.length,
                                      [](PyObject* key) { return PyUnicode_Check(key) && compat::str_ready(key); });
    for (int k = 0; all_text && k < path.length; ++k) {
        message.ascii(k > 0 ? "/" : "").append_slice(path.keys[k], 0, PyUnicode_GET_LENGTH(path.keys[k]));
    }
    if (!all_text) {
        Ref keys = PyErr_Occurred() ? Ref() : Ref::from_new(PyTuple_New(path.length));
        for (int k = 0; keys && k < path.length; ++k) {
            PyTuple_SET_ITEM(keys.get(), k, Py_NewRef(path.keys[k]));
        }
        Ref joined = keys ? Ref::from_new(PyUnicode_Join(dispatch.names().slash, keys.get())) : Ref();
        message.add(joined.get());
    }
    Ref text = message.ascii(kLookupMiss[1]).add_str(chassis_type).ascii(kLookupMiss[2]).finish();
    return error.raise(text.get());
}

// The walk of lookup and removal: the description validated through the
// instance, then down from the registry's root along its keys, never back up.
// A missing key ends the walk where it is (1), or, when the walk must be
// `whole`, fails it (0); -1 on error.
int walk_validated(Dispatch& dispatch, const Description& description, bool whole, Ref& node) {
    if (!dispatch.ok() || !validate_through_instance(dispatch, description)) {
        return -1;
    }
    const TreePath path = path_of(description);
    node = dispatch.state(State::plugins);
    if (!node) {
        return -1;
    }
    for (int i = 0; i < path.length; ++i) {
        Ref child;
        const int found = find_child(dispatch.names(), node.get(), path.keys[i], child);
        if (found <= 0) {
            return found < 0 ? -1 : whole ? 0 : 1;
        }
        node = std::move(child);
    }
    return 1;
}

}  // namespace

PyObject* init_impl(const Context& context, PyObject* const* args) {
    const Names& names = context.state.names;
    // self._plugins = {}; self.chassis_type_list = supported_chassis; self.supported_os = supported_os
    Ref tree = Ref::from_new(PyDict_New());
    if (!tree || PyObject_SetAttr(args[0], names._plugins, tree.get()) < 0) {
        return nullptr;
    }
    for (const auto& [attribute, global] : {std::pair{names.chassis_type_list, names.supported_chassis},
                                            std::pair{names.supported_os, names.supported_os}}) {
        Ref value = lookup_global(context.globals, global);
        if (!value || PyObject_SetAttr(args[0], attribute, value.get()) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyObject* plugins_getter_impl(const Context& context, PyObject* const* args) {
    return PyObject_GetAttr(args[0], context.state.names._plugins);
}

PyObject* plugins_setter_impl(const Context& /*context*/, PyObject* const* /*args*/) {
    PyErr_SetString(PyExc_Exception, kPluginsProtected);
    return nullptr;
}

PyObject* get_plugin_impl(const Context& context, PyObject* const* args) {
    const Names& names = context.state.names;
    const Description description{args + 1};
    Dispatch dispatch(args[0], context, args + 1, 4);
    Ref node;
    if (walk_validated(dispatch, description, false, node) < 0) {
        return nullptr;
    }
    // "data" in node, then chassis_type in node["data"]
    Ref chassis_map;
    Ref record;
    int found = find_key(names, node.get(), names.data, chassis_map);
    if (found > 0) {
        found = find_key(names, chassis_map.get(), description.chassis_type(), record);
    }
    if (found <= 0) {
        return found < 0 ? nullptr : raise_lookup_miss(dispatch, path_of(description), description.chassis_type());
    }
    return get_item(record.get(), names.cls);
}

PyObject* unregister_plugin_impl(const Context& context, PyObject* const* args) {
    const Names& names = context.state.names;
    PyObject* chassis_type = args[4];
    // Validation sees "single_rp", whatever the chassis type: None removes
    // every record of the node.
    PyObject* const validated[] = {args[1], args[2], args[3], names.single_rp};
    const Description description{validated};
    Dispatch dispatch(args[0], context, args + 1, 3);
    Ref node;
    const int walked = walk_validated(dispatch, description, true, node);
    if (walked <= 0) {
        return walked < 0 ? nullptr : raise_not_found(dispatch);
    }
    if (chassis_type == Py_None) {
        const int present = PySequence_Contains(node.get(), names.data);
        if (present <= 0) {
            return present < 0 ? nullptr : raise_not_found(dispatch);
        }
        return PyObject_DelItem(node.get(), names.data) < 0 ? nullptr : Py_NewRef(Py_None);
    }
    Ref chassis_map;
    const int found = find_key(names, node.get(), names.data, chassis_map);
    if (found <= 0) {
        return found < 0 ? nullptr : raise_not_found(dispatch);
    }
    const int present = PySequence_Contains(chassis_map.get(), chassis_type);
    if (present < 0) {
        return nullptr;
    }
    if (!present) {
        InfraError error(dispatch.context());
        if (!error.found()) {
            return nullptr;
        }
        Ref message = Ref::from_new(PyUnicode_FromFormat(kChassisNotFound, chassis_type));
        return error.raise(message.get());
    }
    return PyObject_DelItem(chassis_map.get(), chassis_type) < 0 ? nullptr : Py_NewRef(Py_None);
}

namespace {

// A registration may not put a key into the tree that rendering cannot label.
// Checked after validation, in its order: the model, the series, the OS,
// the chassis type.
bool refuse_unlabelled_keys(Dispatch& dispatch, const Description& d) {
    if (d.model() != Py_None && (d.series() == Py_None || !PyUnicode_Check(d.model()))) {
        return refuse_name(dispatch, kModelMessages, d.series() != Py_None, d.model());
    }
    if (d.series() != Py_None && !PyUnicode_Check(d.series())) {
        return refuse_name(dispatch, kSeriesMessages, true, d.series());
    }
    if (!PyUnicode_Check(d.os())) {
        raise_os_message(dispatch, d.os());
        return false;
    }
    if (!PyUnicode_Check(d.chassis_type())) {
        raise_chassis_message(dispatch, d.chassis_type());
        return false;
    }
    return true;
}

// A node that register_plugin added, so that a failure can take it out again.
struct CreatedNode {
    Ref parent;
    Ref key;
    Ref node;
};

// Removes, newest first, the nodes a failed registration added, as long as
// each is still the empty dict it put there. The registration's own error
// stays the one raised; an Exception while undoing is dropped, anything else
// (KeyboardInterrupt, say) ends the undoing and is raised in its place.
void undo_created(const Names& names, std::vector<CreatedNode>& created) {
    PendingError error;
    for (auto it = created.rbegin(); it != created.rend(); ++it) {
        Ref current;
        const int found = find_child(names, it->parent.get(), it->key.get(), current);
        bool undone = found >= 0;
        if (found > 0 && current.get() == it->node.get() && PyDict_GET_SIZE(it->node.get()) == 0) {
            undone = PyObject_DelItem(it->parent.get(), it->key.get()) == 0;
        }
        if (undone) {
            continue;
        }
        if (PyErr_ExceptionMatches(PyExc_Exception)) {
            PyErr_Clear();
            continue;
        }
        error.become_context_of_current();
        return;
    }
    error.restore();
}

// The record under node["data"][chassis_type]: into the existing chassis map
// (stored back under "data"), or a new one.
bool store_record(const Names& names, PyObject* node, PyObject* chassis_type, PyObject* record) {
    Ref chassis_map;
    const int found = find_key(names, node, names.data, chassis_map);
    if (found < 0) {
        return false;
    }
    if (found > 0) {
        return PyObject_SetItem(chassis_map.get(), chassis_type, record) == 0 &&
               PyObject_SetItem(node, names.data, chassis_map.get()) == 0;
    }
    chassis_map = Ref::from_new(PyDict_New());
    return chassis_map && PyDict_SetItem(chassis_map.get(), chassis_type, record) == 0 &&
           PyObject_SetItem(node, names.data, chassis_map.get()) == 0;
}

}  // namespace

PyObject* register_plugin_impl(const Context& context, PyObject* const* args) {
    const Names& names = context.state.names;
    PyObject* cls = args[1];
    const Description description{args + 2};
    Dispatch dispatch(args[0], context, args + 2, 4);
    if (!dispatch.ok() || !validate_through_instance(dispatch, description) ||
        !refuse_unlabelled_keys(dispatch, description)) {
        return nullptr;
    }
    const TreePath path = path_of(description);
    // getfile runs before the walk: a class it cannot place must not leave
    // empty nodes behind, since an empty series node hides its OS's record.
    dispatch.leave_quick_route();
    Ref getfile = lookup_global(context.globals, names.getfile);
    Ref class_path = getfile ? Ref::from_new(PyObject_CallFunctionObjArgs(getfile.get(), cls, nullptr)) : Ref();
    if (!class_path) {
        return nullptr;
    }
    Ref record = Ref::from_new(PyDict_New());
    if (!record || PyDict_SetItem(record.get(), names.cls, cls) < 0 ||
        PyDict_SetItem(record.get(), names.path, class_path.get()) < 0) {
        return nullptr;
    }
    Ref node = dispatch.state(State::plugins);  // read after getfile, which may run any code
    if (!node) {
        return nullptr;
    }
    std::vector<CreatedNode> created;
    created.reserve(3);  // never grows beyond, so nothing throws once the tree is touched
    for (int i = 0; i < path.length; ++i) {
        PyObject* key = path.keys[i];
        Ref child;
        int found = find_child(names, node.get(), key, child);
        if (found == 0) {
            Ref fresh = Ref::from_new(PyDict_New());
            found = -1;
            if (fresh && PyObject_SetItem(node.get(), key, fresh.get()) == 0) {
                created.push_back({Ref::from_borrowed(node.get()), Ref::from_borrowed(key), Ref::from_borrowed(fresh.get())});
                child = Ref::from_new(PyObject_GetItem(node.get(), key));
                found = child ? 1 : -1;
            }
        }
        if (found < 0) {
            undo_created(names, created);
            return nullptr;
        }
        node = std::move(child);
    }
    if (!store_record(names, node.get(), description.chassis_type(), record.get())) {
        undo_created(names, created);
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace sorvex
