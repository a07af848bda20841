// Integer conversion. The interpreter judges what counts as an integer; the
// compact-int shortcut reads the same value PyLong_AsLongLong would return.
#include "conv/int64.hpp"

#include "err/texts.hpp"

namespace zorvalind {

Result<std::int64_t> to_int64(PyObject* object) {
    if (PyLong_CheckExact(object) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(object))) {
        return static_cast<std::int64_t>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(object)));
    }
    const long long value = PyLong_AsLongLong(object);
    if (value == -1) {
        std::optional<PyErr> raised = take_pending();
        if (raised.has_value()) {
            return std::move(*raised);
        }
    }
    return static_cast<std::int64_t>(value);
}

PyObject* from_int64(std::int64_t value) {
    PyObject* result = PyLong_FromLongLong(value);
    if (result == nullptr) {
        fail_api_call();
    }
    return result;
}

}  // namespace zorvalind
