// `_convert_mle_to_predvar_predval`: a matrix linear expression whose every
// element is one variable with coefficient 1 plus a constant is split into
// the matrix variable of those variables and the values at which each
// element is zero.
#include "common.hpp"

#include <cmath>

namespace vantropy::quarnel {
namespace {

Str s_MVar{"MVar"};
Str s_is_compact{"_is_compact"};
Str s_to_full{"_to_full"};
Str s_learr{"_learr"};
Str s_flat{"flat"};
Str s_size{"size"};
Str s_getCoeff{"getCoeff"};
Str s_getVar{"getVar"};
Str s_getConstant{"getConstant"};
Str s_vectorize{"vectorize"};
Str s_object{"object"};

// `le.size() != 1`.
int not_one_term(PyObject *le) {
  Ref size = Ref::steal(PyObject_CallMethodNoArgs(le, s_size));
  if (!size) return -1;
  if (PyLong_CheckExact(size.get())) {
    int overflow;
    long n = PyLong_AsLongAndOverflow(size.get(), &overflow);
    if (n == -1 && PyErr_Occurred()) return -1;
    return overflow != 0 || n != 1;
  }
  Ref differs = Ref::steal(PyObject_RichCompare(size.get(), g_const.one, Py_NE));
  return differs ? PyObject_IsTrue(differs.get()) : -1;
}

// `abs(le.getCoeff(0) - 1) >= 1e-6`; a NaN coefficient passes.
int coefficient_not_one(PyObject *le) {
  PyObject *call_args[] = {le, g_const.zero};
  Ref coeff = Ref::steal(PyObject_VectorcallMethod(
      s_getCoeff, call_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!coeff) return -1;
  if (PyFloat_CheckExact(coeff.get()))
    return std::fabs(PyFloat_AS_DOUBLE(coeff.get()) - 1.0) >= 1e-6;
  Ref difference = Ref::steal(PyNumber_Subtract(coeff.get(), g_const.one));
  if (!difference) return -1;
  Ref distance = Ref::steal(PyNumber_Absolute(difference.get()));
  if (!distance) return -1;
  Ref far = Ref::steal(PyObject_RichCompare(distance.get(), g_const.tolerance, Py_GE));
  return far ? PyObject_IsTrue(far.get()) : -1;
}

// The lambda handed to np.vectorize: `lambda le: le.getVar(0)`.
PyObject *get_first_var(NativeFunction *, PyObject *const *args) {
  PyObject *call_args[] = {args[0], g_const.zero};
  return PyObject_VectorcallMethod(s_getVar, call_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   nullptr);
}

const FuncSpec kGetFirstVar{"<lambda>", "_convert_mle_to_predvar_predval.<locals>.<lambda>",
                            {"le"}, get_first_var};

PyObject *convert_mle(NativeFunction *, PyObject *const *args) {
  Ref mle = Ref::borrow(args[0]);
  Ref np = import_numpy();
  if (!np) return nullptr;
  Ref compact = Ref::steal(PyObject_GetAttr(mle.get(), s_is_compact));
  if (!compact) return nullptr;
  int truth = PyObject_IsTrue(compact.get());
  if (truth < 0) return nullptr;
  if (truth && !(mle = Ref::steal(PyObject_CallMethodNoArgs(mle.get(), s_to_full))))
    return nullptr;
  Ref learr = Ref::steal(PyObject_GetAttr(mle.get(), s_learr));
  if (!learr) return nullptr;

  {
    Ref flat = Ref::steal(PyObject_GetAttr(learr.get(), s_flat));
    if (!flat) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(flat.get()));
    if (!it) return nullptr;
    while (Ref le = Ref::steal(PyIter_Next(it.get()))) {
      int fails = not_one_term(le.get());
      if (fails == 0) fails = coefficient_not_one(le.get());
      if (fails < 0) return nullptr;
      if (fails) return newref(g_const.none_pair);
    }
    if (PyErr_Occurred()) return nullptr;
  }

  // np.vectorize(lambda le: le.getVar(0), otypes=["object"])
  Ref vectorize = Ref::steal(PyObject_GetAttr(np.get(), s_vectorize));
  if (!vectorize) return nullptr;
  Ref getvar = Ref::steal(make_function(kGetFirstVar));
  Ref otypes = Ref::steal(list_of(s_object.get()));
  if (!getvar || !otypes) return nullptr;
  PyObject *vectorize_args[] = {getvar.get(), otypes.get()};
  Ref per_element = Ref::steal(
      PyObject_Vectorcall(vectorize.get(), vectorize_args, 1, g_const.otypes_kwnames));
  if (!per_element) return nullptr;

  static GlobalSite site_mvar;
  Ref mvar = global(site_mvar, s_MVar);
  if (!mvar) return nullptr;
  Ref vars = Ref::steal(PyObject_CallOneArg(per_element.get(), learr.get()));
  if (!vars) return nullptr;
  Ref predvar = Ref::steal(PyObject_CallOneArg(mvar.get(), vars.get()));
  if (!predvar) return nullptr;
  Ref constant = Ref::steal(PyObject_CallMethodNoArgs(mle.get(), s_getConstant));
  if (!constant) return nullptr;
  Ref predval = Ref::steal(PyNumber_Negative(constant.get()));
  if (!predval) return nullptr;
  return PyTuple_Pack(2, predvar.get(), predval.get());
}

}  // namespace

const FuncSpec kConvertMle{"_convert_mle_to_predvar_predval", nullptr, {"mle"}, convert_mle};

}  // namespace vantropy::quarnel
