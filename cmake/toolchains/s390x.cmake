# Debian's s390x architecture (s390x), built with the host's cross compiler.
set(ZORVALIND_CROSS_PREFIX s390x-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR s390x)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake")
