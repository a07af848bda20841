# Cross build for Windows x86-64 with the mingw-w64 toolchain for the Universal
# C Runtime. MINGW_BIN names its bin folder (`scripts/provision-python --mingw`
# prints it); without it the programs are looked up on PATH.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(_mingw_target x86_64-w64-mingw32ucrt)
if(DEFINED ENV{MINGW_BIN} AND NOT MINGW_BIN)
  set(MINGW_BIN "$ENV{MINGW_BIN}")
endif()
if(MINGW_BIN)
  set(_mingw_prefix "${MINGW_BIN}/${_mingw_target}-")
else()
  set(_mingw_prefix "${_mingw_target}-")
endif()
# Kept for try_compile projects, which read the toolchain file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MINGW_BIN)

set(ZORVALIND_TOOL_PREFIX "${_mingw_prefix}")
include("${CMAKE_CURRENT_LIST_DIR}/cross-programs.cmake")
set(CMAKE_RC_COMPILER "${_mingw_prefix}windres")
set(CMAKE_DLLTOOL "${_mingw_prefix}dlltool" CACHE FILEPATH "")
