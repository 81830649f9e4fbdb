"""Every check that runs before a write really runs before it: a refused
_setattr or _settypedattrlist leaves every stored value of the model as it
was (read back with raw_get, which the library does not count) and makes no
setter call at all, even when the refused item is the last of a list."""
import math

import pytest

import vantropy._brevix as brevix
from vantropy import _standin
from vantropy._core import Model
from vantropy._exception import VantroError
from vantropy._vnt import VNT

from brevix_support import Element, IntLike, rebound

CHAR, INT, DOUBLE, STRING = 0, 1, 2, 3

# Attribute name -> (kind, element count in the fixture); -1 means the model.
CATALOGUE = {
    "ModelName": -1, "Direction": -1, "ObjOffset": -1, "TimeLimit": -1,
    "LB": 1, "UB": 1, "Cost": 1, "Kind": 1, "VarName": 1, "Priority": 1,
    "RHS": 2, "Sense": 2, "ConstrName": 2,
    "QCRHS": 3, "QCName": 3, "GenConstrName": 4, "SOSName": 5,
}


@pytest.fixture
def m():
    model = Model("kept")
    model.Direction = -1
    model.ObjOffset = 4.5
    model.TimeLimit = 60.0
    for i, kind in enumerate("CBI"):
        model.addVar(lb=-1.0 - i, ub=10.0 + i, cost=0.5 * i, kind=kind, name=f"v{i}")
        model.getVars()[i].Priority = 7 + i
    model.addConstr(rhs=3.0, sense=">", name="c0")
    model.addConstr(rhs=-2.0, sense="=", name="c1")
    model.addQConstr(name="q")
    model.addGenConstr(name="g")
    model.addSOS(name="s")
    _standin.reset_calls(model)
    yield model
    model.dispose()


def stored(model):
    """Everything the library holds for the model's settable attributes."""
    counts = {1: 3, 2: 2, 3: 1, 4: 1, 5: 1}
    values = {}
    for name, kind in CATALOGUE.items():
        for index in ([-1] if kind == -1 else range(counts[kind])):
            values[name, index] = _standin.raw_get(model, name, index)
    return values


def setter_calls(model):
    return {k: v for k, v in _standin.calls(model).items() if k.startswith("VNTset")}


def refused(model, call, exc, message):
    before = stored(model)
    with pytest.raises(exc) as info:
        call(model)
    if message is not None:
        assert str(info.value) == message
    assert setter_calls(model) == {}
    after = stored(model)
    # NaN never equals itself; none is stored in the fixture.
    assert after == before


def var(model, i=0):
    return model.getVars()[i]


class Raises:
    """Converts by raising: a refused conversion midway through a list."""

    def __int__(self):
        raise ArithmeticError("no int")

    def __float__(self):
        raise ArithmeticError("no float")

    __index__ = __int__


class Index:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class ComparesOnly:
    """Passes the element-state comparisons but converts to nothing."""

    def __eq__(self, other):
        return False

    def __lt__(self, other):
        return False

    __hash__ = None


class ComparesThenRaises(IntLike):
    def __int__(self):
        raise ArithmeticError("no int")

    __index__ = __int__


