"""vantropy._quarnel as a module: what its import sets up, the shape of its
functions, argument errors and traceback entries, the assertion-only checks
under `python -O`, module-level names looked up at call time and built-ins
that are not."""
import builtins
import collections.abc
import dis
import functools
import inspect
import itertools
import operator
import re
import sys
import traceback

import pytest

import vantropy._core
import vantropy._matrixapi
import vantropy._quarnel as quarnel
import vantropy._util
import vantropy._vnt

from quarnel_support import rebound, run_python, unbound

FUNCTIONS = {
    "_simpleexpr": "(arg)",
    "_extract_varlike_cindex": "(source, model=None)",
    "_extract_constrlike_cindex": "(source, model=None)",
    "_extract_qconstrlike_cindex": "(source, model=None)",
    "_extract_genconstrlike_cindex": "(source, model=None)",
    "_extract_soslike_cindex": "(source, model=None)",
    "_convert_mle_to_predvar_predval": "(mle)",
    "_indexname": "(name, index)",
    "simplify_tuple": "(tup)",
    "_instruction_argvals": "(c)",
    "_genexpr_key": "(x)",
    "_nd_indexed_names": "(prefix, shape)",
    "_map_coldata_to_vars": "(coldata, v, dtype=None)",
}

IMPORTED = [
    ("dis", dis), ("functools", functools), ("itertools", itertools),
    ("operator", operator), ("re", re), ("sys", sys),
    ("Iterable", collections.abc.Iterable),
    *[(name, getattr(vantropy._core, name)) for name in
      ("Constr", "VantroError", "QConstr", "Var", "SOS", "GenConstr", "_isscalar", "tupledict")],
    ("VNT", vantropy._vnt.VNT),
    *[(name, getattr(vantropy._matrixapi, name)) for name in
      ("MConstr", "MLinExpr", "MQConstr", "MQuadExpr", "MVar", "MGenConstr")],
    ("_isstr", vantropy._util._isstr),
]


def test_namespace_holds_the_imports_then_the_functions_in_order():
    names = [k for k in vars(quarnel) if not (k.startswith("__") and k.endswith("__"))]
    expected_functions = list(FUNCTIONS)
    expected_functions.insert(expected_functions.index("_map_coldata_to_vars") + 1, "_listify")
    expected_functions.append("_wheres_bitvector")
    assert names == [name for name, _ in IMPORTED] + expected_functions
    assert list(vars(quarnel))[-1] == "__test__"
    assert quarnel.__test__ == {}


def test_docstring():
    assert quarnel.__doc__ == ("\nUtility functions that are *only* used by the Model class.\n"
                               "Free to depend on vantropy classes.\n")


def test_expression_types_are_held_but_not_bound():
    assert "LinExpr" not in vars(quarnel)
    assert "QuadExpr" not in vars(quarnel)


@pytest.mark.parametrize("name, source", IMPORTED)
def test_imported_names_are_the_library_and_package_objects(name, source):
    assert getattr(quarnel, name) is source


@pytest.mark.parametrize("name, signature", FUNCTIONS.items())
def test_function_shape(name, signature):
    fn = getattr(quarnel, name)
    assert str(inspect.signature(fn)) == signature
    assert fn.__name__ == fn.__qualname__ == name
    assert fn.__module__ == "vantropy._quarnel"
    assert fn.__doc__ is None
    assert fn.__defaults__ == ((None,) if "=None" in signature else None)


def test_listify_is_a_plain_class():
    cls = quarnel._listify
    assert type(cls) is type
    assert cls.__bases__ == (object,)
    assert cls.__module__ == "vantropy._quarnel"
    assert cls.__qualname__ == cls.__name__ == "_listify"
    assert cls.__doc__ is None
    own = [k for k in vars(cls) if not (k.startswith("__") and k.endswith("__"))]
    assert own == ["flatten", "listify"]
    assert vars(cls)["__init__"].__qualname__ == "_listify.__init__"
    assert cls.flatten.__qualname__ == "_listify.flatten"
    assert cls.listify.__qualname__ == "_listify.listify"
    assert str(inspect.signature(vars(cls)["__init__"])) == "(self, *args, **kwargs)"
    assert str(inspect.signature(cls.flatten)) == "(self, x)"
    assert str(inspect.signature(cls.listify)) == "(self, arg, default)"


