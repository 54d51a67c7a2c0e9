/* orbelon_floor: Scalar and Vec3 written by hand against the C API, the way a
 * careful extension author would, as the benchmark's floor: what the same
 * operations cost when nothing stands between the interpreter's slots and
 * the arithmetic. orbelon_core's fast paths are measured against it.
 *
 * Only what the benchmark calls is here, with orbelon_core's formulas in the
 * same grouping (compiled without contraction, like the module), so the two
 * agree to the last bit. The objects are the usual ones: the doubles inline,
 * tp_alloc and tp_free, no free list. Both types are final, so "is this one
 * of ours" is one pointer comparison.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <math.h>
#include <stdio.h>

typedef struct {
    PyObject_HEAD
    double val, d;
} ScalarObject;

typedef struct {
    PyObject_HEAD
    double x, y, z;
} Vec3Object;

static PyTypeObject ScalarType, Vec3Type;

#define IS_SCALAR(o) (Py_TYPE(o) == &ScalarType)
#define IS_VEC3(o) (Py_TYPE(o) == &Vec3Type)
#define SC(o) ((ScalarObject *)(o))
#define V3(o) ((Vec3Object *)(o))

/* A float or an int as a double: 1, or 0 for anything else (and for an int
 * too large for a double). An int is read by PyLong_AsDouble rather than
 * PyFloat_AsDouble, which would go through int.__float__ and allocate a
 * float only to read it back. */
static int as_number(PyObject *o, double *out)
{
    if (PyFloat_Check(o)) {
        *out = PyFloat_AS_DOUBLE(o);
        return 1;
    }
    if (PyLong_Check(o)) {
        *out = PyLong_AsDouble(o);
        if (*out == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return 0;
        }
        return 1;
    }
    return 0;
}

static void floor_dealloc(PyObject *self)
{
    Py_TYPE(self)->tp_free(self);
}

/* The call as a tuple and a dict, for tp_new to parse the usual way: what
 * the vectorcall constructors leave to it (keywords, anything but plain
 * numbers). */
#if PY_VERSION_HEX >= 0x03090000
static PyObject *new_from_vector(PyObject *type, PyObject *const *args, Py_ssize_t n,
                                 PyObject *kwnames)
{
    Py_ssize_t nk = kwnames ? PyTuple_GET_SIZE(kwnames) : 0, i;
    PyObject *tuple = PyTuple_New(n), *dict = NULL, *out = NULL;
    if (!tuple)
        return NULL;
    for (i = 0; i < n; i++) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(tuple, i, args[i]);
    }
    if (nk) {
        if (!(dict = PyDict_New()))
            goto done;
        for (i = 0; i < nk; i++)
            if (PyDict_SetItem(dict, PyTuple_GET_ITEM(kwnames, i), args[n + i]) < 0)
                goto done;
    }
    out = ((PyTypeObject *)type)->tp_new((PyTypeObject *)type, tuple, dict);
done:
    Py_DECREF(tuple);
    Py_XDECREF(dict);
    return out;
}

/* Positional plain numbers into v[0..n): 1, or 0 to leave the call to tp_new. */
static int vector_numbers(PyObject *const *args, Py_ssize_t n, PyObject *kwnames, Py_ssize_t max,
                          double *v)
{
    Py_ssize_t i;
    if (kwnames || n > max)
        return 0;
    for (i = 0; i < n; i++)
        if (!as_number(args[i], &v[i]))
            return 0;
    return 1;
}
#endif

/* ------------------------------------------------------------------------ */
/* Scalar */

static PyObject *scalar_make(double val, double d)
{
    ScalarObject *s = (ScalarObject *)ScalarType.tp_alloc(&ScalarType, 0);
    if (s) {
        s->val = val;
        s->d = d;
    }
    return (PyObject *)s;
}

static PyObject *scalar_new(PyTypeObject *type, PyObject *args, PyObject *kwds)
{
    static char *kwlist[] = {"val", "d", NULL};
    double val, d = 0.0;
    (void)type; /* always ScalarType: the type is final */
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "d|d:Scalar", kwlist, &val, &d))
        return NULL;
    return scalar_make(val, d);
}

/* From 3.9 the interpreter calls a type through its tp_vectorcall, which
 * spares the argument tuple and the keyword parser; we take that, as a
 * hand-written extension would, and keep tp_new for the rest (and for 3.8,
 * where a type is always called through tp_new and tp_init). */
#if PY_VERSION_HEX >= 0x03090000
static PyObject *scalar_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf,
                                   PyObject *kwnames)
{
    Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    double v[2] = {0.0, 0.0};
    if (n >= 1 && vector_numbers(args, n, kwnames, 2, v))
        return scalar_make(v[0], v[1]);
    return new_from_vector(type, args, n, kwnames);
}
#endif

