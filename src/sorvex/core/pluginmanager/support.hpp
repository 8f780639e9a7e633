// support.hpp: the small tools every other file uses: Ref (an owned
// reference), PendingError (an exception held aside while other work runs),
// TextBuilder (text built the way Python's `+` builds it), the raising of
// ConnectionInfraError, late-bound module names, and exact shortcuts of a few
// operations on str.
#pragma once

#include "compat.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <utility>

namespace sorvex {

// ---------------------------------------------------------------------------
// An owned, move-only strong reference.
class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (NULL allowed: an empty Ref).
    static Ref from_new(PyObject* new_reference) noexcept { return Ref(new_reference); }
    // Takes a reference of its own to a borrowed object (NULL allowed).
    static Ref from_borrowed(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = object_;
            object_ = other.object_;
            other.object_ = nullptr;
            Py_XDECREF(old);  // last, so that a finalizer it runs sees a consistent Ref
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Gives the reference away (to a function that steals it, or as a result).
    PyObject* release() noexcept {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// ---------------------------------------------------------------------------
// The exception being raised, taken out so that other work can run, then
// raised again or dropped.
class PendingError {
public:
    PendingError() : value_(compat::take_raised()) {}
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
    ~PendingError() { Py_XDECREF(value_); }

    // Raises it again.
    void restore() {
        if (value_ != nullptr) {
            compat::restore_raised(value_);
            value_ = nullptr;
        }
    }

    // For an exception raised while this one was being handled: makes this
    // one its context, as raising inside an `except` block does, and leaves
    // the new one raised.
    void become_context_of_current() {
        PyObject* raised = compat::take_raised();
        if (raised != nullptr && value_ != nullptr && raised != value_) {
            PyException_SetContext(raised, value_);  // steals
            value_ = nullptr;
        }
        if (raised != nullptr) {
            compat::restore_raised(raised);
        }
    }

private:
    PyObject* value_;
};

// ---------------------------------------------------------------------------
// Characters in one block that grows by PyMem_Realloc, which can extend a
// large block in place. Allocation failures are std::bad_alloc, which the
// members' entry point turns into MemoryError.
template <typename Char>
class CharBuffer {
public:
    CharBuffer() = default;
    CharBuffer(CharBuffer&& other) noexcept { swap(other); }
    CharBuffer& operator=(CharBuffer&& other) noexcept {
        swap(other);  // what this held goes with `other`
        return *this;
    }
    ~CharBuffer() { PyMem_Free(data_); }

    template <typename From>
    void append(const From* from, size_t count) {
        if (capacity_ - size_ < count) {
            grow(count);
        }
        for (size_t i = 0; i < count; ++i) {  // a memcpy when the types agree
            data_[size_ + i] = static_cast<Char>(from[i]);
        }
        size_ += count;
    }
    const Char* data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void clear() { size_ = 0; }

private:
    void swap(CharBuffer& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }
    void grow(size_t count) {
        const size_t capacity = std::max({size_ + count, capacity_ * 2, size_t{64}});
        void* grown = capacity <= PY_SSIZE_T_MAX / sizeof(Char) ? PyMem_Realloc(data_, capacity * sizeof(Char)) : nullptr;
        if (grown == nullptr) {
            throw std::bad_alloc();
        }
        data_ = static_cast<Char*>(grown);
        capacity_ = capacity;
    }

    Char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// ---------------------------------------------------------------------------
// Text built left to right as Python's `a + b + c` builds it. While the text
// so far is an exact str, exact str pieces are copied into a buffer of ours
// (one byte a character while all are latin-1, four after) and become one
// str at the end, so that long texts take linear time. A start or a piece
// that is anything else goes through the generic `+` at the point where it
// arrives, so a str subclass's __add__ or __radd__ is honoured, and an object
// that is not text fails as it does in Python. Nothing is ever added in place
// to an object that the caller gave. After a failure every step is skipped
// and finish() returns NULL with the error set.
class TextBuilder {
public:
    TextBuilder() = default;
    explicit TextBuilder(const char* ascii) { this->ascii(ascii); }
    explicit TextBuilder(PyObject* start);

    // + an ASCII literal
    TextBuilder& ascii(const char* text, size_t length);
    TextBuilder& ascii(const char* text) { return ascii(text, std::strlen(text)); }
    // + piece, any object (NULL: making the piece failed, and its error stands)
    TextBuilder& add(PyObject* piece);
    // + str(value)
    TextBuilder& add_str(PyObject* value) { return failed_ ? *this : add(Ref::from_new(PyObject_Str(value)).get()); }
    // + text[start:end], the characters of a str of any type, while the text
    // so far is an exact str (as the plain rendering pass uses it).
    void append_slice(PyObject* text, Py_ssize_t start, Py_ssize_t end);

    // Whether the text so far is an exact str, in the buffer.
    bool exact() const { return !object_ && !failed_; }
    bool failed() const { return failed_; }
    // The text, or NULL with the error set.
    Ref finish();

private:
    void fail();

    CharBuffer<Py_UCS1> narrow_;  // latin-1 characters, while every one is
    CharBuffer<Py_UCS4> wide_;    // all of them, once one is not (narrow_ is then empty)
    Ref object_;                  // the text so far, when it is not an exact str in the buffer
    bool failed_ = false;
};

// ---------------------------------------------------------------------------
// Module-level names, looked up at the moment of use: the module namespace,
// then the built-ins; NameError when neither has the name.
Ref lookup_global(PyObject* globals, PyObject* name);

struct Context;  // state.hpp

// `raise ConnectionInfraError(message)` in Python's order: the class is looked
// up (late bound) before the message is built, since building it can run code
// that rebinds the name. Use:
//     InfraError error(context);
//     if (!error.found()) return nullptr;
//     Ref message = ...;
//     return error.raise(message.get());
class InfraError {
public:
    explicit InfraError(const Context& context);
    bool found() const { return bool(class_); }
    // Raises it with `message`; NULL means that building the message failed and
    // its error stands. Always returns nullptr.
    std::nullptr_t raise(PyObject* message);
    std::nullptr_t raise(const char* message) { return raise(Ref::from_new(PyUnicode_FromString(message)).get()); }

private:
    Ref class_;
};

// Python statements run in `globals`: a module's namespace, or a namespace of
// our own. False with the error set.
bool run_statements(PyObject* globals, const char* source);

// A fresh namespace, with the builtins of the module whose globals are given
// (not those of the caller, which may be a restricted exec), in which
// `source` (the definitions of Python functions) has run; empty with the
// error set.
Ref define_functions(PyObject* module_globals, const char* source);

// ---------------------------------------------------------------------------
// Exact shortcuts, for the types they shortcut; anything else goes the
// general way.

// PyObject_IsTrue, without a call for exact str and None.
inline int is_true(PyObject* value) {
    if (PyUnicode_CheckExact(value) && compat::str_ready(value)) {
        return PyUnicode_GET_LENGTH(value) != 0;
    }
    if (value == Py_None) {
        return 0;
    }
    return PyObject_IsTrue(value);
}

// Whether a str, of any type, holds the same text as an exact str; the text
// decides, whatever a subclass's __eq__ would say.
inline bool same_text(PyObject* text, PyObject* exact) {
    if (text == exact) {
        return true;
    }
    // Two interned strings are the same text only if they are one object.
    if (PyUnicode_CHECK_INTERNED(text) && PyUnicode_CHECK_INTERNED(exact)) {
        return false;
    }
    if (PyUnicode_CheckExact(text) && compat::str_ready(text)) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        return length == PyUnicode_GET_LENGTH(exact) && PyUnicode_KIND(text) == PyUnicode_KIND(exact) &&
               std::memcmp(PyUnicode_DATA(text), PyUnicode_DATA(exact),
                           static_cast<size_t>(length) * PyUnicode_KIND(text)) == 0;
    }
    return PyUnicode_Compare(text, exact) == 0;
}

// Whether every key of a dict is an exact str, so that looking a str up in it
// runs no __eq__ of a colliding key. Reads the dict only.
inline bool has_only_str_keys(PyObject* dict) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            return false;
        }
    }
    return true;
}

}  // namespace sorvex
