// Conversion between interpreter integers and signed 64-bit values.
#pragma once

#include <Python.h>

#include <cstdint>

#include "err/pyerr.hpp"

namespace zorvalind {

// Accepts int, its subclasses and __index__ objects; -1 is a valid result.
Result<std::int64_t> to_int64(PyObject* object);
// A new int; failure to allocate is the "Python API call failed" fault.
PyObject* from_int64(std::int64_t value);

// Two's-complement wrap-around, computed without signed overflow.
constexpr std::int64_t wrapping_add(std::int64_t a, std::int64_t b) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

}  // namespace zorvalind
