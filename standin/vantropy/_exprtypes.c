/* vantropy._exprtypes: the scalar expression types LinExpr and QuadExpr.
 *
 * Both are native types with fixed instance layouts, because the utility
 * module checks their instance sizes when it loads (48 and 56 bytes on a
 * 64-bit build).  Terms are kept in Python lists, in the order they were
 * added; duplicates are merged only by _normalize().
 *
 * Variables are instances of the package's Var class, which is written in
 * Python and registered here by vantropy._core with _setvartype(). */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stddef.h>

typedef struct {
    PyObject_HEAD
    PyObject *coeffs; /* list of float */
    PyObject *vars;   /* list of variables, same length */
    double constant;
    PyObject *weakrefs;
} LinExprObject;

typedef struct {
    PyObject_HEAD
    PyObject *linexpr; /* LinExprObject: the linear part and the constant */
    PyObject *qcoeffs; /* list of float */
    PyObject *qvars1;  /* list of variables */
    PyObject *qvars2;  /* list of variables */
    PyObject *weakrefs;
} QuadExprObject;

_Static_assert(sizeof(void *) != 8 || sizeof(LinExprObject) == 48,
               "LinExpr layout must stay at 48 bytes");
_Static_assert(sizeof(void *) != 8 || sizeof(QuadExprObject) == 56,
               "QuadExpr layout must stay at 56 bytes");

static PyTypeObject LinExprType;
static PyTypeObject QuadExprType;

static PyObject *var_type;   /* set by _setvartype */
static PyObject *number_abc; /* numbers.Number */

#define LinExpr_Check(o) PyObject_TypeCheck((o), &LinExprType)
#define QuadExpr_Check(o) PyObject_TypeCheck((o), &QuadExprType)
#define LIN(o) ((LinExprObject *)(o))
#define QUAD(o) ((QuadExprObject *)(o))

/* ------------------------------------------------------------------ */
/* Operand classification                                               */

static int is_var(PyObject *o)
{
    return var_type != NULL && PyObject_TypeCheck(o, (PyTypeObject *)var_type);
}

/* 1 and *out set for a number, 0 for anything else, -1 on error.  Strings,
 * containers and None are never numbers, whatever they convert to. */
static int as_number(PyObject *o, double *out)
{
    int is_num;
    if (PyFloat_Check(o) || PyLong_Check(o))
        is_num = 1;
    else if (o == Py_None || PyUnicode_Check(o) || PyBytes_Check(o) || PyList_Check(o) ||
             PyTuple_Check(o) || PyDict_Check(o) || is_var(o) || LinExpr_Check(o) ||
             QuadExpr_Check(o))
        is_num = 0;
    else if ((is_num = PyObject_IsInstance(o, number_abc)) < 0)
        return -1;
    if (!is_num)
        return 0;
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred())
        return -1;
    *out = v;
    return 1;
}

static int append_float(PyObject *list, double v)
{
    PyObject *f = PyFloat_FromDouble(v);
    if (f == NULL)
        return -1;
    int r = PyList_Append(list, f);
    Py_DECREF(f);
    return r;
}

static double item_double(PyObject *list, Py_ssize_t i)
{
    return PyFloat_AS_DOUBLE(PyList_GET_ITEM(list, i));
}

static int check_index(PyObject *list, Py_ssize_t i)
{
    if (i < 0 || i >= PyList_GET_SIZE(list)) {
        PyErr_Format(PyExc_IndexError, "term index %zd out of range (size %zd)", i,
                     PyList_GET_SIZE(list));
        return -1;
    }
    return 0;
}

/* ------------------------------------------------------------------ */
/* LinExpr core                                                         */

static PyObject *lin_alloc(PyTypeObject *type)
{
    LinExprObject *self = (LinExprObject *)type->tp_alloc(type, 0);
    if (self == NULL)
        return NULL;
    self->coeffs = PyList_New(0);
    self->vars = PyList_New(0);
    self->constant = 0.0;
    if (self->coeffs == NULL || self->vars == NULL) {
        Py_DECREF(self);
        return NULL;
    }
    return (PyObject *)self;
}

static int lin_add_term(PyObject *self, double coeff, PyObject *var)
{
    if (append_float(LIN(self)->coeffs, coeff) < 0)
        return -1;
    if (PyList_Append(LIN(self)->vars, var) < 0) {
        /* keep the two lists the same length */
        PyList_SetSlice(LIN(self)->coeffs, PyList_GET_SIZE(LIN(self)->coeffs) - 1,
                        PY_SSIZE_T_MAX, NULL);
        return -1;
    }
    return 0;
}

/* Adds scale * other to self in place.  1 when other was a number, a
 * variable or a linear expression, 0 when it is none of those, -1 on error.
 * The term count is read before the loop so that e += e doubles e. */
static int lin_iadd(PyObject *self, PyObject *other, double scale)
{
    if (LinExpr_Check(other)) {
        Py_ssize_t n = PyList_GET_SIZE(LIN(other)->coeffs);
        for (Py_ssize_t i = 0; i < n; i++) {
            if (lin_add_term(self, scale * item_double(LIN(other)->coeffs, i),
                             PyList_GET_ITEM(LIN(other)->vars, i)) < 0)
                return -1;
        }
        LIN(self)->constant += scale * LIN(other)->constant;
        return 1;
    }
    if (is_var(other))
        return lin_add_term(self, scale, other) < 0 ? -1 : 1;
    double v;
    int r = as_number(other, &v);
    if (r > 0)
        LIN(self)->constant += scale * v;
    return r;
}

