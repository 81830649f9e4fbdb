"""The type stubs installed with the three native modules.

stubtest compares each installed stub with the module it describes; the
namespace test below covers what stubtest leaves out (private names that a
stub omits, and declared module re-exports).  A caller checked by mypy shows
what the stubs' types accept and refuse.
"""

import ast
import importlib
import os
import site
import re
import subprocess
import sys

import pytest

MODULES = ["vantropy._exception", "vantropy._brevix", "vantropy._quarnel"]
HERE = os.path.dirname(os.path.abspath(__file__))
ALLOWLIST = os.path.join(HERE, "stubtest_allowlist.txt")

# Module attributes every module has, which no stub declares.
MODULE_DUNDERS = {
    "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
    "__builtins__", "__cached__", "__path__",
}


def mypy_config():
    """The settings mypy runs with, or None for its defaults.  An editable
    install that rebuilds on import loads the package through an import hook
    from its build tree, which mypy does not follow; the project's mypy
    settings then point it there."""
    import vantropy

    root = os.path.dirname(os.path.dirname(os.path.abspath(vantropy.__file__)))
    if root in map(os.path.abspath, site.getsitepackages()):
        return None
    return os.path.join(os.path.dirname(HERE), "pyproject.toml")


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
        [sys.executable, "-m", "mypy.stubtest", "--allowlist", ALLOWLIST,
         *(["--mypy-config-file", mypy_config()] if mypy_config() else []), *MODULES],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    output = result.stdout + result.stderr
    assert result.returncode == 0, output
    assert "Success: no issues found in 3 modules" in output, output


# A caller of the typed attribute calls and of VantroError.  mypy must report
# an error on every line marked "# misuse" and on no other line, and reveal
# the type that a "# reveals" comment names.
CALLER = """\
import math
from typing import Any

import numpy as np

from vantropy import _brevix
from vantropy._core import Model, Var
from vantropy._exception import VantroError
from vantropy._vnt import VNT


def right_uses(m: Model, x: Var, code: int, data: list[Any]) -> None:
    bounds = [math.inf if i % 4 == 0 else float(i % 10) for i in range(100)]
    _brevix._settypedattrlist(m, "UB", VNT.DOUBLE, range(100), bounds)
    _brevix._settypedattrlist(m, "LB", 2, np.array([0, 1]), [0, np.float64(1.5)])
    _brevix._settypedattrlist(m, "Kind", VNT.CHAR, [0, 1], "CB")
    _brevix._settypedattrlist(m, "Kind", VNT.CHAR, [0], [b"I"])
    _brevix._settypedattrlist(m, "Priority", VNT.INT, [0, 1], (3, True))
    _brevix._settypedattrlist(m, "VarName", VNT.STRING, [1], iter(["z", "unused"]))
    attrtype, _, _ = _brevix._getattrinfo(x, "LB")
    _brevix._settypedattrlist(m, "LB", attrtype, [0], [2.5])
    _brevix._settypedattrlist(m, "VarName", code, [0], data)
    reveal_type(_brevix._gettypedattrlist(m, "UB", VNT.DOUBLE, [0]))  # reveals list[float]
    reveal_type(_brevix._gettypedattrlist(m, "Kind", VNT.CHAR, (0, 1)))  # reveals list[str]
    reveal_type(_brevix._gettypedattrlist(m, "Priority", VNT.INT, range(2)))  # reveals list[int]
    reveal_type(_brevix._gettypedattrlist(m, "LB", code, [0]))  # reveals list[Any]
    _brevix._setattr(x, "UB", math.inf)
    _brevix._setattr(x, "Kind", "I")
    _brevix._setattr(m, "ModelName", "plan", True)
    errno: int = VantroError(VNT.Error.INVALID_ARGUMENT, m).errno


def misuses(m: Model, x: Var, code: int) -> None:
    _brevix._settypedattrlist(m, "UB", VNT.DOUBLE, [0], ["x"])  # misuse
    _brevix._settypedattrlist(m, "UB", 2, [0, 1], [1.0, "2"])  # misuse
    _brevix._settypedattrlist(m, "Priority", VNT.INT, [0], ["1"])  # misuse
    _brevix._settypedattrlist(m, "VarName", code, [0], ["x"])  # misuse
    _brevix._settypedattrlist(m, "UB", VNT.DOUBLE, ["0"], [1.0])  # misuse
    _brevix._gettypedattrlist(m, "UB", "double", [0])  # misuse
    _brevix._setattr(x, "UB", None)  # misuse
    VantroError("7003", "text")  # misuse
    VantroError(7003, "text").errno = "7003"  # misuse
"""


def test_mypy_flags_the_misuses_and_accepts_the_right_uses(tmp_path):
    (tmp_path / "caller.py").write_text(CALLER)
    lines = CALLER.splitlines()
    misuses = {("caller.py", n) for n, line in enumerate(lines, 1) if line.endswith("# misuse")}
    reveals = {n: line.partition("# reveals ")[2] for n, line in enumerate(lines, 1) if "# reveals " in line}
    result = subprocess.run(
        [sys.executable, "-m", "mypy", *(["--config-file", mypy_config()] if mypy_config() else []),
         "--strict", "caller.py"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    output = result.stdout + result.stderr
    errors = set()
    revealed = {}
    for path, line, kind, text in re.findall(r"^(.+?):(\d+): (error|note): (.*)$", output, re.M):
        if kind == "error":
            errors.add((path, int(line)))
        elif text.startswith("Revealed type is "):
            # mypy before 2.0 writes builtins.list[builtins.float].
            revealed[int(line)] = text.removeprefix("Revealed type is ").strip('"').replace("builtins.", "")
    assert sorted(errors) == sorted(misuses), output
    assert revealed == reveals, output
