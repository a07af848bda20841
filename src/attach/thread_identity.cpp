// The process-wide source of thread identities.
//
// Kept out of per_thread.cpp: that file is compiled without vector registers,
// and on 32-bit x86 a lock-free 64-bit atomic needs one (or the x87 unit) for
// its load, so there the compiler would call the atomic library, which the
// module does not link.
#include <atomic>

#include "attach/per_thread.hpp"

namespace zorvalind::attach::detail {

namespace {

// The last identity handed out. An identity is never reused: an address of a
// thread-local would be, by the next thread that gets the ended one's block.
constinit std::atomic<ThreadIdentity> g_last_identity{0};
static_assert(std::atomic<ThreadIdentity>::is_always_lock_free);

}  // namespace

ThreadIdentity take_thread_identity() noexcept { return g_last_identity.fetch_add(1, std::memory_order_relaxed) + 1; }

}  // namespace zorvalind::attach::detail
