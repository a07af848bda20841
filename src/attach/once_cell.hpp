// Interpreter once-cell: a value initialised at most once per process, whose
// waiters never hold the interpreter lock that the initialising thread needs.
#pragma once

#include <utility>

#include "attach/attach.hpp"
#include "attach/once_flag.hpp"

namespace zorvalind::attach {

template <class T>
class OnceCell {
public:
    constexpr OnceCell() = default;
    OnceCell(const OnceCell&) = delete;
    OnceCell& operator=(const OnceCell&) = delete;

    [[nodiscard]] bool is_set() const noexcept { return flag_.done(); }
    // Whether the calling thread runs this cell's initialiser now.
    [[nodiscard]] bool initialising_on_this_thread() const noexcept { return flag_.claimed_by_this_thread(); }
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
    // Runs `step` at most once at a time; `step` returns whether it stored a value.
    template <class Step>
    const T& run_once(Step&& step) {
        DetachedSection detached;
        if (flag_.claim("a once-cell was asked for its value by its own initialiser", kNeverPoisoned)) {
            // The initialiser runs attached; the section is closed here, so
            // a fault unwinding from it finds the thread attached already.
            detached.close();
            bool stored = false;
            try {
                stored = step();
            } catch (...) {
                flag_.reset();
                throw;
            }
            if (stored) {
                flag_.complete();
            } else {
                flag_.reset();
            }
            return value_;
        }
        detached.close();
        return value_;
    }

    // A fault in the initialiser leaves the cell empty: never poisoned.
    static constexpr const char* kNeverPoisoned = "a once-cell was poisoned";

    OnceFlag flag_;
    T value_{};
};

}  // namespace zorvalind::attach
