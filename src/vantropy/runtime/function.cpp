#include "function.hpp"

#include "compat.hpp"
#include "guard.hpp"
#include "module.hpp"

#include <structmember.h>

#include <cstddef>

#include <cstring>
#include <string>

namespace vantropy {
namespace {

PyTypeObject g_function_type;
bool g_type_ready = false;

NativeFunction *as_function(PyObject *self) { return reinterpret_cast<NativeFunction *>(self); }

const char *function_name(NativeFunction *f) {
  const char *name = PyUnicode_Check(f->name) ? PyUnicode_AsUTF8(f->name) : nullptr;
  if (!name) {
    PyErr_Clear();
    name = f->spec->name;
  }
  return name;
}

// The positional-count message: "exactly" when there are no defaults and no
// *args, otherwise "at least" or "at most" by the side that was missed.
void raise_count(NativeFunction *f, bool exact, Py_ssize_t min, Py_ssize_t max,
                 Py_ssize_t found) {
  Py_ssize_t expected = found < min ? min : max;
  const char *more_or_less = exact ? "exactly" : found < min ? "at least" : "at most";
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               function_name(f), more_or_less, expected, expected == 1 ? "" : "s", found);
}

Py_ssize_t find_param(NativeFunction *f, PyObject *key) {
  for (int i = 0; i < f->nparams; ++i)
    if (f->names[i] == key) return i;
  if (!PyUnicode_Check(key)) return -1;
  for (int i = 0; i < f->nparams; ++i)
    if (PyUnicode_Compare(f->names[i], key) == 0) return i;
  return -1;
}

struct Bound {
  PyObject *args[kMaxParams + 2] = {};
  Ref varargs;
  Ref varkw;
  // The defaults tuple the omitted arguments were taken from: the body may
  // run code that rebinds __defaults__, and the values must outlive it.
  Ref defaults;
};

// Binds positional and keyword arguments to the parameters, with the
// interpreter's own messages for every count and keyword error.
int bind(NativeFunction *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
         Bound &out) {
  const FuncSpec &spec = *f->spec;
  const Py_ssize_t n = f->nparams;
  Py_ssize_t ndefaults = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
  if (ndefaults > n) ndefaults = n;
  const Py_ssize_t nrequired = n - ndefaults;
  const bool exact = !spec.varargs && ndefaults == 0;

  if (nargs > n && !spec.varargs) {
    raise_count(f, exact, nrequired, n, nargs);
    return -1;
  }
  const Py_ssize_t npositional = nargs < n ? nargs : n;
  for (Py_ssize_t i = 0; i < npositional; ++i) out.args[i] = args[i];
  if (spec.varargs) {
    out.varargs = nargs > n ? Ref::steal(PyTuple_New(nargs - n))
                            : Ref::borrow(module_state().empty_tuple);
    if (!out.varargs) return -1;
    for (Py_ssize_t i = n; i < nargs; ++i)
      PyTuple_SET_ITEM(out.varargs.get(), i - n, newref(args[i]));
  }
  if (spec.varkw) {
    out.varkw = Ref::steal(PyDict_New());
    if (!out.varkw) return -1;
  }

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  PyObject *const *kwvalues = args + nargs;
  // Required parameters not given by position must come by keyword; the
  // first one missing is reported before any keyword is judged.
  for (Py_ssize_t i = npositional; i < nrequired; ++i) {
    for (Py_ssize_t j = 0; j < nkw; ++j) {
      if (find_param(f, PyTuple_GET_ITEM(kwnames, j)) == i) {
        out.args[i] = kwvalues[j];
        break;
      }
    }
    if (!out.args[i]) {
      raise_count(f, exact, nrequired, n, i);
      return -1;
    }
  }
  for (Py_ssize_t j = 0; j < nkw; ++j) {
    PyObject *key = PyTuple_GET_ITEM(kwnames, j);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function_name(f));
      return -1;
    }
    Py_ssize_t p = find_param(f, key);
    if (p < 0) {
      if (spec.varkw) {
        if (PyDict_SetItem(out.varkw.get(), key, kwvalues[j]) < 0) return -1;
        continue;
      }
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                   function_name(f), key);
      return -1;
    }
    if (p < npositional) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                   function_name(f), key);
      return -1;
    }
    out.args[p] = kwvalues[j];
  }
  for (Py_ssize_t i = nrequired; i < n; ++i) {
    if (!out.args[i]) {
      if (!out.defaults) out.defaults = Ref::borrow(f->defaults);
      out.args[i] = PyTuple_GET_ITEM(f->defaults, i - nrequired);
    }
  }

  Py_ssize_t next = n;
  if (spec.varargs) out.args[next++] = out.varargs.get();
  if (spec.varkw) out.args[next] = out.varkw.get();
  return 0;
}

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) {
  NativeFunction *f = as_function(callable);
  const FuncSpec &spec = *f->spec;
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
  PyObject *result;
  if (!kwnames && nargs == f->nparams && !spec.varargs && !spec.varkw) {
    // The common call: every parameter by position, nothing to bind.
    result = guarded<PyObject *>(nullptr, [&] { return spec.body(f, args); });
  } else {
    result = guarded<PyObject *>(nullptr, [&]() -> PyObject * {
      Bound bound;
      return bind(f, args, nargs, kwnames, bound) < 0 ? nullptr : spec.body(f, bound.args);
    });
  }
  Py_LeaveRecursiveCall();
  if (!result)
    compat::traceback_add(PyBytes_AS_STRING(f->traceback_name), module_state().info->filename, 1);
  return result;
}

