# Pyodide (CPython in WebAssembly): both modules as side modules of the
# runtime's main module, built with Emscripten. EMSCRIPTEN_DIR names
# Emscripten's folder (emcc, em++, cmake/) and PYODIDE_RUNTIME the runtime's
# (pyodide.mjs, pyodide.asm.wasm); `scripts/provision-python --pyodide` prints
# both. The headers, pyconfig.h and file name suffix are the runtime's
# (cmake/pyodide/interpreter.cmake).
foreach(_var EMSCRIPTEN_DIR PYODIDE_RUNTIME)
  if(DEFINED ENV{${_var}} AND NOT ${_var})
    set(${_var} "$ENV{${_var}}")
  endif()
  if(NOT ${_var})
    message(FATAL_ERROR "The Pyodide build needs -D${_var}=... (scripts/provision-python --pyodide prints it)")
  endif()
endforeach()
# Kept for try_compile projects, which read the toolchain file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES EMSCRIPTEN_DIR PYODIDE_RUNTIME)

set(EMSCRIPTEN_SYSTEM_PROCESSOR wasm32)
include("${EMSCRIPTEN_DIR}/cmake/Modules/Platform/Emscripten.cmake")

# The runtime's exception model: the legacy WebAssembly exceptions (try,
# rethrow and the __cpp_exception tag) of its main module, with longjmp on
# them too, as its CFLAGS have it. Internal faults unwind through the module's
# frames to the fault guard as on every other platform.
set(_wasm_eh "-fwasm-exceptions -sSUPPORT_LONGJMP=wasm -sWASM_LEGACY_EXCEPTIONS=1")
set(CMAKE_CXX_FLAGS_INIT "${_wasm_eh}")
set(CMAKE_C_FLAGS_INIT "${_wasm_eh}")
# A side module takes libc and libc++ from the main module and exports what
# has default visibility: PyInit__zorvalind and the linker's own entries.
# Linked without debug information (-g0 comes after a build type's -g):
# binaryen 131's optimizer fails an assertion rewriting the DWARF of these
# modules, and a side module carries none into the wheel anyway.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_wasm_eh} -sSIDE_MODULE=1 -g0")

# Each Pyodide release is built for one CPython: the module keeps the
# version-specific interface and tag.
set(ZORVALIND_STABLE_ABI OFF CACHE BOOL "Build against the limited API" FORCE)

# Configure-time checks compile only: linking a program would build
# Emscripten's system libraries, which a side module never uses.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
