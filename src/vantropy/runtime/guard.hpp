// No C++ exception may cross into the interpreter.  Every place where the
// interpreter enters module code (a function body, a generator step, an
// exec step) runs it through `guarded`, which turns an escaping exception
// into the Python exception of the same meaning and returns `failure`.
#pragma once

#include "ref.hpp"

#include <utility>

namespace vantropy {

// Sets the Python exception for the C++ exception being handled:
// MemoryError for std::bad_alloc (and std::length_error, a size no
// allocation can meet), SystemError naming anything else.
VANTROPY_SHARED void raise_from_cpp_exception() noexcept;

template <class R, class Body>
R guarded(R failure, Body &&body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    raise_from_cpp_exception();
    return failure;
  }
}

}  // namespace vantropy