PyObject *build_code(NativeFunction *f) {
  const FuncSpec &spec = *f->spec;
  int nvars = f->nparams + (spec.varargs ? 1 : 0) + (spec.varkw ? 1 : 0);
  Ref varnames = Ref::steal(PyTuple_New(nvars));
  if (!varnames) return nullptr;
  int i = 0;
  for (; i < f->nparams; ++i) PyTuple_SET_ITEM(varnames.get(), i, newref(f->names[i]));
  if (spec.varargs) {
    PyObject *s = PyUnicode_InternFromString("args");
    if (!s) return nullptr;
    PyTuple_SET_ITEM(varnames.get(), i++, s);
  }
  if (spec.varkw) {
    PyObject *s = PyUnicode_InternFromString("kwargs");
    if (!s) return nullptr;
    PyTuple_SET_ITEM(varnames.get(), i++, s);
  }
  int flags = CO_OPTIMIZED | CO_NEWLOCALS | (spec.varargs ? CO_VARARGS : 0) |
              (spec.varkw ? CO_VARKEYWORDS : 0);
  Ref empty = Ref::steal(reinterpret_cast<PyObject *>(
      PyCode_NewEmpty(module_state().info->filename, spec.name, 1)));
  if (!empty) return nullptr;
  Ref replace = Ref::steal(PyObject_GetAttrString(empty.get(), "replace"));
  Ref kwargs = Ref::steal(Py_BuildValue("{s:i,s:i,s:i,s:i,s:O,s:i,s:O}", "co_argcount",
                                        f->nparams, "co_posonlyargcount", 0,
                                        "co_kwonlyargcount", 0, "co_nlocals", nvars,
                                        "co_varnames", varnames.get(), "co_flags", flags,
                                        "co_qualname", f->qualname));
  if (!replace || !kwargs) return nullptr;
  return PyObject_Call(replace.get(), module_state().empty_tuple, kwargs.get());
}

// ---- attributes ----

