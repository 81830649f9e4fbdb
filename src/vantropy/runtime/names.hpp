// Module-wide names: the interned string table, the cached built-ins and the
// per-call-site cache for module-level names.
#pragma once

#include "ref.hpp"

#include <cstdint>

namespace vantropy {

// A string of the module's table.  Declaring one at namespace scope registers
// it; the exec step creates every registered string once (identifiers
// interned) and computes its hash, so lookups at call time compare by
// identity and reuse the stored hash.
class Str {
 public:
  explicit Str(const char *text);
  Str(const Str &) = delete;
  Str &operator=(const Str &) = delete;

  PyObject *get() const noexcept { return obj_; }
  operator PyObject *() const noexcept { return obj_; }
  const char *text() const noexcept { return text_; }

  // Creates every registered string; -1 with an exception set on failure.
  static int create_all();

 private:
  const char *text_;
  PyObject *obj_ = nullptr;
};

// A built-in looked up at exec, in declaration order, and kept; later
// rebinding of the name in `builtins` does not affect it.
class Builtin {
 public:
  explicit Builtin(const char *name);
  Builtin(const Builtin &) = delete;
  Builtin &operator=(const Builtin &) = delete;

  PyObject *get() const noexcept { return obj_; }
  operator PyObject *() const noexcept { return obj_; }

  // Looks up every registered built-in, replacing what an earlier exec
  // took; NameError for a missing one.
  static int load_all(PyObject *builtins_module);

 private:
  const char *name_;
  PyObject *obj_ = nullptr;
};

// One place in the code that reads a module-level name.  It keeps what it
// found together with the namespace's version and reuses it while the
// namespace is unchanged; any change to the namespace makes the next use look
// the name up again, so rebinding a name takes effect at the next call.
struct GlobalSite {
  std::uint64_t version = 0;
  PyObject *value = nullptr;  // borrowed from the namespace, valid while version matches
};

// The value of a module-level name (namespace, then builtins) as a new
// reference, or null with NameError "name '%U' is not defined".
Ref global(GlobalSite &site, PyObject *name);

}  // namespace vantropy
