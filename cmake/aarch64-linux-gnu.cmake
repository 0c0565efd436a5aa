# Cross build for Linux arm64: Debian 12's clang against a Debian 11 arm64
# sysroot (cmake/sysroot.cmake), linked by binutils-aarch64-linux-gnu, so
# that the executable needs no C library symbol newer than GLIBC_2.17.
# Programs run under qemu-user, which finds the arm64 C library in
# Debian 12's cross root; the tests run them under the sysroot's too.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TARVIK_DEB_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/sysroot.cmake)
set(CMAKE_SYSROOT ${TARVIK_SYSROOT})
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET aarch64-linux-gnu)
set(CMAKE_CXX_COMPILER_TARGET aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
