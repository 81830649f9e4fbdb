#include "guard.hpp"

#include <exception>
#include <new>
#include <stdexcept>

namespace vantropy {

void raise_from_cpp_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc &) {
    PyErr_NoMemory();
  } catch (const std::length_error &) {
    PyErr_NoMemory();
  } catch (const std::exception &e) {
    PyErr_Format(PyExc_SystemError, "unexpected C++ exception: %.200s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
  }
}

}  // namespace vantropy
