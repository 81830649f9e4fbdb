// vantropy._standin: the test suite's way into the stand-in solver library.
// Each hook takes the Python object that owns a handle (a Model through its
// `_cmodel`, an Env through its `_cenv`) rather than a raw pointer, so tests
// exercise the same capsules the package hands to the native modules.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "vantro130_standin.h"

namespace {

constexpr const char kModelCapsule[] = "vantro130.model";
constexpr const char kEnvCapsule[] = "vantro130.env";

// Owning reference for the few temporaries; releases on every path.
class Ref {
 public:
  explicit Ref(PyObject *p = nullptr) : p_(p) {}
  Ref(const Ref &) = delete;
  Ref &operator=(const Ref &) = delete;
  ~Ref() { Py_XDECREF(p_); }
  PyObject *get() const { return p_; }
  PyObject *release() {
    PyObject *p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject *p_;
};

// 1 with a new reference in *out when `obj` has the attribute, 0 when it has
// not, -1 on any other error.
int optional_attr(PyObject *obj, const char *name, PyObject **out) {
  *out = PyObject_GetAttrString(obj, name);
  if (*out != nullptr) return 1;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
}

// The handle inside the capsule held in `obj.<attr>`; null with TypeError
// when there is no such capsule.
void *handle_of(PyObject *obj, const char *attr, const char *capsule_name, const char *hook) {
  PyObject *raw = nullptr;
  int found = optional_attr(obj, attr, &raw);
  Ref value(raw);
  if (found < 0) return nullptr;
  if (found == 0) {
    PyErr_Format(PyExc_TypeError, "%s() needs an object with a %s handle, not '%.200s'", hook, attr,
                 Py_TYPE(obj)->tp_name);
    return nullptr;
  }
  if (!PyCapsule_IsValid(value.get(), capsule_name)) {
    PyErr_Format(PyExc_TypeError, "%s(): %s must be a '%s' capsule, not '%.200s'", hook, attr, capsule_name,
                 Py_TYPE(value.get())->tp_name);
    return nullptr;
  }
  return PyCapsule_GetPointer(value.get(), capsule_name);
}

VNTmodel *model_of(PyObject *obj, const char *hook) {
  return static_cast<VNTmodel *>(handle_of(obj, "_cmodel", kModelCapsule, hook));
}

// Raw bytes from `str` (as UTF-8) or any bytes-like object.  The pointer
// stays valid while this object lives.
class RawBytes {
 public:
  RawBytes() = default;
  RawBytes(const RawBytes &) = delete;
  RawBytes &operator=(const RawBytes &) = delete;
  ~RawBytes() {
    if (have_view_) PyBuffer_Release(&view_);
  }

  bool load(PyObject *obj, const char *hook) {
    if (PyUnicode_Check(obj)) {
      Py_ssize_t n = 0;
      data_ = PyUnicode_AsUTF8AndSize(obj, &n);
      size_ = static_cast<size_t>(n);
      return data_ != nullptr;
    }
    if (!PyObject_CheckBuffer(obj)) {
      PyErr_Format(PyExc_TypeError, "%s() takes the message as str or bytes, not '%.200s'", hook,
                   Py_TYPE(obj)->tp_name);
      return false;
    }
    if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0) return false;
    have_view_ = true;
    data_ = static_cast<const char *>(view_.buf);
    size_ = static_cast<size_t>(view_.len);
    return true;
  }

  const char *data() const { return data_; }
  size_t size() const { return size_; }

