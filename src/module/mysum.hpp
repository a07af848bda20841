// mysum(a, b): the wrap-around sum of two signed 64-bit integers.
#pragma once

#include <Python.h>

#include "args/descriptor.hpp"

namespace zorvalind {

extern const ArgumentDescriptor mysum_descriptor;
extern PyMethodDef mysum_method;

PyObject* mysum_wrapper(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace zorvalind
