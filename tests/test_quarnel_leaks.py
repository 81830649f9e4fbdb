"""Reference counts of the model utilities: no growth over 100,000 calls of
each function, the key functions and the generator included, on success
and on each failure path."""
import types
import warnings

import numpy as np
import pytest

import vantropy._quarnel as q
from vantropy._core import LinExpr, Model, QuadExpr, VantroError
from vantropy._matrixapi import MLinExpr, MQuadExpr, MVar

from leakcheck import assert_no_growth
from quarnel_support import rebound


class Stub:
    def __init__(self, **attrs):
        self.__dict__.update(attrs)


class Element:
    """One element of a matrix linear expression, without the stand-in."""

    def __init__(self, coeff=1.0, terms=1):
        self.coeff, self.terms = coeff, terms

    def size(self):
        return self.terms

    def getCoeff(self, i):
        return self.coeff

    def getVar(self, i):
        return "v"


def expression(*elements, compact=False):
    learr = np.empty(len(elements), dtype=object)
    learr[:] = elements
    return Stub(_is_compact=compact, _learr=learr, getConstant=lambda: np.zeros(len(elements)),
                _to_full=lambda: expression(*elements))


@pytest.fixture(scope="module")
def s():
    m = Model("leaks")
    x, y = m.addVar(name="x"), m.addVar(name="y")
    ns = types.SimpleNamespace(
        m=m, x=x, y=y,
        c=m.addConstr(), qc=m.addQConstr(), gc=m.addGenConstr(), sos=m.addSOS(),
        lin=2 * x + y + 3, quad0=QuadExpr(x + x), quad=x * y + x,
        mvar=MVar.fromlist([x]), mvars=MVar.fromlist([x, y]),
        mlin=MLinExpr(np.array([x + 1], dtype=object)),
        mquad=MQuadExpr(np.array([x * y], dtype=object)),
        compact=Stub(_is_compact=True, item=lambda: None),
        coldata=np.arange(2.0),
        listify=q._listify(["a", "b"], 2, d={("a", 1): 5}, s="t", it=[[1], [2]], n=None),
        code=(a + b for a in [1] for b in [2]).gi_code,
        mle=expression(Element(), Element()), mle_no=expression(Element(), Element(2.0)),
    )
    ns.gen1 = (a for a in [1, 2])
    next(ns.gen1)
    ns.gen2 = (a + (lambda: b)() for a in [1] for b in [2])
    next(ns.gen2)
    ns.key1, ns.key2 = q._genexpr_key(ns.gen1), q._genexpr_key(ns.gen2)
    duck = Stub(gi_frame=Stub(f_code=ns.gen2.gi_frame.f_code, f_locals={"a": 1, "b": 2}))
    ns.duck_key = q._genexpr_key(duck)
    yield ns
    m.dispose()


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


def exhausted():
    g = (a for a in ())
    list(g)
    return g


def dropped_in_delegate(s):
    g = q._instruction_argvals((lambda: (1, "x", 2)).__code__)
    next(g)
    next(g)


def throw_into(s, exc):
    g = q._instruction_argvals(s.code)
    next(g)
    g.throw(exc)


class GeneratorTuple(tuple):
    """A tuple whose iteration is a generator, for `yield from` to delegate to."""

    def __iter__(self):
        return (m for m in tuple.__iter__(self))


def old_form_throw_into_generator_delegate(s):
    record = types.SimpleNamespace(opname="LOAD_CONST", argval=GeneratorTuple((1, 2)))
    fake_dis = types.SimpleNamespace(get_instructions=lambda code: iter([record]))
    with rebound(dis=fake_dis), warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        g = q._instruction_argvals(None)
        next(g)
        g.throw(KeyError, "k")


