"""Reading one attribute of a model or of an element with _getattr."""
import math

import pytest

import vantropy._brevix as brevix
from vantropy import _standin
from vantropy._exception import VantroError
from vantropy._vnt import VNT

from brevix_support import Element, IntLike, data_calls, model, rebound, var  # noqa: F401

INF = math.inf


def real_info():
    return vars(brevix)["_getattrinfo"]


def failing_after_info(model, code, message):
    """A _getattrinfo that arms a library failure for the call after it,
    so the failure reaches the data call rather than the lookup."""
    info = real_info()

    def replacement(obj, attrname):
        triple = info(obj, attrname)
        _standin.fail_next(model, code, message)
        return triple

    return replacement


# ---- each data type -------------------------------------------------------------

@pytest.mark.parametrize("name, expected", [
    ("ModelName", "plan"),
    ("NumVars", 1),
    ("Direction", 1),
    ("ObjOffset", 0.0),
    ("TimeLimit", INF),
    ("ObjValue", VNT.UNDEFINED),
])
def test_model_level_types(model, var, name, expected):
    value = brevix._getattr(model, name, True)
    assert type(value) is type(expected) and value == expected


@pytest.mark.parametrize("make, name, expected", [
    ("var", "LB", 1.0),
    ("var", "UB", 5.0),
    ("var", "Cost", 2.0),
    ("var", "Kind", "I"),
    ("var", "VarName", "x"),
    ("var", "Value", VNT.UNDEFINED),
    ("var", "Priority", 0),
    ("constr", "RHS", 3.0),
    ("constr", "Sense", ">"),
    ("constr", "ConstrName", "c"),
    ("qconstr", "QCName", "q"),
    ("genconstr", "GenConstrName", "g"),
    ("sos", "SOSName", "s"),
])
def test_element_level_types(model, var, make, name, expected):
    elements = {
        "var": var,
        "constr": model.addConstr(rhs=3.0, sense=">", name="c"),
        "qconstr": model.addQConstr(name="q"),
        "genconstr": model.addGenConstr(name="g"),
        "sos": model.addSOS(name="s"),
    }
    value = brevix._getattr(elements[make], name)
    assert type(value) is type(expected) and value == expected


@pytest.mark.parametrize("is_model, expected", [
    (True, "plan"), (1, "plan"), ([0], "plan"), (False, "x"), (0, "x"), ("", "x"), (None, "x"),
])
def test_truth_of_is_model_selects_the_level(model, var, is_model, expected):
    # ModelName at element level would be refused, VarName at model level too.
    name = "ModelName" if expected == "plan" else "VarName"
    assert brevix._getattr(model if expected == "plan" else var, name, is_model) == expected


# ---- doubles: infinity and the undefined marker --------------------------------------

@pytest.mark.parametrize("stored, expected", [
    (1e30, INF),
    (5e30, INF),
    (-1e30, -INF),
    (-5e30, -INF),
    (9.99e29, 9.99e29),
    (-9.99e29, -9.99e29),
    (1e31, 1e31),          # the undefined marker, beyond the bound, stays itself
    (-1e31, -INF),
    (0.0, 0.0),
])
def test_double_mapping(model, var, stored, expected):
    brevix._setattr(var, "Cost", stored)
    assert _standin.raw_get(model, "Cost", 0) == stored
    assert brevix._getattr(var, "Cost") == expected
    brevix._setattr(model, "ObjOffset", stored, True)
    assert brevix._getattr(model, "ObjOffset", True) == expected


def test_nan_reads_back_as_nan(var):
    brevix._setattr(var, "Cost", math.nan)
    assert math.isnan(brevix._getattr(var, "Cost"))


class IntBounds:
    """Constants that are ints, so Python's own comparisons decide."""
    INFINITY = 10
    UNDEFINED = 12
    Error = VNT.Error


@pytest.mark.parametrize("stored, expected", [
    (12.0, 12.0), (10.0, INF), (11.0, INF), (9.5, 9.5), (-10.0, -INF), (-12.0, -INF),
])
def test_double_mapping_reads_vnt_at_call_time(var, stored, expected):
    brevix._setattr(var, "Cost", stored)
    with rebound(VNT=IntBounds):
        value = brevix._getattr(var, "Cost")
    assert type(value) is float and value == expected


