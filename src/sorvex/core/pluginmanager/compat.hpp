// compat.hpp: every difference between the interpreter versions (CPython 3.7
// to 3.15) and between the platforms that the module is built for. Nothing
// else lives here, and no other file tests PY_VERSION_HEX or a platform.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

#if defined(_WIN32)
#include <intrin.h>
#include <windows.h>
#elif defined(__APPLE__) || defined(__linux__)
#include <pthread.h>
#endif

#if PY_VERSION_HEX < 0x030A0000
static inline PyObject* Py_NewRef(PyObject* object) {
    Py_INCREF(object);
    return object;
}
#endif

#if PY_VERSION_HEX < 0x03080000
#define PY_VECTORCALL_ARGUMENTS_OFFSET (static_cast<size_t>(1) << (8 * sizeof(size_t) - 1))
static inline Py_ssize_t PyVectorcall_NARGS(size_t nargsf) {
    return static_cast<Py_ssize_t>(nargsf & ~PY_VECTORCALL_ARGUMENTS_OFFSET);
}
#endif

namespace sorvex {
namespace compat {

// ---------------------------------------------------------------------------
// Calls

using VectorcallFunction = PyObject* (*)(PyObject* callable, PyObject* const* args, size_t nargsf,
                                         PyObject* kwnames);

inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
#elif PY_VERSION_HEX >= 0x03080000
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
#else
    return _PyObject_FastCallKeywords(callable, args, PyVectorcall_NARGS(nargsf), kwnames);
#endif
}

#if PY_VERSION_HEX < 0x03080000
// 3.7 knows no vectorcall for types of ours: a call arrives as a tuple and a
// dict, and is handed on in the vectorcall convention to the function stored
// at `Offset` in the callable.
template <Py_ssize_t Offset>
PyObject* call_by_tuple(PyObject* callable, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkwargs = kwargs != nullptr ? PyDict_GET_SIZE(kwargs) : 0;
    PyObject** stack = static_cast<PyObject**>(PyMem_Malloc(sizeof(PyObject*) * static_cast<size_t>(nargs + nkwargs + 1)));
    if (stack == nullptr) {
        return PyErr_NoMemory();
    }
    PyObject* kwnames = nkwargs != 0 ? PyTuple_New(nkwargs) : nullptr;
    PyObject* result = nullptr;
    if (nkwargs == 0 || kwnames != nullptr) {
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            stack[i] = PyTuple_GET_ITEM(args, i);
        }
        Py_ssize_t position = 0;
        Py_ssize_t index = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (kwnames != nullptr && PyDict_Next(kwargs, &position, &key, &value)) {
            Py_INCREF(key);
            PyTuple_SET_ITEM(kwnames, index, key);
            stack[nargs + index] = value;
            ++index;
        }
        const auto function = *reinterpret_cast<VectorcallFunction*>(reinterpret_cast<char*>(callable) + Offset);
        result = function(callable, stack, static_cast<size_t>(nargs), kwnames);
    }
    Py_XDECREF(kwnames);
    PyMem_Free(stack);
    return result;
}
#endif

// ---------------------------------------------------------------------------
// The method type

#if PY_VERSION_HEX < 0x030A0000
// Before 3.10 a heap type cannot be made immutable, so Python may give the
// method type a __new__ of its own, which would reach tp_alloc for an object
// that the module never filled. The module allocates its instances without
// tp_alloc; every other way in ends here.
inline PyObject* refuse_method_alloc(PyTypeObject* type, Py_ssize_t) {
    PyErr_Format(PyExc_TypeError, "%s objects are made by the module only", type->tp_name);
    return nullptr;
}
#endif

