// Probes of pending-error records and the texts of the error model.
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "attach/attach.hpp"
#include "err/objects.hpp"
#include "err/pyerr.hpp"
#include "err/texts.hpp"
#include "fault/internal_fault.hpp"
#include "probes.hpp"

using namespace zorvalind;
using namespace zorvalind::testing;

namespace {

constexpr const char* kRecordCapsule = "zorvalind_testing.record";

struct RecordBox {
    std::optional<PyErr> error;
    OwnedRef keep_alive;  // the exception type of a lazy record made here
};

void destroy_record(PyObject* capsule) {
    delete static_cast<RecordBox*>(PyCapsule_GetPointer(capsule, kRecordCapsule));
}

PyObject* wrap_record(PyErr error, OwnedRef keep_alive = {}) {
    auto* box = new RecordBox{std::move(error), std::move(keep_alive)};
    PyObject* capsule = PyCapsule_New(box, kRecordCapsule, destroy_record);
    if (capsule == nullptr) {
        delete box;
    }
    return capsule;
}

RecordBox* record_of(PyObject* capsule) {
    auto* box = static_cast<RecordBox*>(PyCapsule_GetPointer(capsule, kRecordCapsule));
    if (box != nullptr && !box->error.has_value()) {
        PyErr_SetString(PyExc_ValueError, "record was consumed");
        return nullptr;
    }
    return box;
}

PyObject* t_fetch_pending_when_none(PyObject*, PyObject*) {
    return run_at_boundary([]() -> Outcome { return fetch_pending(); });
}

PyObject* t_take_pending_when_none(PyObject*, PyObject*) {
    return run_at_boundary([]() -> Outcome { return PyBool_FromLong(take_pending().has_value() ? 1 : 0); });
}

// Calls fn(); takes what it raised back into a record and raises it again.
PyObject* t_roundtrip(PyObject*, PyObject* fn) {
    return run_at_boundary([&]() -> Outcome {
        PyObject* result = PyObject_CallNoArgs(fn);
        if (result != nullptr) return result;
        return fetch_pending();
    });
}

PyObject* t_raise_from_object(PyObject*, PyObject* object) {
    return run_at_boundary([&]() -> Outcome { return PyErr::from_object(Py_NewRef(object)); });
}

PyObject* t_new_lazy_record(PyObject*, PyObject* args) {
    return run_at_boundary([&]() -> Outcome {
        PyObject* type = nullptr;
        const char* message = nullptr;
        if (!PyArg_ParseTuple(args, "Os", &type, &message)) return parse_failed();
        PyObject* record = wrap_record(PyErr::new_lazy_copied(type, message), OwnedRef::borrow(type));
        if (record == nullptr) return fetch_pending();
        return record;
    });
}

PyObject* t_record_from_object(PyObject*, PyObject* object) {
    return run_at_boundary([&]() -> Outcome {
        PyObject* record = wrap_record(PyErr::from_object(Py_NewRef(object)));
        if (record == nullptr) return fetch_pending();
        return record;
    });
}

// A lazy record whose recipe faults: its normalisation is cut short.
class FaultingRecipe final : public ErrorRecipe {
public:
    Output run() override { raise_fault("recipe fault"); }
};

PyObject* t_faulting_record(PyObject*, PyObject*) {
    return run_at_boundary([]() -> Outcome {
        PyObject* record = wrap_record(PyErr::from_recipe(std::make_unique<FaultingRecipe>()));
        if (record == nullptr) return fetch_pending();
        return record;
    });
}

PyObject* t_cast_error_record(PyObject*, PyObject* args) {
    return run_at_boundary([&]() -> Outcome {
        PyObject* object = nullptr;
        PyObject* target = nullptr;
        if (!PyArg_ParseTuple(args, "OO", &object, &target)) return parse_failed();
        PyObject* record = wrap_record(CastError(object, Py_NewRef(target)));
        if (record == nullptr) return fetch_pending();
        return record;
    });
}

template <class Examine>
PyObject* examine_record(PyObject* capsule, Examine examine) {
    return run_at_boundary([&]() -> Outcome {
        RecordBox* box = record_of(capsule);
        if (box == nullptr) return fetch_pending();
        return examine(*box->error);
    });
}

PyObject* t_record_value(PyObject*, PyObject* capsule) {
    return examine_record(capsule, [](PyErr& error) -> Outcome { return Py_NewRef(exception_value(error)); });
}

PyObject* t_record_type(PyObject*, PyObject* capsule) {
    return examine_record(capsule, [](PyErr& error) -> Outcome { return exception_type(error); });
}

PyObject* t_record_traceback(PyObject*, PyObject* capsule) {
    return examine_record(capsule, [](PyErr& error) -> Outcome {
        PyObject* traceback = exception_traceback(error);
        return traceback != nullptr ? traceback : none();
    });
}

PyObject* t_record_cause(PyObject*, PyObject* capsule) {
    return examine_record(capsule, [](PyErr& error) -> Outcome {
        std::optional<PyErr> cause = exception_cause(error);
        return cause.has_value() ? into_exception_value(std::move(*cause)) : none();
    });
}

PyObject* t_record_set_cause(PyObject*, PyObject* args) {
    PyObject* capsule = nullptr;
    PyObject* cause = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &capsule, &cause)) return nullptr;
    return examine_record(capsule, [cause](PyErr& error) -> Outcome {
        std::optional<PyErr> given;
        if (cause != Py_None) given.emplace(PyErr::from_object(Py_NewRef(cause)));
        set_exception_cause(error, std::move(given));
        return none();
    });
}

