// One attribute at a time: its information, the names of a model's
// attributes, the error text of an object, and the reads, writes and
// prefetches of one value.
#include "common.hpp"

namespace vantropy::brevix {
namespace {

// ---- shared steps -------------------------------------------------------------

void raise_need_more(Py_ssize_t got) {
  PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
               got == 1 ? "" : "s");
}

void raise_too_many() {
  PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{3});
}

// The attribute triple from the module-level _getattrinfo, unpacked into
// exactly three values.
struct AttrInfo {
  Ref type, size, settable;

  bool unpack(PyObject *seq) {
    Ref *out[3] = {&type, &size, &settable};
    if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
      Py_ssize_t n = Py_SIZE(seq);
      if (n != 3) {
        if (n > 3)
          raise_too_many();
        else
          raise_need_more(n);
        return false;
      }
      for (int i = 0; i < 3; ++i) *out[i] = item_at(seq, i);
      return true;
    }
    Iteration items(seq);
    for (int i = 0; i < 3; ++i) {
      *out[i] = items.next();
      if (!*out[i]) {
        if (!items.failed()) raise_need_more(i);
        return false;
      }
    }
    if (items.next()) {
      raise_too_many();
      return false;
    }
    return !items.failed();
  }
};

// A data type code this call cannot read or write; without this the call
// would end without a value or write nothing and pretend to succeed.
Ref raise_unhandled_type(PyObject *attrname, PyObject *attrtype, bool model_level) {
  return raise_attribute_error(Ref::steal(
      PyUnicode_FromFormat("Attribute '%S' has unsupported data type %S%s", attrname, attrtype,
                           model_level ? " for a model" : "")));
}

// The common start of the single-attribute calls: the name as bytes, the
// attribute's triple through the namespace's _getattrinfo, and the truth of
// is_model, in that order.
struct AttrCall {
  Ref uattrname;
  AttrInfo info;
  bool model_level = false;

  bool begin(PyObject *obj, PyObject *attrname, PyObject *is_model) {
    uattrname = g_stringtobytes(attrname);
    if (!uattrname) return false;
    Ref triple = g_getattrinfo(obj, attrname);
    if (!triple || !info.unpack(triple.get())) return false;
    int level = truth(is_model);
    model_level = level > 0;
    return level >= 0;
  }

  // `model(T)` or `element(T)` for the entry of the attribute's data type,
  // by the level of the call; model-level calls have no char type.
  template <class Model, class Element>
  Ref by_type(PyObject *attrname, Model &&model, Element &&element) const {
    PyObject *attrtype = info.type.get();
    if (model_level)
      return with_type<1>(attrtype, model,
                          [&] { return raise_unhandled_type(attrname, attrtype, true); });
    return with_type<0>(attrtype, element,
                        [&] { return raise_unhandled_type(attrname, attrtype, false); });
  }
};

// The element's index, with its state checked: -1 is not yet added, below
// -1 is removed.  Both raise VantroError with errno 0.
Ref element_index(PyObject *obj) {
  Ref cindex = call_method(obj, s_cindex);
  if (!cindex) return cindex;
  PyObject *tail = nullptr;
  int not_added = compare_int(cindex.get(), -1, Py_EQ);
  if (not_added < 0) return nullptr;
  if (not_added) {
    tail = s_msg_not_added;
  } else {
    int removed = compare_int(cindex.get(), -1, Py_LT);
    if (removed < 0) return nullptr;
    if (removed) tail = s_msg_removed;
  }
  if (!tail) return cindex;

  Ref error_class = g_VantroError.get();
  if (!error_class) return nullptr;
  Ref tname = attr(obj, s_typename);
  if (!tname) return nullptr;
  Ref message = plus({tname.get(), tail});
  Ref zero = new_int(0);
  return message && zero ? raise_call(error_class.get(), zero.get(), message.get()) : nullptr;
}

