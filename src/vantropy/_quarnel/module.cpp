// vantropy._quarnel: utility functions that only the package's Model class
// uses.  This file holds the module's set-up and the helpers its topics share.
#include "common.hpp"

#include <algorithm>
#include <cstring>

namespace vantropy::quarnel {

// Declared here, all in one translation unit, because they are looked up in
// declaration order and the first missing one is the one reported.
Builtin b_object{"object"};
Builtin b_AssertionError{"AssertionError"};
Builtin b_TypeError{"TypeError"};
Builtin b_map{"map"};
Builtin b_max{"max"};
Builtin b_range{"range"};
Builtin b_zip{"zip"};

Constants g_const;
PyTypeObject *g_LinExpr = nullptr;
PyTypeObject *g_QuadExpr = nullptr;
RealCallables g_real;

namespace {

const ModuleInfo kInfo{"vantropy._quarnel", "_quarnel", "src/vantropy/_quarnel",
                       "\nUtility functions that are *only* used by the Model class.\n"
                       "Free to depend on vantropy classes.\n"};

Str s_convert_error{"Unable to convert argument to an expression"};
Str s_otypes{"otypes"};
Str s_numpy{"numpy"};
Str s_get_instructions{"get_instructions"};
Str s_reduce{"reduce"};
Str s_partial{"partial"};
Str s_or{"or_"};
Str s_lshift{"lshift"};
Str s_chain{"chain"};

int make_constants() {
  Constants &k = g_const;
  k.tolerance = PyFloat_FromDouble(1e-06);
  k.zero = PyLong_FromLong(0);
  k.one = PyLong_FromLong(1);
  k.minus_one = PyLong_FromLong(-1);
  if (!k.tolerance || !k.zero || !k.one || !k.minus_one) return -1;
  k.convert_error_args = PyTuple_Pack(2, k.minus_one, s_convert_error.get());
  k.none_pair = PyTuple_Pack(2, Py_None, Py_None);
  k.from_one = PySlice_New(k.one, nullptr, nullptr);
  k.none_default = PyTuple_Pack(1, Py_None);
  k.otypes_kwnames = PyTuple_Pack(1, s_otypes.get());
  return k.convert_error_args && k.none_pair && k.from_one && k.none_default && k.otypes_kwnames
             ? 0
             : -1;
}

// Keeps `module.<name>` for identity tests by the fast paths.  A library
// without it only loses the fast path, so a failure is not an import error.
void remember(PyObject *module, PyObject *name, PyObject *&slot) {
  slot = PyObject_GetAttr(module, name);
  if (!slot) PyErr_Clear();
}

int import_standard_modules() {
  for (const char *name : {"dis", "functools", "itertools", "operator", "re", "sys"}) {
    Ref module = import_module(name);
    if (!module || bind(name, module.get()) < 0) return -1;
    if (std::strcmp(name, "dis") == 0) {
      g_real.dis_module = newref(module.get());
      remember(module.get(), s_get_instructions, g_real.get_instructions);
    } else if (std::strcmp(name, "functools") == 0) {
      remember(module.get(), s_reduce, g_real.reduce);
      remember(module.get(), s_partial, g_real.partial);
    } else if (std::strcmp(name, "itertools") == 0) {
      remember(module.get(), s_chain, g_real.chain);
    } else if (std::strcmp(name, "operator") == 0) {
      remember(module.get(), s_or, g_real.or_);
      remember(module.get(), s_lshift, g_real.lshift);
    }
  }
  return 0;
}

int bind_function(const char *name, const FuncSpec &spec, PyObject *defaults = nullptr,
                  PyObject **keep = nullptr) {
  Ref fn = Ref::steal(make_function(spec, defaults));
  if (!fn || bind(name, fn.get()) < 0) return -1;
  if (keep) *keep = newref(fn.get());
  return 0;
}

int exec(PyObject *module) {
  int begun = exec_begin(module, make_constants);
  if (begun != 0) return begun > 0 ? 0 : -1;
  g_const.listify_bases = PyTuple_Pack(1, b_object.get());
  if (!g_const.listify_bases) return exec_failed();

  Ref core = import_module("vantropy._core");
  if (!core) return exec_failed();
  g_LinExpr = import_type(core.get(), "vantropy._core", "LinExpr", 48);
  if (!g_LinExpr) return exec_failed();
  g_QuadExpr = import_type(core.get(), "vantropy._core", "QuadExpr", 56);
  if (!g_QuadExpr) return exec_failed();
  core.reset();

  if (import_standard_modules() < 0 || import_names("collections.abc", {"Iterable"}) < 0 ||
      import_names("vantropy._core", {"Constr", "VantroError", "QConstr", "Var", "SOS",
                                      "GenConstr", "_isscalar", "tupledict"}) < 0 ||
      import_names("vantropy._vnt", {"VNT"}) < 0 ||
      import_names("vantropy._matrixapi",
                   {"MConstr", "MLinExpr", "MQConstr", "MQuadExpr", "MVar", "MGenConstr"}) < 0 ||
      import_names("vantropy._util", {"_isstr"}) < 0)
    return exec_failed();

  PyObject *none = g_const.none_default;
  if (bind_function("_simpleexpr", kSimpleexpr) < 0 ||
      bind_function("_extract_varlike_cindex", kExtractVarlike, none) < 0 ||
      bind_function("_extract_constrlike_cindex", kExtractConstrlike, none) < 0 ||
      bind_function("_extract_qconstrlike_cindex", kExtractQConstrlike, none) < 0 ||
      bind_function("_extract_genconstrlike_cindex", kExtractGenConstrlike, none) < 0 ||
      bind_function("_extract_soslike_cindex", kExtractSoslike, none) < 0 ||
      bind_function("_convert_mle_to_predvar_predval", kConvertMle) < 0 ||
      bind_function("_indexname", kIndexname) < 0 ||
      bind_function("simplify_tuple", kSimplifyTuple, nullptr, &g_real.simplify_tuple) < 0 ||
      bind_function("_instruction_argvals", kInstructionArgvals, nullptr,
                    &g_real.instruction_argvals) < 0 ||
      bind_function("_genexpr_key", kGenexprKey) < 0 ||
      bind_function("_nd_indexed_names", kNdIndexedNames) < 0 ||
      bind_function("_map_coldata_to_vars", kMapColdataToVars, none) < 0)
    return exec_failed();
  Ref listify = Ref::steal(create_listify());
  if (!listify || bind("_listify", listify.get()) < 0) return exec_failed();
  if (bind_function("_wheres_bitvector", kWheresBitvector) < 0) return exec_failed();

  return exec_finish();
}

}  // namespace

// ---- shared helpers ----

void raise_new(PyObject *cls, PyObject *args) {
  Ref instance = Ref::steal(PyObject_Call(cls, args, nullptr));
  if (!instance) return;
  if (PyExceptionInstance_Check(instance.get()))
    PyErr_SetObject(PyExceptionInstance_Class(instance.get()), instance.get());
  else
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
}

void raise_new1(PyObject *cls, PyObject *arg) {
  Ref args = Ref::steal(PyTuple_Pack(1, arg));
  if (args) raise_new(cls, args.get());
}

int equals_zero(PyObject *obj) {
  if (PyLong_CheckExact(obj)) {
    int overflow;
    long value = PyLong_AsLongAndOverflow(obj, &overflow);
    if (value == -1 && PyErr_Occurred()) return -1;
    return overflow == 0 && value == 0;
  }
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj) == 0.0;
  Ref result = Ref::steal(PyObject_RichCompare(obj, g_const.zero, Py_EQ));
  return result ? PyObject_IsTrue(result.get()) : -1;
}