// The method type: a heap type made from a spec, for callables that carry a
// vectorcall function at `VectorcallOffset` and their weak references at
// `weaklist_offset`. It is a method descriptor where the interpreter supports
// one (3.8+), so that a call through an instance makes no bound method;
// Python can neither subclass it nor make instances of it. `own` holds the
// other slots. NULL with the error set on failure.
template <Py_ssize_t VectorcallOffset>
PyTypeObject* new_method_type(const char* name, size_t basicsize, Py_ssize_t weaklist_offset, const PyType_Slot* own,
                              size_t own_count) {
    constexpr size_t kMaxSlots = 16;
    constexpr size_t kAdded = 3;
    PyType_Slot slots[kMaxSlots] = {};
    if (own_count > kMaxSlots - kAdded - 1) {
        PyErr_SetString(PyExc_SystemError, "too many slots for the method type");
        return nullptr;
    }
    size_t count = 0;
    for (; count < own_count; ++count) {
        slots[count] = own[count];
    }
    unsigned int flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
#if PY_VERSION_HEX >= 0x03090000
    PyMemberDef members[] = {
        {"__vectorcalloffset__", Py_T_PYSSIZET, VectorcallOffset, Py_READONLY, nullptr},
        {"__weaklistoffset__", Py_T_PYSSIZET, weaklist_offset, Py_READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    slots[count++] = {Py_tp_members, members};  // copied into the type
    slots[count++] = {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)};
    flags |= Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
#elif PY_VERSION_HEX >= 0x03080000
    slots[count++] = {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)};
    flags |= _Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
#else
    slots[count++] = {Py_tp_call, reinterpret_cast<void*>(call_by_tuple<VectorcallOffset>)};
#endif
#if PY_VERSION_HEX >= 0x030A0000
    flags |= Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
    slots[count++] = {Py_tp_alloc, reinterpret_cast<void*>(refuse_method_alloc)};
#endif
    slots[count] = {0, nullptr};
    PyType_Spec spec = {name, static_cast<int>(basicsize), 0, flags, slots};
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
#if PY_VERSION_HEX < 0x03090000
    // What a spec cannot say before 3.9, set before any instance exists.
    if (type != nullptr) {
        type->tp_weaklistoffset = weaklist_offset;
#if PY_VERSION_HEX >= 0x03080000
        type->tp_vectorcall_offset = VectorcallOffset;
#endif
    }
#endif
#if PY_VERSION_HEX < 0x030A0000
    if (type != nullptr) {
        type->tp_new = nullptr;  // no instances from Python
    }
#endif
    return type;
}

// An instance of a heap type holds a reference to its type from 3.8 on:
// visited by the instance's traverse, let go by its dealloc.
inline int visit_instance_type(PyObject* self, visitproc visit, void* arg) {
#if PY_VERSION_HEX >= 0x03080000
    Py_VISIT(Py_TYPE(self));
#else
    (void)self;
    (void)visit;
    (void)arg;
#endif
    return 0;
}

inline void release_instance_type(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x03080000
    Py_DECREF(type);
#else
    (void)type;
#endif
}

// ---------------------------------------------------------------------------
// Exceptions

// The exception being raised, taken out (a new reference, normalised, with its
// traceback), or NULL when none is.
inline PyObject* take_raised() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Raises `value` (stolen) again.
inline void restore_raised(PyObject* value) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value);
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

// ---------------------------------------------------------------------------
// Types and strings

// A type's own attribute dict (a new reference).
inline PyObject* type_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyType_GetDict(type);
#else
    Py_XINCREF(type->tp_dict);
    return type->tp_dict;
#endif
}

// Whether the version tags given out so far still stand for what they stood
// for. From 3.11 on a tag is never given out twice. Before, the moment that
// sys._clear_type_cache() (or a wrap of the counter) takes every tag back,
// the numbering starts over, so that a class changed since may come back with
// the tag it had. That moment takes the tag of every type, `witness`
// included: a private type of the module's that nothing else looks up. So the
// tags stand while the witness still has the tag recorded as `witness_tag`
// (short of code that digs the witness out, from object's subclasses or the
// collector's referents of the module, and looks it up after a clear just
// when the counter stands at that number again).
inline bool tags_still_stand(PyTypeObject* witness, unsigned int witness_tag) {
#if PY_VERSION_HEX >= 0x030B0000
    (void)witness;
    (void)witness_tag;
    return true;
#else
    return witness_tag != 0 && (witness->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0 &&
           witness->tp_version_tag == witness_tag;
#endif
}

// The witness: a plain heap type with a class attribute of its own, whose
// lookup gives it a tag. NULL with the error set.
inline PyTypeObject* new_tag_witness() {
    PyType_Slot slots[] = {{0, nullptr}};
    PyType_Spec spec = {"sorvex.core.pluginmanager.tag_witness", static_cast<int>(sizeof(PyObject)), 0,
                        Py_TPFLAGS_DEFAULT, slots};
    PyObject* witness = PyType_FromSpec(&spec);
    if (witness != nullptr && PyObject_SetAttrString(witness, "tagged", Py_None) < 0) {
        Py_CLEAR(witness);
    }
    return reinterpret_cast<PyTypeObject*>(witness);
}

// Gives the witness a tag (a lookup of its own attribute, which runs no code
// unless the witness was tampered with) and returns it; 0 when it got none.
inline unsigned int tag_witness(PyTypeObject* witness) {
#if PY_VERSION_HEX >= 0x030B0000
    (void)witness;
    return 1;
#else
    PyObject* found = PyObject_GetAttrString(reinterpret_cast<PyObject*>(witness), "tagged");
    if (found == nullptr) {
        PyErr_Clear();
        return 0;
    }
    Py_DECREF(found);
    return (witness->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0 ? witness->tp_version_tag : 0;
#endif
}

// The type's version tag, which changes whenever the type or one of its bases
// is modified and is not given out again while the tags still stand (above);
// 0 when it has none.
inline unsigned int type_version(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    if (type->tp_version_tag == 0) {
        PyUnstable_Type_AssignVersionTag(type);
    }
    return type->tp_version_tag;
#else
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0 ? type->tp_version_tag : 0;
#endif
}

// Whether the characters of a str can be read directly: always, except for a
// string made by the legacy API before 3.12, which is readied here (false with
// MemoryError when that fails).
inline bool str_ready(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(text) == 0;
#else
    (void)text;
    return true;
#endif
}

// ---------------------------------------------------------------------------
// Dicts and weak references

// dict[key] as a strong reference: 1 with `value` set, 0 when absent (value
// NULL), -1 on error.
inline int dict_get_ref(PyObject* dict, PyObject* key, PyObject** value) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, value);
#else
    *value = PyDict_GetItemWithError(dict, key);
    if (*value != nullptr) {
        Py_INCREF(*value);
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
#endif
}

// Whether a weak reference still refers to `object`, which the caller holds.
// Runs no code.
inline bool refers_to(PyObject* weak_reference, PyObject* object) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* referent = nullptr;
    if (PyWeakref_GetRef(weak_reference, &referent) < 0) {
        PyErr_Clear();
        return false;
    }
    Py_XDECREF(referent);
    return referent == object;
#else
    return PyWeakref_GET_OBJECT(weak_reference) == object;
#endif
}

