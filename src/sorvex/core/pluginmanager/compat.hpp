// compat.hpp: every difference between the interpreter versions (CPython 3.7
// to 3.13) and between the platforms that the module is built for. Nothing
// else lives here, and no other file tests PY_VERSION_HEX or a platform.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#if defined(_WIN32)
#include <intrin.h>
#include <windows.h>
#elif defined(__APPLE__) || defined(__linux__) || defined(__FreeBSD__)
#include <pthread.h>
#if defined(__FreeBSD__)
#include <pthread_np.h>
#endif
#endif

#if PY_VERSION_HEX < 0x030A0000
static inline PyObject* Py_NewRef(PyObject* object) {
    Py_INCREF(object);
    return object;
}
#endif

#if PY_VERSION_HEX < 0x03090000
#define Py_SET_REFCNT(object, count) (reinterpret_cast<PyObject*>(object)->ob_refcnt = (count))
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

inline PyObject* call_no_args(PyObject* callable) { return vectorcall(callable, nullptr, 0, nullptr); }

inline PyObject* call_one_arg(PyObject* callable, PyObject* arg) {
    PyObject* args[] = {arg};
    return vectorcall(callable, args, 1, nullptr);
}

inline PyObject* call_method_no_args(PyObject* object, PyObject* name) {
    PyObject* method = PyObject_GetAttr(object, name);
    if (method == nullptr) {
        return nullptr;
    }
    PyObject* result = call_no_args(method);
    Py_DECREF(method);
    return result;
}

inline PyObject* call_method_one_arg(PyObject* object, PyObject* name, PyObject* arg) {
    PyObject* method = PyObject_GetAttr(object, name);
    if (method == nullptr) {
        return nullptr;
    }
    PyObject* result = call_one_arg(method, arg);
    Py_DECREF(method);
    return result;
}

#if PY_VERSION_HEX < 0x03080000
// 3.7 knows no vectorcall for types of ours: a call arrives as a tuple and a
// dict, and is handed on in the vectorcall convention.
inline Py_ssize_t& vectorcall_offset() {
    static Py_ssize_t offset = 0;
    return offset;
}

inline PyObject* call_by_tuple(PyObject* callable, PyObject* args, PyObject* kwargs) {
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
        const auto function =
            *reinterpret_cast<VectorcallFunction*>(reinterpret_cast<char*>(callable) + vectorcall_offset());
        result = function(callable, stack, static_cast<size_t>(nargs), kwnames);
    }
    Py_XDECREF(kwnames);
    PyMem_Free(stack);
    return result;
}
#endif

// Makes the type's instances callable through the function pointer stored at
// `offset` in each of them, as a method descriptor where the interpreter
// supports one (3.8+), so that a call through an instance makes no bound
// method.
inline void set_call_slots(PyTypeObject& type, Py_ssize_t offset) {
#if PY_VERSION_HEX >= 0x03090000
    type.tp_vectorcall_offset = offset;
    type.tp_call = PyVectorcall_Call;
    type.tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
#elif PY_VERSION_HEX >= 0x03080000
    type.tp_vectorcall_offset = offset;
    type.tp_call = PyVectorcall_Call;
    type.tp_flags |= _Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
#else
    vectorcall_offset() = offset;
    type.tp_call = call_by_tuple;
#endif
}

// How the interpreter names a function in argument errors: by its qualified
// name since 3.10.
inline PyObject* argument_error_name(PyObject* name, PyObject* qualname) {
#if PY_VERSION_HEX >= 0x030A0000
    (void)name;
    return qualname;
#else
    (void)qualname;
    return name;
#endif
}

// Since 3.13 an unexpected keyword close to a parameter name is answered
// with "Did you mean ...?".
constexpr bool kSuggestsKeywords = PY_VERSION_HEX >= 0x030D0000;

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

// A from-import that misses a name: the interpreter's own wording.
constexpr bool kNamesPartiallyInitializedModules = PY_VERSION_HEX >= 0x03080000;

