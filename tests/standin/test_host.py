"""The host package stand-ins: environments, models and their elements,
the handle converter exported to the native modules, the expression types
and the matrix classes."""

import ctypes
import gc
import subprocess
import sys
import types
import weakref
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

from vantropy import _util
from vantropy._batch import Batch
from vantropy._core import (
    Constr, Env, GenConstr, LinExpr, Model, QConstr, QuadExpr, SOS, Var, tupledict,
)
from vantropy._exception import VantroError
from vantropy._matrixapi import MConstr, MLinExpr, MQuadExpr, MVar
from vantropy._vnt import VNT

ELEMENTS = [
    # add method, class, kind, type name, name attribute
    ("addVar", Var, 1, "Var", "VarName"),
    ("addConstr", Constr, 2, "Constr", "ConstrName"),
    ("addQConstr", QConstr, 3, "QConstr", "QCName"),
    ("addGenConstr", GenConstr, 4, "GenConstr", "GenConstrName"),
    ("addSOS", SOS, 5, "SOS", "SOSName"),
]
element_params = pytest.mark.parametrize(
    "add,cls,kind,typename,nameattr", ELEMENTS, ids=[e[3] for e in ELEMENTS])


@pytest.fixture
def model():
    m = Model()
    yield m
    m.dispose()


def capsule_pointer(capsule, name):
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return get(capsule, name)


# --------------------------------------------------------------- constants

@pytest.mark.parametrize("name,value", [
    ("OUT_OF_MEMORY", 7001), ("NULL_ARGUMENT", 7002), ("INVALID_ARGUMENT", 7003),
    ("UNKNOWN_ATTRIBUTE", 7004), ("DATA_NOT_AVAILABLE", 7005),
    ("INDEX_OUT_OF_RANGE", 7006), ("OPTIMIZATION_IN_PROGRESS", 7007),
    ("NOT_SUPPORTED", 7008), ("INVALID_HANDLE", 7009),
])
def test_error_codes(name, value):
    assert getattr(VNT.Error, name) == value


def test_vnt_values_and_codes():
    assert (VNT.INFINITY, VNT.UNDEFINED, VNT.ERROR_NOT_IN_MODEL) == (1e30, 1e31, 7501)
    assert (VNT.CHAR, VNT.INT, VNT.DOUBLE, VNT.STRING) == (0, 1, 2, 3)
    kinds = [VNT.KIND_MODEL, VNT.KIND_VAR, VNT.KIND_CONSTR, VNT.KIND_QCONSTR,
             VNT.KIND_GENCONSTR, VNT.KIND_SOS]
    assert kinds == list(range(6))


# ------------------------------------------------------------ environments

@pytest.mark.parametrize("license", [None, "", "demo", b"demo"])
def test_env_created(license):
    env = Env(license) if license is not None else Env()
    assert type(env._cenv).__name__ == "PyCapsule"
    assert capsule_pointer(env._cenv, b"vantro130.env")


def test_env_refused_and_model_on_it_fails():
    env = Env("no-such-license")
    assert env._cenv is None
    with pytest.raises(VantroError) as info:
        Model(env=env)
    assert str(info.value) == "Failed to create environment"


def test_env_cenv_is_plain_attribute():
    env = Env()
    env._cenv = None
    assert env._cenv is None


# ------------------------------------------------------------------ models

def test_model_handles_and_name():
    env = Env()
    m = Model(name="plan", env=env)
    assert m._cenv is env._cenv
    assert m._typename == "Model"
    assert capsule_pointer(m._cmodel, b"vantro130.model")
    assert _util._getvalue(m._cmodel, "ModelName", -1) == "plan"
    m.dispose()


def test_model_keeps_its_environment_alive():
    m = Model(env=Env())  # the Env object itself is dropped at once
    gc.collect()
    assert m.addVar().__cindex__() == 0
    m.dispose()


def test_dispose_twice_and_collection_are_harmless():
    m = Model()
    m.addVar()
    m.dispose()
    m.dispose()
    assert "disposed" in repr(m)
    for _ in range(50):  # capsule destructors free what dispose did not
        Model().addConstr()
    gc.collect()


def test_context_manager_disposes():
    with Model() as m:
        pass
    assert m._disposed


# ---------------------------------------------------------------- elements

@element_params
def test_bare_element(add, cls, kind, typename, nameattr):
    e = cls()
    assert e.__cindex__() == -1
    assert e._cmodel is None
    assert (e._typeenum, e._typename) == (kind, typename)
    assert "not added" in repr(e)


