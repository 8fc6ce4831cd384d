# Cross-builds for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix:
# the posix thread model, so std::thread and std::mutex work).
#
#   cmake --preset windows    (or -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake)
#
# Executables link libgcc, libstdc++ and winpthreads statically: an .exe needs
# only the DLLs every Windows has.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TEVRA_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TEVRA_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TEVRA_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TEVRA_MINGW_TRIPLET}-windres)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")

# Headers, libraries and packages from the MinGW tree only; programs (the
# build's own tools) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TEVRA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
