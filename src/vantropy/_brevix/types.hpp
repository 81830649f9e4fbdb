// The four data types of solver attributes, one entry each.  Everything a
// call does differently by data type is here; the order of the steps stays
// with the calls (single.cpp, lists.cpp).
//
// Each entry gives:
//   C             the library's C type of one value
//   takes         the tail of the message for a value of the wrong type
//   accepts(v)    the test a single new value must pass: 1, 0, -1 on error
//   prepare(v)    what the value becomes before the handle is fetched
//   in(name, p, c)    the C value of a prepared value
//   out(c, error)     a value read, for Python
//   list_in(...)      the C values of a list write
//   list_out(...)     the Python list of a list read
//   get_/set_model, get_/set_element, get_/set_list: the library's calls
// The library has no model-level calls for chars, so model-level calls
// dispatch from int on (`with_type<1>`).
#pragma once

#include <type_traits>
#include <vector>

namespace vantropy::brevix {

extern Str s_msg_takes_char, s_msg_takes_int, s_msg_takes_double, s_msg_takes_string;

struct CharType {
  using C = char;
  static constexpr Str &takes = s_msg_takes_char;
  static int accepts(PyObject *newval) { return PyUnicode_Check(newval); }
  static Ref prepare(PyObject *newval) { return Ref::borrow(newval); }
  // The first character; only U+0000..U+00FF fit a byte.
  static bool in(PyObject *attrname, PyObject *newval, C &out);
  // The byte read as unsigned, so every stored byte reads back.
  static Ref out(C value, int) {
    return Ref::steal(PyUnicode_FromOrdinal(static_cast<unsigned char>(value)));
  }
  // Each item a one-character str up to U+00FF, or bytes or a bytearray of
  // length 1.
  static bool list_in(PyObject *newval, PyObject *attrname, int count, Buffer<C> &vals,
                      std::vector<Ref> &keep);
  static Ref list_out(const Buffer<C> &vals, int count);
  static constexpr auto get_element = VNTgetcharattrelement;
  static constexpr auto set_element = VNTsetcharattrelement;
  static constexpr auto get_list = VNTgetcharattrlist;
  static constexpr auto set_list = VNTsetcharattrlist;
};

struct IntType {
  using C = int;
  static constexpr Str &takes = s_msg_takes_int;
  static int accepts(PyObject *newval) { return PyLong_Check(newval); }
  static Ref prepare(PyObject *newval) { return Ref::borrow(newval); }
  static bool in(PyObject *, PyObject *newval, C &out) { return to_c_int(newval, out); }
  static Ref out(C value, int) { return new_int(value); }
  // Each item through the int conversion (so a float is truncated).
  static bool list_in(PyObject *newval, PyObject *attrname, int count, Buffer<C> &vals,
                      std::vector<Ref> &keep);
  static Ref list_out(const Buffer<C> &vals, int count);
  static constexpr auto get_model = VNTgetintattr;
  static constexpr auto set_model = VNTsetintattr;
  static constexpr auto get_element = VNTgetintattrelement;
  static constexpr auto set_element = VNTsetintattrelement;
  static constexpr auto get_list = VNTgetintattrlist;
  static constexpr auto set_list = VNTsetintattrlist;
};

struct DoubleType {
  using C = double;
  static constexpr Str &takes = s_msg_takes_double;
  // _isscalar(newval)
  static int accepts(PyObject *newval) {
    Ref answer = g_isscalar(newval);
    return answer ? truth(answer.get()) : -1;
  }
  static Ref prepare(PyObject *newval) {
    return infinity_in([newval] { return Ref::borrow(newval); }, true);
  }
  static bool in(PyObject *, PyObject *prepared, C &out) { return to_double(prepared, out); }
  static Ref out(C value, int) { return double_out(value); }
  // Each item with its infinities replaced, then as a double.
  static bool list_in(PyObject *newval, PyObject *attrname, int count, Buffer<C> &vals,
                      std::vector<Ref> &keep);
  // VNT's constants are read once, as doubles, for the whole list.
  static Ref list_out(const Buffer<C> &vals, int count);
  static constexpr auto get_model = VNTgetdblattr;
  static constexpr auto set_model = VNTsetdblattr;
  static constexpr auto get_element = VNTgetdblattrelement;
  static constexpr auto set_element = VNTsetdblattrelement;
  static constexpr auto get_list = VNTgetdblattrlist;
  static constexpr auto set_list = VNTsetdblattrlist;
};

struct StringType {
  using C = char *;
  static constexpr Str &takes = s_msg_takes_string;
  static int accepts(PyObject *newval) { return PyUnicode_Check(newval); }
  // _stringtobytes(newval), held until the library call returns so the
  // pointer handed to it stays valid.
  static Ref prepare(PyObject *newval) { return g_stringtobytes(newval); }
  static bool in(PyObject *, PyObject *prepared, const char *&out) {
    out = bytes_data(prepared);
    return out != nullptr;
  }
  static Ref out(const char *value, int error) { return string_out(error, value); }
  // _stringtobytes of every item of `newval` (iterated whole), then the
  // first `count` of them; `keep` holds them until the library call returns.
  static bool list_in(PyObject *newval, PyObject *attrname, int count, Buffer<C> &vals,
                      std::vector<Ref> &keep);
  // Every string is copied before any Python code runs: _bytestostring
  // could change the model and with it the library's strings.
  static Ref list_out(const Buffer<C> &vals, int count);
  static constexpr auto get_model = VNTgetstrattr;
  static constexpr auto set_model = VNTsetstrattr;
  static constexpr auto get_element = VNTgetstrattrelement;
  static constexpr auto set_element = VNTsetstrattrelement;
  static constexpr auto get_list = VNTgetstrattrlist;
  static constexpr auto set_list = VNTsetstrattrlist;
};

// The value a single write hands the library: the C type of a setter's
// value argument (a string is passed as `const char *`).
template <class T>
using InValue = std::conditional_t<std::is_same_v<T, StringType>, const char *, typename T::C>;

template <int First, class Fn, class None>
Ref with_type(PyObject *attrtype, Fn &&fn, None &&none) {
  int code = -1;
  if (PyLong_CheckExact(attrtype)) {
    int overflow;
    long value = PyLong_AsLongAndOverflow(attrtype, &overflow);
    if (!overflow && value >= First && value <= 3) code = static_cast<int>(value);
  } else {
    for (int c = First; c <= 3 && code < 0; ++c) {
      int equal = compare_int(attrtype, c, Py_EQ);
      if (equal < 0) return nullptr;
      if (equal) code = c;
    }
  }
  switch (code) {
    case 0:
      if constexpr (First == 0) return fn(CharType{});
      break;
    case 1: return fn(IntType{});
    case 2: return fn(DoubleType{});
    case 3: return fn(StringType{});
  }
  return none();
}

template <class Fetch>
Ref infinity_in(Fetch &&fetch, bool stable) {
  Ref value = fetch();
  if (!value) return nullptr;
  int sign = 0;
  if (stable && PyFloat_CheckExact(value.get())) {
    double d = PyFloat_AS_DOUBLE(value.get());
    if (!std::isinf(d)) return value;
    sign = d > 0 ? 1 : -1;
  } else if (stable && PyLong_CheckExact(value.get())) {
    return value;  // an int never equals an infinity
  } else {
    Ref inf = new_float(HUGE_VAL);
    if (!inf) return nullptr;
    int equal = compare(value.get(), inf.get(), Py_EQ);
    if (equal < 0) return nullptr;
    if (equal) {
      sign = 1;
    } else {
      if (!stable && !(value = fetch())) return nullptr;
      Ref minus_inf = new_float(-HUGE_VAL);
      if (!minus_inf) return nullptr;
      equal = compare(value.get(), minus_inf.get(), Py_EQ);
      if (equal < 0) return nullptr;
      if (equal) sign = -1;
    }
    if (!sign) return stable ? value : fetch();
  }
  Ref vnt = g_VNT.get();
  if (!vnt) return nullptr;
  Ref bound = attr(vnt.get(), s_INFINITY);
  if (!bound || sign > 0) return bound;
  return Ref::steal(PyNumber_Negative(bound.get()));
}

}  // namespace vantropy::brevix
