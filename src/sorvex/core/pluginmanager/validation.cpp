// Validation of a device description: the model and series name rules, the
// OS and chassis-type checks, and validate_arguments, which runs them in order
// through the instance so that a subclass or an instance attribute may
// replace any of them.
#include "pluginmanager.hpp"

namespace sorvex {

namespace {

const char kSeriesReserved[] = "Series cannot be named \"data\": \"data\" is reserved for plugin records";
const char kModelReserved[] = "Model cannot be named \"data\": \"data\" is reserved for plugin records";

// name.islower() or name.isdigit(), the second asked only when the first is
// false. Exact ASCII strings are answered here, exactly as str would; anything
// else (a subclass, non-ASCII text) is asked through its own methods.
int follows_name_rule(PyObject* name) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_CheckExact(name) && PyUnicode_READY(name) < 0) {
        return -1;
    }
#endif
    if (PyUnicode_CheckExact(name) && PyUnicode_IS_ASCII(name)) {
        const Py_UCS1* text = PyUnicode_1BYTE_DATA(name);
        const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
        bool has_lower = false;
        bool has_upper = false;
        bool all_digits = length > 0;
        for (Py_ssize_t i = 0; i < length; ++i) {
            const Py_UCS1 c = text[i];
            if (c >= 'a' && c <= 'z') {
                has_lower = true;
            } else if (c >= 'A' && c <= 'Z') {
                has_upper = true;
            }
            if (c < '0' || c > '9') {
                all_digits = false;
            }
        }
        return ((has_lower && !has_upper) || all_digits) ? 1 : 0;
    }
    for (PyObject* predicate : {S.islower, S.isdigit}) {
        Ref answer = Ref::steal(PyObject_CallMethodNoArgs(name, predicate));
        if (!answer) {
            return -1;
        }
        const int truth = PyObject_IsTrue(answer.get());
        if (truth != 0) {
            return truth;
        }
    }
    return 0;
}

// "data" names the chassis map of a node, so no series or model may take it.
// The text decides, whatever a str subclass's __eq__ says.
bool is_reserved_name(PyObject* name) { return same_text(name, S.data_key); }

PyObject* raise_os_message(NativeMethod* method, PyObject* self, PyObject* os) {
    Ref supported = Ref::steal(PyObject_GetAttr(self, S.supported_os));
    if (!supported) {
        return nullptr;
    }
    Ref message = TextBuilder("OS should be one of these ").add_str(supported.get()).text(" , but got ").add_str(os).finish();
    return raise_infra(method, message.get());
}

PyObject* validate_model_impl(NativeMethod* method, PyObject* const* args) {
    PyObject* os = args[1];
    PyObject* series = args[2];
    PyObject* model = args[3];
    int truth = is_true(model);
    if (truth <= 0) {
        return truth < 0 ? nullptr : Py_NewRef(Py_None);
    }
    truth = is_true(series);
    if (truth > 0) {
        truth = is_true(os);
    }
    if (truth < 0) {
        return nullptr;
    }
    if (truth == 0) {
        Ref message = TextBuilder("OS and Series are required for Model: ").add_str(model).finish();
        return raise_infra(method, message.get());
    }
    if (!PyUnicode_Check(model)) {
        return raise_infra(method, "Model should be of type str");
    }
    if (is_reserved_name(model)) {
        return raise_infra(method, kModelReserved);
    }
    const int follows = follows_name_rule(model);
    if (follows != 0) {
        return follows < 0 ? nullptr : Py_NewRef(Py_None);
    }
    Ref message = format_one(" Model (%s) has to be in lowecase", model);
    return raise_infra(method, message.get());
}

PyObject* validate_series_impl(NativeMethod* method, PyObject* const* args) {
    PyObject* os = args[1];
    PyObject* series = args[2];
    const int truth = is_true(series);
    if (truth <= 0) {
        return truth < 0 ? nullptr : Py_NewRef(Py_None);
    }
    if (os == Py_None) {
        Ref message = TextBuilder("OS information not provided for Series: ").add_str(series).finish();
        return raise_infra(method, message.get());
    }
    if (!PyUnicode_Check(series)) {
        return raise_infra(method, "Series should be of type str");
    }
    if (is_reserved_name(series)) {
        return raise_infra(method, kSeriesReserved);
    }
    const int follows = follows_name_rule(series);
    if (follows != 0) {
        return follows < 0 ? nullptr : Py_NewRef(Py_None);
    }
    Ref message = format_one("Series (%s) has to be in lowercase", series);
    return raise_infra(method, message.get());
}

// `value in container`. Exact lists and tuples of exact str are searched
// here, which runs no code outside this module; anything else goes through
// the container's own `in` and sets `outside_code`.
int contains(PyObject* container, PyObject* value, bool& outside_code) {
    if ((PyList_CheckExact(container) || PyTuple_CheckExact(container)) && PyUnicode_CheckExact(value)) {
        bool plain = true;
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(container);
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(container, i);
            if (item == value) {
                return 1;
            }
            if (!PyUnicode_CheckExact(item)) {
                plain = false;
                break;
            }
            if (same_text(item, value)) {
                return 1;
            }
        }
        if (plain) {
            return 0;
        }
    }
    outside_code = true;
    return PySequence_Contains(container, value);
}