 private:
  Py_buffer view_{};
  bool have_view_ = false;
  const char *data_ = nullptr;
  size_t size_ = 0;
};

// Turns a hook's failure code into ValueError; None on success.
PyObject *done(int rc) {
  if (rc != 0) {
    PyErr_Format(PyExc_ValueError, "%s (code %d)", VNTstandin_hook_error(), rc);
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject *fail_next(PyObject *, PyObject *args, PyObject *kwargs) {
  static const char *kw[] = {"model", "code", "message", nullptr};
  PyObject *obj, *message;
  int code;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OiO:fail_next", const_cast<char **>(kw), &obj, &code, &message))
    return nullptr;
  VNTmodel *m = model_of(obj, "fail_next");
  if (m == nullptr) return nullptr;
  RawBytes raw;
  if (!raw.load(message, "fail_next")) return nullptr;
  return done(VNTstandin_fail_next(m, code, raw.data(), raw.size()));
}

PyObject *set_busy(PyObject *, PyObject *args, PyObject *kwargs) {
  static const char *kw[] = {"model", "flag", nullptr};
  PyObject *obj;
  int flag;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Op:set_busy", const_cast<char **>(kw), &obj, &flag))
    return nullptr;
  VNTmodel *m = model_of(obj, "set_busy");
  if (m == nullptr) return nullptr;
  return done(VNTstandin_set_busy(m, flag));
}

PyObject *hide_attributes(PyObject *, PyObject *args, PyObject *kwargs) {
  static const char *kw[] = {"model", "flag", nullptr};
  PyObject *obj;
  int flag;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Op:hide_attributes", const_cast<char **>(kw), &obj, &flag))
    return nullptr;
  VNTmodel *m = model_of(obj, "hide_attributes");
  if (m == nullptr) return nullptr;
  return done(VNTstandin_hide_attributes(m, flag));
}

// A Model carries both handles; its own message is the model's.
PyObject *set_error_message(PyObject *, PyObject *args, PyObject *kwargs) {
  static const char *kw[] = {"obj", "raw", nullptr};
  PyObject *obj, *message;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:set_error_message", const_cast<char **>(kw), &obj, &message))
    return nullptr;
  PyObject *raw_probe = nullptr;
  int is_model = optional_attr(obj, "_cmodel", &raw_probe);
  Py_XDECREF(raw_probe);
  if (is_model < 0) return nullptr;
  RawBytes raw;
  if (message == Py_None) {  // None: the library reports no message at all
    if (is_model) {
      VNTmodel *m = model_of(obj, "set_error_message");
      return m == nullptr ? nullptr : done(VNTstandin_set_model_null_message(m));
    }
    auto *e = static_cast<VNTenv *>(handle_of(obj, "_cenv", kEnvCapsule, "set_error_message"));
    return e == nullptr ? nullptr : done(VNTstandin_set_env_null_message(e));
  }
  if (is_model) {
    VNTmodel *m = model_of(obj, "set_error_message");
    if (m == nullptr || !raw.load(message, "set_error_message")) return nullptr;
    return done(VNTstandin_set_model_error_message(m, raw.data(), raw.size()));
  }
  auto *e = static_cast<VNTenv *>(handle_of(obj, "_cenv", kEnvCapsule, "set_error_message"));
  if (e == nullptr || !raw.load(message, "set_error_message")) return nullptr;
  return done(VNTstandin_set_env_error_message(e, raw.data(), raw.size()));
}

PyObject *set_null_string(PyObject *, PyObject *args, PyObject *kwargs) {
  static const char *kw[] = {"model", "attrname", "index", nullptr};
  PyObject *obj;
  const char *name;
  int index;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Osi:set_null_string", const_cast<char **>(kw), &obj, &name,
                                   &index))
    return nullptr;
  VNTmodel *m = model_of(obj, "set_null_string");
  if (m == nullptr) return nullptr;
  return done(VNTstandin_set_null_string(m, name, index));
}

PyObject *define_attribute(PyObject *, PyObject *args, PyObject *kwargs) {
  static const char *kw[] = {"model", "name", "datatype", "kind", "settable", nullptr};
  PyObject *obj;
  const char *name;
  int datatype, kind, settable;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Osiip:define_attribute", const_cast<char **>(kw), &obj, &name,
                                   &datatype, &kind, &settable))
    return nullptr;
  VNTmodel *m = model_of(obj, "define_attribute");
  if (m == nullptr) return nullptr;
  return done(VNTstandin_define_attribute(m, name, datatype, kind, settable));
}

