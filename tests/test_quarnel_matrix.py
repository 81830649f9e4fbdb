"""_convert_mle_to_predvar_predval: splitting a matrix linear expression
into its variables and the negated constants."""
import math

import numpy as np
import pytest

import vantropy._quarnel as quarnel
from vantropy._core import LinExpr
from vantropy._matrixapi import MLinExpr, MVar

from quarnel_support import Recorder, model, rebound  # noqa: F401

convert = quarnel._convert_mle_to_predvar_predval


def object_array(items, shape=None):
    arr = np.empty(len(items), dtype=object)
    arr[:] = items
    return arr.reshape(shape) if shape else arr


# ---- on the stand-in expressions ----

def test_each_element_a_variable_plus_a_constant(model):
    xs = [model.addVar() for _ in range(4)]
    constants = [1.5, -2.0, 0.0, 4.0]
    learr = object_array([x + c for x, c in zip(xs, constants)], (2, 2))
    predvar, predval = convert(MLinExpr(learr))
    assert type(predvar) is MVar and predvar.shape == (2, 2)
    assert predvar.tolist() == [xs[:2], xs[2:]]
    assert predval.tolist() == [[-1.5, 2.0], [-0.0, -4.0]]


def test_compact_expression_is_expanded_first(model):
    xs = [model.addVar() for _ in range(2)]
    compact = np.eye(2) @ MVar.fromlist(xs) + 3.0
    assert compact._is_compact
    predvar, predval = convert(compact)
    assert predvar.tolist() == xs
    assert predval.tolist() == [-3.0, -3.0]
    assert convert(np.array([[2.0, 0.0], [0.0, 1.0]]) @ MVar.fromlist(xs)) == (None, None)


@pytest.mark.parametrize("make", [
    lambda x, y: x + y,            # two terms
    lambda x, y: LinExpr(2.0),     # no term at all
    lambda x, y: 2 * x,
    lambda x, y: x - y + y,        # three terms until normalised
])
def test_an_element_of_another_form_gives_none(model, make):
    x, y = model.addVar(), model.addVar()
    learr = object_array([x + 1, make(x, y)])
    assert convert(MLinExpr(learr)) == (None, None)


def test_empty_expression(model):
    predvar, predval = convert(MLinExpr(np.empty((0,), dtype=object)))
    assert predvar.shape == (0,) and predval.shape == (0,)


# ---- on duck-typed expressions ----

class Element:
    def __init__(self, log, name, coeff=1.0, terms=1):
        self.log, self.name, self.coeff, self.terms = log, name, coeff, terms

    def size(self):
        self.log("size", self.name)
        return self.terms

    def getCoeff(self, i):
        self.log("getCoeff", self.name, i)
        return self.coeff

    def getVar(self, i):
        self.log("getVar", self.name, i)
        return f"var {self.name}"


class Expression:
    def __init__(self, log, elements, compact=False, full=None):
        self.log = log
        self._is_compact = compact
        self._full = full
        self._learr = object_array(elements)

    def _to_full(self):
        self.log("_to_full")
        return self._full

    def getConstant(self):
        self.log("getConstant", id(self))
        return np.arange(float(len(self._learr)))


def mvar(arr):
    return ("MVar", arr.dtype, arr.tolist())


@pytest.mark.parametrize("coeff, splits", [
    (1.0, True), (1, True), (1.0000005, True), (0.9999995, True), (math.nan, True),
    (np.float64(1.0), True), (True, True),
    # 1.000001 - 1 rounds to just below 1e-6 in binary floating point
    (1.000001, True), (1.0000011, False),
    (0.999999, False), (2.0, False), (-1.0, False), (math.inf, False),
    (0, False), (np.float32(1.1), False),
])
def test_coefficient_tolerance(coeff, splits):
    assert splits is not bool(abs(coeff - 1) >= 1e-6)  # the rule, in plain Python
    log = Recorder()
    with rebound(MVar=mvar):
        result = convert(Expression(log, [Element(log, "a", coeff)]))
    if splits:
        assert result[0] == ("MVar", np.dtype(object), ["var a"])
    else:
        assert result == (None, None)


@pytest.mark.parametrize("terms, splits", [(1, True), (1.0, True), (np.int64(1), True),
                                           (0, False), (2, False), ("1", False)])
def test_number_of_terms(terms, splits):
    log = Recorder()
    with rebound(MVar=mvar):
        result = convert(Expression(log, [Element(log, "a", terms=terms)]))
    assert (result != (None, None)) is splits


def test_the_test_stops_at_the_first_failing_element():
    log = Recorder()
    elements = [Element(log, "a"), Element(log, "b", terms=2), Element(log, "c")]
    assert convert(Expression(log, elements)) == (None, None)
    assert log.calls == [("size", "a"), ("getCoeff", "a", 0), ("size", "b")]
    log.calls.clear()
    elements = [Element(log, "a", coeff=3.0), Element(log, "b")]
    assert convert(Expression(log, elements)) == (None, None)
    assert log.calls == [("size", "a"), ("getCoeff", "a", 0)]


def test_calls_in_order_when_the_expression_splits():
    log = Recorder()
    full = Expression(log, [Element(log, "a"), Element(log, "b")])
    compact = Expression(log, [], compact=1, full=full)
    with rebound(MVar=mvar):
        predvar, predval = convert(compact)
    assert predvar == ("MVar", np.dtype(object), ["var a", "var b"])
    assert predval.tolist() == [-0.0, -1.0]
    assert log.calls == [
        ("_to_full",),
        ("size", "a"), ("getCoeff", "a", 0), ("size", "b"), ("getCoeff", "b", 0),
        ("getVar", "a", 0), ("getVar", "b", 0),
        ("getConstant", id(full)),
    ]


def test_vectorize_gets_a_new_lambda_and_object_otypes(monkeypatch):
    seen = []
    real = np.vectorize

    def spy(fn, **kwargs):
        seen.append((fn, kwargs))
        return real(fn, **kwargs)

    monkeypatch.setattr(np, "vectorize", spy)
    log = Recorder()
    with rebound(MVar=mvar):
        convert(Expression(log, [Element(log, "a")]))
        convert(Expression(log, [Element(log, "a")]))
    (first, kwargs), (second, _) = seen
    assert kwargs == {"otypes": ["object"]}
    assert first is not second
    assert first.__name__ == "<lambda>"
    assert first.__qualname__ == "_convert_mle_to_predvar_predval.<locals>.<lambda>"
    assert first.__module__ == "vantropy._quarnel"
    assert first(Element(log, "z")) == "var z"


def test_result_is_the_pair_of_the_matrix_and_the_negated_constant():
    class Negatable:
        def __neg__(self):
            return "negated"

    log = Recorder()
    expression = Expression(log, [Element(log, "a")])
    expression.getConstant = Negatable
    with rebound(MVar=lambda arr: "the matrix"):
        assert convert(expression) == ("the matrix", "negated")


@pytest.mark.parametrize("mle, error", [
    (object(), AttributeError),
    (type("NoArray", (), {"_is_compact": False})(), AttributeError),
    (type("BadFlag", (), {"_is_compact": property(lambda s: 1 / 0)})(), ZeroDivisionError),
    (type("NoElements", (), {"_is_compact": False, "_learr": 5})(), AttributeError),
])
def test_errors_propagate(mle, error):
    with pytest.raises(error):
        convert(mle)


def test_an_element_without_methods():
    log = Recorder()
    expression = Expression(log, [object()])
    with pytest.raises(AttributeError):
        convert(expression)
