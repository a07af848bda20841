// _zorvalind_testing: a test-only module built from the same core as the
// shipped one. It reaches the internals that Python cannot: attach depth,
// deferred releases, once-cells, pending-error records and their texts, module
// records, the binder over arbitrary descriptors, and the fault boundary.
// Never installed and never shipped.
#include <Python.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "args/binding.hpp"
#include "attach/attach.hpp"
#include "attach/once_cell.hpp"
#include "conv/int64.hpp"
#include "err/pyerr.hpp"
#include "err/texts.hpp"
#include "fault/boundary.hpp"
#include "fault/panic.hpp"
#include "module/extension_module.hpp"
#include "types/interp.hpp"
#include "types/owned_ref.hpp"
#include "types/registration.hpp"

using namespace zorvalind;

namespace zorvalind::testing {
int add_fault_injection_probes(PyObject* module);
}

namespace {

using Outcome = Result<PyObject*>;

PyObject* none() { return Py_NewRef(Py_None); }

// Turns a Python exception raised by the argument parsing into a PyErr.
Outcome parse_failed() { return fetch_pending(); }

// ---- capsules ---------------------------------------------------------------

constexpr const char* kRecordCapsule = "zorvalind_testing.record";
constexpr const char* kCellCapsule = "zorvalind_testing.cell";
constexpr const char* kModuleRecordCapsule = "zorvalind_testing.module_record";
constexpr const char* kDescriptorCapsule = "zorvalind_testing.descriptor";

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

struct CellBox {
    attach::OnceCell<PyObject*> cell;
};

void destroy_cell(PyObject* capsule) {
    auto* box = static_cast<CellBox*>(PyCapsule_GetPointer(capsule, kCellCapsule));
    if (box->cell.is_set()) {
        attach::release(box->cell.get());
    }
    delete box;
}

// ---- attachment -------------------------------------------------------------

PyObject* t_attach_depth(PyObject*, PyObject*) {
    return run_at_boundary([]() -> Outcome { return from_int64(attach::attach_depth()); });
}

// Depth of the calling thread after this entry returns.
PyObject* t_set_attach_depth_after_return(PyObject*, PyObject* arg) {
    return run_at_boundary([&]() -> Outcome {
        const long long depth = PyLong_AsLongLong(arg);
        if (depth == -1 && PyErr_Occurred()) return parse_failed();
        attach::set_attach_depth(depth + 1);
        return none();
    });
}

PyObject* t_pending_release_count(PyObject*, PyObject*) {
    return run_at_boundary(
        []() -> Outcome { return from_int64(static_cast<std::int64_t>(attach::pending_release_count())); });
}

// Takes a new reference to each argument and releases it as a thread that is
// not attached would: the decrements wait for the next attachment.
PyObject* t_defer_release(PyObject*, PyObject* args) {
    return run_at_boundary([&]() -> Outcome {
        const std::int64_t saved = attach::attach_depth();
        attach::set_attach_depth(0);
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) {
            attach::release(Py_NewRef(PyTuple_GET_ITEM(args, i)));
        }
        attach::set_attach_depth(saved);
        return none();
    });
}

// Releases a new reference from a native thread that never attaches.
PyObject* t_release_on_foreign_thread(PyObject*, PyObject* arg) {
    return run_at_boundary([&]() -> Outcome {
        PyObject* object = Py_NewRef(arg);
        attach::DetachedSection detached;
        std::thread([object] { attach::release(object); }).join();
        detached.close();
        return none();
    });
}

// Calls fn() from inside a detached-then-attached section: the depth seen by
// fn comes from PyGILState_Ensure.
PyObject* t_call_detached_then_attached(PyObject*, PyObject* fn) {
    return run_at_boundary([&]() -> Outcome {
        attach::DetachedSection detached;
        attach::Attachment attachment = attach::Attachment::acquire();
        PyObject* result = PyObject_CallNoArgs(fn);
        attachment.end();
        detached.close();
        if (result == nullptr) return fetch_pending();
        return result;
    });
}

