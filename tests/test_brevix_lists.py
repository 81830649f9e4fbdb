"""Reading and writing one attribute of many elements with the typed lists:
one library call per list, whatever the data."""
import math
import sys

import numpy as np
import pytest

import vantropy._brevix as brevix
from vantropy import _standin
from vantropy._exception import VantroError
from vantropy._vnt import VNT

from interpreter import ADDRESS_SPACE, run_python
from brevix_support import IntLike, model, rebound  # noqa: F401  (fixture)

INF = math.inf
CHAR, INT, DOUBLE, STRING = 0, 1, 2, 3

LIST_CALLS = {
    (CHAR, "get"): "VNTgetcharattrlist", (INT, "get"): "VNTgetintattrlist",
    (DOUBLE, "get"): "VNTgetdblattrlist", (STRING, "get"): "VNTgetstrattrlist",
    (CHAR, "set"): "VNTsetcharattrlist", (INT, "set"): "VNTsetintattrlist",
    (DOUBLE, "set"): "VNTsetdblattrlist", (STRING, "set"): "VNTsetstrattrlist",
}


@pytest.fixture
def three(model):
    model.addVar(lb=-1.0, ub=2.0, kind="B", name="a")
    model.addVar(lb=-INF, ub=INF, kind="I", name="b")
    model.addVar(lb=5.0, ub=6.0, name="c\u00e9")
    model.getVars()[1].Priority = 4
    _standin.reset_calls(model)
    return model


def calls(model):
    return _standin.calls(model)


# ---- reading ---------------------------------------------------------------------

@pytest.mark.parametrize("name, attrtype, indices, expected", [
    ("Kind", CHAR, [0, 1, 2], ["B", "I", "C"]),
    ("Priority", INT, [1, 0], [4, 0]),
    ("LB", DOUBLE, [0, 1, 2], [-1.0, -INF, 5.0]),
    ("UB", DOUBLE, [2, 2, 1], [6.0, 6.0, INF]),
    ("VarName", STRING, [2, 0], ["c\u00e9", "a"]),
    ("Value", DOUBLE, [0], [VNT.UNDEFINED]),
])
def test_read_each_type_with_one_call(three, name, attrtype, indices, expected):
    values = brevix._gettypedattrlist(three, name, attrtype, indices)
    assert values == expected
    assert [type(v) for v in values] == [type(v) for v in expected]
    assert calls(three) == {LIST_CALLS[attrtype, "get"]: 1}


@pytest.mark.parametrize("attrtype, name", [(CHAR, "Kind"), (INT, "Priority"),
                                            (DOUBLE, "LB"), (STRING, "VarName")])
def test_empty_lists_still_make_their_one_call(three, attrtype, name):
    assert brevix._gettypedattrlist(three, name, attrtype, []) == []
    assert brevix._settypedattrlist(three, name, attrtype, [], []) is None
    assert calls(three) == {LIST_CALLS[attrtype, "get"]: 1, LIST_CALLS[attrtype, "set"]: 1}


def test_read_maps_infinity_and_keeps_undefined(three):
    raw = [1e30, 7e30, -1e30, -7e30, 1e31, -1e31, 9.99e29]
    three.addVar()
    three.addVar()
    three.addVar()
    three.addVar()
    brevix._settypedattrlist(three, "Cost", DOUBLE, range(7), raw)
    assert [_standin.raw_get(three, "Cost", i) for i in range(7)] == raw
    assert brevix._gettypedattrlist(three, "Cost", DOUBLE, range(7)) == \
        [INF, INF, -INF, -INF, 1e31, -INF, 9.99e29]


def test_read_takes_the_constants_from_the_namespace_vnt(three):
    class Bounds:
        INFINITY = 5
        UNDEFINED = 6.0

    brevix._settypedattrlist(three, "Cost", DOUBLE, [0, 1, 2], [6.0, 5.5, -5.0])
    with rebound(VNT=Bounds):
        assert brevix._gettypedattrlist(three, "Cost", DOUBLE, [0, 1, 2]) == [6.0, INF, -INF]


def test_read_with_non_numeric_constant_is_a_type_error(three):
    class Bounds:
        INFINITY = "huge"
        UNDEFINED = 1e31

    with rebound(VNT=Bounds):
        with pytest.raises(TypeError):
            brevix._gettypedattrlist(three, "LB", DOUBLE, [0])


def test_read_null_strings_as_empty(three):
    _standin.set_null_string(three, "VarName", 1)
    assert brevix._gettypedattrlist(three, "VarName", STRING, [0, 1, 2]) == ["a", "", "c\u00e9"]


def test_read_strings_through_the_namespace_converter(three):
    with rebound(_bytestostring=lambda b: b.upper()):
        assert brevix._gettypedattrlist(three, "VarName", STRING, [0, 2]) == \
            [b"A", "c\u00e9".encode().upper()]


