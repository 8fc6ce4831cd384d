# Cross-building for 64-bit Windows with Debian's MinGW-w64 (posix threads).
# The runtime (libgcc, libstdc++, winpthreads) is linked statically, so the
# program needs only the DLLs every Windows system has.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TEVRA_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TEVRA_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TEVRA_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TEVRA_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TEVRA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
