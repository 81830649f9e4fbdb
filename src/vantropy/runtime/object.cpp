#include "object.hpp"

namespace vantropy {

namespace detail {

int compare_int_slow(PyObject *a, long b, int op) {
  Ref number = new_int(b);
  return number ? compare(a, number.get(), op) : -1;
}

int compare_int_slow(long a, PyObject *b, int op) {
  Ref number = new_int(a);
  return number ? compare(number.get(), b, op) : -1;
}

}  // namespace detail

namespace {

// `obj` as a Python int, by the conversion rules of `rules`.
Ref int_of(PyObject *obj, IntRules rules) {
  if (PyLong_Check(obj)) return Ref::borrow(obj);
  PyNumberMethods *nb = Py_TYPE(obj)->tp_as_number;
  Ref number;
  if (nb && nb->nb_int) {
    number = Ref::steal(nb->nb_int(obj));
  } else if (nb && nb->nb_index && rules == IntRules::kArgument) {
    number = Ref::steal(nb->nb_index(obj));
  } else {
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return nullptr;
  }
  if (!number || PyLong_CheckExact(number.get())) return number;
  if (!PyLong_Check(number.get())) {
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                 Py_TYPE(number.get())->tp_name);
    return nullptr;
  }
  if (rules == IntRules::kCount &&
      PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                       "__int__ returned non-int (type %.200s).  The ability to return an "
                       "instance of a strict subclass of int is deprecated, and may be "
                       "removed in a future version of Python.",
                       Py_TYPE(number.get())->tp_name) < 0)
    return nullptr;
  return number;
}

}  // namespace

bool detail::to_c_int_slow(PyObject *obj, int &out, IntRules rules) {
  Ref number = int_of(obj, rules);
  if (!number) return false;
  long value;
  if (rules == IntRules::kArgument) {
    int overflow = 0;
    value = PyLong_AsLongAndOverflow(number.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow || value < INT_MIN || value > INT_MAX) {
      PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
      return false;
    }
  } else {
    value = PyLong_AsLong(number.get());
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < INT_MIN || value > INT_MAX) {
      PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
      return false;
    }
  }
  out = static_cast<int>(value);
  return true;
}

Ref raise_instance(PyObject *exc) {
  if (PyExceptionInstance_Check(exc))
    PyErr_SetObject(PyExceptionInstance_Class(exc), exc);
  else
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  return nullptr;
}

}  // namespace vantropy
