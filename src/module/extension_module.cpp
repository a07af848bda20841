// One-time module creation and the claim of the owning interpreter.
#include "module/extension_module.hpp"

#include "attach/attach.hpp"
#include "attach/owned_ref.hpp"
#include "module/mysum.hpp"
#include "platform.hpp"
#include "types/registration.hpp"

namespace zorvalind {

namespace {

#if defined(Py_LIMITED_API)
// The stable ABI's version, which every release from 3.2 on accepts.
constexpr int kApiVersion = PYTHON_ABI_VERSION;  // 3
static_assert(kApiVersion == 3);
#else
constexpr int kApiVersion = PYTHON_API_VERSION;  // 1013
static_assert(kApiVersion == 1013);
#endif

ExtensionModule g_zorvalind_module{
    module_initialiser,
    PyModuleDef{PyModuleDef_HEAD_INIT, "_zorvalind", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr},
    -1,
    {},
};

// Set once the exit function is in the interpreter's table; read and written
// with the interpreter lock held (module creation runs attached).
bool g_exit_watch_registered = false;

// Runs at the very end of the runtime's finalisation, without an interpreter:
// only the module's own memory may be touched. The deferred releases name
// objects of the finished runtime, so they are dropped unreleased.
void on_runtime_finalised() noexcept {
    detail::g_runtime_finalised.store(true, std::memory_order_release);
    attach::abandon_pending_releases();
}

// Without the exit function, a later runtime whose interpreter reuses the
// owner's ID would be handed the finished runtime's objects: no module is
// created then.
ZORVALIND_COLD Status watch_runtime_finalisation() {
    if (g_exit_watch_registered) {
        return Status::success();
    }
    if (Py_AtExit(on_runtime_finalised) != 0) {
        return PyErr::new_lazy(PyExc_ImportError, kExitTableFullRefusal);
    }
    g_exit_watch_registered = true;
    return Status::success();
}

ZORVALIND_COLD Result<PyObject*> create_module(ExtensionModule& record) {
    Status watched = watch_runtime_finalisation();
    if (!watched.ok()) {
        return watched.take_error();
    }
    PyObject* created = PyModule_Create2(&record.definition, kApiVersion);
    if (created == nullptr) {
        return fetch_pending();
    }
    OwnedRef module = OwnedRef::steal(created);
    Status initialised = record.initialiser(module.get());
    if (!initialised.ok()) {
        return initialised.take_error();
    }
    return module.release();
}

}  // namespace

namespace detail {
std::atomic<bool> g_runtime_finalised{false};
}  // namespace detail

PyObject* refuse_after_finalisation() noexcept {
    PyErr_SetString(PyExc_ImportError, kReinitialisationRefusal);
    return nullptr;
}

ExtensionModule& zorvalind_module() { return g_zorvalind_module; }

Status module_initialiser(PyObject* module) { return register_function(module, &mysum_method); }

Result<PyObject*> obtain_module(ExtensionModule& record) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        return fetch_pending();
    }
    std::int64_t expected = -1;
    if (!record.owner_interpreter.compare_exchange_strong(expected, id, std::memory_order_seq_cst) && expected != id) {
        return PyErr::new_lazy(PyExc_ImportError, kSubinterpreterRefusal);
    }
    PyObject* module = nullptr;
    if (record.module_cell.is_set()) {
        module = record.module_cell.get();
    } else {
        Result<PyObject*> created = record.module_cell.get_or_try_init([&record] { return create_module(record); });
        if (!created.ok()) {
            return created.take_error();
        }
        module = created.value();
    }
    return Py_NewRef(module);
}

}  // namespace zorvalind