int is_negative(PyObject *obj) {
  if (PyLong_CheckExact(obj)) {
    int overflow;
    long value = PyLong_AsLongAndOverflow(obj, &overflow);
    if (value == -1 && PyErr_Occurred()) return -1;
    return overflow < 0 || (overflow == 0 && value < 0);
  }
  Ref result = Ref::steal(PyObject_RichCompare(obj, g_const.zero, Py_LT));
  return result ? PyObject_IsTrue(result.get()) : -1;
}

PyObject *item_zero(PyObject *obj) {
  if (PyTuple_CheckExact(obj) && PyTuple_GET_SIZE(obj) > 0) return newref(PyTuple_GET_ITEM(obj, 0));
  if (PyList_CheckExact(obj) && PyList_GET_SIZE(obj) > 0) return newref(PyList_GET_ITEM(obj, 0));
  return PyObject_GetItem(obj, g_const.zero);
}

Ref import_numpy() {
  return Ref::steal(
      PyImport_ImportModuleLevelObject(s_numpy, module_state().dict, nullptr, nullptr, 0));
}

PyObject *concat(PyObject *const *parts, Py_ssize_t count) {
  Py_ssize_t length = 0;
  Py_UCS4 maxchar = 127;
  for (Py_ssize_t i = 0; i < count; ++i) {
    length += PyUnicode_GET_LENGTH(parts[i]);
    maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(parts[i]));
  }
  PyObject *result = PyUnicode_New(length, maxchar);
  if (!result) return nullptr;
  Py_ssize_t at = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(parts[i]);
    if (n && PyUnicode_CopyCharacters(result, at, parts[i], 0, n) < 0) {
      Py_DECREF(result);
      return nullptr;
    }
    at += n;
  }
  return result;
}

PyObject *concat_ascii(PyObject *head, const char *mid, Py_ssize_t midlen, PyObject *tail) {
  Py_ssize_t headlen = PyUnicode_GET_LENGTH(head);
  Py_ssize_t taillen = PyUnicode_GET_LENGTH(tail);
  Py_UCS4 maxchar = std::max(PyUnicode_MAX_CHAR_VALUE(head), PyUnicode_MAX_CHAR_VALUE(tail));
  PyObject *result = PyUnicode_New(headlen + midlen + taillen, maxchar);
  if (!result) return nullptr;
  int kind = PyUnicode_KIND(result);
  void *data = PyUnicode_DATA(result);
  if (kind == PyUnicode_KIND(head)) {
    std::memcpy(data, PyUnicode_DATA(head), static_cast<std::size_t>(headlen * kind));
  } else if (headlen) {
    PyUnicode_CopyCharacters(result, 0, head, 0, headlen);
  }
  if (kind == PyUnicode_1BYTE_KIND) {
    std::memcpy(static_cast<char *>(data) + headlen, mid, static_cast<std::size_t>(midlen));
  } else {
    for (Py_ssize_t i = 0; i < midlen; ++i)
      PyUnicode_WRITE(kind, data, headlen + i, static_cast<Py_UCS4>(mid[i]));
  }
  Py_ssize_t at = headlen + midlen;
  if (kind == PyUnicode_KIND(tail)) {
    std::memcpy(static_cast<char *>(data) + at * kind, PyUnicode_DATA(tail),
                static_cast<std::size_t>(taillen * kind));
  } else if (taillen) {
    PyUnicode_CopyCharacters(result, at, tail, 0, taillen);
  }
  return result;
}

}  // namespace vantropy::quarnel

extern "C" PyMODINIT_FUNC PyInit__quarnel() {
  return vantropy::module_init(vantropy::quarnel::kInfo, vantropy::quarnel::exec);
}
