// The once-only protocol of once-cells and error records: a step run by one
// thread at a time until one run completes it, while the others sleep. Callers
// wait detached, so the thread running the step, which needs the interpreter
// lock, is never blocked by a waiter.
#pragma once

#include <atomic>

#include "attach/per_thread.hpp"
#include "fault/internal_fault.hpp"

namespace zorvalind::attach {

class OnceFlag {
public:
    constexpr OnceFlag() = default;
    OnceFlag(const OnceFlag&) = delete;
    OnceFlag& operator=(const OnceFlag&) = delete;

    [[nodiscard]] bool done() const noexcept { return state_.load(std::memory_order_acquire) == kDone; }

    // Whether the calling thread runs the step now, or ran the step that
    // poisoned the flag.
    [[nodiscard]] bool claimed_by_this_thread() const noexcept {
        return runner_.load(std::memory_order_relaxed) == current_thread_identity();
    }

    // Detached callers only. True when the caller is to run the step now
    // (and then ends it with `complete`, `reset` or `poison`); false once
    // another thread completed it. Faults with `waits_for_itself` when the
    // thread running the step asks again, and with `poisoned` after a run
    // was cut short for good.
    bool claim(const char* waits_for_itself, const char* poisoned) {
        for (;;) {
            int state = state_.load(std::memory_order_acquire);
            if (state == kDone) {
                return false;
            }
            if (state == kPoisoned) {
                raise_fault(poisoned);
            }
            if (state == kEmpty) {
                if (state_.compare_exchange_strong(state, kRunning, std::memory_order_acq_rel)) {
                    runner_.store(current_thread_identity(), std::memory_order_relaxed);
                    return true;
                }
                continue;
            }
            if (claimed_by_this_thread()) {
                raise_fault(waits_for_itself);
            }
            // Only a waiting thread makes the end of the step wake anyone.
            if (state == kRunning && !state_.compare_exchange_strong(state, kWaited, std::memory_order_acq_rel)) {
                continue;
            }
            state_.wait(kWaited, std::memory_order_acquire);
        }
    }

    // Ends the caller's run: completed for good, back to empty (the next
    // caller runs the step again), or poisoned for good.
    void complete() noexcept { finish(kDone, 0); }
    void reset() noexcept { finish(kEmpty, 0); }
    void poison() noexcept { finish(kPoisoned, current_thread_identity()); }

private:
    enum : int { kEmpty = 0, kRunning = 1, kWaited = 2, kDone = 3, kPoisoned = 4 };

    void finish(int state, ThreadIdentity runner) noexcept {
        runner_.store(runner, std::memory_order_relaxed);
        if (state_.exchange(state, std::memory_order_acq_rel) == kWaited) {
            state_.notify_all();
        }
    }

    std::atomic<int> state_{kEmpty};
    // Only the thread that stores its own identity here can then find it, so
    // relaxed order suffices.
    std::atomic<ThreadIdentity> runner_{0};
};

}  // namespace zorvalind::attach
