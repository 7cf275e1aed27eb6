# 64-bit ARM (AArch64) Linux with Debian's cross compiler; CTest runs the
# test programs under qemu-user with the toolchain's own libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VORLIN_CROSS_TRIPLE aarch64-linux-gnu)
set(VORLIN_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
