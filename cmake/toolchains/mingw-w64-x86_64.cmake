# SPDX-License-Identifier: Apache-2.0
# Windows x64 with Debian's mingw-w64 (the -posix compilers: std::thread and
# std::mutex need the POSIX thread model). ctest runs the programs in wine.
#   cmake -S . -B build-win -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(ZEVUD_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZEVUD_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZEVUD_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZEVUD_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZEVUD_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
find_program(ZEVUD_WINE NAMES wine64 wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZEVUD_WINE})