/* The two operands of a Scalar operator: both Scalars, or a Scalar and a
 * number on its right or on its left (x). */
enum { NEITHER, BOTH, NUMBER_RIGHT, NUMBER_LEFT };

static int scalar_operands(PyObject *a, PyObject *b, double *x)
{
    if (IS_SCALAR(a)) {
        if (IS_SCALAR(b))
            return BOTH;
        return as_number(b, x) ? NUMBER_RIGHT : NEITHER;
    }
    return as_number(a, x) ? NUMBER_LEFT : NEITHER; /* then b is the Scalar */
}

static PyObject *scalar_add(PyObject *a, PyObject *b)
{
    double x;
    switch (scalar_operands(a, b, &x)) {
    case BOTH: return scalar_make(SC(a)->val + SC(b)->val, SC(a)->d + SC(b)->d);
    case NUMBER_RIGHT: return scalar_make(SC(a)->val + x, SC(a)->d);
    case NUMBER_LEFT: return scalar_make(SC(b)->val + x, SC(b)->d);
    }
    Py_RETURN_NOTIMPLEMENTED;
}

static PyObject *scalar_subtract(PyObject *a, PyObject *b)
{
    double x;
    switch (scalar_operands(a, b, &x)) {
    case BOTH: return scalar_make(SC(a)->val - SC(b)->val, SC(a)->d - SC(b)->d);
    case NUMBER_RIGHT: return scalar_make(SC(a)->val - x, SC(a)->d);
    /* x - b is the constant {x, 0} minus b: 0.0 - d, so a zero d gives +0 */
    case NUMBER_LEFT: return scalar_make(x - SC(b)->val, 0.0 - SC(b)->d);
    }
    Py_RETURN_NOTIMPLEMENTED;
}

static PyObject *scalar_multiply(PyObject *a, PyObject *b)
{
    double x;
    switch (scalar_operands(a, b, &x)) {
    case BOTH:
        return scalar_make(SC(a)->val * SC(b)->val, SC(a)->d * SC(b)->val + SC(a)->val * SC(b)->d);
    case NUMBER_RIGHT: return scalar_make(SC(a)->val * x, SC(a)->d * x);
    case NUMBER_LEFT: return scalar_make(SC(b)->val * x, SC(b)->d * x);
    }
    Py_RETURN_NOTIMPLEMENTED;
}

/* u / v with the divisor's guard. A number takes part as {x, 0}, through the
 * same rule: the u·0 term turns an infinite or NaN value into a NaN d. */
static PyObject *divide(double val, double d, double oval, double od)
{
    if (fabs(oval) < 1e-9) {
        PyErr_SetString(PyExc_RuntimeError, "Division by zero");
        return NULL;
    }
    return scalar_make(val / oval, (d * oval - val * od) / (oval * oval));
}

static PyObject *scalar_true_divide(PyObject *a, PyObject *b)
{
    double x;
    switch (scalar_operands(a, b, &x)) {
    case BOTH: return divide(SC(a)->val, SC(a)->d, SC(b)->val, SC(b)->d);
    case NUMBER_RIGHT: return divide(SC(a)->val, SC(a)->d, x, 0.0);
    case NUMBER_LEFT: return divide(x, 0.0, SC(b)->val, SC(b)->d);
    }
    Py_RETURN_NOTIMPLEMENTED;
}

static PyObject *scalar_power(PyObject *a, PyObject *b, PyObject *mod)
{
    double n;
    if (mod != Py_None || !IS_SCALAR(a) || !as_number(b, &n))
        Py_RETURN_NOTIMPLEMENTED;
    return scalar_make(pow(SC(a)->val, n), (n * pow(SC(a)->val, n - 1.0)) * SC(a)->d);
}

static PyObject *scalar_sin(PyObject *self, PyObject *unused)
{
    (void)unused;
    return scalar_make(sin(SC(self)->val), cos(SC(self)->val) * SC(self)->d);
}

static PyObject *scalar_exp(PyObject *self, PyObject *unused)
{
    double e = exp(SC(self)->val);
    (void)unused;
    return scalar_make(e, e * SC(self)->d);
}

/* "%f" of the largest double is 317 characters; three of them and the frame
 * fit in this. */
#define REPR_SIZE 1024

static PyObject *scalar_negative(PyObject *self)
{
    return scalar_make(-SC(self)->val, -SC(self)->d);
}

static PyObject *scalar_float(PyObject *self)
{
    return PyFloat_FromDouble(SC(self)->val);
}

static PyObject *scalar_repr(PyObject *self)
{
    char buf[REPR_SIZE];
    int n = snprintf(buf, sizeof buf, "<Scalar val=%f, d=%f>", SC(self)->val, SC(self)->d);
    return PyUnicode_FromStringAndSize(buf, n);
}

