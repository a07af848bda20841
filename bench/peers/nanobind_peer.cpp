// nanobind peer: mysum(a, b) over std::int64_t with named arguments.
#include <cstdint>

#include <nanobind/nanobind.h>

namespace nb = nanobind;
using namespace nb::literals;

// Built twice: for CPython 3.14 alone, and with BENCH_LIMITED against the
// limited API of 3.14 (nanobind's STABLE_ABI), like the shipped module.
#ifdef BENCH_LIMITED
#define BENCH_PEER_MODULE(m) NB_MODULE(_bench_nanobind_limited, m)
#else
#define BENCH_PEER_MODULE(m) NB_MODULE(_bench_nanobind, m)
#endif

BENCH_PEER_MODULE(m) {
    m.def(
        "mysum",
        [](std::int64_t a, std::int64_t b) {
            // Unsigned add: wrap-around without signed overflow.
            return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
        },
        "a"_a, "b"_a);
}