static PyObject *lin_copy_scaled(PyObject *src, double scale)
{
    PyObject *res = lin_alloc(&LinExprType);
    if (res != NULL && lin_iadd(res, src, scale) < 0)
        Py_CLEAR(res);
    return res;
}

/* Fills `into` from a LinExpr constructor argument; 0 for an argument of
 * another kind (no exception), so callers can word their own TypeError. */
static int lin_from_operand(PyObject *into, PyObject *arg)
{
    return lin_iadd(into, arg, 1.0);
}

/* ------------------------------------------------------------------ */
/* QuadExpr core                                                        */

static PyObject *quad_alloc(PyTypeObject *type)
{
    QuadExprObject *self = (QuadExprObject *)type->tp_alloc(type, 0);
    if (self == NULL)
        return NULL;
    self->linexpr = lin_alloc(&LinExprType);
    self->qcoeffs = PyList_New(0);
    self->qvars1 = PyList_New(0);
    self->qvars2 = PyList_New(0);
    if (self->linexpr == NULL || self->qcoeffs == NULL || self->qvars1 == NULL ||
        self->qvars2 == NULL) {
        Py_DECREF(self);
        return NULL;
    }
    return (PyObject *)self;
}

static int quad_add_term(PyObject *self, double coeff, PyObject *v1, PyObject *v2)
{
    QuadExprObject *q = QUAD(self);
    Py_ssize_t n = PyList_GET_SIZE(q->qcoeffs);
    if (append_float(q->qcoeffs, coeff) == 0) {
        if (PyList_Append(q->qvars1, v1) == 0) {
            if (PyList_Append(q->qvars2, v2) == 0)
                return 0;
            PyList_SetSlice(q->qvars1, n, PY_SSIZE_T_MAX, NULL);
        }
        PyList_SetSlice(q->qcoeffs, n, PY_SSIZE_T_MAX, NULL);
    }
    return -1;
}

/* Adds scale * other to self in place; the same contract as lin_iadd, and
 * additionally accepting quadratic expressions. */
static int quad_iadd(PyObject *self, PyObject *other, double scale)
{
    if (QuadExpr_Check(other)) {
        QuadExprObject *o = QUAD(other);
        Py_ssize_t n = PyList_GET_SIZE(o->qcoeffs);
        for (Py_ssize_t i = 0; i < n; i++) {
            if (quad_add_term(self, scale * item_double(o->qcoeffs, i),
                              PyList_GET_ITEM(o->qvars1, i),
                              PyList_GET_ITEM(o->qvars2, i)) < 0)
                return -1;
        }
        return lin_iadd(QUAD(self)->linexpr, o->linexpr, scale) < 0 ? -1 : 1;
    }
    return lin_iadd(QUAD(self)->linexpr, other, scale);
}

static PyObject *quad_copy_scaled(PyObject *src, double scale)
{
    PyObject *res = quad_alloc(&QuadExprType);
    if (res != NULL && quad_iadd(res, src, scale) < 0)
        Py_CLEAR(res);
    return res;
}

/* The product of two linear operands (numbers, variables or linear
 * expressions); NotImplemented when either is something else. */
static PyObject *linear_product(PyObject *a, PyObject *b)
{
    PyObject *la = lin_alloc(&LinExprType), *lb = lin_alloc(&LinExprType);
    PyObject *res = NULL;
    int ra, rb;
    if (la == NULL || lb == NULL)
        goto done;
    if ((ra = lin_from_operand(la, a)) < 0 || (rb = lin_from_operand(lb, b)) < 0)
        goto done;
    if (ra == 0 || rb == 0) {
        res = Py_NewRef(Py_NotImplemented);
        goto done;
    }
    LinExprObject *x = LIN(la), *y = LIN(lb);
    Py_ssize_t nx = PyList_GET_SIZE(x->coeffs), ny = PyList_GET_SIZE(y->coeffs);
    if (nx == 0 || ny == 0) {
        /* at least one side is a constant: the product stays linear */
        res = (nx == 0) ? lin_copy_scaled(lb, x->constant) : lin_copy_scaled(la, y->constant);
        goto done;
    }
    res = quad_alloc(&QuadExprType);
    if (res == NULL)
        goto done;
    for (Py_ssize_t i = 0; i < nx; i++) {
        for (Py_ssize_t j = 0; j < ny; j++) {
            if (quad_add_term(res, item_double(x->coeffs, i) * item_double(y->coeffs, j),
                              PyList_GET_ITEM(x->vars, i), PyList_GET_ITEM(y->vars, j)) < 0)
                goto fail;
        }
    }
    PyObject *lin = QUAD(res)->linexpr;
    if ((y->constant != 0.0 && lin_iadd(lin, la, y->constant) < 0) ||
        (x->constant != 0.0 && lin_iadd(lin, lb, x->constant) < 0))
        goto fail;
    /* lin_iadd added each side's constant times the other's; keep exactly
     * one product of the constants */
    LIN(lin)->constant = x->constant * y->constant;
    goto done;
fail:
    Py_CLEAR(res);
done:
    Py_XDECREF(la);
    Py_XDECREF(lb);
    return res;
}

