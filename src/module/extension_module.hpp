// The module record and the one-time creation of the module object, bound to
// the first interpreter that asks for it.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "attach/once_cell.hpp"
#include "err/pyerr.hpp"

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

// A new reference to the record's module, creating it on first use.
Result<PyObject*> obtain_module(ExtensionModule& record);

// The shipped module.
Status module_initialiser(PyObject* module);
ExtensionModule& zorvalind_module();

}  // namespace zorvalind
