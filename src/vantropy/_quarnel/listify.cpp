// The class `_listify`: index arguments become the list of index elements,
// and keyword arguments become one value per index element.  It is a real
// Python class whose methods are native functions, so it can be subclassed
// and its methods overridden like any other.
#include "common.hpp"

#include <algorithm>

namespace vantropy::quarnel {
namespace {

Str s_product{"product"};
Str s_chain{"chain"};
Str s_index{"index"};
Str s_kwargs{"kwargs"};
Str s_len{"len"};
Str s_get{"get"};
Str s_flatten{"flatten"};
Str s_class_name{"_listify"};

Global g_Iterable{"Iterable"};

// Appends the element of the product that `combination` stands for to
// `index`: the members of `combination` in order, the members of an exact
// tuple spliced in (one level only).
bool append_spliced(PyObject *index, PyObject *combination) {
  Ref members = Ref::steal(PySequence_Tuple(combination));
  if (!members) return false;
  Py_ssize_t count = PyTuple_GET_SIZE(members.get());
  Py_ssize_t total = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject *m = PyTuple_GET_ITEM(members.get(), i);
    total += PyTuple_CheckExact(m) ? PyTuple_GET_SIZE(m) : 1;
  }
  if (total == count) return PyList_Append(index, members.get()) == 0;
  Ref element = Ref::steal(PyTuple_New(total));
  if (!element) return false;
  Py_ssize_t at = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject *m = PyTuple_GET_ITEM(members.get(), i);
    if (PyTuple_CheckExact(m)) {
      for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(m); ++j)
        PyTuple_SET_ITEM(element.get(), at++, newref(PyTuple_GET_ITEM(m, j)));
    } else {
      PyTuple_SET_ITEM(element.get(), at++, newref(m));
    }
  }
  return PyList_Append(index, element.get()) == 0;
}

// The index elements of several index sets: their Cartesian product.
Ref product_index(PyObject *sets) {
  Ref itertools = g_itertools.get();
  if (!itertools) return nullptr;
  Ref product = attr(itertools.get(), s_product);
  if (!product) return nullptr;
  Ref combinations = call_tuple(product.get(), sets);
  if (!combinations) return nullptr;
  Iteration each(combinations.get());
  Ref index = Ref::steal(PyList_New(0));
  if (each.failed() || !index) return nullptr;
  while (Ref combination = each.next())
    if (!append_spliced(index.get(), combination.get())) return nullptr;
  return each.failed() ? nullptr : index;
}

// __init__(self, *args, **kwargs)
Ref listify_init(NativeFunction *, PyObject *const *args) {
  PyObject *self = args[0], *positional = args[1], *kwargs = args[2];
  Py_ssize_t count = PyTuple_GET_SIZE(positional);
  // An exact int stands for range(n); everything else is an index set as is.
  Ref sets = Ref::steal(PyTuple_New(count));
  if (!sets) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject *a = PyTuple_GET_ITEM(positional, i);
    Ref set = Py_IS_TYPE(a, &PyLong_Type) ? call(b_range, a) : Ref::borrow(a);
    if (!set) return nullptr;
    PyTuple_SET_ITEM(sets.get(), i, set.release());
  }
  Ref index;
  if (count <= 1) {
    if (count == 0) {
      PyErr_SetString(PyExc_IndexError, "list index out of range");
      return nullptr;
    }
    index = Ref::steal(PySequence_List(PyTuple_GET_ITEM(sets.get(), 0)));
  } else {
    index = product_index(sets.get());
  }
  if (!index || PyObject_SetAttr(self, s_index, index.get()) < 0) return nullptr;
  if (PyObject_SetAttr(self, s_kwargs, kwargs) < 0) return nullptr;
  index = attr(self, s_index);
  if (!index) return nullptr;
  Py_ssize_t length = PyObject_Length(index.get());
  if (length < 0) return nullptr;
  Ref len = Ref::steal(PyLong_FromSsize_t(length));
  if (!len || PyObject_SetAttr(self, s_len, len.get()) < 0) return nullptr;
  return Ref::borrow(Py_None);
}

// Appends every element of `part` to `out`, as iterating it gives them.
bool extend(PyObject *out, PyObject *part) {
  if (PyList_CheckExact(part) || PyTuple_CheckExact(part)) {
    Py_ssize_t end = PyList_GET_SIZE(out);
    return PyList_SetSlice(out, end, end, part) == 0;
  }
  Iteration elements(part);
  while (Ref element = elements.next())
    if (PyList_Append(out, element.get()) < 0) return false;
  return !elements.failed();
}

// list(itertools.chain(*x)): with the library's own chain, the elements are
// appended directly, in the order and with the iterations chain makes.
Ref chained(PyObject *x) {
  Ref itertools = g_itertools.get();
  if (!itertools) return nullptr;
  Ref chain = attr(itertools.get(), s_chain);
  if (!chain) return nullptr;
  Ref parts = Ref::steal(PySequence_Tuple(x));
  if (!parts) return nullptr;
  if (chain.get() != g_real.chain) {
    Ref iterator = call_tuple(chain.get(), parts.get());
    return iterator ? Ref::steal(PySequence_List(iterator.get())) : nullptr;
  }
  Ref out = Ref::steal(PyList_New(0));
  if (!out) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(parts.get()); ++i)
    if (!extend(out.get(), PyTuple_GET_ITEM(parts.get(), i))) return nullptr;
  return out;
}