@pytest.mark.parametrize("call, message", [
    (lambda: quarnel._simpleexpr(), "_simpleexpr() takes exactly 1 positional argument (0 given)"),
    (lambda: quarnel._indexname("x"), "_indexname() takes exactly 2 positional arguments (1 given)"),
    (lambda: quarnel._extract_varlike_cindex(),
     "_extract_varlike_cindex() takes at least 1 positional argument (0 given)"),
    (lambda: quarnel._extract_soslike_cindex(1, 2, 3),
     "_extract_soslike_cindex() takes at most 2 positional arguments (3 given)"),
    (lambda: quarnel._map_coldata_to_vars(1, 2, 3, 4),
     "_map_coldata_to_vars() takes at most 3 positional arguments (4 given)"),
    (lambda: quarnel._wheres_bitvector([1], wheres=[2]),
     "_wheres_bitvector() got multiple values for keyword argument 'wheres'"),
    (lambda: quarnel._genexpr_key(1, y=1), "_genexpr_key() got an unexpected keyword argument 'y'"),
    (lambda: quarnel._listify(3).flatten(), "flatten() takes exactly 2 positional arguments (1 given)"),
    (lambda: quarnel._listify(3).listify("k", default=0, other=1),
     "listify() got an unexpected keyword argument 'other'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_parameters_by_keyword():
    assert quarnel._indexname(index=(1, 2), name="x") == "x[1,2]"
    assert quarnel.simplify_tuple(tup=(7,)) == 7
    assert quarnel._nd_indexed_names(shape=(2,), prefix="v") == ["v[0]", "v[1]"]
    assert quarnel._wheres_bitvector(wheres=[1]) == 2
    assert quarnel._map_coldata_to_vars(v=[], coldata=None, dtype=int) == []


@pytest.mark.parametrize("call, entry", [
    (lambda: quarnel.simplify_tuple(5), "vantropy._quarnel.simplify_tuple"),
    (lambda: quarnel._simpleexpr("text"), "vantropy._quarnel._simpleexpr"),
    (lambda: quarnel._listify(), "vantropy._quarnel._listify.__init__"),
    (lambda: quarnel._listify(3).flatten(5), "vantropy._quarnel._listify.flatten"),
    (lambda: quarnel._genexpr_key(x for x in ())(), "vantropy._quarnel._genexpr_key.<locals>.<lambda>"),
    (lambda: next(quarnel._instruction_argvals(42)), "vantropy._quarnel._instruction_argvals"),
])
def test_a_failure_names_the_function_in_the_traceback(call, entry):
    with pytest.raises(Exception) as info:
        call()
    frames = [(f.name, f.filename) for f in traceback.extract_tb(info.value.__traceback__)]
    assert (entry, "src/vantropy/_quarnel") in frames


# ---- load-time behaviour, each in a fresh interpreter ----

# The stand-in _matrixapi needs numpy; with numpy blocked a small substitute
# stands in for it, so that only _quarnel's own use of numpy is in question.
_FAKE_MATRIXAPI = """
import sys, types
fake = types.ModuleType("vantropy._matrixapi")
for name in ("MConstr", "MLinExpr", "MQConstr", "MQuadExpr", "MVar", "MGenConstr"):
    setattr(fake, name, type(name, (), {}))
sys.modules["vantropy._matrixapi"] = fake
"""


def test_numpy_is_not_imported_at_load():
    result = run_python(_FAKE_MATRIXAPI + """
import vantropy._quarnel as q
print("numpy" in sys.modules)
print(q._nd_indexed_names("x", (2,)))
print("numpy" in sys.modules)
""")
    assert result.stdout.split("\n")[:3] == ["False", "['x[0]', 'x[1]']", "True"], result.stderr


def test_without_numpy_the_module_loads_and_only_the_numpy_functions_fail():
    result = run_python(_FAKE_MATRIXAPI + """
sys.modules["numpy"] = None
import vantropy._quarnel as q
print(q._indexname("x", (1, 2)), q._wheres_bitvector([0, 3]), q._listify(2).index)
for call in (lambda: q._nd_indexed_names("x", (2,)),
             lambda: q._convert_mle_to_predvar_predval(object())):
    try:
        call()
    except ModuleNotFoundError as e:
        print(type(e).__name__, e.name)
""")
    assert result.stdout.split("\n")[:3] == [
        "x[1,2] 9 [0, 1]", "ModuleNotFoundError numpy", "ModuleNotFoundError numpy"], result.stderr


_ASSERTION_CHECKS = """
import vantropy._quarnel as q

class Compact:
    @property
    def _is_compact(self):
        print("read _is_compact")
        return True
    def item(self):
        return q.QuadExpr_element

class Element:
    def size(self): return 1
    def _normalize(self): pass

q.QuadExpr_element = Element()
q.MQuadExpr = Compact
try:
    print(q._simpleexpr(Compact()) is q.QuadExpr_element)
except AssertionError as e:
    print("AssertionError", e.args)
q.VantroError = None
calls = []
q._isstr = lambda s: calls.append(s) or True
print(q._indexname("x", "ab"), calls)
"""


@pytest.mark.parametrize("flags, expected", [
    ((), ["read _is_compact", "AssertionError ()", "x[ab] ['ab']"]),
    (("-O",), ["True", "x[a,b] []"]),
])
def test_assertion_checks_follow_the_optimisation_flag(flags, expected):
    result = run_python(_ASSERTION_CHECKS, *flags)
    assert result.stdout.splitlines() == expected, result.stderr


_TYPE_IMPORT = """
import sys, warnings
import vantropy._core as core
{patch}
warnings.simplefilter("{action}")
try:
    import vantropy._quarnel
except Exception as e:
    print(type(e).__name__, e)
else:
    print("loaded")
"""


@pytest.mark.parametrize("patch, action, expected", [
    ("core.LinExpr = 3", "default",
     "TypeError vantropy._core.LinExpr is not a type object"),
    ("core.QuadExpr = type('QuadExpr', (), {'__slots__': ()})", "default",
     "ValueError vantropy._core.QuadExpr size changed, may indicate binary incompatibility. "
     "Expected 56 from C header, got 16 from PyObject"),
    ("core.LinExpr = type('LinExpr', (core.LinExpr,), {'__slots__': ('a', 'b')})", "error",
     "RuntimeWarning vantropy._core.LinExpr size changed, may indicate binary incompatibility. "
     "Expected 48 from C header, got 64 from PyObject"),
    ("core.LinExpr = type('LinExpr', (core.LinExpr,), {'__slots__': ('a', 'b')})", "ignore",
     "loaded"),
])
def test_expression_types_are_checked_at_import(patch, action, expected):
    result = run_python(_TYPE_IMPORT.format(patch=patch, action=action))
    assert result.stdout.strip() == expected, result.stderr


def test_a_failed_import_names_the_module_set_up():
    result = run_python("""
        import traceback
        import vantropy._core as core
        core.LinExpr = 3
        try:
            import vantropy._quarnel
        except TypeError as e:
            print([f.name for f in traceback.extract_tb(e.__traceback__)][-1])
    """)
    assert result.stdout.strip() == "init vantropy._quarnel", result.stderr


# ---- module-level names at call time, built-ins once ----

class Stub:
    def __init__(self, **attrs):
        self.__dict__.update(attrs)


@pytest.mark.parametrize("name, call", [
    ("_isscalar", lambda: quarnel._simpleexpr("text")),
    ("Var", lambda: quarnel._map_coldata_to_vars([], object())),
    ("MVar", lambda: quarnel._extract_varlike_cindex(object())),
    ("SOS", lambda: quarnel._extract_soslike_cindex(object())),
    ("itertools", lambda: quarnel._listify(1, 2)),
    ("Iterable", lambda: quarnel._listify(1, k=3).listify("k", 0)),
    ("functools", lambda: quarnel._wheres_bitvector([])),
    ("operator", lambda: quarnel._wheres_bitvector([])),
    ("dis", lambda: next(quarnel._instruction_argvals((lambda: 0).__code__))),
    ("simplify_tuple", lambda: quarnel._genexpr_key(a + b for a in [1] for b in [2])()),
    ("_instruction_argvals", lambda: quarnel._genexpr_key(a + b for a in [1] for b in [2])),
])
def test_a_missing_module_level_name_raises_name_error(name, call):
    with unbound(name):
        with pytest.raises(NameError) as info:
            call()
    assert str(info.value) == f"name '{name}' is not defined"


def _var_with_index(index):
    v = vantropy._core.Var()
    v._index = index
    return v


def test_a_module_level_name_falls_back_to_builtins():
    builtins.Var = vantropy._core.Var
    try:
        with unbound("Var"):
            result = quarnel._map_coldata_to_vars(["a", "b"], [_var_with_index(1)])
    finally:
        del builtins.Var
    assert result == ["b"]


def test_rebinding_takes_effect_after_the_cache_was_filled():
    v = _var_with_index(0)
    assert quarnel._map_coldata_to_vars(["a"], v) == "a"

    class Other:
        pass

    with rebound(Var=Other):
        # v is no Var any more: treated as a collection, which it is not
        with pytest.raises(TypeError):
            quarnel._map_coldata_to_vars(["a"], v)
    assert quarnel._map_coldata_to_vars(["a"], v) == "a"


_WITHOUT_WATCHER = """
import _testcapi, builtins
try:
    while True:
        _testcapi.add_dict_watcher(0)
except RuntimeError:
    pass
import vantropy._quarnel as q
from vantropy._core import Var
v = Var()
v._index = 0
print(q._map_coldata_to_vars(["a"], v))
q.Var = type("Other", (), {})
try:
    q._map_coldata_to_vars(["a"], v)
except TypeError:
    print("rebound")
del q.Var
try:
    q._map_coldata_to_vars(["a"], v)
except NameError as e:
    print(e)
builtins.Var = Var
print(q._map_coldata_to_vars(["a"], v))
"""


@pytest.mark.skipif(sys.version_info < (3, 12),
                    reason="3.11 keys the caches on the dict's version tag; no watcher is taken")
def test_names_are_looked_up_at_every_use_without_a_free_dict_watcher():
    pytest.importorskip("_testcapi")
    result = run_python(_WITHOUT_WATCHER)
    assert result.stdout.splitlines() == ["a", "rebound", "name 'Var' is not defined", "a"], \
        result.stderr


def _broken(*args, **kwargs):
    raise RuntimeError("looked up again")


def _with_builtin_replaced(name, call):
    """Runs `call` with `name` replaced both in builtins and in the module
    namespace; returns what it returned or raised."""
    saved = getattr(builtins, name)
    setattr(builtins, name, _broken)
    vars(quarnel)[name] = _broken
    try:
        try:
            return call()
        except BaseException as e:  # noqa: B902 - only the replaced name is broken
            return e
    finally:
        setattr(builtins, name, saved)
        del vars(quarnel)[name]


def _generic_bitvector():
    # A partial that is not the library's own makes the function use map.
    stub = Stub(reduce=functools.reduce, partial=lambda *a: functools.partial(*a))
    with rebound(functools=stub):
        return quarnel._wheres_bitvector([0, 2])


np = pytest.importorskip("numpy")


@pytest.mark.parametrize("name, call, expected", [
    ("range", lambda: quarnel._listify(3).index, [0, 1, 2]),
    ("range", lambda: quarnel._nd_indexed_names("x", (np.int64(1), np.int64(2))),
     ["x[0,0]", "x[0,1]"]),
    ("range", lambda: quarnel._nd_indexed_names("x", (np.int64(2), np.int64(2))),
     ["x[0,0]", "x[0,1]", "x[1,0]", "x[1,1]"]),
    ("map", _generic_bitvector, 5),
    ("max", lambda: quarnel._nd_indexed_names("x", (True, 2)), ["x[0,0]", "x[0,1]"]),
    ("zip", lambda: quarnel._map_coldata_to_vars("ab", {"k": _var_with_index(1)}), {"k": "b"}),
    ("AssertionError", lambda: quarnel._indexname("x", "ab"), "x[ab]"),
    ("TypeError", lambda: str(quarnel._extract_varlike_cindex(3)), "3 is not a variable"),
])
def test_builtins_are_not_looked_up_again(name, call, expected):
    result = _with_builtin_replaced(name, call)
    if isinstance(result, BaseException):
        assert type(result) is TypeError and name == "TypeError", result
        result = str(result)
    assert result == expected
