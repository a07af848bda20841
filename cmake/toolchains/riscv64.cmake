# Debian's riscv64 architecture (riscv64), built with the host's cross compiler.
set(ZORVALIND_CROSS_PREFIX riscv64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR riscv64)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake")
