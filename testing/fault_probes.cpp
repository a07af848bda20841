// Probes of the fault boundary, internal faults and the PanicException type.
#include <any>
#include <memory>
#include <stdexcept>
#include <string>

#include "attach/attach.hpp"
#include "fault/panic.hpp"
#include "probes.hpp"

using namespace zorvalind;
using namespace zorvalind::testing;

namespace {

PyObject* t_fault(PyObject*, PyObject* kind) {
    return run_at_boundary([&]() -> Outcome {
        const char* text = PyUnicode_AsUTF8AndSize(kind, nullptr);
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

PyObject* t_panic_exception_type(PyObject*, PyObject*) {
    return run_at_boundary([]() -> Outcome { return Py_NewRef(panic_exception_type()); });
}

}  // namespace

namespace zorvalind::testing {

std::span<const PyMethodDef> fault_probes() {
    static const PyMethodDef probes[] = {
        {"fault", t_fault, METH_O, nullptr},
        {"fault_in_detached_section", t_fault_in_detached_section, METH_NOARGS, nullptr},
        {"fault_in_once_initialiser", t_fault_in_once_initialiser, METH_O, nullptr},
        {"fault_outside_guard", t_fault_outside_guard, METH_NOARGS, nullptr},
        {"foreign_exception", t_foreign_exception, METH_NOARGS, nullptr},
        {"enter_with_depth", t_enter_with_depth, METH_O, nullptr},
        {"panic_exception_type", t_panic_exception_type, METH_NOARGS, nullptr},
    };
    return probes;
}

}  // namespace zorvalind::testing
