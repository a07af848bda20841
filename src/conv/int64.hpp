// Conversion between interpreter integers and signed 64-bit values.
#pragma once

#include <Python.h>

#include <cstdint>

#include "err/pyerr.hpp"

namespace zorvalind {

// Everything but an exact compact int: subclasses, __index__ objects, large
// ints and failures.
Result<std::int64_t> to_int64_general(PyObject* object);

// Accepts int, its subclasses and __index__ objects; -1 is a valid result. An
// exact compact int is read inline: the value PyLong_AsLongLong would return.
inline Result<std::int64_t> to_int64(PyObject* object) {
    if (PyLong_CheckExact(object) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(object))) {
        return static_cast<std::int64_t>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(object)));
    }
    return to_int64_general(object);
}
[[noreturn]] void fail_int_creation();

// A new int; failure to allocate is the "Python API call failed" fault.
inline PyObject* from_int64(std::int64_t value) {
    PyObject* result = PyLong_FromLongLong(value);
    if (result == nullptr) {
        fail_int_creation();
    }
    return result;
}

// Two's-complement wrap-around, computed without signed overflow.
constexpr std::int64_t wrapping_add(std::int64_t a, std::int64_t b) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

}  // namespace zorvalind
