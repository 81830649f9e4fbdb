// The native function object.  A function is declared once, as data: its
// name, qualified name, parameter names and C++ body; defaults and an
// optional closure payload are given when it is created.  The object behaves
// like a Python function for callers and for `inspect`: vectorcall,
// `__get__` (so it binds as a method inside a class), `__name__`,
// `__qualname__`, `__module__`, `__doc__`, `__defaults__`, `__kwdefaults__`,
// `__annotations__`, `__dict__` and a `__code__` that carries the parameter
// names and flags.
#pragma once

#include "ref.hpp"

#include <array>

namespace vantropy {

struct NativeFunction;

// The body receives the bound arguments, one per parameter in declaration
// order (borrowed), then the `*args` tuple and the `**kwargs` dict when the
// function has them.  It returns a new reference or null with an exception
// set; the traceback entry is added by the caller of the body.
using Body = PyObject *(*)(NativeFunction *self, PyObject *const *args);

inline constexpr int kMaxParams = 6;

struct FuncSpec {
  const char *name;
  const char *qualname;  // null: the same as name
  std::array<const char *, kMaxParams> params{};  // null-terminated when shorter
  Body body = nullptr;
  bool varargs = false;  // a trailing *args
  bool varkw = false;    // a trailing **kwargs
};

struct NativeFunction {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FuncSpec *spec;
  int nparams;
  PyObject *names[kMaxParams];  // interned parameter names
  PyObject *name;
  PyObject *qualname;
  PyObject *module;
  PyObject *doc;
  PyObject *defaults;  // tuple or null
  PyObject *kwdefaults;
  PyObject *annotations;
  PyObject *dict;
  PyObject *code;  // built on first access
  PyObject *closure;  // optional payload owned by the function
  PyObject *traceback_name;  // bytes: "<module>.<qualname>"
  PyObject *weakrefs;
};

// Creates a function of this module.  `defaults` (a tuple, may be null) gives
// the values of the last parameters; `closure` is kept for the body.
PyObject *make_function(const FuncSpec &spec, PyObject *defaults = nullptr,
                        PyObject *closure = nullptr);

}  // namespace vantropy
