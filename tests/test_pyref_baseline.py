"""The plain-Python baseline of the benchmarks against the native functions:
the same inputs must give the same results and the same exceptions, so the
timings compare like with like."""

import numpy as np
import pytest

import vantropy._brevix as brevix
import vantropy._quarnel as quarnel
from vantropy import _standin
from vantropy._core import LinExpr, Model, QuadExpr, tupledict
from vantropy._matrixapi import MLinExpr, MQuadExpr, MVar

from pyref import attrs, model as pymodel

from brevix_support import Element  # noqa: E402


def outcome(fn, *args, **kwargs):
    """('ok', result) or ('raised', type, message)."""
    try:
        return ("ok", fn(*args, **kwargs))
    except Exception as exc:  # noqa: BLE001 - every failure is compared
        return ("raised", type(exc), str(exc))


def same(native, baseline, *args, messages=True, **kwargs):
    got, want = outcome(native, *args, **kwargs), outcome(baseline, *args, **kwargs)
    if not messages and got[0] == want[0] == "raised":
        got, want = got[:2], want[:2]
    assert got == want
    return got


@pytest.fixture
def m():
    model = Model("plan")
    model.addVar(lb=1.0, ub=5.0, cost=2.0, kind="I", name="x")
    model.addVar(lb=-1e30, ub=1e31, kind="B", name="y")
    model.addVar(lb=-2.5, ub=1e30, name="")
    model.addConstr(rhs=3.0, sense=">", name="c0")
    model.addQConstr(name="q0")
    yield model
    model.dispose()


# ---- single attribute values --------------------------------------------------

MODEL_ATTRS = ["ModelName", "NumVars", "NumConstrs", "Direction", "ObjOffset", "ObjValue",
               "TimeLimit", "LB", "NoSuchThing"]
VAR_ATTRS = ["LB", "UB", "Cost", "Kind", "VarName", "Value", "Priority", "RHS", "ModelName",
             "NoSuchThing"]


@pytest.mark.parametrize("name", MODEL_ATTRS)
def test_getattr_model(m, name):
    same(brevix._getattr, attrs._getattr, m, name, True)


@pytest.mark.parametrize("index", [0, 1, 2])
@pytest.mark.parametrize("name", VAR_ATTRS)
def test_getattr_var(m, name, index):
    same(brevix._getattr, attrs._getattr, m.getVars()[index], name)


@pytest.mark.parametrize("index", [-1, -2, 7, 2**31])
def test_getattr_element_states(m, index):
    same(brevix._getattr, attrs._getattr, Element(m, index), "LB")


@pytest.mark.parametrize("name", ["RHS", "Sense", "ConstrName", "Dual", "LB"])
def test_getattr_constr(m, name):
    same(brevix._getattr, attrs._getattr, Element(m, 0, 2, "Constr"), name)


@pytest.mark.parametrize("name", ["ModelName", "LB"])
def test_getattr_busy_and_failing(m, name):
    is_model = name == "ModelName"
    obj = m if is_model else Element(m, 0)
    _standin.set_busy(m, True)
    try:
        same(brevix._getattr, attrs._getattr, obj, name, is_model)
    finally:
        _standin.set_busy(m, False)
    results = []
    for fn in (brevix._getattr, attrs._getattr):
        _standin.fail_next(m, 7005, "no data")
        results.append(outcome(fn, obj, name, is_model)[:2])
    assert results[0] == results[1]


def test_getattr_null_string(m):
    _standin.set_null_string(m, "VarName", 0)
    same(brevix._getattr, attrs._getattr, Element(m, 0), "VarName")


SET_CASES = [
    ("ModelName", "other", True), ("ModelName", 3, True), ("Direction", -1, True),
    ("Direction", 2.0, True), ("Direction", 2**40, True), ("ObjOffset", float("inf"), True),
    ("ObjOffset", "x", True), ("TimeLimit", -float("inf"), True), ("NumVars", 3, True),
    ("LB", float("-inf"), False), ("UB", np.float64("inf"), False), ("UB", 7, False),
    ("UB", "7", False), ("Kind", "B", False), ("Kind", "BI", False), ("Kind", "", False),
    ("Kind", "\u0101", False), ("Kind", 1, False), ("Priority", True, False),
    ("Priority", 2.0, False), ("Priority", -2**33, False), ("VarName", "name", False),
    ("VarName", b"name", False), ("Value", 1.0, False), ("RHS", 1.0, False),
]


