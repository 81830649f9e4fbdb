"""The class _listify: index elements from index arguments, flattening,
and per-element lists from keyword arguments."""
import collections
import collections.abc
import itertools

import numpy as np
import pytest
from hypothesis import given, strategies as st

import vantropy._quarnel as quarnel
from vantropy._core import tupledict

from quarnel_support import claimed, disguised_as, rebound

Point = collections.namedtuple("Point", "a b")


# ---- the constructor ----

@pytest.mark.parametrize("args, index", [
    ((3,), [0, 1, 2]),
    ((0,), []),
    ((-2,), []),
    ((["a", "b"], 2), [("a", 0), ("a", 1), ("b", 0), ("b", 1)]),
    (([(1, "a"), (2, "b")], 3),
     [(1, "a", 0), (1, "a", 1), (1, "a", 2), (2, "b", 0), (2, "b", 1), (2, "b", 2)]),
    (([((1, 2), "a")], 1), [((1, 2), "a", 0)]),              # one level only
    (([Point(1, 2)], 2), [(Point(1, 2), 0), (Point(1, 2), 1)]),  # a tuple subclass stays whole
    (([(1, 2), (3, 4)],), [(1, 2), (3, 4)]),                  # one argument: elements as they are
    ((2, []), []),
    ((2, 1, 2), [(0, 0, 0), (0, 0, 1), (1, 0, 0), (1, 0, 1)]),
    (("ab",), ["a", "b"]),
    ((range(2), (i for i in "xy")), [(0, "x"), (0, "y"), (1, "x"), (1, "y")]),
    (({"k": 1, "j": 2},), ["k", "j"]),
])
def test_index_elements(args, index):
    obj = quarnel._listify(*args)
    assert obj.index == index
    assert type(obj.index) is list
    assert obj.len == len(index)
    assert obj.kwargs == {}


class MyInt(int):
    pass


@pytest.mark.parametrize("args", [(True,), (MyInt(3),), (np.int64(3),), (2.5,), (2, 2.5),
                                  (False, 2)])
def test_only_an_exact_int_is_a_count(args):
    with pytest.raises(TypeError):
        quarnel._listify(*args)


def test_no_index_argument():
    with pytest.raises(IndexError) as info:
        quarnel._listify(k=1)
    assert str(info.value) == "list index out of range"


def test_attributes_are_set_in_order_in_the_instance_dict():
    obj = quarnel._listify(2, a=1, b=[2])
    assert list(vars(obj)) == ["index", "kwargs", "len"]
    assert obj.kwargs == {"a": 1, "b": [2]}
    other = quarnel._listify(2, a=1, b=[2])
    assert other.kwargs is not obj.kwargs


def test_length_is_read_back_through_the_attribute():
    class Padded(quarnel._listify):
        @property
        def index(self):
            return self._index + ["pad"]

        @index.setter
        def index(self, value):
            self._index = value

    obj = Padded(2)
    assert obj.len == 3


def test_rebound_itertools_is_used_for_several_arguments():
    class Pairs:
        @staticmethod
        def product(*sets):
            return [("p", (1, 2)), ["q", 3]]

    with rebound(itertools=Pairs):
        assert quarnel._listify(1, 1).index == [("p", 1, 2), ("q", 3)]
        assert quarnel._listify(3).index == [0, 1, 2]


# ---- flatten ----

def expected_flatten(x):
    """The flattening rule, written plainly."""
    if any(isinstance(e, str) for e in x):
        return x
    try:
        y = list(itertools.chain(*x))
        if y == x:
            return x
        return expected_flatten(y)
    except TypeError:
        return x


leaves = st.one_of(st.integers(0, 3), st.text(max_size=2), st.none())
nested = st.recursive(leaves, lambda inner: st.one_of(st.lists(inner, max_size=3),
                                                      st.tuples(inner, inner)), max_leaves=12)


@given(st.one_of(st.lists(nested, max_size=4), st.tuples(nested, nested)))
def test_flatten_matches_plain_python(x):
    expected = expected_flatten(x)
    result = quarnel._listify(1).flatten(x)
    assert result == expected
    assert (result is x) == (expected is x)


@pytest.mark.parametrize("x, expected", [
    ([[1, 2], [3]], [1, 2, 3]),
    ([[[1], [2]], [[3]]], [1, 2, 3]),
    ([["a", "b"], ["c"]], ["a", "b", "c"]),
    ([[], []], []),
    ((((1, 2),)), [1, 2]),
    ([(1, 2), range(3)], [1, 2, 0, 1, 2]),
    ([{"k": 1}, {"j": 2}], ["k", "j"]),
])
def test_flatten(x, expected):
    result = quarnel._listify(1).flatten(x)
    assert result == expected and type(result) is list
    assert result is not x


@pytest.mark.parametrize("x", [[1, [2, 3]], ["ab", "c"], [], ("a",), [[1], 2], [[1], "a"],
                               [1, 2, 3]])
def test_flatten_returns_the_argument_itself(x):
    assert quarnel._listify(1).flatten(x) is x


class Text(str):
    pass


def test_flatten_stops_at_a_str_subclass_but_not_at_a_disguise():
    x = [Text("ab"), ["c"]]
    assert quarnel._listify(1).flatten(x) is x
    disguise = disguised_as(str, __iter__=lambda self: iter([1, 2]))
    assert isinstance(disguise, str)
    assert quarnel._listify(1).flatten([disguise, [3]]) == [1, 2, 3]


