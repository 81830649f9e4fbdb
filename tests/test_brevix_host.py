"""The host package's objects read and write solver attributes through
_brevix, as users of the package see it."""
import math

import pytest

from vantropy import _standin
from vantropy._exception import VantroError
from vantropy._vnt import VNT

from brevix_support import model, var  # noqa: F401  (fixtures)


def test_model_attributes(model):
    model.ModelName = "plan B"
    model.ObjOffset = 1.25
    model.TimeLimit = math.inf
    assert (model.ModelName, model.ObjOffset, model.TimeLimit) == ("plan B", 1.25, math.inf)
    assert _standin.raw_get(model, "TimeLimit") == VNT.INFINITY


def test_variable_attributes(model, var):
    var.UB = float("inf")
    var.LB = -3
    var.Kind = "C"
    assert (var.LB, var.UB, var.Kind, var.VarName) == (-3.0, math.inf, "C", "x")
    assert _standin.raw_get(model, "UB", 0) == VNT.INFINITY
    assert model.NumVars == 1


def test_dir_lists_the_solver_attributes_of_the_kind(var):
    names = dir(var)
    assert {"LB", "UB", "Cost", "Kind", "VarName", "Value", "Priority"} <= set(names)
    assert "RHS" not in names and "ModelName" not in names


@pytest.mark.parametrize("name", ["Nope", "RHS", "ModelName"])
def test_hasattr_and_getattr_default(var, name):
    assert not hasattr(var, name)
    assert getattr(var, name, "default") == "default"


def test_hasattr_false_while_busy(model, var):
    _standin.set_busy(model, True)
    assert not hasattr(var, "LB")


def test_removed_variable(model, var):
    model.remove(var)
    with pytest.raises(VantroError) as info:
        var.UB = 1.0
    assert (info.value.errno, str(info.value)) == (0, "Var was removed from the model")
