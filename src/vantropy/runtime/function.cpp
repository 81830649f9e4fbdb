#include "function.hpp"

#include "guard.hpp"
#include "object.hpp"

#include <structmember.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace vantropy {

struct SpecObjects {
  PyObject *names[kMaxParams] = {};  // interned
  int nparams = 0;
  PyObject *name = nullptr;      // interned
  PyObject *qualname = nullptr;
  PyObject *module = nullptr;
  std::string traceback_name;    // "<module>.<qualname>"
  PyObject *code = nullptr;      // made on the first `__code__`
};

namespace {

NativeFunction *as_function(PyObject *self) { return reinterpret_cast<NativeFunction *>(self); }

// The objects of a declaration, made once.  Null with an exception set.
SpecObjects *objects_of(const ModuleState &home, const FuncSpec &spec) {
  if (spec.objects) return spec.objects;
  Ref names[kMaxParams];
  int nparams = 0;
  for (const char *param : spec.params) {
    if (!param) break;
    const char *equals = std::strchr(param, '=');
    Ref name = Ref::steal(equals ? PyUnicode_FromStringAndSize(param, equals - param)
                                 : PyUnicode_FromString(param));
    if (!name) return nullptr;
    PyObject *interned = name.release();
    PyUnicode_InternInPlace(&interned);
    names[nparams++] = Ref::steal(interned);
  }
  const char *qualname = spec.qualname ? spec.qualname : spec.name;
  Ref name_obj = Ref::steal(PyUnicode_InternFromString(spec.name));
  Ref qualname_obj = new_str(qualname);
  Ref module_obj = new_str(home.qualname);
  if (!name_obj || !qualname_obj || !module_obj) return nullptr;
  // Kept with the declaration for the life of the process.
  auto *made = new SpecObjects;
  for (int i = 0; i < nparams; ++i) made->names[i] = names[i].release();
  made->nparams = nparams;
  made->name = name_obj.release();
  made->qualname = qualname_obj.release();
  made->module = module_obj.release();
  made->traceback_name = std::string(home.qualname) + '.' + qualname;
  spec.objects = made;
  return made;
}

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

// The arguments of one call, bound to the parameters.
struct Bound {
  PyObject *args[kMaxParams + 2];  // set by bind_arguments, every slot it reads
  Ref varargs;
  Ref varkw;
  // The defaults tuple the omitted arguments were taken from: the body may
  // run code that rebinds __defaults__, and the values must outlive it.
  Ref defaults;
};

// Fills the parameters from `first` on that no argument gave with their
// defaults.  Python aligns the defaults with the last parameters, so a
// tuple longer than the parameter list serves them from its end.
void take_defaults(NativeFunction *f, Py_ssize_t first, Bound &out) {
  const Py_ssize_t n = f->nparams;
  const Py_ssize_t total = PyTuple_GET_SIZE(f->defaults);
  for (Py_ssize_t i = first; i < n; ++i) {
    if (out.args[i]) continue;
    if (!out.defaults) out.defaults = Ref::borrow(f->defaults);
    out.args[i] = PyTuple_GET_ITEM(out.defaults.get(), i - n + total);
  }
}

// Binds positional and keyword arguments to the parameters, with the
// interpreter's own messages for every count and keyword error.
int bind_arguments(NativeFunction *f, PyObject *const *args, Py_ssize_t nargs,
                   PyObject *kwnames, Bound &out) {
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
  for (Py_ssize_t i = npositional; i < n; ++i) out.args[i] = nullptr;
  if (spec.varargs) {
    out.varargs = nargs > n ? Ref::steal(PyTuple_New(nargs - n))
                            : Ref::borrow(f->home->empty_tuple);
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
  if (ndefaults) take_defaults(f, nrequired, out);

  Py_ssize_t next = n;
  if (spec.varargs) out.args[next++] = out.varargs.get();
  if (spec.varkw) out.args[next] = out.varkw.get();
  return 0;
}

// A call that needs binding by name.
[[gnu::noinline]] Ref call_bound(NativeFunction *f, PyObject *const *args, Py_ssize_t nargs,
                                 PyObject *kwnames) {
  Bound bound;
  if (bind_arguments(f, args, nargs, kwnames, bound) < 0) return nullptr;
  return f->spec->body(f, bound.args);
}

}  // namespace

PyObject *detail::function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                                      PyObject *kwnames) {
  NativeFunction *f = as_function(callable);
  compat::RecursionGuard guard;
  if (!guard.enter(kRecursionWhere)) return nullptr;
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  Ref result = guarded<Ref>(nullptr, [&] {
    if (!kwnames) {
      // The common call: every parameter by position, nothing to bind.
      if (nargs == f->positional) return f->spec->body(f, args);
      Defaulted defaulted;
      if (defaulted.fill(f, args, nargs)) return f->spec->body(f, defaulted.args);
    }
    return call_bound(f, args, nargs, kwnames);
  });
  guard.leave();
  if (!result) add_function_traceback(f);
  return result.release();
}