/* ------------------------------------------------------------------ */
/* Text                                                                 */

/* Appends " + 2.5 label" (or "2.5 label" first, "- 2.5 label" for a
 * negative coefficient; a unit coefficient is left out) to parts. */
static int append_term(PyObject *parts, double coeff, PyObject *label)
{
    int first = PyList_GET_SIZE(parts) == 0;
    const char *sign = coeff < 0 ? (first ? "-" : " - ") : (first ? "" : " + ");
    double mag = coeff < 0 ? -coeff : coeff;
    PyObject *piece;
    if (label == NULL) {
        char *num = PyOS_double_to_string(mag, 'r', 0, Py_DTSF_ADD_DOT_0, NULL);
        if (num == NULL)
            return -1;
        piece = PyUnicode_FromFormat("%s%s", sign, num);
        PyMem_Free(num);
    }
    else if (mag == 1.0) {
        piece = PyUnicode_FromFormat("%s%U", sign, label);
    }
    else {
        char *num = PyOS_double_to_string(mag, 'r', 0, Py_DTSF_ADD_DOT_0, NULL);
        if (num == NULL)
            return -1;
        piece = PyUnicode_FromFormat("%s%s %U", sign, num, label);
        PyMem_Free(num);
    }
    if (piece == NULL)
        return -1;
    int r = PyList_Append(parts, piece);
    Py_DECREF(piece);
    return r;
}

static int append_var_term(PyObject *parts, double coeff, PyObject *var)
{
    PyObject *label = PyObject_Str(var);
    if (label == NULL)
        return -1;
    int r = append_term(parts, coeff, label);
    Py_DECREF(label);
    return r;
}

static int append_linear_text(PyObject *parts, LinExprObject *e)
{
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(e->coeffs); i++) {
        if (append_var_term(parts, item_double(e->coeffs, i), PyList_GET_ITEM(e->vars, i)) < 0)
            return -1;
    }
    return 0;
}

static PyObject *finish_repr(PyObject *self, PyObject *parts, double constant)
{
    PyObject *res = NULL, *sep = NULL, *body = NULL;
    if ((constant != 0.0 || PyList_GET_SIZE(parts) == 0) &&
        append_term(parts, constant, NULL) < 0)
        goto done;
    if ((sep = PyUnicode_FromString("")) == NULL ||
        (body = PyUnicode_Join(sep, parts)) == NULL)
        goto done;
    res = PyUnicode_FromFormat("<vantropy.%s: %U>", _PyType_Name(Py_TYPE(self)), body);
done:
    Py_XDECREF(sep);
    Py_XDECREF(body);
    Py_DECREF(parts);
    return res;
}

/* ------------------------------------------------------------------ */
/* LinExpr type                                                         */

static PyObject *LinExpr_new(PyTypeObject *type, PyObject *Py_UNUSED(args),
                             PyObject *Py_UNUSED(kw))
{
    return lin_alloc(type);
}

/* LinExpr(arg1=0.0, arg2=None): from a number, a variable or a linear
 * expression (copied); with arg2, from a coefficient and a variable, or from
 * equally long sequences of coefficients and variables. */
static int LinExpr_init(PyObject *self, PyObject *args, PyObject *kw)
{
    static char *kwlist[] = {"arg1", "arg2", NULL};
    PyObject *arg1 = NULL, *arg2 = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "|OO:LinExpr", kwlist, &arg1, &arg2))
        return -1;
    /* build into a fresh object first, so that LinExpr.__init__(e, e) and a
     * failing argument leave e as it was */
    PyObject *tmp = lin_alloc(&LinExprType);
    if (tmp == NULL)
        return -1;
    if (arg2 == Py_None) {
        int r = arg1 == NULL ? 1 : lin_from_operand(tmp, arg1);
        if (r == 0)
            PyErr_Format(PyExc_TypeError,
                         "LinExpr() takes a number, a variable or a linear expression, "
                         "not '%.200s'", Py_TYPE(arg1)->tp_name);
        if (r <= 0)
            goto fail;
    }
    else {
        double c;
        int r = arg1 == NULL ? 0 : as_number(arg1, &c);
        if (r < 0)
            goto fail;
        if (r > 0) {
            if (!is_var(arg2)) {
                PyErr_Format(PyExc_TypeError, "LinExpr(coeff, var) needs a variable, not "
                             "'%.200s'", Py_TYPE(arg2)->tp_name);
                goto fail;
            }
            if (lin_add_term(tmp, c, arg2) < 0)
                goto fail;
        }
        else {
            PyObject *cs = PySequence_Fast(arg1 ? arg1 : Py_None,
                                           "LinExpr coefficients must be a sequence");
            PyObject *vs = cs ? PySequence_Fast(arg2, "LinExpr variables must be a sequence")
                              : NULL;
            int ok = cs && vs;
            if (ok && PySequence_Fast_GET_SIZE(cs) != PySequence_Fast_GET_SIZE(vs)) {
                PyErr_Format(PyExc_ValueError,
                             "LinExpr got %zd coefficients for %zd variables",
                             PySequence_Fast_GET_SIZE(cs), PySequence_Fast_GET_SIZE(vs));
                ok = 0;
            }
            for (Py_ssize_t i = 0; ok && i < PySequence_Fast_GET_SIZE(cs); i++) {
                PyObject *ci = PySequence_Fast_GET_ITEM(cs, i);
                PyObject *vi = PySequence_Fast_GET_ITEM(vs, i);
                int rn = as_number(ci, &c);
                if (rn == 0)
                    PyErr_Format(PyExc_TypeError, "LinExpr coefficient %zd is not a number",
                                 i);
                else if (rn > 0 && !is_var(vi))
                    PyErr_Format(PyExc_TypeError, "LinExpr term %zd is not a variable", i);
                ok = rn > 0 && is_var(vi) && lin_add_term(tmp, c, vi) == 0;
            }
            Py_XDECREF(cs);
            Py_XDECREF(vs);
            if (!ok)
                goto fail;
        }
    }
    LinExprObject *s = LIN(self), *t = LIN(tmp);
    PyObject *old_c = s->coeffs, *old_v = s->vars;
    s->coeffs = t->coeffs;
    s->vars = t->vars;
    s->constant = t->constant;
    t->coeffs = old_c;
    t->vars = old_v;
    Py_DECREF(tmp);
    return 0;
