"""Instructions per call of the single-call functions, counted by callgrind.

    python benchmarks/instructions.py [--rows TEXT] [--variants native,baseline,noop]
                                      [-n CALLS] [--cython] [--pyref DIR] [--out FILE]

Each row of run.py's single-call table and each variant runs in a worker
process under valgrind's callgrind, which counts only inside itertools'
starmap_next: the worker does the setup and a warm-up, then makes the calls
through `deque(starmap(fn, repeat(args, n)), maxlen=0)`.  The count is
instructions, not time, so it is the same from run to run (to within a few
tens of instructions) and does not depend on what else the machine is doing.
It includes the call itself (see the noop variant) but not the release of
the result, which deque does outside starmap_next.  Where objects land in
memory can still move a count by a few hundred instructions (collisions in
the interpreter's type-attribute cache, which is indexed by the addresses
of the names looked up): compare builds by repeated runs.

--cython compiles benchmarks/pyref with Cython (default directives) into a
temporary directory and adds the variant "cython": the baseline, loaded from
that compiled copy.  Cython is not a dependency of the project; this needs
it installed.  --pyref DIR loads the baseline from DIR/pyref instead of
benchmarks/pyref (a build made some other way).
"""
import argparse
import collections
import glob
import itertools
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def worker(row, variant, n, pyref):
    # sys.path[0] is this directory already: run.py and pyref are found here,
    # unless pyref is to come from somewhere else.
    if pyref:
        sys.path.insert(0, pyref)
    import pyref as loaded
    from run import single_cases
    if pyref and not loaded.__file__.startswith(pyref):
        sys.exit(f"pyref was loaded from {loaded.__file__}, not from {pyref}")
    fn, args = single_cases()[row]()[variant]
    for _ in range(min(n, 1000)):
        fn(*args)
    collections.deque(itertools.starmap(fn, itertools.repeat(args, n)), maxlen=0)


def count(row, variant, n, pyref, out):
    """Instructions per call of one row and variant, from a worker under callgrind
    that writes its profile to `out`."""
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", PYTHONHASHSEED="0")
    cmd = ["valgrind", "--tool=callgrind", "--collect-atstart=no",
           "--toggle-collect=starmap_next", f"--callgrind-out-file={out}",
           sys.executable, os.path.abspath(__file__), "--worker", row, variant, str(n)]
    if pyref:
        cmd.append(pyref)
    done = subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          text=True)
    if done.returncode:
        sys.exit(f"{row} {variant}: the worker failed\n{done.stderr[-3000:]}")
    with open(out) as f:
        for line in f:
            if line.startswith(("totals:", "summary:")):
                return int(line.split()[1]) / n
    raise RuntimeError(f"no totals in {out}")


def build_cython(tmp):
    """benchmarks/pyref compiled with Cython into tmp/pyref; returns tmp."""
    try:
        import Cython
    except ImportError:
        sys.exit("--cython: Cython is not installed in this interpreter "
                 f"({sys.executable}); pip install cython")
    dest = os.path.join(tmp, "pyref")
    os.mkdir(dest)
    sources = []
    for path in glob.glob(os.path.join(HERE, "pyref", "*.py")):
        sources.append(shutil.copy(path, dest))
    print(f"compiling pyref with Cython {Cython.__version__} ...", file=sys.stderr)
    subprocess.run([sys.executable, "-m", "Cython.Build.Cythonize", "-i", "-q", *sources],
                   cwd=tmp, check=True, stdout=subprocess.DEVNULL)
    for path in sources:  # only the compiled modules are left to import
        os.remove(path)
    return tmp


def table(results, variants):
    lines = ["| function | " + " | ".join(variants) + " | native/baseline | native/cython |",
             "|---|" + "---|" * (len(variants) + 2)]
    for row, r in results.items():
        def ratio(a, b):
            return f"{r[a] / r[b]:.2f}" if a in r and b in r else "-"
        cells = [f"{r[v]:,.0f}" if v in r else "-" for v in variants]
        lines.append(f"| {row} | " + " | ".join(cells)
                     + f" | {ratio('native', 'baseline')} | {ratio('native', 'cython')} |")
    return "\n".join(lines) + "\n"


def main():
    if sys.argv[1:2] == ["--worker"]:
        row, variant, n, *pyref = sys.argv[2:]
        return worker(row, variant, int(n), pyref[0] if pyref else None)
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--rows", default="", help="only the rows whose name contains this")
    p.add_argument("--variants", default="native,baseline,noop",
                   help="comma-separated: native, baseline, noop, host (default: %(default)s)")
    p.add_argument("-n", type=int, default=10_000, help="calls counted (default: %(default)s)")
    p.add_argument("--pyref", type=os.path.abspath,
                   help="load the baseline's pyref package from this directory")
    p.add_argument("--cython", action="store_true",
                   help="add the variant 'cython': the baseline compiled with Cython")
    p.add_argument("--out", help="also write the table to this file")
    p.add_argument("--keep", type=os.path.abspath,
                   help="keep the callgrind output files in this directory")
    a = p.parse_args()

    from run import single_cases  # from this directory, sys.path[0]
    rows = [r for r in single_cases() if a.rows in r]
    variants = a.variants.split(",")
    if a.cython and "cython" not in variants:
        variants.append("cython")
    tmp = tempfile.mkdtemp(prefix="vantropy-instructions-")
    try:
        outdir = a.keep or os.path.join(tmp, "out")
        os.makedirs(outdir, exist_ok=True)
        cython_dir = build_cython(tmp) if a.cython else None
        results = {}
        for row in rows:
            offered = single_cases()[row]()
            results[row] = {}
            for v in variants:
                source, pyref = ("baseline", cython_dir) if v == "cython" else (v, a.pyref)
                if source in offered:
                    name = re.sub(r"[^A-Za-z0-9]+", "_", f"{row} {v}").strip("_")
                    out = os.path.join(outdir, f"callgrind.{name}.out")
                    results[row][v] = count(row, source, a.n, pyref, out)
                    print(f"{row} {v}: {results[row][v]:,.1f}", file=sys.stderr)
    finally:
        shutil.rmtree(tmp)
    text = table(results, variants)
    sys.stdout.write(text)
    if a.out:
        with open(a.out, "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
