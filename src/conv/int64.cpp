// Integer conversion. The interpreter judges what counts as an integer.
#include "conv/int64.hpp"

#include "err/texts.hpp"
#include "platform.hpp"

namespace zorvalind {

namespace detail {

ZORVALIND_COLD bool conversion_failed(PyObject* object, int overflow) noexcept {
    if (overflow == 0) {
        return PyErr_Occurred() != nullptr;
    }
    // An int, or a subclass: reading it again has no side effect, and raises
    // the interpreter's own error for its value.
    if (PyLong_Check(object)) {
        (void)PyLong_AsLongLong(object);
        return true;
    }
    // The __index__ of the object gave the value and may not run again: the
    // same error is the one the interpreter raises for any value of that
    // sign out of range (or its MemoryError, when even that cannot be made).
    PyObject* const out_of_range = PyLong_FromDouble(overflow > 0 ? 1e19 : -1e19);
    if (out_of_range != nullptr) {
        (void)PyLong_AsLongLong(out_of_range);
        Py_DECREF(out_of_range);
    }
    return true;
}

}  // namespace detail

Result<std::int64_t> to_int64(PyObject* object) {
    std::int64_t value = 0;
    if (read_int64(object, value)) {
        return value;
    }
    return fetch_pending();
}

void fail_int_creation() { fail_api_call(); }

}  // namespace zorvalind
