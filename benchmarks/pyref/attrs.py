"""Solver attributes in plain Python: one value at a time, and typed lists
through the library's list calls, with ctypes doing the C side."""
import array
import ctypes
import os

import vantropy
import vantropy._util
from vantropy._exception import VantroError
from vantropy._util import _bytestostring, _isscalar, _stringtobytes
from vantropy._vnt import VNT

# ---- the library, as ctypes sees it ----------------------------------------

_lib = ctypes.CDLL(os.path.join(os.path.dirname(vantropy.__file__), "libvantro130.so"))

_c_int_p = ctypes.POINTER(ctypes.c_int)
_c_double_p = ctypes.POINTER(ctypes.c_double)
_c_char_pp = ctypes.POINTER(ctypes.c_char_p)


def _fn(name, restype, *argtypes):
    f = getattr(_lib, name)
    f.restype = restype
    f.argtypes = list(argtypes)
    return f


_V, _S, _I = ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int
VNTgetattrinfo = _fn("VNTgetattrinfo", _I, _V, _S, _c_int_p, _c_int_p, _c_int_p)
VNTgetmerrormsg = _fn("VNTgetmerrormsg", ctypes.c_void_p, _V)
VNTgeterrormsg = _fn("VNTgeterrormsg", ctypes.c_void_p, _V)
VNTgetintattr = _fn("VNTgetintattr", _I, _V, _S, _c_int_p)
VNTgetdblattr = _fn("VNTgetdblattr", _I, _V, _S, _c_double_p)
VNTgetstrattr = _fn("VNTgetstrattr", _I, _V, _S, _c_char_pp)
VNTsetintattr = _fn("VNTsetintattr", _I, _V, _S, _I)
VNTsetdblattr = _fn("VNTsetdblattr", _I, _V, _S, ctypes.c_double)
VNTsetstrattr = _fn("VNTsetstrattr", _I, _V, _S, _S)
VNTgetcharattrelement = _fn("VNTgetcharattrelement", _I, _V, _S, _I,
                            ctypes.POINTER(ctypes.c_char))
VNTgetintattrelement = _fn("VNTgetintattrelement", _I, _V, _S, _I, _c_int_p)
VNTgetdblattrelement = _fn("VNTgetdblattrelement", _I, _V, _S, _I, _c_double_p)
VNTgetstrattrelement = _fn("VNTgetstrattrelement", _I, _V, _S, _I, _c_char_pp)
VNTsetcharattrelement = _fn("VNTsetcharattrelement", _I, _V, _S, _I, ctypes.c_char)
VNTsetintattrelement = _fn("VNTsetintattrelement", _I, _V, _S, _I, _I)
VNTsetdblattrelement = _fn("VNTsetdblattrelement", _I, _V, _S, _I, ctypes.c_double)
VNTsetstrattrelement = _fn("VNTsetstrattrelement", _I, _V, _S, _I, _S)
_V_list = (ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
VNTgetcharattrlist = _fn("VNTgetcharattrlist", _I, *_V_list)
VNTgetintattrlist = _fn("VNTgetintattrlist", _I, *_V_list)
VNTgetdblattrlist = _fn("VNTgetdblattrlist", _I, *_V_list)
VNTgetstrattrlist = _fn("VNTgetstrattrlist", _I, *_V_list)
VNTsetcharattrlist = _fn("VNTsetcharattrlist", _I, *_V_list)
VNTsetintattrlist = _fn("VNTsetintattrlist", _I, *_V_list)
VNTsetdblattrlist = _fn("VNTsetdblattrlist", _I, *_V_list)
VNTsetstrattrlist = _fn("VNTsetstrattrlist", _I, *_V_list)

# The handle behind a capsule, through the host package's own _ptr.
_PyCapsule_GetPointer = ctypes.pythonapi.PyCapsule_GetPointer
_PyCapsule_GetPointer.restype = ctypes.c_void_p
_PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_PyCapsule_GetName = ctypes.pythonapi.PyCapsule_GetName
_PyCapsule_GetName.restype = ctypes.c_char_p
_PyCapsule_GetName.argtypes = [ctypes.py_object]
_ptr_capsule = vantropy._util.__pyx_capi__["_ptr"]
_ptr = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object)(
    _PyCapsule_GetPointer(_ptr_capsule, _PyCapsule_GetName(_ptr_capsule)))


