// Typed lists: one attribute read or written for many elements in a single
// library call.  The Python data is copied into native buffers first; the
// buffers belong to the call and are released on every path.
#include "common.hpp"

#include <climits>
#include <type_traits>

namespace vantropy::brevix {
namespace {

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
    if (!item || !to_c_int(item.get(), ind[i])) return false;
  }
  return true;
}

// A data type code no list call has: rather than end without a value or
// write nothing and pretend to succeed.
Ref raise_unhandled_list_type(PyObject *attrtype) {
  Ref text = repr(attrtype);
  if (!text) return nullptr;
  PyErr_Format(PyExc_ValueError,
               "unsupported attribute data type %U (expected 0 char, 1 int, 2 double or 3 string)",
               text.get());
  return nullptr;
}

// Reads the attribute for `count` indices in a single library call.  The
// index buffer is given back as soon as the library has used it, since the
// result list is the bulk of the peak.
template <class T>
Ref read_list(PyObject *obj, PyObject *attrname, PyObject *uattrname, Buffer<int> &ind,
              int count) {
  using C = typename T::C;
  Buffer<C> vals;
  Handle h;
  if (!vals.allocate(count) || !h.from_object(obj)) return nullptr;
  const char *name = name_data(obj, attrname, uattrname, NameUse::kListRead);
  if (!name) return nullptr;
  if constexpr (std::is_pointer_v<C>)  // names left unset read as null, never as garbage
    std::memset(vals.get(), 0, sizeof(C) * static_cast<size_t>(count));
  int error = T::get_list(h.model, name, count, ind.get(), vals.get());
  if (error) {
    // VantroError(error, obj): the exception takes its text from the model.
    Ref error_class = g_VantroError.get();
    Ref code = new_int(error);
    return error_class && code ? raise_call(error_class.get(), code.get(), obj) : nullptr;
  }
  ind.release();
  return T::list_out(vals, count);
}

// Writes the attribute for `count` indices in a single library call, once
// every value is converted.
template <class T>
Ref write_list(PyObject *obj, PyObject *attrname, PyObject *uattrname, Buffer<int> &ind,
               int count, PyObject *newval) {
  Buffer<typename T::C> vals;
  std::vector<Ref> keep;  // what the values point into, until the call returns
  if (!vals.allocate(count) || !T::list_in(newval, attrname, count, vals, keep)) return nullptr;
  Handle h;
  if (!h.from_object(obj)) return nullptr;
  const char *name = name_data(obj, attrname, uattrname);
  if (!name) return nullptr;
  if (T::set_list(h.model, name, count, ind.get(), vals.get())) return raise_solver_failure(obj);
  return Ref::borrow(Py_None);
}

// The common start of both list calls (the name as bytes, then the index
// buffer), then `fn(T, uattrname, ind, count)` for the entry of `attrtype`.
template <class Fn>
Ref list_call(PyObject *attrname, PyObject *attrtype, PyObject *indices, Fn &&fn) {
  Ref uattrname = g_stringtobytes(attrname);
  if (!uattrname) return nullptr;
  Buffer<int> ind;
  int count = 0;
  if (!read_indices(indices, ind, count)) return nullptr;
  return with_type<0>(
      attrtype, [&](auto type) { return fn(type, uattrname.get(), ind, count); },
      [&] { return raise_unhandled_list_type(attrtype); });
}

Ref gettypedattrlist(NativeFunction *, PyObject *const *args) {
  PyObject *obj = args[0], *attrname = args[1];
  return list_call(attrname, args[2], args[3],
                   [&](auto type, PyObject *uattrname, Buffer<int> &ind, int count) {
                     return read_list<decltype(type)>(obj, attrname, uattrname, ind, count);
                   });
}

Ref settypedattrlist(NativeFunction *, PyObject *const *args) {
  PyObject *obj = args[0], *attrname = args[1], *newval = args[4];
  return list_call(
      attrname, args[2], args[3], [&](auto type, PyObject *uattrname, Buffer<int> &ind, int count) {
        return write_list<decltype(type)>(obj, attrname, uattrname, ind, count, newval);
      });
}

}  // namespace

const FuncSpec kGettypedattrlist =
    declare<gettypedattrlist>("_gettypedattrlist", {"obj", "attrname", "attrtype", "inputlist"});
const FuncSpec kSettypedattrlist =
    declare<settypedattrlist>("_settypedattrlist", {"obj", "attrname", "attrtype", "indlist", "newval"});

}  // namespace vantropy::brevix