@element_params
def test_add_and_remove_renumber(model, add, cls, kind, typename, nameattr):
    a, b, c, d = (getattr(model, add)(name=f"e{i}") for i in range(4))
    assert [e.__cindex__() for e in (a, b, c, d)] == [0, 1, 2, 3]
    assert all(type(e) is cls and e._cmodel is model._cmodel for e in (a, b, c, d))

    model.remove(b)
    assert b.__cindex__() < -1
    assert [e.__cindex__() for e in (a, c, d)] == [0, 1, 2]
    assert _util._numelements(model._cmodel, kind) == 3
    # the library renumbered the same way: each element still sees its name
    assert [_util._getvalue(model._cmodel, nameattr, e.__cindex__())
            for e in (a, c, d)] == ["e0", "e2", "e3"]
    assert "removed" in repr(b)

    model.remove([a, d])
    assert c.__cindex__() == 0
    assert _util._numelements(model._cmodel, kind) == 1


@element_params
def test_owns(model, add, cls, kind, typename, nameattr):
    other = Model()
    mine, theirs = getattr(model, add)(), getattr(other, add)()
    assert model._owns(mine)
    assert not model._owns(theirs)
    assert not model._owns(cls())
    assert not model._owns("not an element")
    model.remove(mine)
    assert not model._owns(mine)
    with pytest.raises(VantroError) as info:
        model.remove(mine)
    assert info.value.errno == VNT.ERROR_NOT_IN_MODEL
    other.dispose()


def test_kinds_are_numbered_separately(model):
    v0, c0, v1, c1 = model.addVar(), model.addConstr(), model.addVar(), model.addConstr()
    assert [e.__cindex__() for e in (v0, c0, v1, c1)] == [0, 0, 1, 1]
    model.remove(c0)
    assert (v1.__cindex__(), c1.__cindex__()) == (1, 0)


def test_addvar_writes_values(model):
    model.addVar()
    v = model.addVar(lb=-float("inf"), ub=float("inf"), cost=2.5, kind="I", name="x")
    got = {a: _util._getvalue(model._cmodel, a, v.__cindex__())
           for a in ("LB", "UB", "Cost", "Kind", "VarName")}
    assert got == {"LB": -1e30, "UB": 1e30, "Cost": 2.5, "Kind": "I", "VarName": "x"}
    c = model.addConstr(rhs=4.0, sense=">", name="cap")
    assert [_util._getvalue(model._cmodel, a, 0) for a in ("RHS", "Sense", "ConstrName")] \
        == [4.0, ">", "cap"]


def test_failed_add_leaves_model_unchanged(model):
    model.addVar()
    with pytest.raises(TypeError):
        model.addVar(name=5)
    assert len(model.getVars()) == 1
    assert _util._numelements(model._cmodel, VNT.KIND_VAR) == 1


def test_remove_rejects_non_elements(model):
    with pytest.raises(TypeError):
        model.remove(3)


# ------------------------------------------------- solver attribute routing

@pytest.fixture
def fake_brevix(monkeypatch):
    calls = []
    mod = types.ModuleType("vantropy._brevix")
    mod._getattr = lambda obj, name, is_model=False: calls.append(
        ("get", obj, name, is_model)) or 42
    mod._setattr = lambda obj, name, value, is_model=False: calls.append(
        ("set", obj, name, value, is_model))
    mod._attrlist = lambda cmodel, kind: calls.append(("list", cmodel, kind)) or ["Solver"]
    monkeypatch.setitem(sys.modules, "vantropy._brevix", mod)
    return calls


def test_attribute_access_without_brevix(monkeypatch, model):
    monkeypatch.setitem(sys.modules, "vantropy._brevix", None)
    v = model.addVar()
    with pytest.raises(NotImplementedError, match="needs vantropy._brevix"):
        v.LB
    with pytest.raises(NotImplementedError):
        model.ModelName = "x"
    assert "LB" not in dir(v)  # dir() still works, without solver names


def test_attributes_route_through_brevix(fake_brevix, model):
    v = model.addVar()
    assert v.LB == 42 and model.NumVars == 42
    v.UB = 3.0
    model.ModelName = "x"
    assert fake_brevix == [("get", v, "LB", False), ("get", model, "NumVars", True),
                           ("set", v, "UB", 3.0, False), ("set", model, "ModelName", "x", True)]
    assert "Solver" in dir(v) and "Solver" in dir(model)
    assert ("list", v._cmodel, 1) in fake_brevix and ("list", model._cmodel, 0) in fake_brevix


