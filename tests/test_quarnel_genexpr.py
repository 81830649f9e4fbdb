"""_genexpr_key and _instruction_argvals on real generator expressions of
the running interpreter, against the plain-Python model of the benchmarks,
and the generator protocol of _instruction_argvals."""
import collections
import collections.abc
import dis
import functools
import json
import traceback
import types
import warnings

import pytest

import vantropy._quarnel as quarnel

from pyref import in_namespace, model as pyref
from quarnel_support import disguised_as, rebound, unbound


Point = collections.namedtuple("Point", "x y")


class Name(str):
    pass


# The plain-Python scan (a Python generator) and key, reading `dis`,
# `simplify_tuple` and `_instruction_argvals` where the native ones do.
expected_argvals = in_namespace(pyref._instruction_argvals, quarnel)
expected_key = in_namespace(pyref._genexpr_key, quarnel)


def outcome(fn, *args):
    try:
        return "value", fn(*args)
    except Exception as e:  # noqa: BLE001 - compared with the plain version
        return "raised", type(e), str(e)


A, B, C = [1, 2], "xy", (True, None)
P = [(1, "p"), (2, "q")]
Q = [("k", (1, 2)), ("l", (3, 4))]
o = types.SimpleNamespace(a=1, b=0)

GENEXPRS = {
    "one variable": lambda: (a for a in A),
    "two loops": lambda: (str(a) + b for a in A for b in B),
    "tuple target": lambda: (b for a, b in P),
    "nested tuple target": lambda: (k for k, (i, j) in Q),
    "cell variable": lambda: (str(a) + (lambda: b)() for a in A for b in B),
    "only a cell variable": lambda: ((lambda: a) for a in A),
    "two cell variables": lambda: ((lambda: (a, c))() for a in A for b in B for c in C),
    "attribute named like a later variable": lambda: ((a, b, c) for c in C if o.a for b in B
                                                       for a in A),
    "string constant named like a later variable": lambda: ((a, b, c) for c in C if c != "a"
                                                             for b in B for a in A),
    "tuple constant": lambda: ((a, b) for a in A for b in B if b in (1, "y", None)),
    "filter skips items": lambda: ((a, b) for a in A if a > 1 for b in B),
    "underscore": lambda: (1 for _ in range(3)),
    "inner generator expression": lambda: (sum(b for b in range(a)) for a in A),
    "same name twice": lambda: (a for a in A for a in B),
    "empty source": lambda: ((a, b) for a in [] for b in B),
}


@pytest.mark.parametrize("make", GENEXPRS.values(), ids=GENEXPRS.keys())
def test_key_follows_the_generator_as_plain_python_does(make):
    g = make()
    key, plain = quarnel._genexpr_key(g), expected_key(g)
    steps = 0
    while True:
        assert outcome(key) == outcome(plain), f"after {steps} items"
        try:
            next(g)
        except StopIteration:
            break
        steps += 1
    assert outcome(key) == outcome(plain)


def test_one_variable_gives_the_bare_value():
    g = (a for a in [10, 20])
    key = quarnel._genexpr_key(g)
    with pytest.raises(KeyError):
        key()
    assert next(g) == 10 and key() == 10
    assert next(g) == 20 and key() == 20


def test_several_variables_give_a_tuple_in_order_of_first_reference():
    g = (a * b for a in [1, 2] for b in [3, 4])
    key = quarnel._genexpr_key(g)
    assert key() == ()
    assert [(item, key()) for item in g] == [(3, (1, 3)), (4, (1, 4)), (6, (2, 3)), (8, (2, 4))]

    g = (b for a, b in [(1, "p")])
    key = quarnel._genexpr_key(g)
    next(g)
    assert key() == (1, "p")

    g = ((a, b, c) for c in [5] if o.a for b in [6] for a in [7])
    key = quarnel._genexpr_key(g)
    next(g)
    assert key() == (5, 7, 6)


def test_cell_variable_takes_its_place_after_the_prologue():
    g = (str(a) + (lambda: b)() for a in [1] for b in "z")
    assert g.gi_code.co_cellvars == ("b",)
    key = quarnel._genexpr_key(g)
    next(g)
    assert key() == (1, "z")


def test_key_function_shape():
    key = quarnel._genexpr_key(a for a in A)
    assert key.__name__ == "<lambda>"
    assert key.__qualname__ == "_genexpr_key.<locals>.<lambda>"
    assert key.__module__ == "vantropy._quarnel"
    with pytest.raises(TypeError) as info:
        key(1)
    assert str(info.value) == "<lambda>() takes exactly 0 positional arguments (1 given)"


