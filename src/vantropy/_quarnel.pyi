# Utility functions that only the package's Model class uses.
#
# The names bound by the module's imports are declared here as re-exports:
# the functions look them up in the module namespace at every call, so they
# are part of what a caller (or a test that rebinds one) works with.
# LinExpr and QuadExpr are imported for the annotations only: the module
# holds them internally and does not bind them.

import dis as dis
import functools as functools
import itertools as itertools
import operator as operator
import re as re
import sys as sys
from collections.abc import Callable, Generator, Hashable, Iterable as Iterable, Sequence
from types import CodeType, FrameType
from typing import Any, Protocol, SupportsIndex, TypeVar, overload, type_check_only

from _typeshed import SupportsLenAndGetItem

from vantropy._core import Constr as Constr
from vantropy._core import GenConstr as GenConstr
from vantropy._core import LinExpr, QuadExpr
from vantropy._core import QConstr as QConstr
from vantropy._core import SOS as SOS
from vantropy._core import Var as Var
from vantropy._core import VantroError as VantroError
from vantropy._core import tupledict as tupledict
from vantropy._matrixapi import MConstr as MConstr
from vantropy._matrixapi import MGenConstr as MGenConstr
from vantropy._matrixapi import MLinExpr as MLinExpr
from vantropy._matrixapi import MQConstr as MQConstr
from vantropy._matrixapi import MQuadExpr as MQuadExpr
from vantropy._matrixapi import MVar as MVar
from vantropy._vnt import VNT as VNT

# Bound at import from vantropy._core (_isscalar) and vantropy._util
# (_isstr); declared here, as the latter is native and may come without a
# stub of its own.
def _isscalar(x: object, /) -> bool:
    """True for a single number (int, float, numpy scalars and the like)."""

def _isstr(x: object, /) -> bool:
    """True for a str."""

_T = TypeVar("_T")
_I = TypeVar("_I", bound=Iterable[Any])

@type_check_only
class _Owner(Protocol):
    """A model, as the index checks ask it about an element."""

    def _owns(self, element: Any, /) -> object:
        """True when element belongs to this model."""

@type_check_only
class _MatrixLinear(Protocol):
    """A matrix linear expression, as _convert_mle_to_predvar_predval reads it."""

    @property
    def _is_compact(self) -> object:
        """True while the expression is kept in its compact form."""

    def _to_full(self) -> _MatrixLinear:
        """The same expression with its element expressions built."""

    @property
    def _learr(self) -> Any:
        """The numpy array of the element linear expressions."""

    def getConstant(self) -> Any:
        """The constants of the elements, in the expression's shape."""

@type_check_only
class _HasGeneratorFrame(Protocol):
    """A generator, or anything else with a live frame in gi_frame."""

    @property
    def gi_frame(self) -> FrameType | None:
        """The frame the generator runs in; None once it has finished."""

# Expressions.
def _simpleexpr(arg: object) -> LinExpr | QuadExpr:
    """One normalised scalar expression from arg.

    A number, a Var or a LinExpr gives a new LinExpr; a one-element MVar,
    MLinExpr or MQuadExpr gives its element's expression; a QuadExpr gives
    a copy, or its linear part as a LinExpr when it has no quadratic term.
    The argument itself is never returned. Raises VantroError (errno -1)
    "Unable to convert argument to an expression" for anything else, and
    the error of item() for a matrix object of more than one element.
    """

# Solver indices: the value of the element's __cindex__().
def _extract_varlike_cindex(source: object, model: _Owner | None = None) -> int:
    """The solver index of a variable, checked.

    source: a Var or a one-element MVar. model: None, or the model the
    variable must belong to. Raises TypeError "<source> is not a variable",
    and VantroError (errno VNT.ERROR_NOT_IN_MODEL) "Variable not in model"
    when model does not own it or its index is negative.
    """

def _extract_constrlike_cindex(source: object, model: _Owner | None = None) -> int:
    """The solver index of a linear constraint, checked.

    source: a Constr or a one-element MConstr. model: None, or the model the
    constraint must belong to. Raises TypeError "<source> is not a
    constraint", and VantroError (errno VNT.ERROR_NOT_IN_MODEL) "Constraint
    not in model" when its index is negative or model does not own it.
    """

def _extract_qconstrlike_cindex(source: object, model: _Owner | None = None) -> int:
    """The solver index of a quadratic constraint, checked.

    source: a QConstr or a one-element MQConstr. model: None, or the model
    the constraint must belong to. Raises TypeError "<source> is not a
    quadratic constraint", and VantroError (errno VNT.ERROR_NOT_IN_MODEL)
    "Constraint not in model" when its index is negative or model does not
    own it.
    """

def _extract_genconstrlike_cindex(source: object, model: _Owner | None = None) -> int:
    """The solver index of a general constraint, checked.

    source: a GenConstr or a one-element MGenConstr. model: None, or the
    model the constraint must belong to. Raises TypeError "<source> is not a
    general constraint", and VantroError (errno VNT.ERROR_NOT_IN_MODEL)
    "General constraint not in model" when its index is negative or model
    does not own it.
    """

def _extract_soslike_cindex(source: object, model: _Owner | None = None) -> int:
    """The solver index of an SOS constraint, checked.

    source: an SOS (no matrix form). model: None, or the model the
    constraint must belong to. Raises TypeError "<source> is not an SOS
    constraint", and VantroError (errno VNT.ERROR_NOT_IN_MODEL) "SOS not in
    model" when its index is negative or model does not own it.
    """

