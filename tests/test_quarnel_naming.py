"""Element names: _indexname, simplify_tuple and _nd_indexed_names, checked
against a few lines of plain Python and on their edge cases."""
import sys
import warnings

import numpy as np
import pytest
from hypothesis import given, strategies as st

import vantropy._quarnel as quarnel

from pyref import model as pyref
from interpreter import ADDRESS_SPACE, run_python
from quarnel_support import rebound, unbound

assertions = sys.flags.optimize == 0
assertions_only = pytest.mark.skipif(not assertions, reason="needs assertions")


def expected_indexname(name, index):
    """What the element name is, written plainly."""
    if not name:
        return ""
    try:
        if assertions and isinstance(index, str):
            raise AssertionError
        text = ",".join(map(str, index))
    except (TypeError, AssertionError):
        text = str(index)
    return str(name) + "[" + text + "]"


scalars = st.one_of(st.integers(), st.text(max_size=4), st.floats(allow_nan=False),
                    st.none(), st.booleans())
indices = st.one_of(scalars,
                    st.tuples(),
                    st.lists(scalars, max_size=5).map(tuple),
                    st.lists(st.one_of(scalars, st.tuples(st.integers(), st.text(max_size=2))),
                             max_size=5))
names = st.one_of(st.text(max_size=6), st.none(), st.integers(-2, 2))


@given(names, indices)
def test_indexname_matches_plain_python(name, index):
    assert quarnel._indexname(name, index) == expected_indexname(name, index)


@pytest.mark.parametrize("name, index, expected", [
    ("x", (1, 2), "x[1,2]"),
    ("x", 5, "x[5]"),
    ("x", [1, "a"], "x[1,a]"),
    ("x", (), "x[]"),
    ("x", ((1, 2), 3), "x[(1, 2),3]"),
    ("x", (i for i in (4, 5)), "x[4,5]"),
    ("ξ", ("β", 1), "ξ[β,1]"),
    ("x", ("😀",), "x[😀]"),
    (7, (1,), "7[1]"),
    (None, (1,), ""),
    ("", (1,), ""),
    (0, "anything", ""),
    ("x", 1.5, "x[1.5]"),
    ("x", None, "x[None]"),
])
def test_indexname(name, index, expected):
    assert quarnel._indexname(name, index) == expected


def test_string_index_follows_the_assertion_flag():
    assert quarnel._indexname("x", "ab") == ("x[ab]" if assertions else "x[a,b]")


def test_falsy_name_does_not_look_at_the_index():
    class Untouchable:
        def __iter__(self):
            raise AssertionError("index examined")

        __str__ = __iter__

    assert quarnel._indexname("", Untouchable()) == ""


def test_element_whose_text_fails_with_type_error_gives_the_whole_index():
    class NoText:
        def __str__(self):
            raise TypeError("no text")

    class Whole(list):
        def __str__(self):
            return "whole"

    assert quarnel._indexname("x", Whole([1, NoText()])) == "x[whole]"


@pytest.mark.parametrize("error", [ValueError, KeyError, RuntimeError])
def test_other_errors_of_the_index_propagate(error):
    class Broken:
        def __str__(self):
            raise error("broken")

    with pytest.raises(error):
        quarnel._indexname("x", (Broken(),))


def test_failing_name_text_propagates():
    class Name:
        def __str__(self):
            raise TypeError("no name text")

    with pytest.raises(TypeError, match="no name text"):
        quarnel._indexname(Name(), (1,))


@assertions_only
def test_string_test_is_looked_up_at_call_time():
    with rebound(_isstr=lambda index: isinstance(index, tuple)):
        assert quarnel._indexname("x", (1, 2)) == "x[(1, 2)]"
        assert quarnel._indexname("x", "ab") == "x[a,b]"
    with rebound(_isstr=lambda index: 1 / 0):
        with pytest.raises(ZeroDivisionError):
            quarnel._indexname("x", (1,))
    with rebound(_isstr=sum):
        # sum() of strings raises TypeError: absorbed
        assert quarnel._indexname("x", ("a", "b")) == "x[('a', 'b')]"
    with unbound("_isstr"):
        with pytest.raises(NameError, match="name '_isstr' is not defined"):
            quarnel._indexname("x", (1,))


