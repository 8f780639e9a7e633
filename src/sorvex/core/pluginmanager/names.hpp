// names.hpp: the interned strings and keyword-name tuples the module uses,
// generated from the one list below and made for each module object (they
// live in its state, so every interpreter has its own). They are our own
// constants, never module-level names that a user could rebind.
#pragma once

#include "compat.hpp"

namespace sorvex {

// The layout of a rendered tree, for both renderers: a child's first line is
// "\n" + the prefixes of the levels above + kTreeBar; its further lines go
// under kTreeBar, or kTreeBlank below the last key; a mapping is labelled
// kTreeLabel + key, any other value kTreeLabel + key + kTreeEquals + str(value).
constexpr char kTreeBar[] = "  |";
constexpr char kTreeBlank[] = "  ";
constexpr char kTreeLabel[] = "__ ";
constexpr char kTreeEquals[] = " = ";

// field, text
#define SORVEX_NAMES(X)                                                        \
    X(os, "os") X(cls, "cls") X(data, "data")                                 \
    /* the manager's state */                                                 \
    X(_plugins, "_plugins") X(supported_os, "supported_os")                   \
    X(chassis_type_list, "chassis_type_list")                                 \
    /* module-level names, looked up when they are used */                    \
    X(pkgutil, "pkgutil") X(importlib, "importlib") X(log, "log")             \
    X(supported_chassis, "supported_chassis") X(getfile, "getfile")           \
    X(ConnectionInfraError, "ConnectionInfraError")                           \
    X(iter_entry_points, "iter_entry_points")                                 \
    X(ENTRYPOINT_GROUP, "ENTRYPOINT_GROUP") X(PluginManager, "PluginManager") \
    /* attributes and methods of other objects */                             \
    X(keys, "keys") X(debug, "debug") X(islower, "islower")                   \
    X(isdigit, "isdigit") X(split, "split")                                   \
    X(load, "load") X(name, "name") X(module_name, "module_name")             \
    X(path, "path") X(walk_packages, "walk_packages")                         \
    X(import_module, "import_module") X(dirname, "dirname")                   \
    X(setter, "setter") X(__class__, "__class__") X(__name__, "__name__")     \
    X(__module__, "__module__") X(__qualname__, "__qualname__")               \
    X(__doc__, "__doc__")                                                     \
    /* literals */                                                            \
    X(single_rp, "single_rp") X(linux, "linux") X(mocked, "mocked")           \
    X(empty, "") X(slash, "/") X(newline, "\n") X(dot, ".")                   \
    X(label_prefix, kTreeLabel) X(equals, kTreeEquals)

// field, names of the keywords in call order
#define SORVEX_KEYWORDS(X)                                                \
    X(model_check, {"os", "series", "model"}) /* validate_model */        \
    X(series_check, {"series", "os"})         /* validate_series */       \
    X(os_check, {"os"})                       /* validate_os */           \
    X(chassis_check, {"chassis_type"})        /* validate_chassis_type */ \
    X(print_tree_call, {"data", "output"})    /* print_tree */            \
    X(entry_point_query, {"group"})           /* iter_entry_points */

struct Names {
#define SORVEX_NAME_FIELD(field, text) PyObject* field;
    SORVEX_NAMES(SORVEX_NAME_FIELD)
#undef SORVEX_NAME_FIELD
};

struct Keywords {
#define SORVEX_KEYWORD_FIELD(field, ...) PyObject* field;
    SORVEX_KEYWORDS(SORVEX_KEYWORD_FIELD)
#undef SORVEX_KEYWORD_FIELD
};

// Makes them; false with the error set on failure (what was made stays, for
// clear_names).
bool init_names(Names& names, Keywords& keywords);

// Lets them go.
void clear_names(Names& names, Keywords& keywords);

}  // namespace sorvex
