# Linux x86-64 release build: Debian 12's clang against a Debian 11 sysroot
# (cmake/sysroot.cmake), so that the executable needs no C library symbol
# newer than GLIBC_2.17 and starts on every distribution since then. The
# build machine runs what it builds: not a cross build.
set(TARVIK_DEB_ARCH amd64)
include(${CMAKE_CURRENT_LIST_DIR}/sysroot.cmake)
set(CMAKE_SYSROOT ${TARVIK_SYSROOT})
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET x86_64-linux-gnu)
set(CMAKE_CXX_COMPILER_TARGET x86_64-linux-gnu)
