// validation.cpp: the model and series name rules, the OS and chassis-type
// checks, and validate_arguments, which runs them in order through the
// instance so that a subclass or an instance attribute may replace any of
// them.
#include "validation.hpp"

namespace sorvex {

namespace {

enum : unsigned char { kLower = 1, kUpper = 2, kDigit = 4, kOther = 8 };

// The class of each ASCII character, as str.islower and str.isdigit see it.
struct AsciiClasses {
    unsigned char of[128];
    constexpr AsciiClasses() : of() {
        for (int c = 0; c < 128; ++c) {
            of[c] = c >= 'a' && c <= 'z' ? kLower : c >= 'A' && c <= 'Z' ? kUpper : c >= '0' && c <= '9' ? kDigit : kOther;
        }
    }
    constexpr unsigned char operator[](Py_UCS1 c) const { return of[c]; }
};
constexpr AsciiClasses kAsciiClass;

// name.islower() or name.isdigit(), asked through the name's own methods,
// the second only when the first is false.
SORVEX_OUT_OF_LINE int follows_name_rule_generally(const Names& names, PyObject* name) {
    for (PyObject* predicate : {names.islower, names.isdigit}) {
        Ref answer = Ref::from_new(PyObject_CallMethodObjArgs(name, predicate, nullptr));
        const int truth = answer ? PyObject_IsTrue(answer.get()) : -1;
        if (truth != 0) {
            return truth;
        }
    }
    return 0;
}

// name.islower() or name.isdigit(). An exact ASCII str is answered here,
// exactly as str answers; any other (a subclass, non-ASCII text) is asked
// through its own methods.
inline int follows_name_rule(const Names& names, PyObject* name) {
    if (PyUnicode_CheckExact(name) && !compat::str_ready(name)) {
        return -1;
    }
    if (PyUnicode_CheckExact(name) && PyUnicode_IS_ASCII(name)) {
        const Py_UCS1* text = PyUnicode_1BYTE_DATA(name);
        const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
        // The classes of all characters, or-ed together: islower() is "some
        // lower, no upper", isdigit() is "only digits, at least one".
        unsigned classes = 0;
        for (Py_ssize_t i = 0; i < length; ++i) {
            classes |= kAsciiClass[text[i]];
        }
        const bool is_lower = (classes & (kLower | kUpper)) == kLower;
        const bool is_digits = classes == kDigit;
        return (is_lower || is_digits) ? 1 : 0;
    }
    return follows_name_rule_generally(names, name);
}

// "data" names the chassis map of a node, so no series or model may take it.
bool is_reserved_name(const Names& names, PyObject* name) { return same_text(name, names.data); }

// The rule of series and model names: an absent name (None, or false) passes;
// a given one needs its parent given (`parent_given()`, asked only then: 1,
// 0, or -1 on error), must be a str other than "data", and islower() or
// isdigit().
template <typename ParentGiven>
bool check_name(Dispatch& dispatch, const NameMessages& messages, PyObject* name, ParentGiven parent_given) {
    if (name == Py_None) {
        return true;
    }
    int truth = is_true(name);
    if (truth <= 0) {
        return truth == 0;
    }
    truth = parent_given();
    if (truth < 0) {
        return false;
    }
    if (truth > 0 && PyUnicode_Check(name) && !is_reserved_name(dispatch.names(), name)) {
        const int follows = follows_name_rule(dispatch.names(), name);
        if (follows != 0) {
            return follows > 0;
        }
    }
    return refuse_name(dispatch, messages, truth > 0, name);
}

// A model needs `series and os`; a series needs `os is not None`.
bool check_model(Dispatch& dispatch, PyObject* os, PyObject* series, PyObject* model) {
    return check_name(dispatch, kModelMessages, model, [&] {
        const int truth = is_true(series);
        return truth > 0 ? is_true(os) : truth;
    });
}

bool check_series(Dispatch& dispatch, PyObject* os, PyObject* series) {
    return check_name(dispatch, kSeriesMessages, series, [&] { return os != Py_None ? 1 : 0; });
}

// `value in container` for an exact list or tuple of exact str and an exact
// str value, which runs no code: 1 or 0, and -1 (nothing raised) for any
// other container or value.
inline int plainly_contains(PyObject* container, PyObject* value) {
    if (!(PyList_CheckExact(container) || PyTuple_CheckExact(container)) || !PyUnicode_CheckExact(value)) {
        return -1;
    }
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(container);
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(container, i);
        if (item == value) {
            return 1;
        }
        if (!PyUnicode_CheckExact(item) || !compat::str_ready(item)) {
            PyErr_Clear();
            return -1;
        }
        if (same_text(item, value)) {
            return 1;
        }
    }
    return 0;
}

// `value in container`: searched here when that runs no code, else through
// the container's own `in`, off the quick route.
int contains(Dispatch& dispatch, PyObject* container, PyObject* value) {
    const int found = plainly_contains(container, value);
    if (found >= 0) {
        return found;
    }
    dispatch.leave_quick_route();
    return PySequence_Contains(container, value);
}

// On the quick route a non-empty exact str that a state list plainly holds
// passes at once, as the full check would let it, without the full check.
inline bool is_listed_quickly(Dispatch& dispatch, State list, PyObject* value) {
    return dispatch.quick() && is_true(value) > 0 && plainly_contains(dispatch.held_state(list), value) == 1;
}

bool check_os_fully(Dispatch& dispatch, PyObject* os) {
    const Names& names = dispatch.names();
    int truth = is_true(os);
    if (truth < 0) {
        return false;
    }
    if (truth) {
        Ref supported = dispatch.state(State::supported_os);
        const int known = supported ? contains(dispatch, supported.get(), os) : -1;
        if (known < 0) {
            return false;
        }
        if (!known) {
            // A value of the wrong type is refused here, before `"mocked" in
            // os` could fail with the interpreter's TypeError.
            if (!PyUnicode_Check(os)) {
                raise_os_message(dispatch, os);
                return false;
            }
            const int mocked = PySequence_Contains(os, names.mocked);
            if (mocked < 0) {
                return false;
            }
            if (!mocked) {
                // log.debug(...)
                dispatch.leave_quick_route();
                Ref log = lookup_global(dispatch.globals(), names.log);
                Ref debug = log ? Ref::from_new(PyObject_GetAttr(log.get(), names.debug)) : Ref();
                if (!debug) {
                    return false;
                }
                Ref message = TextBuilder().add_str(os).ascii(kOsNotBuiltIn).finish();
                return message && Ref::from_new(PyObject_CallFunctionObjArgs(debug.get(), message.get(), nullptr));
            }
        }
    }
    truth = is_true(os);
    if (truth == 0) {
        raise_os_message(dispatch, os);
    }
    return truth > 0;
}

bool check_chassis_type_fully(Dispatch& dispatch, PyObject* chassis_type) {
    const int truth = is_true(chassis_type);
    if (truth < 0) {
        return false;
    }
    if (truth) {
        Ref allowed = dispatch.state(State::chassis_type_list);
        const int known = allowed ? contains(dispatch, allowed.get(), chassis_type) : -1;
        if (known != 0) {
            return known > 0;
        }
    }
    raise_chassis_message(dispatch, chassis_type);
    return false;
}

inline bool check_os(Dispatch& dispatch, PyObject* os) {
    return is_listed_quickly(dispatch, State::supported_os, os) || check_os_fully(dispatch, os);
}

inline bool check_chassis_type(Dispatch& dispatch, PyObject* chassis_type) {
    return is_listed_quickly(dispatch, State::chassis_type_list, chassis_type) ||
           check_chassis_type_fully(dispatch, chassis_type);
}

// `os == "linux"`, by its truth value (the identity shortcut cannot differ:
// "linux" is an exact str).
int is_linux(const Names& names, PyObject* os) {
    return PyUnicode_CheckExact(os) ? same_text(os, names.linux) : PyObject_RichCompareBool(os, names.linux, Py_EQ);
}

// self.<member>(**dict(zip(keywords, values))) when a subclass or the
// instance overrides the check (its result is discarded), else the module's
// own check.
template <typename OwnCheck, typename... Values>
bool run_check(Dispatch& dispatch, Member member, PyObject* keywords, OwnCheck own_check, Values... values) {
    Ref check;
    if (!dispatch.resolve(member, check)) {
        return false;
    }
    if (!check) {
        return own_check();
    }
    PyObject* const args[] = {values...};
    return bool(Ref::from_new(compat::vectorcall(check.get(), args, 0, keywords)));
}

// The body of validate_arguments: each check reached through the instance,
// and passed its arguments by keyword.
bool run_checks(Dispatch& dispatch, const Description& d) {
    const Keywords& keywords = dispatch.keywords();
    PyObject* const os = d.os();
    PyObject* const series = d.series();
    if (!run_check(dispatch, Member::validate_model, keywords.model_check,
                   [&] { return check_model(dispatch, os, series, d.model()); }, os, series, d.model()) ||
        !run_check(dispatch, Member::validate_series, keywords.series_check,
                   [&] { return check_series(dispatch, os, series); }, series, os) ||
        !run_check(dispatch, Member::validate_os, keywords.os_check, [&] { return check_os(dispatch, os); }, os)) {
        return false;
    }
    const int linux = is_linux(dispatch.names(), os);
    if (linux != 0) {
        return linux > 0;
    }
    return run_check(dispatch, Member::validate_chassis_type, keywords.chassis_check,
                     [&] { return check_chassis_type(dispatch, d.chassis_type()); }, d.chassis_type());
}

PyObject* none_if(bool ok) { return ok ? Py_NewRef(Py_None) : nullptr; }

}  // namespace

