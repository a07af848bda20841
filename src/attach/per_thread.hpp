// The core's per-thread values. Each one is reached only through an
// out-of-line accessor of per_thread.cpp, the one file that names a
// thread-local: see there why.
#pragma once

#include <cstdint>

namespace zorvalind::attach {

// Unique for the whole life of the process: never handed to another thread,
// not even after this one has ended. 0 is no thread.
using ThreadIdentity = std::uint64_t;

// The calling thread's identity, taken on its first use.
[[nodiscard]] ThreadIdentity current_thread_identity() noexcept;

namespace detail {
// The calling thread's attach depth (attach.hpp says what its values mean).
[[nodiscard]] std::int64_t& attach_depth_slot() noexcept;
// A fresh identity from the process-wide counter (thread_identity.cpp).
[[nodiscard]] ThreadIdentity take_thread_identity() noexcept;
}  // namespace detail

}  // namespace zorvalind::attach
