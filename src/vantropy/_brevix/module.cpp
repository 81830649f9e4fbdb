// vantropy._brevix: typed reads and writes of solver attributes.
//
// The functions here turn Python values into the library's C values and
// back: ints and doubles, single characters held as bytes, library-owned
// strings, and the library's infinity and undefined markers.  A failing
// library call becomes AttributeError with the library's own text, so that
// hasattr() and getattr() with a default work on the package's objects;
// element state and failed list reads become VantroError.
//
// This file holds the module's table and the names its parts share.
#include "common.hpp"

namespace vantropy::brevix {

Str s_cmodel{"_cmodel"};
Str s_cenv{"_cenv"};
Str s_typename{"_typename"};
Str s_typeenum{"_typeenum"};
Str s_cindex{"__cindex__"};
Str s_INFINITY{"INFINITY"};
Str s_UNDEFINED{"UNDEFINED"};
Str s_Error{"Error"};
Str s_OPTIMIZATION_IN_PROGRESS{"OPTIMIZATION_IN_PROGRESS"};

Str s_msg_vantropy{"'vantropy."};
Str s_msg_no_attribute{"' object has no attribute '"};
Str s_msg_quote{"'"};
Str s_msg_not_added{" has not yet been added to the model"};
Str s_msg_removed{" was removed from the model"};
Str s_msg_attribute{"Attribute '"};
Str s_msg_busy{"' cannot be queried while optimization is in progress"};
Str s_msg_cannot_set{"' cannot be set"};
Str s_msg_takes_char{"' takes character value"};
Str s_msg_takes_int{"' takes integer value"};
Str s_msg_takes_double{"' takes double value"};
Str s_msg_takes_string{"' takes string value"};

// Looked up once at exec, in this order, and kept.
Builtin b_AttributeError{"AttributeError"};
Builtin b_range{"range"};

Global g_VNT{"VNT"};
Global g_VantroError{"VantroError"};
Global g_stringtobytes{"_stringtobytes"};
Global g_bytestostring{"_bytestostring"};
Global g_isscalar{"_isscalar"};
Global g_getattrinfo{"_getattrinfo"};
Global g_geterrormsg{"_geterrormsg"};

capi::ErrormsgFn g_env_errormsg = nullptr;
capi::ErrormsgFn g_model_errormsg = nullptr;
capi::PtrFn g_ptr = nullptr;

namespace {

const Member kMembers[] = {
    capsule<g_env_errormsg>("vantropy._exception", "_get_env_errormsg_string",
                            capi::kErrormsgSignature),
    capsule<g_model_errormsg>("vantropy._exception", "_get_model_errormsg_string",
                              capi::kErrormsgSignature),
    capsule<g_ptr>("vantropy._util", "_ptr", capi::kPtrSignature),
    from("vantropy._exception", {"VantroError"}),
    from("vantropy._vnt", {"VNT"}),
    from("vantropy._util", {"_bytestostring", "_isscalar", "_stringtobytes"}),
    function(kGeterrormsg),
    function(kGetattrinfo),
    function(kGetattr),
    function(kGettypedattrlist),
    function(kSetattr),
    function(kSettypedattrlist),
    function(kPrefetchattr),
    function(kAttrlist),
};

const ModuleInfo kInfo{"vantropy._brevix", "_brevix", "src/vantropy/_brevix", nullptr, kMembers};

}  // namespace
}  // namespace vantropy::brevix

extern "C" PyMODINIT_FUNC PyInit__brevix() {
  return vantropy::module_init(vantropy::brevix::kInfo);
}
