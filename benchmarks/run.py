"""Native functions against their plain-Python baseline and a floor.

    python benchmarks/run.py [pyperf options]

For every function: the native call, the baseline from benchmarks/pyref,
and a floor: `_standin.noop` called with the same arguments (the cost of a
native call alone) and, for the bulk functions, the cheapest native
conversion of the same data (`array.array` for the typed lists).  The bulk
functions run at 10, 1,000 and 1,000,000 elements.  When the run is over,
the table of times and ratios is written to benchmarks/results.md together
with the peak memory of the 1,000,000-element calls, as the section of the
running interpreter (the other interpreters' sections are kept).
"""
import array
import itertools
import os
import platform
import sys
import time

import pyperf

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import numpy as np  # noqa: E402

import vantropy._brevix as brevix  # noqa: E402
import vantropy._quarnel as quarnel  # noqa: E402
from memory import deep_size, peak_of  # noqa: E402
from pyref import attrs, model as pymodel  # noqa: E402
from vantropy import _standin, _util  # noqa: E402
from vantropy._core import LinExpr, Model, _isscalar  # noqa: E402

SIZES = (10, 1_000, 1_000_000)
# Functions whose time goes mostly to calls on host objects; their "host"
# variant makes just those calls from plain Python.
HOST_BOUND = ("_simpleexpr LinExpr", "_simpleexpr number", "_extract_varlike_cindex",
              "_map_coldata_to_vars Var", "_listify.listify dict", "_genexpr_key key, 1 name")
BIG = SIZES[-1]
noop = _standin.noop

# ---- what is measured -------------------------------------------------------------

_models = {}


def model_with(nvars):
    """One model per process with `nvars` variables, made through the
    stand-in's raw element calls (Model.addVar would take seconds)."""
    if nvars not in _models:
        m = Model("bench")
        m.addConstr(rhs=1.0, sense=">", name="c")
        for _ in range(nvars):
            _util._addelement(m._cmodel, 1)
        # Distinct values, as a real model has them.
        idx = list(range(nvars))
        brevix._settypedattrlist(m, "LB", 2, idx, [i * 0.25 for i in idx])
        brevix._settypedattrlist(m, "Priority", 1, idx, idx)
        _models[nvars] = m
    return _models[nvars]


def small_model():
    if "small" not in _models:
        m = Model("bench")
        x = m.addVar(lb=1.0, ub=5.0, name="x")
        y = m.addVar(name="y")
        _models["small"] = (m, x, y)
    return _models["small"]


def genexpr(n):
    g = (a + b for a in range(n) for b in range(n))
    next(g)
    return g


def single_cases():
    """name -> setup; setup() returns {variant: (callable, args)}."""
    def both(native, base, *args):
        return {"native": (native, args), "baseline": (base, args), "noop": (noop, args)}

    def getattr_var(name):
        def setup():
            m, x, _ = small_model()
            return both(brevix._getattr, attrs._getattr, x, name)
        return setup

    def simpleexpr(make):
        def setup():
            _, x, y = small_model()
            arg = make(x, y)
            return {**both(quarnel._simpleexpr, pymodel._simpleexpr, arg),
                    "host": (lambda a: (_isscalar(a), LinExpr(a)._normalize()), (arg,))}
        return setup

    def extract_setup():
        m, _, y = small_model()
        return {**both(quarnel._extract_varlike_cindex, pymodel._extract_varlike_cindex, y, m),
                "host": (lambda v, mm: (v.__cindex__(), mm._owns(v)), (y, m))}

    def coldata_setup():
        _, _, y = small_model()
        coldata = np.arange(4.0)
        return {**both(quarnel._map_coldata_to_vars, pymodel._map_coldata_to_vars, coldata, y),
                "host": (lambda c, v: c[v.__cindex__()], (coldata, y))}

    def listify_setup():
        return both(quarnel._listify, pymodel._listify, 3, 4)

    def flatten_setup():
        a, b = quarnel._listify(2), pymodel._listify(2)
        x = [[1, 2], [3, 4], [5, 6]]
        return {"native": (a.flatten, (x,)), "baseline": (b.flatten, (x,)), "noop": (noop, (x,))}

    def listify_method_setup():
        k = {(i, j): float(i + j) for i in range(3) for j in range(4)}
        a, b = quarnel._listify(3, 4, k=k), pymodel._listify(3, 4, k=k)
        index = a.index
        return {"native": (a.listify, ("k", 0.0)), "baseline": (b.listify, ("k", 0.0)),
                "noop": (noop, ("k", 0.0)),
                "host": (lambda d: [k.get(i, d) for i in index], (0.0,))}

    def key_setup(vars_):
        def setup():
            g = genexpr(3) if vars_ == 2 else (a for a in [1, 2, 3])
            if vars_ == 1:
                next(g)
            a, b = quarnel._genexpr_key(g), pymodel._genexpr_key(g)
            frame = g.gi_frame
            return {"native": (a, ()), "baseline": (b, ()), "noop": (noop, ()),
                    "host": (lambda: frame.f_locals, ())}
        return setup

    return {
        "_getattr element double": getattr_var("LB"),
        "_getattr element string": getattr_var("VarName"),
        "_getattr model double": lambda: both(brevix._getattr, attrs._getattr,
                                              small_model()[0], "ObjOffset", True),
        "_setattr element double": lambda: both(brevix._setattr, attrs._setattr,
                                                small_model()[1], "UB", 4.5),
        "_setattr model double": lambda: both(brevix._setattr, attrs._setattr,
                                              small_model()[0], "ObjOffset", 1.5, True),
        "_simpleexpr LinExpr": simpleexpr(lambda x, y: 2 * x + y + 3),
        "_simpleexpr number": simpleexpr(lambda x, y: 2.5),
        "_extract_varlike_cindex": extract_setup,
        "_indexname": lambda: both(quarnel._indexname, pymodel._indexname, "x", (1, 2)),
        "_map_coldata_to_vars Var": coldata_setup,
        "_listify(3, 4)": listify_setup,
        "_listify.flatten": flatten_setup,
        "_listify.listify dict": listify_method_setup,
        "_wheres_bitvector": lambda: both(quarnel._wheres_bitvector,
                                          pymodel._wheres_bitvector, [0, 3, 5]),
        "_genexpr_key": lambda: both(quarnel._genexpr_key, pymodel._genexpr_key, genexpr(3)),
        "_genexpr_key key, 2 names": key_setup(2),
        "_genexpr_key key, 1 name": key_setup(1),
    }


