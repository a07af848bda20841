// Attribution of a conversion error to the parameter whose argument caused it.
#include <string>

#include "args/binding.hpp"
#include "attach/owned_ref.hpp"
#include "err/texts.hpp"

namespace zorvalind {

namespace {

// The text of str() of an exact TypeError, appended. Its __str__ is the
// exception types' own and cannot be replaced: with one argument it is str()
// of that argument, which for an exact str is the argument itself. That
// common case is read directly, inside the same recursion guard that str()
// of the exception enters; anything else takes the call.
void append_type_error_text(MessageWriter& message, PyObject* exception) {
    if (PyObject* const text = sole_str_argument(exception)) {
        if (Py_EnterRecursiveCall(" while getting the str of an object") == 0) {
            append_unicode_text_lossy(message, text);
            Py_LeaveRecursiveCall();
            return;
        }
        // The guard tripped: str() of the exception fails the same way, and
        // reports it.
        (void)fetch_pending();
    }
    append_object_display_text(message, exception);
}

}  // namespace

PyErr wrap_argument_error(std::string_view name, PyErr error) {
    // The type is read from the instance: no reference to take and drop.
    PyObject* const value = exception_value(error);
    if (reinterpret_cast<PyObject*>(Py_TYPE(value)) != PyExc_TypeError) {
        return error;
    }
    MessageWriter message;
    message += "argument '";
    message += name;
    message += "': ";
    append_type_error_text(message, value);
    // The cause is read before the new record is normalised.
    std::optional<PyErr> cause = exception_cause(error);
    PyErr attributed = normalized_new_lazy(PyExc_TypeError, message.view());
    set_exception_cause(attributed, std::move(cause));
    return attributed;
}

}  // namespace zorvalind
