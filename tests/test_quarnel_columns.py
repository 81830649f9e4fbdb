"""_map_coldata_to_vars and _wheres_bitvector."""
import collections
import functools
import operator

import numpy as np
import pytest
from hypothesis import given, strategies as st

import vantropy._quarnel as quarnel
from vantropy._core import Var, tupledict
from vantropy._matrixapi import MVar

from pyref import model as pyref
from quarnel_support import Marked, claimed, disguised_as, model, rebound  # noqa: F401


def var_at(index):
    v = Var()
    v._index = index
    return v


class Matrix(MVar):
    """A matrix variable that logs what it is asked for."""

    def __init__(self, tag):
        self.tag, self.asked = tag, []

    def _indexed_data(self, coldata, dtype):
        self.asked.append((coldata, dtype))
        return (self.tag, "data")


COLDATA = [f"column {i}" for i in range(8)]


# ---- _map_coldata_to_vars ----

def test_single_variable_gives_its_entry():
    entry = object()
    coldata = [None, None, None, entry]
    assert quarnel._map_coldata_to_vars(coldata, var_at(3)) is entry
    assert quarnel._map_coldata_to_vars(coldata, var_at(3), dtype="ignored") is entry
    assert quarnel._map_coldata_to_vars({3: "by key"}, var_at(3)) == "by key"


def test_matrix_variable_gives_its_own_selection():
    m = Matrix("m")
    assert quarnel._map_coldata_to_vars(COLDATA, m, float) == ("m", "data")
    assert m.asked == [(COLDATA, float)]


def test_real_model_variables(model):
    xs = [model.addVar() for _ in range(4)]
    coldata = np.arange(4.0) * 10
    mvar = MVar.fromlist(xs[1:3])
    assert quarnel._map_coldata_to_vars(coldata, xs[2]) == 20.0
    assert quarnel._map_coldata_to_vars(coldata, mvar, float).tolist() == [10.0, 20.0]
    assert quarnel._map_coldata_to_vars(coldata, {"a": xs[3]}) == {"a": 30.0}


@pytest.mark.parametrize("make", [list, tuple, lambda vs: np.array(vs, dtype=object)],
                         ids=["list", "tuple", "array"])
def test_sequence_of_variables_gives_a_list_in_order(make):
    result = quarnel._map_coldata_to_vars(COLDATA, make([var_at(5), var_at(1), var_at(5)]))
    assert type(result) is list
    assert result == ["column 5", "column 1", "column 5"]


@pytest.mark.parametrize("empty", [[], (), np.array([], dtype=object)])
def test_empty_sequence_gives_a_new_empty_list(empty):
    result = quarnel._map_coldata_to_vars(COLDATA, empty)
    assert result == [] and type(result) is list and result is not empty


@pytest.mark.parametrize("make", [dict, tupledict, collections.OrderedDict],
                         ids=["dict", "tupledict", "OrderedDict"])
def test_dictionary_of_variables_gives_a_tupledict_under_the_same_keys(make):
    v = make([((1, "a"), var_at(2)), ("b", var_at(0))])
    result = quarnel._map_coldata_to_vars(COLDATA, v)
    assert type(result) is tupledict
    assert list(result.items()) == [((1, "a"), "column 2"), ("b", "column 0")]


def test_empty_dictionary_gives_an_empty_tupledict():
    result = quarnel._map_coldata_to_vars(COLDATA, {})
    assert type(result) is tupledict and result == {}


def test_sequence_of_matrix_variables():
    m1, m2 = Matrix(1), Matrix(2)
    assert quarnel._map_coldata_to_vars(COLDATA, [m1, m2], "f8") == [(1, "data"), (2, "data")]
    assert m1.asked == m2.asked == [(COLDATA, "f8")]
    assert quarnel._map_coldata_to_vars(COLDATA, {"k": m1}) == {"k": (1, "data")}


def test_first_element_decides_for_all():
    with pytest.raises(AttributeError, match="__cindex__"):
        quarnel._map_coldata_to_vars(COLDATA, [var_at(0), Matrix(1)])
    with pytest.raises(AttributeError, match="_indexed_data"):
        quarnel._map_coldata_to_vars(COLDATA, [Matrix(1), var_at(0)])


@pytest.mark.parametrize("v, error", [
    (iter([var_at(0)]), TypeError),        # no len
    ({var_at(0)}, TypeError),              # not subscriptable
    (disguised_as(dict), TypeError),       # a dict only to isinstance: no len
    (5, TypeError),
    ([var_at(9)], IndexError),             # beyond the column data
])
def test_errors_propagate(v, error):
    with pytest.raises(error):
        quarnel._map_coldata_to_vars(COLDATA, v)


