// Expressions and model elements: `_simpleexpr` turns what the package
// accepts as one expression into a scalar expression object, and the
// `_extract_*_cindex` family checks a model element and hands back its
// solver index.
#include "common.hpp"

namespace vantropy::quarnel {
namespace {

Str s_ERROR_NOT_IN_MODEL{"ERROR_NOT_IN_MODEL"};
Str s_item{"item"};
Str s_size{"size"};
Str s_getLinExpr{"getLinExpr"};
Str s_normalize{"_normalize"};
Str s_is_compact{"_is_compact"};
Str s_cindex{"__cindex__"};
Str s_owns{"_owns"};
Str s_convert_error{"Unable to convert argument to an expression"};
Str s_not_variable{" is not a variable"};
Str s_not_constraint{" is not a constraint"};
Str s_not_qconstraint{" is not a quadratic constraint"};
Str s_not_genconstraint{" is not a general constraint"};
Str s_not_sos{" is not an SOS constraint"};
Str s_var_not_in_model{"Variable not in model"};
Str s_constr_not_in_model{"Constraint not in model"};
Str s_genconstr_not_in_model{"General constraint not in model"};
Str s_sos_not_in_model{"SOS not in model"};

Global g_isscalar{"_isscalar"};
Global g_MLinExpr{"MLinExpr"};
Global g_MQuadExpr{"MQuadExpr"};
Global g_Constr{"Constr"};
Global g_MConstr{"MConstr"};
Global g_QConstr{"QConstr"};
Global g_MQConstr{"MQConstr"};
Global g_GenConstr{"GenConstr"};
Global g_MGenConstr{"MGenConstr"};
Global g_SOS{"SOS"};
Global g_VantroError{"VantroError"};
Global g_VNT{"VNT"};

// (-1, "Unable to convert argument to an expression")
Constant k_convert_error_args{[] {
  Ref code = new_int(-1);
  return code ? tuple_of(code.get(), s_convert_error.get()) : code;
}};

PyObject *as_object(PyTypeObject *type) { return reinterpret_cast<PyObject *>(type); }

// Calls `_normalize()` on `expr` and hands `expr` back.
Ref normalized(Ref expr) {
  if (!expr || !call_method(expr.get(), s_normalize)) return nullptr;
  return expr;
}

Ref new_linexpr(PyObject *arg) { return call(as_object(g_LinExpr), arg); }

// `expr.size() == 0`.
int has_no_terms(PyObject *expr) {
  Ref size = call_method(expr, s_size);
  return size ? compare_int(size.get(), 0, Py_EQ) : -1;
}

// A one-element matrix quadratic expression: its element itself, or the
// element's linear part when it has no quadratic terms, normalised.
Ref from_matrix_quadratic(PyObject *arg) {
  if (g_module.assertions) {
    Ref compact = attr(arg, s_is_compact);
    if (!compact) return nullptr;
    int is_compact = truth(compact.get());
    if (is_compact < 0) return nullptr;
    if (is_compact) {
      PyErr_SetNone(b_AssertionError);
      return nullptr;
    }
  }
  Ref element = call_method(arg, s_item);
  if (!element) return nullptr;
  int linear = has_no_terms(element.get());
  if (linear < 0) return nullptr;
  if (linear) return normalized(call_method(element.get(), s_getLinExpr));
  return normalized(std::move(element));
}

// A quadratic expression: a copy, or a linear expression made from its
// linear part when it has no quadratic terms; never the argument itself.
Ref from_quadratic(PyObject *arg) {
  int linear = has_no_terms(arg);
  if (linear < 0) return nullptr;
  if (linear) {
    Ref part = call_method(arg, s_getLinExpr);
    return part ? normalized(new_linexpr(part.get())) : nullptr;
  }
  return normalized(call(as_object(g_QuadExpr), arg));
}

// Each test looks up its names only when it is reached.
Ref simpleexpr(NativeFunction *, PyObject *const *args) {
  PyObject *arg = args[0];
  Ref scalar = g_isscalar(arg);
  if (!scalar) return nullptr;
  int hit = truth(scalar.get());
  if (hit < 0) return nullptr;
  if (!hit && (hit = isinstance_of(arg, g_Var)) < 0) return nullptr;
  if (!hit) hit = PyObject_TypeCheck(arg, g_LinExpr);
  if (hit) return normalized(new_linexpr(arg));

  hit = isinstance_of(arg, g_MVar);
  if (!hit) hit = isinstance_of(arg, g_MLinExpr);
  if (hit < 0) return nullptr;
  if (hit) {
    // The element of a matrix is wrapped as it is, without normalising.
    Ref element = call_method(arg, s_item);
    return element ? new_linexpr(element.get()) : nullptr;
  }

  hit = isinstance_of(arg, g_MQuadExpr);
  if (hit < 0) return nullptr;
  if (hit) return from_matrix_quadratic(arg);
  if (PyObject_TypeCheck(arg, g_QuadExpr)) return from_quadratic(arg);

  Ref error = g_VantroError.get();
  return error ? raise_call_tuple(error.get(), k_convert_error_args) : nullptr;
}

// ---- solver index of one model element ----

// How one member of the family differs from the others.
struct ElementKind {
  const Global &element_class;
  const Global *matrix_class;  // null: no matrix object is accepted
  Str &wrong_kind;             // appended to the formatted argument
  Str &not_in_model;
  bool membership_first;  // variables ask the model before the sign
};

const ElementKind kVar{g_Var, &g_MVar, s_not_variable, s_var_not_in_model, true};
const ElementKind kConstr{g_Constr, &g_MConstr, s_not_constraint, s_constr_not_in_model, false};
const ElementKind kQConstr{g_QConstr, &g_MQConstr, s_not_qconstraint, s_constr_not_in_model,
                           false};
const ElementKind kGenConstr{g_GenConstr, &g_MGenConstr, s_not_genconstraint,
                             s_genconstr_not_in_model, false};
const ElementKind kSos{g_SOS, nullptr, s_not_sos, s_sos_not_in_model, false};

// `model._owns(element)`: 1, 0 or -1 on error.
inline int owned_by(PyObject *model, PyObject *element) {
  Ref owns = call_method(model, s_owns, element);
  return owns ? truth(owns.get()) : -1;
}

Ref raise_not_in_model(const ElementKind &kind) {
  Ref error = g_VantroError.get();
  if (!error) return nullptr;
  Ref vnt = g_VNT.get();
  if (!vnt) return nullptr;
  Ref code = attr(vnt.get(), s_ERROR_NOT_IN_MODEL);
  return code ? raise_call(error.get(), code.get(), kind.not_in_model.get()) : nullptr;
}

Ref raise_wrong_kind(const ElementKind &kind, PyObject *source) {
  Ref text = format(source, g_module.empty_str);
  if (!text) return nullptr;
  Ref message = Ref::steal(PyUnicode_Concat(text.get(), kind.wrong_kind));
  return message ? raise_call(b_TypeError, message.get()) : nullptr;
}

[[gnu::always_inline]] inline Ref extract_cindex(const ElementKind &kind, PyObject *source,
                                                PyObject *model) {
  Ref element;
  int hit = isinstance_of(source, kind.element_class);
  if (hit < 0) return nullptr;
  if (hit) {
    element = Ref::borrow(source);
  } else if (kind.matrix_class) {
    hit = isinstance_of(source, *kind.matrix_class);
    if (hit < 0) return nullptr;
    if (hit && !(element = call_method(source, s_item))) return nullptr;
  }
  if (!element) return raise_wrong_kind(kind, source);

  Ref index = call_method(element.get(), s_cindex);
  if (!index) return nullptr;
  // ok: 1 in the model so far, 0 not in the model, -1 an error is pending.
  int ok = 1;
  if (kind.membership_first && model != Py_None) ok = owned_by(model, element.get());
  if (ok > 0) {
    int negative = compare_int(index.get(), 0, Py_LT);
    ok = negative < 0 ? -1 : !negative;
  }
  if (ok > 0 && !kind.membership_first && model != Py_None) ok = owned_by(model, element.get());
  if (ok > 0) return index;
  return ok == 0 ? raise_not_in_model(kind) : nullptr;
}

// extract_cindex for one member of the family: (source, model=None).
template <const ElementKind &Kind>
Ref extract(NativeFunction *, PyObject *const *args) {
  return extract_cindex(Kind, args[0], args[1]);
}

}  // namespace

const FuncSpec kSimpleexpr = declare<simpleexpr>("_simpleexpr", {"arg"});
const FuncSpec kExtractVarlike =
    declare<extract<kVar>>("_extract_varlike_cindex", {"source", "model=None"});
const FuncSpec kExtractConstrlike =
    declare<extract<kConstr>>("_extract_constrlike_cindex", {"source", "model=None"});
const FuncSpec kExtractQConstrlike =
    declare<extract<kQConstr>>("_extract_qconstrlike_cindex", {"source", "model=None"});
const FuncSpec kExtractGenConstrlike =
    declare<extract<kGenConstr>>("_extract_genconstrlike_cindex", {"source", "model=None"});
const FuncSpec kExtractSoslike =
    declare<extract<kSos>>("_extract_soslike_cindex", {"source", "model=None"});

}  // namespace vantropy::quarnel