def bulk_cases():
    """name -> setup(n); the floor variant is the conversion of the same data."""
    def get_list(attr, attrtype, typecode):
        def setup(n):
            m = model_with(BIG)
            idx = list(range(n))
            data = array.array(typecode, brevix._gettypedattrlist(m, attr, attrtype, idx))
            args = (m, attr, attrtype, idx)
            return {"native": (brevix._gettypedattrlist, args),
                    "baseline": (attrs._gettypedattrlist, args),
                    "noop": (noop, args),
                    "floor": (lambda i: (array.array("i", i), data.tolist()), (idx,))}
        return setup

    def set_list(attr, attrtype, typecode, value):
        def setup(n):
            m = model_with(BIG)
            idx = list(range(n))
            vals = [value(i) for i in range(n)]
            args = (m, attr, attrtype, idx, vals)
            return {"native": (brevix._settypedattrlist, args),
                    "baseline": (attrs._settypedattrlist, args),
                    "noop": (noop, args),
                    "floor": (lambda i, v: (array.array("i", i), array.array(typecode, v)),
                              (idx, vals))}
        return setup

    def names(n):
        args = ("x", (n,))
        return {"native": (quarnel._nd_indexed_names, args),
                "baseline": (pymodel._nd_indexed_names, args),
                "noop": (noop, args),
                "floor": (lambda k: list(map(str, range(k))), (n,))}

    return {
        "_gettypedattrlist double": get_list("LB", 2, "d"),
        "_gettypedattrlist int": get_list("Priority", 1, "i"),
        "_settypedattrlist double": set_list("UB", 2, "d", lambda i: i * 0.5),
        "_settypedattrlist int": set_list("Priority", 1, "i", lambda i: i % 7),
        "_nd_indexed_names (n,)": names,
    }


# ---- timing -----------------------------------------------------------------------

def timer(setup, variant):
    state = {}

    def time_func(loops):
        if "call" not in state:
            state["call"] = setup()[variant]
        fn, args = state["call"]
        it = itertools.repeat(None, loops)
        t0 = time.perf_counter()
        for _ in it:
            fn(*args)
        return time.perf_counter() - t0
    return time_func


# ---- memory -----------------------------------------------------------------------

def memory_rows():
    rows = []
    for name, setup in bulk_cases().items():
        for variant in ("native", "baseline"):
            fn, args = setup(BIG)[variant]
            result, peak = peak_of(fn, *args)
            # A write returns nothing: its yardstick is the data it was given.
            reference = deep_size(result) if result is not None else deep_size(args[-1])
            rows.append((name, variant, peak, reference))
            del result
    return rows


# ---- the report -------------------------------------------------------------------

def machine():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return (f"{cpu}, {os.cpu_count()} logical cores; {platform.system()} "
            f"{platform.release()}; {platform.python_implementation()} "
            f"{platform.python_version()} ({sys.executable})")