@pytest.mark.parametrize("kind", ["subclass", "disguise", "hook"])
def test_variable_and_matrix_by_full_isinstance(kind):
    if kind == "subclass":
        var, matrix, names = type("V", (Var,), {})(), Matrix("m"), {}
        var._index = 4
    elif kind == "disguise":
        var = disguised_as(Var, __cindex__=lambda self: 4)
        matrix = disguised_as(MVar, _indexed_data=lambda self, c, d: ("m", "data"))
        names = {}
    else:
        var = Marked("Var", __cindex__=lambda: 4)
        matrix = Marked("MVar", _indexed_data=lambda c, d: ("m", "data"))
        names = {"Var": claimed("Var"), "MVar": claimed("MVar")}
    with rebound(**names):
        assert quarnel._map_coldata_to_vars(COLDATA, var) == "column 4"
        assert quarnel._map_coldata_to_vars(COLDATA, matrix) == ("m", "data")
        assert quarnel._map_coldata_to_vars(COLDATA, [var, var]) == ["column 4"] * 2


def test_result_type_is_looked_up_at_call_time():
    with rebound(tupledict=list):
        assert quarnel._map_coldata_to_vars(COLDATA, {"a": var_at(1)}) == [("a", "column 1")]


# ---- _wheres_bitvector ----

def outcome(fn, *args):
    try:
        result = fn(*args)
    except Exception as e:  # noqa: BLE001 - compared with the plain version
        return "raised", type(e)
    return result, type(result)


@given(st.lists(st.integers(0, 200)))
def test_bitvector_matches_plain_python(wheres):
    assert quarnel._wheres_bitvector(wheres) == pyref._wheres_bitvector(wheres)


codes = st.one_of(st.integers(-3, 140), st.booleans(), st.integers(0, 62).map(np.int64),
                  st.floats(0, 3), st.none())


@given(st.lists(codes, max_size=6))
def test_bitvector_of_mixed_codes_matches_plain_python(wheres):
    assert outcome(quarnel._wheres_bitvector, wheres) == outcome(pyref._wheres_bitvector, wheres)


@pytest.mark.parametrize("wheres, mask", [
    ([], 0), ([0], 1), ([0, 3], 9), ([3, 0, 3], 9), ([100], 2 ** 100), ([True], 2),
    ([63, 64, 0], 2 ** 63 + 2 ** 64 + 1), ((5, 70, 5, 70), 2 ** 5 + 2 ** 70),
    ({2, 1}, 6), ({0: "a", 4: "b"}, 17), (range(3), 7),
])
def test_bitvector(wheres, mask):
    result = quarnel._wheres_bitvector(wheres)
    assert result == mask and type(result) is int


def test_bitvector_consumes_a_generator_once():
    pulled = []

    def codes():
        for w in (1, 2):
            pulled.append(w)
            yield w

    assert quarnel._wheres_bitvector(codes()) == 6
    assert pulled == [1, 2]


@pytest.mark.parametrize("wheres, error, message", [
    ([1, -1], ValueError, "negative shift count"),
    ([1.0], TypeError, None),
    (["a"], TypeError, None),
    ([None], TypeError, None),
    (5, TypeError, "'int' object is not iterable"),
])
def test_bitvector_errors(wheres, error, message):
    with pytest.raises(error) as info:
        quarnel._wheres_bitvector(wheres)
    if message:
        assert str(info.value) == message


def test_bitvector_error_in_the_middle_of_the_iteration():
    def codes():
        yield 1
        raise KeyError("midway")

    with pytest.raises(KeyError):
        quarnel._wheres_bitvector(codes())


class Stub:
    def __init__(self, **attrs):
        self.__dict__.update(attrs)


@pytest.mark.parametrize("names, wheres, mask", [
    ({"operator": Stub(or_=operator.xor, lshift=operator.lshift)}, [3, 3, 1], 2),
    ({"operator": Stub(or_=operator.or_, lshift=operator.mul)}, [3, 2], 3),
    ({"functools": Stub(reduce=lambda f, it, start: max(it), partial=functools.partial)},
     [3, 5, 1], 32),
    ({"functools": Stub(reduce=functools.reduce,
                        partial=lambda f, first: lambda w: f(first + 1, w))}, [0, 2], 10),
])
def test_bitvector_follows_rebound_library_modules(names, wheres, mask):
    with rebound(**names):
        assert quarnel._wheres_bitvector(wheres) == mask
