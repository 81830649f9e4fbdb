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
def _stringtobytes(s: str | bytes | bytearray, /) -> bytes | bytearray:
    """A str encoded as UTF-8 for the library; bytes and bytearray as they are.

    Anything else raises TypeError.
    """

def _bytestostring(b: bytes, /) -> str:
    """A str from the library's bytes, decoded as UTF-8."""

def _isscalar(x: object, /) -> bool:
    """True for a single number (int, float, numpy scalars and the like)."""

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
    """A model or a model element, as the single-attribute calls take it."""

    @property
    def _cmodel(self) -> object:
        """The handle of the model the object lives in."""

    @property
    def _typename(self) -> str:
        """The type name that messages show ("Model", "Var", ...)."""

@type_check_only
class _ModelHandle(Protocol):
    """A model, as the typed list calls take it."""

    @property
    def _cmodel(self) -> object:
        """The handle of the model."""

def _geterrormsg(obj: object) -> str:
    """The library's last error text for obj.

    The model's when obj has _cmodel, else the environment's when it has
    _cenv, else "". Read afresh at every call; bytes that are not valid UTF-8
    become U+FFFD. An error other than AttributeError from reading either
    attribute propagates, as does _ptr's TypeError for a value that is no
    handle.
    """

def _getattrinfo(obj: _SolverObject, attrname: str) -> tuple[int, int, int]:
    """The attribute triple (type, size, settable) of attrname.

    type is the data type code (VNT.CHAR, INT, DOUBLE or STRING), size the
    kind of object the attribute belongs to, settable 0 for a read-only one.
    obj is a model or an element of it. Raises AttributeError
    "'vantropy.<type>' object has no attribute '<name>'" for a name the
    library does not know.
    """

def _attrlist(cmodel: object, type: object) -> list[str]:
    """The names of all solver attributes of kind type, in catalogue order.

    cmodel is a model's _cmodel value itself; type is compared with each
    attribute's kind (0 model, 1 variable, ...). Names whose kind the library
    cannot tell are left out. Raises _ptr's TypeError for a value that is no
    handle, and VantroError when the library gives no name for an index
    below the count it reported.
    """

def _getattr(obj: _SolverObject, attrname: str, is_model: object = False) -> _AttrValue:
    """Read one attribute of the model (is_model true) or of the element obj.

    Returns an int, a float (values at or beyond VNT.INFINITY as infinities,
    VNT.UNDEFINED as it is), a str, or a one-character str for a char.
    Raises AttributeError for an unknown name, an attribute of another kind
    of object, an unsupported data type, a busy library ("... cannot be
    queried while optimization is in progress") and any other library
    failure (the library's text); VantroError (errno 0) for an element not
    yet added to the model or removed from it.
    """

def _setattr(obj: _SolverObject, attrname: str, newval: _NewValue, is_model: object = False) -> None:
    """Write one attribute of the model (is_model true) or of the element obj.

    newval is a str for char and string attributes (a char takes the first
    character, U+0000 to U+00FF), an int for int attributes, a number for
    double attributes (infinities are sent as VNT.INFINITY). Nothing is
    written before every check has passed. Raises as _getattr does, and
    AttributeError for a read-only attribute, a value of the wrong type or a
    library failure; OverflowError for an int beyond 32 bits, ValueError for
    a string holding a NUL, IndexError for an empty char.
    """

def _prefetchattr(obj: _SolverObject, attrname: str, is_model: object = False) -> None:
    """Announce attrname to the library ahead of reads of it.

    Checks the name as a read does (it must exist and, for an element,
    belong to its kind) but reads no value and does not look at the
    element's index. Raises AttributeError for an unknown name or one of
    another kind, and with the library's text when the library refuses.
    """

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
) -> list[str]:
    """Read a char (0) or string (3) attribute for many elements in one call.

    obj is the model; inputlist holds solver indices (anything with len()
    and indexing, each taken through __int__). Returns one entry per index:
    a one-character str for a char, a str ("" for none) for a string.
    Raises TypeError or OverflowError for a bad index, VantroError with the
    library's code and the model's error text when the library fails.
    """

@overload
def _gettypedattrlist(
    obj: _ModelHandle, attrname: str, attrtype: Literal[1], inputlist: SupportsLenAndGetItem[_Index]
) -> list[int]:
    """Read an int attribute for many elements in one library call.

    obj is the model; inputlist holds solver indices (anything with len()
    and indexing, each taken through __int__). Raises TypeError or
    OverflowError for a bad index, VantroError with the library's code and
    the model's error text when the library fails.
    """

