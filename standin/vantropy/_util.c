/* vantropy._util: handle conversion and string helpers shared by the
 * package, plus the few private calls the pure-Python classes need to make
 * environments, models and elements in the solver library.
 *
 * Solver handles travel through Python as capsules named "vantro130.env" and
 * "vantro130.model".  Other native modules turn them back into pointers with
 * the C function `_ptr`, which they take from this module's `__pyx_capi__`
 * table under the signature string "void *(PyObject *)". */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <limits.h>
#include <string.h>

#include "vantropy/vantro130.h"

static const char ENV_CAPSULE[] = "vantro130.env";
static const char MODEL_CAPSULE[] = "vantro130.model";
static const char PTR_SIGNATURE[] = "void *(PyObject *)";

/* numbers.Number, looked up once at import: the scalar test follows Python's
 * own notion of a number, so numpy scalars and Decimal count as well. */
static PyObject *number_abc;

/* ------------------------------------------------------------------ */
/* Handles                                                              */

static int is_handle_name(const char *name)
{
    return name != NULL &&
           (strcmp(name, ENV_CAPSULE) == 0 || strcmp(name, MODEL_CAPSULE) == 0);
}

/* The exported converter.  Failure is reported only through a pending
 * exception, so callers must check PyErr_Occurred() when NULL comes back. */
static void *util_ptr(PyObject *obj)
{
    if (obj == NULL) {
        PyErr_SetString(PyExc_TypeError, "expected a solver handle, got NULL");
        return NULL;
    }
    if (!PyCapsule_CheckExact(obj)) {
        PyErr_Format(PyExc_TypeError,
                     "expected a solver handle (a '%s' or '%s' capsule), not '%.200s'",
                     ENV_CAPSULE, MODEL_CAPSULE, Py_TYPE(obj)->tp_name);
        return NULL;
    }
    const char *name = PyCapsule_GetName(obj);
    if (!is_handle_name(name)) {
        PyErr_Format(PyExc_TypeError,
                     "expected a solver handle (a '%s' or '%s' capsule), "
                     "not a capsule named '%.200s'",
                     ENV_CAPSULE, MODEL_CAPSULE, name ? name : "(null)");
        return NULL;
    }
    return PyCapsule_GetPointer(obj, name);
}

/* A handle of one particular kind; TypeError names the kind wanted. */
static void *handle_of(PyObject *obj, const char *capsule_name)
{
    if (!PyCapsule_CheckExact(obj) || PyCapsule_GetName(obj) == NULL ||
        strcmp(PyCapsule_GetName(obj), capsule_name) != 0) {
        PyErr_Format(PyExc_TypeError, "expected a '%s' capsule, not '%.200s'",
                     capsule_name, Py_TYPE(obj)->tp_name);
        return NULL;
    }
    return PyCapsule_GetPointer(obj, capsule_name);
}

static void env_capsule_destructor(PyObject *capsule)
{
    /* The library validates handles, so an environment freed earlier only
     * answers an error code here. */
    VNTfreeenv((VNTenv *)PyCapsule_GetPointer(capsule, ENV_CAPSULE));
}

static void model_capsule_destructor(PyObject *capsule)
{
    VNTfreemodel((VNTmodel *)PyCapsule_GetPointer(capsule, MODEL_CAPSULE));
    /* The context keeps the environment capsule alive for as long as the
     * model, so a model is never freed after its environment. */
    PyObject *env = (PyObject *)PyCapsule_GetContext(capsule);
    Py_XDECREF(env);
}

/* Raises vantropy._exception.VantroError(code, message).  The class is
 * imported at each failure, which is rare, so a substitute module placed in
 * sys.modules is honoured. */
static PyObject *raise_library_error(int code, const char *message)
{
    PyObject *mod = PyImport_ImportModule("vantropy._exception");
    if (mod == NULL)
        return NULL;
    PyObject *cls = PyObject_GetAttrString(mod, "VantroError");
    Py_DECREF(mod);
    if (cls == NULL)
        return NULL;
    PyObject *exc = PyObject_CallFunction(cls, "is", code, message ? message : "");
    if (exc != NULL) {
        PyErr_SetObject((PyObject *)Py_TYPE(exc), exc);
        Py_DECREF(exc);
    }
    Py_DECREF(cls);
    return NULL;
}

