"""The model utilities in plain Python: expressions, element indices,
names, column data, nested lists, bit masks and generator keys."""
import dis
import functools
import itertools
import operator
from collections.abc import Iterable

from vantropy._core import LinExpr, QuadExpr, Var, VantroError, _isscalar, tupledict
from vantropy._matrixapi import MLinExpr, MQuadExpr, MVar
from vantropy._util import _isstr
from vantropy._vnt import VNT


def _simpleexpr(arg):
    if _isscalar(arg) or isinstance(arg, Var) or isinstance(arg, LinExpr):
        expr = LinExpr(arg)
        expr._normalize()
        return expr
    if isinstance(arg, (MVar, MLinExpr)):
        return LinExpr(arg.item())
    if isinstance(arg, MQuadExpr):
        assert not arg._is_compact
        expr = arg.item()
        if expr.size() == 0:
            expr = expr.getLinExpr()
        expr._normalize()
        return expr
    if isinstance(arg, QuadExpr):
        if arg.size() == 0:
            expr = LinExpr(arg.getLinExpr())
        else:
            expr = QuadExpr(arg)
        expr._normalize()
        return expr
    raise VantroError(-1, "Unable to convert argument to an expression")


def _extract_varlike_cindex(source, model=None):
    if isinstance(source, Var):
        element = source
    elif isinstance(source, MVar):
        element = source.item()
    else:
        raise TypeError(f"{source} is not a variable")
    index = element.__cindex__()
    if (model is None or model._owns(element)) and not index < 0:
        return index
    raise VantroError(VNT.ERROR_NOT_IN_MODEL, "Variable not in model")


def _indexname(name, index):
    if not name:
        return ""
    try:
        assert not _isstr(index)
        text = ",".join(map(str, index))
    except (TypeError, AssertionError):
        text = str(index)
    return str(name) + "[" + text + "]"


def simplify_tuple(tup):
    return tup[0] if len(tup) == 1 else tup


def _nd_indexed_names(prefix, shape):
    import numpy as np
    if shape == ():
        return [prefix]
    n = max(shape)
    if not isinstance(n, int):
        if not hasattr(type(n), "__int__"):
            raise TypeError("an integer is required")
        n = type(n).__int__(n)
    if not -2**31 <= n < 2**31:
        raise OverflowError("Python int too large to convert to C int")
    if np.prod(shape) == n:
        k = int(np.argmax(shape))
        lead = "0," * k
        trail = ",0" * (len(shape) - k - 1)
        return [f"{prefix}[{lead}{i}{trail}]" for i in range(n)]
    return [f"{prefix:s}[{','.join(f'{i:d}' for i in t):s}]"
            for t in itertools.product(*(range(d) for d in shape))]


def _map_coldata_to_vars(coldata, v, dtype=None):
    if isinstance(v, Var):
        return coldata[v.__cindex__()]
    if isinstance(v, MVar):
        return v._indexed_data(coldata, dtype)
    seq = list(v.values()) if isinstance(v, dict) else v
    if len(seq) == 0:
        result = []
    elif isinstance(seq[0], Var):
        result = [coldata[x.__cindex__()] for x in seq]
    else:
        result = [x._indexed_data(coldata, dtype) for x in seq]
    if isinstance(v, dict):
        return tupledict(zip(v.keys(), result))
    return result


class _listify:
    def __init__(self, *args, **kwargs):
        sets = [range(a) if type(a) is int else a for a in args]
        if len(sets) <= 1:
            self.index = list(sets[0])
        else:
            self.index = [
                tuple(m for part in t for m in (part if type(part) is tuple else (part,)))
                for t in itertools.product(*sets)
            ]
        self.kwargs = kwargs
        self.len = len(self.index)

    def flatten(self, x):
        if any(isinstance(e, str) for e in x):
            return x
        try:
            y = list(itertools.chain(*x))
            if y == x:
                return x
            return self.flatten(y)
        except TypeError:
            return x

    def listify(self, arg, default):
        val = self.kwargs.get(arg, default)
        if isinstance(val, dict):
            return [val.get(i, default) for i in self.index]
        if isinstance(val, str):
            return [val] * self.len
        if isinstance(val, Iterable):
            return self.flatten(list(val))
        return [val] * self.len


def _wheres_bitvector(wheres):
    return functools.reduce(operator.or_, map(functools.partial(operator.lshift, 1), wheres), 0)


def _instruction_argvals(c):
    for instr in dis.get_instructions(c):
        if instr.opname == "MAKE_CELL":
            continue
        if isinstance(instr.argval, tuple):
            yield from instr.argval
        elif isinstance(instr.argval, str):
            yield instr.argval


def _genexpr_key(x):
    f = x.gi_frame
    c = f.f_code
    myvars = c.co_cellvars + c.co_varnames[1:]
    if len(myvars) < 2:
        return lambda: f.f_locals[myvars[0]]
    varorder = []
    myvars = set(myvars)
    for v in _instruction_argvals(c):
        if v in myvars:
            varorder.append(v)
            myvars.remove(v)
    return lambda: simplify_tuple(tuple(f.f_locals[v] for v in varorder if v in f.f_locals))
