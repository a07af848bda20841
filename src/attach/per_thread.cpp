// Every thread-local of the core, each behind an out-of-line accessor.
//
// With TLS descriptors (CMakeLists.txt) an access is a call to the loader's
// resolver. Its slow path, taken by a module that found no static TLS room,
// does not preserve the vector registers in C libraries before 2.40, although
// the descriptor convention says it must. So no vector value may be live
// across a descriptor call. This file is compiled without vector registers
// (src/CMakeLists.txt), and its callers reach it through an ordinary call, so
// they keep nothing in one across it either. Nothing outside this file may
// name a thread-local: an access inlined into a caller that uses vector
// registers would be exposed again.
#include "attach/per_thread.hpp"

#if defined(__GNUC__) || defined(__clang__)
// Never merged into a caller compiled with vector registers, even by
// link-time optimisation.
#define ZORVALIND_TLS_ACCESSOR [[gnu::noinline]]
#else
#define ZORVALIND_TLS_ACCESSOR
#endif

namespace zorvalind::attach {

namespace {

constinit thread_local std::int64_t tls_attach_depth = 0;
constinit thread_local ThreadIdentity tls_thread_identity = 0;

}  // namespace

ZORVALIND_TLS_ACCESSOR ThreadIdentity current_thread_identity() noexcept {
    ThreadIdentity& slot = tls_thread_identity;
    if (slot == 0) [[unlikely]] {
        slot = detail::take_thread_identity();
    }
    return slot;
}

namespace detail {

ZORVALIND_TLS_ACCESSOR std::int64_t& attach_depth_slot() noexcept { return tls_attach_depth; }

}  // namespace detail

}  // namespace zorvalind::attach
