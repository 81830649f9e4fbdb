"""The model utilities against hostile arguments: every outcome is a return
value or an ordinary exception, and the module keeps working."""
import itertools

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

import vantropy._quarnel as quarnel

from hostile import HOSTILE, descriptions, hostile_list, mostly, run_hostile

model = mostly(None, "model", "disposed")
source = mostly("var", "constr", "qconstr", "genconstr", "sos", "removed", "unadded", "mvar",
                "objarray", "element_list")


@pytest.mark.parametrize("fn", [quarnel._extract_varlike_cindex, quarnel._extract_constrlike_cindex,
                                quarnel._extract_qconstrlike_cindex,
                                quarnel._extract_genconstrlike_cindex,
                                quarnel._extract_soslike_cindex])
@HOSTILE
@given(source=source, m=model)
def test_extract_cindex(fn, source, m):
    run_hostile(fn, (source, m))


@HOSTILE
@given(mostly("linexpr", "quadexpr", "var", "mvar", "mlinexpr", 2.5))
def test_simpleexpr(a):
    run_hostile(quarnel._simpleexpr, (a,))


@HOSTILE
@given(mostly("x", None, "\ud800", "é"),
       st.one_of(mostly((1, "a"), 5, "ab", [1, 2], ("\udfff",)), hostile_list(1, "a", 2.5)))
def test_indexname(name, index):
    run_hostile(quarnel._indexname, (name, index))


@HOSTILE
@given(st.one_of(mostly((7,), (7, 8)), hostile_list(7, "a")))
def test_simplify_tuple(a):
    run_hostile(quarnel.simplify_tuple, (a,))


@HOSTILE
@given(mostly("x", "\ud800", 5), st.one_of(mostly((2, 3), (1, 12), ()), hostile_list(2, 3, 0)))
def test_nd_indexed_names(prefix, shape):
    # The result holds one name per element of the shape, so the numbers
    # are kept small enough for the list to fit in memory.
    run_hostile(quarnel._nd_indexed_names, (prefix, shape), cap=6)


# Column data whose first item empties the list while the host's matrix
# variable hands it to numpy (which once crashed numpy inside a long campaign).
EMPTIED_COLDATA = ("list", [("hostile", {"__len__": ("effect", "mutate", 0)}, [])]
                   + [("hostile", {}, [])] * 20)


@HOSTILE
@given(mostly("ndarray"), mostly("var", "mvar", "element_list"), mostly(None, float))
@example(EMPTIED_COLDATA, ("world", "mvar"), ("plain", None))
def test_map_coldata_to_vars(coldata, v, dtype):
    run_hostile(quarnel._map_coldata_to_vars, (coldata, v, dtype))


@HOSTILE
@given(st.one_of(hostile_list(0, 3, 70, 200, -1, 2**70), descriptions))
def test_wheres_bitvector(a):
    run_hostile(quarnel._wheres_bitvector, (a,))


def listify_and_use(*a):
    positional, keywords = a[:-1], a[-1]
    # An int index set stands for range(n), which the result lists in full:
    # list(range(2**31)) alone outgrows the machine, in plain Python too.
    positional = tuple(min(p, 8) if type(p) is int else p for p in positional)
    kwargs = {f"k{i}": v for i, v in enumerate(keywords)} if isinstance(keywords, list) else {}
    result = quarnel._listify(*positional, **kwargs)
    result.flatten(positional[0] if positional else [])
    for key in kwargs:
        result.listify(key, 0)
    return result


@HOSTILE
@given(st.lists(st.one_of(hostile_list(1, "a", (1, "a"), [[1], [2]]), mostly(3, "s", None)),
                max_size=4).map(tuple))
def test_listify(a):
    run_hostile(listify_and_use, a)


def key_and_call(x):
    key = quarnel._genexpr_key(x)
    return key()


@HOSTILE
@given(mostly("generator", "started_generator"))
def test_genexpr_key(a):
    run_hostile(key_and_call, (a,))


def drive_argvals(c, sent):
    g = quarnel._instruction_argvals(c)
    out = [next(g)]
    for value in itertools.islice(itertools.cycle([None, sent]), 50):
        out.append(g.send(value))
    g.throw(KeyError, sent)


@HOSTILE
@given(mostly("code"), descriptions)
def test_instruction_argvals(c, sent):
    run_hostile(drive_argvals, (c, sent))


@HOSTILE
@given(mostly("mlinexpr"))
def test_convert_mle_to_predvar_predval(a):
    run_hostile(quarnel._convert_mle_to_predvar_predval, (a,))