// One level flattened, or x itself when the level cannot be; null with an
// exception other than TypeError.
Ref flatten_level(PyObject *self, PyObject *x) {
  Ref y = chained(x);
  if (!y) return nullptr;
  int same = compare(y.get(), x, Py_EQ);
  if (same < 0) return nullptr;
  if (same) return Ref::borrow(x);
  return call_method(self, s_flatten, y.get());
}

Ref listify_flatten(NativeFunction *, PyObject *const *args) {
  PyObject *self = args[0], *x = args[1];
  {
    Iteration elements(x);
    while (Ref element = elements.next())
      if (PyUnicode_Check(element.get())) return Ref::borrow(x);
    if (elements.failed()) return nullptr;
  }
  Ref result = flatten_level(self, x);
  if (result || !PyErr_ExceptionMatches(b_TypeError)) return result;
  // A level with an element that is not iterable stays as it is.
  PyErr_Clear();
  return Ref::borrow(x);
}

// [val] * self.len
Ref same_for_each(PyObject *self, PyObject *val) {
  Ref len = attr(self, s_len);
  if (!len) return nullptr;
  if (PyLong_CheckExact(len.get())) {
    Py_ssize_t n = PyLong_AsSsize_t(len.get());
    if (n != -1 || !PyErr_Occurred())
      return build_list(std::max<Py_ssize_t>(n, 0), [val](Py_ssize_t) { return Ref::borrow(val); });
    PyErr_Clear();  // too large: the list repetition reports it
  }
  Ref single = list_of(val);
  return single ? Ref::steal(PyNumber_Multiply(single.get(), len.get())) : nullptr;
}

// mapping.get(key, default)
Ref get_or_default(PyObject *mapping, PyObject *key, PyObject *fallback) {
  if (PyDict_CheckExact(mapping)) {
    PyObject *value = PyDict_GetItemWithError(mapping, key);
    if (value) return Ref::borrow(value);
    return PyErr_Occurred() ? nullptr : Ref::borrow(fallback);
  }
  return call_method(mapping, s_get, key, fallback);
}

// Appends `mapping.get(key, default)` to `out`; a value of an exact dict
// goes in as it is, with no reference of its own taken first.
bool append_get(PyObject *out, PyObject *mapping, PyObject *key, PyObject *fallback) {
  if (PyDict_CheckExact(mapping)) {
    PyObject *value = PyDict_GetItemWithError(mapping, key);
    if (!value && PyErr_Occurred()) return false;
    return PyList_Append(out, value ? value : fallback) == 0;
  }
  Ref value = call_method(mapping, s_get, key, fallback);
  return value && PyList_Append(out, value.get()) == 0;
}

// [val.get(i, default) for i in self.index]
//
// Iterated by hand: an Iteration tests its iterator at every step, which
// this loop, one step per index element of every call, does without.
Ref each_from_mapping(PyObject *self, PyObject *val, PyObject *fallback) {
  Ref index = attr(self, s_index);
  if (!index) return nullptr;
  Ref it = Ref::steal(PyObject_GetIter(index.get()));
  Ref result = Ref::steal(PyList_New(0));
  if (!it || !result) return nullptr;
  while (Ref i = Ref::steal(PyIter_Next(it.get())))
    if (!append_get(result.get(), val, i.get(), fallback)) return nullptr;
  return PyErr_Occurred() ? nullptr : result;
}

Ref listify_listify(NativeFunction *, PyObject *const *args) {
  PyObject *self = args[0], *arg = args[1], *fallback = args[2];
  Ref kwargs = attr(self, s_kwargs);
  if (!kwargs) return nullptr;
  Ref val = get_or_default(kwargs.get(), arg, fallback);
  if (!val) return nullptr;
  if (PyDict_Check(val.get())) return each_from_mapping(self, val.get(), fallback);
  if (PyUnicode_Check(val.get())) return same_for_each(self, val.get());
  int is_iterable = isinstance_of(val.get(), g_Iterable);
  if (is_iterable < 0) return nullptr;
  if (!is_iterable) return same_for_each(self, val.get());
  Ref values = Ref::steal(PySequence_List(val.get()));
  return values ? call_method(self, s_flatten, values.get()) : nullptr;
}

const FuncSpec kInit = declare<listify_init>("__init__", {"self"}, "_listify.__init__", true, true);
const FuncSpec kFlatten = declare<listify_flatten>("flatten", {"self", "x"}, "_listify.flatten");
const FuncSpec kListify =
    declare<listify_listify>("listify", {"self", "arg", "default"}, "_listify.listify");

}  // namespace

// class _listify(object): __init__, flatten, listify
Ref make_listify() {
  ClassBuilder body(s_class_name, {b_object});
  if (!body || !body.method(kInit) || !body.method(kFlatten) || !body.method(kListify))
    return nullptr;
  return body.finish();
}

}  // namespace vantropy::quarnel
