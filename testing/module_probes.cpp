// Probes of function registration, __all__ and module records.
#include <atomic>
#include <string>

#include "conv/int64.hpp"
#include "err/texts.hpp"
#include "fault/panic.hpp"
#include "full_api.hpp"
#include "module/extension_module.hpp"
#include "probes.hpp"
#include "types/registration.hpp"

using namespace zorvalind;
using namespace zorvalind::testing;

namespace {

constexpr const char* kModuleRecordCapsule = "zorvalind_testing.module_record";

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
        PyThreadState* sub_state = new_legacy_subinterpreter(main_state);
        if (sub_state == nullptr) return PyErr::new_lazy(PyExc_RuntimeError, "could not create a subinterpreter");
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
        end_subinterpreter(sub_state, main_state);
        if (!failed) return none();
        return text_result(outcome);
    });
}

}  // namespace

namespace zorvalind::testing {

void end_subinterpreter(PyThreadState* sub_state, PyThreadState* main_state) {
    Py_EndInterpreter(sub_state);
    PyThreadState_Swap(main_state);
}

std::span<const PyMethodDef> module_probes() {
    static const PyMethodDef probes[] = {
        {"register_probe", t_register_probe, METH_O, nullptr},
        {"get_or_create_all", t_get_or_create_all, METH_O, nullptr},
        {"new_module_record", t_new_module_record, METH_NOARGS, nullptr},
        {"obtain_module", t_obtain_module, METH_O, nullptr},
        {"module_record_owner", t_module_record_owner, METH_O, nullptr},
        {"set_probe_failures", t_set_probe_failures, METH_O, nullptr},
        {"probe_creations", t_probe_creations, METH_NOARGS, nullptr},
        {"obtain_in_subinterpreter", t_obtain_in_subinterpreter, METH_O, nullptr},
    };
    return probes;
}

}  // namespace zorvalind::testing
