// Texts of the error model: object text with fallbacks, traceback text, the
// one-line debug form of a record, and the message of a failed type check.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "err/message_writer.hpp"
#include "err/pyerr.hpp"

namespace zorvalind {

// UTF-8 view of the interpreter's cached form; valid while `str` lives.
Result<std::string_view> unicode_text(PyObject* str);
// Always succeeds; each maximal ill-formed subsequence becomes U+FFFD.
std::string unicode_text_lossy(PyObject* str);
// str()/repr() text that never fails: the error goes to the unraisable hook.
std::string object_display_text(PyObject* object);
std::string object_repr_text(PyObject* object);
// object_display_text appended to `out`, without an intermediate string.
void append_object_display_text(MessageWriter& out, PyObject* object);
// True when no byte of `text` is above 0x7f.
[[nodiscard]] bool is_ascii(std::string_view text) noexcept;
// unicode_text_lossy of a str appended to `out`.
void append_unicode_text_lossy(MessageWriter& out, PyObject* str);
Result<std::string> format_traceback(PyObject* traceback);
// `PyErr { type: ..., value: ..., traceback: ... }`; attaches by itself.
std::string debug_text(PyErr& error);
std::string cast_error_message(PyObject* failed_type, PyObject* target);
// Replaces ill-formed UTF-8 the way the Unicode Standard recommends.
std::string decode_utf8_lossy(std::string_view bytes);
// The debug form of a text: a double-quoted literal.
std::string quoted_literal(std::string_view text);

// Prints the interpreter's pending error and faults "Python API call failed".
[[noreturn]] void fail_api_call();

}  // namespace zorvalind
