// _zorvalind_testing: a test-only module built from the same core as the
// shipped one. It reaches the internals that Python cannot; the probes sit in
// one file per subsystem they probe, and this file only registers them.
// Never installed and never shipped.
#include <vector>

#include "probes.hpp"

using namespace zorvalind::testing;

namespace {

std::vector<PyMethodDef> collect_probes() {
    std::vector<PyMethodDef> methods;
    for (const auto table :
         {attach_probes(), err_probes(), fault_probes(), module_probes(), args_probes(), injection_probes()}) {
        methods.insert(methods.end(), table.begin(), table.end());
    }
    methods.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    return methods;
}

// The interpreter keeps pointing at the table and the definition for the
// life of the process.
std::vector<PyMethodDef>& testing_methods() {
    static std::vector<PyMethodDef> methods = collect_probes();
    return methods;
}

PyModuleDef testing_definition{
    PyModuleDef_HEAD_INIT,
    "_zorvalind_testing",
    "Internals of the zorvalind core, for its tests.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__zorvalind_testing() {
    testing_definition.m_methods = testing_methods().data();
    PyObject* module = PyModule_Create(&testing_definition);
    if (module == nullptr) return nullptr;
    PyObject* missing = missing_slot_sentinel();
    if (missing == nullptr || PyModule_AddObjectRef(module, "MISSING", missing) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