def test_undefined_is_tested_before_the_bound(var):
    class Bounds:
        INFINITY = 1.0
        UNDEFINED = 5.0
        Error = VNT.Error

    brevix._setattr(var, "Cost", 5.0)
    with rebound(VNT=Bounds):
        assert brevix._getattr(var, "Cost") == 5.0


# ---- strings -------------------------------------------------------------------------

@pytest.mark.parametrize("target, name, index", [
    ("model", "ModelName", -1), ("var", "VarName", 0),
])
def test_null_string_reads_as_empty(model, var, target, name, index):
    _standin.set_null_string(model, name, index)
    obj = model if target == "model" else var
    assert brevix._getattr(obj, name, target == "model") == ""


def test_strings_go_through_bytestostring(var):
    with rebound(_bytestostring=lambda b: ("converted", b)):
        assert brevix._getattr(var, "VarName") == ("converted", b"x")


def test_invalid_utf8_value_raises_the_converters_error(var):
    with rebound(_stringtobytes=lambda s: b"\xff" if s == "bad" else s.encode()):
        brevix._setattr(var, "VarName", "bad")
    with pytest.raises(UnicodeDecodeError):
        brevix._getattr(var, "VarName")


# ---- chars -----------------------------------------------------------------------------

def test_every_byte_reads_back_as_its_character(model, var):
    for byte in range(256):
        brevix._setattr(var, "Kind", chr(byte))
        assert _standin.raw_get(model, "Kind", 0) == byte
        assert brevix._getattr(var, "Kind") == chr(byte)


# ---- element state and kind --------------------------------------------------------------

@pytest.mark.parametrize("index, message", [
    (-1, "Var has not yet been added to the model"),
    (-2, "Var was removed from the model"),
    (-100, "Var was removed from the model"),
    (-2**70, "Var was removed from the model"),
    (IntLike(-1), "Var has not yet been added to the model"),
    (IntLike(-3), "Var was removed from the model"),
])
def test_element_state(model, index, message):
    _standin.reset_calls(model)
    with pytest.raises(VantroError) as info:
        brevix._getattr(Element(model, index), "LB")
    assert (info.value.errno, info.value.message) == (0, message)
    assert data_calls(model) == {}


@pytest.mark.parametrize("name", ["RHS", "ModelName", "SOSName"])
def test_attribute_of_another_kind_is_missing(model, var, name):
    _standin.reset_calls(model)
    with pytest.raises(AttributeError) as info:
        brevix._getattr(var, name)
    assert info.value.args == (f"'vantropy.Var' object has no attribute '{name}'",)
    assert data_calls(model) == {}


def test_kind_is_compared_with_python_equality(model, var):
    assert brevix._getattr(Element(model, 0, typeenum=1.0), "UB") == 5.0


# ---- index conversion ----------------------------------------------------------------------

def test_index_through_int(model, var):
    second = model.addVar(lb=7.0)
    assert second.__cindex__() == 1
    assert brevix._getattr(Element(model, IntLike(1)), "LB") == 7.0


@pytest.mark.parametrize("index", [2**31, 2**40])
def test_index_overflow(model, var, index):
    _standin.reset_calls(model)
    with pytest.raises(OverflowError):
        brevix._getattr(Element(model, index), "LB")
    assert data_calls(model) == {}


def test_index_out_of_range_is_a_solver_failure(model, var):
    with pytest.raises(AttributeError) as info:
        brevix._getattr(Element(model, 5), "LB")
    assert str(info.value) == "Index 5 out of range for attribute 'LB'"


# ---- failures of the data call ----------------------------------------------------------------

@pytest.mark.parametrize("target, name", [("model", "ObjOffset"), ("var", "LB"),
                                          ("var", "Kind"), ("var", "VarName")])
def test_busy_model(model, var, target, name):
    _standin.set_busy(model, True)
    obj = model if target == "model" else var
    with pytest.raises(AttributeError) as info:
        brevix._getattr(obj, name, target == "model")
    assert info.value.args == (
        f"Attribute '{name}' cannot be queried while optimization is in progress",)


def test_busy_message_formats_the_name(model):
    class Name(str):
        def __format__(self, spec):
            return "shown"

    _standin.set_busy(model, True)
    with pytest.raises(AttributeError,
                       match="^Attribute 'shown' cannot be queried while optimization"):
        brevix._getattr(model, Name("TimeLimit"), True)


@pytest.mark.parametrize("target, name", [("model", "NumVars"), ("model", "ModelName"),
                                          ("var", "Cost"), ("var", "Priority"),
                                          ("var", "Kind"), ("var", "VarName")])
