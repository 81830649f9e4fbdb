"""_simpleexpr and the _extract_*_cindex family: which arguments they
accept, by which kind of type test, what they call, and their errors."""
import sys

import numpy as np
import pytest

import vantropy._quarnel as quarnel
from vantropy._core import (Constr, GenConstr, LinExpr, Model, QConstr, QuadExpr, SOS, Var,
                            VantroError)
from vantropy._matrixapi import MConstr, MGenConstr, MLinExpr, MQConstr, MQuadExpr, MVar
from vantropy._vnt import VNT

from quarnel_support import Marked, Recorder, claimed, disguised_as, model, rebound, unbound  # noqa: F401

assertions_only = pytest.mark.skipif(sys.flags.optimize > 0, reason="needs assertions")


@pytest.fixture
def xy(model):
    return model.addVar(name="x"), model.addVar(name="y")


# ---- _simpleexpr ----

def test_number_gives_a_new_normalised_linexpr():
    result = quarnel._simpleexpr(3)
    assert type(result) is LinExpr
    assert (result.size(), result.getConstant()) == (0, 3.0)


def test_variable_gives_a_linexpr_of_it(xy):
    x, _ = xy
    result = quarnel._simpleexpr(x)
    assert type(result) is LinExpr
    assert (result.size(), result.getVar(0), result.getCoeff(0)) == (1, x, 1.0)


class LinSub(LinExpr):
    pass


class QuadSub(QuadExpr):
    pass


@pytest.mark.parametrize("make", [lambda e: e, LinSub], ids=["LinExpr", "subclass"])
def test_linear_expression_is_copied_and_normalised(xy, make):
    x, _ = xy
    arg = make(x + x + 1)
    result = quarnel._simpleexpr(arg)
    assert type(result) is LinExpr and result is not arg
    assert (result.size(), result.getCoeff(0), result.getConstant()) == (1, 2.0, 1.0)
    assert arg.size() == 2  # the argument itself is left alone


@pytest.mark.parametrize("make", [lambda q: q, QuadSub], ids=["QuadExpr", "subclass"])
def test_quadratic_expression_without_quadratic_terms_gives_its_linear_part(xy, make):
    x, _ = xy
    arg = make(x + x)
    result = quarnel._simpleexpr(arg)
    assert type(result) is LinExpr
    assert (result.size(), result.getCoeff(0)) == (1, 2.0)


@pytest.mark.parametrize("make", [lambda q: q, QuadSub], ids=["QuadExpr", "subclass"])
def test_quadratic_expression_is_copied_and_normalised(xy, make):
    x, y = xy
    arg = make(x * y + x * y)
    result = quarnel._simpleexpr(arg)
    assert type(result) is QuadExpr and result is not arg
    assert (result.size(), result.getCoeff(0)) == (1, 2.0)
    assert arg.size() == 2


@pytest.mark.parametrize("matrix", [
    lambda x: MVar.fromlist([x]),
    lambda x: MLinExpr(np.array([x + x], dtype=object)),
    lambda x: Marked("MVar", item=lambda: x + x),
    lambda x: Marked("MLinExpr", item=lambda: x + x),
], ids=["MVar", "MLinExpr", "MVar-hook", "MLinExpr-hook"])
def test_one_element_matrix_gives_its_element_wrapped_without_normalising(xy, matrix):
    x, _ = xy
    with rebound(MVar=claimed("MVar"), MLinExpr=claimed("MLinExpr")) if isinstance(
            matrix(x), Marked) else rebound():
        result = quarnel._simpleexpr(matrix(x))
    assert type(result) is LinExpr
    assert all(result.getVar(i) is x for i in range(result.size()))
    assert result.size() in (1, 2)
    if not isinstance(matrix(x), MVar):
        assert result.size() == 2  # x + x stays two terms: no _normalize()


