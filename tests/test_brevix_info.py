"""Attribute information, the solver's error text and the attribute list."""
import pytest

import vantropy._brevix as brevix
from vantropy import _standin, _util
from vantropy._core import Env
from vantropy._exception import VantroError

from brevix_support import Element, model, rebound, var  # noqa: F401  (fixtures)

MODEL_ATTRS = ["ModelName", "NumVars", "NumConstrs", "Direction", "ObjOffset", "ObjValue",
               "TimeLimit"]
VAR_ATTRS = ["LB", "UB", "Cost", "Kind", "VarName", "Value", "Priority"]


# ---- _getattrinfo -------------------------------------------------------------

@pytest.mark.parametrize("name, triple", [
    ("ModelName", (3, 0, 1)),
    ("NumVars", (1, 0, 0)),
    ("ObjValue", (2, 0, 0)),
    ("LB", (2, 1, 1)),
    ("Kind", (0, 1, 1)),
    ("Value", (2, 1, 0)),
    ("Sense", (0, 2, 1)),
    ("QCName", (3, 3, 1)),
    ("GenConstrName", (3, 4, 1)),
    ("SOSName", (3, 5, 1)),
])
def test_getattrinfo_gives_type_kind_and_settable(model, name, triple):
    info = brevix._getattrinfo(model, name)
    assert type(info) is tuple and info == triple


@pytest.mark.parametrize("typename", ["Model", "Var", "Constr"])
def test_getattrinfo_unknown_name_is_a_missing_attribute(model, typename):
    obj = Element(model, typename=typename)
    with pytest.raises(AttributeError) as info:
        brevix._getattrinfo(obj, "Colour")
    assert info.value.args == (f"'vantropy.{typename}' object has no attribute 'Colour'",)


def test_getattrinfo_failure_ignores_the_solver_code_and_text(model):
    _standin.fail_next(model, 7009, "handle trouble")
    with pytest.raises(AttributeError) as info:
        brevix._getattrinfo(model, "LB")
    assert str(info.value) == "'vantropy.Model' object has no attribute 'LB'"


NUL_NAME = "LB\x00junk"  # the library would read it cut short, as LB
getattrinfo = brevix._getattrinfo  # the module's own, whatever the namespace holds


@pytest.mark.parametrize("call, typename", [
    pytest.param(lambda m, v: getattrinfo(v, NUL_NAME), "Var", id="info"),
    pytest.param(lambda m, v: brevix._getattr(v, NUL_NAME), "Var", id="get"),
    pytest.param(lambda m, v: brevix._setattr(v, NUL_NAME, 1.0), "Var", id="set"),
    pytest.param(lambda m, v: brevix._prefetchattr(v, NUL_NAME), "Var", id="prefetch"),
    pytest.param(lambda m, v: brevix._settypedattrlist(m, NUL_NAME, 2, [0], [1.0]), "Model",
                 id="list set"),
    pytest.param(lambda m, v: brevix._gettypedattrlist(m, NUL_NAME, 2, [0]), "Model",
                 id="list get"),
])
@pytest.mark.parametrize("info", [None, (2, 1, 1)], ids=["real info", "info that knows it"])
def test_a_name_holding_a_nul_is_unknown_and_never_reaches_the_library(model, var, call,
                                                                       typename, info):
    _standin.reset_calls(model)
    with rebound(**({"_getattrinfo": lambda obj, name: info} if info else {})):
        with pytest.raises((AttributeError, VantroError)) as raised:
            call(model, var)
    text = f"'vantropy.{typename}' object has no attribute '{NUL_NAME}'"
    if raised.type is VantroError:  # a failed list read
        assert (raised.value.errno, raised.value.message) == (7004, text)
    else:
        assert raised.type is AttributeError and raised.value.args == (text,)
    assert _standin.calls(model) == {}
    assert not hasattr(var, "UB\x00x")


def test_getattrinfo_accepts_bytearray_names(model):
    with rebound(_stringtobytes=lambda s: bytearray(s, "ascii")):
        assert brevix._getattrinfo(model, "UB") == (2, 1, 1)


@pytest.mark.parametrize("make, exc, text", [
    (lambda m: type("NoHandle", (), {"_typename": "X"})(), AttributeError, "_cmodel"),
    (lambda m: type("NoneHandle", (), {"_cmodel": None})(), TypeError, "solver handle"),
])
def test_getattrinfo_needs_a_handle(model, make, exc, text):
    with pytest.raises(exc, match=text):
        brevix._getattrinfo(make(model), "LB")


def test_getattrinfo_name_must_encode_to_bytes(model):
    with rebound(_stringtobytes=lambda s: s):
        with pytest.raises(TypeError, match="expected bytes or bytearray, not 'str'"):
            brevix._getattrinfo(model, "LB")


