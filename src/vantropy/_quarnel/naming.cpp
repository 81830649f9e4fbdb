// Names of indexed elements: "x[1,2]" for the element at (1, 2) of the
// family "x", one at a time (`_indexname`) or for a whole array shape
// (`_nd_indexed_names`), and `simplify_tuple` for one-dimensional indices.
#include "common.hpp"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace vantropy::quarnel {
namespace {

Str s_numpy{"numpy"};
Str s_product{"product"};
Str s_prod{"prod"};
Str s_argmax{"argmax"};
Str s_open{"["};
Str s_close{"]"};
Str s_comma{","};
Str s_fmt_d{"d"};
Str s_fmt_s{"s"};

Global g_isstr{"_isstr"};

// One str made of the str objects `parts`, with a single allocation.
Ref join_str(PyObject *const *parts, Py_ssize_t count) {
  Py_ssize_t length = 0;
  Py_UCS4 maxchar = 127;
  for (Py_ssize_t i = 0; i < count; ++i) {
    length += PyUnicode_GET_LENGTH(parts[i]);
    maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(parts[i]));
  }
  Ref result = Ref::steal(PyUnicode_New(length, maxchar));
  if (!result) return nullptr;
  Py_ssize_t at = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(parts[i]);
    if (n && PyUnicode_CopyCharacters(result.get(), at, parts[i], 0, n) < 0) return nullptr;
    at += n;
  }
  return result;
}

Ref join_str(std::initializer_list<PyObject *> parts) {
  return join_str(parts.begin(), static_cast<Py_ssize_t>(parts.size()));
}

// The str `head`, the ASCII text `ascii`, then the str `tail`, as one str.
[[gnu::always_inline]] inline Ref join_around_ascii(PyObject *head, std::string_view ascii,
                                                   PyObject *tail) {
  const auto midlen = static_cast<Py_ssize_t>(ascii.size());
  Py_ssize_t headlen = PyUnicode_GET_LENGTH(head);
  Py_ssize_t taillen = PyUnicode_GET_LENGTH(tail);
  Py_UCS4 maxchar = std::max(PyUnicode_MAX_CHAR_VALUE(head), PyUnicode_MAX_CHAR_VALUE(tail));
  Ref result = Ref::steal(PyUnicode_New(headlen + midlen + taillen, maxchar));
  if (!result) return nullptr;
  PyObject *text = result.get();
  int kind = PyUnicode_KIND(text);
  void *data = PyUnicode_DATA(text);
  if (kind == PyUnicode_KIND(head)) {
    std::memcpy(data, PyUnicode_DATA(head), static_cast<std::size_t>(headlen * kind));
  } else if (headlen) {
    PyUnicode_CopyCharacters(text, 0, head, 0, headlen);
  }
  if (kind == PyUnicode_1BYTE_KIND) {
    std::memcpy(static_cast<char *>(data) + headlen, ascii.data(), ascii.size());
  } else {
    for (Py_ssize_t i = 0; i < midlen; ++i)
      PyUnicode_WRITE(kind, data, headlen + i, static_cast<Py_UCS4>(ascii[i]));
  }
  Py_ssize_t at = headlen + midlen;
  if (kind == PyUnicode_KIND(tail)) {
    std::memcpy(static_cast<char *>(data) + at * kind, PyUnicode_DATA(tail),
                static_cast<std::size_t>(taillen * kind));
  } else if (taillen) {
    PyUnicode_CopyCharacters(text, at, tail, 0, taillen);
  }
  return result;
}

// The str objects collected for one name; most names have few parts, so
// they live on the stack.
class Parts {
 public:
  void push(Ref text) {
    if (size_ < kInline) {
      inline_[size_++] = std::move(text);
      return;
    }
    if (heap_.empty())
      for (Ref &part : inline_) heap_.push_back(std::move(part));
    heap_.push_back(std::move(text));
    ++size_;
  }
  Py_ssize_t size() const { return size_; }
  PyObject *operator[](Py_ssize_t i) const {
    return (size_ > kInline ? heap_[static_cast<std::size_t>(i)] : inline_[i]).get();
  }