SETATTR = {
    # the attribute lookup
    "unknown name": (lambda m: brevix._setattr(var(m), "Nope", 1.0),
                     AttributeError, "'vantropy.Var' object has no attribute 'Nope'"),
    # element state
    "not added": (lambda m: brevix._setattr(Element(m, -1), "LB", 1.0),
                  VantroError, "Var has not yet been added to the model"),
    "removed": (lambda m: brevix._setattr(Element(m, -2), "LB", 1.0),
                VantroError, "Var was removed from the model"),
    "index not an int": (lambda m: brevix._setattr(Element(m, ComparesOnly()), "LB", 1.0),
                         TypeError, "an integer is required"),
    "index beyond 32 bits": (lambda m: brevix._setattr(Element(m, 2**32), "LB", 1.0),
                             OverflowError, None),
    "index conversion raises": (lambda m: brevix._setattr(Element(m, ComparesThenRaises(0)),
                                                          "LB", 1.0), ArithmeticError, "no int"),
    # kind and settable
    "other kind": (lambda m: brevix._setattr(var(m), "RHS", 1.0),
                   AttributeError, "'vantropy.Var' object has no attribute 'RHS'"),
    "kind of another element": (lambda m: brevix._setattr(Element(m, 0, 2, "Constr"), "LB", 1.0),
                                AttributeError, "'vantropy.Constr' object has no attribute 'LB'"),
    "read only": (lambda m: brevix._setattr(var(m), "Value", 1.0),
                  AttributeError, "Attribute 'Value' cannot be set"),
    "model attribute of an element": (lambda m: brevix._setattr(var(m), "ModelName", "m"),
                                      AttributeError,
                                      "'vantropy.Var' object has no attribute 'ModelName'"),
    # the order of the checks: state, then kind, then settable, then the value
    "removed, read only, of another kind": (lambda m: brevix._setattr(Element(m, -2), "Dual", 1.0),
                                            VantroError, "Var was removed from the model"),
    "not added, by comparison": (lambda m: brevix._setattr(Element(m, IntLike(-1), 2, "Constr"),
                                                           "RHS", 1.0),
                                 VantroError, "Constr has not yet been added to the model"),
    "read only of another kind": (lambda m: brevix._setattr(var(m), "Dual", 1.0),
                                  AttributeError, "'vantropy.Var' object has no attribute 'Dual'"),
    "read only, of no type at all": (lambda m: brevix._setattr(var(m), "Value", object()),
                                     AttributeError, "Attribute 'Value' cannot be set"),
    # value types, element level
    "char from int": (lambda m: brevix._setattr(var(m), "Kind", 66),
                      AttributeError, "Attribute 'Kind' takes character value"),
    "char from bytes": (lambda m: brevix._setattr(var(m), "Kind", b"B"),
                        AttributeError, "Attribute 'Kind' takes character value"),
    "char empty": (lambda m: brevix._setattr(var(m), "Kind", ""),
                   IndexError, "string index out of range"),
    "char range": (lambda m: brevix._setattr(var(m), "Kind", "\u0101"), AttributeError,
                   "Attribute 'Kind' takes a character from U+0000 to U+00FF, not '\u0101' "
                   "(U+0101)"),
    "int from float": (lambda m: brevix._setattr(var(m), "Priority", 2.0),
                       AttributeError, "Attribute 'Priority' takes integer value"),
    "int beyond 32 bits": (lambda m: brevix._setattr(var(m), "Priority", 2**31),
                           OverflowError, None),
    "double from str": (lambda m: brevix._setattr(var(m), "LB", "1"),
                        AttributeError, "Attribute 'LB' takes double value"),
    "string from bytes": (lambda m: brevix._setattr(var(m), "VarName", b"x"),
                          AttributeError, "Attribute 'VarName' takes string value"),
    "string not encodable": (lambda m: brevix._setattr(var(m), "VarName", "a\ud800"),
                             UnicodeEncodeError, None),
    "string holding a NUL": (lambda m: brevix._setattr(var(m), "VarName", "ab\x00cd"),
                             ValueError, "embedded null character"),
    # value types, model level
    "model int from float": (lambda m: brevix._setattr(m, "Direction", 1.5, True),
                             AttributeError, "Attribute 'Direction' takes integer value"),
    "model int beyond 32 bits": (lambda m: brevix._setattr(m, "Direction", -2**31 - 1, True),
                                 OverflowError, None),
    "model double from None": (lambda m: brevix._setattr(m, "ObjOffset", None, True),
                               AttributeError, "Attribute 'ObjOffset' takes double value"),
    "model string from int": (lambda m: brevix._setattr(m, "ModelName", 5, True),
                              AttributeError, "Attribute 'ModelName' takes string value"),
    "model string not encodable": (lambda m: brevix._setattr(m, "ModelName", "\udc80", True),
                                   UnicodeEncodeError, None),
    "model string holding a NUL": (lambda m: brevix._setattr(m, "ModelName", "ab\x00cd", True),
                                   ValueError, "embedded null character"),
}


@pytest.mark.parametrize("call, exc, message", SETATTR.values(), ids=SETATTR.keys())
def test_refused_setattr(m, call, exc, message):
    refused(m, call, exc, message)


