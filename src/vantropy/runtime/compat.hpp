// The few places where the runtime reads interpreter internals.  Each is
// wrapped here so that the rest of the code never touches a private field.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace vantropy::compat {

// A tag that changes whenever the dict changes; the global-name caches are
// keyed on it.  Never 0 for a live dict.
inline std::uint64_t dict_version(PyObject *dict) noexcept {
  return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
}

// Adds one traceback entry (function name, file, line) to the pending exception.
inline void traceback_add(const char *funcname, const char *filename, int line) {
  _PyTraceback_Add(funcname, filename, line);
}

}  // namespace vantropy::compat
