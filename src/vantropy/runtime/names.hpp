// Module-wide names and constants, each declared once at namespace scope:
// the interned string table (`Str`), the cached built-ins (`Builtin`), the
// module-level names looked up at call time (`Global`) and the constants
// made at exec (`Constant`).  Declaring one registers it with this module;
// the exec step creates them all.
#pragma once

#include "compat.hpp"
#include "module.hpp"
#include "object.hpp"

#include <cstdint>

namespace vantropy {

// A string of the module's table, created once at exec (identifiers
// interned) with its hash computed, so that look-ups at call time compare by
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

// An object made once at exec, after the string table, and shared by every
// call; `make` returns it (null with an exception set on failure).
class Constant {
 public:
  explicit Constant(Ref (*make)());
  Constant(const Constant &) = delete;
  Constant &operator=(const Constant &) = delete;

  PyObject *get() const noexcept { return obj_; }
  operator PyObject *() const noexcept { return obj_; }

  static int create_all();

 private:
  Ref (*make_)();
  PyObject *obj_ = nullptr;
};

// A module-level name (an imported class or function, or another function of
// this module), looked up when it is used: in the namespace, then among the
// built-ins, NameError "name '%U' is not defined" otherwise.  The object
// found in the namespace is kept with the namespace's version and reused
// while the namespace is unchanged; any change to the namespace makes the
// next use look the name up again, so rebinding a name takes effect at the
// next call.
class Global {
 public:
  explicit Global(const char *name) : name_(name) {}
  Global(const Global &) = delete;
  Global &operator=(const Global &) = delete;

  // The value, or null with NameError.
  Ref get() const {
    std::uint64_t version = namespace_version();
    if (version == version_ && value_) return Ref::borrow(value_);
    return lookup(version);
  }
  // Calls the value: `name(args...)`.
  template <class... Args>
  Ref operator()(Args... args) const {
    Ref fn = get();
    return fn ? call(fn.get(), args...) : fn;
  }
  PyObject *name() const noexcept { return name_; }

 private:
  static std::uint64_t namespace_version() noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return compat::dict_version(g_module.dict);
#else
    return g_module.version;
#endif
  }
  Ref lookup(std::uint64_t version) const;

  Str name_;
  mutable std::uint64_t version_ = 0;
  mutable PyObject *value_ = nullptr;  // borrowed from the namespace, valid while version_ matches
};

}  // namespace vantropy
