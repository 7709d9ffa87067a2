# Cross build for i686 Windows with Debian's mingw-w64 toolchain (the posix
# thread model, so that std::mutex and std::thread are available).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VORN_MINGW_TRIPLET i686-w64-mingw32)

set(CMAKE_C_COMPILER ${VORN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VORN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VORN_MINGW_TRIPLET}-windres)

# Libraries come from the toolchain's own tree (zlib from
# libz-mingw-w64-dev) and from the prefix scripts/windows-deps fills
# (VORN_WINDOWS_DEPS, set by the preset); never from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${VORN_MINGW_TRIPLET} ${VORN_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Where a 32-bit Wine can run the programs, the tests run under it
# (scripts/test probes whether this machine runs 32-bit programs at all).
find_program(VORN_WINE NAMES wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(VORN_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VORN_WINE})
endif()
