// Raising and reporting internal faults.
#include "fault/internal_fault.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

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

namespace {

// Held while a report is written, and for good by a report that ends the
// process: the reports of other threads, which may write without the
// interpreter lock (a record's once-only step fails detached), neither split
// a line nor follow the last one.
std::mutex g_report_lock;

void write_report_line(std::string_view message) noexcept {
    // Straight to the C stream: the interpreter may be in any state here. The
    // line goes out in one write where it fits the buffer, so the text the
    // interpreter's own error display writes meanwhile cannot split it.
    constexpr std::string_view kPrefix = "zorvalind: internal fault: ";
    char line[1024];
    if (kPrefix.size() + message.size() + 1 <= sizeof line) {
        std::memcpy(line, kPrefix.data(), kPrefix.size());
        std::memcpy(line + kPrefix.size(), message.data(), message.size());
        line[kPrefix.size() + message.size()] = '\n';
        std::fwrite(line, 1, kPrefix.size() + message.size() + 1, stderr);
    } else {
        std::fwrite(kPrefix.data(), 1, kPrefix.size(), stderr);
        std::fwrite(message.data(), 1, message.size(), stderr);
        std::fputc('\n', stderr);
    }
    std::fflush(stderr);
}

}  // namespace

void write_fault_report(std::string_view message) noexcept {
    const std::lock_guard<std::mutex> lock(g_report_lock);
    write_report_line(message);
}

[[noreturn]] void write_last_fault_report(std::string_view message) noexcept {
    g_report_lock.lock();  // never given back: the process ends
    write_report_line(message);
    std::abort();
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
    if (g_trap_aborts) {
        write_last_fault_report(message);
    }
    write_fault_report(message);
}

void abort_on_foreign_exception() noexcept {
    write_last_fault_report("an exception that is not an internal fault reached the fault boundary");
}

// The module's own heap ran out: the interpreter keeps MemoryError instances
// in reserve, so PyErr_NoMemory raises one without allocating.
void accept_only_bad_alloc() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return;
    } catch (...) {
        abort_on_foreign_exception();
    }
}

void raise_failure(PyErr failure) {
    try {
        raise_into_interpreter(std::move(failure));
    } catch (const std::bad_alloc&) {
        // What the record held is released as it goes.
        PyErr_NoMemory();
    }
}

}  // namespace zorvalind
