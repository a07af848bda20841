# Debian's i386 architecture (i686), built with the host's cross compiler.
set(ZORVALIND_CROSS_PREFIX i686-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR i686)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake")
