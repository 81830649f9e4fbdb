// Values across the library boundary: names and strings as bytes, chars as
// single bytes, the infinity and undefined markers of doubles, and the
// messages for values that cannot cross.
#include "common.hpp"

#include <cstdio>

namespace vantropy::brevix {

// ---- messages -----------------------------------------------------------------

Ref plus(std::initializer_list<PyObject *> parts) {
  const auto *it = parts.begin();
  Ref acc = Ref::borrow(*it);
  for (++it; it != parts.end() && acc; ++it) acc = Ref::steal(PyNumber_Add(acc.get(), *it));
  return acc;
}

Ref raise_attribute_error(Ref message) {
  return message ? raise_call(b_AttributeError, message.get()) : nullptr;
}

Ref no_attribute_message(PyObject *obj, PyObject *attrname) {
  Ref tname = attr(obj, s_typename);
  if (!tname) return nullptr;
  return plus({s_msg_vantropy, tname.get(), s_msg_no_attribute, attrname, s_msg_quote});
}

Ref raise_no_attribute(PyObject *obj, PyObject *attrname) {
  return raise_attribute_error(no_attribute_message(obj, attrname));
}

Ref raise_attribute_message(PyObject *attrname, PyObject *tail) {
  return raise_attribute_error(plus({s_msg_attribute, attrname, tail}));
}

Ref raise_solver_failure(PyObject *obj) { return raise_attribute_error(g_geterrormsg(obj)); }

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

// ---- names and strings --------------------------------------------------------

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

const char *bytes_data(PyObject *b) {
  bool nul = false;
  const char *p = bytes_contents(b, nul);
  if (nul) PyErr_SetString(PyExc_ValueError, "embedded null character");
  return p;
}

const char *name_data(PyObject *obj, PyObject *attrname, PyObject *uattrname, NameUse use) {
  bool nul = false;
  const char *p = bytes_contents(uattrname, nul);
  if (!nul) return p;
  if (use == NameUse::kSingle) {
    raise_no_attribute(obj, attrname);
    return nullptr;
  }
  Ref message = no_attribute_message(obj, attrname);
  if (!message) return nullptr;
  Ref error_class = g_VantroError.get();
  Ref code = new_int(VNT_ERROR_UNKNOWN_ATTRIBUTE);
  if (error_class && code) raise_call(error_class.get(), code.get(), message.get());
  return nullptr;
}

Ref string_out(int error, const char *s) {
  if (error || !s) return Ref::borrow(g_module.empty_str);
  Ref raw = Ref::steal(PyBytes_FromString(s));
  return raw ? g_bytestostring(raw.get()) : raw;
}

// ---- doubles ------------------------------------------------------------------

Ref double_out(double d) {
  Ref vnt = g_VNT.get();
  if (!vnt) return nullptr;
  Ref undefined = attr(vnt.get(), s_UNDEFINED);
  if (!undefined) return nullptr;
  Ref value;  // d as a Python float, made only when a constant is not a float
  auto python_value = [&] {
    if (!value) value = new_float(d);
    return value.get();
  };
  int equal;
  if (PyFloat_CheckExact(undefined.get())) {
    equal = d == PyFloat_AS_DOUBLE(undefined.get());
  } else {
    if (!python_value()) return nullptr;
    equal = compare(value.get(), undefined.get(), Py_EQ);
    if (equal < 0) return nullptr;
  }
  if (equal) return new_float(d);
  Ref bound = attr(vnt.get(), s_INFINITY);
  if (!bound) return nullptr;
  if (PyFloat_CheckExact(bound.get())) return new_float(bounded(d, PyFloat_AS_DOUBLE(bound.get())));
  if (!python_value()) return nullptr;
  int above = compare(value.get(), bound.get(), Py_GE);
  if (above < 0) return nullptr;
  if (above) return new_float(HUGE_VAL);
  Ref negated = Ref::steal(PyNumber_Negative(bound.get()));
  if (!negated) return nullptr;
  int below = compare(value.get(), negated.get(), Py_LE);
  if (below < 0) return nullptr;
  return below ? new_float(-HUGE_VAL) : value;
}

// ---- the data types' conversions ------------------------------------------------

bool CharType::in(PyObject *attrname, PyObject *newval, C &out) {
  if (PyUnicode_READY(newval) < 0) return false;
  if (PyUnicode_GET_LENGTH(newval) == 0) {
    PyErr_SetString(PyExc_IndexError, "string index out of range");
    return false;
  }
  Py_UCS4 ch = PyUnicode_READ_CHAR(newval, 0);
  if (ch > 0xFF) {
    raise_attribute_error(char_range_message(attrname, ch, -1));
    return false;
  }
  out = static_cast<char>(ch);
  return true;
}

namespace {

// One char of a list write.
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

// One of VNT's constants as a double; a non-numeric one raises TypeError.
bool vnt_double(PyObject *name, double &out) {
  Ref vnt = g_VNT.get();
  if (!vnt) return false;
  Ref value = attr(vnt.get(), name);
  return value && to_double(value.get(), out);
}

}  // namespace

bool CharType::list_in(PyObject *newval, PyObject *attrname, int count, Buffer<C> &vals,
                       std::vector<Ref> &) {
  for (int i = 0; i < count; ++i) {
    Ref item = item_at(newval, i);
    if (!item || !list_char(item.get(), attrname, i, vals[i])) return false;
  }
  return true;
}

Ref CharType::list_out(const Buffer<C> &vals, int count) {
  return build_list(count, [&](Py_ssize_t i) { return out(vals[i], 0); });
}

bool IntType::list_in(PyObject *newval, PyObject *, int count, Buffer<C> &vals,
                      std::vector<Ref> &) {
  for (int i = 0; i < count; ++i) {
    Ref item = item_at(newval, i);
    if (!item || !to_c_int(item.get(), vals[i])) return false;
  }
  return true;
}

Ref IntType::list_out(const Buffer<C> &vals, int count) {
  return build_list(count, [&](Py_ssize_t i) { return new_int(vals[i]); });
}

bool DoubleType::list_in(PyObject *newval, PyObject *, int count, Buffer<C> &vals,
                         std::vector<Ref> &) {
  const bool stable = PyList_CheckExact(newval) || PyTuple_CheckExact(newval);
  for (int i = 0; i < count; ++i) {
    Ref value = infinity_in([newval, i] { return item_at(newval, i); }, stable);
    if (!value || !to_double(value.get(), vals[i])) return false;
  }
  return true;
}

Ref DoubleType::list_out(const Buffer<C> &vals, int count) {
  double bound, undefined;
  if (!vnt_double(s_INFINITY, bound) || !vnt_double(s_UNDEFINED, undefined)) return nullptr;
  return build_list(count,
                    [&](Py_ssize_t i) { return new_float(double_out(vals[i], undefined, bound)); });
}

bool StringType::list_in(PyObject *newval, PyObject *, int count, Buffer<C> &vals,
                         std::vector<Ref> &keep) {
  if (PyList_CheckExact(newval) || PyTuple_CheckExact(newval)) {
    keep.reserve(static_cast<size_t>(Py_SIZE(newval)));
    for (Py_ssize_t i = 0; i < Py_SIZE(newval); ++i) {
      Ref item = Ref::borrow(PyList_CheckExact(newval) ? PyList_GET_ITEM(newval, i)
                                                       : PyTuple_GET_ITEM(newval, i));
      Ref encoded = g_stringtobytes(item.get());
      if (!encoded) return false;
      keep.push_back(std::move(encoded));
    }
  } else {
    Iteration items(newval);
    while (Ref item = items.next()) {
      Ref encoded = g_stringtobytes(item.get());
      if (!encoded) return false;
      keep.push_back(std::move(encoded));
    }
    if (items.failed()) return false;
  }
  for (int i = 0; i < count; ++i) {
    if (static_cast<size_t>(i) >= keep.size()) {
      PyErr_SetString(PyExc_IndexError, "list index out of range");
      return false;
    }
    const char *text = bytes_data(keep[static_cast<size_t>(i)].get());
    if (!text) return false;
    vals[i] = const_cast<char *>(text);
  }
  return true;
}

Ref StringType::list_out(const Buffer<C> &vals, int count) {
  Ref result = build_list(count, [&](Py_ssize_t i) {
    return vals[i] ? Ref::steal(PyBytes_FromString(vals[i])) : Ref::borrow(g_module.empty_str);
  });
  if (!result) return nullptr;
  for (int i = 0; i < count; ++i) {
    PyObject *raw = PyList_GET_ITEM(result.get(), i);
    if (!PyBytes_CheckExact(raw)) continue;  // a null string, already ""
    Ref text = g_bytestostring(raw);
    if (!text) return nullptr;
    PyList_SetItem(result.get(), i, text.release());  // drops the bytes
  }
  return result;
}

}  // namespace vantropy::brevix
