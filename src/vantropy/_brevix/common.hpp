// What the parts of vantropy._brevix share: the names it reads, the C
// functions it takes from other modules, the solver handle and buffers of
// one call, the messages users see, and the four data types, each declared
// once with everything that differs between them.
#pragma once

#include "capi.h"
#include "runtime/names.hpp"
#include "vantro130.h"

#include <cmath>
#include <cstring>

namespace vantropy::brevix {

// Attribute names read from the caller's objects and from VNT.
extern Str s_cmodel, s_cenv, s_typename, s_typeenum, s_cindex;
extern Str s_INFINITY, s_UNDEFINED, s_Error, s_OPTIMIZATION_IN_PROGRESS;
// Pieces of the messages users see.
extern Str s_msg_vantropy, s_msg_no_attribute, s_msg_quote, s_msg_not_added, s_msg_removed,
    s_msg_attribute, s_msg_busy, s_msg_cannot_set;

extern Builtin b_AttributeError;

// Module-level names, looked up at call time.
extern Global g_VNT, g_VantroError, g_stringtobytes, g_bytestostring, g_isscalar,
    g_getattrinfo, g_geterrormsg;

// Taken from the other modules' capsule tables at exec.
extern capi::ErrormsgFn g_env_errormsg;
extern capi::ErrormsgFn g_model_errormsg;
extern capi::PtrFn g_ptr;

// ---- one call's resources -----------------------------------------------------

// A solver handle, fetched afresh for one library call.  The `_cmodel`
// value is held until the call returns, so a handle made on the fly by a
// property cannot be freed under the library.
struct Handle {
  Ref owner;
  VNTmodel *model = nullptr;

  bool from_value(PyObject *cmodel) {
    owner = Ref::borrow(cmodel);
    void *p = g_ptr(cmodel);
    if (PyErr_Occurred()) return false;
    model = static_cast<VNTmodel *>(p);
    return true;
  }
  bool from_object(PyObject *obj) {
    Ref cmodel = attr(obj, s_cmodel);
    return cmodel && from_value(cmodel.get());
  }
};

// Native memory for one list call, released on every path.  A request that
// cannot be met raises MemoryError and yields no buffer to write through.
template <class T>
class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer &) = delete;
  Buffer &operator=(const Buffer &) = delete;
  ~Buffer() { PyMem_Free(p_); }

  bool allocate(Py_ssize_t n) {
    if (static_cast<size_t>(n) > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(T)) {
      PyErr_NoMemory();
      return false;
    }
    p_ = static_cast<T *>(PyMem_Malloc(n > 0 ? static_cast<size_t>(n) * sizeof(T) : 1));
    if (!p_) {
      PyErr_NoMemory();
      return false;
    }
    return true;
  }
  T *get() const noexcept { return p_; }
  T &operator[](Py_ssize_t i) const noexcept { return p_[i]; }
  // Gives the memory back early, once the library call has used it.
  void release() noexcept {
    PyMem_Free(p_);
    p_ = nullptr;
  }

 private:
  T *p_ = nullptr;
};

// ---- names and messages ---------------------------------------------------------

// The pieces joined with Python's `+`, as the messages are written (so a
// `_typename` that is not a str fails as the expression would).
Ref plus(std::initializer_list<PyObject *> parts);

// `raise AttributeError(message)`; null when `message` is null.
Ref raise_attribute_error(Ref message);
// "'vantropy.<type>' object has no attribute '<name>'", the text Python
// users know for a missing attribute.
Ref no_attribute_message(PyObject *obj, PyObject *attrname);
Ref raise_no_attribute(PyObject *obj, PyObject *attrname);
// "Attribute '<name>'" followed by `tail`, raised as AttributeError.
Ref raise_attribute_message(PyObject *attrname, PyObject *tail);
// The library's last text for `obj`, through the module-level _geterrormsg,
// raised as AttributeError.
Ref raise_solver_failure(PyObject *obj);

// The contents of bytes or a bytearray made by _stringtobytes, with a NUL
// after them; null with `nul` set when they hold a NUL of their own, which
// the library would take for their end.
const char *bytes_contents(PyObject *b, bool &nul);
// A string value for the library, refused whole (ValueError) when it holds
// a NUL rather than stored cut short.
const char *bytes_data(PyObject *b);

// How a call treats an attribute name holding a NUL, which is no attribute's
// name and must not reach the library cut short: it is refused as an unknown
// name is.
enum class NameUse {
  kSingle,    // AttributeError with the text for a missing attribute
  kListRead,  // VantroError with the library's code for an unknown attribute
};
// The attribute name for the library.  Taken anew for each use, since the
// bytes of a bytearray may have changed while Python code ran.
const char *name_data(PyObject *obj, PyObject *attrname, PyObject *uattrname,
                      NameUse use = NameUse::kSingle);

// ---- values in and out ------------------------------------------------------------

// A double from the library as Python sees it: the undefined marker as it
// is (tested first, since it lies beyond the bound), values at or beyond
// the infinity bound as infinities.
inline double bounded(double d, double bound) {
  if (d >= bound) return HUGE_VAL;
  if (d <= -bound) return -HUGE_VAL;
  return d;
}
inline double double_out(double d, double undefined, double bound) {
  return d == undefined ? d : bounded(d, bound);
}
// The same with VNT's constants read now; constants that are not floats
// are compared with Python's own comparisons.
Ref double_out(double d);

// A value headed for a double attribute: one that equals an infinity
// (Python equality, +inf tested first) becomes VNT.INFINITY or its
// negation, read now.  `fetch` gives the value for each test: a list item
// is read by position again for every test unless the sequence is `stable`
// (a list or tuple, which gives the same object each time).
template <class Fetch>
Ref infinity_in(Fetch &&fetch, bool stable);

// A string from the library, copied at once; a failed call or a null
// pointer reads as the empty string.
Ref string_out(int error, const char *s);

// Chars cross the library as bytes, so only U+0000..U+00FF can be stored
// as they are; anything above would lose its high bits.  `position` is the
// item of a list, or -1 for a single value.
Ref char_range_message(PyObject *attrname, Py_UCS4 ch, Py_ssize_t position);

// ---- the data types -----------------------------------------------------------------

// Each data type, declared once (types.hpp): its C type, the check a new
// value must pass (with the message for one that does not), the
// conversions in and out, and the library's calls.
struct CharType;
struct IntType;
struct DoubleType;
struct StringType;

// The functions, by topic.
extern const FuncSpec kGeterrormsg, kGetattrinfo, kGetattr, kGettypedattrlist, kSetattr,
    kSettypedattrlist, kPrefetchattr, kAttrlist;

// `with_type<First>(attrtype, fn, none)` calls `fn` with the entry of the
// data type that `attrtype` names: the codes `First` to 3 in this order,
// compared with Python equality (an exact int directly); `none()` when it
// names none of them; null with an exception set when a comparison fails.
// It is the one place that tells the data types apart.

}  // namespace vantropy::brevix

#include "types.hpp"