void detail::add_function_traceback(NativeFunction *f) noexcept {
  add_traceback_entry(f->spec->objects->traceback_name.c_str(), f->home->filename,
                      f->home->dict);
}

namespace {

Ref build_code(NativeFunction *f) {
  const FuncSpec &spec = *f->spec;
  const SpecObjects &objects = *spec.objects;
  int nvars = f->nparams + (spec.varargs ? 1 : 0) + (spec.varkw ? 1 : 0);
  Ref varnames = Ref::steal(PyTuple_New(nvars));
  if (!varnames) return nullptr;
  int i = 0;
  for (; i < f->nparams; ++i) PyTuple_SET_ITEM(varnames.get(), i, newref(f->names[i]));
  for (const char *extra : {spec.varargs ? "args" : nullptr, spec.varkw ? "kwargs" : nullptr}) {
    if (!extra) continue;
    PyObject *s = PyUnicode_InternFromString(extra);
    if (!s) return nullptr;
    PyTuple_SET_ITEM(varnames.get(), i++, s);
  }
  int flags = CO_OPTIMIZED | CO_NEWLOCALS | (spec.varargs ? CO_VARARGS : 0) |
              (spec.varkw ? CO_VARKEYWORDS : 0);
  Ref empty = Ref::steal(
      reinterpret_cast<PyObject *>(PyCode_NewEmpty(f->home->filename, spec.name, 1)));
  if (!empty) return nullptr;
  Ref replace = Ref::steal(PyObject_GetAttrString(empty.get(), "replace"));
  Ref kwargs = Ref::steal(Py_BuildValue("{s:i,s:i,s:i,s:i,s:O,s:i,s:O}", "co_argcount",
                                        f->nparams, "co_posonlyargcount", 0,
                                        "co_kwonlyargcount", 0, "co_nlocals", nvars,
                                        "co_varnames", varnames.get(), "co_flags", flags,
                                        "co_qualname", objects.qualname));
  if (!replace || !kwargs) return nullptr;
  return Ref::steal(PyObject_Call(replace.get(), f->home->empty_tuple, kwargs.get()));
}

// ---- attributes ----

// Replaces an optional attribute that None clears, of the type `check`
// accepts.
int set_optional(PyObject *&slot, PyObject *value, int (*check)(PyObject *),
                 const char *message) {
  if (value == Py_None) value = nullptr;
  if (value && !check(value)) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  Py_XINCREF(value);
  Py_XSETREF(slot, value);
  return 0;
}

int is_tuple(PyObject *o) { return PyTuple_Check(o); }
int is_dict(PyObject *o) { return PyDict_Check(o); }

PyObject *get_name(PyObject *self, void *) { return newref(as_function(self)->name); }
int set_name(PyObject *self, PyObject *value, void *) {
  return set_str_attribute(as_function(self)->name, value,
                           "__name__ must be set to a string object");
}
PyObject *get_qualname(PyObject *self, void *) { return newref(as_function(self)->qualname); }
int set_qualname(PyObject *self, PyObject *value, void *) {
  return set_str_attribute(as_function(self)->qualname, value,
                           "__qualname__ must be set to a string object");
}
PyObject *get_defaults(PyObject *self, void *) {
  PyObject *d = as_function(self)->defaults;
  return newref(d ? d : Py_None);
}
int set_defaults(PyObject *self, PyObject *value, void *) {
  return set_optional(as_function(self)->defaults, value, is_tuple,
                      "__defaults__ must be set to a tuple object");
}
PyObject *get_kwdefaults(PyObject *self, void *) {
  PyObject *d = as_function(self)->kwdefaults;
  return newref(d ? d : Py_None);
}
int set_kwdefaults(PyObject *self, PyObject *value, void *) {
  return set_optional(as_function(self)->kwdefaults, value, is_dict,
                      "__kwdefaults__ must be set to a dict object");
}
PyObject *get_annotations(PyObject *self, void *) {
  NativeFunction *f = as_function(self);
  if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
  return newref(f->annotations);
}
int set_annotations(PyObject *self, PyObject *value, void *) {
  return set_optional(as_function(self)->annotations, value, is_dict,
                      "__annotations__ must be set to a dict object");
}
PyObject *get_code(PyObject *self, void *) {
  NativeFunction *f = as_function(self);
  SpecObjects &objects = *f->spec->objects;
  if (!objects.code) objects.code = build_code(f).release();  // kept with the declaration
  return objects.code ? newref(objects.code) : nullptr;
}
PyObject *get_globals(PyObject *self, void *) { return newref(as_function(self)->home->dict); }

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
  Py_VISIT(f->closure);
  return 0;
}

