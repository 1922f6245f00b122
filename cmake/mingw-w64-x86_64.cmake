# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 compilers
# (g++-mingw-w64-x86-64). The executables are linked statically (see the
# top-level CMakeLists.txt), so they need no MinGW DLLs where they run.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(svfseg_mingw_prefix x86_64-w64-mingw32)
# The compilers with POSIX threads: with Windows threads the C++ library lacks
# std::mutex, which GoogleTest needs. GoogleTest, built from its sources for the
# tests, also compiles C.
set(CMAKE_C_COMPILER ${svfseg_mingw_prefix}-gcc-posix)
set(CMAKE_CXX_COMPILER ${svfseg_mingw_prefix}-g++-posix)
set(CMAKE_RC_COMPILER ${svfseg_mingw_prefix}-windres)

# Libraries and headers come from the MinGW tree only, programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${svfseg_mingw_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