  static constexpr Py_ssize_t kInline = 12;

 private:
  Ref inline_[kInline];
  std::vector<Ref> heap_;
  Py_ssize_t size_ = 0;
};

// `name` "[" items joined by "," "]" as one str.
Ref bracketed(PyObject *name, const Parts &items) {
  std::vector<PyObject *> heap;
  PyObject *stack[2 * Parts::kInline + 2];
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
    parts[at++] = items[i];
  }
  parts[at++] = s_close;
  return join_str(parts, at);
}

// The `str` of each element of `index`, in iteration order.
bool element_texts(PyObject *index, Parts &texts) {
  auto add = [&texts](PyObject *element) {
    Ref text = str(element);
    if (!text) return false;
    texts.push(std::move(text));
    return true;
  };
  if (PyTuple_CheckExact(index)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(index); ++i)
      if (!add(PyTuple_GET_ITEM(index, i))) return false;
    return true;
  }
  if (PyList_CheckExact(index)) {
    // The size is read again each time, as the list's own iterator does.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(index); ++i) {
      Ref element = Ref::borrow(PyList_GET_ITEM(index, i));
      if (!add(element.get())) return false;
    }
    return true;
  }
  Iteration elements(index);
  while (Ref element = elements.next())
    if (!add(element.get())) return false;
  return !elements.failed();
}

// The first part of `_indexname`'s guard: with assertions enabled a string
// index is refused (AssertionError).  False with an exception set.
bool accepted(PyObject *index) {
  if (!g_module.assertions) return true;
  Ref result = g_isstr(index);
  if (!result) return false;
  int is_str = truth(result.get());
  if (is_str > 0) PyErr_SetNone(b_AssertionError);
  return is_str == 0;
}

// "[" and the elements of a tuple of plain ints joined by ",", written
// straight into `out`: the str of an exact int cannot be overridden, so no
// text object per element is needed.  False when some element is not one.
bool plain_int_index(PyObject *index, std::string &out) {
  if (!PyTuple_CheckExact(index)) return false;
  out.assign(1, '[');
  char digits[24];
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(index); ++i) {
    PyObject *element = PyTuple_GET_ITEM(index, i);
    if (!PyLong_CheckExact(element)) return false;
    int overflow;
    long long value = PyLong_AsLongLongAndOverflow(element, &overflow);
    if (overflow) return false;
    if (i) out += ',';
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, end);
  }
  return true;
}

Ref indexname(NativeFunction *, PyObject *const *args) {
  PyObject *name = args[0], *index = args[1];
  int named = truth(name);
  if (named < 0) return nullptr;
  if (!named) return Ref::borrow(g_module.empty_str);

  bool failed = !accepted(index);
  if (!failed && PyUnicode_CheckExact(name)) {
    std::string text;
    if (plain_int_index(index, text)) return join_around_ascii(name, text, s_close);
  }
  Parts texts;
  if (!failed) failed = !element_texts(index, texts);
  if (failed) {
    // A string index or one that is not iterable is written whole.
    if (!PyErr_ExceptionMatches(b_TypeError) && !PyErr_ExceptionMatches(b_AssertionError))
      return nullptr;
    PyErr_Clear();
    Ref whole = str(index);
    if (!whole) return nullptr;
    Ref name_text = str(name);
    if (!name_text) return nullptr;
    return join_str({name_text.get(), s_open, whole.get(), s_close});
  }
  Ref name_text = str(name);
  return name_text ? bracketed(name_text.get(), texts) : nullptr;
}

