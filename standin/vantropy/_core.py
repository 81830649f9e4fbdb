"""Environments, models, model elements and scalar expressions.

A Model owns a solver model handle and keeps, per element kind, the list of
its elements in solver order; removing an element renumbers the later ones
exactly as the library does, so an element's __cindex__() always names the
same solver row.  Solver attributes are read and written as Python
attributes (m.ModelName, v.LB) through vantropy._brevix.
"""

import importlib
import math
import sys

from vantropy import _util
from vantropy._exception import VantroError
from vantropy._exprtypes import LinExpr, QuadExpr, _setvartype
from vantropy._util import _isscalar
from vantropy._vnt import VNT

__all__ = [
    "Env", "Model", "Var", "Constr", "QConstr", "GenConstr", "SOS",
    "LinExpr", "QuadExpr", "tupledict", "VantroError", "_isscalar",
]

_BREVIX = "vantropy._brevix"


def _brevix():
    """The attribute module, or NotImplementedError while it is not built.

    Looked up on every access rather than cached, so that a module put into
    sys.modules later (or removed again) takes effect at once.
    """
    module = sys.modules.get(_BREVIX)
    if module is not None:
        return module
    try:
        return importlib.import_module(_BREVIX)
    except ModuleNotFoundError as exc:
        if exc.name != _BREVIX:
            raise
        raise NotImplementedError(
            "solver attribute access needs vantropy._brevix") from None


def _no_attribute(obj, name):
    return AttributeError(
        f"'{type(obj).__name__}' object has no attribute '{name}'")


class _SolverAttributes:
    """Routes public attribute names to the solver; private ones (a leading
    underscore) stay ordinary Python attributes."""

    _is_model = False

    def __getattr__(self, name):
        # Only reached when normal lookup failed.
        if name.startswith("_"):
            raise _no_attribute(self, name)
        return _brevix()._getattr(self, name, self._is_model)

    def __setattr__(self, name, value):
        if name.startswith("_"):
            object.__setattr__(self, name, value)
        else:
            _brevix()._setattr(self, name, value, self._is_model)

    def __dir__(self):
        names = set(super().__dir__())
        cmodel = self.__dict__.get("_cmodel")
        if cmodel is not None:
            try:
                names.update(_brevix()._attrlist(cmodel, self._typeenum))
            except Exception:
                # dir() is for exploring; a missing attribute module or a
                # freed model just leaves the solver names out.
                pass
        return sorted(names)


class Env:
    """A solver environment.  `_cenv` is None when the library refused to
    create one (for example for an unknown license)."""

    def __init__(self, license=None):
        self._cenv = _util._newenv(license)

    def dispose(self):
        """Frees the environment now instead of when it is collected."""
        if self._cenv is not None:
            _util._freeenv(self._cenv)

    def __repr__(self):
        state = "not created" if self._cenv is None else "ready"
        return f"<vantropy.Env {state}>"


class _Element(_SolverAttributes):
    """Common part of Var, Constr, QConstr, GenConstr and SOS.

    An element made directly (Var()) belongs to no model: index -1 and
    `_cmodel` None.  Removing it from its model sets the index to -2.
    """

    _typeenum = None
    _typename = None
    _nameattr = None

    def __init__(self):
        self._cmodel = None
        self._index = -1

    def __cindex__(self):
        return self._index

    def _name(self):
        if self._index < 0 or self._cmodel is None:
            return ""
        try:
            return _util._getvalue(self._cmodel, self._nameattr, self._index)
        except Exception:
            return ""  # a freed model: labels must never fail

    def __str__(self):
        name = self._name()
        if name:
            return name
        index = self._index
        return f"{self._typename}#{index}" if index >= 0 else f"{self._typename}#?"

    def __repr__(self):
        index = self._index
        if index == -1:
            state = "not added"
        elif index < -1:
            state = "removed"
        else:
            state = str(self)
        return f"<vantropy.{self._typename} {state}>"


class Var(_Element):
    _typeenum = VNT.KIND_VAR
    _typename = "Var"
    _nameattr = "VarName"

    # Arithmetic goes through LinExpr, which also decides when an operand
    # is not supported (NotImplemented lets the other operand try).
    def __add__(self, other):
        return LinExpr(self).__add__(other)

    __radd__ = __add__

    def __sub__(self, other):
        return LinExpr(self).__sub__(other)

    def __rsub__(self, other):
        return LinExpr(self).__rsub__(other)

    def __mul__(self, other):
        return LinExpr(self).__mul__(other)

    __rmul__ = __mul__

    def __truediv__(self, other):
        return LinExpr(self).__truediv__(other)

    def __neg__(self):
        return LinExpr(-1.0, self)

    def __pos__(self):
        return LinExpr(self)


class Constr(_Element):
    _typeenum = VNT.KIND_CONSTR
    _typename = "Constr"
    _nameattr = "ConstrName"


class QConstr(_Element):
    _typeenum = VNT.KIND_QCONSTR
    _typename = "QConstr"
    _nameattr = "QCName"


class GenConstr(_Element):
    _typeenum = VNT.KIND_GENCONSTR
    _typename = "GenConstr"
    _nameattr = "GenConstrName"


class SOS(_Element):
    _typeenum = VNT.KIND_SOS
    _typename = "SOS"
    _nameattr = "SOSName"