fail:
    Py_DECREF(tmp);
    return -1;
}

static int LinExpr_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(LIN(self)->coeffs);
    Py_VISIT(LIN(self)->vars);
    return 0;
}

static int LinExpr_clear(PyObject *self)
{
    Py_CLEAR(LIN(self)->coeffs);
    Py_CLEAR(LIN(self)->vars);
    return 0;
}

static void LinExpr_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    if (LIN(self)->weakrefs != NULL)
        PyObject_ClearWeakRefs(self);
    LinExpr_clear(self);
    Py_TYPE(self)->tp_free(self);
}

static PyObject *LinExpr_size(PyObject *self, PyObject *Py_UNUSED(ignored))
{
    return PyLong_FromSsize_t(PyList_GET_SIZE(LIN(self)->vars));
}

static PyObject *LinExpr_getVar(PyObject *self, PyObject *arg)
{
    Py_ssize_t i = PyNumber_AsSsize_t(arg, PyExc_IndexError);
    if ((i == -1 && PyErr_Occurred()) || check_index(LIN(self)->vars, i) < 0)
        return NULL;
    return Py_NewRef(PyList_GET_ITEM(LIN(self)->vars, i));
}

static PyObject *LinExpr_getCoeff(PyObject *self, PyObject *arg)
{
    Py_ssize_t i = PyNumber_AsSsize_t(arg, PyExc_IndexError);
    if ((i == -1 && PyErr_Occurred()) || check_index(LIN(self)->coeffs, i) < 0)
        return NULL;
    return Py_NewRef(PyList_GET_ITEM(LIN(self)->coeffs, i));
}

static PyObject *LinExpr_getConstant(PyObject *self, PyObject *Py_UNUSED(ignored))
{
    return PyFloat_FromDouble(LIN(self)->constant);
}

static PyObject *LinExpr_addConstant(PyObject *self, PyObject *arg)
{
    double v;
    int r = as_number(arg, &v);
    if (r == 0)
        PyErr_Format(PyExc_TypeError, "addConstant() takes a number, not '%.200s'",
                     Py_TYPE(arg)->tp_name);
    if (r <= 0)
        return NULL;
    LIN(self)->constant += v;
    Py_RETURN_NONE;
}

/* addTerms(coeffs, vars): a number and a variable, or two sequences. */
static PyObject *LinExpr_addTerms(PyObject *self, PyObject *args)
{
    PyObject *coeffs, *vars;
    if (!PyArg_ParseTuple(args, "OO:addTerms", &coeffs, &vars))
        return NULL;
    PyObject *tmp = PyObject_CallFunctionObjArgs((PyObject *)&LinExprType, coeffs, vars, NULL);
    if (tmp == NULL)
        return NULL;
    int r = lin_iadd(self, tmp, 1.0);
    Py_DECREF(tmp);
    if (r < 0)
        return NULL;
    Py_RETURN_NONE;
}

static PyObject *LinExpr_copy(PyObject *self, PyObject *Py_UNUSED(ignored))
{
    return lin_copy_scaled(self, 1.0);
}

/* Merges the terms of each variable into the first of them, in place.
 * Terms whose coefficients cancel are kept: callers rely on a term per
 * variable that appeared. */
