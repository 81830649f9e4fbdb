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