@pytest.mark.parametrize("make, expected", [
    (lambda: (a for a in [1001, 2002]), 1001),
    (lambda: (a + b for a in [1001, 2002] for b in [3003, 4004]), (1001, 3003)),
])
def test_key_reads_a_sound_frame_after_the_generator_is_dropped(make, expected):
    # The frame of a dropped generator may show freed memory (3.13.0): the
    # key function keeps the generator alive with its frame.
    g = make()
    key = quarnel._genexpr_key(g)
    next(g)
    del g
    churn = [[i, str(i) * 3, float(i)] for i in range(20_000)]
    assert key() == expected
    del churn


def test_making_the_key_does_not_advance_the_generator():
    g = (a for a in [1, 2])
    quarnel._genexpr_key(g)
    quarnel._genexpr_key(g)
    assert list(g) == [1, 2]


def frame_of(code, f_locals):
    """A generator as _genexpr_key sees it: only attributes."""
    return types.SimpleNamespace(gi_frame=types.SimpleNamespace(f_code=code, f_locals=f_locals))


def test_names_that_no_instruction_refers_to_are_left_out():
    code = (a for a in A).gi_code
    code = code.replace(co_varnames=code.co_varnames + ("never",), co_nlocals=code.co_nlocals + 1)
    x = frame_of(code, {"a": 5, "never": 6})
    assert quarnel._genexpr_key(x)() == 5
    assert outcome(quarnel._genexpr_key(x)) == outcome(expected_key(x))


def test_unbound_names_are_skipped_in_order():
    code = (a + b for a in A for b in B).gi_code
    locals_ = {"b": 2}
    key = quarnel._genexpr_key(frame_of(code, locals_))
    assert key() == 2
    locals_["a"] = 1
    assert key() == (1, 2)
    locals_.clear()
    assert key() == ()


def test_frame_locals_are_read_anew_for_each_name():
    reads = []

    class Frame:
        f_code = (a + b for a in A for b in B).gi_code

        @property
        def f_locals(self):
            reads.append(len(reads))
            return {"a": 1, "b": 2}

    key = quarnel._genexpr_key(types.SimpleNamespace(gi_frame=Frame()))
    assert key() == (1, 2)
    assert len(reads) == 4  # a membership test and a subscript per name


@pytest.mark.parametrize("x, error, message", [
    (types.SimpleNamespace(), AttributeError, None),
    (types.SimpleNamespace(gi_frame=None), AttributeError, None),
    (frame_of(types.SimpleNamespace(co_cellvars=(), co_varnames=5), {}), TypeError,
     "'int' object is unsliceable"),
    (frame_of(types.SimpleNamespace(co_varnames=()), {}), AttributeError, None),
])
def test_key_errors(x, error, message):
    with pytest.raises(error) as info:
        quarnel._genexpr_key(x)
    if message:
        assert str(info.value) == message


def test_exhausted_generator_has_no_frame():
    g = (a for a in A)
    list(g)
    with pytest.raises(AttributeError):
        quarnel._genexpr_key(g)


def test_single_name_key_errors():
    no_names = frame_of(types.SimpleNamespace(co_cellvars=(), co_varnames=(".0",)), {})
    key = quarnel._genexpr_key(no_names)
    with pytest.raises(IndexError):
        key()


def test_key_uses_the_rebound_helpers():
    g = (a + b for a in [1] for b in [2])
    with rebound(_instruction_argvals=lambda c: iter(["b", "x", "a", "b"])):
        key = quarnel._genexpr_key(g)
    next(g)
    assert key() == (2, 1)
    with rebound(simplify_tuple=lambda t: ("simplified", t)):
        assert key() == ("simplified", (2, 1))
    with rebound(_instruction_argvals=lambda c: iter([["unhashable"]])):
        with pytest.raises(TypeError):
            quarnel._genexpr_key(a + b for a in [1] for b in [2])
    # A set is looked up as a frozenset, as `in` does: simply not a name.
    g = (a + b for a in [1] for b in [2])
    with rebound(_instruction_argvals=lambda c: iter([{"a"}, "b", "a"])):
        key = quarnel._genexpr_key(g)
    next(g)
    assert key() == (2, 1)


def test_errors_of_the_scan_propagate():
    def failing(c):
        raise LookupError("no instructions")

    with rebound(dis=types.SimpleNamespace(get_instructions=failing)):
        with pytest.raises(LookupError):
            quarnel._genexpr_key(a + b for a in A for b in B)
        # the single-name case scans nothing
        assert quarnel._genexpr_key(a for a in A) is not None


# ---- _instruction_argvals over real code ----

def some_function(x, *, y=(1, "k")):
    z = [x, y]

    def inner():
        return z

    return inner, "text", json.dumps


