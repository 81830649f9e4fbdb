// vantropy._exception: the package's exception class for solver failures and
// the solver's error text, for Python callers and, through the capsule
// table, for the other native modules.
#include "capi.h"
#include "runtime/names.hpp"
#include "vantro130.h"

#include <cstring>

namespace vantropy {
namespace {

Str s_cenv{"_cenv"};
Str s_cmodel{"_cmodel"};
Str s_message_attr{"_message"};
Str s_message{"message"};
Str s_errno{"errno"};
Str s_init{"__init__"};
Str s_get_message{"_get_message"};
Str s_set_message{"_set_message"};
Str s_batch_module{"vantropy._batch"};
Str s_core_module{"vantropy._core"};
Str s_Batch{"Batch"};
Str s_Env{"Env"};
Str s_VantroError{"VantroError"};
Str s_class_doc{"Vantro exception class"};
Str s_env_failed{"Failed to create environment"};
Str s_batch_failed{"Failed to create batch request"};

Builtin b_property{"property"};
Builtin b_super{"super"};

Global g_errormsg_from_object{"_errormsg_from_object"};

Constant k_fromlist_batch{[] { return tuple_of(s_Batch.get()); }};  // ("Batch",)
Constant k_fromlist_env{[] { return tuple_of(s_Env.get()); }};      // ("Env",)

capi::PtrFn g_ptr = nullptr;

// ---- the exported message functions ----

// The library's text is copied at once and decoded with replacement, so
// invalid UTF-8 never fails the lookup; a null text reads as empty.
Ref decode_message(const char *text, const char *traceback_name) {
  if (!text) return Ref::borrow(g_module.empty_str);
  Ref result = Ref::steal(
      PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace"));
  if (!result) add_traceback(traceback_name);
  return result;
}

// The C interface hands the caller a new reference.
PyObject *get_env_errormsg_string(void *env) {
  return decode_message(VNTgeterrormsg(static_cast<VNTenv *>(env)), "_get_env_errormsg_string")
      .release();
}

PyObject *get_model_errormsg_string(void *model) {
  return decode_message(VNTgetmerrormsg(static_cast<VNTmodel *>(model)),
                        "_get_model_errormsg_string")
      .release();
}

// The message of the handle held in `obj.<attr>` by `fn`; `obj.<attr>` is
// read afresh for the call.
Ref handle_message(PyObject *obj, PyObject *attr_name, capi::ErrormsgFn fn) {
  Ref value = attr(obj, attr_name);
  if (!value) return nullptr;
  void *handle = g_ptr(value.get());
  if (PyErr_Occurred()) return nullptr;
  return Ref::steal(fn(handle));
}

// The text of an environment handle held in `obj._cenv`, or `failed_text`
// when the handle is None because creating it failed.
Ref env_message(PyObject *obj, PyObject *failed_text) {
  Ref cenv = attr(obj, s_cenv);
  if (!cenv) return nullptr;
  if (cenv.get() == Py_None) return Ref::borrow(failed_text);
  return handle_message(obj, s_cenv, get_env_errormsg_string);
}

// ---- module functions ----

Ref errormsg_from_object(NativeFunction *, PyObject *const *args) {
  PyObject *argument = args[0];
  Ref Batch = import_from(s_batch_module, k_fromlist_batch, s_Batch);
  if (!Batch) return nullptr;
  Ref Env = import_from(s_core_module, k_fromlist_env, s_Env);
  if (!Env) return nullptr;

  if (PyUnicode_Check(argument)) return Ref::borrow(argument);

  int is_env = isinstance(argument, Env.get());
  if (is_env < 0) return nullptr;
  if (is_env) return env_message(argument, s_env_failed);

  int is_batch = isinstance(argument, Batch.get());
  if (is_batch < 0) return nullptr;
  if (is_batch) return env_message(argument, s_batch_failed);

  Ref cmodel;
  int found = optional_attr(argument, s_cmodel, cmodel);
  if (found < 0) return nullptr;
  if (!found) return Ref::borrow(g_module.empty_str);
  return handle_message(argument, s_cmodel, get_model_errormsg_string);
}

const FuncSpec kErrormsgFromObject =
    declare<errormsg_from_object>("_errormsg_from_object", {"argument"});

// ---- VantroError ----

Ref vantroerror_get_message(NativeFunction *, PyObject *const *args) {
  return attr(args[0], s_message_attr);
}

Ref vantroerror_set_message(NativeFunction *, PyObject *const *args) {
  if (PyObject_SetAttr(args[0], s_message_attr, args[1]) < 0) return nullptr;
  return Ref::borrow(Py_None);
}

Ref vantroerror_init(NativeFunction *self, PyObject *const *args) {
  PyObject *instance = args[0], *errno_ = args[1], *argument = args[2];
  Ref message = g_errormsg_from_object(argument);
  if (!message) return nullptr;

  // super().__init__(errno, message), with the class cell kept by this function.
  PyObject *cls = self->closure;
  if (!cls) {
    PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
    return nullptr;
  }
  Ref parent = call(b_super, cls, instance);
  if (!parent) return nullptr;
  if (!call_method(parent.get(), s_init, errno_, message.get())) return nullptr;

  if (PyObject_SetAttr(instance, s_errno, errno_) < 0) return nullptr;
  if (PyObject_SetAttr(instance, s_message, message.get()) < 0) return nullptr;
  return Ref::borrow(Py_None);
}

Ref vantroerror_str(NativeFunction *, PyObject *const *args) { return attr(args[0], s_message); }

const FuncSpec kGetMessage =
    declare<vantroerror_get_message>("_get_message", {"self"}, "VantroError._get_message");
const FuncSpec kSetMessage =
    declare<vantroerror_set_message>("_set_message", {"self", "message"}, "VantroError._set_message");
const FuncSpec kInit =
    declare<vantroerror_init>("__init__", {"self", "errno", "argument"}, "VantroError.__init__");
const FuncSpec kStr = declare<vantroerror_str>("__str__", {"self"}, "VantroError.__str__");

// class VantroError(Exception):
//     "Vantro exception class"
//     _get_message, _set_message
//     message = property(_get_message, _set_message)
//     __init__, __str__
Ref make_vantroerror() {
  ClassBuilder body(s_VantroError, {PyExc_Exception}, s_class_doc);
  if (!body || !body.method(kGetMessage) || !body.method(kSetMessage)) return nullptr;
  Ref getter = body.lookup(s_get_message);
  if (!getter) return nullptr;
  Ref setter = body.lookup(s_set_message);
  if (!setter) return nullptr;
  Ref message = call(b_property, getter.get(), setter.get());
  if (!message || !body.set(s_message, message.get())) return nullptr;
  Ref init = body.method(kInit);
  if (!init || !body.method(kStr)) return nullptr;
  Ref cls = body.finish();
  if (!cls) return nullptr;
  // The class cell that `super()` in __init__ reads.
  auto *init_fn = reinterpret_cast<NativeFunction *>(init.get());
  Py_XSETREF(init_fn->closure, newref(cls.get()));
  return cls;
}

const Member kMembers[] = {
    exported("_get_env_errormsg_string", get_env_errormsg_string, capi::kErrormsgSignature),
    exported("_get_model_errormsg_string", get_model_errormsg_string, capi::kErrormsgSignature),
    capsule<g_ptr>("vantropy._util", "_ptr", capi::kPtrSignature),
    function(kErrormsgFromObject),
    class_("VantroError", make_vantroerror),
};

const ModuleInfo kInfo{"vantropy._exception", "_exception", "src/vantropy/_exception", nullptr,
                       kMembers};

}  // namespace
}  // namespace vantropy

extern "C" PyMODINIT_FUNC PyInit__exception() { return vantropy::module_init(vantropy::kInfo); }
