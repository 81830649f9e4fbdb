"""A fresh interpreter, for the cases that need one.

`run_python(code, *flags)` runs `code` in a new interpreter started from `/`
(so that only the installed package is importable) and returns the
completed process with its output as text.  `code` is dedented; a list of
pieces is dedented piece by piece.  The import hook of an editable install
that rebuilds on import is kept quiet, so the output is the program's own.
"""
import os
import subprocess
import sys
import textwrap


def run_python(code, *flags, env=None):
    if isinstance(code, (list, tuple)):
        code = "\n".join(textwrap.dedent(piece) for piece in code)
    else:
        code = textwrap.dedent(code)
    env = dict(os.environ if env is None else env, SKBUILD_EDITABLE_VERBOSE="0")
    return subprocess.run([sys.executable, *flags, "-c", code], capture_output=True, text=True,
                          cwd="/", env=env, timeout=300)


# A piece for `run_python`: `leave_address_space(n)` lets the process map at
# most `n` more bytes than it has mapped, so that a request beyond that fails
# as on a machine out of memory.  The limit is relative: a sanitizer build has
# reserved terabytes of shadow memory by then (and is run with its allocator
# returning null, not aborting).
ADDRESS_SPACE = """
import resource

def leave_address_space(n):
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) for line in status if line.startswith("VmSize"))
    limit = size * 1024 + n
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
"""


def check(code, *flags):
    """`run_python` for code that must succeed; its standard output."""
    result = run_python(code, *flags)
    assert result.returncode == 0, result.stderr
    return result.stdout
