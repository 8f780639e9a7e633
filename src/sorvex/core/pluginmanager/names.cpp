// names.cpp: makes and lets go the interned strings and keyword-name tuples
// of names.hpp.
#include "names.hpp"

#include <initializer_list>

namespace sorvex {

namespace {

bool intern(PyObject*& slot, const char* text) {
    slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

// A tuple of interned names: the same objects as the parameter names that
// binding compares keywords with by identity.
bool make_tuple(PyObject*& slot, std::initializer_list<const char*> texts) {
    slot = PyTuple_New(static_cast<Py_ssize_t>(texts.size()));
    Py_ssize_t index = 0;
    for (const char* text : texts) {
        PyObject* name = slot != nullptr ? PyUnicode_InternFromString(text) : nullptr;
        if (name == nullptr) {
            return false;
        }
        PyTuple_SET_ITEM(slot, index++, name);
    }
    return slot != nullptr;
}

}  // namespace

bool init_names(Names& names, Keywords& keywords) {
#define SORVEX_INTERN(field, text) \
    if (!intern(names.field, text)) return false;
    SORVEX_NAMES(SORVEX_INTERN)
#undef SORVEX_INTERN
#define SORVEX_MAKE_TUPLE(field, ...) \
    if (!make_tuple(keywords.field, __VA_ARGS__)) return false;
    SORVEX_KEYWORDS(SORVEX_MAKE_TUPLE)
#undef SORVEX_MAKE_TUPLE
    return true;
}

void clear_names(Names& names, Keywords& keywords) {
#define SORVEX_CLEAR_FIELD(field, ...) Py_CLEAR(keywords.field);
    SORVEX_KEYWORDS(SORVEX_CLEAR_FIELD)
#undef SORVEX_CLEAR_FIELD
#define SORVEX_CLEAR_NAME(field, text) Py_CLEAR(names.field);
    SORVEX_NAMES(SORVEX_CLEAR_NAME)
#undef SORVEX_CLEAR_NAME
}

}  // namespace sorvex
