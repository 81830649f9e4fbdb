# Typed reads and writes of solver attributes.
#
# The names bound by the module's imports are declared here as re-exports:
# the functions look them up in the module namespace at every call, so they
# are part of what a caller (or a test that rebinds one) works with.

from typing import (
    Any,
    Literal,
    Protocol,
    SupportsFloat,
    SupportsIndex,
    SupportsInt,
    TypeAlias,
    overload,
    type_check_only,
)

from _typeshed import SupportsLenAndGetItem
from collections.abc import Iterable

from vantropy._exception import VantroError as VantroError
from vantropy._vnt import VNT as VNT

# Bound from vantropy._util at import (declared here, as that module is
# native and may come without a stub of its own).
def _stringtobytes(s: str | bytes | bytearray, /) -> bytes | bytearray: ...
def _bytestostring(b: bytes, /) -> str: ...
def _isscalar(x: object, /) -> bool: ...

# A value the library reads or writes: int for int attributes, float for
# double attributes, str for string attributes and one-character str for
# char attributes.
_AttrValue: TypeAlias = int | float | str
_Index: TypeAlias = SupportsInt | SupportsIndex

@type_check_only
class _SolverObject(Protocol):
    # A model or a model element: the handle its model lives in, and the type
    # name that messages show ("Model", "Var", ...).
    @property
    def _cmodel(self) -> object: ...
    @property
    def _typename(self) -> str: ...

@type_check_only
class _ModelHandle(Protocol):
    @property
    def _cmodel(self) -> object: ...

def _geterrormsg(obj: object) -> str: ...
def _getattrinfo(obj: _SolverObject, attrname: str) -> tuple[int, int, int]: ...
def _attrlist(cmodel: object, type: object) -> list[str]: ...
def _getattr(obj: _SolverObject, attrname: str, is_model: object = False) -> _AttrValue: ...
def _setattr(obj: _SolverObject, attrname: str, newval: object, is_model: object = False) -> None: ...
def _prefetchattr(obj: _SolverObject, attrname: str, is_model: object = False) -> None: ...

# Data type codes: 0 char, 1 int, 2 double, 3 string.
@overload
def _gettypedattrlist(
    obj: _ModelHandle, attrname: str, attrtype: Literal[0, 3], inputlist: SupportsLenAndGetItem[_Index]
) -> list[str]: ...
@overload
def _gettypedattrlist(
    obj: _ModelHandle, attrname: str, attrtype: Literal[1], inputlist: SupportsLenAndGetItem[_Index]
) -> list[int]: ...
@overload
def _gettypedattrlist(
    obj: _ModelHandle, attrname: str, attrtype: Literal[2], inputlist: SupportsLenAndGetItem[_Index]
) -> list[float]: ...
@overload
def _gettypedattrlist(
    obj: _ModelHandle, attrname: str, attrtype: object, inputlist: SupportsLenAndGetItem[_Index]
) -> list[Any]: ...
@overload
def _settypedattrlist(
    obj: _ModelHandle,
    attrname: str,
    attrtype: Literal[0],
    indlist: SupportsLenAndGetItem[_Index],
    newval: SupportsLenAndGetItem[str | bytes | bytearray],
) -> None: ...
@overload
def _settypedattrlist(
    obj: _ModelHandle,
    attrname: str,
    attrtype: Literal[1],
    indlist: SupportsLenAndGetItem[_Index],
    newval: SupportsLenAndGetItem[_Index],
) -> None: ...
@overload
def _settypedattrlist(
    obj: _ModelHandle,
    attrname: str,
    attrtype: Literal[2],
    indlist: SupportsLenAndGetItem[_Index],
    newval: SupportsLenAndGetItem[SupportsFloat | SupportsIndex],
) -> None: ...
@overload
def _settypedattrlist(
    obj: _ModelHandle, attrname: str, attrtype: Literal[3], indlist: SupportsLenAndGetItem[_Index], newval: Iterable[str]
) -> None: ...
@overload
def _settypedattrlist(
    obj: _ModelHandle, attrname: str, attrtype: object, indlist: SupportsLenAndGetItem[_Index], newval: Any
) -> None: ...

__test__: dict[str, Any]
