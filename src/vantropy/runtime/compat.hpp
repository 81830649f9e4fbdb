// The few places where the runtime reads interpreter internals.  Each is
// wrapped here so that the rest of the code never touches a private field.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#if PY_VERSION_HEX >= 0x030D0000
// Still exported, but its declaration moved to the internal headers.
extern "C" PyAPI_FUNC(void) _PyTraceback_Add(const char *, const char *, int);
#endif

namespace vantropy::compat {

// A tag that changes whenever the dict changes; the global-name caches are
// keyed on it.  Never 0 for a live dict.
// From 3.12 the field is marked deprecated but still changes on every
// mutation of the dict, which is all the caches need.
inline std::uint64_t dict_version(PyObject *dict) noexcept {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
  return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}

// Adds one traceback entry (function name, file, line) to the pending exception.
inline void traceback_add(const char *funcname, const char *filename, int line) {
  _PyTraceback_Add(funcname, filename, line);
}

}  // namespace vantropy::compat
