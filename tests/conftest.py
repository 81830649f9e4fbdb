import os
import sys

# The tests run against the installed package, never the source tree.
HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)