static PyObject *raise_model_error(VNTmodel *model, int code)
{
    return raise_library_error(code, VNTgetmerrormsg(model));
}

/* Borrowed UTF-8 text of a str or bytes argument; NULL for None when
 * allow_none is set (with no exception), NULL with TypeError otherwise. */
static int text_arg(PyObject *obj, const char *what, int allow_none, const char **out)
{
    *out = NULL;
    if (obj == Py_None && allow_none)
        return 0;
    if (PyUnicode_Check(obj)) {
        *out = PyUnicode_AsUTF8(obj);
        return *out == NULL ? -1 : 0;
    }
    if (PyBytes_Check(obj)) {
        *out = PyBytes_AS_STRING(obj);
        return 0;
    }
    PyErr_Format(PyExc_TypeError, "%s must be a str%s, not '%.200s'", what,
                 allow_none ? " or None" : "", Py_TYPE(obj)->tp_name);
    return -1;
}

static int int_arg(PyObject *obj, const char *what, int *out)
{
    long v = PyLong_AsLong(obj);
    if (v == -1 && PyErr_Occurred())
        return -1;
    if (v < INT_MIN || v > INT_MAX) {
        PyErr_Format(PyExc_OverflowError, "%s %ld does not fit a C int", what, v);
        return -1;
    }
    *out = (int)v;
    return 0;
}

/* ------------------------------------------------------------------ */
/* Python-visible functions                                             */

static PyObject *util_stringtobytes(PyObject *Py_UNUSED(mod), PyObject *s)
{
    if (PyUnicode_Check(s))
        return PyUnicode_AsUTF8String(s);
    if (PyBytes_Check(s) || PyByteArray_Check(s))
        return Py_NewRef(s);
    PyErr_Format(PyExc_TypeError, "expected str, bytes or bytearray, not '%.200s'",
                 Py_TYPE(s)->tp_name);
    return NULL;
}

static PyObject *util_bytestostring(PyObject *Py_UNUSED(mod), PyObject *b)
{
    if (PyBytes_Check(b))
        return PyUnicode_DecodeUTF8(PyBytes_AS_STRING(b), PyBytes_GET_SIZE(b), NULL);
    if (PyByteArray_Check(b))
        return PyUnicode_DecodeUTF8(PyByteArray_AS_STRING(b), PyByteArray_GET_SIZE(b),
                                    NULL);
    if (PyUnicode_Check(b))
        return Py_NewRef(b);
    PyErr_Format(PyExc_TypeError, "expected bytes or bytearray, not '%.200s'",
                 Py_TYPE(b)->tp_name);
    return NULL;
}

static int is_scalar(PyObject *x)
{
    if (PyLong_Check(x) || PyFloat_Check(x))
        return 1;
    if (x == Py_None || PyUnicode_Check(x) || PyBytes_Check(x) || PyList_Check(x) ||
        PyTuple_Check(x) || PyDict_Check(x))
        return 0;
    return PyObject_IsInstance(x, number_abc);
}

static PyObject *util_isscalar(PyObject *Py_UNUSED(mod), PyObject *x)
{
    int r = is_scalar(x);
    if (r < 0)
        return NULL;
    return PyBool_FromLong(r);
}

static PyObject *util_isstr(PyObject *Py_UNUSED(mod), PyObject *x)
{
    return PyBool_FromLong(PyUnicode_Check(x));
}

/* _newenv(license=None): an environment capsule, or None when the library
 * refuses to create one (the caller keeps None as its `_cenv`). */
static PyObject *util_newenv(PyObject *Py_UNUSED(mod), PyObject *args, PyObject *kw)
{
    static char *kwlist[] = {"license", NULL};
    PyObject *license = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "|O:_newenv", kwlist, &license))
        return NULL;
    const char *text;
    if (text_arg(license, "license", 1, &text) < 0)
        return NULL;
    VNTenv *env = NULL;
    if (VNTnewenv(&env, text) != 0 || env == NULL)
        Py_RETURN_NONE;
    PyObject *cap = PyCapsule_New(env, ENV_CAPSULE, env_capsule_destructor);
    if (cap == NULL)
        VNTfreeenv(env);
    return cap;
}

