// The text of an error message under construction, on the stack: the record
// that carries it copies it into its own allocation, so building a message
// takes no allocation of its own. A text longer than the buffer moves on to
// the heap.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "platform.hpp"

namespace zorvalind {

namespace detail {
// Copies the few dozen bytes of a message piece with fixed-size moves that
// the compiler inlines, instead of a call into the C library for each piece.
// The two buffers never overlap; a tail copy may rewrite bytes already
// written, with the same values.
inline void copy_text(char* to, const char* from, std::size_t size) noexcept {
    if (size >= 16) {
        char* const end = to + size;
        const char* const from_end = from + size;
        while (to + 16 < end) {
            std::memcpy(to, from, 16);
            to += 16;
            from += 16;
#if defined(__GNUC__) || defined(__clang__)
            // Keeps the compiler from turning the loop back into a memcpy call.
            __asm__("" : "+r"(to));
#endif
        }
        std::memcpy(end - 16, from_end - 16, 16);
    } else if (size >= 8) {
        std::memcpy(to, from, 8);
        std::memcpy(to + size - 8, from + size - 8, 8);
    } else if (size >= 4) {
        std::memcpy(to, from, 4);
        std::memcpy(to + size - 4, from + size - 4, 4);
    } else if (size > 0) {
        to[0] = from[0];
        to[size / 2] = from[size / 2];
        to[size - 1] = from[size - 1];
    }
}
}  // namespace detail

class MessageWriter {
public:
    MessageWriter() = default;
    MessageWriter(const MessageWriter&) = delete;
    MessageWriter& operator=(const MessageWriter&) = delete;

    // Most pieces are literals, whose copies then fold to a few moves.
    ZORVALIND_ALWAYS_INLINE MessageWriter& operator+=(std::string_view piece) {
        if (overflow_ == nullptr && size_ + piece.size() <= kCapacity) {
            detail::copy_text(buffer_ + size_, piece.data(), piece.size());
            size_ += piece.size();
        } else {
            spill(piece);
        }
        return *this;
    }
    MessageWriter& operator+=(char c) {
        if (overflow_ == nullptr && size_ < kCapacity) {
            buffer_[size_++] = c;
        } else {
            spill(std::string_view(&c, 1));
        }
        return *this;
    }

    void append_count(std::size_t count) {
        char digits[24];
        const auto result = std::to_chars(digits, digits + sizeof digits, count);
        *this += std::string_view(digits, static_cast<std::size_t>(result.ptr - digits));
    }

    // Valid until the writer is changed or destroyed.
    [[nodiscard]] std::string_view view() const noexcept {
        return overflow_ == nullptr ? std::string_view(buffer_, size_) : std::string_view(*overflow_);
    }

private:
    static constexpr std::size_t kCapacity = 240;

    void spill(std::string_view piece) {
        if (overflow_ == nullptr) {
            overflow_ = std::make_unique<std::string>(buffer_, size_);
        }
        *overflow_ += piece;
    }

    char buffer_[kCapacity];
    std::size_t size_ = 0;
    // Only for a long message: an empty pointer costs the common one nothing.
    std::unique_ptr<std::string> overflow_;
};

}  // namespace zorvalind
