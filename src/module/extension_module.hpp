// The module record and the one-time creation of the module object, bound to
// the first interpreter that asks for it.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "attach/once_cell.hpp"
#include "err/pyerr.hpp"
#include "platform.hpp"

namespace zorvalind {

struct ExtensionModule {
    // Runs once for each module object created, before it is stored.
    Status (*initialiser)(PyObject* module);
    PyModuleDef definition;
    // -1 until the first successful claim; then the owning interpreter's ID.
    std::atomic<std::int64_t> owner_interpreter;
    attach::OnceCell<PyObject*> module_cell;
};

inline constexpr const char* kSubinterpreterRefusal =
    "zorvalind modules do not yet support subinterpreters, see "
    "https://docs.python.org/3/howto/isolating-extensions.html";

inline constexpr const char* kReinitialisationRefusal =
    "zorvalind modules cannot be loaded again after the interpreter that first loaded them was finalized "
    "in this process";
inline constexpr const char* kExitTableFullRefusal =
    "zorvalind modules cannot be loaded: the interpreter's table of exit functions (Py_AtExit) is full, "
    "and without a place in it a later interpreter in this process could not be told from this one";

namespace detail {
// Set by the exit function registered with the first module created, once the
// runtime that created it has been finalised.
extern ZORVALIND_HIDDEN std::atomic<bool> g_runtime_finalised;
}  // namespace detail

// True once the runtime that created a module has been finalised: every later
// entry comes from a new runtime of this process, whose interpreter may have
// the first one's ID, and must touch nothing the old runtime made (module,
// interned names, PanicException type, deferred releases). An entry point
// checks it before its boundary, which would reach all of those.
[[nodiscard]] inline bool runtime_finalised() noexcept {
    return detail::g_runtime_finalised.load(std::memory_order_acquire);
}

// Raises the ImportError of kReinitialisationRefusal in the calling (new)
// runtime; returns null, for the entry point to hand back.
PyObject* refuse_after_finalisation() noexcept;

// A new reference to the record's module, creating it on first use.
Result<PyObject*> obtain_module(ExtensionModule& record);

// The shipped module.
Status module_initialiser(PyObject* module);
ExtensionModule& zorvalind_module();

}  // namespace zorvalind
