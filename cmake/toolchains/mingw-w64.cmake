# Shared part of the mingw-w64 toolchain files: Debian's cross compilers
# for VORN_MINGW_TRIPLET with the posix thread model (so that std::mutex and
# std::thread are available), and libraries only from the toolchain's own
# tree (zlib from libz-mingw-w64-dev) and from the prefix scripts/windows-deps
# fills (VORN_WINDOWS_DEPS, set by the preset); never from the build machine.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${VORN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VORN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VORN_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VORN_MINGW_TRIPLET} ${VORN_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Where Wine can run the programs, the tests run under it (scripts/test
# probes whether this machine runs 32-bit programs at all).
find_program(VORN_WINE NAMES ${VORN_WINE_NAME} PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(VORN_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VORN_WINE})
endif()
