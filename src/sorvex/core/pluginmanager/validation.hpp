// validation.hpp: the checks of a device description, as the registry
// operations reach them.
#pragma once

#include "dispatch.hpp"

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

// The OS and chassis messages, for the refusals of registration:
// "OS should be one of these " + str(self.supported_os) + " , but got " + str(os)
std::nullptr_t raise_os_message(Dispatch& dispatch, PyObject* os);
// "chassis Type should be one of these " + str(self.chassis_type_list) + ", but got " + str(chassis_type)
std::nullptr_t raise_chassis_message(Dispatch& dispatch, PyObject* chassis_type);

}  // namespace sorvex
