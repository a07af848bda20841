// Interpreter once-cell: a value initialised at most once per process, whose
// waiters never hold the interpreter lock that the initialising thread needs.
#pragma once

#include <atomic>
#include <utility>

#include "attach/attach.hpp"
#include "fault/internal_fault.hpp"

namespace zorvalind::attach {

template <class T>
class OnceCell {
public:
    constexpr OnceCell() = default;
    OnceCell(const OnceCell&) = delete;
    OnceCell& operator=(const OnceCell&) = delete;

    [[nodiscard]] bool is_set() const noexcept { return state_.load(std::memory_order_acquire) == kSet; }
    // Only after is_set() returned true.
    [[nodiscard]] const T& get() const noexcept { return value_; }

    // `init` returns a T and may fault; a fault leaves the cell empty.
    template <class Init>
    const T& get_or_init(Init&& init) {
        if (is_set()) {
            return value_;
        }
        return run_once([&]() -> bool {
            value_ = init();
            return true;
        });
    }

    // `init` returns a result type R (ok()/value()/take_error()); a failure
    // leaves the cell empty and is handed back.
    template <class Init>
    auto get_or_try_init(Init&& init) -> decltype(init()) {
        using R = decltype(init());
        if (is_set()) {
            return R(value_);
        }
        R failure_slot = R(value_);
        bool failed = false;
        run_once([&]() -> bool {
            R outcome = init();
            if (!outcome.ok()) {
                failure_slot = std::move(outcome);
                failed = true;
                return false;
            }
            value_ = std::move(outcome.value());
            return true;
        });
        if (failed) {
            return failure_slot;
        }
        return R(value_);
    }

private:
    enum : int { kEmpty = 0, kInitialising = 1, kSet = 2 };

    // Runs `step` at most once at a time; `step` returns whether it stored a value.
    template <class Step>
    const T& run_once(Step&& step) {
        DetachedSection detached;
        for (;;) {
            int state = state_.load(std::memory_order_acquire);
            if (state == kSet) {
                break;
            }
            if (state == kEmpty) {
                if (!state_.compare_exchange_strong(state, kInitialising, std::memory_order_acq_rel)) {
                    continue;
                }
                initialising_thread_.store(current_thread_identity(), std::memory_order_relaxed);
                // The initialiser runs attached; the section is closed here, so
                // a fault unwinding from it finds the thread attached already.
                detached.close();
                bool stored = false;
                try {
                    stored = step();
                } catch (...) {
                    finish(kEmpty);
                    throw;
                }
                finish(stored ? kSet : kEmpty);
                return value_;
            }
            if (initialising_thread_.load(std::memory_order_relaxed) == current_thread_identity()) {
                // The initialiser asked for its own cell: waiting would never end.
                raise_fault("a once-cell was asked for its value by its own initialiser");
            }
            state_.wait(kInitialising, std::memory_order_acquire);
        }
        detached.close();
        return value_;
    }

    void finish(int state) noexcept {
        initialising_thread_.store(0, std::memory_order_relaxed);
        state_.store(state, std::memory_order_release);
        state_.notify_all();
    }

    std::atomic<int> state_{kEmpty};
    // Only the initialising thread stores its own identity here and only it
    // can then find it, so relaxed order suffices.
    std::atomic<ThreadIdentity> initialising_thread_{0};
    T value_{};
};

}  // namespace zorvalind::attach
