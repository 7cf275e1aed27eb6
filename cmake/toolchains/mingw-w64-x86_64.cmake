# 64-bit Windows with Debian's MinGW-w64 cross compiler (posix thread model,
# which GoogleTest's std::mutex needs); CTest runs the test programs under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(vorlin_triple x86_64-w64-mingw32)

find_program(CMAKE_C_COMPILER NAMES ${vorlin_triple}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${vorlin_triple}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${vorlin_triple}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${vorlin_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Each DLL and test program carries its own copy of the C++ run-time (and of
# the threads library), so a module needs nothing beside it but the system's
# own DLLs (KERNEL32, msvcrt).
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Wine through a wrapper that makes its prefix once and keeps it quiet.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../../scripts/wine-run)
