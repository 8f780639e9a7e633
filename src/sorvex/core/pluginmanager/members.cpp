// members.cpp: the one table of PluginManager's members, in definition
// order: name, kind, docstring, implementation and parameters. The class, the
// text signatures and argument binding are all made from it.
#include "method.hpp"

namespace sorvex {

namespace {

const char kRegisterDoc[] =
    "\n            This method registers all the implementation plugin(i.e connection class)\n"
    "            to the sorvex plugin manager\n\n"
    "            It takes OS, SERIES, MODEL information and based on that\n"
    "            registers it\n\n"
    "            cls refer to the connection class\n"
    "            chassis_type indicates if the connection class is for single_rp or\n"
    "            dual_rp or stack(default single_rp)\n\n        ";

const char kPrintTreeDoc[] =
    "\n"
    "        This Method print the plugin list in tree structure\n"
    "\n"
    "        Every mapping becomes a branch whose keys are listed in sorted\n"
    "        order; every other value becomes a leaf \"key = value\". A tree\n"
    "        with one plugin registered for OS talvo renders as\n"
    "\n"
    "        plugin\n"
    "          |__ talvo\n"
    "            |__ data\n"
    "              |__ single_rp\n"
    "                |__ cls = <class 'talvo.TalvoConnection'>\n"
    "                |__ path = /plugins/talvo.py\n"
    "        ";

const char kPluginsDoc[] = " Plugin list getter\n        ";

}  // namespace

constexpr MemberSpec kMembers[kMemberCount] = {
    {Member::init, "__init__", Kind::method, "\n            Initialize\n        ", init_impl, 1, {required("self")}},
    {Member::plugins_getter, "plugins", Kind::property_getter, kPluginsDoc, plugins_getter_impl, 1,
     {required("self")}},
    {Member::plugins_setter, "plugins", Kind::property_setter, kPluginsDoc, plugins_setter_impl, 2,
     {required("self"), required("value")}},
    {Member::validate_model, "validate_model", Kind::method, "\n         Validates Model\n        ",
     validate_model_impl, 4, {required("self"), required("os"), required("series"), required("model")}},
    {Member::validate_series, "validate_series", Kind::method, "\n         Validates series\n        ",
     validate_series_impl, 3, {required("self"), required("os"), required("series")}},
    {Member::validate_os, "validate_os", Kind::method, "\n         Validates OS\n        ", validate_os_impl, 2,
     {required("self"), required("os")}},
    {Member::validate_chassis_type, "validate_chassis_type", Kind::method, "\n         Validate chassis\n        ",
     validate_chassis_type_impl, 2, {required("self"), required("chassis_type")}},
    {Member::validate_arguments, "validate_arguments", Kind::method, " Validates the input arguments provided\n        ",
     validate_arguments_impl, 5,
     {required("self"), required("os"), required("series"), required("model"), required("chassis_type")}},
    {Member::get_plugin, "get_plugin", Kind::method,
     "\n            This method returns the connection class based on the\n            input details provided\n        ",
     get_plugin_impl, 5,
     {required("self"), defaults_to_none("os"), defaults_to_none("series"), defaults_to_none("model"),
      defaults_to("chassis_type", "single_rp")}},
    {Member::unregister_plugin, "unregister_plugin", Kind::method,
     "\n            This method unregister a particular implementations from\n            the internal database\n        ",
     unregister_plugin_impl, 5,
     {required("self"), defaults_to_none("os"), defaults_to_none("series"), defaults_to_none("model"),
      defaults_to_none("chassis_type")}},
    {Member::register_plugin, "register_plugin", Kind::method, kRegisterDoc, register_plugin_impl, 6,
     {required("self"), required("cls"), defaults_to_none("os"), defaults_to_none("series"),
      defaults_to_none("model"), defaults_to("chassis_type", "single_rp")}},
    {Member::discover_builtin_plugins, "discover_builtin_plugins", Kind::static_method, "loads all plugins",
     discover_builtin_plugins_impl, 0, {}},
    {Member::discover_external_plugins, "discover_external_plugins", Kind::static_method,
     "\n        discover external plugins defined that users pip installed.\n        ", discover_external_plugins_impl,
     0, {}},
    {Member::print_tree, "print_tree", Kind::method, kPrintTreeDoc, print_tree_impl, 3,
     {required("self"), required("data"), defaults_to("output", "plugin")}},
    {Member::repr, "__repr__", Kind::method, nullptr, repr_impl, 1, {required("self")}},
};

namespace {

// The table lists the members in the order of Member, and the binder is
// compiled for 0 to kMaxParams parameters.
constexpr bool well_formed() {
    for (int i = 0; i < kMemberCount; ++i) {
        if (static_cast<int>(kMembers[i].member) != i || kMembers[i].param_count < 0 ||
            kMembers[i].param_count > kMaxParams) {
            return false;
        }
    }
    return true;
}
static_assert(well_formed(), "kMembers must follow the order of Member, with at most kMaxParams parameters each");

}  // namespace

}  // namespace sorvex
