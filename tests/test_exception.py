"""VantroError and the solver's error text, as callers see them."""
import copy
import ctypes
import pickle
import traceback

import pytest

import vantropy._exception as exc
from vantropy import _standin
from vantropy._batch import Batch
from vantropy._core import Env, Model
from vantropy._exception import VantroError, _errormsg_from_object

from leakcheck import assert_no_growth


@pytest.fixture
def model():
    m = Model("m")
    yield m
    m.dispose()


def make_batch(cenv):
    b = Batch.__new__(Batch)
    b._cenv = cenv
    return b


def test_class_shape():
    assert VantroError.__bases__ == (Exception,)
    assert type(VantroError) is type
    assert VantroError.__module__ == "vantropy._exception"
    assert VantroError.__qualname__ == VantroError.__name__ == "VantroError"
    assert VantroError.__doc__ == "Vantro exception class"
    own = [k for k in vars(VantroError) if k not in ("__module__", "__doc__", "__weakref__", "__dict__")]
    assert own == ["_get_message", "_set_message", "message", "__init__", "__str__"]
    prop = vars(VantroError)["message"]
    assert prop.fget is vars(VantroError)["_get_message"]
    assert prop.fset is vars(VantroError)["_set_message"]
    assert prop.fdel is None and prop.__doc__ is None


def test_module_namespace_order():
    names = [k for k in vars(exc) if not (k.startswith("__") and k.endswith("__")) or k in ("__pyx_capi__", "__test__")]
    assert names == ["__pyx_capi__", "_errormsg_from_object", "VantroError", "__test__"]
    assert exc.__test__ == {}
    assert exc.__doc__ is None
    assert sorted(exc.__pyx_capi__) == ["_get_env_errormsg_string", "_get_model_errormsg_string"]


class Text(str):
    pass


@pytest.mark.parametrize("text", ["solver said no", "", Text("subclass kept")])
def test_text_message_is_the_very_object(text):
    err = VantroError(10001, text)
    assert err.errno == 10001
    assert err.message is text
    assert err.args == (10001, text)
    assert str(err) == text


@pytest.mark.parametrize("argument", [42, None, 1.5, [1], object()])
def test_unrecognised_argument_gives_empty_message(argument):
    err = VantroError(5, argument)
    assert err.message == "" and str(err) == "" and err.args == (5, "")


def test_errno_is_stored_unchanged():
    marker = object()
    assert VantroError(marker, "x").errno is marker


@pytest.mark.parametrize(
    "make, text",
    [
        (lambda: Env(), "Failed to create environment"),
        (lambda: make_batch(None), "Failed to create batch request"),
    ],
)
def test_failed_creation_messages(make, text):
    obj = make()
    obj._cenv = None
    assert VantroError(1, obj).message == text


def test_env_whose_creation_failed():
    env = Env(license="not-a-licence")
    assert env._cenv is None
    assert str(VantroError(3, env)) == "Failed to create environment"


def test_env_and_batch_read_the_library_text():
    env = Env()
    _standin.set_error_message(env, b"licence expired")
    assert VantroError(1, env).message == "licence expired"
    assert VantroError(1, make_batch(env._cenv)).message == "licence expired"


def test_model_text_is_read_again_for_every_exception(model):
    _standin.set_error_message(model, b"first")
    first = VantroError(1, model)
    _standin.set_error_message(model, b"second")
    second = VantroError(1, model)
    assert (first.message, second.message) == ("first", "second")


@pytest.mark.parametrize(
    "raw, text",
    [
        (b"bad \xff byte", "bad \ufffd byte"),
        (b"\xe9t\xe9", "\ufffdt\ufffd"),
        (b"caf\xc3\xa9", "café"),
        (b"", ""),
    ],
)
def test_library_text_decoding(model, raw, text):
    _standin.set_error_message(model, raw)
    assert VantroError(1, model).message == text
    assert _errormsg_from_object(model) == text


def test_any_object_with_cmodel_counts(model):
    class Holder:
        _cmodel = model._cmodel

    _standin.set_error_message(model, b"held")
    assert _errormsg_from_object(Holder()) == "held"


def test_message_property():
    err = VantroError(7, "original")
    err.message = "changed"
    assert str(err) == "changed" and err._message == "changed"
    assert err.args == (7, "original")
    err.message = 3  # accepted unchecked ...
    assert err.message == 3
    with pytest.raises(TypeError):  # ... but str() then needs a str
        str(err)
    with pytest.raises(AttributeError):
        del err.message


def test_str_without_init_raises_attribute_error():
    err = VantroError.__new__(VantroError)
    with pytest.raises(AttributeError):
        str(err)