def test_injected_failure_raises_the_library_text(model, var, target, name):
    obj = model if target == "model" else var
    with rebound(_getattrinfo=failing_after_info(model, 7005, b"No data for \xff now")):
        with pytest.raises(AttributeError) as info:
            brevix._getattr(obj, name, target == "model")
    assert info.value.args == ("No data for \ufffd now",)
    assert not isinstance(info.value, VantroError)


def test_busy_code_is_read_from_vnt(model, var):
    class Codes:
        INFINITY = VNT.INFINITY
        UNDEFINED = VNT.UNDEFINED

        class Error:
            OPTIMIZATION_IN_PROGRESS = 7005

    with rebound(VNT=Codes, _getattrinfo=failing_after_info(model, 7005, "x")):
        with pytest.raises(AttributeError, match="^Attribute 'LB' cannot be queried"):
            brevix._getattr(var, "LB")


def test_failure_text_comes_from_the_namespace_geterrormsg(model, var):
    text = ("a", "tuple")   # must stay the one argument, not become the args
    with rebound(_getattrinfo=failing_after_info(model, 7005, "x"),
                 _geterrormsg=lambda obj: text):
        with pytest.raises(AttributeError) as info:
            brevix._getattr(var, "LB")
    assert info.value.args == (text,)


# ---- _getattrinfo through the namespace ------------------------------------------------------

@pytest.mark.parametrize("triple", [[2, 1, 1], (2, 1, 1), iter([2, 1, 1]),
                                    (x for x in (2, 1, 1))])
def test_info_results_are_unpacked(var, triple):
    with rebound(_getattrinfo=lambda obj, name: triple):
        assert brevix._getattr(var, "LB") == 1.0


@pytest.mark.parametrize("triple, message", [
    ((2, 1), "need more than 2 values to unpack"),
    ([2], "need more than 1 value to unpack"),
    ((), "need more than 0 values to unpack"),
    (iter([2, 1]), "need more than 2 values to unpack"),
    ((2, 1, 1, 0), "too many values to unpack (expected 3)"),
    (iter([2, 1, 1, 0]), "too many values to unpack (expected 3)"),
])
def test_info_results_of_the_wrong_length(var, triple, message):
    with rebound(_getattrinfo=lambda obj, name: triple):
        with pytest.raises(ValueError) as info:
            brevix._getattr(var, "LB")
    assert str(info.value) == message


def test_info_replacement_decides_the_data_type(var):
    # Claiming LB is an int makes the int call, which the library refuses.
    with rebound(_getattrinfo=lambda obj, name: (1, 1, 1)):
        with pytest.raises(AttributeError, match="^Attribute 'LB' is not of type int$"):
            brevix._getattr(var, "LB")


def test_missing_namespace_name_is_a_name_error(var):
    ns = vars(brevix)
    saved = dict(ns)
    del ns["_getattrinfo"]
    try:
        with pytest.raises(NameError, match="^name '_getattrinfo' is not defined$"):
            brevix._getattr(var, "LB")
    finally:
        # Rebuilt rather than re-added, so the namespace keeps its order.
        ns.clear()
        ns.update(saved)


# ---- data types the call cannot handle -------------------------------------------------------

@pytest.mark.parametrize("datatype, kind, is_model, message", [
    (7, 1, False, "Attribute 'Odd' has unsupported data type 7"),
    (-1, 1, False, "Attribute 'Odd' has unsupported data type -1"),
    (0, 0, True, "Attribute 'Odd' has unsupported data type 0 for a model"),
    (7, 0, True, "Attribute 'Odd' has unsupported data type 7 for a model"),
])
def test_unhandled_data_type(model, var, datatype, kind, is_model, message):
    _standin.define_attribute(model, "Odd", datatype, kind, True)
    _standin.reset_calls(model)
    obj = model if is_model else var
    with pytest.raises(AttributeError) as info:
        brevix._getattr(obj, "Odd", is_model)
    assert info.value.args == (message,)
    assert data_calls(model) == {}


def test_fresh_handle_for_each_call(model, var):
    class Counting:
        def __init__(self):
            self.reads = 0
            self._typeenum, self._typename = 1, "Var"

        @property
        def _cmodel(self):
            self.reads += 1
            return model._cmodel

        def __cindex__(self):
            return 0

    obj = Counting()
    assert brevix._getattr(obj, "UB") == 5.0
    assert obj.reads == 2   # once for the attribute lookup, once for the read
