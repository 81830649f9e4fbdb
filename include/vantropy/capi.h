// The C functions that the modules hand to each other through their
// `__pyx_capi__` capsule tables, with the signature strings the capsules are
// named by.  The strings are compared character for character on import.
#pragma once

#include <Python.h>

namespace vantropy::capi {

using ErrormsgFn = PyObject *(*)(void *);
inline constexpr const char kErrormsgSignature[] = "PyObject *(void *)";

using PtrFn = void *(*)(PyObject *);
inline constexpr const char kPtrSignature[] = "void *(PyObject *)";

}  // namespace vantropy::capi
