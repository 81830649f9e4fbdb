"""The stand-in solver library on its own: handles, catalogue, error paths and
the test hooks, driven through ctypes and vantropy._standin."""

import ctypes
import pathlib

import pytest

from vantropy import _standin

# Load the very library the hooks module is linked to (same file, so the
# loader hands back the instance already mapped).
LIB = ctypes.CDLL(str(pathlib.Path(_standin.__file__).parent / "libvantro130.so"))

P, I, D, S = ctypes.c_void_p, ctypes.c_int, ctypes.c_double, ctypes.c_char_p
IP, DP, CP, SP = ctypes.POINTER(I), ctypes.POINTER(D), ctypes.POINTER(ctypes.c_char), ctypes.POINTER(S)
for _name, _args in {
    "VNTnewenv": [ctypes.POINTER(P), S], "VNTfreeenv": [P], "VNTnewmodel": [P, ctypes.POINTER(P), S],
    "VNTfreemodel": [P], "VNTaddelement": [P, I, IP], "VNTdelelement": [P, I, I],
    "VNTgetnumelements": [P, I, IP], "VNTgetattrinfo": [P, S, IP, IP, IP], "VNTgetnumattributes": [P],
    "VNTgetattrname": [P, I, SP], "VNTprefetchattr": [P, S],
    "VNTgetintattr": [P, S, IP], "VNTgetdblattr": [P, S, DP], "VNTgetstrattr": [P, S, ctypes.POINTER(P)],
    "VNTsetintattr": [P, S, I], "VNTsetdblattr": [P, S, D], "VNTsetstrattr": [P, S, S],
    "VNTgetcharattrelement": [P, S, I, CP], "VNTgetintattrelement": [P, S, I, IP],
    "VNTgetdblattrelement": [P, S, I, DP], "VNTgetstrattrelement": [P, S, I, ctypes.POINTER(P)],
    "VNTsetcharattrelement": [P, S, I, ctypes.c_char], "VNTsetintattrelement": [P, S, I, I],
    "VNTsetdblattrelement": [P, S, I, D], "VNTsetstrattrelement": [P, S, I, S],
    "VNTgetcharattrlist": [P, S, I, IP, CP], "VNTgetintattrlist": [P, S, I, IP, IP],
    "VNTgetdblattrlist": [P, S, I, IP, DP], "VNTgetstrattrlist": [P, S, I, IP, SP],
    "VNTsetcharattrlist": [P, S, I, IP, CP], "VNTsetintattrlist": [P, S, I, IP, IP],
    "VNTsetdblattrlist": [P, S, I, IP, DP], "VNTsetstrattrlist": [P, S, I, IP, SP],
}.items():
    getattr(LIB, _name).argtypes = _args
    getattr(LIB, _name).restype = I
LIB.VNTgeterrormsg.argtypes = LIB.VNTgetmerrormsg.argtypes = [P]
LIB.VNTgeterrormsg.restype = LIB.VNTgetmerrormsg.restype = S

OUT_OF_MEMORY, NULL_ARGUMENT, INVALID_ARGUMENT, UNKNOWN_ATTRIBUTE, DATA_NOT_AVAILABLE = range(7001, 7006)
INDEX_OUT_OF_RANGE, OPTIMIZATION_IN_PROGRESS, NOT_SUPPORTED, INVALID_HANDLE = range(7006, 7010)
INFINITY, UNDEFINED = 1e30, 1e31

_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.argtypes = [P, S, P]
_capsule_new.restype = ctypes.py_object
# Capsules keep a pointer to their name, so the names must outlive them.
_MODEL_NAME = ctypes.create_string_buffer(b"vantro130.model")
_ENV_NAME = ctypes.create_string_buffer(b"vantro130.env")


def capsule(handle, name):
    return _capsule_new(handle, ctypes.cast(name, S), None)


class Env:
    def __init__(self):
        h = P()
        assert LIB.VNTnewenv(ctypes.byref(h), None) == 0
        self.h, self._cenv = h, capsule(h, _ENV_NAME)