CASES = {
    # _simpleexpr
    "simpleexpr number": (lambda s: q._simpleexpr(2.5), None),
    "simpleexpr var": (lambda s: q._simpleexpr(s.x), None),
    "simpleexpr linexpr": (lambda s: q._simpleexpr(s.lin), None),
    "simpleexpr quad without terms": (lambda s: q._simpleexpr(s.quad0), None),
    "simpleexpr quad": (lambda s: q._simpleexpr(s.quad), None),
    "simpleexpr mvar": (lambda s: q._simpleexpr(s.mvar), None),
    "simpleexpr mlinexpr": (lambda s: q._simpleexpr(s.mlin), None),
    "simpleexpr mquadexpr": (lambda s: q._simpleexpr(s.mquad), None),
    "simpleexpr refused": (lambda s: q._simpleexpr("text"), VantroError),
    "simpleexpr two elements": (lambda s: q._simpleexpr(s.mvars), ValueError),
    # index extraction
    "var index": (lambda s: q._extract_varlike_cindex(s.y, s.m), None),
    "constr index": (lambda s: q._extract_constrlike_cindex(s.c, s.m), None),
    "qconstr index": (lambda s: q._extract_qconstrlike_cindex(s.qc), None),
    "genconstr index": (lambda s: q._extract_genconstrlike_cindex(s.gc, model=s.m), None),
    "sos index": (lambda s: q._extract_soslike_cindex(s.sos, s.m), None),
    "matrix index": (lambda s: q._extract_varlike_cindex(s.mvar, s.m), None),
    "not in model": (lambda s: q._extract_constrlike_cindex(q.Constr()), VantroError),
    "not owned": (lambda s: q._extract_varlike_cindex(s.x, Stub(_owns=lambda e: False)),
                  VantroError),
    "wrong kind": (lambda s: q._extract_soslike_cindex(s.x), TypeError),
    # names
    "indexname tuple": (lambda s: q._indexname("x", (1, "a", 2.5)), None),
    "indexname plain ints": (lambda s: q._indexname("x", (1, -2)), None),
    "indexname scalar": (lambda s: q._indexname("x", 5), None),
    "indexname string": (lambda s: q._indexname("ξ", "ab"), None),
    "indexname list": (lambda s: q._indexname("x", [1, 2]), None),
    "indexname no name": (lambda s: q._indexname(None, (1,)), None),
    "indexname failure": (lambda s: q._indexname("x", (Unprintable(),)), ValueError),
    "simplify one": (lambda s: q.simplify_tuple((7,)), None),
    "simplify two": (lambda s: q.simplify_tuple((7, 8)), None),
    "simplify failure": (lambda s: q.simplify_tuple(5), TypeError),
    "names one dimension": (lambda s: q._nd_indexed_names("x", (1, 12)), None),
    "names general": (lambda s: q._nd_indexed_names("é", (2, 3)), None),
    "names numpy dims": (lambda s: q._nd_indexed_names("x", (np.int64(3),)), None),
    "names numpy dims list": (lambda s: q._nd_indexed_names("x", [np.int64(2), 3]), None),
    "names scalar": (lambda s: q._nd_indexed_names("x", ()), None),
    "names failure": (lambda s: q._nd_indexed_names("x", []), ValueError),
    "names format failure": (lambda s: q._nd_indexed_names(5, (2, 2)), ValueError),
    # column data and bit masks
    "coldata var": (lambda s: q._map_coldata_to_vars(s.coldata, s.y), None),
    "coldata mvar": (lambda s: q._map_coldata_to_vars(s.coldata, s.mvar, float), None),
    "coldata list": (lambda s: q._map_coldata_to_vars(s.coldata, [s.x, s.y]), None),
    "coldata dict": (lambda s: q._map_coldata_to_vars(s.coldata, {"a": s.x}), None),
    "coldata failure": (lambda s: q._map_coldata_to_vars(s.coldata, iter([])), TypeError),
    "bitvector": (lambda s: q._wheres_bitvector([0, 3, 5]), None),
    "bitvector large codes": (lambda s: q._wheres_bitvector([70, 1, 200]), None),
    "bitvector numpy codes": (lambda s: q._wheres_bitvector([1, np.int64(3), 2]), None),
    "bitvector failure": (lambda s: q._wheres_bitvector([1, -1]), ValueError),
    # _listify
    "listify one argument": (lambda s: q._listify(3, k=1), None),
    "listify product": (lambda s: q._listify([(1, "a"), (2, "b")], 2), None),
    "listify no argument": (lambda s: q._listify(), IndexError),
    "flatten": (lambda s: s.listify.flatten([[[1], [2]], [[3]]]), None),
    "flatten stops": (lambda s: s.listify.flatten([1, [2]]), None),
    "listify dict": (lambda s: s.listify.listify("d", 0), None),
    "listify str": (lambda s: s.listify.listify("s", 0), None),
    "listify iterable": (lambda s: s.listify.listify("it", 0), None),
    "listify scalar": (lambda s: s.listify.listify("n", 0), None),
    # the generator
    "argvals": (lambda s: list(q._instruction_argvals(s.code)), None),
    "argvals send": (lambda s: q._instruction_argvals(s.code).send(None), None),
    "argvals just started": (lambda s: q._instruction_argvals(s.code).send(1), TypeError),
    "argvals dropped in delegate": (dropped_in_delegate, None),
    "argvals close": (lambda s: q._instruction_argvals(s.code).close(), None),
    "argvals throw": (lambda s: throw_into(s, KeyError("k")), KeyError),
    "argvals bad throw": (lambda s: throw_into(s, 5), TypeError),
    "argvals old-form throw to a generator": (old_form_throw_into_generator_delegate, KeyError),
    "argvals failure": (lambda s: next(q._instruction_argvals(42)), TypeError),
    # generator-expression keys
    "genexpr key single": (lambda s: q._genexpr_key(s.gen1), None),
    "genexpr key ordered": (lambda s: q._genexpr_key(s.gen2), None),
    "genexpr key exhausted": (lambda s: q._genexpr_key(exhausted()), AttributeError),
    "key call single": (lambda s: s.key1(), None),
    "key call ordered": (lambda s: s.key2(), None),
    "key call duck frame": (lambda s: s.duck_key(), None),
    # matrix linear expressions
    "split": (lambda s: q._convert_mle_to_predvar_predval(s.mle), None),
    "split refused": (lambda s: q._convert_mle_to_predvar_predval(s.mle_no), None),
    "split failure": (lambda s: q._convert_mle_to_predvar_predval(object()), AttributeError),
}


# Cases whose numpy calls keep references a debug interpreter cannot count.
THROUGH_NUMPY = {"names numpy dims", "names numpy dims list", "coldata mvar",
                 "bitvector numpy codes", "split"}


@pytest.mark.parametrize("name", CASES)
def test_no_growth(s, name):
    call, expect = CASES[name]
    assert_no_growth(lambda: call(s), expect=expect, count_refs=name not in THROUGH_NUMPY)


def test_no_growth_on_the_general_paths(s):
    functools = q.functools
    generic = Stub(reduce=functools.reduce, partial=lambda *a: functools.partial(*a))
    with rebound(functools=generic, MVar=lambda arr: arr):
        assert_no_growth(lambda: q._wheres_bitvector([1, 2]))
        assert_no_growth(lambda: q._convert_mle_to_predvar_predval(s.mle), count_refs=False)
