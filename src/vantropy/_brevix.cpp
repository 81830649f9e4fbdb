// vantropy._brevix: typed reads and writes of solver attributes.
//
// The functions here turn Python values into the library's C values and
// back: ints and doubles, single characters held as bytes, library-owned
// strings, and the library's infinity and undefined markers.  A failing
// library call becomes AttributeError with the library's own text, so that
// hasattr() and getattr() with a default work on the package's objects;
// element state and failed list reads become VantroError.
#include "capi.h"
#include "runtime/function.hpp"
#include "runtime/module.hpp"
#include "runtime/names.hpp"
#include "vantro130.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <type_traits>
#include <initializer_list>
#include <vector>

namespace vantropy {
namespace {

const ModuleInfo kInfo{"vantropy._brevix", "_brevix", "src/vantropy/_brevix"};

// Attribute names read from the caller's objects and from VNT.
Str s_cmodel{"_cmodel"};
Str s_cenv{"_cenv"};
Str s_typename{"_typename"};
Str s_typeenum{"_typeenum"};
Str s_cindex{"__cindex__"};
Str s_INFINITY{"INFINITY"};
Str s_UNDEFINED{"UNDEFINED"};
Str s_Error{"Error"};
Str s_OPTIMIZATION_IN_PROGRESS{"OPTIMIZATION_IN_PROGRESS"};
// Module-level names, looked up at call time.
Str s_VNT{"VNT"};
Str s_VantroError{"VantroError"};
Str s_stringtobytes{"_stringtobytes"};
Str s_bytestostring{"_bytestostring"};
Str s_isscalar{"_isscalar"};
Str s_getattrinfo{"_getattrinfo"};
Str s_geterrormsg{"_geterrormsg"};
// Pieces of the messages users see.
Str s_msg_vantropy{"'vantropy."};
Str s_msg_no_attribute{"' object has no attribute '"};
Str s_msg_quote{"'"};
Str s_msg_not_added{" has not yet been added to the model"};
Str s_msg_removed{" was removed from the model"};
Str s_msg_attribute{"Attribute '"};
Str s_msg_busy{"' cannot be queried while optimization is in progress"};
Str s_msg_cannot_set{"' cannot be set"};
Str s_msg_takes_char{"' takes character value"};
Str s_msg_takes_int{"' takes integer value"};
Str s_msg_takes_double{"' takes double value"};
Str s_msg_takes_string{"' takes string value"};

Builtin b_AttributeError{"AttributeError"};
Builtin b_range{"range"};

// Numeric constants and the default tuple of the three single-value calls.
PyObject *k_zero_float = nullptr;
PyObject *k_int[4] = {};  // 0, 1, 2, 3: the data type codes
PyObject *k_minus_one = nullptr;
PyObject *k_defaults = nullptr;  // (False,)

capi::ErrormsgFn g_env_errormsg = nullptr;
capi::ErrormsgFn g_model_errormsg = nullptr;
capi::PtrFn g_ptr = nullptr;

int make_constants() {
  k_zero_float = PyFloat_FromDouble(0.0);
  for (long i = 0; i < 4; ++i) k_int[i] = PyLong_FromLong(i);
  k_minus_one = PyLong_FromLong(-1);
  k_defaults = PyTuple_Pack(1, Py_False);
  for (PyObject *k : k_int)
    if (!k) return -1;
  return k_zero_float && k_minus_one && k_defaults ? 0 : -1;
}

// ---- small conversions ----------------------------------------------------

// Python truth, without a call for the common constants.
int truth(PyObject *o) {
  if (o == Py_True) return 1;
  if (o == Py_False || o == Py_None) return 0;
  return PyObject_IsTrue(o);
}

// `a <op> b` with Python's rich comparison, then the truth of its result
// (unlike PyObject_RichCompareBool, identity does not decide).
int compare(PyObject *a, PyObject *b, int op) {
  Ref r = Ref::steal(PyObject_RichCompare(a, b, op));
  return r ? truth(r.get()) : -1;
}

// `a == b` for a constant int `b` whose value is `bv`; exact ints are
// compared in C, anything else by Python's equality.
int equals_int(PyObject *a, PyObject *b, long bv) {
  if (PyLong_CheckExact(a)) {
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(a, &overflow);
    return !overflow && v == bv;
  }
  return compare(a, b, Py_EQ);
}

// The C int `v` compared with the Python object `b`, as Python compares the
// int made from `v` with it.
int compare_c_int(int v, PyObject *b, int op) {
  if (PyLong_CheckExact(b)) {
    int overflow = 0;
    long bv = PyLong_AsLongAndOverflow(b, &overflow);
    if (overflow) return op == Py_NE;  // b lies beyond any C int
    return op == Py_EQ ? v == bv : v != bv;
  }
  Ref pv = Ref::steal(PyLong_FromLong(v));
  return pv ? compare(pv.get(), b, op) : -1;
}

// Which of the data type codes `first`..`last` `attrtype` equals, tried in
// that order; -1 for none of them, -2 with an exception set.
int type_code(PyObject *attrtype, int first, int last) {
  if (PyLong_CheckExact(attrtype)) {
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(attrtype, &overflow);
    return !overflow && v >= first && v <= last ? static_cast<int>(v) : -1;
  }
  for (int code = first; code <= last; ++code) {
    int eq = compare(attrtype, k_int[code], Py_EQ);
    if (eq < 0) return -2;
    if (eq) return code;
  }
  return -1;
}

// A 32-bit index or value: an int directly, anything else through its
// __int__ (so a float is truncated toward zero).
bool to_int32(PyObject *o, int &out) {
  Ref converted;
  if (!PyLong_Check(o)) {
    PyNumberMethods *nb = Py_TYPE(o)->tp_as_number;
    if (nb && nb->nb_int) {
      converted = Ref::steal(nb->nb_int(o));
    } else if (nb && nb->nb_index) {
      converted = Ref::steal(nb->nb_index(o));
    } else {
      PyErr_SetString(PyExc_TypeError, "an integer is required");
      return false;
    }
    if (!converted) return false;
    if (!PyLong_Check(converted.get())) {
      PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                   Py_TYPE(converted.get())->tp_name);
      return false;
    }
    o = converted.get();
  }
  int overflow = 0;
  long v = PyLong_AsLongAndOverflow(o, &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow || v < INT_MIN || v > INT_MAX) {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
    return false;
  }
  out = static_cast<int>(v);
  return true;
}

bool to_double(PyObject *o, double &out) {
  if (PyFloat_CheckExact(o)) {
    out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  out = PyFloat_AsDouble(o);
  return !(out == -1.0 && PyErr_Occurred());
}

// The contents of bytes or a bytearray made by _stringtobytes, with a NUL
// after them; null with `nul` set when they hold a NUL of their own, which
// the library would take for their end.
const char *bytes_contents(PyObject *b, bool &nul) {
  const char *p;
  Py_ssize_t size;
  if (PyBytes_Check(b)) {
    p = PyBytes_AS_STRING(b);
    size = PyBytes_GET_SIZE(b);
  } else if (PyByteArray_Check(b)) {
    p = PyByteArray_AS_STRING(b);
    size = PyByteArray_GET_SIZE(b);
  } else {
    PyErr_Format(PyExc_TypeError, "expected bytes or bytearray, not '%.200s'",
                 Py_TYPE(b)->tp_name);
    return nullptr;
  }
  nul = std::memchr(p, 0, static_cast<size_t>(size)) != nullptr;
  return nul ? nullptr : p;
}

// A string value for the library, refused whole when it holds a NUL
// rather than stored cut short.
const char *bytes_data(PyObject *b) {
  bool nul = false;
  const char *p = bytes_contents(b, nul);
  if (nul) PyErr_SetString(PyExc_ValueError, "embedded null character");
  return p;
}

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
    Ref cmodel = Ref::steal(PyObject_GetAttr(obj, s_cmodel));
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

// ---- calls and raises -------------------------------------------------------

// Calls the module-level function `name` (looked up through `site`) with
// the given arguments.
Ref call_global(GlobalSite &site, PyObject *name, std::initializer_list<PyObject *> args) {
  Ref fn = global(site, name);
  if (!fn) return fn;
  return Ref::steal(PyObject_Vectorcall(fn.get(), args.begin(), args.size(), nullptr));
}

// Raises an exception instance as `raise instance` does.
PyObject *raise_instance(PyObject *exc) {
  if (PyExceptionInstance_Check(exc))
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc)), exc);
  else
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  return nullptr;
}

