"""The native function objects: argument binding, introspection, binding as
methods and tracebacks, on every module that is installed."""
import importlib
import inspect
import pickle
import types

import pytest

import vantropy._exception as exc
from vantropy._exception import VantroError, _errormsg_from_object

MODULES = ["vantropy._exception", "vantropy._brevix", "vantropy._quarnel"]


def module_functions():
    for name in MODULES:
        module = importlib.import_module(name)
        for attr, value in vars(module).items():
            if type(value).__name__ == "native_function":
                yield pytest.param(module, attr, value, id=f"{name}.{attr}")


@pytest.mark.parametrize("module, attr, fn", list(module_functions()))
def test_module_function_identity(module, attr, fn):
    assert fn.__name__ == attr
    assert fn.__qualname__ == attr
    assert fn.__module__ == module.__name__
    assert fn.__doc__ is None
    assert isinstance(fn.__code__, types.CodeType)
    assert fn.__code__.co_filename == "src/" + module.__name__.replace(".", "/")
    sig = inspect.signature(fn)
    assert tuple(sig.parameters) == fn.__code__.co_varnames[: len(sig.parameters)]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values()
               if p.name not in ("args", "kwargs"))
    assert pickle.loads(pickle.dumps(fn)) is fn
    assert repr(fn).startswith(f"<function {attr} at 0x")
    # One function type serves the whole package.
    assert type(fn) is type(_errormsg_from_object)
    # The type's slot offsets mean nothing on an instance (and would show addresses).
    assert not any(hasattr(fn, name) for name in
                   ("__vectorcalloffset__", "__dictoffset__", "__weaklistoffset__"))


def test_exception_signatures():
    assert str(inspect.signature(_errormsg_from_object)) == "(argument)"
    assert str(inspect.signature(VantroError.__init__)) == "(self, errno, argument)"
    assert str(inspect.signature(VantroError._set_message)) == "(self, message)"
    assert str(inspect.signature(VantroError.__str__)) == "(self)"
    assert VantroError.__init__.__qualname__ == "VantroError.__init__"
    assert VantroError._get_message.__qualname__ == "VantroError._get_message"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: _errormsg_from_object(), "_errormsg_from_object() takes exactly 1 positional argument (0 given)"),
        (lambda: _errormsg_from_object(1, 2), "_errormsg_from_object() takes exactly 1 positional argument (2 given)"),
        (lambda: _errormsg_from_object(arg=1), "_errormsg_from_object() takes exactly 1 positional argument (0 given)"),
        (lambda: _errormsg_from_object(1, argument=1), "_errormsg_from_object() got multiple values for keyword argument 'argument'"),
        (lambda: _errormsg_from_object(argument=1, extra=2), "_errormsg_from_object() got an unexpected keyword argument 'extra'"),
        (lambda: VantroError(1), "__init__() takes exactly 3 positional arguments (2 given)"),
        (lambda: VantroError(), "__init__() takes exactly 3 positional arguments (1 given)"),
        (lambda: VantroError(1, 2, 3), "__init__() takes exactly 3 positional arguments (4 given)"),
        (lambda: VantroError(1, errno=2), "__init__() takes exactly 3 positional arguments (2 given)"),
        (lambda: VantroError(1, 2, errno=3), "__init__() got multiple values for keyword argument 'errno'"),
        (lambda: VantroError(errno=1, argument=2, other=3), "__init__() got an unexpected keyword argument 'other'"),
        (lambda: VantroError._get_message(), "_get_message() takes exactly 1 positional argument (0 given)"),
        (lambda: VantroError._set_message(VantroError(1, "")), "_set_message() takes exactly 2 positional arguments (1 given)"),
        (lambda: VantroError(1, "x").__str__(1), "__str__() takes exactly 1 positional argument (2 given)"),
    ],
)
def test_argument_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_must_be_strings():
    # A non-string key reaches the binder only through the C call protocol.
    import functools

    with pytest.raises(TypeError, match="keywords must be strings"):
        _errormsg_from_object(**{1: 2})
    partial = functools.partial(_errormsg_from_object)
    with pytest.raises(TypeError, match="keywords must be strings"):
        partial(**{1: 2})


def test_keyword_calls_bind_by_name():
    err = VantroError(argument="by keyword", errno=9)
    assert err.args == (9, "by keyword")
    assert _errormsg_from_object(argument="kw") == "kw"


def test_binds_as_a_method_in_a_class():
    class Holder:
        lookup = _errormsg_from_object

    # Stored in a class, a module function binds like a Python function.
    bound = Holder().lookup
    assert isinstance(bound, types.MethodType)
    assert bound() == ""  # the Holder instance has no _cmodel
    assert Holder.lookup is _errormsg_from_object


def test_argument_errors_name_the_function_in_the_traceback():
    import traceback

    with pytest.raises(TypeError) as info:
        _errormsg_from_object()
    last = traceback.extract_tb(info.tb)[-1]
    assert (last.name, last.filename) == ("vantropy._exception._errormsg_from_object", "src/vantropy/_exception")


def test_function_attributes_are_writable_like_python_functions():
    fn = _errormsg_from_object
    fn.custom = 1
    assert fn.__dict__ == {"custom": 1}
    del fn.custom
    with pytest.raises(TypeError):
        fn.__name__ = 3
    with pytest.raises(TypeError):
        fn.__defaults__ = [1]
    assert fn.__kwdefaults__ is None and fn.__annotations__ == {}


def test_deep_recursion_through_native_functions_raises_not_crashes():
    class Recursive:
        @property
        def _cmodel(self):
            return _errormsg_from_object(self)

    with pytest.raises(RecursionError):
        _errormsg_from_object(Recursive())


class _Default:
    """A default value that is a heap object, so dropping its last
    reference frees it."""

    def __bool__(self):
        return False


@pytest.mark.parametrize("hook", ["_getattrinfo", "_stringtobytes"])
@pytest.mark.parametrize("fn, args", [
    ("_setattr", lambda v: (v, "LB", 2.0)),
    ("_getattr", lambda v: (v, "LB")),
    ("_prefetchattr", lambda v: (v, "LB")),
])
def test_omitted_argument_survives_defaults_replaced_mid_call(fn, args, hook):
    # A default is lent to the body for the whole call; code the body runs
    # may rebind __defaults__ and drop the tuple that held it.
    import gc
    import weakref

    import vantropy._brevix as brevix
    from vantropy._core import Model

    m = Model("defaults")
    v = m.addVar()
    function = getattr(brevix, fn)
    saved_defaults, real = function.__defaults__, getattr(brevix, hook)
    default = _Default()
    alive = weakref.ref(default)
    function.__defaults__ = (default,)
    del default
    seen = []

    def replacing(*a):
        function.__defaults__ = saved_defaults
        gc.collect()
        seen.append(alive() is not None)
        return real(*a)

    setattr(brevix, hook, replacing)
    try:
        function(*args(v))
    finally:
        setattr(brevix, hook, real)
        function.__defaults__ = saved_defaults
    try:
        assert seen and all(seen)
        assert brevix._getattr(v, "LB") == (2.0 if fn == "_setattr" else 0.0)
    finally:
        m.dispose()
