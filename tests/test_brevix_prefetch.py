"""Prefetching an attribute with _prefetchattr."""
import pytest

import vantropy._brevix as brevix
from vantropy import _standin

from brevix_support import Element, model, rebound, var  # noqa: F401  (fixtures)


def prefetches(model):
    return _standin.calls(model).get("VNTprefetchattr", 0)


@pytest.mark.parametrize("target, name", [
    ("model", "ModelName"), ("model", "NumVars"), ("model", "ObjValue"),
    ("var", "Kind"), ("var", "Priority"), ("var", "LB"), ("var", "VarName"),
    # At model level no kind check is made.
    ("model", "LB"),
])
def test_every_data_type_takes_one_prefetch_call(model, var, target, name):
    _standin.reset_calls(model)
    is_model = target == "model"
    assert brevix._prefetchattr(model if is_model else var, name, is_model) is None
    assert _standin.calls(model) == {"VNTgetattrinfo": 1, "VNTprefetchattr": 1}


@pytest.mark.parametrize("index", [-1, -2])
def test_element_state_is_not_looked_at(model, index):
    brevix._prefetchattr(Element(model, index), "UB")
    assert prefetches(model) == 1


def test_unknown_name(model):
    with pytest.raises(AttributeError) as info:
        brevix._prefetchattr(model, "Colour", True)
    assert info.value.args == ("'vantropy.Model' object has no attribute 'Colour'",)
    assert prefetches(model) == 0


def test_attribute_of_another_kind(model, var):
    with pytest.raises(AttributeError) as info:
        brevix._prefetchattr(var, "Sense")
    assert info.value.args == ("'vantropy.Var' object has no attribute 'Sense'",)
    assert prefetches(model) == 0


def test_busy_model_gives_the_library_text(model, var):
    _standin.set_busy(model, True)
    with pytest.raises(AttributeError) as info:
        brevix._prefetchattr(var, "LB")
    assert info.value.args == ("Optimization in progress; attribute 'LB' cannot be accessed now",)


def test_failure_text_comes_from_the_namespace_geterrormsg(model):
    _standin.set_busy(model, True)
    with rebound(_geterrormsg=lambda obj: "from the replacement"):
        with pytest.raises(AttributeError, match="^from the replacement$"):
            brevix._prefetchattr(model, "ObjValue", True)


def test_info_replacement_decides_the_kind(model, var):
    with rebound(_getattrinfo=lambda obj, name: (2, 1, 1)):
        brevix._prefetchattr(var, "RHS")   # the library knows RHS, so it succeeds
    with rebound(_getattrinfo=lambda obj, name: (2, 2, 1)):
        with pytest.raises(AttributeError, match="has no attribute 'LB'"):
            brevix._prefetchattr(var, "LB")


@pytest.mark.parametrize("triple, message", [
    ((1, 2), "need more than 2 values to unpack"),
    ((1, 2, 3, 4), "too many values to unpack (expected 3)"),
])
def test_info_of_the_wrong_length(model, triple, message):
    with rebound(_getattrinfo=lambda obj, name: triple):
        with pytest.raises(ValueError) as info:
            brevix._prefetchattr(model, "ObjValue", True)
    assert str(info.value) == message
