# Cross build for x86_64 Windows with Debian's mingw-w64 toolchain (the posix
# thread model, so that std::mutex and std::thread are available).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VORN_MINGW_TRIPLET x86_64-w64-mingw32)

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

# Test programs run under 64-bit Wine.
find_program(VORN_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(VORN_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VORN_WINE64})
endif()