// ---------------------------------------------------------------------------
// Modules

// The module's init function, exported although the build hides every other
// symbol: PyMODINIT_FUNC says so itself only from 3.9 on.
#if PY_VERSION_HEX < 0x03090000 && (defined(__GNUC__) || defined(__clang__))
#define SORVEX_MODULE_INIT extern "C" __attribute__((visibility("default"))) PyObject*
#else
#define SORVEX_MODULE_INIT PyMODINIT_FUNC
#endif

// Module slots beyond Py_mod_exec. Everything the module makes lives in its
// module state, so every interpreter, with its own GIL too, may load it. It
// has not been tested without the GIL, so it says that it needs it.
#if PY_VERSION_HEX >= 0x030D0000
#define SORVEX_EXTRA_MODULE_SLOTS                                          \
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED}, \
        {Py_mod_gil, Py_MOD_GIL_USED},
#elif PY_VERSION_HEX >= 0x030C0000
#define SORVEX_EXTRA_MODULE_SLOTS \
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#else
#define SORVEX_EXTRA_MODULE_SLOTS
#endif

// ---------------------------------------------------------------------------
// The C stack

// The address range of the calling thread's stack, where the platform tells
// it (Linux, macOS and Windows, the platforms that wheels are built for).
inline bool thread_stack_bounds(uintptr_t& low, uintptr_t& high) {
#if defined(_WIN32)
    ULONG_PTR lowest = 0;
    ULONG_PTR highest = 0;
    GetCurrentThreadStackLimits(&lowest, &highest);
    low = static_cast<uintptr_t>(lowest);
    high = static_cast<uintptr_t>(highest);
    return high > low;
#elif defined(__APPLE__)
    pthread_t self = pthread_self();
    high = reinterpret_cast<uintptr_t>(pthread_get_stackaddr_np(self));
    low = high - pthread_get_stacksize_np(self);
    return high > low;
#elif defined(__linux__)
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
        return false;
    }
    void* start = nullptr;
    size_t size = 0;
    const bool known = pthread_attr_getstack(&attributes, &start, &size) == 0 && size != 0;
    pthread_attr_destroy(&attributes);
    low = reinterpret_cast<uintptr_t>(start);
    high = low + size;
    return known;
#else
    (void)low;
    (void)high;
    return false;
#endif
}

// A function off the common path, kept out of line so that its frame does not
// weigh on its callers.
#if defined(__GNUC__) || defined(__clang__)
#define SORVEX_OUT_OF_LINE __attribute__((noinline, cold))
#elif defined(_MSC_VER)
#define SORVEX_OUT_OF_LINE __declspec(noinline)
#else
#define SORVEX_OUT_OF_LINE
#endif

// An address in the calling function's stack frame.
#if defined(__GNUC__) || defined(__clang__)
#define SORVEX_STACK_ADDRESS() reinterpret_cast<uintptr_t>(__builtin_frame_address(0))
#else
#define SORVEX_STACK_ADDRESS() reinterpret_cast<uintptr_t>(_AddressOfReturnAddress())
#endif

}  // namespace compat
}  // namespace sorvex
