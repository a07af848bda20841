# The interpreter in Pyodide: the runtime named by PYODIDE_RUNTIME reports its
# own build configuration (config_vars.mjs, run by Node inside the runtime),
# from which pyconfig.h is derived (pyconfig.py); the headers are those of
# Python_EXECUTABLE, a CPython of the same minor version, with that pyconfig.h
# in place of theirs. The file name suffix is the runtime's EXT_SUFFIX.

find_program(ZORVALIND_NODE node REQUIRED)
set(_config "${PROJECT_BINARY_DIR}/pyodide-config.json")
set(_lock "${PYODIDE_RUNTIME}/pyodide-lock.json")
if(NOT EXISTS "${_config}" OR "${_lock}" IS_NEWER_THAN "${_config}")
  execute_process(
    COMMAND "${ZORVALIND_NODE}" "${CMAKE_CURRENT_LIST_DIR}/config_vars.mjs" "${PYODIDE_RUNTIME}"
    OUTPUT_FILE "${_config}.new" RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "The Pyodide runtime in ${PYODIDE_RUNTIME} did not report its configuration")
  endif()
  file(RENAME "${_config}.new" "${_config}")
endif()
file(READ "${_config}" _config_json)
string(JSON PYTHON_EXT_SUFFIX GET "${_config_json}" config_vars EXT_SUFFIX)
# The runtime is the only interpreter here: both modules carry its suffix.
set(PYTHON_VERSION_EXT_SUFFIX "${PYTHON_EXT_SUFFIX}")
string(JSON ZORVALIND_PYODIDE_VERSION GET "${_config_json}" runtime_version)
string(JSON ZORVALIND_PYODIDE_PYTHON GET "${_config_json}" version)
string(JSON ZORVALIND_PYODIDE_ABI GET "${_config_json}" lock_info abi_version)
string(JSON _arch GET "${_config_json}" lock_info arch)
string(JSON _version GET "${_config_json}" config_vars VERSION)
set(PYTHON_IS_DEBUG 0)
message(STATUS "Pyodide ${ZORVALIND_PYODIDE_VERSION}: CPython ${ZORVALIND_PYODIDE_PYTHON}, ABI ${ZORVALIND_PYODIDE_ABI}, suffix ${PYTHON_EXT_SUFFIX}")
# The wheel's tag (`make wheel-pyodide`): one CPython per Pyodide ABI.
string(REPLACE "." "" _nodot "${_version}")
file(WRITE "${PROJECT_BINARY_DIR}/wheel-tag" "cp${_nodot}-cp${_nodot}-pyodide_${ZORVALIND_PYODIDE_ABI}_${_arch}\n")

# Python.h includes "pyconfig.h" from its own folder first, so the headers
# are copied with the derived file in place of the distribution's. Files
# that did not change keep their time stamps: configuring again rebuilds
# nothing.
set(_overlay "${PROJECT_BINARY_DIR}/python-include")
file(COPY "${PYTHON_INCLUDE_DIR}/" DESTINATION "${_overlay}" PATTERN "pyconfig.h" EXCLUDE)
execute_process(
  COMMAND "${Python_EXECUTABLE}" "${CMAKE_CURRENT_LIST_DIR}/pyconfig.py" "${_config}" "${_overlay}/pyconfig.h.new"
  RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "Deriving pyconfig.h for Pyodide failed")
endif()
file(COPY_FILE "${_overlay}/pyconfig.h.new" "${_overlay}/pyconfig.h" ONLY_IF_DIFFERENT)
file(REMOVE "${_overlay}/pyconfig.h.new")
set(PYTHON_INCLUDE_DIR "${_overlay}")

# The sizes the derived file states, held against the compiler's own.
include(CheckCXXSourceCompiles)
set(CMAKE_REQUIRED_INCLUDES "${_overlay}")
check_cxx_source_compiles([[
#include <pyconfig.h>
#include <cstddef>
#include <ctime>
#include <cwchar>
static_assert(SIZEOF_INT == sizeof(int));
static_assert(SIZEOF_LONG == sizeof(long));
static_assert(SIZEOF_LONG_LONG == sizeof(long long));
static_assert(SIZEOF_LONG_DOUBLE == sizeof(long double));
static_assert(SIZEOF_VOID_P == sizeof(void*));
static_assert(SIZEOF_SIZE_T == sizeof(std::size_t));
static_assert(SIZEOF_TIME_T == sizeof(std::time_t));
static_assert(SIZEOF_WCHAR_T == sizeof(wchar_t));
static_assert(ALIGNOF_SIZE_T == alignof(std::size_t));
static_assert(ALIGNOF_MAX_ALIGN_T == alignof(std::max_align_t));
int main() {}
]] ZORVALIND_PYODIDE_SIZES_MATCH)
unset(CMAKE_REQUIRED_INCLUDES)
if(NOT ZORVALIND_PYODIDE_SIZES_MATCH)
  message(FATAL_ERROR "The derived pyconfig.h states sizes the compiler does not have")
endif()
