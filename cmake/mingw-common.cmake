# Shared by the toolchain files: cross-compiles for Windows with MinGW-w64
# compilers named by MARLIN_MINGW_TRIPLE. The -posix compilers are required:
# the win32-thread ones have no std::mutex/std::thread.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER   ${MARLIN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MARLIN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${MARLIN_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MARLIN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Static runtime: the binaries import only system DLLs and run on a clean Windows.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
