// Conversion between interpreter integers and signed 64-bit values.
#pragma once

#include <Python.h>

#include <cstdint>

#include "err/pyerr.hpp"

namespace zorvalind {

// Everything but an exact compact int: subclasses, __index__ objects, large
// ints and failures.
Result<std::int64_t> to_int64_general(PyObject* object);

namespace detail {
// An exact int of two or three digits read from its digits, as
// PyLong_AsLongLong would; false when the value lies outside the signed 64-bit
// range (the general path then raises the interpreter's OverflowError).
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
}  // namespace detail

// The value of an exact int of up to three digits, read inline: the value
// PyLong_AsLongLong would return. False for everything else.
inline bool read_int64_inline(PyObject* object, std::int64_t& value) {
    if (!PyLong_CheckExact(object)) {
        return false;
    }
    const auto* number = reinterpret_cast<const PyLongObject*>(object);
    if (PyUnstable_Long_IsCompact(number)) {
        value = static_cast<std::int64_t>(PyUnstable_Long_CompactValue(number));
        return true;
    }
    return detail::read_small_multi_digit(number, value);
}

// Accepts int, its subclasses and __index__ objects; -1 is a valid result.
// Everything the inline read does not settle goes to the interpreter.
inline Result<std::int64_t> to_int64(PyObject* object) {
    std::int64_t value = 0;
    if (read_int64_inline(object, value)) {
        return value;
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
