// The module frame.  A module declares itself as one ordered table, its
// `ModuleInfo`: its names, then its members in the order they appear in its
// namespace (capsules it publishes and takes, imports, functions, classes).
// The frame runs that table as the module's exec step, with the common
// beginning (re-initialisation check, version check, string table,
// constants, `sys.modules`, built-ins), `__test__` at the end, and on any
// failure the "init <module>" traceback entry and a cleared record.
//
// Each module is one shared object with exactly one module, so its state is
// static storage of that object (`g_module`); functions and generators
// point to it.
#pragma once

#include "function.hpp"
#include "generator.hpp"
#include "object.hpp"

#include <array>
#include <initializer_list>
#include <memory>
#include <span>

namespace vantropy {

// One entry of a module's table.  Made by the functions below.
struct Member {
  enum class Kind : unsigned char {
    kExport, kCapsule, kImport, kFrom, kType, kFunction, kClass, kStep
  };
  Kind kind;
  const char *module = nullptr;     // the module imported from
  const char *name = nullptr;       // the name bound or taken
  const char *signature = nullptr;  // of a capsule
  std::array<const char *, 9> names{};  // of a from-import, null-terminated when shorter
  void *pointer = nullptr;              // the C function exported
  void (*store)(void *) = nullptr;      // keeps the C function taken
  PyTypeObject **type = nullptr;        // keeps the type taken
  Py_ssize_t size = 0;                  // the instance size the type must have
  const FuncSpec *spec = nullptr;
  PyObject **keep = nullptr;            // keeps the function made (for identity tests)
  Ref (*build)() = nullptr;             // makes the class bound under `name`
  int (*run)() = nullptr;               // anything else: 0, or -1 with an exception set
};

// Publishes the C function `fn` in this module's `__pyx_capi__` under
// `name`, in a capsule named by its signature string.
template <class Fn>
Member exported(const char *name, Fn *fn, const char *signature) {
  return {.kind = Member::Kind::kExport, .name = name, .signature = signature,
          .pointer = reinterpret_cast<void *>(fn)};
}

// Takes the C function `name` from `module.__pyx_capi__` (importing the
// module), checking its signature string, into `Slot`.
template <auto &Slot>
Member capsule(const char *module, const char *name, const char *signature) {
  return {.kind = Member::Kind::kCapsule, .module = module, .name = name, .signature = signature,
          .store = [](void *fn) {
            Slot = reinterpret_cast<std::remove_reference_t<decltype(Slot)>>(fn);
          }};
}

// `import module`, bound under its name.
inline Member imported(const char *module) {
  return {.kind = Member::Kind::kImport, .module = module, .name = module};
}

// `from module import names...`: each name is bound right after it is
// taken, so a failure leaves the earlier names bound.
inline Member from(const char *module, std::initializer_list<const char *> names) {
  Member m{.kind = Member::Kind::kFrom, .module = module};
  std::size_t i = 0;
  for (const char *name : names) m.names.at(i++) = name;
  return m;
}

// The type `module.name` into `slot`, checked against the instance size
// this module was built for.
inline Member imported_type(const char *module, const char *name, Py_ssize_t size,
                            PyTypeObject *&slot) {
  return {.kind = Member::Kind::kType, .module = module, .name = name, .type = &slot,
          .size = size};
}

// The function declared by `spec`, bound under its name (and kept in
// `*keep` when given).
inline Member function(const FuncSpec &spec, PyObject **keep = nullptr) {
  return {.kind = Member::Kind::kFunction, .spec = &spec, .keep = keep};
}

// The class that `build` makes, bound under `name`.
inline Member class_(const char *name, Ref (*build)()) {
  return {.kind = Member::Kind::kClass, .name = name, .build = build};
}

// A step of the module's own.
inline Member step(int (*run)()) { return {.kind = Member::Kind::kStep, .run = run}; }

struct ModuleInfo {
  const char *qualname;   // "vantropy._brevix"
  const char *shortname;  // "_brevix"
  const char *filename;   // "src/vantropy/_brevix", named in tracebacks
  const char *doc;        // the module docstring, or null for none
  std::span<const Member> members;
};

// The state of this shared object's module.
extern ModuleState g_module;

// The entry point's work: records `info` and returns the module definition
// (no per-module state, no methods, the create and exec slots) for
// multi-phase initialisation.
PyObject *module_init(const ModuleInfo &info);

// A function of this module made at call time (the lambdas some functions
// return), with `closure` kept for its body.
inline Ref new_function(const FuncSpec &spec, PyObject *closure) {
  return make_function(g_module, spec, nullptr, closure);
}

// A generator of this module running `body`.
inline Ref new_generator(std::unique_ptr<GeneratorBody> body, PyObject *name, PyObject *qualname) {
  return make_generator(g_module, std::move(body), name, qualname);
}

// Adds the traceback entry "<module qualname>.<name>" in the module's file.
void add_traceback(const char *name);

// `from <module> import <name>` at call time: imports the module (a loaded
// one is taken from sys.modules) and reads the name, falling back to a
// submodule of that name; ImportError "cannot import name %S" otherwise.
Ref import_from(PyObject *module_name, PyObject *fromlist, PyObject *name);

// `import <name>` at call time, as the statement does it in this module.
Ref import_now(PyObject *name);

// Binds `value` under `name` in this module's namespace.
int set_global(PyObject *name, PyObject *value);
int set_global(const char *name, PyObject *value);

// Builds a class as a class statement does: the metaclass of the bases,
// its `__prepare__`, `__module__` and `__qualname__` (and `__doc__` when
// given) in the class namespace, then the members, then the metaclass
// called with the name, the bases and the namespace.
class ClassBuilder {
 public:
  ClassBuilder(PyObject *name, std::initializer_list<PyObject *> bases, PyObject *doc = nullptr);
  explicit operator bool() const { return static_cast<bool>(ns_); }

  // `name = value` in the class body.
  bool set(PyObject *name, PyObject *value);
  // A method declared by `spec` (with its declared defaults), bound under
  // its name; null on failure.
  Ref method(const FuncSpec &spec);
  // A name used in the class body: the class namespace, then the module
  // namespace, then the built-ins.
  Ref lookup(PyObject *name);
  // The class.
  Ref finish();

 private:
  PyObject *name_;
  Ref bases_;
  Ref metaclass_;
  Ref ns_;
};

}  // namespace vantropy