// Since 3.12 the ImportError of a from-import records the missing name.
inline int set_import_error_name_from(PyObject* error, PyObject* name) {
#if PY_VERSION_HEX >= 0x030C0000
    return PyObject_SetAttrString(error, "name_from", name);
#else
    (void)error;
    (void)name;
    return 0;
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

// The type's version tag, which changes whenever the type or one of its bases
// is modified and is never reused; 0 when it has none.
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
// Dicts

// Noticing that one dict has not changed since it was last read, so that it
// need not be read again: remember_dict(d) after reading d, then
// dict_unchanged(d) is true until d changes or another dict is remembered.
// Up to 3.11 every change gives a dict a new version tag, and no two dicts
// ever share one. 3.11's specialised attribute store, though, drops an
// entry's old value before the tag changes, so code run by that drop would
// see the new value under the old tag; it only stores into combined tables,
// so on 3.11 only a split table (one whose values are apart from its keys,
// as an instance dict's are while it shares its class's keys) is trusted.
// 3.12 tells a dict watcher of every change before it happens, and of the
// dict's end. On 3.13.0 an attribute store on an instance whose dict exists
// can change that dict with neither, so from 3.13 on nothing is remembered.
#if PY_VERSION_HEX < 0x030C0000

struct RememberedDict {
    PyObject* dict = nullptr;  // compared, never dereferenced
    uint64_t version = 0;
};
inline RememberedDict remembered_dict;

inline bool version_tells_every_change(PyObject* dict) {
#if PY_VERSION_HEX >= 0x030B0000
    return reinterpret_cast<PyDictObject*>(dict)->ma_values != nullptr;
#else
    (void)dict;
    return true;
#endif
}

inline void watch_dicts() {}

inline void remember_dict(PyObject* dict) {
    remembered_dict.dict = version_tells_every_change(dict) ? dict : nullptr;
    remembered_dict.version = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

inline bool dict_unchanged(PyObject* dict) {
    return dict == remembered_dict.dict && reinterpret_cast<PyDictObject*>(dict)->ma_version_tag == remembered_dict.version &&
           version_tells_every_change(dict);
}

#elif PY_VERSION_HEX < 0x030D0000

// The module is loaded once per process, and its names and method type are
// shared by the whole process, so the watcher is registered once; the module
// does not support an interpreter that is finalised and started again.
inline int dict_watcher = -1;
inline PyObject* watched_dict = nullptr;     // carries our watch until its end or the next remember_dict
inline PyObject* remembered_dict = nullptr;  // unchanged since remember_dict (compared only)

inline int forget_changed_dict(PyDict_WatchEvent event, PyObject* dict, PyObject* /*key*/, PyObject* /*value*/) {
    if (dict == remembered_dict) {
        remembered_dict = nullptr;
    }
    if (event == PyDict_EVENT_DEALLOCATED && dict == watched_dict) {
        watched_dict = nullptr;
    }
    return 0;
}

// Registers the watcher. Without a free watcher slot nothing is remembered.
inline void watch_dicts() {
    if (dict_watcher < 0) {
        dict_watcher = PyDict_AddWatcher(forget_changed_dict);
        if (dict_watcher < 0) {
            PyErr_Clear();
        }
    }
}

inline void remember_dict(PyObject* dict) {
    remembered_dict = nullptr;
    if (dict_watcher < 0) {
        return;
    }
    if (dict != watched_dict) {
        if (watched_dict != nullptr && PyDict_Unwatch(dict_watcher, watched_dict) < 0) {
            PyErr_Clear();
        }
        watched_dict = nullptr;
        if (PyDict_Watch(dict_watcher, dict) < 0) {
            PyErr_Clear();
            return;
        }
        watched_dict = dict;
    }
    remembered_dict = dict;
}

inline bool dict_unchanged(PyObject* dict) { return dict == remembered_dict; }

#else

inline void watch_dicts() {}
inline void remember_dict(PyObject* /*dict*/) {}
inline bool dict_unchanged(PyObject* /*dict*/) { return false; }

#endif

// ---------------------------------------------------------------------------
// Modules

// The module's init function, exported although the build hides every other
// symbol: PyMODINIT_FUNC says so itself only from 3.9 on.
#if PY_VERSION_HEX < 0x03090000 && (defined(__GNUC__) || defined(__clang__))
#define SORVEX_MODULE_INIT extern "C" __attribute__((visibility("default"))) PyObject*
#else
#define SORVEX_MODULE_INIT PyMODINIT_FUNC
#endif

// Module slots beyond Py_mod_exec. The method type and the interned names are
// shared by the whole process, so other interpreters must not load the module.
#if PY_VERSION_HEX >= 0x030C0000
#define SORVEX_EXTRA_MODULE_SLOTS \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define SORVEX_EXTRA_MODULE_SLOTS
#endif

// ---------------------------------------------------------------------------
// The C stack

// The address range of the calling thread's stack, where the platform tells
// it.
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
#elif defined(__linux__) || defined(__FreeBSD__)
    pthread_attr_t attributes;
#if defined(__FreeBSD__)
    pthread_attr_init(&attributes);
    if (pthread_attr_get_np(pthread_self(), &attributes) != 0) {
        pthread_attr_destroy(&attributes);
        return false;
    }
#else
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
        return false;
    }
#endif
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
