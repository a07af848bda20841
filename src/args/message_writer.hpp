// The text of a binder message under construction: one reservation covers the
// usual message, so building it costs a single allocation.
#pragma once

#include <charconv>
#include <cstddef>
#include <string>
#include <string_view>

namespace zorvalind {

class MessageWriter {
public:
    MessageWriter() { text_.reserve(160); }

    MessageWriter& operator+=(std::string_view piece) {
        text_ += piece;
        return *this;
    }
    MessageWriter& operator+=(char c) {
        text_ += c;
        return *this;
    }

    void append_count(std::size_t count) {
        char digits[24];
        const auto result = std::to_chars(digits, digits + sizeof digits, count);
        text_.append(digits, result.ptr);
    }

    [[nodiscard]] std::string take() { return std::move(text_); }

private:
    std::string text_;
};

}  // namespace zorvalind
