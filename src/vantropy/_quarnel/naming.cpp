// Names of indexed elements: "x[1,2]" for the element at (1, 2) of the
// family "x", one at a time (`_indexname`) or for a whole array shape
// (`_nd_indexed_names`), and `simplify_tuple` for one-dimensional indices.
#include "common.hpp"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace vantropy::quarnel {
namespace {

Str s_isstr{"_isstr"};
Str s_itertools{"itertools"};
Str s_product{"product"};
Str s_prod{"prod"};
Str s_argmax{"argmax"};
Str s_open{"["};
Str s_close{"]"};
Str s_comma{","};
Str s_fmt_d{"d"};
Str s_fmt_s{"s"};

// Owned str objects collected for one name; most names have few parts, so
// they live on the stack.
class Parts {
 public:
  Parts() = default;
  Parts(const Parts &) = delete;
  Parts &operator=(const Parts &) = delete;
  ~Parts() {
    for (PyObject *p : *this) Py_DECREF(p);
  }
  void push(PyObject *owned) {
    if (size_ < kInline) {
      inline_[size_++] = owned;
      return;
    }
    if (heap_.empty()) heap_.assign(inline_, inline_ + kInline);
    heap_.push_back(owned);
    ++size_;
  }
  Py_ssize_t size() const { return size_; }
  PyObject *const *begin() const { return size_ > kInline ? heap_.data() : inline_; }
  PyObject *const *end() const { return begin() + size_; }

 private:
  static constexpr Py_ssize_t kInline = 12;
  PyObject *inline_[kInline];
  std::vector<PyObject *> heap_;
  Py_ssize_t size_ = 0;
};

// `name` "[" items joined by "," "]" as one str.
PyObject *bracketed(PyObject *name, const Parts &items) {
  std::vector<PyObject *> heap;
  PyObject *stack[2 * 12 + 2];
  PyObject **parts = stack;
  Py_ssize_t count = items.size() ? 2 * items.size() + 2 : 3;
  if (count > static_cast<Py_ssize_t>(std::size(stack))) {
    heap.resize(static_cast<std::size_t>(count));
    parts = heap.data();
  }
  Py_ssize_t at = 0;
  parts[at++] = name;
  parts[at++] = s_open;
  for (Py_ssize_t i = 0; i < items.size(); ++i) {
    if (i) parts[at++] = s_comma;
    parts[at++] = items.begin()[i];
  }
  parts[at++] = s_close;
  return concat(parts, at);
}

// The `str` of each element of `index`, in iteration order.
int element_texts(PyObject *index, Parts &texts) {
  auto add = [&texts](PyObject *item) {
    PyObject *text = PyObject_Str(item);
    if (!text) return -1;
    texts.push(text);
    return 0;
  };
  if (PyTuple_CheckExact(index)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(index); ++i)
      if (add(PyTuple_GET_ITEM(index, i)) < 0) return -1;
    return 0;
  }
  if (PyList_CheckExact(index)) {
    // The size is read again each time, as the list's own iterator does.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(index); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(index, i));
      if (add(item.get()) < 0) return -1;
    }
    return 0;
  }
  Ref it = Ref::steal(PyObject_GetIter(index));
  if (!it) return -1;
  while (Ref item = Ref::steal(PyIter_Next(it.get())))
    if (add(item.get()) < 0) return -1;
  return PyErr_Occurred() ? -1 : 0;
}

// The first part of `_indexname`'s guard: with assertions enabled a string
// index is refused (AssertionError).
int refuse_string(PyObject *index) {
  if (assertions_enabled()) {
    static GlobalSite site_isstr;
    Ref isstr = global(site_isstr, s_isstr);
    if (!isstr) return -1;
    Ref result = Ref::steal(PyObject_CallOneArg(isstr.get(), index));
    if (!result) return -1;
    int truth = PyObject_IsTrue(result.get());
    if (truth < 0) return -1;
    if (truth) {
      PyErr_SetNone(b_AssertionError);
      return -1;
    }
  }
  return 0;
}