def _cmodel(obj):
    return _ptr(obj._cmodel)


def _message(raw):
    return b"" if not raw else ctypes.string_at(raw)


# ---- attribute information and messages ----------------------------------

def _geterrormsg(obj):
    for attr, fn in (("_cmodel", VNTgetmerrormsg), ("_cenv", VNTgeterrormsg)):
        if hasattr(obj, attr):
            handle = _ptr(getattr(obj, attr))
            return _message(fn(handle)).decode("utf-8", "replace")
    return ""


def _getattrinfo(obj, attrname):
    uattrname = _stringtobytes(attrname)
    t, s, st = ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
    if VNTgetattrinfo(_cmodel(obj), uattrname, t, s, st) != 0:
        raise AttributeError("'vantropy." + obj._typename + "' object has no attribute '"
                             + attrname + "'")
    return (t.value, s.value, st.value)


def _map_double(d):
    if d == VNT.UNDEFINED:
        return d
    if d >= VNT.INFINITY:
        return float("inf")
    if d <= -VNT.INFINITY:
        return float("-inf")
    return d


def _map_string(error, raw):
    if error or not raw:
        return ""
    return _bytestostring(bytes(raw))


def _element_index(obj):
    cindex = obj.__cindex__()
    if cindex == -1:
        raise VantroError(0, obj._typename + " has not yet been added to the model")
    if cindex < -1:
        raise VantroError(0, obj._typename + " was removed from the model")
    return cindex


def _check_kind(obj, attrname, attrsize):
    if attrsize != obj._typeenum:
        raise AttributeError("'vantropy." + obj._typename + "' object has no attribute '"
                             + attrname + "'")


def _unhandled(attrname, attrtype, model_level):
    raise AttributeError(f"Attribute '{attrname}' has unsupported data type {attrtype}"
                         + (" for a model" if model_level else ""))


# ---- one value -------------------------------------------------------------

def _getattr(obj, attrname, is_model=False):
    uattrname = _stringtobytes(attrname)
    attrtype, attrsize, settable = _getattrinfo(obj, attrname)
    if is_model:
        if attrtype == 1:
            ival = ctypes.c_int()
            error = VNTgetintattr(_cmodel(obj), uattrname, ctypes.byref(ival))
            value = ival.value
        elif attrtype == 2:
            dval = ctypes.c_double()
            error = VNTgetdblattr(_cmodel(obj), uattrname, ctypes.byref(dval))
            value = _map_double(dval.value)
        elif attrtype == 3:
            sval = ctypes.c_char_p()
            error = VNTgetstrattr(_cmodel(obj), uattrname, ctypes.byref(sval))
            value = _map_string(error, sval.value)
        else:
            _unhandled(attrname, attrtype, True)
    else:
        cindex = _element_index(obj)
        _check_kind(obj, attrname, attrsize)
        if attrtype == 0:
            cval = ctypes.c_char()
            handle, index = _cmodel(obj), _int32(cindex)
            error = VNTgetcharattrelement(handle, uattrname, index, ctypes.byref(cval))
            value = chr(cval.value[0])
        elif attrtype == 1:
            ival = ctypes.c_int()
            handle, index = _cmodel(obj), _int32(cindex)
            error = VNTgetintattrelement(handle, uattrname, index, ctypes.byref(ival))
            value = ival.value
        elif attrtype == 2:
            dval = ctypes.c_double()
            handle, index = _cmodel(obj), _int32(cindex)
            error = VNTgetdblattrelement(handle, uattrname, index, ctypes.byref(dval))
            value = _map_double(dval.value)
        elif attrtype == 3:
            sval = ctypes.c_char_p()
            handle, index = _cmodel(obj), _int32(cindex)
            error = VNTgetstrattrelement(handle, uattrname, index, ctypes.byref(sval))
            value = _map_string(error, sval.value)
        else:
            _unhandled(attrname, attrtype, False)
    if error == VNT.Error.OPTIMIZATION_IN_PROGRESS:
        raise AttributeError(f"Attribute '{attrname}' cannot be queried while optimization "
                             "is in progress")
    if error:
        raise AttributeError(_geterrormsg(obj))
    return value


