// Per-thread attachment to the interpreter, detached sections, and deferred
// reference releases. Nothing here allocates on the attached path.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "attach/per_thread.hpp"
#include "platform.hpp"

namespace zorvalind::attach {

namespace detail {
// Set while the pending-release list holds something.
extern ZORVALIND_HIDDEN std::atomic<bool> g_releases_pending;
[[noreturn]] void raise_prohibited(std::int64_t depth);

// The calling thread's depth: > 0 attached through the core, 0 not attached,
// -1 forbidden during a __traverse__, below -1 forbidden. Each lookup is a
// call (per_thread.cpp), so a path that needs the depth more than once keeps
// the reference.
[[nodiscard]] inline std::int64_t& depth_slot() noexcept { return attach_depth_slot(); }
}  // namespace detail

[[nodiscard]] inline std::int64_t attach_depth() noexcept { return detail::depth_slot(); }
inline void set_attach_depth(std::int64_t depth) noexcept { detail::depth_slot() = depth; }

class AttachToken {
public:
    static AttachToken assumed() noexcept { return AttachToken(true, PyGILState_LOCKED); }
    static AttachToken ensured(PyGILState_STATE state) noexcept { return AttachToken(false, state); }
    [[nodiscard]] bool is_assumed() const noexcept { return assumed_; }
    [[nodiscard]] PyGILState_STATE state() const noexcept { return state_; }

private:
    AttachToken(bool assumed, PyGILState_STATE state) : assumed_(assumed), state_(state) {}
    bool assumed_;
    PyGILState_STATE state_;
};

void apply_pending_releases() noexcept;

inline void apply_pending_releases_if_any() noexcept {
    if (detail::g_releases_pending.load(std::memory_order_acquire)) {
        apply_pending_releases();
    }
}

// At an entry from the interpreter: the thread holds the lock already.
[[nodiscard]] inline AttachToken assume(std::int64_t& slot) {
    const std::int64_t depth = slot;
    if (depth < 0) {
        detail::raise_prohibited(depth);
    }
    slot = depth + 1;
    apply_pending_releases_if_any();
    return AttachToken::assumed();
}
[[nodiscard]] inline AttachToken assume() { return assume(detail::depth_slot()); }

// Anywhere: takes the interpreter through PyGILState_Ensure when needed.
[[nodiscard]] AttachToken attach();

// The checks that attach makes before taking the interpreter from a depth of
// zero (forbidden depth, interpreter not initialised, interpreter finalizing);
// each failure is an internal fault. For a thread that re-takes the lock by
// other means but must behave as such an attachment. `depth` is the calling
// thread's depth (detail::depth_slot()), where the caller has it at hand.
void check_attach_from_zero(const std::int64_t& depth);
inline void check_attach_from_zero() { check_attach_from_zero(detail::depth_slot()); }

inline void end_attachment(AttachToken token, std::int64_t& depth) noexcept {
    if (!token.is_assumed()) {
        PyGILState_Release(token.state());
    }
    depth -= 1;
}

inline void end_attachment(AttachToken token) noexcept { end_attachment(token, detail::depth_slot()); }

// Scoped attachment; ends on every path, faults included. It keeps the address
// of the thread's depth, which stays the same for the thread.
class Attachment {
public:
    static Attachment assume_entry() {
        std::int64_t& depth = detail::depth_slot();
        return Attachment(assume(depth), depth);
    }
    static Attachment acquire() {
        const AttachToken token = attach();
        return Attachment(token, detail::depth_slot());
    }
    Attachment(Attachment&& other) noexcept : token_(other.token_), depth_(other.depth_), open_(other.open_) {
        other.open_ = false;
    }
    Attachment(const Attachment&) = delete;
    Attachment& operator=(const Attachment&) = delete;
    Attachment& operator=(Attachment&&) = delete;
    ~Attachment() { end(); }
    void end() noexcept {
        if (open_) {
            open_ = false;
            end_attachment(token_, *depth_);
        }
    }

private:
    Attachment(AttachToken token, std::int64_t& depth) : token_(token), depth_(&depth) {}
    AttachToken token_;
    std::int64_t* depth_;
    bool open_ = true;
};

struct DetachToken {
    std::int64_t saved_depth;
    PyThreadState* thread_state;
    // The thread's depth, which reattaching restores.
    std::int64_t* depth;
};

[[nodiscard]] DetachToken detach() noexcept;
void reattach(DetachToken token) noexcept;

// Scoped detached section: reattaches on every path unless handed over.
class DetachedSection {
public:
    DetachedSection() noexcept : token_(detach()) {}
    DetachedSection(const DetachedSection&) = delete;
    DetachedSection& operator=(const DetachedSection&) = delete;
    ~DetachedSection() { close(); }
    void close() noexcept {
        if (open_) {
            open_ = false;
            reattach(token_);
        }
    }
    // The thread's depth (0 while the section is open).
    [[nodiscard]] const std::int64_t& depth() const noexcept { return *token_.depth; }
    // The caller takes over reattaching (a once-cell initialiser does so).
    [[nodiscard]] DetachToken hand_over() noexcept {
        open_ = false;
        return token_;
    }

private:
    DetachToken token_;
    bool open_ = true;
};

// Gives up one owned reference: at once when attached, otherwise at the next
// attachment on any thread.
void release(PyObject* object) noexcept;
[[nodiscard]] std::size_t pending_release_count() noexcept;
// After the runtime has been finalised: drops every deferred release, and
// every later one, without touching the objects, which belonged to it.
void abandon_pending_releases() noexcept;

}  // namespace zorvalind::attach
