# 32-bit ARM (hard float) Linux with Debian's cross compiler; CTest runs the
# test programs under qemu-user with the toolchain's own libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(VORLIN_CROSS_TRIPLE arm-linux-gnueabihf)
set(VORLIN_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
