// The generic binder. The success path takes no heap storage, creates no
// Python objects and changes no reference counts; every message is built by
// the cold routines in messages.cpp.
#include "args/binding.hpp"

#include <algorithm>
#include <optional>

#include "err/texts.hpp"
#include "fault/internal_fault.hpp"
#include "platform.hpp"

namespace zorvalind {

namespace {

constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

ZORVALIND_COLD [[noreturn]] void slot_array_too_short() {
    raise_fault("argument slot array is shorter than the parameters of the function");
}

ZORVALIND_COLD [[noreturn]] void keyword_values_missing() {
    raise_fault("keyword names were given without an argument array");
}

ZORVALIND_COLD [[noreturn]] void positional_values_missing() {
    raise_fault("positional arguments were counted without an argument array");
}

// Parameter names are short: an inline loop beats a call into the C library.
inline bool same_text(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

inline std::size_t find_keyword_only(const ArgumentDescriptor& descriptor, std::string_view keyword) {
    for (std::size_t i = 0; i < descriptor.keyword_only.size(); ++i) {
        if (same_text(descriptor.keyword_only[i].name, keyword)) {
            return i;
        }
    }
    return kNotFound;
}

inline std::size_t find_positional(const ArgumentDescriptor& descriptor, std::string_view keyword) {
    for (std::size_t i = 0; i < descriptor.positional_names.size(); ++i) {
        if (same_text(descriptor.positional_names[i], keyword)) {
            return i;
        }
    }
    return kNotFound;
}

// Collects, in keyword order, the keywords that named positional-only
// parameters; only reached when the walk found at least one.
ZORVALIND_COLD PyErr positional_only_named(const ArgumentDescriptor& descriptor, PyObject* kwnames) {
    std::vector<std::string_view> named;
    named.reserve(4);
    const Py_ssize_t keyword_count = tuple_size(kwnames);
    for (Py_ssize_t j = 0; j < keyword_count; ++j) {
        // Every name was read once already in this call, so its UTF-8 form
        // is cached; should reading fail anyway, nothing is left pending.
        const std::optional<std::string_view> keyword = utf8_view(tuple_item(kwnames, j));
        if (!keyword.has_value()) {
            (void)fetch_pending();
            continue;
        }
        if (find_keyword_only(descriptor, *keyword) != kNotFound) {
            continue;
        }
        const std::size_t position = find_positional(descriptor, *keyword);
        if (position < descriptor.positional_only_count) {
            named.push_back(*keyword);
        }
    }
    return positional_only_keywords_error(descriptor, named);
}

ZORVALIND_COLD PyErr keyword_name_unreadable(const ArgumentDescriptor& descriptor, PyObject* name) {
    (void)fetch_pending();
    return unexpected_keyword_error(descriptor, name);
}

}  // namespace

Status bind_fastcall_arguments_general(const ArgumentDescriptor& descriptor, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames, PyObject** slots, std::size_t slot_count,
                                       PyObject* const* interned_positional_names) {
    const std::size_t positional_count = descriptor.positional_names.size();
    const auto given = static_cast<std::size_t>(nargs);
    // Checked once, before any slot is touched: every index below, and every
    // slot the message builders read, is then within the array.
    if (slot_count < positional_count + descriptor.keyword_only.size()) {
        slot_array_too_short();
    }

    if (args == nullptr && given > 0) {
        positional_values_missing();
    }
    if (args != nullptr) {
        const std::size_t copied = std::min(given, positional_count);
        for (std::size_t i = 0; i < copied; ++i) {
            slots[i] = args[i];
        }
        if (given > positional_count) {
            return too_many_positional_error(descriptor, given);
        }
    }

    // Whether a keyword named a positional-only parameter; the names are
    // collected again on the failure path.
    bool positional_only_named_by_keyword = false;
    if (kwnames != nullptr) {
        const Py_ssize_t keyword_count = tuple_size(kwnames);
        if (keyword_count > 0 && args == nullptr) {
            keyword_values_missing();
        }
        for (Py_ssize_t j = 0; j < keyword_count; ++j) {
            PyObject* name = tuple_item(kwnames, j);
            PyObject* value = args[nargs + j];
            // Names are unique across a function, so an identity match on a
            // positional name cannot hide a keyword-only one.
            std::size_t position = interned_positional_names == nullptr
                                       ? positional_count
                                       : position_by_identity(interned_positional_names, positional_count, name);
            std::string_view keyword;
            if (position < positional_count) {
                keyword = descriptor.positional_names[position];
            } else {
                const std::optional<std::string_view> text = utf8_view(name);
                if (!text.has_value()) {
                    return keyword_name_unreadable(descriptor, name);
                }
                keyword = *text;
                const std::size_t keyword_index = find_keyword_only(descriptor, keyword);
                if (keyword_index != kNotFound) {
                    PyObject*& slot = slots[positional_count + keyword_index];
                    if (slot != nullptr) {
                        return multiple_values_error(descriptor, keyword);
                    }
                    slot = value;
                    continue;
                }
                position = find_positional(descriptor, keyword);
                if (position == kNotFound) {
                    return unexpected_keyword_error(descriptor, name);
                }
            }
            if (position < descriptor.positional_only_count) {
                positional_only_named_by_keyword = true;
                continue;
            }
            PyObject*& slot = slots[position];
            if (slot != nullptr) {
                return multiple_values_error(descriptor, keyword);
            }
            slot = value;
        }
    }

    if (positional_only_named_by_keyword) {
        return positional_only_named(descriptor, kwnames);
    }

    const std::size_t required = descriptor.required_positional_count;
    for (std::size_t i = given; i < required; ++i) {
        if (slots[i] == nullptr) {
            return missing_positional_error(descriptor, slots);
        }
    }

    for (std::size_t i = 0; i < descriptor.keyword_only.size(); ++i) {
        if (descriptor.keyword_only[i].required && slots[positional_count + i] == nullptr) {
            return missing_keyword_only_error(descriptor, slots + positional_count);
        }
    }
    return Status::success();
}

}  // namespace zorvalind