// `raise cls(*args)`.  The exception is built first, so a message that
// happens to be a tuple stays the one argument it was.
PyObject *raise_call(PyObject *cls, std::initializer_list<PyObject *> args) {
  Ref exc = Ref::steal(PyObject_Vectorcall(cls, args.begin(), args.size(), nullptr));
  return exc ? raise_instance(exc.get()) : nullptr;
}

// Joins the pieces with Python's `+`, as the messages are written.
Ref concat(std::initializer_list<PyObject *> parts) {
  const auto *it = parts.begin();
  Ref acc = Ref::borrow(*it);
  for (++it; it != parts.end() && acc; ++it) acc = Ref::steal(PyNumber_Add(acc.get(), *it));
  return acc;
}

PyObject *raise_attribute_error(Ref message) {
  return message ? raise_call(b_AttributeError, {message.get()}) : nullptr;
}

// "'vantropy.<type>' object has no attribute '<name>'", the text Python
// users know for a missing attribute.
PyObject *raise_no_attribute(PyObject *obj, PyObject *attrname) {
  Ref tname = Ref::steal(PyObject_GetAttr(obj, s_typename));
  if (!tname) return nullptr;
  return raise_attribute_error(
      concat({s_msg_vantropy, tname.get(), s_msg_no_attribute, attrname, s_msg_quote}));
}

// An attribute name for the library.  A name holding a NUL is no
// attribute's name and must not reach the library cut short: it is refused
// as an unknown name is, with the text for a missing attribute, raised as
// AttributeError or, for a list read, as VantroError with the library's
// code for an unknown attribute.
const char *name_data(PyObject *obj, PyObject *attrname, PyObject *uattrname,
                      bool list_read = false) {
  bool nul = false;
  const char *p = bytes_contents(uattrname, nul);
  if (!nul) return p;
  if (!list_read) {
    raise_no_attribute(obj, attrname);
    return nullptr;
  }
  Ref tname = Ref::steal(PyObject_GetAttr(obj, s_typename));
  if (!tname) return nullptr;
  Ref message = concat({s_msg_vantropy, tname.get(), s_msg_no_attribute, attrname, s_msg_quote});
  if (!message) return nullptr;
  static GlobalSite site_error;
  Ref error_class = global(site_error, s_VantroError);
  Ref code = Ref::steal(PyLong_FromLong(VNT_ERROR_UNKNOWN_ATTRIBUTE));
  if (error_class && code) raise_call(error_class.get(), {code.get(), message.get()});
  return nullptr;
}

// "Attribute '<name>'" followed by `tail`.
PyObject *raise_attribute_message(PyObject *attrname, PyObject *tail) {
  return raise_attribute_error(concat({s_msg_attribute, attrname, tail}));
}

// The library's last text for `obj`, through the module-level
// _geterrormsg, raised as AttributeError.
PyObject *raise_solver_failure(GlobalSite &site, PyObject *obj) {
  Ref message = call_global(site, s_geterrormsg, {obj});
  return raise_attribute_error(message);
}

// A data type code this call cannot read or write; without this the call
// would end without a value or write nothing and pretend to succeed.
PyObject *raise_unhandled_type(PyObject *attrname, PyObject *attrtype, bool model_level) {
  Ref message = Ref::steal(PyUnicode_FromFormat("Attribute '%S' has unsupported data type %S%s",
                                                attrname, attrtype,
                                                model_level ? " for a model" : ""));
  return raise_attribute_error(message);
}

PyObject *raise_unhandled_list_type(PyObject *attrtype) {
  Ref text = Ref::steal(PyObject_Repr(attrtype));
  if (!text) return nullptr;
  PyErr_Format(PyExc_ValueError,
               "unsupported attribute data type %U (expected 0 char, 1 int, 2 double or 3 string)",
               text.get());
  return nullptr;
}

// Chars cross the library as bytes, so only U+0000..U+00FF can be stored
// as they are; anything above would lose its high bits.
Ref char_range_message(PyObject *attrname, Py_UCS4 ch, Py_ssize_t position) {
  char code[16];
  std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(ch));
  if (position < 0)
    return Ref::steal(PyUnicode_FromFormat(
        "Attribute '%S' takes a character from U+0000 to U+00FF, not '%c' (%s)", attrname,
        static_cast<int>(ch), code));
  return Ref::steal(PyUnicode_FromFormat(
      "Attribute '%S' takes characters from U+0000 to U+00FF; item %zd is '%c' (%s)", attrname,
      position, static_cast<int>(ch), code));
}

// ---- shared steps -----------------------------------------------------------

// The attribute triple from the module-level _getattrinfo, unpacked into
// exactly three values.
struct AttrInfo {
  Ref type, size, settable;
};

void raise_need_more(Py_ssize_t got) {
  PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
               got == 1 ? "" : "s");
}

void raise_too_many() {
  PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{3});
}