// ---- once-cells ---------------------------------------------------------------

PyObject* t_new_once_cell(PyObject*, PyObject*) {
    return run_at_boundary([]() -> Outcome {
        auto* box = new CellBox;
        PyObject* capsule = PyCapsule_New(box, kCellCapsule, destroy_cell);
        if (capsule == nullptr) {
            delete box;
            return fetch_pending();
        }
        return capsule;
    });
}

CellBox* cell_of(PyObject* capsule) { return static_cast<CellBox*>(PyCapsule_GetPointer(capsule, kCellCapsule)); }

// once_cell_get_or_init(cell, init): a Python exception from init is an
// internal fault (the plain form has no failure value).
PyObject* t_once_cell_get_or_init(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return run_at_boundary([&]() -> Outcome {
        if (nargs != 2) return PyErr::new_lazy(PyExc_TypeError, "expected (cell, init)");
        CellBox* box = cell_of(args[0]);
        if (box == nullptr) return fetch_pending();
        PyObject* init = args[1];
        PyObject* value = box->cell.get_or_init([init] {
            PyObject* made = PyObject_CallNoArgs(init);
            if (made == nullptr) {
                PyErr error = fetch_pending();
                raise_fault_owned("once-cell initialiser failed: " + debug_text(error));
            }
            return made;
        });
        return Py_NewRef(value);
    });
}

PyObject* t_once_cell_get_or_try_init(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return run_at_boundary([&]() -> Outcome {
        if (nargs != 2) return PyErr::new_lazy(PyExc_TypeError, "expected (cell, init)");
        CellBox* box = cell_of(args[0]);
        if (box == nullptr) return fetch_pending();
        PyObject* init = args[1];
        Result<PyObject*> value = box->cell.get_or_try_init([init]() -> Result<PyObject*> {
            PyObject* made = PyObject_CallNoArgs(init);
            if (made == nullptr) return fetch_pending();
            return made;
        });
        if (!value.ok()) return value.take_error();
        return Py_NewRef(value.value());
    });
}

PyObject* t_once_cell_is_set(PyObject*, PyObject* capsule) {
    return run_at_boundary([&]() -> Outcome {
        CellBox* box = cell_of(capsule);
        if (box == nullptr) return fetch_pending();
        return PyBool_FromLong(box->cell.is_set() ? 1 : 0);
    });
}

// ---- pending-error records ------------------------------------------------------

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

// ---- texts --------------------------------------------------------------------

PyObject* text_result(const std::string& text) { return new_str(text).release(); }

PyObject* t_display_text(PyObject*, PyObject* object) {
    return run_at_boundary([&]() -> Outcome { return text_result(object_display_text(object)); });
}

PyObject* t_repr_text(PyObject*, PyObject* object) {
    return run_at_boundary([&]() -> Outcome { return text_result(object_repr_text(object)); });
}

PyObject* t_lossy_text(PyObject*, PyObject* object) {
    return run_at_boundary([&]() -> Outcome { return text_result(unicode_text_lossy(object)); });
}

PyObject* t_decode_lossy(PyObject*, PyObject* bytes) {
    return run_at_boundary([&]() -> Outcome {
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(bytes, &data, &size) == -1) return fetch_pending();
        const std::string text = decode_utf8_lossy(std::string_view(data, static_cast<std::size_t>(size)));
        PyObject* result = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
        if (result == nullptr) return fetch_pending();
        return result;
    });
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

// ---- registration and module records ----------------------------------------------

PyObject* probe_function(PyObject*, PyObject*) { return PyUnicode_FromString("probe called"); }

PyMethodDef probe_method{"probe", probe_function, METH_NOARGS, "probe()\n--\n\nA registered probe."};