// Refused: the class is looked up before the message is built.
SORVEX_OUT_OF_LINE bool refuse_name(Dispatch& dispatch, const NameMessages& messages, bool parent_given,
                                    PyObject* name) {
    InfraError error(dispatch.context());
    if (!error.found()) {
        return false;
    }
    if (!parent_given) {
        Ref message = TextBuilder(messages.without_parent).add_str(name).finish();
        error.raise(message.get());
    } else if (!PyUnicode_Check(name)) {
        error.raise(messages.not_text);
    } else if (is_reserved_name(dispatch.names(), name)) {
        error.raise(messages.reserved);
    } else {
        Ref message = Ref::from_new(PyUnicode_FromFormat(messages.wrong_case, name));
        error.raise(message.get());
    }
    return false;
}

namespace {

// Text[0] + str(listed) + text[1] + str(value), for the OS and the chassis type.
std::nullptr_t raise_not_listed(Dispatch& dispatch, const char* const text[2], State list, PyObject* value) {
    InfraError error(dispatch.context());
    if (!error.found()) {
        return nullptr;
    }
    Ref listed = dispatch.state(list);
    if (!listed) {
        return nullptr;
    }
    Ref message = TextBuilder(text[0]).add_str(listed.get()).ascii(text[1]).add_str(value).finish();
    return error.raise(message.get());
}

}  // namespace