bool unpack3(PyObject *seq, AttrInfo &info) {
  Ref *out[3] = {&info.type, &info.size, &info.settable};
  if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
    Py_ssize_t n = Py_SIZE(seq);
    if (n != 3) {
      if (n > 3) raise_too_many();
      else raise_need_more(n);
      return false;
    }
    for (int i = 0; i < 3; ++i)
      *out[i] = Ref::borrow(PyTuple_CheckExact(seq) ? PyTuple_GET_ITEM(seq, i)
                                                    : PyList_GET_ITEM(seq, i));
    return true;
  }
  Ref it = Ref::steal(PyObject_GetIter(seq));
  if (!it) return false;
  for (int i = 0; i < 3; ++i) {
    *out[i] = Ref::steal(PyIter_Next(it.get()));
    if (!*out[i]) {
      if (!PyErr_Occurred()) raise_need_more(i);
      return false;
    }
  }
  Ref extra = Ref::steal(PyIter_Next(it.get()));
  if (extra) {
    raise_too_many();
    return false;
  }
  return !PyErr_Occurred();
}

bool attr_info(GlobalSite &site, PyObject *obj, PyObject *attrname, AttrInfo &info) {
  Ref triple = call_global(site, s_getattrinfo, {obj, attrname});
  return triple && unpack3(triple.get(), info);
}

// The element's index, with its state checked: -1 is not yet added, below
// -1 is removed.  Both raise VantroError with errno 0.
Ref element_index(PyObject *obj) {
  Ref cindex = Ref::steal(PyObject_CallMethodNoArgs(obj, s_cindex));
  if (!cindex) return cindex;
  PyObject *tail = nullptr;
  int added = equals_int(cindex.get(), k_minus_one, -1);
  if (added < 0) return nullptr;
  if (added) {
    tail = s_msg_not_added;
  } else {
    int removed;
    if (PyLong_CheckExact(cindex.get())) {
      int overflow = 0;
      long v = PyLong_AsLongAndOverflow(cindex.get(), &overflow);
      removed = overflow < 0 || (!overflow && v < -1);
    } else {
      removed = compare(cindex.get(), k_minus_one, Py_LT);
      if (removed < 0) return nullptr;
    }
    if (removed) tail = s_msg_removed;
  }
  if (!tail) return cindex;

  static GlobalSite site_error;
  Ref error_class = global(site_error, s_VantroError);
  if (!error_class) return nullptr;
  Ref tname = Ref::steal(PyObject_GetAttr(obj, s_typename));
  if (!tname) return nullptr;
  Ref message = concat({tname.get(), tail});
  if (message) raise_call(error_class.get(), {k_int[0], message.get()});
  return nullptr;
}

// The attribute must belong to the element's kind; the message is the one
// for a missing attribute.
bool check_kind(PyObject *obj, PyObject *attrname, PyObject *attrsize) {
  Ref typeenum = Ref::steal(PyObject_GetAttr(obj, s_typeenum));
  if (!typeenum) return false;
  int differs;
  if (PyLong_CheckExact(attrsize) && PyLong_CheckExact(typeenum.get()))
    differs = PyObject_RichCompareBool(attrsize, typeenum.get(), Py_NE);
  else
    differs = compare(attrsize, typeenum.get(), Py_NE);
  if (differs < 0) return false;
  if (differs) {
    raise_no_attribute(obj, attrname);
    return false;
  }
  return true;
}

// A double from the library as Python sees it: the undefined marker as it
// is (tested first, since it lies beyond the bound), values at or beyond
// VNT.INFINITY as infinities.
Ref map_double(double d) {
  static GlobalSite site_vnt;
  Ref vnt = global(site_vnt, s_VNT);
  if (!vnt) return nullptr;
  Ref value;  // made only when a constant is not a float
  Ref undefined = Ref::steal(PyObject_GetAttr(vnt.get(), s_UNDEFINED));
  if (!undefined) return nullptr;
  int eq;
  if (PyFloat_CheckExact(undefined.get())) {
    eq = d == PyFloat_AS_DOUBLE(undefined.get());
  } else {
    if (!(value = Ref::steal(PyFloat_FromDouble(d)))) return nullptr;
    eq = compare(value.get(), undefined.get(), Py_EQ);
  }
  if (eq < 0) return nullptr;
  if (!eq) {
    Ref bound = Ref::steal(PyObject_GetAttr(vnt.get(), s_INFINITY));
    if (!bound) return nullptr;
    if (PyFloat_CheckExact(bound.get())) {
      double b = PyFloat_AS_DOUBLE(bound.get());
      if (d >= b) d = HUGE_VAL;
      else if (d <= -b) d = -HUGE_VAL;
    } else {
      if (!value && !(value = Ref::steal(PyFloat_FromDouble(d)))) return nullptr;
      int ge = compare(value.get(), bound.get(), Py_GE);
      if (ge < 0) return nullptr;
      if (ge) {
        d = HUGE_VAL;
      } else {
        Ref negated = Ref::steal(PyNumber_Negative(bound.get()));
        if (!negated) return nullptr;
        int le = compare(value.get(), negated.get(), Py_LE);
        if (le < 0) return nullptr;
        if (le) d = -HUGE_VAL;
      }
    }
  }
  return Ref::steal(PyFloat_FromDouble(d));
}

// A string from the library, copied at once; a failed call or a null
// pointer reads as the empty string.
Ref map_string(int error, const char *s) {
  if (error || !s) return Ref::borrow(module_state().empty_str);
  Ref raw = Ref::steal(PyBytes_FromString(s));
  if (!raw) return raw;
  static GlobalSite site;
  return call_global(site, s_bytestostring, {raw.get()});
}

// A Python value headed for a double attribute: values equal to an
// infinity become VNT.INFINITY or its negation, read now.
Ref map_infinity(PyObject *value) {
  bool pos, neg;
  if (PyFloat_CheckExact(value)) {
    double d = PyFloat_AS_DOUBLE(value);
    pos = std::isinf(d) && d > 0;
    neg = std::isinf(d) && d < 0;
  } else if (PyLong_CheckExact(value)) {
    pos = neg = false;  // an int never equals an infinity
  } else {
    Ref inf = Ref::steal(PyFloat_FromDouble(HUGE_VAL));
    if (!inf) return nullptr;
    int eq = compare(value, inf.get(), Py_EQ);
    if (eq < 0) return nullptr;
    pos = eq;
    neg = false;
    if (!pos) {
      Ref minus_inf = Ref::steal(PyFloat_FromDouble(-HUGE_VAL));
      if (!minus_inf) return nullptr;
      eq = compare(value, minus_inf.get(), Py_EQ);
      if (eq < 0) return nullptr;
      neg = eq;
    }
  }
  if (!pos && !neg) return Ref::borrow(value);
  static GlobalSite site_vnt;
  Ref vnt = global(site_vnt, s_VNT);
  if (!vnt) return nullptr;
  Ref bound = Ref::steal(PyObject_GetAttr(vnt.get(), s_INFINITY));
  if (!bound || pos) return bound;
  return Ref::steal(PyNumber_Negative(bound.get()));
}