static PyObject *LinExpr_normalize(PyObject *self, PyObject *Py_UNUSED(ignored))
{
    LinExprObject *e = LIN(self);
    Py_ssize_t n = PyList_GET_SIZE(e->vars);
    PyObject *pos = PyDict_New(), *coeffs = PyList_New(0), *vars = PyList_New(0);
    if (pos == NULL || coeffs == NULL || vars == NULL)
        goto fail;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *v = PyList_GET_ITEM(e->vars, i);
        PyObject *c = PyList_GET_ITEM(e->coeffs, i);
        PyObject *at = PyDict_GetItemWithError(pos, v);
        if (at != NULL) {
            Py_ssize_t k = PyLong_AsSsize_t(at);
            PyObject *sum = PyFloat_FromDouble(item_double(coeffs, k) + PyFloat_AS_DOUBLE(c));
            if (sum == NULL || PyList_SetItem(coeffs, k, sum) < 0)
                goto fail;
            continue;
        }
        if (PyErr_Occurred())
            goto fail;
        PyObject *k = PyLong_FromSsize_t(PyList_GET_SIZE(vars));
        int r = k == NULL ? -1 : PyDict_SetItem(pos, v, k);
        Py_XDECREF(k);
        if (r < 0 || PyList_Append(vars, v) < 0 || PyList_Append(coeffs, c) < 0)
            goto fail;
    }
    Py_SETREF(e->coeffs, coeffs);
    Py_SETREF(e->vars, vars);
    Py_DECREF(pos);
    Py_RETURN_NONE;
fail:
    Py_XDECREF(pos);
    Py_XDECREF(coeffs);
    Py_XDECREF(vars);
    return NULL;
}

static PyObject *LinExpr_repr(PyObject *self)
{
    PyObject *parts = PyList_New(0);
    if (parts == NULL)
        return NULL;
    if (append_linear_text(parts, LIN(self)) < 0) {
        Py_DECREF(parts);
        return NULL;
    }
    return finish_repr(self, parts, LIN(self)->constant);
}

static PyObject *LinExpr_add(PyObject *a, PyObject *b)
{
    PyObject *base = LinExpr_Check(a) ? a : b, *other = base == a ? b : a;
    PyObject *res = lin_copy_scaled(base, 1.0);
    if (res == NULL)
        return NULL;
    int r = lin_iadd(res, other, 1.0);
    if (r > 0)
        return res;
    Py_DECREF(res);
    return r == 0 ? Py_NewRef(Py_NotImplemented) : NULL;
}

static PyObject *LinExpr_subtract(PyObject *a, PyObject *b)
{
    int left = LinExpr_Check(a);
    PyObject *res = lin_copy_scaled(left ? a : b, left ? 1.0 : -1.0);
    if (res == NULL)
        return NULL;
    int r = lin_iadd(res, left ? b : a, left ? -1.0 : 1.0);
    if (r > 0)
        return res;
    Py_DECREF(res);
    return r == 0 ? Py_NewRef(Py_NotImplemented) : NULL;
}

static PyObject *LinExpr_multiply(PyObject *a, PyObject *b)
{
    if (QuadExpr_Check(a) || QuadExpr_Check(b))
        Py_RETURN_NOTIMPLEMENTED;
    return linear_product(a, b);
}

static PyObject *LinExpr_true_divide(PyObject *a, PyObject *b)
{
    double v;
    int r;
    if (!LinExpr_Check(a) || (r = as_number(b, &v)) == 0)
        Py_RETURN_NOTIMPLEMENTED;
    if (r < 0)
        return NULL;
    if (v == 0.0) {
        PyErr_SetString(PyExc_ZeroDivisionError, "division of a linear expression by zero");
        return NULL;
    }
    return lin_copy_scaled(a, 1.0 / v);
}

static PyObject *LinExpr_negative(PyObject *self)
{
    return lin_copy_scaled(self, -1.0);
}

static PyObject *LinExpr_positive(PyObject *self)
{
    return lin_copy_scaled(self, 1.0);
}

static PyObject *lin_inplace(PyObject *self, PyObject *other, double scale)
{
    int r = lin_iadd(self, other, scale);
    if (r < 0)
        return NULL;
    /* not handled: Python falls back to the binary operator, which lets a
     * quadratic right operand turn the result into a QuadExpr */
    return Py_NewRef(r > 0 ? self : Py_NotImplemented);
}

static PyObject *LinExpr_inplace_add(PyObject *self, PyObject *other)
{
    return lin_inplace(self, other, 1.0);
}

static PyObject *LinExpr_inplace_subtract(PyObject *self, PyObject *other)
{
    return lin_inplace(self, other, -1.0);
}

static PyNumberMethods LinExpr_as_number = {
    .nb_add = LinExpr_add,
    .nb_subtract = LinExpr_subtract,
    .nb_multiply = LinExpr_multiply,
    .nb_true_divide = LinExpr_true_divide,
    .nb_negative = LinExpr_negative,
    .nb_positive = LinExpr_positive,
    .nb_inplace_add = LinExpr_inplace_add,
    .nb_inplace_subtract = LinExpr_inplace_subtract,
};

static PyMethodDef LinExpr_methods[] = {
    {"size", LinExpr_size, METH_NOARGS, "Number of terms."},
    {"getVar", LinExpr_getVar, METH_O, "Variable of term i."},
    {"getCoeff", LinExpr_getCoeff, METH_O, "Coefficient of term i."},
    {"getConstant", LinExpr_getConstant, METH_NOARGS, "The constant."},
    {"addConstant", LinExpr_addConstant, METH_O, "Add a number to the constant."},
    {"addTerms", LinExpr_addTerms, METH_VARARGS, "Add coefficient-variable terms."},
    {"copy", LinExpr_copy, METH_NOARGS, "A new LinExpr with the same terms."},
    {"_normalize", LinExpr_normalize, METH_NOARGS, "Merge the terms of each variable."},
    {NULL, NULL, 0, NULL},
};