@pytest.mark.parametrize("typename, exc", [(None, AttributeError), (7, TypeError)])
def test_getattrinfo_message_needs_a_str_typename(model, typename, exc):
    obj = Element(model)
    if typename is None:
        del obj._typename
    else:
        obj._typename = typename
    with pytest.raises(exc):
        brevix._getattrinfo(obj, "Colour")


# ---- _geterrormsg -------------------------------------------------------------

class Holder:
    pass


def holder(**attrs):
    h = Holder()
    vars(h).update(attrs)
    return h


def test_geterrormsg_reads_the_model_text(model):
    _standin.set_error_message(model, b"Index 7 out of range for attribute 'LB'")
    assert brevix._geterrormsg(model) == "Index 7 out of range for attribute 'LB'"


def test_geterrormsg_prefers_the_model_over_the_environment(model):
    env = Env()
    _standin.set_error_message(env, b"environment text")
    _standin.set_error_message(model, b"model text")
    assert brevix._geterrormsg(holder(_cenv=env._cenv)) == "environment text"
    assert brevix._geterrormsg(holder(_cenv=env._cenv, _cmodel=model._cmodel)) == "model text"


@pytest.mark.parametrize("raw, text", [
    (b"bad \xff byte", "bad \ufffd byte"),
    (b"", ""),
    ("caf\u00e9".encode(), "caf\u00e9"),
])
def test_geterrormsg_decodes_with_replacement(model, raw, text):
    _standin.set_error_message(model, raw)
    assert brevix._geterrormsg(model) == text


@pytest.mark.parametrize("obj", [42, None, holder()])
def test_geterrormsg_without_handles_is_empty(obj):
    assert brevix._geterrormsg(obj) == ""


class RaisingHandle:
    def __init__(self, exc, cenv=None):
        self.exc = exc
        if cenv is not None:
            self._cenv = cenv

    @property
    def _cmodel(self):
        raise self.exc


def test_geterrormsg_propagates_other_errors_of_the_lookup():
    with pytest.raises(ValueError, match="broken"):
        brevix._geterrormsg(RaisingHandle(ValueError("broken")))


def test_geterrormsg_treats_attribute_error_as_absent():
    env = Env()
    _standin.set_error_message(env, b"from the environment")
    assert brevix._geterrormsg(RaisingHandle(AttributeError("x"), env._cenv)) == \
        "from the environment"


def test_geterrormsg_raises_what_ptr_raises():
    with pytest.raises(TypeError, match="solver handle"):
        brevix._geterrormsg(holder(_cmodel=5))


# ---- _attrlist ----------------------------------------------------------------

@pytest.mark.parametrize("kind, names", [
    (0, MODEL_ATTRS),
    (1, VAR_ATTRS),
    (2, ["RHS", "Sense", "ConstrName", "Dual"]),
    (3, ["QCRHS", "QCName"]),
    (4, ["GenConstrName"]),
    (5, ["SOSName"]),
    (9, []),
])
def test_attrlist_lists_one_kind_in_library_order(model, kind, names):
    assert brevix._attrlist(model._cmodel, kind) == names


class AnyKind:
    def __eq__(self, other):
        return True


@pytest.mark.parametrize("kind, count", [(1.0, 7), (True, 7), (AnyKind(), 22)])
def test_attrlist_compares_kinds_with_python_equality(model, kind, count):
    assert len(brevix._attrlist(model._cmodel, kind)) == count


@pytest.mark.parametrize("kind, names", [(-1, []), (0, MODEL_ATTRS[1:])])
def test_attrlist_leaves_out_a_name_whose_kind_lookup_fails(model, kind, names):
    _standin.fail_next(model, 7003, "x")  # the lookup of ModelName's kind
    assert brevix._attrlist(model._cmodel, kind) == names


def test_attrlist_includes_defined_attributes_at_the_end(model):
    _standin.define_attribute(model, "Colour", 3, 1, 1)
    assert brevix._attrlist(model._cmodel, 1) == VAR_ATTRS + ["Colour"]


def test_attrlist_of_a_model_without_attributes_is_empty(model):
    _standin.hide_attributes(model, True)
    assert brevix._attrlist(model._cmodel, 1) == []


def test_attrlist_converts_names_through_the_namespace(model):
    with rebound(_bytestostring=lambda b: b.decode().lower()):
        assert brevix._attrlist(model._cmodel, 3) == ["qcrhs", "qcname"]


def test_attrlist_raises_when_the_library_gives_no_name(model):
    seen = []

    def free_after_first(raw):
        # The handle dies mid-listing; the next name lookup finds nothing.
        if not seen:
            _util._freemodel(model._cmodel)
        seen.append(raw)
        return raw.decode()

    with rebound(_bytestostring=free_after_first):
        with pytest.raises(VantroError) as info:
            brevix._attrlist(model._cmodel, 0)
    assert (info.value.errno, info.value.message) == (7009, "Invalid model handle")
    assert seen == [b"ModelName"]


def test_attrlist_needs_a_handle():
    with pytest.raises(TypeError, match="solver handle"):
        brevix._attrlist(None, 1)
