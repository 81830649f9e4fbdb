// What the topics of vantropy._quarnel share: the cached built-ins, the
// constants made at exec, the imported expression types, the real library
// callables that the fast paths recognise, and small helpers for the
// Python-level operations that several functions perform.
#pragma once

#include "runtime/function.hpp"
#include "runtime/generator.hpp"
#include "runtime/module.hpp"
#include "runtime/names.hpp"

namespace vantropy::quarnel {

// Looked up once at exec, in this order, and kept.
extern Builtin b_object;
extern Builtin b_AssertionError;
extern Builtin b_TypeError;
extern Builtin b_map;
extern Builtin b_max;
extern Builtin b_range;
extern Builtin b_zip;

// Objects made once at exec and shared by every call.
struct Constants {
  PyObject *tolerance = nullptr;      // 1e-06
  PyObject *zero = nullptr;
  PyObject *one = nullptr;
  PyObject *minus_one = nullptr;
  PyObject *convert_error_args = nullptr;  // (-1, "Unable to convert argument to an expression")
  PyObject *none_pair = nullptr;      // (None, None)
  PyObject *from_one = nullptr;       // slice(1, None, None)
  PyObject *none_default = nullptr;   // (None,)
  PyObject *listify_bases = nullptr;  // (object,)
  PyObject *otypes_kwnames = nullptr; // ("otypes",)
};
extern Constants g_const;

// `vantropy._core.LinExpr` and `QuadExpr`, size-checked at exec.
extern PyTypeObject *g_LinExpr;
extern PyTypeObject *g_QuadExpr;

// The library callables as they were at exec.  A fast path is taken only
// when the object found at call time is the very same one, so rebinding a
// module-level name (or patching a library module) always takes effect.
struct RealCallables {
  PyObject *dis_module = nullptr;
  PyObject *get_instructions = nullptr;  // dis.get_instructions
  PyObject *reduce = nullptr;            // functools.reduce
  PyObject *partial = nullptr;           // functools.partial
  PyObject *or_ = nullptr;               // operator.or_
  PyObject *lshift = nullptr;            // operator.lshift
  PyObject *chain = nullptr;             // itertools.chain
  PyObject *instruction_argvals = nullptr;  // this module's own function
  PyObject *simplify_tuple = nullptr;       // likewise
};
extern RealCallables g_real;

// The interpreter runs with assertions enabled (no -O).  Read at import:
// the optimisation level is fixed for the life of the process, as is
// `__debug__`.
inline bool assertions_enabled() noexcept { return module_state().assertions; }

// `raise cls(*args)`: calls the class and raises the instance it returns.
void raise_new(PyObject *cls, PyObject *args);
// `raise cls(arg)`.
void raise_new1(PyObject *cls, PyObject *arg);

// `obj == 0` (Python equality, then truth): 1, 0 or -1 on error.
int equals_zero(PyObject *obj);
// `obj < 0`.
int is_negative(PyObject *obj);
// `obj[0]`, with the direct route for lists and tuples.
PyObject *item_zero(PyObject *obj);
// `[item]`.
inline PyObject *list_of(PyObject *item) {
  PyObject *list = PyList_New(1);
  if (list) PyList_SET_ITEM(list, 0, newref(item));
  return list;
}
// `import numpy`: the loaded module from sys.modules, or a fresh import.
Ref import_numpy();

// One new str made of `parts` (str objects), with a single allocation.
PyObject *concat(PyObject *const *parts, Py_ssize_t count);
inline PyObject *concat(std::initializer_list<PyObject *> parts) {
  return concat(parts.begin(), static_cast<Py_ssize_t>(parts.size()));
}
// `head` + the ASCII text `mid` + `tail` as one new str.
PyObject *concat_ascii(PyObject *head, const char *mid, Py_ssize_t midlen, PyObject *tail);

// The functions, by topic.
extern const FuncSpec kSimpleexpr;
extern const FuncSpec kExtractVarlike;
extern const FuncSpec kExtractConstrlike;
extern const FuncSpec kExtractQConstrlike;
extern const FuncSpec kExtractGenConstrlike;
extern const FuncSpec kExtractSoslike;
extern const FuncSpec kConvertMle;
extern const FuncSpec kIndexname;
extern const FuncSpec kSimplifyTuple;
extern const FuncSpec kInstructionArgvals;
extern const FuncSpec kGenexprKey;
extern const FuncSpec kNdIndexedNames;
extern const FuncSpec kMapColdataToVars;
extern const FuncSpec kWheresBitvector;

// Creates the class `_listify` (a new reference).
PyObject *create_listify();

}  // namespace vantropy::quarnel
