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

bool make_tuple(PyObject*& slot, std::initializer_list<PyObject*> items) {
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

bool init_names(Names& names, Keywords& keywords) {
#define SORVEX_INTERN(field, text) \
    if (!intern(names.field, text)) return false;
    SORVEX_NAMES(SORVEX_INTERN)
#undef SORVEX_INTERN
#define SORVEX_NAME_OF(field) names.field
#define SORVEX_MAKE_TUPLE(field, ...) \
    if (!make_tuple(keywords.field, {SORVEX_FOR_EACH(SORVEX_NAME_OF, __VA_ARGS__)})) return false;
#define SORVEX_FOR_EACH(F, ...) SORVEX_FE_N(__VA_ARGS__, SORVEX_FE3, SORVEX_FE2, SORVEX_FE1)(F, __VA_ARGS__)
#define SORVEX_FE_N(a, b, c, chosen, ...) chosen
#define SORVEX_FE1(F, a) F(a)
#define SORVEX_FE2(F, a, b) F(a), F(b)
#define SORVEX_FE3(F, a, b, c) F(a), F(b), F(c)
    SORVEX_KEYWORDS(SORVEX_MAKE_TUPLE)
#undef SORVEX_MAKE_TUPLE
#undef SORVEX_NAME_OF
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
