// The class `_listify`: index arguments become the list of index elements,
// and keyword arguments become one value per index element.  It is a real
// Python class whose methods are native functions, so it can be subclassed
// and its methods overridden like any other.
#include "common.hpp"

namespace vantropy::quarnel {
namespace {

Str s_itertools{"itertools"};
Str s_product{"product"};
Str s_chain{"chain"};
Str s_Iterable{"Iterable"};
Str s_index{"index"};
Str s_kwargs{"kwargs"};
Str s_len{"len"};
Str s_get{"get"};
Str s_flatten{"flatten"};
Str s_module_key{"__module__"};
Str s_qualname_key{"__qualname__"};
Str s_init_key{"__init__"};
Str s_listify_key{"listify"};
Str s_module_name{"vantropy._quarnel"};
Str s_class_name{"_listify"};

// One element of the product: the members of `combination` in order, the
// members of an exact tuple spliced in (one level only).
PyObject *spliced(PyObject *combination) {
  Ref members = Ref::steal(PySequence_Tuple(combination));
  if (!members) return nullptr;
  Py_ssize_t count = PyTuple_GET_SIZE(members.get());
  Py_ssize_t total = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject *m = PyTuple_GET_ITEM(members.get(), i);
    total += PyTuple_CheckExact(m) ? PyTuple_GET_SIZE(m) : 1;
  }
  if (total == count) return members.release();
  PyObject *result = PyTuple_New(total);
  if (!result) return nullptr;
  Py_ssize_t at = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject *m = PyTuple_GET_ITEM(members.get(), i);
    if (PyTuple_CheckExact(m)) {
      for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(m); ++j)
        PyTuple_SET_ITEM(result, at++, newref(PyTuple_GET_ITEM(m, j)));
    } else {
      PyTuple_SET_ITEM(result, at++, newref(m));
    }
  }
  return result;
}

// The index elements of several index sets: their Cartesian product.
PyObject *product_index(PyObject *sets) {
  static GlobalSite site_itertools;
  Ref itertools = global(site_itertools, s_itertools);
  if (!itertools) return nullptr;
  Ref product = Ref::steal(PyObject_GetAttr(itertools.get(), s_product));
  if (!product) return nullptr;
  Ref combinations = Ref::steal(PyObject_Call(product.get(), sets, nullptr));
  if (!combinations) return nullptr;
  Ref it = Ref::steal(PyObject_GetIter(combinations.get()));
  Ref index = Ref::steal(PyList_New(0));
  if (!it || !index) return nullptr;
  while (Ref combination = Ref::steal(PyIter_Next(it.get()))) {
    Ref element = Ref::steal(spliced(combination.get()));
    if (!element || PyList_Append(index.get(), element.get()) < 0) return nullptr;
  }
  return PyErr_Occurred() ? nullptr : index.release();
}

