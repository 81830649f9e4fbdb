// The module frame: the create step, the common part of the exec step,
// capsule export and import, Python-level imports and the type import with
// its size check.  Each module is one shared object with exactly one module,
// so the frame's state is process-wide static storage of that object.
#pragma once

#include "ref.hpp"

#include <cstdint>
#include <initializer_list>

namespace vantropy {

struct ModuleInfo {
  const char *qualname;   // "vantropy._brevix"
  const char *shortname;  // "_brevix"
  const char *filename;   // "src/vantropy/_brevix", named in tracebacks
  const char *doc = nullptr;  // the module docstring, or none
};

struct ModuleState {
  const ModuleInfo *info = nullptr;
  PyObject *module = nullptr;  // the record: set at exec, kept for the process
  std::int64_t interpreter = -1;
  PyObject *dict = nullptr;
  PyObject *builtins = nullptr;  // the builtins module
  PyObject *builtins_dict = nullptr;
  PyObject *empty_tuple = nullptr;
  PyObject *empty_bytes = nullptr;
  PyObject *empty_str = nullptr;
  bool assertions = true;  // assertions enabled (no -O), read at exec
  // The module's state block, which the interpreter allocates before the
  // exec step as its "already executed" marker.
  void *marker = nullptr;
  int (*exec)(PyObject *) = nullptr;  // the module's own exec step
};

// The state of this shared object's module.
ModuleState &module_state() noexcept;

// The entry point's work: records `info` and returns the module definition
// (no per-module state, no methods, the create slot below and `exec`) for
// multi-phase initialisation.
PyObject *module_init(const ModuleInfo &info, int (*exec)(PyObject *));

// The create slot, the same for every module.
PyObject *module_create(PyObject *spec, PyModuleDef *def);

// Exec step, common part: records the module, checks the version, creates
// the string table, then the module's constants (`make_constants`, may be
// null), enters the module in sys.modules and loads the cached built-ins.
// Returns 1 when the module is already executed
// (the exec slot then returns 0), 0 to go on with the module's own steps,
// -1 on failure (already reported through `exec_failed`).
int exec_begin(PyObject *module, int (*make_constants)());
// The last step of every exec: binds `__test__` to a new empty dict.
// Returns 0, or `exec_failed()`.
int exec_finish();
// Reports a failed exec step: adds the "init <module>" traceback entry,
// releases the record of the module and returns -1.
int exec_failed();

// Adds a traceback entry "<module qualname>.<name>" in the module's file.
void add_traceback(const char *name, int line = 1);

// Publishes `fn` in this module's `__pyx_capi__` under `name`, in a capsule
// named by its signature string.
int export_function(const char *name, void *fn, const char *signature);
// Takes a function from `module.__pyx_capi__`, checking its signature string.
void *import_function(PyObject *module, const char *name, const char *signature);

// Imports a whole module (from sys.modules when it is there and not still
// initialising, else absolutely with this module's namespace as globals).
Ref import_module(const char *name);
// `from <module> import <names>`: binds each name in this module's namespace
// right after it is taken, so a failure leaves the earlier names bound.
int import_names(const char *module, std::initializer_list<const char *> names);
// `from <module> import <name>` at call time: imports the module (a loaded
// one is taken from sys.modules) and reads the name, falling back to a
// submodule of that name; ImportError "cannot import name %S" otherwise.
Ref import_from(PyObject *module_name, PyObject *fromlist, PyObject *name);
// Takes a type from `module` and checks its instance size against the size
// this module was built for.  Returns a new reference.
PyTypeObject *import_type(PyObject *module, const char *module_name, const char *type_name,
                          Py_ssize_t expected_size);

// Binds `value` under `name` in this module's namespace.
int bind(const char *name, PyObject *value);

}  // namespace vantropy
