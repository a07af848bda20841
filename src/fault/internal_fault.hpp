// The internal fault: the one exception type of the core. It stands for a broken
// invariant or an interpreter call that must not fail, and is caught only by the
// fault guard at an entry from the interpreter (boundary.hpp). Failures that a
// caller can handle are PyErr values instead and never unwind.
#pragma once

#include <any>
#include <string>
#include <string_view>
#include <variant>

namespace zorvalind {

// Payload of a fault that carries neither owned nor static text.
struct OtherFaultPayload {
    std::any value;
};

class InternalFault {
public:
    using Payload = std::variant<std::string, const char*, OtherFaultPayload>;

    explicit InternalFault(Payload payload) : payload_(std::move(payload)) {}

    [[nodiscard]] const Payload& payload() const noexcept { return payload_; }
    [[nodiscard]] Payload take_payload() noexcept { return std::move(payload_); }

private:
    Payload payload_;
};

// The message used for a payload that is not text.
inline constexpr const char* kNativeFaultSentence = "An internal fault occurred in native code.";

// The message of a payload: its owned or static text, or the fixed sentence.
[[nodiscard]] std::string fault_message(const InternalFault::Payload& payload);

// Raising writes a fault report to standard error, then unwinds.
[[noreturn]] void raise_fault(const char* static_message);
[[noreturn]] void raise_fault_owned(std::string message);
[[noreturn]] void raise_fault_value(std::any value);
// Resuming unwinds without a report (the report was written elsewhere).
[[noreturn]] void resume_fault(std::string message);

// Writes "zorvalind: internal fault: <message>" on the process's standard error.
void write_fault_report(std::string_view message) noexcept;
// The same, as the last report of the process, which then aborts.
[[noreturn]] void write_last_fault_report(std::string_view message) noexcept;

}  // namespace zorvalind
