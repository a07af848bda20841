// The fault boundary around every entry from the interpreter. The body runs
// inside the fault guard: an internal fault becomes a raised PanicException and
// the entry returns null; std::bad_alloc, in the body or while the failure is
// raised, becomes a raised MemoryError instead. A fault anywhere else in the
// entry meets the armed trap, which reports and aborts; no exception ever
// reaches the interpreter.
#pragma once

#include <Python.h>

#include <optional>

#include "attach/attach.hpp"
#include "err/pyerr.hpp"
#include "fault/internal_fault.hpp"
#include "fault/panic.hpp"

namespace zorvalind {

inline constexpr const char* kBoundaryTrapMessage = "uncaught panic at ffi boundary";

// Reports the trap's message and ends the process. Deliberately not declared
// [[noreturn]]: if the compiler could see that the trap never lets unwinding go
// on, it would drop the boundary's handler, and with no handler the unwinder
// terminates before running any clean-up (the trap included).
void spring_trap(const char* message) noexcept;

// Armed for the whole entry; destroyed while armed only when a fault unwinds
// past the guard, and then it ends the process.
class BoundaryTrap {
public:
    explicit BoundaryTrap(const char* message) noexcept : message_(message) {}
    BoundaryTrap(const BoundaryTrap&) = delete;
    BoundaryTrap& operator=(const BoundaryTrap&) = delete;
    ~BoundaryTrap() {
        if (armed_) {
            spring_trap(message_);
        }
    }
    void disarm() noexcept { armed_ = false; }

private:
    const char* message_;
    bool armed_ = true;
};

// Cold: an exception object of another kind reached the guard.
[[noreturn]] void abort_on_foreign_exception() noexcept;

// Cold, each called from a handler of the guard. Returns when the exception
// being handled is std::bad_alloc; aborts as above for any other kind.
void accept_only_bad_alloc() noexcept;
// Raises `failure`, or MemoryError when raising it ran out of memory (a
// recipe's text, the PanicException type). Faults unwind as from
// raise_into_interpreter.
void raise_failure(PyErr failure);

// `body` returns Result<PyObject*>: a new reference, or a PyErr to raise.
template <class Body>
PyObject* run_at_boundary(Body&& body) {
    try {
        BoundaryTrap trap(kBoundaryTrapMessage);
        attach::Attachment attachment = attach::Attachment::assume_entry();
        std::optional<PyErr> failure;
        try {
            Result<PyObject*> outcome = body();
            if (outcome.ok()) {
                trap.disarm();
                attachment.end();
                return outcome.value();
            }
            failure.emplace(outcome.take_error());
        } catch (InternalFault& fault) {
            try {
                failure.emplace(panic_from_payload(fault.take_payload()));
            } catch (...) {
                // No memory for the record: MemoryError below.
                accept_only_bad_alloc();
            }
        } catch (...) {
            accept_only_bad_alloc();
        }
        // The optional's address never leaves this frame: the success path
        // then never initialises or tests it.
        if (failure.has_value()) {
            raise_failure(std::move(*failure));
        } else {
            PyErr_NoMemory();
        }
        trap.disarm();
        attachment.end();
        return nullptr;
    } catch (...) {
        // Not reached: the armed trap ends the process while unwinding.
        return nullptr;
    }
}

}  // namespace zorvalind
