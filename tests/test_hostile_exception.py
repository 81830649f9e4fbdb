"""The exception class against hostile arguments."""
from hypothesis import given

from vantropy._exception import VantroError, _errormsg_from_object

from hostile import HOSTILE, args, run_hostile


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
