// vantropy._exception: the package's exception class for solver failures and
// the solver's error text, for Python callers and, through the capsule
// table, for the other native modules.
#include "capi.h"
#include "runtime/function.hpp"
#include "runtime/module.hpp"
#include "runtime/names.hpp"
#include "vantro130.h"

#include <cstring>

namespace vantropy {
namespace {

const ModuleInfo kInfo{"vantropy._exception", "_exception", "src/vantropy/_exception"};

Str s_cenv{"_cenv"};
Str s_cmodel{"_cmodel"};
Str s_message_attr{"_message"};
Str s_message{"message"};
Str s_errno{"errno"};
Str s_init{"__init__"};
Str s_str{"__str__"};
Str s_errormsg_from_object{"_errormsg_from_object"};
Str s_batch_module{"vantropy._batch"};
Str s_core_module{"vantropy._core"};
Str s_Batch{"Batch"};
Str s_Env{"Env"};
Str s_get_message{"_get_message"};
Str s_set_message{"_set_message"};
Str s_module{"__module__"};
Str s_qualname{"__qualname__"};
Str s_doc{"__doc__"};
Str s_prepare{"__prepare__"};
Str s_VantroError{"VantroError"};
Str s_module_name{"vantropy._exception"};
Str s_class_doc{"Vantro exception class"};
Str s_env_failed{"Failed to create environment"};
Str s_batch_failed{"Failed to create batch request"};

Builtin b_property{"property"};
Builtin b_super{"super"};

PyObject *g_fromlist_batch = nullptr;  // ("Batch",)
PyObject *g_fromlist_env = nullptr;    // ("Env",)
capi::PtrFn g_ptr = nullptr;

int make_constants() {
  g_fromlist_batch = PyTuple_Pack(1, s_Batch.get());
  g_fromlist_env = PyTuple_Pack(1, s_Env.get());
  return g_fromlist_batch && g_fromlist_env ? 0 : -1;
}

// ---- the exported message functions ----

// The library's text is copied at once and decoded with replacement, so
// invalid UTF-8 never fails the lookup; a null text reads as empty.
PyObject *decode_message(const char *text, const char *traceback_name) {
  if (!text) return PyUnicode_FromStringAndSize("", 0);
  PyObject *result = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)),
                                          "replace");
  if (!result) add_traceback(traceback_name);
  return result;
}

PyObject *get_env_errormsg_string(void *env) {
  return decode_message(VNTgeterrormsg(static_cast<VNTenv *>(env)), "_get_env_errormsg_string");
}

PyObject *get_model_errormsg_string(void *model) {
  return decode_message(VNTgetmerrormsg(static_cast<VNTmodel *>(model)),
                        "_get_model_errormsg_string");
}

// The text of an environment handle held in `obj.<attr>`, or `failed_text`
// when the handle is None because creating it failed.
PyObject *env_message(PyObject *obj, PyObject *failed_text) {
  Ref cenv = Ref::steal(PyObject_GetAttr(obj, s_cenv));
  if (!cenv) return nullptr;
  if (cenv.get() == Py_None) return newref(failed_text);
  cenv = Ref::steal(PyObject_GetAttr(obj, s_cenv));
  if (!cenv) return nullptr;
  void *env = g_ptr(cenv.get());
  if (PyErr_Occurred()) return nullptr;
  return get_env_errormsg_string(env);
}

// ---- module functions ----

