// The manager's state and the registry operations: __init__, the plugins
// property, get_plugin, unregister_plugin and register_plugin.
//
// Every node, key and record is held by a strong reference while user code may
// run (a key's __hash__/__eq__, getfile, a check), so a tree changed under our
// feet gives a Python exception or a consistent answer, never freed memory.
#include "pluginmanager.hpp"

#include <vector>

namespace sorvex {

namespace {

// The keys to walk: [os], [os, series] or [os, series, model], chosen by
// identity with None.
int build_path(PyObject* os, PyObject* series, PyObject* model, PyObject** path) {
    path[0] = os;
    path[1] = series;
    path[2] = model;
    if (model != Py_None) {
        return 3;
    }
    return series != Py_None ? 2 : 1;
}

// `key in node.keys()` and then `node[key]`. 1 with `child` set, 0 when the
// key is absent, -1 on error. An exact dict asked for an exact str answers
// both in one probe (the only difference: a stored key whose hash collides
// is asked for equality once rather than twice).
int find_child(PyObject* node, PyObject* key, Ref& child) {
    if (PyDict_CheckExact(node) && PyUnicode_CheckExact(key)) {
        PyObject* value = PyDict_GetItemWithError(node, key);
        if (value == nullptr) {
            return PyErr_Occurred() ? -1 : 0;
        }
        child = Ref::borrow(value);
        return 1;
    }
    const int present = node_has_key(node, key);
    if (present <= 0) {
        return present;
    }
    child = node_get(node, key);
    return child ? 1 : -1;
}

// Validates the description through the instance, then reads self._plugins.
Ref validated_tree(PyObject* self, PyObject* os, PyObject* series, PyObject* model,
                   PyObject* chassis_type) {
    Ref tree;
    if (!validate_description(self, os, series, model, chassis_type, true, &tree)) {
        return {};
    }
    if (!tree) {
        tree = Ref::steal(PyObject_GetAttr(self, S._plugins));
    }
    return tree;
}

PyObject* init_impl(NativeMethod* method, PyObject* const* args) {
    PyObject* self = args[0];
    Ref tree = Ref::steal(PyDict_New());
    if (!tree || PyObject_SetAttr(self, S._plugins, tree.get()) < 0) {
        return nullptr;
    }
    Ref chassis = lookup_global(method, S.g_supported_chassis);
    if (!chassis || PyObject_SetAttr(self, S.chassis_type_list, chassis.get()) < 0) {
        return nullptr;
    }
    Ref supported = lookup_global(method, S.g_supported_os);
    if (!supported || PyObject_SetAttr(self, S.supported_os, supported.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* plugins_get_impl(NativeMethod* /*method*/, PyObject* const* args) {
    return PyObject_GetAttr(args[0], S._plugins);
}

PyObject* plugins_set_impl(NativeMethod* /*method*/, PyObject* const* /*args*/) {
    PyErr_SetString(PyExc_Exception, " Protected Member, cannot modify Plugins");
    return nullptr;
}

PyObject* raise_lookup_miss(NativeMethod* method, PyObject* const* path, int length, PyObject* chassis_type) {
    bool plain = true;
    for (int i = 0; i < length; ++i) {
        plain = plain && PyUnicode_Check(path[i]);
    }
    Ref chassis_text = plain ? Ref::steal(PyObject_Str(chassis_type)) : Ref();
    if (plain && chassis_text && PyUnicode_CheckExact(chassis_text.get())) {
        // The common case, joined at once: "Plugin data not found for (",
        // the keys joined with "/", "), type: ", str(chassis_type), " ".
        PyObject* pieces[9];
        int count = 0;
        pieces[count++] = S.not_found_open;
        for (int i = 0; i < length; ++i) {
            if (i > 0) {
                pieces[count++] = S.slash;
            }
            pieces[count++] = path[i];
        }
        pieces[count++] = S.not_found_type;
        pieces[count++] = chassis_text.get();
        pieces[count++] = S.blank;
        Ref tuple = tuple_of(pieces, count);
        Ref message = tuple ? Ref::steal(PyUnicode_Join(S.empty, tuple.get())) : Ref();
        return raise_infra(method, message.get());
    }
    if (plain && !chassis_text) {
        return nullptr;
    }
    // "/".join(path), failing as it does for a key that is not a str
    Ref keys = tuple_of(path, length);
    Ref joined = keys ? Ref::steal(PyUnicode_Join(S.slash, keys.get())) : Ref();
    if (!joined) {
        return nullptr;
    }
    TextBuilder message(S.not_found_open);
    message.add(joined.get()).text(S.not_found_type);
    if (chassis_text) {
        message.add(chassis_text.get());  // str() already taken, only once
    } else {
        message.add_str(chassis_type);
    }
    Ref text = message.text(S.blank).finish();
    return raise_infra(method, text.get());
}

PyObject* get_plugin_impl(NativeMethod* method, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* chassis_type = args[4];
    Ref node = validated_tree(self, args[1], args[2], args[3], chassis_type);
    if (!node) {
        return nullptr;
    }
    PyObject* path[3];
    const int length = build_path(args[1], args[2], args[3], path);
    // Down as far as the registered keys go; never back up.
    for (int i = 0; i < length; ++i) {
        Ref child;
        const int found = find_child(node.get(), path[i], child);
        if (found < 0) {
            return nullptr;
        }
        if (found == 0) {
            break;
        }
        node = std::move(child);
    }
    Ref chassis_map;
    int found = find_child(node.get(), S.data_key, chassis_map);
    Ref record;
    if (found > 0) {
        found = find_child(chassis_map.get(), chassis_type, record);
    }
    if (found < 0) {
        return nullptr;
    }
    if (found == 0) {
        return raise_lookup_miss(method, path, length, chassis_type);
    }
    return node_get(record.get(), S.cls).release();
}

PyObject* unregister_plugin_impl(NativeMethod* method, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* chassis_type = args[4];
    // The chassis type is never validated here: None removes every record.
    Ref node = validated_tree(self, args[1], args[2], args[3], S.single_rp);
    if (!node) {
        return nullptr;
    }
    PyObject* path[3];
    const int length = build_path(args[1], args[2], args[3], path);
    for (int i = 0; i < length; ++i) {
        Ref child;
        const int found = find_child(node.get(), path[i], child);
        if (found <= 0) {
            return found < 0 ? nullptr : raise_infra(method, "Plugin data not found");
        }
        node = std::move(child);
    }
    if (chassis_type == Py_None) {
        const int present = node_has_key(node.get(), S.data_key);
        if (present <= 0) {
            return present < 0 ? nullptr : raise_infra(method, "Plugin data not found");
        }
        if (PyObject_DelItem(node.get(), S.data_key) < 0) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    Ref chassis_map;
    const int found = find_child(node.get(), S.data_key, chassis_map);
    if (found <= 0) {
        return found < 0 ? nullptr : raise_infra(method, "Plugin data not found");
    }
    const int present = node_has_key(chassis_map.get(), chassis_type);
    if (present < 0) {
        return nullptr;
    }
    if (!present) {
        Ref message = format_one("Plugin data not found for %s", chassis_type);
        return raise_infra(method, message.get());
    }
    if (PyObject_DelItem(chassis_map.get(), chassis_type) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
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
void undo_created(std::vector<CreatedNode>& created) {
    PendingError error;
    for (auto it = created.rbegin(); it != created.rend(); ++it) {
        Ref current;
        const int found = find_child(it->parent.get(), it->key.get(), current);
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
        PendingError raised;  // raised while the first was being handled
        if (raised.value() != nullptr && error.value() != nullptr && raised.value() != error.value()) {
            PyException_SetContext(raised.value(), error.release());
        }
        raised.restore();
        return;
    }
    error.restore();
}

bool store_record(PyObject* node, PyObject* chassis_type, PyObject* record) {
    Ref chassis_map;
    const int found = find_child(node, S.data_key, chassis_map);
    if (found < 0) {
        return false;
    }
    if (found > 0) {
        return PyObject_SetItem(chassis_map.get(), chassis_type, record) == 0 &&
               PyObject_SetItem(node, S.data_key, chassis_map.get()) == 0;
    }
    chassis_map = Ref::steal(PyDict_New());
    return chassis_map && PyDict_SetItem(chassis_map.get(), chassis_type, record) == 0 &&
           PyObject_SetItem(node, S.data_key, chassis_map.get()) == 0;
}

PyObject* register_plugin_impl(NativeMethod* method, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* cls = args[1];
    PyObject* chassis_type = args[5];
    // The tree is read after getfile, which may run any code.
    if (!validate_description(self, args[2], args[3], args[4], chassis_type, true, nullptr)) {
        return nullptr;
    }
    PyObject* path[3];
    const int length = build_path(args[2], args[3], args[4], path);
    // getfile runs before the walk: a class it cannot place must not leave
    // empty nodes behind, since an empty series node hides its OS's record.
    Ref getfile = lookup_global(method, S.g_getfile);
    if (!getfile) {
        return nullptr;
    }
    Ref class_path = Ref::steal(PyObject_CallOneArg(getfile.get(), cls));
    if (!class_path) {
        return nullptr;
    }
    Ref record = Ref::steal(PyDict_New());
    if (!record || PyDict_SetItem(record.get(), S.cls, cls) < 0 ||
        PyDict_SetItem(record.get(), S.path, class_path.get()) < 0) {
        return nullptr;
    }
    Ref node = Ref::steal(PyObject_GetAttr(self, S._plugins));
    if (!node) {
        return nullptr;
    }
    std::vector<CreatedNode> created;
    created.reserve(3);  // never grows, so nothing can throw once the tree is touched
    for (int i = 0; i < length; ++i) {
        PyObject* key = path[i];
        Ref child;
        int found = find_child(node.get(), key, child);
        if (found == 0) {
            Ref fresh = Ref::steal(PyDict_New());
            if (fresh && PyObject_SetItem(node.get(), key, fresh.get()) == 0) {
                created.push_back({Ref::borrow(node.get()), Ref::borrow(key), Ref::borrow(fresh.get())});
                child = node_get(node.get(), key);
                found = child ? 1 : -1;
            } else {
                found = -1;
            }
        }
        if (found < 0) {
            undo_created(created);
            return nullptr;
        }
        node = std::move(child);
    }
    if (!store_record(node.get(), chassis_type, record.get())) {
        undo_created(created);
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

MethodSpec spec_init = {
    "__init__", "\n            Initialize\n        ", "(self)", 1, 1, {"self"}, {}, init_impl, false, {},
};

MethodSpec spec_plugins_get = {
    "plugins", " Plugin list getter\n        ", "(self)", 1, 1, {"self"}, {}, plugins_get_impl, false, {},
};

MethodSpec spec_plugins_set = {
    "plugins", " Plugin list getter\n        ", "(self, value)", 2, 2, {"self", "value"}, {}, plugins_set_impl,
    false, {},
};

MethodSpec spec_get_plugin = {
    "get_plugin",
    "\n            This method returns the connection class based on the\n            input details provided\n        ",
    "(self, os=None, series=None, model=None, chassis_type='single_rp')",
    5,
    1,
    {"self", "os", "series", "model", "chassis_type"},
    {nullptr, nullptr, nullptr, nullptr, "single_rp"},
    get_plugin_impl,
    false,
    {},
};

MethodSpec spec_unregister_plugin = {
    "unregister_plugin",
    "\n            This method unregister a particular implementations from\n            the internal database\n        ",
    "(self, os=None, series=None, model=None, chassis_type=None)",
    5,
    1,
    {"self", "os", "series", "model", "chassis_type"},
    {},
    unregister_plugin_impl,
    false,
    {},
};

MethodSpec spec_register_plugin = {
    "register_plugin",
    "\n            This method registers all the implementation plugin(i.e connection class)\n"
    "            to the sorvex plugin manager\n\n"
    "            It takes OS, SERIES, MODEL information and based on that\n"
    "            registers it\n\n"
    "            cls refer to the connection class\n"
    "            chassis_type indicates if the connection class is for single_rp or\n"
    "            dual_rp or stack(default single_rp)\n\n        ",
    "(self, cls, os=None, series=None, model=None, chassis_type='single_rp')",
    6,
    2,
    {"self", "cls", "os", "series", "model", "chassis_type"},
    {nullptr, nullptr, nullptr, nullptr, nullptr, "single_rp"},
    register_plugin_impl,
    false,
    {},
};

}  // namespace sorvex