def _map_infinity(newval):
    if newval == float("inf"):
        return VNT.INFINITY
    if newval == -float("inf"):
        return -VNT.INFINITY
    return newval


def _one_char(attrname, newval):
    ch = ord(newval[0])
    if ch > 0xFF:
        raise AttributeError(f"Attribute '{attrname}' takes a character from U+0000 to "
                             f"U+00FF, not '{chr(ch)}' (U+{ch:04X})")
    return bytes((ch,))


def _setattr(obj, attrname, newval, is_model=False):
    uattrname = _stringtobytes(attrname)
    attrtype, attrsize, settable = _getattrinfo(obj, attrname)
    error = 0
    if is_model:
        if attrtype == 1:
            if not isinstance(newval, int):
                raise AttributeError("Attribute '" + attrname + "' takes integer value")
            error = VNTsetintattr(_cmodel(obj), uattrname, _int32(newval))
        elif attrtype == 2:
            if not _isscalar(newval):
                raise AttributeError("Attribute '" + attrname + "' takes double value")
            error = VNTsetdblattr(_cmodel(obj), uattrname, float(_map_infinity(newval)))
        elif attrtype == 3:
            if not isinstance(newval, str):
                raise AttributeError("Attribute '" + attrname + "' takes string value")
            error = VNTsetstrattr(_cmodel(obj), uattrname, _stringtobytes(newval))
        else:
            _unhandled(attrname, attrtype, True)
    else:
        cindex = _element_index(obj)
        _check_kind(obj, attrname, attrsize)
        if settable == 0:
            raise AttributeError("Attribute '" + attrname + "' cannot be set")
        if attrtype == 0:
            if not isinstance(newval, str):
                raise AttributeError("Attribute '" + attrname + "' takes character value")
            handle, index = _cmodel(obj), _int32(cindex)
            error = VNTsetcharattrelement(handle, uattrname, index, _one_char(attrname, newval))
        elif attrtype == 1:
            if not isinstance(newval, int):
                raise AttributeError("Attribute '" + attrname + "' takes integer value")
            handle, index = _cmodel(obj), _int32(cindex)
            error = VNTsetintattrelement(handle, uattrname, index, _int32(newval))
        elif attrtype == 2:
            if not _isscalar(newval):
                raise AttributeError("Attribute '" + attrname + "' takes double value")
            newval = _map_infinity(newval)
            handle, index = _cmodel(obj), _int32(cindex)
            error = VNTsetdblattrelement(handle, uattrname, index, float(newval))
        elif attrtype == 3:
            if not isinstance(newval, str):
                raise AttributeError("Attribute '" + attrname + "' takes string value")
            unewval = _stringtobytes(newval)
            handle, index = _cmodel(obj), _int32(cindex)
            error = VNTsetstrattrelement(handle, uattrname, index, unewval)
        else:
            _unhandled(attrname, attrtype, False)
    if error:
        raise AttributeError(_geterrormsg(obj))


# ---- typed lists -------------------------------------------------------------

def _list_type(attrtype):
    for code in (0, 1, 2, 3):
        if attrtype == code:
            return code
    raise ValueError(f"unsupported attribute data type {attrtype!r} "
                     "(expected 0 char, 1 int, 2 double or 3 string)")


def _cint(x):
    """An index or int value as the library takes it: an int as it is,
    anything else through its __int__ (a float is truncated)."""
    if isinstance(x, int):
        return x
    t = type(x)
    if hasattr(t, "__int__"):
        return t.__int__(x)
    if hasattr(t, "__index__"):
        return t.__index__(x)
    raise TypeError("an integer is required")