PyObject *get_name(PyObject *self, void *) { return newref(as_function(self)->name); }
int set_name(PyObject *self, PyObject *value, void *) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
    return -1;
  }
  Py_SETREF(as_function(self)->name, newref(value));
  return 0;
}
PyObject *get_qualname(PyObject *self, void *) { return newref(as_function(self)->qualname); }
int set_qualname(PyObject *self, PyObject *value, void *) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
    return -1;
  }
  Py_SETREF(as_function(self)->qualname, newref(value));
  return 0;
}
PyObject *get_defaults(PyObject *self, void *) {
  PyObject *d = as_function(self)->defaults;
  return newref(d ? d : Py_None);
}
int set_defaults(PyObject *self, PyObject *value, void *) {
  if (value == Py_None) value = nullptr;
  if (value && !PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
    return -1;
  }
  Py_XINCREF(value);
  Py_XSETREF(as_function(self)->defaults, value);
  return 0;
}
PyObject *get_kwdefaults(PyObject *self, void *) {
  PyObject *d = as_function(self)->kwdefaults;
  return newref(d ? d : Py_None);
}
int set_kwdefaults(PyObject *self, PyObject *value, void *) {
  if (value == Py_None) value = nullptr;
  if (value && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
    return -1;
  }
  Py_XINCREF(value);
  Py_XSETREF(as_function(self)->kwdefaults, value);
  return 0;
}
PyObject *get_annotations(PyObject *self, void *) {
  NativeFunction *f = as_function(self);
  if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
  return newref(f->annotations);
}
int set_annotations(PyObject *self, PyObject *value, void *) {
  if (value == Py_None) value = nullptr;
  if (value && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XINCREF(value);
  Py_XSETREF(as_function(self)->annotations, value);
  return 0;
}
PyObject *get_code(PyObject *self, void *) {
  NativeFunction *f = as_function(self);
  if (!f->code && !(f->code = build_code(f))) return nullptr;
  return newref(f->code);
}
PyObject *get_globals(PyObject *, void *) { return newref(module_state().dict); }

PyGetSetDef g_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef g_members[] = {
    {"__module__", T_OBJECT, offsetof(NativeFunction, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(NativeFunction, doc), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickles by reference, like a Python function: the module and qualified name.
PyObject *function_reduce(PyObject *self, PyObject *) {
  return newref(as_function(self)->qualname);
}

PyMethodDef g_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject *function_repr(PyObject *self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
  if (!obj || obj == Py_None) return newref(self);
  return PyMethod_New(self, obj);
}

int function_traverse(PyObject *self, visitproc visit, void *arg) {
  NativeFunction *f = as_function(self);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->defaults);
  Py_VISIT(f->kwdefaults);
  Py_VISIT(f->annotations);
  Py_VISIT(f->dict);
  Py_VISIT(f->code);
  Py_VISIT(f->closure);
  return 0;
}

int function_clear(PyObject *self) {
  NativeFunction *f = as_function(self);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->kwdefaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->dict);
  Py_CLEAR(f->code);
  Py_CLEAR(f->closure);
  Py_CLEAR(f->doc);
  return 0;
}

void function_dealloc(PyObject *self) {
  NativeFunction *f = as_function(self);
  PyObject_GC_UnTrack(self);
  if (f->weakrefs) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->module);
  Py_CLEAR(f->traceback_name);
  for (int i = 0; i < f->nparams; ++i) Py_DECREF(f->names[i]);
  PyObject_GC_Del(self);
}

int ready_type() {
  if (g_type_ready) return 0;
  PyTypeObject &t = g_function_type;
  Py_SET_TYPE(&t, &PyType_Type);
  Py_SET_REFCNT(&t, 1);
  t.tp_name = "vantropy.native_function";
  t.tp_basicsize = sizeof(NativeFunction);
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
               Py_TPFLAGS_METHOD_DESCRIPTOR;
  t.tp_vectorcall_offset = offsetof(NativeFunction, vectorcall);
  t.tp_call = PyVectorcall_Call;
  t.tp_repr = function_repr;
  t.tp_descr_get = function_descr_get;
  t.tp_traverse = function_traverse;
  t.tp_clear = function_clear;
  t.tp_dealloc = function_dealloc;
  t.tp_getset = g_getset;
  t.tp_members = g_members;
  t.tp_methods = g_methods;
  t.tp_dictoffset = offsetof(NativeFunction, dict);
  t.tp_weaklistoffset = offsetof(NativeFunction, weakrefs);
  if (PyType_Ready(&t) < 0) return -1;
  g_type_ready = true;
  return 0;
}

}  // namespace

PyObject *make_function(const FuncSpec &spec, PyObject *defaults, PyObject *closure) {
  if (ready_type() < 0) return nullptr;
  const ModuleInfo &info = *module_state().info;
  const char *qualname = spec.qualname ? spec.qualname : spec.name;
  std::string traceback_name = std::string(info.qualname) + "." + qualname;

  NativeFunction *f = PyObject_GC_New(NativeFunction, &g_function_type);
  if (!f) return nullptr;
  f->vectorcall = function_vectorcall;
  f->spec = &spec;
  f->nparams = 0;
  f->name = f->qualname = f->module = f->doc = nullptr;
  f->defaults = f->kwdefaults = f->annotations = f->dict = f->code = f->closure = nullptr;
  f->traceback_name = f->weakrefs = nullptr;
  Ref owner = Ref::steal(reinterpret_cast<PyObject *>(f));  // releases on any failure below

  for (const char *param : spec.params) {
    if (!param) break;
    PyObject *s = PyUnicode_InternFromString(param);
    if (!s) return nullptr;
    f->names[f->nparams++] = s;
  }
  f->name = PyUnicode_InternFromString(spec.name);
  f->qualname = PyUnicode_FromString(qualname);
  f->module = PyUnicode_FromString(info.qualname);
  f->traceback_name =
      PyBytes_FromStringAndSize(traceback_name.data(), static_cast<Py_ssize_t>(traceback_name.size()));
  if (!f->name || !f->qualname || !f->module || !f->traceback_name) return nullptr;
  f->doc = newref(Py_None);
  if (defaults && defaults != Py_None) f->defaults = newref(defaults);
  if (closure) f->closure = newref(closure);
  PyObject_GC_Track(f);
  return owner.release();
}

}  // namespace vantropy