static PyTypeObject LinExprType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "vantropy.LinExpr",
    .tp_basicsize = sizeof(LinExprObject),
    .tp_itemsize = 0,
    .tp_dealloc = LinExpr_dealloc,
    .tp_repr = LinExpr_repr,
    .tp_as_number = &LinExpr_as_number,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "LinExpr(arg1=0.0, arg2=None)\n\nA linear expression: a constant plus "
              "coefficient-variable terms.",
    .tp_traverse = LinExpr_traverse,
    .tp_clear = LinExpr_clear,
    .tp_weaklistoffset = offsetof(LinExprObject, weakrefs),
    .tp_methods = LinExpr_methods,
    .tp_init = LinExpr_init,
    .tp_new = LinExpr_new,
};

/* ------------------------------------------------------------------ */
/* QuadExpr type                                                        */

static PyObject *QuadExpr_new(PyTypeObject *type, PyObject *Py_UNUSED(args),
                              PyObject *Py_UNUSED(kw))
{
    return quad_alloc(type);
}

/* QuadExpr(arg1=0.0): from a number, a variable, a linear expression or a
 * quadratic expression (copied). */
static int QuadExpr_init(PyObject *self, PyObject *args, PyObject *kw)
{
    static char *kwlist[] = {"arg1", NULL};
    PyObject *arg1 = NULL;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "|O:QuadExpr", kwlist, &arg1))
        return -1;
    PyObject *tmp = quad_alloc(&QuadExprType);
    if (tmp == NULL)
        return -1;
    int r = arg1 == NULL ? 1 : quad_iadd(tmp, arg1, 1.0);
    if (r == 0)
        PyErr_Format(PyExc_TypeError,
                     "QuadExpr() takes a number, a variable or an expression, not '%.200s'",
                     Py_TYPE(arg1)->tp_name);
    if (r <= 0) {
        Py_DECREF(tmp);
        return -1;
    }
    /* swap contents so that QuadExpr.__init__(q, q) is safe */
    QuadExprObject *s = QUAD(self), *t = QUAD(tmp);
    PyObject *swap;
#define SWAP(f) (swap = s->f, s->f = t->f, t->f = swap)
    SWAP(linexpr);
    SWAP(qcoeffs);
    SWAP(qvars1);
    SWAP(qvars2);
#undef SWAP
    Py_DECREF(tmp);
    return 0;
}

static int QuadExpr_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(QUAD(self)->linexpr);
    Py_VISIT(QUAD(self)->qcoeffs);
    Py_VISIT(QUAD(self)->qvars1);
    Py_VISIT(QUAD(self)->qvars2);
    return 0;
}

static int QuadExpr_clear(PyObject *self)
{
    Py_CLEAR(QUAD(self)->linexpr);
    Py_CLEAR(QUAD(self)->qcoeffs);
    Py_CLEAR(QUAD(self)->qvars1);
    Py_CLEAR(QUAD(self)->qvars2);
    return 0;
}

static void QuadExpr_dealloc(PyObject *self)
{
    PyObject_GC_UnTrack(self);
    if (QUAD(self)->weakrefs != NULL)
        PyObject_ClearWeakRefs(self);
    QuadExpr_clear(self);
    Py_TYPE(self)->tp_free(self);
}

static PyObject *QuadExpr_size(PyObject *self, PyObject *Py_UNUSED(ignored))
{
    return PyLong_FromSsize_t(PyList_GET_SIZE(QUAD(self)->qcoeffs));
}

static PyObject *QuadExpr_getLinExpr(PyObject *self, PyObject *Py_UNUSED(ignored))
{
    /* a copy: changing the result must not change this expression */
    return lin_copy_scaled(QUAD(self)->linexpr, 1.0);
}

static PyObject *quad_item(PyObject *list, PyObject *arg)
{
    Py_ssize_t i = PyNumber_AsSsize_t(arg, PyExc_IndexError);
    if ((i == -1 && PyErr_Occurred()) || check_index(list, i) < 0)
        return NULL;
    return Py_NewRef(PyList_GET_ITEM(list, i));
}

static PyObject *QuadExpr_getVar1(PyObject *self, PyObject *arg)
{
    return quad_item(QUAD(self)->qvars1, arg);
}

static PyObject *QuadExpr_getVar2(PyObject *self, PyObject *arg)
{
    return quad_item(QUAD(self)->qvars2, arg);
}

static PyObject *QuadExpr_getCoeff(PyObject *self, PyObject *arg)
{
    return quad_item(QUAD(self)->qcoeffs, arg);
}

static PyObject *QuadExpr_getConstant(PyObject *self, PyObject *Py_UNUSED(ignored))
{
    return PyFloat_FromDouble(LIN(QUAD(self)->linexpr)->constant);
}

static PyObject *QuadExpr_addConstant(PyObject *self, PyObject *arg)
{
    return LinExpr_addConstant(QUAD(self)->linexpr, arg);
}

