// A pending exception held aside while other code runs.  Nothing may call
// into the interpreter with an exception set, so code that must (to add a
// traceback entry, to close a generator that is being dropped, to chain one
// exception to another) takes the pending one first and puts it back after.
#pragma once

#include "ref.hpp"

namespace vantropy {

class PendingError {
 public:
  // Takes the pending exception; nothing is pending afterwards.
  PendingError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    exc_ = PyErr_GetRaisedException();
#else
    PyErr_Fetch(&type_, &value_, &tb_);
#endif
  }
  PendingError(const PendingError &) = delete;
  PendingError &operator=(const PendingError &) = delete;
  // Puts the exception back, unless it was taken.
  ~PendingError() { restore(); }

  explicit operator bool() const noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return exc_ != nullptr;
#else
    return type_ != nullptr;
#endif
  }

  // Makes the exception pending again (a second call does nothing).
  void restore() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    if (exc_) PyErr_SetRaisedException(std::exchange(exc_, nullptr));
#else
    if (type_) PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                             std::exchange(tb_, nullptr));
#endif
  }

  // The exception as one instance that carries its traceback, no longer to
  // be restored: what `except E as e` would bind.
  Ref take() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(std::exchange(exc_, nullptr));
#else
    if (!type_) return nullptr;
    PyErr_NormalizeException(&type_, &value_, &tb_);
    if (tb_ && value_) PyException_SetTraceback(value_, tb_);
    Py_CLEAR(type_);
    Py_CLEAR(tb_);
    return Ref::steal(std::exchange(value_, nullptr));
#endif
  }

 private:
#if PY_VERSION_HEX >= 0x030C0000
  PyObject *exc_ = nullptr;
#else
  PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;
#endif
};

// Makes the exception instance `exc` the pending exception as it is, with
// its own traceback, cause and context (no chaining to an exception being
// handled, as raising it anew would do).
inline void set_raised(Ref exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc.release());
#else
  PyObject *value = exc.release();
  PyErr_Restore(newref(PyExceptionInstance_Class(value)), value, PyException_GetTraceback(value));
#endif
}

}  // namespace vantropy
