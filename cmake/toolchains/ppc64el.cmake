# Debian's ppc64el architecture (ppc64le), built with the host's cross compiler.
set(ZORVALIND_CROSS_PREFIX powerpc64le-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake")