def test_private_names_stay_python_attributes(fake_brevix, model):
    v = model.addVar()
    v._note = "kept"
    assert v.__dict__["_note"] == "kept"
    with pytest.raises(AttributeError):
        v._missing
    assert fake_brevix == []


# ---------------------------------------------------------------------- _ptr

_OTHER_NAME = ctypes.create_string_buffer(b"vantro130.other")


def other_capsule():
    new = ctypes.pythonapi.PyCapsule_New
    new.restype = ctypes.py_object
    new.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
    return new(ctypes.addressof(_OTHER_NAME), ctypes.addressof(_OTHER_NAME), None)


@pytest.fixture(scope="module")
def ptr():
    capsule = _util.__pyx_capi__["_ptr"]
    getname = ctypes.pythonapi.PyCapsule_GetName
    getname.restype = ctypes.c_char_p
    getname.argtypes = [ctypes.py_object]
    assert getname(capsule) == b"void *(PyObject *)"
    address = capsule_pointer(capsule, b"void *(PyObject *)")
    return ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object)(address)


def test_ptr_returns_handles(ptr, model):
    assert ptr(model._cmodel) == capsule_pointer(model._cmodel, b"vantro130.model")
    assert ptr(model._cenv) == capsule_pointer(model._cenv, b"vantro130.env")


@pytest.mark.parametrize("value", [0, 12345, None, "vantro130.model"], ids=repr)
def test_ptr_rejects_non_capsules(ptr, value):
    with pytest.raises(TypeError, match="solver handle"):
        ptr(value)


def test_ptr_rejects_other_capsules(ptr):
    with pytest.raises(TypeError, match="vantro130.other"):
        ptr(other_capsule())


# ----------------------------------------------------------- string helpers

@pytest.mark.parametrize("value,expected", [("abc", b"abc"), ("é", b"\xc3\xa9"), ("", b"")])
def test_stringtobytes_encodes(value, expected):
    assert _util._stringtobytes(value) == expected
    assert _util._bytestostring(expected) == value


@pytest.mark.parametrize("value", [b"raw", bytearray(b"raw")])
def test_stringtobytes_passes_bytes_through(value):
    assert _util._stringtobytes(value) is value


@pytest.mark.parametrize("value", [5, None, 1.5, ["a"]])
def test_stringtobytes_rejects(value):
    with pytest.raises(TypeError):
        _util._stringtobytes(value)


def test_bytestostring_is_strict():
    with pytest.raises(UnicodeDecodeError):
        _util._bytestostring(b"\xff")


@pytest.mark.parametrize("value,expected", [
    (1, True), (1.5, True), (True, True), (np.float64(2), True), (np.int32(3), True),
    (Decimal("1.5"), True), (Fraction(1, 3), True), (2j, True),
    ("1", False), (None, False), ([1], False), ((1,), False), (np.array([1.0]), False),
    (Var(), False),
])
def test_isscalar(value, expected):
    assert _util._isscalar(value) is expected


@pytest.mark.parametrize("value,expected", [("x", True), ("", True), (b"x", False), (1, False)])
def test_isstr(value, expected):
    assert _util._isstr(value) is expected


# ------------------------------------------------------------- expressions

def test_expression_layouts():
    assert (LinExpr.__basicsize__, LinExpr.__itemsize__) == (48, 0)
    assert (QuadExpr.__basicsize__, QuadExpr.__itemsize__) == (56, 0)


@pytest.mark.parametrize("cls", [LinExpr, QuadExpr])
def test_expressions_are_gc_tracked_subclassable_and_weakrefable(cls):
    class Sub(cls):
        pass

    e = Sub()
    e.me = e  # a cycle through the instance dict
    gone = weakref.ref(e)
    assert gc.is_tracked(e)
    del e
    gc.collect()
    assert gone() is None


@pytest.fixture
def xyz(model):
    return [model.addVar(name=n) for n in "xyz"]


def terms(le):
    return [(le.getCoeff(i), le.getVar(i)) for i in range(le.size())]


def qterms(qe):
    return [(qe.getCoeff(i), qe.getVar1(i), qe.getVar2(i)) for i in range(qe.size())]


