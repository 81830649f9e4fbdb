import os
import sys

# The tests run against the installed package, never the source tree.
HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

# The plain-Python baselines and measuring helpers of the benchmarks.
BENCHMARKS = os.path.normpath(os.path.join(HERE, os.pardir, "benchmarks"))
if BENCHMARKS not in sys.path:
    sys.path.insert(0, BENCHMARKS)