/* Explicit release: frees the handle now and disarms the destructor, so the
 * capsule can outlive it without a second free.  Returns the library code. */
static PyObject *util_freeenv(PyObject *Py_UNUSED(mod), PyObject *cap)
{
    VNTenv *env = handle_of(cap, ENV_CAPSULE);
    if (env == NULL)
        return NULL;
    int code = VNTfreeenv(env);
    if (PyCapsule_SetDestructor(cap, NULL) < 0)
        return NULL;
    return PyLong_FromLong(code);
}

static PyObject *util_newmodel(PyObject *Py_UNUSED(mod), PyObject *args, PyObject *kw)
{
    static char *kwlist[] = {"env", "name", NULL};
    PyObject *envcap, *name = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "O|O:_newmodel", kwlist, &envcap, &name))
        return NULL;
    VNTenv *env = handle_of(envcap, ENV_CAPSULE);
    if (env == NULL)
        return NULL;
    const char *text;
    if (text_arg(name, "name", 1, &text) < 0)
        return NULL;
    VNTmodel *model = NULL;
    int code = VNTnewmodel(env, &model, text ? text : "");
    if (code != 0)
        return raise_library_error(code, VNTgeterrormsg(env));
    PyObject *cap = PyCapsule_New(model, MODEL_CAPSULE, model_capsule_destructor);
    if (cap == NULL) {
        VNTfreemodel(model);
        return NULL;
    }
    if (PyCapsule_SetContext(cap, Py_NewRef(envcap)) < 0) {
        Py_DECREF(envcap);
        Py_DECREF(cap); /* the destructor frees the model */
        return NULL;
    }
    return cap;
}

static PyObject *util_freemodel(PyObject *Py_UNUSED(mod), PyObject *cap)
{
    VNTmodel *model = handle_of(cap, MODEL_CAPSULE);
    if (model == NULL)
        return NULL;
    int code = VNTfreemodel(model);
    PyObject *env = (PyObject *)PyCapsule_GetContext(cap);
    if (PyCapsule_SetDestructor(cap, NULL) < 0 || PyCapsule_SetContext(cap, NULL) < 0)
        return NULL;
    Py_XDECREF(env);
    return PyLong_FromLong(code);
}

static PyObject *util_addelement(PyObject *Py_UNUSED(mod), PyObject *args)
{
    PyObject *cap;
    int kind;
    if (!PyArg_ParseTuple(args, "Oi:_addelement", &cap, &kind))
        return NULL;
    VNTmodel *model = handle_of(cap, MODEL_CAPSULE);
    if (model == NULL)
        return NULL;
    int index = -1;
    int code = VNTaddelement(model, kind, &index);
    if (code != 0)
        return raise_model_error(model, code);
    return PyLong_FromLong(index);
}

static PyObject *util_delelement(PyObject *Py_UNUSED(mod), PyObject *args)
{
    PyObject *cap;
    int kind, index;
    if (!PyArg_ParseTuple(args, "Oii:_delelement", &cap, &kind, &index))
        return NULL;
    VNTmodel *model = handle_of(cap, MODEL_CAPSULE);
    if (model == NULL)
        return NULL;
    int code = VNTdelelement(model, kind, index);
    if (code != 0)
        return raise_model_error(model, code);
    Py_RETURN_NONE;
}

static PyObject *util_numelements(PyObject *Py_UNUSED(mod), PyObject *args)
{
    PyObject *cap;
    int kind;
    if (!PyArg_ParseTuple(args, "Oi:_numelements", &cap, &kind))
        return NULL;
    VNTmodel *model = handle_of(cap, MODEL_CAPSULE);
    if (model == NULL)
        return NULL;
    int count = 0;
    int code = VNTgetnumelements(model, kind, &count);
    if (code != 0)
        return raise_model_error(model, code);
    return PyLong_FromLong(count);
}