class Model:
    def __init__(self, env, name=b""):
        h = P()
        assert LIB.VNTnewmodel(env.h, ctypes.byref(h), name) == 0
        self.h, self._cenv, self._cmodel = h, env._cenv, capsule(h, _MODEL_NAME)

    def add(self, kind, n=1):
        return [self.call("VNTaddelement", kind, None) for _ in range(n)]

    def call(self, fn, *args):
        return getattr(LIB, fn)(self.h, *args)

    @property
    def message(self):
        return LIB.VNTgetmerrormsg(self.h)

    def dbl(self, name, index=None):
        out = D()
        rc = (self.call("VNTgetdblattr", name, ctypes.byref(out)) if index is None
              else self.call("VNTgetdblattrelement", name, index, ctypes.byref(out)))
        assert rc == 0, self.message
        return out.value

    def names(self, attr, count):
        ind, out = (I * count)(*range(count)), (S * count)()
        assert self.call("VNTgetstrattrlist", attr, count, ind, out) == 0
        return list(out)


@pytest.fixture
def env():
    e = Env()
    yield e
    LIB.VNTfreeenv(e.h)


@pytest.fixture
def model(env):
    m = Model(env, b"plan")
    yield m
    LIB.VNTfreemodel(m.h)


CATALOGUE = [  # name, data type, kind, settable
    ("ModelName", 3, 0, 1), ("NumVars", 1, 0, 0), ("NumConstrs", 1, 0, 0), ("Direction", 1, 0, 1),
    ("ObjOffset", 2, 0, 1), ("ObjValue", 2, 0, 0), ("TimeLimit", 2, 0, 1),
    ("LB", 2, 1, 1), ("UB", 2, 1, 1), ("Cost", 2, 1, 1), ("Kind", 0, 1, 1), ("VarName", 3, 1, 1),
    ("Value", 2, 1, 0), ("Priority", 1, 1, 1),
    ("RHS", 2, 2, 1), ("Sense", 0, 2, 1), ("ConstrName", 3, 2, 1), ("Dual", 2, 2, 0),
    ("QCRHS", 2, 3, 1), ("QCName", 3, 3, 1), ("GenConstrName", 3, 4, 1), ("SOSName", 3, 5, 1),
]


def test_catalogue_lists_attributes_in_order(model):
    n = model.call("VNTgetnumattributes")
    out = S()
    listed = [model.call("VNTgetattrname", i, ctypes.byref(out)) == 0 and out.value.decode() for i in range(n)]
    assert listed == [row[0] for row in CATALOGUE]
    out.value = b"stale"
    assert model.call("VNTgetattrname", n, ctypes.byref(out)) == INDEX_OUT_OF_RANGE
    assert out.value is None


@pytest.mark.parametrize("name,datatype,kind,settable", CATALOGUE)
def test_attribute_info(model, name, datatype, kind, settable):
    got = [I(-5), I(-5), I(-5)]
    assert model.call("VNTgetattrinfo", name.encode(), *map(ctypes.byref, got)) == 0
    assert [v.value for v in got] == [datatype, kind, settable]
    assert model.call("VNTgetattrinfo", name.encode(), None, None, None) == 0


@pytest.mark.parametrize("name,index,expected", [
    ("ModelName", -1, b"plan"), ("NumVars", -1, 2), ("NumConstrs", -1, 1), ("Direction", -1, 1),
    ("ObjValue", -1, UNDEFINED), ("TimeLimit", -1, INFINITY), ("UB", 1, INFINITY), ("Value", 0, UNDEFINED),
    ("Kind", 1, ord("C")), ("Sense", 0, ord("<")), ("VarName", 0, b""), ("Dual", 0, UNDEFINED),
])
def test_defaults_and_raw_get_types(model, name, index, expected):
    model.add(1, 2)
    model.add(2)
    value = _standin.raw_get(model, name, index)
    assert value == expected and type(value) is type(expected)


