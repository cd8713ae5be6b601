# Cross-builds 64-bit Windows console programs on Debian with mingw-w64 (g++-mingw-w64-x86-64-posix);
# cmake/windows.cmake runs what it builds, tests included, under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The -posix variant, not -win32: GCC 12's win32 thread model has no std::thread, std::mutex,
# std::condition_variable or std::future at all, so code using them would build on Linux and fail
# only here. The price is winpthreads, linked statically like the rest.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# Libraries and headers come only from the mingw-w64 tree, never from the Linux system's.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes and winpthreads go inside the .exe, so it needs no DLL beside it and
# imports only DLLs that every Windows has.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# How the programs run under wine (CMAKE_CROSSCOMPILING_EMULATOR) is set by cmake/windows.cmake,
# which also makes the wine prefix it runs them in.
