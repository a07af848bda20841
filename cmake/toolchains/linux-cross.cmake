# Cross build for another Linux architecture with the host's GNU cross
# compiler, included by the per-architecture files beside this one, which set
# ZORVALIND_CROSS_PREFIX (the compiler's triplet) and the processor name.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_FIND_ROOT_PATH "/usr/${ZORVALIND_CROSS_PREFIX}")
set(ZORVALIND_TOOL_PREFIX "${ZORVALIND_CROSS_PREFIX}-")
include("${CMAKE_CURRENT_LIST_DIR}/cross-programs.cmake")
