/* The hand-written floor: mysum(a, b) as a plain METH_FASTCALL | METH_KEYWORDS
 * C function with the leanest keyword matcher that still honours the contract.
 * Keyword names from compiled call sites are interned, so a pointer compare
 * with our own interned "a"/"b" settles almost every call; the text compare is
 * only the fallback for names built at run time. Conversion errors are the
 * interpreter's own, passed through unchanged.
 *
 * Built twice: against the full API (_bench_floor), and against the limited
 * API of CPython 3.14 like the shipped module (_bench_floor_limited, with
 * FLOOR_LIMITED), where the tuple's accessors are the interpreter's calls. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifdef Py_LIMITED_API
#define FLOOR_NAME "_bench_floor_limited"
#define FLOOR_INIT PyInit__bench_floor_limited
#define KW_SIZE(t) PyTuple_Size(t)
#define KW_ITEM(t, i) PyTuple_GetItem(t, i)
#else
#define FLOOR_NAME "_bench_floor"
#define FLOOR_INIT PyInit__bench_floor
#define KW_SIZE(t) PyTuple_GET_SIZE(t)
#define KW_ITEM(t, i) PyTuple_GET_ITEM(t, i)
#endif

static PyObject *name_a;
static PyObject *name_b;

static int
slot_of(PyObject *name)
{
    if (name == name_a) return 0;
    if (name == name_b) return 1;
    if (PyUnicode_Check(name)) {
        if (PyUnicode_EqualToUTF8(name, "a")) return 0;
        if (PyUnicode_EqualToUTF8(name, "b")) return 1;
    }
    return -1;
}

static PyObject *
mysum(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    (void)self;
    PyObject *slots[2] = {NULL, NULL};
    if (nargs > 2) {
        PyErr_Format(PyExc_TypeError,
                     "mysum() takes 2 positional arguments but %zd were given", nargs);
        return NULL;
    }
    for (Py_ssize_t i = 0; i < nargs; i++) {
        slots[i] = args[i];
    }
    if (kwnames != NULL) {
        Py_ssize_t n = KW_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < n; j++) {
            PyObject *name = KW_ITEM(kwnames, j);
            int slot = slot_of(name);
            if (slot < 0) {
                PyErr_Format(PyExc_TypeError,
                             "mysum() got an unexpected keyword argument '%S'", name);
                return NULL;
            }
            if (slots[slot] != NULL) {
                PyErr_Format(PyExc_TypeError,
                             "mysum() got multiple values for argument '%s'", slot ? "b" : "a");
                return NULL;
            }
            slots[slot] = args[nargs + j];
        }
    }
    if (slots[0] == NULL || slots[1] == NULL) {
        if (slots[0] == NULL && slots[1] == NULL) {
            PyErr_SetString(PyExc_TypeError,
                            "mysum() missing 2 required positional arguments: 'a' and 'b'");
        } else {
            PyErr_Format(PyExc_TypeError,
                         "mysum() missing 1 required positional argument: '%s'", slots[0] ? "b" : "a");
        }
        return NULL;
    }
    long long a = PyLong_AsLongLong(slots[0]);
    if (a == -1 && PyErr_Occurred()) return NULL;
    long long b = PyLong_AsLongLong(slots[1]);
    if (b == -1 && PyErr_Occurred()) return NULL;
    /* Unsigned add: wrap-around without signed overflow. */
    return PyLong_FromLongLong((long long)((unsigned long long)a + (unsigned long long)b));
}

static PyMethodDef methods[] = {
    {"mysum", (PyCFunction)(void (*)(void))mysum, METH_FASTCALL | METH_KEYWORDS, "mysum(a, b)\n--\n\n"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, FLOOR_NAME, NULL, -1, methods, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC
FLOOR_INIT(void)
{
    name_a = PyUnicode_InternFromString("a");
    name_b = PyUnicode_InternFromString("b");
    if (name_a == NULL || name_b == NULL) return NULL;
    return PyModule_Create(&module);
}
