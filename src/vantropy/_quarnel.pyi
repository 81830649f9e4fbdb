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
def _isscalar(x: object, /) -> bool: ...
def _isstr(x: object, /) -> bool: ...

_T = TypeVar("_T")
_I = TypeVar("_I", bound=Iterable[Any])

@type_check_only
class _Owner(Protocol):
    # A model: answers whether an element belongs to it.
    def _owns(self, element: Any, /) -> object: ...

@type_check_only
class _MatrixLinear(Protocol):
    # A matrix linear expression, as _convert_mle_to_predvar_predval reads it.
    @property
    def _is_compact(self) -> object: ...
    def _to_full(self) -> _MatrixLinear: ...
    @property
    def _learr(self) -> Any: ...
    def getConstant(self) -> Any: ...

@type_check_only
class _HasGeneratorFrame(Protocol):
    @property
    def gi_frame(self) -> FrameType | None: ...

# Expressions.
def _simpleexpr(arg: object) -> LinExpr | QuadExpr: ...

# Solver indices: the value of the element's __cindex__().
def _extract_varlike_cindex(source: object, model: _Owner | None = None) -> int: ...
def _extract_constrlike_cindex(source: object, model: _Owner | None = None) -> int: ...
def _extract_qconstrlike_cindex(source: object, model: _Owner | None = None) -> int: ...
def _extract_genconstrlike_cindex(source: object, model: _Owner | None = None) -> int: ...
def _extract_soslike_cindex(source: object, model: _Owner | None = None) -> int: ...

# Names.
def _indexname(name: object, index: object) -> str: ...
@overload
def simplify_tuple(tup: tuple[_T]) -> _T: ...
@overload
def simplify_tuple(tup: tuple[_T, ...]) -> _T | tuple[_T, ...]: ...
@overload
def simplify_tuple(tup: SupportsLenAndGetItem[_T]) -> _T | SupportsLenAndGetItem[_T]: ...
def _nd_indexed_names(prefix: str, shape: Sequence[SupportsIndex]) -> list[str]: ...

# Column data.
@overload
def _map_coldata_to_vars(coldata: Any, v: Var | MVar, dtype: Any = None) -> Any: ...
@overload
def _map_coldata_to_vars(coldata: Any, v: dict[Any, Any], dtype: Any = None) -> tupledict: ...  # type: ignore[overload-overlap]
@overload
def _map_coldata_to_vars(coldata: Any, v: SupportsLenAndGetItem[Any], dtype: Any = None) -> list[Any]: ...

# Flattening of index and keyword arguments.
class _listify:
    index: list[Any]
    kwargs: dict[str, Any]
    len: int
    def __init__(self, *args: int | Iterable[Any], **kwargs: Any) -> None: ...
    def flatten(self, x: _I) -> _I | list[Any]: ...
    def listify(self, arg: Hashable, default: Any) -> list[Any]: ...

# Bit masks.
def _wheres_bitvector(wheres: Iterable[int]) -> int: ...

# Generator-expression keys.
def _instruction_argvals(c: CodeType | Callable[..., Any] | str) -> Generator[Any, None, None]: ...
def _genexpr_key(x: Generator[Any, Any, Any] | _HasGeneratorFrame) -> Callable[[], Any]: ...

# Matrix linear expressions.
def _convert_mle_to_predvar_predval(mle: _MatrixLinear) -> tuple[MVar, Any] | tuple[None, None]: ...

__test__: dict[str, Any]
