// Owned references.  A `Ref` owns one reference and releases it when it goes
// out of scope, so an early return never leaks; a plain `PyObject *` in
// module code is always a borrowed reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

// Marks what the shared runtime library offers the modules; everything else
// in it stays hidden.
#define VANTROPY_SHARED __attribute__((visibility("default")))

namespace vantropy {

class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}
  Ref(const Ref &other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
  Ref(Ref &&other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ~Ref() { Py_XDECREF(p_); }

  Ref &operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }

  // Takes over a new reference (the result of most C API calls); null stays null.
  static Ref steal(PyObject *p) noexcept {
    Ref r;
    r.p_ = p;
    return r;
  }
  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject *p) noexcept {
    Py_XINCREF(p);
    return steal(p);
  }

  PyObject *get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference to the caller (for a return value or a stealing API).
  [[nodiscard]] PyObject *release() noexcept { return std::exchange(p_, nullptr); }
  void reset(PyObject *stolen = nullptr) noexcept {
    PyObject *old = std::exchange(p_, stolen);
    Py_XDECREF(old);
  }

 private:
  PyObject *p_ = nullptr;
};

// A new reference to `p`, for returning a borrowed object.
inline PyObject *newref(PyObject *p) noexcept {
  Py_INCREF(p);
  return p;
}

}  // namespace vantropy