PyObject* t_register_probe(PyObject*, PyObject* module) {
    return run_at_boundary([&]() -> Outcome {
        Status registered = register_function(module, &probe_method);
        if (!registered.ok()) return registered.take_error();
        return none();
    });
}

PyObject* t_get_or_create_all(PyObject*, PyObject* module) {
    return run_at_boundary([&]() -> Outcome {
        Result<OwnedRef> all = get_or_create_all(module);
        if (!all.ok()) return all.take_error();
        return all.value().release();
    });
}

std::atomic<int> g_probe_failures{0};
std::atomic<int> g_probe_creations{0};

Status probe_initialiser(PyObject* module) {
    if (g_probe_failures.load() > 0) {
        g_probe_failures.fetch_sub(1);
        return PyErr::new_lazy(PyExc_ValueError, "probe initialiser failed");
    }
    g_probe_creations.fetch_add(1);
    return register_function(module, &probe_method);
}

// Module records are never freed: a created module keeps pointing at its
// definition for the rest of the process.
PyObject* t_new_module_record(PyObject*, PyObject*) {
    return run_at_boundary([]() -> Outcome {
        auto* record = new ExtensionModule{
            probe_initialiser,
            PyModuleDef{PyModuleDef_HEAD_INIT, "_zorvalind_probe", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr},
            -1,
            {},
        };
        PyObject* capsule = PyCapsule_New(record, kModuleRecordCapsule, nullptr);
        if (capsule == nullptr) return fetch_pending();
        return capsule;
    });
}

ExtensionModule* module_record_of(PyObject* capsule) {
    return static_cast<ExtensionModule*>(PyCapsule_GetPointer(capsule, kModuleRecordCapsule));
}

PyObject* t_obtain_module(PyObject*, PyObject* capsule) {
    return run_at_boundary([&]() -> Outcome {
        ExtensionModule* record = module_record_of(capsule);
        if (record == nullptr) return fetch_pending();
        return obtain_module(*record);
    });
}

PyObject* t_module_record_owner(PyObject*, PyObject* capsule) {
    return run_at_boundary([&]() -> Outcome {
        ExtensionModule* record = module_record_of(capsule);
        if (record == nullptr) return fetch_pending();
        return from_int64(record->owner_interpreter.load());
    });
}

PyObject* t_set_probe_failures(PyObject*, PyObject* arg) {
    return run_at_boundary([&]() -> Outcome {
        g_probe_failures.store(static_cast<int>(PyLong_AsLong(arg)));
        return none();
    });
}

PyObject* t_probe_creations(PyObject*, PyObject*) {
    return run_at_boundary([]() -> Outcome { return from_int64(g_probe_creations.load()); });
}

// Runs obtain_module(record) inside a new subinterpreter with the legacy
// configuration; returns None on success or "<Type>: <message>".
PyObject* t_obtain_in_subinterpreter(PyObject*, PyObject* capsule) {
    return run_at_boundary([&]() -> Outcome {
        ExtensionModule* record = module_record_of(capsule);
        if (record == nullptr) return fetch_pending();
        // The PanicException type is process-wide: make it here, in the main
        // interpreter, rather than inside the short-lived one.
        (void)panic_exception_type();
        PyThreadState* main_state = PyThreadState_Get();
        PyInterpreterConfig config = _PyInterpreterConfig_LEGACY_INIT;
        PyThreadState* sub_state = nullptr;
        PyStatus status = Py_NewInterpreterFromConfig(&sub_state, &config);
        if (PyStatus_Exception(status)) {
            PyThreadState_Swap(main_state);
            return PyErr::new_lazy(PyExc_RuntimeError, "could not create a subinterpreter");
        }
        std::string outcome;
        bool failed = false;
        {
            Result<PyObject*> obtained = obtain_module(*record);
            if (obtained.ok()) {
                Py_DECREF(obtained.value());
            } else {
                failed = true;
                PyErr error = obtained.take_error();
                OwnedRef type = OwnedRef::steal(exception_type(error));
                OwnedRef name = OwnedRef::steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(type.get())));
                outcome = object_display_text(name.get()) + ": " + object_display_text(exception_value(error));
            }
        }
        Py_EndInterpreter(sub_state);
        PyThreadState_Swap(main_state);
        if (!failed) return none();
        return text_result(outcome);
    });
}

