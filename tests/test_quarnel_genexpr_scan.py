"""_genexpr_key reads the bytecode of real code objects without `dis` when
`dis` is the library's own; the order it finds must be the one the scan
through `dis.get_instructions` finds, for every kind of instruction."""
import types

import pytest

import vantropy._quarnel as quarnel

from quarnel_support import rebound

A, B, C = [1, 2], [3, 4], [5, 6]


def _many_constants():
    # More than 256 constants and names, so the arguments need EXTENDED_ARG.
    consts = " + ".join(f"{i}.5" for i in range(300))
    attrs = " + ".join(f"o.n{i}" for i in range(300))
    src = f"(({consts}) + a + b for a in A for b in B if not o or ({attrs}))"
    return eval(src, {"A": A, "B": B, "o": None})


GENERATORS = {
    "plain": lambda: (a + b for a in A for b in B),
    "unpack": lambda: (b for a, b in zip(A, B)),
    "reversed-use": lambda: (b * a for a in A for b in B),
    "three": lambda: (c - a for a in A for b in B for c in C),
    "cell": lambda: ((lambda: b)() + a for a in A for b in B),
    "cell-first": lambda: ((lambda: a + b)() for a in A for b in B),
    "fstring": lambda: (f"{a!r:>4}{b!s}" for a in A for b in B),
    "compare": lambda: (a < b for a in A for b in B if a != b),
    "string-constant": lambda: ("b" + str(a) for a in A for b in B),
    "tuple-constant": lambda: ((a, ("b", 1)) for a in A for b in B if b not in ("a", "b")),
    "attribute-name": lambda: (types.b if False else a for a in A for b in B),
    "keywords": lambda: (dict(b=a, a=b) for a in A for b in B),
    "unused-name": lambda: (a for a in A for b in B),
    "many-constants": _many_constants,
    "nested-genexpr": lambda: (sum(x for x in B) + a for a in A for b in B),
    "conditional": lambda: (a if b else -a for a in A for b in B),
    "subscript": lambda: (A[a - 1] + B[b - 3] for a in A for b in B),
}


_instruction_argvals = quarnel._instruction_argvals


def general(c):
    # Any other object than the module's own function takes the general path.
    return _instruction_argvals(c)


def keys_along(make, general_path):
    g = make()
    if general_path:
        with rebound(_instruction_argvals=general):
            key = quarnel._genexpr_key(g)
    else:
        key = quarnel._genexpr_key(g)
    seen = [key()]
    for _ in g:
        seen.append(key())
    return seen


@pytest.mark.parametrize("name", list(GENERATORS))
def test_same_order_as_the_scan_through_dis(name):
    assert keys_along(GENERATORS[name], False) == keys_along(GENERATORS[name], True)


@pytest.mark.parametrize("name", list(GENERATORS))
def test_same_order_as_plain_python(name):
    import dis

    g = GENERATORS[name]()
    code = g.gi_frame.f_code
    names = code.co_cellvars + code.co_varnames[1:]
    order, pending = [], set(names)
    for instr in dis.get_instructions(code):
        if instr.opname == "MAKE_CELL":
            continue
        vals = instr.argval if isinstance(instr.argval, tuple) else (instr.argval,)
        for v in vals:
            if isinstance(v, str) and v in pending:
                order.append(v)
                pending.remove(v)
    key = quarnel._genexpr_key(g)
    next(g)
    if len(names) >= 2:
        want = tuple(g.gi_frame.f_locals[v] for v in order if v in g.gi_frame.f_locals)
        assert key() == (want[0] if len(want) == 1 else want)


def test_a_patched_get_instructions_is_called(monkeypatch):
    import dis

    calls = []
    real = dis.get_instructions

    def spy(c):
        calls.append(c)
        return real(c)

    monkeypatch.setattr(dis, "get_instructions", spy)
    g = GENERATORS["plain"]()
    quarnel._genexpr_key(g)
    assert calls == [g.gi_frame.f_code]


def test_a_rebound_dis_is_used():
    import dis

    class Dis:
        get_instructions = staticmethod(dis.get_instructions)
        used = 0

        def __getattribute__(self, name):
            type(self).used += 1
            return object.__getattribute__(self, name)

    with rebound(dis=Dis()):
        quarnel._genexpr_key(GENERATORS["plain"]())
    assert Dis.used == 1