PyObject* t_record_matches(PyObject*, PyObject* args) {
    PyObject* capsule = nullptr;
    PyObject* type = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &capsule, &type)) return nullptr;
    return examine_record(
        capsule, [type](PyErr& error) -> Outcome { return PyBool_FromLong(matches_type(error, type) ? 1 : 0); });
}

PyObject* t_record_debug_text(PyObject*, PyObject* capsule) {
    return examine_record(capsule, [](PyErr& error) -> Outcome {
        const std::string text = debug_text(error);
        return new_str(text).release();
    });
}

// Raises the record (consuming it).
PyObject* t_record_raise(PyObject*, PyObject* capsule) {
    return examine_record(capsule, [capsule](PyErr&) -> Outcome {
        RecordBox* box = record_of(capsule);
        PyErr error = std::move(*box->error);
        box->error.reset();
        return error;
    });
}

// Drops the record as a thread that is not attached would.
PyObject* t_record_drop_detached(PyObject*, PyObject* capsule) {
    return examine_record(capsule, [capsule](PyErr&) -> Outcome {
        RecordBox* box = record_of(capsule);
        const std::int64_t saved = attach::attach_depth();
        attach::set_attach_depth(0);
        box->error.reset();
        attach::set_attach_depth(saved);
        return none();
    });
}

// Examines the record's value from a native thread that is not attached (as
// debug_text may be called); returns the debug text.
PyObject* t_record_debug_text_from_native_thread(PyObject*, PyObject* capsule) {
    return examine_record(capsule, [](PyErr& error) -> Outcome {
        std::string text;
        attach::DetachedSection detached;
        std::thread([&] { text = debug_text(error); }).join();
        detached.close();
        return new_str(text).release();
    });
}

PyObject* t_display_text(PyObject*, PyObject* object) {
    return run_at_boundary([&]() -> Outcome { return text_result(object_display_text(object)); });
}

PyObject* t_repr_text(PyObject*, PyObject* object) {
    return run_at_boundary([&]() -> Outcome { return text_result(object_repr_text(object)); });
}

PyObject* t_lossy_text(PyObject*, PyObject* object) {
    return run_at_boundary([&]() -> Outcome { return text_result(unicode_text_lossy(object)); });
}

PyObject* t_quoted_literal(PyObject*, PyObject* object) {
    return run_at_boundary([&]() -> Outcome {
        Result<std::string_view> text = unicode_text(object);
        if (!text.ok()) return text.take_error();
        return text_result(quoted_literal(text.value()));
    });
}

PyObject* t_unicode_text(PyObject*, PyObject* object) {
    return run_at_boundary([&]() -> Outcome {
        Result<std::string_view> text = unicode_text(object);
        if (!text.ok()) return text.take_error();
        return text_result(std::string(text.value()));
    });
}

PyObject* t_format_traceback(PyObject*, PyObject* traceback) {
    return run_at_boundary([&]() -> Outcome {
        Result<std::string> text = format_traceback(traceback);
        if (!text.ok()) return text.take_error();
        return text_result(text.value());
    });
}

PyObject* t_cast_error_message(PyObject*, PyObject* args) {
    return run_at_boundary([&]() -> Outcome {
        PyObject* failed_type = nullptr;
        PyObject* target = nullptr;
        if (!PyArg_ParseTuple(args, "OO", &failed_type, &target)) return parse_failed();
        return text_result(cast_error_message(failed_type, target));
    });
}

}  // namespace

namespace zorvalind::testing {

std::span<const PyMethodDef> err_probes() {
    static const PyMethodDef probes[] = {
        {"fetch_pending_when_none", t_fetch_pending_when_none, METH_NOARGS, nullptr},
        {"take_pending_when_none", t_take_pending_when_none, METH_NOARGS, nullptr},
        {"roundtrip", t_roundtrip, METH_O, nullptr},
        {"raise_from_object", t_raise_from_object, METH_O, nullptr},
        {"new_lazy_record", t_new_lazy_record, METH_VARARGS, nullptr},
        {"record_from_object", t_record_from_object, METH_O, nullptr},
        {"cast_error_record", t_cast_error_record, METH_VARARGS, nullptr},
        {"faulting_record", t_faulting_record, METH_NOARGS, nullptr},
        {"record_value", t_record_value, METH_O, nullptr},
        {"record_type", t_record_type, METH_O, nullptr},
        {"record_traceback", t_record_traceback, METH_O, nullptr},
        {"record_cause", t_record_cause, METH_O, nullptr},
        {"record_set_cause", t_record_set_cause, METH_VARARGS, nullptr},
        {"record_matches", t_record_matches, METH_VARARGS, nullptr},
        {"record_debug_text", t_record_debug_text, METH_O, nullptr},
        {"record_debug_text_from_native_thread", t_record_debug_text_from_native_thread, METH_O, nullptr},
        {"record_raise", t_record_raise, METH_O, nullptr},
        {"record_drop_detached", t_record_drop_detached, METH_O, nullptr},
        {"display_text", t_display_text, METH_O, nullptr},
        {"repr_text", t_repr_text, METH_O, nullptr},
        {"lossy_text", t_lossy_text, METH_O, nullptr},
        {"quoted_literal", t_quoted_literal, METH_O, nullptr},
        {"unicode_text", t_unicode_text, METH_O, nullptr},
        {"format_traceback", t_format_traceback, METH_O, nullptr},
        {"cast_error_message", t_cast_error_message, METH_VARARGS, nullptr},
    };
    return probes;
}

}  // namespace zorvalind::testing