// The OS check on an already read `supported_os` (NULL: read it when it is
// needed).
PyObject* check_os(NativeMethod* method, PyObject* self, PyObject* os, PyObject* supported, bool& outside_code) {
    int truth = is_true(os);
    if (truth < 0) {
        return nullptr;
    }
    if (truth) {
        Ref container = supported ? Ref::borrow(supported) : Ref::steal(PyObject_GetAttr(self, S.supported_os));
        if (!container) {
            return nullptr;
        }
        const int known = contains(container.get(), os, outside_code);
        if (known < 0) {
            return nullptr;
        }
        if (!known) {
            // A value of the wrong type is refused here, before `"mocked" in os`
            // could fail with the interpreter's TypeError.
            if (!PyUnicode_Check(os)) {
                return raise_os_message(method, self, os);
            }
            const int mocked = PySequence_Contains(os, S.mocked);
            if (mocked < 0) {
                return nullptr;
            }
            if (!mocked) {
                outside_code = true;
                Ref log = lookup_global(method, S.g_log);
                Ref debug = log ? Ref::steal(PyObject_GetAttr(log.get(), S.debug)) : Ref();
                Ref message =
                    debug ? format_one("%s is not part of the built-in list of supported OSes.", os) : Ref();
                Ref result = message ? Ref::steal(PyObject_CallOneArg(debug.get(), message.get())) : Ref();
                return result ? Py_NewRef(Py_None) : nullptr;
            }
        }
    }
    truth = is_true(os);
    if (truth < 0) {
        return nullptr;
    }
    if (!truth) {
        return raise_os_message(method, self, os);
    }
    Py_RETURN_NONE;
}

// The chassis-type check on an already read `chassis_type_list` (NULL: read
// it when it is needed).
PyObject* check_chassis_type(NativeMethod* method, PyObject* self, PyObject* chassis_type, PyObject* allowed,
                             bool& outside_code) {
    const int truth = is_true(chassis_type);
    if (truth < 0) {
        return nullptr;
    }
    if (truth) {
        Ref container = allowed ? Ref::borrow(allowed) : Ref::steal(PyObject_GetAttr(self, S.chassis_type_list));
        if (!container) {
            return nullptr;
        }
        const int known = contains(container.get(), chassis_type, outside_code);
        if (known < 0) {
            return nullptr;
        }
        if (known) {
            Py_RETURN_NONE;
        }
    }
    Ref container = Ref::steal(PyObject_GetAttr(self, S.chassis_type_list));
    if (!container) {
        return nullptr;
    }
    Ref message = TextBuilder("chassis Type should be one of these ")
                      .add_str(container.get())
                      .text(", but got ")
                      .add_str(chassis_type)
                      .finish();
    return raise_infra(method, message.get());
}

PyObject* validate_os_impl(NativeMethod* method, PyObject* const* args) {
    bool outside_code = false;
    return check_os(method, args[0], args[1], nullptr, outside_code);
}

PyObject* validate_chassis_type_impl(NativeMethod* method, PyObject* const* args) {
    bool outside_code = false;
    return check_chassis_type(method, args[0], args[1], nullptr, outside_code);
}

// Runs one check through the instance: directly when it is our own,
// otherwise called with keyword arguments. `stack[0]` is self.
bool run_check(PyObject* self, PyObject* name, const MethodSpec& spec, PyObject* const* stack, PyObject* kwnames) {
    Resolved check;
    if (!resolve_method(self, name, spec, check)) {
        return false;
    }
    if (check.own != nullptr) {
        return bool(Ref::steal(spec.impl(check.own, stack)));
    }
    return bool(call_resolved(check, stack, 0, kwnames));
}

int is_linux(PyObject* os) {
    if (PyUnicode_CheckExact(os)) {
        return same_text(os, S.linux);
    }
    Ref equal = Ref::steal(PyObject_RichCompare(os, S.linux, Py_EQ));
    return equal ? PyObject_IsTrue(equal.get()) : -1;
}

// The end of validate_arguments: nothing more for OS "linux", else the
// chassis check; ours on the view's state when a view is given (setting
// `outside_code` as it does), otherwise reached through the instance.
bool check_chassis_unless_linux(PyObject* self, PyObject* os, PyObject* chassis_type, ManagerView* view,
                                bool& outside_code) {
    const int linux = is_linux(os);
    if (linux != 0) {
        return linux > 0;
    }
    if (view != nullptr) {
        return bool(Ref::steal(
            check_chassis_type(view->check(3), self, chassis_type, view->chassis_type_list.get(), outside_code)));
    }
    PyObject* stack[] = {self, chassis_type};
    return run_check(self, S.validate_chassis_type, spec_validate_chassis_type, stack, S.kw_chassis_type);
}