def test_double_conversion_refused_after_the_scalar_test(m):
    # _isscalar is asked first; a value it accepts that float() refuses is
    # still refused before the write.
    with rebound(_isscalar=lambda value: True):
        refused(m, lambda m: brevix._setattr(var(m), "LB", Raises()), ArithmeticError, "no float")
        refused(m, lambda m: brevix._setattr(m, "ObjOffset", Raises(), True),
                ArithmeticError, "no float")


@pytest.mark.parametrize("infinity", [None, "big"])
@pytest.mark.parametrize("is_model", [False, True])
def test_unusable_infinity_constant(m, monkeypatch, infinity, is_model):
    monkeypatch.setattr(VNT, "INFINITY", infinity)
    target, name = (m, "TimeLimit") if is_model else (var(m), "UB")
    refused(m, lambda m: brevix._setattr(target, name, -math.inf, is_model), TypeError, None)


LISTS = {
    # index conversion, with the bad index last
    "index str": (lambda m: brevix._settypedattrlist(m, "LB", DOUBLE, [0, 1, "2"], [1.0] * 3),
                  TypeError, "an integer is required"),
    "index None": (lambda m: brevix._settypedattrlist(m, "LB", DOUBLE, [0, 1, None], [1.0] * 3),
                   TypeError, "an integer is required"),
    "index beyond 32 bits": (lambda m: brevix._settypedattrlist(
        m, "Priority", INT, [0, 1, 2**31], [1, 2, 3]), OverflowError, None),
    "index below 32 bits": (lambda m: brevix._settypedattrlist(
        m, "Priority", INT, [0, Index(-2**31 - 1)], [1, 2]), OverflowError, None),
    "index conversion raises": (lambda m: brevix._settypedattrlist(
        m, "VarName", STRING, [0, Raises()], ["a", "b"]), ArithmeticError, "no int"),
    "indices without len": (lambda m: brevix._settypedattrlist(
        m, "LB", DOUBLE, iter([0]), [1.0]), TypeError, "object of type 'list_iterator' has no len()"),
    # list lengths
    "chars short": (lambda m: brevix._settypedattrlist(m, "Kind", CHAR, [0, 1, 2], ["B", "I"]),
                    IndexError, "list index out of range"),
    "ints short": (lambda m: brevix._settypedattrlist(m, "Priority", INT, [0, 1, 2], [1, 2]),
                   IndexError, "list index out of range"),
    "doubles short": (lambda m: brevix._settypedattrlist(m, "LB", DOUBLE, [0, 1, 2], (1.0,)),
                      IndexError, "tuple index out of range"),
    "strings short": (lambda m: brevix._settypedattrlist(m, "VarName", STRING, [0, 1, 2], ["a"]),
                      IndexError, None),
    # char items
    "char too long": (lambda m: brevix._settypedattrlist(m, "Kind", CHAR, [0, 1], ["B", "IC"]),
                      ValueError, "only single character unicode strings can be converted to "
                      "Py_UCS4, got length 2"),
    "char empty": (lambda m: brevix._settypedattrlist(m, "Kind", CHAR, [0, 1], ["B", ""]),
                   ValueError, "only single character unicode strings can be converted to "
                   "Py_UCS4, got length 0"),
    "char from int": (lambda m: brevix._settypedattrlist(m, "Kind", CHAR, [0, 1], ["B", 73]),
                      TypeError, "ord() expected string of length 1, but int found"),
    "char bytes too long": (lambda m: brevix._settypedattrlist(m, "Kind", CHAR, [0, 1],
                                                               [b"B", b"IC"]),
                            TypeError, "ord() expected a character, but string of length 2 found"),
    "char range": (lambda m: brevix._settypedattrlist(m, "Kind", CHAR, [0, 1, 2],
                                                      ["B", "I", "\U0001f600"]), ValueError,
                   "Attribute 'Kind' takes characters from U+0000 to U+00FF; item 2 is "
                   "'\U0001f600' (U+1F600)"),
    "char range first": (lambda m: brevix._settypedattrlist(m, "Kind", CHAR, [0, 1],
                                                            ["\u20ac", "B"]), ValueError,
                         "Attribute 'Kind' takes characters from U+0000 to U+00FF; item 0 is "
                         "'\u20ac' (U+20AC)"),
    "sense range": (lambda m: brevix._settypedattrlist(m, "Sense", CHAR, [0, 1], ["<", "\u2264"]),
                    ValueError, "Attribute 'Sense' takes characters from U+0000 to U+00FF; "
                    "item 1 is '\u2264' (U+2264)"),
    # int, double and string items
    "int from str": (lambda m: brevix._settypedattrlist(m, "Priority", INT, [0, 1], [1, "2"]),
                     TypeError, "an integer is required"),
    "int beyond 32 bits": (lambda m: brevix._settypedattrlist(m, "Priority", INT, [0, 1],
                                                              [1, 2**40]), OverflowError, None),
    "int conversion raises": (lambda m: brevix._settypedattrlist(m, "Priority", INT, [0, 1],
                                                                 [1, Raises()]),
                              ArithmeticError, "no int"),
    "double from str": (lambda m: brevix._settypedattrlist(m, "UB", DOUBLE, [0, 1, 2],
                                                           [1.0, math.inf, "x"]), TypeError, None),
    "double conversion raises": (lambda m: brevix._settypedattrlist(m, "Cost", DOUBLE, [0, 1],
                                                                    [-math.inf, Raises()]),
                                 ArithmeticError, "no float"),
    "string from int": (lambda m: brevix._settypedattrlist(m, "VarName", STRING, [0, 1],
                                                           ["a", 3]), TypeError, None),
    "string not encodable": (lambda m: brevix._settypedattrlist(m, "ConstrName", STRING, [0, 1],
                                                                ["a", "\ud800"]),
                             UnicodeEncodeError, None),
    "string holding a NUL": (lambda m: brevix._settypedattrlist(m, "VarName", STRING, [0, 1],
                                                                ["a", "b\x00c"]),
                             ValueError, "embedded null character"),
    "string beyond the indices not encodable": (lambda m: brevix._settypedattrlist(
        m, "VarName", STRING, [0], ["a", "\ud800"]), UnicodeEncodeError, None),
    "values not iterable": (lambda m: brevix._settypedattrlist(m, "VarName", STRING, [0], 5),
                            TypeError, None),
    # the attribute name itself
    "name not encodable": (lambda m: brevix._settypedattrlist(m, "L\ud800", DOUBLE, [0], [1.0]),
                           UnicodeEncodeError, None),
}


