// PyErr: construction, exchange with the interpreter, normalisation and
// examination. Normalisation releases the interpreter lock while it may wait
// for another thread, so two threads examining one record cannot deadlock.
#include "err/pyerr.hpp"

#include <cstring>
#include <new>

#include "attach/attach.hpp"
#include "attach/once_flag.hpp"
#include "attach/owned_ref.hpp"
#include "err/message_writer.hpp"
#include "err/texts.hpp"
#include "fault/internal_fault.hpp"
#include "fault/panic.hpp"

namespace zorvalind {

namespace {

constexpr const char* kInvalidState = "PyErr state should never be invalid outside of normalization";
constexpr const char* kUnreachable = "internal error: entered unreachable code";

class CastFailureRecipe final : public ErrorRecipe {
public:
    CastFailureRecipe(OwnedRef failed_type, OwnedRef target)
        : failed_type_(std::move(failed_type)), target_(std::move(target)) {}

    Output run() override {
        const std::string text = cast_error_message(failed_type_.get(), target_.get());
        failed_type_.reset();
        target_.reset();
        PyObject* message = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        if (message == nullptr) {
            return Output{nullptr, nullptr};
        }
        return Output{Py_NewRef(PyExc_TypeError), message};
    }

private:
    OwnedRef failed_type_;
    OwnedRef target_;
};

class ObjectArgumentRecipe final : public ErrorRecipe {
public:
    ObjectArgumentRecipe(OwnedRef object, OwnedRef argument)
        : object_(std::move(object)), argument_(std::move(argument)) {}

    Output run() override { return Output{object_.release(), argument_.release()}; }

private:
    OwnedRef object_;
    OwnedRef argument_;
};

}  // namespace

// The state of a record that began lazy. A record made from an instance has
// none: it is normalised from the start, so it needs no once flag either.
struct PyErr::Inner {
    explicit Inner(LazyState lazy) : state(std::move(lazy)) {}
    Inner(const Inner&) = delete;
    Inner& operator=(const Inner&) = delete;
    ~Inner() {
        if (auto* normalized = std::get_if<NormalizedState>(&state)) {
            attach::release(normalized->instance);
        }
        // A lazy recipe releases what it holds in its own destructor.
    }

    PyErrState state;
    // Normalisation's once-only step; a fault in it poisons the record.
    attach::OnceFlag once;
};

namespace {

// One allocation holds the state and, behind it, the text of a lazy message.
PyErr::Inner* allocate_inner(LazyState lazy, std::string_view text) {
    void* memory = ::operator new(sizeof(PyErr::Inner) + text.size());
    if (!text.empty()) {
        char* stored = static_cast<char*>(memory) + sizeof(PyErr::Inner);
        detail::copy_text(stored, text.data(), text.size());
        lazy.message = std::string_view(stored, text.size());
    }
    return new (memory) PyErr::Inner(std::move(lazy));
}

}  // namespace

void PyErr::destroy(std::uintptr_t bits) noexcept {
    // NOLINTBEGIN(performance-no-int-to-ptr): the word is a tagged pointer
    if ((bits & kBareTag) != 0) {
        attach::release(reinterpret_cast<PyObject*>(bits & ~kBareTag));
    } else {
        Inner* inner = reinterpret_cast<Inner*>(bits);
        inner->~Inner();
        ::operator delete(inner);
    }
    // NOLINTEND(performance-no-int-to-ptr)
}

PyErr PyErr::from_recipe(std::unique_ptr<ErrorRecipe> recipe) {
    LazyState lazy;
    lazy.recipe = std::move(recipe);
    return PyErr(allocate_inner(std::move(lazy), {}));
}

PyErr PyErr::new_lazy(PyObject* type, const char* static_message) {
    LazyState lazy;
    lazy.type = type;
    lazy.message = static_message;
    return PyErr(allocate_inner(std::move(lazy), {}));
}

PyErr PyErr::new_lazy_copied(PyObject* type, std::string_view message) {
    LazyState lazy;
    lazy.type = type;
    return PyErr(allocate_inner(std::move(lazy), message));
}

PyErr PyErr::from_instance(PyObject* instance) { return bare(instance); }

PyErr PyErr::from_object(PyObject* object) {
    if (PyExceptionInstance_Check(object)) {
        return from_instance(object);
    }
    return from_recipe(std::make_unique<ObjectArgumentRecipe>(OwnedRef::steal(object), OwnedRef::borrow(Py_None)));
}

PyErr CastError(PyObject* object, PyObject* target) {
    OwnedRef owned_target = OwnedRef::steal(target);
    return PyErr::from_recipe(std::make_unique<CastFailureRecipe>(
        OwnedRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object))), std::move(owned_target)));
}

