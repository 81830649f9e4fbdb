// The few places where the runtime reads interpreter internals.  Each is
// wrapped here so that the rest of the code never touches a private field.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace vantropy::compat {

// A number that changes whenever the module's namespace changes; the
// global-name caches are keyed on it.  0 means that changes cannot be told
// apart, and no cache entry is then ever trusted.
//
// On 3.11 it is the dict's own version tag, which the interpreter keeps for
// exactly this use.  From 3.12 that tag is deprecated (3.14 removes it); a
// dict watcher counts the namespace's changes instead.  A watcher costs one
// of the few ids the interpreter has; without one the caches stay empty and
// every use looks the name up.
#if PY_VERSION_HEX < 0x030C0000
inline std::uint64_t namespace_version(PyObject *dict) noexcept {
  return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
}
inline int watch_namespace(PyObject *) noexcept { return 0; }
inline void unwatch_namespace(PyObject *) noexcept {}
#else
// The count of changes of the watched namespace, or 0 while none is
// watched.  The count only grows, so a value seen before an unwatch never
// comes back for another namespace.
inline std::uint64_t g_namespace_version = 0;
inline std::uint64_t namespace_version(PyObject *) noexcept { return g_namespace_version; }
// Starts counting the changes of `dict`.  Never fails: without a free
// watcher id the counter stays 0 and the caches stay unused.
int watch_namespace(PyObject *dict) noexcept;
// Stops counting them (a failed exec drops its namespace).
void unwatch_namespace(PyObject *dict) noexcept;
#endif

// True while the interpreter runs with assertions enabled (no -O), as
// `__debug__`.  The optimisation level is fixed for the life of the
// process; the exec step reads it once.  -1 with an exception on failure.
int read_assertions_enabled() noexcept;

// Adds one traceback entry (function name, file, line) to the pending
// exception.  The code object of each entry is made once and reused: making
// a fresh one per failure grows memory on 3.13, and costs time everywhere.
void traceback_add(const char *funcname, const char *filename, int line);

}  // namespace vantropy::compat