static PyObject *QuadExpr_copy(PyObject *self, PyObject *Py_UNUSED(ignored))
{
    return quad_copy_scaled(self, 1.0);
}

/* Merges quadratic terms over the same pair of variables (in either order)
 * into the first of them, and normalises the linear part. */
static PyObject *QuadExpr_normalize(PyObject *self, PyObject *Py_UNUSED(ignored))
{
    QuadExprObject *q = QUAD(self);
    Py_ssize_t n = PyList_GET_SIZE(q->qcoeffs);
    PyObject *pos = PyDict_New(), *cs = PyList_New(0), *v1s = PyList_New(0),
             *v2s = PyList_New(0), *key = NULL;
    if (pos == NULL || cs == NULL || v1s == NULL || v2s == NULL)
        goto fail;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *v1 = PyList_GET_ITEM(q->qvars1, i), *v2 = PyList_GET_ITEM(q->qvars2, i);
        PyObject *c = PyList_GET_ITEM(q->qcoeffs, i);
        PyObject *at = NULL;
        for (int swapped = 0; swapped < 2 && at == NULL; swapped++) {
            Py_XSETREF(key, swapped ? PyTuple_Pack(2, v2, v1) : PyTuple_Pack(2, v1, v2));
            if (key == NULL)
                goto fail;
            at = PyDict_GetItemWithError(pos, key);
            if (at == NULL && PyErr_Occurred())
                goto fail;
        }
        if (at != NULL) {
            Py_ssize_t k = PyLong_AsSsize_t(at);
            PyObject *sum = PyFloat_FromDouble(item_double(cs, k) + PyFloat_AS_DOUBLE(c));
            if (sum == NULL || PyList_SetItem(cs, k, sum) < 0)
                goto fail;
            continue;
        }
        Py_XSETREF(key, PyTuple_Pack(2, v1, v2));
        PyObject *k = key ? PyLong_FromSsize_t(PyList_GET_SIZE(cs)) : NULL;
        int r = k == NULL ? -1 : PyDict_SetItem(pos, key, k);
        Py_XDECREF(k);
        if (r < 0 || PyList_Append(cs, c) < 0 || PyList_Append(v1s, v1) < 0 ||
            PyList_Append(v2s, v2) < 0)
            goto fail;
    }
    PyObject *done = LinExpr_normalize(q->linexpr, NULL);
    if (done == NULL)
        goto fail;
    Py_DECREF(done);
    Py_SETREF(q->qcoeffs, cs);
    Py_SETREF(q->qvars1, v1s);
    Py_SETREF(q->qvars2, v2s);
    Py_XDECREF(key);
    Py_DECREF(pos);
    Py_RETURN_NONE;
fail:
    Py_XDECREF(key);
    Py_XDECREF(pos);
    Py_XDECREF(cs);
    Py_XDECREF(v1s);
    Py_XDECREF(v2s);
    return NULL;
}

static PyObject *QuadExpr_repr(PyObject *self)
{
    QuadExprObject *q = QUAD(self);
    PyObject *parts = PyList_New(0);
    if (parts == NULL)
        return NULL;
    if (append_linear_text(parts, LIN(q->linexpr)) < 0)
        goto fail;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(q->qcoeffs); i++) {
        PyObject *a = PyObject_Str(PyList_GET_ITEM(q->qvars1, i));
        PyObject *b = a ? PyObject_Str(PyList_GET_ITEM(q->qvars2, i)) : NULL;
        PyObject *label = b ? PyUnicode_FromFormat("%U * %U", a, b) : NULL;
        int r = label ? append_term(parts, item_double(q->qcoeffs, i), label) : -1;
        Py_XDECREF(a);
        Py_XDECREF(b);
        Py_XDECREF(label);
        if (r < 0)
            goto fail;
    }
    return finish_repr(self, parts, LIN(q->linexpr)->constant);
fail:
    Py_DECREF(parts);
    return NULL;
}

static PyObject *QuadExpr_add(PyObject *a, PyObject *b)
{
    PyObject *base = QuadExpr_Check(a) ? a : b, *other = base == a ? b : a;
    PyObject *res = quad_copy_scaled(base, 1.0);
    if (res == NULL)
        return NULL;
    int r = quad_iadd(res, other, 1.0);
    if (r > 0)
        return res;
    Py_DECREF(res);
    return r == 0 ? Py_NewRef(Py_NotImplemented) : NULL;
}

static PyObject *QuadExpr_subtract(PyObject *a, PyObject *b)
{
    int left = QuadExpr_Check(a);
    PyObject *res = quad_copy_scaled(left ? a : b, left ? 1.0 : -1.0);
    if (res == NULL)
        return NULL;
    int r = quad_iadd(res, left ? b : a, left ? -1.0 : 1.0);
    if (r > 0)
        return res;
    Py_DECREF(res);
    return r == 0 ? Py_NewRef(Py_NotImplemented) : NULL;
}

static PyObject *QuadExpr_multiply(PyObject *a, PyObject *b)
{
    PyObject *base = QuadExpr_Check(a) ? a : b, *other = base == a ? b : a;
    double v;
    int r = as_number(other, &v);
    if (r < 0)
        return NULL;
    if (r == 0)
        Py_RETURN_NOTIMPLEMENTED; /* anything else would exceed degree two */
    return quad_copy_scaled(base, v);
}

