// The binder's TypeError messages, built in one place from the descriptor so
// the texts cannot drift between functions. Failure paths only.
#include <string>
#include <vector>

#include "args/binding.hpp"
#include "err/texts.hpp"

namespace zorvalind {

std::string full_function_name(const ArgumentDescriptor& descriptor) {
    std::string name;
    if (descriptor.class_name.has_value()) {
        name += *descriptor.class_name;
        name += '.';
    }
    name += descriptor.function_name;
    name += "()";
    return name;
}

void append_quoted_names(std::string& message, std::span<const std::string_view> names) {
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
    std::string message = full_function_name(descriptor);
    if (required == positional_count) {
        message += " takes " + std::to_string(positional_count);
    } else {
        message += " takes from " + std::to_string(required) + " to " + std::to_string(positional_count);
    }
    message += " positional arguments but " + std::to_string(given);
    message += given == 1 ? " was given" : " were given";
    return PyErr::new_lazy(PyExc_TypeError, std::move(message));
}

PyErr unexpected_keyword_error(const ArgumentDescriptor& descriptor, PyObject* keyword_name) {
    std::string message = full_function_name(descriptor);
    message += " got an unexpected keyword argument '";
    message += object_display_text(keyword_name);
    message += '\'';
    return PyErr::new_lazy(PyExc_TypeError, std::move(message));
}

PyErr multiple_values_error(const ArgumentDescriptor& descriptor, std::string_view keyword) {
    std::string message = full_function_name(descriptor);
    message += " got multiple values for argument '";
    message += keyword;
    message += '\'';
    return PyErr::new_lazy(PyExc_TypeError, std::move(message));
}

PyErr positional_only_keywords_error(const ArgumentDescriptor& descriptor,
                                     std::span<const std::string_view> keywords) {
    std::string message = full_function_name(descriptor);
    message += " got some positional-only arguments passed as keyword arguments: ";
    append_quoted_names(message, keywords);
    return PyErr::new_lazy(PyExc_TypeError, std::move(message));
}

PyErr missing_required_error(const ArgumentDescriptor& descriptor, std::string_view kind,
                             std::span<const std::string_view> names) {
    std::string message = full_function_name(descriptor);
    message += " missing " + std::to_string(names.size()) + " required ";
    message += kind;
    message += names.size() == 1 ? " argument: " : " arguments: ";
    append_quoted_names(message, names);
    return PyErr::new_lazy(PyExc_TypeError, std::move(message));
}

PyErr missing_positional_error(const ArgumentDescriptor& descriptor, PyObject* const* slots) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < descriptor.required_positional_count; ++i) {
        if (slots[i] == nullptr) {
            missing.push_back(descriptor.positional_names[i]);
        }
    }
    return missing_required_error(descriptor, "positional", missing);
}

PyErr missing_keyword_only_error(const ArgumentDescriptor& descriptor, PyObject* const* keyword_slots) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < descriptor.keyword_only.size(); ++i) {
        if (descriptor.keyword_only[i].required && keyword_slots[i] == nullptr) {
            missing.push_back(descriptor.keyword_only[i].name);
        }
    }
    return missing_required_error(descriptor, "keyword", missing);
}

}  // namespace zorvalind