// "[" and the elements of a tuple of plain ints joined by ",", written
// straight into `out`: the str of an exact int cannot be overridden, so no
// text object per element is needed.  False when some element is not one.
bool plain_int_index(PyObject *index, std::string &out) {
  if (!PyTuple_CheckExact(index)) return false;
  out.assign(1, '[');
  char digits[24];
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(index); ++i) {
    PyObject *item = PyTuple_GET_ITEM(index, i);
    if (!PyLong_CheckExact(item)) return false;
    int overflow;
    long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (overflow) return false;
    if (i) out += ',';
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, end);
  }
  return true;
}

PyObject *indexname(NativeFunction *, PyObject *const *args) {
  PyObject *name = args[0], *index = args[1];
  int truth = PyObject_IsTrue(name);
  if (truth < 0) return nullptr;
  if (!truth) return newref(module_state().empty_str);

  Parts texts;
  bool failed = refuse_string(index) < 0;
  if (!failed && PyUnicode_CheckExact(name)) {
    std::string text;
    if (plain_int_index(index, text))
      return concat_ascii(name, text.data(), static_cast<Py_ssize_t>(text.size()), s_close);
  }
  if (!failed) failed = element_texts(index, texts) < 0;
  if (failed) {
    // A string index or one that is not iterable is written whole.
    if (!PyErr_ExceptionMatches(b_TypeError) && !PyErr_ExceptionMatches(b_AssertionError))
      return nullptr;
    PyErr_Clear();
    Ref whole = Ref::steal(PyObject_Str(index));
    if (!whole) return nullptr;
    Ref name_text = Ref::steal(PyObject_Str(name));
    if (!name_text) return nullptr;
    return concat({name_text.get(), s_open, whole.get(), s_close});
  }
  Ref name_text = Ref::steal(PyObject_Str(name));
  if (!name_text) return nullptr;
  return bracketed(name_text.get(), texts);
}

PyObject *simplify_tuple(NativeFunction *, PyObject *const *args) {
  PyObject *tup = args[0];
  Py_ssize_t length = PyObject_Length(tup);
  if (length < 0) return nullptr;
  return length == 1 ? item_zero(tup) : newref(tup);
}

// ---- names of a whole shape ----

// What `max`, `np.prod` and `np.argmax` give for a tuple or list of plain
// ints, worked out here without a call; `known` is false for any other
// shape, which then goes through the real calls.
struct ShapeFacts {
  bool known = false;
  long max = 0;
  Py_ssize_t argmax = 0;
  bool product_fits = true;
  long long product = 1;
};

ShapeFacts inspect_shape(PyObject *shape) {
  ShapeFacts facts;
  PyObject *const *items;
  Py_ssize_t count;
  if (PyTuple_CheckExact(shape)) {
    items = &PyTuple_GET_ITEM(shape, 0);
    count = PyTuple_GET_SIZE(shape);
  } else if (PyList_CheckExact(shape)) {
    items = PyList_GET_SIZE(shape) ? &PyList_GET_ITEM(shape, 0) : nullptr;
    count = PyList_GET_SIZE(shape);
  } else {
    return facts;
  }
  if (count == 0) return facts;  // `max` raises; leave that to it
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject *item = items[i];
    if (!PyLong_CheckExact(item)) return facts;
    int overflow;
    long value = PyLong_AsLongAndOverflow(item, &overflow);
    if (overflow) return facts;
    if (i == 0 || value > facts.max) {
      facts.max = value;
      facts.argmax = i;
    }
    if (facts.product_fits && __builtin_mul_overflow(facts.product, value, &facts.product))
      facts.product_fits = false;
  }
  facts.known = true;
  return facts;
}

