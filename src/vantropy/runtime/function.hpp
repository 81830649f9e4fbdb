// The native function object, one type for every module of the package.  A
// function is declared once, as data: its name, qualified name, parameters
// (with their defaults) and C++ body.  The object behaves like a Python
// function for callers and for `inspect`: vectorcall, `__get__` (so it
// binds as a method inside a class), `__name__`, `__qualname__`,
// `__module__`, `__doc__`, `__defaults__`, `__kwdefaults__`,
// `__annotations__`, `__dict__` and a `__code__` that carries the parameter
// names and flags.
#pragma once

#include "state.hpp"

#include <array>

namespace vantropy {

struct NativeFunction;

// The body receives the bound arguments, one per parameter in declaration
// order (borrowed), then the `*args` tuple and the `**kwargs` dict when the
// function has them.  It returns the result, or null with an exception set;
// the traceback entry is added by its caller.
using Body = Ref (*)(NativeFunction *self, PyObject *const *args);

inline constexpr int kMaxParams = 6;

struct SpecObjects;

struct FuncSpec {
  const char *name;
  const char *qualname;  // null: the same as name
  // "name", or "name=default" with a default of None, False or True; the
  // defaults are the last parameters.  Null-terminated when shorter.
  std::array<const char *, kMaxParams> params{};
  Body body = nullptr;
  bool varargs = false;  // a trailing *args
  bool varkw = false;    // a trailing **kwargs
  // The objects every function made from this declaration shares, made
  // with the first of them and kept for the process.
  mutable SpecObjects *objects = nullptr;
};

struct NativeFunction {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FuncSpec *spec;
  const ModuleState *home;  // the module the function belongs to
  PyObject *const *names;   // the interned parameter names, shared by the declaration
  int nparams;
  int positional;  // the argument count that binds by position alone; -1 with *args or **kwargs
  PyObject *name;
  PyObject *qualname;
  PyObject *module;
  PyObject *doc;
  PyObject *defaults;  // tuple or null
  // The defaults the function was made with, which its module keeps for
  // the life of the process (borrowed).
  PyObject *declared_defaults;
  PyObject *kwdefaults;
  PyObject *annotations;
  PyObject *dict;
  PyObject *closure;  // optional payload owned by the function
  PyObject *weakrefs;
};

// A function of the module `home`, with the defaults its declaration gives
// (`defaults`: the tuple of their values, shared by functions whose
// defaults are equal and kept by the module for the life of the process;
// may be null) and `closure` kept for the body.
VANTROPY_SHARED Ref make_function(const ModuleState &home, const FuncSpec &spec,
                                  PyObject *defaults, PyObject *closure);

}  // namespace vantropy
