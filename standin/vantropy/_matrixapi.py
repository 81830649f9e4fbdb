"""Matrix-shaped variables, expressions and constraints.

Each class wraps a numpy object array of the scalar objects of
vantropy._core.  Arithmetic is elementwise through numpy's object arrays,
except `A @ x` of a numeric matrix and a matrix variable, which is kept in a
compact form (A, x, constants) until some caller needs the element
expressions and asks for them with _to_full().
"""

import numpy as np

from vantropy._core import LinExpr, QuadExpr, VantroError

__all__ = ["MVar", "MLinExpr", "MQuadExpr", "MConstr", "MQConstr", "MGenConstr"]


def _object_array(data):
    if isinstance(data, np.ndarray) and data.dtype == object:
        return data
    return np.asarray(data, dtype=object)


def _converted(arr, cls):
    """arr with every element that is not a `cls` replaced by cls(element);
    the array itself when nothing needs converting."""
    if all(isinstance(e, cls) for e in arr.flat):
        return arr
    out = np.empty(arr.shape, dtype=object)
    for i, e in enumerate(arr.flat):
        out.flat[i] = e if isinstance(e, cls) else cls(e)
    return out


class _Matrix:
    """Shape and element access shared by every matrix class; `_arr` holds
    the elements."""

    # numpy hands mixed operations to our reflected operators.
    __array_ufunc__ = None

    def __init__(self, arr):
        self._arr = _object_array(arr)

    @property
    def shape(self):
        return self._arr.shape

    @property
    def size(self):
        return self._arr.size

    @property
    def ndim(self):
        return self._arr.ndim

    def item(self):
        """The single element; ValueError unless there is exactly one."""
        return self._arr.item()

    def tolist(self):
        return self._arr.tolist()

    def __len__(self):
        return len(self._arr)

    def __iter__(self):
        for i in range(len(self._arr)):
            yield self[i]

    def __getitem__(self, key):
        part = self._arr[key]
        if isinstance(part, np.ndarray):
            return type(self)(part)
        return part

    def __repr__(self):
        return f"<vantropy.{type(self).__name__} shape={self.shape}>"


def _operand(x):
    """The element array of a matrix operand; other operands unchanged."""
    if isinstance(x, (MLinExpr, MQuadExpr)):
        return x._to_full()._learr if x._is_compact else x._learr
    if isinstance(x, _Matrix):
        return x._arr
    return x


def _wrap(result):
    """Matrix expression of the right degree for an elementwise result."""
    arr = _object_array(result)
    if any(isinstance(e, QuadExpr) for e in arr.flat):
        return MQuadExpr(arr)
    return MLinExpr(arr)


class _Arithmetic:
    """Elementwise operators; the element types decide each result."""

    def _elems(self):
        return _operand(self)

    def __add__(self, other):
        return _wrap(self._elems() + _operand(other))

    def __radd__(self, other):
        return _wrap(_operand(other) + self._elems())

    def __sub__(self, other):
        return _wrap(self._elems() - _operand(other))

    def __rsub__(self, other):
        return _wrap(_operand(other) - self._elems())

    def __mul__(self, other):
        return _wrap(self._elems() * _operand(other))

    def __rmul__(self, other):
        return _wrap(_operand(other) * self._elems())

    def __neg__(self):
        return _wrap(-self._elems())


class MVar(_Arithmetic, _Matrix):
    """Matrix variable, built from an object array of Var."""

    @classmethod
    def fromlist(cls, variables):
        variables = list(variables)
        arr = np.empty(len(variables), dtype=object)
        arr[:] = variables
        return cls(arr)

    @classmethod
    def fromvar(cls, variable):
        arr = np.empty((), dtype=object)
        arr[()] = variable
        return cls(arr)

    def _indexed_data(self, coldata, dtype):
        """The entries of per-column data for these variables, in the shape
        of this matrix variable."""
        indices = np.fromiter((v.__cindex__() for v in self._arr.flat),
                              dtype=np.intp, count=self._arr.size)
        if indices.size and indices.min() < 0:
            # numpy would wrap a negative index round to another column
            bad = self._arr.flat[int(np.argmin(indices))]
            state = "has not yet been added to the model" \
                if bad.__cindex__() == -1 else "was removed from the model"
            raise VantroError(0, f"Var {state}")
        data = np.asarray(coldata, dtype=dtype)
        return data[indices].reshape(self._arr.shape)

    def __rmatmul__(self, matrix):
        a = np.asarray(matrix, dtype=float)
        if a.ndim != 2 or self.ndim != 1 or a.shape[1] != self.size:
            return NotImplemented
        return MLinExpr._from_compact(a, self, np.zeros(a.shape[0]))