/* Looks up an attribute's data type so that the setter and getter below can
 * pick the library call; -1 with the library error raised on failure. */
static int attr_type(VNTmodel *model, const char *name, int *type)
{
    int code = VNTgetattrinfo(model, name, type, NULL, NULL);
    if (code != 0) {
        raise_model_error(model, code);
        return -1;
    }
    return 0;
}

static int char_value(PyObject *value, const char *name, char *out)
{
    if (PyUnicode_Check(value) && PyUnicode_GetLength(value) == 1) {
        Py_UCS4 ch = PyUnicode_ReadChar(value, 0);
        if (ch < 256) {
            *out = (char)ch;
            return 0;
        }
    }
    else if (PyBytes_Check(value) && PyBytes_GET_SIZE(value) == 1) {
        *out = PyBytes_AS_STRING(value)[0];
        return 0;
    }
    PyErr_Format(PyExc_TypeError, "attribute '%s' takes a single character, not %R",
                 name, value);
    return -1;
}

/* _setvalue(model, name, index, value): writes one attribute through the
 * library's typed setter, choosing it by the attribute's data type; index -1
 * writes a model-level attribute.  Used by the model when it creates
 * elements, so that creation does not depend on the attribute module. */
static PyObject *util_setvalue(PyObject *Py_UNUSED(mod), PyObject *args)
{
    PyObject *cap, *value;
    const char *name;
    int index;
    if (!PyArg_ParseTuple(args, "OsiO:_setvalue", &cap, &name, &index, &value))
        return NULL;
    VNTmodel *model = handle_of(cap, MODEL_CAPSULE);
    if (model == NULL)
        return NULL;
    int type;
    if (attr_type(model, name, &type) < 0)
        return NULL;

    int code;
    switch (type) {
    case VNT_CHAR: {
        char c;
        if (char_value(value, name, &c) < 0)
            return NULL;
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "'%s' is not a model attribute", name);
            return NULL;
        }
        code = VNTsetcharattrelement(model, name, index, c);
        break;
    }
    case VNT_INT: {
        int v;
        if (!PyLong_Check(value)) {
            PyErr_Format(PyExc_TypeError, "attribute '%s' takes an int, not '%.200s'",
                         name, Py_TYPE(value)->tp_name);
            return NULL;
        }
        if (int_arg(value, "value", &v) < 0)
            return NULL;
        code = index < 0 ? VNTsetintattr(model, name, v)
                         : VNTsetintattrelement(model, name, index, v);
        break;
    }
    case VNT_DOUBLE: {
        double v = PyFloat_AsDouble(value);
        if (v == -1.0 && PyErr_Occurred())
            return NULL;
        code = index < 0 ? VNTsetdblattr(model, name, v)
                         : VNTsetdblattrelement(model, name, index, v);
        break;
    }
    case VNT_STRING: {
        const char *v;
        if (text_arg(value, "value", 0, &v) < 0)
            return NULL;
        code = index < 0 ? VNTsetstrattr(model, name, v)
                         : VNTsetstrattrelement(model, name, index, v);
        break;
    }
    default:
        PyErr_Format(PyExc_TypeError, "attribute '%s' has unsupported data type %d",
                     name, type);
        return NULL;
    }
    if (code != 0)
        return raise_model_error(model, code);
    Py_RETURN_NONE;
}

/* _getvalue(model, name, index): the raw stored value, for element labels
 * and checks that must not depend on the attribute module. */
