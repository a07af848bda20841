// The constant description of a function's parameters, read by the generic
// binder. Texts are length-delimited UTF-8; no Python objects live here.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace zorvalind {

struct KeywordOnlyParameter {
    std::string_view name;
    bool required;
};

struct ArgumentDescriptor {
    std::string_view function_name;
    std::optional<std::string_view> class_name;
    // Every parameter that may be given by position, in declaration order (N).
    std::span<const std::string_view> positional_names;
    // The first this-many positional parameters are positional-only.
    std::size_t positional_only_count;
    // The first this-many positional parameters must be given (R <= N).
    std::size_t required_positional_count;
    std::span<const KeywordOnlyParameter> keyword_only;
};

}  // namespace zorvalind