def test_handles_are_validated_and_never_reused(env):
    seen = set()
    for _ in range(50):
        m = Model(env)
        seen.add(m.h.value)
        assert LIB.VNTfreemodel(m.h) == 0
    assert len(seen) == 50
    stale = m
    fresh = Model(env)
    assert fresh.h.value not in seen
    assert LIB.VNTfreemodel(stale.h) == INVALID_HANDLE
    assert stale.message == b"Invalid model handle"
    assert stale.call("VNTsetstrattr", b"ModelName", b"x") == INVALID_HANDLE
    assert _standin.raw_get(fresh, "ModelName") == b""
    assert LIB.VNTfreemodel(fresh.h) == 0


@pytest.mark.parametrize("handle,code", [(None, NULL_ARGUMENT), (0xDEADBEE8, INVALID_HANDLE)])
@pytest.mark.parametrize("fn,args", [
    ("VNTgetdblattr", (b"ObjValue", D())), ("VNTsetintattrelement", (b"Priority", 0, 1)),
    ("VNTgetdblattrlist", (b"LB", 0, None, None)), ("VNTaddelement", (1, None)),
    ("VNTgetattrinfo", (b"LB", None, None, None)), ("VNTprefetchattr", (b"LB",)), ("VNTfreemodel", ()),
])
def test_null_and_forged_model_handles(handle, code, fn, args):
    assert getattr(LIB, fn)(handle, *args) == code
    assert LIB.VNTgetnumattributes(handle) == 0
    assert LIB.VNTgetmerrormsg(handle) == b"Invalid model handle"


@pytest.mark.parametrize("license,code", [(None, 0), (b"", 0), (b"demo", 0), (b"pirate", INVALID_ARGUMENT)])
def test_environment_license(license, code):
    h = P(0x1234)
    assert LIB.VNTnewenv(ctypes.byref(h), license) == code
    assert (h.value is None) == (code != 0)
    if h.value:
        assert LIB.VNTfreeenv(h) == 0
        assert LIB.VNTfreeenv(h) == INVALID_HANDLE
        assert LIB.VNTgeterrormsg(h) == b"Invalid environment handle"
        assert LIB.VNTnewmodel(h, ctypes.byref(P()), b"") == INVALID_HANDLE


def test_models_outlive_their_environment(env):
    m = Model(env, None)
    assert LIB.VNTfreeenv(env.h) == 0
    assert m.call("VNTsetstrattr", b"ModelName", b"kept") == 0
    assert _standin.raw_get(m, "ModelName") == b"kept"
    assert LIB.VNTfreemodel(m.h) == 0


@pytest.mark.parametrize("fn,args,code,message", [
    ("VNTgetdblattr", (b"Foo", D()), UNKNOWN_ATTRIBUTE, "Unknown attribute 'Foo'"),
    ("VNTgetdblattrelement", (b"LB", 7, D()), INDEX_OUT_OF_RANGE, "Index 7 out of range for attribute 'LB'"),
    ("VNTsetdblattrelement", (b"LB", -1, 1.0), INDEX_OUT_OF_RANGE, "Index -1 out of range for attribute 'LB'"),
    ("VNTgetintattrelement", (b"LB", 0, I()), INVALID_ARGUMENT, "Attribute 'LB' is not of type int"),
    ("VNTgetstrattr", (b"ObjValue", P()), INVALID_ARGUMENT, "Attribute 'ObjValue' is not of type string"),
    ("VNTsetintattr", (b"NumVars", 3), NOT_SUPPORTED, "Attribute 'NumVars' cannot be set"),
    ("VNTsetdblattrelement", (b"Value", 0, 1.0), NOT_SUPPORTED, "Attribute 'Value' cannot be set"),
    ("VNTgetdblattr", (b"LB", D()), INVALID_ARGUMENT,
     "Attribute 'LB' belongs to variables and needs an element index"),
    ("VNTgetdblattrelement", (b"ObjValue", 0, D()), INVALID_ARGUMENT,
     "Attribute 'ObjValue' belongs to the model and takes no element index"),
    ("VNTgetdblattrlist", (b"TimeLimit", 0, None, None), INVALID_ARGUMENT,
     "Attribute 'TimeLimit' belongs to the model and takes no element index"),
    ("VNTgetdblattr", (None, D()), NULL_ARGUMENT, "Null attribute name"),
    ("VNTgetdblattr", (b"ObjValue", None), NULL_ARGUMENT, "Null value pointer for attribute 'ObjValue'"),
    ("VNTsetstrattr", (b"ModelName", None), NULL_ARGUMENT, "Null string value for attribute 'ModelName'"),
    ("VNTgetdblattrlist", (b"LB", -1, None, None), INVALID_ARGUMENT, "Negative length -1 for attribute 'LB'"),
    ("VNTgetdblattrlist", (b"LB", 1, None, (D * 1)()), NULL_ARGUMENT, "Null index array for attribute 'LB'"),
    ("VNTsetdblattrlist", (b"LB", 1, (I * 1)(), None), NULL_ARGUMENT, "Null value array for attribute 'LB'"),
    ("VNTprefetchattr", (b"Nope",), UNKNOWN_ATTRIBUTE, "Unknown attribute 'Nope'"),
    ("VNTgetattrinfo", (b"Nope", None, None, None), UNKNOWN_ATTRIBUTE, "Unknown attribute 'Nope'"),
    ("VNTaddelement", (0, None), INVALID_ARGUMENT, "Cannot add an element of kind 0; elements have kinds 1 to 5"),
    ("VNTdelelement", (2, 0), INDEX_OUT_OF_RANGE, "Index 0 out of range for linear constraints"),
])
def test_failures_set_a_message_and_success_keeps_it(model, fn, args, code, message):
    model.add(1)
    assert model.call(fn, *args) == code
    assert model.message.decode() == message
    assert model.call("VNTsetdblattrelement", b"LB", 0, 2.0) == 0
    assert model.message.decode() == message


