// What the probe files of the test-only module share: the outcome type of a
// probe body, a few small helpers, and the probe table each file hands to the
// registration in testing_module.cpp.
#pragma once

#include <Python.h>

#include <span>
#include <string>
#include <vector>

#include "attach/once_cell.hpp"
#include "attach/owned_ref.hpp"
#include "err/objects.hpp"
#include "err/pyerr.hpp"
#include "err/tuple.hpp"
#include "fault/boundary.hpp"

namespace zorvalind::testing {

using Outcome = Result<PyObject*>;

inline PyObject* none() { return Py_NewRef(Py_None); }

// Turns a Python exception raised by the argument parsing into a PyErr.
inline Outcome parse_failed() { return fetch_pending(); }

inline PyObject* text_result(const std::string& text) { return new_str(text).release(); }

// A once-cell owned by a capsule (attach_probes.cpp); null with an error set
// when the object is not such a capsule.
struct CellBox {
    attach::OnceCell<PyObject*> cell;
};
CellBox* cell_of(PyObject* capsule);

// The object that stands for an empty slot in the binder's results.
PyObject* missing_slot_sentinel();

// A fast call as a native caller makes it: the argument array, the number of
// positional arguments at its start, and the keyword names or null. The
// entries are borrowed from the tuples it was made from.
struct NativeCall {
    std::vector<PyObject*> stack;
    std::size_t nargs = 0;
    PyObject* kwnames = nullptr;
};
// From a tuple of positional arguments, a tuple of keyword names (any objects)
// or None, and a tuple with one value per name (args_probes.cpp).
Result<NativeCall> native_call(PyObject* positional, PyObject* kwnames, PyObject* kwvalues);

// Ends the current subinterpreter and makes `main_state` current again.
void end_subinterpreter(PyThreadState* sub_state, PyThreadState* main_state);

#define ZORVALIND_FAST(name) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name))

// Each probe file's table, without the terminating entry.
std::span<const PyMethodDef> attach_probes();
std::span<const PyMethodDef> err_probes();
std::span<const PyMethodDef> fault_probes();
std::span<const PyMethodDef> module_probes();
std::span<const PyMethodDef> args_probes();
std::span<const PyMethodDef> injection_probes();

}  // namespace zorvalind::testing