// ---- faults -------------------------------------------------------------------

PyObject* t_fault(PyObject*, PyObject* kind) {
    return run_at_boundary([&]() -> Outcome {
        const char* text = PyUnicode_AsUTF8(kind);
        if (text == nullptr) return fetch_pending();
        const std::string which(text);
        if (which == "owned") raise_fault_owned("owned fault text " + std::to_string(42));
        if (which == "static") raise_fault("static fault text");
        if (which == "other") raise_fault_value(std::any(17));
        return PyErr::new_lazy(PyExc_ValueError, "kind must be owned, static or other");
    });
}

PyObject* t_fault_in_detached_section(PyObject*, PyObject*) {
    return run_at_boundary([]() -> Outcome {
        attach::DetachedSection detached;
        raise_fault("fault while detached");
    });
}

PyObject* t_fault_in_once_initialiser(PyObject*, PyObject* capsule) {
    return run_at_boundary([&]() -> Outcome {
        CellBox* box = cell_of(capsule);
        if (box == nullptr) return fetch_pending();
        (void)box->cell.get_or_init([]() -> PyObject* { raise_fault("fault in once-cell initialiser"); });
        return none();
    });
}

// A record whose raising faults: the fault happens after the guard.
class FaultingRecipe final : public ErrorRecipe {
public:
    Output run() override { raise_fault("fault while raising a record"); }
};

PyObject* t_fault_outside_guard(PyObject*, PyObject*) {
    return run_at_boundary([]() -> Outcome { return PyErr::from_recipe(std::make_unique<FaultingRecipe>()); });
}

PyObject* t_foreign_exception(PyObject*, PyObject*) {
    return run_at_boundary([]() -> Outcome { throw std::runtime_error("not an internal fault"); });
}

// Sets the depth, then enters a nested boundary.
PyObject* t_enter_with_depth(PyObject*, PyObject* arg) {
    const long long depth = PyLong_AsLongLong(arg);
    if (depth == -1 && PyErr_Occurred()) return nullptr;
    const std::int64_t saved = attach::attach_depth();
    attach::set_attach_depth(depth);
    PyObject* result = run_at_boundary([]() -> Outcome { return none(); });
    attach::set_attach_depth(saved);
    return result;
}

// ---- binder ---------------------------------------------------------------------

struct DescriptorBox {
    std::string function_name;
    std::optional<std::string> class_name;
    std::vector<std::string> positional_storage;
    std::vector<std::string> keyword_storage;
    std::vector<std::string_view> positional;
    std::vector<KeywordOnlyParameter> keyword_only;
    ArgumentDescriptor descriptor{};
    std::size_t slot_count = 0;
};

void destroy_descriptor(PyObject* capsule) {
    delete static_cast<DescriptorBox*>(PyCapsule_GetPointer(capsule, kDescriptorCapsule));
}

PyObject* g_missing = nullptr;  // sentinel for an empty slot

Outcome bind_with(DescriptorBox& box, std::size_t slot_count, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
    std::vector<PyObject*> slots(std::max(slot_count, box.slot_count), nullptr);
    Status bound = bind_fastcall_arguments(box.descriptor, args, nargs, kwnames, slots.data(), slot_count);
    if (!bound.ok()) return bound.take_error();
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(box.slot_count));
    if (tuple == nullptr) return fetch_pending();
    for (std::size_t i = 0; i < box.slot_count; ++i) {
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), Py_NewRef(slots[i] ? slots[i] : g_missing));
    }
    return tuple;
}