# ---- simplify_tuple ----

@pytest.mark.parametrize("tup, expected", [
    ((7,), 7), ([7], 7), ("a", "a"), ({0: "zero"}, "zero"), (((1, 2),), (1, 2)),
])
def test_simplify_tuple_unwraps_one_element(tup, expected):
    assert quarnel.simplify_tuple(tup) == expected


@pytest.mark.parametrize("tup", [(1, 2), (), [], [1, 2, 3], "ab"])
def test_simplify_tuple_keeps_other_lengths(tup):
    assert quarnel.simplify_tuple(tup) is tup


@pytest.mark.parametrize("tup, error", [(5, TypeError), ({1: "one"}, KeyError), (None, TypeError)])
def test_simplify_tuple_errors(tup, error):
    with pytest.raises(error):
        quarnel.simplify_tuple(tup)


# ---- _nd_indexed_names ----

@given(st.text(max_size=3), st.lists(st.integers(0, 4), min_size=1, max_size=4).map(tuple))
def test_nd_indexed_names_matches_plain_python(prefix, shape):
    assert quarnel._nd_indexed_names(prefix, shape) == pyref._nd_indexed_names(prefix, shape)


@given(st.sampled_from(["x", "é", "ξ", "😀", ""]),
       st.lists(st.just(1), max_size=3), st.integers(0, 120), st.lists(st.just(1), max_size=3))
def test_one_dimensional_shapes_match_plain_python(prefix, before, n, after):
    shape = (*before, n, *after)
    assert quarnel._nd_indexed_names(prefix, shape) == pyref._nd_indexed_names(prefix, shape)


@pytest.mark.parametrize("shape, expected", [
    ((3,), ["x[0]", "x[1]", "x[2]"]),
    ((1, 3), ["x[0,0]", "x[0,1]", "x[0,2]"]),
    ((3, 1), ["x[0,0]", "x[1,0]", "x[2,0]"]),
    ((1, 1, 1), ["x[0,0,0]"]),
    ((2, 2), ["x[0,0]", "x[0,1]", "x[1,0]", "x[1,1]"]),
    ((0,), []),
    ((2, 0), []),
    ((-3,), []),
    ((-1, -3), []),
    ([1, 2], ["x[0,0]", "x[0,1]"]),
    ((np.int64(2), np.int32(2)), ["x[0,0]", "x[0,1]", "x[1,0]", "x[1,1]"]),
    ((2.0,), ["x[0]", "x[1]"]),
    ((True, 2), ["x[0,0]", "x[0,1]"]),
])
def test_nd_indexed_names(shape, expected):
    assert quarnel._nd_indexed_names("x", shape) == expected


def test_counter_runs_past_each_power_of_ten():
    names = quarnel._nd_indexed_names("v", (1, 1001))
    assert names[9:11] == ["v[0,9]", "v[0,10]"]
    assert names[99:101] == ["v[0,99]", "v[0,100]"]
    assert names[-1] == "v[0,1000]"
    assert names == [f"v[0,{i}]" for i in range(1001)]


def test_scalar_shape_gives_the_prefix_itself():
    prefix = object()
    assert quarnel._nd_indexed_names(prefix, ())[0] is prefix

    class EqualsEmpty:
        def __eq__(self, other):
            return other == ()

    assert quarnel._nd_indexed_names(prefix, EqualsEmpty()) == [prefix]


def test_prefix_formatting_differs_between_the_paths():
    assert quarnel._nd_indexed_names(5, (2,)) == ["5[0]", "5[1]"]
    with pytest.raises(ValueError, match="Unknown format code 's'"):
        quarnel._nd_indexed_names(5, (2, 2))
    assert quarnel._nd_indexed_names(5, (2, 0)) == []  # no name, no formatting


class CountingPrefix:
    """Formats as p1, p2, ... and records each format spec."""

    def __init__(self):
        self.specs = []

    def __format__(self, spec):
        self.specs.append(spec)
        return f"p{len(self.specs)}"


