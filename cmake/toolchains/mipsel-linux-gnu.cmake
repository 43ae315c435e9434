# Cross build for the router board: 32-bit MIPS, little-endian, Linux.
# Debian's mipsel cross compiler (package g++-mipsel-linux-gnu); programs are
# linked statically so they run on the router, and here under qemu-mipsel
# (package qemu-user), without the cross C library installed at run time.
# They link glibc; netvigil itself can link musl instead, through the same
# compiler and musl's specs file (NETVIGIL_MUSL_SPECS, preset "router").
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH /usr/mipsel-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# 64-bit file offsets and inode numbers: a 32-bit stat() or readdir() fails
# with EOVERFLOW on a file system whose numbers do not fit 32 bits (as the
# host's do under the emulator).
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")

# Test programs (and GoogleTest's test discovery at build time) run through
# the user-mode emulator.
find_program(ORVANE_QEMU_MIPSEL qemu-mipsel)
if(ORVANE_QEMU_MIPSEL)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${ORVANE_QEMU_MIPSEL}")
endif()

# Debian ships no GoogleTest built for mipsel, only its sources: this package
# directory builds them for the target when the tests ask for GTest.
set(GTest_DIR "${CMAKE_CURRENT_LIST_DIR}/gtest-from-source" CACHE PATH
    "GoogleTest built from /usr/src/googletest for the cross target")