@pytest.mark.parametrize("name,value,is_model", SET_CASES)
def test_setattr(m, name, value, is_model):
    obj = m if is_model else Element(m, 1)
    first = same(brevix._setattr, attrs._setattr, obj, name, value, is_model)
    if first[0] == "ok":
        assert outcome(brevix._getattr, obj, name, is_model) == \
            outcome(attrs._getattr, obj, name, is_model)


@pytest.mark.parametrize("index", [-1, -3])
def test_setattr_element_states(m, index):
    same(brevix._setattr, attrs._setattr, Element(m, index), "LB", 1.0)


# ---- typed lists ------------------------------------------------------------------

LIST_CASES = [
    ("LB", 2, [0, 1, 2]), ("UB", 2, (2, 1, 0, 1)), ("Kind", 0, [0, 1, 2]),
    ("VarName", 3, [0, 1, 2]), ("Priority", 1, [2, 0]), ("LB", 2, []),
    ("LB", 2, [0.9, 1.7]), ("LB", 2, [0, 5]), ("LB", 2, ["0"]), ("LB", 2, [2**31]),
    ("LB", 2, range(3)), ("LB", 2, np.arange(3)), ("LB", 7, [0]), ("LB", 1, [0]),
    ("NoSuchThing", 2, [0]), ("RHS", 2, [0]), ("Sense", 0, [0]),
]


@pytest.mark.parametrize("name,attrtype,indices", LIST_CASES)
def test_gettypedattrlist(m, name, attrtype, indices):
    # array.array words its overflow differently; the type is what matters.
    same(brevix._gettypedattrlist, attrs._gettypedattrlist, m, name, attrtype, indices,
         messages=2**31 not in list(indices))


def test_gettypedattrlist_null_string(m):
    _standin.set_null_string(m, "VarName", 1)
    same(brevix._gettypedattrlist, attrs._gettypedattrlist, m, "VarName", 3, [0, 1, 2])


def test_gettypedattrlist_doubles_at_the_bounds(m):
    brevix._settypedattrlist(m, "LB", 2, [0, 1, 2], [1e31, -1e30, 5e29])
    brevix._settypedattrlist(m, "UB", 2, [0, 1, 2], [2e30, 1e30, -3e30])
    for name in ("LB", "UB"):
        same(brevix._gettypedattrlist, attrs._gettypedattrlist, m, name, 2, [0, 1, 2])


SETLIST_CASES = [
    ("LB", 2, [0, 1, 2], [float("inf"), -float("inf"), 1.5]),
    ("UB", 2, [0, 2], (np.float64(3), 4)),
    ("UB", 2, [0], ["x"]),
    ("UB", 2, [0, 1], [1.0]),
    ("Kind", 0, [0, 1, 2], ["B", b"I", bytearray(b"C")]),
    ("Kind", 0, [0], ["BI"]),
    ("Kind", 0, [0], [b"BI"]),
    ("Kind", 0, [0], [66]),
    ("Kind", 0, [0], ["\u0101"]),
    ("Priority", 1, [0, 1], [2.7, -3]),
    ("Priority", 1, [0], [2**31]),
    ("Priority", 1, [0], ["1"]),
    ("VarName", 3, [0, 1, 2], ["a", "bb", ""]),
    ("VarName", 3, [0, 1], ("a",)),
    ("VarName", 3, [0, 1], iter(["a", "b", "c"])),
    ("Value", 2, [0], [1.0]),
    ("LB", 2, [9], [1.0]),
    ("LB", 5, [0], [1.0]),
]


@pytest.mark.parametrize("name,attrtype,indices,values", SETLIST_CASES)
def test_settypedattrlist(m, name, attrtype, indices, values):
    if not isinstance(values, (list, tuple)):
        values = list(values)
    first = same(brevix._settypedattrlist, attrs._settypedattrlist, m, name, attrtype,
                 indices, values, messages=2**31 not in list(values))
    if first[0] == "ok":
        assert brevix._gettypedattrlist(m, name, attrtype, indices) == \
            attrs._gettypedattrlist(m, name, attrtype, indices)


def test_list_failures_carry_the_same_errno(m):
    got = []
    for fn in (brevix._gettypedattrlist, attrs._gettypedattrlist):
        _standin.fail_next(m, 7006, "Index 7 out of range for attribute 'LB'")
        try:
            fn(m, "LB", 2, [0])
        except Exception as exc:  # noqa: BLE001
            got.append((type(exc), exc.errno, str(exc)))
    assert len(got) == 2 and got[0] == got[1]


# ---- model utilities --------------------------------------------------------------

def expr_state(e):
    """What an expression holds, for comparing two that are not the same object."""
    if isinstance(e, QuadExpr):
        return (type(e), e.size(), expr_state(e.getLinExpr()))
    if isinstance(e, LinExpr):
        return (type(e), e.size(), [e.getVar(i) for i in range(e.size())],
                [e.getCoeff(i) for i in range(e.size())], e.getConstant())
    return e


