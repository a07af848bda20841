// The PanicException type and the two crossings of an internal fault: a caught
// fault becomes a lazily built PanicException record, and a PanicException
// that comes back from Python code is resumed as a fault.
#pragma once

#include <Python.h>

#include "attach/owned_ref.hpp"
#include "err/pyerr.hpp"
#include "fault/internal_fault.hpp"

namespace zorvalind {

// The type object, borrowed from its cell; created on first use (attached).
PyObject* panic_exception_type();

// A lazy PanicException record with the fault's message; consumes the payload.
PyErr panic_from_payload(InternalFault::Payload payload);

// When `exception` is exactly a PanicException: reports it on standard error,
// hands it to the interpreter's error display and resumes an internal fault
// with its message (does not return). Otherwise leaves it alone.
void resume_if_panic(OwnedRef& exception);

}  // namespace zorvalind
