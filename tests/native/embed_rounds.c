/* Test-only program: an application that embeds the interpreter and starts it
 * ROUNDS times in one process. Each round initialises it, imports _zorvalind,
 * calls mysum(2, 3) and mysum(a=40, b=2), finalises it, and prints one line:
 * "round N: 5 42" or "round N: <exception type>: <message>". With
 * --fill-exit-table the first round fills the table of Py_AtExit before the
 * import. Exits 0 unless the interpreter itself fails. */
#include <Python.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void exit_function_that_does_nothing(void) {}

static void print_raised(int round) {
    PyObject* raised = PyErr_GetRaisedException();
    PyObject* name = PyType_GetName(Py_TYPE(raised));
    PyObject* text = PyObject_Str(raised);
    const char* name_text = name ? PyUnicode_AsUTF8(name) : NULL;
    const char* message = text ? PyUnicode_AsUTF8(text) : NULL;
    printf("round %d: %s: %s\n", round, name_text ? name_text : "?", message ? message : "?");
    Py_XDECREF(text);
    Py_XDECREF(name);
    Py_DECREF(raised);
    PyErr_Clear();
}

static long call_mysum(PyObject* mysum, PyObject* args, PyObject* kwargs) {
    PyObject* result = PyObject_Call(mysum, args, kwargs);
    if (result == NULL) {
        return -1;
    }
    long value = PyLong_AsLong(result);
    Py_DECREF(result);
    return value;
}

static int run_round(int round, int fill_exit_table) {
    Py_Initialize();
    if (fill_exit_table) {
        while (Py_AtExit(exit_function_that_does_nothing) == 0) {
        }
    }
    PyObject* module = PyImport_ImportModule("_zorvalind");
    if (module == NULL) {
        print_raised(round);
    } else {
        PyObject* mysum = PyObject_GetAttrString(module, "mysum");
        PyObject* positional = Py_BuildValue("(ii)", 2, 3);
        PyObject* none = PyTuple_New(0);
        PyObject* keywords = Py_BuildValue("{sisi}", "a", 40, "b", 2);
        long first = call_mysum(mysum, positional, NULL);
        long second = call_mysum(mysum, none, keywords);
        if (PyErr_Occurred()) {
            print_raised(round);
        } else {
            printf("round %d: %ld %ld\n", round, first, second);
        }
        Py_DECREF(keywords);
        Py_DECREF(none);
        Py_DECREF(positional);
        Py_DECREF(mysum);
        Py_DECREF(module);
    }
    fflush(stdout);
    return Py_FinalizeEx();
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s ROUNDS [--fill-exit-table]\n", argv[0]);
        return 2;
    }
    int rounds = atoi(argv[1]);
    int fill_exit_table = argc > 2 && strcmp(argv[2], "--fill-exit-table") == 0;
    for (int round = 1; round <= rounds; round++) {
        if (run_round(round, fill_exit_table && round == 1) != 0) {
            fprintf(stderr, "round %d: Py_FinalizeEx failed\n", round);
            return 1;
        }
    }
    return 0;
}