def test_linexpr_constructors(xyz):
    x, y, _ = xyz
    assert (LinExpr().size(), LinExpr().getConstant()) == (0, 0.0)
    assert (LinExpr(3).size(), LinExpr(np.float32(3)).getConstant()) == (0, 3.0)
    assert terms(LinExpr(x)) == [(1.0, x)]
    assert terms(LinExpr(2, x)) == [(2.0, x)]
    assert terms(LinExpr([1, 2], [x, y])) == [(1.0, x), (2.0, y)]
    original = LinExpr([1], [x])
    copy = LinExpr(original)
    copy += y
    assert copy is not original and original.size() == 1


@pytest.mark.parametrize("args,exc", [
    (("x",), TypeError), ((None,), TypeError), (([1, 2], ["a", "b"]), TypeError),
    (([1], []), ValueError),
])
def test_linexpr_constructor_rejects(args, exc):
    with pytest.raises(exc):
        LinExpr(*args)


def test_tour_expression(xyz):
    x, y, _ = xyz
    e = 2 * x + y + 3
    assert type(e) is LinExpr
    assert terms(e) == [(2.0, x), (1.0, y)] and e.getConstant() == 3.0
    assert repr(e) == "<vantropy.LinExpr: 2.0 x + y + 3.0>"


@pytest.mark.parametrize("build,expected_terms,constant", [
    (lambda x, y: x - 2 * y, [(1.0, "x"), (-2.0, "y")], 0.0),
    (lambda x, y: 3 - x, [(-1.0, "x")], 3.0),
    (lambda x, y: -(x + 1), [(-1.0, "x")], -1.0),
    (lambda x, y: (4 * x + 2) / 2, [(2.0, "x")], 1.0),
    (lambda x, y: x * 3 + y * 0.5, [(3.0, "x"), (0.5, "y")], 0.0),
    (lambda x, y: sum([x, y, 1]), [(1.0, "x"), (1.0, "y")], 1.0),
    (lambda x, y: LinExpr(x) - LinExpr(y) + LinExpr(5), [(1.0, "x"), (-1.0, "y")], 5.0),
], ids=["sub", "rsub", "neg", "div", "mul", "sum", "lin-lin"])
def test_linear_arithmetic(xyz, build, expected_terms, constant):
    x, y, _ = xyz
    e = build(x, y)
    names = {"x": x, "y": y}
    assert type(e) is LinExpr
    assert terms(e) == [(c, names[n]) for c, n in expected_terms]
    assert e.getConstant() == constant


def test_inplace_add_mutates(xyz):
    x, y, _ = xyz
    e = LinExpr(x)
    same = e
    e += y
    e -= 2
    e += e  # doubles: reads its own terms once
    assert e is same
    assert terms(e) == [(1.0, x), (1.0, y), (1.0, x), (1.0, y)] and e.getConstant() == -4.0


def test_products_are_quadratic(xyz):
    x, y, _ = xyz
    q = x * y
    assert type(q) is QuadExpr and qterms(q) == [(1.0, x, y)]
    p = (x + 1) * (2 * y + 3)
    assert qterms(p) == [(2.0, x, y)]
    lin = p.getLinExpr()
    assert terms(lin) == [(3.0, x), (2.0, y)] and p.getConstant() == 3.0
    assert type(x * y + x) is QuadExpr and type(3 * (x * y)) is QuadExpr


def test_unsupported_operands(xyz):
    x, y, z = xyz
    for bad in (lambda: x + "a", lambda: (x * y) * z, lambda: x / y, lambda: LinExpr(x) / 0):
        with pytest.raises((TypeError, ZeroDivisionError)):
            bad()


def test_normalize_merges_and_keeps_zero_terms(xyz):
    x, y, z = xyz
    e = LinExpr([1, 2, -1, 4, 3], [x, y, x, z, y])
    assert e._normalize() is None
    assert terms(e) == [(0.0, x), (5.0, y), (4.0, z)]


def test_quad_normalize_merges_symmetric_pairs(xyz):
    x, y, _ = xyz
    q = x * y + 2 * (y * x) + x * x + x + x
    q._normalize()
    assert qterms(q) == [(3.0, x, y), (1.0, x, x)]
    assert terms(q.getLinExpr()) == [(2.0, x)]