// The attribute must belong to the element's kind; the message is the one
// for a missing attribute.
bool check_kind(PyObject *obj, PyObject *attrname, PyObject *attrsize) {
  Ref typeenum = attr(obj, s_typeenum);
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

// The element checks of a read or write: its state, then the attribute's kind.
Ref checked_element(PyObject *obj, PyObject *attrname, const AttrInfo &info) {
  Ref cindex = element_index(obj);
  if (!cindex || !check_kind(obj, attrname, info.size.get())) return nullptr;
  return cindex;
}

// ---- _geterrormsg ---------------------------------------------------------------

// The message of a handle held in `obj.<attr>`: 1 with the text in `out`,
// 0 when `obj` has no such attribute, -1 on error.
int handle_message(PyObject *obj, PyObject *attr_name, capi::ErrormsgFn fn, Ref &out) {
  Ref probe;
  int found = optional_attr(obj, attr_name, probe);
  if (found <= 0) return found;
  probe.reset();
  Handle h;
  Ref value = attr(obj, attr_name);
  if (!value || !h.from_value(value.get())) return -1;
  out = Ref::steal(fn(h.model));
  return out ? 1 : -1;
}

Ref geterrormsg(NativeFunction *, PyObject *const *args) {
  PyObject *obj = args[0];
  Ref message;
  int found = handle_message(obj, s_cmodel, g_model_errormsg, message);
  if (found == 0) found = handle_message(obj, s_cenv, g_env_errormsg, message);
  if (found < 0) return nullptr;
  return found ? message : Ref::borrow(g_module.empty_str);
}

// ---- _getattrinfo ---------------------------------------------------------------

Ref getattrinfo(NativeFunction *, PyObject *const *args) {
  PyObject *obj = args[0], *attrname = args[1];
  Ref uattrname = g_stringtobytes(attrname);
  if (!uattrname) return nullptr;
  Handle h;
  if (!h.from_object(obj)) return nullptr;
  const char *name = name_data(obj, attrname, uattrname.get());
  if (!name) return nullptr;
  int type = 0, size = 0, settable = 0;
  if (VNTgetattrinfo(h.model, name, &type, &size, &settable) != 0)
    return raise_no_attribute(obj, attrname);
  Ref values[] = {new_int(type), new_int(size), new_int(settable)};
  for (const Ref &v : values)
    if (!v) return nullptr;
  return tuple_of(values[0].get(), values[1].get(), values[2].get());
}

// ---- _getattr ---------------------------------------------------------------------

// The end of a read: the busy code has its own message, any other failure
// the library's text; the value was already converted either way.
Ref finish_read(PyObject *obj, PyObject *attrname, int error, Ref value) {
  if (!value) return nullptr;
  Ref vnt = g_VNT.get();
  if (!vnt) return nullptr;
  Ref codes = attr(vnt.get(), s_Error);
  if (!codes) return nullptr;
  Ref busy_code = attr(codes.get(), s_OPTIMIZATION_IN_PROGRESS);
  if (!busy_code) return nullptr;
  int busy = compare_int(error, busy_code.get(), Py_EQ);
  if (busy < 0) return nullptr;
  if (busy) {
    Ref shown = format(attrname, g_module.empty_str);
    return shown ? raise_attribute_error(plus({s_msg_attribute, shown.get(), s_msg_busy}))
                 : nullptr;
  }
  if (error) return raise_solver_failure(obj);
  return value;
}

template <class T>
Ref read_model(PyObject *obj, PyObject *attrname, PyObject *uattrname) {
  Handle h;
  if (!h.from_object(obj)) return nullptr;
  const char *name = name_data(obj, attrname, uattrname);
  if (!name) return nullptr;
  typename T::C value{};
  int error = T::get_model(h.model, name, &value);
  return finish_read(obj, attrname, error, T::out(value, error));
}

template <class T>
Ref read_element(PyObject *obj, PyObject *attrname, PyObject *uattrname, PyObject *cindex) {
  Handle h;
  if (!h.from_object(obj) || !name_data(obj, attrname, uattrname)) return nullptr;
  int index;
  if (!to_c_int(cindex, index)) return nullptr;
  // Taken again after the index conversion, which may have run Python code.
  const char *name = name_data(obj, attrname, uattrname);
  if (!name) return nullptr;
  typename T::C value{};
  int error = T::get_element(h.model, name, index, &value);
  return finish_read(obj, attrname, error, T::out(value, error));
}

Ref getattr_(NativeFunction *, PyObject *const *args) {
  PyObject *obj = args[0], *attrname = args[1], *is_model = args[2];
  AttrCall call;
  if (!call.begin(obj, attrname, is_model)) return nullptr;
  Ref cindex;
  if (!call.model_level && !(cindex = checked_element(obj, attrname, call.info))) return nullptr;
  PyObject *uattrname = call.uattrname.get();
  return call.by_type(
      attrname,
      [&](auto type) { return read_model<decltype(type)>(obj, attrname, uattrname); },
      [&](auto type) {
        return read_element<decltype(type)>(obj, attrname, uattrname, cindex.get());
      });
}

// ---- _setattr ---------------------------------------------------------------------

// The end of a write: a failure raises the library's text.
Ref finish_write(PyObject *obj, int error) {
  return error ? raise_solver_failure(obj) : Ref::borrow(Py_None);
}

// The new value's type check, then what it becomes before the handle is
// fetched.
template <class T>
Ref checked_value(PyObject *attrname, PyObject *newval) {
  int accepted = T::accepts(newval);
  if (accepted < 0) return nullptr;
  if (!accepted) return raise_attribute_message(attrname, T::takes);
  return T::prepare(newval);
}

template <class T>
Ref write_model(PyObject *obj, PyObject *attrname, PyObject *uattrname, PyObject *newval) {
  Ref prepared = checked_value<T>(attrname, newval);
  Handle h;
  if (!prepared || !h.from_object(obj) || !name_data(obj, attrname, uattrname)) return nullptr;
  InValue<T> value;
  if (!T::in(attrname, prepared.get(), value)) return nullptr;
  // Taken again after the conversion, which may have run Python code.
  const char *name = name_data(obj, attrname, uattrname);
  if (!name) return nullptr;
  return finish_write(obj, T::set_model(h.model, name, value));
}

// The value's type is checked first; then the handle is fetched, the name
// and index converted and the value converted, in that order.
template <class T>
Ref write_element(PyObject *obj, PyObject *attrname, PyObject *uattrname, PyObject *newval,
                  PyObject *cindex) {
  Ref prepared = checked_value<T>(attrname, newval);
  Handle h;
  if (!prepared || !h.from_object(obj) || !name_data(obj, attrname, uattrname)) return nullptr;
  int index;
  InValue<T> value;
  if (!to_c_int(cindex, index) || !T::in(attrname, prepared.get(), value)) return nullptr;
  const char *name = name_data(obj, attrname, uattrname);
  if (!name) return nullptr;
  return finish_write(obj, T::set_element(h.model, name, index, value));
}

Ref setattr_(NativeFunction *, PyObject *const *args) {
  PyObject *obj = args[0], *attrname = args[1], *newval = args[2], *is_model = args[3];
  AttrCall call;
  if (!call.begin(obj, attrname, is_model)) return nullptr;
  Ref cindex;
  if (!call.model_level) {
    if (!(cindex = checked_element(obj, attrname, call.info))) return nullptr;
    int read_only = compare_int(call.info.settable.get(), 0, Py_EQ);
    if (read_only < 0) return nullptr;
    if (read_only) return raise_attribute_message(attrname, s_msg_cannot_set);
  }
  PyObject *uattrname = call.uattrname.get();
  return call.by_type(
      attrname,
      [&](auto type) { return write_model<decltype(type)>(obj, attrname, uattrname, newval); },
      [&](auto type) {
        return write_element<decltype(type)>(obj, attrname, uattrname, newval, cindex.get());
      });
}

// ---- _prefetchattr ----------------------------------------------------------------

Ref prefetchattr(NativeFunction *, PyObject *const *args) {
  PyObject *obj = args[0], *attrname = args[1], *is_model = args[2];
  AttrCall call;
  if (!call.begin(obj, attrname, is_model)) return nullptr;
  if (!call.model_level && !check_kind(obj, attrname, call.info.size.get())) return nullptr;
  Handle h;
  if (!h.from_object(obj)) return nullptr;
  const char *name = name_data(obj, attrname, call.uattrname.get());
  if (!name) return nullptr;
  return finish_write(obj, VNTprefetchattr(h.model, name));
}

// ---- _attrlist --------------------------------------------------------------------

Ref attrlist(NativeFunction *, PyObject *const *args) {
  PyObject *cmodel = args[0], *type = args[1];
  Handle h;
  if (!h.from_value(cmodel)) return nullptr;
  int numattrs = VNTgetnumattributes(h.model);
  Ref result = Ref::steal(PyList_New(0));
  if (!result) return nullptr;
  for (int i = 0; i < numattrs; ++i) {
    if (!h.from_value(cmodel)) return nullptr;
    char *name = nullptr;
    int code = VNTgetattrname(h.model, i, &name);
    if (!name) {
      // No name to read: report the library's code and the model's text.
      Ref error_class = g_VantroError.get();
      if (!error_class) return nullptr;
      Ref errno_ = new_int(code);
      if (!errno_) return nullptr;
      Ref message = Ref::steal(g_model_errormsg(h.model));
      if (!message) return nullptr;
      return raise_call(error_class.get(), errno_.get(), message.get());
    }
    // The copy serves both the conversion and the kind lookup, so nothing
    // is read through the library's pointer once Python code has run.
    Ref raw = Ref::steal(PyBytes_FromString(name));
    if (!raw) return nullptr;
    Ref attrname = g_bytestostring(raw.get());
    if (!attrname || !h.from_value(cmodel)) return nullptr;
    int attrsize = 0;
    // A name whose kind the library cannot tell is of no kind: it is left
    // out for every `type`.
    if (VNTgetattrinfo(h.model, PyBytes_AS_STRING(raw.get()), nullptr, &attrsize, nullptr) != 0)
      continue;
    int match = compare_int(attrsize, type, Py_EQ);
    if (match < 0) return nullptr;
    if (match && PyList_Append(result.get(), attrname.get()) < 0) return nullptr;
  }
  return result;
}

}  // namespace

const FuncSpec kGeterrormsg = declare<geterrormsg>("_geterrormsg", {"obj"});
const FuncSpec kGetattrinfo = declare<getattrinfo>("_getattrinfo", {"obj", "attrname"});
const FuncSpec kGetattr = declare<getattr_>("_getattr", {"obj", "attrname", "is_model=False"});
const FuncSpec kSetattr =
    declare<setattr_>("_setattr", {"obj", "attrname", "newval", "is_model=False"});
const FuncSpec kPrefetchattr =
    declare<prefetchattr>("_prefetchattr", {"obj", "attrname", "is_model=False"});
const FuncSpec kAttrlist = declare<attrlist>("_attrlist", {"cmodel", "type"});

}  // namespace vantropy::brevix
