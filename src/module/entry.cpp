// The module's only exported symbol.
#include <Python.h>

#include "fault/boundary.hpp"
#include "module/extension_module.hpp"

PyMODINIT_FUNC PyInit__zorvalind() {
    if (zorvalind::runtime_finalised()) [[unlikely]] {
        return zorvalind::refuse_after_finalisation();
    }
    return zorvalind::run_at_boundary([] { return zorvalind::obtain_module(zorvalind::zorvalind_module()); });
}
