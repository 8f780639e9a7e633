// messages.hpp: every text the registry operations raise or log, in one
// table. Each is the manager's own wording, kept byte for byte (blanks and
// spellings included), since callers match on them.
#pragma once

namespace sorvex {

// The series and the model follow one rule and differ only in their texts
// (and in what must be given with them, see validation.cpp).
struct NameMessages {
    const char* without_parent;  // + str(name)
    const char* not_text;
    const char* reserved;
    const char* wrong_case;  // PyUnicode_FromFormat: str(name)
};

constexpr NameMessages kSeriesMessages{
    "OS information not provided for Series: ",
    "Series should be of type str",
    "Series cannot be named \"data\": \"data\" is reserved for plugin records",
    "Series (%S) has to be in lowercase",
};

constexpr NameMessages kModelMessages{
    "OS and Series are required for Model: ",
    "Model should be of type str",
    "Model cannot be named \"data\": \"data\" is reserved for plugin records",
    " Model (%S) has to be in lowecase",
};

// "OS should be one of these " + str(self.supported_os) + " , but got " + str(os)
constexpr const char* kOsRefused[] = {"OS should be one of these ", " , but got "};
// "chassis Type should be one of these " + str(self.chassis_type_list) + ", but got " + str(chassis_type)
constexpr const char* kChassisRefused[] = {"chassis Type should be one of these ", ", but got "};
// logged: "%s is not part of the built-in list of supported OSes." % (os,)
constexpr char kOsNotBuiltIn[] = " is not part of the built-in list of supported OSes.";

// "Plugin data not found for (" + "/".join(path) + "), type: " + str(chassis_type) + " "
constexpr const char* kLookupMiss[] = {"Plugin data not found for (", "), type: ", " "};
constexpr char kNotFound[] = "Plugin data not found";
constexpr char kChassisNotFound[] = "Plugin data not found for %S";
constexpr char kPluginsProtected[] = " Protected Member, cannot modify Plugins";

}  // namespace sorvex
