"""The attribute functions against hostile arguments: every outcome is a
return value or an ordinary exception, and the module keeps working."""
from hypothesis import given
from hypothesis import strategies as st

import vantropy._brevix as brevix

from hostile import HOSTILE, args, hostile_list, mostly, run_hostile

NAMES = ("LB", "UB", "Kind", "VarName", "ModelName", "NumVars", "ObjOffset", "Priority",
         "Value", "RHS", "Sense", "Nope", "\ud800")
element = mostly("var", "constr", "qconstr", "sos", "removed", "unadded")
model = mostly("model", "disposed")
name = mostly(*NAMES)
value = mostly(1.5, 3, "B", "name", "\ud800", float("inf"), 2**40, None)
flag = mostly(True, False, 0, 1)
attrtype = mostly(0, 1, 2, 3, 4, -1)
indices = st.one_of(hostile_list(0, 1, 2, -1, 2**31, 1.5, "0"), mostly("element_list", (), [0]))
values = st.one_of(hostile_list(0, 1.5, "C", "ab", "", b"B", "\ud800", float("inf")),
                   mostly("ndarray"))


def omitting_false(fn):
    """Leaves out an is_model of False, so the body gets the default."""
    return lambda *a: fn(*a[:-1]) if a[-1] is False else fn(*a)


@HOSTILE
@given(st.one_of(element, model), name, flag)
def test_getattr(o, n, is_model):
    run_hostile(omitting_false(brevix._getattr), (o, n, is_model))


@HOSTILE
@given(st.one_of(element, model), name, value, flag)
def test_setattr(o, n, v, is_model):
    run_hostile(omitting_false(brevix._setattr), (o, n, v, is_model))


@HOSTILE
@given(st.one_of(element, model), name)
def test_getattrinfo(o, n):
    run_hostile(brevix._getattrinfo, (o, n))


@HOSTILE
@given(st.one_of(element, model))
def test_geterrormsg(o):
    run_hostile(brevix._geterrormsg, (o,))


@HOSTILE
@given(model, name, attrtype, indices)
def test_gettypedattrlist(o, n, t, ind):
    run_hostile(brevix._gettypedattrlist, (o, n, t, ind))


@HOSTILE
@given(model, name, attrtype, indices, values)
def test_settypedattrlist(o, n, t, ind, v):
    run_hostile(brevix._settypedattrlist, (o, n, t, ind, v))


@HOSTILE
@given(st.one_of(element, model), name, flag)
def test_prefetchattr(o, n, is_model):
    run_hostile(omitting_false(brevix._prefetchattr), (o, n, is_model))


@HOSTILE
@given(mostly("cmodel", "freed_handle", "forged_handle", "other_capsule", "cenv"),
       mostly(0, 1, 2, 5, 6, -1, 2**40))
def test_attrlist(cmodel, kind):
    run_hostile(brevix._attrlist, (cmodel, kind))


@HOSTILE
@given(args(2))
def test_keyword_and_wrong_count_calls(a):
    run_hostile(lambda x, y: brevix._getattr(x, attrname=y, is_model=y, extra=x), a)
    run_hostile(lambda x, y: brevix._setattr(x, y), a)
    run_hostile(lambda x, y: brevix._setattr(obj=x, attrname="LB", newval=y), a)
