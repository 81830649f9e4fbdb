// Column data and bit masks: `_map_coldata_to_vars` picks the entries of
// per-column data that belong to the variables asked about, in the shape
// they were given in; `_wheres_bitvector` folds small integer codes into one
// bit mask.
#include "common.hpp"

#include <cstdint>

namespace vantropy::quarnel {
namespace {

Str s_cindex{"__cindex__"};
Str s_indexed_data{"_indexed_data"};
Str s_values{"values"};
Str s_keys{"keys"};
Str s_reduce{"reduce"};
Str s_partial{"partial"};
Str s_or{"or_"};
Str s_lshift{"lshift"};

Global g_tupledict{"tupledict"};

// `coldata[var.__cindex__()]`.
inline Ref entry_of_var(PyObject *coldata, PyObject *var) {
  Ref index = call_method(var, s_cindex);
  return index ? item(coldata, index.get()) : nullptr;
}

// `obj._indexed_data(coldata, dtype)`.
Ref indexed_data(PyObject *obj, PyObject *coldata, PyObject *dtype) {
  return call_method(obj, s_indexed_data, coldata, dtype);
}

// One entry per element of `seq`, all treated as the first one is.
Ref entries_of(PyObject *coldata, PyObject *seq, PyObject *dtype) {
  Py_ssize_t length = PyObject_Length(seq);
  if (length < 0) return nullptr;
  if (length == 0) return Ref::steal(PyList_New(0));
  int of_vars;
  {
    Ref first = first_item(seq);
    if (!first || (of_vars = isinstance_of(first.get(), g_Var)) < 0) return nullptr;
  }
  Ref result = Ref::steal(PyList_New(0));
  if (!result) return nullptr;
  Iteration elements(seq);
  while (Ref x = elements.next()) {
    Ref entry = of_vars ? entry_of_var(coldata, x.get()) : indexed_data(x.get(), coldata, dtype);
    if (!entry || PyList_Append(result.get(), entry.get()) < 0) return nullptr;
  }
  return elements.failed() ? nullptr : result;
}

// The entries of a mapping's values, as a tupledict under the same keys:
// tupledict(zip(v.keys(), entries)).
Ref entries_of_mapping(PyObject *coldata, PyObject *v, PyObject *dtype) {
  Ref values = call_method(v, s_values);
  if (!values) return nullptr;
  Ref seq = Ref::steal(PySequence_List(values.get()));
  if (!seq) return nullptr;
  Ref result = entries_of(coldata, seq.get(), dtype);
  if (!result) return nullptr;
  Ref tupledict = g_tupledict.get();
  if (!tupledict) return nullptr;
  Ref keys = call_method(v, s_keys);
  if (!keys) return nullptr;
  Ref pairs = call(b_zip, keys.get(), result.get());
  return pairs ? call(tupledict.get(), pairs.get()) : nullptr;
}

// Small, so that its own vectorcall holds it whole: a variable is the
// common call.
[[gnu::always_inline]] inline Ref map_coldata_to_vars(NativeFunction *, PyObject *const *args) {
  PyObject *coldata = args[0], *v = args[1], *dtype = args[2];
  int hit = isinstance_of(v, g_Var);
  if (hit < 0) return nullptr;
  if (hit) return entry_of_var(coldata, v);
  hit = isinstance_of(v, g_MVar);
  if (hit < 0) return nullptr;
  if (hit) return indexed_data(v, coldata, dtype);
  return PyDict_Check(v) ? entries_of_mapping(coldata, v, dtype) : entries_of(coldata, v, dtype);
}

// ---- bit masks ----

// `0 | 1 << w1 | 1 << w2 | ...` for the library's own reduce, partial,
// or_ and lshift.  While every code is a plain int the mask is gathered in
// a machine word (codes below 64) and a Python int (larger ones); both are
// plain ints, whose `|` is associative and commutative, so the result is
// the one the left fold gives.  The first code of another type turns the
// rest into the fold itself, in order.
Ref fold_codes(PyObject *wheres) {
  Iteration codes(wheres);
  std::uint64_t low = 0;
  Ref high;  // the bits of codes of 64 and more, or null
  Ref mask;  // the folded mask, once a code is not a plain int
  while (Ref code = codes.next()) {
    if (!mask && PyLong_CheckExact(code.get())) {
      int overflow;
      long w = PyLong_AsLongAndOverflow(code.get(), &overflow);
      if (!overflow && w >= 0 && w < 64) {
        low |= std::uint64_t{1} << w;
        continue;
      }
      Ref bit = Ref::steal(PyNumber_Lshift(k_one, code.get()));
      if (!bit) return nullptr;
      high = high ? Ref::steal(PyNumber_Or(high.get(), bit.get())) : std::move(bit);
      if (!high) return nullptr;
      continue;
    }
    if (!mask) {
      mask = Ref::steal(PyLong_FromUnsignedLongLong(low));
      if (mask && high) mask = Ref::steal(PyNumber_Or(mask.get(), high.get()));
      if (!mask) return nullptr;
    }
    Ref bit = Ref::steal(PyNumber_Lshift(k_one, code.get()));
    if (!bit) return nullptr;
    mask = Ref::steal(PyNumber_Or(mask.get(), bit.get()));
    if (!mask) return nullptr;
  }
  if (codes.failed()) return nullptr;
  if (mask) return mask;
  if (!high && low == 0) return Ref::borrow(k_zero);
  Ref word = Ref::steal(PyLong_FromUnsignedLongLong(low));
  if (!word || !high) return word;
  return Ref::steal(PyNumber_Or(word.get(), high.get()));
}

// functools.reduce(operator.or_, map(functools.partial(operator.lshift, 1), wheres), 0)
Ref wheres_bitvector(NativeFunction *, PyObject *const *args) {
  PyObject *wheres = args[0];
  // Each module-level name is read where the expression reads it.
  Ref functools = g_functools.get();
  Ref reduce = functools ? attr(functools.get(), s_reduce) : nullptr;
  if (!reduce) return nullptr;
  Ref operator_ = g_operator.get();
  Ref or_ = operator_ ? attr(operator_.get(), s_or) : nullptr;
  if (!or_) return nullptr;
  functools = g_functools.get();
  Ref partial = functools ? attr(functools.get(), s_partial) : nullptr;
  if (!partial) return nullptr;
  operator_ = g_operator.get();
  Ref lshift = operator_ ? attr(operator_.get(), s_lshift) : nullptr;
  if (!lshift) return nullptr;

  if (reduce.get() == g_real.reduce && or_.get() == g_real.or_ &&
      partial.get() == g_real.partial && lshift.get() == g_real.lshift)
    return fold_codes(wheres);

  Ref shift = call(partial.get(), lshift.get(), k_one.get());
  if (!shift) return nullptr;
  Ref bits = call(b_map, shift.get(), wheres);
  return bits ? call(reduce.get(), or_.get(), bits.get(), k_zero.get()) : nullptr;
}

}  // namespace

const FuncSpec kMapColdataToVars =
    declare<map_coldata_to_vars>("_map_coldata_to_vars", {"coldata", "v", "dtype=None"});
const FuncSpec kWheresBitvector = declare<wheres_bitvector>("_wheres_bitvector", {"wheres"});

}  // namespace vantropy::quarnel
