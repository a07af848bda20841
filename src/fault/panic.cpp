// The PanicException type, its construction from a fault payload, and the
// take-back of a PanicException raised by Python code.
#include "fault/panic.hpp"

#include <cstdio>
#include <memory>
#include <string>

#include "attach/once_cell.hpp"
#include "err/objects.hpp"
#include "err/texts.hpp"

namespace zorvalind {

namespace {

attach::OnceCell<PyObject*> g_panic_type;

constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when native code called from Python suffers an internal fault.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that it will typically\n"
    "propagate all the way through the stack and cause the Python interpreter to exit.\n";

PyObject* create_panic_type() {
    PyObject* base = Py_NewRef(PyExc_BaseException);
    PyObject* type = PyErr_NewExceptionWithDoc("zorvalind_runtime.PanicException", kPanicDoc, base, nullptr);
    Py_DECREF(base);
    if (type == nullptr) {
        // The texts below may fail too (allocation failure); their own
        // fetches find no PanicException either.
        PyErr error = fetch_pending();
        raise_fault_owned(std::string("Failed to initialize new exception type.: ") + debug_text(error));
    }
    return type;
}

class PanicRecipe final : public ErrorRecipe {
public:
    explicit PanicRecipe(std::string message) : message_(std::move(message)) {}

    Output run() override {
        OwnedRef type = OwnedRef::borrow(panic_exception_type());
        OwnedRef arguments = new_single_tuple(new_str(message_));
        return Output{type.release(), arguments.release()};
    }

private:
    std::string message_;
};

}  // namespace

PyObject* panic_exception_type() {
    if (g_panic_type.is_set()) {
        return g_panic_type.get();
    }
    return g_panic_type.get_or_init(create_panic_type);
}

PyErr panic_from_payload(InternalFault::Payload payload) {
    std::string message = fault_message(payload);
    payload = InternalFault::Payload();  // destroy whatever the payload held
    return PyErr::from_recipe(std::make_unique<PanicRecipe>(std::move(message)));
}

void resume_if_panic(OwnedRef& exception) {
    // While this thread creates the type no PanicException can exist yet,
    // and asking the cell for the type would wait for this very thread. Once
    // the type exists this is one load and one comparison.
    if (!g_panic_type.is_set() && g_panic_type.initialising_on_this_thread()) {
        return;
    }
    PyObject* panic_type = panic_exception_type();
    if (reinterpret_cast<PyObject*>(Py_TYPE(exception.get())) != panic_type) {
        return;
    }
    std::string message;
    PyObject* text = PyObject_Str(exception.get());
    if (text != nullptr) {
        OwnedRef owned = OwnedRef::steal(text);
        message = unicode_text_lossy(owned.get());
    } else {
        (void)fetch_pending();
        message = "Unwrapped panic from Python code";
    }
    std::fputs("--- zorvalind is resuming a panic after fetching a PanicException from Python. ---\n", stderr);
    std::fputs("Python stack trace below:\n", stderr);
    std::fflush(stderr);
    PyErr_SetRaisedException(exception.release());
    PyErr_PrintEx(0);
    resume_fault(std::move(message));
}

}  // namespace zorvalind
