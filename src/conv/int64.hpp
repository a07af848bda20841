// Conversion between interpreter integers and signed 64-bit values.
#pragma once

#include <Python.h>

#include <cstdint>

#include "err/pyerr.hpp"

namespace zorvalind {

namespace detail {
// Whether the -1 that PyLong_AsLongLongAndOverflow returned is a failure
// rather than the value, kept off the call path. A value out of range raises
// what PyLong_AsLongLong raises for it.
[[nodiscard]] bool conversion_failed(PyObject* object, int overflow) noexcept;

#if !defined(Py_LIMITED_API)
// An exact int of two or three digits read from its digits, as
// PyLong_AsLongLong would; false when the value lies outside the signed 64-bit
// range (the interpreter's call then raises its OverflowError).
inline bool read_small_multi_digit(const PyLongObject* number, std::int64_t& value) {
    const std::uintptr_t tag = number->long_value.lv_tag;
    const std::uintptr_t digit_count = tag >> _PyLong_NON_SIZE_BITS;
    const digit* digits = number->long_value.ob_digit;
    std::uint64_t magnitude =
        static_cast<std::uint64_t>(digits[0]) | (static_cast<std::uint64_t>(digits[1]) << PyLong_SHIFT);
    if (digit_count == 3) {
        // 2 * PyLong_SHIFT bits so far; the top digit may add at most 3 or 4 more.
        if (digits[2] > 8) {
            return false;
        }
        magnitude |= static_cast<std::uint64_t>(digits[2]) << (2 * PyLong_SHIFT);
    } else if (digit_count != 2) {
        return false;
    }
    const bool negative = (tag & _PyLong_SIGN_MASK) == 2;
    const std::uint64_t limit = negative ? (std::uint64_t{1} << 63) : (std::uint64_t{1} << 63) - 1;
    if (magnitude > limit) {
        return false;
    }
    value = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
    return true;
}

// The value of an exact int of up to three digits, read inline: the value
// PyLong_AsLongLong would return. False for everything else.
inline bool read_exact_int_inline(PyObject* object, std::int64_t& value) {
    if (!PyLong_CheckExact(object)) {
        return false;
    }
    const auto* number = reinterpret_cast<const PyLongObject*>(object);
    if (PyUnstable_Long_IsCompact(number)) {
        value = static_cast<std::int64_t>(PyUnstable_Long_CompactValue(number));
        return true;
    }
    return read_small_multi_digit(number, value);
}
#endif
}  // namespace detail

// The value PyLong_AsLongLong gives `object` (an int, a subclass, an object
// with __index__); false, with the error PyLong_AsLongLong raises, when it
// has none. The interpreter judges what counts as an integer. A success builds no
// record. Under the limited API (the stable ABI build) an int is opaque and
// every read is the interpreter's call; otherwise an exact int of the common
// sizes is read from its digits, without a call.
inline bool read_int64(PyObject* object, std::int64_t& value) {
#if !defined(Py_LIMITED_API)
    if (detail::read_exact_int_inline(object, value)) {
        return true;
    }
#endif
    // The call that reports a value out of range instead of raising: for an
    // int of several digits it is the shorter path through the interpreter.
    // It always sets `overflow`.
    int overflow;  // NOLINT(cppcoreguidelines-init-variables): written by the call first
    const long long read = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (read == -1 && detail::conversion_failed(object, overflow)) {
        return false;
    }
    value = static_cast<std::int64_t>(read);
    return true;
}

// The same as a result: the raised error taken into a record.
Result<std::int64_t> to_int64(PyObject* object);

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