class MLinExpr(_Arithmetic):
    """Matrix linear expression.

    Full form: `_learr`, an object array of LinExpr.  Compact form
    (`_is_compact` true): A @ x + b held as a numeric matrix, a matrix
    variable and a constant vector, with `_learr` None until _to_full().
    """

    __array_ufunc__ = None

    def __init__(self, learr):
        self._learr = _converted(_object_array(learr), LinExpr)
        self._is_compact = False
        self._compact = None

    @classmethod
    def _from_compact(cls, a, mvar, b):
        self = cls.__new__(cls)
        self._learr = None
        self._is_compact = True
        self._compact = (np.asarray(a, dtype=float), mvar,
                         np.broadcast_to(np.asarray(b, dtype=float), (len(a),)).copy())
        return self

    @property
    def shape(self):
        if self._compact is not None:
            return self._compact[2].shape
        return self._learr.shape

    @property
    def size(self):
        return int(np.prod(self.shape))

    def _to_full(self):
        """The same expression with one LinExpr per element."""
        if self._compact is None:
            return MLinExpr(self._learr)
        a, mvar, b = self._compact
        xs = mvar._arr
        out = np.empty(b.shape, dtype=object)
        for i in range(len(b)):
            nz = np.flatnonzero(a[i])
            le = LinExpr([float(c) for c in a[i, nz]], list(xs[nz]))
            le.addConstant(float(b[i]))
            out[i] = le
        return MLinExpr(out)

    def getConstant(self):
        """Constants of the elements, a float array of this shape."""
        if self._compact is not None:
            return self._compact[2].copy()
        return np.array([e.getConstant() for e in self._learr.flat],
                        dtype=float).reshape(self._learr.shape)

    def item(self):
        return self._to_full()._learr.item() if self._is_compact else self._learr.item()

    def __getitem__(self, key):
        part = _operand(self)[key]
        return MLinExpr(part) if isinstance(part, np.ndarray) else part

    def _numeric(self, other):
        if isinstance(other, (int, float, np.number)):
            return np.asarray(other, dtype=float)
        if isinstance(other, np.ndarray) and other.dtype != object:
            return other.astype(float)
        return None

    # A compact expression stays compact under numeric shifts and scaling.
    def __add__(self, other):
        num = self._numeric(other)
        if self._compact is not None and num is not None:
            a, x, b = self._compact
            if np.broadcast_shapes(b.shape, num.shape) == b.shape:
                return MLinExpr._from_compact(a, x, b + num)
        return super().__add__(other)

    __radd__ = __add__

    def __sub__(self, other):
        num = self._numeric(other)
        if num is not None:
            return self.__add__(-num)
        return super().__sub__(other)

    def __mul__(self, other):
        if self._compact is not None and isinstance(other, (int, float, np.number)):
            a, x, b = self._compact
            return MLinExpr._from_compact(a * other, x, b * other)
        return super().__mul__(other)

    __rmul__ = __mul__

    def __neg__(self):
        return self.__mul__(-1.0) if self._compact is not None else super().__neg__()

    def __repr__(self):
        form = "compact " if self._is_compact else ""
        return f"<vantropy.MLinExpr {form}shape={self.shape}>"


class MQuadExpr(_Arithmetic):
    """Matrix quadratic expression: `_learr`, an object array of QuadExpr."""

    __array_ufunc__ = None

    def __init__(self, qearr):
        self._learr = _converted(_object_array(qearr), QuadExpr)
        self._is_compact = False

    @property
    def shape(self):
        return self._learr.shape

    @property
    def size(self):
        return self._learr.size

    def _to_full(self):
        return MQuadExpr(self._learr)

    def getConstant(self):
        return np.array([e.getConstant() for e in self._learr.flat],
                        dtype=float).reshape(self._learr.shape)

    def item(self):
        return self._learr.item()

    def __getitem__(self, key):
        part = self._learr[key]
        return MQuadExpr(part) if isinstance(part, np.ndarray) else part

    def __repr__(self):
        return f"<vantropy.MQuadExpr shape={self.shape}>"


class MConstr(_Matrix):
    """Matrix of linear constraints."""


class MQConstr(_Matrix):
    """Matrix of quadratic constraints."""


class MGenConstr(_Matrix):
    """Matrix of general constraints."""