// The C `int` of `max(shape)`: through `__int__` for other types, with
// OverflowError outside the range of `int`.
bool to_c_int(PyObject *obj, int &out) {
  Ref number;
  if (PyLong_Check(obj)) {
    number = Ref::borrow(obj);
  } else {
    PyNumberMethods *nb = Py_TYPE(obj)->tp_as_number;
    if (!nb || !nb->nb_int) {
      PyErr_SetString(PyExc_TypeError, "an integer is required");
      return false;
    }
    number = Ref::steal(nb->nb_int(obj));
    if (!number) return false;
    if (!PyLong_CheckExact(number.get())) {
      if (!PyLong_Check(number.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                     Py_TYPE(number.get())->tp_name);
        return false;
      }
      if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                           "__int__ returned non-int (type %.200s).  The ability to return an "
                           "instance of a strict subclass of int is deprecated, and may be "
                           "removed in a future version of Python.",
                           Py_TYPE(number.get())->tp_name) < 0)
        return false;
    }
  }
  long value = PyLong_AsLong(number.get());
  if (value == -1 && PyErr_Occurred()) return false;
  if (value > INT_MAX || value < INT_MIN) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return false;
  }
  out = static_cast<int>(value);
  return true;
}

// The decimal text of a running index, advanced in place.
class DecimalCounter {
 public:
  const char *text() const { return buffer_ + start_; }
  Py_ssize_t length() const { return kSize - start_; }
  void advance() {
    int i = kSize - 1;
    while (i >= start_ && buffer_[i] == '9') buffer_[i--] = '0';
    if (i < start_)
      buffer_[--start_] = '1';
    else
      ++buffer_[i];
  }

 private:
  static constexpr int kSize = 24;
  char buffer_[kSize] = {};
  int start_ = kSize - 1;  // starts at "0"

 public:
  DecimalCounter() { buffer_[kSize - 1] = '0'; }
};

// `first` + `unit` * `count` + `last`, a str of ASCII texts.  `count`
// comes from the caller's shape: a text longer than any str can be is a
// MemoryError, as the interpreter's own repetition gives, never a size that
// wraps around.
PyObject *repeated(const char *first, const char *unit, Py_ssize_t count, const char *last) {
  const Py_ssize_t nfirst = static_cast<Py_ssize_t>(std::strlen(first));
  const Py_ssize_t nunit = static_cast<Py_ssize_t>(std::strlen(unit));
  const Py_ssize_t nlast = static_cast<Py_ssize_t>(std::strlen(last));
  if (count < 0) count = 0;
  if (count > (PY_SSIZE_T_MAX - nfirst - nlast) / nunit) return PyErr_NoMemory();
  PyObject *text = PyUnicode_New(nfirst + count * nunit + nlast, 127);
  if (!text) return nullptr;
  char *at = static_cast<char *>(PyUnicode_DATA(text));
  at = std::copy_n(first, nfirst, at);
  for (Py_ssize_t i = 0; i < count; ++i) at = std::copy_n(unit, nunit, at);
  std::copy_n(last, nlast, at);
  return text;
}

// All names vary along one dimension, at position `k` of `ndim`: the texts
// around the counter are made once.  `prefix` is formatted for each name,
// as the names are written; an exact str formats as itself, so it is
// joined to the leading text once.
PyObject *names_along_one_dimension(PyObject *prefix, int n, Py_ssize_t k, Py_ssize_t ndim) {
  if (n <= 0) return PyList_New(0);
  Ref leading = Ref::steal(repeated("[", "0,", k, ""));
  if (!leading) return nullptr;
  Ref tail = Ref::steal(repeated("", ",0", ndim - k - 1, "]"));
  if (!tail) return nullptr;
  const bool plain = PyUnicode_CheckExact(prefix);
  Ref head;
  if (plain && !(head = Ref::steal(concat({prefix, leading.get()})))) return nullptr;

  Ref names = Ref::steal(PyList_New(n));
  if (!names) return nullptr;
  DecimalCounter counter;
  for (int i = 0; i < n; ++i, counter.advance()) {
    if (!plain) {
      Ref prefix_text = Ref::steal(PyObject_Format(prefix, module_state().empty_str));
      if (!prefix_text) return nullptr;
      head = Ref::steal(concat({prefix_text.get(), leading.get()}));
      if (!head) return nullptr;
    }
    PyObject *name = concat_ascii(head.get(), counter.text(), counter.length(), tail.get());
    if (!name) return nullptr;
    PyList_SET_ITEM(names.get(), i, name);
  }
  return names.release();
}

