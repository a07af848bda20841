// Probes of attachment, deferred releases and once-cells.
#include <thread>

#include "attach/attach.hpp"
#include "attach/once_cell.hpp"
#include "conv/int64.hpp"
#include "err/texts.hpp"
#include "probes.hpp"

using namespace zorvalind;
using namespace zorvalind::testing;

namespace {

constexpr const char* kCellCapsule = "zorvalind_testing.cell";

void destroy_cell(PyObject* capsule) {
    auto* box = static_cast<CellBox*>(PyCapsule_GetPointer(capsule, kCellCapsule));
    if (box->cell.is_set()) {
        attach::release(box->cell.get());
    }
    delete box;
}

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
        for (Py_ssize_t i = 0; i < tuple_size(args); ++i) {
            attach::release(Py_NewRef(tuple_item(args, i)));
        }
        attach::set_attach_depth(saved);
        return none();
    });
}

// Releases a new reference from a native thread that never attaches; returns
// how many releases were pending once that thread had ended, still detached.
PyObject* t_release_on_foreign_thread(PyObject*, PyObject* arg) {
    return run_at_boundary([&]() -> Outcome {
        PyObject* object = Py_NewRef(arg);
        attach::DetachedSection detached;
        std::thread([object] { attach::release(object); }).join();
        const std::size_t pending = attach::pending_release_count();
        detached.close();
        return from_int64(static_cast<std::int64_t>(pending));
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

}  // namespace

namespace zorvalind::testing {

CellBox* cell_of(PyObject* capsule) { return static_cast<CellBox*>(PyCapsule_GetPointer(capsule, kCellCapsule)); }

std::span<const PyMethodDef> attach_probes() {
    static const PyMethodDef probes[] = {
        {"attach_depth", t_attach_depth, METH_NOARGS, nullptr},
        {"set_attach_depth_after_return", t_set_attach_depth_after_return, METH_O, nullptr},
        {"pending_release_count", t_pending_release_count, METH_NOARGS, nullptr},
        {"defer_release", t_defer_release, METH_VARARGS, nullptr},
        {"release_on_foreign_thread", t_release_on_foreign_thread, METH_O, nullptr},
        {"call_detached_then_attached", t_call_detached_then_attached, METH_O, nullptr},
        {"new_once_cell", t_new_once_cell, METH_NOARGS, nullptr},
        {"once_cell_get_or_init", ZORVALIND_FAST(t_once_cell_get_or_init), METH_FASTCALL, nullptr},
        {"once_cell_get_or_try_init", ZORVALIND_FAST(t_once_cell_get_or_try_init), METH_FASTCALL, nullptr},
        {"once_cell_is_set", t_once_cell_is_set, METH_O, nullptr},
    };
    return probes;
}

}  // namespace zorvalind::testing