def _int32(x):
    x = _cint(x)
    if not -2147483648 <= x <= 2147483647:
        raise OverflowError("Python int too large to convert to C int")
    return x


def _address(buf):
    return buf.buffer_info()[0]


def _indices(seq):
    n = len(seq)
    return n, array.array("i", [_cint(seq[i]) for i in range(n)])


def _gettypedattrlist(obj, attrname, attrtype, inputlist):
    uattrname = _stringtobytes(attrname)
    listlen, ind = _indices(inputlist)
    code = _list_type(attrtype)
    if code == 0:
        vals = bytearray(listlen)
        cvals = (ctypes.c_char * listlen).from_buffer(vals)
        error = VNTgetcharattrlist(_cmodel(obj), uattrname, listlen, _address(ind), cvals)
        if error:
            raise VantroError(error, obj)
        return [chr(b) for b in vals]
    if code == 1:
        vals = array.array("i", bytes(4 * listlen))
        error = VNTgetintattrlist(_cmodel(obj), uattrname, listlen, _address(ind),
                                  _address(vals))
        if error:
            raise VantroError(error, obj)
        return vals.tolist()
    if code == 2:
        vals = array.array("d", bytes(8 * listlen))
        error = VNTgetdblattrlist(_cmodel(obj), uattrname, listlen, _address(ind),
                                  _address(vals))
        if error:
            raise VantroError(error, obj)
        inf, bound, undefined = float("inf"), float(VNT.INFINITY), float(VNT.UNDEFINED)
        return [d if d == undefined else inf if d >= bound else -inf if d <= -bound else d
                for d in vals]
    vals = (ctypes.c_char_p * listlen)()
    error = VNTgetstrattrlist(_cmodel(obj), uattrname, listlen, _address(ind), vals)
    if error:
        raise VantroError(error, obj)
    return [_bytestostring(s) if s is not None else "" for s in list(vals)]


def _list_char(attrname, i, item):
    if isinstance(item, str):
        if len(item) != 1:
            raise ValueError("only single character unicode strings can be converted to "
                             f"Py_UCS4, got length {len(item)}")
        ch = ord(item)
        if ch > 0xFF:
            raise ValueError(f"Attribute '{attrname}' takes characters from U+0000 to U+00FF; "
                             f"item {i} is '{item}' (U+{ch:04X})")
        return ch
    if isinstance(item, (bytes, bytearray)):
        if len(item) != 1:
            raise TypeError(f"ord() expected a character, but string of length {len(item)} "
                            "found")
        return item[0]
    raise TypeError(f"ord() expected string of length 1, but {type(item).__name__} found")


def _settypedattrlist(obj, attrname, attrtype, indlist, newval):
    uattrname = _stringtobytes(attrname)
    listlen, ind = _indices(indlist)
    code = _list_type(attrtype)
    if code == 0:
        vals = bytes([_list_char(attrname, i, newval[i]) for i in range(listlen)])
        error = VNTsetcharattrlist(_cmodel(obj), uattrname, listlen, _address(ind), vals)
    elif code == 1:
        vals = array.array("i", [_cint(newval[i]) for i in range(listlen)])
        error = VNTsetintattrlist(_cmodel(obj), uattrname, listlen, _address(ind),
                                  _address(vals))
    elif code == 2:
        pyinf = float("inf")
        values = []
        for i in range(listlen):
            if newval[i] == pyinf:
                values.append(VNT.INFINITY)
            elif newval[i] == -pyinf:
                values.append(-VNT.INFINITY)
            else:
                values.append(newval[i])
        vals = array.array("d", values)
        error = VNTsetdblattrlist(_cmodel(obj), uattrname, listlen, _address(ind),
                                  _address(vals))
    else:
        unewval = [_stringtobytes(s) for s in newval]
        vals = (ctypes.c_char_p * listlen)(*[unewval[i] for i in range(listlen)])
        error = VNTsetstrattrlist(_cmodel(obj), uattrname, listlen, _address(ind), vals)
    if error:
        raise AttributeError(_geterrormsg(obj))