CODES = {
    "lambda with a tuple constant": (lambda: (1, "x")).__code__,
    "function with a cell": some_function.__code__,
    "generator expression": (a + b for a in A for b in B).gi_code,
    "dis.get_instructions": dis.get_instructions.__code__,
    "functools.wraps": functools.wraps.__code__,
    "json.dumps": json.dumps.__code__,
    "this module's plain key": expected_key.__code__,
}


@pytest.mark.parametrize("code", CODES.values(), ids=CODES.keys())
def test_argvals_match_plain_python(code):
    assert list(quarnel._instruction_argvals(code)) == list(expected_argvals(code))


def test_tuple_constant_members_in_place():
    assert list(quarnel._instruction_argvals((lambda: (1, "x")).__code__)) == [1, "x"]


def test_argvals_accept_what_dis_accepts():
    assert list(quarnel._instruction_argvals(lambda: "s")) == ["s"]
    assert list(quarnel._instruction_argvals("a + b")) == list(expected_argvals("a + b"))


# ---- the generator protocol, against a Python generator running the same scan ----

class Instr:
    """An instruction record whose argval reads are counted."""

    def __init__(self, opname, argval, log):
        self.opname, self._argval, self._log = opname, argval, log

    @property
    def argval(self):
        self._log.append(("argval", self.opname))
        if isinstance(self._argval, BaseException):
            raise self._argval
        return self._argval


class Echo(tuple):
    """A tuple whose iteration is a generator that records what it is sent
    and thrown, so that `yield from` delegation can be seen."""

    def __iter__(self):
        log = self.log

        def inner():
            for member in tuple.__iter__(self):
                try:
                    sent = yield member
                    log.append(("sent", sent))
                except KeyError as e:
                    log.append(("caught", str(e)))
                    yield "recovered"
                except ArithmeticError:
                    log.append(("finished early",))
                    return "early"
                finally:
                    log.append(("inner finally", member))
        return inner()


def instructions(log):
    echo = Echo(("e1", "e2"))
    echo.log = log
    return [
        Instr("MAKE_CELL", "cell", log),
        Instr("LOAD_CONST", ("t1", 2), log),
        Instr("LOAD_FAST", "name", log),
        Instr("LOAD_CONST", None, log),
        Instr("LOAD_CONST", echo, log),
        Instr("LOAD_GLOBAL", "last", log),
    ]


def run(scenario, factory):
    """Runs a scenario on a generator from `factory`; returns what happened."""
    log = []
    fake_dis = types.SimpleNamespace(get_instructions=lambda c: iter(instructions(log)))
    with rebound(dis=fake_dis), warnings.catch_warnings(record=True) as warned:
        # (the old three-argument throw() warns from 3.12 on)
        warnings.simplefilter("always")
        g = factory(None)
        trace = []
        for step in scenario:
            try:
                trace.append(("value", step(g)))
            except StopIteration as e:
                trace.append(("stop", e.args))
            except BaseException as e:  # noqa: BLE001 - GeneratorExit too
                trace.append(("raised", type(e).__name__, str(e)))
            trace.extend(("warned", w.category.__name__, str(w.message)) for w in warned)
            warned.clear()
    return trace, log


SCENARIOS = {
    "iterate": [next] * 8,
    "send at plain yields": [next, lambda g: g.send("ignored"), lambda g: g.send(1), next, next,
                             next, next, next],
    "send into the delegate": [next] * 4 + [lambda g: g.send("hello"), next, next, next],
    "send into a tuple iterator": [next, lambda g: g.send("x"), next],
    "send to a just-started generator": [lambda g: g.send(1), next, lambda g: g.send(None)],
    "throw before start": [lambda g: g.throw(KeyError("k")), next],
    "throw at a plain yield": [next, next, next, lambda g: g.throw(ValueError("v")), next],
    "throw caught by the delegate": [next] * 4 + [lambda g: g.throw(KeyError("k")), next, next],
    "throw ending the delegate": [next] * 4 + [lambda g: g.throw(ZeroDivisionError), next, next],
    "throw not caught by the delegate": [next] * 4 + [lambda g: g.throw(TypeError, "t"), next],
    "throw into a tuple iterator": [next, lambda g: g.throw(KeyError), next],
    "close before start": [lambda g: g.close(), next],
    "close at a plain yield": [next, next, next, lambda g: g.close(), next, lambda g: g.close()],
    "close inside the delegate": [next] * 4 + [lambda g: g.close(), next],
    "throw GeneratorExit inside the delegate": [next] * 4 + [lambda g: g.throw(GeneratorExit), next],
    "bad throw arguments": [next, lambda g: g.throw(1), lambda g: g.throw(ValueError("x"), "v"),
                            lambda g: g.throw(ValueError, None, 5), next],
    "bad throw arguments before start": [lambda g: g.throw(1), next],
    "bad throw arguments to a tuple iterator": [next, lambda g: g.throw(KeyError, 1, 2), next],
    "bad throw arguments to the delegate": [next] * 4 + [lambda g: g.throw(1), next],
    "throw argument count": [lambda g: g.throw(), lambda g: g.throw(1, 2, 3, 4), next],
    "after the end": [next] * 8 + [lambda g: g.send(None), lambda g: g.throw(KeyError("late")),
                                   lambda g: g.close()],
}