LIST_CASES = [  # attribute, list family, C type, new values
    ("LB", "dbl", D, [1.5, -2.0]), ("Priority", "int", I, [4, -9]),
    ("Kind", "char", ctypes.c_char, [b"B", b"\xe9"]), ("VarName", "str", S, [b"x", "\u00e9t\u00e9".encode()]),
]


@pytest.mark.parametrize("attr,family,ctype,values", LIST_CASES)
def test_list_round_trip_and_atomic_failure(model, attr, family, ctype, values):
    model.add(1, 3)
    before = [_standin.raw_get(model, attr, i) for i in range(3)]
    ind = (I * 3)(2, 0, 3)
    assert model.call(f"VNTset{family}attrlist", attr.encode(), 3, ind, (ctype * 3)(*values, values[0])) == \
        INDEX_OUT_OF_RANGE
    assert [_standin.raw_get(model, attr, i) for i in range(3)] == before
    assert model.call(f"VNTset{family}attrlist", attr.encode(), 2, ind, (ctype * 2)(*values)) == 0
    out = (ctype * 3)()
    assert model.call(f"VNTget{family}attrlist", attr.encode(), 3, (I * 3)(0, 2, 0), out) == 0
    assert list(out) == [values[1], values[0], values[1]]
    assert model.call(f"VNTget{family}attrlist", attr.encode(), 0, None, None) == 0


def test_string_list_with_a_null_entry_writes_nothing(model):
    model.add(1, 2)
    assert model.call("VNTsetstrattrlist", b"VarName", 2, (I * 2)(0, 1), (S * 2)(b"a", None)) == NULL_ARGUMENT
    assert model.message == b"Null string value for attribute 'VarName' at position 1"
    assert model.names(b"VarName", 2) == [b"", b""]


def test_char_values_keep_every_byte(model):
    model.add(1)
    assert model.call("VNTsetcharattrelement", b"Kind", 0, b"\xff") == 0
    out = ctypes.c_char()
    assert model.call("VNTgetcharattrelement", b"Kind", 0, ctypes.byref(out)) == 0
    assert out.value == b"\xff" and _standin.raw_get(model, "Kind", 0) == 255


def test_setter_stores_exactly_what_it_is_given(model):
    model.add(1)
    for value in (1e30, -1e30, 1e31, 1e300):
        assert model.call("VNTsetdblattrelement", b"UB", 0, value) == 0
        assert _standin.raw_get(model, "UB", 0) == value


