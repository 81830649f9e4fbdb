"""The exception class against hostile arguments."""
from hypothesis import given

from vantropy._exception import VantroError, _errormsg_from_object

from hostile import HOSTILE, args, check_outcome, run_hostile


def make_and_show(errno, argument):
    e = VantroError(errno, argument)
    return str(e), repr(e), e.errno, e.message, e.args


@HOSTILE
@given(args(2))
def test_vantroerror(a):
    run_hostile(make_and_show, a)


@HOSTILE
@given(args(1))
def test_errormsg_from_object(a):
    run_hostile(_errormsg_from_object, a)


@HOSTILE
@given(args(3))
def test_vantroerror_wrong_argument_counts(a):
    run_hostile(lambda x, y, z: VantroError(x, y, z), a)
    run_hostile(lambda x, y, z: VantroError(x), a)
    run_hostile(lambda x, y, z: VantroError(errno=x, argument=y), a)


def unbound_methods(target, value):
    # The class's own functions called on objects that are not instances,
    # or on instances whose state the caller has broken.
    for call in (lambda: VantroError.__init__(target, value, value),
                 lambda: VantroError.__str__(target),
                 lambda: VantroError._get_message(target),
                 lambda: VantroError._set_message(target, value)):
        try:
            call()
        except Exception as exc:
            check_outcome(exc)
    broken = VantroError.__new__(VantroError)
    broken.message = value
    return str(broken)


@HOSTILE
@given(args(2))
def test_class_functions_on_foreign_objects(a):
    run_hostile(unbound_methods, a)