class Element:
    """A quadratic expression as _simpleexpr sees the element of a matrix."""

    def __init__(self, log, size, name="element"):
        self.log, self._size, self.name = log, size, name
        self.linear = None

    def size(self):
        self.log("size", self.name)
        return self._size

    def getLinExpr(self):
        self.log("getLinExpr", self.name)
        self.linear = Element(self.log, 0, "linear part")
        return self.linear

    def _normalize(self):
        self.log("_normalize", self.name)
        return "ignored"


def matrix_quadratic(element, compact=False):
    return Marked("MQuadExpr", _is_compact=compact, item=lambda: element)


@pytest.mark.parametrize("size", [0, 0.0, np.int64(0), False])
def test_matrix_quadratic_without_terms_gives_the_linear_part_itself(size):
    log = Recorder()
    element = Element(log, size)
    with rebound(MQuadExpr=claimed("MQuadExpr")):
        result = quarnel._simpleexpr(matrix_quadratic(element))
    assert result is element.linear
    assert log.calls == [("size", "element"), ("getLinExpr", "element"),
                         ("_normalize", "linear part")]


@pytest.mark.parametrize("size", [1, 2.5, "0", np.int64(3)])
def test_matrix_quadratic_with_terms_gives_the_element_itself(size):
    log = Recorder()
    element = Element(log, size)
    with rebound(MQuadExpr=claimed("MQuadExpr")):
        result = quarnel._simpleexpr(matrix_quadratic(element))
    assert result is element
    assert log.calls == [("size", "element"), ("_normalize", "element")]


def test_real_matrix_quadratic(xy):
    x, y = xy
    quad = MQuadExpr(np.array([x * y + x * y], dtype=object))
    result = quarnel._simpleexpr(quad)
    assert result is quad._learr.item()
    assert result.size() == 1


@assertions_only
def test_compact_matrix_quadratic_is_refused():
    with rebound(MQuadExpr=claimed("MQuadExpr")):
        with pytest.raises(AssertionError) as info:
            quarnel._simpleexpr(matrix_quadratic(Element(Recorder(), 1), compact=True))
    assert info.value.args == ()


@assertions_only
def test_matrix_quadratic_without_compact_flag_raises_attribute_error():
    with rebound(MQuadExpr=claimed("MQuadExpr")):
        with pytest.raises(AttributeError):
            quarnel._simpleexpr(Marked("MQuadExpr", item=lambda: None))


@pytest.mark.parametrize("arg", ["text", [], None, {}, disguised_as(LinExpr),
                                 disguised_as(QuadExpr)],
                         ids=["str", "list", "None", "dict", "looks-like-LinExpr",
                              "looks-like-QuadExpr"])
def test_anything_else_is_refused(arg):
    with pytest.raises(VantroError) as info:
        quarnel._simpleexpr(arg)
    assert info.value.errno == -1
    assert info.value.message == "Unable to convert argument to an expression"


def test_variable_by_full_isinstance():
    # Taken for a variable, the object reaches the LinExpr constructor, which
    # refuses it: a TypeError instead of the conversion error.
    with pytest.raises(TypeError):
        quarnel._simpleexpr(disguised_as(Var))
    with rebound(Var=claimed("Var")):
        with pytest.raises(TypeError):
            quarnel._simpleexpr(Marked("Var"))
        with pytest.raises(VantroError):
            quarnel._simpleexpr(Marked("Other"))


def test_scalar_test_decides_first_and_names_are_looked_up_only_when_reached(xy):
    x, _ = xy
    with unbound("Var"), unbound("MVar"), unbound("MQuadExpr"):
        assert quarnel._simpleexpr(2.5).getConstant() == 2.5
    with unbound("MVar"):
        assert quarnel._simpleexpr(x).size() == 1
    seen = []
    with rebound(_isscalar=lambda a: seen.append(a) or 0):
        assert quarnel._simpleexpr(x).size() == 1
    assert seen == [x]


