// Binding the arguments of a fast call with keywords to parameter slots, and
// the attribution of a conversion error to its parameter.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "args/descriptor.hpp"
#include "err/pyerr.hpp"

namespace zorvalind {

// Slots: N positional then KW keyword-only entries, all null on entry; filled
// with borrowed references. On failure the slots are unspecified.
Status bind_fastcall_arguments(const ArgumentDescriptor& descriptor, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames, PyObject** slots, std::size_t slot_count);

// Replaces an exact TypeError by "argument '<name>': <text>"; anything else
// passes through unchanged.
PyErr wrap_argument_error(std::string_view name, PyErr error);

// Message constructors; failure paths only.
std::string full_function_name(const ArgumentDescriptor& descriptor);
void append_quoted_names(std::string& message, std::span<const std::string_view> names);
PyErr too_many_positional_error(const ArgumentDescriptor& descriptor, std::size_t given);
PyErr unexpected_keyword_error(const ArgumentDescriptor& descriptor, PyObject* keyword_name);
PyErr multiple_values_error(const ArgumentDescriptor& descriptor, std::string_view keyword);
PyErr positional_only_keywords_error(const ArgumentDescriptor& descriptor,
                                     std::span<const std::string_view> keywords);
PyErr missing_required_error(const ArgumentDescriptor& descriptor, std::string_view kind,
                             std::span<const std::string_view> names);
PyErr missing_positional_error(const ArgumentDescriptor& descriptor, PyObject* const* slots);
PyErr missing_keyword_only_error(const ArgumentDescriptor& descriptor, PyObject* const* keyword_slots);

}  // namespace zorvalind
