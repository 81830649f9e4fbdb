"""A million-element list call holds no more than its result needs: the
native buffers are small next to the Python objects, and nothing is copied
twice.  Peak memory is measured with tracemalloc (not timing)."""
import gc
import sys
import tracemalloc

import pytest

import vantropy._brevix as brevix
import vantropy._quarnel as quarnel
from vantropy import _util
from vantropy._core import Model

N = 1_000_000


@pytest.fixture(scope="module")
def big():
    m = Model("big")
    for _ in range(N):
        _util._addelement(m._cmodel, 1)
    idx = list(range(N))
    brevix._settypedattrlist(m, "LB", 2, idx, [i * 0.25 for i in idx])
    brevix._settypedattrlist(m, "Priority", 1, idx, idx)
    brevix._settypedattrlist(m, "VarName", 3, idx[:1000], [f"v{i}" for i in range(1000)])
    yield m, idx
    m.dispose()


def own_size(obj):
    seen, total = set(), sys.getsizeof(obj)
    for item in obj:
        if id(item) not in seen:
            seen.add(id(item))
            total += sys.getsizeof(item)
    return total


def peak_of(fn, *args):
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        result = fn(*args)
        peak = tracemalloc.get_traced_memory()[1] - before
    finally:
        tracemalloc.stop()
    return result, peak


@pytest.mark.parametrize("attr,attrtype", [("LB", 2), ("Priority", 1), ("Kind", 0)])
def test_list_read_peak(big, attr, attrtype):
    m, idx = big
    result, peak = peak_of(brevix._gettypedattrlist, m, attr, attrtype, idx)
    assert len(result) == N
    assert peak <= 1.5 * own_size(result)


@pytest.mark.parametrize("attr,attrtype,make", [
    ("UB", 2, lambda i: i * 0.5),
    ("Priority", 1, lambda i: i),
    ("Kind", 0, lambda i: "CBI"[i % 3]),
])
def test_list_write_peak(big, attr, attrtype, make):
    m, idx = big
    values = [make(i) for i in idx]
    _, peak = peak_of(brevix._settypedattrlist, m, attr, attrtype, idx, values)
    # The index and value buffers, against the data they were made from.
    assert peak <= 1.5 * (own_size(values) + sys.getsizeof(idx))


@pytest.mark.parametrize("shape", [(N,), (1, N)])
def test_names_peak(shape):
    result, peak = peak_of(quarnel._nd_indexed_names, "x", shape)
    assert len(result) == N
    assert peak <= 1.5 * own_size(result)
