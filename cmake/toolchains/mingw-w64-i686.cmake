# 32-bit Windows (x86) with Debian's MinGW-w64 cross compiler (posix thread
# model, which GoogleTest's std::mutex needs); CTest runs the test programs
# under 32-bit Wine. Everything else as for 64-bit Windows.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(vorlin_triple i686-w64-mingw32)

find_program(CMAKE_C_COMPILER NAMES ${vorlin_triple}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${vorlin_triple}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${vorlin_triple}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${vorlin_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Doubles in SSE2 registers, rounded to 64 bits at every step as on every
# other platform: the x87 unit's 80-bit intermediates (GCC's default for this
# target) would change the bilinear blend's bits. A 32-bit Windows caller
# keeps the stack only 4-byte aligned, so functions that need more realign it.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse -mincoming-stack-boundary=2")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse -mincoming-stack-boundary=2")

# The C++ run-time inside each DLL and program, as for 64-bit Windows.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# The wrapper runs a 32-bit program under 32-bit Wine, in a 32-bit prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../../scripts/wine-run)
