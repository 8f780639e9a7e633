// method.cpp: the NativeMethod type and its argument binding, which raises
// the interpreter's own TypeError wording.
#include "state.hpp"

#include <algorithm>
#include <array>
#include <new>
#include <utility>

namespace sorvex {

namespace {

const MemberRuntime& runtime_of(const NativeMethod* method) {
    return method->state->methods.members[static_cast<int>(method->spec->member)];
}

bool init_runtime(const MemberSpec& spec, MemberRuntime& out) {
    out.defaults = PyTuple_New(spec.param_count);
    Ref signature = Ref::from_new(PyList_New(0));
    if (out.defaults == nullptr || !signature) {
        return false;
    }
    out.required_count = 0;
    for (int i = 0; i < spec.param_count; ++i) {
        const Parameter& parameter = spec.params[i];
        out.params[i] = PyUnicode_InternFromString(parameter.name);
        if (out.params[i] == nullptr) {
            return false;
        }
        PyObject* value = Py_None;
        Py_INCREF(value);
        if (parameter.default_kind == Parameter::text) {
            Py_DECREF(value);
            value = PyUnicode_InternFromString(parameter.default_text);
            if (value == nullptr) {
                return false;
            }
        }
        PyTuple_SET_ITEM(out.defaults, i, value);
        if (parameter.default_kind == Parameter::required) {
            out.required_count = i + 1;
        }
        Ref entry = parameter.default_kind == Parameter::required
                        ? Ref::from_borrowed(out.params[i])
                        : Ref::from_new(PyUnicode_FromFormat("%U=%R", out.params[i], value));
        if (!entry || PyList_Append(signature.get(), entry.get()) < 0) {
            return false;
        }
    }
    Ref separator = Ref::from_new(PyUnicode_FromString(", "));
    Ref joined = separator ? Ref::from_new(PyUnicode_Join(separator.get(), signature.get())) : Ref();
    if (!joined) {
        return false;
    }
    out.text_signature = PyUnicode_FromFormat("(%U)", joined.get());
    out.name = PyUnicode_InternFromString(spec.name);
    out.qualname = PyUnicode_FromFormat("PluginManager.%s", spec.name);
    return out.text_signature != nullptr && out.name != nullptr && out.qualname != nullptr;
}

// ---------------------------------------------------------------------------
// Argument errors

PyObject* error_name(const MemberRuntime& member) {
    return compat::argument_error_name(member.name, member.qualname);
}

const char* plural(Py_ssize_t count) { return count == 1 ? "" : "s"; }

void raise_too_many_positional(const MemberRuntime& member, int param_count, Py_ssize_t given) {
    const char* was = given == 1 ? "was" : "were";
    if (member.required_count < param_count) {
        PyErr_Format(PyExc_TypeError, "%U() takes from %d to %d positional arguments but %zd %s given",
                     error_name(member), member.required_count, param_count, given, was);
    } else {
        PyErr_Format(PyExc_TypeError, "%U() takes %d positional argument%s but %zd %s given", error_name(member),
                     param_count, plural(param_count), given, was);
    }
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
void raise_missing(const MemberRuntime& member, PyObject* const* bound) {
    Ref quoted = Ref::from_new(PyList_New(0));
    if (!quoted) {
        return;
    }
    for (int i = 0; i < member.required_count; ++i) {
        if (bound[i] == nullptr) {
            Ref name = Ref::from_new(PyUnicode_FromFormat("'%U'", member.params[i]));
            if (!name || PyList_Append(quoted.get(), name.get()) < 0) {
                return;
            }
        }
    }
    const Py_ssize_t count = PyList_GET_SIZE(quoted.get());
    Ref text;
    if (count == 1) {
        text = Ref::from_borrowed(PyList_GET_ITEM(quoted.get(), 0));
    } else {
        Ref head_items = Ref::from_new(PyList_GetSlice(quoted.get(), 0, count - 1));
        Ref separator = Ref::from_new(PyUnicode_FromString(", "));
        Ref head = head_items && separator ? Ref::from_new(PyUnicode_Join(separator.get(), head_items.get())) : Ref();
        if (!head) {
            return;
        }
        text = Ref::from_new(PyUnicode_FromFormat(count == 2 ? "%U and %U" : "%U, and %U", head.get(),
                                                  PyList_GET_ITEM(quoted.get(), count - 1)));
    }
    if (text) {
        PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", error_name(member),
                     count, plural(count), text.get());
    }
}

// The interpreter's suggestion for a misspelt name: the candidate within the
// smallest edit distance, where a case change costs 1, any other edit 2, and
// no more than a third of the characters involved may change.
constexpr size_t kMoveCost = 2;
constexpr size_t kMaxSuggestedLength = 40;

size_t substitution_cost(char a, char b) {
    if ((a & 31) != (b & 31)) {
        return kMoveCost;
    }
    if (a == b) {
        return 0;
    }
    if ('A' <= a && a <= 'Z') {
        a = static_cast<char>(a + ('a' - 'A'));
    }
    if ('A' <= b && b <= 'Z') {
        b = static_cast<char>(b + ('a' - 'A'));
    }
    return a == b ? 1 : kMoveCost;
}

size_t edit_distance(const char* a, size_t a_size, const char* b, size_t b_size, size_t max_cost) {
    while (a_size != 0 && b_size != 0 && a[0] == b[0]) {
        ++a, --a_size, ++b, --b_size;
    }
    while (a_size != 0 && b_size != 0 && a[a_size - 1] == b[b_size - 1]) {
        --a_size, --b_size;
    }
    if (a_size == 0 || b_size == 0) {
        return (a_size + b_size) * kMoveCost;
    }
    if (a_size > kMaxSuggestedLength || b_size > kMaxSuggestedLength) {
        return max_cost + 1;
    }
    if (b_size < a_size) {
        std::swap(a, b);
        std::swap(a_size, b_size);
    }
    if ((b_size - a_size) * kMoveCost > max_cost) {
        return max_cost + 1;
    }
    size_t row[kMaxSuggestedLength];
    for (size_t i = 0; i < a_size; ++i) {
        row[i] = (i + 1) * kMoveCost;
    }
    size_t result = 0;
    for (size_t b_index = 0; b_index < b_size; ++b_index) {
        size_t distance = result = b_index * kMoveCost;
        size_t minimum = static_cast<size_t>(-1);
        for (size_t index = 0; index < a_size; ++index) {
            const size_t substitute = distance + substitution_cost(b[b_index], a[index]);
            distance = row[index];
            result = std::min(std::min(result, distance) + kMoveCost, substitute);
            row[index] = result;
            minimum = std::min(minimum, result);
        }
        if (minimum > max_cost) {
            return max_cost + 1;
        }
    }
    return result;
}

// The parameter name to suggest for `keyword`, or NULL (never an error).
PyObject* suggest_parameter(const MemberRuntime& member, int param_count, PyObject* keyword) {
    Py_ssize_t keyword_size = 0;
    const char* keyword_text = PyUnicode_AsUTF8AndSize(keyword, &keyword_size);
    if (keyword_text == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* best = nullptr;
    size_t best_distance = static_cast<size_t>(-1);
    for (int i = 0; i < param_count; ++i) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(member.params[i], &size);
        if (text == nullptr) {
            PyErr_Clear();
            return nullptr;
        }
        size_t max_distance = static_cast<size_t>(keyword_size + size + 3) * kMoveCost / 6;
        max_distance = std::min(max_distance, best_distance - 1);
        const size_t distance =
            edit_distance(keyword_text, static_cast<size_t>(keyword_size), text, static_cast<size_t>(size), max_distance);
        if (distance <= max_distance && (best == nullptr || distance < best_distance)) {
            best = member.params[i];
            best_distance = distance;
        }
    }
    return best;
}

void raise_unexpected_keyword(const MemberRuntime& member, int param_count, PyObject* keyword) {
    PyObject* suggestion = compat::kSuggestsKeywords ? suggest_parameter(member, param_count, keyword) : nullptr;
    if (suggestion != nullptr) {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                     error_name(member), keyword, suggestion);
    } else {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", error_name(member), keyword);
    }
}

int find_parameter(const MemberRuntime& member, int param_count, PyObject* keyword) {
    for (int i = 0; i < param_count; ++i) {
        if (member.params[i] == keyword) {
            return i;
        }
    }
    for (int i = 0; i < param_count; ++i) {
        if (PyUnicode_Compare(member.params[i], keyword) == 0) {
            return i;
        }
    }
    PyErr_Clear();
    return -1;
}

// Binds a vectorcall's arguments to the parameters, in the order in which
// the interpreter checks them: keywords, then the number of positional
// arguments, then missing ones. Compiled once per parameter count, so that
// the loops over the parameters unroll.
template <int Count>
bool bind_arguments(const MemberRuntime& member, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound) {
    for (int i = 0; i < Count; ++i) {
        bound[i] = i < nargs ? args[i] : nullptr;
    }
    const Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        // Keywords usually come in the order of the parameters, after the
        // positional arguments: that place is tried first.
        const Py_ssize_t in_order = nargs + k;
        const int index = in_order < Count && member.params[in_order] == keyword
                              ? static_cast<int>(in_order)
                              : find_parameter(member, Count, keyword);
        if (index < 0) {
            raise_unexpected_keyword(member, Count, keyword);
            return false;
        }
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", error_name(member), keyword);
            return false;
        }
        bound[index] = args[nargs + k];
    }
    if (nargs > Count) {
        raise_too_many_positional(member, Count, nargs);
        return false;
    }
    for (int i = 0; i < Count; ++i) {
        if (bound[i] == nullptr) {
            if (i < member.required_count) {
                raise_missing(member, bound);
                return false;
            }
            bound[i] = PyTuple_GET_ITEM(member.defaults, i);
        }
    }
    return true;
}