static PyObject *util_getvalue(PyObject *Py_UNUSED(mod), PyObject *args)
{
    PyObject *cap;
    const char *name;
    int index;
    if (!PyArg_ParseTuple(args, "Osi:_getvalue", &cap, &name, &index))
        return NULL;
    VNTmodel *model = handle_of(cap, MODEL_CAPSULE);
    if (model == NULL)
        return NULL;
    int type;
    if (attr_type(model, name, &type) < 0)
        return NULL;

    int code = VNT_ERROR_NOT_SUPPORTED;
    PyObject *result = NULL;
    switch (type) {
    case VNT_CHAR: {
        char c = 0;
        if (index >= 0 && (code = VNTgetcharattrelement(model, name, index, &c)) == 0)
            result = PyUnicode_FromOrdinal((unsigned char)c);
        break;
    }
    case VNT_INT: {
        int v = 0;
        code = index < 0 ? VNTgetintattr(model, name, &v)
                         : VNTgetintattrelement(model, name, index, &v);
        if (code == 0)
            result = PyLong_FromLong(v);
        break;
    }
    case VNT_DOUBLE: {
        double v = 0.0;
        code = index < 0 ? VNTgetdblattr(model, name, &v)
                         : VNTgetdblattrelement(model, name, index, &v);
        if (code == 0)
            result = PyFloat_FromDouble(v);
        break;
    }
    case VNT_STRING: {
        char *v = NULL;
        code = index < 0 ? VNTgetstrattr(model, name, &v)
                         : VNTgetstrattrelement(model, name, index, &v);
        if (code == 0)
            result = PyUnicode_DecodeUTF8(v ? v : "", v ? (Py_ssize_t)strlen(v) : 0,
                                          "replace");
        break;
    }
    default:
        break;
    }
    if (code != 0)
        return raise_model_error(model, code);
    return result;
}

static PyMethodDef util_methods[] = {
    {"_stringtobytes", util_stringtobytes, METH_O,
     "str to UTF-8 bytes; bytes and bytearray pass through unchanged."},
    {"_bytestostring", util_bytestostring, METH_O, "UTF-8 bytes to str."},
    {"_isscalar", util_isscalar, METH_O, "True for a single number (numbers.Number)."},
    {"_isstr", util_isstr, METH_O, "True for a str."},
    {"_newenv", (PyCFunction)(void (*)(void))util_newenv, METH_VARARGS | METH_KEYWORDS,
     "Create an environment capsule, or None when the library refuses."},
    {"_freeenv", util_freeenv, METH_O, "Free an environment now; returns the library code."},
    {"_newmodel", (PyCFunction)(void (*)(void))util_newmodel, METH_VARARGS | METH_KEYWORDS,
     "Create a model capsule in an environment."},
    {"_freemodel", util_freemodel, METH_O, "Free a model now; returns the library code."},
    {"_addelement", util_addelement, METH_VARARGS, "Add an element of a kind; its index."},
    {"_delelement", util_delelement, METH_VARARGS, "Delete an element of a kind."},
    {"_numelements", util_numelements, METH_VARARGS, "Number of elements of a kind."},
    {"_setvalue", util_setvalue, METH_VARARGS, "Write one attribute value directly."},
    {"_getvalue", util_getvalue, METH_VARARGS, "Read one attribute value directly."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef util_module = {
    PyModuleDef_HEAD_INIT,
    .m_name = "vantropy._util",
    .m_doc = "Solver handle conversion and string helpers.",
    .m_size = -1,
    .m_methods = util_methods,
};

PyMODINIT_FUNC PyInit__util(void)
{
    if (number_abc == NULL) {
        PyObject *numbers = PyImport_ImportModule("numbers");
        if (numbers == NULL)
            return NULL;
        number_abc = PyObject_GetAttrString(numbers, "Number");
        Py_DECREF(numbers);
        if (number_abc == NULL)
            return NULL;
    }
    PyObject *mod = PyModule_Create(&util_module);
    if (mod == NULL)
        return NULL;
    PyObject *capi = PyDict_New();
    /* ISO C has no conversion between function and object pointers; the
     * capsule protocol needs one, and every platform we build on allows it. */
    PyObject *ptr = PyCapsule_New((void *)util_ptr, PTR_SIGNATURE, NULL);
    if (capi == NULL || ptr == NULL || PyDict_SetItemString(capi, "_ptr", ptr) < 0 ||
        PyModule_AddObjectRef(mod, "__pyx_capi__", capi) < 0) {
        Py_XDECREF(ptr);
        Py_XDECREF(capi);
        Py_DECREF(mod);
        return NULL;
    }
    Py_DECREF(ptr);
    Py_DECREF(capi);
    return mod;
}
