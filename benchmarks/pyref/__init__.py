"""Plain-Python versions of the hot functions of vantropy._brevix and
vantropy._quarnel, written the way a user without the native core would:
the same host-package helpers, the same calls on host objects, and the
solver library reached through ctypes.  The benchmarks time them against
the native functions, and tests/test_pyref_baseline.py keeps their results
equal to the native ones; the tests that need a plain-Python model of a
function take it from here."""
import types


def in_namespace(fn, module):
    """`fn` with its module-level names looked up in the namespace of the
    native `module`, as the native function of that name looks up its own:
    a name rebound there then reaches both."""
    return types.FunctionType(fn.__code__, vars(module), fn.__name__, fn.__defaults__,
                              fn.__closure__)