// The index text of one combination: plain ints are written straight into
// `buffer`; returns false when some member needs the general formatting.
bool write_plain_indices(PyObject *combination, std::string &buffer) {
  if (!PyTuple_CheckExact(combination)) return false;
  buffer.clear();
  char digits[24];
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(combination); ++i) {
    PyObject *item = PyTuple_GET_ITEM(combination, i);
    if (!PyLong_CheckExact(item)) return false;
    int overflow;
    long value = PyLong_AsLongAndOverflow(item, &overflow);
    if (overflow) return false;
    if (i) buffer += ',';
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    buffer.append(digits, end);
  }
  return true;
}

// `",".join(format(v, "d") for v in combination)`, formatted with "s".
PyObject *formatted_indices(PyObject *combination) {
  Ref texts = Ref::steal(PyList_New(0));
  Ref it = Ref::steal(PyObject_GetIter(combination));
  if (!texts || !it) return nullptr;
  while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
    Ref text = Ref::steal(PyObject_Format(item.get(), s_fmt_d));
    if (!text || PyList_Append(texts.get(), text.get()) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  Ref joined = Ref::steal(PyUnicode_Join(s_comma, texts.get()));
  return joined ? PyObject_Format(joined.get(), s_fmt_s) : nullptr;
}

// Every combination of `itertools.product` over the ranges of the shape.
PyObject *names_of_product(PyObject *prefix, PyObject *shape) {
  static GlobalSite site_itertools;
  Ref itertools = global(site_itertools, s_itertools);
  if (!itertools) return nullptr;
  Ref product = Ref::steal(PyObject_GetAttr(itertools.get(), s_product));
  if (!product) return nullptr;
  Ref ranges = Ref::steal(PyList_New(0));
  Ref dims = Ref::steal(PyObject_GetIter(shape));
  if (!ranges || !dims) return nullptr;
  while (Ref dim = Ref::steal(PyIter_Next(dims.get()))) {
    Ref range = Ref::steal(PyObject_CallOneArg(b_range, dim.get()));
    if (!range || PyList_Append(ranges.get(), range.get()) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  Ref range_args = Ref::steal(PyList_AsTuple(ranges.get()));
  if (!range_args) return nullptr;
  Ref combinations = Ref::steal(PyObject_Call(product.get(), range_args.get(), nullptr));
  if (!combinations) return nullptr;
  Ref it = Ref::steal(PyObject_GetIter(combinations.get()));
  Ref names = Ref::steal(PyList_New(0));
  if (!it || !names) return nullptr;

  // The formatted prefix and "[": made for each name, as the names are
  // written, except for an exact str, which formats as itself.
  Ref head;
  const bool plain = PyUnicode_CheckExact(prefix);
  std::string buffer;
  while (Ref combination = Ref::steal(PyIter_Next(it.get()))) {
    if (!head || !plain) {
      Ref prefix_text = Ref::steal(PyObject_Format(prefix, s_fmt_s));
      if (!prefix_text) return nullptr;
      head = Ref::steal(concat({prefix_text.get(), s_open}));
      if (!head) return nullptr;
    }
    Ref name;
    if (write_plain_indices(combination.get(), buffer)) {
      name = Ref::steal(concat_ascii(head.get(), buffer.data(),
                                     static_cast<Py_ssize_t>(buffer.size()), s_close));
    } else {
      Ref text = Ref::steal(formatted_indices(combination.get()));
      if (!text) return nullptr;
      name = Ref::steal(concat({head.get(), text.get(), s_close}));
    }
    if (!name || PyList_Append(names.get(), name.get()) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return names.release();
}

// What numpy is handed for a shape: a list as a tuple of the same items.
// numpy reads a list's items through borrowed pointers while it converts it,
// so an item whose `__iter__` or `__len__` empties the list would leave numpy
// reading freed objects; the tuple keeps every item alive for the call.
Ref shape_for_numpy(PyObject *shape) {
  return PyList_CheckExact(shape) ? Ref::steal(PyList_AsTuple(shape)) : Ref::borrow(shape);
}

PyObject *nd_indexed_names(NativeFunction *, PyObject *const *args) {
  PyObject *prefix = args[0], *shape = args[1];
  Ref np = import_numpy();
  if (!np) return nullptr;

  int scalar_shape;
  if (PyTuple_CheckExact(shape)) {
    scalar_shape = PyTuple_GET_SIZE(shape) == 0;
  } else {
    Ref equal = Ref::steal(PyObject_RichCompare(shape, module_state().empty_tuple, Py_EQ));
    if (!equal || (scalar_shape = PyObject_IsTrue(equal.get())) < 0) return nullptr;
  }
  if (scalar_shape) return list_of(prefix);

  ShapeFacts facts = inspect_shape(shape);
  int n;
  if (facts.known) {
    if (facts.max > INT_MAX || facts.max < INT_MIN) {
      PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
      return nullptr;
    }
    n = static_cast<int>(facts.max);
  } else {
    Ref largest = Ref::steal(PyObject_CallOneArg(b_max, shape));
    if (!largest || !to_c_int(largest.get(), n)) return nullptr;
  }

  int one_dimensional;
  if (facts.known && facts.product_fits) {
    one_dimensional = facts.product == n;
  } else {
    Ref prod = Ref::steal(PyObject_GetAttr(np.get(), s_prod));
    if (!prod) return nullptr;
    Ref items = shape_for_numpy(shape);
    if (!items) return nullptr;
    Ref total = Ref::steal(PyObject_CallOneArg(prod.get(), items.get()));
    Ref count = Ref::steal(PyLong_FromLong(n));
    if (!total || !count) return nullptr;
    Ref equal = Ref::steal(PyObject_RichCompare(total.get(), count.get(), Py_EQ));
    if (!equal || (one_dimensional = PyObject_IsTrue(equal.get())) < 0) return nullptr;
  }
  if (!one_dimensional) return names_of_product(prefix, shape);

  Py_ssize_t k = facts.argmax;
  if (!facts.known) {
    Ref argmax = Ref::steal(PyObject_GetAttr(np.get(), s_argmax));
    if (!argmax) return nullptr;
    Ref items = shape_for_numpy(shape);
    if (!items) return nullptr;
    Ref position = Ref::steal(PyObject_CallOneArg(argmax.get(), items.get()));
    if (!position) return nullptr;
    k = PyNumber_AsSsize_t(position.get(), PyExc_OverflowError);
    if (k == -1 && PyErr_Occurred()) return nullptr;
  }
  Py_ssize_t ndim = PyObject_Length(shape);
  if (ndim < 0) return nullptr;
  return names_along_one_dimension(prefix, n, k, ndim);
}

}  // namespace

const FuncSpec kIndexname{"_indexname", nullptr, {"name", "index"}, indexname};
const FuncSpec kSimplifyTuple{"simplify_tuple", nullptr, {"tup"}, simplify_tuple};
const FuncSpec kNdIndexedNames{"_nd_indexed_names", nullptr, {"prefix", "shape"},
                               nd_indexed_names};

}  // namespace vantropy::quarnel