static PyNumberMethods scalar_as_number = {
    .nb_add = scalar_add,
    .nb_subtract = scalar_subtract,
    .nb_multiply = scalar_multiply,
    .nb_true_divide = scalar_true_divide,
    .nb_power = scalar_power,
    .nb_negative = scalar_negative,
    .nb_float = scalar_float,
};

static PyMethodDef scalar_methods[] = {
    {"sin", scalar_sin, METH_NOARGS, NULL},
    {"exp", scalar_exp, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static PyMemberDef scalar_members[] = {
    {"val", T_DOUBLE, offsetof(ScalarObject, val), 0, NULL},
    {"d", T_DOUBLE, offsetof(ScalarObject, d), 0, NULL},
    {NULL, 0, 0, 0, NULL},
};

static PyTypeObject ScalarType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "orbelon_floor.Scalar",
    .tp_basicsize = sizeof(ScalarObject),
    .tp_dealloc = floor_dealloc,
    .tp_repr = scalar_repr,
    .tp_as_number = &scalar_as_number,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_methods = scalar_methods,
    .tp_members = scalar_members,
    .tp_new = scalar_new,
#if PY_VERSION_HEX >= 0x03090000
    .tp_vectorcall = scalar_vectorcall,
#endif
};

/* ------------------------------------------------------------------------ */
/* Vec3 */

static PyObject *vec3_make(double x, double y, double z)
{
    Vec3Object *v = (Vec3Object *)Vec3Type.tp_alloc(&Vec3Type, 0);
    if (v) {
        v->x = x;
        v->y = y;
        v->z = z;
    }
    return (PyObject *)v;
}

static PyObject *vec3_new(PyTypeObject *type, PyObject *args, PyObject *kwds)
{
    static char *kwlist[] = {"x", "y", "z", NULL};
    double x = 0.0, y = 0.0, z = 0.0;
    (void)type;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|ddd:Vec3", kwlist, &x, &y, &z))
        return NULL;
    return vec3_make(x, y, z);
}

#if PY_VERSION_HEX >= 0x03090000
static PyObject *vec3_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf,
                                 PyObject *kwnames)
{
    Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    double v[3] = {0.0, 0.0, 0.0};
    if (vector_numbers(args, n, kwnames, 3, v))
        return vec3_make(v[0], v[1], v[2]);
    return new_from_vector(type, args, n, kwnames);
}
#endif

static PyObject *vec3_add(PyObject *a, PyObject *b)
{
    if (!IS_VEC3(a) || !IS_VEC3(b))
        Py_RETURN_NOTIMPLEMENTED;
    return vec3_make(V3(a)->x + V3(b)->x, V3(a)->y + V3(b)->y, V3(a)->z + V3(b)->z);
}

static PyObject *vec3_subtract(PyObject *a, PyObject *b)
{
    if (!IS_VEC3(a) || !IS_VEC3(b))
        Py_RETURN_NOTIMPLEMENTED;
    return vec3_make(V3(a)->x - V3(b)->x, V3(a)->y - V3(b)->y, V3(a)->z - V3(b)->z);
}

/* Vec3 * number only, as in orbelon_core: number * Vec3 is a TypeError. */
static PyObject *vec3_multiply(PyObject *a, PyObject *b)
{
    double s;
    if (!IS_VEC3(a) || !as_number(b, &s))
        Py_RETURN_NOTIMPLEMENTED;
    return vec3_make(V3(a)->x * s, V3(a)->y * s, V3(a)->z * s);
}

static PyObject *vec3_true_divide(PyObject *a, PyObject *b)
{
    double s;
    if (!IS_VEC3(a) || !as_number(b, &s))
        Py_RETURN_NOTIMPLEMENTED;
    return vec3_make(V3(a)->x / s, V3(a)->y / s, V3(a)->z / s);
}

static double dot(const Vec3Object *a, const Vec3Object *b)
{
    return (a->x * b->x + a->y * b->y) + a->z * b->z;
}

static int check_vec3(PyObject *o)
{
    if (IS_VEC3(o))
        return 1;
    PyErr_Format(PyExc_TypeError, "expected Vec3, got %.200s", Py_TYPE(o)->tp_name);
    return 0;
}

static PyObject *vec3_dot(PyObject *self, PyObject *o)
{
    if (!check_vec3(o))
        return NULL;
    return PyFloat_FromDouble(dot(V3(self), V3(o)));
}

static PyObject *vec3_cross(PyObject *self, PyObject *o)
{
    const Vec3Object *a = V3(self), *b = V3(o);
    if (!check_vec3(o))
        return NULL;
    return vec3_make(a->y * b->z - a->z * b->y, a->z * b->x - a->x * b->z, a->x * b->y - a->y * b->x);
}

