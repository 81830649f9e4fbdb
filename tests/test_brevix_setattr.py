"""Writing one attribute of a model or of an element with _setattr."""
import fractions
import math

import numpy as np
import pytest

import vantropy._brevix as brevix
from vantropy import _standin
from vantropy._vnt import VNT

from brevix_support import Element, IntLike, model, rebound, var, writes  # noqa: F401

INF = math.inf


# ---- each data type -------------------------------------------------------------

@pytest.mark.parametrize("name, value, raw", [
    ("ModelName", "budget", b"budget"),
    ("ModelName", "n\u00e9v \u20ac", "n\u00e9v \u20ac".encode()),
    ("Direction", -1, -1),
    ("Direction", True, 1),
    ("ObjOffset", 2.5, 2.5),
    ("ObjOffset", 3, 3.0),
    ("TimeLimit", INF, VNT.INFINITY),
    ("TimeLimit", -INF, -VNT.INFINITY),
])
def test_model_level_types(model, name, value, raw):
    assert brevix._setattr(model, name, value, True) is None
    assert _standin.raw_get(model, name) == raw


@pytest.mark.parametrize("make, name, value, raw", [
    ("var", "LB", -INF, -VNT.INFINITY),
    ("var", "UB", INF, VNT.INFINITY),
    ("var", "Cost", 1e30, 1e30),
    ("var", "Cost", -7, -7.0),
    ("var", "Kind", "B", ord("B")),
    ("var", "Kind", "IC", ord("I")),      # only the first character is written
    ("var", "VarName", "x\u00e9", "x\u00e9".encode()),
    ("var", "Priority", 2**31 - 1, 2**31 - 1),
    ("var", "Priority", -2**31, -2**31),
    ("constr", "RHS", 4.5, 4.5),
    ("constr", "Sense", "=", ord("=")),
    ("constr", "ConstrName", "c1", b"c1"),
    ("qconstr", "QCRHS", INF, VNT.INFINITY),
    ("qconstr", "QCName", "q", b"q"),
    ("genconstr", "GenConstrName", "g", b"g"),
    ("sos", "SOSName", "s", b"s"),
])
def test_element_level_types(model, var, make, name, value, raw):
    elements = {
        "var": var,
        "constr": model.addConstr(),
        "qconstr": model.addQConstr(),
        "genconstr": model.addGenConstr(),
        "sos": model.addSOS(),
    }
    assert brevix._setattr(elements[make], name, value) is None
    assert _standin.raw_get(model, name, 0) == raw


# ---- doubles ----------------------------------------------------------------------

@pytest.mark.parametrize("value, raw", [
    (np.float64(INF), VNT.INFINITY),
    (np.float64(-INF), -VNT.INFINITY),
    (np.float32(1.5), 1.5),
    (fractions.Fraction(1, 4), 0.25),
    (np.int64(9), 9.0),
])
def test_double_values_beyond_float(model, var, value, raw):
    brevix._setattr(var, "UB", value)
    assert _standin.raw_get(model, "UB", 0) == raw


def test_nan_is_passed_through(model, var):
    brevix._setattr(var, "Cost", math.nan)
    assert math.isnan(_standin.raw_get(model, "Cost", 0))


@pytest.mark.parametrize("value, raw", [(INF, 123.0), (-INF, -123.0), (1e30, 1e30)])
def test_infinity_bound_is_read_at_call_time(model, var, value, raw):
    class Bounds:
        INFINITY = 123.0

    with rebound(VNT=Bounds):
        brevix._setattr(var, "UB", value)
    assert _standin.raw_get(model, "UB", 0) == raw


def test_scalar_test_is_the_namespace_function(model, var):
    _standin.reset_calls(model)
    with rebound(_isscalar=lambda x: False):
        with pytest.raises(AttributeError, match="^Attribute 'UB' takes double value$"):
            brevix._setattr(var, "UB", 1.0)
    with rebound(_isscalar=lambda x: True):
        with pytest.raises(TypeError):
            brevix._setattr(var, "UB", "not a number")
    assert writes(model) == {}


# ---- chars ------------------------------------------------------------------------

def test_every_byte_is_written_as_itself(model, var):
    for byte in range(256):
        brevix._setattr(var, "Kind", chr(byte))
        assert _standin.raw_get(model, "Kind", 0) == byte