@pytest.fixture
def xy(m):
    x, y = m.addVar(name="a"), m.addVar(name="b")
    return x, y


SIMPLE_CASES = {
    "int": lambda x, y: 3,
    "float": lambda x, y: 2.5,
    "var": lambda x, y: x,
    "linexpr": lambda x, y: 2 * x + y + 3,
    "quad-lin": lambda x, y: QuadExpr(2 * x + 1),
    "mvar": lambda x, y: MVar.fromlist([x]),
    "mlinexpr": lambda x, y: MLinExpr(np.array([x + y], dtype=object)),
    "mquad": lambda x, y: MQuadExpr(np.array([QuadExpr(x + y)], dtype=object)),
    "str": lambda x, y: "x",
    "none": lambda x, y: None,
    "list": lambda x, y: [x],
    "mvar2": lambda x, y: MVar.fromlist([x, y]),
}


@pytest.mark.parametrize("case", list(SIMPLE_CASES))
def test_simpleexpr(xy, case):
    arg = SIMPLE_CASES[case](*xy)
    got = outcome(quarnel._simpleexpr, arg)
    want = outcome(pymodel._simpleexpr, arg)
    if got[0] == "ok":
        assert want[0] == "ok" and expr_state(got[1]) == expr_state(want[1])
    else:
        assert got == want


def test_simpleexpr_quadratic_terms(xy):
    x, y = xy
    try:
        q = x * y
    except TypeError:
        pytest.skip("the stand-in expressions have no product of variables")
    got, want = quarnel._simpleexpr(q), pymodel._simpleexpr(q)
    assert type(got) is type(want) and got is not q and want is not q


@pytest.mark.parametrize("which,model_arg", [(0, False), (0, True), (1, True), ("new", False),
                                             ("new", True), ("removed", True), ("mvar", True),
                                             ("constr", False), ("str", False),
                                             ("other", True)])
def test_extract_varlike_cindex(m, which, model_arg):
    from vantropy._core import Constr, Var
    other = Model("other")
    try:
        if which == "new":
            source = Var()
        elif which == "removed":
            source = m.addVar()
            m.remove(source)
        elif which == "mvar":
            source = MVar.fromlist([m.addVar()])
        elif which == "constr":
            source = m.addConstr()
        elif which == "str":
            source = "abc"
        elif which == "other":
            source = other.addVar()
        else:
            source = m.addVar() if which == 0 else m.addVar()
        args = (source, m) if model_arg else (source,)
        same(quarnel._extract_varlike_cindex, pymodel._extract_varlike_cindex, *args)
    finally:
        other.dispose()


class Shown(int):
    """An int whose text is its own."""

    def __str__(self):
        return f"<{int(self)}>"


INDEXNAME_CASES = [("x", (1, 2)), ("x", 5), ("x", [1, "a"]), ("x", "ab"), (None, (1,)),
                   ("", (1,)), ("x", ()), ("x", (1.5, None)), ("x", {3: 4}), (7, (1,)),
                   ("x", range(3)), ("x", (-5, 0, 2**63, -2**63 - 1, 10**30)), ("x", (True, 1)),
                   ("\u00e9t\u00e9", (1, 2)), ("\u4e00", (3,)), ("x", (Shown(4), 5)),
                   (Shown(7), (1, 2)), ("x", ((1, 2), 3))]


@pytest.mark.parametrize("name,index", INDEXNAME_CASES)
def test_indexname(name, index):
    same(quarnel._indexname, pymodel._indexname, name, index)


@pytest.mark.parametrize("index", [(1, 2), ()])
def test_indexname_asks_isstr_about_int_tuples(index):
    from quarnel_support import rebound

    asked = []
    with rebound(_isstr=lambda i: asked.append(i) or True):
        got = quarnel._indexname("x", index)
    assert asked == [index] and got == "x[" + str(index) + "]"


SHAPES = [(), (3,), (1, 3), (3, 1), (1, 1, 1), (2, 2), (0,), (2, 0), [], (2, 3, 4), [4],
          (np.int64(3),), (1, 1000), (2.5,), ("a",)]


@pytest.mark.parametrize("shape", SHAPES, ids=repr)
@pytest.mark.parametrize("prefix", ["x", "", 5])
def test_nd_indexed_names(prefix, shape):
    same(quarnel._nd_indexed_names, pymodel._nd_indexed_names, prefix, shape)


@pytest.mark.parametrize("kind", ["var", "mvar", "list", "tuple", "empty", "dict", "tupledict",
                                  "emptydict", "mvars", "int"])
