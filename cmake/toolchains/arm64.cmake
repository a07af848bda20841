# Debian's arm64 architecture (aarch64), built with the host's cross compiler.
set(ZORVALIND_CROSS_PREFIX aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake")
