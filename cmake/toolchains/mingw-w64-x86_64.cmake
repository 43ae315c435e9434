# Cross build for 64-bit Windows with Debian's MinGW-w64 compilers (packages
# mingw-w64 and g++-mingw-w64-x86-64-posix). The "-posix" compiler has the
# POSIX thread model, which std::thread and std::mutex need; the default one
# has neither. Programs are linked fully statically (-static): with only the
# GCC and C++ runtimes static they still need libwinpthread-1.dll, and a bare
# Windows PC does not have it.
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

# Wide-character Win32 calls throughout (CreateFileW, ...); the headers'
# generic names follow UNICODE. Windows 7 is the oldest system supported.
set(CMAKE_CXX_FLAGS_INIT "-DUNICODE -D_UNICODE -D_WIN32_WINNT=0x0601 -DWINVER=0x0601")
set(CMAKE_C_FLAGS_INIT "-DUNICODE -D_UNICODE -D_WIN32_WINNT=0x0601 -DWINVER=0x0601")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test programs (and GoogleTest's test discovery at build time) run under
# wine, through a wrapper that keeps a wine prefix inside the build folder
# unless WINEPREFIX names another.
# Debian's package wine64 keeps its loader in /usr/lib/wine.
find_program(ORVANE_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(ORVANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;${CMAKE_BINARY_DIR}/wineprefix")
endif()

# Debian's GoogleTest is built for this machine only: build it from its
# sources for Windows, as the router build does.
set(GTest_DIR "${CMAKE_CURRENT_LIST_DIR}/gtest-from-source" CACHE PATH
    "GoogleTest built from /usr/src/googletest for the cross target")

# CLI11 is header-only, so the host's copy serves. It is offered from a folder
# of its own: the host's /usr/include must never be on the cross compiler's
# path (its C library headers would shadow the Windows ones).
if(NOT DEFINED CLI11_INCLUDE_DIR AND EXISTS /usr/include/CLI/CLI.hpp)
  set(_orvane_host_headers "${CMAKE_BINARY_DIR}/host-headers")
  file(MAKE_DIRECTORY "${_orvane_host_headers}")
  file(CREATE_LINK /usr/include/CLI "${_orvane_host_headers}/CLI" SYMBOLIC)
  set(CLI11_INCLUDE_DIR "${_orvane_host_headers}" CACHE PATH "CLI11 headers (host copy)")
endif()
