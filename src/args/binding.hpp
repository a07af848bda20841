// Binding the arguments of a fast call with keywords to parameter slots, and
// the attribution of a conversion error to its parameter.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "args/descriptor.hpp"
#include "err/message_writer.hpp"
#include "err/pyerr.hpp"
#include "err/tuple.hpp"
#include "platform.hpp"

namespace zorvalind {

// Slots: N positional then KW keyword-only entries, all null on entry; filled
// with borrowed references. On failure the slots are unspecified.
//
// `interned_positional_names`, when given, holds the N positional names as
// interned str objects: a keyword name identical to one of them is matched
// without reading its text. Names made at run time still match by bytes.
Status bind_fastcall_arguments_general(const ArgumentDescriptor& descriptor, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames, PyObject** slots, std::size_t slot_count,
                                       PyObject* const* interned_positional_names);

// The position of `object` among the `count` objects, by identity; `count`
// when it is not there. Inline: with a constant count the search unrolls.
ZORVALIND_ALWAYS_INLINE std::size_t position_by_identity(PyObject* const* objects, std::size_t count,
                                                         PyObject* object) {
    for (std::size_t i = 0; i < count; ++i) {
        if (objects[i] == object) {
            return i;
        }
    }
    return count;
}

namespace detail {

// The front's keyword case for N parameters of which the first Given come by
// position: N and Given are constants, so every loop unrolls and the bound
// arguments stay in registers until the slots are written. The names are
// read first, then matched: nothing is live across the reads but the tuple.
template <std::size_t N, std::size_t Given>
ZORVALIND_ALWAYS_INLINE bool bind_keywords_by_identity(PyObject* const* args, PyObject* kwnames, PyObject** slots,
                                                       PyObject* const* interned_names) {
    constexpr std::size_t keyword_count = N - Given;
    std::array<PyObject*, N> bound{};
    for (std::size_t i = 0; i < Given; ++i) {
        bound[i] = args[i];
    }
    if constexpr (keyword_count > 0) {
        std::array<PyObject*, keyword_count> names{};
        for (std::size_t j = 0; j < keyword_count; ++j) {
            names[j] = tuple_item(kwnames, static_cast<Py_ssize_t>(j));
        }
        // Each parameter after the positional ones takes the value of the
        // keyword that names it. Interned names are distinct objects, so a
        // keyword names at most one parameter; with as many keywords as
        // parameters left, every one of them named means each keyword named
        // its own. Anything else (a name unknown here or of a parameter given
        // by position, a name given twice) leaves one unnamed: declined.
        for (std::size_t i = Given; i < N; ++i) {
            const std::size_t j = position_by_identity(names.data(), keyword_count, interned_names[i]);
            if (j == keyword_count) {
                return false;
            }
            bound[i] = args[Given + j];
        }
    }
    for (std::size_t i = 0; i < N; ++i) {
        slots[i] = bound[i];
    }
    return true;
}

// Selects the instance for the call's positional count.
template <std::size_t N, std::size_t Given = 0>
ZORVALIND_ALWAYS_INLINE bool bind_by_identity(std::size_t given, PyObject* const* args, PyObject* kwnames,
                                              PyObject** slots, PyObject* const* interned_names) {
    if (given == Given) {
        return bind_keywords_by_identity<N, Given>(args, kwnames, slots, interned_names);
    }
    if constexpr (Given < N) {
        return bind_by_identity<N, Given + 1>(given, args, kwnames, slots, interned_names);
    } else {
        return false;
    }
}

// The widest function whose keyword calls the front binds; wider ones take
// the general binder, which matches by identity too.
inline constexpr std::size_t kFrontMaxParameters = 4;

template <std::size_t N = 0>
ZORVALIND_ALWAYS_INLINE bool bind_by_identity_of_width(std::size_t positional_count, std::size_t given,
                                                       PyObject* const* args, PyObject* kwnames, PyObject** slots,
                                                       PyObject* const* interned_names) {
    if (positional_count == N) {
        return bind_by_identity<N>(given, args, kwnames, slots, interned_names);
    }
    if constexpr (N < kFrontMaxParameters) {
        return bind_by_identity_of_width<N + 1>(positional_count, given, args, kwnames, slots, interned_names);
    } else {
        return false;
    }
}

}  // namespace detail

// The front's first case, inline at the caller: a call that gives every
// parameter by position and nothing else needs no slots, the argument array
// is already the bound arguments. Null for every other call.
ZORVALIND_ALWAYS_INLINE PyObject* const* arguments_by_position(const ArgumentDescriptor& descriptor,
                                                               PyObject* const* args, Py_ssize_t nargs,
                                                               PyObject* kwnames) {
    if (kwnames != nullptr || !descriptor.keyword_only.empty()) {
        return nullptr;
    }
    if (static_cast<std::size_t>(nargs) != descriptor.positional_names.size()) {
        return nullptr;
    }
    // A native caller may pass no argument array at all.
    return args;
}

// The binder's inline front: settles the common calls (every parameter by
// position, or the rest by interned keyword names, for functions of up to
// kFrontMaxParameters parameters) and returns false, with the slots left as
// they were, for everything else, which the general binder then takes from
// the start (every failure included). It reads nothing but the keyword names,
// cannot fail and never faults.
ZORVALIND_ALWAYS_INLINE bool bind_common_call(const ArgumentDescriptor& descriptor, PyObject* const* args,
                                              Py_ssize_t nargs, PyObject* kwnames, PyObject** slots,
                                              std::size_t slot_count, PyObject* const* interned_positional_names) {
    const std::size_t positional_count = descriptor.positional_names.size();
    const auto given = static_cast<std::size_t>(nargs);
    // A native caller may pass no argument array at all: only the general
    // binder, which checks for that, reads one then. Both paths below imply
    // given <= positional_count.
    if (args == nullptr || !descriptor.keyword_only.empty() || slot_count < positional_count) {
        return false;
    }
    if (kwnames == nullptr) {
        if (given != positional_count) {
            return false;
        }
        for (std::size_t i = 0; i < positional_count; ++i) {
            slots[i] = args[i];
        }
        return true;
    }
    return interned_positional_names != nullptr && descriptor.positional_only_count == 0 &&
           given + static_cast<std::size_t>(tuple_size(kwnames)) == positional_count &&
           detail::bind_by_identity_of_width(positional_count, given, args, kwnames, slots, interned_positional_names);
}

// The binder: the inline front, then the general binder for every call the
// front declines. A wrapper may run the two itself, the front before its fault
// boundary opens (mysum does).
ZORVALIND_ALWAYS_INLINE Status bind_fastcall_arguments(const ArgumentDescriptor& descriptor, PyObject* const* args,
                                                       Py_ssize_t nargs, PyObject* kwnames, PyObject** slots,
                                                       std::size_t slot_count,
                                                       PyObject* const* interned_positional_names = nullptr) {
    if (bind_common_call(descriptor, args, nargs, kwnames, slots, slot_count, interned_positional_names)) {
        return Status::success();
    }
    return bind_fastcall_arguments_general(descriptor, args, nargs, kwnames, slots, slot_count,
                                           interned_positional_names);
}

// Replaces an exact TypeError by "argument '<name>': <text>"; anything else
// passes through unchanged.
PyErr wrap_argument_error(std::string_view name, PyErr error);

// Message constructors; failure paths only.
// Appends the name under which messages speak of the function: "f()" or
// "C.f()".
void full_function_name(MessageWriter& message, const ArgumentDescriptor& descriptor);
void append_quoted_names(MessageWriter& message, std::span<const std::string_view> names);
PyErr too_many_positional_error(const ArgumentDescriptor& descriptor, std::size_t given);
PyErr unexpected_keyword_error(const ArgumentDescriptor& descriptor, PyObject* keyword_name);
PyErr multiple_values_error(const ArgumentDescriptor& descriptor, std::string_view keyword);
PyErr positional_only_keywords_error(const ArgumentDescriptor& descriptor, std::span<const std::string_view> keywords);
PyErr missing_required_error(const ArgumentDescriptor& descriptor, std::string_view kind,
                             std::span<const std::string_view> names);
PyErr missing_positional_error(const ArgumentDescriptor& descriptor, PyObject* const* slots);
PyErr missing_keyword_only_error(const ArgumentDescriptor& descriptor, PyObject* const* keyword_slots);

}  // namespace zorvalind