PyObject* binder_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_at_boundary([&]() -> Outcome {
        auto* box = static_cast<DescriptorBox*>(PyCapsule_GetPointer(self, kDescriptorCapsule));
        if (box == nullptr) return fetch_pending();
        return bind_with(*box, box->slot_count, args, PyVectorcall_NARGS(nargs), kwnames);
    });
}

PyMethodDef binder_method{"binder", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(binder_call)),
                          METH_FASTCALL | METH_KEYWORDS, nullptr};

Result<std::vector<std::string>> text_list(PyObject* sequence) {
    std::vector<std::string> out;
    PyObject* fast = PySequence_Fast(sequence, "expected a sequence of str");
    if (fast == nullptr) return fetch_pending();
    OwnedRef owned = OwnedRef::steal(fast);
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast); ++i) {
        Result<std::string_view> text = unicode_text(PySequence_Fast_GET_ITEM(fast, i));
        if (!text.ok()) return text.take_error();
        out.emplace_back(text.value());
    }
    return out;
}

// make_binder(function_name, class_name, positional_names, positional_only_count,
//             required_positional_count, keyword_only_names, keyword_only_required)
PyObject* t_make_binder(PyObject*, PyObject* args) {
    return run_at_boundary([&]() -> Outcome {
        const char* function_name = nullptr;
        PyObject* class_name = nullptr;
        PyObject* positional = nullptr;
        Py_ssize_t positional_only = 0;
        Py_ssize_t required = 0;
        PyObject* keyword_names = nullptr;
        PyObject* keyword_required = nullptr;
        if (!PyArg_ParseTuple(args, "sOOnnOO", &function_name, &class_name, &positional, &positional_only, &required,
                              &keyword_names, &keyword_required)) {
            return parse_failed();
        }
        auto box = std::make_unique<DescriptorBox>();
        box->function_name = function_name;
        if (class_name != Py_None) {
            Result<std::string_view> text = unicode_text(class_name);
            if (!text.ok()) return text.take_error();
            box->class_name = std::string(text.value());
        }
        Result<std::vector<std::string>> names = text_list(positional);
        if (!names.ok()) return names.take_error();
        box->positional_storage = std::move(names.value());
        Result<std::vector<std::string>> kw_names = text_list(keyword_names);
        if (!kw_names.ok()) return kw_names.take_error();
        box->keyword_storage = std::move(kw_names.value());
        for (const std::string& name : box->positional_storage) box->positional.emplace_back(name);
        PyObject* flags = PySequence_Fast(keyword_required, "expected a sequence of bool");
        if (flags == nullptr) return fetch_pending();
        OwnedRef owned_flags = OwnedRef::steal(flags);
        if (PySequence_Fast_GET_SIZE(flags) != static_cast<Py_ssize_t>(box->keyword_storage.size())) {
            return PyErr::new_lazy(PyExc_ValueError, "one required flag per keyword-only name");
        }
        for (std::size_t i = 0; i < box->keyword_storage.size(); ++i) {
            const int flag = PyObject_IsTrue(PySequence_Fast_GET_ITEM(flags, i));
            box->keyword_only.push_back(KeywordOnlyParameter{box->keyword_storage[i], flag == 1});
        }
        box->descriptor = ArgumentDescriptor{
            box->function_name,
            box->class_name.has_value() ? std::optional<std::string_view>(*box->class_name) : std::nullopt,
            box->positional,
            static_cast<std::size_t>(positional_only),
            static_cast<std::size_t>(required),
            box->keyword_only};
        box->slot_count = box->positional.size() + box->keyword_only.size();
        PyObject* capsule = PyCapsule_New(box.get(), kDescriptorCapsule, destroy_descriptor);
        if (capsule == nullptr) return fetch_pending();
        (void)box.release();  // the capsule owns the box now
        OwnedRef owned_capsule = OwnedRef::steal(capsule);
        PyObject* function = PyCMethod_New(&binder_method, capsule, nullptr, nullptr);
        if (function == nullptr) return fetch_pending();
        return function;
    });
}