def test_deleting_renumbers_later_elements_of_the_kind(model):
    assert model.add(1, 3) == [0] * 3  # with a null index pointer
    index = I(-1)
    assert model.call("VNTaddelement", 2, ctypes.byref(index)) == 0 and index.value == 0
    assert model.call("VNTsetstrattrlist", b"VarName", 3, (I * 3)(0, 1, 2), (S * 3)(b"a", b"b", b"c")) == 0
    assert model.call("VNTdelelement", 1, 1) == 0
    assert model.names(b"VarName", 2) == [b"a", b"c"]
    count = I()
    assert model.call("VNTgetnumelements", 1, ctypes.byref(count)) == 0 and count.value == 2
    assert (_standin.raw_get(model, "NumVars"), _standin.raw_get(model, "NumConstrs")) == (2, 1)
    assert model.call("VNTgetdblattrelement", b"LB", 2, ctypes.byref(D())) == INDEX_OUT_OF_RANGE
    assert model.call("VNTaddelement", 1, ctypes.byref(index)) == 0 and index.value == 2
    assert model.names(b"VarName", 3) == [b"a", b"c", b""]


def test_returned_strings_survive_element_growth(model):
    model.add(1)
    assert model.call("VNTsetstrattrelement", b"VarName", 0, b"x0") == 0
    ptr = P()
    assert model.call("VNTgetstrattrelement", b"VarName", 0, ctypes.byref(ptr)) == 0
    model.add(1, 200)
    assert ctypes.string_at(ptr.value) == b"x0"


def test_call_counting_and_reset(model):
    model.add(1)
    model.call("VNTgetdblattrelement", b"LB", 0, ctypes.byref(D()))
    model.call("VNTgetdblattrelement", b"Nope", 0, ctypes.byref(D()))
    model.call("VNTsetcharattrelement", b"Kind", 0, b"B")
    model.call("VNTgetdblattrlist", b"LB", 0, None, None)
    _ = model.message
    _standin.raw_get(model, "LB", 0)
    _standin.set_busy(model, False)
    assert _standin.calls(model) == {
        "VNTaddelement": 1, "VNTgetdblattrelement": 2, "VNTsetcharattrelement": 1,
        "VNTgetdblattrlist": 1, "VNTgetmerrormsg": 1,
    }
    _standin.reset_calls(model)
    assert _standin.calls(model) == {}
    model.call("VNTgetnumattributes")
    assert _standin.calls(model) == {"VNTgetnumattributes": 1}


CONSUMERS = [  # calls that an injected failure or the busy state applies to
    ("VNTgetdblattrelement", (b"LB", 0, D())), ("VNTsetstrattr", (b"ModelName", b"new")),
    ("VNTsetintattrlist", (b"Priority", 1, (I * 1)(0), (I * 1)(5))), ("VNTprefetchattr", (b"LB",)),
    ("VNTgetcharattrlist", (b"Kind", 0, None, None)),
]


@pytest.mark.parametrize("fn,args", CONSUMERS + [("VNTgetattrinfo", (b"LB", None, None, None))])
def test_fail_next_is_consumed_once(model, fn, args):
    model.add(1)
    _standin.fail_next(model, DATA_NOT_AVAILABLE, b"\xff not yet")
    assert model.call("VNTgetnumattributes") == len(CATALOGUE)  # does not consume it
    assert model.call(fn, *args) == DATA_NOT_AVAILABLE
    assert model.message == b"\xff not yet"
    assert _standin.raw_get(model, "ModelName") == b"plan"
    assert model.call(fn, *args) == 0
    assert model.message == b"\xff not yet"


@pytest.mark.parametrize("fn,args", CONSUMERS)
def test_busy_blocks_attribute_calls_but_not_metadata(model, fn, args):
    model.add(1)
    _standin.set_busy(model, True)
    assert model.call(fn, *args) == OPTIMIZATION_IN_PROGRESS
    assert model.message.startswith(b"Optimization in progress")
    assert model.call("VNTgetattrinfo", b"LB", None, None, None) == 0
    assert model.call("VNTgetattrname", 0, ctypes.byref(S())) == 0
    _standin.set_busy(model, False)
    assert model.call(fn, *args) == 0