template <int Count>
PyObject* call_with_count(NativeMethod* method, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* bound[Count > 0 ? Count : 1] = {};
    if (!bind_arguments<Count>(runtime_of(method), args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {
        return nullptr;
    }
    const Context context{method->globals, *method->state};
    // No C++ exception may reach the interpreter; the only ones our code can
    // meet are allocation failures in standard containers.
    try {
        return method->spec->impl(context, bound);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// ---------------------------------------------------------------------------
// The type

using CallWithCount = PyObject* (*)(NativeMethod*, PyObject* const*, size_t, PyObject*);

template <int... Counts>
constexpr std::array<CallWithCount, sizeof...(Counts)> calls_by_count(std::integer_sequence<int, Counts...>) {
    return {call_with_count<Counts>...};
}

// call_with_count<N> for every parameter count N from 0 to kMaxParams.
constexpr auto kCallByCount = calls_by_count(std::make_integer_sequence<int, kMaxParams + 1>());

PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* method = reinterpret_cast<NativeMethod*>(callable);
    return kCallByCount[method->spec->param_count](method, args, nargsf, kwnames);
}

// A method holds its module and namespace until it is freed: the garbage
// collector breaks a cycle through them at the module or its namespace, never
// here, so that a method called while its cycle is collected finds both.
int method_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* method = reinterpret_cast<NativeMethod*>(self);
    Py_VISIT(method->module);
    Py_VISIT(method->globals);
    return compat::visit_instance_type(self, visit, arg);
}

void method_dealloc(PyObject* self) {
    auto* method = reinterpret_cast<NativeMethod*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (method->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    Py_CLEAR(method->globals);
    Py_CLEAR(method->module);
    PyObject_GC_Del(self);
    compat::release_instance_type(type);
}

// A plain function's __get__: itself through the class, bound through an
// instance.
PyObject* method_descr_get(PyObject* self, PyObject* instance, PyObject* /*owner*/) {
    if (instance == nullptr || instance == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, instance);
}

PyObject* method_repr(PyObject* self) {
    return PyUnicode_FromFormat("<native method %U>", runtime_of(reinterpret_cast<NativeMethod*>(self)).qualname);
}

PyObject* get_doc(PyObject* self, void*) {
    const char* doc = reinterpret_cast<NativeMethod*>(self)->spec->doc;
    if (doc == nullptr) {
        Py_RETURN_NONE;
    }
    return PyUnicode_FromString(doc);
}

PyObject* get_text_signature(PyObject* self, void*) {
    return Py_NewRef(runtime_of(reinterpret_cast<NativeMethod*>(self)).text_signature);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(runtime_of(reinterpret_cast<NativeMethod*>(self)).name); }

PyObject* get_qualname(PyObject* self, void*) {
    return Py_NewRef(runtime_of(reinterpret_cast<NativeMethod*>(self)).qualname);
}

// (__module__ comes from the type: the module's dotted name.)
const PyGetSetDef method_getset[] = {
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* make_type() {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
        {Py_tp_traverse, reinterpret_cast<void*>(method_traverse)},
        {Py_tp_getset, const_cast<PyGetSetDef*>(method_getset)},
        {Py_tp_descr_get, reinterpret_cast<void*>(method_descr_get)},
    };
    return compat::new_method_type<offsetof(NativeMethod, vectorcall)>(
        "sorvex.core.pluginmanager.native_method", sizeof(NativeMethod), offsetof(NativeMethod, weakrefs), slots,
        sizeof(slots) / sizeof(slots[0]));
}

}  // namespace

bool init_methods(MethodTable& table) {
    table.type = make_type();
    if (table.type == nullptr) {
        return false;
    }
    for (int i = 0; i < kMemberCount; ++i) {
        if (!init_runtime(kMembers[i], table.members[i])) {
            return false;
        }
    }
    return true;
}

void clear_methods(MethodTable& table) {
    for (MemberRuntime& member : table.members) {
        for (PyObject*& param : member.params) {
            Py_CLEAR(param);
        }
        Py_CLEAR(member.defaults);
        Py_CLEAR(member.name);
        Py_CLEAR(member.qualname);
        Py_CLEAR(member.text_signature);
    }
    Py_CLEAR(table.type);
}

int traverse_methods(const MethodTable& table, visitproc visit, void* arg) {
    Py_VISIT(table.type);
    return 0;
}

Ref make_method(ModuleState& state, Member member, PyObject* module, PyObject* globals) {
    NativeMethod* method = PyObject_GC_New(NativeMethod, state.methods.type);
    if (method == nullptr) {
        return {};
    }
    method->vectorcall = method_vectorcall;
    method->spec = &spec_of(member);
    method->state = &state;
    method->module = Py_NewRef(module);
    method->globals = Py_NewRef(globals);
    method->weakrefs = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(method));
    return Ref::from_new(reinterpret_cast<PyObject*>(method));
}

}  // namespace sorvex
