// Module setup: interned strings, the NativeMethod type and its argument
// binding, helpers shared by the other files, and the module body that binds
// the imported names and creates the PluginManager class.
#include "pluginmanager.hpp"

#include <cstring>
#include <new>

namespace sorvex {

Strings S;

namespace {

bool intern(PyObject*& slot, const char* text) {
    if (slot == nullptr) {
        slot = PyUnicode_InternFromString(text);
    }
    return slot != nullptr;
}

bool make_tuple(PyObject*& slot, std::initializer_list<PyObject*> items) {
    if (slot != nullptr) {
        return true;
    }
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (tuple == nullptr) {
        return false;
    }
    Py_ssize_t index = 0;
    for (PyObject* item : items) {
        Py_INCREF(item);
        PyTuple_SET_ITEM(tuple, index++, item);
    }
    slot = tuple;
    return true;
}

}  // namespace

bool init_strings() {
    const bool names_ok =
        intern(S.os, "os") && intern(S.series, "series") && intern(S.model, "model") &&
        intern(S.chassis_type, "chassis_type") && intern(S.cls, "cls") &&
        intern(S.data, "data") && intern(S.output, "output") && intern(S.group, "group") &&
        intern(S._plugins, "_plugins") && intern(S.supported_os, "supported_os") &&
        intern(S.chassis_type_list, "chassis_type_list") && intern(S.keys, "keys") && intern(S.debug, "debug") &&
        intern(S.islower, "islower") && intern(S.isdigit, "isdigit") && intern(S.endswith, "endswith") && intern(S.split, "split") &&
        intern(S.load, "load") && intern(S.name, "name") && intern(S.module_name, "module_name") &&
        intern(S.path, "path") && intern(S.walk_packages, "walk_packages") &&
        intern(S.import_module, "import_module") && intern(S.dirname, "dirname") &&
        intern(S.register_plugin, "register_plugin") && intern(S.print_tree, "print_tree") &&
        intern(S.__class__, "__class__") &&
        intern(S.__name__, "__name__") && intern(S.validate_model, "validate_model") &&
        intern(S.validate_series, "validate_series") && intern(S.validate_os, "validate_os") &&
        intern(S.validate_chassis_type, "validate_chassis_type") &&
        intern(S.validate_arguments, "validate_arguments");
    const bool globals_ok =
        intern(S.g_os, "os") && intern(S.g_pkgutil, "pkgutil") && intern(S.g_importlib, "importlib") &&
        intern(S.g_log, "log") && intern(S.g_supported_chassis, "supported_chassis") &&
        intern(S.g_supported_os, "supported_os") && intern(S.g_getfile, "getfile") &&
        intern(S.g_ConnectionInfraError, "ConnectionInfraError") &&
        intern(S.g_iter_entry_points, "iter_entry_points") && intern(S.g_ENTRYPOINT_GROUP, "ENTRYPOINT_GROUP");
    const bool literals_ok =
        intern(S.single_rp, "single_rp") && intern(S.linux, "linux") && intern(S.mocked, "mocked") &&
        intern(S.data_key, "data") && intern(S.empty, "") && intern(S.slash, "/") && intern(S.newline, "\n") &&
        intern(S.dot, ".") && intern(S.label_prefix, "__ ") && intern(S.equals, " = ") &&
        intern(S.bar_prefix, "  |") && intern(S.blank_prefix, "  ") && intern(S.newline_bar, "\n  |") &&
        intern(S.dot_plugins_dot, ".plugins.") && intern(S.dot_tests_dot, ".tests.") && intern(S.tests, "tests") &&
        intern(S.not_found_open, "Plugin data not found for (") && intern(S.not_found_type, "), type: ") &&
        intern(S.blank, " ");
    if (!(names_ok && globals_ok && literals_ok)) {
        return false;
    }
    return make_tuple(S.kw_model_check, {S.os, S.series, S.model}) &&
           make_tuple(S.kw_series_check, {S.series, S.os}) && make_tuple(S.kw_os, {S.os}) &&
           make_tuple(S.kw_chassis_type, {S.chassis_type}) && make_tuple(S.kw_print_tree, {S.data, S.output}) &&
           make_tuple(S.kw_group, {S.group}) && make_tuple(S.kw_demo_register, {S.os, S.series, S.cls});
}

// ---------------------------------------------------------------------------
// Argument binding, with the interpreter's own TypeError wording.

namespace {

const char* plural(Py_ssize_t count) { return count == 1 ? "" : "s"; }

// How the interpreter names a function in argument errors: by its qualified
// name since 3.10.
PyObject* error_name(NativeMethod* method) {
#if PY_VERSION_HEX >= 0x030A0000
    return method->qualname;
#else
    return method->name;
#endif
}

void raise_too_many_positional(NativeMethod* method, Py_ssize_t given) {
    const MethodSpec& spec = *method->spec;
    const char* was = given == 1 ? "was" : "were";
    if (spec.required_count < spec.param_count) {
        PyErr_Format(PyExc_TypeError, "%U() takes from %d to %d positional arguments but %zd %s given",
                     error_name(method), spec.required_count, spec.param_count, given, was);
    } else {
        PyErr_Format(PyExc_TypeError, "%U() takes %d positional argument%s but %zd %s given", error_name(method),
                     spec.param_count, plural(spec.param_count), given, was);
    }
}

void raise_missing(NativeMethod* method, PyObject* const* bound) {
    const MethodSpec& spec = *method->spec;
    Ref names = Ref::steal(PyList_New(0));
    if (!names) {
        return;
    }
    for (int i = 0; i < spec.required_count; ++i) {
        if (bound[i] == nullptr) {
            Ref quoted = Ref::steal(PyUnicode_FromFormat("'%U'", spec.params[i]));
            if (!quoted || PyList_Append(names.get(), quoted.get()) < 0) {
                return;
            }
        }
    }
    const Py_ssize_t count = PyList_GET_SIZE(names.get());
    Ref text;
    if (count == 1) {
        text = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
    } else {
        // 'a' and 'b' / 'a', 'b', and 'c'
        Ref last = Ref::borrow(PyList_GET_ITEM(names.get(), count - 1));
        Ref head_items = Ref::steal(PyList_GetSlice(names.get(), 0, count - 1));
        Ref separator = Ref::steal(PyUnicode_FromString(", "));
        if (!last || !head_items || !separator) {
            return;
        }
        Ref head = Ref::steal(PyUnicode_Join(separator.get(), head_items.get()));
        if (!head) {
            return;
        }
        text = Ref::steal(PyUnicode_FromFormat(count == 2 ? "%U and %U" : "%U, and %U", head.get(), last.get()));
    }
    if (text) {
        PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", error_name(method),
                     count, plural(count), text.get());
    }
}

int find_parameter(const MethodSpec& spec, PyObject* keyword) {
    for (int i = 0; i < spec.param_count; ++i) {
        if (spec.params[i] == keyword) {
            return i;
        }
    }
    if (!PyUnicode_Check(keyword)) {
        return -1;
    }
    for (int i = 0; i < spec.param_count; ++i) {
        if (PyUnicode_Compare(spec.params[i], keyword) == 0) {
            return i;
        }
    }
    return -1;
}

// Fills `bound` (param_count borrowed references) from a vectorcall.
bool bind_arguments(NativeMethod* method, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound) {
    const MethodSpec& spec = *method->spec;
    const int count = spec.param_count;
    for (int i = 0; i < count; ++i) {
        bound[i] = i < nargs ? args[i] : nullptr;
    }
    if (kwnames != nullptr) {
        const Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
        const bool known = kwnames == method->last_kwnames;
        signed char map[kMaxParams];
        for (Py_ssize_t k = 0; k < keyword_count; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            const int index = known ? method->last_kwmap[k] : find_parameter(spec, keyword);
            if (index < 0) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", error_name(method),
                             keyword);
                return false;
            }
            if (bound[index] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", error_name(method),
                             keyword);
                return false;
            }
            bound[index] = args[nargs + k];
            if (!known && k < kMaxParams) {
                map[k] = static_cast<signed char>(index);
            }
        }
        if (!known && keyword_count <= kMaxParams) {
            // Held, so that the address cannot come back as another tuple.
            std::memcpy(method->last_kwmap, map, static_cast<size_t>(keyword_count));
            Py_INCREF(kwnames);
            Py_XSETREF(method->last_kwnames, kwnames);
        }
    }
    if (nargs > count) {
        raise_too_many_positional(method, nargs);
        return false;
    }
    for (int i = 0; i < spec.required_count; ++i) {
        if (bound[i] == nullptr) {
            raise_missing(method, bound);
            return false;
        }
    }
    for (int i = spec.required_count; i < count; ++i) {
        if (bound[i] == nullptr) {
            bound[i] = PyTuple_GET_ITEM(method->defaults, i);
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// The NativeMethod type.

PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    NativeMethod* method = reinterpret_cast<NativeMethod*>(callable);
    PyObject* bound[kMaxParams];
    if (!bind_arguments(method, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {
        return nullptr;
    }
    // No C++ exception may cross into the interpreter; the only one our code
    // can meet is an allocation failure in a standard container.
    try {
        return method->spec->impl(method, bound);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

int method_traverse(PyObject* self, visitproc visit, void* arg) {
    NativeMethod* method = reinterpret_cast<NativeMethod*>(self);
    Py_VISIT(method->globals);
    Py_VISIT(method->defaults);
    Py_VISIT(method->last_kwnames);
    return 0;
}

int method_clear(PyObject* self) {
    NativeMethod* method = reinterpret_cast<NativeMethod*>(self);
    Py_CLEAR(method->globals);
    Py_CLEAR(method->defaults);
    Py_CLEAR(method->last_kwnames);
    return 0;
}

void method_dealloc(PyObject* self) {
    NativeMethod* method = reinterpret_cast<NativeMethod*>(self);
    PyObject_GC_UnTrack(self);
    if (method->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    method_clear(self);
    Py_CLEAR(method->name);
    Py_CLEAR(method->qualname);
    Py_CLEAR(method->module);
    PyObject_GC_Del(self);
}

// A plain function's __get__: unbound through the class, bound through an instance.
PyObject* method_descr_get(PyObject* self, PyObject* instance, PyObject* /*owner*/) {
    if (instance == nullptr || instance == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, instance);
}

PyObject* method_repr(PyObject* self) {
    return PyUnicode_FromFormat("<native method %U>", reinterpret_cast<NativeMethod*>(self)->qualname);
}

PyObject* get_doc(PyObject* self, void*) {
    const char* doc = reinterpret_cast<NativeMethod*>(self)->spec->doc;
    if (doc == nullptr) {
        Py_RETURN_NONE;
    }
    return PyUnicode_FromString(doc);
}

PyObject* get_text_signature(PyObject* self, void*) {
    return PyUnicode_FromString(reinterpret_cast<NativeMethod*>(self)->spec->text_signature);
}

PyObject* get_name(PyObject* self, void*) {
    PyObject* name = reinterpret_cast<NativeMethod*>(self)->name;
    Py_INCREF(name);
    return name;
}

PyObject* get_qualname(PyObject* self, void*) {
    PyObject* qualname = reinterpret_cast<NativeMethod*>(self)->qualname;
    Py_INCREF(qualname);
    return qualname;
}

PyObject* get_module(PyObject* self, void*) {
    PyObject* module = reinterpret_cast<NativeMethod*>(self)->module;
    Py_INCREF(module);
    return module;
}

PyGetSetDef method_getset[] = {
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

bool ready_method_type() {
    PyTypeObject& type = NativeMethodType;
    if (type.tp_flags & Py_TPFLAGS_READY) {
        return true;
    }
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
    type.tp_name = "sorvex.core.pluginmanager.native_method";
    type.tp_basicsize = sizeof(NativeMethod);
    type.tp_dealloc = method_dealloc;
    type.tp_vectorcall_offset = offsetof(NativeMethod, vectorcall);
    type.tp_repr = method_repr;
    type.tp_call = PyVectorcall_Call;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL;
    type.tp_traverse = method_traverse;
    type.tp_clear = method_clear;
    type.tp_getset = method_getset;
    type.tp_descr_get = method_descr_get;
    type.tp_weaklistoffset = offsetof(NativeMethod, weakrefs);
    return PyType_Ready(&type) == 0;
}

Ref make_method(const MethodSpec& spec, PyObject* globals, PyObject* module_name) {
    Ref defaults = Ref::steal(PyTuple_New(spec.param_count));
    if (!defaults) {
        return {};
    }
    for (int i = 0; i < spec.param_count; ++i) {
        const char* text = i < spec.required_count ? nullptr : spec.default_texts[i];
        PyObject* value = Py_None;
        if (text != nullptr) {
            value = PyUnicode_InternFromString(text);
            if (value == nullptr) {
                return {};
            }
        } else {
            Py_INCREF(value);
        }
        PyTuple_SET_ITEM(defaults.get(), i, value);
    }
    Ref name = Ref::steal(PyUnicode_FromString(spec.name));
    Ref qualname = Ref::steal(PyUnicode_FromFormat("PluginManager.%s", spec.name));
    if (!name || !qualname) {
        return {};
    }
    NativeMethod* method = PyObject_GC_New(NativeMethod, &NativeMethodType);
    if (method == nullptr) {
        return {};
    }
    method->vectorcall = method_vectorcall;
    method->spec = &spec;
    Py_INCREF(globals);
    method->globals = globals;
    method->name = name.release();
    method->qualname = qualname.release();
    Py_INCREF(module_name);
    method->module = module_name;
    method->defaults = defaults.release();
    method->last_kwnames = nullptr;
    method->weakrefs = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(method));
    return Ref::steal(reinterpret_cast<PyObject*>(method));
}

}  // namespace

PyTypeObject NativeMethodType{};

bool init_param_tables() {
    for (MethodSpec* spec :
         {&spec_init, &spec_plugins_get, &spec_plugins_set, &spec_validate_model, &spec_validate_series,
          &spec_validate_os, &spec_validate_chassis_type, &spec_validate_arguments, &spec_get_plugin,
          &spec_unregister_plugin, &spec_register_plugin, &spec_discover_builtin_plugins,
          &spec_discover_external_plugins, &spec_print_tree, &spec_repr}) {
        for (int i = 0; i < spec->param_count; ++i) {
            if (spec->params[i] == nullptr &&
                (spec->params[i] = PyUnicode_InternFromString(spec->param_names[i])) == nullptr) {
                return false;
            }
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Helpers shared by the concern files.

Ref lookup_global(NativeMethod* method, PyObject* name) {
    if (method->globals == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "plugin manager method used after its module was cleared");
        return {};
    }
    PyObject* value = PyDict_GetItemWithError(method->globals, name);
    if (value != nullptr) {
        return Ref::borrow(value);
    }
    if (PyErr_Occurred()) {
        return {};
    }
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins != nullptr) {
        value = PyDict_GetItemWithError(builtins, name);
        if (value != nullptr) {
            return Ref::borrow(value);
        }
        if (PyErr_Occurred()) {
            return {};
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

namespace {

// `raise value`, where value is what calling the exception class returned.
void raise_object(PyObject* value) {
    if (PyExceptionInstance_Check(value)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(value)), value);
    } else if (PyExceptionClass_Check(value)) {
        PyErr_SetNone(value);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
}

}  // namespace

std::nullptr_t raise_infra(NativeMethod* method, PyObject* message) {
    if (message == nullptr) {
        return nullptr;
    }
    Ref error_class = lookup_global(method, S.g_ConnectionInfraError);
    if (!error_class) {
        return nullptr;
    }
    Ref error = Ref::steal(PyObject_CallOneArg(error_class.get(), message));
    if (error) {
        raise_object(error.get());
    }
    return nullptr;
}

std::nullptr_t raise_infra(NativeMethod* method, const char* message) {
    Ref text = Ref::steal(PyUnicode_FromString(message));
    return raise_infra(method, text.get());
}

TextBuilder::TextBuilder(const char* start) : text_(Ref::steal(PyUnicode_FromString(start))) {}

TextBuilder::TextBuilder(PyObject* start) : text_(Ref::borrow(start)) {}

TextBuilder& TextBuilder::add(PyObject* piece) {
    if (text_ && piece != nullptr) {
        const bool exact = PyUnicode_CheckExact(text_.get()) && PyUnicode_CheckExact(piece);
        text_ = Ref::steal(exact ? PyUnicode_Concat(text_.get(), piece) : PyNumber_Add(text_.get(), piece));
    } else {
        text_ = Ref();
    }
    return *this;
}

TextBuilder& TextBuilder::text(const char* piece) {
    if (text_) {
        Ref value = Ref::steal(PyUnicode_FromString(piece));
        add(value.get());
    }
    return *this;
}

TextBuilder& TextBuilder::add_str(PyObject* value) {
    if (text_) {
        Ref converted = Ref::steal(PyObject_Str(value));
        add(converted.get());
    }
    return *this;
}

Ref tuple_of(PyObject* const* items, Py_ssize_t count) {
    Ref tuple = Ref::steal(PyTuple_New(count));
    if (tuple) {
        for (Py_ssize_t i = 0; i < count; ++i) {
            Py_INCREF(items[i]);
            PyTuple_SET_ITEM(tuple.get(), i, items[i]);
        }
    }
    return tuple;
}

Ref format_one(const char* template_text, PyObject* value) {
    Ref format = Ref::steal(PyUnicode_FromString(template_text));
    Ref operand = Ref::steal(PyTuple_Pack(1, value));
    if (!format || !operand) {
        return {};
    }
    return Ref::steal(PyUnicode_Format(format.get(), operand.get()));
}

bool resolve_method(PyObject* self, PyObject* name, const MethodSpec& spec, Resolved& out) {
#if PY_VERSION_HEX < 0x030C0000
    // Finds the attribute as a method call would, without making a bound
    // method: 1 means an unbound descriptor to be called with self first.
    PyObject* found = nullptr;
    const int unbound = _PyObject_GetMethod(self, name, &found);
    if (found == nullptr) {
        return false;
    }
    out.callable = Ref::steal(found);
    out.unbound = unbound == 1;
    if (out.unbound && Py_TYPE(found) == &NativeMethodType &&
        reinterpret_cast<NativeMethod*>(found)->spec == &spec) {
        out.own = reinterpret_cast<NativeMethod*>(found);
    }
    return true;
#else
    Ref attribute = Ref::steal(PyObject_GetAttr(self, name));
    if (!attribute) {
        return false;
    }
    if (PyMethod_Check(attribute.get()) && PyMethod_GET_SELF(attribute.get()) == self) {
        PyObject* function = PyMethod_GET_FUNCTION(attribute.get());
        if (Py_TYPE(function) == &NativeMethodType && reinterpret_cast<NativeMethod*>(function)->spec == &spec) {
            out.callable = Ref::borrow(function);
            out.unbound = true;
            out.own = reinterpret_cast<NativeMethod*>(function);
            return true;
        }
    }
    out.callable = std::move(attribute);
    out.unbound = false;
    return true;
#endif
}

Ref call_resolved(const Resolved& resolved, PyObject* const* stack, size_t nargs, PyObject* kwnames) {
    if (resolved.unbound) {
        return Ref::steal(PyObject_Vectorcall(resolved.callable.get(), stack, nargs + 1, kwnames));
    }
    return Ref::steal(
        PyObject_Vectorcall(resolved.callable.get(), stack + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref import_from(PyObject* module, const char* name) {
    Ref value = Ref::steal(PyObject_GetAttrString(module, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return value;
    }
    PyErr_Clear();
    Ref module_name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
    if (!module_name) {
        PyErr_Clear();
        module_name = Ref::steal(PyUnicode_FromString("<unknown module name>"));
    }
    Ref text = Ref::steal(PyUnicode_FromFormat("cannot import name '%s' from %R", name, module_name.get()));
    if (text) {
        PyErr_SetImportError(text.get(), module_name.get(), nullptr);
    }
    return {};
}

int node_has_key(PyObject* node, PyObject* key) {
    if (PyDict_CheckExact(node)) {
        return PyDict_Contains(node, key);
    }
    Ref keys = Ref::steal(PyObject_CallMethodNoArgs(node, S.keys));
    if (!keys) {
        return -1;
    }
    return PySequence_Contains(keys.get(), key);
}

Ref node_get(PyObject* node, PyObject* key) {
    if (PyDict_CheckExact(node)) {
        PyObject* value = PyDict_GetItemWithError(node, key);
        if (value != nullptr) {
            return Ref::borrow(value);
        }
        if (!PyErr_Occurred()) {
            Ref args = Ref::steal(PyTuple_Pack(1, key));
            if (args) {
                PyErr_SetObject(PyExc_KeyError, args.get());
            }
        }
        return {};
    }
    return Ref::steal(PyObject_GetItem(node, key));
}

// ---------------------------------------------------------------------------
// Plain managers: a per-type cache, keyed on the type's version tag (which
// changes whenever the type or a base is modified), tells whether the class
// keeps our own checks; the instance dict is then read directly.

namespace {

constexpr int kCheckCount = 5;

struct TypeEntry {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    bool plain = false;
    NativeMethod* checks[kCheckCount] = {};
};

constexpr int kTypeCacheSize = 8;
TypeEntry type_cache[kTypeCacheSize];
int type_cache_next = 0;

bool has_valid_version(PyTypeObject* type) {
#if defined(Py_TPFLAGS_VALID_VERSION_TAG) && PY_VERSION_HEX < 0x030D0000
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0 && type->tp_version_tag != 0;
#else
    return type->tp_version_tag != 0;
#endif
}

// Whether every entry of the MRO is a type whose dict has only str keys.
bool mro_has_plain_keys(PyObject* mro) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro, i);
        if (!PyType_Check(base)) {
            return false;
        }
        Ref dict = type_dict(reinterpret_cast<PyTypeObject*>(base));
        if (!dict || !PyDict_CheckExact(dict.get()) || !has_only_str_keys(dict.get())) {
            return false;
        }
    }
    return true;
}

// What the class attribute `name` is along a plain MRO (borrowed, NULL when
// absent).
PyObject* find_in_mro(PyObject* mro, PyObject* name) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        Ref dict = type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)));
        PyObject* value = dict ? PyDict_GetItemWithError(dict.get(), name) : nullptr;
        if (value != nullptr) {
            return value;
        }
    }
    return nullptr;
}

void classify_type(PyTypeObject* type, TypeEntry& entry) {
    entry.plain = false;
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_dictoffset == 0) {
        return;
    }
    // Held while it is read, and checked first, so that the lookups below
    // run no code that could replace it.
    Ref mro = Ref::borrow(type->tp_mro);
    if (!mro || !PyTuple_Check(mro.get()) || !mro_has_plain_keys(mro.get())) {
        PyErr_Clear();
        return;
    }
    const MethodSpec* const specs[kCheckCount] = {&spec_validate_arguments, &spec_validate_model,
                                                  &spec_validate_series, &spec_validate_os,
                                                  &spec_validate_chassis_type};
    PyObject* const names[kCheckCount] = {S.validate_arguments, S.validate_model, S.validate_series, S.validate_os,
                                          S.validate_chassis_type};
    for (int i = 0; i < kCheckCount; ++i) {
        PyObject* found = find_in_mro(mro.get(), names[i]);
        if (found == nullptr || Py_TYPE(found) != &NativeMethodType ||
            reinterpret_cast<NativeMethod*>(found)->spec != specs[i]) {
            return;
        }
        entry.checks[i] = reinterpret_cast<NativeMethod*>(found);
    }
    for (PyObject* name : {S._plugins, S.supported_os, S.chassis_type_list}) {
        if (find_in_mro(mro.get(), name) != nullptr) {
            return;
        }
    }
    entry.plain = true;
}

const TypeEntry* type_entry(PyTypeObject* type) {
    if (!has_valid_version(type)) {
        return nullptr;
    }
    const unsigned int version = type->tp_version_tag;
    for (const TypeEntry& entry : type_cache) {
        if (entry.type == type && entry.version == version) {
            return &entry;
        }
    }
    TypeEntry fresh;
    fresh.type = type;
    fresh.version = version;
    classify_type(type, fresh);
    if (!has_valid_version(type) || type->tp_version_tag != version) {
        return nullptr;
    }
    TypeEntry& slot = type_cache[type_cache_next];
    type_cache_next = (type_cache_next + 1) % kTypeCacheSize;
    slot = fresh;
    return &slot;
}

bool is_check_name(PyObject* key) {
    for (PyObject* name : {S.validate_arguments, S.validate_model, S.validate_series, S.validate_os,
                           S.validate_chassis_type}) {
        if (key == name || PyUnicode_Compare(key, name) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

namespace {

// The state last read from an instance dict, valid while that dict keeps the
// version it had: every change to any dict gives it a new, never reused
// version, so a match means the same dict, unchanged, still holding these
// objects. (Dict versions are readable up to Python 3.11.)
struct StateCache {
    PyObject* dict = nullptr;
    uint64_t version = 0;
    PyObject* plugins = nullptr;
    PyObject* supported_os = nullptr;
    PyObject* chassis_type_list = nullptr;
};
StateCache state_cache;

// The three state attributes of a plain instance dict, borrowed; false when
// the dict holds a check of its own or lacks one of them.
bool read_state(PyObject* dict, PyObject*& plugins, PyObject*& supported_os, PyObject*& chassis) {
#if PY_VERSION_HEX < 0x030C0000
    const uint64_t version = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
    if (state_cache.dict == dict && state_cache.version == version) {
        plugins = state_cache.plugins;
        supported_os = state_cache.supported_os;
        chassis = state_cache.chassis_type_list;
        return true;
    }
#endif
    // Other attributes are fine, as long as none replaces a check. Every key
    // must be an exact str, so that the lookups below run no __eq__.
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key) || (PyDict_GET_SIZE(dict) != 3 && is_check_name(key))) {
            return false;
        }
    }
    plugins = PyDict_GetItemWithError(dict, S._plugins);
    supported_os = plugins ? PyDict_GetItemWithError(dict, S.supported_os) : nullptr;
    chassis = supported_os ? PyDict_GetItemWithError(dict, S.chassis_type_list) : nullptr;
    if (chassis == nullptr) {
        return false;
    }
#if PY_VERSION_HEX < 0x030C0000
    state_cache = StateCache{dict, version, plugins, supported_os, chassis};
#endif
    return true;
}

}  // namespace

int view_plain_manager(PyObject* self, ManagerView& view) {
    const TypeEntry* known = type_entry(Py_TYPE(self));
    if (known == nullptr || !known->plain) {
        return 0;
    }
    // Making the instance dict (once per instance) may collect garbage and run
    // a finalizer that changes the class (a new version tag) or reuses the
    // cache slot: then ask the type cache again.
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) {
        return -1;
    }
    const TypeEntry* entry = known;
    PyTypeObject* type = Py_TYPE(self);
    if (entry->type != type || entry->version != type->tp_version_tag || !has_valid_version(type)) {
        entry = type_entry(type);
        if (entry == nullptr || !entry->plain) {
            return 0;
        }
    }
    PyObject* plugins = nullptr;
    PyObject* supported_os = nullptr;
    PyObject* chassis = nullptr;
    if (!PyDict_CheckExact(dict.get()) || !read_state(dict.get(), plugins, supported_os, chassis)) {
        return PyErr_Occurred() ? -1 : 0;
    }
    // Nothing ran since the entry was read, so its methods are still alive.
    view.plugins = Ref::borrow(plugins);
    view.supported_os = Ref::borrow(supported_os);
    view.chassis_type_list = Ref::borrow(chassis);
    for (int i = 0; i < 4; ++i) {
        view.checks[i] = Ref::borrow(reinterpret_cast<PyObject*>(entry->checks[i + 1]));
    }
    return 1;
}

// ---------------------------------------------------------------------------
// The module body.

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

const char kSampleDoc[] = " Sample implementation\n        ";

// `from <module_name> import name, ...` (level 1: relative to the package),
// binding each name in globals.
bool import_names(PyObject* globals, const char* module_name, std::initializer_list<const char*> names,
                  int level = 0) {
    Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!fromlist) {
        return false;
    }
    Py_ssize_t index = 0;
    for (const char* name : names) {
        PyObject* text = PyUnicode_InternFromString(name);
        if (text == nullptr) {
            return false;
        }
        PyTuple_SET_ITEM(fromlist.get(), index++, text);
    }
    Ref module = Ref::steal(PyImport_ImportModuleLevel(module_name, globals, nullptr, fromlist.get(), level));
    if (!module) {
        return false;
    }
    for (const char* name : names) {
        Ref value = import_from(module.get(), name);
        if (!value || PyDict_SetItemString(globals, name, value.get()) < 0) {
            return false;
        }
    }
    return true;
}

bool import_module_as_itself(PyObject* globals, const char* name) {
    Ref module = Ref::steal(PyImport_ImportModuleLevel(name, globals, nullptr, nullptr, 0));
    return module && PyDict_SetItemString(globals, name, module.get()) == 0;
}

// setuptools 80.9 to 81 warn on `import pkg_resources`; users of sorvex must
// not see that, so exactly that warning is ignored around exactly this import.
bool import_iter_entry_points(PyObject* globals) {
    Ref warnings = Ref::steal(PyImport_ImportModule("warnings"));
    if (!warnings) {
        return false;
    }
    Ref catcher = Ref::steal(PyObject_CallMethod(warnings.get(), "catch_warnings", nullptr));
    if (!catcher) {
        return false;
    }
    Ref entered = Ref::steal(PyObject_CallMethod(catcher.get(), "__enter__", nullptr));
    if (!entered) {
        return false;
    }
    bool imported = false;
    {
        Ref filterwarnings = Ref::steal(PyObject_GetAttrString(warnings.get(), "filterwarnings"));
        Ref args = Ref::steal(Py_BuildValue("(s)", "ignore"));
        Ref kwargs = Ref::steal(Py_BuildValue("{s:s,s:O}", "message", "pkg_resources is deprecated as an API",
                                              "category", PyExc_UserWarning));
        if (filterwarnings && args && kwargs) {
            Ref result = Ref::steal(PyObject_Call(filterwarnings.get(), args.get(), kwargs.get()));
            imported = result && import_names(globals, "pkg_resources", {"iter_entry_points"});
        }
    }
    if (imported) {
        Ref result = Ref::steal(PyObject_CallMethod(catcher.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
        return bool(result);
    }
    PendingError error;
    PyObject* value = error.value();
    Ref traceback = value ? Ref::steal(PyException_GetTraceback(value)) : Ref();
    Ref result = Ref::steal(PyObject_CallMethod(
        catcher.get(), "__exit__", "OOO", value ? reinterpret_cast<PyObject*>(Py_TYPE(value)) : Py_None,
        value ? value : Py_None, traceback ? traceback.get() : Py_None));
    if (result) {
        error.restore();
    }
    return false;
}

// Without pkg_resources (setuptools 82 and newer, or no setuptools at all),
// the host package's own iter_entry_points, built on importlib.metadata.
bool import_fallback_entry_points(PyObject* globals) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
        return false;
    }
    PyErr_Clear();
    return import_names(globals, "sorvex._entry_points", {"iter_entry_points"});
}

bool set_member(PyObject* namespace_dict, const MethodSpec& spec, PyObject* globals, PyObject* module_name) {
    Ref method = make_method(spec, globals, module_name);
    if (!method) {
        return false;
    }
    if (spec.is_static) {
        method = Ref::steal(PyStaticMethod_New(method.get()));
        if (!method) {
            return false;
        }
    }
    return PyDict_SetItemString(namespace_dict, spec.name, method.get()) == 0;
}

Ref create_class(PyObject* globals) {
    PyObject* module_name = PyDict_GetItemWithError(globals, S.__name__);
    if (module_name == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "module has no __name__");
        }
        return {};
    }
    Ref namespace_dict = Ref::steal(PyDict_New());
    Ref qualname = Ref::steal(PyUnicode_FromString("PluginManager"));
    Ref doc = Ref::steal(PyUnicode_FromString(kClassDoc));
    if (!namespace_dict || !qualname || !doc || PyDict_SetItemString(namespace_dict.get(), "__module__", module_name) < 0 ||
        PyDict_SetItemString(namespace_dict.get(), "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(namespace_dict.get(), "__doc__", doc.get()) < 0) {
        return {};
    }
    PyObject* ns = namespace_dict.get();
    if (!set_member(ns, spec_init, globals, module_name)) {
        return {};
    }
    // plugins = property(getter), then rebuilt by its .setter(setter)
    Ref getter = make_method(spec_plugins_get, globals, module_name);
    Ref setter = make_method(spec_plugins_set, globals, module_name);
    if (!getter || !setter) {
        return {};
    }
    Ref read_only =
        Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), getter.get()));
    if (!read_only) {
        return {};
    }
    Ref with_setter = Ref::steal(PyObject_CallMethod(read_only.get(), "setter", "O", setter.get()));
    if (!with_setter || PyDict_SetItemString(ns, "plugins", with_setter.get()) < 0) {
        return {};
    }
    for (const MethodSpec* spec :
         {&spec_validate_model, &spec_validate_series, &spec_validate_os, &spec_validate_chassis_type,
          &spec_validate_arguments, &spec_get_plugin, &spec_unregister_plugin, &spec_register_plugin,
          &spec_discover_builtin_plugins, &spec_discover_external_plugins, &spec_print_tree, &spec_repr}) {
        if (!set_member(ns, *spec, globals, module_name)) {
            return {};
        }
    }
    return Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", "PluginManager",
                                            reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns));
}