namespace {

ErrorRecipe::Output run_type_and_message(const LazyState& lazy) {
    PyObject* message = str_from_text(lazy.message);
    if (message == nullptr) {
        return ErrorRecipe::Output{nullptr, nullptr};
    }
    return ErrorRecipe::Output{Py_NewRef(lazy.type), message};
}

}  // namespace

bool raise_recipe(LazyState& lazy) {
    ErrorRecipe::Output output{};
    if (lazy.recipe != nullptr) {
        output = lazy.recipe->run();
        lazy.recipe.reset();
    } else {
        output = run_type_and_message(lazy);
    }
    if (output.type == nullptr) {
        if (PyErr_Occurred() == nullptr) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return false;
    }
    // Raising runs attached: both references are dropped directly.
    PyObject* type = output.type;
    PyObject* argument = output.argument;
    const bool is_exception_class =
        PyType_FastSubclass(Py_TYPE(type), Py_TPFLAGS_TYPE_SUBCLASS) &&
        PyType_FastSubclass(reinterpret_cast<PyTypeObject*>(type), Py_TPFLAGS_BASE_EXC_SUBCLASS);
    if (is_exception_class) {
        PyErr_SetObject(type, argument);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    Py_DECREF(argument);
    Py_DECREF(type);
    return true;
}

void raise_into_interpreter(PyErr error) {
    if (PyObject* instance = error.take_bare_instance()) {
        PyErr_SetRaisedException(instance);
        return;
    }
    PyErr::Inner* inner = error.inner();
    if (inner == nullptr) {
        raise_fault(kInvalidState);
    }
    if (auto* normalized = std::get_if<NormalizedState>(&inner->state)) {
        PyErr_SetRaisedException(std::exchange(normalized->instance, nullptr));
        inner->state = std::monostate{};
        return;
    }
    if (auto* lazy = std::get_if<LazyState>(&inner->state)) {
        // A message that cannot be made leaves the interpreter's MemoryError
        // raised in its place, as the interpreter's own calls do.
        (void)raise_recipe(*lazy);
        inner->state = std::monostate{};
        return;
    }
    raise_fault(kInvalidState);
}

std::optional<PyErr> take_pending() {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) {
        return std::nullopt;
    }
    OwnedRef exception = OwnedRef::steal(raised);
    resume_if_panic(exception);
    return PyErr::from_instance(exception.release());
}

namespace {
PyErr nothing_was_set() { return PyErr::new_lazy(PyExc_SystemError, "attempted to fetch exception but none was set"); }
}  // namespace

PyErr fetch_pending() {
    std::optional<PyErr> taken = take_pending();
    if (taken.has_value()) {
        return std::move(*taken);
    }
    return nothing_was_set();
}

void report_unraisable(PyErr error, PyObject* context) {
    raise_into_interpreter(std::move(error));
    PyErr_WriteUnraisable(context);
}

