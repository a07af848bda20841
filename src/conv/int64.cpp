// Integer conversion. The interpreter judges what counts as an integer.
#include "conv/int64.hpp"

#include "err/texts.hpp"

namespace zorvalind {

Result<std::int64_t> to_int64_general(PyObject* object) {
    const long long value = PyLong_AsLongLong(object);
    if (value == -1) {
        std::optional<PyErr> raised = take_pending();
        if (raised.has_value()) {
            return std::move(*raised);
        }
    }
    return static_cast<std::int64_t>(value);
}

void fail_int_creation() { fail_api_call(); }

}  // namespace zorvalind