// Run when the module executes as the main program: registers a sample
// plugin on the shared manager.
bool run_demonstration(PyObject* globals) {
    if (!import_names(globals, "sorvex", {"__plugin_manager__"})) {
        return false;
    }
    PyObject* module_name = PyDict_GetItemWithError(globals, S.__name__);
    if (module_name == nullptr) {
        return false;
    }
    Ref sample_namespace = Ref::steal(Py_BuildValue("{s:O,s:s,s:s}", "__module__", module_name, "__qualname__",
                                                    "Sample", "__doc__", kSampleDoc));
    if (!sample_namespace) {
        return false;
    }
    Ref sample = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O", "Sample",
                                                  sample_namespace.get()));
    if (!sample || PyDict_SetItemString(globals, "Sample", sample.get()) < 0) {
        return false;
    }
    PyObject* manager = PyDict_GetItemString(globals, "__plugin_manager__");
    if (manager == nullptr) {
        PyErr_SetString(PyExc_NameError, "name '__plugin_manager__' is not defined");
        return false;
    }
    Ref manager_ref = Ref::borrow(manager);
    Ref talvo = Ref::steal(PyUnicode_FromString("talvo"));
    Ref t3z = Ref::steal(PyUnicode_FromString("t3z"));
    if (!talvo || !t3z) {
        return false;
    }
    // register_plugin(os="talvo", series="t3z", cls=Sample)
    PyObject* stack[] = {manager, talvo.get(), t3z.get(), sample.get()};
    Ref result = Ref::steal(PyObject_VectorcallMethod(S.register_plugin, stack, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                      S.kw_demo_register));
    return bool(result);
}