def test_errors_of_the_argument_propagate(xy):
    x, y = xy
    with pytest.raises(ValueError):
        quarnel._simpleexpr(MVar.fromlist([x, y]))  # item() of two elements
    with rebound(_isscalar=lambda a: 1 / 0):
        with pytest.raises(ZeroDivisionError):
            quarnel._simpleexpr(3)


# ---- the _extract_*_cindex family ----

class Owner:
    """A model that owns what it is told to and logs each question."""

    def __init__(self, owns):
        self.owns, self.asked = owns, []

    def _owns(self, element):
        self.asked.append(element)
        return self.owns


def element_with(cls, index):
    element = cls()
    element._index = index
    return element


FAMILY = [
    # function, element class, matrix class, wrong-kind suffix, not-in-model message
    (quarnel._extract_varlike_cindex, Var, MVar, " is not a variable", "Variable not in model"),
    (quarnel._extract_constrlike_cindex, Constr, MConstr, " is not a constraint",
     "Constraint not in model"),
    (quarnel._extract_qconstrlike_cindex, QConstr, MQConstr, " is not a quadratic constraint",
     "Constraint not in model"),
    (quarnel._extract_genconstrlike_cindex, GenConstr, MGenConstr,
     " is not a general constraint", "General constraint not in model"),
    (quarnel._extract_soslike_cindex, SOS, None, " is not an SOS constraint", "SOS not in model"),
]
IDS = ["var", "constr", "qconstr", "genconstr", "sos"]


@pytest.mark.parametrize("fn, cls, matrix, suffix, message", FAMILY, ids=IDS)
def test_index_of_an_element_in_the_model(model, fn, cls, matrix, suffix, message):
    add = {Var: model.addVar, Constr: model.addConstr, QConstr: model.addQConstr,
           GenConstr: model.addGenConstr, SOS: model.addSOS}[cls]
    add(), add()
    element = add()
    assert fn(element) == 2
    assert fn(element, model) == 2
    assert fn(model=model, source=element) == 2
    other = Model("other")
    with pytest.raises(VantroError) as info:
        fn(element, other)
    other.dispose()
    assert (info.value.errno, info.value.message) == (VNT.ERROR_NOT_IN_MODEL, message)
    model.remove(element)
    with pytest.raises(VantroError) as info:
        fn(element)
    assert info.value.message == message


@pytest.mark.parametrize("fn, cls, matrix, suffix, message", FAMILY, ids=IDS)
def test_index_is_returned_as_the_same_object(fn, cls, matrix, suffix, message):
    index = 10 ** 30
    element = element_with(cls, index)
    assert fn(element) is index
    assert fn(element, Owner(True)) is index
    assert fn(element_with(cls, 1.5)) == 1.5


@pytest.mark.parametrize("fn, cls, matrix, suffix, message", FAMILY, ids=IDS)
@pytest.mark.parametrize("index", [-1, -2, -0.5, -10 ** 30])
def test_negative_index_is_not_in_the_model(fn, cls, matrix, suffix, message, index):
    owner = Owner(True)
    with pytest.raises(VantroError) as info:
        fn(element_with(cls, index), owner)
    assert (info.value.errno, info.value.message) == (VNT.ERROR_NOT_IN_MODEL, message)
    # Variables ask the model first; the constraints only when the sign passed.
    assert len(owner.asked) == (1 if cls is Var else 0)


@pytest.mark.parametrize("fn, cls, matrix, suffix, message", FAMILY, ids=IDS)
def test_a_model_that_does_not_own_the_element(fn, cls, matrix, suffix, message):
    owner = Owner(0)
    element = element_with(cls, 4)
    with pytest.raises(VantroError) as info:
        fn(element, owner)
    assert info.value.message == message
    assert owner.asked == [element]


@pytest.mark.parametrize("fn, cls, matrix, suffix, message",
                         [f for f in FAMILY if f[2] is not None], ids=IDS[:4])
