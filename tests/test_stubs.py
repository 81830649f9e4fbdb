"""The type stubs installed with the three native modules.

stubtest compares each installed stub with the module it describes; the
namespace test below covers what stubtest leaves out (private names that a
stub omits, and declared module re-exports).
"""

import ast
import importlib
import os
import subprocess
import sys

import pytest

MODULES = ["vantropy._exception", "vantropy._brevix", "vantropy._quarnel"]
ALLOWLIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "stubtest_allowlist.txt")

# Module attributes every module has, which no stub declares.
MODULE_DUNDERS = {
    "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
    "__builtins__", "__cached__", "__path__",
}


def installed_stub(name):
    module = importlib.import_module(name)
    directory = os.path.dirname(module.__file__)
    return os.path.join(directory, name.rpartition(".")[2] + ".pyi")


def is_type_check_only(node):
    return any(
        (isinstance(d, ast.Name) and d.id == "type_check_only")
        or (isinstance(d, ast.Attribute) and d.attr == "type_check_only")
        for d in node.decorator_list
    )


def is_type_alias(annotation):
    return (isinstance(annotation, ast.Name) and annotation.id == "TypeAlias") or (
        isinstance(annotation, ast.Attribute) and annotation.attr == "TypeAlias"
    )


def declared_names(path):
    """The module-level names a stub says the module has at run time.

    Functions, classes (except the type-check-only ones), annotated names
    and explicit re-exports (``import x as x``, ``from m import n as n``);
    type variables and type aliases are typing helpers only.
    """
    with open(path, encoding="utf-8") as f:
        tree = ast.parse(f.read(), path)
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            names.add(node.name)
        elif isinstance(node, ast.ClassDef):
            if not is_type_check_only(node):
                names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            if not is_type_alias(node.annotation):
                names.add(node.target.id)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            for alias in node.names:
                if alias.asname is not None and alias.asname == alias.name.rpartition(".")[2]:
                    names.add(alias.asname)
    return names


@pytest.mark.parametrize("name", MODULES)
def test_stub_is_installed_beside_its_module(name):
    path = installed_stub(name)
    assert os.path.isfile(path), f"no stub installed at {path}"
    # Type checkers read stubs inside a package only when it is marked typed.
    assert os.path.isfile(os.path.join(os.path.dirname(path), "py.typed"))


@pytest.mark.parametrize("name", MODULES)
def test_stub_declares_exactly_the_module_namespace(name):
    module = importlib.import_module(name)
    runtime = set(vars(module)) - MODULE_DUNDERS
    declared = declared_names(installed_stub(name))
    assert sorted(runtime - declared) == [], "bound at run time, missing from the stub"
    assert sorted(declared - runtime) == [], "declared in the stub, absent at run time"


def test_declared_names_reads_every_kind_of_declaration(tmp_path):
    # The namespace test is only as good as this reader.
    stub = tmp_path / "m.pyi"
    stub.write_text(
        "import dis as dis\n"
        "import re\n"
        "from typing import Any, type_check_only\n"
        "from collections.abc import Iterable as Iterable\n"
        "_T = TypeVar('_T')\n"
        "_A: TypeAlias = int | str\n"
        "def f(x: int) -> int: ...\n"
        "class C: ...\n"
        "@type_check_only\n"
        "class _P: ...\n"
        "__test__: dict[str, Any]\n"
    )
    assert declared_names(stub) == {"dis", "Iterable", "f", "C", "__test__"}


def test_stubtest_passes_against_the_installed_package(tmp_path):
    # Run from an empty directory, so that nothing but the installed package
    # is found, neither by the import system nor by mypy.
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--allowlist", ALLOWLIST, *MODULES],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    output = result.stdout + result.stderr
    assert result.returncode == 0, output
    assert "Success: no issues found in 3 modules" in output, output
