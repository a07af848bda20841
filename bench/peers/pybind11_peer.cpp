// pybind11 peer: mysum(a, b) over std::int64_t with named arguments.
#include <cstdint>

#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(_bench_pybind11, m) {
    m.def(
        "mysum",
        [](std::int64_t a, std::int64_t b) {
            // Unsigned add: wrap-around without signed overflow.
            return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
        },
        py::arg("a"), py::arg("b"));
}
