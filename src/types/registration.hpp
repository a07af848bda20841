// Adding a function to a module: its function object, its attribute, and its
// name in the module's __all__ list.
#pragma once

#include <Python.h>

#include "attach/owned_ref.hpp"
#include "err/pyerr.hpp"

namespace zorvalind {

// `method` must live as long as the process: the function object points into it.
Status register_function(PyObject* module, PyMethodDef* method);
// The module's __all__ list, created empty when the module has none.
Result<OwnedRef> get_or_create_all(PyObject* module);

// Interned attribute names shared by the module code.
PyObject* interned_name_attribute();  // "__name__"
PyObject* interned_all_attribute();   // "__all__"

}  // namespace zorvalind
