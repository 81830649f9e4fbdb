"""Shared pieces of the model-utility tests: names rebound in the module's
namespace (always restored), the subprocess runner, and classes that test the
three kinds of type test (full isinstance, type-or-subtype, exact type)."""
import functools

import pytest

import vantropy._quarnel as quarnel
from vantropy._core import Model

from interpreter import run_python  # noqa: F401  (shared with the tests)
from namespace import rebound as _rebound
from namespace import unbound as _unbound

rebound = functools.partial(_rebound, quarnel)
unbound = functools.partial(_unbound, quarnel)


@pytest.fixture
def model():
    m = Model("plan")
    yield m
    m.dispose()


class Claims(type):
    """A metaclass whose isinstance accepts any object with `claim` set to
    the class's name: only a full isinstance test sees such objects."""

    def __instancecheck__(cls, obj):
        return getattr(obj, "claim", None) == cls.__name__


def claimed(name):
    """A class named `name` that claims the objects marked for it."""
    return Claims(name, (), {})


class Marked:
    def __init__(self, claim, **attrs):
        self.claim = claim
        self.__dict__.update(attrs)


def disguised_as(cls, **attrs):
    """An object whose `__class__` reports `cls`: isinstance() accepts it,
    a test of the type itself does not."""
    disguise = type(f"DisguisedAs{cls.__name__}", (),
                    {"__class__": property(lambda self: cls), **attrs})
    return disguise()


class Recorder:
    """Collects the calls made on duck-typed objects, in order."""

    def __init__(self):
        self.calls = []

    def __call__(self, *entry):
        self.calls.append(entry)