static PyObject *QuadExpr_true_divide(PyObject *a, PyObject *b)
{
    double v;
    int r;
    if (!QuadExpr_Check(a) || (r = as_number(b, &v)) == 0)
        Py_RETURN_NOTIMPLEMENTED;
    if (r < 0)
        return NULL;
    if (v == 0.0) {
        PyErr_SetString(PyExc_ZeroDivisionError,
                        "division of a quadratic expression by zero");
        return NULL;
    }
    return quad_copy_scaled(a, 1.0 / v);
}

static PyObject *QuadExpr_negative(PyObject *self)
{
    return quad_copy_scaled(self, -1.0);
}

static PyObject *QuadExpr_positive(PyObject *self)
{
    return quad_copy_scaled(self, 1.0);
}

static PyObject *quad_inplace(PyObject *self, PyObject *other, double scale)
{
    int r = quad_iadd(self, other, scale);
    if (r < 0)
        return NULL;
    return Py_NewRef(r > 0 ? self : Py_NotImplemented);
}

static PyObject *QuadExpr_inplace_add(PyObject *self, PyObject *other)
{
    return quad_inplace(self, other, 1.0);
}

static PyObject *QuadExpr_inplace_subtract(PyObject *self, PyObject *other)
{
    return quad_inplace(self, other, -1.0);
}

static PyNumberMethods QuadExpr_as_number = {
    .nb_add = QuadExpr_add,
    .nb_subtract = QuadExpr_subtract,
    .nb_multiply = QuadExpr_multiply,
    .nb_true_divide = QuadExpr_true_divide,
    .nb_negative = QuadExpr_negative,
    .nb_positive = QuadExpr_positive,
    .nb_inplace_add = QuadExpr_inplace_add,
    .nb_inplace_subtract = QuadExpr_inplace_subtract,
};

static PyMethodDef QuadExpr_methods[] = {
    {"size", QuadExpr_size, METH_NOARGS, "Number of quadratic terms."},
    {"getLinExpr", QuadExpr_getLinExpr, METH_NOARGS, "A copy of the linear part."},
    {"getVar1", QuadExpr_getVar1, METH_O, "First variable of quadratic term i."},
    {"getVar2", QuadExpr_getVar2, METH_O, "Second variable of quadratic term i."},
    {"getCoeff", QuadExpr_getCoeff, METH_O, "Coefficient of quadratic term i."},
    {"getConstant", QuadExpr_getConstant, METH_NOARGS, "The constant."},
    {"addConstant", QuadExpr_addConstant, METH_O, "Add a number to the constant."},
    {"copy", QuadExpr_copy, METH_NOARGS, "A new QuadExpr with the same terms."},
    {"_normalize", QuadExpr_normalize, METH_NOARGS, "Merge repeated terms."},
    {NULL, NULL, 0, NULL},
};

static PyTypeObject QuadExprType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "vantropy.QuadExpr",
    .tp_basicsize = sizeof(QuadExprObject),
    .tp_itemsize = 0,
    .tp_dealloc = QuadExpr_dealloc,
    .tp_repr = QuadExpr_repr,
    .tp_as_number = &QuadExpr_as_number,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "QuadExpr(arg1=0.0)\n\nA quadratic expression: a linear part plus "
              "coefficient-variable-variable terms.",
    .tp_traverse = QuadExpr_traverse,
    .tp_clear = QuadExpr_clear,
    .tp_weaklistoffset = offsetof(QuadExprObject, weakrefs),
    .tp_methods = QuadExpr_methods,
    .tp_init = QuadExpr_init,
    .tp_new = QuadExpr_new,
};

/* ------------------------------------------------------------------ */
/* Module                                                               */

static PyObject *exprtypes_setvartype(PyObject *Py_UNUSED(mod), PyObject *cls)
{
    if (!PyType_Check(cls)) {
        PyErr_Format(PyExc_TypeError, "_setvartype() takes a class, not '%.200s'",
                     Py_TYPE(cls)->tp_name);
        return NULL;
    }
    Py_XSETREF(var_type, Py_NewRef(cls));
    Py_RETURN_NONE;
}

static PyMethodDef exprtypes_methods[] = {
    {"_setvartype", exprtypes_setvartype, METH_O,
     "Register the class whose instances count as variables in expressions."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef exprtypes_module = {
    PyModuleDef_HEAD_INIT,
    .m_name = "vantropy._exprtypes",
    .m_doc = "Linear and quadratic expression types.",
    .m_size = -1,
    .m_methods = exprtypes_methods,
};

PyMODINIT_FUNC PyInit__exprtypes(void)
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
    if (PyType_Ready(&LinExprType) < 0 || PyType_Ready(&QuadExprType) < 0)
        return NULL;
    PyObject *mod = PyModule_Create(&exprtypes_module);
    if (mod == NULL)
        return NULL;
    if (PyModule_AddObjectRef(mod, "LinExpr", (PyObject *)&LinExprType) < 0 ||
        PyModule_AddObjectRef(mod, "QuadExpr", (PyObject *)&QuadExprType) < 0) {
        Py_DECREF(mod);
        return NULL;
    }
    return mod;
}