std::nullptr_t raise_os_message(Dispatch& dispatch, PyObject* os) {
    return raise_not_listed(dispatch, kOsRefused, State::supported_os, os);
}

std::nullptr_t raise_chassis_message(Dispatch& dispatch, PyObject* chassis_type) {
    return raise_not_listed(dispatch, kChassisRefused, State::chassis_type_list, chassis_type);
}

bool validate_through_instance(Dispatch& dispatch, const Description& description) {
    Ref validate;
    if (!dispatch.resolve(Member::validate_arguments, validate)) {
        return false;
    }
    if (!validate) {
        return run_checks(dispatch, description);
    }
    PyObject* values[] = {description.os(), description.series(), description.model(), description.chassis_type()};
    return bool(Ref::from_new(compat::vectorcall(validate.get(), values, 4, nullptr)));
}

PyObject* validate_model_impl(const Context& context, PyObject* const* args) {
    Dispatch dispatch(args[0], context, args + 1, 3);
    return none_if(dispatch.ok() && check_model(dispatch, args[1], args[2], args[3]));
}

PyObject* validate_series_impl(const Context& context, PyObject* const* args) {
    Dispatch dispatch(args[0], context, args + 1, 2);
    return none_if(dispatch.ok() && check_series(dispatch, args[1], args[2]));
}

PyObject* validate_os_impl(const Context& context, PyObject* const* args) {
    Dispatch dispatch(args[0], context, args + 1, 1);
    return none_if(dispatch.ok() && check_os(dispatch, args[1]));
}

PyObject* validate_chassis_type_impl(const Context& context, PyObject* const* args) {
    Dispatch dispatch(args[0], context, args + 1, 1);
    return none_if(dispatch.ok() && check_chassis_type(dispatch, args[1]));
}

PyObject* validate_arguments_impl(const Context& context, PyObject* const* args) {
    Dispatch dispatch(args[0], context, args + 1, 4);
    return none_if(dispatch.ok() && run_checks(dispatch, Description{args + 1}));
}

}  // namespace sorvex