def test_chars_round_trip_as_bytes(model):
    for _ in range(256):
        model.addVar()
    chars = [chr(i) for i in range(256)]
    brevix._settypedattrlist(model, "Kind", CHAR, range(256), chars)
    assert [_standin.raw_get(model, "Kind", i) for i in range(256)] == list(range(256))
    assert brevix._gettypedattrlist(model, "Kind", CHAR, range(256)) == chars


@pytest.mark.parametrize("attrtype", [2.0, IntLike(2), np.int64(2)])
def test_attrtype_compared_with_python_equality(three, attrtype):
    assert brevix._gettypedattrlist(three, "UB", attrtype, [0]) == [2.0]


# ---- writing ---------------------------------------------------------------------

@pytest.mark.parametrize("name, attrtype, values, raw", [
    ("Kind", CHAR, ["C", "B", "I"], [67, 66, 73]),
    ("Kind", CHAR, [b"B", bytearray(b"I"), "\u00ff"], [66, 73, 255]),
    ("Priority", INT, [7, -2, True], [7, -2, 1]),
    ("Priority", INT, [2.7, -2.7, IntLike(9)], [2, -2, 9]),
    ("UB", DOUBLE, [INF, -INF, 1.5], [1e30, -1e30, 1.5]),
    ("UB", DOUBLE, [np.float64(INF), 3, np.float32(0.5)], [1e30, 3.0, 0.5]),
    ("VarName", STRING, ["p", "q\u00e9", ""], [b"p", "q\u00e9".encode(), b""]),
])
def test_write_each_type_with_one_call(three, name, attrtype, values, raw):
    assert brevix._settypedattrlist(three, name, attrtype, [0, 1, 2], values) is None
    assert [_standin.raw_get(three, name, i) for i in range(3)] == raw
    assert calls(three) == {LIST_CALLS[attrtype, "set"]: 1}


@pytest.mark.parametrize("values", [
    [INF, -INF, 1.5], (INF, -INF, 1.5), np.array([INF, -INF, 1.5]),
])
def test_write_infinity_from_any_sequence(three, values):
    brevix._settypedattrlist(three, "UB", DOUBLE, np.array([0, 1, 2]), values)
    assert [_standin.raw_get(three, "UB", i) for i in range(3)] == [1e30, -1e30, 1.5]


def test_write_reads_the_bound_at_call_time(three):
    class Bounds:
        INFINITY = 42

    with rebound(VNT=Bounds):
        brevix._settypedattrlist(three, "UB", DOUBLE, [0, 1], [INF, -INF])
    assert [_standin.raw_get(three, "UB", i) for i in (0, 1)] == [42.0, -42.0]


