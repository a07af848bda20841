// The pending-error record: every failure that a caller can handle travels as a
// PyErr until an entry raises it into the interpreter. A record is built lazily
// from a recipe (no Python object until needed) or taken back from the
// interpreter as the instance it already is.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace zorvalind {

// A one-shot callable that makes the exception's type and argument. Run at most
// once, attached; a recipe destroyed unrun releases everything it holds.
class ErrorRecipe {
public:
    // Both new references; both null when an object could not be created,
    // and then the interpreter's error (a MemoryError) is raised.
    struct Output {
        PyObject* type;
        PyObject* argument;
    };
    virtual ~ErrorRecipe() = default;
    virtual Output run() = 0;
};

// A lazy record's recipe. The common one, an interpreter exception type with a
// message, is held inline to save an allocation; any other is `recipe`.
struct LazyState {
    std::unique_ptr<ErrorRecipe> recipe;
    PyObject* type = nullptr;  // an interpreter exception type, alive for the process
    // Static text, or text stored in the record's own allocation.
    std::string_view message;
};
struct NormalizedState {
    PyObject* instance;  // owned
};
// Empty only inside the once-only step of normalisation.
using PyErrState = std::variant<std::monostate, LazyState, NormalizedState>;

class PyErr {
public:
    struct Inner;

    // A lazy record of `type` (an interpreter exception type, borrowed for the
    // life of the process) with a message. No Python object is created.
    static PyErr new_lazy(PyObject* type, const char* static_message);
    // The text is copied into the record's single allocation.
    static PyErr new_lazy_copied(PyObject* type, std::string_view message);
    static PyErr from_recipe(std::unique_ptr<ErrorRecipe> recipe);
    // Takes over one reference to an exception instance.
    static PyErr from_instance(PyObject* instance);
    // Takes over one reference to any object.
    static PyErr from_object(PyObject* object);

    // Move-only; the destructor is inline so that an empty record (a moved-from
    // one, or the error slot of a successful Result) costs one test.
    PyErr(PyErr&& other) noexcept : bits_(std::exchange(other.bits_, 0)) {}
    PyErr& operator=(PyErr&& other) noexcept {
        if (this != &other) {
            drop();
            bits_ = std::exchange(other.bits_, 0);
        }
        return *this;
    }
    PyErr(const PyErr&) = delete;
    PyErr& operator=(const PyErr&) = delete;
    ~PyErr() { drop(); }

    [[nodiscard]] bool empty() const noexcept { return bits_ == 0; }
    // The shared state of a record that began lazy; null for a record made
    // from an instance, which needs no normalisation and so no state.
    [[nodiscard]] Inner* inner() const noexcept {
        // NOLINTNEXTLINE(performance-no-int-to-ptr): the word is a tagged pointer
        return (bits_ & kBareTag) == 0 ? reinterpret_cast<Inner*>(bits_) : nullptr;
    }
    [[nodiscard]] PyObject* bare_instance() const noexcept {
        // NOLINTNEXTLINE(performance-no-int-to-ptr): the word is a tagged pointer
        return (bits_ & kBareTag) != 0 ? reinterpret_cast<PyObject*>(bits_ & ~kBareTag) : nullptr;
    }
    [[nodiscard]] PyObject* take_bare_instance() noexcept {
        PyObject* instance = bare_instance();
        if (instance != nullptr) {
            bits_ = 0;
        }
        return instance;
    }

private:
    template <class T>
    friend class Result;
    friend class Status;

    // One word: null, an Inner*, or an owned exception instance tagged in its
    // lowest bit (both are at least 8-byte aligned).
    static constexpr std::uintptr_t kBareTag = 1;

    PyErr() noexcept = default;  // empty: only inside Result and Status
    explicit PyErr(Inner* inner) noexcept : bits_(reinterpret_cast<std::uintptr_t>(inner)) {}
    static PyErr bare(PyObject* instance) noexcept {
        PyErr error;
        error.bits_ = reinterpret_cast<std::uintptr_t>(instance) | kBareTag;
        return error;
    }
    void drop() noexcept {
        if (bits_ != 0) {
            destroy(std::exchange(bits_, 0));
        }
    }
    static void destroy(std::uintptr_t bits) noexcept;

    std::uintptr_t bits_ = 0;
};

// A value or a PyErr; never unwinds.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : value_(std::move(value)) {}                // NOLINT(google-explicit-constructor)
    Result(PyErr error) : value_(), error_(std::move(error)) {}  // NOLINT(google-explicit-constructor)

    [[nodiscard]] bool ok() const noexcept { return error_.empty(); }
    [[nodiscard]] T& value() noexcept { return value_; }
    [[nodiscard]] PyErr take_error() noexcept { return std::move(error_); }

private:
    T value_;
    PyErr error_;
};

class [[nodiscard]] Status {
public:
    Status() = default;
    Status(PyErr error) : error_(std::move(error)) {}  // NOLINT(google-explicit-constructor)
    static Status success() { return Status(); }

    [[nodiscard]] bool ok() const noexcept { return error_.empty(); }
    [[nodiscard]] PyErr take_error() noexcept { return std::move(error_); }

private:
    PyErr error_;
};

// `'<type>' object cannot be cast as '<target>'`; takes over one reference to
// `target` (a type or a tuple of types); holds only the type of `object`.
PyErr CastError(PyObject* object, PyObject* target);

// Exchange with the interpreter (attached).
std::optional<PyErr> take_pending();
PyErr fetch_pending();
void raise_into_interpreter(PyErr error);
void report_unraisable(PyErr error, PyObject* context);

// Examination: each normalises a lazy record first (attached).
PyObject* ensure_normalized(PyErr& error);    // borrowed
PyObject* exception_type(PyErr& error);       // new reference
PyObject* exception_value(PyErr& error);      // borrowed
PyObject* exception_traceback(PyErr& error);  // new reference or null
std::optional<PyErr> exception_cause(PyErr& error);
void set_exception_cause(PyErr& error, std::optional<PyErr> cause);
PyObject* into_exception_value(PyErr error);  // new reference
bool matches_type(PyErr& error, PyObject* type);

// new_lazy of `type` and `message` followed by its normalisation, the
// once-only step with the lock given up and taken back, checks included. No
// other thread can reach the record before it is normalised, so it stays on
// the stack: no allocation, no copy of `message` (the caller's), and no once
// flag or normalising thread to keep.
PyErr normalized_new_lazy(PyObject* type, std::string_view message);

// Runs a lazy record's recipe (once: an other recipe is consumed) and raises
// its exception in the interpreter. False when the recipe could not create its
// objects: the interpreter's own error is raised instead.
[[nodiscard]] bool raise_recipe(LazyState& lazy);

}  // namespace zorvalind