int function_clear(PyObject *self) {
  NativeFunction *f = as_function(self);
  Py_CLEAR(f->defaults);
  Py_CLEAR(f->kwdefaults);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->dict);
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
  PyObject_GC_Del(self);
}

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#endif
// The offsets tell the interpreter where an instance keeps its vectorcall
// entry, `__dict__` and weak references; they are slots of the type, never
// attributes an instance shows.
PyTypeObject g_function_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vantropy.native_function",
    .tp_basicsize = sizeof(NativeFunction),
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(NativeFunction, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_traverse = function_traverse,
    .tp_clear = function_clear,
    .tp_weaklistoffset = offsetof(NativeFunction, weakrefs),
    .tp_methods = g_methods,
    .tp_members = g_members,
    .tp_getset = g_getset,
    .tp_descr_get = function_descr_get,
    .tp_dictoffset = offsetof(NativeFunction, dict),
};
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

}  // namespace

Ref make_function(const ModuleState &home, const FuncSpec &spec, PyObject *defaults,
                  PyObject *closure) {
  if (!PyType_HasFeature(&g_function_type, Py_TPFLAGS_READY) &&
      PyType_Ready(&g_function_type) < 0)
    return nullptr;
  SpecObjects *objects = objects_of(home, spec);
  if (!objects) return nullptr;

  NativeFunction *f = PyObject_GC_New(NativeFunction, &g_function_type);
  if (!f) return nullptr;
  f->vectorcall = spec.entry ? spec.entry : detail::function_vectorcall;
  f->spec = &spec;
  f->home = &home;
  f->names = objects->names;
  f->nparams = objects->nparams;
  f->positional = spec.varargs || spec.varkw ? -1 : objects->nparams;
  f->name = newref(objects->name);
  f->qualname = newref(objects->qualname);
  f->module = newref(objects->module);
  f->doc = newref(Py_None);
  f->defaults = defaults && defaults != Py_None ? newref(defaults) : nullptr;
  f->declared_defaults = f->defaults;
  f->kwdefaults = f->annotations = f->dict = f->weakrefs = nullptr;
  f->closure = closure ? newref(closure) : nullptr;
  PyObject_GC_Track(f);
  return Ref::steal(reinterpret_cast<PyObject *>(f));
}

}  // namespace vantropy
