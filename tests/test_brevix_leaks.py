"""Reference counts of the hot attribute functions: no growth over 100,000
calls, on success and on each failure path."""
import math

import pytest

import vantropy._brevix as brevix
from vantropy import _standin
from vantropy._core import Model
from vantropy._exception import VantroError

from brevix_support import Element

from leakcheck import assert_no_growth


@pytest.fixture(scope="module")
def setup():
    m = Model("leaks")
    for i in range(10):
        m.addVar(lb=float(i), name=f"v{i}")
    m.addConstr()
    v = m.getVars()[0]
    busy = Model("busy")
    busy.addVar()
    _standin.set_busy(busy, True)
    yield m, v, busy
    m.dispose()
    busy.dispose()


IDX = list(range(10))

GETATTR = {
    "double": (lambda m, v, b: brevix._getattr(v, "UB"), None),
    "char": (lambda m, v, b: brevix._getattr(v, "Kind"), None),
    "string": (lambda m, v, b: brevix._getattr(v, "VarName"), None),
    "model int": (lambda m, v, b: brevix._getattr(m, "NumVars", True), None),
    "model string": (lambda m, v, b: brevix._getattr(m, "ModelName", True), None),
    "unknown name": (lambda m, v, b: brevix._getattr(v, "Nope"), AttributeError),
    "other kind": (lambda m, v, b: brevix._getattr(v, "RHS"), AttributeError),
    "removed": (lambda m, v, b: brevix._getattr(Element(m, -2), "LB"), VantroError),
    "not added": (lambda m, v, b: brevix._getattr(Element(m, -1), "LB"), VantroError),
    "index overflow": (lambda m, v, b: brevix._getattr(Element(m, 2**40), "LB"), OverflowError),
    "busy": (lambda m, v, b: brevix._getattr(b.getVars()[0], "LB"), AttributeError),
    "solver failure": (lambda m, v, b: brevix._getattr(Element(m, 99), "LB"), AttributeError),
    "model double": (lambda m, v, b: brevix._getattr(m, "ObjOffset", True), None),
    "no handle": (lambda m, v, b: brevix._getattr(object(), "LB"), AttributeError),
    "index not an int": (lambda m, v, b: brevix._getattr(Element(m, "0"), "LB"), TypeError),
}

SETATTR = {
    "double": (lambda m, v, b: brevix._setattr(v, "UB", math.inf), None),
    "char": (lambda m, v, b: brevix._setattr(v, "Kind", "B"), None),
    "string": (lambda m, v, b: brevix._setattr(v, "VarName", "name"), None),
    "model string": (lambda m, v, b: brevix._setattr(m, "ModelName", "leaks", True), None),
    "wrong type": (lambda m, v, b: brevix._setattr(v, "Priority", 1.5), AttributeError),
    "char range": (lambda m, v, b: brevix._setattr(v, "Kind", "\u0101"), AttributeError),
    "read only": (lambda m, v, b: brevix._setattr(v, "Value", 1.0), AttributeError),
    "removed": (lambda m, v, b: brevix._setattr(Element(m, -2), "LB", 1.0), VantroError),
    "busy": (lambda m, v, b: brevix._setattr(b.getVars()[0], "LB", 1.0), AttributeError),
    "solver failure": (lambda m, v, b: brevix._setattr(Element(m, 99), "LB", 1.0),
                       AttributeError),
    "int": (lambda m, v, b: brevix._setattr(v, "Priority", 3), None),
    "model int": (lambda m, v, b: brevix._setattr(m, "Direction", 1, True), None),
    "model double": (lambda m, v, b: brevix._setattr(m, "ObjOffset", -math.inf, True), None),
    "model wrong type": (lambda m, v, b: brevix._setattr(m, "ModelName", 5, True), AttributeError),
    "unknown name": (lambda m, v, b: brevix._setattr(v, "Nope", 1.0), AttributeError),
    "other kind": (lambda m, v, b: brevix._setattr(v, "RHS", 1.0), AttributeError),
    "not added": (lambda m, v, b: brevix._setattr(Element(m, -1), "LB", 1.0), VantroError),
    "char wrong type": (lambda m, v, b: brevix._setattr(v, "Kind", 66), AttributeError),
    "empty char": (lambda m, v, b: brevix._setattr(v, "Kind", ""), IndexError),
    "double wrong type": (lambda m, v, b: brevix._setattr(v, "LB", "1"), AttributeError),
    "string wrong type": (lambda m, v, b: brevix._setattr(v, "VarName", 3), AttributeError),
    "string not encodable": (lambda m, v, b: brevix._setattr(v, "VarName", "\ud800"),
                             UnicodeEncodeError),
    "int overflow": (lambda m, v, b: brevix._setattr(v, "Priority", 2**31), OverflowError),
    "index overflow": (lambda m, v, b: brevix._setattr(Element(m, 2**40), "LB", 1.0),
                       OverflowError),
}

