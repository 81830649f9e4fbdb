"""vantropy: modelling with the vantro130 solver.

Importing the package loads nothing else: the public names are resolved on
first use, so the native modules load only when they are needed (and a
test can put substitute modules into sys.modules before they do).
"""

import importlib

# public name -> submodule that defines it
_LAZY = {
    "Env": "_core",
    "Model": "_core",
    "Var": "_core",
    "Constr": "_core",
    "QConstr": "_core",
    "GenConstr": "_core",
    "SOS": "_core",
    "LinExpr": "_core",
    "QuadExpr": "_core",
    "tupledict": "_core",
    "VantroError": "_exception",
    "VNT": "_vnt",
    "MVar": "_matrixapi",
    "MLinExpr": "_matrixapi",
    "MQuadExpr": "_matrixapi",
    "MConstr": "_matrixapi",
    "MQConstr": "_matrixapi",
    "MGenConstr": "_matrixapi",
    "Batch": "_batch",
}

__all__ = sorted(_LAZY)


def __getattr__(name):
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f"{__name__}.{module}"), name)
    # Not cached in the package namespace: a substitute module installed
    # later is then still honoured.
    return value


def __dir__():
    return sorted(set(globals()) | set(_LAZY))
