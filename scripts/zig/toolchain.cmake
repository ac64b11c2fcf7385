# The wheels' toolchain (scripts/wheels): zig's clang and libc++ for glibc 2.28.
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/c++")
set(CMAKE_AR "${CMAKE_CURRENT_LIST_DIR}/ar")
set(CMAKE_RANLIB "${CMAKE_CURRENT_LIST_DIR}/ranlib")
# Under the limited API Python.h leaves <stdio.h> out; libstdc++ brings it in
# through other headers, libc++ does not, and nanobind's headers use stderr.
set(CMAKE_CXX_FLAGS_INIT "-include cstdio")