def fmt_time(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


INTRO = [
    "# Benchmark results", "",
    "Written by `python benchmarks/run.py`, one section per interpreter; a run "
    "replaces the section of its own interpreter and keeps the others.  Times are "
    "pyperf medians; bulk functions per element.  *noop* is `_standin.noop` called "
    "with the same arguments; *floor* is the cheapest native conversion of the same "
    "data (`array.array` of the indices and the values for the typed lists, "
    "`list(map(str, range(n)))` for the names).  *host* (where given) makes only the "
    "calls on host objects that the function must make, from plain Python: the part "
    "of the time no implementation of the function can save.",
]
SECTION = "## CPython "


def report_section(results, mem):
    lines = [f"{SECTION}{platform.python_version()}", "",
             f"Machine: {machine()}.", "",
             "### Single calls", "",
             "| function | native | baseline | noop | host | native/baseline | native/noop |",
             "|---|---|---|---|---|---|---|"]
    for name in single_cases():
        r = {v: results.get(f"{name} {v}") for v in ("native", "baseline", "noop")}
        if None in r.values():
            continue
        host = results.get(f"{name} host")
        lines.append(f"| {name} | {fmt_time(r['native'])} | {fmt_time(r['baseline'])} | "
                     f"{fmt_time(r['noop'])} | {fmt_time(host) if host else '-'} | "
                     f"{r['native'] / r['baseline']:.2f} | {r['native'] / r['noop']:.1f} |")
    lines += ["", "### Bulk calls (time per element)", "",
              "| function | n | native | baseline | floor | noop (per call) | "
              "native/baseline | native/floor | floor/baseline |",
              "|---|---|---|---|---|---|---|---|---|"]
    for name in bulk_cases():
        for n in SIZES:
            r = {v: results.get(f"{name} n={n} {v}")
                 for v in ("native", "baseline", "floor", "noop")}
            if None in r.values():
                continue
            per = {v: t / n for v, t in r.items() if v != "noop"}
            lines.append(f"| {name} | {n:,} | {fmt_time(per['native'])} | "
                         f"{fmt_time(per['baseline'])} | {fmt_time(per['floor'])} | "
                         f"{fmt_time(r['noop'])} | {r['native'] / r['baseline']:.2f} | "
                         f"{r['native'] / r['floor']:.2f} | {r['floor'] / r['baseline']:.2f} |")
    if mem:
        lines += ["", f"### Peak memory at {BIG:,} elements (tracemalloc)", "",
                  "Peak traced memory during the call, over the result's own size (the "
                  "list and its distinct items; for a write, the values it was given).", "",
                  "| function | variant | peak | result | peak/result |",
                  "|---|---|---|---|---|"]
        for name, variant, peak, ref in mem:
            lines.append(f"| {name} | {variant} | {peak / 2**20:.1f} MiB | "
                         f"{ref / 2**20:.1f} MiB | {peak / ref:.2f} |")
    return lines


def other_sections(path):
    """The sections of other interpreters already in `path`, by version."""
    sections, current = {}, None
    try:
        with open(path) as f:
            text = f.read().splitlines()
    except FileNotFoundError:
        return sections
    for line in text:
        if line.startswith(SECTION):
            current = line[len(SECTION):].strip()
            sections[current] = []
        if current is not None:
            sections[current].append(line)
    mine = platform.python_version()
    return {v: lines for v, lines in sections.items() if v != mine}


def version_key(version):
    return tuple(int(p) if p.isdigit() else 0 for p in version.split("."))


def write_report(results, mem, path):
    sections = other_sections(path)
    sections[platform.python_version()] = report_section(results, mem)
    lines = list(INTRO)
    for version in sorted(sections, key=version_key):
        body = sections[version]
        while body and not body[-1].strip():
            body = body[:-1]
        lines += [""] + body
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def main():
    runner = pyperf.Runner(processes=4, values=3, warmups=1, min_time=0.05)
    runner.argparser.add_argument("--results", default=os.path.join(HERE, "results.md"),
                                  help="where the table goes (default: benchmarks/results.md)")
    runner.argparser.add_argument("--no-memory", action="store_true",
                                  help="skip the tracemalloc measurement")
    args = runner.parse_args()

    benches = {}
    for name, setup in single_cases().items():
        variants = ("native", "baseline", "noop") + (("host",) if name in HOST_BOUND else ())
        for variant in variants:
            label = f"{name} {variant}"
            benches[label] = runner.bench_time_func(label, timer(setup, variant))
    for name, setup in bulk_cases().items():
        for n in SIZES:
            for variant in ("native", "baseline", "floor", "noop"):
                label = f"{name} n={n} {variant}"
                benches[label] = runner.bench_time_func(
                    label, timer(lambda s=setup, k=n: s(k), variant))

    if args.worker:
        return
    results = {label: b.median() for label, b in benches.items() if b is not None}
    if not results:
        return
    mem = [] if args.no_memory else memory_rows()
    write_report(results, mem, args.results)
    print(f"\nwrote {args.results}")


if __name__ == "__main__":
    main()