int module_exec(PyObject* module) {
    if (!ready_method_type() || !init_strings() || !init_param_tables()) {
        return -1;
    }
    PyObject* globals = PyModule_GetDict(module);
    if (globals == nullptr) {
        return -1;
    }
    const bool imported = import_module_as_itself(globals, "os") && import_module_as_itself(globals, "pkgutil") &&
                          import_module_as_itself(globals, "importlib") && import_names(globals, "sorvex", {"log"}) &&
                          import_names(globals, "sorvex.plugins", {"supported_chassis", "supported_os"}) &&
                          import_names(globals, "inspect", {"getfile"}) &&
                          import_names(globals, "errors", {"ConnectionInfraError"}, 1) &&
                          (import_iter_entry_points(globals) || import_fallback_entry_points(globals));
    if (!imported) {
        return -1;
    }
    Ref group = Ref::steal(PyUnicode_FromString("sorvex.plugins"));
    if (!group || PyDict_SetItemString(globals, "ENTRYPOINT_GROUP", group.get()) < 0) {
        return -1;
    }
    Ref plugin_manager = create_class(globals);
    if (!plugin_manager || PyDict_SetItemString(globals, "PluginManager", plugin_manager.get()) < 0) {
        return -1;
    }
    PyObject* name = PyDict_GetItemWithError(globals, S.__name__);
    if (name == nullptr) {
        return PyErr_Occurred() ? -1 : 0;
    }
    Ref main_name = Ref::steal(PyUnicode_FromString("__main__"));
    if (!main_name) {
        return -1;
    }
    const int is_main = PyObject_RichCompareBool(name, main_name.get(), Py_EQ);
    if (is_main < 0) {
        return -1;
    }
    if (is_main == 1 && !run_demonstration(globals)) {
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // The method type and the interned names are shared process-wide.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "pluginmanager",
    kModuleDoc,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace sorvex

PyMODINIT_FUNC PyInit_pluginmanager() { return PyModuleDef_Init(&sorvex::module_def); }