// ---- _geterrormsg -----------------------------------------------------------

// The message of a handle held in obj.<attr>: 1 with the text in `out`, 0
// when obj has no such attribute, -1 on error.
int handle_message(PyObject *obj, PyObject *attr, capi::ErrormsgFn fn, Ref &out) {
  Ref probe = Ref::steal(PyObject_GetAttr(obj, attr));
  if (!probe) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  probe.reset();
  Ref value = Ref::steal(PyObject_GetAttr(obj, attr));
  if (!value) return -1;
  void *handle = g_ptr(value.get());
  if (PyErr_Occurred()) return -1;
  out = Ref::steal(fn(handle));
  return out ? 1 : -1;
}

PyObject *geterrormsg(NativeFunction *, PyObject *const *args) {
  PyObject *obj = args[0];
  Ref message;
  int found = handle_message(obj, s_cmodel, g_model_errormsg, message);
  if (found == 0) found = handle_message(obj, s_cenv, g_env_errormsg, message);
  if (found < 0) return nullptr;
  return found ? message.release() : newref(module_state().empty_str);
}

// ---- _getattrinfo -----------------------------------------------------------

PyObject *getattrinfo(NativeFunction *, PyObject *const *args) {
  PyObject *obj = args[0], *attrname = args[1];
  static GlobalSite site_tobytes;
  Ref uattrname = call_global(site_tobytes, s_stringtobytes, {attrname});
  if (!uattrname) return nullptr;
  Handle h;
  if (!h.from_object(obj)) return nullptr;
  const char *name = name_data(obj, attrname, uattrname.get());
  if (!name) return nullptr;
  int type = 0, size = 0, settable = 0;
  if (VNTgetattrinfo(h.model, name, &type, &size, &settable) != 0)
    return raise_no_attribute(obj, attrname);
  Ref result = Ref::steal(PyTuple_New(3));
  if (!result) return nullptr;
  int values[3] = {type, size, settable};
  for (int i = 0; i < 3; ++i) {
    PyObject *v = PyLong_FromLong(values[i]);
    if (!v) return nullptr;
    PyTuple_SET_ITEM(result.get(), i, v);
  }
  return result.release();
}

// ---- _getattr ---------------------------------------------------------------

// The end of a read: the busy code has its own message, any other failure
// the library's text; the value was already converted either way.
PyObject *finish_read(PyObject *obj, PyObject *attrname, int error, Ref value) {
  static GlobalSite site_vnt;
  Ref vnt = global(site_vnt, s_VNT);
  if (!vnt) return nullptr;
  Ref codes = Ref::steal(PyObject_GetAttr(vnt.get(), s_Error));
  if (!codes) return nullptr;
  Ref busy_code = Ref::steal(PyObject_GetAttr(codes.get(), s_OPTIMIZATION_IN_PROGRESS));
  if (!busy_code) return nullptr;
  int busy = compare_c_int(error, busy_code.get(), Py_EQ);
  if (busy < 0) return nullptr;
  if (busy) {
    Ref shown = Ref::steal(PyObject_Format(attrname, module_state().empty_str));
    if (!shown) return nullptr;
    return raise_attribute_error(concat({s_msg_attribute, shown.get(), s_msg_busy}));
  }
  if (error) {
    static GlobalSite site_errormsg;
    return raise_solver_failure(site_errormsg, obj);
  }
  return value.release();
}

PyObject *getattr_model(PyObject *obj, PyObject *attrname, PyObject *uattrname,
                        const AttrInfo &info) {
  int code = type_code(info.type.get(), 1, 3);
  if (code == -2) return nullptr;
  if (code < 0) return raise_unhandled_type(attrname, info.type.get(), true);
  Handle h;
  if (!h.from_object(obj)) return nullptr;
  const char *name = name_data(obj, attrname, uattrname);
  if (!name) return nullptr;
  int error = 0;
  Ref value;
  switch (code) {
    case 1: {
      int ival = 0;
      error = VNTgetintattr(h.model, name, &ival);
      value = Ref::steal(PyLong_FromLong(ival));
      break;
    }
    case 2: {
      double dval = 0.0;
      error = VNTgetdblattr(h.model, name, &dval);
      value = map_double(dval);
      break;
    }
    default: {
      char *sval = nullptr;
      error = VNTgetstrattr(h.model, name, &sval);
      value = map_string(error, sval);
      break;
    }
  }
  if (!value) return nullptr;
  return finish_read(obj, attrname, error, std::move(value));
}

PyObject *getattr_element(PyObject *obj, PyObject *attrname, PyObject *uattrname,
                          const AttrInfo &info) {
  Ref cindex = element_index(obj);
  if (!cindex) return nullptr;
  if (!check_kind(obj, attrname, info.size.get())) return nullptr;
  int code = type_code(info.type.get(), 0, 3);
  if (code == -2) return nullptr;
  if (code < 0) return raise_unhandled_type(attrname, info.type.get(), false);

  Handle h;
  if (!h.from_object(obj)) return nullptr;
  if (!name_data(obj, attrname, uattrname)) return nullptr;
  int index;
  if (!to_int32(cindex.get(), index)) return nullptr;
  // Taken again after the index conversion, which may have run Python code.
  const char *name = name_data(obj, attrname, uattrname);
  if (!name) return nullptr;
  int error = 0;
  Ref value;
  switch (code) {
    case 0: {
      char cval = 0;
      error = VNTgetcharattrelement(h.model, name, index, &cval);
      // The byte read as unsigned, so every stored byte reads back.
      value = Ref::steal(PyUnicode_FromOrdinal(static_cast<unsigned char>(cval)));
      break;
    }
    case 1: {
      int ival = 0;
      error = VNTgetintattrelement(h.model, name, index, &ival);
      value = Ref::steal(PyLong_FromLong(ival));
      break;
    }
    case 2: {
      double dval = 0.0;
      error = VNTgetdblattrelement(h.model, name, index, &dval);
      value = map_double(dval);
      break;
    }
    default: {
      char *sval = nullptr;
      error = VNTgetstrattrelement(h.model, name, index, &sval);
      value = map_string(error, sval);
      break;
    }
  }
  if (!value) return nullptr;
  return finish_read(obj, attrname, error, std::move(value));
}

// The common start of the single-attribute calls: the name as bytes, the
// attribute's triple through the namespace's _getattrinfo, and the truth of
// is_model, in that order.
struct AttrCall {
  Ref uattrname;
  AttrInfo info;
  int model_level = 0;

  bool begin(PyObject *obj, PyObject *attrname, PyObject *is_model) {
    static GlobalSite site_tobytes, site_info;
    uattrname = call_global(site_tobytes, s_stringtobytes, {attrname});
    if (!uattrname || !attr_info(site_info, obj, attrname, info)) return false;
    model_level = truth(is_model);
    return model_level >= 0;
  }
};