@pytest.mark.parametrize("scenario", SCENARIOS.values(), ids=SCENARIOS.keys())
def test_generator_protocol_matches_a_python_generator(scenario):
    assert run(scenario, quarnel._instruction_argvals) == run(scenario, expected_argvals)


def test_argval_that_raises_stop_iteration():
    log = []

    def scan(factory):
        records = [Instr("LOAD_NAME", StopIteration("inside"), log)]
        with rebound(dis=types.SimpleNamespace(get_instructions=lambda c: iter(records))):
            g = factory(None)
            with pytest.raises(RuntimeError) as info:
                next(g)
        return str(info.value), type(info.value.__cause__)

    assert scan(quarnel._instruction_argvals) == scan(expected_argvals) == (
        "generator raised StopIteration", StopIteration)


def test_scan_failure_inside_the_key_is_reported_as_the_generator_would():
    def keyed(get_key):
        records = [types.SimpleNamespace(opname="LOAD_NAME", argval="a"),
                   Instr("LOAD_NAME", StopIteration("inside"), [])]
        with rebound(dis=types.SimpleNamespace(get_instructions=lambda c: iter(records))):
            with pytest.raises(RuntimeError) as info:
                get_key(a + b for a in A for b in B)
        return info.value

    native, plain = keyed(quarnel._genexpr_key), keyed(expected_key)
    assert str(native) == str(plain) == "generator raised StopIteration"
    assert type(native.__cause__) is type(plain.__cause__) is StopIteration
    names = [f.name for f in traceback.extract_tb(native.__traceback__)]
    assert names[-1] == "vantropy._quarnel._genexpr_key"
    # the scan's own entry stays with the StopIteration, as a generator frame's does
    names = [f.name for f in traceback.extract_tb(native.__cause__.__traceback__)]
    assert names[0] == "vantropy._quarnel._instruction_argvals"


def test_tuple_and_str_arguments_are_tested_by_type():
    records = [types.SimpleNamespace(opname="LOAD_CONST", argval=disguised_as(tuple)),
               types.SimpleNamespace(opname="LOAD_CONST", argval=disguised_as(str)),
               types.SimpleNamespace(opname="LOAD_CONST", argval=Point(1, "p")),
               types.SimpleNamespace(opname="LOAD_NAME", argval=Name("n"))]
    with rebound(dis=types.SimpleNamespace(get_instructions=lambda c: iter(records))):
        values = list(quarnel._instruction_argvals(None))
    assert values == [1, "p", "n"]
    assert type(values[2]) is Name


def test_generator_object():
    g = quarnel._instruction_argvals((lambda: "s").__code__)
    assert iter(g) is g
    assert isinstance(g, collections.abc.Generator)
    assert g.__name__ == g.__qualname__ == "_instruction_argvals"
    assert repr(g).startswith("<generator object _instruction_argvals at 0x")
    assert g.gi_running is False
    assert list(g) == ["s"]
    with pytest.raises(StopIteration):
        next(g)


def test_nothing_runs_before_the_first_next():
    g = quarnel._instruction_argvals(42)  # dis would refuse 42 right away
    with unbound("dis"):
        g2 = quarnel._instruction_argvals(42)
        with pytest.raises(NameError, match="name 'dis' is not defined"):
            next(g2)
    with pytest.raises(TypeError):
        next(g)


def test_running_generator_cannot_be_entered_again():
    seen = []

    def records(c):
        seen.append(g.gi_running)
        try:
            next(g)
        except ValueError as e:
            seen.append(str(e))
        yield types.SimpleNamespace(opname="LOAD_NAME", argval="n")

    with rebound(dis=types.SimpleNamespace(get_instructions=records)):
        g = quarnel._instruction_argvals(None)
        assert next(g) == "n"
    assert seen == [True, "generator already executing"]


def test_dropping_a_suspended_generator_closes_its_delegate():
    log = []
    with rebound(dis=types.SimpleNamespace(get_instructions=lambda c: iter(instructions(log)))):
        g = quarnel._instruction_argvals(None)
        for _ in range(4):
            next(g)
        del g
    assert log[-1] == ("inner finally", "e1")