Ref simplify_tuple(NativeFunction *, PyObject *const *args) {
  PyObject *tup = args[0];
  Py_ssize_t length = PyObject_Length(tup);
  if (length < 0) return nullptr;
  return length == 1 ? first_item(tup) : Ref::borrow(tup);
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

// The decimal text of a running index, advanced in place.
class DecimalCounter {
 public:
  DecimalCounter() { buffer_[kSize - 1] = '0'; }
  std::string_view text() const {
    return {buffer_ + start_, static_cast<std::size_t>(kSize - start_)};
  }
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
};

// `first` + `unit` * `count` + `last`, a str of ASCII texts.  `count`
// comes from the caller's shape: a text longer than any str can be is a
// MemoryError, as the interpreter's own repetition gives, never a size that
// wraps around.
Ref repeated_text(const char *first, const char *unit, Py_ssize_t count, const char *last) {
  const Py_ssize_t nfirst = static_cast<Py_ssize_t>(std::strlen(first));
  const Py_ssize_t nunit = static_cast<Py_ssize_t>(std::strlen(unit));
  const Py_ssize_t nlast = static_cast<Py_ssize_t>(std::strlen(last));
  if (count < 0) count = 0;
  if (count > (PY_SSIZE_T_MAX - nfirst - nlast) / nunit) return Ref::steal(PyErr_NoMemory());
  Ref text = Ref::steal(PyUnicode_New(nfirst + count * nunit + nlast, 127));
  if (!text) return nullptr;
  char *at = static_cast<char *>(PyUnicode_DATA(text.get()));
  at = std::copy_n(first, nfirst, at);
  for (Py_ssize_t i = 0; i < count; ++i) at = std::copy_n(unit, nunit, at);
  std::copy_n(last, nlast, at);
  return text;
}

// All names vary along one dimension, at position `k` of `ndim`: the texts
// around the counter are made once.  `prefix` is formatted for each name,
// as the names are written; an exact str formats as itself, so it is
// joined to the leading text once.
Ref names_along_one_dimension(PyObject *prefix, int n, Py_ssize_t k, Py_ssize_t ndim) {
  if (n <= 0) return Ref::steal(PyList_New(0));
  Ref leading = repeated_text("[", "0,", k, "");
  if (!leading) return nullptr;
  Ref tail = repeated_text("", ",0", ndim - k - 1, "]");
  if (!tail) return nullptr;
  const bool plain = PyUnicode_CheckExact(prefix);
  Ref head;
  if (plain && !(head = join_str({prefix, leading.get()}))) return nullptr;

  DecimalCounter counter;
  return build_list(n, [&](Py_ssize_t) -> Ref {
    if (!plain) {
      Ref prefix_text = format(prefix, g_module.empty_str);
      if (!prefix_text || !(head = join_str({prefix_text.get(), leading.get()}))) return nullptr;
    }
    Ref name = join_around_ascii(head.get(), counter.text(), tail.get());
    counter.advance();
    return name;
  });
}

// The index text of one combination: plain ints are written straight into
// `buffer`; returns false when some member needs the general formatting.
bool write_plain_indices(PyObject *combination, std::string &buffer) {
  if (!PyTuple_CheckExact(combination)) return false;
  buffer.clear();
  char digits[24];
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(combination); ++i) {
    PyObject *member = PyTuple_GET_ITEM(combination, i);
    if (!PyLong_CheckExact(member)) return false;
    int overflow;
    long value = PyLong_AsLongAndOverflow(member, &overflow);
    if (overflow) return false;
    if (i) buffer += ',';
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    buffer.append(digits, end);
  }
  return true;
}

// `",".join(format(v, "d") for v in combination)`, formatted with "s".
Ref formatted_indices(PyObject *combination) {
  Ref texts = Ref::steal(PyList_New(0));
  if (!texts) return nullptr;
  Iteration members(combination);
  while (Ref member = members.next()) {
    Ref text = format(member.get(), s_fmt_d);
    if (!text || PyList_Append(texts.get(), text.get()) < 0) return nullptr;
  }
  if (members.failed()) return nullptr;
  Ref joined = Ref::steal(PyUnicode_Join(s_comma, texts.get()));
  return joined ? format(joined.get(), s_fmt_s) : nullptr;
}