PyObject *getattr_(NativeFunction *, PyObject *const *args) {
  PyObject *obj = args[0], *attrname = args[1], *is_model = args[2];
  AttrCall call;
  if (!call.begin(obj, attrname, is_model)) return nullptr;
  PyObject *name = call.uattrname.get();
  return call.model_level ? getattr_model(obj, attrname, name, call.info)
                          : getattr_element(obj, attrname, name, call.info);
}

// ---- _setattr ---------------------------------------------------------------

// _isscalar(newval), the test a double value must pass.
int is_scalar(PyObject *newval) {
  static GlobalSite site;
  Ref answer = call_global(site, s_isscalar, {newval});
  return answer ? truth(answer.get()) : -1;
}

int setattr_model(PyObject *obj, PyObject *attrname, PyObject *uattrname, PyObject *newval,
                  const AttrInfo &info) {
  int code = type_code(info.type.get(), 1, 3);
  if (code == -2) return -1;
  if (code < 0) return raise_unhandled_type(attrname, info.type.get(), true), -1;
  Handle h;
  switch (code) {
    case 1: {
      if (!PyLong_Check(newval)) return raise_attribute_message(attrname, s_msg_takes_int), -1;
      if (!h.from_object(obj)) return -1;
      const char *name = name_data(obj, attrname, uattrname);
      int ival;
      if (!name || !to_int32(newval, ival)) return -1;
      return VNTsetintattr(h.model, name, ival);
    }
    case 2: {
      int scalar = is_scalar(newval);
      if (scalar < 0) return -1;
      if (!scalar) return raise_attribute_message(attrname, s_msg_takes_double), -1;
      Ref mapped = map_infinity(newval);
      if (!mapped || !h.from_object(obj)) return -1;
      double dval;
      if (!name_data(obj, attrname, uattrname) || !to_double(mapped.get(), dval)) return -1;
      // Taken again after the conversion, which may have run Python code.
      const char *name = name_data(obj, attrname, uattrname);
      return name ? VNTsetdblattr(h.model, name, dval) : -1;
    }
    default: {
      if (!PyUnicode_Check(newval)) return raise_attribute_message(attrname, s_msg_takes_string), -1;
      static GlobalSite site_tobytes;
      Ref unewval = call_global(site_tobytes, s_stringtobytes, {newval});
      if (!unewval || !h.from_object(obj)) return -1;
      const char *name = name_data(obj, attrname, uattrname);
      const char *text = name ? bytes_data(unewval.get()) : nullptr;
      if (!text) return -1;
      return VNTsetstrattr(h.model, name, text);
    }
  }
}

// Returns the library's result, or -1 with an exception set (the library's
// codes are positive).
int setattr_element(PyObject *obj, PyObject *attrname, PyObject *uattrname, PyObject *newval,
                    const AttrInfo &info) {
  Ref cindex = element_index(obj);
  if (!cindex) return -1;
  if (!check_kind(obj, attrname, info.size.get())) return -1;
  int read_only = equals_int(info.settable.get(), k_int[0], 0);
  if (read_only < 0) return -1;
  if (read_only) return raise_attribute_message(attrname, s_msg_cannot_set), -1;
  int code = type_code(info.type.get(), 0, 3);
  if (code == -2) return -1;
  if (code < 0) return raise_unhandled_type(attrname, info.type.get(), false), -1;

  // The value's type is checked first; then the handle is fetched, the
  // name and index converted and the value converted, in that order.
  Ref converted;  // the value after the infinity mapping or _stringtobytes
  switch (code) {
    case 0:
      if (!PyUnicode_Check(newval)) return raise_attribute_message(attrname, s_msg_takes_char), -1;
      break;
    case 1:
      if (!PyLong_Check(newval)) return raise_attribute_message(attrname, s_msg_takes_int), -1;
      break;
    case 2: {
      int scalar = is_scalar(newval);
      if (scalar < 0) return -1;
      if (!scalar) return raise_attribute_message(attrname, s_msg_takes_double), -1;
      converted = map_infinity(newval);
      if (!converted) return -1;
      break;
    }
    default: {
      if (!PyUnicode_Check(newval)) return raise_attribute_message(attrname, s_msg_takes_string), -1;
      static GlobalSite site_tobytes;
      converted = call_global(site_tobytes, s_stringtobytes, {newval});
      if (!converted) return -1;
      break;
    }
  }
  Handle h;
  if (!h.from_object(obj)) return -1;
  if (!name_data(obj, attrname, uattrname)) return -1;
  int index;
  if (!to_int32(cindex.get(), index)) return -1;

  // The name is taken again for each call, after the conversions, which
  // may have run Python code.
  switch (code) {
    case 0: {
      if (PyUnicode_READY(newval) < 0) return -1;
      if (PyUnicode_GET_LENGTH(newval) == 0) {
        PyErr_SetString(PyExc_IndexError, "string index out of range");
        return -1;
      }
      Py_UCS4 ch = PyUnicode_READ_CHAR(newval, 0);
      if (ch > 0xFF) return raise_attribute_error(char_range_message(attrname, ch, -1)), -1;
      const char *name = name_data(obj, attrname, uattrname);
      return name ? VNTsetcharattrelement(h.model, name, index, static_cast<char>(ch)) : -1;
    }
    case 1: {
      int ival;
      if (!to_int32(newval, ival)) return -1;
      const char *name = name_data(obj, attrname, uattrname);
      return name ? VNTsetintattrelement(h.model, name, index, ival) : -1;
    }
    case 2: {
      double dval;
      if (!to_double(converted.get(), dval)) return -1;
      const char *name = name_data(obj, attrname, uattrname);
      return name ? VNTsetdblattrelement(h.model, name, index, dval) : -1;
    }
    default: {
      const char *text = bytes_data(converted.get());
      const char *name = text ? name_data(obj, attrname, uattrname) : nullptr;
      return name ? VNTsetstrattrelement(h.model, name, index, text) : -1;
    }
  }
}

PyObject *setattr_(NativeFunction *, PyObject *const *args) {
  PyObject *obj = args[0], *attrname = args[1], *newval = args[2], *is_model = args[3];
  AttrCall call;
  if (!call.begin(obj, attrname, is_model)) return nullptr;
  PyObject *name = call.uattrname.get();
  int error = call.model_level ? setattr_model(obj, attrname, name, newval, call.info)
                               : setattr_element(obj, attrname, name, newval, call.info);
  if (error < 0 && PyErr_Occurred()) return nullptr;
  if (error) {
    static GlobalSite site_errormsg;
    return raise_solver_failure(site_errormsg, obj);
  }
  Py_RETURN_NONE;
}

// ---- typed lists ------------------------------------------------------------

