"""Hostile arguments for the native modules.

Hypothesis draws *descriptions* (plain tuples, so examples shrink and print
well); `World.build` turns one into a live object for a fresh model of the
example.  A hostile object answers each protocol method it is asked for with
the action drawn for that method: raise, return a value of the wrong type or
a huge one, or first do something to the world (collect garbage, rebind a
module global, drop package modules from sys.modules, mutate the lists being
converted, free the model) and then answer plainly.

`run_hostile(fn)` calls one function and accepts only a return value or an
ordinary exception with a message; afterwards the module namespaces,
sys.modules and `VNT` are put back and the modules must still work.
"""
import ctypes
import gc
import math
import os
import sys

import numpy as np
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

import vantropy._brevix as brevix
import vantropy._exception as exception
import vantropy._quarnel as quarnel
from vantropy import _standin
from vantropy._core import Constr, LinExpr, Model, QuadExpr, Var
from vantropy._matrixapi import MLinExpr, MVar
from vantropy._vnt import VNT

from leakcheck import heap_set_aside


# Bounded and repeatable in CI; VANTROPY_HOSTILE_PROFILE=long for a random
# campaign on demand (VANTROPY_HOSTILE_EXAMPLES examples per test).
settings.register_profile(
    "ci", max_examples=50, deadline=None, derandomize=True,
    suppress_health_check=list(HealthCheck), database=None)
settings.register_profile(
    "long", max_examples=int(os.environ.get("VANTROPY_HOSTILE_EXAMPLES", 5000)), deadline=None,
    suppress_health_check=list(HealthCheck), database=None)
HOSTILE = settings.get_profile(os.environ.get("VANTROPY_HOSTILE_PROFILE", "ci"))

MODULES = (brevix, quarnel, exception)
PACKAGE_MODULES = ("vantropy", "vantropy._core", "vantropy._vnt", "vantropy._util",
                   "vantropy._matrixapi", "vantropy._batch", "vantropy._brevix",
                   "vantropy._quarnel", "vantropy._exception", "vantropy._exprtypes")


class HostileError(Exception):
    pass


# The protocol slots a hostile object can be asked for.
DUNDERS = ("__eq__", "__lt__", "__int__", "__index__", "__float__", "__len__",
           "__getitem__", "__iter__", "__bool__", "__format__", "__str__")
METHODS = ("__cindex__", "item", "size", "getVar", "getCoeff", "getConstant", "_owns",
           "_to_full", "_indexed_data", "flatten")
ATTRIBUTES = ("_typename", "_typeenum", "_cmodel", "_cenv", "_learr", "_is_compact",
              "shape", "gi_frame", "f_code", "f_locals", "gi_code", "co_code")
SLOTS = DUNDERS + METHODS + ATTRIBUTES

EXCEPTIONS = (HostileError, ValueError, TypeError, KeyError, IndexError, AttributeError,
              StopIteration, OverflowError, RecursionError, ZeroDivisionError)

MODULE_GLOBALS = {
    "brevix": ("_stringtobytes", "_bytestostring", "_isscalar", "_getattrinfo", "_geterrormsg",
               "VNT", "VantroError"),
    "quarnel": ("VNT", "VantroError", "Var", "Constr", "QConstr", "GenConstr", "SOS", "MVar",
                "MLinExpr", "MQuadExpr", "MConstr", "MQConstr", "MGenConstr", "functools",
                "itertools", "operator", "re", "dis", "sys", "tupledict", "Iterable",
                "_isscalar", "_isstr", "_listify"),
    "exception": ("VantroError", "_errormsg_from_object"),
}


# ---- descriptions --------------------------------------------------------------

# Leaves that need no world.
PLAIN = [None, True, False, 0, 1, 2, 3, 7, -1, -2, 2**31, -2**31 - 1, 2**63, 10**100,
         0.5, 2.7, math.inf, -math.inf, math.nan, 1e30, 1e31, "", "x", "LB", "UB", "Kind",
         "VarName", "ModelName", "NumVars", "Priority", "RHS", "Sense", "Value", "Nope",
         "\ud800", "a\udfffb", "\u0101", "é", "C", "B", b"x", b"\xff", bytearray(b"ab"),
         (), (1,), (1, "a"), (2, 3), [], [0], [0, 1], {}, {"a": 1}, object]

