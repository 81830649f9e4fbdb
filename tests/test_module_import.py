"""Loading the native modules: import order, re-import, capsule tables and
the failures of a broken host package.  Most cases run in a fresh
interpreter, with substitute modules placed in sys.modules first."""
import importlib
import importlib.metadata
import sys

import pytest

from interpreter import check, run_python
from leakcheck import assert_no_growth


def test_a_stand_in_build_says_so_in_its_version():
    assert importlib.metadata.version("vantropy").endswith("+standin")


def test_exception_imports_alone():
    out = check("""
        import sys
        import vantropy._exception as e
        print(sorted(m for m in sys.modules if m.startswith("vantropy.")))
    """)
    assert "vantropy._brevix" not in out and "vantropy._quarnel" not in out
    assert "vantropy._util" in out


MODULES = {"vantropy._exception": "VantroError", "vantropy._brevix": "_getattr",
           "vantropy._quarnel": "_listify"}


@pytest.mark.parametrize("name, member", MODULES.items())
def test_reimport_after_removal_gives_the_same_module(name, member):
    first = importlib.import_module(name)
    kept = getattr(first, member)
    del sys.modules[name]
    try:
        second = importlib.import_module(name)
    finally:
        sys.modules[name] = first
    assert second is first and getattr(second, member) is kept


def test_reload_is_a_no_op():
    import vantropy._exception as module

    before = dict(vars(module))
    assert importlib.reload(module) is module
    # The import system refreshes __spec__ and its kin; what exec bound stays.
    for key in ("__pyx_capi__", "_errormsg_from_object", "VantroError", "__test__"):
        assert vars(module)[key] is before[key]


UTIL_WITHOUT_PTR = """
    import sys, types
    util = types.ModuleType("vantropy._util")
    util.__pyx_capi__ = {}
    import vantropy
    sys.modules["vantropy._util"] = util
"""


@pytest.mark.parametrize("module", ["vantropy._exception", "vantropy._brevix"])
def test_util_without_ptr(module):
    if module == "vantropy._brevix":
        pytest.importorskip("vantropy._brevix")
    result = run_python([UTIL_WITHOUT_PTR, f"import {module}"])
    assert result.returncode != 0
    assert "ImportError: vantropy._util does not export expected C function _ptr" in result.stderr
    assert f"init {module}" in result.stderr


def test_util_without_capsule_table():
    result = run_python("""
        import sys, types
        import vantropy
        sys.modules["vantropy._util"] = types.ModuleType("vantropy._util")
        import vantropy._exception
    """)
    assert result.returncode != 0
    assert "AttributeError" in result.stderr and "__pyx_capi__" in result.stderr


@pytest.mark.parametrize("signature", ["void*(PyObject *)", "void *(PyObject*)", "int (void)"])
def test_capsule_with_wrong_signature(signature):
    result = run_python(f"""
        import ctypes, sys, types
        import vantropy
        new = ctypes.pythonapi.PyCapsule_New
        new.restype = ctypes.py_object
        new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        name = ctypes.create_string_buffer({signature!r}.encode())  # must outlive the capsule
        util = types.ModuleType("vantropy._util")
        util.__pyx_capi__ = {{"_ptr": new(ctypes.addressof(name), name, None)}}
        sys.modules["vantropy._util"] = util
        try:
            import vantropy._exception
        except TypeError as e:
            print(e)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == (
        f"C function vantropy._util._ptr has wrong signature (expected void *(PyObject *), got {signature})"
    )


def test_failed_import_can_be_retried():
    out = check([UTIL_WITHOUT_PTR, """
        try:
            import vantropy._exception
        except ImportError:
            print("failed first")
        assert "vantropy._exception" not in sys.modules
        del sys.modules["vantropy._util"]
        import vantropy._exception as e
        print(type(e.VantroError(1, "ok")).__name__)
    """])
    assert out.splitlines() == ["failed first", "VantroError"]


def test_functions_of_a_failed_import_keep_their_namespace():
    # The class is built after the function is bound; the traceback's frame
    # holds the namespace, and with it the function.
    out = check("""
        import builtins, gc
        import vantropy._util, numbers
        real = builtins.property
        def refuse(*args):
            raise ImportError("no property")
        builtins.property = refuse
        try:
            import vantropy._exception
        except ImportError as err:
            tb = err.__traceback__
            while not tb.tb_frame.f_code.co_name.startswith("init"):
                tb = tb.tb_next
            ns = tb.tb_frame.f_globals
        builtins.property = real
        del tb
        fn = ns["_errormsg_from_object"]
        print(fn.__globals__ is ns, repr(fn(1)))
        import vantropy._exception as e
        del ns
        gc.collect()
        print(fn.__globals__ is vars(e), repr(fn(1)))
    """)
    assert out.splitlines() == ["True ''", "True ''"]


def test_a_retried_import_takes_the_builtins_afresh():
    out = check("""
        import builtins, sys
        real = builtins.range
        builtins.range = lambda *args: real(0) if args == (3,) else real(*args)
        sys.modules["vantropy._vnt"] = None  # the import fails after the built-ins were taken
        try:
            import vantropy._quarnel
        except ImportError:
            print("failed first")
        builtins.range = real
        del sys.modules["vantropy._vnt"]
        import vantropy._quarnel as q
        print(q._listify(3).index)
    """)
    assert out.splitlines() == ["failed first", "[0, 1, 2]"]


@pytest.mark.parametrize("name", MODULES)
def test_reimport_after_removal_does_not_grow_memory(name):
    def reimport():
        del sys.modules[name]
        importlib.import_module(name)

    assert_no_growth(reimport)


def test_missing_host_module_fails_with_its_own_error():
    result = run_python("""
        import sys
        import vantropy
        sys.modules["vantropy._util"] = None
        import vantropy._exception
    """)
    assert result.returncode != 0
    assert "ModuleNotFoundError" in result.stderr and "vantropy._util" in result.stderr


def test_constructing_needs_batch_and_core():
    out = check("""
        import sys
        import vantropy._exception as e
        sys.modules["vantropy._batch"] = None
        try:
            e.VantroError(1, "plain text")
        except ImportError as err:
            print(type(err).__name__)
    """)
    assert out.strip() == "ModuleNotFoundError"


def test_second_interpreter_is_refused():
    pytest.importorskip("_testcapi")
    out = check("""
        import _testcapi
        import vantropy._exception
        _testcapi.run_in_subinterp(
            "try:\\n"
            "    import vantropy._exception\\n"
            "except ImportError as e:\\n"
            "    print(e)\\n")
    """)
    assert out.strip() == (
        "Interpreter change detected - this module can only be loaded into one interpreter per process."
    )


def test_sys_modules_entry_is_the_module():
    out = check("""
        import sys, vantropy._exception as e
        print(sys.modules["vantropy._exception"] is e, e.__name__, e.__package__)
    """)
    assert out.split() == ["True", "vantropy._exception", "vantropy"]


def test_missing_name_in_host_module():
    out = check("""
        import sys, types
        import vantropy._exception as e
        sys.modules["vantropy._batch"] = types.ModuleType("vantropy._batch")
        try:
            e.VantroError(1, "text")
        except ImportError as err:
            print(type(err).__name__, err)
    """)
    assert out.strip() == "ImportError cannot import name Batch"
