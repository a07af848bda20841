// Reading tuples the core did not make (keyword names, exception arguments,
// type tuples) and filling the ones it makes. The one place that knows how a
// tuple is laid out: under the limited API (the stable ABI build) it is
// opaque but for its size, and an item is reached through the interpreter.
#pragma once

#include <Python.h>

namespace zorvalind {

// The number of items of a tuple.
[[nodiscard]] inline Py_ssize_t tuple_size(PyObject* tuple) noexcept {
#if defined(Py_LIMITED_API)
    // The size of a variable-size object is part of the limited API.
    return Py_SIZE(tuple);
#else
    return PyTuple_GET_SIZE(tuple);
#endif
}

// A borrowed item of a tuple; `index` is below its size.
[[nodiscard]] inline PyObject* tuple_item(PyObject* tuple, Py_ssize_t index) noexcept {
#if defined(Py_LIMITED_API)
    // Cannot fail: the object is a tuple and the index within it.
    return PyTuple_GetItem(tuple, index);
#else
    return PyTuple_GET_ITEM(tuple, index);
#endif
}

// Stores `item` (a new reference, taken over) at `index` of a tuple just made
// by PyTuple_New, whose slots are all empty.
inline void tuple_fill(PyObject* tuple, Py_ssize_t index, PyObject* item) noexcept {
#if defined(Py_LIMITED_API)
    // Cannot fail on a new tuple of that size.
    (void)PyTuple_SetItem(tuple, index, item);
#else
    PyTuple_SET_ITEM(tuple, index, item);
#endif
}

}  // namespace zorvalind