// __init__(self, *args, **kwargs)
PyObject *listify_init(NativeFunction *, PyObject *const *args) {
  PyObject *self = args[0], *positional = args[1], *kwargs = args[2];
  Py_ssize_t count = PyTuple_GET_SIZE(positional);
  // An exact int stands for range(n); everything else is an index set as is.
  Ref sets = Ref::steal(PyTuple_New(count));
  if (!sets) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject *a = PyTuple_GET_ITEM(positional, i);
    PyObject *set = Py_IS_TYPE(a, &PyLong_Type) ? PyObject_CallOneArg(b_range, a) : newref(a);
    if (!set) return nullptr;
    PyTuple_SET_ITEM(sets.get(), i, set);
  }
  Ref index;
  if (count <= 1) {
    if (count == 0) {
      PyErr_SetString(PyExc_IndexError, "list index out of range");
      return nullptr;
    }
    index = Ref::steal(PySequence_List(PyTuple_GET_ITEM(sets.get(), 0)));
  } else {
    index = Ref::steal(product_index(sets.get()));
  }
  if (!index || PyObject_SetAttr(self, s_index, index.get()) < 0) return nullptr;
  if (PyObject_SetAttr(self, s_kwargs, kwargs) < 0) return nullptr;
  index = Ref::steal(PyObject_GetAttr(self, s_index));
  if (!index) return nullptr;
  Py_ssize_t length = PyObject_Length(index.get());
  if (length < 0) return nullptr;
  Ref len = Ref::steal(PyLong_FromSsize_t(length));
  if (!len || PyObject_SetAttr(self, s_len, len.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

// Appends every element of `part` to `out`, as iterating it gives them.
int extend(PyObject *out, PyObject *part) {
  if (PyList_CheckExact(part) || PyTuple_CheckExact(part)) {
    Py_ssize_t end = PyList_GET_SIZE(out);
    return PyList_SetSlice(out, end, end, part);
  }
  Ref it = Ref::steal(PyObject_GetIter(part));
  if (!it) return -1;
  while (Ref item = Ref::steal(PyIter_Next(it.get())))
    if (PyList_Append(out, item.get()) < 0) return -1;
  return PyErr_Occurred() ? -1 : 0;
}

// list(itertools.chain(*x)): with the library's own chain, the elements are
// appended directly, in the order and with the iterations chain makes.
PyObject *chained(PyObject *x) {
  static GlobalSite site_itertools;
  Ref itertools = global(site_itertools, s_itertools);
  if (!itertools) return nullptr;
  Ref chain = Ref::steal(PyObject_GetAttr(itertools.get(), s_chain));
  if (!chain) return nullptr;
  Ref parts = Ref::steal(PySequence_Tuple(x));
  if (!parts) return nullptr;
  if (chain.get() != g_real.chain) {
    Ref iterator = Ref::steal(PyObject_Call(chain.get(), parts.get(), nullptr));
    return iterator ? PySequence_List(iterator.get()) : nullptr;
  }
  Ref out = Ref::steal(PyList_New(0));
  if (!out) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(parts.get()); ++i)
    if (extend(out.get(), PyTuple_GET_ITEM(parts.get(), i)) < 0) return nullptr;
  return out.release();
}

// One level flattened, or x itself when the level cannot be; null with an
// exception other than TypeError.
PyObject *flatten_level(PyObject *self, PyObject *x) {
  Ref y = Ref::steal(chained(x));
  if (!y) return nullptr;
  Ref equal = Ref::steal(PyObject_RichCompare(y.get(), x, Py_EQ));
  if (!equal) return nullptr;
  int same = PyObject_IsTrue(equal.get());
  if (same < 0) return nullptr;
  if (same) return newref(x);
  return PyObject_CallMethodOneArg(self, s_flatten, y.get());
}

PyObject *listify_flatten(NativeFunction *, PyObject *const *args) {
  PyObject *self = args[0], *x = args[1];
  {
    Ref it = Ref::steal(PyObject_GetIter(x));
    if (!it) return nullptr;
    while (Ref element = Ref::steal(PyIter_Next(it.get())))
      if (PyUnicode_Check(element.get())) return newref(x);
    if (PyErr_Occurred()) return nullptr;
  }
  PyObject *result = flatten_level(self, x);
  if (result || !PyErr_ExceptionMatches(b_TypeError)) return result;
  // A level with an element that is not iterable stays as it is.
  PyErr_Clear();
  return newref(x);
}

// [val] * self.len
PyObject *repeated(PyObject *self, PyObject *val) {
  Ref len = Ref::steal(PyObject_GetAttr(self, s_len));
  if (!len) return nullptr;
  if (PyLong_CheckExact(len.get())) {
    Py_ssize_t n = PyLong_AsSsize_t(len.get());
    if (n == -1 && PyErr_Occurred()) {
      PyErr_Clear();  // too large: the list repetition reports it
    } else {
      if (n < 0) n = 0;
      PyObject *list = PyList_New(n);
      if (!list) return nullptr;
      for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(list, i, newref(val));
      return list;
    }
  }
  Ref single = Ref::steal(list_of(val));
  return single ? PyNumber_Multiply(single.get(), len.get()) : nullptr;
}

// mapping.get(key, default)
PyObject *get_or_default(PyObject *mapping, PyObject *key, PyObject *fallback) {
  if (PyDict_CheckExact(mapping)) {
    PyObject *value = PyDict_GetItemWithError(mapping, key);
    if (value) return newref(value);
    return PyErr_Occurred() ? nullptr : newref(fallback);
  }
  PyObject *call_args[] = {mapping, key, fallback};
  return PyObject_VectorcallMethod(s_get, call_args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// [val.get(i, default) for i in self.index]
PyObject *per_index(PyObject *self, PyObject *val, PyObject *fallback) {
  Ref index = Ref::steal(PyObject_GetAttr(self, s_index));
  if (!index) return nullptr;
  Ref it = Ref::steal(PyObject_GetIter(index.get()));
  Ref result = Ref::steal(PyList_New(0));
  if (!it || !result) return nullptr;
  while (Ref i = Ref::steal(PyIter_Next(it.get()))) {
    Ref value = Ref::steal(get_or_default(val, i.get(), fallback));
    if (!value || PyList_Append(result.get(), value.get()) < 0) return nullptr;
  }
  return PyErr_Occurred() ? nullptr : result.release();
}

PyObject *listify_listify(NativeFunction *, PyObject *const *args) {
  PyObject *self = args[0], *arg = args[1], *fallback = args[2];
  Ref kwargs = Ref::steal(PyObject_GetAttr(self, s_kwargs));
  if (!kwargs) return nullptr;
  Ref val = Ref::steal(get_or_default(kwargs.get(), arg, fallback));
  if (!val) return nullptr;
  if (PyDict_Check(val.get())) return per_index(self, val.get(), fallback);
  if (PyUnicode_Check(val.get())) return repeated(self, val.get());
  static GlobalSite site_iterable;
  Ref iterable = global(site_iterable, s_Iterable);
  if (!iterable) return nullptr;
  int is_iterable = PyObject_IsInstance(val.get(), iterable.get());
  if (is_iterable < 0) return nullptr;
  if (!is_iterable) return repeated(self, val.get());
  Ref values = Ref::steal(PySequence_List(val.get()));
  return values ? PyObject_CallMethodOneArg(self, s_flatten, values.get()) : nullptr;
}

const FuncSpec kInit{"__init__", "_listify.__init__", {"self"}, listify_init, true, true};
const FuncSpec kFlatten{"flatten", "_listify.flatten", {"self", "x"}, listify_flatten};
const FuncSpec kListify{"listify", "_listify.listify", {"self", "arg", "default"},
                        listify_listify};

int store(PyObject *ns, PyObject *key, const FuncSpec &spec) {
  Ref fn = Ref::steal(make_function(spec));
  return fn ? PyDict_SetItem(ns, key, fn.get()) : -1;
}

}  // namespace

PyObject *create_listify() {
  Ref ns = Ref::steal(PyDict_New());
  if (!ns) return nullptr;
  if (PyDict_SetItem(ns.get(), s_module_key, s_module_name) < 0 ||
      PyDict_SetItem(ns.get(), s_qualname_key, s_class_name) < 0 ||
      store(ns.get(), s_init_key, kInit) < 0 || store(ns.get(), s_flatten, kFlatten) < 0 ||
      store(ns.get(), s_listify_key, kListify) < 0)
    return nullptr;
  PyObject *type_args[] = {s_class_name, g_const.listify_bases, ns.get()};
  return PyObject_Vectorcall(reinterpret_cast<PyObject *>(&PyType_Type), type_args, 3, nullptr);
}

}  // namespace vantropy::quarnel