// bind_with_slot_count(binder, slot_count, args_tuple, kwnames_tuple_or_None, kwvalues_tuple)
PyObject* t_bind_with_slot_count(PyObject*, PyObject* args) {
    return run_at_boundary([&]() -> Outcome {
        PyObject* binder = nullptr;
        Py_ssize_t slot_count = 0;
        if (!PyArg_ParseTuple(args, "On", &binder, &slot_count)) return parse_failed();
        PyObject* self = PyCFunction_GetSelf(binder);
        auto* box = static_cast<DescriptorBox*>(PyCapsule_GetPointer(self, kDescriptorCapsule));
        if (box == nullptr) return fetch_pending();
        return bind_with(*box, static_cast<std::size_t>(slot_count), nullptr, 0, nullptr);
    });
}

// vectorcall(callable, positional_tuple, kwnames_tuple_or_None, kwvalues_tuple):
// a fast call with any keyword-name objects, as a native caller may make it.
PyObject* t_vectorcall(PyObject*, PyObject* args) {
    return run_at_boundary([&]() -> Outcome {
        PyObject* callable = nullptr;
        PyObject* positional = nullptr;
        PyObject* kwnames = nullptr;
        PyObject* kwvalues = nullptr;
        if (!PyArg_ParseTuple(args, "OO!OO!", &callable, &PyTuple_Type, &positional, &kwnames, &PyTuple_Type,
                              &kwvalues)) {
            return parse_failed();
        }
        if (kwnames != Py_None && !PyTuple_Check(kwnames)) {
            return PyErr::new_lazy(PyExc_TypeError, "kwnames must be a tuple or None");
        }
        const Py_ssize_t nargs = PyTuple_GET_SIZE(positional);
        const Py_ssize_t nkw = kwnames == Py_None ? 0 : PyTuple_GET_SIZE(kwnames);
        if (PyTuple_GET_SIZE(kwvalues) != nkw) {
            return PyErr::new_lazy(PyExc_ValueError, "one value per keyword name");
        }
        std::vector<PyObject*> stack;
        for (Py_ssize_t i = 0; i < nargs; ++i) stack.push_back(PyTuple_GET_ITEM(positional, i));
        for (Py_ssize_t i = 0; i < nkw; ++i) stack.push_back(PyTuple_GET_ITEM(kwvalues, i));
        PyObject* result = PyObject_Vectorcall(callable, stack.data(), static_cast<std::size_t>(nargs),
                                               kwnames == Py_None ? nullptr : kwnames);
        if (result == nullptr) return fetch_pending();
        return result;
    });
}

// ---- conversion ------------------------------------------------------------------

PyObject* t_to_int64(PyObject*, PyObject* object) {
    return run_at_boundary([&]() -> Outcome {
        Result<std::int64_t> value = to_int64(object);
        if (!value.ok()) return value.take_error();
        return from_int64(value.value());
    });
}

PyObject* t_wrap_argument_error(PyObject*, PyObject* args) {
    return run_at_boundary([&]() -> Outcome {
        const char* name = nullptr;
        PyObject* exception = nullptr;
        if (!PyArg_ParseTuple(args, "sO", &name, &exception)) return parse_failed();
        return wrap_argument_error(name, PyErr::from_object(Py_NewRef(exception)));
    });
}

PyObject* t_panic_exception_type(PyObject*, PyObject*) {
    return run_at_boundary([]() -> Outcome { return Py_NewRef(panic_exception_type()); });
}

#define FAST(name) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name))