@pytest.mark.parametrize("call, exc, message", LISTS.values(), ids=LISTS.keys())
def test_refused_settypedattrlist(m, call, exc, message):
    refused(m, call, exc, message)


@pytest.mark.parametrize("infinity", [None, "big"])
def test_list_with_unusable_infinity_constant(m, monkeypatch, infinity):
    monkeypatch.setattr(VNT, "INFINITY", infinity)
    refused(m, lambda m: brevix._settypedattrlist(m, "UB", DOUBLE, [0, 1], [1.0, math.inf]),
            TypeError, None)


def test_list_conversion_that_shortens_the_values_midway(m):
    # The index conversion empties the value list: the values are then short,
    # and nothing of the earlier, already converted items reaches the model.
    values = [1.0, 2.0, 3.0]

    class Clears:
        def __int__(self):
            values.clear()
            return 2

    refused(m, lambda m: brevix._settypedattrlist(m, "LB", DOUBLE, [0, 1, Clears()], values),
            IndexError, "list index out of range")


@pytest.mark.parametrize("attrtype, name, values", [
    (CHAR, "Kind", ["B", "I", "C"]),
    (INT, "Priority", [1, 2, 3]),
    (DOUBLE, "LB", [1.0, 2.0, 3.0]),
    (STRING, "VarName", ["a", "b", "c"]),
])
def test_the_fixture_can_be_written(m, attrtype, name, values):
    # The refusals above are refusals, not a model that cannot be written.
    before = stored(m)
    brevix._settypedattrlist(m, name, attrtype, [0, 1, 2], values)
    assert setter_calls(m) != {}
    assert stored(m) != before
