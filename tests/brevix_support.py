"""Shared pieces of the attribute-access tests: a fresh model per test,
names rebound in the attribute module's namespace (always restored), and a
stand-in element whose index and kind a test chooses."""
import functools

import pytest

import vantropy._brevix as brevix
from vantropy import _standin
from vantropy._core import Model

from namespace import rebound as _rebound

rebound = functools.partial(_rebound, brevix)


@pytest.fixture
def model():
    m = Model("plan")
    yield m
    m.dispose()


@pytest.fixture
def var(model):
    return model.addVar(lb=1.0, ub=5.0, cost=2.0, kind="I", name="x")


class Element:
    """Looks like a model element to the attribute functions: the model's
    handle, an index of the test's choosing and a kind."""

    def __init__(self, model, index=0, typeenum=1, typename="Var"):
        self._cmodel = model._cmodel
        self._index = index
        self._typeenum = typeenum
        self._typename = typename

    def __cindex__(self):
        return self._index


class IntLike:
    """An index that is not an int but converts through __int__ and
    compares like one."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value

    def __eq__(self, other):
        return self.value == other

    def __lt__(self, other):
        return self.value < other

    __hash__ = None


def data_calls(model):
    """The library calls made on the model since the last reset, without
    the attribute-information lookups every single-value call starts with."""
    return {k: v for k, v in _standin.calls(model).items() if k != "VNTgetattrinfo"}


def writes(model):
    return {k: v for k, v in _standin.calls(model).items() if k.startswith("VNTset")}