def test_map_coldata_to_vars(m, kind):
    vs = [m.addVar() for _ in range(4)]
    coldata = np.arange(100.0, 100.0 + len(m.getVars()))
    v = {"var": vs[1], "mvar": MVar.fromlist(vs[:2]), "list": vs, "tuple": tuple(vs[::-1]),
         "empty": [], "dict": {"a": vs[0], "b": vs[2]},
         "tupledict": tupledict([((1, 2), vs[3])]), "emptydict": {},
         "mvars": [MVar.fromlist(vs[:1]), MVar.fromlist(vs[1:])], "int": 3}[kind]
    got = outcome(quarnel._map_coldata_to_vars, coldata, v, None)
    want = outcome(pymodel._map_coldata_to_vars, coldata, v, None)
    norm = (lambda r: (r[0], type(r[1]), repr(r[1]))) if got[0] == "ok" else (lambda r: r)
    assert norm(got) == norm(want)


LISTIFY_ARGS = [((3,), {}), ((["a", "b"], 2), {}), (([(1, "a"), (2, "b")], 3), {}),
                ((0,), {}), ((2, []), {}), ((True,), {}), ((), {}), ((2.0, 3), {}),
                ((3,), {"k": {1: 5.0}}), ((3,), {"k": "x"}), ((3,), {"k": None}),
                ((3,), {"k": (4, 5)}), ((2, 2), {"k": [[1, 2], [3, 4]]}),
                ((2,), {"k": [[[1], [2]], [[3]]]}), ((2,), {"k": [1, [2, 3]]}),
                ((2,), {"k": ["ab", "c"]}), ((2,), {"k": range(2)})]


@pytest.mark.parametrize("args,kwargs", LISTIFY_ARGS)
def test_listify(args, kwargs):
    def run(cls):
        obj = cls(*args, **kwargs)
        return (obj.index, obj.kwargs == kwargs, obj.len, obj.listify("k", 0.0),
                obj.listify("missing", None))
    assert outcome(run, quarnel._listify) == outcome(run, pymodel._listify)


FLATTEN_CASES = [[[1, 2], [3]], [[[1], [2]], [[3]]], [1, [2, 3]], [["a", "b"], ["c"]],
                 ["ab", "c"], [], [[], []], ("a",), ((1, 2),), [range(3), (4,)], 5,
                 [[1, 2], 3], [[[1, 2], [3]], [[4]]]]


@pytest.mark.parametrize("x", FLATTEN_CASES, ids=repr)
def test_flatten(x):
    native, base = quarnel._listify(2), pymodel._listify(2)
    got, want = outcome(native.flatten, x), outcome(base.flatten, x)
    assert got == want
    if got[0] == "ok":
        assert (got[1] is x) == (want[1] is x)


WHERES = [[], [0], [0, 3], [3, 0, 3], [100], [True], [-1], [1.0], None, range(70),
          (w for w in [1, 2]), ["a"]]


@pytest.mark.parametrize("wheres", WHERES, ids=repr)
def test_wheres_bitvector(wheres):
    if hasattr(wheres, "__next__"):
        items = list(wheres)
        assert outcome(quarnel._wheres_bitvector, iter(items)) == \
            outcome(pymodel._wheres_bitvector, iter(items))
    else:
        same(quarnel._wheres_bitvector, pymodel._wheres_bitvector, wheres)


GENERATORS = {
    "one": lambda: (a for a in [1, 2, 3]),
    "two": lambda: (a + b for a in [1, 2] for b in [10, 20]),
    "unpack": lambda: (b for a, b in [(1, 2), (3, 4)]),
    "cell": lambda: ((lambda: a)() + b for a in [1, 2] for b in [5]),
    "three": lambda: (a * b * c for a in [1, 2] for b in [3] for c in [4, 5]),
    "filtered": lambda: (a for a in range(5) for b in [a] if b % 2),
}


@pytest.mark.parametrize("name", list(GENERATORS))
def test_genexpr_key(name):
    gens = [GENERATORS[name](), GENERATORS[name]()]
    keys = [quarnel._genexpr_key(gens[0]), pymodel._genexpr_key(gens[1])]
    seen = [[outcome(k)[:2] for k in keys]]
    for a, b in zip(*gens):
        assert a == b
        seen.append([outcome(k) for k in keys])
    for pair in seen:
        assert pair[0] == pair[1]


def test_genexpr_key_exhausted():
    gens = [(a for a in []), (a for a in [])]
    for g in gens:
        list(g)
    same(quarnel._genexpr_key, pymodel._genexpr_key, gens[0], messages=False)
