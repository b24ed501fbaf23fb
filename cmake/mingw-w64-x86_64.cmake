# Cross build of qzn.exe for 64-bit Windows with Debian's mingw-w64 compiler (the POSIX thread
# model: g++-mingw-w64-x86-64-posix). The test programs run under Wine (package wine), so that
# ctest runs the whole suite against qzn.exe:
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QZN_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QZN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QZN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QZN_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QZN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs (and the test discovery) run under Wine, quietly, and without offering to install
# the .NET and HTML engines when the Wine prefix is created.
find_program(QZN_WINE NAMES wine wine64)
if(QZN_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
                                    ${QZN_WINE})
endif()