// Item `i` of a sequence, as `seq[i]` reads it; lists and tuples directly.
Ref item_at(PyObject *seq, Py_ssize_t i) {
  if (PyList_CheckExact(seq) && i < PyList_GET_SIZE(seq))
    return Ref::borrow(PyList_GET_ITEM(seq, i));
  if (PyTuple_CheckExact(seq)) {
    if (i < PyTuple_GET_SIZE(seq)) return Ref::borrow(PyTuple_GET_ITEM(seq, i));
    PyErr_SetString(PyExc_IndexError, "tuple index out of range");
    return nullptr;
  }
  PySequenceMethods *sq = Py_TYPE(seq)->tp_as_sequence;
  if (sq && sq->sq_item) return Ref::steal(PySequence_GetItem(seq, i));
  Ref key = Ref::steal(PyLong_FromSsize_t(i));
  return key ? Ref::steal(PyObject_GetItem(seq, key.get())) : nullptr;
}

// The common start of both list calls: the count and the index buffer.
bool read_indices(PyObject *seq, Buffer<int> &ind, int &count) {
  Py_ssize_t n = PyObject_Size(seq);
  if (n < 0) return false;
  if (n > INT_MAX) {
    PyErr_Format(PyExc_OverflowError,
                 "%zd indices are more than one library call can take (at most %d)", n, INT_MAX);
    return false;
  }
  count = static_cast<int>(n);
  if (!ind.allocate(n)) return false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item = item_at(seq, i);
    if (!item || !to_int32(item.get(), ind[i])) return false;
  }
  return true;
}

PyObject *raise_list_read_failure(PyObject *obj, int error) {
  static GlobalSite site_error;
  Ref error_class = global(site_error, s_VantroError);
  if (!error_class) return nullptr;
  Ref code = Ref::steal(PyLong_FromLong(error));
  return code ? raise_call(error_class.get(), {code.get(), obj}) : nullptr;
}

// One of VNT's constants as a double; a non-numeric one raises TypeError.
bool vnt_double(PyObject *name, double &out) {
  static GlobalSite site_vnt;
  Ref vnt = global(site_vnt, s_VNT);
  if (!vnt) return false;
  Ref value = Ref::steal(PyObject_GetAttr(vnt.get(), name));
  return value && to_double(value.get(), out);
}

// A new list of `count` items, item i made by `make(i)` (a new reference or
// null with an exception set).
template <class Make>
PyObject *list_of(int count, Make make) {
  Ref list = Ref::steal(PyList_New(count));
  if (!list) return nullptr;
  for (int i = 0; i < count; ++i) {
    PyObject *item = make(i);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), i, item);
  }
  return list.release();
}

// Reads one attribute for `count` indices in a single library call, then
// builds the result with `convert(values)`.  Both buffers are released on
// every path; the index buffer as soon as the library has used it, since the
// result list is the bulk of the peak.
template <class T, class Call, class Convert>
PyObject *read_list(PyObject *obj, PyObject *attrname, PyObject *uattrname, Buffer<int> &ind,
                    int count, Call call, Convert convert) {
  Buffer<T> vals;
  Handle h;
  if (!vals.allocate(count) || !h.from_object(obj)) return nullptr;
  const char *name = name_data(obj, attrname, uattrname, true);
  if (!name) return nullptr;
  if constexpr (std::is_pointer_v<T>)  // names left unset read as null, never as garbage
    std::memset(vals.get(), 0, sizeof(T) * static_cast<size_t>(count));
  int error = call(h.model, name, count, ind.get(), vals.get());
  if (error) return raise_list_read_failure(obj, error);
  ind.release();
  return convert(vals);
}

PyObject *gettypedattrlist(NativeFunction *, PyObject *const *args) {
  PyObject *obj = args[0], *attrname = args[1], *attrtype = args[2], *inputlist = args[3];
  static GlobalSite site_tobytes;
  Ref uattrname = call_global(site_tobytes, s_stringtobytes, {attrname});
  if (!uattrname) return nullptr;
  Buffer<int> ind;
  int count = 0;
  if (!read_indices(inputlist, ind, count)) return nullptr;
  int code = type_code(attrtype, 0, 3);
  if (code == -2) return nullptr;
  if (code < 0) return raise_unhandled_list_type(attrtype);

  PyObject *name = uattrname.get();
  switch (code) {
    case 0:
      return read_list<char>(obj, attrname, name, ind, count, VNTgetcharattrlist, [count](Buffer<char> &v) {
        // Read as unsigned, so every stored byte reads back.
        return list_of(count, [&](int i) {
          return PyUnicode_FromOrdinal(static_cast<unsigned char>(v[i]));
        });
      });
    case 1:
      return read_list<int>(obj, attrname, name, ind, count, VNTgetintattrlist, [count](Buffer<int> &v) {
        return list_of(count, [&](int i) { return PyLong_FromLong(v[i]); });
      });
    case 2:
      return read_list<double>(obj, attrname, name, ind, count, VNTgetdblattrlist, [count](Buffer<double> &v) -> PyObject * {
        double bound, undefined;
        if (!vnt_double(s_INFINITY, bound) || !vnt_double(s_UNDEFINED, undefined)) return nullptr;
        return list_of(count, [&](int i) {
          double d = v[i];
          if (d != undefined) {
            if (d >= bound) d = HUGE_VAL;
            else if (d <= -bound) d = -HUGE_VAL;
          }
          return PyFloat_FromDouble(d);
        });
      });
    default:
      return read_list<char *>(obj, attrname, name, ind, count, VNTgetstrattrlist, [count](Buffer<char *> &v) -> PyObject * {
        // Every string is copied before any Python code runs: _bytestostring
        // could change the model and with it the library's strings.
        Ref result = Ref::steal(list_of(count, [&](int i) {
          return v[i] ? PyBytes_FromString(v[i]) : newref(module_state().empty_str);
        }));
        if (!result) return nullptr;
        static GlobalSite site_tostring;
        for (int i = 0; i < count; ++i) {
          PyObject *raw = PyList_GET_ITEM(result.get(), i);
          if (!PyBytes_CheckExact(raw)) continue;  // a null string, already ""
          PyObject *text = call_global(site_tostring, s_bytestostring, {raw}).release();
          if (!text) return nullptr;
          PyList_SET_ITEM(result.get(), i, text);
          Py_DECREF(raw);
        }
        return result.release();
      });
  }
}