PyObject *errormsg_from_object(NativeFunction *, PyObject *const *args) {
  PyObject *argument = args[0];
  Ref Batch = import_from(s_batch_module, g_fromlist_batch, s_Batch);
  if (!Batch) return nullptr;
  Ref Env = import_from(s_core_module, g_fromlist_env, s_Env);
  if (!Env) return nullptr;

  if (PyUnicode_Check(argument)) return newref(argument);

  int is_env = PyObject_IsInstance(argument, Env.get());
  if (is_env < 0) return nullptr;
  if (is_env) return env_message(argument, s_env_failed);

  int is_batch = PyObject_IsInstance(argument, Batch.get());
  if (is_batch < 0) return nullptr;
  if (is_batch) return env_message(argument, s_batch_failed);

  Ref cmodel = Ref::steal(PyObject_GetAttr(argument, s_cmodel));
  if (!cmodel) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    return newref(module_state().empty_str);
  }
  cmodel = Ref::steal(PyObject_GetAttr(argument, s_cmodel));
  if (!cmodel) return nullptr;
  void *model = g_ptr(cmodel.get());
  if (PyErr_Occurred()) return nullptr;
  return get_model_errormsg_string(model);
}

const FuncSpec kErrormsgFromObject{"_errormsg_from_object", nullptr, {"argument"},
                                   errormsg_from_object};

// ---- VantroError ----

PyObject *vantroerror_get_message(NativeFunction *, PyObject *const *args) {
  return PyObject_GetAttr(args[0], s_message_attr);
}

