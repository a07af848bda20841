// What the test-only module needs beyond the limited API: the interpreter's
// allocator hooks and the configuration of a new interpreter. Defined in
// full_api.cpp, the one file of the module compiled against the full API of
// the interpreter it is built for; the declarations here name only types of
// the limited API, so the probes, compiled like the core, can call them.
#pragma once

#include <Python.h>

namespace zorvalind::testing {

// Puts counting hooks over the raw, memory and object allocators, on top of
// whatever allocators are installed now; the counts start at zero.
void install_counting_hooks();
// Puts the allocators found by install_counting_hooks back.
void remove_counting_hooks();
// Allocation requests made, and refused, while the hooks were on.
long counted_calls();
long counted_failures();

// A new interpreter with the legacy configuration, made current; null when it
// could not be made, with `main_state` current again.
PyThreadState* new_legacy_subinterpreter(PyThreadState* main_state);

}  // namespace zorvalind::testing
