"""Constants shared by the package and the solver library.

Everything here is a plain class attribute, so code that reads a constant
at call time (and tests that rebind one) see the current value.
"""

from typing import Final


class VNT:
    # Bounds at or beyond INFINITY are infinite.  UNDEFINED lies beyond that
    # bound on purpose: it marks a value the solver has not computed.
    INFINITY = 1e30
    UNDEFINED = 1e31

    class Error:
        OUT_OF_MEMORY = 7001
        NULL_ARGUMENT = 7002
        INVALID_ARGUMENT = 7003
        UNKNOWN_ATTRIBUTE = 7004
        DATA_NOT_AVAILABLE = 7005
        INDEX_OUT_OF_RANGE = 7006
        OPTIMIZATION_IN_PROGRESS = 7007
        NOT_SUPPORTED = 7008
        INVALID_HANDLE = 7009

    # Raised by the package, not the library: an element used with a model
    # it does not belong to.
    ERROR_NOT_IN_MODEL = 7501

    # Attribute data types.  Final, so that a type checker reads each as its
    # literal value and picks the matching overload of the typed list calls
    # (VNT.DOUBLE reads a list[float]); at run time they stay ordinary class
    # attributes.
    CHAR: Final = 0
    INT: Final = 1
    DOUBLE: Final = 2
    STRING: Final = 3

    # Element kinds: an attribute's kind and an element's _typeenum.
    KIND_MODEL = 0
    KIND_VAR = 1
    KIND_CONSTR = 2
    KIND_QCONSTR = 3
    KIND_GENCONSTR = 4
    KIND_SOS = 5

    # Variable kinds (the Kind attribute).
    CONTINUOUS = "C"
    BINARY = "B"
    INTEGER = "I"

    # Constraint senses (the Sense attribute).
    LESS_EQUAL = "<"
    GREATER_EQUAL = ">"
    EQUAL = "="

    # Optimisation direction (the Direction attribute).
    MINIMIZE = 1
    MAXIMIZE = -1
