// What the topics of vantropy._quarnel share: the cached built-ins, the
// constants and module-level names more than one topic uses, the imported
// expression types and the real library callables that the fast paths
// recognise.
#pragma once

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

extern Constant k_zero;  // 0
extern Constant k_one;   // 1

// Module-level names read by more than one topic (the modules also by the
// exec step that remembers their real callables).
extern Global g_Var;
extern Global g_MVar;
extern Global g_dis;
extern Global g_functools;
extern Global g_itertools;
extern Global g_operator;

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

// `isinstance(obj, <module-level name>)`: 1, 0, or -1 with an exception set.
inline int isinstance_of(PyObject *obj, const Global &cls) {
  Ref value = cls.get();
  return value ? isinstance(obj, value.get()) : -1;
}

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

// class _listify
Ref make_listify();

}  // namespace vantropy::quarnel
