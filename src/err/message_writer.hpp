// The text of an error message under construction, on the stack: the record
// that carries it copies it into its own allocation, so building a message
// takes no allocation of its own. A text longer than the buffer moves on to
// the heap.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace zorvalind {

class MessageWriter {
public:
    MessageWriter() = default;
    MessageWriter(const MessageWriter&) = delete;
    MessageWriter& operator=(const MessageWriter&) = delete;

    MessageWriter& operator+=(std::string_view piece) {
        if (overflow_.empty() && size_ + piece.size() <= kCapacity) {
            std::memcpy(buffer_ + size_, piece.data(), piece.size());
            size_ += piece.size();
        } else {
            spill(piece);
        }
        return *this;
    }
    MessageWriter& operator+=(char c) { return *this += std::string_view(&c, 1); }

    void append_count(std::size_t count) {
        char digits[24];
        const auto result = std::to_chars(digits, digits + sizeof digits, count);
        *this += std::string_view(digits, static_cast<std::size_t>(result.ptr - digits));
    }

    // Valid until the writer is changed or destroyed.
    [[nodiscard]] std::string_view view() const noexcept {
        return overflow_.empty() ? std::string_view(buffer_, size_) : std::string_view(overflow_);
    }

private:
    static constexpr std::size_t kCapacity = 240;

    void spill(std::string_view piece) {
        if (overflow_.empty()) {
            overflow_.assign(buffer_, size_);
        }
        overflow_ += piece;
    }

    char buffer_[kCapacity];
    std::size_t size_ = 0;
    std::string overflow_;  // only for a long message
};

}  // namespace zorvalind
