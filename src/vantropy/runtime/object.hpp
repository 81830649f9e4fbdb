// Everyday object work with ownership in the types: each operation that
// makes a new reference returns a `Ref` (null with an exception set on
// failure), so module code never counts references by hand.  The
// operations are Python's own, written once: what `obj.name`, `f(*args)`,
// `obj[i]`, `str(obj)`, `a < b`, `bool(obj)`, `for x in obj` and
// `raise cls(*args)` do.
#pragma once

#include "compat.hpp"

#include <climits>
#include <initializer_list>

namespace vantropy {

// ---- attributes ---------------------------------------------------------------

// `obj.name` for a str `name`: the type's slot is called directly, as
// PyObject_GetAttr calls it, with the same report of a failure.
inline Ref attr(PyObject *obj, PyObject *name) {
  getattrofunc get = Py_TYPE(obj)->tp_getattro;
  if (!get || !PyUnicode_CheckExact(name)) return Ref::steal(PyObject_GetAttr(obj, name));
  Ref value = Ref::steal(get(obj, name));
  if (!value) compat::attribute_error_context(obj, name);
  return value;
}

// `obj.name` as `hasattr` sees it: 1 with the value in `out`, 0 when the
// look-up raised AttributeError (cleared), -1 on any other error.
inline int optional_attr(PyObject *obj, PyObject *name, Ref &out) {
  out = attr(obj, name);
  if (out) return 1;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
}

// ---- calls --------------------------------------------------------------------

// `fn(args...)`.  The slot before the arguments is free for the callee
// (PY_VECTORCALL_ARGUMENTS_OFFSET), so a bound method is called without a
// copy of them.
template <class... Args>
Ref call(PyObject *fn, Args... args) {
  if constexpr (sizeof...(Args) == 0) {
    return Ref::steal(PyObject_CallNoArgs(fn));
  } else {
    PyObject *argv[] = {nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(
        fn, argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  }
}

// `fn(*args, **kwargs)` with a tuple (and a dict, or null).
inline Ref call_tuple(PyObject *fn, PyObject *args, PyObject *kwargs = nullptr) {
  return Ref::steal(PyObject_Call(fn, args, kwargs));
}

// `fn(positional..., name=value...)`: `args` holds the positional values,
// then one value per name of the tuple `kwnames`.
inline Ref call_with(PyObject *fn, std::initializer_list<PyObject *> args, PyObject *kwnames) {
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  return Ref::steal(PyObject_Vectorcall(
      fn, args.begin(), static_cast<size_t>(static_cast<Py_ssize_t>(args.size()) - nkw), kwnames));
}

// `obj.name(args...)`, without a bound-method object where the method is a
// plain function of the type.
template <class... Args>
Ref call_method(PyObject *obj, PyObject *name, Args... args) {
  PyObject *argv[] = {obj, args...};
  return Ref::steal(PyObject_VectorcallMethod(
      name, argv, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// ---- items --------------------------------------------------------------------

// `obj[key]`: a mapping's subscript slot directly, as PyObject_GetItem
// calls it first, else PyObject_GetItem itself (sequences, class items).
inline Ref item(PyObject *obj, PyObject *key) {
  PyMappingMethods *mapping = Py_TYPE(obj)->tp_as_mapping;
  if (mapping && mapping->mp_subscript) return Ref::steal(mapping->mp_subscript(obj, key));
  return Ref::steal(PyObject_GetItem(obj, key));
}

// `seq[i]` for a position `i` >= 0: lists and tuples directly, other
// sequences through their item slot, anything else with an int key.
inline Ref item_at(PyObject *seq, Py_ssize_t i) {
  if (PyList_CheckExact(seq) && i < PyList_GET_SIZE(seq))
    return Ref::borrow(PyList_GET_ITEM(seq, i));
  if (PyTuple_CheckExact(seq) && i < PyTuple_GET_SIZE(seq))
    return Ref::borrow(PyTuple_GET_ITEM(seq, i));
  PySequenceMethods *sq = Py_TYPE(seq)->tp_as_sequence;
  if (sq && sq->sq_item) return Ref::steal(PySequence_GetItem(seq, i));
  Ref key = Ref::steal(PyLong_FromSsize_t(i));
  return key ? item(seq, key.get()) : nullptr;
}

// `seq[0]`.
inline Ref first_item(PyObject *seq) { return item_at(seq, 0); }

// ---- new objects --------------------------------------------------------------

inline Ref new_int(long value) { return Ref::steal(PyLong_FromLong(value)); }
inline Ref new_float(double value) { return Ref::steal(PyFloat_FromDouble(value)); }
inline Ref new_str(const char *text) { return Ref::steal(PyUnicode_FromString(text)); }

// `(items...)` and `[items...]`, each item a new reference of its own.
template <class... Items>
Ref tuple_of(Items... items) {
  return Ref::steal(PyTuple_Pack(sizeof...(Items), items...));
}
template <class... Items>
Ref list_of(Items... items) {
  PyObject *list = PyList_New(sizeof...(Items));
  if (list) {
    Py_ssize_t i = 0;
    (PyList_SET_ITEM(list, i++, newref(items)), ...);
  }
  return Ref::steal(list);
}

// A new list of `count` items, item `i` made by `make(i)` (a `Ref`, null
// with an exception set to stop).
template <class Make>
Ref build_list(Py_ssize_t count, Make make) {
  Ref list = Ref::steal(PyList_New(count));
  if (!list) return list;
  for (Py_ssize_t i = 0; i < count; ++i) {
    Ref item = make(i);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), i, item.release());
  }
  return list;
}

// ---- text ---------------------------------------------------------------------

inline Ref str(PyObject *obj) { return Ref::steal(PyObject_Str(obj)); }
inline Ref repr(PyObject *obj) { return Ref::steal(PyObject_Repr(obj)); }
// `format(obj, spec)`.
inline Ref format(PyObject *obj, PyObject *spec) { return Ref::steal(PyObject_Format(obj, spec)); }

// Replaces the str held in `slot` by `value`, as the setter of a function's
// `__name__` or `__qualname__` does (deleting it or a non-str is refused with
// TypeError `message`).  0, or -1 with the exception set.
inline int set_str_attribute(PyObject *&slot, PyObject *value, const char *message) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  Py_SETREF(slot, newref(value));
  return 0;
}

// ---- truth and comparison -----------------------------------------------------

// `isinstance(obj, cls)`: 1, 0, or -1 with an exception set.  An exact type
// match, the interpreter's own first test, is made inline.
inline int isinstance(PyObject *obj, PyObject *cls) {
  if (reinterpret_cast<PyObject *>(Py_TYPE(obj)) == cls) return 1;
  return PyObject_IsInstance(obj, cls);
}

// `bool(obj)`: 1, 0, or -1 with an exception set.
inline int truth(PyObject *obj) {
  if (obj == Py_True) return 1;
  if (obj == Py_False || obj == Py_None) return 0;
  return PyObject_IsTrue(obj);
}

// `bool(a <op> b)`: Python's rich comparison, then the truth of its result
// (unlike PyObject_RichCompareBool, identity does not decide).
inline int compare(PyObject *a, PyObject *b, int op) {
  Ref result = Ref::steal(PyObject_RichCompare(a, b, op));
  return result ? truth(result.get()) : -1;
}

namespace detail {
// The outcome of `a <op> b` for C numbers.
template <class A, class B>
constexpr bool compared(A a, B b, int op) {
  switch (op) {
    case Py_LT: return a < b;
    case Py_LE: return a <= b;
    case Py_EQ: return a == b;
    case Py_NE: return a != b;
    case Py_GT: return a > b;
    default: return a >= b;
  }
}
// The outcome for an exact int beyond every C long (`sign` +1 above, -1
// below) compared with a long.
constexpr bool compared_beyond(int sign, int op) {
  switch (op) {
    case Py_EQ: return false;
    case Py_NE: return true;
    case Py_LT: case Py_LE: return sign < 0;
    default: return sign > 0;
  }
}
// Doubles represent every long of this size exactly.
constexpr long kExactInDouble = 1L << 53;
VANTROPY_SHARED int compare_int_slow(PyObject *a, long b, int op);
VANTROPY_SHARED int compare_int_slow(long a, PyObject *b, int op);
}  // namespace detail

// `bool(a <op> b)` for the Python int `b`: an exact int or float `a` is
// compared in C, anything else as Python compares it with that int.
inline int compare_int(PyObject *a, long b, int op) {
  if (PyLong_CheckExact(a)) {
    long value;
    if (compat::compact_value(a, value)) return detail::compared(value, b, op);
    int overflow;
    value = PyLong_AsLongAndOverflow(a, &overflow);
    if (overflow) return detail::compared_beyond(overflow, op);
    return detail::compared(value, b, op);
  }
  if (PyFloat_CheckExact(a) && b < detail::kExactInDouble && b > -detail::kExactInDouble)
    return detail::compared(PyFloat_AS_DOUBLE(a), static_cast<double>(b), op);
  return detail::compare_int_slow(a, b, op);
}

// `bool(a <op> b)` for the Python int `a`: the int's own comparison first,
// as `int(a) <op> b` runs it.
inline int compare_int(long a, PyObject *b, int op) {
  if (PyLong_CheckExact(b)) {
    long value;
    if (compat::compact_value(b, value)) return detail::compared(a, value, op);
    int overflow;
    value = PyLong_AsLongAndOverflow(b, &overflow);
    if (overflow) return detail::compared_beyond(-overflow, op);
    return detail::compared(a, value, op);
  }
  return detail::compare_int_slow(a, b, op);
}

// ---- numbers ------------------------------------------------------------------

// How an object becomes a C int: an int is taken as it is, anything else
// through its `__int__`, and a value outside the range of a C int raises
// OverflowError.  Two callers' rules differ in the details users see.
enum class IntRules {
  // The library's index and value arguments: `__index__` serves when there
  // is no `__int__`, and the overflow message is the interpreter's own for
  // a C int.
  kArgument,
  // A count taken from a Python computation (`max(shape)`): `__int__` only,
  // a strict int subclass from it warns that this is deprecated, and the
  // value must fit a C long first, then an int.
  kCount,
};
namespace detail {
VANTROPY_SHARED bool to_c_int_slow(PyObject *obj, int &out, IntRules rules);
}
inline bool to_c_int(PyObject *obj, int &out, IntRules rules = IntRules::kArgument) {
  long value;
  if (PyLong_CheckExact(obj) && compat::compact_value(obj, value) && value >= INT_MIN &&
      value <= INT_MAX) {
    out = static_cast<int>(value);
    return true;
  }
  return detail::to_c_int_slow(obj, out, rules);
}

// `float(obj)` as a C double (an exact float by its value).
inline bool to_double(PyObject *obj, double &out) {
  if (PyFloat_CheckExact(obj)) {
    out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  out = PyFloat_AsDouble(obj);
  return !(out == -1.0 && PyErr_Occurred());
}

// ---- iteration ----------------------------------------------------------------

// `for item in iterable`, with the error of the iteration kept apart from
// its end:
//
//     Iteration items(iterable);
//     while (Ref item = items.next()) ...;
//     if (items.failed()) return nullptr;
class Iteration {
 public:
  explicit Iteration(PyObject *iterable) : iter_(Ref::steal(PyObject_GetIter(iterable))) {}
  // The next item; null at the end, or on an error.
  Ref next() { return iter_ ? Ref::steal(PyIter_Next(iter_.get())) : Ref(); }
  // The iteration could not start or raised.
  bool failed() const { return !iter_ || PyErr_Occurred(); }

 private:
  Ref iter_;
};

// ---- raising ------------------------------------------------------------------

// `raise exc`: an exception instance as it is, anything else the
// interpreter's TypeError.  Returns null, for `return raise_instance(...)`.
VANTROPY_SHARED Ref raise_instance(PyObject *exc);

// `raise cls(args...)`: the exception is made first, so an argument that
// happens to be a tuple stays the one argument it was.
template <class... Args>
Ref raise_call(PyObject *cls, Args... args) {
  Ref exc = call(cls, args...);
  return exc ? raise_instance(exc.get()) : exc;
}

// `raise cls(*args)` for a tuple of arguments.
inline Ref raise_call_tuple(PyObject *cls, PyObject *args) {
  Ref exc = call_tuple(cls, args);
  return exc ? raise_instance(exc.get()) : exc;
}

}  // namespace vantropy
