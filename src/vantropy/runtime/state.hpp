// The state each module keeps for the life of the process, and the one
// thing the shared runtime does with it on every failure: a traceback entry.
// Each module owns one `ModuleState` (module.hpp); its function and
// generator objects point to it, so one function type serves every module.
#pragma once

#include "ref.hpp"

#include <cstdint>

namespace vantropy {

struct ModuleInfo;

struct ModuleState {
  const ModuleInfo *info = nullptr;
  const char *qualname = nullptr;  // "vantropy._brevix"
  const char *filename = nullptr;  // "src/vantropy/_brevix", named in tracebacks
  PyObject *module = nullptr;      // the record: set at exec, kept for the process
  std::int64_t interpreter = -1;
  // The namespace of the latest exec step, owned until the next one begins:
  // after a failure, functions bound before it can outlive the module (the
  // traceback's frame holds the namespace) and still read their globals.
  PyObject *dict = nullptr;
  // From 3.12, the count of changes of the namespace that the global-name
  // caches are keyed on (0: changes cannot be told apart, nothing is cached).
  std::uint64_t version = 0;
  PyObject *builtins = nullptr;  // the builtins module
  PyObject *builtins_dict = nullptr;
  PyObject *empty_tuple = nullptr;
  PyObject *empty_bytes = nullptr;
  PyObject *empty_str = nullptr;
  bool assertions = true;  // assertions enabled (no -O), read at exec
  // The module's state block, which the interpreter allocates before the
  // exec step as its "already executed" marker.
  void *marker = nullptr;
};

// Adds the traceback entry `name` in `filename` to the pending exception,
// as a frame whose globals are `globals` (the module namespace; no entry
// without one).
VANTROPY_SHARED void add_traceback_entry(const char *name, const char *filename,
                                         PyObject *globals) noexcept;

}  // namespace vantropy
