// `_convert_mle_to_predvar_predval`: a matrix linear expression whose every
// element is one variable with coefficient 1 plus a constant is split into
// the matrix variable of those variables and the values at which each
// element is zero.
#include "common.hpp"

#include <cmath>

namespace vantropy::quarnel {
namespace {

Str s_numpy{"numpy"};
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
Str s_otypes{"otypes"};

Constant k_tolerance{[] { return new_float(1e-06); }};
Constant k_none_pair{[] { return tuple_of(Py_None, Py_None); }};  // (None, None)
Constant k_otypes_kwnames{[] { return tuple_of(s_otypes.get()); }};  // ("otypes",)

// `le.size() != 1`.
int not_one_term(PyObject *le) {
  Ref size = call_method(le, s_size);
  return size ? compare_int(size.get(), 1, Py_NE) : -1;
}

// `abs(le.getCoeff(0) - 1) >= 1e-6`; a NaN coefficient passes.
int coefficient_not_one(PyObject *le) {
  Ref coeff = call_method(le, s_getCoeff, k_zero.get());
  if (!coeff) return -1;
  if (PyFloat_CheckExact(coeff.get()))
    return std::fabs(PyFloat_AS_DOUBLE(coeff.get()) - 1.0) >= 1e-6;
  Ref difference = Ref::steal(PyNumber_Subtract(coeff.get(), k_one));
  if (!difference) return -1;
  Ref distance = Ref::steal(PyNumber_Absolute(difference.get()));
  return distance ? compare(distance.get(), k_tolerance, Py_GE) : -1;
}

// The lambda handed to np.vectorize: `lambda le: le.getVar(0)`.
Ref get_first_var(NativeFunction *, PyObject *const *args) {
  return call_method(args[0], s_getVar, k_zero.get());
}

const FuncSpec kGetFirstVar =
    declare<get_first_var>("<lambda>", {"le"}, "_convert_mle_to_predvar_predval.<locals>.<lambda>");

Ref convert_mle(NativeFunction *, PyObject *const *args) {
  Ref mle = Ref::borrow(args[0]);
  Ref np = import_now(s_numpy);
  if (!np) return nullptr;
  Ref compact = attr(mle.get(), s_is_compact);
  if (!compact) return nullptr;
  int is_compact = truth(compact.get());
  if (is_compact < 0) return nullptr;
  if (is_compact && !(mle = call_method(mle.get(), s_to_full))) return nullptr;
  Ref learr = attr(mle.get(), s_learr);
  if (!learr) return nullptr;

  {
    Ref flat = attr(learr.get(), s_flat);
    if (!flat) return nullptr;
    Iteration elements(flat.get());
    while (Ref le = elements.next()) {
      int fails = not_one_term(le.get());
      if (fails == 0) fails = coefficient_not_one(le.get());
      if (fails < 0) return nullptr;
      if (fails) return Ref::borrow(k_none_pair);
    }
    if (elements.failed()) return nullptr;
  }

  // np.vectorize(lambda le: le.getVar(0), otypes=["object"])
  Ref vectorize = attr(np.get(), s_vectorize);
  if (!vectorize) return nullptr;
  Ref getvar = new_function(kGetFirstVar, nullptr);
  Ref otypes = list_of(s_object.get());
  if (!getvar || !otypes) return nullptr;
  Ref per_element = call_with(vectorize.get(), {getvar.get(), otypes.get()}, k_otypes_kwnames);
  if (!per_element) return nullptr;

  Ref mvar = g_MVar.get();
  if (!mvar) return nullptr;
  Ref vars = call(per_element.get(), learr.get());
  if (!vars) return nullptr;
  Ref predvar = call(mvar.get(), vars.get());
  if (!predvar) return nullptr;
  Ref constant = call_method(mle.get(), s_getConstant);
  if (!constant) return nullptr;
  Ref predval = Ref::steal(PyNumber_Negative(constant.get()));
  return predval ? tuple_of(predvar.get(), predval.get()) : nullptr;
}

}  // namespace

const FuncSpec kConvertMle = declare<convert_mle>("_convert_mle_to_predvar_predval", {"mle"});

}  // namespace vantropy::quarnel
