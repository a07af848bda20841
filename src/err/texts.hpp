// Texts of the error model: object text with fallbacks, traceback text, the
// one-line debug form of a record, and the message of a failed type check.
// Also the one place that knows how a str keeps its text: under the limited
// API (the stable ABI build) a str is opaque, and its text is reached and made
// through the interpreter's calls only.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <string_view>

#include "err/message_writer.hpp"
#include "err/pyerr.hpp"

namespace zorvalind {

// UTF-8 view of the interpreter's cached form; valid while `str` lives.
Result<std::string_view> unicode_text(PyObject* str);
// The same view without a record: empty, with the interpreter's error raised,
// when the object is not a str or its text has no UTF-8 form (a lone
// surrogate).
inline std::optional<std::string_view> utf8_view(PyObject* str) {
#if !defined(Py_LIMITED_API)
    // A compact ASCII str is its own UTF-8 form, read inline.
    if (PyUnicode_Check(str) && PyUnicode_IS_COMPACT_ASCII(str)) {
        return std::string_view(static_cast<const char*>(PyUnicode_DATA(str)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)));
    }
#endif
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) {
        return std::nullopt;
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}
// A new str of UTF-8 text; null, with the interpreter's error raised, when
// it cannot be made.
PyObject* str_from_text(std::string_view text);
// When the args of an exception are exactly one exact str: that str, borrowed
// from them (valid while they are not replaced); otherwise null. Never fails.
[[nodiscard]] PyObject* sole_str_argument(PyObject* exception) noexcept;
// Always succeeds; each maximal ill-formed subsequence becomes U+FFFD.
std::string unicode_text_lossy(PyObject* str);
// str()/repr() text that never fails: the error goes to the unraisable hook.
std::string object_display_text(PyObject* object);
std::string object_repr_text(PyObject* object);
// object_display_text appended to `out`, without an intermediate string.
void append_object_display_text(MessageWriter& out, PyObject* object);
// unicode_text_lossy of a str appended to `out`.
void append_unicode_text_lossy(MessageWriter& out, PyObject* str);
Result<std::string> format_traceback(PyObject* traceback);
// `PyErr { type: ..., value: ..., traceback: ... }`; attaches by itself.
std::string debug_text(PyErr& error);
std::string cast_error_message(PyObject* failed_type, PyObject* target);
// The debug form of a text: a double-quoted literal.
std::string quoted_literal(std::string_view text);

// Prints the interpreter's pending error and faults "Python API call failed".
[[noreturn]] void fail_api_call();

}  // namespace zorvalind