// A char for the list write: a one-character str up to U+00FF, or a
// bytes or bytearray of length 1.
bool list_char(PyObject *item, PyObject *attrname, Py_ssize_t position, char &out) {
  if (PyUnicode_Check(item)) {
    if (PyUnicode_READY(item) < 0) return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(item);
    if (n != 1) {
      PyErr_Format(PyExc_ValueError,
                   "only single character unicode strings can be converted to Py_UCS4, got "
                   "length %zd",
                   n);
      return false;
    }
    Py_UCS4 ch = PyUnicode_READ_CHAR(item, 0);
    if (ch > 0xFF) {
      Ref message = char_range_message(attrname, ch, position);
      if (message) PyErr_SetObject(PyExc_ValueError, message.get());
      return false;
    }
    out = static_cast<char>(ch);
    return true;
  }
  if (PyBytes_Check(item) || PyByteArray_Check(item)) {
    Py_ssize_t n = PyBytes_Check(item) ? PyBytes_GET_SIZE(item) : PyByteArray_GET_SIZE(item);
    if (n != 1) {
      PyErr_Format(PyExc_TypeError, "ord() expected a character, but string of length %zd found",
                   n);
      return false;
    }
    out = PyBytes_Check(item) ? PyBytes_AS_STRING(item)[0] : PyByteArray_AS_STRING(item)[0];
    return true;
  }
  PyErr_Format(PyExc_TypeError, "ord() expected string of length 1, but %.200s found",
               Py_TYPE(item)->tp_name);
  return false;
}

// A double for the list write.  Items equal to an infinity store
// VNT.INFINITY or its negation, read at that moment.  Each test reads the
// item by position again, as `newval[i]` would; lists and tuples give the
// same object each time, so they are read once.
bool list_double(PyObject *newval, Py_ssize_t i, Ref &pyinf, double &out) {
  bool stable = PyList_CheckExact(newval) || PyTuple_CheckExact(newval);
  Ref item = item_at(newval, i);
  if (!item) return false;
  int sign = 0;
  if (stable && PyFloat_CheckExact(item.get())) {
    double d = PyFloat_AS_DOUBLE(item.get());
    if (!std::isinf(d)) {
      out = d;
      return true;
    }
    sign = d > 0 ? 1 : -1;
  } else if (stable && PyLong_CheckExact(item.get())) {
    return to_double(item.get(), out);  // an int never equals an infinity
  } else {
    if (!pyinf) {
      pyinf = Ref::steal(PyFloat_FromDouble(HUGE_VAL));
      if (!pyinf) return false;
    }
    int eq = compare(item.get(), pyinf.get(), Py_EQ);
    if (eq < 0) return false;
    if (eq) {
      sign = 1;
    } else {
      if (!stable && !(item = item_at(newval, i))) return false;
      Ref minus_inf = Ref::steal(PyFloat_FromDouble(-HUGE_VAL));
      if (!minus_inf) return false;
      eq = compare(item.get(), minus_inf.get(), Py_EQ);
      if (eq < 0) return false;
      if (eq) sign = -1;
    }
    if (!sign) {
      if (!stable && !(item = item_at(newval, i))) return false;
      return to_double(item.get(), out);
    }
  }
  static GlobalSite site_vnt;
  Ref vnt = global(site_vnt, s_VNT);
  if (!vnt) return false;
  Ref bound = Ref::steal(PyObject_GetAttr(vnt.get(), s_INFINITY));
  if (!bound) return false;
  if (sign < 0) {
    bound = Ref::steal(PyNumber_Negative(bound.get()));
    if (!bound) return false;
  }
  return to_double(bound.get(), out);
}

// _stringtobytes of every item of `newval`, kept until the library call
// returns so the pointers handed to it stay valid.
bool encode_all(PyObject *newval, std::vector<Ref> &out) {
  static GlobalSite site_tobytes;
  if (PyList_CheckExact(newval) || PyTuple_CheckExact(newval)) {
    out.reserve(static_cast<size_t>(Py_SIZE(newval)));
    for (Py_ssize_t i = 0; i < Py_SIZE(newval); ++i) {
      Ref item = Ref::borrow(PyList_CheckExact(newval) ? PyList_GET_ITEM(newval, i)
                                                       : PyTuple_GET_ITEM(newval, i));
      Ref encoded = call_global(site_tobytes, s_stringtobytes, {item.get()});
      if (!encoded) return false;
      out.push_back(std::move(encoded));
    }
    return true;
  }
  Ref it = Ref::steal(PyObject_GetIter(newval));
  if (!it) return false;
  while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
    Ref encoded = call_global(site_tobytes, s_stringtobytes, {item.get()});
    if (!encoded) return false;
    out.push_back(std::move(encoded));
  }
  return !PyErr_Occurred();
}

PyObject *settypedattrlist(NativeFunction *, PyObject *const *args) {
  PyObject *obj = args[0], *attrname = args[1], *attrtype = args[2], *indlist = args[3],
           *newval = args[4];
  static GlobalSite site_tobytes;
  Ref uattrname = call_global(site_tobytes, s_stringtobytes, {attrname});
  if (!uattrname) return nullptr;
  Buffer<int> ind;
  int count = 0;
  if (!read_indices(indlist, ind, count)) return nullptr;
  int code = type_code(attrtype, 0, 3);
  if (code == -2) return nullptr;
  if (code < 0) return raise_unhandled_list_type(attrtype);

  Handle h;
  int error = 0;
  switch (code) {
    case 0: {
      Buffer<char> vals;
      if (!vals.allocate(count)) return nullptr;
      for (int i = 0; i < count; ++i) {
        Ref item = item_at(newval, i);
        if (!item || !list_char(item.get(), attrname, i, vals[i])) return nullptr;
      }
      if (!h.from_object(obj)) return nullptr;
      const char *name = name_data(obj, attrname, uattrname.get());
      if (!name) return nullptr;
      error = VNTsetcharattrlist(h.model, name, count, ind.get(), vals.get());
      break;
    }
    case 1: {
      Buffer<int> vals;
      if (!vals.allocate(count)) return nullptr;
      for (int i = 0; i < count; ++i) {
        Ref item = item_at(newval, i);
        if (!item || !to_int32(item.get(), vals[i])) return nullptr;
      }
      if (!h.from_object(obj)) return nullptr;
      const char *name = name_data(obj, attrname, uattrname.get());
      if (!name) return nullptr;
      error = VNTsetintattrlist(h.model, name, count, ind.get(), vals.get());
      break;
    }
    case 2: {
      Buffer<double> vals;
      if (!vals.allocate(count)) return nullptr;
      Ref pyinf;
      for (int i = 0; i < count; ++i)
        if (!list_double(newval, i, pyinf, vals[i])) return nullptr;
      if (!h.from_object(obj)) return nullptr;
      const char *name = name_data(obj, attrname, uattrname.get());
      if (!name) return nullptr;
      error = VNTsetdblattrlist(h.model, name, count, ind.get(), vals.get());
      break;
    }
    default: {
      Buffer<char *> vals;
      if (!vals.allocate(count)) return nullptr;
      std::vector<Ref> unewval;
      if (!encode_all(newval, unewval)) return nullptr;
      for (int i = 0; i < count; ++i) {
        if (static_cast<size_t>(i) >= unewval.size()) {
          PyErr_SetString(PyExc_IndexError, "list index out of range");
          return nullptr;
        }
        const char *text = bytes_data(unewval[static_cast<size_t>(i)].get());
        if (!text) return nullptr;
        vals[i] = const_cast<char *>(text);
      }
      if (!h.from_object(obj)) return nullptr;
      const char *name = name_data(obj, attrname, uattrname.get());
      if (!name) return nullptr;
      error = VNTsetstrattrlist(h.model, name, count, ind.get(), vals.get());
      break;
    }
  }
  if (error) {
    static GlobalSite site_errormsg;
    return raise_solver_failure(site_errormsg, obj);
  }
  Py_RETURN_NONE;
}

