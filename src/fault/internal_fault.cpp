// Raising and reporting internal faults.
#include "fault/internal_fault.hpp"

#include <cstdio>
#include <cstdlib>

namespace zorvalind {

std::string fault_message(const InternalFault::Payload& payload) {
    if (const auto* owned = std::get_if<std::string>(&payload)) {
        return *owned;
    }
    if (const auto* literal = std::get_if<const char*>(&payload)) {
        return *literal;
    }
    return kNativeFaultSentence;
}

void write_fault_report(std::string_view message) noexcept {
    // Straight to the C stream: the interpreter may be in any state here.
    std::fputs("zorvalind: internal fault: ", stderr);
    std::fwrite(message.data(), 1, message.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

void raise_fault(const char* static_message) {
    write_fault_report(static_message);
    throw InternalFault(InternalFault::Payload(std::in_place_type<const char*>, static_message));
}

void raise_fault_owned(std::string message) {
    write_fault_report(message);
    throw InternalFault(InternalFault::Payload(std::in_place_type<std::string>, std::move(message)));
}

void raise_fault_value(std::any value) {
    write_fault_report(kNativeFaultSentence);
    throw InternalFault(OtherFaultPayload{std::move(value)});
}

void resume_fault(std::string message) {
    throw InternalFault(InternalFault::Payload(std::in_place_type<std::string>, std::move(message)));
}

}  // namespace zorvalind

#include "fault/boundary.hpp"

namespace zorvalind {

namespace {
// Read through volatile so that no optimiser, whole-program ones included, can
// prove that spring_trap never returns (see boundary.hpp).
volatile bool g_trap_aborts = true;
}  // namespace

void spring_trap(const char* message) noexcept {
    write_fault_report(message);
    if (g_trap_aborts) {
        std::abort();
    }
}

void abort_on_foreign_exception() noexcept {
    write_fault_report("an exception that is not an internal fault reached the fault boundary");
    std::abort();
}

}  // namespace zorvalind
