// Integer conversion. The interpreter judges what counts as an integer.
#include "conv/int64.hpp"

#include "err/texts.hpp"
#include "platform.hpp"

namespace zorvalind {

namespace detail {
ZORVALIND_COLD bool conversion_raised() noexcept { return PyErr_Occurred() != nullptr; }
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