// ---- _prefetchattr ----------------------------------------------------------

PyObject *prefetchattr(NativeFunction *, PyObject *const *args) {
  PyObject *obj = args[0], *attrname = args[1], *is_model = args[2];
  AttrCall call;
  if (!call.begin(obj, attrname, is_model)) return nullptr;
  if (!call.model_level && !check_kind(obj, attrname, call.info.size.get())) return nullptr;
  Handle h;
  if (!h.from_object(obj)) return nullptr;
  const char *name = name_data(obj, attrname, call.uattrname.get());
  if (!name) return nullptr;
  if (VNTprefetchattr(h.model, name) != 0) {
    static GlobalSite site_errormsg;
    return raise_solver_failure(site_errormsg, obj);
  }
  Py_RETURN_NONE;
}

// ---- _attrlist --------------------------------------------------------------

PyObject *attrlist(NativeFunction *, PyObject *const *args) {
  PyObject *cmodel = args[0], *type = args[1];
  Handle h;
  if (!h.from_value(cmodel)) return nullptr;
  int numattrs = VNTgetnumattributes(h.model);
  Ref result = Ref::steal(PyList_New(0));
  if (!result) return nullptr;
  static GlobalSite site_tostring, site_error;
  for (int i = 0; i < numattrs; ++i) {
    if (!h.from_value(cmodel)) return nullptr;
    char *name = nullptr;
    int code = VNTgetattrname(h.model, i, &name);
    if (!name) {
      // No name to read: report the library's code and the model's text.
      Ref error_class = global(site_error, s_VantroError);
      if (!error_class) return nullptr;
      Ref errno_ = Ref::steal(PyLong_FromLong(code));
      if (!errno_) return nullptr;
      Ref message = Ref::steal(g_model_errormsg(h.model));
      if (!message) return nullptr;
      return raise_call(error_class.get(), {errno_.get(), message.get()});
    }
    // The copy serves both the conversion and the kind lookup, so nothing
    // is read through the library's pointer once Python code has run.
    Ref raw = Ref::steal(PyBytes_FromString(name));
    if (!raw) return nullptr;
    Ref attrname = call_global(site_tostring, s_bytestostring, {raw.get()});
    if (!attrname) return nullptr;
    if (!h.from_value(cmodel)) return nullptr;
    int attrsize = 0;
    // A name whose kind the library cannot tell is of no kind: it is left
    // out for every `type`.
    if (VNTgetattrinfo(h.model, PyBytes_AS_STRING(raw.get()), nullptr, &attrsize, nullptr) != 0)
      continue;
    int match = compare_c_int(attrsize, type, Py_EQ);
    if (match < 0) return nullptr;
    if (match && PyList_Append(result.get(), attrname.get()) < 0) return nullptr;
  }
  return result.release();
}

// ---- the module -------------------------------------------------------------

const FuncSpec kGeterrormsg{"_geterrormsg", nullptr, {"obj"}, geterrormsg};
const FuncSpec kGetattrinfo{"_getattrinfo", nullptr, {"obj", "attrname"}, getattrinfo};
const FuncSpec kGetattr{"_getattr", nullptr, {"obj", "attrname", "is_model"}, getattr_};
const FuncSpec kGettypedattrlist{
    "_gettypedattrlist", nullptr, {"obj", "attrname", "attrtype", "inputlist"}, gettypedattrlist};
const FuncSpec kSetattr{"_setattr", nullptr, {"obj", "attrname", "newval", "is_model"}, setattr_};
const FuncSpec kSettypedattrlist{"_settypedattrlist",
                                 nullptr,
                                 {"obj", "attrname", "attrtype", "indlist", "newval"},
                                 settypedattrlist};
const FuncSpec kPrefetchattr{"_prefetchattr", nullptr, {"obj", "attrname", "is_model"},
                             prefetchattr};
const FuncSpec kAttrlist{"_attrlist", nullptr, {"cmodel", "type"}, attrlist};

int exec(PyObject *module) {
  int begun = exec_begin(module, make_constants);
  if (begun != 0) return begun > 0 ? 0 : -1;

  Ref errors = import_module("vantropy._exception");
  if (!errors) return exec_failed();
  g_env_errormsg = reinterpret_cast<capi::ErrormsgFn>(
      import_function(errors.get(), "_get_env_errormsg_string", capi::kErrormsgSignature));
  if (!g_env_errormsg) return exec_failed();
  g_model_errormsg = reinterpret_cast<capi::ErrormsgFn>(
      import_function(errors.get(), "_get_model_errormsg_string", capi::kErrormsgSignature));
  if (!g_model_errormsg) return exec_failed();
  errors.reset();

  Ref util = import_module("vantropy._util");
  if (!util) return exec_failed();
  g_ptr = reinterpret_cast<capi::PtrFn>(import_function(util.get(), "_ptr", capi::kPtrSignature));
  if (!g_ptr) return exec_failed();
  util.reset();

  if (import_names("vantropy._exception", {"VantroError"}) < 0 ||
      import_names("vantropy._vnt", {"VNT"}) < 0 ||
      import_names("vantropy._util", {"_bytestostring", "_isscalar", "_stringtobytes"}) < 0)
    return exec_failed();

  struct Entry {
    const FuncSpec *spec;
    PyObject *defaults;
  };
  const Entry functions[] = {
      {&kGeterrormsg, nullptr},     {&kGetattrinfo, nullptr},      {&kGetattr, k_defaults},
      {&kGettypedattrlist, nullptr}, {&kSetattr, k_defaults},       {&kSettypedattrlist, nullptr},
      {&kPrefetchattr, k_defaults}, {&kAttrlist, nullptr},
  };
  for (const Entry &e : functions) {
    Ref fn = Ref::steal(make_function(*e.spec, e.defaults));
    if (!fn || bind(e.spec->name, fn.get()) < 0) return exec_failed();
  }

  return exec_finish();
}

}  // namespace
}  // namespace vantropy

extern "C" PyMODINIT_FUNC PyInit__brevix() {
  return vantropy::module_init(vantropy::kInfo, vantropy::exec);
}