@pytest.mark.parametrize("char", ["\u0101", "\u20ac", "\U0001f600"])
def test_char_above_latin1_is_refused(model, var, char):
    _standin.reset_calls(model)
    with pytest.raises(AttributeError) as info:
        brevix._setattr(var, "Kind", char + "x")
    assert info.value.args == (
        f"Attribute 'Kind' takes a character from U+0000 to U+00FF, "
        f"not '{char}' (U+{ord(char):04X})",)
    assert writes(model) == {}
    assert _standin.raw_get(model, "Kind", 0) == ord("I")


# ---- failures, each before anything is written -------------------------------------------

def test_model_level_checks_neither_settable_nor_kind(model):
    # The library itself refuses the read-only attribute, so its text shows
    # the call was made.
    with pytest.raises(AttributeError) as info:
        brevix._setattr(model, "NumVars", 3, True)
    assert info.value.args == ("Attribute 'NumVars' cannot be set",)
    assert writes(model) == {"VNTsetintattr": 1}
    with pytest.raises(AttributeError, match="belongs to variables"):
        brevix._setattr(model, "LB", 1.0, True)




def test_index_through_int(model, var):
    model.addVar()
    brevix._setattr(Element(model, IntLike(1)), "LB", 4.0)
    assert [_standin.raw_get(model, "LB", i) for i in (0, 1)] == [1.0, 4.0]


@pytest.mark.parametrize("index", [2**31, 2**40])
def test_index_overflow(model, var, index):
    _standin.reset_calls(model)
    with pytest.raises(OverflowError):
        brevix._setattr(Element(model, index), "LB", 4.0)
    assert writes(model) == {}


# ---- failures of the library ----------------------------------------------------------

@pytest.mark.parametrize("target, name, value", [
    ("model", "ObjOffset", 1.0), ("model", "ModelName", "m"), ("model", "Direction", -1),
    ("var", "LB", 1.0), ("var", "Kind", "B"), ("var", "Priority", 3), ("var", "VarName", "v"),
])
def test_busy_model_gives_the_library_text(model, var, target, name, value):
    _standin.set_busy(model, True)
    with pytest.raises(AttributeError) as info:
        brevix._setattr(model if target == "model" else var, name, value, target == "model")
    assert info.value.args == (
        f"Optimization in progress; attribute '{name}' cannot be accessed now",)


def test_injected_failure(model, var):
    info = vars(brevix)["_getattrinfo"]

    def arm_after_info(obj, attrname):
        triple = info(obj, attrname)
        _standin.fail_next(model, 7001, b"Out of memory \xc3")
        return triple

    with rebound(_getattrinfo=arm_after_info):
        with pytest.raises(AttributeError) as raised:
            brevix._setattr(var, "LB", 2.0)
    assert raised.value.args == ("Out of memory \ufffd",)
    assert _standin.raw_get(model, "LB", 0) == 1.0


def test_failure_text_comes_from_the_namespace_geterrormsg(model, var):
    _standin.set_busy(model, True)
    with rebound(_geterrormsg=lambda obj: f"custom text for {obj._typename}"):
        with pytest.raises(AttributeError, match="^custom text for Var$"):
            brevix._setattr(var, "LB", 2.0)


def test_info_replacement_is_used(model, var):
    calls = []

    def info(obj, attrname):
        calls.append(attrname)
        return (2, 1, 0)

    with rebound(_getattrinfo=info):
        with pytest.raises(AttributeError, match="cannot be set"):
            brevix._setattr(var, "LB", 1.0)
    assert calls == ["LB"]


# ---- data types the call cannot handle -------------------------------------------------

@pytest.mark.parametrize("datatype, kind, is_model, value, message", [
    (7, 1, False, 1, "Attribute 'Odd' has unsupported data type 7"),
    (0, 0, True, "C", "Attribute 'Odd' has unsupported data type 0 for a model"),
    (9, 0, True, 1, "Attribute 'Odd' has unsupported data type 9 for a model"),
])
def test_unhandled_data_type(model, var, datatype, kind, is_model, value, message):
    _standin.define_attribute(model, "Odd", datatype, kind, True)
    _standin.reset_calls(model)
    with pytest.raises(AttributeError) as info:
        brevix._setattr(model if is_model else var, "Odd", value, is_model)
    assert info.value.args == (message,)
    assert writes(model) == {}
