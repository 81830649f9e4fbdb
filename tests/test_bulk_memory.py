"""A bulk list call holds no more than its result needs: the native buffers
are small next to the Python objects, and nothing is copied twice.  Peak
memory is measured with tracemalloc (not timing); 100,000 elements are
enough for fixed costs to vanish next to a copy."""
import sys

import pytest

import vantropy._brevix as brevix
import vantropy._quarnel as quarnel
from vantropy import _util
from vantropy._core import Model

from memory import deep_size, peak_of

N = 100_000


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


@pytest.mark.parametrize("attr,attrtype", [("LB", 2), ("Priority", 1), ("Kind", 0)])
def test_list_read_peak(big, attr, attrtype):
    m, idx = big
    result, peak = peak_of(brevix._gettypedattrlist, m, attr, attrtype, idx)
    assert len(result) == N
    assert peak <= 1.5 * deep_size(result)


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
    assert peak <= 1.5 * (deep_size(values) + sys.getsizeof(idx))


@pytest.mark.parametrize("shape", [(N,), (1, N)])
def test_names_peak(shape):
    result, peak = peak_of(quarnel._nd_indexed_names, "x", shape)
    assert len(result) == N
    assert peak <= 1.5 * deep_size(result)