def test_one_element_matrix_object_gives_its_element(fn, cls, matrix, suffix, message):
    element = element_with(cls, 3)
    owner = Owner(True)
    assert fn(matrix(np.array([element], dtype=object)), owner) == 3
    assert owner.asked == [element]


@pytest.mark.parametrize("fn, cls, matrix, suffix, message", FAMILY, ids=IDS)
@pytest.mark.parametrize("source, text", [
    ("abc", "abc"), (5, "5"), (2.5, "2.5"), (None, "None"), (True, "True"),
])
def test_wrong_kind_is_a_type_error(fn, cls, matrix, suffix, message, source, text):
    with pytest.raises(TypeError) as info:
        fn(source, Owner(True))
    assert str(info.value) == text + suffix


@pytest.mark.parametrize("fn, cls, matrix, suffix, message", FAMILY, ids=IDS)
def test_wrong_kind_message_uses_the_format_of_the_argument(fn, cls, matrix, suffix, message):
    class Formatted:
        def __format__(self, spec):
            return f"<formatted {spec!r}>"

    with pytest.raises(TypeError) as info:
        fn(Formatted())
    assert str(info.value) == "<formatted ''>" + suffix


def test_element_of_another_kind_is_named_by_its_text(model):
    constr = model.addConstr(name="c1")
    with pytest.raises(TypeError) as info:
        quarnel._extract_varlike_cindex(constr)
    assert str(info.value) == "c1 is not a variable"


def test_sos_accepts_no_matrix_object():
    with pytest.raises(TypeError) as info:
        quarnel._extract_soslike_cindex(MVar(np.array([Var()], dtype=object)))
    assert str(info.value) == "<vantropy.MVar shape=(1,)> is not an SOS constraint"


@pytest.mark.parametrize("fn, cls, matrix, suffix, message", FAMILY, ids=IDS)
def test_element_class_by_full_isinstance(fn, cls, matrix, suffix, message):
    sub = type("Sub", (cls,), {})
    assert fn(element_with(sub, 6)) == 6
    assert fn(disguised_as(cls, __cindex__=lambda self: 7)) == 7
    name = cls.__name__
    with rebound(**{name: claimed(name)}):
        assert fn(Marked(name, __cindex__=lambda: 8)) == 8


@pytest.mark.parametrize("fn, cls, matrix, suffix, message",
                         [f for f in FAMILY if f[2] is not None], ids=IDS[:4])
def test_matrix_class_by_full_isinstance(fn, cls, matrix, suffix, message):
    element = element_with(cls, 9)
    name = matrix.__name__
    with rebound(**{name: claimed(name)}):
        assert fn(Marked(name, item=lambda: element)) == 9


def test_error_number_is_read_from_vnt_at_each_raise():
    class Codes:
        ERROR_NOT_IN_MODEL = 42

    with rebound(VNT=Codes):
        with pytest.raises(VantroError) as info:
            quarnel._extract_constrlike_cindex(element_with(Constr, -1))
    assert info.value.errno == 42
    with unbound("VNT"):
        assert quarnel._extract_constrlike_cindex(element_with(Constr, 0)) == 0
        with pytest.raises(NameError):
            quarnel._extract_constrlike_cindex(element_with(Constr, -1))


def test_failures_of_the_element_and_model_propagate():
    class Broken(Var):
        def __cindex__(self):
            raise KeyError("index")

    class Incomparable:
        def __lt__(self, other):
            raise ArithmeticError("compare")

    with pytest.raises(KeyError):
        quarnel._extract_varlike_cindex(Broken())
    with pytest.raises(ArithmeticError):
        quarnel._extract_soslike_cindex(element_with(SOS, Incomparable()))

    class Refusing:
        def _owns(self, element):
            raise LookupError("owns")

    with pytest.raises(LookupError):
        quarnel._extract_genconstrlike_cindex(element_with(GenConstr, 1), Refusing())
