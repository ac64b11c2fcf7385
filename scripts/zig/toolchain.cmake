# The wheels' toolchain (scripts/wheels): zig's clang and libc++ for glibc 2.28.
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/c++")
set(CMAKE_AR "${CMAKE_CURRENT_LIST_DIR}/ar")
set(CMAKE_RANLIB "${CMAKE_CURRENT_LIST_DIR}/ranlib")
# Under the limited API Python.h leaves <stdio.h> out; libstdc++ brings it in
# through other headers, libc++ does not, and nanobind's headers use stderr.
set(CMAKE_CXX_FLAGS_INIT "-include cstdio")
# Cross-compiling (scripts/wheels sets DORVANE_ZIG_ARCH): CMake then neither
# runs what it builds nor takes this machine's processor for the target's.
if (DEFINED ENV{DORVANE_ZIG_ARCH})
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR "$ENV{DORVANE_ZIG_ARCH}")
endif()
