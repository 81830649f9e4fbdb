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
# What a single write accepts for some data type: a str (char and string
# attributes), an int (int attributes) or a number (double attributes).  No
# data type takes anything else; which of them applies is known only from
# the library at run time.
_NewValue: TypeAlias = str | SupportsFloat | SupportsIndex
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
def _setattr(obj: _SolverObject, attrname: str, newval: _NewValue, is_model: object = False) -> None: ...
def _prefetchattr(obj: _SolverObject, attrname: str, is_model: object = False) -> None: ...

# The typed list calls key on the data type code: VNT.CHAR (0), INT (1),
# DOUBLE (2) and STRING (3) are literals, so a call that spells the code
# gets the value types of that code.  A code the checker cannot tell (a
# plain int, such as the type in _getattrinfo's triple) takes the last
# overload.  A call whose values do not suit its literal code falls through
# to that last overload too (a checker tries them in order), so whatever it
# accepts is accepted for every code.  It therefore reads a list of Any and
# writes numbers only: no str reaches a double attribute through it, while
# numbers given with VNT.CHAR or VNT.STRING pass the checker and are refused
# at run time.  Text values need the code spelled as VNT.CHAR or VNT.STRING
# (or 0 / 3); values typed Any pass with any code.
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
    obj: _ModelHandle, attrname: str, attrtype: int, inputlist: SupportsLenAndGetItem[_Index]
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
    obj: _ModelHandle,
    attrname: str,
    attrtype: int,
    indlist: SupportsLenAndGetItem[_Index],
    newval: SupportsLenAndGetItem[SupportsFloat | SupportsIndex],
) -> None: ...

__test__: dict[str, Any]
