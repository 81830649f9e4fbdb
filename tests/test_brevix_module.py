"""vantropy._brevix as a module: what its import sets up, the shape of its
functions, their argument errors and their traceback entries."""
import inspect
import traceback

import pytest

import vantropy._brevix as brevix
import vantropy._exception
import vantropy._util
import vantropy._vnt

from brevix_support import model, var  # noqa: F401  (fixtures)
from interpreter import run_python

FUNCTIONS = {
    "_geterrormsg": "(obj)",
    "_getattrinfo": "(obj, attrname)",
    "_getattr": "(obj, attrname, is_model=False)",
    "_gettypedattrlist": "(obj, attrname, attrtype, inputlist)",
    "_setattr": "(obj, attrname, newval, is_model=False)",
    "_settypedattrlist": "(obj, attrname, attrtype, indlist, newval)",
    "_prefetchattr": "(obj, attrname, is_model=False)",
    "_attrlist": "(cmodel, type)",
}


def test_namespace_holds_the_imports_then_the_functions_in_order():
    names = [k for k in vars(brevix) if not (k.startswith("__") and k.endswith("__"))]
    assert names == ["VantroError", "VNT", "_bytestostring", "_isscalar", "_stringtobytes",
                     *FUNCTIONS]
    assert list(vars(brevix))[-1] == "__test__"
    assert brevix.__test__ == {}
    assert brevix.__doc__ is None


@pytest.mark.parametrize("name, source", [
    ("VantroError", vantropy._exception),
    ("VNT", vantropy._vnt),
    ("_bytestostring", vantropy._util),
    ("_isscalar", vantropy._util),
    ("_stringtobytes", vantropy._util),
])
def test_imported_names_are_the_package_objects(name, source):
    assert getattr(brevix, name) is getattr(source, name)


@pytest.mark.parametrize("name, signature", FUNCTIONS.items())
def test_function_shape(name, signature):
    fn = getattr(brevix, name)
    assert str(inspect.signature(fn)) == signature
    assert fn.__name__ == fn.__qualname__ == name
    assert fn.__module__ == "vantropy._brevix"
    assert fn.__doc__ is None
    expected_defaults = (False,) if "is_model" in signature else None
    assert fn.__defaults__ == expected_defaults


def test_the_three_defaults_share_one_constant():
    assert brevix._getattr.__defaults__ is brevix._setattr.__defaults__
    assert brevix._setattr.__defaults__ is brevix._prefetchattr.__defaults__


@pytest.mark.parametrize("call, message", [
    (lambda: brevix._getattr(), "_getattr() takes at least 2 positional arguments (0 given)"),
    (lambda: brevix._getattr(1, 2, 3, 4), "_getattr() takes at most 3 positional arguments (4 given)"),
    (lambda: brevix._getattrinfo(1), "_getattrinfo() takes exactly 2 positional arguments (1 given)"),
    (lambda: brevix._geterrormsg(), "_geterrormsg() takes exactly 1 positional argument (0 given)"),
    (lambda: brevix._attrlist(1, 2, 3), "_attrlist() takes exactly 2 positional arguments (3 given)"),
    (lambda: brevix._settypedattrlist(1, 2, 3, 4),
     "_settypedattrlist() takes exactly 5 positional arguments (4 given)"),
    (lambda: brevix._setattr(1, 2, 3, nope=1), "_setattr() got an unexpected keyword argument 'nope'"),
    (lambda: brevix._getattrinfo(1, 2, obj=1),
     "_getattrinfo() got multiple values for keyword argument 'obj'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_parameters_by_keyword(model, var):
    assert brevix._getattr(attrname="LB", obj=var) == 1.0
    assert brevix._getattr(model, "ModelName", is_model=True) == "plan"
    brevix._setattr(newval=3.0, attrname="UB", obj=var)
    assert brevix._gettypedattrlist(model, "UB", inputlist=[0], attrtype=2) == [3.0]


def test_a_failure_names_each_function_it_passed_through(var):
    with pytest.raises(AttributeError) as info:
        brevix._getattr(var, "Nope")
    frames = [(f.name, f.filename) for f in traceback.extract_tb(info.value.__traceback__)]
    assert frames[-2:] == [("vantropy._brevix._getattr", "src/vantropy/_brevix"),
                           ("vantropy._brevix._getattrinfo", "src/vantropy/_brevix")]


def test_import_loads_the_exception_module_itself():
    result = run_python("""
        import sys
        import vantropy._brevix as b
        assert "vantropy._exception" in sys.modules
        assert b.VantroError is sys.modules["vantropy._exception"].VantroError
        print("ok")
    """)
    assert result.stdout.strip() == "ok", result.stderr


def test_missing_package_name_fails_the_import():
    result = run_python("""
        import sys, types
        fake = types.ModuleType("vantropy._vnt")
        sys.modules["vantropy._vnt"] = fake
        try:
            import vantropy._brevix
        except ImportError as e:
            print(type(e).__name__, e)
    """)
    assert result.stdout.strip() == "ImportError cannot import name VNT", result.stderr
