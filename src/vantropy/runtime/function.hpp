// The native function object, one type for every module of the package.  A
// function is declared once, as data: its name, qualified name, parameters
// (with their defaults) and C++ body.  The object behaves like a Python
// function for callers and for `inspect`: vectorcall, `__get__` (so it
// binds as a method inside a class), `__name__`, `__qualname__`,
// `__module__`, `__doc__`, `__defaults__`, `__kwdefaults__`,
// `__annotations__`, `__dict__` and a `__code__` that carries the parameter
// names and flags.
#pragma once

#include "compat.hpp"
#include "guard.hpp"
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
  // The vectorcall made for this body by `declare` (null: the general one).
  vectorcallfunc entry = nullptr;
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

namespace detail {

// Copies at most kMaxParams pointers one by one: a library call, or a loop
// the compiler makes general, would cost more than the few there are.
inline void copy_few(PyObject **to, PyObject *const *from, Py_ssize_t count) {
  static_assert(kMaxParams == 6);
  switch (count) {
    case 6: to[5] = from[5]; [[fallthrough]];
    case 5: to[4] = from[4]; [[fallthrough]];
    case 4: to[3] = from[3]; [[fallthrough]];
    case 3: to[2] = from[2]; [[fallthrough]];
    case 2: to[1] = from[1]; [[fallthrough]];
    case 1: to[0] = from[0]; [[fallthrough]];
    default: break;
  }
}

// The arguments of a positional call that leaves the last parameters to
// their declared defaults: nothing to bind by name.  The declared defaults
// live as long as the module, so the body may rebind __defaults__ while it
// runs; a tuple that __defaults__ was set to is the binder's, which holds
// it for the call.
struct Defaulted {
  PyObject *args[kMaxParams];

  // False when the call is not of that kind.
  bool fill(NativeFunction *f, PyObject *const *given, Py_ssize_t nargs) {
    PyObject *defaults = f->defaults;
    if (nargs >= f->positional || !defaults || defaults != f->declared_defaults) return false;
    const Py_ssize_t missing = f->nparams - nargs;
    if (missing > PyTuple_GET_SIZE(defaults)) return false;
    copy_few(args, given, nargs);
    copy_few(args + nargs, &PyTuple_GET_ITEM(defaults, PyTuple_GET_SIZE(defaults) - missing),
             missing);
    return true;
  }
};

inline constexpr char kRecursionWhere[] = " while calling a Python object";

// The vectorcall of every function: the common call (one argument per
// parameter, by position), the call that leaves the last parameters to
// their defaults, and the binder for the rest; inside the interpreter's
// recursion guard, with the function's traceback entry on failure.
VANTROPY_SHARED PyObject *function_vectorcall(PyObject *callable, PyObject *const *args,
                                              size_t nargsf, PyObject *kwnames);
[[gnu::cold]] VANTROPY_SHARED void add_function_traceback(NativeFunction *f) noexcept;

// The same, made for the body `B`: the common call, and the one that
// leaves parameters to their defaults, run `B` inline, so the call costs
// little more than the body; any other call goes the general way.
// Runs the body `B` with its arguments bound, inside the interpreter's
// recursion guard, with the function's traceback entry on failure.
template <Body B>
[[gnu::always_inline]] inline PyObject *run_body(NativeFunction *f, PyObject *const *args) {
  compat::RecursionGuard guard;
  if (!guard.enter(kRecursionWhere)) return nullptr;
  Ref result;
  try {
    result = B(f, args);
  } catch (...) {
    raise_from_cpp_exception();  // no C++ exception reaches the interpreter
  }
  guard.leave();
  if (!result) add_function_traceback(f);
  return result.release();
}

template <Body B>
PyObject *direct_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                            PyObject *kwnames) {
  auto *f = reinterpret_cast<NativeFunction *>(callable);
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  Defaulted defaulted;
  if (kwnames || (nargs != f->positional && !defaulted.fill(f, args, nargs)))
    return function_vectorcall(callable, args, nargsf, kwnames);
  return run_body<B>(f, nargs == f->positional ? args : defaulted.args);
}

}  // namespace detail

// A function's declaration: its name, parameters (see FuncSpec::params) and
// body, with the vectorcall made for that body; `qualname` for a method,
// `varargs` and `varkw` for a trailing *args and **kwargs.
template <Body B>
FuncSpec declare(const char *name, std::array<const char *, kMaxParams> params,
                 const char *qualname = nullptr, bool varargs = false, bool varkw = false) {
  // A function with *args or **kwargs always binds: the general vectorcall
  // serves it without a detour.
  return {name, qualname, params, B, varargs, varkw,
          varargs || varkw ? nullptr : &detail::direct_vectorcall<B>};
}

// A function of the module `home`, with the defaults its declaration gives
// (`defaults`: the tuple of their values, shared by functions whose
// defaults are equal and kept by the module for the life of the process;
// may be null) and `closure` kept for the body.
VANTROPY_SHARED Ref make_function(const ModuleState &home, const FuncSpec &spec,
                                  PyObject *defaults, PyObject *closure);

}  // namespace vantropy