def test_quadexpr_constructor_and_linexpr_copy(xyz):
    x, y, _ = xyz
    assert QuadExpr().size() == 0 and QuadExpr(2.5).getConstant() == 2.5
    assert terms(QuadExpr(x).getLinExpr()) == [(1.0, x)]
    q = x * y + 1
    copy = QuadExpr(q)
    copy += x * x
    assert (q.size(), copy.size()) == (1, 2)
    q.getLinExpr().addConstant(10)  # a copy: q is unchanged
    assert q.getConstant() == 1.0
    with pytest.raises(TypeError):
        QuadExpr("q")


@pytest.mark.parametrize("method", ["getVar", "getCoeff"])
def test_term_index_out_of_range(xyz, method):
    e = LinExpr(xyz[0])
    with pytest.raises(IndexError):
        getattr(e, method)(1)


def test_var_arithmetic_defers_to_numpy(xyz):
    x, _, _ = xyz
    out = x + np.array([1.0, 2.0])
    assert out.dtype == object and [e.getConstant() for e in out] == [1.0, 2.0]


# -------------------------------------------------------------- matrix API

@pytest.fixture
def grid(model):
    arr = np.empty((2, 2), dtype=object)
    for i in range(4):
        arr.flat[i] = model.addVar()
    return arr


def test_mvar_basics(grid):
    mv = MVar(grid)
    assert mv.shape == (2, 2) and mv.size == 4
    assert MVar(grid[:1, :1]).item() is grid[0, 0]
    with pytest.raises(ValueError):
        mv.item()
    assert mv[1, 0] is grid[1, 0] and isinstance(mv[0], MVar)


def test_mvar_indexed_data(model, grid):
    model.remove(grid[0, 0])  # the others move down by one
    mv = MVar(grid[:, 1])
    data = mv._indexed_data([10, 20, 30], float)
    assert data.dtype == np.float64 and data.tolist() == [10.0, 30.0]
    with pytest.raises(VantroError):
        MVar(grid)._indexed_data([1, 2, 3], None)


def test_mlinexpr_full(grid):
    x = grid.ravel()
    mle = MVar(x) * 2 + np.array([1.0, 2.0, 3.0, 4.0])
    assert isinstance(mle, MLinExpr) and not mle._is_compact
    assert all(type(e) is LinExpr for e in mle._learr.flat)
    assert mle.getConstant().tolist() == [1.0, 2.0, 3.0, 4.0]
    assert terms(mle[2]) == [(2.0, x[2])]
    assert mle._to_full()._learr.tolist() == mle._learr.tolist()
    with pytest.raises(ValueError):
        mle.item()


def test_mlinexpr_compact(grid):
    x = MVar(grid.ravel()[:2])
    a = np.array([[1.0, 0.0], [2.0, 3.0]])
    mle = a @ x + np.array([5.0, 6.0])
    assert mle._is_compact and mle._learr is None
    assert mle.getConstant().tolist() == [5.0, 6.0]
    full = mle._to_full()
    assert not full._is_compact
    e0, e1 = full._learr
    assert terms(e0) == [(1.0, x[0])] and e0.getConstant() == 5.0
    assert terms(e1) == [(2.0, x[0]), (3.0, x[1])] and e1.getConstant() == 6.0


def test_mquadexpr_and_mconstr(model, grid):
    x = grid.ravel()
    mq = MVar(x[:1]) * MVar(x[1:2])
    assert isinstance(mq, MQuadExpr) and not mq._is_compact
    assert qterms(mq.item()) == [(1.0, x[0], x[1])]
    c = model.addConstr()
    assert MConstr(np.array([c], dtype=object)).item() is c


# --------------------------------------------------------- the rest of _core

def test_batch_takes_environment(model):
    assert Batch(model)._cenv is model._cenv
    assert Batch(Env())._cenv is not None
    assert Batch()._cenv is None


def test_tupledict_and_reexports():
    td = tupledict([((1, 2), "a"), ((3, 4), "b")])
    assert isinstance(td, dict) and td[1, 2] == "a"
    import vantropy._core as core
    import vantropy._exception as exception
    assert core._isscalar is _util._isscalar
    assert core.VantroError is exception.VantroError


def test_package_import_is_lazy():
    code = ("import sys, vantropy; "
            "assert not [m for m in sys.modules if m.startswith('vantropy.')], sys.modules; "
            "assert vantropy.VNT.INFINITY == 1e30; "
            "assert 'vantropy._core' not in sys.modules")
    subprocess.run([sys.executable, "-c", code], check=True)