namespace {

// The once-only step: turns the content of the slot into an instance. Entered
// detached; it attaches once the content is out of the slot, through the same
// checks as any attachment from a depth of zero, and so returns attached. The
// lock is taken back once, by closing the caller's detached section: which
// call re-takes it is not observable, the checks are.
void normalize_once(PyErr::Inner& inner, attach::DetachedSection& detached) {
    PyErrState content = std::exchange(inner.state, std::monostate{});
    if (std::holds_alternative<std::monostate>(content)) {
        raise_fault("Cannot normalize a PyErr while already normalizing it.");
    }
    // A fault here unwinds detached: the content is released through the
    // pending-release list, and the section reattaches on the way out.
    attach::check_attach_from_zero(detached.depth());
    detached.close();
    PyObject* instance = nullptr;
    if (auto* lazy = std::get_if<LazyState>(&content)) {
        if (!raise_recipe(*lazy)) {
            fail_api_call();
        }
        instance = PyErr_GetRaisedException();
        if (instance == nullptr) {
            raise_fault("exception missing after writing to the interpreter");
        }
    } else {
        instance = std::exchange(std::get<NormalizedState>(content).instance, nullptr);
    }
    inner.state = NormalizedState{instance};
}

PyObject* normalized_instance(PyErr::Inner& inner) {
    if (auto* normalized = std::get_if<NormalizedState>(&inner.state)) {
        return normalized->instance;
    }
    raise_fault(kUnreachable);
}

}  // namespace

namespace {

constexpr const char* kReentrantNormalization = "Re-entrant normalization of PyErrState detected";

// Normalisation of a record that began lazy, once its flag was found not
// completed.
PyObject* normalize_inner(PyErr::Inner& inner) {
    if (inner.once.claimed_by_this_thread()) {
        raise_fault(kReentrantNormalization);
    }
    // Wait without the interpreter lock: the thread running the step needs it.
    attach::DetachedSection detached;
    if (inner.once.claim(kReentrantNormalization, "Once instance has previously been poisoned")) {
        try {
            normalize_once(inner, detached);
        } catch (...) {
            inner.once.poison();
            throw;
        }
        inner.once.complete();
    }
    detached.close();
    return normalized_instance(inner);
}

}  // namespace

PyObject* ensure_normalized(PyErr& error) {
    if (PyObject* instance = error.bare_instance()) {
        return instance;
    }
    PyErr::Inner* inner = error.inner();
    if (inner == nullptr) {
        raise_fault(kUnreachable);
    }
    if (inner->once.done()) {
        return normalized_instance(*inner);
    }
    return normalize_inner(*inner);
}

PyErr normalized_new_lazy(PyObject* type, std::string_view message) {
    LazyState lazy;
    lazy.type = type;
    lazy.message = message;
    // The once-only step's own order: the lock given up, the attach checks
    // made detached (a fault there reattaches on the way out), the lock
    // taken back, then the recipe raised and its instance taken.
    attach::DetachedSection detached;
    attach::check_attach_from_zero(detached.depth());
    detached.close();
    if (!raise_recipe(lazy)) {
        fail_api_call();
    }
    PyObject* instance = PyErr_GetRaisedException();
    if (instance == nullptr) {
        raise_fault("exception missing after writing to the interpreter");
    }
    return PyErr::from_instance(instance);
}

PyObject* exception_type(PyErr& error) {
    return Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(ensure_normalized(error))));
}

PyObject* exception_value(PyErr& error) { return ensure_normalized(error); }

PyObject* exception_traceback(PyErr& error) { return PyException_GetTraceback(ensure_normalized(error)); }

std::optional<PyErr> exception_cause(PyErr& error) {
    PyObject* cause = PyException_GetCause(ensure_normalized(error));
    if (cause == nullptr) {
        return std::nullopt;
    }
    return PyErr::from_object(cause);
}

void set_exception_cause(PyErr& error, std::optional<PyErr> cause) {
    PyObject* instance = ensure_normalized(error);
    PyObject* cause_value = cause.has_value() ? into_exception_value(std::move(*cause)) : nullptr;
    PyException_SetCause(instance, cause_value);
}

PyObject* into_exception_value(PyErr error) {
    if (PyObject* instance = error.take_bare_instance()) {
        return instance;
    }
    ensure_normalized(error);
    auto& normalized = std::get<NormalizedState>(error.inner()->state);
    return std::exchange(normalized.instance, nullptr);
}

bool matches_type(PyErr& error, PyObject* type) {
    OwnedRef own_type = OwnedRef::steal(exception_type(error));
    return PyErr_GivenExceptionMatches(own_type.get(), type) != 0;
}

}  // namespace zorvalind
