// Column data and bit masks: `_map_coldata_to_vars` picks the entries of
// per-column data that belong to the variables asked about, in the shape
// they were given in; `_wheres_bitvector` folds small integer codes into one
// bit mask.
#include "common.hpp"

#include <cstdint>

namespace vantropy::quarnel {
namespace {

Str s_Var{"Var"};
Str s_MVar{"MVar"};
Str s_tupledict{"tupledict"};
Str s_cindex{"__cindex__"};
Str s_indexed_data{"_indexed_data"};
Str s_values{"values"};
Str s_keys{"keys"};
Str s_functools{"functools"};
Str s_operator{"operator"};
Str s_reduce{"reduce"};
Str s_partial{"partial"};
Str s_or{"or_"};
Str s_lshift{"lshift"};

// `coldata[var.__cindex__()]`.
PyObject *entry_of_var(PyObject *coldata, PyObject *var) {
  Ref index = Ref::steal(PyObject_CallMethodNoArgs(var, s_cindex));
  return index ? PyObject_GetItem(coldata, index.get()) : nullptr;
}

// `obj._indexed_data(coldata, dtype)`.
PyObject *indexed_data(PyObject *obj, PyObject *coldata, PyObject *dtype) {
  PyObject *call_args[] = {obj, coldata, dtype};
  return PyObject_VectorcallMethod(s_indexed_data, call_args,
                                   3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// One entry per element of `seq`, all treated as the first one is.
PyObject *entries_of(PyObject *coldata, PyObject *seq, PyObject *dtype) {
  Py_ssize_t length = PyObject_Length(seq);
  if (length < 0) return nullptr;
  if (length == 0) return PyList_New(0);
  Ref first = Ref::steal(item_zero(seq));
  if (!first) return nullptr;
  static GlobalSite site_var;
  Ref var = global(site_var, s_Var);
  if (!var) return nullptr;
  int of_vars = PyObject_IsInstance(first.get(), var.get());
  if (of_vars < 0) return nullptr;
  first.reset();

  Ref result = Ref::steal(PyList_New(0));
  Ref it = Ref::steal(PyObject_GetIter(seq));
  if (!result || !it) return nullptr;
  while (Ref x = Ref::steal(PyIter_Next(it.get()))) {
    Ref entry = Ref::steal(of_vars ? entry_of_var(coldata, x.get())
                                   : indexed_data(x.get(), coldata, dtype));
    if (!entry || PyList_Append(result.get(), entry.get()) < 0) return nullptr;
  }
  return PyErr_Occurred() ? nullptr : result.release();
}

PyObject *map_coldata_to_vars(NativeFunction *, PyObject *const *args) {
  PyObject *coldata = args[0], *v = args[1], *dtype = args[2];
  static GlobalSite site_var, site_mvar, site_tupledict;
  Ref var = global(site_var, s_Var);
  if (!var) return nullptr;
  int hit = PyObject_IsInstance(v, var.get());
  if (hit < 0) return nullptr;
  if (hit) return entry_of_var(coldata, v);
  Ref mvar = global(site_mvar, s_MVar);
  if (!mvar) return nullptr;
  hit = PyObject_IsInstance(v, mvar.get());
  if (hit < 0) return nullptr;
  if (hit) return indexed_data(v, coldata, dtype);

  if (!PyDict_Check(v)) return entries_of(coldata, v, dtype);
  Ref values = Ref::steal(PyObject_CallMethodNoArgs(v, s_values));
  if (!values) return nullptr;
  Ref seq = Ref::steal(PySequence_List(values.get()));
  if (!seq) return nullptr;
  Ref result = Ref::steal(entries_of(coldata, seq.get(), dtype));
  if (!result) return nullptr;
  // tupledict(zip(v.keys(), result)): each key keeps the entry of its value.
  Ref tupledict = global(site_tupledict, s_tupledict);
  if (!tupledict) return nullptr;
  Ref keys = Ref::steal(PyObject_CallMethodNoArgs(v, s_keys));
  if (!keys) return nullptr;
  PyObject *zip_args[] = {keys.get(), result.get()};
  Ref pairs = Ref::steal(PyObject_Vectorcall(b_zip, zip_args, 2, nullptr));
  if (!pairs) return nullptr;
  return PyObject_CallOneArg(tupledict.get(), pairs.get());
}

// ---- bit masks ----

// `0 | 1 << w1 | 1 << w2 | ...` for the library's own reduce, partial,
// or_ and lshift.  While every code is a plain int the mask is gathered in
// a machine word (codes below 64) and a Python int (larger ones); both are
// plain ints, whose `|` is associative and commutative, so the result is
// the one the left fold gives.  The first code of another type turns the
// rest into the fold itself, in order.
PyObject *fold_codes(PyObject *wheres) {
  Ref it = Ref::steal(PyObject_GetIter(wheres));
  if (!it) return nullptr;
  std::uint64_t low = 0;
  Ref high;  // the bits of codes of 64 and more, or null
  Ref mask;  // the folded mask, once a code is not a plain int
  while (Ref code = Ref::steal(PyIter_Next(it.get()))) {
    if (!mask && PyLong_CheckExact(code.get())) {
      int overflow;
      long w = PyLong_AsLongAndOverflow(code.get(), &overflow);
      if (!overflow && w >= 0 && w < 64) {
        low |= std::uint64_t{1} << w;
        continue;
      }
      Ref bit = Ref::steal(PyNumber_Lshift(g_const.one, code.get()));
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
    Ref bit = Ref::steal(PyNumber_Lshift(g_const.one, code.get()));
    if (!bit) return nullptr;
    mask = Ref::steal(PyNumber_Or(mask.get(), bit.get()));
    if (!mask) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  if (mask) return mask.release();
  if (!high && low == 0) return newref(g_const.zero);
  Ref word = Ref::steal(PyLong_FromUnsignedLongLong(low));
  if (!word || !high) return word.release();
  return PyNumber_Or(word.get(), high.get());
}

// functools.reduce(operator.or_, map(functools.partial(operator.lshift, 1), wheres), 0)
PyObject *wheres_bitvector(NativeFunction *, PyObject *const *args) {
  PyObject *wheres = args[0];
  static GlobalSite site_functools_reduce, site_operator_or, site_functools_partial,
      site_operator_lshift;
  Ref functools = global(site_functools_reduce, s_functools);
  if (!functools) return nullptr;
  Ref reduce = Ref::steal(PyObject_GetAttr(functools.get(), s_reduce));
  if (!reduce) return nullptr;
  Ref operator_ = global(site_operator_or, s_operator);
  if (!operator_) return nullptr;
  Ref or_ = Ref::steal(PyObject_GetAttr(operator_.get(), s_or));
  if (!or_) return nullptr;
  functools = global(site_functools_partial, s_functools);
  if (!functools) return nullptr;
  Ref partial = Ref::steal(PyObject_GetAttr(functools.get(), s_partial));
  if (!partial) return nullptr;
  operator_ = global(site_operator_lshift, s_operator);
  if (!operator_) return nullptr;
  Ref lshift = Ref::steal(PyObject_GetAttr(operator_.get(), s_lshift));
  if (!lshift) return nullptr;

  if (reduce.get() == g_real.reduce && or_.get() == g_real.or_ &&
      partial.get() == g_real.partial && lshift.get() == g_real.lshift)
    return fold_codes(wheres);

  PyObject *partial_args[] = {lshift.get(), g_const.one};
  Ref shift = Ref::steal(PyObject_Vectorcall(partial.get(), partial_args, 2, nullptr));
  if (!shift) return nullptr;
  PyObject *map_args[] = {shift.get(), wheres};
  Ref bits = Ref::steal(PyObject_Vectorcall(b_map, map_args, 2, nullptr));
  if (!bits) return nullptr;
  PyObject *reduce_args[] = {or_.get(), bits.get(), g_const.zero};
  return PyObject_Vectorcall(reduce.get(), reduce_args, 3, nullptr);
}

}  // namespace

const FuncSpec kMapColdataToVars{"_map_coldata_to_vars", nullptr, {"coldata", "v", "dtype"},
                                 map_coldata_to_vars};
const FuncSpec kWheresBitvector{"_wheres_bitvector", nullptr, {"wheres"}, wheres_bitvector};

}  // namespace vantropy::quarnel