def test_copy_and_pickle_replay_args(model):
    _standin.set_error_message(model, b"from the model")
    err = VantroError(7006, model)
    for clone in (copy.copy(err), pickle.loads(pickle.dumps(err)), copy.deepcopy(err)):
        assert type(clone) is VantroError
        assert clone.errno == 7006 and clone.message == "from the model"
        assert clone.args == err.args


def test_raise_and_catch_as_exception():
    with pytest.raises(Exception) as info:
        raise VantroError(1, "boom")
    assert isinstance(info.value, VantroError) and str(info.value) == "boom"


def test_rebinding_errormsg_from_object_is_honoured(monkeypatch):
    monkeypatch.setattr(exc, "_errormsg_from_object", lambda argument: f"<{argument}>")
    assert VantroError(1, "x").message == "<x>"
    monkeypatch.delattr(exc, "_errormsg_from_object")
    with pytest.raises(NameError, match="^name '_errormsg_from_object' is not defined$"):
        VantroError(1, "x")


def test_cached_builtins_are_not_looked_up_again(monkeypatch):
    import builtins

    def broken(*args):
        raise AssertionError("the cached super must be used")

    monkeypatch.setattr(builtins, "super", broken)
    assert VantroError(1, "still works").message == "still works"


def test_failures_add_traceback_entries():
    class BadHandle:
        _cmodel = 12345  # not a capsule: the host's _ptr refuses it

    with pytest.raises(TypeError) as info:
        VantroError(1, BadHandle())
    entries = [(f.name, f.filename) for f in traceback.extract_tb(info.tb)]
    assert entries[-2:] == [
        ("vantropy._exception.VantroError.__init__", "src/vantropy/_exception"),
        ("vantropy._exception._errormsg_from_object", "src/vantropy/_exception"),
    ]


def test_attribute_errors_other_than_missing_propagate():
    class Exploding:
        @property
        def _cmodel(self):
            raise RuntimeError("property failed")

    with pytest.raises(RuntimeError, match="property failed"):
        _errormsg_from_object(Exploding())

    class Missing:
        @property
        def _cmodel(self):
            raise AttributeError("no model here")

    assert _errormsg_from_object(Missing()) == ""


def test_env_subclass_and_instancecheck_count():
    class MyEnv(Env):
        pass

    env = MyEnv()
    env._cenv = None
    assert _errormsg_from_object(env) == "Failed to create environment"

    class Pretender:
        # Full isinstance also trusts __class__, a plain type test would not.
        __class__ = property(lambda self: Env)
        _cenv = None

    assert _errormsg_from_object(Pretender()) == "Failed to create environment"


# ---- the exported C functions ----

PYFUNC = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.c_void_p)


def capi_function(name):
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return PYFUNC(get_pointer(exc.__pyx_capi__[name], b"PyObject *(void *)"))


def handle_pointer(capsule):
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype = ctypes.c_char_p
    get_name.argtypes = [ctypes.py_object]
    return get_pointer(capsule, get_name(capsule))


def test_exported_functions_read_the_handles(model):
    env = Env()
    _standin.set_error_message(model, b"model \xfftext")
    _standin.set_error_message(env, b"env text")
    assert capi_function("_get_model_errormsg_string")(handle_pointer(model._cmodel)) == "model \ufffdtext"
    assert capi_function("_get_env_errormsg_string")(handle_pointer(env._cenv)) == "env text"


def test_exported_functions_survive_a_freed_handle():
    m = Model("gone")
    pointer = handle_pointer(m._cmodel)
    m.dispose()
    text = capi_function("_get_model_errormsg_string")(pointer)
    assert isinstance(text, str) and text


# ---- reference counts ----


def test_no_growth_constructing_errors(model):
    _standin.set_error_message(model, b"steady")
    assert_no_growth(lambda: VantroError(1, "text"))
    assert_no_growth(lambda: VantroError(2, model))
    assert_no_growth(lambda: str(VantroError(3, 42)))


def test_no_growth_errormsg_from_object(model):
    env = Env()
    env_failed = Env()
    env_failed._cenv = None
    for argument in (model, env, env_failed, "text", 7):
        assert_no_growth(lambda: _errormsg_from_object(argument))


def test_no_growth_on_failure_path():
    class BadHandle:
        _cmodel = 1

    assert_no_growth(lambda: VantroError(1, BadHandle()), expect=TypeError)
    assert_no_growth(lambda: VantroError(1), expect=TypeError)


def test_null_message_from_the_library_reads_as_empty(model):
    # A library that gives no message at all must not be read through.
    env = Env()
    _standin.set_error_message(model, None)
    _standin.set_error_message(env, None)
    assert VantroError(1, model).message == ""
    assert _errormsg_from_object(env) == ""
    assert capi_function("_get_model_errormsg_string")(handle_pointer(model._cmodel)) == ""
    _standin.set_error_message(model, b"back again")
    assert VantroError(1, model).message == "back again"
