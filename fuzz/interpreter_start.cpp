// The interpreter's start (interpreter_start.hpp). No header of the core is
// included: an inline function of the core compiled against the full API here
// would differ from its copies compiled against the limited API elsewhere.
#undef Py_LIMITED_API
#include <Python.h>

#include "interpreter_start.hpp"

void start_isolated_interpreter(const char* home) {
    PyPreConfig preconfig;
    PyPreConfig_InitIsolatedConfig(&preconfig);
    // Every object allocation goes to the sanitizer's allocator.
    preconfig.allocator = PYMEM_ALLOCATOR_MALLOC;
    if (PyStatus status = Py_PreInitialize(&preconfig); PyStatus_Exception(status)) {
        Py_ExitStatusException(status);
    }
    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    config.install_signal_handlers = 0;
    config.site_import = 0;
    config.write_bytecode = 0;
    PyStatus status = PyConfig_SetBytesString(&config, &config.home, home);
    if (!PyStatus_Exception(status)) {
        status = Py_InitializeFromConfig(&config);
    }
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) {
        Py_ExitStatusException(status);
    }
}