_setvartype(Var)

_ELEMENT_CLASSES = (Var, Constr, QConstr, GenConstr, SOS)


def _bound(value):
    """Python infinities become the solver's infinity bound; every other
    value is stored exactly as given."""
    value = float(value)
    if value == math.inf:
        return VNT.INFINITY
    if value == -math.inf:
        return -VNT.INFINITY
    return value


class Model(_SolverAttributes):
    """A solver model.  With no env, the model gets an environment of its
    own with the default license."""

    _typename = "Model"
    _typeenum = VNT.KIND_MODEL
    _is_model = True

    def __init__(self, name="", env=None):
        if env is None:
            env = Env()
        if env._cenv is None:
            raise VantroError(VNT.Error.INVALID_ARGUMENT, env)
        self._env = env
        self._cenv = env._cenv
        self._cmodel = _util._newmodel(env._cenv, name)
        self._elements = {cls._typeenum: [] for cls in _ELEMENT_CLASSES}
        self._disposed = False

    # -- elements ------------------------------------------------------

    def _add(self, cls, settings):
        """Adds one element and writes the settings that differ from the
        library's defaults; a failing write takes the element out again so
        the model is left as it was."""
        kind = cls._typeenum
        index = _util._addelement(self._cmodel, kind)
        try:
            for name, value, default in settings:
                if value != default:
                    _util._setvalue(self._cmodel, name, index, value)
        except BaseException:
            _util._delelement(self._cmodel, kind, index)
            raise
        element = cls()
        element._cmodel = self._cmodel
        element._index = index
        self._elements[kind].append(element)
        return element

    def addVar(self, lb=0.0, ub=VNT.INFINITY, cost=0.0, kind="C", name=""):
        return self._add(Var, (
            ("LB", _bound(lb), 0.0),
            ("UB", _bound(ub), 1e30),
            ("Cost", float(cost), 0.0),
            ("Kind", kind, "C"),
            ("VarName", name, ""),
        ))

    def addConstr(self, rhs=0.0, sense="<", name=""):
        return self._add(Constr, (
            ("RHS", _bound(rhs), 0.0),
            ("Sense", sense, "<"),
            ("ConstrName", name, ""),
        ))

    def addQConstr(self, name=""):
        return self._add(QConstr, (("QCName", name, ""),))

    def addGenConstr(self, name=""):
        return self._add(GenConstr, (("GenConstrName", name, ""),))

    def addSOS(self, name=""):
        return self._add(SOS, (("SOSName", name, ""),))

    def getVars(self):
        return list(self._elements[Var._typeenum])

    def getConstrs(self):
        return list(self._elements[Constr._typeenum])

    def getQConstrs(self):
        return list(self._elements[QConstr._typeenum])

    def getGenConstrs(self):
        return list(self._elements[GenConstr._typeenum])

    def getSOSs(self):
        return list(self._elements[SOS._typeenum])

    def _owns(self, element):
        """True when the element is currently one of this model's elements."""
        if not isinstance(element, _Element) or element._cmodel is not self._cmodel:
            return False
        elements = self._elements.get(element._typeenum)
        index = element._index
        return elements is not None and 0 <= index < len(elements) \
            and elements[index] is element

    def remove(self, element):
        """Removes an element, or every element of a list, tuple, dict
        (its values) or matrix object; later elements of the same kind move
        down by one, as in the library."""
        if isinstance(element, _Element):
            self._remove_one(element)
            return
        if isinstance(element, dict):
            items = list(element.values())
        elif hasattr(element, "_arr"):       # the matrix element classes
            items = list(element._arr.flat)
        elif hasattr(element, "flat"):       # a numpy array of elements
            items = list(element.flat)
        elif isinstance(element, (list, tuple)):
            items = list(element)
        else:
            raise TypeError(
                f"remove() takes a model element or a collection of them, "
                f"not '{type(element).__name__}'")
        for item in items:
            self.remove(item)

    def _remove_one(self, element):
        if not self._owns(element):
            raise VantroError(VNT.ERROR_NOT_IN_MODEL,
                              f"{element._typename} not in model")
        kind, index = element._typeenum, element._index
        _util._delelement(self._cmodel, kind, index)
        elements = self._elements[kind]
        del elements[index]
        for i in range(index, len(elements)):
            elements[i]._index = i
        element._index = -2

    # -- lifetime ------------------------------------------------------

    def dispose(self):
        """Frees the solver model now.  Later calls are harmless; attribute
        access afterwards fails with the library's invalid-handle error."""
        if not self._disposed:
            self._disposed = True
            _util._freemodel(self._cmodel)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.dispose()
        return False

    def __repr__(self):
        if self._disposed:
            return "<vantropy.Model disposed>"
        try:
            name = _util._getvalue(self._cmodel, "ModelName", -1)
        except Exception:
            name = ""
        counts = ", ".join(
            f"{len(self._elements[cls._typeenum])} {cls._typename}"
            for cls in _ELEMENT_CLASSES)
        return f"<vantropy.Model {name!r}: {counts}>"


class tupledict(dict):
    """A dict keyed by index tuples, built like dict from (key, value)
    pairs or a mapping."""

    def __repr__(self):
        return f"tupledict({dict.__repr__(self)})"
