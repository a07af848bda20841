# Debian's armhf architecture (armv7l), built with the host's cross compiler.
set(ZORVALIND_CROSS_PREFIX arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake")