// The body of validate_arguments, each check reached through the instance.
bool checks_through_instance(PyObject* self, PyObject* os, PyObject* series, PyObject* model,
                             PyObject* chassis_type) {
    {
        // validate_model(os=os, series=series, model=model)
        PyObject* stack[] = {self, os, series, model};
        if (!run_check(self, S.validate_model, spec_validate_model, stack, S.kw_model_check)) {
            return false;
        }
    }
    {
        // validate_series(series=series, os=os); our own takes (self, os, series)
        Resolved check;
        if (!resolve_method(self, S.validate_series, spec_validate_series, check)) {
            return false;
        }
        if (check.own != nullptr) {
            PyObject* stack[] = {self, os, series};
            if (!Ref::steal(spec_validate_series.impl(check.own, stack))) {
                return false;
            }
        } else {
            PyObject* stack[] = {self, series, os};
            if (!call_resolved(check, stack, 0, S.kw_series_check)) {
                return false;
            }
        }
    }
    PyObject* stack[] = {self, os};
    if (!run_check(self, S.validate_os, spec_validate_os, stack, S.kw_os)) {
        return false;
    }
    bool outside_code = true;
    return check_chassis_unless_linux(self, os, chassis_type, nullptr, outside_code);
}

bool is_plain_value(PyObject* value) { return value == Py_None || PyUnicode_CheckExact(value); }

// validate_arguments for a plain manager and plain values: our own checks,
// called directly on the state in `view`. Until something outside this module
// runs (the debug record, a container's own `in`), nothing can have changed
// which checks apply, so none is looked up again; after that, the remaining
// steps go through the instance as usual.
bool checks_on_view(ManagerView& view, PyObject* self, PyObject* os, PyObject* series, PyObject* model,
                    PyObject* chassis_type, bool& outside_code) {
    {
        PyObject* stack[] = {self, os, series, model};
        if (!Ref::steal(validate_model_impl(view.check(0), stack))) {
            return false;
        }
    }
    {
        PyObject* stack[] = {self, os, series};
        if (!Ref::steal(validate_series_impl(view.check(1), stack))) {
            return false;
        }
    }
    if (!Ref::steal(check_os(view.check(2), self, os, view.supported_os.get(), outside_code))) {
        return false;
    }
    return check_chassis_unless_linux(self, os, chassis_type, outside_code ? nullptr : &view, outside_code);
}

PyObject* validate_arguments_entry(NativeMethod* /*method*/, PyObject* const* args) {
    if (!validate_description(args[0], args[1], args[2], args[3], args[4], false, nullptr)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

bool validate_description(PyObject* self, PyObject* os, PyObject* series,
                          PyObject* model, PyObject* chassis_type, bool through_instance, Ref* tree) {
    if (is_plain_value(os) && is_plain_value(series) && is_plain_value(model) && is_plain_value(chassis_type)) {
        ManagerView view;
        const int plain = view_plain_manager(self, view);
        if (plain < 0) {
            return false;
        }
        if (plain) {
            bool outside_code = false;
            if (!checks_on_view(view, self, os, series, model, chassis_type, outside_code)) {
                return false;
            }
            if (tree != nullptr && !outside_code) {
                *tree = std::move(view.plugins);
            }
            return true;
        }
    }
    if (!through_instance) {
        return checks_through_instance(self, os, series, model, chassis_type);
    }
    Resolved validate;
    if (!resolve_method(self, S.validate_arguments, spec_validate_arguments, validate)) {
        return false;
    }
    if (validate.own != nullptr) {
        return checks_through_instance(self, os, series, model, chassis_type);
    }
    PyObject* stack[] = {self, os, series, model, chassis_type};
    return bool(call_resolved(validate, stack, 4, nullptr));
}

MethodSpec spec_validate_model = {
    "validate_model", "\n         Validates Model\n        ", "(self, os, series, model)", 4, 4,
    {"self", "os", "series", "model"}, {}, validate_model_impl, false, {},
};

MethodSpec spec_validate_series = {
    "validate_series", "\n         Validates series\n        ", "(self, os, series)", 3, 3,
    {"self", "os", "series"}, {}, validate_series_impl, false, {},
};

MethodSpec spec_validate_os = {
    "validate_os", "\n         Validates OS\n        ", "(self, os)", 2, 2,
    {"self", "os"}, {}, validate_os_impl, false, {},
};

MethodSpec spec_validate_chassis_type = {
    "validate_chassis_type", "\n         Validate chassis\n        ", "(self, chassis_type)", 2, 2,
    {"self", "chassis_type"}, {}, validate_chassis_type_impl, false, {},
};

MethodSpec spec_validate_arguments = {
    "validate_arguments", " Validates the input arguments provided\n        ", "(self, os, series, model, chassis_type)",
    5, 5, {"self", "os", "series", "model", "chassis_type"}, {}, validate_arguments_entry, false, {},
};

}  // namespace sorvex