PyMethodDef testing_methods[] = {
    {"attach_depth", t_attach_depth, METH_NOARGS, nullptr},
    {"set_attach_depth_after_return", t_set_attach_depth_after_return, METH_O, nullptr},
    {"pending_release_count", t_pending_release_count, METH_NOARGS, nullptr},
    {"defer_release", t_defer_release, METH_VARARGS, nullptr},
    {"release_on_foreign_thread", t_release_on_foreign_thread, METH_O, nullptr},
    {"call_detached_then_attached", t_call_detached_then_attached, METH_O, nullptr},
    {"new_once_cell", t_new_once_cell, METH_NOARGS, nullptr},
    {"once_cell_get_or_init", FAST(t_once_cell_get_or_init), METH_FASTCALL, nullptr},
    {"once_cell_get_or_try_init", FAST(t_once_cell_get_or_try_init), METH_FASTCALL, nullptr},
    {"once_cell_is_set", t_once_cell_is_set, METH_O, nullptr},
    {"fetch_pending_when_none", t_fetch_pending_when_none, METH_NOARGS, nullptr},
    {"take_pending_when_none", t_take_pending_when_none, METH_NOARGS, nullptr},
    {"roundtrip", t_roundtrip, METH_O, nullptr},
    {"raise_from_object", t_raise_from_object, METH_O, nullptr},
    {"new_lazy_record", t_new_lazy_record, METH_VARARGS, nullptr},
    {"record_from_object", t_record_from_object, METH_O, nullptr},
    {"cast_error_record", t_cast_error_record, METH_VARARGS, nullptr},
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
    {"decode_lossy", t_decode_lossy, METH_O, nullptr},
    {"quoted_literal", t_quoted_literal, METH_O, nullptr},
    {"unicode_text", t_unicode_text, METH_O, nullptr},
    {"format_traceback", t_format_traceback, METH_O, nullptr},
    {"cast_error_message", t_cast_error_message, METH_VARARGS, nullptr},
    {"register_probe", t_register_probe, METH_O, nullptr},
    {"get_or_create_all", t_get_or_create_all, METH_O, nullptr},
    {"new_module_record", t_new_module_record, METH_NOARGS, nullptr},
    {"obtain_module", t_obtain_module, METH_O, nullptr},
    {"module_record_owner", t_module_record_owner, METH_O, nullptr},
    {"set_probe_failures", t_set_probe_failures, METH_O, nullptr},
    {"probe_creations", t_probe_creations, METH_NOARGS, nullptr},
    {"obtain_in_subinterpreter", t_obtain_in_subinterpreter, METH_O, nullptr},
    {"fault", t_fault, METH_O, nullptr},
    {"fault_in_detached_section", t_fault_in_detached_section, METH_NOARGS, nullptr},
    {"fault_in_once_initialiser", t_fault_in_once_initialiser, METH_O, nullptr},
    {"fault_outside_guard", t_fault_outside_guard, METH_NOARGS, nullptr},
    {"foreign_exception", t_foreign_exception, METH_NOARGS, nullptr},
    {"enter_with_depth", t_enter_with_depth, METH_O, nullptr},
    {"make_binder", t_make_binder, METH_VARARGS, nullptr},
    {"bind_with_slot_count", t_bind_with_slot_count, METH_VARARGS, nullptr},
    {"vectorcall", t_vectorcall, METH_VARARGS, nullptr},
    {"to_int64", t_to_int64, METH_O, nullptr},
    {"wrap_argument_error", t_wrap_argument_error, METH_VARARGS, nullptr},
    {"panic_exception_type", t_panic_exception_type, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef testing_definition{
    PyModuleDef_HEAD_INIT,
    "_zorvalind_testing",
    "Internals of the zorvalind core, for its tests.",
    0,
    testing_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__zorvalind_testing() {
    PyObject* module = PyModule_Create(&testing_definition);
    if (module == nullptr) return nullptr;
    if (g_missing == nullptr) {
        g_missing = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
        if (g_missing == nullptr) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    if (PyModule_AddObjectRef(module, "MISSING", g_missing) < 0 ||
        zorvalind::testing::add_fault_injection_probes(module) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