// Every combination of `itertools.product` over the ranges of the shape.
Ref names_of_product(PyObject *prefix, PyObject *shape) {
  Ref itertools = g_itertools.get();
  if (!itertools) return nullptr;
  Ref product = attr(itertools.get(), s_product);
  if (!product) return nullptr;
  Ref ranges = Ref::steal(PyList_New(0));
  if (!ranges) return nullptr;
  Iteration dims(shape);
  while (Ref dim = dims.next()) {
    Ref range = call(b_range, dim.get());
    if (!range || PyList_Append(ranges.get(), range.get()) < 0) return nullptr;
  }
  if (dims.failed()) return nullptr;
  Ref range_args = Ref::steal(PyList_AsTuple(ranges.get()));
  if (!range_args) return nullptr;
  Ref combinations = call_tuple(product.get(), range_args.get());
  if (!combinations) return nullptr;
  Iteration each(combinations.get());
  Ref names = Ref::steal(PyList_New(0));
  if (each.failed() || !names) return nullptr;

  // The formatted prefix and "[": made for each name, as the names are
  // written, except for an exact str, which formats as itself.
  Ref head;
  const bool plain = PyUnicode_CheckExact(prefix);
  std::string buffer;
  while (Ref combination = each.next()) {
    if (!head || !plain) {
      Ref prefix_text = format(prefix, s_fmt_s);
      if (!prefix_text || !(head = join_str({prefix_text.get(), s_open}))) return nullptr;
    }
    Ref name;
    if (write_plain_indices(combination.get(), buffer)) {
      name = join_around_ascii(head.get(), buffer, s_close);
    } else {
      Ref text = formatted_indices(combination.get());
      if (!text) return nullptr;
      name = join_str({head.get(), text.get(), s_close});
    }
    if (!name || PyList_Append(names.get(), name.get()) < 0) return nullptr;
  }
  return each.failed() ? nullptr : names;
}

// What numpy is handed for a shape: a list as a tuple of the same items.
// numpy reads a list's items through borrowed pointers while it converts it,
// so an item whose `__iter__` or `__len__` empties the list would leave numpy
// reading freed objects; the tuple keeps every item alive for the call.
Ref shape_for_numpy(PyObject *shape) {
  return PyList_CheckExact(shape) ? Ref::steal(PyList_AsTuple(shape)) : Ref::borrow(shape);
}

// `np.<name>(shape)`.
Ref numpy_of_shape(PyObject *np, PyObject *name, PyObject *shape) {
  Ref fn = attr(np, name);
  if (!fn) return nullptr;
  Ref items = shape_for_numpy(shape);
  return items ? call(fn.get(), items.get()) : nullptr;
}

Ref nd_indexed_names(NativeFunction *, PyObject *const *args) {
  PyObject *prefix = args[0], *shape = args[1];
  Ref np = import_now(s_numpy);
  if (!np) return nullptr;

  int scalar_shape = PyTuple_CheckExact(shape) ? PyTuple_GET_SIZE(shape) == 0
                                               : compare(shape, g_module.empty_tuple, Py_EQ);
  if (scalar_shape < 0) return nullptr;
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
    Ref largest = call(b_max, shape);
    if (!largest || !to_c_int(largest.get(), n, IntRules::kCount)) return nullptr;
  }

  int one_dimensional;
  if (facts.known && facts.product_fits) {
    one_dimensional = facts.product == n;
  } else {
    Ref total = numpy_of_shape(np.get(), s_prod, shape);
    if (!total || (one_dimensional = compare_int(total.get(), n, Py_EQ)) < 0) return nullptr;
  }
  if (!one_dimensional) return names_of_product(prefix, shape);

  Py_ssize_t k = facts.argmax;
  if (!facts.known) {
    Ref position = numpy_of_shape(np.get(), s_argmax, shape);
    if (!position) return nullptr;
    k = PyNumber_AsSsize_t(position.get(), PyExc_OverflowError);
    if (k == -1 && PyErr_Occurred()) return nullptr;
  }
  Py_ssize_t ndim = PyObject_Length(shape);
  if (ndim < 0) return nullptr;
  return names_along_one_dimension(prefix, n, k, ndim);
}

}  // namespace

const FuncSpec kIndexname = declare<indexname>("_indexname", {"name", "index"});
const FuncSpec kSimplifyTuple = declare<simplify_tuple>("simplify_tuple", {"tup"});
const FuncSpec kNdIndexedNames =
    declare<nd_indexed_names>("_nd_indexed_names", {"prefix", "shape"});

}  // namespace vantropy::quarnel