# Leaves made from the example's world.
WORLD = ("model", "var", "constr", "qconstr", "genconstr", "sos", "cmodel", "cenv",
         "removed", "unadded", "disposed", "freed_handle", "forged_handle", "other_capsule",
         "linexpr", "quadexpr", "mvar", "mlinexpr", "ndarray", "objarray", "generator",
         "started_generator", "code", "element_list")

EFFECTS = ("gc", "rebind", "unimport", "mutate", "dispose", "vnt", "defaults")

leaf = st.one_of(st.sampled_from(PLAIN).map(lambda v: ("plain", v)),
                 st.sampled_from(WORLD).map(lambda w: ("world", w)),
                 st.integers().map(lambda v: ("plain", v)),
                 st.text(max_size=4).map(lambda v: ("plain", v)))

action = st.one_of(
    st.tuples(st.just("raise"), st.sampled_from(EXCEPTIONS)),
    st.tuples(st.just("return"), leaf),
    st.tuples(st.just("huge"), st.sampled_from([2**31 - 1, 2**31, 2**63 - 1, 2**64, 10**400])),
    st.tuples(st.just("effect"), st.sampled_from(EFFECTS), st.integers(0, 1000)),
)


def hostile_of(children):
    return st.tuples(st.just("hostile"),
                     st.dictionaries(st.sampled_from(SLOTS), action, max_size=3),
                     st.lists(children, max_size=3).map(tuple))


descriptions = st.recursive(
    leaf,
    lambda children: st.one_of(
        hostile_of(children),
        st.tuples(st.just("list"), st.lists(children, max_size=4).map(tuple)),
        st.tuples(st.just("tuple"), st.lists(children, max_size=4).map(tuple)),
    ),
    max_leaves=5)


def args(n):
    return st.lists(descriptions, min_size=n, max_size=n).map(tuple)


def mostly(*valid):
    """Usually one of the valid descriptions (plain values or world names),
    otherwise anything: a call must get past its first checks to reach the
    conversions and the solver, so most arguments of an example are sound."""
    def describe(v):
        if isinstance(v, tuple) and v and v[0] in ("plain", "world", "list", "tuple", "hostile"):
            return v
        return ("world", v) if isinstance(v, str) and v in WORLD else ("plain", v)
    sound = st.sampled_from([describe(v) for v in valid])
    return st.one_of(sound, sound, sound, descriptions)


def hostile_list(*valid):
    """A list or tuple of mostly sound items.  Lists are what the "mutate"
    effect clears, shortens or extends in the middle of a conversion."""
    item = mostly(*valid)
    return st.tuples(st.sampled_from(["list", "list", "tuple"]),
                     st.lists(item, max_size=5).map(tuple))


# ---- the world of one example --------------------------------------------------

_forged_name = b"vantro130.model"  # must outlive every capsule that names it
_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = (ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p)


