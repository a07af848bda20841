// The pending-error record: every failure that a caller can handle travels as a
// PyErr until an entry raises it into the interpreter. A record is built lazily
// from a recipe (no Python object until needed) or taken back from the
// interpreter as the instance it already is.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace zorvalind {

// A one-shot callable that makes the exception's type and argument. Run at most
// once, attached; a recipe destroyed unrun releases everything it holds.
class ErrorRecipe {
public:
    struct Output {
        PyObject* type;      // new reference
        PyObject* argument;  // new reference
    };
    virtual ~ErrorRecipe() = default;
    virtual Output run() = 0;
};

struct LazyState {
    std::unique_ptr<ErrorRecipe> recipe;
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
    static PyErr new_lazy(PyObject* type, std::string message);
    static PyErr from_recipe(std::unique_ptr<ErrorRecipe> recipe);
    // Takes over one reference to an exception instance.
    static PyErr from_instance(PyObject* instance);
    // Takes over one reference to any object.
    static PyErr from_object(PyObject* object);

    PyErr(PyErr&&) noexcept;
    PyErr& operator=(PyErr&&) noexcept;
    PyErr(const PyErr&) = delete;
    PyErr& operator=(const PyErr&) = delete;
    ~PyErr();

    [[nodiscard]] Inner* inner() const noexcept { return inner_.get(); }

private:
    explicit PyErr(std::unique_ptr<Inner> inner) noexcept;
    std::unique_ptr<Inner> inner_;
};

// A value or a PyErr; never unwinds.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : content_(std::in_place_index<0>, std::move(value)) {}  // NOLINT(google-explicit-constructor)
    Result(PyErr error) : content_(std::in_place_index<1>, std::move(error)) {}  // NOLINT(google-explicit-constructor)

    [[nodiscard]] bool ok() const noexcept { return content_.index() == 0; }
    [[nodiscard]] T& value() noexcept { return *std::get_if<0>(&content_); }
    [[nodiscard]] PyErr take_error() noexcept { return std::move(*std::get_if<1>(&content_)); }

private:
    std::variant<T, PyErr> content_;
};

class [[nodiscard]] Status {
public:
    Status() = default;
    Status(PyErr error) : error_(std::move(error)) {}  // NOLINT(google-explicit-constructor)
    static Status success() { return Status(); }

    [[nodiscard]] bool ok() const noexcept { return !error_.has_value(); }
    [[nodiscard]] PyErr take_error() noexcept { return std::move(*error_); }

private:
    std::optional<PyErr> error_;
};

// `'<type>' object cannot be cast as '<target>'`; takes over one reference to
// `target` (a type or a tuple of types); holds only the type of `object`.
PyErr CastError(PyObject* object, PyObject* target);

// Exchange with the interpreter (attached).
std::optional<PyErr> take_pending();
PyErr fetch_pending();
// fetch_pending without the PanicException take-back; used while that type is
// being created.
PyErr fetch_pending_without_take_back();
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

// Runs a recipe and raises its exception in the interpreter (consumes it).
void raise_recipe(std::unique_ptr<ErrorRecipe> recipe);

}  // namespace zorvalind
