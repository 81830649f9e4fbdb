// The few places where the runtime reads interpreter internals.  Each is
// wrapped here so that the rest of the code never touches a private field.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

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

// True while the interpreter runs with assertions enabled (no -O).  The
// flag is marked deprecated from 3.12 but still reflects -O.
inline bool assertions_enabled() noexcept {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
  return Py_OptimizeFlag == 0;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}

// Adds one traceback entry (function name, file, line) to the pending
// exception.  The code object of each entry is made once and reused: making
// a fresh one per failure grows memory on 3.13, and costs time everywhere.
void traceback_add(const char *funcname, const char *filename, int line);

}  // namespace vantropy::compat
