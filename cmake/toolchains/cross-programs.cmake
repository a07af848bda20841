# The compilers and binutils of a GNU cross toolchain whose programs are named
# ${ZORVALIND_TOOL_PREFIX}gcc, ${ZORVALIND_TOOL_PREFIX}g++, ...; included by the
# toolchain files beside this one.
set(CMAKE_C_COMPILER "${ZORVALIND_TOOL_PREFIX}gcc")
set(CMAKE_CXX_COMPILER "${ZORVALIND_TOOL_PREFIX}g++")
foreach(_tool AR RANLIB NM OBJDUMP STRIP)
  string(TOLOWER "${_tool}" _program)
  set(CMAKE_${_tool} "${ZORVALIND_TOOL_PREFIX}${_program}" CACHE FILEPATH "")
endforeach()

# The host's libraries and headers are never the target's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
