// nanobind peer: mysum(a, b) over std::int64_t with named arguments.
#include <cstdint>

#include <nanobind/nanobind.h>

namespace nb = nanobind;
using namespace nb::literals;

NB_MODULE(_bench_nanobind, m) {
    m.def(
        "mysum",
        [](std::int64_t a, std::int64_t b) {
            // Unsigned add: wrap-around without signed overflow.
            return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
        },
        "a"_a, "b"_a);
}
