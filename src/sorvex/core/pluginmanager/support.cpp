// support.cpp: the text builder, late-bound module names, the raising of
// ConnectionInfraError, and the running of the module's own Python code.
#include "support.hpp"

#include "state.hpp"

namespace sorvex {

// ---------------------------------------------------------------------------
// TextBuilder

TextBuilder::TextBuilder(PyObject* start) {
    if (!PyUnicode_CheckExact(start)) {
        object_ = Ref::from_borrowed(start);
    } else if (compat::str_ready(start)) {
        append_slice(start, 0, PyUnicode_GET_LENGTH(start));
    } else {
        fail();
    }
}

void TextBuilder::fail() {
    failed_ = true;
    narrow_.clear();
    wide_.clear();
    object_ = Ref();
}

TextBuilder& TextBuilder::ascii(const char* text, size_t length) {
    if (object_) {
        return add(Ref::from_new(PyUnicode_DecodeASCII(text, static_cast<Py_ssize_t>(length), nullptr)).get());
    }
    if (!failed_ && wide_.empty()) {
        narrow_.append(text, length);
    } else if (!failed_) {
        wide_.append(text, length);
    }
    return *this;
}

void TextBuilder::append_slice(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
    if (failed_ || end <= start) {
        return;
    }
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    if (kind == PyUnicode_1BYTE_KIND && wide_.empty()) {
        narrow_.append(static_cast<const Py_UCS1*>(data) + start, static_cast<size_t>(end - start));
        return;
    }
    if (wide_.empty()) {  // the first character beyond latin-1
        wide_.append(narrow_.data(), narrow_.size());
        narrow_.clear();
    }
    const size_t count = static_cast<size_t>(end - start);
    if (kind == PyUnicode_1BYTE_KIND) {
        wide_.append(static_cast<const Py_UCS1*>(data) + start, count);
    } else if (kind == PyUnicode_2BYTE_KIND) {
        wide_.append(static_cast<const Py_UCS2*>(data) + start, count);
    } else {
        wide_.append(static_cast<const Py_UCS4*>(data) + start, count);
    }
}

TextBuilder& TextBuilder::add(PyObject* piece) {
    if (failed_ || piece == nullptr) {
        fail();  // a piece that could not be made leaves its error standing
        return *this;
    }
    if (!object_ && PyUnicode_CheckExact(piece)) {
        if (compat::str_ready(piece)) {
            append_slice(piece, 0, PyUnicode_GET_LENGTH(piece));
        } else {
            fail();
        }
        return *this;
    }
    Ref left = object_ ? std::move(object_) : finish();
    Ref sum = left ? Ref::from_new(PyNumber_Add(left.get(), piece)) : Ref();
    if (!sum) {
        fail();
    } else if (PyUnicode_CheckExact(sum.get()) && compat::str_ready(sum.get())) {
        append_slice(sum.get(), 0, PyUnicode_GET_LENGTH(sum.get()));  // back to the buffer
    } else {
        object_ = std::move(sum);
    }
    return *this;
}

Ref TextBuilder::finish() {
    if (failed_) {
        return {};
    }
    const bool wide = !wide_.empty();
    Ref text = object_ ? std::move(object_)
                       : Ref::from_new(PyUnicode_FromKindAndData(
                             wide ? PyUnicode_4BYTE_KIND : PyUnicode_1BYTE_KIND,
                             wide ? static_cast<const void*>(wide_.data()) : narrow_.data(),
                             static_cast<Py_ssize_t>(wide ? wide_.size() : narrow_.size())));
    narrow_.clear();
    wide_.clear();
    if (!text) {
        fail();
    }
    return text;
}

// ---------------------------------------------------------------------------
// Module-level names and errors

namespace {

// "__builtins__" (empty with the error set).
Ref builtins_key() { return Ref::from_new(PyUnicode_InternFromString("__builtins__")); }

// The builtins that code of the module sees, as a Python function of a module
// does: its globals' `__builtins__` (a module stands for its dict), or, where
// that is missing or no dict, the builtins of the running code. Held, since
// whatever runs next may rebind `__builtins__`; empty with the error set.
Ref builtins_of(PyObject* globals) {
    Ref key = builtins_key();
    PyObject* found = key ? PyDict_GetItemWithError(globals, key.get()) : nullptr;
    Ref builtins = Ref::from_borrowed(found);
    if (builtins && PyModule_Check(builtins.get())) {
        builtins = Ref::from_borrowed(PyModule_GetDict(builtins.get()));
    }
    if (builtins && PyDict_Check(builtins.get())) {
        return builtins;
    }
    if (PyErr_Occurred()) {
        return {};
    }
    builtins = Ref::from_borrowed(PyEval_GetBuiltins());
    if (!builtins && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "no builtins to run Python code with");
    }
    return builtins;
}

}  // namespace

Ref lookup_global(PyObject* globals, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (value != nullptr) {
        return Ref::from_borrowed(value);
    }
    Ref builtins = PyErr_Occurred() ? Ref() : builtins_of(globals);
    if (!builtins) {
        return {};
    }
    value = PyDict_GetItemWithError(builtins.get(), name);
    if (value != nullptr) {
        return Ref::from_borrowed(value);
    }
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return {};
}

InfraError::InfraError(const Context& context)
    : class_(lookup_global(context.globals, context.state.names.ConnectionInfraError)) {}

std::nullptr_t InfraError::raise(PyObject* message) {
    if (!class_ || message == nullptr) {
        return nullptr;
    }
    PyObject* args[] = {message};
    Ref error = Ref::from_new(compat::vectorcall(class_.get(), args, 1, nullptr));
    if (!error) {
        return nullptr;
    }
    // `raise error`: an instance is raised as it is, a class is instantiated.
    if (PyExceptionInstance_Check(error.get())) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    } else if (PyExceptionClass_Check(error.get())) {
        PyErr_SetNone(error.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Python code of our own

// The code runs with the builtins of `globals` (see builtins_of), which are
// set there when it has none: 3.7 would otherwise give it almost none.
bool run_statements(PyObject* globals, const char* source) {
    Ref code = Ref::from_new(Py_CompileString(source, "<sorvex.core.pluginmanager>", Py_file_input));
    Ref builtins = code ? builtins_of(globals) : Ref();
    Ref key = builtins ? builtins_key() : Ref();
    if (!key || PyDict_SetDefault(globals, key.get(), builtins.get()) == nullptr) {
        return false;
    }
    return bool(Ref::from_new(PyEval_EvalCode(code.get(), globals, globals)));
}

Ref define_functions(PyObject* module_globals, const char* source) {
    Ref builtins = builtins_of(module_globals);
    Ref scope = builtins ? Ref::from_new(PyDict_New()) : Ref();
    if (!scope || PyDict_SetItemString(scope.get(), "__builtins__", builtins.get()) < 0 ||
        !run_statements(scope.get(), source)) {
        return {};
    }
    return scope;
}

}  // namespace sorvex