class World:
    def __init__(self, cap=None):
        # With a cap, every int the world hands out stays within it: for
        # functions whose result is as large as the numbers they are given.
        self.cap = cap
        self.model = Model("hostile")
        m = self.model
        self.var = m.addVar(lb=1.0, ub=4.0, name="x")
        self.var2 = m.addVar(name="y")
        self.constr = m.addConstr(rhs=2.0, name="c")
        self.qconstr, self.genconstr, self.sos = m.addQConstr(), m.addGenConstr(), m.addSOS()
        gone = m.addVar(name="gone")
        m.remove(gone)
        self.removed = gone
        self.gone_model = Model("gone")
        self.gone_model.dispose()
        self.lists = []

    def close(self):
        self.model.dispose()

    def leaf(self, name):
        m = self.model
        if name == "model":
            return m
        if name in ("var", "constr", "qconstr", "genconstr", "sos", "removed"):
            return getattr(self, name)
        if name == "cmodel":
            return m._cmodel
        if name == "cenv":
            return m._cenv
        if name == "unadded":
            return Var()
        if name == "disposed":
            return self.gone_model
        if name == "freed_handle":
            return self.gone_model._cmodel
        if name == "forged_handle":
            return _capsule_new(0x7A1310 + 16 * 1000, _forged_name, None)
        if name == "other_capsule":
            return _capsule_new(id(self), b"elsewhere", None)
        if name == "linexpr":
            return 2 * self.var + self.var2 + 3
        if name == "quadexpr":
            return self.var * self.var2 + self.var
        if name == "mvar":
            return MVar.fromlist([self.var, self.var2])
        if name == "mlinexpr":
            return MLinExpr(np.array([self.var + 1], dtype=object))
        if name == "ndarray":
            return np.arange(3.0)
        if name == "objarray":
            arr = np.empty(2, dtype=object)
            arr[:] = [self.var, Constr()]
            return arr
        if name == "generator":
            return (a + b for a in [1, 2] for b in [3])
        if name == "started_generator":
            g = (a for a in [1, 2, 3])
            next(g)
            return g
        if name == "code":
            return (lambda a, b=1: (a, "s", b)).__code__
        if name == "element_list":
            return [self.var, self.constr, self.var2]
        raise AssertionError(name)

    def build(self, desc):
        kind = desc[0]
        if kind == "plain":
            return self.capped(desc[1])
        if kind == "world":
            return self.leaf(desc[1])
        if kind in ("list", "tuple"):
            items = [self.build(d) for d in desc[1]]
            if kind == "tuple":
                return tuple(items)
            self.lists.append(items)
            return items
        if kind == "hostile":
            _, behaviour, children = desc
            return Hostile(self, behaviour, [self.build(d) for d in children])
        raise AssertionError(desc)

    def capped(self, value):
        if self.cap is not None and type(value) is int and abs(value) > self.cap:
            return self.cap
        return value

    # -- side effects a hostile object can have mid-call --
    def effect(self, which, seed):
        if which == "gc":
            gc.collect()
        elif which == "rebind":
            mod = MODULES[seed % 3]
            names = MODULE_GLOBALS[("brevix", "quarnel", "exception")[seed % 3]]
            name = names[seed // 3 % len(names)]
            vars(mod)[name] = (None, 0, Hostile(self, {}, []), object())[seed // 7 % 4]
        elif which == "unimport":
            for name in PACKAGE_MODULES[seed % len(PACKAGE_MODULES):][:2]:
                sys.modules.pop(name, None)
        elif which == "mutate":
            if _numpy_is_reading():
                return
            for items in self.lists:
                if seed % 3 == 0:
                    items.clear()
                elif seed % 3 == 1:
                    del items[len(items) // 2:]
                else:
                    items.extend([Hostile(self, {}, [])] * 3)
        elif which == "dispose":
            self.model.dispose()
        elif which == "defaults":
            # Drops the tuples that omitted arguments were taken from.
            for mod in MODULES:
                for value in list(vars(mod).values()):
                    if type(value).__name__ == "native_function" and value.__defaults__:
                        value.__defaults__ = tuple(object() for _ in value.__defaults__)
            gc.collect()
        elif which == "vnt":
            name = ("INFINITY", "UNDEFINED", "Error")[seed % 3]
            setattr(VNT, name, (None, "inf", 2**100, -1.0)[seed // 3 % 4])


# numpy reads a list's items through borrowed pointers while it converts the
# list to an array, so emptying the list from inside one of its items' methods
# crashes numpy itself; nothing of ours is on the stack then (an item whose
# `__iter__` clears its own list crashes `np.asarray(items)` on its own).
# The host's matrix stand-ins hand caller data straight to numpy, so lists are
# left alone while numpy or those stand-ins called the hostile method.
_NUMPY_DIR = os.path.dirname(np.__file__) + os.sep
_MATRIXAPI_FILE = sys.modules["vantropy._matrixapi"].__file__


def _numpy_is_reading():
    frame = sys._getframe(1)
    while frame is not None and frame.f_code.co_filename == __file__:
        frame = frame.f_back
    if frame is None:
        return False
    filename = frame.f_code.co_filename
    return filename.startswith(_NUMPY_DIR) or filename == _MATRIXAPI_FILE


# What a hostile object answers when its action only has a side effect.
PLAIN_ANSWERS = {
    "__eq__": False, "__lt__": False, "__int__": 1, "__index__": 1, "__float__": 1.0,
    "__len__": 2, "__bool__": True, "__format__": "h", "__str__": "h",
    "__cindex__": 0, "item": None, "size": 1, "getCoeff": 1.0, "getConstant": 0.0,
    "_owns": True, "_typename": "Var", "_typeenum": 1, "_is_compact": False,
    "shape": (2,), "f_locals": {},
}


class Hostile:
    def __init__(self, world, behaviour, children):
        object.__setattr__(self, "_w", world)
        object.__setattr__(self, "_b", behaviour)
        object.__setattr__(self, "_c", children)

    def _act(self, slot, *args):
        behaviour = object.__getattribute__(self, "_b")
        children = object.__getattribute__(self, "_c")
        world = object.__getattribute__(self, "_w")
        if slot not in behaviour:
            return self._plain(slot, world, children, *args)
        what = behaviour[slot]
        if what[0] == "raise":
            raise what[1]("hostile " + slot)
        if what[0] == "return":
            return world.build(what[1])
        if what[0] == "huge":
            return world.capped(what[1])
        world.effect(what[1], what[2])
        return self._plain(slot, world, children, *args)

    def _plain(self, slot, world, children, *args):
        if slot == "__getitem__":
            return children[args[0]] if isinstance(args[0], int) else children[0:0]
        if slot == "__iter__":
            return iter(children)
        if slot == "__len__":
            return len(children)
        if slot in ("_cmodel", "_cenv"):
            return getattr(world.model, slot)
        if slot in ("getVar", "item", "_to_full", "gi_frame", "f_code", "_learr"):
            return children[0] if children else self
        if slot in PLAIN_ANSWERS:
            return PLAIN_ANSWERS[slot]
        raise AttributeError(slot)

    def __getattr__(self, name):
        if name in ATTRIBUTES:
            return self._act(name)
        if name in METHODS:
            return lambda *a, **k: self._act(name, *a)
        raise AttributeError(name)

    def __repr__(self):
        return f"Hostile({sorted(object.__getattribute__(self, '_b'))})"

    __hash__ = object.__hash__


def _dunder(slot):
    def method(self, *args):
        return self._act(slot, *args)
    method.__name__ = slot
    return method


for _slot in DUNDERS:
    setattr(Hostile, _slot, _dunder(_slot))


# ---- one call ----------------------------------------------------------------

def _functions():
    return [v for m in MODULES for v in vars(m).values() if type(v).__name__ == "native_function"]


def _snapshot():
    return ([dict(vars(m)) for m in MODULES], [(f, f.__defaults__) for f in _functions()],
            {name: sys.modules.get(name) for name in PACKAGE_MODULES},
            {name: vars(VNT)[name] for name in ("INFINITY", "UNDEFINED", "Error")})


def _restore(snap):
    namespaces, defaults, modules, constants = snap
    for function, saved in defaults:
        function.__defaults__ = saved
    for mod, saved in zip(MODULES, namespaces):
        ns = vars(mod)
        if list(ns) != list(saved) or any(ns[k] is not v for k, v in saved.items()):
            ns.clear()
            ns.update(saved)
    for name, mod in modules.items():
        if mod is None:
            sys.modules.pop(name, None)
        else:
            sys.modules[name] = mod
    for name, value in constants.items():
        setattr(VNT, name, value)


def check_usable():
    """The modules still do their job after a hostile call."""
    m = Model("after")
    try:
        v = m.addVar(lb=1.5, name="v")
        assert brevix._getattr(v, "LB") == 1.5
        brevix._setattr(v, "VarName", "w")
        assert brevix._gettypedattrlist(m, "VarName", 3, [0]) == ["w"]
        assert quarnel._indexname("x", (1, "a")) == "x[1,a]"
        assert quarnel._wheres_bitvector([0, 2]) == 5
        assert str(exception.VantroError(3, "text")) == "text"
    finally:
        m.dispose()


def check_outcome(exc):
    """An exception is acceptable when it is an ordinary one with a message
    that says something; SystemError means a native function lied about
    its own state."""
    assert isinstance(exc, Exception), exc
    assert not isinstance(exc, SystemError), repr(exc)
    try:
        text = str(exc)
    except Exception:  # a message built from a hostile object may refuse
        return
    # (The text may quote the caller's own strings, so only the phrases the
    # interpreter uses for a native function's broken promises are looked for.)
    assert "returned NULL" not in text and "without setting an error" not in text, text


def run_hostile(call, descs, cap=None):
    """Builds the arguments in a fresh world, calls `call(*arguments)`, and
    checks the outcome and that everything still works afterwards."""
    snap = _snapshot()
    with heap_set_aside():
        world = World(cap)
        try:
            built = [world.build(d) for d in descs]
            try:
                result = call(*built)
            except Exception as exc:
                check_outcome(exc)
                result = None
            del result
        finally:
            _restore(snap)
            world.close()
        gc.collect()
    check_usable()
