# 64-bit big-endian IBM Z Linux with Debian's cross compiler; CTest runs the
# test programs under qemu-user with the toolchain's own libraries.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(VORLIN_CROSS_TRIPLE s390x-linux-gnu)
set(VORLIN_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
