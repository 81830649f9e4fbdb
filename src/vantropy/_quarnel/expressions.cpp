// Expressions and model elements: `_simpleexpr` turns what the package
// accepts as one expression into a scalar expression object, and the
// `_extract_*_cindex` family checks a model element and hands back its
// solver index.
#include "common.hpp"

namespace vantropy::quarnel {
namespace {

Str s_isscalar{"_isscalar"};
Str s_Var{"Var"};
Str s_MVar{"MVar"};
Str s_MLinExpr{"MLinExpr"};
Str s_MQuadExpr{"MQuadExpr"};
Str s_Constr{"Constr"};
Str s_MConstr{"MConstr"};
Str s_QConstr{"QConstr"};
Str s_MQConstr{"MQConstr"};
Str s_GenConstr{"GenConstr"};
Str s_MGenConstr{"MGenConstr"};
Str s_SOS{"SOS"};
Str s_VantroError{"VantroError"};
Str s_VNT{"VNT"};
Str s_ERROR_NOT_IN_MODEL{"ERROR_NOT_IN_MODEL"};
Str s_item{"item"};
Str s_size{"size"};
Str s_getLinExpr{"getLinExpr"};
Str s_normalize{"_normalize"};
Str s_is_compact{"_is_compact"};
Str s_cindex{"__cindex__"};
Str s_owns{"_owns"};
Str s_not_variable{" is not a variable"};
Str s_not_constraint{" is not a constraint"};
Str s_not_qconstraint{" is not a quadratic constraint"};
Str s_not_genconstraint{" is not a general constraint"};
Str s_not_sos{" is not an SOS constraint"};
Str s_var_not_in_model{"Variable not in model"};
Str s_constr_not_in_model{"Constraint not in model"};
Str s_genconstr_not_in_model{"General constraint not in model"};
Str s_sos_not_in_model{"SOS not in model"};

PyObject *as_object(PyTypeObject *type) { return reinterpret_cast<PyObject *>(type); }

// `isinstance(obj, <module-level name>)`, the class looked up through `site`.
int isinstance_of(PyObject *obj, GlobalSite &site, PyObject *name) {
  Ref cls = global(site, name);
  if (!cls) return -1;
  return PyObject_IsInstance(obj, cls.get());
}

// Calls `_normalize()` on `expr` and hands `expr` back.
PyObject *normalized(Ref expr) {
  if (!expr) return nullptr;
  Ref done = Ref::steal(PyObject_CallMethodNoArgs(expr.get(), s_normalize));
  return done ? expr.release() : nullptr;
}

PyObject *new_linexpr(PyObject *arg) { return PyObject_CallOneArg(as_object(g_LinExpr), arg); }

// `expr.size() == 0`.
int has_no_terms(PyObject *expr) {
  Ref size = Ref::steal(PyObject_CallMethodNoArgs(expr, s_size));
  return size ? equals_zero(size.get()) : -1;
}

// A one-element matrix quadratic expression: its element itself, or the
// element's linear part when it has no quadratic terms, normalised.
PyObject *from_matrix_quadratic(PyObject *arg) {
  if (assertions_enabled()) {
    Ref compact = Ref::steal(PyObject_GetAttr(arg, s_is_compact));
    if (!compact) return nullptr;
    int truth = PyObject_IsTrue(compact.get());
    if (truth < 0) return nullptr;
    if (truth) {
      PyErr_SetNone(b_AssertionError);
      return nullptr;
    }
  }
  Ref element = Ref::steal(PyObject_CallMethodNoArgs(arg, s_item));
  if (!element) return nullptr;
  int linear = has_no_terms(element.get());
  if (linear < 0) return nullptr;
  if (linear) return normalized(Ref::steal(PyObject_CallMethodNoArgs(element.get(), s_getLinExpr)));
  return normalized(std::move(element));
}

// A quadratic expression: a copy, or a linear expression made from its
// linear part when it has no quadratic terms; never the argument itself.
PyObject *from_quadratic(PyObject *arg) {
  int linear = has_no_terms(arg);
  if (linear < 0) return nullptr;
  if (linear) {
    Ref part = Ref::steal(PyObject_CallMethodNoArgs(arg, s_getLinExpr));
    if (!part) return nullptr;
    return normalized(Ref::steal(new_linexpr(part.get())));
  }
  return normalized(Ref::steal(PyObject_CallOneArg(as_object(g_QuadExpr), arg)));
}

PyObject *simpleexpr(NativeFunction *, PyObject *const *args) {
  PyObject *arg = args[0];
  // Each test looks up its names only when it is reached.
  static GlobalSite site_isscalar, site_var, site_mvar, site_mlinexpr, site_mquadexpr, site_error;

  Ref isscalar = global(site_isscalar, s_isscalar);
  if (!isscalar) return nullptr;
  Ref scalar = Ref::steal(PyObject_CallOneArg(isscalar.get(), arg));
  if (!scalar) return nullptr;
  int hit = PyObject_IsTrue(scalar.get());
  if (hit < 0) return nullptr;
  if (!hit && (hit = isinstance_of(arg, site_var, s_Var)) < 0) return nullptr;
  if (!hit) hit = PyObject_TypeCheck(arg, g_LinExpr);
  if (hit) return normalized(Ref::steal(new_linexpr(arg)));

  hit = isinstance_of(arg, site_mvar, s_MVar);
  if (!hit) hit = isinstance_of(arg, site_mlinexpr, s_MLinExpr);
  if (hit < 0) return nullptr;
  if (hit) {
    // The element of a matrix is wrapped as it is, without normalising.
    Ref element = Ref::steal(PyObject_CallMethodNoArgs(arg, s_item));
    return element ? new_linexpr(element.get()) : nullptr;
  }

  hit = isinstance_of(arg, site_mquadexpr, s_MQuadExpr);
  if (hit < 0) return nullptr;
  if (hit) return from_matrix_quadratic(arg);
  if (PyObject_TypeCheck(arg, g_QuadExpr)) return from_quadratic(arg);

  Ref error = global(site_error, s_VantroError);
  if (error) raise_new(error.get(), g_const.convert_error_args);
  return nullptr;
}

// ---- solver index of one model element ----

// How one member of the family differs from the others.
struct ElementKind {
  Str &element_class;
  Str *matrix_class;  // null: no matrix object is accepted
  Str &wrong_kind;    // appended to the formatted argument
  Str &not_in_model;
  bool membership_first;  // variables ask the model before the sign
  // One cache per name this member reads.
  GlobalSite element_site{}, matrix_site{}, error_site{}, vnt_site{};
};

ElementKind g_var{s_Var, &s_MVar, s_not_variable, s_var_not_in_model, true};
ElementKind g_constr{s_Constr, &s_MConstr, s_not_constraint, s_constr_not_in_model, false};
ElementKind g_qconstr{s_QConstr, &s_MQConstr, s_not_qconstraint, s_constr_not_in_model, false};
ElementKind g_genconstr{s_GenConstr, &s_MGenConstr, s_not_genconstraint,
                        s_genconstr_not_in_model, false};
ElementKind g_sos{s_SOS, nullptr, s_not_sos, s_sos_not_in_model, false};

// `model._owns(element)`: 1, 0 or -1 on error.
int owned_by(PyObject *model, PyObject *element) {
  Ref owns = Ref::steal(PyObject_CallMethodOneArg(model, s_owns, element));
  return owns ? PyObject_IsTrue(owns.get()) : -1;
}

void raise_not_in_model(ElementKind &kind) {
  Ref error = global(kind.error_site, s_VantroError);
  if (!error) return;
  Ref vnt = global(kind.vnt_site, s_VNT);
  if (!vnt) return;
  Ref code = Ref::steal(PyObject_GetAttr(vnt.get(), s_ERROR_NOT_IN_MODEL));
  if (!code) return;
  Ref args = Ref::steal(PyTuple_Pack(2, code.get(), kind.not_in_model.get()));
  if (args) raise_new(error.get(), args.get());
}

void raise_wrong_kind(ElementKind &kind, PyObject *source) {
  Ref text = Ref::steal(PyObject_Format(source, module_state().empty_str));
  if (!text) return;
  Ref message = Ref::steal(PyUnicode_Concat(text.get(), kind.wrong_kind));
  if (message) raise_new1(b_TypeError, message.get());
}

PyObject *extract_cindex(ElementKind &kind, PyObject *source, PyObject *model) {
  Ref element;
  int hit = isinstance_of(source, kind.element_site, kind.element_class);
  if (hit < 0) return nullptr;
  if (hit) {
    element = Ref::borrow(source);
  } else if (kind.matrix_class) {
    hit = isinstance_of(source, kind.matrix_site, *kind.matrix_class);
    if (hit < 0) return nullptr;
    if (hit && !(element = Ref::steal(PyObject_CallMethodNoArgs(source, s_item)))) return nullptr;
  }
  if (!element) {
    raise_wrong_kind(kind, source);
    return nullptr;
  }

  Ref index = Ref::steal(PyObject_CallMethodNoArgs(element.get(), s_cindex));
  if (!index) return nullptr;
  // ok: 1 in the model so far, 0 not in the model, -1 an error is pending.
  int ok = 1;
  if (kind.membership_first && model != Py_None) ok = owned_by(model, element.get());
  if (ok > 0) {
    int negative = is_negative(index.get());
    ok = negative < 0 ? -1 : !negative;
  }
  if (ok > 0 && !kind.membership_first && model != Py_None) ok = owned_by(model, element.get());
  if (ok > 0) return index.release();
  if (ok == 0) raise_not_in_model(kind);
  return nullptr;
}

PyObject *extract_varlike(NativeFunction *, PyObject *const *args) {
  return extract_cindex(g_var, args[0], args[1]);
}
PyObject *extract_constrlike(NativeFunction *, PyObject *const *args) {
  return extract_cindex(g_constr, args[0], args[1]);
}
PyObject *extract_qconstrlike(NativeFunction *, PyObject *const *args) {
  return extract_cindex(g_qconstr, args[0], args[1]);
}
PyObject *extract_genconstrlike(NativeFunction *, PyObject *const *args) {
  return extract_cindex(g_genconstr, args[0], args[1]);
}
PyObject *extract_soslike(NativeFunction *, PyObject *const *args) {
  return extract_cindex(g_sos, args[0], args[1]);
}

}  // namespace

const FuncSpec kSimpleexpr{"_simpleexpr", nullptr, {"arg"}, simpleexpr};
const FuncSpec kExtractVarlike{"_extract_varlike_cindex", nullptr, {"source", "model"},
                               extract_varlike};
const FuncSpec kExtractConstrlike{"_extract_constrlike_cindex", nullptr, {"source", "model"},
                                  extract_constrlike};
const FuncSpec kExtractQConstrlike{"_extract_qconstrlike_cindex", nullptr, {"source", "model"},
                                   extract_qconstrlike};
const FuncSpec kExtractGenConstrlike{"_extract_genconstrlike_cindex", nullptr, {"source", "model"},
                                     extract_genconstrlike};
const FuncSpec kExtractSoslike{"_extract_soslike_cindex", nullptr, {"source", "model"},
                               extract_soslike};

}  // namespace vantropy::quarnel