static PyObject *vec3_magnitude(PyObject *self, PyObject *unused)
{
    (void)unused;
    return PyFloat_FromDouble(sqrt(dot(V3(self), V3(self))));
}

static PyObject *vec3_normalize(PyObject *self, PyObject *unused)
{
    const Vec3Object *a = V3(self);
    double m = sqrt(dot(a, a)), r;
    (void)unused;
    if (m == 0.0)
        return vec3_make(0.0, 0.0, 0.0);
    r = 1.0 / m;
    return vec3_make(a->x * r, a->y * r, a->z * r);
}

/* v[i] for 0, 1, 2; no wrap-around (without sq_length, -1 arrives as -1). */
static PyObject *vec3_item(PyObject *self, Py_ssize_t i)
{
    switch (i) {
    case 0: return PyFloat_FromDouble(V3(self)->x);
    case 1: return PyFloat_FromDouble(V3(self)->y);
    case 2: return PyFloat_FromDouble(V3(self)->z);
    }
    PyErr_SetString(PyExc_IndexError, "Vec3 index out of range");
    return NULL;
}

/* v[i] = x for 0, 1, 2 and a float or an int; no deletion. */
static int vec3_ass_item(PyObject *self, Py_ssize_t i, PyObject *value)
{
    double x;
    if (value == NULL) {
        PyErr_SetString(PyExc_TypeError, "Vec3 items cannot be deleted");
        return -1;
    }
    x = PyFloat_AsDouble(value);
    if (x == -1.0 && PyErr_Occurred())
        return -1;
    switch (i) {
    case 0: V3(self)->x = x; return 0;
    case 1: V3(self)->y = x; return 0;
    case 2: V3(self)->z = x; return 0;
    }
    PyErr_SetString(PyExc_IndexError, "Vec3 index out of range");
    return -1;
}

static PyObject *vec3_repr(PyObject *self)
{
    char buf[REPR_SIZE];
    int n = snprintf(buf, sizeof buf, "<Vec3 (%f, %f, %f)>", V3(self)->x, V3(self)->y, V3(self)->z);
    return PyUnicode_FromStringAndSize(buf, n);
}

static PyNumberMethods vec3_as_number = {
    .nb_add = vec3_add,
    .nb_subtract = vec3_subtract,
    .nb_multiply = vec3_multiply,
    .nb_true_divide = vec3_true_divide,
};

static PySequenceMethods vec3_as_sequence = {
    .sq_item = vec3_item,
    .sq_ass_item = vec3_ass_item,
};

static PyMethodDef vec3_methods[] = {
    {"dot", vec3_dot, METH_O, NULL},
    {"cross", vec3_cross, METH_O, NULL},
    {"magnitude", vec3_magnitude, METH_NOARGS, NULL},
    {"normalize", vec3_normalize, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static PyMemberDef vec3_members[] = {
    {"x", T_DOUBLE, offsetof(Vec3Object, x), 0, NULL},
    {"y", T_DOUBLE, offsetof(Vec3Object, y), 0, NULL},
    {"z", T_DOUBLE, offsetof(Vec3Object, z), 0, NULL},
    {NULL, 0, 0, 0, NULL},
};

static PyTypeObject Vec3Type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "orbelon_floor.Vec3",
    .tp_basicsize = sizeof(Vec3Object),
    .tp_dealloc = floor_dealloc,
    .tp_repr = vec3_repr,
    .tp_as_number = &vec3_as_number,
    .tp_as_sequence = &vec3_as_sequence,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_methods = vec3_methods,
    .tp_members = vec3_members,
    .tp_new = vec3_new,
#if PY_VERSION_HEX >= 0x03090000
    .tp_vectorcall = vec3_vectorcall,
#endif
};

/* ------------------------------------------------------------------------ */

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT,
    .m_name = "orbelon_floor",
    .m_doc = "Scalar and Vec3 by hand on the C API: the benchmark's floor.",
    .m_size = -1,
};

static int add_type(PyObject *m, const char *name, PyTypeObject *type)
{
    if (PyType_Ready(type) < 0)
        return -1;
    Py_INCREF(type);
    if (PyModule_AddObject(m, name, (PyObject *)type) < 0) {
        Py_DECREF(type);
        return -1;
    }
    return 0;
}

PyMODINIT_FUNC PyInit_orbelon_floor(void)
{
    PyObject *m = PyModule_Create(&floor_module);
    if (m && (add_type(m, "Scalar", &ScalarType) < 0 || add_type(m, "Vec3", &Vec3Type) < 0))
        Py_CLEAR(m);
    return m;
}
