// Attribution of a conversion error to the parameter whose argument caused it.
#include <string>

#include "args/binding.hpp"
#include "err/texts.hpp"
#include "types/owned_ref.hpp"

namespace zorvalind {

PyErr wrap_argument_error(std::string_view name, PyErr error) {
    {
        OwnedRef type = OwnedRef::steal(exception_type(error));
        if (type.get() != PyExc_TypeError) {
            return error;
        }
    }
    MessageWriter message;
    message += "argument '";
    message += name;
    message += "': ";
    append_object_display_text(message, exception_value(error));
    PyErr attributed = PyErr::new_lazy_copied(PyExc_TypeError, message.view());
    std::optional<PyErr> cause = exception_cause(error);
    ensure_normalized(attributed);
    set_exception_cause(attributed, std::move(cause));
    return attributed;
}

}  // namespace zorvalind