def test_flatten_of_a_non_iterable_raises():
    with pytest.raises(TypeError):
        quarnel._listify(1).flatten(5)


def test_flatten_recurses_through_the_method():
    calls = []

    class Counting(quarnel._listify):
        def flatten(self, x):
            calls.append(x)
            return super().flatten(x)

    assert Counting(1).flatten([[[1]], [[2]]]) == [1, 2]
    assert calls == [[[[1]], [[2]]], [[1], [2]], [1, 2]]


def test_flatten_absorbs_only_type_error():
    class Sour:
        def __iter__(self):
            raise ValueError("sour")

    class Odd(list):
        def __eq__(self, other):
            raise TypeError("no comparison")

    with pytest.raises(ValueError):
        quarnel._listify(1).flatten([[1], Sour()])
    x = Odd([[1], [2]])
    assert quarnel._listify(1).flatten(x) is x


def test_flatten_uses_the_chain_it_finds_at_call_time():
    class Chain:
        @staticmethod
        def chain(*parts):
            return iter(["joined"] * len(parts))

    with rebound(itertools=Chain):
        # one level through the stand-in chain, then the strings stop it
        assert quarnel._listify(1).flatten([[1], [2], [3]]) == ["joined"] * 3


def test_flatten_consumes_each_level_as_iteration_does():
    x = [iter([1, 2]), iter([3])]
    assert quarnel._listify(1).flatten(x) == [1, 2, 3]


# ---- listify ----

class FancyDict(dict):
    def get(self, key, default=None):
        return ("got", key)


@pytest.mark.parametrize("kwargs, expected", [
    ({}, [0.0, 0.0, 0.0]),
    ({"k": {1: 5.0}}, [0.0, 5.0, 0.0]),
    ({"k": tupledict([(2, "two")])}, [0.0, 0.0, "two"]),
    ({"k": FancyDict()}, [("got", 0), ("got", 1), ("got", 2)]),
    ({"k": "x"}, ["x", "x", "x"]),
    ({"k": Text("xy")}, ["xy", "xy", "xy"]),
    ({"k": None}, [None, None, None]),
    ({"k": 7}, [7, 7, 7]),
    ({"k": (4, 5)}, [4, 5]),
    ({"k": [[1, 2], [3]]}, [1, 2, 3]),
    ({"k": [[1], 2]}, [[1], 2]),
    ({"k": (c for c in "ab")}, ["a", "b"]),
    ({"other": 1}, [0.0, 0.0, 0.0]),
])
def test_listify(kwargs, expected):
    obj = quarnel._listify(3, **kwargs)
    result = obj.listify("k", 0.0)
    assert result == expected and type(result) is list


def test_listify_repeats_the_same_object():
    value = object()
    result = quarnel._listify(2, k=value).listify("k", None)
    assert result[0] is value and result[1] is value


def test_listify_reads_the_attributes_at_each_call():
    obj = quarnel._listify(3, k=1)
    obj.len = 2
    assert obj.listify("k", 0) == [1, 1]
    obj.index = ["a", "b"]
    obj.kwargs = {"k": {"b": 9}}
    assert obj.listify("k", 0) == [0, 9]
    obj.kwargs = collections.defaultdict(int, k="s")
    assert obj.listify("k", 0) == ["s", "s"]
    assert obj.listify("nope", None) == [None, None]  # defaultdict.get adds nothing
    obj.len = 10 ** 30
    with pytest.raises((OverflowError, MemoryError)):
        obj.listify("k", 0)


def test_listify_by_tuple_keys():
    obj = quarnel._listify(["a", "b"], 2, cost={("b", 1): 3})
    assert obj.listify("cost", 0) == [0, 0, 0, 3]


def test_listify_is_iterable_by_full_isinstance():
    obj = quarnel._listify(3, k=(4, 5))
    with rebound(Iterable=claimed("Iterable")):
        assert obj.listify("k", 0) == [(4, 5)] * 3
    assert obj.listify("k", 0) == [4, 5]

    class Registered:
        def __iter__(self):
            return iter([[1], [2]])

    assert isinstance(Registered(), collections.abc.Iterable)
    assert quarnel._listify(1, k=Registered()).listify("k", 0) == [1, 2]


@pytest.mark.parametrize("cls", [dict, str])
def test_listify_tests_dict_and_str_by_type_not_by_isinstance(cls):
    disguise = disguised_as(cls, __iter__=lambda self: iter([[1], [2]]))
    assert isinstance(disguise, cls)
    # neither looked up per element nor repeated: an iterable, flattened
    assert quarnel._listify(3, k=disguise).listify("k", 0) == [1, 2]


def test_listify_flattens_through_the_method():
    class Keeping(quarnel._listify):
        def flatten(self, x):
            return ("kept", x)

    assert Keeping(2, k=[[1]]).listify("k", 0) == ("kept", [[1]])


@pytest.mark.parametrize("kwargs, error", [
    ({"k": {0: 1}}, TypeError),  # the index holds an unhashable element
])
def test_listify_errors(kwargs, error):
    obj = quarnel._listify([[0]], **kwargs)
    with pytest.raises(error):
        obj.listify("k", 0)
    obj.kwargs = None
    with pytest.raises(AttributeError):
        obj.listify("k", 0)
    obj.kwargs = {}
    with pytest.raises(TypeError):
        obj.listify([], 0)  # an unhashable name
