/* Callgrind client requests for the benchmark's workers: lets one process
 * count several code regions, each one written to its own dump. Outside
 * callgrind every request is a no-op. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <valgrind/callgrind.h>

static PyObject *
start_instrumentation(PyObject *self, PyObject *unused)
{
    (void)self;
    (void)unused;
    CALLGRIND_START_INSTRUMENTATION;
    Py_RETURN_NONE;
}

static PyObject *
toggle_collect(PyObject *self, PyObject *unused)
{
    (void)self;
    (void)unused;
    CALLGRIND_TOGGLE_COLLECT;
    Py_RETURN_NONE;
}

static PyObject *
dump_stats(PyObject *self, PyObject *label)
{
    (void)self;
    const char *text = PyUnicode_AsUTF8(label);
    if (text == NULL) return NULL;
    CALLGRIND_DUMP_STATS_AT(text);
    Py_RETURN_NONE;
}

static PyObject *
zero_stats(PyObject *self, PyObject *unused)
{
    (void)self;
    (void)unused;
    CALLGRIND_ZERO_STATS;
    Py_RETURN_NONE;
}

static PyObject *
running_on_valgrind(PyObject *self, PyObject *unused)
{
    (void)self;
    (void)unused;
    return PyBool_FromLong(RUNNING_ON_VALGRIND);
}

static PyMethodDef methods[] = {
    {"start_instrumentation", start_instrumentation, METH_NOARGS, NULL},
    {"toggle_collect", toggle_collect, METH_NOARGS, NULL},
    {"dump_stats", dump_stats, METH_O, NULL},
    {"zero_stats", zero_stats, METH_NOARGS, NULL},
    {"running_on_valgrind", running_on_valgrind, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "_bench_cg", NULL, -1, methods, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC
PyInit__bench_cg(void)
{
    return PyModule_Create(&module);
}
