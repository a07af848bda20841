# The interpreter on Windows: the module is <name>.<tag>.pyd (what CPython on
# Windows imports; CMake's own suffix there is .dll) and links python3XY.dll's
# import library, since a DLL cannot leave the interpreter's names undefined.
# The stable ABI build is <name>.pyd and links python3.dll's instead: that DLL
# of every CPython from 3.2 on exports the stable ABI and forwards each name to
# the python3XY.dll beside it.
#
# A Windows interpreter brings its headers and libs/python3XY.lib (and
# libs/python3.lib). An
# interpreter of another host (a cross build) lends its headers, read with the
# project's pyconfig.h for Windows x86-64, and the import library is made with
# dlltool from the interpreter names the objects of each target reference.

execute_process(
  COMMAND "${Python_EXECUTABLE}" -c
    "import os, sys, sysconfig; v = '%d%d' % sys.version_info[:2]; print(v); print(os.path.join(sys.base_prefix, 'libs', 'python')); print(sysconfig.get_config_var('EXT_SUFFIX'))"
  OUTPUT_VARIABLE _win_py OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REPLACE "\n" ";" _win_py "${_win_py}")
list(GET _win_py 0 ZORVALIND_PYTHON_VERSION_NODOT)
list(GET _win_py 1 _win_py_lib)
list(GET _win_py 2 _win_py_suffix)
if(ZORVALIND_STABLE_ABI)
  set(ZORVALIND_PYTHON_DLL_STEM "python3")
else()
  set(ZORVALIND_PYTHON_DLL_STEM "python${ZORVALIND_PYTHON_VERSION_NODOT}")
endif()
set(ZORVALIND_PYTHON_DLL "${ZORVALIND_PYTHON_DLL_STEM}.dll")

if(_win_py_suffix MATCHES "\\.pyd$")
  set(ZORVALIND_PYTHON_IMPORT_LIBRARY "${_win_py_lib}${ZORVALIND_PYTHON_DLL_STEM}.lib")
  if(ZORVALIND_STABLE_ABI)
    # Set with the option (CMakeLists.txt).
  elseif(DEFINED SKBUILD_SOABI)
    set(PYTHON_EXT_SUFFIX ".${SKBUILD_SOABI}.pyd")
  else()
    set(PYTHON_EXT_SUFFIX "${_win_py_suffix}")
  endif()
else()
  if(NOT CMAKE_SYSTEM_PROCESSOR MATCHES "^(AMD64|x86_64|amd64)$")
    message(FATAL_ERROR "The project's pyconfig.h describes Windows on x86-64 only")
  endif()
  if(NOT ZORVALIND_STABLE_ABI)
    set(PYTHON_EXT_SUFFIX ".cp${ZORVALIND_PYTHON_VERSION_NODOT}-win_amd64.pyd")
  endif()
  # The headers with the Windows pyconfig.h in place of the host's: Python.h
  # includes "pyconfig.h" from its own folder first, so they are copied.
  set(_overlay "${PROJECT_BINARY_DIR}/python-include")
  file(COPY "${PYTHON_INCLUDE_DIR}/" DESTINATION "${_overlay}" PATTERN "pyconfig.h" EXCLUDE)
  configure_file("${PROJECT_SOURCE_DIR}/cmake/windows/pyconfig.h" "${_overlay}/pyconfig.h" COPYONLY)
  set(PYTHON_INCLUDE_DIR "${_overlay}")
  if(NOT CMAKE_DLLTOOL)
    find_program(CMAKE_DLLTOOL NAMES dlltool REQUIRED)
  endif()
endif()

# Links `target` to the interpreter's DLL. Derived import libraries are made
# right before the link, once every object of the target is compiled; the
# definition file is left beside them (<target>-python.def).
function(zorvalind_link_interpreter target)
  if(ZORVALIND_PYTHON_IMPORT_LIBRARY)
    target_link_libraries(${target} PRIVATE "${ZORVALIND_PYTHON_IMPORT_LIBRARY}")
    return()
  endif()
  set(_def "${PROJECT_BINARY_DIR}/${target}-python.def")
  set(_lib "${PROJECT_BINARY_DIR}/${target}-python.dll.a")
  set(_archives)
  foreach(_dep IN LISTS ARGN)
    list(APPEND _archives "$<TARGET_FILE:${_dep}>")
  endforeach()
  add_custom_command(TARGET ${target} PRE_LINK
    COMMAND "${Python_EXECUTABLE}" "${PROJECT_SOURCE_DIR}/cmake/windows/import_library.py"
      --nm "${CMAKE_NM}" --dlltool "${CMAKE_DLLTOOL}" --headers "${PYTHON_INCLUDE_DIR}"
      --dll "${ZORVALIND_PYTHON_DLL}" --def "${_def}" --lib "${_lib}"
      "$<TARGET_OBJECTS:${target}>" ${_archives}
    VERBATIM COMMAND_EXPAND_LISTS)
  # Handed to the linker as a flag: the file is not there before the link,
  # and after the archives that reference it.
  target_link_libraries(${target} PRIVATE "-Wl,${_lib}")
endfunction()