PyObject *vantroerror_set_message(NativeFunction *, PyObject *const *args) {
  if (PyObject_SetAttr(args[0], s_message_attr, args[1]) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject *vantroerror_init(NativeFunction *self, PyObject *const *args) {
  PyObject *instance = args[0], *errno_ = args[1], *argument = args[2];
  static GlobalSite site_errormsg;
  Ref errormsg = global(site_errormsg, s_errormsg_from_object);
  if (!errormsg) return nullptr;
  Ref message = Ref::steal(PyObject_CallOneArg(errormsg.get(), argument));
  if (!message) return nullptr;

  // super().__init__(errno, message), with the class cell kept by this function.
  PyObject *cls = self->closure;
  if (!cls) {
    PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
    return nullptr;
  }
  PyObject *super_args[] = {cls, instance};
  Ref parent = Ref::steal(PyObject_Vectorcall(b_super, super_args, 2, nullptr));
  if (!parent) return nullptr;
  Ref parent_init = Ref::steal(PyObject_GetAttr(parent.get(), s_init));
  if (!parent_init) return nullptr;
  PyObject *init_args[] = {errno_, message.get()};
  Ref done = Ref::steal(PyObject_Vectorcall(parent_init.get(), init_args, 2, nullptr));
  if (!done) return nullptr;

  if (PyObject_SetAttr(instance, s_errno, errno_) < 0) return nullptr;
  if (PyObject_SetAttr(instance, s_message, message.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject *vantroerror_str(NativeFunction *, PyObject *const *args) {
  return PyObject_GetAttr(args[0], s_message);
}

const FuncSpec kGetMessage{"_get_message", "VantroError._get_message", {"self"},
                           vantroerror_get_message};
const FuncSpec kSetMessage{"_set_message", "VantroError._set_message", {"self", "message"},
                           vantroerror_set_message};
const FuncSpec kInit{"__init__", "VantroError.__init__", {"self", "errno", "argument"},
                     vantroerror_init};
const FuncSpec kStr{"__str__", "VantroError.__str__", {"self"}, vantroerror_str};

// The most derived metaclass of the bases, as class statements choose it.
PyObject *calculate_metaclass(PyObject *bases) {
  PyTypeObject *winner = &PyType_Type;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
    PyTypeObject *candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
    if (PyType_IsSubtype(winner, candidate)) continue;
    if (PyType_IsSubtype(candidate, winner)) {
      winner = candidate;
      continue;
    }
    PyErr_SetString(PyExc_TypeError,
                    "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                    "subclass of the metaclasses of all its bases");
    return nullptr;
  }
  return newref(reinterpret_cast<PyObject *>(winner));
}

// A name used in the class body: the class namespace, then the module
// namespace, then the built-ins.
Ref class_body_name(PyObject *ns, PyObject *name) {
  Ref value = Ref::steal(PyObject_GetItem(ns, name));
  if (value || !PyErr_ExceptionMatches(PyExc_KeyError)) return value;
  PyErr_Clear();
  static GlobalSite site;  // only used at exec; the cache is harmless here
  return global(site, name);
}

int store_method(PyObject *ns, const FuncSpec &spec, PyObject *key, Ref *out = nullptr) {
  Ref fn = Ref::steal(make_function(spec));
  if (!fn || PyObject_SetItem(ns, key, fn.get()) < 0) return -1;
  if (out) *out = fn;
  return 0;
}

int create_vantroerror() {
  Ref bases = Ref::steal(PyTuple_Pack(1, PyExc_Exception));
  if (!bases) return -1;
  Ref metaclass = Ref::steal(calculate_metaclass(bases.get()));
  if (!metaclass) return -1;

  Ref ns;
  Ref prepare = Ref::steal(PyObject_GetAttr(metaclass.get(), s_prepare));
  if (prepare) {
    PyObject *prepare_args[] = {s_VantroError, bases.get()};
    ns = Ref::steal(PyObject_Vectorcall(prepare.get(), prepare_args, 2, nullptr));
  } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    ns = Ref::steal(PyDict_New());
  }
  if (!ns) return -1;
  if (PyObject_SetItem(ns.get(), s_module, s_module_name) < 0 ||
      PyObject_SetItem(ns.get(), s_qualname, s_VantroError) < 0 ||
      PyObject_SetItem(ns.get(), s_doc, s_class_doc) < 0)
    return -1;

  if (store_method(ns.get(), kGetMessage, s_get_message) < 0 ||
      store_method(ns.get(), kSetMessage, s_set_message) < 0)
    return -1;
  Ref getter = class_body_name(ns.get(), s_get_message);
  if (!getter) return -1;
  Ref setter = class_body_name(ns.get(), s_set_message);
  if (!setter) return -1;
  PyObject *property_args[] = {getter.get(), setter.get()};
  Ref message = Ref::steal(PyObject_Vectorcall(b_property, property_args, 2, nullptr));
  if (!message || PyObject_SetItem(ns.get(), s_message, message.get()) < 0) return -1;

  Ref init;
  if (store_method(ns.get(), kInit, s_init, &init) < 0) return -1;
  if (store_method(ns.get(), kStr, s_str) < 0) return -1;

  PyObject *class_args[] = {s_VantroError, bases.get(), ns.get()};
  Ref cls = Ref::steal(PyObject_Vectorcall(metaclass.get(), class_args, 3, nullptr));
  if (!cls) return -1;
  // The class cell that `super()` in __init__ reads.
  auto *init_fn = reinterpret_cast<NativeFunction *>(init.get());
  Py_XSETREF(init_fn->closure, newref(cls.get()));
  return bind("VantroError", cls.get());
}

int exec(PyObject *module) {
  int begun = exec_begin(module, make_constants);
  if (begun != 0) return begun > 0 ? 0 : -1;

  if (export_function("_get_env_errormsg_string", reinterpret_cast<void *>(get_env_errormsg_string),
                      capi::kErrormsgSignature) < 0 ||
      export_function("_get_model_errormsg_string",
                      reinterpret_cast<void *>(get_model_errormsg_string),
                      capi::kErrormsgSignature) < 0)
    return exec_failed();

  Ref util = import_module("vantropy._util");
  if (!util) return exec_failed();
  g_ptr = reinterpret_cast<capi::PtrFn>(import_function(util.get(), "_ptr", capi::kPtrSignature));
  if (!g_ptr) return exec_failed();
  util.reset();

  Ref fn = Ref::steal(make_function(kErrormsgFromObject));
  if (!fn || bind("_errormsg_from_object", fn.get()) < 0) return exec_failed();
  if (create_vantroerror() < 0) return exec_failed();

  return exec_finish();
}

}  // namespace
}  // namespace vantropy

extern "C" PyMODINIT_FUNC PyInit__exception() {
  return vantropy::module_init(vantropy::kInfo, vantropy::exec);
}
