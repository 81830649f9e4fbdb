// vantropy._quarnel: utility functions that only the package's Model class
// uses.  This file holds the module's table and what its topics share.
#include "common.hpp"

#include <utility>

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

Constant k_zero{[] { return new_int(0); }};
Constant k_one{[] { return new_int(1); }};

Global g_Var{"Var"};
Global g_MVar{"MVar"};
Global g_dis{"dis"};
Global g_functools{"functools"};
Global g_itertools{"itertools"};
Global g_operator{"operator"};

PyTypeObject *g_LinExpr = nullptr;
PyTypeObject *g_QuadExpr = nullptr;
RealCallables g_real;

namespace {

Str s_get_instructions{"get_instructions"};
Str s_reduce{"reduce"};
Str s_partial{"partial"};
Str s_or{"or_"};
Str s_lshift{"lshift"};
Str s_chain{"chain"};

// Keeps `value` in `slot` for the identity tests of the fast paths, in place
// of what a failed earlier import kept there.
void keep(PyObject *&slot, Ref value) {
  Ref earlier = Ref::steal(std::exchange(slot, value.release()));
}

// `module.<name>` kept likewise.  A library without it only loses the fast
// path, so a failure is not an import error.
void remember(PyObject *&slot, PyObject *module, PyObject *name) {
  Ref value = attr(module, name);
  if (!value) PyErr_Clear();
  keep(slot, std::move(value));
}

int remember_real_callables() {
  Ref dis = g_dis.get(), functools = g_functools.get(), itertools = g_itertools.get(),
      operator_ = g_operator.get();
  if (!dis || !functools || !itertools || !operator_) return -1;
  remember(g_real.get_instructions, dis.get(), s_get_instructions);
  remember(g_real.reduce, functools.get(), s_reduce);
  remember(g_real.partial, functools.get(), s_partial);
  remember(g_real.chain, itertools.get(), s_chain);
  remember(g_real.or_, operator_.get(), s_or);
  remember(g_real.lshift, operator_.get(), s_lshift);
  keep(g_real.dis_module, std::move(dis));
  return 0;
}

// The namespace, in order.
const Member kMembers[] = {
    imported_type("vantropy._core", "LinExpr", 48, g_LinExpr),
    imported_type("vantropy._core", "QuadExpr", 56, g_QuadExpr),
    imported("dis"),
    imported("functools"),
    imported("itertools"),
    imported("operator"),
    imported("re"),
    imported("sys"),
    step(remember_real_callables),
    from("collections.abc", {"Iterable"}),
    from("vantropy._core", {"Constr", "VantroError", "QConstr", "Var", "SOS", "GenConstr",
                            "_isscalar", "tupledict"}),
    from("vantropy._vnt", {"VNT"}),
    from("vantropy._matrixapi", {"MConstr", "MLinExpr", "MQConstr", "MQuadExpr", "MVar",
                                 "MGenConstr"}),
    from("vantropy._util", {"_isstr"}),
    function(kSimpleexpr),
    function(kExtractVarlike),
    function(kExtractConstrlike),
    function(kExtractQConstrlike),
    function(kExtractGenConstrlike),
    function(kExtractSoslike),
    function(kConvertMle),
    function(kIndexname),
    function(kSimplifyTuple, &g_real.simplify_tuple),
    function(kInstructionArgvals, &g_real.instruction_argvals),
    function(kGenexprKey),
    function(kNdIndexedNames),
    function(kMapColdataToVars),
    class_("_listify", make_listify),
    function(kWheresBitvector),
};

const ModuleInfo kInfo{"vantropy._quarnel", "_quarnel", "src/vantropy/_quarnel",
                       "\nUtility functions that are *only* used by the Model class.\n"
                       "Free to depend on vantropy classes.\n",
                       kMembers};

}  // namespace

}  // namespace vantropy::quarnel

extern "C" PyMODINIT_FUNC PyInit__quarnel() {
  return vantropy::module_init(vantropy::quarnel::kInfo);
}
