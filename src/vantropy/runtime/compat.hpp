// The few places where the runtime depends on interpreter internals or on
// API that differs between interpreter versions.  Each is wrapped here, so
// the rest of the code never touches a private field.
#pragma once

#include "ref.hpp"

#include <cstdint>

namespace vantropy::compat {

// The global-name caches are keyed on a number that changes whenever the
// module's namespace changes.
//
// On 3.11 it is the dict's own version tag, which the interpreter keeps for
// exactly this use.  From 3.12 that tag is deprecated (3.14 removes it); a
// dict watcher counts the namespace's changes instead, into the module's
// own counter.  The package takes one watcher id for all its modules (the
// interpreter has few); without one, the counters stay 0, the caches stay
// empty and every use looks the name up.
#if PY_VERSION_HEX < 0x030C0000
inline std::uint64_t dict_version(PyObject *dict) noexcept {
  return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
}
inline void watch_namespace(PyObject *, std::uint64_t *) noexcept {}
inline void unwatch_namespace(PyObject *) noexcept {}
#else
// Starts counting the changes of `dict` in `*version`.  Never fails: without
// a watcher `*version` stays 0.
VANTROPY_SHARED void watch_namespace(PyObject *dict, std::uint64_t *version) noexcept;
// Stops counting them (a failed exec drops its namespace); the counter is 0
// from then on.
VANTROPY_SHARED void unwatch_namespace(PyObject *dict) noexcept;
#endif

// True while the interpreter runs with assertions enabled (no -O), as
// `__debug__`.  The optimisation level is fixed for the life of the
// process; the exec step reads it once.  -1 with an exception on failure.
VANTROPY_SHARED int read_assertions_enabled() noexcept;

// The value of an exact int that fits one digit (every int of the small
// constants and indices the modules compare), read in place; false for any
// other int, which then takes the interpreter's own conversion.
inline bool compact_value(PyObject *exact_int, long &out) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  auto *number = reinterpret_cast<PyLongObject *>(exact_int);
  if (!PyUnstable_Long_IsCompact(number)) return false;
  out = static_cast<long>(PyUnstable_Long_CompactValue(number));
  return true;
#else
  Py_ssize_t size = Py_SIZE(exact_int);
  if (size < -1 || size > 1) return false;
  out = size ? size * static_cast<long>(reinterpret_cast<PyLongObject *>(exact_int)->ob_digit[0]) : 0;
  return true;
#endif
}

// The failure of an attribute look-up made through the type's slot, as
// PyObject_GetAttr reports it: an AttributeError not yet told its name and
// object is told them (the interpreter's suggestions read them).
[[gnu::cold]] VANTROPY_SHARED void attribute_error_context(PyObject *obj,
                                                         PyObject *name) noexcept;

// The interpreter's recursion guard around a call through a native
// function, with its common case inline: the thread's C recursion budget is
// counted down and up in place, and only when it runs out is the
// interpreter's own check (and its RecursionError) called.  3.14 guards the
// C stack by its address instead, through the public calls.
class RecursionGuard {
 public:
  bool enter(const char *where) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    return Py_EnterRecursiveCall(where) == 0;
#else
#if PY_VERSION_HEX >= 0x030D0000
    tstate_ = PyThreadState_GetUnchecked();
#else
    tstate_ = _PyThreadState_UncheckedGet();
#endif
    int &remaining = budget();
    if (remaining > 0) {
      --remaining;
      return true;
    }
    return Py_EnterRecursiveCall(where) == 0;
#endif
  }
  void leave() noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    Py_LeaveRecursiveCall();
#else
    ++budget();
#endif
  }

 private:
#if PY_VERSION_HEX < 0x030E0000
  int &budget() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return tstate_->c_recursion_remaining;
#else
    return tstate_->recursion_remaining;
#endif
  }
  PyThreadState *tstate_ = nullptr;
#endif
};

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
// The tables a 3.11 instruction's argument indexes into (borrowed from the
// code object), for the bytecode reader that only 3.11 uses.
struct CodeTables {
  PyObject *consts;
  PyObject *names;
  PyObject *localsplusnames;
};
inline CodeTables code_tables(PyCodeObject *code) noexcept {
  return {code->co_consts, code->co_names, code->co_localsplusnames};
}
#endif

}  // namespace vantropy::compat