class CountingSequence:
    """A sequence that counts how often each position is read."""

    def __init__(self, items):
        self.items = list(items)
        self.reads = [0] * len(self.items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i >= len(self.items):
            raise IndexError(i)
        self.reads[i] += 1
        return self.items[i]


def test_write_doubles_reads_each_position_per_test(three):
    values = CountingSequence([INF, -INF, 1.5])
    brevix._settypedattrlist(three, "UB", DOUBLE, [0, 1, 2], values)
    assert values.reads == [1, 2, 3]
    assert [_standin.raw_get(three, "UB", i) for i in range(3)] == [1e30, -1e30, 1.5]


def test_write_strings_longer_than_the_indices_converts_every_item(three):
    seen = []

    def tobytes(s):
        seen.append(s)
        return s.encode()

    with rebound(_stringtobytes=tobytes):
        brevix._settypedattrlist(three, "VarName", STRING, [1], iter(["z", "unused"]))
    assert seen == ["VarName", "z", "unused"]
    assert _standin.raw_get(three, "VarName", 1) == b"z"


# ---- refused input: nothing is written and no call is made ----------------------------

@pytest.mark.parametrize("indices, exc, message", [
    ([0, "1"], TypeError, "an integer is required"),
    ([0, None], TypeError, "an integer is required"),
    ([2**31], OverflowError, None),
    ([-2**31 - 1], OverflowError, None),
    (5, TypeError, "object of type 'int' has no len()"),
])
def test_index_conversion_failures(three, indices, exc, message):
    # (the same for a write: tests/test_nothing_lost.py)
    with pytest.raises(exc) as info:
        brevix._gettypedattrlist(three, "LB", DOUBLE, indices)
    if message is not None:
        assert str(info.value) == message
    assert calls(three) == {}


def test_string_pointers_must_be_bytes(three):
    with rebound(_stringtobytes=lambda s: s if s != "VarName" else b"VarName"):
        with pytest.raises(TypeError, match="expected bytes or bytearray, not 'str'"):
            brevix._settypedattrlist(three, "VarName", STRING, [0], ["a"])
    assert calls(three) == {}


@pytest.mark.parametrize("attrtype", [7, 4, -1, "2", None])
def test_unhandled_data_type(three, attrtype):
    for call in (lambda: brevix._gettypedattrlist(three, "LB", attrtype, [0]),
                 lambda: brevix._settypedattrlist(three, "LB", attrtype, [0], [1.0])):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == (f"unsupported attribute data type {attrtype!r} "
                                   "(expected 0 char, 1 int, 2 double or 3 string)")
    assert calls(three) == {}


# ---- failures of the library -----------------------------------------------------

def test_read_failure_is_a_vantro_error_with_the_code(three):
    with pytest.raises(VantroError) as info:
        brevix._gettypedattrlist(three, "LB", DOUBLE, [0, 3])
    assert (info.value.errno, info.value.message) == (
        7006, "Index 3 out of range for attribute 'LB'")


@pytest.mark.parametrize("attrtype, name", [(CHAR, "Kind"), (INT, "Priority"),
                                            (DOUBLE, "LB"), (STRING, "VarName")])
def test_injected_read_failure(three, attrtype, name):
    _standin.fail_next(three, 7005, b"List \xfe unavailable")
    with pytest.raises(VantroError) as info:
        brevix._gettypedattrlist(three, name, attrtype, [0])
    assert (info.value.errno, info.value.message) == (7005, "List \ufffd unavailable")


@pytest.mark.parametrize("attrtype, name, value", [(CHAR, "Kind", "B"), (INT, "Priority", 1),
                                                   (DOUBLE, "LB", 1.0),
                                                   (STRING, "VarName", "v")])
def test_injected_write_failure(three, attrtype, name, value):
    _standin.fail_next(three, 7005, "Cannot store now")
    with pytest.raises(AttributeError) as info:
        brevix._settypedattrlist(three, name, attrtype, [0], [value])
    assert info.value.args == ("Cannot store now",)


def test_busy_model(three):
    _standin.set_busy(three, True)
    text = "Optimization in progress; attribute 'LB' cannot be accessed now"
    with pytest.raises(VantroError) as info:
        brevix._gettypedattrlist(three, "LB", DOUBLE, [0])
    assert (info.value.errno, info.value.message) == (VNT.Error.OPTIMIZATION_IN_PROGRESS, text)
    with pytest.raises(AttributeError) as info:
        brevix._settypedattrlist(three, "LB", DOUBLE, [0], [1.0])
    assert info.value.args == (text,)


def test_write_failure_text_from_the_namespace(three):
    with rebound(_geterrormsg=lambda obj: "replaced"):
        with pytest.raises(AttributeError, match="^replaced$"):
            brevix._settypedattrlist(three, "LB", DOUBLE, [9], [1.0])


def test_read_failure_class_from_the_namespace(three):
    class Other(Exception):
        pass

    with rebound(VantroError=Other):
        with pytest.raises(Other) as info:
            brevix._gettypedattrlist(three, "LB", DOUBLE, [9])
    assert info.value.args == (7006, three)


# ---- bulk -------------------------------------------------------------------------

def test_hundred_thousand_bounds_in_one_call_each(model):
    n = 100_000
    for _ in range(n):
        model.addVar()
    _standin.reset_calls(model)
    bounds = [float(i) if i % 3 else INF for i in range(n)]
    brevix._settypedattrlist(model, "UB", DOUBLE, range(n), bounds)
    assert brevix._gettypedattrlist(model, "UB", DOUBLE, list(range(n))) == bounds
    assert calls(model) == {"VNTsetdblattrlist": 1, "VNTgetdblattrlist": 1}


# ---- buffers that cannot be obtained ---------------------------------------------------

@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="address-space limit")
def test_buffer_that_cannot_be_obtained_is_a_memory_error():
    # A list claiming the most indices one call can take needs an 8 GiB
    # index buffer; with only 1 GiB of address space left it cannot be had.
    result = run_python([ADDRESS_SPACE, """
        import vantropy._brevix as b
        from vantropy import _standin
        from vantropy._core import Model

        class Huge:
            def __len__(self):
                return 2**31 - 1
            def __getitem__(self, i):
                raise AssertionError("read an index without a buffer")

        m = Model("m")
        leave_address_space(1 << 30)
        for call in (lambda: b._gettypedattrlist(m, "LB", 2, Huge()),
                     lambda: b._settypedattrlist(m, "LB", 2, Huge(), [])):
            try:
                call()
            except MemoryError:
                print("MemoryError")
        print(sorted(_standin.calls(m)))
    """])
    assert result.stdout.split("\n")[:3] == ["MemoryError", "MemoryError", "[]"], result.stderr
