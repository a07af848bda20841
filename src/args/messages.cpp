// The binder's TypeError messages, built in one place from the descriptor so
// the texts cannot drift between functions. Failure paths only.
#include <array>
#include <string>
#include <vector>

#include "args/binding.hpp"
#include "err/texts.hpp"

namespace zorvalind {

namespace {

// Names of the empty slots among `count` parameters: on the stack for the
// usual handful, on the heap only for a longer list.
template <class NameAt, class IsMissing>
PyErr missing_names_error(const ArgumentDescriptor& descriptor, std::string_view kind, std::size_t count,
                          NameAt name_at, IsMissing is_missing) {
    constexpr std::size_t kInline = 8;
    std::size_t missing = 0;
    for (std::size_t i = 0; i < count; ++i) {
        missing += is_missing(i) ? 1 : 0;
    }
    if (missing > kInline) {
        std::vector<std::string_view> names;
        names.reserve(missing);
        for (std::size_t i = 0; i < count; ++i) {
            if (is_missing(i)) {
                names.push_back(name_at(i));
            }
        }
        return missing_required_error(descriptor, kind, names);
    }
    std::array<std::string_view, kInline> names{};
    std::size_t filled = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (is_missing(i)) {
            names[filled++] = name_at(i);
        }
    }
    return missing_required_error(descriptor, kind, std::span<const std::string_view>(names.data(), filled));
}

}  // namespace

void full_function_name(MessageWriter& message, const ArgumentDescriptor& descriptor) {
    if (descriptor.class_name.has_value()) {
        message += *descriptor.class_name;
        message += '.';
    }
    message += descriptor.function_name;
    message += "()";
}

void append_quoted_names(MessageWriter& message, std::span<const std::string_view> names) {
    const std::size_t count = names.size();
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            if (count >= 3) {
                message += ',';
            }
            message += i + 1 == count ? " and " : " ";
        }
        message += '\'';
        message += names[i];
        message += '\'';
    }
}

PyErr too_many_positional_error(const ArgumentDescriptor& descriptor, std::size_t given) {
    const std::size_t positional_count = descriptor.positional_names.size();
    const std::size_t required = descriptor.required_positional_count;
    MessageWriter message;
    full_function_name(message, descriptor);
    if (required == positional_count) {
        message += " takes ";
        message.append_count(positional_count);
    } else {
        message += " takes from ";
        message.append_count(required);
        message += " to ";
        message.append_count(positional_count);
    }
    message += " positional arguments but ";
    message.append_count(given);
    message += given == 1 ? " was given" : " were given";
    return PyErr::new_lazy_copied(PyExc_TypeError, message.view());
}

PyErr unexpected_keyword_error(const ArgumentDescriptor& descriptor, PyObject* keyword_name) {
    MessageWriter message;
    full_function_name(message, descriptor);
    message += " got an unexpected keyword argument '";
    append_object_display_text(message, keyword_name);
    message += '\'';
    return PyErr::new_lazy_copied(PyExc_TypeError, message.view());
}

PyErr multiple_values_error(const ArgumentDescriptor& descriptor, std::string_view keyword) {
    MessageWriter message;
    full_function_name(message, descriptor);
    message += " got multiple values for argument '";
    message += keyword;
    message += '\'';
    return PyErr::new_lazy_copied(PyExc_TypeError, message.view());
}

PyErr positional_only_keywords_error(const ArgumentDescriptor& descriptor, std::span<const std::string_view> keywords) {
    MessageWriter message;
    full_function_name(message, descriptor);
    message += " got some positional-only arguments passed as keyword arguments: ";
    append_quoted_names(message, keywords);
    return PyErr::new_lazy_copied(PyExc_TypeError, message.view());
}

PyErr missing_required_error(const ArgumentDescriptor& descriptor, std::string_view kind,
                             std::span<const std::string_view> names) {
    MessageWriter message;
    full_function_name(message, descriptor);
    message += " missing ";
    message.append_count(names.size());
    message += " required ";
    message += kind;
    message += names.size() == 1 ? " argument: " : " arguments: ";
    append_quoted_names(message, names);
    return PyErr::new_lazy_copied(PyExc_TypeError, message.view());
}

PyErr missing_positional_error(const ArgumentDescriptor& descriptor, PyObject* const* slots) {
    return missing_names_error(
        descriptor, "positional", descriptor.required_positional_count,
        [&](std::size_t i) { return descriptor.positional_names[i]; },
        [&](std::size_t i) { return slots[i] == nullptr; });
}

PyErr missing_keyword_only_error(const ArgumentDescriptor& descriptor, PyObject* const* keyword_slots) {
    return missing_names_error(
        descriptor, "keyword", descriptor.keyword_only.size(),
        [&](std::size_t i) { return descriptor.keyword_only[i].name; },
        [&](std::size_t i) { return descriptor.keyword_only[i].required && keyword_slots[i] == nullptr; });
}

}  // namespace zorvalind
