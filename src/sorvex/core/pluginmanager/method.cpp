// method.cpp: the NativeMethod type and its argument binding. Arguments that
// do not fit are handed to a Python function with the member's signature, so
// that the interpreter itself words the TypeError.
#include "state.hpp"

#include <array>
#include <new>
#include <string>
#include <utility>

namespace sorvex {

namespace {

MemberRuntime& runtime_of(const NativeMethod* method) {
    return method->state->methods.members[static_cast<int>(method->spec->member)];
}

// `def <name><text signature>: pass`, named like the member: a Python
// function that takes exactly the member's arguments. A call that the member
// refuses is made again to it, so that the interpreter raises its own
// TypeError, in its own words for the version at hand.
PyObject* make_signature_function(PyObject* globals, const char* name, PyObject* text_signature,
                                  PyObject* qualname) {
    Ref source = Ref::from_new(PyUnicode_FromFormat("def %s%U:\n    pass\n", name, text_signature));
    const char* text = source ? PyUnicode_AsUTF8(source.get()) : nullptr;
    Ref scope = text ? define_functions(globals, text) : Ref();
    PyObject* function = scope ? PyDict_GetItemString(scope.get(), name) : nullptr;
    if (function == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "a signature function was not defined");
        }
        return nullptr;
    }
    Py_INCREF(function);
    if (PyObject_SetAttrString(function, "__qualname__", qualname) < 0) {
        Py_DECREF(function);
        return nullptr;
    }
    return function;
}

bool init_runtime(const MemberSpec& spec, MemberRuntime& out) {
    out.defaults = PyTuple_New(spec.param_count);
    if (out.defaults == nullptr) {
        return false;
    }
    std::string signature = "(";
    out.required_count = 0;
    for (int i = 0; i < spec.param_count; ++i) {
        const Parameter& parameter = spec.params[i];
        const bool text = parameter.default_kind == Parameter::text;
        out.params[i] = PyUnicode_InternFromString(parameter.name);
        PyObject* value = text ? PyUnicode_InternFromString(parameter.default_text) : Py_NewRef(Py_None);
        if (value != nullptr) {
            PyTuple_SET_ITEM(out.defaults, i, value);
        }
        if (out.params[i] == nullptr || value == nullptr) {
            return false;
        }
        signature += (i > 0 ? ", " : "") + std::string(parameter.name);
        if (parameter.default_kind == Parameter::required) {
            out.required_count = i + 1;
        } else {
            signature += text ? "='" + std::string(parameter.default_text) + "'" : std::string("=None");
        }
    }
    out.text_signature = PyUnicode_FromString((signature + ")").c_str());
    out.name = PyUnicode_InternFromString(spec.name);
    out.qualname = PyUnicode_FromFormat("PluginManager.%s", spec.name);
    return out.text_signature != nullptr && out.name != nullptr && out.qualname != nullptr;
}

int find_parameter(const MemberRuntime& member, int param_count, PyObject* keyword) {
    for (int i = 0; i < param_count; ++i) {
        if (same_text(keyword, member.params[i])) {
            return i;
        }
    }
    PyErr_Clear();  // a comparison that failed found nothing
    return -1;
}

// Binds a vectorcall's arguments to the parameters; false, with nothing
// raised, for arguments that do not fit them. Compiled once per parameter
// count, so that the loops over the parameters unroll.
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
        const size_t in_order = static_cast<size_t>(nargs + k);
        const int index = in_order < static_cast<size_t>(Count) && member.params[in_order] == keyword
                              ? static_cast<int>(in_order)
                              : find_parameter(member, Count, keyword);
        if (index < 0 || bound[index] != nullptr) {
            return false;
        }
        bound[index] = args[nargs + k];
    }
    if (nargs > Count) {
        return false;
    }
    for (int i = 0; i < Count; ++i) {
        if (bound[i] == nullptr) {
            if (i < member.required_count) {
                return false;
            }
            bound[i] = PyTuple_GET_ITEM(member.defaults, i);
        }
    }
    return true;
}

// Arguments that the member refuses, given to its signature function (made
// at the first refusal): the interpreter raises its TypeError.
SORVEX_OUT_OF_LINE PyObject* refuse_arguments(NativeMethod* method, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
    MemberRuntime& member = runtime_of(method);
    if (member.signature == nullptr) {
        PyObject* made = make_signature_function(method->globals, method->spec->name, member.text_signature,
                                                 member.qualname);
        if (made == nullptr) {
            return nullptr;
        }
        // Making it may have run a finalizer that made it first.
        if (member.signature == nullptr) {
            member.signature = made;
        } else {
            Py_DECREF(made);
        }
    }
    if (Ref::from_new(compat::vectorcall(member.signature, args, static_cast<size_t>(nargs), kwnames))) {
        PyErr_SetString(PyExc_SystemError, "arguments refused by a member fit its signature");
    }
    return nullptr;
}

template <int Count>
PyObject* call_with_count(NativeMethod* method, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* bound[Count > 0 ? Count : 1] = {};
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!bind_arguments<Count>(runtime_of(method), args, nargs, kwnames, bound)) {
        return refuse_arguments(method, args, nargs, kwnames);
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
    return instance == nullptr || instance == Py_None ? Py_NewRef(self) : PyMethod_New(self, instance);
}

PyObject* method_repr(PyObject* self) {
    return PyUnicode_FromFormat("<native method %U>", runtime_of(reinterpret_cast<NativeMethod*>(self)).qualname);
}

PyObject* get_doc(PyObject* self, void*) {
    const char* doc = reinterpret_cast<NativeMethod*>(self)->spec->doc;
    return doc != nullptr ? PyUnicode_FromString(doc) : Py_NewRef(Py_None);
}

// One of the member's names or its signature, kept in its runtime.
template <PyObject* MemberRuntime::*Field>
PyObject* get_runtime_text(PyObject* self, void*) {
    return Py_NewRef(runtime_of(reinterpret_cast<NativeMethod*>(self)).*Field);
}

// (__module__ comes from the type: the module's dotted name.)
const PyGetSetDef method_getset[] = {
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", get_runtime_text<&MemberRuntime::text_signature>, nullptr, nullptr, nullptr},
    {"__name__", get_runtime_text<&MemberRuntime::name>, nullptr, nullptr, nullptr},
    {"__qualname__", get_runtime_text<&MemberRuntime::qualname>, nullptr, nullptr, nullptr},
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
        Py_CLEAR(member.signature);
    }
    Py_CLEAR(table.type);
}

int traverse_methods(const MethodTable& table, visitproc visit, void* arg) {
    Py_VISIT(table.type);  // the members' signature functions are not visited: see module_traverse
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