@pytest.mark.parametrize("shape, names, spec", [
    ((3,), ["p1[0]", "p2[1]", "p3[2]"], ""),
    ((2, 2), ["p1[0,0]", "p2[0,1]", "p3[1,0]", "p4[1,1]"], "s"),
])
def test_prefix_is_formatted_for_each_name(shape, names, spec):
    prefix = CountingPrefix()
    assert quarnel._nd_indexed_names(prefix, shape) == names
    assert prefix.specs == [spec] * len(names)


def test_a_shape_length_no_memory_can_meet_is_a_memory_error():
    # Its trailing text alone would take 4 GiB; 1 GiB of address space is left.
    result = run_python([ADDRESS_SPACE, """
        import numpy, vantropy._quarnel as q

        class Shape(tuple):  # one dimension, but a length of 2**31 + 5
            def __len__(self):
                return 2**31 + 5

        leave_address_space(1 << 30)
        try:
            q._nd_indexed_names("x", Shape((3,)))
        except MemoryError:
            print("MemoryError")
    """])
    assert result.stdout.splitlines() == ["MemoryError"], result.stderr


def test_one_dimensional_path_does_not_use_itertools():
    with rebound(itertools=None):
        assert quarnel._nd_indexed_names("x", (1, 2)) == ["x[0,0]", "x[0,1]"]
        with pytest.raises(AttributeError):
            quarnel._nd_indexed_names("x", (2, 2))


def test_general_path_formats_whatever_the_product_yields():
    class Product:
        @staticmethod
        def product(*ranges):
            assert ranges == (range(2), range(2))
            return iter([(True, 2), (np.int64(3), 4)])

    with rebound(itertools=Product):
        assert quarnel._nd_indexed_names("x", (2, 2)) == ["x[1,2]", "x[3,4]"]


def test_shape_list_emptied_while_numpy_reads_it():
    # numpy reads a list's items through borrowed pointers; here the first
    # dimension empties the shape from inside that read, which must not free
    # the dimensions numpy still has to look at.
    shape = []

    class Dim:
        def __init__(self, empties):
            self.empties = empties

        def __int__(self):
            return 2

        def __lt__(self, other):
            return False

        __gt__ = __lt__

        def __len__(self):
            return 0

        def __getitem__(self, i):
            raise IndexError(i)

        def __iter__(self):
            if self.empties:
                shape.clear()
            return iter(())

    shape.extend([Dim(True)] + [Dim(False) for _ in range(200)])
    # max() picks the first dimension (2); numpy sees empty dimensions, whose
    # product 1.0 is not 2, and the emptied shape has one combination left.
    assert quarnel._nd_indexed_names("x", shape) == ["x[]"]
    assert shape == []


def _interpreter_message(call):
    try:
        call()
    except Exception as exc:
        return str(exc)


@pytest.mark.parametrize("shape, error, message", [
    # max() words its own error, differently across interpreter versions.
    ([], ValueError, _interpreter_message(lambda: max([]))),
    (("a",), TypeError, "an integer is required"),
    ((2 ** 31,), OverflowError, "value too large to convert to int"),
    ((-2 ** 31 - 1,), OverflowError, "value too large to convert to int"),
    ((2 ** 70,), OverflowError, None),
    ((2.5, 3.7), TypeError, None),
    (5, TypeError, None),
])
def test_nd_indexed_names_errors(shape, error, message):
    with pytest.raises(error) as info:
        quarnel._nd_indexed_names("x", shape)
    if message:
        assert str(info.value) == message


def test_an_array_shape_is_compared_with_the_empty_tuple_as_numpy_does():
    # numpy 1.25 and later raise for the comparison; 1.24 answers False
    # (with a DeprecationWarning), and the names follow.
    shape = np.array([2, 1])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            shape == ()
        except ValueError:
            with pytest.raises(ValueError):
                quarnel._nd_indexed_names("x", shape)
        else:
            assert quarnel._nd_indexed_names("x", shape) == ["x[0,0]", "x[1,0]"]
