# Cross-compiles for Windows x86-64 with Debian's MinGW-w64 compilers (the
# posix-thread flavour, for std::thread), linked statically so that the
# programs need nothing beyond Windows' own DLLs. Programs built here run
# under Wine when CTest or the build runs them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# wine64 itself, not the "wine" wrapper of another package.
find_program(ORVEL_WINE64 wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(ORVEL_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ORVEL_WINE64})
endif()