# Names.
def _indexname(name: object, index: object) -> str:
    """The name of one element of an indexed family: name[i,j,...].

    name: when false (None, "") the result is "". index: an iterable of
    index values, joined with ","; anything else, and a str while
    assertions are enabled, is written whole. _indexname("x", (1, 2)) is
    "x[1,2]". A TypeError while writing the index falls back to str(index).
    """

@overload
def simplify_tuple(tup: tuple[_T]) -> _T:
    """tup[0] when tup has one item, otherwise tup itself.

    Any object with a length is accepted; the errors of len() and item
    access propagate.
    """

@overload
def simplify_tuple(tup: tuple[_T, ...]) -> _T | tuple[_T, ...]:
    """tup[0] when tup has one item, otherwise tup itself.

    Any object with a length is accepted; the errors of len() and item
    access propagate.
    """

@overload
def simplify_tuple(tup: SupportsLenAndGetItem[_T]) -> _T | SupportsLenAndGetItem[_T]:
    """tup[0] when tup has one item, otherwise tup itself.

    Any object with a length is accepted; the errors of len() and item
    access propagate.
    """

def _nd_indexed_names(prefix: str, shape: Sequence[SupportsIndex]) -> list[str]:
    """The names of all elements of an array of shape, in row-major order.

    _nd_indexed_names("x", (2, 2)) is x[0,0], x[0,1], x[1,0], x[1,1]; a shape
    of () gives [prefix], a zero dimension []. Imports numpy at call time.
    Raises ValueError for an empty list as shape, TypeError or
    OverflowError for a largest dimension that is no C int, ValueError
    for a prefix that is not a str when more than one dimension varies.
    """

# Column data.
@overload
def _map_coldata_to_vars(coldata: Any, v: Var | MVar, dtype: Any = None) -> Any:
    """The entry of per-column data for a variable.

    For a Var, coldata[v.__cindex__()]; for an MVar, its entries in the
    variable's shape (dtype is passed on). A subscript outside the data
    raises the error of that subscript.
    """

@overload
def _map_coldata_to_vars(coldata: Any, v: dict[Any, Any], dtype: Any = None) -> tupledict:  # type: ignore[overload-overlap]
    """The entries of per-column data for a dict of variables.

    A tupledict with the same keys, each mapped to its variable's entry of
    coldata (dtype is passed on for matrix variables). A subscript outside
    the data raises the error of that subscript.
    """

@overload
def _map_coldata_to_vars(coldata: Any, v: SupportsLenAndGetItem[Any], dtype: Any = None) -> list[Any]:
    """The entries of per-column data for a sequence of variables, in order.

    The first element decides for all: a Var means every element is
    subscripted by its solver index, anything else that every element
    gives its entries in its own shape (dtype is passed on). An empty
    sequence gives []. A subscript outside the data raises the error of
    that subscript.
    """

# Flattening of index and keyword arguments.
class _listify:
    index: list[Any]
    kwargs: dict[str, Any]
    len: int
    def __init__(self, *args: int | Iterable[Any], **kwargs: Any) -> None:
        """Index sets and per-element keyword arguments, as a caller received them.

        Each positional argument is an index set, an exact int n standing for
        range(n); several give their Cartesian product as tuples, an exact
        tuple member spliced in one level. Sets index (the list of index
        elements), kwargs (a new dict) and len. Raises IndexError with no
        positional argument, and the TypeError of list() or
        itertools.product for an index set that is not iterable.
        """

    def flatten(self, x: _I) -> _I | list[Any]:
        """x with its nesting removed level by level.

        Stops, returning what it has, at a level holding a str or an item
        that is not iterable: flatten([[1, 2], [3]]) is [1, 2, 3],
        flatten([1, [2, 3]]) is x itself. Raises the TypeError of iteration
        when x is not iterable.
        """

    def listify(self, arg: Hashable, default: Any) -> list[Any]:
        """The keyword argument arg as one value per index element.

        Its value (default when not given) becomes: for a dict,
        value.get(i, default) for each index element; for a str or a value
        that is not iterable, the value repeated len times; for any other
        iterable, the flattened list of it.
        """

# Bit masks.
def _wheres_bitvector(wheres: Iterable[int]) -> int:
    """One int with bit w set for every code w in wheres: [0, 3] gives 9.

    Raises ValueError "negative shift count" for a negative code, TypeError
    for a code that is not an int or a wheres that is not iterable.
    """

# Generator-expression keys.
def _instruction_argvals(c: CodeType | Callable[..., Any] | str) -> Generator[Any, None, None]:
    """The names and constants the instructions of c refer to, lazily.

    c is anything dis.get_instructions takes, usually a code object. For
    each instruction but MAKE_CELL: the members of a tuple argval, or a str
    argval itself; nothing for other values. The errors of
    dis.get_instructions come at the first next().
    """

def _genexpr_key(x: Generator[Any, Any, Any] | _HasGeneratorFrame) -> Callable[[], Any]:
    """A key function for the items of the generator x.

    Called right after x produced an item, the key returns the loop value
    that produced it (one loop variable) or the tuple of those bound then
    (several, reduced by simplify_tuple). x is not advanced; the key holds
    x and reads its live frame at every call. Raises AttributeError for an
    object without gi_frame and for a finished generator.
    """

# Matrix linear expressions.
def _convert_mle_to_predvar_predval(mle: _MatrixLinear) -> tuple[MVar, Any] | tuple[None, None]:
    """Split a matrix linear expression into variables and values.

    When every element is one variable with coefficient 1 (within 1e-6)
    plus a constant, returns the MVar of those variables and
    -mle.getConstant(), in the expression's shape: x + c gives x and -c.
    Returns (None, None) for any other form. Imports numpy at call time;
    raises its ImportError, and what the expression's members raise.
    """

__test__: dict[str, Any]