@pytest.mark.parametrize("raw", [b"", b"\xc3(", "d\u00e9j\u00e0 vu", b"no terminator"])
def test_set_error_message_stores_raw_bytes(env, model, raw):
    expected = raw.encode() if isinstance(raw, str) else raw
    _standin.set_error_message(model, raw)
    _standin.set_error_message(env, raw + raw)
    assert model.message == expected
    assert LIB.VNTgeterrormsg(env.h) == expected + expected


def test_null_string_marks(model):
    model.add(1, 2)
    _standin.set_null_string(model, "VarName", 1)
    _standin.set_null_string(model, "ModelName", -1)
    ptr = P(1)
    assert model.call("VNTgetstrattr", b"ModelName", ctypes.byref(ptr)) == 0 and ptr.value is None
    assert model.names(b"VarName", 2) == [b"", None]
    assert _standin.raw_get(model, "VarName", 1) is None
    assert model.call("VNTsetstrattrelement", b"VarName", 1, b"back") == 0
    assert model.names(b"VarName", 2) == [b"", b"back"]


def test_defined_attribute_with_foreign_type(model):
    _standin.define_attribute(model, "Odd", 7, 1, True)
    model.add(1)
    info = [I(), I(), I()]
    assert model.call("VNTgetattrinfo", b"Odd", *map(ctypes.byref, info)) == 0
    assert [v.value for v in info] == [7, 1, 1]
    assert model.call("VNTgetnumattributes") == len(CATALOGUE) + 1
    for fn, out in [("VNTgetintattrelement", I()), ("VNTgetdblattrelement", D())]:
        assert model.call(fn, b"Odd", 0, ctypes.byref(out)) == INVALID_ARGUMENT
        assert b"'Odd'" in model.message
    with pytest.raises(ValueError, match="data type 7"):
        _standin.raw_get(model, "Odd", 0)
    _standin.define_attribute(model, "LB", 1, 1, False)  # redefined in place, values reset
    assert model.call("VNTsetintattrelement", b"LB", 0, 3) == NOT_SUPPORTED
    assert _standin.raw_get(model, "LB", 0) == 0


def test_hide_attributes(model):
    _standin.hide_attributes(model, True)
    assert model.call("VNTgetnumattributes") == 0
    _standin.hide_attributes(model, False)
    assert model.call("VNTgetnumattributes") == len(CATALOGUE)


class NoHandle:
    pass


class WrongCapsule:
    _cmodel = capsule(0x10, _ENV_NAME)


@pytest.mark.parametrize("call,exc,match", [
    (lambda m: _standin.calls(NoHandle()), TypeError, "_cmodel"),
    (lambda m: _standin.set_busy(WrongCapsule(), True), TypeError, "vantro130.model"),
    (lambda m: _standin.fail_next(m, 1, 3.5), TypeError, "str or bytes"),
    (lambda m: _standin.raw_get(m, "Foo"), ValueError, "Unknown attribute 'Foo'"),
    (lambda m: _standin.raw_get(m, "LB", 0), ValueError, "Index 0 out of range"),
    (lambda m: _standin.raw_get(m, "ModelName", 0), ValueError, "use index -1"),
    (lambda m: _standin.set_null_string(m, "ObjValue", -1), ValueError, "not a string attribute"),
    (lambda m: _standin.define_attribute(m, "", 1, 0, False), ValueError, "Empty attribute name"),
    (lambda m: _standin.set_error_message(NoHandle(), b"x"), TypeError, "_cenv"),
])
def test_hook_argument_errors(model, call, exc, match):
    with pytest.raises(exc, match=match):
        call(model)


def test_hooks_on_a_freed_model_raise(env):
    m = Model(env)
    LIB.VNTfreemodel(m.h)
    for hook in (_standin.calls, _standin.reset_calls, lambda x: _standin.raw_get(x, "ModelName")):
        with pytest.raises(ValueError, match="Invalid model handle"):
            hook(m)
