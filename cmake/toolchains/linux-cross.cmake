# Cross build for another Linux architecture with the host's GNU cross
# compiler, included by the per-architecture files beside this one, which set
# ZORVALIND_CROSS_PREFIX (the compiler's triplet) and the processor name.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER "${ZORVALIND_CROSS_PREFIX}-gcc")
set(CMAKE_CXX_COMPILER "${ZORVALIND_CROSS_PREFIX}-g++")
set(CMAKE_AR "${ZORVALIND_CROSS_PREFIX}-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${ZORVALIND_CROSS_PREFIX}-ranlib" CACHE FILEPATH "")
set(CMAKE_NM "${ZORVALIND_CROSS_PREFIX}-nm" CACHE FILEPATH "")
set(CMAKE_OBJDUMP "${ZORVALIND_CROSS_PREFIX}-objdump" CACHE FILEPATH "")
set(CMAKE_STRIP "${ZORVALIND_CROSS_PREFIX}-strip" CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH "/usr/${ZORVALIND_CROSS_PREFIX}")

# The host's libraries and headers are never the target's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