@overload
def _gettypedattrlist(
    obj: _ModelHandle, attrname: str, attrtype: Literal[2], inputlist: SupportsLenAndGetItem[_Index]
) -> list[float]:
    """Read a double attribute for many elements in one library call.

    obj is the model; inputlist holds solver indices (anything with len()
    and indexing, each taken through __int__). Values at or beyond
    VNT.INFINITY come back as infinities, VNT.UNDEFINED as it is. Raises
    TypeError or OverflowError for a bad index, VantroError with the
    library's code and the model's error text when the library fails.
    """

@overload
def _gettypedattrlist(
    obj: _ModelHandle, attrname: str, attrtype: int, inputlist: SupportsLenAndGetItem[_Index]
) -> list[Any]:
    """Read one attribute for many elements in one library call.

    attrtype is the data type code: 0 char, 1 int, 2 double, 3 string; any
    other raises ValueError "unsupported attribute data type ...". obj is
    the model; inputlist holds solver indices. Raises TypeError or
    OverflowError for a bad index, VantroError with the library's code and
    the model's error text when the library fails.
    """

@overload
def _settypedattrlist(
    obj: _ModelHandle,
    attrname: str,
    attrtype: Literal[0],
    indlist: SupportsLenAndGetItem[_Index],
    newval: SupportsLenAndGetItem[str | bytes | bytearray],
) -> None:
    """Write a char attribute for many elements in one library call.

    indlist holds solver indices; newval one character per index, a
    one-character str (U+0000 to U+00FF) or a bytes of length 1. Every value
    is converted before the call, so a bad one writes nothing. Raises
    ValueError or TypeError for a bad character, IndexError when newval is
    shorter than indlist, AttributeError with the library's text when the
    library fails.
    """

@overload
def _settypedattrlist(
    obj: _ModelHandle,
    attrname: str,
    attrtype: Literal[1],
    indlist: SupportsLenAndGetItem[_Index],
    newval: SupportsLenAndGetItem[_Index],
) -> None:
    """Write an int attribute for many elements in one library call.

    indlist holds solver indices; newval one value per index, each taken
    through __int__ (2.7 is sent as 2). Every value is converted before the
    call, so a bad one writes nothing. Raises TypeError or OverflowError for
    a bad value, IndexError when newval is shorter than indlist,
    AttributeError with the library's text when the library fails.
    """

@overload
def _settypedattrlist(
    obj: _ModelHandle,
    attrname: str,
    attrtype: Literal[2],
    indlist: SupportsLenAndGetItem[_Index],
    newval: SupportsLenAndGetItem[SupportsFloat | SupportsIndex],
) -> None:
    """Write a double attribute for many elements in one library call.

    indlist holds solver indices; newval one number per index, infinities
    sent as VNT.INFINITY. Every value is converted before the call, so a bad
    one writes nothing. Raises TypeError for a value float() refuses,
    IndexError when newval is shorter than indlist, AttributeError with the
    library's text when the library fails.
    """

@overload
def _settypedattrlist(
    obj: _ModelHandle, attrname: str, attrtype: Literal[3], indlist: SupportsLenAndGetItem[_Index], newval: Iterable[str]
) -> None:
    """Write a string attribute for many elements in one library call.

    indlist holds solver indices; newval is iterated as a whole and every
    item encoded, but only the first len(indlist) are sent. Raises
    TypeError for an item that is not text, ValueError for one holding a
    NUL, IndexError when newval is shorter than indlist, AttributeError
    with the library's text when the library fails.
    """

@overload
def _settypedattrlist(
    obj: _ModelHandle,
    attrname: str,
    attrtype: int,
    indlist: SupportsLenAndGetItem[_Index],
    newval: SupportsLenAndGetItem[SupportsFloat | SupportsIndex],
) -> None:
    """Write an int or double attribute for many elements in one call.

    attrtype is the data type code: 1 int, 2 double (char and string values
    need the code spelled as VNT.CHAR or VNT.STRING); a code other than 0
    to 3 raises ValueError "unsupported attribute data type ...". indlist
    holds solver indices; newval one number per index. Raises TypeError or OverflowError for a bad index or value,
    IndexError when newval is shorter than indlist, AttributeError with the
    library's text when the library fails.
    """

__test__: dict[str, Any]
