// support.cpp: the text builder, late-bound module names, the raising of
// ConnectionInfraError, and the running of the module's own Python code.
#include "support.hpp"

#include "state.hpp"

#include <algorithm>

namespace sorvex {

// ---------------------------------------------------------------------------
// TextBuilder

namespace {

int kind_for(Py_UCS4 max_char) {
    return max_char <= 0xFF ? 1 : max_char <= 0xFFFF ? 2 : 4;
}

// Copies `count` characters of kind `from` to kind `to` (to >= from).
void widen_copy(unsigned char* target, int to, const void* source, int from, size_t count) {
    if (to == from) {
        std::memcpy(target, source, count * static_cast<size_t>(to));
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        const Py_UCS4 c = PyUnicode_READ(from, source, static_cast<Py_ssize_t>(i));
        PyUnicode_WRITE(to, target, static_cast<Py_ssize_t>(i), c);
    }
}

}  // namespace

TextBuilder::TextBuilder(PyObject* start) {
    if (PyUnicode_CheckExact(start)) {
        if (!compat::str_ready(start)) {
            fail();
            return;
        }
        append_slice(start, 0, PyUnicode_GET_LENGTH(start));
    } else {
        Py_INCREF(start);
        object_ = start;
    }
}

TextBuilder::TextBuilder(TextBuilder&& other) noexcept
    : data_(other.data_), length_(other.length_), capacity_(other.capacity_), kind_(other.kind_),
      max_char_(other.max_char_), object_(other.object_), failed_(other.failed_) {
    other.data_ = nullptr;
    other.object_ = nullptr;
    other.length_ = other.capacity_ = 0;
}

TextBuilder& TextBuilder::operator=(TextBuilder&& other) noexcept {
    if (this != &other) {
        PyMem_Free(data_);
        PyObject* old = object_;
        data_ = other.data_;
        length_ = other.length_;
        capacity_ = other.capacity_;
        kind_ = other.kind_;
        max_char_ = other.max_char_;
        object_ = other.object_;
        failed_ = other.failed_;
        other.data_ = nullptr;
        other.object_ = nullptr;
        other.length_ = other.capacity_ = 0;
        Py_XDECREF(old);
    }
    return *this;
}

TextBuilder::~TextBuilder() {
    PyMem_Free(data_);
    Py_XDECREF(object_);
}

void TextBuilder::fail() {
    failed_ = true;
    PyMem_Free(data_);
    data_ = nullptr;
    length_ = capacity_ = 0;
    Py_CLEAR(object_);
}

// Room for `more` characters of at least `kind`, widening what is there.
bool TextBuilder::reserve(size_t more, int kind) {
    const int new_kind = std::max(kind, kind_);
    if (more > PY_SSIZE_T_MAX - length_) {
        PyErr_NoMemory();
        fail();
        return false;
    }
    const size_t needed = length_ + more;
    if (new_kind == kind_ && needed <= capacity_) {
        return true;
    }
    const size_t capacity = std::max({needed, capacity_ * 2, size_t{64}});
    if (capacity > static_cast<size_t>(PY_SSIZE_T_MAX) / static_cast<size_t>(new_kind)) {
        PyErr_NoMemory();
        fail();
        return false;
    }
    if (new_kind == kind_) {
        void* grown = PyMem_Realloc(data_, capacity * static_cast<size_t>(kind_));
        if (grown == nullptr) {
            PyErr_NoMemory();
            fail();
            return false;
        }
        data_ = static_cast<unsigned char*>(grown);
    } else {
        auto* wider = static_cast<unsigned char*>(PyMem_Malloc(capacity * static_cast<size_t>(new_kind)));
        if (wider == nullptr) {
            PyErr_NoMemory();
            fail();
            return false;
        }
        if (length_ != 0) {
            widen_copy(wider, new_kind, data_, kind_, length_);
        }
        PyMem_Free(data_);
        data_ = wider;
        kind_ = new_kind;
    }
    capacity_ = capacity;
    return true;
}

void TextBuilder::append_ascii(const char* text, size_t length) {
    if (failed_ || !reserve(length, 1)) {
        return;
    }
    if (kind_ == 1) {
        std::memcpy(data_ + length_, text, length);
    } else {
        widen_copy(data_ + length_ * static_cast<size_t>(kind_), kind_, text, 1, length);
    }
    length_ += length;
}

void TextBuilder::append_slice(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
    if (failed_ || end <= start) {
        return;
    }
    const int kind = PyUnicode_KIND(text);
    // Every character of a canonical str of kind 2 or 4 needs that kind, and
    // a non-ASCII latin-1 one holds at least one character above 127.
    const Py_UCS4 max_char = std::max(max_char_, PyUnicode_MAX_CHAR_VALUE(text));
    const size_t count = static_cast<size_t>(end - start);
    if (!reserve(count, kind_for(max_char))) {
        return;
    }
    max_char_ = max_char;
    const auto* source = static_cast<const unsigned char*>(PyUnicode_DATA(text)) + static_cast<size_t>(start) * static_cast<size_t>(kind);
    widen_copy(data_ + length_ * static_cast<size_t>(kind_), kind_, source, kind, count);
    length_ += count;
}

// The buffer becomes a str object: the next piece is not an exact str, or
// the text so far is not.
bool TextBuilder::switch_to_object() {
    if (object_ != nullptr) {
        return true;
    }
    Ref text = finish();
    if (!text) {
        return false;
    }
    object_ = text.release();
    return true;
}

void TextBuilder::add_ascii_object(const char* text, size_t length) {
    if (failed_) {
        return;
    }
    Ref piece = Ref::from_new(PyUnicode_DecodeASCII(text, static_cast<Py_ssize_t>(length), nullptr));
    if (!piece) {
        fail();
        return;
    }
    add(piece.get());
}

TextBuilder& TextBuilder::add(PyObject* piece) {
    if (failed_) {
        return *this;
    }
    if (piece == nullptr) {  // the piece could not be made: its error stands
        fail();
        return *this;
    }
    if (object_ == nullptr && PyUnicode_CheckExact(piece)) {
        if (!compat::str_ready(piece)) {
            fail();
        } else {
            append_slice(piece, 0, PyUnicode_GET_LENGTH(piece));
        }
        return *this;
    }
    if (!switch_to_object()) {
        fail();
        return *this;
    }
    PyObject* sum = PyNumber_Add(object_, piece);
    Py_DECREF(object_);
    object_ = nullptr;
    if (sum == nullptr) {
        fail();
        return *this;
    }
    if (PyUnicode_CheckExact(sum) && compat::str_ready(sum)) {
        // Back to the buffer: the text is an exact str again.
        append_slice(sum, 0, PyUnicode_GET_LENGTH(sum));
        Py_DECREF(sum);
    } else {
        object_ = sum;
    }
    return *this;
}

TextBuilder& TextBuilder::add_str(PyObject* value) {
    if (!failed_) {
        Ref text = Ref::from_new(PyObject_Str(value));
        add(text.get());
    }
    return *this;
}

Ref TextBuilder::finish() {
    if (failed_) {
        return {};
    }
    if (object_ != nullptr) {
        PyObject* object = object_;
        object_ = nullptr;
        return Ref::from_new(object);
    }
    Ref text = Ref::from_new(PyUnicode_New(static_cast<Py_ssize_t>(length_), max_char_));
    if (!text) {
        fail();
        return {};
    }
    if (length_ != 0) {
        std::memcpy(PyUnicode_DATA(text.get()), data_, length_ * static_cast<size_t>(kind_));
    }
    PyMem_Free(data_);
    data_ = nullptr;
    length_ = capacity_ = 0;
    kind_ = 1;
    max_char_ = 127;
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
    Ref error = Ref::from_new(compat::call_one_arg(class_.get(), message));
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

std::nullptr_t InfraError::raise(const char* message) {
    if (!class_) {
        return nullptr;
    }
    Ref text = Ref::from_new(PyUnicode_FromString(message));
    return raise(text.get());
}

Ref format_one(const char* template_text, PyObject* value) {
    Ref format = Ref::from_new(PyUnicode_FromString(template_text));
    Ref operand = Ref::from_new(PyTuple_Pack(1, value));
    if (!format || !operand) {
        return {};
    }
    return Ref::from_new(PyUnicode_Format(format.get(), operand.get()));
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
