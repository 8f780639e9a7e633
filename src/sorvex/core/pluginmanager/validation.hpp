// validation.hpp: the checks of a device description, as the registry
// operations reach them.
#pragma once

#include "dispatch.hpp"
#include "messages.hpp"

namespace sorvex {

// The four values of a device description, read in place: usually the call's
// own bound arguments, which copying would only make slower to reach.
struct Description {
    PyObject* const* values;  // os, series, model, chassis_type

    PyObject* os() const { return values[0]; }
    PyObject* series() const { return values[1]; }
    PyObject* model() const { return values[2]; }
    PyObject* chassis_type() const { return values[3]; }
};

// `self.validate_arguments(os, series, model, chassis_type)`, reached through
// the instance. False with the error set when the description is refused.
bool validate_through_instance(Dispatch& dispatch, const Description& description);

// The refusals of a series or model name (with the messages of the one it
// is), of an OS and of a chassis type, also for the refusals of registration.
// Always false or NULL, with the error set.
bool refuse_name(Dispatch& dispatch, const NameMessages& messages, bool parent_given, PyObject* name);
std::nullptr_t raise_os_message(Dispatch& dispatch, PyObject* os);
std::nullptr_t raise_chassis_message(Dispatch& dispatch, PyObject* chassis_type);

}  // namespace sorvex