PyObject *raw_get(PyObject *, PyObject *args, PyObject *kwargs) {
  static const char *kw[] = {"model", "name", "index", nullptr};
  PyObject *obj;
  const char *name;
  int index = -1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Os|i:raw_get", const_cast<char **>(kw), &obj, &name, &index))
    return nullptr;
  VNTmodel *m = model_of(obj, "raw_get");
  if (m == nullptr) return nullptr;
  VNTstandin_value v;
  if (int rc = VNTstandin_raw_get(m, name, index, &v)) return done(rc);
  switch (v.datatype) {
    case VNT_CHAR: return PyLong_FromLong(v.charval);
    case VNT_INT: return PyLong_FromLong(v.intval);
    case VNT_DOUBLE: return PyFloat_FromDouble(v.dblval);
    default:
      if (v.is_null) Py_RETURN_NONE;
      return PyBytes_FromStringAndSize(v.strval, static_cast<Py_ssize_t>(v.strlen));
  }
}

int add_call(const char *name, unsigned long long count, void *ctx) {
  Ref n(PyLong_FromUnsignedLongLong(count));
  if (!n) return -1;
  return PyDict_SetItemString(static_cast<PyObject *>(ctx), name, n.get()) < 0 ? -1 : 0;
}

PyObject *calls(PyObject *, PyObject *arg) {
  VNTmodel *m = model_of(arg, "calls");
  if (m == nullptr) return nullptr;
  Ref result(PyDict_New());
  if (!result) return nullptr;
  int rc = VNTstandin_calls(m, add_call, result.get());
  if (rc == -1) return nullptr;  // the visitor failed and left a Python error
  if (rc != 0) return done(rc);
  return result.release();
}

PyObject *reset_calls(PyObject *, PyObject *arg) {
  VNTmodel *m = model_of(arg, "reset_calls");
  if (m == nullptr) return nullptr;
  return done(VNTstandin_reset_calls(m));
}

// The cheapest native call there is, for the benchmarks' floor: it takes
// any arguments and does nothing with them.
PyObject *noop(PyObject *, PyObject *const *, Py_ssize_t, PyObject *) { Py_RETURN_NONE; }

template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef methods[] = {
    {"fail_next", as_cfunction(fail_next), METH_VARARGS | METH_KEYWORDS,
     "fail_next(model, code, message)\n--\n\nMake the next attribute call on the model return `code` "
     "with `message` (str, or raw bytes) as its error message."},
    {"set_busy", as_cfunction(set_busy), METH_VARARGS | METH_KEYWORDS,
     "set_busy(model, flag)\n--\n\nWhile set, attribute calls answer OPTIMIZATION_IN_PROGRESS."},
    {"set_error_message", as_cfunction(set_error_message), METH_VARARGS | METH_KEYWORDS,
     "set_error_message(obj, raw)\n--\n\nSet the last error message of a model (an object with _cmodel) "
     "or an environment (with _cenv) to raw bytes or a str; None makes the library report no "
     "message at all (a null pointer)."},
    {"set_null_string", as_cfunction(set_null_string), METH_VARARGS | METH_KEYWORDS,
     "set_null_string(model, attrname, index)\n--\n\nReport that string value as a null pointer "
     "(index -1 for a model attribute)."},
    {"define_attribute", as_cfunction(define_attribute), METH_VARARGS | METH_KEYWORDS,
     "define_attribute(model, name, datatype, kind, settable)\n--\n\nAdd or redefine an attribute "
     "in this model's catalogue."},
    {"hide_attributes", as_cfunction(hide_attributes), METH_VARARGS | METH_KEYWORDS,
     "hide_attributes(model, flag)\n--\n\nWhile set, VNTgetnumattributes answers 0."},
    {"raw_get", as_cfunction(raw_get), METH_VARARGS | METH_KEYWORDS,
     "raw_get(model, name, index=-1)\n--\n\nThe stored value: float, int, the char's byte as int, "
     "bytes (None for a null-marked string)."},
    {"calls", as_cfunction(calls), METH_O,
     "calls(model)\n--\n\nLibrary function name -> calls on the model since the last reset."},
    {"reset_calls", as_cfunction(reset_calls), METH_O, "reset_calls(model)\n--\n\nZero the call counts."},
    {"noop", as_cfunction(noop), METH_FASTCALL | METH_KEYWORDS,
     "noop(*args, **kwargs)\n--\n\nDoes nothing: the cost of a native call alone."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vantropy._standin",
    "Test hooks into the stand-in solver library.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__standin(void) { return PyModule_Create(&module_def); }
