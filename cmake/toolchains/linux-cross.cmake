# Shared part of the Linux cross toolchains: VORLIN_CROSS_TRIPLE names the
# Debian cross compiler, VORLIN_QEMU the qemu-user emulator that runs its
# programs on this machine.
set(CMAKE_C_COMPILER ${VORLIN_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VORLIN_CROSS_TRIPLE}-g++)

set(vorlin_sysroot /usr/${VORLIN_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${vorlin_sysroot})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L points the emulator's dynamic loader at the cross toolchain's libraries.
find_program(VORLIN_QEMU_PROGRAM ${VORLIN_QEMU} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VORLIN_QEMU_PROGRAM} -L ${vorlin_sysroot})
