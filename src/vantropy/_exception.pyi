from typing import Any

class VantroError(Exception):
    """Vantro exception class.

    The package's exception for solver failures: an error number (errno) and
    a message, given as text or taken from the environment, batch request or
    model on which the failure happened.
    """

    errno: int
    _message: Any
    def _get_message(self) -> Any:
        """The message, as the message property reads it."""

    def _set_message(self, message: Any) -> None:
        """Store message, unchanged and unchecked, as the message property does."""

    @property
    def message(self) -> Any:
        """The message text: computed at construction, assignable later.

        args keeps the text computed at construction. str(err) returns the
        current message, so it must be a str by then (TypeError otherwise).
        The property has no deleter: del err.message raises AttributeError.
        """

    @message.setter
    def message(self, message: Any) -> None:
        """Assign the message; any value is stored, args is not updated."""

    def __init__(self, errno: int, argument: object) -> None:
        """Build the error errno with the message that argument gives.

        errno: the library's error code, or one of the package's own such as
        VNT.ERROR_NOT_IN_MODEL; stored unchanged. argument: a str is the
        message itself; an Env or a Batch gives its environment's last error
        ("Failed to create environment" / "... batch request" when it has no
        handle); an object with _cmodel gives its model's last error; anything
        else gives "". Raises, instead of building the error, the ImportError
        of vantropy._batch or vantropy._core, AttributeError for an Env or
        Batch without _cenv, and _ptr's TypeError for a value that is no
        handle.
        """

    def __str__(self) -> str:
        """The current message; TypeError if it is not a str."""

def _errormsg_from_object(argument: object) -> str:
    """The message text that VantroError(errno, argument) takes.

    A str (or subclass) is returned itself; an Env or a Batch gives its
    environment's last error, or "Failed to create environment" / "Failed to
    create batch request" when its _cenv is None; an object with _cmodel
    gives its model's last error; anything else gives "". The library's text
    is read at every call; bytes that are not valid UTF-8 become U+FFFD.
    Raises the ImportError of vantropy._batch or vantropy._core (imported at
    every call), AttributeError for an Env or Batch without _cenv, and
    _ptr's TypeError for a value that is no handle.
    """

__pyx_capi__: dict[str, Any]
__test__: dict[str, Any]