LISTS = {
    "get double": (lambda m, v, b: brevix._gettypedattrlist(m, "UB", 2, IDX), None),
    "get char": (lambda m, v, b: brevix._gettypedattrlist(m, "Kind", 0, IDX), None),
    "get int": (lambda m, v, b: brevix._gettypedattrlist(m, "Priority", 1, IDX), None),
    "get string": (lambda m, v, b: brevix._gettypedattrlist(m, "VarName", 3, IDX), None),
    "set double": (lambda m, v, b: brevix._settypedattrlist(
        m, "UB", 2, IDX, [math.inf] * 5 + [1.0] * 5), None),
    "set char": (lambda m, v, b: brevix._settypedattrlist(m, "Kind", 0, IDX, "CBICBICBIC"), None),
    "set int": (lambda m, v, b: brevix._settypedattrlist(m, "Priority", 1, IDX, IDX), None),
    "set string": (lambda m, v, b: brevix._settypedattrlist(
        m, "VarName", 3, IDX, [f"n{i}" for i in IDX]), None),
    "get failure": (lambda m, v, b: brevix._gettypedattrlist(m, "UB", 2, [0, 99]), VantroError),
    "set failure": (lambda m, v, b: brevix._settypedattrlist(m, "UB", 2, [0, 99], [1.0, 2.0]),
                    AttributeError),
    "bad index": (lambda m, v, b: brevix._gettypedattrlist(m, "UB", 2, [0, "1"]), TypeError),
    "bad value": (lambda m, v, b: brevix._settypedattrlist(m, "Priority", 1, IDX, [None] * 10),
                  TypeError),
    "short strings": (lambda m, v, b: brevix._settypedattrlist(m, "VarName", 3, IDX, ["a"]),
                      IndexError),
    "char range": (lambda m, v, b: brevix._settypedattrlist(m, "Kind", 0, [0], ["\u0101"]),
                   ValueError),
    "unhandled type": (lambda m, v, b: brevix._gettypedattrlist(m, "UB", 7, IDX), ValueError),
    "busy get": (lambda m, v, b: brevix._gettypedattrlist(b, "LB", 2, [0]), VantroError),
    "busy set": (lambda m, v, b: brevix._settypedattrlist(b, "LB", 2, [0], [1.0]),
                 AttributeError),
    "no len": (lambda m, v, b: brevix._gettypedattrlist(m, "UB", 2, 5), TypeError),
    "set no len": (lambda m, v, b: brevix._settypedattrlist(m, "UB", 2, 5, [1.0]), TypeError),
    "index overflow": (lambda m, v, b: brevix._settypedattrlist(m, "UB", 2, [2**31], [1.0]),
                       OverflowError),
    "set bad index": (lambda m, v, b: brevix._settypedattrlist(m, "UB", 2, [0, None], [1.0] * 2),
                      TypeError),
    "char too long": (lambda m, v, b: brevix._settypedattrlist(m, "Kind", 0, [0], ["IC"]),
                      ValueError),
    "char wrong type": (lambda m, v, b: brevix._settypedattrlist(m, "Kind", 0, [0], [66]),
                        TypeError),
    "short doubles": (lambda m, v, b: brevix._settypedattrlist(m, "UB", 2, IDX, [1.0]),
                      IndexError),
    "string not encodable": (lambda m, v, b: brevix._settypedattrlist(
        m, "VarName", 3, [0], ["\ud800"]), UnicodeEncodeError),
    "get empty": (lambda m, v, b: brevix._gettypedattrlist(m, "UB", 2, []), None),
}


def check(setup, case):
    fn, expect = case
    m, v, b = setup
    assert_no_growth(lambda: fn(m, v, b), expect=expect)


@pytest.mark.parametrize("case", GETATTR.values(), ids=GETATTR.keys())
def test_getattr(setup, case):
    check(setup, case)


@pytest.mark.parametrize("case", SETATTR.values(), ids=SETATTR.keys())
def test_setattr(setup, case):
    check(setup, case)


@pytest.mark.parametrize("case", LISTS.values(), ids=LISTS.keys())
def test_typed_lists(setup, case):
    check(setup, case)


OTHERS = {
    "attrlist": (lambda m, v, b: brevix._attrlist(m._cmodel, 1), None),
    "prefetch": (lambda m, v, b: brevix._prefetchattr(v, "LB"), None),
    "prefetch other kind": (lambda m, v, b: brevix._prefetchattr(v, "RHS"), AttributeError),
    "errormsg": (lambda m, v, b: brevix._geterrormsg(v), None),
    "errormsg model": (lambda m, v, b: brevix._geterrormsg(m), None),
    "errormsg no handle": (lambda m, v, b: brevix._geterrormsg(object()), None),
    "attrinfo": (lambda m, v, b: brevix._getattrinfo(v, "LB"), None),
    "attrinfo unknown": (lambda m, v, b: brevix._getattrinfo(v, "Nope"), AttributeError),
    "attrlist model": (lambda m, v, b: brevix._attrlist(m._cmodel, 0), None),
    "attrlist bad handle": (lambda m, v, b: brevix._attrlist(None, 1), TypeError),
    "prefetch model": (lambda m, v, b: brevix._prefetchattr(m, "ModelName", True), None),
    "prefetch unknown": (lambda m, v, b: brevix._prefetchattr(v, "Nope"), AttributeError),
    "prefetch removed": (lambda m, v, b: brevix._prefetchattr(Element(m, -2), "LB"), None),
}


@pytest.mark.parametrize("case", OTHERS.values(), ids=OTHERS.keys())
def test_other_functions(setup, case):
    check(setup, case)
